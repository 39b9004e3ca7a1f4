// utilities.h - path, text, memory and random-name helpers carried by every deliverable.
//
// What it is for: the small routines that every program and extension of the system
// shares: path normalisation around the platform separator, trimming, bounded copies into
// fixed buffers, zeroed blocks with an error text, the file probe, line reads from a file
// handle, the process-wide random source (the RANMAR generator) with the unique names and
// identifiers built from it, and the date-time text of the scratch log.
//
// Ownership: every routine works on the caller's strings and buffers; nothing returned here
// points into storage of this unit. A block from ZeroAlloc belongs to the caller until it
// is handed to FreeBlock (or owned by a BlockPtr).
//
// Locks: the random source is process-wide state guarded by one spin lock, taken by
// SeedRandom, NextRandom, UniqueSuffix and MakeId for a few dozen instructions. Every other
// routine is free of shared state and safe on any thread.
//
// Conventions: a routine given a null or empty input does nothing. A path "separator" is
// the platform separator; a backslash is accepted as one too, because settings and spool
// files written on the original platform carry backslashes.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/win32/windows.h"

namespace foundation {

// Paths are cut to this many bytes, NUL included, where a fixed buffer holds them.
inline constexpr std::size_t kPathBytes = MAX_PATH;
// Names (file names, database names, identifiers) are cut to this many bytes.
inline constexpr std::size_t kNameBytes = 257;

// True for the platform separator and for a backslash.
[[nodiscard]] bool IsPathSeparator(char c);

// Appends the platform separator unless the path is empty or already ends in a separator.
// Returns true if it appended.
bool AddBackslash(std::string& path);

// Removes one trailing separator unless the path is exactly one or two separators (a root
// or the start of a network name). Returns true if it removed.
bool RemoveBackslash(std::string& path);

// Joins a directory and a name with the platform separator (none added after an empty
// directory or one that ends in a separator).
[[nodiscard]] std::string JoinPath(std::string_view directory, std::string_view name);

// Splits a full path after its last separator (or after a drive designator "X:"): the
// directory keeps its trailing separator, the file name is the rest. A path without either
// gives the directory "/" (the platform separator) and the whole path as file name.
// Surrounding double quotes are removed first.
void SplitPath(std::string_view full_path, std::string& directory, std::string& file_name);

// In-place trimming. TrimBoth removes leading blanks and tabs and trailing blanks, tabs,
// CR and LF; TrimLeft and TrimRight remove blanks, tabs, CR and LF at their end. Each
// returns the new length. The char* forms work on a NUL-terminated buffer (null: 0).
std::size_t TrimBoth(std::string& text);
std::size_t TrimLeft(std::string& text);
std::size_t TrimRight(std::string& text);
std::size_t TrimBoth(char* text);
std::size_t TrimLeft(char* text);
std::size_t TrimRight(char* text);

// Copies text into the buffer, cut to buffer.size() - 1 bytes, always NUL-terminated (an
// empty buffer is left alone). Returns true when the text was cut.
bool CopyBounded(std::span<char> buffer, std::string_view text);

// Appends text to the NUL-terminated contents of the buffer while the total length stays
// below limit (limit is capped at buffer.size()), then NUL-terminates. Returns true when
// the text was cut. A buffer without a NUL in its first limit bytes is left alone.
bool AppendBounded(std::span<char> buffer, std::string_view text, std::size_t limit);

// The same rule for a string: appends while its length stays below limit.
bool AppendBounded(std::string& target, std::string_view text, std::size_t limit);

// Comparisons of ASCII letters without regard to case, as the settings, item names and
// header values of the system are compared.
[[nodiscard]] bool EqualsNoCase(std::string_view a, std::string_view b);
[[nodiscard]] bool StartsWithNoCase(std::string_view text, std::string_view prefix);

// printf into a string, cut to max_bytes - 1 characters (a log line's bound, for example);
// without a bound the whole text. An invalid format gives an empty string.
[[nodiscard]] std::string StringPrintfV(std::size_t max_bytes, const char* format,
                                        va_list arguments);
[[nodiscard]] std::string StringPrintf(const char* format, ...)
    __attribute__((format(printf, 1, 2)));

// The largest block ZeroAlloc hands out: what a 32-bit process could ever hold. A larger
// request comes from a corrupt size and fails like an exhausted heap.
inline constexpr std::size_t kMaxBlockBytes = 0x7FFFFFFF;

// Reads a setting's text as a decimal number (blanks around it allowed, a leading sign).
// False for an empty text, junk or a number out of range; `number` is then unchanged.
[[nodiscard]] bool ParseNumber(std::string_view text, long& number);

// Zero-filled block of `bytes` bytes (at least one). On failure returns null and, when
// error_text is given, stores the system error text there.
[[nodiscard]] void* ZeroAlloc(std::size_t bytes, std::string* error_text = nullptr);

// Frees a block from ZeroAlloc; null is accepted. Returns true on success.
bool FreeBlock(void* block, std::string* error_text = nullptr);

struct BlockFree {
  void operator()(void* block) const { FreeBlock(block); }
};
// Owner of a ZeroAlloc block.
using BlockPtr = std::unique_ptr<void, BlockFree>;

// What FileProbe reports about the entry it found.
struct ProbeResult {
  DWORD size_low = 0;
  FILETIME write_time{};
  WIN32_FIND_DATA find_data{};
};

// 0 when an entry that is not a directory matches the name (the first such entry of a
// wildcard search), 1 otherwise. Fills result when given.
[[nodiscard]] int FileProbe(std::string_view name, ProbeResult* result = nullptr);

// True when the path names an existing directory.
[[nodiscard]] bool IsDirectory(std::string_view path);

// Reads one line from the file, a byte at a time, until CR or LF or until size - 1 bytes
// are read; the line end is not stored, so CR LF yields the line and then an empty line.
// Returns true when a line (possibly empty) was read; false at end of file before any byte
// or on a read error. The line is always NUL-terminated within the buffer.
[[nodiscard]] bool ReadHandleLine(std::span<char> buffer, HANDLE file);

// The RANMAR generator of Marsaglia and Zaman in its 24-bit integer form. The process-wide
// source below is one of these; the record is exposed for tests and for callers that need
// a reproducible sequence.
struct Ranmar {
  static constexpr std::uint32_t kSeed1Modulus = 31329;  // first seed: 0..31328
  static constexpr std::uint32_t kSeed2Modulus = 30082;  // second seed: 0..30081

  std::uint32_t u[98] = {};  // lagged values, 1-based as the published generator has them
  std::uint32_t c = 0;
  int i97 = 97;
  int j97 = 33;

  // Fills the table from two seeds (taken modulo their ranges).
  void Seed(std::uint32_t seed1, std::uint32_t seed2);
  // Next number in 0..2^24 - 1.
  [[nodiscard]] std::uint32_t Next();
};

// Seeds the process-wide source once (later calls do nothing): the first seed from the
// tick count, the second from the calling thread's ID, and the C library's generator with
// both. NextRandom calls it when needed.
void SeedRandom();

// Next 24-bit number of the process-wide source.
[[nodiscard]] std::uint32_t NextRandom();

// Appends up to 8 digits to the path: the decimal text of a second random draw followed
// by offset plus a first random draw, cut to 8 characters. An empty path becomes the
// platform separator first. Used for scratch file and directory names.
void UniqueSuffix(std::string& path, unsigned long offset);

// Identifier text: "<tick count>-<10 random digits>", or the tick count alone when
// with_random is false.
[[nodiscard]] std::string MakeId(bool with_random = true);

// Local date and time as the system formats the pictures "dd MMM yyyy" and "HH':'mm':'ss",
// joined by one blank (e.g. "07 Dec 2026 21:09:16").
[[nodiscard]] std::string LogDateTime();

}  // namespace foundation
