#include "admin/api_auth_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>

#include "tests/support/temp_dir.h"

namespace {

constexpr uint64_t kNow = 1700000000000000ULL;
constexpr uint64_t kSecond = 1000000ULL;

std::map<std::string, std::string> credentials(const std::string& id, const std::string& secret) {
  return {{"grant_type", "client_credentials"},
          {"scope", "api"},
          {"client_id", id},
          {"client_secret", secret}};
}

bool tokenAlphabetOnly(const std::string& token) {
  for (char c : token) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
  }
  return true;
}

class APIAuthStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { store.registerAPIClient("admin", "s3cret"); }
  APIAuthStore store;
};

TEST_F(APIAuthStoreTest, RegisteredClientGetsA32CharacterTokenThatExpiresIn900Seconds) {
  std::string body;
  ASSERT_EQ(store.issueToken(credentials("admin", "s3cret"), "127.0.0.1", kNow, body), 200);
  auto document = nlohmann::json::parse(body);
  std::string token = document.at("access_token");
  EXPECT_EQ(token.size(), 32u);
  EXPECT_TRUE(tokenAlphabetOnly(token));
  EXPECT_EQ(document.at("refresh_token"), token);
  EXPECT_EQ(document.at("token_type"), "access");
  EXPECT_EQ(document.at("expires_in"), 900);
  EXPECT_EQ(body, "{\"access_token\":\"" + token + "\",\"expires_in\":900,\"refresh_token\":\"" +
                      token + "\",\"token_type\":\"access\"}");

  EXPECT_TRUE(store.tokenValid(token, kNow));
  EXPECT_TRUE(store.tokenValid(token, kNow + 900 * kSecond - 1));
  EXPECT_FALSE(store.tokenValid(token, kNow + 900 * kSecond));
  EXPECT_FALSE(store.tokenValid(token, kNow + 901 * kSecond));
}

TEST_F(APIAuthStoreTest, TokensDifferFromOneIssueToTheNextAndUseTheWholeAlphabet) {
  std::set<std::string> tokens;
  std::set<char> seen;
  for (int i = 0; i < 200; ++i) {
    std::string token = store.generateAccessToken(kNow);
    EXPECT_TRUE(tokenAlphabetOnly(token));
    tokens.insert(token);
    seen.insert(token.begin(), token.end());
  }
  EXPECT_EQ(tokens.size(), 200u);
  // 6,400 uniform draws miss one of 62 characters with negligible probability.
  EXPECT_EQ(seen.size(), 62u);
}

TEST_F(APIAuthStoreTest, TwoStoresDoNotIssueTheSameFirstToken) {
  APIAuthStore other;
  EXPECT_NE(store.generateAccessToken(kNow), other.generateAccessToken(kNow));
}

TEST_F(APIAuthStoreTest, MissingOrWrongScopeIs400) {
  std::string body;
  auto fields = credentials("admin", "s3cret");
  fields.erase("scope");
  EXPECT_EQ(store.issueToken(fields, "p", kNow, body), 400);
  fields["scope"] = "API";
  EXPECT_EQ(store.issueToken(fields, "p", kNow, body), 400);
  EXPECT_TRUE(body.empty());
}

TEST_F(APIAuthStoreTest, GrantTypeRules) {
  std::string body;
  auto fields = credentials("admin", "s3cret");
  fields.erase("grant_type");
  EXPECT_EQ(store.issueToken(fields, "p", kNow, body), 400);
  fields["grant_type"] = "password";
  EXPECT_EQ(store.issueToken(fields, "p", kNow, body), 400);
  fields["grant_type"] = "refresh_token";
  EXPECT_EQ(store.issueToken(fields, "p", kNow, body), 400);
  fields["refresh_token"] = "abc";
  EXPECT_EQ(store.issueToken(fields, "p", kNow, body), 401);
}

TEST_F(APIAuthStoreTest, MissingClientIdOrSecretIs400) {
  std::string body;
  auto fields = credentials("admin", "s3cret");
  fields.erase("client_secret");
  EXPECT_EQ(store.issueToken(fields, "p", kNow, body), 400);
  fields = credentials("admin", "s3cret");
  fields.erase("client_id");
  EXPECT_EQ(store.issueToken(fields, "p", kNow, body), 400);
}

TEST_F(APIAuthStoreTest, WrongSecretUnknownClientAndPrefixOfTheSecretAre401) {
  std::string body;
  EXPECT_EQ(store.issueToken(credentials("admin", "s3creT"), "p", kNow, body), 401);
  EXPECT_EQ(store.issueToken(credentials("admin", "s3cre"), "p", kNow, body), 401);
  EXPECT_EQ(store.issueToken(credentials("admin", "s3cret "), "p", kNow, body), 401);
  EXPECT_EQ(store.issueToken(credentials("other", "s3cret"), "p", kNow, body), 401);
  EXPECT_TRUE(body.empty());
  EXPECT_EQ(store.tokenCount(), 0u);
}

TEST_F(APIAuthStoreTest, EmptyClientIdRegistersNoClient) {
  store.registerAPIClient("", "s3cret");
  std::string body;
  EXPECT_EQ(store.issueToken(credentials("", "s3cret"), "p", kNow, body), 401);
  EXPECT_EQ(store.issueToken(credentials("admin", "s3cret"), "p", kNow, body), 401);
}

TEST_F(APIAuthStoreTest, RegisteringReplacesTheEarlierClient) {
  store.registerAPIClient("ops", "other");
  std::string body;
  EXPECT_EQ(store.issueToken(credentials("admin", "s3cret"), "p", kNow, body), 401);
  EXPECT_EQ(store.issueToken(credentials("ops", "other"), "p", kNow, body), 200);
}

TEST_F(APIAuthStoreTest, TenthFailureFromOneAddressLocksItOutForTheRestOfTheWindow) {
  std::string body;
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(store.issueToken(credentials("admin", "guess"), "10.0.0.1", kNow + i * kSecond, body),
              401);
  }
  // Even the right secret is now refused unheard.
  EXPECT_EQ(store.issueToken(credentials("admin", "s3cret"), "10.0.0.1", kNow + 60 * kSecond, body),
            401);
  EXPECT_EQ(
      store.issueToken(credentials("admin", "s3cret"), "10.0.0.1", kNow + 899 * kSecond, body),
      401);
  // Another address is not affected.
  EXPECT_EQ(store.issueToken(credentials("admin", "s3cret"), "10.0.0.2", kNow + 60 * kSecond, body),
            200);
  // The window (15 minutes from the first failure) ends.
  EXPECT_EQ(
      store.issueToken(credentials("admin", "s3cret"), "10.0.0.1", kNow + 900 * kSecond, body),
      200);
}

TEST_F(APIAuthStoreTest, LockOutIsLoggedOnceAtWarning) {
  testing_support::TempDir dir;
  std::string previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  std::string body;
  testing::internal::CaptureStdout();
  for (int i = 0; i < 15; ++i)
    store.issueToken(credentials("admin", "guess"), "10.9.8.7", kNow + i, body);
  std::string out = testing::internal::GetCapturedStdout();
  std::filesystem::current_path(previous);

  const std::string line =
      "WARNING Application::issueToken Refusing client credentials from 10.9.8.7";
  size_t first = out.find(line);
  ASSERT_NE(first, std::string::npos) << out;
  EXPECT_EQ(out.find(line, first + 1), std::string::npos) << out;
}

TEST_F(APIAuthStoreTest, NineFailuresLeaveTheAddressAbleToLogIn) {
  std::string body;
  for (int i = 0; i < 9; ++i) {
    EXPECT_EQ(store.issueToken(credentials("admin", "guess"), "10.0.0.1", kNow, body), 401);
  }
  EXPECT_EQ(store.issueToken(credentials("admin", "s3cret"), "10.0.0.1", kNow, body), 200);
}

TEST_F(APIAuthStoreTest, FailuresOfAnEarlierWindowDoNotCount) {
  std::string body;
  for (int i = 0; i < 9; ++i)
    store.issueToken(credentials("admin", "guess"), "10.0.0.1", kNow, body);
  // A new window starts with the next failure after 15 minutes.
  for (int i = 0; i < 9; ++i) {
    store.issueToken(credentials("admin", "guess"), "10.0.0.1", kNow + 901 * kSecond, body);
  }
  EXPECT_EQ(
      store.issueToken(credentials("admin", "s3cret"), "10.0.0.1", kNow + 902 * kSecond, body),
      200);
}

TEST_F(APIAuthStoreTest, MalformedRequestsDoNotCountAsFailedAttempts) {
  std::string body;
  auto fields = credentials("admin", "guess");
  fields.erase("scope");
  for (int i = 0; i < 20; ++i) EXPECT_EQ(store.issueToken(fields, "10.0.0.1", kNow, body), 400);
  EXPECT_EQ(store.issueToken(credentials("admin", "s3cret"), "10.0.0.1", kNow, body), 200);
}

TEST_F(APIAuthStoreTest, ExpiredTokensArePrunedWhenNewOnesAreIssued) {
  for (int i = 0; i < 50; ++i) store.generateAccessToken(kNow);
  EXPECT_EQ(store.tokenCount(), 50u);
  std::string fresh = store.generateAccessToken(kNow + 900 * kSecond);
  EXPECT_EQ(store.tokenCount(), 1u);
  EXPECT_TRUE(store.tokenValid(fresh, kNow + 900 * kSecond));
}

TEST_F(APIAuthStoreTest, LiveTokensAreBoundedDroppingThoseThatExpireFirst) {
  std::string oldest = store.generateAccessToken(kNow);
  std::string last;
  for (size_t i = 1; i <= APIAuthStore::kMaxTokens; ++i) last = store.generateAccessToken(kNow + i);
  EXPECT_EQ(store.tokenCount(), APIAuthStore::kMaxTokens);
  EXPECT_FALSE(store.tokenValid(oldest, kNow + 1));
  EXPECT_TRUE(store.tokenValid(last, kNow + APIAuthStore::kMaxTokens));
}

TEST(FormFields, FieldsSplitAtAmpersandAndTheLaterOneWins) {
  auto fields = parseFormFields("a=1&b=x=y&noequals&a=2&c=&=v");
  EXPECT_EQ(fields.at("a"), "2");
  EXPECT_EQ(fields.at("b"), "x=y");
  EXPECT_EQ(fields.at("c"), "");
  EXPECT_EQ(fields.at(""), "v");
  EXPECT_EQ(fields.count("noequals"), 0u);
}

TEST(FormFields, ValuesAreTakenLiterally) {
  auto fields = parseFormFields("client_secret=a%20b+c");
  EXPECT_EQ(fields.at("client_secret"), "a%20b+c");
}

}  // namespace
