#include "lookup/lookup_cache.h"

LookupCache::LookupCache(uint64_t periodMicros, size_t maxEntries)
    : periodMicros_(periodMicros), maxEntries_(maxEntries) {
  entries_.max_load_factor(1.0f);
}

bool LookupCache::find(uint64_t number, uint64_t now, nlohmann::json& answer) {
  std::lock_guard<std::mutex> lock(cacheMutex_);
  auto it = entries_.find(number);
  if (it == entries_.end()) return false;
  if (!freshAt(it->second, now)) {
    eraseLocked(it);
    return false;
  }
  answer = it->second.answer;
  return true;
}

void LookupCache::store(uint64_t number, nlohmann::json answer, uint64_t now) {
  if (periodMicros_ == 0 || maxEntries_ == 0) return;
  std::lock_guard<std::mutex> lock(cacheMutex_);
  auto existing = entries_.find(number);
  if (existing != entries_.end()) eraseLocked(existing);
  // Entries are stored in time order, so the expired ones are at the front.
  while (!order_.empty()) {
    auto oldest = entries_.find(order_.front());
    if (freshAt(oldest->second, now) && entries_.size() < maxEntries_) break;
    eraseLocked(oldest);
  }
  order_.push_back(number);
  entries_.emplace(number, Entry{std::move(answer), now, std::prev(order_.end())});
}

size_t LookupCache::size() {
  std::lock_guard<std::mutex> lock(cacheMutex_);
  return entries_.size();
}

void LookupCache::eraseLocked(std::unordered_map<uint64_t, Entry>::iterator it) {
  order_.erase(it->second.order);
  entries_.erase(it);
}
