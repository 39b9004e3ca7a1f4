// progress_window.h - the progress window of vtsweep and its About box.
//
// What it is for: an interactive run (and a scheduled one whose settings document asks for
// it) shows a small window: the database being scanned, the number of the document in hand,
// a progress bar over the database's selected documents, and a list that follows the
// time-stamped lines of the scan log (emptied when it holds more than 1500 lines; the file
// keeps them all). "&Exit" asks before it stops a scan in progress, "&Minimize" minimises,
// "&About" shows the product and its build.
//
// Ownership: the window is created by and belongs to the main thread, which runs its message
// loop. The scan thread writes the fields and the list through window messages only.
//
// Locks: none; the window stand-in hands messages sent from the scan thread to the main
// thread and returns when they are handled.
#pragma once

#include <string>

#include "platform/ui/winuser.h"
#include "vtsweep/sweep_run.h"

namespace vtsweep {

inline constexpr int kIdDatabase = 1001;
inline constexpr int kIdCount = 1002;
inline constexpr int kIdLog = 1003;
inline constexpr int kIdExit = 1004;
inline constexpr int kIdAbout = 1005;
inline constexpr int kIdMinimize = 1006;
inline constexpr int kIdProgress = 1007;
inline constexpr int kIdVersion = 1101;
// The list is emptied before a line is added to one this long.
inline constexpr LRESULT kMaxListLines = 1500;

inline constexpr const char* kWindowTitle = "Vantrel for Lotus Notes";

// Creates the window on the calling thread, shows it, and points the log's window copy and
// the run's progress hooks at it. NULL when it cannot be created.
HWND CreateProgressWindow(SweepRun& run);

// Runs the message loop until the window is closed, the user stops the run, or the scan
// thread ends it (EndProgressWindow). True when the user stopped a scan in progress.
bool RunProgressWindow(HWND window);

// Called by the scan thread when it has finished: ends the message loop.
void EndProgressWindow();

// How an interactive run ended, for the text it leaves on the terminal.
struct RunOutcome {
  int databases = 0;
  int documents = 0;
  int disinfected = 0;
  int unanswered = 0;  // of the documents, those the engine did not answer in time
  bool stopped_by_user = false;
  bool engine_stopped_answering = false;  // the run ended at the time-out limit
  bool nothing_selected = false;          // the settings select no database and no folder
  std::string log_path;
};

// The lines an interactive run prints once the terminal is given back: the window closes as
// soon as the scan ends, so this is what the user is left to read.
[[nodiscard]] std::string ClosingText(const RunOutcome& outcome);

}  // namespace vtsweep
