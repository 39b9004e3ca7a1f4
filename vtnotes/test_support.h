// test_support.h - a fresh machine root for each test of the extension.
//
// For the extension's tests only. A RootTest makes a temporary directory that plays the
// machine (WIN.INI naming the install directory, vantrel.ini, the Domino data directory),
// sets it as the process's root for the test and removes it afterwards.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "foundation/log.h"
#include "platform/win32/machine.h"

namespace vtnotes::testing_support {

class RootTest : public ::testing::Test {
 public:
  static void WriteFile(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
  }

 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "vt-vtnotes-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    vtplatform::SetSystemRoot(root_);
    ::setenv("VT_SYSROOT", root_.c_str(), 1);
    vtplatform::ResetMachineIdentity();
    std::filesystem::create_directories(Path("vantrel/In"));
    std::filesystem::create_directories(Path("vantrel/Out"));
    std::filesystem::create_directories(Path("domino/data"));
    std::filesystem::create_directories(Path("windows"));
    std::filesystem::create_directories(Path("tmp"));
    WriteText("windows/win.ini", "[Vantrel]\r\nInstallDirectory=" + Path("vantrel") + "\r\n");
    WriteText("vantrel/vantrel.ini", "[General]\r\nScanDir=In\r\nReportDirectory=" +
                                         Path("vantrel/logs") + "\r\n");
    std::filesystem::create_directories(Path("vantrel/logs"));
    // Lines logged before a test starts the extension belong to this root too, not to the
    // directory the test runs in.
    foundation::LogSettings log_settings = foundation::CurrentLogSettings();
    log_settings.report_directory = Path("vantrel/logs");
    foundation::InitLog(log_settings);
  }
  void TearDown() override {
    foundation::CloseLog();
    vtplatform::SetSystemRoot("");
    vtplatform::ResetMachineIdentity();
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  [[nodiscard]] std::string Path(const std::string& relative) const {
    return root_ + "/" + relative;
  }
  [[nodiscard]] std::string In() const { return Path("vantrel/In"); }
  [[nodiscard]] std::string Out() const { return Path("vantrel/Out"); }

  void WriteText(const std::string& relative, const std::string& text) const {
    WriteFile(Path(relative), text);
  }
  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  static bool Exists(const std::string& path) { return std::filesystem::exists(path); }

  std::string root_;
};

}  // namespace vtnotes::testing_support
