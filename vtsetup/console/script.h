// script.h - driving the console's dialogs from a file of events.
//
// What it is for: tests and unattended installations run vtsetup without a person: each
// line of the file is one thing a person would do in the newest open window of the console
// (type into a control, press a button, select a list entry, answer a message box). The
// format is in the program's help (kScriptHelp).
//
// Ownership: a ScriptDriver runs its own thread from Start until Finish; the events are
// copied. Threads: the driver thread talks to the dialogs only through the window calls.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vtsetup {

inline constexpr const char* kScriptHelp =
    "SCRIPT FILE\n"
    "  One event a line, acting on the newest open window of the console; blank lines and\n"
    "  lines starting with '#' are skipped. CONTROL is a control's number (1000, 1016, ...;\n"
    "  1 and 2 are OK and Cancel); the file-open dialog has 1152 (file name) and 1 (Open).\n"
    "    type CONTROL TEXT     put TEXT (the rest of the line, may be empty) into an edit\n"
    "                          or a combo box's edit field\n"
    "    click CONTROL         press a button or radio button\n"
    "    select CONTROL TEXT   select the entry TEXT of a list or combo box\n"
    "    answer BUTTON         answer the open message box: ok, cancel, yes or no\n"
    "    close                 close the newest dialog as its close box would\n"
    "  Each message box shown is reported on standard output as\n"
    "    message box \"CAPTION\": TEXT   (line breaks of TEXT written as \\n)\n"
    "  A line with an unknown event or control stops the run before any window opens, with\n"
    "  the file name and line number on standard error; nothing is changed. An event that\n"
    "  cannot be carried out (a disabled control, an unanswered message box) stops the run\n"
    "  the same way and closes the open windows without saving.\n";

enum class EventKind { kType, kClick, kSelect, kAnswer, kClose };

struct ScriptEvent {
  EventKind kind = EventKind::kClick;
  int line = 0;
  int control = 0;   // type, click, select
  int button = 0;    // answer: IDOK, IDCANCEL, IDYES, IDNO
  std::string text;  // type, select
};

// Reads the events; on the first bad line returns nothing and sets `error` to
// "LINE: reason".
[[nodiscard]] std::optional<std::vector<ScriptEvent>> ParseScript(std::string_view text,
                                                                  std::string& error);

class ScriptDriver {
 public:
  ScriptDriver(std::string file_name, std::vector<ScriptEvent> events);
  ~ScriptDriver();
  ScriptDriver(const ScriptDriver&) = delete;
  ScriptDriver& operator=(const ScriptDriver&) = delete;

  // Starts the driving thread; call before the console opens its first window.
  void Start();
  // Tells the driver that the console has ended, waits for its thread and returns true when
  // every event was carried out and no window was left open.
  [[nodiscard]] bool Finish();

 private:
  void Run();
  bool RunEvent(const ScriptEvent& event);
  void Fail(int line, const std::string& reason);
  void CloseEverything();

  std::string file_name_;
  std::vector<ScriptEvent> events_;
  std::thread thread_;
  std::atomic<bool> console_done_{false};
  bool failed_ = false;
};

}  // namespace vtsetup
