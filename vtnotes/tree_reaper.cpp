// tree_reaper.cpp - see tree_reaper.h.
#include "vtnotes/tree_reaper.h"

#include "vtnotes/spool.h"

namespace vtnotes {

namespace {

constexpr int kThreads = 2;

}  // namespace

void TreeReaper::Remove(std::string_view directory) {
  std::string path(directory);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stopped_ && queue_.size() < kMaxQueued) {
      if (threads_.empty()) {
        for (int i = 0; i < kThreads; ++i) threads_.emplace_back([this] { Run(); });
      }
      pending_.insert(path);
      queue_.push_back(std::move(path));
      changed_.notify_all();
      return;
    }
  }
  DeleteTree(path, true);
}

bool TreeReaper::Pending(std::string_view directory) {
  std::lock_guard<std::mutex> lock(mutex_);
  return pending_.count(std::string(directory)) != 0;
}

void TreeReaper::WaitFor(std::string_view directory) {
  const std::string path(directory);
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return pending_.count(path) == 0; });
}

void TreeReaper::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopped_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stopped, and nothing left to remove
    std::string path = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    DeleteTree(path, true);
    lock.lock();
    pending_.erase(pending_.find(path));
    changed_.notify_all();
  }
}

void TreeReaper::Stop() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    threads.swap(threads_);
    changed_.notify_all();
  }
  for (std::thread& thread : threads) thread.join();
}

void TreeReaper::Start() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopped_ = false;
}

TreeReaper& SpoolReaper() {
  static TreeReaper reaper;
  return reaper;
}

}  // namespace vtnotes
