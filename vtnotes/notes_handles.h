// notes_handles.h - owners for the Notes handles the extension opens itself.
//
// What it is for: a database or note opened by the extension is closed on every path,
// including the early returns of its many failure branches. Handles the router hands to a
// hook are the router's and are never put into these.
//
// Ownership: each owner closes its handle once, on destruction or Close(). Locks: none.
#pragma once

#include "platform/notes/notes.h"

namespace vtnotes {

class NoteOwner {
 public:
  NoteOwner() = default;
  explicit NoteOwner(NOTEHANDLE note) : note_(note) {}
  ~NoteOwner() { (void)Close(); }
  NoteOwner(const NoteOwner&) = delete;
  NoteOwner& operator=(const NoteOwner&) = delete;
  [[nodiscard]] NOTEHANDLE get() const { return note_; }
  NOTEHANDLE* out() { return &note_; }
  STATUS Close() {
    STATUS status = NOERROR;
    if (note_ != NULLHANDLE) status = NSFNoteClose(note_);
    note_ = NULLHANDLE;
    return status;
  }

 private:
  NOTEHANDLE note_ = NULLHANDLE;
};

class DbOwner {
 public:
  DbOwner() = default;
  explicit DbOwner(DBHANDLE db) : db_(db) {}
  ~DbOwner() { (void)Close(); }
  DbOwner(const DbOwner&) = delete;
  DbOwner& operator=(const DbOwner&) = delete;
  [[nodiscard]] DBHANDLE get() const { return db_; }
  DBHANDLE* out() { return &db_; }
  STATUS Close() {
    STATUS status = NOERROR;
    if (db_ != NULLHANDLE) status = NSFDbClose(db_);
    db_ = NULLHANDLE;
    return status;
  }

 private:
  DBHANDLE db_ = NULLHANDLE;
};

}  // namespace vtnotes
