// lifecycle.cpp - MainEntryPoint, the reload thread and TrackerTerm.
//
// Start-up happens once per router task: settings with their defaults written back, the
// named objects, the IN and OUT spool directories, the installation identifier, the two
// background threads, and last the hooks. Scanning is on whenever an engine runs, whichever
// started first: start-up finds an engine that is already up, and an engine that comes up
// later sets "UpdateEvent", which start-up made before it looked. Any failure before the hooks are stored leaves
// the router running without the extension, and the entry reports success either way.
#include <cctype>
#include <chrono>
#include <thread>

#include "foundation/log.h"
#include "foundation/named_objects.h"
#include "foundation/utilities.h"
#include "platform/win32/windows.h"
#include "vtnotes/extension_state.h"
#include "vtnotes/hooks.h"
#include "vtnotes/kept_mail.h"
#include "vtnotes/settings_store.h"
#include "vtnotes/spool.h"
#include "vtnotes/vtnotes_log.h"
#include "vtnotes/warnings.h"

namespace vtnotes {
namespace {

constexpr DWORD kReloadWaitMs = 200;
// TrackerTerm waits this long for hooks in flight and the threads before it gives up on
// them and closes the objects anyway.
constexpr DWORD kTermWaitMs = 30000;

void LogAdminTables() {
  std::vector<std::string> admins = State().AdminAddresses();
  std::vector<std::string> databases = State().QuarantineDatabases();
  for (std::size_t i = 0; i < admins.size() || i < databases.size(); ++i)
    Log("Admin ID = %s, Admin Database = %s", i < admins.size() ? admins[i].c_str() : "",
        i < databases.size() ? databases[i].c_str() : "");
}

bool CreateMutexInto(foundation::UniqueHandle& slot, const char* name) {
  HANDLE handle = nullptr;
  if (foundation::OpenMutexForUse(handle, false, name) != 0) return false;
  slot.reset(handle);
  return true;
}

// Empties and creates again the spool directory, as start-up and termination do. An IN
// directory that is the install directory itself (ScanDir empty) is never emptied.
bool RemakeSpoolDirectory(const std::string& path) {
  if (path != State().install_directory) DeleteTree(path, false);
  if (DirectoryExists(path)) return true;
  return CreateSpoolDirectory(path);
}

void ReloadSettings() {
  ExtensionState& state = State();
  Always("UpdateTrackerDLL Called...So reading from Registry");
  FillAdminLists();
  LogAdminTables();
  state.debug_level = ReadSettingNumber("VTDEBUG", "1", 0);
  {
    // The engine test and the flag change are one step under MyMutex, as in the note-open
    // hook's time-out branch: otherwise a hook that found the engine gone just before it
    // came back could clear the flag after this reload had set it, and scanning would stay
    // off although the engine runs.
    foundation::MutexHold hold(state.my_mutex.get());
    if (foundation::IsEngineRunning(state.install_directory)) {
      Event("Vantrel Started");
      state.log_buf_size = ReadSettingNumber("LogBufSize", "10000", 10000);
      foundation::SetLogBufSize(state.log_buf_size);
      ApplyTimeoutSetting();
      state.active = true;
    }
  }
  state.warn_when_disabled = ReadSettingNumber("VTDisableWarningToAdmin", "1", 1) != 0;
  state.warn_on_timeout = ReadSettingNumber("TimeOutWarningToAdmin", "1", 1) != 0;
  state.keep_out_jobs = ReadSettingNumber("DONOT_DELETE_OUT_DIR", "0", 0) != 0;
  ReadHoldSetting();
  Always("DoNotDeleteOutFolder = %d", state.keep_out_jobs ? 1 : 0);
}

// Waits on "UpdateEvent", which start-up made. The event resets itself when a wait takes
// it; it is not reset again after the reload, since a signal that arrives while the
// settings are being read (an engine coming up just then) would be lost with that reset.
DWORD WINAPI ReloadThread(LPVOID) {
  ExtensionState& state = State();
  try {
    for (;;) {
      DWORD result = WaitForSingleObject(state.update_event.get(), kReloadWaitMs);
      if (state.shutdown) return 0;
      if (result == WAIT_TIMEOUT) continue;
      if (result != WAIT_OBJECT_0) {
        SystemErrorLine();
        Log("ERROR!!! WaitforSingleObject Fails...Reason above");
        return 0;
      }
      ReloadSettings();
    }
  } catch (...) {
    Always("ERROR!!! in the settings reload thread");
  }
  return 0;
}

// Waits until the thread has ended (true) or the time is up.
bool JoinThread(foundation::UniqueHandle& thread, DWORD timeout_ms) {
  if (!thread.valid()) return true;
  bool ended = WaitForSingleObject(thread.get(), timeout_ms) == WAIT_OBJECT_0;
  thread.reset();
  return ended;
}

std::string ReadVantrelId() {
  std::string id = ReadIniValue(ProductIniPath(), "General", "VantrelID", "", 258);
  if (id.empty()) id = ReadIniFileValue(ProductIniPath(), "General", "VantrelID", 258);
  if (!id.empty()) return id;
  id = foundation::MakeId(true);
  Always("New VantrelID %s Created", id.c_str());
  Event("New VantrelID %s Created", id.c_str());
  WriteIniValue(ProductIniPath(), "General", "VantrelID", id);
  return id;
}

}  // namespace

bool PrepareCopySteps() {
  ExtensionState& state = State();
  state.install_directory = ReadInstallDirectory();
  if (state.install_directory.empty()) return false;
  state.out_directory = JoinPath(state.install_directory, "Out");
  state.vantrel_id = ReadVantrelId();
  FillAdminLists();
  return true;
}

bool IsRouterProgram() {
  char path[MAX_PATH] = {};
  if (GetModuleFileName(nullptr, path, sizeof path) == 0) return true;
  std::string name(path);
  std::size_t sep = name.find_last_of("/\\");
  if (sep != std::string::npos) name.erase(0, sep + 1);
  if (name.size() > 4 && lstrcmpi(name.c_str() + name.size() - 4, ".exe") == 0)
    name.resize(name.size() - 4);
  return lstrcmpi(name.c_str(), "nRouter") == 0;
}

STATUS EntryPoint(DBHOOKVEC* vector) {
  try {
    if (!IsRouterProgram()) return NOERROR;
    ExtensionState& state = State();
    if (state.started) return NOERROR;  // one start per task
    ResetState();

    state.install_directory = ReadInstallDirectory();
    if (state.install_directory.empty()) {
      Always("ERROR!!! InstallDirectory Not Found !!!");
      return NOERROR;
    }
    state.report_directory = ReadIniValue(ProductIniPath(), "General", "ReportDirectory", "",
                                          MAX_PATH - 1);

    std::string version = ReadIniFileValue(JoinPath(state.install_directory, kVersionIni),
                                           "General", "Version", 260);
    WriteProductValue("LotusNotesBuild", version.substr(0, 5));
    WriteProductValue("AdminCount", "20");
    WriteProductValue("MailBox", "20");

    ReadStartupSettings();
    foundation::LogSettings log_settings;
    log_settings.report_directory = state.report_directory;
    // Empty: the log lines name the running program, the router that loaded the library.
    log_settings.program_name.clear();
    log_settings.debug_level = StartupVerbosity(state.debug_level);
    log_settings.log_buf_size = state.log_buf_size;
    foundation::InitLog(log_settings);

    if (!CreateMutexInto(state.g_mutex, "gMutex")) {
      SystemErrorLine();
      Always("ERROR!!! Unable to Create First Mutex... Reason Above...");
      return NOERROR;
    }

    std::string scan_dir = ReadIniValue(ProductIniPath(), "General", "ScanDir", "", MAX_PATH - 1);
    state.in_directory =
        scan_dir.empty() ? state.install_directory : JoinPath(state.install_directory, scan_dir);
    state.out_directory = JoinPath(state.install_directory, "Out");
    // The reload event exists before the engine is looked for: an engine that comes up
    // after the look sets it (through UpdateDLL) and the reload thread turns scanning on;
    // one that came up before is found by the look. Made later, the event could miss an
    // engine's signal, which is lost when nobody holds the event open.
    state.update_event.reset(CreateEvent(nullptr, FALSE, FALSE, "UpdateEvent"));
    if (!state.update_event.valid()) {
      SystemErrorLine();
      Log("ERROR!!! Unable to Create Event....Reason above");
    }
    if (foundation::IsEngineRunning(state.install_directory)) {
      state.active = true;
      DeleteTree(state.out_directory, false);
      // The engine's IN is kept as it is; it is only made when it is missing altogether.
      if (!DirectoryExists(state.in_directory)) (void)CreateSpoolDirectory(state.in_directory);
    } else {
      state.active = false;
      if (!RemakeSpoolDirectory(state.in_directory)) {
        SystemErrorLine();
        Always("ERROR!!! Unable to Create IN Directory %s reason above",
               state.in_directory.c_str());
        return NOERROR;
      }
      DeleteTree(state.out_directory, false);
    }
    if (!DirectoryExists(state.out_directory) && !CreateSpoolDirectory(state.out_directory)) {
      SystemErrorLine();
      Always("ERROR!!! Unable to Create OUT Directory %s reason above",
             state.out_directory.c_str());
      return NOERROR;
    }

    bool found = false;
    state.notes_directory = ReadProductValue("LotusNotesPath", &found, MAX_PATH - 1);
    if (state.notes_directory.empty()) state.notes_directory = "\\lotus\\domino";

    Always("MainEntryPoint Called...");
    FillAdminLists();
    LogAdminTables();

    if (!CreateMutexInto(state.mailbox_mutex, "MailBoxMutex")) {
      SystemErrorLine();
      Always("ERROR!!! Unable to Create MailBox Mutex... Reason Above...");
      return NOERROR;
    }
    if (!CreateMutexInto(state.log_mutex, "LogFile") ||
        !CreateMutexInto(state.note_update_mutex, "MutexNoteUpdate") ||
        !CreateMutexInto(state.my_mutex, "MyMutex") ||
        !CreateMutexInto(state.statistics_mutex, "statistics_mutex") ||
        !CreateMutexInto(state.skipped_mutex, "TotalSkippedMail_mutex")) {
      SystemErrorLine();
      Always("ERROR!!! Unable to Create First Mutex... Reason Above...");
      return NOERROR;
    }
    state.stop_event.reset(CreateEvent(nullptr, TRUE, FALSE, nullptr));
    ResetStatistics();
    state.vantrel_id = ReadVantrelId();

    // The threads start last of all the objects, so that they never see a half-made state
    // (the deletion thread takes MutexNoteUpdate and gMutex at once).
    Sleep(50);
    if (state.update_event.valid()) {
      state.reload_thread.reset(CreateThread(nullptr, 0, ReloadThread, nullptr, 0, nullptr));
      if (!state.reload_thread.valid()) {
        SystemErrorLine();
        Always("ERROR!!! Unable to Create a Thread...Reason above.");
      }
    }
    state.deletion_thread.reset(CreateThread(nullptr, 0, ProcessMAILBOX, nullptr, 0, nullptr));
    if (state.deletion_thread.valid()) {
      Always("Created MAILBOX Thread [1]...");
    } else {
      SystemErrorLine();
      Always("ERROR!!! Unable to Create a MAILBOX Thread...Reason above.");
    }

    char notes_version[MAXSPRINTF] = {};
    OSLoadString(NULLHANDLE, STR_VERSION_TEXT, notes_version, sizeof notes_version);
    Always("Lotus Notes Version: %s", notes_version);
    Always("VTNotes Version: %s.", kVersionText);

    state.started = true;
    vector->Term = Term;
    vector->NoteOpen = NoteOpen;
    vector->NoteUpdate = NoteUpdate;
  } catch (...) {
    Always("ERROR!!! in MainEntryPoint");
  }
  return NOERROR;
}

STATUS Term(DBHOOKVEC*) {
  try {
    if (!IsRouterProgram()) return NOERROR;
    ExtensionState& state = State();
    if (!state.started) return NOERROR;
    Always("Exiting Vantrel Process...");
    Event("Router Shutdown Process....");

    state.shutdown = true;
    if (state.stop_event.valid()) SetEvent(state.stop_event.get());
    // Hooks return at once once the flag is set; those already running finish their mail.
    DWORD waited = 0;
    while (state.hooks_in_flight.load() > 0 && waited < kTermWaitMs) {
      Sleep(10);
      waited += 10;
    }
    bool reload_ended = JoinThread(state.reload_thread, kTermWaitMs);
    bool deletion_ended = JoinThread(state.deletion_thread, kTermWaitMs);
    if (deletion_ended) {
      Always("MailBox Thread has been Killed!!!");
    } else {
      Always("ERROR!!! MailBox Thread has NOT been Killed***Reason above***");
    }
    if (!reload_ended) Always("ERROR!!! the settings reload thread has not ended");

    bool in_remade = true;
    if (!foundation::IsEngineRunning(state.install_directory)) {
      state.active = false;
      in_remade = RemakeSpoolDirectory(state.in_directory);
      if (!in_remade) {
        Always("ERROR!!! Unable to Create IN Directory %s bcz error code = %lu",
               state.in_directory.c_str(), static_cast<unsigned long>(GetLastError()));
      }
    }
    // A spool that could not be made again is left as it is, OUT included: the next
    // start-up empties OUT in any case.
    if (in_remade) {
      if (RemakeSpoolDirectory(state.out_directory)) {
        Always("Exited Vantrel Process");
        Event("Mail Router Shutdown");
      } else {
        Always("ERROR!!! Unable to Create OUT Directory %s bcz error code = %lu",
               state.out_directory.c_str(), static_cast<unsigned long>(GetLastError()));
      }
    }
    {
      // Jobs still remembered hold their job mutexes; they go with the list.
      foundation::MutexHold hold(state.g_mutex.get(), 4000);
      state.job_list.Clear();
    }
    foundation::CloseLog();
    ResetState();
  } catch (...) {
    Always("ERROR!!! in TrackerTerm");
  }
  return NOERROR;
}

}  // namespace vtnotes
