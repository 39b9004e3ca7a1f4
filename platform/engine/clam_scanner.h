// clam_scanner.h - the virus scanner behind the engine: libclamav with our signatures.
//
// One ClamScanner loads the signature databases once (the project's own directory of test
// signatures, and the system's ClamAV databases when asked and present), compiles them and
// then scans files. Archives and mail structure are parsed, so a signature is found inside
// a zip attachment or inside the raw MIME text of a mail.
//
// Ownership: the scanner owns its libclamav engine and frees it when destroyed; it is not
// copyable. Thread rules: Load before sharing; ScanFile may then be called from any
// number of threads at once (a compiled libclamav engine is read-only while it scans).
#pragma once

#include <memory>
#include <string>

namespace vtengine {

// Where Debian's ClamAV keeps its downloaded databases.
inline constexpr const char* kSystemClamDatabases = "/var/lib/clamav";

enum class ScanStatus { kClean, kInfected, kError };

struct ScanResult {
  ScanStatus status = ScanStatus::kError;
  std::string virus;  // signature name when infected
  std::string error;  // reason when the file could not be scanned
};

class ClamScanner {
 public:
  ClamScanner();
  ~ClamScanner();
  ClamScanner(const ClamScanner&) = delete;
  ClamScanner& operator=(const ClamScanner&) = delete;

  // Loads every database in `signature_dir` and, when `with_system` is set and
  // kSystemClamDatabases exists, those too; then compiles the engine. False with
  // `error_r` when the library cannot start or a database cannot be loaded.
  [[nodiscard]] bool Load(const std::string& signature_dir, bool with_system, std::string* error_r);

  [[nodiscard]] unsigned signature_count() const { return signature_count_; }

  // Scans one file. A file that cannot be opened or read is kError, never kClean.
  [[nodiscard]] ScanResult ScanFile(const std::string& path) const;

 private:
  struct Engine;
  std::unique_ptr<Engine> engine_;
  unsigned signature_count_ = 0;
};

}  // namespace vtengine
