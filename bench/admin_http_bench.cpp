// Throughput of the admin server on "/metrics" and the time a REST change
// takes until the configuration file is saved, both over real loopback
// connections to an in-process server.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>

#include "admin/http_server.h"
#include "admin/metrics.h"
#include "base/wall_clock.h"
#include "config/ostrel_configuration.h"

namespace {

// An admin server on a kernel-chosen port, over a configuration in a fresh
// temporary directory.
class BenchServer {
 public:
  BenchServer() {
    char pattern[] = "/tmp/pelliro-admin-bench-XXXXXX";
    directory_ = mkdtemp(pattern);
    // Log files land in the working directory.
    previousDirectory_ = std::filesystem::current_path();
    std::filesystem::current_path(directory_);
    const std::string file = directory_ + "/pelliro.conf";
    FILE* out = fopen(file.c_str(), "w");
    fputs(
        R"({"base": {}, "targetsets": [{"id": "ts1", "name": "n", "submits_enabled": true, "targets": []}],
              "esme": [{"systemid": "bench", "sharedtargetsetid": "ts1"}], "routes-mt": [], "routes-mo": []})",
        out);
    fclose(out);
    // The configuration prints what it loads and saves; keep the figures readable.
    stdoutCopy_ = dup(1);
    FILE* devNull = freopen("/dev/null", "w", stdout);
    (void)devNull;
    config_ = std::make_unique<OstrelConfiguration>(file);
    bool notFound = false;
    config_->performLoad(notFound);
    auth_.registerAPIClient("bench", "secret");
    token_ = auth_.generateAccessToken(wallClockMicros());
    routes_ = std::make_unique<AdminRoutes>(*config_, auth_);
    server_ = std::make_unique<HTTPAdminServer>(*routes_);
    server_->prepare();
    thread_ = std::thread([this] { server_->run(0); });
    server_->awaitStarted(std::chrono::seconds(5));
  }
  ~BenchServer() {
    server_->requestStop();
    thread_.join();
    fflush(stdout);
    dup2(stdoutCopy_, 1);
    close(stdoutCopy_);
    std::filesystem::current_path(previousDirectory_);
    std::filesystem::remove_all(directory_);
  }

  int port() const { return server_->boundPort(); }
  const std::string& token() const { return token_; }
  const std::string& directory() const { return directory_; }

 private:
  std::string directory_;
  std::string previousDirectory_;
  int stdoutCopy_ = -1;
  std::unique_ptr<OstrelConfiguration> config_;
  APIAuthStore auth_;
  std::unique_ptr<AdminRoutes> routes_;
  std::unique_ptr<HTTPAdminServer> server_;
  std::thread thread_;
  std::string token_;
};

// One request on a fresh connection; returns the bytes of the response.
size_t exchange(int port, const std::string& request, std::string& response) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return 0;
  }
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  response.clear();
  char buffer[65536];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) break;
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    response.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return response.size();
}

void BM_MetricsRequest(benchmark::State& state) {
  MetricsRegistry& registry = MetricsRegistry::instance();
  registry.clearForTesting();
  const int series = static_cast<int>(state.range(0));
  registry.registerCounter("benchSubmits", "Submits per customer.", true);
  for (int i = 0; i < series; ++i) {
    registry.incrementCounter(
        seriesKey("benchSubmits", {{"esme", "customer-" + std::to_string(i)}}));
  }
  BenchServer server;
  std::string response;
  size_t bytes = 0;
  for (auto _ : state) {
    bytes += exchange(server.port(), "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", response);
  }
  if (response.find("HTTP/1.1 200 OK") != 0) state.SkipWithError("no 200 answer");
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  registry.clearForTesting();
}
BENCHMARK(BM_MetricsRequest)->Arg(1000)->Arg(10000)->UseRealTime();

// A REST change is answered only after the file is written, so the round
// trip bounds the time from the change to the saved file.
void BM_RESTChangeToSavedFile(benchmark::State& state) {
  BenchServer server;
  std::string response;
  int limit = 0;
  for (auto _ : state) {
    const std::string body = nlohmann::json{{"tpslimit", 1 + (limit++ % 1000)}}.dump();
    exchange(server.port(),
             "PUT /esme/bench HTTP/1.1\r\nAuthorization: Bearer " + server.token() +
                 "\r\nContent-Type: application/json\r\nContent-Length: " +
                 std::to_string(body.size()) + "\r\n\r\n" + body,
             response);
    if (response.find("HTTP/1.1 200 ESME modified bench") != 0) {
      state.SkipWithError("change refused");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RESTChangeToSavedFile)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
