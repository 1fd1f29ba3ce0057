#include "admin/admin_routes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "admin/metrics.h"
#include "base/log.h"
#include "config/ostrel_configuration.h"
#include "tests/support/temp_dir.h"

using nlohmann::json;

namespace {

constexpr uint64_t kNow = 1700000000000000ULL;
constexpr uint64_t kSecond = 1000000ULL;

const char* kConfiguration = R"({
  "base": {"auth.client_id": "admin", "auth.client_secret": "pw"},
  "targetsets": [
    {"id": "ts1", "name": "First", "submits_enabled": true, "targets": [
      {"name": "t1", "host": "127.0.0.1", "port": 2776, "bindqty": 1, "systemid": "up",
       "password": "upw", "systemtype": "", "weight": 1, "admindown": true}]}
  ],
  "esme": [{"systemid": "acme", "sharedtargetsetid": "ts1"}],
  "routes-mt": [],
  "routes-mo": []
})";

// Header lines of a request; "{token}" stands for the issued token.
const std::string kAuth = "Authorization: Bearer {token}";
const std::string kJSON = kAuth + "\r\nContent-Type: application/json";
const std::string kForm = "Content-Type: application/x-www-form-urlencoded";
const std::string kCredentials =
    "grant_type=client_credentials&scope=api&client_id=admin&client_secret=pw";

class AdminRoutesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.write("pelliro.conf", kConfiguration);
    config_ = std::make_unique<OstrelConfiguration>(dir_.file("pelliro.conf"));
    bool notFound = false;
    ASSERT_TRUE(config_->performLoad(notFound));
    auth_.registerAPIClient("admin", "pw");
    routes_ = std::make_unique<AdminRoutes>(*config_, auth_);
    token_ = auth_.generateAccessToken(kNow);
  }
  void TearDown() override { setAuditEnabled(false); }

  // Builds the request as bytes and parses it as the server does.
  HTTPResponse send(const std::string& method, const std::string& path, std::string headers = "",
                    const std::string& body = "", uint64_t now = kNow) {
    for (size_t at; (at = headers.find("{token}")) != std::string::npos;)
      headers.replace(at, 7, token_);
    std::string raw = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!headers.empty()) raw += headers + "\r\n";
    if (!body.empty()) raw += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    raw += "\r\n" + body;
    RequestFrame frame = frameHTTPRequest(raw);
    EXPECT_EQ(frame.status, FrameStatus::kComplete);
    HTTPRequest request;
    EXPECT_TRUE(parseHTTPRequest(raw, frame.headerLength, request));
    return routes_->handle(request, "127.0.0.1", now);
  }

  testing_support::TempDir dir_;
  std::unique_ptr<OstrelConfiguration> config_;
  APIAuthStore auth_;
  std::unique_ptr<AdminRoutes> routes_;
  std::string token_;
};

// What a response is expected to be: "fallback" (the bare OK), "options"
// (the CORS answer), or "<code> <status text>" of an ordinary response.
std::string summary(const HTTPResponse& r) {
  if (r.kind == HTTPResponse::Kind::kFallback && r.wire() == kFallbackResponse) return "fallback";
  if (r.kind == HTTPResponse::Kind::kOptions &&
      r.wire() ==
          "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nAccess-Control-Allow-Headers: "
          "*\r\nAccess-Control-Allow-Methods: *\r\n\r\n{}")
    return "options";
  if (r.kind != HTTPResponse::Kind::kNormal) return "unexpected kind";
  return std::to_string(r.code) + " " + r.statusText;
}

// Requests in order, each answered by the rule that decides it: no token
// for metrics, status and OPTIONS; 401 without a valid bearer token; exact
// method case and content types, else the fallback; the token endpoint's
// answers; every configuration route reaching its operation; path pieces
// split at "/targets/". The state carries from one request to the next.
TEST_F(AdminRoutesTest, EveryRequestIsAnsweredByTheRuleThatDecidesIt) {
  MetricsRegistry::instance().registerCounter("routeTestCounter", "A route test counter.", false);
  const std::string target =
      R"({"name":"t2","host":"127.0.0.1","systemid":"u","password":"p","admindown":true})";
  struct Case {
    const char* method;
    const char* path;
    std::string headers;
    std::string body;
    std::string expected;
    std::string bodyHolds = "";  // text the response body holds
  };
  const Case cases[] = {
      {"GET", "/metrics", "", "", "200 OK", "routeTestCounter"},
      {"GET", "/status", "", "", "200 OK", R"("statusReport":[],"summary":{)"},
      {"POST", "/status", "", "", "200 OK", R"("targetsets":1)"},
      {"OPTIONS", "/anything/at/all", "", "", "options"},
      {"options", "/esme", "", "", "options"},
      {"Options", "/esme", "", "", "fallback"},
      {"Get", "/esme", kAuth, "", "fallback"},
      {"get", "/esme", kAuth, "", "200 OK", R"(["acme"])"},
      // Without a valid token.
      {"GET", "/esme", "", "", "401 Unauthorised", "{}"},
      {"POST", "/esme", "Content-Type: application/json", "{}", "401 Unauthorised"},
      {"GET", "/nothing", "", "", "401 Unauthorised"},
      {"GET", "/esme", "Authorization: bearer {token}", "", "401 Unauthorised"},
      {"GET", "/esme", "Authorization: Bearer  {token}", "", "401 Unauthorised"},
      {"GET", "/esme", "Authorization: Bearer", "", "401 Unauthorised"},
      {"GET", "/esme", "Authorization: Bearer x{token}", "", "401 Unauthorised"},
      {"GET", "/nothing", kAuth, "", "fallback"},
      // The token endpoint: its refusals carry the status text "OK".
      {"POST", "/oauth2/v1/token", kForm, kCredentials, "200 OK", "\"access_token\":"},
      {"POST", "/oauth2/v1/token", kForm,
       "grant_type=client_credentials&client_id=admin&client_secret=pw", "400 OK"},
      {"POST", "/oauth2/v1/token", kForm, "grant_type=refresh_token&refresh_token=x&scope=api",
       "401 OK"},
      {"PUT", "/oauth2/v1/token", kForm, kCredentials + "x", "401 OK"},
      {"POST", "/oauth2/v1/token", kForm + "; charset=utf-8", kCredentials, "fallback"},
      {"POST", "/oauth2/v1/token", "", kCredentials, "fallback"},
      {"POST", "/oauth2/v1/other", kForm, kCredentials, "fallback"},
      // Customers.
      {"POST", "/esme", kJSON, R"({"systemid":"beta","targetset":"ts1"})", "200 ESME added beta"},
      {"GET", "/esme/beta", kAuth, "", "200 OK",
       R"({"sharedtargetsetid":"ts1","systemid":"beta"})"},
      {"PUT", "/esme/beta", kJSON, R"({"targetset":"ts2"})", "200 ESME modified beta"},
      {"DELETE", "/esme/beta", kAuth, "", "200 ESME removed beta"},
      {"GET", "/esme/beta", kAuth, "", "400 ESME not found beta", "null"},
      {"GET", "/esme/ac%6De", kAuth, "", "400 ESME not found ac%6De"},  // not percent-decoded
      // Target sets and targets.
      {"POST", "/targetsets", kJSON, R"({"id":"ts2","name":"Second","submits_enabled":false})",
       "200 Target set added ts2"},
      {"GET", "/targetsets", kAuth, "", "200 OK", R"(["ts1","ts2"])"},
      {"GET", "/targetsets/ts1", kAuth, "", "200 Target set found ts1", R"("target-names":["t1"])"},
      {"PUT", "/targetsets/ts2", kJSON, R"({"name":"Renamed","submits_enabled":true})",
       "200 Target set modified ts2"},
      {"DELETE", "/targetsets/ts2", kAuth, "", "200 Target set removed ts2"},
      {"GET", "/targetsets/ts1/targets", kAuth, "", "200 Target names listed ts1", R"(["t1"])"},
      {"POST", "/targetsets/ts1/targets", kJSON, target, "200 Target added t2"},
      {"GET", "/targetsets/ts1/targets/t2", kAuth, "", "200 Target found t2 (target set ts1)",
       R"("bindqty":1)"},
      {"PUT", "/targetsets/ts1/targets/t2", kJSON, R"({"weight":5})", "200 Target modified t2"},
      {"DELETE", "/targetsets/ts1/targets/t2", kAuth, "", "200 Target removed successfully t2"},
      // The set id ends at the first "/targets/"; the name is all that follows.
      {"GET", "/targetsets/ts1/targets/t1/targets", kAuth, "",
       "400 Target not found t1/targets (target set ts1)"},
      {"GET", "/targetsets/targets", kAuth, "", "400 Target set not found targets"},
      {"GET", "/targetsets/ts1/", kAuth, "", "fallback"},
      {"DELETE", "/targetsets/ts1/other", kAuth, "", "fallback"},
      // JSON bodies: the exact content type, a body that parses, an
      // operation that does not throw, a known route.
      {"POST", "/esme", kJSON + "; charset=utf-8", R"({"systemid":"x","targetset":"ts1"})",
       "fallback"},
      {"POST", "/esme", kAuth, R"({"systemid":"x","targetset":"ts1"})", "fallback"},
      {"POST", "/esme", kJSON, "{\"systemid\":", "400 Bad request", "{}"},
      {"POST", "/esme", kJSON, R"({"systemid":"bad","targetset":"ts1","tpslimit":"many"})",
       "400 Bad request"},
      {"POST", "/unknown", kJSON, "{}", "fallback"},
      {"PATCH", "/esme/acme", kJSON, "{}", "fallback"},
      {"POST", "/esme", kJSON, R"({"systemid":"x","targetset":"ts1"})", "200 ESME added x"},
      // The control operation.
      {"POST", "/control", kJSON, R"({"log.level":"DEBUG"})", "400 Unknown command"},
      {"POST", "/control", kJSON, "[]", "400 Unknown command"},
      {"POST", "/control", kJSON, R"({"log.audit":"yes"})", "400 Bad command"},
      {"POST", "/control", kJSON, R"({"log.audit":true})", "200 OK", "{}"},
  };
  testing::internal::CaptureStdout();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.path + " " + c.headers + " " + c.body);
    HTTPResponse r = send(c.method, c.path, c.headers, c.body);
    EXPECT_EQ(summary(r), c.expected);
    EXPECT_NE(r.body.find(c.bodyHolds), std::string::npos) << r.body;
    if (c.expected == "401 Unauthorised") {
      EXPECT_TRUE(r.body == "{}" && r.contentType == "application/json");
    }
    if (c.expected == "400 OK" || c.expected == "401 OK") {
      EXPECT_EQ(r.body, "");
    }
  }
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(auditEnabled());
  EXPECT_NE(out.find("WARNING Application::handle_http_request Exception thrown"),
            std::string::npos);
  auto esmes = config_->esmeRecordsCopy();
  EXPECT_EQ(esmes.size(), 2u);  // acme and x: no refused or unauthorised change landed
  EXPECT_EQ(esmes.count("x"), 1u);
}

TEST_F(AdminRoutesTest, ATokenIssued901SecondsAgoIsRefused) {
  EXPECT_EQ(summary(send("GET", "/esme", kAuth, "", kNow + 899 * kSecond)), "200 OK");
  EXPECT_EQ(summary(send("GET", "/esme", kAuth, "", kNow + 901 * kSecond)), "401 Unauthorised");
}

TEST_F(AdminRoutesTest, DeeplyNestedBodyIsRefusedQuicklyAndChangesNothing) {
  std::string fileBefore = dir_.read("pelliro.conf");
  std::string body =
      R"({"systemid": "deep", "targetset": "ts1", "inboundmo": )" + std::string(100000, '[');
  testing::internal::CaptureStdout();
  auto start = std::chrono::steady_clock::now();
  HTTPResponse r = send("POST", "/esme", kJSON, body);
  auto took = std::chrono::steady_clock::now() - start;
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(summary(r), "400 Bad request");
  EXPECT_LT(took, std::chrono::seconds(1));
  EXPECT_NE(out.find("Refused a JSON body nested deeper than 32 levels"), std::string::npos) << out;
  EXPECT_EQ(config_->esmeRecordsCopy().count("deep"), 0u);
  EXPECT_EQ(dir_.read("pelliro.conf"), fileBefore);
  // Nesting up to the limit is still an ordinary body.
  std::string edge = R"({"systemid": "edge", "targetset": "ts1", "colour": )" +
                     std::string(31, '[') + std::string(31, ']') + "}";
  EXPECT_EQ(summary(send("POST", "/esme", kJSON, edge)), "200 ESME added edge");
}

TEST(JSONNestingTest, CountsOnlyBracketsOutsideStrings) {
  const struct {
    const char* text;
    size_t maxDepth;
    bool exceeds;
  } cases[] = {
      {"[[]]", 1, true},           {"[[]]", 2, false},          {"[],[],[]", 1, false},
      {R"({"a": {}})", 1, true},   {R"(["[[[[", "{{{{"])", 1, false},
      {R"(["\"[[[", "\\", [])", 1, true}, {R"(["\"[[[", "\\"])", 1, false}, {"]]]][[", 1, true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(jsonNestingExceeds(c.text, c.maxDepth), c.exceeds) << c.text;
}

TEST_F(AdminRoutesTest, StatusTextsCannotInjectHeaders) {
  HTTPResponse r = send("POST", "/esme", kJSON,
                        json{{"systemid", "y\r\nSet-Cookie: a=b"}, {"targetset", "ts1"}}.dump());
  EXPECT_EQ(r.statusText, "ESME added y\r\nSet-Cookie: a=b");
  EXPECT_EQ(r.wire().find("\r\nSet-Cookie"), std::string::npos);
  EXPECT_TRUE(r.wire().starts_with("HTTP/1.1 200 ESME added y  Set-Cookie: a=b\r\n"));
}

}  // namespace
