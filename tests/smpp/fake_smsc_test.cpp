#include "tests/support/fake_smsc.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "smpp/pdu.h"
#include "tests/support/smpp_test_client.h"

using testing_support::FakeSmsc;
using testing_support::SmppTestClient;

namespace {

std::string submitBody(const std::string& source, const std::string& destination) {
  SMPP::T_SubmitSM sm;
  sm.source_addr = source;
  sm.destination_addr = destination;
  sm.registered_delivery = 1;
  sm.short_message = {'h', 'i'};
  std::vector<uint8_t> body;
  EXPECT_TRUE(SMPP::encodeSubmitSMBody(SMPP::SUBMIT_SM, sm, body));
  return std::string(body.begin(), body.end());
}

std::string messageIdOf(const testing_support::WirePDU& pdu) {
  return std::string(pdu.body.c_str());  // message_id is the leading C-octet string
}

// The fake the upstream tests stand on: a bind is seen with its type, two
// submits get two different ids, and a receipt for the first follows its
// response on the same bind.
TEST(FakeSmscTest, BoundClientGetsDistinctIdsAndAReceipt) {
  FakeSmsc smsc;
  FakeSmsc::Behaviour behaviour;
  behaviour.messageIdPrefix = "smoke-";
  behaviour.receipt = FakeSmsc::ReceiptTiming::AfterResponse;
  smsc.setBehaviour(behaviour);

  SmppTestClient client(smsc.port());
  ASSERT_TRUE(client.connected());
  auto bound = client.bind(SMPP::BIND_TRANSCEIVER, "gateway", "pw");
  ASSERT_TRUE(bound.has_value());
  EXPECT_EQ(bound->commandStatus, 0u);
  const int connection = smsc.waitForBound("gateway", SMPP::BIND_TRANSCEIVER);
  ASSERT_NE(connection, 0);

  const uint32_t first = client.send(SMPP::SUBMIT_SM, submitBody("100", "447700900001"));
  auto firstResp = client.read();
  ASSERT_TRUE(firstResp.has_value());
  EXPECT_EQ(firstResp->commandId, SMPP::SUBMIT_SM_RESP);
  EXPECT_EQ(firstResp->sequenceNumber, first);
  auto receipt = client.read();
  ASSERT_TRUE(receipt.has_value());
  EXPECT_EQ(receipt->commandId, SMPP::DELIVER_SM);

  client.send(SMPP::DELIVER_SM_RESP, std::string(1, '\0'), receipt->sequenceNumber);
  client.send(SMPP::SUBMIT_SM, submitBody("100", "447700900002"));
  auto secondResp = client.readUntil(SMPP::SUBMIT_SM_RESP);
  ASSERT_TRUE(secondResp.has_value());

  const std::string id1 = messageIdOf(*firstResp);
  const std::string id2 = messageIdOf(*secondResp);
  EXPECT_EQ(id1.rfind("smoke-", 0), 0u) << id1;
  EXPECT_EQ(id2.rfind("smoke-", 0), 0u) << id2;
  EXPECT_NE(id1, id2);
  EXPECT_NE(receipt->body.find("id:" + id1 + " sub:001 dlvrd:001 submit date:"), std::string::npos);
  EXPECT_NE(receipt->body.find("stat:DELIVRD err:000 text:"), std::string::npos);

  ASSERT_TRUE(smsc.waitForReceived(connection, SMPP::DELIVER_SM_RESP, 1));
  const auto submits = smsc.submits();
  ASSERT_EQ(submits.size(), 2u);
  EXPECT_EQ(submits[0].messageId, id1);
  EXPECT_EQ(submits[1].sm.destination_addr, "447700900002");
}

}  // namespace
