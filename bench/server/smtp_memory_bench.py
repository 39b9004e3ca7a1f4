#!/usr/bin/env python3
"""smtp_memory_bench - peak memory of the server's tasks while large mail passes through.

SYNOPSIS
    smtp_memory_bench.py [--build DIR] [--sizes MB,MB...] [--hooks LIBS] [--keep]

DESCRIPTION
    Provisions a machine root (vtprovision), starts the server (nserver) and, for each
    attachment size (default 60 and 200 MB), sends one mail through SMTP: a short text part
    and an attachment of random bytes, base64-encoded, streamed from a file so that the
    client holds none of it. Once the mail is delivered into bob's mail database and gone
    from mail.box, it prints how far the resident memory of nsmtp and nrouter (and, with
    --hooks, of the engine vantrel) rose above
    their baseline: the peak (VmHWM, reset through /proc/PID/clear_refs before each mail)
    less the resident size (VmRSS) at rest before the mail, after a small mail warmed them up.

    No extension is loaded unless --hooks names some (for example vtnotes, which then needs
    the engine: it is started too). The SMTP size limit of the root is raised to take the
    largest mail.

FILES
    <build>/bin/{vtprovision,nserver,nsmtp,nrouter,nsf,winreg,vantrel}
    a machine root in the temporary directory, removed at the end unless --keep
"""
import argparse
import base64
import os
import re
import shutil
import socket
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "platform", "provision"))
import demo_machine  # noqa: E402
from demo_machine import wait_for  # noqa: E402

MB = 1024 * 1024


def status_kb(pid, field):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def reset_peak(pid):
    # Writing 5 resets VmHWM to the current resident size (Linux 4.0 and later).
    with open("/proc/%d/clear_refs" % pid, "w") as f:
        f.write("5")


def task_pid(root, task):
    with open(os.path.join(root, "domino", "console.log"), errors="replace") as f:
        found = re.findall(r"Task %s (?:re)?started \(process (\d+)\)" % task, f.read())
    return int(found[-1]) if found else None


def write_message(path, subject, attachment_mb):
    """An RFC 822 message with CR LF line ends: a text part and a base64 attachment of random
    bytes, written a block at a time."""
    boundary = "=_bench_boundary_0001"
    with open(path, "wb") as f:
        f.write(("From: alice@example.com\r\nTo: bob@example.com\r\nSubject: %s\r\n"
                 "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"%s\"\r\n\r\n"
                 "--%s\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n"
                 "The attachment is %d MB.\r\n\r\n--%s\r\n"
                 "Content-Type: application/octet-stream; name=\"data.bin\"\r\n"
                 "Content-Transfer-Encoding: base64\r\n"
                 "Content-Disposition: attachment; filename=\"data.bin\"\r\n\r\n"
                 % (subject, boundary, boundary, attachment_mb, boundary)).encode())
        remaining = attachment_mb * MB
        block = 57 * 16 * 1024  # whole base64 lines of 76 characters
        while remaining > 0:
            raw = os.urandom(min(block, remaining))
            remaining -= len(raw)
            encoded = base64.b64encode(raw)
            f.write(b"\r\n".join(encoded[i:i + 76] for i in range(0, len(encoded), 76)))
            f.write(b"\r\n")
        f.write(("\r\n--%s--\r\n" % boundary).encode())


def smtp_send_file(port, path):
    """Sends the message in path through SMTP, streaming it (no line begins with a dot)."""
    with socket.create_connection(("127.0.0.1", port), timeout=600) as s:
        reader = s.makefile("rb")

        def reply():
            while True:
                line = reader.readline()
                if not line:
                    raise RuntimeError("the server closed the connection")
                if line[3:4] != b"-":
                    return line.decode(errors="replace").strip()

        def command(text, expected):
            s.sendall(text.encode() + b"\r\n")
            answer = reply()
            if not answer.startswith(expected):
                raise RuntimeError("%s: %s" % (text, answer))

        reply()
        command("EHLO bench.test", "250")
        command("MAIL FROM:<alice@example.com> SIZE=%d" % os.path.getsize(path), "250")
        command("RCPT TO:<bob@example.com>", "250")
        command("DATA", "354")
        with open(path, "rb") as f:
            while True:
                block = f.read(MB)
                if not block:
                    break
                s.sendall(block)
        command(".", "250")
        command("QUIT", "221")


def delivered(machine, subject):
    subjects = lambda db: [e.get("subject") or "" for e in machine.documents(db)]  # noqa: E731
    return subject in subjects("mail/bob.nsf") and subject not in subjects("mail.box")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.environ.get("VT_BUILD_DIR", "build"))
    parser.add_argument("--sizes", default="60,200")
    parser.add_argument("--hooks", default="")
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",") if s]
    root = tempfile.mkdtemp(prefix="vantrel-smtp-memory.")
    machine = demo_machine.Machine(args.build, root)
    machine.provision(args.hooks, ())
    limit_kb = (max(sizes) * 4 // 3 + 16) * 1024
    with open(os.path.join(root, "domino", "notes.ini"), "a") as f:
        f.write("SMTPMaxMessageSizeKB=%d\n" % limit_kb)
    message = os.path.join(tempfile.gettempdir(), "vantrel-bench-%d.eml" % os.getpid())
    rows = []
    try:
        if args.hooks:
            machine.start_engine()
        machine.start_server()
        tasks = {name: task_pid(root, name) for name in ("nsmtp", "nrouter")}
        if args.hooks:
            tasks["vantrel"] = machine.engine.pid
        write_message(message, "warm-up", 1)
        smtp_send_file(machine.port, message)
        wait_for(lambda: delivered(machine, "warm-up"), 120, "the warm-up mail")
        for size in sizes:
            subject = "attachment %d MB" % size
            write_message(message, subject, size)
            message_mb = os.path.getsize(message) / MB
            time.sleep(1)
            baseline = {}
            for name, pid in tasks.items():
                baseline[name] = status_kb(pid, "VmRSS")
                reset_peak(pid)
            start = time.time()
            smtp_send_file(machine.port, message)
            wait_for(lambda: delivered(machine, subject), 1200, "the mail's delivery")
            seconds = time.time() - start
            for name, pid in tasks.items():
                peak = status_kb(pid, "VmHWM")
                rows.append((name, size, message_mb, baseline[name] / 1024.0,
                             (peak - baseline[name]) / 1024.0, seconds))
    finally:
        machine.stop_server()
        machine.stop_engine()
        if os.path.exists(message):
            os.remove(message)
        if not args.keep:
            shutil.rmtree(root, ignore_errors=True)
        else:
            print("machine root:", root)
    print("%-8s %-11s %-11s %-13s %-17s %s" % ("task", "attachment", "message", "baseline",
                                               "peak above it", "sent+delivered"))
    for name, size, message_mb, base, above, seconds in rows:
        print("%-8s %7d MB  %7.1f MB  %8.1f MB  %9.1f MB %s  %6.1f s" % (
            name, size, message_mb, base, above, "   " if above < 32 else "(!)", seconds))
    print("goal: under 32 MB above the baseline for each task; (!) marks a figure over it")
    return 0


if __name__ == "__main__":
    sys.exit(main())
