// clam_scanner.h - the virus scanner behind the engine: libclamav with our signatures.
//
// One ClamScanner loads the signature databases once (the project's own directory of test
// signatures, and the system's ClamAV databases when asked and present), compiles them and
// then scans files. Archives and mail structure are parsed, so a signature is found inside
// a zip attachment or inside the raw MIME text of a mail.
//
// It is the engine's default scanner; ClamdPool (clamd_pool.h) is the other one behind the
// same FileScanner interface.
//
// Ownership: the scanner owns its libclamav engine and frees it when destroyed; it is not
// copyable. Thread rules: Load before sharing; ScanFile may then be called from any
// number of threads at once (a compiled libclamav engine is read-only while it scans).
#pragma once

#include <memory>
#include <string>

#include "platform/engine/file_scanner.h"

namespace vtengine {

// Where Debian's ClamAV keeps its downloaded databases.
inline constexpr const char* kSystemClamDatabases = "/var/lib/clamav";

// What became of the system's ClamAV databases at Load.
enum class SystemDatabases {
  kNotAsked,  // no system directory given
  kAbsent,    // the directory does not exist
  kEmpty,     // the directory exists but holds no database (ClamAV never updated)
  kLoaded,
};

// What libclamav may spend on one file. Content beyond a limit is not scanned and is
// reported under libclamav's heuristic name (Heuristics.Limits.Exceeded.MaxFileSize,
// MaxScanSize, MaxScanTime): a decompression bomb is a finding by the size its members
// claim, found before they are unpacked, not a scan that runs until the waiter gives up.
struct ScanLimits {
  long long max_file_bytes = 512LL << 20;   // one file, an archive's members included
  long long max_scan_bytes = 1024LL << 20;  // everything unpacked from one file
  unsigned max_scan_time_ms = 30000;        // one file's scan
};

class ClamScanner final : public FileScanner {
 public:
  ClamScanner();
  ~ClamScanner() override;
  ClamScanner(const ClamScanner&) = delete;
  ClamScanner& operator=(const ClamScanner&) = delete;

  // Loads every database in `signature_dir` and, when `system_dir` is not empty and holds
  // databases, those too; then compiles the engine. A system directory that is missing or
  // holds no database is passed over (system_databases() says which). libclamav keeps its
  // temporary files (one directory per scan, and what it unpacks) in `temp_dir`, made when
  // missing, or in the system's temporary directory when it is empty. False with `error_r`
  // when the library cannot start, a database cannot be loaded or `temp_dir` cannot be
  // made.
  // The limits are those of set_limits, made before Load.
  [[nodiscard]] bool Load(const std::string& signature_dir, const std::string& system_dir,
                          const std::string& temp_dir, std::string* error_r);
  // REQUIRES: called before Load.
  void set_limits(const ScanLimits& limits) { limits_ = limits; }

  [[nodiscard]] unsigned signature_count() const { return signature_count_; }
  [[nodiscard]] SystemDatabases system_databases() const { return system_databases_; }

  // See FileScanner::ScanFile. Past the deadline the scan stops before the next file it
  // would unpack or look into, and libclamav's own time limit stops one file's scan.
  using FileScanner::ScanFile;
  [[nodiscard]] ScanResult ScanFile(const std::string& path, ScanDeadline deadline) const override;

 private:
  struct Engine;
  std::unique_ptr<Engine> engine_;
  unsigned signature_count_ = 0;
  SystemDatabases system_databases_ = SystemDatabases::kNotAsked;
  ScanLimits limits_;
};

}  // namespace vtengine
