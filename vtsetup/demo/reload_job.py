#!/usr/bin/env python3
"""reload_job - a running real-time extension takes up what vtsetup saved, without a restart.

SYNOPSIS
    reload_job.py [--build DIR] [--root DIR] [--check] [--keep]

DESCRIPTION
    Provisions a root with the product installed and the extension vtnotes loaded by the
    router, starts the server, and runs `vtsetup --script FILE edit` adding an Internet
    administrator. The extension's debug log must then say that it re-read its settings and
    list the new administrator among its tables, while the same router runs on; and the next
    warning mail about a virus (engine policy: warn the administrators) must be addressed to
    the new administrator.
"""
import glob
import json
import os
import smtplib
import subprocess
import sys
import tempfile
import time
from email.message import EmailMessage

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "platform", "provision"))
import demo_machine  # noqa: E402
from demo_machine import wait_for  # noqa: E402

EVENTS = """\
click 1002
click 1019
click 1015
type 1014 help-desk@partner.org
click 1015
click 1007
"""


NEW_ADMIN = "help-desk@partner.org"
# The attachment text the project's test signatures know as a virus.
VIRUS_TEXT = b"VANTREL-TEST-ATTACHMENT-VIRUS"


class Machine(demo_machine.Machine):
    def provision(self):
        super().provision("vtnotes", (("VTDEBUG", "10"),))
        with open(os.path.join(self.root, "vantrel", "engine.ini"), "w") as f:
            f.write("[Infected]\nAction=delete\nQuarantine=0\n"
                    "[Warnings]\nSender=0\nRecipients=0\nAdministrators=1\n")

    def event_log(self):
        try:
            with open(os.path.join(self.root, "vantrel", "Reports", "vtnotes.log"),
                      encoding="latin-1") as f:
                return f.read()
        except OSError:
            return ""

    def warning_addressees(self):
        """Every document of the boxes and the users' mail databases that names the new
        administrator: the warning mail itself while it waits, or the router's report about
        it (that address has no mailbox here), which goes back to the warnings' sender."""
        found = []
        data = os.path.join(self.root, "domino", "data")
        databases = ["mail.box", "mail2.box"] + [
            os.path.relpath(p, data) for p in glob.glob(os.path.join(data, "mail", "*.nsf"))]
        for db in databases:
            for document in self.documents(db):
                note = document.get("noteid")
                whole = json.dumps(self.show(db, note)) if note is not None else json.dumps(
                    document)
                if NEW_ADMIN in whole:
                    found.append(db)
        return found

    def debug_log(self):
        text = ""
        for path in sorted(glob.glob(os.path.join(self.root, "vantrel", "Reports", "*-*.log"))):
            with open(path, encoding="latin-1") as f:
                text += f.read()
        return text


def run(machine, check):
    failures = 0
    machine.start_server()
    try:
        wait_for(lambda: "Admin ID = admin@example.com" in machine.debug_log(), 30,
                 "the extension's start in the router")
        router_log = machine.debug_log()
        events = os.path.join(machine.root, "events.txt")
        with open(events, "w") as f:
            f.write(EVENTS)
        result = subprocess.run([os.path.join(machine.build, "bin", "vtsetup"), "--script",
                                 events, "edit"], env=dict(machine.env, VT_WINDOW="headless"),
                                cwd=machine.root, capture_output=True, text=True, timeout=60)
        if result.returncode != 0:
            print("vtsetup failed:", result.returncode, result.stderr.strip())
            failures += 1
        try:
            wait_for(lambda: "Admin ID = help-desk@partner.org" in
                     machine.debug_log()[len(router_log):], 20, "the reloaded tables")
            if "UpdateTrackerDLL Called" not in machine.debug_log()[len(router_log):]:
                print("FAILED the extension did not say it re-read its settings")
                failures += 1
        except Exception as error:  # noqa: BLE001 - reported as a failed check
            print("FAILED", error)
            failures += 1
        # The next warning mail goes to the administrators as now saved.
        started = machine.event_log().count("Vantrel Started")
        machine.start_engine()
        wait_for(lambda: machine.event_log().count("Vantrel Started") > started, 20,
                 "scanning on once the engine runs")
        message = EmailMessage()
        message["From"] = "alice@example.com"
        message["To"] = "bob@example.com"
        message["Subject"] = "virus after the reload"
        message.set_content("Open the attachment.")
        message.add_attachment(VIRUS_TEXT, maintype="application", subtype="octet-stream",
                               filename="x.exe")
        with smtplib.SMTP("127.0.0.1", machine.port, timeout=30) as smtp:
            smtp.send_message(message)
        try:
            wait_for(lambda: machine.warning_addressees(), 30,
                     "a warning mail addressed to " + NEW_ADMIN)
            if "Sending Warning Mail To = " + NEW_ADMIN not in machine.debug_log():
                print("FAILED the extension did not say it warned", NEW_ADMIN)
                failures += 1
        except Exception as error:  # noqa: BLE001 - reported as a failed check
            print("FAILED", error)
            failures += 1
        if machine.server.poll() is not None:
            print("FAILED the server stopped")
            failures += 1
    finally:
        machine.stop_engine()
        machine.stop_server()
    return failures


if __name__ == "__main__":
    sys.exit(demo_machine.run_job(Machine, run, "vt-setup-reload-"))
