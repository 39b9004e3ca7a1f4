// clamd_pool.h - scanning through a pool of ClamAV daemons instead of in-process libclamav.
//
// When one machine's CPUs are not enough, the engine hands each file to one of several
// clamd daemons, on this host or on others. A daemon is reached over TCP ("host:port",
// "[v6addr]:port") or a local socket (a path starting with '/'), and is given the file's
// bytes with the INSTREAM command, so the daemon needs no access to the spool:
//
//   zINSTREAM\0  then chunks of <4-byte length, network order><bytes>, then a zero length
//   answer: "stream: OK\0", "stream: <name> FOUND\0" or "<reason> ERROR\0"
//
// Each file goes to the least busy daemon (fewest files in flight, ties taken in turn) or,
// with round robin, to the next in turn. A daemon that cannot be reached, breaks the
// exchange or stays silent longer than the timeout is passed over: the file is tried on the
// next daemon, and the failed one is left out until its back-off ends (retry_ms, doubling
// with every failure up to kMaxRetryMs). Then the first file to come asks it PING; on PONG
// it is used again. A file that no daemon answered is an error, never clean.
//
// Unscannable content stays a finding only when the daemons are configured for it:
// clamd.conf must set AlertExceedsMax and AlertEncryptedArchive (and StreamMaxLength,
// MaxFileSize and MaxScanSize at least as large as the mail the server accepts), as the
// engine's README says.
//
// Ownership: the pool holds its settings and the state of each daemon; every connection is
// made for one file and closed before ScanFile returns. Thread rules: ScanFile may be
// called from any number of threads at once; the daemons' state is guarded by mutex_.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "platform/engine/file_scanner.h"

namespace vtengine {

enum class ClamdBalance { kLeastBusy, kRoundRobin };

struct ClamdPoolOptions {
  ClamdBalance balance = ClamdBalance::kLeastBusy;
  int connect_timeout_ms = 2000;
  // How long a daemon may stay silent (while taking the file or before its answer) before
  // it counts as failed; clamd's own MaxScanTime defaults to two minutes.
  int io_timeout_ms = 130000;
  int retry_ms = 1000;  // first back-off of a failed daemon
};

inline constexpr int kMaxRetryMs = 30000;

// One daemon's address as written in engine.ini.
struct ClamdAddress {
  std::string text;         // as written, for the log
  std::string socket_path;  // a local socket; empty for TCP
  std::string host;
  std::string port;
};

// Parses "host:port", "[v6addr]:port" or "/path/to/socket"; false with `error_r` when the
// text is neither.
[[nodiscard]] bool ParseClamdAddress(const std::string& text, ClamdAddress* address_r,
                                     std::string* error_r);

class ClamdPool final : public FileScanner {
 public:
  ClamdPool(std::vector<ClamdAddress> servers, ClamdPoolOptions options);
  ClamdPool(const ClamdPool&) = delete;
  ClamdPool& operator=(const ClamdPool&) = delete;

  // See FileScanner::ScanFile. kError names every daemon tried and why it failed. A file
  // is not cut short at the deadline: a daemon bounds each scan by the MaxScanTime of its
  // own clamd.conf, which should stay below the job's budget.
  using FileScanner::ScanFile;
  [[nodiscard]] ScanResult ScanFile(const std::string& path, ScanDeadline deadline) const override;

  // Asks every daemon PING; true when at least one answers. Used at the start for the log.
  [[nodiscard]] bool ProbeAll(std::string* report_r) const;

  [[nodiscard]] std::size_t size() const { return servers_.size(); }

 private:
  using Clock = std::chrono::steady_clock;
  struct State {
    unsigned busy = 0;  // files in flight
    bool down = false;
    bool probing = false;  // a thread is asking it PING
    int failures = 0;      // in a row; sets the back-off
    Clock::time_point retry_at;
  };
  enum class Pick { kNone, kUse, kProbe };

  // Chooses a daemon not yet in `tried` and counts the file against it.
  [[nodiscard]] Pick Choose(std::vector<bool>& tried, std::size_t* index_r) const;
  void Release(std::size_t index, bool failed, const std::string& reason) const;
  void MarkUp(std::size_t index) const;

  std::vector<ClamdAddress> servers_;
  ClamdPoolOptions options_;
  mutable std::mutex mutex_;
  mutable std::vector<State> states_;  // guarded by mutex_
  mutable std::size_t next_ = 0;       // guarded by mutex_: where the turn starts
};

}  // namespace vtengine
