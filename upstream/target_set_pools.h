#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

// The weighted round-robin submit pools, one per shared target set: a
// double-ended queue of bind-slot ids in which a slot of weight w takes w
// consecutive places. Each pick takes the front and puts it at the back, so
// successive submits go w in a row to one slot, then to the next.
//
// Whether a set takes submits at all ("submits_enabled") is recorded with
// its pool when the pools are built from the configuration, so that a
// submit never copies the configuration to ask.
//
// Built by the upstream thread, queried by the customer sessions' thread;
// every operation is safe from any thread (poolMutex_ guards the pools, and
// nothing else is locked under it but the log).
class TargetSetPools {
 public:
  // Forgets every pool.
  void clear();
  // Empties the pool of `targetSetId` (creating it) and records its switch.
  void resetPool(const std::string& targetSetId, bool submitsEnabled);
  // Drops the pools of sets not in `liveIds`.
  void retainOnly(const std::vector<std::string>& liveIds);
  // Appends `smscid` `weight` times (nothing for weight <= 0) and logs the
  // pool's new size.
  void add(const std::string& targetSetId, const std::string& smscName, uint64_t smscid,
           int weight);
  // Entries to try for one submit: 0 for an unknown set, a set with submits
  // disabled, or an empty pool.
  int32_t size(const std::string& targetSetId) const;
  // The next slot of the rotation; 0 when the set has no entries.
  uint64_t next(const std::string& targetSetId);
  // The pools in set-id order (printing, tests).
  std::map<std::string, std::vector<uint64_t>> snapshot() const;

 private:
  struct Pool {
    bool submitsEnabled = false;
    std::deque<uint64_t> slots;
  };

  mutable std::mutex poolMutex_;
  std::map<std::string, Pool> pools_;  // guarded by poolMutex_
};
