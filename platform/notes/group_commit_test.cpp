// group_commit_test.cpp - what a note update syncs, in what order, and how concurrent
// updates share their syncs.
#include "platform/notes/group_commit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/notes/notes_internal.h"
#include "platform/notes/notes_test_support.h"
#include "platform/notes/sync_test_support.h"

namespace {

FakeDisk* g_disk = nullptr;
thread_local int t_begun_at_commit = 0;

void RecordCommit() {
  t_begun_at_commit = g_disk->Begun();
  g_disk->Mark("commit");
}

class GroupCommitTest : public NotesRootTest {
 protected:
  void SetUp() override {
    NotesRootTest::SetUp();
    g_disk = &disk_;
    notes_internal::SetUpdateFaultHook(RecordCommit);
  }
  void TearDown() override {
    notes_internal::SetUpdateFaultHook(nullptr);
    g_disk = nullptr;
    NotesRootTest::TearDown();
  }

  // A new document with one text item, written with flags.
  static STATUS WriteNote(DBHANDLE db, WORD flags, NOTEID* id_r = nullptr) {
    NOTEHANDLE note = NULLHANDLE;
    STATUS status = NSFNoteCreate(db, &note);
    if (status != NOERROR) return status;
    status = NSFItemSetText(note, "Subject", "durable", MAXWORD);
    if (status == NOERROR) status = NSFNoteUpdate(note, flags);
    if (id_r != nullptr) NSFNoteGetInfo(note, _NOTE_ID, id_r);
    (void)NSFNoteClose(note);
    return status;
  }

  static size_t Position(const std::vector<std::string>& synced, const std::string& part) {
    for (size_t i = 0; i < synced.size(); ++i) {
      if (synced[i].find(part) != std::string::npos) return i;
    }
    return synced.size();
  }

  FakeDisk disk_;
};

// Threads that commit while a sync runs wait for the next one together; none returns before
// a sync that began after its own commit has ended.
TEST_F(GroupCommitTest, ConcurrentUpdatesShareSyncsAndReturnOnlyOnceSynced) {
  ASSERT_EQ(NSFDbCreate("mail.box", DBCLASS_NOTEFILE, FALSE), NOERROR);
  disk_.delay_ms = 20;
  constexpr int kThreads = 8;
  constexpr int kUpdates = 10;
  std::atomic<int> failures{0};
  std::atomic<int> unsynced_returns{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      if (NotesInitThread() != NOERROR) {
        ++failures;
        return;
      }
      DBHANDLE db = NULLHANDLE;
      if (NSFDbOpen("mail.box", &db) == NOERROR) {
        for (int i = 0; i < kUpdates; ++i) {
          if (WriteNote(db, 0) != NOERROR) ++failures;
          // Syncs of one database run one after another: the one that began first after
          // the commit must have ended.
          if (disk_.Ended() <= t_begun_at_commit) ++unsynced_returns;
        }
        (void)NSFDbClose(db);
      } else {
        ++failures;
      }
      NotesTermThread();
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(unsynced_returns.load(), 0);
  EXPECT_EQ(CountRows("mail.box", "notes"), kThreads * kUpdates);
  const int log_syncs = disk_.Count("mail.box-wal");
  EXPECT_GE(log_syncs, 1);
  EXPECT_LT(log_syncs, kThreads * kUpdates / 2) << "commits did not share their syncs";
}

// A refused sync fails every update it was to cover, with the note written; the next
// sync that succeeds serves the next update. UPDATE_NOCOMMIT syncs nothing.
TEST_F(GroupCommitTest, RefusedSyncIsReportedAndNoCommitSyncsNothing) {
  DBHANDLE db = CreateOpen("mail.box");
  disk_.fail = true;
  NOTEID id = 0;
  EXPECT_EQ(WriteNote(db, 0, &id), ERR_DB_NOT_SYNCED);
  EXPECT_NE(id, 0u) << "the note is written, only not known to be on the disk";
  STATUS deleted = NSFNoteDelete(db, id, 0);
  EXPECT_EQ(deleted, ERR_DB_NOT_SYNCED);
  disk_.fail = false;
  EXPECT_EQ(WriteNote(db, 0), NOERROR);
  const int syncs = disk_.Begun();
  ASSERT_EQ(WriteNote(db, UPDATE_NOCOMMIT, &id), NOERROR);
  ASSERT_EQ(NSFNoteDelete(db, id, UPDATE_NOCOMMIT), NOERROR);
  EXPECT_EQ(disk_.Begun(), syncs);
  EXPECT_EQ(VtDbSync(db), NOERROR);
  EXPECT_EQ(disk_.Begun(), syncs + 1);
  EXPECT_EQ(CountRows("mail.box", "notes"), 1);
  EXPECT_EQ(NSFDbClose(db), NOERROR);
}

// The content files a note names are synced, then their directory, before the note
// commits; content that no note has claimed yet is not synced at all. Many files at once
// are synced with one sync of the file system.
TEST_F(GroupCommitTest, ContentFilesAreSyncedBeforeTheNoteNamingThemCommits) {
  DBHANDLE db = CreateOpen("mail.box");
  const std::string source = root_ + "/part.bin";
  WriteFile(source, std::string(10000, 'a'));
  for (int files : {2, 6}) {
    SCOPED_TRACE(std::to_string(files) + " attachments");
    NOTEHANDLE note = NULLHANDLE;
    ASSERT_EQ(NSFNoteCreate(db, &note), NOERROR);
    for (int i = 0; i < files; ++i) {
      const std::string name = "part" + std::to_string(i) + ".bin";
      ASSERT_EQ(NSFNoteAttachFile(note, "$FILE", 5, source.c_str(), name.c_str(), 0), NOERROR);
    }
    const size_t before = disk_.Synced().size();
    ASSERT_EQ(NSFNoteUpdate(note, 0), NOERROR);
    EXPECT_EQ(NSFNoteClose(note), NOERROR);
    std::vector<std::string> synced = disk_.Synced();
    ASSERT_GT(synced.size(), before) << "attaching synced nothing; the update did";
    synced.erase(synced.begin(), synced.begin() + static_cast<long>(before));
    const size_t commit = Position(synced, "<commit>");
    ASSERT_LT(commit, synced.size());
    EXPECT_LT(commit, Position(synced, "mail.box-wal"));
    if (files <= 4) {
      const size_t directory = std::find(synced.begin(), synced.end(),
                                         DataPath("mail.box.content")) - synced.begin();
      EXPECT_LT(directory, commit);
      int files_synced = 0;
      for (size_t i = 0; i < commit; ++i) {
        if (synced[i].find("mail.box.content/") != std::string::npos) {
          ++files_synced;
          EXPECT_LT(i, directory) << "a file synced after its directory";
        }
      }
      EXPECT_EQ(files_synced, files);
    } else {
      EXPECT_LT(Position(synced, "syncfs"), commit);
    }
  }
  EXPECT_EQ(NSFDbClose(db), NOERROR);
}

// The content files of a deleted note stay until the deletion is synced: a crash before
// the sync brings the note back, and it must find its attachments.
TEST_F(GroupCommitTest, ContentFilesOfADeletedNoteWaitForTheDeletionsSync) {
  DBHANDLE db = CreateOpen("mail.box");
  const std::string source = root_ + "/part.bin";
  WriteFile(source, std::string(5000, 'b'));
  NOTEHANDLE note = NULLHANDLE;
  ASSERT_EQ(NSFNoteCreate(db, &note), NOERROR);
  ASSERT_EQ(NSFNoteAttachFile(note, "$FILE", 5, source.c_str(), "part.bin", 0), NOERROR);
  ASSERT_EQ(NSFNoteUpdate(note, 0), NOERROR);
  NOTEID id = 0;
  NSFNoteGetInfo(note, _NOTE_ID, &id);
  EXPECT_EQ(NSFNoteClose(note), NOERROR);
  auto files = [&] {
    size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(DataPath("mail.box.content"))) {
      count += entry.is_regular_file() ? 1 : 0;
    }
    return count;
  };
  ASSERT_EQ(files(), 1u);
  ASSERT_EQ(NSFNoteDelete(db, id, UPDATE_NOCOMMIT), NOERROR);
  EXPECT_EQ(files(), 1u);
  EXPECT_EQ(VtDbSync(db), NOERROR);
  EXPECT_EQ(files(), 0u);
  EXPECT_EQ(NSFDbClose(db), NOERROR);
}

// A test machine may turn syncing off in notes.ini: then nothing is synced.
TEST_F(GroupCommitTest, SyncingCanBeTurnedOffForATestMachine) {
  NotesTerm();
  WriteFile(root_ + "/domino/notes.ini", "[Notes]\nDirectory=" + root_ +
                                             "/domino/data\nNSF_SyncCommits=0\n");
  ASSERT_EQ(NotesInitExtended(0, nullptr), NOERROR);
  DBHANDLE db = CreateOpen("mail.box");
  EXPECT_EQ(WriteNote(db, 0), NOERROR);
  EXPECT_EQ(disk_.Count("-wal"), 0);
  EXPECT_EQ(NSFDbClose(db), NOERROR);
  NotesTerm();
  WriteFile(root_ + "/domino/notes.ini", "[Notes]\nDirectory=" + root_ + "/domino/data\n");
  ASSERT_EQ(NotesInitExtended(0, nullptr), NOERROR);
  DBHANDLE again = CreateOpen("mail2.box");
  EXPECT_EQ(WriteNote(again, 0), NOERROR);
  EXPECT_EQ(disk_.Count("mail2.box-wal"), 1);
  EXPECT_EQ(NSFDbClose(again), NOERROR);
}

}  // namespace
