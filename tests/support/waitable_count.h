// A counter a test can wait on: threads, DPCs and completions count up, the
// test blocks until a value is reached or a generous timeout fails it,
// instead of spinning against the threads it waits for.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

class WaitableCount {
 public:
  void Add(int n = 1) {
    std::lock_guard<std::mutex> lock(mutex_);
    value_ += n;
    changed_.notify_all();
  }
  int Get() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return value_;
  }
  // True once the count is at least `value`; false after `timeout`.
  bool WaitFor(int value, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return value_ >= value; });
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int value_ = 0;
};
