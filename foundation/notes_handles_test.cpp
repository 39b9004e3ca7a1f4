// notes_handles_test.cpp - the owners release what they hold once, on every path.
#include "foundation/notes_handles.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "foundation/test_root.h"

namespace foundation {
namespace {

class NotesHandlesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.Write("domino/notes.ini", "[Notes]\nDirectory=" + root_.Path("domino/data") + "\n");
    std::filesystem::create_directories(root_.Path("domino/data"));
    ASSERT_EQ(NotesInitExtended(0, nullptr), NOERROR);
    ASSERT_EQ(NSFDbCreate("owned.nsf", DBCLASS_NOTEFILE, FALSE), NOERROR);
  }
  void TearDown() override { NotesTerm(); }

  testing::TestRoot root_;
};

TEST_F(NotesHandlesTest, EachOwnerReleasesItsHandleOnceWhenItGoes) {
  DBHANDLE db_seen = NULLHANDLE;
  NOTEHANDLE note_seen = NULLHANDLE;
  FORMULAHANDLE formula_seen = NULLHANDLE;
  {
    DbOwner db;
    ASSERT_EQ(NSFDbOpen("owned.nsf", db.out()), NOERROR);
    NoteOwner note;
    ASSERT_EQ(NSFNoteCreate(db.get(), note.out()), NOERROR);
    MemoryOwner formula;
    WORD length = 0;
    STATUS compile_error = NOERROR;
    ASSERT_EQ(NSFFormulaCompile(nullptr, 0, "@DocLength", MAXWORD, formula.out(), &length,
                                &compile_error, nullptr, nullptr, nullptr, nullptr),
              NOERROR);
    db_seen = db.get();
    note_seen = note.get();
    formula_seen = formula.get();
    // An early Close releases now and leaves nothing for the destructor.
    EXPECT_EQ(note.Close(), NOERROR);
    EXPECT_EQ(note.get(), NULLHANDLE);
    EXPECT_EQ(note.Close(), NOERROR);
  }
  // Released handles are gone: releasing them again fails.
  EXPECT_NE(NSFNoteClose(note_seen), NOERROR);
  EXPECT_NE(OSMemFree(formula_seen), NOERROR);
  EXPECT_NE(NSFDbClose(db_seen), NOERROR);
}

}  // namespace
}  // namespace foundation
