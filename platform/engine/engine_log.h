// engine_log.h - the engine's diagnostic lines.
//
// One line per event, "vantrel: <UTC time> <text>", on standard error and, once
// OpenLogFile has named one, appended to the engine's log file in the report directory
// (vantrel.log), each written whole under a lock so that lines of several worker threads
// never interleave. Verbose lines (one per job) are written only when verbose logging is on.
//
// Ownership: the log file is owned here, opened by OpenLogFile and closed by CloseLogFile
// (or at exit). Thread rules: every function may be called from any thread.
#pragma once

#include <string>

namespace vtengine {

inline constexpr const char* kEngineLogFileName = "vantrel.log";

void SetVerboseLog(bool verbose);

// Appends every later line to `path` as well (created if absent). False with `error_r`
// when it cannot be opened; the lines then go to standard error only.
[[nodiscard]] bool OpenLogFile(const std::string& path, std::string* error_r);
void CloseLogFile();

// printf-style; the line end is added.
void LogLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
void LogVerbose(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace vtengine
