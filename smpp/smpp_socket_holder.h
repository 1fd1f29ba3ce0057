#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "smpp/pdu.h"
#include "smpp/smpp_socket.h"

// One session's connection: the socket object, the receive buffer and its
// framing into PDUs, and the sending of whole PDUs.
//
// Receiving (readPDU and the received header and body) belongs to the thread
// that serves the session. Sending is safe from any thread: the output mutex
// keeps every PDU whole and in order on the stream, also when another thread
// (the upstream thread answering a customer) sends at the same time.
//
// A PDU is sent whole or not at all. When the kernel takes only part of it,
// the rest is kept in an output backlog that goes out before any later PDU;
// the backlog is flushed by later sends and by flushOutput (run from every
// timed check). A backlog that would pass kMaxOutputBacklog fails the
// connection: its peer is not reading.
class SMPPSocketHolder {
 public:
  static constexpr size_t kReceiveBufferSize = 1048576;
  static constexpr size_t kBodyBufferSize = SMPP::MAX_PDU_LENGTH;
  static constexpr size_t kMaxOutputBacklog = 1048576;

  SMPPSocketHolder();
  ~SMPPSocketHolder();
  SMPPSocketHolder(const SMPPSocketHolder&) = delete;
  SMPPSocketHolder& operator=(const SMPPSocketHolder&) = delete;

  // Replaces the socket object (before the session is served). With
  // `ownsDescriptor` the holder closes the descriptor in closeDescriptor().
  void attach(std::unique_ptr<SMPPSocket> socket, bool ownsDescriptor);
  // Drops the socket object; later sends fail and readPDU fails the holder.
  void detach();
  // Closes the descriptor when this holder owns it, and forgets it either way
  // when owned. Safe against concurrent sends.
  void closeDescriptor();

  int descriptor() const;
  bool ownsDescriptor() const { return ownsDescriptor_; }
  bool failed() const { return failed_.load(std::memory_order_acquire); }
  bool peerClosed() const { return peerClosed_.load(std::memory_order_acquire); }
  void markFailed() { failed_.store(true, std::memory_order_release); }

  void setRemote(const std::string& address, int port);
  const std::string& remoteAddress() const { return remoteAddress_; }
  int remotePort() const { return remotePort_; }

  // One receiving step: takes a complete PDU from the buffer when there is
  // one, otherwise reads what the kernel holds and tries again. True when a
  // whole PDU is now in the body buffer with header() set. A command_length
  // above 66,560 or below 16 fails the holder (the stream cannot be
  // resynchronised); end of stream sets failed and peerClosed.
  bool readPDU();
  const SMPP::PDUHeader& header() const { return header_; }
  const uint8_t* body() const { return body_.get(); }
  size_t bodyLength() const { return bodyLength_; }
  // True while the buffer holds the start of a PDU that is not complete.
  bool partial() const { return partial_; }
  // Bytes received and not yet taken as PDUs.
  size_t bufferedBytes() const { return readEnd_ - readStart_; }
  const uint8_t* bufferedData() const { return receive_.get() + readStart_; }
  // Bytes waiting in the kernel (diagnostics).
  long kernelBytesAvailable();

  // Sends header and body as one PDU. False when the holder has failed or
  // has no socket object, when the body is larger than a PDU may be, or when
  // the socket reports an error (connection errors fail the holder). With
  // no descriptor nothing is written and the result is true. When the
  // kernel cannot take the PDU at once, sending is retried after 1, 2, ...
  // 10 ms; what is still unsent then stays in the backlog and the result is
  // true.
  bool sendPDU(uint32_t sequenceNumber, uint32_t commandId, uint32_t commandStatus,
               const uint8_t* body, size_t bodyLength);
  // Writes as much of the backlog as the kernel takes; false when the
  // holder has failed.
  bool flushOutput();
  size_t pendingOutputBytes() const;

  // Replaces the pause between send retries (tests count instead of
  // sleeping). Null restores the real sleep.
  void setRetrySleeper(void (*sleeper)(unsigned milliseconds));

 private:
  enum class WriteResult { kComplete, kIncomplete, kError };

  void receive();
  bool extractPDU();
  // Writes the backlog from its front; caller holds outputMutex_.
  WriteResult writeBacklogLocked();
  void failSend(int error, const char* why);

  std::unique_ptr<uint8_t[]> receive_;
  size_t readStart_ = 0;
  size_t readEnd_ = 0;
  std::unique_ptr<uint8_t[]> body_;
  size_t bodyLength_ = 0;
  SMPP::PDUHeader header_;
  bool partial_ = false;

  std::string remoteAddress_;
  int remotePort_ = 0;
  bool ownsDescriptor_ = false;
  std::atomic<bool> failed_{false};
  std::atomic<bool> peerClosed_{false};

  mutable std::mutex outputMutex_;
  std::unique_ptr<SMPPSocket> socket_;  // guarded by outputMutex_ for writes and replacement
  std::vector<uint8_t> backlog_;        // guarded by outputMutex_
  size_t backlogStart_ = 0;             // guarded by outputMutex_
  void (*sleeper_)(unsigned) = nullptr;
};
