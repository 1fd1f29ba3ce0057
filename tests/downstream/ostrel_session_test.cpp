// A customer session on one end of a socket pair, the test speaking SMPP on
// the other. The customers below are loaded once for this program (it runs
// in its own temporary directory); ostrel_server_test.cpp and
// deliver_session_test.cpp use them too.
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

#include "admin/metrics.h"
#include "base/wall_clock.h"
#include "config/ostrel_configuration.h"
#include "downstream/entity_control_master.h"
#include "tests/downstream/session_pair.h"
#include "tracking/tracker.h"

using namespace downstream_test;
using nlohmann::json;

namespace {

// Records which sessions other threads asked the loop to look at.
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
};
// Outlives every session: a verifier worker may report after a test ended.
RecordingMaster& master() {
  static RecordingMaster* m = new RecordingMaster;
  return *m;
}

class Customers : public ::testing::Environment {
 public:
  void SetUp() override {
    auto area = std::make_unique<crypt_data>();
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    crypt_gensalt_rn("$2b$", 6, nullptr, 0, salt, sizeof salt);
    auto customer = [](const char* id, const char* set, json extra = json::object()) {
      extra.update({{"systemid", id}, {"sharedtargetsetid", set}});
      return extra;
    };
    const json doc = {
        {"base", json::object()},
        {"esme", {customer("plain", "ts", {{"password", "pw"}}),
                  customer("two", "INTERNAL_SMSC_SIM", {{"password", "pw"}, {"tpslimit", 2}}),
                  customer("zero", "INTERNAL_SMSC_SIM", {{"password", "pw"}, {"tpslimit", 0}}),
                  customer("hashed", "hs", {{"password_hash", crypt_r("secret", salt, area.get())}})}},
        {"targetsets", json::array()},
        {"routes-mo", json::array()},
        {"routes-mt", json::array()}};
    std::ofstream("pelliro.conf") << doc.dump();
    bool notFound = false;
    testing::internal::CaptureStdout();
    const bool loaded = OstrelConfiguration::instance().performLoad(notFound);
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(loaded);
  }
};
::testing::Environment* const customers = ::testing::AddGlobalTestEnvironment(new Customers);

// Each session is counted and known to the tracker while it lives, with its
// system id once bound, and leaves nothing behind; an accepted bind lifts the
// 20-second bind deadline, a refused one or none keeps it.
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
    auto pair = std::make_unique<SessionPair>(&master());
    OstrelSession& session = pair->session();
    const uint64_t id = session.sessionId();
    EXPECT_EQ(metrics.gaugeValue("downstreamSMPPSessions"), sessionsBefore + 1);
    EXPECT_EQ(tracker.getSession(id).lock().get(), static_cast<SMPPSession*>(&session));
    if (c.command != 0) {
      pair->sendBind(c.command, "plain", c.password);
      EXPECT_FALSE(session.processInputAt(start));
    }
    EXPECT_EQ(pair->responseStatus(), c.status);
    EXPECT_EQ(session.bindState(), c.state);
    EXPECT_EQ(session.receivesDeliveries(), c.receives);
    EXPECT_EQ(session.bindRequested(), c.command != 0);
    std::string systemId;
    EXPECT_EQ(tracker.getSessionSystemId(id, systemId), c.status == 0);
    if (c.status == 0) {
      EXPECT_EQ(systemId, "plain");
      EXPECT_EQ(session.sharedTargetSet(), "ts");
    }
    EXPECT_FALSE(session.timedCheck(start + 19000000));
    EXPECT_EQ(session.timedCheck(start + OstrelSession::kBindDeadlineMicros + 1000000), c.status != 0);
    pair->destroy();
    EXPECT_EQ(metrics.gaugeValue("downstreamSMPPSessions"), sessionsBefore);
    EXPECT_TRUE(tracker.getSession(id).expired());
    EXPECT_FALSE(tracker.getSessionSystemId(id, systemId));
  }
  EXPECT_EQ(tracker.sessionTableSize(), entriesBefore);
}

TEST(OstrelSessionTest, HashedBindVerdictWakesTheLoopAndIsAnsweredByTheNextCheck) {
  SessionPair pair(&master());
  testing::internal::CaptureStdout();
  pair.sendBind(SMPP::BIND_TRANSMITTER, "hashed", "secret");
  EXPECT_FALSE(pair.session().processInputAt(wallClockMicros()));
  // Nothing is answered while the worker verifies; its verdict asks the
  // loop for this session's check instead of waiting for a timer.
  EXPECT_TRUE(pair.session().bindPending());
  ASSERT_TRUE(master().waitForRequest(pair.session().sessionId()));
  EXPECT_FALSE(pair.session().timedCheck(wallClockMicros()));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(pair.responseStatus(), 0);
  EXPECT_EQ(pair.session().bindState(), static_cast<uint32_t>(BIND_STATE_TRANSMITTER));
  EXPECT_EQ(pair.session().sharedTargetSet(), "hs");
}

// Another thread (the upstream one, answering a submit) holds a locked
// reference while the loop closes the session and lets it go: the object
// lives until that thread lets go too, its sends fail from the close on,
// and nothing reaches the descriptor number, which the kernel may already
// have given to the next customer.
TEST(OstrelSessionTest, ReferenceHeldOnAnotherThreadOutlivesTheCloseAndSendsNothing) {
  auto pair = std::make_unique<SessionPair>(&master());
  std::weak_ptr<OstrelSession> weak = pair->session().selfReference();
  const uint64_t id = pair->session().sessionId();
  std::atomic<bool> closed{false};
  std::atomic<int> sentBefore{0};
  std::atomic<int> sentAfterClose{0};
  std::atomic<bool> aliveWhileHeld{false};
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
  pair->session().closeConnection();
  closed.store(true);
  pair->destroy();  // the loop's ownership ends here
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
    SessionPair pair(&master());
    testing::internal::CaptureStdout();
    pair.sendBind(SMPP::BIND_TRANSMITTER, c.customer, "pw");
    pair.session().processInputAt(start);
    ASSERT_EQ(pair.responseStatus(), 0) << c.customer;
    SMPP::T_SubmitSM submit;
    submit.destination_addr = "447700900001";
    for (const auto& [offset, throttled] : c.submits) {
      std::string messageId;
      uint32_t status = SMPP::ESME_RSUBMITFAIL;
      const uint8_t result = pair.session().submitPipeline().onSubmitSM(
          c.customer, submit, SMPP::SUBMIT_SM, 1, messageId, status, start + offset);
      EXPECT_EQ(result == SMPPSessionServer::kRefuse && status == SMPP::ESME_RTHROTTLED, throttled)
          << c.customer << " at +" << offset << "us";
      if (!throttled) {
        EXPECT_EQ(pair.responseStatus(), 0) << c.customer << " at +" << offset;
      }
    }
    testing::internal::GetCapturedStdout();
  }
}

}  // namespace
