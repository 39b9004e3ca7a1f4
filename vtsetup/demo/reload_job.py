#!/usr/bin/env python3
"""reload_job - a running real-time extension takes up what vtsetup saved, without a restart.

SYNOPSIS
    reload_job.py [--build DIR] [--root DIR] [--check] [--keep]

DESCRIPTION
    Provisions a root with the product installed and the extension vtnotes loaded by the
    router, starts the server, and runs `vtsetup --script FILE edit` adding an Internet
    administrator. The extension's debug log must then say that it re-read its settings and
    list the new administrator among its tables, while the same router runs on.
"""
import glob
import os
import subprocess
import sys
import tempfile

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


class Machine(demo_machine.Machine):
    def provision(self):
        super().provision("vtnotes", (("VTDEBUG", "10"),))

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
        if machine.server.poll() is not None:
            print("FAILED the server stopped")
            failures += 1
    finally:
        machine.stop_server()
    return failures


if __name__ == "__main__":
    sys.exit(demo_machine.run_job(Machine, run, "vt-setup-reload-"))
