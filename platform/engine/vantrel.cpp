// NAME
//      vantrel - the scanning engine: answers the scan jobs of the spool
//
// SYNOPSIS
//      vantrel [--root DIR] [--threads N] [--no-scan] [--no-system-db]
//              [--system-db DIR] [--signatures DIR] [--rescan-ms N] [--verbose]
//
// DESCRIPTION
//      vantrel stands in the engine's place on a machine (a root directory, VT_SYSROOT or
//      --root). It watches the IN spool directory, scans every job published there with
//      libclamav and answers each in the OUT spool directory, then sets the job's event so
//      that the waiter in the mail router (or the database scanner) wakes.
//
//      With [Engine] Backend=clamd in engine.ini, the files are scanned by a pool of ClamAV
//      daemons (clamd) instead of libclamav in this process: each file's bytes are sent to
//      one daemon with the INSTREAM command, so the daemons may run on other hosts and need
//      no access to the spool. Files are spread over the pool; a daemon that fails or stays
//      silent is passed over until, after a back-off, it answers PING again; a file that no
//      daemon scanned is answered with error.hdr, never as clean. The answers and the spool
//      protocol are the same with either scanner.
//
//      A real-time job is the directory IN/<JobId>, published when its header 0.hdr
//      appears; its answer goes to OUT/<JobId> and the event "<jobid>x" (lower case) is
//      set. A database-scanner job is IN/ScanDatabase, published when scannow.txt appears
//      beside its "<NoteID>.hdr" header (the newest one is read); its answer goes to
//      OUT/ScanDatabase, the names found to IN/Virnames.txt, and "scandatabasex" is set.
//
//      Every file the header names is scanned (the body, each attachment), and 0.bdx, the
//      raw MIME text, when the job directory holds one. Archives (zip and others), mail
//      structure and documents are opened. Jobs run on a pool of worker threads.
//
//      The answer: a clean mail gets the result header 0.hd0 (and disclaim.txt when a
//      disclaimer is set); an infected one gets, by [Infected] Action, 0.hd0 alone
//      (leave), 0.hd0 naming a new body and the clean attachments with Scanover.txt
//      (clean), Delete.txt with the replacement text and Scanover.txt (neuter), or an empty
//      Delete.txt (delete); plus Forward.txt (quarantine copy) and one warning job for
//      each warning that is on (sender.hdx, recipients.hdx, admin.hdx, each with its .bdy
//      body). Paths in 0.hd0 and *.hdx are relative to OUT, written with a backslash. 0.hd0
//      is written last.
//
//      A job the engine cannot process is answered with error.hdr and no result header:
//      a header that cannot be read, is empty or holds no line the engine understands, a
//      header that names neither body nor attachment, a path that leaves the job
//      directory (an element "..", an absolute path, a drive letter, another job's
//      directory), a named file that is missing, is not a regular file (a link) or cannot
//      be scanned; a header with a line that is not "Key: value", a key the engine does not
//      know, or a key other than Attachment twice (a value from the mail that broke its
//      line). A job whose OUT directory does not exist has no waiter: it is not answered
//      and its event is not set. A job whose OUT directory already holds an answer (a
//      result header, or error.hdr) was answered before a restart and is left alone.
//
//      Content that cannot be scanned whole is a finding, not an error: a nesting, archive
//      depth, size, file-count or time limit reached, or an encrypted archive, is reported
//      under libclamav's heuristic name (Heuristics.Limits.Exceeded.MaxRecursion,
//      Heuristics.Encrypted.Zip, ...) and gets the [Infected] action like any virus: a mail
//      that could not be looked into is not known to be clean. Daemons report these names
//      only when their clamd.conf sets AlertExceedsMax and AlertEncryptedArchive.
//
//      A job is answered before the system stops waiting for it (the registry's TimeOut,
//      T): it is scanned for at most T/2 from when a worker takes it, and never past T/2 +
//      T/8 from when it was published; libclamav stops one file at T/4. What could not be
//      scanned in that time is the finding Heuristics.Limits.Exceeded.MaxScanTime. A
//      decompression bomb is a finding by libclamav's size limits ([Engine] MaxFileSizeMb,
//      MaxScanSizeMb), found before it is unpacked. A job that waited for a worker past
//      its whole budget is answered with error.hdr: it was not looked into at all.
//
//      Once it holds the lock file, the engine calls UpdateDLL of libvtupdate.so (beside
//      the program, or in ../lib), which sets "UpdateEvent": the real-time extension in
//      the router then finds the engine running and turns scanning on, whichever of the
//      two started first, and after every restart of the engine.
//
//      On SIGTERM or SIGINT the engine stops taking jobs, lets the running ones finish,
//      releases the lock file and exits 0. Jobs still waiting stay published in IN; the
//      next engine takes them.
//
// OPTIONS
//      --root DIR        the machine's root (default: VT_SYSROOT)
//      --threads N       worker threads (default 4)
//      --no-scan         answer every job as clean without scanning (benchmarks)
//      --no-system-db    do not load the system's ClamAV databases
//      --system-db DIR   the system's ClamAV databases (default /var/lib/clamav); a
//                        directory that is missing or holds no database is passed over
//      --signatures DIR  the signature directory (default <install>/signatures, which
//                        vtprovision --install fills)
//                        (--no-system-db, --system-db and --signatures concern libclamav;
//                        daemons read the databases of their own clamd.conf)
//      --rescan-ms N     interval of the safety-net rescan of IN (default 1000)
//      --verbose         one line for every job, clean ones included
//
// FILES
//      <root>/windows/win.ini    [Vantrel] InstallDirectory: the install directory
//                                (default <root>/vantrel; a relative value is below root)
//      <install>/vantrel.ini     [General] ScanDir: IN below the install directory (default
//                                empty: IN is the install directory); ReportDirectory:
//                                where vantrel.log goes; AdminEmailId and
//                                WarningMailsFromUser: defaults of the warnings
//      <install>/Out             OUT
//      <install>/maildisp.lck    held open without sharing while the engine takes jobs;
//                                removed at exit
//      <install>/engine.ini      the policy (below); re-read when it changes. The
//                                platform/engine/engine.ini of the source spells out
//                                the defaults and is what provisioning installs
//      <report>/vantrel.log      the diagnostic lines, as on standard error
//      <program dir>/libvtupdate.so   the updater (or ../lib/libvtupdate.so)
//      named objects: UpdateEvent (through UpdateDLL), each job's event
//      <install>/signatures/*.ndb  the project's test signatures: the EICAR test file, and
//                                the texts VANTREL-TEST-BODY-VIRUS, VANTREL-TEST-ATTACHMENT-
//                                VIRUS and VANTREL-TEST-ZIPPED-VIRUS
//
// CONFIGURATION
//      engine.ini; values are single lines, "\n" in a text is a line break, and {virus},
//      {files}, {subject}, {from}, {to} are replaced by the finding and the mail's fields.
//
//      [Infected]
//      Action=clean          leave | clean | neuter | delete
//      Quarantine=1          write Forward.txt: the system copies the mail to quarantine
//      NeuterText=...        body of a neutered mail (and content of its Delete.txt)
//      CleanNotice=...       appended to the body for every attachment removed
//      CleanedBodyText=...   replaces a mail text that itself carried the finding
//
//      [Warnings]
//      Sender=1, Recipients=0, Administrators=1    which warning mails to ask for
//      SenderSubject, SenderText, RecipientsSubject, RecipientsText,
//      AdministratorsSubject, AdministratorsText   their texts
//      AdminAddresses=       default: vantrel.ini [General] AdminEmailId
//      From=                 default: vantrel.ini [General] WarningMailsFromUser, else
//                            "Vantrel"
//      Directory=job         job: warning jobs in the OUT job directory; temp: in OUT/Temp
//                            (the system sends that folder's jobs and then removes it)
//
//      [Clean]
//      Disclaimer=           text appended to clean mail (empty: none)
//
//      [Engine]              read once, at the start
//      Backend=libclamav     libclamav | clamd
//      Servers=              clamd: the daemons, separated by commas or blanks; each
//                            host:port, [IPv6 address]:port or the path of a local socket
//      Balance=least-busy    least-busy (fewest files in flight) | round-robin
//      ConnectTimeoutMs=2000 a daemon that does not take the connection in time has failed
//      TimeoutMs=130000      ... or one silent this long while taking a file or scanning it
//      RetryMs=1000          first back-off of a failed daemon; doubles up to 30000
//      MaxFileSizeMb=512     libclamav: a larger file, or archive member, is a finding
//      MaxScanSizeMb=1024    libclamav: unpacking more from one file is a finding
//
//      The database scanner gets no warning jobs (it sends none); it logs Virnames.txt.
//
// DIAGNOSTICS
//      Lines on standard error and in <report>/vantrel.log: the start with the directories
//      and signature count and limits (or the daemons and whether each answers), a system ClamAV
//      directory without databases, the call of UpdateDLL, a daemon passed over and one
//      that answers again, one line per infected, refused or dropped job (every job with
//      --verbose), the stop. Exit status 0 after a signal; 1 when the root is not set, the
//      lock file is held by another engine or cannot be created, the signatures cannot be
//      loaded or [Engine] cannot be used; 2 for a bad command line.
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "platform/engine/answer_files.h"
#include "platform/engine/clam_scanner.h"
#include "platform/engine/clamd_pool.h"
#include "platform/engine/engine_config.h"
#include "platform/engine/engine_log.h"
#include "platform/engine/extension_signal.h"
#include "platform/engine/spool_watch.h"
#include "platform/win32/machine.h"
#include "platform/win32/windows.h"

namespace vtengine {
namespace {

struct Options {
  std::string root;
  std::string signatures;
  bool no_scan = false;
  std::string system_db = kSystemClamDatabases;  // empty: none
  bool verbose = false;
  WatchOptions watch;
};

void Usage() {
  std::fprintf(stderr,
               "usage: vantrel [--root DIR] [--threads N] [--no-scan] [--no-system-db]\n"
               "               [--system-db DIR] [--signatures DIR] [--rescan-ms N] [--verbose]\n");
}

bool ParseNumber(const char* text, int low, int high, int* value_r) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < low || value > high) return false;
  *value_r = static_cast<int>(value);
  return true;
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const bool has_value = i + 1 < argc;
    int number = 0;
    if (arg == "--root" && has_value) {
      options->root = argv[++i];
    } else if (arg == "--system-db" && has_value) {
      options->system_db = argv[++i];
    } else if (arg == "--signatures" && has_value) {
      options->signatures = argv[++i];
    } else if (arg == "--threads" && has_value && ParseNumber(argv[++i], 1, 256, &number)) {
      options->watch.threads = static_cast<unsigned>(number);
    } else if (arg == "--rescan-ms" && has_value && ParseNumber(argv[++i], 10, 3600000, &number)) {
      options->watch.rescan_ms = number;
    } else if (arg == "--no-scan") {
      options->no_scan = true;
    } else if (arg == "--no-system-db") {
      options->system_db.clear();
    } else if (arg == "--verbose") {
      options->verbose = true;
    } else {
      return false;
    }
  }
  return true;
}

// The lock file held without sharing: while it is open, the system's presence test fails
// to open it with a sharing violation and counts the engine as running.
class EngineLock {
 public:
  explicit EngineLock(std::string path) : path_(std::move(path)) {}
  ~EngineLock() {
    if (handle_ != INVALID_HANDLE_VALUE) {
      CloseHandle(handle_);
      DeleteFile(path_.c_str());
    }
  }
  EngineLock(const EngineLock&) = delete;
  EngineLock& operator=(const EngineLock&) = delete;

  [[nodiscard]] bool Acquire() {
    handle_ = CreateFile(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    return handle_ != INVALID_HANDLE_VALUE;
  }

 private:
  std::string path_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

void MakeDirectories(const std::string& path) {
  for (std::size_t pos = 1; pos != std::string::npos;) {
    pos = path.find('/', pos + 1);
    ::mkdir(path.substr(0, pos).c_str(), 0755);
  }
}

// The signatures installed with the product; never those of a source tree, which an
// installed engine must not depend on.
std::string SignatureDirectory(const Options& options, const SpoolPaths& paths) {
  if (!options.signatures.empty()) return options.signatures;
  return paths.install_dir + "/signatures";
}

// The log file in the report directory, made when missing. Without a report directory, or
// when it cannot be written, the lines go to standard error only, and the first says so.
void OpenEngineLog(const SpoolPaths& paths) {
  if (paths.report_dir.empty()) {
    LogLine("no [General] ReportDirectory in %s/vantrel.ini: logging to standard error only",
            paths.install_dir.c_str());
    return;
  }
  MakeDirectories(paths.report_dir);
  std::string error;
  if (!OpenLogFile(paths.report_dir + "/" + kEngineLogFileName, &error))
    LogLine("cannot open the log file %s: logging to standard error only", error.c_str());
}

void LogSystemDatabases(const ClamScanner& scanner, const std::string& system_dir) {
  switch (scanner.system_databases()) {
    case SystemDatabases::kEmpty:
      LogLine("the system's ClamAV database directory %s holds no database (ClamAV was never "
              "updated): scanning with the shipped signatures only",
              system_dir.c_str());
      break;
    case SystemDatabases::kLoaded:
      LogLine("loaded the system's ClamAV databases from %s", system_dir.c_str());
      break;
    case SystemDatabases::kNotAsked:
    case SystemDatabases::kAbsent:
      break;
  }
}

// libclamav with the installed signatures; null (logged) when they cannot be loaded.
std::unique_ptr<FileScanner> LoadClamScanner(const Options& options, const SpoolPaths& paths,
                                             const std::string& temp_dir, ScanLimits limits) {
  const std::string signature_dir = SignatureDirectory(options, paths);
  if (!IsDirectory(signature_dir)) {
    LogLine("cannot load signatures: no directory %s (vtprovision --install puts them there)",
            signature_dir.c_str());
    return nullptr;
  }
  auto scanner = std::make_unique<ClamScanner>();
  // One file's scan stops well before the waiter gives up; the time-out is the one at the
  // start (the budget of each job follows later changes).
  limits.max_scan_time_ms =
      static_cast<unsigned>(BudgetForTimeout(ReadWaiterTimeoutMs()).file_ms);
  scanner->set_limits(limits);
  std::string error;
  if (!scanner->Load(signature_dir, options.system_db, temp_dir, &error)) {
    LogLine("cannot load signatures: %s", error.c_str());
    return nullptr;
  }
  LogSystemDatabases(*scanner, options.system_db);
  if (!temp_dir.empty()) LogLine("libclamav's temporary files go to %s", temp_dir.c_str());
  LogLine(
      "loaded %u signatures from %s%s", scanner->signature_count(), signature_dir.c_str(),
      scanner->system_databases() == SystemDatabases::kLoaded ? " and the system databases" : "");
  LogLine("a file larger than %lld MB, unpacking to more than %lld MB or scanning longer than "
          "%u ms is a finding",
          limits.max_file_bytes >> 20, limits.max_scan_bytes >> 20, limits.max_scan_time_ms);
  return scanner;
}

// The scanner engine.ini [Engine] asks for; null (logged) when it cannot be had.
std::unique_ptr<FileScanner> MakeScanner(const Options& options, const SpoolPaths& paths) {
  BackendSettings settings;
  std::string error;
  if (!LoadBackendSettings(paths.install_dir + "/engine.ini", &settings, &error)) {
    LogLine("cannot choose the scanner: %s", error.c_str());
    return nullptr;
  }
  if (settings.backend == EngineBackend::kLibclamav)
    return LoadClamScanner(options, paths, settings.temp_dir, settings.limits);
  auto pool = std::make_unique<ClamdPool>(std::move(settings.servers), settings.pool);
  // Daemons that are down now are not a reason to refuse the start: they are asked again
  // as files come, and until one answers every job is answered with error.hdr.
  std::string report;
  if (!pool->ProbeAll(&report))
    LogLine("no ClamAV daemon answers yet: jobs are refused until one does (%s)", report.c_str());
  LogLine("scanning through %zu ClamAV daemon%s: %s", pool->size(), pool->size() == 1 ? "" : "s",
          report.c_str());
  return pool;
}

int Main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      Usage();
      return 0;
    }
  }
  if (!ParseOptions(argc, argv, &options)) {
    Usage();
    return 2;
  }
  SetVerboseLog(options.verbose);
  if (!options.root.empty()) {
    // The named events live in the root's namespace, and a child process of ours should
    // see the same machine.
    ::setenv(vtplatform::kRootVariable, options.root.c_str(), 1);
    vtplatform::SetSystemRoot(options.root);
  }
  const std::string root = vtplatform::SystemRoot();
  if (root.empty()) {
    LogLine("no root: set VT_SYSROOT or pass --root");
    return 1;
  }

  // Signals are taken through a descriptor, so they must be blocked in every thread,
  // including libclamav's and the workers, before any of them starts.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  const int signal_fd = ::signalfd(-1, &signals, SFD_CLOEXEC);
  if (signal_fd < 0) {
    LogLine("signalfd: %s", std::strerror(errno));
    return 1;
  }

  const SpoolPaths paths = FindSpoolPaths(root);
  OpenEngineLog(paths);
  MakeDirectories(paths.in_dir);
  MakeDirectories(paths.out_dir);

  std::unique_ptr<FileScanner> scanner;
  if (!options.no_scan) {
    scanner = MakeScanner(options, paths);
    if (!scanner) {
      ::close(signal_fd);
      return 1;
    }
  }

  EngineLock lock(paths.lock_path);
  if (!lock.Acquire()) {
    const DWORD code = GetLastError();
    LogLine(code == ERROR_SHARING_VIOLATION ? "another engine holds %s" : "cannot create %s",
            paths.lock_path.c_str());
    ::close(signal_fd);
    return 1;
  }

  PolicyCache policy(paths.install_dir + "/engine.ini", paths.install_dir + "/vantrel.ini");
  EngineContext context;
  context.paths = paths;
  context.scanner = scanner.get();
  context.policy = &policy;
  LogLine("taking jobs from %s, answering in %s (%u threads%s)", paths.in_dir.c_str(),
          paths.out_dir.c_str(), options.watch.threads, options.no_scan ? ", no scanning" : "");
  // Jobs published from now on are seen: the watcher's first scan takes every job already
  // in IN, so the extension may turn scanning on before the watcher runs.
  std::string updater;
  std::string updater_error;
  if (SignalEngineStarted(&updater, &updater_error)) {
    LogLine("called UpdateDLL of %s: the real-time extension turns scanning on", updater.c_str());
  } else {
    LogLine("cannot tell the real-time extension that the engine runs (%s); it scans again "
            "after the next settings reload or router start",
            updater_error.c_str());
  }

  SpoolWatcher watcher(context, options.watch);
  watcher.Run(signal_fd);
  ::close(signal_fd);
  const WatchCounters& counters = watcher.counters();
  LogLine("stopped: %llu jobs answered, %llu infected, %llu errors, %llu dropped",
          static_cast<unsigned long long>(counters.answered.load()),
          static_cast<unsigned long long>(counters.infected.load()),
          static_cast<unsigned long long>(counters.errors.load()),
          static_cast<unsigned long long>(counters.dropped.load()));
  CloseLogFile();
  return 0;
}

}  // namespace
}  // namespace vtengine

int main(int argc, char** argv) {
  try {
    return vtengine::Main(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vantrel: %s\n", e.what());
    return 1;
  }
}
