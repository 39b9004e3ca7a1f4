// group_commit.cpp - one sync of a database's log for every commit waiting on it.
//
// A group per database file. A caller joins the group's next round; when no sync is running
// it leads that round itself: it takes the round out (later callers start a new one), syncs
// the log without holding the lock, and wakes everyone of its round with the result. A round
// covers exactly the commits that returned before its sync began, because a caller joins
// only after its own commit returned and the round it joins starts its sync only after that.
// Each caller gets the result of the round that covered it: after a failed sync Linux may
// report a later one as successful although the failed pages are lost, so a failure is never
// passed over by a later success.
//
// The log is opened by name for each round: SQLite removes it when the last connection
// closes and makes a new one at the next open, and a descriptor kept across that would sync
// a removed file. A log that was not there before (a new inode) also has its directory
// entry synced once, since a synced file that no directory names is lost all the same.
#include "platform/notes/group_commit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

namespace notes_internal {
namespace {

std::atomic<SyncFunction> g_sync_function{nullptr};
std::atomic<bool> g_sync_enabled{true};

struct Round {
  bool done = false;
  bool ok = false;
};

struct Group {
  std::mutex mutex;
  std::condition_variable finished;
  bool syncing = false;
  std::shared_ptr<Round> next;  // the round callers join now; started by the next leader
  std::pair<dev_t, ino_t> named_log{0, 0};  // the log whose directory entry was synced
};

std::shared_ptr<Group> GroupOf(const std::string& file) {
  static std::mutex* mutex = new std::mutex;  // never destroyed: used from any thread
  static auto* groups = new std::map<std::string, std::shared_ptr<Group>>;
  std::lock_guard<std::mutex> lock(*mutex);
  std::shared_ptr<Group>& group = (*groups)[file];
  if (!group) group = std::make_shared<Group>();
  return group;
}

// Syncs the log of file (or the file itself when it has no log: everything committed was
// then folded into it and synced by the storage). Called by one leader of a group at a time.
bool SyncLog(const std::string& file, Group* group) {
  int fd = ::open((file + "-wal").c_str(), O_RDONLY | O_CLOEXEC);
  bool log = fd >= 0;
  if (!log) {
    if (errno != ENOENT) return false;
    fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
  }
  bool ok = SyncFile(fd);
  struct stat info {};
  if (ok && log && ::fstat(fd, &info) == 0 &&
      std::make_pair(info.st_dev, info.st_ino) != group->named_log) {
    ok = SyncDirectory(ParentDirectory(file));
    if (ok) group->named_log = {info.st_dev, info.st_ino};
  }
  ::close(fd);
  return ok;
}

}  // namespace

bool SyncEnabled() { return g_sync_enabled.load(std::memory_order_relaxed); }
void SetSyncEnabled(bool enabled) { g_sync_enabled.store(enabled, std::memory_order_relaxed); }

void SetSyncFunctionForTest(SyncFunction fn) { g_sync_function.store(fn); }

namespace {

bool Sync(int fd, bool whole_file_system) {
  if (!SyncEnabled()) return true;
  SyncFunction fn = g_sync_function.load();
  for (;;) {
    int result = fn != nullptr       ? fn(fd, whole_file_system)
                 : whole_file_system ? ::syncfs(fd)
                                     : ::fdatasync(fd);
    if (result == 0) return true;
    if (errno != EINTR) return false;
  }
}

}  // namespace

bool SyncFile(int fd) { return Sync(fd, false); }
bool SyncFileSystem(int fd) { return Sync(fd, true); }

bool SyncDirectory(const std::string& path) {
  if (!SyncEnabled()) return true;
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = SyncFile(fd);
  ::close(fd);
  return ok;
}

std::string ParentDirectory(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

STATUS SyncCommitted(const std::string& file) {
  if (!SyncEnabled()) return NOERROR;
  std::shared_ptr<Group> group = GroupOf(file);
  std::unique_lock<std::mutex> lock(group->mutex);
  if (!group->next) group->next = std::make_shared<Round>();
  std::shared_ptr<Round> mine = group->next;
  while (!mine->done) {
    if (group->syncing) {
      group->finished.wait(lock);
      continue;
    }
    // Lead: the round starts now, so commits that join from here on wait for the next one.
    std::shared_ptr<Round> round = std::move(group->next);
    group->syncing = true;
    lock.unlock();
    bool ok = SyncLog(file, group.get());
    lock.lock();
    round->ok = ok;
    round->done = true;
    group->syncing = false;
    group->finished.notify_all();
  }
  return mine->ok ? NOERROR : ERR_DB_NOT_SYNCED;
}

}  // namespace notes_internal
