// The socket holder (framing, writes, backlog, the owner thread), then the
// session on top of it: sequence numbers, timed checks, concurrent senders,
// and the server side's answers by bind state.
#include "smpp/smpp_session.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <cerrno>
#include <climits>
#include <deque>
#include <functional>
#include <optional>
#include <thread>
#include <tuple>

#include "smpp/send_batch.h"
#include "smpp/smpp_socket_holder.h"
#include "tests/smpp/smpp_test_peer.h"

namespace {

using namespace smpp_test;

std::unique_ptr<SMPPSocketHolder> holderOn(SocketPair& pair) {
  auto holder = std::make_unique<SMPPSocketHolder>();
  holder->attach(std::make_unique<SMPPSocketUnencrypted>(pair.releaseSessionFd()), true);
  return holder;
}

Bytes pduOf(uint32_t seq, size_t bodyLength) {
  return SMPP::encodePDU(SMPP::DELIVER_SM, 0, seq, Bytes(bodyLength, static_cast<uint8_t>(seq)));
}

Bytes withLength(Bytes pdu, uint32_t length) {
  SMPP::writeU32(pdu.data(), length);
  return pdu;
}

// What the peer writes, and the PDUs (sequence number, body length) the
// holder frames from it; a length out of range or a peer gone fails it.
TEST(SocketHolder, FramesTheStream) {
  const struct {
    const char* name;
    Bytes stream;
    bool byteByByte;  // one byte per write, a read attempt after each
    bool closePeer;   // the peer closes after writing
    std::vector<std::pair<uint32_t, size_t>> pdus;
    bool failed;
  } cases[] = {
      {"TwoPdusInOneRead", cat({SMPP::encodePDU(SMPP::ENQUIRE_LINK, 0, 7, {}), pduOf(8, 3)}),
       false, false, {{7, 0}, {8, 3}}, false},
      {"ByteByByteDeliveryFramesEveryPdu", cat({pduOf(1, 7), pduOf(2, 14), pduOf(3, 21)}), true,
       false, {{1, 7}, {2, 14}, {3, 21}}, false},
      {"LengthAtPduLimitIsAccepted", pduOf(1, SMPP::MAX_BODY_LENGTH), false, false,
       {{1, SMPP::MAX_BODY_LENGTH}}, false},
      {"LengthAbovePduLimit", withLength(pduOf(1, 0), 66561), false, false, {}, true},
      {"LengthBelowHeaderSize", withLength(pduOf(1, 0), 15), false, false, {}, true},
      {"PeerCloseFailsAfterBufferedPdusAreTaken", cat({pduOf(1, 0), pduOf(2, 0)}), false, true,
       {{1, 0}, {2, 0}}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SocketPair pair;
    auto h = holderOn(pair);
    std::vector<std::pair<uint32_t, size_t>> seen;
    auto take = [&] {
      for (int tries = 0; tries < 1000 && h->readPDU(); ++tries)
        seen.emplace_back(h->header().sequenceNumber, h->bodyLength());
    };
    for (size_t at = 0; c.byteByByte && at < c.stream.size(); ++at, take())
      pair.peerWrite({c.stream[at]});
    if (!c.byteByByte) pair.peerWrite(c.stream);
    if (c.closePeer) pair.closePeer();
    take();
    EXPECT_EQ(seen, c.pdus);
    EXPECT_FALSE(h->readPDU());
    EXPECT_EQ(h->failed(), c.failed);
    EXPECT_EQ(h->peerClosed(), c.closePeer);
    if (!c.failed) { EXPECT_EQ(h->bufferedBytes(), 0u); }
  }
}

// ---- sending through a kernel that takes what a script says ----

// Each write takes the next script entry: a positive number is how many
// bytes the kernel accepts, kFull refuses with EAGAIN, kBroken fails with
// `brokenErrno`. With the script exhausted every write is taken whole.
class ScriptedSocket : public SMPPSocket {
 public:
  static constexpr int kFull = -1;
  static constexpr int kBroken = -2;

  bool readByte(uint8_t*) override { return false; }
  bool readExact(uint8_t*, size_t) override { return false; }
  ssize_t read(uint8_t*, size_t) override { return errno = EAGAIN, -1; }
  ssize_t write(const uint8_t* buffer, size_t length) override {
    ++writes;
    const int step = script.empty() ? INT_MAX : script.front();
    if (!script.empty()) script.pop_front();
    if (step < 0) return errno = step == kFull ? EAGAIN : brokenErrno, -1;
    const size_t n = std::min(length, static_cast<size_t>(step));
    wire.insert(wire.end(), buffer, buffer + n);
    return static_cast<ssize_t>(n);
  }
  ssize_t peek() override { return 0; }
  long bytesAvailable() override { return 0; }
  int descriptor() const override { return 99; }
  void releaseDescriptor() override {}

  std::deque<int> script;
  int brokenErrno = ECONNRESET;
  int writes = 0;
  Bytes wire;
};

struct ScriptedHolder {
  explicit ScriptedHolder(std::deque<int> script = {}, int brokenErrno = ECONNRESET) {
    auto s = std::make_unique<ScriptedSocket>();
    socket = s.get();
    socket->script = std::move(script);
    socket->brokenErrno = brokenErrno;
    holder.attach(std::move(s), false);
    holder.setAttentionCallback([this] { ++attention; });
  }
  bool send(uint32_t seq, size_t bodyLength) {
    const Bytes body(bodyLength, static_cast<uint8_t>(seq));
    return holder.sendPDU(seq, SMPP::DELIVER_SM, 0, body.data(), body.size());
  }
  SMPPSocketHolder holder;
  ScriptedSocket* socket;
  int attention = 0;
};

TEST(SocketHolder, WritesGoOutWholeOrFailTheConnection) {
  using S = ScriptedSocket;
  struct Send { uint32_t seq; size_t length; bool ok; };
  struct Case {
    const char* name;
    std::deque<int> script;
    int brokenErrno;
    std::vector<Send> sends;
    bool failed;
    size_t partial;  // bytes of a failed PDU that went out before the error
  } cases[] = {
      {"ShortWritesSendTheRest", {7, 7, 7}, 0, {{1, 40, true}}, false, 0},
      {"ErrorAfterPartOfAPdu", {10, S::kBroken}, EINVAL, {{1, 30, false}}, true, 10},
      {"UnusualErrorBeforeAnyByteKeepsTheConnection", {S::kBroken}, EINVAL,
       {{1, 30, false}, {2, 3, true}}, false, 0},
      {"ConnectionError", {S::kBroken}, EPIPE, {{1, 30, false}}, true, 0},
      {"OversizedBodyIsNeverSent", {}, 0, {{1, SMPP::MAX_BODY_LENGTH + 1, false}}, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedHolder t(c.script, c.brokenErrno);
    Bytes expected;
    for (const Send& s : c.sends) {
      EXPECT_EQ(t.send(s.seq, s.length), s.ok) << s.seq;
      const Bytes pdu = pduOf(s.seq, s.length);
      expected.insert(expected.end(), pdu.begin(), pdu.begin() + (s.ok ? pdu.size() : c.partial));
    }
    EXPECT_EQ(t.socket->wire, expected);
    EXPECT_EQ(t.holder.failed(), c.failed);
    EXPECT_EQ(t.holder.pendingOutputBytes(), 0u);
    if (!c.failed) { EXPECT_EQ(t.attention, 0); }  // nothing left to watch
  }
}

TEST(SocketHolder, UnsentRestIsKeptAndGoesOutBeforeTheNextPdu) {
  // 10 bytes go out, then the kernel is full: the send returns at once with
  // the rest queued and the owner told to watch for writability.
  ScriptedHolder t({10, ScriptedSocket::kFull});
  ASSERT_TRUE(t.send(1, 30));
  EXPECT_EQ(t.socket->writes, 2);
  EXPECT_EQ(t.socket->wire.size(), 10u);
  EXPECT_EQ(t.holder.pendingOutputBytes(), 36u);
  EXPECT_EQ(t.attention, 1);

  // While the kernel is still full a new PDU queues behind.
  t.socket->script = {ScriptedSocket::kFull};
  ASSERT_TRUE(t.send(2, 5));
  EXPECT_EQ(t.holder.pendingOutputBytes(), 36u + 21u);
  EXPECT_EQ(t.attention, 1);

  // Flushing drains what the kernel takes; a later PDU follows the backlog.
  t.socket->script = {20, ScriptedSocket::kFull};
  EXPECT_TRUE(t.holder.flushOutput());
  EXPECT_EQ(t.holder.pendingOutputBytes(), 57u - 20u);
  ASSERT_TRUE(t.send(3, 0));
  EXPECT_EQ(t.holder.pendingOutputBytes(), 0u);
  EXPECT_EQ(t.socket->wire, cat({pduOf(1, 30), pduOf(2, 5), pduOf(3, 0)}));
  EXPECT_FALSE(t.holder.failed());
}

// Sent at once or gathered in a listener pass's batch, output beyond the
// bound fails the connection of a peer that does not read.
TEST(SocketHolder, BacklogOverflowFailsTheConnection) {
  for (bool batched : {false, true}) {
    SCOPED_TRACE(batched ? "batched" : "at once");
    ScriptedHolder t(std::deque<int>(100000, ScriptedSocket::kFull));
    auto owner = std::make_shared<int>(0);
    t.holder.setOwner(owner);
    std::optional<SendBatch> batch;
    if (batched) batch.emplace();
    int accepted = 0;
    while (accepted < 1000 && t.send(static_cast<uint32_t>(accepted + 1), 60000)) ++accepted;
    EXPECT_EQ(accepted, 17);  // 17 x 60,016 bytes fit in 1 MiB, the 18th does not
    EXPECT_TRUE(t.holder.failed());
    EXPECT_FALSE(t.send(99, 0));
    batch.reset();
    EXPECT_TRUE(t.socket->wire.empty());
    // At once: once for the backlog, once for the failure.
    EXPECT_EQ(t.attention, batched ? 1 : 2);
  }
}

// A holder served by a loop thread is written by that thread only. Another
// thread's sends, at once or gathered in its batch, wait in the backlog and
// ask the owner once; the owner writes them in order, and what the kernel
// leaves goes out before what was appended since.
TEST(SocketHolder, SendsFromAnotherThreadAreWrittenByTheOwner) {
  for (bool batched : {false, true}) {
    SCOPED_TRACE(batched ? "batched" : "at once");
    ScriptedHolder t({5, ScriptedSocket::kFull});
    auto owner = std::make_shared<int>(0);
    t.holder.setOwner(owner);
    t.holder.setOwnerThread();
    auto fromAnotherThread = [&](std::vector<uint32_t> sequences) {
      std::thread other([&] {
        std::optional<SendBatch> batch;
        if (batched) batch.emplace();
        for (uint32_t seq : sequences) EXPECT_TRUE(t.send(seq, seq * 3));
      });
      other.join();
    };
    fromAnotherThread({1, 2});
    EXPECT_EQ(t.socket->writes, 0);
    EXPECT_EQ(t.attention, 1);
    EXPECT_EQ(t.holder.pendingOutputBytes(), 0u);  // the owner was asked: not a wait for the kernel

    EXPECT_TRUE(t.holder.flushOutput());
    EXPECT_EQ(t.socket->wire.size(), 5u);
    EXPECT_EQ(t.holder.pendingOutputBytes(), 19u + 22u - 5u);
    fromAnotherThread({3});
    EXPECT_EQ(t.attention, 2);
    EXPECT_TRUE(t.holder.flushOutput());
    EXPECT_EQ(t.socket->wire, cat({pduOf(1, 3), pduOf(2, 6), pduOf(3, 9)}));
    EXPECT_EQ(t.holder.pendingOutputBytes(), 0u);
  }
}

// ---- the session ----

constexpr uint64_t kNow = 1706745599ULL * 1000000ULL;  // 2024-01-31 23:59:59 UTC
constexpr uint64_t kSecond = 1000000ULL;

// A session on one end of a socket pair whose onTimedCheck may ask to close.
class ProbeSession : public SMPPSessionNull {
 public:
  bool onTimedCheck(uint64_t) override { return closeFromHook; }
  bool closeFromHook = false;
};

// A session of type S on one end of a socket pair.
template <class S>
struct OnPair {
  OnPair() { s.attachSocket(pair.releaseSessionFd(), true, "127.0.0.9", 40001); }
  SocketPair pair;
  S s;
};
using Fixture = OnPair<ProbeSession>;

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
  uint64_t at = 0;          // microseconds after kNow
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
          f.s.noteReceivedPDU(SMPP::PDUHeader{16, s.value, 0, s.seq}, kNow + s.at);
          break;
        case Step::kPending: f.s.addPendingResponse(s.value, kNow + s.at); break;
        case Step::kClosingAt: f.s.setClosingTime(kNow + s.at); break;
        case Step::kInterval: f.s.setEnquireLinkInterval(s.value); break;
        case Step::kTimeout: f.s.setResponseTimeout(s.value); break;
        case Step::kHookCloses: f.s.closeFromHook = true; break;
        case Step::kCheck:
          EXPECT_EQ(f.s.timedCheck(kNow + s.at), s.closes);
          EXPECT_EQ(commandsOf(f.pair.peerReadPDUs()), s.sent);
          break;
      }
    }
  }
}

TEST(SmppSession, DeadSocketsCloseTheSessionAndOnlyOwnedDescriptorsAreClosed) {
  Fixture f;
  f.pair.closePeer();
  EXPECT_FALSE(f.s.readPDU());
  ASSERT_TRUE(f.s.failed());
  EXPECT_TRUE(f.s.timedCheck(kNow));
  EXPECT_EQ(f.s.descriptor(), -1);
  ProbeSession none;  // never given a descriptor
  EXPECT_TRUE(none.timedCheck(kNow) && none.failed());

  for (bool owned : {true, false}) {
    SocketPair pair;
    const int fd = pair.releaseSessionFd();
    {
      SMPPSessionNull s;
      s.attachSocket(fd, owned, "127.0.0.1", 1);
      if (!owned) {  // not even a failed session closes a descriptor it does not own
        pair.closePeer();
        s.readPDU();
        EXPECT_TRUE(s.timedCheck(kNow));
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

// ---- the server side: binds, submits and responses by bind state ----

// A server session whose hooks answer as a test tells them and record what
// they were given. query_sm and cancel_sm keep the refusing defaults.
class ScriptedServer : public SMPPSessionServer {
 public:
  uint8_t onBindAuthorisation(uint64_t now, const std::string& peerIp, uint8_t version,
                              const std::string& systemId, const std::string& password,
                              const std::string& systemType, uint32_t commandId,
                              std::string& responseSystemId, uint32_t seq) override {
    binds.push_back(std::to_string(now) + " " + peerIp + " " + std::to_string(version) + " " +
                    systemId + "/" + password + "/" + systemType + " " + std::to_string(commandId) +
                    " " + std::to_string(seq) + " " + responseSystemId);
    if (!responseSystemIdOverride.empty()) responseSystemId = responseSystemIdOverride;
    return bindResult;
  }
  void onUnbind() override { ++unbinds; }
  void onSubmitSMRefused(const std::string& systemId) override { refusedFor.push_back(systemId); }
  uint8_t onSubmitSM(std::string systemId, SMPP::T_SubmitSM& submit, uint32_t commandId,
                     uint32_t, std::string& messageId, uint32_t& status,
                     EntityResponse* response) override {
    EXPECT_EQ(systemId, "acme");
    EXPECT_EQ(submit.destination_addr, "447700900123");
    EXPECT_EQ(status, 0x45u);  // the preset a refusal keeps unless the hook names another
    submitCommands.push_back(commandId);
    messageId = "msg-1";
    if (submitStatus != 0) status = submitStatus;
    if (response != nullptr) response->messageIds = extraIds;
    return submitResult;
  }
  bool onDeliverSMResp(uint32_t status, const std::string& messageId, uint32_t seq) override {
    responses.push_back("deliver_sm_resp " + std::to_string(status) + " " + std::to_string(seq) +
                        messageId);
    return true;
  }
  bool onDataSMResp(uint32_t status, const std::string& messageId, uint32_t seq) override {
    responses.push_back("data_sm_resp " + std::to_string(status) + " " + std::to_string(seq) +
                        messageId);
    return true;
  }
  size_t calls() const { return binds.size() + submitCommands.size() + unbinds; }

  uint8_t bindResult = kAccept;
  std::string responseSystemIdOverride;
  uint8_t submitResult = kAccept;
  uint32_t submitStatus = 0;
  std::vector<std::string> extraIds;

  std::vector<std::string> binds, refusedFor, responses;
  std::vector<uint32_t> submitCommands;
  size_t unbinds = 0;
};

struct Session : OnPair<ScriptedServer> {
  // Writes `bytes`, runs one processInput call and returns the answers.
  std::vector<ReceivedPDU> feed(const Bytes& bytes) {
    pair.peerWrite(bytes);
    EXPECT_FALSE(s.processInputAt(kNow));
    bool complete = false;
    auto out = pair.peerReadPDUs(&complete);
    EXPECT_TRUE(complete);
    return out;
  }
  std::vector<ReceivedPDU> exchange(uint32_t command, uint32_t seq, const Bytes& body = {}) {
    return feed(SMPP::encodePDU(command, 0, seq, body));
  }
  void bindAs(uint32_t command) {
    auto out = exchange(command, 1, bindBody("acme", "pw", "", 0x34));
    ASSERT_EQ(out.size(), 1u);
    ASSERT_EQ(out[0].header.commandStatus, 0u);
  }
};

const Bytes kVantrel = cstr("VantrelSMSC");
Bytes versionTlv(uint8_t v) { return {0x02, 0x10, 0x00, 0x01, v}; }
const Bytes kQuery = cat({cstr("m1"), {0, 0}, cstr("")});
const Bytes kCancel = cat({cstr("CMT"), cstr("m2"), {1, 1}, cstr("src"), {1, 1}, cstr("dst")});
const Bytes kPastSchedule = cat({cstr(""), {1, 1}, cstr("S"), {1, 1}, cstr("44"), {0, 0, 0},
                                 cstr("240131235958000+"), cstr(""), {0, 0, 0, 0}, {0}});
const std::string kDisabled = "Submits disabled for SMPP account";
const uint32_t TX = SMPP::BIND_TRANSMITTER, RX = SMPP::BIND_RECEIVER, TRX = SMPP::BIND_TRANSCEIVER;

// One request on a session in a given bind state, and its answer.
struct Row {
  const char* name;
  uint32_t bindFirst;  // 0: the session is open (unbound)
  uint32_t command;
  Bytes body;
  long status;  // -1: no answer
  std::optional<Bytes> answerBody;
  size_t hookCalls;  // bind, submit and unbind hook calls the request causes
  std::function<void(ScriptedServer&)> setUp = {};
  int stateAfter = -1;  // -1: unchanged
};

void refuseSubmits(ScriptedServer& s) { s.submitResult = SMPPSessionServer::kRefuse; }

const Row kRows[] = {
    // bind
    {"AcceptedTransceiver", 0, TRX, bindBody("acme", "pw", "VMA", 0x34), 0,
     cat({kVantrel, versionTlv(0x34)}), 1, {}, BIND_STATE_TRANSCEIVER},
    {"Version33GetsNoVersionTlvAndTheHookMayNameTheSystemId", 0, TX, bindBody("a", "", "", 0x33),
     0, cstr("Other"), 1, [](ScriptedServer& s) { s.responseSystemIdOverride = "Other"; },
     BIND_STATE_TRANSMITTER},
    {"Version10IsAnsweredWith34", 0, TX, bindBody("a", "", "", 0x10), 0,
     cat({kVantrel, versionTlv(0x34)}), 1, {}, BIND_STATE_TRANSMITTER},
    {"SecondBindOnBoundSessionIsAlreadyBound", TRX, RX, bindBody("b", "", "", 0x34), 0x05, Bytes{},
     0},
    {"BindWithoutInterfaceVersion", 0, TX, cat({cstr("acme"), cstr("pw"), cstr("")}), 0x0D, Bytes{},
     0},
    {"BindWithSystemIdOf16", 0, TX, bindBody(std::string(16, 'a'), "", "", 0x34), 0x0D, Bytes{}, 0},
    {"BindWithPasswordOf9", 0, TX, bindBody("acme", "123456789", "", 0x34), 0x0D, Bytes{}, 0},
    {"EmptyBind", 0, TX, {}, 0x0D, Bytes{}, 0},
    {"TransceiverBelowVersion34", 0, TRX, bindBody("acme", "", "", 0x33), 0x0D, Bytes{}, 0},
    {"RefusedBindLeavesTheSessionOpen", 0, TX, bindBody("acme", "bad", "", 0x34), 0x0D, Bytes{}, 1,
     [](ScriptedServer& s) { s.bindResult = SMPPSessionServer::kRefuse; }},
    // query_sm and cancel_sm
    {"QueryBeforeBind", 0, SMPP::QUERY_SM, kQuery, 0x04, Bytes{}, 0},
    {"QueryRefused", TRX, SMPP::QUERY_SM, kQuery, 0x67, std::nullopt, 0},
    {"CancelBeforeBind", 0, SMPP::CANCEL_SM, kCancel, 0x04, Bytes{}, 0},
    {"CancelRefused", TX, SMPP::CANCEL_SM, kCancel, 0x11, std::nullopt, 0},
    // submit_sm and data_sm
    {"SubmitBeforeBind", 0, SMPP::SUBMIT_SM, submitBody(), 0x04, Bytes{}, 0},
    {"SubmitOnReceiver", RX, SMPP::SUBMIT_SM, submitBody(), 0x04, Bytes{}, 0},
    {"DataSmOnReceiver", RX, SMPP::DATA_SM, dataSmBody(), 0x04, std::nullopt, 0},
    {"AcceptedSubmitIsAnsweredWithTheMessageId", TX, SMPP::SUBMIT_SM, submitBody(), 0,
     cstr("msg-1"), 1},
    {"AcceptedDataSm", TRX, SMPP::DATA_SM, dataSmBody(), 0, cstr("msg-1"), 1},
    {"FurtherMessageIdsTravelInTlv1400", TRX, SMPP::SUBMIT_SM, submitBody(), 0,
     cat({cstr("msg-1"), {0x14, 0x00, 0x00, 0x05, 'b', 0, 'c', 'd', 0}}), 1,
     [](ScriptedServer& s) { s.extraIds = {"b", "cd"}; }},
    {"RefusedSubmitCarriesTheHookStatus", TX, SMPP::SUBMIT_SM, submitBody(), 0x58, Bytes{}, 1,
     [](ScriptedServer& s) { refuseSubmits(s); s.submitStatus = 0x58; }},
    {"RefusedSubmitKeepsThePreset", TX, SMPP::SUBMIT_SM, submitBody(), 0x45, Bytes{}, 1,
     refuseSubmits},
    {"RefusalAboveFfffCarriesItsReasonText", TX, SMPP::SUBMIT_SM, submitBody(), 0x45,
     cat({{0x00, 0x00, 0x1D, 0x00, uint8_t(kDisabled.size() + 1)}, cstr(kDisabled)}), 1,
     [](ScriptedServer& s) { refuseSubmits(s); s.submitStatus = 0x60045; }},
    {"RefusalOfAnUnknownReasonCarriesAnEmptyText", TX, SMPP::SUBMIT_SM, submitBody(), 0x45,
     Bytes{0x00, 0x00, 0x1D, 0x00, 0x01, 0}, 1,
     [](ScriptedServer& s) { refuseSubmits(s); s.submitStatus = 0x90045; }},
    {"SubmitAnsweredLaterGetsNoAnswerNow", TX, SMPP::SUBMIT_SM, submitBody(), -1, std::nullopt, 1,
     [](ScriptedServer& s) { s.submitResult = SMPPSessionServer::kAnswerLater; }},
    {"SubmitScheduledInThePast", TX, SMPP::SUBMIT_SM, kPastSchedule, 0x61, Bytes{}, 0},
    // unbind, enquire_link, unknown commands
    {"UnbindBeforeBind", 0, SMPP::UNBIND, {}, 0x04, Bytes{}, 0},
    {"UnbindReturnsTheSessionToOpen", TRX, SMPP::UNBIND, {}, 0, Bytes{}, 1, {}, BIND_STATE_OPEN},
    {"EnquireLinkIsAnsweredBeforeBind", 0, SMPP::ENQUIRE_LINK, {}, 0, Bytes{}, 0},
    {"SubmitMultiIsIgnored", TRX, SMPP::SUBMIT_MULTI, Bytes(10, 0), -1, std::nullopt, 0},
    {"DeliverSmFromACustomerIsIgnored", TRX, SMPP::DELIVER_SM, submitBody(), -1, std::nullopt, 0},
};

TEST(ServerSession, AnswersEachRequestByItsBindState) {
  for (const Row& r : kRows) {
    SCOPED_TRACE(r.name);
    Session t;
    if (r.bindFirst != 0) t.bindAs(r.bindFirst);
    const int stateBefore = t.s.bindState();
    const size_t callsBefore = t.s.calls();
    if (r.setUp) r.setUp(t.s);
    const auto out = t.exchange(r.command, 0x1234, r.body);
    const bool isSubmit = r.command == SMPP::SUBMIT_SM || r.command == SMPP::DATA_SM;
    ASSERT_EQ(out.size(), r.status < 0 ? 0u : 1u);
    if (r.status >= 0) {
      EXPECT_EQ(out[0].head(), std::make_tuple(r.command | 0x80000000, uint32_t(r.status), 0x1234));
      if (r.answerBody) { EXPECT_EQ(out[0].body, *r.answerBody); }
    }
    EXPECT_EQ(t.s.calls() - callsBefore, r.hookCalls);
    if (isSubmit && r.hookCalls == 1) { EXPECT_EQ(t.s.submitCommands.back(), r.command); }
    EXPECT_EQ(t.s.bindState(), r.stateAfter < 0 ? stateBefore : r.stateAfter);
    // Submits refused before the hook are reported to the refusal hook.
    EXPECT_EQ(t.s.refusedFor.size(), isSubmit && r.hookCalls == 0 ? 1u : 0u);
  }
}

TEST(ServerSession, BindAnsweredLaterIsCompletedOnceWithTheVerdict) {
  for (bool accept : {true, false}) {
    SCOPED_TRACE(accept ? "accepted" : "refused");
    Session t;
    t.s.bindResult = SMPPSessionServer::kAnswerLater;
    EXPECT_TRUE(t.exchange(TRX, 11, bindBody("acme", "pw", "VMA", 0x50)).empty());
    EXPECT_TRUE(t.s.bindPending());
    EXPECT_EQ(t.s.binds, (std::vector<std::string>{std::to_string(kNow) +
                                                   " 127.0.0.9 80 acme/pw/VMA 9 11 VantrelSMSC"}));
    // Meanwhile a submit is refused for the bind state and a second bind at once.
    auto out = t.exchange(SMPP::SUBMIT_SM, 12, submitBody());
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].head(), std::make_tuple(SMPP::SUBMIT_SM_RESP, 0x04u, 12u));
    out = t.exchange(TRX, 13, bindBody("acme", "pw", "", 0x34));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].head(), std::make_tuple(SMPP::BIND_TRANSCEIVER_RESP, 0x0Du, 13u));
    EXPECT_EQ(t.s.binds.size(), 1u);
    ASSERT_TRUE(t.s.completeBind(kNow + 5, accept));
    EXPECT_FALSE(t.s.bindPending());
    out = t.pair.peerReadPDUs();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].head(), std::make_tuple(SMPP::BIND_TRANSCEIVER_RESP, accept ? 0 : 0x0D, 11));
    EXPECT_EQ(out[0].body, accept ? cat({kVantrel, versionTlv(0x50)}) : Bytes{});
    EXPECT_EQ(t.s.bindState(), accept ? BIND_STATE_TRANSCEIVER : BIND_STATE_OPEN);
    EXPECT_EQ(t.s.systemId(), accept ? "acme" : "");
    if (accept) { EXPECT_EQ(t.s.bindTime(), kNow + 5); }
    EXPECT_FALSE(t.s.completeBind(kNow + 6, true));
  }
}

TEST(ServerSession, BindAfterARefusalInTheSameReadIsRefusedUnasked) {
  Session t;
  t.s.bindResult = SMPPSessionServer::kRefuse;
  auto out = t.feed(cat({SMPP::encodePDU(TX, 0, 1, bindBody("a", "x", "", 0x34)),
                         SMPP::encodePDU(TX, 0, 2, bindBody("a", "y", "", 0x34))}));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].head(), std::make_tuple(TX | 0x80000000, 0x0Du, 1u));
  EXPECT_EQ(out[1].head(), std::make_tuple(TX | 0x80000000, 0x0Du, 2u));
  EXPECT_EQ(t.s.binds.size(), 1u);
  // A later bind is asked again.
  t.s.bindResult = SMPPSessionServer::kAccept;
  t.bindAs(SMPP::BIND_TRANSMITTER);
  EXPECT_EQ(t.s.bindState(), BIND_STATE_TRANSMITTER);
}

TEST(ServerSession, ResponsesReachTheirHooksAndClearWhatTheyAnswer) {
  Session t;
  t.s.noteReceivedPDU(SMPP::PDUHeader{16, SMPP::ENQUIRE_LINK, 0, 1}, kNow - 200000000);
  EXPECT_FALSE(t.s.timedCheck(kNow));
  ASSERT_NE(t.s.enquireLinkSentTime(), 0u);
  t.pair.peerReadPDUs();
  t.s.addPendingResponse(5, kNow);
  auto out = t.feed(cat({SMPP::encodePDU(SMPP::ENQUIRE_LINK_RESP, 0, 1, {}),
                         SMPP::encodePDU(SMPP::DELIVER_SM_RESP, 0, 5, cstr("ignored")),
                         SMPP::encodePDU(SMPP::DATA_SM_RESP, 0x45, 6, cstr("")),
                         SMPP::encodePDU(SMPP::SUBMIT_SM_RESP, 0, 7, cstr("x"))}));
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(t.s.enquireLinkSentTime(), 0u);
  EXPECT_EQ(t.s.pendingResponseCount(), 0u);
  // The message_id of either response is not handed on.
  EXPECT_EQ(t.s.responses, (std::vector<std::string>{"deliver_sm_resp 0 5", "data_sm_resp 69 6"}));
  EXPECT_EQ(t.s.submitSMRespStats().count.load(), 1u);
  EXPECT_EQ(t.s.lastActivityTime(), kNow);
}

}  // namespace
