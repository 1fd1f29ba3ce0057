#include "smpp/smpp_session.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <thread>

#include "tests/smpp/smpp_test_peer.h"

namespace {

using namespace smpp_test;

constexpr uint64_t kT0 = 1700000000000000ULL;
constexpr uint64_t kSecond = 1000000ULL;

// A session on one end of a socket pair whose onTimedCheck may ask to close.
class ProbeSession : public SMPPSessionNull {
 public:
  bool onTimedCheck(uint64_t) override { return closeFromHook; }
  bool closeFromHook = false;
};

struct Fixture {
  Fixture() { session.attachSocket(pair.releaseSessionFd(), true, "127.0.0.1", 4000); }
  SocketPair pair;
  ProbeSession session;
};

std::vector<uint32_t> commandsOf(const std::vector<ReceivedPDU>& pdus) {
  std::vector<uint32_t> out;
  for (const auto& p : pdus) out.push_back(p.header.commandId);
  return out;
}

TEST(SmppSession, SequenceNumbersStartAtOneAndWrapBelowTheTopBit) {
  SMPPSessionNull s;
  EXPECT_EQ(s.peekSequenceNumber(), 1u);
  std::vector<uint32_t> numbers{s.nextSequenceNumber(), s.nextSequenceNumber()};
  s.setNextSequenceNumber(0x7FFFFFFE);
  for (int i = 0; i < 3; ++i) numbers.push_back(s.nextSequenceNumber());
  s.setNextSequenceNumber(0);
  numbers.push_back(s.nextSequenceNumber());
  EXPECT_EQ(numbers, (std::vector<uint32_t>{1, 2, 0x7FFFFFFE, 0x7FFFFFFF, 1, 1}));
  // Session ids come from one counter across the session kinds.
  SMPPSessionServer b;
  SMPPSessionClient c(SMPPClientSettings{});
  EXPECT_EQ(b.sessionId(), s.sessionId() + 1);
  EXPECT_EQ(c.sessionId(), b.sessionId() + 1);
}

// ---- keep-alive, response timeout and closing time on the injected clock ----

struct Step {
  enum Op { kReceive, kPending, kCheck, kClosingAt, kInterval, kTimeout, kHookCloses } op;
  uint64_t at = 0;          // microseconds after kT0
  uint32_t value = 0;       // command id, sequence number or setting
  uint32_t seq = 1;
  bool closes = false;      // kCheck: timedCheck asks to close
  std::vector<uint32_t> sent = {};  // kCheck: commands the session wrote
};
Step receive(uint64_t at, uint32_t command, uint32_t seq = 1) {
  return {Step::kReceive, at, command, seq};
}
Step check(uint64_t at, bool closes, std::vector<uint32_t> sent = {}) {
  return {Step::kCheck, at, 0, 1, closes, std::move(sent)};
}

// One request never answered while thousands after it are: the table keeps
// it oldest; answers out of order and across a wrap match.
TEST(SequenceTable, OldestStaysFirstAndAnsweredEntriesAreDropped) {
  SMPP::SequenceTable<uint64_t> t;
  const uint32_t start = 0x7FFFFFFF - 1000;  // numbers wrap to 1 half-way
  auto seq = [start](uint32_t i) { return (start + i - 1) % 0x7FFFFFFF + 1; };
  for (uint32_t i = 0; i < 2000; ++i) t.put(seq(i), 100 + i);
  uint64_t value = 0;
  for (uint32_t i = 1999; i >= 1; --i) ASSERT_TRUE(t.take(seq(i), &value) && value == 100 + i) << i;
  EXPECT_FALSE(t.take(seq(5)));
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t.oldest(), 100u);
  for (uint32_t i = 2000; i < 2100; ++i) {
    t.put(seq(i), 100 + i);
    ASSERT_TRUE(t.take(seq(i)));
  }
  EXPECT_EQ(t.takeAll(), (std::vector<std::pair<uint32_t, uint64_t>>{{seq(0), 100}}));
  EXPECT_TRUE(t.empty());
}

TEST(SmppSession, TimedChecksFollowTheClock) {
  constexpr uint64_t S = kSecond;
  const uint32_t EL = SMPP::ENQUIRE_LINK;
  const struct {
    const char* name;
    std::vector<Step> steps;
  } scenarios[] = {
      {"KeepAliveProbesThenUnbindsThenCloses",
       {receive(0, EL), check(120 * S, false), check(120 * S + 1, false, {EL}),
        check(180 * S + 1, false),  // exactly 60 s unanswered is not yet enough
        check(180 * S + 2, false, {SMPP::UNBIND}), check(185 * S + 1, false),
        check(185 * S + 2, true)}},
      {"AnsweredProbeKeepsTheSession",
       {receive(0, SMPP::SUBMIT_SM), check(121 * S, false, {EL}),
        receive(122 * S, SMPP::ENQUIRE_LINK_RESP), check(211 * S, false),
        check(242 * S + 1, false, {EL})}},
      {"NoProbeBeforeAnyActivity", {check(1000 * S, false)}},
      {"NoProbeWithIntervalZero",
       {{Step::kInterval, 0, 0}, receive(0, EL), check(1000 * S, false)}},
      {"ProbeClearsAPendingClosingTime",
       {receive(0, EL), {Step::kClosingAt, 500 * S}, check(121 * S, false, {EL}),
        check(500 * S, false, {SMPP::UNBIND})}},
      {"ResponseMissingLongerThanTimeoutClosesTheSession",
       {{Step::kPending, 0, 7}, {Step::kPending, 30 * S, 9}, check(60 * S, false),
        check(60 * S + 1, true),
        // Once the oldest is answered the younger one has time left.
        receive(61 * S, SMPP::SUBMIT_SM_RESP, 7), check(61 * S, false)}},
      // Sequence numbers start again at 1: the request from before the wrap
      // is still the oldest, and its answer still clears it.
      {"TheOldestRequestIsFoundAcrossASequenceWrap",
       {{Step::kPending, 0, 0x7FFFFFFF}, {Step::kPending, 30 * S, 1}, check(60 * S + 1, true)}},
      {"AnAnswerFromBeforeTheWrapClearsItsRequest",
       {{Step::kPending, 0, 0x7FFFFFFF}, {Step::kPending, 30 * S, 1},
        receive(31 * S, SMPP::SUBMIT_SM_RESP, 0x7FFFFFFF), check(60 * S + 1, false),
        check(90 * S + 1, true)}},
      {"ResponseTimeoutIsConfigurable",
       {{Step::kTimeout, 0, 5}, {Step::kPending, 0, 1}, check(5 * S, false),
        check(5 * S + 1, true)}},
      {"ClosingTimeReachedClosesTheSession",
       {{Step::kClosingAt, 20 * S}, check(20 * S - 1, false), check(20 * S, true)}},
      {"TimedCheckEndsWithTheHook", {check(0, false), {Step::kHookCloses}, check(1, true)}},
  };
  for (const auto& scenario : scenarios) {
    Fixture f;
    for (size_t i = 0; i < scenario.steps.size(); ++i) {
      SCOPED_TRACE(std::string(scenario.name) + " step " + std::to_string(i));
      const Step& s = scenario.steps[i];
      switch (s.op) {
        case Step::kReceive:
          f.session.noteReceivedPDU(SMPP::PDUHeader{16, s.value, 0, s.seq}, kT0 + s.at);
          break;
        case Step::kPending: f.session.addPendingResponse(s.value, kT0 + s.at); break;
        case Step::kClosingAt: f.session.setClosingTime(kT0 + s.at); break;
        case Step::kInterval: f.session.setEnquireLinkInterval(s.value); break;
        case Step::kTimeout: f.session.setResponseTimeout(s.value); break;
        case Step::kHookCloses: f.session.closeFromHook = true; break;
        case Step::kCheck:
          EXPECT_EQ(f.session.timedCheck(kT0 + s.at), s.closes);
          EXPECT_EQ(commandsOf(f.pair.peerReadPDUs()), s.sent);
          break;
      }
    }
  }
}

TEST(SmppSession, DeadSocketsCloseTheSessionAndOnlyOwnedDescriptorsAreClosed) {
  Fixture f;
  f.pair.closePeer();
  EXPECT_FALSE(f.session.readPDU());
  ASSERT_TRUE(f.session.failed());
  EXPECT_TRUE(f.session.timedCheck(kT0));
  EXPECT_EQ(f.session.descriptor(), -1);
  ProbeSession none;  // never given a descriptor
  EXPECT_TRUE(none.timedCheck(kT0) && none.failed());

  for (bool owned : {true, false}) {
    SocketPair pair;
    const int fd = pair.releaseSessionFd();
    {
      SMPPSessionNull s;
      s.attachSocket(fd, owned, "127.0.0.1", 1);
      if (!owned) {  // not even a failed session closes a descriptor it does not own
        pair.closePeer();
        s.readPDU();
        EXPECT_TRUE(s.timedCheck(kT0));
      }
    }
    EXPECT_EQ(fcntl(fd, F_GETFD) != -1, !owned) << owned;
    if (!owned) close(fd);
  }
}

// Two threads send on one session while the far end frames the stream:
// every PDU arrives whole. The reader waits for the bytes it knows are due
// and the test flushes the backlog when the kernel takes more, both against
// one deadline, so a slow machine waits longer instead of losing PDUs.
TEST(SmppSessionThreads, ConcurrentSendersNeverInterleave) {
  SocketPair pair;
  SMPPSessionNull s;
  const int small = 2048;
  setsockopt(pair.sessionFd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  s.attachSocket(pair.releaseSessionFd(), true, "127.0.0.1", 1);
  constexpr uint32_t kPerThread = 2000;
  const auto bodyOf = [](uint32_t seq) { return Bytes(50 + seq % 300, uint8_t(seq)); };
  size_t expectedBytes = 0;
  for (uint32_t base : {100000u, 200000u})
    for (uint32_t i = 0; i < kPerThread; ++i) expectedBytes += 16 + bodyOf(base + i).size();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  const auto beforeDeadline = [&] { return std::chrono::steady_clock::now() < deadline; };
  Bytes received;
  std::thread reader([&] {
    uint8_t buf[8192];
    while (received.size() < expectedBytes && beforeDeadline()) {
      pollfd p{pair.peerFd, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      const ssize_t n = recv(pair.peerFd, buf, sizeof buf, 0);
      if (n <= 0) break;
      received.insert(received.end(), buf, buf + n);
    }
  });
  auto sender = [&](uint32_t base) {
    for (uint32_t seq = base; seq < base + kPerThread; ++seq)
      ASSERT_TRUE(s.sendPDU(seq, SMPP::DELIVER_SM, 0, bodyOf(seq)));
  };
  std::thread a(sender, 100000u);
  std::thread b(sender, 200000u);
  a.join();
  b.join();
  while (s.socketHolder().pendingOutputBytes() > 0 && beforeDeadline()) {
    pollfd p{s.descriptor(), POLLOUT, 0};
    if (::poll(&p, 1, 100) > 0 && !s.flushOutput()) break;
  }
  reader.join();
  bool complete = false;
  auto pdus = SocketPair::split(received, &complete);
  EXPECT_TRUE(complete);
  ASSERT_EQ(pdus.size(), 2u * kPerThread);
  uint32_t next[2] = {100000, 200000};
  for (const auto& p : pdus) {
    const uint32_t seq = p.header.sequenceNumber;
    ASSERT_EQ(p.body, bodyOf(seq));
    EXPECT_EQ(seq, next[seq >= 200000]++);  // each sender's PDUs in its order
  }
}

}  // namespace
