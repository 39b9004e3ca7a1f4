// sweep_log.cpp - see sweep_log.h.
#include "vtsweep/sweep_log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "foundation/error_text.h"
#include "foundation/log.h"
#include "foundation/utilities.h"
#include "platform/notes/notes.h"

namespace vtsweep {
namespace {

// Set at start-up, before the scan thread exists; read by both threads afterwards. The
// mutex only makes a test that switches roots between cases safe.
std::mutex g_settings_mutex;
std::string g_log_path;
WindowLineSink g_window_sink = nullptr;

constexpr const char* kAsteriskLine =
    "* * * * * * * * * * * * * * * * * * * * * *";
constexpr const char* kProductName = "Vantrel for Lotus Notes";
constexpr const char* kVirusNamesFile = "Virnames.txt";

// "MM/DD/YY HH:MM:SS", the C runtime's short date and time.
std::string TimeStamp() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%02u/%02u/%02u %02u:%02u:%02u",
                static_cast<unsigned>(now.wMonth), static_cast<unsigned>(now.wDay),
                static_cast<unsigned>(now.wYear % 100), static_cast<unsigned>(now.wHour),
                static_cast<unsigned>(now.wMinute), static_cast<unsigned>(now.wSecond));
  return stamp;
}

}  // namespace

std::string ScanLogFileName(bool scheduled, const SYSTEMTIME& start) {
  if (!scheduled) return kInteractiveLogName;
  char name[64];
  std::snprintf(name, sizeof name, "%02u-%02u-%4u.log", static_cast<unsigned>(start.wDay),
                static_cast<unsigned>(start.wMonth), static_cast<unsigned>(start.wYear));
  return name;
}

std::string OpenScanLog(const std::string& report_directory, bool scheduled,
                        const SYSTEMTIME& start, bool keep_interactive_log) {
  std::string directory = report_directory;
  foundation::AddBackslash(directory);
  const std::string path = directory + ScanLogFileName(scheduled, start);
  if (!scheduled && !keep_interactive_log) {
    // An interactive run starts its log afresh; a file that cannot be emptied is appended to.
    HANDLE file = CreateFile(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  }
  SetScanLogPath(path);
  return path;
}

void SetScanLogPath(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_settings_mutex);
  g_log_path = path;
}

std::string ScanLogPath() {
  std::lock_guard<std::mutex> lock(g_settings_mutex);
  return g_log_path;
}

void SetWindowLineSink(WindowLineSink sink) {
  std::lock_guard<std::mutex> lock(g_settings_mutex);
  g_window_sink = sink;
}

void WriteLog(std::string_view text, int kind) {
  if (text.empty()) return;
  std::string path;
  WindowLineSink sink = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_settings_mutex);
    path = g_log_path;
    sink = g_window_sink;
  }
  std::string line;
  switch (kind) {
    case kLogStamped: {
      std::string shown = TimeStamp() + " " + std::string(text);
      if (sink != nullptr) sink(shown);
      line = shown + "\r\n";
      break;
    }
    case kLogTab:
      line = "\t" + std::string(text) + "\r\n";
      break;
    case kLogBare:
      line = std::string(text);
      break;
    case kLogLine:
      line = std::string(text) + "\r\n";
      break;
    case kLogTabOpen:
      line = "\t" + std::string(text);
      break;
    default:
      return;
  }
  // Without a log path (before start-up found the report directory) a line is lost, as it
  // is when the file cannot be opened.
  if (!path.empty()) (void)foundation::AppendToFile(path, line);
}

void LogF(int kind, const char* format, ...) {
  char buffer[foundation::kLogTextBytes];
  va_list args;
  va_start(args, format);
  int length = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (length < 0) return;
  WriteLog(std::string_view(buffer, std::min<std::size_t>(static_cast<std::size_t>(length),
                                                          sizeof buffer - 1)),
           kind);
}

void LogNotesStatus(STATUS status) {
  if (status == NOERROR) return;
  char text[foundation::kStatusTextBytes] = {};
  OSLoadString(NULLHANDLE, ERR(status), text, sizeof text);
  WriteLog(text, kLogStamped);
}

void LogSystemError() { WriteLog(foundation::ErrorText(), kLogStamped); }

void WriteBanner(const std::string& build, bool window_shown) {
  WriteLog(kAsteriskLine, kLogStamped);
  WriteLog(kProductName, kLogStamped);
  if (window_shown && !build.empty()) LogF(kLogStamped, "Build: %s", build.c_str());
  WriteLog(kAsteriskLine, kLogStamped);
}

void ReportVirusNames(const std::string& scan_dir, DatabaseCounters& counters) {
  const std::string path = foundation::JoinPath(scan_dir, kVirusNamesFile);
  FILE* file = _fsopen(path.c_str(), "rb", _SH_DENYNO);
  if (file == nullptr) return;
  char line[kVirusLineChars + 1];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (!text.empty()) WriteLog(text, kLogStamped);
  }
  std::fclose(file);
  ++counters.disinfected;
  DeleteFile(path.c_str());
}

void WriteDatabaseSummary(const std::string& path, const DatabaseCounters& counters) {
  LogF(kLogStamped, "%s Was Scanned", path.c_str());
  if (counters.scanned > 0) {
    LogF(kLogStamped,
         "%s->Total Mail(s) Scanned = %d, Attachment Mail(s) = %d Total Attachment(s) = %d "
         "Total Disinfected Mail(s) = %d",
         path.c_str(), counters.scanned, counters.with_attachments, counters.attachments,
         counters.disinfected);
  } else {
    LogF(kLogStamped, "No Mails in %s", path.c_str());
  }
  if (counters.not_scanned > 0)
    LogF(kLogStamped, "%s->Mail(s) Not Scanned = %d", path.c_str(), counters.not_scanned);
  WriteLog("\r\n", kLogBare);
}

}  // namespace vtsweep
