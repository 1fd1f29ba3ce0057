#include "smpp/smpp_socket_holder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <deque>
#include <optional>
#include <thread>

#include "smpp/send_batch.h"
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

}  // namespace
