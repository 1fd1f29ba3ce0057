#include "downstream/smpp_server.h"

#include <fcntl.h>
#include <poll.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/loopback.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

// What the probe sessions share with the test: deliver_sm stand-ins queued
// per account, and the descriptors of sessions that ended.
struct ProbeWorld {
  std::mutex mutex;
  std::map<std::string, std::deque<std::string>> queues;  // guarded by mutex
  int destroyed = 0;                                      // guarded by mutex
};
ProbeWorld world;

// A session that speaks a line protocol instead of SMPP, so the listener can
// be tested alone: "bind <account>" makes it a receiving session of that
// account, "close" asks to be closed, "expire" makes its next timed check
// ask to be closed. Queued items are written as "<item>\n".
class ProbeSession {
 public:
  static std::shared_ptr<ProbeSession> create(int fd, const char*, int, EntityControlMaster*) {
    return std::make_shared<ProbeSession>(fd);
  }
  explicit ProbeSession(int fd) : fd_(fd), id_(++lastId) {}
  ~ProbeSession() {
    closeConnection();
    std::lock_guard<std::mutex> lock(world.mutex);
    ++world.destroyed;
  }

  uint64_t sessionId() const { return id_; }
  bool inputPending() const { return false; }
  uint64_t nextCheckDue(uint64_t now) const { return expire_ ? now : now + 1000000; }
  bool flushOutput() { return true; }
  size_t pendingOutputBytes() const { return 0; }
  void closeConnection() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

  bool processInputAt(uint64_t /*now*/) {
    char buf[4096];
    for (;;) {
      ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
      if (n == 0) return true;
      if (n < 0) return errno != EAGAIN && errno != EWOULDBLOCK;
      input_.append(buf, static_cast<size_t>(n));
      size_t eol;
      while ((eol = input_.find('\n')) != std::string::npos) {
        std::string line = input_.substr(0, eol);
        input_.erase(0, eol + 1);
        if (line.rfind("bind ", 0) == 0) {
          account_ = line.substr(5);
          bindRequested_ = true;
          send(fd_, "bound\n", 6, MSG_NOSIGNAL);
        } else if (line == "close") {
          return true;
        } else if (line == "expire") {
          expire_ = true;
        }
      }
    }
  }
  bool timedCheck(uint64_t /*now*/) { return expire_; }
  int poll() { return 0; }
  bool deliverQueued(uint64_t now, bool& again, bool& delivered) {
    std::string item;
    {
      std::lock_guard<std::mutex> lock(world.mutex);
      auto& queue = world.queues[account_];
      if (queue.empty()) return false;
      item = queue.front();
      queue.pop_front();
    }
    item += "\n";
    send(fd_, item.data(), item.size(), MSG_NOSIGNAL);
    lastDeliver_ = now;
    again = delivered = true;
    return false;
  }
  bool receivesDeliveries() const { return !account_.empty(); }
  const std::string& deliveryAccount() const { return account_; }
  uint64_t lastDeliverTime() const { return lastDeliver_; }
  bool bindRequested() const { return bindRequested_; }

 private:
  static inline uint64_t lastId = 0;
  int fd_;
  const uint64_t id_;
  std::string input_;
  std::string account_;
  bool bindRequested_ = false;
  bool expire_ = false;
  uint64_t lastDeliver_ = 0;
};

using ProbeServer = SMPPServer<ProbeSession, ProbeSession>;

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5s) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(2ms);
  }
  return condition();
}

std::string readLine(int fd, std::chrono::milliseconds timeout = 5s) {
  std::string line;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    std::string c = readExactly(fd, 1, 200ms);
    if (c.empty()) continue;
    if (c == "\n") return line;
    line += c;
  }
  return line;
}

// True when the server closed the connection (without sending anything).
bool closedByServer(int fd, std::chrono::milliseconds timeout = 5s) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return false;
  char c;
  ssize_t n = recv(fd, &c, 1, 0);
  return n == 0 || (n < 0 && errno == ECONNRESET);
}

// The server's loop on its own thread, stopped and joined at the end.
class RunningServer {
 public:
  explicit RunningServer(size_t slots = ProbeServer::kSessionSlots,
                         const std::function<void(ProbeServer&)>& configure = {},
                         bool startLoop = true)
      : server_(slots) {
    server_.setInstallSignalHandlers(false);
    if (configure) configure(server_);
    EXPECT_TRUE(server_.listenEarly(0));
    if (startLoop) start();
  }
  ~RunningServer() { stop(); }
  void start() {
    thread_ = std::thread([this] { result_ = server_.run(server_.boundPort(), 0, true); });
  }
  void stop() {
    server_.requestStop();
    if (thread_.joinable()) thread_.join();
  }
  int port() const { return server_.boundPort(); }
  ProbeServer& server() { return server_; }
  int result() const { return result_; }

 private:
  ProbeServer server_;
  std::thread thread_;
  int result_ = -2;
};

struct Connection {
  int fd;
  explicit Connection(int port, const std::string& from = "") : fd(connectTcp("127.0.0.1", port, from)) {}
  ~Connection() {
    if (fd >= 0) close(fd);
  }
};

class SMPPServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::lock_guard<std::mutex> lock(world.mutex);
    world.queues.clear();
    world.destroyed = 0;
  }
};

TEST_F(SMPPServerTest, AcceptedConnectionIsServedAndClosedOnRequest) {
  testing::internal::CaptureStdout();
  RunningServer running;
  {
    Connection c(running.port(), "127.0.0.2");
    ASSERT_GE(c.fd, 0);
    ASSERT_TRUE(writeAll(c.fd, "bind acme\n"));
    EXPECT_EQ(readLine(c.fd), "bound");
    EXPECT_EQ(running.server().connectionCount(), 1u);
    ASSERT_TRUE(writeAll(c.fd, "close\n"));
    EXPECT_TRUE(closedByServer(c.fd));
  }
  EXPECT_TRUE(waitFor([&] { return running.server().connectionCount() == 0; }));
  running.stop();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("New SMPP connection - "), std::string::npos);
  EXPECT_NE(out.find("[127.0.0.2] [bytes to read="), std::string::npos);
  EXPECT_NE(out.find("No longer listening on port " + std::to_string(running.port())),
            std::string::npos);
  EXPECT_EQ(running.result(), 0);
}

TEST_F(SMPPServerTest, ConnectionsBeyondThePerAddressLimitAreDenied) {
  testing::internal::CaptureStdout();
  RunningServer running(ProbeServer::kSessionSlots, [](ProbeServer& s) { s.setMaxConnectionsPerIp(3); });
  std::vector<std::unique_ptr<Connection>> open;
  for (int i = 0; i < 3; ++i) open.push_back(std::make_unique<Connection>(running.port(), "127.0.0.4"));
  ASSERT_TRUE(waitFor([&] { return running.server().connectionCount() == 3; }));
  Connection fourth(running.port(), "127.0.0.4");
  EXPECT_TRUE(closedByServer(fourth.fd));
  Connection other(running.port(), "127.0.0.5");
  EXPECT_TRUE(waitFor([&] { return running.server().connectionCount() == 4; }));
  // A freed place admits the next connection.
  open.pop_back();
  ASSERT_TRUE(waitFor([&] { return running.server().connectionCount() == 3; }));
  Connection again(running.port(), "127.0.0.4");
  EXPECT_TRUE(waitFor([&] { return running.server().connectionCount() == 4; }));
  running.stop();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("DENYING connection - "), std::string::npos);
  EXPECT_NE(out.find("[127.0.0.4]"), std::string::npos);
}

TEST_F(SMPPServerTest, TotalLimitRejectsTheNextConnection) {
  testing::internal::CaptureStdout();
  RunningServer running(ProbeServer::kSessionSlots, [](ProbeServer& s) { s.setMaxConnections(2); });
  Connection a(running.port(), "127.0.0.6");
  Connection b(running.port(), "127.0.0.7");
  ASSERT_TRUE(waitFor([&] { return running.server().connectionCount() == 2; }));
  Connection c(running.port(), "127.0.0.8");
  EXPECT_TRUE(closedByServer(c.fd));
  running.stop();
  EXPECT_NE(testing::internal::GetCapturedStdout().find(
                "Client connection limit reached. REJECTING connection - "),
            std::string::npos);
}

TEST_F(SMPPServerTest, BytesSentBeforeAnyExchangeBlockTheAddress) {
  testing::internal::CaptureStdout();
  RunningServer running(ProbeServer::kSessionSlots, {}, false);
  Connection eager(running.port(), "127.0.0.10");
  ASSERT_TRUE(writeAll(eager.fd, std::string(400, 'x')));
  // The connection and its bytes wait in the kernel until the loop starts.
  std::this_thread::sleep_for(20ms);
  running.start();
  EXPECT_TRUE(closedByServer(eager.fd));
  Connection next(running.port(), "127.0.0.10");
  EXPECT_TRUE(closedByServer(next.fd));
  running.stop();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Connection IP blocked due to excessive number of bytes [127.0.0.10] "
                     "[byte to read=400]"),
            std::string::npos);
}

TEST_F(SMPPServerTest, ThreeConnectionsEndingWithoutBindBlockTheFourth) {
  testing::internal::CaptureStdout();
  RunningServer running;
  for (int i = 0; i < 3; ++i) {
    Connection c(running.port(), "127.0.0.11");
    ASSERT_TRUE(waitFor([&] { return running.server().connectionCount() == 1; }));
    ASSERT_TRUE(writeAll(c.fd, "close\n"));
    EXPECT_TRUE(closedByServer(c.fd));
    ASSERT_TRUE(waitFor([&] { return running.server().connectionCount() == 0; }));
  }
  Connection fourth(running.port(), "127.0.0.11");
  EXPECT_TRUE(closedByServer(fourth.fd));
  // A connection that did bind is not counted against its address.
  Connection bound(running.port(), "127.0.0.12");
  ASSERT_TRUE(writeAll(bound.fd, "bind acme\nclose\n"));
  EXPECT_EQ(readLine(bound.fd), "bound");
  EXPECT_TRUE(closedByServer(bound.fd));
  running.stop();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("IP 127.0.0.11 count=3"), std::string::npos);
  EXPECT_EQ(out.find("IP 127.0.0.12 count="), std::string::npos);
  EXPECT_NE(out.find("Connection IP blocked due to no bind request for 3 connection attempts "
                     "[127.0.0.11]"),
            std::string::npos);
}

TEST_F(SMPPServerTest, WhitelistOnlyRefusesAddressesOutsideTheFile) {
  char dirTemplate[] = "/tmp/pelliro-wl-XXXXXX";
  ASSERT_NE(mkdtemp(dirTemplate), nullptr);
  std::string file = std::string(dirTemplate) + "/ipwhitelist.conf";
  FILE* f = fopen(file.c_str(), "w");
  fputs("127.0.0.13\n", f);
  fclose(f);
  testing::internal::CaptureStdout();
  {
    RunningServer running(ProbeServer::kSessionSlots, [&](ProbeServer& s) {
      s.setWhitelistOnly(true);
      s.setWhitelistFileName(file);
    });
    Connection listed(running.port(), "127.0.0.13");
    ASSERT_TRUE(writeAll(listed.fd, "bind a\n"));
    EXPECT_EQ(readLine(listed.fd), "bound");
    Connection outsider(running.port(), "127.0.0.14");
    EXPECT_TRUE(closedByServer(outsider.fd));
  }
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("IP whitelist (do not block): [127.0.0.13]"), std::string::npos);
  EXPECT_NE(out.find("Connection from whitelisted IP - do not block [127.0.0.13]"), std::string::npos);
  EXPECT_NE(out.find("IP not in whitelist. REJECTING connection - "), std::string::npos);
  EXPECT_NE(out.find("[127.0.0.14]"), std::string::npos);
  unlink(file.c_str());
  rmdir(dirTemplate);
}

TEST_F(SMPPServerTest, DescriptorBeyondTheSessionTableIsRefusedAndNeverRegistered) {
  // Occupy the low descriptors so that the accepted one lands past a small table.
  std::vector<int> filler;
  for (int i = 0; i < 40; ++i) filler.push_back(open("/dev/null", O_RDONLY));
  testing::internal::CaptureStdout();
  {
    RunningServer running(16);
    Connection c(running.port(), "127.0.0.15");
    EXPECT_TRUE(closedByServer(c.fd));
    EXPECT_EQ(running.server().connectionCount(), 0u);
  }
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("WARNING SMPPServer::run Descriptor beyond the session table. REJECTING "
                     "connection - "),
            std::string::npos);
  for (int fd : filler) close(fd);
  std::lock_guard<std::mutex> lock(world.mutex);
  EXPECT_EQ(world.destroyed, 0);
}

TEST_F(SMPPServerTest, TimedCheckThatAsksToCloseForcesTheConnectionClosed) {
  testing::internal::CaptureStdout();
  RunningServer running;
  Connection c(running.port(), "127.0.0.16");
  ASSERT_TRUE(writeAll(c.fd, "bind a\n"));
  EXPECT_EQ(readLine(c.fd), "bound");
  ASSERT_TRUE(writeAll(c.fd, "expire\n"));
  EXPECT_TRUE(closedByServer(c.fd));
  running.stop();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("SMPPServer::run Force close on connection - "), std::string::npos);
}

TEST_F(SMPPServerTest, ReceivingSessionsOfOneAccountTakeQueuedItemsInTurn) {
  testing::internal::CaptureStdout();
  RunningServer running;
  Connection first(running.port(), "127.0.0.17");
  ASSERT_TRUE(writeAll(first.fd, "bind acme\n"));
  EXPECT_EQ(readLine(first.fd), "bound");
  Connection second(running.port(), "127.0.0.17");
  ASSERT_TRUE(writeAll(second.fd, "bind acme\n"));
  EXPECT_EQ(readLine(second.fd), "bound");
  Connection otherAccount(running.port(), "127.0.0.17");
  ASSERT_TRUE(writeAll(otherAccount.fd, "bind beta\n"));
  EXPECT_EQ(readLine(otherAccount.fd), "bound");
  // Wait for a receiver-group rebuild that sees all three.
  std::this_thread::sleep_for(300ms);
  {
    std::lock_guard<std::mutex> lock(world.mutex);
    world.queues["acme"] = {"r1", "r2", "r3", "r4"};
    world.queues["beta"] = {"b1"};
  }
  running.server().wake();
  std::vector<std::string> a{readLine(first.fd), readLine(first.fd)};
  std::vector<std::string> b{readLine(second.fd), readLine(second.fd)};
  EXPECT_EQ(a, (std::vector<std::string>{"r1", "r3"}));
  EXPECT_EQ(b, (std::vector<std::string>{"r2", "r4"}));
  EXPECT_EQ(readLine(otherAccount.fd), "b1");
  running.stop();
  testing::internal::GetCapturedStdout();
}

TEST_F(SMPPServerTest, StopClosesEverySessionAndTheListener) {
  testing::internal::CaptureStdout();
  RunningServer running;
  int port = running.port();
  Connection a(port, "127.0.0.18");
  Connection b(port, "127.0.0.19");
  ASSERT_TRUE(waitFor([&] { return running.server().connectionCount() == 2; }));
  running.stop();
  EXPECT_TRUE(closedByServer(a.fd));
  EXPECT_TRUE(closedByServer(b.fd));
  EXPECT_LT(connectTcp("127.0.0.1", port), 0);
  testing::internal::GetCapturedStdout();
  std::lock_guard<std::mutex> lock(world.mutex);
  EXPECT_EQ(world.destroyed, 2);
}

TEST_F(SMPPServerTest, ListeningOnAPortInUseFails) {
  RunningServer holder;
  ProbeServer second;
  second.setInstallSignalHandlers(false);
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  EXPECT_EQ(second.run(holder.port(), 0, true), -1);
  testing::internal::GetCapturedStdout();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("ERROR on binding"), std::string::npos);
  EXPECT_NE(err.find("Failed to listen on SMPP port"), std::string::npos);
}

}  // namespace
