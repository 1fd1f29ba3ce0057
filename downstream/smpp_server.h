#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
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
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/listening_socket.h"
#include "base/loop_waker.h"
#include "base/log.h"
#include "base/poller.h"
#include "base/stop_signals.h"
#include "base/timer_queue.h"
#include "base/wall_clock.h"
#include "downstream/connection_admission.h"
#include "downstream/entity_control_master.h"
#include "downstream/ip_whitelist.h"
#include "smpp/send_batch.h"

// The customer-facing listener: one loop on one thread that accepts SMPP
// connections, decides before reading a byte whether to keep each one
// (ConnectionAdmission, IPWhitelist), feeds readable sessions to their
// processInput, runs each session's timedCheck when it is due, and offers
// queued deliver_sm traffic to one receiving session per customer account
// at a time, least recently used first.
//
// A pass costs in proportion to what is ready or due, not to how many
// sessions exist: readiness comes from epoll, session checks from a timer
// queue ordered by due time, and work handed over by other threads (bind
// verdicts, queued output, later lookups and receipts) from a wake-up
// descriptor in the poll set. One session gets a bounded share of a pass
// (its processInput budget); a session with PDUs still buffered is served
// again at the next pass without waiting for new bytes, and output the
// kernel could not take is flushed when epoll reports the socket writable.
//
// Generic over the customer session type and the administration-session
// type (the daemon opens no administration port, so the latter is unused).
// A session type provides:
//   static std::shared_ptr<SessionT> create(int fd, const char* ip, int port,
//                                           EntityControlMaster* master);
//                                             // owns fd and closes it
//   uint64_t sessionId() const;
//   bool processInputAt(uint64_t now);        // true: close it
//   bool inputPending() const;                // buffered PDUs wait
//   bool timedCheck(uint64_t nowMicros);      // true: close it
//   uint64_t nextCheckDue(uint64_t now) const;  // when timedCheck is next due
//   int poll();
//   bool deliverQueued(uint64_t now, bool& again, bool& delivered);  // true: close it
//   bool flushOutput();                       // false: the connection failed
//   size_t pendingOutputBytes() const;
//   void closeConnection();                   // closes the descriptor
//   bool receivesDeliveries() const;          // bound as receiver or transceiver
//   const std::string& deliveryAccount() const;  // bound system id
//   uint64_t lastDeliverTime() const;         // 0 when it never sent a deliver_sm
//   bool bindRequested() const;               // a bind request ever arrived
//
// The loop, the session table and everything reached from run() belong to
// the thread that calls run(). requestStop() is async-signal-safe and safe
// from any thread, like wake() and requestTimedCheck(); the other
// EntityControlMaster operations document their own threads. Sessions are
// held by shared ownership, so a thread that locked a weak reference keeps
// its session alive after the loop has closed it.
template <typename SessionT, typename AdminSessionT>
class SMPPServer : public EntityControlMaster {
 public:
  static constexpr size_t kSessionSlots = 32000;
  static constexpr size_t kDefaultMaxConnections = 1000;
  static constexpr int kListenBacklog = 64;
  static constexpr uint64_t kReceiverGroupRebuildMicros = 250000;
  // Bound on the repeated deliver passes of one loop pass, so that a long
  // queue of deliver_sm never keeps the loop from reading its sockets.
  static constexpr int kMaxDeliverRounds = 64;
  // Session checks are rounded up to this grid so that timers close in
  // time share one wake-up.
  static constexpr uint64_t kTimerGrainMicros = 10000;
  using Clock = uint64_t (*)();

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

  // Forgets the session on `fd` and closes its connection.
  void removeSession(int fd);

  // Reads the whitelist file again if its reload interval has passed.
  void loadIPWhitelist() { whitelist_.loadIPWhitelist(std::chrono::steady_clock::now()); }

  void requestStop() {
    stopFlag_->store(true);
    waker_.wakeFromSignal();
  }
  bool stopRequested() const { return stopFlag_->load(); }
  // Makes the loop obey `flag` (set by a signal handler the caller
  // installed) instead of installing its own handler. Call before run().
  void useStopFlag(std::atomic<bool>* flag) {
    stopFlag_ = flag;
    installSignals_ = false;
  }
  // Runs a pass now (for example when deliver_sm traffic was queued). Any thread.
  void wake() { waker_.wake(); }

  void triggerTimedCheck() override;
  void notifyEvent_ESMEBindAttemptNotReceived(const std::string& address) override {
    admission_.notifyBindAttemptNotReceived(address);
  }
  void addWhitelistIP(const std::string& address) override { whitelist_.addWhitelistIP(address); }
  void requestTimedCheck(uint64_t sessionId) override { waker_.post(sessionId); }

  // Settings, applied before run().
  void setMaxConnectionsPerIp(int limit) { admission_.setMaxConnectionsPerIp(limit); }
  void setMaxConnections(size_t limit) { admission_.setMaxConnections(limit); }
  void setWhitelistOnly(bool on) { admission_.setWhitelistOnly(on); }
  void setWhitelistFileName(const std::string& name) { whitelist_.setFileName(name); }
  // Whether run() installs the SIGINT/SIGTERM handler (in-process tests turn it off).
  void setInstallSignalHandlers(bool on) { installSignals_ = on; }
  // Called on the loop's thread once the SMPP port accepts connections,
  // before the first pass (the daemon tells the service manager it is ready).
  void setOnListening(std::function<void()> hook) { onListening_ = std::move(hook); }
  // The clock of session times (tests drive it; wake() makes the loop look).
  void setClock(Clock clock) { clock_ = clock; }

  // The port actually bound (useful with port 0); 0 before listening.
  int boundPort() const { return boundPort_.load(); }
  // Open customer connections (for tests and the status report).
  size_t connectionCount() const { return connectionCount_.load(); }
  // Loop passes so far (benchmarks read it to show how often the loop woke).
  uint64_t passCount() const { return passes_.load(std::memory_order_relaxed); }

 protected:
  // Called with each customer session the listener is about to forget.
  virtual void onDownstreamSessionRemoved(SessionT* /*session*/) {}

  ConnectionAdmission& admission() { return admission_; }
  IPWhitelist& whitelist() { return whitelist_; }

 private:
  struct Slot {
    std::shared_ptr<SessionT> session;
    bool watchingWrite = false;
    bool queuedReady = false;
  };

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

  SessionT* sessionAt(int fd) const {
    return fd >= 0 && fd < static_cast<int>(sessions_.size())
               ? sessions_[static_cast<size_t>(fd)].session.get()
               : nullptr;
  }
  void acceptConnections();
  void admit(int fd, const sockaddr_in& peer);
  void closeSession(int fd, const char* function, bool forced);
  // Input of one session within its budget; true when it was closed.
  bool serveInput(int fd, uint64_t now, const char* function);
  // The timed check of one session; true when it was closed.
  bool checkSession(int fd, uint64_t now, const char* function);
  // After a session was served: its next check, whether it waits to be
  // written to, and whether buffered input brings it back next pass.
  void settle(int fd, uint64_t now);
  void handOvers(uint64_t now);
  void periodicPass(uint64_t now, bool deliver, const char* function);
  void deliverRound(uint64_t now, bool& again, const char* function);
  void rebuildReceiverGroups();
  int waitMillis(uint64_t now, bool periodic) const;
  void closeEverything();

  struct GroupMember {
    uint64_t order;  // last deliver time; 0 = never
    int fd;
    uint64_t sessionId;  // the descriptor may be another session's by now
  };
  bool isMember(const GroupMember& member) const;

  ConnectionAdmission admission_;
  IPWhitelist whitelist_;
  std::atomic<bool> ownStopFlag_{false};
  std::atomic<bool>* stopFlag_ = &ownStopFlag_;
  bool installSignals_ = true;
  std::function<void()> onListening_;
  Clock clock_ = wallClockMicros;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<int> boundPort_{0};
  LoopWaker waker_;

  // Loop thread only.
  Poller poller_;
  TimerQueue timers_;                                // key: descriptor
  std::vector<Slot> sessions_;                       // indexed by descriptor
  std::unordered_map<uint64_t, int> fdOfSession_;    // session id -> descriptor
  std::map<int, std::string> fdAddress_;             // open connections; ordered by descriptor
  std::unordered_map<std::string, int> addressConnections_;
  std::vector<int> ready_;                           // sessions with buffered input
  std::vector<Poller::Event> events_;
  std::vector<uint64_t> due_;
  std::vector<uint64_t> woken_;
  std::vector<uint64_t> closedInPass_;               // per descriptor: pass that closed it
  uint64_t pass_ = 0;
  int maxFd_ = -1;
  std::map<std::string, std::vector<GroupMember>> receiverGroups_;
  uint64_t groupsBuiltAt_ = 0;
  bool groupsBuilt_ = false;
  std::atomic<size_t> connectionCount_{0};
  std::atomic<uint64_t> passes_{0};
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
  setStopWakeDescriptor(waker_.descriptor());
  raiseDescriptorLimit();
  if (listenFd_ < 0) port_ = smppPort;
  if (listenFd_ < 0 && smppPort != 0) listenFd_ = dolisten(smppPort);
  if (listenFd_ >= 0 || smppPort != 0) {
    if (listenFd_ < 0) {
      perror("Failed to listen on SMPP port");
      setStopWakeDescriptor(-1);
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
  if (listenFd_ >= 0) poller_.add(listenFd_);
  poller_.add(waker_.descriptor());
  closedInPass_.assign(sessions_.size(), 0);
  if (listenFd_ >= 0 && onListening_) onListening_();

  // What a pass sends (responses, receipts, submits to SMSCs) leaves in one
  // write per connection, just before the loop sleeps.
  SendBatch batch;
  while (!stopFlag_->load()) {
    batch.flush();
    const int ready = poller_.wait(waitMillis(clock_(), periodic), events_);
    ++pass_;
    passes_.store(pass_, std::memory_order_relaxed);
    if (ready < 0) {
      int error = errno;
      if (error != EINTR) {
        perror("  poll() failed");
        break;
      }
      continue;
    }
    uint64_t now = clock_();
    std::vector<int> carried;
    carried.swap(ready_);
    for (const Poller::Event& e : events_) {
      if (e.fd == waker_.descriptor()) handOvers(now);
    }
    if (periodic) periodicPass(now, true, "run");

    for (const Poller::Event& e : events_) {
      if (e.fd == waker_.descriptor()) continue;
      if (e.fd == listenFd_) {
        acceptConnections();
        continue;
      }
      // Readiness reported before the session closed in this pass is not
      // the next session's on that descriptor.
      if (e.fd >= 0 && e.fd < static_cast<int>(closedInPass_.size()) &&
          closedInPass_[static_cast<size_t>(e.fd)] == pass_)
        continue;
      SessionT* session = sessionAt(e.fd);
      if (session == nullptr) {
        logMessage(LOG_WARNING, this, "SMPPServer", "run", "Descriptor readable but no session - %d",
                   e.fd);
        poller_.remove(e.fd);
        continue;
      }
      session->poll();
      if (e.writable && !session->flushOutput()) {
        logMessage(LOG_FINE, this, "SMPPServer", "run", "Closing connection - %d", e.fd);
        closeSession(e.fd, "run", false);
        continue;
      }
      if ((e.readable || e.hangup) && serveInput(e.fd, now, "run")) continue;
      settle(e.fd, now);
    }
    for (int fd : carried) {
      Slot& slot = sessions_[static_cast<size_t>(fd)];
      if (!slot.session || !slot.queuedReady) continue;
      slot.queuedReady = false;
      if (serveInput(fd, now, "run")) continue;
      settle(fd, now);
    }
  }

  closeEverything();
  setStopWakeDescriptor(-1);
  logMessage(LOG_INFO, this, "SMPPServer", "run", "No longer listening on port %d", port_);
  return 0;
}

template <typename SessionT, typename AdminSessionT>
int SMPPServer<SessionT, AdminSessionT>::waitMillis(uint64_t now, bool periodic) const {
  if (!ready_.empty()) return 0;
  uint64_t due = TimerQueue::kNever;
  if (periodic) {
    due = timers_.nextDue();
    if (!fdAddress_.empty()) due = std::min(due, groupsBuiltAt_ + kReceiverGroupRebuildMicros);
  }
  // A bound on the sleep keeps a stop flag set without a signal (and a
  // stepped wall clock) from going unseen for long.
  constexpr uint64_t kLongestSleepMicros = 1000000;
  if (due == TimerQueue::kNever || due > now + kLongestSleepMicros) due = now + kLongestSleepMicros;
  if (due <= now) return 0;
  return static_cast<int>((due - now + 999) / 1000);
}

template <typename SessionT, typename AdminSessionT>
void SMPPServer<SessionT, AdminSessionT>::handOvers(uint64_t now) {
  woken_.clear();
  waker_.take(woken_);
  for (uint64_t id : woken_) {
    auto it = fdOfSession_.find(id);
    if (it == fdOfSession_.end()) continue;
    const int fd = it->second;
    if (checkSession(fd, now, "run")) continue;
    settle(fd, now);
  }
}

template <typename SessionT, typename AdminSessionT>
bool SMPPServer<SessionT, AdminSessionT>::serveInput(int fd, uint64_t now, const char* function) {
  SessionT* session = sessionAt(fd);
  if (session->processInputAt(now)) {
    logMessage(LOG_FINE, this, "SMPPServer", function, "Closing connection - %d", fd);
    closeSession(fd, function, false);
    return true;
  }
  return false;
}

template <typename SessionT, typename AdminSessionT>
bool SMPPServer<SessionT, AdminSessionT>::checkSession(int fd, uint64_t now, const char* function) {
  SessionT* session = sessionAt(fd);
  if (session == nullptr) return true;
  if (session->timedCheck(now)) {
    closeSession(fd, function, true);
    return true;
  }
  return false;
}

template <typename SessionT, typename AdminSessionT>
void SMPPServer<SessionT, AdminSessionT>::settle(int fd, uint64_t now) {
  Slot& slot = sessions_[static_cast<size_t>(fd)];
  if (!slot.session) return;
  uint64_t due = slot.session->nextCheckDue(now);
  if (due > now) due = (due + kTimerGrainMicros - 1) / kTimerGrainMicros * kTimerGrainMicros;
  timers_.schedule(static_cast<uint64_t>(fd), due);
  const bool wantWrite = slot.session->pendingOutputBytes() > 0;
  if (wantWrite != slot.watchingWrite) {
    poller_.setWritable(fd, wantWrite);
    slot.watchingWrite = wantWrite;
  }
  if (!slot.queuedReady && slot.session->inputPending()) {
    slot.queuedReady = true;
    ready_.push_back(fd);
  }
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
    setNoDelay(fd);
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
  if (!poller_.add(fd)) {
    logMessage(LOG_WARNING, this, "SMPPServer", "run",
               "Descriptor cannot be watched (errno=%d). REJECTING connection - %d [%s]", errno, fd,
               address.c_str());
    close(fd);
    return;
  }
  ++addressConnections_[address];
  logMessage(LOG_INFO, this, "SMPPServer", "run", "New SMPP connection - %d [%s] [bytes to read=%d]",
             fd, address.c_str(), waiting);
  Slot& slot = sessions_[static_cast<size_t>(fd)];
  slot.session = SessionT::create(fd, address.c_str(), ntohs(peer.sin_port), this);
  slot.watchingWrite = false;
  slot.queuedReady = false;
  fdOfSession_[slot.session->sessionId()] = fd;
  fdAddress_[fd] = address;
  connectionCount_.store(fdAddress_.size());
  if (fd > maxFd_) maxFd_ = fd;
  settle(fd, clock_());
}

template <typename SessionT, typename AdminSessionT>
void SMPPServer<SessionT, AdminSessionT>::removeSession(int fd) {
  if (fd < 0 || fd >= static_cast<int>(sessions_.size())) return;
  Slot& slot = sessions_[static_cast<size_t>(fd)];
  if (!slot.session) return;
  onDownstreamSessionRemoved(slot.session.get());
  auto entry = fdAddress_.find(fd);
  if (entry != fdAddress_.end()) {
    auto count = addressConnections_.find(entry->second);
    if (count != addressConnections_.end() && --count->second <= 0) addressConnections_.erase(count);
    fdAddress_.erase(entry);
  }
  connectionCount_.store(fdAddress_.size());
  fdOfSession_.erase(slot.session->sessionId());
  timers_.cancel(static_cast<uint64_t>(fd));
  // Out of the poll set before the number can be handed out again.
  poller_.remove(fd);
  slot.session->closeConnection();
  slot.session.reset();
  slot.watchingWrite = false;
  slot.queuedReady = false;
  if (static_cast<size_t>(fd) < closedInPass_.size()) closedInPass_[static_cast<size_t>(fd)] = pass_;
  while (maxFd_ >= 0 && !sessions_[static_cast<size_t>(maxFd_)].session) --maxFd_;
}

template <typename SessionT, typename AdminSessionT>
void SMPPServer<SessionT, AdminSessionT>::closeSession(int fd, const char* function, bool forced) {
  SessionT* session = sessionAt(fd);
  if (session == nullptr) return;
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
}

template <typename SessionT, typename AdminSessionT>
void SMPPServer<SessionT, AdminSessionT>::rebuildReceiverGroups() {
  receiverGroups_.clear();
  for (const auto& [fd, address] : fdAddress_) {
    SessionT* session = sessionAt(fd);
    if (session == nullptr || !session->receivesDeliveries()) continue;
    const std::string& account = session->deliveryAccount();
    if (account.empty()) continue;
    receiverGroups_[account].push_back(
        GroupMember{session->lastDeliverTime(), fd, session->sessionId()});
  }
  for (auto& [account, members] : receiverGroups_)
    std::stable_sort(members.begin(), members.end(),
                     [](const GroupMember& a, const GroupMember& b) { return a.order < b.order; });
}

template <typename SessionT, typename AdminSessionT>
bool SMPPServer<SessionT, AdminSessionT>::isMember(const GroupMember& member) const {
  const SessionT* session = sessionAt(member.fd);
  return session != nullptr && session->sessionId() == member.sessionId;
}

template <typename SessionT, typename AdminSessionT>
void SMPPServer<SessionT, AdminSessionT>::deliverRound(uint64_t now, bool& again,
                                                       const char* function) {
  if (!groupsBuilt_ || now - groupsBuiltAt_ >= kReceiverGroupRebuildMicros || now < groupsBuiltAt_) {
    rebuildReceiverGroups();
    groupsBuiltAt_ = now;
    groupsBuilt_ = true;
  }
  for (auto& [account, members] : receiverGroups_) {
    // Members whose session closed or unbound since the last rebuild drop
    // out here, so the next receiver is offered the queue at once.
    while (!members.empty() && (!isMember(members.front()) ||
                                !sessionAt(members.front().fd)->receivesDeliveries()))
      members.erase(members.begin());
    if (members.empty()) continue;
    int fd = members.front().fd;
    bool delivered = false;
    if (sessionAt(fd)->deliverQueued(now, again, delivered)) {
      members.erase(members.begin());
      closeSession(fd, function, true);
      continue;
    }
    if (delivered) {
      GroupMember moved{now, fd, members.front().sessionId};
      members.erase(members.begin());
      members.push_back(moved);
      settle(fd, now);
    }
  }
}

template <typename SessionT, typename AdminSessionT>
void SMPPServer<SessionT, AdminSessionT>::periodicPass(uint64_t now, bool deliver,
                                                       const char* function) {
  for (int round = 0; round < kMaxDeliverRounds; ++round) {
    bool again = false;
    if (deliver) deliverRound(now, again, function);
    due_.clear();
    timers_.takeDue(now, due_);
    for (uint64_t key : due_) {
      const int fd = static_cast<int>(key);
      if (checkSession(fd, now, function)) continue;
      settle(fd, now);
    }
    if (!again) return;
    now = clock_();
  }
}

template <typename SessionT, typename AdminSessionT>
void SMPPServer<SessionT, AdminSessionT>::triggerTimedCheck() {
  const uint64_t now = clock_();
  std::vector<int> open;
  for (const auto& [fd, address] : fdAddress_) open.push_back(fd);
  for (int fd : open) {
    if (checkSession(fd, now, "triggerTimedCheck")) continue;
    settle(fd, now);
  }
}

template <typename SessionT, typename AdminSessionT>
void SMPPServer<SessionT, AdminSessionT>::closeEverything() {
  if (listenFd_ >= 0) {
    poller_.remove(listenFd_);
    close(listenFd_);
    listenFd_ = -1;
  }
  std::vector<int> open;
  for (const auto& [fd, address] : fdAddress_) open.push_back(fd);
  for (int fd : open) removeSession(fd);
  maxFd_ = -1;
}
