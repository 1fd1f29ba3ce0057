#include "cdr/smpp_cdr_manager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "admin/metrics.h"
#include "cdr/cdr_encoding.h"
#include "tests/cdr/csv_reader.h"
#include "tests/support/fake_http_server.h"
#include "tests/support/temp_dir.h"

namespace {

using Rows = std::vector<std::string>;
constexpr uint64_t kSecond = 1000000;
constexpr uint64_t kStart = 1710000000ULL * kSecond;  // 2024-03-09 16:00 UTC
constexpr uint64_t kSlotA = (0xABCDULL << 8) | 1;
constexpr uint64_t kSlotB = (0xABCDULL << 8) | 2;  // same target, another bind

// A manager on an injected clock storing to CSV files in a fresh directory;
// without its threads the test drives flushes and writes.
struct Harness {
  testing_support::TempDir dir;
  std::atomic<uint64_t> now{kStart};
  SMPPCDRManager cdr{[this] { return now.load(); }};

  explicit Harness(CDRMode mode, CDRSettings s = {}, bool threads = false) {
    s.directory = dir.path();
    cdr.initialize(s, threads);
    cdr.setMode(mode);
  }
  void open(uint64_t slot, uint64_t seq) {
    SMPP::T_SubmitSM sm;
    sm.source_addr = "447700900001";
    cdr.createInitialCDR(sm, "esme1", "127.0.0.1", "smscX", slot, seq, "23415");
  }
  void mo(const std::string& esme, uint64_t seq = 1) {
    cdr.createCDRMO(SMPP::T_SubmitSM{}, esme, "s", kSlotA, seq);
  }
  bool store() {
    now += 31 * kSecond;
    cdr.flushIfDue();
    return cdr.writeCycle();
  }
  // Every stored row as its `fields` joined by "|", in file order.
  Rows rows(const std::vector<std::string>& fields) {
    std::set<std::string> files;
    for (const auto& f : std::filesystem::directory_iterator(dir.path()))
      if (f.path().extension() == ".csv") files.insert(f.path().filename().string());
    Rows out;
    for (const std::string& file : files) {
      const auto lines = cdr_test::readCsv(dir.read(file));
      for (size_t i = 1; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].size(), kCDRColumnCount);
        std::string row;
        for (size_t f = 0; f < fields.size(); ++f) {
          const auto at = std::find(lines[0].begin(), lines[0].end(), fields[f]) - lines[0].begin();
          row += (f == 0 ? "" : "|") + (at < std::ssize(lines[i]) ? lines[i][at] : "?");
        }
        out.push_back(row);
      }
    }
    return out;
  }
};

const std::vector<std::string> kOutcome = {"messageId", "submitStatus", "deliveryStatus",
                                           "dlrDoneDate", "esmeId"};

// One message through each mode: what each step stores.
TEST(SMPPCDRManager, LifecycleStoresTheRowsOfItsMode) {
  struct Case {
    CDRMode mode;
    uint32_t responseStatus;  // 0: message id given
    int receipts;
    Rows rows;
  } cases[] = {
      {CDRMode::CORRELATE, 0, 1, {"m1|0|2|2403091601|esme1"}},
      {CDRMode::CORRELATE, 0, 2, {"m1|0|2|2403091601|esme1"}},
      {CDRMode::CORRELATE, 0x45, 0, {"|69|||esme1"}},
      {CDRMode::CORRELATE, 0, 0, {}},
      {CDRMode::OPERATION, 0, 1, {"m1|0|||esme1", "m1||2|2403091601|esme1"}},
      {CDRMode::OPERATION, 0, 2, {"m1|0|||esme1", "m1||2|2403091601|esme1"}},
      {CDRMode::OPERATION, 0x45, 1, {"|69|||esme1"}},
      {CDRMode::NONE, 0, 1, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(cdrModeName(c.mode)) + " " + std::to_string(c.responseStatus) +
                 " receipts " + std::to_string(c.receipts));
    Harness h(c.mode);
    h.open(kSlotA, 7);
    if (c.responseStatus == 0)
      h.cdr.updateCDRWithMessageID(kSlotA, 7, "m1");
    else
      h.cdr.updateCDRWithSubmitFail(kSlotA, 7, c.responseStatus);
    for (int i = 0; i < c.receipts; ++i) {
      h.now += kSecond;
      h.cdr.updateCDRWithDeliveryReceipt(kSlotB, "smscX", "m1", 2, 0, "2403091601");
    }
    ASSERT_TRUE(h.store());
    EXPECT_EQ(h.rows(kOutcome), c.rows);
    if (c.mode == CDRMode::CORRELATE && c.receipts > 0) {
      EXPECT_EQ(h.rows({"submitTime", "dlrReceivedTimeISO8601"}),
                Rows{"1710000000|2024-03-09T16:00:01Z"});
    }
    const bool waits = c.mode == CDRMode::CORRELATE && c.responseStatus == 0 && c.receipts == 0;
    EXPECT_EQ(h.cdr.pendingCount(), waits ? 1u : 0u);
  }
}

// A lost bind stores the records of that slot still waiting for a response
// with the status their customers get; a record with a message id keeps
// waiting and its receipt may come on another bind of the target.
TEST(SMPPCDRManager, LostBindStoresUnansweredRecordsAndKeepsThoseAwaitingReceipts) {
  Harness h(CDRMode::CORRELATE);
  h.open(kSlotA, 1);
  h.open(kSlotA, 2);
  h.open(kSlotB, 3);
  h.cdr.updateCDRWithMessageID(kSlotA, 1, "m1");
  h.cdr.cleanupPendingCDRsForSMSC(kSlotA);
  EXPECT_EQ(h.cdr.pendingCount(), 2u);
  h.cdr.updateCDRWithDeliveryReceipt(kSlotB, "smscX", "m1", 2, 0, "");
  ASSERT_TRUE(h.store());
  EXPECT_EQ(h.rows({"messageId", "submitStatus", "deliveryStatus"}), (Rows{"|8|", "m1|0|2"}));
  EXPECT_EQ(h.cdr.pendingCount(), 1u);
}

TEST(SMPPCDRManager, StaleRecordIsStoredWithoutReceiptFields) {
  Harness h(CDRMode::CORRELATE);
  h.open(kSlotA, 1);
  h.cdr.updateCDRWithMessageID(kSlotA, 1, "m1");
  h.now += 23 * 3600 * kSecond;
  h.cdr.cleanupStaleCDRs();
  EXPECT_EQ(h.cdr.pendingCount(), 1u);
  h.now += 2 * 3600 * kSecond;
  h.cdr.cleanupStaleCDRs();
  EXPECT_EQ(h.cdr.pendingCount() + h.cdr.indexCount(), 0u);
  ASSERT_TRUE(h.store());
  EXPECT_EQ(h.rows({"messageId", "dlrReceivedTime", "deliveryStatus"}), Rows{"m1||"});
}

TEST(SMPPCDRManager, PartBatchWaitsForTheFlushIntervalAndFullBatchDoesNot) {
  CDRSettings s;
  s.batchSize = 3;
  Harness h(CDRMode::OPERATION, s);
  h.mo("e");
  for (size_t stored : {0u, 1u}) {
    h.now += (stored == 0 ? 29 : 1) * kSecond;
    h.cdr.flushIfDue();
    ASSERT_TRUE(h.cdr.writeCycle());
    EXPECT_EQ(h.rows({"esmeId"}).size(), stored);
  }
  for (int i = 0; i < 3; ++i) h.mo("e");
  ASSERT_TRUE(h.cdr.writeCycle());
  EXPECT_EQ(h.rows({"esmeId"}).size(), 4u);
}

// Storage and spool failing keep the records (in order, in front of newer
// ones) up to the memory bound; past it new records are refused and counted.
TEST(SMPPCDRManager, FailedStoreKeepsRecordsAndRetryStoresEachOnce) {
  CDRSettings s;
  s.maxQueuedRecords = 3;
  Harness h(CDRMode::OPERATION, s);
  const std::string blocked = h.dir.file("cdrs-20240309.csv");
  std::filesystem::create_directory(blocked);
  std::filesystem::create_directory(h.dir.file("cdr-spool.jsonl"));
  const char* kRefused = "cdrWrite{result=\"refused\"}";
  const uint64_t refusedBefore = MetricsRegistry::instance().counterValue(kRefused);
  h.mo("first");
  EXPECT_FALSE(h.store());
  for (const char* esme : {"second", "third", "fourth"}) h.mo(esme);
  EXPECT_EQ(MetricsRegistry::instance().counterValue(kRefused), refusedBefore + 1);
  EXPECT_FALSE(h.store());
  EXPECT_EQ(h.cdr.queuedCount(), 3u);
  std::filesystem::remove(blocked);
  std::filesystem::remove(h.dir.file("cdr-spool.jsonl"));
  ASSERT_TRUE(h.store());
  EXPECT_EQ(h.rows({"esmeId"}), (Rows{"first", "second", "third"}));
  EXPECT_EQ(h.cdr.queuedCount(), 0u);
}

TEST(SMPPCDRManager, HttpEndpointAnswering500KeepsTheBatchUntilItAnswers200) {
  testing_support::FakeHttpServer server;
  server.answerStatus(500);
  CDRSettings s;
  s.httpBackend = true;
  s.httpEndpoint = server.url("/cdr");
  Harness h(CDRMode::OPERATION, s);
  h.mo("e");
  EXPECT_FALSE(h.store());
  EXPECT_EQ(server.requestCount(), 3u);
  server.answerStatus(200);
  ASSERT_TRUE(h.store());
  EXPECT_EQ(server.requestCount(), 4u);
  EXPECT_EQ(h.cdr.queuedCount(), 0u);
}

// An endpoint down for long: past half the memory bound failed batches go to
// the spool file, and so does what is left at shutdown; once the endpoint
// answers, also after a restart, every record is posted exactly once.
TEST(SMPPCDRManager, OutageSpillsToSpoolAndEveryRecordIsPostedOnceAfterRecovery) {
  testing_support::FakeHttpServer server;
  server.answerStatus(503);
  CDRSettings s;
  s.httpBackend = true;
  s.httpEndpoint = server.url("/cdr");
  s.maxQueuedRecords = 4;
  std::multiset<std::string> sent;
  auto h = std::make_unique<Harness>(CDRMode::OPERATION, s);
  for (int i = 0; i < 6; ++i) {
    sent.insert("e" + std::to_string(i));
    h->mo("e" + std::to_string(i), i);
    EXPECT_FALSE(h->store());
    EXPECT_LE(h->cdr.queuedCount(), 2u);
  }
  h->mo("last", 9);
  sent.insert("last");
  h->cdr.shutdown();
  const std::string dir = h->dir.path();
  std::filesystem::rename(dir, dir + ".kept");
  h.reset();
  std::filesystem::rename(dir + ".kept", dir);
  std::ofstream(dir + "/cdr-spool.jsonl", std::ios::app) << "{\"mode\":2,\"orig";  // torn line

  server.answerStatus(200);
  const size_t failedRequests = server.requestCount();
  SMPPCDRManager restarted;
  s.directory = dir;
  restarted.initialize(s, false);
  restarted.drainSpool();
  auto requests = server.requests();
  std::multiset<std::string> posted;
  for (size_t i = failedRequests; i < requests.size(); ++i)
    for (const auto& record : nlohmann::json::parse(requests[i].body))
      posted.insert(record["esmeId"]);
  EXPECT_EQ(posted, sent);
  EXPECT_FALSE(std::filesystem::exists(dir + "/cdr-spool.jsonl"));
  std::filesystem::remove_all(dir);
}

// With the real threads: two producers fill batches while the writer stores
// them; shutdown writes what is still collecting; every record once.
TEST(SMPPCDRManager, ConcurrentProducersAndShutdownStoreEveryRecordOnce) {
  CDRSettings s;
  s.batchSize = 64;
  Harness h(CDRMode::OPERATION, s, true);
  auto produce = [&h](const std::string& prefix) {
    for (int i = 0; i < 500; ++i) h.mo(prefix + std::to_string(i), i);
  };
  std::thread a(produce, "a");
  std::thread b(produce, "b");
  a.join();
  b.join();
  h.cdr.shutdown();
  const Rows rows = h.rows({"esmeId"});
  EXPECT_EQ(rows.size(), 1000u);
  EXPECT_EQ(std::set<std::string>(rows.begin(), rows.end()).size(), 1000u);
}

}  // namespace
