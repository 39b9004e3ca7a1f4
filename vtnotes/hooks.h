// hooks.h - the four entries the router calls, and the background threads behind them.
//
// What it is for: the router loads the library and calls MainEntryPoint once with its hook
// vector; from then on it calls TrackerNoteOpen before it sees a note, TrackerNoteUpdate
// before it writes or deletes one, and TrackerTerm when the task ends. The exported C
// entries (exports.cpp) forward to these.
//
// Termination: TrackerTerm sets the shutdown flag and the stop event, waits until the hooks
// in flight have returned and both background threads have ended (they notice within a
// fraction of a second), and only then closes the named objects and empties the spool. So
// no thread of the library runs any more when the server unloads it.
//
// Locks: see extension_state.h.
#pragma once

#include <string>

#include "platform/notes/notes.h"
#include "platform/win32/windows.h"

namespace vtnotes {

inline constexpr STATUS kStatusMarkedForDeletion = 582;

STATUS EntryPoint(DBHOOKVEC* vector);
STATUS Term(DBHOOKVEC* vector);
STATUS NoteOpen(DBHOOKVEC* vector, char* user_name, void* group_list, DBHANDLE db,
                NOTEID note_id, NOTEHANDLE note, WORD open_flags);
STATUS NoteUpdate(DBHOOKVEC* vector, char* user_name, void* group_list, DBHANDLE db,
                  NOTEID note_id, NOTEHANDLE note, WORD* update_flags);

// True when the running program is the router (nRouter, any case, with or without .exe),
// or when its name cannot be obtained.
[[nodiscard]] bool IsRouterProgram();

// The deletion thread (ProcessMAILBOX) and the job release shared with TrackerNoteUpdate.
// A release for the mail's deletion (mail_deleted) keeps the record of a mail marked for
// deletion, so that a late open of it is still refused (see job_list.h); its job
// directories go all the same.
DWORD WINAPI ProcessMAILBOX(LPVOID parameter);
void ReleaseJob(const char* caller, const std::string& out_directory,
                const std::string& mailbox_number, NOTEID note_id, bool mail_deleted = false);
[[nodiscard]] STATUS DeleteMailFromMAILBOX(DBHANDLE db, NOTEID note_id);
// One round of the deletion thread over the DeletionList (the body of its loop, exposed
// for tests). The caller has initialised Notes on the thread.
void DeleteMarkedMails();
// Releases every job idle for more than max_age_ms, under MutexNoteUpdate.
void SweepIdleJobs(DWORD max_age_ms);

}  // namespace vtnotes
