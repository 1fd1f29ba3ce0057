#include "base/loop_waker.h"

#include <sys/eventfd.h>
#include <unistd.h>

LoopWaker::LoopWaker() : eventFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

LoopWaker::~LoopWaker() {
  if (eventFd_ >= 0) ::close(eventFd_);
}

void LoopWaker::signalLocked() {
  if (signalled_) return;
  signalled_ = true;
  const uint64_t one = 1;
  // A full counter (never reached: the loop reads it) would only mean the
  // loop is already signalled.
  [[maybe_unused]] ssize_t n = ::write(eventFd_, &one, sizeof one);
}

void LoopWaker::post(uint64_t key) {
  std::lock_guard lock(postedMutex_);
  posted_.push_back(key);
  signalLocked();
}

void LoopWaker::wake() {
  std::lock_guard lock(postedMutex_);
  signalLocked();
}

void LoopWaker::wakeFromSignal() {
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(eventFd_, &one, sizeof one);
}

void LoopWaker::take(std::vector<uint64_t>& out) {
  std::lock_guard lock(postedMutex_);
  uint64_t count = 0;
  [[maybe_unused]] ssize_t n = ::read(eventFd_, &count, sizeof count);
  signalled_ = false;
  out.insert(out.end(), posted_.begin(), posted_.end());
  posted_.clear();
}
