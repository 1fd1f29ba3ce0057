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

namespace testing_support {

namespace {

constexpr int kPollMillis = 50;

// Reads more bytes into `buffer`; false on close, error or stop.
bool readMore(int fd, std::string& buffer, const std::atomic<bool>& stopping) {
  while (!stopping.load()) {
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, kPollMillis);
    if (ready < 0) return false;
    if (ready == 0) continue;
    char chunk[8192];
    ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<size_t>(n));
    return true;
  }
  return false;
}

void sendAll(int fd, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

}  // namespace

FakeHttpServer::FakeHttpServer() {
  listenFd_ = socket(AF_INET, SOCK_STREAM, 0);
  if (listenFd_ < 0) throw std::runtime_error("socket failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listenFd_, 16) != 0) {
    close(listenFd_);
    throw std::runtime_error("bind/listen failed");
  }
  socklen_t len = sizeof addr;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  acceptThread_ = std::thread([this] { acceptLoop(); });
}

FakeHttpServer::~FakeHttpServer() {
  stopping_.store(true);
  acceptThread_.join();
  close(listenFd_);
  std::vector<std::thread> connections;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    connections.swap(connections_);
  }
  for (std::thread& t : connections) t.join();
}

std::string FakeHttpServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void FakeHttpServer::answerStatus(int status, int delayMillis) {
  std::lock_guard<std::mutex> lock(stateMutex_);
  behaviour_ = Behaviour::Status;
  status_ = status;
  delayMillis_ = delayMillis;
  body_ = "{}";
}

void FakeHttpServer::answerBody(int status, std::string body, int delayMillis) {
  std::lock_guard<std::mutex> lock(stateMutex_);
  behaviour_ = Behaviour::Status;
  status_ = status;
  delayMillis_ = delayMillis;
  body_ = std::move(body);
}

bool FakeHttpServer::waitForRequests(size_t count, int timeoutMillis) {
  std::unique_lock<std::mutex> lock(stateMutex_);
  return requestArrived_.wait_for(lock, std::chrono::milliseconds(timeoutMillis),
                                  [&] { return requests_.size() >= count; });
}

void FakeHttpServer::answerGarbage() {
  std::lock_guard<std::mutex> lock(stateMutex_);
  behaviour_ = Behaviour::Garbage;
}

void FakeHttpServer::answerNothing() {
  std::lock_guard<std::mutex> lock(stateMutex_);
  behaviour_ = Behaviour::Silent;
}

std::vector<FakeHttpServer::Request> FakeHttpServer::requests() {
  std::lock_guard<std::mutex> lock(stateMutex_);
  return requests_;
}

size_t FakeHttpServer::requestCount() {
  std::lock_guard<std::mutex> lock(stateMutex_);
  return requests_.size();
}

size_t FakeHttpServer::connectionCount() {
  std::lock_guard<std::mutex> lock(stateMutex_);
  return connections_.size();
}

void FakeHttpServer::acceptLoop() {
  while (!stopping_.load()) {
    pollfd p{listenFd_, POLLIN, 0};
    if (poll(&p, 1, kPollMillis) <= 0) continue;
    int fd = accept(listenFd_, nullptr, nullptr);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> lock(stateMutex_);
    connections_.emplace_back([this, fd] {
      serve(fd);
      close(fd);
    });
  }
}

void FakeHttpServer::serve(int fd) {
  std::string buffer;
  while (!stopping_.load()) {
    size_t headerEnd;
    while ((headerEnd = buffer.find("\r\n\r\n")) == std::string::npos) {
      if (!readMore(fd, buffer, stopping_)) return;
    }
    Request request;
    size_t lineStart = 0;
    size_t contentLength = 0;
    bool first = true;
    while (lineStart < headerEnd) {
      size_t lineEnd = buffer.find("\r\n", lineStart);
      std::string line = buffer.substr(lineStart, lineEnd - lineStart);
      lineStart = lineEnd + 2;
      if (first) {
        size_t sp1 = line.find(' ');
        size_t sp2 = line.find(' ', sp1 + 1);
        request.method = line.substr(0, sp1);
        request.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
        first = false;
        continue;
      }
      if (strncasecmp(line.c_str(), "Content-Length:", 15) == 0) {
        contentLength = std::strtoul(line.c_str() + 15, nullptr, 10);
      }
      request.headerLines.push_back(line);
    }
    const size_t bodyStart = headerEnd + 4;
    while (buffer.size() < bodyStart + contentLength) {
      if (!readMore(fd, buffer, stopping_)) return;
    }
    request.body = buffer.substr(bodyStart, contentLength);
    buffer.erase(0, bodyStart + contentLength);
    {
      std::lock_guard<std::mutex> lock(stateMutex_);
      requests_.push_back(std::move(request));
    }
    requestArrived_.notify_all();
    if (!respond(fd)) return;
  }
}

bool FakeHttpServer::respond(int fd) {
  Behaviour behaviour;
  int status;
  int delayMillis;
  std::string body;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    behaviour = behaviour_;
    status = status_;
    delayMillis = delayMillis_;
    body = body_;
  }
  // The delay ends early when the server stops or the client gives up.
  for (int waited = 0; waited < delayMillis && !stopping_.load(); waited += kPollMillis) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, std::min(kPollMillis, delayMillis - waited)) > 0) {
      char probe;
      if (recv(fd, &probe, 1, MSG_PEEK) <= 0) return false;
    }
  }
  switch (behaviour) {
    case Behaviour::Status: {
      sendAll(fd, "HTTP/1.1 " + std::to_string(status) +
                      " Fake\r\nContent-Type: application/json\r\nContent-Length: " +
                      std::to_string(body.size()) + "\r\n\r\n" + body);
      return true;
    }
    case Behaviour::Garbage:
      sendAll(fd, "\x01\x02 not http at all\r\n\r\n");
      return false;
    case Behaviour::Silent:
      // Hold the connection open without a word until the server stops.
      while (!stopping_.load()) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, kPollMillis) > 0) {
          char sink[4096];
          if (recv(fd, sink, sizeof sink, 0) <= 0) return false;
        }
      }
      return false;
  }
  return false;
}

}  // namespace testing_support
