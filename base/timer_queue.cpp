#include "base/timer_queue.h"

void TimerQueue::schedule(uint64_t key, uint64_t due) {
  auto [it, inserted] = byKey_.try_emplace(key, due);
  if (!inserted) {
    if (it->second == due) return;
    byDue_.erase({it->second, key});
    it->second = due;
  }
  byDue_.emplace(due, key);
}

void TimerQueue::cancel(uint64_t key) {
  auto it = byKey_.find(key);
  if (it == byKey_.end()) return;
  byDue_.erase({it->second, key});
  byKey_.erase(it);
}

void TimerQueue::takeDue(uint64_t now, std::vector<uint64_t>& out) {
  while (!byDue_.empty() && byDue_.begin()->first <= now) {
    const uint64_t key = byDue_.begin()->second;
    byDue_.erase(byDue_.begin());
    byKey_.erase(key);
    out.push_back(key);
  }
}
