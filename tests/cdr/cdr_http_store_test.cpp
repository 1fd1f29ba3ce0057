#include "cdr/cdr_http_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>

#include "tests/support/fake_http_server.h"

namespace {

using testing_support::FakeHttpServer;

std::vector<CDRRecord> twoRecords() {
  std::vector<CDRRecord> batch(2);
  batch[0].origin = batch[1].origin = CDROrigin::MO;
  batch[0].sourceAddr = std::string("44\x80\xff", 4);  // customer octets, not UTF-8
  batch[1].sourceAddr = "447700900123";
  return batch;
}

CDRHttpSettings settingsFor(const FakeHttpServer& server) {
  CDRHttpSettings s;
  s.endpoint = server.url("/cdr");
  s.authHeader = "Authorization: Bearer t0k3n";
  s.connectTimeoutMs = 1000;
  s.totalTimeoutMs = 300;
  s.anonymise = true;
  return s;
}

// Only a 2xx answer stores the batch; an error status, an answer that is not
// HTTP and no answer within the time limit are failed attempts.
TEST(CdrHttpStore, OnlyTwoHundredsStoreTheBatch) {
  struct Case {
    const char* answer;
    int status;
    int delayMillis;
    bool stored;
  } cases[] = {
      {"status", 200, 0, true},     {"status", 204, 0, true},  {"status", 200, 100, true},
      {"status", 500, 0, false},    {"status", 404, 0, false}, {"status", 302, 0, false},
      {"status", 200, 2000, false}, {"garbage", 0, 0, false},  {"silent", 0, 0, false},
  };
  for (const Case& c : cases) {
    FakeHttpServer server;
    const std::string answer = c.answer;
    if (answer == "status") server.answerStatus(c.status, c.delayMillis);
    if (answer == "garbage") server.answerGarbage();
    if (answer == "silent") server.answerNothing();
    CDRHttpStore store(settingsFor(server));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(store.store(twoRecords(), CDRMode::CORRELATE, 0), c.stored)
        << c.answer << c.status << " after " << c.delayMillis << " ms";
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(server.requestCount(), 1u);
  }
}

TEST(CdrHttpStore, PostsOneJsonArrayWithItsHeadersOverOneConnection) {
  FakeHttpServer server;
  CDRHttpStore store(settingsFor(server));
  ASSERT_TRUE(store.store(twoRecords(), CDRMode::CORRELATE, 0));
  ASSERT_TRUE(store.store(twoRecords(), CDRMode::CORRELATE, 0));
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  const auto& first = requests[0];
  EXPECT_EQ(first.method, "POST");
  EXPECT_EQ(first.target, "/cdr");
  auto has = [&](const std::string& line) {
    return std::find(first.headerLines.begin(), first.headerLines.end(), line) !=
           first.headerLines.end();
  };
  EXPECT_TRUE(has("Content-Type: application/json"));
  EXPECT_TRUE(has("Authorization: Bearer t0k3n"));
  const auto body = nlohmann::json::parse(first.body);
  ASSERT_EQ(body.size(), 2u);
  EXPECT_EQ(body[1]["sourceAddr"], "4477********");
  EXPECT_EQ(requests[1].body, first.body);
  EXPECT_EQ(server.connectionCount(), 1u);
}

}  // namespace
