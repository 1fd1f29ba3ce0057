#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <tuple>

#include "smpp/smpp_session.h"
#include "tests/smpp/smpp_test_peer.h"

namespace {

using namespace smpp_test;

constexpr uint64_t kNow = 1706745599ULL * 1000000ULL;  // 2024-01-31 23:59:59 UTC

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

struct Session {
  Session() { s.attachSocket(pair.releaseSessionFd(), true, "127.0.0.9", 40001); }
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
  SocketPair pair;
  ScriptedServer s;
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
