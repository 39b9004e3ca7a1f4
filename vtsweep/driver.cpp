// driver.cpp - see driver.h.
#include "vtsweep/driver.h"

#include <cstdio>
#include <cstdlib>

#include "foundation/named_objects.h"
#include "foundation/utilities.h"
#include "platform/win32/windows.h"
#include "vtnotes/kept_mail.h"
#include "vtsweep/document_scan.h"
#include "vtsweep/watchdog_open.h"

namespace vtsweep {
namespace {

constexpr const char* kAllPostedFormula = "SELECT PostedDate != NULL";
constexpr const char* kPostedWithAttachmentsFormula = "SELECT @Attachments & PostedDate != NULL";

// Creates a spool directory; one that cannot be made is cleared away and made again.
void MakeSpoolDirectory(const std::string& path, const char* failure_line) {
  if (CreateDirectory(path.c_str(), nullptr)) return;
  if (failure_line != nullptr) WriteLog(failure_line, kLogStamped);
  CleanDirectory(path, true);
  Sleep(100);
  CreateDirectory(path.c_str(), nullptr);
}

bool FolderIdentity(const std::string& folder, std::pair<DWORD, unsigned long long>* identity_r) {
  foundation::UniqueHandle handle(CreateFile(folder.c_str(), GENERIC_READ,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!handle.valid() || !GetFileInformationByHandle(handle.get(), &info)) return false;
  *identity_r = {info.dwVolumeSerialNumber,
                 (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
  return true;
}

bool HasExtension(const std::string& name, const char* extension) {
  const std::size_t dot = name.rfind('.');
  return dot != std::string::npos && _stricmp(name.c_str() + dot + 1, extension) == 0;
}

void ScanFolderCandidate(SweepRun& run, const std::string& path) {
  const Settings& settings = run.settings;
  // A link in the folder may lead to a database elsewhere.
  std::string real;
  if (!RealPathBelow(settings.data_dir, path, &real)) {
    LogF(kLogStamped, "Database %s is outside the data directory %s. Skipped.", path.c_str(),
         settings.data_dir.c_str());
    return;
  }
  if (settings.exclude) {
    // Exclusion on without an exclusion list read (the item is missing) leaves nothing to
    // scan; an empty list read leaves the always-excluded databases alone.
    if (!settings.exclude_list_read) {
      if (!run.exclusion_without_list_logged)
        WriteLog("Exclusion is on but no exclusion list (Exclude_DB) was read: no database of "
                 "the folder is scanned",
                 kLogStamped);
      run.exclusion_without_list_logged = true;
      return;
    }
    if (MatchesList(path, settings.always_excluded)) return;
    if (MatchesList(path, settings.exclude_list)) {
      LogF(kLogStamped, "Databse %s is Excluded By Exclude Database Rule", path.c_str());
      return;
    }
  }
  (void)ScanDatabaseFile(run, path, real);
}

}  // namespace

bool RunEndedWhole(const SweepRun& run) {
  return run.timeouts < kTimeoutLimit && run.totals.kept_unchanged == 0;
}

void WriteEndOfRun(const SweepRun& run) {
  const int not_scanned = run.totals.not_scanned;
  if (not_scanned > 0 || run.totals.kept_unchanged > 0)
    LogF(kLogStamped,
         "Run totals: Database(s) = %d, Mail(s) Scanned = %d, Mail(s) Not Scanned = %d, "
         "Infected Mail(s) Left Unchanged = %d",
         run.totals.databases.load(), run.totals.documents.load(), not_scanned,
         run.totals.kept_unchanged.load());
  if (run.scanning) {
    WriteLog("User Abort the Scanning", kLogStamped);
  } else if (run.timeouts >= kTimeoutLimit) {
    LogF(kLogStamped, "Scanning stopped: Vantrel did not answer. %d Mail(s) Not Scanned.",
         not_scanned);
  } else if (run.totals.kept_unchanged > 0) {
    LogF(kLogStamped,
         "Scanning completed with %d infected Mail(s) left unchanged: no quarantine copy could "
         "be kept.",
         run.totals.kept_unchanged.load());
  } else {
    WriteLog("Program completed successfully.", kLogStamped);
  }
}

void BuildScanPaths(SweepRun& run) {
  const Settings& settings = run.settings;
  ScanPaths& paths = run.paths;
  paths.scan_dir = settings.scan_dir_name.empty()
                       ? std::string()
                       : foundation::JoinPath(settings.install_dir, settings.scan_dir_name);
  paths.job_dir = foundation::JoinPath(paths.scan_dir, kScanDatabaseDir);
  paths.result_base = foundation::JoinPath(settings.install_dir, kResultBaseDir);
  paths.result_dir = foundation::JoinPath(paths.result_base, kScanDatabaseDir);
}

STATUS ScanDatabaseFile(SweepRun& run, const std::string& display, const std::string& path) {
  if (run.window.show_count != nullptr) run.window.show_count(0);
  const char* formula_text = run.settings.content_control && !run.settings.install_dir.empty()
                                 ? kAllPostedFormula
                                 : kPostedWithAttachmentsFormula;
  if (path.empty()) return NOERROR;
  LogF(kLogStamped, "Scanning %s Database...", display.c_str());
  run.counters = DatabaseCounters{};
  if (run.window.show_database != nullptr) run.window.show_database(display);

  DbHandle db = OpenDatabaseWithWatchdog(path);
  if (!db.valid()) {
    WriteLog("unable to open database in NSFOpenx", kLogStamped);
    return NOERROR;
  }
  FORMULAHANDLE formula = NULLHANDLE;
  WORD formula_len = 0;
  STATUS compile_error = NOERROR;
  STATUS status = NSFFormulaCompile(nullptr, 0, formula_text, MAXWORD, &formula, &formula_len,
                                    &compile_error, nullptr, nullptr, nullptr, nullptr);
  if (status != NOERROR) {
    WriteLog("Error in NSFFormulaCompile", kLogStamped);
    LogNotesStatus(status);
    return ERR(status);
  }
  if (run.window.set_total != nullptr) {
    // The window's progress bar needs the number of documents before the first one.
    int total = 0;
    auto count = [](void* context, SEARCH_MATCH* match, ITEM_TABLE*) -> STATUS {
      if (match->SERetFlags & SE_FMATCH) ++*static_cast<int*>(context);
      return NOERROR;
    };
    if (NSFSearch(db.get(), formula, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr, count, &total,
                  nullptr) == NOERROR)
      run.window.set_total(total);
  }
  ++run.totals.databases;
  DocumentSearch search{&run, db.get()};
  status = NSFSearch(db.get(), formula, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr, ScanDocument,
                     &search, nullptr);
  (void)OSMemFree(formula);
  if (status != NOERROR) {
    WriteLog("Error Here", kLogStamped);
  } else if (run.timeouts >= kTimeoutLimit) {
    LogTimeoutStop(run);
  } else {
    (void)db.Close();
    WriteDatabaseSummary(display, run.counters);
    return NOERROR;
  }
  (void)db.Close();
  return ERR(status);
}

void ScanDatabaseList(SweepRun& run) {
  std::string list = run.settings.database_list;
  std::size_t start = 0;
  while (start < list.size()) {
    std::size_t semicolon = list.find(';', start);
    if (semicolon == std::string::npos) semicolon = list.size();
    const std::string raw = list.substr(start, semicolon - start);
    start = semicolon + 1;
    const std::string entry = CleanListEntry(raw);
    if (entry.empty()) continue;
    if (!IsDatabaseName(entry)) {
      LogF(kLogStamped, "Database %s is not a Notes database. Skipped.", entry.c_str());
      continue;
    }
    if (run.timeouts >= kTimeoutLimit) {
      LogTimeoutStop(run);
      return;
    }
    std::string path;
    std::string real;
    if (!ResolveBelow(run.settings.data_dir, entry, &path) ||
        !RealPathBelow(run.settings.data_dir, path, &real)) {
      LogF(kLogStamped, "Database %s is outside the data directory %s. Skipped.", entry.c_str(),
           run.settings.data_dir.c_str());
      continue;
    }
    (void)ScanDatabaseFile(run, entry, real);
  }
}

void WalkFolder(SweepRun& run, const std::string& folder, VisitedFolders& visited) {
  LogF(kLogStamped, "Scanning %s folder", folder.c_str());
  std::string written;
  std::string path;
  if (!ResolveBelow(run.settings.data_dir, folder, &written) ||
      !RealPathBelow(run.settings.data_dir, written, &path)) {
    LogF(kLogStamped, "Folder %s is outside the data directory %s. Skipped.", folder.c_str(),
         run.settings.data_dir.c_str());
    return;
  }
  std::pair<DWORD, unsigned long long> identity;
  if (!FolderIdentity(path, &identity)) {
    LogSystemError();
    LogF(kLogStamped, "Unable to read folder %s. Reason above", folder.c_str());
    return;
  }
  if (!visited.insert(identity).second) {
    LogF(kLogStamped, "Folder %s leads back to a folder scanned already. Skipped.", folder.c_str());
    return;
  }
  WIN32_FIND_DATA found{};
  HANDLE search = FindFirstFile(foundation::JoinPath(path, "*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::string name = found.cFileName;
    if (name == "." || name == "..") continue;
    const std::string entry = foundation::JoinPath(path, name);
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (run.settings.subfolders) WalkFolder(run, entry, visited);
      continue;
    }
    // Templates are scanned only when the list names them.
    if (HasExtension(name, "nsf")) ScanFolderCandidate(run, entry);
  } while (FindNextFile(search, &found));
  FindClose(search);
}

void RunScanThread(SweepRun& run, void (*quit)()) {
  if (NotesInitThread() != NOERROR) {
    std::fputs("\nError initializing Notes.\n", stderr);
    std::exit(1);
  }
  BuildScanPaths(run);
  const ScanPaths& paths = run.paths;
  MakeSpoolDirectory(paths.result_dir, nullptr);
  MakeSpoolDirectory(paths.job_dir, "Creating Directory...");
  if (run.settings.admins.empty()) ReadAdminTable(run.settings);
  // Quarantine copies and kept originals are made by the extension's own steps.
  if (!vtnotes::PrepareCopySteps())
    WriteLog("Unable to prepare the quarantine copy: the install directory is unknown", kLogStamped);
  run.timeout_ms = ReadTimeoutSeconds() * 1000;

  foundation::UniqueHandle event(CreateEvent(nullptr, FALSE, FALSE, kScanEventName));
  if (!event.valid()) {
    LogSystemError();
    LogF(kLogStamped, "Error: %s Unable to Create Event...Reason above", kScanEventName);
  } else {
    run.scan_event = event.get();
    run.scanning = true;
    if (run.settings.list_selected) ScanDatabaseList(run);
    if (run.settings.folder_selected) {
      VisitedFolders visited;
      WalkFolder(run, run.settings.folder, visited);
      WriteLog("folder scanning over", kLogStamped);
    }
    run.scanning = false;
    run.scan_event = nullptr;
    if (!CloseHandle(event.release())) {
      LogSystemError();
      LogF(kLogStamped, "Error: %s Close Event Fails...Reason above.", paths.result_dir.c_str());
    }
  }
  CleanDirectory(paths.job_dir, true);
  CleanDirectory(paths.result_dir, true);
  WriteEndOfRun(run);
  run.done = true;
  NotesTermThread();
  if (quit != nullptr) quit();
}

}  // namespace vtsweep
