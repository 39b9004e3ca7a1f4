// extension_state.cpp - see extension_state.h.
#include "vtnotes/extension_state.h"

#include <new>
#include <string>
#include <vector>

#include "foundation/log.h"
#include "platform/win32/windows.h"
#include "vtnotes/settings_store.h"
#include "vtnotes/spool.h"
#include "vtnotes/vtnotes_log.h"

namespace vtnotes {

std::vector<std::string> ExtensionState::AdminAddresses() const {
  std::lock_guard<std::mutex> lock(lists_mutex_);
  return admin_addresses_;
}

std::vector<std::string> ExtensionState::QuarantineDatabases() const {
  std::lock_guard<std::mutex> lock(lists_mutex_);
  return quarantine_databases_;
}

void ExtensionState::SetLists(std::vector<std::string> admins,
                              std::vector<std::string> databases) {
  std::lock_guard<std::mutex> lock(lists_mutex_);
  admin_addresses_ = std::move(admins);
  quarantine_databases_ = std::move(databases);
}

ExtensionState& State() {
  static ExtensionState state;
  return state;
}

void ResetState() {
  ExtensionState& state = State();
  state.install_directory.clear();
  state.report_directory.clear();
  state.in_directory.clear();
  state.out_directory.clear();
  state.notes_directory.clear();
  state.vantrel_id.clear();
  state.base_timeout_ms = 120000;
  state.current_timeout_ms = 120000;
  state.timeout_ceiling_ms = 120000 + kCeilingExtraMs;
  state.delete_interval_ms = 20000;
  state.log_buf_size = 10000;
  state.debug_level = 0;
  state.active = false;
  state.warn_when_disabled = true;
  state.warn_on_timeout = true;
  state.keep_out_jobs = false;
  state.hold_when_not_scanned = false;
  {
    std::lock_guard<std::mutex> lock(state.warning_clock_mutex);
    state.warning_last_sent.clear();
  }
  {
    std::lock_guard<std::mutex> lock(state.announced_mutex);
    state.announced_order.clear();
    state.announced.clear();
  }
  state.shutdown = false;
  state.started = false;
  state.hooks_in_flight = 0;
  state.g_mutex.reset();
  state.mailbox_mutex.reset();
  state.log_mutex.reset();
  state.note_update_mutex.reset();
  state.my_mutex.reset();
  state.statistics_mutex.reset();
  state.skipped_mutex.reset();
  state.stop_event.reset();
  state.update_event.reset();
  state.reload_thread.reset();
  state.deletion_thread.reset();
  state.job_list.Clear();
  state.deletion_list.ClearAll();
  state.SetLists({}, {});
}

std::vector<std::string> SplitAdminValue(std::string_view value) {
  std::vector<std::string> entries;
  std::size_t start = 0;
  while (start <= value.size()) {
    std::size_t end = value.find(',', start);
    if (end == std::string_view::npos) end = value.size();
    std::string_view piece = value.substr(start, end - start);
    if (!piece.empty()) entries.emplace_back(piece.substr(0, kAdminEntryChars));
    start = end + 1;
  }
  return entries;
}

std::string ProductIniPath() { return JoinPath(State().install_directory, kProductIni); }

void FillAdminLists() {
  // The values are read whole: the registry and profile readers grow their buffers. A list
  // that cannot be read leaves both lists as they were.
  std::vector<std::string> admins;
  std::vector<std::string> databases;
  try {
    admins =
        SplitAdminValue(ReadIniValue(ProductIniPath(), "General", "AdminEmailId", "", 1 << 20));
  } catch (const std::bad_alloc&) {
    Always("ERROR!!! Unable to Realloc Memory in Function FillADMINID");
    return;
  } catch (...) {
    Always("ERROR!!! in FillAdminID");
    return;
  }
  try {
    databases = SplitAdminValue(ReadProductValue("VTADMINDB", nullptr, 1 << 20));
  } catch (const std::bad_alloc&) {
    Event("ERROR!!! Unable to realloc memory in FillADMINDB Function");
    return;
  } catch (...) {
    Always("ERROR!!! in FillAdminDB");
    return;
  }
  State().SetLists(std::move(admins), std::move(databases));
}

long ReadSettingNumber(const char* name, const char* default_text, long fallback) {
  bool found = false;
  std::string value = ReadProductValue(name, &found, 260);
  if (found && !value.empty()) return DecimalValue(value);
  if (default_text) WriteProductValue(name, default_text);
  return fallback;
}

int StartupVerbosity(long debug_level) {
  return foundation::DebugLevelFromNumber(debug_level, 5, 10);
}

int HookVerbosity(long debug_level) {
  return foundation::DebugLevelFromNumber(debug_level, 6, 11);
}

void ApplyTimeoutSetting() {
  ExtensionState& state = State();
  long seconds = ReadSettingNumber("TimeOut", "120", 120);
  // Seconds beyond what a signed 32-bit millisecond count holds are cut to its maximum.
  long timeout_ms = seconds > 2147483 ? 2147483000L : seconds * 1000;
  state.base_timeout_ms = timeout_ms;
  state.current_timeout_ms = timeout_ms;
  state.timeout_ceiling_ms = timeout_ms + kCeilingExtraMs;
}

void LengthenTimeout() { State().current_timeout_ms += kTimeoutStepMs; }

void ShortenTimeout() {
  ExtensionState& state = State();
  if (state.current_timeout_ms > state.base_timeout_ms &&
      state.current_timeout_ms > kTimeoutFloorMs)
    state.current_timeout_ms -= kTimeoutStepMs;
}

void ReadStartupSettings() {
  ExtensionState& state = State();
  long seconds = ReadSettingNumber("ProcessDeleteMailInSeconds", "20", 20);
  state.delete_interval_ms = seconds > 2147483 ? 2147483000L : seconds * 1000;
  ApplyTimeoutSetting();
  state.log_buf_size = ReadSettingNumber("LogBufSize", "10000", 10000);
  state.debug_level = ReadSettingNumber("VTDEBUG", "1", 0);
  state.warn_when_disabled = ReadSettingNumber("VTDisableWarningToAdmin", "1", 1) != 0;
  state.warn_on_timeout = ReadSettingNumber("TimeOutWarningToAdmin", "1", 1) != 0;
  state.keep_out_jobs = ReadSettingNumber("DONOT_DELETE_OUT_DIR", "0", 0) != 0;
  ReadHoldSetting();
}

void ReadHoldSetting() {
  State().hold_when_not_scanned = ReadSettingNumber("HoldMailWhenNotScanned", "0", 0) != 0;
}

}  // namespace vtnotes
