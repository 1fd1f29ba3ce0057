// The configuration: loading and validating the file, its records and the
// slot ids of its targets; the operations that change it (as the admin
// routes call them) and their saves; and the routing tables built from it.
#include "config/ostrel_configuration.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "config/inbound_mo_routes.h"
#include "config/mt_routes.h"
#include "tests/support/temp_dir.h"

using nlohmann::json;
using testing_support::backupCount;
using testing_support::TempDir;

namespace {

// Two names whose string hashes share their low 32 bits (0x3f44d035), found
// once by hashing "smsc-0", "smsc-1", ... until two low halves were equal.
const char* const kCollidingA = "smsc-30201";
const char* const kCollidingB = "smsc-51237";

json target(const std::string& name, json extra = json::object()) {
  json t = {{"name", name},      {"host", "smsc.example"}, {"port", 2776},        {"bindqty", 2},
            {"systemid", "up"},  {"password", "secret"},   {"systemtype", "VMA"}, {"weight", 3},
            {"admindown", false}};
  t.update(extra);
  return t;
}

json targetSet(const std::string& id, std::vector<json> targets, bool submits = true) {
  return {{"id", id}, {"name", id + " name"}, {"submits_enabled", submits}, {"targets", targets}};
}

json esme(const std::string& id, const std::string& set = "A") {
  return {{"systemid", id}, {"sharedtargetsetid", set}};
}

json document(std::vector<json> sets, std::vector<json> esmes, json extra = json::object()) {
  json doc = {{"targetsets", sets},
              {"esme", esmes},
              {"routes-mt", json::array()},
              {"routes-mo", json::array()}};
  doc.update(extra);
  return doc;
}

json lcrRule(std::vector<json> map) {
  return {{"criteria", {{"match", "destination"}, {"type", "mnc"}, {"value", ""}}},
          {"lcrmap", {{"match", "destination"}, {"type", "mnc"}, {"map", map}}}};
}

json coverage(const std::string& set, const std::string& key, double cost, bool ignore = false) {
  return {{"targetset", set}, {"coverage", {{{"key", key}, {"cost", cost}, {"ignore", ignore}}}}};
}

// Loads `config` from its file, its log discarded; whether it loaded.
bool loadQuietly(OstrelConfiguration& config) {
  bool notFound = false;
  testing::internal::CaptureStdout();
  bool ok = config.performLoad(notFound);
  testing::internal::GetCapturedStdout();
  return ok;
}

class OstrelConfigurationTest : public ::testing::Test {
 protected:
  struct LoadResult {
    bool ok = false;
    bool notFound = false;
    std::string out;
  };

  std::string path() const { return dir.file("pelliro.conf"); }
  LoadResult load(const json& doc) { return loadText(doc.dump(2)); }
  // Writes the file and loads it into a fresh configuration object.
  LoadResult loadText(const std::string& text) {
    dir.write("pelliro.conf", text);
    config = std::make_unique<OstrelConfiguration>(path());
    LoadResult result;
    testing::internal::CaptureStdout();
    result.ok = config->performLoad(result.notFound);
    result.out = testing::internal::GetCapturedStdout();
    return result;
  }

  TempDir dir;
  std::unique_ptr<OstrelConfiguration> config = std::make_unique<OstrelConfiguration>(path());
};

// (That the default file loads and starts, the first run of the executable shows.)
TEST_F(OstrelConfigurationTest, ShippedExampleConfigurationLoads) {
  LoadResult loaded =
      loadText(testing_support::readFile(std::string(PELLIRO_SOURCE_DIR) + "/examples/pelliro.conf"));
  ASSERT_TRUE(loaded.ok) << loaded.out;
  EXPECT_EQ(config->esmeSharedTargetSet("demo", "127.0.0.1"), "INTERNAL_SMSC_SIM");
  EXPECT_FALSE(config->resolveESME("stranger", "127.0.0.1").binding_enabled);
}

// ---- Validation -------------------------------------------------------------

// Every document that must not load, with the line that says why; the
// whole file is then reported invalid and nothing of it applies.
TEST_F(OstrelConfigurationTest, InvalidDocumentsAreRefusedWithTheirReason) {
  struct Case {
    std::string name;
    std::string text;
    std::string reason;
  };
  std::vector<Case> cases = {
      {"syntax error", "{\"esme\": [", "performLoad Exception "},
      {"comments", "{\n// note\n\"esme\": []}", "performLoad Exception "},
  };
  auto add = [&](const std::string& name, const json& doc, const std::string& reason) {
    cases.push_back({name, doc.dump(2), reason});
  };
  auto oneSet = [](std::vector<json> targets) { return document({targetSet("A", targets)}, {}); };
  json mistyped = esme("acme");
  mistyped["tpslimit"] = "fast";
  add("mistyped value", document({}, {mistyped}), "performLoad Exception ");
  for (const char* key : {"id", "name", "submits_enabled", "targets"}) {
    json set = targetSet("A", {});
    set.erase(key);
    // The bad customer after it is never looked at: validation stops.
    add(std::string("target set without ") + key, document({set}, {json{{"systemid", "x"}}}),
        "parseConfig Invalid configuration file - missing id, name, submits_enabled or targets "
        "in target set");
  }
  const std::string duplicate = "processTarget Invalid configuration file - duplicate target t1";
  add("target in two sets",
      document({targetSet("A", {target("t1")}), targetSet("B", {target("t1")})}, {}), duplicate);
  add("target twice in a set", oneSet({target("t1"), target("t1")}), duplicate);
  for (const char* key :
       {"name", "host", "bindqty", "systemid", "password", "systemtype", "weight", "admindown"}) {
    json t = target("t1");
    t.erase(key);
    add(std::string("target without ") + key, oneSet({t}),
        std::string("processTarget Invalid configuration file - missing required field '") + key +
            "' in target");
  }
  // Slot ids hold the bind index in 8 bits and the name's hash above them.
  json big = target("t1");
  big["bindqty"] = 257;
  add("257 binds", oneSet({big}), "Invalid configuration file - Target t1 bindqty 257 above 256");
  const std::string collide = "Target smsc-51237 shares slot ids with target smsc-30201";
  add("colliding names in one set", oneSet({target(kCollidingA), target(kCollidingB)}), collide);
  add("colliding names across sets",
      document({targetSet("A", {target(kCollidingA)}), targetSet("B", {target(kCollidingB)})}, {}),
      collide);
  const json criteria = {{"match", "destination"}, {"type", "exact"}, {"value", "1"}};
  add("global rule without target set",
      document({}, {}, {{"routes-mt", {{{"criteria", criteria}}}}}),
      "parseConfig Invalid global routes-mt rule: missing criteria or targetset");
  json noValue = {{"criteria", criteria}, {"targetset", "A"}};
  noValue["criteria"].erase("value");
  add("global criteria without value", document({}, {}, {{"routes-mt", {noValue}}}),
      "parseConfig Invalid criteria in global routes-mt: missing match/type/value");
  add("customer without target set",
      document({}, {json{{"systemid", "acme"}}, json{{"sharedtargetsetid", "A"}}}),
      "parseConfig Invalid configuration file - missing systemid or sharedtargetsetid field in "
      "ESME");
  auto withRule = [&](const json& rule) {
    json customer = esme("acme");
    customer["routes-mt"] = json::array({rule});
    return document({}, {customer});
  };
  add("customer rule without criteria or lcrmap", withRule({{"targetset", "A"}}),
      "parseConfig Invalid routes-mt rule: missing lcrmap, criteria or criteria targetset");
  add("customer criteria without match",
      withRule({{"criteria", {{"type", "exact"}, {"value", "1"}}}, {"targetset", "A"}}),
      "parseConfig Invalid criteria in routes-mt: missing match/type/value");
  add("lcr map without map", withRule({{"lcrmap", {{"match", "destination"}, {"type", "mnc"}}}}),
      "parseConfig Invalid LCR map entry: missing required fields");
  add("customer twice", document({}, {esme("acme", "A"), esme("acme", "B")}),
      "Invalid configuration file - duplicate ESME systemid acme\n");

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoadResult result = loadText(c.text);
    EXPECT_TRUE(!result.ok && !result.notFound);
    EXPECT_NE(result.out.find(c.reason), std::string::npos) << result.out;
    if (c.reason.find("Exception") == std::string::npos) {
      EXPECT_NE(result.out.find("Configuration file " + path() + " invalid"), std::string::npos);
    }
    EXPECT_FALSE(config->findESME("acme", "").has_value());
    if (!c.name.starts_with("customer without")) {
      EXPECT_EQ(result.out.find("missing systemid or sharedtargetsetid"), std::string::npos);
    }
  }
}

// ---- Records ----------------------------------------------------------------

// A later set of the same id replaces the earlier one; optional target
// fields take their defaults. "numbering" replaces "inboundmo"; a number
// belongs to the last customer listing it; only the text elements of the
// lists count; a tps limit out of range is clamped, not wrapped. A mistyped
// "default_binding_enabled" keeps customers without a record out.
TEST_F(OstrelConfigurationTest, RecordsTakeTheirFieldsTheirDefaultsAndOnlyWhatFits) {
  json t = target("t1");
  t.erase("port");
  t["bindqty"] = 256;
  json pairs = target(kCollidingA);  // loads beside any name it does not collide with
  pairs.update({{"usetxrx", true}, {"userxonly", true}, {"tpslimit", 10}, {"bindqty", 128}});
  json customer = esme("acme");
  customer["inboundmo"] = {"100"};
  customer["numbering"] = {{{"numbers", {"200", 300}}}, {{"other", 1}}};
  customer["tpslimit"] = 70000;
  json plain = esme("plain");
  plain["inboundmo"] = {"400", false, "500", "777"};
  plain["allowedips"] = {"10.0.0.1", 5, "192.168.0.0/16"};
  plain["tpslimit"] = -5;
  json last = esme("last");
  last["inboundmo"] = {"777"};
  ASSERT_TRUE(load(document({targetSet("A", {target("t0")}), targetSet("A", {t, pairs})},
                            {customer, plain, last},
                            {{"base", {{"default_binding_enabled", "no"}}}}))
                  .ok);
  auto sets = config->targetSetsCopy();
  ASSERT_EQ(sets.size(), 1u);
  ASSERT_EQ(sets[0].targets.size(), 2u);
  const TargetRecord& first = sets[0].targets[0];
  EXPECT_TRUE(first.name == "t1" && first.host == "smsc.example" && first.systemtype == "VMA");
  EXPECT_EQ(std::make_tuple(first.port, first.tpslimit, first.bindqty, first.weight),
            std::make_tuple(2775, 32000u, 256, 3));
  EXPECT_FALSE(first.usetxrx || first.userxonly || first.admindown);
  const TargetRecord& second = sets[0].targets[1];
  EXPECT_TRUE(second.port == 2776 && second.usetxrx && second.userxonly && second.tpslimit == 10u);
  EXPECT_EQ(config->findESME("acme", "")->numbers, std::vector<std::string>{"200"});
  EXPECT_EQ(config->numbersByESMECopy()["plain"], (std::vector<std::string>{"400", "500", "777"}));
  EXPECT_EQ(config->esmeForNumber("200").value_or(""), "acme");
  EXPECT_FALSE(config->esmeForNumber("100").has_value());
  EXPECT_EQ(config->esmeForNumber("777").value_or(""), "last");
  EXPECT_EQ(config->resolveESME("plain", "").allowedIPs,
            (std::vector<std::string>{"10.0.0.1", "192.168.0.0/16"}));
  EXPECT_EQ(config->esmeTpsLimit("acme", ""), 65535);
  EXPECT_EQ(config->esmeTpsLimit("plain", ""), 0);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(config->resolveESME("nobody", "").binding_enabled);
  testing::internal::GetCapturedStdout();
}

// Every test starts from a loaded file with three sets (A holding t1, B
// empty, C holding smsc-30201) and two customers, and a clock that moves
// 1000 µs per reading. "smsc-30201" and "smsc-51237" share the low 32 bits of
// their hashes, so their slot ids would mix.
class ConfigOperationsTest : public ::testing::Test {
 protected:
  ConfigOperationsTest() {
    json acme = {{"systemid", "acme"},       {"sharedtargetsetid", "A"},
                 {"password", "pw"},         {"inboundmo", {"100"}},
                 {"numbering", {{{"numbers", {"111"}}}}}};
    json beta = {{"systemid", "beta"}, {"sharedtargetsetid", "B"}, {"inboundmo", {"200"}}};
    initial = {{"base", {{"smpp.port", 2775}}},
               {"targetsets",
                {targetSet("A", {target("t1")}), targetSet("B", {}, false),
                 targetSet("C", {target(kCollidingA)})}},
               {"esme", {acme, beta}},
               {"routes-mt", json::array()},
               {"routes-mo", json::array()}};
    dir.write("pelliro.conf", initial.dump(2) + "\n");
    config = std::make_unique<OstrelConfiguration>(dir.file("pelliro.conf"));
    config->setClock([this] { return clock += 1000; });
    loaded = loadQuietly(*config);
  }
  void SetUp() override { ASSERT_TRUE(loaded); }

  // Runs one operation with standard output captured into `out`; a body of
  // the wrong JSON type throws (answered 400 by the routes): status "throws".
  bool run(const std::function<bool()>& operation) {
    status = "OK";
    testing::internal::CaptureStdout();
    bool ok = false;
    try {
      ok = operation();
    } catch (const json::type_error&) {
      status = "throws";
    }
    out = testing::internal::GetCapturedStdout();
    return ok;
  }

  // The file holds the live document, with one backup per save, and loads.
  void expectSavedAndReloadable(size_t backups) {
    EXPECT_EQ(backupCount(dir.path()), backups);
    EXPECT_FALSE(dir.exists("pelliro.conf.tmp"));
    EXPECT_EQ(json::parse(dir.read("pelliro.conf")), config->jconfigCopy());
    OstrelConfiguration fresh(dir.file("pelliro.conf"));
    EXPECT_TRUE(loadQuietly(fresh));
  }

  // Nothing changed: no save, no change time, the document as loaded.
  void expectUnchanged() {
    EXPECT_EQ(backupCount(dir.path()), 0u);
    EXPECT_EQ(config->configChangedAt.load(), 0u);
    EXPECT_EQ(config->jconfigCopy(), initial);
    EXPECT_EQ(json::parse(dir.read("pelliro.conf")), initial);
  }

  std::vector<std::string> targetNamesOf(const std::string& setId) {
    for (const auto& set : config->targetSetsCopy()) {
      if (set.id != setId) continue;
      std::vector<std::string> names;
      for (const auto& t : set.targets) names.push_back(t.name);
      return names;
    }
    return {"<no such set>"};
  }

  TempDir dir;
  json initial;
  uint64_t clock = 1700000000000000;
  std::unique_ptr<OstrelConfiguration> config;
  bool loaded = false;
  std::string status;
  std::string out;
  json result;
};

// A refusal names its reason and changes nothing; a body of the wrong JSON
// type throws and changes nothing either, not even the keys before the bad one.
TEST_F(ConfigOperationsTest, RefusalsNameTheirReasonAndChangeNothing) {
  OstrelConfiguration& c = *config;
  std::string& s = status;
  const json acmeInB = {{"systemid", "acme"}, {"targetset", "B"}};
  const json named = {{"name", "n"}, {"submits_enabled", true}};
  const json unnamed = {{"id", "D"}, {"submits_enabled", true}};
  std::vector<std::pair<std::string, std::function<bool()>>> cases = {
      {"Missing field: systemid", [&] { return c.esmeAdd({{"targetset", "A"}}, s); }},
      {"Missing field: targetset", [&] { return c.esmeAdd({{"systemid", "x"}}, s); }},
      {"ESME already exists", [&] { return c.esmeAdd(acmeInB, s); }},
      {"throws", [&] { return c.esmeAdd({{"systemid", 7}, {"targetset", "A"}}, s); }},
      {"ESME not found", [&] { return c.esmeModify("ghost", {{"tpslimit", 1}}, s); }},
      {"throws",
       [&] { return c.esmeModify("acme", {{"tpslimit", 1}, {"submits_enabled", "y"}}, s); }},
      {"Missing field: id", [&] { return c.targetSetAdd({{"name", "n"}}, s); }},
      {"Target set already exists", [&] { return c.targetSetAdd({{"id", "A"}}, s); }},
      {"Missing field: name", [&] { return c.targetSetAdd(unnamed, s); }},
      {"Missing field: submits_enabled",
       [&] { return c.targetSetAdd({{"id", "D"}, {"name", "n"}}, s); }},
      {"Target set does not exist Z", [&] { return c.targetSetModify("Z", named, s); }},
      {"Missing field: name",
       [&] { return c.targetSetModify("A", {{"submits_enabled", true}}, s); }},
      {"Missing field: submits_enabled",
       [&] { return c.targetSetModify("A", {{"name", "n"}}, s); }},
      {"Target set does not exist Z", [&] { return c.targetSetRemove("Z", s); }},
      {"Target set not found or has no targets B", [&] { return c.targetNames("B", result, s); }},
      {"Target set not found Z", [&] { return c.targetAdd("Z", target("t3"), s); }},
      {"Target ID already exists t1", [&] { return c.targetAdd("A", target("t1"), s); }},
      // A name used by another set would make the saved file unloadable.
      {"Target ID already exists t1", [&] { return c.targetAdd("B", target("t1"), s); }},
      {"throws", [&] { return c.targetAdd("B", target("t3", {{"port", "high"}}), s); }},
      // The slot id limits (the loader's reasons) on both paths; a modified
      // target is not compared with its own old record.
      {"Target t3 bindqty 129 above 128 for usetxrx",
       [&] { return c.targetAdd("B", target("t3", {{"bindqty", 129}, {"usetxrx", true}}), s); }},
      {"Target smsc-51237 shares slot ids with target smsc-30201; rename one of them",
       [&] { return c.targetModify("A", "t1", {{"name", "smsc-51237"}}, s); }},
      {"Target not found t9", [&] { return c.targetModify("A", "t9", {{"port", 1}}, s); }},
      {"Target not found t1", [&] { return c.targetModify("Z", "t1", {{"port", 1}}, s); }},
      // What the loader would refuse: a name taken in another set, a
      // required field of the wrong type (or null).
      {"Failed to parse target data",
       [&] { return c.targetModify("A", "t1", {{"name", kCollidingA}}, s); }},
      {"Failed to parse target data",
       [&] { return c.targetModify("A", "t1", {{"weight", "9"}}, s); }},
      {"Target set not found Z", [&] { return c.targetRemove("Z", "t1", s); }},
      {"Target not found t1", [&] { return c.targetRemove("B", "t1", s); }},
  };
  // Each required field of a target, missing, is named.
  for (const char* key : {"name", "host", "systemid", "password"}) {
    cases.push_back({std::string("Missing field: ") + key, [&, key] {
                       json body = {{"name", "t3"}, {"host", "h"}, {"systemid", "s"},
                                    {"password", "p"}};
                       body.erase(key);
                       return c.targetAdd("B", body, s);
                     }});
  }
  for (const auto& [reason, operation] : cases) {
    SCOPED_TRACE(reason);
    EXPECT_FALSE(run(operation));
    EXPECT_EQ(status, reason);
    expectUnchanged();
    EXPECT_EQ(targetNamesOf("A"), std::vector<std::string>{"t1"});
    EXPECT_EQ(targetNamesOf("B"), std::vector<std::string>{});
    EXPECT_EQ(c.esmeTpsLimit("acme", ""), 65535);
  }
}

// One change after the other, as an operator makes them: each answers its
// text, logs its operation, advances the change time and saves a file that
// loads again.
TEST_F(ConfigOperationsTest, ChangesAnswerTheirTextAndAreSavedOneBackupEach) {
  OstrelConfiguration& c = *config;
  std::string& s = status;
  auto stored = [&](size_t set) { return c.jconfigCopy()["targetsets"][set]["targets"]; };
  auto record = [&](size_t set) { return c.targetSetsCopy()[set].targets.at(0); };
  // Limits at their edge are accepted.
  const json t1 = target("t1", {{"port", 3000}, {"bindqty", 128}, {"usetxrx", true}});
  const json t3 = target("t3", {{"bindqty", 256}});
  const json t4 = {{"name", "t4"}, {"host", "h"}, {"systemid", "s"}, {"password", "p"}};
  json t4Stored = t4;
  t4Stored.update({{"bindqty", 1}, {"systemtype", ""}, {"weight", 1}, {"admindown", false}});
  // Optional keys are stored as given, the lists keep only their text
  // elements, unknown keys are dropped.
  json full = {{"systemid", "new"},        {"targetset", "B"},         {"tpslimit", 5},
               {"submits_enabled", false}, {"binding_enabled", false}, {"password", "p"},
               {"password_hash", "$2b$x"}, {"colour", "red"}};
  full["inboundmo"] = full["allowedips"] = json::parse("[[[[\"deep\"]]], {\"a\": [1]}, 7]");
  full["inboundmo"].insert(full["inboundmo"].begin(), "300");
  full["allowedips"].push_back("10.0.0.1");
  json fullStored = full;
  fullStored.erase("targetset");
  fullStored.erase("colour");
  fullStored.update(
      {{"sharedtargetsetid", "B"}, {"inboundmo", {"300"}}, {"allowedips", {"10.0.0.1"}}});
  struct Case {
    std::string status;
    std::string operation;  // as logged
    std::function<bool()> change;
    std::function<void()> check;
  };
  const Case cases[] = {
      {"ESME added new", "Add ESME", [&] { return c.esmeAdd(full, s); },
       [&] {
         EXPECT_EQ(c.jconfigCopy()["esme"].back(), fullStored);
         ResolvedESME esme = c.resolveESME("new", "");
         EXPECT_TRUE(esme.found && !esme.submits_enabled && !esme.binding_enabled);
         EXPECT_EQ(std::tie(esme.tpslimit, esme.password_hash),
                   std::make_tuple(5, std::string("$2b$x")));
         EXPECT_EQ(esme.allowedIPs, std::vector<std::string>{"10.0.0.1"});
         EXPECT_EQ(c.esmeForNumber("300").value_or(""), "new");
       }},
      {"ESME modified acme", "Modify ESME",
       [&] { return c.esmeModify("acme", {{"targetset", "B"}, {"binding_enabled", false}}, s); },
       [&] {
         ResolvedESME esme = c.resolveESME("acme", "");
         EXPECT_EQ(esme.sharedtargetsetid, "B");
         EXPECT_TRUE(!esme.binding_enabled && esme.submits_enabled);
         EXPECT_EQ(esme.password, "pw");
       }},
      {"ESME removed beta", "Remove ESME", [&] { return c.esmeRemove("beta", s); },
       [&] { EXPECT_FALSE(c.findESME("beta", "").has_value()); }},
      // Targets come only through their own operation.
      {"Target set added D", "Add Target Set",
       [&] { return c.targetSetAdd(targetSet("D", {target("t9")}), s); },
       [&] { EXPECT_EQ(stored(3), nullptr); }},
      {"Target added t3", "Add Target", [&] { return c.targetAdd("D", t3, s); },
       [&] { EXPECT_EQ(stored(3), json::array({t3})); }},
      {"Target added t4", "Add Target", [&] { return c.targetAdd("B", t4, s); },
       [&] { EXPECT_EQ(stored(1), json::array({t4Stored})); }},
      {"Target modified t1", "Modify Target",
       [&] {
         return c.targetModify("A", "t1", {{"port", 3000}, {"bindqty", 128}, {"usetxrx", true}}, s);
       },
       [&] {
         EXPECT_EQ(stored(0), json::array({t1}));
         EXPECT_EQ(record(0).port, 3000);
       }},
      {"Target modified t1", "Modify Target",
       [&] { return c.targetModify("A", "t1", {{"name", "t5"}}, s); },
       [&] { EXPECT_EQ(record(0).name, "t5"); }},
      {"Target set modified B", "Modify Target Set",
       [&] { return c.targetSetModify("B", {{"name", "Renamed"}, {"submits_enabled", true}}, s); },
       [&] { EXPECT_EQ(c.targetSetsCopy()[1].name, "Renamed"); }},
      {"Target removed successfully t5", "Remove Target",
       [&] { return c.targetRemove("A", "t5", s); },
       [&] { EXPECT_EQ(stored(0), json::array()); }},
      // Its customers keep naming a removed set.
      {"Target set removed A", "Remove Target Set", [&] { return c.targetSetRemove("A", s); },
       [&] { EXPECT_EQ(c.targetSetsCopy().size(), 3u); }},
  };
  uint64_t changedAt = 0;
  size_t saves = 0;
  for (const Case& change : cases) {
    SCOPED_TRACE(change.status);
    ASSERT_TRUE(run(change.change)) << status;
    EXPECT_EQ(status, change.status);
    EXPECT_NE(out.find("Performing operation: " + change.operation + "\n"), std::string::npos);
    change.check();
    EXPECT_GT(c.configChangedAt.load(), changedAt);
    changedAt = c.configChangedAt.load();
    expectSavedAndReloadable(++saves);
  }
  // A failure leaves the change time alone; a touch changes nothing, yet
  // saves and bumps the change time, and fails.
  EXPECT_FALSE(run([&] { return c.esmeRemove("ghost", s); }));
  EXPECT_EQ(c.configChangedAt.load(), changedAt);
  const json before = c.jconfigCopy();
  EXPECT_FALSE(run([&] { return c.esmeAdd({{"touch", true}, {"systemid", "t"}}, s); }));
  EXPECT_EQ(status, "ESME touch");
  EXPECT_NE(out.find("Performing operation: Touch ESME\n"), std::string::npos);
  EXPECT_GT(c.configChangedAt.load(), changedAt);
  EXPECT_EQ(c.jconfigCopy(), before);
  expectSavedAndReloadable(++saves);
  // Saves within one microsecond still leave a backup each.
  c.setClock([] { return uint64_t{1700000000000000}; });
  ASSERT_TRUE(run([&] { return c.performSave(); }));
  ASSERT_TRUE(run([&] { return c.performSave(); }));
  EXPECT_TRUE(dir.exists("pelliro_1700000000000000.conf"));
  EXPECT_TRUE(dir.exists("pelliro_1700000000000001.conf"));
  expectSavedAndReloadable(saves + 2);
}

// The number→customer map and the compiled inbound table follow every
// customer change at once; a modified "inboundmo" drops the "numbering" that
// would override it at the next start.
TEST_F(ConfigOperationsTest, InboundNumbersFollowEveryChangeAndSurviveARestart) {
  auto change = [&](const std::function<bool()>& op) { ASSERT_TRUE(run(op)) << status; };
  EXPECT_EQ(config->inboundMOSystemId("111"), "acme");
  EXPECT_EQ(config->inboundMOSystemId("200"), "beta");
  change([&] { return config->esmeModify("acme", {{"inboundmo", {"4477.*", 3}}}, status); });
  EXPECT_EQ(config->findESME("acme", "")->numbers, std::vector<std::string>{"4477.*"});
  EXPECT_FALSE(config->jconfigCopy()["esme"][0].contains("numbering"));
  EXPECT_EQ(config->inboundMOSystemId("4477123"), "acme");
  EXPECT_EQ(config->inboundMOSystemId("111"), "");
  json late = {{"systemid", "late"}, {"targetset", "A"}, {"inboundmo", {"4477123", "200"}}};
  change([&] { return config->esmeAdd(late, status); });
  EXPECT_EQ(config->inboundMOSystemId("4477123"), "late");
  EXPECT_EQ(config->esmeForNumber("200").value_or(""), "late");
  // Removing the later owner of a number hands it back.
  change([&] { return config->esmeRemove("late", status); });
  EXPECT_EQ(config->esmeForNumber("200").value_or(""), "beta");
  EXPECT_EQ(config->inboundMOSystemId("4477123"), "acme");
  change([&] { return config->esmeRemove("acme", status); });
  EXPECT_EQ(config->inboundMOSystemId("4477999"), "");
  change([&] { return config->esmeModify("beta", {{"inboundmo", {"150"}}}, status); });
  OstrelConfiguration fresh(dir.file("pelliro.conf"));
  ASSERT_TRUE(loadQuietly(fresh));
  EXPECT_EQ(fresh.esmeForNumber("150").value_or(""), "beta");
  EXPECT_FALSE(fresh.esmeForNumber("200").has_value());
}

TEST_F(ConfigOperationsTest, ChangeThatCannotBeSavedIsUndone) {
  std::filesystem::create_directory(dir.file("pelliro.conf.tmp"));
  json body = {{"systemid", "new"}, {"targetset", "A"}, {"inboundmo", {"900"}}};
  EXPECT_FALSE(run([&] { return config->esmeAdd(body, status); }));
  EXPECT_EQ(status, "Configuration file " + dir.file("pelliro.conf") + " failed to save");
  EXPECT_FALSE(config->findESME("new", "").has_value());
  EXPECT_FALSE(config->esmeForNumber("900").has_value());
  EXPECT_FALSE(run([&] { return config->targetRemove("A", "t1", status); }));
  EXPECT_EQ(targetNamesOf("A"), std::vector<std::string>{"t1"});
  expectUnchanged();
}

// The lock is free while the file is written.
TEST_F(ConfigOperationsTest, ConfigurationLockIsFreeWhileTheFileIsWritten) {
  testing::internal::CaptureStdout();
  // The next save is held until the test lets it go.
  std::promise<void> firstStarted, release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> writes{0};
  config->setFileWriterForTesting([&](const std::string& path, const std::string& text) {
    if (writes++ == 0) {
      firstStarted.set_value();
      released.wait_for(std::chrono::seconds(10));
    }
    std::ofstream(path) << text;
    return true;
  });
  std::atomic<bool> firstOk{false}, secondOk{false};
  auto add = [&](const char* id, std::atomic<bool>* ok) {
    std::string s = "OK";
    *ok = config->esmeAdd({{"systemid", id}, {"targetset", "A"}}, s);
  };
  std::thread first(add, "n1", &firstOk);
  EXPECT_EQ(firstStarted.get_future().wait_for(std::chrono::seconds(10)),
            std::future_status::ready);
  // While the write is held, another thread takes the lock (a bind would)
  // and already sees the change.
  bool lockFree = false;
  std::thread reader([&] {
    std::unique_lock<std::mutex> lock(config->configMutex, std::try_to_lock);
    lockFree = lock.owns_lock();
  });
  reader.join();
  EXPECT_TRUE(lockFree);
  EXPECT_TRUE(config->findESME("n1", "").has_value());
  // A second change waits for the first save and is written after it.
  std::thread second(add, "n2", &secondOk);
  release.set_value();
  first.join();
  second.join();
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(firstOk && secondOk);
  EXPECT_EQ(writes.load(), 2);
  expectSavedAndReloadable(2);
  json esmes = json::parse(dir.read("pelliro.conf"))["esme"];
  ASSERT_EQ(esmes.size(), 4u);
  EXPECT_EQ(esmes[3]["systemid"], "n2");
}

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

TEST(MTRoutesTest, EachCriterionDecidesOnlyWhenItMatches) {
  json ndc = rule("destination", "ndc", "77", "N");
  ndc["criteria"]["country"] = "44";
  json noTargetSet = rule("destination", "exact", "4477", "X");
  noTargetSet.erase("targetset");
  json noValue = rule("destination", "exact", "4477", "X");
  noValue["criteria"].erase("value");
  const struct {
    const char* name;
    json rule;
    const char* destination;
    json lookup;
    const char* expected;  // "start" when the rule must not decide
  } cases[] = {
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
  // An operator change of the customer keeps its compiled rules.
  std::string status = "OK";
  ASSERT_TRUE(config.esmeModify("acme", {{"tpslimit", 5}}, status)) << status;
  EXPECT_EQ(routeOf("acme", "447700"), "Mine");
}

TEST(InboundMORoutesTest, ExactKeyThenFirstWholeMatchInKeyOrder) {
  testing::internal::CaptureStdout();
  const InboundMORoutes routes({
      {"447700900123", "exact"},
      {"4477.*", "uk-mobile"},
      {"44[0-9]*", "uk"},  // after "4477.*" in key order
      {"33.*", "fr"},      // before "33[0-9]+" in key order, so it wins
      {"33[0-9]+", "fr-later"},
      {"STOP", "keyword"},
      {"[0-9", "broken"},  // not a valid expression
      {"(a|b", "broken2"},
  });
  const std::string log = testing::internal::GetCapturedStdout();
  const std::pair<const char*, const char*> cases[] = {
      {"447700900123", "exact"},  // exact key although "4477.*" comes first in key order
      {"447700900999", "uk-mobile"},
      {"4412", "uk"},  // "4477.*" does not match, the next key does
      {"STOP", "keyword"},
      {"STOP now", ""},  // a key must match the whole text
      {"please STOP", ""},
      {"[0-9", "broken"},  // an invalid key still matches its own text
      {"[0-95", ""},
      {"(a|b", "broken2"},
      {"a", ""},
      {"", ""},
      {"33123", "fr"},
      {"44x", ""},
  };
  // An invalid key is reported when built, never when matched.
  testing::internal::CaptureStdout();
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(routes.find(text), expected) << "text \"" << text << "\"";
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_NE(log.find("WARNING InboundMORoutes::InboundMORoutes Inbound number [0-9 is not"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Inbound number (a|b is not"), std::string::npos) << log;
  EXPECT_EQ(log.find("Inbound number 44[0-9]* is not"), std::string::npos) << log;
}

TEST(InboundMORoutesTest, LongTextsAndKeysAreMatchedOnlyExactlyInsteadOfExhaustingTheStack) {
  const std::string longText = "4477" + std::string(65000, '1');  // a whole message_payload
  const std::string longest = "4477" + std::string(InboundMORoutes::kMaxPatternTextLength - 4, '1');
  const InboundMORoutes routes(
      std::map<std::string, std::string>{{"4477.*", "uk-mobile"}, {longText, "exact"}});
  EXPECT_EQ(routes.find(longText), "exact");
  EXPECT_EQ(routes.find(longText + "1"), "");
  EXPECT_EQ(routes.find(longest), "uk-mobile");
}

}  // namespace
