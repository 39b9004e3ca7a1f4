// engine_log.h - the engine's diagnostic lines.
//
// One line per event on standard error, "vantrel: <UTC time> <text>", written whole under
// a lock so that lines of several worker threads never interleave. Verbose lines (one per
// job) are written only when verbose logging is on.
//
// Ownership: none. Thread rules: every function may be called from any thread.
#pragma once

namespace vtengine {

void SetVerboseLog(bool verbose);

// printf-style; the line end is added.
void LogLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
void LogVerbose(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace vtengine
