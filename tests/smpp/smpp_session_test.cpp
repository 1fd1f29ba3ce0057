#include "smpp/smpp_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "base/log.h"
#include "tests/smpp/smpp_test_peer.h"

namespace {

using namespace smpp_test;

constexpr uint64_t kT0 = 1700000000000000ULL;
constexpr uint64_t kSecond = 1000000ULL;

// A session on one end of a socket pair, with a counter of onTimedCheck.
class ProbeSession : public SMPPSessionNull {
 public:
  bool onTimedCheck(uint64_t now) override {
    ++timedChecks;
    lastNow = now;
    return closeFromHook;
  }
  int timedChecks = 0;
  uint64_t lastNow = 0;
  bool closeFromHook = false;
};

struct Fixture {
  Fixture() { session.attachSocket(pair.releaseSessionFd(), true, "127.0.0.1", 4000); }
  SocketPair pair;
  ProbeSession session;
};

TEST(SmppSession, SequenceNumbersStartAtOneAndWrapBelowTheTopBit) {
  SMPPSessionNull s;
  EXPECT_EQ(s.peekSequenceNumber(), 1u);
  EXPECT_EQ(s.nextSequenceNumber(), 1u);
  EXPECT_EQ(s.nextSequenceNumber(), 2u);
  for (uint32_t i = 3; i < 40; ++i) s.nextSequenceNumber();
  EXPECT_EQ(s.peekSequenceNumber(), 40u);
}

TEST(SmppSession, SequenceNumberAfterMaximumIsOne) {
  SMPPSessionNull s;
  s.setNextSequenceNumber(0x7FFFFFFE);
  EXPECT_EQ(s.nextSequenceNumber(), 0x7FFFFFFEu);
  EXPECT_EQ(s.nextSequenceNumber(), 0x7FFFFFFFu);
  EXPECT_EQ(s.nextSequenceNumber(), 1u);
  s.setNextSequenceNumber(0);
  EXPECT_EQ(s.nextSequenceNumber(), 1u);
}

TEST(SmppSessionThreads, ConcurrentTakersGetDistinctSequenceNumbers) {
  SMPPSessionNull s;
  std::vector<uint32_t> taken[4];
  std::vector<std::thread> threads;
  for (auto& v : taken) {
    threads.emplace_back([&s, &v] {
      for (int i = 0; i < 5000; ++i) v.push_back(s.nextSequenceNumber());
    });
  }
  for (auto& t : threads) t.join();
  std::vector<uint32_t> all;
  for (auto& v : taken) all.insert(all.end(), v.begin(), v.end());
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
  EXPECT_EQ(all.front(), 1u);
  EXPECT_EQ(all.back(), 20000u);
}

TEST(SmppSession, SessionIdsComeFromOneIncreasingCounter) {
  SMPPSessionNull a;
  SMPPSessionServer b;
  SMPPSessionClient c(SMPPClientSettings{});
  EXPECT_EQ(b.sessionId(), a.sessionId() + 1);
  EXPECT_EQ(c.sessionId(), b.sessionId() + 1);
  EXPECT_STREQ(b.className(), "SMPPSessionServer");
}

TEST(SmppSession, KeepAliveProbesThenUnbindsThenCloses) {
  Fixture f;
  f.session.noteReceivedPDU(SMPP::PDUHeader{16, SMPP::ENQUIRE_LINK, 0, 1}, kT0);
  EXPECT_FALSE(f.session.timedCheck(kT0 + 120 * kSecond));
  EXPECT_TRUE(f.pair.peerReadPDUs().empty());

  const uint64_t probeAt = kT0 + 120 * kSecond + 1;
  EXPECT_FALSE(f.session.timedCheck(probeAt));
  auto out = f.pair.peerReadPDUs();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].header.commandId, SMPP::ENQUIRE_LINK);
  EXPECT_EQ(out[0].header.sequenceNumber, 1u);
  EXPECT_EQ(f.session.enquireLinkSentTime(), probeAt);

  // Exactly 60 s unanswered is not yet enough.
  EXPECT_FALSE(f.session.timedCheck(probeAt + 60 * kSecond));
  EXPECT_TRUE(f.pair.peerReadPDUs().empty());

  const uint64_t unbindAt = probeAt + 60 * kSecond + 1;
  EXPECT_FALSE(f.session.timedCheck(unbindAt));
  out = f.pair.peerReadPDUs();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].header.commandId, SMPP::UNBIND);
  EXPECT_EQ(out[0].header.sequenceNumber, 2u);
  EXPECT_EQ(f.session.closingTime(), unbindAt + 5 * kSecond);

  EXPECT_FALSE(f.session.timedCheck(unbindAt + 5 * kSecond - 1));
  EXPECT_TRUE(f.pair.peerReadPDUs().empty());  // no second unbind
  EXPECT_TRUE(f.session.timedCheck(unbindAt + 5 * kSecond));
}

TEST(SmppSession, AnsweredProbeKeepsTheSession) {
  Fixture f;
  f.session.noteReceivedPDU(SMPP::PDUHeader{16, SMPP::SUBMIT_SM, 0, 1}, kT0);
  const uint64_t probeAt = kT0 + 121 * kSecond;
  EXPECT_FALSE(f.session.timedCheck(probeAt));
  ASSERT_EQ(f.pair.peerReadPDUs().size(), 1u);
  f.session.noteReceivedPDU(SMPP::PDUHeader{16, SMPP::ENQUIRE_LINK_RESP, 0, 1}, probeAt + kSecond);
  EXPECT_EQ(f.session.enquireLinkSentTime(), 0u);
  EXPECT_FALSE(f.session.timedCheck(probeAt + 90 * kSecond));
  EXPECT_TRUE(f.pair.peerReadPDUs().empty());
  // The next probe follows the next silent interval.
  EXPECT_FALSE(f.session.timedCheck(probeAt + kSecond + 120 * kSecond + 1));
  auto out = f.pair.peerReadPDUs();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].header.commandId, SMPP::ENQUIRE_LINK);
  EXPECT_EQ(f.session.closingTime(), 0u);
}

TEST(SmppSession, NoProbeBeforeAnyActivityOrWithIntervalZero) {
  Fixture f;
  EXPECT_FALSE(f.session.timedCheck(kT0 + 1000 * kSecond));
  f.session.setEnquireLinkInterval(0);
  f.session.noteReceivedPDU(SMPP::PDUHeader{16, SMPP::ENQUIRE_LINK, 0, 1}, kT0);
  EXPECT_FALSE(f.session.timedCheck(kT0 + 1000 * kSecond));
  EXPECT_TRUE(f.pair.peerReadPDUs().empty());
}

TEST(SmppSession, ProbeClearsAPendingClosingTime) {
  Fixture f;
  f.session.noteReceivedPDU(SMPP::PDUHeader{16, SMPP::ENQUIRE_LINK, 0, 1}, kT0);
  f.session.setClosingTime(kT0 + 500 * kSecond);
  EXPECT_FALSE(f.session.timedCheck(kT0 + 121 * kSecond));
  EXPECT_EQ(f.session.closingTime(), 0u);
}

TEST(SmppSession, ResponseMissingLongerThanTimeoutClosesTheSession) {
  Fixture f;
  f.session.addPendingResponse(7, kT0);
  f.session.addPendingResponse(9, kT0 + 30 * kSecond);
  EXPECT_FALSE(f.session.timedCheck(kT0 + 60 * kSecond));
  EXPECT_TRUE(f.session.timedCheck(kT0 + 60 * kSecond + 1));
  // Once the oldest is answered the younger one has time left.
  f.session.noteReceivedPDU(SMPP::PDUHeader{16, SMPP::SUBMIT_SM_RESP, 0, 7}, kT0 + 61 * kSecond);
  EXPECT_EQ(f.session.pendingResponseCount(), 1u);
  EXPECT_FALSE(f.session.timedCheck(kT0 + 61 * kSecond));
  EXPECT_EQ(f.session.submitSMRespStats().count.load(), 1u);
}

TEST(SmppSession, ResponseTimeoutIsConfigurable) {
  Fixture f;
  f.session.setResponseTimeout(5);
  f.session.addPendingResponse(1, kT0);
  EXPECT_FALSE(f.session.timedCheck(kT0 + 5 * kSecond));
  EXPECT_TRUE(f.session.timedCheck(kT0 + 5 * kSecond + 1));
}

TEST(SmppSession, ClosingTimeReachedClosesTheSession) {
  Fixture f;
  f.session.setClosingTime(kT0 + 20 * kSecond);
  EXPECT_FALSE(f.session.timedCheck(kT0 + 20 * kSecond - 1));
  EXPECT_EQ(f.session.timedChecks, 1);
  EXPECT_TRUE(f.session.timedCheck(kT0 + 20 * kSecond));
  EXPECT_EQ(f.session.timedChecks, 1);  // the hook is not reached
}

TEST(SmppSession, DeadSocketClosesTheSessionAndItsDescriptor) {
  Fixture f;
  close(f.pair.peerFd);
  f.pair.peerFd = -1;
  EXPECT_FALSE(f.session.readPDU());
  ASSERT_TRUE(f.session.failed());
  EXPECT_TRUE(f.session.timedCheck(kT0));
  EXPECT_EQ(f.session.descriptor(), -1);
}

TEST(SmppSession, SessionWithoutDescriptorIsReportedDead) {
  ProbeSession s;
  EXPECT_TRUE(s.timedCheck(kT0));
  EXPECT_TRUE(s.failed());
}

TEST(SmppSession, TimedCheckEndsWithTheHook) {
  Fixture f;
  EXPECT_FALSE(f.session.timedCheck(kT0));
  EXPECT_EQ(f.session.lastNow, kT0);
  f.session.closeFromHook = true;
  EXPECT_TRUE(f.session.timedCheck(kT0 + 1));
}

TEST(SmppSession, SendResponseKeepsDeliverAndSubmitStatistics) {
  Fixture f;
  const Bytes body = {1, 2, 3};
  ASSERT_TRUE(f.session.sendResponse(4, SMPP::DELIVER_SM, 0, body.data(), body.size(), kT0));
  ASSERT_TRUE(f.session.sendResponse(5, SMPP::SUBMIT_SM, 0, body.data(), body.size(), kT0 + 1));
  ASSERT_TRUE(f.session.sendResponse(6, SMPP::SUBMIT_SM_RESP, 0, nullptr, 0, kT0 + 2));
  EXPECT_EQ(f.session.deliverSMStats().count.load(), 1u);
  EXPECT_EQ(f.session.lastDeliverTime(), kT0);
  EXPECT_EQ(f.session.submitSMStats().count.load(), 1u);
  EXPECT_EQ(f.session.lastSubmitTime(), kT0 + 1);
  EXPECT_EQ(f.pair.peerReadPDUs().size(), 3u);
}

TEST(SmppSession, DestructorClosesAnOwnedDescriptor) {
  SocketPair pair;
  const int fd = pair.releaseSessionFd();
  {
    SMPPSessionNull s;
    s.attachSocket(fd, true, "127.0.0.1", 1);
  }
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
}

TEST(SmppSession, DescriptorNotOwnedIsLeftOpen) {
  SocketPair pair;
  {
    SMPPSessionNull s;
    s.attachSocket(pair.sessionFd, false, "127.0.0.1", 1);
    close(pair.peerFd);
    pair.peerFd = -1;
    s.readPDU();
    EXPECT_TRUE(s.timedCheck(kT0));
  }
  EXPECT_NE(fcntl(pair.sessionFd, F_GETFD), -1);
}

// ---- The session towards an SMSC ----

TEST(SmppSessionClient, BindIsSentOnceWithTheConfiguredCredentials) {
  SocketPair pair;
  SMPPClientSettings settings;
  settings.bindType = 2;
  settings.systemId = "gw";
  settings.password = "pw";
  settings.systemType = "X";
  SMPPSessionClient s(settings);
  s.attachSocket(pair.releaseSessionFd(), true, "127.0.0.1", 2775);
  ASSERT_TRUE(s.sendBind());
  EXPECT_EQ(s.bindState(), BIND_STATE_BIND_SENT);
  EXPECT_FALSE(s.sendBind());
  const Bytes expected = {0, 0, 0, 28, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0, 1,  // header
                          'g', 'w', 0, 'p', 'w', 0, 'X', 0, 0x34, 0, 0, 0};
  EXPECT_EQ(pair.peerReadAvailable(), expected);
}

TEST(SmppSessionClient, BindTypesMapToCommands) {
  const uint32_t expected[] = {SMPP::BIND_RECEIVER, SMPP::BIND_TRANSMITTER, SMPP::BIND_TRANSCEIVER};
  for (int type = 0; type < 3; ++type) {
    SocketPair pair;
    SMPPClientSettings settings;
    settings.bindType = type;
    SMPPSessionClient s(settings);
    s.attachSocket(pair.releaseSessionFd(), true, "127.0.0.1", 2775);
    ASSERT_TRUE(s.sendBind());
    auto out = pair.peerReadPDUs();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].header.commandId, expected[type]);
  }
  SMPPClientSettings odd;
  odd.bindType = 7;
  SMPPSessionClient s(odd);
  EXPECT_FALSE(s.sendBind());
}

TEST(SmppSessionClient, SubmitIsTrackedAndSentWithTheNextSequence) {
  SocketPair pair;
  SMPPSessionClient s(SMPPClientSettings{});
  s.attachSocket(pair.releaseSessionFd(), true, "127.0.0.1", 2775);
  SMPP::T_SubmitSM sm;
  sm.source_addr = "Shop";
  sm.destination_addr = "4477";
  sm.short_message = text("hi");
  sm.tlvs = {SMPP::TLV{0x1401, 1, {9}}};
  uint32_t seq = 0;
  ASSERT_TRUE(s.encodeSubmitSM(sm, SMPP::SUBMIT_SM, 4242, seq, kT0));
  EXPECT_EQ(seq, 1u);
  EXPECT_EQ(s.pendingResponseCount(), 1u);
  EXPECT_EQ(s.submitSMStats().count.load(), 1u);
  EXPECT_EQ(s.tpsWindowCount(), 1u);
  auto out = pair.peerReadPDUs();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].header.commandId, SMPP::SUBMIT_SM);
  EXPECT_EQ(out[0].header.sequenceNumber, 1u);
  Bytes body;
  ASSERT_TRUE(SMPP::encodeSubmitSMBody(SMPP::SUBMIT_SM, sm, body));
  EXPECT_EQ(out[0].body, body);
  uint64_t tracking = 0;
  ASSERT_TRUE(s.takeSubmitTracking(1, tracking));
  EXPECT_EQ(tracking, 4242u);
  EXPECT_FALSE(s.takeSubmitTracking(1, tracking));
}

TEST(SmppSessionClient, DataSmTravelsWithItsOwnPayload) {
  SocketPair pair;
  SMPPSessionClient s(SMPPClientSettings{});
  s.attachSocket(pair.releaseSessionFd(), true, "127.0.0.1", 2775);
  const Bytes received = dataSmBody();
  SMPP::T_SubmitSM sm;
  uint32_t error = 0;
  ASSERT_TRUE(SMPP::parseSubmitSM(SMPP::DATA_SM, received.data(), received.size(), sm, true, error,
                                  kT0));
  uint32_t seq = 0;
  ASSERT_TRUE(s.encodeSubmitSM(sm, SMPP::DATA_SM, 1, seq, kT0));
  auto out = pair.peerReadPDUs();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].header.commandId, SMPP::DATA_SM);
  EXPECT_EQ(out[0].body, received);
}

TEST(SmppSessionClient, FailedSubmitLeavesNothingRecorded) {
  SocketPair pair;
  SMPPSessionClient s(SMPPClientSettings{});
  s.attachSocket(pair.releaseSessionFd(), true, "127.0.0.1", 2775);
  close(pair.peerFd);
  pair.peerFd = -1;
  SMPP::T_SubmitSM sm;
  uint32_t seq = 0;
  EXPECT_FALSE(s.encodeSubmitSM(sm, SMPP::SUBMIT_SM, 1, seq, kT0));
  EXPECT_EQ(s.submitTableSize(), 0u);
  EXPECT_EQ(s.pendingResponseCount(), 0u);
  sm.short_message = Bytes(300, 1);
  EXPECT_FALSE(s.encodeSubmitSM(sm, SMPP::SUBMIT_SM, 1, seq, kT0));
}

// Two threads send on one session while the far end frames the stream:
// every PDU arrives whole.
TEST(SmppSessionThreads, ConcurrentSendersNeverInterleave) {
  SocketPair pair;
  SMPPSessionNull s;
  const int small = 2048;
  setsockopt(pair.sessionFd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  s.attachSocket(pair.releaseSessionFd(), true, "127.0.0.1", 1);
  constexpr int kPerThread = 2000;
  std::atomic<bool> done{false};
  Bytes received;
  std::thread reader([&] {
    uint8_t buf[8192];
    for (;;) {
      pollfd p{pair.peerFd, POLLIN, 0};
      if (::poll(&p, 1, 200) <= 0) {
        if (done.load()) break;
        continue;
      }
      const ssize_t n = recv(pair.peerFd, buf, sizeof buf, 0);
      if (n <= 0) break;
      received.insert(received.end(), buf, buf + n);
    }
  });
  auto sender = [&](uint32_t base) {
    for (int i = 0; i < kPerThread; ++i) {
      const uint32_t seq = base + static_cast<uint32_t>(i);
      const Bytes body(50 + seq % 300, static_cast<uint8_t>(seq));
      ASSERT_TRUE(s.sendPDU(seq, SMPP::DELIVER_SM, 0, body));
    }
  };
  std::thread a(sender, 100000u);
  std::thread b(sender, 200000u);
  a.join();
  b.join();
  for (int i = 0; i < 10000 && s.socketHolder().pendingOutputBytes() > 0; ++i) {
    s.flushOutput();
    std::this_thread::yield();
  }
  done = true;
  reader.join();
  bool complete = false;
  auto pdus = SocketPair::split(received, &complete);
  EXPECT_TRUE(complete);
  ASSERT_EQ(pdus.size(), 2u * kPerThread);
  uint32_t nextA = 100000, nextB = 200000;
  for (const auto& p : pdus) {
    const uint32_t seq = p.header.sequenceNumber;
    ASSERT_EQ(p.body, Bytes(50 + seq % 300, static_cast<uint8_t>(seq)));
    if (seq < 200000) {
      EXPECT_EQ(seq, nextA++);
    } else {
      EXPECT_EQ(seq, nextB++);
    }
  }
}

}  // namespace

namespace {

// The diagnosis of a missing response stays bounded however many wait.
class SessionLogLines : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = getLogLevel();
    setLogLevel(LOG_FINE);
  }
  void TearDown() override { setLogLevel(previous_); }
  int previous_ = LOG_INFO;
};

TEST_F(SessionLogLines, DiagnosisOfAHugeTableIsCapped) {
  Fixture f;
  for (uint32_t seq = 1; seq <= 5000; ++seq) f.session.addPendingResponse(seq, kT0);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(f.session.timedCheck(kT0 + 61 * kSecond));
  const std::string out = testing::internal::GetCapturedStdout();
  size_t lines = 0;
  for (size_t at = out.find("seqno="); at != std::string::npos; at = out.find("seqno=", at + 1)) {
    ++lines;
  }
  EXPECT_EQ(lines, 100u);
  EXPECT_NE(out.find("... and 4900 more pending"), std::string::npos);
}

}  // namespace
