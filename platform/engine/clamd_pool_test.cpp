// Scanning through real ClamAV daemons of the test's own: verdicts through the pool, a
// daemon killed or hung while files are in flight, none answering, one coming back, and
// vantrel answering jobs through the pool. Skipped when clamd is not installed or cannot
// start here.
#include "platform/engine/clamd_pool.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/engine/clamd_daemon_support.h"
#include "platform/engine/engine_test_support.h"
#include "platform/win32/machine.h"
#include "platform/win32/windows.h"

namespace vtengine {
namespace {

using testing_support::EicarText;
using testing_support::Exists;
using testing_support::JobFiles;
using testing_support::ReadAll;
using testing_support::StoredZip;
using testing_support::TestClamd;
using testing_support::TestRoot;
using testing_support::WriteAll;

class ClamdPoolTest : public testing::Test {
 protected:
  // Starts `count` daemons; skips the test when this machine cannot run one.
  void StartDaemons(int count, const std::string& stream_max_length = "1024M") {
    for (int i = 0; i < count; ++i) {
      const std::string dir = root_.root() + "/clamd" + std::to_string(i);
      ::mkdir(dir.c_str(), 0755);
      daemons_.push_back(
          std::make_unique<TestClamd>(dir, VT_ENGINE_SIGNATURE_DIR, stream_max_length));
      std::string error;
      if (!daemons_.back()->Start(&error)) GTEST_SKIP() << "no ClamAV daemon here: " << error;
    }
  }

  ClamdPool MakePool(ClamdBalance balance = ClamdBalance::kLeastBusy) const {
    std::vector<ClamdAddress> servers;
    for (const auto& daemon : daemons_) servers.push_back(daemon->address());
    ClamdPoolOptions options;
    options.balance = balance;
    options.connect_timeout_ms = 500;
    options.io_timeout_ms = 2000;
    options.retry_ms = 100;
    return ClamdPool(std::move(servers), options);
  }

  std::string File(const std::string& name, const std::string& content) const {
    const std::string path = root_.root() + "/" + name;
    WriteAll(path, content);
    return path;
  }

  // Clean scans each daemon logged (its LogClean lines).
  static int CleanLines(const TestClamd& daemon) {
    std::ifstream in(daemon.log_path());
    int count = 0;
    for (std::string line; std::getline(in, line);)
      if (line.find(": OK") != std::string::npos) ++count;
    return count;
  }

  TestRoot root_;
  std::vector<std::unique_ptr<TestClamd>> daemons_;
};

TEST_F(ClamdPoolTest, VerdictsThroughThePoolAreThoseOfTheSignatures) {
  StartDaemons(2);
  if (IsSkipped()) return;
  const ClamdPool pool = MakePool();

  ScanResult result = pool.ScanFile(File("eicar.com", EicarText()));
  EXPECT_EQ(result.status, ScanStatus::kInfected) << result.error;
  EXPECT_EQ(result.virus, "Vantrel.Test.EICAR");  // the unofficial marker dropped

  result = pool.ScanFile(File("letter.txt", "Dear Ann,\r\nthe figures are attached.\r\n"));
  EXPECT_EQ(result.status, ScanStatus::kClean) << result.error;

  result = pool.ScanFile(File("empty.txt", ""));
  EXPECT_EQ(result.status, ScanStatus::kClean) << result.error;

  // More than one chunk of the stream, the signature at the end.
  result = pool.ScanFile(File(
      "long.txt", std::string(300 * 1024, 'a') + "\r\n" + "VANTREL-TEST-ATTACHMENT-VIRUS\r\n"));
  EXPECT_EQ(result.status, ScanStatus::kInfected) << result.error;
  EXPECT_EQ(result.virus, "Vantrel.Test.Attachment");

  result = pool.ScanFile(File("zipped.zip", StoredZip({{"eicar.com", EicarText()}})));
  EXPECT_EQ(result.status, ScanStatus::kInfected) << result.error;

  // Unscannable content stays a finding with the daemons' settings.
  result = pool.ScanFile(File("locked.zip", StoredZip({{"report.doc", "text"}}, true)));
  EXPECT_EQ(result.status, ScanStatus::kInfected) << result.error;
  EXPECT_EQ(result.virus.rfind("Heuristics.Encrypted", 0), 0u) << result.virus;

  // A link is not followed to what it names, as with libclamav.
  const std::string link = root_.root() + "/link.com";
  ASSERT_EQ(::symlink((root_.root() + "/eicar.com").c_str(), link.c_str()), 0);
  EXPECT_EQ(pool.ScanFile(link).status, ScanStatus::kError);
  EXPECT_EQ(pool.ScanFile(root_.root() + "/missing.txt").status, ScanStatus::kError);

  // The same daemon through its local socket.
  ClamdAddress local;
  ASSERT_TRUE(ParseClamdAddress(daemons_[0]->socket_path(), &local, nullptr));
  const ClamdPool local_pool({local}, ClamdPoolOptions{});
  result = local_pool.ScanFile(root_.root() + "/eicar.com");
  EXPECT_EQ(result.status, ScanStatus::kInfected) << result.error;
  result = local_pool.ScanFile(root_.root() + "/letter.txt");
  EXPECT_EQ(result.status, ScanStatus::kClean) << result.error;
}

TEST_F(ClamdPoolTest, FilesAreSpreadOverEveryDaemon) {
  StartDaemons(2);
  if (IsSkipped()) return;
  for (ClamdBalance balance : {ClamdBalance::kRoundRobin, ClamdBalance::kLeastBusy}) {
    const int before0 = CleanLines(*daemons_[0]);
    const int before1 = CleanLines(*daemons_[1]);
    const ClamdPool pool = MakePool(balance);
    const std::string path = File("clean.txt", "nothing to see\r\n");
    for (int i = 0; i < 10; ++i) ASSERT_EQ(pool.ScanFile(path).status, ScanStatus::kClean);
    // clamd writes its log lines as it scans; give the last one a moment.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const int used0 = CleanLines(*daemons_[0]) - before0;
    const int used1 = CleanLines(*daemons_[1]) - before1;
    EXPECT_EQ(used0 + used1, 10);
    EXPECT_GE(used0, 4) << "balance " << static_cast<int>(balance);
    EXPECT_GE(used1, 4) << "balance " << static_cast<int>(balance);
  }
}

TEST_F(ClamdPoolTest, DaemonKilledMidRunLeavesNoFileWronglyClean) {
  StartDaemons(2);
  if (IsSkipped()) return;
  const ClamdPool pool = MakePool();
  const std::string infected = File("eicar.com", EicarText());
  // A larger clean file keeps files in flight on both daemons when one dies.
  const std::string clean = File("clean.txt", std::string(512 * 1024, 'x'));
  constexpr int kThreads = 4;
  constexpr int kFilesPerThread = 40;
  std::atomic<int> done{0};
  std::atomic<int> wrong{0};
  std::atomic<int> errors{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kFilesPerThread; ++i) {
        const bool bad = (i + t) % 2 == 0;
        const ScanResult result = pool.ScanFile(bad ? infected : clean);
        if (result.status == ScanStatus::kError)
          ++errors;
        else if ((result.status == ScanStatus::kInfected) != bad)
          ++wrong;
        ++done;
      }
    });
  }
  while (done < kThreads * kFilesPerThread / 4)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  daemons_[0]->Kill();
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(errors, 0) << "the other daemon should have taken every file";
}

TEST_F(ClamdPoolTest, NoDaemonAnsweringIsAnErrorNeverClean) {
  StartDaemons(1);
  if (IsSkipped()) return;
  // A listener that takes connections and never answers, as a hung daemon.
  const int silent = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(silent, 16), 0);
  ASSERT_EQ(::getsockname(silent, reinterpret_cast<sockaddr*>(&address), &size), 0);
  ClamdAddress hung;
  ASSERT_TRUE(
      ParseClamdAddress("127.0.0.1:" + std::to_string(ntohs(address.sin_port)), &hung, nullptr));
  ClamdAddress nobody;
  ASSERT_TRUE(ParseClamdAddress("127.0.0.1:" + std::to_string(testing_support::FreeTcpPort()),
                                &nobody, nullptr));
  ClamdAddress no_socket;
  ASSERT_TRUE(ParseClamdAddress(root_.root() + "/no-such.sock", &no_socket, nullptr));

  ClamdPoolOptions options;
  options.connect_timeout_ms = 300;
  options.io_timeout_ms = 300;
  options.retry_ms = 100;
  const ClamdPool pool({hung, nobody, no_socket, daemons_[0]->address()}, options);
  const std::string clean = File("clean.txt", "clean\r\n");
  daemons_[0]->Kill();
  for (int i = 0; i < 3; ++i) {
    const ScanResult result = pool.ScanFile(clean);
    EXPECT_EQ(result.status, ScanStatus::kError);
    EXPECT_NE(result.error.find("no ClamAV daemon scanned it"), std::string::npos) << result.error;
  }
  ::close(silent);
}

TEST_F(ClamdPoolTest, HungDaemonIsPassedOverAndOneThatComesBackIsUsedAgain) {
  StartDaemons(2);
  if (IsSkipped()) return;
  const ClamdPool pool = MakePool(ClamdBalance::kRoundRobin);
  const std::string infected = File("eicar.com", EicarText());

  daemons_[0]->Freeze(true);
  for (int i = 0; i < 4; ++i) {
    const ScanResult result = pool.ScanFile(infected);
    EXPECT_EQ(result.status, ScanStatus::kInfected) << result.error;
  }
  daemons_[0]->Freeze(false);

  // Both gone: errors. Then the first comes back on its port and is asked again once its
  // back-off has passed.
  daemons_[0]->Kill();
  daemons_[1]->Kill();
  EXPECT_EQ(pool.ScanFile(infected).status, ScanStatus::kError);
  std::string error;
  ASSERT_TRUE(daemons_[0]->Start(&error)) << error;
  ScanResult result;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(40);
  do {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    result = pool.ScanFile(infected);
  } while (result.status == ScanStatus::kError && std::chrono::steady_clock::now() < give_up);
  EXPECT_EQ(result.status, ScanStatus::kInfected) << result.error;
}

TEST_F(ClamdPoolTest, StreamBeyondTheDaemonsLimitIsAnErrorNotAVerdict) {
  StartDaemons(1, "64K");
  if (IsSkipped()) return;
  const ClamdPool pool = MakePool();
  // The part the daemon reads is clean; what it never read cannot be called clean.
  const ScanResult result =
      pool.ScanFile(File("big.txt", "plain text\r\n" + std::string(1024 * 1024, 'y')));
  EXPECT_EQ(result.status, ScanStatus::kError);
}

// vantrel itself with [Engine] Backend=clamd: the same answers as with libclamav.
TEST_F(ClamdPoolTest, EngineAnswersJobsThroughThePool) {
  StartDaemons(2);
  if (IsSkipped()) return;
  vtplatform::SetSystemRoot(root_.root());
  root_.SetEngineIni("[Engine]\r\nBackend=clamd\r\nServers=" + daemons_[0]->address().text + ", " +
                     daemons_[1]->address().text + "\r\nRetryMs=100\r\n");
  const pid_t engine = ::fork();
  if (engine == 0) {
    ::execl(VT_VANTREL_PATH, VT_VANTREL_PATH, "--root", root_.root().c_str(), "--rescan-ms", "100",
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ASSERT_GT(engine, 0);
  auto answer = [&](const std::string& job_id, const JobFiles& files) {
    HANDLE event = CreateEvent(nullptr, FALSE, FALSE, (job_id + "x").c_str());
    root_.WriteJob(job_id, files);
    const DWORD waited = WaitForSingleObject(event, 30000);
    CloseHandle(event);
    return waited == WAIT_OBJECT_0;
  };
  JobFiles infected;
  infected.attachments = {{"eicar.com", EicarText()}, {"notes.txt", "plain"}};
  EXPECT_TRUE(answer("0a1", infected));
  EXPECT_TRUE(Exists(root_.OutFile("0a1", "0.hd0")));
  EXPECT_TRUE(Exists(root_.OutFile("0a1", "Scanover.txt")));
  EXPECT_NE(ReadAll(root_.OutFile("0a1", "admin.bdy")).find("Vantrel.Test.EICAR"),
            std::string::npos);

  daemons_[0]->Kill();
  daemons_[1]->Kill();
  EXPECT_TRUE(answer("0a2", JobFiles{}));
  EXPECT_TRUE(Exists(root_.OutFile("0a2", "error.hdr")));
  EXPECT_FALSE(Exists(root_.OutFile("0a2", "0.hd0")));

  ::kill(engine, SIGTERM);
  int status = 0;
  ::waitpid(engine, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  vtplatform::SetSystemRoot("");
}

}  // namespace
}  // namespace vtengine
