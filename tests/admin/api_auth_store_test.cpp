#include "admin/api_auth_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <set>

namespace {

constexpr uint64_t kNow = 1700000000000000ULL;
constexpr uint64_t kSecond = 1000000ULL;

using Fields = std::map<std::string, std::string>;

Fields credentials(const std::string& id, const std::string& secret) {
  return {{"grant_type", "client_credentials"},
          {"scope", "api"},
          {"client_id", id},
          {"client_secret", secret}};
}

class APIAuthStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { store.registerAPIClient("admin", "s3cret"); }
  int issue(const Fields& fields, const std::string& peer = "p", uint64_t now = kNow) {
    body.clear();
    return store.issueToken(fields, peer, now, body);
  }
  APIAuthStore store;
  std::string body;
};

TEST_F(APIAuthStoreTest, RegisteredClientGetsA32CharacterTokenThatExpiresIn900Seconds) {
  ASSERT_EQ(issue(credentials("admin", "s3cret")), 200);
  std::string token = nlohmann::json::parse(body).at("access_token");
  EXPECT_EQ(token.size(), 32u);
  EXPECT_EQ(body, "{\"access_token\":\"" + token + "\",\"expires_in\":900,\"refresh_token\":\"" +
                      token + "\",\"token_type\":\"access\"}");
  EXPECT_TRUE(store.tokenValid(token, kNow + 900 * kSecond - 1));
  EXPECT_FALSE(store.tokenValid(token, kNow + 900 * kSecond));
  EXPECT_FALSE(store.tokenValid(token + "x", kNow));
}

TEST_F(APIAuthStoreTest, TokensDifferFromOneIssueToTheNextAndUseTheWholeAlphabet) {
  std::set<std::string> tokens;
  std::set<char> seen;
  for (int i = 0; i < 200; ++i) {
    std::string token = store.generateAccessToken(kNow);
    tokens.insert(token);
    seen.insert(token.begin(), token.end());
  }
  EXPECT_EQ(tokens.size(), 200u);
  // 6,400 uniform draws miss one of the 62 letters and digits with
  // negligible probability.
  EXPECT_EQ(seen.size(), 62u);
  EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](char c) { return std::isalnum(c); }));
  APIAuthStore first, second;
  EXPECT_NE(first.generateAccessToken(kNow), second.generateAccessToken(kNow));
}

// Malformed requests are 400; wrong credentials 401, with no body and no
// token issued; a secret must match in full.
TEST_F(APIAuthStoreTest, EveryRequestThatIsNotTheRegisteredClientIsRefused) {
  auto without = [](const char* key) {
    Fields fields = credentials("admin", "s3cret");
    fields.erase(key);
    return fields;
  };
  auto with = [](const char* key, const char* value) {
    Fields fields = credentials("admin", "s3cret");
    fields[key] = value;
    return fields;
  };
  Fields refresh = with("grant_type", "refresh_token");
  Fields refreshWithToken = refresh;
  refreshWithToken["refresh_token"] = "abc";
  const struct {
    const char* what;
    Fields fields;
    int code;
  } cases[] = {
      {"no scope", without("scope"), 400},
      {"scope in capitals", with("scope", "API"), 400},
      {"no grant type", without("grant_type"), 400},
      {"password grant", with("grant_type", "password"), 400},
      {"refresh without a token", refresh, 400},
      {"refresh", refreshWithToken, 401},
      {"no client id", without("client_id"), 400},
      {"no client secret", without("client_secret"), 400},
      {"secret in another case", credentials("admin", "s3creT"), 401},
      {"prefix of the secret", credentials("admin", "s3cre"), 401},
      {"secret with a blank", credentials("admin", "s3cret "), 401},
      {"unknown client", credentials("other", "s3cret"), 401},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(issue(c.fields), c.code) << c.what;
    EXPECT_TRUE(body.empty()) << c.what;
  }
  EXPECT_EQ(store.tokenCount(), 0u);
  // An empty id registers nothing; registering replaces the earlier client.
  store.registerAPIClient("", "s3cret");
  EXPECT_EQ(issue(credentials("", "s3cret")), 401);
  EXPECT_EQ(issue(credentials("admin", "s3cret")), 401);
  store.registerAPIClient("ops", "other");
  EXPECT_EQ(issue(credentials("ops", "other")), 200);
}

TEST_F(APIAuthStoreTest, TenthFailureFromOneAddressLocksItOutForTheRestOfTheWindow) {
  testing::internal::CaptureStdout();
  // Malformed requests do not count as failed attempts.
  Fields noScope = credentials("admin", "guess");
  noScope.erase("scope");
  for (int i = 0; i < 20; ++i) EXPECT_EQ(issue(noScope, "10.0.0.1"), 400);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(issue(credentials("admin", "guess"), "10.0.0.3"), 401);
  EXPECT_EQ(issue(credentials("admin", "s3cret"), "10.0.0.3"), 200);  // nine are not enough
  for (int i = 0; i < 15; ++i)
    EXPECT_EQ(issue(credentials("admin", "guess"), "10.0.0.1", kNow + i * kSecond), 401);
  std::string out = testing::internal::GetCapturedStdout();
  // Even the right secret is now refused unheard, until the window (15
  // minutes from the first failure) ends; another address is not affected.
  EXPECT_EQ(issue(credentials("admin", "s3cret"), "10.0.0.1", kNow + 899 * kSecond), 401);
  EXPECT_EQ(issue(credentials("admin", "s3cret"), "10.0.0.2", kNow + 60 * kSecond), 200);
  EXPECT_EQ(issue(credentials("admin", "s3cret"), "10.0.0.1", kNow + 900 * kSecond), 200);
  const std::string line =
      "WARNING Application::issueToken Refusing client credentials from 10.0.0.1";
  size_t first = out.find(line);
  ASSERT_NE(first, std::string::npos) << out;
  EXPECT_EQ(out.find(line, first + 1), std::string::npos) << out;
  // Failures of an earlier window do not count: a new one starts with the
  // next failure after 15 minutes.
  for (int i = 0; i < 9; ++i) issue(credentials("admin", "guess"), "10.0.0.4", kNow);
  for (int i = 0; i < 9; ++i)
    issue(credentials("admin", "guess"), "10.0.0.4", kNow + 901 * kSecond);
  EXPECT_EQ(issue(credentials("admin", "s3cret"), "10.0.0.4", kNow + 902 * kSecond), 200);
}

TEST_F(APIAuthStoreTest, ExpiredTokensArePrunedAndLiveOnesBoundedDroppingThoseThatExpireFirst) {
  for (int i = 0; i < 50; ++i) store.generateAccessToken(kNow);
  EXPECT_EQ(store.tokenCount(), 50u);
  std::string oldest = store.generateAccessToken(kNow + 900 * kSecond);
  EXPECT_EQ(store.tokenCount(), 1u);
  std::string last;
  const uint64_t start = kNow + 900 * kSecond;
  for (size_t i = 1; i <= APIAuthStore::kMaxTokens; ++i)
    last = store.generateAccessToken(start + i);
  EXPECT_EQ(store.tokenCount(), APIAuthStore::kMaxTokens);
  EXPECT_FALSE(store.tokenValid(oldest, start + 1));
  EXPECT_TRUE(store.tokenValid(last, start + APIAuthStore::kMaxTokens));
}

TEST(FormFields, FieldsSplitAtAmpersandTheLaterOneWinsAndValuesAreTakenLiterally) {
  auto fields = parseFormFields("a=1&b=x=y&noequals&a=2&c=&=v&s=a%20b+c");
  EXPECT_EQ(fields.at("a"), "2");
  EXPECT_EQ(fields.at("b"), "x=y");
  EXPECT_EQ(fields.at("c"), "");
  EXPECT_EQ(fields.at(""), "v");
  EXPECT_EQ(fields.at("s"), "a%20b+c");
  EXPECT_EQ(fields.count("noequals"), 0u);
}

}  // namespace
