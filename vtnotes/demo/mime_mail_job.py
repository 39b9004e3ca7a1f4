#!/usr/bin/env python3
"""mime_mail_job - internet mail with attachments through the real-time scanning job.

SYNOPSIS
    mime_mail_job.py [--build DIR] [--root DIR] [--check]

DESCRIPTION
    Provisions a machine root, loads vtnotes into the router, starts the engine and the
    server and sends MIME mail through SMTP, as a mail client does:

        302nd mail     the mail box has handed out 301 IDs before (as if 301 mails had
                       passed), so under a numbering of 1, 2, 3 ... this mail would be note
                       0x12E, which the note-open hook never scans; it carries a virus and
                       must be caught
        mixed mail     its text, a clean PDF and the EICAR file, policy "clean" with a
                       quarantine copy: the recipient gets the text and the PDF (the same
                       bytes), not the EICAR file; vtquaran.nsf holds the whole mail, both
                       attachments as sent; `nsf export` writes the delivered mail back

    With --check the outcomes are compared with what each case must give and the exit
    status says whether all held (the integration test runs it so).

FILES
    <build>/bin/{vtprovision,vantrel,nserver,nrouter,nsmtp,nsf,winreg}, <build>/lib/*.so
"""
import os
import shutil
import smtplib
import sqlite3
import sys
import tempfile
from email.message import EmailMessage

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import main_job  # noqa: E402  (it puts demo_machine on the path)
import demo_machine  # noqa: E402
from main_job import find_by_subject, settle  # noqa: E402

EICAR = (b"X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*")
# A clean attachment that looks like a PDF and holds every byte value.
PDF = b"%PDF-1.4\n" + bytes(range(256)) * 200 + b"\n%%EOF\n"
# The ID the 302nd note of a box got when notes were numbered 1, 2, 3 ...
OLD_302ND_ID = 0x12E


def send(port, subject, text, attachments):
    message = EmailMessage()
    message["From"] = "alice@example.com"
    message["To"] = "bob@example.com"
    message["Subject"] = subject
    message.set_content(text)
    for name, maintype, subtype, data in attachments:
        message.add_attachment(data, maintype=maintype, subtype=subtype, filename=name)
    with smtplib.SMTP("127.0.0.1", port, timeout=30) as smtp:
        smtp.send_message(message)


def extracted(machine, db, document, directory):
    """The attachments of a document as {name: bytes}, through nsf extract."""
    os.makedirs(directory, exist_ok=True)
    machine.tool("nsf", "extract", db, str(document["noteid"]), directory)
    files = {}
    for name in os.listdir(directory):
        with open(os.path.join(directory, name), "rb") as f:
            files[name] = f.read()
    return files


def make_box_look_used(machine, handed_out):
    """Makes mail.box remember `handed_out` note IDs, as a box that numbered its notes
    1, 2, 3 ... after so many mails would."""
    box = os.path.join(machine.root, "domino", "data", "mail.box")
    with sqlite3.connect(box) as sql:
        sql.execute("DELETE FROM sqlite_sequence WHERE name = 'notes'")
        sql.execute("INSERT INTO sqlite_sequence(name, seq) VALUES('notes', ?)", (handed_out,))


def last_box_id(machine):
    box = os.path.join(machine.root, "domino", "data", "mail.box")
    with sqlite3.connect(box) as sql:
        row = sql.execute("SELECT seq FROM sqlite_sequence WHERE name = 'notes'").fetchone()
    return row[0] if row else 0


def run(machine, work):
    rows = []
    make_box_look_used(machine, OLD_302ND_ID - 1)
    machine.start_engine()
    machine.start_server()
    try:
        # The 302nd mail of the box.
        machine.set_policy(action="clean")
        subject = "case 302nd mail"
        send(machine.port, subject, "The three hundred and second mail.",
             [("eicar.com", "application", "octet-stream", EICAR)])
        settle(machine, subject, 30)
        delivered = find_by_subject(machine, "mail/bob.nsf", subject)
        stored_at = last_box_id(machine)
        files = extracted(machine, "mail/bob.nsf", delivered, os.path.join(work, "302")) \
            if delivered else {}
        ok = (delivered is not None and not files and stored_at != OLD_302ND_ID
              and "Vantrel removed the attachment eicar.com" in main_job.body_text(delivered))
        rows.append(("302nd mail", ok, "stored as note 0x%X, delivered %s, attachments %s"
                     % (stored_at, "yes" if delivered else "no", sorted(files))))

        # The mixed mail, cleaned, with a quarantine copy.
        machine.set_policy(action="clean", quarantine=1)
        subject = "case mixed mail"
        text = "The quarterly report is attached."
        send(machine.port, subject, text,
             [("report.pdf", "application", "pdf", PDF),
              ("eicar.com", "application", "octet-stream", EICAR)])
        settle(machine, subject, 30)
        delivered = find_by_subject(machine, "mail/bob.nsf", subject)
        quarantined = find_by_subject(machine, "vtquaran.nsf", subject)
        kept = extracted(machine, "mail/bob.nsf", delivered, os.path.join(work, "bob")) \
            if delivered else {}
        copy = extracted(machine, "vtquaran.nsf", quarantined, os.path.join(work, "quarantine")) \
            if quarantined else {}
        body = main_job.body_text(delivered) if delivered else ""
        ok = (delivered is not None and text in body and kept == {"report.pdf": PDF})
        rows.append(("mixed: kept", ok, "text %s, attachments %s"
                     % ("kept" if text in body else "LOST", sorted(kept))))
        ok = copy == {"report.pdf": PDF, "eicar.com": EICAR}
        rows.append(("mixed: copy", ok, "quarantine attachments %s" % sorted(copy)))
        exported = ""
        if delivered:
            exported = machine.tool("nsf", "export", "mail/bob.nsf", str(delivered["noteid"]),
                                    check=False)
        ok = "Subject: case mixed mail" in exported and 'filename="report.pdf"' in exported \
            and "eicar.com\"" not in exported
        rows.append(("mixed: export", ok, "%d bytes written back" % len(exported)))
    finally:
        machine.stop_server()
        machine.stop_engine()
    print("%-15s %-7s %s" % ("case", "result", "what was seen"))
    print("-" * 90)
    for name, ok, seen in rows:
        print("%-15s %-7s %s" % (name, "ok" if ok else "WRONG", seen))
    return sum(0 if ok else 1 for _, ok, _ in rows)


def run_with_work_directory(machine, check):
    work = tempfile.mkdtemp(prefix="vantrel-mime-mail-files.")
    try:
        return run(machine, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(demo_machine.run_job(main_job.Machine, run_with_work_directory,
                                  "vantrel-mime-mail."))
