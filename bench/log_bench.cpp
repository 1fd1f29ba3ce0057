// Cost of a log call below the minimum level: a comparison and nothing else.

#include <benchmark/benchmark.h>

#include "base/log.h"

namespace {

void BM_SuppressedDebugLine(benchmark::State& state) {
  setLogLevel(LOG_INFO);
  int object = 0;
  unsigned long long seq = 0;
  for (auto _ : state) {
    logMessage(LOG_DEBUG, &object, "SMPPSession", "processInput", "seqno=%llu status=%s", ++seq,
               "ESME_ROK");
  }
  benchmark::DoNotOptimize(seq);
}
BENCHMARK(BM_SuppressedDebugLine);

void BM_LogEnabledCheck(benchmark::State& state) {
  setLogLevel(LOG_INFO);
  for (auto _ : state) benchmark::DoNotOptimize(logEnabled(LOG_DEBUG));
}
BENCHMARK(BM_LogEnabledCheck);

}  // namespace
