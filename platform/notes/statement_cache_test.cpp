// Reused prepared statements and the header-only listing of a search without a formula.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/notes/notes_internal.h"
#include "platform/notes/notes_test_support.h"

namespace {

class StatementCacheTest : public NotesRootTest {
 protected:
  static NOTEID Put(DBHANDLE db, const char* subject) {
    NOTEHANDLE note = NULLHANDLE;
    EXPECT_EQ(NSFNoteCreate(db, &note), NOERROR);
    EXPECT_EQ(NSFItemSetText(note, "Subject", subject, MAXWORD), NOERROR);
    EXPECT_EQ(NSFNoteUpdate(note, 0), NOERROR);
    NOTEID id = 0;
    NSFNoteGetInfo(note, _NOTE_ID, &id);
    EXPECT_EQ(NSFNoteClose(note), NOERROR);
    return id;
  }

  static std::string Subject(DBHANDLE db, NOTEID id) {
    NOTEHANDLE note = NULLHANDLE;
    if (NSFNoteOpen(db, id, 0, &note) != NOERROR) return "(not opened)";
    char text[128] = "";
    WORD length = NSFItemGetText(note, "Subject", text, sizeof text);
    (void)NSFNoteClose(note);
    return std::string(text, length);
  }

  static std::vector<NOTEID> ListAll(DBHANDLE db) {
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
};

// Statements kept from before another connection changed the schema still give right
// results after it, and a closed database's kept statements do not outlive it.
TEST_F(StatementCacheTest, KeptStatementsFollowSchemaChangesAndCloses) {
  DBHANDLE db = CreateOpen("a.nsf");
  NOTEID first = Put(db, "one");
  EXPECT_EQ(Subject(db, first), "one");
  notes_internal::DatabasePtr database;
  ASSERT_EQ(notes_internal::FindDatabase(db, &database), NOERROR);
  EXPECT_GT(database->statements.KeptForTest(), 0u);

  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(DataPath("a.nsf").c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other,
                         "DROP INDEX text_index_by_note;"
                         "CREATE INDEX text_index_by_note ON text_index(note_id, name);"
                         "ALTER TABLE notes ADD COLUMN spare INTEGER;",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(other);

  NOTEID second = Put(db, "two");
  EXPECT_EQ(Subject(db, first), "one");
  EXPECT_EQ(Subject(db, second), "two");
  EXPECT_EQ(ListAll(db), (std::vector<NOTEID>{first, second}));

  // A note handle keeps its database (and so its statements) alive after the close.
  NOTEHANDLE note = NULLHANDLE;
  ASSERT_EQ(NSFNoteOpen(db, second, 0, &note), NOERROR);
  database.reset();
  ASSERT_EQ(NSFDbClose(db), NOERROR);
  ASSERT_EQ(NSFItemSetText(note, "Subject", "three", MAXWORD), NOERROR);
  EXPECT_EQ(NSFNoteUpdate(note, 0), NOERROR);
  EXPECT_EQ(NSFNoteClose(note), NOERROR);

  ASSERT_EQ(NSFDbOpen("a.nsf", &db), NOERROR);
  EXPECT_EQ(Subject(db, second), "three");
  EXPECT_EQ(NSFDbClose(db), NOERROR);
}

// Threads sharing one handle read and write through the same kept statements at once; none
// may see another's bindings or a statement left mid-way.
TEST_F(StatementCacheTest, ThreadsSharingAHandleGetTheirOwnNotesBack) {
  DBHANDLE db = CreateOpen("a.nsf");
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      ASSERT_EQ(NotesInitThread(), NOERROR);
      for (int i = 0; i < 40; ++i) {
        const std::string subject = std::to_string(t) + "-" + std::to_string(i);
        NOTEID id = Put(db, subject.c_str());
        if (Subject(db, id) != subject) ++wrong;
      }
      NotesTermThread();
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(ListAll(db).size(), 160u);
  EXPECT_EQ(NSFDbClose(db), NOERROR);
}

// A search without a formula lists headers only; it must still report the right class and
// times, leave out other classes, and never miss a note committed before it began while
// another connection keeps writing.
TEST_F(StatementCacheTest, SearchWithoutFormulaMissesNoCommittedNote) {
  DBHANDLE db = CreateOpen("box.nsf");
  NOTEHANDLE form = NULLHANDLE;
  ASSERT_EQ(NSFNoteCreate(db, &form), NOERROR);
  WORD form_class = NOTE_CLASS_FORM;
  NSFNoteSetInfo(form, _NOTE_CLASS, &form_class);
  ASSERT_EQ(NSFNoteUpdate(form, 0), NOERROR);
  ASSERT_EQ(NSFNoteClose(form), NOERROR);
  NOTEID first = Put(db, "first");

  struct Seen {
    NOTEID id;
    WORD note_class;
    TIMEDATE created;
  };
  std::vector<Seen> seen;
  auto collect = [](void* context, SEARCH_MATCH* match, ITEM_TABLE*) -> STATUS {
    static_cast<std::vector<Seen>*>(context)->push_back(
        {match->ID.NoteID, match->NoteClass, match->ID.Note});
    return NOERROR;
  };
  ASSERT_EQ(NSFSearch(db, NULLHANDLE, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr, collect, &seen,
                      nullptr),
            NOERROR);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].id, first);
  EXPECT_EQ(seen[0].note_class, NOTE_CLASS_DOCUMENT);
  NOTEHANDLE note = NULLHANDLE;
  ASSERT_EQ(NSFNoteOpen(db, first, 0, &note), NOERROR);
  TIMEDATE created{};
  NSFNoteGetInfo(note, _NOTE_OID, &created);
  EXPECT_EQ(std::memcmp(&created, &seen[0].created, sizeof(TIMEDATE)), 0);
  ASSERT_EQ(NSFNoteClose(note), NOERROR);

  std::mutex mutex;
  std::vector<NOTEID> committed{first};
  std::atomic<bool> done{false};
  std::thread writer([&] {
    ASSERT_EQ(NotesInitThread(), NOERROR);
    DBHANDLE own = NULLHANDLE;
    ASSERT_EQ(NSFDbOpen("box.nsf", &own), NOERROR);
    for (int i = 0; i < 150; ++i) {
      NOTEID id = Put(own, "more");
      std::lock_guard<std::mutex> lock(mutex);
      committed.push_back(id);
    }
    (void)NSFDbClose(own);
    NotesTermThread();
    done = true;
  });
  int missed = 0;
  while (!done) {
    std::vector<NOTEID> before;
    {
      std::lock_guard<std::mutex> lock(mutex);
      before = committed;
    }
    std::vector<NOTEID> listed = ListAll(db);
    for (NOTEID id : before) {
      if (!std::binary_search(listed.begin(), listed.end(), id)) ++missed;
    }
  }
  writer.join();
  EXPECT_EQ(missed, 0);
  EXPECT_EQ(ListAll(db).size(), 151u);
  EXPECT_EQ(NSFDbClose(db), NOERROR);
}

}  // namespace
