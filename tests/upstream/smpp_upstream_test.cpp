// The upstream manager in-process: slots and weighted pools built from the
// configuration, then against a scripted SMSC over loopback on the injected
// clock: back-off and deadlines, admin-down and removed targets, throttling,
// keep-alives, receipts, lost sessions, and the upstream thread serving the
// SMSC while customer threads submit.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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
#include "tests/support/loopback.h"
#include "tests/upstream/upstream_fixture.h"

using namespace upstream_test;
using testing_support::FakeSmsc;

namespace {

// The one set "S" of `targets`.
json setOf(std::vector<json> targets, std::vector<json> esmes = {}, bool submits = true) {
  return document({targetSet("S", targets, submits)}, esmes);
}

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

// A fake SMSC and an upstream manager whose targets point at it.
class Harness {
 public:
  using Doc = std::function<json(int port)>;
  explicit Harness(const Doc& doc, const FakeSmsc::Behaviour& behaviour = {}, bool init = true)
      : f((smsc.setBehaviour(behaviour), doc(smsc.port()))),
        clock(f.clock),
        upstream(f.upstream),
        tracker(*f.tracker),
        queue(*f.queue) {
    if (init) upstream->initUpstreamBinds(2, SMPP::INTERFACE_VERSION_34);
  }
  // One target "T" (system id "up") and the customers given.
  static Doc single(json extra = json::object(), int bindqty = 1, std::vector<json> esmes = {}) {
    return [=](int port) { return setOf({target("T", port, bindqty, extra)}, esmes); };
  }

  // Runs passes (each waiting at most 20 ms for readiness), the clock moving
  // `step` before each, until `done` holds or `passes` ran; whether it held.
  bool run(const std::function<bool()>& done, int passes = 200, uint64_t step = 0) {
    return f.runUntil(
        [&] {
          if (done()) return true;
          clock += step;
          return false;
        },
        passes);
  }
  void idle(int passes = 3) {
    run([] { return false; }, passes);
  }
  // Until `n` upstream sessions are bound; the clock steps past the pacing
  // of one connection per second.
  bool bound(size_t n) {
    return run([&] { return boundCount() == n && smsc.boundSessions().size() == n; }, 300, 50000);
  }
  size_t boundCount() {
    size_t n = 0;
    for (const auto& s : upstream->sessionsCopy()) n += s->bindState() >= BIND_STATE_TRANSCEIVER;
    return n;
  }
  std::multiset<uint32_t> bindCommands() {
    std::multiset<uint32_t> commands;
    for (const auto& s : smsc.sessions()) commands.insert(s.bindCommand);
    return commands;
  }
  SMSCEntry entry(uint64_t smscid = smscSlotBase("T")) {
    return upstream->entriesCopy().at(smscid);
  }
  int connection() { return smsc.waitForBound("up"); }
  bool submit(Customer& c, uint32_t sequence, uint64_t smscid = smscSlotBase("T"),
              uint32_t commandId = SMPP::SUBMIT_SM, uint32_t* upstreamSequence = nullptr) {
    SMPP::T_SubmitSM sm;
    sm.source_addr = "Shop";
    sm.destination_addr = "447700900123";
    sm.registered_delivery = 1;
    sm.short_message = {'h', 'i'};
    uint32_t up = 0;
    std::string name;
    const bool sent = upstream->sendSubmitSM("acme", c.id(), smscid, sequence, sm, up, name,
                                             commandId);
    if (upstreamSequence != nullptr) *upstreamSequence = up;
    return sent;
  }

  FakeSmsc smsc;
  UpstreamFixture f;
  std::atomic<uint64_t>& clock;
  std::unique_ptr<SMPPUpstream>& upstream;
  Tracker& tracker;
  DeliverSMQueue& queue;
};

// The slots each target flag gives (name, offset from the target's base,
// bind type 0 receiver, 1 transmitter, 2 transceiver) and the picks of the
// pool: each sending slot `weight` times in a row, target after target.
TEST(TargetSetPools, SlotsAndPicksFollowTheTargetFlags) {
  struct Case {
    const char* label;
    std::vector<json> targets;
    bool submits;
    std::set<std::string> slots;
    std::string picks;  // seven picks, "-" for none
    int32_t poolSize;
  };
  const std::vector<Case> cases = {
      {"transceivers weight 2",
       {target("A", 1, 3, {{"weight", 2}})},
       true,
       {"A0:2", "A1:2", "A2:2"},
       "A0 A0 A1 A1 A2 A2 A0",
       6},
      {"two targets",
       {target("A", 1, 2, {{"weight", 2}}), target("B", 1)},
       true,
       {"A0:2", "A1:2", "B0:2"},
       "A0 A0 A1 A1 B0 A0 A0",
       5},
      {"usetxrx pairs",
       {target("A", 1, 2, {{"usetxrx", true}})},
       true,
       {"A0:1", "A1:0", "A2:1", "A3:0"},
       "A0 A2 A0 A2 A0 A2 A0",
       2},
      {"receiver only", {target("A", 1, 2, {{"userxonly", true}})}, true, {"A0:0", "A1:0"}, "- - - - - - -", 0},
      {"weight 0 still binds", {target("A", 1, 2, {{"weight", 0}})}, true, {"A0:2", "A1:2"}, "- - - - - - -", 0},
      {"submits disabled", {target("A", 1)}, false, {"A0:2"}, "A0 A0 A0 A0 A0 A0 A0", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Harness h([&](int) { return setOf(c.targets, {}, c.submits); });
    auto name = [](uint64_t id) {
      for (const char* t : {"A", "B"})
        if (id >= smscSlotBase(t) && id < smscSlotBase(t) + 256)
          return t + std::to_string(id - smscSlotBase(t));
      return std::string(id == 0 ? "-" : "?");
    };
    std::set<std::string> slots;
    for (const auto& [id, entry] : h.upstream->entriesCopy())
      slots.insert(name(id) + ":" + std::to_string(entry.bindType));
    EXPECT_EQ(slots, c.slots);
    std::string picks;
    for (int i = 0; i < 7; ++i) picks += (i ? " " : "") + name(h.upstream->nextSMSCForTargetSet("S"));
    EXPECT_EQ(picks, c.picks);
    EXPECT_EQ(h.upstream->getTargetSetPoolSize("S"), c.poolSize);
    EXPECT_EQ(h.upstream->nextSMSCForTargetSet("unknown"), 0u);
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

// An admin-down target never connects; a target removed from the set is
// unbound for good, its slot admin-down and out of the pool; a set removed
// altogether loses its pool.
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
  h.run([] { return false; }, 30, 5000000);
  EXPECT_EQ(h.bindCommands(), std::multiset<uint32_t>{SMPP::BIND_TRANSCEIVER});
  ASSERT_EQ(h.smsc.connectionCount(), 1u);
  EXPECT_EQ(h.smsc.sessions().at(0).systemId, "up");
  ASSERT_EQ(h.upstream->getTargetSetPoolSize("S"), 2);  // an admin-down slot stays in it
  ASSERT_EQ(h.upstream->poolsCopy().count("R"), 1u);

  h.f.config->parseConfig(true, doc(h.smsc.port(), false));
  h.f.config->configChangedAt.store(h.clock.load());
  ASSERT_TRUE(h.run(
      [&] { return h.smsc.receivedCount(1, SMPP::UNBIND) == 1 && !h.entry().sessionActive; }));
  EXPECT_TRUE(h.entry().adminDown);
  EXPECT_EQ(h.upstream->getTargetSetPoolSize("S"), 1);
  EXPECT_EQ(h.upstream->poolsCopy().count("R"), 0u);
  h.run([] { return false; }, 30, 5000000);
  EXPECT_EQ(h.smsc.connectionCount(), 1u) << "a removed target reconnected";
}

// A transmitter/receiver pair and a receiver-only target bind with their
// commands; only the transmitter takes submits, the third within one second
// at "tpslimit" 2 is refused, and the next second takes one again.
TEST(SMPPUpstream, ReceiversTakeNoSubmitsAndTheThirdSubmitInOneSecondIsThrottled) {
  Harness h([](int port) {
    return setOf({target("T", port, 1, {{"usetxrx", true}, {"tpslimit", 2}}),
                  target("R", port, 1, {{"userxonly", true}})});
  });
  ASSERT_TRUE(h.bound(3));
  EXPECT_EQ(h.bindCommands(), (std::multiset<uint32_t>{SMPP::BIND_TRANSMITTER, SMPP::BIND_RECEIVER,
                                                       SMPP::BIND_RECEIVER}));
  const uint64_t transmitter = smscSlotBase("T");
  Customer c(h.tracker, "acme");
  std::vector<bool> sent;
  for (uint32_t seq = 1; seq <= 3; ++seq) sent.push_back(h.submit(c, seq));
  sent.push_back(h.submit(c, 4, transmitter + 1));    // the pair's receiver
  sent.push_back(h.submit(c, 5, smscSlotBase("R")));  // a receiver-only target
  h.clock += 1000001;
  sent.push_back(h.submit(c, 6));
  EXPECT_EQ(sent, (std::vector<bool>{true, true, false, false, false, true}));
}

TEST(SMPPUpstream, KeepAliveFollowsTheInterval) {
  Harness h(Harness::single());
  ASSERT_TRUE(h.bound(1));
  const int conn = h.connection();
  h.clock += h.entry().enquireLinkInterval * 1000000ULL;
  h.idle();
  EXPECT_EQ(h.smsc.receivedCount(conn, SMPP::ENQUIRE_LINK), 0u) << "keep-alive before the interval";
  h.clock += 1;
  EXPECT_TRUE(h.run([&] { return h.smsc.receivedCount(conn, SMPP::ENQUIRE_LINK) == 1; }));
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
      ASSERT_TRUE(h.run([&] { return h.queue.unknownCount() == 1; }));
      EXPECT_EQ(h.queue.queuedCount("acme"), 0u);
    }
    Customer customer(h.tracker, "acme");
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
    ASSERT_TRUE(h.run([&] { return customer.poll() >= 1 && h.queue.queuedCount("acme") >= 1; }));
    h.idle(5);
    EXPECT_EQ(h.queue.queuedCount("acme"), 1u);
    EXPECT_EQ(h.queue.unknownCount(), 0u);
    if (c.mappingsLeft >= 0) {
      EXPECT_EQ(h.tracker.messageIDMapSize(), static_cast<size_t>(c.mappingsLeft));
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
      {"reset by the SMSC", [](Harness& h) { h.smsc.resetConnection(h.connection()); }},
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
    c.end(h);
    ASSERT_TRUE(h.run([&] { return a.poll() + b.poll() >= 3; }));

    std::map<uint32_t, std::pair<uint32_t, uint32_t>> answers;  // sequence -> command, status
    for (Customer* customer : {&a, &b})
      for (const Got& got : customer->received)
        answers[got.header.sequenceNumber] = {got.header.commandId, got.header.commandStatus};
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
      ASSERT_TRUE(h.smsc.sendResponse(next, SMPP::SUBMIT_SM_RESP, 0, seq, id));
    h.smsc.sendEnquireLink(next);  // answered only after the responses were read
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
  h.upstream->startUpstream();
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
  h.upstream->stopUpstream();
  for (int i = 0; i < kCustomers; ++i) {
    SCOPED_TRACE(i);
    ASSERT_EQ(answers[i].size(), kSubmits);
    EXPECT_EQ(answers[i].begin()->first, 1u);
    EXPECT_EQ(answers[i].rbegin()->first, kSubmits);
    for (const auto& [seq, n] : answers[i]) EXPECT_EQ(n, 1) << "sequence " << seq;
  }
}

}  // namespace
