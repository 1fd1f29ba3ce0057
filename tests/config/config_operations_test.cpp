#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/ostrel_configuration.h"
#include "tests/support/temp_dir.h"

using nlohmann::json;
using testing_support::TempDir;

namespace {

size_t backupCount(const std::string& directory) {
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    std::string name = entry.path().filename().string();
    if (name.rfind("pelliro_", 0) == 0) ++count;
  }
  return count;
}

json target(const std::string& name) {
  return {{"name", name},         {"host", "smsc.example"}, {"bindqty", 2}, {"systemid", "up"},
          {"password", "secret"}, {"systemtype", ""},       {"weight", 1},  {"admindown", false}};
}

// Starts every test from a loaded file with two sets (A holding t1, B
// empty) and two customers, and a clock that moves 1000 µs per reading.
class ConfigOperationsTest : public ::testing::Test {
 protected:
  ConfigOperationsTest() {
    json acme = {{"systemid", "acme"},
                 {"sharedtargetsetid", "A"},
                 {"password", "pw"},
                 {"inboundmo", {"100"}},
                 {"numbering", {{{"numbers", {"111"}}}}}};
    json beta = {{"systemid", "beta"}, {"sharedtargetsetid", "B"}, {"inboundmo", {"200"}}};
    initial = {
        {"base", {{"smpp.port", 2775}}},
        {"targetsets",
         {{{"id", "A"}, {"name", "Set A"}, {"submits_enabled", true}, {"targets", {target("t1")}}},
          {{"id", "B"},
           {"name", "Set B"},
           {"submits_enabled", false},
           {"targets", json::array()}}}},
        {"esme", {acme, beta}},
        {"routes-mt", json::array()},
        {"routes-mo", json::array()}};
    dir.write("pelliro.conf", initial.dump(2) + "\n");
    config = std::make_unique<OstrelConfiguration>(dir.file("pelliro.conf"));
    config->setClock([this] { return clock += 1000; });
    bool notFound = false;
    testing::internal::CaptureStdout();
    loaded = config->performLoad(notFound);
    testing::internal::GetCapturedStdout();
  }

  void SetUp() override { ASSERT_TRUE(loaded); }

  // Runs one operation with standard output captured into `out`.
  template <typename Operation>
  bool run(Operation operation) {
    status = "OK";
    testing::internal::CaptureStdout();
    bool ok;
    try {
      ok = operation();
    } catch (...) {
      out = testing::internal::GetCapturedStdout();
      throw;
    }
    out = testing::internal::GetCapturedStdout();
    return ok;
  }

  // The file was rewritten once more with a backup, and a fresh instance
  // loads it into the same document.
  void expectSavedAndReloadable(size_t backups) {
    EXPECT_EQ(backupCount(dir.path()), backups);
    json onDisk = json::parse(dir.read("pelliro.conf"));
    EXPECT_EQ(onDisk, config->jconfigCopy());
    OstrelConfiguration fresh(dir.file("pelliro.conf"));
    bool notFound = false;
    testing::internal::CaptureStdout();
    bool ok = fresh.performLoad(notFound);
    std::string loadOut = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(ok) << loadOut;
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
};

// ---- Customers --------------------------------------------------------------

TEST_F(ConfigOperationsTest, EsmeAddWithOnlyIdAndSetStoresJustThose) {
  ASSERT_TRUE(run([&] {
    return config->esmeAdd({{"systemid", "new"}, {"targetset", "B"}}, status);
  }));
  EXPECT_EQ(status, "ESME added new");
  EXPECT_NE(out.find("Performing operation: Add ESME\n"), std::string::npos);
  EXPECT_NE(out.find("INFO OstrelConfiguration::esmeAdd IN"), std::string::npos);
  EXPECT_NE(out.find("INFO OstrelConfiguration::esmeAdd OUT"), std::string::npos);
  json stored = config->jconfigCopy()["esme"].back();
  EXPECT_EQ(stored, json({{"systemid", "new"}, {"sharedtargetsetid", "B"}}));
  auto record = config->findESME("new", "");
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->tpslimit, 65535);
  EXPECT_TRUE(record->submits_enabled);
  EXPECT_TRUE(record->binding_enabled);
  EXPECT_TRUE(record->password.empty());
  EXPECT_EQ(record->sharedtargetsetid, "B");
  EXPECT_GT(config->configChangedAt.load(), 1700000000000000u);
  expectSavedAndReloadable(1);
}

TEST_F(ConfigOperationsTest, EsmeAddStoresTheGivenOptionalKeysAndOnlyTextInTheLists) {
  json nested = json::parse("[[[[\"deep\"]]], {\"a\": [1]}, 7]");
  json inbound = nested;
  inbound.insert(inbound.begin(), "300");
  json allowed = nested;
  allowed.push_back("10.0.0.1");
  json body = {
      {"systemid", "full"},         {"targetset", "A"},         {"tpslimit", 5},
      {"submits_enabled", false},   {"binding_enabled", false}, {"password", "p"},
      {"password_hash", "$2b$x"},   {"inboundmo", inbound},     {"allowedips", allowed},
      {"routes-mt", json::array()}, {"colour", "red"}};
  ASSERT_TRUE(run([&] { return config->esmeAdd(body, status); }));
  json expected = body;
  expected.erase("targetset");
  expected.erase("routes-mt");
  expected.erase("colour");
  expected["sharedtargetsetid"] = "A";
  expected["inboundmo"] = {"300"};
  expected["allowedips"] = {"10.0.0.1"};
  EXPECT_EQ(config->jconfigCopy()["esme"].back(), expected);
  ResolvedESME resolved = config->resolveESME("full", "");
  EXPECT_EQ(resolved.tpslimit, 5);
  EXPECT_FALSE(resolved.submits_enabled);
  EXPECT_FALSE(resolved.binding_enabled);
  EXPECT_EQ(resolved.password, "p");
  EXPECT_EQ(resolved.password_hash, "$2b$x");
  EXPECT_EQ(resolved.allowedIPs, std::vector<std::string>{"10.0.0.1"});
  EXPECT_EQ(config->esmeForNumber("300").value_or(""), "full");
  EXPECT_EQ(config->numbersByESMECopy()["full"], std::vector<std::string>{"300"});
  expectSavedAndReloadable(1);
}

TEST_F(ConfigOperationsTest, EsmeAddRefusals) {
  EXPECT_FALSE(run([&] { return config->esmeAdd({{"targetset", "A"}}, status); }));
  EXPECT_EQ(status, "Missing field: systemid");
  EXPECT_FALSE(run([&] { return config->esmeAdd({{"systemid", "x"}}, status); }));
  EXPECT_EQ(status, "Missing field: targetset");
  EXPECT_FALSE(run([&] {
    return config->esmeAdd({{"systemid", "acme"}, {"targetset", "B"}}, status);
  }));
  EXPECT_EQ(status, "ESME already exists");
  EXPECT_EQ(config->esmeSharedTargetSet("acme", ""), "A");
  expectUnchanged();
}

TEST_F(ConfigOperationsTest, EsmeTouchSavesAndBumpsTheChangeTimeButFails) {
  EXPECT_FALSE(run([&] {
    return config->esmeAdd({{"touch", true}, {"systemid", "t"}, {"targetset", "A"}}, status);
  }));
  EXPECT_EQ(status, "ESME touch");
  size_t add = out.find("Performing operation: Add ESME\n");
  size_t touch = out.find("Performing operation: Touch ESME\n");
  ASSERT_NE(touch, std::string::npos);
  EXPECT_LT(add, touch);
  EXPECT_GT(config->configChangedAt.load(), 0u);
  EXPECT_FALSE(config->findESME("t", "").has_value());
  EXPECT_EQ(config->jconfigCopy(), initial);
  expectSavedAndReloadable(1);
}

TEST_F(ConfigOperationsTest, EsmeAddWithWrongTypeThrowsAndChangesNothing) {
  EXPECT_THROW(run([&] {
                 return config->esmeAdd(
                     {{"systemid", "x"}, {"targetset", "A"}, {"tpslimit", "many"}}, status);
               }),
               json::type_error);
  EXPECT_THROW(run([&] {
                 return config->esmeAdd({{"systemid", 7}, {"targetset", "A"}}, status);
               }),
               json::type_error);
  EXPECT_FALSE(config->findESME("x", "").has_value());
  expectUnchanged();
}

TEST_F(ConfigOperationsTest, EsmeModifyChangesOnlyTheGivenKeys) {
  json body = {{"targetset", "B"},
               {"tpslimit", 9},
               {"binding_enabled", false},
               {"allowedips", json::parse("[[[\"9.9.9.9\"]], \"1.2.3.4\", {}]")}};
  ASSERT_TRUE(run([&] { return config->esmeModify("acme", body, status); }));
  EXPECT_EQ(status, "ESME modified acme");
  EXPECT_NE(out.find("Performing operation: Modify ESME\n"), std::string::npos);
  ResolvedESME resolved = config->resolveESME("acme", "");
  EXPECT_EQ(resolved.sharedtargetsetid, "B");
  EXPECT_EQ(resolved.tpslimit, 9);
  EXPECT_FALSE(resolved.binding_enabled);
  EXPECT_TRUE(resolved.submits_enabled);
  EXPECT_EQ(resolved.password, "pw");
  EXPECT_EQ(resolved.allowedIPs, std::vector<std::string>{"1.2.3.4"});
  json stored = config->jconfigCopy()["esme"][0];
  EXPECT_EQ(stored["sharedtargetsetid"], "B");
  EXPECT_EQ(stored["tpslimit"], 9);
  EXPECT_EQ(stored["password"], "pw");
  EXPECT_EQ(stored["allowedips"], json({"1.2.3.4"}));
  expectSavedAndReloadable(1);
}

TEST_F(ConfigOperationsTest, EsmeModifiedInboundNumbersRouteAtOnceAndSurviveRestart) {
  EXPECT_EQ(config->esmeForNumber("111").value_or(""), "acme");
  ASSERT_TRUE(run([&] { return config->esmeModify("acme", {{"inboundmo", {"150", 3}}}, status); }));
  EXPECT_EQ(config->findESME("acme", "")->numbers, std::vector<std::string>{"150"});
  EXPECT_EQ(config->jconfigCopy()["esme"][0]["inboundmo"], json({"150"}));
  EXPECT_EQ(config->esmeForNumber("150").value_or(""), "acme");
  EXPECT_FALSE(config->esmeForNumber("111").has_value());
  EXPECT_FALSE(config->jconfigCopy()["esme"][0].contains("numbering"));
  expectSavedAndReloadable(1);
  OstrelConfiguration fresh(dir.file("pelliro.conf"));
  bool notFound = false;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(fresh.performLoad(notFound));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(fresh.esmeForNumber("150").value_or(""), "acme");
}

TEST_F(ConfigOperationsTest, InboundMORoutingFollowsEveryChangeOfTheNumbers) {
  EXPECT_EQ(config->inboundMOSystemId("111"), "acme");
  EXPECT_EQ(config->inboundMOSystemId("200"), "beta");
  EXPECT_EQ(config->inboundMOSystemId("4477123"), "");
  ASSERT_TRUE(run([&] { return config->esmeModify("acme", {{"inboundmo", {"4477.*"}}}, status); }));
  EXPECT_EQ(config->inboundMOSystemId("4477123"), "acme");
  EXPECT_EQ(config->inboundMOSystemId("111"), "");
  ASSERT_TRUE(run([&] {
    return config->esmeAdd({{"systemid", "late"}, {"targetset", "A"}, {"inboundmo", {"4477123"}}},
                           status);
  }));
  EXPECT_EQ(config->inboundMOSystemId("4477123"), "late");
  EXPECT_EQ(config->inboundMOSystemId("4477999"), "acme");
  ASSERT_TRUE(run([&] { return config->esmeRemove("acme", status); }));
  EXPECT_EQ(config->inboundMOSystemId("4477999"), "");
  EXPECT_EQ(config->inboundMOSystemId("4477123"), "late");
}

TEST_F(ConfigOperationsTest, EsmeModifyRefusalsChangeNothing) {
  EXPECT_FALSE(run([&] { return config->esmeModify("ghost", {{"tpslimit", 1}}, status); }));
  EXPECT_EQ(status, "ESME not found");
  // The valid first key must not be applied when a later one throws.
  EXPECT_THROW(
      run([&] {
        return config->esmeModify("acme", {{"tpslimit", 1}, {"submits_enabled", "yes"}}, status);
      }),
      json::type_error);
  EXPECT_EQ(config->esmeTpsLimit("acme", ""), 65535);
  expectUnchanged();
}

TEST_F(ConfigOperationsTest, EsmeRemoveDropsRecordDocumentAndNumbers) {
  ASSERT_TRUE(run([&] { return config->esmeRemove("beta", status); }));
  EXPECT_EQ(status, "ESME removed beta");
  EXPECT_NE(out.find("Performing operation: Remove ESME\n"), std::string::npos);
  EXPECT_FALSE(config->findESME("beta", "").has_value());
  EXPECT_EQ(config->numbersByESMECopy().count("beta"), 0u);
  EXPECT_FALSE(config->esmeForNumber("200").has_value());
  EXPECT_EQ(config->esmeForNumber("111").value_or(""), "acme");
  json list = config->jconfigCopy()["esme"];
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["systemid"], "acme");
  expectSavedAndReloadable(1);

  EXPECT_FALSE(run([&] { return config->esmeRemove("beta", status); }));
  EXPECT_EQ(status, "ESME not found beta");
}

TEST_F(ConfigOperationsTest, RemovingTheLaterOwnerOfANumberHandsItBack) {
  ASSERT_TRUE(run([&] {
    return config->esmeAdd({{"systemid", "late"}, {"targetset", "A"}, {"inboundmo", {"200"}}},
                           status);
  }));
  EXPECT_EQ(config->esmeForNumber("200").value_or(""), "late");
  ASSERT_TRUE(run([&] { return config->esmeRemove("late", status); }));
  EXPECT_EQ(config->esmeForNumber("200").value_or(""), "beta");
}

TEST_F(ConfigOperationsTest, EsmeViewAndList) {
  json result;
  ASSERT_TRUE(run([&] { return config->esmeView("beta", result, status); }));
  EXPECT_EQ(status, "OK");
  EXPECT_EQ(result, initial["esme"][1]);
  EXPECT_FALSE(run([&] { return config->esmeView("ghost", result, status); }));
  EXPECT_EQ(status, "ESME not found ghost");

  ASSERT_TRUE(run([&] { return config->esmeList(result, status); }));
  EXPECT_EQ(status, "OK");
  EXPECT_EQ(result, json({"acme", "beta"}));
  EXPECT_TRUE(out.empty());
  expectUnchanged();
}

TEST(ConfigOperationsListing, ListsAreNullWithoutTheirArrays) {
  TempDir dir;
  dir.write("pelliro.conf", R"({"base": {}, "esme": {"x": 1}})");
  OstrelConfiguration config(dir.file("pelliro.conf"));
  bool notFound = false;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(config.performLoad(notFound));
  std::string status = "OK";
  json result = json::array();
  EXPECT_TRUE(config.esmeList(result, status));
  EXPECT_TRUE(result.is_null());
  result = json::array();
  EXPECT_TRUE(config.targetSetList(result, status));
  EXPECT_TRUE(result.is_null());
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(status, "OK");
}

// ---- Shared target sets -----------------------------------------------------

TEST_F(ConfigOperationsTest, TargetSetAddStoresTheSetWithoutTargets) {
  json body = {
      {"id", "C"}, {"name", "Set C"}, {"submits_enabled", true}, {"targets", {target("t9")}}};
  ASSERT_TRUE(run([&] { return config->targetSetAdd(body, status); }));
  EXPECT_EQ(status, "Target set added C");
  EXPECT_NE(out.find("Performing operation: Add Target Set\n"), std::string::npos);
  json stored = config->jconfigCopy()["targetsets"].back();
  EXPECT_EQ(
      stored,
      json({{"id", "C"}, {"name", "Set C"}, {"submits_enabled", true}, {"targets", nullptr}}));
  EXPECT_TRUE(targetNamesOf("C").empty());
  expectSavedAndReloadable(1);
}

TEST_F(ConfigOperationsTest, TargetSetAddRefusalsInOrder) {
  EXPECT_FALSE(run([&] { return config->targetSetAdd({{"name", "n"}}, status); }));
  EXPECT_EQ(status, "Missing field: id");
  EXPECT_FALSE(run([&] { return config->targetSetAdd({{"id", "A"}}, status); }));
  EXPECT_EQ(status, "Target set already exists");
  EXPECT_FALSE(run([&] {
    return config->targetSetAdd({{"id", "C"}, {"submits_enabled", true}}, status);
  }));
  EXPECT_EQ(status, "Missing field: name");
  EXPECT_FALSE(run([&] { return config->targetSetAdd({{"id", "C"}, {"name", "n"}}, status); }));
  EXPECT_EQ(status, "Missing field: submits_enabled");
  expectUnchanged();
}

TEST_F(ConfigOperationsTest, TargetSetModifyChangesNameAndSwitch) {
  ASSERT_TRUE(run([&] {
    return config->targetSetModify("B", {{"name", "Renamed"}, {"submits_enabled", true}}, status);
  }));
  EXPECT_EQ(status, "Target set modified B");
  EXPECT_NE(out.find("Performing operation: Modify Target Set\n"), std::string::npos);
  auto sets = config->targetSetsCopy();
  ASSERT_EQ(sets.size(), 2u);
  EXPECT_EQ(sets[1].name, "Renamed");
  EXPECT_TRUE(sets[1].submits_enabled);
  json stored = config->jconfigCopy()["targetsets"][1];
  EXPECT_EQ(stored["name"], "Renamed");
  EXPECT_EQ(stored["submits_enabled"], true);
  expectSavedAndReloadable(1);
}

TEST_F(ConfigOperationsTest, TargetSetModifyRefusals) {
  EXPECT_FALSE(run([&] {
    return config->targetSetModify("Z", {{"name", "n"}, {"submits_enabled", true}}, status);
  }));
  EXPECT_EQ(status, "Target set does not exist Z");
  EXPECT_FALSE(run([&] {
    return config->targetSetModify("A", {{"submits_enabled", true}}, status);
  }));
  EXPECT_EQ(status, "Missing field: name");
  EXPECT_FALSE(run([&] { return config->targetSetModify("A", {{"name", "n"}}, status); }));
  EXPECT_EQ(status, "Missing field: submits_enabled");
  expectUnchanged();
}

TEST_F(ConfigOperationsTest, TargetSetModifyFailedLeavesTheRecordUnchanged) {
  // Live records that the document does not hold: set Z exists only in
  // memory, so the document has nothing to modify.
  json live = initial;
  live["targetsets"].push_back(
      {{"id", "Z"}, {"name", "Only live"}, {"submits_enabled", false}, {"targets", json::array()}});
  testing::internal::CaptureStdout();
  ASSERT_TRUE(config->parseConfig(true, live));
  testing::internal::GetCapturedStdout();

  EXPECT_FALSE(run([&] {
    return config->targetSetModify("Z", {{"name", "Changed"}, {"submits_enabled", true}}, status);
  }));
  EXPECT_EQ(status, "Modify failed");
  auto sets = config->targetSetsCopy();
  ASSERT_EQ(sets.size(), 3u);
  EXPECT_EQ(sets[2].id, "Z");
  EXPECT_EQ(sets[2].name, "Only live");
  EXPECT_FALSE(sets[2].submits_enabled);
  expectUnchanged();
}

TEST_F(ConfigOperationsTest, TargetSetRemoveLeavesItsCustomers) {
  ASSERT_TRUE(run([&] { return config->targetSetRemove("A", status); }));
  EXPECT_EQ(status, "Target set removed A");
  EXPECT_NE(out.find("Performing operation: Remove Target Set\n"), std::string::npos);
  EXPECT_EQ(config->targetSetsCopy().size(), 1u);
  EXPECT_EQ(config->jconfigCopy()["targetsets"].size(), 1u);
  EXPECT_EQ(config->esmeSharedTargetSet("acme", ""), "A");
  expectSavedAndReloadable(1);
  EXPECT_FALSE(run([&] { return config->targetSetRemove("A", status); }));
  EXPECT_EQ(status, "Target set does not exist A");
}

TEST_F(ConfigOperationsTest, TargetSetViewAndList) {
  json result;
  ASSERT_TRUE(run([&] { return config->targetSetView("A", result, status); }));
  EXPECT_EQ(status, "Target set found A");
  EXPECT_EQ(
      result,
      json({{"id", "A"}, {"name", "Set A"}, {"submits_enabled", true}, {"target-names", {"t1"}}}));
  EXPECT_FALSE(run([&] { return config->targetSetView("Z", result, status); }));
  EXPECT_EQ(status, "Target set not found Z");
  ASSERT_TRUE(run([&] { return config->targetSetList(result, status); }));
  EXPECT_EQ(status, "OK");
  EXPECT_EQ(result, json({"A", "B"}));
  expectUnchanged();
}

// ---- Targets ----------------------------------------------------------------

TEST_F(ConfigOperationsTest, TargetViewAndNames) {
  json result;
  ASSERT_TRUE(run([&] { return config->targetView("A", "t1", result, status); }));
  EXPECT_EQ(status, "Target found t1 (target set A)");
  EXPECT_EQ(result, target("t1"));
  EXPECT_FALSE(run([&] { return config->targetView("A", "t2", result, status); }));
  EXPECT_EQ(status, "Target not found t2 (target set A)");
  EXPECT_FALSE(run([&] { return config->targetView("Z", "t1", result, status); }));
  EXPECT_EQ(status, "Target not found t1 (target set Z)");

  ASSERT_TRUE(run([&] { return config->targetNames("A", result, status); }));
  EXPECT_EQ(status, "Target names listed A");
  EXPECT_EQ(result, json({"t1"}));
  EXPECT_FALSE(run([&] { return config->targetNames("B", result, status); }));
  EXPECT_EQ(status, "Target set not found or has no targets B");
  EXPECT_FALSE(run([&] { return config->targetNames("Z", result, status); }));
  EXPECT_EQ(status, "Target set not found or has no targets Z");
  expectUnchanged();
}

TEST_F(ConfigOperationsTest, TargetAddFillsDefaults) {
  json body = {{"name", "t2"}, {"host", "h"}, {"systemid", "s"}, {"password", "p"}};
  ASSERT_TRUE(run([&] { return config->targetAdd("B", body, status); }));
  EXPECT_EQ(status, "Target added t2");
  EXPECT_NE(out.find("Performing operation: Add Target\n"), std::string::npos);
  json stored = config->jconfigCopy()["targetsets"][1]["targets"].back();
  json expected = body;
  expected.update({{"bindqty", 1}, {"systemtype", ""}, {"weight", 1}, {"admindown", false}});
  EXPECT_EQ(stored, expected);
  auto sets = config->targetSetsCopy();
  ASSERT_EQ(sets[1].targets.size(), 1u);
  const TargetRecord& record = sets[1].targets[0];
  EXPECT_EQ(record.bindqty, 1);
  EXPECT_EQ(record.weight, 1);
  EXPECT_EQ(record.systemtype, "");
  EXPECT_FALSE(record.admindown);
  EXPECT_EQ(record.port, 2775);
  EXPECT_EQ(record.tpslimit, 32000u);
  expectSavedAndReloadable(1);
}

TEST_F(ConfigOperationsTest, TargetAddToANewSetTurnsNullTargetsIntoAList) {
  ASSERT_TRUE(run([&] {
    return config->targetSetAdd({{"id", "C"}, {"name", "C"}, {"submits_enabled", true}}, status);
  }));
  ASSERT_TRUE(run([&] { return config->targetAdd("C", target("t3"), status); }));
  EXPECT_EQ(config->jconfigCopy()["targetsets"][2]["targets"], json::array({target("t3")}));
  EXPECT_EQ(targetNamesOf("C"), std::vector<std::string>{"t3"});
  expectSavedAndReloadable(2);
}

TEST_F(ConfigOperationsTest, TargetAddNamesTheMissingField) {
  for (const char* key : {"name", "host", "systemid", "password"}) {
    json body = {{"name", "t2"}, {"host", "h"}, {"systemid", "s"}, {"password", "p"}};
    body.erase(key);
    EXPECT_FALSE(run([&] { return config->targetAdd("B", body, status); }));
    EXPECT_EQ(status, std::string("Missing field: ") + key);
    EXPECT_NE(out.find(std::string("missing required field '") + key + "' in target"),
              std::string::npos);
  }
  // The first missing one in the fixed order wins.
  EXPECT_FALSE(run([&] { return config->targetAdd("B", {{"name", "t2"}}, status); }));
  EXPECT_EQ(status, "Missing field: host");
  expectUnchanged();
}

TEST_F(ConfigOperationsTest, TargetAddRefusesUnknownSetAndTakenNames) {
  EXPECT_FALSE(run([&] { return config->targetAdd("Z", target("t2"), status); }));
  EXPECT_EQ(status, "Target set not found Z");
  EXPECT_FALSE(run([&] { return config->targetAdd("A", target("t1"), status); }));
  EXPECT_EQ(status, "Target ID already exists t1");
  // A name used by another set would make the saved file unloadable.
  EXPECT_FALSE(run([&] { return config->targetAdd("B", target("t1"), status); }));
  EXPECT_EQ(status, "Target ID already exists t1");
  EXPECT_TRUE(targetNamesOf("B").empty());
  expectUnchanged();
}

TEST_F(ConfigOperationsTest, TargetAddWithWrongTypeThrowsAndChangesNothing) {
  json body = target("t2");
  body["port"] = "high";
  EXPECT_THROW(run([&] { return config->targetAdd("B", body, status); }), json::type_error);
  EXPECT_TRUE(targetNamesOf("B").empty());
  expectUnchanged();
}

TEST_F(ConfigOperationsTest, TargetModifyMergesTheBody) {
  ASSERT_TRUE(run([&] {
    return config->targetModify("A", "t1", {{"port", 3000}, {"weight", 4}}, status);
  }));
  EXPECT_EQ(status, "Target modified t1");
  EXPECT_NE(out.find("Performing operation: Modify Target\n"), std::string::npos);
  json expected = target("t1");
  expected["port"] = 3000;
  expected["weight"] = 4;
  EXPECT_NE(out.find(expected.dump() + "\n"), std::string::npos);
  EXPECT_EQ(config->jconfigCopy()["targetsets"][0]["targets"][0], expected);
  auto sets = config->targetSetsCopy();
  EXPECT_EQ(sets[0].targets[0].port, 3000);
  EXPECT_EQ(sets[0].targets[0].weight, 4);
  EXPECT_EQ(sets[0].targets[0].host, "smsc.example");
  expectSavedAndReloadable(1);
}

TEST_F(ConfigOperationsTest, TargetModifyCanRename) {
  ASSERT_TRUE(run([&] { return config->targetModify("A", "t1", {{"name", "t5"}}, status); }));
  EXPECT_EQ(status, "Target modified t1");
  EXPECT_EQ(targetNamesOf("A"), std::vector<std::string>{"t5"});
  expectSavedAndReloadable(1);
}

TEST_F(ConfigOperationsTest, TargetModifyRefusesWhatTheLoaderWouldRefuse) {
  ASSERT_TRUE(run([&] { return config->targetAdd("B", target("t2"), status); }));
  ASSERT_EQ(backupCount(dir.path()), 1u);
  json before = config->jconfigCopy();
  uint64_t changedAt = config->configChangedAt.load();

  EXPECT_FALSE(run([&] { return config->targetModify("B", "t2", {{"name", "t1"}}, status); }));
  EXPECT_EQ(status, "Failed to parse target data");
  EXPECT_FALSE(run([&] { return config->targetModify("B", "t2", {{"host", nullptr}}, status); }));
  EXPECT_EQ(status, "Failed to parse target data");
  EXPECT_FALSE(run([&] { return config->targetModify("B", "t2", {{"weight", "heavy"}}, status); }));
  EXPECT_EQ(status, "Failed to parse target data");

  EXPECT_EQ(config->jconfigCopy(), before);
  EXPECT_EQ(config->configChangedAt.load(), changedAt);
  EXPECT_EQ(backupCount(dir.path()), 1u);
  EXPECT_EQ(targetNamesOf("B"), std::vector<std::string>{"t2"});
  EXPECT_EQ(config->targetSetsCopy()[1].targets[0].host, "smsc.example");
}

TEST_F(ConfigOperationsTest, TargetModifyUnknownTarget) {
  EXPECT_FALSE(run([&] { return config->targetModify("A", "t9", {{"port", 1}}, status); }));
  EXPECT_EQ(status, "Target not found t9");
  EXPECT_FALSE(run([&] { return config->targetModify("Z", "t1", {{"port", 1}}, status); }));
  EXPECT_EQ(status, "Target not found t1");
  expectUnchanged();
}

TEST_F(ConfigOperationsTest, TargetRemove) {
  EXPECT_FALSE(run([&] { return config->targetRemove("Z", "t1", status); }));
  EXPECT_EQ(status, "Target set not found Z");
  EXPECT_FALSE(run([&] { return config->targetRemove("B", "t1", status); }));
  EXPECT_EQ(status, "Target not found t1");
  ASSERT_TRUE(run([&] { return config->targetRemove("A", "t1", status); }));
  EXPECT_EQ(status, "Target removed successfully t1");
  EXPECT_NE(out.find("Performing operation: Remove Target\n"), std::string::npos);
  EXPECT_TRUE(targetNamesOf("A").empty());
  EXPECT_TRUE(config->jconfigCopy()["targetsets"][0]["targets"].empty());
  expectSavedAndReloadable(1);
}

TEST_F(ConfigOperationsTest, TargetRemoveOfATargetOnlyInMemory) {
  json live = initial;
  live["targetsets"][1]["targets"].push_back(target("ghost"));
  testing::internal::CaptureStdout();
  ASSERT_TRUE(config->parseConfig(true, live));
  testing::internal::GetCapturedStdout();
  ASSERT_TRUE(run([&] { return config->targetRemove("B", "ghost", status); }));
  EXPECT_EQ(status, "Target removed from confSharedTargetSets but not found in jconfig");
  EXPECT_TRUE(targetNamesOf("B").empty());
  expectSavedAndReloadable(1);
}

// ---- Change time and saving -------------------------------------------------

TEST_F(ConfigOperationsTest, EverySuccessfulChangeAdvancesTheChangeTime) {
  ASSERT_TRUE(run([&] {
    return config->esmeAdd({{"systemid", "n1"}, {"targetset", "A"}}, status);
  }));
  uint64_t first = config->configChangedAt.load();
  ASSERT_TRUE(run([&] {
    return config->targetSetModify("B", {{"name", "x"}, {"submits_enabled", true}}, status);
  }));
  uint64_t second = config->configChangedAt.load();
  ASSERT_TRUE(run([&] { return config->targetAdd("B", target("t7"), status); }));
  uint64_t third = config->configChangedAt.load();
  EXPECT_GT(first, 1700000000000000u);
  EXPECT_GT(second, first);
  EXPECT_GT(third, second);
  EXPECT_EQ(config->configChangedAt.load(), clock);
  // Failures leave it alone.
  EXPECT_FALSE(run([&] { return config->esmeRemove("ghost", status); }));
  EXPECT_EQ(config->configChangedAt.load(), third);
  expectSavedAndReloadable(3);
}

TEST_F(ConfigOperationsTest, ChangeThatCannotBeSavedIsUndone) {
  std::filesystem::create_directory(dir.file("pelliro.conf.tmp"));
  EXPECT_FALSE(run([&] {
    return config->esmeAdd({{"systemid", "new"}, {"targetset", "A"}, {"inboundmo", {"900"}}},
                           status);
  }));
  EXPECT_EQ(status, "Configuration file " + dir.file("pelliro.conf") + " failed to save");
  EXPECT_NE(out.find("WARNING OstrelConfiguration::performSave Configuration file"),
            std::string::npos);
  EXPECT_FALSE(config->findESME("new", "").has_value());
  EXPECT_FALSE(config->esmeForNumber("900").has_value());
  EXPECT_FALSE(run([&] { return config->targetRemove("A", "t1", status); }));
  EXPECT_EQ(targetNamesOf("A"), std::vector<std::string>{"t1"});
  expectUnchanged();
}

// ---- Threads ----------------------------------------------------------------

// A file writer that holds the first save until the test lets it go.
struct HeldWriter {
  std::mutex mutex;
  std::condition_variable changed;
  int started = 0;       // guarded by mutex
  bool released = false;  // guarded by mutex

  OstrelConfiguration::FileWriter writer() {
    return [this](const std::string& path, const std::string& text) {
      std::unique_lock<std::mutex> lock(mutex);
      ++started;
      changed.notify_all();
      changed.wait_for(lock, std::chrono::seconds(10), [this] { return released; });
      std::ofstream(path) << text;
      return true;
    };
  }
  bool awaitStarted(int n) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(10), [&] { return started >= n; });
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex);
    released = true;
    changed.notify_all();
  }
};

TEST_F(ConfigOperationsTest, ConfigurationLockIsFreeWhileTheFileIsWritten) {
  HeldWriter held;
  config->setFileWriterForTesting(held.writer());
  testing::internal::CaptureStdout();
  std::atomic<bool> firstOk{false}, secondOk{false};
  std::thread first([&] {
    std::string s = "OK";
    firstOk = config->esmeAdd({{"systemid", "n1"}, {"targetset", "A"}}, s);
  });
  ASSERT_TRUE(held.awaitStarted(1));
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
  std::thread second([&] {
    std::string s = "OK";
    secondOk = config->esmeAdd({{"systemid", "n2"}, {"targetset", "A"}}, s);
  });
  held.release();
  first.join();
  second.join();
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(firstOk);
  EXPECT_TRUE(secondOk);
  EXPECT_EQ(held.started, 2);
  expectSavedAndReloadable(2);
  json esmes = json::parse(dir.read("pelliro.conf"))["esme"];
  ASSERT_EQ(esmes.size(), 4u);
  EXPECT_EQ(esmes[3]["systemid"], "n2");
}

TEST_F(ConfigOperationsTest, SessionQueriesRunSafelyBesideChanges) {
  std::atomic<bool> stop{false};
  std::atomic<int> seen{0};
  std::thread reader([&] {
    do {
      ResolvedESME resolved = config->resolveESME("acme", "10.0.0.1");
      if (resolved.found) ++seen;
      config->esmeForNumber("100");
      config->targetSetsCopy();
      config->getBaseInt("smpp.port", 2775);
    } while (!stop.load());
  });
  testing::internal::CaptureStdout();
  for (int i = 0; i < 20; ++i) {
    std::string s = "OK";
    config->esmeModify("acme", {{"tpslimit", i}}, s);
    config->targetAdd("B", target("x" + std::to_string(i)), s);
  }
  testing::internal::GetCapturedStdout();
  stop = true;
  reader.join();
  EXPECT_EQ(config->esmeTpsLimit("acme", ""), 19);
  EXPECT_EQ(targetNamesOf("B").size(), 20u);
  EXPECT_GT(seen.load(), 0);
}

}  // namespace
