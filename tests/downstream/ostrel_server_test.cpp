// The listener loop with real customer sessions over loopback: the
// admission rules applied to real connections (the rules themselves are
// decided in connection_admission_test.cpp), the session table's bound, the
// stop, and what a flooding peer may and may not do to the others (a peer
// that stops reading is failed by its socket holder's bounded backlog).
// The customer "plain" / "pw" is loaded by ostrel_session_test.cpp.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "admin/metrics.h"
#include "base/wall_clock.h"
#include "downstream/ostrel_server.h"
#include "smpp/pdu.h"
#include "tests/support/loopback.h"
#include "tests/support/smpp_test_client.h"
#include "tests/support/temp_dir.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

using Listener = SMPPServer<OstrelSession, SMPPSessionNull>;

// The loop's clock runs ahead of the wall clock by what the test adds.
std::atomic<uint64_t> clockOffset{0};
uint64_t testClock() { return wallClockMicros() + clockOffset.load(); }

// The loop on its own thread, stopped and joined at the end.
class RunningListener {
 public:
  explicit RunningListener(const std::function<void(Listener&)>& configure = {},
                           size_t slots = Listener::kSessionSlots, bool startLoop = true)
      : listener_(slots) {
    clockOffset = 0;
    listener_.setInstallSignalHandlers(false);
    listener_.setClock(testClock);
    if (configure) configure(listener_);
    EXPECT_TRUE(listener_.listenEarly(0));
    if (startLoop) start();
  }
  ~RunningListener() { stop(); }
  void start() { thread_ = std::thread([this] { result_ = listener_.run(port(), 0, true); }); }
  void stop() {
    listener_.requestStop();
    if (thread_.joinable()) thread_.join();
  }
  int port() const { return listener_.boundPort(); }
  size_t connections() { return listener_.connectionCount(); }

  Listener listener_;
  std::thread thread_;
  int result_ = -2;
};

// Polls another thread's state in short steps, 5 s at most.
bool waitFor(const std::function<bool()>& condition) {
  for (int i = 0; i < 2500 && !condition(); ++i) std::this_thread::sleep_for(2ms);
  return condition();
}

// True when the server closed the connection of a client that sends nothing.
bool refused(int port, const std::string& from) {
  SmppTestClient client(port, from);
  return client.connected() && client.waitClosed();
}

bool bound(SmppTestClient& client) {
  std::optional<WirePDU> answer = client.bind(SMPP::BIND_TRANSCEIVER, "plain", "pw");
  return answer && answer->commandStatus == 0;
}

// The limits count the connections open now; both penalties are measured
// by the listener: the bytes waiting on a new connection, and connections
// that end without a bind. A stop ends every session and the listener; a
// second listener on the same port fails.
TEST(OstrelServerTest, AdmissionRulesApplyToRealConnectionsUntilTheStop) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  auto limits = [](Listener& l) { l.setMaxConnectionsPerIp(2), l.setMaxConnections(4); };
  RunningListener running(limits, Listener::kSessionSlots, false);
  const int port = running.port();
  SmppTestClient eager(port, "127.0.0.10");
  ASSERT_TRUE(eager.sendRaw(std::string(400, 'x')));
  // The connection and its bytes wait in the kernel until the loop starts.
  std::this_thread::sleep_for(20ms);
  running.start();
  EXPECT_TRUE(eager.waitClosed());
  EXPECT_TRUE(refused(port, "127.0.0.10")) << "blocked for its bytes";

  for (int i = 0; i < 3; ++i) {
    {
      SmppTestClient unbound(port, "127.0.0.11");
      unbound.send(SMPP::ENQUIRE_LINK);
      ASSERT_TRUE(unbound.readUntil(SMPP::ENQUIRE_LINK_RESP)) << "not served, " << i;
    }
    ASSERT_TRUE(waitFor([&] { return running.connections() == 0; }));
  }
  EXPECT_TRUE(refused(port, "127.0.0.11")) << "blocked for connections without a bind";
  for (int i = 0; i < 4; ++i) {
    {
      SmppTestClient client(port, "127.0.0.12");
      ASSERT_TRUE(bound(client)) << "a bound connection counted as unbound, " << i;
    }
    ASSERT_TRUE(waitFor([&] { return running.connections() == 0; }));
  }

  auto first = std::make_unique<SmppTestClient>(port, "127.0.0.4");
  SmppTestClient second(port, "127.0.0.4");
  ASSERT_TRUE(waitFor([&] { return running.connections() == 2; }));
  EXPECT_TRUE(refused(port, "127.0.0.4")) << "per-address limit";
  first.reset();
  ASSERT_TRUE(waitFor([&] { return running.connections() == 1; }));
  SmppTestClient again(port, "127.0.0.4");
  EXPECT_TRUE(bound(again)) << "a freed place admits the next";
  SmppTestClient other(port, "127.0.0.5");
  SmppTestClient third(port, "127.0.0.6");
  ASSERT_TRUE(waitFor([&] { return running.connections() == 4; }));
  EXPECT_TRUE(refused(port, "127.0.0.7")) << "total limit";

  Listener rival;
  rival.setInstallSignalHandlers(false);
  EXPECT_EQ(rival.run(port, 0, true), -1);
  running.stop();
  for (SmppTestClient* client : {&second, &again, &other, &third}) EXPECT_TRUE(client->waitClosed());
  EXPECT_LT(connectTcp("127.0.0.1", port), 0);
  EXPECT_EQ(running.result_, 0);
  testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
}

// Whitelist-only: an address in the file binds, one outside is refused; a
// descriptor past a small session table is refused and never registered.
TEST(OstrelServerTest, WhitelistAndTheSessionTableBoundRefuseConnections) {
  TempDir dir;
  dir.write("ipwhitelist.conf", "127.0.0.13\n");
  const int64_t sessions = MetricsRegistry::instance().gaugeValue("downstreamSMPPSessions");
  testing::internal::CaptureStdout();
  std::vector<int> filler;
  {
    RunningListener running([&](Listener& l) {
      l.setWhitelistOnly(true);
      l.setWhitelistFileName(dir.file("ipwhitelist.conf"));
    }, 16);
    {
      SmppTestClient listed(running.port(), "127.0.0.13");
      EXPECT_TRUE(bound(listed));
    }
    EXPECT_TRUE(refused(running.port(), "127.0.0.14"));
    ASSERT_TRUE(waitFor([&] { return running.connections() == 0; }));
    // Occupy the low descriptors so that the accepted one lands past the table.
    for (int i = 0; i < 40; ++i) filler.push_back(open("/dev/null", O_RDONLY));
    EXPECT_TRUE(refused(running.port(), "127.0.0.13"));
    EXPECT_EQ(running.connections(), 0u);
    EXPECT_EQ(MetricsRegistry::instance().gaugeValue("downstreamSMPPSessions"), sessions);
  }
  testing::internal::GetCapturedStdout();
  for (int fd : filler) close(fd);
}

std::string enquireLinks(int count) {
  std::string pdus;
  for (int i = 0; i < count; ++i)
    pdus += std::string("\x00\x00\x00\x10\x00\x00\x00\x15\x00\x00\x00\x00\x00\x00\x00", 15) +
            std::string(1, static_cast<char>(i % 100 + 1));
  return pdus;
}

// Whether `client` has `trips` enquire_link round trips, each within `limit`
// (generous for sanitizer builds; an unfair loop answers after seconds).
bool answeredPromptly(SmppTestClient& client, int trips, std::chrono::milliseconds limit = 500ms) {
  for (int i = 0; i < trips; ++i) {
    const uint32_t seq = client.send(SMPP::ENQUIRE_LINK);
    std::optional<WirePDU> answer = client.readUntil(SMPP::ENQUIRE_LINK_RESP, limit);
    if (!answer || answer->sequenceNumber != seq) return false;
  }
  return true;
}

// PDUs that arrive in the same read as a data_sm refused on a version 3.3
// session are served without the peer sending anything more.
void servesThePdusBehindARefusedDataSm(int port) {
  SmppTestClient client(port, "127.0.0.34");
  std::optional<WirePDU> bound = client.bind(SMPP::BIND_TRANSMITTER, "plain", "pw", 0x33);
  ASSERT_TRUE(bound && bound->commandStatus == 0);
  // data_sm (28 bytes: an empty service type and minimal addresses), then
  // two enquire_links, all in one write.
  const std::string dataSm("\0\0\0\x1c\0\0\x01\x03\0\0\0\0\0\0\0\x09"
                           "\0\0\0" "1\0" "\0\0" "2\0" "\0\0\0", 28);
  ASSERT_TRUE(client.sendRaw(dataSm + enquireLinks(2)));
  for (uint32_t command : {SMPP::GENERIC_NACK, SMPP::ENQUIRE_LINK_RESP, SMPP::ENQUIRE_LINK_RESP}) {
    std::optional<WirePDU> answer = client.read(2s);
    ASSERT_TRUE(answer) << "a PDU left unanswered in the buffer";
    EXPECT_EQ(answer->commandId, command);
  }
}

// A client that never binds pipelines enquire_link in 64 KiB writes (and
// drains the answers so its own socket never fills): a bound customer
// beside it is still answered promptly, and the flooder is closed at its
// bind deadline although it never pauses, like a silent unbound client.
TEST(OstrelServerTest, FloodingUnboundClientStarvesNobodyAndIsClosedAtItsBindDeadline) {
  testing::internal::CaptureStdout();
  RunningListener running;
  SmppTestClient quiet(running.port(), "127.0.0.30");
  ASSERT_TRUE(bound(quiet));
  servesThePdusBehindARefusedDataSm(running.port());

  // A silent unbound client is closed by its timed check, the flooder
  // while it is served.
  SmppTestClient silent(running.port(), "127.0.0.35");
  const int flooder = connectTcp("127.0.0.1", running.port(), "127.0.0.31");
  ASSERT_GE(flooder, 0);
  // One answered request first: the connection is admitted before the
  // flood, which would otherwise trip the bytes-before-greeting rule.
  ASSERT_TRUE(writeAll(flooder, enquireLinks(1)));
  ASSERT_EQ(readExactly(flooder, 16, 2s).size(), 16u);
  std::atomic<bool> stop{false}, flooderClosed{false};
  std::thread drain([&] {
    char buf[65536];
    while (!stop.load()) {
      const ssize_t n = recv(flooder, buf, sizeof buf, 0);
      if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
        flooderClosed = true;
        return;
      }
    }
  });
  timeval brief{0, 100000};
  setsockopt(flooder, SOL_SOCKET, SO_SNDTIMEO, &brief, sizeof brief);
  setsockopt(flooder, SOL_SOCKET, SO_RCVTIMEO, &brief, sizeof brief);
  std::thread flood([&, burst = enquireLinks(4096)] {
    while (!stop.load() && !flooderClosed.load())
      send(flooder, burst.data(), burst.size(), MSG_NOSIGNAL);
  });

  std::this_thread::sleep_for(100ms);  // let the flood reach full speed
  EXPECT_TRUE(answeredPromptly(quiet, 20));
  EXPECT_FALSE(flooderClosed.load());
  // The flooder's 20-second bind deadline passes on the loop's clock.
  clockOffset = OstrelSession::kBindDeadlineMicros + 1000000;
  running.listener_.wake();
  for (int i = 0; i < 300 && !flooderClosed.load(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(flooderClosed.load());
  EXPECT_TRUE(silent.waitClosed());
  stop = true;
  flood.join();
  drain.join();
  close(flooder);
  // The bound customer's deadline was lifted by its bind.
  EXPECT_TRUE(answeredPromptly(quiet, 1));
  testing::internal::GetCapturedStdout();
}

}  // namespace
