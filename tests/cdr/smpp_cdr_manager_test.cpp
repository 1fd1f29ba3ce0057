#include "cdr/smpp_cdr_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
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

using Row = std::map<std::string, std::string>;
constexpr uint64_t kStart = 1710000000ULL * 1000000;  // 2024-03-09 16:00 UTC
constexpr uint64_t kSlotA = (0xABCDULL << 8) | 1;
constexpr uint64_t kSlotB = (0xABCDULL << 8) | 2;  // same target, another bind

// A manager without background threads on an injected clock, storing to CSV
// files in a fresh directory; the test drives flushes and writes.
struct Harness {
  testing_support::TempDir dir;
  std::atomic<uint64_t> now{kStart};
  SMPPCDRManager cdr{[this] { return now.load(); }};

  explicit Harness(CDRMode mode, CDRSettings s = {}) {
    s.directory = dir.path();
    cdr.initialize(s, false);
    cdr.setMode(mode);
  }
  SMPP::T_SubmitSM submit(const std::string& source = "447700900001") {
    SMPP::T_SubmitSM sm;
    sm.source_addr = source;
    sm.destination_addr = "447700900999";
    sm.short_message = {'h', 'i'};
    return sm;
  }
  void open(uint64_t slot, uint64_t seq) {
    cdr.createInitialCDR(submit(), "esme1", "127.0.0.1", "smscX", slot, seq, "23415");
  }
  bool store() {
    now += 31 * 1000000ULL;
    cdr.flushIfDue();
    return cdr.writeCycle();
  }
  std::vector<Row> rows() {
    std::vector<Row> out;
    for (const auto& f : std::filesystem::directory_iterator(dir.path())) {
      auto lines = cdr_test::readCsv(dir.read(f.path().filename().string()));
      for (size_t i = 1; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].size(), kCDRColumnCount);
        Row row;
        for (size_t c = 0; c < lines[0].size() && c < lines[i].size(); ++c)
          row[lines[0][c]] = lines[i][c];
        out.push_back(row);
      }
    }
    return out;
  }
};

// One message through both modes: what each step stores, as rows.
TEST(SMPPCDRManager, LifecycleStoresTheRowsOfItsMode) {
  struct Case {
    CDRMode mode;
    uint32_t responseStatus;  // 0: message id given
    int receipts;
    std::vector<std::string> rows;  // messageId|submitStatus|deliveryStatus|esmeId per row
  } cases[] = {
      {CDRMode::CORRELATE, 0, 1, {"m1|0|2|esme1"}},
      {CDRMode::CORRELATE, 0, 2, {"m1|0|2|esme1"}},
      {CDRMode::CORRELATE, 0x45, 0, {"|69||esme1"}},
      {CDRMode::CORRELATE, 0, 0, {}},
      {CDRMode::OPERATION, 0, 1, {"m1|0||esme1", "m1||2|esme1"}},
      {CDRMode::OPERATION, 0, 2, {"m1|0||esme1", "m1||2|esme1"}},
      {CDRMode::OPERATION, 0x45, 1, {"|69||esme1"}},
      {CDRMode::NONE, 0, 1, {}},
  };
  for (const Case& c : cases) {
    Harness h(c.mode);
    h.open(kSlotA, 7);
    if (c.responseStatus == 0)
      h.cdr.updateCDRWithMessageID(kSlotA, 7, "m1");
    else
      h.cdr.updateCDRWithSubmitFail(kSlotA, 7, c.responseStatus);
    for (int i = 0; i < c.receipts; ++i) {
      h.now += 1000000;
      h.cdr.updateCDRWithDeliveryReceipt(kSlotB, "smscX", "m1", 2, 0, "2403091601");
    }
    ASSERT_TRUE(h.store());
    std::vector<std::string> got;
    for (Row& r : h.rows()) {
      got.push_back(r["messageId"] + "|" + r["submitStatus"] + "|" + r["deliveryStatus"] + "|" +
                    r["esmeId"]);
      if (r["deliveryStatus"] == "2") {
        EXPECT_EQ(r["dlrDoneDate"], "2403091601");
      }
      if (c.mode == CDRMode::CORRELATE && c.responseStatus == 0) {
        EXPECT_EQ(r["submitTime"], std::to_string(kStart / 1000000));
        EXPECT_EQ(r["dlrReceivedTimeISO8601"], "2024-03-09T16:00:01Z");
      }
    }
    EXPECT_EQ(got, c.rows) << cdrModeName(c.mode) << " " << c.responseStatus << " " << c.receipts;
    const bool waits = c.mode == CDRMode::CORRELATE && c.responseStatus == 0 && c.receipts == 0;
    EXPECT_EQ(h.cdr.pendingCount(), waits ? 1u : 0u);
  }
}

TEST(SMPPCDRManager, ConcatenationFromHeaderOrSarParameters) {
  Harness h(CDRMode::OPERATION);
  SMPP::T_SubmitSM udh = h.submit();
  udh.esm_class = 0x40;
  udh.short_message = {0x05, 0x00, 0x03, 0x2A, 0x03, 0x02, 'h', 'i'};
  SMPP::T_SubmitSM sar = h.submit();
  sar.tlvs = {{0x020C, 2, {0x01, 0x07}}, {0x020E, 1, {4}}, {0x020F, 1, {3}}};
  h.cdr.createInitialCDR(udh, "e", "", "s", kSlotA, 1, "");
  h.cdr.createInitialCDR(sar, "e", "", "s", kSlotA, 2, "");
  h.cdr.updateCDRWithMessageID(kSlotA, 1, "u");
  h.cdr.updateCDRWithMessageID(kSlotA, 2, "s");
  ASSERT_TRUE(h.store());
  std::map<std::string, std::string> concat;
  for (Row& r : h.rows()) {
    concat[r["messageId"]] =
        r["isConcatenated"] + r["concatRef"] + "/" + r["concatTotal"] + "/" + r["concatPart"];
  }
  EXPECT_EQ(concat["u"], "142/3/2");
  EXPECT_EQ(concat["s"], "17/4/3");
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
  std::multiset<std::string> got;
  for (Row& r : h.rows())
    got.insert(r["messageId"] + "|" + r["submitStatus"] + "|" + r["deliveryStatus"]);
  EXPECT_EQ(got, (std::multiset<std::string>{"|8|", "m1|0|2"}));
  EXPECT_EQ(h.cdr.pendingCount(), 1u);
}

TEST(SMPPCDRManager, StaleRecordIsStoredWithoutReceiptFields) {
  Harness h(CDRMode::CORRELATE);
  h.open(kSlotA, 1);
  h.cdr.updateCDRWithMessageID(kSlotA, 1, "m1");
  h.now += 23ULL * 3600 * 1000000;
  h.cdr.cleanupStaleCDRs();
  EXPECT_EQ(h.cdr.pendingCount(), 1u);
  h.now += 2ULL * 3600 * 1000000;
  h.cdr.cleanupStaleCDRs();
  EXPECT_EQ(h.cdr.pendingCount(), 0u);
  EXPECT_EQ(h.cdr.indexCount(), 0u);
  ASSERT_TRUE(h.store());
  auto rows = h.rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["messageId"], "m1");
  EXPECT_EQ(rows[0]["dlrReceivedTime"], "");
  EXPECT_EQ(rows[0]["deliveryStatus"], "");
}

TEST(SMPPCDRManager, PartBatchWaitsForTheFlushIntervalAndFullBatchDoesNot) {
  CDRSettings s;
  s.batchSize = 3;
  Harness h(CDRMode::OPERATION, s);
  SMPP::T_SubmitSM mo = h.submit();
  h.cdr.createCDRMO(mo, "e", "s", kSlotA, 1);
  h.now += 29 * 1000000ULL;
  h.cdr.flushIfDue();
  ASSERT_TRUE(h.cdr.writeCycle());
  EXPECT_TRUE(h.rows().empty());
  h.now += 1000000ULL;
  h.cdr.flushIfDue();
  ASSERT_TRUE(h.cdr.writeCycle());
  EXPECT_EQ(h.rows().size(), 1u);
  for (int i = 0; i < 3; ++i) h.cdr.createCDRMO(mo, "e", "s", kSlotA, 1);
  ASSERT_TRUE(h.cdr.writeCycle());
  EXPECT_EQ(h.rows().size(), 4u);
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
  const uint64_t refusedBefore =
      MetricsRegistry::instance().counterValue("cdrWrite{result=\"refused\"}");
  SMPP::T_SubmitSM mo = h.submit();
  h.cdr.createCDRMO(mo, "first", "s", kSlotA, 1);
  EXPECT_FALSE(h.store());
  h.cdr.createCDRMO(mo, "second", "s", kSlotA, 2);
  h.cdr.createCDRMO(mo, "third", "s", kSlotA, 3);
  h.cdr.createCDRMO(mo, "fourth", "s", kSlotA, 4);
  EXPECT_EQ(MetricsRegistry::instance().counterValue("cdrWrite{result=\"refused\"}"),
            refusedBefore + 1);
  EXPECT_FALSE(h.store());
  EXPECT_EQ(h.cdr.queuedCount(), 3u);
  std::filesystem::remove(blocked);
  std::filesystem::remove(h.dir.file("cdr-spool.jsonl"));
  ASSERT_TRUE(h.store());
  std::vector<std::string> got;
  for (Row& r : h.rows()) got.push_back(r["esmeId"]);
  EXPECT_EQ(got, (std::vector<std::string>{"first", "second", "third"}));
  EXPECT_EQ(h.cdr.queuedCount(), 0u);
}

TEST(SMPPCDRManager, HttpEndpointAnswering500KeepsTheBatchUntilItAnswers200) {
  testing_support::FakeHttpServer server;
  server.answerStatus(500);
  CDRSettings s;
  s.httpBackend = true;
  s.httpEndpoint = server.url("/cdr");
  Harness h(CDRMode::OPERATION, s);
  h.cdr.createCDRMO(h.submit(), "e", "s", kSlotA, 1);
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
    const std::string id = "e" + std::to_string(i);
    h->cdr.createCDRMO(h->submit(), id, "s", kSlotA, i);
    sent.insert(id);
    EXPECT_FALSE(h->store());
    EXPECT_LE(h->cdr.queuedCount(), 2u);
  }
  h->cdr.createCDRMO(h->submit(), "last", "s", kSlotA, 9);
  sent.insert("last");
  h->cdr.shutdown();
  const std::string dir = h->dir.path();
  std::filesystem::rename(dir, dir + ".kept");
  h.reset();
  std::filesystem::rename(dir + ".kept", dir);
  {
    std::ofstream torn(dir + "/cdr-spool.jsonl", std::ios::app);
    torn << "{\"mode\":2,\"orig";
  }

  server.answerStatus(200);
  const size_t failedRequests = server.requestCount();
  SMPPCDRManager restarted;
  s.directory = dir;
  restarted.initialize(s, false);
  restarted.drainSpool();
  auto requests = server.requests();
  requests.erase(requests.begin(), requests.begin() + static_cast<long>(failedRequests));
  std::multiset<std::string> posted;
  for (const auto& request : requests) {
    for (const auto& record : nlohmann::json::parse(request.body)) posted.insert(record["esmeId"]);
  }
  EXPECT_EQ(posted, sent);
  EXPECT_FALSE(std::filesystem::exists(dir + "/cdr-spool.jsonl"));
  std::filesystem::remove_all(dir);
}

// With the real threads: two producers fill batches while the writer stores
// them; shutdown writes what is still collecting; every record once.
TEST(SMPPCDRManager, ConcurrentProducersAndShutdownStoreEveryRecordOnce) {
  testing_support::TempDir dir;
  SMPPCDRManager cdr;
  CDRSettings s;
  s.directory = dir.path();
  s.batchSize = 64;
  cdr.initialize(s, true);
  cdr.setMode(CDRMode::OPERATION);
  auto produce = [&cdr](const std::string& prefix) {
    SMPP::T_SubmitSM mo;
    for (int i = 0; i < 500; ++i) cdr.createCDRMO(mo, prefix + std::to_string(i), "s", kSlotA, i);
  };
  std::thread a(produce, "a");
  std::thread b(produce, "b");
  a.join();
  b.join();
  cdr.shutdown();
  std::set<std::string> ids;
  size_t rows = 0;
  for (const auto& f : std::filesystem::directory_iterator(dir.path())) {
    const auto lines = cdr_test::readCsv(dir.read(f.path().filename().string()));
    for (size_t i = 1; i < lines.size(); ++i, ++rows) ids.insert(lines[i][15]);
  }
  EXPECT_EQ(rows, 1000u);
  EXPECT_EQ(ids.size(), 1000u);
}

}  // namespace
