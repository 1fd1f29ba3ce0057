#include "lookup/completion_queue.h"

#include <atomic>

uint64_t nextLookupTransactionId() {
  static std::atomic<uint64_t> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

CompletionQueue::CompletionQueue(std::function<void()> wake) : wake_(std::move(wake)) {}

void CompletionQueue::push(uint64_t transactionId, nlohmann::json result) {
  {
    std::lock_guard<std::mutex> lock(resultsMutex_);
    results_.push_back(Result{transactionId, std::move(result)});
  }
  if (wake_) wake_();
}

std::vector<CompletionQueue::Result> CompletionQueue::drain() {
  std::vector<Result> out;
  std::lock_guard<std::mutex> lock(resultsMutex_);
  out.swap(results_);
  return out;
}

LookupCompletion CompletionQueue::deliverTo(std::weak_ptr<CompletionQueue> queue) {
  return [queue = std::move(queue)](uint64_t transactionId, const nlohmann::json& result) {
    if (auto q = queue.lock()) q->push(transactionId, result);
  };
}
