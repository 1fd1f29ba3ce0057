#include "smpp/send_batch.h"

#include "smpp/smpp_socket_holder.h"

namespace {
thread_local SendBatch* currentBatch = nullptr;
}

SendBatch::SendBatch() { currentBatch = this; }

SendBatch::~SendBatch() {
  flush();
  currentBatch = nullptr;
}

SendBatch* SendBatch::current() { return currentBatch; }

void SendBatch::flush() {
  // Writing may end a session whose last owner is this batch; that must not
  // register anything with the list being walked.
  flushing_.swap(held_);
  for (auto& [owner, holder] : flushing_) holder->flushBatched();
  flushing_.clear();
}
