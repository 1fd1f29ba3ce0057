// A customer session sending queued deliver_sm: failed writes, answers, the
// window, and what happens to unanswered deliveries when the session closes.
// Uses the customer "plain" / "pw" of ostrel_session_test.cpp's environment.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "admin/metrics.h"
#include "base/wall_clock.h"
#include "downstream/deliver_sm_queue.h"
#include "downstream/delivery_receipt.h"
#include "downstream/ostrel_session.h"
#include "smpp/pdu.h"
#include "smpp/receipt.h"
#include "tests/support/loopback.h"
#include "tests/support/smpp_test_client.h"

using namespace testing_support;

namespace {

DeliverSMQueue::Body bodyOf(const std::string& text) {
  return {text.begin(), text.end()};
}

void drain(const std::string& systemId) {
  DeliverSMQueue::Body body;
  while (DeliverSMQueue::instance().popDeliverSM(systemId, body)) {
  }
}

std::string pdu(uint32_t commandId, uint32_t sequence, const std::string& body = "") {
  std::string out(16, '\0');
  auto put = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>(v >> (24 - 8 * i));
  };
  put(0, static_cast<uint32_t>(16 + body.size()));
  put(4, commandId);
  put(12, sequence);
  return out + body;
}

uint32_t u32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v = v << 8 | static_cast<uint8_t>(s[at + i]);
  return v;
}

// A customer session bound over a socket pair; the test is the customer.
class BoundSession {
 public:
  BoundSession(uint32_t bindCommand, uint8_t version) {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    clientFd_ = fds[1];
    session_ = OstrelSession::create(fds[0], "127.0.0.2", 40000, nullptr);
    EXPECT_TRUE(writeAll(clientFd_, pdu(bindCommand, 7, bindBody("plain", "pw", "", version))));
    testing::internal::CaptureStdout();
    session_->processInputAt(wallClockMicros());
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(readPDU().substr(8, 4), std::string(4, '\0')) << "bind refused";
  }
  ~BoundSession() {
    session_.reset();
    if (clientFd_ >= 0) close(clientFd_);
  }
  OstrelSession& session() { return *session_; }
  void reset() { session_.reset(); }
  void closeClient() {
    close(clientFd_);
    clientFd_ = -1;
  }
  void answer(uint32_t sequence) {
    ASSERT_TRUE(writeAll(clientFd_, pdu(SMPP::DELIVER_SM_RESP, sequence, std::string(1, '\0'))));
    session_->processInputAt(wallClockMicros());
  }
  // One whole PDU from the session, or "" after 1 s.
  std::string readPDU() {
    std::string header = readExactly(clientFd_, 16, std::chrono::milliseconds(1000));
    if (header.size() != 16) return "";
    return header + readExactly(clientFd_, u32(header, 0) - 16, std::chrono::milliseconds(1000));
  }
  bool offer(bool& delivered) {
    bool again = false;
    delivered = false;
    return session_->deliverQueued(wallClockMicros(), again, delivered);
  }

 private:
  int clientFd_ = -1;
  std::shared_ptr<OstrelSession> session_;
};

TEST(DeliverSessionTest, GeneratedReceiptIsQueuedUnderTheBoundSystemIdWithTlvsOnlyAbove33) {
  for (uint8_t version : {uint8_t{0x33}, uint8_t{0x34}}) {
    SCOPED_TRACE(int(version));
    drain("plain");
    BoundSession bound(0x01, version);
    SMPP::T_SubmitSM submit;
    submit.source_addr = "ACME";
    submit.destination_addr = "4477";
    submit.registered_delivery = 2;
    EXPECT_FALSE(generateDeliveryReceipt(bound.session(), submit, "id1", SMPP::STATE_DELIVERED, 0,
                                         wallClockMicros()));
    EXPECT_TRUE(generateDeliveryReceipt(bound.session(), submit, "id1", SMPP::STATE_UNDELIVERABLE,
                                        0, wallClockMicros()));
    DeliverSMQueue::Body body;
    ASSERT_TRUE(DeliverSMQueue::instance().popDeliverSM("plain", body));
    SMPP::T_SubmitSM got;
    ASSERT_TRUE(SMPP::parseDeliverSM(body.data(), body.size(), got, wallClockMicros()));
    EXPECT_EQ(got.destination_addr, "ACME");
    EXPECT_EQ(got.tlvs.size(), version > 0x33 ? 3u : 0u);
    EXPECT_EQ(DeliverSMQueue::instance().queuedCount("plain"), 0u);
  }
}

TEST(DeliverSessionTest, FailedWriteIsQueuedAgainAtTheFrontAndCounted) {
  drain("plain");
  BoundSession bound(0x01, 0x34);
  DeliverSMQueue::instance().pushDeliverSM("plain", bodyOf("first"));
  DeliverSMQueue::instance().pushDeliverSM("plain", bodyOf("second"));
  MetricsRegistry& metrics = MetricsRegistry::instance();
  const uint64_t failsBefore = metrics.counterValue("smppDeliverSMSendFail");
  const uint64_t socketFailsBefore = metrics.counterValue(
      seriesKey("sockets_smpp_DN_DeliverSM_sendFail_ESME", {{"esme", "plain"}}));
  bound.closeClient();
  bool delivered = true;
  EXPECT_TRUE(bound.offer(delivered)) << "a dead connection is handed back to be closed";
  EXPECT_FALSE(delivered);
  EXPECT_EQ(metrics.counterValue("smppDeliverSMSendFail"), failsBefore + 1);
  EXPECT_EQ(metrics.counterValue(
                seriesKey("sockets_smpp_DN_DeliverSM_sendFail_ESME", {{"esme", "plain"}})),
            socketFailsBefore + 1);
  DeliverSMQueue::Body body;
  ASSERT_TRUE(DeliverSMQueue::instance().popDeliverSM("plain", body));
  EXPECT_EQ(body, bodyOf("first"));
  ASSERT_TRUE(DeliverSMQueue::instance().popDeliverSM("plain", body));
  EXPECT_EQ(body, bodyOf("second"));
}

TEST(DeliverSessionTest, UnansweredDeliveriesReturnInSendOrderWhenTheSessionCloses) {
  drain("plain");
  BoundSession bound(0x01, 0x34);
  for (const char* text : {"a", "b", "c", "d"})
    DeliverSMQueue::instance().pushDeliverSM("plain", bodyOf(text));
  std::vector<uint32_t> sequences;
  for (int i = 0; i < 3; ++i) {
    bool delivered = false;
    EXPECT_FALSE(bound.offer(delivered));
    EXPECT_TRUE(delivered);
    std::string sent = bound.readPDU();
    ASSERT_EQ(sent.size(), 17u);
    EXPECT_EQ(u32(sent, 4), SMPP::DELIVER_SM);
    sequences.push_back(u32(sent, 12));
  }
  // A refusal is final as much as an acceptance.
  bound.answer(sequences[1]);
  EXPECT_EQ(bound.session().unansweredDeliveries(), 2u);
  bound.session().closeConnection();
  std::string order;
  DeliverSMQueue::Body body;
  while (DeliverSMQueue::instance().popDeliverSM("plain", body))
    order.append(body.begin(), body.end());
  EXPECT_EQ(order, "acd");
}

TEST(DeliverSessionTest, FullWindowTakesNothingUntilAnAnswerFreesIt) {
  drain("plain");
  BoundSession bound(0x09, 0x34);
  const size_t window = OstrelSession::kDeliverWindow;
  for (size_t i = 0; i <= window; ++i)
    DeliverSMQueue::instance().pushDeliverSM("plain", bodyOf("r"));
  uint32_t firstSequence = 0;
  for (size_t i = 0; i < window; ++i) {
    bool delivered = false;
    bound.offer(delivered);
    ASSERT_TRUE(delivered) << i;
    std::string sent = bound.readPDU();
    if (i == 0) firstSequence = u32(sent, 12);
  }
  bool delivered = true;
  EXPECT_FALSE(bound.offer(delivered));
  EXPECT_FALSE(delivered);
  EXPECT_EQ(DeliverSMQueue::instance().queuedCount("plain"), 1u);
  bound.answer(firstSequence);
  bound.offer(delivered);
  EXPECT_TRUE(delivered);
  EXPECT_EQ(DeliverSMQueue::instance().queuedCount("plain"), 0u);
  // Dropping the session without the listener still returns the window.
  bound.reset();
  EXPECT_EQ(DeliverSMQueue::instance().queuedCount("plain"), window);
  drain("plain");
}

}  // namespace
