#include "lookup/lookup_cache.h"

#include <gtest/gtest.h>

namespace {

constexpr uint64_t kMinute = 60000000ull;

TEST(LookupCache, AnswersExpireAfterThePeriod) {
  const uint64_t t0 = 1700000000000000ull;
  struct Case {
    uint64_t age;
    bool hit;
  } cases[] = {{0, true}, {60 * kMinute - 1, true}, {60 * kMinute, false}, {600 * kMinute, false}};
  for (const Case& c : cases) {
    LookupCache cache(60 * kMinute, 10);
    cache.store(4477, {{"mcc", "234"}}, t0);
    nlohmann::json answer;
    EXPECT_EQ(cache.find(4477, t0 + c.age, answer), c.hit) << c.age;
    if (c.hit) {
      EXPECT_EQ(answer["mcc"], "234");
    }
    // An expired entry is gone, not only hidden.
    EXPECT_EQ(cache.size(), c.hit ? 1u : 0u);
  }
  // A period or a bound of 0 keeps nothing.
  LookupCache noPeriod(0, 10), noRoom(kMinute, 0);
  noPeriod.store(1, "x", 0);
  noRoom.store(1, "x", 0);
  EXPECT_EQ(noPeriod.size() + noRoom.size(), 0u);
}

TEST(LookupCache, FullCacheDropsTheOldestAnswerAndExpiredOnesFirst) {
  LookupCache cache(10 * kMinute, 2);
  cache.store(1, "one", 0);
  cache.store(2, "two", kMinute);
  cache.store(1, "one again", 2 * kMinute);  // replacing does not grow it
  EXPECT_EQ(cache.size(), 2u);
  cache.store(3, "three", 3 * kMinute);  // full: 2 is now the oldest
  nlohmann::json answer;
  EXPECT_FALSE(cache.find(2, 3 * kMinute, answer));
  ASSERT_TRUE(cache.find(1, 3 * kMinute, answer));
  EXPECT_EQ(answer, "one again");
  cache.store(4, "four", 12 * kMinute + 1);  // 1 has expired and goes, 3 stays
  EXPECT_TRUE(cache.find(3, 12 * kMinute + 1, answer));
  EXPECT_FALSE(cache.find(1, 12 * kMinute + 1, answer));
}

}  // namespace
