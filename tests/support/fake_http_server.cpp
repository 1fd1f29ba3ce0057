#include "tests/support/fake_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <stdexcept>

#include "tests/support/loopback.h"

namespace testing_support {

namespace {

constexpr int kPollMillis = 50;

// Waits up to `millis` for `fd` to be readable, polling in short slices so a
// stop is noticed; whether it became readable.
bool readable(int fd, int millis, const std::atomic<bool>& stopping) {
  for (int waited = 0; waited < millis && !stopping.load(); waited += kPollMillis) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, std::min(kPollMillis, millis - waited)) != 0) return true;
  }
  return false;
}

// Reads more bytes into `buffer`; false on close, error or stop.
bool readMore(int fd, std::string& buffer, const std::atomic<bool>& stopping) {
  if (!readable(fd, 1 << 30, stopping)) return false;
  char chunk[8192];
  ssize_t n = recv(fd, chunk, sizeof chunk, 0);
  if (n > 0) buffer.append(chunk, static_cast<size_t>(n));
  return n > 0;
}

}  // namespace

FakeHttpServer::FakeHttpServer() {
  listenFd_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  auto* address = reinterpret_cast<sockaddr*>(&addr);
  if (listenFd_ < 0 || bind(listenFd_, address, sizeof addr) != 0 || listen(listenFd_, 16) != 0 ||
      getsockname(listenFd_, address, &len) != 0) {
    if (listenFd_ >= 0) close(listenFd_);
    throw std::runtime_error("fake HTTP server: no listening socket");
  }
  port_ = ntohs(addr.sin_port);
  acceptThread_ = std::thread([this] {
    while (!stopping_.load()) {
      if (!readable(listenFd_, kPollMillis, stopping_)) continue;
      int fd = accept(listenFd_, nullptr, nullptr);
      if (fd < 0) continue;
      std::lock_guard<std::mutex> lock(mutex_);
      connections_.emplace_back([this, fd] {
        serve(fd);
        close(fd);
      });
    }
  });
}

FakeHttpServer::~FakeHttpServer() {
  stopping_.store(true);
  acceptThread_.join();
  close(listenFd_);
  std::vector<std::thread> connections;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connections.swap(connections_);
  }
  for (std::thread& t : connections) t.join();
}

void FakeHttpServer::set(Behaviour behaviour, int status, std::string body, int delayMillis) {
  std::lock_guard<std::mutex> lock(mutex_);
  behaviour_ = behaviour;
  status_ = status;
  body_ = std::move(body);
  delayMillis_ = delayMillis;
}

std::vector<FakeHttpServer::Request> FakeHttpServer::requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

size_t FakeHttpServer::connectionCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_.size();
}

bool FakeHttpServer::waitForRequests(size_t count, int timeoutMillis) {
  std::unique_lock<std::mutex> lock(mutex_);
  return requestArrived_.wait_for(lock, std::chrono::milliseconds(timeoutMillis),
                                  [&] { return requests_.size() >= count; });
}

// Reads one request after the other (the body by its Content-Length) and
// answers each.
void FakeHttpServer::serve(int fd) {
  std::string buffer;
  for (;;) {
    size_t headerEnd;
    while ((headerEnd = buffer.find("\r\n\r\n")) == std::string::npos)
      if (!readMore(fd, buffer, stopping_)) return;
    Request request;
    size_t contentLength = 0;
    size_t lineEnd = buffer.find("\r\n");
    const std::string requestLine = buffer.substr(0, lineEnd);
    const size_t blank = requestLine.find(' ');
    request.method = requestLine.substr(0, blank);
    request.target = requestLine.substr(blank + 1, requestLine.find(' ', blank + 1) - blank - 1);
    for (size_t start = lineEnd + 2; start < headerEnd + 2; start = lineEnd + 2) {
      lineEnd = buffer.find("\r\n", start);
      request.headerLines.push_back(buffer.substr(start, lineEnd - start));
      if (strncasecmp(buffer.c_str() + start, "Content-Length:", 15) == 0)
        contentLength = std::strtoul(buffer.c_str() + start + 15, nullptr, 10);
    }
    const size_t bodyStart = headerEnd + 4;
    while (buffer.size() < bodyStart + contentLength)
      if (!readMore(fd, buffer, stopping_)) return;
    request.body = buffer.substr(bodyStart, contentLength);
    buffer.erase(0, bodyStart + contentLength);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(std::move(request));
    }
    requestArrived_.notify_all();
    if (!respond(fd)) return;
  }
}

bool FakeHttpServer::respond(int fd) {
  std::unique_lock<std::mutex> lock(mutex_);
  const Behaviour behaviour = behaviour_;
  const int delayMillis = behaviour == Behaviour::Silent ? 1 << 30 : delayMillis_;
  const std::string answer =
      behaviour == Behaviour::Garbage
          ? "\x01\x02 not http at all\r\n\r\n"
          : "HTTP/1.1 " + std::to_string(status_) +
                " Fake\r\nContent-Type: application/json\r\nContent-Length: " +
                std::to_string(body_.size()) + "\r\n\r\n" + body_;
  lock.unlock();
  // The delay (for ever when silent) ends early when the server stops or the
  // client gives up.
  for (int waited = 0; waited < delayMillis && !stopping_.load(); waited += kPollMillis) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, std::min(kPollMillis, delayMillis - waited)) > 0) {
      char sink[4096];
      if (recv(fd, sink, sizeof sink, behaviour == Behaviour::Silent ? 0 : MSG_PEEK) <= 0)
        return false;
    }
  }
  if (behaviour == Behaviour::Silent || stopping_.load()) return false;
  writeAll(fd, answer);
  return behaviour == Behaviour::Status;
}

}  // namespace testing_support
