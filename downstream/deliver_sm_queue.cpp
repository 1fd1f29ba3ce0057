#include "downstream/deliver_sm_queue.h"

#include "admin/metrics.h"

namespace {
constexpr const char* kQueueSizeGauge = "sysDeliverSMQueue_fifo_queue_size";
}  // namespace

DeliverSMQueue& DeliverSMQueue::instance() {
  static DeliverSMQueue queue;
  return queue;
}

void DeliverSMQueue::setPushListener(PushListener listener) {
  std::lock_guard lock(queueMutex_);
  listener_ = std::move(listener);
}

void DeliverSMQueue::noteQueued(int64_t delta) {
  total_ = static_cast<size_t>(static_cast<int64_t>(total_) + delta);
  // The gauge holds the total, so it cannot drift from the queues.
  // Set on every push and pop: the series is found once.
  static const MetricsRegistry::GaugeHandle gauge =
      MetricsRegistry::instance().gaugeHandle(kQueueSizeGauge);
  gauge.set(static_cast<int64_t>(total_));
}

void DeliverSMQueue::pushDeliverSM(const std::string& systemId, Body body) {
  PushListener listener;
  {
    std::lock_guard lock(queueMutex_);
    queues_[systemId].push_back(std::move(body));
    noteQueued(1);
    listener = listener_;
  }
  if (listener) listener();
}

void DeliverSMQueue::pushFrontDeliverSM(const std::string& systemId, Body body) {
  PushListener listener;
  {
    std::lock_guard lock(queueMutex_);
    queues_[systemId].push_front(std::move(body));
    noteQueued(1);
    listener = listener_;
  }
  if (listener) listener();
}

bool DeliverSMQueue::popDeliverSM(const std::string& systemId, Body& body) {
  std::lock_guard lock(queueMutex_);
  auto it = queues_.find(systemId);
  if (it == queues_.end() || it->second.empty()) return false;
  body = std::move(it->second.front());
  it->second.pop_front();
  noteQueued(-1);
  return true;
}

size_t DeliverSMQueue::queuedCount(const std::string& systemId) const {
  std::lock_guard lock(queueMutex_);
  auto it = queues_.find(systemId);
  return it == queues_.end() ? 0 : it->second.size();
}

size_t DeliverSMQueue::queuedCount() const {
  std::lock_guard lock(queueMutex_);
  return total_;
}

size_t DeliverSMQueue::addUnknown(uint64_t smscid, const std::string& messageId, const Body& body,
                                  uint64_t now) {
  std::lock_guard lock(queueMutex_);
  early_[{smscid, messageId}] = EarlyReceipt{body, now};
  for (auto it = early_.begin(); it != early_.end();) {
    if (now > it->second.arrivedAt && now - it->second.arrivedAt > kUnknownKeepMicros)
      it = early_.erase(it);
    else
      ++it;
  }
  earlyCount_.store(early_.size(), std::memory_order_release);
  return early_.size();
}

bool DeliverSMQueue::checkUnknown(uint64_t smscid, const std::string& messageId, Body* body) {
  if (earlyCount_.load(std::memory_order_acquire) == 0) return false;
  std::lock_guard lock(queueMutex_);
  auto it = early_.find({smscid, messageId});
  if (it == early_.end()) return false;
  if (body != nullptr) *body = std::move(it->second.body);
  early_.erase(it);
  earlyCount_.store(early_.size(), std::memory_order_release);
  return true;
}

size_t DeliverSMQueue::unknownCount() const {
  std::lock_guard lock(queueMutex_);
  return early_.size();
}

std::vector<std::pair<std::string, DeliverSMQueue::Body>> DeliverSMQueue::snapshot() const {
  std::lock_guard lock(queueMutex_);
  std::vector<std::pair<std::string, Body>> out;
  out.reserve(total_);
  for (const auto& [systemId, queue] : queues_)
    for (const Body& body : queue) out.emplace_back(systemId, body);
  return out;
}
