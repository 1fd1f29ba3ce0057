#include "admin/status_report.h"

#include <gtest/gtest.h>

namespace {

SharedTargetSet setWith(const std::string& id, std::vector<std::string> targetNames) {
  SharedTargetSet set;
  set.id = id;
  set.name = id;
  for (const std::string& name : targetNames) {
    TargetRecord target;
    target.name = name;
    set.targets.push_back(target);
  }
  return set;
}

SMSCEntryStatus entry(uint64_t id, const std::string& name, int bindState, bool connected = true,
                      bool adminDown = false) {
  SMSCEntryStatus e;
  e.smscId = id;
  e.smscName = name;
  e.connected = connected;
  e.bindType = 1;
  e.bindState = bindState;
  e.host = "10.0.0.9";
  e.port = 2776;
  e.systemId = "up";
  e.adminDown = adminDown;
  return e;
}

TEST(StatusReport, WithoutEntriesTheReportIsEmptyAndCountsOnlyTheTargetSets) {
  nlohmann::json report;
  statusReport(report, {setWith("a", {}), setWith("b", {"t1"})}, {});
  EXPECT_EQ(
      report.dump(),
      "{\"statusReport\":[],\"summary\":{\"admindown\":0,\"bindRX\":0,\"bindTRX\":0,\"bindTX\":0,"
      "\"bindUnbound\":0,\"targets\":0,\"targetsets\":2}}");
}

TEST(StatusReport, TwoTransmitterBindsOfOneTargetAreCountedAsBindTX) {
  nlohmann::json report;
  statusReport(report, {setWith("ts1", {"t1"})}, {entry(0x1201, "t1", 3), entry(0x1200, "t1", 3)});
  ASSERT_EQ(report["statusReport"].size(), 2u);
  EXPECT_EQ(report["statusReport"][0]["smsc_id"], 0x1200u);
  EXPECT_EQ(report["statusReport"][1]["smsc_id"], 0x1201u);
  for (const auto& element : report["statusReport"]) {
    EXPECT_EQ(element["connected"], true);
    EXPECT_EQ(element["bind_state"], 3);
    EXPECT_EQ(element["target_set"], "ts1");
    EXPECT_EQ(element.size(), 10u);
  }
  EXPECT_EQ(report["summary"]["bindTX"], 2);
  EXPECT_EQ(report["summary"]["targets"], 2);
  EXPECT_EQ(report["summary"]["bindUnbound"], 0);
}

TEST(StatusReport, EveryBindStateLandsInItsOwnCountAndBindSentInNone) {
  nlohmann::json report;
  statusReport(report, {},
               {entry(1, "a", 0, false), entry(2, "a", 1), entry(3, "a", 2), entry(4, "a", 3),
                entry(5, "a", 4), entry(6, "a", 0, false, true)});
  const auto& summary = report["summary"];
  EXPECT_EQ(summary["targets"], 6);
  EXPECT_EQ(summary["bindUnbound"], 2);
  EXPECT_EQ(summary["bindTRX"], 1);
  EXPECT_EQ(summary["bindTX"], 1);
  EXPECT_EQ(summary["bindRX"], 1);
  EXPECT_EQ(summary["admindown"], 1);
  EXPECT_EQ(summary["targetsets"], 0);
}

TEST(StatusReport, ElementCarriesTheEntryFieldsAndAnEmptySetForARemovedTarget) {
  nlohmann::json report;
  statusReport(report, {setWith("ts1", {"t1"})}, {entry(7, "gone", 0, false, true)});
  const auto& element = report["statusReport"][0];
  EXPECT_EQ(element["smsc_name"], "gone");
  EXPECT_EQ(element["target_set"], "");
  EXPECT_EQ(element["admin_down"], true);
  EXPECT_EQ(element["connected"], false);
  EXPECT_EQ(element["bind_type"], 1);
  EXPECT_EQ(element["host"], "10.0.0.9");
  EXPECT_EQ(element["port"], 2776);
  EXPECT_EQ(element["system_id"], "up");
}

}  // namespace
