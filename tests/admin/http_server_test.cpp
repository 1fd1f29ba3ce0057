#include "admin/http_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "admin/metrics.h"
#include "config/ostrel_configuration.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_dir.h"

using testing_support::connectTcp;
using testing_support::readUntilClosed;
using testing_support::writeAll;

namespace {

uint64_t frozenClock() {
  return 1700000000000000ULL;
}

class HTTPServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.write("pelliro.conf", R"({"base": {}, "esme": []})");
    config_ = std::make_unique<OstrelConfiguration>(dir_.file("pelliro.conf"));
    bool notFound = false;
    ASSERT_TRUE(config_->performLoad(notFound));
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
  }

  // Sends `raw` on a fresh connection (then ends the sending side when
  // `endWrite`) and reads until the server closes it.
  std::string exchange(const std::string& raw, bool endWrite = false) {
    int fd = connectTcp("127.0.0.1", port_);
    EXPECT_GE(fd, 0);
    writeAll(fd, raw);
    if (endWrite) shutdown(fd, SHUT_WR);
    std::string response = readUntilClosed(fd, std::chrono::seconds(10));
    close(fd);
    return response;
  }

  testing_support::TempDir dir_;
  std::unique_ptr<OstrelConfiguration> config_;
  APIAuthStore auth_;
  std::unique_ptr<AdminRoutes> routes_;
  std::unique_ptr<HTTPAdminServer> server_;
  std::thread thread_;
  int port_ = 0;
};

// A "/metrics" page of `series` counters; its text.
std::string bigMetricsPage(int series) {
  MetricsRegistry& registry = MetricsRegistry::instance();
  registry.clearForTesting();
  registry.setClockForTesting(&frozenClock);
  registry.registerCounter("bigFamily", "Many series.", true);
  for (int i = 0; i < series; ++i)
    registry.incrementCounter(seriesKey("bigFamily", {{"esme", "customer" + std::to_string(i)}}));
  return registry.renderMetrics();
}

// A request cut short is refused with 400 (which requests cannot be read
// whole is the reader's to decide), one that cannot be parsed gets no answer,
// and an answer larger than 64 KiB arrives whole.
TEST_F(HTTPServerTest, EachConnectionGetsTheWholeAnswerOrItsRefusal) {
  const std::string cut =
      "POST /control HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: 30\r\n\r\n{";
  EXPECT_TRUE(exchange(cut, true).starts_with("HTTP/1.1 400 Bad request\r\n"));
  EXPECT_EQ(exchange("NOBLANKREQUEST\r\n\r\n"), "");

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

TEST_F(HTTPServerTest, PortInUseMeansNotRunning) {
  HTTPAdminServer second(*routes_);
  second.prepare();
  testing::internal::CaptureStdout();
  std::thread thread([&] { second.run(port_); });
  EXPECT_FALSE(second.awaitStarted(std::chrono::seconds(5)));
  thread.join();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(second.running());
  EXPECT_NE(out.find("SEVERE Application::http_main fatal error getting listening socket"),
            std::string::npos)
      << out;
}

}  // namespace
