// control.cpp - the headless windows driven by a script from another process.
//
// When a headless program's environment names a socket in VT_WINDOW_CONTROL, a thread of the
// window library listens there once the first dialog exists. A script connects and sends one
// command a line, fields separated by tabs; every command gets one line back, "ok" and the
// answer, or "error" and why. The commands do what a person does, through the same calls a
// test makes (FindWindow, PostMessage of clicks and keys, GetDlgItemText, list messages), and
// wait until the window's thread has handled them before answering:
//
//   wait CAPTION [MS]          a dialog with this caption is shown (default 5000 ms)
//   gone CAPTION [MS]          no dialog with this caption is shown any more
//   windows                    the captions of the dialogs shown, tab-separated
//   text CAPTION ID            the control's text (line breaks as \n)
//   click CAPTION ID           presses a button (answering a message box: its IDYES=6,
//                              IDNO=7, IDOK=1, IDCANCEL=2 button)
//   type CAPTION ID TEXT       types the text into the control, key by key
//   key CAPTION ID KEY         tab, backtab, enter, escape, space, up, down, left, right,
//                              home, end, pageup, pagedown, back, delete (ID 0: the dialog)
//   count CAPTION ID           the number of entries of a list or combo box
//   item CAPTION ID INDEX      an entry's text
//   items CAPTION ID           every entry, tab-separated, read at one moment
//   select CAPTION ID INDEX    selects an entry as a click on it would (adds it to the
//                              selection of a list of several selections)
//   selected CAPTION ID        the selected entries' indexes, comma-separated
//   checked CAPTION ID         1 when a check box or radio button is checked
//   enabled CAPTION ID         1 when the control can be used
//
// The socket is made by the program (an existing file of that name is replaced) and removed
// at exit. Message boxes wait for the script when a control socket is named.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/ui/window_internal.h"

namespace ui {
namespace {

constexpr DWORD kDefaultWaitMs = 5000;
constexpr DWORD kSettleMs = 5000;       // how long a command waits for the window to handle it
constexpr size_t kLongestLine = 65536;  // a longer command line is refused, not buffered

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find('\t', start);
    fields.push_back(
        line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) return fields;
    start = tab + 1;
  }
}

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\\') {
      out += "\\\\";
    } else {
      out += c;
    }
  }
  return out;
}

bool ParseInt(const std::string& text, long* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  *value = std::strtol(text.c_str(), &end, 10);
  return end && *end == '\0';
}

WPARAM KeyCode(const std::string& name, LPARAM* flags) {
  static const struct {
    const char* name;
    WPARAM key;
  } kKeys[] = {{"tab", VK_TAB},       {"backtab", VK_TAB}, {"enter", VK_RETURN},
               {"escape", VK_ESCAPE}, {"space", VK_SPACE}, {"up", VK_UP},
               {"down", VK_DOWN},     {"left", VK_LEFT},   {"right", VK_RIGHT},
               {"home", VK_HOME},     {"end", VK_END},     {"pageup", VK_PRIOR},
               {"pagedown", VK_NEXT}, {"back", VK_BACK},   {"delete", VK_DELETE}};
  *flags = name == "backtab" ? VT_KEY_SHIFTED : 0;
  for (const auto& key : kKeys) {
    if (name == key.name) return key.key;
  }
  return 0;
}

std::string Run(const std::vector<std::string>& fields) {
  const std::string& command = fields[0];
  if (command == "windows") {
    std::string captions;
    std::lock_guard lock(WindowLock());
    for (HWND hwnd : TopLevelLocked()) {
      Window* window = FindLocked(hwnd);
      if (window && window->visible && !window->ended) {
        captions += (captions.empty() ? "" : "\t") + Escape(window->text);
      }
    }
    return "ok\t" + captions;
  }
  if (fields.size() < 2) return "error\tno caption";
  long number = 0;
  if (command == "wait" || command == "gone") {
    DWORD timeout_ms = kDefaultWaitMs;
    if (fields.size() > 2 && ParseInt(fields[2], &number) && number >= 0) {
      timeout_ms = static_cast<DWORD>(number);
    }
    if (command == "wait") {
      return VtWaitForWindow(fields[1].c_str(), timeout_ms) ? "ok" : "error\tnot shown";
    }
    ULONGLONG deadline = GetTickCount64() + timeout_ms;
    while (FindWindow(nullptr, fields[1].c_str())) {
      if (GetTickCount64() >= deadline) return "error\tstill shown";
      Sleep(5);
    }
    return "ok";
  }
  HWND dialog = FindWindow(nullptr, fields[1].c_str());
  if (!dialog) return "error\tno window " + Escape(fields[1]);
  if (fields.size() < 3 || !ParseInt(fields[2], &number)) return "error\tno control id";
  HWND control = number == 0 ? dialog : GetDlgItem(dialog, static_cast<int>(number));
  if (!control) return "error\tno control " + fields[2];
  auto settle = [dialog] { (void)VtWindowWaitIdle(dialog, kSettleMs); };

  if (command == "text") {
    int length = GetWindowTextLength(control);
    std::string text(static_cast<size_t>(length) + 1, '\0');
    text.resize(static_cast<size_t>(GetWindowText(control, text.data(), length + 1)));
    return "ok\t" + Escape(text);
  }
  if (command == "click") {
    if (!PostMessage(control, BM_CLICK, 0, 0)) return "error\tnot delivered";
    settle();
    return "ok";
  }
  if (command == "type") {
    if (fields.size() < 4) return "error\tno text";
    for (unsigned char c : fields[3]) (void)PostMessage(control, WM_CHAR, c, 0);
    settle();
    return "ok";
  }
  if (command == "key") {
    LPARAM flags = 0;
    WPARAM key = fields.size() > 3 ? KeyCode(fields[3], &flags) : 0;
    if (!key) return "error\tunknown key";
    (void)PostMessage(control, WM_KEYDOWN, key, flags);
    if (key == VK_SPACE) (void)PostMessage(control, WM_CHAR, ' ', 0);
    settle();
    return "ok";
  }
  bool combo;
  {
    std::lock_guard lock(WindowLock());
    Window* window = FindLocked(control);
    combo = window && window->kind == Kind::kComboBox;
  }
  if (command == "count") {
    return "ok\t" + std::to_string(SendMessage(control, combo ? CB_GETCOUNT : LB_GETCOUNT, 0, 0));
  }
  if (command == "item" || command == "select") {
    long index = 0;
    if (fields.size() < 4 || !ParseInt(fields[3], &index)) return "error\tno index";
    if (command == "item") {
      // Read under the lock in one step: a list another thread fills may change between a
      // length query and the copy, which LB_GETTEXT's fixed buffer would not survive.
      std::lock_guard lock(WindowLock());
      Window* window = FindLocked(control);
      if (!window || index < 0 || static_cast<size_t>(index) >= window->items.size()) {
        return "error\tno entry " + fields[3];
      }
      return "ok\t" + Escape(window->items[static_cast<size_t>(index)]);
    }
    // As a click on the entry: the selection changes and the dialog hears of it.
    LRESULT result;
    WORD code;
    if (combo) {
      result = SendMessage(control, CB_SETCURSEL, index, 0);
      code = CBN_SELCHANGE;
    } else {
      result = SendMessage(control, LB_SETCURSEL, index, 0);
      if (result == LB_ERR) result = SendMessage(control, LB_SETSEL, TRUE, index);
      code = LBN_SELCHANGE;
    }
    if (result == LB_ERR) return "error\tno entry " + fields[3];
    (void)PostMessage(dialog, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(number), code),
                      reinterpret_cast<LPARAM>(control));
    settle();
    return "ok";
  }
  if (command == "items") {
    std::lock_guard lock(WindowLock());
    Window* window = FindLocked(control);
    if (!window) return "error\tno control " + fields[2];
    std::string all = "ok";
    for (const std::string& entry : window->items) all += "\t" + Escape(entry);
    return all;
  }
  if (command == "selected") {
    std::lock_guard lock(WindowLock());
    Window* window = FindLocked(control);
    if (!window) return "error\tno control " + fields[2];
    if (combo) return "ok\t" + std::to_string(window->cursel);
    std::string indexes;
    for (size_t i = 0; i < window->selected.size(); ++i) {
      if (window->selected[i]) indexes += (indexes.empty() ? "" : ",") + std::to_string(i);
    }
    return "ok\t" + indexes;
  }
  if (command == "checked")
    return "ok\t" + std::to_string(IsDlgButtonChecked(dialog, static_cast<int>(number)));
  if (command == "enabled") return std::string("ok\t") + (IsWindowEnabled(control) ? "1" : "0");
  return "error\tunknown command " + Escape(command);
}

void Serve(int connection) {
  std::string pending;
  char buffer[4096];
  for (;;) {
    ssize_t got = read(connection, buffer, sizeof buffer);
    if (got <= 0) break;
    pending.append(buffer, static_cast<size_t>(got));
    size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::string reply = line.empty() ? "error\tempty command" : Run(SplitTabs(line));
      reply += '\n';
      if (write(connection, reply.data(), reply.size()) < 0) {
        close(connection);
        return;
      }
    }
    if (pending.size() > kLongestLine) {
      const char kTooLong[] = "error\tline too long\n";
      (void)!write(connection, kTooLong, sizeof kTooLong - 1);
      break;
    }
  }
  close(connection);
}

std::string socket_path;  // written once, before the listener starts

void Listen(int listener) {
  for (;;) {
    int connection = accept(listener, nullptr, nullptr);
    if (connection < 0) {
      if (errno == EINTR) continue;
      return;
    }
    Serve(connection);  // one script at a time
  }
}

}  // namespace

void StartControlIfAsked() {
  static std::once_flag started;
  std::call_once(started, [] {
    const char* path = std::getenv("VT_WINDOW_CONTROL");
    if (!path || !*path || VtWindowCurrentMode() != VtWindowMode::kHeadless) return;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof address.sun_path) {
      std::fprintf(stderr, "VT_WINDOW_CONTROL: the socket path is longer than %zu bytes\n",
                   sizeof address.sun_path - 1);
      return;
    }
    std::strcpy(address.sun_path, path);
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) return;
    (void)unlink(path);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 4) != 0) {
      std::fprintf(stderr, "VT_WINDOW_CONTROL: cannot listen on %s: %s\n", path,
                   std::strerror(errno));
      close(listener);
      return;
    }
    socket_path = path;
    std::atexit([] { (void)unlink(socket_path.c_str()); });
    VtWindowSetDriven(TRUE);
    std::thread(Listen, listener).detach();
  });
}

}  // namespace ui
