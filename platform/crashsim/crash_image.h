// crash_image.h - the files a machine crash would leave, rebuilt from a sync log.
//
// What it is for: a test records a run (sync_log.h), then asks for the disk as a crash after
// the first N records would have left it, at as many points N as it likes. The model of the
// disk: every file and every directory keeps what was synced of it (a file's writes and
// truncations, a directory's entries: files created, linked, renamed, removed); of what was
// not synced yet, each file and each directory keeps a prefix of its changes in order, of a
// random length or none at all. A file that no surviving directory entry names is gone, as
// is a directory made but never named durably in its parent.
// The log must start with the state the run began from (RecordInitialState); a change to a
// file the log never saw created lands in a file no directory names.
// SQLite's shared-memory index files (*-shm) are left out: a crash clears them and SQLite
// rebuilds them from the log.
// Ownership: CrashImages keeps the records it was given; WriteImage replaces the target.
// Locks: none; one thread.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "platform/crashsim/sync_log.h"

namespace crashsim {

// Appends to the log at log_path records that create every directory and file below root
// as it is now, all synced: the state a recorded run starts from.
[[nodiscard]] bool RecordInitialState(const std::string& root, const std::string& log_path);

enum class Unsynced { kLost, kRandomPrefix };

class CrashImages {
 public:
  explicit CrashImages(std::vector<Record> records) : records_(std::move(records)) {}

  [[nodiscard]] size_t size() const { return records_.size(); }
  // The texts of the marks among the first `records` records.
  [[nodiscard]] std::vector<std::string> MarksBefore(size_t records) const;

  // Writes into target (removed first) the tree below from_root as a crash after the first
  // `records` records leaves it; paths below from_root are moved below target. False with a
  // reason when the image cannot be written.
  [[nodiscard]] bool WriteImage(size_t records, Unsynced unsynced, std::mt19937_64* random,
                                const std::string& from_root, const std::string& target,
                                std::string* error_r) const;

 private:
  std::vector<Record> records_;
};

}  // namespace crashsim
