#include "lookup/ext_logic_integration_master.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/lookup/completions.h"
#include "tests/support/fake_http_server.h"

namespace {

using testing_support::FakeHttpServer;

SMPP::T_SubmitSM submitTo(const std::string& destination) {
  SMPP::T_SubmitSM sm;
  sm.destination_addr = destination;
  sm.validity_period = 1700000000000000ull;
  sm.short_message = {'h', 'i'};
  return sm;
}

bool hasHeader(const FakeHttpServer::Request& r, const std::string& line) {
  return std::find(r.headerLines.begin(), r.headerLines.end(), line) != r.headerLines.end();
}

// Only a 2xx JSON object ends a request; a 500, a body that is not JSON or
// an answer too slow for the time limit is tried five times in all and
// then completed without an answer.
TEST(ExtLogicIntegrationMaster, OnlyATwoHundredJsonObjectIsAnAnswer) {
  struct Case {
    const char* name;
    int status;
    const char* body;
    int delayMillis;
    size_t requests;
    bool answered;
  } cases[] = {
      {"200 object", 200, R"({"action":"reject","cmdstatus":"x"})", 0, 1, true},
      {"500", 500, R"({"action":"reject"})", 0, 5, false},
      {"200 not JSON", 200, "OK", 0, 5, false},
      {"too slow", 200, R"({"action":"reject"})", 2000, 5, false},
  };
  for (const Case& c : cases) {
    FakeHttpServer server;
    server.answerBody(c.status, c.body, c.delayMillis);
    ExtLogicIntegrationMaster master;
    master.init({{"enabled", true},
                 {"url", server.url("/eli")},
                 {"worker_count", 1},
                 {"auth_header", "X-Key: k"},
                 {"request_timeout_ms", 200}});
    Completions done;
    ASSERT_TRUE(master.addAsyncSubmit("cust", "127.0.0.1", submitTo("4477"), 0, 42,
                                      done.callback(), 1));
    auto results = done.waitFor(1);
    ASSERT_EQ(results.size(), 1u) << c.name;
    EXPECT_EQ(results[0].transactionId, 42u);
    EXPECT_EQ(results[0].result.is_null(), !c.answered) << c.name;
    EXPECT_EQ(server.requestCount(), c.requests) << c.name;
    const auto request = server.requests()[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_TRUE(hasHeader(request, "Content-Type: application/json"));
    EXPECT_TRUE(hasHeader(request, "Accept: application/json"));
    EXPECT_TRUE(hasHeader(request, "X-Key: k"));
    const auto doc = nlohmann::json::parse(request.body);
    EXPECT_EQ(doc["systemid"], "cust");
    EXPECT_EQ(doc["submitsm"]["destination_addr"], "4477");
  }
}

}  // namespace
