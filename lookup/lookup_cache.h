#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <nlohmann/json.hpp>
#include <unordered_map>

// Answers of the MSISDN lookup service by destination number. A number can
// move to another network, so an answer is kept for a fixed period only,
// and the number of entries is bounded so that a stream of distinct numbers
// cannot take the process's memory: when full, the oldest answer goes first.
// Time is passed in (microseconds), never read here. Safe from any thread.
class LookupCache {
 public:
  // A period or a bound of 0 keeps nothing.
  LookupCache(uint64_t periodMicros, size_t maxEntries);

  // The answer stored for `number` less than the period before `now`.
  bool find(uint64_t number, uint64_t now, nlohmann::json& answer);
  // Stores (or replaces) the answer for `number`, dropping what has expired
  // and, when full, the oldest entry.
  void store(uint64_t number, nlohmann::json answer, uint64_t now);
  size_t size();

 private:
  struct Entry {
    nlohmann::json answer;
    uint64_t storedAt = 0;
    std::list<uint64_t>::iterator order;
  };
  bool freshAt(const Entry& entry, uint64_t now) const {
    return now < entry.storedAt || now - entry.storedAt < periodMicros_;
  }
  void eraseLocked(std::unordered_map<uint64_t, Entry>::iterator it);

  const uint64_t periodMicros_;
  const size_t maxEntries_;
  std::mutex cacheMutex_;
  std::unordered_map<uint64_t, Entry> entries_;  // guarded by cacheMutex_
  std::list<uint64_t> order_;                    // guarded by cacheMutex_; oldest store first
};
