// Figures of the CDR path: cost per message of the CORRELATE lifecycle (alone
// and with the write thread storing meanwhile), records stored per second to
// CSV and posted per second to a loopback endpoint, memory per pending record.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <filesystem>
#include <string>

#include "base/log.h"
#include "cdr/cdr_file_store.h"
#include "cdr/cdr_http_store.h"
#include "cdr/smpp_cdr_manager.h"
#include "tests/support/fake_http_server.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr uint64_t kSlot = (0x1234ULL << 8) | 1;

SMPP::T_SubmitSM sampleSubmit() {
  SMPP::T_SubmitSM sm;
  sm.source_addr = "447700900001";
  sm.destination_addr = "447700900999";
  sm.short_message.assign(120, 'x');
  return sm;
}

std::vector<CDRRecord> sampleBatch(size_t n) {
  std::vector<CDRRecord> batch(n);
  for (size_t i = 0; i < n; ++i) {
    CDRRecord& r = batch[i];
    r.messageId = "7f3a9c" + std::to_string(i);
    r.sourceAddr = "447700900001";
    r.destAddr = "447700900999";
    r.submitTime = r.messageIdTime = r.dlrReceivedTime = r.deliveryTime = 1710000000000000000LL;
    r.deliveryStatus = 2;
    r.esmeId = "esme1";
    r.esmeIp = "10.0.0.1";
    r.smscName = "smscX";
    r.smscId = kSlot;
    r.messageLength = 120;
    r.mccMNC = "23415";
  }
  return batch;
}

void lifecycle(benchmark::State& state, bool writerThread) {
  setLogLevel(LOG_WARNING);
  testing_support::TempDir dir;
  SMPPCDRManager cdr;
  CDRSettings s;
  s.directory = dir.path();
  cdr.initialize(s, writerThread);
  cdr.setMode(CDRMode::CORRELATE);
  const SMPP::T_SubmitSM sm = sampleSubmit();
  uint64_t seq = 0;
  for (auto _ : state) {
    ++seq;
    const std::string id = std::to_string(seq);
    cdr.createInitialCDR(sm, "esme1", "10.0.0.1", "smscX", kSlot, seq, "23415");
    cdr.updateCDRWithMessageID(kSlot, seq, id);
    cdr.updateCDRWithDeliveryReceipt(kSlot, "smscX", id, 2, 0, "2403091601");
    if (!writerThread && seq % 1000 == 0) {
      state.PauseTiming();
      cdr.writeCycle();
      state.ResumeTiming();
    }
  }
  cdr.shutdown();
  state.SetItemsProcessed(state.iterations());
}

void BM_CorrelateLifecycle_OneThread(benchmark::State& state) {
  lifecycle(state, false);
}
void BM_CorrelateLifecycle_WithWriter(benchmark::State& state) {
  lifecycle(state, true);
}

void BM_StoreCsv(benchmark::State& state) {
  setLogLevel(LOG_WARNING);
  testing_support::TempDir dir;
  CDRFileStore store(dir.path(), 0, false);
  const auto batch = sampleBatch(1000);
  for (auto _ : state) store.store(batch, CDRMode::CORRELATE, 1710000000000000ULL);
  state.SetItemsProcessed(state.iterations() * 1000);
}

void BM_PostHttp(benchmark::State& state) {
  setLogLevel(LOG_WARNING);
  testing_support::FakeHttpServer server;
  CDRHttpSettings s;
  s.endpoint = server.url("/cdr");
  CDRHttpStore store(s);
  const auto batch = sampleBatch(1000);
  for (auto _ : state) store.store(batch, CDRMode::CORRELATE, 0);
  state.SetItemsProcessed(state.iterations() * 1000);
}

void BM_MemoryPerPendingRecord(benchmark::State& state) {
  setLogLevel(LOG_WARNING);
  const SMPP::T_SubmitSM sm = sampleSubmit();
  constexpr uint64_t kRecords = 100000;
  double perRecord = 0;
  for (auto _ : state) {
    SMPPCDRManager cdr;
    cdr.setMode(CDRMode::CORRELATE);
    const size_t before = mallinfo2().uordblks;
    for (uint64_t seq = 0; seq < kRecords; ++seq) {
      cdr.createInitialCDR(sm, "esme1", "10.0.0.1", "smscX", kSlot, seq, "23415");
      cdr.updateCDRWithMessageID(kSlot, seq, "7f3a9c0d1e2f" + std::to_string(seq));
    }
    perRecord = static_cast<double>(mallinfo2().uordblks - before) / kRecords;
  }
  state.counters["bytes_per_pending_record"] = perRecord;
}

}  // namespace

BENCHMARK(BM_CorrelateLifecycle_OneThread);
BENCHMARK(BM_CorrelateLifecycle_WithWriter);
BENCHMARK(BM_StoreCsv);
BENCHMARK(BM_PostHttp);
BENCHMARK(BM_MemoryPerPendingRecord)->Iterations(1);
