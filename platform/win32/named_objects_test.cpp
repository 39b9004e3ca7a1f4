// Mutexes and events within one process: ownership by thread, recursion, creation reports,
// resets, time-outs, names, and the object's lifetime.
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/win32/test_support.h"

namespace win32test {
namespace {

using NamedObjectTest = RootTest;

TEST_F(NamedObjectTest, MutexIsRecursiveForItsOwnerAndExcludesOtherThreads) {
  HANDLE mutex = CreateMutex(nullptr, TRUE, "MyMutex");
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);  // count 2

  DWORD other_result = 0;
  BOOL other_release = TRUE;
  std::thread other([&] {
    other_result = WaitForSingleObject(mutex, 50);
    other_release = ReleaseMutex(mutex);
  });
  other.join();
  EXPECT_EQ(other_result, static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_FALSE(other_release);

  EXPECT_TRUE(ReleaseMutex(mutex));
  std::thread still_held([&] { other_result = WaitForSingleObject(mutex, 0); });
  still_held.join();
  EXPECT_EQ(other_result, static_cast<DWORD>(WAIT_TIMEOUT));  // one count left
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_FALSE(ReleaseMutex(mutex));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
  std::thread now_free([&] {
    other_result = WaitForSingleObject(mutex, 0);
    ReleaseMutex(mutex);
  });
  now_free.join();
  EXPECT_EQ(other_result, WAIT_OBJECT_0);
  CloseHandle(mutex);
}

TEST_F(NamedObjectTest, SecondCreateReportsExistingAndDoesNotTakeOwnership) {
  HANDLE first = CreateMutex(nullptr, FALSE, "gMutex");
  ASSERT_NE(first, nullptr);
  HANDLE second = nullptr;
  std::thread creator([&] {
    second = CreateMutex(nullptr, TRUE, "Global\\gMutex");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(ReleaseMutex(second));  // initial ownership is ignored for an existing one
  });
  creator.join();
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, first);
  EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(second));  // the same object through either handle
  CloseHandle(first);
  CloseHandle(second);
}

TEST_F(NamedObjectTest, OwnerThreadThatExitsAbandonsTheMutex) {
  HANDLE mutex = CreateMutex(nullptr, FALSE, "job-mutex");
  std::thread owner([&] { EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0); });
  owner.join();
  EXPECT_EQ(WaitForSingleObject(mutex, 1000), static_cast<DWORD>(WAIT_ABANDONED));
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);  // now an ordinary mutex again
  EXPECT_TRUE(ReleaseMutex(mutex));
  CloseHandle(mutex);
}

TEST_F(NamedObjectTest, WaiterWakesWhenTheOwnerReleases) {
  HANDLE mutex = CreateMutex(nullptr, TRUE, "statistics_mutex");
  std::atomic<DWORD> result{0xFFFF};
  ULONGLONG start = GetTickCount64();
  std::thread waiter([&] {
    HANDLE own = OpenMutex(MUTEX_ALL_ACCESS, FALSE, "statistics_mutex");
    result = WaitForSingleObject(own, INFINITE);
    ReleaseMutex(own);
    CloseHandle(own);
  });
  Sleep(30);
  EXPECT_TRUE(ReleaseMutex(mutex));
  waiter.join();
  EXPECT_EQ(result.load(), WAIT_OBJECT_0);
  EXPECT_LT(GetTickCount64() - start, 5000u);
  CloseHandle(mutex);
}

TEST_F(NamedObjectTest, AutomaticResetEventReleasesOneWaitManualResetStaysSet) {
  HANDLE automatic = CreateEvent(nullptr, FALSE, TRUE, "auto");
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(SetEvent(automatic));
  EXPECT_TRUE(SetEvent(automatic));  // setting twice does not count twice
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), static_cast<DWORD>(WAIT_TIMEOUT));

  HANDLE manual = CreateEvent(nullptr, TRUE, FALSE, "manual");
  EXPECT_EQ(WaitForSingleObject(manual, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(SetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ResetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  CloseHandle(automatic);
  CloseHandle(manual);
}

TEST_F(NamedObjectTest, TimedWaitReturnsAfterItsTimeNotLongBefore) {
  HANDLE event = CreateEvent(nullptr, FALSE, FALSE, nullptr);
  ULONGLONG start = GetTickCount64();
  EXPECT_EQ(WaitForSingleObject(event, 120), static_cast<DWORD>(WAIT_TIMEOUT));
  ULONGLONG waited = GetTickCount64() - start;
  EXPECT_GE(waited, 119u);
  EXPECT_LT(waited, 3000u);
  CloseHandle(event);
}

TEST_F(NamedObjectTest, ObjectGoesAwayWithItsLastHandle) {
  HANDLE first = CreateMutex(nullptr, FALSE, "LogFile");
  HANDLE second = OpenMutex(MUTEX_ALL_ACCESS, FALSE, "LogFile");
  ASSERT_NE(second, nullptr);
  CloseHandle(first);
  HANDLE third = OpenMutex(MUTEX_ALL_ACCESS, FALSE, "LogFile");
  EXPECT_NE(third, nullptr);  // still held by the second handle
  CloseHandle(second);
  CloseHandle(third);
  EXPECT_EQ(OpenMutex(MUTEX_ALL_ACCESS, FALSE, "LogFile"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  HANDLE fresh = CreateMutex(nullptr, TRUE, "LogFile");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_TRUE(ReleaseMutex(fresh));
  CloseHandle(fresh);
}

// Two machines side by side (as tests run them) never share an object of the same name,
// wherever the blocks are kept.
TEST_F(NamedObjectTest, RootsDoNotShareObjects) {
  for (const char* below_root : {"0", "1"}) {
    SCOPED_TRACE(below_root);
    ::setenv("VT_OBJECTS_BELOW_ROOT", below_root, 1);
    HANDLE here = CreateEvent(nullptr, TRUE, FALSE, "Global\\UpdateEvent");
    ASSERT_NE(here, nullptr);
    const std::string other_root = root_ + "/other";
    std::filesystem::create_directories(other_root);
    vtplatform::SetSystemRoot(other_root);
    EXPECT_EQ(OpenEvent(EVENT_MODIFY_STATE, FALSE, "Global\\UpdateEvent"), nullptr);
    HANDLE there = CreateEvent(nullptr, TRUE, FALSE, "Global\\UpdateEvent");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(SetEvent(there));
    CloseHandle(there);
    vtplatform::SetSystemRoot(root_);
    EXPECT_EQ(WaitForSingleObject(here, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    if (std::string(below_root) == "1") {
      EXPECT_TRUE(std::filesystem::is_directory(Path(".objects")));
    }
    CloseHandle(here);
  }
  ::unsetenv("VT_OBJECTS_BELOW_ROOT");
}

TEST_F(NamedObjectTest, NamesAreRefusedNotCutAndKindsDoNotMix) {
  std::string longest(MAX_PATH, 'n');
  HANDLE fits = CreateMutex(nullptr, FALSE, longest.c_str());
  EXPECT_NE(fits, nullptr);
  std::string too_long = longest + "x";
  EXPECT_EQ(CreateMutex(nullptr, FALSE, too_long.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_EQ(CreateEvent(nullptr, FALSE, FALSE, ("Global\\" + too_long).c_str()), nullptr);
  CloseHandle(fits);

  HANDLE mutex = CreateMutex(nullptr, FALSE, "scandatabasex");
  EXPECT_EQ(CreateEvent(nullptr, FALSE, FALSE, "scandatabasex"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(OpenEvent(EVENT_ALL_ACCESS, FALSE, "scandatabasex"), nullptr);
  // Names keep their case, as on Windows.
  HANDLE other_case = CreateMutex(nullptr, FALSE, "SCANDATABASEX");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  CloseHandle(other_case);
  EXPECT_FALSE(SetEvent(mutex));
  CloseHandle(mutex);
}

TEST_F(NamedObjectTest, UnnamedObjectsAreDistinct) {
  HANDLE a = CreateEvent(nullptr, TRUE, FALSE, nullptr);
  HANDLE b = CreateEvent(nullptr, TRUE, FALSE, "");
  EXPECT_TRUE(SetEvent(a));
  EXPECT_EQ(WaitForSingleObject(b, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  CloseHandle(a);
  CloseHandle(b);
}

TEST_F(NamedObjectTest, StaleAndClosedHandlesFail) {
  HANDLE event = CreateEvent(nullptr, FALSE, FALSE, nullptr);
  EXPECT_TRUE(CloseHandle(event));
  EXPECT_FALSE(CloseHandle(event));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
  EXPECT_FALSE(CloseHandle(nullptr));
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
}

DWORD WINAPI ReturnParameter(LPVOID parameter) {
  Sleep(20);
  return static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(parameter));
}

DWORD WINAPI SpinUntilFlag(LPVOID parameter) {
  auto* flag = static_cast<std::atomic<bool>*>(parameter);
  while (!flag->load()) Sleep(1);
  return 5;
}

TEST_F(NamedObjectTest, ThreadHandlesAreWaitableAndCarryTheExitCode) {
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, ReturnParameter, reinterpret_cast<LPVOID>(17), 0, &id);
  ASSERT_NE(thread, nullptr);
  EXPECT_NE(id, 0u);
  EXPECT_NE(id, GetCurrentThreadId());
  EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 17u);
  CloseHandle(thread);

  // A thread given up on: its handle is signalled with the given code while it runs on.
  // Static: the abandoned thread may still read it after this test has returned.
  static std::atomic<bool> stop{false};
  HANDLE spinner = CreateThread(nullptr, 0, SpinUntilFlag, &stop, 0, nullptr);
  EXPECT_TRUE(GetExitCodeThread(spinner, &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_TRUE(TerminateThread(spinner, 99));
  EXPECT_EQ(WaitForSingleObject(spinner, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeThread(spinner, &code));
  EXPECT_EQ(code, 99u);
  stop = true;
  Sleep(20);
  EXPECT_TRUE(GetExitCodeThread(spinner, &code));
  EXPECT_EQ(code, 99u);
  CloseHandle(spinner);
}

TEST_F(NamedObjectTest, WaitOnSeveralReportsTheFirstSignalled) {
  HANDLE a = CreateEvent(nullptr, TRUE, FALSE, nullptr);
  HANDLE b = CreateEvent(nullptr, TRUE, TRUE, nullptr);
  HANDLE both[2] = {a, b};
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 20), static_cast<DWORD>(WAIT_TIMEOUT));
  SetEvent(a);
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 20), WAIT_OBJECT_0);
  CloseHandle(a);
  CloseHandle(b);
}

}  // namespace
}  // namespace win32test
