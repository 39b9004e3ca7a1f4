// log.cpp - the debug, event and scratch logs and their line layouts (see log.h).
#include "foundation/log.h"

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "foundation/named_objects.h"
#include "foundation/utilities.h"

namespace foundation {
namespace {

// The process's logging state. Settings are guarded by settings_mutex; the debug log's file
// and counter by the "LogFile" mutex and file_mutex (taken in that order).
struct LogState {
  std::mutex settings_mutex;
  LogSettings settings;
  bool program_known = false;

  std::mutex file_mutex;
  HANDLE log_mutex = nullptr;
  bool log_mutex_opened = false;
  HANDLE file = INVALID_HANDLE_VALUE;
  long line_count = 0;

  std::mutex scratch_mutex;
  std::string scratch_file;
  int scratch_level = 0;
};

LogState& State() {
  static LogState* state = new LogState;  // never destroyed: logging may run during exit
  return *state;
}

// The running program's file name, for the bracketed field of the lines.
std::string RunningProgramName() {
  char path[MAX_PATH] = {};
  const DWORD length = GetModuleFileName(nullptr, path, sizeof(path));
  if (length == 0 || length >= sizeof(path)) return {};
  std::string directory, file_name;
  SplitPath(path, directory, file_name);
  return file_name;
}

LogSettings SettingsSnapshot() {
  LogState& state = State();
  std::lock_guard<std::mutex> lock(state.settings_mutex);
  if (!state.program_known) {
    if (state.settings.program_name.empty()) state.settings.program_name = RunningProgramName();
    state.program_known = true;
  }
  return state.settings;
}

// REQUIRES: nothing held. Opens "LogFile" on first need.
HANDLE LogMutex() {
  LogState& state = State();
  std::lock_guard<std::mutex> lock(state.file_mutex);
  if (!state.log_mutex_opened) {
    state.log_mutex_opened = true;
    if (OpenMutexForUse(state.log_mutex, false, kLogFileMutexName) != 0) state.log_mutex = nullptr;
  }
  return state.log_mutex;
}

// A view's length as printf's "%.*s" precision.
int Length(std::string_view text) {
  return static_cast<int>(std::min<std::size_t>(text.size(), INT_MAX));
}

bool WriteAll(HANDLE file, std::string_view bytes) {
  DWORD written = 0;
  return WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

// Writes one line to the debug log, rolling the file after the line budget.
void WriteDebugLine(std::string_view text) {
  if (text.empty()) return;
  const DWORD saved_error = GetLastError();  // callers log ErrorText after their own line too
  const LogSettings settings = SettingsSnapshot();
  SYSTEMTIME now{};
  GetLocalTime(&now);
  const std::string line = DebugLogLine(now, GetCurrentThreadId(), settings.program_name, text);

  LogState& state = State();
  HANDLE named = LogMutex();
  // A missing "LogFile" mutex still leaves the in-process one, so the state stays sound.
  MutexHold hold(named);
  if (named != nullptr && !hold.held()) {
    SetLastError(saved_error);
    return;
  }
  std::lock_guard<std::mutex> lock(state.file_mutex);
  const long budget = settings.log_buf_size;
  bool need_new_file = state.file == INVALID_HANDLE_VALUE;
  if (budget == kLogNeverRolls || state.line_count < budget) {
    ++state.line_count;
  } else {
    // The line that opens the new file is its first line.
    state.line_count = 1;
    CloseObject(state.file);
    state.file = INVALID_HANDLE_VALUE;
    need_new_file = true;
  }
  if (need_new_file) {
    const std::string path = LogFilePath(settings.report_directory, DebugLogFileName(now));
    state.file = CreateFile(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (state.file == INVALID_HANDLE_VALUE) {
      SetLastError(saved_error);
      return;
    }
  }
  // Another writer of the same file (a roll within the same second, another process) may
  // have moved the end.
  SetFilePointer(state.file, 0, nullptr, FILE_END);
  (void)WriteAll(state.file, line);
  SetLastError(saved_error);
}

}  // namespace

void InitLog(const LogSettings& settings) {
  LogState& state = State();
  {
    std::lock_guard<std::mutex> lock(state.settings_mutex);
    state.settings = settings;
    state.program_known = false;
  }
  (void)LogMutex();
}

void CloseLog() {
  LogState& state = State();
  HANDLE named = nullptr;
  {
    std::lock_guard<std::mutex> lock(state.file_mutex);
    if (state.file != INVALID_HANDLE_VALUE) CloseObject(state.file);
    state.file = INVALID_HANDLE_VALUE;
    state.line_count = 0;
    named = state.log_mutex;
    state.log_mutex = nullptr;
    state.log_mutex_opened = false;
  }
  CloseObject(named);
}

LogSettings CurrentLogSettings() { return SettingsSnapshot(); }

void SetDebugLevel(int level) {
  LogState& state = State();
  std::lock_guard<std::mutex> lock(state.settings_mutex);
  state.settings.debug_level = level;
}

int DebugLevel() {
  LogState& state = State();
  std::lock_guard<std::mutex> lock(state.settings_mutex);
  return state.settings.debug_level;
}

void SetLogBufSize(long lines) {
  LogState& state = State();
  std::lock_guard<std::mutex> lock(state.settings_mutex);
  state.settings.log_buf_size = lines;
}

int DebugLevelFromNumber(long number, long level1_from, long level2_from) {
  if (number >= level2_from) return 2;
  if (number >= level1_from) return 1;
  return 0;
}

std::string LogFilePath(std::string_view report_directory, std::string_view file_name) {
  std::string path(report_directory);
  AddBackslash(path);
  path += file_name;
  return path;
}

void LogDebug(const char* format, ...) {
  if (format == nullptr || DebugLevel() == 0) return;
  va_list arguments;
  va_start(arguments, format);
  const std::string text = StringPrintfV(kLogTextBytes, format, arguments);
  va_end(arguments);
  WriteDebugLine(text);
}

void LogAlways(std::string_view text) { WriteDebugLine(text); }

void LogEvent(std::string_view text) {
  if (text.empty()) return;
  const DWORD saved_error = GetLastError();
  const LogSettings settings = SettingsSnapshot();
  SYSTEMTIME now{};
  GetLocalTime(&now);
  (void)AppendToFile(LogFilePath(settings.report_directory, kEventLogFileName),
                     EventLogLine(now, GetCurrentThreadId(), settings.program_name, text));
  SetLastError(saved_error);
}

void SetScratchLogFile(std::string_view path) {
  LogState& state = State();
  std::lock_guard<std::mutex> lock(state.scratch_mutex);
  state.scratch_file.assign(path);
}

void SetScratchLevel(int level) {
  LogState& state = State();
  std::lock_guard<std::mutex> lock(state.scratch_mutex);
  state.scratch_level = level;
}

std::string ScratchLogFile() {
  LogState& state = State();
  std::lock_guard<std::mutex> lock(state.scratch_mutex);
  if (state.scratch_file.empty()) {
    // A unique name in the temporary directory: let the system make the file, keep its
    // name and use it with the extension .LOG.
    char directory[MAX_PATH] = {};
    const DWORD length = GetTempPath(sizeof(directory), directory);
    if (length == 0 || length >= sizeof(directory)) CopyBounded(directory, "./");
    char name[MAX_PATH] = {};
    if (GetTempFileName(directory, "LMF", 0, name) != 0) {
      DeleteFile(name);
      std::string path = name;
      const std::size_t slash = path.find_last_of("/\\");
      const std::size_t dot = path.rfind('.');
      if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
        path.erase(dot);
      }
      state.scratch_file = path + ".LOG";
    }
  }
  return state.scratch_file;
}

void ScratchLog(std::string_view text, bool filtered, bool with_thread) {
  if (text.empty()) return;
  {
    LogState& state = State();
    std::lock_guard<std::mutex> lock(state.scratch_mutex);
    if (filtered && state.scratch_level < kScratchFilterLevel) return;
  }
  const DWORD saved_error = GetLastError();
  const std::string path = ScratchLogFile();
  if (path.empty()) return;
  std::string bytes;
  if (text.front() == '\n') {
    bytes = "\r\n";
    text.remove_prefix(1);
  }
  char prefix[64];
  if (with_thread) {
    std::snprintf(prefix, sizeof(prefix), "%s [0x%08lx] - ", LogDateTime().c_str(),
                  static_cast<unsigned long>(GetCurrentThreadId()));
  } else {
    std::snprintf(prefix, sizeof(prefix), "%s - ", LogDateTime().c_str());
  }
  bytes += prefix;
  bytes += text;
  bytes += "\r\n";
  (void)AppendToFile(path, bytes);
  SetLastError(saved_error);
}

bool AppendToFile(std::string_view path, std::string_view bytes) {
  if (path.empty()) return false;
  const std::string name(path);
  UniqueHandle file(CreateFile(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;
  SetFilePointer(file.get(), 0, nullptr, FILE_END);
  return WriteAll(file.get(), bytes);
}

// The program name and text are passed with their lengths ("%.*s"), so neither needs a
// terminating NUL.
std::string DebugLogLine(const SYSTEMTIME& time, DWORD thread_id, std::string_view program,
                         std::string_view text) {
  return StringPrintf("[%03lu] %02u:%02u:%02u:%03u [%.*s]: %.*s\r\n",
                      static_cast<unsigned long>(thread_id), unsigned{time.wHour},
                      unsigned{time.wMinute}, unsigned{time.wSecond}, unsigned{time.wMilliseconds},
                      Length(program), program.data(), Length(text), text.data());
}

std::string EventLogLine(const SYSTEMTIME& time, DWORD thread_id, std::string_view program,
                         std::string_view text) {
  return StringPrintf("[%03lu] %02u/%02u/%04u %02u:%02u:%02u:%03u [%.*s]: %.*s\r\n",
                      static_cast<unsigned long>(thread_id), unsigned{time.wDay},
                      unsigned{time.wMonth}, unsigned{time.wYear}, unsigned{time.wHour},
                      unsigned{time.wMinute}, unsigned{time.wSecond}, unsigned{time.wMilliseconds},
                      Length(program), program.data(), Length(text), text.data());
}

std::string UpdateLogLine(const SYSTEMTIME& time, DWORD thread_id, std::string_view text) {
  return StringPrintf("[%03lu] %02u/%02u/%04u %02u:%02u:%02u:%03u : %.*s\r\n",
                      static_cast<unsigned long>(thread_id), unsigned{time.wDay},
                      unsigned{time.wMonth}, unsigned{time.wYear}, unsigned{time.wHour},
                      unsigned{time.wMinute}, unsigned{time.wSecond}, unsigned{time.wMilliseconds},
                      Length(text), text.data());
}

std::string RunnerLogLine(const SYSTEMTIME& time, std::string_view text) {
  return StringPrintf("%02u/%02u/%02u %02u:%02u:%02u : %.*s\r\n", unsigned{time.wMonth},
                      unsigned{time.wDay}, unsigned{time.wYear} % 100u, unsigned{time.wHour},
                      unsigned{time.wMinute}, unsigned{time.wSecond}, Length(text), text.data());
}

std::string DebugLogFileName(const SYSTEMTIME& time) {
  char name[48];
  std::snprintf(name, sizeof(name), "%02u-%02u-%04u-%02u-%02u-%02u.log", unsigned{time.wDay},
                unsigned{time.wMonth}, unsigned{time.wYear}, unsigned{time.wHour},
                unsigned{time.wMinute}, unsigned{time.wSecond});
  return name;
}

}  // namespace foundation
