// Slot ids and the weighted submit pools as the manager builds them from
// the configuration.

#include <gtest/gtest.h>

#include "config/smsc_slot_id.h"
#include "tests/support/loopback.h"
#include "tests/upstream/upstream_fixture.h"
#include "upstream/connect_backoff.h"

using namespace upstream_test;

namespace {

struct PoolCase {
  const char* label;
  json targetExtra;
  int bindqty;
  bool submitsEnabled;
  // Slots relative to the target's base, with their bind types.
  std::vector<std::pair<uint64_t, int>> slots;
  std::vector<uint64_t> pool;  // relative to the base, in rotation order
  int32_t poolSize;
};

TEST(TargetSetPools, SlotsAndPoolFollowTheTargetFlags) {
  const std::vector<PoolCase> cases = {
      {"transceivers weight 2",
       {{"weight", 2}},
       3,
       true,
       {{0, 2}, {1, 2}, {2, 2}},
       {0, 0, 1, 1, 2, 2},
       6},
      {"usetxrx pairs", {{"usetxrx", true}}, 2, true, {{0, 1}, {1, 0}, {2, 1}, {3, 0}}, {0, 2}, 2},
      {"receiver only", {{"userxonly", true}}, 2, true, {{0, 0}, {1, 0}}, {}, 0},
      {"weight 0 still binds", {{"weight", 0}}, 2, true, {{0, 2}, {1, 2}}, {}, 0},
      {"submits disabled", {{"weight", 1}}, 1, false, {{0, 2}}, {0}, 0},
  };
  for (const PoolCase& c : cases) {
    SCOPED_TRACE(c.label);
    UpstreamFixture f(document(
        {targetSet("S", {target("T1", 2775, c.bindqty, c.targetExtra)}, c.submitsEnabled)}));
    f.upstream->initUpstreamBinds(2, 0x34);
    const uint64_t base = smscSlotBase("T1");
    std::vector<std::pair<uint64_t, int>> slots;
    for (const auto& [id, entry] : f.upstream->entriesCopy())
      slots.emplace_back(id - base, entry.bindType);
    EXPECT_EQ(slots, c.slots);
    std::vector<uint64_t> pool;
    const auto pools = f.upstream->poolsCopy();
    if (pools.count("S") != 0)
      for (uint64_t id : pools.at("S")) pool.push_back(id - base);
    EXPECT_EQ(pool, c.pool);
    EXPECT_EQ(f.upstream->getTargetSetPoolSize("S"), c.poolSize);
  }
}

TEST(TargetSetPools, PicksRotateWeightInARowAcrossTargets) {
  UpstreamFixture f(document({targetSet(
      "S", {target("A", 2775, 2, {{"weight", 2}}), target("B", 2775, 1, {{"weight", 1}})})}));
  f.upstream->initUpstreamBinds(2, 0x34);
  const uint64_t a = smscSlotBase("A"), b = smscSlotBase("B");
  const std::vector<uint64_t> expected = {a, a, a + 1, a + 1, b, a, a};
  std::vector<uint64_t> picks;
  for (size_t i = 0; i < expected.size(); ++i)
    picks.push_back(f.upstream->nextSMSCForTargetSet("S"));
  EXPECT_EQ(picks, expected);
  EXPECT_EQ(f.upstream->nextSMSCForTargetSet("unknown"), 0u);
  EXPECT_EQ(f.upstream->getTargetSetPoolSize("unknown"), 0);
}

TEST(TargetSetPools, RemovedSetLosesItsPoolAndItsSlotsGoAdminDown) {
  UpstreamFixture f(
      document({targetSet("S", {target("A", 2775, 2)}), targetSet("R", {target("B", 2775)})}));
  f.upstream->initUpstreamBinds(2, 0x34);
  ASSERT_EQ(f.upstream->getTargetSetPoolSize("R"), 1);
  f.config->parseConfig(true, document({targetSet("S", {target("A", 2775, 2)})}));
  f.upstream->reinitUpstreamBinds();
  EXPECT_EQ(f.upstream->getTargetSetPoolSize("R"), 0);
  EXPECT_EQ(f.upstream->getTargetSetPoolSize("S"), 2);
  const auto entries = f.upstream->entriesCopy();
  EXPECT_TRUE(entries.at(smscSlotBase("B")).adminDown);
  EXPECT_FALSE(entries.at(smscSlotBase("A")).adminDown);
}

// An SMSC that refuses every connection is retried after 3, 10, 15, 15,
// 30, 45 and 45 seconds; nothing is attempted before each delay is up.
TEST(ConnectBackoff, RefusedSlotIsRetriedOnTheTableByInjectedTime) {
  const int closedPort = testing_support::freeLoopbackPort();
  UpstreamFixture f(document({targetSet("S", {target("Dead", closedPort)})}));
  f.upstream->initUpstreamBinds(2, 0x34);
  const uint64_t slot = smscSlotBase("Dead");
  auto entry = [&] { return f.upstream->entriesCopy().at(slot); };
  const std::vector<uint64_t> delays = {3, 10, 15, 15, 30, 45, 45};
  for (size_t attempt = 0; attempt < delays.size(); ++attempt) {
    SCOPED_TRACE(attempt);
    const uint64_t started = f.clock.load();
    ASSERT_TRUE(f.runUntil([&] { return entry().connectAttempts == attempt + 1; }, 5));
    ASSERT_TRUE(f.runUntil([&] { return !entry().sessionActive; }));
    EXPECT_EQ(entry().nextConnectTime - started, delays[attempt] * 1000000ULL);
    EXPECT_EQ(ConnectBackoff::delayMicros(attempt), delays[attempt] * 1000000ULL);
    f.clock.store(entry().nextConnectTime - 1);
    f.runUntil([] { return false; }, 2, 0);
    EXPECT_EQ(entry().connectAttempts, attempt + 1) << "attempted before its delay";
    f.clock.store(entry().nextConnectTime);
  }
}

}  // namespace
