#include "downstream/bind_authoriser.h"

#include <crypt.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "admin/metrics.h"
#include "config/ostrel_configuration.h"
#include "downstream/bcrypt_verifier.h"
#include "tests/support/temp_dir.h"
#include "tracking/tracker.h"

using testing_support::TempDir;
using nlohmann::json;

namespace {

std::string makeHash(const std::string& password, unsigned long cost = 4) {
  auto area = std::make_unique<crypt_data>();
  char salt[CRYPT_GENSALT_OUTPUT_SIZE];
  if (crypt_gensalt_rn("$2b$", cost, nullptr, 0, salt, sizeof salt) == nullptr) return {};
  const char* hash = crypt_r(password.c_str(), salt, area.get());
  return hash != nullptr ? std::string(hash) : std::string();
}

const std::string kAcmeHash = makeHash("hashed-pw");

class BindAuthoriserTest : public ::testing::Test {
 protected:
  void SetUp() override { MetricsRegistry::instance().clearForTesting(); }

  // A configuration file with these customers and base settings.
  std::unique_ptr<OstrelConfiguration> configure(const json& esmes, const json& base = json::object()) {
    json doc = {{"base", base},        {"esme", esmes},     {"targetsets", json::array()},
                {"routes-mo", json::array()}, {"routes-mt", json::array()}};
    dir_.write("pelliro.conf", doc.dump(2));
    auto config = std::make_unique<OstrelConfiguration>(dir_.file("pelliro.conf"));
    bool notFound = false;
    testing::internal::CaptureStdout();
    bool loaded = config->performLoad(notFound);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(loaded);
    return config;
  }

  // Runs one bind through a fresh authoriser, waiting for a worker verdict.
  BindAuthoriser::Result bind(OstrelConfiguration& config, const std::string& systemId,
                              const std::string& password, const std::string& peer,
                              BindAuthoriser::Grant* grantOut = nullptr, bool* wasLater = nullptr) {
    BindAuthoriser authoriser(this, 77, config, verifier_, tracker_);
    BindAuthoriser::Grant grant;
    BindAuthoriser::Result result = authoriser.authorise({peer, systemId, password}, grant);
    if (wasLater != nullptr) *wasLater = result == BindAuthoriser::Later;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (result == BindAuthoriser::Later && std::chrono::steady_clock::now() < deadline) {
      std::optional<BindAuthoriser::Result> done = authoriser.takeCompleted(grant);
      if (done.has_value()) {
        result = *done;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (grantOut != nullptr) *grantOut = grant;
    return result;
  }

  uint64_t successes() {
    return MetricsRegistry::instance().counterValue("smppDownstreamBindAttempt{result=\"success\"}");
  }
  uint64_t failures() {
    return MetricsRegistry::instance().counterValue("smppDownstreamBindAttempt{result=\"fail\"}");
  }
  uint64_t total() { return MetricsRegistry::instance().counterValue("smppDownstreamBindAttemptTotal"); }

  TempDir dir_;
  BcryptVerifier verifier_{1, 16};
  Tracker tracker_{""};
};

TEST_F(BindAuthoriserTest, UnconfiguredCustomerBindsWithAnyPasswordOntoTheDefaultSet) {
  auto config = configure(json::array());
  BindAuthoriser::Grant grant;
  testing::internal::CaptureStdout();
  EXPECT_EQ(bind(*config, "stranger", "whatever", "127.0.0.2", &grant), BindAuthoriser::Accept);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("OstrelSession::onBindAuthorisation Bind request from ESME stranger IP 127.0.0.2"),
            std::string::npos);
  EXPECT_NE(out.find("Using shared target set \"default\" for ESME stranger"), std::string::npos);
  EXPECT_EQ(grant.sharedTargetSet, "default");
  EXPECT_EQ(grant.tpsLimit, 65535);
  EXPECT_EQ(successes(), 1u);
  EXPECT_EQ(total(), 1u);
  std::string systemId;
  ASSERT_TRUE(tracker_.getSessionSystemId(77, systemId));
  EXPECT_EQ(systemId, "stranger");
}

TEST_F(BindAuthoriserTest, UnconfiguredCustomerIsRefusedWhenDefaultBindingIsOff) {
  auto config = configure(json::array(), {{"default_binding_enabled", false}});
  testing::internal::CaptureStdout();
  EXPECT_EQ(bind(*config, "stranger", "x", "127.0.0.2"), BindAuthoriser::Refuse);
  EXPECT_NE(testing::internal::GetCapturedStdout().find(
                "Binding attempt rejected. Binding disabled for ESME stranger IP 127.0.0.2"),
            std::string::npos);
  EXPECT_EQ(failures(), 1u);
  EXPECT_EQ(total(), 1u);
  std::string systemId;
  EXPECT_FALSE(tracker_.getSessionSystemId(77, systemId));
}

TEST_F(BindAuthoriserTest, DisabledCustomerIsRefused) {
  auto config = configure(json::array({{{"systemid", "acme"},
                                        {"sharedtargetsetid", "ts"},
                                        {"password", "pw"},
                                        {"binding_enabled", false}}}));
  testing::internal::CaptureStdout();
  EXPECT_EQ(bind(*config, "acme", "pw", "127.0.0.2"), BindAuthoriser::Refuse);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Binding disabled for ESME acme IP 127.0.0.2"),
            std::string::npos);
}

TEST_F(BindAuthoriserTest, PlainPasswordMustMatchByteForByte) {
  auto config = configure(
      json::array({{{"systemid", "acme"}, {"sharedtargetsetid", "ts"}, {"password", "secret"}}}));
  testing::internal::CaptureStdout();
  EXPECT_EQ(bind(*config, "acme", "Secret", "127.0.0.2"), BindAuthoriser::Refuse);
  EXPECT_EQ(bind(*config, "acme", "secre", "127.0.0.2"), BindAuthoriser::Refuse);
  EXPECT_EQ(bind(*config, "acme", "secret!", "127.0.0.2"), BindAuthoriser::Refuse);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Binding attempt rejected. Password incorrect for ESME acme IP 127.0.0.2"),
            std::string::npos);
  EXPECT_EQ(bind(*config, "acme", "secret", "127.0.0.2"), BindAuthoriser::Accept);
  EXPECT_EQ(failures(), 3u);
  EXPECT_EQ(successes(), 1u);
  EXPECT_EQ(total(), 4u);
}

TEST_F(BindAuthoriserTest, EmptyConfiguredPasswordAcceptsAnyPassword) {
  auto config = configure(json::array({{{"systemid", "open"}, {"sharedtargetsetid", "ts"}}}));
  EXPECT_EQ(bind(*config, "open", "anything", "127.0.0.2"), BindAuthoriser::Accept);
  EXPECT_EQ(bind(*config, "open", "", "127.0.0.2"), BindAuthoriser::Accept);
}

TEST_F(BindAuthoriserTest, AddressBoundRecordAppliesOnlyFromItsAddress) {
  auto config = configure(json::array({{{"systemid", "[127.0.0.2]acme"},
                                        {"sharedtargetsetid", "bound-set"},
                                        {"password", "p2"},
                                        {"tpslimit", 7}}}),
                          {{"default_binding_enabled", false}});
  BindAuthoriser::Grant grant;
  EXPECT_EQ(bind(*config, "acme", "p2", "127.0.0.2", &grant), BindAuthoriser::Accept);
  EXPECT_EQ(grant.sharedTargetSet, "bound-set");
  EXPECT_EQ(grant.tpsLimit, 7);
  EXPECT_EQ(bind(*config, "acme", "p3", "127.0.0.2"), BindAuthoriser::Refuse);
  testing::internal::CaptureStdout();
  EXPECT_EQ(bind(*config, "acme", "p2", "127.0.0.3"), BindAuthoriser::Refuse);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Binding disabled for ESME acme IP 127.0.0.3"),
            std::string::npos);
}

TEST_F(BindAuthoriserTest, RecordKeyedBySystemIdWinsOverTheAddressBoundOne) {
  auto config = configure(json::array(
      {{{"systemid", "[127.0.0.2]acme"}, {"sharedtargetsetid", "bound"}, {"password", "p2"}},
       {{"systemid", "acme"}, {"sharedtargetsetid", "plain"}, {"password", "p1"}}}));
  BindAuthoriser::Grant grant;
  EXPECT_EQ(bind(*config, "acme", "p2", "127.0.0.2"), BindAuthoriser::Refuse);
  EXPECT_EQ(bind(*config, "acme", "p1", "127.0.0.2", &grant), BindAuthoriser::Accept);
  EXPECT_EQ(grant.sharedTargetSet, "plain");
}

TEST_F(BindAuthoriserTest, HashedPasswordIsCheckedOnAWorkerAndRememberedForTheNextBind) {
  ASSERT_FALSE(kAcmeHash.empty());
  auto config = configure(json::array(
      {{{"systemid", "acme"}, {"sharedtargetsetid", "ts"}, {"password_hash", kAcmeHash}}}));
  bool later = false;
  EXPECT_EQ(bind(*config, "acme", "hashed-pw", "127.0.0.2", nullptr, &later), BindAuthoriser::Accept);
  EXPECT_TRUE(later);
  EXPECT_EQ(bind(*config, "acme", "hashed-pw", "127.0.0.2", nullptr, &later), BindAuthoriser::Accept);
  EXPECT_FALSE(later);
  EXPECT_EQ(successes(), 2u);
}

TEST_F(BindAuthoriserTest, WrongPasswordForAHashIsRefusedWithTheMismatchText) {
  auto config = configure(json::array(
      {{{"systemid", "acme"}, {"sharedtargetsetid", "ts"}, {"password_hash", kAcmeHash}}}));
  testing::internal::CaptureStdout();
  bool later = false;
  EXPECT_EQ(bind(*config, "acme", "wrong", "127.0.0.2", nullptr, &later), BindAuthoriser::Refuse);
  EXPECT_TRUE(later);
  EXPECT_NE(testing::internal::GetCapturedStdout().find(
                "Binding attempt rejected. Password hash mismatch for ESME acme IP 127.0.0.2"),
            std::string::npos);
  EXPECT_EQ(failures(), 1u);
  EXPECT_EQ(total(), 1u);
}

TEST_F(BindAuthoriserTest, HashWithoutBcryptPrefixRefusesEvenTheMatchingPlainPassword) {
  auto config = configure(json::array({{{"systemid", "acme"},
                                        {"sharedtargetsetid", "ts"},
                                        {"password", "pw"},
                                        {"password_hash", "pw"}}}));
  testing::internal::CaptureStdout();
  bool later = true;
  EXPECT_EQ(bind(*config, "acme", "pw", "127.0.0.2", nullptr, &later), BindAuthoriser::Refuse);
  EXPECT_FALSE(later);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Password hash mismatch for ESME acme"),
            std::string::npos);
}

TEST_F(BindAuthoriserTest, AllowedNetworkAdmitsItsAddressesAndRefusesOthers) {
  auto config = configure(json::array({{{"systemid", "acme"},
                                        {"sharedtargetsetid", "ts"},
                                        {"allowedips", json::array({"10.9.9.9", "192.168.1.0/24"})}}}));
  EXPECT_EQ(bind(*config, "acme", "", "192.168.1.77"), BindAuthoriser::Accept);
  EXPECT_EQ(bind(*config, "acme", "", "10.9.9.9"), BindAuthoriser::Accept);
  testing::internal::CaptureStdout();
  EXPECT_EQ(bind(*config, "acme", "", "192.168.2.1"), BindAuthoriser::Refuse);
  EXPECT_NE(testing::internal::GetCapturedStdout().find(
                "Binding attempt rejected. IP address 192.168.2.1 not in allowed IPs for ESME acme"),
            std::string::npos);
}

TEST_F(BindAuthoriserTest, AllowedListOfPrefixZeroAdmitsNobody) {
  auto config = configure(json::array(
      {{{"systemid", "acme"}, {"sharedtargetsetid", "ts"}, {"allowedips", json::array({"0.0.0.0/0"})}}}));
  EXPECT_EQ(bind(*config, "acme", "", "127.0.0.2"), BindAuthoriser::Refuse);
}

TEST_F(BindAuthoriserTest, AddressCheckFollowsAHashCheckDoneLater) {
  auto config = configure(json::array({{{"systemid", "acme"},
                                        {"sharedtargetsetid", "ts"},
                                        {"password_hash", kAcmeHash},
                                        {"allowedips", json::array({"127.0.0.2"})}}}));
  EXPECT_EQ(bind(*config, "acme", "hashed-pw", "127.0.0.3"), BindAuthoriser::Refuse);
  EXPECT_EQ(bind(*config, "acme", "hashed-pw", "127.0.0.2"), BindAuthoriser::Accept);
}

TEST_F(BindAuthoriserTest, GrantCarriesTheCustomersRulesAndLimit) {
  json rule = {{"criteria", {{"match", "destination"}, {"type", "country"}, {"value", "44"}}},
               {"targetset", "uk"}};
  auto config = configure(json::array({{{"systemid", "acme"},
                                        {"sharedtargetsetid", "ts"},
                                        {"tpslimit", 50},
                                        {"routes-mt", json::array({rule})}}}));
  BindAuthoriser::Grant grant;
  EXPECT_EQ(bind(*config, "acme", "", "127.0.0.2", &grant), BindAuthoriser::Accept);
  EXPECT_EQ(grant.tpsLimit, 50);
  EXPECT_EQ(grant.sharedTargetSet, "ts");
  ASSERT_TRUE(grant.mtRuleList);
  EXPECT_EQ(grant.mtRuleList->size(), 1u);
}

TEST_F(BindAuthoriserTest, SecondBindWhileTheFirstIsCheckedIsRefused) {
  auto config = configure(json::array(
      {{{"systemid", "acme"}, {"sharedtargetsetid", "ts"}, {"password_hash", makeHash("slow", 8)}}}));
  BindAuthoriser authoriser(this, 5, *config, verifier_, tracker_);
  BindAuthoriser::Grant grant;
  ASSERT_EQ(authoriser.authorise({"127.0.0.2", "acme", "slow"}, grant), BindAuthoriser::Later);
  EXPECT_TRUE(authoriser.pending());
  EXPECT_EQ(authoriser.authorise({"127.0.0.2", "acme", "slow"}, grant), BindAuthoriser::Refuse);
  std::optional<BindAuthoriser::Result> done;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done && std::chrono::steady_clock::now() < deadline) {
    done = authoriser.takeCompleted(grant);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(done.has_value());
  EXPECT_EQ(*done, BindAuthoriser::Accept);
  EXPECT_FALSE(authoriser.pending());
}

TEST_F(BindAuthoriserTest, SessionGoneBeforeTheVerdictLeavesNothingBehind) {
  auto config = configure(json::array(
      {{{"systemid", "acme"}, {"sharedtargetsetid", "ts"}, {"password_hash", makeHash("gone", 8)}}}));
  {
    BindAuthoriser authoriser(this, 6, *config, verifier_, tracker_);
    BindAuthoriser::Grant grant;
    ASSERT_EQ(authoriser.authorise({"127.0.0.2", "acme", "gone"}, grant), BindAuthoriser::Later);
  }
  // The verifier finishes or drops the job without touching the authoriser.
  EXPECT_EQ(bind(*config, "open", "", "127.0.0.2"), BindAuthoriser::Accept);
}

}  // namespace
