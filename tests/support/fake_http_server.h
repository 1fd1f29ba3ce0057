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
// the time the request arrives: a status code and body (optionally late),
// garbage bytes, or no answer at all (the connection is held open until the
// server stops). Keep-alive is honoured. Safe from any thread.
class FakeHttpServer {
 public:
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

  std::string url(const std::string& path = "/") const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  // Answers with `status` and `body` (JSON or not) after `delayMillis`.
  void answerBody(int status, std::string body, int delayMillis = 0) {
    set(Behaviour::Status, status, std::move(body), delayMillis);
  }
  void answerStatus(int status, int delayMillis = 0) { answerBody(status, "{}", delayMillis); }
  void answerGarbage() { set(Behaviour::Garbage, 0, "", 0); }
  void answerNothing() { set(Behaviour::Silent, 0, "", 0); }

  std::vector<Request> requests();
  size_t requestCount() { return requests().size(); }
  size_t connectionCount();  // connections accepted so far
  // Waits until `count` requests have arrived or `timeoutMillis` passed;
  // whether they arrived.
  bool waitForRequests(size_t count, int timeoutMillis);

 private:
  enum class Behaviour { Status, Garbage, Silent };
  void set(Behaviour behaviour, int status, std::string body, int delayMillis);
  void serve(int fd);
  bool respond(int fd);

  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptThread_;

  std::mutex mutex_;
  Behaviour behaviour_ = Behaviour::Status;  // guarded by mutex_
  int status_ = 200;                         // guarded by mutex_
  int delayMillis_ = 0;                      // guarded by mutex_
  std::string body_ = "{}";                  // guarded by mutex_
  std::vector<Request> requests_;            // guarded by mutex_
  std::condition_variable requestArrived_;
  std::vector<std::thread> connections_;  // guarded by mutex_
};

}  // namespace testing_support
