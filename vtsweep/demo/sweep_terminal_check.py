#!/usr/bin/env python3
"""sweep_terminal_check - vtsweep in a real terminal, used by keys as a person would, under tmux.

SYNOPSIS
    sweep_terminal_check.py [--build DIR] [--keep]

DESCRIPTION
    Provisions a machine root whose users' mail databases hold the stored mails of
    sweep_job.py, names alice's and bob's databases in the manual scan settings (form
    "Mannualfrm" of vtsched.nsf) and starts the engine. Then, in a detached tmux session of
    a private tmux server (no other session is touched):

        in progress   with the engine held (SIGSTOP) the first document waits for its answer:
                      the window shows the database, the log lines, the buttons and the key
                      help; a second vtsweep started meanwhile is refused and leaves the
                      running one's log alone; Alt+A opens About with the build and Enter
                      closes it; Alt+M minimises and a key restores; Esc asks "Do you want
                      to stop the scanning?" and No (Tab, Enter) goes on; Alt+E asks again
                      and Alt+Y stops: the terminal is given back with what the run did and
                      where its log is
        to the end    with the engine answering, the window closes as soon as the scan ends
                      and the terminal is left with the totals of the run (databases, mails
                      scanned, mails with a virus) and the log's path; they agree with the log
        no answers    with the engine held and a one-second time-out, the run ends at the
                      fourth time-out and the terminal says so: four mails not answered, none
                      called infected
        no selection  the manual scan settings select nothing: the terminal says where to
                      select

    Exit status 0 when every check held, 1 when one failed, 77 when tmux is missing (the CTest
    registration treats 77 as skipped).
"""
import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "platform", "ui"))
import sweep_job  # noqa: E402
import terminal_check as ui_terminal  # noqa: E402

TITLE = "Vantrel for Lotus Notes"


class Machine(sweep_job.Machine):
    def provision(self):
        # A long time-out keeps the first document waiting while the keys are tried.
        sweep_job.demo_machine.Machine.provision(
            self, "", (("TimeOut", "60"), ("VTADMINDB", "vtquaran.nsf")))
        self.tool("nsf", "put", "vtsched.nsf", "Form=Mannualfrm", "M_SelectedDBFile=Y",
                  "M_DBFiletxt=mail/alice.nsf;mail/bob.nsf")

    def interactive_log(self):
        path = os.path.join(self.root, "vantrel", "Reports", "vtsweep.log")
        try:
            with open(path, encoding="latin-1") as f:
                return f.read()
        except OSError:
            return ""


def run(machine, terminal, work, check):
    sweep_job.fill(machine, work)
    machine.set_policy("clean", quarantine=1)
    machine.start_engine()
    command = ("cd %s && env -u VT_WINDOW VT_SYSROOT=%s TERM=xterm-256color %s; "
               "echo EXIT=$?; sleep 120" % (os.path.join(machine.root, "domino"), machine.root,
                                            os.path.join(machine.build, "bin", "vtsweep")))

    print("a scan in progress, its window used by keys")
    os.kill(machine.engine.pid, signal.SIGSTOP)
    try:
        terminal.start(command)
        terminal.wait_for(TITLE, 30)
        shown = terminal.wait_for("Scanning mail/alice.nsf Database...", 30)
        shown = terminal.wait_for("Tab: next", 30)
        check("mail/alice.nsf" in shown and "Currently Scanning Database" in shown,
              "the window shows the database being scanned")
        check("Exit" in shown and "[About]" in shown and "[Minimize]" in shown,
              "the buttons are drawn")

        second = subprocess.run([os.path.join(machine.build, "bin", "vtsweep")],
                                env=dict(machine.env, VT_WINDOW="headless"),
                                stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                timeout=60)
        check(second.returncode == 1 and "running already" in second.stderr,
              "a second vtsweep is refused")
        check(re.match(r"\d\d/\d\d/\d\d \d\d:\d\d:\d\d \* \* \*", machine.interactive_log()) and
              "Scanning mail/alice.nsf Database..." in machine.interactive_log(),
              "and leaves the running one's log alone")

        terminal.alt("a")
        shown = terminal.wait_for("Version :")
        check("1.0.0" in shown, "Alt+A opened About with the build")
        terminal.keys("Enter")
        terminal.wait_gone("Version :")
        check(True, "Enter closed About")

        terminal.alt("m")
        terminal.wait_for("Minimized:")
        terminal.keys("Space")
        terminal.wait_for("Currently Scanning Database")
        check(True, "Alt+M minimised the window and a key restored it")

        terminal.keys("Escape")
        terminal.wait_for("Do you want to stop the scanning?")
        terminal.keys("Tab", "Enter")  # to No, and press it
        terminal.wait_gone("Do you want to stop the scanning?")
        time.sleep(0.3)
        check("EXIT=" not in terminal.screen(), "Esc, then No: the scan goes on")

        terminal.alt("e")
        terminal.wait_for("Do you want to stop the scanning?")
        terminal.alt("y")
        shown = terminal.wait_for("EXIT=")
        check("EXIT=0" in shown, "Alt+E, then Yes: the run stops (exit 0)")
        check("scanning stopped by the user" in shown and
              "Log: " + os.path.join(machine.root, "vantrel", "Reports", "vtsweep.log") in shown,
              "the terminal says the user stopped it and where the log is")
        check("User Abort the Scanning" in machine.interactive_log(),
              "the log says the user stopped it")
    finally:
        os.kill(machine.engine.pid, signal.SIGCONT)
    print("\n".join("      " + line for line in terminal.last_screen.rstrip().splitlines()
                    if line.strip()))

    print("a scan to its end")
    time.sleep(1)  # the engine answers the job the stopped run left
    # The same pane, emptied: the text of the stopped run must not count for this one.
    terminal.run("respawn-pane", "-k", "-t", "check", "clear; " + command)
    shown = terminal.wait_for("EXIT=", 120)
    print("\n".join("      " + line for line in shown.rstrip().splitlines() if line.strip()))
    log = machine.interactive_log()
    totals = [tuple(int(n) for n in found) for found in re.findall(
        r"->Total Mail\(s\) Scanned = (\d+), Attachment Mail\(s\) = \d+ Total Attachment\(s\) = "
        r"\d+ Total Disinfected Mail\(s\) = (\d+)", log)]
    check("Program completed successfully." in log and len(totals) == 2,
          "the scan went through both databases")
    figures = dict((label.strip(), int(value)) for label, value in
                   re.findall(r"^  ([A-Za-z() ]+):\s+(\d+)$", shown, re.M))
    check("vtsweep: scanning finished." in shown and "EXIT=0" in shown,
          "the window closed at the end and the terminal says the scan finished")
    check(figures.get("Databases scanned") == 2 and
          figures.get("Mail(s) scanned") == sum(t[0] for t in totals) and
          figures.get("Mail(s) with a virus (disinfected)") == sum(t[1] for t in totals) > 0,
          "its totals agree with the log: %s" % figures)
    check("Log: " + os.path.join(machine.root, "vantrel", "Reports", "vtsweep.log") in shown,
          "and it names the log")

    print("an engine that stops answering")
    found = json.loads(machine.tool("nsf", "search", "vtsched.nsf", 'SELECT form = "Mannualfrm"',
                                    "--json"))
    machine.tool("nsf", "put", "vtsched.nsf", "--note", str(found[0]["noteid"]),
                 "M_DBFiletxt=mail/carol.nsf;mail/alice.nsf;mail/bob.nsf")
    machine.tool("winreg", "set", sweep_job.demo_machine.PRODUCT_KEY, "TimeOut", "1")
    os.kill(machine.engine.pid, signal.SIGSTOP)
    try:
        terminal.run("respawn-pane", "-k", "-t", "check", "clear; " + command)
        shown = terminal.wait_for("EXIT=", 120)
    finally:
        os.kill(machine.engine.pid, signal.SIGCONT)
    print("\n".join("      " + line for line in shown.rstrip().splitlines() if line.strip()))
    figures = dict((label.strip(), int(value)) for label, value in
                   re.findall(r"^  ([A-Za-z() ]+):\s+(\d+)$", shown, re.M))
    check("the engine stopped answering (4 time-outs)" in shown and
          figures.get("not answered by the engine") == 4 and
          figures.get("Mail(s) with a virus (disinfected)") == 0,
          "the terminal says the engine did not answer, not that the mails are clean")

    print("nothing selected")
    machine.tool("nsf", "put", "vtsched.nsf", "--note", str(found[0]["noteid"]),
                 "M_SelectedDBFile=N", "M_DataDBFile=N")
    terminal.run("respawn-pane", "-k", "-t", "check", "clear; " + command)
    shown = terminal.wait_for("EXIT=", 60)
    check("nothing was scanned" in shown and "Mannualfrm" in shown,
          "the terminal says that the manual scan settings select nothing")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.environ.get("VT_BUILD_DIR", "build"))
    parser.add_argument("--keep", action="store_true", help="keep the machine root")
    options = parser.parse_args()
    if not shutil.which("tmux"):
        print("sweep_terminal_check: tmux is not installed; skipped")
        return 77
    root = tempfile.mkdtemp(prefix="vantrel-sweep-terminal.")
    work = tempfile.mkdtemp(prefix="vantrel-sweep-terminal-files.")
    machine = Machine(options.build, root)
    terminal = Terminal("vt-sweep-terminal-%d" % os.getpid())
    checker = sweep_job.Checker()
    failures = checker.failures

    def check(condition, what):
        checker.expect(what, condition)

    try:
        machine.provision()
        run(machine, terminal, work, check)
    except (AssertionError, RuntimeError, subprocess.SubprocessError, OSError) as error:
        failures.append(str(error))
        print("FAIL  %s" % error)
    finally:
        terminal.stop()
        machine.stop_engine()
        shutil.rmtree(work, ignore_errors=True)
        if options.keep or failures:
            print("machine root kept:", root)
        else:
            shutil.rmtree(root, ignore_errors=True)
    return 1 if failures else 0


class Terminal(ui_terminal.Terminal):
    """The shared tmux driver; remembers the last screen it read, for the report."""
    last_screen = ""

    def screen(self):
        self.last_screen = super().screen()
        return self.last_screen


if __name__ == "__main__":
    sys.exit(main())
