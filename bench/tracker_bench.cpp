// Cost of the correlation tables: a submit recorded and its response found,
// a missed response with a large table outstanding (the diagnosis), receipt
// lookups, and loading a large "msgtrack" file.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "base/log.h"
#include "tracking/tracker.h"

namespace {

void quietLogs() {
  setLogLevel(LOG_SEVERE);
}

void BM_SubmitThenResponse(benchmark::State& state) {
  quietLogs();
  Tracker tracker("");
  uint64_t seq = 0;
  for (auto _ : state) {
    tracker.addSubmitSM(1, seq, 0x1234500, seq);
    uint64_t session = 0, seqno = 0;
    benchmark::DoNotOptimize(tracker.getSessionForSubmitSMResp(session, seqno, 0x1234500, seq));
    ++seq;
  }
}
BENCHMARK(BM_SubmitThenResponse);

// A response that is not found while `range` submits are outstanding: the
// diagnosis scans the table once and dumps at most 100 entries.
void BM_MissedResponseWithLargeTable(benchmark::State& state) {
  quietLogs();
  Tracker tracker("");
  for (int64_t i = 0; i < state.range(0); ++i)
    tracker.addSubmitSM(1, static_cast<uint64_t>(i), 0x100, static_cast<uint64_t>(i));
  // The diagnosis goes to standard error; keep it off the terminal.
  fflush(stderr);
  int saved = dup(2);
  FILE* sink = freopen("/dev/null", "w", stderr);
  (void)sink;
  for (auto _ : state) {
    uint64_t session = 0, seqno = 0;
    benchmark::DoNotOptimize(tracker.getSessionForSubmitSMResp(session, seqno, 0x999, 1));
  }
  fflush(stderr);
  dup2(saved, 2);
  close(saved);
}
BENCHMARK(BM_MissedResponseWithLargeTable)->Arg(1000)->Arg(300000)->Unit(benchmark::kMicrosecond);

void BM_ReceiptLookupNormalised(benchmark::State& state) {
  quietLogs();
  Tracker tracker("");
  uint64_t n = 0;
  for (auto _ : state) {
    std::string id = std::to_string(n);
    tracker.addMessageIDMapping(0x4200, id, "acme");
    std::string systemId;
    benchmark::DoNotOptimize(tracker.getMessageIDMapping(0x4200, "000" + id, systemId));
    ++n;
  }
}
BENCHMARK(BM_ReceiptLookupNormalised);

void BM_MsgtrackDecode(benchmark::State& state) {
  MessageIDMap records;
  for (int64_t i = 0; i < state.range(0); ++i)
    records.emplace(MessageIDKey{static_cast<uint64_t>(i % 50), "msg-" + std::to_string(i)},
                    "esme" + std::to_string(i % 20));
  std::string data = msgtrack::encode(records);
  for (auto _ : state) benchmark::DoNotOptimize(msgtrack::decode(data));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_MsgtrackDecode)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
