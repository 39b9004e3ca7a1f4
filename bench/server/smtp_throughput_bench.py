#!/usr/bin/env python3
"""smtp_throughput_bench - mails per second through SMTP, with the extensions and without.

SYNOPSIS
    smtp_throughput_bench.py [--build DIR] [--mails N] [--clients N] [--rounds N]
                             [--hooks LIBS] [--spool-in-memory] [--keep]

DESCRIPTION
    Alternates two servers on fresh machine roots, round after round: one with no extension
    and one with --hooks loaded (default vtnotes,rights; the engine runs and scans with
    libclamav). Each round sends --mails small mails (default 600) to bob from --clients SMTP
    clients at once (default 10), each client on one connection, and waits until all of them
    are in bob's mail database.

    Prints per round and server: mails per second (from the first MAIL FROM to the last
    delivery) and the time a mail spent in the box, median and 99th percentile: from the
    server's 250 after the data to the update of the delivered note in bob's database (whose
    clock counts hundredths of a second). At the end the medians of both and their ratio.

    --spool-in-memory puts the scan spool (IN and Out below the install directory) and the
    engine's temporary files (engine.ini [Engine] TempDir=<install>/EngineTemp) on tmpfs,
    as the README advises for a busy server; the databases stay where they are. It mounts,
    so it needs root; the mounts are removed at the end of each round.

FILES
    <build>/bin/{vtprovision,nserver,nsmtp,nrouter,nsf,winreg,vantrel}
    machine roots in the temporary directory, removed at the end unless --keep
"""
import argparse
import os
import shutil
import socket
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "platform", "provision"))
import demo_machine  # noqa: E402
from demo_machine import wait_for  # noqa: E402


def send_mails(port, subjects, answered):
    """Sends one small mail per subject on one connection; answered[subject] = time of 250."""
    with socket.create_connection(("127.0.0.1", port), timeout=300) as s:
        reader = s.makefile("rb")

        def command(text, expected):
            if text is not None:
                s.sendall(text.encode() + b"\r\n")
            while True:
                line = reader.readline()
                if not line:
                    raise RuntimeError("the server closed the connection")
                if line[3:4] != b"-":
                    break
            if not line.startswith(expected.encode()):
                raise RuntimeError("%s: %s" % (text, line.decode(errors="replace").strip()))

        command(None, "220")
        command("EHLO bench.test", "250")
        for subject in subjects:
            command("MAIL FROM:<alice@example.com>", "250")
            command("RCPT TO:<bob@example.com>", "250")
            command("DATA", "354")
            s.sendall(("From: alice@example.com\r\nTo: bob@example.com\r\nSubject: %s\r\n"
                       "MIME-Version: 1.0\r\nContent-Type: text/plain\r\n\r\n"
                       "A short mail for the benchmark.\r\n%s\r\n.\r\n"
                       % (subject, "x" * 200)).encode())
            command(None, "250")
            answered[subject] = time.time()
        command("QUIT", "221")


def delivered(root):
    """{subject: update time in seconds} of the mails in bob's database."""
    path = os.path.join(root, "domino", "data", "mail", "bob.nsf")
    if not os.path.exists(path):
        return {}
    try:
        with sqlite3.connect("file:%s?mode=ro" % path, uri=True, timeout=30) as db:
            rows = db.execute("SELECT t.value, n.modified FROM text_index t JOIN notes n"
                              " ON n.id = t.note_id WHERE t.name = ?", (b"subject",)).fetchall()
    except sqlite3.Error:
        return {}
    return {bytes(value).decode(errors="replace"): modified / 100.0 for value, modified in rows}


def delivered_count(root):
    """How many documents bob's mail database holds: a cheap query, so that waiting for the
    deliveries takes next to no CPU away from the server being measured."""
    path = os.path.join(root, "domino", "data", "mail", "bob.nsf")
    if not os.path.exists(path):
        return 0
    try:
        with sqlite3.connect("file:%s?mode=ro" % path, uri=True, timeout=30) as db:
            return db.execute("SELECT count(*) FROM notes").fetchone()[0]
    except sqlite3.Error:
        return 0


def wait_for_count(root, count, seconds):
    end = time.time() + seconds
    while delivered_count(root) < count:
        if time.time() > end:
            raise RuntimeError("timed out waiting for every mail's delivery")
        time.sleep(0.25)


def spool_in_memory(root, mounts):
    """Mounts a tmpfs on the spool of the machine at root and sends the engine's temporary
    files there."""
    install = os.path.join(root, "vantrel")
    for name in ("IN", "Out", "EngineTemp"):
        path = os.path.join(install, name)
        os.makedirs(path, exist_ok=True)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=0755", "tmpfs", path], check=True)
        mounts.append(path)
    ini = os.path.join(install, "engine.ini")
    with open(ini) as f:
        lines = f.read().splitlines()
    setting = "TempDir=%s" % os.path.join(install, "EngineTemp")
    if "[Engine]" in lines:
        lines.insert(lines.index("[Engine]") + 1, setting)
    else:
        lines += ["", "[Engine]", setting]
    with open(ini, "w") as f:
        f.write("\n".join(lines) + "\n")


def run_round(build, hooks, mails, clients, tag, keep, in_memory=False):
    root = tempfile.mkdtemp(prefix="vantrel-smtp-throughput.")
    machine = demo_machine.Machine(build, root)
    machine.provision(hooks, (("TimeOut", "60"),) if hooks else ())
    mounts = []
    try:
        if hooks and in_memory:
            spool_in_memory(root, mounts)
        if hooks:
            machine.start_engine()
        machine.start_server()
        answered = {}
        send_mails(machine.port, ["warm-up %s" % tag], answered)
        wait_for(lambda: "warm-up %s" % tag in delivered(root), 120, "the warm-up mail")
        subjects = ["bench %s %d" % (tag, i) for i in range(mails)]
        answered.clear()
        before = delivered_count(root)
        start = time.time()
        threads = [threading.Thread(target=send_mails,
                                    args=(machine.port, subjects[c::clients], answered))
                   for c in range(clients)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        wait_for_count(root, before + mails, 600)
        seen = delivered(root)
        last = max(seen[s] for s in subjects)
        waits = sorted(max(0.0, seen[s] - answered[s]) for s in subjects if s in answered)
        p99 = waits[min(len(waits) - 1, int(len(waits) * 0.99))]
        return mails / (last - start), statistics.median(waits) * 1000, p99 * 1000
    finally:
        machine.stop_server()
        machine.stop_engine()
        for path in mounts:
            subprocess.run(["umount", path], check=False)
        if keep:
            print("machine root:", root)
        else:
            shutil.rmtree(root, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.environ.get("VT_BUILD_DIR", "build"))
    parser.add_argument("--mails", type=int, default=600)
    parser.add_argument("--clients", type=int, default=10)
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--hooks", default="vtnotes,rights")
    parser.add_argument("--spool-in-memory", action="store_true")
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args()
    if args.spool_in_memory and os.geteuid() != 0:
        parser.error("--spool-in-memory mounts a tmpfs and needs root")
    figures = {"": [], args.hooks: []}
    for round_number in range(args.rounds):
        for hooks in ("", args.hooks):
            rate, median, p99 = run_round(args.build, hooks, args.mails, args.clients,
                                          "%d%s" % (round_number, "h" if hooks else ""),
                                          args.keep, args.spool_in_memory)
            figures[hooks].append((rate, median, p99))
            print("round %d, %-16s %6.0f mails/s; in the box median %6.0f ms, p99 %6.0f ms"
                  % (round_number + 1, (hooks or "no extension") + ":", rate, median, p99),
                  flush=True)
    plain = statistics.median(f[0] for f in figures[""])
    scanned = statistics.median(f[0] for f in figures[args.hooks])
    print("medians: %.0f mails/s without extensions, %.0f with %s; ratio %.2f"
          % (plain, scanned, args.hooks, scanned / plain))
    print("in the box, medians of the rounds: %.0f / %.0f ms without, %.0f / %.0f ms with"
          " (median / p99)"
          % (statistics.median(f[1] for f in figures[""]),
             statistics.median(f[2] for f in figures[""]),
             statistics.median(f[1] for f in figures[args.hooks]),
             statistics.median(f[2] for f in figures[args.hooks])))
    return 0


if __name__ == "__main__":
    sys.exit(main())
