// The admin interface end to end: the real daemon in a temporary directory,
// driven with the real command-line client.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "tests/support/daemon_process.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_daemon.h"

using nlohmann::json;
using testing_support::TempDir;
using testing_support::TestDaemon;

namespace {

std::string lastLine(std::string text) {
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text.substr(text.rfind('\n') + 1);
}

size_t backupCount(const std::string& directory) {
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    std::string name = entry.path().filename().string();
    count += name.starts_with("pelliro_") && name.ends_with(".conf");
  }
  return count;
}

json configuration(const std::string& clientSecret = "pw") {
  json set = {{"id", "ts1"}, {"name", "First"}, {"submits_enabled", true}, {"targets", {}}};
  return {{"base", {{"auth.client_id", "admin"}, {"auth.client_secret", clientSecret}}},
          {"cdr", {{"mode", "none"}, {"directory", "cdrs/"}}},
          {"targetsets", {set}},
          {"esme", {{{"systemid", "acme"}, {"sharedtargetsetid", "ts1"}}}}};
}

// The command-line client in a directory of its own: each sub-command's
// verdict is its last line; wrong argument counts print the usage, wrong
// credentials and a daemon that does not answer give the failure verdicts.
TEST(AdminDaemonTest, CommandLineClientManagesTheRunningDaemon) {
  TestDaemon daemon(configuration());
  ASSERT_TRUE(daemon.started()) << daemon.output();
  auto savedDocument = [&] { return json::parse(daemon.dir().read("pelliro.conf")); };
  TempDir cliDir;
  auto writeClientConfiguration = [&](const std::string& secret, int port) {
    json document = configuration(secret);
    document["base"]["http.port"] = port;
    cliDir.write("pelliro.conf", document.dump(2));
  };
  writeClientConfiguration("pw", daemon.httpPort());
  std::string err;
  auto cli = [&](const std::vector<std::string>& args) {
    testing_support::RunResult r = testing_support::runPelliro(cliDir.path(), args);
    EXPECT_EQ(r.exitStatus, 0);
    err = r.err;
    return r.out;
  };
  struct Case {
    std::vector<std::string> args;
    std::string verdict;       // the last line printed
    std::string printed = "";  // text the output holds
  };
  const Case cases[] = {
      {{"esmeAdd", "gamma", "ts1"}, "Successfully added"},
      {{"esmeView", "gamma"},
       "}",
       "{\n  \"sharedtargetsetid\": \"ts1\",\n  \"systemid\": \"gamma\"\n}\n"},
      {{"esmeModify", "gamma", "ts9"}, "Successfully modified"},
      {{"esmeModify", "nobody", "ts9"}, "Modify failed"},
      {{"esmeList"}, "]", "[\n  \"acme\",\n  \"gamma\"\n]\n"},
      {{"esmeRemove", "gamma"}, "Successfully removed"},
      {{"esmeView", "gamma"}, "Failed"},
      {{"targetSetAdd", "ts5", "Fifth", "true"}, "Successfully added"},
      {{"targetSetAdd", "ts6", "Sixth", "yes"}, "Successfully added"},
      {{"targetSetAdd", "ts6", "Sixth"}, "Add failed"},
      {{"targetSetModify", "ts5", "Renamed", "true"}, "Successfully modified"},
      {{"targetSetModify", "ts9", "x"}, "Modify failed"},
      {{"targetSetList"}, "]", "[\n  \"ts1\",\n  \"ts5\",\n  \"ts6\"\n]\n"},
      {{"targetSetRemove", "ts6"}, "Successfully removed"},
      {{"targetSetRemove", "ts6"}, "Remove failed"},
      {{"esmeAdd", "a"}, "Usage: esmeAdd <systemid> <targetset-name>"},
      {{"esmeModify", "a", "b", "c"}, "Usage: esmeModify <systemid> <targetset-name>"},
      {{"targetSetAdd", "a", "b", "c", "d"}, "Usage: targetSetAdd <name> <host> [<port>]"},
      {{"targetSetRemove"}, "Usage: targetSetRemove <name>"},
  };
  for (const Case& c : cases) {
    std::string out = cli(c.args);
    EXPECT_EQ(lastLine(out), c.verdict) << c.args[0] << " " << c.args.size() << "\n" << out;
    EXPECT_NE(out.find(c.printed), std::string::npos) << out;
    if (c.args[0] == "esmeModify" && c.verdict == "Successfully modified") {
      EXPECT_EQ(savedDocument()["esme"].back()["sharedtargetsetid"], "ts9");
    } else if (c.args.size() == 4 && c.args[0] == "targetSetAdd") {
      // Only "true" switches submits on; the set has no targets yet.
      json set = savedDocument()["targetsets"].back();
      EXPECT_EQ(set["submits_enabled"], c.args[3] == "true");
      EXPECT_EQ(set["targets"], nullptr);
    }
  }
  EXPECT_EQ(savedDocument()["targetsets"][1]["name"], "Renamed");
  // Seven changes, seven backups; the usage cases changed nothing.
  EXPECT_EQ(backupCount(daemon.dir().path()), 7u);

  writeClientConfiguration("not-the-secret", daemon.httpPort());
  std::string refused = cli({"esmeAdd", "delta", "ts1"});
  EXPECT_NE(refused.find("\nFailed\n"), std::string::npos) << refused;
  EXPECT_EQ(lastLine(refused), "Add failed");
  EXPECT_EQ(lastLine(cli({"esmeList"})), "Failed");
  EXPECT_EQ(backupCount(daemon.dir().path()), 7u);

  writeClientConfiguration("pw", testing_support::freeLoopbackPort());
  std::string unanswered = cli({"esmeRemove", "acme"});
  EXPECT_NE(err.find("curl_easy_perform() failed: "), std::string::npos) << err;
  EXPECT_NE(unanswered.find("\nFailed\n"), std::string::npos);
  EXPECT_EQ(lastLine(unanswered), "Remove failed");
  EXPECT_EQ(lastLine(cli({"targetSetList"})), "Failed");
}

}  // namespace
