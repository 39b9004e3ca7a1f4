// runner.h - the schedule runner's task: start-up, the once-a-minute loop, shutdown.
//
// What it is for: RunnerMain is the add-in task's main routine, called once the Notes
// runtime is up; it returns when the server asks the task to stop. The pieces it is made
// of take the clock as an argument, so a test can play any minute.
//
// Ownership: RunnerState holds plain values. Locks: none; the task is single-threaded.
#pragma once

#include <string>

#include "platform/win32/windows.h"
#include "vtrunner/schedule.h"

namespace vtrunner {

// The task's name on the server's status line and the title of its banner.
inline constexpr const char* kTaskName = "Vantrel For Lotus Notes";
inline constexpr const char* kProductName = "Vantrel for Lotus Notes";
inline constexpr const char* kLogFileName = "vtrunner.log";
inline constexpr const char* kScannerProgram = "vtsweep.exe";
// The one argument the scanner gets from the runner: scheduled mode.
inline constexpr const char* kScannerArgument = "\"1\"";

struct RunnerState {
  bool debug = false;             // VTDEBUG above 5: the log is written
  std::string install_directory;  // WIN.INI, default "c:\"
  std::string log_path;           // <ReportDirectory>\vtrunner.log
  std::string build;              // LotusNotesBuild
  std::string notes_path;         // LotusNotesPath: the Domino program directory
  std::string scanner_command;    // <notes_path>\vtsweep.exe
  std::string schedule_path;      // <notes_path>\Data\vtsched.nsf
  Schedule schedule;
  bool armed = false;  // set by a "Save" of "1", cleared by a scheduled launch
};

// Reads the settings of start-up steps 2 and 5 into `state`.
void ReadRunnerSettings(RunnerState& state);

// Writes the banner to the server console and, with logging on, to the log.
void WriteBanner(const RunnerState& state);

// The work of one minute at local time `now`: the "Save" request, the schedule test and the
// launch when due.
void OneMinuteJob(RunnerState& state, const SYSTEMTIME& now);

// Starts the scanner in scheduled mode without waiting; logs a failure.
void LaunchScanner(const RunnerState& state);

// A line of the runner's log, written when logging is on (or always, for the lines that say
// why the task cannot do its work).
void RunnerLog(const RunnerState& state, const std::string& text, bool always = false);

// The task: returns 0 when stopped by the server. Without LotusNotesPath it says so once and
// waits for the setting.
int RunnerMain();

}  // namespace vtrunner
