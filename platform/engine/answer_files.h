// answer_files.h - small file helpers of the engine's answer writer.
//
// Every file the engine reads from a job is opened without following links and must be a
// regular file: job directories are written by another process. Files the engine writes
// are created anew (an existing one is replaced).
//
// Ownership: each call opens and closes its own descriptors. Thread rules: none.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vtengine {

[[nodiscard]] bool IsDirectory(const std::string& path);
[[nodiscard]] bool IsRegularFile(const std::string& path);

// Copies a regular file (links refused). False with `error_r` on any failure.
[[nodiscard]] bool CopyRegularFile(const std::string& from, const std::string& to,
                                   std::string* error_r);

// Reads a regular file whole, refusing more than `max_bytes`.
[[nodiscard]] bool ReadSmallFile(const std::string& path, std::size_t max_bytes,
                                 std::string* text_r, std::string* error_r);

// Writes `text` as the whole content of `path`.
[[nodiscard]] bool WriteWholeFile(const std::string& path, std::string_view text,
                                  std::string* error_r);

// Appends `text` to the end of `path`, which must exist.
[[nodiscard]] bool AppendToFile(const std::string& path, std::string_view text,
                                std::string* error_r);

// Writes `text` to `path` + ".part", syncs it and renames it into place, so that a reader
// never sees the file half written, and a file in place is one the disk holds whole.
[[nodiscard]] bool WriteFileAtomically(const std::string& path, std::string_view text,
                                       std::string* error_r);

// The names in `dir` (not "." or ".."); empty when it cannot be read.
[[nodiscard]] std::vector<std::string> ListDirectory(const std::string& dir);

// The last element of a path written with either separator.
[[nodiscard]] std::string BaseName(std::string_view path);

}  // namespace vtengine
