// The admin interface end to end: the real daemon in a temporary directory,
// driven with the real curl, raw sockets and the real command-line client.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "tests/support/daemon_process.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_daemon.h"

using nlohmann::json;
using testing_support::runCommand;
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

class AdminDaemonTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(daemon_.started()) << daemon_.output(); }

  // "<code> <status text>" of a request made with the real curl; the body
  // goes to `body_`.
  std::string curl(const std::string& method, const std::string& path,
                   const std::vector<std::string>& headers, const std::string& body = "") {
    std::vector<std::string> argv = {"curl", "-s", "-i", "--max-time", "20", "-X", method};
    for (const std::string& h : headers) argv.insert(argv.end(), {"-H", h});
    if (!body.empty()) argv.insert(argv.end(), {"--data-binary", body});
    argv.push_back("http://127.0.0.1:" + std::to_string(daemon_.httpPort()) + path);
    std::string out = runCommand(argv);
    size_t end = out.find("\r\n\r\n");
    body_ = end == std::string::npos ? "" : out.substr(end + 4);
    return out.size() < 9 ? out : out.substr(9, out.find("\r\n") - 9);
  }
  std::string issueToken() {
    curl("POST", "/oauth2/v1/token", {"Content-Type: application/x-www-form-urlencoded"},
         "grant_type=client_credentials&scope=api&client_id=admin&client_secret=pw");
    return json::parse(body_).value("access_token", "");
  }
  // A configuration request with the current token and a JSON body.
  std::string call(const std::string& method, const std::string& path, const json& body = nullptr) {
    std::vector<std::string> headers = {"Authorization: Bearer " + token_};
    if (!body.is_null()) headers.push_back("Content-Type: application/json");
    return curl(method, path, headers, body.is_null() ? "" : body.dump());
  }
  // Sends the pieces on one connection, each as its own write.
  std::string exchange(const std::vector<std::string>& pieces) {
    int fd = testing_support::connectTcp("127.0.0.1", daemon_.httpPort());
    EXPECT_GE(fd, 0);
    for (const std::string& piece : pieces) {
      testing_support::writeAll(fd, piece);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::string response = testing_support::readUntilClosed(fd, std::chrono::seconds(10));
    close(fd);
    return response;
  }
  json savedDocument() { return json::parse(daemon_.dir().read("pelliro.conf")); }

  TestDaemon daemon_{configuration()};
  std::string token_;
  std::string body_;
};

// An operator's session: a token, changes over REST that are saved with a
// backup each, a request split across writes, requests the server drops or
// refuses, then a restart that keeps the changes and forgets tokens.
TEST_F(AdminDaemonTest, ChangesOverRESTAreSavedAndSurviveARestartButTokensDoNot) {
  token_ = issueToken();
  ASSERT_EQ(token_.size(), 32u) << body_;
  EXPECT_EQ(curl("GET", "/metrics", {}), "200 OK");
  EXPECT_NE(body_.find("# TYPE pelliro_smppSubmitSMTotal counter"), std::string::npos);

  EXPECT_EQ(call("POST", "/esme", {{"systemid", "beta"}, {"targetset", "ts1"}, {"tpslimit", 7}}),
            "200 ESME added beta");
  EXPECT_TRUE(daemon_.waitForOutput("Performing operation: Add ESME"));
  EXPECT_EQ(savedDocument()["esme"].back()["tpslimit"], 7);
  json set = {{"id", "ts3"}, {"name", "Third"}, {"submits_enabled", true}};
  EXPECT_EQ(call("POST", "/targetsets", set), "200 Target set added ts3");
  json target = {{"name", "t3"},
                 {"host", "127.0.0.1"},
                 {"systemid", "u"},
                 {"password", "p"},
                 {"admindown", true}};
  EXPECT_EQ(call("POST", "/targetsets/ts3/targets", target), "200 Target added t3");

  // Split anywhere, header names in capitals: read as the client meant it.
  const std::string body = R"({"systemid":"split","targetset":"ts1"})";
  std::string response = exchange(
      {"POST /es",
       "me HTTP/1.1\r\nAUTHORIZATION: Bearer " + token_ + "\r\nCONTENT-TYPE: application/json\r",
       "\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n", body.substr(0, 9),
       body.substr(9)});
  EXPECT_TRUE(response.starts_with("HTTP/1.1 200 ESME added split\r\n")) << response;
  EXPECT_EQ(exchange({"NOBLANKREQUEST\r\n\r\n"}), "");
  EXPECT_TRUE(exchange({"GET /metrics HTTP/1.1\r\nContent-Length: 5000000\r\n\r\n"})
                  .starts_with("HTTP/1.1 400 Bad request\r\n"));
  EXPECT_EQ(backupCount(daemon_.dir().path()), 4u);

  ASSERT_TRUE(daemon_.restart()) << daemon_.output();
  EXPECT_EQ(call("GET", "/esme/beta"), "401 Unauthorised");  // tokens live in memory only
  token_ = issueToken();
  EXPECT_EQ(call("GET", "/esme/beta"), "200 OK");
  EXPECT_EQ(json::parse(body_)["tpslimit"], 7);
  EXPECT_EQ(call("GET", "/targetsets/ts3/targets/t3"), "200 Target found t3 (target set ts3)");
  EXPECT_EQ(call("GET", "/esme/split"), "200 OK");
}

// The command-line client in a directory of its own: each sub-command's
// verdict is its last line; wrong argument counts print the usage, wrong
// credentials and a daemon that does not answer give the failure verdicts.
TEST_F(AdminDaemonTest, CommandLineClientManagesTheRunningDaemon) {
  TempDir cliDir;
  auto writeClientConfiguration = [&](const std::string& secret, int port) {
    json document = configuration(secret);
    document["base"]["http.port"] = port;
    cliDir.write("pelliro.conf", document.dump(2));
  };
  writeClientConfiguration("pw", daemon_.httpPort());
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
      {{"esmeAdd", "gamma", "ts1"}, "Add failed"},
      {{"esmeView", "gamma"},
       "}",
       "{\n  \"sharedtargetsetid\": \"ts1\",\n  \"systemid\": \"gamma\"\n}\n"},
      {{"esmeModify", "gamma", "ts9"}, "Successfully modified"},
      {{"esmeModify", "nobody", "ts9"}, "Modify failed"},
      {{"esmeList"}, "]", "[\n  \"acme\",\n  \"gamma\"\n]\n"},
      {{"esmeRemove", "gamma"}, "Successfully removed"},
      {{"esmeRemove", "gamma"}, "Remove failed"},
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
      {{"esmeRemove"}, "Usage: esmeRemove <systemid>"},
      {{"esmeModify", "a", "b", "c"}, "Usage: esmeModify <systemid> <targetset-name>"},
      {{"esmeView"}, "Usage: esmeView <systemid>"},
      {{"targetSetAdd", "a"}, "Usage: targetSetAdd <name> <host> [<port>]"},
      {{"targetSetAdd", "a", "b", "c", "d"}, "Usage: targetSetAdd <name> <host> [<port>]"},
      {{"targetSetRemove"}, "Usage: targetSetRemove <name>"},
      {{"targetSetModify", "a"}, "Usage: targetSetModify <name> <host> [<port>]"},
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
  EXPECT_EQ(backupCount(daemon_.dir().path()), 7u);

  writeClientConfiguration("not-the-secret", daemon_.httpPort());
  std::string refused = cli({"esmeAdd", "delta", "ts1"});
  EXPECT_NE(refused.find("\nFailed\n"), std::string::npos) << refused;
  EXPECT_EQ(lastLine(refused), "Add failed");
  EXPECT_EQ(lastLine(cli({"esmeList"})), "Failed");
  EXPECT_EQ(backupCount(daemon_.dir().path()), 7u);

  writeClientConfiguration("pw", testing_support::freeLoopbackPort());
  std::string unanswered = cli({"esmeRemove", "acme"});
  EXPECT_NE(err.find("curl_easy_perform() failed: "), std::string::npos) << err;
  EXPECT_NE(unanswered.find("\nFailed\n"), std::string::npos);
  EXPECT_EQ(lastLine(unanswered), "Remove failed");
  EXPECT_EQ(lastLine(cli({"targetSetList"})), "Failed");
}

}  // namespace
