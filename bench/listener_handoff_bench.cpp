// How long work handed to the listener loop by another thread (a bind
// verdict, a lookup result, queued output) waits before the loop acts on
// it: a worker posts a session's timed check and the session notes when it
// runs. The loop serves 1,000 idle connections meanwhile, so the figure
// includes a real pass, not just the wake-up.

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "downstream/smpp_server.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_dir.h"

namespace {

uint64_t steadyNanos() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

// A session that only notes when its timed check ran after a hand-over.
class HandOffSession {
 public:
  static inline std::mutex createdMutex;
  static inline std::vector<std::weak_ptr<HandOffSession>> created;  // guarded by createdMutex

  static std::shared_ptr<HandOffSession> create(int fd, const char*, int, EntityControlMaster*) {
    auto session = std::make_shared<HandOffSession>(fd);
    std::lock_guard<std::mutex> lock(createdMutex);
    created.push_back(session);
    return session;
  }
  explicit HandOffSession(int fd) : fd_(fd), id_(++lastId) {}
  ~HandOffSession() { closeConnection(); }

  uint64_t sessionId() const { return id_; }
  bool processInputAt(uint64_t) {
    char buf[256];
    return recv(fd_, buf, sizeof buf, MSG_DONTWAIT) == 0;
  }
  bool inputPending() const { return false; }
  bool timedCheck(uint64_t) {
    const uint64_t posted = postedAt.exchange(0);
    if (posted != 0) waited.store(steadyNanos() - posted);
    return false;
  }
  uint64_t nextCheckDue(uint64_t now) const { return now + 1000000; }
  int poll() { return 0; }
  bool deliverQueued(uint64_t, bool&, bool&) { return false; }
  bool flushOutput() { return true; }
  size_t pendingOutputBytes() const { return 0; }
  void closeConnection() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  bool receivesDeliveries() const { return false; }
  const std::string& deliveryAccount() const { return account_; }
  uint64_t lastDeliverTime() const { return 0; }
  bool bindRequested() const { return true; }

  std::atomic<uint64_t> postedAt{0};
  std::atomic<uint64_t> waited{0};

 private:
  static inline std::atomic<uint64_t> lastId{0};
  int fd_;
  const uint64_t id_;
  std::string account_;
};

using HandOffServer = SMPPServer<HandOffSession, HandOffSession>;

void BM_HandOverToTheLoop(benchmark::State& state) {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
  testing_support::TempDir dir;
  dir.write("ipwhitelist.conf", "*\n");
  // The loop's log lines go to the temporary directory, not the checkout.
  struct WorkingDirectory {
    explicit WorkingDirectory(const std::string& path) : previous(getcwd(nullptr, 0)) {
      entered = chdir(path.c_str()) == 0;
    }
    ~WorkingDirectory() {
      if (previous != nullptr && chdir(previous) != 0) perror("chdir");
      free(previous);
    }
    char* previous;
    bool entered = false;
  } inTemporary(dir.path());
  if (!inTemporary.entered) state.SkipWithError("cannot enter the temporary directory");
  HandOffServer server;
  server.setInstallSignalHandlers(false);
  server.setWhitelistFileName(dir.path() + "/ipwhitelist.conf");
  server.setMaxConnectionsPerIp(2000);
  server.setMaxConnections(2000);
  server.listenEarly(0);
  std::thread loop([&] { server.run(server.boundPort(), 0, true); });
  std::vector<int> clients;
  for (int i = 0; i < 1000; ++i)
    clients.push_back(testing_support::connectTcp("127.0.0.1", server.boundPort()));
  std::shared_ptr<HandOffSession> target;
  for (int i = 0; i < 1000 && !target; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::lock_guard<std::mutex> lock(HandOffSession::createdMutex);
    if (HandOffSession::created.size() >= clients.size())
      target = HandOffSession::created.back().lock();
  }
  if (!target) {
    state.SkipWithError("the loop did not accept every connection");
    server.requestStop();
    loop.join();
    return;
  }
  std::vector<double> micros;
  for (auto _ : state) {
    target->waited.store(0);
    target->postedAt.store(steadyNanos());
    server.requestTimedCheck(target->sessionId());
    while (target->waited.load() == 0) {
    }
    micros.push_back(static_cast<double>(target->waited.load()) / 1000.0);
    // Let the loop fall asleep again, as it would between real hand-overs.
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  server.requestStop();
  loop.join();
  for (int fd : clients) close(fd);
  std::sort(micros.begin(), micros.end());
  state.counters["sessions"] = static_cast<double>(clients.size());
  state.counters["handover_median_us"] = micros[micros.size() / 2];
  state.counters["handover_p99_us"] = micros[micros.size() * 99 / 100];
}
BENCHMARK(BM_HandOverToTheLoop)->Iterations(5000)->Unit(benchmark::kMicrosecond);

}  // namespace
