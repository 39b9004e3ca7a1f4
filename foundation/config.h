// config.h - where the product is installed and how its settings are read and written.
//
// What it is for: every deliverable finds the product and its settings through these
// readers, in one lookup order:
//   - the WIN.INI section "Vantrel" names the install directory (a private WIN.INI beside
//     the running program overrides it; on Terminal Server a registry mirror of WIN.INI
//     under SOFTWARE\Veltrane\WIN.INI serves instead of the system file);
//   - vantrel.ini in the install directory, overlaid by a registry key per INI file and
//     section (OverlayKeyName);
//   - string values under HKEY_LOCAL_MACHINE\SOFTWARE\Veltrane\Vantrel For Lotus Notes;
//   - verinfo.ini in the install directory.
// The readers never fail outright: a missing or unreadable source yields the default. Text
// is cut to the byte size the caller gives (NUL included), as a fixed buffer of that size
// would hold it.
//
// Ownership: results are the caller's strings. Locks: the private-WIN.INI probe is made
// once per process under an in-process mutex (ResetWinIniProbe forgets it); everything else
// is stateless and relies on the platform's profile and registry calls being safe between
// threads and processes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "foundation/utilities.h"
#include "platform/win32/windows.h"

namespace foundation {

// The maker's registry root under HKEY_LOCAL_MACHINE, and the product's key below it.
inline constexpr const char* kMakerKey = "SOFTWARE\\Veltrane";
inline constexpr const char* kProductSubkey = "Vantrel For Lotus Notes";
// Key of the WIN.INI mirror below the maker's root (one subkey per section).
inline constexpr const char* kWinIniMirrorSubkey = "WIN.INI";

// WIN.INI sections naming install directories: the product's, an older product's that is
// read the same way, and a companion product's of the same maker.
inline constexpr const char* kWinIniSection = "Vantrel";
inline constexpr const char* kLegacyWinIniSection = "Pellorin";
inline constexpr const char* kCompanionWinIniSection = "Korvent";
inline constexpr const char* kInstallDirectoryKey = "InstallDirectory";
// The one key of the product section that the private WIN.INI never serves.
inline constexpr const char* kProgressOverKey = "progressover";
// File the private-WIN.INI read touches in the temporary directory on Windows 6 and later.
inline constexpr const char* kLogWriteFileName = "LogWrite.LOG";

inline constexpr const char* kProductIniName = "vantrel.ini";
inline constexpr const char* kVersionIniName = "verinfo.ini";
inline constexpr const char* kGeneralSection = "General";
// An overlay lookup of this key never falls back to the INI file.
inline constexpr const char* kOverlayOnlyKey = "xxx";

// Byte size of the buffers that registry reads of the maker's root use.
inline constexpr std::size_t kMakerValueBytes = 8;

// WIN.INI reader. For the sections "Vantrel" and "Pellorin" (any case), every key except
// "progressover" is read from a WIN.INI beside the running program when one exists; on a
// Terminal Server the registry mirror is read when it exists (a missing section key or
// value gives the default, trimmed); otherwise the system WIN.INI. The result is cut to
// size - 1 bytes.
[[nodiscard]] std::string ReadWinIni(std::string_view section, std::string_view key,
                                     std::string_view default_value,
                                     std::size_t size = MAX_PATH);

// The registry key overlaying a section of an INI file: SOFTWARE\Veltrane\<path with every
// separator turned into '#'>\<section>.
[[nodiscard]] std::string OverlayKeyName(std::string_view ini_path, std::string_view section);

// INI reader with the registry overlay. With a key: the overlay's value when there is one,
// else (except for the key "xxx", which gives the default) the INI file's value or the
// default. With an empty key: the section's entries, each NUL-terminated, as
// "name=data" from the overlay (a bare name for empty data) or as key names from the INI
// file; entries that do not fit in size bytes are left out.
[[nodiscard]] std::string ReadIniValue(std::string_view section, std::string_view key,
                                       std::string_view default_value,
                                       std::string_view ini_path,
                                       std::size_t size = MAX_PATH);

// Writes the value into the INI file (an empty value is written as empty; use the profile
// API to delete a key) and flushes the profile cache for that file. True on success.
[[nodiscard]] bool WriteIniValue(std::string_view section, std::string_view key,
                                 std::string_view value, std::string_view ini_path);

// Reads a string value under HKEY_LOCAL_MACHINE\SOFTWARE\Veltrane\<subkey>. `value` gets
// the default first and keeps it unless the read succeeds. Returns the registry error code
// (0 on success, also set as the last error): ERROR_FILE_NOT_FOUND for a missing key or
// value, ERROR_MORE_DATA for a value that does not fit in size bytes, ERROR_INVALID_DATA
// for a value that is not a string.
[[nodiscard]] LONG ReadProductValue(std::string_view subkey, std::string_view name,
                                    std::string& value, std::string_view default_value,
                                    std::size_t size = MAX_PATH);

// Creates <root>\<base>\<subkey> (base SOFTWARE\Veltrane when empty) and sets `name` to
// `value` as a string value. An empty subkey, name or value does nothing and returns 0, so
// an empty string cannot be stored this way. Returns the registry error code.
LONG WriteProductValue(std::string_view subkey, std::string_view name, std::string_view value,
                       std::string_view base_key = {}, HKEY root = HKEY_LOCAL_MACHINE);

// The install directory, without a trailing separator: the WIN.INI "Vantrel" section's
// InstallDirectory, else the "Korvent" section's, else the running program's directory;
// each accepted only if it is a directory holding VANTREL.INI (name without case) and fits
// in size bytes. False when none is.
[[nodiscard]] bool FindInstallDirectory(std::string& directory, std::size_t size = MAX_PATH);

// Reads a value directly under SOFTWARE\Veltrane into an 8-byte buffer (7 characters and
// the NUL). True when the read succeeded.
[[nodiscard]] bool ReadMakerValue(std::string_view name, std::string& value);

// Forgets the private-WIN.INI probe so that the next ReadWinIni makes it again (tests that
// change the running program's path).
void ResetWinIniProbe();

}  // namespace foundation
