#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

#include "base/wall_clock.h"
#include "downstream/ostrel_session.h"
#include "tests/support/loopback.h"
#include "tests/support/smpp_test_client.h"

namespace downstream_test {

inline uint32_t u32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v = v << 8 | static_cast<uint8_t>(s[at + i]);
  return v;
}

inline std::string pdu(uint32_t commandId, uint32_t sequence, const std::string& body = "") {
  std::string out;
  for (uint32_t v : {static_cast<uint32_t>(16 + body.size()), commandId, 0u, sequence})
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (24 - 8 * i)));
  return out + body;
}

// A customer session on one end of a socket pair; the test is the customer
// on the other.
class SessionPair {
 public:
  explicit SessionPair(EntityControlMaster* master = nullptr) {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    clientFd_ = fds[1];
    session_ = OstrelSession::create(fds[0], "127.0.0.2", 40000, master);
  }
  ~SessionPair() {
    session_.reset();
    closeClient();
  }
  OstrelSession& session() { return *session_; }
  void destroy() { session_.reset(); }
  void closeClient() {
    if (clientFd_ >= 0) close(clientFd_);
    clientFd_ = -1;
  }
  void send(uint32_t commandId, uint32_t sequence, const std::string& body) {
    ASSERT_TRUE(testing_support::writeAll(clientFd_, pdu(commandId, sequence, body)));
  }
  void sendBind(uint32_t commandId, const std::string& systemId, const std::string& password,
                uint8_t version = 0x34) {
    send(commandId, 7, testing_support::bindBody(systemId, password, "", version));
  }
  // One whole PDU from the session, or "" on timeout.
  std::string readPDU(std::chrono::milliseconds timeout = std::chrono::milliseconds(1000)) {
    const std::string header = testing_support::readExactly(clientFd_, 16, timeout);
    if (header.size() != 16) return "";
    return header + testing_support::readExactly(clientFd_, u32(header, 0) - 16, timeout);
  }
  // Status of the response waiting on the client side, or -1.
  int64_t responseStatus() {
    const std::string response = readPDU(std::chrono::milliseconds(100));
    return response.empty() ? -1 : static_cast<int64_t>(u32(response, 8));
  }

 private:
  int clientFd_ = -1;
  std::shared_ptr<OstrelSession> session_;
};

}  // namespace downstream_test
