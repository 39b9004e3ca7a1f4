// vtnotes_log.h - the extension's four ways of writing a line.
//
// What it is for: every routine of the extension reports through these, so the choice of
// log follows one rule throughout:
//   Log      a debug line, written at verbosity 1 and 2;
//   Trace    a step-by-step line, written only at verbosity 2;
//   Always   a debug-log line written at every verbosity;
//   Event    a line of vtnotes.log (the event log), whatever the verbosity.
// A failed system call is logged with SystemErrorLine (at every verbosity) before the
// routine's own message, a failed Notes call with the foundation's LogStatus.
//
// Ownership: none; the log files belong to the foundation's logging unit. Locks: the debug
// log is written under "LogFile" by the foundation; nothing here holds a lock.
#pragma once

#include <string>
#include <string_view>

#include "platform/notes/notes_types.h"

namespace vtnotes {

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Always(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Event(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "<system message> (0x<code>)" of the calling thread's last error, on a line of its own.
void SystemErrorLine();

// printf into a std::string, cut at 5120 bytes like every log line.
[[nodiscard]] std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace vtnotes
