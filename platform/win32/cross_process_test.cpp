// Behaviour that only shows between processes: exclusion, crashes, wake-ups, share modes and
// concurrent profile writers, each with a real second process.
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/win32/named_objects.h"
#include "platform/win32/test_support.h"

namespace win32test {
namespace {

using CrossProcessTest = RootTest;

TEST_F(CrossProcessTest, TwoProcessesContendingForOneMutexLoseNoUpdate) {
  WriteText("counter", "0\n");
  constexpr int kTimes = 200;
  HANDLE first = StartHelper({"count", "Global\\counter", Path("counter"), std::to_string(kTimes)});
  // "Global\" and "Local\" name the same object.
  HANDLE second = StartHelper({"count", "Local\\counter", Path("counter"), std::to_string(kTimes)});
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  for (HANDLE process : {first, second}) {
    ASSERT_EQ(WaitForSingleObject(process, 60000), WAIT_OBJECT_0);
    DWORD code = 99;
    EXPECT_TRUE(GetExitCodeProcess(process, &code));
    EXPECT_EQ(code, 0u);
    CloseHandle(process);
  }
  EXPECT_EQ(std::atoi(ReadText("counter").c_str()), 2 * kTimes);
}

TEST_F(CrossProcessTest, HolderKilledHandsTheAbandonedMutexToTheNextWaiter) {
  HANDLE ready = CreateEvent(nullptr, TRUE, FALSE, "holder-ready");
  HANDLE holder = StartHelper({"hold-mutex", "gMutex", "holder-ready"});
  ASSERT_TRUE(AwaitReady(ready, holder));
  HANDLE mutex = CreateMutex(nullptr, FALSE, "gMutex");
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(WaitForSingleObject(mutex, 100), static_cast<DWORD>(WAIT_TIMEOUT));

  ASSERT_TRUE(TerminateProcess(holder, 9));
  EXPECT_EQ(WaitForSingleObject(mutex, 10000), static_cast<DWORD>(WAIT_ABANDONED));
  // The waiter owns it now: a recursive wait succeeds and both releases work.
  EXPECT_EQ(WaitForSingleObject(mutex, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_FALSE(ReleaseMutex(mutex));
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(holder, &code));
  EXPECT_EQ(code, 9u);
  CloseHandle(holder);
  CloseHandle(mutex);
  CloseHandle(ready);
}

TEST_F(CrossProcessTest, EventSetInOneProcessWakesAWaiterInAnother) {
  HANDLE event = CreateEvent(nullptr, FALSE, FALSE, "UpdateEvent");
  ASSERT_NE(event, nullptr);
  HANDLE waiter = StartHelper({"wait-event", "UpdateEvent", "20000"});
  ASSERT_NE(waiter, nullptr);
  // Give the waiter time to fall asleep, so the wake-up, not the initial check, is tested.
  Sleep(200);
  ASSERT_TRUE(SetEvent(event));
  ASSERT_EQ(WaitForSingleObject(waiter, 20000), WAIT_OBJECT_0);
  DWORD code = 99;
  EXPECT_TRUE(GetExitCodeProcess(waiter, &code));
  EXPECT_EQ(code, 0u);
  // The automatic-reset event was consumed by the other process.
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  CloseHandle(waiter);

  EXPECT_EQ(RunHelper({"set-event", "UpdateEvent"}), 0u);
  EXPECT_EQ(WaitForSingleObject(event, 1000), WAIT_OBJECT_0);
  CloseHandle(event);
}

TEST_F(CrossProcessTest, SingleInstanceMutexCanBeCreatedAfreshAfterItsHolderCrashed) {
  HANDLE ready = CreateEvent(nullptr, TRUE, FALSE, "single-ready");
  HANDLE first = StartHelper({"single", "vtsweep-instance", "single-ready"});
  ASSERT_TRUE(AwaitReady(ready, first));
  // While it runs a second instance is refused.
  EXPECT_EQ(RunHelper({"single", "vtsweep-instance", "single-ready"}), 3u);
  ASSERT_TRUE(TerminateProcess(first, 1));
  ASSERT_EQ(WaitForSingleObject(first, 10000), WAIT_OBJECT_0);
  CloseHandle(first);

  HANDLE mutex = CreateMutex(nullptr, TRUE, "vtsweep-instance");
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  // Fresh and owned as asked, not abandoned.
  EXPECT_EQ(WaitForSingleObject(mutex, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_TRUE(ReleaseMutex(mutex));
  CloseHandle(mutex);
  CloseHandle(ready);
}

// The blocks of a killed process's objects do not stay in shared memory: the next process
// that uses named objects removes those no live process holds, and keeps the others.
TEST_F(CrossProcessTest, BlocksAKilledHolderLeftAreSweptByTheNextProcess) {
  const std::string left_behind = win32internal::BlockFilePath("left-behind");
  if (left_behind.rfind("/dev/shm/", 0) != 0) GTEST_SKIP() << "the blocks are below the root";
  HANDLE ready = CreateEvent(nullptr, TRUE, FALSE, "sweep-ready");
  HANDLE holder = StartHelper({"single", "left-behind", "sweep-ready"});
  const bool holding = AwaitReady(ready, holder);
  const bool held_block_there = std::filesystem::exists(left_behind);
  ASSERT_TRUE(TerminateProcess(holder, 1));
  ASSERT_EQ(WaitForSingleObject(holder, 10000), WAIT_OBJECT_0);
  CloseHandle(holder);
  ASSERT_TRUE(holding);
  EXPECT_TRUE(held_block_there);
  EXPECT_TRUE(std::filesystem::exists(left_behind));  // nobody closed it
  EXPECT_EQ(RunHelper({"set-event", "sweep-ready"}), 0u);
  EXPECT_FALSE(std::filesystem::exists(left_behind));
  // The event this process still holds is kept, and was set by the helper.
  EXPECT_TRUE(std::filesystem::exists(win32internal::BlockFilePath("sweep-ready")));
  EXPECT_EQ(WaitForSingleObject(ready, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  CloseHandle(ready);
}

TEST_F(CrossProcessTest, ExclusiveOpenIsASharingViolationUntilItsHolderExits) {
  std::string lock_file = Path("maildisp.lck");
  HANDLE ready = CreateEvent(nullptr, TRUE, FALSE, "engine-ready");
  HANDLE engine = StartHelper({"hold-file", lock_file, "engine-ready"});
  ASSERT_TRUE(AwaitReady(ready, engine));

  for (DWORD share : {0u, static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE)}) {
    HANDLE file =
        CreateFile(lock_file.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  }
  EXPECT_FALSE(DeleteFile(lock_file.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));

  ASSERT_TRUE(TerminateProcess(engine, 0));
  ASSERT_EQ(WaitForSingleObject(engine, 10000), WAIT_OBJECT_0);
  CloseHandle(engine);
  HANDLE file =
      CreateFile(lock_file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
  EXPECT_TRUE(DeleteFile(lock_file.c_str()));
  CloseHandle(ready);
}

TEST_F(CrossProcessTest, TwoProcessesWritingOneProfileLoseNoKey) {
  std::string ini = Path("vantrel.ini");
  constexpr int kKeys = 60;
  HANDLE first = StartHelper({"ini-writer", ini, "a", std::to_string(kKeys)});
  HANDLE second = StartHelper({"ini-writer", ini, "b", std::to_string(kKeys)});
  for (HANDLE process : {first, second}) {
    ASSERT_EQ(WaitForSingleObject(process, 60000), WAIT_OBJECT_0);
    DWORD code = 99;
    EXPECT_TRUE(GetExitCodeProcess(process, &code));
    EXPECT_EQ(code, 0u);
    CloseHandle(process);
  }
  for (const char* prefix : {"a", "b"}) {
    for (int i = 0; i < kKeys; ++i) {
      std::string key = prefix + std::to_string(i);
      EXPECT_EQ(GetPrivateProfileInt("Keys", key.c_str(), -1, ini.c_str()),
                static_cast<UINT>(i))
          << key;
    }
  }
}

TEST_F(CrossProcessTest, ProcessExitCodesAndTimeouts) {
  HANDLE process = StartHelper({"exit", "7"});
  ASSERT_EQ(WaitForSingleObject(process, 10000), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(process, &code));
  EXPECT_EQ(code, 7u);
  CloseHandle(process);

  HANDLE sleeper = StartHelper({"wait-event", "never-set", "5000"});
  EXPECT_TRUE(GetExitCodeProcess(sleeper, &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_EQ(WaitForSingleObject(sleeper, 50), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(TerminateProcess(sleeper, 42));
  EXPECT_EQ(WaitForSingleObject(sleeper, 10000), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeProcess(sleeper, &code));
  EXPECT_EQ(code, 42u);
  CloseHandle(sleeper);
}

}  // namespace
}  // namespace win32test
