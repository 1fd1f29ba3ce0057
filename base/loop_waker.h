#pragma once

#include <cstdint>
#include <mutex>

#include "base/adaptive_mutex.h"
#include <vector>

// How other threads hand work to a loop thread: they post a key (which
// session, which slot) and the loop, asleep in its poller, wakes at once
// because an eventfd in its poll set becomes readable. No thread waits for
// a timer tick to find what another left for it.
//
// post() is safe from any thread (and cheap: one lock, one write only when
// the loop has not been signalled yet); descriptor() and take() belong to
// the loop thread.
class LoopWaker {
 public:
  LoopWaker();
  ~LoopWaker();
  LoopWaker(const LoopWaker&) = delete;
  LoopWaker& operator=(const LoopWaker&) = delete;

  int descriptor() const { return eventFd_; }
  // Leaves `key` for the loop and wakes it.
  void post(uint64_t key);
  // Wakes the loop with nothing to hand over.
  void wake();
  // The same without a lock: async-signal-safe.
  void wakeFromSignal();
  // Clears the signal and moves every posted key into `out` (appending).
  // Call when the poller reports descriptor() readable.
  void take(std::vector<uint64_t>& out);

 private:
  void signalLocked();

  const int eventFd_;
  AdaptiveMutex postedMutex_;
  std::vector<uint64_t> posted_;  // guarded by postedMutex_
  bool signalled_ = false;        // guarded by postedMutex_
};
