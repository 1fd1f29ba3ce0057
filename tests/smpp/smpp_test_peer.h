#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "smpp/pdu.h"

namespace smpp_test {

using Bytes = std::vector<uint8_t>;

inline Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline Bytes cstr(const std::string& s) {
  Bytes b(s.begin(), s.end());
  b.push_back(0);
  return b;
}
inline Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

struct ReceivedPDU {
  SMPP::PDUHeader header;
  Bytes body;
};

// A connected loopback socket pair: one end for the session under test, the
// other end plays the remote party, reading and writing raw bytes.
class SocketPair {
 public:
  SocketPair() {
    int fds[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
      sessionFd = fds[0];
      peerFd = fds[1];
      fcntl(sessionFd, F_SETFL, fcntl(sessionFd, F_GETFL) | O_NONBLOCK);
    }
  }
  ~SocketPair() {
    if (sessionFd >= 0) close(sessionFd);
    if (peerFd >= 0) close(peerFd);
  }
  SocketPair(const SocketPair&) = delete;
  SocketPair& operator=(const SocketPair&) = delete;

  // The session end is closed by its session (owned descriptor).
  int releaseSessionFd() {
    const int fd = sessionFd;
    sessionFd = -1;
    return fd;
  }

  void peerWrite(const Bytes& bytes) const {
    size_t off = 0;
    while (off < bytes.size()) {
      const ssize_t n = ::write(peerFd, bytes.data() + off, bytes.size() - off);
      if (n <= 0) return;
      off += static_cast<size_t>(n);
    }
  }
  void peerSend(uint32_t commandId, uint32_t status, uint32_t seq, const Bytes& body = {}) const {
    peerWrite(SMPP::encodePDU(commandId, status, seq, body));
  }

  // Everything the session has written so far (waits at most `waitMs` for
  // the first byte).
  Bytes peerReadAvailable(int waitMs = 0) const {
    Bytes out;
    pollfd p{peerFd, POLLIN, 0};
    if (::poll(&p, 1, waitMs) <= 0) return out;
    uint8_t buf[65536];
    for (;;) {
      const ssize_t n = ::recv(peerFd, buf, sizeof buf, MSG_DONTWAIT);
      if (n <= 0) break;
      out.insert(out.end(), buf, buf + n);
    }
    return out;
  }

  // The session's output split into PDUs; a trailing fragment fails the test
  // through `complete`.
  std::vector<ReceivedPDU> peerReadPDUs(bool* complete = nullptr, int waitMs = 0) const {
    return split(peerReadAvailable(waitMs), complete);
  }

  static std::vector<ReceivedPDU> split(const Bytes& data, bool* complete = nullptr) {
    std::vector<ReceivedPDU> out;
    size_t off = 0;
    while (data.size() - off >= 16) {
      const SMPP::PDUHeader h = SMPP::decodeHeader(data.data() + off);
      if (h.commandLength < 16 || h.commandLength > data.size() - off) break;
      out.push_back({h, Bytes(data.begin() + static_cast<long>(off) + 16,
                              data.begin() + static_cast<long>(off + h.commandLength))});
      off += h.commandLength;
    }
    if (complete != nullptr) *complete = off == data.size();
    return out;
  }

  int sessionFd = -1;
  int peerFd = -1;
};

inline Bytes bindBody(const std::string& systemId, const std::string& password,
                      const std::string& systemType, uint8_t version) {
  return cat({cstr(systemId), cstr(password), cstr(systemType), {version, 0, 0, 0}});
}

// A small valid submit_sm body (or data_sm body with the payload in a TLV).
inline Bytes submitBody(const std::string& destination = "447700900123") {
  return cat({cstr(""), {1, 1}, cstr("Shop"), {1, 1}, cstr(destination), {0, 0, 0}, cstr(""),
              cstr(""), {1, 0, 0, 0}, {5}, text("hello")});
}
inline Bytes dataSmBody(const std::string& destination = "447700900123") {
  return cat({cstr(""), {1, 1}, cstr("Shop"), {1, 1}, cstr(destination), {0, 1, 0},
              {0x04, 0x24, 0x00, 0x05}, text("hello")});
}

}  // namespace smpp_test
