// Figures of the MSISDN lookup: lookups per second through the worker pool
// against a loopback service, and the latency a submit sees when its lookup
// is answered from the cache or has to be queued to an idle worker.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <mutex>

#include "base/log.h"
#include "lookup/msisdn_lookup_master.h"
#include "tests/support/fake_http_server.h"

namespace {

using testing_support::FakeHttpServer;

// Counts completions and lets the benchmark thread wait for a number of them.
class Waiter {
 public:
  LookupCompletion callback() {
    return [this](uint64_t, const nlohmann::json&) {
      std::lock_guard<std::mutex> lock(doneMutex_);
      ++done_;
      cv_.notify_all();
    };
  }
  void waitFor(uint64_t count) {
    std::unique_lock<std::mutex> lock(doneMutex_);
    cv_.wait(lock, [&] { return done_ >= count; });
  }

 private:
  std::mutex doneMutex_;
  std::condition_variable cv_;
  uint64_t done_ = 0;  // guarded by doneMutex_
};

nlohmann::json settings(const FakeHttpServer& server, int workers) {
  return {{"enabled", true},          {"url", server.url("/q?n={msisdn}")},
          {"worker_count", workers},  {"worker_count_min", workers},
          {"max_queue_size", 100000}, {"cache_max_entries", 1000000}};
}

void BM_LookupsThroughWorkers(benchmark::State& state) {
  setLogLevel(LOG_WARNING);
  FakeHttpServer server;
  server.answerBody(200, R"({"mcc":"234","mnc":"15"})");
  MSISDNLookupMaster master;
  master.init(settings(server, static_cast<int>(state.range(0))));
  Waiter waiter;
  constexpr int kBatch = 64;
  uint64_t number = 447700000000ull, expected = 0;
  nlohmann::json result;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) {
      master.requestLookup(number, number, result, waiter.callback(), 1);
      ++number;
    }
    expected += kBatch;
    waiter.waitFor(expected);
  }
  state.SetItemsProcessed(static_cast<int64_t>(expected));
}
BENCHMARK(BM_LookupsThroughWorkers)->Arg(1)->Arg(4)->Arg(16)->UseRealTime();

void BM_CacheHitLatency(benchmark::State& state) {
  setLogLevel(LOG_WARNING);
  FakeHttpServer server;
  server.answerBody(200, R"({"mcc":"234","mnc":"15"})");
  MSISDNLookupMaster master;
  master.init(settings(server, 1));
  Waiter waiter;
  nlohmann::json result;
  master.requestLookup(1, 4477, result, waiter.callback(), 1);
  waiter.waitFor(1);
  for (auto _ : state) {
    if (master.requestLookup(2, 4477, result, nullptr, 1) !=
        MSISDNLookupMaster::LookupOutcome::Answered)
      state.SkipWithError("not answered from the cache");
  }
}
BENCHMARK(BM_CacheHitLatency);

// One lookup at a time: queue, wake the idle worker, GET on a kept-alive
// loopback connection, parse, cache, complete.
void BM_QueuedLookupLatency(benchmark::State& state) {
  setLogLevel(LOG_WARNING);
  FakeHttpServer server;
  server.answerBody(200, R"({"mcc":"234","mnc":"15"})");
  MSISDNLookupMaster master;
  master.init(settings(server, 1));
  Waiter waiter;
  nlohmann::json result;
  uint64_t number = 447700000000ull, expected = 0;
  for (auto _ : state) {
    master.requestLookup(number, number, result, waiter.callback(), 1);
    ++number;
    waiter.waitFor(++expected);
  }
}
BENCHMARK(BM_QueuedLookupLatency)->UseRealTime();

}  // namespace
