// file_ops.h - moving a file into place with retries.
//
// What it is for: job files are published by renaming them (0.hdf to 0.hdr, a header file
// to its note-ID name). The engine, a virus scanner or a backup agent may hold either name
// open for a moment, so a failed rename is retried a few times before the target is
// deleted and the move tried a last time.
//
// Ownership: none; the files belong to the caller. Locks: none; the pauses sleep the
// calling thread (at most about half a second for the spool rename, two seconds for the
// scanner's).
#pragma once

#include <string_view>

#include "platform/win32/windows.h"

namespace foundation {

// Where the lines of a rename go: the debug log for the real-time path, the scan log for
// the database scanner.
using LogLineSink = void (*)(std::string_view line);

// The real-time path's rename: one try, then up to 10 more 50 ms apart, one more, then the
// target is deleted and the move tried a final time. Logs through the debug log ("Can't
// rename from %s to %s... Reason above", "M10; Rename now successful.", "M11; ERROR!!!
// Still Unable to Rename!...Reason above", each failure with the system text before it).
// True when the file was moved.
[[nodiscard]] bool MoveFileWithRetry(std::string_view from, std::string_view to);

// The database scanner's rename: one try, then up to 20 more 100 ms apart, one more, then
// the target is deleted and the move tried a final time. Writes its lines ("M10 Rename now
// successful.", "M11 Still unable to Rename!", the system text of a failure) to `log`
// (none: no lines). True when the file was moved.
[[nodiscard]] bool MoveFileWithRetryForScan(std::string_view from, std::string_view to,
                                            LogLineSink log);

}  // namespace foundation
