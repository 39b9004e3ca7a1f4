#!/usr/bin/env python3
"""engine_order_job - scanning follows the engine, whatever the order of starts.

SYNOPSIS
    engine_order_job.py [--build DIR] [--root DIR] [--check]

DESCRIPTION
    Provisions a machine root with vtnotes loaded into the router and the engine's policy
    set to delete infected mail, then plays the orders of start an administrator meets and
    sends a virus through SMTP after each, one second after the engine took its lock:

        engine after server   the server (and its router) up first, the engine later: the
                              engine's UpdateDLL turns scanning on
        restart after timeout the engine killed; a mail waits its time-out and passes
                              unscanned (scanning off); the engine started again turns
                              scanning back on
        server restarted      the server stopped and started again under a running engine
        30 multiparts deep    EICAR in the innermost of 30 nested multiparts
        25 zips deep          EICAR in the innermost of 25 nested zip archives
        encrypted zip         an archive that cannot be opened
        clean control         a plain mail, delivered: the router works, nothing else

    A virus must never reach bob's mail database: the engine's delete verdict (or, for
    content that could not be scanned whole, a heuristic finding under the same verdict)
    removes it. With --check the exit status says whether every case held.

FILES
    <build>/bin/{vtprovision,vantrel,nserver,nrouter,nsmtp,nsf,winreg}, <build>/lib/*.so
    <root>/vantrel/Reports/   the router's debug log, vtnotes.log, vantrel.log
"""
import glob
import io
import os
import signal
import smtplib
import sys
import time
import zipfile
from email.message import EmailMessage

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "platform", "provision"))
import demo_machine  # noqa: E402
from demo_machine import wait_for  # noqa: E402

TIMEOUT_SECONDS = 4
# How long after the engine holds its lock a virus is sent: scanning must be on by then.
AFTER_ENGINE_SECONDS = 1.0
VIRUS_TEXT = b"VANTREL-TEST-ATTACHMENT-VIRUS"


def eicar():
    # Put together here so that no file of the tree carries the test virus whole.
    return (b"X5O!P%@AP[4\\PZX54(P^)7CC)7}$" + b"EICAR-STANDARD-" +
            b"ANTIVIRUS-TEST-FILE!$H+H*")


class Machine(demo_machine.Machine):
    def provision(self):
        super().provision("vtnotes", (("TimeOut", str(TIMEOUT_SECONDS)), ("VTDEBUG", "10"),
                                      ("ProcessDeleteMailInSeconds", "1")))
        with open(os.path.join(self.root, "vantrel", "engine.ini"), "w") as f:
            f.write("[Infected]\nAction=delete\nQuarantine=0\n"
                    "[Warnings]\nSender=0\nRecipients=0\nAdministrators=0\n")

    def reports(self):
        return os.path.join(self.root, "vantrel", "Reports")

    def router_starts(self):
        """How often vtnotes has started in a router of this root (its debug logs say so)."""
        starts = 0
        for path in glob.glob(os.path.join(self.reports(), "*-*.log")):
            with open(path, "rb") as f:
                starts += f.read().count(b"MainEntryPoint Called")
        return starts

    def start_server_and_router(self):
        """Starts the server and waits until vtnotes has started in its router."""
        before = self.router_starts()
        self.start_server()
        wait_for(lambda: self.router_starts() > before, 30, "vtnotes in the router")

    def start_engine_at(self):
        """Starts the engine; returns the time it held its lock."""
        self.start_engine()
        return time.time()

    def kill_engine(self):
        self.engine.send_signal(signal.SIGKILL)
        self.engine.wait(20)
        self.engine = None


def send_text(port, subject, text, attachment=None):
    message = EmailMessage()
    message["From"] = "alice@example.com"
    message["To"] = "bob@example.com"
    message["Subject"] = subject
    message.set_content(text)
    if attachment:
        message.add_attachment(attachment[1], maintype="application", subtype="octet-stream",
                               filename=attachment[0])
    send_raw(port, message.as_bytes())


def send_raw(port, data):
    with smtplib.SMTP("127.0.0.1", port, timeout=30) as smtp:
        smtp.sendmail("alice@example.com", ["bob@example.com"], data)


def nested_multipart(subject, levels, content):
    """A message whose multiparts nest `levels` deep around `content` as an attachment."""
    import base64
    part = (b'Content-Type: application/octet-stream; name="eicar.com"\r\n'
            b"Content-Transfer-Encoding: base64\r\n"
            b'Content-Disposition: attachment; filename="eicar.com"\r\n\r\n' +
            base64.b64encode(content) + b"\r\n")
    for level in range(levels, 0, -1):
        boundary = b"level-%d" % level
        part = (b'Content-Type: multipart/mixed; boundary="' + boundary + b'"\r\n\r\n--' +
                boundary + b"\r\nContent-Type: text/plain\r\n\r\nlevel %d\r\n--" % level +
                boundary + b"\r\n" + part + b"--" + boundary + b"--\r\n")
    return (b"From: alice@example.com\r\nTo: bob@example.com\r\nSubject: " +
            subject.encode() + b"\r\nMIME-Version: 1.0\r\n" + part)


def nested_zips(levels, content):
    data = content
    name = "eicar.com"
    for level in range(levels):
        buffer = io.BytesIO()
        with zipfile.ZipFile(buffer, "w", zipfile.ZIP_STORED) as archive:
            archive.writestr(name, data)
        data = buffer.getvalue()
        name = "level%d.zip" % (level + 1)
    return data


def encrypted_zip(content):
    """A zip whose one entry is flagged as encrypted (traditional PKWARE encryption)."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_STORED) as archive:
        info = zipfile.ZipInfo("budget.xls")
        archive.writestr(info, b"\x5a" * 12 + content)
    data = bytearray(buffer.getvalue())
    # Set bit 0 of the general-purpose flags in the local and the central header.
    for signature, offset in ((b"PK\x03\x04", 6), (b"PK\x01\x02", 8)):
        at = data.find(signature)
        data[at + offset] |= 1
    return bytes(data)


def subjects(machine, db):
    return {entry.get("subject") or entry.get("Subject") for entry in machine.documents(db)}


def in_boxes(machine, subject):
    return any(subject in subjects(machine, box) for box in ("mail.box", "mail2.box"))


def settle(machine, subject, seconds):
    """Waits until the mail left the router boxes (delivered or deleted)."""
    time.sleep(0.5)
    try:
        wait_for(lambda: not in_boxes(machine, subject), seconds, "the mail " + subject)
        return True
    except RuntimeError:
        return False


def check_virus(machine, name, attachment=None, raw=None, engine_up_at=None):
    """Sends a virus (an attachment, or a whole raw message) under the subject "case NAME";
    it must leave the box without reaching bob. With engine_up_at, the mail goes out
    AFTER_ENGINE_SECONDS after that time."""
    subject = "case " + name
    if engine_up_at is not None:
        time.sleep(max(0.0, engine_up_at + AFTER_ENGINE_SECONDS - time.time()))
    note = ""
    if engine_up_at is not None:
        note = ", sent %.1f s after the engine came up" % (time.time() - engine_up_at)
    if raw is not None:
        send_raw(machine.port, raw(subject))
    else:
        send_text(machine.port, subject, "Open the attachment.", attachment or ("x.exe", VIRUS_TEXT))
    left = settle(machine, subject, 60)
    delivered = subject in subjects(machine, "mail/bob.nsf")
    ok = left and not delivered
    return (name, "ok" if ok else "WRONG",
            ("removed" if ok else "DELIVERED" if delivered else "still in the box") + note)


def check_delivered(machine, name, seconds, what):
    """Sends a plain mail, which must reach bob."""
    subject = "case " + name
    send_text(machine.port, subject, "Lunch at noon?")
    ok = settle(machine, subject, seconds) and subject in subjects(machine, "mail/bob.nsf")
    return (name, "ok" if ok else "WRONG", what if ok else "not delivered")


def run(machine):
    rows = []
    # The server first; the engine once the router runs without it.
    machine.start_server_and_router()
    rows.append(check_virus(machine, "engine after server",
                            engine_up_at=machine.start_engine_at()))

    # The engine dies; a mail waits its time-out and passes (the router finds the engine
    # gone and turns scanning off); the engine started again turns it on.
    machine.kill_engine()
    rows.append(check_delivered(machine, "outage passes", TIMEOUT_SECONDS + 30,
                                "delivered unscanned after the time-out"))
    rows.append(check_virus(machine, "restart after timeout",
                            engine_up_at=machine.start_engine_at()))

    # The server restarted under a running engine.
    machine.stop_server()
    machine.start_server_and_router()
    rows.append(check_virus(machine, "server restarted"))

    # Content that cannot be scanned whole gets the infected action.
    rows.append(check_virus(machine, "30 multiparts deep",
                            raw=lambda subject: nested_multipart(subject, 30, eicar())))
    rows.append(check_virus(machine, "25 zips deep",
                            attachment=("deep.zip", nested_zips(25, eicar()))))
    rows.append(check_virus(machine, "encrypted zip",
                            attachment=("budget.zip", encrypted_zip(b"figures"))))
    rows.append(check_delivered(machine, "clean control", 30, "delivered"))
    return rows


def run_cases(machine, check):
    """Runs every case, stops the server and the engine whatever happened, prints the table
    and returns the number of cases that went wrong."""
    try:
        rows = run(machine)
    finally:
        machine.stop_server()
        machine.stop_engine()
    print("%-22s %-6s %s" % ("case", "result", "what happened"))
    print("-" * 80)
    for row in rows:
        print("%-22s %-6s %s" % row)
    return sum(1 for row in rows if row[1] != "ok")


if __name__ == "__main__":
    sys.exit(demo_machine.run_job(Machine, run_cases, "vantrel-engine-order."))
