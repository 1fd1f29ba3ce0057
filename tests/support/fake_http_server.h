#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

// An HTTP/1.1 endpoint on 127.0.0.1 (port chosen by the kernel) for clients
// under test. It records every request and answers with the behaviour set at
// the time the request arrives: a status code, garbage bytes, or no answer at
// all (the connection is held open until the server stops). Requests on one
// connection are served in turn; keep-alive is honoured. Safe from any thread.
class FakeHttpServer {
 public:
  enum class Behaviour { Status, Garbage, Silent };

  struct Request {
    std::string method;
    std::string target;
    std::vector<std::string> headerLines;  // as received, without CRLF
    std::string body;
  };

  FakeHttpServer();
  ~FakeHttpServer();
  FakeHttpServer(const FakeHttpServer&) = delete;
  FakeHttpServer& operator=(const FakeHttpServer&) = delete;

  int port() const { return port_; }
  std::string url(const std::string& path = "/") const;

  // Answers with `status` and the body "{}", after `delayMillis` (a slow
  // endpoint).
  void answerStatus(int status, int delayMillis = 0);
  // Answers with `status` and `body` (JSON or not), after `delayMillis`.
  void answerBody(int status, std::string body, int delayMillis = 0);
  void answerGarbage();
  void answerNothing();

  std::vector<Request> requests();
  size_t requestCount();
  size_t connectionCount();  // connections accepted so far
  // Waits until `count` requests have arrived or `timeoutMillis` passed;
  // whether they arrived.
  bool waitForRequests(size_t count, int timeoutMillis);

 private:
  void acceptLoop();
  void serve(int fd);
  bool respond(int fd);

  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptThread_;

  std::mutex stateMutex_;
  Behaviour behaviour_ = Behaviour::Status;  // guarded by stateMutex_
  int status_ = 200;                         // guarded by stateMutex_
  int delayMillis_ = 0;                      // guarded by stateMutex_
  std::string body_ = "{}";                  // guarded by stateMutex_
  std::vector<Request> requests_;            // guarded by stateMutex_
  std::condition_variable requestArrived_;
  std::vector<std::thread> connections_;     // guarded by stateMutex_
};

}  // namespace testing_support
