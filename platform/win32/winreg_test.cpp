// The winreg tool round-trips values in a fresh root and reports missing keys and bad usage.
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "platform/win32/test_support.h"

namespace win32test {
namespace {

class WinregTest : public RootTest {
 protected:
  // Runs winreg (built into ../bin beside the tests) and returns its exit code; output in out_.
  int Run(const std::string& arguments) {
    std::string program = HelperPath();
    program = program.substr(0, program.find_last_of('/'));
    program = program.substr(0, program.find_last_of('/')) + "/bin/winreg";
    std::string command = "'" + program + "' --root '" + root_ + "' " + arguments + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    out_.clear();
    char block[512];
    while (std::fgets(block, sizeof block, pipe) != nullptr) out_ += block;
    int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string out_;
};

constexpr const char* kKey = "'SOFTWARE\\Veltrane\\Vantrel For Lotus Notes'";

TEST_F(WinregTest, SetQueryAndDeleteRoundTrip) {
  ASSERT_EQ(Run(std::string("set ") + kKey + " VTDEBUG 10"), 0) << out_;
  ASSERT_EQ(Run(std::string("set --type REG_DWORD ") + kKey + " Count 0x10"), 0) << out_;
  ASSERT_EQ(Run(std::string("set --type REG_MULTI_SZ ") + kKey + " List 'a\\0b'"), 0) << out_;
  EXPECT_EQ(Run(std::string("query 'hklm\\software\\veltrane\\vantrel for lotus notes' vtdebug")),
            0);
  EXPECT_EQ(out_, "10\n");
  EXPECT_EQ(Run(std::string("query ") + kKey), 0);
  EXPECT_EQ(out_, "VTDEBUG=10\nCount=16\nList=a\\0b\n");
  EXPECT_EQ(Run("query SOFTWARE\\\\Veltrane"), 0);
  EXPECT_EQ(out_, "Vantrel For Lotus Notes\\\n");

  // The library sees what the tool wrote.
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Veltrane\\Vantrel For Lotus Notes", 0,
                         KEY_READ, &key),
            ERROR_SUCCESS);
  char value[8];
  DWORD size = sizeof value;
  EXPECT_EQ(RegQueryValueEx(key, "VTDEBUG", nullptr, nullptr, reinterpret_cast<BYTE*>(value),
                            &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(value, "10");
  RegCloseKey(key);

  EXPECT_EQ(Run(std::string("delete ") + kKey + " VTDEBUG"), 0);
  EXPECT_EQ(Run(std::string("query ") + kKey + " VTDEBUG"), 1);
  EXPECT_NE(out_.find("value not found"), std::string::npos);
  EXPECT_EQ(Run(std::string("delete ") + kKey), 0);
  EXPECT_EQ(Run(std::string("query ") + kKey), 1);
  EXPECT_NE(out_.find("key not found"), std::string::npos);
}

TEST_F(WinregTest, UsageErrorsExitTwo) {
  EXPECT_EQ(Run(""), 2);
  EXPECT_EQ(Run("frobnicate KEY"), 2);
  EXPECT_EQ(Run(std::string("set ") + kKey + " OnlyName"), 2);
  EXPECT_EQ(Run(std::string("set --type REG_DWORD ") + kKey + " N notanumber"), 2);
  EXPECT_EQ(Run("delete HKLM"), 2);
  EXPECT_EQ(Run("--help"), 0);
  EXPECT_NE(out_.find("usage: winreg"), std::string::npos);
}

}  // namespace
}  // namespace win32test
