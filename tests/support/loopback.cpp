#include "tests/support/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <random>
#include <set>
#include <algorithm>

namespace testing_support {

int freeLoopbackPort() {
  // Ports are drawn below the kernel's ephemeral range (32768 and up), so an
  // outgoing connection of a parallel test can never take the port between
  // this check and the daemon's bind; a port is never handed out twice by one
  // process.
  static std::mutex handedOutMutex;
  static std::set<int> handedOut;  // guarded by handedOutMutex
  static std::mt19937 random(std::random_device{}() ^ static_cast<unsigned>(getpid()));
  std::lock_guard<std::mutex> lock(handedOutMutex);
  for (int attempt = 0; attempt < 1000; ++attempt) {
    int port = 20000 + static_cast<int>(random() % 12000);
    if (handedOut.count(port) != 0) continue;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    bool free = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    if (free) {
      handedOut.insert(port);
      return port;
    }
  }
  return -1;
}

int connectTcp(const std::string& address, int port, const std::string& localAddress) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  if (!localAddress.empty()) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, localAddress.c_str(), &local.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      close(fd);
      return -1;
    }
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address.c_str(), &addr.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  // Test clients write small PDUs while answers are in flight; Nagle's
  // algorithm would hold each behind a delayed acknowledgement.
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

bool writeAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string readExactly(int fd, size_t n, std::chrono::milliseconds timeout) {
  using namespace std::chrono;
  const auto deadline = steady_clock::now() + timeout;
  std::string result;
  char buf[65536];
  while (result.size() < n) {
    pollfd p{fd, POLLIN, 0};
    const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
    if (poll(&p, 1, static_cast<int>(std::max<int64_t>(left, 0))) <= 0) return result;
    ssize_t got = recv(fd, buf, std::min(sizeof buf, n - result.size()), 0);
    if (got <= 0) return result;
    result.append(buf, static_cast<size_t>(got));
  }
  return result;
}

}  // namespace testing_support
