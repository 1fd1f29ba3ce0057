// Call detail records: the CSV and JSON encodings (read back with a CSV
// reader of the test's own), the day files, the HTTP endpoint, and the
// manager's lifecycle, batches, failures, spool and shutdown.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>
#include <tuple>

#include "admin/metrics.h"
#include "cdr/cdr_encoding.h"
#include "cdr/cdr_file_store.h"
#include "cdr/cdr_http_store.h"
#include "cdr/smpp_cdr_manager.h"
#include "tests/support/fake_http_server.h"
#include "tests/support/temp_dir.h"

namespace {

using testing_support::FakeHttpServer;
using testing_support::TempDir;
using Rows = std::vector<std::string>;
constexpr uint64_t kSecond = 1000000;

// Splits RFC 4180 text into records of fields (quoted fields may hold commas,
// doubled quotes and line breaks). Independent of the writer under test.
std::vector<Rows> readCsv(const std::string& text) {
  std::vector<Rows> rows;
  Rows row;
  std::string field;
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted && c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
      field += text[++i];
    } else if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && (c == ',' || c == '\n')) {
      row.push_back(std::move(field));
      field.clear();
      if (c == '\n') rows.push_back(std::move(row)), row.clear();
    } else {
      field += c;
    }
  }
  return rows;
}

// Fields holding separators, quotes or line breaks are quoted, so an address
// holding them keeps every later column of its row in place. (The reader
// takes a bare carriage return as text, spreadsheets do not.)
TEST(CdrCsv, QuotedFieldsKeepEveryLaterColumnInPlace) {
  CDRRecord r;
  r.origin = CDROrigin::MO;
  r.esmeIp = "a,b";
  r.sourceAddr = "Shop, \"Best\"";
  r.destAddr = "line\nfeed";
  r.esmeId = "cr\rhere";
  r.mccMNC = "\"";
  std::string text;
  appendCsvRow(text, r, CDRMode::CORRELATE);
  const auto rows = readCsv(text);
  ASSERT_EQ(rows.size(), 1u);
  ASSERT_EQ(rows[0].size(), kCDRColumnCount);
  EXPECT_EQ(std::tie(rows[0][1], rows[0][2], rows[0][15], rows[0][16], rows[0][27]),
            std::tie(r.sourceAddr, r.destAddr, r.esmeId, r.esmeIp, r.mccMNC));
  EXPECT_NE(text.find("\"cr\rhere\""), std::string::npos) << text;
}

// The parts of a message are known from its user data header (esm_class
// 0x40) or from its sar parameters, whose 16-bit reference keeps its low
// octet; a header cut short, or one without esm_class 0x40, gives none.
TEST(CdrConcatenation, FromHeaderOrSarParameters) {
  struct Case {
    const char* name;
    uint8_t esmClass;
    std::vector<uint8_t> text;
    std::vector<SMPP::TLV> tlvs;
    const char* parts;  // "ref/total/part", "" when not concatenated
  } cases[] = {
      {"header", 0x40, {0x05, 0x00, 0x03, 0x2A, 0x03, 0x02, 'h'}, {}, "42/3/2"},
      {"header cut short", 0x40, {0x05, 0x00, 0x03, 0x2A}, {}, ""},
      {"sar", 0, {'h'}, {{0x020C, 2, {0x01, 0x07}}, {0x020E, 1, {4}}, {0x020F, 1, {3}}}, "7/4/3"},
      {"neither", 0, {0x05, 0x00, 0x03, 0x2A, 0x03, 0x02}, {}, ""},
  };
  for (const Case& c : cases) {
    SMPP::T_SubmitSM sm;
    sm.esm_class = c.esmClass;
    sm.short_message = c.text;
    sm.tlvs = c.tlvs;
    CDRRecord r;
    const bool found = extractConcatenation(sm, r);
    EXPECT_EQ(found, r.isConcatenated) << c.name;
    EXPECT_EQ(found ? std::to_string(r.concatRef) + "/" + std::to_string(r.concatTotal) + "/" +
                          std::to_string(r.concatPart)
                    : "",
              c.parts)
        << c.name;
  }
}

// 2024-03-09 22:30:00 UTC, and the midnight after it.
constexpr uint64_t kLateEvening = 1710023400ULL * kSecond;
constexpr uint64_t kMidnightUTC = 1710028800ULL * kSecond;

std::vector<CDRRecord> batchOf(size_t n, const std::string& source = "447700900123") {
  std::vector<CDRRecord> batch(n);
  for (size_t i = 0; i < n; ++i) {
    batch[i].origin = CDROrigin::MO;
    batch[i].sourceAddr = source;
    batch[i].esmeId = "e" + std::to_string(i);
  }
  return batch;
}

// Each file holds the rows of one day in the zone "rotation_timezone_offset"
// minutes east of UTC, with its header once at the top.
TEST(CdrFileStore, HeaderOncePerFileAndNewFileAtLocalMidnight) {
  for (int64_t offsetMinutes : {0, 120, -60}) {
    SCOPED_TRACE(offsetMinutes);
    TempDir dir;
    CDRFileStore store(dir.path(), offsetMinutes, true);
    // The start of 10 March in that zone.
    const uint64_t midnight =
        static_cast<uint64_t>(static_cast<int64_t>(kMidnightUTC) - offsetMinutes * 60000000);
    ASSERT_TRUE(store.store(batchOf(2), CDRMode::CORRELATE, midnight - 3600 * kSecond));
    ASSERT_TRUE(store.store(batchOf(1), CDRMode::CORRELATE, midnight - 1));
    ASSERT_TRUE(store.store(batchOf(1), CDRMode::CORRELATE, midnight));
    const auto first = readCsv(dir.read("cdrs-20240309.csv"));
    ASSERT_EQ(first.size(), 4u);
    EXPECT_EQ(first[0][0], "messageId");
    EXPECT_EQ(first[0].size(), kCDRColumnCount);
    EXPECT_EQ(first[3][1], "4477********");
    const auto second = readCsv(dir.read("cdrs-20240310.csv"));
    ASSERT_EQ(second.size(), 2u);
    EXPECT_EQ(second[0][0], "messageId");
  }
}

// The day's file takes the write and then fails it (disk full): the attempt
// fails, the file keeps only what was there, and the retry once the disk has
// room writes each row exactly once.
TEST(CdrFileStore, FailedWriteLeavesNothingAndRetryWritesOnce) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  TempDir dir;
  CDRFileStore store(dir.path(), 0, false);
  const std::string name = store.fileNameAt(kLateEvening), path = dir.file(name);
  ASSERT_TRUE(store.store(batchOf(1), CDRMode::CORRELATE, kLateEvening));
  const std::string before = dir.read(name);
  std::filesystem::rename(path, path + ".kept");
  std::filesystem::create_symlink("/dev/full", path);
  EXPECT_FALSE(store.store(batchOf(3), CDRMode::CORRELATE, kLateEvening));
  std::filesystem::remove(path);
  std::filesystem::rename(path + ".kept", path);
  EXPECT_EQ(dir.read(name), before);
  ASSERT_TRUE(store.store(batchOf(3), CDRMode::CORRELATE, kLateEvening));
  EXPECT_EQ(readCsv(dir.read(name)).size(), 5u);
}

// Only a 2xx answer stores the batch; an error status, an answer that is not
// HTTP and no answer within the time limit are failed attempts. Each batch
// is one POST of a JSON array with the configured header line, anonymised
// when asked, and batches reuse one connection.
TEST(CdrHttpStore, OnlyTwoHundredsStoreTheBatch) {
  struct Case {
    const char* answer;
    int status;
    int delayMillis;
    bool stored;
  } cases[] = {
      {"status", 200, 0, true},     {"status", 204, 0, true},    {"status", 200, 100, true},
      {"status", 500, 0, false},    {"status", 302, 0, false},   {"status", 200, 2000, false},
      {"garbage", 0, 0, false},     {"silent", 0, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.answer) + " " + std::to_string(c.status) + " after " +
                 std::to_string(c.delayMillis) + " ms");
    FakeHttpServer server;
    const std::string answer = c.answer;
    if (answer == "status") server.answerStatus(c.status, c.delayMillis);
    if (answer == "garbage") server.answerGarbage();
    if (answer == "silent") server.answerNothing();
    CDRHttpSettings s;
    s.endpoint = server.url("/cdr");
    s.authHeader = "Authorization: Bearer t0k3n";
    s.connectTimeoutMs = 1000;
    s.totalTimeoutMs = 1000;  // far above the 100 ms answer even on a loaded machine
    s.anonymise = true;
    CDRHttpStore store(s);
    std::vector<CDRRecord> batch(2);
    batch[0].sourceAddr = std::string("44\x80\xff", 4);  // customer octets, not UTF-8
    batch[0].submitTime = 1700000000000000000LL;
    batch[1].sourceAddr = "447700900123";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(store.store(batch, CDRMode::CORRELATE, 0), c.stored);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    ASSERT_EQ(server.requestCount(), 1u);
    const auto request = server.requests()[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/cdr");
    for (const char* line : {"Content-Type: application/json", "Authorization: Bearer t0k3n"})
      EXPECT_NE(std::find(request.headerLines.begin(), request.headerLines.end(), line),
                request.headerLines.end())
          << line;
    const auto body = nlohmann::json::parse(request.body);
    ASSERT_EQ(body.size(), 2u);
    EXPECT_EQ(body[0]["submitTimeISO8601"], "2023-11-14T22:13:20Z");
    EXPECT_EQ(body[1]["sourceAddr"], "4477********");
    if (!c.stored) continue;
    ASSERT_TRUE(store.store(batch, CDRMode::CORRELATE, 0));
    EXPECT_EQ(server.connectionCount(), 1u);
  }
}

constexpr uint64_t kStart = 1710000000ULL * kSecond;  // 2024-03-09 16:00 UTC
constexpr uint64_t kSlotA = (0xABCDULL << 8) | 1;
constexpr uint64_t kSlotB = (0xABCDULL << 8) | 2;  // same target, another bind

// A manager on an injected clock storing to CSV files in a fresh directory
// (or the settings' own); without its threads the test drives flushes and
// writes.
struct Harness {
  TempDir dir;
  std::atomic<uint64_t> now{kStart};
  SMPPCDRManager cdr{[this] { return now.load(); }};

  explicit Harness(CDRMode mode, CDRSettings s = {}, bool threads = false) {
    if (s.directory == CDRSettings{}.directory) s.directory = dir.path();
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
      const auto lines = readCsv(dir.read(file));
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
// waiting and its receipt may come on another bind of the target. One whose
// receipt never comes is stored without receipt fields after a day, not
// before.
TEST(SMPPCDRManager, LostBindStoresUnansweredRecordsAndStaleOnesGoAfterADay) {
  Harness h(CDRMode::CORRELATE);
  h.open(kSlotA, 1);
  h.open(kSlotA, 2);
  h.open(kSlotB, 3);
  h.open(kSlotA, 4);
  h.cdr.updateCDRWithMessageID(kSlotA, 1, "m1");
  h.cdr.updateCDRWithMessageID(kSlotA, 4, "m4");
  h.cdr.cleanupPendingCDRsForSMSC(kSlotA);
  EXPECT_EQ(h.cdr.pendingCount(), 3u);
  h.cdr.updateCDRWithDeliveryReceipt(kSlotB, "smscX", "m1", 2, 0, "");
  h.cdr.updateCDRWithMessageID(kSlotB, 3, "m3");
  h.now += 23 * 3600 * kSecond;
  h.cdr.cleanupStaleCDRs();
  EXPECT_EQ(h.cdr.pendingCount(), 2u);
  h.now += 2 * 3600 * kSecond;
  h.cdr.cleanupStaleCDRs();
  EXPECT_EQ(h.cdr.pendingCount() + h.cdr.indexCount(), 0u);
  ASSERT_TRUE(h.store());
  EXPECT_EQ(h.rows({"messageId", "submitStatus", "deliveryStatus", "dlrReceivedTime"}),
            (Rows{"|8||", "m1|0|2|" + std::to_string(kStart / kSecond), "m4|0||", "m3|0||"}));
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

// An endpoint down for long: each batch is tried three times, and past half
// the memory bound failed batches go to the spool file, and so does what is
// left at shutdown; once the endpoint answers, also after a restart, every
// record is posted exactly once.
TEST(SMPPCDRManager, OutageSpillsToSpoolAndEveryRecordIsPostedOnceAfterRecovery) {
  FakeHttpServer server;
  server.answerStatus(503);
  TempDir dir;
  CDRSettings s;
  s.httpBackend = true;
  s.httpEndpoint = server.url("/cdr");
  s.maxQueuedRecords = 4;
  s.directory = dir.path();
  std::multiset<std::string> sent;
  {
    Harness h(CDRMode::OPERATION, s);
    for (int i = 0; i < 6; ++i) {
      sent.insert("e" + std::to_string(i));
      h.mo("e" + std::to_string(i), i);
      EXPECT_FALSE(h.store());
      EXPECT_LE(h.cdr.queuedCount(), 2u);
      if (i == 0) {
        EXPECT_EQ(server.requestCount(), 3u) << "three attempts per batch";
      }
    }
    h.mo("last", 9);
    sent.insert("last");
    h.cdr.shutdown();
  }
  std::ofstream(dir.file("cdr-spool.jsonl"), std::ios::app) << "{\"mode\":2,\"orig";  // cut short

  server.answerStatus(200);
  const size_t failedRequests = server.requestCount();
  SMPPCDRManager restarted;
  restarted.initialize(s, false);
  restarted.drainSpool();
  auto requests = server.requests();
  std::multiset<std::string> posted;
  for (size_t i = failedRequests; i < requests.size(); ++i)
    for (const auto& record : nlohmann::json::parse(requests[i].body))
      posted.insert(record["esmeId"]);
  EXPECT_EQ(posted, sent);
  EXPECT_FALSE(dir.exists("cdr-spool.jsonl"));
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
