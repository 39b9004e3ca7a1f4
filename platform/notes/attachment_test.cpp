// attachment_test.cpp - file attachments: attach, enumerate, extract, detach, copy between
// databases, and the files that vanish on either side.
#include <filesystem>

#include "platform/notes/notes_test_support.h"

namespace {

class AttachmentTest : public NotesRootTest {
 protected:
  void SetUp() override {
    NotesRootTest::SetUp();
    db_ = CreateOpen("mail.box");
    ASSERT_EQ(NSFNoteCreate(db_, &note_), NOERROR);
    // Bytes of every value, and more than one storage chunk.
    content_.resize(700 * 1024);
    for (size_t i = 0; i < content_.size(); ++i) content_[i] = static_cast<char>(i * 7 + i / 251);
    WriteFile(root_ + "/report.pdf", content_);
    WriteFile(root_ + "/notes.txt", "short text\n");
  }
  void TearDown() override {
    EXPECT_EQ(NSFNoteClose(note_), NOERROR);
    EXPECT_EQ(NSFDbClose(db_), NOERROR);
    // Content of attachments never saved is gone once its note is closed.
    if (!HasFailure()) {
      EXPECT_EQ(CountRows("mail.box", "objects"), expected_objects_);
      EXPECT_EQ(ContentFiles("mail.box"), expected_objects_);
    }
    NotesRootTest::TearDown();
  }
  NOTEID Save(NOTEHANDLE note) {
    EXPECT_EQ(NSFNoteUpdate(note, 0), NOERROR);
    NOTEID id = 0;
    NSFNoteGetInfo(note, _NOTE_ID, &id);
    return id;
  }
  NOTEHANDLE Reopen(DBHANDLE db, NOTEID id) {
    NOTEHANDLE note = NULLHANDLE;
    EXPECT_EQ(NSFNoteOpen(db, id, 0, &note), NOERROR);
    return note;
  }
  // Attachment bytes live in files beside the database, one per content row.
  int ContentFiles(const std::string& relative) const {
    std::error_code ignored;
    int count = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator(DataPath(relative) + ".content", ignored)) {
      (void)entry;
      ++count;
    }
    return count;
  }
  DBHANDLE db_ = NULLHANDLE;
  NOTEHANDLE note_ = NULLHANDLE;
  std::string content_;
  int expected_objects_ = 0;
};

TEST_F(AttachmentTest, AttachedFilesComeBackByNumberUnderTheirDisplayNames) {
  std::string pdf = root_ + "/report.pdf";
  std::string txt = root_ + "/notes.txt";
  ASSERT_EQ(NSFNoteAttachFile(note_, "$FILE", 5, pdf.c_str(), "Quarterly Report.pdf", 0), NOERROR);
  ASSERT_EQ(NSFNoteAttachFile(note_, "$FILE", 5, txt.c_str(), nullptr, 0), NOERROR);
  NOTEID id = Save(note_);
  NOTEHANDLE note = Reopen(db_, id);

  char name[MAXPATH];
  DWORD size = 0;
  BLOCKID item;
  ASSERT_TRUE(MailGetMessageAttachmentInfo(note, 0, &item, name, &size, nullptr, nullptr,
                                           nullptr, nullptr));
  EXPECT_STREQ(name, "Quarterly Report.pdf");
  EXPECT_EQ(size, content_.size());
  std::string out = root_ + "/0.ATT";
  ASSERT_EQ(MailExtractMessageAttachment(note, item, out.c_str()), NOERROR);
  EXPECT_TRUE(ReadFile(out) == content_);
  ASSERT_TRUE(MailGetMessageAttachmentInfo(note, 1, &item, name, &size, nullptr, nullptr,
                                           nullptr, nullptr));
  EXPECT_STREQ(name, "notes.txt");
  expected_objects_ = 2;
  EXPECT_FALSE(MailGetMessageAttachmentInfo(note, 2, &item, name, &size, nullptr, nullptr,
                                            nullptr, nullptr));
  // The value layout a scan routine reads the file name from.
  BLOCKID value;
  ASSERT_EQ(NSFItemInfo(note, "$FILE", 5, nullptr, nullptr, &value, nullptr), NOERROR);
  void* at = OSLockBlock(char, value) + 2;
  FILEOBJECT object;
  ODSReadMemory(&at, _FILEOBJECT, &object, 1);
  EXPECT_EQ(std::string(static_cast<char*>(at), object.FileNameLength), "Quarterly Report.pdf");
  EXPECT_EQ(NSFNoteClose(note), NOERROR);
}

TEST_F(AttachmentTest, DetachingEveryAttachmentRemovesTheContentWithTheUpdate) {
  std::string pdf = root_ + "/report.pdf";
  ASSERT_EQ(NSFNoteAttachFile(note_, "$FILE", 5, pdf.c_str(), "a.pdf", 0), NOERROR);
  ASSERT_EQ(NSFNoteAttachFile(note_, "$FILE", 5, pdf.c_str(), "b.pdf", 0), NOERROR);
  NOTEID id = Save(note_);
  NOTEHANDLE note = Reopen(db_, id);
  BLOCKID item;
  while (MailGetMessageAttachmentInfo(note, 0, &item, nullptr, nullptr, nullptr, nullptr,
                                      nullptr, nullptr)) {
    ASSERT_EQ(NSFNoteDetachFile(note, item), NOERROR);
  }
  // Attach a fresh one and drop it again before any update: nothing of it may stay.
  ASSERT_EQ(NSFNoteAttachFile(note, "$FILE", 5, pdf.c_str(), "c.pdf", 0), NOERROR);
  ASSERT_TRUE(MailGetMessageAttachmentInfo(note, 0, &item, nullptr, nullptr, nullptr, nullptr,
                                           nullptr, nullptr));
  ASSERT_EQ(NSFNoteDetachFile(note, item), NOERROR);
  ASSERT_EQ(NSFNoteUpdate(note, 0), NOERROR);
  ASSERT_EQ(NSFNoteClose(note), NOERROR);
  note = Reopen(db_, id);
  EXPECT_FALSE(MailGetMessageAttachmentInfo(note, 0, &item, nullptr, nullptr, nullptr, nullptr,
                                            nullptr, nullptr));
  EXPECT_EQ(NSFNoteClose(note), NOERROR);
  EXPECT_EQ(CountRows("mail.box", "objects"), 0);
  EXPECT_EQ(ContentFiles("mail.box"), 0);
}

TEST_F(AttachmentTest, DeletingANoteOrItsDatabaseRemovesTheContentFiles) {
  std::string pdf = root_ + "/report.pdf";
  ASSERT_EQ(NSFNoteAttachFile(note_, "$FILE", 5, pdf.c_str(), "a.pdf", 0), NOERROR);
  NOTEID id = Save(note_);
  DBHANDLE other = CreateOpen("other.nsf");
  NOTEHANDLE copy = NULLHANDLE;
  ASSERT_EQ(NSFNoteCopy(note_, &copy), NOERROR);
  NSFNoteSetInfo(copy, _NOTE_DB, &other);
  Save(copy);
  ASSERT_EQ(NSFNoteClose(copy), NOERROR);
  EXPECT_EQ(ContentFiles("other.nsf"), 1);
  ASSERT_EQ(NSFNoteDelete(db_, id, UPDATE_FORCE), NOERROR);
  EXPECT_EQ(ContentFiles("mail.box"), 0);
  EXPECT_EQ(NSFDbClose(other), NOERROR);
  ASSERT_EQ(NSFDbDelete("other.nsf"), NOERROR);
  EXPECT_FALSE(std::filesystem::exists(DataPath("other.nsf.content")));
}

TEST_F(AttachmentTest, LeftoverContentFilesAreNeverWrittenThroughAndAreSweptAtOpen) {
  std::string pdf = root_ + "/report.pdf";
  std::string txt = root_ + "/notes.txt";
  ASSERT_EQ(NSFNoteAttachFile(note_, "$FILE", 5, pdf.c_str(), "a.pdf", 0), NOERROR);
  Save(note_);
  expected_objects_ = 1;
  // A copier killed before its commit left a link to mail.box's bytes under the id that
  // other.nsf hands out next.
  DBHANDLE other = CreateOpen("other.nsf");
  std::string other_dir = DataPath("other.nsf.content");
  std::filesystem::create_directories(other_dir);
  std::filesystem::create_hard_link(DataPath("mail.box.content/1"), other_dir + "/1");
  NOTEHANDLE note = NULLHANDLE;
  ASSERT_EQ(NSFNoteCreate(other, &note), NOERROR);
  ASSERT_EQ(NSFNoteAttachFile(note, "$FILE", 5, txt.c_str(), "n.txt", 0), NOERROR);
  NOTEID other_id = Save(note);
  ASSERT_EQ(NSFNoteClose(note), NOERROR);
  BLOCKID item;
  ASSERT_TRUE(MailGetMessageAttachmentInfo(note_, 0, &item, nullptr, nullptr, nullptr, nullptr,
                                           nullptr, nullptr));
  std::string out = root_ + "/a.out";
  ASSERT_EQ(NSFNoteExtractFile(note_, item, out.c_str(), nullptr), NOERROR);
  EXPECT_TRUE(ReadFile(out) == content_);

  // A process killed between a delete's commit and the unlink left a file no row names; a
  // file above the last id handed out is a live writer's while one holds the database, and
  // a dead writer's once none does.
  ASSERT_EQ(NSFNoteDelete(other, other_id, UPDATE_FORCE), NOERROR);
  WriteFile(other_dir + "/1", "orphan");
  WriteFile(other_dir + "/7", "in flight");
  EXPECT_EQ(NSFDbClose(other), NOERROR);
  sqlite3* writer = nullptr;
  ASSERT_EQ(sqlite3_open(DataPath("other.nsf").c_str(), &writer), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(writer, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  ASSERT_EQ(NSFDbOpen("other.nsf", &other), NOERROR);
  EXPECT_FALSE(std::filesystem::exists(other_dir + "/1"));
  EXPECT_TRUE(std::filesystem::exists(other_dir + "/7"));
  EXPECT_EQ(NSFDbClose(other), NOERROR);
  sqlite3_exec(writer, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(writer);
  ASSERT_EQ(NSFDbOpen("other.nsf", &other), NOERROR);
  EXPECT_FALSE(std::filesystem::exists(other_dir + "/7"));
  EXPECT_EQ(NSFDbClose(other), NOERROR);
}

TEST_F(AttachmentTest, ContentKeptInsideAnOlderDatabaseFileIsStillReadCopiedAndDeleted) {
  std::string pdf = root_ + "/report.pdf";
  ASSERT_EQ(NSFNoteAttachFile(note_, "$FILE", 5, pdf.c_str(), "a.pdf", 0), NOERROR);
  NOTEID id = Save(note_);
  // The layout of files written before content moved beside the database: the bytes in
  // object_chunks, in blocks, and no content file.
  {
    sqlite3* sql = nullptr;
    ASSERT_EQ(sqlite3_open(DataPath("mail.box").c_str(), &sql), SQLITE_OK);
    sqlite3_stmt* insert = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(sql, "INSERT INTO object_chunks VALUES(1, ?1, ?2)", -1,
                                 &insert, nullptr),
              SQLITE_OK);
    constexpr size_t kBlock = 256 * 1024;
    for (size_t at = 0, seq = 0; at < content_.size(); at += kBlock, ++seq) {
      size_t size = std::min(kBlock, content_.size() - at);
      sqlite3_bind_int64(insert, 1, static_cast<sqlite3_int64>(seq));
      sqlite3_bind_blob(insert, 2, content_.data() + at, static_cast<int>(size), SQLITE_STATIC);
      ASSERT_EQ(sqlite3_step(insert), SQLITE_DONE);
      sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_close(sql);
    ASSERT_TRUE(std::filesystem::remove(DataPath("mail.box.content/1")));
  }
  NOTEHANDLE note = Reopen(db_, id);
  BLOCKID item;
  ASSERT_TRUE(MailGetMessageAttachmentInfo(note, 0, &item, nullptr, nullptr, nullptr, nullptr,
                                           nullptr, nullptr));
  std::string out = root_ + "/old.pdf";
  ASSERT_EQ(NSFNoteExtractFile(note, item, out.c_str(), nullptr), NOERROR);
  EXPECT_TRUE(ReadFile(out) == content_);
  DBHANDLE other = CreateOpen("other.nsf");
  NOTEHANDLE copy = NULLHANDLE;
  ASSERT_EQ(NSFNoteCopy(note, &copy), NOERROR);
  NSFNoteSetInfo(copy, _NOTE_DB, &other);
  NOTEID copy_id = Save(copy);
  ASSERT_EQ(NSFNoteClose(copy), NOERROR);
  EXPECT_EQ(NSFNoteClose(note), NOERROR);
  ASSERT_EQ(NSFNoteDelete(db_, id, UPDATE_FORCE), NOERROR);
  EXPECT_EQ(CountRows("mail.box", "object_chunks"), 0);
  copy = Reopen(other, copy_id);
  ASSERT_TRUE(MailGetMessageAttachmentInfo(copy, 0, &item, nullptr, nullptr, nullptr, nullptr,
                                           nullptr, nullptr));
  std::string copied = root_ + "/copied.pdf";
  ASSERT_EQ(NSFNoteExtractFile(copy, item, copied.c_str(), nullptr), NOERROR);
  EXPECT_TRUE(ReadFile(copied) == content_);
  EXPECT_EQ(NSFNoteClose(copy), NOERROR);
  EXPECT_EQ(NSFDbClose(other), NOERROR);
}

TEST_F(AttachmentTest, QuarantineCopyCarriesAttachmentsIntoAnotherDatabase) {
  std::string pdf = root_ + "/report.pdf";
  ASSERT_EQ(NSFNoteAttachFile(note_, "$FILE", 5, pdf.c_str(), "report.pdf", 0), NOERROR);
  NOTEID id = Save(note_);
  DBHANDLE quarantine = CreateOpen("vtquaran.nsf");
  NOTEHANDLE copy = NULLHANDLE;
  ASSERT_EQ(NSFNoteCreate(quarantine, &copy), NOERROR);
  BLOCKID item;
  ASSERT_EQ(NSFItemInfo(note_, "$FILE", 5, &item, nullptr, nullptr, nullptr), NOERROR);
  ASSERT_EQ(NSFItemCopy(copy, item), NOERROR);
  NOTEID copy_id = Save(copy);
  ASSERT_EQ(NSFNoteClose(copy), NOERROR);
  // The original goes away; the copy keeps its own content.
  ASSERT_EQ(NSFNoteDelete(db_, id, UPDATE_FORCE), NOERROR);
  copy = Reopen(quarantine, copy_id);
  ASSERT_TRUE(MailGetMessageAttachmentInfo(copy, 0, &item, nullptr, nullptr, nullptr, nullptr,
                                           nullptr, nullptr));
  std::string out = root_ + "/copy.pdf";
  ASSERT_EQ(NSFNoteExtractFile(copy, item, out.c_str(), nullptr), NOERROR);
  EXPECT_TRUE(ReadFile(out) == content_);
  EXPECT_EQ(NSFNoteClose(copy), NOERROR);
  EXPECT_EQ(NSFDbClose(quarantine), NOERROR);
}

TEST_F(AttachmentTest, DeliveredCopyOfANoteKeepsItsAttachmentsInTheTargetDatabase) {
  std::string pdf = root_ + "/report.pdf";
  ASSERT_EQ(NSFItemSetText(note_, "Subject", "with attachment", MAXWORD), NOERROR);
  ASSERT_EQ(NSFNoteAttachFile(note_, "$FILE", 5, pdf.c_str(), "report.pdf", 0), NOERROR);
  Save(note_);
  expected_objects_ = 1;
  DBHANDLE mailfile = CreateOpen("mail/alice.nsf");
  NOTEHANDLE copy = NULLHANDLE;
  ASSERT_EQ(NSFNoteCopy(note_, &copy), NOERROR);
  NSFNoteSetInfo(copy, _NOTE_DB, &mailfile);
  NOTEID copy_id = Save(copy);
  ASSERT_NE(copy_id, 0u);
  ASSERT_EQ(NSFNoteClose(copy), NOERROR);
  copy = Reopen(mailfile, copy_id);
  char subject[32];
  NSFItemGetText(copy, "Subject", subject, sizeof subject);
  EXPECT_STREQ(subject, "with attachment");
  BLOCKID item;
  ASSERT_TRUE(MailGetMessageAttachmentInfo(copy, 0, &item, nullptr, nullptr, nullptr, nullptr,
                                           nullptr, nullptr));
  std::string out = root_ + "/delivered.pdf";
  ASSERT_EQ(NSFNoteExtractFile(copy, item, out.c_str(), nullptr), NOERROR);
  EXPECT_TRUE(ReadFile(out) == content_);
  EXPECT_EQ(NSFNoteClose(copy), NOERROR);
  EXPECT_EQ(NSFDbClose(mailfile), NOERROR);
  EXPECT_EQ(CountRows("mail/alice.nsf", "objects"), 1);
}

TEST_F(AttachmentTest, VanishedFilesAndWrongItemsGiveClearStatus) {
  std::string missing = root_ + "/gone.bin";
  STATUS status = NSFNoteAttachFile(note_, "$FILE", 5, missing.c_str(), "gone.bin", 0);
  EXPECT_EQ(ERR(status), 259);
  EXPECT_FALSE(MailGetMessageAttachmentInfo(note_, 0, nullptr, nullptr, nullptr, nullptr,
                                            nullptr, nullptr, nullptr));
  ASSERT_EQ(NSFItemSetText(note_, "Subject", "x", MAXWORD), NOERROR);
  BLOCKID subject;
  ASSERT_EQ(NSFItemInfo(note_, "Subject", 7, &subject, nullptr, nullptr, nullptr), NOERROR);
  std::string out = root_ + "/out.bin";
  EXPECT_EQ(NSFNoteExtractFile(note_, subject, out.c_str(), nullptr), ERR_NOT_ATTACHMENT);
  EXPECT_EQ(NSFNoteDetachFile(note_, subject), ERR_NOT_ATTACHMENT);
  EXPECT_EQ(NSFNoteDetachFile(note_, BLOCKID{note_, 999}), ERR_ITEM_NOT_FOUND);
  // Extraction into a directory that does not exist fails and leaves nothing behind.
  std::string pdf = root_ + "/report.pdf";
  ASSERT_EQ(NSFNoteAttachFile(note_, "$FILE", 5, pdf.c_str(), "r.pdf", 0), NOERROR);
  BLOCKID item;
  ASSERT_TRUE(MailGetMessageAttachmentInfo(note_, 0, &item, nullptr, nullptr, nullptr, nullptr,
                                           nullptr, nullptr));
  std::string nowhere = root_ + "/no/such/dir/r.pdf";
  EXPECT_EQ(NSFNoteExtractFile(note_, item, nowhere.c_str(), nullptr), ERR_FILE_IO);
}

}  // namespace
