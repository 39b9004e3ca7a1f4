// log_test.cpp - the debug log's levels and rolls, the event and scratch logs, the layouts.
#include "foundation/log.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "foundation/test_root.h"

namespace foundation {
namespace {

using testing::FilesIn;
using testing::ReadWhole;
using testing::TestRoot;

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override { Init(1, kDefaultLogBufSize); }
  void TearDown() override {
    CloseLog();
    SetScratchLogFile("");
    SetScratchLevel(0);
  }
  void Init(int level, long budget) {
    CloseLog();
    LogSettings settings;
    settings.report_directory = root_.Path("report");
    settings.program_name = "nrouter";
    settings.debug_level = level;
    settings.log_buf_size = budget;
    InitLog(settings);
  }
  // The debug log files, without the event log.
  std::vector<std::string> DebugFiles() const {
    std::vector<std::string> files;
    for (const std::string& file : FilesIn(root_.Path("report"))) {
      if (file.find(kEventLogFileName) == std::string::npos) files.push_back(file);
    }
    return files;
  }
  static void WaitForNextSecond() {
    SYSTEMTIME start{}, now{};
    GetLocalTime(&start);
    do {
      Sleep(20);
      GetLocalTime(&now);
    } while (now.wSecond == start.wSecond);
  }

  TestRoot root_;
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) break;
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

TEST_F(LogTest, BudgetOfThreeRollsOnTheFourthLine) {
  Init(1, 3);
  LogAlways("line 1");
  LogAlways("line 2");
  LogAlways("line 3");
  WaitForNextSecond();
  LogAlways("line 4");
  LogAlways("line 5");
  LogAlways("line 6");
  const std::vector<std::string> files = DebugFiles();
  ASSERT_EQ(files.size(), 2u);
  const auto first = Lines(ReadWhole(files[0]));
  const auto second = Lines(ReadWhole(files[1]));
  ASSERT_EQ(first.size(), 3u);
  EXPECT_NE(first[2].find("line 3"), std::string::npos);
  // Every file holds the budget: the line that opened it counts.
  ASSERT_EQ(second.size(), 3u);
  EXPECT_NE(second[0].find("line 4"), std::string::npos);
  EXPECT_TRUE(std::regex_match(files[1].substr(files[1].rfind('/') + 1),
                               std::regex("[0-9]{2}-[0-9]{2}-[0-9]{4}-[0-9]{2}-[0-9]{2}-[0-9]{2}\\.log")));
}

TEST_F(LogTest, RollsWithinOneSecondLoseNoLine) {
  // Files are named to the second, so rolls in one second reopen the same file: it must be
  // appended to, not written over from its start.
  Init(1, 2);
  for (int i = 0; i < 10; ++i) LogAlways("entry " + std::to_string(i));
  std::string all;
  for (const std::string& file : DebugFiles()) all += ReadWhole(file);
  for (int i = 0; i < 10; ++i) {
    EXPECT_NE(all.find("entry " + std::to_string(i) + "\r\n"), std::string::npos) << i;
  }
  EXPECT_EQ(Lines(all).size(), 10u);
}

TEST_F(LogTest, LevelZeroSilencesOnlyLogDebug) {
  Init(0, kDefaultLogBufSize);
  LogDebug("debug %d", 1);
  EXPECT_TRUE(DebugFiles().empty());
  LogAlways("always");
  LogEvent("Vantrel Started");
  ASSERT_EQ(DebugFiles().size(), 1u);
  EXPECT_EQ(ReadWhole(DebugFiles()[0]).find("debug"), std::string::npos);

  SetDebugLevel(1);
  LogDebug("debug %d", 2);
  const std::string debug_log = ReadWhole(DebugFiles()[0]);
  EXPECT_NE(debug_log.find("always"), std::string::npos);
  EXPECT_NE(debug_log.find("debug 2"), std::string::npos);
  const std::string events = ReadWhole(root_.Path("report/vtnotes.log"));
  EXPECT_TRUE(std::regex_match(
      events, std::regex("\\[[0-9]{3,}\\] [0-9]{2}/[0-9]{2}/[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}:"
                         "[0-9]{3} \\[nrouter\\]: Vantrel Started\r\n")))
      << events;
}

TEST_F(LogTest, EmptyTextsAndLongTexts) {
  LogAlways("");
  LogEvent("");
  LogDebug("%s", "");
  EXPECT_TRUE(FilesIn(root_.Path("report")).empty());

  const std::string long_text(6000, 'x');
  LogDebug("%s", long_text.c_str());
  const auto lines = Lines(ReadWhole(DebugFiles()[0]));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].size() - lines[0].find("]: ") - 3, kLogTextBytes - 1);
}

TEST_F(LogTest, ThreadsWriteWholeLines) {
  Init(1, kLogNeverRolls);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 100; ++i) LogDebug("thread %d line %d", t, i);
    });
  }
  for (std::thread& thread : threads) thread.join();
  const auto files = DebugFiles();
  ASSERT_EQ(files.size(), 1u);
  const auto lines = Lines(ReadWhole(files[0]));
  ASSERT_EQ(lines.size(), 400u);
  const std::regex layout("\\[[0-9]{3,}\\] [0-9]{2}:[0-9]{2}:[0-9]{2}:[0-9]{3} \\[nrouter\\]: "
                          "thread [0-3] line [0-9]+");
  for (const std::string& line : lines) EXPECT_TRUE(std::regex_match(line, layout)) << line;
}

TEST_F(LogTest, LineLayouts) {
  SYSTEMTIME time{};
  time.wYear = 2026;
  time.wMonth = 3;
  time.wDay = 7;
  time.wHour = 9;
  time.wMinute = 5;
  time.wSecond = 4;
  time.wMilliseconds = 42;
  EXPECT_EQ(DebugLogLine(time, 7, "nRouter", "text"), "[007] 09:05:04:042 [nRouter]: text\r\n");
  EXPECT_EQ(EventLogLine(time, 12345, "nRouter", "text"),
            "[12345] 07/03/2026 09:05:04:042 [nRouter]: text\r\n");
  EXPECT_EQ(UpdateLogLine(time, 99, "UpdateDLL"), "[099] 07/03/2026 09:05:04:042 : UpdateDLL\r\n");
  EXPECT_EQ(RunnerLogLine(time, "started"), "03/07/26 09:05:04 : started\r\n");
  EXPECT_EQ(DebugLogFileName(time), "07-03-2026-09-05-04.log");
  EXPECT_EQ(LogFilePath("", "vtnotes.log"), "vtnotes.log");
  EXPECT_EQ(LogFilePath("/r/report/", "vtnotes.log"), "/r/report/vtnotes.log");
}

TEST_F(LogTest, DebugLevelBounds) {
  const long numbers[] = {-1, 0, 4, 5, 6, 9, 10, 11, 99};
  const int at_start[] = {0, 0, 0, 1, 1, 1, 2, 2, 2};
  const int per_note[] = {0, 0, 0, 0, 1, 1, 1, 2, 2};
  for (std::size_t i = 0; i < std::size(numbers); ++i) {
    EXPECT_EQ(DebugLevelFromNumber(numbers[i]), at_start[i]) << numbers[i];
    EXPECT_EQ(DebugLevelFromNumber(numbers[i], 6, 11), per_note[i]) << numbers[i];
  }
}

TEST_F(LogTest, ScratchLogFiltersAndPrefixes) {
  const std::string file = root_.Path("report/rights.log");
  SetScratchLogFile(file);
  ScratchLog("filtered", true, false);
  ScratchLog("");
  EXPECT_EQ(ReadWhole(file), "");
  ScratchLog("plain");
  ScratchLog("\nafter a break", false, true);
  SetScratchLevel(kScratchFilterLevel);
  ScratchLog("now shown", true, false);
  const std::string date = "[0-9]{2} [A-Z][a-z]{2} [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}";
  const std::regex layout(date + " - plain\r\n\r\n" + date + " \\[0x[0-9a-f]{8}\\] - after a break\r\n" +
                          date + " - now shown\r\n");
  const std::string text = ReadWhole(file);
  EXPECT_TRUE(std::regex_match(text, layout)) << text;
}

TEST_F(LogTest, ScratchLogChoosesATemporaryFile) {
  SetScratchLogFile("");
  const std::string file = ScratchLogFile();
  EXPECT_TRUE(std::regex_match(file, std::regex(".*/tmp/LMF[0-9A-Fa-f]+\\.LOG"))) << file;
  EXPECT_EQ(ScratchLogFile(), file);
  ScratchLog("kept");
  EXPECT_NE(ReadWhole(file).find("kept"), std::string::npos);
}

}  // namespace
}  // namespace foundation
