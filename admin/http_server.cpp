#include "admin/http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "admin/api_auth_store.h"
#include "base/listening_socket.h"
#include "base/log.h"
#include "base/wall_clock.h"
#include "config/ostrel_configuration.h"

namespace {

constexpr const char* kClassName = "Application";
constexpr int kListenBacklog = 32;
// How soon an idle server notices the stop flag.
constexpr int kIdlePollMs = 100;
// After refusing a request that is still arriving, how long its remaining
// bytes are read and dropped so that the client sees the answer rather than a
// reset connection.
constexpr std::chrono::milliseconds kDrainTime{200};
constexpr size_t kDrainBytes = 4 * 1024 * 1024;
// Kernel send buffer of one admin connection. Fixed rather than autotuned
// (which grows it to megabytes): what a slow client has not taken when its
// send deadline passes must be small enough to drop, and the server's
// deadline, not the kernel, decides how long a client is served.
constexpr int kConnectionSendBuffer = 128 * 1024;

std::string peerAddress(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = "";
  if (address.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text, sizeof text);
  } else if (address.ss_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, text,
              sizeof text);
  }
  return text;
}

// Drops whatever is still queued for the client and makes close() send a
// reset, so a client too slow for its deadline is not served on by the
// kernel after the server has given up on it.
void resetOnClose(int fd) {
  linger abort{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
}

void drainAfterRefusal(int fd) {
  shutdown(fd, SHUT_WR);
  auto deadline = std::chrono::steady_clock::now() + kDrainTime;
  size_t drained = 0;
  char chunk[65536];
  while (drained < kDrainBytes) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return;
    ssize_t got = recv(fd, chunk, sizeof chunk, 0);
    if (got <= 0) return;
    drained += static_cast<size_t>(got);
  }
}

}  // namespace

HTTPAdminServer::HTTPAdminServer(AdminRoutes& routes) : routes_(routes) {}

int HTTPAdminServer::openListeningSocket(int port) {
  int fd = openBoundSocket(port);
  if (fd < 0) return -1;
  if (listen(fd, kListenBacklog) < 0) {
    perror("ERROR on listen");
    close(fd);
    return -1;
  }
  boundPort_ = boundPortOf(fd);
  return fd;
}

void HTTPAdminServer::run(int port) {
  int listenFd = openListeningSocket(port);
  if (listenFd < 0) {
    logMessage(LOG_SEVERE, nullptr, kClassName, "http_main",
               "fatal error getting listening socket");
  } else {
    logMessage(LOG_INFO, nullptr, kClassName, "http_main", "Waiting for connections on port %d",
               boundPort_.load());
    running_ = true;
  }
  {
    std::lock_guard<std::mutex> lock(startMutex_);
    startDecided_ = true;
  }
  startChanged_.notify_all();
  if (listenFd < 0) return;

  while (!stopRequested_) {
    // Waiting in poll rather than sleeping between failed accepts lets a
    // connection be served the moment it arrives, while an idle server still
    // sees the stop flag within kIdlePollMs.
    pollfd p{listenFd, POLLIN, 0};
    int ready = poll(&p, 1, kIdlePollMs);
    if (ready <= 0) continue;
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    int fd = accept(listenFd, reinterpret_cast<sockaddr*>(&address), &length);
    if (fd < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
        perror("accept");
        std::this_thread::sleep_for(std::chrono::milliseconds(kIdlePollMs));
      }
      continue;
    }
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kConnectionSendBuffer, sizeof kConnectionSendBuffer);
    std::string peer = peerAddress(address);
    logMessage(LOG_FINE, nullptr, kClassName, "http_main", "New connection from %s", peer.c_str());
    handle_http_request(fd, peer);
    close(fd);
  }

  close(listenFd);
  running_ = false;
}

void HTTPAdminServer::prepare() {
  stopRequested_ = false;
  std::lock_guard<std::mutex> lock(startMutex_);
  startDecided_ = false;
}

bool HTTPAdminServer::awaitStarted(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(startMutex_);
  startChanged_.wait_for(lock, timeout, [this] { return startDecided_; });
  return running_;
}

void HTTPAdminServer::requestStop() {
  stopRequested_ = true;
}

void HTTPAdminServer::setDeadlines(std::chrono::milliseconds read,
                                   std::chrono::milliseconds send) {
  readDeadlineMs_ = read.count();
  sendDeadlineMs_ = send.count();
}

void HTTPAdminServer::handle_http_request(int fd, const std::string& peer) {
  const std::chrono::milliseconds readDeadline{readDeadlineMs_.load()};
  const std::chrono::milliseconds sendDeadline{sendDeadlineMs_.load()};
  std::string raw;
  RequestFrame frame;
  switch (readHTTPRequest(fd, raw, frame, readDeadline)) {
    case ReadStatus::kError:
      perror("recv");
      return;
    case ReadStatus::kEmpty:
      return;
    case ReadStatus::kIncomplete:
    case ReadStatus::kBad:
      logMessage(LOG_FINE, nullptr, kClassName, "handle_http_request",
                 "Refused an over-large, incomplete or unframeable request from %s", peer.c_str());
      sendHTTPResponse(fd, 400, "Bad request", "application/json", "{}", sendDeadline);
      drainAfterRefusal(fd);
      return;
    case ReadStatus::kComplete:
      break;
  }

  HTTPRequest request;
  if (!parseHTTPRequest(raw, frame.headerLength, request)) return;
  HTTPResponse response = routes_.handle(request, peer, wallClockMicros());
  if (!sendHTTPResponse(fd, response, sendDeadline)) {
    logMessage(LOG_FINE, nullptr, kClassName, "handle_http_request",
               "Gave up sending the response to %s", peer.c_str());
    resetOnClose(fd);
  }
}

// ---- The process's admin server ---------------------------------------------

namespace {

struct ProcessServer {
  std::mutex portMutex;
  int port = 80;  // guarded by portMutex
  std::mutex sourceMutex;
  SMSCEntrySource smscEntries;  // guarded by sourceMutex
  std::unique_ptr<AdminRoutes> routes;
  std::unique_ptr<HTTPAdminServer> server;
  std::thread thread;
};

ProcessServer& processServer() {
  static ProcessServer state;
  return state;
}

APIAuthStore& processAuthStore() {
  static APIAuthStore store;
  return store;
}

HTTPAdminServer& processHTTPServer() {
  ProcessServer& state = processServer();
  if (!state.server) {
    state.routes =
        std::make_unique<AdminRoutes>(OstrelConfiguration::instance(), processAuthStore(),
                                      [&state]() -> std::vector<SMSCEntryStatus> {
                                        SMSCEntrySource source;
                                        {
                                          std::lock_guard<std::mutex> lock(state.sourceMutex);
                                          source = state.smscEntries;
                                        }
                                        return source ? source() : std::vector<SMSCEntryStatus>();
                                      });
    state.server = std::make_unique<HTTPAdminServer>(*state.routes);
  }
  return *state.server;
}

}  // namespace

void setHTTPPort(int port) {
  ProcessServer& state = processServer();
  std::lock_guard<std::mutex> lock(state.portMutex);
  state.port = port;
}

int httpPort() {
  ProcessServer& state = processServer();
  std::lock_guard<std::mutex> lock(state.portMutex);
  return state.port;
}

int configuredHTTPPort() {
  constexpr int kDefaultPort = 80;
  try {
    int64_t port = OstrelConfiguration::instance().getBaseInt("http.port", kDefaultPort);
    if (port >= 1 && port <= 65535) return static_cast<int>(port);
    logMessage(LOG_WARNING, nullptr, kClassName, "configuredHTTPPort",
               "http.port %lld is not a port number; using %d", static_cast<long long>(port),
               kDefaultPort);
  } catch (const std::exception& e) {
    logMessage(LOG_WARNING, nullptr, kClassName, "configuredHTTPPort",
               "http.port unreadable (%s); using %d", e.what(), kDefaultPort);
  }
  return kDefaultPort;
}

void registerAPIClient(const std::string& clientId, const std::string& clientSecret) {
  processAuthStore().registerAPIClient(clientId, clientSecret);
}

void setSMSCEntrySource(SMSCEntrySource source) {
  ProcessServer& state = processServer();
  std::lock_guard<std::mutex> lock(state.sourceMutex);
  state.smscEntries = std::move(source);
}

void http_start() {
  HTTPAdminServer& server = processHTTPServer();
  server.prepare();
  processServer().thread = std::thread(http_main);
  // The caller decides by isHTTPRunning() whether to start the SMPP side, so
  // wait for the thread's verdict instead of guessing how long it needs.
  server.awaitStarted(std::chrono::seconds(10));
}

void http_main() {
  processHTTPServer().run(httpPort());
}

void http_stop() {
  ProcessServer& state = processServer();
  if (state.server) state.server->requestStop();
  logMessage(LOG_INFO, nullptr, kClassName, "http_stop", "Waiting on HTTP server to close");
  if (state.thread.joinable()) state.thread.join();
}

bool isHTTPRunning() {
  return processServer().server && processServer().server->running();
}
