#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

namespace SMPP {

// Values kept per outstanding sequence number of one session, oldest first.
//
// Requests leave in sequence order and are mostly answered in that order, so
// the entries live in one ordered deque instead of a tree: adding is a push
// at the back, taking marks the entry and drops answered ones from the front,
// and no entry costs a heap allocation of its own. Sequence numbers start
// again at 1 after `kMax`, so entries are ordered by the number counted on as
// if they did not (the one nearest the last added): the first entry is the
// oldest request also after a wrap, and answers to requests from before it
// still match.
//
// Not thread-safe: the owner guards it with its own mutex.
template <typename Value>
class SequenceTable {
 public:
  static constexpr uint64_t kMax = 0x7FFFFFFF;

  // Sets the value of `sequence`, adding the entry when it is not there.
  void put(uint32_t sequence, const Value& value) {
    const uint64_t key = unwrapped(sequence);
    if (key > lastKey_) lastKey_ = key;
    if (entries_.empty() || key > entries_.back().key) {
      entries_.push_back(Entry{key, value, true});
      ++live_;
      return;
    }
    auto it = find(key);
    if (it != entries_.end() && it->key == key) {
      if (!it->live) ++live_;
      it->value = value;
      it->live = true;
      return;
    }
    entries_.insert(it, Entry{key, value, true});
    ++live_;
  }

  // Removes `sequence`, giving its value; false when it was not there.
  bool take(uint32_t sequence, Value* out = nullptr) {
    const uint64_t key = unwrapped(sequence);
    // Answers mostly come in order: the oldest entry is the usual one.
    auto it = !entries_.empty() && entries_.front().key == key ? entries_.begin() : find(key);
    if (it == entries_.end() || it->key != key || !it->live) return false;
    if (out != nullptr) *out = it->value;
    it->live = false;
    --live_;
    while (!entries_.empty() && !entries_.front().live) entries_.pop_front();
    // A request that is never answered keeps the ones after it in place;
    // dropping the answered ones now and then bounds the deque by the count
    // of live entries.
    if (entries_.size() > 2 * live_ + kSlack) {
      entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                    [](const Entry& e) { return !e.live; }),
                     entries_.end());
    }
    return true;
  }

  size_t size() const { return live_; }
  bool empty() const { return live_ == 0; }

  // The value of the oldest entry; only when not empty.
  const Value& oldest() const { return entries_.front().value; }

  // Calls `f(sequence, value)` for the live entries, oldest first, while it
  // returns true.
  template <typename F>
  void forEach(F f) const {
    for (const Entry& e : entries_) {
      if (e.live && !f(static_cast<uint32_t>((e.key - 1) % kMax + 1), e.value)) return;
    }
  }

  std::vector<std::pair<uint32_t, Value>> takeAll() {
    std::vector<std::pair<uint32_t, Value>> out;
    out.reserve(live_);
    forEach([&out](uint32_t sequence, const Value& v) {
      out.emplace_back(sequence, v);
      return true;
    });
    clear();
    return out;
  }

  void clear() {
    entries_.clear();
    live_ = 0;
  }

 private:
  static constexpr size_t kSlack = 64;
  struct Entry {
    uint64_t key;
    Value value;
    bool live;
  };
  using Iterator = typename std::deque<Entry>::iterator;

  Iterator find(uint64_t key) {
    return std::lower_bound(entries_.begin(), entries_.end(), key,
                            [](const Entry& e, uint64_t k) { return e.key < k; });
  }

  uint64_t unwrapped(uint32_t sequence) const {
    const uint64_t near = lastKey_;
    uint64_t best = near / kMax * kMax + sequence;
    auto distance = [near](uint64_t key) { return key > near ? key - near : near - key; };
    if (best >= kMax && distance(best - kMax) < distance(best)) best -= kMax;
    if (distance(best + kMax) < distance(best)) best += kMax;
    return best;
  }

  std::deque<Entry> entries_;
  size_t live_ = 0;
  uint64_t lastKey_ = 0;
};

}  // namespace SMPP
