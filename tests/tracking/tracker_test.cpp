#include "tracking/tracker.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "admin/metrics.h"
#include "tests/support/temp_dir.h"

using testing_support::TempDir;

namespace {

// A clock the test moves by hand.
struct ManualClock {
  std::shared_ptr<std::atomic<uint64_t>> micros = std::make_shared<std::atomic<uint64_t>>(1700000000000000ULL);
  Tracker::Clock clock() const {
    auto m = micros;
    return [m] { return m->load(); };
  }
  void advance(uint64_t us) { *micros += us; }
};

size_t countOccurrences(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) ++n;
  return n;
}

std::string u64Bytes(uint64_t v) {
  std::string s(8, '\0');
  memcpy(s.data(), &v, 8);
  return s;
}

std::string record(uint64_t target, const std::string& messageId, const std::string& systemId) {
  return u64Bytes(target) + u64Bytes(messageId.size()) + messageId + u64Bytes(systemId.size()) +
         systemId;
}

class TrackerTest : public ::testing::Test {
 protected:
  void SetUp() override { MetricsRegistry::instance().clearForTesting(); }
  ManualClock clock;
};

TEST_F(TrackerTest, SubmitSMRespFindsTheCustomerSessionAndSequenceOnce) {
  Tracker tracker("", clock.clock());
  tracker.addSubmitSM(7, 42, 0x1234501, 9);
  tracker.addSubmitSM(8, 43, 0x1234502, 9);
  uint64_t session = 0, seqno = 0;
  ASSERT_TRUE(tracker.getSessionForSubmitSMResp(session, seqno, 0x1234501, 9));
  EXPECT_EQ(session, 7u);
  EXPECT_EQ(seqno, 42u);
  EXPECT_EQ(MetricsRegistry::instance().gaugeValue("sysTracker_submitSMMap_size"), 1);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(tracker.getSessionForSubmitSMResp(session, seqno, 0x1234501, 9));
  testing::internal::GetCapturedStderr();
  ASSERT_TRUE(tracker.getSessionForSubmitSMResp(session, seqno, 0x1234502, 9));
  EXPECT_EQ(session, 8u);
  EXPECT_EQ(seqno, 43u);
}

TEST_F(TrackerTest, ResponseThirtyOneSecondsAfterTheLastSubmitIsStillFound) {
  Tracker tracker("", clock.clock());
  tracker.addSubmitSM(1, 2, 0x100, 3);
  clock.advance(31000000);
  uint64_t session = 0, seqno = 0;
  EXPECT_TRUE(tracker.getSessionForSubmitSMResp(session, seqno, 0x100, 3));
}

TEST_F(TrackerTest, SubmitAfterThirtyOneSecondPauseClearsOlderEntries) {
  Tracker tracker("", clock.clock());
  tracker.addSubmitSM(1, 2, 0x100, 3);
  tracker.addSubmitSM(1, 3, 0x100, 4);
  clock.advance(31000000);
  tracker.addSubmitSM(1, 4, 0x100, 5);
  EXPECT_EQ(tracker.submitSMMapSize(), 1u);
  uint64_t session = 0, seqno = 0;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(tracker.getSessionForSubmitSMResp(session, seqno, 0x100, 3));
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(tracker.getSessionForSubmitSMResp(session, seqno, 0x100, 5));
  EXPECT_EQ(seqno, 4u);
}

TEST_F(TrackerTest, ThirtySecondsExactlyDoNotClear) {
  Tracker tracker("", clock.clock());
  tracker.addSubmitSM(1, 2, 0x100, 3);
  clock.advance(30000000);
  tracker.addSubmitSM(1, 3, 0x100, 4);
  EXPECT_EQ(tracker.submitSMMapSize(), 2u);
}

TEST_F(TrackerTest, SameSlotAndSequenceOverwrites) {
  Tracker tracker("", clock.clock());
  tracker.addSubmitSM(1, 2, 0x100, 3);
  tracker.addSubmitSM(5, 6, 0x100, 3);
  uint64_t session = 0, seqno = 0;
  ASSERT_TRUE(tracker.getSessionForSubmitSMResp(session, seqno, 0x100, 3));
  EXPECT_EQ(session, 5u);
  EXPECT_EQ(seqno, 6u);
}

TEST_F(TrackerTest, MissedResponseDiagnosisIsCappedAtOneHundredEntries) {
  Tracker tracker("", clock.clock());
  for (uint64_t i = 0; i < 500; ++i) tracker.addSubmitSM(1, i, 0x200, i);
  uint64_t session = 0, seqno = 0;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(tracker.getSessionForSubmitSMResp(session, seqno, 0x200, 100000));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Linear scan confirms the exact pair is absent from submitSMMap.\n"),
            std::string::npos);
  EXPECT_NE(err.find("submitSMMap dump (size: 500):\n"), std::string::npos);
  EXPECT_EQ(countOccurrences(err, "  Key = {nextSMSC: 0x200, seqno_out: "), 100u);
  EXPECT_NE(err.find("  ... and 400 more entries\n"), std::string::npos);
}

TEST_F(TrackerTest, MissedResponseDumpShowsEveryEntryOfASmallTable) {
  Tracker tracker("", clock.clock());
  tracker.addSubmitSM(77, 88, 0xabc, 99);
  uint64_t session = 0, seqno = 0;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(tracker.getSessionForSubmitSMResp(session, seqno, 0xabc, 100));
  std::string err = testing::internal::GetCapturedStderr();
  std::string expected = "Linear scan confirms the exact pair is absent from submitSMMap.\n"
                         "submitSMMap dump (size: 1):\n"
                         "  Key = {nextSMSC: 0xabc, seqno_out: 99} -> {sessionid: 77, seqno: 88, "
                         "timestamp: " +
                         std::to_string(clock.micros->load()) + "}\n";
  EXPECT_EQ(err, expected);
}

TEST_F(TrackerTest, MessageIdMappingServesExactlyOneReceiptThenTheTargetMap) {
  Tracker tracker("", clock.clock());
  tracker.addMessageIDMapping(0x12345601, "abc", "acme");
  EXPECT_EQ(MetricsRegistry::instance().gaugeValue("sysTracker_messageIDMap_size"), 1);
  tracker.setTargetEsme("other", 0x123456);
  std::string systemId;
  // Another slot of the same target finds it: the key is the target id.
  ASSERT_TRUE(tracker.getMessageIDMapping(0x12345602, "abc", systemId));
  EXPECT_EQ(systemId, "acme");
  EXPECT_EQ(MetricsRegistry::instance().gaugeValue("sysTracker_messageIDMap_size"), 0);
  ASSERT_TRUE(tracker.getMessageIDMapping(0x12345601, "abc", systemId));
  EXPECT_EQ(systemId, "other");
}

TEST_F(TrackerTest, SecondReceiptFallsBackToTheDefaultSystemId) {
  Tracker tracker("", clock.clock());
  tracker.setDefaultSystemId("fallback");
  tracker.addMessageIDMapping(0x100, "m1", "acme");
  std::string systemId;
  ASSERT_TRUE(tracker.getMessageIDMapping(0x100, "m1", systemId));
  EXPECT_EQ(systemId, "acme");
  ASSERT_TRUE(tracker.getMessageIDMapping(0x100, "m1", systemId));
  EXPECT_EQ(systemId, "fallback");
}

TEST_F(TrackerTest, UnknownMessageWithoutFallbacksIsNotFound) {
  Tracker tracker("", clock.clock());
  tracker.addMessageIDMapping(0x100, "m1", "acme");
  std::string systemId = "untouched";
  EXPECT_FALSE(tracker.getMessageIDMapping(0x200, "m1", systemId));
  EXPECT_EQ(systemId, "untouched");
  EXPECT_EQ(tracker.messageIDMapSize(), 1u);
}

// A receipt's message id that is not stored as given is read like an integer
// (blanks, sign, leading zeros, trailing text) and looked up again.
TEST_F(TrackerTest, MessageIdsNormaliseToTheNumberTheyStartWith) {
  struct Case {
    const char* stored;
    const char* received;
  };
  const Case cases[] = {{"123", "000123"}, {"124", "124abc"}, {"0", "0000ABC"},
                        {"-5", "  -005"},  {"6", "+6"}};
  Tracker tracker("", clock.clock());
  for (const Case& c : cases) tracker.addMessageIDMapping(0x100, c.stored, std::string("esme-") + c.stored);
  for (const Case& c : cases) {
    std::string systemId;
    ASSERT_TRUE(tracker.getMessageIDMapping(0x100, c.received, systemId)) << c.received;
    EXPECT_EQ(systemId, std::string("esme-") + c.stored) << c.received;
  }
  EXPECT_EQ(tracker.messageIDMapSize(), 0u);
}

TEST_F(TrackerTest, NumberBeyondSixtyFourBitsIsNotNormalised) {
  Tracker tracker("", clock.clock());
  // strtoll saturates at the largest value; that must not be taken as a match.
  tracker.addMessageIDMapping(0x100, "9223372036854775807", "max");
  std::string systemId;
  EXPECT_FALSE(tracker.getMessageIDMapping(0x100, "99999999999999999999", systemId));
  EXPECT_EQ(tracker.messageIDMapSize(), 1u);
}

TEST_F(TrackerTest, DisabledTrackingResolvesThroughTheTargetMapAndDefault) {
  Tracker tracker("", clock.clock());
  tracker.setDisableMsgIdTracking(true);
  tracker.addMessageIDMapping(0x4200, "m1", "acme");
  EXPECT_EQ(tracker.messageIDMapSize(), 0u);
  tracker.setTargetEsme("viaTarget", 0x42);
  tracker.setDefaultSystemId("viaDefault");
  std::string systemId;
  ASSERT_TRUE(tracker.getMessageIDMapping(0x4200, "m1", systemId));
  EXPECT_EQ(systemId, "viaTarget");
  ASSERT_TRUE(tracker.getMessageIDMapping(0x4300, "m1", systemId));
  EXPECT_EQ(systemId, "viaDefault");
}

TEST_F(TrackerTest, SessionReferenceExpiresWithTheSession) {
  Tracker tracker("", clock.clock());
  auto holder = std::make_shared<int>(5);
  // Any shared object stands in for a session: only the reference matters.
  std::shared_ptr<SMPPSession> session(holder, reinterpret_cast<SMPPSession*>(holder.get()));
  tracker.setSession(11, session);
  EXPECT_FALSE(tracker.getSession(11).expired());
  EXPECT_TRUE(tracker.getSession(12).expired());
  session.reset();
  holder.reset();
  EXPECT_TRUE(tracker.getSession(11).expired());
}

// A stand-in for a session: only the shared ownership matters to the tracker.
std::shared_ptr<SMPPSession> fakeSession() {
  auto holder = std::make_shared<int>(0);
  return std::shared_ptr<SMPPSession>(holder, reinterpret_cast<SMPPSession*>(holder.get()));
}

TEST_F(TrackerTest, SessionsThatComeAndGoLeaveNoEntries) {
  Tracker tracker("", clock.clock());
  auto kept = fakeSession();
  tracker.setSession(1, kept);
  tracker.setSessionSystemId("kept", 1);
  for (uint64_t id = 2; id < 1002; ++id) {
    auto session = fakeSession();
    tracker.setSession(id, session);
    tracker.setSessionSystemId("acme", id);
    tracker.removeSession(id);
  }
  EXPECT_EQ(tracker.sessionTableSize(), 2u);
  std::string systemId;
  EXPECT_FALSE(tracker.getSessionSystemId(500, systemId));
  ASSERT_TRUE(tracker.getSessionSystemId(1, systemId));
  EXPECT_EQ(systemId, "kept");
  tracker.removeSession(1);
  EXPECT_EQ(tracker.sessionTableSize(), 0u);
  EXPECT_TRUE(tracker.getSession(1).expired());
}

TEST_F(TrackerTest, ExpiredSessionsNeverRemovedArePrunedByLaterAdditions) {
  Tracker tracker("", clock.clock());
  std::vector<std::shared_ptr<SMPPSession>> live;
  for (uint64_t id = 0; id < 100; ++id) {
    live.push_back(fakeSession());
    tracker.setSession(id, live.back());
  }
  // Ten thousand sessions whose owners forget removeSession.
  for (uint64_t id = 100; id < 10100; ++id) {
    tracker.setSession(id, fakeSession());
    tracker.setSessionSystemId("gone", id);
    // Never more than twice the live sessions, plus the system ids of the
    // expired ones still waiting for the next sweep.
    ASSERT_LE(tracker.sessionTableSize(), 2 * 2 * live.size()) << id;
  }
  for (uint64_t id = 0; id < 100; ++id) EXPECT_FALSE(tracker.getSession(id).expired()) << id;
}

TEST_F(TrackerTest, SessionSystemIdIsRemembered) {
  Tracker tracker("", clock.clock());
  std::string systemId = "none";
  EXPECT_FALSE(tracker.getSessionSystemId(3, systemId));
  EXPECT_EQ(systemId, "none");
  tracker.setSessionSystemId("acme", 3);
  tracker.setSessionSystemId("beta", 3);
  ASSERT_TRUE(tracker.getSessionSystemId(3, systemId));
  EXPECT_EQ(systemId, "beta");
}

TEST_F(TrackerTest, SaveThenLoadRestoresTheMessageIdTable) {
  TempDir dir;
  std::string file = dir.file("msgtrack");
  {
    Tracker tracker("", clock.clock());
    for (int i = 0; i < 50; ++i)
      tracker.addMessageIDMapping(static_cast<uint64_t>(i) << 8, "id" + std::to_string(i),
                                  "esme" + std::to_string(i % 3));
    ASSERT_TRUE(tracker.saveToFile(file));
  }
  EXPECT_FALSE(dir.exists("msgtrack.tmp"));
  Tracker loaded("", clock.clock());
  ASSERT_TRUE(loaded.loadFromFile(file));
  EXPECT_EQ(loaded.messageIDMapSize(), 50u);
  EXPECT_EQ(MetricsRegistry::instance().gaugeValue("sysTracker_messageIDMap_size"), 50);
  for (int i = 0; i < 50; ++i) {
    std::string systemId;
    ASSERT_TRUE(loaded.getMessageIDMapping(static_cast<uint64_t>(i) << 8, "id" + std::to_string(i),
                                           systemId));
    EXPECT_EQ(systemId, "esme" + std::to_string(i % 3));
  }
}

TEST_F(TrackerTest, TrackerLoadsItsFileAtConstructionAndSavesAtDestruction) {
  TempDir dir;
  std::string file = dir.file("msgtrack");
  testing::internal::CaptureStderr();
  {
    Tracker first(file, clock.clock());
    first.addMessageIDMapping(0x500, "kept", "acme");
  }
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "Failed to open file for reading: " + file + "\n");
  Tracker second(file, clock.clock());
  std::string systemId;
  ASSERT_TRUE(second.getMessageIDMapping(0x500, "kept", systemId));
  EXPECT_EQ(systemId, "acme");
}

TEST_F(TrackerTest, FileLayoutIsCountThenLengthPrefixedRecords) {
  MessageIDMap one;
  one.emplace(MessageIDKey{0x42, "abc"}, "sys");
  std::string expected = u64Bytes(1) + record(0x42, "abc", "sys");
  EXPECT_EQ(msgtrack::encode(one), expected);
}

TEST_F(TrackerTest, TruncatedFileLoadsTheCompleteRecordsBeforeTheCut) {
  TempDir dir;
  std::string whole = u64Bytes(3) + record(1, "a1", "s1") + record(2, "a2", "s2") + record(3, "a3", "s3");
  // Cut inside the third record's system id.
  dir.write("msgtrack", whole.substr(0, whole.size() - 2));
  Tracker tracker("", clock.clock());
  tracker.addMessageIDMapping(0x900, "old", "gone");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(tracker.loadFromFile(dir.file("msgtrack")));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Error occurred while reading from file: " + dir.file("msgtrack")),
            std::string::npos);
  EXPECT_NE(err.find("Loaded 2 of 3 records"), std::string::npos);
  EXPECT_EQ(tracker.messageIDMapSize(), 2u);
  std::string systemId;
  EXPECT_TRUE(tracker.getMessageIDMapping(1 << 8, "a1", systemId));
  EXPECT_EQ(systemId, "s1");
  EXPECT_TRUE(tracker.getMessageIDMapping(2 << 8, "a2", systemId));
  EXPECT_EQ(systemId, "s2");
}

TEST_F(TrackerTest, CountBeyondTheFileIsNotTrusted) {
  std::string data = u64Bytes(UINT64_MAX) + record(1, "a1", "s1");
  msgtrack::LoadResult result = msgtrack::decode(data);
  EXPECT_EQ(result.loaded, 1u);
  EXPECT_EQ(result.declared, UINT64_MAX);
  EXPECT_FALSE(result.complete);
  EXPECT_EQ(result.records.size(), 1u);
}

TEST_F(TrackerTest, LengthBeyondTheFileStopsTheLoad) {
  std::string data = u64Bytes(2) + record(1, "a1", "s1") + u64Bytes(2) + u64Bytes(UINT64_MAX - 3) + "xyz";
  msgtrack::LoadResult result = msgtrack::decode(data);
  EXPECT_EQ(result.loaded, 1u);
  EXPECT_FALSE(result.complete);
  std::string data2 = u64Bytes(1) + u64Bytes(1) + u64Bytes(2) + "ab" + u64Bytes(1000) + "short";
  EXPECT_EQ(msgtrack::decode(data2).loaded, 0u);
}

TEST_F(TrackerTest, FileShorterThanItsCountLoadsNothing) {
  EXPECT_EQ(msgtrack::decode(std::string("\x01\x02", 2)).records.size(), 0u);
  EXPECT_FALSE(msgtrack::decode(std::string()).complete);
  EXPECT_TRUE(msgtrack::decode(u64Bytes(0)).complete);
}

TEST_F(TrackerTest, TrailingBytesAreReported) {
  std::string data = u64Bytes(1) + record(1, "a1", "s1") + "junk";
  msgtrack::LoadResult result = msgtrack::decode(data);
  EXPECT_EQ(result.loaded, 1u);
  EXPECT_FALSE(result.complete);
}

TEST_F(TrackerTest, LaterDuplicatesOverwriteEarlierOnes) {
  std::string data = u64Bytes(2) + record(1, "a1", "first") + record(1, "a1", "second");
  msgtrack::LoadResult result = msgtrack::decode(data);
  ASSERT_EQ(result.records.size(), 1u);
  EXPECT_EQ(result.records.begin()->second, "second");
  EXPECT_TRUE(result.complete);
}

TEST_F(TrackerTest, FailedSaveLeavesThePreviousFileWhole) {
  TempDir dir;
  std::string file = dir.file("msgtrack");
  std::string previous = u64Bytes(1) + record(1, "a1", "s1");
  dir.write("msgtrack", previous);
  // A directory in the way of the temporary file makes the save fail.
  ASSERT_EQ(mkdir(dir.file("msgtrack.tmp").c_str(), 0755), 0);
  Tracker tracker("", clock.clock());
  tracker.addMessageIDMapping(0x100, "new", "acme");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(tracker.saveToFile(file));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "Failed to open file for writing: " + file + "\n");
  EXPECT_EQ(dir.read("msgtrack"), previous);
}

TEST_F(TrackerTest, SaveReplacesTheFileWhole) {
  TempDir dir;
  std::string file = dir.file("msgtrack");
  dir.write("msgtrack", std::string(10000, 'x'));
  Tracker tracker("", clock.clock());
  tracker.addMessageIDMapping(0x100, "n", "s");
  ASSERT_TRUE(tracker.saveToFile(file));
  EXPECT_EQ(dir.read("msgtrack"), u64Bytes(1) + record(1, "n", "s"));
}

TEST_F(TrackerTest, ConcurrentUseFromManyThreadsKeepsEveryEntry) {
  Tracker tracker("", clock.clock());
  constexpr int kThreads = 4;
  constexpr int kPerThread = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&tracker, t] {
      for (int i = 0; i < kPerThread; ++i) {
        uint64_t slot = static_cast<uint64_t>(t + 1) << 8;
        tracker.addSubmitSM(static_cast<uint64_t>(t), static_cast<uint64_t>(i), slot,
                            static_cast<uint64_t>(i));
        tracker.addMessageIDMapping(slot, std::to_string(i), "esme" + std::to_string(t));
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(tracker.submitSMMapSize(), static_cast<size_t>(kThreads * kPerThread));
  std::atomic<int> found{0};
  threads.clear();
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&tracker, &found, t] {
      for (int i = 0; i < kPerThread; ++i) {
        uint64_t slot = static_cast<uint64_t>(t + 1) << 8;
        uint64_t session = 0, seqno = 0;
        std::string systemId;
        if (tracker.getSessionForSubmitSMResp(session, seqno, slot, static_cast<uint64_t>(i)) &&
            session == static_cast<uint64_t>(t) && seqno == static_cast<uint64_t>(i) &&
            tracker.getMessageIDMapping(slot, std::to_string(i), systemId) &&
            systemId == "esme" + std::to_string(t))
          ++found;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(found.load(), kThreads * kPerThread);
  EXPECT_EQ(tracker.submitSMMapSize(), 0u);
  EXPECT_EQ(tracker.messageIDMapSize(), 0u);
}

}  // namespace
