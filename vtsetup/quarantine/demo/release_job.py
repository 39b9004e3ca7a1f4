#!/usr/bin/env python3
"""release_job - a false alarm handled with vtquarantine, end to end, on a fresh machine root.

SYNOPSIS
    release_job.py [--build DIR] [--root DIR] [--check]

DESCRIPTION
    Provisions a machine root, loads vtnotes into the router, starts the engine (vantrel)
    and the server (nserver) and goes through what an administrator does after a false
    alarm:

        quarantined   a mail to bob and carol with an attachment the engine takes for a
                      virus: delivered cleaned, a copy in vtquaran.nsf
        listed        `vtquarantine list --json` shows the copy with sender, recipients,
                      subject, virus and size
        exported      `vtquarantine export` writes it as a message, attachment included
        released      `vtquarantine release` puts it into mail.box; bob and carol each get
                      it once, attachment included, passed unscanned by the installation's
                      mark; the copy records who released it
        twice         a second release of the same copy is refused and sends nothing
        refused       an ID that is not a quarantine copy is refused
        imported      with vtquaran.nsf gone, the next copy fails and the extension keeps
                      the original under <install>/Quarantine; once the database is back,
                      `vtquarantine import` brings it in and removes the file, and a second
                      import finds nothing
        raced         three releases of the imported copy at once: one succeeds, each
                      recipient gets the mail once

    With --check the outcomes are compared with what each step must give and the exit
    status says whether all held (the integration test runs it so).

FILES
    <build>/bin/{vtprovision,vantrel,nserver,nrouter,nsmtp,nsf,winreg,vtquarantine}
    <root>/vantrel/engine.ini    the policy: clean, with a quarantine copy
"""
import json
import os
import shutil
import smtplib
import subprocess
import sys
import tempfile
import time
from email.message import EmailMessage

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "..", "platform", "provision"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "..", "vtnotes", "demo"))
import demo_machine  # noqa: E402
import main_job  # noqa: E402
from demo_machine import wait_for  # noqa: E402

VIRUS_TEXT = main_job.VIRUS_TEXT
RECIPIENTS = ("bob", "carol")


class Machine(main_job.Machine):
    def quarantine(self, *args):
        return subprocess.run([os.path.join(self.build, "bin", "vtquarantine"), *args],
                              env=self.env, capture_output=True, text=True)

    def vantrel_id(self):
        with open(os.path.join(self.root, "vantrel", "vantrel.ini")) as f:
            for line in f:
                if line.strip().lower().startswith("vantrelid="):
                    return line.split("=", 1)[1].strip()
        return ""


def send(port, subject, text, attachment):
    message = EmailMessage()
    message["From"] = "alice@example.com"
    message["To"] = "bob@example.com"
    message["Cc"] = "carol@example.com"
    message["Subject"] = subject
    message.set_content(text)
    name, data = attachment
    message.add_attachment(data, maintype="application", subtype="octet-stream", filename=name)
    with smtplib.SMTP("127.0.0.1", port, timeout=30) as smtp:
        smtp.send_message(message)


def with_subject(machine, db, subject):
    """Every document of the database with that subject, shown whole."""
    return [machine.show(db, e.get("noteid")) for e in machine.documents(db)
            if e.get("subject") == subject]


def released_copies(machine, user, subject, mark):
    """The documents of the user's mail database that came from a release: they carry
    the installation's mark and the attachment as it was sent."""
    return [d for d in with_subject(machine, "mail/%s.nsf" % user, subject)
            if main_job.item_text(d, "X-Vantrel") == mark and main_job.attachments(d) == 1]


def listed(machine, subject):
    result = machine.quarantine("list", "--json")
    if result.returncode != 0:
        return None
    return next((c for c in json.loads(result.stdout) if c["subject"] == subject), None)


def run(machine):
    rows = []

    def step(name, ok, note):
        rows.append((name, "ok" if ok else "WRONG", note))

    machine.start_engine()
    machine.start_server()
    work = tempfile.mkdtemp(prefix="vtquarantine-job.")
    try:
        machine.set_policy(action="clean", quarantine=1)
        subject = "false alarm report"
        send(machine.port, subject, "The quarterly figures.", ("figures.xls", VIRUS_TEXT))
        main_job.settle(machine, subject, 60)
        cleaned = [with_subject(machine, "mail/%s.nsf" % u, subject) for u in RECIPIENTS]
        ok = all(len(d) == 1 and main_job.attachments(d[0]) == 0 for d in cleaned)
        step("quarantined", ok, "delivered cleaned to %s" % ", ".join(RECIPIENTS))

        copy = None
        try:
            wait_for(lambda: listed(machine, subject), 20, "the quarantine copy")
            copy = listed(machine, subject)
        except RuntimeError:
            pass
        ok = copy is not None and copy["from"] == "alice@example.com" and \
            sorted(copy["recipients"]) == ["bob@example.com", "carol@example.com"] and \
            copy["virus"] != "" and copy["size"] > 0
        step("listed", ok, "%s virus %s, %s bytes" % (copy["id"], copy["virus"], copy["size"])
             if copy else "no copy listed")
        if copy is None:
            return rows

        exported = os.path.join(work, "copy.eml")
        result = machine.quarantine("export", copy["id"], exported)
        text = open(exported).read() if os.path.exists(exported) else ""
        ok = result.returncode == 0 and "Subject: " + subject in text and "figures.xls" in text
        again = machine.quarantine("export", copy["id"], exported)
        ok = ok and again.returncode == 1
        step("exported", ok, "%d bytes; a second export into the same file refused" % len(text))

        mark = machine.vantrel_id()
        result = machine.quarantine("release", copy["id"], "--by", "postmaster")
        try:
            wait_for(lambda: all(released_copies(machine, u, subject, mark) for u in RECIPIENTS),
                     60, "the released mail")
        except RuntimeError:
            pass
        time.sleep(2)  # a second delivery would show by now
        counts = [len(released_copies(machine, u, subject, mark)) for u in RECIPIENTS]
        shown = machine.quarantine("show", copy["id"]).stdout
        ok = result.returncode == 0 and counts == [1, 1] and "by postmaster" in shown
        step("released", ok, "delivered %s; %s" % (
            counts, next((l for l in shown.splitlines() if l.startswith("Released:")), "")))

        second = machine.quarantine("release", copy["id"])
        time.sleep(2)
        counts = [len(released_copies(machine, u, subject, mark)) for u in RECIPIENTS]
        ok = second.returncode == 1 and "released already" in second.stderr and counts == [1, 1]
        step("twice", ok, second.stderr.strip()[:70])

        bad = [machine.quarantine("release", i) for i in ("vtquaran.nsf:7FFE", "names.nsf:8FA",
                                                          "zz")]
        ok = all(r.returncode == 1 for r in bad)
        step("refused", ok, "; ".join(r.stderr.strip().split(": ", 1)[-1][:30] for r in bad))

        # A copy that cannot be written: the original is kept on disk.
        data = os.path.join(machine.root, "domino", "data")
        os.rename(os.path.join(data, "vtquaran.nsf"), os.path.join(data, "vtquaran.away"))
        kept_subject = "kept original"
        try:
            send(machine.port, kept_subject, "Kept on disk.", ("kept.exe", VIRUS_TEXT))
            main_job.settle(machine, kept_subject, 60)
        finally:
            os.rename(os.path.join(data, "vtquaran.away"), os.path.join(data, "vtquaran.nsf"))
        kept_dir = os.path.join(machine.root, "vantrel", "Quarantine")
        kept = [n for n in os.listdir(kept_dir) if n.endswith((".eml", ".nsf"))] \
            if os.path.isdir(kept_dir) else []
        result = machine.quarantine("import")
        imported = listed(machine, kept_subject)
        left = [n for n in os.listdir(kept_dir) if n.endswith((".eml", ".nsf"))] \
            if os.path.isdir(kept_dir) else []
        second = machine.quarantine("import")
        ok = len(kept) == 1 and result.returncode == 0 and imported is not None and \
            not left and "nothing to import" in second.stdout
        step("imported", ok, "kept %d file(s); imported as %s; left %d" % (
            len(kept), imported["id"] if imported else "-", len(left)))

        # Three administrators release the imported copy at the same moment: one wins.
        racers = [subprocess.Popen([os.path.join(machine.build, "bin", "vtquarantine"),
                                    "release", imported["id"] if imported else "8FA"],
                                   env=machine.env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL) for _ in range(3)]
        codes = sorted(r.wait(60) for r in racers)
        try:
            wait_for(lambda: all(released_copies(machine, u, kept_subject, mark)
                                 for u in RECIPIENTS), 60, "the raced release")
        except RuntimeError:
            pass
        time.sleep(2)
        counts = [len(released_copies(machine, u, kept_subject, mark)) for u in RECIPIENTS]
        step("raced", codes == [0, 1, 1] and counts == [1, 1],
             "exit codes %s; delivered %s" % (codes, counts))
    finally:
        machine.stop_server()
        machine.stop_engine()
        shutil.rmtree(work, ignore_errors=True)
    return rows


def run_and_report(machine, check):
    """Runs the steps and prints a line for each; returns how many went wrong."""
    rows = run(machine)
    print("%-12s %-6s %s" % ("step", "result", "what happened"))
    print("-" * 90)
    for row in rows:
        print("%-12s %-6s %s" % row)
    return sum(1 for r in rows if r[1] != "ok") + (0 if len(rows) == 8 else 1)


if __name__ == "__main__":
    sys.exit(demo_machine.run_job(Machine, run_and_report, "vantrel-release-job."))
