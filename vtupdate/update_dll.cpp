// update_dll.cpp - the one export of libvtupdate.so.
#include "vtupdate/update_dll.h"

#include <string>

#include "foundation/config.h"
#include "foundation/error_text.h"
#include "foundation/log.h"
#include "foundation/utilities.h"
#include "platform/win32/machine.h"
#include "platform/win32/windows.h"

namespace vtupdate {
namespace {

constexpr const char* kUpdateEventName = "UpdateEvent";
constexpr const char* kLogFileName = "updatedll.log";
// The system error text is rendered into a buffer of this size.
constexpr std::size_t kErrorTextBytes = 999;

// The log file: the report directory's updatedll.log. Without a report directory the log
// goes to the root of the current drive, which on this platform is the machine's root: a
// path outside it is never written.
std::string LogPath(const std::string& report_directory) {
  if (report_directory.empty()) return foundation::JoinPath(vtplatform::SystemRoot(), kLogFileName);
  return foundation::JoinPath(report_directory, kLogFileName);
}

// One line, appended by opening the file shared, seeking to its end and closing it again;
// a file that cannot be opened loses the line.
void WriteLine(const std::string& log_path, const std::string& text) {
  if (text.empty()) return;
  SYSTEMTIME now{};
  GetLocalTime(&now);
  (void)foundation::AppendToFile(log_path,
                                 foundation::UpdateLogLine(now, GetCurrentThreadId(), text));
}

void SignalUpdateEvent() {
  const std::string install_directory =
      foundation::ReadWinIni(foundation::kWinIniSection, foundation::kInstallDirectoryKey, "",
                             MAX_PATH);
  if (install_directory.empty()) {
    // The log's place is not known yet, so the box is all there is.
    MessageBox(nullptr, "Unabel to Get Vantrel Path from win.ini", "", MB_OK | MB_ICONERROR);
    return;
  }
  const std::string ini_path =
      foundation::JoinPath(install_directory, foundation::kProductIniName);
  const std::string report_directory = foundation::ReadIniValue(
      foundation::kGeneralSection, "ReportDirectory", "", ini_path, MAX_PATH);
  const std::string log_path = LogPath(report_directory);

  // Automatic reset, not signalled, default security, and no "Global\" prefix: the name
  // the extension's reload thread creates.
  HANDLE event = CreateEvent(nullptr, FALSE, FALSE, kUpdateEventName);
  if (event != nullptr) {
    SetEvent(event);
    CloseHandle(event);
    return;
  }
  WriteLine(log_path, foundation::ErrorText(kErrorTextBytes));
  WriteLine(log_path, "Error: OpenEvent Fails...Reason above");
}

}  // namespace
}  // namespace vtupdate

extern "C" __attribute__((visibility("default"))) int UpdateDLL() {
  try {
    vtupdate::SignalUpdateEvent();
  } catch (...) {
    // Nothing may escape into the caller, which may be any program of the product.
  }
  return 0;
}
