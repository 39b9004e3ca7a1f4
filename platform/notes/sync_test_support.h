// sync_test_support.h - a stand-in for the disk's sync that tests can count, slow and fail.
//
// FakeDisk installs itself as the storage's sync function for its lifetime. Every sync is
// recorded with the path it was made on (from /proc/self/fd), takes delay_ms, and fails with
// EIO while fail is set. Tests use it to see which syncs a write makes and in what order, and
// whether concurrent committers share them.
#pragma once

#include <errno.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/notes/group_commit.h"

class FakeDisk {
 public:
  FakeDisk() {
    current_ = this;
    notes_internal::SetSyncFunctionForTest(&FakeDisk::Sync);
  }
  ~FakeDisk() {
    notes_internal::SetSyncFunctionForTest(nullptr);
    current_ = nullptr;
  }
  FakeDisk(const FakeDisk&) = delete;
  FakeDisk& operator=(const FakeDisk&) = delete;

  // The paths synced so far, in order ("syncfs" for a sync of the file system).
  std::vector<std::string> Synced() {
    std::lock_guard<std::mutex> lock(mutex_);
    return synced_;
  }
  // How many syncs were made of paths ending in suffix.
  int Count(const std::string& suffix) {
    int count = 0;
    for (const std::string& path : Synced()) {
      if (path.size() >= suffix.size() &&
          path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0) {
        ++count;
      }
    }
    return count;
  }
  // Records a mark (such as "commit") among the syncs, to check their order against it.
  void Mark(const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex_);
    synced_.push_back("<" + what + ">");
  }
  // Syncs begun and ended so far: a sync that began after an event and has ended covers it.
  int Begun() const { return begun_.load(); }
  int Ended() const { return ended_.load(); }

  std::atomic<int> delay_ms{0};
  std::atomic<bool> fail{false};

 private:
  static int Sync(int fd, bool whole_file_system) {
    FakeDisk* disk = current_;
    disk->begun_.fetch_add(1);
    std::string path = "syncfs";
    if (!whole_file_system) {
      char target[4096];
      ssize_t length =
          ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1);
      path = length > 0 ? std::string(target, static_cast<size_t>(length)) : "?";
    }
    {
      std::lock_guard<std::mutex> lock(disk->mutex_);
      disk->synced_.push_back(path);
    }
    if (disk->delay_ms.load() > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(disk->delay_ms.load()));
    }
    disk->ended_.fetch_add(1);
    if (disk->fail.load()) {
      errno = EIO;
      return -1;
    }
    return 0;
  }

  static inline FakeDisk* current_ = nullptr;
  std::mutex mutex_;
  std::vector<std::string> synced_;
  std::atomic<int> begun_{0};
  std::atomic<int> ended_{0};
};
