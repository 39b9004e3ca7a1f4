// file_scanner.cpp - what the job code asks of a scanner: one file in, one verdict out.
#include "platform/engine/file_scanner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vtengine {

ScanTarget::~ScanTarget() {
  if (fd_ >= 0) ::close(fd_);
}

bool ScanTarget::Open(const std::string& path, std::string* error_r) {
  fd_ = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd_ < 0) {
    *error_r = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    *error_r = path + " is not a regular file";
    return false;
  }
  return true;
}

std::string CleanVirusName(std::string_view name) {
  std::string text = name.empty() ? std::string("unknown") : std::string(name);
  constexpr std::string_view kUnofficial = ".UNOFFICIAL";
  if (text.size() > kUnofficial.size() &&
      text.compare(text.size() - kUnofficial.size(), kUnofficial.size(), kUnofficial) == 0)
    text.resize(text.size() - kUnofficial.size());
  return text;
}

}  // namespace vtengine
