// mime_io.h - the file and log access of the MIME subsystem.
//
// Everything this subsystem does to the file system (open a captured body for reading,
// append a line to a job file, create the HTML part files, rename, delete) and every line
// it logs goes through these few routines. Keeping them in one unit is what lets the two
// deliverables that capture mail route the log to their own files and lets tests observe
// what was written.
//
// Ownership: SourceFile owns its file handle and closes it on every path. The log sink is a
// plain function pointer set once at start-up, before any thread parses mail; it is read
// without a lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace mime {

// A file opened for reading, positioned by absolute offsets.
class SourceFile {
 public:
  SourceFile() = default;
  ~SourceFile();
  SourceFile(const SourceFile&) = delete;
  SourceFile& operator=(const SourceFile&) = delete;
  SourceFile(SourceFile&& other) noexcept;
  SourceFile& operator=(SourceFile&& other) noexcept;

  // Opens an existing file for reading, without sharing. On failure returns false and
  // error_r (when given) holds the system error text.
  [[nodiscard]] bool Open(const std::string& path, std::string* error_r);
  [[nodiscard]] bool IsOpen() const { return handle_ != nullptr; }
  // Reads up to size bytes at the current position; returns the count, 0 at end of file,
  // -1 on a read error.
  [[nodiscard]] std::int64_t Read(char* buffer, std::int64_t size);
  // Moves to an absolute offset; false when the offset cannot be reached.
  [[nodiscard]] bool Seek(std::int64_t offset);
  void Close();

 private:
  void* handle_ = nullptr;  // a Win32 file handle, null when closed
};

// Appends bytes to the file, creating it when missing; shared opens let other readers and
// writers in, otherwise the file is held exclusively while it is written. False on
// failure, error_r then holds the system error text.
[[nodiscard]] bool AppendToFile(const std::string& path, std::string_view bytes,
                                std::string* error_r, bool shared = false);

// Creates a new empty file in dir by the temporary-name service: the first three
// characters of prefix, a hexadecimal number and ".tmp". Returns the full path, or an
// empty string with error_r set.
[[nodiscard]] std::string CreateUniqueFile(const std::string& dir, std::string_view prefix,
                                           std::string* error_r);

[[nodiscard]] bool RemoveFile(const std::string& path, std::string* error_r);
// Size of a regular file, or -1 when it is missing or not a regular file.
[[nodiscard]] std::int64_t FileSize(const std::string& path);

// The path separator on disk, and the one written inside spool file contents.
inline constexpr char kPathSep = '/';
inline constexpr char kSpoolSep = '\\';

// Log levels: kLogAlways lines are always written, kLogDebug1/2 only at those debug levels.
inline constexpr int kLogAlways = 0;
inline constexpr int kLogDebug1 = 1;
inline constexpr int kLogDebug2 = 2;

using LogSink = void (*)(int level, const char* text);
// Routes the subsystem's log lines. Without a sink (null) they go to the debug log of the
// foundation: kLogAlways lines always, the others at their debug level. Set before parsing
// starts.
void SetLogSink(LogSink sink);
// Formats one log line and hands it to the sink. The text is cut at 4096 bytes.
void Log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace mime
