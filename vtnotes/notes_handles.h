// notes_handles.h - owners for the Notes handles the extension opens itself: the
// foundation's (foundation/notes_handles.h), under the extension's names.
#pragma once

#include "foundation/notes_handles.h"

namespace vtnotes {

using foundation::DbOwner;
using foundation::NoteOwner;

}  // namespace vtnotes
