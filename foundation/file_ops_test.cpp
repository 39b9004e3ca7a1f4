// file_ops_test.cpp - the rename with retry: the retry that succeeds, the target that never
// goes away, and the move that cannot happen at all.
#include "foundation/file_ops.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>
#include <vector>

#include "foundation/log.h"
#include "foundation/test_root.h"

namespace foundation {
namespace {

using testing::FilesIn;
using testing::ReadWhole;
using testing::TestRoot;

class FileOpsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CloseLog();
    LogSettings settings;
    settings.report_directory = root_.Path("report");
    settings.program_name = "nrouter";
    settings.debug_level = 1;
    InitLog(settings);
  }
  void TearDown() override { CloseLog(); }
  std::string DebugLog() const {
    std::string all;
    for (const std::string& file : FilesIn(root_.Path("report"))) all += ReadWhole(file);
    return all;
  }

  TestRoot root_;
};

std::vector<std::string>* g_scan_lines = nullptr;
void CollectLine(std::string_view line) { g_scan_lines->emplace_back(line); }

TEST_F(FileOpsTest, PlainMoveLogsNothing) {
  const std::string from = root_.Write("vantrel/IN/28f6/0.hdf", "Body: 28f6\\0.bdy\r\n");
  const std::string to = root_.Path("vantrel/IN/28f6/0.hdr");
  EXPECT_TRUE(MoveFileWithRetry(from, to));
  EXPECT_EQ(ReadWhole(to), "Body: 28f6\\0.bdy\r\n");
  EXPECT_FALSE(std::filesystem::exists(from));
  EXPECT_EQ(DebugLog(), "");
}

TEST_F(FileOpsTest, RetrySucceedsOnceTheTargetIsGone) {
  const std::string from = root_.Write("vantrel/IN/1/0.hdf", "new");
  const std::string to = root_.Write("vantrel/IN/1/0.hdr", "old");
  std::thread remover([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    std::filesystem::remove(to);
  });
  EXPECT_TRUE(MoveFileWithRetry(from, to));
  remover.join();
  EXPECT_EQ(ReadWhole(to), "new");
  const std::string log = DebugLog();
  EXPECT_NE(log.find("]: Can't rename from " + from + " to " + to + "... Reason above\r\n"),
            std::string::npos) << log;
  EXPECT_NE(log.find("]: M10; Rename now successful.\r\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("M11"), std::string::npos);
}

TEST_F(FileOpsTest, TargetThatStaysIsReplacedAtLast) {
  const std::string from = root_.Write("vantrel/IN/2/0.hdf", "new");
  const std::string to = root_.Write("vantrel/IN/2/0.hdr", "old");
  EXPECT_TRUE(MoveFileWithRetry(from, to));
  EXPECT_EQ(ReadWhole(to), "new");
  const std::string log = DebugLog();
  EXPECT_NE(log.find("]: M11; ERROR!!! Still Unable to Rename!...Reason above\r\n"),
            std::string::npos) << log;
  // Each failure's system text comes on the line before the message.
  EXPECT_NE(log.find("(0xb7)\r\n"), std::string::npos) << log;
}

TEST_F(FileOpsTest, MissingSourceFails) {
  EXPECT_FALSE(MoveFileWithRetry(root_.Path("vantrel/none"), root_.Path("vantrel/x")));
  EXPECT_NE(DebugLog().find("M11;"), std::string::npos);
  EXPECT_FALSE(MoveFileWithRetry("", root_.Path("vantrel/x")));
}

TEST_F(FileOpsTest, ScannerVariantWritesToItsOwnLog) {
  std::vector<std::string> lines;
  g_scan_lines = &lines;
  const std::string from = root_.Write("vantrel/IN/ScanDatabase/h.tmp", "header");
  const std::string to = root_.Write("vantrel/IN/ScanDatabase/8f6.hdr", "old");
  std::thread remover([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    std::filesystem::remove(to);
  });
  EXPECT_TRUE(MoveFileWithRetryForScan(from, to, CollectLine));
  remover.join();
  g_scan_lines = nullptr;
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("(0xb7)"), std::string::npos) << lines[0];
  EXPECT_EQ(lines[1], "M10 Rename now successful.");
  EXPECT_EQ(DebugLog(), "");
}

}  // namespace
}  // namespace foundation
