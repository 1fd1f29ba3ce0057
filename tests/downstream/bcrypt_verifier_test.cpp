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

TEST(BcryptTest, RightPasswordMatchesForEveryPrefix) {
  for (const char* prefix : {"$2b$", "$2a$", "$2y$"}) {
    std::string hash = makeHash("s3cret", prefix);
    ASSERT_EQ(hash.compare(0, 4, prefix), 0) << hash;
    EXPECT_TRUE(bcryptMatches("s3cret", hash)) << prefix;
    EXPECT_FALSE(bcryptMatches("s3cret ", hash)) << prefix;
    EXPECT_FALSE(bcryptMatches("", hash)) << prefix;
  }
}

TEST(BcryptTest, HashWithoutABcryptPrefixRefusesEveryPassword) {
  EXPECT_FALSE(bcryptMatches("secret", "secret"));
  std::string sha = [] {
    crypt_data area{};
    const char* h = crypt_r("secret", "$5$abcdefgh", &area);
    return std::string(h != nullptr ? h : "");
  }();
  ASSERT_FALSE(sha.empty());
  EXPECT_FALSE(bcryptMatches("secret", sha));
  EXPECT_FALSE(bcryptMatches("secret", " $2b$04$abc"));
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

TEST(BcryptTest, EmbeddedNulInThePasswordNeverMatches) {
  std::string hash = makeHash("abc", "$2b$");
  EXPECT_TRUE(bcryptMatches("abc", hash));
  EXPECT_FALSE(bcryptMatches(std::string("abc\0def", 7), hash));
}

TEST(BcryptTest, CostTenHashFromTheSystemLibraryIsAccepted) {
  std::string hash = makeHash("long enough password", "$2y$", 10);
  ASSERT_EQ(hash.compare(0, 7, "$2y$10$"), 0);
  EXPECT_TRUE(bcryptMatches("long enough password", hash));
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
  std::thread::id thread;

  BcryptVerifier::Done callback() {
    return [this](bool m) {
      std::lock_guard<std::mutex> lock(mutex);
      ++calls;
      matched = m;
      thread = std::this_thread::get_id();
      ready.notify_all();
    };
  }
  bool wait() {
    std::unique_lock<std::mutex> lock(mutex);
    return ready.wait_for(lock, std::chrono::seconds(20), [this] { return calls > 0; });
  }
};

TEST(BcryptVerifierTest, WorkerAnswersAndTheCacheAnswersTheNextTimeAtOnce) {
  BcryptVerifier verifier(1, 8);
  std::string hash = makeHash("pw", "$2b$");
  EXPECT_FALSE(verifier.check("pw", hash).has_value());
  auto interest = std::make_shared<int>(0);
  Verdict verdict;
  ASSERT_TRUE(verifier.submit("pw", hash, interest, verdict.callback()));
  ASSERT_TRUE(verdict.wait());
  EXPECT_TRUE(verdict.matched);
  EXPECT_NE(verdict.thread, std::this_thread::get_id());
  ASSERT_TRUE(verifier.check("pw", hash).has_value());
  EXPECT_TRUE(*verifier.check("pw", hash));
  EXPECT_FALSE(verifier.check("other", hash).has_value());
}

TEST(BcryptVerifierTest, WrongPasswordIsNotRemembered) {
  BcryptVerifier verifier(1, 8);
  std::string hash = makeHash("pw", "$2b$");
  auto interest = std::make_shared<int>(0);
  Verdict verdict;
  ASSERT_TRUE(verifier.submit("wrong", hash, interest, verdict.callback()));
  ASSERT_TRUE(verdict.wait());
  EXPECT_FALSE(verdict.matched);
  EXPECT_FALSE(verifier.check("wrong", hash).has_value());
  EXPECT_EQ(verifier.cacheSize(), 0u);
}

TEST(BcryptVerifierTest, NonBcryptHashIsRefusedWithoutAWorker) {
  BcryptVerifier verifier(1, 8);
  auto answer = verifier.check("secret", "secret");
  ASSERT_TRUE(answer.has_value());
  EXPECT_FALSE(*answer);
}

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
