#include "admin/http_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "admin/metrics.h"
#include "config/ostrel_configuration.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_dir.h"

using nlohmann::json;
using testing_support::connectTcp;
using testing_support::readUntilClosed;
using testing_support::writeAll;

namespace {

uint64_t frozenClock() {
  return 1700000000000000ULL;
}

std::string tokenRequest() {
  const std::string form =
      "grant_type=client_credentials&scope=api&client_id=admin&client_secret=pw";
  return "POST /oauth2/v1/token HTTP/1.1\r\nContent-Type: "
         "application/x-www-form-urlencoded\r\nContent-Length: " +
         std::to_string(form.size()) + "\r\n\r\n" + form;
}

class HTTPServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previousDirectory_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    dir_.write(
        "pelliro.conf",
        R"({"base": {}, "targetsets": [{"id": "ts1", "name": "n", "submits_enabled": true, "targets": []}],
                   "esme": [], "routes-mt": [], "routes-mo": []})");
    config_ = std::make_unique<OstrelConfiguration>(dir_.file("pelliro.conf"));
    bool notFound = false;
    ASSERT_TRUE(config_->performLoad(notFound));
    auth_.registerAPIClient("admin", "pw");
    routes_ = std::make_unique<AdminRoutes>(*config_, auth_);
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
    std::filesystem::current_path(previousDirectory_);
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

  std::string token() {
    std::string response = exchange(tokenRequest());
    size_t body = response.find("\r\n\r\n");
    return json::parse(response.substr(body + 4)).at("access_token");
  }

  testing_support::TempDir dir_;
  std::string previousDirectory_;
  std::unique_ptr<OstrelConfiguration> config_;
  APIAuthStore auth_;
  std::unique_ptr<AdminRoutes> routes_;
  std::unique_ptr<HTTPAdminServer> server_;
  std::thread thread_;
  int port_ = 0;
};

TEST_F(HTTPServerTest, StatusIsServedWithTheCORSHeader) {
  std::string response = exchange("GET /status HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_TRUE(response.starts_with(
      "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nContent-Type: text/plain\r\n\r\n{"))
      << response;
  EXPECT_NE(response.find("\"targetsets\":1"), std::string::npos);
}

TEST_F(HTTPServerTest, HeaderNamesInCapitalsAreRecognisedAndTheTokenKeepsItsCase) {
  std::string t = token();
  std::string response =
      exchange("GET /targetsets HTTP/1.1\r\nAUTHORIZATION: Bearer " + t + "\r\n\r\n");
  EXPECT_TRUE(response.starts_with("HTTP/1.1 200 OK\r\n")) << response;
  std::string lowered = t;
  for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lowered != t) {
    response =
        exchange("GET /targetsets HTTP/1.1\r\nAuthorization: Bearer " + lowered + "\r\n\r\n");
    EXPECT_TRUE(response.starts_with("HTTP/1.1 401 Unauthorised\r\n")) << response;
  }
}

TEST_F(HTTPServerTest, DeclaredBodyPastTheBoundIs400) {
  std::string response = exchange(
      "POST /esme HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: 2000000\r\n\r\n{");
  EXPECT_TRUE(response.starts_with("HTTP/1.1 400 Bad request\r\n")) << response;
}

TEST_F(HTTPServerTest, OverLargeRequestIsAnswered400OrClosedAndNeverServed) {
  int fd = connectTcp("127.0.0.1", port_);
  ASSERT_GE(fd, 0);
  std::thread writer([fd] {
    std::string chunk = "GET /status HTTP/1.1\r\n" + std::string(64 * 1024, 'x');
    for (int i = 0; i < 24; ++i) {
      if (!writeAll(fd, chunk)) break;
    }
  });
  std::string response = readUntilClosed(fd, std::chrono::seconds(10));
  shutdown(fd, SHUT_RDWR);
  writer.join();
  close(fd);
  EXPECT_TRUE(response.empty() || response.starts_with("HTTP/1.1 400 Bad request\r\n"))
      << response.substr(0, 200);
  EXPECT_TRUE(exchange("GET /status HTTP/1.1\r\n\r\n").starts_with("HTTP/1.1 200 OK"));
}

TEST_F(HTTPServerTest, BodyCutShortByTheClientIs400) {
  int fd = connectTcp("127.0.0.1", port_);
  ASSERT_GE(fd, 0);
  writeAll(fd,
           "POST /control HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: "
           "30\r\n\r\n{\"log.audit\"");
  shutdown(fd, SHUT_WR);
  std::string response = readUntilClosed(fd, std::chrono::seconds(10));
  close(fd);
  EXPECT_TRUE(response.starts_with("HTTP/1.1 400 Bad request\r\n")) << response;
}

TEST_F(HTTPServerTest, ResponsesLargerThan64KiBArriveWhole) {
  MetricsRegistry& registry = MetricsRegistry::instance();
  registry.clearForTesting();
  registry.setClockForTesting(&frozenClock);
  registry.registerCounter("bigFamily", "Many series.", true);
  for (int i = 0; i < 3000; ++i)
    registry.incrementCounter(seriesKey("bigFamily", {{"esme", "customer" + std::to_string(i)}}));
  std::string expected = registry.renderMetrics();
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
  MetricsRegistry& registry = MetricsRegistry::instance();
  registry.clearForTesting();
  registry.setClockForTesting(&frozenClock);
  registry.registerCounter("bigFamily", "Many series.", true);
  for (int i = 0; i < 20000; ++i)
    registry.incrementCounter(seriesKey("bigFamily", {{"esme", "customer" + std::to_string(i)}}));
  const size_t full = registry.renderMetrics().size();

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

TEST(HTTPServerStart, PortInUseMeansNotRunning) {
  int holder = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(holder, 1), 0);
  socklen_t length = sizeof address;
  getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);

  testing_support::TempDir dir;
  std::string previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  OstrelConfiguration config(dir.file("pelliro.conf"));
  APIAuthStore auth;
  AdminRoutes routes(config, auth);
  HTTPAdminServer server(routes);
  server.prepare();
  testing::internal::CaptureStdout();
  std::thread thread([&] { server.run(ntohs(address.sin_port)); });
  EXPECT_FALSE(server.awaitStarted(std::chrono::seconds(5)));
  thread.join();
  std::string out = testing::internal::GetCapturedStdout();
  close(holder);
  std::filesystem::current_path(previous);
  EXPECT_FALSE(server.running());
  EXPECT_NE(out.find("SEVERE Application::http_main fatal error getting listening socket"),
            std::string::npos)
      << out;
}

TEST(HTTPServerProcess, StartServeAndStopThroughTheProcessFunctions) {
  testing_support::TempDir dir;
  std::string previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  int port = testing_support::freeLoopbackPort();
  setHTTPPort(port);
  registerAPIClient("cli", "secret");
  http_start();
  EXPECT_TRUE(isHTTPRunning());

  int fd = connectTcp("127.0.0.1", port);
  ASSERT_GE(fd, 0);
  writeAll(
      fd,
      "POST /oauth2/v1/token HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n\r\n"
      "grant_type=client_credentials&scope=api&client_id=cli&client_secret=secret");
  std::string response = readUntilClosed(fd, std::chrono::seconds(10));
  close(fd);
  EXPECT_TRUE(response.starts_with("HTTP/1.1 200 OK\r\n")) << response;

  // The upstream side may hand over its entries while the server runs.
  setSMSCEntrySource([] {
    SMSCEntryStatus entry;
    entry.smscId = 0x100;
    entry.smscName = "t1";
    entry.bindState = 3;
    return std::vector<SMSCEntryStatus>{entry};
  });
  fd = connectTcp("127.0.0.1", port);
  ASSERT_GE(fd, 0);
  writeAll(fd, "GET /status HTTP/1.1\r\n\r\n");
  response = readUntilClosed(fd, std::chrono::seconds(10));
  close(fd);
  setSMSCEntrySource({});
  EXPECT_NE(response.find("\"bindTX\":1"), std::string::npos) << response;
  EXPECT_NE(response.find("\"smsc_id\":256"), std::string::npos) << response;

  auto stopping = std::chrono::steady_clock::now();
  http_stop();
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(2));
  EXPECT_FALSE(isHTTPRunning());
  EXPECT_LT(connectTcp("127.0.0.1", port), 0);
  std::filesystem::current_path(previous);
}

}  // namespace
