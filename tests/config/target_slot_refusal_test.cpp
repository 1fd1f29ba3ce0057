#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "config/ostrel_configuration.h"
#include "config/smsc_slot_id.h"
#include "tests/support/temp_dir.h"

using nlohmann::json;
using testing_support::TempDir;

namespace {

// Two names whose string hashes share their low 32 bits (0x3f44d035), found
// once by hashing "smsc-0", "smsc-1", ... until two low halves were equal.
const char* const kCollidingA = "smsc-30201";
const char* const kCollidingB = "smsc-51237";

json target(const std::string& name, int bindqty, bool usetxrx = false) {
  return {{"name", name},     {"host", "127.0.0.1"}, {"bindqty", bindqty},
          {"systemid", "up"}, {"password", "pw"},    {"systemtype", ""},
          {"weight", 1},      {"admindown", false},  {"usetxrx", usetxrx}};
}

json document(const json& setA, const json& setB) {
  return {{"targetsets",
           {{{"id", "A"}, {"name", "A"}, {"submits_enabled", true}, {"targets", setA}},
            {{"id", "B"}, {"name", "B"}, {"submits_enabled", true}, {"targets", setB}}}},
          {"esme", json::array()}};
}

struct LoadCase {
  const char* what;
  json setA;
  json setB;
  bool loads;
  const char* logged;  // text of the WARNING when refused
};

TEST(TargetSlotRefusalTest, LoaderRefusesTargetsWhoseSlotIdsWouldMix) {
  ASSERT_EQ(smscSlotBase(kCollidingA), smscSlotBase(kCollidingB));
  EXPECT_TRUE(slotIdsCollide(kCollidingA, kCollidingB));
  EXPECT_FALSE(slotIdsCollide(kCollidingA, kCollidingA));
  EXPECT_FALSE(slotIdsCollide(kCollidingA, "smsc-1"));
  const LoadCase cases[] = {
      {"256 binds fit", json::array({target("t1", 256)}), json::array(), true, ""},
      {"257 binds", json::array({target("t1", 257)}), json::array(), false,
       "Invalid configuration file - Target t1 bindqty 257 above 256"},
      {"128 pairs fit", json::array({target("t1", 128, true)}), json::array(), true, ""},
      {"129 pairs", json::array({target("t1", 129, true)}), json::array(), false,
       "Target t1 bindqty 129 above 128 for usetxrx"},
      {"colliding names in one set", json::array({target(kCollidingA, 1), target(kCollidingB, 1)}),
       json::array(), false, "Target smsc-51237 shares slot ids with target smsc-30201"},
      {"colliding names across sets", json::array({target(kCollidingA, 1)}),
       json::array({target(kCollidingB, 1)}), false,
       "Target smsc-51237 shares slot ids with target smsc-30201"},
      {"different names", json::array({target(kCollidingA, 1)}), json::array({target("smsc-1", 1)}),
       true, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    dir.write("pelliro.conf", document(c.setA, c.setB).dump(2));
    OstrelConfiguration config(dir.file("pelliro.conf"));
    bool notFound = false;
    testing::internal::CaptureStdout();
    const bool loaded = config.performLoad(notFound);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(loaded, c.loads) << out;
    if (!c.loads) {
      EXPECT_NE(out.find(c.logged), std::string::npos) << out;
    }
  }
}

struct RestCase {
  const char* what;
  bool modify;  // modify t2 in set B instead of adding to it
  json body;
  bool accepted;
  const char* status;
};

TEST(TargetSlotRefusalTest, RestOperationsRefuseTargetsWhoseSlotIdsWouldMix) {
  const RestCase cases[] = {
      {"add 256 binds", false, target("new", 256), true, "Target added new"},
      {"add 257 binds", false, target("new", 257), false, "Target new bindqty 257 above 256"},
      {"add 129 pairs", false, target("new", 129, true), false,
       "Target new bindqty 129 above 128 for usetxrx"},
      {"add a colliding name", false, target(kCollidingB, 1), false,
       "Target smsc-51237 shares slot ids with target smsc-30201; rename one of them"},
      {"modify to 300 binds", true, {{"bindqty", 300}}, false, "Target t2 bindqty 300 above 256"},
      {"modify to pairs past the limit",
       true,
       {{"bindqty", 200}, {"usetxrx", true}},
       false,
       "Target t2 bindqty 200 above 128 for usetxrx"},
      {"modify to a colliding name",
       true,
       {{"name", kCollidingB}},
       false,
       "Target smsc-51237 shares slot ids with target smsc-30201; rename one of them"},
      {"modify within the limit",
       true,
       {{"bindqty", 128}, {"usetxrx", true}},
       true,
       "Target modified t2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const json initial =
        document(json::array({target(kCollidingA, 2)}), json::array({target("t2", 1)}));
    dir.write("pelliro.conf", initial.dump(2));
    OstrelConfiguration config(dir.file("pelliro.conf"));
    bool notFound = false;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(config.performLoad(notFound));
    std::string status = "OK";
    const bool ok = c.modify ? config.targetModify("B", "t2", c.body, status)
                             : config.targetAdd("B", c.body, status);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(ok, c.accepted);
    EXPECT_EQ(status, c.status);
    if (!c.accepted) {
      EXPECT_EQ(json::parse(dir.read("pelliro.conf")), initial);
    }
  }
}

}  // namespace
