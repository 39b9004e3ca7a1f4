#!/usr/bin/env python3
"""mail_shapes_job - files a mail client decodes from shapes other than attachments.

SYNOPSIS
    mail_shapes_job.py [--build DIR] [--root DIR] [--check]

DESCRIPTION
    Provisions a machine root, loads vtnotes into the router, starts the engine and the
    server and sends, through SMTP, mails whose virus a mail client would put together or
    decode from the text, with the policy "clean" and warnings to the administrators:

        partial 1/2, 2/2   a message split into two message/partial fragments whose
                           joined message carries EICAR as a base64 attachment: each
                           fragment is Heuristics.Mail.Partial, its text removed
        yenc               EICAR yEnc-encoded into a text/plain body (encoded by the
                           python3-yenc module where it is installed): the block becomes
                           an attachment, found and removed, the text around it kept
        binhex             EICAR BinHex 4.0-encoded into a text/plain body: the same
        bad yenc, bad binhex
                           blocks that are not whole, with a virus text in them: kept as
                           text and found there
        clean yenc, clean binhex
                           the same shapes with a clean file: delivered whole

    Each mail with a virus must be changed before delivery, the administrators warned with
    the finding's name, and the engine must count it among the infected jobs.

    With --check the outcomes are compared with what each case must give and the exit
    status says whether all held (the integration test runs it so).

FILES
    <build>/bin/{vtprovision,vantrel,nserver,nrouter,nsmtp,nsf,winreg}, <build>/lib/*.so
    <root>/vantrel/Reports/vantrel.log   the engine's log, read for its count of infected jobs
"""
import base64
import os
import re
import smtplib
import subprocess
import sys
import zlib
from email.message import EmailMessage

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, here)
import main_job  # noqa: E402  (it puts demo_machine on the path)
import demo_machine  # noqa: E402
import engine_order_job  # noqa: E402
from main_job import find_by_subject, settle  # noqa: E402

EICAR = engine_order_job.eicar()
# The project's test signature that is found anywhere in a file.
VIRUS_TEXT = b"VANTREL-TEST-ATTACHMENT-VIRUS"
CLEAN_FILE = bytes(range(256)) * 8 + b"=\r\n.\x00\x1a end of the clean file"
BINHEX_ALPHABET = b"!\"#$%&'()*+,-012345689@ABCDEFGHIJKLMNPQRSTUVXYZ[`abcdefhijklmpqr"


class Machine(main_job.Machine):
    def tool(self, name, *args, check=True):
        # A mail delivered unchanged may hold bytes that are no UTF-8.
        result = subprocess.run([os.path.join(self.build, "bin", name), *args], env=self.env,
                                capture_output=True, text=True, errors="replace")
        if check and result.returncode != 0:
            raise RuntimeError(f"{name} {' '.join(args)}: {result.stderr.strip()}")
        return result.stdout

    def set_warning_policy(self):
        with open(os.path.join(self.root, "vantrel", "engine.ini"), "w") as f:
            f.write("[Infected]\nAction=clean\nQuarantine=0\n"
                    "[Warnings]\nSender=0\nRecipients=0\nAdministrators=1\n")

    def admin_warned(self, finding, subject):
        """Whether an administrators' warning names the finding and the mail's subject."""
        for entry in self.documents("mail/admin.nsf"):
            if finding not in (entry.get("subject") or entry.get("Subject") or ""):
                continue
            document = self.show("mail/admin.nsf", entry.get("noteid"))
            if "Subject: " + subject in main_job.body_text(document):
                return True
        return False

    def engine_log(self):
        try:
            with open(os.path.join(self.root, "vantrel", "Reports", "vantrel.log"),
                      errors="replace") as f:
                return f.read()
        except OSError:
            return ""


def yenc_lines(data):
    """yEnc data lines from the python3-yenc module where it is installed (the system's
    python3 may have it when the one running this does not), else from the encoder below."""
    program = ("import sys, yenc\n"
               "e = yenc.Encoder()\n"
               "e.feed(sys.stdin.buffer.read())\n"
               "e.terminate()\n"
               "sys.stdout.buffer.write(e.getEncoded())\n")
    for python in (sys.executable, "/usr/bin/python3"):
        try:
            result = subprocess.run([python, "-c", program], input=data, capture_output=True)
        except OSError:
            continue
        if result.returncode == 0:
            return result.stdout, "python3-yenc"
    # yEnc 1.3: (byte + 42) mod 256; NUL, LF, CR, "=" escaped, and a dot, blank or tab that
    # would start or end a line; lines of 128.
    out, column = bytearray(), 0
    for i, byte in enumerate(data):
        value = (byte + 42) & 0xFF
        edge = column == 0 or column >= 127 or i + 1 == len(data)
        if value in (0, 10, 13, 61) or (edge and value in (9, 32)) or (column == 0 and value == 46):
            out += bytes([61, (value + 64) & 0xFF])
            column += 2
        else:
            out.append(value)
            column += 1
        if column >= 128:
            out += b"\r\n"
            column = 0
    return bytes(out) + b"\r\n", "the job's own encoder (python3-yenc is not installed)"


def yenc_block(data, name, size=None):
    lines, _ = yenc_lines(data)
    size = len(data) if size is None else size
    return (b"=ybegin line=128 size=%d name=%s\r\n" % (size, name) + lines +
            b"=yend size=%d crc32=%08x\r\n" % (size, zlib.crc32(data)))


def crc16(data):
    """The CRC of BinHex 4.0: polynomial 0x1021 from 0 (CRC-16/XMODEM, "123456789" gives
    0x31C3)."""
    crc = 0
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021 if crc & 0x8000 else crc << 1) & 0xFFFF
    return crc


def binhex_block(name, data, resource=b""):
    """BinHex 4.0: header, data fork and resource fork each with its CRC, run-length coded
    (0x90), six bits a character in lines of 64 between two colons."""
    assert crc16(b"123456789") == 0x31C3
    header = (bytes([len(name)]) + name + b"\0" + b"TEXTttxt" + b"\0\0" +
              len(data).to_bytes(4, "big") + len(resource).to_bytes(4, "big"))
    stream = b"".join(part + crc16(part).to_bytes(2, "big") for part in (header, data, resource))
    coded, i = bytearray(), 0
    while i < len(stream):
        run = 1
        while i + run < len(stream) and stream[i + run] == stream[i] and run < 255:
            run += 1
        if stream[i] == 0x90:
            coded += b"\x90\x00"
            run = 1
        elif run >= 3:
            coded += bytes([stream[i], 0x90, run])
        else:
            coded.append(stream[i])
            run = 1
        i += run
    bits, count, chars = 0, 0, bytearray()
    for byte in coded:
        bits, count = (bits << 8) | byte, count + 8
        while count >= 6:
            count -= 6
            chars.append(BINHEX_ALPHABET[(bits >> count) & 63])
    if count:
        chars.append(BINHEX_ALPHABET[(bits << (6 - count)) & 63])
    text = b":" + bytes(chars) + b":"
    lines = [text[j:j + 64] for j in range(0, len(text), 64)]
    return b"(This file must be converted with BinHex 4.0)\r\n\r\n" + b"\r\n".join(lines) + b"\r\n"


def send_text(port, subject, body):
    message = EmailMessage()
    message["From"] = "alice@example.com"
    message["To"] = "bob@example.com"
    message["Subject"] = subject
    message.set_content(body.decode("latin-1"), charset="iso-8859-1", cte="8bit")
    with smtplib.SMTP("127.0.0.1", port, timeout=30) as smtp:
        smtp.send_message(message)


def send_partials(port, subject):
    """The message with EICAR attached, split into two message/partial fragments."""
    inner = (b"Subject: " + subject.encode() + b"\r\nMIME-Version: 1.0\r\n"
             b"Content-Type: multipart/mixed; boundary=\"inner\"\r\n\r\n"
             b"--inner\r\nContent-Type: text/plain\r\n\r\nSee the attachment.\r\n"
             b"--inner\r\nContent-Type: application/octet-stream; name=\"eicar.com\"\r\n"
             b"Content-Transfer-Encoding: base64\r\n"
             b"Content-Disposition: attachment; filename=\"eicar.com\"\r\n\r\n" +
             base64.b64encode(EICAR) + b"\r\n--inner--\r\n")
    cut = inner.index(b"Content-Transfer-Encoding")
    with smtplib.SMTP("127.0.0.1", port, timeout=30) as smtp:
        for number, piece in ((1, inner[:cut]), (2, inner[cut:])):
            fragment = (b"From: alice@example.com\r\nTo: bob@example.com\r\n"
                        b"Subject: %s %d/2\r\nMIME-Version: 1.0\r\n"
                        b"Content-Type: message/partial; id=\"split-1@example.com\"; "
                        b"number=%d; total=2\r\n\r\n" % (subject.encode(), number, number) +
                        piece)
            smtp.sendmail("alice@example.com", ["bob@example.com"], fragment)


def delivered_body(machine, subject):
    document = find_by_subject(machine, "mail/bob.nsf", subject)
    return None if document is None else main_job.body_text(document)


def infected_count(machine):
    found = re.findall(r"stopped: \d+ jobs answered, (\d+) infected", machine.engine_log())
    return int(found[-1]) if found else -1


def run(machine, check):
    machine.set_warning_policy()
    machine.start_engine()
    machine.start_server()
    rows = []
    _, yenc_encoder = yenc_lines(b"x")
    print("yEnc written by", yenc_encoder)
    infected_cases = []
    try:
        def virus_case(name, finding, gone, kept=None, send=None):
            subject = "case " + name
            if send:
                send(subject)
            settle(machine, subject, 60)
            body = delivered_body(machine, subject)
            warned = machine.admin_warned(finding, subject)
            ok = (body is not None and gone not in body and warned and
                  (kept is None or kept in body))
            infected_cases.append(name)
            rows.append((name, "ok" if ok else "WRONG",
                         "delivered changed: %s, administrators warned of %s: %s"
                         % (body is not None and gone not in body, finding, warned)))

        def clean_case(name, block, kept):
            subject = "case " + name
            send_text(machine.port, subject, b"A file for you:\r\n" + block + b"Bye.\r\n")
            settle(machine, subject, 60)
            body = delivered_body(machine, subject)
            ok = body is not None and kept in body and "removed" not in body
            rows.append((name, "ok" if ok else "WRONG", "delivered whole: %s" % ok))

        send_partials(machine.port, "case partial")
        for number in (1, 2):
            virus_case("partial %d/2" % number, "Heuristics.Mail.Partial",
                       "Content-T" if number == 1 else base64.b64encode(EICAR).decode()[:20])
        virus_case("yenc", "Vantrel.Test.EICAR", "=ybegin", kept="Bye.",
                   send=lambda s: send_text(machine.port, s, b"A file for you:\r\n" +
                                            yenc_block(EICAR, b"eicar.com") + b"Bye.\r\n"))
        virus_case("binhex", "Vantrel.Test.EICAR", "BinHex", kept="Bye.",
                   send=lambda s: send_text(machine.port, s, b"A file for you:\r\n" +
                                            binhex_block(b"eicar.com", EICAR) + b"Bye.\r\n"))
        virus_case("bad yenc", "Vantrel.Test.Attachment", VIRUS_TEXT.decode(),
                   send=lambda s: send_text(machine.port, s, b"=ybegin line=128 size=999 "
                                            b"name=x.com\r\n" + VIRUS_TEXT + b"\r\n"
                                            b"=yend size=999\r\n"))
        virus_case("bad binhex", "Vantrel.Test.Attachment", VIRUS_TEXT.decode(),
                   send=lambda s: send_text(machine.port, s, binhex_block(b"x", b"y")[:-20] +
                                            b"\r\n" + VIRUS_TEXT + b"\r\n"))
        clean_case("clean yenc", yenc_block(CLEAN_FILE, b"clean.bin"), "=ybegin")
        clean_case("clean binhex", binhex_block(b"clean.bin", CLEAN_FILE, b"rsrc"),
                   "(This file must be converted with BinHex 4.0)")
    finally:
        machine.stop_server()
        machine.stop_engine()
    counted = infected_count(machine)
    rows.append(("counted", "ok" if counted == len(infected_cases) else "WRONG",
                 "the engine counted %d infected jobs of %d" % (counted, len(infected_cases))))
    print("%-14s %-6s %s" % ("case", "result", "what happened"))
    print("-" * 80)
    for row in rows:
        print("%-14s %-6s %s" % row)
    return sum(1 for row in rows if row[1] != "ok")


if __name__ == "__main__":
    sys.exit(demo_machine.run_job(Machine, run, "vantrel-mail-shapes-job."))
