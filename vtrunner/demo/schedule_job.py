#!/usr/bin/env python3
"""schedule_job - the schedule runner end to end: the server starts vtrunner, vtrunner starts
the scanner at the scheduled minute.

SYNOPSIS
    schedule_job.py [--build DIR] [--root DIR] [--check]

DESCRIPTION
    Provisions a machine root (below a directory with a blank in its name, as "C:\\Program
    Files" is) with the product installed, names vtrunner in notes.ini
    ServerTasks, puts a small stand-in in the scanner's place (<LotusNotesPath>/vtsweep, which
    writes down its arguments and working directory and ends) and runs the server (nserver)
    with the add-in clock sped up 60 times (VT_ADDIN_CLOCK_SCALE), so that vtrunner's
    one-minute job comes round every second. Then:

        not armed      the schedule is switched on for this minute, but without a "Save" of
                       "1" nothing starts
        scheduled      "Save" = "1": the schedule is read again and the scanner starts once,
                       with the one argument "1", in the Notes program directory; "Save" is
                       back to "0" and further minutes start nothing
        at start       StartUP "Yes": after a restart of the server the scanner starts at
                       once, without a "Save"
        stopped        the server stops the task; the console says so

    The banner on the console, the status line and vtrunner.log (VTDEBUG 10) are checked
    along the way. With --check the exit status says whether every case held (the
    integration test runs it so).

FILES
    <build>/bin/{vtprovision,nserver,nrouter,nsmtp,vtrunner,nsf,winreg}
    <root>/domino/console.log, <root>/domino/tasks/<pid>.status, <report>/vtrunner.log
"""
import argparse
import datetime
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "platform", "provision"))
import demo_machine  # noqa: E402
from demo_machine import PRODUCT_KEY, wait_for  # noqa: E402

CLOCK_SCALE = "60"
STAND_IN = """#!/bin/sh
# In the scanner's place: say how it was started.
{ printf 'args='; printf '%s|' "$@"; printf ' cwd=%s\\n' "$(pwd)"; } >> "$VT_SYSROOT/tmp/launches.txt"
"""


class Machine(demo_machine.Machine):
    def provision(self):
        self.provision_runner((("VTDEBUG", "10"),))
        scanner = os.path.join(self.root, "domino", "vtsweep")
        with open(scanner, "w") as f:
            f.write(STAND_IN)
        os.chmod(scanner, os.stat(scanner).st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)

    def provision_runner(self, product_values):
        """A root whose server starts vtrunner, with the add-in clock sped up."""
        super().provision("", product_values)
        ini = os.path.join(self.root, "domino", "notes.ini")
        with open(ini) as f:
            lines = [l for l in f.read().splitlines() if not l.lower().startswith("servertasks=")]
        lines.append("ServerTasks=vtrunner")
        with open(ini, "w") as f:
            f.write("\n".join(lines) + "\n")
        self.env["VT_ADDIN_CLOCK_SCALE"] = CLOCK_SCALE

    def start_server(self):
        # No SMTP wait: this job needs the add-in task only.
        self.server = subprocess.Popen(
            [os.path.join(self.build, "bin", "nserver"), "--root", self.root],
            env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        wait_for(lambda: "Vantrel for Lotus Notes: Initializing..." in self.console(), 30,
                 "vtrunner's banner")

    def console(self):
        try:
            with open(os.path.join(self.root, "domino", "console.log"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def launches(self):
        try:
            with open(os.path.join(self.root, "tmp", "launches.txt")) as f:
                return f.read().splitlines()
        except OSError:
            return []

    def runner_log(self):
        report = os.path.join(self.root, "vantrel", "Reports")
        for directory in (report, os.path.join(self.root, "domino", "data")):
            path = os.path.join(directory, "vtrunner.log")
            if os.path.exists(path):
                with open(path, errors="replace") as f:
                    return f.read()
        return ""

    def status_texts(self):
        tasks = os.path.join(self.root, "domino", "tasks")
        texts = []
        for name in os.listdir(tasks) if os.path.isdir(tasks) else []:
            with open(os.path.join(tasks, name), errors="replace") as f:
                texts.append(f.read())
        return texts

    def schedule(self, when, start_up="No"):
        found = self.tool("nsf", "search", "vtsched.nsf", 'SELECT form = "Scheduledfrm"',
                          "--json")
        import json
        note_id = str(json.loads(found)[0]["noteid"])
        hour = when.hour
        # The form's twelve-hour clock: 12 pm is noon; the hour before noon is written plain.
        if hour == 0:
            session, shown = "", "0"
        elif hour < 12:
            session, shown = "am", str(hour)
        elif hour == 12:
            session, shown = "pm", "12"
        else:
            session, shown = "pm", str(hour - 12)
        self.tool("nsf", "put", "vtsched.nsf", "--note", note_id, "Option=Enable",
                  "StartUP=" + start_up, "rdPeriod=Daily", "Session=" + session,
                  "Hour=" + shown, "Minutes=%d" % when.minute)

    def set_value(self, name, value):
        self.tool("winreg", "set", PRODUCT_KEY, name, value)

    def value(self, name):
        return self.tool("winreg", "query", PRODUCT_KEY, name, check=False).strip()


def scheduled_minute(latest_second=35):
    """A minute the job can wait for: this one when enough of it is left, else the next."""
    now = datetime.datetime.now()
    if now.second > latest_second:
        time.sleep(61 - now.second)
        now = datetime.datetime.now()
    return now.replace(second=0, microsecond=0)


def run(build, root):
    results = []

    def check(condition, what):
        results.append((bool(condition), what))
        print(("ok    " if condition else "FAIL  ") + what, flush=True)

    machine = Machine(build, root)
    machine.provision()
    when = scheduled_minute()
    machine.schedule(when)
    try:
        machine.start_server()
        console = machine.console()
        check("Vantrel Status :" in console and "* * *" in console,
              "the banner is on the server console")
        time.sleep(4)  # four one-minute jobs at the sped-up clock
        check(machine.launches() == [], "not armed: nothing started at the scheduled minute")
        check(any("Idle" in t for t in machine.status_texts()), "the status line says Idle")

        # A slow start may have used the minute up: the schedule names the minute now
        # current, and the Save makes the runner read it again.
        machine.schedule(scheduled_minute(latest_second=45))
        machine.set_value("Save", "1")
        wait_for(lambda: machine.launches(), 70, "the scheduled launch")
        time.sleep(4)
        launches = machine.launches()
        check(len(launches) == 1, "scheduled: the scanner started once (%d)" % len(launches))
        program_dir = os.path.realpath(os.path.join(root, "domino"))
        check(launches and launches[0].startswith("args=1| cwd=") and
              os.path.realpath(launches[0].split("cwd=")[1]) == program_dir,
              "with the one argument 1, in the program directory: %s" %
              (launches[0] if launches else "-"))
        check(machine.value("Save").endswith("0"), "Save is back to 0")
        log = machine.runner_log()
        check("calling Exe..." in log and "System Time = " in log and "Build: " in log,
              "vtrunner.log has the banner, the minute's times and the launch")

        machine.stop_server()
        check("Vantrel for Lotus Notes: Termination complete." in machine.console(),
              "stopped: the console says the task ended")

        machine.schedule(datetime.datetime.now() + datetime.timedelta(hours=2), start_up="Yes")
        machine.start_server()
        wait_for(lambda: len(machine.launches()) == 2, 20, "the launch at start")
        check(machine.launches()[1].startswith("args=1|"),
              "at start: StartUP Yes started the scanner at once")
    finally:
        machine.stop_server()
    return all(ok for ok, _ in results)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--root")
    parser.add_argument("--check", action="store_true")
    options = parser.parse_args()
    # The program directory holds a blank, as "C:\\Program Files\\..." does.
    scratch = None if options.root else tempfile.mkdtemp(prefix="vt-schedule-")
    root = options.root or os.path.join(scratch, "sp ace")
    try:
        ok = run(options.build, root)
    finally:
        if scratch:
            shutil.rmtree(scratch, ignore_errors=True)
    if options.check and not ok:
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
