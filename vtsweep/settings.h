// settings.h - what one run of the database scanner scans, and how it picks databases.
//
// What it is for: the run-wide settings are gathered once at start-up from the settings
// stores (vantrel.ini, the product's registry key) and from the settings document of
// vtsched.nsf (form "Scheduledfrm" for a scheduled run, "Mannualfrm" for an interactive
// one, whose items carry an "M_" prefix). The list rules decide which names of the
// database list and which files of a folder are scanned or excluded.
//
// Every database the scanner opens lies below the Notes data directory: a list entry or a
// folder that is absolute outside it, climbs out of it with "..", or leads out of it
// through a link, is refused and logged, so a damaged settings document or a link cannot
// make the scanner rewrite files elsewhere.
//
// Ownership: plain values. Locks: none; filled before the scan thread starts, read-only
// afterwards.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/notes/notes.h"

namespace vtsweep {

// The administrator table: the n-th address of AdminEmailId and the n-th database of
// VTADMINDB share a row.
inline constexpr std::size_t kAdminRows = 10;
inline constexpr std::size_t kAdminAddressChars = 499;
inline constexpr std::size_t kAdminDatabaseChars = 260;
inline constexpr std::size_t kAlwaysExcludedBytes = 200;  // up to 199 characters
inline constexpr std::size_t kBuildBytes = 100;           // up to 99 characters
inline constexpr std::size_t kFolderChars = 261;
inline constexpr DWORD kDefaultTimeoutSeconds = 60;

inline constexpr const char* kScheduleDatabase = "vtsched.nsf";
inline constexpr const char* kScheduledForm = "Scheduledfrm";
inline constexpr const char* kInteractiveForm = "Mannualfrm";

struct AdminRow {
  std::string address;   // quarantine copies and default sender and recipient
  std::string database;  // receives quarantine copies
};

struct Settings {
  bool scheduled = false;
  std::string install_dir;  // without a trailing separator
  std::string report_dir;   // with a trailing separator
  std::string scan_dir_name;
  std::string data_dir;     // the Notes data directory, every scanned database lies below
  bool content_control = false;
  std::vector<AdminRow> admins;  // at most kAdminRows
  std::string always_excluded;
  DWORD timeout_seconds = kDefaultTimeoutSeconds;
  std::string build;

  // The settings document.
  bool show_window = false;  // interactive mode, or scheduled with Option E and ShowScanWindow Y
  bool list_selected = false;
  std::string database_list;
  bool folder_selected = false;
  std::string folder;
  bool subfolders = false;
  bool exclude = false;
  bool exclude_list_read = false;
  std::string exclude_list;
};

// True when the first letter of a yes/no item is 'Y' or 'y'.
[[nodiscard]] bool IsYes(std::string_view value);

// Reads the administrator table (AdminEmailId of vantrel.ini, VTADMINDB of the registry).
void ReadAdminTable(Settings& settings);
// The engine time-out from the registry value TimeOut; empty (or junk) gives 60 seconds.
[[nodiscard]] DWORD ReadTimeoutSeconds();
// The build text (registry value LotusNotesBuild, up to 99 characters).
[[nodiscard]] std::string ReadBuildText();
// AlwaysExcluded, LotusNotesBuild, ContentControlEnabled and ScanDir.
void ReadStoreSettings(Settings& settings);

// Reads the settings document of vtsched.nsf into settings (the open uses the watchdog).
// Failures are logged; the settings keep what was read so far.
void ReadSettingsDocument(Settings& settings);

// One entry of a ';' list: tabs, CR, LF and commas removed, trimmed, and a pair of double
// quotes around it dropped.
[[nodiscard]] std::string CleanListEntry(std::string_view entry);
// True when the text after the last '.' is "nsf" or "ntf" (any case).
[[nodiscard]] bool IsDatabaseName(std::string_view name);
// The cleaned entries of a ';' list that name databases, in order.
[[nodiscard]] std::vector<std::string> DatabaseEntries(std::string_view list);
// True when the path, upper-cased, equals or contains one database entry of the list.
[[nodiscard]] bool MatchesList(std::string_view path, std::string_view list);

// A name resolved below base: relative names are joined to base, absolute ones must lie
// below it. False (resolved_r untouched) when the name is empty, climbs out of base with
// "..", or is absolute elsewhere. Serves for the database list and folder (below the data
// directory) and for the names in the engine's answer (below the result base).
[[nodiscard]] bool ResolveBelow(std::string_view base, std::string_view name,
                                std::string* resolved_r);

// The path as it really is, every link followed, when that lies below the data directory
// (itself taken as it really is). False when a link leads out of it. A path that cannot be
// opened is taken as it is written: whoever opens it next reports the failure.
[[nodiscard]] bool RealPathBelow(const std::string& data_dir, const std::string& path,
                                 std::string* real_r);

}  // namespace vtsweep
