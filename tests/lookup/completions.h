#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "lookup/completion_queue.h"

// A customer session's completion queue as the services see it, with a
// wake-up the test thread can wait for.
class Completions {
 public:
  LookupCompletion callback() { return CompletionQueue::deliverTo(queue_); }

  // The results so far once there are `count`, or fewer after 10 s.
  std::vector<CompletionQueue::Result> waitFor(size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::unique_lock<std::mutex> lock(wakeMutex_);
    while (true) {
      for (auto& r : queue_->drain()) results_.push_back(std::move(r));
      if (results_.size() >= count) return results_;
      if (wakeup_.wait_until(lock, deadline) == std::cv_status::timeout) {
        for (auto& r : queue_->drain()) results_.push_back(std::move(r));
        return results_;
      }
    }
  }

 private:
  std::mutex wakeMutex_;
  std::condition_variable wakeup_;
  std::vector<CompletionQueue::Result> results_;  // test thread only
  std::shared_ptr<CompletionQueue> queue_ = std::make_shared<CompletionQueue>([this] {
    std::lock_guard<std::mutex> lock(wakeMutex_);
    wakeup_.notify_all();
  });
};
