#include "config/ostrel_configuration.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/temp_dir.h"

using nlohmann::json;
using testing_support::backupCount;
using testing_support::TempDir;

namespace {

// Two names whose string hashes share their low 32 bits (0x3f44d035), found
// once by hashing "smsc-0", "smsc-1", ... until two low halves were equal.
const char* const kCollidingA = "smsc-30201";
const char* const kCollidingB = "smsc-51237";

json target(const std::string& name) {
  return {{"name", name},      {"host", "smsc.example"}, {"port", 2776},        {"bindqty", 2},
          {"systemid", "up"},  {"password", "secret"},   {"systemtype", "VMA"}, {"weight", 3},
          {"admindown", false}};
}

json targetSet(const std::string& id, std::vector<json> targets) {
  return {{"id", id}, {"name", id + " name"}, {"submits_enabled", true}, {"targets", targets}};
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

json coverage(const std::string& set, std::vector<json> items) {
  return {{"targetset", set}, {"coverage", items}};
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
  LoadResult loadText(const std::string& text) {
    dir.write("pelliro.conf", text);
    return reload();
  }
  // Loads the file as it stands into a fresh configuration object.
  LoadResult reload() {
    config = std::make_unique<OstrelConfiguration>(path());
    LoadResult result;
    testing::internal::CaptureStdout();
    result.ok = config->performLoad(result.notFound);
    result.out = testing::internal::GetCapturedStdout();
    return result;
  }
  bool save(std::string* out = nullptr) {
    testing::internal::CaptureStdout();
    bool saved = config->performSave();
    std::string text = testing::internal::GetCapturedStdout();
    if (out != nullptr) *out = text;
    return saved;
  }

  TempDir dir;
  std::unique_ptr<OstrelConfiguration> config = std::make_unique<OstrelConfiguration>(path());
};

// (That the default file loads and starts, the first run of the executable shows.)
TEST_F(OstrelConfigurationTest, ShippedExampleConfigurationLoads) {
  std::filesystem::copy_file(std::string(PELLIRO_SOURCE_DIR) + "/examples/pelliro.conf", path());
  LoadResult loaded = reload();
  ASSERT_TRUE(loaded.ok) << loaded.out;
  EXPECT_EQ(config->esmeSharedTargetSet("demo", "127.0.0.1"), "INTERNAL_SMSC_SIM");
  EXPECT_FALSE(config->resolveESME("stranger", "127.0.0.1").binding_enabled);
}

TEST_F(OstrelConfigurationTest, SaveKeepsPreviousFileAsBackupAndReloadsUnchanged) {
  json customer = esme("acme");
  customer.update({{"password", "pw"},
                   {"tpslimit", 50},
                   {"inboundmo", {"4470"}},
                   {"allowedips", {"10.0.0.0/8"}},
                   {"routes-mt", {lcrRule({coverage("A", {{{"key", "23415"}, {"cost", 0.1}}})})}}});
  json global = {{"criteria", {{"match", "destination"}, {"type", "exact"}, {"value", "1"}}},
                 {"targetset", "A"}};
  json doc = document(
      {targetSet("A", {target("t1")})}, {customer},
      {{"base", {{"smpp.port", 2777}}}, {"routes-mt", {global}}, {"eli", {{"enabled", true}}}});
  std::string original = doc.dump(2) + "\n";
  ASSERT_TRUE(loadText(original).ok);

  std::string out;
  ASSERT_TRUE(save(&out));
  EXPECT_NE(out.find("Configuration file " + path() + " save"), std::string::npos);
  EXPECT_EQ(backupCount(dir.path()), 1u);
  EXPECT_EQ(dir.read("pelliro.conf"), original);
  EXPECT_FALSE(dir.exists("pelliro.conf.tmp"));

  LoadResult again = reload();
  ASSERT_TRUE(again.ok) << again.out;
  EXPECT_EQ(config->jconfigCopy(), doc);
  EXPECT_EQ(config->getBaseInt("smpp.port", 2775), 2777);

  // Saves within one microsecond still leave a backup each.
  config->setClock([] { return uint64_t{1700000000000000}; });
  ASSERT_TRUE(save());
  ASSERT_TRUE(save());
  EXPECT_EQ(backupCount(dir.path()), 3u);
  EXPECT_TRUE(dir.exists("pelliro_1700000000000000.conf"));
  EXPECT_TRUE(dir.exists("pelliro_1700000000000001.conf"));
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
  big.update({{"bindqty", 129}, {"usetxrx", true}});
  add("129 pairs", oneSet({big}), "Target t1 bindqty 129 above 128 for usetxrx");
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

TEST_F(OstrelConfigurationTest, BaseKeysAreFlatDottedKeysOfAnObject) {
  const std::pair<json, int> cases[] = {{{{"smpp.port", 2776}}, 2776},
                                        {{{"smpp", {{"port", 2776}}}}, 2775},
                                        {json::array({1, 2}), 2775}};
  for (const auto& [base, port] : cases) {
    ASSERT_TRUE(load(json{{"base", base}}).ok);
    EXPECT_EQ(config->getBaseInt("smpp.port", 2775), port) << base.dump();
  }
  ASSERT_TRUE(load(json{{"base", {{"smpp.port", "2776"}}}}).ok);
  EXPECT_THROW(config->getBaseInt("smpp.port", 2775), json::type_error);
}

// ---- Records ----------------------------------------------------------------

// A later set of the same id replaces the earlier one; optional target
// fields take their defaults.
TEST_F(OstrelConfigurationTest, TargetRecordsTakeTheirFieldsAndTheOptionalOnesTheirDefaults) {
  json t = target("t1");
  t.erase("port");
  t["bindqty"] = 256;
  json pairs = target(kCollidingA);  // loads beside any name it does not collide with
  pairs.update({{"usetxrx", true}, {"userxonly", true}, {"tpslimit", 10}, {"bindqty", 128}});
  ASSERT_TRUE(load(document({targetSet("A", {target("t0")}), targetSet("A", {t, pairs})}, {})).ok);
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
}

// "numbering" replaces "inboundmo"; a number belongs to the last customer
// listing it; only the text elements of the lists count; a tps limit out of
// range is clamped, not wrapped.
TEST_F(OstrelConfigurationTest, CustomerNumbersAddressesAndLimitsKeepOnlyWhatFits) {
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
  ASSERT_TRUE(load(document({}, {customer, plain, last})).ok);
  EXPECT_EQ(config->findESME("acme", "")->numbers, std::vector<std::string>{"200"});
  EXPECT_EQ(config->numbersByESMECopy()["plain"], (std::vector<std::string>{"400", "500", "777"}));
  EXPECT_EQ(config->esmeForNumber("200").value_or(""), "acme");
  EXPECT_FALSE(config->esmeForNumber("100").has_value());
  EXPECT_EQ(config->esmeForNumber("777").value_or(""), "last");
  EXPECT_EQ(config->resolveESME("plain", "").allowedIPs,
            (std::vector<std::string>{"10.0.0.1", "192.168.0.0/16"}));
  EXPECT_EQ(config->esmeTpsLimit("acme", ""), 65535);
  EXPECT_EQ(config->esmeTpsLimit("plain", ""), 0);
}

// Unknown customers bind only while "default_binding_enabled" says so (the
// bind decisions themselves are the bind authoriser's); a mistyped switch
// refuses them with a WARNING.
TEST_F(OstrelConfigurationTest, MistypedDefaultBindingSwitchRefusesUnknownCustomers) {
  json doc = document({}, {esme("acme")}, {{"base", {{"default_binding_enabled", "no"}}}});
  ASSERT_TRUE(load(doc).ok);
  testing::internal::CaptureStdout();
  bool enabled = config->resolveESME("nobody", "1.2.3.4").binding_enabled;
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(enabled);
  EXPECT_TRUE(config->resolveESME("acme", "1.2.3.4").binding_enabled);
  EXPECT_NE(out.find("WARNING OstrelConfiguration::defaultBindingEnabled Exception"),
            std::string::npos);
}

}  // namespace
