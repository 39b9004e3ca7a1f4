// NAME
//   libvt_sync_record - records the writes and syncs of a process, for crash replay
//
// SYNOPSIS
//   VT_SYNCLOG=LOG VT_SYNCLOG_ROOT=DIR LD_PRELOAD=libvt_sync_record.so PROGRAM ...
//
// DESCRIPTION
//   Preloaded into a program, it passes every file call on to the C library and appends to
//   LOG a record (sync_log.h) of each change made below DIR: files created, written,
//   truncated, linked, renamed and removed, directories made and removed, and each sync of a
//   file or a directory (fsync, fdatasync), or of everything (sync, syncfs), once it has
//   returned. Nothing else changes: the program sees the results it would see without it.
//   Changes made through a memory mapping are not seen (SQLite's shared-memory index, which
//   a crash throws away anyway), nor those of calls made inside the C library itself
//   (stdio streams: the logs).
//
// FILES
//   LOG (VT_SYNCLOG), opened for appending by every process that has the library loaded.
//
// DIAGNOSTICS
//   None: a record that cannot be written is lost, and the replay then fails on a short log.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>

#include "platform/crashsim/sync_log.h"

namespace {

using crashsim::RecordKind;

constexpr int kMaxFd = 65536;

// What is known of a descriptor opened below the root.
struct Tracked {
  std::atomic<bool> file{false};
  std::atomic<bool> directory{false};
  std::atomic<std::uint64_t> inode{0};
};
Tracked g_fds[kMaxFd];
std::mutex g_paths_mutex;
std::string* g_paths[kMaxFd];  // what each tracked descriptor was opened as; g_paths_mutex

template <typename Fn>
Fn Real(const char* name) {
  return reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, name));
}

#define REAL(name) \
  static auto real_##name = Real<decltype(&::name)>(#name)

struct Settings {
  int log = -1;
  std::string root;  // without a trailing '/'
};

Settings& Config() {
  static Settings* settings = [] {
    auto* made = new Settings;
    const char* log = ::getenv("VT_SYNCLOG");
    const char* root = ::getenv("VT_SYNCLOG_ROOT");
    if (log != nullptr && root != nullptr && *root == '/') {
      static auto real_open = Real<int (*)(const char*, int, ...)>("open");
      made->log = real_open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
      made->root = root;
      while (made->root.size() > 1 && made->root.back() == '/') made->root.pop_back();
    }
    return made;
  }();
  return *settings;
}

// path made absolute (relative to dirfd) with "//" and "/./" folded.
std::string Absolute(int dirfd, const char* path) {
  std::string full;
  if (path[0] == '/') {
    full = path;
  } else {
    char base[4096] = "";
    if (dirfd == AT_FDCWD) {
      if (::getcwd(base, sizeof base) == nullptr) return "";
    } else {
      std::string link = "/proc/self/fd/" + std::to_string(dirfd);
      ssize_t length = ::readlink(link.c_str(), base, sizeof base - 1);
      if (length <= 0) return "";
      base[length] = '\0';
    }
    full = std::string(base) + "/" + path;
  }
  std::string folded;
  for (size_t i = 0; i < full.size(); ++i) {
    if (full[i] == '/' && !folded.empty() && folded.back() == '/') continue;
    if (full[i] == '.' && !folded.empty() && folded.back() == '/' &&
        (i + 1 == full.size() || full[i + 1] == '/')) {
      continue;
    }
    folded += full[i];
  }
  while (folded.size() > 1 && folded.back() == '/') folded.pop_back();
  return folded;
}

bool Below(const std::string& path) {
  const std::string& root = Config().root;
  if (Config().log < 0 || root.empty()) return false;
  return path.compare(0, root.size(), root) == 0 &&
         (path.size() == root.size() || path[root.size()] == '/');
}

void Append(RecordKind kind, std::uint64_t inode, std::uint64_t offset, std::string_view paths,
            std::string_view data) {
  std::string record;
  crashsim::EncodeRecord(kind, inode, offset, paths, data, &record);
  REAL(write);
  size_t done = 0;
  while (done < record.size()) {
    ssize_t put = real_write(Config().log, record.data() + done, record.size() - done);
    if (put <= 0) return;
    done += static_cast<size_t>(put);
  }
}

std::string Paths(const std::string& a, const std::string& b = std::string()) {
  std::string paths = a;
  paths += '\0';
  if (!b.empty()) {
    paths += b;
    paths += '\0';
  }
  return paths;
}

std::uint64_t LogBytes() {
  struct stat info {};
  return ::fstat(Config().log, &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
}

std::uint64_t InodeOf(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

void Forget(int fd) {
  if (fd < 0 || fd >= kMaxFd) return;
  const bool file = g_fds[fd].file.exchange(false);
  if (g_fds[fd].directory.exchange(false) || file) {
    std::lock_guard<std::mutex> lock(g_paths_mutex);
    delete g_paths[fd];
    g_paths[fd] = nullptr;
  }
}

std::string PathOf(int fd) {
  std::lock_guard<std::mutex> lock(g_paths_mutex);
  return g_paths[fd] != nullptr ? *g_paths[fd] : std::string();
}

// Bookkeeping around an open of path (already absolute): the record of a new file or a
// truncation, and what the descriptor names.
int Opened(int fd, const std::string& path, int flags, bool existed) {
  if (fd < 0 || fd >= kMaxFd) return fd;
  Forget(fd);
  struct stat info {};
  if (::fstat(fd, &info) != 0) return fd;
  if (!S_ISDIR(info.st_mode) && !S_ISREG(info.st_mode)) return fd;
  {
    std::lock_guard<std::mutex> lock(g_paths_mutex);
    g_paths[fd] = new std::string(path);
  }
  if (S_ISDIR(info.st_mode)) {
    g_fds[fd].directory = true;
    return fd;
  }
  g_fds[fd].inode = info.st_ino;
  g_fds[fd].file = true;
  if (!existed) {
    Append(RecordKind::kCreate, info.st_ino, 0, Paths(path), {});
  } else if ((flags & O_TRUNC) != 0 && (flags & O_ACCMODE) != O_RDONLY) {
    Append(RecordKind::kTruncate, info.st_ino, 0, {}, {});
  }
  return fd;
}

int OpenAt(int dirfd, const char* path, int flags, mode_t mode, bool use_at) {
  REAL(open);
  REAL(openat);
  std::string full = path != nullptr ? Absolute(dirfd, path) : std::string();
  if (full.empty() || !Below(full)) {
    return use_at ? real_openat(dirfd, path, flags, mode) : real_open(path, flags, mode);
  }
  struct stat before {};
  bool existed = ::lstat(full.c_str(), &before) == 0;
  int fd = use_at ? real_openat(dirfd, path, flags, mode) : real_open(path, flags, mode);
  return Opened(fd, full, flags, existed);
}

mode_t ModeArgument(int flags, va_list arguments) {
  return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(arguments, int)) : 0;
}

bool IsTrackedFile(int fd) { return fd >= 0 && fd < kMaxFd && g_fds[fd].file.load(); }

void Wrote(int fd, ssize_t put, const void* data, off_t offset) {
  if (put <= 0 || !IsTrackedFile(fd)) return;
  Append(RecordKind::kWrite, g_fds[fd].inode.load(), static_cast<std::uint64_t>(offset), {},
         std::string_view(static_cast<const char*>(data), static_cast<size_t>(put)));
}

int Synced(int fd, int result, std::uint64_t covers) {
  if (result != 0 || fd < 0 || fd >= kMaxFd) return result;
  const std::string path = PathOf(fd);
  if (g_fds[fd].file.load()) {
    // The path only names the sync for a reader; the replay goes by the inode.
    Append(RecordKind::kSync, g_fds[fd].inode.load(), covers, path.empty() ? "" : Paths(path),
           {});
  } else if (g_fds[fd].directory.load() && !path.empty()) {
    Append(RecordKind::kSyncDirectory, 0, covers, Paths(path), {});
  }
  return result;
}

bool Tracking(int fd) {
  return fd >= 0 && fd < kMaxFd && (g_fds[fd].file.load() || g_fds[fd].directory.load());
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  mode_t mode = ModeArgument(flags, arguments);
  va_end(arguments);
  return OpenAt(AT_FDCWD, path, flags, mode, false);
}

int open64(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  mode_t mode = ModeArgument(flags, arguments);
  va_end(arguments);
  return OpenAt(AT_FDCWD, path, flags, mode, false);
}

int openat(int dirfd, const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  mode_t mode = ModeArgument(flags, arguments);
  va_end(arguments);
  return OpenAt(dirfd, path, flags, mode, true);
}

int openat64(int dirfd, const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  mode_t mode = ModeArgument(flags, arguments);
  va_end(arguments);
  return OpenAt(dirfd, path, flags, mode, true);
}

int creat(const char* path, mode_t mode) {
  return OpenAt(AT_FDCWD, path, O_WRONLY | O_CREAT | O_TRUNC, mode, false);
}

int creat64(const char* path, mode_t mode) {
  return OpenAt(AT_FDCWD, path, O_WRONLY | O_CREAT | O_TRUNC, mode, false);
}

int close(int fd) {
  REAL(close);
  Forget(fd);
  return real_close(fd);
}

ssize_t write(int fd, const void* data, size_t size) {
  REAL(write);
  ssize_t put = real_write(fd, data, size);
  if (put > 0 && IsTrackedFile(fd)) Wrote(fd, put, data, ::lseek(fd, 0, SEEK_CUR) - put);
  return put;
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
  REAL(pwrite);
  ssize_t put = real_pwrite(fd, data, size, offset);
  Wrote(fd, put, data, offset);
  return put;
}

ssize_t pwrite64(int fd, const void* data, size_t size, off64_t offset) {
  REAL(pwrite64);
  ssize_t put = real_pwrite64(fd, data, size, offset);
  Wrote(fd, put, data, offset);
  return put;
}

ssize_t writev(int fd, const struct iovec* vectors, int count) {
  REAL(writev);
  ssize_t put = real_writev(fd, vectors, count);
  if (put > 0 && IsTrackedFile(fd)) {
    off_t at = ::lseek(fd, 0, SEEK_CUR) - put;
    ssize_t left = put;
    for (int i = 0; i < count && left > 0; ++i) {
      ssize_t part = std::min<ssize_t>(left, static_cast<ssize_t>(vectors[i].iov_len));
      Wrote(fd, part, vectors[i].iov_base, at);
      at += part;
      left -= part;
    }
  }
  return put;
}

int ftruncate(int fd, off_t length) {
  REAL(ftruncate);
  int result = real_ftruncate(fd, length);
  if (result == 0 && IsTrackedFile(fd)) {
    Append(RecordKind::kTruncate, g_fds[fd].inode.load(), static_cast<std::uint64_t>(length),
           {}, {});
  }
  return result;
}

int ftruncate64(int fd, off64_t length) {
  REAL(ftruncate64);
  int result = real_ftruncate64(fd, length);
  if (result == 0 && IsTrackedFile(fd)) {
    Append(RecordKind::kTruncate, g_fds[fd].inode.load(), static_cast<std::uint64_t>(length),
           {}, {});
  }
  return result;
}

int fsync(int fd) {
  REAL(fsync);
  if (!Tracking(fd)) return real_fsync(fd);
  std::uint64_t covers = LogBytes();
  return Synced(fd, real_fsync(fd), covers);
}

int fdatasync(int fd) {
  REAL(fdatasync);
  if (!Tracking(fd)) return real_fdatasync(fd);
  std::uint64_t covers = LogBytes();
  return Synced(fd, real_fdatasync(fd), covers);
}

int syncfs(int fd) {
  REAL(syncfs);
  std::uint64_t covers = LogBytes();
  int result = real_syncfs(fd);
  if (result == 0 && Config().log >= 0) Append(RecordKind::kSyncAll, 0, covers, {}, {});
  return result;
}

void sync(void) {
  REAL(sync);
  std::uint64_t covers = LogBytes();
  real_sync();
  if (Config().log >= 0) Append(RecordKind::kSyncAll, 0, covers, {}, {});
}

int link(const char* from, const char* to) {
  REAL(link);
  int result = real_link(from, to);
  std::string full = result == 0 ? Absolute(AT_FDCWD, to) : std::string();
  if (!full.empty() && Below(full)) Append(RecordKind::kLink, InodeOf(full), 0, Paths(full), {});
  return result;
}

int linkat(int from_dirfd, const char* from, int to_dirfd, const char* to, int flags) {
  REAL(linkat);
  int result = real_linkat(from_dirfd, from, to_dirfd, to, flags);
  std::string full = result == 0 ? Absolute(to_dirfd, to) : std::string();
  if (!full.empty() && Below(full)) Append(RecordKind::kLink, InodeOf(full), 0, Paths(full), {});
  return result;
}

int unlink(const char* path) {
  REAL(unlink);
  int result = real_unlink(path);
  std::string full = result == 0 ? Absolute(AT_FDCWD, path) : std::string();
  if (!full.empty() && Below(full)) Append(RecordKind::kUnlink, 0, 0, Paths(full), {});
  return result;
}

int unlinkat(int dirfd, const char* path, int flags) {
  REAL(unlinkat);
  int result = real_unlinkat(dirfd, path, flags);
  std::string full = result == 0 ? Absolute(dirfd, path) : std::string();
  if (!full.empty() && Below(full)) {
    Append((flags & AT_REMOVEDIR) != 0 ? RecordKind::kRemoveDirectory : RecordKind::kUnlink, 0,
           0, Paths(full), {});
  }
  return result;
}

int rmdir(const char* path) {
  REAL(rmdir);
  int result = real_rmdir(path);
  std::string full = result == 0 ? Absolute(AT_FDCWD, path) : std::string();
  if (!full.empty() && Below(full)) Append(RecordKind::kRemoveDirectory, 0, 0, Paths(full), {});
  return result;
}

int remove(const char* path) {
  std::string full = Absolute(AT_FDCWD, path);
  struct stat info {};
  bool directory = !full.empty() && ::lstat(full.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
  return directory ? rmdir(path) : unlink(path);
}

int mkdir(const char* path, mode_t mode) {
  REAL(mkdir);
  int result = real_mkdir(path, mode);
  std::string full = result == 0 ? Absolute(AT_FDCWD, path) : std::string();
  if (!full.empty() && Below(full)) Append(RecordKind::kMakeDirectory, 0, 0, Paths(full), {});
  return result;
}

int mkdirat(int dirfd, const char* path, mode_t mode) {
  REAL(mkdirat);
  int result = real_mkdirat(dirfd, path, mode);
  std::string full = result == 0 ? Absolute(dirfd, path) : std::string();
  if (!full.empty() && Below(full)) Append(RecordKind::kMakeDirectory, 0, 0, Paths(full), {});
  return result;
}

namespace {
int Renamed(int result, const std::string& from, const std::string& to, std::uint64_t inode) {
  if (result == 0 && (Below(from) || Below(to))) {
    Append(RecordKind::kRename, inode, 0, Paths(from, to), {});
  }
  return result;
}
}  // namespace

int rename(const char* from, const char* to) {
  REAL(rename);
  std::string full_from = Absolute(AT_FDCWD, from);
  std::string full_to = Absolute(AT_FDCWD, to);
  std::uint64_t inode = InodeOf(full_from);
  return Renamed(real_rename(from, to), full_from, full_to, inode);
}

int renameat(int from_dirfd, const char* from, int to_dirfd, const char* to) {
  REAL(renameat);
  std::string full_from = Absolute(from_dirfd, from);
  std::string full_to = Absolute(to_dirfd, to);
  std::uint64_t inode = InodeOf(full_from);
  return Renamed(real_renameat(from_dirfd, from, to_dirfd, to), full_from, full_to, inode);
}

int renameat2(int from_dirfd, const char* from, int to_dirfd, const char* to,
              unsigned int flags) {
  REAL(renameat2);
  std::string full_from = Absolute(from_dirfd, from);
  std::string full_to = Absolute(to_dirfd, to);
  std::uint64_t inode = InodeOf(full_from);
  return Renamed(real_renameat2(from_dirfd, from, to_dirfd, to, flags), full_from, full_to,
                 inode);
}

}  // extern "C"
