// rights_log.cpp - the extension's scratch log and its process-wide settings.
//
// What it is for: every line of the extension goes to rights.log through the foundation's
// scratch log, with the thread identifier; detail lines only at debug level 5.
// Ownership: the settings record lives for the process. Locks: none (see rights.h).
#include <atomic>
#include <cstdarg>

#include "foundation/log.h"
#include "foundation/utilities.h"
#include "rights/rights.h"

namespace rights {
namespace {

std::atomic<int> g_debug_level{0};

}  // namespace

Settings& CurrentSettings() {
  static Settings settings;
  return settings;
}

void SetDebugLevel(int level) {
  g_debug_level.store(level, std::memory_order_relaxed);
  foundation::SetScratchLevel(level);
}

int DebugLevel() { return g_debug_level.load(std::memory_order_relaxed); }

void Log(std::string_view text) { foundation::ScratchLog(text, false, true); }

void LogDetail(std::string_view text) { foundation::ScratchLog(text, true, true); }

void Logf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = foundation::StringPrintfV(foundation::kLogTextBytes, format, args);
  va_end(args);
  Log(text);
}

void LogDetailf(const char* format, ...) {
  if (DebugLevel() < foundation::kScratchFilterLevel) return;
  va_list args;
  va_start(args, format);
  const std::string text = foundation::StringPrintfV(foundation::kLogTextBytes, format, args);
  va_end(args);
  LogDetail(text);
}

void LogNotesError(STATUS status) {
  char text[1023] = {};
  OSLoadString(NULLHANDLE, ERR(status), text, sizeof(text));
  Logf("Error code = %d Description = %s", static_cast<int>(status), text);
}

}  // namespace rights
