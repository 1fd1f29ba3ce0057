#include "tracking/tracker.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "admin/metrics.h"
#include "tests/support/temp_dir.h"

using testing_support::TempDir;

namespace {

std::string u64Bytes(uint64_t v) {
  std::string s(8, '\0');
  memcpy(s.data(), &v, 8);
  return s;
}

std::string record(uint64_t target, const std::string& messageId, const std::string& systemId) {
  return u64Bytes(target) + u64Bytes(messageId.size()) + messageId + u64Bytes(systemId.size()) +
         systemId;
}

// A stand-in for a session: only the shared ownership matters to the tracker.
std::shared_ptr<SMPPSession> fakeSession() {
  auto holder = std::make_shared<int>(0);
  return std::shared_ptr<SMPPSession>(holder, reinterpret_cast<SMPPSession*>(holder.get()));
}

class TrackerTest : public ::testing::Test {
 protected:
  void SetUp() override { MetricsRegistry::instance().clearForTesting(); }
  int64_t gauge(const char* name) { return MetricsRegistry::instance().gaugeValue(name); }
  // The customer (or nothing) a receipt resolves to.
  static std::string receiptIn(Tracker& t, uint64_t slot, const std::string& messageId) {
    std::string systemId = "<none>";
    t.getMessageIDMapping(slot, messageId, systemId);
    return systemId;
  }
  std::string receiptFor(uint64_t slot, const std::string& id) {
    return receiptIn(tracker, slot, id);
  }
  // "session/seqno" of a response, or "miss".
  std::string responseFor(uint64_t slot, uint64_t seqOut) {
    uint64_t session = 0, seqno = 0;
    testing::internal::CaptureStderr();  // a miss dumps the table
    const bool found = tracker.getSessionForSubmitSMResp(session, seqno, slot, seqOut);
    testing::internal::GetCapturedStderr();
    return found ? std::to_string(session) + "/" + std::to_string(seqno) : "miss";
  }

  std::shared_ptr<uint64_t> micros = std::make_shared<uint64_t>(1700000000000000ULL);
  Tracker::Clock clock = [m = micros] { return *m; };
  Tracker tracker{"", clock};
};

TEST_F(TrackerTest, SubmitResponsesAreFoundOnceAndAPauseClearsOlderEntries) {
  tracker.addSubmitSM(7, 42, 0x1234501, 9);
  tracker.addSubmitSM(8, 43, 0x1234502, 9);
  tracker.addSubmitSM(1, 2, 0x100, 3);
  tracker.addSubmitSM(5, 6, 0x100, 3);  // the same slot and sequence overwrites
  EXPECT_EQ(responseFor(0x1234501, 9), "7/42");
  EXPECT_EQ(gauge("sysTracker_submitSMMap_size"), 2);
  EXPECT_EQ(responseFor(0x1234501, 9), "miss");
  EXPECT_EQ(responseFor(0x1234502, 9), "8/43");
  EXPECT_EQ(responseFor(0x100, 3), "5/6");

  tracker.addSubmitSM(1, 2, 0x100, 3);
  *micros += 30000000;  // exactly 30 s later nothing is cleared
  tracker.addSubmitSM(1, 3, 0x100, 4);
  EXPECT_EQ(tracker.submitSMMapSize(), 2u);
  *micros += 31000000;
  EXPECT_EQ(responseFor(0x100, 4), "1/3");  // a lookup clears nothing
  tracker.addSubmitSM(1, 5, 0x100, 6);      // a submit after 31 s quiet does
  EXPECT_EQ(tracker.submitSMMapSize(), 1u);
  EXPECT_EQ(responseFor(0x100, 3), "miss");
  EXPECT_EQ(responseFor(0x100, 6), "1/5");

}

TEST_F(TrackerTest, ReceiptsResolveByIdOnceThenByTargetThenByDefault) {
  tracker.addMessageIDMapping(0x12345601, "abc", "acme");
  tracker.addMessageIDMapping(0x100, "m1", "beta");
  EXPECT_EQ(gauge("sysTracker_messageIDMap_size"), 2);
  EXPECT_EQ(receiptFor(0x200, "m1"), "<none>");  // another target's id
  tracker.setTargetEsme("other", 0x123456);
  // Another slot of the same target finds it: the key is the target id.
  EXPECT_EQ(receiptFor(0x12345602, "abc"), "acme");
  EXPECT_EQ(gauge("sysTracker_messageIDMap_size"), 1);
  EXPECT_EQ(receiptFor(0x12345601, "abc"), "other");  // a second receipt: the target's customer
  EXPECT_EQ(receiptFor(0x100, "m1"), "beta");
  EXPECT_EQ(receiptFor(0x100, "m1"), "<none>");
  tracker.setDefaultSystemId("fallback");
  EXPECT_EQ(receiptFor(0x100, "m1"), "fallback");

  // Without id tracking nothing is stored and receipts go by target or default.
  tracker.setDisableMsgIdTracking(true);
  tracker.addMessageIDMapping(0x4200, "m9", "acme");
  EXPECT_EQ(tracker.messageIDMapSize(), 0u);
  tracker.setTargetEsme("viaTarget", 0x42);
  EXPECT_EQ(receiptFor(0x4200, "m9"), "viaTarget");
  EXPECT_EQ(receiptFor(0x4300, "m9"), "fallback");
}

// A receipt's message id that is not stored as given is read like an integer
// (blanks, sign, leading zeros, trailing text) and looked up again.
TEST_F(TrackerTest, MessageIdsNormaliseToTheNumberTheyStartWith) {
  const std::pair<const char*, const char*> cases[] = {
      {"123", "000123"}, {"124", "124abc"}, {"0", "0000ABC"}, {"-5", "  -005"}, {"6", "+6"},
      // strtoll saturates beyond 64 bits; that must not be taken as a match.
      {"9223372036854775807", "99999999999999999999"}};
  for (const auto& [stored, received] : cases) {
    tracker.addMessageIDMapping(0x100, stored, std::string("esme-") + stored);
  }
  for (const auto& [stored, received] : cases) {
    const bool saturated = strlen(received) == 20;
    EXPECT_EQ(receiptFor(0x100, received), saturated ? "<none>" : std::string("esme-") + stored)
        << received;
  }
  EXPECT_EQ(tracker.messageIDMapSize(), 1u);
}

// Sessions that end are forgotten with their system ids; those whose owners
// forget removeSession are pruned by later additions, the live ones kept.
TEST_F(TrackerTest, SessionsThatComeAndGoLeaveNoEntries) {
  std::vector<std::shared_ptr<SMPPSession>> live;
  for (uint64_t id = 0; id < 100; ++id) {
    live.push_back(fakeSession());
    tracker.setSession(id, live.back());
  }
  tracker.setSessionSystemId("kept", 1);
  for (uint64_t id = 100; id < 1100; ++id) {
    auto session = fakeSession();
    tracker.setSession(id, session);
    tracker.setSessionSystemId("acme", id);
    tracker.removeSession(id);
  }
  EXPECT_EQ(tracker.sessionTableSize(), 101u);
  std::string systemId;
  EXPECT_FALSE(tracker.getSessionSystemId(500, systemId));
  ASSERT_TRUE(tracker.getSessionSystemId(1, systemId));
  EXPECT_EQ(systemId, "kept");
  for (uint64_t id = 1100; id < 11100; ++id) {
    tracker.setSession(id, fakeSession());
    tracker.setSessionSystemId("gone", id);
    // Never more than twice the live sessions, plus the system ids of the
    // expired ones still waiting for the next sweep.
    ASSERT_LE(tracker.sessionTableSize(), 2 * 2 * live.size() + 1) << id;
  }
  for (uint64_t id = 0; id < 100; ++id) EXPECT_FALSE(tracker.getSession(id).expired()) << id;
  EXPECT_TRUE(tracker.getSession(11099).expired());
}

// The file is replaced whole, never overwritten in place, and loaded at
// construction; a failed save leaves the previous file as it was. (That the
// daemon saves it when it stops, its own tests show.)
TEST_F(TrackerTest, FileIsReplacedWholeAndLoadedAtConstruction) {
  TempDir dir;
  const std::string file = dir.file("msgtrack");
  dir.write("msgtrack", std::string(10000, 'x'));
  tracker.addMessageIDMapping(0x100, "n", "s");
  ASSERT_TRUE(tracker.saveToFile(file));
  EXPECT_EQ(dir.read("msgtrack"), u64Bytes(1) + record(1, "n", "s"));
  // A directory in the way of the temporary file makes the save fail.
  ASSERT_EQ(mkdir(dir.file("msgtrack.tmp").c_str(), 0755), 0);
  tracker.addMessageIDMapping(0x200, "new", "acme");
  EXPECT_FALSE(tracker.saveToFile(file));
  EXPECT_EQ(dir.read("msgtrack"), u64Bytes(1) + record(1, "n", "s"));
  ASSERT_EQ(rmdir(dir.file("msgtrack.tmp").c_str()), 0);
  MetricsRegistry::instance().clearForTesting();
  Tracker loaded(file, clock);
  EXPECT_EQ(loaded.messageIDMapSize(), 1u);
  EXPECT_EQ(gauge("sysTracker_messageIDMap_size"), 1);
  EXPECT_EQ(receiptIn(loaded, 0x100, "n"), "s");
}

// The loader never trusts a count or a length beyond the data, and keeps the
// whole records before a cut.
TEST_F(TrackerTest, TruncatedFileLoadsTheCompleteRecordsBeforeTheCut) {
  const std::string three =
      u64Bytes(3) + record(1, "a1", "s1") + record(2, "a2", "s2") + record(3, "a3", "s3");
  const std::string cut = three.substr(0, three.size() - 2);  // inside the third system id
  const struct {
    const char* name;
    std::string data;
    uint64_t loaded;
    bool complete;
  } cases[] = {
      {"CutInsideTheThirdRecord", cut, 2, false},
      {"CountBeyondTheFile", u64Bytes(UINT64_MAX) + record(1, "a1", "s1"), 1, false},
      {"LengthBeyondTheFile",
       u64Bytes(2) + record(1, "a1", "s1") + u64Bytes(2) + u64Bytes(UINT64_MAX - 3) + "xyz", 1,
       false},
      {"SystemIdLongerThanTheRest",
       u64Bytes(1) + u64Bytes(1) + u64Bytes(2) + "ab" + u64Bytes(1000) + "short", 0, false},
      {"ShorterThanItsCount", std::string("\x01\x02", 2), 0, false},
      {"Empty", "", 0, false},
      {"NoRecords", u64Bytes(0), 0, true},
      {"TrailingBytes", u64Bytes(1) + record(1, "a1", "s1") + "junk", 1, false},
  };
  for (const auto& c : cases) {
    const msgtrack::LoadResult r = msgtrack::decode(c.data);
    EXPECT_EQ(std::make_tuple(r.loaded, r.records.size(), r.complete),
              std::make_tuple(c.loaded, size_t{c.loaded}, c.complete))
        << c.name;
  }
  // Later duplicates overwrite earlier ones.
  const auto r =
      msgtrack::decode(u64Bytes(2) + record(1, "a1", "first") + record(1, "a1", "second"));
  ASSERT_EQ(r.records.size(), 1u);
  EXPECT_EQ(r.records.begin()->second, "second");

  // Loading the cut file replaces the table with what it holds, and says so.
  TempDir dir;
  dir.write("msgtrack", cut);
  tracker.addMessageIDMapping(0x900, "old", "gone");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(tracker.loadFromFile(dir.file("msgtrack")));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Error occurred while reading from file: " + dir.file("msgtrack")),
            std::string::npos);
  EXPECT_NE(err.find("Loaded 2 of 3 records"), std::string::npos);
  EXPECT_EQ(tracker.messageIDMapSize(), 2u);
  EXPECT_EQ(receiptFor(1 << 8, "a1"), "s1");
  EXPECT_EQ(receiptFor(2 << 8, "a2"), "s2");
}

}  // namespace
