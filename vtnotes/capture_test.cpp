// capture_test.cpp - the pieces of mail capture and of applying an answer that carry rules
// of their own: sender reduction, recipient lists, the Notes-client test, the verdict
// files, the quarantine copy and the warning mails, the statistics.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/notes/mail_export.h"
#include "platform/notes/mail_import.h"
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

// An internet mail with its text, a clean and an infected attachment, stored as the server
// stores it: capture writes each attachment as a file of its own and keeps their content out
// of the raw body; a cleaning answer keeps the text and the clean attachment, and the note
// is whole afterwards (delivered and written back as a message).
TEST_F(ApplyTest, InternetMailAttachmentsAreCapturedOneByOneAndCleanedOneByOne) {
  const std::string message =
      "From: Ann <ann@example.com>\r\nTo: bob@example.com\r\nSubject: mixed\r\n"
      "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
      "--b\r\nContent-Type: text/plain\r\n\r\nThe report is attached.\r\n"
      "--b\r\nContent-Type: application/pdf; name=\"report.pdf\"\r\n"
      "Content-Transfer-Encoding: base64\r\n\r\nJVBERi0xLjQKcmVwb3J0\r\n"
      "--b\r\nContent-Type: application/octet-stream\r\n"
      "Content-Disposition: attachment; filename=\"evil.exe\"\r\n\r\nVIRUS-BYTES\r\n"
      "--b--\r\n";
  NOTEHANDLE created = NULLHANDLE;
  ASSERT_EQ(NSFNoteCreate(db_, &created), NOERROR);
  std::string reason;
  ASSERT_EQ(mail_import::ImportMailText(created, message, mail_import::ImportOptions{}, &reason), NOERROR)
      << reason;
  ASSERT_EQ(NSFNoteUpdate(created, 0), NOERROR);
  NSFNoteGetInfo(created, _NOTE_ID, &note_id_);
  ASSERT_EQ(NSFNoteClose(created), NOERROR);
  NOTEHANDLE note = OpenStored();

  const std::string in_job = JoinPath(In(), "j1");
  std::filesystem::create_directories(in_job);
  std::unique_ptr<MailInfo> info;
  ASSERT_EQ(ExtractAttachment(note, in_job, "j1", info), 0);
  ASSERT_EQ(info->attachments.size(), 2u);
  EXPECT_EQ(info->attachments[0].display_name, "report.pdf");
  EXPECT_EQ(ReadFile(JoinPath(in_job, "0.ATT")), "%PDF-1.4\nreport");
  EXPECT_EQ(info->attachments[1].display_name, "evil.exe");
  EXPECT_EQ(ReadFile(JoinPath(in_job, "1.ATT")), "VIRUS-BYTES");
  ASSERT_EQ(FetchBody(note, *info, in_job, "j1"), 0);
  const std::string raw = ReadFile(JoinPath(in_job, "0.bdx"));
  EXPECT_NE(raw.find("filename=\"evil.exe\""), std::string::npos) << raw;
  EXPECT_EQ(raw.find("VIRUS-BYTES"), std::string::npos) << raw;
  EXPECT_EQ(raw.find("JVBERi0x"), std::string::npos) << raw;
  EXPECT_NE(ReadFile(JoinPath(in_job, "0.bdy")).find("The report is attached."), std::string::npos);

  // The engine's answer: the text with its notice, the clean attachment only.
  Write(out_job_ + "/new.bdy", "The report is attached.\r\n\r\nevil.exe was removed.\r\n");
  Write(out_job_ + "/0.ATT", "%PDF-1.4\nreport");
  Write(out_job_ + "/x.hd0", "Body: j1\\new.bdy\r\nAttachment: j1\\0.ATT,report.pdf\r\n");
  Write(out_job_ + "/Scanover.txt", "Test.Virus\r\n");
  MailInfo answer;
  bool changed = false;
  EXPECT_EQ(CheckHD0File(out_job_, note, answer, true, "mail.box", changed, "j1"), 0);
  EXPECT_TRUE(changed);
  ASSERT_EQ(Attachments(), 1);
  BLOCKID item{};
  char name[MAXPATH] = "";
  ASSERT_TRUE(MailGetMessageAttachmentInfo(note, 0, &item, name, nullptr, nullptr, nullptr, nullptr,
                                           nullptr));
  EXPECT_STREQ(name, "report.pdf");
  // No MIME part is left to name the attachments that went.
  EXPECT_FALSE(HasMimeBody());
  EXPECT_FALSE(NSFItemIsPresent(note, "$NoteHasNativeMIME", 17));
  const std::string text = Path("body.txt");
  DWORD size = 0;
  ASSERT_EQ(MailGetMessageBodyText(note, "Body", "\n", 0, FALSE, text.c_str(), &size), NOERROR);
  EXPECT_NE(ReadFile(text).find("The report is attached."), std::string::npos);

  // Delivered into a user's database and written back as a message.
  ASSERT_EQ(NSFDbCreate("bob.nsf", DBCLASS_NOTEFILE, FALSE), NOERROR);
  DBHANDLE user = NULLHANDLE;
  ASSERT_EQ(NSFDbOpen("bob.nsf", &user), NOERROR);
  NOTEHANDLE copy = NULLHANDLE;
  ASSERT_EQ(NSFNoteCopy(note, &copy), NOERROR);
  NSFNoteSetInfo(copy, _NOTE_DB, &user);
  ASSERT_EQ(NSFNoteUpdate(copy, 0), NOERROR);
  std::string exported;
  ASSERT_EQ(mail_export::ExportMail(copy, [&exported](std::string_view piece) {
    exported.append(piece);
    return true;
  }, &reason), NOERROR) << reason;
  EXPECT_NE(exported.find("Subject: mixed\r\n"), std::string::npos) << exported;
  EXPECT_NE(exported.find("The report is attached."), std::string::npos) << exported;
  EXPECT_NE(exported.find("filename=\"report.pdf\"\r\nContent-Transfer-Encoding: base64\r\n\r\n"
                          "JVBERi0xLjQKcmVwb3J0\r\n"),
            std::string::npos) << exported;
  EXPECT_EQ(exported.find("evil.exe\""), std::string::npos) << exported;
  EXPECT_EQ(NSFNoteClose(copy), NOERROR);
  EXPECT_EQ(NSFDbClose(user), NOERROR);
}

TEST(Statistics, SizeClassesByWholeMebibytes) {
  const std::pair<std::uint64_t, const char*> cases[] = {
      {0, "Small"},           {2 * 1048576 - 1, "Small"},   {5 * 1048576, "Medium"},
      {10 * 1048576 + 524288, "Large"}, {11 * 1048576, "VeryLarge"}};
  for (const auto& [size, name] : cases) EXPECT_STREQ(SizeClass(size), name) << size;
}

}  // namespace
}  // namespace vtnotes
