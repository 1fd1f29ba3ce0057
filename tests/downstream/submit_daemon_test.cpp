// The submit path of the real daemon: a customer's submits refused by the
// checks, answered by the internal simulator, or forwarded to the fake SMSC
// and answered with its message id, its refusal, or 0x08 when the SMSC
// connection ends first; receipts come back to the customer.

#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "smpp/pdu.h"
#include "tests/support/fake_http_server.h"
#include "tests/support/fake_smsc.h"
#include "tests/support/smpp_test_client.h"
#include "tests/support/test_daemon.h"

using namespace testing_support;
using nlohmann::json;
using namespace std::chrono_literals;

namespace {

json esme(const std::string& id, const std::string& targetSet, json extra = json::object()) {
  json e = {{"systemid", id}, {"password", id}, {"sharedtargetsetid", targetSet}};
  e.update(extra);
  return e;
}

json configuration(int smscPort, json esmes) {
  json target = {{"name", "up1"},    {"host", "127.0.0.1"}, {"port", smscPort},
                 {"bindqty", 2},     {"systemid", "up"},    {"password", "upw"},
                 {"systemtype", ""}, {"weight", 1},         {"admindown", false}};
  return {{"base", {{"log.level", "INFO"}}},
          {"targetsets",
           {{{"id", "ts"}, {"name", "ts"}, {"submits_enabled", true}, {"targets", {target}}}}},
          {"esme", esmes}};
}

struct Answer {
  uint32_t status = 0xFFFFFFFF;
  std::string messageId;
  std::string body;
};

// Submits and waits for the answer to that submit.
Answer submit(SmppTestClient& client, const std::string& destination, const std::string& text,
              uint8_t registeredDelivery = 0, uint8_t esmClass = 0) {
  const uint32_t seq = client.send(
      SMPP::SUBMIT_SM, submitBody("4470", destination, text, registeredDelivery, esmClass));
  for (int i = 0; i < 10; ++i) {
    std::optional<WirePDU> pdu = client.readUntil(SMPP::SUBMIT_SM_RESP, 5s);
    if (!pdu) break;
    if (pdu->sequenceNumber != seq) continue;
    Answer a{pdu->commandStatus, "", pdu->body};
    if (!pdu->body.empty() && pdu->commandStatus == 0)
      a.messageId = pdu->body.substr(0, pdu->body.find('\0'));
    return a;
  }
  return {};
}

// A data_sm body with the text in message_payload.
std::string dataSmBody(const std::string& destination, const std::string& text) {
  std::string body(1, '\0');
  body += std::string("\x01\x01", 2) + SmppTestClient::cString("4470");
  body += std::string("\x01\x01", 2) + SmppTestClient::cString(destination);
  body += std::string(3, '\0');  // esm_class, registered_delivery, data_coding
  body += std::string("\x04\x24", 2);
  body.push_back(static_cast<char>(text.size() >> 8));
  body.push_back(static_cast<char>(text.size() & 0xFF));
  return body + text;
}

// The command id of the answer to a data_sm to `destination`.
uint32_t dataSmAnswer(SmppTestClient& client, const std::string& destination) {
  const uint32_t seq = client.send(SMPP::DATA_SM, dataSmBody(destination, "payload"));
  for (int i = 0; i < 10; ++i) {
    std::optional<WirePDU> pdu = client.read(5s);
    if (!pdu) break;
    if (pdu->sequenceNumber == seq) return pdu->commandId;
  }
  return 0;
}

// The next receipt (deliver_sm), acknowledged; its text.
std::optional<std::string> receipt(SmppTestClient& client,
                                   std::chrono::milliseconds timeout = 5s) {
  std::optional<WirePDU> pdu = client.readUntil(SMPP::DELIVER_SM, timeout);
  if (!pdu) return std::nullopt;
  client.send(SMPP::DELIVER_SM_RESP, std::string(1, '\0'), pdu->sequenceNumber);
  return pdu->body;
}

// The customer's own rule: numbers starting 4478 go to the simulator.
const json kToSimulator = {
    {"criteria", {{"match", "destination"}, {"type", "country"}, {"value", "4478"}}},
    {"targetset", "INTERNAL_SMSC_SIM"}};

TEST(SubmitDaemonTest, ChecksRefuseAndTheInternalSimulatorAnswersWithItsOwnIdAndReceipt) {
  FakeSmsc smsc;
  TestDaemon daemon(configuration(
      smsc.port(), {esme("demo", "INTERNAL_SMSC_SIM", {{"tpslimit", 2}}), esme("lost", "none", {{"routes-mt", {kToSimulator}}})}));
  ASSERT_TRUE(daemon.started()) << daemon.output();
  SmppTestClient demo(daemon.port(), "127.0.0.2");
  ASSERT_EQ(demo.bind(SMPP::BIND_TRANSCEIVER, "demo", "demo")->commandStatus, 0u);

  const Answer delivered = submit(demo, "+447700900001", "hello", 1);
  EXPECT_EQ(delivered.status, 0u);
  EXPECT_EQ(delivered.messageId.size(), 64u);
  std::optional<std::string> text = receipt(demo);
  ASSERT_TRUE(text);
  EXPECT_NE(text->find("id:" + delivered.messageId + " "), std::string::npos) << *text;
  EXPECT_NE(text->find("stat:DELIVRD"), std::string::npos) << *text;

  // Letters only: refused before anything else; the third in the second
  // over the limit of 2 is throttled.
  EXPECT_EQ(submit(demo, "abc", "x").status, SMPP::ESME_RINVDSTADR);
  EXPECT_EQ(submit(demo, "447700900001", "x").status, SMPP::ESME_RTHROTTLED);
  EXPECT_FALSE(receipt(demo, 300ms)) << "a receipt nobody asked for";

  // A customer whose target set does not exist is refused as unroutable,
  // except where its own rule routes the number elsewhere.
  SmppTestClient lost(daemon.port(), "127.0.0.3");
  ASSERT_EQ(lost.bind(SMPP::BIND_TRANSMITTER, "lost", "lost")->commandStatus, 0u);
  EXPECT_EQ(submit(lost, "447700900001", "x").status, SMPP::ESME_RSUBMITFAIL);
  EXPECT_EQ(submit(lost, "447800900001", "x").messageId.size(), 64u);
  // A data_sm answered here after routing gets submit_sm_resp, as customers
  // of this gateway have always been answered.
  EXPECT_EQ(dataSmAnswer(lost, "447800900001"), SMPP::SUBMIT_SM_RESP);
  EXPECT_EQ(smsc.submits().size(), 0u);
}

TEST(SubmitDaemonTest, ForwardedSubmitsGetTheSmscsIdItsRefusalAndTheirReceipt) {
  FakeSmsc smsc;
  FakeSmsc::Behaviour behaviour;
  behaviour.receipt = FakeSmsc::ReceiptTiming::AfterResponse;
  smsc.setBehaviour(behaviour);
  TestDaemon daemon(configuration(smsc.port(), {esme("acme", "ts")}));
  ASSERT_TRUE(daemon.started()) << daemon.output();
  ASSERT_TRUE(smsc.waitFor([&] { return smsc.boundSessions().size() == 2; }, 10s));
  SmppTestClient acme(daemon.port(), "127.0.0.2");
  ASSERT_EQ(acme.bind(SMPP::BIND_TRANSCEIVER, "acme", "acme")->commandStatus, 0u);

  const Answer forwarded = submit(acme, "447700900001", "hello", 1);
  EXPECT_EQ(forwarded.status, 0u);
  EXPECT_EQ(forwarded.messageId.rfind("fake-", 0), 0u) << forwarded.messageId;
  std::optional<std::string> text = receipt(acme);
  ASSERT_TRUE(text) << daemon.output();
  EXPECT_NE(text->find("id:" + forwarded.messageId + " "), std::string::npos) << *text;

  // Three parts of one message (user data header, reference 7) share one
  // upstream bind although the pool alternates between two.
  // A later message with the same reference chooses afresh.
  for (char part : {1, 2, 3, 1}) {
    const std::string udh = std::string("\x05\x00\x03\x07\x03", 5) + part;
    EXPECT_EQ(submit(acme, "447700900002", udh + "part", 0, 0x40).status, 0u);
  }
  std::vector<int> connections;
  for (const FakeSmsc::Submit& s : smsc.submits())
    if (s.sm.destination_addr == "447700900002") connections.push_back(s.connection);
  ASSERT_EQ(connections.size(), 4u);
  EXPECT_EQ(connections[1], connections[0]);
  EXPECT_EQ(connections[2], connections[0]);
  EXPECT_NE(connections[3], connections[0]);

  // A data_sm forwarded upstream is answered with the SMSC's data_sm_resp.
  EXPECT_EQ(dataSmAnswer(acme, "447700900004"), SMPP::DATA_SM_RESP);

  behaviour.receipt = FakeSmsc::ReceiptTiming::None;
  behaviour.submitStatus = SMPP::ESME_RTHROTTLED;
  smsc.setBehaviour(behaviour);
  EXPECT_EQ(submit(acme, "447700900003", "x").status, SMPP::ESME_RTHROTTLED);
}

// An SMSC that drops the connection while submits wait answers each of
// them 0x08 at once, and only once.
TEST(SubmitDaemonTest, SubmitsWaitingOnALostSmscConnectionAreAnsweredOnceWithSystemError) {
  FakeSmsc smsc;
  FakeSmsc::Behaviour behaviour;
  behaviour.submitAnswer = FakeSmsc::SubmitAnswer::Never;
  smsc.setBehaviour(behaviour);
  json doc = configuration(smsc.port(), {esme("acme", "ts")});
  doc["targetsets"][0]["targets"][0]["bindqty"] = 1;
  TestDaemon daemon(doc);
  ASSERT_TRUE(daemon.started()) << daemon.output();
  const int upstream = smsc.waitForBound("up", 0, 10s);
  ASSERT_NE(upstream, 0);
  SmppTestClient acme(daemon.port(), "127.0.0.2");
  ASSERT_EQ(acme.bind(SMPP::BIND_TRANSMITTER, "acme", "acme")->commandStatus, 0u);

  const uint32_t first = acme.send(SMPP::SUBMIT_SM, submitBody("4470", "447700900001", "a"));
  const uint32_t second = acme.send(SMPP::SUBMIT_SM, submitBody("4470", "447700900002", "b"));
  ASSERT_TRUE(smsc.waitFor([&] { return smsc.submits().size() == 2; }));
  smsc.resetConnection(upstream);
  std::set<uint32_t> answered;
  for (int i = 0; i < 2; ++i) {
    std::optional<WirePDU> pdu = acme.readUntil(SMPP::SUBMIT_SM_RESP, 5s);
    ASSERT_TRUE(pdu) << daemon.output();
    EXPECT_EQ(pdu->commandStatus, 0x00000008u);
    answered.insert(pdu->sequenceNumber);
  }
  EXPECT_EQ(answered, (std::set<uint32_t>{first, second}));
  EXPECT_FALSE(acme.readUntil(SMPP::SUBMIT_SM_RESP, 500ms)) << "answered twice";
}

// The external logic service decides each submit, then the number lookup
// gives the network that the customer's rule routes by; a service that
// never answers lets the submit go on once its attempts are used up.
TEST(SubmitDaemonTest, ExternalLogicDecidesAndTheLookedUpNetworkRoutes) {
  FakeHttpServer eli;
  FakeHttpServer lookup;
  lookup.answerBody(200, R"({"mcc":"234","mnc":"15"})");
  const json byNetwork = {
      {"criteria", {{"match", "destination"}, {"type", "mnc"}, {"value", "23415"}}},
      {"targetset", "INTERNAL_SMSC_SIM"}};
  json doc = configuration(0, {esme("acme", "none", {{"routes-mt", {byNetwork}}})});
  doc["eli"] = {{"enabled", true}, {"url", eli.url("/decide")}, {"request_timeout_ms", 200}};
  doc["lookup"] = {{"enabled", true}, {"url", lookup.url("/network?msisdn={msisdn}")}};
  doc["targetsets"] = json::array();
  TestDaemon daemon(doc);
  ASSERT_TRUE(daemon.started()) << daemon.output();
  SmppTestClient acme(daemon.port(), "127.0.0.2");
  ASSERT_EQ(acme.bind(SMPP::BIND_TRANSCEIVER, "acme", "acme")->commandStatus, 0u);

  eli.answerBody(200, R"({"action":"reject","cmdstatus":393285})");
  const Answer rejected = submit(acme, "447700900001", "x");
  EXPECT_EQ(rejected.status, SMPP::ESME_RSUBMITFAIL);
  EXPECT_NE(rejected.body.find("Submits disabled for SMPP account"), std::string::npos);
  ASSERT_EQ(eli.requestCount(), 1u);
  EXPECT_EQ(json::parse(eli.requests()[0].body)["submitsm"]["destination_addr"], "447700900001");
  EXPECT_EQ(lookup.requestCount(), 0u) << "looked up although refused";

  eli.answerBody(200, R"({"action":"reject_dlr","status":5,"networkerror":3})");
  const Answer failed = submit(acme, "447700900001", "x", 1);
  EXPECT_EQ(failed.messageId.size(), 64u);
  std::optional<std::string> text = receipt(acme);
  ASSERT_TRUE(text);
  EXPECT_NE(text->find("stat:UNDELIV err:003"), std::string::npos) << *text;

  // Let through: looked up, routed by network, then answered from the cache.
  eli.answerBody(200, "{}");
  EXPECT_EQ(submit(acme, "447700900002", "x").messageId.size(), 64u);
  ASSERT_EQ(lookup.requestCount(), 1u);
  EXPECT_NE(lookup.requests()[0].target.find("msisdn=447700900002"), std::string::npos);
  EXPECT_EQ(submit(acme, "447700900002", "x").messageId.size(), 64u);
  EXPECT_EQ(lookup.requestCount(), 1u);

  eli.answerNothing();
  EXPECT_EQ(submit(acme, "447700900002", "x").messageId.size(), 64u);
}

}  // namespace
