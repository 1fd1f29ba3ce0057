// Who may bind: bcrypt hashes and their verifier, the record that applies
// (system id, "[address]" + id, the defaults), passwords plain or hashed,
// allowed addresses, and what a grant carries. The session and the daemon
// take these verdicts as they are.
#include "downstream/bind_authoriser.h"

#include <crypt.h>
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <tuple>

#include "admin/metrics.h"
#include "config/ostrel_configuration.h"
#include "downstream/bcrypt_verifier.h"
#include "tests/support/temp_dir.h"
#include "tracking/tracker.h"

using testing_support::TempDir;
using nlohmann::json;
using namespace std::chrono_literals;

namespace {

// A real bcrypt hash of `password` made through the system's crypt library.
std::string makeHash(const std::string& password, const char* prefix = "$2b$",
                     unsigned long cost = 4) {
  auto area = std::make_unique<crypt_data>();
  char salt[CRYPT_GENSALT_OUTPUT_SIZE];
  if (crypt_gensalt_rn(prefix, cost, nullptr, 0, salt, sizeof salt) == nullptr) return {};
  const char* hash = crypt_r(password.c_str(), salt, area.get());
  return hash != nullptr ? std::string(hash) : std::string();
}

const std::string kHash = makeHash("hashed-pw");

// Only the right password matches a well-formed hash, which takes a bcrypt
// run; a stored hash that is not bcrypt, or is incomplete or damaged
// anywhere, refuses every password at once.
TEST(BcryptTest, OnlyTheRightPasswordMatchesAndOnlyAWholeBcryptHashIsTried) {
  crypt_data area{};
  const std::string sha = crypt_r("secret", "$5$abcdefgh", &area);
  const std::string hash = makeHash("secret");
  ASSERT_EQ(hash.size(), kBcryptHashLength);
  auto changed = [&](size_t at, const std::string& with) {
    return std::string(hash).replace(at, with.size(), with);
  };
  const struct {
    const char* what;
    std::string password, stored;
    bool matches, wellFormed;
  } cases[] = {
      {"$2b$", "secret", hash, true, true},
      {"$2a$", "s3cret", makeHash("s3cret", "$2a$"), true, true},
      {"$2y$ of cost 10", "long enough password", makeHash("long enough password", "$2y$", 10),
       true, true},
      {"trailing blank", "secret ", hash, false, true},
      {"empty password", "", hash, false, true},
      {"embedded NUL in the password", std::string("abc\0def", 7), makeHash("abc"), false, true},
      {"plain text stored", "secret", "secret", false, false},
      {"SHA-256 crypt", "secret", sha, false, false},
      {"leading blank", "secret", " " + hash, false, false},
      {"setting part only", "secret", hash.substr(0, 29), false, false},
      {"one character short", "secret", hash.substr(0, 59), false, false},
      {"one character long", "secret", hash + "x", false, false},
      {"cost out of range", "secret", changed(4, "99"), false, false},
      {"cost below four", "secret", changed(4, "03"), false, false},
      {"cost not a number", "secret", changed(5, "x"), false, false},
      {"no separator after the cost", "secret", changed(6, "."), false, false},
      {"character outside the alphabet", "secret", changed(40, "!"), false, false},
      {"embedded NUL in the hash", "secret", changed(59, std::string(1, '\0')), false, false},
      {"unknown variant", "secret", changed(2, "x"), false, false},
  };
  BcryptVerifier verifier(1, 8);
  for (const auto& c : cases) {
    EXPECT_EQ(bcryptMatches(c.password, c.stored), c.matches) << c.what;
    EXPECT_EQ(isBcryptHash(c.stored), c.wellFormed) << c.what;
    EXPECT_EQ(verifier.check(c.password, c.stored),
              c.wellFormed ? std::nullopt : std::optional<bool>(false))
        << c.what;
  }
}

TEST(BcryptTest, CacheRemembersPairsAndForgetsTheOldestBeyondCapacity) {
  VerifiedPasswordCache cache(2);
  cache.insert("p1", "h1");
  // Length prefixes keep ("p1h", "1") and ("p1", "h1") apart.
  EXPECT_EQ(std::make_tuple(cache.contains("p1", "h1"), cache.contains("p1", "h2"),
                            cache.contains("p2", "h1"), cache.contains("p1h", "1")),
            std::make_tuple(true, false, false, false));
  cache.insert("p2", "h2");
  cache.insert("p3", "h3");
  EXPECT_EQ(std::make_tuple(cache.size(), cache.contains("p1", "h1"), cache.contains("p2", "h2"),
                            cache.contains("p3", "h3")),
            std::make_tuple(size_t{2}, false, true, true));
}

// The job of a session gone before its turn is dropped unreported; a full
// queue refuses further work.
TEST(BcryptTest, VerifierDropsTheJobsOfGoneSessionsAndBoundsItsQueue) {
  std::atomic<int> droppedCalls{0};
  std::promise<bool> kept;
  {
    BcryptVerifier verifier(1, 8);
    const std::weak_ptr<void> gone = std::make_shared<int>(0);
    ASSERT_TRUE(verifier.submit("hashed-pw", kHash, gone, [&](bool) { ++droppedCalls; }));
    auto interest = std::make_shared<int>(0);
    ASSERT_TRUE(verifier.submit("hashed-pw", kHash, interest, [&](bool m) { kept.set_value(m); }));
    auto verdict = kept.get_future();
    ASSERT_EQ(verdict.wait_for(20s), std::future_status::ready);
    EXPECT_TRUE(verdict.get());
  }
  EXPECT_EQ(droppedCalls.load(), 0);
  BcryptVerifier verifier(1, 1);
  const std::string slow = makeHash("pw", "$2b$", 12);
  auto interest = std::make_shared<int>(0);
  // The first job may already be running; at most one more can wait.
  ASSERT_TRUE(verifier.submit("x", slow, interest, [](bool) {}));
  const bool second = verifier.submit("y", slow, interest, [](bool) {});
  EXPECT_FALSE(second && verifier.submit("z", slow, interest, [](bool) {}));
}

json esme(const std::string& id, json fields) {
  fields["systemid"] = id;
  if (!fields.contains("sharedtargetsetid")) fields["sharedtargetsetid"] = "ts";
  return fields;
}

// Waits for the verdict of a bind answered Later.
BindAuthoriser::Result verdict(BindAuthoriser& authoriser, BindAuthoriser::Grant& grant) {
  for (int i = 0; i < 20000; ++i, std::this_thread::sleep_for(1ms))
    if (std::optional<BindAuthoriser::Result> done = authoriser.takeCompleted(grant)) return *done;
  return BindAuthoriser::Later;
}

struct Attempt {
  const char* systemId;
  const char* password;
  const char* peer;
  BindAuthoriser::Result result;
  int later = -1;  // 1: answered after a worker's verdict, 0: at once, -1: either
  const char* log = "";  // a line the attempt must log
  const char* targetSet = nullptr;
  int tpsLimit = -1;
  size_t rules = 0;  // MT rules of the customer's own in the grant
  bool second = false;  // a second bind while this one is checked is refused
};

struct AuthorisationCase {
  const char* name;
  json esmes;
  json base;
  std::vector<Attempt> attempts;
};

TEST(BindAuthoriserTest, EachBindIsDecidedByTheRecordThatApplies) {
  using R = BindAuthoriser::Result;
  MetricsRegistry::instance().clearForTesting();
  TempDir dir;
  BcryptVerifier verifier(1, 16);
  Tracker tracker("");
  auto configure = [&](const json& esmes, const json& base) {
    dir.write("pelliro.conf", json{{"base", base}, {"esme", esmes}, {"targetsets", json::array()},
                                   {"routes-mo", json::array()}, {"routes-mt", json::array()}}
                                  .dump());
    auto config = std::make_unique<OstrelConfiguration>(dir.file("pelliro.conf"));
    bool notFound = false;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(config->performLoad(notFound));
    testing::internal::GetCapturedStdout();
    return config;
  };
  const AuthorisationCase cases[] = {
      {"unconfigured customer on the default set", json::array(), json::object(),
       {{"stranger", "whatever", "127.0.0.2", R::Accept, 0,
         "Using shared target set \"default\" for ESME stranger", "default", 65535}}},
      {"disabled customer", json::array({esme("acme", {{"password", "pw"}, {"binding_enabled", false}})}),
       json::object(), {{"acme", "pw", "127.0.0.2", R::Refuse, 0, "Binding disabled for ESME acme"}}},
      {"plain password byte for byte", json::array({esme("acme", {{"password", "secret"}})}), json::object(),
       {{"acme", "Secret", "127.0.0.2", R::Refuse, 0,
         "Binding attempt rejected. Password incorrect for ESME acme IP 127.0.0.2"},
        {"acme", "secre", "127.0.0.2", R::Refuse},
        {"acme", "secret!", "127.0.0.2", R::Refuse},
        {"acme", "secret", "127.0.0.2", R::Accept, 0, "", "ts"}}},
      {"no configured password accepts any", json::array({esme("open", json::object())}), json::object(),
       {{"open", "anything", "127.0.0.2", R::Accept}, {"open", "", "127.0.0.2", R::Accept}}},
      {"an address-bound record applies only from its address; elsewhere, default binding off",
       json::array({esme("[127.0.0.2]acme", {{"sharedtargetsetid", "bound-set"}, {"password", "p2"}, {"tpslimit", 7}})}),
       {{"default_binding_enabled", false}},
       {{"acme", "p2", "127.0.0.2", R::Accept, 0, "", "bound-set", 7},
        {"acme", "p3", "127.0.0.2", R::Refuse},
        {"acme", "p2", "127.0.0.3", R::Refuse, 0,
         "Binding attempt rejected. Binding disabled for ESME acme IP 127.0.0.3"}}},
      {"the record keyed by system id wins over the address-bound one",
       json::array({esme("[127.0.0.2]acme", {{"sharedtargetsetid", "bound"}, {"password", "p2"}}),
        esme("acme", {{"sharedtargetsetid", "plain"}, {"password", "p1"}})}),
       json::object(),
       {{"acme", "p2", "127.0.0.2", R::Refuse}, {"acme", "p1", "127.0.0.2", R::Accept, 0, "", "plain"}}},
      {"a hash is checked on a worker and remembered",
       json::array({esme("acme", {{"password_hash", kHash}})}), json::object(),
       {{"acme", "wrong", "127.0.0.2", R::Refuse, 1,
         "Binding attempt rejected. Password hash mismatch for ESME acme IP 127.0.0.2"},
        {"acme", "hashed-pw", "127.0.0.2", R::Accept, 1, "", nullptr, -1, 0, true},
        {"acme", "hashed-pw", "127.0.0.2", R::Accept, 0},
        {"acme", "wrong", "127.0.0.2", R::Refuse, 1}}},
      {"a hash without the bcrypt prefix refuses even the plain password",
       json::array({esme("acme", {{"password", "pw"}, {"password_hash", "pw"}})}), json::object(),
       {{"acme", "pw", "127.0.0.2", R::Refuse, 0, "Password hash mismatch for ESME acme"}}},
      {"AllowedNetworkAdmitsItsAddressesAndRefusesOthers",
       json::array({esme("acme", {{"allowedips", json::array({"10.9.9.9", "192.168.1.0/24"})}})}), json::object(),
       {{"acme", "", "192.168.1.77", R::Accept},
        {"acme", "", "10.9.9.9", R::Accept},
        {"acme", "", "192.168.2.1", R::Refuse, 0,
         "Binding attempt rejected. IP address 192.168.2.1 not in allowed IPs for ESME acme"}}},
      {"the grant carries the customer's own rules and limit",
       json::array({esme("acme", {{"tpslimit", 50},
                                  {"routes-mt", json::array({{{"criteria", {{"match", "destination"},
                                                                            {"type", "country"},
                                                                            {"value", "44"}}},
                                                              {"targetset", "uk"}}})}})}),
       json::object(), {{"acme", "", "127.0.0.2", R::Accept, 0, "", "ts", 50, 1}}},
      {"the address is checked after a hash checked later",
       json::array({esme("acme", {{"password_hash", kHash}, {"allowedips", json::array({"127.0.0.2"})}})}), json::object(),
       {{"acme", "hashed-pw", "127.0.0.3", R::Refuse}, {"acme", "hashed-pw", "127.0.0.2", R::Accept}}},
  };
  ASSERT_FALSE(kHash.empty());
  uint64_t sessionId = 100;
  const char* kCounters[] = {"smppDownstreamBindAttempt{result=\"success\"}",
                             "smppDownstreamBindAttempt{result=\"fail\"}",
                             "smppDownstreamBindAttemptTotal"};
  auto counters = [&] {
    MetricsRegistry& m = MetricsRegistry::instance();
    return std::make_tuple(m.counterValue(kCounters[0]), m.counterValue(kCounters[1]),
                           m.counterValue(kCounters[2]));
  };
  for (const AuthorisationCase& c : cases) {
    auto config = configure(c.esmes, c.base);
    for (size_t n = 0; n < c.attempts.size(); ++n) {
      const Attempt& a = c.attempts[n];
      SCOPED_TRACE(testing::Message() << c.name << ", attempt " << n);
      const auto [successes, failures, total] = counters();
      BindAuthoriser authoriser(this, ++sessionId, *config, verifier, tracker);
      BindAuthoriser::Grant grant;
      testing::internal::CaptureStdout();
      BindAuthoriser::Result result = authoriser.authorise({a.peer, a.systemId, a.password}, grant);
      const bool later = result == BindAuthoriser::Later;
      if (a.second) {
        EXPECT_EQ(authoriser.authorise({a.peer, a.systemId, a.password}, grant), R::Refuse);
      }
      if (later) result = verdict(authoriser, grant);
      const std::string out = testing::internal::GetCapturedStdout();
      EXPECT_EQ(result, a.result);
      if (a.later >= 0) { EXPECT_EQ(later, a.later == 1); }
      EXPECT_NE(out.find(a.log), std::string::npos) << out;
      const bool accepted = a.result == BindAuthoriser::Accept;
      EXPECT_EQ(counters(), std::make_tuple(successes + accepted, failures + !accepted + a.second,
                                            total + 1 + a.second));
      std::string systemId;
      EXPECT_EQ(tracker.getSessionSystemId(sessionId, systemId), accepted);
      EXPECT_EQ(systemId, accepted ? a.systemId : "");
      if (a.targetSet != nullptr) { EXPECT_EQ(grant.sharedTargetSet, a.targetSet); }
      if (a.tpsLimit >= 0) { EXPECT_EQ(grant.tpsLimit, a.tpsLimit); }
      EXPECT_EQ(grant.mtRuleList ? grant.mtRuleList->size() : 0u, a.rules);
    }
  }
}

}  // namespace
