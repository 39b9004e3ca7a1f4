// Tests of UpdateDLL as the built library and command deliver it: the event reaches a
// waiter in another process, the failures are reported where they should be, and the
// library exports nothing but UpdateDLL.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "foundation/test_root.h"
#include "platform/win32/windows.h"

namespace {

using foundation::testing::ReadWhole;
using foundation::testing::TestRoot;

// The library, loaded as its callers load it (kept mapped, as the engine keeps it).
class Library {
 public:
  Library() {
    handle_ = dlopen(VT_VTUPDATE_LIBRARY, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (handle_ != nullptr) update_ = reinterpret_cast<int (*)()>(dlsym(handle_, "UpdateDLL"));
  }
  ~Library() {
    if (handle_ != nullptr) dlclose(handle_);
  }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  [[nodiscard]] bool loaded() const { return update_ != nullptr; }
  int UpdateDLL() const { return update_(); }

 private:
  void* handle_ = nullptr;
  int (*update_)() = nullptr;
};

// Standard output and error of a command, and its exit status.
struct CommandRun {
  std::string output;
  int status = -1;
};

CommandRun RunCommand(const std::string& command) {
  CommandRun run;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[512];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, got);
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

class UpdateDllTest : public ::testing::Test {
 protected:
  void Install(bool with_report_directory) {
    root_.Write("windows/win.ini", "[Vantrel]\r\nInstallDirectory=" + root_.Path("vantrel") + "\r\n");
    root_.Write("vantrel/vantrel.ini",
                with_report_directory
                    ? "[General]\r\nScanDir=IN\r\nReportDirectory=" + root_.Path("report") + "\r\n"
                    : "[General]\r\nScanDir=IN\r\n");
  }

  TestRoot root_;
  Library library_;
};

TEST_F(UpdateDllTest, WakesAReloadWaitingInAnotherProcess) {
  Install(true);
  ASSERT_TRUE(library_.loaded()) << dlerror();
  const pid_t waiter = fork();
  ASSERT_GE(waiter, 0);
  if (waiter == 0) {
    execl(VT_WIN32_HELPER, VT_WIN32_HELPER, root_.path().c_str(), "wait-event", "UpdateEvent",
          "20000", static_cast<char*>(nullptr));
    _exit(127);
  }
  // The waiter holds the event only once it runs; a signal made before that is lost with
  // the event, as for a router that has not started yet. So signal until it wakes.
  int status = 0;
  pid_t ended = 0;
  for (int i = 0; i < 400 && ended == 0; ++i) {
    EXPECT_EQ(library_.UpdateDLL(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ended = waitpid(waiter, &status, WNOHANG);
  }
  if (ended == 0) ended = waitpid(waiter, &status, 0);
  ASSERT_EQ(ended, waiter);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the waiter did not see the event";
  EXPECT_FALSE(std::filesystem::exists(root_.Path("report/updatedll.log")))
      << "a signal that worked logs nothing";
}

TEST_F(UpdateDllTest, CommandSignalsAnEventThatAWaiterHoldsOpen) {
  Install(true);
  HANDLE event = CreateEvent(nullptr, FALSE, FALSE, "UpdateEvent");
  ASSERT_NE(event, nullptr);
  const CommandRun run = RunCommand(std::string(VT_VTUPDATE_COMMAND) + " --root '" + root_.path() + "'");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
  // Automatic reset: one call wakes one wait once.
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  CloseHandle(event);
}

TEST_F(UpdateDllTest, WithoutInstallDirectoryOnlyTheMessageBoxSpeaks) {
  const CommandRun run = RunCommand(std::string(VT_VTUPDATE_COMMAND) + " --root '" + root_.path() + "'");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, "Unabel to Get Vantrel Path from win.ini\n");
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root_.path()))
    EXPECT_NE(entry.path().filename(), "updatedll.log") << entry.path();
}

// Another kind of object holding the name makes the event impossible to create.
TEST_F(UpdateDllTest, EventThatCannotBeMadeIsLoggedAndStillReturnsZero) {
  ASSERT_TRUE(library_.loaded()) << dlerror();
  HANDLE squatter = CreateMutex(nullptr, FALSE, "UpdateEvent");
  ASSERT_NE(squatter, nullptr);
  const std::regex line(R"(\[\d{3,}\] \d\d/\d\d/\d{4} \d\d:\d\d:\d\d:\d{3} : (.*)\r)");
  struct Case {
    bool with_report_directory;
    const char* log;
  } cases[] = {{true, "report/updatedll.log"}, {false, "updatedll.log"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.log);
    Install(c.with_report_directory);
    EXPECT_EQ(library_.UpdateDLL(), 0);
    const std::string text = ReadWhole(root_.Path(c.log));
    std::vector<std::string> texts;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), line);
         it != std::sregex_iterator(); ++it)
      texts.push_back((*it)[1]);
    ASSERT_EQ(texts.size(), 2u) << text;
    EXPECT_NE(texts[0].find("(0x6)"), std::string::npos) << "the system's text comes first";
    EXPECT_EQ(texts[1], "Error: OpenEvent Fails...Reason above");
  }
  CloseHandle(squatter);
}

TEST(UpdateDllExports, OnlyUpdateDLL) {
  const CommandRun run = RunCommand(std::string("nm -D --defined-only '") + VT_VTUPDATE_LIBRARY + "'");
  ASSERT_EQ(run.status, 0) << run.output;
  std::set<std::string> names;
  std::istringstream lines(run.output);
  for (std::string entry; std::getline(lines, entry);) {
    const std::size_t space = entry.find_last_of(' ');
    names.insert(entry.substr(space == std::string::npos ? 0 : space + 1));
  }
  EXPECT_EQ(names, std::set<std::string>{"UpdateDLL"}) << run.output;
}

}  // namespace
