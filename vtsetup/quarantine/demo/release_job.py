#!/usr/bin/env python3
"""release_job - a false alarm handled with vtquarantine, end to end, on a fresh machine root.

SYNOPSIS
    release_job.py [--build DIR] [--root DIR] [--check]

DESCRIPTION
    Provisions a machine root, loads vtnotes into the router with two quarantine
    databases, vtquaran.nsf and the administrator's own mail database mail/admin.nsf
    (VTADMINDB), starts the engine (vantrel, which warns the administrator of every virus)
    and the server (nserver) and goes through what an administrator does after a false
    alarm:

        quarantined   a mail to bob, carol and admin with an attachment the engine takes
                      for a virus: delivered cleaned, a copy in each quarantine database,
                      the administrator's warning in mail/admin.nsf
        listed        `vtquarantine list --json` shows exactly one copy in each database,
                      with sender, recipients, subject, virus and size, and not the
                      warning mail
        exported      `vtquarantine export` writes it as a message, attachment included
        released      `vtquarantine release` puts it into mail.box; each recipient gets it
                      once, attachment included, passed unscanned by the installation's
                      mark; the copy records who released it; the released mail that
                      reached mail/admin.nsf is not listed as a copy
        twice         a second release of the same copy, and a release of the mail's copy
                      in the other database, are refused and send nothing
        refused       an ID that is not a quarantine copy (the warning mail among them) is
                      refused
        imported      with vtquaran.nsf gone, the next copy fails and the extension keeps
                      the original under <install>/Quarantine; once the database is back,
                      `vtquarantine import` brings it in, with the virus the engine named,
                      and removes the file, and a second import finds nothing
        raced         releases of the imported mail's two copies, from the two databases,
                      all at once: one succeeds, each recipient gets the mail once
        purged        `vtquarantine purge --older-than 0` deletes every copy and leaves
                      every other document of mail/admin.nsf (warnings, released mails)

    With --check the outcomes are compared with what each step must give and the exit
    status says whether all held (the integration test runs it so).

FILES
    <build>/bin/{vtprovision,vantrel,nserver,nrouter,nsmtp,nsf,winreg,vtquarantine}
    <root>/vantrel/engine.ini    the policy: clean, with a quarantine copy, administrators
                                 warned
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
RECIPIENTS = ("bob", "carol", "admin")
DATABASES = ("vtquaran.nsf", "mail/admin.nsf")


class Machine(main_job.Machine):
    def provision(self):
        super().provision()
        self.tool("winreg", "set", demo_machine.PRODUCT_KEY, "VTADMINDB", ",".join(DATABASES))

    def set_policy(self):
        with open(os.path.join(self.root, "vantrel", "engine.ini"), "w") as f:
            f.write("[Infected]\nAction=clean\nQuarantine=1\n"
                    "[Warnings]\nSender=0\nRecipients=0\nAdministrators=1\n")

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
    message["Cc"] = "carol@example.com, admin@example.com"
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


def delivered(machine, user, subject):
    """The mails of that subject in the user's mail database (mail/admin.nsf, a quarantine
    database, also holds the copies, which name the mail they were copied from)."""
    return [d for d in with_subject(machine, "mail/%s.nsf" % user, subject)
            if not main_job.item_text(d, "VtOriginalMail")]


def released_copies(machine, user, subject, mark):
    """The documents of the user's mail database that came from a release: they carry
    the installation's mark and the attachment as it was sent."""
    return [d for d in delivered(machine, user, subject)
            if main_job.item_text(d, "X-Vantrel") == mark and main_job.attachments(d) == 1]


def copies(machine, subject):
    """The copies `list --json` shows of the mail with that subject."""
    result = machine.quarantine("list", "--json")
    if result.returncode != 0:
        return []
    return [c for c in json.loads(result.stdout) if c["subject"] == subject]


def one_per_database(found):
    return sorted(c["database"] for c in found) == sorted(DATABASES)


def marked_documents(machine, db, mark):
    """The note IDs of the documents of a database that carry the installation's mark."""
    return sorted(e.get("noteid") for e in machine.documents(db)
                  if main_job.item_text(machine.show(db, e.get("noteid")), "X-Vantrel") == mark)


def run(machine):
    rows = []

    def step(name, ok, note):
        rows.append((name, "ok" if ok else "WRONG", note))

    machine.set_policy()
    machine.start_engine()
    machine.start_server()
    work = tempfile.mkdtemp(prefix="vtquarantine-job.")
    mark = machine.vantrel_id()
    try:
        subject = "false alarm report"
        send(machine.port, subject, "The quarterly figures.", ("figures.xls", VIRUS_TEXT))
        main_job.settle(machine, subject, 60)
        cleaned = [delivered(machine, u, subject) for u in RECIPIENTS]
        ok = all(len(d) == 1 and main_job.attachments(d[0]) == 0 for d in cleaned)
        try:
            wait_for(lambda: len(marked_documents(machine, "mail/admin.nsf", mark)) >= 2, 20,
                     "the administrator's warning beside the copy")
        except RuntimeError:
            ok = False
        step("quarantined", ok, "delivered cleaned to %s; %d marked document(s) in "
             "mail/admin.nsf" % (", ".join(RECIPIENTS),
                                 len(marked_documents(machine, "mail/admin.nsf", mark))))

        found = []
        try:
            wait_for(lambda: one_per_database(copies(machine, subject)), 20,
                     "a quarantine copy in each database")
        except RuntimeError:
            pass
        found = copies(machine, subject)
        copy = found[0] if found else None
        ok = one_per_database(found) and len({c["origin"] for c in found}) == 1 and \
            all(c["from"] == "alice@example.com" and c["virus"] != "" and c["size"] > 0 and
                sorted(c["recipients"]) == ["admin@example.com", "bob@example.com",
                                            "carol@example.com"] for c in found)
        step("listed", ok, "%s; virus %s, %s bytes" % (
            ", ".join(c["id"] for c in found), copy["virus"], copy["size"])
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

        result = machine.quarantine("release", copy["id"], "--by", "postmaster")
        try:
            wait_for(lambda: all(released_copies(machine, u, subject, mark) for u in RECIPIENTS),
                     60, "the released mail")
        except RuntimeError:
            pass
        time.sleep(2)  # a second delivery would show by now
        counts = [len(released_copies(machine, u, subject, mark)) for u in RECIPIENTS]
        shown = machine.quarantine("show", copy["id"]).stdout
        after = copies(machine, subject)
        ok = result.returncode == 0 and counts == [1, 1, 1] and "by postmaster" in shown and \
            one_per_database(after) and all(c["released_by"] == "postmaster" for c in after)
        step("released", ok, "delivered %s; %d copies listed after; %s" % (
            counts, len(after),
            next((l for l in shown.splitlines() if l.startswith("Released:")), "")))

        other = next((c for c in found if c["database"] != copy["database"]), copy)
        second = [machine.quarantine("release", i) for i in (copy["id"], other["id"])]
        time.sleep(2)
        counts = [len(released_copies(machine, u, subject, mark)) for u in RECIPIENTS]
        ok = all(r.returncode == 1 and "released already" in r.stderr for r in second) and \
            counts == [1, 1, 1]
        step("twice", ok, second[1].stderr.strip()[:70])

        listed_ids = {c["noteid"] for c in copies(machine, subject)
                      if c["database"] == "mail/admin.nsf"}
        others = [n for n in marked_documents(machine, "mail/admin.nsf", mark)
                  if n not in listed_ids]
        bad = [machine.quarantine("release", i) for i in ("vtquaran.nsf:7FFE", "names.nsf:8FA",
                                                          "zz")]
        bad += [machine.quarantine("release", "mail/admin.nsf:%X" % n) for n in others]
        ok = all(r.returncode == 1 for r in bad) and len(others) >= 2
        step("refused", ok, "%d IDs, %d of them warning or released mails" % (
            len(bad), len(others)))

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
        imported = copies(machine, kept_subject)
        left = [n for n in os.listdir(kept_dir) if n.endswith((".eml", ".nsf"))] \
            if os.path.isdir(kept_dir) else []
        second = machine.quarantine("import")
        ok = len(kept) == 1 and result.returncode == 0 and one_per_database(imported) and \
            not left and "nothing to import" in second.stdout and \
            all(c["virus"] == copy["virus"] for c in imported)
        step("imported", ok, "kept %d file(s); imported as %s, virus %s; left %d" % (
            len(kept), ", ".join(c["id"] for c in imported) or "-",
            imported[0]["virus"] if imported else "-", len(left)))

        # Administrators release the imported mail at the same moment, from both databases'
        # copies: one release wins.
        ids = [c["id"] for c in imported] * 2 or ["8FA"]
        racers = [subprocess.Popen([os.path.join(machine.build, "bin", "vtquarantine"),
                                    "release", i], env=machine.env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL) for i in ids]
        codes = sorted(r.wait(60) for r in racers)
        try:
            wait_for(lambda: all(released_copies(machine, u, kept_subject, mark)
                                 for u in RECIPIENTS), 60, "the raced release")
        except RuntimeError:
            pass
        time.sleep(2)
        counts = [len(released_copies(machine, u, kept_subject, mark)) for u in RECIPIENTS]
        step("raced", codes == [0] + [1] * (len(ids) - 1) and counts == [1, 1, 1],
             "%d releases from %d databases: exit codes %s; delivered %s" % (
                 len(ids), len(imported), codes, counts))

        before = marked_documents(machine, "mail/admin.nsf", mark)
        listed_ids = {c["noteid"] for c in copies(machine, subject) + copies(machine, kept_subject)
                      if c["database"] == "mail/admin.nsf"}
        time.sleep(1)  # every copy is older than the purge's cut-off
        result = machine.quarantine("purge", "--older-than", "0")
        left = machine.quarantine("list", "--json").stdout
        kept_docs = marked_documents(machine, "mail/admin.nsf", mark)
        ok = result.returncode == 0 and json.loads(left or "null") == [] and \
            kept_docs == sorted(n for n in before if n not in listed_ids) and len(kept_docs) >= 3
        step("purged", ok, "%s; %d warning and released mails left in mail/admin.nsf" % (
            result.stdout.strip(), len(kept_docs)))
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
    return sum(1 for r in rows if r[1] != "ok") + (0 if len(rows) == 9 else 1)


if __name__ == "__main__":
    sys.exit(demo_machine.run_job(Machine, run_and_report, "vantrel-release-job."))
