// log_settings.cpp - the logging settings from the settings stores (see log_settings.h).
#include "foundation/log_settings.h"

#include "foundation/config.h"
#include "foundation/utilities.h"

namespace foundation {

long ReadDebugNumber() {
  std::string text;
  const bool missing =
      ReadProductValue(kProductSubkey, kDebugValueName, text, "") == ERROR_FILE_NOT_FOUND;
  if (missing) (void)WriteProductValue(kProductSubkey, kDebugValueName, kDefaultDebugValue);
  long number = 0;
  return ParseNumber(missing ? std::string_view(kDefaultDebugValue) : std::string_view(text),
                     number)
             ? number
             : 0;
}

int ReadDebugLevel(long level1_from, long level2_from) {
  return DebugLevelFromNumber(ReadDebugNumber(), level1_from, level2_from);
}

long ReadLogBufSize() {
  std::string text;
  if (ReadProductValue(kProductSubkey, kLogBufSizeValueName, text, "") == ERROR_FILE_NOT_FOUND) {
    (void)WriteProductValue(kProductSubkey, kLogBufSizeValueName,
                            std::to_string(kDefaultLogBufSize));
    return kDefaultLogBufSize;
  }
  long lines = 0;
  if (!ParseNumber(text, lines)) return kDefaultLogBufSize;
  if (lines == kLogNeverRolls) return kLogNeverRolls;
  // A budget of 0 or less would open a file per line.
  return lines >= 1 ? lines : kDefaultLogBufSize;
}

std::string ReadReportDirectory(std::string_view install_directory) {
  if (install_directory.empty()) return {};
  std::string directory = ReadIniValue(kGeneralSection, kReportDirectoryKey, "",
                                       JoinPath(install_directory, kProductIniName));
  TrimBoth(directory);
  return directory;
}

LogSettings ReadLogSettings(std::string_view install_directory, std::string_view program_name) {
  LogSettings settings;
  settings.report_directory = ReadReportDirectory(install_directory);
  settings.program_name.assign(program_name);
  settings.debug_level = ReadDebugLevel();
  settings.log_buf_size = ReadLogBufSize();
  return settings;
}

}  // namespace foundation
