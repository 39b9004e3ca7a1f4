#!/usr/bin/env python3
"""size_job - per-user size limits end to end, on a fresh machine root.

SYNOPSIS
    size_job.py [--build DIR] [--root DIR] [--check] [--keep]

DESCRIPTION
    Provisions a machine root (vtprovision), loads vtnotes and rights through notes.ini,
    writes rule documents into vtsched.nsf with nsf put, starts the engine (vantrel) and
    the server (nserver), sends mails through SMTP and prints what became of each:

        send delete      alice over her send limit, action delete: not delivered; alice
                         and the administrator warned
        send forward     the same with action forward: not delivered, a copy in
                         vtquaran.nsf
        receive partial  from carol to bob (over his receive limit, forward) and alice:
                         alice gets it, bob does not; a copy in vtquaran.nsf; bob and
                         carol warned
        receive all      to bob alone: nobody gets it; a copy in vtquaran.nsf
        do-not-scan      from dave, whose rule says do-not-scan and whose send limit is tiny:
                         delivered

    Each case prints a verdict ("ok" when every count below it is the one the rules ask
    for, else "WRONG") and, one line each, the database, the subject it looks for (whole)
    and how many mails with that subject it holds against how many it must hold.

    With --check the exit status says whether all cases held. A temporary root is removed
    at the end unless --keep is given or something went wrong; a root named with --root is
    kept.

FILES
    <build>/bin/{vtprovision,vantrel,nserver,nrouter,nsmtp,nsf,winreg}, <build>/lib/*.so
"""
import os
import smtplib
import sys
import time
from email.message import EmailMessage

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "platform", "provision"))
import demo_machine  # noqa: E402

SENDER_SUBJECT = "Size Restriction Warning from Vantrel to Mail-Sender!"
ADMIN_SUBJECT = "Size Restriction Warning from Vantrel to Mail-Administrator!"
RECIPIENT_SUBJECT = "Size Restriction Warning from Vantrel to Mail-Recipient!"


class Machine(demo_machine.Machine):
    def provision(self):
        super().provision("vtnotes,rights", (("TimeOut", "6"), ("VTADMINDB", "vtquaran.nsf"),
                                             ("SizeRestrictionEnabled", "1"), ("VTDEBUG", "5"),
                                             ("ProcessDeleteMailInSeconds", "1")))
        # Every task that loads rights reads the identifier at load: make it before the start.
        config = os.path.join(self.root, "vantrel", "vantrel.ini")
        with open(config) as f:
            text = f.read()
        if "VantrelID=" not in text:
            text = text.replace("[General]", "[General]\nVantrelID=1000-1234567890", 1)
            with open(config, "w") as f:
                f.write(text)
        with open(os.path.join(self.root, "vantrel", "engine.ini"), "w") as f:
            f.write("[Infected]\nAction=clean\nQuarantine=0\n"
                    "[Warnings]\nSender=0\nRecipients=0\nAdministrators=0\n[Clean]\nDisclaimer=\n")

    def rule(self, email, **items):
        args = ["put", "vtsched.nsf", "Form=NewUser", "Email3=" + email, "Status=Enable"]
        for name, value in items.items():
            args.append(f"{name}#={value}" if isinstance(value, (int, float)) else
                        f"{name}={value}")
        self.tool("nsf", *args)

    def start(self):
        self.start_engine()
        self.start_server()

    def stop(self):
        self.stop_server()
        self.stop_engine()

    def subjects(self, db):
        return [e.get("subject") or e.get("Subject") or "" for e in self.documents(db)]


def send(port, sender, recipients, subject, size_kb):
    message = EmailMessage()
    message["From"] = sender
    message["To"] = ", ".join(recipients)
    message["Subject"] = subject
    message.set_content(("x" * 75 + "\n") * (size_kb * 1024 // 76 + 1))
    with smtplib.SMTP("127.0.0.1", port, timeout=30) as smtp:
        smtp.send_message(message)


def settle(machine, subject, seconds=30):
    end = time.time() + seconds
    time.sleep(0.5)
    while time.time() < end:
        if not any(subject in machine.subjects(box) for box in ("mail.box", "mail2.box")):
            time.sleep(1.5)  # warnings written beside the mail are routed a moment later
            return
        time.sleep(0.25)


def count(machine, db, subject):
    return machine.subjects(db).count(subject)


# name, sender, recipients, size in KB, {database: (subject, expected count)}
CASES = [
    ("send delete", "alice@example.com", ["carol@example.com"], 60,
     [("mail/carol.nsf", "case send delete", 0), ("mail/alice.nsf", SENDER_SUBJECT, 1),
      ("mail/admin.nsf", ADMIN_SUBJECT, 1)]),
    ("send forward", "admin@example.com", ["carol@example.com"], 60,
     [("mail/carol.nsf", "case send forward", 0), ("vtquaran.nsf", "case send forward", 1)]),
    ("receive partial", "carol@example.com", ["bob@example.com", "alice@example.com"], 60,
     [("mail/alice.nsf", "case receive partial", 1), ("mail/bob.nsf", "case receive partial", 0),
      ("mail/bob.nsf", RECIPIENT_SUBJECT, 1), ("mail/carol.nsf", SENDER_SUBJECT, 1),
      ("vtquaran.nsf", "case receive partial", 1)]),
    ("receive all", "carol@example.com", ["bob@example.com"], 60,
     [("mail/bob.nsf", "case receive all", 0), ("vtquaran.nsf", "case receive all", 1)]),
    ("do-not-scan", "dave@example.com", ["carol@example.com"], 60,
     [("mail/carol.nsf", "case do-not-scan", 1)]),
]


LEGEND = """\
Size limits per user, checked by rights as each mail enters the router's mail box.
Rules in vtsched.nsf: alice may send less than 50 KB (else the mail is deleted), admin
less than 50 KB (else forwarded to the quarantine), bob may receive less than 50 KB (else
forwarded to the quarantine), dave's mail is never checked. Every mail below is 60 KB.
For each case: the verdict, then each place looked at, the subject looked for, and how
many mails with that subject it holds (got) against how many it must hold (want)."""


def run(machine, check=False):
    machine.rule("ALICE@EXAMPLE.COM", Max_Send_Size=50, Max_Send_Action="Delete")
    machine.rule("ADMIN@EXAMPLE.COM", Max_Send_Size=50, Max_Send_Action="Forward")
    machine.rule("BOB@EXAMPLE.COM", Max_Receive_Size=50, Max_Receive_Action="Forward")
    machine.rule("DAVE@EXAMPLE.COM", Max_Send_Size=1, DoNotScanMail="yes")
    failures = 0
    print(LEGEND)
    print()
    print("%-16s %-8s %-16s %-62s %3s %4s" % ("case", "verdict", "database", "subject",
                                              "got", "want"))
    print("-" * 114)
    machine.start()
    try:
        for name, sender, recipients, size, expected in CASES:
            subject = "case " + name
            send(machine.port, sender, recipients, subject, size)
            settle(machine, subject)
            results = []
            for db, what, want in expected:
                # Warnings and copies are routed a moment after the mail itself: give them
                # time on a loaded machine.
                end = time.time() + 20
                got = count(machine, db, what)
                while got != want and time.time() < end:
                    time.sleep(0.25)
                    got = count(machine, db, what)
                results.append((db, what, got, want))
                failures += got != want
            verdict = "ok" if all(got == want for _, _, got, want in results) else "WRONG"
            for i, (db, what, got, want) in enumerate(results):
                print("%-16s %-8s %-16s %-62s %3d %4d" % (name if i == 0 else "",
                                                          verdict if i == 0 else "",
                                                          db, what, got, want))
    finally:
        machine.stop()
    return failures


if __name__ == "__main__":
    sys.exit(demo_machine.run_job(Machine, run, "vantrel-size-job."))
