// refusing_hook.cpp - a hook library for the loader test: its note-open hook refuses every
// note that carries an item "Refuse", with the status the real-time extension uses for a
// mail being deleted.
#include "platform/notes/notes.h"

namespace {

STATUS RefuseMarkedNotes(DBHOOKVEC*, char*, void*, DBHANDLE, NOTEID, NOTEHANDLE note, WORD) {
  return NSFItemIsPresent(note, "Refuse", 6) ? ERR_NOTE_DELETED : NOERROR;
}

}  // namespace

extern "C" STATUS MainEntryPoint(DBHOOKVEC* vector) {
  vector->NoteOpen = RefuseMarkedNotes;
  return NOERROR;
}
