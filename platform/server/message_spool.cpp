// message_spool.cpp - spool files and the session sink that writes them.
#include "platform/server/message_spool.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

namespace vtserver {
namespace {

constexpr const char* kSpoolPrefix = "smtp-";

// Bytes gathered before a write: the text arrives a line at a time, and a write per line
// would make a large message cost a system call per 80 bytes.
constexpr size_t kSpoolBufferBytes = 64 * 1024;

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t count = ::write(fd, bytes.data(), bytes.size());
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(count));
  }
  return true;
}

}  // namespace

bool SpoolFile::Create(const std::string& directory, std::string* error_r) {
  Remove();
  std::string pattern = directory;
  if (pattern.empty() || pattern.back() != '/') pattern += '/';
  pattern += kSpoolPrefix;
  pattern += "XXXXXX";
  int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) {
    if (error_r != nullptr) *error_r = pattern + ": " + std::strerror(errno);
    return false;
  }
  fd_ = fd;
  path_ = pattern;
  buffer_.reserve(kSpoolBufferBytes);
  return true;
}

bool SpoolFile::Flush() {
  if (fd_ < 0) return false;
  bool written = WriteAll(fd_, buffer_);
  buffer_.clear();
  return written;
}

bool SpoolFile::Append(std::string_view bytes) {
  if (fd_ < 0) return false;
  if (buffer_.size() + bytes.size() > kSpoolBufferBytes && !Flush()) return false;
  if (bytes.size() >= kSpoolBufferBytes) return WriteAll(fd_, bytes);
  buffer_.append(bytes);
  return true;
}

bool SpoolFile::Finish() {
  if (fd_ < 0) return false;
  bool written = Flush();
  bool closed = ::close(fd_) == 0;
  fd_ = -1;
  return written && closed;
}

void SpoolFile::Remove() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!path_.empty()) (void)::unlink(path_.c_str());
  path_.clear();
  buffer_.clear();
  buffer_.shrink_to_fit();
}

MessageSink SpoolSink(std::string directory, SpooledStoreFn store, SpoolLogFn log) {
  auto file = std::make_shared<SpoolFile>();
  MessageSink sink;
  sink.begin = [file, directory = std::move(directory), log] {
    std::string error;
    if (file->Create(directory, &error)) return true;
    log("message not taken: its spool file cannot be made: " + error);
    return false;
  };
  sink.append = [file, log](std::string_view bytes) {
    if (file->Append(bytes)) return true;
    log("message refused: its spool file " + file->path() + " cannot be written: " +
        std::strerror(errno));
    return false;
  };
  sink.store = [file, log, store = std::move(store)](const SmtpEnvelope& envelope,
                                                      std::string* id_r) {
    if (!file->Finish()) {
      log("message refused: its spool file " + file->path() + " cannot be written: " +
          std::strerror(errno));
      file->Remove();
      return false;
    }
    bool stored = store(envelope, file->path(), id_r);
    file->Remove();
    return stored;
  };
  sink.discard = [file] { file->Remove(); };
  return sink;
}

int RemoveStaleSpoolFiles(const std::string& directory) {
  namespace fs = std::filesystem;
  int removed = 0;
  std::error_code error;
  for (fs::directory_iterator it(directory, error), end; !error && it != end;
       it.increment(error)) {
    std::string name = it->path().filename().string();
    std::error_code entry_error;
    if (name.rfind(kSpoolPrefix, 0) != 0 || !it->is_regular_file(entry_error)) continue;
    if (fs::remove(it->path(), entry_error)) ++removed;
  }
  return removed;
}

}  // namespace vtserver
