// Tests of the console's final steps: the settings written, and the engine looked for,
// started on its own and reported in the log.
#include "vtsetup/console/console.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "foundation/config.h"
#include "foundation/named_objects.h"
#include "foundation/test_root.h"

namespace vtsetup {
namespace {

class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    state_.install_directory = root_.Path("vantrel") + "/";
    state_.notes_program_directory = root_.Path("domino") + "/";
    state_.ini_path = root_.Write("vantrel/vantrel.ini", "[General]\r\n");
    root_.Write("domino/notes.ini", "");
    SetConsoleLogFile(root_.Path("vantrel/vtsetup.LOG"));
  }

  // An engine that leaves a mark beside itself and ends with the status given.
  std::string WriteEngine(const std::string& directory, int status) {
    std::string path = root_.Write(directory + "/vantrel",
                                   "#!/bin/sh\ntouch \"$(dirname \"$0\")/ran\"\nexit " +
                                       std::to_string(status) + "\n");
    chmod(path.c_str(), 0755);
    return path;
  }

  std::string Log() {
    std::ifstream in(root_.Path("vantrel/vtsetup.LOG"));
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

  foundation::testing::TestRoot root_;
  ConsoleState state_;
};

TEST_F(ConsoleTest, TheEngineIsLookedForInTheInstallDirectoryThenTheProgramDirectory) {
  EXPECT_EQ(FindEngine(state_), "");
  const std::string in_program = WriteEngine("domino", 0);
  EXPECT_EQ(FindEngine(state_), in_program);
  const std::string in_install = WriteEngine("vantrel", 0);
  EXPECT_EQ(FindEngine(state_), in_install);

  std::filesystem::remove(in_install);
  std::filesystem::remove(in_program);
  StartEngineOnce(state_);
  EXPECT_NE(Log().find("is neither in"), std::string::npos) << Log();
}

TEST_F(ConsoleTest, AnEngineThatEndsAtOnceIsReportedWithoutWaiting) {
  WriteEngine("domino", 3);
  StartEngineOnce(state_);
  EXPECT_TRUE(std::filesystem::exists(root_.Path("domino/ran")));
  EXPECT_NE(Log().find("Starting the engine " + root_.Path("domino/vantrel")), std::string::npos);
  EXPECT_NE(Log().find("ERROR!!! The engine ended at once with exit code 3"), std::string::npos)
      << Log();
}

TEST_F(ConsoleTest, NoEngineIsStartedWithTheMarkerOrWhileOneRuns) {
  WriteEngine("vantrel", 0);
  root_.Write("vantrel/firstime.sem", "");
  StartEngineOnce(state_);
  EXPECT_FALSE(std::filesystem::exists(root_.Path("vantrel/ran")));

  std::filesystem::remove(root_.Path("vantrel/firstime.sem"));
  // This process holds the lock file as a running engine does.
  foundation::UniqueHandle lock(CreateFile(root_.Path("vantrel/maildisp.lck").c_str(),
                                           GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(lock.valid());
  StartEngineOnce(state_);
  EXPECT_FALSE(std::filesystem::exists(root_.Path("vantrel/ran")));
  EXPECT_NE(Log().find("The engine runs already"), std::string::npos) << Log();
}

TEST_F(ConsoleTest, SetupWritesTheAcceptedDatabaseEditModeLeavesIt) {
  foundation::WriteProductValue(foundation::kProductSubkey, "VTADMINDB", "vtquaran.nsf");
  state_.admin_id = "bob@example.com";
  state_.sender_name = "bob";
  state_.database_name = "mail/bob.nsf";  // typed, not browsed
  WriteFinalSettings(state_, false);
  std::string value;
  ASSERT_EQ(foundation::ReadProductValue(foundation::kProductSubkey, "VTADMINDB", value, ""), 0);
  EXPECT_EQ(value, "vtquaran.nsf");
  WriteFinalSettings(state_, true);
  ASSERT_EQ(foundation::ReadProductValue(foundation::kProductSubkey, "VTADMINDB", value, ""), 0);
  EXPECT_EQ(value, "mail/bob.nsf");
  EXPECT_EQ(foundation::ReadIniValue("General", "AdminEmailId", "", state_.ini_path),
            "bob@example.com");
  EXPECT_FALSE(foundation::ReadIniValue("General", "VantrelID", "", state_.ini_path).empty());
  // It holds the installation's identifier: the account's alone, whoever made the file.
  EXPECT_EQ(std::filesystem::status(state_.ini_path).permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

}  // namespace
}  // namespace vtsetup
