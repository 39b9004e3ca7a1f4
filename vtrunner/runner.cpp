// runner.cpp - the schedule runner's task.
#include "vtrunner/runner.h"

#include <cstdio>

#include "foundation/config.h"
#include "foundation/error_text.h"
#include "foundation/log.h"
#include "foundation/named_objects.h"
#include "foundation/utilities.h"
#include "platform/notes/notes.h"
#include "platform/notes/notes_addin.h"
#include "vtrunner/launch.h"

namespace vtrunner {
namespace {

// VTDEBUG numbers above this one turn the log on.
constexpr long kDebugAbove = 5;
// Byte sizes of the registry reads (the NUL included).
constexpr size_t kBuildBytes = 99;
constexpr size_t kNotesPathBytes = 256;
constexpr size_t kSaveBytes = 260;
// How long the loop sleeps between looks at the 60-second test (on the add-in clock).
constexpr DWORD kIdleStepMs = 1000;

// The state the Notes status logger writes through: ReadSchedule takes a plain function.
const RunnerState* status_state = nullptr;

void LogStatusText(unsigned long status) {
  if (!status_state || !status_state->debug) return;
  std::string text = foundation::NotesStatusText(status);
  if (!text.empty()) RunnerLog(*status_state, text);
}

std::string Stars(int count) {
  std::string line;
  for (int i = 0; i < count; ++i) line += i ? " *" : "*";
  return line;
}

void Console(const std::string& text) { AddInLogMessageText("%s", 0, text.c_str()); }

// A schedule that cannot be a time or a day is said in the log and on the console whatever
// the debug setting: nothing else would tell why no scan starts.
void LogScheduleProblem(const std::string& text) {
  if (!status_state) return;
  RunnerLog(*status_state, text, true);
  Console(std::string(kProductName) + ": " + text);
}

void ReadScheduleNow(RunnerState& state) {
  status_state = &state;
  (void)ReadSchedule(kScheduleDatabase, state.schedule, LogStatusText, LogScheduleProblem);
  status_state = nullptr;
}

// Waits, a minute at a time, until LotusNotesPath is set (the console is told once). False
// when the server stops the task first.
bool WaitForNotesPath(RunnerState& state) {
  const char* kMissing = "unable to Get Lotus Notes Path Registry";
  RunnerLog(state, kMissing, true);
  Console(std::string(kProductName) + ": " + kMissing +
          "; waiting for LotusNotesPath to be set");
  while (!AddInIdle()) {
    if (!AddInMinutesHaveElapsed(1)) {
      if (AddInIdleDelay(kIdleStepMs)) return false;
      continue;
    }
    ReadRunnerSettings(state);
    if (!state.notes_path.empty()) {
      RunnerLog(state, "LotusNotesPath is " + state.notes_path, true);
      return true;
    }
  }
  return false;
}

}  // namespace

void RunnerLog(const RunnerState& state, const std::string& text, bool always) {
  if (!state.debug && !always) return;
  SYSTEMTIME now;
  GetLocalTime(&now);
  (void)foundation::AppendToFile(state.log_path, foundation::RunnerLogLine(now, text));
}

void ReadRunnerSettings(RunnerState& state) {
  std::string debug;
  (void)foundation::ReadProductValue(foundation::kProductSubkey, "VTDEBUG", debug, "");
  state.debug = std::strtol(debug.c_str(), nullptr, 10) > kDebugAbove;
  state.install_directory =
      foundation::ReadWinIni(foundation::kWinIniSection, foundation::kInstallDirectoryKey, "c:\\");
  std::string ini_path = state.install_directory;
  foundation::AddBackslash(ini_path);
  ini_path += foundation::kProductIniName;
  std::string report_directory =
      foundation::ReadIniValue(foundation::kGeneralSection, "ReportDirectory", "", ini_path);
  state.log_path = foundation::LogFilePath(report_directory, kLogFileName);
  (void)foundation::ReadProductValue(foundation::kProductSubkey, "LotusNotesBuild", state.build, "",
                                     kBuildBytes);
  (void)foundation::ReadProductValue(foundation::kProductSubkey, "LotusNotesPath", state.notes_path,
                                     "", kNotesPathBytes);
  if (!state.notes_path.empty()) {
    std::string directory = state.notes_path;
    foundation::AddBackslash(directory);
    state.scanner_command = directory + kScannerProgram;
    state.schedule_path =
        foundation::JoinPath(foundation::JoinPath(directory, "Data"), kScheduleDatabase);
  }
}

void WriteBanner(const RunnerState& state) {
  const bool engine = foundation::IsEngineRunning(state.install_directory);
  const std::string status = std::string("Vantrel Status :") + (engine ? "Active" : "Disabled");
  const char* kMakerLines[] = {"Veltrane Software", "Web     : www.veltrane.example",
                               "Sales   : sales@veltrane.example",
                               "Support : support@veltrane.example"};
  Console(std::string(kProductName) + ": Initializing...");
  Console(Stars(33));
  Console(kProductName);
  Console(kMakerLines[0]);
  if (!state.build.empty()) Console("Build :" + state.build);
  Console(status);
  for (int i = 1; i < 4; ++i) Console(kMakerLines[i]);
  Console(Stars(33));

  RunnerLog(state, Stars(22));
  RunnerLog(state, kProductName);
  RunnerLog(state, kMakerLines[0]);
  if (!state.build.empty()) RunnerLog(state, "Build: " + state.build);
  RunnerLog(state, status);
  for (int i = 1; i < 4; ++i) RunnerLog(state, kMakerLines[i]);
  RunnerLog(state, Stars(22));
}

void LaunchScanner(const RunnerState& state) {
  // Quoted: the program directory may hold blanks ("C:\Program Files\...").
  const std::string command = "\"" + state.scanner_command + "\" " + kScannerArgument;
  if (DWORD error = LaunchProgram(command, LaunchWait::kNoWait)) {
    // Not retried: the next chance is the next armed scheduled minute. Said in the log and on
    // the console whatever the debug setting, since no scan happens.
    SetLastError(error);
    std::string reason = foundation::ErrorText();
    RunnerLog(state, reason, true);
    RunnerLog(state, "Unable to start " + command + " Reason above", true);
    Console(std::string(kProductName) + ": Unable to start " + command + " (" + reason + ")");
    return;
  }
  // The administrator at the server console sees that the scan began; its outcome is in
  // the scanner's own dated log.
  Console(std::string(kProductName) + ": Database scan started: " + command);
}

void OneMinuteJob(RunnerState& state, const SYSTEMTIME& now) {
  AddInSetStatusText("Doing one-minute job");
  AddInSetStatusText("Idle");
  if (state.schedule_path.empty()) {
    RunnerLog(state, "Server Path NULL");
    RunnerLog(state, "No DB FILE\n");
    return;
  }
  std::string save;
  (void)foundation::ReadProductValue(foundation::kProductSubkey, "Save", save, "", kSaveBytes);
  if (!save.empty() && save[0] == '1') {
    (void)foundation::WriteProductValue(foundation::kProductSubkey, "Save", "0");
    ReadScheduleNow(state);
    state.armed = true;
  }
  if (!state.schedule.enabled) return;
  char line[128];
  std::snprintf(line, sizeof line, "System Time = %d:%d \t Database Time = %d:%d", now.wHour,
                now.wMinute, state.schedule.hour, state.schedule.minute);
  RunnerLog(state, line);
  if (IsDue(state.schedule, state.armed, now)) {
    RunnerLog(state, "calling Exe...\n");
    state.armed = false;
    LaunchScanner(state);
  }
}

int RunnerMain() {
  DHANDLE module = NULLHANDLE;
  DHANDLE old_line = NULLHANDLE;
  AddInQueryDefaults(&module, &old_line);
  AddInDeleteStatusLine(old_line);
  DHANDLE status_line = AddInCreateStatusLine(kTaskName);
  AddInSetDefaults(module, status_line);
  AddInSetStatusText("Initializing");
  AddInSetStatusText("Idle");

  RunnerState state;
  ReadRunnerSettings(state);
  WriteBanner(state);
  // Without the program directory there is no scanner to start: the task says so once and
  // waits for the setting, rather than end and be started again by the server over and over.
  if (!state.notes_path.empty() || WaitForNotesPath(state)) {
    ReadScheduleNow(state);
    if (state.schedule.run_at_start && state.schedule.enabled) LaunchScanner(state);
    while (!AddInIdle()) {
      if (!AddInMinutesHaveElapsed(1)) {
        if (AddInIdleDelay(kIdleStepMs)) break;
        continue;
      }
      SYSTEMTIME now;
      GetLocalTime(&now);
      OneMinuteJob(state, now);
    }
  }
  AddInSetStatusText("Terminating");
  Console(std::string(kProductName) + ": Termination complete.");
  AddInDeleteStatusLine(status_line);
  return 0;
}

}  // namespace vtrunner
