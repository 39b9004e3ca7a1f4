#!/usr/bin/env python3
"""headless_check - a headless program's dialog driven by a script through its control socket.

SYNOPSIS
    headless_check.py [--build DIR]

DESCRIPTION
    Starts window_demo headless (no terminal) with VT_WINDOW_CONTROL naming a socket, and
    drives it from this process with window_control.py as a person would: types a name and
    clicks Add, selects entries, moves the radio check, reads the log list that another thread
    of the program fills, opens and closes About, clicks Exit and answers the message box No,
    then Yes. Junk commands get an error line and leave the program running. The program's
    own report at its end must hold what the script chose.

    Exit status 0 when every check held, 1 when one failed.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from window_control import WindowControl, WindowError  # noqa: E402

DEMO = "Window Demo"
NAME, DOMAIN, LOCAL, INTERNET, PEOPLE, LOG, COUNT, ADD, ABOUT, EXIT = (
    100, 101, 102, 103, 104, 105, 107, 110, 111, 112)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.environ.get("VT_BUILD_DIR", "build"))
    options = parser.parse_args()
    work = tempfile.mkdtemp(prefix="vt-headless-")
    sock = os.path.join(work, "window.sock")
    report = os.path.join(work, "report.txt")
    env = dict(os.environ, VT_WINDOW="headless", VT_WINDOW_CONTROL=sock)
    program = subprocess.Popen(
        [os.path.join(options.build, "tests", "window_demo"), "--lines", "8", "--report", report],
        env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
        text=True)
    failures = []

    def check(condition, what):
        print(("ok    " if condition else "FAIL  ") + what, flush=True)
        if not condition:
            failures.append(what)

    try:
        control = WindowControl(sock)
        control.wait(DEMO)
        check(control.windows() == [DEMO], "the dialog is the one window shown")
        for name in ("carol", "alice"):
            control.type(DEMO, NAME, name)
            control.click(DEMO, ADD)
        check(control.items(DEMO, PEOPLE) == ["carol", "alice"], "typed names were added")
        check(control.text(DEMO, NAME) == "", "the name field was emptied by Add")
        control.select(DEMO, PEOPLE, 1)
        control.key(DEMO, PEOPLE, "up")
        control.key(DEMO, PEOPLE, "space")
        check(control.selected(DEMO, PEOPLE) == [0, 1], "both entries selected")
        control.select(DEMO, DOMAIN, 0)
        check(control.text(DEMO, DOMAIN) == "acme.example", "a domain chosen from the list")
        control.click(DEMO, INTERNET)
        check(control.checked(DEMO, INTERNET) and not control.checked(DEMO, LOCAL),
              "the radio check moved")

        deadline = time.time() + 10
        while control.count(DEMO, LOG) < 8 and time.time() < deadline:
            time.sleep(0.05)
        check(control.items(DEMO, LOG)[-1] == "log line 8", "the other thread's lines arrived")
        check(control.text(DEMO, COUNT) == "8", "the counter followed them")

        for junk in (["click", DEMO, "9999"], ["fly", DEMO, "1"], ["text", "No Such", "1"],
                     ["item", DEMO, str(PEOPLE), "77"], ["select", DEMO, str(PEOPLE), "x"]):
            try:
                control.command(*junk)
                check(False, "junk %r refused" % junk)
            except WindowError:
                pass
        check(program.poll() is None, "junk commands were refused and the program runs on")

        control.click(DEMO, ABOUT)
        control.answer("About", "ok")
        control.gone("About")
        control.click(DEMO, EXIT)
        control.answer(DEMO, "no")  # the box has the dialog's caption; its No button is 7
        check(program.poll() is None, "No kept the dialog open")
        control.click(DEMO, EXIT)
        control.answer(DEMO, "yes")
        control.close()
        program.wait(10)
        check(program.returncode == 0, "Yes ended the program")
        with open(report) as f:
            lines = f.read().splitlines()
        check("people: carol,alice" in lines and "selected: carol,alice" in lines,
              "the report has the names and the selection")
        check("user type: internet" in lines and "domain: acme.example" in lines,
              "the report has the choices")
        check(not os.path.exists(sock), "the socket is removed at exit")
    except (WindowError, OSError, subprocess.TimeoutExpired) as error:
        check(False, "driving the dialog: %s" % error)
    finally:
        if program.poll() is None:
            program.kill()
            program.wait()
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
