#!/usr/bin/env python3
"""setup_job - the configuration console run from event files on provisioned roots.

Each case provisions a new machine root, runs `vtsetup --script FILE` (setup mode, or edit
mode with an argument) and compares what lands in vantrel.ini, the registry and the
console's log, and the message boxes the console reported, with what the case expects.

  setup_job.py [--build DIR] [--keep]
"""
import argparse
import configparser
import os
import shutil
import stat
import subprocess
import sys
import tempfile

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
sys.path.insert(0, os.path.join(SOURCE, "platform", "provision"))
sys.path.insert(0, os.path.join(SOURCE, "platform", "ui"))
import demo_machine  # noqa: E402
from demo_machine import PRODUCT_KEY  # noqa: E402
from window_control import WindowControl, WindowError  # noqa: E402


# How long a console run may take before the case counts as hung.
CONSOLE_SECONDS = 60


class Root:
    def __init__(self, build, path, install=False):
        self.build = os.path.abspath(build)
        self.path = path
        self.env = dict(os.environ, VT_SYSROOT=path, VT_WINDOW="headless")
        self.tool("vtprovision", "--force", *(("--install", self.build) if install else ()), path)

    def tool(self, name, *args, check=True):
        result = subprocess.run([os.path.join(self.build, "bin", name), *args], env=self.env,
                                cwd=self.path, capture_output=True, text=True, timeout=120)
        if check and result.returncode != 0:
            raise RuntimeError(f"{name} {' '.join(args)}: {result.stderr.strip()}")
        return result

    def setup(self, script, *args):
        file = os.path.join(self.path, "events.txt")
        with open(file, "w") as f:
            f.write(script.replace("DATA", os.path.join(self.path, "domino", "data")))
        return subprocess.run([os.path.join(self.build, "bin", "vtsetup"), "--script", file,
                               *args], env=self.env, cwd=self.path, capture_output=True,
                              text=True, timeout=CONSOLE_SECONDS)

    def set_ini(self, key, value):
        path = os.path.join(self.path, "vantrel", "vantrel.ini")
        with open(path, encoding="latin-1") as f:
            lines = f.read().splitlines()
        lines = [l for l in lines if not l.lower().startswith(key.lower() + "=")]
        at = next(i for i, l in enumerate(lines) if l.strip().lower() == "[general]") + 1
        lines.insert(at, key + "=" + value)
        with open(path, "w", encoding="latin-1") as f:
            f.write("\r\n".join(lines) + "\r\n")

    def ini(self, key):
        parser = configparser.ConfigParser(interpolation=None)
        parser.optionxform = str
        parser.read(os.path.join(self.path, "vantrel", "vantrel.ini"))
        return parser.get("General", key, fallback=None)

    def registry(self, name):
        result = self.tool("winreg", "query", PRODUCT_KEY, name, check=False)
        return result.stdout.rstrip("\n") if result.returncode == 0 else None

    def log(self):
        path = os.path.join(self.path, "vantrel", "Reports", "vtsetup.LOG")
        if not os.path.exists(path):
            return ""
        with open(path, encoding="latin-1") as f:
            return f.read()


class Checks:
    def __init__(self):
        self.failures = 0

    def equal(self, what, got, expected):
        if got != expected:
            self.failures += 1
            print(f"  FAILED {what}: {got!r}, expected {expected!r}")

    def true(self, what, condition):
        if not condition:
            self.failures += 1
            print(f"  FAILED {what}")


WIZARD = """\
# the primary domain comes from the server document of names.nsf
select 1011 example.com
click 1001
type 1152 DATA/mail/carol.nsf
click 1
type 1016 Carol.Admin
click 1
"""


def wizard_writes_the_settings(root, checks):
    root.tool("winreg", "set", PRODUCT_KEY, "SizeRestrictionEnabled", "1")
    root.tool("winreg", "set", PRODUCT_KEY, "WTOS_Send_SizeRestriction", "0")
    # The engine program is started once after setup; it leaves a mark to be seen.
    engine = os.path.join(root.path, "vantrel", "vantrel")
    with open(engine, "w") as f:
        f.write("#!/bin/sh\necho started >> \"$(dirname \"$0\")/engine-ran\"\n")
    os.chmod(engine, os.stat(engine).st_mode | stat.S_IEXEC)
    result = root.setup(WIZARD)
    checks.equal("exit status", result.returncode, 0)
    checks.equal("boxes", result.stdout, "")
    checks.equal("PrimaryDomain", root.ini("PrimaryDomain"), "example.com")
    checks.equal("AdminEmailId", root.ini("AdminEmailId"), "Carol.Admin@example.com")
    checks.equal("WarningMailsFromUser", root.ini("WarningMailsFromUser"), "Carol.Admin")
    checks.true("VantrelID kept", bool(root.ini("VantrelID")))
    checks.equal("VTADMINDB", root.registry("VTADMINDB"),
                 os.path.join(root.path, "domino", "data", "mail", "carol.nsf"))
    checks.equal("SizeRestrictionEnabled", root.registry("SizeRestrictionEnabled"), "0")
    checks.equal("WTOS_Send_SizeRestriction", root.registry("WTOS_Send_SizeRestriction"), "1")
    checks.equal("Server", root.registry("Server"), "1")
    checks.equal("ServerBuildNumber", root.registry("ServerBuildNumber"), "1.0.0.0")
    checks.true("VantrelPath", (root.registry("VantrelPath") or "").endswith("vantrel/"))
    checks.true("log names the administrator", "Admin = Carol.Admin@example.com" in root.log())
    checks.true("engine started once",
                os.path.exists(os.path.join(root.path, "vantrel", "engine-ran")))
    # Again with the first-time marker: the engine is not started.
    os.remove(os.path.join(root.path, "vantrel", "engine-ran"))
    open(os.path.join(root.path, "vantrel", "firstime.sem"), "w").close()
    result = root.setup(WIZARD)
    checks.equal("second exit status", result.returncode, 0)
    checks.true("engine not started with firstime.sem",
                not os.path.exists(os.path.join(root.path, "vantrel", "engine-ran")))


def wizard_refuses_bad_entries(root, checks):
    result = root.setup("""\
click 1
answer ok
select 1011 example.com
type 1000 names.nsf
click 1
answer ok
type 1000 mail/alice.box
click 1
answer ok
type 1000 mail/bob.nsf
type 1016 bob smith
click 1
answer ok
type 1016 bob@ex@ample.com
click 1
answer ok
close
""")
    checks.equal("exit status", result.returncode, 0)
    checks.equal("boxes", result.stdout.splitlines(), [
        'message box "Information": Primary Domain Name should not be blank',
        'message box "Warning": names.nsf is Not a Mail Database (3).\\n'
        'Please Select Valid Mail Database',
        'message box "ERROR": mail/alice.box is NOT valid Database File (3).\\n'
        'Please select valid mail Database',
        'message box "Warning": Email ID is not valid. Enter a valid Email ID',
        'message box "Warning": Email ID is not valid. Enter a valid Email ID',
    ])
    checks.equal("AdminEmailId untouched", root.ini("AdminEmailId"), "admin@example.com")
    checks.equal("VTADMINDB untouched", root.registry("VTADMINDB"), "vtquaran.nsf")
    checks.true("log says cancelled", "ERROR!!! User Abnormally terminated" in root.log())


def damaged_directory_is_reported(root, checks):
    with open(os.path.join(root.path, "domino", "data", "names.nsf"), "wb") as f:
        f.write(b"\x00garbage" * 64)
    result = root.setup("answer ok\nclose\n")
    checks.equal("exit status", result.returncode, 0)
    checks.equal("boxes", result.stdout.splitlines(), [
        'message box "ERROR!!!": Unable to Open the Database\\nMore Details see Log Files'])


def list_adds_internet_and_local_administrators(root, checks):
    result = root.setup("""\
click 1002
click 1019
click 1015
type 1014 help-desk@partner.org
click 1015
click 1002
click 1015
type 1000 mail/bob.nsf
click 1
click 1015
# bob again: refused, and the database dialog comes back
click 1002
click 1015
type 1000 mail/bob.nsf
click 1
type 1014 BOB@example.com
click 1015
answer ok
click 2
click 1007
""", "1")
    checks.equal("exit status", result.returncode, 0)
    checks.equal("boxes", result.stdout.splitlines(),
                 ['message box "Warning": BOB@example.com has already selected'])
    checks.equal("AdminEmailId", root.ini("AdminEmailId"),
                 "admin@example.com,help-desk@partner.org,bob@example.com")
    checks.equal("VTADMINDB", root.registry("VTADMINDB"), "vtquaran.nsf, ,mail/bob.nsf")
    checks.equal("WarningMailsFromUser", root.ini("WarningMailsFromUser"), "admin")
    checks.true("no reload failure logged", "OpenEvent Fails" not in root.log())


def bad_script_changes_nothing(root, checks):
    ini = os.path.join(root.path, "vantrel", "vantrel.ini")
    with open(ini, "rb") as f:
        before = f.read()
    result = root.setup("select 1011 example.com\nclick 1\nclick 4711\n")
    checks.equal("exit status", result.returncode, 2)
    checks.true("error names the line", "events.txt:3: unknown control \"4711\"" in result.stderr)
    result = root.setup("click 1002\npush 1015\n", "1")
    checks.equal("exit status", result.returncode, 2)
    checks.true("error names the event", "events.txt:2: unknown event \"push\"" in result.stderr)
    # An event that cannot be carried out closes the console without saving.
    result = root.setup("click 1007\n", "1")
    checks.equal("disabled Save", result.returncode, 2)
    checks.true("error says why", "events.txt:1: control 1007 is not available" in result.stderr)
    with open(ini, "rb") as f:
        checks.true("vantrel.ini unchanged", f.read() == before)


def over_long_entries_are_cut(root, checks):
    domain = "Ab" * 200
    result = root.setup(f"""\
type 1011 {domain}
type 1000 mail/bob.nsf
type 1016 {"b" * 300}
click 1
""")
    checks.equal("exit status", result.returncode, 0)
    checks.equal("boxes", result.stdout, "")
    cut = domain[:259].lower()
    checks.equal("PrimaryDomain cut to 259", root.ini("PrimaryDomain"), cut)
    # The ID is completed with the domain as typed; only PrimaryDomain is lower-cased.
    checks.equal("AdminEmailId cut to 259 before the domain", root.ini("AdminEmailId"),
                 "b" * 259 + "@" + domain[:259])


def edit_mode_needs_a_domain(root, checks):
    ini = os.path.join(root.path, "vantrel", "vantrel.ini")
    with open(ini) as f:
        text = f.read()
    with open(ini, "w") as f:
        f.write(text.replace("PrimaryDomain=example.com", "PrimaryDomain="))
    result = root.setup("answer ok\n", "edit")
    checks.equal("exit status", result.returncode, 0)
    checks.equal("only box", result.stdout.splitlines(),
                 ['message box "ERROR": Domain Name is emtpy'])


def second_instance_exits(root, checks):
    socket_path = os.path.join(root.path, "window.sock")
    env = dict(root.env, VT_WINDOW_CONTROL=socket_path)
    first = subprocess.Popen([os.path.join(root.build, "bin", "vtsetup")], env=env, cwd=root.path,
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    try:
        control = WindowControl(socket_path)
        control.wait("Administrator", 10000)
        second = root.tool("vtsetup", "edit", check=False)
        checks.equal("second exit status", second.returncode, 255)
        checks.true("second says why on standard error",
                    "another vtsetup is running" in second.stderr)
        # The second instance stops before it knows the report directory: its log is the
        # one in the working directory.
        with open(os.path.join(root.path, "Vtsetup.log"), encoding="latin-1") as f:
            checks.true("log says so", "VTSETUP is already running..." in f.read())
        try:
            control.key("Administrator", 1011, "escape")
        except WindowError:
            pass  # the console may end before it answers
        checks.equal("first exit status", first.wait(timeout=30), 0)
        control.close()
    finally:
        if first.poll() is None:
            first.kill()
            first.wait()


REGISTRY_AFTER_SETUP = {"Server": "1", "SizeRestrictionEnabled": "0",
                        "WTOA_Receive_SizeRestriction": "1", "WTOA_Send_SizeRestriction": "1",
                        "WTOR_Receive_SizeRestriction": "1", "WTOS_Receive_SizeRestriction": "1",
                        "WTOS_Send_SizeRestriction": "1"}


def engine_is_started_detached(build, checks):
    """The real engine, a daemon, in the Notes program directory (where the installation
    puts it) and in the install directory: the console starts it, says so, and returns."""
    if not os.path.exists(os.path.join(build, "bin", "vantrel")):
        print("  skipped: this build has no engine")
        return
    for where in ("domino", "vantrel"):
        path = tempfile.mkdtemp(prefix="vt-setup-engine-")
        root = Root(build, path, install=True)
        try:
            if where == "vantrel":
                os.rename(os.path.join(path, "domino", "vantrel"),
                          os.path.join(path, "vantrel", "vantrel"))
            try:
                result = root.setup(WIZARD)
            except subprocess.TimeoutExpired:
                checks.true("console returned with the engine in %s/" % where, False)
                continue
            checks.equal("exit status (%s/)" % where, result.returncode, 0)
            for name, value in REGISTRY_AFTER_SETUP.items():
                checks.equal("%s (%s/)" % (name, where), root.registry(name), value)
            checks.equal("AdminEmailId (%s/)" % where, root.ini("AdminEmailId"),
                         "Carol.Admin@example.com")
            log = root.log()
            checks.true("log: started from %s/" % where,
                        "Starting the engine " + os.path.join(path, where, "vantrel") in log)
            checks.true("log: engine came up (%s/)" % where, "The engine is running" in log)
            running = demo_machine.engine_pids(path)
            checks.equal("one engine runs (%s/)" % where, len(running), 1)
            # Edit mode saves with the engine running: it is left alone.
            result = root.setup("click 1002\nclick 1019\nclick 1015\n"
                                "type 1014 ops@partner.org\nclick 1015\nclick 1007\n", "edit")
            checks.equal("edit exit status (%s/)" % where, result.returncode, 0)
            checks.true("log: engine left alone (%s/)" % where,
                        "The engine runs already" in root.log())
            checks.equal("still one engine (%s/)" % where, demo_machine.engine_pids(path),
                         running)
        finally:
            demo_machine.stop_engines(path)
            if checks.failures == 0:
                shutil.rmtree(path, ignore_errors=True)
            else:
                print("  machine root kept:", path)


def long_list_round_trips(root, checks):
    # Five administrators of long addresses, one more added: each address byte for byte.
    ids = ["admin%d.%s@example.com" % (i, "x" * 220) for i in range(5)]
    root.set_ini("AdminEmailId", ",".join(ids))
    root.tool("winreg", "set", PRODUCT_KEY, "VTADMINDB", "vtquaran.nsf, , , , ")
    added = "help.desk.%s@partner.org" % ("y" * 230)
    result = root.setup(f"""\
click 1002
click 1019
click 1015
type 1014 {added}
click 1015
click 1007
""", "edit")
    checks.equal("exit status", result.returncode, 0)
    checks.equal("boxes", result.stdout, "")
    checks.equal("AdminEmailId", root.ini("AdminEmailId"), ",".join(ids + [added]))
    checks.equal("VTADMINDB", root.registry("VTADMINDB"), "vtquaran.nsf, , , , , ")
    checks.equal("WarningMailsFromUser", root.ini("WarningMailsFromUser"), "admin0." + "x" * 220)


def over_long_list_is_refused(root, checks):
    ids = ["admin%02d.%s@example.com" % (i, "x" * 240) for i in range(32)]
    root.set_ini("AdminEmailId", ",".join(ids))
    root.tool("winreg", "set", PRODUCT_KEY, "AdminCount", "40")
    result = root.setup("""\
click 1002
click 1019
click 1015
type 1014 one-more@partner.org
click 1015
click 1007
answer ok
click 1009
""", "edit")
    checks.equal("exit status", result.returncode, 0)
    checks.true("refused in a box", result.stdout.startswith(
        'message box "ERROR": The list of administrators is too long to be stored'))
    checks.equal("AdminEmailId kept whole", root.ini("AdminEmailId"), ",".join(ids))
    checks.equal("VTADMINDB kept", root.registry("VTADMINDB"), "vtquaran.nsf")


def comma_in_a_database_path_is_refused(root, checks):
    data = os.path.join(root.path, "domino", "data", "mail")
    shutil.copy(os.path.join(data, "bob.nsf"), os.path.join(data, "bob,smith.nsf"))
    result = root.setup("""\
select 1011 example.com
type 1000 mail/bob,smith.nsf
type 1016 bob
click 1
answer ok
close
""")
    checks.equal("wizard exit status", result.returncode, 0)
    result2 = root.setup("""\
click 1002
click 1015
type 1000 mail/bob,smith.nsf
click 1
answer ok
click 2
click 1009
""", "edit")
    checks.equal("edit exit status", result2.returncode, 0)
    text = ("mail/bob,smith.nsf has a comma in its path.\\nThe list of administrator databases "
            "is separated by commas: please select a Database whose path has none")
    checks.equal("boxes", result.stdout.splitlines() + result2.stdout.splitlines(),
                 ['message box "ERROR": ' + text] * 2)
    checks.equal("VTADMINDB untouched", root.registry("VTADMINDB"), "vtquaran.nsf")
    checks.equal("AdminEmailId untouched", root.ini("AdminEmailId"), "admin@example.com")


def newcomer_is_told_what_to_give(root, checks):
    program = os.path.join(root.build, "bin", "vtsetup")
    env = {k: v for k, v in root.env.items() if k != "VT_SYSROOT"}
    bare = subprocess.run([program], env=env, cwd=root.path, capture_output=True, text=True,
                          timeout=CONSOLE_SECONDS)
    checks.equal("exit status without a root", bare.returncode, 2)
    checks.true("names --root and VT_SYSROOT",
                "--root DIR" in bare.stderr and "VT_SYSROOT" in bare.stderr)
    usage = subprocess.run([program, "--help"], env=env, capture_output=True, text=True,
                           timeout=CONSOLE_SECONDS)
    checks.true("--help names --root and VT_SYSROOT",
                "--root DIR" in usage.stdout and "VT_SYSROOT" in usage.stdout)
    events = os.path.join(root.path, "events.txt")
    with open(events, "w") as f:
        f.write("click 1009\n")
    given = subprocess.run([program, "--root", root.path, "--script", events, "edit"], env=env,
                           cwd=root.path, capture_output=True, text=True,
                           timeout=CONSOLE_SECONDS)
    checks.equal("exit status with --root", given.returncode, 0)
    checks.true("--root reaches the machine", "Vantrel for Lotus Notes" in root.log())


CASES = [wizard_writes_the_settings, wizard_refuses_bad_entries, damaged_directory_is_reported,
         list_adds_internet_and_local_administrators, bad_script_changes_nothing,
         over_long_entries_are_cut, edit_mode_needs_a_domain, second_instance_exits,
         long_list_round_trips, over_long_list_is_refused, comma_in_a_database_path_is_refused,
         newcomer_is_told_what_to_give]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.environ.get("VT_BUILD_DIR", "build"))
    parser.add_argument("--keep", action="store_true", help="keep the machine roots")
    args = parser.parse_args()
    checks = Checks()
    for case in CASES:
        path = tempfile.mkdtemp(prefix="vt-setup-")
        print(case.__name__)
        before = checks.failures
        try:
            case(Root(args.build, path), checks)
        finally:
            if args.keep or checks.failures != before:
                print("  machine root kept:", path)
            else:
                shutil.rmtree(path, ignore_errors=True)
    print("engine_is_started_detached")
    engine_is_started_detached(args.build, checks)
    print("all cases held" if checks.failures == 0 else f"{checks.failures} check(s) went wrong")
    return 1 if checks.failures else 0


if __name__ == "__main__":
    sys.exit(main())
