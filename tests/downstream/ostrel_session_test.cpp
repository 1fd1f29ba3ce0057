#include "downstream/ostrel_session.h"

#include <crypt.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "admin/metrics.h"
#include "base/wall_clock.h"
#include "config/ostrel_configuration.h"
#include "downstream/entity_control_master.h"
#include "tests/support/loopback.h"
#include "tests/support/smpp_test_client.h"
#include "tests/support/temp_dir.h"
#include "tracking/tracker.h"

using namespace testing_support;
using nlohmann::json;

namespace {

std::string makeHash(const std::string& password) {
  auto area = std::make_unique<crypt_data>();
  char salt[CRYPT_GENSALT_OUTPUT_SIZE];
  crypt_gensalt_rn("$2b$", 6, nullptr, 0, salt, sizeof salt);
  return crypt_r(password.c_str(), salt, area.get());
}

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

// The process-wide configuration and tracker live in a temporary working
// directory for this test program.
class SessionEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    dir_ = std::make_unique<TempDir>();
    previous_ = getcwd(nullptr, 0);
    ASSERT_EQ(chdir(dir_->path().c_str()), 0);
    json doc = {{"base", json::object()},
                {"esme", json::array({{{"systemid", "plain"}, {"sharedtargetsetid", "ts"}, {"password", "pw"}},
                                      {{"systemid", "two"}, {"sharedtargetsetid", "INTERNAL_SMSC_SIM"},
                                       {"password", "pw"}, {"tpslimit", 2}},
                                      {{"systemid", "zero"}, {"sharedtargetsetid", "INTERNAL_SMSC_SIM"},
                                       {"password", "pw"}, {"tpslimit", 0}},
                                      {{"systemid", "hashed"},
                                       {"sharedtargetsetid", "hs"},
                                       {"password_hash", makeHash("secret")}}})},
                {"targetsets", json::array()},
                {"routes-mo", json::array()},
                {"routes-mt", json::array()}};
    dir_->write("pelliro.conf", doc.dump());
    bool notFound = false;
    testing::internal::CaptureStdout();
    bool loaded = OstrelConfiguration::instance().performLoad(notFound);
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(loaded);
  }
  void TearDown() override {
    if (previous_ != nullptr) {
      EXPECT_EQ(chdir(previous_), 0);
      free(previous_);
    }
  }

 private:
  std::unique_ptr<TempDir> dir_;
  char* previous_ = nullptr;
};
::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new SessionEnvironment);

// A session on one end of a socket pair; the test speaks SMPP on the other.
class SessionPair {
 public:
  SessionPair() {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    serverFd_ = fds[0];
    clientFd_ = fds[1];
    session_ = OstrelSession::create(serverFd_, "127.0.0.2", 40000, &master());
  }
  ~SessionPair() {
    session_.reset();
    close(clientFd_);
  }
  std::shared_ptr<OstrelSession> shared() { return session_; }
  int clientFd() const { return clientFd_; }
  OstrelSession& session() { return *session_; }
  void destroy() { session_.reset(); }

  void sendBind(uint32_t commandId, const std::string& systemId, const std::string& password) {
    std::string body = bindBody(systemId, password, "", 0x34);
    std::string pdu(16, '\0');
    auto put = [&](size_t at, uint32_t v) {
      for (int i = 0; i < 4; ++i) pdu[at + i] = static_cast<char>(v >> (24 - 8 * i));
    };
    put(0, static_cast<uint32_t>(16 + body.size()));
    put(4, commandId);
    put(12, 7);
    ASSERT_TRUE(writeAll(clientFd_, pdu + body));
  }
  // Status of the response waiting on the client side, or -1.
  int64_t responseStatus(std::chrono::milliseconds timeout = std::chrono::milliseconds(100)) {
    std::string header = readExactly(clientFd_, 16, timeout);
    if (header.size() != 16) return -1;
    auto u32 = [&](size_t at) {
      uint32_t v = 0;
      for (int i = 0; i < 4; ++i) v = v << 8 | static_cast<uint8_t>(header[at + i]);
      return v;
    };
    uint32_t length = u32(0);
    if (length > 16) readExactly(clientFd_, length - 16, timeout);
    return u32(8);
  }

 private:
  int serverFd_ = -1;
  int clientFd_ = -1;
  std::shared_ptr<OstrelSession> session_;
};

TEST(OstrelSessionTest, SessionsRegisterWithTheTrackerAndLeaveNoEntryBehind) {
  MetricsRegistry& metrics = MetricsRegistry::instance();
  Tracker& tracker = Tracker::instance();
  int64_t before = metrics.gaugeValue("downstreamSMPPSessions");
  size_t entriesBefore = tracker.sessionTableSize();
  testing::internal::CaptureStdout();
  for (int i = 0; i < 20; ++i) {
    auto pair = std::make_unique<SessionPair>();
    uint64_t id = pair->session().sessionId();
    EXPECT_EQ(metrics.gaugeValue("downstreamSMPPSessions"), before + 1);
    std::shared_ptr<SMPPSession> found = tracker.getSession(id).lock();
    EXPECT_EQ(found.get(), static_cast<SMPPSession*>(&pair->session()));
    found.reset();
    // A bound session also leaves its system id with the tracker.
    pair->sendBind(0x09, "plain", "pw");
    pair->session().processInputAt(wallClockMicros());
    std::string systemId;
    EXPECT_TRUE(tracker.getSessionSystemId(id, systemId));
    pair->destroy();
    EXPECT_EQ(metrics.gaugeValue("downstreamSMPPSessions"), before);
    EXPECT_TRUE(tracker.getSession(id).expired());
    EXPECT_FALSE(tracker.getSessionSystemId(id, systemId));
  }
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(tracker.sessionTableSize(), entriesBefore);
}

TEST(OstrelSessionTest, UnboundSessionIsClosedAtItsTwentySecondDeadline) {
  uint64_t start = wallClockMicros();
  SessionPair pair;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(pair.session().timedCheck(start + 19000000));
  EXPECT_TRUE(pair.session().timedCheck(start + OstrelSession::kBindDeadlineMicros + 1000000));
  testing::internal::GetCapturedStdout();
  EXPECT_FALSE(pair.session().bindRequested());
}

TEST(OstrelSessionTest, AcceptedBindLiftsTheDeadlineAndRecordsTheCustomer) {
  uint64_t start = wallClockMicros();
  SessionPair pair;
  testing::internal::CaptureStdout();
  pair.sendBind(0x09, "plain", "pw");
  EXPECT_FALSE(pair.session().processInputAt(start));
  EXPECT_EQ(pair.responseStatus(), 0);
  EXPECT_EQ(pair.session().bindState(), static_cast<uint32_t>(BIND_STATE_TRANSCEIVER));
  EXPECT_TRUE(pair.session().receivesDeliveries());
  EXPECT_EQ(pair.session().deliveryAccount(), "plain");
  EXPECT_EQ(pair.session().sharedTargetSet(), "ts");
  EXPECT_EQ(pair.session().systemId(), "plain");
  EXPECT_TRUE(pair.session().bindRequested());
  EXPECT_FALSE(pair.session().timedCheck(start + 25000000));
  testing::internal::GetCapturedStdout();
  std::string systemId;
  ASSERT_TRUE(Tracker::instance().getSessionSystemId(pair.session().sessionId(), systemId));
  EXPECT_EQ(systemId, "plain");
}

TEST(OstrelSessionTest, TransmitterIsNotOfferedDeliveries) {
  SessionPair pair;
  testing::internal::CaptureStdout();
  pair.sendBind(0x02, "plain", "pw");
  pair.session().processInputAt(wallClockMicros());
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(pair.responseStatus(), 0);
  EXPECT_FALSE(pair.session().receivesDeliveries());
}

TEST(OstrelSessionTest, RefusedBindKeepsTheSessionOpenAndItsDeadline) {
  uint64_t start = wallClockMicros();
  SessionPair pair;
  testing::internal::CaptureStdout();
  pair.sendBind(0x01, "plain", "bad");
  EXPECT_FALSE(pair.session().processInputAt(start));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(pair.responseStatus(), 0x0D);
  EXPECT_EQ(pair.session().bindState(), static_cast<uint32_t>(BIND_STATE_OPEN));
  EXPECT_FALSE(pair.session().receivesDeliveries());
  EXPECT_TRUE(pair.session().bindRequested());
  EXPECT_TRUE(pair.session().timedCheck(start + OstrelSession::kBindDeadlineMicros + 1000000));
}

TEST(OstrelSessionTest, HashedBindVerdictWakesTheLoopAndIsAnsweredByTheNextCheck) {
  SessionPair pair;
  testing::internal::CaptureStdout();
  pair.sendBind(0x02, "hashed", "secret");
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
  auto pair = std::make_unique<SessionPair>();
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

TEST(OstrelSessionTest, QueryAndCancelAreRefusedAndAnUnboundSubmitGetsInvalidBindState) {
  SessionPair pair;
  std::string finalDate;
  uint8_t state = 0, error = 0;
  EXPECT_FALSE(pair.session().onQuerySM("id", finalDate, state, error));
  EXPECT_FALSE(pair.session().onCancelSM("", "id"));
  SMPP::T_SubmitSM submit;
  std::string messageId;
  uint32_t status = SMPP::ESME_RSUBMITFAIL;
  EXPECT_EQ(pair.session().onSubmitSM("plain", submit, SMPP::SUBMIT_SM, 1, messageId, status, nullptr),
            SMPPSessionServer::kRefuse);
  EXPECT_EQ(status, SMPP::ESME_RINVBNDSTS);
}

// The one-second window on the loop's clock: submits past the limit are
// throttled, counted in the window, and a submit more than a second after
// the window opened starts a new one.
TEST(OstrelSessionTest, SubmitsPastTheLimitOfTheWindowAreThrottledUntilTheNextWindow) {
  struct Case {
    const char* customer;
    std::vector<std::pair<uint64_t, bool>> submits;  // offset from start, throttled
  };
  const Case cases[] = {
      {"two", {{0, false}, {1, false}, {2, true}, {1100000, false}, {1100001, false}, {1100002, true}}},
      {"zero", {{0, true}, {500000, true}, {1200000, false}, {1200001, true}}},
  };
  for (const Case& c : cases) {
    const uint64_t start = wallClockMicros();
    SessionPair pair;
    testing::internal::CaptureStdout();
    pair.sendBind(0x02, c.customer, "pw");
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
