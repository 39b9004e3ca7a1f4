// NAME
//      sweep_bench - documents per second of the database scanner against libclamav alone
//
// SYNOPSIS
//      sweep_bench [--documents N] [--small N] [--attachment-kb N] [--rounds N]
//                  [--vtsweep PROGRAM] [--keep]
//
// DESCRIPTION
//      Provisions a machine root in a temporary directory and fills mail/alice.nsf with
//      posted Notes mails, each a short text body and one attachment of its own random
//      bytes (so that no scan is answered from libclamav's cache of files seen before).
//      Then, side by side in one run:
//        - vtsweep 1 over the first --small documents (default 1,000), engine answering
//          at once (vantrel --no-scan): documents per second and peak resident memory;
//        - vtsweep 1 over all N documents (default 3,000), engine answering at once;
//        - vtsweep 1 over all N documents, engine scanning with libclamav;
//        - libclamav scanning the same files directly in this process, through the
//          engine's own scanner class (same signatures, same limits and options): the
//          body text and the attachment of each document as vtsweep hands them over,
//          extracted beforehand. That is the limit.
//      It prints documents per second of each, the ratios to the limit, and vtsweep's
//      peak resident memory for the small and the full database, which must not grow
//      with the number of documents. Each figure is the fastest of --rounds rounds
//      (default 2; the full-size rounds alternate the three kinds), the memory the
//      highest. The engine runs without the system's ClamAV databases (--no-system-db),
//      the direct scan likewise.
//      --documents 10000 gives the figures of a database of 10,000 documents (a few
//      minutes on two busy cores). --vtsweep runs another build's vtsweep (a build before
//      a change) against this build's engine and tools. --keep leaves the machine root
//      (named on standard output) for profiling runs of its own.
//
// DIAGNOSTICS
//      Exit status 0 when the figures were taken; 1 when a step failed (said on standard
//      error), for example vtsweep exiting with an error or scanning fewer documents than
//      the database holds.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/engine/clam_scanner.h"
#include "platform/engine/engine_config.h"
#include "platform/notes/notes.h"
#include "platform/win32/machine.h"
#include "platform/win32/windows.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kDatabase = "mail/alice.nsf";
constexpr const char* kProductKey = "SOFTWARE\\Veltrane\\Vantrel For Lotus Notes";

std::string g_root;     // the machine root
std::string g_vtsweep;  // the scanner timed

bool WriteWholeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

// Runs a program of the build with the machine's root; its standard output, and false
// when it could not run or failed.
bool RunTool(const std::vector<std::string>& args, std::string* out_r = nullptr) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return false;
  const pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    ::dup2(pipe_fds[1], STDOUT_FILENO);
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(pipe_fds[1]);
  std::string out;
  char buffer[4096];
  for (ssize_t n; (n = ::read(pipe_fds[0], buffer, sizeof buffer)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    out.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(pipe_fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (out_r) *out_r = out;
  const bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (!ok) std::fprintf(stderr, "sweep_bench: %s failed\n", args[0].c_str());
  return ok;
}

std::string Bin(const char* program) { return std::string(VT_BIN_DIR) + "/" + program; }

// The engine on the machine, from start (its lock file held) to SIGTERM.
class EngineProcess {
 public:
  explicit EngineProcess(bool no_scan) {
    pid_ = ::fork();
    if (pid_ == 0) {
      std::vector<std::string> args = {Bin("vantrel"), "--root", g_root, "--no-system-db"};
      if (no_scan) args.push_back("--no-scan");
      std::vector<char*> argv;
      for (std::string& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      (void)std::freopen("/dev/null", "w", stderr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    const std::string lock = g_root + "/vantrel/maildisp.lck";
    for (int i = 0; i < 600; ++i) {
      HANDLE file = CreateFile(lock.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION) {
        started_ = true;
        return;
      }
      if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::fprintf(stderr, "sweep_bench: the engine did not start\n");
  }
  ~EngineProcess() {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  EngineProcess(const EngineProcess&) = delete;
  EngineProcess& operator=(const EngineProcess&) = delete;
  [[nodiscard]] bool started() const { return started_; }

 private:
  pid_t pid_ = -1;
  bool started_ = false;
};

struct SweepFigures {
  bool ok = false;
  double seconds = 0;
  long peak_kb = 0;
};

// Documents the scan logs of the run report as scanned.
int ScannedInLogs(const std::string& report_dir) {
  int scanned = 0;
  for (const auto& entry : fs::directory_iterator(report_dir)) {
    const std::string name = entry.path().filename().string();
    // The scheduled run's log is dd-mm-yyyy.log.
    if (name.size() != 14 || name[2] != '-' || name[5] != '-') continue;
    std::ifstream in(entry.path(), std::ios::binary);
    for (std::string line; std::getline(in, line);)
      if (line.find(". Scanned") != std::string::npos) ++scanned;
  }
  return scanned;
}

void RemoveScanLogs(const std::string& report_dir) {
  for (const auto& entry : fs::directory_iterator(report_dir)) {
    const std::string name = entry.path().filename().string();
    if (name.size() == 14 && name[2] == '-' && name[5] == '-') fs::remove(entry.path());
  }
}

// One scheduled run of vtsweep over the database, timed from its start to its exit.
SweepFigures RunSweep(bool no_scan, int documents) {
  SweepFigures figures;
  const std::string report_dir = g_root + "/vantrel/Reports";
  RemoveScanLogs(report_dir);
  EngineProcess engine(no_scan);
  if (!engine.started()) return figures;
  const auto start = Clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    (void)std::freopen("/dev/null", "r", stdin);
    (void)std::freopen("/dev/null", "w", stdout);
    char* argv[] = {const_cast<char*>(g_vtsweep.c_str()), const_cast<char*>("1"), nullptr};
    ::execv(argv[0], argv);
    ::_exit(127);
  }
  int status = 0;
  struct rusage usage {};
  if (::wait4(pid, &status, 0, &usage) != pid) return figures;
  figures.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  figures.peak_kb = usage.ru_maxrss;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "sweep_bench: vtsweep exited with status %d\n", status);
    return figures;
  }
  const int scanned = ScannedInLogs(report_dir);
  if (scanned != documents) {
    std::fprintf(stderr, "sweep_bench: vtsweep scanned %d documents of %d\n", scanned,
                 documents);
    return figures;
  }
  figures.ok = true;
  return figures;
}

// Owner of an open database of the machine.
class Database {
 public:
  ~Database() {
    if (db_ != NULLHANDLE) (void)NSFDbClose(db_);
  }
  [[nodiscard]] STATUS Open(const char* path) { return NSFDbOpen(path, &db_); }
  [[nodiscard]] DBHANDLE get() const { return db_; }

 private:
  DBHANDLE db_ = NULLHANDLE;
};

// Owner of an open note.
class Note {
 public:
  ~Note() {
    if (note_ != NULLHANDLE) (void)NSFNoteClose(note_);
  }
  NOTEHANDLE* out() { return &note_; }
  [[nodiscard]] NOTEHANDLE get() const { return note_; }

 private:
  NOTEHANDLE note_ = NULLHANDLE;
};

// Adds documents first ... first + count - 1 to the database; the files of each as the
// scanner hands them to the engine (body text, attachment) go to files_dir for the direct
// scan. False when the database refused one.
bool AddDocuments(int first, int count, std::size_t attachment_bytes, const std::string& files_dir,
                  std::vector<std::string>* files_r) {
  Database db;
  if (db.Open(kDatabase) != NOERROR) {
    std::fprintf(stderr, "sweep_bench: cannot open %s\n", kDatabase);
    return false;
  }
  std::mt19937_64 random(20261208 + static_cast<unsigned>(first));
  std::string content(attachment_bytes, '\0');
  const std::string body_source = g_root + "/body.txt";
  const std::string attachment_source = g_root + "/report.bin";
  for (int n = first; n < first + count; ++n) {
    for (std::size_t i = 0; i + 8 <= content.size(); i += 8) {
      const std::uint64_t word = random();
      std::memcpy(content.data() + i, &word, 8);
    }
    const std::string subject = "report " + std::to_string(n);
    if (!WriteWholeFile(attachment_source, content) ||
        !WriteWholeFile(body_source, "quarterly figures attached, " + subject + "\r\n"))
      return false;
    Note note;
    TIMEDATE now{};
    OSCurrentTIMEDATE(&now);
    STATUS status = NSFNoteCreate(db.get(), note.out());
    if (status == NOERROR) status = NSFItemSetText(note.get(), "Form", "Memo", MAXWORD);
    if (status == NOERROR)
      status = NSFItemSetText(note.get(), "From", "bob@example.com", MAXWORD);
    if (status == NOERROR)
      status = NSFItemCreateTextList(note.get(), "SendTo", "alice@example.com", MAXWORD);
    if (status == NOERROR)
      status = NSFItemSetText(note.get(), "Subject", subject.c_str(), MAXWORD);
    if (status == NOERROR) status = NSFItemSetTime(note.get(), "PostedDate", &now);
    if (status == NOERROR)
      status = MailAddMessageBodyText(note.get(), MAIL_BODY_ITEM, body_source.c_str(), 0,
                                      nullptr, 0, nullptr);
    if (status == NOERROR)
      status = NSFNoteAttachFile(note.get(), "$FILE", 5, attachment_source.c_str(),
                                 "report.bin", COMPRESS_NONE);
    if (status == NOERROR) status = NSFNoteUpdate(note.get(), 0);
    // The body text as the scanner writes it for the engine.
    const std::string body_file = files_dir + "/" + std::to_string(n) + ".BDY";
    DWORD size = 0;
    if (status == NOERROR)
      status = MailGetMessageBodyText(note.get(), MAIL_BODY_ITEM, "\r\n", 80, TRUE,
                                      body_file.c_str(), &size);
    const std::string attachment_file = files_dir + "/" + std::to_string(n) + ".ATT";
    if (status != NOERROR || !WriteWholeFile(attachment_file, content)) {
      std::fprintf(stderr, "sweep_bench: document %d could not be written (status %u)\n", n,
                   static_cast<unsigned>(status));
      return false;
    }
    files_r->push_back(body_file);
    files_r->push_back(attachment_file);
  }
  return true;
}

// libclamav over the files, as the engine would scan them; seconds, or -1.
double ScanDirectly(const std::vector<std::string>& files) {
  // The engine's own settings, so that libclamav works as it does in the engine.
  vtengine::BackendSettings settings;
  std::string error;
  if (!vtengine::LoadBackendSettings(g_root + "/vantrel/engine.ini", &settings, &error)) {
    std::fprintf(stderr, "sweep_bench: %s\n", error.c_str());
    return -1;
  }
  vtengine::ClamScanner scanner;
  if (!scanner.Load(g_root + "/vantrel/signatures", "", settings.temp_dir, &error)) {
    std::fprintf(stderr, "sweep_bench: %s\n", error.c_str());
    return -1;
  }
  const auto start = Clock::now();
  for (const std::string& file : files) {
    if (scanner.ScanFile(file).status != vtengine::ScanStatus::kClean) {
      std::fprintf(stderr, "sweep_bench: %s did not scan clean\n", file.c_str());
      return -1;
    }
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

bool Provision() {
  if (!RunTool({Bin("vtprovision"), "--force", "--install", VT_BUILD_DIR, g_root})) return false;
  if (!RunTool({Bin("winreg"), "set", kProductKey, "TimeOut", "60"})) return false;
  std::string found;
  if (!RunTool({Bin("nsf"), "search", "vtsched.nsf", "SELECT form = \"Scheduledfrm\""}, &found))
    return false;
  const std::string note = found.substr(0, found.find_first_of(" \t\n"));
  if (note.empty()) {
    std::fprintf(stderr, "sweep_bench: vtsched.nsf holds no schedule document\n");
    return false;
  }
  return RunTool({Bin("nsf"), "put", "vtsched.nsf", "--note", note, "SelectedDBFile=Y",
                  std::string("DBFiletxt=") + kDatabase});
}

// Runs one more round of a sweep into `best`: the fastest time, the highest peak.
bool SweepRound(bool no_scan, int documents, SweepFigures* best) {
  const SweepFigures round = RunSweep(no_scan, documents);
  if (!round.ok) return false;
  if (!best->ok || round.seconds < best->seconds) best->seconds = round.seconds;
  best->peak_kb = std::max(best->peak_kb, round.peak_kb);
  best->ok = true;
  return true;
}

int Run(int documents, int small, std::size_t attachment_bytes, int rounds) {
  if (!Provision()) return 1;
  vtplatform::SetSystemRoot(g_root);
  if (NotesInitExtended(0, nullptr) != NOERROR) {
    std::fprintf(stderr, "sweep_bench: Notes did not start on %s\n", g_root.c_str());
    return 1;
  }
  const std::string files_dir = g_root + "/direct";
  fs::create_directories(files_dir);
  std::vector<std::string> files;
  std::printf("sweep_bench: %d documents, each a short text body and a %zu KB attachment; "
              "fastest of %d rounds\n",
              documents, attachment_bytes / 1024, rounds);
  std::fflush(stdout);

  SweepFigures at_small;
  SweepFigures answering;
  SweepFigures scanning;
  double direct_s = 0;
  if (!AddDocuments(0, small, attachment_bytes, files_dir, &files)) return 1;
  for (int round = 0; round < rounds; ++round) {
    if (!SweepRound(true, small, &at_small)) return 1;
  }
  if (!AddDocuments(small, documents - small, attachment_bytes, files_dir, &files)) return 1;
  // Alternated, so that a burst of load from elsewhere does not fall on one kind alone.
  for (int round = 0; round < rounds; ++round) {
    if (!SweepRound(true, documents, &answering) || !SweepRound(false, documents, &scanning))
      return 1;
    const double seconds = ScanDirectly(files);
    if (seconds < 0) return 1;
    direct_s = round == 0 ? seconds : std::min(direct_s, seconds);
  }
  NotesTerm();

  const double n = documents;
  const double direct = n / direct_s;
  std::printf("                                         documents/s   of the limit\n");
  std::printf("  vtsweep, %5d documents, --no-scan      %9.1f\n", small,
              small / at_small.seconds);
  std::printf("  vtsweep, %5d documents, --no-scan      %9.1f      %6.2f\n", documents,
              n / answering.seconds, (n / answering.seconds) / direct);
  std::printf("  vtsweep, %5d documents, libclamav      %9.1f      %6.2f\n", documents,
              n / scanning.seconds, (n / scanning.seconds) / direct);
  std::printf("  libclamav direct, same files (limit)    %9.1f      %6.2f\n", direct, 1.0);
  std::printf("  vtsweep libclamav / --no-scan           %9.2f\n",
              answering.seconds / scanning.seconds);
  std::printf("  vtsweep peak resident memory: %ld KB at %d documents, %ld KB at %d\n",
              at_small.peak_kb, small, std::max(answering.peak_kb, scanning.peak_kb),
              documents);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int documents = 3000;
  int small = 1000;
  int attachment_kb = 16;
  int rounds = 2;
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--documents" && has_value) {
      documents = std::atoi(argv[++i]);
    } else if (arg == "--small" && has_value) {
      small = std::atoi(argv[++i]);
    } else if (arg == "--attachment-kb" && has_value) {
      attachment_kb = std::atoi(argv[++i]);
    } else if (arg == "--rounds" && has_value) {
      rounds = std::atoi(argv[++i]);
    } else if (arg == "--keep") {
      keep = true;
    } else if (arg == "--vtsweep" && has_value) {
      g_vtsweep = argv[++i];
    } else {
      std::fprintf(stderr,
                   "usage: sweep_bench [--documents N] [--small N] [--attachment-kb N] "
                   "[--rounds N] [--vtsweep PROGRAM] [--keep]\n");
      return 2;
    }
  }
  if (documents < 1 || small < 1 || small > documents || attachment_kb < 1 ||
      attachment_kb > 64 * 1024 || rounds < 1) {
    std::fprintf(stderr, "sweep_bench: need 1 <= --small <= --documents, 1 <= --attachment-kb "
                         "<= 65536, --rounds >= 1\n");
    return 2;
  }
  if (g_vtsweep.empty()) g_vtsweep = Bin("vtsweep");
  char pattern[] = "/tmp/vantrel-sweep-bench.XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return 1;
  g_root = pattern;
  ::setenv("VT_SYSROOT", g_root.c_str(), 1);
  const int result = Run(documents, small, static_cast<std::size_t>(attachment_kb) * 1024, rounds);
  if (keep) {
    std::printf("machine root kept: %s\n", g_root.c_str());
  } else {
    std::error_code ignored;
    fs::remove_all(g_root, ignored);
  }
  return result;
}
