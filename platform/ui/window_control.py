"""window_control - drive the dialogs of a headless program from a script.

A program using the window stand-in listens on the socket named by VT_WINDOW_CONTROL once it
shows its first dialog (headless mode only: VT_WINDOW=headless, or no terminal). This module
speaks its line protocol (control.cpp):

    control = WindowControl("/tmp/x/window.sock")     # waits for the socket
    control.wait("Vantrel for Lotus Notes")
    control.text("Vantrel for Lotus Notes", 1001)     # a field
    control.items("Vantrel for Lotus Notes", 1003)    # every entry of a list
    control.click("Vantrel for Lotus Notes", 1004)    # a button
    control.answer("Scanning Information", "yes")     # a message box
    control.type(caption, id, "text"); control.key(caption, id, "tab")
    control.select(caption, id, index); control.selected(caption, id)

Each call raises WindowError when the program answers "error".
"""
import os
import socket
import time

ANSWERS = {"ok": 1, "cancel": 2, "retry": 4, "yes": 6, "no": 7}


class WindowError(RuntimeError):
    pass


class WindowControl:
    def __init__(self, path, timeout=20):
        deadline = time.time() + timeout
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.sock.connect(path)
                break
            except OSError:
                self.sock.close()
                if time.time() > deadline:
                    raise WindowError("no window control socket at %s" % path)
                time.sleep(0.05)
        self.reader = self.sock.makefile("r", encoding="utf-8", errors="replace")

    def close(self):
        self.reader.close()
        self.sock.close()

    def command(self, *fields):
        line = "\t".join(str(f) for f in fields) + "\n"
        self.sock.sendall(line.encode("utf-8"))
        reply = self.reader.readline()
        if not reply:
            raise WindowError("the program closed the control socket")
        parts = reply.rstrip("\n").split("\t")
        if parts[0] != "ok":
            raise WindowError(" ".join(parts[1:]) or "error")
        return parts[1:]

    @staticmethod
    def unescape(text):
        out, i = [], 0
        while i < len(text):
            if text[i] == "\\" and i + 1 < len(text):
                out.append({"n": "\n", "r": "\r", "t": "\t"}.get(text[i + 1], text[i + 1]))
                i += 2
            else:
                out.append(text[i])
                i += 1
        return "".join(out)

    def wait(self, caption, ms=5000):
        self.command("wait", caption, ms)

    def gone(self, caption, ms=5000):
        self.command("gone", caption, ms)

    def windows(self):
        return [self.unescape(c) for c in self.command("windows") if c]

    def text(self, caption, control_id):
        return self.unescape(self.command("text", caption, control_id)[0])

    def click(self, caption, control_id):
        self.command("click", caption, control_id)

    def answer(self, caption, button, ms=5000):
        self.wait(caption, ms)
        self.click(caption, ANSWERS[button])

    def type(self, caption, control_id, text):
        self.command("type", caption, control_id, text)

    def key(self, caption, control_id, key):
        self.command("key", caption, control_id, key)

    def count(self, caption, control_id):
        return int(self.command("count", caption, control_id)[0])

    def item(self, caption, control_id, index):
        return self.unescape(self.command("item", caption, control_id, index)[0])

    def items(self, caption, control_id):
        """Every entry, read at one moment (a list another thread fills may change between
        single reads)."""
        return [self.unescape(e) for e in self.command("items", caption, control_id)]

    def select(self, caption, control_id, index):
        self.command("select", caption, control_id, index)

    def selected(self, caption, control_id):
        text = self.command("selected", caption, control_id)[0]
        return [int(i) for i in text.split(",") if i != ""]

    def checked(self, caption, control_id):
        return self.command("checked", caption, control_id)[0] == "1"

    def enabled(self, caption, control_id):
        return self.command("enabled", caption, control_id)[0] == "1"
