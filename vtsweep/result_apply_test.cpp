// result_apply_test.cpp - the engine's answers applied to stored documents.
#include "vtsweep/result_apply.h"

#include <gtest/gtest.h>

#include "vtsweep/test_support.h"

namespace vtsweep {
namespace {

using testing_support::SweepTest;

class ResultApplyTest : public SweepTest {
 protected:
  void SetUp() override {
    SweepTest::SetUp();
    db_ = MakeDatabase("mail/ann.nsf");
    id_ = MakeMail(db_, "infected", "hello\r\n", {{"bad.com", "virus"}, {"good.doc", "fine"}});
    ASSERT_EQ(NSFNoteOpen(db_, id_, 0, &note_), NOERROR);
  }
  void TearDown() override {
    if (note_ != NULLHANDLE) {
      EXPECT_EQ(NSFNoteClose(note_), NOERROR);
    }
    EXPECT_EQ(NSFDbClose(db_), NOERROR);
    SweepTest::TearDown();
  }
  void Answer(const std::string& name, const std::string& text) {
    WriteAbsolute(run_.paths.result_dir + "/" + name, text);
  }
  std::string BodyText() {
    const std::string file = Path("tmp/out.txt");
    DWORD size = 0;
    if (MailGetMessageBodyText(note_, "Body", "\r\n", 0, FALSE, file.c_str(), &size) != NOERROR)
      return "<none>";
    return Read(file);
  }
  std::vector<std::string> AttachmentNames() {
    std::vector<std::string> names;
    char name[MAXPATH];
    for (WORD i = 0; MailGetMessageAttachmentInfo(note_, i, nullptr, name, nullptr, nullptr,
                                                  nullptr, nullptr, nullptr);
         ++i)
      names.emplace_back(name);
    return names;
  }

  DBHANDLE db_ = NULLHANDLE;
  NOTEID id_ = 0;
  NOTEHANDLE note_ = NULLHANDLE;
  JobRecord record_;
  bool delete_ = false;
};

TEST_F(ResultApplyTest, CleanedAnswerKeepsOnlyTheAttachmentsTheEngineKept) {
  Answer("0.bdy", "hello\r\nbad.com was removed\r\n");
  Answer("1.ATT", "fine");
  Answer("0.hd0", "Body: ScanDatabase\\0.bdy\r\nAttachment: ScanDatabase\\1.ATT,good.doc\r\n");
  Answer("Scanover.txt", "Test.Virus\r\n");
  ASSERT_EQ(ApplyResult(run_, note_, record_, &delete_), 0);
  EXPECT_TRUE(run_.changed);
  EXPECT_FALSE(delete_);
  EXPECT_EQ(AttachmentNames(), (std::vector<std::string>{"good.doc"}));
  EXPECT_NE(BodyText().find("bad.com was removed"), std::string::npos) << BodyText();
}

TEST_F(ResultApplyTest, EmptyDeleteFileEmptiesTheBodyAndAsksForDeletion) {
  Answer("0.bdy", "hello\r\n");
  Answer("0.ATT", "fine");
  Answer("0.hd0", "Body: ScanDatabase\\0.bdy\r\nAttachment: ScanDatabase\\0.ATT,good.doc\r\n");
  Answer("Delete.txt", "");
  Answer("scanover.txt", "");
  ASSERT_EQ(ApplyResult(run_, note_, record_, &delete_), 0);
  EXPECT_TRUE(delete_);
  EXPECT_TRUE(AttachmentNames().empty());
  const std::string body = BodyText();
  EXPECT_TRUE(body.empty() || body == "<none>") << body;  // the old text is gone
}

TEST_F(ResultApplyTest, DeleteTextBecomesTheBody) {
  Answer("0.bdy", "hello\r\n");
  Answer("0.hd0", "Body: ScanDatabase\\0.bdy\r\n");
  Answer("Delete.txt", "This mail contained a virus.\r\n");
  Answer("Scanover.txt", "");
  ASSERT_EQ(ApplyResult(run_, note_, record_, &delete_), 0);
  EXPECT_FALSE(delete_);
  EXPECT_TRUE(AttachmentNames().empty());
  EXPECT_NE(BodyText().find("This mail contained a virus."), std::string::npos) << BodyText();
}

TEST_F(ResultApplyTest, AnswersThatCannotBeUsedChangeNothing) {
  // No result header: nothing to apply; error.hdr alone: the engine failed the job.
  EXPECT_EQ(ApplyResult(run_, note_, record_, &delete_), 0);
  Answer("error.hdr", "Error: no\r\n");
  EXPECT_EQ(ApplyResult(run_, note_, record_, &delete_), 100);
  // A result header without a body line is refused whatever it lists.
  Answer("0.hd0", "Attachment: ScanDatabase\\1.ATT,good.doc\r\n");
  Answer("Forward.txt", "x");
  EXPECT_EQ(ApplyResult(run_, note_, record_, &delete_), 1);
  std::filesystem::remove(run_.paths.result_dir + "/Forward.txt");
  Answer("Scanover.txt", "x");
  EXPECT_EQ(ApplyResult(run_, note_, record_, &delete_), 1);
  // A name that leaves the result base is refused, so the body stays unknown.
  Answer("0.hd0", "Body: ..\\..\\domino\\data\\names.nsf\r\n");
  EXPECT_EQ(ApplyResult(run_, note_, record_, &delete_), 1);
  EXPECT_FALSE(run_.changed);
  EXPECT_FALSE(delete_);
  EXPECT_EQ(AttachmentNames(), (std::vector<std::string>{"bad.com", "good.doc"}));
  const std::string log = Log();
  EXPECT_NE(log.find("Error :CheckHD0File\tError in ReadFromFile"), std::string::npos);
  EXPECT_NE(log.find("Error :VtSweep\tError in ReadFromFile"), std::string::npos);
  EXPECT_NE(log.find("names a file outside"), std::string::npos);
}

TEST_F(ResultApplyTest, ResultHeaderLines) {
  Answer("0.hd0",
         "Body: ScanDatabase\\0.bdy\r\nAttachment: ScanDatabase\\a,b,c.doc\r\n"
         "Attachment: nocomma\r\nsubject : Hi there \r\nTo: \"Ann\" <ann@x>, bob@y\r\n"
         "From: c@z\r\nSize: 12\r\n");
  ASSERT_EQ(ReadResultHeader(run_.paths.result_base, run_.paths.result_dir, "0.hd0", record_), 0);
  ASSERT_EQ(record_.attachments.size(), 1u);
  EXPECT_EQ(record_.attachments[0].original_name, "c.doc");
  EXPECT_EQ(record_.attachments[0].stored_path, run_.paths.result_dir + "/a,b");
  EXPECT_EQ(record_.body_path, run_.paths.result_dir + "/0.bdy");
  EXPECT_EQ(record_.subject, "Hi there");
  EXPECT_EQ(record_.recipients, (std::vector<std::string>{"ann@x", "bob@y"}));
  EXPECT_EQ(record_.from, "c@z");
  Answer("1.hd0", "Body: ScanDatabase\\0.bdy\r\nTo: ,ann@x\r\n");
  ASSERT_EQ(ReadResultHeader(run_.paths.result_base, run_.paths.result_dir, "1.hd0", record_), 0);
  EXPECT_TRUE(record_.recipients.empty());
}

TEST_F(ResultApplyTest, OneQuarantineCopyPerAdministratorDatabase) {
  run_.settings.admins = {{"admin@example.com", "q1.nsf"}, {"second@example.com", "q2.nsf"}};
  for (const char* name : {"q1.nsf", "q2.nsf"}) EXPECT_EQ(NSFDbClose(MakeDatabase(name)), NOERROR);
  Answer("0.bdy", "cleaned\r\n");
  Answer("0.hd0", "Body: ScanDatabase\\0.bdy\r\nSubject: infected\r\nTo: a@x,b@y\r\n");
  Answer("Forward.txt", "Test.Virus\r\n");
  ASSERT_EQ(ApplyResult(run_, note_, record_, &delete_), 0);
  EXPECT_FALSE(run_.changed);  // a copy alone leaves the document as it is
  for (const char* name : {"q1.nsf", "q2.nsf"}) {
    DBHANDLE db = NULLHANDLE;
    ASSERT_EQ(NSFDbOpen(name, &db), NOERROR);
    int copies = 0;
    std::string send_to;
    auto count = [](void* context, SEARCH_MATCH* match, ITEM_TABLE*) -> STATUS {
      auto& found = *static_cast<std::pair<DBHANDLE, std::pair<int*, std::string*>>*>(context);
      NOTEHANDLE note = NULLHANDLE;
      if (NSFNoteOpen(found.first, match->ID.NoteID, 0, &note) == NOERROR) {
        char text[256] = {};
        NSFItemGetText(note, "SendTo", text, sizeof text);
        *found.second.second = text;
        (void)NSFNoteClose(note);
      }
      ++*found.second.first;
      return NOERROR;
    };
    std::pair<DBHANDLE, std::pair<int*, std::string*>> context{db, {&copies, &send_to}};
    ASSERT_EQ(NSFSearch(db, NULLHANDLE, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr, count,
                        &context, nullptr),
              NOERROR);
    EXPECT_EQ(copies, 1) << name;
    EXPECT_EQ(send_to, "b@y") << name;
    EXPECT_EQ(NSFDbClose(db), NOERROR);
  }
}

}  // namespace
}  // namespace vtsweep
