#!/usr/bin/env python3
"""smtp_throughput_bench - mails per second through SMTP, with the extensions and without.

SYNOPSIS
    smtp_throughput_bench.py [--build DIR] [--mails N] [--clients N] [--rounds N]
                             [--hooks LIBS] [--spool-in-memory] [--count-syncs] [--keep]

DESCRIPTION
    Alternates two servers on fresh machine roots, round after round: one with no extension
    and one with --hooks loaded (default vtnotes,rights; the engine runs and scans with
    libclamav). Each round sends --mails small mails (default 600) to bob from --clients SMTP
    clients at once (default 10), each client on one connection, and waits until all of them
    are in bob's mail database.

    Prints per round and server: mails per second (from the first MAIL FROM to the last
    delivery), the CPU time of the server's processes (and the engine's) per mail, and the
    time a mail spent in the box, median and 99th percentile: from the
    server's 250 after the data to the update of the delivered note in bob's database (whose
    clock counts hundredths of a second). At the end the medians of both and their ratio.

    --spool-in-memory puts the scan spool (IN and Out below the install directory) and the
    engine's temporary files (engine.ini [Engine] TempDir=<install>/EngineTemp) on tmpfs,
    as the README advises for a busy server; the databases stay where they are. It mounts,
    so it needs root; the mounts are removed at the end of each round.

    --count-syncs preloads the sync recorder (<build>/lib/libvt_sync_record.so) into the
    server's and the engine's processes and prints, per round, the syncs made per mail and
    what they were of: mail.box (acceptance), the mail files (delivery), attachment content
    and directories, and the rest. The recorder costs time of its own: take the mails/s from
    a run without it.

FILES
    <build>/bin/{vtprovision,nserver,nsmtp,nrouter,nsf,winreg,vantrel}
    machine roots in the temporary directory, removed at the end unless --keep
"""
import argparse
import collections
import os
import shutil
import socket
import sqlite3
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "platform", "provision"))
import demo_machine  # noqa: E402
from demo_machine import wait_for  # noqa: E402


MAX_WAIT_SECONDS = 600


def small_message(subject):
    """The small text mail of the benchmarks, as the blocks send_mails sends."""
    return [("From: alice@example.com\r\nTo: bob@example.com\r\nSubject: %s\r\n"
             "MIME-Version: 1.0\r\nContent-Type: text/plain\r\n\r\n"
             "A short mail for the benchmark.\r\n%s\r\n" % (subject, "x" * 200)).encode()]


def send_mails(port, subjects, answered, message=small_message, refused=None, began=None):
    """Sends one mail per subject to bob on one connection; answered[subject] = time of the 250
    after the data, and began[subject] = time of its MAIL FROM when began is given. subjects may be any iterable, also one that waits before it yields (a
    fixed rate). message(subject) gives the mail as blocks of bytes with CR LF line ends, no
    line starting with a dot. A mail refused after its data goes to refused[subject] = the
    reply when refused is given, and stops the sending otherwise."""
    with socket.create_connection(("127.0.0.1", port), timeout=300) as s:
        reader = s.makefile("rb")

        def reply():
            while True:
                line = reader.readline()
                if not line:
                    raise RuntimeError("the server closed the connection")
                if line[3:4] != b"-":
                    return line.decode(errors="replace").strip()

        def command(text, expected):
            if text is not None:
                s.sendall(text.encode() + b"\r\n")
            line = reply()
            if not line.startswith(expected):
                raise RuntimeError("%s: %s" % (text, line))

        command(None, "220")
        command("EHLO bench.test", "250")
        for subject in subjects:
            if began is not None:
                began[subject] = time.time()
            command("MAIL FROM:<alice@example.com>", "250")
            command("RCPT TO:<bob@example.com>", "250")
            command("DATA", "354")
            for block in message(subject):
                s.sendall(block)
            s.sendall(b".\r\n")
            line = reply()
            if line.startswith("250"):
                answered[subject] = time.time()
            elif refused is not None:
                refused[subject] = line
            else:
                raise RuntimeError("the data of %r: %s" % (subject, line))
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


def tree_cpu_seconds(pids):
    """CPU time (user and system) the processes pids and all their descendants have used,
    including what their children that already ended used: the difference between two calls
    is what the whole tree used in between."""
    parent = {}
    times = {}
    ticks = os.sysconf("SC_CLK_TCK")
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        # After the name: state, ppid, ..., utime (14th field of the line), stime, cutime,
        # cstime.
        parent[int(entry)] = int(fields[1])
        times[int(entry)] = sum(int(v) for v in fields[11:15]) / ticks
    tree = set(p for p in pids if p in times)
    grew = True
    while grew:
        children = {p for p, pp in parent.items() if pp in tree and p not in tree}
        tree |= children
        grew = bool(children)
    return sum(times[p] for p in tree)


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


SYNC_KINDS = (4, 5, 6)  # of a file, of a directory, of everything (platform/crashsim/sync_log.h)


def count_syncs(log_path):
    """{what: syncs} from a sync log, by the file or directory each was made on."""
    with open(log_path, "rb") as f:
        data = f.read()
    counts = collections.OrderedDict((k, 0) for k in ("mail.box", "mail files",
                                                       "content and directories", "other"))
    at = 0
    while at + 32 <= len(data):
        size, kind, inode, _, path_bytes = struct.unpack_from("<IB3xQQI4x", data, at)
        if kind in SYNC_KINDS:
            name = data[at + 32:at + 32 + path_bytes].split(b"\0")[0].decode("utf-8", "replace")
            if name.endswith(".box-wal"):
                counts["mail.box"] += 1
            elif "/mail/" in name and name.endswith(".nsf-wal"):
                counts["mail files"] += 1
            elif ".content/" in name or kind in (5, 6):
                counts["content and directories"] += 1
            else:
                counts["other"] += 1
        at += size
    return counts


class OurServer:
    """Our server on a fresh machine root, from start() to stop(): with no extension (hooks
    empty) or with the hook libraries named in hooks and the engine scanning. The benchmarks
    drive it, and the peer they compare it with, through port, start(), stop(),
    delivered_count(), delivered() and cpu_seconds()."""

    def __init__(self, build, hooks, in_memory=False, keep=False, count_syncs=False):
        self.build = build
        self.count_syncs = count_syncs
        self.syncs = None  # count_syncs() of the run, once stopped
        self.hooks = hooks
        self.in_memory = in_memory and bool(hooks)
        self.keep = keep
        self.name = "ours, " + (hooks or "no extension")
        self.root = None
        self.machine = None
        self.mounts = []

    @property
    def port(self):
        return self.machine.port

    def start(self):
        self.root = tempfile.mkdtemp(prefix="vantrel-smtp-bench.")
        self.machine = demo_machine.Machine(self.build, self.root)
        self.machine.provision(self.hooks, (("TimeOut", "60"),) if self.hooks else ())
        if self.in_memory:
            spool_in_memory(self.root, self.mounts)
        if self.count_syncs:
            self.machine.env.update(
                LD_PRELOAD=os.path.abspath(os.path.join(self.build, "lib",
                                                        "libvt_sync_record.so")),
                VT_SYNCLOG=self.root + ".synclog", VT_SYNCLOG_ROOT=self.root)
        if self.hooks:
            self.machine.start_engine()
        self.machine.start_server()

    def stop(self):
        if self.machine is None:
            return
        self.machine.stop_server()
        self.machine.stop_engine()
        for path in self.mounts:
            subprocess.run(["umount", path], check=False)
        self.mounts = []
        if self.count_syncs:
            self.syncs = count_syncs(self.root + ".synclog")
            os.remove(self.root + ".synclog")
        if self.keep:
            print("machine root:", self.root)
        else:
            shutil.rmtree(self.root, ignore_errors=True)
        self.machine = None

    def delivered_count(self):
        return delivered_count(self.root)

    def delivered(self):
        return delivered(self.root)

    def cpu_seconds(self):
        processes = [self.machine.server, self.machine.engine]
        return tree_cpu_seconds([p.pid for p in processes if p])


def wait_for_count(server, count, seconds=MAX_WAIT_SECONDS):
    end = time.time() + seconds
    while server.delivered_count() < count:
        if time.time() > end:
            raise RuntimeError("timed out waiting for every mail's delivery")
        time.sleep(0.25)


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(len(ordered) * fraction))]


Figures = collections.namedtuple(
    "Figures", "rate median_ms p99_ms whole_median_ms whole_p99_ms cpu_ms refused refusal")


def warm_up(server, tag):
    """One mail through the server started, so that no process is started during the
    measure."""
    subject = "warm-up %s" % tag
    send_mails(server.port, [subject], {})
    wait_for(lambda: subject in server.delivered(), 120, "the warm-up mail")


def deliver(server, subject_lists, message=small_message):
    """Sends the mails of each list of subjects on a connection of its own, all at once, and
    waits until the accepted ones are delivered. Returns Figures: mails per second from the
    first MAIL FROM to the last delivery, the time a mail spent between the 250 after its
    data and its delivery (median and 99th percentile, ms), the same from its MAIL FROM (the
    whole way, with what a server does before its 250), the CPU time of the server's
    processes per mail delivered (ms), how many mails were refused, and the first reply that
    refused one."""
    answered = {}
    refused = {}
    began = {}
    before = server.delivered_count()
    cpu_before = server.cpu_seconds()
    start = time.time()
    failures = []

    def client(subjects):
        try:
            send_mails(server.port, subjects, answered, message, refused, began)
        except Exception as error:  # noqa: BLE001 - raised again below, in the caller
            failures.append(error)

    threads = [threading.Thread(target=client, args=(subjects,)) for subjects in subject_lists]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if failures:
        raise RuntimeError("a client failed: %s" % failures[0])
    wait_for_count(server, before + len(answered))
    cpu = server.cpu_seconds() - cpu_before
    seen = server.delivered()
    last = max(seen[s] for s in answered)
    waits = [max(0.0, seen[s] - answered[s]) for s in answered]
    whole = [max(0.0, seen[s] - began[s]) for s in answered]
    return Figures(len(answered) / (last - start), statistics.median(waits) * 1000,
                   percentile(waits, 0.99) * 1000, statistics.median(whole) * 1000,
                   percentile(whole, 0.99) * 1000, cpu * 1000 / len(answered), len(refused),
                   next(iter(refused.values()), ""))


def closed_loop(server, subjects, clients, message=small_message):
    """deliver() with the subjects shared among the given number of clients, each sending
    its next mail as soon as the last is accepted."""
    return deliver(server, [subjects[c::clients] for c in range(clients)], message)


def run_round(build, hooks, mails, clients, tag, keep, in_memory=False, count=False):
    server = OurServer(build, hooks, in_memory, keep, count)
    try:
        server.start()
        warm_up(server, tag)
        figures = closed_loop(server, ["bench %s %d" % (tag, i) for i in range(mails)],
                              clients)
    finally:
        server.stop()
    if server.syncs is not None:
        sent = mails + 1  # and the warm-up mail
        print("    syncs per mail: %.2f (%s)"
              % (sum(server.syncs.values()) / sent,
                 ", ".join("%s %.2f" % (k, v / sent) for k, v in server.syncs.items())))
    return figures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.environ.get("VT_BUILD_DIR", "build"))
    parser.add_argument("--mails", type=int, default=600)
    parser.add_argument("--clients", type=int, default=10)
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--hooks", default="vtnotes,rights")
    parser.add_argument("--spool-in-memory", action="store_true")
    parser.add_argument("--count-syncs", action="store_true")
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args()
    if args.spool_in_memory and os.geteuid() != 0:
        parser.error("--spool-in-memory mounts a tmpfs and needs root")
    figures = {"": [], args.hooks: []}
    for round_number in range(args.rounds):
        for hooks in ("", args.hooks):
            f = run_round(args.build, hooks, args.mails, args.clients,
                          "%d%s" % (round_number, "h" if hooks else ""), args.keep,
                          args.spool_in_memory, args.count_syncs)
            figures[hooks].append(f)
            print("round %d, %-16s %6.0f mails/s, %5.2f ms CPU a mail; in the box median %6.0f"
                  " ms, p99 %6.0f ms" % (round_number + 1, (hooks or "no extension") + ":",
                                         f.rate, f.cpu_ms, f.median_ms, f.p99_ms), flush=True)

    def median(hooks, field):
        return statistics.median(getattr(f, field) for f in figures[hooks])

    plain = median("", "rate")
    scanned = median(args.hooks, "rate")
    print("medians: %.0f mails/s without extensions, %.0f with %s; ratio %.2f"
          % (plain, scanned, args.hooks, scanned / plain))
    print("CPU a mail, medians: %.2f ms without, %.2f ms with"
          % (median("", "cpu_ms"), median(args.hooks, "cpu_ms")))
    print("in the box, medians of the rounds: %.0f / %.0f ms without, %.0f / %.0f ms with"
          " (median / p99)"
          % (median("", "median_ms"), median("", "p99_ms"), median(args.hooks, "median_ms"),
             median(args.hooks, "p99_ms")))
    return 0


if __name__ == "__main__":
    sys.exit(main())
