// script.cpp - parsing an event file and carrying it out on the console's dialogs.
#include "vtsetup/console/script.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>

#include "foundation/utilities.h"
#include "platform/ui/commdlg.h"
#include "platform/ui/winuser.h"
#include "vtsetup/console/dialogs.h"

namespace vtsetup {

namespace {

// How long an event waits for its window to appear or settle.
constexpr DWORD kWaitMs = 10000;
constexpr auto kPoll = std::chrono::milliseconds(20);
// How long one look for a message box or file-open dialog by its caption waits.
constexpr DWORD kFindMs = 200;

constexpr int kKnownControls[] = {IDOK,
                                  IDCANCEL,
                                  kDatabaseEdit,
                                  kBrowseButton,
                                  kAddButton,
                                  kDeleteButton,
                                  kDeleteAllButton,
                                  kAdminIdList,
                                  kAdminDatabaseList,
                                  kSaveButton,
                                  kCancelListButton,
                                  kDomainCombo,
                                  kConfirmIdEdit,
                                  kSmallOkButton,
                                  kWizardIdEdit,
                                  kSmallCancelButton,
                                  kLocalUserRadio,
                                  kInternetUserRadio,
                                  kOpenFileName,
                                  kOpenFileList};

std::string_view NextWord(std::string_view& rest) {
  while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
  const std::size_t end = rest.find_first_of(" \t");
  std::string_view word = rest.substr(0, end);
  rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  return word;
}

bool ParseControl(std::string_view word, int& control) {
  long number = 0;
  if (!foundation::ParseNumber(word, number)) return false;
  if (std::find(std::begin(kKnownControls), std::end(kKnownControls), number) ==
      std::end(kKnownControls))
    return false;
  control = static_cast<int>(number);
  return true;
}

bool ParseButton(std::string_view word, int& button) {
  static constexpr std::pair<const char*, int> kButtons[] = {
      {"ok", IDOK}, {"cancel", IDCANCEL}, {"yes", IDYES}, {"no", IDNO}};
  for (const auto& [name, id] : kButtons) {
    if (foundation::EqualsNoCase(word, name)) {
      button = id;
      return true;
    }
  }
  return false;
}

std::string OneLine(const std::string& text) {
  std::string line;
  for (char c : text) {
    if (c == '\n') {
      line += "\\n";
    } else if (c != '\r') {
      line += c;
    }
  }
  return line;
}

// The window of an open-window entry: a dialog's own handle, or a message box or file-open
// dialog found by its caption.
HWND WindowOf(const OpenWindow& open) {
  if (open.dialog) return open.dialog;
  return VtWaitForWindow(open.caption.c_str(), kFindMs);
}

}  // namespace

std::optional<std::vector<ScriptEvent>> ParseScript(std::string_view text, std::string& error) {
  std::vector<ScriptEvent> events;
  int line_number = 0;
  while (!text.empty()) {
    ++line_number;
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string_view rest = line;
    const std::string_view verb = NextWord(rest);
    if (verb.empty() || verb.front() == '#') continue;
    ScriptEvent event;
    event.line = line_number;
    auto fail = [&](const std::string& reason) {
      error = std::to_string(line_number) + ": " + reason;
      return std::nullopt;
    };
    if (verb == "type" || verb == "click" || verb == "select") {
      const std::string_view control = NextWord(rest);
      if (!ParseControl(control, event.control))
        return fail("unknown control \"" + std::string(control) + "\"");
      event.kind = verb == "type"    ? EventKind::kType
                   : verb == "click" ? EventKind::kClick
                                     : EventKind::kSelect;
      event.text = std::string(rest);
      if (event.kind == EventKind::kClick && !event.text.empty())
        return fail("click takes only a control");
      if (event.kind == EventKind::kSelect && event.text.empty())
        return fail("select needs the entry's text");
    } else if (verb == "answer") {
      const std::string_view button = NextWord(rest);
      if (!ParseButton(button, event.button))
        return fail("unknown message box button \"" + std::string(button) + "\"");
      event.kind = EventKind::kAnswer;
    } else if (verb == "close") {
      event.kind = EventKind::kClose;
    } else {
      return fail("unknown event \"" + std::string(verb) + "\"");
    }
    if ((event.kind == EventKind::kAnswer || event.kind == EventKind::kClose) &&
        !NextWord(rest).empty())
      return fail("unexpected text after " + std::string(verb));
    events.push_back(std::move(event));
  }
  return events;
}

ScriptDriver::ScriptDriver(std::string file_name, std::vector<ScriptEvent> events)
    : file_name_(std::move(file_name)), events_(std::move(events)) {}

ScriptDriver::~ScriptDriver() {
  console_done_ = true;
  if (thread_.joinable()) thread_.join();
}

void ScriptDriver::Start() {
  SetMessageBoxObserver([](const std::string& caption, const std::string& text) {
    std::printf("message box \"%s\": %s\n", caption.c_str(), OneLine(text).c_str());
    std::fflush(stdout);
  });
  thread_ = std::thread([this] {
    try {
      Run();
    } catch (const std::exception& error) {
      Fail(0, std::string("the driver stopped: ") + error.what());
      CloseEverything();
    }
  });
}

bool ScriptDriver::Finish() {
  console_done_ = true;
  if (thread_.joinable()) thread_.join();
  SetMessageBoxObserver(nullptr);
  return !failed_;
}

void ScriptDriver::Fail(int line, const std::string& reason) {
  std::fprintf(stderr, "vtsetup: %s:%d: %s\n", file_name_.c_str(), line, reason.c_str());
  failed_ = true;
}

void ScriptDriver::Run() {
  for (const ScriptEvent& event : events_) {
    if (!RunEvent(event)) {
      CloseEverything();
      return;
    }
  }
  // Give the console a moment to close what the last event closed before judging.
  OpenWindow top;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  while (!console_done_ && TopOpenWindow(top) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(kPoll);
  if (!console_done_ && TopOpenWindow(top)) {
    Fail(events_.empty() ? 0 : events_.back().line,
         "the script ended with \"" + top.caption + "\" still open");
    CloseEverything();
  }
}

bool ScriptDriver::RunEvent(const ScriptEvent& event) {
  // The window the event is for: the newest open one, once the console has one and has
  // handled everything before (a closed dialog's handler may open the next window).
  OpenWindow top;
  HWND window = nullptr;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  while (true) {
    if (std::chrono::steady_clock::now() >= deadline) {
      Fail(event.line, window || TopOpenWindow(top)
                           ? "the window \"" + top.caption + "\" did not settle"
                           : "no window is open");
      return false;
    }
    if (!TopOpenWindow(top)) {
      if (console_done_) {
        Fail(event.line, "no window is open");
        return false;
      }
      window = nullptr;
      std::this_thread::sleep_for(kPoll);
      continue;
    }
    window = WindowOf(top);
    if (!window || !IsWindow(window)) {
      std::this_thread::sleep_for(kPoll);
      continue;
    }
    VtWindowWaitIdle(window, kWaitMs);
    OpenWindow now;
    if (TopOpenWindow(now) && now.serial == top.serial) break;
  }

  if (event.kind == EventKind::kAnswer) {
    if (!top.message_box) {
      Fail(event.line, "no message box is open (\"" + top.caption + "\" is)");
      return false;
    }
    HWND button = GetDlgItem(window, event.button);
    if (!button) {
      Fail(event.line, "the message box \"" + top.caption + "\" has no such button");
      return false;
    }
    PostMessage(button, BM_CLICK, 0, 0);
    // The box leaves the open-window list once MessageBox has returned.
    OpenWindow now;
    const auto gone_by = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (TopOpenWindow(now) && now.serial == top.serial &&
           std::chrono::steady_clock::now() < gone_by)
      std::this_thread::sleep_for(kPoll);
    return true;
  } else if (top.message_box) {
    Fail(event.line, "a message box is open: \"" + top.caption + "\": " + OneLine(top.text));
    return false;
  } else if (event.kind == EventKind::kClose) {
    PostMessage(window, WM_CLOSE, 0, 0);
  } else {
    HWND control = GetDlgItem(window, event.control);
    if (!control) {
      Fail(event.line, "\"" + top.caption + "\" has no control " + std::to_string(event.control));
      return false;
    }
    if (!IsWindowEnabled(control) || !IsWindowVisible(control)) {
      Fail(event.line, "control " + std::to_string(event.control) + " is not available");
      return false;
    }
    switch (event.kind) {
      case EventKind::kType:
        SendMessage(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(event.text.c_str()));
        break;
      case EventKind::kClick:
        PostMessage(control, BM_CLICK, 0, 0);
        break;
      case EventKind::kSelect: {
        // The domain list is the console's one combo box; every other list is a list box.
        const bool combo = event.control == kDomainCombo;
        const LPARAM text = reinterpret_cast<LPARAM>(event.text.c_str());
        const LRESULT index = SendMessage(control, combo ? CB_FINDSTRINGEXACT : LB_FINDSTRINGEXACT,
                                          static_cast<WPARAM>(-1), text);
        if (index < 0) {
          Fail(event.line,
               "control " + std::to_string(event.control) + " has no entry \"" + event.text + "\"");
          return false;
        }
        const WORD code = combo ? CBN_SELCHANGE : LBN_SELCHANGE;
        if (combo) {
          SendMessage(control, CB_SETCURSEL, index, 0);
        } else {
          SendMessage(control, LB_SETSEL, TRUE, index);
          SendMessage(control, LB_SETCURSEL, index, 0);
        }
        PostMessage(window, WM_COMMAND, MAKEWPARAM(event.control, code),
                    reinterpret_cast<LPARAM>(control));
        break;
      }
      default:
        break;
    }
  }
  VtWindowWaitIdle(window, kWaitMs);
  return true;
}

// Leaves the console without saving: message boxes get their last button, dialogs are
// closed as by their close box, newest first.
void ScriptDriver::CloseEverything() {
  OpenWindow top;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  while (!console_done_ && TopOpenWindow(top) && std::chrono::steady_clock::now() < deadline) {
    HWND window = WindowOf(top);
    if (window) {
      if (top.message_box) {
        for (int button : {IDCANCEL, IDNO, IDOK}) {
          if (HWND control = GetDlgItem(window, button)) {
            PostMessage(control, BM_CLICK, 0, 0);
            break;
          }
        }
      } else if (HWND cancel = top.dialog ? nullptr : GetDlgItem(window, IDCANCEL)) {
        PostMessage(cancel, BM_CLICK, 0, 0);  // the file-open dialog
      } else {
        PostMessage(window, WM_CLOSE, 0, 0);
      }
      VtWindowWaitIdle(window, kWaitMs);
    }
    std::this_thread::sleep_for(kPoll);
  }
}

}  // namespace vtsetup
