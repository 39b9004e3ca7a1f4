// answer_files.cpp - small file helpers of the engine's answer writer.
#include "platform/engine/answer_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vtengine {

namespace {

// Closes a descriptor on every path.
struct Fd {
  int fd = -1;
  explicit Fd(int value) : fd(value) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

std::string SystemText(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

int OpenRegularForReading(const std::string& path, std::string* error_r) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    *error_r = SystemText("cannot open", path);
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    *error_r = path + " is not a regular file";
    return -1;
  }
  return fd;
}

// Closes a file that was written; a failed close (where some file systems report a full
// disk) is a failed write.
bool CloseWritten(Fd& out, const std::string& path, std::string* error_r) {
  const int fd = out.fd;
  out.fd = -1;
  if (::close(fd) == 0) return true;
  *error_r = SystemText("cannot write", path);
  return false;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool CopyRegularFile(const std::string& from, const std::string& to, std::string* error_r) {
  Fd in(OpenRegularForReading(from, error_r));
  if (in.fd < 0) return false;
  Fd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (out.fd < 0) {
    *error_r = SystemText("cannot create", to);
    return false;
  }
  // copy_file_range keeps a large attachment in the kernel; the loop below is the
  // fallback for file systems that refuse it.
  for (;;) {
    const ssize_t n = ::copy_file_range(in.fd, nullptr, out.fd, nullptr, 1 << 30, 0);
    if (n == 0) return CloseWritten(out, to, error_r);
    if (n > 0) continue;
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
      *error_r = SystemText("cannot copy to", to);
      return false;
    }
    break;
  }
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(in.fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error_r = SystemText("cannot read", from);
      return false;
    }
    if (n == 0) return CloseWritten(out, to, error_r);
    if (!WriteAll(out.fd, buffer, static_cast<std::size_t>(n))) {
      *error_r = SystemText("cannot write", to);
      return false;
    }
  }
}

bool ReadSmallFile(const std::string& path, std::size_t max_bytes, std::string* text_r,
                   std::string* error_r) {
  Fd in(OpenRegularForReading(path, error_r));
  if (in.fd < 0) return false;
  text_r->clear();
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(in.fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error_r = SystemText("cannot read", path);
      return false;
    }
    if (n == 0) return true;
    if (text_r->size() + static_cast<std::size_t>(n) > max_bytes) {
      *error_r = path + " is too large";
      return false;
    }
    text_r->append(buffer, static_cast<std::size_t>(n));
  }
}

namespace {

// Writes the whole text, synced to the disk when asked, and closes the file; a failure of
// the sync or of the close (where some file systems report a full disk) is a failure of
// the write.
bool WriteText(const std::string& path, std::string_view text, bool sync, std::string* error_r) {
  Fd out(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (out.fd < 0) {
    *error_r = SystemText("cannot create", path);
    return false;
  }
  if (!WriteAll(out.fd, text.data(), text.size()) || (sync && ::fsync(out.fd) != 0)) {
    *error_r = SystemText("cannot write", path);
    return false;
  }
  return CloseWritten(out, path, error_r);
}

}  // namespace

bool WriteWholeFile(const std::string& path, std::string_view text, std::string* error_r) {
  return WriteText(path, text, false, error_r);
}

bool AppendToFile(const std::string& path, std::string_view text, std::string* error_r) {
  Fd out(::open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC));
  if (out.fd < 0) {
    *error_r = SystemText("cannot open", path);
    return false;
  }
  if (!WriteAll(out.fd, text.data(), text.size())) {
    *error_r = SystemText("cannot write", path);
    return false;
  }
  return CloseWritten(out, path, error_r);
}

bool WriteFileAtomically(const std::string& path, std::string_view text, std::string* error_r) {
  const std::string part = path + ".part";
  if (!WriteText(part, text, true, error_r)) {
    ::unlink(part.c_str());
    return false;
  }
  if (::rename(part.c_str(), path.c_str()) != 0) {
    *error_r = SystemText("cannot rename into", path);
    ::unlink(part.c_str());
    return false;
  }
  return true;
}

std::vector<std::string> ListDirectory(const std::string& dir) {
  std::vector<std::string> names;
  DIR* handle = ::opendir(dir.c_str());
  if (!handle) return names;
  while (const dirent* entry = ::readdir(handle)) {
    const std::string_view name(entry->d_name);
    if (name == "." || name == "..") continue;
    names.emplace_back(name);
  }
  ::closedir(handle);
  return names;
}

std::string BaseName(std::string_view path) {
  const std::size_t sep = path.find_last_of("/\\");
  return std::string(sep == std::string_view::npos ? path : path.substr(sep + 1));
}

}  // namespace vtengine
