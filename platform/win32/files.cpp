// files.cpp - files with share modes, directories, directory search and path calls.
//
// Share modes are flock(2) locks on each open file description: share mode 0 takes an
// exclusive lock, any sharing a shared one, never waiting. Because every CreateFile makes its
// own open file description, two opens conflict the same way whether they come from two
// threads or two processes, and a crashed holder's lock goes away with its descriptors.
#include "platform/win32/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32/handles.h"
#include "platform/win32/internal.h"
#include "platform/win32/machine.h"

namespace win32internal {

FileObject::~FileObject() {
  if (fd >= 0) {
    if (delete_on_close) ::unlink(path.c_str());
    ::close(fd);
  }
}

DWORD NotFoundCode(const std::string& path) {
  std::string::size_type slash = path.find_last_of(vtplatform::kPathSep);
  if (slash == std::string::npos || slash == 0) return ERROR_FILE_NOT_FOUND;
  struct stat info {};
  std::string directory = path.substr(0, slash);
  if (::stat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return ERROR_PATH_NOT_FOUND;
  }
  return ERROR_FILE_NOT_FOUND;
}

namespace {

DWORD CodeForPath(int error, const std::string& path) {
  if (error == ENOENT) return NotFoundCode(path);
  if (error == ENOTDIR) return ERROR_PATH_NOT_FOUND;
  return static_cast<DWORD>(vtplatform::Win32ErrorFromErrno(error));
}

}  // namespace

int OpenShared(const std::string& path, int flags, DWORD share_mode, bool* existed) {
  if (path.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return -1;
  }
  bool truncate = (flags & O_TRUNC) != 0;
  flags &= ~O_TRUNC;
  flags |= O_CLOEXEC;
  bool was_there = ::access(path.c_str(), F_OK) == 0;
  int fd = ::open(path.c_str(), flags, 0666);
  if (fd < 0) {
    SetLastError(CodeForPath(errno, path));
    return -1;
  }
  int lock = (share_mode & (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) == 0
                 ? LOCK_EX
                 : LOCK_SH;
  if (::flock(fd, lock | LOCK_NB) != 0) {
    int error = errno;
    ::close(fd);
    SetLastError(error == EWOULDBLOCK ? ERROR_SHARING_VIOLATION
                                      : static_cast<DWORD>(vtplatform::Win32ErrorFromErrno(error)));
    return -1;
  }
  if (truncate && ::ftruncate(fd, 0) != 0) {
    int error = errno;
    ::close(fd);
    SetLastError(static_cast<DWORD>(vtplatform::Win32ErrorFromErrno(error)));
    return -1;
  }
  if (existed != nullptr) *existed = was_there;
  return fd;
}

FILETIME FileTimeFromUnix(time_t seconds, long nanoseconds) {
  // 100-nanosecond intervals since 1 January 1601.
  constexpr std::uint64_t kEpochDifferenceSeconds = 11644473600ULL;
  std::uint64_t ticks =
      (static_cast<std::uint64_t>(seconds) + kEpochDifferenceSeconds) * 10000000ULL +
      static_cast<std::uint64_t>(nanoseconds) / 100;
  FILETIME result;
  result.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
  result.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return result;
}

DWORD CopyOut(const std::string& text, LPSTR buffer, DWORD size) {
  if (buffer == nullptr || text.size() + 1 > size) return static_cast<DWORD>(text.size() + 1);
  std::memmove(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  return static_cast<DWORD>(text.size());
}

namespace {

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool MatchFrom(const char* pattern, const char* name) {
  // Iterative match with one backtrack point for the last `*`: linear enough for file names
  // and immune to the exponential blow-up of the recursive form.
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*name != '\0') {
    if (*pattern == '*') {
      star = pattern++;
      resume = name;
    } else if (*pattern == '?' || (*pattern != '\0' && Lower(*pattern) == Lower(*name))) {
      ++pattern;
      ++name;
    } else if (star != nullptr) {
      pattern = star + 1;
      name = ++resume;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == '\0';
}

}  // namespace

bool WildcardMatch(const char* pattern, const char* name) {
  // "*.*" is every name, also those without a dot, as on Windows.
  if (std::strcmp(pattern, "*.*") == 0) return true;
  return MatchFrom(pattern, name);
}

// The entries of one search, read at FindFirstFile.
struct FindObject {
  std::vector<WIN32_FIND_DATA> entries;
  std::size_t next = 0;
};

}  // namespace win32internal

using win32internal::FileObject;
using win32internal::FindObject;
using win32internal::LookupHandle;

namespace {

int OpenFlags(DWORD access, DWORD disposition) {
  bool read = (access & (GENERIC_READ | GENERIC_ALL | GENERIC_EXECUTE | FILE_READ_DATA)) != 0;
  bool write =
      (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
  int flags = write ? (read ? O_RDWR : O_WRONLY) : O_RDONLY;
  switch (disposition) {
    case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: flags |= O_CREAT | O_TRUNC; break;
    case OPEN_ALWAYS: flags |= O_CREAT; break;
    case TRUNCATE_EXISTING: flags |= O_TRUNC; break;
    default: break;
  }
  return flags;
}

bool IsDirectoryPath(const char* path) {
  struct stat info {};
  return ::stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

std::shared_ptr<FileObject> FileFromHandle(HANDLE file) {
  auto object = LookupHandle<FileObject>(file);
  if (object == nullptr) SetLastError(ERROR_INVALID_HANDLE);
  return object;
}

DWORD AttributesOf(const struct stat& info) {
  if (S_ISDIR(info.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
  DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;
  if ((info.st_mode & S_IWUSR) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes;
}

bool CopyContents(int from, int to) {
  char block[65536];
  for (;;) {
    ssize_t got = ::read(from, block, sizeof block);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) return true;
    ssize_t done = 0;
    while (done < got) {
      ssize_t put = ::write(to, block + done, static_cast<size_t>(got - done));
      if (put < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      done += put;
    }
  }
}

std::string DirectoryOf(const std::string& pattern) {
  std::string::size_type slash = pattern.find_last_of(vtplatform::kPathSep);
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return pattern.substr(0, slash);
}

std::string LastComponent(const std::string& pattern) {
  std::string::size_type slash = pattern.find_last_of(vtplatform::kPathSep);
  return slash == std::string::npos ? pattern : pattern.substr(slash + 1);
}

}  // namespace

HANDLE CreateFile(LPCSTR path, DWORD access, DWORD share_mode, LPSECURITY_ATTRIBUTES attributes,
                  DWORD disposition, DWORD flags, HANDLE template_file) {
  if (path == nullptr || disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  if (IsDirectoryPath(path) && (flags & FILE_FLAG_BACKUP_SEMANTICS) == 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  int open_flags = OpenFlags(access, disposition);
  if (disposition == TRUNCATE_EXISTING && (open_flags & (O_WRONLY | O_RDWR)) == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  bool existed = false;
  int fd = win32internal::OpenShared(path, open_flags, share_mode, &existed);
  if (fd < 0) {
    if (disposition == CREATE_NEW && GetLastError() == ERROR_ALREADY_EXISTS) {
      SetLastError(ERROR_FILE_EXISTS);
    }
    return INVALID_HANDLE_VALUE;
  }
  auto object = std::make_shared<FileObject>();
  object->fd = fd;
  object->path = path;
  object->readable = (open_flags & O_ACCMODE) != O_WRONLY;
  object->writable = (open_flags & O_ACCMODE) != O_RDONLY;
  object->delete_on_close = (flags & FILE_FLAG_DELETE_ON_CLOSE) != 0;
  HANDLE handle = win32internal::InsertHandle(object);
  // Win32 reports an existing file replaced or opened by these dispositions this way.
  SetLastError((existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS))
                   ? ERROR_ALREADY_EXISTS
                   : ERROR_SUCCESS);
  return handle;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytes_to_read, LPDWORD bytes_read,
              LPOVERLAPPED overlapped) {
  if (bytes_read != nullptr) *bytes_read = 0;
  auto object = FileFromHandle(file);
  if (object == nullptr) return FALSE;
  if (!object->readable) return win32internal::Fail(ERROR_ACCESS_DENIED);
  if (buffer == nullptr && bytes_to_read > 0) return win32internal::Fail(ERROR_NOACCESS);
  DWORD total = 0;
  auto* bytes = static_cast<char*>(buffer);
  while (total < bytes_to_read) {
    ssize_t got = ::read(object->fd, bytes + total, bytes_to_read - total);
    if (got < 0) {
      if (errno == EINTR) continue;
      if (bytes_read != nullptr) *bytes_read = total;
      return win32internal::FailFromErrno();
    }
    if (got == 0) break;
    total += static_cast<DWORD>(got);
  }
  if (bytes_read != nullptr) *bytes_read = total;
  return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes_to_write, LPDWORD bytes_written,
               LPOVERLAPPED overlapped) {
  if (bytes_written != nullptr) *bytes_written = 0;
  auto object = FileFromHandle(file);
  if (object == nullptr) return FALSE;
  if (!object->writable) return win32internal::Fail(ERROR_ACCESS_DENIED);
  if (buffer == nullptr && bytes_to_write > 0) return win32internal::Fail(ERROR_NOACCESS);
  DWORD total = 0;
  const auto* bytes = static_cast<const char*>(buffer);
  while (total < bytes_to_write) {
    ssize_t put = ::write(object->fd, bytes + total, bytes_to_write - total);
    if (put < 0) {
      if (errno == EINTR) continue;
      if (bytes_written != nullptr) *bytes_written = total;
      return win32internal::FailFromErrno();
    }
    total += static_cast<DWORD>(put);
  }
  if (bytes_written != nullptr) *bytes_written = total;
  return TRUE;
}

DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distance_high, DWORD method) {
  auto object = FileFromHandle(file);
  if (object == nullptr) return INVALID_SET_FILE_POINTER;
  std::int64_t offset = distance;
  if (distance_high != nullptr) {
    offset = static_cast<std::int64_t>((static_cast<std::uint64_t>(
                                            static_cast<std::uint32_t>(*distance_high))
                                        << 32) |
                                       static_cast<std::uint32_t>(distance));
  }
  int whence = method == FILE_BEGIN ? SEEK_SET : method == FILE_CURRENT ? SEEK_CUR : SEEK_END;
  if (method > FILE_END) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  off_t position = ::lseek(object->fd, static_cast<off_t>(offset), whence);
  if (position < 0) {
    SetLastError(errno == EINVAL ? ERROR_NEGATIVE_SEEK
                                 : static_cast<DWORD>(vtplatform::Win32ErrorFromErrno(errno)));
    return INVALID_SET_FILE_POINTER;
  }
  if (distance_high != nullptr) {
    *distance_high = static_cast<LONG>(static_cast<std::uint64_t>(position) >> 32);
  } else if (position > 0xFFFFFFFE) {
    // A 32-bit caller cannot represent the position: Windows refuses the move.
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(static_cast<std::uint64_t>(position) & 0xFFFFFFFFu);
}

DWORD GetFileSize(HANDLE file, LPDWORD size_high) {
  auto object = FileFromHandle(file);
  if (object == nullptr) return INVALID_FILE_SIZE;
  struct stat info {};
  if (::fstat(object->fd, &info) != 0) {
    win32internal::FailFromErrno();
    return INVALID_FILE_SIZE;
  }
  auto size = static_cast<std::uint64_t>(info.st_size);
  if (size_high != nullptr) *size_high = static_cast<DWORD>(size >> 32);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(size & 0xFFFFFFFFu);
}

BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER new_position,
                      DWORD method) {
  auto object = FileFromHandle(file);
  if (object == nullptr) return FALSE;
  if (method > FILE_END) return win32internal::Fail(ERROR_INVALID_PARAMETER);
  int whence = method == FILE_BEGIN ? SEEK_SET : method == FILE_CURRENT ? SEEK_CUR : SEEK_END;
  off_t position = ::lseek(object->fd, static_cast<off_t>(distance.QuadPart), whence);
  if (position < 0) {
    return win32internal::Fail(errno == EINVAL
                                   ? ERROR_NEGATIVE_SEEK
                                   : static_cast<DWORD>(vtplatform::Win32ErrorFromErrno(errno)));
  }
  if (new_position != nullptr) new_position->QuadPart = position;
  return TRUE;
}

BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size) {
  auto object = FileFromHandle(file);
  if (object == nullptr) return FALSE;
  if (size == nullptr) return win32internal::Fail(ERROR_INVALID_PARAMETER);
  struct stat info {};
  if (::fstat(object->fd, &info) != 0) return win32internal::FailFromErrno();
  size->QuadPart = info.st_size;
  return TRUE;
}

DWORD GetFinalPathNameByHandle(HANDLE file, LPSTR buffer, DWORD size, DWORD) {
  auto object = FileFromHandle(file);
  if (object == nullptr) return 0;
  char target[PATH_MAX];
  const std::string link = "/proc/self/fd/" + std::to_string(object->fd);
  const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
  if (length <= 0) {
    win32internal::FailFromErrno();
    return 0;
  }
  const std::string path(target, static_cast<std::size_t>(length));
  if (buffer == nullptr || size <= path.size()) return static_cast<DWORD>(path.size() + 1);
  std::memcpy(buffer, path.c_str(), path.size() + 1);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(path.size());
}

BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
  auto object = FileFromHandle(file);
  if (object == nullptr) return FALSE;
  if (info == nullptr) return win32internal::Fail(ERROR_INVALID_PARAMETER);
  struct stat st {};
  if (::fstat(object->fd, &st) != 0) return win32internal::FailFromErrno();
  *info = BY_HANDLE_FILE_INFORMATION{};
  info->dwFileAttributes = AttributesOf(st);
  info->ftCreationTime = win32internal::FileTimeFromUnix(st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
  info->ftLastAccessTime = win32internal::FileTimeFromUnix(st.st_atim.tv_sec, st.st_atim.tv_nsec);
  info->ftLastWriteTime = win32internal::FileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  info->dwVolumeSerialNumber = static_cast<DWORD>(st.st_dev);
  info->nFileSizeHigh = static_cast<DWORD>(static_cast<std::uint64_t>(st.st_size) >> 32);
  info->nFileSizeLow = static_cast<DWORD>(st.st_size);
  info->nNumberOfLinks = static_cast<DWORD>(st.st_nlink);
  info->nFileIndexHigh = static_cast<DWORD>(static_cast<std::uint64_t>(st.st_ino) >> 32);
  info->nFileIndexLow = static_cast<DWORD>(st.st_ino);
  return TRUE;
}

BOOL GetFileTime(HANDLE file, LPFILETIME creation, LPFILETIME last_access,
                 LPFILETIME last_write) {
  auto object = FileFromHandle(file);
  if (object == nullptr) return FALSE;
  struct stat info {};
  if (::fstat(object->fd, &info) != 0) return win32internal::FailFromErrno();
  if (creation != nullptr) {
    *creation = win32internal::FileTimeFromUnix(info.st_ctim.tv_sec, info.st_ctim.tv_nsec);
  }
  if (last_access != nullptr) {
    *last_access = win32internal::FileTimeFromUnix(info.st_atim.tv_sec, info.st_atim.tv_nsec);
  }
  if (last_write != nullptr) {
    *last_write = win32internal::FileTimeFromUnix(info.st_mtim.tv_sec, info.st_mtim.tv_nsec);
  }
  return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
  auto object = FileFromHandle(file);
  if (object == nullptr) return FALSE;
  if (::fsync(object->fd) != 0 && errno != EINVAL) return win32internal::FailFromErrno();
  return TRUE;
}

BOOL SetEndOfFile(HANDLE file) {
  auto object = FileFromHandle(file);
  if (object == nullptr) return FALSE;
  if (!object->writable) return win32internal::Fail(ERROR_ACCESS_DENIED);
  off_t position = ::lseek(object->fd, 0, SEEK_CUR);
  if (position < 0 || ::ftruncate(object->fd, position) != 0) {
    return win32internal::FailFromErrno();
  }
  return TRUE;
}

BOOL DeleteFile(LPCSTR path) {
  if (path == nullptr) return win32internal::Fail(ERROR_INVALID_PARAMETER);
  struct stat info {};
  if (::lstat(path, &info) != 0) return win32internal::Fail(win32internal::NotFoundCode(path));
  if (S_ISDIR(info.st_mode)) return win32internal::Fail(ERROR_ACCESS_DENIED);
  // A file held open without sharing cannot be deleted on Windows; a shared lock taken here
  // fails exactly when such an open exists.
  if (S_ISREG(info.st_mode)) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0) {
      bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
      ::close(fd);
      if (held) return win32internal::Fail(ERROR_SHARING_VIOLATION);
    }
  }
  if (::unlink(path) != 0) return win32internal::FailFromErrno();
  return TRUE;
}

BOOL MoveFileEx(LPCSTR from, LPCSTR to, DWORD flags) {
  if (from == nullptr || to == nullptr) return win32internal::Fail(ERROR_INVALID_PARAMETER);
  struct stat source {};
  if (::lstat(from, &source) != 0) return win32internal::Fail(win32internal::NotFoundCode(from));
  struct stat target {};
  bool target_exists = ::lstat(to, &target) == 0;
  if (target_exists) {
    bool same = target.st_ino == source.st_ino && target.st_dev == source.st_dev;
    // Renaming a file onto another spelling of its own name is a rename, not a replacement.
    if (!same && ((flags & MOVEFILE_REPLACE_EXISTING) == 0 || S_ISDIR(target.st_mode))) {
      return win32internal::Fail(ERROR_ALREADY_EXISTS);
    }
  }
  if (::rename(from, to) == 0) return TRUE;
  if (errno == EXDEV && (flags & MOVEFILE_COPY_ALLOWED) != 0 && !S_ISDIR(source.st_mode)) {
    if (!CopyFile(from, to, FALSE)) return FALSE;
    return DeleteFile(from);
  }
  return win32internal::FailFromErrno();
}

BOOL MoveFile(LPCSTR from, LPCSTR to) { return MoveFileEx(from, to, MOVEFILE_COPY_ALLOWED); }

BOOL CopyFile(LPCSTR from, LPCSTR to, BOOL fail_if_exists) {
  if (from == nullptr || to == nullptr) return win32internal::Fail(ERROR_INVALID_PARAMETER);
  if (IsDirectoryPath(from)) return win32internal::Fail(ERROR_ACCESS_DENIED);
  int source = win32internal::OpenShared(from, O_RDONLY, FILE_SHARE_READ, nullptr);
  if (source < 0) return FALSE;
  int flags = O_WRONLY | O_CREAT | O_TRUNC | (fail_if_exists ? O_EXCL : 0);
  int target = win32internal::OpenShared(to, flags, 0, nullptr);
  if (target < 0) {
    DWORD code = GetLastError();
    ::close(source);
    return win32internal::Fail(code == ERROR_ALREADY_EXISTS ? ERROR_FILE_EXISTS : code);
  }
  bool copied = CopyContents(source, target);
  int error = errno;
  struct stat info {};
  if (copied && ::fstat(source, &info) == 0) {
    // The copy keeps the last-write time, as Windows does.
    struct timespec times[2] = {info.st_atim, info.st_mtim};
    ::futimens(target, times);
  }
  ::close(source);
  ::close(target);
  if (!copied) {
    ::unlink(to);
    SetLastError(static_cast<DWORD>(vtplatform::Win32ErrorFromErrno(error)));
    return FALSE;
  }
  return TRUE;
}

BOOL CreateDirectory(LPCSTR path, LPSECURITY_ATTRIBUTES attributes) {
  if (path == nullptr || *path == '\0') return win32internal::Fail(ERROR_PATH_NOT_FOUND);
  if (::mkdir(path, 0777) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return win32internal::Fail(ERROR_PATH_NOT_FOUND);
    return win32internal::FailFromErrno();
  }
  return TRUE;
}

BOOL RemoveDirectory(LPCSTR path) {
  if (path == nullptr) return win32internal::Fail(ERROR_INVALID_PARAMETER);
  if (::rmdir(path) != 0) {
    if (errno == ENOTEMPTY || errno == EEXIST) return win32internal::Fail(ERROR_DIR_NOT_EMPTY);
    if (errno == ENOTDIR) return win32internal::Fail(ERROR_DIRECTORY);
    if (errno == ENOENT) return win32internal::Fail(win32internal::NotFoundCode(path));
    return win32internal::FailFromErrno();
  }
  return TRUE;
}

DWORD GetFileAttributes(LPCSTR path) {
  struct stat info {};
  if (path == nullptr || ::stat(path, &info) != 0) {
    if (path == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
    } else {
      SetLastError(errno == ENOENT ? win32internal::NotFoundCode(path)
                                   : static_cast<DWORD>(vtplatform::Win32ErrorFromErrno(errno)));
    }
    return INVALID_FILE_ATTRIBUTES;
  }
  return AttributesOf(info);
}

BOOL SetFileAttributes(LPCSTR path, DWORD attributes) {
  struct stat info {};
  if (path == nullptr || ::stat(path, &info) != 0) {
    return win32internal::Fail(path == nullptr ? ERROR_INVALID_PARAMETER
                                               : win32internal::NotFoundCode(path));
  }
  if (S_ISDIR(info.st_mode)) return TRUE;
  mode_t mode = info.st_mode & 07777;
  mode = (attributes & FILE_ATTRIBUTE_READONLY) != 0 ? (mode & ~0222) : (mode | S_IWUSR);
  if (::chmod(path, mode) != 0) return win32internal::FailFromErrno();
  return TRUE;
}

BOOL VtRestrictToOwner(LPCSTR path) {
  if (path == nullptr) return win32internal::Fail(ERROR_INVALID_PARAMETER);
  const int fd = ::open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return win32internal::FailFromErrno();
  struct stat info {};
  int result = ::fstat(fd, &info);
  if (result == 0) {
    const mode_t mode = S_ISDIR(info.st_mode) ? 0700 : (0600 | (info.st_mode & S_IXUSR));
    result = ::fchmod(fd, mode);
  }
  const int error = errno;
  ::close(fd);
  if (result != 0) {
    errno = error;
    return win32internal::FailFromErrno();
  }
  return TRUE;
}

HANDLE FindFirstFile(LPCSTR pattern, LPWIN32_FIND_DATA found) {
  if (pattern == nullptr || found == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::string directory = DirectoryOf(pattern);
  std::string name_pattern = LastComponent(pattern);
  DIR* listing = ::opendir(directory.c_str());
  if (listing == nullptr) {
    SetLastError(errno == ENOTDIR || errno == ENOENT
                     ? ERROR_PATH_NOT_FOUND
                     : static_cast<DWORD>(vtplatform::Win32ErrorFromErrno(errno)));
    return INVALID_HANDLE_VALUE;
  }
  auto object = std::make_shared<FindObject>();
  while (struct dirent* entry = ::readdir(listing)) {
    std::size_t length = std::strlen(entry->d_name);
    // A name that cannot fit cFileName is left out rather than reported cut.
    if (length >= MAX_PATH) continue;
    if (name_pattern.empty() || !win32internal::WildcardMatch(name_pattern.c_str(), entry->d_name)) {
      continue;
    }
    struct stat info {};
    if (::fstatat(dirfd(listing), entry->d_name, &info, 0) != 0) continue;  // vanished
    WIN32_FIND_DATA data{};
    data.dwFileAttributes = AttributesOf(info);
    data.ftCreationTime = win32internal::FileTimeFromUnix(info.st_ctim.tv_sec, info.st_ctim.tv_nsec);
    data.ftLastAccessTime =
        win32internal::FileTimeFromUnix(info.st_atim.tv_sec, info.st_atim.tv_nsec);
    data.ftLastWriteTime =
        win32internal::FileTimeFromUnix(info.st_mtim.tv_sec, info.st_mtim.tv_nsec);
    if (!S_ISDIR(info.st_mode)) {
      auto size = static_cast<std::uint64_t>(info.st_size);
      data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
      data.nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
    }
    std::memcpy(data.cFileName, entry->d_name, length + 1);
    object->entries.push_back(data);
  }
  ::closedir(listing);
  if (object->entries.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::sort(object->entries.begin(), object->entries.end(),
            [](const WIN32_FIND_DATA& a, const WIN32_FIND_DATA& b) {
              return _stricmp(a.cFileName, b.cFileName) < 0;
            });
  *found = object->entries[0];
  object->next = 1;
  SetLastError(ERROR_SUCCESS);
  return win32internal::InsertHandle(object);
}

BOOL FindNextFile(HANDLE find, LPWIN32_FIND_DATA found) {
  auto object = LookupHandle<FindObject>(find);
  if (object == nullptr || found == nullptr) return win32internal::Fail(ERROR_INVALID_HANDLE);
  if (object->next >= object->entries.size()) return win32internal::Fail(ERROR_NO_MORE_FILES);
  *found = object->entries[object->next++];
  return TRUE;
}

BOOL FindClose(HANDLE find) {
  if (LookupHandle<FindObject>(find) == nullptr) return win32internal::Fail(ERROR_INVALID_HANDLE);
  win32internal::HandleTarget target;
  if (!win32internal::RemoveHandle(find, &target)) return win32internal::Fail(ERROR_INVALID_HANDLE);
  return TRUE;
}

FILE* _fsopen(const char* path, const char* mode, int share_flag) {
  if (path == nullptr || mode == nullptr) {
    errno = EINVAL;
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  bool plus = std::strchr(mode, '+') != nullptr;
  int flags = 0;
  switch (mode[0]) {
    case 'r': flags = plus ? O_RDWR : O_RDONLY; break;
    case 'w': flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC; break;
    case 'a': flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND; break;
    default:
      errno = EINVAL;
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
  }
  DWORD share = share_flag == _SH_DENYRW ? 0
                : share_flag == _SH_DENYWR ? FILE_SHARE_READ
                : share_flag == _SH_DENYRD ? FILE_SHARE_WRITE
                                            : FILE_SHARE_READ | FILE_SHARE_WRITE;
  int fd = win32internal::OpenShared(path, flags, share, nullptr);
  if (fd < 0) {
    errno = GetLastError() == ERROR_SHARING_VIOLATION ? EACCES : ENOENT;
    return nullptr;
  }
  // fdopen does not accept the C runtime's 't' and 'b' in every position; pass the bare mode.
  char stdio_mode[3] = {mode[0], plus ? '+' : '\0', '\0'};
  FILE* stream = ::fdopen(fd, stdio_mode);
  if (stream == nullptr) {
    int error = errno;
    ::close(fd);
    errno = error;
    win32internal::FailFromErrno();
  }
  return stream;
}

int _stricmp(const char* a, const char* b) { return ::strcasecmp(a, b); }
int _strnicmp(const char* a, const char* b, size_t count) { return ::strncasecmp(a, b, count); }
int lstrcmpi(LPCSTR a, LPCSTR b) {
  return ::strcasecmp(a == nullptr ? "" : a, b == nullptr ? "" : b);
}
int lstrlen(LPCSTR text) { return text == nullptr ? 0 : static_cast<int>(std::strlen(text)); }
