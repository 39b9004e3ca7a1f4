// spool_watch.h - finding published jobs under IN and running them on worker threads.
//
// A real-time job is published when IN\<JobId>\0.hdr appears (the writer renames 0.hdf to
// it, so it is complete when seen); a database-scanner job when IN\ScanDatabase\scannow.txt
// appears. The watcher learns of both through inotify on IN and on every job directory,
// and rescans IN every `rescan_ms` as a safety net (a full inotify queue, a directory
// created and filled before its watch was added, IN removed and made again).
//
// A job is taken once per publication: the watcher remembers the identity (inode, size,
// time) of the file that published it, and takes the job again only when that file is
// replaced. Two runs of the same job directory never overlap.
//
// Ownership: the watcher owns its inotify descriptor and worker threads; Run joins them
// before it returns. The context's scanner and policy cache must outlive the watcher.
// Thread rules: Run on one thread; the internal queue is guarded by mutex_.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/engine/scan_job.h"

namespace vtengine {

struct WatchOptions {
  unsigned threads = 4;
  int rescan_ms = 1000;
};

struct WatchCounters {
  std::atomic<std::uint64_t> answered{0};
  std::atomic<std::uint64_t> infected{0};
  std::atomic<std::uint64_t> errors{0};
  std::atomic<std::uint64_t> dropped{0};
};

class SpoolWatcher {
 public:
  SpoolWatcher(const EngineContext& context, const WatchOptions& options);
  ~SpoolWatcher();
  SpoolWatcher(const SpoolWatcher&) = delete;
  SpoolWatcher& operator=(const SpoolWatcher&) = delete;

  // Watches and runs jobs until `stop_fd` becomes readable (a signalfd or an eventfd);
  // then drops the jobs not yet started, lets the running ones finish and returns.
  void Run(int stop_fd);

  [[nodiscard]] const WatchCounters& counters() const { return counters_; }

 private:
  struct Identity {
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t mtime_ns = 0;
    bool operator==(const Identity&) const = default;
  };

  void WorkerLoop();
  void Rescan();
  void CheckJobDir(const std::string& name);
  void WatchInDir();
  void WatchJobDir(const std::string& name);
  void DrainInotify();
  void Enqueue(const std::string& name, const Identity& identity);

  EngineContext context_;
  WatchOptions options_;
  WatchCounters counters_;
  int inotify_fd_ = -1;
  int in_wd_ = -1;
  std::map<int, std::string> job_wds_;     // watch descriptor -> job directory name
  std::map<std::string, Identity> taken_;  // watcher thread only

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::string> queue_;  // guarded by mutex_
  std::set<std::string> busy_;     // queued or running, guarded by mutex_
  bool stopping_ = false;          // guarded by mutex_
  std::vector<std::thread> workers_;
};

}  // namespace vtengine
