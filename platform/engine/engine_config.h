// engine_config.h - where the engine finds its spool, and what it does with a finding.
//
// Two things are read here, both through the Win32 profile API so that the engine reads the
// same files the system writes:
//   - the directories: the install directory from WIN.INI [Vantrel] InstallDirectory
//     (default <root>/vantrel), IN = install + [General] ScanDir of vantrel.ini (empty by
//     default, which makes IN the install directory itself), OUT = install/Out, and the
//     report directory of the logs ([General] ReportDirectory of vantrel.ini);
//   - the policy, from <install>/engine.ini: what to do with an infected mail (leave,
//     clean, neuter, delete), whether to quarantine it, which warnings to send to whom with
//     which texts, and the disclaimer for clean mail. The defaults are in kDefault* below
//     and in the manual page of vantrel.cpp.
//
// Ownership: plain values. Thread rules: PolicyCache may be used from any thread; the
// functions are reentrant.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/engine/clam_scanner.h"
#include "platform/engine/clamd_pool.h"

namespace vtengine {

struct SpoolPaths {
  std::string root;
  std::string install_dir;
  std::string in_dir;
  std::string out_dir;
  std::string lock_path;   // <install>/maildisp.lck
  std::string report_dir;  // [General] ReportDirectory of vantrel.ini; empty when not set
};

// Reads WIN.INI and vantrel.ini below `root` (which must already be the stand-in's root).
[[nodiscard]] SpoolPaths FindSpoolPaths(const std::string& root);

enum class InfectedAction { kLeave, kClean, kNeuter, kDelete };

[[nodiscard]] const char* InfectedActionName(InfectedAction action);

struct WarningText {
  bool enabled = false;
  std::string subject;
  std::string text;  // "\n" in the INI value stands for a line break
};

// How long one job may be scanned. The system waits TimeOut seconds (the registry value
// of the product key) for an answer, and a mail the engine cannot finish must be answered,
// as a finding, before then: otherwise the waiter gives up and the mail passes unscanned.
// So a job gets half the time-out from when the engine takes it, and no more than that plus
// an eighth from when it was published (a job that waited for a worker gets less); libclamav
// cuts a single file at a quarter. The answer is then written well before the waiter's end.
struct JobBudget {
  int job_ms = 60000;
  int queue_ms = 15000;  // how long a published job may wait for a worker without losing time
  int file_ms = 30000;
};

// The budget for a waiter's time-out (at least one second).
[[nodiscard]] JobBudget BudgetForTimeout(int timeout_ms);

// The waiter's time-out: TimeOut of HKLM\SOFTWARE\Veltrane\Vantrel For Lotus Notes in
// seconds, 120 when it is missing or not a positive number.
[[nodiscard]] int ReadWaiterTimeoutMs();

struct EnginePolicy {
  InfectedAction action = InfectedAction::kClean;
  bool quarantine = true;
  std::string neuter_text;
  std::string clean_notice;       // appended to the body once per removed attachment
  std::string cleaned_body_text;  // replaces a body that itself carried the finding
  WarningText sender;
  WarningText recipients;
  WarningText administrators;
  std::vector<std::string> admin_addresses;
  std::string warning_from;
  bool warnings_in_temp = false;  // OUT\Temp instead of the job's own directory
  std::string disclaimer;         // empty: no disclaimer
  JobBudget budget;               // from the waiter's time-out, not from engine.ini
};

// Reads engine.ini (`engine_ini`) with vantrel.ini (`vantrel_ini`) supplying the
// administrators and the warning sender when engine.ini leaves them out. A missing file
// gives the defaults.
[[nodiscard]] EnginePolicy LoadPolicy(const std::string& engine_ini,
                                      const std::string& vantrel_ini);

enum class EngineBackend { kLibclamav, kClamd };

struct BackendSettings {
  EngineBackend backend = EngineBackend::kLibclamav;
  // libclamav's limits (MaxFileSizeMb=, MaxScanSizeMb=; the scan time follows the
  // waiter's time-out at the start, see JobBudget).
  ScanLimits limits;
  // libclamav's temporary files (TempDir=, an absolute path); empty: the system's.
  std::string temp_dir;
  std::vector<ClamdAddress> servers;  // kClamd: at least one
  ClamdPoolOptions pool;
};

// Reads [Engine] of engine.ini: Backend=libclamav|clamd, TempDir=, MaxFileSizeMb=,
// MaxScanSizeMb= (libclamav only),
// Servers= (daemons separated by commas or blanks), Balance=least-busy|round-robin,
// ConnectTimeoutMs, TimeoutMs, RetryMs.
// False with `error_r` for a value the engine cannot use (an unknown backend or balance, a
// clamd backend without servers, a malformed address or number, a TempDir that is not an
// absolute path): the engine must not guess
// which scanner an administrator meant.
[[nodiscard]] bool LoadBackendSettings(const std::string& engine_ini, BackendSettings* settings_r,
                                       std::string* error_r);

// Replaces {virus}, {files}, {subject}, {from}, {to} and the two characters "\n".
struct TextFields {
  std::string virus;
  std::string files;
  std::string subject;
  std::string from;
  std::string to;
};
[[nodiscard]] std::string ExpandText(std::string_view pattern, const TextFields& fields);

// Reloads the policy when engine.ini or vantrel.ini changed on disk, so an administrator
// (or a test) can change what the engine does without restarting it; the waiter's time-out
// is read again every kTimeoutRereadMs.
inline constexpr int kTimeoutRereadMs = 5000;

class PolicyCache {
 public:
  PolicyCache(std::string engine_ini, std::string vantrel_ini);
  [[nodiscard]] EnginePolicy Get();

 private:
  std::mutex mutex_;
  std::string engine_ini_;
  std::string vantrel_ini_;
  std::string engine_stamp_;  // inode, size and time of the file last read
  std::string vantrel_stamp_;
  bool loaded_ = false;
  EnginePolicy policy_;  // guarded by mutex_
  std::chrono::steady_clock::time_point budget_read_;  // guarded by mutex_
};

}  // namespace vtengine
