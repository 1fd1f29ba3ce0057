// Cost of bumping series and of rendering the exposition.

#include <benchmark/benchmark.h>

#include "admin/metrics.h"

namespace {

void BM_CounterBump(benchmark::State& state) {
  if (state.thread_index() == 0) {
    MetricsRegistry::instance().clearForTesting();
    registerAllMetrics();
  }
  const std::string key = seriesKey("smppSubmitSM_ESME", {{"esme", "customer-1"}});
  for (auto _ : state) MetricsRegistry::instance().incrementCounter(key);
}
BENCHMARK(BM_CounterBump)->Threads(1)->Threads(2)->UseRealTime();

// The way callers bump a labelled series: build the key, then bump.
void BM_CounterBumpWithKeyBuild(benchmark::State& state) {
  for (auto _ : state) {
    MetricsRegistry::instance().incrementCounter(
        seriesKey("smppSubmitSM", {{"esme", "customer-1"}, {"smsc", "target-1"}}));
  }
}
BENCHMARK(BM_CounterBumpWithKeyBuild)->Threads(1)->Threads(2)->UseRealTime();

void BM_RateBump(benchmark::State& state) {
  const std::string key = seriesKey("smppSubmitSMRate_ESME", {{"esme", "customer-1"}});
  for (auto _ : state) MetricsRegistry::instance().incrementRate(key);
}
BENCHMARK(BM_RateBump)->Threads(1)->Threads(2)->UseRealTime();

void BM_RenderSeries(benchmark::State& state) {
  MetricsRegistry& registry = MetricsRegistry::instance();
  registry.clearForTesting();
  registerAllMetrics();
  const int total = static_cast<int>(state.range(0));
  // A third each of counters, gauges and rates, labelled by customer.
  for (int i = 0; i < total / 3; ++i) {
    std::string esme = "customer-" + std::to_string(i);
    registry.incrementCounter(seriesKey("smppSubmitSM_ESME", {{"esme", esme}}));
    registry.addGauge(seriesKey("upstreamSMPPSessions_SMSC", {{"smsc", esme}}), 1);
    registry.incrementRate(seriesKey("smppSubmitSMRate_ESME", {{"esme", esme}}));
  }
  size_t bytes = 0;
  for (auto _ : state) {
    std::string page = registry.renderMetrics();
    bytes = page.size();
    benchmark::DoNotOptimize(page);
  }
  state.counters["page_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_RenderSeries)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace
