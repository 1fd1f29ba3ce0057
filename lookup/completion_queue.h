#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <vector>

// How a lookup or ELI worker hands its result back: called on a worker
// thread with the request's transaction id and the answer (null: no
// answer). It must only hand the result over, never apply it.
using LookupCompletion = std::function<void(uint64_t transactionId, const nlohmann::json& result)>;

// The next transaction id of a parked submit; one counter for both
// services. Safe from any thread.
uint64_t nextLookupTransactionId();

// The results waiting for one customer session. Workers push (any thread,
// a short lock and no I/O); the session drains on the listener thread at
// its next timed check, which the wake function asks for. The listener
// never waits on a worker: draining only swaps a vector.
//
// Held by the session through shared ownership; completions keep only a
// weak reference, so a result for a session that has closed is dropped.
class CompletionQueue {
 public:
  struct Result {
    uint64_t transactionId = 0;
    nlohmann::json result;
  };

  // `wake` runs on the pushing thread after the lock is released, e.g.
  // the listener's requestTimedCheck(sessionId).
  explicit CompletionQueue(std::function<void()> wake);

  void push(uint64_t transactionId, nlohmann::json result);
  // Everything pushed so far, oldest first. Listener thread.
  std::vector<Result> drain();

  // A completion for the services that pushes into `queue` while it lives.
  static LookupCompletion deliverTo(std::weak_ptr<CompletionQueue> queue);

 private:
  const std::function<void()> wake_;
  std::mutex resultsMutex_;
  std::vector<Result> results_;  // guarded by resultsMutex_
};
