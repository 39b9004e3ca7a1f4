// sweep_log_test.cpp - the scan log's names, line kinds, virus names and summaries.
#include "vtsweep/sweep_log.h"

#include <gtest/gtest.h>

#include <regex>

#include "vtsweep/test_support.h"

namespace vtsweep {
namespace {

using testing_support::SweepTest;

class SweepLogTest : public SweepTest {};

std::vector<std::string> g_window_lines;
void CollectWindowLine(const std::string& line) { g_window_lines.push_back(line); }

TEST_F(SweepLogTest, ScheduledRunsShareADailyFileAndInteractiveRunsStartAfresh) {
  SYSTEMTIME day{};
  day.wYear = 2026;
  day.wMonth = 12;
  day.wDay = 6;
  EXPECT_EQ(ScanLogFileName(true, day), "06-12-2026.log");
  EXPECT_EQ(ScanLogFileName(false, day), "vtsweep.log");
  const std::string reports = Path("vantrel/Reports");
  for (int run = 0; run < 2; ++run) {
    OpenScanLog(reports, true, day);
    WriteLog("scheduled", kLogLine);
  }
  EXPECT_EQ(Read(reports + "/06-12-2026.log"), "scheduled\r\nscheduled\r\n");
  Write("vantrel/Reports/vtsweep.log", "old run\r\n");
  OpenScanLog(reports, false, day);
  EXPECT_EQ(Read(reports + "/vtsweep.log"), "");
}

TEST_F(SweepLogTest, LineKindsAndTheWindowCopy) {
  g_window_lines.clear();
  SetWindowLineSink(CollectWindowLine);
  WriteLog("stamped", kLogStamped);
  WriteLog("tabbed", kLogTab);
  WriteLog("Recipient(s) <", kLogTabOpen);
  WriteLog("a@b", kLogBare);
  WriteLog("> ", kLogLine);
  WriteLog("", kLogStamped);
  SetWindowLineSink(nullptr);
  WriteLog("not shown", kLogStamped);
  const std::string log = Log();
  EXPECT_TRUE(std::regex_search(
      log, std::regex("^\\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d stamped\r\n\ttabbed\r\n"
                      "\tRecipient\\(s\\) <a@b> \r\n")))
      << log;
  ASSERT_EQ(g_window_lines.size(), 1u);
  EXPECT_EQ(g_window_lines[0].substr(18), "stamped");
}

TEST_F(SweepLogTest, VirusNamesCountOneDocumentAndSummaries) {
  DatabaseCounters counters;
  ReportVirusNames(run_.paths.scan_dir, counters);
  EXPECT_EQ(counters.disinfected, 0);
  Write("vantrel/IN/Virnames.txt", "Eicar found in a.com\r\n\r\nTest.Zip found in b.zip\n");
  ReportVirusNames(run_.paths.scan_dir, counters);
  EXPECT_EQ(counters.disinfected, 1);
  EXPECT_FALSE(std::filesystem::exists(Path("vantrel/IN/Virnames.txt")));
  WriteDatabaseSummary("mail/empty.nsf", DatabaseCounters{});
  counters.scanned = 3;
  counters.with_attachments = 2;
  counters.attachments = 4;
  WriteDatabaseSummary("mail/ann.nsf", counters);
  const std::string log = Log();
  EXPECT_NE(log.find(" Eicar found in a.com\r\n"), std::string::npos);
  EXPECT_NE(log.find(" Test.Zip found in b.zip\r\n"), std::string::npos);
  EXPECT_NE(log.find(" No Mails in mail/empty.nsf\r\n\r\n"), std::string::npos);
  EXPECT_NE(log.find("mail/ann.nsf->Total Mail(s) Scanned = 3, Attachment Mail(s) = 2 Total "
                     "Attachment(s) = 4 Total Disinfected Mail(s) = 1\r\n"),
            std::string::npos)
      << log;
}

}  // namespace
}  // namespace vtsweep
