#!/usr/bin/env python3
"""address_job - recipient lists with commas inside an address, end to end.

SYNOPSIS
    address_job.py [--build DIR] [--root DIR]

DESCRIPTION
    Provisions a machine root with vtnotes and rights loaded, gives bob a receive limit
    (action delete) and sends, over SMTP, one mail from carol to
    "Lee, Alice" <alice@example.com> and bob@example.com, another with alice in Cc behind a
    quoted name holding commas, escaped quotes and a comment, and bob in a group. In both, bob is refused and the recipient
    items are rewritten: they must hold alice's address whole, alice must get the mail,
    and carol must get no non-delivery report (a fragment such as "Lee would have made
    one). The exit status says whether every check held.

FILES
    <build>/bin/{vtprovision,vantrel,nserver,nrouter,nsmtp,nsf,winreg}, <build>/lib/*.so
"""
import argparse
import os
import shutil
import smtplib
import sys
import tempfile
import time
from email.message import EmailMessage

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__))))
import size_job  # noqa: E402

# subject, To, Cc
CASES = [
    ("quoted comma", '"Lee, Alice" <alice@example.com>, bob@example.com', None),
    ("comment and group", "Team: bob@example.com;",
     '"O\'Neil, \\"Al\\" (Archer, Alice)" <alice@example.com> (Lee, A.)'),
]


def send(port, subject, to, cc):
    message = EmailMessage()
    message["From"] = "carol@example.com"
    message["To"] = to
    if cc:
        message["Cc"] = cc
    message["Subject"] = subject
    message.set_content(("y" * 75 + "\n") * (60 * 1024 // 76 + 1))
    with smtplib.SMTP("127.0.0.1", port, timeout=30) as smtp:
        smtp.send_message(message, to_addrs=["alice@example.com", "bob@example.com"])


def wait_count(machine, db, subject, want, seconds=20):
    end = time.time() + seconds
    got = machine.subjects(db).count(subject)
    while got != want and time.time() < end:
        time.sleep(0.25)
        got = machine.subjects(db).count(subject)
    return got


def items_of(machine, db, subject):
    for document in machine.documents(db):
        if (document.get("subject") or "") == subject:
            shown = machine.show(db, document["noteid"])
            return {item["name"].lower(): item["value"] for item in shown.get("items", [])}
    return {}


def run(machine):
    machine.rule("BOB@EXAMPLE.COM", Max_Receive_Size=50, Max_Receive_Action="Delete")
    failures = []
    machine.start()
    try:
        for subject, to, cc in CASES:
            send(machine.port, subject, to, cc)
            size_job.settle(machine, subject)
            if wait_count(machine, "mail/alice.nsf", subject, 1) != 1:
                failures.append(f"{subject}: alice did not get the mail")
            if wait_count(machine, "mail/bob.nsf", subject, 0, 2) != 0:
                failures.append(f"{subject}: bob got the mail past his limit")
            reports = [s for s in machine.subjects("mail/carol.nsf")
                       if s.startswith("DELIVERY FAILURE")]
            if reports:
                failures.append(f"{subject}: carol got non-delivery reports {reports}")
            items = items_of(machine, "mail/alice.nsf", subject)
            lists = [items.get(name) for name in ("sendto", "copyto", "recipients")]
            flat = []
            for value in lists:
                flat += value if isinstance(value, list) else [value or ""]
            text = ",".join(flat)
            if "alice@example.com" not in text or '"Lee' in text or "bob@" in text:
                failures.append(f"{subject}: rewritten lists {lists}")
            print("%-18s alice's copy: SendTo %r CopyTo %r Recipients %r" %
                  (subject, *lists))
    finally:
        machine.stop()
    return failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.environ.get("VT_BUILD_DIR", "build"))
    parser.add_argument("--root")
    args = parser.parse_args()
    root = args.root or tempfile.mkdtemp(prefix="vantrel-address-job.")
    machine = size_job.Machine(args.build, root)
    print("machine root:", root)
    machine.provision()
    failures = run(machine)
    for failure in failures:
        print("FAILED:", failure)
    print("all cases held" if not failures else f"{len(failures)} check(s) went wrong")
    if not args.root and not failures:
        shutil.rmtree(root, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
