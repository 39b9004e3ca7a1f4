// file_scanner.h - what the job code asks of a scanner: one file in, one verdict out.
//
// Two scanners stand behind this interface: ClamScanner (libclamav in the engine's own
// process, the default) and ClamdPool (a pool of ClamAV daemons reached over the network or a
// local socket). The job code holds a FileScanner and does not know which one scans.
//
// Both open the job's file themselves through OpenScanTarget: without following links, and
// only a regular file, because the files are written by another process and a link must not
// make the engine scan (and later copy) another file.
//
// Ownership: a scanner is owned by the program that made it and outlives every job.
// Thread rules: ScanFile may be called from any number of threads at once.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace vtengine {

enum class ScanStatus { kClean, kInfected, kError };

// The time by which a job's scanning is to end. A scan still running then is cut short and
// reported as kScanTimeFinding: a mail the engine could not look into in time is not
// known to be clean, and its waiter must get an answer before it gives up.
using ScanDeadline = std::chrono::steady_clock::time_point;
inline constexpr ScanDeadline kNoDeadline = ScanDeadline::max();
inline constexpr const char* kScanTimeFinding = "Heuristics.Limits.Exceeded.MaxScanTime";
inline constexpr const char* kFileSizeFinding = "Heuristics.Limits.Exceeded.MaxFileSize";

struct ScanResult {
  ScanStatus status = ScanStatus::kError;
  std::string virus;  // signature name when infected
  std::string error;  // reason when the file could not be scanned
};

class FileScanner {
 public:
  virtual ~FileScanner() = default;

  // Scans one file. A file that cannot be opened or read, or that no scanner could look
  // at, is kError, never kClean. Content that cannot be scanned whole (limits, encrypted
  // archives) is kInfected under ClamAV's heuristic name, such as
  // Heuristics.Limits.Exceeded.MaxRecursion or Heuristics.Encrypted.Zip; so is a scan cut
  // short at `deadline` (kScanTimeFinding), as far as the scanner can cut one.
  [[nodiscard]] virtual ScanResult ScanFile(const std::string& path,
                                            ScanDeadline deadline) const = 0;
  [[nodiscard]] ScanResult ScanFile(const std::string& path) const {
    return ScanFile(path, kNoDeadline);
  }
};

// An open descriptor of a file to scan; closed when the owner goes.
class ScanTarget {
 public:
  ScanTarget() = default;
  ~ScanTarget();
  ScanTarget(const ScanTarget&) = delete;
  ScanTarget& operator=(const ScanTarget&) = delete;

  // Opens `path` read-only without following a link; false with `error_r` when it cannot
  // be opened or is not a regular file.
  [[nodiscard]] bool Open(const std::string& path, std::string* error_r);
  [[nodiscard]] int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// ClamAV marks names from unsigned databases as ".UNOFFICIAL"; the name of the finding is
// what users see in warning mails, so the marker is dropped.
[[nodiscard]] std::string CleanVirusName(std::string_view name);

}  // namespace vtengine
