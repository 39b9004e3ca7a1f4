// vtnotes_log.cpp - see vtnotes_log.h.
#include "vtnotes/vtnotes_log.h"

#include <cstdarg>
#include <cstdio>

#include "foundation/error_text.h"
#include "foundation/log.h"
#include "foundation/utilities.h"

namespace vtnotes {
namespace {

// A longer line is cut at the log's bound, as every log line of the system is.
std::string FormatV(const char* format, va_list args) {
  return foundation::StringPrintfV(foundation::kLogTextBytes, format, args);
}

}  // namespace

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  return text;
}

void Log(const char* format, ...) {
  if (foundation::DebugLevel() < 1) return;
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  foundation::LogAlways(text);
}

void Trace(const char* format, ...) {
  if (foundation::DebugLevel() < 2) return;
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  foundation::LogAlways(text);
}

void Always(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  foundation::LogAlways(text);
}

void Event(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  foundation::LogEvent(text);
}

void SystemErrorLine() {
  std::string text = foundation::ErrorText();
  if (!text.empty()) foundation::LogAlways(text);
}

}  // namespace vtnotes
