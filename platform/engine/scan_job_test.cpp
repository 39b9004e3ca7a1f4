// One job from header to answer, with real libclamav and the shipped signatures.
#include "platform/engine/scan_job.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>

#include "platform/engine/clam_scanner.h"
#include "platform/engine/answer_files.h"
#include "platform/engine/engine_test_support.h"
#include "platform/win32/machine.h"
#include "platform/win32/windows.h"

namespace vtengine {
namespace {

using testing_support::EicarText;
using testing_support::Exists;
using testing_support::JobFiles;
using testing_support::ReadAll;
using testing_support::TestRoot;
using testing_support::WriteAll;

class ScanJobTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    scanner_ = new ClamScanner;
    std::string error;
    ASSERT_TRUE(scanner_->Load(VT_ENGINE_SIGNATURE_DIR, "", "", &error)) << error;
  }
  static void TearDownTestSuite() {
    delete scanner_;
    scanner_ = nullptr;
  }

  void SetUp() override {
    vtplatform::SetSystemRoot(root_.root());
    context_.paths = FindSpoolPaths(root_.root());
    context_.scanner = scanner_;
    context_.policy = &policy_;
  }
  void TearDown() override { vtplatform::SetSystemRoot(""); }

  JobReport Run(const std::string& job_id) {
    return RunJob({JobKind::kRealtime, job_id, root_.in() + "/" + job_id + "/0.hdr", ""}, context_);
  }

  std::vector<std::string> OutNames(const std::string& job_id) {
    std::vector<std::string> names = ListDirectory(root_.out() + "/" + job_id);
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string Out(const std::string& job_id, const std::string& name) {
    return ReadAll(root_.OutFile(job_id, name));
  }

  static ClamScanner* scanner_;
  TestRoot root_;
  PolicyCache policy_{root_.install() + "/engine.ini", root_.install() + "/vantrel.ini"};
  EngineContext context_;
};

ClamScanner* ScanJobTest::scanner_ = nullptr;

JobFiles WithEicarAttachment() {
  JobFiles files;
  files.attachments = {{"a.doc", "quarterly figures"}, {"e.com", EicarText()}};
  return files;
}

TEST_F(ScanJobTest, SpoolFollowsWinIniAndScanDir) {
  EXPECT_EQ(context_.paths.install_dir, root_.install());
  EXPECT_EQ(context_.paths.in_dir, root_.install() + "/In");
  EXPECT_EQ(context_.paths.out_dir, root_.install() + "/Out");
  EXPECT_EQ(context_.paths.lock_path, root_.install() + "/maildisp.lck");
  // Without WIN.INI and ScanDir: <root>/vantrel, and IN is the install directory itself.
  ::unlink((root_.root() + "/windows/win.ini").c_str());
  WriteAll(root_.install() + "/vantrel.ini", "[General]\r\n");
  const SpoolPaths defaults = FindSpoolPaths(root_.root());
  EXPECT_EQ(defaults.install_dir, root_.root() + "/vantrel");
  EXPECT_EQ(defaults.in_dir, defaults.install_dir);
}

TEST_F(ScanJobTest, CleanMailGetsOnlyAResultHeader) {
  root_.WriteJob("8f6", JobFiles{});
  const JobReport report = Run("8f6");
  EXPECT_EQ(report.outcome, JobOutcome::kClean);
  EXPECT_TRUE(report.findings.empty());
  EXPECT_EQ(OutNames("8f6"), (std::vector<std::string>{"0.bdy", "0.hd0"}));
  EXPECT_EQ(Out("8f6", "0.hd0"),
            "Body: 8f6\\0.bdy\r\nFrom: ann@example.com\r\nSubject: Figures\r\n"
            "To: bob@example.com,carl@example.com\r\n");
  EXPECT_EQ(Out("8f6", "0.bdy"), JobFiles{}.body);
}

TEST_F(ScanJobTest, CleanMailGetsTheDisclaimer) {
  root_.SetEngineIni("[Clean]\r\nDisclaimer=Scanned by Vantrel.\\nNo virus found.\r\n");
  root_.WriteJob("8f6", JobFiles{});
  EXPECT_EQ(Run("8f6").outcome, JobOutcome::kClean);
  EXPECT_EQ(Out("8f6", "disclaim.txt"), "Scanned by Vantrel.\r\nNo virus found.\r\n");
}

TEST_F(ScanJobTest, JobEventIsSetInLowerCase) {
  HANDLE event = CreateEvent(nullptr, FALSE, FALSE, "2abcx");
  ASSERT_NE(event, nullptr);
  root_.WriteJob("2ABC", JobFiles{});
  const JobReport report = Run("2ABC");
  EXPECT_TRUE(report.event_set);
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  CloseHandle(event);
}

TEST_F(ScanJobTest, InfectedAttachmentIsStrippedByDefault) {
  root_.WriteJob("8f6", WithEicarAttachment());
  const JobReport report = Run("8f6");
  ASSERT_EQ(report.outcome, JobOutcome::kInfected) << report.detail;
  ASSERT_EQ(report.findings.size(), 1u);
  EXPECT_EQ(report.findings[0].display_name, "e.com");
  EXPECT_EQ(report.findings[0].virus, "Vantrel.Test.EICAR");
  EXPECT_EQ(OutNames("8f6"),
            (std::vector<std::string>{"0.ATT", "0.bdy", "0.hd0", "Forward.txt", "Scanover.txt",
                                      "admin.bdy", "admin.hdx", "sender.bdy", "sender.hdx"}));
  const std::string hd0 = Out("8f6", "0.hd0");
  EXPECT_NE(hd0.find("Attachment: 8f6\\0.ATT,a.doc\r\n"), std::string::npos) << hd0;
  EXPECT_EQ(hd0.find(",e.com"), std::string::npos) << hd0;
  EXPECT_EQ(Out("8f6", "0.ATT"), "quarterly figures");
  const std::string body = Out("8f6", "0.bdy");
  EXPECT_EQ(body.rfind(JobFiles{}.body, 0), 0u) << body;  // the text is kept
  EXPECT_NE(body.find("e.com"), std::string::npos) << body;
  EXPECT_NE(body.find("Vantrel.Test.EICAR"), std::string::npos) << body;

  const std::string sender = Out("8f6", "sender.hdx");
  EXPECT_NE(sender.find("To: ann@example.com\r\n"), std::string::npos) << sender;
  EXPECT_NE(sender.find("From: vantrel@example.com\r\n"), std::string::npos) << sender;
  EXPECT_NE(sender.find("Body: 8f6\\sender.bdy\r\n"), std::string::npos) << sender;
  EXPECT_NE(sender.find("Subject: Virus found in your mail \"Figures\""), std::string::npos);
  EXPECT_NE(Out("8f6", "admin.hdx").find("To: admin@example.com,boss@example.com\r\n"),
            std::string::npos);
  EXPECT_NE(Out("8f6", "admin.bdy").find("Vantrel.Test.EICAR"), std::string::npos);
}

TEST_F(ScanJobTest, FileNamesWithCommasSurviveTheRoundTrip) {
  JobFiles files;
  files.attachments = {{"figures, 2026.doc", "quarterly figures"}, {"e.com", EicarText()}};
  root_.WriteJob("8f6", files);
  const JobReport report = Run("8f6");
  ASSERT_EQ(report.outcome, JobOutcome::kInfected) << report.detail;
  EXPECT_NE(Out("8f6", "0.hd0").find("Attachment: 8f6\\0.ATT,figures_ 2026.doc\r\n"),
            std::string::npos)
      << Out("8f6", "0.hd0");
}

TEST_F(ScanJobTest, VirusInTheTextReplacesTheText) {
  JobFiles files;
  files.body = "Dear Bob,\r\nVANTREL-TEST-BODY-VIRUS\r\n";
  files.attachments = {{"a.doc", "quarterly figures"}};
  root_.WriteJob("8f6", files);
  const JobReport report = Run("8f6");
  ASSERT_EQ(report.outcome, JobOutcome::kInfected) << report.detail;
  EXPECT_EQ(report.findings[0].virus, "Vantrel.Test.BodyText");
  const std::string body = Out("8f6", "0.bdy");
  EXPECT_EQ(body.find("VANTREL-TEST-BODY-VIRUS"), std::string::npos) << body;
  EXPECT_NE(body.find("Vantrel.Test.BodyText"), std::string::npos) << body;
  EXPECT_NE(Out("8f6", "0.hd0").find("Attachment: 8f6\\0.ATT,a.doc"), std::string::npos);
  EXPECT_TRUE(Exists(root_.OutFile("8f6", "Scanover.txt")));
}

TEST_F(ScanJobTest, FindsTheSignatureInsideAZip) {
  JobFiles files;
  files.attachments = {{"report.zip", ReadAll(VT_ENGINE_TESTDATA_DIR "/zipped.zip")}};
  root_.WriteJob("8f6", files);
  const JobReport report = Run("8f6");
  ASSERT_EQ(report.outcome, JobOutcome::kInfected) << report.detail;
  EXPECT_EQ(report.findings[0].virus, "Vantrel.Test.Zipped");
  EXPECT_EQ(report.findings[0].display_name, "report.zip");
}

// Content the scanner cannot look into whole is a finding under the infected action, never
// an error that lets the mail through and never clean.
struct UnscannableCase {
  const char* name;
  std::string attachment;  // empty: the content goes into the raw MIME text 0.bdx
  std::string raw_mime;
  const char* virus_prefix;  // empty: any finding
};

void PrintTo(const UnscannableCase& c, std::ostream* out) { *out << c.name; }

class UnscannableContentTest : public ScanJobTest,
                               public testing::WithParamInterface<UnscannableCase> {};

TEST_P(UnscannableContentTest, IsAFindingUnderTheInfectedAction) {
  const UnscannableCase& c = GetParam();
  JobFiles files;
  if (!c.attachment.empty()) files.attachments = {{"a.doc", "figures"}, {"x.zip", c.attachment}};
  root_.WriteJob("8f6", files);
  if (!c.raw_mime.empty()) WriteAll(root_.in() + "/8f6/0.bdx", c.raw_mime);
  const JobReport report = Run("8f6");
  ASSERT_EQ(report.outcome, JobOutcome::kInfected) << report.detail;
  EXPECT_EQ(report.findings[0].virus.rfind(c.virus_prefix, 0), 0u) << report.findings[0].virus;
  EXPECT_FALSE(Exists(root_.OutFile("8f6", "error.hdr")));
  // The default action cleans: the answer says so and asks for a quarantine copy.
  EXPECT_TRUE(Exists(root_.OutFile("8f6", "Scanover.txt")));
  EXPECT_TRUE(Exists(root_.OutFile("8f6", "Forward.txt")));
}

INSTANTIATE_TEST_SUITE_P(
    Limits, UnscannableContentTest,
    testing::Values(
        UnscannableCase{"HarmlessZipsTooDeep", ReadAll(VT_ENGINE_TESTDATA_DIR "/nested.zip"), "",
                        "Heuristics.Limits.Exceeded."},
        UnscannableCase{"EicarIn25Zips", testing_support::NestedZips(25, EicarText()), "", ""},
        UnscannableCase{"EncryptedZip",
                        testing_support::StoredZip({{"budget.xls", "figures"}}, true), "",
                        "Heuristics.Encrypted.Zip"},
        UnscannableCase{"Eicar30MultipartsDeep", "",
                        testing_support::NestedMultipart(30, EicarText()), ""},
        // A fragment of a split message: each piece alone matches nothing.
        UnscannableCase{"PartialMessage", "",
                        "MIME-Version: 1.0\r\nContent-Type: message/partial; id=\"x@y\"; "
                        "number=1; total=2\r\n\r\nFrom: a@example.com\r\n",
                        "Heuristics.Mail.Partial"}),
    [](const testing::TestParamInfo<UnscannableCase>& info) { return info.param.name; });

// A scanner that takes a job's whole time on the first file it is given.
class SlowScanner final : public FileScanner {
 public:
  using FileScanner::ScanFile;
  ScanResult ScanFile(const std::string&, ScanDeadline deadline) const override {
    ++calls;
    std::this_thread::sleep_until(deadline);
    ScanResult result;
    result.status = ScanStatus::kClean;
    return result;
  }
  mutable int calls = 0;
};

void SetWaiterTimeout(const char* seconds) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Veltrane\\Vantrel For Lotus Notes", 0,
                           nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueEx(key, "TimeOut", 0, REG_SZ, reinterpret_cast<const BYTE*>(seconds),
                          static_cast<DWORD>(std::strlen(seconds) + 1)),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

// The job is answered within half the waiter's time-out however slow its files are: what
// was not scanned by then is a finding and gets the infected action, never a pass.
TEST_F(ScanJobTest, WhatTheBudgetLeavesUnscannedIsAFinding) {
  SetWaiterTimeout("2");
  EXPECT_EQ(ReadWaiterTimeoutMs(), 2000);
  SlowScanner slow;
  context_.scanner = &slow;
  root_.WriteJob("8f6", WithEicarAttachment());
  const auto start = std::chrono::steady_clock::now();
  const JobReport report = Run("8f6");
  const auto took = std::chrono::steady_clock::now() - start;
  ASSERT_EQ(report.outcome, JobOutcome::kInfected) << report.detail;
  EXPECT_EQ(slow.calls, 1);  // the body took the budget; the attachments were not scanned
  ASSERT_EQ(report.findings.size(), 2u);
  EXPECT_EQ(report.findings[0].virus, kScanTimeFinding);
  EXPECT_EQ(report.findings[1].display_name, "e.com");
  EXPECT_GE(took, std::chrono::milliseconds(1000));
  EXPECT_TRUE(Exists(root_.OutFile("8f6", "Scanover.txt")));
  EXPECT_EQ(Out("8f6", "0.hd0").find("Attachment:"), std::string::npos);

  // Published longer ago than the whole budget: not looked into at all, which is the
  // engine's failure, not a finding in the mail.
  root_.WriteJob("9a0", WithEicarAttachment());
  const struct timeval long_ago[2] = {{std::time(nullptr) - 60, 0}, {std::time(nullptr) - 60, 0}};
  ASSERT_EQ(::utimes((root_.in() + "/9a0/0.hdr").c_str(), long_ago), 0);
  EXPECT_EQ(Run("9a0").outcome, JobOutcome::kError);
  EXPECT_EQ(slow.calls, 1);
  EXPECT_TRUE(Exists(root_.OutFile("9a0", "error.hdr")));
}

TEST(JobBudgetTest, FollowsTheWaitersTimeOut) {
  const JobBudget budget = BudgetForTimeout(120000);
  EXPECT_EQ(budget.job_ms, 60000);
  EXPECT_EQ(budget.queue_ms, 15000);
  EXPECT_EQ(budget.file_ms, 30000);
  // Whatever the time-out, the answer is written before the waiter gives up.
  for (int timeout_ms : {1000, 20000, 120000, 3600000}) {
    const JobBudget b = BudgetForTimeout(timeout_ms);
    EXPECT_LT(b.job_ms + b.queue_ms + b.file_ms, timeout_ms);
  }
  EXPECT_EQ(BudgetForTimeout(0).job_ms, 500);
}

// libclamav's limits are findings: a file past the size limit (a decompression bomb's
// member) is not unpacked, and a scan past its deadline stops.
TEST_F(ScanJobTest, LimitsAndDeadlineOfLibclamavAreFindings) {
  ClamScanner small;
  ScanLimits limits;
  limits.max_file_bytes = 1 << 20;
  limits.max_scan_bytes = 2 << 20;
  small.set_limits(limits);
  std::string error;
  ASSERT_TRUE(small.Load(VT_ENGINE_SIGNATURE_DIR, "", "", &error)) << error;
  const std::string bomb = root_.root() + "/bomb.zip";
  WriteAll(bomb, testing_support::StoredZip({{"zeros.bin", std::string(3 << 20, '\0')}}));
  ScanResult result = small.ScanFile(bomb);
  EXPECT_EQ(result.status, ScanStatus::kInfected);
  EXPECT_EQ(result.virus, kFileSizeFinding);

  // A member that claims a gigabyte (a bomb of zeros): found by its claim, not unpacked.
  std::string archive = testing_support::StoredZip({{"zeros.bin", "x"}});
  const std::size_t central = archive.find("PK\x01\x02");
  ASSERT_NE(central, std::string::npos);
  for (std::size_t at : {std::size_t{22}, central + 24}) archive.replace(at, 4, "\0\0\0\x40", 4);
  WriteAll(bomb, archive);
  result = scanner_->ScanFile(bomb);
  EXPECT_EQ(result.status, ScanStatus::kInfected);
  EXPECT_EQ(result.virus, kFileSizeFinding);

  // Content no scan has seen yet (a clean file is remembered and not scanned again).
  const std::string letter = root_.root() + "/letter.txt";
  WriteAll(letter, "Dear Ann, " + std::to_string(::getpid()) + "-" +
                       std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  result = scanner_->ScanFile(letter, std::chrono::steady_clock::now());
  EXPECT_EQ(result.status, ScanStatus::kInfected);
  EXPECT_EQ(result.virus, kScanTimeFinding);
  EXPECT_EQ(scanner_->ScanFile(letter).status, ScanStatus::kClean);
}

// A clean text too large to rewrite is kept, the notice after it; only a text that itself
// carried the finding is replaced.
TEST_F(ScanJobTest, LargeCleanTextIsKeptWhenAnAttachmentIsRemoved) {
  JobFiles files = WithEicarAttachment();
  files.body = "Dear Bob, the figures follow.\r\n";
  root_.WriteJob("8f6", files);
  const std::string body = root_.in() + "/8f6/0.bdy";
  ASSERT_EQ(::truncate(body.c_str(), (65 << 20) + 1), 0);  // sparse: quick to write and scan
  ASSERT_EQ(Run("8f6").outcome, JobOutcome::kInfected);
  const std::string out = Out("8f6", "0.bdy");
  EXPECT_EQ(out.rfind("Dear Bob, the figures follow.", 0), 0u);
  EXPECT_GT(out.size(), (65u << 20) + 1);
  EXPECT_NE(out.find("Vantrel removed the attachment e.com", 65u << 20), std::string::npos);
  EXPECT_EQ(out.find("The text of this mail was removed"), std::string::npos);
}

TEST_F(ScanJobTest, FindsAnAttachmentOnlyInTheRawMimeText) {
  JobFiles files;
  root_.WriteJob("8f6", files);
  WriteAll(root_.in() + "/8f6/0.bdx",
           "Content-Type: text/plain\r\n\r\nVANTREL-TEST-ATTACHMENT-VIRUS\r\n");
  const JobReport report = Run("8f6");
  ASSERT_EQ(report.outcome, JobOutcome::kInfected) << report.detail;
  EXPECT_EQ(report.findings[0].virus, "Vantrel.Test.Attachment");
}

TEST_F(ScanJobTest, NeuterReplacesTheMailWithText) {
  root_.SetEngineIni("[Infected]\r\nAction=neuter\r\nNeuterText=Removed: {virus} ({files})\r\n");
  root_.WriteJob("8f6", WithEicarAttachment());
  ASSERT_EQ(Run("8f6").outcome, JobOutcome::kInfected);
  EXPECT_EQ(Out("8f6", "Delete.txt"), "Removed: Vantrel.Test.EICAR (e.com)\r\n");
  EXPECT_EQ(Out("8f6", "0.bdy"), "Removed: Vantrel.Test.EICAR (e.com)\r\n");
  EXPECT_TRUE(Exists(root_.OutFile("8f6", "Scanover.txt")));
  EXPECT_EQ(Out("8f6", "0.hd0").find("Attachment:"), std::string::npos);
}

TEST_F(ScanJobTest, DeleteAnswersWithAnEmptyDeleteTxt) {
  root_.SetEngineIni("[Infected]\r\nAction=delete\r\n");
  root_.WriteJob("8f6", WithEicarAttachment());
  ASSERT_EQ(Run("8f6").outcome, JobOutcome::kInfected);
  ASSERT_TRUE(Exists(root_.OutFile("8f6", "Delete.txt")));
  EXPECT_EQ(Out("8f6", "Delete.txt"), "");
  EXPECT_FALSE(Exists(root_.OutFile("8f6", "Scanover.txt")));
  EXPECT_TRUE(Exists(root_.OutFile("8f6", "0.hd0")));
}

TEST_F(ScanJobTest, LeaveWithoutQuarantineOrWarningsChangesNothing) {
  root_.SetEngineIni(
      "[Infected]\r\nAction=leave\r\nQuarantine=0\r\n"
      "[Warnings]\r\nSender=0\r\nAdministrators=0\r\n");
  root_.WriteJob("8f6", WithEicarAttachment());
  ASSERT_EQ(Run("8f6").outcome, JobOutcome::kInfected);
  EXPECT_EQ(OutNames("8f6"), (std::vector<std::string>{"0.bdy", "0.hd0"}));
}

TEST_F(ScanJobTest, RecipientWarningsInTheTempFolder) {
  root_.SetEngineIni(
      "[Warnings]\r\nSender=0\r\nAdministrators=0\r\nRecipients=1\r\nDirectory=temp\r\n"
      "RecipientsSubject=Virus {virus}\r\nRecipientsText=From {from}\\nSubject {subject}\r\n");
  root_.WriteJob("8f6", WithEicarAttachment());
  ASSERT_EQ(Run("8f6").outcome, JobOutcome::kInfected);
  EXPECT_FALSE(Exists(root_.OutFile("8f6", "recipients.hdx")));
  const std::string hdx = ReadAll(root_.out() + "/Temp/8f6-recipients.hdx");
  EXPECT_EQ(hdx,
            "Subject: Virus Vantrel.Test.EICAR\r\nFrom: vantrel@example.com\r\n"
            "To: bob@example.com,carl@example.com\r\nBody: Temp\\8f6-recipients.bdy\r\n");
  EXPECT_EQ(ReadAll(root_.out() + "/Temp/8f6-recipients.bdy"),
            "From ann@example.com\r\nSubject Figures\r\n");
}

TEST_F(ScanJobTest, PolicyChangeTakesEffectWithoutRestart) {
  root_.WriteJob("8f6", WithEicarAttachment());
  ASSERT_EQ(Run("8f6").outcome, JobOutcome::kInfected);
  EXPECT_FALSE(Exists(root_.OutFile("8f6", "Delete.txt")));
  root_.SetEngineIni("[Infected]\r\nAction=delete\r\n");
  root_.WriteJob("8f7", WithEicarAttachment());
  ASSERT_EQ(Run("8f7").outcome, JobOutcome::kInfected);
  EXPECT_TRUE(Exists(root_.OutFile("8f7", "Delete.txt")));
}

TEST_F(ScanJobTest, AJobAnsweredBeforeIsNotAnsweredAgain) {
  root_.WriteJob("8f6", JobFiles{});
  ASSERT_EQ(Run("8f6").outcome, JobOutcome::kClean);
  root_.SetEngineIni("[Clean]\r\nDisclaimer=x\r\n");
  EXPECT_EQ(Run("8f6").outcome, JobOutcome::kAnsweredBefore);
  EXPECT_FALSE(Exists(root_.OutFile("8f6", "disclaim.txt")));
  // The system's own error.HD0 after a failed apply counts as well.
  root_.WriteJob("8f7", JobFiles{});
  WriteAll(root_.OutFile("8f7", "error.HD0"), "");
  EXPECT_EQ(Run("8f7").outcome, JobOutcome::kAnsweredBefore);
}

TEST_F(ScanJobTest, NoScanAnswersClean) {
  context_.scanner = nullptr;
  root_.WriteJob("8f6", WithEicarAttachment());
  EXPECT_EQ(Run("8f6").outcome, JobOutcome::kClean);
}

// A line the system never writes means a value broke its line: nothing in the header can
// be trusted to say what the mail holds.
TEST_F(ScanJobTest, GarbageLinesAroundAGoodHeaderAreRefused) {
  JobFiles files;
  files.extra_lines = "garbage without colon\r\n\x01\x02\x03\r\n: no key\r\nX-Other: 1\r\n";
  root_.WriteJob("8f6", files);
  EXPECT_EQ(Run("8f6").outcome, JobOutcome::kError);
}

// Neither the answer nor error.hdr can be written (here both names are taken by
// directories, as a full spool refuses both): the job is not signalled, and what was
// written of the answer is gone, so the waiter's time-out decides.
TEST_F(ScanJobTest, NoAnswerWrittenIsNoSignal) {
  root_.WriteJob("8f6", WithEicarAttachment());
  ::mkdir((root_.out() + "/8f6/0.hd0.part").c_str(), 0755);
  ::mkdir((root_.out() + "/8f6/error.hdr.part").c_str(), 0755);
  HANDLE event = CreateEvent(nullptr, FALSE, FALSE, "8f6x");
  const JobReport report = Run("8f6");
  EXPECT_EQ(report.outcome, JobOutcome::kDropped);
  EXPECT_FALSE(report.event_set);
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  for (const std::string& name : OutNames("8f6"))
    EXPECT_TRUE(name == "0.hd0.part" || name == "error.hdr.part") << name;
  CloseHandle(event);
}

TEST_F(ScanJobTest, WithoutAnOutDirectoryNobodyIsAnswered) {
  root_.WriteJob("8f6", WithEicarAttachment());
  ::rmdir((root_.out() + "/8f6").c_str());
  HANDLE event = CreateEvent(nullptr, FALSE, FALSE, "8f6x");
  const JobReport report = Run("8f6");
  EXPECT_EQ(report.outcome, JobOutcome::kDropped);
  EXPECT_FALSE(Exists(root_.out() + "/8f6"));
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  CloseHandle(event);
}

// Jobs the engine refuses: each is answered with error.hdr alone, and its event is set so
// the waiter does not sit out its time-out.
struct RefusedCase {
  const char* name;
  const char* header;  // nullptr: the job as WriteJob makes it
  void (*prepare)(const TestRoot& root);
};

class RefusedJobTest : public ScanJobTest, public testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedJobTest, AnsweredWithErrorHdrOnly) {
  root_.WriteJob("8f6", WithEicarAttachment());
  if (GetParam().header) WriteAll(root_.in() + "/8f6/0.hdr", GetParam().header);
  if (GetParam().prepare) GetParam().prepare(root_);
  HANDLE event = CreateEvent(nullptr, FALSE, FALSE, "8f6x");
  const JobReport report = Run("8f6");
  EXPECT_EQ(report.outcome, JobOutcome::kError);
  EXPECT_FALSE(report.detail.empty());
  EXPECT_TRUE(Exists(root_.OutFile("8f6", "error.hdr")));
  for (const std::string& name : OutNames("8f6"))
    EXPECT_EQ(name.find(".hd0"), std::string::npos) << name;
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  CloseHandle(event);
}

INSTANTIATE_TEST_SUITE_P(
    BadJobs, RefusedJobTest,
    testing::Values(
        RefusedCase{"DotDot", "Body: 8f6\\..\\secret.txt\r\n",
                    [](const TestRoot& root) { WriteAll(root.in() + "/secret.txt", "x"); }},
        RefusedCase{"DotDotInAttachment",
                    "Body: 8f6\\0.bdy\r\nAttachment: ..\\..\\vantrel.ini,a\r\n", nullptr},
        RefusedCase{"Absolute", "Body: /etc/hostname\r\n", nullptr},
        RefusedCase{"DriveLetter", "Body: C:\\boot.ini\r\n", nullptr},
        RefusedCase{"OtherJob", "Body: 8f6\\0.bdy\r\nAttachment: 9a0\\0.ATT,x.doc\r\n",
                    [](const TestRoot& root) {
                      ::mkdir((root.in() + "/9a0").c_str(), 0755);
                      WriteAll(root.in() + "/9a0/0.ATT", "x");
                    }},
        RefusedCase{"EmptyHeader", "", nullptr},
        RefusedCase{"OnlyGarbage", "\x01\x02 garbage\r\nno colon at all\r\n", nullptr},
        // A subject that decoded to a line feed, and one that carried an Attachment line.
        RefusedCase{"InjectedBodyLine",
                    "Size: 5\r\nBody: 8f6\\0.bdy\r\nSubject: Invoice\r\nBody: x\r\n"
                    "Attachment: 8f6\\0.ATT,eicar.com\r\n",
                    nullptr},
        RefusedCase{"InjectedAttachmentLine",
                    "Body: 8f6\\0.bdy\r\nSubject: Invoice\r\nAttachment /etc/passwd,p\r\n"
                    "Attachment: 8f6\\0.ATT,eicar.com\r\n",
                    nullptr},
        RefusedCase{"NamesNoFile", "Size: 5\r\nSubject: x\r\nFrom: a@b\r\n", nullptr},
        RefusedCase{"MissingBody", nullptr,
                    [](const TestRoot& root) { ::unlink((root.in() + "/8f6/0.bdy").c_str()); }},
        RefusedCase{"AttachmentVanished", nullptr,
                    [](const TestRoot& root) { ::unlink((root.in() + "/8f6/1.ATT").c_str()); }},
        RefusedCase{"LinkedAttachment", nullptr,
                    [](const TestRoot& root) {
                      ::unlink((root.in() + "/8f6/0.ATT").c_str());
                      ASSERT_EQ(::symlink((root.install() + "/vantrel.ini").c_str(),
                                          (root.in() + "/8f6/0.ATT").c_str()),
                                0);
                    }},
        RefusedCase{"HeaderIsADirectory", nullptr,
                    [](const TestRoot& root) {
                      ::unlink((root.in() + "/8f6/0.hdr").c_str());
                      ::mkdir((root.in() + "/8f6/0.hdr").c_str(), 0755);
                    }}),
    [](const testing::TestParamInfo<RefusedCase>& info) { return info.param.name; });

TEST_F(ScanJobTest, DatabaseJobReadsTheNewestHeaderAndWritesVirnames) {
  const std::string job_dir = root_.in() + "/ScanDatabase";
  ::mkdir(job_dir.c_str(), 0755);
  ::mkdir((root_.out() + "/ScanDatabase").c_str(), 0755);
  WriteAll(job_dir + "/0.BDY", "stored document\r\n");
  WriteAll(job_dir + "/0.ATT", EicarText());
  // An earlier document's header stays in the directory until the run ends.
  WriteAll(job_dir + "/1A.hdr", "Body: ScanDatabase\\0.BDY\r\n");
  struct timeval old_times[2] = {{1000, 0}, {1000, 0}};
  ::utimes((job_dir + "/1A.hdr").c_str(), old_times);
  WriteAll(job_dir + "/2B.hdr",
           "Message-ID: <x@y>\r\nBody: ScanDatabase\\0.BDY\r\nSubject: Old mail\r\n"
           "From: ann@example.com\r\nTo: bob@example.com\r\n"
           "Attachment: ScanDatabase\\0.ATT,e.com\r\n");
  WriteAll(job_dir + "/scannow.txt", "");
  HANDLE event = CreateEvent(nullptr, FALSE, FALSE, kDatabaseEvent);

  const std::string header = NewestDatabaseHeader(job_dir);
  EXPECT_EQ(header, job_dir + "/2B.hdr");
  const JobReport report = RunJob({JobKind::kDatabase, kDatabaseJobDir, header, ""}, context_);
  ASSERT_EQ(report.outcome, JobOutcome::kInfected) << report.detail;
  EXPECT_EQ(ReadAll(root_.in() + "/Virnames.txt"), "Vantrel.Test.EICAR found in e.com\r\n");
  const std::string hd0 = Out("ScanDatabase", "0.hd0");
  EXPECT_EQ(hd0.rfind("Body: ScanDatabase\\0.bdy\r\n", 0), 0u) << hd0;
  EXPECT_EQ(hd0.find(",e.com"), std::string::npos) << hd0;
  EXPECT_TRUE(Exists(root_.OutFile("ScanDatabase", "Scanover.txt")));
  EXPECT_FALSE(Exists(root_.OutFile("ScanDatabase", "sender.hdx")));  // it sends none
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  CloseHandle(event);
}

// Each database-scanner answer names its job; one left by an earlier job (it came after
// the scanner gave up on that document) neither passes for this job's answer nor keeps
// this job from being answered, and its virus names do not stay for this document.
TEST_F(ScanJobTest, DatabaseAnswersCarryTheirJobsSequence) {
  const std::string job_dir = root_.in() + "/ScanDatabase";
  const std::string out_dir = root_.out() + "/ScanDatabase";
  ::mkdir(job_dir.c_str(), 0755);
  ::mkdir(out_dir.c_str(), 0755);
  WriteAll(job_dir + "/0.BDY", "stored document\r\n");
  WriteAll(job_dir + "/3C.hdr", "Body: ScanDatabase\\0.BDY\r\n");
  WriteAll(out_dir + "/0.hd0", "Body: ScanDatabase\\0.bdy\r\nJob: 41-6\r\n");
  WriteAll(out_dir + "/Delete.txt", "");
  WriteAll(root_.in() + "/Virnames.txt", "Old.Virus found in a.doc\r\n");
  WriteAll(job_dir + "/scannow.txt", "41-7\r\n");
  JobSpec job{JobKind::kDatabase, kDatabaseJobDir, job_dir + "/3C.hdr",
              ReadDatabaseJobSequence(job_dir)};
  EXPECT_EQ(job.sequence, "41-7");
  ASSERT_EQ(RunJob(job, context_).outcome, JobOutcome::kClean);
  EXPECT_EQ(AnswerJobSequence(out_dir + "/0.hd0"), "41-7");
  EXPECT_FALSE(Exists(out_dir + "/Delete.txt"));
  EXPECT_FALSE(Exists(root_.in() + "/Virnames.txt"));
  // Its own answer is not written twice.
  EXPECT_EQ(RunJob(job, context_).outcome, JobOutcome::kAnsweredBefore);

  // An error answer names its job too.
  ::unlink((out_dir + "/0.hd0").c_str());
  WriteAll(job_dir + "/scannow.txt", "41-8");
  ::unlink((job_dir + "/0.BDY").c_str());
  job.sequence = ReadDatabaseJobSequence(job_dir);
  ASSERT_EQ(RunJob(job, context_).outcome, JobOutcome::kError);
  EXPECT_EQ(AnswerJobSequence(out_dir + "/error.hdr"), "41-8");

  // What is not a short token is no sequence.
  for (const char* text : {"", "a b", "../x", "12345678901234567890123456789012345678901234567890"
                                              "12345678901234567"}) {
    WriteAll(job_dir + "/scannow.txt", text);
    EXPECT_EQ(ReadDatabaseJobSequence(job_dir), "") << text;
  }
}

TEST(EnginePolicyTest, ShippedEngineIniSpellsOutTheDefaults) {
  const EnginePolicy shipped = LoadPolicy(VT_ENGINE_SOURCE_DIR "/engine.ini", "/nonexistent");
  const EnginePolicy defaults = LoadPolicy("/nonexistent/engine.ini", "/nonexistent");
  EXPECT_EQ(shipped.action, defaults.action);
  EXPECT_EQ(shipped.quarantine, defaults.quarantine);
  EXPECT_EQ(shipped.neuter_text, defaults.neuter_text);
  EXPECT_EQ(shipped.clean_notice, defaults.clean_notice);
  EXPECT_EQ(shipped.cleaned_body_text, defaults.cleaned_body_text);
  for (auto member :
       {&EnginePolicy::sender, &EnginePolicy::recipients, &EnginePolicy::administrators}) {
    EXPECT_EQ((shipped.*member).enabled, (defaults.*member).enabled);
    EXPECT_EQ((shipped.*member).subject, (defaults.*member).subject);
    EXPECT_EQ((shipped.*member).text, (defaults.*member).text);
  }
  EXPECT_EQ(shipped.warning_from, defaults.warning_from);
  EXPECT_EQ(shipped.warnings_in_temp, defaults.warnings_in_temp);
  EXPECT_EQ(shipped.disclaimer, defaults.disclaimer);
}

TEST(ExpandTextTest, ReplacesFieldsAndLineBreaks) {
  const TextFields fields{"V", "a.doc", "Hi", "ann", "bob"};
  EXPECT_EQ(ExpandText("{virus} in {files}\\n{from}>{to}: {subject} {unknown} {", fields),
            "V in a.doc\r\nann>bob: Hi {unknown} {");
}

}  // namespace
}  // namespace vtengine
