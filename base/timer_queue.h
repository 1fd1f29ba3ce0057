#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

// Timers ordered by due time, so a loop pass costs in proportion to what is
// due, not to how many timers exist. Each timer has a caller-chosen key (a
// descriptor, a slot id); scheduling a key again moves its one timer.
//
// Not thread-safe: owned by one loop thread.
class TimerQueue {
 public:
  static constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

  // Sets the timer of `key` to `due`, replacing any earlier setting.
  void schedule(uint64_t key, uint64_t due);
  void cancel(uint64_t key);
  // The earliest due time, kNever when no timer is set.
  uint64_t nextDue() const { return byDue_.empty() ? kNever : byDue_.begin()->first; }
  // Removes every timer due at or before `now` and appends its key to `out`,
  // earliest first.
  void takeDue(uint64_t now, std::vector<uint64_t>& out);
  size_t size() const { return byKey_.size(); }
  bool contains(uint64_t key) const { return byKey_.count(key) != 0; }

 private:
  std::set<std::pair<uint64_t, uint64_t>> byDue_;  // (due, key)
  std::unordered_map<uint64_t, uint64_t> byKey_;   // key -> due
};
