#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "config/ostrel_configuration.h"
#include "tests/support/temp_dir.h"

using nlohmann::json;
using testing_support::backupCount;
using testing_support::TempDir;

namespace {

const char* const kCollidingA = "smsc-30201";

json target(const std::string& name, json extra = json::object()) {
  json t = {{"name", name},         {"host", "smsc.example"}, {"bindqty", 2}, {"systemid", "up"},
            {"password", "secret"}, {"systemtype", ""},       {"weight", 1},  {"admindown", false}};
  t.update(extra);
  return t;
}

json targetSet(const std::string& id, bool submits, std::vector<json> targets) {
  return {{"id", id}, {"name", "Set " + id}, {"submits_enabled", submits}, {"targets", targets}};
}

bool load(OstrelConfiguration& config) {
  bool notFound = false;
  testing::internal::CaptureStdout();
  bool ok = config.performLoad(notFound);
  testing::internal::GetCapturedStdout();
  return ok;
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
                {targetSet("A", true, {target("t1")}), targetSet("B", false, json::array()),
                 targetSet("C", true, {target(kCollidingA)})}},
               {"esme", {acme, beta}},
               {"routes-mt", json::array()},
               {"routes-mo", json::array()}};
    dir.write("pelliro.conf", initial.dump(2) + "\n");
    config = std::make_unique<OstrelConfiguration>(dir.file("pelliro.conf"));
    config->setClock([this] { return clock += 1000; });
    loaded = load(*config);
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
    EXPECT_EQ(json::parse(dir.read("pelliro.conf")), config->jconfigCopy());
    OstrelConfiguration fresh(dir.file("pelliro.conf"));
    EXPECT_TRUE(load(fresh));
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
       [&] { return c.targetSetAdd(targetSet("D", true, {target("t9")}), s); },
       [&] { EXPECT_EQ(stored(3), nullptr); }},
      {"Target added t3", "Add Target", [&] { return c.targetAdd("D", t3, s); },
       [&] { EXPECT_EQ(stored(3), json::array({t3})); }},
      {"Target added t4", "Add Target", [&] { return c.targetAdd("B", t4, s); },
       [&] {
         EXPECT_EQ(stored(1), json::array({t4Stored}));
         EXPECT_EQ(record(1).port, 2775);
         EXPECT_EQ(record(1).tpslimit, 32000u);
       }},
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
  ASSERT_TRUE(load(fresh));
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

TEST_F(ConfigOperationsTest, ConfigurationLockIsFreeWhileTheFileIsWritten) {
  // The first save is held until the test lets it go.
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
  testing::internal::CaptureStdout();
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

TEST_F(ConfigOperationsTest, SessionQueriesRunSafelyBesideChanges) {
  std::atomic<bool> stop{false};
  std::atomic<int> seen{0};
  std::thread reader([&] {
    do {
      if (config->resolveESME("acme", "10.0.0.1").found) ++seen;
      config->esmeForNumber("100");
      config->targetSetsCopy();
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
