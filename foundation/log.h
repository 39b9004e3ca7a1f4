// log.h - the diagnostic logs: the rolling debug log, the event log, the scratch log and
// the line layouts every deliverable writes.
//
// What it is for: the system reports a failure by writing a line and returning a code. The
// text of a failed system call (ErrorText) or Notes call (LogStatus) goes on the line
// before the failing routine's own message, which then ends "Reason above". Nothing here
// ever reports an error to its caller: a log file that cannot be opened loses the line.
//
//   debug log   LogDebug (only at debug level 1 or 2) and LogAlways (always) append to a
//               file "dd-mm-yyyy-hh-mm-ss.log" in the report directory, named when it is
//               opened; after LogBufSize lines the next line opens a new file.
//   event log   LogEvent appends to vtnotes.log in the report directory, whatever the
//               level: the few lines that must survive a debug level of 0.
//   scratch log ScratchLog appends to a file the program names (SetScratchLogFile), else
//               to a unique "LMF*.LOG" file in the temporary directory.
//
// Set-up: a program or extension calls InitLog once with its report directory, program
// name, debug level and line budget (ReadLogSettings gathers them from the settings stores)
// before it logs; until then lines go to the current directory at level 0.
//
// Ownership: the debug log's file handle, line counter and the "LogFile" mutex handle are
// process-wide and owned here; CloseLog releases them.
//
// Locks: the debug log's counter and handle are touched only while the named mutex
// "LogFile" is held (and, inside it, an in-process mutex, which also serves when the named
// one cannot be created). The event and scratch logs open, append and close per line and
// rely on shared-write opening instead of a lock.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/win32/windows.h"

namespace foundation {

// LogDebug formats at most this many bytes of text; the rest is cut.
inline constexpr std::size_t kLogTextBytes = 5120;
// Lines per debug log file when the registry does not say otherwise.
inline constexpr long kDefaultLogBufSize = 10000;
// LogBufSize value for a debug log that never rolls.
inline constexpr long kLogNeverRolls = -1;
// Name of the named mutex that serialises the debug log.
inline constexpr const char* kLogFileMutexName = "LogFile";
// File of the event log in the report directory.
inline constexpr const char* kEventLogFileName = "vtnotes.log";
// Scratch lines marked as filtered are written only from this scratch level on.
inline constexpr int kScratchFilterLevel = 5;

struct LogSettings {
  std::string report_directory;  // empty: the current directory
  std::string program_name;      // empty: the running program's file name
  int debug_level = 0;           // 0 (quiet), 1 or 2 (more lines from some callers)
  long log_buf_size = kDefaultLogBufSize;  // lines per debug log file; kLogNeverRolls
};

// Sets the process's logging up (and opens the "LogFile" mutex). May be called again, for
// example after a settings reload; an open debug log file stays open.
void InitLog(const LogSettings& settings);

// Closes the debug log file and the mutex, and resets the line counter.
void CloseLog();

[[nodiscard]] LogSettings CurrentLogSettings();
void SetDebugLevel(int level);
[[nodiscard]] int DebugLevel();
void SetLogBufSize(long lines);

// Debug level of a VTDEBUG number: 2 from level2_from on, 1 from level1_from on, else 0.
// Start-up uses the bounds 5 and 10; the note-open hook uses 6 and 11.
[[nodiscard]] int DebugLevelFromNumber(long number, long level1_from = 5, long level2_from = 10);

// Path of a log file in the report directory (the bare name when the directory is empty).
[[nodiscard]] std::string LogFilePath(std::string_view report_directory,
                                      std::string_view file_name);

// Formats the text (printf rules, cut to kLogTextBytes) and writes it to the debug log
// unless the debug level is 0.
void LogDebug(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes the text to the debug log whatever the level; an empty text writes nothing.
void LogAlways(std::string_view text);

// Writes the text to the event log vtnotes.log whatever the level; an empty text writes
// nothing.
void LogEvent(std::string_view text);

// The Notes status calls below are part of vt_foundation_notes, which links Notes.
//
// Bytes of the buffer a Notes status text is loaded into; longer texts are cut.
inline constexpr std::size_t kStatusTextBytes = 1024;

// The Notes text of (status AND 0x3FFF), trimmed at both ends; empty when there is none.
[[nodiscard]] std::string NotesStatusText(unsigned long status);

// Writes "STATUS: <status> (<Notes text>)" through LogAlways, the status as an unsigned
// 16-bit number, or "STATUS: <status> (Unable to locate message in string tables)" when
// Notes has no text for it. Nothing when the low 16 bits of the status are 0 or the debug
// level is 0.
void LogStatus(unsigned long status);

// The scratch log. The file name may be set once at start; the level decides whether lines
// marked as filtered are written (kScratchFilterLevel and above).
void SetScratchLogFile(std::string_view path);
void SetScratchLevel(int level);
[[nodiscard]] std::string ScratchLogFile();  // the file in use (chosen on first use)
void ScratchLog(std::string_view text, bool filtered = false, bool with_thread = false);

// Appends bytes to a file opened shared for reading and writing (created if absent) and
// closes it again. False when the file cannot be opened or written. The building block of
// every per-line log.
bool AppendToFile(std::string_view path, std::string_view bytes);

// The line layouts. Each ends in CR LF.
//   debug log   "[tid] hh:mm:ss:mmm [program]: text"
//   event log   "[tid] dd/mm/yyyy hh:mm:ss:mmm [program]: text"
//   updater     "[tid] dd/mm/yyyy hh:mm:ss:mmm : text"
//   runner      "MM/DD/YY HH:MM:SS : text"
[[nodiscard]] std::string DebugLogLine(const SYSTEMTIME& time, DWORD thread_id,
                                       std::string_view program, std::string_view text);
[[nodiscard]] std::string EventLogLine(const SYSTEMTIME& time, DWORD thread_id,
                                       std::string_view program, std::string_view text);
[[nodiscard]] std::string UpdateLogLine(const SYSTEMTIME& time, DWORD thread_id,
                                        std::string_view text);
[[nodiscard]] std::string RunnerLogLine(const SYSTEMTIME& time, std::string_view text);

// Name of a debug log file opened at the given time: "dd-mm-yyyy-hh-mm-ss.log".
[[nodiscard]] std::string DebugLogFileName(const SYSTEMTIME& time);

}  // namespace foundation
