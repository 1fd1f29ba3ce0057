// The MSISDN lookup and the ELI service: the answer cache, the ELI document
// and the reading of its answers, and both services over a real HTTP
// endpoint on loopback (which answers end a request, retries and the
// bounded queue, the cache period).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <tuple>

#include "admin/metrics.h"
#include "lookup/eli_document.h"
#include "lookup/ext_logic_integration_master.h"
#include "lookup/lookup_cache.h"
#include "lookup/msisdn_lookup_master.h"
#include "tests/support/fake_http_server.h"

namespace {

using testing_support::FakeHttpServer;
using Outcome = MSISDNLookupMaster::LookupOutcome;
using Action = ELIDecision::Action;
constexpr uint64_t kMinute = 60000000ull;

TEST(LookupCache, FullCacheDropsTheOldestAnswerAndExpiredOnesFirst) {
  LookupCache cache(10 * kMinute, 2);
  cache.store(1, "one", 0);
  cache.store(2, "two", kMinute);
  cache.store(1, "one again", 2 * kMinute);  // replacing does not grow it
  EXPECT_EQ(cache.size(), 2u);
  cache.store(3, "three", 3 * kMinute);  // full: 2 is now the oldest
  nlohmann::json answer;
  EXPECT_FALSE(cache.find(2, 3 * kMinute, answer));
  ASSERT_TRUE(cache.find(1, 3 * kMinute, answer));
  EXPECT_EQ(answer, "one again");
  cache.store(4, "four", 12 * kMinute + 1);  // 1 has expired and goes, 3 stays
  EXPECT_TRUE(cache.find(3, 12 * kMinute + 1, answer));
  EXPECT_FALSE(cache.find(1, 12 * kMinute + 1, answer));
  // A period or a bound of 0 keeps nothing.
  LookupCache noPeriod(0, 10), noRoom(kMinute, 0);
  noPeriod.store(1, "x", 0);
  noRoom.store(1, "x", 0);
  EXPECT_EQ(noPeriod.size() + noRoom.size(), 0u);
}

TEST(ELIDocument, InvalidUtf8KeepsAReplacedTextAndTheExactOctetsInHex) {
  SMPP::T_SubmitSM sm;
  sm.source_addr = std::string("44\xff", 3);
  sm.destination_addr = "447700900123";
  sm.validity_period = 1700000000999999ull;
  sm.short_message = {0x48, 0xE9, 0xFF};
  sm.tlvs.push_back({0x1D, 3, {'o', 0xC3, 'k'}});   // a lone lead octet
  sm.tlvs.push_back({0x20C, 2, {0x00, 0x2A}});      // binary but valid UTF-8
  const nlohmann::json doc = buildELIRequest("cust\x80", "127.0.0.1", sm, 0);
  const std::string body = doc.dump();  // would throw on invalid UTF-8
  const nlohmann::json& s = doc["submitsm"];
  EXPECT_EQ(s["source_addr"], "44\xEF\xBF\xBD");
  EXPECT_EQ(s["source_addr_hex"], "3434ff");
  EXPECT_FALSE(s.contains("destination_addr_hex"));
  EXPECT_EQ(doc["systemid"], "cust\xEF\xBF\xBD");
  EXPECT_EQ(doc["systemid_hex"], "6375737480");
  EXPECT_EQ(s["tlvs"][0]["value"], "o\xEF\xBF\xBDk");
  EXPECT_EQ(s["tlvs"][0]["value_hex"], "6fc36b");
  EXPECT_EQ(s["tlvs"][1]["value"], std::string("\0*", 2));
  EXPECT_FALSE(s["tlvs"][1].contains("value_hex"));
  EXPECT_EQ(s["short_message"], nlohmann::json({72, 233, 255}));
  EXPECT_EQ(s["validity_period"], "2023-11-14T22:13:20Z");
  EXPECT_FALSE(s.contains("schedule_delivery_time"));
  EXPECT_EQ(nlohmann::json::parse(body), doc);
}

// A code that is present but not a 32-bit unsigned integer is read as
// absent, and each one is counted.
TEST(ELIDecisionTest, NonNumericCodesTakeTheirDefaultsWithAWarning) {
  struct Case {
    const char* answer;
    Action action;
    uint32_t commandStatus, messageState, networkError;
    uint64_t warnings;
  } cases[] = {
      {R"({"action":"reject"})", Action::Reject, 0x45, 5, 0, 0},
      {R"({"action":"reject","cmdstatus":"8"})", Action::Reject, 0x45, 5, 0, 1},
      {R"({"action":"reject","cmdstatus":-1})", Action::Reject, 0x45, 5, 0, 1},
      {R"({"action":"reject","cmdstatus":4294967296})", Action::Reject, 0x45, 5, 0, 1},
      {R"({"action":"reject","cmdstatus":null})", Action::Reject, 0x45, 5, 0, 1},
      {R"({"action":"reject_dlr","status":2})", Action::RejectWithReceipt, 0x45, 2, 0, 0},
      {R"({"action":"reject_dlr","status":"2","networkerror":3.5})", Action::RejectWithReceipt,
       0x45, 5, 0, 2},
      {R"({"action":"reject_dlr","networkerror":[1]})", Action::RejectWithReceipt, 0x45, 5, 0, 1},
      {R"({"action":"accept","cmdstatus":"x"})", Action::Continue, 0x45, 5, 0, 0},
      {R"({"action":7})", Action::Continue, 0x45, 5, 0, 0},
      {"null", Action::Continue, 0x45, 5, 0, 0},
  };
  for (const Case& c : cases) {
    const uint64_t before = MetricsRegistry::instance().counterValue("eliAnswerFieldInvalid");
    const ELIDecision d = readELIDecision(nlohmann::json::parse(c.answer));
    EXPECT_EQ(std::tie(d.action, d.commandStatus, d.messageState, d.networkError),
              std::tie(c.action, c.commandStatus, c.messageState, c.networkError))
        << c.answer;
    EXPECT_EQ(MetricsRegistry::instance().counterValue("eliAnswerFieldInvalid") - before,
              c.warnings)
        << c.answer;
  }
}

nlohmann::json section(const std::string& url, nlohmann::json extra = nlohmann::json::object()) {
  nlohmann::json s = {{"enabled", true},           {"url", url},
                      {"worker_count", 1},         {"auth_header", "X-Key: k"},
                      {"request_timeout_ms", 200}, {"connect_timeout_ms", 200}};
  s.update(extra);
  return s;
}

// What the workers hand back, and a wait for it. Declared before the
// services, so it outlives their workers.
class Completions {
 public:
  LookupCompletion callback() {
    return [this](uint64_t transactionId, const nlohmann::json& result) {
      std::lock_guard<std::mutex> lock(mutex_);
      results_.push_back({transactionId, result});
      arrived_.notify_all();
    };
  }
  // The results once there are `count`, or those that came within 10 s.
  std::vector<CompletionQueue::Result> waitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_for(lock, std::chrono::seconds(10), [&] { return results_.size() >= count; });
    return results_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<CompletionQueue::Result> results_;  // guarded by mutex_
};

bool hasHeader(const FakeHttpServer::Request& r, const std::string& line) {
  return std::find(r.headerLines.begin(), r.headerLines.end(), line) != r.headerLines.end();
}

// The lookup takes any JSON object below a 5xx, the ELI service only a 2xx
// JSON object. Anything else (also a body nested too deeply, or an answer
// slower than the time limit of the worker pool both share) is a failed
// attempt: tried five times in all, then completed without an answer, and
// never cached.
TEST(LookupServices, UnusableAnswersAreFailedAttemptsRetriedFiveTimes) {
  const std::string deep = std::string(33, '[') + std::string(33, ']');
  struct Case {
    const char* name;
    bool eli;
    int status;
    std::string body;
    int delayMillis;
    bool answered;
  } cases[] = {
      {"lookup 404 with JSON", false, 404, R"({"error":"unknown"})", 0, true},
      {"lookup 500", false, 500, R"({"mcc":"999"})", 0, false},
      {"lookup not JSON", false, 200, "<html>mcc</html>", 0, false},
      {"lookup not an object", false, 200, "[1,2]", 0, false},
      {"lookup too slow", false, 200, R"({"mcc":"234"})", 2000, false},
      {"eli 200 object", true, 200, R"({"action":"reject"})", 0, true},
      {"eli 404 with JSON", true, 404, R"({"action":"reject"})", 0, false},
      {"eli nested too deeply", true, 200, "{\"a\":" + deep + "}", 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeHttpServer server;
    server.answerBody(c.status, c.body, c.delayMillis);
    Completions done;
    MSISDNLookupMaster lookup;
    ExtLogicIntegrationMaster eli;
    if (c.eli) {
      eli.init(section(server.url("/eli")));
      SMPP::T_SubmitSM sm;
      sm.destination_addr = "4477";
      ASSERT_TRUE(eli.addAsyncSubmit("cust", "127.0.0.1", sm, 0, 42, done.callback(), 1));
    } else {
      lookup.init(section(server.url("/lookup")));
      nlohmann::json result;
      ASSERT_EQ(lookup.requestLookup(42, 4477, result, done.callback(), 1), Outcome::Queued);
    }
    auto results = done.waitFor(1);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].transactionId, 42u);
    EXPECT_EQ(results[0].result.is_null(), !c.answered);
    EXPECT_EQ(server.requestCount(), c.answered ? 1u : 5u);
    EXPECT_EQ(c.eli ? eli.failureCount() : lookup.failureCount(), c.answered ? 0u : 5u);
    EXPECT_EQ(lookup.cacheSize(), !c.eli && c.answered ? 1u : 0u);
    const auto request = server.requests()[0];
    EXPECT_TRUE(hasHeader(request, "X-Key: k"));
    if (c.eli) {
      EXPECT_EQ(request.method, "POST");
      EXPECT_TRUE(hasHeader(request, "Content-Type: application/json"));
      EXPECT_EQ(nlohmann::json::parse(request.body)["systemid"], "cust");
    }
  }
}

// An answer is used for the configured period, in minutes, and not after
// (that a repeated number is answered without HTTP, the daemon shows). Past
// "max_queue_size" waiting requests a lookup is refused and counted;
// stopping abandons the transfer in flight and completes every accepted
// request without an answer.
TEST(MSISDNLookupMaster, AnswerIsCachedForItsPeriodAndAFullQueueRefuses) {
  FakeHttpServer server;
  server.answerBody(200, R"({"mcc":"234","mnc":"15"})");
  std::atomic<uint64_t> now{1700000000000000ull};
  Completions done;
  MSISDNLookupMaster master([&] { return now.load(); });
  master.init(section(server.url("/"), {{"cache_period", 2},
                                        {"max_queue_size", 2},
                                        {"request_timeout_ms", 5000}}));
  nlohmann::json result;
  ASSERT_EQ(master.requestLookup(7, 4477, result, done.callback(), 1), Outcome::Queued);
  ASSERT_EQ(done.waitFor(1).size(), 1u);
  now += 2 * kMinute - 1;
  EXPECT_EQ(master.requestLookup(8, 4477, result, done.callback(), 1), Outcome::Answered);
  now += 1;
  EXPECT_EQ(master.requestLookup(9, 4477, result, done.callback(), 1), Outcome::Queued);
  ASSERT_EQ(done.waitFor(2).size(), 2u);

  server.answerNothing();
  ASSERT_EQ(master.requestLookup(1, 1, result, done.callback(), 1), Outcome::Queued);
  ASSERT_TRUE(server.waitForRequests(3, 5000));  // the only worker is now busy
  const uint64_t fullBefore = MetricsRegistry::instance().counterValue("msisdnLookupQueueFull");
  EXPECT_EQ(master.requestLookup(2, 2, result, done.callback(), 1), Outcome::Queued);
  EXPECT_EQ(master.requestLookup(3, 3, result, done.callback(), 1), Outcome::Queued);
  EXPECT_EQ(master.requestLookup(4, 4, result, done.callback(), 1), Outcome::Refused);
  EXPECT_EQ(MetricsRegistry::instance().counterValue("msisdnLookupQueueFull"), fullBefore + 1);
  master.stop();
  auto results = done.waitFor(5);
  ASSERT_EQ(results.size(), 5u);
  for (size_t i = 2; i < results.size(); ++i) EXPECT_TRUE(results[i].result.is_null());
}

}  // namespace
