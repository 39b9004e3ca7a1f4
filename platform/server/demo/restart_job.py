#!/usr/bin/env python3
"""restart_job - the server's fault recovery end to end, with the scanning extension loaded.

SYNOPSIS
    restart_job.py [--build DIR] [--root DIR] [--check]

DESCRIPTION
    Provisions a machine root (vtprovision), loads vtnotes into the server's tasks through
    notes.ini, starts the engine (vantrel) and the server (nserver), and then kills the
    server's tasks as a crash would, printing what became of the mail:

        router killed  the engine is held (SIGSTOP) so that mails wait in mail.box and in
                       the router's hands; nrouter is killed (SIGKILL); the server starts it
                       again and every waiting mail is delivered exactly once, within
                       seconds of the engine answering again
        smtp killed    nsmtp is killed in the middle of a message; the server starts it
                       again, the half message's spool file is gone, and SMTP answers: a
                       mail sent afterwards is delivered once
        stopped        the server stops: no task is restarted behind its back

    With --check the outcomes are compared with what each case must give and the exit
    status says whether all held (the integration test runs it so).

FILES
    <build>/bin/{vtprovision,vantrel,nserver,nrouter,nsmtp,nsf,winreg}, <build>/lib/*.so
    <root>/domino/console.log   where the server says which task died and was restarted
"""
import os
import re
import signal
import smtplib
import socket
import sys
import time
from email.message import EmailMessage

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "provision"))
import demo_machine  # noqa: E402
from demo_machine import wait_for  # noqa: E402

TIMEOUT_SECONDS = 20  # longer than the engine is held: every mail gets a verdict
WAITING_MAILS = 8
DELIVERY_SECONDS = 30  # from the engine's return to the last waiting mail delivered


class Machine(demo_machine.Machine):
    def provision(self):
        super().provision("vtnotes", (("TimeOut", str(TIMEOUT_SECONDS)),
                                      ("VTADMINDB", "vtquaran.nsf")))
        with open(os.path.join(self.root, "vantrel", "engine.ini"), "w") as f:
            f.write("[Infected]\nAction=clean\nQuarantine=0\n"
                    "[Warnings]\nSender=0\nRecipients=0\nAdministrators=0\n")

    def console_log(self):
        try:
            with open(os.path.join(self.root, "domino", "console.log"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def task_pid(self, task):
        """The process id the server last logged for a task, started or restarted."""
        found = re.findall(r"Task %s (?:re)?started \(process (\d+)\)" % task, self.console_log())
        return int(found[-1]) if found else None

    def subjects(self, db):
        return [e.get("subject") or e.get("Subject") or "" for e in self.documents(db)]


def send(port, subject):
    message = EmailMessage()
    message["From"] = "alice@example.com"
    message["To"] = "bob@example.com"
    message["Subject"] = subject
    message.set_content("Sent while the server's tasks die.")
    with smtplib.SMTP("127.0.0.1", port, timeout=30) as smtp:
        smtp.send_message(message)


def boxes_empty(machine):
    return not machine.subjects("mail.box") and not machine.subjects("mail2.box")


def delivered_once(machine, subjects):
    delivered = machine.subjects("mail/bob.nsf")
    return all(delivered.count(s) == 1 for s in subjects), delivered


def run(machine):
    rows = []
    machine.start_engine()
    machine.start_server()
    try:
        send(machine.port, "before")
        wait_for(lambda: "before" in machine.subjects("mail/bob.nsf"), 30, "the first mail")

        # The router is killed while mails wait: some in mail.box, some in its hands.
        machine.engine.send_signal(signal.SIGSTOP)
        subjects = ["waiting %d" % i for i in range(WAITING_MAILS)]
        for subject in subjects:
            send(machine.port, subject)
        in_dir = os.path.join(machine.root, "vantrel", "IN")
        wait_for(lambda: any(os.path.exists(os.path.join(in_dir, d, "0.hdr"))
                             for d in os.listdir(in_dir)), 30, "a published job")
        router = machine.task_pid("nrouter")
        os.kill(router, signal.SIGKILL)
        wait_for(lambda: machine.task_pid("nrouter") not in (None, router), 15,
                 "the router's restart")
        machine.engine.send_signal(signal.SIGCONT)
        start = time.time()
        try:
            wait_for(lambda: boxes_empty(machine) and delivered_once(machine, subjects)[0],
                     DELIVERY_SECONDS, "the waiting mail")
            seconds = time.time() - start
        except RuntimeError:
            seconds = None
        time.sleep(2)  # a second copy would come now, if any
        ok, delivered = delivered_once(machine, subjects)
        ok = ok and seconds is not None and boxes_empty(machine)
        counts = sorted(set(delivered.count(s) for s in subjects))
        rows.append(("router killed", "restarted", "%d mails, copies each %s" % (
            len(subjects), "/".join(map(str, counts))),
            "%.1f s" % seconds if seconds is not None else "-", ok))

        # nsmtp is killed in the middle of a message: SMTP answers again once the server has
        # started it anew, and the half message left nothing behind.
        spool = os.path.join(machine.root, "tmp")
        half = socket.create_connection(("127.0.0.1", machine.port), timeout=10)
        half.sendall(b"HELO half\r\nMAIL FROM:<alice@example.com>\r\n"
                     b"RCPT TO:<bob@example.com>\r\nDATA\r\nSubject: half\r\n\r\ntext\r\n")
        wait_for(lambda: any(n.startswith("smtp-") for n in os.listdir(spool)), 15,
                 "the half message's spool file")
        smtp = machine.task_pid("nsmtp")
        os.kill(smtp, signal.SIGKILL)
        half.close()
        wait_for(lambda: machine.task_pid("nsmtp") not in (None, smtp), 15, "the SMTP restart")
        wait_for(lambda: demo_machine.port_open(machine.port), 15, "the SMTP port")
        spool_left = [n for n in os.listdir(spool) if n.startswith("smtp-")]
        send(machine.port, "after smtp")
        start = time.time()
        try:
            wait_for(lambda: "after smtp" in machine.subjects("mail/bob.nsf"), 30, "the mail")
            seconds = time.time() - start
        except RuntimeError:
            seconds = None
        time.sleep(1)
        count = machine.subjects("mail/bob.nsf").count("after smtp")
        rows.append(("smtp killed", "restarted",
                     "mail after it, copies %d; spool %s" % (
                         count, "empty" if not spool_left else "LEFT"),
                     "%.1f s" % seconds if seconds is not None else "-",
                     count == 1 and not spool_left and
                     "half" not in machine.subjects("mail/bob.nsf")))
        pids = [machine.task_pid("nrouter"), machine.task_pid("nsmtp")]
    finally:
        machine.stop_server()
        machine.stop_engine()

    log = machine.console_log()
    after_stop = log[log.rfind("Server stopping"):]
    left = [pid for pid in pids if pid and os.path.exists("/proc/%d" % pid)]
    ok = "restarted (process" not in after_stop and not left
    rows.append(("stopped", "not restarted" if ok else "RESTARTED", "tasks left: %d" % len(left),
                 "-", ok))
    restarts = log.count(") ended by itself with exit code 137; it is restarted in")
    print("%-14s %-14s %-40s %-9s %s" % ("case", "task", "mail", "delivered", "result"))
    print("-" * 86)
    for name, task, mail, seconds, ok in rows:
        print("%-14s %-14s %-40s %-9s %s" % (name, task, mail, seconds, "ok" if ok else "WRONG"))
    print("console.log: %d restart(s) announced" % restarts)
    return sum(0 if row[4] else 1 for row in rows)


if __name__ == "__main__":
    sys.exit(demo_machine.run_job(Machine, lambda machine, check: run(machine),
                                  "vantrel-restart-job."))
