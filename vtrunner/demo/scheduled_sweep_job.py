#!/usr/bin/env python3
"""scheduled_sweep_job - the scheduled database scan end to end: the server starts vtrunner,
vtrunner starts the real vtsweep at the scheduled minute, vtsweep scans the stored mails with
the engine.

SYNOPSIS
    scheduled_sweep_job.py [--build DIR] [--root DIR] [--check] [--keep]

DESCRIPTION
    Provisions a machine root whose users' mail databases already hold stored mails (the
    mails of vtsweep/demo/sweep_job.py: internet mail imported with `nsf import` for alice
    and carol, with the EICAR file attached, zipped, and clean ones with and without an
    attachment; Notes mail for bob written with `nsf put --attach`, EICAR beside a clean
    file and a clean one), and for alice one more internet mail whose EICAR attachment
    carries a part header longer than the import stores as an object (it stays in the MIME
    text). ContentControlEnabled stays 0, as installed: only posted documents with
    attachments are selected.

    Starts the engine (vantrel, libclamav) and the server (nserver) with notes.ini
    ServerTasks=vtrunner and the add-in clock sped up 60 times, saves the schedule through
    vtsched.nsf for the minute now current and asks the runner to read it (Save "1"), once
    for each engine policy:

        clean         alice's and bob's databases: every infected attachment removed and
                      named in the body, the rest kept, a copy of each infected mail in
                      vtquaran.nsf; the padded internet mail is selected and cleaned too
        delete        carol's database: the infected mails removed

    and checks that the scan ran once, in the scheduled minute; that every clean mail is
    untouched byte for byte (all items in full and every attachment's bytes); that the mail
    without attachments was not even selected; that the dated scan log names the viruses
    and the totals; and that the server console says the scan was started.

    With --check the exit status says whether every case held (the integration test runs it
    so).

FILES
    <build>/bin/{vtprovision,nserver,vtrunner,vtsweep,vantrel,nsf,winreg}
    <root>/vantrel/Reports/dd-mm-yyyy.log  the scan log of the day's scheduled runs
    <root>/domino/console.log              the server console
"""
import base64
import datetime
import os
import re
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "vtsweep", "demo"))
import schedule_job  # noqa: E402
import sweep_job  # noqa: E402
from schedule_job import demo_machine  # noqa: E402

RUN_SECONDS = 180
DONE_LINE = "Program completed successfully."
STARTED_LINE = "Vantrel for Lotus Notes: Database scan started: "


class Machine(schedule_job.Machine):
    set_policy = sweep_job.Machine.set_policy
    scan_log = sweep_job.Machine.log
    scan_settings = sweep_job.Machine.schedule  # items of the scheduled form's document

    def provision(self):
        self.provision_runner((("VTDEBUG", "10"), ("TimeOut", "20"),
                               ("VTADMINDB", "vtquaran.nsf")))

    def scheduled_scan(self, *selection):
        """Schedules a scan for the minute now current with the given selection items, arms
        it and waits until the scanner has finished. Returns the minute and the log text the
        run added."""
        before = self.scan_log()
        started = self.console().count(STARTED_LINE)
        self.scan_settings(*selection)
        for attempt in range(3):
            when = schedule_job.scheduled_minute(latest_second=40)
            self.schedule(when)
            self.set_value("Save", "1")
            # On a loaded machine the runner may not come round before the minute is over;
            # then the next minute is scheduled.
            end = when + datetime.timedelta(minutes=1, seconds=5)
            while datetime.datetime.now() < end and self.console().count(STARTED_LINE) == started:
                time.sleep(0.2)
            if self.console().count(STARTED_LINE) > started:
                break
        demo_machine.wait_for(lambda: self.scan_log().count(DONE_LINE) > before.count(DONE_LINE),
                              RUN_SECONDS, "the scheduled scan to finish")
        return when, self.scan_log()[len(before):]


def padded_internet_mail(subject):
    """Internet mail whose EICAR attachment has a part header of more than 32 KiB."""
    padding = "".join("X-Pad-%d: %s\r\n" % (i, "p" * 70) for i in range(500))
    return ("From: \"Dave Doe\" <dave@example.org>\r\nTo: alice@example.com\r\n"
            "Subject: %s\r\nMIME-Version: 1.0\r\n"
            "Content-Type: multipart/mixed; boundary=\"pad\"\r\n\r\n"
            "--pad\r\nContent-Type: text/plain\r\n\r\nsee the file\r\n"
            "--pad\r\nContent-Type: application/octet-stream\r\n"
            "Content-Disposition: attachment; filename=\"eicar.com\"\r\n"
            "Content-Transfer-Encoding: base64\r\n%s\r\n%s\r\n--pad--\r\n"
            % (subject, padding, base64.b64encode(sweep_job.EICAR).decode())).encode()


def stamp_minute(log):
    """(hour, minute) of the first time-stamped line of a piece of the scan log."""
    found = re.search(r"^\d\d/\d\d/\d\d (\d\d):(\d\d):\d\d ", log, re.M)
    return (int(found.group(1)), int(found.group(2))) if found else None


def run(machine, check):
    c = sweep_job.Checker()
    work = tempfile.mkdtemp(prefix="vantrel-scheduled-sweep.")
    mails = sweep_job.fill(machine, work)
    path = os.path.join(work, "padded.eml")
    with open(path, "wb") as f:
        f.write(padded_internet_mail("eicar padded alice"))
    machine.tool("nsf", "import", "mail/alice.nsf", path)
    mails["eicar padded alice"] = ("mail/alice.nsf", True)
    dbs = ["mail/alice.nsf", "mail/bob.nsf", "mail/carol.nsf"]
    before = sweep_job.snapshot(machine, dbs)

    machine.start_engine()
    try:
        machine.start_server()

        print("clean and quarantine (alice: internet mail, bob: Notes mail), content control 0")
        machine.set_policy("clean", quarantine=1)
        when, log = machine.scheduled_scan("SelectedDBFile=Y",
                                           "DBFiletxt=mail/alice.nsf;mail/bob.nsf",
                                           "DataDBFile=N")
        time.sleep(4)  # four more minutes of the sped-up clock
        whole = machine.scan_log()
        c.expect("the scan ran once", whole.count(DONE_LINE) == 1)
        c.expect("in the scheduled minute %02d:%02d" % (when.hour, when.minute),
                 stamp_minute(log) == (when.hour, when.minute))
        console = machine.console()
        c.expect("the console says the scan was started, once",
                 console.count(STARTED_LINE) == 1 and '/vtsweep.exe" "1"' in console)
        after = sweep_job.snapshot(machine, dbs)
        for subject, (db, infected) in sorted(mails.items()):
            if db not in ("mail/alice.nsf", "mail/bob.nsf"):
                continue
            old, new = before[(db, subject)], after.get((db, subject), (0, "", {}))
            if infected:
                body, files = sweep_job.body_of(new[1]), sweep_job.files_of(new[1])
                c.expect("%s: cleaned" % subject,
                         "Vantrel.Test.EICAR" in body and "eicar.com" not in files and
                         "eicar.zip" not in files)
            else:
                c.expect("%s: untouched byte for byte" % subject, new == old)
        c.expect("notes eicar: the clean attachment kept",
                 after[("mail/bob.nsf", "notes eicar")][2].get("report.txt") ==
                 before[("mail/bob.nsf", "notes eicar")][2].get("report.txt"))
        c.expect("the mail without attachments was not selected",
                 "Subject <clean text alice>" not in log)
        c.expect("a quarantine copy of each infected mail",
                 len(machine.documents("vtquaran.nsf")) == 4)
        c.expect("the log names the virus of each",
                 log.count("Vantrel.Test.EICAR found in") == 4)
        c.expect("the log's totals",
                 "mail/alice.nsf->Total Mail(s) Scanned = 4, Attachment Mail(s) = 3" in log and
                 "Total Disinfected Mail(s) = 3" in log and
                 "mail/bob.nsf->Total Mail(s) Scanned = 2" in log)
        c.expect("the log says the run completed", DONE_LINE in log)

        print("delete (carol: internet mail)")
        machine.set_policy("delete")
        when, log = machine.scheduled_scan("DBFiletxt=mail/carol.nsf")
        c.expect("the second scan ran once, in its minute",
                 machine.scan_log().count(DONE_LINE) == 2 and
                 stamp_minute(log) == (when.hour, when.minute))
        sweep_job.expect_deleted(c, mails, "mail/carol.nsf", before,
                                 sweep_job.snapshot(machine, dbs))
        c.expect("the runner logged both launches",
                 machine.runner_log().count("calling Exe...") == 2)
    finally:
        machine.stop_server()
        machine.stop_engine()
        shutil.rmtree(work, ignore_errors=True)

    print("\nthe scan log:\n")
    print("\n".join(machine.scan_log().splitlines()[-12:]))
    if c.failures:
        print("\nFAILED: " + "; ".join(c.failures))
    return len(c.failures)


if __name__ == "__main__":
    sys.exit(demo_machine.run_job(Machine, run, "vantrel-scheduled-sweep."))
