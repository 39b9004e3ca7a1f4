// notes.h - the Notes C API of the platform, in one include.
//
// What it is for: every system unit that talks to Notes includes this header. The calls
// keep their Notes names and signatures; results are 16-bit STATUS words (0 = success),
// texts through OSLoadString. The unit headers say who owns what and which locks guard it:
//   notes_types.h    types, item types and flags, note classes, status codes
//   notes_runtime.h  NotesInit*, threads, status texts, notes.ini, memory, time
//   notes_nsf.h      databases, notes, items, value layouts, attachments
//   notes_mail.h     header items by number, body text, body items, MIME bodies
//   notes_search.h   NSFFormulaCompile, NSFSearch, NSFCompute*
//   notes_hooks.h    database hook vectors, the hook library loader
//   notes_addin.h    server add-in task services
//
// Using it: link vt_notes (a shared library, so a task and the hook libraries it loads share
// one runtime). Start the runtime with NotesInitExtended after the root is known (VT_SYSROOT,
// or vtplatform::SetSystemRoot in tests); every other thread brackets its Notes work with
// NotesInitThread/NotesTermThread, which checked builds enforce. Names beginning with Vt are
// the stand-in's own additions (test seams, conveniences) and have no Notes counterpart.
#pragma once

#include "platform/notes/notes_types.h"
#include "platform/notes/notes_runtime.h"
#include "platform/notes/notes_nsf.h"
#include "platform/notes/notes_mail.h"
#include "platform/notes/notes_search.h"
#include "platform/notes/notes_hooks.h"
#include "platform/notes/notes_addin.h"
