#!/usr/bin/env python3
"""long_line_test - long encoded lines decode as Python's email package decodes them.

SYNOPSIS
    long_line_test.py --vtcapture PATH

DESCRIPTION
    Mailers may write a base64 or quoted-printable body as one line of many kilobytes. The
    text writer reads such a line in pieces; this test builds mails whose lines are cut at
    every position of a base64 group and of a quoted-printable escape, writes their text
    with `vtcapture mime` as capture does, and compares the body file with the payload that
    Python's email package decodes from the same mail. The exit status is the number of
    mails whose text differed (0 when all agreed).
"""
import argparse
import base64
import email
import email.policy
import os
import subprocess
import sys
import tempfile

# Text with multi-byte characters, blanks and line feeds, so that escapes and blanks fall
# on every cut position across the variants below.
SAMPLE = ("Grüße aus Köln — naïve café, 10 € per item.\tTabs and  double  blanks.\n"
          "Ünïcödé again; long line of plain words follows without any break at all "
          "because some mailers never fold what they encode ")


def text_of(size, shift):
    """About `size` characters of SAMPLE, rotated by `shift`."""
    repeated = SAMPLE * (size // len(SAMPLE) + 2)
    return repeated[shift:shift + size]


def qp_one_line(data):
    """Quoted-printable of bytes as one physical line per line of data, no soft breaks."""
    lines = []
    for line in data.split(b"\n"):
        out = []
        for byte in line:
            if byte in (0x3D,) or byte > 126 or (byte < 32 and byte != 9):
                out.append("=%02X" % byte)
            else:
                out.append(chr(byte))
        encoded = "".join(out)
        # Blanks at the end of a line are encoded, as RFC 2045 requires.
        if encoded.endswith((" ", "\t")):
            encoded = encoded[:-1] + "=%02X" % ord(encoded[-1])
        lines.append(encoded)
    return "\n".join(lines)


def mails():
    for shift in range(8):
        data = text_of(12000 + shift, shift).encode("utf-8")
        encoded = base64.b64encode(data).decode("ascii")
        yield (f"base64 one line, shift {shift}",
               "Content-Type: text/plain; charset=utf-8\n"
               "Content-Transfer-Encoding: base64\n\n" + encoded + "\n")
    # Two long lines (broken after whole groups), CR LF line ends, padding at the very end.
    data = text_of(9001, 3).encode("utf-8")
    encoded = base64.b64encode(data).decode("ascii")
    yield ("base64 two lines, CR LF",
           "Content-Type: text/plain; charset=utf-8\r\n"
           "Content-Transfer-Encoding: base64\r\n\r\n" + encoded[:6000] + "\r\n" +
           encoded[6000:] + "\r\n")
    for shift in range(12):
        data = (text_of(7000 + shift, shift).replace("\n", " ") + "\n" +
                text_of(300, 1).replace("\n", " ") + "\n").encode("utf-8")
        yield (f"quoted-printable long line, shift {shift}",
               "Content-Type: text/plain; charset=utf-8\n"
               "Content-Transfer-Encoding: quoted-printable\n\n" + qp_one_line(data))


def expected_text(raw):
    message = email.message_from_bytes(raw.encode("utf-8"), policy=email.policy.compat32)
    payload = message.get_payload(decode=True)
    encoding = message.get("Content-Transfer-Encoding", "").lower()
    if encoding == "quoted-printable":
        # The body file's lines end in CR LF.
        payload = payload.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
    return payload


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--vtcapture", required=True)
    args = parser.parse_args()
    failures = 0
    with tempfile.TemporaryDirectory(prefix="vt-long-lines.") as work:
        env = dict(os.environ, VT_SYSROOT=work)
        for index, (name, raw) in enumerate(mails()):
            raw_path = os.path.join(work, f"{index}.bdx")
            job = os.path.join(work, f"job{index}")
            with open(raw_path, "w", encoding="utf-8", newline="") as f:
                f.write(raw)
            result = subprocess.run([args.vtcapture, "mime", raw_path, job], env=env,
                                    capture_output=True, text=True)
            with open(os.path.join(job, "0.bdy"), "rb") as f:
                got = f.read()
            want = expected_text(raw)
            if result.returncode != 0 or got != want:
                failures += 1
                where = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b),
                             min(len(got), len(want)))
                print(f"FAILED {name}: {len(got)} bytes written, {len(want)} expected, "
                      f"first difference at {where}: {got[where:where + 20]!r} vs "
                      f"{want[where:where + 20]!r} {result.stderr.strip()}")
            else:
                print(f"ok     {name} ({len(got)} bytes)")
    return min(failures, 100)


if __name__ == "__main__":
    sys.exit(main())
