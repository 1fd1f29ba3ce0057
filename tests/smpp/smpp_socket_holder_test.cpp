#include "smpp/smpp_socket_holder.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <deque>
#include <thread>

#include "tests/smpp/smpp_test_peer.h"

namespace {

using namespace smpp_test;

SMPPSocketHolder* makeHolder(SocketPair& pair) {
  auto* holder = new SMPPSocketHolder();
  holder->attach(std::make_unique<SMPPSocketUnencrypted>(pair.releaseSessionFd()), true);
  return holder;
}


TEST(SocketHolder, TwoPdusInOneReadAreBothReturned) {
  SocketPair pair;
  std::unique_ptr<SMPPSocketHolder> h(makeHolder(pair));
  pair.peerWrite(cat({SMPP::encodePDU(SMPP::ENQUIRE_LINK, 0, 7, {}),
                      SMPP::encodePDU(SMPP::SUBMIT_SM, 0, 8, text("abc"))}));
  ASSERT_TRUE(h->readPDU());
  EXPECT_EQ(h->header().commandId, SMPP::ENQUIRE_LINK);
  EXPECT_EQ(h->header().sequenceNumber, 7u);
  EXPECT_EQ(h->bodyLength(), 0u);
  ASSERT_TRUE(h->readPDU());
  EXPECT_EQ(h->header().sequenceNumber, 8u);
  EXPECT_EQ(Bytes(h->body(), h->body() + h->bodyLength()), text("abc"));
  EXPECT_FALSE(h->readPDU());
  EXPECT_FALSE(h->failed());
  EXPECT_EQ(h->bufferedBytes(), 0u);
}

TEST(SocketHolder, ByteByByteDeliveryFramesEveryPdu) {
  SocketPair pair;
  std::unique_ptr<SMPPSocketHolder> h(makeHolder(pair));
  Bytes stream;
  for (uint32_t i = 1; i <= 5; ++i) {
    const Bytes pdu = SMPP::encodePDU(SMPP::SUBMIT_SM, 0, i, Bytes(i * 7, static_cast<uint8_t>(i)));
    stream.insert(stream.end(), pdu.begin(), pdu.end());
  }
  uint32_t seen = 0;
  for (uint8_t b : stream) {
    pair.peerWrite({b});
    if (h->readPDU()) {
      ++seen;
      EXPECT_EQ(h->header().sequenceNumber, seen);
      EXPECT_EQ(h->bodyLength(), seen * 7);
    }
  }
  EXPECT_EQ(seen, 5u);
}

TEST(SocketHolder, LengthAbovePduLimitFailsTheConnection) {
  SocketPair pair;
  std::unique_ptr<SMPPSocketHolder> h(makeHolder(pair));
  Bytes header = SMPP::encodePDU(SMPP::SUBMIT_SM, 0, 1, {});
  SMPP::writeU32(header.data(), 66561);
  pair.peerWrite(header);
  EXPECT_FALSE(h->readPDU());
  EXPECT_TRUE(h->failed());
  EXPECT_FALSE(h->peerClosed());
}

TEST(SocketHolder, LengthAtPduLimitIsAccepted) {
  SocketPair pair;
  std::unique_ptr<SMPPSocketHolder> h(makeHolder(pair));
  const Bytes pdu = SMPP::encodePDU(SMPP::DATA_SM, 0, 1, Bytes(SMPP::MAX_BODY_LENGTH, 1));
  std::thread writer([&] { pair.peerWrite(pdu); });
  bool got = false;
  for (int i = 0; i < 100000 && !got && !h->failed(); ++i) got = h->readPDU();
  writer.join();
  EXPECT_TRUE(got);
  EXPECT_EQ(h->bodyLength(), SMPP::MAX_BODY_LENGTH);
}

TEST(SocketHolder, LengthBelowHeaderSizeFailsTheConnection) {
  SocketPair pair;
  std::unique_ptr<SMPPSocketHolder> h(makeHolder(pair));
  Bytes header = SMPP::encodePDU(SMPP::ENQUIRE_LINK, 0, 1, {});
  SMPP::writeU32(header.data(), 15);
  pair.peerWrite(header);
  EXPECT_FALSE(h->readPDU());
  EXPECT_TRUE(h->failed());
}

TEST(SocketHolder, PeerCloseFailsAfterBufferedPdusAreTaken) {
  SocketPair pair;
  std::unique_ptr<SMPPSocketHolder> h(makeHolder(pair));
  pair.peerWrite(cat({SMPP::encodePDU(SMPP::ENQUIRE_LINK, 0, 1, {}),
                      SMPP::encodePDU(SMPP::ENQUIRE_LINK, 0, 2, {})}));
  close(pair.peerFd);
  pair.peerFd = -1;
  ASSERT_TRUE(h->readPDU());
  ASSERT_TRUE(h->readPDU());
  EXPECT_FALSE(h->readPDU());
  EXPECT_TRUE(h->failed());
  EXPECT_TRUE(h->peerClosed());
}

TEST(SocketHolder, MissingSocketObjectFailsReading) {
  SMPPSocketHolder h;
  h.detach();
  EXPECT_FALSE(h.readPDU());
  EXPECT_TRUE(h.failed());
  EXPECT_FALSE(h.sendPDU(1, SMPP::ENQUIRE_LINK, 0, nullptr, 0));
}

TEST(SocketHolder, SendWithoutDescriptorFails) {
  SMPPSocketHolder h;
  EXPECT_EQ(h.descriptor(), -1);
  EXPECT_FALSE(h.sendPDU(1, SMPP::ENQUIRE_LINK, 0, nullptr, 0));
}

TEST(SocketHolder, ClosedHolderRefusesEverySendAndForgetsItsDescriptor) {
  SocketPair pair;
  std::unique_ptr<SMPPSocketHolder> h(makeHolder(pair));
  ASSERT_TRUE(h->sendPDU(1, SMPP::ENQUIRE_LINK, 0, nullptr, 0));
  h->closeDescriptor();
  EXPECT_EQ(h->descriptor(), -1);
  EXPECT_FALSE(h->sendPDU(2, SMPP::ENQUIRE_LINK, 0, nullptr, 0));
}

TEST(SocketHolder, SendWritesHeaderAndBodyByteExact) {
  SocketPair pair;
  std::unique_ptr<SMPPSocketHolder> h(makeHolder(pair));
  const Bytes body = {'i', 'd', 0};
  ASSERT_TRUE(h->sendPDU(0x0A0B0C0D, SMPP::SUBMIT_SM_RESP, 0x58, body.data(), body.size()));
  const Bytes expected = {0, 0, 0, 19, 0x80, 0, 0, 4, 0, 0, 0, 0x58, 0x0A, 0x0B, 0x0C, 0x0D,
                          'i', 'd', 0};
  EXPECT_EQ(pair.peerReadAvailable(1000), expected);
}

TEST(SocketHolder, OversizedBodyIsNeverSent) {
  SocketPair pair;
  std::unique_ptr<SMPPSocketHolder> h(makeHolder(pair));
  const Bytes body(SMPP::MAX_BODY_LENGTH + 1, 0);
  EXPECT_FALSE(h->sendPDU(1, SMPP::DATA_SM, 0, body.data(), body.size()));
  EXPECT_TRUE(pair.peerReadAvailable().empty());
  EXPECT_FALSE(h->failed());
}

TEST(SocketHolder, SendToClosedPeerFailsTheConnection) {
  SocketPair pair;
  std::unique_ptr<SMPPSocketHolder> h(makeHolder(pair));
  close(pair.peerFd);
  pair.peerFd = -1;
  EXPECT_FALSE(h->sendPDU(1, SMPP::ENQUIRE_LINK, 0, nullptr, 0));
  EXPECT_TRUE(h->failed());
}

// A transport with a scripted kernel: each write takes the next script
// entry: a positive number is how many bytes the kernel accepts, kFull
// refuses with EAGAIN, kBroken fails with `brokenErrno`. With the script
// exhausted every write is taken whole. Every accepted byte is recorded.
class ScriptedSocket : public SMPPSocket {
 public:
  static constexpr int kFull = -1;
  static constexpr int kBroken = -2;

  bool readByte(uint8_t*) override { return false; }
  bool readExact(uint8_t*, size_t) override { return false; }
  ssize_t read(uint8_t*, size_t) override {
    errno = EAGAIN;
    return -1;
  }
  ssize_t write(const uint8_t* buffer, size_t length) override {
    ++writes;
    size_t n = length;
    if (!script.empty()) {
      const int step = script.front();
      script.pop_front();
      if (step == kFull) {
        errno = EAGAIN;
        return -1;
      }
      if (step == kBroken) {
        errno = brokenErrno;
        return -1;
      }
      n = std::min(length, static_cast<size_t>(step));
    }
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
  ScriptedHolder() {
    auto s = std::make_unique<ScriptedSocket>();
    socket = s.get();
    holder.attach(std::move(s), false);
    holder.setAttentionCallback([this] { ++attention; });
  }
  SMPPSocketHolder holder;
  ScriptedSocket* socket;
  int attention = 0;
};

Bytes pduOf(uint32_t seq, size_t bodyLength) {
  return SMPP::encodePDU(SMPP::DELIVER_SM, 0, seq, Bytes(bodyLength, static_cast<uint8_t>(seq)));
}

bool sendOf(SMPPSocketHolder& h, uint32_t seq, size_t bodyLength) {
  const Bytes body(bodyLength, static_cast<uint8_t>(seq));
  return h.sendPDU(seq, SMPP::DELIVER_SM, 0, body.data(), body.size());
}

TEST(SocketHolder, ShortWriteSendsTheRestOfThePdu) {
  ScriptedHolder t;
  t.socket->script = {7, 7, 7};
  ASSERT_TRUE(sendOf(t.holder, 1, 40));
  EXPECT_EQ(t.socket->wire, pduOf(1, 40));
  EXPECT_EQ(t.attention, 0);  // the kernel kept taking bytes: nothing left to watch
}

TEST(SocketHolder, UnsentRestIsKeptAndGoesOutBeforeTheNextPdu) {
  ScriptedHolder t;
  // 10 bytes go out, then the kernel is full: the send returns at once with
  // the rest queued and the owner told to watch for writability.
  t.socket->script = {10, ScriptedSocket::kFull};
  ASSERT_TRUE(sendOf(t.holder, 1, 30));
  EXPECT_EQ(t.socket->writes, 2);
  EXPECT_EQ(t.socket->wire.size(), 10u);
  EXPECT_EQ(t.holder.pendingOutputBytes(), 36u);
  EXPECT_EQ(t.attention, 1);

  // While the kernel is still full a new PDU queues behind.
  t.socket->script = {ScriptedSocket::kFull};
  ASSERT_TRUE(sendOf(t.holder, 2, 5));
  EXPECT_EQ(t.holder.pendingOutputBytes(), 36u + 21u);
  EXPECT_EQ(t.attention, 1);

  // Once the kernel takes bytes again both go out whole and in order.
  ASSERT_TRUE(sendOf(t.holder, 3, 0));
  EXPECT_EQ(t.holder.pendingOutputBytes(), 0u);
  EXPECT_EQ(t.socket->wire, cat({pduOf(1, 30), pduOf(2, 5), pduOf(3, 0)}));
  EXPECT_FALSE(t.holder.failed());
}

TEST(SocketHolder, FlushOutputDrainsTheBacklog) {
  ScriptedHolder t;
  t.socket->script = {3, ScriptedSocket::kFull};
  ASSERT_TRUE(sendOf(t.holder, 9, 50));
  ASSERT_GT(t.holder.pendingOutputBytes(), 0u);
  t.socket->script = {20, ScriptedSocket::kFull};
  EXPECT_TRUE(t.holder.flushOutput());
  EXPECT_EQ(t.holder.pendingOutputBytes(), 66u - 23u);
  EXPECT_TRUE(t.holder.flushOutput());
  EXPECT_EQ(t.holder.pendingOutputBytes(), 0u);
  EXPECT_EQ(t.socket->wire, pduOf(9, 50));
}

TEST(SocketHolder, BacklogOverflowFailsTheConnection) {
  ScriptedHolder t;
  for (int i = 0; i < 100000; ++i) t.socket->script.push_back(ScriptedSocket::kFull);
  int accepted = 0;
  while (accepted < 1000 && sendOf(t.holder, static_cast<uint32_t>(accepted + 1), 60000)) {
    ++accepted;
  }
  EXPECT_EQ(accepted, 17);  // 17 x 60,016 bytes fit in 1 MiB, the 18th does not
  EXPECT_TRUE(t.holder.failed());
  EXPECT_TRUE(t.socket->wire.empty());
  EXPECT_FALSE(sendOf(t.holder, 99, 0));
  EXPECT_EQ(t.attention, 2);  // once for the backlog, once for the failure
}

TEST(SocketHolder, ErrorAfterPartOfAPduFailsTheConnection) {
  ScriptedHolder t;
  t.socket->script = {10, ScriptedSocket::kBroken};
  t.socket->brokenErrno = EINVAL;  // not a connection error by itself
  EXPECT_FALSE(sendOf(t.holder, 1, 30));
  EXPECT_TRUE(t.holder.failed());
}

TEST(SocketHolder, UnusualErrorBeforeAnyByteKeepsTheConnection) {
  ScriptedHolder t;
  t.socket->script = {ScriptedSocket::kBroken};
  t.socket->brokenErrno = EINVAL;
  EXPECT_FALSE(sendOf(t.holder, 1, 30));
  EXPECT_FALSE(t.holder.failed());
  EXPECT_TRUE(sendOf(t.holder, 2, 3));
  EXPECT_EQ(t.socket->wire, pduOf(2, 3));
}

TEST(SocketHolder, ConnectionErrorFailsTheConnection) {
  ScriptedHolder t;
  t.socket->script = {ScriptedSocket::kBroken};
  t.socket->brokenErrno = EPIPE;
  EXPECT_FALSE(sendOf(t.holder, 1, 30));
  EXPECT_TRUE(t.holder.failed());
}

// A real TCP connection on loopback whose receiver stops reading: the
// sender's kernel fills up and writes come back short.
TEST(SocketHolder, StalledTcpPeerGetsOnlyWholePdus) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  socklen_t len = sizeof addr;
  getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  listen(listener, 1);
  const int client = socket(AF_INET, SOCK_STREAM, 0);
  const int small = 4096;
  setsockopt(client, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  const int server = accept(listener, nullptr, nullptr);
  close(listener);
  setsockopt(server, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  fcntl(client, F_SETFL, fcntl(client, F_GETFL) | O_NONBLOCK);

  SMPPSocketHolder h;
  h.attach(std::make_unique<SMPPSocketUnencrypted>(client), true);
  Bytes expected;
  uint32_t seq = 0;
  // Send until the backlog holds something: the kernel took part of a PDU.
  while (h.pendingOutputBytes() == 0 && seq < 10000) {
    ++seq;
    ASSERT_TRUE(sendOf(h, seq, 1000 + seq % 7));
    const Bytes pdu = pduOf(seq, 1000 + seq % 7);
    expected.insert(expected.end(), pdu.begin(), pdu.end());
  }
  ASSERT_GT(h.pendingOutputBytes(), 0u);
  for (int i = 0; i < 5; ++i) {
    ++seq;
    ASSERT_TRUE(sendOf(h, seq, 10));
    const Bytes pdu = pduOf(seq, 10);
    expected.insert(expected.end(), pdu.begin(), pdu.end());
  }
  // Now read everything on the far side, flushing as room appears.
  Bytes received;
  uint8_t buf[65536];
  for (int rounds = 0; rounds < 100000 && received.size() < expected.size(); ++rounds) {
    h.flushOutput();
    const ssize_t n = recv(server, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) received.insert(received.end(), buf, buf + n);
  }
  close(server);
  EXPECT_FALSE(h.failed());
  EXPECT_EQ(received, expected);
}

}  // namespace

namespace {

TEST(SocketUnencrypted, OperationsOnALiveDescriptor) {
  SocketPair pair;
  SMPPSocketUnencrypted s(pair.sessionFd);
  uint8_t b = 0;
  EXPECT_FALSE(s.readByte(&b));  // nothing yet, and no blocking
  EXPECT_EQ(s.peek(), -1);
  pair.peerWrite({1, 2, 3, 4, 5});
  pollfd p{pair.sessionFd, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 1000), 1);
  EXPECT_EQ(s.bytesAvailable(), 5);
  EXPECT_EQ(s.peek(), 1);
  ASSERT_TRUE(s.readByte(&b));
  EXPECT_EQ(b, 1);
  uint8_t four[4];
  ASSERT_TRUE(s.readExact(four, 4));
  EXPECT_EQ(four[3], 5);
  EXPECT_EQ(s.bytesAvailable(), 0);
  pair.peerWrite({6, 7});
  ASSERT_EQ(::poll(&p, 1, 1000), 1);
  EXPECT_FALSE(s.readExact(four, 4));  // only two arrived
  const uint8_t out[3] = {9, 8, 7};
  EXPECT_EQ(s.write(out, 3), 3);
  EXPECT_EQ(pair.peerReadAvailable(1000), (Bytes{9, 8, 7}));
  EXPECT_EQ(s.descriptor(), pair.sessionFd);
}

TEST(SocketUnencrypted, OperationsWithoutDescriptor) {
  SMPPSocketUnencrypted s(-1);
  uint8_t buf[4];
  EXPECT_EQ(s.read(buf, 4), -1);
  EXPECT_EQ(s.write(buf, 4), 0);
  EXPECT_EQ(s.peek(), 0);
  EXPECT_EQ(s.bytesAvailable(), 0);
  EXPECT_FALSE(s.readByte(buf));
}

}  // namespace
