#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "base/adaptive_mutex.h"

// Receipts and mobile-originated messages on their way to customers: the
// encoded deliver_sm bodies (without the 16-octet header) waiting per system
// id, first in first out, until a receiving session of that customer takes
// one. Producers are the upstream thread (what SMSCs send) and the listener
// (receipts generated here); the consumer is the listener. Also holds the
// early-receipt store: receipts that arrived before the submit_sm_resp that
// makes their message id known.
//
// One process-wide instance (instance()); tests construct their own. Every
// operation is safe from any thread: queueMutex_ guards the queues and the
// early store; the only lock taken under it is the metrics registry's (the
// queue-size gauge), and the push listener is called after it is released.
class DeliverSMQueue {
 public:
  using Body = std::vector<uint8_t>;
  // Told after every push (any thread, no lock held), so the listener can
  // wake its loop instead of polling.
  using PushListener = std::function<void()>;

  // An early receipt is kept this long for its submit_sm_resp.
  static constexpr uint64_t kUnknownKeepMicros = 90000000;

  static DeliverSMQueue& instance();

  DeliverSMQueue() = default;
  DeliverSMQueue(const DeliverSMQueue&) = delete;
  DeliverSMQueue& operator=(const DeliverSMQueue&) = delete;

  void setPushListener(PushListener listener);

  // Appends `body` to the queue of `systemId`.
  void pushDeliverSM(const std::string& systemId, Body body);
  // Puts `body` back at the front of the queue of `systemId`: a deliver_sm
  // whose write failed, or whose session closed before it was acknowledged,
  // is offered again before anything newer.
  void pushFrontDeliverSM(const std::string& systemId, Body body);
  // Moves the oldest body of `systemId` into `body`; false when none waits.
  bool popDeliverSM(const std::string& systemId, Body& body);
  // Bodies waiting for `systemId`, and over all system ids.
  size_t queuedCount(const std::string& systemId) const;
  size_t queuedCount() const;

  // Keeps a receipt whose message id is not known yet (replacing one with
  // the same key) and drops those older than kUnknownKeepMicros. Returns the
  // store's size after that.
  size_t addUnknown(uint64_t smscid, const std::string& messageId, const Body& body, uint64_t now);
  // Takes the receipt kept for {smscid, messageId} out of the store; false
  // when there is none. With `body` the stored receipt is moved into it.
  bool checkUnknown(uint64_t smscid, const std::string& messageId, Body* body = nullptr);
  size_t unknownCount() const;

  // Every queued body, per system id in queue order (for saving at shutdown).
  std::vector<std::pair<std::string, Body>> snapshot() const;

 private:
  struct EarlyReceipt {
    Body body;
    uint64_t arrivedAt = 0;
  };

  void noteQueued(int64_t delta);  // queueMutex_ held

  mutable AdaptiveMutex queueMutex_;
  std::map<std::string, std::deque<Body>> queues_;                       // guarded by queueMutex_
  std::map<std::pair<uint64_t, std::string>, EarlyReceipt> early_;       // guarded by queueMutex_
  // early_.size(), written under queueMutex_: every answered submit asks
  // for an early receipt, and almost always none is kept.
  std::atomic<size_t> earlyCount_{0};
  size_t total_ = 0;                                                     // guarded by queueMutex_
  PushListener listener_;                                                // guarded by queueMutex_
};
