// utilities.cpp - path, text, memory and random-name helpers (see utilities.h).
#include "foundation/utilities.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "foundation/error_text.h"
#include "platform/win32/machine.h"

namespace foundation {
namespace {

bool IsBlankOrTab(char c) { return c == ' ' || c == '\t'; }
bool IsTrimmable(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// True on the 9x family, whose thread IDs are small and get their high byte set before
// they seed anything.
bool IsWin9x() {
  OSVERSIONINFO version{};
  version.dwOSVersionInfoSize = sizeof(version);
  if (!GetVersionEx(&version)) return false;
  return version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS;
}

// The process-wide random source and its spin lock. A spin lock rather than a mutex: the
// critical section is a few dozen instructions, it is taken from every scanning thread,
// and it must never allocate.
Ranmar g_ranmar;
bool g_ranmar_seeded = false;  // guarded by g_random_lock
std::atomic<bool> g_random_lock{false};

class SpinGuard {
 public:
  SpinGuard() {
    while (g_random_lock.exchange(true, std::memory_order_acquire)) std::this_thread::yield();
  }
  ~SpinGuard() { g_random_lock.store(false, std::memory_order_release); }
  SpinGuard(const SpinGuard&) = delete;
  SpinGuard& operator=(const SpinGuard&) = delete;
};

// REQUIRES: g_random_lock held.
void SeedLocked() {
  if (g_ranmar_seeded) return;
  const DWORD ticks = GetTickCount();
  DWORD thread_id = GetCurrentThreadId();
  if (IsWin9x()) thread_id ^= 0xFF000000u;
  g_ranmar.Seed((ticks ^ 0x187C5A64u) % Ranmar::kSeed1Modulus,
                thread_id % Ranmar::kSeed2Modulus);
  std::srand(static_cast<unsigned>(thread_id ^ ticks));
  g_ranmar_seeded = true;
}

}  // namespace

bool IsPathSeparator(char c) { return c == vtplatform::kPathSep || c == '\\'; }

bool AddBackslash(std::string& path) {
  if (path.empty() || IsPathSeparator(path.back())) return false;
  path.push_back(vtplatform::kPathSep);
  return true;
}

bool RemoveBackslash(std::string& path) {
  if (path.empty() || !IsPathSeparator(path.back())) return false;
  // A lone separator is a root and a double one the start of a network name: both lose
  // their meaning without it.
  if (path.size() == 1) return false;
  if (path.size() == 2 && IsPathSeparator(path[0])) return false;
  path.pop_back();
  return true;
}

std::string JoinPath(std::string_view directory, std::string_view name) {
  std::string path(directory);
  AddBackslash(path);
  path += name;
  return path;
}

void SplitPath(std::string_view full_path, std::string& directory, std::string& file_name) {
  directory.clear();
  file_name.clear();
  if (full_path.empty()) return;
  // A quoted path (as a command line gives it) is split without its quotes.
  if (full_path.front() == '"') {
    full_path.remove_prefix(1);
    if (!full_path.empty() && full_path.back() == '"') full_path.remove_suffix(1);
  }
  std::size_t cut = std::string_view::npos;
  for (std::size_t i = full_path.size(); i > 0; --i) {
    if (IsPathSeparator(full_path[i - 1])) {
      cut = i;
      break;
    }
  }
  // A drive designator ("C:name") also ends a directory. A colon elsewhere is an ordinary
  // character of a POSIX file name.
  if (cut == std::string_view::npos && full_path.size() >= 2 && full_path[1] == ':' &&
      std::isalpha(static_cast<unsigned char>(full_path[0]))) {
    cut = 2;
  }
  if (cut == std::string_view::npos) {
    directory.assign(1, vtplatform::kPathSep);
    file_name.assign(full_path);
    return;
  }
  directory.assign(full_path.substr(0, cut));
  file_name.assign(full_path.substr(cut));
}

std::size_t TrimLeft(std::string& text) {
  std::size_t start = 0;
  while (start < text.size() && IsTrimmable(text[start])) ++start;
  text.erase(0, start);
  return text.size();
}

std::size_t TrimRight(std::string& text) {
  while (!text.empty() && IsTrimmable(text.back())) text.pop_back();
  return text.size();
}

std::size_t TrimBoth(std::string& text) {
  std::size_t start = 0;
  while (start < text.size() && IsBlankOrTab(text[start])) ++start;
  text.erase(0, start);
  return TrimRight(text);
}

std::size_t TrimLeft(char* text) {
  if (text == nullptr) return 0;
  std::size_t length = std::strlen(text);
  std::size_t start = 0;
  while (start < length && IsTrimmable(text[start])) ++start;
  std::memmove(text, text + start, length - start + 1);
  return length - start;
}

std::size_t TrimRight(char* text) {
  if (text == nullptr) return 0;
  std::size_t length = std::strlen(text);
  while (length > 0 && IsTrimmable(text[length - 1])) text[--length] = '\0';
  return length;
}

std::size_t TrimBoth(char* text) {
  if (text == nullptr) return 0;
  std::size_t length = std::strlen(text);
  std::size_t start = 0;
  while (start < length && IsBlankOrTab(text[start])) ++start;
  std::memmove(text, text + start, length - start + 1);
  return TrimRight(text);
}

bool CopyBounded(std::span<char> buffer, std::string_view text) {
  if (buffer.empty()) return !text.empty();
  const std::size_t length = std::min(text.size(), buffer.size() - 1);
  if (length > 0) std::memcpy(buffer.data(), text.data(), length);
  buffer[length] = '\0';
  return length < text.size();
}

bool AppendBounded(std::span<char> buffer, std::string_view text, std::size_t limit) {
  limit = std::min(limit, buffer.size());
  if (limit == 0) return !text.empty();
  const char* end = static_cast<const char*>(std::memchr(buffer.data(), '\0', limit));
  if (end == nullptr) return !text.empty();  // no room for even the terminator
  const std::size_t used = static_cast<std::size_t>(end - buffer.data());
  // used < limit, so limit - 1 - used is the room left before the terminator.
  const std::size_t length = std::min(text.size(), limit - 1 - used);
  if (length > 0) std::memcpy(buffer.data() + used, text.data(), length);
  buffer[used + length] = '\0';
  return length < text.size();
}

bool AppendBounded(std::string& target, std::string_view text, std::size_t limit) {
  if (target.size() + 1 >= limit) return !text.empty();
  const std::size_t length = std::min(text.size(), limit - 1 - target.size());
  target.append(text.substr(0, length));
  return length < text.size();
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && StartsWithNoCase(a, b);
}

std::string StringPrintfV(std::size_t max_bytes, const char* format, va_list arguments) {
  if (format == nullptr || max_bytes == 0) return {};
  va_list measure;
  va_copy(measure, arguments);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (length < 0) return {};
  std::string text(static_cast<std::size_t>(length), '\0');
  // vsnprintf writes the terminating NUL into the string's own terminator slot.
  std::vsnprintf(text.data(), text.size() + 1, format, arguments);
  if (text.size() > max_bytes - 1) text.resize(max_bytes - 1);
  return text;
}

std::string StringPrintf(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::string text = StringPrintfV(std::string::npos, format, arguments);
  va_end(arguments);
  return text;
}

bool ParseNumber(std::string_view text, long& number) {
  while (!text.empty() && IsTrimmable(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsTrimmable(text.back())) text.remove_suffix(1);
  if (text.empty()) return false;
  long value = 0;
  const char* first = text.data();
  if (*first == '+' && text.size() > 1 && text[1] != '-') ++first;
  const auto [end, error] = std::from_chars(first, text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return false;
  number = value;
  return true;
}

void* ZeroAlloc(std::size_t bytes, std::string* error_text) {
  void* block = bytes <= kMaxBlockBytes ? std::calloc(bytes == 0 ? 1 : bytes, 1) : nullptr;
  if (block == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    if (error_text != nullptr) *error_text = ErrorText();
  }
  return block;
}

bool FreeBlock(void* block, std::string* error_text) {
  std::free(block);
  if (error_text != nullptr) error_text->clear();
  return true;
}

int FileProbe(std::string_view name, ProbeResult* result) {
  if (name.empty()) return 1;
  const std::string pattern(name);
  WIN32_FIND_DATA find_data{};
  HANDLE search = FindFirstFile(pattern.c_str(), &find_data);
  if (search == INVALID_HANDLE_VALUE) return 1;
  int found = 1;
  do {
    if ((find_data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      found = 0;
      break;
    }
  } while (FindNextFile(search, &find_data));
  FindClose(search);
  if (found == 0 && result != nullptr) {
    result->size_low = find_data.nFileSizeLow;
    result->write_time = find_data.ftLastWriteTime;
    result->find_data = find_data;
  }
  return found;
}

bool IsDirectory(std::string_view path) {
  if (path.empty()) return false;
  const std::string name(path);
  const DWORD attributes = GetFileAttributes(name.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool ReadHandleLine(std::span<char> buffer, HANDLE file) {
  if (buffer.empty() || file == nullptr || file == INVALID_HANDLE_VALUE) return false;
  std::size_t used = 0;
  bool read_any = false;
  while (used + 1 < buffer.size()) {
    char c = 0;
    DWORD got = 0;
    if (!ReadFile(file, &c, 1, &got, nullptr) || got == 0) break;
    read_any = true;
    if (c == '\r' || c == '\n') break;
    buffer[used++] = c;
  }
  buffer[used] = '\0';
  return read_any;
}

void Ranmar::Seed(std::uint32_t seed1, std::uint32_t seed2) {
  seed1 %= kSeed1Modulus;
  seed2 %= kSeed2Modulus;
  std::uint32_t i = (seed1 / 177) % 177 + 2;
  std::uint32_t j = seed1 % 177 + 2;
  std::uint32_t k = (seed2 / 169) % 178 + 1;
  std::uint32_t l = seed2 % 169;
  for (int ii = 1; ii <= 97; ++ii) {
    std::uint32_t s = 0;
    for (int jj = 0; jj < 24; ++jj) {
      const std::uint32_t m = (((i * j) % 179) * k) % 179;
      i = j;
      j = k;
      k = m;
      l = (53 * l + 1) % 169;
      s <<= 1;
      if ((l * m) % 64 >= 32) s |= 1;
    }
    u[ii] = s;
  }
  c = 362436;
  i97 = 97;
  j97 = 33;
}

std::uint32_t Ranmar::Next() {
  constexpr std::uint32_t kModulus = 1u << 24;
  constexpr std::uint32_t kCarryStep = 7654321;
  constexpr std::uint32_t kCarryModulus = 16777213;
  std::uint32_t uni = u[i97] >= u[j97] ? u[i97] - u[j97] : u[i97] + kModulus - u[j97];
  u[i97] = uni;
  if (--i97 == 0) i97 = 97;
  if (--j97 == 0) j97 = 97;
  c = c >= kCarryStep ? c - kCarryStep : c + kCarryModulus - kCarryStep;
  return uni >= c ? uni - c : uni + kModulus - c;
}

void SeedRandom() {
  SpinGuard guard;
  SeedLocked();
}

std::uint32_t NextRandom() {
  SpinGuard guard;
  SeedLocked();
  return g_ranmar.Next();
}

void UniqueSuffix(std::string& path, unsigned long offset) {
  if (path.empty()) path.assign(1, vtplatform::kPathSep);
  const std::uint32_t first = NextRandom();
  const std::uint32_t second = NextRandom();
  char digits[48];
  std::snprintf(digits, sizeof(digits), "%lu%lu", static_cast<unsigned long>(second),
                offset + first);
  path.append(digits, std::min<std::size_t>(std::strlen(digits), 8));
}

std::string MakeId(bool with_random) {
  std::string id = std::to_string(static_cast<unsigned long>(GetTickCount()));
  if (!with_random) return id;
  id.push_back('-');
  for (int digit = 0; digit < 10; ++digit) {
    id.push_back(static_cast<char>('0' + NextRandom() % 10));
  }
  return id;
}

std::string LogDateTime() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  char date[32] = {};
  char time[32] = {};
  if (GetDateFormat(LOCALE_SYSTEM_DEFAULT, 0, &now, "dd MMM yyyy", date, sizeof(date)) > 0 &&
      GetTimeFormat(LOCALE_SYSTEM_DEFAULT, 0, &now, "HH':'mm':'ss", time, sizeof(time)) > 0) {
    return std::string(date) + " " + time;
  }
  // The system could not format them: the same pictures by hand, in English.
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const int month = (now.wMonth >= 1 && now.wMonth <= 12) ? now.wMonth - 1 : 0;
  char text[40];
  std::snprintf(text, sizeof(text), "%02u %s %04u %02u:%02u:%02u", unsigned{now.wDay},
                kMonths[month], unsigned{now.wYear}, unsigned{now.wHour},
                unsigned{now.wMinute}, unsigned{now.wSecond});
  return text;
}

}  // namespace foundation
