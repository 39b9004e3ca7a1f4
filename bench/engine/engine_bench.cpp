// NAME
//      engine_bench - what the engine adds to libclamav's own scanning time
//
// SYNOPSIS
//      engine_bench [--rounds N] [--size-mb N]
//
// DESCRIPTION
//      Starts the built vantrel on a fresh temporary root and times, round after round, two
//      things side by side on the same files (a short body and one attachment of 10 MB of
//      random bytes, which nothing matches, so every byte is looked at):
//        - answer: from the rename of 0.hdf to 0.hdr until the job's event wakes this
//          process, as the system's waiter sees it;
//        - direct: libclamav loaded with the same signatures scanning the same two files
//          in this process.
//      It prints the median and the fastest round of each, and answer / direct as the
//      ratio (goal: at most 1.2); on a busy machine the fastest rounds are the steadier
//      figure.
//      A second engine started with --no-scan gives the engine's own overhead alone.
//
// DIAGNOSTICS
//      Exit status 0 when the figures were taken, 1 when the engine did not answer.
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
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/engine/clam_scanner.h"
#include "platform/win32/machine.h"
#include "platform/win32/windows.h"

namespace {

using Clock = std::chrono::steady_clock;

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

void RemoveTree(const std::string& path) {
  const std::string command = "rm -rf '" + path + "'";
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "cannot remove %s\n", path.c_str());
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

class EngineProcess {
 public:
  EngineProcess(const std::string& root, bool no_scan) {
    pid_ = ::fork();
    if (pid_ == 0) {
      std::vector<std::string> args = {VT_VANTREL_PATH,  "--root",       root,
                                       "--no-system-db", "--signatures", VT_ENGINE_SIGNATURE_DIR};
      if (no_scan) args.push_back("--no-scan");
      std::vector<char*> argv;
      for (std::string& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    const std::string lock = root + "/vantrel/maildisp.lck";
    for (int i = 0; i < 400; ++i) {
      HANDLE file = CreateFile(lock.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION) return;
      if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::fprintf(stderr, "the engine did not start\n");
  }
  ~EngineProcess() {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }

 private:
  pid_t pid_ = -1;
};

// Publishes one job with the prepared files and returns the seconds until it is answered.
double AnswerOnce(const std::string& install, const std::string& body,
                  const std::string& attachment, int round) {
  char job_id_text[16];
  std::snprintf(job_id_text, sizeof job_id_text, "1%d", round);
  const std::string job_id = job_id_text;
  const std::string in_job = install + "/" + job_id;
  const std::string out_job = install + "/Out/" + job_id;
  ::mkdir(out_job.c_str(), 0755);
  ::mkdir(in_job.c_str(), 0755);
  WriteFile(in_job + "/0.bdy", body);
  WriteFile(in_job + "/0.ATT", attachment);
  char header[512];
  std::snprintf(header, sizeof header,
                "Size: %zu\r\nBody: %s\\0.bdy\r\nLotusNotesMUA: 1\r\nSubject: Figures\r\n"
                "From: ann@example.com\r\nTo: bob@example.com\r\n"
                "Attachment: %s\\0.ATT,figures.bin\r\n",
                body.size() + attachment.size(), job_id_text, job_id_text);
  WriteFile(in_job + "/0.hdf", header);
  HANDLE event = CreateEvent(nullptr, FALSE, FALSE, (job_id + "x").c_str());
  const auto start = Clock::now();
  ::rename((in_job + "/0.hdf").c_str(), (in_job + "/0.hdr").c_str());
  const DWORD waited = WaitForSingleObject(event, 60000);
  const auto end = Clock::now();
  CloseHandle(event);
  RemoveTree(in_job);
  RemoveTree(out_job);
  if (waited != WAIT_OBJECT_0) return -1;
  return std::chrono::duration<double>(end - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 15;
  int size_mb = 10;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--rounds") rounds = std::max(1, std::atoi(argv[i + 1]));
    if (arg == "--size-mb") size_mb = std::max(1, std::atoi(argv[i + 1]));
  }
  char pattern[] = "/tmp/vtengine-bench.XXXXXX";
  if (!::mkdtemp(pattern)) return 1;
  const std::string root = pattern;
  const std::string install = root + "/vantrel";
  ::mkdir((root + "/windows").c_str(), 0755);
  ::mkdir(install.c_str(), 0755);
  ::mkdir((install + "/Out").c_str(), 0755);
  vtplatform::SetSystemRoot(root);

  std::mt19937_64 random(20261207);
  std::string attachment(static_cast<std::size_t>(size_mb) << 20, '\0');
  for (std::size_t i = 0; i + 8 <= attachment.size(); i += 8) {
    const std::uint64_t word = random();
    std::memcpy(attachment.data() + i, &word, 8);
  }
  const std::string body = "Hello Bob,\r\nthe figures are attached.\r\nAnn\r\n";
  const std::string direct_dir = root + "/direct";
  ::mkdir(direct_dir.c_str(), 0755);
  WriteFile(direct_dir + "/0.bdy", body);
  WriteFile(direct_dir + "/0.ATT", attachment);

  vtengine::ClamScanner scanner;
  std::string error;
  if (!scanner.Load(VT_ENGINE_SIGNATURE_DIR, "", "", &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }

  std::vector<double> answer_s;
  std::vector<double> direct_s;
  std::vector<double> overhead_s;
  {
    EngineProcess engine(root, false);
    AnswerOnce(install, body, attachment, 0);  // warm both page cache and engine
    for (int round = 1; round <= rounds; ++round) {
      const double answer = AnswerOnce(install, body, attachment, round);
      if (answer < 0) {
        std::fprintf(stderr, "the engine did not answer round %d\n", round);
        RemoveTree(root);
        return 1;
      }
      answer_s.push_back(answer);
      const auto start = Clock::now();
      const auto body_result = scanner.ScanFile(direct_dir + "/0.bdy");
      const auto attachment_result = scanner.ScanFile(direct_dir + "/0.ATT");
      direct_s.push_back(std::chrono::duration<double>(Clock::now() - start).count());
      if (body_result.status != vtengine::ScanStatus::kClean ||
          attachment_result.status != vtengine::ScanStatus::kClean)
        std::fprintf(stderr, "direct scan did not come back clean\n");
    }
  }
  {
    EngineProcess engine(root, true);
    for (int round = 1; round <= rounds; ++round)
      overhead_s.push_back(AnswerOnce(install, body, attachment, 100 + round));
  }
  RemoveTree(root);

  const double answer = Median(answer_s);
  const double direct = Median(direct_s);
  const double answer_min = *std::min_element(answer_s.begin(), answer_s.end());
  const double direct_min = *std::min_element(direct_s.begin(), direct_s.end());
  std::printf("engine_bench: mail with a %d MB attachment, %d rounds\n", size_mb, rounds);
  std::printf("                                  median     fastest\n");
  std::printf("  answer (0.hdr to event)       %8.1f ms %8.1f ms\n", answer * 1000,
              answer_min * 1000);
  std::printf("  libclamav direct (same files) %8.1f ms %8.1f ms\n", direct * 1000,
              direct_min * 1000);
  std::printf("  engine without scanning       %8.1f ms\n", Median(overhead_s) * 1000);
  std::printf("  ratio answer / direct         %8.2f    %8.2f    (goal <= 1.20)\n", answer / direct,
              answer_min / direct_min);
  return 0;
}
