#include "cdr/cdr_http_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>

#include "tests/support/fake_http_server.h"

namespace {

using testing_support::FakeHttpServer;

// Only a 2xx answer stores the batch; an error status, an answer that is not
// HTTP and no answer within the time limit are failed attempts. Each batch
// is one POST of a JSON array with the configured header line, anonymised
// when asked, and batches reuse one connection.
TEST(CdrHttpStore, OnlyTwoHundredsStoreTheBatch) {
  struct Case {
    const char* answer;
    int status;
    int delayMillis;
    bool stored;
  } cases[] = {
      {"status", 200, 0, true},     {"status", 204, 0, true},    {"status", 200, 100, true},
      {"status", 500, 0, false},    {"status", 302, 0, false},   {"status", 200, 2000, false},
      {"garbage", 0, 0, false},     {"silent", 0, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.answer) + " " + std::to_string(c.status) + " after " +
                 std::to_string(c.delayMillis) + " ms");
    FakeHttpServer server;
    const std::string answer = c.answer;
    if (answer == "status") server.answerStatus(c.status, c.delayMillis);
    if (answer == "garbage") server.answerGarbage();
    if (answer == "silent") server.answerNothing();
    CDRHttpSettings s;
    s.endpoint = server.url("/cdr");
    s.authHeader = "Authorization: Bearer t0k3n";
    s.connectTimeoutMs = 1000;
    s.totalTimeoutMs = 300;
    s.anonymise = true;
    CDRHttpStore store(s);
    std::vector<CDRRecord> batch(2);
    batch[0].sourceAddr = std::string("44\x80\xff", 4);  // customer octets, not UTF-8
    batch[1].sourceAddr = "447700900123";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(store.store(batch, CDRMode::CORRELATE, 0), c.stored);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    ASSERT_EQ(server.requestCount(), 1u);
    const auto request = server.requests()[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/cdr");
    for (const char* line : {"Content-Type: application/json", "Authorization: Bearer t0k3n"})
      EXPECT_NE(std::find(request.headerLines.begin(), request.headerLines.end(), line),
                request.headerLines.end())
          << line;
    const auto body = nlohmann::json::parse(request.body);
    ASSERT_EQ(body.size(), 2u);
    EXPECT_EQ(body[1]["sourceAddr"], "4477********");
    if (!c.stored) continue;
    ASSERT_TRUE(store.store(batch, CDRMode::CORRELATE, 0));
    EXPECT_EQ(server.connectionCount(), 1u);
  }
}

}  // namespace
