// result_apply_test.cpp - the engine's answers applied to stored documents.
#include "vtsweep/result_apply.h"

#include <gtest/gtest.h>

#include "foundation/log.h"
#include "vtnotes/extension_state.h"
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

// The note IDs of the documents of a database.
std::vector<NOTEID> DocumentsOf(DBHANDLE db) {
  std::vector<NOTEID> ids;
  auto collect = [](void* context, SEARCH_MATCH* match, ITEM_TABLE*) -> STATUS {
    static_cast<std::vector<NOTEID>*>(context)->push_back(match->ID.NoteID);
    return NOERROR;
  };
  EXPECT_EQ(NSFSearch(db, NULLHANDLE, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr, collect, &ids,
                      nullptr),
            NOERROR);
  return ids;
}

class QuarantineCopyTest : public ResultApplyTest {
 protected:
  void SetUp() override {
    ResultApplyTest::SetUp();
    vtnotes::ExtensionState& state = vtnotes::State();
    state.install_directory = run_.settings.install_dir;
    state.out_directory = run_.paths.result_base;
    state.vantrel_id = "test-installation";
    // The copy step's own lines go to the machine's report directory.
    foundation::LogSettings log_settings;
    log_settings.report_directory = Path("vantrel/Reports");
    foundation::InitLog(log_settings);
  }
  void TearDown() override {
    foundation::CloseLog();
    vtnotes::State().SetLists({}, {});
    ResultApplyTest::TearDown();
  }
  std::vector<std::string> KeptOriginals() {
    std::vector<std::string> names;
    const std::string folder = Path("vantrel/Quarantine");
    if (!std::filesystem::is_directory(folder)) return names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      if (entry.path().extension() == ".eml") names.push_back(entry.path().filename().string());
    }
    return names;
  }
};

// A copy is the whole document (its body, every attachment with its content) with the
// marks the quarantine tools read, one in every quarantine database.
TEST_F(QuarantineCopyTest, EveryQuarantineDatabaseGetsTheWholeDocument) {
  vtnotes::State().SetLists({"admin@example.com"}, {"q1.nsf", "q2.nsf"});
  for (const char* name : {"q1.nsf", "q2.nsf"}) EXPECT_EQ(NSFDbClose(MakeDatabase(name)), NOERROR);
  const std::string before = NoteState(db_, id_);
  Answer("0.bdy", "cleaned\r\n");
  Answer("0.hd0", "Body: ScanDatabase\\0.bdy\r\nSubject: infected\r\nTo: a@x,b@y\r\n");
  Answer("Forward.txt", "Test.Virus\r\n");
  ASSERT_EQ(ApplyResult(run_, note_, record_, &delete_), 0);
  EXPECT_FALSE(run_.changed);  // a copy alone leaves the document as it is
  for (const char* name : {"q1.nsf", "q2.nsf"}) {
    DBHANDLE db = NULLHANDLE;
    ASSERT_EQ(NSFDbOpen(name, &db), NOERROR);
    const std::vector<NOTEID> copies = DocumentsOf(db);
    ASSERT_EQ(copies.size(), 1u) << name;
    EXPECT_EQ(NoteState(db, copies[0]), before) << name;
    NOTEHANDLE copy = NULLHANDLE;
    ASSERT_EQ(NSFNoteOpen(db, copies[0], 0, &copy), NOERROR);
    char text[256] = {};
    NSFItemGetText(copy, "VirusName", text, sizeof text);
    EXPECT_STREQ(text, "Test.Virus");
    NSFItemGetText(copy, "X-Vantrel", text, sizeof text);
    EXPECT_STREQ(text, "test-installation");
    EXPECT_EQ(NSFNoteClose(copy), NOERROR);
    EXPECT_EQ(NSFDbClose(db), NOERROR);
  }
  EXPECT_TRUE(KeptOriginals().empty());
}

struct Verdict {
  const char* name;
  std::vector<std::pair<std::string, std::string>> files;  // besides 0.hd0 and Forward.txt
};

class VerdictWithoutCopyTest : public QuarantineCopyTest,
                               public ::testing::WithParamInterface<Verdict> {
 protected:
  void Give(const Verdict& verdict) {
    Answer("0.bdy", "replaced\r\n");
    Answer("0.hd0", "Body: ScanDatabase\\0.bdy\r\nSubject: infected\r\n");
    Answer("Forward.txt", "Test.Virus\r\n");
    for (const auto& [name, text] : verdict.files) Answer(name, text);
  }
};

// The quarantine database cannot be opened: the original is kept as a message file first,
// and only then does the verdict change the document.
TEST_P(VerdictWithoutCopyTest, TheOriginalIsKeptBeforeTheVerdict) {
  vtnotes::State().SetLists({"admin@example.com"}, {"missing/vtquaran.nsf"});
  Give(GetParam());
  ASSERT_EQ(ApplyResult(run_, note_, record_, &delete_), 0);
  EXPECT_TRUE(delete_ || run_.changed);
  const std::vector<std::string> kept = KeptOriginals();
  ASSERT_EQ(kept.size(), 1u);
  const std::string message = Read(Path("vantrel/Quarantine/" + kept[0]));
  // What the engine named goes with it, for the copy an import makes.
  EXPECT_NE(Read(Path("vantrel/Quarantine/" + kept[0] + ".info")).find("VirusName: Test.Virus"),
            std::string::npos);
  EXPECT_NE(message.find("bad.com"), std::string::npos);
  EXPECT_NE(message.find("good.doc"), std::string::npos);
  EXPECT_NE(Log().find("the original is kept in"), std::string::npos) << Log();
  EXPECT_EQ(run_.totals.kept_unchanged, 0);
}

// Neither a copy nor the original can be kept (the folder for it is a file): the document
// stays exactly as it was and the run counts it.
TEST_P(VerdictWithoutCopyTest, WithoutTheOriginalKeptTheDocumentStays) {
  vtnotes::State().SetLists({"admin@example.com"}, {"missing/vtquaran.nsf"});
  Write("vantrel/Quarantine", "not a folder");
  const std::string body = BodyText();
  const std::vector<std::string> attachments = AttachmentNames();
  Give(GetParam());
  EXPECT_NE(ApplyResult(run_, note_, record_, &delete_), 0);
  EXPECT_FALSE(delete_);
  EXPECT_FALSE(run_.changed);
  EXPECT_EQ(BodyText(), body);
  EXPECT_EQ(AttachmentNames(), attachments);
  EXPECT_EQ(run_.totals.kept_unchanged, 1);
  EXPECT_NE(Log().find("the document is left as it is"), std::string::npos) << Log();
}

INSTANTIATE_TEST_SUITE_P(
    Policies, VerdictWithoutCopyTest,
    ::testing::Values(Verdict{"Delete", {{"Delete.txt", ""}}},
                      Verdict{"Clean", {{"Scanover.txt", "Test.Virus\r\n"}}},
                      Verdict{"Neuter", {{"Delete.txt", "replaced\r\n"},
                                         {"Scanover.txt", "Test.Virus\r\n"}}}),
    [](const ::testing::TestParamInfo<Verdict>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vtsweep
