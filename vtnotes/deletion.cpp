// deletion.cpp - deferred deletion of marked mails, the sweep of idle jobs, the job release
// and the note-update hook.
//
// The note-open hook cannot delete the note the router is opening; it marks the job and
// enters the mail in the DeletionList. ProcessMAILBOX, a thread of its own, opens the mail
// box every ProcessDeleteMailInSeconds and deletes the marked notes; between rounds it
// releases jobs that nobody opened for a minute. TrackerNoteUpdate releases a job at once
// when the router removes its note.
//
// Locks: MailBoxMutex around the DeletionList, gMutex around the JobList (at most 4000 ms
// in the job release), MutexNoteUpdate around a release so the hook and the sweep never
// release at the same time. Order: MutexNoteUpdate, gMutex, MailBoxMutex.
#include <cstdio>

#include "foundation/log.h"
#include "vtnotes/extension_state.h"
#include "vtnotes/hooks.h"
#include "vtnotes/spool.h"
#include "vtnotes/vtnotes_log.h"

namespace vtnotes {
namespace {

constexpr DWORD kReleaseLockMs = 4000;
constexpr DWORD kIdleJobMs = 60000;

std::string HexNoteId(NOTEID note_id) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%lx", static_cast<unsigned long>(note_id));
  return hex;
}

// The mailbox number as job names carry it: none for mail.box.
std::string JobMailboxNumber(const std::string& number) {
  return (number.empty() || number == "0") ? std::string() : number;
}

// A note of this process's DBHANDLE, closed on every path.
class DbHolder {
 public:
  explicit DbHolder(DBHANDLE db) : db_(db) {}
  ~DbHolder() { Close(); }
  DbHolder(const DbHolder&) = delete;
  DbHolder& operator=(const DbHolder&) = delete;
  void Close() {
    if (db_ == NULLHANDLE) return;
    Trace("Closing Database...");
    STATUS status = NSFDbClose(db_);
    if (status != NOERROR) {
      foundation::LogStatus(status);
      Always("ERROR!!! NSFDbclose Fails **** Reason above ***");
    } else {
      Trace("Closing Database Successful...");
    }
    db_ = NULLHANDLE;
  }
  [[nodiscard]] DBHANDLE get() const { return db_; }

 private:
  DBHANDLE db_;
};

}  // namespace

STATUS DeleteMailFromMAILBOX(DBHANDLE db, NOTEID note_id) {
  if (db == NULLHANDLE || note_id == 0) return 1;
  STATUS status = NSFNoteDelete(db, note_id, UPDATE_FORCE);
  if (status != NOERROR) {
    foundation::LogStatus(status);
    Always("ERROR!!! Unable to DeleteMailFromMAILBOX in mail.box... Reason above.");
  }
  return status;
}

void ReleaseJob(const char* caller, const std::string& out_directory,
                const std::string& mailbox_number, NOTEID note_id, bool mail_deleted) {
  ExtensionState& state = State();
  const std::string job_id = mailbox_number + HexNoteId(note_id);
  const std::string out_job = JoinPath(out_directory, job_id);
  const std::string in_job = JoinPath(state.in_directory, job_id);
  const std::string name = JobMutexName(job_id);
  Trace("[%s] Locking mutex gMutexHandle for Path=%s MailBoxNumber=%s, NoteID=%lx...", caller,
        out_directory.c_str(), mailbox_number.c_str(), static_cast<unsigned long>(note_id));
  {
    foundation::MutexHold hold(state.g_mutex.get(), kReleaseLockMs);
    if (!hold.held()) {
      // The wait is 4000 ms; the line has always named 1000 ms.
      Log("[%s]: NOT LOCKED gMutexHandle within 1000 ms!", caller);
      return;
    }
    std::shared_ptr<JobRecord> record = state.job_list.Remove(name);
    // The record itself (and its job mutex handle) goes when the last note-open using it
    // lets go of its reference.
    if (record && mail_deleted && record->marked_for_deletion) {
      // The hooks run before the note is gone: an open that read the note a moment ago
      // must still be refused, not forward or scan the mail a second time.
      record->mail_deleted = true;
      state.job_list.Append(record);
      Log("%s Kept in Memory as its mail is being deleted", name.c_str());
    } else if (record) {
      Log("%s Deleted From Memory", name.c_str());
    }
  }
  Trace("[%s] UNLocking mutex gMutexHandle for Path=%s MailBoxNumber=%s, NoteID=%lx...",
        caller, out_directory.c_str(), mailbox_number.c_str(),
        static_cast<unsigned long>(note_id));
  if (DirectoryExists(out_job)) {
    DeleteTree(out_job, true);
    Log("Deleted %s Directory", out_job.c_str());
    Always("[%lx] Deleting IN Folder = %s if Present", static_cast<unsigned long>(note_id),
           in_job.c_str());
    if (DirectoryExists(in_job)) {
      Always("[%lx] IN Folder = %s Present. So deleting now...",
          static_cast<unsigned long>(note_id), in_job.c_str());
      DeleteTree(in_job, true);
    }
  } else {
    Trace("%s File Not Present", out_job.c_str());
    // An IN job whose answer is already gone is released all the same.
    DeleteTree(in_job, true);
  }
}

void DeleteMarkedMails() {
  ExtensionState& state = State();
  int position = -1;
  for (;;) {
    DeletionList::Next next;
    {
      foundation::MutexHold hold(state.mailbox_mutex.get());
      if (state.deletion_list.Count() == 0) break;
      Trace("Calling GetNoteID for index=%d...", position);
      next = state.deletion_list.FindNext(position);
    }
    if (next.note_id == 0) {
      Trace("NoteID = 0. Breaking...");
      break;
    }
    position = next.slot;
    const std::string number = JobMailboxNumber(next.mailbox_number);
    const std::string box = "mail" + number + ".box";
    Trace("Calling NSFDbOpen() for MailBoxName=%s...", box.c_str());
    DBHANDLE raw_db = NULLHANDLE;
    STATUS status = NSFDbOpen(box.c_str(), &raw_db);
    if (status != NOERROR) {
      foundation::LogStatus(status);
      Always("ERROR!!! Unable to Open %s.  Reason above", box.c_str());
      Sleep(1);
      continue;
    }
    DbHolder db(raw_db);
    Trace("MailBox Open Properly");
    const std::string name = JobMutexName(number + HexNoteId(next.note_id));

    bool marked = false;
    {
      foundation::MutexHold g_hold(state.g_mutex.get());
      std::shared_ptr<JobRecord> record = state.job_list.Find(name);
      if (record && record->marked_for_deletion) {
        marked = true;
        Trace("Got NoteID[%lx] from list index = %d", static_cast<unsigned long>(next.note_id),
              next.slot);
      } else {
        // A slot whose mail is not (or no longer) marked is dropped, under gMutex so that
        // no note-open marks it meanwhile.
        foundation::MutexHold mb_hold(state.mailbox_mutex.get());
        state.deletion_list.Clear(next.slot);
        if (record)
          Always("ERROR!!! %s Mail has ***NOT *** been marked as deletion so return error code. "
              "in \"ProcessMAILBOX\"",
              name.c_str());
        else
          Always("ERROR!!! Note ID %s not in the Global List in fn \"ProcessMAILBOX\"",
              name.c_str());
      }
    }
    if (!marked) continue;

    status = DeleteMailFromMAILBOX(db.get(), next.note_id);
    Trace("Out of DeleteMailFromMAILBOX...");
    // A note already gone from the box needs no second attempt either.
    if (status != NOERROR && ERR(status) != ERR_INVALID_NOTE) {
      Always("ERROR!! DeleteMailFromMAILBOX Function fails in Mail Box Thread");
    } else {
      std::string entry;
      {
        foundation::MutexHold hold(state.mailbox_mutex.get());
        entry = state.deletion_list.Slot(next.slot);
        state.deletion_list.Clear(next.slot);
      }
      Trace("Freeing index = %d %s", next.slot, entry.c_str());
    }
    db.Close();
    if (state.shutdown) {
      Always("SERVER SHUTTING DOWN NOW....");
      break;
    }
    Sleep(1);
  }
}

void SweepIdleJobs(DWORD max_age_ms) {
  ExtensionState& state = State();
  foundation::MutexHold update_hold(state.note_update_mutex.get());
  std::vector<std::shared_ptr<JobRecord>> idle;
  {
    foundation::MutexHold hold(state.g_mutex.get());
    idle = state.job_list.Idle(GetTickCount(), max_age_ms);
  }
  for (const auto& record : idle) {
    Always("(1) Releasing MailboxNumber = \"%s\" NotesID = %lx...", record->mailbox_number.c_str(),
           static_cast<unsigned long>(record->note_id));
    ReleaseJob("ProcessMAILBOX", state.out_directory, record->mailbox_number, record->note_id);
  }
}

DWORD WINAPI ProcessMAILBOX(LPVOID) {
  ExtensionState& state = State();
  DWORD last_sweep = GetTickCount();
  try {
    while (!state.shutdown) {
      STATUS status = NotesInitThread();
      if (status != NOERROR) {
        foundation::LogStatus(status);
        Always("ERROR!!! Unable to do NotesInitThread function in thread function. Reason above");
        return 0;
      }
      Trace("NotesIDCount = %d...", state.deletion_list.Count());
      DeleteMarkedMails();
      if (state.shutdown) {
        Always("SERVER SHUTTING DOWN NOW....");
        NotesTermThread();
        return 0;
      }
      Trace("Calling NotesTermThread()...");
      NotesTermThread();

      // The sleep ends at once when TrackerTerm sets the stop event.
      DWORD interval = static_cast<DWORD>(std::max<long>(0, state.delete_interval_ms.load()));
      if (WaitForSingleObject(state.stop_event.get(), interval) == WAIT_OBJECT_0) break;

      Trace("Getting into proc for deleting Folders...");
      if (GetTickCount() - last_sweep > kIdleJobMs) {
        last_sweep = GetTickCount();
        SweepIdleJobs(kIdleJobMs);
      }
    }
  } catch (...) {
    Always("ERROR!!! in ProcessMAILBOX");
  }
  Always("SERVER SHUTTING DOWN NOW....");
  return 0;
}

STATUS NoteUpdate(DBHOOKVEC*, char*, void*, DBHANDLE db, NOTEID note_id, NOTEHANDLE note,
                  WORD* update_flags) {
  ExtensionState& state = State();
  if (note_id == 0 || note == NULLHANDLE || update_flags == nullptr ||
      !(*update_flags & UPDATE_DELETED))
    return NOERROR;
  // Counted before the flags are read (see TrackerTerm).
  ++state.hooks_in_flight;
  struct InFlight {
    ~InFlight() { --State().hooks_in_flight; }
  } in_flight;
  if (!state.started || state.shutdown) return NOERROR;
  try {
    char canonical[MAXPATH] = {};
    STATUS status = NSFDbPathGet(db, canonical, nullptr);
    if (status != NOERROR) {
      Log("ERROR!!! in NSFDBPathGet");
      foundation::LogStatus(status);
      return status;
    }
    if (!IsRouterMailBox(canonical)) return NOERROR;
    Trace("Document Deleting...");
    const std::string number = MailboxNumber(canonical);
    if (state.keep_out_jobs) return NOERROR;
    foundation::MutexHold hold(state.note_update_mutex.get(), kReleaseLockMs);
    if (!hold.held()) {
      Log("[TrackerNoteUpdate]: NOT LOCKED hMutexNoteUpdate within 1000 ms!");
      return NOERROR;
    }
    ReleaseJob("TrackerNoteUpdate", state.out_directory, number, note_id, true);
  } catch (...) {
    Always("ERROR!!! in TrackerNoteUpdate");
  }
  return NOERROR;
}

}  // namespace vtnotes
