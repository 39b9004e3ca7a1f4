#!/usr/bin/env python3
"""local_user_job - the real-time scanning job against another local user of the server.

SYNOPSIS
    local_user_job.py [--build DIR] [--root DIR] [--check]

DESCRIPTION
    Provisions a machine root, loads vtnotes into the router, starts the engine and the
    server as root, and lets the unprivileged user "nobody" attack the named objects the
    router and the engine coordinate through, while infected mail arrives through SMTP
    (HoldMailWhenNotScanned=1):

        planted names     blocks and links planted at every name where objects used to be
                          made in /dev/shm (for the next jobs' events and mutexes, the
                          links aimed at a file of root's outside the root)
        private objects   the user looks for the server's objects in /dev/shm: it can
                          neither list, create, open nor link anything there
        taken directory   the objects' directory vanished while the server was down (as at
                          a reboot) and the user made one of that name, with links in it,
                          before the server came up: the server makes another of its own
        full /dev/shm     the user fills /dev/shm: the router does not die, the mail is held
                          and the administrators told; once there is room the mail is
                          scanned and delivered cleaned
        early signal      the job's event set over and over before the engine answered (by
                          the server's own account: nobody else can reach it): no verdict,
                          the mail is held until the engine's answer comes
        modes             after all that mail: nothing below the root is open to other
                          users, and the user can read none of it

    In every case the infected attachment never reaches the recipient, and no file outside
    the root is written. The job runs in a mount namespace of its own with a small tmpfs as
    /dev/shm, so the machine's /dev/shm is never filled; where that cannot be mounted the
    full case is skipped, and without root, setpriv or the user "nobody" the whole job is
    skipped, each with a message.

    With --check the outcomes are compared with what each case must give and the exit
    status says whether all held (the integration test runs it so).

FILES
    <build>/bin/{vtprovision,vantrel,nserver,nrouter,nsmtp,nsf,winreg}, <build>/lib/*.so
    <root>/.objects-location   names the server's directory of objects in /dev/shm
"""
import json
import os
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, here)
import faults_job  # noqa: E402  (it puts demo_machine and main_job on the path)
import demo_machine  # noqa: E402
import main_job  # noqa: E402

VIRUS_TEXT = main_job.VIRUS_TEXT
SHM = "/dev/shm"
SHM_SIZE = "4m"
# The first note IDs a new mail box hands out.
FIRST_NOTE_ID = 0x8F6
PLANTED_JOBS = 24
# Exit status of the namespace wrapper when no private /dev/shm could be mounted.
NO_PRIVATE_SHM = 86

# What the unprivileged user runs: python code with its arguments on the command line.
ATTACKER = r"""
import errno, json, os, sys
what = sys.argv[1]
if what == "plant":
    # Files open to all and links to the victim where blocks were made before.
    victim, names = sys.argv[2], sys.argv[3:]
    planted = 0
    for i, name in enumerate(names):
        path = os.path.join("/dev/shm", name)
        try:
            if i % 2:
                os.symlink(victim, path)
            else:
                fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o666)
                os.write(fd, b"\xff" * 4096)
                os.close(fd)
                os.chmod(path, 0o666)
            planted += 1
        except OSError:
            pass
    print(json.dumps({"planted": planted}))
elif what == "probe":
    reached = []
    for name in os.listdir("/dev/shm"):
        directory = os.path.join("/dev/shm", name)
        if not name.startswith("vt-") or not os.path.isdir(directory):
            continue
        for attempt in ("list", "create", "link", "open"):
            try:
                if attempt == "list":
                    os.listdir(directory)
                elif attempt == "create":
                    os.close(os.open(os.path.join(directory, "0000000000000000"),
                                     os.O_RDWR | os.O_CREAT, 0o666))
                elif attempt == "link":
                    os.symlink("/etc/passwd", os.path.join(directory, "1111111111111111"))
                else:
                    os.close(os.open(os.path.join(directory, sys.argv[2]), os.O_RDWR))
                reached.append(attempt + " " + name)
            except OSError as e:
                if e.errno not in (errno.EACCES, errno.EPERM):
                    reached.append(attempt + " " + name + ": " + e.strerror)
    print(json.dumps({"reached": reached}))
elif what == "take":
    # Makes the directory of that name, open to all, with links to the victim in it.
    directory, victim, names = sys.argv[2], sys.argv[3], sys.argv[4:]
    os.mkdir(directory)
    os.chmod(directory, 0o777)
    for name in names:
        os.symlink(victim, os.path.join(directory, name))
    print(json.dumps({"taken": directory}))
elif what == "read":
    # Everything under the root the user can open, list or find.
    seen = []
    for path in sys.argv[2:]:
        try:
            if os.path.isdir(path):
                os.listdir(path)
            else:
                open(path, "rb").close()
            seen.append(path)
        except OSError:
            pass
    print(json.dumps({"seen": seen}))
elif what == "fill":
    with open("/dev/shm/filler", "wb") as f:
        try:
            while True:
                f.write(b"x" * 65536)
                f.flush()
        except OSError:
            pass
    print(json.dumps({"filled": os.path.getsize("/dev/shm/filler")}))
elif what == "free":
    os.unlink("/dev/shm/filler")
    print(json.dumps({"freed": True}))
"""


def fnv1a(text):
    value = 1469598103934665603
    for byte in text.encode():
        value = ((value ^ byte) * 1099511628211) & 0xFFFFFFFFFFFFFFFF
    return "%016x" % value


def job_objects(count):
    """The names of the events and mutexes of the next jobs of mail.box."""
    names = []
    for i in range(count):
        job = "%x" % (FIRST_NOTE_ID + 4 * i)
        names += [job + "x", job + "a90z"]
    return names


class Machine(faults_job.Machine):
    def __init__(self, build, root, prefix, private_shm):
        super().__init__(build, root, [])
        self.attacker_prefix = prefix
        self.private_shm = private_shm
        self.victim_dir = tempfile.mkdtemp(prefix="vantrel-victim.")
        self.victim = os.path.join(self.victim_dir, "victim")
        self.victim_text = b"root's own file\n" * 575  # 9,200 bytes
        with open(self.victim, "wb") as f:
            f.write(self.victim_text)
        os.chmod(self.victim_dir, 0o755)

    def provision(self):
        super().provision()
        self.tool("winreg", "set", demo_machine.PRODUCT_KEY, "HoldMailWhenNotScanned", "1")

    def attack(self, *args):
        result = subprocess.run(self.attacker_prefix + [sys.executable, "-c", ATTACKER, *args],
                                capture_output=True, text=True)
        if result.returncode != 0:
            raise RuntimeError("the attack %s failed: %s" % (args[0], result.stderr.strip()))
        return json.loads(result.stdout)

    def objects_directory(self):
        with open(os.path.join(self.root, ".objects-location")) as f:
            return f.readline().strip()

    def victim_intact(self):
        with open(self.victim, "rb") as f:
            return f.read() == self.victim_text

    def router_pids(self):
        return demo_machine.router_pids(self.root)


def caught(machine, subject, seconds=60):
    """The mail left the router boxes and reached bob without its infected attachment."""
    main_job.settle(machine, subject, seconds)
    document = faults_job.delivered(machine, subject)
    body = main_job.body_text(document) if document else ""
    return document is not None and VIRUS_TEXT.decode() not in body


def send_infected(machine, subject):
    main_job.send(machine.port, subject, "Open the attachment.", ("a.exe", VIRUS_TEXT))


def case_planted_names(machine):
    # Where blocks used to be made: /dev/shm/vt-<hash of the root>-<hash of the name>.
    prefix = "vt-%s-" % fnv1a(machine.root)
    names = [prefix + fnv1a(n) for n in job_objects(PLANTED_JOBS) +
             ["gMutex", "MailBoxMutex", "UpdateEvent", "MyMutex", "LogFile"]]
    planted = machine.attack("plant", machine.victim, *names)["planted"]
    machine.start_engine()
    machine.start_server()
    subject = "case planted names"
    send_infected(machine, subject)
    ok = caught(machine, subject) and planted == len(names) and machine.victim_intact()
    return faults_job.row("planted names", ok,
                          "planted %d, infected mail caught: %s, victim intact: %s"
                          % (planted, caught(machine, subject, 1), machine.victim_intact()))


def case_private_objects(machine):
    directory = machine.objects_directory()
    reached = machine.attack("probe", fnv1a("gMutex"))["reached"]
    mode = os.stat(directory).st_mode & 0o7777
    subject = "case private objects"
    send_infected(machine, subject)
    ok = not reached and mode == 0o700 and caught(machine, subject)
    return faults_job.row("private objects", ok,
                          "directory mode %o, reached: %s, infected mail caught: %s"
                          % (mode, reached or "nothing", caught(machine, subject, 1)))


def case_taken_directory(machine):
    machine.stop_server()
    machine.stop_engine()
    before = machine.objects_directory()
    shutil.rmtree(before, ignore_errors=True)  # gone, as at a reboot
    names = [fnv1a(n) for n in job_objects(PLANTED_JOBS) +
             ["gMutex", "MailBoxMutex", "UpdateEvent", "MyMutex", "LogFile"]]
    machine.attack("take", before, machine.victim, *names)
    machine.start_engine()
    machine.start_server()
    subject = "case taken directory"
    send_infected(machine, subject)
    after = machine.objects_directory()
    links_untouched = all(os.path.islink(os.path.join(before, n)) for n in names)
    ok = (caught(machine, subject) and after != before and links_untouched
          and machine.victim_intact() and os.stat(after).st_uid == os.geteuid())
    return faults_job.row("taken directory", ok,
                          "another directory used: %s, infected mail caught: %s, victim "
                          "intact: %s" % (after != before, caught(machine, subject, 1),
                                          machine.victim_intact()))


def case_early_signal(machine):
    """The job's event set before the engine answered, again and again (only the server's
    own account can still reach it): no verdict, the mail is held; once the engine answers
    it is scanned and delivered cleaned."""
    subject = "case early signal"
    helper = os.path.join(machine.build, "tests", "win32_helper")
    machine.engine.send_signal(signal.SIGSTOP)  # it holds its lock: the engine "runs"
    try:
        send_infected(machine, subject)
        document = None
        end = time.time() + 20
        while document is None and time.time() < end:
            document = main_job.find_by_subject(machine, "mail.box", subject)
            time.sleep(0.1)
        event = ("%x" % int(document["noteid"])) + "x" if document else "none"
        for _ in range(24):
            subprocess.run([helper, machine.root, "set-event", event], env=machine.env,
                           capture_output=True)
            time.sleep(0.25)
        early = faults_job.delivered(machine, subject) is not None
    finally:
        machine.engine.send_signal(signal.SIGCONT)
    scanned = caught(machine, subject)
    ok = document is not None and not early and scanned
    return faults_job.row("early signal", ok, "delivered before the answer: %s, delivered "
                          "scanned: %s" % (early, scanned))


def case_full_shm(machine):
    routers = machine.router_pids()
    filled = machine.attack("fill")["filled"]
    subject = "case full shm"
    try:
        send_infected(machine, subject)
        time.sleep(6)  # several of the router's tries
        waiting = main_job.find_by_subject(machine, "mail.box", subject) is not None
        early = faults_job.delivered(machine, subject) is not None
        warned = machine.admin_warned("Vantrel Holding Mail")
        same_router = machine.router_pids() == routers and bool(routers)
    finally:
        machine.attack("free")
    scanned = caught(machine, subject)
    ok = filled > 0 and waiting and not early and warned and same_router and scanned
    return faults_job.row("full /dev/shm", ok,
                          "router lived on: %s, held: %s, administrators told: %s, delivered "
                          "scanned: %s" % (same_router, waiting and not early, warned, scanned))


def case_modes(machine):
    """After mail has passed: nothing below the root is open to other users, and the user
    can read none of the mail boxes, databases, settings, spool or logs."""
    open_to_others = []
    paths = []
    for directory, subdirs, files in os.walk(machine.root):
        for path in [directory] + [os.path.join(directory, n) for n in subdirs + files]:
            info = os.lstat(path)
            if stat.S_ISLNK(info.st_mode):
                continue
            paths.append(path)
            if info.st_mode & 0o007:
                open_to_others.append("%s %o" % (os.path.relpath(path, machine.root),
                                                 info.st_mode & 0o777))
    seen = machine.attack("read", *paths)["seen"]
    ok = not open_to_others and not seen and len(paths) > 20
    return faults_job.row("modes", ok, "%d paths, open to others: %s, read by the user: %s"
                          % (len(paths), open_to_others[:5] or "none", seen[:5] or "none"))


def run(machine, check):
    rows = []
    try:
        rows.append(case_planted_names(machine))
        rows.append(case_private_objects(machine))
        rows.append(case_taken_directory(machine))
        rows.append(case_early_signal(machine))
        if machine.private_shm:
            rows.append(case_full_shm(machine))
        else:
            print("SKIP the full /dev/shm case: no private /dev/shm could be mounted")
        rows.append(case_modes(machine))
    finally:
        machine.stop_server()
        machine.stop_engine()
        shutil.rmtree(machine.victim_dir, ignore_errors=True)
    print("%-20s %-7s %s" % ("case", "result", "what was seen"))
    print("-" * 100)
    for r in rows:
        print("%-20s %-7s %s" % r[:3])
    return sum(r[3] for r in rows)


def in_private_shm():
    """Runs this job again in a mount namespace of its own with a small tmpfs as /dev/shm;
    None when that cannot be done here."""
    if os.environ.get("VT_PRIVATE_SHM") or shutil.which("unshare") is None:
        return None
    script = ('mount -t tmpfs -o size=%s,mode=1777 tmpfs %s || exit %d; '
              'VT_PRIVATE_SHM=1 exec "$@"' % (SHM_SIZE, SHM, NO_PRIVATE_SHM))
    result = subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c",
                             script, "sh", sys.executable, os.path.abspath(__file__),
                             *sys.argv[1:]])
    return None if result.returncode == NO_PRIVATE_SHM else result.returncode


def main():
    prefix = faults_job.unprivileged_prefix()
    if not prefix:
        print("SKIP: the job needs root, setpriv and the user %r to attack as"
              % faults_job.UNPRIVILEGED_USER)
        return 0
    status = in_private_shm()
    if status is not None:
        return status
    private_shm = os.environ.get("VT_PRIVATE_SHM") == "1"
    return demo_machine.run_job(lambda build, root: Machine(build, root, prefix, private_shm),
                                run, "vantrel-local-user-job.")


if __name__ == "__main__":
    sys.exit(main())
