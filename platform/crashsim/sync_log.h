// sync_log.h - the record of what a run wrote and synced, from which a machine crash is
// replayed.
//
// What it is for: the sync recorder (sync_record.cpp, preloaded into the server's processes)
// appends one record for every change to a file or directory below a machine root and for
// every sync of one; a test appends marks (a mail the client was told "250" for). A crash
// image (crash_image.h) is then built from the first N records as a machine crash at that
// point would leave the disk.
//
// Format: records one after another, each a RecordHeader and its payload: path_bytes of
// NUL-terminated paths (absolute), then the data (the bytes of a write, the text of a mark).
// Every record is appended with one write() to a file opened O_APPEND, so the records of
// several processes interleave whole, in the order the changes were made (a change is
// recorded by the thread that made it before that thread goes on). A sync record is appended
// once the sync has returned and covers the records that were in the log when it began.
// Ownership and locks: none; plain functions over a descriptor or a file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace crashsim {

enum class RecordKind : std::uint8_t {
  kCreate = 1,       // path, inode: a new file
  kWrite,            // inode, offset, data
  kTruncate,         // inode, offset = the new length
  kSync,             // inode (a file), offset = log bytes covered; its path, to read
  kSyncDirectory,    // path, offset = log bytes covered
  kSyncAll,          // offset = log bytes covered (sync, syncfs)
  kLink,             // new path, inode
  kUnlink,           // path
  kRename,           // old path, new path, inode
  kMakeDirectory,    // path
  kRemoveDirectory,  // path
  kMark,             // data: a text of the test's
};

struct RecordHeader {
  std::uint32_t size;        // header and payload
  std::uint8_t kind;         // RecordKind
  std::uint8_t reserved[3];
  std::uint64_t inode;
  std::uint64_t offset;
  std::uint32_t path_bytes;  // the paths at the start of the payload
  std::uint32_t reserved2;
};

// Builds a record in buffer_r (paths: each NUL-terminated, one after another).
void EncodeRecord(RecordKind kind, std::uint64_t inode, std::uint64_t offset,
                  std::string_view paths, std::string_view data, std::string* buffer_r);

// Appends a mark to the log at path (for the test: the text of what the client was told).
[[nodiscard]] bool AppendMark(const std::string& log_path, std::string_view text);

struct Record {
  RecordKind kind;
  std::uint64_t inode = 0;
  std::uint64_t offset = 0;
  std::uint64_t position = 0;  // where the record starts in the log
  std::vector<std::string> paths;
  std::string data;
};

// Reads a whole log; false when it cannot be read or ends in a torn record.
[[nodiscard]] bool ReadLog(const std::string& path, std::vector<Record>* records_r);

}  // namespace crashsim
