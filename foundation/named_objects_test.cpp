// named_objects_test.cpp - name qualification per platform, the named-mutex calls, the
// service-account test and the engine's lock file, with real second processes where the
// behaviour crosses processes.
#include "foundation/named_objects.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "foundation/test_root.h"

extern char** environ;

namespace foundation {
namespace {

using testing::TestRoot;

// A second process is this test program started again to run only ChildProcess.Role, with
// a role in the environment: it takes the object, announces it with a ready file and waits
// to be killed.
constexpr const char* kRoleVariable = "VT_FOUNDATION_TEST_ROLE";
constexpr const char* kTargetVariable = "VT_FOUNDATION_TEST_TARGET";

[[noreturn]] void RunChildRole(const std::string& role, const std::string& target) {
  HANDLE held = nullptr;
  if (role == "hold-lock") {
    held = CreateFile(target.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) _exit(2);
  } else if (role == "hold-mutex") {
    if (OpenMutexForUse(held, true, target.c_str()) != 0) _exit(2);
  } else {
    _exit(3);
  }
  { std::ofstream(vtplatform::RootPath("tmp/child.ready")) << role; }
  for (;;) pause();
}

// The entry of a second process: started with a filter that selects only this case.
TEST(ChildProcess, Role) {
  const char* role = getenv(kRoleVariable);
  const char* target = getenv(kTargetVariable);
  if (role == nullptr || target == nullptr) GTEST_SKIP() << "runs only as a second process";
  RunChildRole(role, target);
}

class Child {
 public:
  Child(const TestRoot& root, const std::string& role, const std::string& target)
      : ready_(root.Path("tmp/child.ready")) {
    std::filesystem::remove(ready_);
    setenv(kRoleVariable, role.c_str(), 1);
    setenv(kTargetVariable, target.c_str(), 1);
    char program[] = "/proc/self/exe";
    char filter[] = "--gtest_filter=ChildProcess.Role";
    char* argv[] = {program, filter, nullptr};
    const int spawned = posix_spawn(&pid_, "/proc/self/exe", nullptr, nullptr, argv, environ);
    unsetenv(kRoleVariable);
    unsetenv(kTargetVariable);
    if (spawned != 0) pid_ = -1;
  }
  ~Child() { Kill(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // True once the child holds its object.
  bool WaitReady() const {
    for (int i = 0; i < 500 && pid_ > 0; ++i) {
      if (std::filesystem::exists(ready_)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  void Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  std::string ready_;
  pid_t pid_ = -1;
};

vtplatform::MachineIdentity Identity(unsigned major, unsigned minor, bool nt, bool terminal) {
  vtplatform::MachineIdentity identity;
  identity.major = major;
  identity.minor = minor;
  identity.nt_family = nt;
  identity.terminal_server = terminal;
  return identity;
}

class NamedObjectsTest : public ::testing::Test {
 protected:
  TestRoot root_;
};

TEST_F(NamedObjectsTest, PlatformClassesAndNameQualification) {
  const struct {
    const char* what;
    vtplatform::MachineIdentity identity;
    bool qualified;
    bool xp;
    bool six;
  } cases[] = {
      {"9x", Identity(4, 10, false, true), false, false, false},
      {"2000", Identity(5, 0, true, false), false, false, false},
      {"2000 TS", Identity(5, 0, true, true), true, false, false},
      {"XP", Identity(5, 1, true, false), true, true, false},
      {"2003", Identity(5, 2, true, false), false, false, false},
      {"2003 TS", Identity(5, 2, true, true), true, false, false},
      {"6.1", Identity(6, 1, true, false), true, false, true},
  };
  for (const auto& c : cases) {
    vtplatform::SetMachineIdentity(c.identity);
    EXPECT_EQ(QualifyObjectName("gMutex"), c.qualified ? "Global\\gMutex" : "gMutex") << c.what;
    EXPECT_EQ(IsXp(), c.xp) << c.what;
    EXPECT_EQ(IsWindows6OrLater(), c.six) << c.what;
    // A name with a prefix keeps it, whatever its case.
    EXPECT_EQ(QualifyObjectName("local\\gMutex"), "local\\gMutex") << c.what;
    EXPECT_EQ(QualifyObjectName("GLOBAL\\gMutex"), "GLOBAL\\gMutex") << c.what;
    EXPECT_EQ(QualifyObjectName(""), "") << c.what;
  }
  vtplatform::SetMachineIdentity(Identity(4, 10, false, true));
  EXPECT_FALSE(IsTerminalServer());
  EXPECT_TRUE(ClassifyPlatform().win9x);
  EXPECT_FALSE(ClassifyPlatform().nt_family);
  vtplatform::SetMachineIdentity(Identity(5, 2, true, false));
  EXPECT_TRUE(ClassifyPlatform().server_2003);
}

TEST_F(NamedObjectsTest, NtFourTerminalServerFromProductSuite) {
  vtplatform::SetMachineIdentity(Identity(4, 0, true, false));
  EXPECT_FALSE(IsTerminalServer());
  HKEY key = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\ProductOptions",
                           0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, &disposition),
            ERROR_SUCCESS);
  const char suites[] = "Small Business\0Terminal Server\0";
  ASSERT_EQ(RegSetValueEx(key, "ProductSuite", 0, REG_MULTI_SZ,
                          reinterpret_cast<const BYTE*>(suites), sizeof(suites)),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_TRUE(IsTerminalServer());
  EXPECT_EQ(QualifyObjectName("LogFile"), "Global\\LogFile");
}

TEST_F(NamedObjectsTest, CreateReportsExistingAndRefusesLongNames) {
  HANDLE first = nullptr;
  ASSERT_EQ(OpenMutexForUse(first, false, "statistics_mutex"), 0);
  UniqueHandle first_owner(first);
  EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  UniqueHandle second(CreateNamedMutex(nullptr, false, "statistics_mutex", true, true));
  ASSERT_TRUE(second.valid());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));

  // Too long once qualified: refused, and no object under the cut name.
  const std::string name(kMaxObjectNameLength - 3, 'n');
  HANDLE refused = nullptr;
  EXPECT_EQ(OpenMutexForUse(refused, false, name.c_str()), -1);
  EXPECT_EQ(refused, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
  vtplatform::SetMachineIdentity(Identity(5, 0, true, false));  // no prefix: it fits
  UniqueHandle fits(CreateNamedMutex(nullptr, false, name.c_str(), false, false));
  EXPECT_TRUE(fits.valid());
  EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));

  UniqueHandle unnamed(CreateNamedMutex(nullptr, true, nullptr, true, false));
  EXPECT_TRUE(unnamed.valid());
  EXPECT_EQ(ReleaseNamedMutex(unnamed.get()), 0);
}

TEST_F(NamedObjectsTest, WaitReleaseAndCloseTolerateMissingHandles) {
  EXPECT_EQ(WaitObject(nullptr, 0), -1);
  EXPECT_EQ(WaitObject(INVALID_HANDLE_VALUE, 0), -1);
  EXPECT_EQ(ReleaseNamedMutex(nullptr), 0);
  HANDLE slot = nullptr;
  CloseObject(slot);
  slot = INVALID_HANDLE_VALUE;
  CloseObject(slot);
  EXPECT_EQ(slot, nullptr);

  ASSERT_EQ(OpenMutexForUse(slot, false, "MyMutex"), 0);
  EXPECT_EQ(ReleaseNamedMutex(slot), -1);  // not owned
  EXPECT_EQ(WaitObject(slot, 0), 0);
  EXPECT_EQ(WaitObject(slot, 0), 0);  // recursive for its owner
  EXPECT_EQ(ReleaseNamedMutex(slot), 0);
  EXPECT_EQ(ReleaseNamedMutex(slot), 0);
  CloseObject(slot);
  EXPECT_EQ(slot, nullptr);
}

TEST_F(NamedObjectsTest, MutexHoldExcludesOtherThreads) {
  HANDLE mutex = nullptr;
  ASSERT_EQ(OpenMutexForUse(mutex, false, "gMutex"), 0);
  UniqueHandle owner(mutex);
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      HANDLE own = nullptr;
      if (OpenMutexForUse(own, false, "gMutex") != 0) return;
      UniqueHandle own_owner(own);
      for (int i = 0; i < 50; ++i) {
        MutexHold hold(own);
        if (!hold.held()) continue;
        if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
        std::this_thread::yield();
        inside.fetch_sub(1);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(overlaps.load(), 0);

  // A hold that times out owns nothing and releases nothing.
  MutexHold mine(mutex);
  ASSERT_TRUE(mine.held());
  std::thread([&] {
    MutexHold theirs(mutex, 50);
    EXPECT_FALSE(theirs.held());
  }).join();
}

TEST_F(NamedObjectsTest, HolderKilledLeavesAnAbandonedMutexToTheWaiter) {
  Child child(root_, "hold-mutex", "MailBoxMutex");
  ASSERT_TRUE(child.WaitReady());
  HANDLE mutex = nullptr;
  ASSERT_EQ(OpenMutexForUse(mutex, false, "MailBoxMutex"), 0);
  UniqueHandle owner(mutex);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(WaitObject(mutex, 100), -1);
  child.Kill();
  EXPECT_EQ(WaitObject(mutex, 5000), 0);
  EXPECT_EQ(ReleaseNamedMutex(mutex), 0);
}

TEST_F(NamedObjectsTest, EngineLockFile) {
  const std::string install = root_.Path("vantrel");
  const std::string lock = install + "/" + kEngineLockFile;
  EXPECT_FALSE(IsEngineRunning(install));

  // A lock file nobody holds is stale: removed, engine not running.
  root_.Write("vantrel/maildisp.lck", "");
  EXPECT_FALSE(IsEngineRunning(install));
  EXPECT_FALSE(std::filesystem::exists(lock));

  // Held without sharing by another process: the engine runs, and the file stays.
  root_.Write("vantrel/maildisp.lck", "");
  {
    Child engine(root_, "hold-lock", lock);
    ASSERT_TRUE(engine.WaitReady());
    EXPECT_TRUE(IsEngineRunning(install + "/"));
    EXPECT_TRUE(std::filesystem::exists(lock));
  }
  EXPECT_FALSE(IsEngineRunning(install));
}

TEST_F(NamedObjectsTest, NetworkServiceByNameOrSid) {
  std::string user;
  EXPECT_FALSE(IsNetworkService(&user));
  EXPECT_EQ(user, "SYSTEM");
  vtplatform::MachineIdentity identity;
  identity.account_name = "Network Service";
  vtplatform::SetMachineIdentity(identity);
  EXPECT_TRUE(IsNetworkService(&user));
  EXPECT_EQ(user, "Network Service");
  // Without the NT account lookup, the SID decides.
  identity = Identity(4, 10, false, false);
  identity.account_name = "NETWORK SERVICE";
  vtplatform::SetMachineIdentity(identity);
  EXPECT_TRUE(IsNetworkService());
  // The mutex is still created under that account.
  HANDLE mutex = nullptr;
  EXPECT_EQ(OpenMutexForUse(mutex, false, "TotalSkippedMail_mutex"), 0);
  CloseObject(mutex);
}

}  // namespace
}  // namespace foundation
