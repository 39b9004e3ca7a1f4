// clamd_daemon_support.h - a ClamAV daemon of a test's or benchmark's own.
//
// For the engine's tests and benchmarks only. A TestClamd runs /usr/sbin/clamd (or
// $VT_CLAMD) in the foreground on 127.0.0.1 and a free TCP port, and on a local socket,
// with a configuration, database directory, temporary directory and log of its own below a
// directory the caller owns: the project's signatures copied in, no freshclam, and the
// settings that keep unscannable content a finding (AlertExceedsMax,
// AlertEncryptedArchive) and let a mail as large as the engine takes through whole
// (StreamMaxLength and the size limits).
//
// Ownership: the daemon is killed and reaped when the TestClamd goes or on Kill. Threads:
// one thread at a time.
#pragma once

#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/engine/clamd_pool.h"

namespace vtengine::testing_support {

// The daemon program; empty when it is not installed.
inline std::string ClamdProgram() {
  const char* chosen = ::getenv("VT_CLAMD");
  const std::string path = chosen && *chosen ? chosen : "/usr/sbin/clamd";
  return ::access(path.c_str(), X_OK) == 0 ? path : std::string();
}

// A TCP port nobody listens on now (the kernel's pick for a socket bound to port 0).
inline int FreeTcpPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
    port = ntohs(address.sin_port);
  ::close(fd);
  return port;
}

class TestClamd {
 public:
  // `dir` must exist and belong to the caller; `stream_max_length` is clamd's limit of one
  // stream (a clamd.conf size such as "64K").
  TestClamd(std::string dir, std::string signature_dir, std::string stream_max_length = "1024M")
      : dir_(std::move(dir)),
        signature_dir_(std::move(signature_dir)),
        stream_max_length_(std::move(stream_max_length)),
        port_(FreeTcpPort()) {}
  ~TestClamd() { Kill(); }
  TestClamd(const TestClamd&) = delete;
  TestClamd& operator=(const TestClamd&) = delete;

  // Starts the daemon (again, on the same port) and waits until it answers PING. False
  // with `error_r` (the daemon's own last words included) when it does not come up.
  [[nodiscard]] bool Start(std::string* error_r) {
    const std::string program = ClamdProgram();
    if (program.empty()) {
      *error_r = "clamd is not installed (scripts/setup-deps installs clamav-daemon)";
      return false;
    }
    if (!WriteConfig(error_r)) return false;
    pid_ = ::fork();
    if (pid_ == 0) {
      const std::string output = dir_ + "/clamd.out";
      if (std::FILE* out = std::freopen(output.c_str(), "a", stdout)) (void)out;
      ::dup2(STDOUT_FILENO, STDERR_FILENO);
      const std::string config = "--config-file=" + dir_ + "/clamd.conf";
      ::execl(program.c_str(), program.c_str(), config.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    if (pid_ < 0) {
      *error_r = "fork failed";
      return false;
    }
    ClamdPoolOptions options;
    options.connect_timeout_ms = 500;
    ClamdPool probe({address()}, options);
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::string report;
    while (std::chrono::steady_clock::now() < give_up) {
      if (probe.ProbeAll(&report)) return true;
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        *error_r = "clamd exited at its start: " + Tail(dir_ + "/clamd.out");
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    *error_r = "clamd did not answer within 60 s: " + Tail(dir_ + "/clamd.out");
    Kill();
    return false;
  }

  // Kills it at once, as a crash or a pulled cable would end it.
  void Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  // Freezes or thaws it: a frozen daemon takes connections (the kernel does) but never
  // answers, as a daemon that hangs.
  void Freeze(bool frozen) const {
    if (pid_ > 0) ::kill(pid_, frozen ? SIGSTOP : SIGCONT);
  }

  [[nodiscard]] int port() const { return port_; }
  [[nodiscard]] std::string log_path() const { return dir_ + "/clamd.log"; }
  [[nodiscard]] std::string socket_path() const { return dir_ + "/clamd.sock"; }
  [[nodiscard]] ClamdAddress address() const {
    ClamdAddress address;
    address.text = "127.0.0.1:" + std::to_string(port_);
    address.host = "127.0.0.1";
    address.port = std::to_string(port_);
    return address;
  }

 private:
  bool WriteConfig(std::string* error_r) const {
    std::error_code error;
    std::filesystem::create_directories(dir_ + "/db", error);
    std::filesystem::create_directories(dir_ + "/tmp", error);
    std::filesystem::copy(signature_dir_, dir_ + "/db",
                          std::filesystem::copy_options::overwrite_existing |
                              std::filesystem::copy_options::recursive,
                          error);
    if (error) {
      *error_r = "cannot copy the signatures: " + error.message();
      return false;
    }
    std::ofstream config(dir_ + "/clamd.conf", std::ios::trunc);
    config << "Foreground yes\n"
           << "TCPSocket " << port_ << "\nTCPAddr 127.0.0.1\n"
           << "LocalSocket " << dir_ << "/clamd.sock\n"
           << "DatabaseDirectory " << dir_ << "/db\n"
           << "TemporaryDirectory " << dir_ << "/tmp\n"
           << "LogFile " << dir_ << "/clamd.log\nLogClean yes\n"
           << "PidFile " << dir_ << "/clamd.pid\n"
           << "AlertExceedsMax yes\nAlertEncryptedArchive yes\n"
           << "StreamMaxLength " << stream_max_length_ << "\n"
           << "MaxFileSize 1024M\nMaxScanSize 2048M\n";
    // As root, clamd would drop to the clamav user, who cannot write into the caller's
    // directory.
    if (::geteuid() == 0) config << "User root\n";
    if (!config.good()) {
      *error_r = "cannot write " + dir_ + "/clamd.conf";
      return false;
    }
    return true;
  }

  static std::string Tail(const std::string& path) {
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return text.size() > 600 ? text.substr(text.size() - 600) : text;
  }

  std::string dir_;
  std::string signature_dir_;
  std::string stream_max_length_;
  int port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace vtengine::testing_support
