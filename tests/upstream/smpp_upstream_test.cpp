// The upstream manager against a scripted SMSC over loopback: binding each
// slot, back-off and deadlines on the injected clock, pools and throttling,
// keep-alives, and the relay of responses, receipts and mobile-originated
// messages to customer sessions.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include "config/smsc_slot_id.h"
#include "downstream/ostrel_session.h"
#include "smpp/receipt.h"
#include "tests/support/fake_smsc.h"
#include "tests/upstream/upstream_fixture.h"

using namespace upstream_test;
using testing_support::FakeSmsc;

namespace {

struct Got {
  SMPP::PDUHeader header;
  std::vector<uint8_t> body;
};

// One customer connection as the gateway sees it (a real OstrelSession on a
// socket pair, known to the tracker under `systemId`) and the customer's end,
// from which the test reads what the gateway answered.
class Customer {
 public:
  Customer(Tracker& tracker, const std::string& systemId) {
    int fds[2] = {-1, -1};
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    peer_ = fds[1];
    session = OstrelSession::create(fds[0], "127.0.0.2", 40000, nullptr);
    tracker.setSession(session->sessionId(), session);
    tracker.setSessionSystemId(systemId, session->sessionId());
  }
  ~Customer() {
    session.reset();
    close(peer_);
  }
  uint64_t id() const { return session->sessionId(); }

  // Appends the complete PDUs that have arrived to `received`; its size.
  size_t poll(int waitMillis = 0) {
    pollfd p{peer_, POLLIN, 0};
    if (::poll(&p, 1, waitMillis) > 0) {
      uint8_t buffer[4096];
      ssize_t n;
      while ((n = recv(peer_, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
        pending_.insert(pending_.end(), buffer, buffer + n);
    }
    while (pending_.size() >= 16) {
      const SMPP::PDUHeader h = SMPP::decodeHeader(pending_.data());
      if (h.commandLength < 16 || pending_.size() < h.commandLength) break;
      received.push_back({h, {pending_.begin() + 16, pending_.begin() + h.commandLength}});
      pending_.erase(pending_.begin(), pending_.begin() + h.commandLength);
    }
    return received.size();
  }

  std::shared_ptr<OstrelSession> session;
  std::vector<Got> received;

 private:
  int peer_ = -1;
  std::vector<uint8_t> pending_;
};

SMPP::T_SubmitSM message() {
  SMPP::T_SubmitSM sm;
  sm.source_addr = "Shop";
  sm.destination_addr = "447700900123";
  sm.registered_delivery = 1;
  sm.short_message = {'h', 'i'};
  return sm;
}

// A fake SMSC and an upstream manager whose targets point at it.
class Harness {
 public:
  using Doc = std::function<json(int port)>;
  explicit Harness(const Doc& doc, const FakeSmsc::Behaviour& behaviour = {}, bool init = true)
      : f((smsc.setBehaviour(behaviour), doc(smsc.port()))) {
    if (init) f.upstream->initUpstreamBinds(2, SMPP::INTERFACE_VERSION_34);
  }
  // One set "S" with one target "T" (system id "up") and the customers given.
  static Doc single(json extra = json::object(), int bindqty = 1, std::vector<json> esmes = {}) {
    return [=](int port) {
      return document({targetSet("S", {target("T", port, bindqty, extra)})}, esmes);
    };
  }

  // Runs passes, the clock moving `step` before each, until `done` holds.
  bool run(const std::function<bool()>& done, int passes = 200, uint64_t step = 0) {
    return f.runUntil(
        [&] {
          if (done()) return true;
          f.advance(step);
          return false;
        },
        passes);
  }
  // Until `n` upstream sessions are bound; the clock steps past the pacing
  // of one connection per second.
  bool bound(size_t n) {
    return run([&] { return boundStates().size() == n && smsc.boundSessions().size() == n; }, 300,
               50000);
  }
  // Bind state per slot (relative to target T's base) of the bound sessions.
  std::map<uint64_t, uint32_t> boundStates() {
    std::map<uint64_t, uint32_t> states;
    for (const auto& s : f.upstream->sessionsCopy())
      if (s->bindState() >= BIND_STATE_TRANSCEIVER)
        states[s->settings().smscid - smscSlotBase("T")] = s->bindState();
    return states;
  }
  SMSCEntry entry(uint64_t smscid) { return f.upstream->entriesCopy().at(smscid); }
  int connection() { return smsc.waitForBound("up"); }
  bool submit(Customer& c, uint32_t sequence, uint64_t smscid = smscSlotBase("T"),
              uint32_t commandId = SMPP::SUBMIT_SM, uint32_t* upstreamSequence = nullptr) {
    uint32_t up = 0;
    std::string name;
    const bool sent =
        f.upstream->sendSubmitSM("acme", c.id(), smscid, sequence, message(), up, name, commandId);
    if (upstreamSequence != nullptr) *upstreamSequence = up;
    return sent;
  }

  FakeSmsc smsc;
  UpstreamFixture f;
};

TEST(SMPPUpstream, EachSlotBindsWithTheCommandOfItsBindType) {
  struct Case {
    const char* label;
    json extra;
    int bindqty;
    std::multiset<uint32_t> commands;
    std::map<uint64_t, uint32_t> states;  // per slot offset
  };
  const std::vector<Case> cases = {
      {"transceiver", json::object(), 1, {SMPP::BIND_TRANSCEIVER}, {{0, BIND_STATE_TRANSCEIVER}}},
      {"transmitter and receiver pair",
       {{"usetxrx", true}},
       1,
       {SMPP::BIND_TRANSMITTER, SMPP::BIND_RECEIVER},
       {{0, BIND_STATE_TRANSMITTER}, {1, BIND_STATE_RECEIVER}}},
      {"receiver only",
       {{"userxonly", true}},
       2,
       {SMPP::BIND_RECEIVER, SMPP::BIND_RECEIVER},
       {{0, BIND_STATE_RECEIVER}, {1, BIND_STATE_RECEIVER}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Harness h(Harness::single(c.extra, c.bindqty));
    ASSERT_TRUE(h.bound(c.states.size()));
    std::multiset<uint32_t> commands;
    for (const auto& s : h.smsc.sessions()) commands.insert(s.bindCommand);
    EXPECT_EQ(commands, c.commands);
    EXPECT_EQ(h.boundStates(), c.states);
  }
}

// A refused bind is retried when the slot's back-off is up, not before; a
// bind never answered ends the session at the bind deadline, not before.
TEST(SMPPUpstream, RefusedBindWaitsForTheBackoffAndSilentBindEndsAtTheDeadline) {
  struct Case {
    const char* label;
    FakeSmsc::BindAnswer answer;
    uint64_t endsAfter;
  };
  const std::vector<Case> cases = {
      {"refused 0x0E", FakeSmsc::BindAnswer::Refuse, 0},
      {"silent", FakeSmsc::BindAnswer::Silent, SMPPUpstream::kBindDeadlineMicros},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    FakeSmsc::Behaviour behaviour;
    behaviour.bindAnswer = c.answer;
    behaviour.bindRefusalStatus = 0x0E;
    Harness h(Harness::single(), behaviour);
    const uint64_t slot = smscSlotBase("T");
    ASSERT_TRUE(h.run([&] {
      const auto s = h.smsc.sessions();
      return s.size() == 1 && s[0].bindCommand == SMPP::BIND_TRANSCEIVER;
    }));
    if (c.endsAfter != 0) {
      h.f.advance(c.endsAfter - 1);
      h.run([] { return false; }, 3);
      EXPECT_TRUE(h.entry(slot).sessionActive) << "ended before the deadline";
      h.f.advance(1);
    }
    ASSERT_TRUE(h.run([&] { return !h.entry(slot).sessionActive; }));
    const uint64_t due = h.entry(slot).nextConnectTime;
    if (h.f.clock.load() < due) {
      h.f.clock.store(due - 1);
      h.run([] { return false; }, 3);
      EXPECT_EQ(h.smsc.connectionCount(), 1u) << "retried before the back-off";
      h.f.clock.store(due);
    }
    EXPECT_TRUE(h.run([&] { return h.smsc.connectionCount() == 2; }));
  }
}

TEST(SMPPUpstream, AdminDownTargetNeverConnectsAndRemovedTargetIsUnboundForGood) {
  auto doc = [](int port, bool withUp) {
    std::vector<json> targets = {
        target("Down", port, 1, {{"systemid", "down"}, {"admindown", true}})};
    if (withUp) targets.push_back(target("T", port));
    return document({targetSet("S", targets)});
  };
  Harness h([&](int port) { return doc(port, true); });
  ASSERT_TRUE(h.bound(1));
  h.run([] { return false; }, 30, 5000000);
  for (const auto& s : h.smsc.sessions()) EXPECT_EQ(s.systemId, "up");
  ASSERT_EQ(h.smsc.connectionCount(), 1u);

  h.f.config->parseConfig(true, doc(h.smsc.port(), false));
  h.f.config->configChangedAt.store(h.f.clock.load());
  const uint64_t slot = smscSlotBase("T");
  ASSERT_TRUE(h.run(
      [&] { return h.smsc.receivedCount(1, SMPP::UNBIND) == 1 && !h.entry(slot).sessionActive; }));
  EXPECT_TRUE(h.entry(slot).adminDown);
  h.run([] { return false; }, 30, 5000000);
  EXPECT_EQ(h.smsc.connectionCount(), 1u) << "a removed target reconnected";
}

TEST(SMPPUpstream, PoolSkipsReceiversAndTheThirdSubmitInOneSecondIsThrottled) {
  Harness h([](int port) {
    return document({targetSet("S", {target("T", port, 1, {{"usetxrx", true}, {"tpslimit", 2}}),
                                     target("R", port, 1, {{"userxonly", true}})})});
  });
  ASSERT_TRUE(h.bound(3));
  const uint64_t transmitter = smscSlotBase("T");
  std::set<uint64_t> picked;
  for (int i = 0; i < 4; ++i) picked.insert(h.f.upstream->nextSMSCForTargetSet("S"));
  EXPECT_EQ(picked, std::set<uint64_t>{transmitter});

  Customer c(*h.f.tracker, "acme");
  std::vector<bool> sent;
  for (uint32_t seq = 1; seq <= 3; ++seq) sent.push_back(h.submit(c, seq));
  sent.push_back(h.submit(c, 4, transmitter + 1));    // the pair's receiver
  sent.push_back(h.submit(c, 5, smscSlotBase("R")));  // a receiver-only target
  h.f.advance(1000001);
  sent.push_back(h.submit(c, 6));
  EXPECT_EQ(sent, (std::vector<bool>{true, true, false, false, false, true}));
}

TEST(SMPPUpstream, EnquireLinkIsAnsweredAndKeepAliveFollowsTheInterval) {
  Harness h(Harness::single());
  ASSERT_TRUE(h.bound(1));
  const int conn = h.connection();
  const uint32_t seq = h.smsc.sendEnquireLink(conn);
  ASSERT_TRUE(h.run([&] { return h.smsc.receivedCount(conn, SMPP::ENQUIRE_LINK_RESP) == 1; }));
  EXPECT_EQ(h.smsc.received(conn).back().sequenceNumber, seq);

  const uint64_t interval = h.entry(smscSlotBase("T")).enquireLinkInterval * 1000000ULL;
  h.f.advance(interval);
  h.run([] { return false; }, 3);
  EXPECT_EQ(h.smsc.receivedCount(conn, SMPP::ENQUIRE_LINK), 0u) << "keep-alive before the interval";
  h.f.advance(1);
  EXPECT_TRUE(h.run([&] { return h.smsc.receivedCount(conn, SMPP::ENQUIRE_LINK) == 1; }));
}

TEST(SMPPUpstream, SubmitResponseReachesTheCustomerUnderItsOwnSequence) {
  struct Case {
    const char* label;
    uint32_t commandId;
    uint32_t smscStatus;
    uint32_t expectedCommand;
  };
  const std::vector<Case> cases = {
      {"accepted submit_sm", SMPP::SUBMIT_SM, 0, SMPP::SUBMIT_SM_RESP},
      {"throttled submit_sm", SMPP::SUBMIT_SM, SMPP::ESME_RTHROTTLED, SMPP::SUBMIT_SM_RESP},
      {"accepted data_sm", SMPP::DATA_SM, 0, SMPP::DATA_SM_RESP},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    FakeSmsc::Behaviour behaviour;
    behaviour.submitStatus = c.smscStatus;
    Harness h(Harness::single(), behaviour);
    ASSERT_TRUE(h.bound(1));
    Customer customer(*h.f.tracker, "acme");
    ASSERT_TRUE(h.submit(customer, 77, smscSlotBase("T"), c.commandId));
    ASSERT_TRUE(h.run([&] { return customer.poll() >= 1; }));
    const Got& got = customer.received.at(0);
    EXPECT_EQ(got.header.commandId, c.expectedCommand);
    EXPECT_EQ(got.header.sequenceNumber, 77u);
    EXPECT_EQ(got.header.commandStatus, c.smscStatus);
    std::vector<uint8_t> body;
    if (c.smscStatus == 0) SMPP::encodeMessageIdBody(h.smsc.submits().at(0).messageId, body);
    EXPECT_EQ(got.body, body);
  }
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
    const char* text;  // sent by the test after the response, id in a TLV only
    uint8_t state;
    int mappingsLeft;  // -1: either
  };
  const std::vector<Case> cases = {
      {"after the response", Timing::AfterResponse, false, false, "DELIVRD", false, nullptr,
       SMPP::STATE_DELIVERED, 0},
      {"before the response, with TLVs", Timing::BeforeResponse, false, false, "UNDELIV", true,
       nullptr, SMPP::STATE_UNDELIVERABLE, -1},
      {"on the receiver bind", Timing::BeforeResponse, true, false, "DELIVRD", true, nullptr,
       SMPP::STATE_DELIVERED, -1},
      {"before any submit: kept until the response", Timing::None, false, true, "UNDELIV", false,
       nullptr, SMPP::STATE_UNDELIVERABLE, 0},
      {"free text, id only in receipted_message_id", Timing::None, false, false, "", false,
       "message stat:UNDELIV", SMPP::STATE_UNDELIVERABLE, 0},
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
      ASSERT_NE(h.smsc.sendReceipt(h.connection(), "fake-1", "447700900123", "Shop"), 0u);
      ASSERT_TRUE(h.run([&] { return h.f.queue->unknownCount() == 1; }));
      EXPECT_EQ(h.f.queue->queuedCount("acme"), 0u);
    }
    Customer customer(*h.f.tracker, "acme");
    ASSERT_TRUE(h.submit(customer, 5));
    if (c.text != nullptr) {
      ASSERT_TRUE(h.run([&] { return customer.poll() >= 1; }));
      const std::string id = h.smsc.submits().at(0).messageId;
      SMPP::T_SubmitSM receipt;
      receipt.esm_class = 0x04;
      receipt.short_message.assign(c.text, c.text + strlen(c.text));
      std::vector<uint8_t> value(id.begin(), id.end());
      value.push_back(0);
      receipt.tlvs.push_back(
          {SMPP::TAG_RECEIPTED_MESSAGE_ID, static_cast<uint32_t>(value.size()), value});
      ASSERT_NE(h.smsc.sendDeliverSM(h.connection(), receipt), 0u);
    }
    ASSERT_TRUE(h.run([&] { return customer.poll() >= 1 && h.f.queue->queuedCount("acme") >= 1; }));
    h.run([] { return false; }, 5);
    EXPECT_EQ(h.f.queue->queuedCount("acme"), 1u);
    EXPECT_EQ(h.f.queue->unknownCount(), 0u);
    if (c.mappingsLeft >= 0) {
      EXPECT_EQ(h.f.tracker->messageIDMapSize(), static_cast<size_t>(c.mappingsLeft));
    }
    DeliverSMQueue::Body body;
    ASSERT_TRUE(h.f.queue->popDeliverSM("acme", body));
    SMPP::T_SubmitSM deliver;
    ASSERT_TRUE(SMPP::parseDeliverSM(body.data(), body.size(), deliver, 0));
    const SMPP::ReceiptInfo info = SMPP::parseReceiptText(
        std::string(deliver.short_message.begin(), deliver.short_message.end()), &deliver.tlvs);
    EXPECT_EQ(info.messageId, h.smsc.submits().at(0).messageId);
    EXPECT_EQ(info.state, c.state);
  }
}

TEST(SMPPUpstream, MobileOriginatedGoesToTheCustomerOfItsTextOrDestination) {
  const std::vector<json> esmes = {
      {{"systemid", "acme"}, {"sharedtargetsetid", "S"}, {"inboundmo", {"KEYWORD", "4477.*"}}},
      {{"systemid", "beta"}, {"sharedtargetsetid", "S"}, {"inboundmo", {"600"}}}};
  Harness h(Harness::single(json::object(), 1, esmes));
  ASSERT_TRUE(h.bound(1));
  const int conn = h.connection();
  struct Case {
    const char* destination;
    const char* text;
    const char* customer;  // "" nobody
  };
  const std::vector<Case> cases = {{"999", "KEYWORD", "acme"},
                                   {"600", "hello", "beta"},
                                   {"447712345", "hello", "acme"},
                                   {"123", "hello", ""}};
  size_t answered = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.destination) + " " + c.text);
    ASSERT_NE(h.smsc.sendMO(conn, "447700900999", c.destination, c.text), 0u);
    ++answered;
    ASSERT_TRUE(
        h.run([&] { return h.smsc.receivedCount(conn, SMPP::DELIVER_SM_RESP) == answered; }));
    for (const char* esme : {"acme", "beta"}) {
      DeliverSMQueue::Body body;
      EXPECT_EQ(h.f.queue->popDeliverSM(esme, body), std::string(esme) == c.customer) << esme;
    }
  }
}

// Three submits of two customers wait on the bound slot when `end` ends its
// session.
void expectLostSubmitsAnsweredOnce(Harness& h, const std::function<void(Harness&)>& end) {
  Customer a(*h.f.tracker, "acme"), b(*h.f.tracker, "acme");
  std::vector<uint32_t> upstream(3);
  ASSERT_TRUE(h.submit(a, 10, smscSlotBase("T"), SMPP::SUBMIT_SM, &upstream[0]));
  ASSERT_TRUE(h.submit(b, 11, smscSlotBase("T"), SMPP::DATA_SM, &upstream[1]));
  ASSERT_TRUE(h.submit(a, 12, smscSlotBase("T"), SMPP::SUBMIT_SM, &upstream[2]));
  ASSERT_TRUE(h.run([&] { return h.smsc.submits().size() == 3; }));
  end(h);
  ASSERT_TRUE(h.run([&] { return a.poll() + b.poll() >= 3; }));

  std::map<uint32_t, std::pair<uint32_t, uint32_t>> answers;  // sequence -> command, status
  for (Customer* c : {&a, &b})
    for (const Got& got : c->received)
      answers[got.header.sequenceNumber] = {got.header.commandId, got.header.commandStatus};
  const uint32_t lost = SMPPUpstream::kSessionLostStatus;
  EXPECT_EQ(answers, (std::map<uint32_t, std::pair<uint32_t, uint32_t>>{
                         {10, {SMPP::SUBMIT_SM_RESP, lost}},
                         {11, {SMPP::DATA_SM_RESP, lost}},
                         {12, {SMPP::SUBMIT_SM_RESP, lost}}}));

  ASSERT_TRUE(h.run([&] { return h.smsc.connectionCount() == 2 && h.boundStates().size() == 1; },
                    300, 50000));
  const int next = h.smsc.boundSessions().at(0).connection;
  std::vector<uint8_t> id;
  SMPP::encodeMessageIdBody("late", id);
  for (uint32_t seq : upstream)
    ASSERT_TRUE(h.smsc.sendResponse(next, SMPP::SUBMIT_SM_RESP, 0, seq, id));
  h.smsc.sendEnquireLink(next);  // answered only after the responses were read
  ASSERT_TRUE(h.run([&] { return h.smsc.receivedCount(next, SMPP::ENQUIRE_LINK_RESP) == 1; }));
  EXPECT_EQ(a.poll(20) + b.poll(20), 3u) << "a late response was relayed";
}

// Submits waiting on a session that ends (reset by the SMSC, or closed here
// when their responses are overdue) are answered 0x08 once each; a response
// for one of them arriving on the next session is not relayed.
TEST(SMPPUpstream, LostSessionAnswersEachWaitingSubmitOnceAndDropsLateResponses) {
  struct Case {
    const char* label;
    std::function<void(Harness&)> end;
  };
  const std::vector<Case> cases = {
      {"reset by the SMSC", [](Harness& h) { h.smsc.resetConnection(h.connection()); }},
      {"responses overdue",
       [](Harness& h) {
         h.f.advance(h.entry(smscSlotBase("T")).responseTimeout * 1000000ULL + 1);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    FakeSmsc::Behaviour behaviour;
    behaviour.submitAnswer = FakeSmsc::SubmitAnswer::Never;
    Harness h(Harness::single(), behaviour);
    ASSERT_TRUE(h.bound(1));
    expectLostSubmitsAnsweredOnce(h, c.end);
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
    customers.push_back(std::make_unique<Customer>(*h.f.tracker, "acme"));
  h.f.upstream->startUpstream();
  const int conn = h.connection();
  ASSERT_NE(conn, 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  auto inTime = [&] { return std::chrono::steady_clock::now() < deadline; };

  std::vector<std::map<uint32_t, int>> answers(kCustomers);  // one per customer thread
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
      size_t responses = 0;
      while (responses < kSubmits && inTime()) {
        c.poll(10);
        responses = static_cast<size_t>(
            std::count_if(c.received.begin(), c.received.end(),
                          [](const Got& g) { return g.header.commandId == SMPP::SUBMIT_SM_RESP; }));
      }
      for (const Got& g : c.received)
        if (g.header.commandId == SMPP::SUBMIT_SM_RESP && g.header.commandStatus == 0)
          answers[i][g.header.sequenceNumber] += 1;
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; i < kSmscRequests; ++i) {
      h.smsc.sendEnquireLink(conn);
      h.smsc.sendReceipt(conn, "unknown-" + std::to_string(i), "447700900123", "Shop");
    }
  });
  for (auto& t : threads) t.join();

  const size_t receipts = kCustomers * kSubmits + kSmscRequests;
  EXPECT_TRUE(h.smsc.waitForReceived(conn, SMPP::ENQUIRE_LINK_RESP, kSmscRequests));
  EXPECT_TRUE(h.smsc.waitForReceived(conn, SMPP::DELIVER_SM_RESP, receipts));
  h.f.upstream->stopUpstream();
  for (int i = 0; i < kCustomers; ++i) {
    SCOPED_TRACE(i);
    ASSERT_EQ(answers[i].size(), kSubmits);
    EXPECT_EQ(answers[i].begin()->first, 1u);
    EXPECT_EQ(answers[i].rbegin()->first, kSubmits);
    for (const auto& [seq, n] : answers[i]) EXPECT_EQ(n, 1) << "sequence " << seq;
  }
}

}  // namespace
