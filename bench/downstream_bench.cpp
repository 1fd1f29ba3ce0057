// The customer side of the real daemon under load:
// - binds per second against cost-10 bcrypt hashes, first binds (each needs
//   a bcrypt run) and repeated binds (answered from the verified-password
//   memory), with the longest enquire_link round trip another bound session
//   saw meanwhile (the stall the bcrypt work caused on the loop);
// - 1,000 concurrent bound sessions: resident memory per idle session and
//   the enquire_link round trip across them (median, 99th percentile);
// - CPU used by the idle daemon with a few bound sessions over 30 seconds.
// Each benchmark starts the daemon (PELLIRO_BINARY) in a temporary
// directory and reports its figures as counters.

#include <benchmark/benchmark.h>
#include <crypt.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/daemon_process.h"
#include "tests/support/loopback.h"
#include "tests/support/smpp_test_client.h"
#include "tests/support/temp_dir.h"

using namespace testing_support;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kBindTransceiver = 0x09;
constexpr uint32_t kEnquireLink = 0x15;

std::string bcryptHash(const std::string& password, unsigned long cost) {
  auto area = std::make_unique<crypt_data>();
  char salt[CRYPT_GENSALT_OUTPUT_SIZE];
  crypt_gensalt_rn("$2b$", cost, nullptr, 0, salt, sizeof salt);
  return crypt_r(password.c_str(), salt, area.get());
}

void raiseDescriptorLimit() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

class Daemon {
 public:
  explicit Daemon(const json& esmes) {
    port_ = freeLoopbackPort();
    json doc = {{"base",
                 {{"smpp.port", port_},
                  {"http.port", freeLoopbackPort()},
                  {"log.level", "WARNING"},
                  {"smpp.max_connections_per_ip", 2000}}},
                {"esme", esmes},
                {"targetsets", json::array()},
                {"routes-mo", json::array()},
                {"routes-mt", json::array()}};
    dir_.write("pelliro.conf", doc.dump());
    // Every loopback address is trusted, so the flood rules leave a
    // thousand connections from one host alone.
    dir_.write("ipwhitelist.conf", "*\n");
    process_ = std::make_unique<DaemonProcess>(dir_.path());
    for (int i = 0; i < 500; ++i) {
      int fd = connectTcp("127.0.0.1", port_);
      if (fd >= 0) {
        close(fd);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  int port() const { return port_; }
  pid_t pid() { return process_->pid(); }

  // Resident memory in kB.
  long residentKB() {
    std::ifstream status("/proc/" + std::to_string(pid()) + "/status");
    std::string line;
    while (std::getline(status, line))
      if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
  }
  // User plus system CPU time in clock ticks.
  long cpuTicks() {
    std::ifstream stat("/proc/" + std::to_string(pid()) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) {
      if (i == 14) utime = std::stol(field);
      if (i == 15) {
        stime = std::stol(field);
        break;
      }
    }
    return utime + stime;
  }

 private:
  TempDir dir_;
  int port_ = 0;
  std::unique_ptr<DaemonProcess> process_;
};

double enquireLinkMillis(SmppTestClient& client) {
  auto start = Clock::now();
  client.send(kEnquireLink);
  auto resp = client.readUntil(0x80000015, std::chrono::seconds(10));
  if (!resp) return -1;
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Binds `count` sessions at once (all requests sent, then all answers read);
// returns binds per second, or 0 when one failed.
double bindAll(std::vector<std::unique_ptr<SmppTestClient>>& clients, int port,
               const std::vector<std::string>& ids, const std::vector<std::string>& passwords) {
  clients.clear();
  for (size_t i = 0; i < ids.size(); ++i) clients.push_back(std::make_unique<SmppTestClient>(port));
  auto start = Clock::now();
  for (size_t i = 0; i < ids.size(); ++i)
    clients[i]->send(kBindTransceiver, bindBody(ids[i], passwords[i], "", 0x34));
  for (auto& client : clients) {
    auto resp = client->readUntil(0x80000009, std::chrono::seconds(60));
    if (!resp || resp->commandStatus != 0) return 0;
  }
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return static_cast<double>(ids.size()) / seconds;
}

void BM_HashedBindsAndStall(benchmark::State& state) {
  constexpr int kCustomers = 16;
  std::vector<std::string> ids, passwords;
  json esmes = json::array();
  for (int i = 0; i < kCustomers; ++i) {
    ids.push_back("cust" + std::to_string(i));
    passwords.push_back("pw-" + std::to_string(i));
    esmes.push_back({{"systemid", ids.back()},
                     {"sharedtargetsetid", "ts"},
                     {"password_hash", bcryptHash(passwords.back(), 10)}});
  }
  esmes.push_back({{"systemid", "probe"}, {"sharedtargetsetid", "ts"}, {"password", "p"}});
  for (auto _ : state) {
    Daemon daemon(esmes);
    SmppTestClient probe(daemon.port());
    probe.bind(kBindTransceiver, "probe", "p");
    std::atomic<bool> stop{false};
    std::atomic<double> longest{0};
    std::thread prober([&] {
      while (!stop.load()) {
        double ms = enquireLinkMillis(probe);
        if (ms > longest.load()) longest.store(ms);
      }
    });
    // The same probe with no binds running: what the machine itself costs.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    double stallIdle = longest.exchange(0);
    std::vector<std::unique_ptr<SmppTestClient>> clients;
    double first = bindAll(clients, daemon.port(), ids, passwords);
    double stallFirst = longest.exchange(0);
    double repeated = bindAll(clients, daemon.port(), ids, passwords);
    double stallRepeated = longest.load();
    stop.store(true);
    prober.join();
    state.counters["first_binds_per_s"] = first;
    state.counters["repeated_binds_per_s"] = repeated;
    state.counters["longest_stall_no_binds_ms"] = stallIdle;
    state.counters["longest_stall_first_ms"] = stallFirst;
    state.counters["longest_stall_repeated_ms"] = stallRepeated;
  }
}
BENCHMARK(BM_HashedBindsAndStall)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_ThousandBoundSessions(benchmark::State& state) {
  raiseDescriptorLimit();
  constexpr int kSessions = 1000;
  for (auto _ : state) {
    Daemon daemon(json::array({{{"systemid", "bulk"}, {"sharedtargetsetid", "ts"}, {"password", "pw"}}}));
    long before = daemon.residentKB();
    std::vector<std::unique_ptr<SmppTestClient>> clients;
    int bound = 0;
    // Spread over loopback sources so no address exceeds any limit.
    for (int i = 0; i < kSessions; ++i) {
      std::string from = "127.0." + std::to_string(1 + i / 200) + "." + std::to_string(2 + i % 200);
      clients.push_back(std::make_unique<SmppTestClient>(daemon.port(), from));
      auto resp = clients.back()->bind(kBindTransceiver, "bulk", "pw");
      if (resp && resp->commandStatus == 0) ++bound;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    long after = daemon.residentKB();
    std::vector<double> rtts;
    for (auto& client : clients) rtts.push_back(enquireLinkMillis(*client));
    std::sort(rtts.begin(), rtts.end());
    state.counters["bound_sessions"] = bound;
    state.counters["rss_kB_per_session"] = static_cast<double>(after - before) / kSessions;
    state.counters["rss_MB_total"] = static_cast<double>(after) / 1024.0;
    state.counters["enquire_link_median_ms"] = rtts[rtts.size() / 2];
    state.counters["enquire_link_p99_ms"] = rtts[rtts.size() * 99 / 100];
  }
}
BENCHMARK(BM_ThousandBoundSessions)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_IdleDaemonCpu(benchmark::State& state) {
  for (auto _ : state) {
    Daemon daemon(json::array({{{"systemid", "idle"}, {"sharedtargetsetid", "ts"}, {"password", "pw"}}}));
    std::vector<std::unique_ptr<SmppTestClient>> clients;
    for (int i = 0; i < 5; ++i) {
      clients.push_back(std::make_unique<SmppTestClient>(daemon.port()));
      clients.back()->bind(kBindTransceiver, "idle", "pw");
    }
    long ticks = daemon.cpuTicks();
    auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(30));
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    double cpuSeconds = static_cast<double>(daemon.cpuTicks() - ticks) / sysconf(_SC_CLK_TCK);
    state.counters["cpu_percent_of_one_core"] = 100.0 * cpuSeconds / seconds;
  }
}
BENCHMARK(BM_IdleDaemonCpu)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
