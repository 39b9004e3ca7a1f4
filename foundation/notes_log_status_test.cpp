// notes_log_status_test.cpp - the Notes status line of the debug log.
#include <gtest/gtest.h>

#include "foundation/log.h"
#include "foundation/test_root.h"
#include "platform/notes/notes.h"

namespace foundation {
namespace {

using testing::FilesIn;
using testing::ReadWhole;
using testing::TestRoot;

class LogStatusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.Write("domino/notes.ini", "[Notes]\nDirectory=" + root_.Path("domino/data") + "\n");
    std::filesystem::create_directories(root_.Path("domino/data"));
    ASSERT_EQ(NotesInitExtended(0, nullptr), NOERROR);
    CloseLog();
    LogSettings settings;
    settings.report_directory = root_.Path("report");
    settings.program_name = "nrouter";
    settings.debug_level = 1;
    InitLog(settings);
  }
  void TearDown() override {
    CloseLog();
    NotesTerm();
  }
  std::string DebugLog() const {
    std::string all;
    for (const std::string& file : FilesIn(root_.Path("report"))) all += ReadWhole(file);
    return all;
  }

  TestRoot root_;
};

TEST_F(LogStatusTest, StatusLines) {
  LogStatus(NOERROR);
  LogStatus(0x10000);  // only the low 16 bits count
  EXPECT_EQ(DebugLog(), "");

  LogStatus(ERR_ITEM_NOT_FOUND);
  // Flag bits above the code stay in the number but not in the lookup.
  LogStatus(ERR_NOEXIST | 0x8000);
  LogStatus(0x3FF0);
  const std::string log = DebugLog();
  EXPECT_NE(log.find("]: STATUS: 546 (Item not found)\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("]: STATUS: " + std::to_string(ERR_NOEXIST | 0x8000) + " (" +
                     NotesStatusText(ERR_NOEXIST) + ")\r\n"),
            std::string::npos) << log;
  EXPECT_NE(log.find("]: STATUS: 16368 (Unable to locate message in string tables)\r\n"),
            std::string::npos) << log;

  SetDebugLevel(0);
  LogStatus(ERR_ITEM_NOT_FOUND);
  EXPECT_EQ(DebugLog(), log);
}

}  // namespace
}  // namespace foundation
