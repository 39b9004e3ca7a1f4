// profile.cpp - profile (INI) files: GetPrivateProfileString and its relatives.
//
// Reads parse the whole file afresh (there is no cache, so the all-null flush is a no-op).
// Writes replace the file atomically: the new text goes to a temporary file in the same
// directory, which is renamed over the old one. Writers in any process serialise on an
// open-file-description lock (F_OFD_SETLKW) of the INI file itself, re-checking after the lock
// that the path still names the locked file, since a rename by the previous writer replaces it.
// OFD locks are separate from the flock locks that carry share modes, so an INI file held open
// by CreateFile does not block its profile writers. Readers take no lock: a rename is atomic.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32/files.h"
#include "platform/win32/internal.h"
#include "platform/win32/machine.h"
#include "platform/win32/windows.h"

namespace {

// A profile file larger than this is not a settings file; it is read as missing rather than
// loaded whole.
constexpr off_t kMaxProfileBytes = 64L * 1024 * 1024;

enum class LineKind { kSection, kKey, kOther };

struct ProfileLine {
  LineKind kind = LineKind::kOther;
  std::string name;   // section or key name, trimmed
  std::string value;  // key value, trimmed, quotes kept
};

struct ProfileText {
  std::vector<std::string> raw;     // the lines as stored, without line ends
  std::vector<ProfileLine> lines;   // their meaning, index for index
  std::string line_end = "\r\n";    // the file's own line end, kept when rewriting
  bool exists = false;
};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

ProfileLine ParseLine(std::string_view raw) {
  ProfileLine line;
  std::string_view text = Trim(raw);
  if (text.empty() || text.front() == ';') return line;
  if (text.front() == '[') {
    std::string_view name = text.substr(1);
    std::string_view::size_type close = name.find(']');
    if (close != std::string_view::npos) name = name.substr(0, close);
    line.kind = LineKind::kSection;
    line.name = std::string(Trim(name));
    return line;
  }
  std::string_view::size_type equals = text.find('=');
  if (equals == std::string_view::npos) return line;  // not a key: ignored
  line.kind = LineKind::kKey;
  line.name = std::string(Trim(text.substr(0, equals)));
  line.value = std::string(Trim(text.substr(equals + 1)));
  return line;
}

// Profile files name the Windows directory when they carry no directory, as on Windows.
std::string ProfilePath(const char* path) {
  if (std::strchr(path, vtplatform::kPathSep) != nullptr) return path;
  std::string windows = vtplatform::RootPath("windows");
  if (windows.empty()) return path;
  return windows + vtplatform::kPathSep + path;
}

bool ReadWhole(int fd, std::string* content) {
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > kMaxProfileBytes) {
    return false;
  }
  content->clear();
  char block[16384];
  for (;;) {
    ssize_t got = ::read(fd, block, sizeof block);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) return true;
    content->append(block, static_cast<std::size_t>(got));
    if (content->size() > static_cast<std::size_t>(kMaxProfileBytes)) return false;
  }
}

ProfileText ParseProfile(const std::string& content) {
  ProfileText profile;
  profile.exists = true;
  std::string_view rest = content;
  // A byte-order mark written by an editor is not part of the first line.
  if (rest.substr(0, 3) == "\xEF\xBB\xBF") rest.remove_prefix(3);
  std::string_view::size_type first_end = rest.find('\n');
  if (first_end != std::string_view::npos && (first_end == 0 || rest[first_end - 1] != '\r')) {
    profile.line_end = "\n";
  }
  while (!rest.empty()) {
    std::string_view::size_type end = rest.find('\n');
    std::string_view raw = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    // A NUL byte ends the text of its line; the rest of that line is not settings text.
    std::string_view::size_type nul = raw.find('\0');
    std::string_view text = nul == std::string_view::npos ? raw : raw.substr(0, nul);
    profile.raw.emplace_back(raw);
    profile.lines.push_back(ParseLine(text));
  }
  return profile;
}

ProfileText LoadProfile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return ProfileText{};
  std::string content;
  bool read = ReadWhole(fd, &content);
  ::close(fd);
  if (!read) return ProfileText{};
  return ParseProfile(content);
}

// Index of the first line of `section`, or -1.
long FindSection(const ProfileText& profile, std::string_view section) {
  for (std::size_t i = 0; i < profile.lines.size(); ++i) {
    if (profile.lines[i].kind == LineKind::kSection && SameName(profile.lines[i].name, section)) {
      return static_cast<long>(i);
    }
  }
  return -1;
}

// One past the last line belonging to the section that starts at `header`.
std::size_t SectionEnd(const ProfileText& profile, std::size_t header) {
  std::size_t end = header + 1;
  while (end < profile.lines.size() && profile.lines[end].kind != LineKind::kSection) ++end;
  return end;
}

long FindKey(const ProfileText& profile, long header, std::string_view key) {
  if (header < 0) return -1;
  std::size_t end = SectionEnd(profile, static_cast<std::size_t>(header));
  for (std::size_t i = static_cast<std::size_t>(header) + 1; i < end; ++i) {
    if (profile.lines[i].kind == LineKind::kKey && SameName(profile.lines[i].name, key)) {
      return static_cast<long>(i);
    }
  }
  return -1;
}

std::string StripQuotes(const std::string& value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

// Copies one string with the Win32 rule: cut to size - 1 characters; returns the length copied.
DWORD CopyString(const std::string& text, LPSTR buffer, DWORD size) {
  if (buffer == nullptr || size == 0) return 0;
  std::size_t length = text.size() < size ? text.size() : size - 1;
  std::memcpy(buffer, text.data(), length);
  buffer[length] = '\0';
  return static_cast<DWORD>(length);
}

// Copies a list of NUL-terminated entries ended by a second NUL. When it does not fit, the
// list is cut, ended by two NULs, and size - 2 is returned, as Win32 does.
DWORD CopyList(const std::vector<std::string>& entries, LPSTR buffer, DWORD size) {
  if (buffer == nullptr || size == 0) return 0;
  std::string list;
  for (const std::string& entry : entries) {
    list += entry;
    list += '\0';
  }
  if (list.size() + 1 <= size) {
    std::memcpy(buffer, list.data(), list.size());
    buffer[list.size()] = '\0';
    if (list.empty() && size > 1) buffer[1] = '\0';
    return static_cast<DWORD>(list.size());
  }
  if (size < 2) {
    buffer[0] = '\0';
    return 0;
  }
  std::memcpy(buffer, list.data(), size - 2);
  buffer[size - 2] = '\0';
  buffer[size - 1] = '\0';
  return size - 2;
}

std::string TrimmedDefault(const char* default_value) {
  if (default_value == nullptr) return std::string();
  std::string text = default_value;
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
  return text;
}

// Text that would break the line structure cannot be stored.
bool Storable(const char* text, const char* forbidden) {
  return text == nullptr || std::strpbrk(text, forbidden) == nullptr;
}

// RAII over the writers' lock of one profile file; see the file comment.
class ProfileWriteLock {
 public:
  explicit ProfileWriteLock(const std::string& path) {
    for (;;) {
      fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
      if (fd_ < 0) {
        error_ = static_cast<DWORD>(vtplatform::Win32ErrorFromErrno(errno));
        if (errno == ENOENT) error_ = ERROR_PATH_NOT_FOUND;
        return;
      }
      struct flock whole {};
      whole.l_type = F_WRLCK;
      whole.l_whence = SEEK_SET;
      while (::fcntl(fd_, F_OFD_SETLKW, &whole) != 0) {
        if (errno != EINTR) {
          error_ = static_cast<DWORD>(vtplatform::Win32ErrorFromErrno(errno));
          return;
        }
      }
      struct stat by_fd {};
      struct stat by_path {};
      if (::fstat(fd_, &by_fd) == 0 && ::stat(path.c_str(), &by_path) == 0 &&
          by_fd.st_ino == by_path.st_ino && by_fd.st_dev == by_path.st_dev) {
        return;
      }
      ::close(fd_);  // replaced while we waited: lock the new file
      fd_ = -1;
    }
  }
  ~ProfileWriteLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  ProfileWriteLock(const ProfileWriteLock&) = delete;
  ProfileWriteLock& operator=(const ProfileWriteLock&) = delete;

  [[nodiscard]] int fd() const { return fd_; }
  [[nodiscard]] DWORD error() const { return error_; }

 private:
  int fd_ = -1;
  DWORD error_ = ERROR_SUCCESS;
};

bool ReplaceFile(const std::string& path, const ProfileText& profile) {
  std::string text;
  for (const std::string& line : profile.raw) {
    text += line;
    text += profile.line_end;
  }
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, ".~%d-%u", static_cast<int>(::getpid()),
                GetCurrentThreadId());
  std::string temporary = path + suffix;
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return win32internal::FailFromErrno();
  // The new file keeps the old one's mode, given before a byte is written: a file readable
  // by its owner only is never readable by others, not even as the temporary.
  struct stat old_info {};
  if (::stat(path.c_str(), &old_info) == 0) ::fchmod(fd, old_info.st_mode & 07777);
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t put = ::write(fd, text.data() + done, text.size() - done);
    if (put < 0) {
      if (errno == EINTR) continue;
      int error = errno;
      ::close(fd);
      ::unlink(temporary.c_str());
      errno = error;
      return win32internal::FailFromErrno();
    }
    done += static_cast<std::size_t>(put);
  }
  if (::close(fd) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
    int error = errno;
    ::unlink(temporary.c_str());
    errno = error;
    return win32internal::FailFromErrno();
  }
  return true;
}

std::string KeyLine(const char* key, const char* value) {
  return std::string(key) + "=" + value;
}

BOOL WriteProfile(const std::string& path, const char* section, const char* key,
                  const char* value) {
  ProfileWriteLock lock(path);
  if (lock.fd() < 0) return win32internal::Fail(lock.error());
  std::string content;
  if (!ReadWhole(lock.fd(), &content)) return win32internal::Fail(ERROR_ACCESS_DENIED);
  ProfileText profile = ParseProfile(content);
  long header = FindSection(profile, section);

  if (key == nullptr) {
    if (header < 0) return TRUE;
    std::size_t end = SectionEnd(profile, static_cast<std::size_t>(header));
    profile.raw.erase(profile.raw.begin() + header, profile.raw.begin() + static_cast<long>(end));
    profile.lines.erase(profile.lines.begin() + header,
                        profile.lines.begin() + static_cast<long>(end));
    return ReplaceFile(path, profile) ? TRUE : FALSE;
  }
  long at = FindKey(profile, header, key);
  if (value == nullptr) {
    if (at < 0) return TRUE;
    profile.raw.erase(profile.raw.begin() + at);
    profile.lines.erase(profile.lines.begin() + at);
    return ReplaceFile(path, profile) ? TRUE : FALSE;
  }
  if (at >= 0) {
    profile.raw[static_cast<std::size_t>(at)] = KeyLine(key, value);
  } else if (header >= 0) {
    // After the section's last key, before any blank lines that set off the next section.
    std::size_t end = SectionEnd(profile, static_cast<std::size_t>(header));
    std::size_t insert = static_cast<std::size_t>(header) + 1;
    for (std::size_t i = insert; i < end; ++i) {
      if (!Trim(profile.raw[i]).empty()) insert = i + 1;
    }
    profile.raw.insert(profile.raw.begin() + static_cast<long>(insert), KeyLine(key, value));
    profile.lines.insert(profile.lines.begin() + static_cast<long>(insert), ProfileLine{});
  } else {
    if (!profile.raw.empty() && !Trim(profile.raw.back()).empty()) profile.raw.emplace_back();
    profile.raw.push_back(std::string("[") + section + "]");
    profile.raw.push_back(KeyLine(key, value));
  }
  return ReplaceFile(path, profile) ? TRUE : FALSE;
}

std::string WinIniPath() {
  std::string windows = vtplatform::RootPath("windows");
  if (windows.empty()) return windows;
  ::mkdir(windows.c_str(), 0777);
  return windows + vtplatform::kPathSep + "win.ini";
}

}  // namespace

DWORD GetPrivateProfileString(LPCSTR section, LPCSTR key, LPCSTR default_value, LPSTR buffer,
                              DWORD size, LPCSTR path) {
  if (buffer == nullptr || size == 0) return 0;
  ProfileText profile = path == nullptr ? ProfileText{} : LoadProfile(ProfilePath(path));
  if (section == nullptr) {
    std::vector<std::string> names;
    for (const ProfileLine& line : profile.lines) {
      if (line.kind == LineKind::kSection) names.push_back(line.name);
    }
    SetLastError(ERROR_SUCCESS);
    return CopyList(names, buffer, size);
  }
  long header = FindSection(profile, section);
  if (key == nullptr) {
    std::vector<std::string> keys;
    if (header >= 0) {
      std::size_t end = SectionEnd(profile, static_cast<std::size_t>(header));
      for (std::size_t i = static_cast<std::size_t>(header) + 1; i < end; ++i) {
        if (profile.lines[i].kind == LineKind::kKey) keys.push_back(profile.lines[i].name);
      }
    }
    SetLastError(ERROR_SUCCESS);
    return CopyList(keys, buffer, size);
  }
  long at = FindKey(profile, header, key);
  if (at < 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return CopyString(TrimmedDefault(default_value), buffer, size);
  }
  SetLastError(ERROR_SUCCESS);
  return CopyString(StripQuotes(profile.lines[static_cast<std::size_t>(at)].value), buffer, size);
}

UINT GetPrivateProfileInt(LPCSTR section, LPCSTR key, INT default_value, LPCSTR path) {
  if (section == nullptr || key == nullptr || path == nullptr) {
    return static_cast<UINT>(default_value);
  }
  ProfileText profile = LoadProfile(ProfilePath(path));
  long at = FindKey(profile, FindSection(profile, section), key);
  if (at < 0) return static_cast<UINT>(default_value);
  std::string value = StripQuotes(profile.lines[static_cast<std::size_t>(at)].value);
  // Leading digits, as the C runtime's atoi reads them; anything else reads as 0.
  return static_cast<UINT>(std::strtol(value.c_str(), nullptr, 10));
}

DWORD GetPrivateProfileSection(LPCSTR section, LPSTR buffer, DWORD size, LPCSTR path) {
  if (buffer == nullptr || size == 0) return 0;
  std::vector<std::string> entries;
  if (section != nullptr && path != nullptr) {
    ProfileText profile = LoadProfile(ProfilePath(path));
    long header = FindSection(profile, section);
    if (header >= 0) {
      std::size_t end = SectionEnd(profile, static_cast<std::size_t>(header));
      for (std::size_t i = static_cast<std::size_t>(header) + 1; i < end; ++i) {
        const ProfileLine& line = profile.lines[i];
        if (line.kind == LineKind::kKey) entries.push_back(line.name + "=" + line.value);
      }
    }
  }
  return CopyList(entries, buffer, size);
}

DWORD GetPrivateProfileSectionNames(LPSTR buffer, DWORD size, LPCSTR path) {
  return GetPrivateProfileString(nullptr, nullptr, nullptr, buffer, size, path);
}

BOOL WritePrivateProfileString(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR path) {
  if (section == nullptr && key == nullptr && value == nullptr) return TRUE;  // flush: no cache
  if (section == nullptr || path == nullptr) return win32internal::Fail(ERROR_INVALID_PARAMETER);
  // Line ends, or a key holding '=', would make the file say something else than was written.
  if (!Storable(section, "]\r\n") || !Storable(key, "=\r\n") || !Storable(value, "\r\n") ||
      (key != nullptr && Trim(key).empty()) || Trim(section).empty()) {
    return win32internal::Fail(ERROR_INVALID_PARAMETER);
  }
  return WriteProfile(ProfilePath(path), section, key, value);
}

DWORD GetProfileString(LPCSTR section, LPCSTR key, LPCSTR default_value, LPSTR buffer,
                       DWORD size) {
  std::string path = WinIniPath();
  if (path.empty()) {
    if (key == nullptr || section == nullptr) return CopyList({}, buffer, size);
    return CopyString(TrimmedDefault(default_value), buffer, size);
  }
  return GetPrivateProfileString(section, key, default_value, buffer, size, path.c_str());
}

UINT GetProfileInt(LPCSTR section, LPCSTR key, INT default_value) {
  std::string path = WinIniPath();
  if (path.empty()) return static_cast<UINT>(default_value);
  return GetPrivateProfileInt(section, key, default_value, path.c_str());
}

BOOL WriteProfileString(LPCSTR section, LPCSTR key, LPCSTR value) {
  std::string path = WinIniPath();
  if (path.empty()) return win32internal::Fail(ERROR_PATH_NOT_FOUND);
  return WritePrivateProfileString(section, key, value, path.c_str());
}
