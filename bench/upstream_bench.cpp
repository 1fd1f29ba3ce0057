// The SMSC side of the gateway under load, against the shared fake SMSC:
// - submit_sm_resp relays per second: customer submits forwarded over 8
//   upstream transceiver binds (in-process manager on its own thread), each
//   response carried back to the right one of 10 customer sessions;
// - receipts per second end to end through the real daemon, from one SMSC
//   bind to one customer receiver that acknowledges each one;
// - CPU of the daemon's upstream thread with 100 bound idle binds over 30 s;
// - full cycle (submit, response, receipt, its acknowledgement) through
//   the daemon, plain and with the external logic and number lookup on.
// The fake SMSC records every PDU and serves from one poll() thread, so the
// relay and receipt figures are bounded by it as well; they are lower
// bounds for the gateway.

#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config/smsc_slot_id.h"
#include "smpp/pdu.h"
#include "tests/support/daemon_process.h"
#include "tests/support/fake_http_server.h"
#include "tests/support/fake_smsc.h"
#include "tests/support/loopback.h"
#include "tests/support/smpp_test_client.h"
#include "tests/upstream/upstream_fixture.h"
#include "tracking/tracker.h"

using namespace testing_support;
using nlohmann::json;
using SteadyClock = std::chrono::steady_clock;

namespace {

double secondsSince(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

// Reads whole PDUs arriving on `fd`, counts submit_sm_resp and deliver_sm,
// and, when `answerDeliveries` is set, acknowledges each deliver_sm with
// its deliver_sm_resp, written once per read.
class PDUSink {
 public:
  PDUSink(int fd, bool answerDeliveries)
      : fd_(fd), answer_(answerDeliveries), thread_([this] { run(); }) {}
  ~PDUSink() {
    stop_ = true;
    thread_.join();
  }
  uint64_t responses() const { return responses_.load(); }
  uint64_t deliveries() const { return deliveries_.load(); }

 private:
  void run() {
    timeval brief{0, 20000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &brief, sizeof brief);
    std::vector<uint8_t> in;
    std::vector<uint8_t> out;
    uint8_t chunk[65536];
    while (!stop_) {
      const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
      if (n == 0) return;
      if (n < 0) continue;
      in.insert(in.end(), chunk, chunk + n);
      size_t at = 0;
      while (in.size() - at >= SMPP::HEADER_LENGTH) {
        const SMPP::PDUHeader h = SMPP::decodeHeader(in.data() + at);
        if (in.size() - at < h.commandLength) break;
        if (h.commandId == SMPP::SUBMIT_SM_RESP) ++responses_;
        if (h.commandId == SMPP::DELIVER_SM) {
          ++deliveries_;
          if (answer_) {
            const size_t o = out.size();
            out.resize(o + SMPP::HEADER_LENGTH + 1, 0);
            SMPP::encodeHeader(out.data() + o, 1, SMPP::DELIVER_SM_RESP, 0, h.sequenceNumber);
          }
        }
        at += h.commandLength;
      }
      in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(at));
      if (!out.empty()) writeAll(fd_, std::string(out.begin(), out.end()));
      out.clear();
    }
  }

  int fd_;
  bool answer_;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> responses_{0};
  std::atomic<uint64_t> deliveries_{0};
  std::thread thread_;
};

template <typename Pred>
bool waitUntil(Pred done, std::chrono::seconds limit) {
  const auto end = SteadyClock::now() + limit;
  while (!done()) {
    if (SteadyClock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void BM_SubmitRespRelay(benchmark::State& state) {
  constexpr int kBinds = 8;
  constexpr int kCustomers = 10;
  constexpr int kSubmits = 40000;
  FakeSmsc smsc;
  FakeSmsc::Behaviour quiet;
  quiet.record = false;
  smsc.setBehaviour(quiet);
  json target = upstream_test::target("up1", smsc.port(), kBinds);
  upstream_test::UpstreamFixture f(
      upstream_test::document({upstream_test::targetSet("ts", {target})}));
  // The relay runs on the real clock: the fixture's clock only moves when told.
  f.config->setClock({});
  f.upstream->startUpstream();
  if (!smsc.waitFor([&] { return smsc.boundSessions().size() == kBinds; },
                    std::chrono::seconds(10))) {
    state.SkipWithError("binds not up");
    return;
  }
  while (f.upstream->getTargetSetPoolSize("ts") < kBinds) std::this_thread::sleep_for(
      std::chrono::milliseconds(5));

  std::vector<std::shared_ptr<SMPPSessionServer>> customers;
  std::vector<std::unique_ptr<PDUSink>> sinks;
  std::vector<int> peerFds;
  for (int i = 0; i < kCustomers; ++i) {
    int pair[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, pair);
    auto session = std::make_shared<SMPPSessionServer>();
    session->attachSocket(pair[0], true, "127.0.0.1", 0);
    const uint64_t id = session->sessionId();
    f.tracker->setSession(id, session);
    f.tracker->setSessionSystemId("acme", id);
    customers.push_back(session);
    peerFds.push_back(pair[1]);
    sinks.push_back(std::make_unique<PDUSink>(pair[1], false));
  }
  SMPP::T_SubmitSM submit;
  submit.source_addr = "Pelliro";
  submit.destination_addr = "447700900000";
  submit.short_message.assign(40, 'x');

  double relays = 0;
  for (auto _ : state) {
    uint64_t before = 0;
    for (const auto& sink : sinks) before += sink->responses();
    const auto start = SteadyClock::now();
    for (int i = 0; i < kSubmits; ++i) {
      uint32_t upstreamSequence = 0;
      std::string name;
      const uint64_t slot = f.upstream->nextSMSCForTargetSet("ts");
      while (!f.upstream->sendSubmitSM("acme", customers[i % kCustomers]->sessionId(), slot,
                                       static_cast<uint32_t>(i + 1), submit, upstreamSequence,
                                       name))
        std::this_thread::yield();
    }
    auto total = [&] {
      uint64_t n = 0;
      for (const auto& sink : sinks) n += sink->responses();
      return n;
    };
    if (!waitUntil([&] { return total() - before >= kSubmits; }, std::chrono::seconds(60))) {
      state.SkipWithError("responses missing");
      break;
    }
    relays = kSubmits / secondsSince(start);
    state.SetIterationTime(secondsSince(start));
  }
  state.counters["relays_per_s"] = relays;
  f.upstream->stopUpstream();
  sinks.clear();
  for (int fd : peerFds) close(fd);
}
BENCHMARK(BM_SubmitRespRelay)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

json daemonConfiguration(int smscPort, int bindqty) {
  json target = upstream_test::target("up1", smscPort, bindqty);
  target["password"] = "upw";
  json customer = {{"systemid", "acme"}, {"password", "pw"}, {"sharedtargetsetid", "ts"}};
  return {{"base", {{"log.level", "INFO"}}},
          {"targetsets", {upstream_test::targetSet("ts", {target})}},
          {"esme", {customer}}};
}

void BM_ReceiptsEndToEnd(benchmark::State& state) {
  constexpr int kReceipts = 20000;
  FakeSmsc smsc;
  FakeSmsc::Behaviour quiet;
  quiet.record = false;
  smsc.setBehaviour(quiet);
  Tracker known("");
  std::vector<std::string> ids;
  for (int i = 0; i < kReceipts * 3; ++i) {
    ids.push_back("r" + std::to_string(i));
    known.addMessageIDMapping(smscSlotBase("up1"), ids.back(), "acme");
  }
  TempDir scratch;
  known.saveToFile(scratch.file("msgtrack"));
  TestDaemon daemon(daemonConfiguration(smsc.port(), 1), {{"msgtrack", scratch.read("msgtrack")}});
  const int upstream = smsc.waitForBound("up", std::chrono::seconds(10));
  SmppTestClient acme(daemon.port(), "127.0.0.2");
  if (!daemon.started() || upstream == 0 || !acme.bind(SMPP::BIND_RECEIVER, "acme", "pw")) {
    state.SkipWithError("daemon, bind or SMSC not up");
    return;
  }
  PDUSink sink(acme.fd(), true);
  size_t next = 0;
  double perSecond = 0;
  for (auto _ : state) {
    const uint64_t before = sink.deliveries();
    const auto start = SteadyClock::now();
    for (int i = 0; i < kReceipts; ++i) smsc.sendReceipt(upstream, ids[next++], "4470", "4471");
    if (!waitUntil([&] { return sink.deliveries() - before >= kReceipts; }, std::chrono::seconds(60))) {
      state.SkipWithError("receipts missing");
      break;
    }
    perSecond = kReceipts / secondsSince(start);
    state.SetIterationTime(secondsSince(start));
  }
  state.counters["receipts_per_s"] = perSecond;
}
BENCHMARK(BM_ReceiptsEndToEnd)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// Full cycle through the daemon: one customer transceiver keeps 50
// submits (registered_delivery 1) outstanding towards a target set of 4
// binds on the fake SMSC, which answers each and sends its receipt; every
// receipt is acknowledged. A message counts when its receipt arrived.
// With argument 1 every submit is first decided by the external logic
// service and its (always new) number looked up, both on the loopback
// fake HTTP service.
void BM_FullCycle(benchmark::State& state) {
  const bool services = state.range(0) == 1;
  const uint64_t kMessages = services ? 5000 : 20000;
  constexpr uint64_t kWindow = 50;
  FakeSmsc smsc;
  FakeSmsc::Behaviour behaviour;
  behaviour.receipt = FakeSmsc::ReceiptTiming::AfterResponse;
  behaviour.record = false;
  smsc.setBehaviour(behaviour);
  FakeHttpServer eli;
  eli.answerBody(200, "{}");
  FakeHttpServer lookup;
  lookup.answerBody(200, R"({"mcc":"234","mnc":"15"})");
  json doc = daemonConfiguration(smsc.port(), 4);
  if (services) {
    doc["eli"] = {{"enabled", true}, {"url", eli.url("/decide")}};
    doc["lookup"] = {{"enabled", true}, {"url", lookup.url("/network?msisdn={msisdn}")}};
  }
  TestDaemon daemon(doc);
  SmppTestClient acme(daemon.port(), "127.0.0.2");
  if (!daemon.started() ||
      !smsc.waitFor([&] { return smsc.boundSessions().size() == 4; }, std::chrono::seconds(10)) ||
      !acme.bind(SMPP::BIND_TRANSCEIVER, "acme", "pw")) {
    state.SkipWithError("daemon, bind or SMSC not up");
    return;
  }
  PDUSink sink(acme.fd(), true);
  uint64_t number = 447700000000;
  double perSecond = 0;
  for (auto _ : state) {
    const uint64_t before = sink.deliveries();
    const uint64_t answeredBefore = sink.responses();
    const auto start = SteadyClock::now();
    for (uint64_t sent = 0; sent < kMessages; ++sent) {
      // A pause, not a spin: the daemon and the fake SMSC share the cores.
      while (sent - (sink.responses() - answeredBefore) >= kWindow)
        std::this_thread::sleep_for(std::chrono::microseconds(50));
      acme.send(SMPP::SUBMIT_SM, submitBody("4470", std::to_string(++number), "full cycle", 1));
    }
    if (!waitUntil([&] { return sink.deliveries() - before >= kMessages; },
                   std::chrono::seconds(120))) {
      fprintf(stderr, "responses %llu receipts %llu\n",
              static_cast<unsigned long long>(sink.responses() - answeredBefore),
              static_cast<unsigned long long>(sink.deliveries() - before));
      state.SkipWithError("receipts missing");
      break;
    }
    perSecond = kMessages / secondsSince(start);
    state.SetIterationTime(secondsSince(start));
  }
  state.counters["messages_per_s"] = perSecond;
}
BENCHMARK(BM_FullCycle)->Arg(0)->Arg(1)->UseManualTime()->Iterations(3)->Unit(
    benchmark::kMillisecond);

// User plus system CPU ticks of the daemon's thread named `name`.
long threadTicks(pid_t pid, const std::string& name) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(tasks.c_str());
  if (dir == nullptr) return -1;
  long ticks = -1;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const std::string base = tasks + "/" + entry->d_name;
    std::ifstream comm(base + "/comm");
    std::string threadName;
    std::getline(comm, threadName);
    if (threadName != name) continue;
    std::ifstream stat(base + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long utime = 0;
    for (int i = 3; fields >> field; ++i) {
      if (i == 14) utime = std::stol(field);
      if (i == 15) {
        ticks = utime + std::stol(field);
        break;
      }
    }
  }
  closedir(dir);
  return ticks;
}

void BM_IdleUpstreamBindsCpu(benchmark::State& state) {
  constexpr size_t kBinds = 100;
  FakeSmsc smsc;
  TestDaemon daemon(daemonConfiguration(smsc.port(), kBinds));
  if (!smsc.waitFor([&] { return smsc.boundSessions().size() == kBinds; },
                    std::chrono::seconds(150))) {
    state.SkipWithError("binds not up");
    return;
  }
  const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
  double share = 0;
  for (auto _ : state) {
    const long before = threadTicks(daemon.process().pid(), "upstream");
    const auto start = SteadyClock::now();
    std::this_thread::sleep_for(std::chrono::seconds(30));
    const long after = threadTicks(daemon.process().pid(), "upstream");
    share = 100.0 * static_cast<double>(after - before) / tick / secondsSince(start);
    state.SetIterationTime(secondsSince(start));
  }
  state.counters["upstream_thread_cpu_percent"] = share;
  state.counters["bound"] = static_cast<double>(smsc.boundSessions().size());
}
BENCHMARK(BM_IdleUpstreamBindsCpu)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
