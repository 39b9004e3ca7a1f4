// engine_log.cpp - the engine's diagnostic lines.
#include "platform/engine/engine_log.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>

namespace vtengine {

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

std::atomic<bool> g_verbose{false};
std::mutex g_log_mutex;  // one line at a time on stderr and in the file
std::unique_ptr<std::FILE, FileCloser> g_log_file;  // guarded by g_log_mutex

void WriteLine(const char* format, va_list args) {
  char text[2048];
  std::vsnprintf(text, sizeof text, format, args);  // cut, never overrun
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm utc {};
  gmtime_r(&now.tv_sec, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &utc);
  std::lock_guard<std::mutex> lock(g_log_mutex);
  std::fprintf(stderr, "vantrel: %s.%03ld %s\n", stamp, now.tv_nsec / 1000000, text);
  if (g_log_file) {
    std::fprintf(g_log_file.get(), "vantrel: %s.%03ld %s\n", stamp, now.tv_nsec / 1000000, text);
    // A reader (an administrator's tail, a test) sees each line as it happens.
    std::fflush(g_log_file.get());
  }
}

}  // namespace

void SetVerboseLog(bool verbose) { g_verbose = verbose; }

bool OpenLogFile(const std::string& path, std::string* error_r) {
  std::FILE* file = std::fopen(path.c_str(), "ae");  // append, close on exec
  if (file == nullptr) {
    *error_r = path + ": " + std::strerror(errno);
    return false;
  }
  std::lock_guard<std::mutex> lock(g_log_mutex);
  g_log_file.reset(file);
  return true;
}

void CloseLogFile() {
  std::lock_guard<std::mutex> lock(g_log_mutex);
  g_log_file.reset();
}

void LogLine(const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteLine(format, args);
  va_end(args);
}

void LogVerbose(const char* format, ...) {
  if (!g_verbose) return;
  va_list args;
  va_start(args, format);
  WriteLine(format, args);
  va_end(args);
}

}  // namespace vtengine
