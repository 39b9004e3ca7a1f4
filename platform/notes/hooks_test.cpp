// hooks_test.cpp - database hooks: a refused open, a changed copy, updates of new notes,
// deletions, hooks that write into the database they watch, and loading a hook library.
#include <algorithm>
#include <filesystem>

#include "platform/notes/notes_test_support.h"

namespace {

struct Seen {
  std::vector<NOTEID> update_ids;
  std::vector<WORD> update_flags;
  std::vector<std::string> deleted_subjects;
};
Seen* g_seen = nullptr;

STATUS OpenHook(DBHOOKVEC*, char*, void*, DBHANDLE db, NOTEID id, NOTEHANDLE note, WORD) {
  if (NSFItemIsPresent(note, "Refuse", 6)) return ERR_NOTE_DELETED;
  // The opener's copy changes; the stored note does not.
  return NSFItemSetText(note, "Opened", "by hook", MAXWORD);
}

STATUS UpdateHook(DBHOOKVEC*, char*, void*, DBHANDLE db, NOTEID id, NOTEHANDLE note,
                  WORD* flags) {
  g_seen->update_ids.push_back(id);
  g_seen->update_flags.push_back(*flags);
  if (*flags & UPDATE_DELETED) {
    char subject[64];
    NSFItemGetText(note, "Subject", subject, sizeof subject);
    g_seen->deleted_subjects.push_back(subject);
    return NOERROR;
  }
  if (NSFItemIsPresent(note, "Fail", 4)) return 1;
  if (id != 0 || NSFItemIsPresent(note, "X-Vantrel", 9)) return NOERROR;
  // A new mail: mark it, and leave a warning mail in the same database.
  if (STATUS status = NSFItemSetText(note, "X-SizeRestriction", "DONE", MAXWORD)) return status;
  NOTEHANDLE warning = NULLHANDLE;
  if (STATUS status = NSFNoteCreate(db, &warning)) return status;
  (void)NSFItemSetText(warning, "X-Vantrel", "1234-5678", MAXWORD);
  (void)NSFItemSetText(warning, "Subject", "Warning", MAXWORD);
  STATUS status = NSFNoteUpdate(warning, 0);
  (void)NSFNoteClose(warning);
  return status;
}

class HooksTest : public NotesRootTest {
 protected:
  void SetUp() override {
    NotesRootTest::SetUp();
    g_seen = &seen_;
    db_ = CreateOpen("mail.box");
  }
  void TearDown() override {
    VtRemoveHooks();
    EXPECT_EQ(NSFDbClose(db_), NOERROR);
    g_seen = nullptr;
    NotesRootTest::TearDown();
  }
  void Install() {
    DBHOOKVEC vector{};
    vector.NoteOpen = OpenHook;
    vector.NoteUpdate = UpdateHook;
    ASSERT_NE(VtInstallHookVector(vector), nullptr);
  }
  NOTEID Store(const char* subject, const char* extra_item = nullptr) {
    NOTEHANDLE note = NULLHANDLE;
    EXPECT_EQ(NSFNoteCreate(db_, &note), NOERROR);
    EXPECT_EQ(NSFItemSetText(note, "Subject", subject, MAXWORD), NOERROR);
    if (extra_item != nullptr) {
      EXPECT_EQ(NSFItemSetText(note, extra_item, "1", MAXWORD), NOERROR);
    }
    EXPECT_EQ(NSFNoteUpdate(note, 0), NOERROR);
    NOTEID id = 0;
    NSFNoteGetInfo(note, _NOTE_ID, &id);
    EXPECT_EQ(NSFNoteClose(note), NOERROR);
    return id;
  }
  std::vector<std::string> Subjects() {
    std::vector<std::string> subjects;
    auto collect = [](void* context, SEARCH_MATCH* match, ITEM_TABLE*) -> STATUS {
      auto* self = static_cast<HooksTest*>(context);
      NOTEHANDLE note = NULLHANDLE;
      // Opening through NSFNoteOpen would run the hooks; the test only wants the stored text.
      VtRemoveHooks();
      STATUS status = NSFNoteOpen(self->db_, match->ID.NoteID, 0, &note);
      if (status != NOERROR) return status;
      char subject[64];
      NSFItemGetText(note, "Subject", subject, sizeof subject);
      self->subjects_.push_back(subject);
      return NSFNoteClose(note);
    };
    subjects_.clear();
    EXPECT_EQ(NSFSearch(db_, NULLHANDLE, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr, collect, this,
                        nullptr),
              NOERROR);
    subjects = subjects_;
    return subjects;
  }
  Seen seen_;
  DBHANDLE db_ = NULLHANDLE;
  std::vector<std::string> subjects_;
};

TEST_F(HooksTest, RefusedOpenFailsWithTheHooksStatusAndChangedCopyStaysInMemory) {
  NOTEID refused = Store("refuse me", "Refuse");
  NOTEID plain = Store("plain");
  Install();
  NOTEHANDLE note = NULLHANDLE;
  EXPECT_EQ(ERR(NSFNoteOpen(db_, refused, 0, &note)), 582);
  EXPECT_EQ(note, NULLHANDLE);
  ASSERT_EQ(NSFNoteOpen(db_, plain, 0, &note), NOERROR);
  char text[32];
  NSFItemGetText(note, "Opened", text, sizeof text);
  EXPECT_STREQ(text, "by hook");
  ASSERT_EQ(NSFNoteClose(note), NOERROR);
  VtRemoveHooks();
  ASSERT_EQ(NSFNoteOpen(db_, plain, 0, &note), NOERROR);
  EXPECT_FALSE(NSFItemIsPresent(note, "Opened", 6));
  EXPECT_EQ(NSFNoteClose(note), NOERROR);
}

TEST_F(HooksTest, UpdateHookSeesNewNotesAsZeroAndWritesIntoTheSameDatabase) {
  Install();
  NOTEID mail = Store("a new mail");
  // The hook's own warning note passed through the hook too, also as a new note.
  ASSERT_EQ(seen_.update_ids.size(), 2u);
  EXPECT_EQ(seen_.update_ids[0], 0u);
  EXPECT_EQ(seen_.update_ids[1], 0u);
  VtRemoveHooks();
  NOTEHANDLE note = NULLHANDLE;
  ASSERT_EQ(NSFNoteOpen(db_, mail, 0, &note), NOERROR);
  char text[32];
  NSFItemGetText(note, "X-SizeRestriction", text, sizeof text);
  EXPECT_STREQ(text, "DONE");
  EXPECT_EQ(NSFNoteClose(note), NOERROR);
  std::vector<std::string> subjects = Subjects();
  std::sort(subjects.begin(), subjects.end());
  EXPECT_EQ(subjects, (std::vector<std::string>{"Warning", "a new mail"}));
}

TEST_F(HooksTest, RefusedUpdateWritesNothing) {
  Install();
  NOTEHANDLE note = NULLHANDLE;
  ASSERT_EQ(NSFNoteCreate(db_, &note), NOERROR);
  ASSERT_EQ(NSFItemSetText(note, "Fail", "1", MAXWORD), NOERROR);
  EXPECT_EQ(NSFNoteUpdate(note, 0), 1);
  NOTEID id = 1;
  NSFNoteGetInfo(note, _NOTE_ID, &id);
  EXPECT_EQ(id, 0u);
  EXPECT_EQ(NSFNoteClose(note), NOERROR);
  EXPECT_TRUE(Subjects().empty());
}

TEST_F(HooksTest, DeletionIsAnUpdateWithTheDeletedBitAndTheNotesHandle) {
  NOTEID id = Store("going away");
  Install();
  seen_.update_ids.clear();
  ASSERT_EQ(NSFNoteDelete(db_, id, UPDATE_FORCE), NOERROR);
  ASSERT_EQ(seen_.update_ids.size(), 1u);
  EXPECT_EQ(seen_.update_ids[0], id);
  EXPECT_EQ(seen_.update_flags[0], UPDATE_DELETED | UPDATE_FORCE);
  EXPECT_EQ(seen_.deleted_subjects, (std::vector<std::string>{"going away"}));
}

TEST_F(HooksTest, LibrariesNamedInNotesIniAreLoadedAndTheirHooksRun) {
  // Tests run from <build>/tests; the library is in <build>/lib.
  std::string library = std::filesystem::read_symlink("/proc/self/exe")
                            .parent_path()
                            .parent_path()
                            .append("lib/libnotes_test_hook.so")
                            .string();
  ASSERT_TRUE(std::filesystem::exists(library)) << library;
  OSSetEnvironmentVariable("NSF_HOOKS", ("missing_hook, " + library).c_str());
  NOTEID refused = Store("refuse me", "Refuse");
  EXPECT_EQ(VtLoadHookLibraries(), ERR_HOOK_LOAD);  // the missing one; the other is loaded
  NOTEHANDLE note = NULLHANDLE;
  EXPECT_EQ(NSFNoteOpen(db_, refused, 0, &note), ERR_NOTE_DELETED);
}

}  // namespace
