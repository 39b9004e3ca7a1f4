// log_settings.h - the logging settings as the settings stores hold them.
//
// What it is for: a program or extension that logs reads its report directory from
// [General] ReportDirectory of vantrel.ini, its debug level from the registry value VTDEBUG
// and its line budget from LogBufSize (both under the product key), and hands them to
// InitLog. Missing registry values are written back with their defaults, so that an
// administrator finds them to edit.
//
// Ownership: results are the caller's. Locks: none (the registry and profile calls are
// safe between threads and processes).
#pragma once

#include <string>
#include <string_view>

#include "foundation/log.h"

namespace foundation {

inline constexpr const char* kDebugValueName = "VTDEBUG";
inline constexpr const char* kLogBufSizeValueName = "LogBufSize";
inline constexpr const char* kReportDirectoryKey = "ReportDirectory";
// What a missing VTDEBUG is created as.
inline constexpr const char* kDefaultDebugValue = "1";

// The VTDEBUG number (a missing value is created as "1"; junk counts as 0).
[[nodiscard]] long ReadDebugNumber();

// The debug level from VTDEBUG with the given bounds (DebugLevelFromNumber).
[[nodiscard]] int ReadDebugLevel(long level1_from = 5, long level2_from = 10);

// The LogBufSize line budget: kLogNeverRolls for -1; the default for a missing value
// (which is written back), for junk and for anything below 1.
[[nodiscard]] long ReadLogBufSize();

// [General] ReportDirectory of vantrel.ini in the install directory (empty when unset).
[[nodiscard]] std::string ReadReportDirectory(std::string_view install_directory);

// Everything InitLog needs, for the named program (empty: the running program's name).
[[nodiscard]] LogSettings ReadLogSettings(std::string_view install_directory,
                                          std::string_view program_name = {});

}  // namespace foundation
