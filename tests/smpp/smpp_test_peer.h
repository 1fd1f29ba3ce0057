#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
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
  // Command id, status and sequence number, to compare in one expectation.
  std::tuple<uint32_t, uint32_t, uint32_t> head() const {
    return {header.commandId, header.commandStatus, header.sequenceNumber};
  }
};

// A connected socket pair: the session under test gets one (non-blocking)
// end, the test plays the remote party with raw bytes on the other.
// Whatever the session wrote is readable when its send returns.
struct SocketPair {
  SocketPair() {
    int fds[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return;
    sessionFd = fds[0];
    peerFd = fds[1];
    fcntl(sessionFd, F_SETFL, fcntl(sessionFd, F_GETFL) | O_NONBLOCK);
  }
  ~SocketPair() {
    for (int fd : {sessionFd, peerFd}) {
      if (fd >= 0) close(fd);
    }
  }
  SocketPair(const SocketPair&) = delete;
  SocketPair& operator=(const SocketPair&) = delete;

  // For a session that owns (and closes) its descriptor.
  int releaseSessionFd() { return std::exchange(sessionFd, -1); }
  void closePeer() { close(std::exchange(peerFd, -1)); }

  void peerWrite(const Bytes& bytes) const {
    for (size_t off = 0; off < bytes.size();) {
      const ssize_t n = ::write(peerFd, bytes.data() + off, bytes.size() - off);
      if (n <= 0) return;
      off += static_cast<size_t>(n);
    }
  }
  // The session's output as PDUs; `complete` tells whether no fragment was
  // left over.
  std::vector<ReceivedPDU> peerReadPDUs(bool* complete = nullptr) const {
    Bytes out;
    uint8_t buf[65536];
    for (ssize_t n; (n = ::recv(peerFd, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
      out.insert(out.end(), buf, buf + n);
    return split(out, complete);
  }
  static std::vector<ReceivedPDU> split(const Bytes& data, bool* complete = nullptr) {
    std::vector<ReceivedPDU> out;
    size_t off = 0;
    while (data.size() - off >= 16) {
      const SMPP::PDUHeader h = SMPP::decodeHeader(data.data() + off);
      if (h.commandLength < 16 || h.commandLength > data.size() - off) break;
      const auto at = data.begin() + static_cast<long>(off);
      out.push_back({h, Bytes(at + 16, at + h.commandLength)});
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
// A small valid submit_sm body, and a data_sm body with the text in message_payload.
inline Bytes submitBody(const std::string& destination = "447700900123") {
  return cat({cstr(""), {1, 1}, cstr("Shop"), {1, 1}, cstr(destination), {0, 0, 0}, cstr(""),
              cstr(""), {1, 0, 0, 0}, {5}, text("hello")});
}
inline Bytes dataSmBody() {
  return cat({cstr(""), {1, 1}, cstr("Shop"), {1, 1}, cstr("447700900123"), {0, 1, 0},
              {0x04, 0x24, 0x00, 0x05}, text("hello")});
}

}  // namespace smpp_test
