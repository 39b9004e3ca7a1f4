#!/usr/bin/env python3
"""faults_job - the real-time scanning job when the machine fails it, end to end.

SYNOPSIS
    faults_job.py [--build DIR] [--root DIR] [--check]

DESCRIPTION
    Provisions a machine root, loads vtnotes into the router, starts the engine (vantrel)
    and the server (nserver) and sends infected mail through SMTP while parts of the
    machine fail, then prints what became of each mail:

        quarantine locked   another process holds vtquaran.nsf's write lock: the verdict is
                            applied all the same (the infected attachment never reaches the
                            recipient), the original is kept in <install>/Quarantine and
                            the administrators are warned
        spool unwritable    the IN spool cannot be written: the mail passes unscanned,
                            counted as skipped, the administrators get the engine-disabled
                            warning
        held until writable the same with HoldMailWhenNotScanned=1: the mail waits in
                            mail.box, the administrators are told, and once the spool can be
                            written again the mail is scanned and delivered cleaned
        held until engine   the same while the engine is down: delivered cleaned once the
                            engine runs again

    The server and the engine run as the unprivileged user "nobody" when this runs as root
    (root ignores the permissions the spool case takes away); without such a user the spool
    cases are skipped with a message.

    With --check the outcomes are compared with what each case must give and the exit
    status says whether all held (the integration test runs it so).

FILES
    <build>/bin/{vtprovision,vantrel,nserver,nrouter,nsmtp,nsf,winreg}, <build>/lib/*.so
    <root>/vantrel/Quarantine/*.eml   originals kept after a failed quarantine copy
"""
import email
import email.policy
import os
import pwd
import re
import shutil
import subprocess
import sys
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "..", "platform", "provision"))
sys.path.insert(0, here)
import demo_machine  # noqa: E402
import main_job  # noqa: E402
from demo_machine import wait_for  # noqa: E402

VIRUS_TEXT = main_job.VIRUS_TEXT
UNPRIVILEGED_USER = "nobody"
# The router tries a refused mail again after at most this long.
RETRY_MAX_MS = 1000


class Machine(main_job.Machine):
    def __init__(self, build, root, run_as):
        super().__init__(build, root)
        # setpriv prefix that runs a process as the unprivileged user (empty: as we are).
        self.prefix = run_as

    def tool(self, name, *args, check=True):
        result = subprocess.run(self.prefix + [os.path.join(self.build, "bin", name), *args],
                                env=self.env, capture_output=True, text=True)
        if check and result.returncode != 0:
            raise RuntimeError(f"{name} {' '.join(args)}: {result.stderr.strip()}")
        return result.stdout

    def provision(self):
        prefix, self.prefix = self.prefix, []
        super().provision()
        with open(os.path.join(self.root, "domino", "notes.ini"), "a") as f:
            f.write("RouterRetryMaxMs=%d\n" % RETRY_MAX_MS)
        if prefix:
            user = pwd.getpwnam(UNPRIVILEGED_USER)
            for directory, subdirs, files in os.walk(self.root):
                for name in [directory] + [os.path.join(directory, n) for n in subdirs + files]:
                    os.lchown(name, user.pw_uid, user.pw_gid)
        self.prefix = prefix

    def start_engine(self):
        self.engine = subprocess.Popen(
            self.prefix + [os.path.join(self.build, "bin", "vantrel"), "--root", self.root,
                           "--no-system-db"],
            env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        lock = os.path.join(self.root, "vantrel", "maildisp.lck")
        wait_for(lambda: os.path.exists(lock), 20, "the engine's lock file")

    def start_server(self):
        self.server = subprocess.Popen(
            self.prefix + [os.path.join(self.build, "bin", "nserver"), "--root", self.root],
            env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        wait_for(lambda: demo_machine.port_open(self.port), 30, "the SMTP port")

    def value(self, name):
        out = self.tool("winreg", "query", demo_machine.PRODUCT_KEY, name, check=False)
        numbers = re.findall(r"(\d+)\s*$", out.strip())
        return int(numbers[0]) if numbers else 0

    def admin_warned(self, subject_part, seconds=30):
        def warned():
            return any(subject_part in (e.get("subject") or "")
                       for e in self.documents("mail/admin.nsf"))
        try:
            return wait_for(warned, seconds, "the administrators' warning")
        except RuntimeError:
            return False


def unprivileged_prefix():
    """The prefix that runs a process as the unprivileged user, [] when not root, None when
    no such user can be used."""
    if os.geteuid() != 0:
        return []
    if shutil.which("setpriv") is None:
        return None
    try:
        pwd.getpwnam(UNPRIVILEGED_USER)
    except KeyError:
        return None
    return ["setpriv", "--reuid=" + UNPRIVILEGED_USER, "--regid=nogroup", "--clear-groups"]


def hold_write_lock(machine, db):
    """A process of its own that holds the database's write lock until its input closes."""
    path = os.path.join(machine.root, "domino", "data", db)
    holder = subprocess.Popen(
        machine.prefix + [sys.executable, "-c",
                          "import sqlite3, sys\n"
                          "c = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
                          "c.execute('BEGIN IMMEDIATE')\n"
                          "print('locked', flush=True)\n"
                          "sys.stdin.read()\n", path],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    if holder.stdout.readline().strip() != "locked":
        raise RuntimeError("could not lock " + db)
    return holder


def delivered(machine, subject):
    return main_job.find_by_subject(machine, "mail/bob.nsf", subject)


def row(name, ok, note):
    return (name, "ok" if ok else "WRONG", note, 0 if ok else 1)


def kept_message_whole(path, subject):
    """The kept message is the mail as it arrived: its subject, and its infected attachment
    as it was sent."""
    with open(path, "rb") as f:
        message = email.message_from_binary_file(f, policy=email.policy.default)
    parts = [p.get_content() for p in message.iter_attachments()]
    return message["Subject"] == subject and VIRUS_TEXT in [
        p if isinstance(p, bytes) else p.encode() for p in parts]


def case_quarantine_locked(machine):
    machine.set_policy(action="clean", quarantine=1)
    subject = "case quarantine locked"
    holder = hold_write_lock(machine, "vtquaran.nsf")
    try:
        main_job.send(machine.port, subject, "Keep a copy.", ("q.exe", VIRUS_TEXT))
        # The copy waits out the database's busy time before it gives up.
        main_job.settle(machine, subject, 120)
    finally:
        holder.stdin.close()
        holder.wait(20)
    document = delivered(machine, subject)
    body = main_job.body_text(document) if document else ""
    kept_dir = os.path.join(machine.root, "vantrel", "Quarantine")
    kept = [os.path.join(kept_dir, n) for n in sorted(os.listdir(kept_dir))
            if n.endswith(".eml")] if os.path.isdir(kept_dir) else []
    kept_whole = any(kept_message_whole(path, subject) for path in kept)
    warned = machine.admin_warned("Vantrel Quarantine Failed")
    ok = (document is not None and VIRUS_TEXT.decode() not in body and kept_whole and warned
          and main_job.find_by_subject(machine, "vtquaran.nsf", subject) is None)
    return row("quarantine locked", ok,
               "delivered cleaned: %s, original kept: %s, administrators warned: %s"
               % (document is not None and VIRUS_TEXT.decode() not in body, kept_whole, warned))


def case_spool_unwritable(machine, in_dir):
    machine.set_policy(action="clean")
    subject = "case spool unwritable"
    skipped_before = machine.value("TotalSkippedMail")
    os.chmod(in_dir, 0o555)
    try:
        main_job.send(machine.port, subject, "Sent while the spool is read-only.")
        main_job.settle(machine, subject, 60)
    finally:
        os.chmod(in_dir, 0o755)
    document = delivered(machine, subject)
    warned = machine.admin_warned("Vantrel Disabled")
    skipped = machine.value("TotalSkippedMail") - skipped_before
    ok = document is not None and warned and skipped == 1
    return row("spool unwritable", ok,
               "delivered unscanned: %s, administrators warned: %s, counted skipped: %d"
               % (document is not None, warned, skipped))


def case_held_until_writable(machine, in_dir):
    machine.set_policy(action="clean")
    subject = "case held until writable"
    os.chmod(in_dir, 0o555)
    try:
        main_job.send(machine.port, subject, "Held while the spool is read-only.",
                      ("h.exe", VIRUS_TEXT))
        time.sleep(6)  # several of the router's tries
        waiting = main_job.find_by_subject(machine, "mail.box", subject) is not None
        early = delivered(machine, subject) is not None
        warned = machine.admin_warned("Vantrel Holding Mail")
    finally:
        os.chmod(in_dir, 0o755)
    main_job.settle(machine, subject, 60)
    document = delivered(machine, subject)
    body = main_job.body_text(document) if document else ""
    scanned = document is not None and VIRUS_TEXT.decode() not in body
    ok = waiting and not early and warned and scanned
    return row("held until writable", ok,
               "waited in mail.box: %s, administrators told: %s, delivered scanned: %s"
               % (waiting and not early, warned, scanned))


def case_held_until_engine_runs(machine):
    machine.set_policy(action="clean")
    subject = "case held until engine runs"
    machine.stop_engine()
    main_job.send(machine.port, subject, "Held while the engine is down.", ("e.exe", VIRUS_TEXT))
    time.sleep(4)
    waiting = main_job.find_by_subject(machine, "mail.box", subject) is not None
    early = delivered(machine, subject) is not None
    machine.start_engine()  # announces itself: scanning is on again
    main_job.settle(machine, subject, 60)
    document = delivered(machine, subject)
    body = main_job.body_text(document) if document else ""
    scanned = document is not None and VIRUS_TEXT.decode() not in body
    ok = waiting and not early and scanned
    return row("held until engine", ok, "waited in mail.box: %s, delivered scanned: %s"
               % (waiting and not early, scanned))


def run(machine, spool_cases):
    rows = []
    in_dir = os.path.join(machine.root, "vantrel", "IN")
    machine.start_engine()
    machine.start_server()
    try:
        rows.append(case_quarantine_locked(machine))
        if spool_cases:
            rows.append(case_spool_unwritable(machine, in_dir))
            machine.stop_server()
            machine.tool("winreg", "set", demo_machine.PRODUCT_KEY, "HoldMailWhenNotScanned", "1")
            machine.start_server()
            rows.append(case_held_until_writable(machine, in_dir))
            rows.append(case_held_until_engine_runs(machine))
    finally:
        machine.stop_server()
        machine.stop_engine()
    print("%-20s %-7s %s" % ("case", "result", "what was seen"))
    print("-" * 100)
    for r in rows:
        print("%-20s %-7s %s" % r[:3])
    return sum(r[3] for r in rows)


def main():
    prefix = unprivileged_prefix()
    if prefix is None:
        print("SKIP the spool cases: running as root and the user %r cannot be used, so "
              "permissions would not apply" % UNPRIVILEGED_USER)
    return demo_machine.run_job(lambda build, root: Machine(build, root, prefix or []),
                                lambda machine, check: run(machine, prefix is not None),
                                "vantrel-faults-job.")


if __name__ == "__main__":
    sys.exit(main())
