#include "downstream/ostrel_session.h"

#include <crypt.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
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

struct NullMaster : EntityControlMaster {
  void triggerTimedCheck() override {}
  void notifyEvent_ESMEBindAttemptNotReceived(const std::string&) override {}
  void addWhitelistIP(const std::string&) override {}
};

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
    session_ = std::make_unique<OstrelSession>(serverFd_, "127.0.0.2", 40000, &master_);
  }
  ~SessionPair() {
    session_.reset();
    close(serverFd_);
    close(clientFd_);
  }
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
  NullMaster master_;
  int serverFd_ = -1;
  int clientFd_ = -1;
  std::unique_ptr<OstrelSession> session_;
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

TEST(OstrelSessionTest, HashedBindIsAnsweredFromTheTimedCheckOnceVerified) {
  SessionPair pair;
  testing::internal::CaptureStdout();
  pair.sendBind(0x02, "hashed", "secret");
  uint64_t now = wallClockMicros();
  EXPECT_FALSE(pair.session().processInputAt(now));
  // Nothing is answered while the worker verifies.
  EXPECT_TRUE(pair.session().bindPending());
  int64_t status = -1;
  for (int i = 0; i < 5000 && status < 0; ++i) {
    EXPECT_FALSE(pair.session().timedCheck(wallClockMicros()));
    status = pair.responseStatus(std::chrono::milliseconds(2));
  }
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(status, 0);
  EXPECT_EQ(pair.session().bindState(), static_cast<uint32_t>(BIND_STATE_TRANSMITTER));
  EXPECT_EQ(pair.session().sharedTargetSet(), "hs");
}

TEST(OstrelSessionTest, QueryAndCancelAreRefusedAndSubmitGetsThePresetStatus) {
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
  EXPECT_EQ(status, SMPP::ESME_RSUBMITFAIL);
}

}  // namespace
