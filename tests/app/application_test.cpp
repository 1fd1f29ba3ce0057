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

const std::regex kBanner(R"(^Vantrel Pelliro \| Build time: [A-Z][a-z]{2} [ 0-9]\d \d{4} )"
                         R"(\d{2}:\d{2}:\d{2} \| Build [0-9a-f]{7}\n)");

// "version" prints only the banner and leaves the directory alone. The first
// run writes a default file and stops; the next run starts from it (on free
// ports, with an unknown CDR mode, which means none), and SIGINT stops it in
// order too (the daemon tests stop theirs with SIGTERM).
TEST(ApplicationTest, FirstRunWritesADefaultFileThatTheNextRunStartsFromUntilSigint) {
  TempDir dir;
  auto result = runPelliro(dir.path(), {"version"});
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_TRUE(std::regex_search(result.out, kBanner)) << result.out;
  EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 1);
  EXPECT_FALSE(dir.exists("pelliro.conf"));
  EXPECT_FALSE(dir.exists("application.log"));

  result = runPelliro(dir.path());
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_TRUE(std::regex_search(result.out, kBanner));
  EXPECT_NE(result.out.find("WARNING OstrelConfiguration::performLoad Unable to open "
                            "configuration file pelliro.conf"),
            std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("INFO Application::main Created configuration"), std::string::npos);
  EXPECT_EQ(result.out.find("Starting Dravnik"), std::string::npos);

  json config = json::parse(dir.read("pelliro.conf"));
  config["base"]["smpp.port"] = testing_support::freeLoopbackPort();
  config["base"]["http.port"] = testing_support::freeLoopbackPort();
  config["cdr"]["mode"] = "verbose";
  dir.write("pelliro.conf", config.dump(2));
  DaemonProcess daemon(dir.path());
  ASSERT_TRUE(daemon.waitForOutput("Starting Dravnik"));
  EXPECT_EQ(daemon.stop(SIGINT), 0);
  const std::string out = daemon.output();
  EXPECT_NE(out.find("INFO SMPPCDRManager::setMode Setting CDR mode to NONE"), std::string::npos)
      << out;
  const size_t signalLine = out.find("SIGINT/SIGTERM (2)\n");
  const size_t stopLine = out.find("INFO Application::main Stopped Dravnik");
  ASSERT_NE(stopLine, std::string::npos) << out;
  EXPECT_LT(signalLine, stopLine);
  EXPECT_NE(dir.read("application.log").find("Stopped Dravnik"), std::string::npos);
}

// A file that cannot be loaded is reported, never overwritten, and ends the
// process with status 0 before anything starts.
TEST(ApplicationTest, InvalidConfigurationIsReportedAndEndsTheProcessWithStatusZero) {
  const struct {
    const char* name;
    const char* content;
    const char* warning;
  } cases[] = {
      // Once ended without a word after the banner: the operator saw nothing.
      {"empty", "", "performLoad Configuration file pelliro.conf is empty or could not be read whole"},
      {"syntax", "{\"base\": {", "WARNING OstrelConfiguration::performLoad Exception"},
      // The configuration's own tests check the reasons; here only that one is named.
      {"customer without target set", R"({"esme":[{"systemid":"acme"}]})",
       "performLoad Configuration file pelliro.conf invalid"}};
  for (const auto& c : cases) {
    TempDir dir;
    dir.write("pelliro.conf", c.content);
    auto result = runPelliro(dir.path());
    EXPECT_EQ(result.exitStatus, 0) << c.name;
    EXPECT_NE(result.out.find(c.warning), std::string::npos) << c.name << ": " << result.out;
    EXPECT_EQ(result.out.find("Starting Dravnik"), std::string::npos) << c.name;
    EXPECT_EQ(result.out.find("Created configuration"), std::string::npos) << c.name;
    EXPECT_EQ(dir.read("pelliro.conf"), c.content) << c.name;
  }
}

}  // namespace
