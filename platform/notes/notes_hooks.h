// notes_hooks.h - database hooks: the hook vector, its dispatch and the library loader.
//
// What it is for: a server task loads the hook libraries named in notes.ini (NSF_HOOKS,
// comma-separated; a bare name is looked up in the program directory, also as lib<name>.so)
// and calls each one's MainEntryPoint with a hook vector of its own. From then on every note
// this process opens, updates or deletes passes through the installed hooks, in load order:
//   note-open    after the note is read, before the opener sees it; a non-zero status fails
//                the open with that status;
//   note-update  before the write; note ID 0 for a new note; items the hook sets on the note
//                handle are written with the note; a non-zero status fails the update;
//   deletion     a note-update with UPDATE_DELETED in *flags and the handle of the note;
//   term         at NotesTerm.
// Hooks may call Notes themselves, also on the same database, and their calls pass through
// the hooks too. No lock is held while a hook runs.
// Ownership: the runtime owns the vectors and the loaded libraries until NotesTerm.
// Locks: one registry lock, never held across a hook call.
#pragma once

#include "platform/notes/notes_types.h"

struct DBHOOKVEC;
using DBHOOKTERMPROC = STATUS (*)(DBHOOKVEC* vector);
using DBHOOKNOTEOPENPROC = STATUS (*)(DBHOOKVEC* vector, char* user_name, void* group_list,
                                      DBHANDLE db, NOTEID note_id, NOTEHANDLE note,
                                      WORD open_flags);
using DBHOOKNOTEUPDATEPROC = STATUS (*)(DBHOOKVEC* vector, char* user_name, void* group_list,
                                        DBHANDLE db, NOTEID note_id, NOTEHANDLE note,
                                        WORD* update_flags);
// Pointer-sized slots; counting from 1, slot 3 is term, 4 note-open, 5 note-update.
struct DBHOOKVEC {
  void* Reserved1;
  void* Reserved2;
  DBHOOKTERMPROC Term;
  DBHOOKNOTEOPENPROC NoteOpen;
  DBHOOKNOTEUPDATEPROC NoteUpdate;
  void* Reserved6;
  void* Reserved7;
  void* Reserved8;
};
using DBHOOKENTRYPROC = STATUS (*)(DBHOOKVEC* vector);
#define DBHOOK_ENTRY_NAME "MainEntryPoint"

// Loads every library named in NSF_HOOKS that is not loaded yet and calls its entry. A
// library that fails to load or lacks the entry is skipped; the first such failure is
// returned after the others were loaded (ERR_HOOK_LOAD).
[[nodiscard]] STATUS VtLoadHookLibraries();
// Loads one library by path and calls its entry.
[[nodiscard]] STATUS VtLoadHookLibrary(const char* path);
// Tests: runs entry with a fresh vector and installs what it stored; or installs a vector
// filled by the caller. Returns the vector the runtime keeps (valid until removal).
DBHOOKVEC* VtInstallHookEntry(DBHOOKENTRYPROC entry);
DBHOOKVEC* VtInstallHookVector(const DBHOOKVEC& vector);
// Removes every installed vector without calling term hooks. Libraries stay mapped; a later
// VtLoadHookLibraries calls their entries again.
void VtRemoveHooks();
