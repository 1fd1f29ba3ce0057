#pragma once

#include <memory>
#include <utility>
#include <vector>

class SMPPSocketHolder;

// Gathers the PDUs one loop thread sends during one pass, so that every
// connection gets one write per pass instead of one system call per PDU:
// responses, submits to SMSCs and receipts leave together.
//
// A loop creates one on its own thread; while it exists, sendPDU on any
// holder from that thread appends to the holder's backlog and registers the
// holder here once. flush() writes each registered holder's backlog and must
// run before the thread sleeps; the destructor flushes too. The batch keeps
// each holder's owner (its session) alive until then, so a session that
// another thread ends meanwhile is written or failed, never freed under it.
//
// Only the creating thread may use it; batches do not nest.
class SendBatch {
 public:
  SendBatch();
  ~SendBatch();
  SendBatch(const SendBatch&) = delete;
  SendBatch& operator=(const SendBatch&) = delete;

  // The calling thread's batch, or null when its sends go out at once.
  static SendBatch* current();

  void flush();

 private:
  friend class SMPPSocketHolder;
  void add(std::shared_ptr<void> owner, SMPPSocketHolder* holder) {
    held_.emplace_back(std::move(owner), holder);
  }

  std::vector<std::pair<std::shared_ptr<void>, SMPPSocketHolder*>> held_;
  std::vector<std::pair<std::shared_ptr<void>, SMPPSocketHolder*>> flushing_;
};
