// spool_watch.cpp - finding published jobs under IN and running them on worker threads.
#include "platform/engine/spool_watch.h"

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>

#include "platform/engine/answer_files.h"
#include "platform/engine/engine_log.h"
#include "platform/engine/job_header.h"

namespace vtengine {

namespace {

constexpr const char* kJobHeader = "0.hdr";
constexpr const char* kScanNow = "scannow.txt";
// A header is published by a rename (or, for scannow.txt, a file closed after creation);
// a file merely created may still be half written.
constexpr std::uint32_t kJobDirEvents = IN_MOVED_TO | IN_CLOSE_WRITE | IN_ONLYDIR;
constexpr std::uint32_t kInDirEvents =
    IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

bool IsDatabaseDir(const std::string& name) { return EqualsNoCase(name, kDatabaseJobDir); }

const char* PublishingFile(const std::string& name) {
  return IsDatabaseDir(name) ? kScanNow : kJobHeader;
}

}  // namespace

SpoolWatcher::SpoolWatcher(const EngineContext& context, const WatchOptions& options)
    : context_(context), options_(options) {
  if (options_.threads == 0) options_.threads = 1;
  if (options_.rescan_ms <= 0) options_.rescan_ms = 1000;
}

SpoolWatcher::~SpoolWatcher() {
  if (inotify_fd_ >= 0) ::close(inotify_fd_);
}

void SpoolWatcher::Run(int stop_fd) {
  inotify_fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotify_fd_ < 0)
    LogLine("inotify unavailable (%s); finding jobs by rescanning only", std::strerror(errno));
  for (unsigned i = 0; i < options_.threads; ++i) workers_.emplace_back([this] { WorkerLoop(); });

  WatchInDir();
  Rescan();
  for (;;) {
    struct pollfd fds[2] = {{stop_fd, POLLIN, 0}, {inotify_fd_, POLLIN, 0}};
    const int ready = ::poll(fds, inotify_fd_ >= 0 ? 2 : 1, options_.rescan_ms);
    if (ready < 0 && errno != EINTR) {
      LogLine("poll failed: %s", std::strerror(errno));
      break;
    }
    if (ready > 0 && (fds[0].revents & POLLIN)) break;
    if (ready > 0 && inotify_fd_ >= 0 && (fds[1].revents & POLLIN)) {
      DrainInotify();
    } else if (ready == 0) {
      if (in_wd_ < 0) WatchInDir();
      Rescan();
    }
  }

  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    // Jobs not yet started stay published in IN: the next engine takes them.
    for (const std::string& name : queue_) busy_.erase(name);
    queue_.clear();
  }
  wake_.notify_all();
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
}

void SpoolWatcher::WorkerLoop() {
  for (;;) {
    std::string name;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      name = std::move(queue_.front());
      queue_.pop_front();
    }
    JobSpec job;
    job.name = name;
    if (IsDatabaseDir(name)) {
      job.kind = JobKind::kDatabase;
      // The sequence before the header: the scanner writes them the other way round, so a
      // header read after it is this document's or a later one's, never an earlier one's.
      job.sequence = ReadDatabaseJobSequence(context_.paths.in_dir + "/" + name);
      job.header_path = NewestDatabaseHeader(context_.paths.in_dir + "/" + name);
      if (job.header_path.empty()) job.header_path = context_.paths.in_dir + "/" + name + "/-";
    } else {
      job.header_path = context_.paths.in_dir + "/" + name + "/" + kJobHeader;
    }
    JobReport report;
    try {
      report = RunJob(job, context_);
    } catch (const std::exception& e) {
      // Nothing may leave a worker's top; the waiter of this job times out as it would
      // for an engine that never answered.
      report.outcome = JobOutcome::kDropped;
      report.detail = std::string("failed: ") + e.what();
    }
    switch (report.outcome) {
      case JobOutcome::kClean:
        ++counters_.answered;
        LogVerbose("%s: clean", name.c_str());
        break;
      case JobOutcome::kInfected:
        ++counters_.answered;
        ++counters_.infected;
        LogLine("%s: %s", name.c_str(), report.detail.c_str());
        break;
      case JobOutcome::kError:
        ++counters_.answered;
        ++counters_.errors;
        LogLine("%s: answered with error.hdr: %s", name.c_str(), report.detail.c_str());
        break;
      case JobOutcome::kAnsweredBefore:
        LogVerbose("%s: answered before", name.c_str());
        break;
      case JobOutcome::kDropped:
        ++counters_.dropped;
        LogLine("%s: not answered: %s", name.c_str(), report.detail.c_str());
        break;
    }
    if ((report.outcome == JobOutcome::kClean || report.outcome == JobOutcome::kInfected ||
         report.outcome == JobOutcome::kError) &&
        !report.event_set)
      LogLine("%s: the job's event could not be set", name.c_str());
    std::lock_guard<std::mutex> lock(mutex_);
    busy_.erase(name);
  }
}

void SpoolWatcher::Enqueue(const std::string& name, const Identity& identity) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // A job still queued or running is looked at again by the next rescan, which takes
    // it anew if it was published again meanwhile.
    if (stopping_ || busy_.count(name)) return;
    busy_.insert(name);
    queue_.push_back(name);
  }
  taken_[name] = identity;
  wake_.notify_one();
}

void SpoolWatcher::CheckJobDir(const std::string& name) {
  const std::string path = context_.paths.in_dir + "/" + name + "/" + PublishingFile(name);
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  const Identity identity{static_cast<std::uint64_t>(st.st_ino), st.st_size,
                          st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec};
  auto taken = taken_.find(name);
  if (taken != taken_.end() && taken->second == identity) return;
  Enqueue(name, identity);
}

void SpoolWatcher::Rescan() {
  std::set<std::string> seen;
  for (const std::string& name : ListDirectory(context_.paths.in_dir)) {
    const std::string dir = context_.paths.in_dir + "/" + name;
    // With an empty ScanDir, IN is the install directory and holds OUT as well.
    if (dir == context_.paths.out_dir || !IsDirectory(dir)) continue;
    seen.insert(name);
    CheckJobDir(name);
  }
  // Forget jobs whose directory is gone, so a JobId used again later is taken again.
  for (auto it = taken_.begin(); it != taken_.end();) {
    it = seen.count(it->first) ? std::next(it) : taken_.erase(it);
  }
  if (inotify_fd_ >= 0 && in_wd_ >= 0) {
    for (const std::string& name : seen) {
      bool watched = false;
      for (const auto& [wd, watched_name] : job_wds_) watched |= watched_name == name;
      if (!watched) WatchJobDir(name);
    }
  }
}

void SpoolWatcher::WatchInDir() {
  if (inotify_fd_ < 0) return;
  ::mkdir(context_.paths.in_dir.c_str(), 0755);
  in_wd_ = ::inotify_add_watch(inotify_fd_, context_.paths.in_dir.c_str(), kInDirEvents);
  if (in_wd_ < 0)
    LogLine("cannot watch %s: %s", context_.paths.in_dir.c_str(), std::strerror(errno));
}

void SpoolWatcher::WatchJobDir(const std::string& name) {
  const std::string dir = context_.paths.in_dir + "/" + name;
  if (dir == context_.paths.out_dir) return;
  const int wd = ::inotify_add_watch(inotify_fd_, dir.c_str(), kJobDirEvents);
  if (wd >= 0) job_wds_[wd] = name;
  // Published before the watch existed: no event will come for it.
  CheckJobDir(name);
}

void SpoolWatcher::DrainInotify() {
  alignas(struct inotify_event) char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(inotify_fd_, buffer, sizeof buffer);
    if (n <= 0) return;
    for (char* p = buffer; p < buffer + n;) {
      const auto* event = reinterpret_cast<const struct inotify_event*>(p);
      p += sizeof(struct inotify_event) + event->len;
      const std::string name = event->len ? std::string(event->name) : std::string();
      if (event->mask & IN_Q_OVERFLOW) {
        Rescan();
      } else if (event->wd == in_wd_) {
        if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
          // IN was removed (the system empties its spool when the engine is not running);
          // the next rescan watches the new one.
          if (event->mask & IN_IGNORED) in_wd_ = -1;
        } else if ((event->mask & IN_ISDIR) && !name.empty()) {
          WatchJobDir(name);
        }
      } else if (event->mask & IN_IGNORED) {
        job_wds_.erase(event->wd);
      } else if (auto it = job_wds_.find(event->wd); it != job_wds_.end()) {
        if (EqualsNoCase(name, PublishingFile(it->second))) CheckJobDir(it->second);
      }
    }
  }
}

}  // namespace vtengine
