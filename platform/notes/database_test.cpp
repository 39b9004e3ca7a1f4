// database_test.cpp - databases: paths, information, bad files, handles, threads, and the
// guarantees between processes (two writers, a writer killed mid-update).
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "platform/notes/notes_internal.h"
#include "platform/notes/notes_test_support.h"

namespace {

class DatabaseTest : public NotesRootTest {};

TEST_F(DatabaseTest, OpensByRelativeAbsoluteAndNetworkPathWithOneCanonicalPath) {
  DBHANDLE created = CreateOpen("mail/alice.nsf");
  ASSERT_EQ(NSFDbClose(created), NOERROR);
  char network[MAXPATH];
  ASSERT_EQ(OSPathNetConstruct(nullptr, "Mail1/Acme", "mail\\alice.nsf", network), NOERROR);
  EXPECT_STREQ(network, "Mail1/Acme!!mail\\alice.nsf");
  std::string absolute = DataPath("mail/alice.nsf");
  for (const std::string& path : std::vector<std::string>{
           "mail/alice.nsf", absolute, network, "CN=Mail1/O=Acme!!mail/alice.nsf"}) {
    DBHANDLE db = NULLHANDLE;
    ASSERT_EQ(NSFDbOpen(path.c_str(), &db), NOERROR) << path;
    char canonical[MAXPATH];
    char expanded[MAXPATH];
    ASSERT_EQ(NSFDbPathGet(db, canonical, expanded), NOERROR);
    EXPECT_STREQ(canonical, "mail/alice.nsf") << path;
    EXPECT_EQ(expanded, absolute) << path;
    EXPECT_EQ(NSFDbClose(db), NOERROR);
  }
  DBHANDLE db = NULLHANDLE;
  EXPECT_EQ(NSFDbOpen("Other/Acme!!mail/alice.nsf", &db), ERR_SERVER_UNREACHABLE);
}

TEST_F(DatabaseTest, MissingFileIsStatus259AndCreateRefusesToReplace) {
  DBHANDLE db = NULLHANDLE;
  STATUS status = NSFDbOpen("mail2.box", &db);
  EXPECT_EQ(ERR(status), 259);
  EXPECT_EQ(StatusText(status), "File does not exist");
  EXPECT_EQ(db, NULLHANDLE);
  ASSERT_EQ(NSFDbCreate("mail2.box", DBCLASS_NOTEFILE, FALSE), NOERROR);
  EXPECT_EQ(NSFDbCreate("mail2.box", DBCLASS_NOTEFILE, FALSE), ERR_EXISTS);
  EXPECT_EQ(NSFDbOpen("mail2.box", &db), NOERROR);
  EXPECT_EQ(NSFDbClose(db), NOERROR);
}

TEST_F(DatabaseTest, InformationCarriesTitleAndDesignClassInField3) {
  ASSERT_EQ(VtDbCreateWithInfo("mail/bob.nsf", "Bob's mail", "StdR6Mail/Acme", FALSE), NOERROR);
  DBHANDLE db = NULLHANDLE;
  ASSERT_EQ(NSFDbOpen("mail/bob.nsf", &db), NOERROR);
  char info[NSF_INFO_SIZE];
  ASSERT_EQ(NSFDbInfoGet(db, info), NOERROR);
  char field[NSF_INFO_SIZE];
  NSFDbInfoParse(info, INFOPARSE_TITLE, field, sizeof field);
  EXPECT_STREQ(field, "Bob's mail");
  NSFDbInfoParse(info, 3, field, sizeof field);
  EXPECT_STREQ(field, "StdR6Mail/Acme");
  NSFDbInfoParse(info, 3, field, 5);  // cut to the buffer
  EXPECT_STREQ(field, "StdR");
  EXPECT_EQ(NSFDbClose(db), NOERROR);
}

TEST_F(DatabaseTest, FilesThatAreNotDatabasesFailWithClearStatus) {
  WriteFile(DataPath("junk.nsf"), "this is only text, not a database at all............");
  WriteFile(DataPath("empty.nsf"), "");
  DBHANDLE db = NULLHANDLE;
  STATUS status = NSFDbOpen("junk.nsf", &db);
  EXPECT_EQ(status, ERR_NOT_DATABASE);
  EXPECT_EQ(StatusText(status), "File is not a database");
  EXPECT_EQ(NSFDbOpen("empty.nsf", &db), ERR_NOT_DATABASE);
  std::filesystem::create_directories(DataPath("folder.nsf"));
  EXPECT_EQ(NSFDbOpen("folder.nsf", &db), ERR_NOT_DATABASE);
  EXPECT_EQ(db, NULLHANDLE);
}

TEST_F(DatabaseTest, DamagedDatabaseGivesAStatusNotACrash) {
  DBHANDLE db = CreateOpen("damaged.nsf");
  NOTEID id = 0;
  for (int i = 0; i < 50; ++i) {
    NOTEHANDLE note = NULLHANDLE;
    ASSERT_EQ(NSFNoteCreate(db, &note), NOERROR);
    ASSERT_EQ(NSFItemSetText(note, "Body", std::string(2000, 'a' + i % 26).c_str(), MAXWORD),
              NOERROR);
    ASSERT_EQ(NSFNoteUpdate(note, 0), NOERROR);
    NSFNoteGetInfo(note, _NOTE_ID, &id);
    ASSERT_EQ(NSFNoteClose(note), NOERROR);
  }
  ASSERT_EQ(NSFDbClose(db), NOERROR);
  // Overwrite everything after the first page with noise.
  std::string file = DataPath("damaged.nsf");
  std::string bytes = ReadFile(file);
  ASSERT_GT(bytes.size(), 8192u);
  for (size_t i = 4096; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 31 + 7);
  WriteFile(file, bytes);
  STATUS status = NSFDbOpen("damaged.nsf", &db);
  if (status == NOERROR) {
    NOTEHANDLE note = NULLHANDLE;
    status = NSFNoteOpen(db, id, 0, &note);
    if (status == NOERROR) status = NSFNoteClose(note);
    EXPECT_EQ(NSFDbClose(db), NOERROR);
  }
  EXPECT_TRUE(status == ERR_DB_DAMAGED || status == ERR_NOT_DATABASE) << StatusText(status);
}

TEST_F(DatabaseTest, StaleAndForeignHandlesAreRefused) {
  DBHANDLE db = CreateOpen("a.nsf");
  NOTEHANDLE note = NULLHANDLE;
  ASSERT_EQ(NSFNoteCreate(db, &note), NOERROR);
  // A database handle where a note is expected, and the other way round.
  STATUS status = NSFItemSetText(db, "Form", "Memo", MAXWORD);
  EXPECT_EQ(status, ERR_HANDLE_KIND);
  EXPECT_FALSE(StatusText(status).empty());
  NOTEHANDLE other = NULLHANDLE;
  EXPECT_EQ(NSFNoteCreate(note, &other), ERR_HANDLE_KIND);
  ASSERT_EQ(NSFNoteClose(note), NOERROR);
  EXPECT_EQ(NSFNoteClose(note), ERR_INVALID_HANDLE);
  EXPECT_EQ(NSFItemSetText(note, "Form", "Memo", MAXWORD), ERR_INVALID_HANDLE);
  EXPECT_EQ(NSFItemGetText(note, "Form", nullptr, 0), 0);
  EXPECT_EQ(NSFDbClose(0x7FFFFFFF), ERR_INVALID_HANDLE);
  ASSERT_EQ(NSFDbClose(db), NOERROR);
  EXPECT_EQ(NSFNoteCreate(db, &note), ERR_INVALID_HANDLE);
}

TEST_F(DatabaseTest, UnknownAndDeletedNoteIds) {
  DBHANDLE db = CreateOpen("a.nsf");
  NOTEHANDLE note = NULLHANDLE;
  STATUS status = NSFNoteOpen(db, 0x8F6, 0, &note);
  EXPECT_EQ(status, ERR_INVALID_NOTE);
  EXPECT_EQ(StatusText(status), "Invalid or nonexistent document");
  ASSERT_EQ(NSFNoteCreate(db, &note), NOERROR);
  ASSERT_EQ(NSFNoteUpdate(note, 0), NOERROR);
  NOTEID id = 0;
  NSFNoteGetInfo(note, _NOTE_ID, &id);
  ASSERT_NE(id, 0u);
  ASSERT_EQ(NSFNoteDelete(db, id, UPDATE_FORCE), NOERROR);
  EXPECT_EQ(NSFNoteDelete(db, id, UPDATE_FORCE), ERR_INVALID_NOTE);
  // The handle still open on the deleted note cannot bring it back.
  EXPECT_EQ(ERR(NSFNoteUpdate(note, 0)), 582);
  EXPECT_EQ(NSFNoteClose(note), NOERROR);
  // IDs are never reused.
  ASSERT_EQ(NSFNoteCreate(db, &note), NOERROR);
  ASSERT_EQ(NSFNoteUpdate(note, 0), NOERROR);
  NOTEID next = 0;
  NSFNoteGetInfo(note, _NOTE_ID, &next);
  EXPECT_GT(next, id);
  EXPECT_EQ(NSFNoteClose(note), NOERROR);
  EXPECT_EQ(NSFDbClose(db), NOERROR);
}

// Note IDs take the server's form (4k + 2) from 0x8F6 on, so that no mail ever lands on the
// low IDs the mail hooks treat as special; a database that numbered 1, 2, 3 keeps those IDs
// and goes on in the new form.
TEST_F(DatabaseTest, NoteIdsTakeTheServersFormAndOldIdsStay) {
  auto create = [](DBHANDLE db) {
    NOTEHANDLE note = NULLHANDLE;
    EXPECT_EQ(NSFNoteCreate(db, &note), NOERROR);
    EXPECT_EQ(NSFNoteUpdate(note, 0), NOERROR);
    NOTEID id = 0;
    NSFNoteGetInfo(note, _NOTE_ID, &id);
    EXPECT_EQ(NSFNoteClose(note), NOERROR);
    return id;
  };
  DBHANDLE db = CreateOpen("ids.nsf");
  std::vector<NOTEID> ids;
  for (int i = 0; i < 400; ++i) ids.push_back(create(db));
  EXPECT_EQ(ids.front(), 0x8F6u);
  for (size_t i = 1; i < ids.size(); ++i) EXPECT_EQ(ids[i], ids[i - 1] + 4);
  EXPECT_EQ(std::count(ids.begin(), ids.end(), 0x12Eu), 0);
  // The newest note deleted: its ID is not handed out again.
  ASSERT_EQ(NSFNoteDelete(db, ids.back(), UPDATE_FORCE), NOERROR);
  EXPECT_EQ(create(db), ids.back() + 4);
  EXPECT_EQ(NSFDbClose(db), NOERROR);

  // A database written when notes were numbered 1, 2, 3.
  db = CreateOpen("old.nsf");
  EXPECT_EQ(NSFDbClose(db), NOERROR);
  sqlite3* sql = nullptr;
  ASSERT_EQ(sqlite3_open(DataPath("old.nsf").c_str(), &sql), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(sql,
                         "INSERT INTO notes(id, class, created, modified) VALUES"
                         " (1, 1, 0, 0), (2, 1, 0, 0), (3, 1, 0, 0);"
                         "INSERT INTO items VALUES (3, 0, 'Form', 0, x'00054d656d6f');",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(sql);
  ASSERT_EQ(NSFDbOpen("old.nsf", &db), NOERROR);
  NOTEHANDLE note = NULLHANDLE;
  ASSERT_EQ(NSFNoteOpen(db, 3, 0, &note), NOERROR);
  char form[16] = "";
  EXPECT_EQ(NSFItemGetText(note, "Form", form, sizeof form), 4);
  EXPECT_STREQ(form, "Memo");
  ASSERT_EQ(NSFNoteUpdate(note, 0), NOERROR);
  NOTEID kept = 0;
  NSFNoteGetInfo(note, _NOTE_ID, &kept);
  EXPECT_EQ(kept, 3u);
  EXPECT_EQ(NSFNoteClose(note), NOERROR);
  EXPECT_EQ(create(db), 0x8F6u);
  EXPECT_EQ(NSFDbClose(db), NOERROR);
}

TEST_F(DatabaseTest, ThreadsShareOneHandleAndOpenTheirOwn) {
  DBHANDLE shared = CreateOpen("threads.nsf");
  constexpr int kThreads = 4;
  constexpr int kNotes = 15;
  std::vector<std::thread> workers;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&, t] {
      if (NotesInitThread() != NOERROR) {
        ++failures;
        return;
      }
      DBHANDLE own = NULLHANDLE;
      if (NSFDbOpen("threads.nsf", &own) != NOERROR) ++failures;
      for (int i = 0; i < kNotes; ++i) {
        NOTEHANDLE note = NULLHANDLE;
        DBHANDLE db = i % 2 == 0 ? shared : own;
        std::string text = std::to_string(t) + "-" + std::to_string(i);
        if (NSFNoteCreate(db, &note) != NOERROR ||
            NSFItemSetText(note, "Tag", text.c_str(), MAXWORD) != NOERROR ||
            NSFNoteUpdate(note, 0) != NOERROR || NSFNoteClose(note) != NOERROR) {
          ++failures;
        }
      }
      if (NSFDbClose(own) != NOERROR) ++failures;
      NotesTermThread();
    });
  }
  for (std::thread& worker : workers) worker.join();
  EXPECT_EQ(failures.load(), 0);
  int count = 0;
  auto counter = [](void* context, SEARCH_MATCH*, ITEM_TABLE*) -> STATUS {
    ++*static_cast<int*>(context);
    return NOERROR;
  };
  ASSERT_EQ(NSFSearch(shared, NULLHANDLE, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr, counter,
                      &count, nullptr),
            NOERROR);
  EXPECT_EQ(count, kThreads * kNotes);
  EXPECT_EQ(NSFDbClose(shared), NOERROR);
}

#ifdef VT_CHECKED
TEST_F(DatabaseTest, ThreadsMustInitialiseBeforeCallingNotes) {
  DBHANDLE db = CreateOpen("a.nsf");
  STATUS without = NOERROR;
  STATUS with = NOERROR;
  std::thread worker([&] {
    NOTEHANDLE note = NULLHANDLE;
    without = NSFNoteCreate(db, &note);
    ASSERT_EQ(NotesInitThread(), NOERROR);
    with = NSFNoteCreate(db, &note);
    EXPECT_EQ(NSFNoteClose(note), NOERROR);
    NotesTermThread();
  });
  worker.join();
  EXPECT_EQ(without, ERR_NOT_INITIALIZED);
  EXPECT_NE(StatusText(without).find("NotesInitThread"), std::string::npos);
  EXPECT_EQ(with, NOERROR);
  EXPECT_EQ(NSFDbClose(db), NOERROR);
}
#endif

TEST_F(DatabaseTest, StatusTextsExistForEveryCodeAndMaskFlagBits) {
  for (STATUS code : {ERR_NOEXIST, ERR_ITEM_NOT_FOUND, ERR_NOTE_DELETED, ERR_INVALID_HANDLE,
                      ERR_NOT_DATABASE, ERR_DB_DAMAGED, ERR_ITEM_NAME_TOO_LONG,
                      ERR_OBJECT_MISSING, ERR_FORMULA_SYNTAX, ERR_MAIL_NO_BODY, ERR_NO_ROOT}) {
    EXPECT_FALSE(StatusText(code).empty()) << code;
  }
  EXPECT_EQ(StatusText(static_cast<STATUS>(ERR_ITEM_NOT_FOUND | STS_DISPLAYED)), "Item not found");
  EXPECT_FALSE(StatusText(STR_VERSION_TEXT).empty());
  char small[5];
  EXPECT_EQ(OSLoadString(NULLHANDLE, ERR_NOEXIST, small, sizeof small), 4);
  EXPECT_STREQ(small, "File");
  EXPECT_EQ(OSLoadString(NULLHANDLE, 0x3FF0, small, sizeof small), 0);
}

TEST_F(DatabaseTest, NotesIniVariablesAreReadWrittenAndRemoved) {
  char value[MAXENVVALUE];
  EXPECT_FALSE(OSGetEnvironmentString("MAILSERVER", value, sizeof value));
  EXPECT_EQ(OSGetEnvironmentLong("MAIL_ENABLE_MAILBOX_COMPATIBILITY"), 0);
  OSSetEnvironmentVariable("MAILSERVER", "CN=Hub/O=Acme");
  OSSetEnvironmentInt("MAIL_ENABLE_MAILBOX_COMPATIBILITY", 1);
  ASSERT_TRUE(OSGetEnvironmentString("mailserver", value, sizeof value));
  EXPECT_STREQ(value, "CN=Hub/O=Acme");
  EXPECT_EQ(OSGetEnvironmentLong("MAIL_ENABLE_MAILBOX_COMPATIBILITY"), 1);
  OSSetEnvironmentVariable("MAILSERVER", nullptr);
  EXPECT_FALSE(OSGetEnvironmentString("MAILSERVER", value, sizeof value));
  // Lines the stand-in did not write survive a rewrite.
  EXPECT_NE(ReadFile(root_ + "/domino/notes.ini").find("ServerName=CN=Mail1/O=Acme"),
            std::string::npos);
  char data_dir[MAXPATH];
  OSGetDataDirectory(data_dir);
  EXPECT_EQ(std::string(data_dir), root_ + "/domino/data");
}

// Runs body in a child process with its own runtime and returns its exit status.
template <typename Body>
int InChild(const std::string& root, Body body) {
  pid_t pid = ::fork();
  if (pid == 0) {
    vtplatform::SetSystemRoot(root);
    NotesTerm();  // the parent's runtime state came along with fork
    if (NotesInitExtended(0, nullptr) != NOERROR) ::_exit(90);
    int code = body();
    ::_exit(code);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

TEST_F(DatabaseTest, TwoProcessesWritingOneDatabaseLoseNothing) {
  DBHANDLE db = CreateOpen("shared.nsf");
  constexpr int kPerProcess = 40;
  auto writer = [](const char* tag) {
    return [tag]() {
      DBHANDLE handle = NULLHANDLE;
      if (NSFDbOpen("shared.nsf", &handle) != NOERROR) return 1;
      for (int i = 0; i < kPerProcess; ++i) {
        NOTEHANDLE note = NULLHANDLE;
        if (NSFNoteCreate(handle, &note) != NOERROR) return 2;
        std::string text = std::string(tag) + std::to_string(i);
        if (NSFItemSetText(note, "Writer", text.c_str(), MAXWORD) != NOERROR) return 3;
        if (NSFNoteUpdate(note, 0) != NOERROR) return 4;
        if (NSFNoteClose(note) != NOERROR) return 5;
      }
      return NSFDbClose(handle) == NOERROR ? 0 : 6;
    };
  };
  pid_t first = ::fork();
  if (first == 0) {
    ::_exit(WEXITSTATUS(InChild(root_, writer("a"))));
  }
  int second_status = InChild(root_, writer("b"));
  int first_status = 0;
  ::waitpid(first, &first_status, 0);
  ASSERT_TRUE(WIFEXITED(first_status) && WEXITSTATUS(first_status) == 0) << first_status;
  ASSERT_TRUE(WIFEXITED(second_status) && WEXITSTATUS(second_status) == 0) << second_status;
  int count = 0;
  auto counter = [](void* context, SEARCH_MATCH*, ITEM_TABLE*) -> STATUS {
    ++*static_cast<int*>(context);
    return NOERROR;
  };
  ASSERT_EQ(NSFSearch(db, NULLHANDLE, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr, counter, &count,
                      nullptr),
            NOERROR);
  EXPECT_EQ(count, 2 * kPerProcess);
  EXPECT_EQ(NSFDbClose(db), NOERROR);
}

void KillSelf() { ::raise(SIGKILL); }

TEST_F(DatabaseTest, WriterKilledMidUpdateLeavesThePreviousState) {
  DBHANDLE db = CreateOpen("a.nsf");
  NOTEHANDLE note = NULLHANDLE;
  ASSERT_EQ(NSFNoteCreate(db, &note), NOERROR);
  ASSERT_EQ(NSFItemSetText(note, "Subject", "before", MAXWORD), NOERROR);
  ASSERT_EQ(NSFNoteUpdate(note, 0), NOERROR);
  NOTEID id = 0;
  NSFNoteGetInfo(note, _NOTE_ID, &id);
  ASSERT_EQ(NSFNoteClose(note), NOERROR);
  std::string file = DataPath("a.nsf");
  WriteFile(root_ + "/attachment.bin", std::string(600 * 1024, 'x'));

  int status = InChild(root_, [id, this]() {
    DBHANDLE handle = NULLHANDLE;
    NOTEHANDLE open = NULLHANDLE;
    if (NSFDbOpen("a.nsf", &handle) != NOERROR) return 1;
    if (NSFNoteOpen(handle, id, 0, &open) != NOERROR) return 2;
    if (NSFItemSetText(open, "Subject", "after", MAXWORD) != NOERROR) return 3;
    std::string attachment = root_ + "/attachment.bin";
    if (NSFNoteAttachFile(open, "$FILE", 5, attachment.c_str(), "a.bin", 0) != NOERROR) return 4;
    notes_internal::SetUpdateFaultHook(KillSelf);
    (void)NSFNoteUpdate(open, 0);
    return 5;
  });
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;

  ASSERT_EQ(NSFNoteOpen(db, id, 0, &note), NOERROR);
  char subject[32];
  NSFItemGetText(note, "Subject", subject, sizeof subject);
  EXPECT_STREQ(subject, "before");
  EXPECT_FALSE(MailGetMessageAttachmentInfo(note, 0, nullptr, nullptr, nullptr, nullptr,
                                            nullptr, nullptr, nullptr));
  // The database takes the next write, and the dead writer's content is cleaned away.
  ASSERT_EQ(NSFItemSetText(note, "Subject", "later", MAXWORD), NOERROR);
  EXPECT_EQ(NSFNoteUpdate(note, 0), NOERROR);
  EXPECT_EQ(NSFNoteClose(note), NOERROR);
  EXPECT_EQ(NSFDbClose(db), NOERROR);
  DBHANDLE reopened = NULLHANDLE;
  ASSERT_EQ(NSFDbOpen("a.nsf", &reopened), NOERROR);
  EXPECT_EQ(CountRows("a.nsf", "objects"), 0);
  std::error_code ignored;
  EXPECT_TRUE(std::filesystem::is_empty(file + ".content", ignored)) << file;
  EXPECT_EQ(NSFDbClose(reopened), NOERROR);
}

}  // namespace
