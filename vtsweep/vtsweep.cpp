// NAME
//      vtsweep - scan the documents stored in Notes databases with the engine
//
// SYNOPSIS
//      vtsweep            interactive run, with the progress window
//      vtsweep "1"        scheduled run (any argument), as the schedule runner starts it
//      vtsweep --help     this synopsis
//
// DESCRIPTION
//      vtsweep hands every selected document of the selected databases to the scanning
//      engine and applies its verdict: the document is left alone, cleaned (the infected
//      attachments removed, the body replaced by the engine's), neutered (the body replaced
//      by a notice, the attachments removed), deleted, and copied into the quarantine
//      databases, as the engine's answer says. A document the engine does not ask to
//      change is not written back.
//
//      Which databases: the settings document of vtsched.nsf (form "Scheduledfrm" for a
//      scheduled run, "Mannualfrm" for an interactive one, whose items begin with "M_").
//      With SelectedDBFile "Y" every entry of DBFiletxt (';'-separated) naming a .nsf or
//      .ntf file is scanned; with DataDBFile "Y" the folder DBFile is walked (into its
//      subfolders with SubDir "Y") and every .nsf file in it is scanned, except, with
//      Exclude "Y", those matching an entry of Exclude_DB or of the registry value
//      AlwaysExcluded. Databases and folders are taken below the Notes data directory;
//      an entry leading elsewhere is logged and skipped. Which documents: every posted
//      document when ContentControlEnabled is 1, else every posted document with
//      attachments.
//
//      One document at a time becomes a job in IN/ScanDatabase (its attachments, its body
//      text, the raw MIME text, and the header "<note ID>.hdr"), published by scannow.txt;
//      the engine answers in Out/ScanDatabase and sets the event "scandatabasex". A
//      document not answered within TimeOut seconds is left as it is; at the fourth
//      unanswered document (each answer takes one off the count) the run stops.
//
//      A scheduled run shows no window unless the settings document has Option "E..."
//      and ShowScanWindow "Y". Only one vtsweep runs at a time.
//
//      The window closes as soon as the scan ends. An interactive run in a terminal then
//      prints what it did on standard output: the databases and mails scanned, the mails
//      with a virus, the mails the engine did not answer, and the path of its log (also
//      when the user stopped it with Exit).
//
// FILES
//      <install>/vantrel.ini        [General] ReportDirectory, ScanDir, AdminEmailId,
//                                   ContentControlEnabled
//      <install>/maildisp.lck       the engine's lock file: no engine, no run
//      <install>/<ScanDir>/ScanDatabase, <install>/Out/ScanDatabase
//                                   the job and its answer; removed at the end of the run
//      <install>/<ScanDir>/Virnames.txt
//                                   the names the engine found, logged per document
//      <data>/vtsched.nsf           the settings document
//      <data>/<VTADMINDB entries>   the quarantine databases
//      <install>/Quarantine/        originals kept when no quarantine copy could be made
//      named objects                "vtsweep_mutex" (one run at a time), "scandatabasex"
//
// CONFIGURATION
//      Registry, HKLM\SOFTWARE\Veltrane\Vantrel For Lotus Notes: TimeOut (seconds per
//      document, default 60), VTADMINDB (quarantine databases, comma-separated),
//      AlwaysExcluded, LotusNotesBuild (shown in the banner and the About box).
//
// DIAGNOSTICS
//      The log: <ReportDirectory>/dd-mm-yyyy.log (scheduled runs of that day, appended) or
//      <ReportDirectory>/vtsweep.log (an interactive run, started afresh unless another
//      vtsweep is running). Exit status 0 after a run; 1 when the product is not
//      installed, the report directory is not set, the engine is not running, or another
//      vtsweep runs; 2 when the run was stopped by the engine's time-outs or left an
//      infected document unchanged because no quarantine copy of it could be kept (the
//      log's last lines say which, with the number of mails not scanned).

#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <thread>

#include "foundation/config.h"
#include "foundation/log.h"
#include "foundation/log_settings.h"
#include "foundation/named_objects.h"
#include "foundation/utilities.h"
#include "platform/notes/notes.h"
#include "platform/win32/windows.h"
#include "vtsweep/driver.h"
#include "vtsweep/progress_window.h"
#include "vtsweep/settings.h"
#include "vtsweep/sweep_log.h"

namespace {

constexpr const char* kSingleInstanceMutex = "vtsweep_mutex";
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitIncomplete = 2;

// True while another vtsweep holds the single-instance mutex.
bool AnotherRunIsActive() {
  foundation::UniqueHandle other(
      OpenMutex(SYNCHRONIZE, FALSE, foundation::QualifyObjectName(kSingleInstanceMutex).c_str()));
  return other.valid();
}

// The closing text of an interactive run, on standard output once the terminal is back.
void TellTheTerminal(const vtsweep::SweepRun& run, bool stopped_by_user) {
  vtsweep::RunOutcome outcome;
  outcome.databases = run.totals.databases;
  outcome.documents = run.totals.documents;
  outcome.disinfected = run.totals.disinfected;
  outcome.unanswered = run.totals.unanswered;
  outcome.stopped_by_user = stopped_by_user;
  // The time-out count is the scan thread's: read only once it has finished.
  outcome.engine_stopped_answering = !stopped_by_user && run.timeouts >= vtsweep::kTimeoutLimit;
  outcome.nothing_selected = !run.settings.list_selected && !run.settings.folder_selected;
  outcome.log_path = vtsweep::ScanLogPath();
  std::fputs(vtsweep::ClosingText(outcome).c_str(), stdout);
  std::fflush(stdout);
}

int Run(int argc, char** argv) {
  // The global run state outlives the scan thread, which a user stop leaves running.
  static vtsweep::SweepRun run;
  vtsweep::Settings& settings = run.settings;
  settings.scheduled = argc > 1;
  settings.show_window = !settings.scheduled;

  if (!foundation::FindInstallDirectory(settings.install_dir)) {
    std::fputs("Unable to get Vantrel Path.\n", stderr);
    return kExitFailed;
  }
  settings.report_dir = foundation::ReadReportDirectory(settings.install_dir).substr(0, MAX_PATH);
  if (settings.report_dir.empty()) {
    std::fputs("vtsweep: [General] ReportDirectory of vantrel.ini is not set.\n", stderr);
    return kExitFailed;
  }
  foundation::AddBackslash(settings.report_dir);
  SYSTEMTIME start{};
  GetLocalTime(&start);
  // A second interactive start must not empty the log of the run it is about to refuse.
  vtsweep::OpenScanLog(settings.report_dir, settings.scheduled, start, AnotherRunIsActive());
  // Lines of the shared units (body text, uudecoding) go to the report directory too.
  foundation::InitLog(foundation::ReadLogSettings(settings.install_dir, "vtsweep"));

  if (!foundation::IsEngineRunning(settings.install_dir)) {
    vtsweep::WriteLog("Vantrel is Disabled.", vtsweep::kLogStamped);
    // Whoever started it by hand sees why nothing was scanned, not only the log.
    std::fprintf(stderr,
                 "vtsweep: Vantrel is Disabled: the engine is not running (no lock on %s); "
                 "nothing was scanned\n",
                 foundation::JoinPath(settings.install_dir, "maildisp.lck").c_str());
    return kExitFailed;
  }

  foundation::UniqueHandle instance(
      foundation::CreateNamedMutex(nullptr, true, kSingleInstanceMutex, false, false));
  if (instance.valid() && GetLastError() == ERROR_ALREADY_EXISTS) {
    if (!settings.scheduled)
      MessageBox(nullptr, "Sorry! Application is running already!!!", "Error",
                 MB_OK | MB_ICONERROR);
    if (!CloseHandle(instance.release())) {
      vtsweep::LogSystemError();
      vtsweep::WriteLog("Error: Release Mutux\t Unable to ReleaseMutex Here Reason above",
                        vtsweep::kLogStamped);
    }
    return kExitFailed;
  }

  const STATUS notes = NotesInitExtended(argc, argv);
  vtsweep::ReadStoreSettings(settings);
  if (notes == NOERROR) {
    char data_dir[MAXPATH] = {};
    OSGetDataDirectory(data_dir);
    settings.data_dir = data_dir;
    vtsweep::ReadSettingsDocument(settings);
  } else {
    MessageBox(nullptr, "Unable to Initialize Notes!", "introwin", MB_OK);
    return kExitFailed;
  }

  HWND window = settings.show_window ? vtsweep::CreateProgressWindow(run) : nullptr;
  // In a terminal the window is gone the moment the scan ends; the user is told afterwards
  // what the run did and where its log is.
  const bool tell_the_terminal =
      window != nullptr && !settings.scheduled && VtWindowCurrentMode() == VtWindowMode::kTerminal;
  vtsweep::WriteBanner(settings.build, window != nullptr);
  std::thread scan([] { vtsweep::RunScanThread(run, vtsweep::EndProgressWindow); });
  if (window != nullptr) {
    vtsweep::RunProgressWindow(window);
    if (!run.done) {
      // The user stopped the run (or closed the window before the scan was under way): the
      // process ends at once, the scan thread with it, and the job and result directories
      // stay as they are. Every log line is already on disk.
      scan.detach();
      VtWindowShutdown();
      if (tell_the_terminal) TellTheTerminal(run, true);
      std::_Exit(kExitOk);
    }
  } else {
    while (!run.done) Sleep(5);
  }
  scan.join();
  NotesTerm();
  if (tell_the_terminal) {
    VtWindowShutdown();
    TellTheTerminal(run, false);
  }
  return vtsweep::RunEndedWhole(run) ? kExitOk : kExitIncomplete;
}

}  // namespace

int main(int argc, char** argv) {
  // Any other argument asks for a scheduled run, as the runner starts it with "1".
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::printf(
        "usage: vtsweep        scan the databases of the Mannualfrm settings, with the window\n"
        "       vtsweep \"1\"    scheduled run (the Scheduledfrm settings), as vtrunner starts it\n");
    return 0;
  }
  try {
    return Run(argc, argv);
  } catch (...) {
    vtsweep::WriteLog("Error: vtsweep caught an unexpected failure", vtsweep::kLogStamped);
    return kExitFailed;
  }
}
