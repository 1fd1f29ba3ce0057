// The upstream manager in-process: slots and weighted pools built from the
// configuration, then against the simulator over loopback on the injected
// clock: back-off and deadlines, admin-down and removed targets, throttling,
// keep-alives, receipts, lost sessions, and the upstream thread serving the
// SMSC while customer threads submit.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <thread>
#include <utility>

#include "config/smsc_slot_id.h"
#include "downstream/ostrel_session.h"
#include "smpp/receipt.h"
#include "tests/smpp/smpp_test_peer.h"
#include "tests/support/fake_smsc.h"
#include "tests/support/loopback.h"
#include "tests/support/smpp_test_client.h"
#include "tests/upstream/upstream_fixture.h"

using namespace upstream_test;
using testing_support::SmppTestClient;
using testing_support::WirePDU;
using testing_support::FakeSmsc;

namespace {

json setOf(std::vector<json> targets, bool submits = true) {
  return document({targetSet("S", targets, submits)});
}

// A customer connection as the gateway sees it (a real OstrelSession known
// to the tracker under `systemId`), and the customer's end of it.
struct Customer {
  Customer(Tracker& tracker, const std::string& systemId)
      : session(OstrelSession::create(pair.releaseSessionFd(), "127.0.0.2", 40000, nullptr)) {
    tracker.setSession(session->sessionId(), session);
    tracker.setSessionSystemId(systemId, session->sessionId());
  }
  uint64_t id() const { return session->sessionId(); }
  // Appends the PDUs that arrived (within `waitMillis`); their count.
  size_t poll(int waitMillis = 0) {
    for (auto pdu = client.read(std::chrono::milliseconds(waitMillis + 1)); pdu;
         pdu = client.read(std::chrono::milliseconds(1)))
      received.push_back(*pdu);
    return received.size();
  }

  smpp_test::SocketPair pair;
  std::shared_ptr<OstrelSession> session;
  SmppTestClient client{SmppTestClient::Adopt{}, std::exchange(pair.peerFd, -1)};
  std::vector<WirePDU> received;
};

// The simulator and an upstream manager whose targets point at it.
struct Harness {
  using Doc = std::function<json(int port)>;
  explicit Harness(const Doc& doc, const FakeSmsc::Behaviour& behaviour = {}, bool init = true)
      : f((smsc.setBehaviour(behaviour), doc(smsc.port()))) {
    if (init) up.initUpstreamBinds(2, SMPP::INTERFACE_VERSION_34);
  }
  // One target "T" (system id "up").
  static Doc single(json extra = json::object()) {
    return [=](int port) { return setOf({target("T", port, 1, extra)}); };
  }
  // Passes of at most 20 ms of real time each, the clock moving `step`
  // before each, until `done` holds or `passes` ran; whether it held.
  bool run(const std::function<bool()>& done, int passes = 200, uint64_t step = 0) {
    return f.runUntil([&] { return done() || (clock += step, false); }, passes);
  }
  void idle(int passes = 3) { run([] { return false; }, passes); }
  // Until `n` sessions are bound on both sides; the clock steps past the
  // pacing of one connection per second.
  bool bound(size_t n) {
    return run([&] { return boundCount() == n && smsc.boundSessions().size() == n; }, 300, 50000);
  }
  size_t boundCount() {
    size_t n = 0;
    for (const auto& s : up.sessionsCopy()) n += s->bindState() >= BIND_STATE_TRANSCEIVER;
    return n;
  }
  std::multiset<uint32_t> bindCommands() {
    std::multiset<uint32_t> commands;
    for (const auto& s : smsc.sessions()) commands.insert(s.bindCommand);
    return commands;
  }
  SMSCEntry entry(uint64_t smscid = smscSlotBase("T")) { return up.entriesCopy().at(smscid); }
  int connection() { return smsc.waitForBound("up"); }
  bool request(int connection, uint32_t commandId, std::vector<uint8_t> body = {}) {
    return smsc.act(connection,
                    [=](SmscSimulator& s, int c) { s.sendRequest(c, commandId, body); });
  }
  bool submit(Customer& c, uint32_t sequence, uint64_t smscid = smscSlotBase("T"),
              uint32_t commandId = SMPP::SUBMIT_SM, uint32_t* upstreamSequence = nullptr,
              FunctionRef<void(uint32_t, const std::string&)> beforeSend = {}) {
    SMPP::T_SubmitSM sm;
    sm.source_addr = "Shop";
    sm.destination_addr = "447700900123";
    sm.registered_delivery = 1;
    sm.short_message = {'h', 'i'};
    uint32_t seq = 0;
    std::string name;
    const bool sent =
        up.sendSubmitSM("acme", c.id(), smscid, sequence, sm, seq, name, commandId, beforeSend);
    if (upstreamSequence != nullptr) *upstreamSequence = seq;
    return sent;
  }

  FakeSmsc smsc;
  UpstreamFixture f;
  std::atomic<uint64_t>& clock = f.clock;
  SMPPUpstream& up = *f.upstream;
  Tracker& tracker = *f.tracker;
  DeliverSMQueue& queue = *f.queue;
  OstrelConfiguration& config = *f.config;
};

// The slots each target flag gives (name, offset from the target's base,
// bind type 0 receiver, 1 transmitter, 2 transceiver) and the picks of the
// pool: each sending slot `weight` times in a row, target after target.
TEST(TargetSetPools, SlotsAndPicksFollowTheTargetFlags) {
  struct Case {
    const char* label;
    std::vector<json> targets;
    bool submits;
    const char* slots;  // in the order of their ids
    const char* picks;  // seven picks, "-" for none
    int32_t poolSize;
  };
  const std::vector<Case> cases = {
      {"transceivers weight 2", {target("A", 1, 3, {{"weight", 2}})}, true, "A0:2 A1:2 A2:2",
       "A0 A0 A1 A1 A2 A2 A0", 6},
      {"two targets", {target("A", 1, 2, {{"weight", 2}}), target("B", 1)}, true,
       "B0:2 A0:2 A1:2", "A0 A0 A1 A1 B0 A0 A0", 5},
      {"usetxrx pairs", {target("A", 1, 2, {{"usetxrx", true}})}, true, "A0:1 A1:0 A2:1 A3:0",
       "A0 A2 A0 A2 A0 A2 A0", 2},
      {"receiver only", {target("A", 1, 2, {{"userxonly", true}})}, true, "A0:0 A1:0",
       "- - - - - - -", 0},
      {"weight 0 still binds", {target("A", 1, 2, {{"weight", 0}})}, true, "A0:2 A1:2",
       "- - - - - - -", 0},
      {"submits disabled", {target("A", 1)}, false, "A0:2", "A0 A0 A0 A0 A0 A0 A0", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Harness h([&](int) { return setOf(c.targets, c.submits); });
    auto name = [](uint64_t id) {
      for (const char* t : {"A", "B"})
        if (id >= smscSlotBase(t) && id < smscSlotBase(t) + 256)
          return t + std::to_string(id - smscSlotBase(t));
      return std::string(id == 0 ? "-" : "?");
    };
    std::string slots, picks;
    for (const auto& [id, entry] : h.up.entriesCopy())
      slots += (slots.empty() ? "" : " ") + name(id) + ":" + std::to_string(entry.bindType);
    EXPECT_EQ(slots, c.slots);
    for (int i = 0; i < 7; ++i) picks += (i ? " " : "") + name(h.up.nextSMSCForTargetSet("S"));
    EXPECT_EQ(picks, c.picks);
    EXPECT_EQ(h.up.getTargetSetPoolSize("S"), c.poolSize);
    EXPECT_EQ(h.up.nextSMSCForTargetSet("unknown"), 0u);
  }
}

// A slot whose connection is refused is tried again 3, 10, 15, 15, 30, 45
// and 45 seconds after each attempt began, never before. A connection that
// was established starts the table again, so a refused bind, or one never
// answered (ended at its deadline, not before), is retried after 3 s.
TEST(ConnectBackoff, FailedSlotIsRetriedOnTheTableByInjectedTime) {
  struct Case {
    const char* label;
    bool closedPort;
    FakeSmsc::BindAnswer answer;
    std::vector<uint64_t> delays;
  };
  const std::vector<Case> cases = {
      {"connection refused", true, FakeSmsc::BindAnswer::Accept, {3, 10, 15, 15, 30, 45, 45}},
      {"bind refused 0x0E", false, FakeSmsc::BindAnswer::Refuse, {3, 3, 3}},
      {"bind never answered", false, FakeSmsc::BindAnswer::Silent, {3, 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    FakeSmsc::Behaviour behaviour;
    behaviour.bindAnswer = c.answer;
    behaviour.bindRefusalStatus = 0x0E;
    const int closedPort = testing_support::freeLoopbackPort();
    Harness h([&](int port) { return setOf({target("T", c.closedPort ? closedPort : port)}); },
              behaviour);
    for (size_t attempt = 0; attempt < c.delays.size(); ++attempt) {
      SCOPED_TRACE(attempt);
      const uint64_t started = h.clock.load();
      ASSERT_TRUE(h.run([&] { return h.entry().nextConnectTime > started; }, 5));
      if (!c.closedPort) {
        ASSERT_TRUE(h.run([&] { return h.smsc.sessions().size() == attempt + 1; }));
      }
      if (c.answer == FakeSmsc::BindAnswer::Silent) {
        h.clock += SMPPUpstream::kBindDeadlineMicros - 1;
        h.idle();
        EXPECT_TRUE(h.entry().sessionActive) << "ended before the deadline";
        h.clock += 1;
      }
      ASSERT_TRUE(h.run([&] { return !h.entry().sessionActive; }));
      const uint64_t due = h.entry().nextConnectTime;
      EXPECT_EQ(due - started, c.delays[attempt] * 1000000ULL);
      if (h.clock.load() < due) {
        h.clock.store(due - 1);
        h.idle(2);
        EXPECT_EQ(h.entry().nextConnectTime, due) << "attempted before its delay";
        h.clock.store(due);
      }
    }
  }
}

// An admin-down target never connects; the bound one keeps alive on its
// interval, not before; a target removed from the set is unbound for good,
// its slot admin-down and out of the pool; a set removed altogether loses
// its pool.
TEST(SMPPUpstream, AdminDownTargetNeverConnectsAndRemovedTargetIsUnboundForGood) {
  auto doc = [](int port, bool withT) {
    std::vector<json> targets = {
        target("Down", port, 1, {{"systemid", "down"}, {"admindown", true}})};
    if (withT) targets.push_back(target("T", port));
    std::vector<json> sets = {targetSet("S", targets)};
    if (withT) sets.push_back(targetSet("R", {target("B", port, 1, {{"admindown", true}})}));
    return document(sets);
  };
  Harness h([&](int port) { return doc(port, true); });
  ASSERT_TRUE(h.bound(1));
  const int conn = h.connection();
  h.clock += h.entry().enquireLinkInterval * 1000000ULL;
  h.idle();
  EXPECT_EQ(h.smsc.receivedCount(conn, SMPP::ENQUIRE_LINK), 0u) << "keep-alive before the interval";
  h.clock += 1;
  EXPECT_TRUE(h.run([&] { return h.smsc.receivedCount(conn, SMPP::ENQUIRE_LINK) == 1; }));
  h.run([] { return false; }, 30, 5000000);
  EXPECT_EQ(h.bindCommands(), std::multiset<uint32_t>{SMPP::BIND_TRANSCEIVER});
  ASSERT_EQ(h.smsc.connectionCount(), 1u);
  EXPECT_EQ(h.smsc.sessions().at(0).systemId, "up");
  ASSERT_EQ(h.up.getTargetSetPoolSize("S"), 2);  // an admin-down slot stays in it
  ASSERT_EQ(h.up.poolsCopy().count("R"), 1u);

  h.config.parseConfig(true, doc(h.smsc.port(), false));
  h.config.configChangedAt.store(h.clock.load());
  ASSERT_TRUE(h.run(
      [&] { return h.smsc.receivedCount(1, SMPP::UNBIND) == 1 && !h.entry().sessionActive; }));
  EXPECT_TRUE(h.entry().adminDown);
  EXPECT_EQ(h.up.getTargetSetPoolSize("S"), 1);
  EXPECT_EQ(h.up.poolsCopy().count("R"), 0u);
  h.run([] { return false; }, 30, 5000000);
  EXPECT_EQ(h.smsc.connectionCount(), 1u) << "a removed target reconnected";
}

// A transmitter/receiver pair and a receiver-only target bind with their
// commands; only the transmitter takes submits, the third within one second
// at "tpslimit" 2 is refused, and the next second takes one again.
// What must exist when the SMSC answers (the call detail record) is made in
// the step that runs before the submit leaves, under the sequence number it
// leaves with. Made after the send, a quick answer handled on the upstream
// thread found no record, and the row was stored as unanswered.
TEST(SMPPUpstream, ReceiversTakeNoSubmitsThrottlingAndTheStepBeforeTheSend) {
  Harness h([](int port) {
    return setOf({target("T", port, 1, {{"usetxrx", true}, {"tpslimit", 2}}),
                  target("R", port, 1, {{"userxonly", true}})});
  });
  ASSERT_TRUE(h.bound(3));
  EXPECT_EQ(h.bindCommands(), (std::multiset<uint32_t>{SMPP::BIND_TRANSMITTER, SMPP::BIND_RECEIVER,
                                                       SMPP::BIND_RECEIVER}));
  const uint64_t transmitter = smscSlotBase("T");
  Customer c(h.tracker, "acme");
  uint32_t sequence = 0, stepSequence = 0;
  std::string stepName;
  bool arrivedFirst = true;
  std::vector<bool> sent{h.submit(c, 1, transmitter, SMPP::SUBMIT_SM, &sequence,
                                  [&](uint32_t upstreamSequence, const std::string& smsc) {
                                    stepSequence = upstreamSequence;
                                    stepName = smsc;
                                    // Given time to arrive, a submit already sent is seen here.
                                    arrivedFirst = h.smsc.waitFor(
                                        [&] { return !h.smsc.submits().empty(); },
                                        std::chrono::milliseconds(200));
                                  })};
  EXPECT_FALSE(arrivedFirst);
  ASSERT_TRUE(h.smsc.waitFor([&] { return h.smsc.submits().size() == 1; }));
  EXPECT_EQ(h.smsc.submits()[0].sequenceNumber, stepSequence);
  EXPECT_EQ(sequence, stepSequence);
  EXPECT_EQ(stepName, "T");
  for (uint32_t seq = 2; seq <= 3; ++seq) sent.push_back(h.submit(c, seq));
  sent.push_back(h.submit(c, 4, transmitter + 1));    // the pair's receiver
  sent.push_back(h.submit(c, 5, smscSlotBase("R")));  // a receiver-only target
  h.clock += 1000001;
  sent.push_back(h.submit(c, 6));
  EXPECT_EQ(sent, (std::vector<bool>{true, true, false, false, false, true}));
}

// Whichever comes first, the receipt of an accepted submit is queued for its
// customer exactly once, with the state its text or parameters carry; when
// it comes after the response it is matched by its message id (the mapping
// is used up), not merely by the target's last customer.
TEST(SMPPUpstream, ReceiptIsQueuedOnceForTheCustomerWhateverTheOrder) {
  using Timing = FakeSmsc::ReceiptTiming;
  struct Case {
    const char* label;
    Timing timing;
    bool onReceiver;    // receipts on the receiver of a transmitter/receiver pair
    bool receiptFirst;  // the receipt arrives before any submit to the target
    const char* stat;
    bool tlvs;
    uint8_t state;
    int mappingsLeft;  // -1: either
  };
  const std::vector<Case> cases = {
      {"after the response", Timing::AfterResponse, false, false, "DELIVRD", false,
       SMPP::STATE_DELIVERED, 0},
      {"before the response, with TLVs", Timing::BeforeResponse, false, false, "UNDELIV", true,
       SMPP::STATE_UNDELIVERABLE, -1},
      {"on the receiver bind", Timing::BeforeResponse, true, false, "DELIVRD", true,
       SMPP::STATE_DELIVERED, -1},
      {"before any submit: kept until the response", Timing::None, false, true, "UNDELIV", false,
       SMPP::STATE_UNDELIVERABLE, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    FakeSmsc::Behaviour behaviour;
    behaviour.receipt = c.timing;
    behaviour.receiptOnReceiver = c.onReceiver;
    behaviour.receiptStat = c.stat;
    behaviour.receiptTLVs = c.tlvs;
    Harness h(Harness::single(c.onReceiver ? json{{"usetxrx", true}} : json::object()), behaviour);
    ASSERT_TRUE(h.bound(c.onReceiver ? 2 : 1));
    if (c.receiptFirst) {
      // The fake numbers its message ids from 1.
      ASSERT_TRUE(h.smsc.sendReceipt(h.connection(), "fake-1", "447700900123", "Shop"));
      ASSERT_TRUE(h.run([&] { return h.queue.unknownCount() == 1; }));
      EXPECT_EQ(h.queue.queuedCount("acme"), 0u);
    }
    Customer customer(h.tracker, "acme");
    ASSERT_TRUE(h.submit(customer, 5));
    ASSERT_TRUE(h.run([&] { return customer.poll() >= 1 && h.queue.queuedCount("acme") >= 1; }));
    h.idle(5);
    EXPECT_EQ(h.queue.queuedCount("acme"), 1u);
    EXPECT_EQ(h.queue.unknownCount(), 0u);
    if (c.mappingsLeft >= 0) {
      EXPECT_EQ(h.tracker.messageIDMapSize(), size_t(c.mappingsLeft));
    }
    DeliverSMQueue::Body body;
    ASSERT_TRUE(h.queue.popDeliverSM("acme", body));
    SMPP::T_SubmitSM deliver;
    ASSERT_TRUE(SMPP::parseDeliverSM(body.data(), body.size(), deliver, 0));
    const SMPP::ReceiptInfo info = SMPP::parseReceiptText(
        std::string(deliver.short_message.begin(), deliver.short_message.end()), &deliver.tlvs);
    EXPECT_EQ(info.messageId, h.smsc.submits().at(0).messageId);
    EXPECT_EQ(info.state, c.state);
  }
}

// Submits of two customers waiting on a session that ends (reset by the
// SMSC, or closed here when their responses are overdue) are answered 0x08
// once each; a response for one of them arriving on the next session is not
// relayed.
TEST(SMPPUpstream, LostSessionAnswersEachWaitingSubmitOnceAndDropsLateResponses) {
  struct Case {
    const char* label;
    std::function<void(Harness&)> end;
  };
  const std::vector<Case> cases = {
      {"reset by the SMSC",
       [](Harness& h) {
         h.smsc.act(h.connection(), [](SmscSimulator& s, int c) { s.resetConnection(c); });
       }},
      {"responses overdue",
       [](Harness& h) { h.clock += h.entry().responseTimeout * 1000000ULL + 1; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    FakeSmsc::Behaviour behaviour;
    behaviour.submitAnswer = FakeSmsc::SubmitAnswer::Never;
    Harness h(Harness::single(), behaviour);
    ASSERT_TRUE(h.bound(1));
    Customer a(h.tracker, "acme"), b(h.tracker, "acme");
    std::vector<uint32_t> upstream(3);
    ASSERT_TRUE(h.submit(a, 10, smscSlotBase("T"), SMPP::SUBMIT_SM, &upstream[0]));
    ASSERT_TRUE(h.submit(b, 11, smscSlotBase("T"), SMPP::DATA_SM, &upstream[1]));
    ASSERT_TRUE(h.submit(a, 12, smscSlotBase("T"), SMPP::SUBMIT_SM, &upstream[2]));
    ASSERT_TRUE(h.run([&] { return h.smsc.submits().size() == 3; }));
    EXPECT_EQ(h.smsc.receivedCount(h.connection(), SMPP::DATA_SM), 1u)
        << "data_sm went out as another command";
    c.end(h);
    ASSERT_TRUE(h.run([&] { return a.poll() + b.poll() >= 3; }));

    std::map<uint32_t, std::pair<uint32_t, uint32_t>> answers;  // sequence -> command, status
    for (Customer* customer : {&a, &b})
      for (const WirePDU& got : customer->received)
        answers[got.sequenceNumber] = {got.commandId, got.commandStatus};
    const uint32_t lost = SMPPUpstream::kSessionLostStatus;
    EXPECT_EQ(answers, (std::map<uint32_t, std::pair<uint32_t, uint32_t>>{
                           {10, {SMPP::SUBMIT_SM_RESP, lost}},
                           {11, {SMPP::DATA_SM_RESP, lost}},
                           {12, {SMPP::SUBMIT_SM_RESP, lost}}}));

    ASSERT_TRUE(h.run([&] { return h.smsc.connectionCount() == 2 && h.boundCount() == 1; }, 300,
                      50000));
    const int next = h.smsc.boundSessions().at(0).connection;
    std::vector<uint8_t> id;
    SMPP::encodeMessageIdBody("late", id);
    for (uint32_t seq : upstream)
      ASSERT_TRUE(h.smsc.act(
          next, [=](SmscSimulator& s, int c) { s.sendRaw(c, SMPP::SUBMIT_SM_RESP, 0, seq, id); }));
    h.request(next, SMPP::ENQUIRE_LINK);  // answered only after the responses were read
    ASSERT_TRUE(h.run([&] { return h.smsc.receivedCount(next, SMPP::ENQUIRE_LINK_RESP) == 1; }));
    EXPECT_EQ(a.poll(20) + b.poll(20), 3u) << "a late response was relayed";
  }
}

// The upstream thread serves the SMSC while customer threads submit and
// write to their own sessions and the SMSC sends enquire_links and receipts:
// every submit is answered exactly once, and every SMSC request is answered.
TEST(SMPPUpstreamThreaded, ConcurrentSubmitsGetExactlyOneAnswerEach) {
  constexpr int kCustomers = 3;
  constexpr uint32_t kSubmits = 100;
  constexpr int kSmscRequests = 50;
  FakeSmsc::Behaviour behaviour;
  behaviour.receipt = FakeSmsc::ReceiptTiming::AfterResponse;
  Harness h(Harness::single(), behaviour, false);
  std::vector<std::unique_ptr<Customer>> customers;
  for (int i = 0; i < kCustomers; ++i)
    customers.push_back(std::make_unique<Customer>(h.tracker, "acme"));
  h.up.startUpstream();
  const int conn = h.connection();
  ASSERT_NE(conn, 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  auto inTime = [&] { return std::chrono::steady_clock::now() < deadline; };

  std::vector<std::multiset<uint32_t>> answers(kCustomers);  // one per customer thread
  std::vector<std::thread> threads;
  for (int i = 0; i < kCustomers; ++i) {
    threads.emplace_back([&, i] {
      Customer& c = *customers[i];
      for (uint32_t seq = 1; seq <= kSubmits; ++seq) {
        // Refused until the upstream has seen its bind answered.
        while (!h.submit(c, seq) && inTime()) std::this_thread::yield();
        if (seq % 10 == 0)
          c.session->sendPDU(c.session->nextSequenceNumber(), SMPP::ENQUIRE_LINK, 0, nullptr, 0);
      }
      auto answered = [&] {
        answers[i].clear();
        for (const WirePDU& g : c.received)
          if (g.commandId == SMPP::SUBMIT_SM_RESP && g.commandStatus == 0)
            answers[i].insert(g.sequenceNumber);
        return answers[i].size();
      };
      while (answered() < kSubmits && inTime()) c.poll(10);
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; i < kSmscRequests; ++i) {
      h.request(conn, SMPP::ENQUIRE_LINK);
      h.smsc.sendReceipt(conn, "unknown-" + std::to_string(i), "447700900123", "Shop");
    }
  });
  for (auto& t : threads) t.join();

  const size_t receipts = kCustomers * kSubmits + kSmscRequests;
  EXPECT_TRUE(h.smsc.waitForReceived(conn, SMPP::ENQUIRE_LINK_RESP, kSmscRequests));
  EXPECT_TRUE(h.smsc.waitForReceived(conn, SMPP::DELIVER_SM_RESP, receipts));
  h.up.stopUpstream();
  std::multiset<uint32_t> each;
  for (uint32_t seq = 1; seq <= kSubmits; ++seq) each.insert(seq);
  for (int i = 0; i < kCustomers; ++i) EXPECT_EQ(answers[i], each) << "customer " << i;
}

}  // namespace
