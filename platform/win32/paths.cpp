// paths.cpp - the directories of the machine, path forms and the environment.
//
// The temporary and Windows directories live below the root; the current directory and the
// environment are the process's own. No state of its own.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32/files.h"
#include "platform/win32/internal.h"
#include "platform/win32/machine.h"
#include "platform/win32/windows.h"

namespace {

constexpr char kSep = vtplatform::kPathSep;

// A root directory path, made on demand; empty with ERROR_PATH_NOT_FOUND when there is no root.
std::string RootDirectory(const char* relative, bool create) {
  std::string path = vtplatform::RootPath(relative);
  if (path.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return path;
  }
  if (create) ::mkdir(path.c_str(), 0777);
  return path;
}

UINT DirectoryOut(const std::string& path, LPSTR buffer, UINT size) {
  if (path.empty()) return 0;
  return win32internal::CopyOut(path, buffer, size);
}

// Resolves "." and ".." and repeated separators of an absolute path.
std::string Normalise(const std::string& absolute) {
  std::vector<std::string> parts;
  std::string::size_type start = 0;
  while (start <= absolute.size()) {
    std::string::size_type end = absolute.find(kSep, start);
    if (end == std::string::npos) end = absolute.size();
    std::string part = absolute.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string result;
  for (const std::string& part : parts) result += kSep + part;
  if (result.empty()) result = std::string(1, kSep);
  // A trailing separator names a directory; keep it as the caller wrote it.
  if (absolute.size() > 1 && absolute.back() == kSep && result.back() != kSep) result += kSep;
  return result;
}

std::string CurrentDirectory() {
  char buffer[PATH_MAX];
  if (::getcwd(buffer, sizeof buffer) == nullptr) return std::string(1, kSep);
  return buffer;
}

std::string RunningProgram() {
  vtplatform::MachineIdentity identity = vtplatform::GetMachineIdentity();
  if (!identity.module_path.empty()) return identity.module_path;
  char buffer[PATH_MAX];
  ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return std::string();
  return std::string(buffer, static_cast<std::size_t>(length));
}

}  // namespace

DWORD GetTempPath(DWORD size, LPSTR buffer) {
  std::string path = RootDirectory("tmp", true);
  if (path.empty()) return 0;
  return win32internal::CopyOut(path + kSep, buffer, size);
}

UINT GetTempFileName(LPCSTR directory, LPCSTR prefix, UINT unique, LPSTR buffer) {
  if (directory == nullptr || buffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  struct stat info {};
  if (::stat(directory, &info) != 0 || !S_ISDIR(info.st_mode)) {
    SetLastError(ERROR_DIRECTORY);
    return 0;
  }
  std::string base = directory;
  if (!base.empty() && base.back() != kSep) base += kSep;
  // Windows uses at most three characters of the prefix.
  if (prefix != nullptr) base.append(prefix, ::strnlen(prefix, 3));
  auto name_for = [&base](UINT number) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%X", number & 0xFFFFu);
    return base + digits + ".TMP";
  };
  if (unique != 0) {
    std::string name = name_for(unique);
    if (name.size() >= MAX_PATH) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return 0;
    }
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    return unique & 0xFFFFu;
  }
  UINT start = (GetTickCount() ^ static_cast<UINT>(::getpid())) & 0xFFFFu;
  for (UINT step = 0; step < 0x10000; ++step) {
    UINT number = (start + step) & 0xFFFFu;
    if (number == 0) continue;
    std::string name = name_for(number);
    if (name.size() >= MAX_PATH) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return 0;
    }
    int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      ::close(fd);
      std::memcpy(buffer, name.c_str(), name.size() + 1);
      return number;
    }
    if (errno != EEXIST) {
      win32internal::FailFromErrno();
      return 0;
    }
  }
  SetLastError(ERROR_FILE_EXISTS);
  return 0;
}

// Paths are not limited here: the short and long forms are the path itself.
DWORD GetShortPathName(LPCSTR long_path, LPSTR buffer, DWORD size) {
  if (long_path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return win32internal::CopyOut(long_path, buffer, size);
}

DWORD GetLongPathName(LPCSTR short_path, LPSTR buffer, DWORD size) {
  return GetShortPathName(short_path, buffer, size);
}

DWORD GetFullPathName(LPCSTR path, DWORD size, LPSTR buffer, LPSTR* file_part) {
  if (path == nullptr || *path == '\0') {
    SetLastError(ERROR_INVALID_NAME);
    return 0;
  }
  std::string absolute = path[0] == kSep ? std::string(path) : CurrentDirectory() + kSep + path;
  std::string full = Normalise(absolute);
  DWORD result = win32internal::CopyOut(full, buffer, size);
  if (file_part != nullptr) {
    *file_part = nullptr;
    if (result < size && full.back() != kSep) {
      *file_part = buffer + full.find_last_of(kSep) + 1;
    }
  }
  return result;
}

DWORD GetCurrentDirectory(DWORD size, LPSTR buffer) {
  return win32internal::CopyOut(CurrentDirectory(), buffer, size);
}

BOOL SetCurrentDirectory(LPCSTR path) {
  if (path == nullptr) return win32internal::Fail(ERROR_INVALID_PARAMETER);
  if (::chdir(path) != 0) {
    return win32internal::Fail(errno == ENOENT || errno == ENOTDIR
                                   ? ERROR_PATH_NOT_FOUND
                                   : static_cast<DWORD>(vtplatform::Win32ErrorFromErrno(errno)));
  }
  return TRUE;
}

UINT GetWindowsDirectory(LPSTR buffer, UINT size) {
  return DirectoryOut(RootDirectory("windows", false), buffer, size);
}

UINT GetSystemWindowsDirectory(LPSTR buffer, UINT size) {
  return GetWindowsDirectory(buffer, size);
}

UINT GetSystemDirectory(LPSTR buffer, UINT size) {
  return DirectoryOut(RootDirectory("windows/system32", false), buffer, size);
}

DWORD GetModuleFileName(HMODULE module, LPSTR buffer, DWORD size) {
  if (module != nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  std::string path = RunningProgram();
  if (path.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  if (buffer == nullptr || size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  // Windows cuts the path to the buffer, terminates it and reports the cut this way.
  if (path.size() + 1 > size) {
    std::memcpy(buffer, path.data(), size - 1);
    buffer[size - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::memcpy(buffer, path.c_str(), path.size() + 1);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(path.size());
}

DWORD GetEnvironmentVariable(LPCSTR name, LPSTR buffer, DWORD size) {
  const char* value = name == nullptr ? nullptr : std::getenv(name);
  if (value == nullptr) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  return win32internal::CopyOut(value, buffer, size);
}

BOOL SetEnvironmentVariable(LPCSTR name, LPCSTR value) {
  if (name == nullptr || *name == '\0') return win32internal::Fail(ERROR_INVALID_PARAMETER);
  int result = value == nullptr ? ::unsetenv(name) : ::setenv(name, value, 1);
  if (result != 0) return win32internal::FailFromErrno();
  return TRUE;
}
