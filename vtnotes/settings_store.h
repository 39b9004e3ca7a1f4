// settings_store.h - where the extension reads and writes its settings.
//
// What it is for: the extension's settings live in three stores: the WIN.INI section
// [Vantrel] (the install directory), vantrel.ini and verinfo.ini in the install directory,
// and the string values of the registry key "Vantrel For Lotus Notes" below
// SOFTWARE\Veltrane in HKEY_LOCAL_MACHINE. This unit is the extension's one way in to them,
// so that the lookup order is written once and tests can point a fresh machine root at it.
//
// Ownership: results are the caller's strings. Locks: none; the stores serialise
// themselves (profile writes are atomic, the registry is a database).
#pragma once

#include <string>
#include <string_view>

namespace vtnotes {

inline constexpr const char* kProductSubkey = "Vantrel For Lotus Notes";
inline constexpr const char* kProductIni = "vantrel.ini";
inline constexpr const char* kVersionIni = "verinfo.ini";

// InstallDirectory of WIN.INI [Vantrel], surrounding quotes and a trailing separator
// removed; empty when it is not set.
[[nodiscard]] std::string ReadInstallDirectory();

// A value of an INI file: the registry overlay key of the file and section first (see
// OverlayKeyName), then the file itself; `fallback` when neither holds it. Cut to
// max_chars characters.
[[nodiscard]] std::string ReadIniValue(std::string_view ini_path, std::string_view section,
                                       std::string_view key, std::string_view fallback = {},
                                       std::size_t max_chars = 4096);
// The INI file alone, without the overlay.
[[nodiscard]] std::string ReadIniFileValue(std::string_view ini_path, std::string_view section,
                                           std::string_view key, std::size_t max_chars = 4096);
// Writes a value into the INI file. False when the file could not be written.
bool WriteIniValue(std::string_view ini_path, std::string_view section, std::string_view key,
                   std::string_view value);

// The overlay key of an INI file's section: SOFTWARE\Veltrane\ + the path with every
// separator turned into '#' + '\' + section.
[[nodiscard]] std::string OverlayKeyName(std::string_view ini_path, std::string_view section);

// A string value of the product key. `found` (when given) says whether it exists; a
// missing value gives the empty text. Cut to max_chars characters.
[[nodiscard]] std::string ReadProductValue(std::string_view name, bool* found = nullptr,
                                           std::size_t max_chars = 4096);
// Sets a string value of the product key (creating the key). An empty name or value writes
// nothing. Returns the registry error code, 0 on success.
long WriteProductValue(std::string_view name, std::string_view value);

// Plain decimal conversion as the settings use it: leading blanks and a sign accepted,
// digits read until the first other character; text without digits counts as 0.
[[nodiscard]] long DecimalValue(std::string_view text);

}  // namespace vtnotes
