// The built vantrel as a real process on a fresh root: its lock file, the events that wake
// a waiter in this (another) process, many jobs at once, vanishing jobs, a clean stop.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/engine/engine_test_support.h"
#include "platform/win32/machine.h"
#include "platform/win32/windows.h"

namespace vtengine {
namespace {

using testing_support::EicarText;
using testing_support::Exists;
using testing_support::JobFiles;
using testing_support::ReadAll;
using testing_support::RemoveTree;
using testing_support::TestRoot;
using testing_support::WriteAll;

std::string JobName(const char* prefix, int number) {
  char name[32];
  std::snprintf(name, sizeof name, "%s%x", prefix, number);
  return name;
}

// Generous: the sanitizer build on a loaded two-core machine is slow to start.
constexpr DWORD kAnswerWaitMs = 30000;

class Engine {
 public:
  // Starts vantrel on `root` and waits until it holds the lock file (it takes the lock
  // only once its signatures are loaded and it is about to watch the spool).
  // With `installed`, the engine finds its signatures where an installed one does (the
  // install directory) and the system databases as `extra` says.
  explicit Engine(const TestRoot& root, std::vector<std::string> extra = {},
                  bool installed = false)
      : root_(root) {
    std::vector<std::string> args = {VT_VANTREL_PATH, "--root", root.root(), "--rescan-ms", "200"};
    if (!installed) {
      for (const char* arg : {"--no-system-db", "--signatures", VT_ENGINE_SIGNATURE_DIR})
        args.push_back(arg);
    }
    args.insert(args.end(), extra.begin(), extra.end());
    pid_ = ::fork();
    if (pid_ == 0) {
      std::vector<char*> argv;
      for (std::string& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    EXPECT_GT(pid_, 0);
  }
  ~Engine() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  [[nodiscard]] bool WaitUntilRunning() const {
    const std::string lock = root_.install() + "/maildisp.lck";
    for (int i = 0; i < 600; ++i) {
      if (EngineHoldsLock(lock)) return true;
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  // Waits for it to end on its own; returns its exit status.
  [[nodiscard]] int WaitForExit() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  // Stops it as the system's service control would; returns its exit status.
  [[nodiscard]] int Stop() {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  // The presence test the system makes: an open without sharing fails with a sharing
  // violation while the engine holds the file.
  static bool EngineHoldsLock(const std::string& lock) {
    HANDLE file = CreateFile(lock.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      CloseHandle(file);
      return false;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION;
  }

 private:
  const TestRoot& root_;
  pid_t pid_ = -1;
};

class VantrelProcessTest : public testing::Test {
 protected:
  void SetUp() override { vtplatform::SetSystemRoot(root_.root()); }
  void TearDown() override { vtplatform::SetSystemRoot(""); }

  // Publishes a job the way the waiter does: its event first, then the files.
  HANDLE Publish(const std::string& job_id, const JobFiles& files) {
    HANDLE event = CreateEvent(nullptr, FALSE, FALSE, (job_id + "x").c_str());
    EXPECT_NE(event, nullptr);
    root_.WriteJob(job_id, files);
    return event;
  }

  TestRoot root_;
};

TEST_F(VantrelProcessTest, HoldsTheLockWhileRunningAndReleasesItOnStop) {
  const std::string lock = root_.install() + "/maildisp.lck";
  WriteAll(lock, "");  // left behind by an engine that crashed
  Engine engine(root_);
  ASSERT_TRUE(engine.WaitUntilRunning());
  EXPECT_TRUE(Engine::EngineHoldsLock(lock));

  // A second engine on the same machine finds the lock held and gives up.
  Engine second(root_);
  EXPECT_EQ(second.WaitForExit(), 1);
  EXPECT_TRUE(Engine::EngineHoldsLock(lock));

  EXPECT_EQ(engine.Stop(), 0);
  EXPECT_FALSE(Engine::EngineHoldsLock(lock));
}

// An installed engine: signatures from the install directory, a system ClamAV directory
// that was never filled, its log in the report directory, and the reload event set for the
// extension once the lock is held.
TEST_F(VantrelProcessTest, ComesUpFromItsInstallDirectoryAndTellsTheExtension) {
  const std::string signatures = root_.install() + "/signatures";
  const std::string system_db = root_.root() + "/clamav";
  const std::string report = root_.root() + "/reports";
  ::mkdir(signatures.c_str(), 0755);
  ::mkdir(system_db.c_str(), 0755);
  WriteAll(signatures + "/vantrel-test.ndb",
           ReadAll(std::string(VT_ENGINE_SIGNATURE_DIR) + "/vantrel-test.ndb"));
  WritePrivateProfileString("General", "ReportDirectory", report.c_str(),
                            (root_.install() + "/vantrel.ini").c_str());
  HANDLE reload = CreateEvent(nullptr, FALSE, FALSE, "UpdateEvent");  // the router's
  ASSERT_NE(reload, nullptr);

  Engine engine(root_, {"--system-db", system_db}, true);
  ASSERT_TRUE(engine.WaitUntilRunning());
  EXPECT_EQ(WaitForSingleObject(reload, kAnswerWaitMs), static_cast<DWORD>(WAIT_OBJECT_0));
  JobFiles infected;
  infected.attachments = {{"e.com", EicarText()}};
  HANDLE event = Publish("8f6", infected);
  EXPECT_EQ(WaitForSingleObject(event, kAnswerWaitMs), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_TRUE(Exists(root_.OutFile("8f6", "Scanover.txt")));
  CloseHandle(event);
  EXPECT_EQ(engine.Stop(), 0);
  CloseHandle(reload);

  const std::string log = ReadAll(report + "/vantrel.log");
  EXPECT_NE(log.find("signatures from " + signatures), std::string::npos) << log;
  EXPECT_NE(log.find(system_db + " holds no database"), std::string::npos) << log;
  EXPECT_NE(log.find("called UpdateDLL"), std::string::npos) << log;
  EXPECT_NE(log.find("stopped: 1 jobs answered, 1 infected"), std::string::npos) << log;
}

TEST_F(VantrelProcessTest, WithoutInstalledSignaturesItRefusesToStart) {
  Engine engine(root_, {"--no-system-db"}, true);
  EXPECT_EQ(engine.WaitForExit(), 1);
  EXPECT_FALSE(Exists(root_.install() + "/maildisp.lck"));
}

TEST_F(VantrelProcessTest, AnswerWakesTheWaiterInAnotherProcess) {
  Engine engine(root_);
  ASSERT_TRUE(engine.WaitUntilRunning());
  JobFiles infected;
  infected.attachments = {{"e.com", EicarText()}};
  HANDLE clean_event = Publish("8f6", JobFiles{});
  HANDLE infected_event = Publish("28f7", infected);
  EXPECT_EQ(WaitForSingleObject(clean_event, kAnswerWaitMs), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(WaitForSingleObject(infected_event, kAnswerWaitMs), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_TRUE(Exists(root_.OutFile("8f6", "0.hd0")));
  EXPECT_FALSE(Exists(root_.OutFile("8f6", "Scanover.txt")));
  EXPECT_TRUE(Exists(root_.OutFile("28f7", "Scanover.txt")));
  CloseHandle(clean_event);
  CloseHandle(infected_event);
  EXPECT_EQ(engine.Stop(), 0);
}

TEST_F(VantrelProcessTest, NewJobsAreSeenAtOnceNotAtTheNextRescan) {
  Engine engine(root_, {"--rescan-ms", "600000"});
  ASSERT_TRUE(engine.WaitUntilRunning());
  ::mkdir((root_.in() + "/ScanDatabase").c_str(), 0755);
  ::mkdir((root_.out() + "/ScanDatabase").c_str(), 0755);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let the watch be added
  HANDLE event = Publish("8f6", JobFiles{});
  EXPECT_EQ(WaitForSingleObject(event, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
  CloseHandle(event);

  HANDLE database_event = CreateEvent(nullptr, FALSE, FALSE, "scandatabasex");
  WriteAll(root_.in() + "/ScanDatabase/0.bdy", "stored\r\n");
  WriteAll(root_.in() + "/ScanDatabase/7.hdr", "Body: ScanDatabase\\0.bdy\r\n");
  WriteAll(root_.in() + "/ScanDatabase/scannow.txt", "");
  EXPECT_EQ(WaitForSingleObject(database_event, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
  CloseHandle(database_event);
  EXPECT_EQ(engine.Stop(), 0);
}

TEST_F(VantrelProcessTest, JobsPublishedBeforeTheStartAreAnswered) {
  HANDLE event = Publish("8f6", JobFiles{});
  Engine engine(root_);
  EXPECT_EQ(WaitForSingleObject(event, kAnswerWaitMs), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_TRUE(Exists(root_.OutFile("8f6", "0.hd0")));
  CloseHandle(event);
}

TEST_F(VantrelProcessTest, TwoHundredJobsAtOnce) {
  Engine engine(root_, {"--threads", "4"});
  ASSERT_TRUE(engine.WaitUntilRunning());
  constexpr int kJobs = 200;
  std::vector<HANDLE> events;
  JobFiles infected;
  infected.attachments = {{"a.doc", "figures"}, {"e.com", EicarText()}};
  for (int i = 0; i < kJobs; ++i) {
    const std::string job_id = JobName("", 0x1000 + i);
    events.push_back(Publish(job_id, i % 3 == 0 ? infected : JobFiles{}));
  }
  for (int i = 0; i < kJobs; ++i) {
    ASSERT_EQ(WaitForSingleObject(events[i], kAnswerWaitMs), static_cast<DWORD>(WAIT_OBJECT_0))
        << "job " << i;
    CloseHandle(events[i]);
  }
  for (int i = 0; i < kJobs; ++i) {
    const std::string job_id = JobName("", 0x1000 + i);
    EXPECT_TRUE(Exists(root_.OutFile(job_id, "0.hd0"))) << job_id;
    EXPECT_EQ(Exists(root_.OutFile(job_id, "Scanover.txt")), i % 3 == 0) << job_id;
  }
  EXPECT_EQ(engine.Stop(), 0);
}

TEST_F(VantrelProcessTest, VanishingJobsDoNotStopTheEngine) {
  Engine engine(root_);
  ASSERT_TRUE(engine.WaitUntilRunning());
  // Jobs given up by their waiter while the engine may be at them: IN and OUT removed at
  // once after publication, as the system does after a time-out.
  JobFiles big;
  big.attachments = {{"big.bin", std::string(4 << 20, 'a')}};
  for (int i = 0; i < 20; ++i) {
    const std::string job_id = JobName("a", i);
    root_.WriteJob(job_id, big);
    RemoveTree(root_.in() + "/" + job_id);
    RemoveTree(root_.out() + "/" + job_id);
  }
  // A job whose files vanish but whose waiter still waits gets error.hdr.
  HANDLE gone_event = CreateEvent(nullptr, FALSE, FALSE, "b1x");
  root_.WriteJob("b1", JobFiles{}, /*publish=*/false);
  ::unlink((root_.in() + "/b1/0.bdy").c_str());
  ::rename((root_.in() + "/b1/0.hdf").c_str(), (root_.in() + "/b1/0.hdr").c_str());
  EXPECT_EQ(WaitForSingleObject(gone_event, kAnswerWaitMs), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_TRUE(Exists(root_.OutFile("b1", "error.hdr")));
  CloseHandle(gone_event);

  HANDLE event = Publish("c1", JobFiles{});
  EXPECT_EQ(WaitForSingleObject(event, kAnswerWaitMs), static_cast<DWORD>(WAIT_OBJECT_0));
  CloseHandle(event);
  // An error answer may land while the waiter is still removing the OUT job (the engine
  // cannot check and write at once); nothing else may be left there.
  for (int i = 0; i < 20; ++i) {
    const std::string out_job = root_.out() + "/" + JobName("a", i);
    if (!Exists(out_job)) continue;
    for (const auto& entry : std::filesystem::directory_iterator(out_job)) {
      EXPECT_EQ(entry.path().filename().string(), "error.hdr") << out_job;
    }
  }
  EXPECT_EQ(engine.Stop(), 0);
}

TEST_F(VantrelProcessTest, StopLeavesEveryJobAnsweredWholeOrForTheNextEngine) {
  constexpr int kJobs = 24;
  JobFiles files;
  files.attachments = {{"big.bin", std::string(2 << 20, 'b')}};
  std::vector<HANDLE> events;
  {
    Engine engine(root_, {"--threads", "2"});
    ASSERT_TRUE(engine.WaitUntilRunning());
    for (int i = 0; i < kJobs; ++i) events.push_back(Publish(JobName("d", i), files));
    EXPECT_EQ(engine.Stop(), 0);
  }
  int answered = 0;
  for (int i = 0; i < kJobs; ++i) {
    const std::string job_id = JobName("d", i);
    const bool has_answer = Exists(root_.OutFile(job_id, "0.hd0"));
    // No half answer: either the result header is there or nothing is.
    if (!has_answer) {
      EXPECT_FALSE(Exists(root_.OutFile(job_id, "0.bdy"))) << job_id;
    } else {
      EXPECT_EQ(WaitForSingleObject(events[i], 0), static_cast<DWORD>(WAIT_OBJECT_0)) << job_id;
      ++answered;
    }
  }
  // The next engine answers what the stopped one left. It is stopped only once it runs:
  // when the first engine answered everything, a stop could otherwise reach it before its
  // signal handling is in place.
  Engine next(root_);
  ASSERT_TRUE(next.WaitUntilRunning());
  for (int i = 0; i < kJobs; ++i) {
    if (Exists(root_.OutFile(JobName("d", i), "0.hd0"))) continue;
    EXPECT_EQ(WaitForSingleObject(events[i], kAnswerWaitMs), static_cast<DWORD>(WAIT_OBJECT_0));
  }
  for (HANDLE event : events) CloseHandle(event);
  EXPECT_EQ(next.Stop(), 0);
  RecordProperty("answered_before_stop", answered);
}

TEST_F(VantrelProcessTest, SameJobIdPublishedAgainIsAnsweredAgain) {
  Engine engine(root_);
  ASSERT_TRUE(engine.WaitUntilRunning());
  HANDLE event = Publish("8f6", JobFiles{});
  ASSERT_EQ(WaitForSingleObject(event, kAnswerWaitMs), static_cast<DWORD>(WAIT_OBJECT_0));
  CloseHandle(event);
  // The job ends: the system removes both directories; later the same note comes again.
  RemoveTree(root_.in() + "/8f6");
  RemoveTree(root_.out() + "/8f6");
  JobFiles infected;
  infected.attachments = {{"e.com", EicarText()}};
  event = Publish("8f6", infected);
  ASSERT_EQ(WaitForSingleObject(event, kAnswerWaitMs), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_TRUE(Exists(root_.OutFile("8f6", "Scanover.txt")));
  CloseHandle(event);
}

TEST_F(VantrelProcessTest, DatabaseScannerJobSetsScanDatabaseEvent) {
  Engine engine(root_);
  ASSERT_TRUE(engine.WaitUntilRunning());
  HANDLE event = CreateEvent(nullptr, FALSE, FALSE, "scandatabasex");
  const std::string job_dir = root_.in() + "/ScanDatabase";
  ::mkdir(job_dir.c_str(), 0755);
  ::mkdir((root_.out() + "/ScanDatabase").c_str(), 0755);
  WriteAll(job_dir + "/0.bdy", "VANTREL-TEST-BODY-VIRUS\r\n");
  WriteAll(job_dir + "/0.hdf", "Body: ScanDatabase\\0.bdy\r\nFrom: a@b\r\nTo: c@d\r\n");
  ::rename((job_dir + "/0.hdf").c_str(), (job_dir + "/12F.hdr").c_str());
  WriteAll(job_dir + "/scannow.txt", "");
  ASSERT_EQ(WaitForSingleObject(event, kAnswerWaitMs), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(ReadAll(root_.in() + "/Virnames.txt"),
            "Vantrel.Test.BodyText found in the mail text\r\n");
  EXPECT_TRUE(Exists(root_.OutFile("ScanDatabase", "0.hd0")));
  CloseHandle(event);
}

}  // namespace
}  // namespace vtengine
