#include "smpp/smpp_socket.h"

#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>

bool SMPPSocketUnencrypted::readByte(uint8_t* buffer) { return read(buffer, 1) == 1; }

bool SMPPSocketUnencrypted::readExact(uint8_t* buffer, size_t length) {
  return read(buffer, length) == static_cast<ssize_t>(length);
}

ssize_t SMPPSocketUnencrypted::read(uint8_t* buffer, size_t length) {
  if (fd_ < 0) {
    errno = EBADF;
    return -1;
  }
  return ::recv(fd_, buffer, length, MSG_DONTWAIT);
}

ssize_t SMPPSocketUnencrypted::write(const uint8_t* buffer, size_t length) {
  if (fd_ < 0) return 0;
  // MSG_NOSIGNAL: a peer that went away is an error value, never a signal.
  return ::send(fd_, buffer, length, MSG_DONTWAIT | MSG_NOSIGNAL);
}

ssize_t SMPPSocketUnencrypted::peek() {
  if (fd_ < 0) return 0;
  uint8_t b;
  return ::recv(fd_, &b, 1, MSG_PEEK | MSG_DONTWAIT);
}

long SMPPSocketUnencrypted::bytesAvailable() {
  if (fd_ < 0) return 0;
  int n = 0;
  if (ioctl(fd_, FIONREAD, &n) != 0) return 0;
  return n;
}
