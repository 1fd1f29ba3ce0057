#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace testing_support {

// A TCP port that was free on every local address a moment ago, chosen below
// the kernel's ephemeral range. Tests hand it to the daemon through its
// configuration.
int freeLoopbackPort();

// Connects to `address`:`port`, optionally from a chosen local loopback
// address (127.0.0.2, ...). Returns the descriptor or -1.
int connectTcp(const std::string& address, int port, const std::string& localAddress = "");

// Writes all of `data`; false on error.
bool writeAll(int fd, const std::string& data);

// Reads exactly `n` bytes; returns fewer on timeout or close.
std::string readExactly(int fd, size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5));

// Reads until the peer closes or the timeout passes.
inline std::string readUntilClosed(int fd,
                                   std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  return readExactly(fd, std::string::npos, timeout);
}

}  // namespace testing_support
