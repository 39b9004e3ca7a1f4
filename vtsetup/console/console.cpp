// console.cpp - start-up, the log and the settings the console writes.
#include "vtsetup/console/console.h"

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
  }
  EnsureInstallationId(state);
  const std::string engine = foundation::JoinPath(state.install_directory, kEngineProgram);
  const std::string marker = foundation::JoinPath(state.install_directory, kFirstTimeMarker);
  if (foundation::FileProbe(engine) != 0 || foundation::FileProbe(marker) == 0) return;
  if (DWORD error = vtrunner::LaunchProgram(engine, vtrunner::LaunchWait::kUntilEnd)) {
    SetLastError(error);
    ConsoleLog(foundation::ErrorText());
    ConsoleLog("ERROR!!! Unable to start " + engine + ". Reason above");
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
    return kExitAlreadyRunning;
  }
  if (mutex_error == ERROR_ALREADY_EXISTS) {
    ConsoleLog("VTSETUP is already running...");
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
