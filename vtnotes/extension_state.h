// extension_state.h - the extension's process-wide state: settings, named objects, lists.
//
// What it is for: the hooks, the reload thread and the deletion thread of the router task
// share one ExtensionState, written at start-up and by the reload thread. Numbers and flags
// are atomics (single words, read without a lock, as the hooks have always read them); the
// paths are written once at start-up before any hook is installed; the administrator and
// quarantine lists, which the reload thread replaces, are copied out under lists_mutex_.
//
// Ownership: the state owns its named objects (UniqueHandle) and both lists. Start-up
// fills it, TrackerTerm empties it again so that a later start in the same process (tests)
// begins afresh.
//
// Locks: "gMutex" guards job_list, "MailBoxMutex" deletion_list, "MyMutex" the current
// time-out and the active flag when they change; "statistics_mutex" and
// "TotalSkippedMail_mutex" the registry counters. Lock order: MutexNoteUpdate before
// gMutex, gMutex before a job mutex, gMutex before MailBoxMutex, a job mutex before MyMutex
// or MailBoxMutex.
#pragma once

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "foundation/named_objects.h"
#include "vtnotes/job_list.h"

namespace vtnotes {

inline constexpr const char* kVersionText = "4.20";
inline constexpr long kCeilingExtraMs = 300000;
inline constexpr long kTimeoutStepMs = 30000;
inline constexpr long kTimeoutFloorMs = 50000;
// Entries of the administrator and quarantine tables are cut to this many characters.
inline constexpr std::size_t kAdminEntryChars = 517;

struct ExtensionState {
  std::string install_directory;
  std::string report_directory;
  std::string in_directory;
  std::string out_directory;
  std::string notes_directory;
  std::string vantrel_id;

  std::atomic<long> base_timeout_ms{120000};
  std::atomic<long> current_timeout_ms{120000};
  std::atomic<long> timeout_ceiling_ms{420000};
  std::atomic<long> delete_interval_ms{20000};
  std::atomic<long> log_buf_size{10000};
  std::atomic<long> debug_level{0};
  std::atomic<bool> active{false};
  std::atomic<bool> warn_when_disabled{true};
  std::atomic<bool> warn_on_timeout{true};
  std::atomic<bool> keep_out_jobs{false};
  // HoldMailWhenNotScanned: a mail that could not be scanned stays in its mail box for the
  // router to try again, instead of passing unscanned.
  std::atomic<bool> hold_when_not_scanned{false};
  std::atomic<bool> shutdown{false};
  std::atomic<bool> started{false};       // hooks installed and not yet terminated
  std::atomic<int> hooks_in_flight{0};   // note-open and note-update calls running now

  foundation::UniqueHandle g_mutex;
  foundation::UniqueHandle mailbox_mutex;
  foundation::UniqueHandle log_mutex;
  foundation::UniqueHandle note_update_mutex;
  foundation::UniqueHandle my_mutex;
  foundation::UniqueHandle statistics_mutex;
  foundation::UniqueHandle skipped_mutex;
  // Set by TrackerTerm: wakes the deletion thread out of its sleep at once.
  foundation::UniqueHandle stop_event;
  // "UpdateEvent", made at start-up before the engine is looked for, so that an engine
  // coming up at any moment after that look finds the event to set; the reload thread
  // waits on it.
  foundation::UniqueHandle update_event;
  foundation::UniqueHandle reload_thread;
  foundation::UniqueHandle deletion_thread;

  JobList job_list;            // guarded by gMutex
  DeletionList deletion_list;  // guarded by MailBoxMutex

  // Tick count at which each kind of administrator warning (warnings.h) last went out;
  // guarded by warning_clock_mutex.
  std::mutex warning_clock_mutex;
  std::map<int, DWORD> warning_last_sent;

  // Mails already announced as passing while scanning is off: the router opens each mail
  // more than once, the event log names it once. Guarded by announced_mutex; bounded.
  std::mutex announced_mutex;
  std::deque<std::string> announced_order;
  std::set<std::string> announced;

  [[nodiscard]] std::vector<std::string> AdminAddresses() const;
  [[nodiscard]] std::vector<std::string> QuarantineDatabases() const;
  void SetLists(std::vector<std::string> admins, std::vector<std::string> databases);

 private:
  mutable std::mutex lists_mutex_;
  std::vector<std::string> admin_addresses_;
  std::vector<std::string> quarantine_databases_;
};

// The one state of this process.
[[nodiscard]] ExtensionState& State();

// Resets every field to its value before start-up, closing the named objects.
void ResetState();

// Splits a comma-separated value into its non-empty pieces, in order, each cut to
// kAdminEntryChars.
[[nodiscard]] std::vector<std::string> SplitAdminValue(std::string_view value);

// Reads AdminEmailId of vantrel.ini and VTADMINDB of the registry into the state.
void FillAdminLists();

// A product registry number: the value when present and not empty, else `fallback`
// written back as default_text when that is given.
[[nodiscard]] long ReadSettingNumber(const char* name, const char* default_text, long fallback);

// The settings that start-up and the reload thread read, in their order.
void ReadStartupSettings();
// Verbosity of the note-open hook: 2 above 10, 1 from 6 to 10, else 0.
[[nodiscard]] int HookVerbosity(long debug_level);
// Verbosity at start-up: 2 from 10, 1 from 5 to 9, else 0.
[[nodiscard]] int StartupVerbosity(long debug_level);

// Reads HoldMailWhenNotScanned (default 0, written back when absent).
void ReadHoldSetting();

// Sets base and current time-out and the ceiling from the TimeOut setting.
void ApplyTimeoutSetting();

// The adaptive time-out. After a time-out the current time-out grows by 30 s; after an
// answer it shrinks by 30 s while it is above both the base and 50 s. REQUIRES: MyMutex.
void LengthenTimeout();
void ShortenTimeout();

// Path of vantrel.ini in the install directory.
[[nodiscard]] std::string ProductIniPath();

}  // namespace vtnotes
