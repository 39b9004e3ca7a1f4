// NAME
//      clamd_bench - jobs a second through libclamav, one ClamAV daemon and two
//
// SYNOPSIS
//      clamd_bench [--rounds N] [--jobs N] [--size-kb N] [--threads N]
//
// DESCRIPTION
//      Starts two ClamAV daemons of its own (clamd on 127.0.0.1 and free ports, the
//      project's signatures, as the engine's tests run them) and the built vantrel on a
//      fresh temporary root, and times batches of real-time jobs three ways, alternating
//      within every round so that all three see the same machine:
//        - libclamav: the default, scanning in the engine's process;
//        - clamd x1:  [Engine] Backend=clamd with one daemon;
//        - clamd x2:  the same with both daemons in Servers=.
//      A batch is --jobs jobs (default 200), each a short body and one attachment of
//      --size-kb (default 64) of random bytes, all published at once; its time runs from
//      the first rename of 0.hdf to 0.hdr until the last job's event is set. The engine
//      runs --threads workers (default 4). It prints the median jobs a second of each
//      way and their ratios to libclamav and to one daemon.
//
//      On a single machine the daemons share its CPUs with the engine, so two daemons
//      cannot scan faster than one here; the pool pays off when the daemons run on other
//      hosts. The figures show what streaming files to a daemon costs against scanning
//      them in process.
//
// DIAGNOSTICS
//      Exit status 0 when the figures were taken; 1 when clamd is not installed or does not
//      start, or the engine does not answer.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/engine/clamd_daemon_support.h"
#include "platform/win32/machine.h"
#include "platform/win32/windows.h"

namespace {

using Clock = std::chrono::steady_clock;
using vtengine::testing_support::TestClamd;

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

void RemoveTree(const std::string& path) {
  std::error_code error;
  std::filesystem::remove_all(path, error);
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

class EngineProcess {
 public:
  EngineProcess(const std::string& root, int threads) {
    pid_ = ::fork();
    if (pid_ == 0) {
      std::vector<std::string> args = {VT_VANTREL_PATH,
                                       "--root",
                                       root,
                                       "--no-system-db",
                                       "--signatures",
                                       VT_ENGINE_SIGNATURE_DIR,
                                       "--threads",
                                       std::to_string(threads)};
      std::vector<char*> argv;
      for (std::string& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      if (std::FILE* out = std::freopen("/dev/null", "w", stderr)) (void)out;
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    const std::string lock = root + "/vantrel/maildisp.lck";
    for (int i = 0; i < 400 && !running_; ++i) {
      HANDLE file = CreateFile(lock.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION)
        running_ = true;
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    }
  }
  ~EngineProcess() {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  EngineProcess(const EngineProcess&) = delete;
  EngineProcess& operator=(const EngineProcess&) = delete;

  [[nodiscard]] bool running() const { return running_; }

 private:
  pid_t pid_ = -1;
  bool running_ = false;
};

// Publishes `jobs` jobs at once; the seconds until every one is answered, or -1.
double RunBatch(const std::string& install, const std::string& body, const std::string& attachment,
                int jobs, int batch) {
  std::vector<std::string> names;
  std::vector<HANDLE> events;
  for (int i = 0; i < jobs; ++i) {
    char job_id[24];
    std::snprintf(job_id, sizeof job_id, "%x%04x", batch + 1, i);
    names.push_back(job_id);
    const std::string in_job = install + "/" + job_id;
    ::mkdir((install + "/Out/" + job_id).c_str(), 0755);
    ::mkdir(in_job.c_str(), 0755);
    WriteFile(in_job + "/0.bdy", body);
    WriteFile(in_job + "/0.ATT", attachment);
    WriteFile(in_job + "/0.hdf",
              "Size: " + std::to_string(body.size() + attachment.size()) + "\r\nBody: " + job_id +
                  "\\0.bdy\r\nLotusNotesMUA: 1\r\nSubject: Figures\r\n"
                  "From: ann@example.com\r\nTo: bob@example.com\r\nAttachment: " +
                  job_id + "\\0.ATT,figures.bin\r\n");
    events.push_back(CreateEvent(nullptr, FALSE, FALSE, (std::string(job_id) + "x").c_str()));
  }
  const auto start = Clock::now();
  for (const std::string& name : names)
    ::rename((install + "/" + name + "/0.hdf").c_str(), (install + "/" + name + "/0.hdr").c_str());
  bool all = true;
  for (HANDLE event : events) all = WaitForSingleObject(event, 120000) == WAIT_OBJECT_0 && all;
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  for (std::size_t i = 0; i < names.size(); ++i) {
    CloseHandle(events[i]);
    if (all && !std::filesystem::exists(install + "/Out/" + names[i] + "/0.hd0")) all = false;
    RemoveTree(install + "/" + names[i]);
    RemoveTree(install + "/Out/" + names[i]);
  }
  return all ? seconds : -1;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 3;
  int jobs = 200;
  int size_kb = 64;
  int threads = 4;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--rounds") rounds = std::max(1, std::atoi(argv[i + 1]));
    if (arg == "--jobs") jobs = std::clamp(std::atoi(argv[i + 1]), 1, 5000);
    if (arg == "--size-kb") size_kb = std::max(1, std::atoi(argv[i + 1]));
    if (arg == "--threads") threads = std::clamp(std::atoi(argv[i + 1]), 1, 256);
  }
  char pattern[] = "/tmp/vtengine-clamd-bench.XXXXXX";
  if (!::mkdtemp(pattern)) return 1;
  const std::string root = pattern;
  const std::string install = root + "/vantrel";
  for (const char* dir : {"/windows", "/vantrel", "/vantrel/Out", "/clamd0", "/clamd1"})
    ::mkdir((root + dir).c_str(), 0755);
  vtplatform::SetSystemRoot(root);

  std::vector<std::unique_ptr<TestClamd>> daemons;
  for (int i = 0; i < 2; ++i) {
    daemons.push_back(
        std::make_unique<TestClamd>(root + "/clamd" + std::to_string(i), VT_ENGINE_SIGNATURE_DIR));
    std::string error;
    if (!daemons.back()->Start(&error)) {
      std::fprintf(stderr, "clamd_bench: %s\n", error.c_str());
      daemons.clear();
      RemoveTree(root);
      return 1;
    }
  }

  std::mt19937_64 random(20261208);
  std::string attachment(static_cast<std::size_t>(size_kb) << 10, '\0');
  for (std::size_t i = 0; i + 8 <= attachment.size(); i += 8) {
    const std::uint64_t word = random();
    std::memcpy(attachment.data() + i, &word, 8);
  }
  const std::string body = "Hello Bob,\r\nthe figures are attached.\r\nAnn\r\n";

  struct Way {
    const char* name;
    std::string engine_ini;
    std::vector<double> jobs_per_s;
  };
  const std::string one = daemons[0]->address().text;
  const std::string two = one + "," + daemons[1]->address().text;
  std::vector<Way> ways = {
      {"libclamav", "", {}},
      {"clamd x1", "[Engine]\r\nBackend=clamd\r\nServers=" + one + "\r\n", {}},
      {"clamd x2", "[Engine]\r\nBackend=clamd\r\nServers=" + two + "\r\n", {}}};
  int batch = 0;
  for (int round = 0; round < rounds; ++round) {
    for (Way& way : ways) {
      WriteFile(install + "/engine.ini", way.engine_ini);
      EngineProcess engine(root, threads);
      const double seconds =
          engine.running() ? RunBatch(install, body, attachment, jobs, batch++) : -1;
      if (seconds < 0) {
        std::fprintf(stderr, "clamd_bench: %s: the engine did not answer every job\n", way.name);
        daemons.clear();
        RemoveTree(root);
        return 1;
      }
      way.jobs_per_s.push_back(jobs / seconds);
    }
  }
  daemons.clear();
  RemoveTree(root);

  const double in_process = Median(ways[0].jobs_per_s);
  const double one_daemon = Median(ways[1].jobs_per_s);
  std::printf(
      "clamd_bench: %d jobs of a %d KB attachment a batch, %d rounds, %d engine "
      "threads, %u CPUs\n",
      jobs, size_kb, rounds, threads, std::thread::hardware_concurrency());
  std::printf("                jobs/s (median)   / libclamav   / clamd x1\n");
  for (const Way& way : ways) {
    const double median = Median(way.jobs_per_s);
    std::printf("  %-12s %12.1f %14.2f %12.2f\n", way.name, median, median / in_process,
                median / one_daemon);
  }
  return 0;
}
