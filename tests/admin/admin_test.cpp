// The admin interface: request framing and parsing, the routes (each request
// answered by the rule that decides it), the server on a real loopback
// socket, the API client's tokens, and the metrics page.
#include "admin/http_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "admin/api_auth_store.h"
#include "admin/http_request.h"
#include "admin/metrics.h"
#include "base/log.h"
#include "config/ostrel_configuration.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_dir.h"

using testing_support::connectTcp;
using testing_support::readUntilClosed;
using testing_support::writeAll;
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
const char* const kToken = "/oauth2/v1/token";
const std::string kGrant = "grant_type=client_credentials&", kScope = "scope=api&",
                  kId = "client_id=admin&", kSecret = "client_secret=pw";
const std::string kCredentials = kGrant + kScope + kId + kSecret;

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
                    const std::string& body = "") {
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
    return routes_->handle(request, "127.0.0.1", kNow);
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
      // The token endpoint: malformed requests are 400, wrong credentials
      // 401, both with the status text "OK" and no body; a secret must
      // match in full.
      {"POST", kToken, kForm, kCredentials, "200 OK", "\"access_token\":"},
      {"POST", kToken, kForm, kGrant + kId + kSecret, "400 OK"},
      {"POST", kToken, kForm, kGrant + "scope=API&" + kId + kSecret, "400 OK"},
      {"POST", kToken, kForm, kScope + kId + kSecret, "400 OK"},
      {"POST", kToken, kForm, "grant_type=password&" + kScope + kId + kSecret, "400 OK"},
      {"POST", kToken, kForm, "grant_type=refresh_token&" + kScope + kId + kSecret, "400 OK"},
      {"POST", kToken, kForm, "grant_type=refresh_token&refresh_token=x&scope=api", "401 OK"},
      {"POST", kToken, kForm, kGrant + kScope + kSecret, "400 OK"},
      {"POST", kToken, kForm, kGrant + kScope + kId, "400 OK"},
      {"POST", kToken, kForm, kGrant + kScope + kId + "client_secret=Pw", "401 OK"},
      {"POST", kToken, kForm, kGrant + kScope + kId + "client_secret=p", "401 OK"},
      {"POST", kToken, kForm, kGrant + kScope + kId + "client_secret=pw ", "401 OK"},
      {"POST", kToken, kForm, kGrant + kScope + "client_id=other&" + kSecret, "401 OK"},
      // Form values are taken literally, and a repeated field's last value counts.
      {"POST", kToken, kForm, kGrant + kScope + kId + "client_secret=p%77", "401 OK"},
      {"POST", kToken, kForm, kCredentials + "&client_secret=p", "401 OK"},
      {"PUT", kToken, kForm, kCredentials + "x", "401 OK"},
      {"POST", kToken, kForm + "; charset=utf-8", kCredentials, "fallback"},
      {"POST", kToken, "", kCredentials, "fallback"},
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
  // Mismatches are collected while the log is captured, then shown.
  std::string wrong;
  testing::internal::CaptureStdout();
  for (const Case& c : cases) {
    HTTPResponse r = send(c.method, c.path, c.headers, c.body);
    const bool bare = c.expected == "400 OK" || c.expected == "401 OK";
    if (summary(r) != c.expected || r.body.find(c.bodyHolds) == std::string::npos ||
        (c.expected == "401 Unauthorised" && (r.body != "{}" || r.contentType != "application/json")) ||
        (bare && !r.body.empty()))
      wrong += std::string(c.method) + " " + c.path + " " + c.headers + " " + c.body + ": " +
               summary(r) + " " + r.body + "\n";
  }
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(wrong, "");
  EXPECT_TRUE(auditEnabled());
  EXPECT_NE(out.find("WARNING Application::handle_http_request Exception thrown"),
            std::string::npos);
  auto esmes = config_->esmeRecordsCopy();
  EXPECT_EQ(esmes.size(), 2u);  // acme and x: no refused or unauthorised change landed
  EXPECT_EQ(esmes.count("x"), 1u);
  EXPECT_EQ(auth_.tokenCount(), 2u) << "a refused request was issued a token";
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
  // Nesting up to the limit is still an ordinary body; only brackets outside
  // strings count, and a string ends at a quote unless it is escaped.
  const std::string nest32 = std::string(31, '[') + std::string(31, ']') + "}";
  const std::string nest33 = "[" + nest32.substr(0, 62) + "]}";
  const std::pair<std::string, std::string> bodies[] = {
      {R"({"systemid": "edge", "targetset": "ts1", "colour": )" + nest32, "200 ESME added edge"},
      {R"({"systemid": "str", "targetset": "ts1", "a": "\")" + std::string(40, '[') +
           R"(", "b": )" + nest32,
       "200 ESME added str"},
      {R"({"systemid": "esc", "targetset": "ts1", "a": "\\", "b": )" + nest33, "400 Bad request"},
  };
  for (const auto& [edge, expected] : bodies)
    EXPECT_EQ(summary(send("POST", "/esme", kJSON, edge)), expected) << edge;
}

TEST_F(AdminRoutesTest, StatusTextsCannotInjectHeaders) {
  HTTPResponse r = send("POST", "/esme", kJSON,
                        json{{"systemid", "y\r\nSet-Cookie: a=b"}, {"targetset", "ts1"}}.dump());
  EXPECT_EQ(r.statusText, "ESME added y\r\nSet-Cookie: a=b");
  EXPECT_EQ(r.wire().find("\r\nSet-Cookie"), std::string::npos);
  EXPECT_TRUE(r.wire().starts_with("HTTP/1.1 200 ESME added y  Set-Cookie: a=b\r\n"));
}

uint64_t fakeNow = 0;
uint64_t fakeClock() {
  return fakeNow;
}

// The routes above behind a running server on a free loopback port.
class HTTPServerTest : public AdminRoutesTest {
 protected:
  void SetUp() override {
    AdminRoutesTest::SetUp();
    server_ = std::make_unique<HTTPAdminServer>(*routes_);
    server_->prepare();
    thread_ = std::thread([this] { server_->run(0); });
    ASSERT_TRUE(server_->awaitStarted(std::chrono::seconds(5)));
    port_ = server_->boundPort();
  }
  void TearDown() override {
    server_->requestStop();
    if (thread_.joinable()) thread_.join();
    EXPECT_FALSE(server_->running());
    MetricsRegistry::instance().setClockForTesting(nullptr);
    MetricsRegistry::instance().clearForTesting();
    AdminRoutesTest::TearDown();
  }

  // Sends `raw` on a fresh connection and reads until the server closes it.
  std::string exchange(const std::string& raw) {
    int fd = connectTcp("127.0.0.1", port_);
    EXPECT_GE(fd, 0);
    writeAll(fd, raw);
    std::string response = readUntilClosed(fd, std::chrono::seconds(10));
    close(fd);
    return response;
  }

  std::unique_ptr<HTTPAdminServer> server_;
  std::thread thread_;
  int port_ = 0;
};

// A "/metrics" page of `series` counters; its text.
std::string bigMetricsPage(int series) {
  MetricsRegistry& registry = MetricsRegistry::instance();
  registry.clearForTesting();
  fakeNow = kNow;
  registry.setClockForTesting(&fakeClock);
  registry.registerCounter("bigFamily", "Many series.", true);
  for (int i = 0; i < series; ++i)
    registry.incrementCounter(seriesKey("bigFamily", {{"esme", "customer" + std::to_string(i)}}));
  return registry.renderMetrics();
}

// What each peer gets. A request split across writes is read whole, and
// nothing after it; one closing at once, or one that cannot be parsed, gets
// no answer; one closing in its body, stalling, or sending an endless header
// block is refused with 400 within the read deadline (which requests cannot
// be framed is the reader's to decide); an answer larger than 64 KiB
// arrives whole.
TEST_F(HTTPServerTest, EachConnectionGetsTheWholeAnswerOrItsRefusal) {
  server_->setDeadlines(std::chrono::milliseconds(300), kHTTPSendDeadline);
  const std::string body = kCredentials;
  const std::string whole =
      "POST /oauth2/v1/token HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
      "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  // Byte by byte through the header block's end, then the body in two parts
  // and the start of another request.
  const size_t split = whole.find("\r\n\r\n") + 4;
  std::vector<std::string> trickle;
  for (size_t i = 0; i < split; ++i) trickle.push_back(whole.substr(i, 1));
  trickle.push_back(whole.substr(split, 5));
  trickle.push_back(whole.substr(split + 5) + "GET /status HTTP/1.1\r\n\r\n");
  const std::string refused = "HTTP/1.1 400 Bad request\r\n";
  const struct {
    const char* name;
    std::vector<std::string> writes;
    bool close;  // the peer ends its side after writing
    std::string starts;
  } cases[] = {
      {"split across writes", trickle, false, "HTTP/1.1 200 OK\r\n"},
      {"closed at once", {}, true, ""},
      {"closed in the body", {whole.substr(0, split + 1)}, true, refused},
      {"stalled", {"GET /metrics HTTP/1.1\r\n"}, false, refused},
      {"endless header block", std::vector<std::string>(40, std::string(64 * 1024, 'a')), true,
       refused},
      {"no blank at all", {"NOBLANKREQUEST\r\n\r\n"}, false, ""},
      {"no blank after the path", {"GET /metrics\r\n\r\n"}, false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int fd = connectTcp("127.0.0.1", port_);
    ASSERT_GE(fd, 0);
    std::thread writer([&] {
      for (size_t i = 0; i < c.writes.size() && writeAll(fd, c.writes[i]); ++i) {
        if (i % 8 == 7) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      if (c.close) shutdown(fd, SHUT_WR);
    });
    auto started = std::chrono::steady_clock::now();
    std::string response = readUntilClosed(fd, std::chrono::seconds(10));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    shutdown(fd, SHUT_RDWR);  // a writer still blocked gives up
    writer.join();
    close(fd);
    EXPECT_TRUE(response.starts_with(c.starts)) << response.substr(0, 200);
    if (c.starts.empty()) {
      EXPECT_EQ(response, "");
    }
    if (c.writes == trickle) {
      EXPECT_NE(response.find("\"access_token\":"), std::string::npos) << response;
      EXPECT_EQ(response.find("HTTP/1.1", 1), std::string::npos) << "answered what followed";
    }
  }

  std::string expected = bigMetricsPage(3000);
  ASSERT_GT(expected.size(), 65536u * 2);
  std::string response = exchange("GET /metrics HTTP/1.1\r\n\r\n");
  const std::string head =
      "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nContent-Type: text/plain\r\n\r\n";
  ASSERT_TRUE(response.starts_with(head));
  EXPECT_EQ(response.size(), head.size() + expected.size());
  EXPECT_TRUE(response.substr(head.size()) == expected);
}

TEST_F(HTTPServerTest, ClientReadingAByteAtATimeIsCutOffAndTheNextIsServedRightAfter) {
  server_->setDeadlines(kHTTPReadTimeout, std::chrono::milliseconds(300));
  // A "/metrics" answer far larger than both ends' socket buffers.
  const size_t full = bigMetricsPage(20000).size();

  using Clock = std::chrono::steady_clock;
  std::atomic<size_t> got{0};
  Clock::duration cutOffAfter{};
  std::thread slowReader([&] {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int tiny = 1024;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port_));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    writeAll(fd, "GET /metrics HTTP/1.1\r\n\r\n");
    auto start = Clock::now();
    while (Clock::now() - start < std::chrono::seconds(10)) {
      char byte;
      if (recv(fd, &byte, 1, 0) <= 0) break;
      ++got;
      // Steady progress, a byte every tenth of a millisecond: never a pause
      // that looks like a stalled client, yet minutes for the whole answer.
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    cutOffAfter = Clock::now() - start;
    close(fd);
  });
  auto waitStart = Clock::now();
  while (got.load() == 0 && Clock::now() - waitStart < std::chrono::seconds(10))
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  auto next = Clock::now();
  std::string response = exchange("GET /status HTTP/1.1\r\n\r\n");
  auto nextServedAfter = Clock::now() - next;
  slowReader.join();
  EXPECT_TRUE(response.starts_with("HTTP/1.1 200 OK\r\n")) << response;
  EXPECT_LT(nextServedAfter, std::chrono::seconds(2));
  EXPECT_LT(cutOffAfter, std::chrono::seconds(2));
  EXPECT_LT(got.load(), full);
}

// Which requests are refused before they are read whole: Transfer-Encoding,
// two different lengths, a length that is not a plain decimal number, and
// anything past the size bound. (Requests cut short, split, followed by the
// next or endless, the server's socket-level table sends.)
TEST(HTTPRequestFrame, ContentLengthDecidesWhereTheRequestEndsAndBadFramesAreRefused) {
  const std::string head = "POST /esme HTTP/1.1\r\nContent-Length: 10\r\n\r\n";
  const std::string post = "POST / HTTP/1.1\r\n";
  struct Case {
    std::string raw;
    FrameStatus status;
    size_t length = 0;  // of a complete request; 0 for all of `raw`
    size_t limit = kMaxHTTPRequestBytes;
  } cases[] = {
      {"POST /oauth2/v1/token HTTP/1.1\r\n\r\nscope=api", FrameStatus::kComplete},
      {post + "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n", FrameStatus::kBad},
      {post + "Content-Length: 1\r\nContent-Length: 2\r\n\r\nab", FrameStatus::kBad},
      {post + "Content-Length: 2\r\ncontent-length: 2\r\n\r\nab", FrameStatus::kComplete},
      {post + "Content-Length: 1048577\r\n\r\n", FrameStatus::kBad},
      {head + "1234567890", FrameStatus::kBad, 0, head.size() + 9},
      {head + "1234567890", FrameStatus::kComplete, head.size() + 10, head.size() + 10},
  };
  for (const Case& c : cases) {
    RequestFrame frame = frameHTTPRequest(c.raw, c.limit);
    EXPECT_EQ(frame.status, c.status) << c.raw.substr(0, 80);
    if (c.status == FrameStatus::kComplete) {
      EXPECT_EQ(frame.length, c.length ? c.length : c.raw.size()) << c.raw;
    }
  }
  EXPECT_EQ(frameHTTPRequest(head + "1234567890").headerLength, head.size());
  for (const char* value : {"", "-1", "0x10", "1 2", "+3", "99999999999999999999999"}) {
    EXPECT_EQ(frameHTTPRequest(post + "Content-Length: " + value + "\r\n\r\n").status,
              FrameStatus::kBad)
        << value;
  }
}

using Fields = std::map<std::string, std::string>;

Fields credentials(const std::string& id, const std::string& secret) {
  return {{"grant_type", "client_credentials"},
          {"scope", "api"},
          {"client_id", id},
          {"client_secret", secret}};
}

class APIAuthStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { store.registerAPIClient("admin", "s3cret"); }
  int issue(const Fields& fields, const std::string& peer = "p", uint64_t now = kNow) {
    body.clear();
    return store.issueToken(fields, peer, now, body);
  }
  APIAuthStore store;
  std::string body;
};

TEST_F(APIAuthStoreTest, RegisteredClientGetsA32CharacterTokenThatExpiresIn900Seconds) {
  ASSERT_EQ(issue(credentials("admin", "s3cret")), 200);
  std::string token = nlohmann::json::parse(body).at("access_token");
  EXPECT_EQ(token.size(), 32u);
  EXPECT_EQ(body, "{\"access_token\":\"" + token + "\",\"expires_in\":900,\"refresh_token\":\"" +
                      token + "\",\"token_type\":\"access\"}");
  EXPECT_TRUE(store.tokenValid(token, kNow + 900 * kSecond - 1));
  EXPECT_FALSE(store.tokenValid(token, kNow + 900 * kSecond));
  EXPECT_FALSE(store.tokenValid(token + "x", kNow));
  // An empty id registers nothing; registering replaces the earlier client.
  store.registerAPIClient("", "s3cret");
  EXPECT_EQ(issue(credentials("", "s3cret")), 401);
  EXPECT_EQ(issue(credentials("admin", "s3cret")), 401);
  store.registerAPIClient("ops", "other");
  EXPECT_EQ(issue(credentials("ops", "other")), 200);
  // Tokens differ from one issue to the next, and between two stores.
  EXPECT_NE(nlohmann::json::parse(body).at("access_token"), token);
  APIAuthStore first, second;
  EXPECT_NE(first.generateAccessToken(kNow), second.generateAccessToken(kNow));
}

TEST_F(APIAuthStoreTest, TenthFailureFromOneAddressLocksItOutForTheRestOfTheWindow) {
  testing::internal::CaptureStdout();
  // Malformed requests do not count as failed attempts.
  Fields noScope = credentials("admin", "guess");
  noScope.erase("scope");
  // The answers are compared once the log capture has ended, so that a
  // mismatch shows.
  std::vector<int> codes, expected(20, 400);
  for (int i = 0; i < 20; ++i) codes.push_back(issue(noScope, "10.0.0.1"));
  for (int i = 0; i < 9; ++i) codes.push_back(issue(credentials("admin", "guess"), "10.0.0.3"));
  codes.push_back(issue(credentials("admin", "s3cret"), "10.0.0.3"));  // nine are not enough
  for (int i = 0; i < 15; ++i)
    codes.push_back(issue(credentials("admin", "guess"), "10.0.0.1", kNow + i * kSecond));
  std::string out = testing::internal::GetCapturedStdout();
  expected.insert(expected.end(), 9, 401);
  expected.push_back(200);
  expected.insert(expected.end(), 15, 401);
  EXPECT_EQ(codes, expected);
  // Even the right secret is now refused unheard, until the window (15
  // minutes from the first failure) ends; another address is not affected.
  EXPECT_EQ(issue(credentials("admin", "s3cret"), "10.0.0.1", kNow + 899 * kSecond), 401);
  EXPECT_EQ(issue(credentials("admin", "s3cret"), "10.0.0.2", kNow + 60 * kSecond), 200);
  EXPECT_EQ(issue(credentials("admin", "s3cret"), "10.0.0.1", kNow + 900 * kSecond), 200);
  const std::string line =
      "WARNING Application::issueToken Refusing client credentials from 10.0.0.1";
  size_t first = out.find(line);
  ASSERT_NE(first, std::string::npos) << out;
  EXPECT_EQ(out.find(line, first + 1), std::string::npos) << out;
  // Failures of an earlier window do not count: a new one starts with the
  // next failure after 15 minutes.
  for (int i = 0; i < 9; ++i) issue(credentials("admin", "guess"), "10.0.0.4", kNow);
  for (int i = 0; i < 9; ++i)
    issue(credentials("admin", "guess"), "10.0.0.4", kNow + 901 * kSecond);
  EXPECT_EQ(issue(credentials("admin", "s3cret"), "10.0.0.4", kNow + 902 * kSecond), 200);
}

class MetricsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fakeNow = 1700000000123456ULL;
    registry().clearForTesting();
    registry().setClockForTesting(&fakeClock);
  }
  void TearDown() override {
    registry().setClockForTesting(nullptr);
    registry().clearForTesting();
  }
  static MetricsRegistry& registry() { return MetricsRegistry::instance(); }
};

// A rate is a gauge stamped with the start of the window it shows.
TEST_F(MetricsTest, RateShowsTheLastCompletedWindowOnceItRollsAfterMoreThanOneSecond) {
  registry().registerRate("smppSubmitSMRate", "Rate.", true);
  const std::string key = seriesKey("smppSubmitSMRate", {{"esme", "acme"}, {"smsc", "t1"}});
  const std::string sample = "pelliro_smppSubmitSMRate{esme=\"acme\",smsc=\"t1\"} ";
  const uint64_t windowStart = fakeNow;
  registry().incrementRate(key);
  fakeNow += 999999;
  registry().addRate("smppSubmitSMRate", {{"esme", "acme"}, {"smsc", "t1"}}, 2);  // same window
  EXPECT_NE(registry().renderMetrics().find(sample + "0 "), std::string::npos);
  fakeNow += 2;
  std::string page = registry().renderMetrics();
  EXPECT_NE(page.find("# TYPE pelliro_smppSubmitSMRate gauge\n" + sample + "3 " +
                      std::to_string(windowStart / 1000) + "\n"),
            std::string::npos)
      << page;
}

TEST_F(MetricsTest, LabelledBumpsFindTheSeriesOfTheirOwnValues) {
  // Values that run together the same way must still be told apart.
  const std::pair<std::string, std::string> cases[] = {{"ab", "c"}, {"a", "bc"}, {"", "abc"},
                                                       {"abc", ""}, {"a\"b", "c"}};
  for (int round = 1; round <= 2; ++round) {
    for (const auto& [esme, smsc] : cases) {
      registry().incrementCounter("smppSubmitSM", {{"esme", esme}, {"smsc", smsc}});
      EXPECT_EQ(registry().counterValue(seriesKey("smppSubmitSM", {{"esme", esme}, {"smsc", smsc}})),
                uint64_t(round))
          << esme << "/" << smsc;
    }
  }
  // Label values are escaped so that the page stays parsable; a family's
  // series follow its TYPE line together, in order.
  registry().registerCounter("smppSubmitSM_ESME", "Submits by ESME.", true);
  std::string key = seriesKey("smppSubmitSM_ESME", {{"esme", "a\"b\\c\nd"}});
  EXPECT_EQ(key, "smppSubmitSM_ESME{esme=\"a\\\"b\\\\c\\nd\"}");
  registry().incrementCounter(key);
  registry().incrementCounter("smppSubmitSM_ESME", {{"esme", "b"}});
  EXPECT_NE(registry().renderMetrics().find(
                "# TYPE pelliro_smppSubmitSM_ESME counter\npelliro_" + key +
                " 1 1700000000123\npelliro_smppSubmitSM_ESME{esme=\"b\"} 1 1700000000123\n"),
            std::string::npos);
}

TEST_F(MetricsTest, ConcurrentBumpsAreNeverLost) {
  registry().setClockForTesting(nullptr);
  constexpr int kThreads = 4, kBumps = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kBumps; ++i) {
        registry().incrementCounter("smppSubmitSMTotal");
        registry().incrementCounter("smppSubmitSM_ESME", {{"esme", std::to_string(t)}});
        registry().addGauge("g", 1);
        registry().incrementRate("r");
      }
    });
  }
  std::thread reader([] {
    for (int i = 0; i < 50; ++i) registry().renderMetrics();
  });
  for (auto& th : threads) th.join();
  reader.join();
  EXPECT_EQ(registry().counterValue("smppSubmitSMTotal"), uint64_t{kThreads} * kBumps);
  EXPECT_EQ(registry().counterValue(seriesKey("smppSubmitSM_ESME", {{"esme", "2"}})),
            uint64_t{kBumps});
  EXPECT_EQ(registry().gaugeValue("g"), int64_t{kThreads} * kBumps);
}

}  // namespace
