// console.cpp - start-up, the log and the settings the console writes.
#include "vtsetup/console/console.h"

#include <cstdio>
#include <mutex>
#include <string>

#include "foundation/config.h"
#include "foundation/error_text.h"
#include "foundation/log.h"
#include "foundation/named_objects.h"
#include "foundation/utilities.h"
#include "platform/notes/notes.h"
#include "vtrunner/launch.h"
#include "vtsetup/console/admin_id.h"

namespace vtsetup {

namespace {

constexpr const char* kMutexName = "vtsetup_mutex";
constexpr const char* kUpdateEventName = "UpdateEvent";
constexpr const char* kEngineProgram = "vantrel";
constexpr const char* kFirstTimeMarker = "firstime.sem";
// How long the console waits for a started engine to take its lock file.
constexpr DWORD kEngineReadyMs = 8000;
constexpr const char* kDefaultNotesProgram = "c:\\lotus\\domino";
constexpr const char* kDefaultInstallDirectory = "c:\\";
// Notes texts in the log are cut to this many characters.
constexpr std::size_t kNotesTextChars = 1023;

std::mutex& LogLock() {
  static std::mutex lock;
  return lock;
}
std::string& LogFile() {
  static std::string file = "Vtsetup.log";
  return file;
}

std::string Stars() {
  std::string line;
  for (int i = 0; i < 22; ++i) line += i == 0 ? "*" : " *";
  return line;
}

std::string NotesProgramDirectory() {
  char value[MAX_PATH] = {};
  std::string directory;
  if (OSGetEnvironmentString("NotesProgram", value, sizeof value) && value[0] != '\0') {
    directory = value;
  } else if (OSGetEnvironmentString("Directory", value, sizeof value) && value[0] != '\0') {
    directory = value;
    foundation::RemoveBackslash(directory);
    const std::size_t tail = directory.size() >= 5 ? directory.size() - 5 : std::string::npos;
    if (tail != std::string::npos && foundation::IsPathSeparator(directory[tail]) &&
        foundation::EqualsNoCase(std::string_view(directory).substr(tail + 1), "data"))
      directory.resize(tail);
  } else {
    directory = kDefaultNotesProgram;
  }
  foundation::AddBackslash(directory);
  return directory;
}

void SetUpInstallation(ConsoleState& state) {
  state.install_directory = foundation::ReadWinIni(
      foundation::kWinIniSection, foundation::kInstallDirectoryKey, kDefaultInstallDirectory);
  foundation::AddBackslash(state.install_directory);
  state.ini_path = foundation::JoinPath(state.install_directory, foundation::kProductIniName);
  std::string report =
      foundation::ReadIniValue(foundation::kGeneralSection, "ReportDirectory", "", state.ini_path);
  if (!report.empty()) {
    foundation::AddBackslash(report);
    SetConsoleLogFile(report + "vtsetup.LOG");
  } else {
    SetConsoleLogFile("vtsetup.log");
  }
}

// True while a process holds the engine's lock file open without sharing. Unlike
// IsEngineRunning it never deletes the file, which an engine that is starting may be about
// to lock.
bool EngineHoldsLock(const ConsoleState& state) {
  const std::string lock = foundation::JoinPath(state.install_directory, foundation::kEngineLockFile);
  foundation::UniqueHandle file(CreateFile(lock.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.valid()) return false;
  const DWORD error = GetLastError();
  return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED;
}

void RunSetupMode(ConsoleState& state) {
  RunSetupWizard(state);
  ConsoleLog("Admin = " + state.admin_id);
  if (state.admin_id.empty()) {
    ConsoleLog("ERROR!!! User Abnormally terminated");
    return;
  }
  EnsureInstallationId(state);
  ConsoleLog("Calling Export Function-vantrel.exe");
  WriteFinalSettings(state, true);
  const std::string lotus = state.notes_program_directory;
  const std::pair<const char*, std::string> values[] = {
      {"VantrelPath", state.install_directory},
      {"LotusNotesPath", lotus},
      {"Server", "1"},
      {"SizeRestrictionEnabled", "0"},
      {"WTOA_Receive_SizeRestriction", "1"},
      {"WTOA_Send_SizeRestriction", "1"},
      {"WTOR_Receive_SizeRestriction", "1"},
      {"WTOS_Receive_SizeRestriction", "1"},
      {"WTOS_Send_SizeRestriction", "1"},
  };
  for (const auto& [name, value] : values)
    foundation::WriteProductValue(foundation::kProductSubkey, name, value);
  // Only now that every setting is written: a running extension reloads them, and an engine
  // started now reads them.
  SendReloadSignal();
  StartEngineOnce(state);
}

void RunEditMode(ConsoleState& state) {
  state.primary_domain =
      foundation::ReadIniValue(foundation::kGeneralSection, "PrimaryDomain", "", state.ini_path);
  if (state.primary_domain.empty()) {
    ShowMessage(nullptr, "Domain Name is emtpy", "ERROR", MB_OK | MB_ICONERROR);
    return;
  }
  RunAdministratorList(state, [&state] {
    WriteFinalSettings(state, false);
    SendReloadSignal();
    StartEngineOnce(state);
  });
}

}  // namespace

void SetConsoleLogFile(std::string path) {
  std::lock_guard lock(LogLock());
  LogFile() = std::move(path);
}

void ConsoleLog(std::string_view text) {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  const std::string line = foundation::RunnerLogLine(now, text);
  std::lock_guard lock(LogLock());
  (void)foundation::AppendToFile(LogFile(), line);
}

void LogNotesFailure(unsigned long status) {
  std::string text = foundation::NotesStatusText(status);
  if (text.size() > kNotesTextChars) text.resize(kNotesTextChars);
  ConsoleLog(text.empty() ? foundation::StringPrintf("STATUS: %lu", status & 0xFFFF) : text);
}

void EnsureInstallationId(const ConsoleState& state) {
  const std::string id =
      foundation::ReadIniValue(foundation::kGeneralSection, "VantrelID", "", state.ini_path);
  if (!id.empty()) return;
  (void)foundation::WriteIniValue(foundation::kGeneralSection, "VantrelID", foundation::MakeId(),
                                  state.ini_path);
}

void WriteFinalSettings(const ConsoleState& state, bool write_admin) {
  (void)foundation::WriteIniValue(foundation::kGeneralSection, "WarningMailsFromUser",
                                  state.sender_name, state.ini_path);
  if (write_admin) {
    (void)foundation::WriteIniValue(foundation::kGeneralSection, "AdminEmailId", state.admin_id,
                                    state.ini_path);
    // The database the wizard accepted, typed or browsed: the administrator's mail database
    // takes the quarantine copies.
    if (!state.database_name.empty() && state.database_name != kCancelledDatabase)
      foundation::WriteProductValue(foundation::kProductSubkey, "VTADMINDB", state.database_name);
  }
  EnsureInstallationId(state);
  // vantrel.ini holds the installation's identifier, with which a mail passes unscanned:
  // it is the server account's alone, whoever made the file.
  if (!VtRestrictToOwner(state.ini_path.c_str())) {
    ConsoleLog(foundation::ErrorText());
    ConsoleLog("ERROR!!! Unable to make " + state.ini_path + " private. Reason above");
  }
}

std::string FindEngine(const ConsoleState& state) {
  for (const std::string& directory : {state.install_directory, state.notes_program_directory}) {
    const std::string engine = foundation::JoinPath(directory, kEngineProgram);
    if (foundation::FileProbe(engine) == 0) return engine;
  }
  return {};
}

void StartEngineOnce(const ConsoleState& state) {
  if (foundation::FileProbe(foundation::JoinPath(state.install_directory, kFirstTimeMarker)) == 0)
    return;
  const std::string engine = FindEngine(state);
  if (engine.empty()) {
    ConsoleLog(std::string("The engine (") + kEngineProgram + ") is neither in " +
               state.install_directory + " nor in " + state.notes_program_directory +
               ": it is not started");
    return;
  }
  if (EngineHoldsLock(state)) {
    ConsoleLog("The engine runs already: " + engine + " is not started again");
    return;
  }
  ConsoleLog("Starting the engine " + engine);
  // The engine is a daemon: it is started on its own and the console waits only, a few
  // seconds at most, for it to take its lock file.
  const std::string command =
      engine.find(' ') == std::string::npos ? engine : "\"" + engine + "\"";
  const vtrunner::DaemonStart start =
      vtrunner::LaunchDaemon(command, [&state] { return EngineHoldsLock(state); }, kEngineReadyMs);
  if (start.error != 0) {
    SetLastError(start.error);
    ConsoleLog(foundation::ErrorText());
    ConsoleLog("ERROR!!! Unable to start " + engine + ". Reason above");
  } else if (start.ready) {
    ConsoleLog("The engine is running");
  } else if (start.exit_code != STILL_ACTIVE) {
    ConsoleLog(foundation::StringPrintf(
        "ERROR!!! The engine ended at once with exit code %lu: see its log vantrel.log",
        static_cast<unsigned long>(start.exit_code)));
  } else {
    ConsoleLog(foundation::StringPrintf(
        "ERROR!!! The engine did not take its lock file %s within %lu seconds: see its log "
        "vantrel.log",
        foundation::JoinPath(state.install_directory, foundation::kEngineLockFile).c_str(),
        static_cast<unsigned long>(kEngineReadyMs / 1000)));
  }
}

void SendReloadSignal() {
  foundation::UniqueHandle event(CreateEvent(nullptr, FALSE, FALSE, kUpdateEventName));
  if (!event.valid()) {
    ConsoleLog(foundation::ErrorText());
    ConsoleLog("Error: OpenEvent Fails...Reason above");
    return;
  }
  SetEvent(event.get());
}

int RunConsole(int argc, char** argv, bool edit_mode) {
  foundation::UniqueHandle mutex(
      foundation::CreateNamedMutex(nullptr, true, kMutexName, true, false));
  const DWORD mutex_error = GetLastError();
  if (!mutex.valid()) {
    ConsoleLog(foundation::StringPrintf("Unable to Create Mutex return code = %lu",
                                        static_cast<unsigned long>(mutex_error)));
    std::fprintf(stderr, "vtsetup: cannot make the named mutex %s (error %lu): exiting\n",
                 kMutexName, static_cast<unsigned long>(mutex_error));
    return kExitAlreadyRunning;
  }
  if (mutex_error == ERROR_ALREADY_EXISTS) {
    ConsoleLog("VTSETUP is already running...");
    std::fputs("vtsetup: another vtsetup is running on this machine: exiting\n", stderr);
    return kExitAlreadyRunning;
  }

  ConsoleState state;
  state.edit_mode = edit_mode;
  if (STATUS status = NotesInitExtended(argc, argv)) {
    LogNotesFailure(status);
    ShowMessage(nullptr, "Unable to Initialize Notes!", "introwin", MB_OK | MB_ICONERROR);
  } else {
    state.notes_program_directory = NotesProgramDirectory();
    char data[MAXPATH] = {};
    OSGetDataDirectory(data);
    state.data_directory = data;
    SetUpInstallation(state);
    ConsoleLog(Stars());
    ConsoleLog("Vantrel for Lotus Notes");
    if (edit_mode) {
      std::string build;
      if (foundation::ReadProductValue(foundation::kProductSubkey, "LotusNotesBuild", build, "") ==
          ERROR_SUCCESS)
        ConsoleLog("Build: " + build);
    }
    ConsoleLog(Stars());
    if (edit_mode) {
      RunEditMode(state);
    } else {
      RunSetupMode(state);
    }
    NotesTerm();
  }
  ConsoleLog("Releasing Mutux Now...");
  foundation::ReleaseNamedMutex(mutex.get());
  return 0;
}

}  // namespace vtsetup
