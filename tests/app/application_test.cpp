// The executable through its real interface: run in a temporary working
// directory, read what it prints and writes.

#include <gtest/gtest.h>
#include <signal.h>

#include <nlohmann/json.hpp>
#include <regex>

#include "tests/support/daemon_process.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_dir.h"

namespace {

using nlohmann::json;
using testing_support::DaemonProcess;
using testing_support::runPelliro;
using testing_support::TempDir;

const std::regex kBanner(
    R"(^Vantrel Pelliro \| Build time: [A-Z][a-z]{2} [ 0-9]\d \d{4} \d{2}:\d{2}:\d{2} \| Build [0-9a-f]{7}\n)");

// A minimal valid configuration on free ports.
json minimalConfig() {
  return json{{"base",
               {{"smpp.port", testing_support::freeLoopbackPort()},
                {"http.port", testing_support::freeLoopbackPort()}}},
              {"esme", json::array()},
              {"targetsets", json::array()}};
}

TEST(ApplicationTest, VersionPrintsOnlyTheBannerAndLeavesTheDirectoryAlone) {
  TempDir dir;
  auto result = runPelliro(dir.path(), {"version"});
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_TRUE(std::regex_search(result.out, kBanner)) << result.out;
  EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 1);
  EXPECT_FALSE(dir.exists("pelliro.conf"));
  EXPECT_FALSE(dir.exists("application.log"));
}

TEST(ApplicationTest, FirstRunWritesTheDefaultFileAndExits) {
  TempDir dir;
  auto result = runPelliro(dir.path());
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_TRUE(std::regex_search(result.out, kBanner));
  EXPECT_NE(result.out.find("WARNING OstrelConfiguration::performLoad Unable to open configuration file pelliro.conf"),
            std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("INFO Application::main Created configuration"), std::string::npos);
  EXPECT_EQ(result.out.find("Starting Dravnik"), std::string::npos);

  json written = json::parse(dir.read("pelliro.conf"));
  json expected = json::parse(R"({
    "base": {"_product": "Pelliro", "auth.client_id": "", "auth.client_secret": "",
             "default_binding_enabled": true, "dlr.default_system_id": "",
             "dlr.disable_msgid_tracking": false, "ipwhitelistonly": false,
             "smpp.max_connections_per_ip": 250, "smpp.port": 2775},
    "cdr": {"batch_flush_interval": 30, "batch_size": 1000, "cleanup_interval": 24,
            "directory": "cdrs/", "mode": "none"},
    "lookup": {"auth_header": "", "auth_password": "", "auth_username": "", "cache_period": 60,
               "enabled": false, "max_queue_size": 1000, "url": "", "use_msisdn_cache": true,
               "worker_count": 16},
    "esme": [], "targetsets": [], "routes-mo": [], "routes-mt": []})");
  EXPECT_EQ(written, expected);
  // Indented by two spaces, with a final newline.
  std::string text = dir.read("pelliro.conf");
  EXPECT_EQ(text.back(), '\n');
  EXPECT_NE(text.find("\n  \"base\": {\n    \""), std::string::npos);

  // The written file is valid: a second run gets past the load.
  json config = written;
  config["base"]["smpp.port"] = testing_support::freeLoopbackPort();
  config["base"]["http.port"] = testing_support::freeLoopbackPort();
  dir.write("pelliro.conf", config.dump(2));
  DaemonProcess daemon(dir.path());
  EXPECT_TRUE(daemon.waitForOutput("Starting Dravnik"));
  EXPECT_EQ(daemon.stop(SIGTERM), 0);
}

struct InvalidFile {
  const char* name;
  const char* content;
  const char* warning;
};

class InvalidConfigurationTest : public ::testing::TestWithParam<InvalidFile> {};

TEST_P(InvalidConfigurationTest, IsReportedAndEndsTheProcessWithStatusZero) {
  TempDir dir;
  dir.write("pelliro.conf", GetParam().content);
  auto result = runPelliro(dir.path());
  EXPECT_EQ(result.exitStatus, 0);
  if (GetParam().warning[0] != '\0') {
    EXPECT_NE(result.out.find(GetParam().warning), std::string::npos) << result.out;
  }
  EXPECT_EQ(result.out.find("Starting Dravnik"), std::string::npos);
  EXPECT_EQ(result.out.find("Created configuration"), std::string::npos);
  EXPECT_EQ(dir.read("pelliro.conf"), GetParam().content);  // never overwritten
}

INSTANTIATE_TEST_SUITE_P(
    Files, InvalidConfigurationTest,
    ::testing::Values(
        InvalidFile{"Empty", "", ""},
        InvalidFile{"Syntax", "{\"base\": {", "WARNING OstrelConfiguration::performLoad Exception"},
        InvalidFile{"TargetSetWithoutSubmitsEnabled",
                    R"({"targetsets":[{"id":"a","name":"A","targets":[]}]})",
                    "Invalid configuration file - missing id, name, submits_enabled or targets in target set"},
        InvalidFile{"DuplicateTarget",
                    R"({"targetsets":[
                      {"id":"a","name":"A","submits_enabled":true,"targets":[{"name":"t1","host":"h","bindqty":1,"systemid":"s","password":"p","systemtype":"","weight":1,"admindown":false}]},
                      {"id":"b","name":"B","submits_enabled":true,"targets":[{"name":"t1","host":"h","bindqty":1,"systemid":"s","password":"p","systemtype":"","weight":1,"admindown":false}]}]})",
                    "Invalid configuration file - duplicate target t1"},
        InvalidFile{"EsmeWithoutTargetSet", R"({"esme":[{"systemid":"acme"}]})",
                    "Invalid configuration file - missing systemid or sharedtargetsetid field in ESME"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ApplicationTest, InvalidFileNamesTheFileInItsWarning) {
  TempDir dir;
  dir.write("pelliro.conf", R"({"esme":[{"systemid":"acme"}]})");
  auto result = runPelliro(dir.path());
  EXPECT_NE(result.out.find("WARNING OstrelConfiguration::performLoad Configuration file pelliro.conf invalid"),
            std::string::npos)
      << result.out;
}

TEST(ApplicationTest, SigtermStopsTheDaemonInOrder) {
  TempDir dir;
  json config = minimalConfig();
  config["cdr"] = {{"mode", "correlate"}};
  config["base"]["log.level"] = "FINE";
  dir.write("pelliro.conf", config.dump(2));
  DaemonProcess daemon(dir.path());
  ASSERT_TRUE(daemon.waitForOutput("Starting Dravnik"));
  EXPECT_EQ(daemon.stop(SIGTERM), 0);

  std::string out = daemon.output();
  EXPECT_NE(out.find("INFO SMPPCDRManager::setMode Setting CDR mode to CORRELATE"), std::string::npos);
  size_t signalLine = out.find("SIGINT/SIGTERM (15)\n");
  size_t stopLine = out.find("INFO Application::main Stopped Dravnik");
  ASSERT_NE(signalLine, std::string::npos) << out;
  ASSERT_NE(stopLine, std::string::npos) << out;
  EXPECT_LT(signalLine, stopLine);
  EXPECT_NE(dir.read("application.log").find("Stopped Dravnik"), std::string::npos);
}

TEST(ApplicationTest, SigintStopsTheDaemonToo) {
  TempDir dir;
  dir.write("pelliro.conf", minimalConfig().dump());
  DaemonProcess daemon(dir.path());
  ASSERT_TRUE(daemon.waitForOutput("Starting Dravnik"));
  EXPECT_EQ(daemon.stop(SIGINT), 0);
  EXPECT_NE(daemon.output().find("SIGINT/SIGTERM (2)"), std::string::npos);
  EXPECT_NE(daemon.output().find("Stopped Dravnik"), std::string::npos);
}

TEST(ApplicationTest, UnknownCdrModeMeansNone) {
  TempDir dir;
  json config = minimalConfig();
  config["cdr"] = {{"mode", "verbose"}};
  dir.write("pelliro.conf", config.dump());
  DaemonProcess daemon(dir.path());
  ASSERT_TRUE(daemon.waitForOutput("Starting Dravnik"));
  daemon.stop(SIGTERM);
  EXPECT_NE(daemon.output().find("Setting CDR mode to NONE"), std::string::npos);
}

}  // namespace
