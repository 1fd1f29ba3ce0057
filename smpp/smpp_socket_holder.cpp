#include "smpp/smpp_socket_holder.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/log.h"
#include "smpp/send_batch.h"

namespace {

constexpr const char* kClassName = "SMPPSession";

bool isWouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == 35; }

// Errors after which the connection is unusable.
bool isConnectionError(int error) {
  switch (error) {
    case EBADF:
    case ENOMEM:
    case EPIPE:
    case 88: case 90: case 95:
    case 100: case 101: case 102: case 103: case 104: case 105:
    case 107: case 108: case 109: case 110: case 111:
      return true;
    default:
      return false;
  }
}

// Receive buffers of closed sessions, kept for the next ones. A 1 MiB
// allocation is a fresh mapping each time, and mapping and unmapping cost
// more than the rest of a short connection; scanners and reconnecting
// clients make many of those. Plain new[] leaves the pages of an idle
// session's buffer untouched.
class ReceiveBufferPool {
 public:
  // Never destroyed, so sessions that outlive static destruction can
  // still return their buffer.
  static ReceiveBufferPool& instance() {
    static ReceiveBufferPool* pool = new ReceiveBufferPool;
    return *pool;
  }
  std::unique_ptr<uint8_t[]> take() {
    {
      std::lock_guard<std::mutex> lock(poolMutex_);
      if (!free_.empty()) {
        std::unique_ptr<uint8_t[]> b = std::move(free_.back());
        free_.pop_back();
        return b;
      }
    }
    return std::unique_ptr<uint8_t[]>(new uint8_t[SMPPSocketHolder::kReceiveBufferSize]);
  }
  void give(std::unique_ptr<uint8_t[]> buffer) {
    if (!buffer) return;
    std::lock_guard<std::mutex> lock(poolMutex_);
    if (free_.size() < kKept) free_.push_back(std::move(buffer));
  }

 private:
  static constexpr size_t kKept = 32;
  std::mutex poolMutex_;
  std::vector<std::unique_ptr<uint8_t[]>> free_;  // guarded by poolMutex_
};

}  // namespace

SMPPSocketHolder::SMPPSocketHolder()
    : receive_(ReceiveBufferPool::instance().take()),
      body_(new uint8_t[kBodyBufferSize]),
      socket_(std::make_unique<SMPPSocketUnencrypted>(-1)) {}

SMPPSocketHolder::~SMPPSocketHolder() {
  closeDescriptor();
  ReceiveBufferPool::instance().give(std::move(receive_));
}

void SMPPSocketHolder::attach(std::unique_ptr<SMPPSocket> socket, bool ownsDescriptor) {
  std::lock_guard lock(outputMutex_);
  socket_ = std::move(socket);
  ownsDescriptor_ = ownsDescriptor;
}

void SMPPSocketHolder::detach() {
  std::lock_guard lock(outputMutex_);
  socket_.reset();
}

void SMPPSocketHolder::closeDescriptor() {
  std::lock_guard lock(outputMutex_);
  if (!socket_) return;
  const int fd = socket_->descriptor();
  // Output gathered for a batch (a refusal, an unbind answer) goes out
  // before the close, as far as the kernel takes it now.
  if (fd >= 0 && backlogStart_ < backlog_.size()) writeBacklogLocked();
  if (ownsDescriptor_ && fd >= 0) ::close(fd);
  socket_->releaseDescriptor();
  backlog_.clear();
  backlogStart_ = 0;
}

void SMPPSocketHolder::setAttentionCallback(std::function<void()> callback) {
  std::lock_guard lock(outputMutex_);
  attention_ = std::move(callback);
}

bool SMPPSocketHolder::hasBufferedPDU() const {
  const size_t available = readEnd_ - readStart_;
  if (available < SMPP::HEADER_LENGTH) return false;
  const SMPP::PDUHeader h = SMPP::decodeHeader(receive_.get() + readStart_);
  return h.commandLength <= available || h.commandLength > SMPP::MAX_PDU_LENGTH ||
         h.commandLength < SMPP::HEADER_LENGTH;
}

int SMPPSocketHolder::descriptor() const {
  std::lock_guard lock(outputMutex_);
  return socket_ ? socket_->descriptor() : -1;
}

void SMPPSocketHolder::setRemote(const std::string& address, int port) {
  remoteAddress_ = address;
  remotePort_ = port;
}

long SMPPSocketHolder::kernelBytesAvailable() {
  std::lock_guard lock(outputMutex_);
  return socket_ ? socket_->bytesAvailable() : 0;
}

bool SMPPSocketHolder::readPDU() {
  // PDUs already buffered are taken before the kernel is asked for more, so
  // a burst costs one receive call, not one per PDU.
  if (extractPDU()) return true;
  if (failed()) return false;
  // The socket object is replaced only on this thread, so reading the
  // pointer here without the output mutex is safe.
  if (!socket_) {
    markFailed();
    return false;
  }
  if (inReadPass_ && kernelDrained_) return false;
  receive();
  return extractPDU();
}

void SMPPSocketHolder::receive() {
  if (readStart_ > 0) {
    // At most one incomplete PDU is left here, so this move is short.
    std::memmove(receive_.get(), receive_.get() + readStart_, readEnd_ - readStart_);
    readEnd_ -= readStart_;
    readStart_ = 0;
  }
  const size_t space = kReceiveBufferSize - readEnd_;
  if (space == 0) return;
  const ssize_t n = socket_->read(receive_.get() + readEnd_, space);
  kernelDrained_ = n < static_cast<ssize_t>(space);
  if (n > 0) {
    readEnd_ += static_cast<size_t>(n);
  } else if (n == 0) {
    peerClosed_.store(true, std::memory_order_release);
    markFailed();
  } else if (!isWouldBlock(errno) && errno != EINTR) {
    markFailed();
  }
}

bool SMPPSocketHolder::extractPDU() {
  const size_t available = readEnd_ - readStart_;
  if (available < SMPP::HEADER_LENGTH) return false;
  const uint8_t* start = receive_.get() + readStart_;
  const SMPP::PDUHeader h = SMPP::decodeHeader(start);
  if (h.commandLength > SMPP::MAX_PDU_LENGTH || h.commandLength < SMPP::HEADER_LENGTH) {
    markFailed();
    return false;
  }
  header_ = h;
  partial_ = true;
  if (available < h.commandLength) return false;
  bodyLength_ = h.commandLength - SMPP::HEADER_LENGTH;
  if (bodyLength_ > 0) std::memcpy(body_.get(), start + SMPP::HEADER_LENGTH, bodyLength_);
  readStart_ += h.commandLength;
  if (readStart_ == readEnd_) readStart_ = readEnd_ = 0;
  partial_ = false;
  return true;
}

void SMPPSocketHolder::failSend(int error, const char* why) {
  markFailed();
  logMessage(LOG_WARNING, this, kClassName, "sendPDU", "%s - failing session (fd=%d;errno=%d)",
             why, socket_ ? socket_->descriptor() : -1, error);
  if (attention_) attention_();
}

void SMPPSocketHolder::appendLocked(uint32_t sequenceNumber, uint32_t commandId,
                                    uint32_t commandStatus, const uint8_t* body,
                                    size_t bodyLength) {
  const size_t at = backlog_.size();
  backlog_.resize(at + SMPP::HEADER_LENGTH + bodyLength);
  SMPP::encodeHeader(backlog_.data() + at, bodyLength, commandId, commandStatus, sequenceNumber);
  if (bodyLength > 0) std::memcpy(backlog_.data() + at + SMPP::HEADER_LENGTH, body, bodyLength);
}

bool SMPPSocketHolder::appendBoundedLocked(uint32_t sequenceNumber, uint32_t commandId,
                                           uint32_t commandStatus, const uint8_t* body,
                                           size_t bodyLength) {
  if (backlog_.size() - backlogStart_ + SMPP::HEADER_LENGTH + bodyLength > kMaxOutputBacklog) {
    failSend(0, "Output backlog full, peer not reading");
    return false;
  }
  appendLocked(sequenceNumber, commandId, commandStatus, body, bodyLength);
  return true;
}

SMPPSocketHolder::WriteResult SMPPSocketHolder::writeFrom(SMPPSocket& socket,
                                                          const std::vector<uint8_t>& bytes,
                                                          size_t& at) {
  while (at < bytes.size()) {
    const ssize_t n = socket.write(bytes.data() + at, bytes.size() - at);
    if (n > 0) {
      at += static_cast<size_t>(n);
      continue;
    }
    if (n == 0 || isWouldBlock(errno) || errno == EINTR) return WriteResult::kIncomplete;
    return WriteResult::kError;
  }
  return WriteResult::kComplete;
}

SMPPSocketHolder::WriteResult SMPPSocketHolder::writeBacklogLocked() {
  const WriteResult result = writeFrom(*socket_, backlog_, backlogStart_);
  if (result == WriteResult::kComplete) {
    backlog_.clear();
    backlogStart_ = 0;
  }
  return result;
}

bool SMPPSocketHolder::sendPDU(uint32_t sequenceNumber, uint32_t commandId, uint32_t commandStatus,
                               const uint8_t* body, size_t bodyLength) {
  if (failed() || bodyLength > SMPP::MAX_BODY_LENGTH) return false;
  std::lock_guard lock(outputMutex_);
  if (!socket_ || socket_->descriptor() < 0) return false;

  if (foreignCaller()) {
    // Only the owner thread writes this socket: the PDU waits in the
    // backlog, and the owner is asked once, now or when this thread's
    // batch ends.
    if (!appendBoundedLocked(sequenceNumber, commandId, commandStatus, body, bodyLength))
      return false;
    if (!batched_) {
      SendBatch* batch = SendBatch::current();
      std::shared_ptr<void> owner = batch != nullptr ? owner_.lock() : nullptr;
      if (owner) {
        batched_ = true;
        batch->add(std::move(owner), this);
      } else {
        handOverLocked();
      }
    }
    return true;
  }

  SendBatch* batch = batched_ ? nullptr : SendBatch::current();
  if (batched_ || batch != nullptr) {
    std::shared_ptr<void> owner = batched_ ? nullptr : owner_.lock();
    if (batched_ || owner) {
      if (!appendBoundedLocked(sequenceNumber, commandId, commandStatus, body, bodyLength))
        return false;
      if (!batched_) {
        batched_ = true;
        batch->add(std::move(owner), this);
      }
      return true;
    }
  }

  if (backlogStart_ < backlog_.size()) {
    // Earlier output is still queued: this PDU goes behind it, whole. The
    // owner already watches the socket for writing.
    if (writeBacklogLocked() == WriteResult::kError) {
      failSend(errno, "socket send failed with output queued");
      return false;
    }
    if (backlogStart_ < backlog_.size())
      return appendBoundedLocked(sequenceNumber, commandId, commandStatus, body, bodyLength);
  }

  backlog_.clear();
  backlogStart_ = 0;
  appendLocked(sequenceNumber, commandId, commandStatus, body, bodyLength);
  const WriteResult first = writeBacklogLocked();
  if (first == WriteResult::kComplete) return true;
  if (first == WriteResult::kIncomplete) {
    // The kernel is full: the rest waits in the backlog until the owner
    // sees the socket writable. Nobody sleeps here.
    if (attention_) attention_();
    return true;
  }
  const int error = errno;
  const bool nothingSent = backlogStart_ == 0;
  const int fd = socket_->descriptor();
  backlog_.clear();
  backlogStart_ = 0;
  printf("socket send failed (fd=%d;errno=%d)\n", fd, error);
  fprintf(stderr, "socket send failed: %s\n", strerror(error));
  // Part of this PDU on the wire means the stream is broken whatever the
  // error was.
  if (!nothingSent || isConnectionError(error)) failSend(error, "socket send failed");
  return false;
}

bool SMPPSocketHolder::foreignCaller() const {
  return ownerThread_ != std::thread::id() && ownerThread_ != std::this_thread::get_id();
}

bool SMPPSocketHolder::ownerCaller() const {
  return ownerThread_ != std::thread::id() && ownerThread_ == std::this_thread::get_id();
}

void SMPPSocketHolder::handOverLocked() {
  if (handedOver_) return;
  handedOver_ = true;
  if (attention_) attention_();
}

SMPPSocketHolder::WriteResult SMPPSocketHolder::writeAsOwner() {
  std::unique_lock lock(outputMutex_);
  handedOver_ = false;
  while (backlogStart_ < backlog_.size()) {
    if (!socket_ || socket_->descriptor() < 0) return WriteResult::kError;
    // Other threads append to a fresh backlog meanwhile. The socket object
    // stays: only this thread replaces or closes it.
    writing_.swap(backlog_);
    size_t at = backlogStart_;
    backlog_.clear();
    backlogStart_ = 0;
    SMPPSocket* socket = socket_.get();
    lock.unlock();
    const WriteResult result = writeFrom(*socket, writing_, at);
    const int error = errno;
    lock.lock();
    if (result == WriteResult::kError) {
      writing_.clear();
      backlog_.clear();
      failSend(error, "socket send failed");
      return result;
    }
    if (result == WriteResult::kIncomplete) {
      // What the kernel left goes out before what was appended since.
      writing_.erase(writing_.begin(), writing_.begin() + static_cast<std::ptrdiff_t>(at));
      writing_.insert(writing_.end(), backlog_.begin(), backlog_.end());
      backlog_.swap(writing_);
      writing_.clear();
      return result;
    }
    writing_.clear();
  }
  return WriteResult::kComplete;
}

bool SMPPSocketHolder::flushOutput() {
  if (failed()) return false;
  if (ownerCaller()) return writeAsOwner() != WriteResult::kError && !failed();
  std::lock_guard lock(outputMutex_);
  if (backlogStart_ >= backlog_.size()) return true;
  if (!socket_) return false;
  if (writeBacklogLocked() == WriteResult::kError) {
    failSend(errno, "socket send failed with output queued");
    return false;
  }
  return true;
}

size_t SMPPSocketHolder::pendingOutputBytes() const {
  std::lock_guard lock(outputMutex_);
  return batched_ || handedOver_ ? 0 : backlog_.size() - backlogStart_;
}

void SMPPSocketHolder::flushBatched() {
  std::unique_lock lock(outputMutex_);
  batched_ = false;
  if (failed() || !socket_ || socket_->descriptor() < 0 || backlogStart_ >= backlog_.size()) return;
  if (foreignCaller()) {
    handOverLocked();
    return;
  }
  if (ownerCaller()) {
    lock.unlock();
    if (writeAsOwner() != WriteResult::kIncomplete) return;
    // The loop is about to sleep: it must watch the socket for writing.
    lock.lock();
    if (attention_) attention_();
    return;
  }
  switch (writeBacklogLocked()) {
    case WriteResult::kComplete:
      return;
    case WriteResult::kIncomplete:
      if (attention_) attention_();
      return;
    case WriteResult::kError:
      failSend(errno, "socket send failed");
      return;
  }
}

