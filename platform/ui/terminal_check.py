#!/usr/bin/env python3
"""terminal_check - the window stand-in on a real terminal, driven by keys under tmux.

SYNOPSIS
    terminal_check.py [--build DIR]

DESCRIPTION
    Starts window_demo in a detached tmux session of its own (a private tmux server, so no
    other session is touched), waits until the dialog is drawn, and uses it as a person at the
    keyboard would: types a name and presses Enter (the default button), adds a second name
    with Alt+A, tabs to the combo box and picks an entry with the arrow keys, moves the radio
    check with Down, selects two list entries with Space, opens and closes the About box, picks
    a database in the open-file dialog (Alt+W, Shift-Tab to its list, Down to the first database, Enter), asks
    to leave with Esc, answers No, asks again with Alt+E and answers Yes. The screen is read
    with capture-pane after the steps that show something, and the report window_demo writes
    at its end must hold what the keys chose.

    Exit status 0 when every check held, 1 when one failed, 77 when tmux is missing (the CTest
    registration treats 77 as skipped).
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time


class Terminal:
    def __init__(self, socket_name):
        self.tmux = ["tmux", "-L", socket_name]

    def run(self, *args):
        return subprocess.run(self.tmux + list(args), check=True, capture_output=True,
                              text=True).stdout

    def start(self, command):
        self.run("new-session", "-d", "-s", "check", "-x", "100", "-y", "32", command)

    def keys(self, *keys):
        for key in keys:
            self.run("send-keys", "-t", "check", key)
            time.sleep(0.08)

    def alt(self, letter):
        # Esc and the letter together, as a terminal sends Alt+letter.
        self.run("send-keys", "-t", "check", "Escape", letter)
        time.sleep(0.15)

    def screen(self):
        return self.run("capture-pane", "-p", "-t", "check")

    def wait_for(self, text, seconds=10):
        deadline = time.time() + seconds
        while time.time() < deadline:
            shown = self.screen()
            if text in shown:
                return shown
            time.sleep(0.05)
        raise AssertionError("never shown: %r\n%s" % (text, self.screen()))

    def wait_gone(self, text, seconds=10):
        deadline = time.time() + seconds
        while time.time() < deadline:
            if text not in self.screen():
                return
            time.sleep(0.05)
        raise AssertionError("still shown: %r\n%s" % (text, self.screen()))

    def stop(self):
        subprocess.run(self.tmux + ["kill-server"], capture_output=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.environ.get("VT_BUILD_DIR", "build"))
    options = parser.parse_args()
    if not shutil.which("tmux"):
        print("terminal_check: tmux is not installed; skipped")
        return 77
    demo = os.path.abspath(os.path.join(options.build, "tests", "window_demo"))
    work = tempfile.mkdtemp(prefix="vt-terminal-")
    report = os.path.join(work, "report.txt")
    terminal = Terminal("vt-terminal-check-%d" % os.getpid())
    failures = []

    def check(condition, what):
        print(("ok    " if condition else "FAIL  ") + what)
        if not condition:
            failures.append(what)

    try:
        # The open-file dialog looks into the working directory: a folder, databases, a text.
        os.makedirs(os.path.join(work, "mail", "sub"))
        for name in ("carl.nsf", "dave.nsf", "notes.txt"):
            open(os.path.join(work, "mail", name), "w").close()
        env = "cd %s && env -u VT_WINDOW TERM=xterm-256color" % os.path.join(work, "mail")
        terminal.start("%s %s --lines 12 --report %s; sleep 60" % (env, demo, report))
        terminal.wait_for("Window Demo")
        # The caption may be on the screen a moment before the rest of the first frame.
        try:
            terminal.wait_for("Tab: next", 5)
            shown = terminal.wait_for("[Exit]", 5)
        except AssertionError:
            shown = terminal.screen()
        check("Tab: next" in shown, "the key help is on the bottom line")
        check("<Add>" in shown and "[About]" in shown and "[Exit]" in shown,
              "the buttons are drawn, Add as the default")
        shown = terminal.wait_for("of 12 --")
        check("log line 12" in shown, "the log list scrolled to its newest line as lines came")
        check("100%" in shown, "the progress bar is full once every line is in")

        terminal.keys(*"alice")
        terminal.keys("Enter")
        terminal.keys(*"bob")
        terminal.alt("a")
        shown = terminal.wait_for("bob")
        check("alice" in shown, "Enter pressed the default button Add")
        terminal.keys("Tab", "Down", "Down")
        shown = terminal.wait_for("mail.example___")
        check("veltrane.example" in shown, "the combo box shows its sorted entries when focused")
        terminal.keys("Tab", "Down")
        shown = terminal.wait_for("(*) Internet User")
        check("( ) Local User" in shown, "Down moved the radio check within its group")
        terminal.keys("Tab", "Space", "Down", "Space")
        shown = terminal.wait_for("* bob")
        check("* alice" in shown, "Space selected two entries of the list")

        terminal.alt("b")
        shown = terminal.wait_for("Window Demo of the window stand-in")
        terminal.keys("Enter")
        terminal.wait_gone("Window Demo of the window stand-in")
        check(True, "About opened with Alt+B and closed with Enter")

        terminal.alt("w")
        shown = terminal.wait_for("Look in:")
        check("[sub]" in shown and "dave.nsf" in shown and "notes.txt" not in shown,
              "the open-file dialog lists the folders and the databases only")
        terminal.keys("BTab", "Down", "Down", "Down", "Enter")
        terminal.wait_gone("Look in:")
        shown = terminal.wait_for("mail/")
        check(True, "Enter on a database ended the open-file dialog")

        terminal.keys("Escape")
        terminal.wait_for("Do you want to leave?")
        terminal.keys("Tab", "Enter")  # to No, and press it
        terminal.wait_gone("Do you want to leave?")
        check(not os.path.exists(report), "No kept the dialog open")
        terminal.alt("e")
        terminal.wait_for("Do you want to leave?")
        terminal.alt("y")
        deadline = time.time() + 10
        while time.time() < deadline and not (os.path.exists(report) and
                                               "log lines" in open(report).read()):
            time.sleep(0.05)
        lines = open(report).read().splitlines() if os.path.exists(report) else []
        print("\n".join("      " + line for line in lines))
        check("people: alice,bob" in lines, "both names were added")
        check("selected: alice,bob" in lines, "both were selected")
        check("domain: mail.example" in lines, "the domain came from the list")
        check("user type: internet" in lines, "the radio choice held")
        check("log lines: 12" in lines, "every line from the other thread arrived")
        check(any(l.startswith("name: ") and l.endswith("/mail/carl.nsf") for l in lines),
              "the database picked in the open-file dialog is in the name field")
    except (AssertionError, subprocess.CalledProcessError, OSError) as error:
        failures.append(str(error))
        print("FAIL  %s" % error)
    finally:
        terminal.stop()
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
