#!/usr/bin/env python3
"""terminal_job - the configuration console in a terminal, used by keys under tmux.

SYNOPSIS
    terminal_job.py [--build DIR] [--keep]

DESCRIPTION
    Provisions a machine root and runs vtsetup in a detached tmux session of its own (a
    private tmux server) as a new administrator would: the setup wizard picks the primary
    domain from the Domino directory with Down, browses to a mail database (Alt+B, the file
    name typed into the open-file dialog), replaces the proposed ID by a bare name that the
    console completes, and presses Enter on Next. Then vtsetup in edit mode adds an Internet
    administrator (Alt+A, Down to Internet User, the address) and a local one (Alt+A, a
    database typed, the proposed ID confirmed) and saves with Alt+S. vantrel.ini and the
    registry must hold what the keys chose.

    Exit status 0 when every check held, 1 when one failed, 77 when tmux is missing.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "platform", "ui"))
sys.path.insert(0, HERE)
from terminal_check import Terminal  # noqa: E402
from setup_job import Root  # noqa: E402


def run_console(terminals, root, *args):
    """Starts vtsetup in a tmux server of its own (a server just stopped may still be going
    away, so each run gets a new one) and returns the terminal and the exit status file."""
    exit_file = os.path.join(root.path, "exit.txt")
    if os.path.exists(exit_file):
        os.remove(exit_file)
    command = ("cd %s && env -u VT_WINDOW VT_SYSROOT=%s TERM=xterm-256color %s %s; "
               "echo $? > %s; sleep 60" % (root.path, root.path,
                                            os.path.join(root.build, "bin", "vtsetup"),
                                            " ".join(args), exit_file))
    terminal = Terminal("vtsetup-%d-%d" % (os.getpid(), len(terminals)))
    terminals.append(terminal)
    terminal.start(command)
    return terminal, exit_file


def wait_exit(exit_file, seconds=20):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if os.path.exists(exit_file):
            with open(exit_file) as f:
                text = f.read().strip()
            if text:
                return text
        time.sleep(0.05)
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.environ.get("VT_BUILD_DIR", "build"))
    parser.add_argument("--keep", action="store_true")
    options = parser.parse_args()
    if not shutil.which("tmux"):
        print("terminal_job: tmux is not installed; skipped")
        return 77
    path = tempfile.mkdtemp(prefix="vt-setup-terminal-")
    root = Root(options.build, path)
    terminals = []
    failures = []

    def check(condition, what):
        print(("ok      " if condition else "FAILED  ") + what)
        if not condition:
            failures.append(what)

    try:
        terminal, exit_file = run_console(terminals, root)
        terminal.wait_for("Select the Primary Domain")
        terminal.keys("Down")
        terminal.wait_for("example.com")
        terminal.alt("b")
        terminal.wait_for("Look in:")
        terminal.keys(*(["BSpace"] * 12))
        terminal.keys(*"bob.nsf")
        terminal.keys("Enter")
        terminal.wait_gone("Look in:")
        shown = terminal.wait_for("bob@example.com")
        check("mail/bob.nsf" in shown, "Browse put the database and its ID into the wizard")
        terminal.keys(*(["BSpace"] * 20))
        terminal.keys(*"bob")
        terminal.keys("Enter")
        check(wait_exit(exit_file) == "0", "Next accepted the wizard")
        check(root.ini("PrimaryDomain") == "example.com", "PrimaryDomain from names.nsf")
        check(root.ini("AdminEmailId") == "bob@example.com", "the typed name was completed")
        check((root.registry("VTADMINDB") or "").endswith("mail/bob.nsf"),
              "VTADMINDB is the browsed database")

        terminal.stop()
        terminal, exit_file = run_console(terminals, root, "edit")
        terminal.wait_for("List of Administrator")
        terminal.alt("a")
        terminal.wait_for("Internet User")
        terminal.keys("Down", "Enter")
        terminal.wait_for("External Email ID")
        terminal.keys(*"ext@partner.org")
        terminal.keys("Enter")
        terminal.wait_for("ext@partner.org")
        terminal.alt("a")
        terminal.wait_for("Internet User")
        terminal.keys("Enter")
        terminal.wait_for("Enter the Administrator Database Name")
        terminal.keys(*"mail/carol.nsf")
        terminal.keys("Enter")
        terminal.wait_for("carol@example.com")
        terminal.keys("Enter")
        shown = terminal.wait_for("carol@example.com")
        check("ext@partner.org" in shown, "both administrators are listed")
        terminal.alt("s")
        check(wait_exit(exit_file) == "0", "Save ended the console")
        check(root.ini("AdminEmailId") == "bob@example.com,ext@partner.org,carol@example.com",
              "AdminEmailId holds the three administrators")
        databases = (root.registry("VTADMINDB") or "").split(",")
        check(len(databases) == 3 and databases[1] == " " and databases[2] == "mail/carol.nsf",
              "VTADMINDB has a blank for the Internet administrator")
    except (AssertionError, subprocess.CalledProcessError, OSError) as error:
        failures.append(str(error))
        print("FAILED ", error)
    finally:
        for terminal in terminals:
            terminal.stop()
        if options.keep or failures:
            print("machine root kept:", path)
        else:
            shutil.rmtree(path, ignore_errors=True)
    print("all checks held" if not failures else "%d check(s) failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
