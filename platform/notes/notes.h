// notes.h - the Notes C API of the platform, in one include.
//
// What it is for: every system unit that talks to Notes includes this header. The calls
// keep their Notes names and signatures; results are 16-bit STATUS words (0 = success),
// texts through OSLoadString. See the unit headers for ownership and locking.
#pragma once

#include "platform/notes/notes_types.h"
#include "platform/notes/notes_runtime.h"
#include "platform/notes/notes_nsf.h"
#include "platform/notes/notes_mail.h"
#include "platform/notes/notes_search.h"
#include "platform/notes/notes_hooks.h"
#include "platform/notes/notes_addin.h"
