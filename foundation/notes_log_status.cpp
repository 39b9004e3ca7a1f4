// notes_log_status.cpp - the Notes status text in the logs (see log.h). Kept apart from
// log.cpp because it is the one logging call that needs the Notes runtime: deliverables
// that link no Notes library (the updater) leave this unit out.
#include <cstdio>

#include "foundation/log.h"
#include "foundation/utilities.h"
#include "platform/notes/notes.h"

namespace foundation {

std::string NotesStatusText(unsigned long status) {
  char text[kStatusTextBytes] = {};
  const WORD length =
      OSLoadString(NULLHANDLE, static_cast<STATUS>(status & ERR_MASK), text, sizeof(text));
  if (length == 0) return {};
  TrimBoth(text);
  return text;
}

void LogStatus(unsigned long status) {
  const int code = static_cast<int>(status & 0xFFFF);
  if (code == 0 || DebugLevel() == 0) return;
  const std::string text = NotesStatusText(status);
  LogAlways(text.empty()
                ? StringPrintf("STATUS: %d (Unable to locate message in string tables)", code)
                : StringPrintf("STATUS: %d (%s)", code, text.c_str()));
}

}  // namespace foundation
