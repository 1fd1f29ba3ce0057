// The listener loop with real customer sessions over loopback: what one
// hostile or slow peer may and may not do to the others. The customer
// records come from the configuration that ostrel_session_test.cpp's
// environment loads for this program ("plain" / "pw").
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "base/wall_clock.h"
#include "downstream/ostrel_server.h"
#include "smpp/pdu.h"
#include "tests/support/loopback.h"
#include "tests/support/smpp_test_client.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

using Listener = SMPPServer<OstrelSession, SMPPSessionNull>;

// The loop's clock runs ahead of the wall clock by what the test adds.
std::atomic<uint64_t> clockOffset{0};
uint64_t testClock() { return wallClockMicros() + clockOffset.load(); }

class RunningListener {
 public:
  RunningListener() {
    clockOffset = 0;
    listener_.setInstallSignalHandlers(false);
    listener_.setClock(testClock);
    EXPECT_TRUE(listener_.listenEarly(0));
    thread_ = std::thread([this] { listener_.run(listener_.boundPort(), 0, true); });
  }
  ~RunningListener() {
    listener_.requestStop();
    thread_.join();
  }
  int port() const { return listener_.boundPort(); }
  Listener& listener() { return listener_; }

 private:
  Listener listener_;
  std::thread thread_;
};

std::string enquireLinks(int count) {
  std::string pdus;
  for (int i = 0; i < count; ++i)
    pdus += std::string("\x00\x00\x00\x10\x00\x00\x00\x15\x00\x00\x00\x00", 12) +
            std::string(1, '\x00') + std::string(1, '\x00') + std::string(1, '\x00') +
            std::string(1, static_cast<char>(i % 100 + 1));
  return pdus;
}

// Round trips of enquire_link on `client`; the slowest one.
std::chrono::microseconds slowestRoundTrip(SmppTestClient& client, int trips) {
  std::chrono::microseconds slowest{0};
  for (int i = 0; i < trips; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const uint32_t seq = client.send(SMPP::ENQUIRE_LINK);
    std::optional<WirePDU> answer = client.readUntil(SMPP::ENQUIRE_LINK_RESP, 5s);
    const auto took =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
    if (!answer || answer->sequenceNumber != seq) return std::chrono::microseconds::max();
    slowest = std::max(slowest, took);
  }
  return slowest;
}

// A client that never binds pipelines enquire_link in 64 KiB writes (and
// drains the answers so its own socket never fills): a bound customer
// beside it is still answered promptly, and the flooder is closed at its
// bind deadline although it never pauses.
TEST(OstrelServerTest, FloodingUnboundClientStarvesNobodyAndIsClosedAtItsBindDeadline) {
  testing::internal::CaptureStdout();
  RunningListener running;
  SmppTestClient quiet(running.port(), "127.0.0.30");
  ASSERT_TRUE(quiet.connected());
  std::optional<WirePDU> bound = quiet.bind(SMPP::BIND_TRANSCEIVER, "plain", "pw");
  ASSERT_TRUE(bound && bound->commandStatus == 0);

  const int flooder = connectTcp("127.0.0.1", running.port(), "127.0.0.31");
  ASSERT_GE(flooder, 0);
  // One answered request first: the connection is admitted before the
  // flood, which would otherwise trip the bytes-before-greeting rule.
  ASSERT_TRUE(writeAll(flooder, enquireLinks(1)));
  ASSERT_EQ(readExactly(flooder, 16, 2s).size(), 16u);
  std::atomic<bool> stop{false};
  std::atomic<bool> flooderClosed{false};
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
  // Generous for sanitizer builds; an unfair loop answered after seconds.
  EXPECT_LT(slowestRoundTrip(quiet, 20), 500ms);

  EXPECT_FALSE(flooderClosed.load());
  // The flooder's 20-second bind deadline passes on the loop's clock.
  clockOffset = OstrelSession::kBindDeadlineMicros + 1000000;
  running.listener().wake();
  for (int i = 0; i < 300 && !flooderClosed.load(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(flooderClosed.load());
  stop = true;
  flood.join();
  drain.join();
  close(flooder);
  // The bound customer's deadline was lifted by its bind.
  EXPECT_LT(slowestRoundTrip(quiet, 1), 500ms);
  testing::internal::GetCapturedStdout();
}

// A bound customer that stops reading while asking for answers: its output
// queues behind the kernel's buffer without the loop ever waiting for it,
// so another customer is answered promptly, and once its queue passes the
// bound the session is failed and closed.
TEST(OstrelServerTest, ClientThatStopsReadingStallsNobodyAndIsClosedWhenItsQueueIsFull) {
  testing::internal::CaptureStdout();
  RunningListener running;
  SmppTestClient reader(running.port(), "127.0.0.32");
  ASSERT_TRUE(reader.bind(SMPP::BIND_TRANSCEIVER, "plain", "pw"));
  SmppTestClient stalled(running.port(), "127.0.0.33");
  ASSERT_TRUE(stalled.bind(SMPP::BIND_TRANSCEIVER, "plain", "pw"));
  // No smaller receive buffer: shrinking it after the connection has
  // advertised its window makes the kernel drop segments that carry the
  // server's acknowledgements, and both ends back off for minutes.

  // Answers asked for and never read, until the server gives up: more than
  // its queue and the kernel's buffers together may hold.
  std::atomic<bool> cutOff{false};
  std::thread asker([&, burst = enquireLinks(8192)] {
    for (int i = 0; i < 1000; ++i)
      if (!writeAll(stalled.fd(), burst)) {
        cutOff = true;
        return;
      }
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_LT(slowestRoundTrip(reader, 20), 500ms);
  asker.join();
  EXPECT_TRUE(cutOff.load());
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Output backlog full, peer not reading"), std::string::npos);
}

// PDUs that arrive in the same read as a data_sm refused on a version 3.3
// session are served without the peer sending anything more.
TEST(OstrelServerTest, PDUsBehindARefusedDataSmAreServedWithoutNewBytes) {
  testing::internal::CaptureStdout();
  RunningListener running;
  SmppTestClient client(running.port(), "127.0.0.34");
  std::optional<WirePDU> bound = client.bind(SMPP::BIND_TRANSMITTER, "plain", "pw", 0x33);
  ASSERT_TRUE(bound && bound->commandStatus == 0);
  // data_sm with an empty service type and minimal addresses, then two
  // enquire_links, all in one write.
  const std::string dataSmBody = std::string("\0\0\0" "1\0" "\0\0" "2\0" "\0\0\0", 12);
  std::string dataSm(16, '\0');
  dataSm[3] = static_cast<char>(16 + dataSmBody.size());
  dataSm[6] = 0x01;
  dataSm[7] = 0x03;
  dataSm[15] = 0x09;
  ASSERT_TRUE(client.sendRaw(dataSm + dataSmBody + enquireLinks(2)));
  std::optional<WirePDU> nack = client.read(2s);
  ASSERT_TRUE(nack);
  EXPECT_EQ(nack->commandId, SMPP::GENERIC_NACK);
  for (int i = 0; i < 2; ++i) {
    std::optional<WirePDU> answer = client.read(2s);
    ASSERT_TRUE(answer) << "enquire_link " << i << " left unanswered in the buffer";
    EXPECT_EQ(answer->commandId, SMPP::ENQUIRE_LINK_RESP);
  }
  testing::internal::GetCapturedStdout();
}

}  // namespace
