// The customer side of the real daemon under load:
// - binds per second against cost-10 bcrypt hashes, first binds (each needs
//   a bcrypt run) and repeated binds (answered from the verified-password
//   memory), with the longest enquire_link round trip another bound session
//   saw meanwhile (the stall the bcrypt work caused on the loop);
// - 1,000 and 10,000 concurrent bound sessions: resident memory per idle
//   session and the enquire_link round trip across them (median, 99th
//   percentile);
// - CPU used by the idle daemon over 30 seconds with 0, 1,000 and 10,000
//   bound idle sessions;
// - the enquire_link round trip of one quiet bound session while an unbound
//   client floods the daemon with pipelined enquire_link;
// - the time from a worker thread handing work to the listener loop until
//   the loop acts on it (in-process, the loop serving 1,000 idle sessions).
// The daemon benchmarks start the daemon (PELLIRO_BINARY) in a temporary
// directory and report their figures as counters.

#include <benchmark/benchmark.h>
#include <crypt.h>
#include <sys/resource.h>
#include <sys/socket.h>
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
                  {"smpp.max_connections_per_ip", 20000},
                  {"smpp.max_connections", 12000}}},
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

// Binds `count` transceiver sessions of "bulk", spread over loopback
// source addresses; returns how many were bound.
int bindMany(Daemon& daemon, int count, std::vector<std::unique_ptr<SmppTestClient>>& clients) {
  int bound = 0;
  for (int i = 0; i < count; ++i) {
    std::string from = "127.0." + std::to_string(1 + i / 200) + "." + std::to_string(2 + i % 200);
    clients.push_back(std::make_unique<SmppTestClient>(daemon.port(), from));
    auto resp = clients.back()->bind(kBindTransceiver, "bulk", "pw");
    if (resp && resp->commandStatus == 0) ++bound;
  }
  return bound;
}

const json kBulkCustomer =
    json::array({{{"systemid", "bulk"}, {"sharedtargetsetid", "ts"}, {"password", "pw"}}});

void BM_BoundSessions(benchmark::State& state) {
  raiseDescriptorLimit();
  const int sessions = static_cast<int>(state.range(0));
  for (auto _ : state) {
    Daemon daemon(kBulkCustomer);
    long before = daemon.residentKB();
    std::vector<std::unique_ptr<SmppTestClient>> clients;
    int bound = bindMany(daemon, sessions, clients);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    long after = daemon.residentKB();
    std::vector<double> rtts;
    for (auto& client : clients) rtts.push_back(enquireLinkMillis(*client));
    std::sort(rtts.begin(), rtts.end());
    state.counters["bound_sessions"] = bound;
    state.counters["rss_kB_per_session"] = static_cast<double>(after - before) / sessions;
    state.counters["rss_MB_total"] = static_cast<double>(after) / 1024.0;
    state.counters["enquire_link_median_ms"] = rtts[rtts.size() / 2];
    state.counters["enquire_link_p99_ms"] = rtts[rtts.size() * 99 / 100];
  }
}
BENCHMARK(BM_BoundSessions)->Arg(1000)->Arg(10000)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_IdleDaemonCpu(benchmark::State& state) {
  raiseDescriptorLimit();
  const int sessions = static_cast<int>(state.range(0));
  for (auto _ : state) {
    Daemon daemon(kBulkCustomer);
    std::vector<std::unique_ptr<SmppTestClient>> clients;
    int bound = bindMany(daemon, sessions, clients);
    // Let the bind traffic settle before measuring.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    long ticks = daemon.cpuTicks();
    auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(30));
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    double cpuSeconds = static_cast<double>(daemon.cpuTicks() - ticks) / sysconf(_SC_CLK_TCK);
    state.counters["bound_sessions"] = bound;
    state.counters["cpu_percent_of_one_core"] = 100.0 * cpuSeconds / seconds;
  }
}
BENCHMARK(BM_IdleDaemonCpu)->Arg(0)->Arg(1000)->Arg(10000)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_QuietSessionBesideFlood(benchmark::State& state) {
  for (auto _ : state) {
    Daemon daemon(kBulkCustomer);
    SmppTestClient quiet(daemon.port(), "127.0.0.2");
    quiet.bind(kBindTransceiver, "bulk", "pw");
    const int flooder = connectTcp("127.0.0.1", daemon.port(), "127.0.0.3");
    // Admitted before the flood starts (bytes before the greeting block).
    std::string greeting("\x00\x00\x00\x10\x00\x00\x00\x15\x00\x00\x00\x00\x00\x00\x00\x01", 16);
    writeAll(flooder, greeting);
    readExactly(flooder, 16);
    std::string burst;
    for (int i = 0; i < 4096; ++i)
      burst += std::string("\x00\x00\x00\x10\x00\x00\x00\x15\x00\x00\x00\x00\x00\x00\x00\x01", 16);
    std::atomic<bool> stop{false};
    timeval brief{0, 100000};
    setsockopt(flooder, SOL_SOCKET, SO_SNDTIMEO, &brief, sizeof brief);
    setsockopt(flooder, SOL_SOCKET, SO_RCVTIMEO, &brief, sizeof brief);
    std::atomic<long> flooded{0};
    std::atomic<bool> cutOff{false};
    std::thread writer([&] {
      while (!stop.load()) {
        ssize_t n = send(flooder, burst.data(), burst.size(), MSG_NOSIGNAL);
        if (n > 0) flooded += n / 16;
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
          cutOff = true;
          return;
        }
      }
    });
    std::thread reader([&] {
      char buf[65536];
      while (!stop.load()) {
        ssize_t n = recv(flooder, buf, sizeof buf, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return;
      }
    });
    const auto floodStart = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::vector<double> rtts;
    for (int i = 0; i < 5000; ++i) rtts.push_back(enquireLinkMillis(quiet));
    stop.store(true);
    double seconds = std::chrono::duration<double>(Clock::now() - floodStart).count();
    double floodRate = static_cast<double>(flooded.load()) / seconds;
    writer.join();
    reader.join();
    close(flooder);
    std::sort(rtts.begin(), rtts.end());
    state.counters["quiet_enquire_link_median_ms"] = rtts[rtts.size() / 2];
    state.counters["quiet_enquire_link_p99_ms"] = rtts[rtts.size() * 99 / 100];
    state.counters["flood_pdus_per_s"] = floodRate;
    state.counters["flooder_cut_off"] = cutOff.load() ? 1 : 0;
  }
}
BENCHMARK(BM_QuietSessionBesideFlood)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
