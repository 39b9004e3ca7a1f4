"""demo_machine - drive a provisioned machine root from a script.

The end-to-end jobs of the extensions (vtnotes/demo/main_job.py, rights/demo/size_job.py)
share this: provision a root from a build tree, name the hook libraries and a free SMTP
port in notes.ini, set product values in the registry, start and stop the engine
(vantrel) and the server (nserver), and read databases back through `nsf --json`; and
their command line and the life of the root (run_job).
"""
import argparse
import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

PRODUCT_KEY = "SOFTWARE\\Veltrane\\Vantrel For Lotus Notes"


class Machine:
    def __init__(self, build, root):
        self.build = os.path.abspath(build)
        self.root = os.path.abspath(root)
        self.env = dict(os.environ, VT_SYSROOT=self.root)
        self.engine = None
        self.server = None
        self.port = free_port()

    def tool(self, name, *args, check=True):
        result = subprocess.run([os.path.join(self.build, "bin", name), *args], env=self.env,
                                capture_output=True, text=True)
        if check and result.returncode != 0:
            raise RuntimeError(f"{name} {' '.join(args)}: {result.stderr.strip()}")
        return result.stdout

    def provision(self, hooks, product_values):
        """A new root with the programs installed, the given hook libraries loaded, the
        SMTP listener on this machine's free port and the given registry values."""
        self.tool("vtprovision", "--force", "--install", self.build, self.root)
        ini = os.path.join(self.root, "domino", "notes.ini")
        with open(ini) as f:
            lines = [l for l in f.read().splitlines()
                     if not l.lower().startswith(("nsf_hooks=", "smtpport="))]
        lines.append("NSF_HOOKS=" + hooks)
        lines.append("SMTPPort=%d" % self.port)
        with open(ini, "w") as f:
            f.write("\n".join(lines) + "\n")
        for name, value in product_values:
            self.tool("winreg", "set", PRODUCT_KEY, name, value)

    def start_engine(self):
        self.engine = subprocess.Popen(
            [os.path.join(self.build, "bin", "vantrel"), "--root", self.root, "--no-system-db"],
            env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        lock = os.path.join(self.root, "vantrel", "maildisp.lck")
        wait_for(lambda: os.path.exists(lock), 20, "the engine's lock file")

    def stop_engine(self):
        if self.engine:
            self.engine.send_signal(signal.SIGCONT)  # a test may have stopped it
            self.engine.send_signal(signal.SIGTERM)
            self.engine.wait(20)
            self.engine = None

    def start_server(self):
        self.server = subprocess.Popen(
            [os.path.join(self.build, "bin", "nserver"), "--root", self.root],
            env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        wait_for(lambda: port_open(self.port), 30, "the SMTP port")

    def stop_server(self):
        if self.server:
            self.server.send_signal(signal.SIGTERM)
            try:
                self.server.wait(40)
            except subprocess.TimeoutExpired:
                self.server.kill()
            self.server = None

    def documents(self, db):
        out = self.tool("nsf", "ls", db, "--json", check=False)
        try:
            return json.loads(out) if out.strip() else []
        except json.JSONDecodeError:
            return []

    def show(self, db, note_id):
        out = self.tool("nsf", "show", db, str(note_id), "--json", check=False)
        try:
            return json.loads(out)
        except json.JSONDecodeError:
            return {}


def run_job(make_machine, run, prefix):
    """The command line of an end-to-end job: [--build DIR] [--root DIR] [--check] [--keep].

    Provisions a root (the one named, else a new temporary directory), calls
    run(machine, check), which returns the number of failures, and removes a temporary root
    afterwards unless --keep asks to keep it or something went wrong there (then the root is
    kept to be looked into, and said so). Returns the exit status: 1 when --check found a
    failure, else 0."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.environ.get("VT_BUILD_DIR", "build"))
    parser.add_argument("--root", help="the machine root to provision (kept afterwards)")
    parser.add_argument("--check", action="store_true",
                        help="compare each case with what it must give; the exit status "
                             "says whether all held")
    parser.add_argument("--keep", action="store_true",
                        help="keep the temporary machine root afterwards")
    args = parser.parse_args()
    root = args.root or tempfile.mkdtemp(prefix=prefix)
    machine = make_machine(args.build, root)
    print("machine root:", root)
    failures = 0
    finished = False
    try:
        machine.provision()
        failures = run(machine, args.check)
        finished = True
    finally:
        if args.root or args.keep or not finished or (args.check and failures):
            print("machine root kept:", root)
        else:
            shutil.rmtree(root, ignore_errors=True)
            print("machine root removed (--keep keeps it)")
    if args.check:
        print("all cases held" if failures == 0 else f"{failures} check(s) went wrong")
        return 1 if failures else 0
    return 0


def engine_pids(root):
    """The pids of the engines running from a root's own programs (one that vtsetup started
    detached, say), found by the program each process runs."""
    root = os.path.abspath(root)
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            program = os.readlink("/proc/%s/exe" % pid)
        except OSError:
            continue
        if program.startswith(root + os.sep) and os.path.basename(program) == "vantrel":
            found.append(int(pid))
    return found


def router_pids(root):
    """The pids of the router tasks of a root, found by their program and by the root in
    their command line or environment."""
    found = set()
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                args = f.read().split(b"\0")
            with open(f"/proc/{pid}/environ", "rb") as f:
                environ = f.read()
        except OSError:
            continue
        if args and args[0].endswith(b"nrouter") and (
                root.encode() in b" ".join(args) or root.encode() in environ):
            found.add(int(pid))
    return found


def stop_engines(root):
    """Stops the engines engine_pids finds: SIGTERM, then SIGKILL after 20 seconds."""
    for pid in engine_pids(root):
        try:
            os.kill(pid, signal.SIGTERM)
        except OSError:
            pass
    try:
        wait_for(lambda: not engine_pids(root), 20, "the engine's end")
    except RuntimeError:
        for pid in engine_pids(root):
            os.kill(pid, signal.SIGKILL)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def port_open(port):
    with socket.socket() as s:
        s.settimeout(0.2)
        return s.connect_ex(("127.0.0.1", port)) == 0


def wait_for(test, seconds, what):
    end = time.time() + seconds
    while time.time() < end:
        if test():
            return True
        time.sleep(0.1)
    raise RuntimeError(f"timed out waiting for {what}")
