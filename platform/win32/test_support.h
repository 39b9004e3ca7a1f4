// test_support.h - a fresh machine root per test, and the helper process of the tests.
//
// Each test of the Windows stand-in runs in its own root (a new temporary directory), set as
// the process's root for the test and removed afterwards; the identity is reset on both ends.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>

#include "platform/win32/machine.h"
#include "platform/win32/windows.h"

namespace win32test {

class RootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "vt-win32-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    vtplatform::SetSystemRoot(root_);
    vtplatform::ResetMachineIdentity();
  }
  void TearDown() override {
    vtplatform::SetSystemRoot("");
    vtplatform::ResetMachineIdentity();
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  [[nodiscard]] std::string Path(const std::string& relative) const {
    return root_ + "/" + relative;
  }

  void WriteText(const std::string& relative, const std::string& text) const {
    std::filesystem::create_directories(std::filesystem::path(Path(relative)).parent_path());
    std::ofstream out(Path(relative), std::ios::binary);
    out << text;
  }

  [[nodiscard]] std::string ReadText(const std::string& relative) const {
    std::ifstream in(Path(relative), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // The helper program, built beside the test program.
  [[nodiscard]] static std::string HelperPath() {
    char self[4096];
    ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::string program(self, length > 0 ? static_cast<std::size_t>(length) : 0);
    return program.substr(0, program.find_last_of('/')) + "/win32_helper";
  }

  // Starts the helper with COMMAND and ARGUMENTS in this root; returns its process handle.
  [[nodiscard]] HANDLE StartHelper(std::initializer_list<std::string> arguments) const {
    std::string line = "\"" + HelperPath() + "\" \"" + root_ + "\"";
    for (const std::string& argument : arguments) line += " \"" + argument + "\"";
    STARTUPINFO startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcess(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                       &startup, &process)) {
      ADD_FAILURE() << "CreateProcess failed: " << GetLastError();
      return nullptr;
    }
    CloseHandle(process.hThread);
    return process.hProcess;
  }

  // Runs the helper to its end; returns its exit code.
  [[nodiscard]] DWORD RunHelper(std::initializer_list<std::string> arguments) const {
    HANDLE process = StartHelper(arguments);
    if (process == nullptr) return 0xFFFFFFFF;
    EXPECT_EQ(WaitForSingleObject(process, 30000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(process, &code));
    CloseHandle(process);
    return code;
  }

  // Waits until the helper reports it is ready through the named event.
  [[nodiscard]] static bool AwaitReady(HANDLE ready, HANDLE process) {
    for (int waited = 0; waited < 30000; waited += 50) {
      if (WaitForSingleObject(ready, 50) == WAIT_OBJECT_0) return true;
      DWORD code = 0;
      if (GetExitCodeProcess(process, &code) && code != STILL_ACTIVE) return false;
    }
    return false;
  }

  std::string root_;
};

}  // namespace win32test
