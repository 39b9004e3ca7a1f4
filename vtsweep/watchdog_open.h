// watchdog_open.h - opening a database with a time limit.
//
// What it is for: a database on a damaged disk, a file that only looks like a database, or
// one locked by a stuck process can hang an open for a long time; one such database must
// not stop a whole scheduled run. The open runs on a short-lived thread of its own; the
// caller waits at most the limit (10 s) and then abandons it and carries on. A thread
// cannot be killed safely here, so an abandoned open that completes later closes what it
// opened itself.
//
// Ownership: the DbHandle returned owns the database handle and closes it on destruction.
// The state shared with an open thread is reference-counted: the last of the two to let go
// frees it.
//
// Locks: one small mutex per open, between the caller and its thread, so that exactly one
// of them owns the handle. The open thread brackets its Notes work with NotesInitThread
// and NotesTermThread.
#pragma once

#include <string>

#include "platform/notes/notes.h"

namespace vtsweep {

inline constexpr DWORD kDatabaseOpenLimitMs = 10000;

// Owner of a database handle opened by the scanner.
class DbHandle {
 public:
  DbHandle() = default;
  explicit DbHandle(DBHANDLE db) : db_(db) {}
  ~DbHandle() { (void)Close(); }
  DbHandle(DbHandle&& other) noexcept : db_(other.db_) { other.db_ = NULLHANDLE; }
  DbHandle& operator=(DbHandle&& other) noexcept {
    if (this != &other) {
      (void)Close();
      db_ = other.db_;
      other.db_ = NULLHANDLE;
    }
    return *this;
  }
  DbHandle(const DbHandle&) = delete;
  DbHandle& operator=(const DbHandle&) = delete;

  [[nodiscard]] DBHANDLE get() const { return db_; }
  [[nodiscard]] bool valid() const { return db_ != NULLHANDLE; }
  STATUS Close() {
    STATUS status = NOERROR;
    if (db_ != NULLHANDLE) status = NSFDbClose(db_);
    db_ = NULLHANDLE;
    return status;
  }

 private:
  DBHANDLE db_ = NULLHANDLE;
};

// Opens the database on a thread of its own and waits at most limit_ms for it. An invalid
// handle when the open failed (logged by the thread) or did not finish in time.
[[nodiscard]] DbHandle OpenDatabaseWithWatchdog(const std::string& path,
                                                DWORD limit_ms = kDatabaseOpenLimitMs);

}  // namespace vtsweep
