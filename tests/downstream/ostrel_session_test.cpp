// A customer session on one end of a socket pair, the test speaking SMPP on
// the other: binds, the bind deadline, the throttle window, a reference held
// by another thread, and queued deliver_sm (failed writes, the window, and
// unanswered deliveries when the session closes). Then the listener loop
// with real customer sessions over loopback: the admission rules applied to
// real connections (the rules themselves are decided in
// connection_admission_test.cpp), the session table's bound, the stop, and
// what a flooding peer may and may not do to the others (a peer that stops
// reading is failed by its socket holder's bounded backlog). The customers
// below are loaded once for this program (it runs in its own temporary
// directory).
#include "downstream/ostrel_session.h"

#include <crypt.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "admin/metrics.h"
#include "base/wall_clock.h"
#include "config/ostrel_configuration.h"
#include "downstream/deliver_sm_queue.h"
#include "downstream/entity_control_master.h"
#include "downstream/ostrel_server.h"
#include "smpp/pdu.h"
#include "tests/support/loopback.h"
#include "tests/support/smpp_test_client.h"
#include "tests/support/temp_dir.h"
#include "tracking/tracker.h"

using nlohmann::json;
using namespace testing_support;
using namespace std::chrono_literals;

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
    client = std::make_unique<SmppTestClient>(
        SmppTestClient::Adopt{}, fds[1]);
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
  std::unique_ptr<SmppTestClient> client;
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

// A session that unbound but keeps its connection is offered nothing: the
// customer's other receivers get it instead of after a response timeout.
TEST_F(DeliverSessionTest, UnboundSessionIsOfferedNothing) {
  bind(SMPP::BIND_TRANSCEIVER);
  pair.client->send(SMPP::UNBIND, "", 7);
  pair.session->processInputAt(wallClockMicros());
  push("a");
  EXPECT_EQ(offer(), 0u);
  EXPECT_EQ(taken(), "a ");
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

// ---- the listener loop ----

using Listener = SMPPServer<OstrelSession, SMPPSessionNull>;

// The loop's clock runs ahead of the wall clock by what the test adds.
std::atomic<uint64_t> clockOffset{0};
uint64_t testClock() { return wallClockMicros() + clockOffset.load(); }

// The loop on its own thread, stopped and joined at the end.
class RunningListener {
 public:
  explicit RunningListener(const std::function<void(Listener&)>& configure = {},
                           size_t slots = Listener::kSessionSlots, bool startLoop = true)
      : listener_(slots) {
    clockOffset = 0;
    listener_.setInstallSignalHandlers(false);
    listener_.setClock(testClock);
    if (configure) configure(listener_);
    EXPECT_TRUE(listener_.listenEarly(0));
    if (startLoop) start();
  }
  ~RunningListener() { stop(); }
  void start() { thread_ = std::thread([this] { result_ = listener_.run(port(), 0, true); }); }
  void stop() {
    listener_.requestStop();
    if (thread_.joinable()) thread_.join();
  }
  int port() const { return listener_.boundPort(); }
  size_t connections() { return listener_.connectionCount(); }

  Listener listener_;
  std::thread thread_;
  int result_ = -2;
};

// Polls another thread's state in short steps, 5 s at most.
bool waitFor(const std::function<bool()>& condition) {
  for (int i = 0; i < 2500 && !condition(); ++i) std::this_thread::sleep_for(2ms);
  return condition();
}

// True when the server closed the connection of a client that sends nothing.
bool refused(int port, const std::string& from) {
  SmppTestClient client(port, from);
  return client.connected() && client.waitClosed();
}

bool bound(SmppTestClient& client) {
  std::optional<WirePDU> answer = client.bind(SMPP::BIND_TRANSCEIVER, "plain", "pw");
  return answer && answer->commandStatus == 0;
}

// The limits count the connections open now; both penalties are measured
// by the listener: the bytes waiting on a new connection, and connections
// that end without a bind. A stop ends every session and the listener; a
// second listener on the same port fails.
TEST(OstrelServerTest, AdmissionRulesApplyToRealConnectionsUntilTheStop) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  auto limits = [](Listener& l) { l.setMaxConnectionsPerIp(2), l.setMaxConnections(4); };
  RunningListener running(limits, Listener::kSessionSlots, false);
  const int port = running.port();
  SmppTestClient eager(port, "127.0.0.10");
  ASSERT_TRUE(eager.sendRaw(std::string(400, 'x')));
  // The connection and its bytes wait in the kernel until the loop starts.
  std::this_thread::sleep_for(20ms);
  running.start();
  EXPECT_TRUE(eager.waitClosed());
  EXPECT_TRUE(refused(port, "127.0.0.10")) << "blocked for its bytes";

  for (int i = 0; i < 3; ++i) {
    {
      SmppTestClient unbound(port, "127.0.0.11");
      unbound.send(SMPP::ENQUIRE_LINK);
      ASSERT_TRUE(unbound.readUntil(SMPP::ENQUIRE_LINK_RESP)) << "not served, " << i;
    }
    ASSERT_TRUE(waitFor([&] { return running.connections() == 0; }));
  }
  EXPECT_TRUE(refused(port, "127.0.0.11")) << "blocked for connections without a bind";
  for (int i = 0; i < 4; ++i) {
    {
      SmppTestClient client(port, "127.0.0.12");
      ASSERT_TRUE(bound(client)) << "a bound connection counted as unbound, " << i;
    }
    ASSERT_TRUE(waitFor([&] { return running.connections() == 0; }));
  }

  auto first = std::make_unique<SmppTestClient>(port, "127.0.0.4");
  SmppTestClient second(port, "127.0.0.4");
  ASSERT_TRUE(waitFor([&] { return running.connections() == 2; }));
  EXPECT_TRUE(refused(port, "127.0.0.4")) << "per-address limit";
  first.reset();
  ASSERT_TRUE(waitFor([&] { return running.connections() == 1; }));
  SmppTestClient again(port, "127.0.0.4");
  EXPECT_TRUE(bound(again)) << "a freed place admits the next";
  SmppTestClient other(port, "127.0.0.5");
  SmppTestClient third(port, "127.0.0.6");
  ASSERT_TRUE(waitFor([&] { return running.connections() == 4; }));
  EXPECT_TRUE(refused(port, "127.0.0.7")) << "total limit";

  Listener rival;
  rival.setInstallSignalHandlers(false);
  EXPECT_EQ(rival.run(port, 0, true), -1);
  running.stop();
  for (SmppTestClient* client : {&second, &again, &other, &third}) EXPECT_TRUE(client->waitClosed());
  EXPECT_LT(connectTcp("127.0.0.1", port), 0);
  EXPECT_EQ(running.result_, 0);
  testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
}

// Whitelist-only: an address in the file binds, one outside is refused; a
// descriptor past a small session table is refused and never registered.
TEST(OstrelServerTest, WhitelistAndTheSessionTableBoundRefuseConnections) {
  TempDir dir;
  dir.write("ipwhitelist.conf", "127.0.0.13\n");
  const int64_t sessions = MetricsRegistry::instance().gaugeValue("downstreamSMPPSessions");
  testing::internal::CaptureStdout();
  std::vector<int> filler;
  {
    RunningListener running([&](Listener& l) {
      l.setWhitelistOnly(true);
      l.setWhitelistFileName(dir.file("ipwhitelist.conf"));
    }, 16);
    {
      SmppTestClient listed(running.port(), "127.0.0.13");
      EXPECT_TRUE(bound(listed));
    }
    EXPECT_TRUE(refused(running.port(), "127.0.0.14"));
    ASSERT_TRUE(waitFor([&] { return running.connections() == 0; }));
    // Occupy the low descriptors so that the accepted one lands past the table.
    for (int i = 0; i < 40; ++i) filler.push_back(open("/dev/null", O_RDONLY));
    EXPECT_TRUE(refused(running.port(), "127.0.0.13"));
    EXPECT_EQ(running.connections(), 0u);
    EXPECT_EQ(MetricsRegistry::instance().gaugeValue("downstreamSMPPSessions"), sessions);
  }
  testing::internal::GetCapturedStdout();
  for (int fd : filler) close(fd);
}

std::string enquireLinks(int count) {
  std::string pdus;
  for (int i = 0; i < count; ++i)
    pdus += std::string("\x00\x00\x00\x10\x00\x00\x00\x15\x00\x00\x00\x00\x00\x00\x00", 15) +
            std::string(1, static_cast<char>(i % 100 + 1));
  return pdus;
}

// Whether `client` has `trips` enquire_link round trips, each within `limit`
// (generous for sanitizer builds; an unfair loop answers after seconds).
bool answeredPromptly(SmppTestClient& client, int trips, std::chrono::milliseconds limit = 500ms) {
  for (int i = 0; i < trips; ++i) {
    const uint32_t seq = client.send(SMPP::ENQUIRE_LINK);
    std::optional<WirePDU> answer = client.readUntil(SMPP::ENQUIRE_LINK_RESP, limit);
    if (!answer || answer->sequenceNumber != seq) return false;
  }
  return true;
}

// PDUs that arrive in the same read as a data_sm refused on a version 3.3
// session are served without the peer sending anything more.
void servesThePdusBehindARefusedDataSm(int port) {
  SmppTestClient client(port, "127.0.0.34");
  std::optional<WirePDU> bound = client.bind(SMPP::BIND_TRANSMITTER, "plain", "pw", 0x33);
  ASSERT_TRUE(bound && bound->commandStatus == 0);
  // data_sm (28 bytes: an empty service type and minimal addresses), then
  // two enquire_links, all in one write.
  const std::string dataSm("\0\0\0\x1c\0\0\x01\x03\0\0\0\0\0\0\0\x09"
                           "\0\0\0" "1\0" "\0\0" "2\0" "\0\0\0", 28);
  ASSERT_TRUE(client.sendRaw(dataSm + enquireLinks(2)));
  for (uint32_t command : {SMPP::GENERIC_NACK, SMPP::ENQUIRE_LINK_RESP, SMPP::ENQUIRE_LINK_RESP}) {
    std::optional<WirePDU> answer = client.read(2s);
    ASSERT_TRUE(answer) << "a PDU left unanswered in the buffer";
    EXPECT_EQ(answer->commandId, command);
  }
}

// A client that never binds pipelines enquire_link in 64 KiB writes (and
// drains the answers so its own socket never fills): a bound customer
// beside it is still answered promptly, and the flooder is closed at its
// bind deadline although it never pauses, like a silent unbound client.
TEST(OstrelServerTest, FloodingUnboundClientStarvesNobodyAndIsClosedAtItsBindDeadline) {
  testing::internal::CaptureStdout();
  RunningListener running;
  SmppTestClient quiet(running.port(), "127.0.0.30");
  ASSERT_TRUE(bound(quiet));
  servesThePdusBehindARefusedDataSm(running.port());

  // A silent unbound client is closed by its timed check, the flooder
  // while it is served.
  SmppTestClient silent(running.port(), "127.0.0.35");
  const int flooder = connectTcp("127.0.0.1", running.port(), "127.0.0.31");
  ASSERT_GE(flooder, 0);
  // One answered request first: the connection is admitted before the
  // flood, which would otherwise trip the bytes-before-greeting rule.
  ASSERT_TRUE(writeAll(flooder, enquireLinks(1)));
  ASSERT_EQ(readExactly(flooder, 16, 2s).size(), 16u);
  std::atomic<bool> stop{false}, flooderClosed{false};
  std::thread drain([&] {
    char buf[65536];
    while (!stop.load()) {
      const ssize_t n = recv(flooder, buf, sizeof buf, 0);
      if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
        flooderClosed = true;
        return;
      }
    }
  });
  timeval brief{0, 100000};
  setsockopt(flooder, SOL_SOCKET, SO_SNDTIMEO, &brief, sizeof brief);
  setsockopt(flooder, SOL_SOCKET, SO_RCVTIMEO, &brief, sizeof brief);
  std::thread flood([&, burst = enquireLinks(4096)] {
    while (!stop.load() && !flooderClosed.load())
      send(flooder, burst.data(), burst.size(), MSG_NOSIGNAL);
  });

  std::this_thread::sleep_for(100ms);  // let the flood reach full speed
  EXPECT_TRUE(answeredPromptly(quiet, 20));
  EXPECT_FALSE(flooderClosed.load());
  // The flooder's 20-second bind deadline passes on the loop's clock.
  clockOffset = OstrelSession::kBindDeadlineMicros + 1000000;
  running.listener_.wake();
  for (int i = 0; i < 300 && !flooderClosed.load(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(flooderClosed.load());
  EXPECT_TRUE(silent.waitClosed());
  stop = true;
  flood.join();
  drain.join();
  close(flooder);
  // The bound customer's deadline was lifted by its bind.
  EXPECT_TRUE(answeredPromptly(quiet, 1));
  testing::internal::GetCapturedStdout();
}

}  // namespace
