// mime_io.cpp - file and log access of the MIME subsystem (see mime_io.h).
#include "mime/mime_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace mime {
namespace {

std::atomic<LogSink> g_log_sink{nullptr};

void SetError(std::string* error_r) {
  if (error_r != nullptr) {
    int code = errno;
    char text[300];
    std::snprintf(text, sizeof text, "%s (0x%x)", std::strerror(code), code);
    *error_r = text;
  }
}

}  // namespace

SourceFile::~SourceFile() { Close(); }

SourceFile::SourceFile(SourceFile&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

SourceFile& SourceFile::operator=(SourceFile&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

bool SourceFile::Open(const std::string& path, std::string* error_r) {
  Close();
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) {
    SetError(error_r);
    return false;
  }
  struct stat info;
  if (::fstat(fd_, &info) != 0 || S_ISDIR(info.st_mode)) {
    errno = EISDIR;
    SetError(error_r);
    Close();
    return false;
  }
  return true;
}

std::int64_t SourceFile::Read(char* buffer, std::int64_t size) {
  for (;;) {
    ssize_t n = ::read(fd_, buffer, static_cast<size_t>(size));
    if (n >= 0) return n;
    if (errno != EINTR) return -1;
  }
}

bool SourceFile::Seek(std::int64_t offset) {
  return ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

void SourceFile::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

bool AppendToFile(const std::string& path, std::string_view bytes, std::string* error_r) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    SetError(error_r);
    return false;
  }
  const char* next = bytes.data();
  size_t left = bytes.size();
  bool ok = true;
  while (left > 0) {
    ssize_t n = ::write(fd, next, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      SetError(error_r);
      ok = false;
      break;
    }
    next += n;
    left -= static_cast<size_t>(n);
  }
  if (::close(fd) != 0 && ok) {
    SetError(error_r);
    ok = false;
  }
  return ok;
}

std::string CreateUniqueFile(const std::string& dir, std::string_view prefix,
                             std::string* error_r) {
  // Like the Windows temporary-name service: three characters of the prefix, a hexadecimal
  // number, ".tmp"; the number is advanced until a name is free.
  static std::atomic<unsigned> counter{0};
  std::string head(prefix.substr(0, 3));
  unsigned start = (static_cast<unsigned>(::getpid()) * 2654435761u) ^ counter.fetch_add(1);
  for (unsigned attempt = 0; attempt < 0x10000; ++attempt) {
    char name[16];
    std::snprintf(name, sizeof name, "%X", (start + attempt) & 0xFFFF);
    std::string path = dir;
    path += kPathSep;
    path += head;
    path += name;
    path += ".tmp";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      ::close(fd);
      counter.fetch_add(attempt);
      return path;
    }
    if (errno != EEXIST) {
      SetError(error_r);
      return std::string();
    }
  }
  errno = EEXIST;
  SetError(error_r);
  return std::string();
}

bool RemoveFile(const std::string& path, std::string* error_r) {
  if (::unlink(path.c_str()) == 0) return true;
  SetError(error_r);
  return false;
}

bool RenamePath(const std::string& from, const std::string& to, std::string* error_r) {
  if (::rename(from.c_str(), to.c_str()) == 0) return true;
  SetError(error_r);
  return false;
}

std::int64_t FileSize(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
  return static_cast<std::int64_t>(info.st_size);
}

void SetLogSink(LogSink sink) { g_log_sink.store(sink); }

void Log(int level, const char* format, ...) {
  LogSink sink = g_log_sink.load();
  if (sink == nullptr) return;
  char text[4096];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  sink(level, text);
}

}  // namespace mime
