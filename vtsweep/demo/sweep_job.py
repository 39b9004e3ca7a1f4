#!/usr/bin/env python3
"""sweep_job - the database scanner end to end, on a fresh machine root.

SYNOPSIS
    sweep_job.py [--build DIR] [--root DIR] [--check]

DESCRIPTION
    Provisions a machine root (vtprovision), fills the users' mail databases with stored
    mails (internet mail imported with `nsf import`, Notes mail written with `nsf put
    --attach`): the EICAR test file attached, the EICAR file zipped, clean mails with and
    without attachments. Starts the engine (vantrel) and runs `vtsweep 1` as the schedule
    runner would, once for each verdict the engine's policy can give, and prints what
    became of each mail:

        cleaned        alice's mails: infected attachments removed, the rest kept, a copy in
                       vtquaran.nsf
        neutered       bob's mails: the body replaced by the engine's text, no attachment
        deleted        carol's infected mails removed from her database
        untouched      every clean mail, byte for byte as before (nsf show --json)
        engine stopped every document waits out the time-out, the fourth time-out ends
                       the run, and nothing is changed
        interactive    `vtsweep` alone, its window driven headless through the control socket:
                       the database and the log lines shown, About with the build, Exit
                       answered No (the scan goes on), then Yes (the run stops, logged)
        bad input      list entries that are junk, climb out of the data directory or name
                       a file that is no database; a folder with a link back to itself; a
                       second vtsweep while one runs (it exits 1 without a word)

    With --check the outcomes are compared with what each case must give and the exit
    status says whether all held (the integration test runs it so).

FILES
    <build>/bin/{vtprovision,vantrel,vtsweep,nsf,winreg}
    <root>/vantrel/engine.ini            changed between the runs to ask for each verdict
    <root>/vantrel/Reports/dd-mm-yyyy.log the scan log the runs append to
"""
import argparse
import io
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import zipfile
from email.message import EmailMessage

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "platform", "provision"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "platform", "ui"))
import demo_machine  # noqa: E402
import window_control  # noqa: E402

TIMEOUT_SECONDS = 2
EICAR = (b"X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*")


class Machine(demo_machine.Machine):
    def provision(self):
        super().provision("", (("TimeOut", str(TIMEOUT_SECONDS)), ("VTADMINDB", "vtquaran.nsf")))
        # Every posted document is scanned, whether its attachments are stored as files or
        # inside its MIME text.
        ini = os.path.join(self.root, "vantrel", "vantrel.ini")
        with open(ini) as f:
            text = f.read().replace("ContentControlEnabled=0", "ContentControlEnabled=1")
        with open(ini, "w") as f:
            f.write(text)

    def set_policy(self, action, quarantine=0):
        text = ("[Infected]\nAction=%s\nQuarantine=%d\n"
                "NeuterText=This mail contained a virus ({virus}) and was removed.\n"
                "[Warnings]\nSender=0\nRecipients=0\nAdministrators=0\n"
                "[Clean]\nDisclaimer=\n" % (action, quarantine))
        with open(os.path.join(self.root, "vantrel", "engine.ini"), "w") as f:
            f.write(text)
        time.sleep(0.05)

    def schedule(self, *items):
        """Sets items of the scheduled form's settings document."""
        found = json.loads(self.tool("nsf", "search", "vtsched.nsf",
                                     'SELECT form = "Scheduledfrm"', "--json"))
        self.tool("nsf", "put", "vtsched.nsf", "--note", str(found[0]["noteid"]), *items)

    def sweep(self, *extra, wait=True):
        process = subprocess.Popen([os.path.join(self.build, "bin", "vtsweep"), "1", *extra],
                                   env=self.env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if not wait:
            return process
        process.wait(300)
        return process.returncode

    def log(self):
        reports = os.path.join(self.root, "vantrel", "Reports")
        texts = []
        for name in sorted(os.listdir(reports)):
            if name.endswith(".log") and name.count("-") == 2:
                with open(os.path.join(reports, name), encoding="latin-1") as f:
                    texts.append(f.read())
        return "".join(texts)


def internet_mail(subject, text, attachment=None):
    message = EmailMessage()
    message["From"] = "\"Dave Doe\" <dave@example.org>"
    message["To"] = "alice@example.com"
    message["Subject"] = subject
    message["Message-ID"] = "<%s@example.org>" % subject.replace(" ", ".")
    message.set_content(text)
    if attachment:
        message.add_attachment(attachment[1], maintype="application", subtype="octet-stream",
                               filename=attachment[0])
    return bytes(message)


def zipped(name, content):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        archive.writestr(name, content)
    return buffer.getvalue()


def fill(machine, work):
    """The stored mails: subject -> (database, infected)."""
    mails = {}
    for user in ("alice", "carol"):
        db = "mail/%s.nsf" % user
        cases = [("eicar attached " + user, "see the file", ("eicar.com", EICAR), True),
                 ("eicar zipped " + user, "see the archive", ("eicar.zip", zipped("eicar.com", EICAR)), True),
                 ("clean attachment " + user, "the minutes", ("minutes.txt", b"nothing here\n"), False),
                 ("clean text " + user, "just words", None, False)]
        for subject, text, attachment, infected in cases:
            path = os.path.join(work, "mail.eml")
            with open(path, "wb") as f:
                f.write(internet_mail(subject, text, attachment))
            machine.tool("nsf", "import", db, path)
            mails[subject] = (db, infected)
    # Notes mail for bob: rich-text body, files attached as $FILE items.
    files = {"eicar.com": EICAR, "report.txt": b"quarterly report\n", "body.txt": b"hello bob\r\n"}
    for name, content in files.items():
        with open(os.path.join(work, name), "wb") as f:
            f.write(content)
    for subject, attach, infected in (("notes eicar", ["eicar.com", "report.txt"], True),
                                      ("notes clean", ["report.txt"], False)):
        args = ["put", "mail/bob.nsf", "--body", os.path.join(work, "body.txt")]
        for name in attach:
            args += ["--attach", os.path.join(work, name)]
        args += ["Form=Memo", "From=alice@example.com", "SendTo[]=bob@example.com",
                 "Subject=" + subject, "PostedDate@=now"]
        machine.tool("nsf", *args)
        mails[subject] = ("mail/bob.nsf", infected)
    return mails


def snapshot(machine, dbs):
    """(database, subject) -> (note id, nsf show --json --full text, {attachment: its bytes})
    for every document of the databases: equal snapshots mean a document unchanged byte for
    byte."""
    shots = {}
    with tempfile.TemporaryDirectory(prefix="vantrel-snapshot.") as scratch:
        for db in dbs:
            for entry in machine.documents(db):
                note = str(entry["noteid"])
                text = machine.tool("nsf", "show", db, note, "--json", "--full")
                target = os.path.join(scratch, "%s-%s" % (db.replace("/", "_"), note))
                os.mkdir(target)
                machine.tool("nsf", "extract", db, note, target, check=False)
                files = {}
                for name in sorted(os.listdir(target)):
                    with open(os.path.join(target, name), "rb") as f:
                        files[name] = f.read()
                shots[(db, entry.get("subject", ""))] = (entry["noteid"], text, files)
    return shots


def items(text):
    try:
        return json.loads(text).get("items", [])
    except json.JSONDecodeError:
        return []


def body_of(text):
    return " ".join(str(i.get("value", "")) for i in items(text) if i["name"].lower() == "body")


def files_of(text):
    return [str(i.get("value", "")).split(" (")[0] for i in items(text) if i["name"] == "$FILE"]


def expect_deleted(c, mails, db, before, after):
    """The infected mails of the database are gone, the clean ones untouched byte for byte."""
    for subject, (where, infected) in sorted(mails.items()):
        if where != db:
            continue
        if infected:
            c.expect("%s: deleted" % subject, (db, subject) not in after)
        else:
            c.expect("%s: untouched byte for byte" % subject,
                     after.get((db, subject)) == before[(db, subject)])


class Checker:
    def __init__(self):
        self.failures = []

    def expect(self, what, held):
        print("  %-70s %s" % (what, "ok" if held else "FAILED"))
        if not held:
            self.failures.append(what)


def late_answer(c, machine, work):
    """dave.nsf: a slow infected document, then clean ones; policy delete. The engine is
    stopped while it scans the first and let go once the scanner waits for the second."""
    db = "mail/dave.nsf"
    big = os.path.join(work, "big.bin")
    with open(big, "wb") as f:
        f.write(os.urandom(16 * 1024 * 1024))
    with open(os.path.join(work, "eicar.com"), "wb") as f:
        f.write(EICAR)
    with open(os.path.join(work, "report.txt"), "wb") as f:
        f.write(b"quarterly report\n")
    machine.tool("nsf", "create", db, "--title", "dave")
    machine.tool("nsf", "put", db, "--attach", big, "--attach", os.path.join(work, "eicar.com"),
                 "Form=Memo", "Subject=slow infected", "PostedDate@=now")
    for n in range(3):
        machine.tool("nsf", "put", db, "--attach", os.path.join(work, "report.txt"),
                     "Form=Memo", "Subject=clean %d" % n, "PostedDate@=now")
    machine.set_policy("delete")
    machine.schedule("SelectedDBFile=Y", "DBFiletxt=" + db, "DataDBFile=N")
    before = snapshot(machine, [db])
    job_dir = os.path.join(machine.root, "vantrel", "IN", "ScanDatabase")
    fds = "/proc/%d/fd" % machine.engine.pid

    def scanning_the_job():
        try:
            return any(os.readlink(os.path.join(fds, fd)).startswith(job_dir)
                       for fd in os.listdir(fds))
        except OSError:
            return False

    log_before = len(machine.log())
    process = machine.sweep(wait=False)
    caught = False
    try:
        # Stopped while it reads the first document's files: it has taken that job.
        deadline = time.time() + 60
        while time.time() < deadline and process.poll() is None and not caught:
            caught = scanning_the_job()
        if caught:
            os.kill(machine.engine.pid, signal.SIGSTOP)
            # Caught too late when it had already answered.
            caught = not os.path.exists(os.path.join(machine.root, "vantrel", "Out",
                                                     "ScanDatabase", "0.hd0"))
            deadline = time.time() + 60
            while (time.time() < deadline and
                   "Number = 2  Note ID" not in machine.log()[log_before:]):
                time.sleep(0.05)
    finally:
        os.kill(machine.engine.pid, signal.SIGCONT)
    process.wait(300)
    after = snapshot(machine, [db])
    c.expect("every clean document unchanged byte for byte",
             all(after.get((db, "clean %d" % n)) == before[(db, "clean %d" % n)]
                 for n in range(3)))
    if caught:
        c.expect("the slow one, not answered in time, unchanged too",
                 after.get((db, "slow infected")) == before[(db, "slow infected")])
    discarded = "is not for this document" in machine.log()[log_before:]
    print("    (engine %s; the late answer %s)" % (
        "stopped mid-scan" if caught else "not caught mid-scan",
        "came and was not applied" if discarded else "did not come while a document waited"))
    c.expect("exit 0", machine.sweep() == 0)
    after = snapshot(machine, [db])
    c.expect("the next run deletes the infected one, the clean ones stay",
             (db, "slow infected") not in after and
             all(after.get((db, "clean %d" % n)) == before[(db, "clean %d" % n)]
                 for n in range(3)))


def run(machine, work, check):
    c = Checker()
    mails = fill(machine, work)
    dbs = ["mail/alice.nsf", "mail/bob.nsf", "mail/carol.nsf"]
    before = snapshot(machine, dbs)
    machine.start_engine()

    print("engine stopped: every document waits out its time-out")
    machine.schedule("Option=Disable", "SelectedDBFile=Y", "DBFiletxt=mail/alice.nsf",
                     "DataDBFile=N")
    os.kill(machine.engine.pid, signal.SIGSTOP)
    try:
        first = machine.sweep(wait=False)
        time.sleep(0.5)
        second = machine.sweep(wait=False)
        second_rc = second.wait(60)
        second_err = second.stderr.read()
        first.wait(300)
        rc = first.returncode
    finally:
        os.kill(machine.engine.pid, signal.SIGCONT)
    log = machine.log()
    c.expect("a second vtsweep meanwhile exits 1 quietly", second_rc == 1 and second_err == "")
    c.expect("the run says it was stopped (exit 2)", rc == 2)
    c.expect("four time-outs, then the run stops, said once",
             log.count("Vantrel Not Responding") == 4 and
             log.count("TimeOut Happens More than 3 times.. So exiting Scanning") == 1)
    c.expect("its last line says so, not success",
             "Program completed successfully." not in log.split("Vantrel Not Responding")[-1]
             and "Scanning stopped: Vantrel did not answer." in log
             and "Mail(s) Not Scanned = " in log)
    c.expect("no document changed", snapshot(machine, dbs) == before)
    time.sleep(1)  # answers the stopped engine still writes go nowhere: the spool is gone

    print("clean and quarantine (alice, internet mail), with bad list entries")
    machine.set_policy("clean", quarantine=1)
    machine.schedule("DBFiletxt=junk;\"mail/alice.nsf\";../../../etc/passwd.nsf;names.txt;"
                     "mail/nothere.nsf;mail/alice.nsf.bak")
    rc = machine.sweep()
    after = snapshot(machine, dbs)
    log = machine.log()
    c.expect("exit 0", rc == 0)
    for subject, (db, infected) in mails.items():
        if db != "mail/alice.nsf":
            continue
        old, new = before[(db, subject)], after.get((db, subject), (0, "", {}))
        if infected:
            c.expect("%s: cleaned" % subject, "EICAR" in body_of(new[1]) and new != old)
        else:
            c.expect("%s: untouched byte for byte" % subject, new == old)
    quarantined = machine.documents("vtquaran.nsf")
    c.expect("two quarantine copies", len(quarantined) == 2)
    for entry in quarantined:
        copy = machine.tool("nsf", "show", "vtquaran.nsf", str(entry["noteid"]), "--json", "--full")
        subject = entry.get("subject", "")
        c.expect("%s: the copy holds the attachment" % subject,
                 ("eicar.zip" if "zipped" in subject else "eicar.com") in copy)
        shown = machine.tool("vtquarantine", "show", "vtquaran.nsf:%X" % int(entry["noteid"]),
                             check=False)
        c.expect("%s: vtquarantine shows the copy" % subject,
                 subject in shown and "is not a quarantine copy" not in shown)
    listed = json.loads(machine.tool("vtquarantine", "list", "--json"))
    c.expect("vtquarantine lists both copies", len(listed) == 2)
    c.expect("the log names the virus", "Vantrel.Test.EICAR found in" in log)
    c.expect("outside entry refused", "is outside the data directory" in log)
    c.expect("junk entries skipped", "Database names.txt is not a Notes database. Skipped." in log)
    c.expect("missing database logged, list goes on",
             "unable to open database in NSFOpenx" in log)
    c.expect("summary line", "mail/alice.nsf->Total Mail(s) Scanned = 4" in log)

    print("neuter (bob, Notes mail) through a folder walk with a link loop and exclusions")
    machine.set_policy("neuter")
    data = os.path.join(machine.root, "domino", "data")
    os.symlink(os.path.join(data, "mail"), os.path.join(data, "mail", "loop"))
    machine.schedule("SelectedDBFile=N", "DataDBFile=Y", "DBFile=mail", "SubDir=Y", "Exclude=Y",
                     "Exclude_DB=ALICE.NSF;carol.nsf")
    rc = machine.sweep()
    after = snapshot(machine, dbs)
    log = machine.log()
    c.expect("exit 0", rc == 0)
    new = after[("mail/bob.nsf", "notes eicar")][1]
    c.expect("notes eicar: neutered, no attachment",
             "This mail contained a virus" in body_of(new) and files_of(new) == [])
    c.expect("notes clean: untouched byte for byte",
             after[("mail/bob.nsf", "notes clean")] == before[("mail/bob.nsf", "notes clean")])
    c.expect("excluded databases logged",
             "/mail/carol.nsf is Excluded By Exclude Database Rule" in log)
    c.expect("the loop walked once", "leads back to a folder scanned already" in log)

    print("delete with quarantine (carol), the quarantine database cannot be opened")
    machine.set_policy("delete", quarantine=1)
    machine.tool("winreg", "set", demo_machine.PRODUCT_KEY, "VTADMINDB", "missing/vtquaran.nsf")
    machine.schedule("SelectedDBFile=Y", "DBFiletxt=mail/carol.nsf", "DataDBFile=N")
    c.expect("exit 0", machine.sweep() == 0)
    expect_deleted(c, mails, "mail/carol.nsf", before, snapshot(machine, dbs))
    kept_dir = os.path.join(machine.root, "vantrel", "Quarantine")
    kept = sorted(n for n in os.listdir(kept_dir) if n.endswith(".eml")) \
        if os.path.isdir(kept_dir) else []
    texts = []
    for name in kept:
        with open(os.path.join(kept_dir, name), "rb") as f:
            texts.append(f.read())
    c.expect("each deleted mail's original is kept first",
             len(kept) == 2 and any(b"eicar zipped carol" in t for t in texts) and
             any(b"eicar attached carol" in t for t in texts))
    c.expect("the log says where", machine.log().count("the original is kept in") == 2)
    spool = [os.path.join(machine.root, "vantrel", "IN", "ScanDatabase"),
             os.path.join(machine.root, "vantrel", "Out", "ScanDatabase")]
    c.expect("the spool is left empty", not any(os.path.exists(p) for p in spool))

    print("a late answer (engine held mid-scan past the time-out) is not applied to the next")
    late_answer(c, machine, work)

    print("interactive run, its window driven headless")
    machine.tool("nsf", "put", "vtsched.nsf", "Form=Mannualfrm", "M_SelectedDBFile=Y",
                 "M_DBFiletxt=mail/bob.nsf")
    socket_path = os.path.join(work, "window.sock")
    env = dict(machine.env, VT_WINDOW="headless", VT_WINDOW_CONTROL=socket_path)
    os.kill(machine.engine.pid, signal.SIGSTOP)  # keeps the scan in progress
    process = subprocess.Popen([os.path.join(machine.build, "bin", "vtsweep")], env=env,
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    try:
        control = window_control.WindowControl(socket_path)
        title = "Vantrel for Lotus Notes"
        control.wait(title)
        deadline = time.time() + 20
        while time.time() < deadline and not any("Scanning..." in line
                                                 for line in control.items(title, 1003)):
            time.sleep(0.1)
        c.expect("the window shows the database", control.text(title, 1001) == "mail/bob.nsf")
        c.expect("the window's list follows the log",
                 any("Scanning mail/bob.nsf Database..." in line
                     for line in control.items(title, 1003)))
        control.click(title, 1005)
        control.wait("About")
        c.expect("About shows the build", control.text("About", 1101) == "1.0.0")
        control.click("About", 1)
        control.click(title, 1004)
        control.wait("Scanning Information")
        control.answer("Scanning Information", "no")
        time.sleep(0.3)
        c.expect("Exit answered No: the scan goes on", process.poll() is None)
        control.click(title, 1004)
        control.wait("Scanning Information")
        try:
            control.answer("Scanning Information", "yes")
        except window_control.WindowError:
            pass  # the program ends as it answers
        c.expect("Exit answered Yes: the run stops (exit 0)", process.wait(30) == 0)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
        os.kill(machine.engine.pid, signal.SIGCONT)
    with open(os.path.join(machine.root, "vantrel", "Reports", "vtsweep.log"),
              encoding="latin-1") as f:
        c.expect("vtsweep.log says the user stopped", "User Abort the Scanning" in f.read())

    print("\nthe scan log:\n")
    print("\n".join(machine.log().splitlines()[-25:]))
    if c.failures:
        print("\nFAILED: " + "; ".join(c.failures))
    return 0 if not c.failures or not check else 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.environ.get("VT_BUILD_DIR", "build"))
    parser.add_argument("--root")
    parser.add_argument("--check", action="store_true")
    args = parser.parse_args()
    root = args.root or tempfile.mkdtemp(prefix="vantrel-sweep-job.")
    work = tempfile.mkdtemp(prefix="vantrel-sweep-files.")
    machine = Machine(args.build, os.path.join(root, "machine") if not args.root else root)
    try:
        machine.provision()
        return run(machine, work, args.check)
    finally:
        machine.stop_engine()
        shutil.rmtree(work, ignore_errors=True)
        if not args.root:
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
