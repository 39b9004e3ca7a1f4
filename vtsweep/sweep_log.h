// sweep_log.h - the scan log of the database scanner and the lines it is made of.
//
// What it is for: a run of vtsweep leaves one lasting record, a log file in the report
// directory: scheduled runs append to one file a day ("dd-mm-yyyy.log"), an interactive
// run writes "vtsweep.log" afresh. Every line of the scanner goes through WriteLog with a
// kind that says how it is laid out; time-stamped lines (kind 1) are also shown in the
// progress window's list when a window is attached. Kinds 4, 2 and 3 build one indented
// line out of several calls ("Recipient(s) <", "a@b", ",c@d", "> ").
//
// Ownership: the log's path and the window sink are process-wide and set once at start-up
// (SetScanLogPath, SetWindowLineSink); the file itself is opened, appended to and closed
// per call, so a crash loses at most the line being written.
//
// Locks: none. The scan thread and the main thread (Exit button) both write; each call is
// one open-append-close with shared writing, as the report directory's other logs are.
// The path and sink are set before the scan thread starts and not changed while it runs.
#pragma once

#include <string>
#include <string_view>

#include "platform/notes/notes_types.h"
#include "platform/win32/windows.h"

namespace vtsweep {

// How a line is written (the second argument of the log writer).
inline constexpr int kLogTab = 0;      // a tab, the text, CR LF
inline constexpr int kLogStamped = 1;  // MM/DD/YY HH:MM:SS, the text, CR LF; shown in the window
inline constexpr int kLogBare = 2;     // the text alone
inline constexpr int kLogLine = 3;     // the text, CR LF
inline constexpr int kLogTabOpen = 4;  // a tab, the text, no line end

inline constexpr const char* kInteractiveLogName = "vtsweep.log";
// Lines of Virnames.txt are read up to this many characters.
inline constexpr std::size_t kVirusLineChars = 999;

// Per-database counters, reset when a database starts.
struct DatabaseCounters {
  int scanned = 0;           // documents the per-document routine finished
  int with_attachments = 0;  // documents that had at least one attachment
  int attachments = 0;       // attachments in total
  int disinfected = 0;       // documents the engine named a virus for
  int not_scanned = 0;       // selected documents the engine did not answer, or not asked
  int document_number = 0;   // the number shown in the window
};

// Receives every time-stamped line as the window shows it ("MM/DD/YY HH:MM:SS text").
using WindowLineSink = void (*)(const std::string& line);

// The log file's name for a run started at `start`: "%02d-%02d-%4d.log" (day, month, year)
// in scheduled mode, "vtsweep.log" otherwise.
[[nodiscard]] std::string ScanLogFileName(bool scheduled, const SYSTEMTIME& start);

// Chooses the log file below the report directory (a separator is added) and, for an
// interactive run, empties it unless `keep_interactive_log` (another run is writing it).
// Returns the full path.
std::string OpenScanLog(const std::string& report_directory, bool scheduled,
                        const SYSTEMTIME& start, bool keep_interactive_log = false);

void SetScanLogPath(const std::string& path);
[[nodiscard]] std::string ScanLogPath();
void SetWindowLineSink(WindowLineSink sink);

// The log writer. An empty text writes nothing.
void WriteLog(std::string_view text, int kind);
// printf into the log writer (cut at 5120 bytes like every log line of the system).
void LogF(int kind, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The Notes text of a failed call, time-stamped; nothing for status 0.
void LogNotesStatus(STATUS status);
// The text of the thread's last system error, time-stamped, on a line of its own.
void LogSystemError();

// The start banner: asterisks, the product name, the build (when the window is shown and
// the build is known), asterisks.
void WriteBanner(const std::string& build, bool window_shown);

// Logs every line of scan_dir/Virnames.txt, counts one disinfected document and deletes
// the file. Nothing when the engine left no such file.
void ReportVirusNames(const std::string& scan_dir, DatabaseCounters& counters);

// "%s Was Scanned" and the totals (or "No Mails in %s"), then an empty line.
void WriteDatabaseSummary(const std::string& path, const DatabaseCounters& counters);

}  // namespace vtsweep
