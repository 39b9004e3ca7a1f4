// spool_test.cpp - job names, the job header, result headers and spool trees.
#include "vtnotes/spool.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "vtnotes/test_support.h"

namespace vtnotes {
namespace {

using testing_support::RootTest;

TEST(JobNames, MailboxNumberAndJobId) {
  struct Case {
    const char* path;
    NOTEID note_id;
    const char* number;
    const char* job_id;
  };
  const Case cases[] = {
      {"mail2.box", 0x8F6, "2", "28f6"},
      {"mail.box", 0x8F6, "", "8f6"},
      {"mail10.box", 0x12E, "10", "1012e"},
      {"mail", 0x1, "", "1"},
  };
  for (const Case& c : cases) {
    std::string number = MailboxNumber(c.path);
    EXPECT_EQ(number, c.number) << c.path;
    EXPECT_EQ(MakeJobId(number, c.note_id), c.job_id) << c.path;
  }
  EXPECT_EQ(JobMutexName("28f6"), "28f6a90z");
  EXPECT_EQ(JobEventName("28F6"), "28f6x");
  EXPECT_TRUE(IsRouterMailBox("mail2.box"));
  EXPECT_FALSE(IsRouterMailBox("mail/ann.nsf"));
  EXPECT_FALSE(IsRouterMailBox("MAIL.BOX"));  // the test is case-sensitive
}

TEST(JobNames, MakePerfectPathNameDropsPathCharactersAndCuts) {
  EXPECT_EQ(MakePerfectPathName("a\"b*c/d:e<f>g?h\\i|j"), "abcdefghij");
  EXPECT_EQ(MakePerfectPathName(""), "");
  EXPECT_EQ(MakePerfectPathName(std::string(300, 'x')).size(), kMaxCleanName);
}

TEST(JobNames, RecipientListAndRelativePaths) {
  EXPECT_EQ(HeaderRecipientList("\"Ann\" <ann>,,bob"), "Ann ann,bob");
  EXPECT_EQ(HeaderRecipientList(",,"), "");
  EXPECT_EQ(HeaderRecipientList("\"Lee, Alice\" <alice@x>,bob@x"), "Lee Alice alice@x,bob@x");
  EXPECT_EQ(SpoolRelativePath("/r/vantrel/In/8f6/0.bdy"), "8f6\\0.bdy");
}

class SpoolTest : public RootTest {};

TEST_F(SpoolTest, HeaderOfPlainMailWithOneAttachment) {
  const std::string in_job = JoinPath(In(), "8f6");
  const std::string out_job = JoinPath(Out(), "8f6");
  WriteFile(JoinPath(in_job, "0.bdy"), "hello\r\n");
  WriteFile(JoinPath(in_job, "0.ATT"), "0123456789");
  std::filesystem::create_directories(out_job);
  // A line registered while the body was written comes first.
  WriteFile(JoinPath(in_job, "0.hdf"), "Attachment: 8f6\\part.ATT,part.html\r\n");

  MailInfo info;
  info.body_path = JoinPath(in_job, "0.bdy");
  info.subject = "Quarterly";
  info.from = "ann@example.com";
  info.recipients = "\"Bob\" <bob@example.com>,,carl@example.com";
  info.attachments.push_back({"a.doc", JoinPath(in_job, "0.ATT")});
  std::uint64_t size = 0;
  ASSERT_EQ(CreateHeaderFile(info, in_job, out_job, "8f6", &size), 0);

  EXPECT_EQ(size, 17u);
  EXPECT_EQ(info.header_path, JoinPath(out_job, "0.hdr"));
  EXPECT_FALSE(Exists(JoinPath(in_job, "0.hdf")));
  EXPECT_EQ(ReadFile(JoinPath(in_job, "0.hdr")),
            "Attachment: 8f6\\part.ATT,part.html\r\n"
            "Size: 17\r\n"
            "Body: 8f6\\0.bdy\r\n"
            "LotusNotesMUA: 0\r\n"
            "Subject: Quarterly\r\n"
            "From: ann@example.com\r\n"
            "To: Bob bob@example.com,carl@example.com\r\n"
            "Attachment: 8f6\\0.ATT,a.doc\r\n");
}

// Values the sender chose stay on their line: a subject, sender, recipient or file name
// that carries a line break cannot add a Body or Attachment line of its own.
TEST_F(SpoolTest, HeaderValuesFromTheMailStayOnTheirLine) {
  const std::string in_job = JoinPath(In(), "8f6");
  const std::string out_job = JoinPath(Out(), "8f6");
  WriteFile(JoinPath(in_job, "0.bdy"), "hello\r\n");
  WriteFile(JoinPath(in_job, "0.ATT"), "x");
  std::filesystem::create_directories(out_job);

  MailInfo info;
  info.body_path = JoinPath(in_job, "0.bdy");
  info.subject = "Invoice\nBody: x";
  info.from = "\"Doe,\r\n John\" <jd@example.com>";
  info.recipients = "bob@example.com\rmallory@example.com";
  info.posted_date = "today\r\nBody: y";
  info.attachments.push_back({"a\r\nAttachment: /etc/passwd,p", JoinPath(in_job, "0.ATT")});
  std::uint64_t size = 0;
  ASSERT_EQ(CreateHeaderFile(info, in_job, out_job, "8f6", &size), 0);

  EXPECT_EQ(ReadFile(JoinPath(in_job, "0.hdr")),
            "Size: 8\r\n"
            "Body: 8f6\\0.bdy\r\n"
            "Date: today  Body: y\r\n"
            "LotusNotesMUA: 0\r\n"
            "Subject: Invoice Body: x\r\n"
            "From: \"Doe,   John\" <jd@example.com>\r\n"
            "To: bob@example.com mallory@example.com\r\n"
            "Attachment: 8f6\\0.ATT,a  Attachment: /etc/passwd,p\r\n");
}

TEST_F(SpoolTest, ReadsResultHeader) {
  const std::string out_job = JoinPath(Out(), "8f6");
  WriteFile(JoinPath(out_job, "x.hd0"),
            "Size: 12\r\n"
            "  body :  8f6\\clean.bdy  \r\n"
            "\r\n"
            "no colon here\n"
            ": empty key\n"
            "Attachment: 8f6\\clean,v.doc\r\n"
            "Attachment: a,b,c.doc\r\n"
            "Attachment: nocomma\r\n"
            "Attachment: ,alias\r\n"
            "FROM: " + std::string(300, 'f') + "\r\n"
            "SUBJECT: hi: there\r\n"
            "to: a,b\r\n");
  MailInfo info;
  info.subject = "old";
  ASSERT_EQ(ReadFromFile(out_job, "x.hd0", Out(), info), 0);
  EXPECT_EQ(info.body_path, Out() + "/8f6/clean.bdy");
  ASSERT_EQ(info.attachments.size(), 2u);
  EXPECT_EQ(info.attachments[0].file_path, Out() + "/8f6/clean");
  EXPECT_EQ(info.attachments[0].display_name, "v.doc");
  EXPECT_EQ(info.attachments[1].file_path, Out() + "/a,b");
  EXPECT_EQ(info.attachments[1].display_name, "c.doc");
  EXPECT_EQ(info.from.size(), kMaxFromChars);
  EXPECT_EQ(info.subject, "hi: there");
  EXPECT_EQ(info.recipients, "a,b");
}

TEST_F(SpoolTest, ResultHeaderWithoutBodyOrFileIsRejected) {
  const std::string out_job = JoinPath(Out(), "8f6");
  WriteFile(JoinPath(out_job, "x.hd0"), "Attachment: 8f6\\clean,v.doc\r\n");
  MailInfo info;
  info.subject = "kept";
  EXPECT_EQ(ReadFromFile(out_job, "x.hd0", Out(), info), 100);
  EXPECT_EQ(info.subject, "kept");
  EXPECT_EQ(ReadFromFile(out_job, "missing.hd0", Out(), info), 100);
}

TEST_F(SpoolTest, NamesLeavingTheOutDirectoryAreRefused) {
  const std::string out_job = JoinPath(Out(), "8f6");
  WriteFile(JoinPath(out_job, "x.hd0"),
            "Body: ..\\..\\windows\\win.ini\r\n"
            "Attachment: /etc/passwd,passwd\r\n"
            "Attachment: 8f6\\..\\..\\registry.db,reg\r\n"
            "Attachment: C:\\boot.ini,boot\r\n"
            "Attachment: 8f6\\.\\ok.bin,ok\r\n"
            "Body: .\\.\r\n");
  MailInfo info;
  // Every Body line was refused, so the header counts as unreadable.
  EXPECT_EQ(ReadFromFile(out_job, "x.hd0", Out(), info), 100);

  WriteFile(JoinPath(out_job, "y.hd0"),
            "Body: 8f6\\b.bdy\r\n"
            "Attachment: 8f6\\..\\..\\registry.db,reg\r\n"
            "Attachment: 8f6\\.\\ok.bin,ok\r\n");
  ASSERT_EQ(ReadFromFile(out_job, "y.hd0", Out(), info), 0);
  ASSERT_EQ(info.attachments.size(), 1u);
  EXPECT_EQ(info.attachments[0].file_path, Out() + "/8f6/ok.bin");
}

TEST_F(SpoolTest, OverlongLinesAreSplit) {
  const std::string out_job = JoinPath(Out(), "8f6");
  // The second piece of the long line begins "Body:" and counts as a line of its own.
  WriteFile(JoinPath(out_job, "x.hd0"),
            "Subject: " + std::string(kMaxHeaderLine - 9, 's') + "Body: 8f6\\b.bdy\r\n");
  MailInfo info;
  ASSERT_EQ(ReadFromFile(out_job, "x.hd0", Out(), info), 0);
  EXPECT_EQ(info.subject.size(), kMaxHeaderLine - 9);
  EXPECT_EQ(info.body_path, Out() + "/8f6/b.bdy");
}

TEST_F(SpoolTest, DeleteTreeSparesTheDatabaseScannerJob) {
  WriteFile(JoinPath(Out(), "8f6/0.bdy"), "x");
  WriteFile(JoinPath(Out(), "8f6/deeper/1.ATT"), "x");
  WriteFile(JoinPath(Out(), "scandatabase/scannow.txt"), "x");
  WriteFile(JoinPath(Out(), "loose.txt"), "x");

  DeleteTree(Out(), false);
  EXPECT_TRUE(Exists(Out()));
  EXPECT_FALSE(Exists(JoinPath(Out(), "8f6")));
  EXPECT_FALSE(Exists(JoinPath(Out(), "loose.txt")));
  EXPECT_TRUE(Exists(JoinPath(Out(), "scandatabase/scannow.txt")));

  WriteFile(JoinPath(Out(), "28f6/0.bdy"), "x");
  DeleteTree(JoinPath(Out(), "28f6"), true);
  EXPECT_FALSE(Exists(JoinPath(Out(), "28f6")));
  DeleteTree(JoinPath(Out(), "absent"), true);  // nothing to do, no failure
}

TEST_F(SpoolTest, FindMatchesIgnoreCase) {
  WriteFile(JoinPath(Out(), "j/RESULT.HD0"), "");
  WriteFile(JoinPath(Out(), "j/Delete.TXT"), "");
  EXPECT_EQ(FindFirstMatch(JoinPath(Out(), "j"), "*.hd0"), "RESULT.HD0");
  EXPECT_EQ(FindFirstMatch(JoinPath(Out(), "j"), "delete.txt"), "Delete.TXT");
  EXPECT_EQ(FindFirstMatch(JoinPath(Out(), "j"), "*.hdx"), "");
}

}  // namespace
}  // namespace vtnotes
