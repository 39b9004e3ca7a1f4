#!/usr/bin/env python3
"""sweep_bench - documents per second that vtsweep scans in one mail database.

SYNOPSIS
    sweep_bench.py [--build DIR] [--documents N]

DESCRIPTION
    Provisions a machine root, writes N posted Notes mails (a short body and one 16 KB
    attachment each) into mail/alice.nsf, and times `vtsweep 1` over that database twice:
    with the engine answering at once (vantrel --no-scan), and with the engine scanning with
    libclamav. Prints documents per second for each, their ratio, and vtsweep's peak
    resident memory (which must not grow with N). A benchmark, not a test.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "platform", "provision"))
import demo_machine  # noqa: E402


def run_sweep(machine, no_scan):
    args = [os.path.join(machine.build, "bin", "vantrel"), "--root", machine.root,
            "--no-system-db"] + (["--no-scan"] if no_scan else [])
    machine.engine = subprocess.Popen(args, env=machine.env, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL)
    demo_machine.wait_for(lambda: os.path.exists(
        os.path.join(machine.root, "vantrel", "maildisp.lck")), 20, "the engine")
    started = time.monotonic()
    sweep = subprocess.Popen([os.path.join(machine.build, "bin", "vtsweep"), "1"],
                             env=machine.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(sweep.pid, 0)
    sweep.returncode = os.waitstatus_to_exitcode(status)
    elapsed = time.monotonic() - started
    if sweep.returncode != 0:
        raise RuntimeError("vtsweep exited with %d" % sweep.returncode)
    peak_kb = usage.ru_maxrss
    machine.stop_engine()
    return elapsed, peak_kb


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--documents", type=int, default=1000)
    args = parser.parse_args()
    root = tempfile.mkdtemp(prefix="vantrel-sweep-bench.")
    machine = demo_machine.Machine(args.build, os.path.join(root, "machine"))
    try:
        machine.provision("", (("TimeOut", "60"),))
        body = os.path.join(root, "body.txt")
        attachment = os.path.join(root, "report.bin")
        with open(body, "w") as f:
            f.write("quarterly figures attached\r\n")
        with open(attachment, "wb") as f:
            f.write(os.urandom(16 * 1024))
        for i in range(args.documents):
            machine.tool("nsf", "put", "mail/alice.nsf", "--body", body, "--attach", attachment,
                         "Form=Memo", "From=bob@example.com", "SendTo[]=alice@example.com",
                         "Subject=report %d" % i, "PostedDate@=now")
        found = machine.tool("nsf", "search", "vtsched.nsf", 'SELECT form = "Scheduledfrm"')
        note = found.split()[0]
        machine.tool("nsf", "put", "vtsched.nsf", "--note", note, "SelectedDBFile=Y",
                     "DBFiletxt=mail/alice.nsf")
        answer_s, peak_answer = run_sweep(machine, no_scan=True)
        scan_s, peak_scan = run_sweep(machine, no_scan=False)
        n = args.documents
        print("documents: %d, each a short body and a 16 KB attachment" % n)
        print("engine --no-scan   %8.1f documents/s" % (n / answer_s))
        print("engine libclamav   %8.1f documents/s  (%.2f of --no-scan)"
              % (n / scan_s, answer_s / scan_s))
        print("vtsweep peak resident memory: %d KB" % max(peak_answer, peak_scan))
    finally:
        machine.stop_engine()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
