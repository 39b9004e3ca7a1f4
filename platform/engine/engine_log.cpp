// engine_log.cpp - the engine's diagnostic lines.
#include "platform/engine/engine_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace vtengine {

namespace {

std::atomic<bool> g_verbose{false};
std::mutex g_log_mutex;  // one line at a time on stderr

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
}

}  // namespace

void SetVerboseLog(bool verbose) { g_verbose = verbose; }

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
