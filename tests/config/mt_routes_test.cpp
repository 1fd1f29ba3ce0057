#include "config/mt_routes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/ostrel_configuration.h"
#include "tests/support/temp_dir.h"

namespace {

using nlohmann::json;

json rule(const std::string& match, const std::string& type, const std::string& value,
          const std::string& set) {
  return {{"criteria", {{"match", match}, {"type", type}, {"value", value}}}, {"targetset", set}};
}

SMPP::T_SubmitSM submit(const std::string& destination, const std::string& source = "sender") {
  SMPP::T_SubmitSM sm;
  sm.destination_addr = destination;
  sm.source_addr = source;
  return sm;
}

const json kLookup = {{"mcc", "234"}, {"mnc", "15"}};

struct CriterionCase {
  const char* name;
  json rule;
  const char* destination;
  json lookup;
  const char* expected;  // "start" when the rule must not decide
};

TEST(MTRoutesTest, EachCriterionDecidesOnlyWhenItMatches) {
  json ndc = rule("destination", "ndc", "77", "N");
  ndc["criteria"]["country"] = "44";
  json noTargetSet = rule("destination", "exact", "4477", "X");
  noTargetSet.erase("targetset");
  json noValue = rule("destination", "exact", "4477", "X");
  noValue["criteria"].erase("value");
  const CriterionCase cases[] = {
      {"exact", rule("destination", "exact", "4477", "E"), "4477", nullptr, "E"},
      {"country prefix", rule("destination", "country", "44", "C"), "4477", nullptr, "C"},
      {"country no normalising", rule("destination", "country", "44", "C"), "0447", nullptr,
       "start"},
      {"ndc after country", ndc, "44771", nullptr, "N"},
      {"ndc without country", rule("destination", "ndc", "77", "N"), "77", nullptr, "start"},
      {"regex full match", rule("destination", "regex", "44.*", "R"), "4412", nullptr, "R"},
      {"regex is not search", rule("destination", "regex", "4", "R"), "4412", nullptr, "start"},
      {"mcc", rule("destination", "mcc", "234", "M"), "1", kLookup, "M"},
      {"mcc without lookup", rule("destination", "mcc", "234", "M"), "1", nullptr, "start"},
      {"mcc not a text", rule("destination", "mcc", "234", "M"), "1", {{"mcc", 234}}, "start"},
      {"mnc is mcc+mnc", rule("destination", "mnc", "23415", "W"), "1", kLookup, "W"},
      {"mnc alone", rule("destination", "mnc", "15", "W"), "1", kLookup, "start"},
      {"source exact", rule("source", "exact", "sender", "S"), "1", nullptr, "S"},
      {"source regex", rule("source", "regex", "s.*r", "S"), "1", nullptr, "S"},
      {"source country never", rule("source", "country", "s", "S"), "1", nullptr, "start"},
      {"unknown match", rule("origin", "exact", "1", "U"), "1", nullptr, "start"},
      {"no targetset", noTargetSet, "4477", nullptr, "start"},
      {"no value", noValue, "4477", nullptr, "start"},
      {"not an object", json::array({1}), "4477", nullptr, "start"},
  };
  const MTRoutes routes({}, {});
  for (const auto& c : cases) {
    // The skipped or unmatched rule must hand over to the next one.
    const MTRuleList rules({c.rule, rule("destination", "exact", "never", "Z")}, "test");
    std::string network = MTRoutes::networkOf(c.lookup);
    EXPECT_EQ(
        routes.selectTargetSet("acme", c.lookup, submit(c.destination), "start", rules, network),
        c.expected)
        << c.name;
  }
}

TEST(MTRoutesTest, InvalidOrOverlongRegexIsReportedOnceAndNeverMatches) {
  testing::internal::CaptureStdout();
  const MTRuleList rules({rule("destination", "regex", "[0-9", "Broken"),
                          rule("source", "regex", std::string(600, 'a'), "Long"),
                          rule("destination", "regex", "[0-9]+", "Digits")},
                         "global");
  const std::string built = testing::internal::GetCapturedStdout();
  EXPECT_NE(
      built.find("Rule 0 of global routes-mt (targetset Broken): invalid regular expression [0-9"),
      std::string::npos)
      << built;
  EXPECT_NE(built.find("Rule 1 of global routes-mt (targetset Long): regular expression of 600"),
            std::string::npos)
      << built;

  const MTRoutes routes({}, {});
  testing::internal::CaptureStdout();
  std::string network;
  EXPECT_EQ(routes.selectTargetSet("a", nullptr, submit("[0-9", std::string(600, 'a')), "start",
                                   rules, network),
            "start");
  EXPECT_EQ(routes.selectTargetSet("a", nullptr, submit("123"), "start", rules, network), "Digits");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

json lcrRule(std::vector<json> map) {
  return {{"criteria", {{"match", "destination"}, {"type", "mnc"}, {"value", ""}}},
          {"lcrmap", {{"match", "destination"}, {"type", "mnc"}, {"map", map}}}};
}

json coverage(const std::string& set, const std::string& key, double cost, bool ignore = false) {
  return {{"targetset", set}, {"coverage", {{{"key", key}, {"cost", cost}, {"ignore", ignore}}}}};
}

json customer(const std::string& id, std::vector<json> rules) {
  return {{"systemid", id}, {"sharedtargetsetid", "S-" + id}, {"routes-mt", rules}};
}

class MTRoutesConfigTest : public testing::Test {
 protected:
  bool load(const json& globalRules, const json& customers) {
    json doc = {{"targetsets", json::array()}, {"esme", customers}, {"routes-mt", globalRules}};
    return config.parseConfig(true, doc);
  }
  // What a submit from `systemId` is routed to, as the submit pipeline asks.
  std::string routeOf(const std::string& systemId, const std::string& destination,
                      const json& lookup = nullptr) {
    ResolvedESME record = config.resolveESME(systemId, "10.0.0.1");
    return config.mtRoutes()
        ->route(systemId, record.sharedtargetsetid, lookup, submit(destination),
                record.mtRuleList.get())
        .targetSet;
  }

  testing_support::TempDir dir;
  OstrelConfiguration config{dir.file("pelliro.conf")};
};

TEST_F(MTRoutesConfigTest, CustomerRulesOverrideGlobalOnesAndLcrTakesTheCheapestEntry) {
  ASSERT_TRUE(load(json::array({rule("destination", "exact", "447700", "Global")}),
                   json::array({customer("acme", {rule("destination", "country", "44", "Mine")}),
                                customer("plain", json::array()),
                                customer("lcr", {lcrRule({coverage("First", "23415", 0.5),
                                                          coverage("Second", "23415", 0.5),
                                                          coverage("Dear", "23420", 0.7),
                                                          coverage("Cheap", "23420", 0.5),
                                                          coverage("Ignored", "23420", 0.1, true),
                                                          coverage("Ignored", "23499", 0.1, true),
                                                          {{"targetset", "No coverage"}},
                                                          {{"targetset", "No key"},
                                                           {"coverage", {{{"cost", 0.0}}}}}})})})));
  struct Case {
    const char* systemId;
    const char* destination;
    json lookup;
    const char* expected;
  } cases[] = {
      {"acme", "447700", nullptr, "Mine"},     // customer rule applied after the global one
      {"plain", "447700", nullptr, "Global"},  // global rule over the configured set
      {"plain", "33", nullptr, "S-plain"},     // nothing matched
      {"nobody", "33", nullptr, "default"},    // no record at all
      {"lcr", "1", {{"mcc", "234"}, {"mnc", "15"}}, "First"},  // equal cost: loaded first
      {"lcr",
       "1",
       {{"mcc", "234"}, {"mnc", "20"}},
       "Cheap"},                                          // lower cost replaces, unless ignored
      {"lcr", "1", {{"mcc", "234"}, {"mnc", "99"}}, ""},  // ignored entries only: unroutable
      {"lcr", "1", nullptr, ""},                          // no lookup: unroutable
  };
  for (const auto& c : cases) {
    EXPECT_EQ(routeOf(c.systemId, c.destination, c.lookup), c.expected)
        << c.systemId << " " << c.destination << " " << c.lookup.dump();
  }
}

TEST_F(MTRoutesConfigTest, ChangedRulesTakeEffectWhileHeldSnapshotsKeepTheOldOnes) {
  ASSERT_TRUE(
      load(json::array({rule("destination", "exact", "1", "Old")}),
           json::array({customer("acme", {rule("source", "exact", "sender", "OldMine")})})));
  auto before = config.mtRoutes();
  ASSERT_TRUE(load(json::array({rule("destination", "exact", "1", "New")}),
                   json::array({customer("acme", {rule("source", "exact", "sender", "NewMine")}),
                                customer("other", json::array())})));
  EXPECT_EQ(routeOf("other", "1"), "New");
  EXPECT_EQ(routeOf("acme", "1"), "NewMine");
  EXPECT_EQ(before->route("other", "x", nullptr, submit("1"), nullptr).targetSet, "Old");
  // A REST change of the customer keeps its compiled rules.
  std::string status = "OK";
  ASSERT_TRUE(config.esmeModify("acme", {{"tpslimit", 5}}, status)) << status;
  EXPECT_EQ(routeOf("acme", "1"), "NewMine");
}

}  // namespace
