// file_ops.cpp - moving a file into place with retries (see file_ops.h).
#include "foundation/file_ops.h"

#include <string>

#include "foundation/error_text.h"
#include "foundation/log.h"
#include "foundation/utilities.h"

namespace foundation {
namespace {

void DebugLine(std::string_view line) {
  if (DebugLevel() != 0) LogAlways(line);
}

struct RenamePolicy {
  int retries;
  DWORD pause_ms;
  bool log_first_failure_line;  // "Can't rename from ..." after the first failure
  const char* success_line;
  const char* give_up_line;
  LogLineSink log;
};

void LogErrorText(const RenamePolicy& policy) {
  if (policy.log == nullptr) return;
  const std::string text = ErrorText();
  if (!text.empty()) policy.log(text);
}

bool MoveWithPolicy(std::string_view from, std::string_view to, const RenamePolicy& policy) {
  const std::string source(from);
  const std::string target(to);
  if (source.empty() || target.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (MoveFile(source.c_str(), target.c_str())) return true;
  LogErrorText(policy);
  if (policy.log_first_failure_line && policy.log != nullptr) {
    policy.log(
        StringPrintf("Can't rename from %s to %s... Reason above", source.c_str(), target.c_str()));
  }
  for (int attempt = 0; attempt < policy.retries; ++attempt) {
    Sleep(policy.pause_ms);
    if (MoveFile(source.c_str(), target.c_str())) {
      if (policy.log != nullptr) policy.log(policy.success_line);
      return true;
    }
  }
  LogErrorText(policy);
  if (policy.log != nullptr) policy.log(policy.give_up_line);
  if (MoveFile(source.c_str(), target.c_str())) return true;
  // Whatever holds the target name keeps it: make room and move a last time.
  DeleteFile(target.c_str());
  return MoveFile(source.c_str(), target.c_str()) != FALSE;
}

}  // namespace

bool MoveFileWithRetry(std::string_view from, std::string_view to) {
  static constexpr RenamePolicy kSpool{
      10, 50, true, "M10; Rename now successful.",
      "M11; ERROR!!! Still Unable to Rename!...Reason above", DebugLine};
  return MoveWithPolicy(from, to, kSpool);
}

bool MoveFileWithRetryForScan(std::string_view from, std::string_view to, LogLineSink log) {
  const RenamePolicy scan{20, 100, false, "M10 Rename now successful.",
                          "M11 Still unable to Rename!", log};
  return MoveWithPolicy(from, to, scan);
}

}  // namespace foundation
