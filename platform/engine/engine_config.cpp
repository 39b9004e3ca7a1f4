// engine_config.cpp - where the engine finds its spool, and what it does with a finding.
#include "platform/engine/engine_config.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "platform/engine/job_header.h"
#include "platform/win32/windows.h"

namespace vtengine {

namespace {

// Texts of engine.ini are single INI lines; 8 KB leaves room for long warning texts.
constexpr DWORD kIniValueBytes = 8192;

constexpr const char* kDefaultNeuterText =
    "This mail contained a virus ({virus}) and was removed by Vantrel.";
constexpr const char* kDefaultCleanNotice =
    "\\n\\nVantrel removed the attachment {files}: it contained the virus {virus}.";
constexpr const char* kDefaultCleanedBodyText =
    "The text of this mail was removed by Vantrel: it contained the virus {virus}.";
constexpr const char* kDefaultSenderSubject = "Virus found in your mail \"{subject}\"";
constexpr const char* kDefaultSenderText =
    "Your mail \"{subject}\" to {to} contained the virus {virus} in {files}.\\n"
    "Vantrel has dealt with it before delivery.";
constexpr const char* kDefaultRecipientSubject = "Virus found in a mail to you";
constexpr const char* kDefaultRecipientText =
    "The mail \"{subject}\" from {from} contained the virus {virus} in {files}.\\n"
    "Vantrel has dealt with it before delivery.";
constexpr const char* kDefaultAdminSubject = "Virus found: {virus}";
constexpr const char* kDefaultAdminText =
    "Vantrel found the virus {virus} in {files}.\\nFrom: {from}\\nTo: {to}\\nSubject: {subject}";
constexpr const char* kDefaultWarningFrom = "Vantrel";

std::string ReadIni(const std::string& path, const char* section, const char* key,
                    const char* default_value) {
  std::string buffer(kIniValueBytes, '\0');
  const DWORD length = GetPrivateProfileString(section, key, default_value, buffer.data(),
                                               kIniValueBytes, path.c_str());
  buffer.resize(length);
  return buffer;
}

bool ReadFlag(const std::string& path, const char* section, const char* key, bool fallback) {
  const std::string value = ReadIni(path, section, key, fallback ? "1" : "0");
  if (value.empty()) return fallback;
  const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(value[0])));
  return c == '1' || c == 'y' || c == 't';
}

InfectedAction ParseAction(std::string_view text) {
  if (EqualsNoCase(text, "leave")) return InfectedAction::kLeave;
  if (EqualsNoCase(text, "neuter")) return InfectedAction::kNeuter;
  if (EqualsNoCase(text, "delete")) return InfectedAction::kDelete;
  return InfectedAction::kClean;
}

WarningText ReadWarning(const std::string& path, const char* prefix, bool enabled_default,
                        const char* subject_default, const char* text_default) {
  const std::string name(prefix);
  WarningText warning;
  warning.enabled = ReadFlag(path, "Warnings", name.c_str(), enabled_default);
  warning.subject = ReadIni(path, "Warnings", (name + "Subject").c_str(), subject_default);
  warning.text = ReadIni(path, "Warnings", (name + "Text").c_str(), text_default);
  return warning;
}

// The profile API replaces a file by renaming a new one over it, so the inode changes with
// every write even when the clock is too coarse to tell two writes apart.
std::string FileStamp(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return "absent";
  return std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) + ":" +
         std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
}

std::string JoinUnder(const std::string& base, std::string relative) {
  for (char& c : relative) {
    if (c == '\\') c = '/';
  }
  while (!relative.empty() && relative.back() == '/') relative.pop_back();
  if (relative.empty()) return base;
  if (relative.front() == '/') return relative;
  return base + "/" + relative;
}

}  // namespace

SpoolPaths FindSpoolPaths(const std::string& root) {
  SpoolPaths paths;
  paths.root = root;
  const std::string win_ini = root + "/windows/win.ini";
  std::string install = ReadIni(win_ini, "Vantrel", "InstallDirectory", "");
  paths.install_dir = install.empty() ? root + "/vantrel" : JoinUnder(root, install);
  // ScanDir is a name below the install directory; joined even when it looks absolute,
  // as the system joins it.
  std::string scan_dir = ReadIni(paths.install_dir + "/vantrel.ini", "General", "ScanDir", "");
  for (char& c : scan_dir) {
    if (c == '\\') c = '/';
  }
  while (!scan_dir.empty() && scan_dir.front() == '/') scan_dir.erase(0, 1);
  paths.in_dir = JoinUnder(paths.install_dir, scan_dir);
  paths.out_dir = paths.install_dir + "/Out";
  paths.lock_path = paths.install_dir + "/maildisp.lck";
  std::string report = ReadIni(paths.install_dir + "/vantrel.ini", "General", "ReportDirectory", "");
  for (char& c : report) {
    if (c == '\\') c = '/';
  }
  if (!report.empty()) paths.report_dir = JoinUnder(root, report);
  return paths;
}

const char* InfectedActionName(InfectedAction action) {
  switch (action) {
    case InfectedAction::kLeave:
      return "leave";
    case InfectedAction::kClean:
      return "clean";
    case InfectedAction::kNeuter:
      return "neuter";
    case InfectedAction::kDelete:
      return "delete";
  }
  return "clean";
}

EnginePolicy LoadPolicy(const std::string& engine_ini, const std::string& vantrel_ini) {
  EnginePolicy policy;
  policy.action = ParseAction(ReadIni(engine_ini, "Infected", "Action", "clean"));
  policy.quarantine = ReadFlag(engine_ini, "Infected", "Quarantine", true);
  policy.neuter_text = ReadIni(engine_ini, "Infected", "NeuterText", kDefaultNeuterText);
  policy.clean_notice = ReadIni(engine_ini, "Infected", "CleanNotice", kDefaultCleanNotice);
  policy.cleaned_body_text =
      ReadIni(engine_ini, "Infected", "CleanedBodyText", kDefaultCleanedBodyText);
  policy.sender =
      ReadWarning(engine_ini, "Sender", true, kDefaultSenderSubject, kDefaultSenderText);
  policy.recipients =
      ReadWarning(engine_ini, "Recipients", false, kDefaultRecipientSubject, kDefaultRecipientText);
  policy.administrators =
      ReadWarning(engine_ini, "Administrators", true, kDefaultAdminSubject, kDefaultAdminText);
  std::string admins = ReadIni(engine_ini, "Warnings", "AdminAddresses", "");
  if (admins.empty()) admins = ReadIni(vantrel_ini, "General", "AdminEmailId", "");
  policy.admin_addresses = SplitAddressList(admins);
  policy.warning_from = ReadIni(engine_ini, "Warnings", "From", "");
  if (policy.warning_from.empty())
    policy.warning_from = ReadIni(vantrel_ini, "General", "WarningMailsFromUser", "");
  if (policy.warning_from.empty()) policy.warning_from = kDefaultWarningFrom;
  policy.warnings_in_temp =
      EqualsNoCase(ReadIni(engine_ini, "Warnings", "Directory", "job"), "temp");
  policy.disclaimer = ReadIni(engine_ini, "Clean", "Disclaimer", "");
  return policy;
}

namespace {

// A whole number of milliseconds in [low, high]; `fallback` when the key is absent.
bool ReadEngineNumber(const std::string& path, const char* key, int low, int high, int fallback, int* value_r,
            std::string* error_r) {
  const std::string text = ReadIni(path, "Engine", key, "");
  if (text.empty()) {
    *value_r = fallback;
    return true;
  }
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < low || value > high) {
    *error_r = std::string("[Engine] ") + key + "=" + text + " is not a number from " +
               std::to_string(low) + " to " + std::to_string(high);
    return false;
  }
  *value_r = static_cast<int>(value);
  return true;
}

}  // namespace

bool LoadBackendSettings(const std::string& engine_ini, BackendSettings* settings_r,
                         std::string* error_r) {
  BackendSettings settings;
  settings.temp_dir = ReadIni(engine_ini, "Engine", "TempDir", "");
  if (!settings.temp_dir.empty() && settings.temp_dir.front() != '/') {
    *error_r = "[Engine] TempDir=" + settings.temp_dir + " is not an absolute path";
    return false;
  }
  int max_file_mb = static_cast<int>(settings.limits.max_file_bytes >> 20);
  int max_scan_mb = static_cast<int>(settings.limits.max_scan_bytes >> 20);
  if (!ReadEngineNumber(engine_ini, "MaxFileSizeMb", 1, 4095, max_file_mb, &max_file_mb,
                        error_r) ||
      !ReadEngineNumber(engine_ini, "MaxScanSizeMb", 1, 4095, max_scan_mb, &max_scan_mb, error_r))
    return false;
  settings.limits.max_file_bytes = static_cast<long long>(max_file_mb) << 20;
  settings.limits.max_scan_bytes = static_cast<long long>(max_scan_mb) << 20;
  const std::string backend = ReadIni(engine_ini, "Engine", "Backend", "libclamav");
  if (backend.empty() || EqualsNoCase(backend, "libclamav")) {
    *settings_r = std::move(settings);
    return true;
  }
  if (!EqualsNoCase(backend, "clamd")) {
    *error_r = "[Engine] Backend=" + backend + " is neither libclamav nor clamd";
    return false;
  }
  settings.backend = EngineBackend::kClamd;
  const std::string servers = ReadIni(engine_ini, "Engine", "Servers", "");
  std::size_t pos = 0;
  while (pos < servers.size()) {
    const std::size_t end = servers.find_first_of(", \t", pos);
    const std::string item = servers.substr(pos, end == std::string::npos ? end : end - pos);
    pos = end == std::string::npos ? servers.size() : end + 1;
    if (item.empty()) continue;
    ClamdAddress address;
    if (!ParseClamdAddress(item, &address, error_r)) {
      *error_r = "[Engine] Servers: " + *error_r;
      return false;
    }
    settings.servers.push_back(std::move(address));
  }
  if (settings.servers.empty()) {
    *error_r = "[Engine] Backend=clamd names no daemon in Servers=";
    return false;
  }
  const std::string balance = ReadIni(engine_ini, "Engine", "Balance", "least-busy");
  if (EqualsNoCase(balance, "round-robin")) {
    settings.pool.balance = ClamdBalance::kRoundRobin;
  } else if (!balance.empty() && !EqualsNoCase(balance, "least-busy")) {
    *error_r = "[Engine] Balance=" + balance + " is neither least-busy nor round-robin";
    return false;
  }
  const ClamdPoolOptions defaults;
  if (!ReadEngineNumber(engine_ini, "ConnectTimeoutMs", 10, 600000, defaults.connect_timeout_ms,
              &settings.pool.connect_timeout_ms, error_r) ||
      !ReadEngineNumber(engine_ini, "TimeoutMs", 10, 3600000, defaults.io_timeout_ms,
              &settings.pool.io_timeout_ms, error_r) ||
      !ReadEngineNumber(engine_ini, "RetryMs", 10, kMaxRetryMs, defaults.retry_ms, &settings.pool.retry_ms,
              error_r))
    return false;
  *settings_r = std::move(settings);
  return true;
}

std::string ExpandText(std::string_view pattern, const TextFields& fields) {
  std::string out;
  out.reserve(pattern.size() + 64);
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '\\' && i + 1 < pattern.size() && pattern[i + 1] == 'n') {
      out += "\r\n";
      ++i;
      continue;
    }
    if (pattern[i] == '{') {
      const std::size_t close = pattern.find('}', i);
      if (close != std::string_view::npos) {
        const std::string_view name = pattern.substr(i + 1, close - i - 1);
        const std::string* value = nullptr;
        if (name == "virus")
          value = &fields.virus;
        else if (name == "files")
          value = &fields.files;
        else if (name == "subject")
          value = &fields.subject;
        else if (name == "from")
          value = &fields.from;
        else if (name == "to")
          value = &fields.to;
        if (value) {
          out += *value;
          i = close;
          continue;
        }
      }
    }
    out += pattern[i];
  }
  return out;
}

JobBudget BudgetForTimeout(int timeout_ms) {
  timeout_ms = std::max(timeout_ms, 1000);
  JobBudget budget;
  budget.job_ms = timeout_ms / 2;
  budget.queue_ms = timeout_ms / 8;
  budget.file_ms = timeout_ms / 4;
  return budget;
}

int ReadWaiterTimeoutMs() {
  constexpr int kDefaultSeconds = 120;
  HKEY key = nullptr;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Veltrane\\Vantrel For Lotus Notes", 0,
                   KEY_READ, &key) != ERROR_SUCCESS)
    return kDefaultSeconds * 1000;
  char text[32] = {};
  DWORD type = 0;
  DWORD size = sizeof text - 1;
  const LONG result =
      RegQueryValueEx(key, "TimeOut", nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
  RegCloseKey(key);
  const long seconds = result == ERROR_SUCCESS ? std::strtol(text, nullptr, 10) : 0;
  // The system takes the value in seconds and multiplies it into a 32-bit count of ms.
  if (seconds <= 0 || seconds > 2000000) return kDefaultSeconds * 1000;
  return static_cast<int>(seconds * 1000);
}

PolicyCache::PolicyCache(std::string engine_ini, std::string vantrel_ini)
    : engine_ini_(std::move(engine_ini)), vantrel_ini_(std::move(vantrel_ini)) {}

EnginePolicy PolicyCache::Get() {
  std::string engine_stamp = FileStamp(engine_ini_);
  std::string vantrel_stamp = FileStamp(vantrel_ini_);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!loaded_ || engine_stamp != engine_stamp_ || vantrel_stamp != vantrel_stamp_) {
    const JobBudget budget = policy_.budget;
    policy_ = LoadPolicy(engine_ini_, vantrel_ini_);
    policy_.budget = budget;
    engine_stamp_ = std::move(engine_stamp);
    vantrel_stamp_ = std::move(vantrel_stamp);
  }
  // The time-out is a registry value, which an administrator changes at any time; a read
  // opens the registry's database, so it is not read for every job.
  constexpr auto kTimeoutReread = std::chrono::milliseconds(kTimeoutRereadMs);
  const auto now = std::chrono::steady_clock::now();
  if (!loaded_ || now - budget_read_ >= kTimeoutReread) {
    policy_.budget = BudgetForTimeout(ReadWaiterTimeoutMs());
    budget_read_ = now;
  }
  loaded_ = true;
  return policy_;
}

}  // namespace vtengine
