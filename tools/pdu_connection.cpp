#include "tools/pdu_connection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

PduConnection::~PduConnection() {
  if (fd_ >= 0) ::close(fd_);
}

bool PduConnection::readAvailable(size_t budget) {
  // Compact only here: bodies handed out by nextPDU() stay valid until now.
  if (consumed_ > 0) {
    std::memmove(input_.data(), input_.data() + consumed_, inputEnd_ - consumed_);
    inputEnd_ -= consumed_;
    consumed_ = 0;
  }
  size_t taken = 0;
  while (taken < budget) {
    // The buffer only grows: its room is not cleared again for every read.
    if (input_.size() < inputEnd_ + kReadChunk) input_.resize(inputEnd_ + kReadChunk);
    const ssize_t n = ::recv(fd_, input_.data() + inputEnd_, kReadChunk, 0);
    if (n > 0) {
      inputEnd_ += static_cast<size_t>(n);
      taken += static_cast<size_t>(n);
      // A short read drained the socket; asking again would only say so,
      // and the poller reports what arrives later (or the close).
      if (static_cast<size_t>(n) < kReadChunk) return true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
  return true;
}

bool PduConnection::nextPDU(SMPP::PDUHeader& header, const uint8_t*& body) {
  if (framingLost_ || inputEnd_ - consumed_ < SMPP::HEADER_LENGTH) return false;
  header = SMPP::decodeHeader(input_.data() + consumed_);
  if (header.commandLength < SMPP::HEADER_LENGTH || header.commandLength > SMPP::MAX_PDU_LENGTH) {
    framingLost_ = true;
    return false;
  }
  if (inputEnd_ - consumed_ < header.commandLength) return false;
  body = input_.data() + consumed_ + SMPP::HEADER_LENGTH;
  consumed_ += header.commandLength;
  return true;
}

void PduConnection::queue(uint32_t commandId, uint32_t status, uint32_t sequence,
                          const uint8_t* body, size_t bodyLength) {
  const size_t old = output_.size();
  output_.resize(old + SMPP::HEADER_LENGTH + bodyLength);
  SMPP::encodeHeader(output_.data() + old, bodyLength, commandId, status, sequence);
  if (bodyLength > 0)
    std::copy(body, body + bodyLength, output_.data() + old + SMPP::HEADER_LENGTH);
}

bool PduConnection::flush(size_t maxBytes) {
  while (written_ < output_.size()) {
    size_t length = output_.size() - written_;
    if (maxBytes > 0) length = std::min(length, maxBytes);
    const ssize_t n = ::send(fd_, output_.data() + written_, length, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    written_ += static_cast<size_t>(n);
    if (maxBytes > 0) break;
  }
  if (written_ == output_.size()) {
    output_.clear();
    written_ = 0;
  } else if (written_ >= 65536) {
    // A peer that reads slowly must not make the buffer grow for ever.
    output_.erase(output_.begin(), output_.begin() + static_cast<std::ptrdiff_t>(written_));
    written_ = 0;
  }
  return true;
}

void PduConnection::reset() {
  if (fd_ < 0) return;
  linger hard{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  ::close(fd_);
  fd_ = -1;
}
