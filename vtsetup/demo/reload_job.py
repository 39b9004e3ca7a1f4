#!/usr/bin/env python3
"""reload_job - a running real-time extension takes up what vtsetup saved, without a restart.

SYNOPSIS
    reload_job.py [--build DIR] [--root DIR] [--check] [--keep]

DESCRIPTION
    Provisions a root with the product installed (the engine in the Notes program
    directory) and the extension vtnotes loaded by the router, and starts the server. Then,
    while the same router runs on:

    wizard   `vtsetup --script FILE` (setup mode) names bob, with his typed mail database,
             as the administrator. The console returns; VTADMINDB names the typed database;
             the extension's debug log lists bob among its tables with that database, which
             it can only have read after the settings were written; the console started the
             engine from the program directory and says in its log that it came up.
    edit     `vtsetup --script FILE edit` adds an Internet administrator; the extension
             re-reads its settings and lists the new administrator; the console leaves the
             running engine alone.
    warning  the next warning mail about a virus (engine policy: warn the administrators)
             is addressed to the new administrator.
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

WIZARD = """\
select 1011 example.com
type 1000 mail/bob.nsf
type 1016 bob
click 1
"""

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

    def report(self, name):
        """A log of the report directory; empty while it is not written."""
        try:
            with open(os.path.join(self.root, "vantrel", "Reports", name),
                      encoding="latin-1") as f:
                return f.read()
        except OSError:
            return ""

    def event_log(self):
        return self.report("vtnotes.log")

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

    def console(self, events, *args):
        path = os.path.join(self.root, "events.txt")
        with open(path, "w") as f:
            f.write(events)
        return subprocess.run([os.path.join(self.build, "bin", "vtsetup"), "--script", path,
                               *args], env=dict(self.env, VT_WINDOW="headless"), cwd=self.root,
                              capture_output=True, text=True, timeout=60)

    def console_log(self):
        return self.report("vtsetup.LOG")

    def registry(self, name):
        result = subprocess.run([os.path.join(self.build, "bin", "winreg"), "query",
                                 demo_machine.PRODUCT_KEY, name], env=self.env,
                                capture_output=True, text=True)
        return result.stdout.rstrip("\n") if result.returncode == 0 else None

    def debug_log(self):
        text = ""
        for path in sorted(glob.glob(os.path.join(self.root, "vantrel", "Reports", "*-*.log"))):
            with open(path, encoding="latin-1") as f:
                text += f.read()
        return text


def run(machine, check):
    failures = 0

    def fail(what):
        nonlocal failures
        print("FAILED", what)
        failures += 1

    machine.start_server()
    try:
        wait_for(lambda: "Admin ID = admin@example.com" in machine.debug_log(), 30,
                 "the extension's start in the router")
        router_log = machine.debug_log()
        result = machine.console(WIZARD)
        if result.returncode != 0:
            fail("vtsetup (wizard): %d %s" % (result.returncode, result.stderr.strip()))
        if machine.registry("VTADMINDB") != "mail/bob.nsf":
            fail("VTADMINDB is %r, not the typed database" % machine.registry("VTADMINDB"))
        if machine.registry("WTOS_Send_SizeRestriction") != "1":
            fail("the wizard's registry values are not all written")
        try:
            wait_for(lambda: "Admin ID = bob@example.com" in
                     machine.debug_log()[len(router_log):], 20, "the wizard's administrator")
            reloaded = machine.debug_log()[len(router_log):]
            if "mail/bob.nsf" not in reloaded:
                fail("the extension did not reload the typed database")
        except RuntimeError as error:
            fail(error)
        if "The engine is running" not in machine.console_log():
            fail("the console did not say that the engine came up")
        if len(demo_machine.engine_pids(machine.root)) != 1:
            fail("%d engines run, not the one the console started"
                 % len(demo_machine.engine_pids(machine.root)))

        router_log = machine.debug_log()
        result = machine.console(EVENTS, "edit")
        if result.returncode != 0:
            fail("vtsetup (edit): %d %s" % (result.returncode, result.stderr.strip()))
        try:
            wait_for(lambda: "Admin ID = help-desk@partner.org" in
                     machine.debug_log()[len(router_log):], 20, "the reloaded tables")
            if "UpdateTrackerDLL Called" not in machine.debug_log()[len(router_log):]:
                fail("the extension did not say it re-read its settings")
        except RuntimeError as error:
            fail(error)
        if "The engine runs already" not in machine.console_log() or \
                len(demo_machine.engine_pids(machine.root)) != 1:
            fail("the console did not leave the running engine alone")

        # The next warning mail goes to the administrators as now saved.
        wait_for(lambda: "Vantrel Started" in machine.event_log(), 20,
                 "scanning on once the engine runs")
        message = EmailMessage()
        message["From"] = "alice@example.com"
        message["To"] = "carol@example.com"
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
                fail("the extension did not say it warned " + NEW_ADMIN)
        except RuntimeError as error:
            fail(error)
        if machine.server.poll() is not None:
            fail("the server stopped")
    finally:
        demo_machine.stop_engines(machine.root)
        machine.stop_server()
    return failures


if __name__ == "__main__":
    sys.exit(demo_machine.run_job(Machine, run, "vt-setup-reload-"))
