#pragma once

#include <sys/epoll.h>

#include <cstdint>
#include <vector>

// Readiness of many descriptors from epoll (level-triggered), so that a
// wait costs in proportion to what is ready, not to how many descriptors
// are watched.
//
// Not thread-safe: owned by one loop thread.
class Poller {
 public:
  struct Event {
    int fd;
    bool readable;
    bool writable;
    bool hangup;  // error or hang-up: reading will tell which
  };

  Poller();
  ~Poller();
  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;

  bool valid() const { return epollFd_ >= 0; }
  // Watches `fd` for reading, and for writing when `writable`. False on error.
  bool add(int fd, bool writable = false);
  // Changes whether `fd` is also watched for writing.
  bool setWritable(int fd, bool writable);
  // Stops watching `fd`; call before the descriptor is closed.
  void remove(int fd);
  // Waits up to `timeoutMs` (-1 for ever, 0 not at all) and fills `out`.
  // The count of events, or -1 with errno set (EINTR included).
  int wait(int timeoutMs, std::vector<Event>& out);

 private:
  int epollFd_;
  std::vector<epoll_event> events_;
};
