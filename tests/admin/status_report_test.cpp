#include "admin/status_report.h"

#include <gtest/gtest.h>

namespace {

SharedTargetSet setWith(const std::string& id, std::vector<std::string> targetNames) {
  SharedTargetSet set;
  set.id = set.name = id;
  for (const std::string& name : targetNames) set.targets.emplace_back().name = name;
  return set;
}

SMSCEntryStatus entry(uint64_t id, const std::string& name, int bindState, bool connected = true,
                      bool adminDown = false) {
  return {id, name, connected, 1, bindState, "10.0.0.9", 2776, "up", adminDown};
}

// Slots in id order, each with its target set ("" for a removed target) and
// the entry's fields; every bind state lands in its own count, bind sent
// (state 1) in none; with no slots only the target sets are counted.
TEST(StatusReport, SlotsAreListedInIdOrderAndCountedByBindState) {
  nlohmann::json report;
  statusReport(
      report, {setWith("ts1", {"t1"})},
      {entry(0x1201, "t1", 3), entry(0x1200, "t1", 3), entry(1, "a", 0, false), entry(2, "a", 1),
       entry(3, "a", 2), entry(5, "a", 4), entry(7, "gone", 0, false, true)});
  const auto& slots = report["statusReport"];
  ASSERT_EQ(slots.size(), 7u);
  EXPECT_EQ(slots[0]["smsc_id"], 1u);
  EXPECT_EQ(slots[5]["smsc_id"], 0x1200u);
  EXPECT_EQ(slots[6]["smsc_id"], 0x1201u);
  EXPECT_EQ(slots[5]["target_set"], "ts1");
  EXPECT_EQ(slots[5].size(), 10u);
  EXPECT_EQ(slots[4], nlohmann::json::parse(R"({"smsc_id": 7, "smsc_name": "gone", "target_set": "",
      "admin_down": true, "connected": false, "bind_type": 1, "bind_state": 0,
      "host": "10.0.0.9", "port": 2776, "system_id": "up"})"));
  EXPECT_EQ(report["summary"], nlohmann::json::parse(R"({"targets": 7, "bindUnbound": 2,
      "bindTRX": 1, "bindTX": 2, "bindRX": 1, "admindown": 1, "targetsets": 1})"));
  nlohmann::json empty;
  statusReport(empty, {setWith("a", {}), setWith("b", {"t1"})}, {});
  EXPECT_EQ(
      empty.dump(),
      "{\"statusReport\":[],\"summary\":{\"admindown\":0,\"bindRX\":0,\"bindTRX\":0,\"bindTX\":0,"
      "\"bindUnbound\":0,\"targets\":0,\"targetsets\":2}}");
}

}  // namespace
