// A customer session on one end of a socket pair, the test speaking SMPP on
// the other: binds, the bind deadline, the throttle window, a reference held
// by another thread, and queued deliver_sm (failed writes, the window, and
// unanswered deliveries when the session closes). The customers below are
// loaded once for this program (it runs in its own temporary directory);
// ostrel_server_test.cpp uses them too.
#include "downstream/ostrel_session.h"

#include <crypt.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <utility>

#include "admin/metrics.h"
#include "base/wall_clock.h"
#include "config/ostrel_configuration.h"
#include "downstream/deliver_sm_queue.h"
#include "downstream/entity_control_master.h"
#include "tests/support/smpp_test_client.h"
#include "tracking/tracker.h"

using nlohmann::json;
using testing_support::bindBody;

namespace {

// Records which sessions other threads asked the loop to look at. It
// outlives every session: a verifier worker may report after a test ended.
struct RecordingMaster : EntityControlMaster {
  void triggerTimedCheck() override {}
  void notifyEvent_ESMEBindAttemptNotReceived(const std::string&) override {}
  void addWhitelistIP(const std::string&) override {}
  void requestTimedCheck(uint64_t sessionId) override {
    std::lock_guard<std::mutex> lock(mutex);
    requested.push_back(sessionId);
    changed.notify_all();
  }
  bool waitForRequest(uint64_t sessionId) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(20), [&] {
      return std::find(requested.begin(), requested.end(), sessionId) != requested.end();
    });
  }
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<uint64_t> requested;  // guarded by mutex
}& master = *new RecordingMaster;

// A customer session on one end of a socket pair, the test's client on the
// other. The session writes its answers before its call returns.
struct SessionPair {
  SessionPair() {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    session = OstrelSession::create(fds[0], "127.0.0.2", 40000, &master);
    client = std::make_unique<testing_support::SmppTestClient>(
        testing_support::SmppTestClient::Adopt{}, fds[1]);
  }
  ~SessionPair() { session.reset(), client.reset(); }
  // Binds and reads the answer; its status.
  int64_t bind(uint32_t commandId, const std::string& systemId, const std::string& password,
               uint64_t now = wallClockMicros()) {
    client->send(commandId, bindBody(systemId, password, "", 0x34), 7);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(session->processInputAt(now));
    testing::internal::GetCapturedStdout();
    return responseStatus();
  }
  // Status of the response waiting on the client side, or -1.
  int64_t responseStatus() {
    const auto response = client->read(std::chrono::milliseconds(100));
    return response ? static_cast<int64_t>(response->commandStatus) : -1;
  }

  std::shared_ptr<OstrelSession> session;
  std::unique_ptr<testing_support::SmppTestClient> client;
};

class Customers : public ::testing::Environment {
 public:
  void SetUp() override {
    auto area = std::make_unique<crypt_data>();
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    crypt_gensalt_rn("$2b$", 6, nullptr, 0, salt, sizeof salt);
    auto customer = [](const char* id, const char* set, json extra) {
      extra.update({{"systemid", id}, {"sharedtargetsetid", set}});
      return extra;
    };
    std::ofstream("pelliro.conf") << json{
        {"esme", {customer("plain", "ts", {{"password", "pw"}}),
                  customer("two", "INTERNAL_SMSC_SIM", {{"password", "pw"}, {"tpslimit", 2}}),
                  customer("zero", "INTERNAL_SMSC_SIM", {{"password", "pw"}, {"tpslimit", 0}}),
                  customer("hashed", "hs", {{"password_hash", crypt_r("secret", salt, area.get())}})}},
        {"targetsets", json::array()}};
    bool notFound = false;
    testing::internal::CaptureStdout();
    const bool loaded = OstrelConfiguration::instance().performLoad(notFound);
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(loaded);
  }
};
::testing::Environment* const customers = ::testing::AddGlobalTestEnvironment(new Customers);

// Each session is counted and known to the tracker while it lives, and
// leaves nothing behind; an accepted bind lifts the 20-second bind
// deadline, a refused one or none keeps it. (Which binds are accepted is
// the authoriser's; its table is in bind_authoriser_test.cpp.)
TEST(OstrelSessionTest, BindsDecideTheStateTheDeadlineAndWhatTheTrackerKnows) {
  const struct {
    const char* what;
    uint32_t command;  // 0: no bind at all
    const char* password;
    int64_t status;
    uint32_t state;
    bool receives;
  } cases[] = {
      {"transceiver", SMPP::BIND_TRANSCEIVER, "pw", 0, BIND_STATE_TRANSCEIVER, true},
      {"transmitter", SMPP::BIND_TRANSMITTER, "pw", 0, BIND_STATE_TRANSMITTER, false},
      {"receiver", SMPP::BIND_RECEIVER, "pw", 0, BIND_STATE_RECEIVER, true},
      {"wrong password", SMPP::BIND_RECEIVER, "bad", SMPP::ESME_RBINDFAIL, BIND_STATE_OPEN, false},
      {"no bind", 0, "", -1, BIND_STATE_OPEN, false},
  };
  MetricsRegistry& metrics = MetricsRegistry::instance();
  Tracker& tracker = Tracker::instance();
  const int64_t sessionsBefore = metrics.gaugeValue("downstreamSMPPSessions");
  const size_t entriesBefore = tracker.sessionTableSize();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const uint64_t start = wallClockMicros();
    SessionPair pair;
    OstrelSession& session = *pair.session;
    const uint64_t id = session.sessionId();
    EXPECT_EQ(metrics.gaugeValue("downstreamSMPPSessions"), sessionsBefore + 1);
    EXPECT_EQ(tracker.getSession(id).lock().get(), static_cast<SMPPSession*>(&session));
    EXPECT_EQ(c.command != 0 ? pair.bind(c.command, "plain", c.password, start) : -1, c.status);
    EXPECT_EQ(session.bindState(), c.state);
    EXPECT_EQ(session.receivesDeliveries(), c.receives);
    EXPECT_EQ(session.bindRequested(), c.command != 0);
    EXPECT_EQ(session.sharedTargetSet(), c.status == 0 ? "ts" : "");
    EXPECT_FALSE(session.timedCheck(start + 19000000));
    EXPECT_EQ(session.timedCheck(start + OstrelSession::kBindDeadlineMicros + 1000000),
              c.status != 0);
    pair.session.reset();
    EXPECT_EQ(metrics.gaugeValue("downstreamSMPPSessions"), sessionsBefore);
    EXPECT_TRUE(tracker.getSession(id).expired());
    std::string systemId;
    EXPECT_FALSE(tracker.getSessionSystemId(id, systemId));
  }
  EXPECT_EQ(tracker.sessionTableSize(), entriesBefore);
}

TEST(OstrelSessionTest, HashedBindVerdictWakesTheLoopAndIsAnsweredByTheNextCheck) {
  SessionPair pair;
  testing::internal::CaptureStdout();
  pair.client->send(SMPP::BIND_TRANSMITTER, bindBody("hashed", "secret", "", 0x34));
  EXPECT_FALSE(pair.session->processInputAt(wallClockMicros()));
  // Nothing is answered while the worker verifies; its verdict asks the
  // loop for this session's check instead of waiting for a timer.
  EXPECT_TRUE(pair.session->bindPending());
  ASSERT_TRUE(master.waitForRequest(pair.session->sessionId()));
  EXPECT_FALSE(pair.session->timedCheck(wallClockMicros()));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(pair.responseStatus(), 0);
  EXPECT_EQ(pair.session->bindState(), static_cast<uint32_t>(BIND_STATE_TRANSMITTER));
  EXPECT_EQ(pair.session->sharedTargetSet(), "hs");
}

// Another thread (the upstream one, answering a submit) holds a locked
// reference while the loop closes the session and lets it go: the object
// lives until that thread lets go too, its sends fail from the close on,
// and nothing reaches the descriptor number, which the kernel may already
// have given to the next customer.
TEST(OstrelSessionTest, ReferenceHeldOnAnotherThreadOutlivesTheCloseAndSendsNothing) {
  auto pair = std::make_unique<SessionPair>();
  std::weak_ptr<OstrelSession> weak = pair->session->selfReference();
  const uint64_t id = pair->session->sessionId();
  std::atomic<bool> closed{false}, aliveWhileHeld{false};
  std::atomic<int> sentBefore{0}, sentAfterClose{0};
  std::thread sender([&] {
    std::shared_ptr<SMPPSession> held = Tracker::instance().getSession(id).lock();
    if (!held) return;
    // Sends race the close; at most 2,000 small PDUs, well inside the
    // socket's buffer, so none fails for lack of room.
    for (uint32_t seq = 1; !closed.load() && seq < 2000; ++seq)
      if (held->sendPDU(seq, SMPP::ENQUIRE_LINK_RESP, 0, nullptr, 0)) ++sentBefore;
    while (!closed.load()) std::this_thread::yield();
    for (uint32_t seq = 1; seq <= 1000; ++seq)
      if (held->sendPDU(seq, SMPP::ENQUIRE_LINK_RESP, 0, nullptr, 0)) ++sentAfterClose;
    aliveWhileHeld = !weak.expired();
  });
  while (sentBefore.load() < 50) std::this_thread::yield();
  pair->session->closeConnection();
  closed.store(true);
  pair->session.reset();  // the loop's ownership ends here
  // A fresh descriptor probably takes the number the session had.
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  sender.join();
  EXPECT_EQ(sentAfterClose.load(), 0);
  EXPECT_TRUE(aliveWhileHeld.load());
  EXPECT_TRUE(weak.expired());
  EXPECT_TRUE(Tracker::instance().getSession(id).expired());
  char byte;
  EXPECT_EQ(recv(fds[1], &byte, 1, MSG_DONTWAIT), -1);  // nothing landed in the new socket
  EXPECT_EQ(recv(fds[0], &byte, 1, MSG_DONTWAIT), -1);
  close(fds[0]);
  close(fds[1]);
}

// The one-second window on the loop's clock: submits past the limit are
// throttled, counted in the window, and a submit more than a second after
// the window opened starts a new one.
TEST(OstrelSessionTest, SubmitsPastTheLimitOfTheWindowAreThrottledUntilTheNextWindow) {
  const struct {
    const char* customer;
    std::vector<std::pair<uint64_t, bool>> submits;  // offset from start, throttled
  } cases[] = {
      {"two", {{0, false}, {1, false}, {2, true}, {1100000, false}, {1100001, false}, {1100002, true}}},
      {"zero", {{0, true}, {500000, true}, {1200000, false}, {1200001, true}}},
  };
  for (const auto& c : cases) {
    const uint64_t start = wallClockMicros();
    SessionPair pair;
    ASSERT_EQ(pair.bind(SMPP::BIND_TRANSMITTER, c.customer, "pw", start), 0) << c.customer;
    SMPP::T_SubmitSM submit;
    submit.destination_addr = "447700900001";
    testing::internal::CaptureStdout();
    for (const auto& [offset, throttled] : c.submits) {
      std::string messageId;
      uint32_t status = SMPP::ESME_RSUBMITFAIL;
      SMPP::T_SubmitSM taken = submit;
      const uint8_t result = pair.session->submitPipeline().onSubmitSM(
          c.customer, taken, SMPP::SUBMIT_SM, 1, messageId, status, start + offset);
      EXPECT_EQ(result == SMPPSessionServer::kRefuse && status == SMPP::ESME_RTHROTTLED, throttled)
          << c.customer << " at +" << offset << "us";
      if (!throttled) {
        EXPECT_EQ(pair.responseStatus(), 0) << c.customer << " at +" << offset;
      }
    }
    testing::internal::GetCapturedStdout();
  }
}

// Queued deliver_sm for "plain", bound on a fresh session with an empty queue.
class DeliverSessionTest : public ::testing::Test {
 protected:
  void SetUp() override { taken(); }
  void TearDown() override { taken(); }
  static DeliverSMQueue& queue() { return DeliverSMQueue::instance(); }
  // The queued texts in order, taken from the queue.
  static std::string taken() {
    std::string order;
    for (DeliverSMQueue::Body body; queue().popDeliverSM("plain", body);)
      order.append(body.begin(), body.end()) += ' ';
    return order;
  }
  void push(const std::string& texts) {
    for (char text : texts) queue().pushDeliverSM("plain", {static_cast<uint8_t>(text)});
  }
  void bind(uint32_t command) { ASSERT_EQ(pair.bind(command, "plain", "pw"), 0); }
  // Offers the session its queue once: whether it delivered, and the
  // sequence number of what it sent (0 for nothing).
  uint32_t offer(bool* closeIt = nullptr) {
    bool again = false, delivered = false;
    const bool close = pair.session->deliverQueued(wallClockMicros(), again, delivered);
    if (closeIt != nullptr) *closeIt = close;
    if (!delivered) return 0;
    const auto sent = pair.client->read(std::chrono::seconds(1));
    EXPECT_TRUE(sent && sent->commandId == SMPP::DELIVER_SM && sent->body.size() == 1u);
    return sent ? sent->sequenceNumber : 0;
  }
  void answer(uint32_t sequence) {
    pair.client->send(SMPP::DELIVER_SM_RESP, std::string(1, '\0'), sequence);
    pair.session->processInputAt(wallClockMicros());
  }

  SessionPair pair;
};

TEST_F(DeliverSessionTest, FailedWriteIsQueuedAgainAtTheFrontAndCounted) {
  bind(SMPP::BIND_RECEIVER);
  push("ab");
  MetricsRegistry& metrics = MetricsRegistry::instance();
  const std::string perCustomer =
      seriesKey("sockets_smpp_DN_DeliverSM_sendFail_ESME", {{"esme", "plain"}});
  const uint64_t failsBefore = metrics.counterValue("smppDeliverSMSendFail");
  const uint64_t customerFailsBefore = metrics.counterValue(perCustomer);
  pair.client.reset();
  bool closeIt = false;
  EXPECT_EQ(offer(&closeIt), 0u);
  EXPECT_TRUE(closeIt) << "a dead connection is handed back to be closed";
  EXPECT_EQ(metrics.counterValue("smppDeliverSMSendFail"), failsBefore + 1);
  EXPECT_EQ(metrics.counterValue(perCustomer), customerFailsBefore + 1);
  EXPECT_EQ(taken(), "a b ");
}

// A full window takes nothing until an answer frees a place; the
// unanswered deliveries return in send order when the session closes (a
// refusal is final as much as an acceptance).
TEST_F(DeliverSessionTest, FullWindowWaitsForAnAnswerAndTheUnansweredReturnInOrder) {
  const size_t window = OstrelSession::kDeliverWindow;
  bind(SMPP::BIND_TRANSCEIVER);
  push("abc" + std::string(window - 2, 'r'));
  offer();
  const uint32_t second = offer();
  for (size_t i = 2; i < window; ++i) ASSERT_NE(offer(), 0u) << i;
  EXPECT_EQ(offer(), 0u);
  EXPECT_EQ(queue().queuedCount("plain"), 1u);
  answer(second);
  EXPECT_NE(offer(), 0u);
  EXPECT_EQ(queue().queuedCount("plain"), 0u);
  pair.session->closeConnection();
  std::string expected = "a c ";
  for (size_t i = 3; i <= window; ++i) expected += "r ";
  EXPECT_EQ(taken(), expected);
}

}  // namespace
