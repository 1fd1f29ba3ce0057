#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "base/adaptive_mutex.h"
#include <string>
#include <thread>
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
// A PDU is sent whole or not at all, and a send never waits. When the
// kernel takes only part of it, the rest is kept in an output backlog that
// goes out before any later PDU; the owning loop flushes it (flushOutput)
// when the socket becomes writable, told by the attention callback that a
// backlog formed. A backlog that would pass kMaxOutputBacklog fails the
// connection: its peer is not reading.
//
// A holder served by a loop thread (setOwnerThread) is written only by that
// thread: another thread's send appends to the backlog and hands the write
// over (the attention callback, once per batch), and the owner writes with
// the output mutex released, so neither thread waits for the other's system
// call. The owner is also the only thread that closes the descriptor while
// it is shared.
//
// The holder owns its descriptor when attached with `ownsDescriptor` and
// closes it under the output mutex, so a send racing the close either goes
// out before it or fails; it never reaches a descriptor number that the
// kernel has handed to another connection since.
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
  // Closes the descriptor when this holder owns it and forgets it either
  // way: every later send fails. Safe against concurrent sends.
  void closeDescriptor();
  // Called (under the output mutex, from whichever thread sent) when a
  // backlog forms or a send fails the connection: the owner must watch the
  // socket for writing or close it. It may only hand the news to the owning
  // loop (LoopWaker::post). Set it before the holder is shared.
  void setAttentionCallback(std::function<void()> callback);
  // The object that owns this holder (its session), shared. Sends from a
  // thread with a SendBatch are gathered only for holders with an owner,
  // which the batch keeps alive until it writes. Set it before the holder
  // is shared.
  void setOwner(std::weak_ptr<void> owner) { owner_ = std::move(owner); }
  // Makes the calling thread the one that writes this holder's socket.
  // Set it, with the attention callback, before the holder is shared.
  void setOwnerThread() { ownerThread_ = std::this_thread::get_id(); }

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
  // Between these two calls (a serving pass of the session's thread),
  // readPDU asks the kernel again only while its last answer filled the
  // room given: a shorter answer means it held nothing more at that
  // moment, and the poller reports what arrives later. This saves the
  // receive call that would end every pass only to say "nothing more".
  void beginReadPass() {
    inReadPass_ = true;
    kernelDrained_ = false;
  }
  void endReadPass() { inReadPass_ = false; }
  class ReadPass {
   public:
    explicit ReadPass(SMPPSocketHolder& holder) : holder_(holder) { holder_.beginReadPass(); }
    ~ReadPass() { holder_.endReadPass(); }
    ReadPass(const ReadPass&) = delete;
    ReadPass& operator=(const ReadPass&) = delete;

   private:
    SMPPSocketHolder& holder_;
  };
  const SMPP::PDUHeader& header() const { return header_; }
  const uint8_t* body() const { return body_.get(); }
  size_t bodyLength() const { return bodyLength_; }
  // True while the buffer holds the start of a PDU that is not complete.
  bool partial() const { return partial_; }
  // True when the buffer holds a whole PDU (or a header that fails the
  // stream): readPDU has work without the kernel's help.
  bool hasBufferedPDU() const;
  // Bytes received and not yet taken as PDUs.
  size_t bufferedBytes() const { return readEnd_ - readStart_; }
  const uint8_t* bufferedData() const { return receive_.get() + readStart_; }
  // Bytes waiting in the kernel (diagnostics).
  long kernelBytesAvailable();

  // Sends header and body as one PDU. False when the holder has failed,
  // has no socket object or no descriptor (closed), when the body is larger
  // than a PDU may be, or when the socket reports an error (connection
  // errors fail the holder). What the kernel cannot take at once stays in
  // the backlog and the result is true.
  bool sendPDU(uint32_t sequenceNumber, uint32_t commandId, uint32_t commandStatus,
               const uint8_t* body, size_t bodyLength);
  // Writes as much of the backlog as the kernel takes; false when the
  // holder has failed.
  bool flushOutput();
  // Output the owning loop must wait for the socket to take: bytes gathered
  // by a send batch do not count, the batch writes them before its thread
  // sleeps (and asks for attention if the kernel leaves some), and bytes
  // handed over to the owner thread do not either, the owner writes them
  // when it takes the hand-over.
  size_t pendingOutputBytes() const;

 private:
  friend class SendBatch;
  enum class WriteResult { kComplete, kIncomplete, kError };

  // Called by the batch this holder is registered with.
  void flushBatched();

  void receive();
  bool extractPDU();
  // Writes the backlog from its front; caller holds outputMutex_.
  WriteResult writeBacklogLocked();
  // Writes `bytes` from `at` as far as the kernel takes them, moving `at`;
  // errno tells the error of kError.
  static WriteResult writeFrom(SMPPSocket& socket, const std::vector<uint8_t>& bytes, size_t& at);
  // True when an owner thread is set and the caller is another thread, or
  // that thread.
  bool foreignCaller() const;
  bool ownerCaller() const;
  // Asks the owner thread to write what others appended; caller holds
  // outputMutex_.
  void handOverLocked();
  // The owner thread's write: the lock is released around each system
  // call. outputMutex_ is not held on entry.
  WriteResult writeAsOwner();
  // Caller holds outputMutex_.
  void failSend(int error, const char* why);
  // Appends one PDU unless the backlog would pass kMaxOutputBacklog, which
  // fails the connection instead; caller holds outputMutex_.
  bool appendBoundedLocked(uint32_t sequenceNumber, uint32_t commandId, uint32_t commandStatus,
                           const uint8_t* body, size_t bodyLength);
  // Appends one PDU to the backlog; caller holds outputMutex_.
  void appendLocked(uint32_t sequenceNumber, uint32_t commandId, uint32_t commandStatus,
                    const uint8_t* body, size_t bodyLength);

  std::unique_ptr<uint8_t[]> receive_;
  size_t readStart_ = 0;
  size_t readEnd_ = 0;
  std::unique_ptr<uint8_t[]> body_;
  size_t bodyLength_ = 0;
  SMPP::PDUHeader header_;
  bool partial_ = false;
  bool inReadPass_ = false;    // session's thread
  bool kernelDrained_ = false;  // session's thread: within the pass

  std::string remoteAddress_;
  int remotePort_ = 0;
  bool ownsDescriptor_ = false;
  std::atomic<bool> failed_{false};
  std::atomic<bool> peerClosed_{false};

  mutable AdaptiveMutex outputMutex_;
  std::unique_ptr<SMPPSocket> socket_;  // guarded by outputMutex_ for writes and replacement
  std::vector<uint8_t> backlog_;        // guarded by outputMutex_
  size_t backlogStart_ = 0;             // guarded by outputMutex_
  std::function<void()> attention_;     // guarded by outputMutex_
  std::weak_ptr<void> owner_;           // set before sharing, then read only
  bool batched_ = false;                // guarded by outputMutex_: registered with a batch
  bool handedOver_ = false;             // guarded by outputMutex_: the owner was asked to write
  std::thread::id ownerThread_;         // set before sharing, then read only
  std::vector<uint8_t> writing_;        // the owner thread's: bytes in its current write
};
