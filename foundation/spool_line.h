// spool_line.h - the values of the spool's "Key: value" lines.
//
// What it is for: a job header (0.hdr of a real-time job, <NoteID>.hdr of a database-scanner
// job) and every other spool file of that grammar hold one value per line, and a line ends
// at CR or LF. Most values come from the mail and so from its sender: a subject whose
// encoded word decodes to a line feed, a folded From, a display name or a file name with a
// CR in it. Written as they are, they would end their line early and let the sender write
// lines of his own ("Body:", "Attachment:") into the job. Every writer of such a line passes
// its value through OneLineValue first.
//
// Ownership: values are returned by value. Locks: none; no state.
#pragma once

#include <string>
#include <string_view>

namespace foundation {

// The value with CR, LF and every other control character (below 0x20, and DEL) replaced
// by a blank, so that it stays on its line. Other bytes (UTF-8 text included) are kept.
[[nodiscard]] std::string OneLineValue(std::string_view value);

}  // namespace foundation
