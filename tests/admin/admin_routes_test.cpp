#include "admin/admin_routes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
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

class AdminRoutesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previousDirectory_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    dir_.write("pelliro.conf", kConfiguration);
    config_ = std::make_unique<OstrelConfiguration>(dir_.file("pelliro.conf"));
    bool notFound = false;
    ASSERT_TRUE(config_->performLoad(notFound));
    auth_.registerAPIClient("admin", "pw");
    routes_ = std::make_unique<AdminRoutes>(*config_, auth_);
    token_ = auth_.generateAccessToken(kNow);
  }
  void TearDown() override {
    setAuditEnabled(false);
    std::filesystem::current_path(previousDirectory_);
  }

  // Builds the request as bytes and parses it as the server does.
  HTTPResponse send(const std::string& method, const std::string& path,
                    const std::string& body = "", std::vector<std::string> headers = {},
                    uint64_t now = kNow) {
    std::string raw = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    for (const std::string& header : headers) raw += header + "\r\n";
    if (!body.empty()) raw += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    raw += "\r\n" + body;
    RequestFrame frame = frameHTTPRequest(raw);
    EXPECT_EQ(frame.status, FrameStatus::kComplete);
    HTTPRequest request;
    EXPECT_TRUE(parseHTTPRequest(raw, frame.headerLength, request));
    return routes_->handle(request, "127.0.0.1", now);
  }
  std::string bearer() const { return "Authorization: Bearer " + token_; }
  HTTPResponse get(const std::string& path) { return send("GET", path, "", {bearer()}); }
  HTTPResponse del(const std::string& path) { return send("DELETE", path, "", {bearer()}); }
  HTTPResponse sendJSON(const std::string& method, const std::string& path,
                        const nlohmann::json& body) {
    return send(method, path, body.dump(), {bearer(), "Content-Type: application/json"});
  }

  testing_support::TempDir dir_;
  std::string previousDirectory_;
  std::unique_ptr<OstrelConfiguration> config_;
  APIAuthStore auth_;
  std::unique_ptr<AdminRoutes> routes_;
  std::string token_;
};

void expectResponse(const HTTPResponse& r, int code, const std::string& status) {
  EXPECT_EQ(r.kind, HTTPResponse::Kind::kNormal);
  EXPECT_EQ(r.code, code);
  EXPECT_EQ(r.statusText, status);
}

void expectFallback(const HTTPResponse& r) {
  EXPECT_EQ(r.kind, HTTPResponse::Kind::kFallback);
  EXPECT_EQ(r.wire(), "HTTP/1.1 200 OK\r\n\r\nOK");
}

void expectUnauthorised(const HTTPResponse& r) {
  expectResponse(r, 401, "Unauthorised");
  EXPECT_EQ(r.contentType, "application/json");
  EXPECT_EQ(r.body, "{}");
}

TEST_F(AdminRoutesTest, MetricsNeedNoTokenAndAnswerAnyMethod) {
  MetricsRegistry::instance().registerCounter("routeTestCounter", "A counter for the route test.",
                                              false);
  for (const char* method : {"GET", "POST", "DELETE"}) {
    HTTPResponse r = send(method, "/metrics");
    expectResponse(r, 200, "OK");
    EXPECT_EQ(r.contentType, "text/plain");
    EXPECT_NE(r.body.find("routeTestCounter"), std::string::npos);
  }
}

TEST_F(AdminRoutesTest, StatusNeedsNoTokenForGetOrPost) {
  for (const char* method : {"GET", "POST"}) {
    HTTPResponse r = send(method, "/status");
    expectResponse(r, 200, "OK");
    EXPECT_EQ(r.contentType, "text/plain");
    auto report = json::parse(r.body);
    EXPECT_EQ(report["statusReport"], json::array());
    EXPECT_EQ(report["summary"]["targetsets"], 1);
    EXPECT_EQ(report["summary"]["targets"], 0);
  }
}

TEST_F(AdminRoutesTest, StatusReportsTheUpstreamEntriesItIsGiven) {
  AdminRoutes routes(*config_, auth_, [] {
    SMSCEntryStatus entry;
    entry.smscId = 42;
    entry.smscName = "t1";
    entry.bindState = 2;
    entry.connected = true;
    return std::vector<SMSCEntryStatus>{entry};
  });
  HTTPRequest request;
  request.method = "GET";
  request.path = "/status";
  auto report = json::parse(routes.handle(request, "127.0.0.1", kNow).body);
  EXPECT_EQ(report["statusReport"][0]["target_set"], "ts1");
  EXPECT_EQ(report["summary"]["bindTRX"], 1);
}

TEST_F(AdminRoutesTest, OptionsAnswersAnyPathWithTheCORSHeaders) {
  for (const char* method : {"OPTIONS", "options"}) {
    HTTPResponse r = send(method, "/anything/at/all");
    EXPECT_EQ(r.kind, HTTPResponse::Kind::kOptions);
    EXPECT_EQ(
        r.wire(),
        "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nAccess-Control-Allow-Headers: *\r\n"
        "Access-Control-Allow-Methods: *\r\n\r\n{}");
  }
}

TEST_F(AdminRoutesTest, MixedCaseMethodsAreNotRecognised) {
  expectFallback(send("Options", "/esme"));
  expectFallback(send("Get", "/esme", "", {bearer()}));
  expectResponse(send("get", "/esme", "", {bearer()}), 200, "OK");
}

TEST_F(AdminRoutesTest, ProtectedRoutesWithoutATokenAre401) {
  expectUnauthorised(send("GET", "/esme"));
  expectUnauthorised(send("GET", "/targetsets/ts1"));
  expectUnauthorised(send("DELETE", "/esme/acme"));
  expectUnauthorised(send("POST", "/esme", "{}", {"Content-Type: application/json"}));
  expectUnauthorised(send("PUT", "/targetsets/ts1", "{}", {"Content-Type: application/json"}));
  // Nothing was removed.
  EXPECT_EQ(config_->esmeRecordsCopy().count("acme"), 1u);
}

TEST_F(AdminRoutesTest, UnknownPathIs401WithoutATokenAndFallbackWithOne) {
  expectUnauthorised(send("GET", "/nothing"));
  expectFallback(get("/nothing"));
  expectFallback(del("/nothing/else"));
}

TEST_F(AdminRoutesTest, ATokenIssued901SecondsAgoIsRefused) {
  expectResponse(send("GET", "/esme", "", {bearer()}, kNow + 899 * kSecond), 200, "OK");
  expectUnauthorised(send("GET", "/esme", "", {bearer()}, kNow + 901 * kSecond));
}

TEST_F(AdminRoutesTest, BearerMustBeSpelledExactly) {
  expectUnauthorised(send("GET", "/esme", "", {"Authorization: bearer " + token_}));
  expectUnauthorised(send("GET", "/esme", "", {"Authorization: Bearer  " + token_}));
  expectUnauthorised(send("GET", "/esme", "", {"Authorization: Bearer"}));
  expectUnauthorised(send("GET", "/esme", "", {"Authorization: Bearer " + token_.substr(1)}));
  expectResponse(send("GET", "/esme", "", {"AUTHORIZATION: Bearer " + token_}), 200, "OK");
}

TEST_F(AdminRoutesTest, TokenEndpointIssuesATokenThatOpensTheProtectedRoutes) {
  HTTPResponse r = send("POST", "/oauth2/v1/token",
                        "grant_type=client_credentials&scope=api&client_id=admin&client_secret=pw",
                        {"Content-Type: application/x-www-form-urlencoded"});
  expectResponse(r, 200, "OK");
  EXPECT_EQ(r.contentType, "application/json");
  std::string token = json::parse(r.body).at("access_token");
  expectResponse(send("GET", "/esme", "", {"Authorization: Bearer " + token}), 200, "OK");
}

TEST_F(AdminRoutesTest, TokenEndpointRefusalsCarryStatusTextOKAndNoBody) {
  const std::vector<std::string> form = {"Content-Type: application/x-www-form-urlencoded"};
  HTTPResponse noScope =
      send("POST", "/oauth2/v1/token",
           "grant_type=client_credentials&client_id=admin&client_secret=pw", form);
  expectResponse(noScope, 400, "OK");
  EXPECT_EQ(noScope.body, "");
  HTTPResponse refresh =
      send("POST", "/oauth2/v1/token", "grant_type=refresh_token&refresh_token=x&scope=api", form);
  expectResponse(refresh, 401, "OK");
  HTTPResponse wrong =
      send("PUT", "/oauth2/v1/token",
           "grant_type=client_credentials&scope=api&client_id=admin&client_secret=no", form);
  expectResponse(wrong, 401, "OK");
}

TEST_F(AdminRoutesTest, TokenEndpointNeedsTheExactFormContentType) {
  const std::string body =
      "grant_type=client_credentials&scope=api&client_id=admin&client_secret=pw";
  expectFallback(send("POST", "/oauth2/v1/token", body,
                      {"Content-Type: application/x-www-form-urlencoded; charset=utf-8"}));
  expectFallback(send("POST", "/oauth2/v1/token", body));
  expectFallback(
      send("POST", "/oauth2/v1/other", body, {"Content-Type: application/x-www-form-urlencoded"}));
  // GET never reaches the token endpoint: it is a protected method.
  expectUnauthorised(send("GET", "/oauth2/v1/token"));
}

TEST_F(AdminRoutesTest, JSONRoutesNeedTheExactJSONContentType) {
  const std::string body = R"({"systemid":"x","targetset":"ts1"})";
  expectFallback(
      send("POST", "/esme", body, {bearer(), "Content-Type: application/json; charset=utf-8"}));
  expectFallback(send("POST", "/esme", body, {bearer()}));
  EXPECT_EQ(config_->esmeRecordsCopy().count("x"), 0u);
  expectResponse(send("POST", "/esme", body, {bearer(), "Content-Type: Application/JSON"}), 200,
                 "ESME added x");
}

TEST_F(AdminRoutesTest, MalformedJSONBodyIsABadRequestNotASuccess) {
  testing::internal::CaptureStdout();
  HTTPResponse r =
      send("POST", "/esme", "{\"systemid\":", {bearer(), "Content-Type: application/json"});
  std::string out = testing::internal::GetCapturedStdout();
  expectResponse(r, 400, "Bad request");
  EXPECT_EQ(r.body, "{}");
  EXPECT_EQ(r.contentType, "application/json");
  EXPECT_NE(out.find("WARNING Application::handle_http_request Exception thrown"),
            std::string::npos)
      << out;
}

TEST_F(AdminRoutesTest, DeeplyNestedBodyIsRefusedQuicklyAndChangesNothing) {
  std::string fileBefore = dir_.read("pelliro.conf");
  std::string body =
      R"({"systemid": "deep", "targetset": "ts1", "inboundmo": )" + std::string(100000, '[');
  testing::internal::CaptureStdout();
  auto start = std::chrono::steady_clock::now();
  HTTPResponse r = send("POST", "/esme", body, {bearer(), "Content-Type: application/json"});
  auto took = std::chrono::steady_clock::now() - start;
  std::string out = testing::internal::GetCapturedStdout();
  expectResponse(r, 400, "Bad request");
  EXPECT_LT(took, std::chrono::seconds(1));
  EXPECT_NE(out.find("Refused a JSON body nested deeper than 32 levels"), std::string::npos) << out;
  EXPECT_EQ(config_->esmeRecordsCopy().count("deep"), 0u);
  EXPECT_EQ(dir_.read("pelliro.conf"), fileBefore);
  // Nesting up to the limit is still an ordinary body.
  std::string edge = R"({"systemid": "edge", "targetset": "ts1", "colour": )" +
                     std::string(31, '[') + std::string(31, ']') + "}";
  expectResponse(send("POST", "/esme", edge, {bearer(), "Content-Type: application/json"}), 200,
                 "ESME added edge");
}

TEST(JSONNestingTest, CountsOnlyBracketsOutsideStrings) {
  const struct {
    const char* text;
    size_t maxDepth;
    bool exceeds;
  } cases[] = {
      {"[[]]", 1, true},
      {"[[]]", 2, false},
      {"[],[],[]", 1, false},
      {R"({"a": {}})", 1, true},
      {R"(["[[[[", "{{{{"])", 1, false},
      {R"(["\"[[[", "\\", [])", 1, true},
      {R"(["\"[[[", "\\"])", 1, false},
      {"]]]][[", 1, true},
  };
  for (const auto& c : cases) EXPECT_EQ(jsonNestingExceeds(c.text, c.maxDepth), c.exceeds) << c.text;
}

TEST_F(AdminRoutesTest, AnOperationThatThrowsIsABadRequest) {
  // "tpslimit" of the wrong JSON type makes the operation throw.
  HTTPResponse r =
      sendJSON("POST", "/esme", {{"systemid", "bad"}, {"targetset", "ts1"}, {"tpslimit", "many"}});
  expectResponse(r, 400, "Bad request");
  EXPECT_EQ(config_->esmeRecordsCopy().count("bad"), 0u);
}

TEST_F(AdminRoutesTest, JSONRequestToAnUnknownPathGetsTheFallback) {
  expectFallback(sendJSON("POST", "/unknown", json::object()));
  expectFallback(sendJSON("PATCH", "/esme/acme", json::object()));
}

TEST_F(AdminRoutesTest, ControlSwitchesTheAuditLog) {
  setAuditEnabled(false);
  HTTPResponse on = sendJSON("POST", "/control", {{"log.audit", true}});
  expectResponse(on, 200, "OK");
  EXPECT_EQ(on.body, "{}");
  EXPECT_TRUE(auditEnabled());
  expectResponse(sendJSON("POST", "/control", {{"log.audit", false}}), 200, "OK");
  EXPECT_FALSE(auditEnabled());
}

TEST_F(AdminRoutesTest, ControlRefusesUnknownAndBadCommands) {
  expectResponse(sendJSON("POST", "/control", {{"log.level", "DEBUG"}}), 400, "Unknown command");
  expectResponse(sendJSON("POST", "/control", json::array()), 400, "Unknown command");
  expectResponse(sendJSON("POST", "/control", {{"log.audit", "yes"}}), 400, "Bad command");
  EXPECT_FALSE(auditEnabled());
}

TEST_F(AdminRoutesTest, ESMERoutesReachTheirOperations) {
  HTTPResponse list = get("/esme");
  expectResponse(list, 200, "OK");
  EXPECT_EQ(list.body, "[\"acme\"]");

  expectResponse(sendJSON("POST", "/esme", {{"systemid", "beta"}, {"targetset", "ts1"}}), 200,
                 "ESME added beta");
  expectResponse(sendJSON("POST", "/esme", {{"systemid", "beta"}, {"targetset", "ts1"}}), 400,
                 "ESME already exists");
  HTTPResponse view = get("/esme/beta");
  expectResponse(view, 200, "OK");
  EXPECT_EQ(view.body, R"({"sharedtargetsetid":"ts1","systemid":"beta"})");
  expectResponse(sendJSON("PUT", "/esme/beta", {{"targetset", "ts2"}}), 200, "ESME modified beta");
  expectResponse(sendJSON("PUT", "/esme/none", {{"targetset", "ts2"}}), 400, "ESME not found");
  expectResponse(del("/esme/beta"), 200, "ESME removed beta");
  expectResponse(del("/esme/beta"), 400, "ESME not found beta");
  HTTPResponse missing = get("/esme/beta");
  expectResponse(missing, 400, "ESME not found beta");
  EXPECT_EQ(missing.body, "null");
}

TEST_F(AdminRoutesTest, TargetSetRoutesReachTheirOperations) {
  expectResponse(sendJSON("POST", "/targetsets",
                          {{"id", "ts2"}, {"name", "Second"}, {"submits_enabled", false}}),
                 200, "Target set added ts2");
  HTTPResponse list = get("/targetsets");
  expectResponse(list, 200, "OK");
  EXPECT_EQ(list.body, "[\"ts1\",\"ts2\"]");
  HTTPResponse view = get("/targetsets/ts1");
  expectResponse(view, 200, "Target set found ts1");
  EXPECT_EQ(json::parse(view.body)["target-names"], json::array({"t1"}));
  expectResponse(
      sendJSON("PUT", "/targetsets/ts2", {{"name", "Renamed"}, {"submits_enabled", true}}), 200,
      "Target set modified ts2");
  expectResponse(del("/targetsets/ts2"), 200, "Target set removed ts2");
  expectResponse(del("/targetsets/ts2"), 400, "Target set does not exist ts2");
  expectResponse(get("/targetsets/ts2"), 400, "Target set not found ts2");
}

TEST_F(AdminRoutesTest, TargetRoutesReachTheirOperations) {
  HTTPResponse names = get("/targetsets/ts1/targets");
  expectResponse(names, 200, "Target names listed ts1");
  EXPECT_EQ(names.body, "[\"t1\"]");
  expectResponse(sendJSON("POST", "/targetsets/ts1/targets",
                          {{"name", "t2"},
                           {"host", "127.0.0.1"},
                           {"systemid", "u"},
                           {"password", "p"},
                           {"admindown", true}}),
                 200, "Target added t2");
  HTTPResponse view = get("/targetsets/ts1/targets/t2");
  expectResponse(view, 200, "Target found t2 (target set ts1)");
  EXPECT_EQ(json::parse(view.body)["bindqty"], 1);
  expectResponse(sendJSON("PUT", "/targetsets/ts1/targets/t2", {{"weight", 5}}), 200,
                 "Target modified t2");
  expectResponse(del("/targetsets/ts1/targets/t2"), 200, "Target removed successfully t2");
  expectResponse(del("/targetsets/ts1/targets/t2"), 400, "Target not found t2");
  expectResponse(get("/targetsets/ts1/targets/t2"), 400, "Target not found t2 (target set ts1)");
}

TEST_F(AdminRoutesTest, PathPiecesSplitAtTheTargetsSegment) {
  // The set id ends at the first "/targets/"; the name is all that follows.
  expectResponse(get("/targetsets/ts1/targets/t1/targets"), 400,
                 "Target not found t1/targets (target set ts1)");
  // "/targetsets/targets" names a set called "targets".
  expectResponse(get("/targetsets/targets"), 400, "Target set not found targets");
  // A set view may not end in "/"; a removal may not have a further "/".
  expectFallback(get("/targetsets/ts1/"));
  expectFallback(del("/targetsets/ts1/other"));
  // Ids are taken as they stand, without percent-decoding.
  expectResponse(get("/esme/ac%6De"), 400, "ESME not found ac%6De");
}

TEST_F(AdminRoutesTest, StatusTextsCannotInjectHeaders) {
  expectResponse(
      sendJSON("POST", "/esme", {{"systemid", "x\r\nSet-Cookie: a=b"}, {"targetset", "ts1"}}), 200,
      "ESME added x\r\nSet-Cookie: a=b");
  HTTPResponse r =
      sendJSON("POST", "/esme", {{"systemid", "y\r\nSet-Cookie: a=b"}, {"targetset", "ts1"}});
  EXPECT_EQ(r.wire().find("\r\nSet-Cookie"), std::string::npos);
  EXPECT_TRUE(r.wire().starts_with("HTTP/1.1 200 ESME added y  Set-Cookie: a=b\r\n"));
}

}  // namespace
