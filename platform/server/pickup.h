// pickup.h - the pickup directory: RFC 822 files dropped in by local programs.
//
// What it is for: the second way in for mail (beside SMTP). Every regular file in
// <data>/pickup is one message; files are taken in arrival order (modification time, then
// name) and removed only once the message is stored, so a crash at any point loses nothing
// (at worst a message is stored twice). Writers should create the file under a name that
// begins with '.' and rename it when it is complete: such names are skipped. A file that can
// never be stored (no recipients, too large) is renamed to <name>.bad and left for the
// administrator instead of being retried for ever.
// Ownership: none kept between calls.
// Locks: none; one thread scans at a time (the caller's).
#pragma once

#include <functional>
#include <string>

namespace vtserver {

enum class PickupResult { kStored, kRetry, kRefused };

// Stores the message in the file at path (read from there, never into memory whole); kRetry
// leaves the file for the next scan (the database was busy), kRefused sets it aside as .bad.
using PickupStoreFn =
    std::function<PickupResult(const std::string& path, std::string* reason_r)>;
// Receives one log line.
using PickupLogFn = std::function<void(const std::string& line)>;

struct PickupCounts {
  int stored = 0;
  int retried = 0;
  int refused = 0;
};

// One pass over directory. Files larger than max_bytes are refused unread.
[[nodiscard]] PickupCounts ScanPickupDirectory(const std::string& directory, size_t max_bytes,
                                               const PickupStoreFn& store,
                                               const PickupLogFn& log);

}  // namespace vtserver
