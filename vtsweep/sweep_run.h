// sweep_run.h - the state of one run of the database scanner and of the document in hand.
//
// What it is for: the settings, the spool paths, the counters and the flags that the
// driver, the per-document scan and the result handling share. One SweepRun lives for the
// whole process; one JobRecord for each document the engine is asked about.
//
// Ownership: the SweepRun belongs to main and outlives the scan thread (a user stop ends
// the process with the thread still running). The scan event handle is the scan thread's.
//
// Locks: none. Everything but `scanning`, `done` and `totals` is touched by the scan thread
// only; those are written by one thread and read by the other, and are atomic.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "platform/win32/windows.h"
#include "vtsweep/settings.h"
#include "vtsweep/sweep_log.h"

namespace vtsweep {

// The engine may miss this many answers in one run; at the next one the run stops.
inline constexpr int kTimeoutLimit = 4;

inline constexpr const char* kScanDatabaseDir = "ScanDatabase";
inline constexpr const char* kResultBaseDir = "Out";
inline constexpr const char* kScanEventName = "scandatabasex";
inline constexpr const char* kScanNowFile = "scannow.txt";

struct ScanPaths {
  std::string scan_dir;     // install directory + ScanDir: Virnames.txt
  std::string job_dir;      // scan_dir + ScanDatabase: the document's job files
  std::string result_base;  // install directory + Out: result paths are relative to it
  std::string result_dir;   // result_base + ScanDatabase: the engine's answer
};

// What the progress window shows, when there is one (the scan thread calls these).
struct ProgressHooks {
  void (*show_database)(const std::string& path) = nullptr;
  void (*show_count)(int document_number) = nullptr;
  void (*set_total)(int documents) = nullptr;  // documents the database's search selects
};

// What the whole run has done so far, counted by the scan thread as it goes. Read by the
// main thread for the closing text of an interactive run, also while a stopped scan thread
// still runs.
struct RunTotals {
  std::atomic<int> databases{0};    // databases opened and searched
  std::atomic<int> documents{0};    // documents scanned in them
  std::atomic<int> disinfected{0};  // documents the engine named a virus for
  std::atomic<int> unanswered{0};   // documents the engine did not answer in time
  std::atomic<int> not_scanned{0};  // documents selected but not scanned (unanswered too)
  std::atomic<int> kept_unchanged{0};  // infected documents left as they were: no copy
};

struct SweepRun {
  Settings settings;
  ScanPaths paths;
  DWORD timeout_ms = kDefaultTimeoutSeconds * 1000;
  HANDLE scan_event = nullptr;  // "scandatabasex", set by the engine when it has answered
  DatabaseCounters counters;
  RunTotals totals;
  int timeouts = 0;      // engine time-outs of this run, less one per answered job
  bool timeout_stop_logged = false;  // the run's stop for time-outs has been logged
  bool exclusion_without_list_logged = false;
  // Each job is published with its own sequence (run prefix and count) in scannow.txt; the
  // engine repeats it in its answer, so an answer is applied to its own document only.
  std::string job_prefix;
  unsigned long job_count = 0;
  std::string job_sequence;  // the document in hand's
  bool changed = false;  // the document in hand was rewritten and is to be written back
  std::atomic<bool> scanning{false};  // the scan thread works through its lists
  std::atomic<bool> done{false};      // the scan thread has finished
  ProgressHooks window;
};

struct JobAttachment {
  std::string original_name;  // the document's name for the file (up to 260)
  std::string stored_path;    // the file in the job or result directory (up to 262)
};

// One document's job, or the engine's answer read back in its place.
struct JobRecord {
  std::string header_path;  // job directory + "%lX.hdr"
  std::string body_path;
  std::string raw_path;     // job directory + 0.bdx
  std::vector<JobAttachment> attachments;
  std::vector<std::string> recipients;
  std::string from;
  std::string subject;
};

}  // namespace vtsweep
