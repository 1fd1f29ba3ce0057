#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "admin/admin_routes.h"
#include "admin/status_report.h"

// The HTTP admin server: one thread that accepts admin connections one at a
// time on an IPv4 port and serves exactly one request per connection (read,
// route, answer, close).
//
// run() is the thread body; awaitStarted(), requestStop(), running() and
// boundPort() are safe from any thread. The routes are called on the server
// thread only.
class HTTPAdminServer {
 public:
  explicit HTTPAdminServer(AdminRoutes& routes);
  HTTPAdminServer(const HTTPAdminServer&) = delete;
  HTTPAdminServer& operator=(const HTTPAdminServer&) = delete;

  // Clears the stop flag and the start verdict of an earlier run; call before
  // starting the thread that runs run().
  void prepare();

  // Listens on `port` of every IPv4 interface (0: a port of the kernel's
  // choice) and serves until requestStop(). Returns at once, not running,
  // when no listening socket can be had.
  void run(int port);

  // Waits until run() listens (true) or has given up (false).
  bool awaitStarted(std::chrono::milliseconds timeout);
  void requestStop();
  bool running() const { return running_.load(); }
  int boundPort() const { return boundPort_.load(); }

  // Serves one request on the connected socket `fd`; does not close it. A
  // client that has not delivered its request within the read deadline, or
  // taken the whole response within the send deadline, is cut off; the
  // connection is then reset so the kernel does not go on feeding it.
  void handle_http_request(int fd, const std::string& peer);

  // Overall time allowed for reading one request and for sending one
  // response (defaults kHTTPReadTimeout and kHTTPSendDeadline). Safe from any
  // thread; applies from the next connection on.
  void setDeadlines(std::chrono::milliseconds read, std::chrono::milliseconds send);

 private:
  int openListeningSocket(int port);

  AdminRoutes& routes_;
  std::atomic<bool> running_{false};
  std::atomic<bool> stopRequested_{false};
  std::atomic<int> boundPort_{0};
  std::atomic<int64_t> readDeadlineMs_{kHTTPReadTimeout.count()};
  std::atomic<int64_t> sendDeadlineMs_{kHTTPSendDeadline.count()};

  std::mutex startMutex_;
  std::condition_variable startChanged_;
  bool startDecided_ = false;  // guarded by startMutex_
};

// ---- The process's admin server ---------------------------------------------

// Port of the admin server and of the command-line client's requests
// ("http.port", 80 by default). Set before http_start().
void setHTTPPort(int port);
int httpPort();

// The "http.port" setting of the process's configuration: 80 when absent; a
// value that is not a TCP port number is logged at WARNING and gives 80.
int configuredHTTPPort();

// Empties the API clients and enters this one unless either text is empty.
void registerAPIClient(const std::string& clientId, const std::string& clientSecret);

// Gives the "/status" route the upstream manager's entries; may be set or
// replaced at any time, from any thread.
void setSMSCEntrySource(SMSCEntrySource source);

// Starts the server thread (running http_main) and returns once it listens
// or has failed to.
void http_start();
// The server thread's body.
void http_main();
// Sets the stop flag and joins the server thread.
void http_stop();
bool isHTTPRunning();
