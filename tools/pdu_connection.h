#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "smpp/pdu.h"

// One non-blocking SMPP socket as both tools see it: bytes read are framed
// into PDUs in place, and PDUs queued during a pass are appended to one
// output buffer that flush() writes with as few send() calls as the kernel
// allows. Batching the writes is what keeps the tools from being the
// bottleneck of what they measure.
//
// Owns the descriptor (closed by the destructor). Not thread-safe: owned by
// one loop thread.
class PduConnection {
 public:
  explicit PduConnection(int fd) : fd_(fd) {}
  ~PduConnection();
  PduConnection(const PduConnection&) = delete;
  PduConnection& operator=(const PduConnection&) = delete;

  int fd() const { return fd_; }

  // Reads what the socket holds, up to `budget` bytes so one flooding peer
  // cannot starve the others. False when the peer closed or the socket
  // failed; PDUs already read can still be taken.
  bool readAvailable(size_t budget = 256 * 1024);

  // The next whole PDU read, its body pointing into the input buffer (valid
  // until the next readAvailable()). False when no whole PDU is buffered or
  // the peer lost framing (then framingLost() is true).
  bool nextPDU(SMPP::PDUHeader& header, const uint8_t*& body);
  bool framingLost() const { return framingLost_; }

  void queue(uint32_t commandId, uint32_t status, uint32_t sequence, const uint8_t* body,
             size_t bodyLength);
  void queue(uint32_t commandId, uint32_t status, uint32_t sequence,
             const std::vector<uint8_t>& body) {
    queue(commandId, status, sequence, body.data(), body.size());
  }
  void queueBytes(const std::vector<uint8_t>& bytes) {
    output_.insert(output_.end(), bytes.begin(), bytes.end());
  }

  // Writes queued bytes until the socket is full; with `maxBytes` above 0 at
  // most that many (split writes). False on a write error.
  bool flush(size_t maxBytes = 0);
  bool hasOutput() const { return written_ < output_.size(); }

  // Closes with SO_LINGER 0, so the peer sees a reset.
  void reset();

 private:
  int fd_;
  static constexpr size_t kReadChunk = 65536;
  std::vector<uint8_t> input_;  // room for reading; bytes up to inputEnd_ are read
  size_t inputEnd_ = 0;
  size_t consumed_ = 0;  // input_ bytes already handed out as PDUs
  std::vector<uint8_t> output_;
  size_t written_ = 0;
  bool framingLost_ = false;
};
