#include "tools/pdu_connection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

PduConnection::~PduConnection() {
  if (fd_ >= 0) ::close(fd_);
}

bool PduConnection::readAvailable(size_t budget) {
  // Compact only here: bodies handed out by nextPDU() stay valid until now.
  if (consumed_ > 0) {
    input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(consumed_));
    consumed_ = 0;
  }
  size_t taken = 0;
  while (taken < budget) {
    const size_t old = input_.size();
    input_.resize(old + 65536);
    const ssize_t n = ::recv(fd_, input_.data() + old, 65536, 0);
    input_.resize(old + (n > 0 ? static_cast<size_t>(n) : 0));
    if (n > 0) {
      taken += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
  return true;
}

bool PduConnection::nextPDU(SMPP::PDUHeader& header, const uint8_t*& body) {
  if (framingLost_ || input_.size() - consumed_ < SMPP::HEADER_LENGTH) return false;
  header = SMPP::decodeHeader(input_.data() + consumed_);
  if (header.commandLength < SMPP::HEADER_LENGTH || header.commandLength > SMPP::MAX_PDU_LENGTH) {
    framingLost_ = true;
    return false;
  }
  if (input_.size() - consumed_ < header.commandLength) return false;
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
