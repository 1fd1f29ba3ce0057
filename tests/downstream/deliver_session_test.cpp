// A customer session sending queued deliver_sm: failed writes, answers, the
// window, and what happens to unanswered deliveries when the session closes.
// The customer "plain" / "pw" is loaded by ostrel_session_test.cpp.
#include <gtest/gtest.h>

#include <string>

#include "admin/metrics.h"
#include "downstream/deliver_sm_queue.h"
#include "smpp/pdu.h"
#include "tests/downstream/session_pair.h"

using namespace downstream_test;

namespace {

DeliverSMQueue::Body bodyOf(const std::string& text) { return {text.begin(), text.end()}; }

void drain(const std::string& systemId) {
  DeliverSMQueue::Body body;
  while (DeliverSMQueue::instance().popDeliverSM(systemId, body)) {
  }
}

// "plain" bound on a fresh session, its queue empty.
class BoundSession : public SessionPair {
 public:
  explicit BoundSession(uint32_t bindCommand) {
    drain("plain");
    sendBind(bindCommand, "plain", "pw");
    testing::internal::CaptureStdout();
    session().processInputAt(wallClockMicros());
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(responseStatus(), 0) << "bind refused";
  }
  void answer(uint32_t sequence) {
    send(SMPP::DELIVER_SM_RESP, sequence, std::string(1, '\0'));
    session().processInputAt(wallClockMicros());
  }
  bool offer(bool& delivered) {
    bool again = false;
    delivered = false;
    return session().deliverQueued(wallClockMicros(), again, delivered);
  }
};

TEST(DeliverSessionTest, FailedWriteIsQueuedAgainAtTheFrontAndCounted) {
  BoundSession bound(SMPP::BIND_RECEIVER);
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
  BoundSession bound(SMPP::BIND_RECEIVER);
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
  BoundSession bound(SMPP::BIND_TRANSCEIVER);
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
  bound.destroy();
  EXPECT_EQ(DeliverSMQueue::instance().queuedCount("plain"), window);
  drain("plain");
}

}  // namespace
