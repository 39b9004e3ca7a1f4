// tree_reaper.h - removes the job directories of finished mails on threads of their own.
//
// What it is for: once a clean mail is done its IN and OUT job directories go. Removing a
// file or directory whose blocks the file system discards at once (as this machine's ext4
// does) waits for the disk, several times a mail; on the router thread that wait came
// straight out of the mail's path. The reaper takes those trees and removes them with
// DeleteTree on two threads of its own, and the next job of the same name waits until its
// directories are gone, so a leftover can never be taken for a job's answer.
//
// Ownership: the reaper owns its threads and the queue of paths. Stop (TrackerTerm) removes
// every tree still queued and joins the threads; the process-wide reaper stops itself too
// when the library is unloaded.
//
// Locks: one mutex guards the queue and the set of paths queued or being removed; it is
// never held while a tree is removed. Waiters sleep on a condition variable that every
// finished removal signals.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vtnotes {

class TreeReaper {
 public:
  // Past this many trees queued, Remove removes the tree itself: a disk slower than the mail
  // flow slows the router rather than letting spool directories pile up.
  static constexpr std::size_t kMaxQueued = 256;

  TreeReaper() = default;
  ~TreeReaper() { Stop(); }
  TreeReaper(const TreeReaper&) = delete;
  TreeReaper& operator=(const TreeReaper&) = delete;

  // Queues the directory tree for removal (DeleteTree with remove_self) and returns. A
  // stopped reaper, or a full queue, removes it before returning.
  void Remove(std::string_view directory);
  // True while the tree is queued or being removed.
  [[nodiscard]] bool Pending(std::string_view directory);
  // Returns once the tree is neither queued nor being removed.
  void WaitFor(std::string_view directory);
  // Removes every queued tree, then ends the threads. Remove works synchronously afterwards
  // until Start is called again (a new start of the extension in the same process).
  void Stop();
  void Start();

 private:
  void Run();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> queue_;
  std::multiset<std::string> pending_;
  std::vector<std::thread> threads_;
  bool stopped_ = false;
};

// The reaper of the extension's spool.
[[nodiscard]] TreeReaper& SpoolReaper();

}  // namespace vtnotes
