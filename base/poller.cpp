#include "base/poller.h"

#include <unistd.h>

#include <cerrno>

namespace {
constexpr size_t kMaxEventsPerWait = 1024;

uint32_t interest(bool writable) { return EPOLLIN | (writable ? EPOLLOUT : 0u); }
}  // namespace

Poller::Poller() : epollFd_(epoll_create1(EPOLL_CLOEXEC)), events_(kMaxEventsPerWait) {}

Poller::~Poller() {
  if (epollFd_ >= 0) ::close(epollFd_);
}

bool Poller::add(int fd, bool writable) {
  epoll_event e{};
  e.events = interest(writable);
  e.data.fd = fd;
  return epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &e) == 0;
}

bool Poller::setWritable(int fd, bool writable) {
  epoll_event e{};
  e.events = interest(writable);
  e.data.fd = fd;
  return epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd, &e) == 0;
}

void Poller::remove(int fd) { epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr); }

int Poller::wait(int timeoutMs, std::vector<Event>& out) {
  out.clear();
  const int n = epoll_wait(epollFd_, events_.data(), static_cast<int>(events_.size()), timeoutMs);
  if (n < 0) return -1;
  for (int i = 0; i < n; ++i) {
    const uint32_t ev = events_[static_cast<size_t>(i)].events;
    out.push_back(Event{events_[static_cast<size_t>(i)].data.fd, (ev & EPOLLIN) != 0,
                        (ev & EPOLLOUT) != 0, (ev & (EPOLLERR | EPOLLHUP)) != 0});
  }
  return n;
}
