// capture_test.cpp - the pieces of mail capture and of applying an answer that carry rules
// of their own: sender reduction, recipient lists, the Notes-client test, the verdict
// files, the quarantine copy and the warning mails, the statistics.
#include <gtest/gtest.h>

#include <cstring>

#include "vtnotes/apply.h"
#include "vtnotes/capture.h"
#include "vtnotes/hook_test_support.h"
#include "vtnotes/warnings.h"

namespace vtnotes {
namespace {

using testing_support::RouterTest;

TEST(CaptureRules, FromIsReducedToItsAddress) {
  const std::pair<const char*, const char*> cases[] = {
      {"\"Doe, John\" <jd@example.com>", "jd@example.com"},
      {"CN=John Doe/O=Acme", "CN=John Doe/O=Acme"},
      {"jd@example.com (John Doe)", "jd@example.com"},
      {"John Doe", "JohnDoe"},
      {"\"only a name\"", "\"only a name\""},  // nothing left: kept as read
      {"", ""},
  };
  for (const auto& [from, reduced] : cases) EXPECT_EQ(ReduceFromAddress(from), reduced) << from;
}

std::string TextListValue(const std::vector<std::string>& entries) {
  std::string value(2, '\0');  // the type word
  WORD type = TYPE_TEXT_LIST;
  std::memcpy(value.data(), &type, 2);
  WORD count = static_cast<WORD>(entries.size());
  value.append(reinterpret_cast<const char*>(&count), 2);
  for (const std::string& entry : entries) {
    WORD length = static_cast<WORD>(entry.size());
    value.append(reinterpret_cast<const char*>(&length), 2);
  }
  for (const std::string& entry : entries) value += entry;
  return value;
}

TEST(CaptureRules, RecipientListsJoinUntilAnEmptyEntry) {
  std::string value = TextListValue({"ann@x", "bob\r\nbob@y", "", "carl@z"});
  EXPECT_EQ(DumpTextListItem(value.data(), static_cast<DWORD>(value.size())), "ann@x,bob@y");
  // A list whose lengths claim more than the value holds stops where it stops fitting.
  std::string damaged = TextListValue({"ann@x", "bob@y"});
  damaged.resize(damaged.size() - 3);
  EXPECT_EQ(DumpTextListItem(damaged.data(), static_cast<DWORD>(damaged.size())), "ann@x");
}

class ApplyTest : public RouterTest {
 protected:
  void SetUp() override {
    RouterTest::SetUp();
    StartRouter();
    ASSERT_EQ(NSFDbOpen("mail.box", &db_), NOERROR);
    Write(Path("old.bin"), "old attachment");
    note_id_ = PutMail("mail.box", "subject", "ann@example.com", "old text\r\n", Path("old.bin"),
                       {{"$Mailer", "Lotus Notes Release 8.5.3"}});
    out_job_ = JoinPath(Out(), "j1");
    std::filesystem::create_directories(out_job_);
  }
  void TearDown() override {
    if (note_ != NULLHANDLE) (void)NSFNoteClose(note_);
    (void)NSFDbClose(db_);
    RouterTest::TearDown();
  }
  static void Write(const std::string& path, const std::string& text) { WriteFile(path, text); }
  // The note as it is stored; read beside the hooks by a non-mailbox alias is not possible,
  // so the hooks are told to stand aside for these reads.
  NOTEHANDLE OpenStored() {
    State().active = false;
    EXPECT_EQ(NSFNoteOpen(db_, note_id_, OPEN_DEFAULT, &note_), NOERROR);
    return note_;
  }
  int Attachments() {
    int count = 0;
    while (MailGetMessageAttachmentInfo(note_, static_cast<WORD>(count), nullptr, nullptr, nullptr,
                                        nullptr, nullptr, nullptr, nullptr))
      ++count;
    return count;
  }
  bool HasMimeBody() {
    WORD type = 0;
    return NSFItemInfo(note_, "Body", 4, nullptr, &type, nullptr, nullptr) == NOERROR &&
           type == TYPE_MIME_PART;
  }

  DBHANDLE db_ = NULLHANDLE;
  NOTEHANDLE note_ = NULLHANDLE;
  NOTEID note_id_ = 0;
  std::string out_job_;
};

TEST_F(ApplyTest, ResultHeaderAloneChangesNothing) {
  Write(out_job_ + "/x.hd0", "Body: j1\\new.bdy\r\n");
  MailInfo info;
  bool changed = false;
  EXPECT_EQ(CheckHD0File(out_job_, OpenStored(), info, true, "mail.box", changed, "j1"), 0);
  EXPECT_FALSE(changed);
  EXPECT_EQ(Attachments(), 1);
  EXPECT_TRUE(HasMimeBody());
}

TEST_F(ApplyTest, EngineErrorIsReportedAndNothingApplied) {
  Write(out_job_ + "/error.hdr", "");
  MailInfo info;
  bool changed = false;
  EXPECT_EQ(CheckHD0File(out_job_, OpenStored(), info, true, "mail.box", changed, "j1"), 100);
  Write(out_job_ + "/x.hd0", "Body: j1\\new.bdy\r\n");
  Write(out_job_ + "/Scanover.txt", "");
  EXPECT_EQ(CheckHD0File(out_job_, note_, info, true, "mail.box", changed, "j1"), 100);
  EXPECT_FALSE(changed);
  EXPECT_EQ(Attachments(), 1);
}

TEST_F(ApplyTest, ScanoverWithoutBodyLineKeepsBodyAndAttachments) {
  Write(out_job_ + "/x.hd0", "Attachment: j1\\a.bin,a.bin\r\n");
  Write(out_job_ + "/a.bin", "x");
  Write(out_job_ + "/Scanover.txt", "");
  MailInfo info;
  bool changed = false;
  EXPECT_EQ(CheckHD0File(out_job_, OpenStored(), info, true, "mail.box", changed, "j1"), 0);
  EXPECT_EQ(Attachments(), 1);
  EXPECT_TRUE(HasMimeBody());
}

TEST_F(ApplyTest, DisclaimerOnlyForNotesClients) {
  Write(out_job_ + "/x.hd0", "Body: j1\\new.bdy\r\n");
  Write(out_job_ + "/disclaim.txt", "  First line \r\nSecond line");
  MailInfo info;
  bool changed = false;
  NOTEHANDLE note = OpenStored();
  EXPECT_TRUE(IsMailComeFromLotusNotesClient(note, "j1", false));
  EXPECT_EQ(CheckHD0File(out_job_, note, info, true, "mail.box", changed, "j1"), 0);
  EXPECT_TRUE(changed);
  const std::string text = Path("body.txt");
  DWORD size = 0;
  ASSERT_EQ(MailGetMessageBodyText(note, "Body", "\n", 0, FALSE, text.c_str(), &size), NOERROR);
  EXPECT_NE(ReadFile(text).find("First line\nSecond line"), std::string::npos);

  ASSERT_EQ(NSFItemSetText(note, "$SMTPNotFromNotes", "1", MAXWORD), NOERROR);
  EXPECT_FALSE(IsMailComeFromLotusNotesClient(note, "j1", true));
  ASSERT_EQ(NSFItemSetText(note, "$SMTPNotFromNotes", "0", MAXWORD), NOERROR);
  ASSERT_EQ(NSFItemSetText(note, "$Mailer", "Mozilla Thunderbird", MAXWORD), NOERROR);
  bool second_changed = false;
  EXPECT_EQ(CheckHD0File(out_job_, note, info, false, "mail.box", second_changed, "j1"), 0);
  EXPECT_FALSE(second_changed);
}

TEST_F(ApplyTest, QuarantineCopiesIntoEveryDatabaseAndSecondaryRunsDoNot) {
  ASSERT_EQ(NSFDbCreate("admin.nsf", DBCLASS_NOTEFILE, FALSE), NOERROR);
  WriteProductValue("VTADMINDB", "vtquaran.nsf, admin.nsf");
  FillAdminLists();
  Write(out_job_ + "/x.hd0", "Body: j1\\new.bdy\r\n");
  Write(out_job_ + "/Forward.txt", "");
  MailInfo info;
  bool changed = false;
  EXPECT_EQ(CheckHD0File(out_job_, OpenStored(), info, true, "mail.box", changed, "j1"), 0);
  EXPECT_EQ(CheckHD0File(out_job_, note_, info, false, "mail.box", changed, "j1"), 0);
  EXPECT_EQ(CountNotes("vtquaran.nsf"), 1);
  EXPECT_EQ(CountNotes("admin.nsf"), 1);
}

TEST_F(ApplyTest, WarningJobSendsOneMailPerRecipient) {
  Write(out_job_ + "/w.bdy", "You sent a virus.\r\n");
  Write(out_job_ + "/sender.hdx",
        "Subject: Warning\r\nFrom: vantrel@example.com\r\nTo: a@example.com,,b@example.com\r\n"
        "Body: j1\\w.bdy\r\n");
  EXPECT_EQ(SendWarningMail(out_job_, "mail.box"), NOERROR);
  // MAILSERVER and the compatibility setting are unset: the local mail2.box takes them.
  EXPECT_EQ(CountNotes("mail2.box"), 2);
  ASSERT_EQ(NSFDbDelete("mail2.box"), NOERROR);
  EXPECT_EQ(SendWarningMail(out_job_, "mail.box"), NOERROR);
  EXPECT_EQ(CountNotes("mail.box"), 1 + 2);  // no mail2.box: mail.box takes them
}

TEST(Statistics, SizeClassesByWholeMebibytes) {
  const std::pair<std::uint64_t, const char*> cases[] = {
      {0, "Small"},           {2 * 1048576 - 1, "Small"},   {5 * 1048576, "Medium"},
      {10 * 1048576 + 524288, "Large"}, {11 * 1048576, "VeryLarge"}};
  for (const auto& [size, name] : cases) EXPECT_STREQ(SizeClass(size), name) << size;
}

}  // namespace
}  // namespace vtnotes
