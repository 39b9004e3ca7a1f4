// database.cpp - the storage of the Notes stand-in: one SQLite file per database.
//
// Layout of a database file:
//   dbinfo(key, value)                     'format' = kFormat, 'info' = the information text
//   notes(id, class, created, modified)    ids are 4k + 2 from 0x8F6 on, above the highest
//                                          ever used (AUTOINCREMENT's sequence), so they are
//                                          never reused and a stale note ID can never name a
//                                          newer note
//   items(note_id, seq, name, flags, value)  values with their type word, in note order
//   text_index(note_id, name, value)       folded item name and folded text value (cut to
//                                          kIndexValueBytes) of every text item and every
//                                          text-list entry, kept in the note's transaction
//   objects(id, note_id, pending_pid, size)  one row per attachment; its bytes are the file
//                                          <database file>.content/<id>, outside the log, so
//                                          a large attachment is written once and not again
//                                          when the log is folded into the database file
//   object_chunks(object_id, seq, data)    content of files written before it moved out:
//                                          still read, copied and deleted, never written
// A content file is written whole before the transaction that adds its row commits, and is
// never changed afterwards (a copy gets a new id), so a committed row always names complete
// bytes. A file is removed only after the transaction that deletes its row has committed.
// Files that no committed row names (a writer killed before its commit, or after it but
// before unlinking) are removed by the next open.
// A content row with no note is pending: a note handle made it and no update claimed it
// yet. The process that made it deletes it at close; rows of processes that died are
// deleted by the next open.
//
// Concurrency: WAL mode and a busy timeout; every write is one BEGIN IMMEDIATE transaction,
// so a writer killed mid-way leaves the previous state. Reads of a note run in one read
// transaction so they see one consistent state.
//
// Crashes of the machine: the log is synced before it is folded into the database file and
// the file after it (synchronous=NORMAL), so a power cut never damages a database; it may
// only lose the transactions committed since the last sync. Callers that must not lose a
// write sync it afterwards (SyncCommitted, group_commit.h). The content files a note update
// claims are synced, and then their directory, before the update commits, so a note never
// names bytes that a crash can take away. Pending rows are not synced: nothing names them
// after a crash, and a mail's parts are often stored and thrown away unclaimed.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <set>

#include "platform/notes/formula.h"
#include "platform/notes/group_commit.h"
#include "platform/notes/notes_internal.h"
#include "platform/win32/machine.h"

namespace notes_internal {
namespace {

constexpr const char* kFormat = "vt-nsf 1";
constexpr int kBusyTimeoutMs = 30000;
constexpr size_t kChunkBytes = 256 * 1024;
constexpr size_t kIndexValueBytes = 256;

void (*g_update_fault_hook)() = nullptr;

// Note IDs take the server's form, 4k + 2, and the data notes of a new database start above
// the range a real database's design notes occupy, so the low IDs the system treats as
// special never name a mail. Databases that numbered 1, 2, 3 ... keep their notes' IDs and
// go on from 0x8F6.
constexpr long long kFirstNoteId = 0x8F6;
constexpr long long kNoteIdStep = 4;
constexpr NOTEID kMaxNoteId = 0x7FFFFFFE;

long long NextNoteId(long long last) {
  if (last < kFirstNoteId) return kFirstNoteId;
  long long next = last + 1;
  while (next % kNoteIdStep != kFirstNoteId % kNoteIdStep) ++next;
  return next;
}

constexpr const char* kSchema =
    // 4 KiB pages: attachment content lives in files of its own, so the rows are small, and
    // every commit writes each page it touched whole to the log; with 16 KiB pages a small
    // mail's store or delete wrote four times the bytes and ran at 40 % of this rate.
    // Databases made earlier keep the page size they were made with.
    "PRAGMA page_size=4096;"
    "PRAGMA journal_mode=WAL;"
    "CREATE TABLE dbinfo(key TEXT PRIMARY KEY, value TEXT NOT NULL);"
    "CREATE TABLE notes(id INTEGER PRIMARY KEY AUTOINCREMENT, class INTEGER NOT NULL,"
    " created INTEGER NOT NULL, modified INTEGER NOT NULL);"
    "CREATE TABLE items(note_id INTEGER NOT NULL, seq INTEGER NOT NULL, name TEXT NOT NULL,"
    " flags INTEGER NOT NULL, value BLOB NOT NULL, PRIMARY KEY(note_id, seq)) WITHOUT ROWID;"
    "CREATE TABLE text_index(note_id INTEGER NOT NULL, name BLOB NOT NULL,"
    " value BLOB NOT NULL);"
    "CREATE INDEX text_index_by_value ON text_index(name, value);"
    "CREATE INDEX text_index_by_note ON text_index(note_id);"
    "CREATE TABLE objects(id INTEGER PRIMARY KEY AUTOINCREMENT, note_id INTEGER,"
    " pending_pid INTEGER, size INTEGER NOT NULL);"
    "CREATE INDEX objects_by_note ON objects(note_id);"
    "CREATE TABLE object_chunks(object_id INTEGER NOT NULL, seq INTEGER NOT NULL,"
    " data BLOB NOT NULL, PRIMARY KEY(object_id, seq)) WITHOUT ROWID;";

// One prepared statement, given back to its connection's cache or finalised on every path.
class Statement {
 public:
  Statement(sqlite3* sql, const char* text) : cache_(StatementCacheOf(sql)) {
    if (cache_ != nullptr) statement_ = cache_->Take(text);
    if (statement_ == nullptr) code_ = sqlite3_prepare_v2(sql, text, -1, &statement_, nullptr);
  }
  ~Statement() {
    if (cache_ != nullptr && code_ == SQLITE_OK && statement_ != nullptr) {
      cache_->Give(statement_);
    } else {
      sqlite3_finalize(statement_);
    }
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  [[nodiscard]] bool ok() const { return code_ == SQLITE_OK; }
  [[nodiscard]] int code() const { return code_; }
  void Bind(int index, long long value) { sqlite3_bind_int64(statement_, index, value); }
  void BindNull(int index) { sqlite3_bind_null(statement_, index); }
  void BindText(int index, std::string_view text) {
    sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
  }
  // The caller keeps data alive and unchanged until the statement is stepped.
  void BindBlobStatic(int index, const void* data, size_t size) {
    sqlite3_bind_blob(statement_, index, data, static_cast<int>(size), SQLITE_STATIC);
  }
  void BindBlob(int index, const void* data, size_t size) {
    // An empty blob must still be a blob, not NULL.
    static const char kEmpty = 0;
    sqlite3_bind_blob(statement_, index, size == 0 ? &kEmpty : data, static_cast<int>(size),
                      SQLITE_TRANSIENT);
  }
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step() {
    if (code_ != SQLITE_OK) return code_;
    return sqlite3_step(statement_);
  }
  void Reset() {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
  }
  long long Int(int column) { return sqlite3_column_int64(statement_, column); }
  bool IsNull(int column) { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }
  std::string_view Blob(int column) {
    const void* data = sqlite3_column_blob(statement_, column);
    int size = sqlite3_column_bytes(statement_, column);
    return data == nullptr ? std::string_view() :
                             std::string_view(static_cast<const char*>(data), size);
  }

 private:
  StatementCache* cache_;
  sqlite3_stmt* statement_ = nullptr;
  int code_ = SQLITE_OK;
};

// A transaction that rolls back unless committed.
class Transaction {
 public:
  Transaction(sqlite3* sql, bool write) : sql_(sql) {
    code_ = sqlite3_exec(sql, write ? "BEGIN IMMEDIATE" : "BEGIN", nullptr, nullptr, nullptr);
    active_ = code_ == SQLITE_OK;
  }
  ~Transaction() {
    if (active_) sqlite3_exec(sql_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  [[nodiscard]] int code() const { return code_; }
  [[nodiscard]] int Commit() {
    int code = sqlite3_exec(sql_, "COMMIT", nullptr, nullptr, nullptr);
    if (code == SQLITE_OK) active_ = false;
    return code;
  }

 private:
  sqlite3* sql_;
  int code_;
  bool active_;
};

STATUS StepDone(Statement& statement) {
  int code = statement.Step();
  return code == SQLITE_DONE || code == SQLITE_ROW ? NOERROR : StatusFromSqlite(code);
}

std::string FoldCut(std::string_view text) {
  std::string folded = formula::FoldText(text);
  if (folded.size() > kIndexValueBytes) folded.resize(kIndexValueBytes);
  return folded;
}

bool SameServer(std::string_view asked, const std::string& local) {
  // "CN=Server/O=Example" and "Server/Example" name the same server.
  auto strip = [](std::string_view name) {
    std::string plain;
    size_t start = 0;
    while (start <= name.size()) {
      size_t slash = name.find('/', start);
      if (slash == std::string_view::npos) slash = name.size();
      std::string_view part = name.substr(start, slash - start);
      size_t equals = part.find('=');
      if (equals != std::string_view::npos) part = part.substr(equals + 1);
      if (!plain.empty()) plain += '/';
      plain += part;
      start = slash + 1;
    }
    return plain;
  };
  return EqualNoCase(strip(asked), strip(local));
}

// Waits for another connection's write lock. SQLite's own busy handler sleeps 1, 2, 5, 10
// ... 100 ms between tries, while a small-mail transaction holds the lock for a fraction of
// a millisecond: under the router's and the SMTP task's steady writes most of a writer's
// time went to sleeping past a lock already free. This one tries again after 50 us,
// doubling to at most 1 ms, until kBusyTimeoutMs has passed since the first try.
int WaitForLock(void* /*unused*/, int count) {
  using Clock = std::chrono::steady_clock;
  thread_local Clock::time_point first_try;
  const Clock::time_point now = Clock::now();
  if (count == 0) first_try = now;
  if (now - first_try >= std::chrono::milliseconds(kBusyTimeoutMs)) return 0;
  const int shift = std::min(count / 4, 5);
  std::this_thread::sleep_for(std::chrono::microseconds(50 << shift));
  return 1;
}

void WaitOnBusy(sqlite3* sql, bool wait) {
  sqlite3_busy_handler(sql, wait ? WaitForLock : nullptr, nullptr);
}

sqlite3* OpenConnection(const std::string& file, int flags, int* code_r) {
  sqlite3* sql = nullptr;
  *code_r = sqlite3_open_v2(file.c_str(), &sql, flags | SQLITE_OPEN_FULLMUTEX, nullptr);
  if (*code_r != SQLITE_OK) {
    sqlite3_close(sql);
    return nullptr;
  }
  WaitOnBusy(sql, true);
  // A committed transaction is in the log once write() returns, so a killed process never
  // loses one. Against a machine crash the log is synced before each checkpoint and the
  // database file after it, which keeps the file whole; making a commit itself durable is
  // left to the callers that promise it (group_commit.h), so that concurrent writers share
  // one sync instead of each waiting for its own under the write lock (synchronous=FULL).
  sqlite3_exec(sql, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  // Freed attachment pages need not be zeroed on disk; that would write every page twice.
  sqlite3_exec(sql, "PRAGMA secure_delete=FAST", nullptr, nullptr, nullptr);
  return sql;
}

std::string ContentDirectory(const std::string& db_file) { return db_file + ".content"; }

std::string ContentPath(const std::string& db_file, long long object_id) {
  return ContentDirectory(db_file) + "/" + std::to_string(object_id);
}

// Makes the content directory of db_file when missing; a new one is named durably in the
// database's directory before any file is put in it.
bool MakeContentDirectory(const std::string& db_file) {
  if (::mkdir(ContentDirectory(db_file).c_str(), 0755) == 0) {
    return SyncDirectory(ParentDirectory(db_file));
  }
  return errno == EEXIST;
}

void RemoveContentFiles(const std::string& db_file, const std::vector<long long>& ids) {
  for (long long object_id : ids) ::unlink(ContentPath(db_file, object_id).c_str());
}

// Closes a descriptor when it goes out of scope.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  [[nodiscard]] int get() const { return fd_; }
  void Reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Closes now, so a failing close (a full disk reported late) is seen.
  [[nodiscard]] bool Close() {
    int fd = fd_;
    fd_ = -1;
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_;
};

// Syncs the content files of ids (a file that is not there is content kept inside an older
// database file) and then the directory that names them; false when the disk refused.
// Each sync of a file costs a flush of the disk's cache: past kMostSyncedEach files, one
// sync of the file system serves them all (a mail of a thousand parts took seconds).
bool SyncContentFiles(const std::string& db_file, const std::vector<long long>& ids) {
  constexpr size_t kMostSyncedEach = 4;
  if (ids.empty()) return true;
  if (ids.size() > kMostSyncedEach) {
    FileDescriptor directory(
        ::open(ContentDirectory(db_file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return directory.get() >= 0 && SyncFileSystem(directory.get());
  }
  bool any = false;
  for (long long object_id : ids) {
    int fd = ::open(ContentPath(db_file, object_id).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ENOENT) continue;
      return false;
    }
    bool ok = SyncFile(fd);
    ::close(fd);
    if (!ok) return false;
    any = true;
  }
  return !any || SyncDirectory(ContentDirectory(db_file));
}

bool WriteAll(int fd, const char* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t put = ::write(fd, data + done, size - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<size_t>(put);
  }
  return true;
}

// Copies what is left of in to out in kChunkBytes blocks; the byte count in *copied_r.
STATUS CopyStream(int in, int out, unsigned long long* copied_r) {
  std::vector<char> buffer(kChunkBytes);
  unsigned long long copied = 0;
  for (;;) {
    ssize_t got = ::read(in, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return ERR_FILE_IO;
    if (got == 0) break;
    if (!WriteAll(out, buffer.data(), static_cast<size_t>(got))) return ERR_FILE_IO;
    copied += static_cast<unsigned long long>(got);
  }
  *copied_r = copied;
  return NOERROR;
}

// Removes content files that no committed row names. Ids up to the committed
// AUTOINCREMENT sequence are never handed out again, so those are judged in a read
// transaction. An id above it may be a live writer's (in this process or another) that has
// not committed yet: those are judged only while holding the write lock, taken without
// waiting, and left for a later open when another writer holds it.
void DropOrphanContent(sqlite3* sql, const std::string& db_file) {
  std::vector<long long> found;
  if (DIR* directory = ::opendir(ContentDirectory(db_file).c_str())) {
    while (const dirent* entry = ::readdir(directory)) {
      const char* name = entry->d_name;
      if (*name < '0' || *name > '9') continue;
      char* end = nullptr;
      long long object_id = std::strtoll(name, &end, 10);
      if (*end == '\0') found.push_back(object_id);
    }
    ::closedir(directory);
  }
  if (found.empty()) return;
  auto unnamed = [sql](const std::vector<long long>& ids, std::vector<long long>* orphans_r) {
    Statement exists(sql, "SELECT 1 FROM objects WHERE id = ?1");
    for (long long object_id : ids) {
      exists.Bind(1, object_id);
      int code = exists.Step();
      exists.Reset();
      if (code == SQLITE_DONE) orphans_r->push_back(object_id);
      else if (code != SQLITE_ROW) return false;
    }
    return true;
  };
  std::vector<long long> above;
  {
    Transaction transaction(sql, false);
    if (transaction.code() != SQLITE_OK) return;
    long long sequence = 0;
    {
      Statement query(sql, "SELECT seq FROM sqlite_sequence WHERE name = 'objects'");
      if (query.Step() == SQLITE_ROW) sequence = query.Int(0);
    }
    std::vector<long long> settled;
    for (long long object_id : found) {
      (object_id > sequence ? above : settled).push_back(object_id);
    }
    std::vector<long long> orphans;
    if (!unnamed(settled, &orphans)) return;
    // The deletion of their rows may not be on the disk yet: a crash could bring a row back
    // whose file is gone.
    if (!orphans.empty() && SyncCommitted(db_file) != NOERROR) return;
    RemoveContentFiles(db_file, orphans);
  }
  if (above.empty()) return;
  WaitOnBusy(sql, false);
  {
    Transaction transaction(sql, true);
    std::vector<long long> orphans;
    if (transaction.code() == SQLITE_OK && unnamed(above, &orphans)) {
      RemoveContentFiles(db_file, orphans);
    }
  }
  WaitOnBusy(sql, true);
}

// Content files made inside a transaction; removed at scope exit unless ids was cleared
// after the commit.
struct NewContentFiles {
  explicit NewContentFiles(std::string db_file) : file(std::move(db_file)) {}
  ~NewContentFiles() { RemoveContentFiles(file, ids); }
  NewContentFiles(const NewContentFiles&) = delete;
  NewContentFiles& operator=(const NewContentFiles&) = delete;
  std::string file;
  std::vector<long long> ids;
};

// Deletes pending content rows whose creating process is gone.
void DropDeadPending(sqlite3* sql, const std::string& db_file) {
  std::vector<long long> dead;
  {
    Statement query(sql, "SELECT DISTINCT pending_pid FROM objects WHERE note_id IS NULL");
    while (query.Step() == SQLITE_ROW) {
      long long pid = query.Int(0);
      if (pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)) {
        dead.push_back(pid);
      }
    }
  }
  if (dead.empty()) return;
  Transaction transaction(sql, true);
  if (transaction.code() != SQLITE_OK) return;
  std::vector<long long> removed;
  {
    Statement ids(sql, "SELECT id FROM objects WHERE note_id IS NULL AND pending_pid = ?1");
    Statement chunks(sql,
                     "DELETE FROM object_chunks WHERE object_id IN (SELECT id FROM objects"
                     " WHERE note_id IS NULL AND pending_pid = ?1)");
    Statement rows(sql, "DELETE FROM objects WHERE note_id IS NULL AND pending_pid = ?1");
    for (long long pid : dead) {
      ids.Bind(1, pid);
      while (ids.Step() == SQLITE_ROW) removed.push_back(ids.Int(0));
      ids.Reset();
      chunks.Bind(1, pid);
      if (StepDone(chunks) != NOERROR) return;
      chunks.Reset();
      rows.Bind(1, pid);
      if (StepDone(rows) != NOERROR) return;
      rows.Reset();
    }
  }
  if (transaction.Commit() == SQLITE_OK) RemoveContentFiles(db_file, removed);
}

STATUS DeleteContentRow(sqlite3* sql, long long object_id) {
  Statement chunks(sql, "DELETE FROM object_chunks WHERE object_id = ?1");
  chunks.Bind(1, object_id);
  if (STATUS status = StepDone(chunks); status != NOERROR) return status;
  Statement row(sql, "DELETE FROM objects WHERE id = ?1");
  row.Bind(1, object_id);
  return StepDone(row);
}

// Adds a new pending content row to db (inside the caller's transaction) and has fill()
// write its file through the descriptor it is given; fill reports the byte count.
template <typename Fill>
STATUS WriteContentRow(sqlite3* sql, const std::string& db_file, Fill fill,
                       long long* object_id_r, unsigned long long* size_r) {
  Statement insert(sql, "INSERT INTO objects(note_id, pending_pid, size) VALUES(NULL, ?1, 0)");
  insert.Bind(1, ::getpid());
  if (STATUS status = StepDone(insert); status != NOERROR) return status;
  long long object_id = sqlite3_last_insert_rowid(sql);
  if (!MakeContentDirectory(db_file)) return ERR_FILE_IO;
  const std::string path = ContentPath(db_file, object_id);
  // A file left under this id by a writer whose transaction never committed may be a hard
  // link to another database's content: unlink it rather than write through it.
  ::unlink(path.c_str());
  FileDescriptor out(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (out.get() < 0) return ERR_FILE_IO;
  unsigned long long size = 0;
  STATUS status = fill(out.get(), &size);
  if (!out.Close() && status == NOERROR) status = ERR_FILE_IO;
  if (status == NOERROR) {
    Statement finish(sql, "UPDATE objects SET size = ?2 WHERE id = ?1");
    finish.Bind(1, object_id);
    finish.Bind(2, static_cast<long long>(size));
    status = StepDone(finish);
  }
  if (status != NOERROR) {
    ::unlink(path.c_str());
    return status;
  }
  *object_id_r = object_id;
  *size_r = size;
  return NOERROR;
}

// Streams the stored chunks of a content row kept inside the database to out.
STATUS WriteStoredChunks(sqlite3* sql, long long object_id, int out,
                         unsigned long long* size_r) {
  Statement chunks(sql, "SELECT data FROM object_chunks WHERE object_id = ?1 ORDER BY seq");
  chunks.Bind(1, object_id);
  unsigned long long size = 0;
  int code;
  while ((code = chunks.Step()) == SQLITE_ROW) {
    std::string_view data = chunks.Blob(0);
    if (!WriteAll(out, data.data(), data.size())) return ERR_FILE_IO;
    size += data.size();
  }
  if (code != SQLITE_DONE) return StatusFromSqlite(code);
  *size_r = size;
  return NOERROR;
}

// Copies a content row of source_sql (the database source_file) into sql (inside the
// caller's transaction). A hard link shares the bytes, as content files never change; each
// database still owns its own name for them. Across file systems the bytes are copied.
STATUS CopyContentRow(sqlite3* source_sql, const std::string& source_file, long long source_id,
                      sqlite3* sql, const std::string& db_file, long long* object_id_r,
                      unsigned long long* size_r) {
  unsigned long long stored_size = 0;
  {
    Statement exists(source_sql, "SELECT size FROM objects WHERE id = ?1");
    exists.Bind(1, source_id);
    int code = exists.Step();
    if (code == SQLITE_DONE) return ERR_OBJECT_MISSING;
    if (code != SQLITE_ROW) return StatusFromSqlite(code);
    stored_size = static_cast<unsigned long long>(exists.Int(0));
  }
  const std::string source_path = ContentPath(source_file, source_id);
  FileDescriptor in(::open(source_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) {
    if (errno != ENOENT) return ERR_FILE_IO;
    // Content kept inside an older database file: written out as a file of this one.
    auto from_chunks = [&](int out, unsigned long long* size_r) {
      STATUS status = WriteStoredChunks(source_sql, source_id, out, size_r);
      return status == NOERROR && *size_r != stored_size ? ERR_OBJECT_MISSING : status;
    };
    return WriteContentRow(sql, db_file, from_chunks, object_id_r, size_r);
  }
  struct stat info;
  if (::fstat(in.get(), &info) != 0) return ERR_FILE_IO;
  auto fill = [&](int out, unsigned long long* size_r) {
    return CopyStream(in.get(), out, size_r);
  };
  Statement insert(sql, "INSERT INTO objects(note_id, pending_pid, size) VALUES(NULL, ?1, ?2)");
  insert.Bind(1, ::getpid());
  insert.Bind(2, static_cast<long long>(info.st_size));
  if (STATUS status = StepDone(insert); status != NOERROR) return status;
  long long object_id = sqlite3_last_insert_rowid(sql);
  if (!MakeContentDirectory(db_file)) return ERR_FILE_IO;
  const std::string path = ContentPath(db_file, object_id);
  ::unlink(path.c_str());
  if (::link(source_path.c_str(), path.c_str()) == 0) {
    *object_id_r = object_id;
    *size_r = static_cast<unsigned long long>(info.st_size);
    return NOERROR;
  }
  // No link (another file system): drop the row and write a copy under a fresh one.
  if (STATUS status = DeleteContentRow(sql, object_id); status != NOERROR) return status;
  return WriteContentRow(sql, db_file, fill, object_id_r, size_r);
}

}  // namespace

// Open connections and their caches. A lookup is far cheaper than the parse it saves.
// The table is never destroyed: a thread that was abandoned in the middle of an open (the
// database scanner gives up on a stuck open and carries on) may still reach it while the
// process runs its exit-time destructors.
struct CacheTable {
  std::mutex mutex;
  std::unordered_map<sqlite3*, StatementCache*> caches;
};

CacheTable& Caches() {
  static CacheTable* table = new CacheTable;
  return *table;
}

StatementCache* StatementCacheOf(sqlite3* sql) {
  CacheTable& table = Caches();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto found = table.caches.find(sql);
  return found == table.caches.end() ? nullptr : found->second;
}

void RegisterStatementCache(sqlite3* sql, StatementCache* cache) {
  CacheTable& table = Caches();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.caches[sql] = cache;
}

void UnregisterStatementCache(sqlite3* sql) {
  CacheTable& table = Caches();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.caches.erase(sql);
}

sqlite3_stmt* StatementCache::Take(std::string_view text) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = kept_.begin(); it != kept_.end(); ++it) {
    if (std::string_view(sqlite3_sql(*it)) == text) {
      sqlite3_stmt* statement = *it;
      // Order does not matter; moving the last one in is cheaper than closing the gap.
      *it = kept_.back();
      kept_.pop_back();
      return statement;
    }
  }
  return nullptr;
}

void StatementCache::Give(sqlite3_stmt* statement) {
  // A statement left mid-way would hold its read transaction open until the next use.
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (kept_.size() < kMaxKept) {
      kept_.push_back(statement);
      return;
    }
  }
  sqlite3_finalize(statement);
}

void StatementCache::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (sqlite3_stmt* statement : kept_) sqlite3_finalize(statement);
  kept_.clear();
}

size_t StatementCache::KeptForTest() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return kept_.size();
}

Database::~Database() {
  if (!doomed_content.empty() && SyncCommitted(file) == NOERROR) {
    RemoveContentFiles(file, doomed_content);
  }
  if (sql == nullptr) return;
  UnregisterStatementCache(sql);
  statements.Clear();
  sqlite3_close_v2(sql);
}

void SetUpdateFaultHook(void (*hook)()) { g_update_fault_hook = hook; }

STATUS StatusFromSqlite(int code) {
  switch (code & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return NOERROR;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return ERR_DB_BUSY;
    case SQLITE_NOTADB:
      return ERR_NOT_DATABASE;
    case SQLITE_CORRUPT:
      return ERR_DB_DAMAGED;
    case SQLITE_NOMEM:
      return ERR_MEMORY;
    case SQLITE_CANTOPEN:
      return ERR_NOEXIST;
    case SQLITE_TOOBIG:
      return ERR_ITEM_TOO_LARGE;
    default:
      return ERR_DB_WRITE;
  }
}

STATUS ResolvePath(const char* path, std::string* file_r, std::string* canonical_r) {
  if (path == nullptr || *path == '\0') return ERR_BAD_PARAM;
  std::string text(path);
  size_t bangs = text.find("!!");
  if (bangs != std::string::npos) {
    std::string server = text.substr(0, bangs);
    if (!server.empty() && !SameServer(server, ServerName())) return ERR_SERVER_UNREACHABLE;
    text = text.substr(bangs + 2);
  }
  for (char& c : text) {
    if (c == '\\') c = '/';
  }
  if (text.empty()) return ERR_BAD_PARAM;
  const std::string data_dir = DataDirectory();
  if (data_dir.empty()) return ERR_NOT_INITIALIZED;
  std::string file;
  std::string canonical;
  if (text[0] == '/') {
    file = text;
    std::string prefix = data_dir + "/";
    canonical = file.compare(0, prefix.size(), prefix) == 0 ? file.substr(prefix.size()) : file;
  } else {
    while (text.compare(0, 2, "./") == 0) text.erase(0, 2);
    file = data_dir + "/" + text;
    canonical = text;
  }
  if (file.size() >= MAXPATH) return ERR_PATH_TOO_LONG;
  *file_r = file;
  *canonical_r = canonical;
  return NOERROR;
}

STATUS OpenDatabaseFile(const std::string& file, DatabasePtr* db_r) {
  struct stat info;
  if (::stat(file.c_str(), &info) != 0) return ERR_NOEXIST;
  if (!S_ISREG(info.st_mode)) return ERR_NOT_DATABASE;
  int code = SQLITE_OK;
  sqlite3* sql = OpenConnection(file, SQLITE_OPEN_READWRITE, &code);
  if (sql == nullptr) return StatusFromSqlite(code);
  auto db = std::make_shared<Database>();
  db->sql = sql;
  db->file = file;
  RegisterStatementCache(sql, &db->statements);
  {
    Statement format(sql, "SELECT value FROM dbinfo WHERE key = 'format'");
    if (!format.ok()) {
      // Not SQLite at all, or SQLite without our tables: either way not a database.
      STATUS status = StatusFromSqlite(format.code());
      return status == ERR_DB_WRITE ? ERR_NOT_DATABASE : status;
    }
    code = format.Step();
    if (code != SQLITE_ROW) return code == SQLITE_DONE ? ERR_NOT_DATABASE : StatusFromSqlite(code);
    if (format.Blob(0) != kFormat) return ERR_NOT_DATABASE;
  }
  DropDeadPending(sql, file);
  DropOrphanContent(sql, file);
  *db_r = std::move(db);
  return NOERROR;
}

STATUS CreateDatabaseFile(const std::string& file, bool force) {
  struct stat info;
  if (::stat(file.c_str(), &info) == 0 && !force) return ERR_EXISTS;
  // Parent directories, as a data directory's subfolders (mail/) are made on demand.
  for (size_t slash = file.find('/', 1); slash != std::string::npos;
       slash = file.find('/', slash + 1)) {
    const std::string directory = file.substr(0, slash);
    if (::mkdir(directory.c_str(), 0755) == 0 && !SyncDirectory(ParentDirectory(directory))) {
      return ERR_FILE_IO;
    }
  }
  // Built under a private name and linked into place, so nobody opens a half-made file and
  // two creators cannot both win.
  const std::string temp = file + ".new" + std::to_string(::getpid());
  ::unlink(temp.c_str());
  int code = SQLITE_OK;
  sqlite3* sql = OpenConnection(temp, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, &code);
  if (sql == nullptr) return code == SQLITE_CANTOPEN ? ERR_FILE_IO : StatusFromSqlite(code);
  code = sqlite3_exec(sql, kSchema, nullptr, nullptr, nullptr);
  if (code == SQLITE_OK) {
    Statement format(sql, "INSERT INTO dbinfo(key, value) VALUES('format', ?1), ('info', '')");
    format.BindText(1, kFormat);
    code = format.Step() == SQLITE_DONE ? SQLITE_OK : SQLITE_ERROR;
  }
  sqlite3_close_v2(sql);
  if (code != SQLITE_OK) {
    ::unlink(temp.c_str());
    return StatusFromSqlite(code);
  }
  if (force) {
    ::unlink(file.c_str());
    ::unlink((file + "-wal").c_str());
    ::unlink((file + "-shm").c_str());
    RemoveContentDirectory(file);
  }
  int linked = ::link(temp.c_str(), file.c_str());
  int link_errno = errno;
  ::unlink(temp.c_str());
  if (linked != 0) return link_errno == EEXIST ? ERR_EXISTS : ERR_FILE_IO;
  // Closing the temporary file folded its log into it and synced it; the name is synced here.
  return SyncDirectory(ParentDirectory(file)) ? NOERROR : ERR_DB_NOT_SYNCED;
}

STATUS ReadDbInfo(const DatabasePtr& db, std::string* info_r) {
  std::lock_guard<std::recursive_mutex> lock(db->mutex);
  Statement query(db->sql, "SELECT value FROM dbinfo WHERE key = 'info'");
  int code = query.Step();
  if (code == SQLITE_ROW) {
    *info_r = std::string(query.Blob(0));
    return NOERROR;
  }
  if (code == SQLITE_DONE) {
    info_r->clear();
    return NOERROR;
  }
  return StatusFromSqlite(code);
}

STATUS WriteDbInfo(const DatabasePtr& db, const std::string& info) {
  std::lock_guard<std::recursive_mutex> lock(db->mutex);
  Statement write(db->sql, "INSERT OR REPLACE INTO dbinfo(key, value) VALUES('info', ?1)");
  write.BindText(1, info);
  return StepDone(write);
}

STATUS LoadNote(const DatabasePtr& db, NOTEID id, Note* note) {
  std::lock_guard<std::recursive_mutex> lock(db->mutex);
  Transaction transaction(db->sql, false);
  if (transaction.code() != SQLITE_OK) return StatusFromSqlite(transaction.code());
  {
    Statement header(db->sql, "SELECT class, created, modified FROM notes WHERE id = ?1");
    header.Bind(1, id);
    int code = header.Step();
    if (code == SQLITE_DONE) return ERR_INVALID_NOTE;
    if (code != SQLITE_ROW) return StatusFromSqlite(code);
    note->note_class = static_cast<WORD>(header.Int(0));
    note->created = TimeFromTicks(header.Int(1));
    note->modified = TimeFromTicks(header.Int(2));
  }
  Statement items(db->sql,
                  "SELECT name, flags, value FROM items WHERE note_id = ?1 ORDER BY seq");
  items.Bind(1, id);
  Statement object_size(db->sql, "SELECT size FROM objects WHERE id = ?1");
  int code;
  while ((code = items.Step()) == SQLITE_ROW) {
    Item item;
    item.name = std::string(items.Blob(0));
    item.flags = static_cast<WORD>(items.Int(1));
    std::string_view value = items.Blob(2);
    if (value.size() < sizeof(WORD)) return ERR_DB_DAMAGED;
    item.value.assign(value.begin(), value.end());
    item.serial = note->next_serial++;
    FILEOBJECT object;
    if (item.Type() == TYPE_OBJECT && DecodeFileObject(item.Data(), &object, nullptr)) {
      object_size.Bind(1, object.ObjectID);
      if (object_size.Step() == SQLITE_ROW) {
        item.object = std::make_shared<Attachment>();
        item.object->db = db;
        item.object->object_id = object.ObjectID;
        item.object->size = static_cast<unsigned long long>(object_size.Int(0));
      }
      object_size.Reset();
    }
    note->items.push_back(std::move(item));
  }
  if (code != SQLITE_DONE) return StatusFromSqlite(code);
  note->db = db;
  note->id = id;
  return NOERROR;
}

STATUS StoreNote(Note* note) {
  const DatabasePtr& db = note->db;
  std::lock_guard<std::recursive_mutex> lock(db->mutex);
  sqlite3* sql = db->sql;
  Transaction transaction(sql, true);
  if (transaction.code() != SQLITE_OK) return StatusFromSqlite(transaction.code());
  TIMEDATE now;
  OSCurrentTIMEDATE(&now);
  long long id = note->id;
  if (id == 0) {
    // The next ID in the server's form after the highest ever handed out (the sequence
    // remembers deleted notes too, so an ID is never reused).
    long long last = 0;
    {
      Statement sequence(sql, "SELECT seq FROM sqlite_sequence WHERE name = 'notes'");
      int code = sequence.Step();
      if (code == SQLITE_ROW) last = sequence.Int(0);
      else if (code != SQLITE_DONE) return StatusFromSqlite(code);
    }
    id = NextNoteId(last);
    if (id > static_cast<long long>(kMaxNoteId)) return ERR_DB_WRITE;
    Statement insert(sql,
                     "INSERT INTO notes(id, class, created, modified) VALUES(?4, ?1, ?2, ?3)");
    insert.Bind(1, note->note_class);
    insert.Bind(2, TimeTicks(note->created));
    insert.Bind(3, TimeTicks(now));
    insert.Bind(4, id);
    if (STATUS status = StepDone(insert); status != NOERROR) return status;
  } else {
    Statement update(sql, "UPDATE notes SET class = ?2, modified = ?3 WHERE id = ?1");
    update.Bind(1, id);
    update.Bind(2, note->note_class);
    update.Bind(3, TimeTicks(now));
    if (STATUS status = StepDone(update); status != NOERROR) return status;
    if (sqlite3_changes(sql) == 0) return ERR_NOTE_DELETED;
    for (const char* text : {"DELETE FROM items WHERE note_id = ?1",
                             "DELETE FROM text_index WHERE note_id = ?1"}) {
      Statement clear(sql, text);
      clear.Bind(1, id);
      if (STATUS status = StepDone(clear); status != NOERROR) return status;
    }
  }

  // Attachment content: claim rows of this file that are pending or already this note's;
  // copy everything else (another database, another note, a second reference).
  struct NewObject {
    size_t item_index;
    std::shared_ptr<Attachment> attachment;
  };
  std::vector<NewObject> new_objects;
  std::set<long long> kept;
  // Files this update made go again unless it commits; files of the rows it deletes go
  // only once it has.
  NewContentFiles created_files(db->file);
  std::vector<long long> dropped;
  std::vector<long long> newly_named;  // content this update names for the first time
  std::vector<std::vector<std::uint8_t>> values;
  values.reserve(note->items.size());
  for (size_t i = 0; i < note->items.size(); ++i) {
    const Item& item = note->items[i];
    values.push_back(item.value);
    if (item.Type() != TYPE_OBJECT) continue;
    FILEOBJECT object;
    std::string file_name;
    if (!DecodeFileObject(item.Data(), &object, &file_name)) continue;
    if (!item.object) return ERR_OBJECT_MISSING;
    const Attachment& source = *item.object;
    bool claimed = false;
    if (source.db->file == db->file && kept.count(source.object_id) == 0) {
      Statement owner(sql, "SELECT note_id FROM objects WHERE id = ?1");
      owner.Bind(1, source.object_id);
      int code = owner.Step();
      if (code == SQLITE_ROW && (owner.IsNull(0) || owner.Int(0) == id)) {
        if (owner.IsNull(0)) newly_named.push_back(source.object_id);
        Statement claim(sql, "UPDATE objects SET note_id = ?2, pending_pid = NULL WHERE id = ?1");
        claim.Bind(1, source.object_id);
        claim.Bind(2, id);
        if (STATUS status = StepDone(claim); status != NOERROR) return status;
        kept.insert(source.object_id);
        claimed = true;
      } else if (code != SQLITE_ROW && code != SQLITE_DONE) {
        return StatusFromSqlite(code);
      }
    }
    if (claimed) continue;
    auto copy = std::make_shared<Attachment>();
    copy->db = db;
    STATUS status;
    if (source.db->file == db->file) {
      status = CopyContentRow(sql, db->file, source.object_id, sql, db->file, &copy->object_id,
                              &copy->size);
    } else {
      int code = SQLITE_OK;
      sqlite3* source_sql = OpenConnection(source.db->file, SQLITE_OPEN_READONLY, &code);
      if (source_sql == nullptr) return ERR_OBJECT_MISSING;
      status = CopyContentRow(source_sql, source.db->file, source.object_id, sql, db->file,
                              &copy->object_id, &copy->size);
      sqlite3_close_v2(source_sql);
    }
    if (status != NOERROR) return status;
    created_files.ids.push_back(copy->object_id);
    newly_named.push_back(copy->object_id);
    Statement claim(sql, "UPDATE objects SET note_id = ?2, pending_pid = NULL WHERE id = ?1");
    claim.Bind(1, copy->object_id);
    claim.Bind(2, id);
    if (STATUS claim_status = StepDone(claim); claim_status != NOERROR) return claim_status;
    kept.insert(copy->object_id);
    object.ObjectID = static_cast<DWORD>(copy->object_id);
    std::vector<std::uint8_t> value;
    PutWord(&value, TYPE_OBJECT);
    std::vector<std::uint8_t> encoded = EncodeFileObject(object, file_name);
    value.insert(value.end(), encoded.begin(), encoded.end());
    values[i] = std::move(value);
    new_objects.push_back({i, copy});
  }
  {
    // Content this note owned that no item refers to any more (detached attachments).
    Statement owned(sql, "SELECT id FROM objects WHERE note_id = ?1");
    owned.Bind(1, id);
    while (owned.Step() == SQLITE_ROW) {
      if (kept.count(owned.Int(0)) == 0) dropped.push_back(owned.Int(0));
    }
    for (long long object_id : dropped) {
      if (STATUS status = DeleteContentRow(sql, object_id); status != NOERROR) return status;
    }
  }

  Statement insert_item(sql,
                        "INSERT INTO items(note_id, seq, name, flags, value)"
                        " VALUES(?1, ?2, ?3, ?4, ?5)");
  Statement insert_index(sql, "INSERT INTO text_index(note_id, name, value) VALUES(?1, ?2, ?3)");
  auto index = [&](const std::string& folded_name, std::string_view text) {
    std::string folded = FoldCut(text);
    insert_index.Bind(1, id);
    insert_index.BindBlob(2, folded_name.data(), folded_name.size());
    insert_index.BindBlob(3, folded.data(), folded.size());
    STATUS status = StepDone(insert_index);
    insert_index.Reset();
    return status;
  };
  for (size_t i = 0; i < note->items.size(); ++i) {
    const Item& item = note->items[i];
    insert_item.Bind(1, id);
    insert_item.Bind(2, static_cast<long long>(i));
    insert_item.BindText(3, item.name);
    insert_item.Bind(4, item.flags);
    insert_item.BindBlob(5, values[i].data(), values[i].size());
    if (STATUS status = StepDone(insert_item); status != NOERROR) return status;
    insert_item.Reset();
    if (item.Type() == TYPE_TEXT) {
      if (STATUS status = index(formula::FoldText(item.name), item.Data()); status != NOERROR) {
        return status;
      }
    } else if (item.Type() == TYPE_TEXT_LIST) {
      std::vector<std::string> entries;
      if (!DecodeTextList(item.Data(), &entries)) continue;
      std::string folded_name = formula::FoldText(item.name);
      for (const std::string& entry : entries) {
        if (STATUS status = index(folded_name, entry); status != NOERROR) return status;
      }
    }
  }
  if (!SyncContentFiles(db->file, newly_named)) return ERR_FILE_IO;
  if (g_update_fault_hook != nullptr) g_update_fault_hook();
  if (int code = transaction.Commit(); code != SQLITE_OK) return StatusFromSqlite(code);
  created_files.ids.clear();
  db->doomed_content.insert(db->doomed_content.end(), dropped.begin(), dropped.end());

  // Committed: only now does the in-memory note take the new state.
  note->id = static_cast<NOTEID>(id);
  note->modified = now;
  for (NewObject& created : new_objects) {
    Item& item = note->items[created.item_index];
    item.value = std::move(values[created.item_index]);
    item.object = created.attachment;
  }
  auto claimed = [&kept, &db](const std::shared_ptr<Attachment>& attachment) {
    return attachment->db->file == db->file && kept.count(attachment->object_id) != 0;
  };
  note->pending.erase(std::remove_if(note->pending.begin(), note->pending.end(), claimed),
                      note->pending.end());
  return NOERROR;
}

STATUS RemoveNote(const DatabasePtr& db, NOTEID id) {
  std::lock_guard<std::recursive_mutex> lock(db->mutex);
  sqlite3* sql = db->sql;
  Transaction transaction(sql, true);
  if (transaction.code() != SQLITE_OK) return StatusFromSqlite(transaction.code());
  {
    Statement remove(sql, "DELETE FROM notes WHERE id = ?1");
    remove.Bind(1, id);
    if (STATUS status = StepDone(remove); status != NOERROR) return status;
    if (sqlite3_changes(sql) == 0) return ERR_INVALID_NOTE;
  }
  std::vector<long long> removed;
  {
    Statement owned(sql, "SELECT id FROM objects WHERE note_id = ?1");
    owned.Bind(1, id);
    int code;
    while ((code = owned.Step()) == SQLITE_ROW) removed.push_back(owned.Int(0));
    if (code != SQLITE_DONE) return StatusFromSqlite(code);
  }
  for (const char* text :
       {"DELETE FROM items WHERE note_id = ?1", "DELETE FROM text_index WHERE note_id = ?1",
        "DELETE FROM object_chunks WHERE object_id IN"
        " (SELECT id FROM objects WHERE note_id = ?1)",
        "DELETE FROM objects WHERE note_id = ?1"}) {
    Statement clear(sql, text);
    clear.Bind(1, id);
    if (STATUS status = StepDone(clear); status != NOERROR) return status;
  }
  if (int code = transaction.Commit(); code != SQLITE_OK) return StatusFromSqlite(code);
  db->doomed_content.insert(db->doomed_content.end(), removed.begin(), removed.end());
  return NOERROR;
}

void RemoveDoomedContent(const DatabasePtr& db) {
  std::vector<long long> doomed;
  {
    std::lock_guard<std::recursive_mutex> lock(db->mutex);
    doomed.swap(db->doomed_content);
  }
  RemoveContentFiles(db->file, doomed);
}

namespace {

// Adds a pending content row to db in a transaction of its own, its bytes written by fill.
template <typename Fill>
STATUS StoreContentRow(const DatabasePtr& db, Fill fill,
                       std::shared_ptr<Attachment>* attachment_r) {
  auto attachment = std::make_shared<Attachment>();
  attachment->db = db;
  std::lock_guard<std::recursive_mutex> lock(db->mutex);
  Transaction transaction(db->sql, true);
  if (transaction.code() != SQLITE_OK) return StatusFromSqlite(transaction.code());
  NewContentFiles created(db->file);
  if (STATUS status = WriteContentRow(db->sql, db->file, fill, &attachment->object_id,
                                      &attachment->size);
      status != NOERROR) {
    return status;
  }
  created.ids.push_back(attachment->object_id);
  if (int code = transaction.Commit(); code != SQLITE_OK) return StatusFromSqlite(code);
  created.ids.clear();
  *attachment_r = std::move(attachment);
  return NOERROR;
}

}  // namespace

STATUS StoreFileContent(const DatabasePtr& db, const std::string& path,
                        std::shared_ptr<Attachment>* attachment_r) {
  FileDescriptor in(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) return errno == ENOENT || errno == ENOTDIR ? ERR_NOEXIST : ERR_FILE_IO;
  struct stat info;
  if (::fstat(in.get(), &info) != 0 || !S_ISREG(info.st_mode)) return ERR_FILE_IO;
  auto fill = [&](int out, unsigned long long* size_r) {
    return CopyStream(in.get(), out, size_r);
  };
  return StoreContentRow(db, fill, attachment_r);
}

STATUS StoreStreamContent(const DatabasePtr& db, const ContentSource& source,
                          std::shared_ptr<Attachment>* attachment_r) {
  auto fill = [&](int out, unsigned long long* size_r) -> STATUS {
    std::vector<char> buffer(kChunkBytes);
    unsigned long long size = 0;
    for (;;) {
      size_t got = 0;
      if (STATUS status = source(buffer.data(), buffer.size(), &got); status != NOERROR) {
        return status;
      }
      if (got == 0) break;
      if (!WriteAll(out, buffer.data(), got)) return ERR_FILE_IO;
      size += got;
    }
    *size_r = size;
    return NOERROR;
  };
  return StoreContentRow(db, fill, attachment_r);
}

STATUS CopyContent(const Attachment& source, const DatabasePtr& target,
                   std::shared_ptr<Attachment>* attachment_r) {
  auto attachment = std::make_shared<Attachment>();
  attachment->db = target;
  std::lock_guard<std::recursive_mutex> lock(target->mutex);
  Transaction transaction(target->sql, true);
  if (transaction.code() != SQLITE_OK) return StatusFromSqlite(transaction.code());
  NewContentFiles created(target->file);
  STATUS status;
  if (source.db->file == target->file) {
    status = CopyContentRow(target->sql, target->file, source.object_id, target->sql,
                            target->file, &attachment->object_id, &attachment->size);
  } else {
    int code = SQLITE_OK;
    sqlite3* source_sql = OpenConnection(source.db->file, SQLITE_OPEN_READONLY, &code);
    if (source_sql == nullptr) return ERR_OBJECT_MISSING;
    status = CopyContentRow(source_sql, source.db->file, source.object_id, target->sql,
                            target->file, &attachment->object_id, &attachment->size);
    sqlite3_close_v2(source_sql);
  }
  if (status != NOERROR) return status;
  created.ids.push_back(attachment->object_id);
  if (int code = transaction.Commit(); code != SQLITE_OK) return StatusFromSqlite(code);
  created.ids.clear();
  *attachment_r = std::move(attachment);
  return NOERROR;
}

STATUS ReadContent(const Attachment& source, const ContentSink& sink) {
  STATUS status = NOERROR;
  FileDescriptor in(-1);
  unsigned long long read = 0;
  {
    // The row is checked and the file opened in one read transaction: once open, the bytes
    // stay readable even if another writer deletes the attachment meanwhile.
    std::lock_guard<std::recursive_mutex> lock(source.db->mutex);
    sqlite3* sql = source.db->sql;
    Transaction transaction(sql, false);
    status = StatusFromSqlite(transaction.code());
    if (status == NOERROR) {
      Statement exists(sql, "SELECT size FROM objects WHERE id = ?1");
      exists.Bind(1, source.object_id);
      int code = exists.Step();
      if (code == SQLITE_DONE) status = ERR_OBJECT_MISSING;
      else if (code != SQLITE_ROW) status = StatusFromSqlite(code);
    }
    if (status == NOERROR) {
      in.Reset(::open(ContentPath(source.db->file, source.object_id).c_str(),
                      O_RDONLY | O_CLOEXEC));
      // No file: content kept inside an older database file, read in this transaction.
      if (in.get() < 0) {
        if (errno != ENOENT) return ERR_FILE_IO;
        Statement chunks(sql,
                         "SELECT data FROM object_chunks WHERE object_id = ?1 ORDER BY seq");
        chunks.Bind(1, source.object_id);
        int code;
        while (status == NOERROR && (code = chunks.Step()) == SQLITE_ROW) {
          std::string_view data = chunks.Blob(0);
          status = sink(data.data(), data.size());
          read += data.size();
        }
        if (status == NOERROR && code != SQLITE_DONE) status = StatusFromSqlite(code);
      }
    }
  }
  if (status == NOERROR && in.get() >= 0) {
    std::vector<char> buffer(kChunkBytes);
    for (;;) {
      ssize_t got = ::read(in.get(), buffer.data(), buffer.size());
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return ERR_FILE_IO;
      if (got == 0) break;
      if ((status = sink(buffer.data(), static_cast<size_t>(got))) != NOERROR) return status;
      read += static_cast<unsigned long long>(got);
    }
  }
  if (status == NOERROR && read != source.size) status = ERR_OBJECT_MISSING;
  return status;
}

STATUS ExtractContent(const Attachment& source, const std::string& path) {
  FileDescriptor out(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (out.get() < 0) return ERR_FILE_IO;
  STATUS status = ReadContent(source, [&out](const char* data, size_t size) {
    return WriteAll(out.get(), data, size) ? STATUS{NOERROR} : ERR_FILE_IO;
  });
  if (!out.Close() && status == NOERROR) status = ERR_FILE_IO;
  // A half-written file must not pass for the attachment.
  if (status != NOERROR) ::unlink(path.c_str());
  return status;
}

void DropPendingContent(const Attachment& attachment) {
  std::lock_guard<std::recursive_mutex> lock(attachment.db->mutex);
  sqlite3* sql = attachment.db->sql;
  Transaction transaction(sql, true);
  if (transaction.code() != SQLITE_OK) return;
  Statement row(sql, "DELETE FROM objects WHERE id = ?1 AND note_id IS NULL");
  row.Bind(1, attachment.object_id);
  if (StepDone(row) != NOERROR) return;
  bool removed = sqlite3_changes(sql) != 0;
  if (transaction.Commit() == SQLITE_OK && removed) {
    RemoveContentFiles(attachment.db->file, {attachment.object_id});
  }
}

void RemoveContentDirectory(const std::string& db_file) {
  const std::string directory = ContentDirectory(db_file);
  if (DIR* listing = ::opendir(directory.c_str())) {
    while (const dirent* entry = ::readdir(listing)) {
      if (entry->d_name[0] == '.') continue;
      ::unlink((directory + "/" + entry->d_name).c_str());
    }
    ::closedir(listing);
  }
  ::rmdir(directory.c_str());
}

STATUS ListNoteHeaders(const DatabasePtr& db, WORD class_mask,
                       std::vector<NoteHeader>* headers_r) {
  std::lock_guard<std::recursive_mutex> lock(db->mutex);
  Statement query(db->sql,
                  "SELECT id, class, created, modified FROM notes WHERE (class & ?1) != 0"
                  " ORDER BY id");
  query.Bind(1, class_mask);
  int code;
  while ((code = query.Step()) == SQLITE_ROW) {
    NoteHeader header;
    header.id = static_cast<NOTEID>(query.Int(0));
    header.note_class = static_cast<WORD>(query.Int(1));
    header.created = TimeFromTicks(query.Int(2));
    header.modified = TimeFromTicks(query.Int(3));
    headers_r->push_back(header);
  }
  return code == SQLITE_DONE ? NOERROR : StatusFromSqlite(code);
}

STATUS ListNoteIds(const DatabasePtr& db, WORD class_mask,
                   const std::vector<IndexLookup>& terms, std::vector<NOTEID>* ids_r) {
  std::lock_guard<std::recursive_mutex> lock(db->mutex);
  auto cut = [](std::string value) {
    if (value.size() > kIndexValueBytes) value.resize(kIndexValueBytes);
    return value;
  };
  if (terms.empty()) {
    Statement query(db->sql, "SELECT id FROM notes WHERE (class & ?1) != 0 ORDER BY id");
    query.Bind(1, class_mask);
    int code;
    while ((code = query.Step()) == SQLITE_ROW) ids_r->push_back(static_cast<NOTEID>(query.Int(0)));
    return code == SQLITE_DONE ? NOERROR : StatusFromSqlite(code);
  }
  // Every selected note satisfies every term, so the candidates of one term are enough; the
  // term with the fewest rows keeps the search independent of the database's size. Counting
  // stops at kTermCountCap so a common term ("form = NewUser") is not counted out in full.
  constexpr int kTermCountCap = 1000;
  size_t best = 0;
  long long best_count = -1;
  {
    Statement count(db->sql,
                    "SELECT COUNT(*) FROM (SELECT 1 FROM text_index WHERE name = ?1"
                    " AND value = ?2 LIMIT ?3)");
    for (size_t i = 0; i < terms.size(); ++i) {
      std::string value = cut(terms[i].value);
      count.BindBlob(1, terms[i].item.data(), terms[i].item.size());
      count.BindBlob(2, value.data(), value.size());
      count.Bind(3, kTermCountCap);
      int code = count.Step();
      if (code != SQLITE_ROW) return StatusFromSqlite(code);
      if (best_count < 0 || count.Int(0) < best_count) {
        best = i;
        best_count = count.Int(0);
      }
      count.Reset();
    }
  }
  Statement query(db->sql,
                  "SELECT DISTINCT t.note_id FROM text_index t JOIN notes n ON n.id = t.note_id"
                  " WHERE t.name = ?1 AND t.value = ?2 AND (n.class & ?3) != 0"
                  " ORDER BY t.note_id");
  std::string value = cut(terms[best].value);
  query.BindBlob(1, terms[best].item.data(), terms[best].item.size());
  query.BindBlob(2, value.data(), value.size());
  query.Bind(3, class_mask);
  int code;
  while ((code = query.Step()) == SQLITE_ROW) ids_r->push_back(static_cast<NOTEID>(query.Int(0)));
  return code == SQLITE_DONE ? NOERROR : StatusFromSqlite(code);
}

}  // namespace notes_internal
