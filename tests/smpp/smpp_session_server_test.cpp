#include <gtest/gtest.h>

#include "smpp/smpp_session.h"
#include "tests/smpp/smpp_test_peer.h"

namespace {

using namespace smpp_test;

constexpr uint64_t kNow = 1706745599ULL * 1000000ULL;  // 2024-01-31 23:59:59 UTC

struct BindCall {
  uint64_t now;
  std::string peerIp;
  uint8_t version;
  std::string systemId, password, systemType;
  uint32_t commandId, sequenceNumber;
};

struct SubmitCall {
  std::string systemId;
  SMPP::T_SubmitSM submit;
  uint32_t commandId, sequenceNumber, presetStatus;
};

// A server session whose hooks answer as a test tells them and record what
// they were given.
class ScriptedServer : public SMPPSessionServer {
 public:
  uint8_t onBindAuthorisation(uint64_t now, const std::string& peerIp, uint8_t interfaceVersion,
                              const std::string& systemId, const std::string& password,
                              const std::string& systemType, uint32_t commandId,
                              std::string& responseSystemId, uint32_t sequenceNumber) override {
    binds.push_back({now, peerIp, interfaceVersion, systemId, password, systemType, commandId,
                     sequenceNumber});
    responseSystemIdSeen = responseSystemId;
    if (!responseSystemIdOverride.empty()) responseSystemId = responseSystemIdOverride;
    return bindResult;
  }
  void onUnbind() override { ++unbinds; }
  bool onQuerySM(const std::string& messageId, std::string& finalDate, uint8_t& messageState,
                 uint8_t& errorCode) override {
    queried = messageId;
    finalDate = "240131235959000+";
    messageState = 2;
    errorCode = 7;
    return queryResult;
  }
  bool onCancelSM(const std::string& serviceType, const std::string& messageId) override {
    cancelled = serviceType + "/" + messageId;
    return cancelResult;
  }
  void onSubmitSMRefused(const std::string& systemId) override { refusedFor.push_back(systemId); }
  uint8_t onSubmitSM(std::string systemId, SMPP::T_SubmitSM& submit, uint32_t commandId,
                     uint32_t sequenceNumber, std::string& messageId, uint32_t& status,
                     EntityResponse* response) override {
    submits.push_back({systemId, submit, commandId, sequenceNumber, status});
    messageId = submitMessageId;
    if (submitStatus != 0) status = submitStatus;
    if (response != nullptr) response->messageIds = extraIds;
    return submitResult;
  }
  bool onDeliverSMResp(uint32_t status, const std::string& messageId,
                       uint32_t sequenceNumber) override {
    deliverResps.push_back({status, sequenceNumber});
    EXPECT_TRUE(messageId.empty());
    return true;
  }
  bool onDataSMResp(uint32_t status, const std::string& messageId,
                    uint32_t sequenceNumber) override {
    dataResps.push_back({status, sequenceNumber});
    EXPECT_TRUE(messageId.empty());
    return true;
  }

  uint8_t bindResult = kAccept;
  std::string responseSystemIdOverride;
  std::string responseSystemIdSeen;
  bool queryResult = false;
  bool cancelResult = false;
  uint8_t submitResult = kAccept;
  uint32_t submitStatus = 0;
  std::string submitMessageId = "msg-1";
  std::vector<std::string> extraIds;

  std::vector<BindCall> binds;
  std::vector<SubmitCall> submits;
  std::vector<std::string> refusedFor;
  std::vector<std::pair<uint32_t, uint32_t>> deliverResps, dataResps;
  std::string queried, cancelled;
  int unbinds = 0;
};

class ServerDispatch : public ::testing::Test {
 protected:
  void SetUp() override {
    session.attachSocket(pair.releaseSessionFd(), true, "127.0.0.9", 40001);
  }

  // Sends one request and runs one processInput call; returns the answers.
  std::vector<ReceivedPDU> exchange(uint32_t commandId, uint32_t seq, const Bytes& body = {},
                                    uint64_t now = kNow) {
    pair.peerSend(commandId, 0, seq, body);
    EXPECT_FALSE(session.processInputAt(now));
    bool complete = false;
    auto out = pair.peerReadPDUs(&complete);
    EXPECT_TRUE(complete);
    return out;
  }

  // The single answer to one request.
  ReceivedPDU answer(uint32_t commandId, uint32_t seq, const Bytes& body = {},
                     uint64_t now = kNow) {
    auto out = exchange(commandId, seq, body, now);
    EXPECT_EQ(out.size(), 1u);
    return out.empty() ? ReceivedPDU{} : out[0];
  }

  void bindAs(uint32_t commandId, uint8_t version = 0x34) {
    const ReceivedPDU r = answer(commandId, 1, bindBody("acme", "pw", "", version));
    ASSERT_EQ(r.header.commandStatus, 0u);
  }

  SocketPair pair;
  ScriptedServer session;
};

const Bytes kVantrel = cstr("VantrelSMSC");

// ---- bind ----

TEST_F(ServerDispatch, AcceptedBindsEnterTheirState) {
  const std::pair<uint32_t, uint32_t> kinds[] = {{SMPP::BIND_TRANSCEIVER, BIND_STATE_TRANSCEIVER},
                                                 {SMPP::BIND_TRANSMITTER, BIND_STATE_TRANSMITTER},
                                                 {SMPP::BIND_RECEIVER, BIND_STATE_RECEIVER}};
  for (const auto& [command, state] : kinds) {
    SocketPair p;
    ScriptedServer s;
    s.attachSocket(p.releaseSessionFd(), true, "127.0.0.9", 40001);
    s.setClosingTime(kNow + 20000000);
    p.peerSend(command, 0, 77, bindBody("acme", "secret", "VMA", 0x34));
    EXPECT_FALSE(s.processInputAt(kNow));
    auto out = p.peerReadPDUs();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].header.commandId, command | 0x80000000);
    EXPECT_EQ(out[0].header.commandStatus, 0u);
    EXPECT_EQ(out[0].header.sequenceNumber, 77u);
    EXPECT_EQ(out[0].body, cat({kVantrel, {0x02, 0x10, 0x00, 0x01, 0x34}}));
    EXPECT_EQ(s.bindState(), state);
    EXPECT_EQ(s.systemId(), "acme");
    EXPECT_EQ(s.bindTime(), kNow);
    EXPECT_EQ(s.closingTime(), 0u);  // the bind deadline is lifted
    ASSERT_EQ(s.binds.size(), 1u);
    const BindCall& c = s.binds[0];
    EXPECT_EQ(c.now, kNow);
    EXPECT_EQ(c.peerIp, "127.0.0.9");
    EXPECT_EQ(c.version, 0x34);
    EXPECT_EQ(c.systemId, "acme");
    EXPECT_EQ(c.password, "secret");
    EXPECT_EQ(c.systemType, "VMA");
    EXPECT_EQ(c.commandId, command);
    EXPECT_EQ(c.sequenceNumber, 77u);
    EXPECT_EQ(s.responseSystemIdSeen, "VantrelSMSC");
  }
}

TEST_F(ServerDispatch, HookMayNameTheResponseSystemId) {
  session.responseSystemIdOverride = "Other";
  const ReceivedPDU r = answer(SMPP::BIND_TRANSMITTER, 1, bindBody("a", "", "", 0x33));
  EXPECT_EQ(r.body, cstr("Other"));
}

TEST_F(ServerDispatch, InterfaceVersionsAreNegotiated) {
  const std::pair<uint8_t, Bytes> cases[] = {
      {0x33, kVantrel},
      {0x50, cat({kVantrel, {0x02, 0x10, 0x00, 0x01, 0x50}})},
      {0x10, cat({kVantrel, {0x02, 0x10, 0x00, 0x01, 0x34}})},
      {0x34, cat({kVantrel, {0x02, 0x10, 0x00, 0x01, 0x34}})},
  };
  for (const auto& [version, body] : cases) {
    SocketPair p;
    ScriptedServer s;
    s.attachSocket(p.releaseSessionFd(), true, "127.0.0.9", 1);
    p.peerSend(SMPP::BIND_TRANSMITTER, 0, 1, bindBody("acme", "", "", version));
    EXPECT_FALSE(s.processInputAt(kNow));
    auto out = p.peerReadPDUs();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].body, body) << int(version);
    EXPECT_EQ(s.interfaceVersion(), version == 0x10 ? 0x34 : version);
  }
}

TEST_F(ServerDispatch, SecondBindOnBoundSessionIsAnsweredAlreadyBound) {
  bindAs(SMPP::BIND_TRANSCEIVER);
  const ReceivedPDU r = answer(SMPP::BIND_RECEIVER, 2, bindBody("other", "", "", 0x34));
  EXPECT_EQ(r.header.commandId, SMPP::BIND_RECEIVER_RESP);
  EXPECT_EQ(r.header.commandStatus, 0x05u);
  EXPECT_TRUE(r.body.empty());
  EXPECT_EQ(session.bindState(), BIND_STATE_TRANSCEIVER);
  EXPECT_EQ(session.systemId(), "acme");
  EXPECT_EQ(session.binds.size(), 1u);
}

TEST_F(ServerDispatch, MalformedBindIsRefusedWithoutAskingTheHook) {
  const Bytes bad[] = {
      cat({cstr("acme"), cstr("pw"), cstr("")}),               // no interface_version
      cat({cstr(std::string(16, 'a')), cstr(""), cstr(""), {0x34}}),  // system_id too long
      cat({cstr("acme"), cstr("123456789"), cstr(""), {0x34}}),       // password too long
      Bytes{},
  };
  for (const Bytes& body : bad) {
    const ReceivedPDU r = answer(SMPP::BIND_TRANSMITTER, 3, body);
    EXPECT_EQ(r.header.commandStatus, 0x0Du);
    EXPECT_TRUE(r.body.empty());
  }
  EXPECT_TRUE(session.binds.empty());
  EXPECT_EQ(session.bindState(), BIND_STATE_OPEN);
}

TEST_F(ServerDispatch, TransceiverBelowVersion34IsRefused) {
  const ReceivedPDU r = answer(SMPP::BIND_TRANSCEIVER, 3, bindBody("acme", "", "", 0x33));
  EXPECT_EQ(r.header.commandStatus, 0x0Du);
  EXPECT_TRUE(session.binds.empty());
  // A transmitter with the same version is fine.
  EXPECT_EQ(answer(SMPP::BIND_TRANSMITTER, 4, bindBody("acme", "", "", 0x33)).header.commandStatus,
            0u);
}

TEST_F(ServerDispatch, RefusedBindLeavesSessionOpenAndLaterBindWorks) {
  session.bindResult = SMPPSessionServer::kRefuse;
  const ReceivedPDU r = answer(SMPP::BIND_TRANSMITTER, 5, bindBody("acme", "bad", "", 0x34));
  EXPECT_EQ(r.header.commandId, SMPP::BIND_TRANSMITTER_RESP);
  EXPECT_EQ(r.header.commandStatus, 0x0Du);
  EXPECT_TRUE(r.body.empty());
  EXPECT_EQ(session.bindState(), BIND_STATE_OPEN);
  session.bindResult = SMPPSessionServer::kAccept;
  EXPECT_EQ(answer(SMPP::BIND_TRANSMITTER, 6, bindBody("acme", "ok", "", 0x34)).header.commandStatus,
            0u);
  EXPECT_EQ(session.bindState(), BIND_STATE_TRANSMITTER);
}

TEST_F(ServerDispatch, BindAfterARefusalInTheSameReadIsRefusedUnasked) {
  session.bindResult = SMPPSessionServer::kRefuse;
  pair.peerWrite(cat({SMPP::encodePDU(SMPP::BIND_TRANSMITTER, 0, 1, bindBody("a", "x", "", 0x34)),
                      SMPP::encodePDU(SMPP::BIND_TRANSMITTER, 0, 2, bindBody("a", "y", "", 0x34))}));
  session.bindResult = SMPPSessionServer::kRefuse;
  EXPECT_FALSE(session.processInputAt(kNow));
  auto out = pair.peerReadPDUs();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].header.commandStatus, 0x0Du);
  EXPECT_EQ(out[1].header.commandStatus, 0x0Du);
  EXPECT_EQ(out[1].header.sequenceNumber, 2u);
  EXPECT_EQ(session.binds.size(), 1u);
}

TEST_F(ServerDispatch, BindAnsweredLaterCanBeAccepted) {
  session.bindResult = SMPPSessionServer::kAnswerLater;
  EXPECT_TRUE(exchange(SMPP::BIND_TRANSCEIVER, 11, bindBody("acme", "pw", "", 0x50)).empty());
  EXPECT_TRUE(session.bindPending());
  EXPECT_EQ(session.bindState(), BIND_STATE_OPEN);
  // A submit meanwhile is refused for the bind state.
  EXPECT_EQ(answer(SMPP::SUBMIT_SM, 12, submitBody()).header.commandStatus, 0x04u);
  ASSERT_TRUE(session.completeBind(kNow + 5, true));
  EXPECT_FALSE(session.bindPending());
  auto out = pair.peerReadPDUs();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].header.commandId, SMPP::BIND_TRANSCEIVER_RESP);
  EXPECT_EQ(out[0].header.sequenceNumber, 11u);
  EXPECT_EQ(out[0].header.commandStatus, 0u);
  EXPECT_EQ(out[0].body, cat({kVantrel, {0x02, 0x10, 0x00, 0x01, 0x50}}));
  EXPECT_EQ(session.bindState(), BIND_STATE_TRANSCEIVER);
  EXPECT_EQ(session.bindTime(), kNow + 5);
  EXPECT_EQ(session.systemId(), "acme");
  EXPECT_FALSE(session.completeBind(kNow + 6, true));
}

TEST_F(ServerDispatch, BindAnsweredLaterCanBeRefused) {
  session.bindResult = SMPPSessionServer::kAnswerLater;
  EXPECT_TRUE(exchange(SMPP::BIND_RECEIVER, 21, bindBody("acme", "pw", "", 0x34)).empty());
  // A second bind while the first is being decided is refused at once.
  const ReceivedPDU second = answer(SMPP::BIND_RECEIVER, 22, bindBody("acme", "pw", "", 0x34));
  EXPECT_EQ(second.header.commandStatus, 0x0Du);
  EXPECT_EQ(session.binds.size(), 1u);
  ASSERT_TRUE(session.completeBind(kNow, false));
  auto out = pair.peerReadPDUs();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].header.commandId, SMPP::BIND_RECEIVER_RESP);
  EXPECT_EQ(out[0].header.sequenceNumber, 21u);
  EXPECT_EQ(out[0].header.commandStatus, 0x0Du);
  EXPECT_EQ(session.bindState(), BIND_STATE_OPEN);
}

// ---- query_sm and cancel_sm ----

TEST_F(ServerDispatch, QueryBeforeBindIsWrongBindState) {
  const ReceivedPDU r = answer(SMPP::QUERY_SM, 3, cat({cstr("m1"), {0, 0}, cstr("")}));
  EXPECT_EQ(r.header.commandId, SMPP::QUERY_SM_RESP);
  EXPECT_EQ(r.header.commandStatus, 0x04u);
  EXPECT_TRUE(session.queried.empty());
}

TEST_F(ServerDispatch, QueryRefusedOrMalformedIsQueryFail) {
  bindAs(SMPP::BIND_TRANSCEIVER);
  EXPECT_EQ(answer(SMPP::QUERY_SM, 3, cat({cstr("m1"), {0, 0}, cstr("")})).header.commandStatus,
            0x67u);
  EXPECT_EQ(session.queried, "m1");
  session.queried.clear();
  session.queryResult = true;
  EXPECT_EQ(answer(SMPP::QUERY_SM, 4, Bytes(70, 'x')).header.commandStatus, 0x67u);
  EXPECT_TRUE(session.queried.empty());
}

TEST_F(ServerDispatch, AnsweredQueryCarriesTheHookValues) {
  bindAs(SMPP::BIND_RECEIVER);
  session.queryResult = true;
  const ReceivedPDU r = answer(SMPP::QUERY_SM, 9, cat({cstr("m1"), {0, 0}, cstr("")}));
  EXPECT_EQ(r.header.commandStatus, 0u);
  EXPECT_EQ(r.header.sequenceNumber, 9u);
  EXPECT_EQ(r.body, cat({cstr("m1"), cstr("240131235959000+"), {2, 7}}));
}

TEST_F(ServerDispatch, CancelRows) {
  const Bytes body = cat({cstr("CMT"), cstr("m2"), {1, 1}, cstr("src"), {1, 1}, cstr("dst")});
  EXPECT_EQ(answer(SMPP::CANCEL_SM, 1, body).header.commandStatus, 0x04u);
  bindAs(SMPP::BIND_TRANSMITTER);
  EXPECT_EQ(answer(SMPP::CANCEL_SM, 2, body).header.commandStatus, 0x11u);
  EXPECT_EQ(session.cancelled, "CMT/m2");
  session.cancelResult = true;
  session.cancelled.clear();
  EXPECT_EQ(answer(SMPP::CANCEL_SM, 3, cstr("TOOLONGSERVICE")).header.commandStatus, 0x11u);
  EXPECT_TRUE(session.cancelled.empty());
  const ReceivedPDU ok = answer(SMPP::CANCEL_SM, 4, body);
  EXPECT_EQ(ok.header.commandId, SMPP::CANCEL_SM_RESP);
  EXPECT_EQ(ok.header.commandStatus, 0u);
  EXPECT_TRUE(ok.body.empty());
}

// ---- submit_sm and data_sm ----

TEST_F(ServerDispatch, SubmitBeforeBindIsWrongBindState) {
  const ReceivedPDU r = answer(SMPP::SUBMIT_SM, 4, submitBody());
  EXPECT_EQ(r.header.commandId, SMPP::SUBMIT_SM_RESP);
  EXPECT_EQ(r.header.commandStatus, 0x04u);
  EXPECT_TRUE(r.body.empty());
  EXPECT_EQ(session.refusedFor.size(), 1u);
  EXPECT_TRUE(session.submits.empty());
}

TEST_F(ServerDispatch, SubmitOnReceiverIsRefusedAndDataSmGetsDataSmResp) {
  bindAs(SMPP::BIND_RECEIVER);
  EXPECT_EQ(answer(SMPP::SUBMIT_SM, 4, submitBody()).header.commandStatus, 0x04u);
  const ReceivedPDU r = answer(SMPP::DATA_SM, 5, dataSmBody());
  EXPECT_EQ(r.header.commandId, SMPP::DATA_SM_RESP);
  EXPECT_EQ(r.header.commandStatus, 0x04u);
  EXPECT_EQ(session.refusedFor, (std::vector<std::string>{"acme", "acme"}));
  EXPECT_TRUE(session.submits.empty());
}

TEST_F(ServerDispatch, AcceptedSubmitIsAnsweredWithTheMessageId) {
  bindAs(SMPP::BIND_TRANSMITTER);
  const ReceivedPDU r = answer(SMPP::SUBMIT_SM, 31, submitBody("4471"));
  EXPECT_EQ(r.header.commandId, SMPP::SUBMIT_SM_RESP);
  EXPECT_EQ(r.header.commandStatus, 0u);
  EXPECT_EQ(r.header.sequenceNumber, 31u);
  EXPECT_EQ(r.body, cstr("msg-1"));
  ASSERT_EQ(session.submits.size(), 1u);
  const SubmitCall& c = session.submits[0];
  EXPECT_EQ(c.systemId, "acme");
  EXPECT_EQ(c.commandId, SMPP::SUBMIT_SM);
  EXPECT_EQ(c.sequenceNumber, 31u);
  EXPECT_EQ(c.presetStatus, 0x45u);
  EXPECT_EQ(c.submit.destination_addr, "4471");
  EXPECT_EQ(c.submit.short_message, text("hello"));
  EXPECT_EQ(c.submit.validity_period, kNow + 86400000000ULL);
  EXPECT_EQ(session.submitSMStats().count.load(), 1u);
}

TEST_F(ServerDispatch, FurtherMessageIdsTravelInTlv1400) {
  bindAs(SMPP::BIND_TRANSCEIVER);
  session.extraIds = {"b", "cd"};
  const ReceivedPDU r = answer(SMPP::SUBMIT_SM, 1, submitBody());
  EXPECT_EQ(r.body, cat({cstr("msg-1"), {0x14, 0x00, 0x00, 0x05, 'b', 0, 'c', 'd', 0}}));
}

TEST_F(ServerDispatch, RefusedSubmitCarriesTheHookStatus) {
  bindAs(SMPP::BIND_TRANSMITTER);
  session.submitResult = SMPPSessionServer::kRefuse;
  session.submitStatus = 0x58;
  const ReceivedPDU r = answer(SMPP::SUBMIT_SM, 2, submitBody());
  EXPECT_EQ(r.header.commandStatus, 0x58u);
  EXPECT_TRUE(r.body.empty());
  session.submitStatus = 0;  // the preset stays
  EXPECT_EQ(answer(SMPP::SUBMIT_SM, 3, submitBody()).header.commandStatus, 0x45u);
}

TEST_F(ServerDispatch, RefusalAboveFfffCarriesItsReasonText) {
  bindAs(SMPP::BIND_TRANSMITTER);
  session.submitResult = SMPPSessionServer::kRefuse;
  session.submitStatus = 0x60045;
  const ReceivedPDU r = answer(SMPP::SUBMIT_SM, 2, submitBody());
  EXPECT_EQ(r.header.commandStatus, 0x45u);
  const std::string textOf = "Submits disabled for SMPP account";
  EXPECT_EQ(r.body, cat({{0x00, 0x00, 0x1D, 0x00, static_cast<uint8_t>(textOf.size() + 1)},
                         cstr(textOf)}));
}

TEST_F(ServerDispatch, SubmitAnsweredLaterGetsNoAnswerNow) {
  bindAs(SMPP::BIND_TRANSMITTER);
  session.submitResult = SMPPSessionServer::kAnswerLater;
  EXPECT_TRUE(exchange(SMPP::SUBMIT_SM, 2, submitBody()).empty());
  EXPECT_EQ(session.submits.size(), 1u);
}

TEST_F(ServerDispatch, MalformedSubmitIsRefusedWithTheParserStatus) {
  bindAs(SMPP::BIND_TRANSMITTER);
  Bytes truncated = submitBody();
  truncated.resize(truncated.size() - 3);
  EXPECT_EQ(answer(SMPP::SUBMIT_SM, 1, truncated).header.commandStatus, 0x45u);
  const Bytes past = cat({cstr(""), {1, 1}, cstr("S"), {1, 1}, cstr("44"), {0, 0, 0},
                          cstr("240131235958000+"), cstr(""), {0, 0, 0, 0}, {0}});
  EXPECT_EQ(answer(SMPP::SUBMIT_SM, 2, past).header.commandStatus, 0x61u);
  EXPECT_EQ(session.refusedFor.size(), 2u);
  EXPECT_TRUE(session.submits.empty());
  EXPECT_EQ(session.submitSMStats().count.load(), 2u);
}

TEST_F(ServerDispatch, DataSmIsDecodedAndAnsweredWithDataSmResp) {
  bindAs(SMPP::BIND_TRANSCEIVER);
  const ReceivedPDU r = answer(SMPP::DATA_SM, 8, dataSmBody());
  EXPECT_EQ(r.header.commandId, SMPP::DATA_SM_RESP);
  EXPECT_EQ(r.body, cstr("msg-1"));
  ASSERT_EQ(session.submits.size(), 1u);
  EXPECT_EQ(session.submits[0].commandId, SMPP::DATA_SM);
  ASSERT_EQ(session.submits[0].submit.tlvs.size(), 1u);
  EXPECT_EQ(session.submits[0].submit.tlvs[0].value, text("hello"));
}

TEST_F(ServerDispatch, DataSmBelowVersion34IsNackedAndEndsTheCall) {
  bindAs(SMPP::BIND_TRANSMITTER, 0x33);
  pair.peerWrite(cat({SMPP::encodePDU(SMPP::DATA_SM, 0, 40, dataSmBody()),
                      SMPP::encodePDU(SMPP::ENQUIRE_LINK, 0, 41, {})}));
  EXPECT_FALSE(session.processInputAt(kNow));
  auto out = pair.peerReadPDUs();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].header.commandId, SMPP::GENERIC_NACK);
  EXPECT_EQ(out[0].header.commandStatus, 0x03u);
  EXPECT_EQ(out[0].header.sequenceNumber, 40u);
  EXPECT_EQ(session.submitSMStats().count.load(), 1u);
  EXPECT_TRUE(session.submits.empty());
  // The enquire_link behind it waits for the next call.
  EXPECT_FALSE(session.processInputAt(kNow));
  out = pair.peerReadPDUs();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].header.commandId, SMPP::ENQUIRE_LINK_RESP);
}

// ---- unbind, enquire_link, responses, unknown commands ----

TEST_F(ServerDispatch, UnbindBeforeBindIsWrongBindState) {
  const ReceivedPDU r = answer(SMPP::UNBIND, 1);
  EXPECT_EQ(r.header.commandId, SMPP::UNBIND_RESP);
  EXPECT_EQ(r.header.commandStatus, 0x04u);
  EXPECT_EQ(session.unbinds, 0);
}

TEST_F(ServerDispatch, UnbindReturnsTheSessionToOpen) {
  bindAs(SMPP::BIND_TRANSCEIVER);
  const ReceivedPDU r = answer(SMPP::UNBIND, 2);
  EXPECT_EQ(r.header.commandStatus, 0u);
  EXPECT_EQ(session.unbinds, 1);
  EXPECT_EQ(session.bindState(), BIND_STATE_OPEN);
  EXPECT_EQ(answer(SMPP::SUBMIT_SM, 3, submitBody()).header.commandStatus, 0x04u);
}

TEST_F(ServerDispatch, EnquireLinkIsAnsweredBeforeBind) {
  const ReceivedPDU r = answer(SMPP::ENQUIRE_LINK, 0x1234);
  EXPECT_EQ(r.header.commandId, SMPP::ENQUIRE_LINK_RESP);
  EXPECT_EQ(r.header.commandStatus, 0u);
  EXPECT_EQ(r.header.sequenceNumber, 0x1234u);
  EXPECT_EQ(r.header.commandLength, 16u);
  EXPECT_EQ(session.lastActivityTime(), kNow);
}

TEST_F(ServerDispatch, ResponsesReachTheirHooks) {
  session.addPendingResponse(5, kNow);
  EXPECT_TRUE(exchange(SMPP::DELIVER_SM_RESP, 5, cstr("ignored")).empty());
  EXPECT_EQ(session.deliverResps, (std::vector<std::pair<uint32_t, uint32_t>>{{0, 5}}));
  EXPECT_EQ(session.pendingResponseCount(), 0u);
  pair.peerSend(SMPP::DATA_SM_RESP, 0x45, 6, cstr(""));
  EXPECT_FALSE(session.processInputAt(kNow));
  EXPECT_EQ(session.dataResps, (std::vector<std::pair<uint32_t, uint32_t>>{{0x45, 6}}));
}

TEST_F(ServerDispatch, EnquireLinkRespClearsTheProbe) {
  session.noteReceivedPDU(SMPP::PDUHeader{16, SMPP::ENQUIRE_LINK, 0, 1}, kNow - 200000000);
  EXPECT_FALSE(session.timedCheck(kNow));
  ASSERT_NE(session.enquireLinkSentTime(), 0u);
  pair.peerReadPDUs();
  EXPECT_TRUE(exchange(SMPP::ENQUIRE_LINK_RESP, 1).empty());
  EXPECT_EQ(session.enquireLinkSentTime(), 0u);
}

TEST_F(ServerDispatch, UnknownCommandsAreIgnoredWithoutAnswer) {
  bindAs(SMPP::BIND_TRANSCEIVER);
  EXPECT_TRUE(exchange(SMPP::SUBMIT_MULTI, 1, Bytes(10, 0)).empty());
  EXPECT_TRUE(exchange(0x12345678, 2).empty());
  EXPECT_TRUE(exchange(SMPP::GENERIC_NACK, 3).empty());
  EXPECT_TRUE(exchange(SMPP::DELIVER_SM, 4, submitBody()).empty());
  EXPECT_EQ(answer(SMPP::ENQUIRE_LINK, 5).header.commandId, SMPP::ENQUIRE_LINK_RESP);
}

TEST_F(ServerDispatch, SubmitSmRespIsCounted) {
  exchange(SMPP::SUBMIT_SM_RESP, 1, cstr("x"));
  EXPECT_EQ(session.submitSMRespStats().count.load(), 1u);
  EXPECT_EQ(session.submitSMRespStats().lastTime.load(), kNow);
}

// ---- framing through processInput ----

TEST_F(ServerDispatch, TwoPdusInOneReadAreDispatchedInOneCall) {
  pair.peerWrite(cat({SMPP::encodePDU(SMPP::ENQUIRE_LINK, 0, 1, {}),
                      SMPP::encodePDU(SMPP::ENQUIRE_LINK, 0, 2, {})}));
  EXPECT_FALSE(session.processInputAt(kNow));
  auto out = pair.peerReadPDUs();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].header.sequenceNumber, 1u);
  EXPECT_EQ(out[1].header.sequenceNumber, 2u);
}

TEST_F(ServerDispatch, PeerCloseClosesTheSession) {
  close(pair.peerFd);
  pair.peerFd = -1;
  EXPECT_TRUE(session.processInputAt(kNow));
}

TEST_F(ServerDispatch, ReachedClosingTimeClosesBeforeReading) {
  session.setClosingTime(kNow);
  pair.peerSend(SMPP::ENQUIRE_LINK, 0, 1);
  EXPECT_TRUE(session.processInputAt(kNow));
  EXPECT_TRUE(pair.peerReadPDUs().empty());
}

TEST_F(ServerDispatch, NullSessionIsNeverAskedForInput) {
  SMPPSessionNull null;
  EXPECT_FALSE(null.processInput());
  bool again = false, delivered = false;
  EXPECT_FALSE(null.deliverQueued(kNow, again, delivered));
  EXPECT_FALSE(delivered);
  EXPECT_EQ(null.poll(), 0);
}

TEST(SubmitResponse, BodiesAreByteExact) {
  SocketPair pair;
  SMPPSessionNull s;
  s.attachSocket(pair.releaseSessionFd(), true, "127.0.0.1", 1);
  ASSERT_TRUE(handleESMESubmitSMResponse(s, true, SMPP::SUBMIT_SM, 7, nullptr, "id9", 0x45));
  ASSERT_TRUE(handleESMESubmitSMResponse(s, false, SMPP::DATA_SM, 8, nullptr, "ignored", 0x0B));
  ASSERT_TRUE(handleESMESubmitSMResponse(s, false, SMPP::SUBMIT_SM, 9, nullptr, "", 0x10045));
  ASSERT_TRUE(handleESMESubmitSMResponse(s, false, SMPP::SUBMIT_SM, 10, nullptr, "", 0x90045));
  const std::string firewall = "Message content blocked (firewall)";
  const Bytes expected = cat({
      {0, 0, 0, 20, 0x80, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 7, 'i', 'd', '9', 0},
      {0, 0, 0, 16, 0x80, 0, 1, 3, 0, 0, 0, 0x0B, 0, 0, 0, 8},
      {0, 0, 0, static_cast<uint8_t>(16 + 5 + firewall.size() + 1), 0x80, 0, 0, 4, 0, 0, 0, 0x45,
       0, 0, 0, 9, 0, 0x00, 0x1D, 0x00, static_cast<uint8_t>(firewall.size() + 1)},
      cstr(firewall),
      {0, 0, 0, 22, 0x80, 0, 0, 4, 0, 0, 0, 0x45, 0, 0, 0, 10, 0, 0x00, 0x1D, 0x00, 0x01, 0},
  });
  EXPECT_EQ(pair.peerReadAvailable(), expected);
}

TEST(SubmitResponse, EveryReasonSelectorHasItsText) {
  EXPECT_STREQ(submitRefusalText(0x10045), "Message content blocked (firewall)");
  EXPECT_STREQ(submitRefusalText(0x20045), "Not in CUG");
  EXPECT_STREQ(submitRefusalText(0x30045), "MSISDN blocked (firewall)");
  EXPECT_STREQ(submitRefusalText(0x40045), "Mobile prefix blocked (firewall)");
  EXPECT_STREQ(submitRefusalText(0x50045), "No credit on customer account");
  EXPECT_STREQ(submitRefusalText(0x60045), "Submits disabled for SMPP account");
  EXPECT_STREQ(submitRefusalText(0x70045), "");
}

}  // namespace
