// notes_handles.h - owners for the Notes handles a deliverable opens or allocates itself.
//
// What it is for: a database or note opened, or a memory block (a compiled formula, a
// computed result) allocated, by the system is closed or freed on every path, including
// the early returns of the many failure branches. Handles the router hands to a hook are
// the router's and are never put into these.
//
// Ownership: each owner releases its handle once, on destruction or Close(), with the call
// that matches how it was obtained. Locks: none; an owner belongs to one thread.
#pragma once

#include "platform/notes/notes.h"

namespace foundation {

template <STATUS (*kRelease)(DHANDLE)>
class NotesHandleOwner {
 public:
  NotesHandleOwner() = default;
  explicit NotesHandleOwner(DHANDLE handle) : handle_(handle) {}
  ~NotesHandleOwner() { (void)Close(); }
  NotesHandleOwner(const NotesHandleOwner&) = delete;
  NotesHandleOwner& operator=(const NotesHandleOwner&) = delete;

  [[nodiscard]] DHANDLE get() const { return handle_; }
  // For the Notes call that fills the handle. REQUIRES: the owner holds nothing.
  DHANDLE* out() { return &handle_; }
  // Releases the handle now; the status of the release call, NOERROR when there was none.
  STATUS Close() {
    STATUS status = NOERROR;
    if (handle_ != NULLHANDLE) status = kRelease(handle_);
    handle_ = NULLHANDLE;
    return status;
  }

 private:
  DHANDLE handle_ = NULLHANDLE;
};

using NoteOwner = NotesHandleOwner<&NSFNoteClose>;
using DbOwner = NotesHandleOwner<&NSFDbClose>;
// A block of Notes memory: a compiled formula, a computed result.
using MemoryOwner = NotesHandleOwner<&OSMemFree>;

}  // namespace foundation
