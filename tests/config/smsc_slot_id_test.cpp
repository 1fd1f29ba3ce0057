#include "config/smsc_slot_id.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

// Expected hashes come from an independent MurmurHash64A (seed 0xc70f6907)
// written outside this code base, so a change of the platform hash or of the
// shifting shows here rather than as slot ids that differ between builds.
struct SlotCase {
  std::string name;
  int bindIndex;
  bool usetxrx;
  uint64_t expected;
};

TEST(SmscSlotIdTest, SlotIdsOfKnownNames) {
  const SlotCase cases[] = {
      {"smsc1", 0, false, 0x4ee55ec300ULL},   {"smsc1", 5, false, 0x4ee55ec305ULL},
      {"smsc1", 255, false, 0x4ee55ec3ffULL}, {"smsc1", 0, true, 0x4ee55ec300ULL},
      {"smsc1", 3, true, 0x4ee55ec306ULL},    {"smsc1", 127, true, 0x4ee55ec3feULL},
      {"A", 1, false, 0x4345e18e01ULL},       {"target-b", 2, true, 0x1d092e9a04ULL},
      {"", 0, false, 0x1e462a6e00ULL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name + " bind " + std::to_string(c.bindIndex) + (c.usetxrx ? " txrx" : ""));
    EXPECT_EQ(smscSlotId(c.name, c.bindIndex, c.usetxrx), c.expected);
    EXPECT_EQ(targetIdOfSlot(c.expected), targetIdForName(c.name));
  }
}

// "smsc-30201" and "smsc-51237" share the low 32 bits of their hashes.
TEST(SmscSlotIdTest, EverySlotOfTheLargestTargetStaysInItsTarget) {
  EXPECT_EQ(smscSlotBase("smsc-30201"), smscSlotBase("smsc-51237"));
  EXPECT_TRUE(slotIdsCollide("smsc-30201", "smsc-51237"));
  EXPECT_FALSE(slotIdsCollide("smsc-30201", "smsc-30201") ||
               slotIdsCollide("smsc-30201", "smsc-1"));
  for (bool usetxrx : {false, true}) {
    const int binds = usetxrx ? kMaxBindQtyTxRx : kMaxBindQty;
    const uint64_t last = smscSlotId("smsc1", binds - 1, usetxrx) + (usetxrx ? 1 : 0);
    EXPECT_EQ(targetIdOfSlot(last), targetIdForName("smsc1"));
    EXPECT_EQ(last & 0xFF, 0xFFu);
  }
}

}  // namespace
