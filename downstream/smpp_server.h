#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/listening_socket.h"
#include "base/log.h"
#include "base/stop_signals.h"
#include "base/wall_clock.h"
#include "downstream/connection_admission.h"
#include "downstream/entity_control_master.h"
#include "downstream/ip_whitelist.h"

// The customer-facing listener: one loop on one thread that accepts SMPP
// connections, decides before reading a byte whether to keep each one
// (ConnectionAdmission, IPWhitelist), feeds readable sessions to their
// processInput, runs every session's timedCheck, and offers queued
// deliver_sm traffic to one receiving session per customer account at a
// time, least recently used first.
//
// Generic over the customer session type and the administration-session
// type (the daemon opens no administration port, so the latter is unused).
// A session type provides:
//   SessionT(int fd, const char* ip, int port, EntityControlMaster* master)
//   bool processInput();                      // true: close it
//   bool timedCheck(uint64_t nowMicros);      // true: close it
//   int poll();
//   bool deliverQueued(uint64_t now, bool& again, bool& delivered);  // true: close it
//   bool receivesDeliveries() const;          // bound as receiver or transceiver
//   const std::string& deliveryAccount() const;  // bound system id
//   uint64_t lastDeliverTime() const;         // 0 when it never sent a deliver_sm
//   bool bindRequested() const;               // a bind request ever arrived
//
// The loop, the session table and everything reached from run() belong to
// the thread that calls run(). requestStop() is async-signal-safe and safe
// from any thread; the EntityControlMaster operations document their own
// threads.
template <typename SessionT, typename AdminSessionT>
class SMPPServer : public EntityControlMaster {
 public:
  static constexpr size_t kSessionSlots = 32000;
  static constexpr int kListenBacklog = 64;
  static constexpr uint64_t kReceiverGroupRebuildMicros = 250000;
  // Bound on the repeated deliver passes of one loop pass, so that a long
  // queue of deliver_sm never keeps the loop from reading its sockets.
  static constexpr int kMaxDeliverRounds = 64;

  explicit SMPPServer(size_t sessionSlots = kSessionSlots)
      : admission_(this), whitelist_(this), sessions_(sessionSlots) {}
  ~SMPPServer() override { closeEverything(); }
  SMPPServer(const SMPPServer&) = delete;
  SMPPServer& operator=(const SMPPServer&) = delete;

  // The loop. Returns when stopped (0) or when the port cannot be listened on (-1).
  int run(int smppPort, int adminPort, bool periodic);

  // Opens the listening socket; the descriptor or -1.
  int dolisten(int port);

  // Listens now instead of in run(), so a test can queue connections before
  // the loop starts. run() then uses this socket. False on failure.
  bool listenEarly(int port) {
    listenFd_ = dolisten(port);
    port_ = boundPort_.load();
    return listenFd_ >= 0;
  }

  // Forgets the session on `fd`; the caller closes the descriptor.
  void removeSession(int fd);

  // Reads the whitelist file again if its reload interval has passed.
  void loadIPWhitelist() { whitelist_.loadIPWhitelist(std::chrono::steady_clock::now()); }

  void requestStop() { stopFlag_->store(true); }
  bool stopRequested() const { return stopFlag_->load(); }
  // Makes the loop obey `flag` (set by a signal handler the caller
  // installed) instead of installing its own handler. Call before run().
  void useStopFlag(std::atomic<bool>* flag) {
    stopFlag_ = flag;
    installSignals_ = false;
  }

  void triggerTimedCheck() override { periodicPass(wallClockMicros(), false, "triggerTimedCheck"); }
  void notifyEvent_ESMEBindAttemptNotReceived(const std::string& address) override {
    admission_.notifyBindAttemptNotReceived(address);
  }
  void addWhitelistIP(const std::string& address) override { whitelist_.addWhitelistIP(address); }

  // Settings, applied before run().
  void setMaxConnectionsPerIp(int limit) { admission_.setMaxConnectionsPerIp(limit); }
  void setMaxConnections(size_t limit) { admission_.setMaxConnections(limit); }
  void setWhitelistOnly(bool on) { admission_.setWhitelistOnly(on); }
  void setWhitelistFileName(const std::string& name) { whitelist_.setFileName(name); }
  // Whether run() installs the SIGINT/SIGTERM handler (in-process tests turn it off).
  void setInstallSignalHandlers(bool on) { installSignals_ = on; }

  // The port actually bound (useful with port 0); 0 before listening.
  int boundPort() const { return boundPort_.load(); }
  // Open customer connections (for tests and the status report).
  size_t connectionCount() const { return connectionCount_.load(); }

 protected:
  // Called with each customer session the listener is about to forget.
  virtual void onDownstreamSessionRemoved(SessionT* /*session*/) {}

  ConnectionAdmission& admission() { return admission_; }
  IPWhitelist& whitelist() { return whitelist_; }

 private:
  static uint64_t steadyMicros() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
  }

  // A thousand customers need more descriptors than the usual soft limit
  // of 1024 leaves beside the process's own files; take what is allowed.
  static void raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
      limit.rlim_cur = limit.rlim_max;
      setrlimit(RLIMIT_NOFILE, &limit);
    }
  }

  void acceptConnections();
  void admit(int fd, const sockaddr_in& peer);
  void closeSession(int fd, const char* function, bool forced);
  void periodicPass(uint64_t now, bool deliver, const char* function);
  void rebuildReceiverGroups();
  void rebuildPollSet();
  void closeEverything();

  struct GroupMember {
    uint64_t order;  // last deliver time; 0 = never
    int fd;
  };

  ConnectionAdmission admission_;
  IPWhitelist whitelist_;
  std::atomic<bool> ownStopFlag_{false};
  std::atomic<bool>* stopFlag_ = &ownStopFlag_;
  bool installSignals_ = true;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<int> boundPort_{0};

  // Loop thread only.
  std::vector<std::unique_ptr<SessionT>> sessions_;  // indexed by descriptor
  std::map<int, std::string> fdAddress_;             // open connections; ordered by descriptor
  std::unordered_map<std::string, int> addressConnections_;
  int maxFd_ = -1;
  std::vector<pollfd> pollSet_;
  bool pollSetDirty_ = true;
  std::map<std::string, std::vector<GroupMember>> receiverGroups_;
  uint64_t groupsBuiltAt_ = 0;
  bool groupsBuilt_ = false;
  std::atomic<size_t> connectionCount_{0};
};

template <typename SessionT, typename AdminSessionT>
int SMPPServer<SessionT, AdminSessionT>::dolisten(int port) {
  int fd = openBoundSocket(port);
  if (fd < 0) return -1;
  int r = listen(fd, kListenBacklog);
  logMessage(LOG_INFO, this, "SMPPServer", "dolisten", "r=%d listensockfd=%d", r, fd);
  if (r < 0) {
    close(fd);
    return -1;
  }
  boundPort_.store(boundPortOf(fd));
  return fd;
}

template <typename SessionT, typename AdminSessionT>
int SMPPServer<SessionT, AdminSessionT>::run(int smppPort, int /*adminPort*/, bool periodic) {
  if (installSignals_) installStopSignals(stopFlag_);
  raiseDescriptorLimit();
  if (listenFd_ < 0) port_ = smppPort;
  if (listenFd_ < 0 && smppPort != 0) listenFd_ = dolisten(smppPort);
  if (listenFd_ >= 0 || smppPort != 0) {
    if (listenFd_ < 0) {
      perror("Failed to listen on SMPP port");
      return -1;
    }
    logMessage(LOG_INFO, this, "SMPPServer", "run",
               "Listening for SMPP on port %d (listensockfdSMPP=%d)", port_, listenFd_);
    logMessage(LOG_INFO, this, "SMPPServer", "run", "Max connections per IP address: %d",
               admission_.maxConnectionsPerIp());
    loadIPWhitelist();
    for (const auto& entry : whitelist_.entries())
      logMessage(LOG_INFO, this, "SMPPServer", "run", "IP whitelist (do not block): [%s]",
                 entry.c_str());
  }
  pollSetDirty_ = true;

  for (;;) {
    if (pollSetDirty_) rebuildPollSet();
    int ready = ::poll(pollSet_.data(), pollSet_.size(), 1);
    if (ready < 0) {
      int error = errno;
      perror("  poll() failed");
      if (error != EINTR) break;
    } else {
      for (int fd = 0; fd <= maxFd_; ++fd)
        if (sessions_[static_cast<size_t>(fd)]) sessions_[static_cast<size_t>(fd)]->poll();

      if (periodic) periodicPass(wallClockMicros(), true, "run");

      if (ready > 0) {
        // The poll set is rebuilt only at the next pass, so it stays valid
        // while sessions close and connections are accepted here.
        for (const pollfd& p : pollSet_) {
          if (p.revents == 0) continue;
          if (p.fd == listenFd_) {
            acceptConnections();
            continue;
          }
          SessionT* session = p.fd < static_cast<int>(sessions_.size())
                                  ? sessions_[static_cast<size_t>(p.fd)].get()
                                  : nullptr;
          if (session == nullptr) {
            logMessage(LOG_WARNING, this, "SMPPServer", "run",
                       "Descriptor readable but no session - %d", p.fd);
            continue;
          }
          if (session->processInput()) {
            logMessage(LOG_FINE, this, "SMPPServer", "run", "Closing connection - %d", p.fd);
            closeSession(p.fd, "run", false);
          }
        }
      }
    }
    if (stopFlag_->load()) break;
  }

  closeEverything();
  logMessage(LOG_INFO, this, "SMPPServer", "run", "No longer listening on port %d", port_);
  return 0;
}

template <typename SessionT, typename AdminSessionT>
void SMPPServer<SessionT, AdminSessionT>::acceptConnections() {
  for (;;) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &len,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      int error = errno;
      if (error == EAGAIN || error == EWOULDBLOCK) return;
      perror("  accept() failed (SMPP)");
      // Only a broken listening socket ends the daemon. A peer that reset
      // before the accept, a signal, or exhausted descriptors or buffers
      // are the network's or the moment's fault and are survived.
      if (error == EBADF || error == EINVAL || error == ENOTSOCK || error == EFAULT ||
          error == EOPNOTSUPP)
        stopFlag_->store(true);
      return;
    }
    admit(fd, peer);
  }
}

template <typename SessionT, typename AdminSessionT>
void SMPPServer<SessionT, AdminSessionT>::admit(int fd, const sockaddr_in& peer) {
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
  std::string address = text;

  ConnectionAdmission::Request request;
  request.address = address;
  request.fd = fd;
  int waiting = 0;
  if (ioctl(fd, FIONREAD, &waiting) < 0) waiting = 0;
  request.bytesWaiting = waiting;
  request.whitelisted = whitelist_.contains(address, std::chrono::steady_clock::now());
  request.totalConnections = fdAddress_.size();
  auto open = addressConnections_.find(address);
  request.addressConnections = open == addressConnections_.end() ? 0 : open->second;

  if (admission_.decide(request, steadyMicros()) != ConnectionAdmission::Verdict::Accept) {
    close(fd);
    return;
  }
  if (fd >= static_cast<int>(sessions_.size())) {
    logMessage(LOG_WARNING, this, "SMPPServer", "run",
               "Descriptor beyond the session table. REJECTING connection - %d [%s]", fd,
               address.c_str());
    close(fd);
    return;
  }
  ++addressConnections_[address];
  logMessage(LOG_INFO, this, "SMPPServer", "run", "New SMPP connection - %d [%s] [bytes to read=%d]",
             fd, address.c_str(), waiting);
  sessions_[static_cast<size_t>(fd)] =
      std::make_unique<SessionT>(fd, address.c_str(), ntohs(peer.sin_port), this);
  fdAddress_[fd] = address;
  connectionCount_.store(fdAddress_.size());
  if (fd > maxFd_) maxFd_ = fd;
  pollSetDirty_ = true;
}

template <typename SessionT, typename AdminSessionT>
void SMPPServer<SessionT, AdminSessionT>::removeSession(int fd) {
  if (fd < 0 || fd >= static_cast<int>(sessions_.size())) return;
  std::unique_ptr<SessionT>& slot = sessions_[static_cast<size_t>(fd)];
  if (!slot) return;
  onDownstreamSessionRemoved(slot.get());
  auto entry = fdAddress_.find(fd);
  if (entry != fdAddress_.end()) {
    auto count = addressConnections_.find(entry->second);
    if (count != addressConnections_.end() && --count->second <= 0) addressConnections_.erase(count);
    fdAddress_.erase(entry);
  }
  connectionCount_.store(fdAddress_.size());
  slot.reset();
  while (maxFd_ >= 0 && !sessions_[static_cast<size_t>(maxFd_)]) --maxFd_;
  pollSetDirty_ = true;
}

template <typename SessionT, typename AdminSessionT>
void SMPPServer<SessionT, AdminSessionT>::closeSession(int fd, const char* function, bool forced) {
  SessionT* session = sessions_[static_cast<size_t>(fd)].get();
  if (forced)
    logMessage(LOG_INFO, this, "SMPPServer", function,
               "Force close on connection - %d (max_sd=%d) %p (SMPPSession)%p", fd, maxFd_,
               static_cast<void*>(this), static_cast<void*>(session));
  // A connection that ends without ever asking to bind counts towards the
  // no-bind rule, so scanners that connect and wait (or leave) get blocked.
  if (!session->bindRequested()) {
    auto entry = fdAddress_.find(fd);
    if (entry != fdAddress_.end()) notifyEvent_ESMEBindAttemptNotReceived(entry->second);
  }
  removeSession(fd);
  close(fd);
  // Readiness reported earlier in this pass belongs to the closed session.
  for (pollfd& p : pollSet_)
    if (p.fd == fd) p.revents = 0;
}

template <typename SessionT, typename AdminSessionT>
void SMPPServer<SessionT, AdminSessionT>::rebuildReceiverGroups() {
  receiverGroups_.clear();
  for (int fd = 0; fd <= maxFd_; ++fd) {
    SessionT* session = sessions_[static_cast<size_t>(fd)].get();
    if (session == nullptr || !session->receivesDeliveries()) continue;
    const std::string& account = session->deliveryAccount();
    if (account.empty()) continue;
    receiverGroups_[account].push_back(GroupMember{session->lastDeliverTime(), fd});
  }
  for (auto& [account, members] : receiverGroups_)
    std::stable_sort(members.begin(), members.end(),
                     [](const GroupMember& a, const GroupMember& b) { return a.order < b.order; });
}

template <typename SessionT, typename AdminSessionT>
void SMPPServer<SessionT, AdminSessionT>::periodicPass(uint64_t now, bool deliver,
                                                       const char* function) {
  for (int round = 0; round < kMaxDeliverRounds; ++round) {
    bool again = false;
    if (deliver) {
      if (!groupsBuilt_ || now - groupsBuiltAt_ >= kReceiverGroupRebuildMicros || now < groupsBuiltAt_) {
        rebuildReceiverGroups();
        groupsBuiltAt_ = now;
        groupsBuilt_ = true;
      }
      for (auto& [account, members] : receiverGroups_) {
        // Members whose session closed since the last rebuild drop out here.
        while (!members.empty() && !sessions_[static_cast<size_t>(members.front().fd)])
          members.erase(members.begin());
        if (members.empty()) continue;
        int fd = members.front().fd;
        bool delivered = false;
        if (sessions_[static_cast<size_t>(fd)]->deliverQueued(now, again, delivered)) {
          members.erase(members.begin());
          closeSession(fd, function, true);
          continue;
        }
        if (delivered) {
          GroupMember moved{now, fd};
          members.erase(members.begin());
          members.push_back(moved);
        }
      }
    }
    for (int fd = 0; fd <= maxFd_; ++fd) {
      SessionT* session = sessions_[static_cast<size_t>(fd)].get();
      if (session != nullptr && session->timedCheck(now)) closeSession(fd, function, true);
    }
    if (!again) return;
    now = wallClockMicros();
  }
}

template <typename SessionT, typename AdminSessionT>
void SMPPServer<SessionT, AdminSessionT>::rebuildPollSet() {
  pollSet_.clear();
  if (listenFd_ >= 0) pollSet_.push_back(pollfd{listenFd_, POLLIN, 0});
  for (const auto& [fd, address] : fdAddress_) pollSet_.push_back(pollfd{fd, POLLIN, 0});
  pollSetDirty_ = false;
}

template <typename SessionT, typename AdminSessionT>
void SMPPServer<SessionT, AdminSessionT>::closeEverything() {
  if (listenFd_ >= 0) {
    close(listenFd_);
    listenFd_ = -1;
  }
  for (int fd = 0; fd <= maxFd_; ++fd) {
    if (!sessions_[static_cast<size_t>(fd)]) continue;
    removeSession(fd);
    close(fd);
  }
  maxFd_ = -1;
}
