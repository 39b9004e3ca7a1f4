// watchdog_open.cpp - see watchdog_open.h.
#include "vtsweep/watchdog_open.h"

#include <memory>
#include <mutex>
#include <thread>

#include "foundation/named_objects.h"
#include "platform/win32/windows.h"
#include "vtsweep/sweep_log.h"

namespace vtsweep {
namespace {

// Paths are handed to the open thread cut to this many characters.
constexpr std::size_t kOpenPathChars = 260;

struct OpenState {
  std::string path;
  foundation::UniqueHandle done;  // manual reset, set by the thread when it has finished
  std::mutex mutex;
  bool abandoned = false;         // guarded by mutex: the caller has stopped waiting
  DBHANDLE db = NULLHANDLE;       // guarded by mutex: handed over unless abandoned
};

void OpenThread(std::shared_ptr<OpenState> state) {
  if (NotesInitThread() != NOERROR) {
    WriteLog("unable to Initalize the Noteinitthread in ThreadFunc", kLogStamped);
    SetEvent(state->done.get());
    return;
  }
  DBHANDLE db = NULLHANDLE;
  STATUS status = NSFDbOpen(state->path.c_str(), &db);
  if (status != NOERROR) {
    LogNotesStatus(status);
    WriteLog("Unable to get Database Handle... Error is above", kLogStamped);
    db = NULLHANDLE;
  }
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (state->abandoned) {
      // Nobody takes the handle any more: close it while this thread may still use Notes.
      if (db != NULLHANDLE) (void)NSFDbClose(db);
    } else {
      state->db = db;
    }
  }
  SetEvent(state->done.get());
  NotesTermThread();
}

}  // namespace

DbHandle OpenDatabaseWithWatchdog(const std::string& path, DWORD limit_ms) {
  auto state = std::make_shared<OpenState>();
  state->path = path.substr(0, kOpenPathChars);
  // An event of its own for every open, so that an abandoned open that finishes late
  // cannot wake the wait of a later one.
  state->done.reset(CreateEvent(nullptr, TRUE, FALSE, nullptr));
  if (!state->done.valid()) {
    LogSystemError();
    return DbHandle();
  }
  try {
    std::thread(OpenThread, state).detach();
  } catch (const std::system_error&) {
    LogSystemError();
    return DbHandle();
  }
  const DWORD waited = WaitForSingleObject(state->done.get(), limit_ms);
  std::lock_guard<std::mutex> lock(state->mutex);
  // A thread that handed its handle over just as the wait ran out has opened the database
  // after all: the handle is taken rather than lost.
  if (waited != WAIT_OBJECT_0 && state->db == NULLHANDLE) {
    state->abandoned = true;
    return DbHandle();
  }
  DbHandle db(state->db);
  state->db = NULLHANDLE;
  return db;
}

}  // namespace vtsweep
