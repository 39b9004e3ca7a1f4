"""smtp_memory_bench - peak memory of the server's tasks while large mail passes through.

SYNOPSIS
    smtp_memory_bench.py [--build DIR] [--shapes NAME,...] [--scale F] [--hooks LIBS]
                         [--keep]

DESCRIPTION
    Provisions a machine root (vtprovision); for each shape named, starts the server
    (nserver) and, with --hooks (default vtnotes,rights), the engine (vantrel), sends one
    mail of that shape through SMTP, streamed from a file so that the client holds none of
    it, and stops them again:

      attachment  a short text part and a 200 MB attachment of random bytes (base64)
      text        one text/plain part of 200 MB of text, base64-encoded
      many        1,000 attachments of 4 KB and then one of 150 MB: the import makes objects
                  of the first 1,000 and leaves the last in the MIME text
      headers     100,000 header lines above a short text (0.9 MB: short lines, for the
                  section to stay under the 1 MB the server takes)
      raw         a 200 MB attachment whose part header (40 KB) is too long for the import
                  to take it: the whole raw MIME body, 287 MB, stays text
      60mb        a 60 MB attachment (the first shape, smaller)

    Once the mail is delivered into bob's mail database and gone from mail.box (or refused
    by the server, or kept nowhere after a settling time), it prints how far the resident
    memory of nsmtp, nrouter and the engine rose above their baseline: the peak (VmHWM,
    reset through /proc/PID/clear_refs before each mail) less the resident size (VmRSS) at
    rest before the mail, after a small mail warmed them up. --scale multiplies every size
    (0.05 for a quick try). The SMTP size limit of the root is raised to take the largest
    mail. --hooks "" measures the server without extensions.

FILES
    <build>/bin/{vtprovision,nserver,nsmtp,nrouter,nsf,winreg,vantrel}
    a machine root in the temporary directory, removed at the end unless --keep
"""
import argparse
import base64
import os
import random
import re
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "platform", "provision"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import demo_machine  # noqa: E402
import smtp_throughput_bench  # noqa: E402

MB = 1024 * 1024
BLOCK = 57 * 16 * 1024  # raw bytes of whole base64 lines of 76 characters

WORDS = ("the of and to in is that for it as was with be by on not he this are or his from at "
         "which but have an they you were their one all we can her has there been if more when "
         "will would who so no report quarter budget meeting invoice delivery project customer "
         "schedule figures contract review draft attached please find regards thanks").split()


def text_pool(rng, size=MB):
    """Lines of words, about size bytes, to cut text of any length from."""
    lines = []
    total = 0
    while total < size:
        line = " ".join(rng.choice(WORDS) for _ in range(12)) + "\r\n"
        lines.append(line)
        total += len(line)
    return "".join(lines).encode()


def text_blocks(rng, pool, size, block=BLOCK):
    """size bytes of text in blocks: pieces of the pool from random line starts."""
    starts = [m.end() for m in re.finditer(b"\r\n", pool[:-block - 2])] if len(pool) > block + 2 else [0]
    remaining = size
    while remaining > 0:
        start = rng.choice(starts)
        piece = pool[start:start + min(block, remaining)]
        remaining -= len(piece)
        yield piece


def random_blocks(size):
    remaining = size
    while remaining > 0:
        raw = os.urandom(min(BLOCK, remaining))
        remaining -= len(raw)
        yield raw


def base64_lines(blocks):
    """The blocks of raw bytes base64-encoded in lines of 76 characters with CR LF."""
    carry = b""
    for raw in blocks:
        data = carry + raw
        whole = len(data) - len(data) % 57
        carry = data[whole:]
        if whole:
            encoded = base64.b64encode(data[:whole])
            yield b"".join(encoded[i:i + 76] + b"\r\n" for i in range(0, len(encoded), 76))
    if carry:
        yield base64.b64encode(carry) + b"\r\n"


def part(content_type, body, file_name=None, encoding="base64", extra_headers=""):
    """A MIME part for write_mail: its header section and its content blocks (raw bytes,
    encoded here when encoding is base64; else lines with CR LF as they are)."""
    header = "Content-Type: %s%s\r\n" % (content_type,
                                           '; name="%s"' % file_name if file_name else "")
    if encoding:
        header += "Content-Transfer-Encoding: %s\r\n" % encoding
    if file_name:
        header += 'Content-Disposition: attachment; filename="%s"\r\n' % file_name
    header += extra_headers
    return header, base64_lines(body) if encoding == "base64" else body


def write_mail(f, subject, parts, header_lines=()):
    """An RFC 822 message with CR LF line ends from alice to bob: the parts in a
    multipart/mixed body, or the one part as the body, written a block at a time."""
    f.write(("From: alice@example.com\r\nTo: bob@example.com\r\nSubject: %s\r\n"
             "MIME-Version: 1.0\r\n" % subject).encode())
    for line in header_lines:
        f.write(line)
    if len(parts) == 1:
        header, blocks = parts[0]
        f.write(header.encode() + b"\r\n")
        for block in blocks:
            f.write(block)
        return
    boundary = "=_bench_boundary_0001"
    f.write(('Content-Type: multipart/mixed; boundary="%s"\r\n\r\n' % boundary).encode())
    for header, blocks in parts:
        f.write(("--%s\r\n%s\r\n" % (boundary, header)).encode())
        for block in blocks:
            f.write(block)
        f.write(b"\r\n")
    f.write(("--%s--\r\n" % boundary).encode())


def write_shape(path, shape, subject, scale):
    """The message of the named shape (see the description above) in path."""
    rng = random.Random(shape)
    size = lambda mb: max(1, int(mb * MB * scale))  # noqa: E731
    note = [part("text/plain; charset=us-ascii", [b"A mail of the shape %s.\r\n" % shape.encode()],
                 encoding="7bit")]
    header_lines = ()
    if shape in ("attachment", "60mb"):
        mb = 200 if shape == "attachment" else 60
        parts = note + [part("application/octet-stream", random_blocks(size(mb)), "data.bin")]
    elif shape == "text":
        parts = [part("text/plain; charset=utf-8", text_blocks(rng, text_pool(rng), size(200)))]
    elif shape == "many":
        parts = note + [part("application/octet-stream", random_blocks(4096), "small-%04d.bin" % i)
                        for i in range(1000)]
        parts.append(part("application/octet-stream", random_blocks(size(150)), "large.bin"))
    elif shape == "headers":
        # Short lines, so that the section stays under the 1 MB the import takes.
        header_lines = (b"X:%05d\r\n" % i for i in range(max(1, int(100000 * scale))))
        parts = note
    elif shape == "raw":
        padding = "".join("X-Bench-Padding-%03d: %s\r\n" % (i, "p" * 70) for i in range(440))
        parts = note + [part("application/octet-stream", random_blocks(size(200)), "data.bin",
                             extra_headers=padding)]
    else:
        raise ValueError("unknown shape %r" % shape)
    with open(path, "wb") as f:
        write_mail(f, subject, parts, header_lines)


def file_blocks(path):
    """message() for send_mails: the message in path, a block at a time."""
    def blocks(_subject):
        with open(path, "rb") as f:
            while True:
                block = f.read(MB)
                if not block:
                    return
                yield block
    return blocks


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


SHAPES = ("attachment", "text", "many", "headers", "raw", "60mb")


def outcome(machine, subject, seconds):
    """Waits until the mail is delivered into bob's database and gone from mail.box, and
    says what became of it: delivered; gone (from mail.box, after having been there, and
    not in bob's database for 30 s); or still in mail.box when the time is up."""
    subjects = lambda db: [e.get("subject") or "" for e in machine.documents(db)]  # noqa: E731
    end = time.time() + seconds
    gone_since = None
    while time.time() < end:
        in_box = subject in subjects("mail.box")
        if not in_box and subject in subjects("mail/bob.nsf"):
            return "delivered"
        if in_box:
            gone_since = None
        elif gone_since is None:
            gone_since = time.time()
        elif time.time() - gone_since > 30:
            return "not delivered (not in mail.box)"
        time.sleep(1)
    return "still in mail.box after %d s" % seconds


def main():
    parser = argparse.ArgumentParser(
        description="Peak memory of nsmtp, nrouter and the engine above their baseline while "
                    "mail of each shape passes through (see the module's description).")
    parser.add_argument("--build", default=os.environ.get("VT_BUILD_DIR", "build"))
    parser.add_argument("--shapes", default="attachment,text,many,headers,raw",
                        help="comma-separated, of: " + ", ".join(SHAPES))
    parser.add_argument("--scale", type=float, default=1.0,
                        help="multiplies every size and count (0.05 for a quick try)")
    parser.add_argument("--hooks", default="vtnotes,rights",
                        help='hook libraries; "" for the server without extensions')
    parser.add_argument("--wait", type=int, default=1200,
                        help="seconds to wait for a mail's delivery")
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args()
    shapes = [s for s in args.shapes.split(",") if s]
    for shape in shapes:
        if shape not in SHAPES:
            parser.error("unknown shape %r" % shape)
    root = tempfile.mkdtemp(prefix="vantrel-smtp-memory.")
    machine = demo_machine.Machine(args.build, root)
    machine.provision(args.hooks, ())
    # The largest shape is a 200 MB attachment and 40 KB of part header, base64.
    limit_kb = int(200 * args.scale * 4 / 3 * 78 / 76 + 64) * 1024
    with open(os.path.join(root, "domino", "notes.ini"), "a") as f:
        f.write("SMTPMaxMessageSizeKB=%d\n" % max(limit_kb, 65536))
    message = os.path.join(tempfile.gettempdir(), "vantrel-bench-%d.eml" % os.getpid())
    send = smtp_throughput_bench.send_mails
    rows = []
    try:
        for shape in shapes:
            # Fresh processes for each shape: what one mail left allocated would hide what the
            # next one takes.
            if args.hooks:
                machine.start_engine()
            machine.start_server()
            tasks = {name: task_pid(root, name) for name in ("nsmtp", "nrouter")}
            if args.hooks:
                tasks["vantrel"] = machine.engine.pid
            warm_up = "warm-up before %s" % shape
            write_shape(message, "60mb", warm_up, 1 / 60)
            send(machine.port, [warm_up], {}, file_blocks(message))
            if outcome(machine, warm_up, 120) != "delivered":
                raise RuntimeError("the warm-up mail was not delivered")
            subject = "shape %s" % shape
            write_shape(message, shape, subject, args.scale)
            message_mb = os.path.getsize(message) / MB
            time.sleep(1)
            baseline = {}
            for name, pid in tasks.items():
                baseline[name] = status_kb(pid, "VmRSS")
                reset_peak(pid)
            start = time.time()
            refused = {}
            send(machine.port, [subject], {}, file_blocks(message), refused)
            result = ("refused: " + refused[subject] if subject in refused
                      else outcome(machine, subject, args.wait))
            seconds = time.time() - start
            for name, pid in tasks.items():
                peak = status_kb(pid, "VmHWM")
                rows.append((name, shape, message_mb, baseline[name] / 1024.0,
                             (peak - baseline[name]) / 1024.0, seconds, result))
            print("%s: %.1f MB, %s in %.1f s" % (shape, message_mb, result, seconds), flush=True)
            machine.stop_server()
            machine.stop_engine()
    finally:
        machine.stop_server()
        machine.stop_engine()
        if os.path.exists(message):
            os.remove(message)
        if not args.keep:
            shutil.rmtree(root, ignore_errors=True)
        else:
            print("machine root:", root)
    print("%-8s %-11s %-11s %-13s %-17s %s" % ("task", "shape", "message", "baseline",
                                               "peak above it", "sent+delivered"))
    failed = set()
    for name, shape, message_mb, base, above, seconds, result in rows:
        over = above >= 32
        if over or result != "delivered":
            failed.add(shape)
        print("%-8s %-11s %7.1f MB  %8.1f MB  %9.1f MB %s  %6.1f s" % (
            name, shape, message_mb, base, above, "(!)" if over else "   ", seconds))
    print("goal: under 32 MB above the baseline for each task; (!) marks a figure over it")
    print("shapes that pass: %s; that do not: %s" % (
        ", ".join(s for s in shapes if s not in failed) or "none",
        ", ".join(s for s in shapes if s in failed) or "none"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
