#!/usr/bin/env python3
"""peer_bench - our server against Postfix with clamav-milter and clamd, side by side.

SYNOPSIS
    peer_bench.py [--build DIR] [--workloads small,mix] [--rounds N] [--mails N]
                  [--mix-mails N] [--clients N] [--loads PERCENT,...] [--open-seconds S]
                  [--open-clients N] [--hooks LIBS] [--spool-in-memory] [--keep]

DESCRIPTION
    Runs four servers on the same workload, one after the other within each round, round
    after round, on loopback only:

      ours, no extension         our server on a fresh machine root (vtprovision)
      ours, vtnotes,rights       the same with --hooks loaded; the engine scans with libclamav
      Postfix, no milter         a Postfix instance of its own, delivering to ~bob/Maildir
      Postfix + clamav-milter    the same with clamav-milter and clamd scanning each mail
                                 before Postfix's 250, infected mail refused

    The peer runs in a scratch directory from the templates in bench/server/peer/ (@PEER@
    and @PORT@ filled in), clamd with only the test signatures our engine ships (taken from
    a root made by vtprovision --install), and mail for bob@example.com goes to a local user
    bob made for the run (and removed after it) whose home is in the scratch directory.

    Workloads (--workloads):
      small  --mails small text mails (default 1500)
      mix    --mix-mails mails (default 200): 70 % small text mails, 25 % with one attachment
             of 100 KB to 2 MB, 5 % with one of 5 to 20 MB; the attachments are PDF, DOCX and
             ZIP files made here (text compressed as those formats do, and image data), each
             unique so that no scan result is reused from a cache

    Each is sent from --clients SMTP clients at once (default 10), each on one connection
    sending its next mail as soon as the last is accepted (closed loop). Printed per round
    and server: mails per second (first MAIL FROM to last delivery), CPU time per mail of
    the server's processes (nserver and its tasks, and the engine; Postfix's master and its
    services, and clamd and clamav-milter), and the time from the 250 after a mail's data to
    the mail in the mailbox, median and 99th percentile. Our mailbox is bob's mail database,
    whose clock counts hundredths of a second; Postfix's is the mail's file in Maildir/new.

    Then, unless --loads is empty, the open loop: the two scanning servers get small mails at
    a fixed rate for --open-seconds (default 8), at each percentage in --loads (default
    50,80) of the capacity the closed loop of the small workload measured for that server in
    this run, from up to --open-clients connections (default 20) so that no mail waits for a
    sender; printed: the rate offered and achieved, how late the sending fell behind its
    schedule at worst, and the time from the 250 to the mailbox, median and 99th percentile.

    At the end the medians over the rounds, and the ratios of ours to the peer.

    The machine's other work shows in absolute figures; compare within one run. Needs root
    (Postfix and the user bob). Skips, saying so, where Postfix, clamd or clamav-milter is
    not installed: scripts/setup-bench-deps installs them.

FILES
    bench/server/peer/{main.cf,master.cf,clamd.conf,clamav-milter.conf}
    <build>/bin/{vtprovision,nserver,nsmtp,nrouter,nsf,winreg,vantrel}
    scratch directories in the temporary directory, removed at the end unless --keep
"""
import argparse
import io
import os
import pwd
import random
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import zipfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "platform", "provision"))
sys.path.insert(0, HERE)
import demo_machine  # noqa: E402
from demo_machine import wait_for  # noqa: E402
import smtp_memory_bench as shapes  # noqa: E402
import smtp_throughput_bench as bench  # noqa: E402

KB = 1024
MB = 1024 * 1024
PEER_PROGRAMS = ("/usr/sbin/postfix", "/usr/sbin/postconf", "/usr/sbin/clamd",
                 "/usr/sbin/clamav-milter")
PEER_USER = "bob"


def run(*command):
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError("%s: %s" % (" ".join(command),
                                       (result.stderr or result.stdout).strip()))
    return result.stdout


class PeerSite:
    """The peer's scratch directory, made once for the run: Postfix's configuration and
    queue, clamd's signatures, bob's home; and the user bob, made when missing."""

    def __init__(self, build, keep):
        self.keep = keep
        self.dir = tempfile.mkdtemp(prefix="vantrel-peer.")
        os.chmod(self.dir, 0o755)
        self.port = demo_machine.free_port()
        self.etc = os.path.join(self.dir, "postfix", "etc")
        self.maildir = os.path.join(self.dir, "home", PEER_USER, "Maildir")
        self.made_user = False
        try:
            self._make(build)
        except BaseException:
            self.remove()
            raise

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def _make(self, build):
        for sub in ("postfix/etc", "postfix/spool", "postfix/data", "clamav/db", "clamav/run",
                    "clamav/log", "clamav/tmp", "home"):
            os.makedirs(self.path(sub), exist_ok=True)
        for name, target in (("main.cf", "postfix/etc/main.cf"),
                             ("master.cf", "postfix/etc/master.cf"),
                             ("clamd.conf", "clamav/clamd.conf"),
                             ("clamav-milter.conf", "clamav/clamav-milter.conf")):
            with open(os.path.join(HERE, "peer", name)) as f:
                text = f.read().replace("@PEER@", self.dir).replace("@PORT@", str(self.port))
            with open(self.path(target), "w") as f:
                f.write(text)
        with open(self.path("postfix/etc/aliases"), "w") as f:
            f.write("postmaster: root\n")
        run("postalias", self.path("postfix/etc/aliases"))
        # clamd loads the signatures our engine ships, from a root made as an install makes it.
        scratch = tempfile.mkdtemp(prefix="vantrel-peer-root.")
        try:
            demo_machine.Machine(build, scratch).tool("vtprovision", "--force", "--install",
                                                      build, scratch)
            signatures = os.path.join(scratch, "vantrel", "signatures")
            for name in os.listdir(signatures):
                if name.endswith((".ndb", ".hdb", ".ldb", ".cvd", ".cld")):
                    shutil.copy(os.path.join(signatures, name), self.path("clamav", "db"))
        finally:
            shutil.rmtree(scratch, ignore_errors=True)
        clamav = pwd.getpwnam("clamav")
        for sub in ("clamav/db", "clamav/run", "clamav/log", "clamav/tmp"):
            for base, dirs, files in os.walk(self.path(sub)):
                for name in [base] + [os.path.join(base, n) for n in dirs + files]:
                    os.chown(name, clamav.pw_uid, clamav.pw_gid)
        home = os.path.dirname(self.maildir)
        try:
            user = pwd.getpwnam(PEER_USER)
        except KeyError:
            run("useradd", "-M", "-d", home, "-s", "/usr/sbin/nologin", PEER_USER)
            self.made_user = True
            user = pwd.getpwnam(PEER_USER)
        else:
            # A user bob left by an earlier run that ended abruptly may be taken over; any
            # other is somebody's own.
            if not re.search(r"/vantrel-peer\.[^/]+/home/%s$" % PEER_USER, user.pw_dir):
                raise RuntimeError("a user %s exists already (home %s); the peer delivers "
                                   "to a user of that name" % (PEER_USER, user.pw_dir))
            run("usermod", "-d", home, PEER_USER)
            self.made_user = True
            user = pwd.getpwnam(PEER_USER)
        self.uid, self.gid = user.pw_uid, user.pw_gid
        postfix = pwd.getpwnam("postfix")
        os.chown(self.path("postfix", "data"), postfix.pw_uid, postfix.pw_gid)
        os.makedirs(home, exist_ok=True)
        os.chown(home, self.uid, self.gid)
        self.empty_mailbox()
        run("postfix", "-c", self.etc, "check")

    def empty_mailbox(self):
        shutil.rmtree(self.maildir, ignore_errors=True)
        for sub in ("", "new", "cur", "tmp"):
            os.makedirs(os.path.join(self.maildir, sub), exist_ok=True)
            os.chown(os.path.join(self.maildir, sub), self.uid, self.gid)

    def remove(self):
        if self.made_user:
            subprocess.run(["userdel", PEER_USER], capture_output=True)
            self.made_user = False
        if self.keep:
            print("peer directory:", self.dir)
        else:
            shutil.rmtree(self.dir, ignore_errors=True)


class PeerServer:
    """Postfix of the site from start() to stop(), with clamav-milter and clamd when milter
    is set; the mailbox emptied at each start. Driven as bench.OurServer is."""

    def __init__(self, site, milter):
        self.site = site
        self.milter = milter
        self.name = "Postfix + clamav-milter" if milter else "Postfix, no milter"
        self.port = site.port
        self.clamd = None
        self.clamav_milter = None

    def start(self):
        site = self.site
        site.empty_mailbox()
        socket = "unix:%s" % site.path("clamav", "run", "clamav-milter.ctl")
        run("postconf", "-c", site.etc, "-e", "smtpd_milters=%s" % (socket if self.milter else ""))
        if self.milter:
            # Started for each round, so that no scan result is reused from clamd's cache.
            self.clamd = subprocess.Popen(
                ["clamd", "-c", site.path("clamav", "clamd.conf")],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            wait_for(lambda: os.path.exists(site.path("clamav", "run", "clamd.ctl")), 120,
                     "clamd's socket")
            self.clamav_milter = subprocess.Popen(
                ["clamav-milter", "-c", site.path("clamav", "clamav-milter.conf")],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            wait_for(lambda: os.path.exists(site.path("clamav", "run", "clamav-milter.ctl")),
                     60, "clamav-milter's socket")
        try:
            run("postfix", "-c", site.etc, "start")
        except RuntimeError as error:
            raise RuntimeError("%s (see %s)" % (error, site.path("postfix", "maillog")))
        wait_for(lambda: demo_machine.port_open(self.port), 30, "Postfix's SMTP port")

    def master_pid(self):
        try:
            with open(self.site.path("postfix", "spool", "pid", "master.pid")) as f:
                return int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            return None

    def stop(self):
        master = self.master_pid()
        subprocess.run(["postfix", "-c", self.site.etc, "stop"], capture_output=True)
        if master:
            wait_for(lambda: not os.path.exists("/proc/%d" % master), 30, "Postfix's end")
        for process in (self.clamav_milter, self.clamd):
            if process:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(30)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        self.clamav_milter = self.clamd = None
        for name in ("clamd.ctl", "clamav-milter.ctl"):
            path = self.site.path("clamav", "run", name)
            if os.path.exists(path):
                os.remove(path)

    def delivered_count(self):
        return len(os.listdir(os.path.join(self.site.maildir, "new")))

    def delivered(self):
        """{subject: time the file was written} of the mails in Maildir/new."""
        found = {}
        new = os.path.join(self.site.maildir, "new")
        for name in os.listdir(new):
            path = os.path.join(new, name)
            with open(path, "rb") as f:
                head = f.read(16 * KB)
            match = re.search(rb"^Subject: (.*?)\r?$", head.split(b"\n\n", 1)[0], re.M)
            if match:
                found[match.group(1).decode(errors="replace")] = os.stat(path).st_mtime
        return found

    def cpu_seconds(self):
        pids = [p.pid for p in (self.clamd, self.clamav_milter) if p]
        master = self.master_pid()
        if master:
            pids.append(master)
        return bench.tree_cpu_seconds(pids)


# The mixed workload -------------------------------------------------------------------------

def text_bytes(rng, pool, size):
    return b"".join(shapes.text_blocks(rng, pool, size))


def jpeg_bytes(size):
    """Image data as a JPEG file holds it: a header, then what compression leaves (random)."""
    head = b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00"
    return head + os.urandom(max(0, size - len(head) - 2)) + b"\xff\xd9"


def make_pdf(rng, pool, size, serial):
    """A one-page PDF of about size bytes: a compressed text stream and a JPEG image."""
    text = text_bytes(rng, pool, size // 3)
    content = b"BT /F1 10 Tf 72 720 Td 12 TL\n" + b"".join(
        b"(" + line.replace(b"(", b"").replace(b")", b"") + b") '\n"
        for line in (b"Document %d" % serial,) + tuple(text.split(b"\r\n"))) + b"ET\n"
    stream = zlib.compress(content, 6)
    image = jpeg_bytes(max(1024, size - len(stream) - 1024))
    objects = [
        b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R"
        b" /Resources << /Font << /F1 5 0 R >> /XObject << /Im1 6 0 R >> >> >>",
        b"<< /Length %d /Filter /FlateDecode >>\nstream\n" % len(stream) + stream +
        b"\nendstream",
        b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
        b"<< /Type /XObject /Subtype /Image /Width 1600 /Height 1200 /ColorSpace /DeviceRGB"
        b" /BitsPerComponent 8 /Filter /DCTDecode /Length %d >>\nstream\n" % len(image) +
        image + b"\nendstream",
    ]
    out = io.BytesIO()
    out.write(b"%PDF-1.7\n%\xe2\xe3\xcf\xd3\n")
    offsets = []
    for number, body in enumerate(objects, 1):
        offsets.append(out.tell())
        out.write(b"%d 0 obj\n" % number + body + b"\nendobj\n")
    xref = out.tell()
    out.write(b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1))
    for offset in offsets:
        out.write(b"%010d 00000 n \n" % offset)
    out.write(b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n"
              % (len(objects) + 1, xref))
    return out.getvalue()


def make_docx(rng, pool, size, serial):
    """A word-processing document (DOCX) of about size bytes: its XML parts, compressed
    paragraphs of text and a JPEG picture stored."""
    text = text_bytes(rng, pool, size // 3).decode()
    paragraphs = "".join("<w:p><w:r><w:t>%s</w:t></w:r></w:p>" % line
                         for line in ["Document %d" % serial] + text.split("\r\n") if line)
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("[Content_Types].xml",
                   '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>'
                   '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
                   '<Default Extension="rels" ContentType="application/vnd.openxmlformats-'
                   'package.relationships+xml"/><Default Extension="xml" ContentType='
                   '"application/xml"/><Default Extension="jpeg" ContentType="image/jpeg"/>'
                   '<Override PartName="/word/document.xml" ContentType="application/'
                   'vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml"/>'
                   '</Types>')
        z.writestr("_rels/.rels",
                   '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>'
                   '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/'
                   'relationships"><Relationship Id="rId1" Type="http://schemas.'
                   'openxmlformats.org/officeDocument/2006/relationships/officeDocument" '
                   'Target="word/document.xml"/></Relationships>')
        z.writestr("word/_rels/document.xml.rels",
                   '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>'
                   '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/'
                   'relationships"><Relationship Id="rId5" Type="http://schemas.'
                   'openxmlformats.org/officeDocument/2006/relationships/image" '
                   'Target="media/image1.jpeg"/></Relationships>')
        z.writestr("word/document.xml",
                   '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>'
                   '<w:document xmlns:w="http://schemas.openxmlformats.org/wordprocessingml/'
                   '2006/main"><w:body>%s</w:body></w:document>' % paragraphs)
        written = out.tell()
        z.writestr(zipfile.ZipInfo("word/media/image1.jpeg"),
                   jpeg_bytes(max(1024, size - written - 2048)), zipfile.ZIP_STORED)
    return out.getvalue()


def make_zip(rng, pool, size, serial):
    """A ZIP archive of about size bytes: a report and a table (compressed text) and two
    photos (stored)."""
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("report-%d.txt" % serial, b"Report %d\r\n" % serial +
                   text_bytes(rng, pool, size // 4))
        z.writestr("figures-%d.csv" % serial, "".join(
            "%d,%d,%.2f,%s\r\n" % (serial, i, rng.random() * 1000, rng.choice(shapes.WORDS))
            for i in range(max(10, size // 400))))
        photo = max(512, (size - out.tell()) // 2 - 1024)
        for name in ("photo-1.jpg", "photo-2.jpg"):
            z.writestr(zipfile.ZipInfo(name), jpeg_bytes(photo), zipfile.ZIP_STORED)
    return out.getvalue()


ATTACHMENT_KINDS = (
    ("application/pdf", "pdf", make_pdf),
    ("application/vnd.openxmlformats-officedocument.wordprocessingml.document", "docx",
     make_docx),
    ("application/zip", "zip", make_zip),
)


def write_mix(directory, count, seed=1):
    """The mails of the mixed workload in directory, in sending order: [(subject, path)]."""
    rng = random.Random(seed)
    pool = shapes.text_pool(rng)
    medium = round(count * 0.25)
    large = round(count * 0.05)
    sizes = ([None] * (count - medium - large) +
             [rng.randint(100 * KB, 2 * MB) for _ in range(medium)] +
             [rng.randint(5 * MB, 20 * MB) for _ in range(large)])
    rng.shuffle(sizes)
    mails = []
    for serial, size in enumerate(sizes):
        subject = "mix %d" % serial
        note = text_bytes(rng, pool, rng.randint(300, 3000)) + b"\r\n"
        if size is None:
            parts = [shapes.part("text/plain; charset=us-ascii", [note], encoding="7bit")]
        else:
            content_type, extension, make = ATTACHMENT_KINDS[serial % len(ATTACHMENT_KINDS)]
            data = make(rng, pool, size, serial)
            parts = [shapes.part("text/plain; charset=us-ascii", [note], encoding="7bit"),
                     shapes.part(content_type, [data], "document-%d.%s" % (serial, extension))]
        path = os.path.join(directory, "%04d.eml" % serial)
        with open(path, "wb") as f:
            shapes.write_mail(f, subject, parts)
        mails.append((subject, path))
    return mails


def mix_message(mails):
    paths = dict(mails)
    return lambda subject: shapes.file_blocks(paths[subject])(subject)


# Running it ---------------------------------------------------------------------------------

EICAR = (b"X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*")


def check_peer_scans(server):
    """The peer with the milter must refuse a mail with the test virus, as set up."""
    refused = {}
    bench.send_mails(server.port, ["virus check"], {}, lambda subject: [
        b"From: alice@example.com\r\nTo: bob@example.com\r\nSubject: %s\r\n\r\n%s\r\n"
        % (subject.encode(), EICAR)], refused)
    if "virus check" not in refused:
        raise RuntimeError("the peer let the test virus through: its scanning is not set up")


def open_loop(server, subjects, rate, connections):
    """deliver() of small mails sent at a fixed rate: mail i is due i / rate seconds after
    the start, sent by whichever of the connections is free. Returns (Figures, the rate the
    mails were sent at, the latest a mail was sent after it was due in ms)."""
    lock = threading.Lock()
    state = {"next": 0, "late": 0.0, "last": 0.0}
    start = time.time() + 0.2

    def due_subjects():
        while True:
            with lock:
                index = state["next"]
                state["next"] += 1
            if index >= len(subjects):
                return
            delay = start + index / rate - time.time()
            if delay > 0:
                time.sleep(delay)
            with lock:
                state["late"] = max(state["late"], -delay)
                state["last"] = max(state["last"], time.time())
            yield subjects[index]

    figures = bench.deliver(server, [due_subjects() for _ in range(connections)])
    sent_rate = (len(subjects) - 1) / max(1e-3, state["last"] - start)
    return figures, sent_rate, state["late"] * 1000


def median_of(rows, field):
    return statistics.median(getattr(f, field) for f in rows)


def latencies(f):
    return "%4.0f / %4.0f ms, MAIL FROM to mailbox %4.0f / %4.0f ms (median / p99)" % (
        f.median_ms, f.p99_ms, f.whole_median_ms, f.whole_p99_ms)


def summary(rows):
    """The figures of one round, or the medians of several."""
    f = bench.Figures(*(median_of(rows, field) for field in bench.Figures._fields[:-1]), "")
    return "%5.0f mails/s %6.2f ms CPU a mail; 250 to mailbox %s" % (f.rate, f.cpu_ms,
                                                                   latencies(f))


def main():
    parser = argparse.ArgumentParser(
        description="Our server (with and without extensions) against Postfix (with and "
                    "without clamav-milter and clamd) on the same workloads, alternating; "
                    "see the module's description.")
    parser.add_argument("--build", default=os.environ.get("VT_BUILD_DIR", "build"))
    parser.add_argument("--workloads", default="small,mix", help="small, mix or both")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--mails", type=int, default=1500, help="mails of the small workload")
    parser.add_argument("--mix-mails", type=int, default=200,
                        help="mails of the mixed workload")
    parser.add_argument("--clients", type=int, default=10)
    parser.add_argument("--loads", default="50,80",
                        help="open-loop rates, in percent of each scanning server's capacity;"
                             " empty: no open loop")
    parser.add_argument("--open-seconds", type=float, default=8)
    parser.add_argument("--open-clients", type=int, default=20)
    parser.add_argument("--hooks", default="vtnotes,rights")
    parser.add_argument("--spool-in-memory", action="store_true",
                        help="our spool and the engine's temporary files on tmpfs")
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args()
    workloads = [w for w in args.workloads.split(",") if w]
    if not workloads or any(w not in ("small", "mix") for w in workloads):
        parser.error("--workloads: small, mix or both")
    loads = [int(p) for p in args.loads.split(",") if p]
    if loads and "small" not in workloads:
        parser.error("the open loop's rates come from the small workload's capacity")
    missing = [p for p in PEER_PROGRAMS if not os.path.exists(p)]
    if missing:
        print("peer_bench: skipped: %s not installed (scripts/setup-bench-deps installs "
              "Postfix, clamd and clamav-milter)" % ", ".join(missing))
        return 0
    if os.geteuid() != 0:
        print("peer_bench: needs root (it runs Postfix and makes the user %s)" % PEER_USER,
              file=sys.stderr)
        return 1

    work = tempfile.mkdtemp(prefix="vantrel-peer-bench.")
    site = None
    try:
        site = PeerSite(args.build, args.keep)
        servers = [bench.OurServer(args.build, "", keep=args.keep),
                   bench.OurServer(args.build, args.hooks, args.spool_in_memory, args.keep),
                   PeerServer(site, milter=False),
                   PeerServer(site, milter=True)]
        ours, peer = servers[1], servers[3]
        mix = []
        if "mix" in workloads:
            mix = write_mix(work, args.mix_mails)
            print("mixed workload: %d mails, %.0f MB" % (
                len(mix), sum(os.path.getsize(p) for _, p in mix) / MB), flush=True)
        figures = {(w, s.name): [] for w in workloads for s in servers}
        checked = False
        for round_number in range(args.rounds):
            for workload in workloads:
                for server in servers:
                    try:
                        server.start()
                        if server is peer and not checked:
                            check_peer_scans(server)
                            checked = True
                        bench.warm_up(server, "%d" % round_number)
                        if workload == "small":
                            f = bench.closed_loop(server, ["small %d" % i
                                                           for i in range(args.mails)],
                                                  args.clients)
                        else:
                            f = bench.closed_loop(server, [s for s, _ in mix], args.clients,
                                                  mix_message(mix))
                    finally:
                        server.stop()
                    figures[(workload, server.name)].append(f)
                    print("round %d, %-5s %-26s %s%s" % (
                        round_number + 1, workload, server.name + ":", summary([f]),
                        "; %d refused (%s)" % (f.refused, f.refusal) if f.refused else ""),
                        flush=True)

        for load in loads:
            for server in (ours, peer):
                rate = median_of(figures[("small", server.name)], "rate") * load / 100.0
                count = max(10, int(rate * args.open_seconds))
                try:
                    server.start()
                    bench.warm_up(server, "open %d" % load)
                    f, sent, late = open_loop(server, ["open %d" % i for i in range(count)], rate,
                                        args.open_clients)
                finally:
                    server.stop()
                print("open loop %d %%, %-26s offered %5.0f mails/s, sent %5.0f (%4.0f ms late"
                      " at worst); 250 to mailbox %s" % (load, server.name + ":", rate, sent,
                                                         late, latencies(f)), flush=True)
    finally:
        if site:
            site.remove()
        shutil.rmtree(work, ignore_errors=True)

    print()
    print("Medians of %d round(s) (compare within this run: the machine's other work shows in"
          " the absolute figures)" % args.rounds)
    for workload in workloads:
        for server in servers:
            print("  %-5s %-26s %s" % (workload, server.name + ":",
                                       summary(figures[(workload, server.name)])))
        ours_rows, peer_rows = figures[(workload, ours.name)], figures[(workload, peer.name)]
        print("  %-5s scanning, ours / the peer: throughput %.2fx, CPU a mail %.2fx"
              % (workload, median_of(ours_rows, "rate") / median_of(peer_rows, "rate"),
                 median_of(ours_rows, "cpu_ms") / median_of(peer_rows, "cpu_ms")))
    return 0


if __name__ == "__main__":
    sys.exit(main())
