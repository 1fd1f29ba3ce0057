#include "upstream/target_set_pools.h"

#include <algorithm>

#include "base/log.h"

void TargetSetPools::clear() {
  std::lock_guard<std::mutex> lock(poolMutex_);
  pools_.clear();
}

void TargetSetPools::resetPool(const std::string& targetSetId, bool submitsEnabled) {
  std::lock_guard<std::mutex> lock(poolMutex_);
  Pool& pool = pools_[targetSetId];
  pool.submitsEnabled = submitsEnabled;
  pool.slots.clear();
}

void TargetSetPools::retainOnly(const std::vector<std::string>& liveIds) {
  std::lock_guard<std::mutex> lock(poolMutex_);
  for (auto it = pools_.begin(); it != pools_.end();) {
    if (std::find(liveIds.begin(), liveIds.end(), it->first) == liveIds.end())
      it = pools_.erase(it);
    else
      ++it;
  }
}

void TargetSetPools::add(const std::string& targetSetId, const std::string& smscName,
                         uint64_t smscid, int weight) {
  size_t size = 0;
  {
    std::lock_guard<std::mutex> lock(poolMutex_);
    Pool& pool = pools_[targetSetId];
    for (int i = 0; i < weight; ++i) pool.slots.push_back(smscid);
    size = pool.slots.size();
  }
  logMessage(LOG_INFO, this, "SMPPUpstream", "addSMSCToTargetSetSubmitPool",
             "STSid=%s smscname=%s smscid=0x%llx weight=%d size=%d", targetSetId.c_str(),
             smscName.c_str(), static_cast<unsigned long long>(smscid), weight,
             static_cast<int>(size));
}

int32_t TargetSetPools::size(const std::string& targetSetId) const {
  std::lock_guard<std::mutex> lock(poolMutex_);
  auto it = pools_.find(targetSetId);
  if (it == pools_.end() || !it->second.submitsEnabled) return 0;
  return static_cast<int32_t>(it->second.slots.size());
}

uint64_t TargetSetPools::next(const std::string& targetSetId) {
  std::lock_guard<std::mutex> lock(poolMutex_);
  auto it = pools_.find(targetSetId);
  if (it == pools_.end() || it->second.slots.empty()) return 0;
  std::deque<uint64_t>& slots = it->second.slots;
  const uint64_t smscid = slots.front();
  slots.pop_front();
  slots.push_back(smscid);
  return smscid;
}

std::map<std::string, std::vector<uint64_t>> TargetSetPools::snapshot() const {
  std::lock_guard<std::mutex> lock(poolMutex_);
  std::map<std::string, std::vector<uint64_t>> out;
  for (const auto& [id, pool] : pools_) out[id].assign(pool.slots.begin(), pool.slots.end());
  return out;
}
