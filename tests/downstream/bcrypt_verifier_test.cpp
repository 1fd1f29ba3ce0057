#include "downstream/bcrypt_verifier.h"

#include <crypt.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace {

// A real bcrypt hash of `password` made through the system's crypt library.
std::string makeHash(const std::string& password, const char* prefix, unsigned long cost = 4) {
  auto area = std::make_unique<crypt_data>();
  char salt[CRYPT_GENSALT_OUTPUT_SIZE];
  if (crypt_gensalt_rn(prefix, cost, nullptr, 0, salt, sizeof salt) == nullptr) return {};
  const char* hash = crypt_r(password.c_str(), salt, area.get());
  return hash != nullptr ? std::string(hash) : std::string();
}

TEST(BcryptTest, OnlyTheRightPasswordMatchesAWellFormedBcryptHash) {
  crypt_data area{};
  const char* sha = crypt_r("secret", "$5$abcdefgh", &area);
  ASSERT_NE(sha, nullptr);
  const struct {
    const char* what;
    std::string password;
    std::string stored;
    bool matches;
  } cases[] = {
      {"$2b$", "s3cret", makeHash("s3cret", "$2b$"), true},
      {"$2a$", "s3cret", makeHash("s3cret", "$2a$"), true},
      {"$2y$ of cost 10", "long enough password", makeHash("long enough password", "$2y$", 10), true},
      {"trailing blank", "s3cret ", makeHash("s3cret", "$2b$"), false},
      {"empty password", "", makeHash("s3cret", "$2y$"), false},
      {"embedded NUL", std::string("abc\0def", 7), makeHash("abc", "$2b$"), false},
      {"plain text stored", "secret", "secret", false},
      {"SHA-256 crypt", "secret", sha, false},
      {"leading blank", "secret", " $2b$04$abc", false},
  };
  for (const auto& c : cases) EXPECT_EQ(bcryptMatches(c.password, c.stored), c.matches) << c.what;
}

TEST(BcryptTest, IncompleteOrMalformedStoredHashRefusesEveryPassword) {
  const std::string password = "secret";
  const std::string hash = makeHash(password, "$2b$");
  ASSERT_EQ(hash.size(), kBcryptHashLength);
  ASSERT_TRUE(bcryptMatches(password, hash));
  auto withCharAt = [&](size_t at, char c) {
    std::string changed = hash;
    changed[at] = c;
    return changed;
  };
  const struct {
    const char* what;
    std::string stored;
  } cases[] = {
      {"setting part only", hash.substr(0, 29)},
      {"one character short", hash.substr(0, 59)},
      {"one character long", hash + "x"},
      {"prefix and cost only", hash.substr(0, 7)},
      {"bare prefix", "$2b$"},
      {"cost out of range", withCharAt(4, '9').replace(5, 1, "9")},
      {"cost below four", withCharAt(4, '0').replace(5, 1, "3")},
      {"cost not a number", withCharAt(5, 'x')},
      {"no separator after the cost", withCharAt(6, '.')},
      {"character outside the alphabet", withCharAt(40, '!')},
      {"embedded NUL", withCharAt(59, '\0')},
      {"unknown variant", withCharAt(2, 'x')},
  };
  BcryptVerifier verifier(1, 8);
  for (const auto& c : cases) {
    EXPECT_FALSE(isBcryptHash(c.stored)) << c.what;
    EXPECT_FALSE(bcryptMatches(password, c.stored)) << c.what;
    EXPECT_FALSE(bcryptMatches("any other password", c.stored)) << c.what;
    // Refused at once, without queueing a bcrypt run.
    EXPECT_EQ(verifier.check(password, c.stored), std::optional<bool>(false)) << c.what;
  }
}

TEST(VerifiedPasswordCacheTest, RemembersPairsAndForgetsTheOldestBeyondCapacity) {
  VerifiedPasswordCache cache(2);
  cache.insert("p1", "h1");
  EXPECT_TRUE(cache.contains("p1", "h1"));
  EXPECT_FALSE(cache.contains("p1", "h2"));
  EXPECT_FALSE(cache.contains("p2", "h1"));
  // Length prefixes keep ("p1h", "1") and ("p1", "h1") apart.
  EXPECT_FALSE(cache.contains("p1h", "1"));
  cache.insert("p2", "h2");
  cache.insert("p3", "h3");
  EXPECT_EQ(cache.size(), 2u);
  EXPECT_FALSE(cache.contains("p1", "h1"));
  EXPECT_TRUE(cache.contains("p2", "h2"));
  EXPECT_TRUE(cache.contains("p3", "h3"));
}

// Collects one verdict from a worker thread.
struct Verdict {
  std::mutex mutex;
  std::condition_variable ready;
  int calls = 0;
  bool matched = false;

  BcryptVerifier::Done callback() {
    return [this](bool m) {
      std::lock_guard<std::mutex> lock(mutex);
      ++calls;
      matched = m;
      ready.notify_all();
    };
  }
  bool wait() {
    std::unique_lock<std::mutex> lock(mutex);
    return ready.wait_for(lock, std::chrono::seconds(20), [this] { return calls > 0; });
  }
};

TEST(BcryptVerifierTest, JobOfAGoneSessionIsDropped) {
  BcryptVerifier verifier(1, 8);
  std::string hash = makeHash("pw", "$2b$");
  Verdict dropped;
  {
    auto interest = std::make_shared<int>(0);
    std::weak_ptr<void> weak = interest;
    interest.reset();
    ASSERT_TRUE(verifier.submit("pw", hash, weak, dropped.callback()));
  }
  auto interest = std::make_shared<int>(0);
  Verdict kept;
  ASSERT_TRUE(verifier.submit("pw", hash, interest, kept.callback()));
  ASSERT_TRUE(kept.wait());
  std::lock_guard<std::mutex> lock(dropped.mutex);
  EXPECT_EQ(dropped.calls, 0);
}

TEST(BcryptVerifierTest, FullQueueRefusesFurtherWork) {
  // The verdicts outlive the verifier, whose destructor waits for a running job.
  Verdict a, b, c;
  BcryptVerifier verifier(1, 1);
  std::string hash = makeHash("pw", "$2b$", 12);
  auto interest = std::make_shared<int>(0);
  // The first job may already be running; at most one more can wait.
  ASSERT_TRUE(verifier.submit("x", hash, interest, a.callback()));
  bool second = verifier.submit("y", hash, interest, b.callback());
  bool third = verifier.submit("z", hash, interest, c.callback());
  EXPECT_FALSE(second && third);
}

}  // namespace
