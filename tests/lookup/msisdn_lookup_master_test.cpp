#include "lookup/msisdn_lookup_master.h"

#include <gtest/gtest.h>

#include <atomic>

#include "admin/metrics.h"
#include "tests/lookup/completions.h"
#include "tests/support/fake_http_server.h"

namespace {

using testing_support::FakeHttpServer;
using Outcome = MSISDNLookupMaster::LookupOutcome;

constexpr uint64_t kMinute = 60000000ull;

nlohmann::json section(const std::string& url, nlohmann::json extra = nlohmann::json::object()) {
  nlohmann::json s = {{"enabled", true},           {"url", url},
                      {"worker_count", 1},         {"auth_header", "Authorization: Bearer k"},
                      {"request_timeout_ms", 200}, {"connect_timeout_ms", 200}};
  s.update(extra);
  return s;
}

// The placeholder is filled in, the auth header sent, and the answer
// cached: a second lookup of the number is answered without HTTP, until
// the cache period has passed. Each lookup is taken by the only worker
// (slot 0, which has no idle time limit), so a queued request must wake it.
TEST(MSISDNLookupMaster, AnswerIsCachedForThePeriodAndQueuingWakesTheWorker) {
  FakeHttpServer server;
  server.answerBody(200, R"({"mcc":"234","mnc":"15"})");
  std::atomic<uint64_t> now{1700000000000000ull};
  MSISDNLookupMaster master([&] { return now.load(); });
  master.init(section(server.url("/q?n={msisdn}")));
  Completions done;
  nlohmann::json result;

  ASSERT_EQ(master.requestLookup(7, 4477, result, done.callback(), 1), Outcome::Queued);
  auto results = done.waitFor(1);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].transactionId, 7u);
  EXPECT_EQ(results[0].result["mnc"], "15");
  ASSERT_EQ(server.requestCount(), 1u);
  EXPECT_EQ(server.requests()[0].target, "/q?n=4477");
  EXPECT_NE(std::find(server.requests()[0].headerLines.begin(),
                      server.requests()[0].headerLines.end(), "Authorization: Bearer k"),
            server.requests()[0].headerLines.end());

  EXPECT_EQ(master.requestLookup(8, 4477, result, done.callback(), 1), Outcome::Answered);
  EXPECT_EQ(result["mcc"], "234");

  now += 60 * kMinute;
  ASSERT_EQ(master.requestLookup(9, 4477, result, done.callback(), 1), Outcome::Queued);
  EXPECT_EQ(done.waitFor(2).size(), 2u);
  EXPECT_EQ(server.requestCount(), 2u);
}

TEST(MSISDNLookupMaster, DisabledOrFullQueueRefuses) {
  MSISDNLookupMaster disabled;
  disabled.init({{"enabled", false}});
  nlohmann::json result;
  EXPECT_EQ(disabled.requestLookup(1, 1, result, nullptr, 1), Outcome::Refused);

  FakeHttpServer server;
  server.answerNothing();
  MSISDNLookupMaster master;
  master.init(section(server.url("/"), {{"max_queue_size", 2}, {"request_timeout_ms", 5000}}));
  Completions done;
  ASSERT_EQ(master.requestLookup(1, 1, result, done.callback(), 1), Outcome::Queued);
  ASSERT_TRUE(server.waitForRequests(1, 5000));  // the only worker is now busy
  const uint64_t fullBefore = MetricsRegistry::instance().counterValue("msisdnLookupQueueFull");
  EXPECT_EQ(master.requestLookup(2, 2, result, done.callback(), 1), Outcome::Queued);
  EXPECT_EQ(master.requestLookup(3, 3, result, done.callback(), 1), Outcome::Queued);
  EXPECT_EQ(master.requestLookup(4, 4, result, done.callback(), 1), Outcome::Refused);
  EXPECT_EQ(MetricsRegistry::instance().counterValue("msisdnLookupQueueFull"), fullBefore + 1);
  // Stopping abandons the transfer in flight and completes every accepted
  // request without an answer.
  master.stop();
  auto results = done.waitFor(3);
  ASSERT_EQ(results.size(), 3u);
  for (const auto& r : results) EXPECT_TRUE(r.result.is_null());
}

// Only an answer that is a JSON object without a 5xx status counts; any
// other outcome is a failed attempt, tried five times in all and then
// completed without an answer, and nothing is cached.
TEST(MSISDNLookupMaster, UnusableAnswersAreFailedAttemptsRetriedFiveTimes) {
  struct Case {
    const char* name;
    int status;
    const char* body;
    int delayMillis;
    size_t requests;
    bool answered;
  } cases[] = {
      {"404 with JSON", 404, R"({"error":"unknown"})", 0, 1, true},
      {"500", 500, R"({"mcc":"999"})", 0, 5, false},
      {"503 empty", 503, "", 0, 5, false},
      {"not JSON", 200, "<html>mcc</html>", 0, 5, false},
      {"not an object", 200, "[1,2]", 0, 5, false},
      {"too slow", 200, R"({"mcc":"234"})", 2000, 5, false},
  };
  for (const Case& c : cases) {
    FakeHttpServer server;
    server.answerBody(c.status, c.body, c.delayMillis);
    MSISDNLookupMaster master;
    master.init(section(server.url("/lookup")));
    Completions done;
    nlohmann::json result;
    ASSERT_EQ(master.requestLookup(1, 4477, result, done.callback(), 1), Outcome::Queued);
    auto results = done.waitFor(1);
    ASSERT_EQ(results.size(), 1u) << c.name;
    EXPECT_EQ(results[0].result.is_null(), !c.answered) << c.name;
    EXPECT_EQ(server.requestCount(), c.requests) << c.name;
    EXPECT_EQ(master.cacheSize(), c.answered ? 1u : 0u) << c.name;
    EXPECT_EQ(master.failureCount(), c.answered ? 0u : 5u) << c.name;
  }
}

}  // namespace
