// The admin interface end to end: the real daemon in a temporary directory on
// a free "http.port", driven with the real curl and the real command-line
// client.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>

#include "tests/support/daemon_process.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_daemon.h"

using nlohmann::json;
using testing_support::DaemonProcess;
using testing_support::RunResult;
using testing_support::TempDir;
using testing_support::runCommand;

namespace {

struct CurlResult {
  int code = 0;
  std::string statusText;
  std::string headers;
  std::string body;
};

std::string lastLine(const std::string& text) {
  std::string trimmed = text;
  while (!trimmed.empty() && trimmed.back() == '\n') trimmed.pop_back();
  size_t newline = trimmed.rfind('\n');
  return newline == std::string::npos ? trimmed : trimmed.substr(newline + 1);
}

size_t backupCount(const std::string& directory) {
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    std::string name = entry.path().filename().string();
    if (name.starts_with("pelliro_") && name.ends_with(".conf")) ++count;
  }
  return count;
}

json configuration(int httpPort, const std::string& clientSecret = "pw") {
  return {{"base",
           {{"auth.client_id", "admin"},
            {"auth.client_secret", clientSecret},
            {"http.port", httpPort},
            {"smpp.port", testing_support::freeLoopbackPort()}}},
          {"cdr", {{"mode", "none"}, {"directory", "cdrs/"}}},
          {"targetsets",
           {{{"id", "ts1"},
             {"name", "First"},
             {"submits_enabled", true},
             {"targets",
              {{{"name", "t1"},
                {"host", "127.0.0.1"},
                {"port", 9},
                {"bindqty", 1},
                {"systemid", "up"},
                {"password", "upw"},
                {"systemtype", ""},
                {"weight", 1},
                {"admindown", true}}}}}}},
          {"esme", {{{"systemid", "acme"}, {"sharedtargetsetid", "ts1"}}}},
          {"routes-mt", json::array()},
          {"routes-mo", json::array()}};
}

class AdminDaemonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = testing_support::freeLoopbackPort();
    daemonDir_.write("pelliro.conf", configuration(port_).dump(2));
    cliDir_.write("pelliro.conf", configuration(port_).dump(2));
    startDaemon();
  }
  void TearDown() override {
    if (daemon_) {
      EXPECT_EQ(daemon_->stop(SIGTERM), 0);
    }
  }

  void startDaemon() {
    // A restart must not be mistaken for ready by the previous run's output.
    std::filesystem::remove(daemonDir_.file("stdout.txt"));
    daemon_ = std::make_unique<DaemonProcess>(daemonDir_.path());
    ASSERT_TRUE(daemon_->waitForOutput("Waiting for connections on port " + std::to_string(port_)))
        << daemon_->output() << daemon_->errorOutput();
  }

  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

  CurlResult curl(const std::string& method, const std::string& path,
                  const std::vector<std::string>& headers = {},
                  const std::optional<std::string>& body = std::nullopt) {
    std::vector<std::string> argv = {"curl", "-s", "-i", "--max-time", "20", "-X", method};
    for (const std::string& h : headers) {
      argv.push_back("-H");
      argv.push_back(h);
    }
    if (body) {
      argv.push_back("--data-binary");
      argv.push_back(*body);
    }
    argv.push_back(url(path));
    std::string out = runCommand(argv);
    CurlResult result;
    size_t headerEnd = out.find("\r\n\r\n");
    if (headerEnd == std::string::npos) return result;
    result.headers = out.substr(0, headerEnd + 2);
    result.body = out.substr(headerEnd + 4);
    std::string statusLine = out.substr(0, out.find("\r\n"));
    // "HTTP/1.1 <code> <text>"
    size_t first = statusLine.find(' ');
    size_t second = statusLine.find(' ', first + 1);
    result.code = std::stoi(statusLine.substr(first + 1, second - first - 1));
    result.statusText = second == std::string::npos ? "" : statusLine.substr(second + 1);
    return result;
  }

  std::string fetchToken() {
    CurlResult r =
        curl("POST", "/oauth2/v1/token", {"Content-Type: application/x-www-form-urlencoded"},
             "grant_type=client_credentials&scope=api&client_id=admin&client_secret=pw");
    EXPECT_EQ(r.code, 200) << r.headers << r.body;
    return json::parse(r.body).at("access_token");
  }

  CurlResult call(const std::string& method, const std::string& path,
                  const std::optional<json>& body = std::nullopt) {
    if (token_.empty()) token_ = fetchToken();
    std::vector<std::string> headers = {"Authorization: Bearer " + token_};
    if (!body) return curl(method, path, headers);
    headers.push_back("Content-Type: application/json");
    return curl(method, path, headers, body->dump());
  }

  // Runs the command-line client in its own directory.
  RunResult cli(const std::vector<std::string>& args) {
    return testing_support::runPelliro(cliDir_.path(), args);
  }

  json savedDocument() { return json::parse(daemonDir_.read("pelliro.conf")); }

  TempDir daemonDir_;
  TempDir cliDir_;
  int port_ = 0;
  std::unique_ptr<DaemonProcess> daemon_;
  std::string token_;
};

void expectStatus(const CurlResult& r, int code, const std::string& text) {
  EXPECT_EQ(r.code, code) << r.headers << r.body;
  EXPECT_EQ(r.statusText, text) << r.headers << r.body;
}

TEST_F(AdminDaemonTest, TokenIsIssuedToTheConfiguredClientOnly) {
  const std::vector<std::string> form = {"Content-Type: application/x-www-form-urlencoded"};
  CurlResult ok = curl("POST", "/oauth2/v1/token", form,
                       "grant_type=client_credentials&scope=api&client_id=admin&client_secret=pw");
  expectStatus(ok, 200, "OK");
  json document = json::parse(ok.body);
  EXPECT_EQ(document["expires_in"], 900);
  EXPECT_EQ(document["access_token"].get<std::string>().size(), 32u);
  EXPECT_NE(ok.headers.find("Access-Control-Allow-Origin: *\r\n"), std::string::npos);

  expectStatus(curl("POST", "/oauth2/v1/token", form,
                    "grant_type=client_credentials&client_id=admin&client_secret=pw"),
               400, "OK");
  expectStatus(
      curl("POST", "/oauth2/v1/token", form, "grant_type=refresh_token&refresh_token=x&scope=api"),
      401, "OK");
  expectStatus(curl("POST", "/oauth2/v1/token", form,
                    "grant_type=client_credentials&scope=api&client_id=admin&client_secret=wrong"),
               401, "OK");
}

TEST_F(AdminDaemonTest, OptionsMetricsAndStatusNeedNoToken) {
  CurlResult options = curl("OPTIONS", "/esme");
  expectStatus(options, 200, "OK");
  EXPECT_NE(options.headers.find("Access-Control-Allow-Headers: *\r\n"), std::string::npos);
  EXPECT_NE(options.headers.find("Access-Control-Allow-Methods: *\r\n"), std::string::npos);
  EXPECT_EQ(options.body, "{}");

  CurlResult metrics = curl("GET", "/metrics");
  expectStatus(metrics, 200, "OK");
  EXPECT_NE(metrics.headers.find("Content-Type: text/plain\r\n"), std::string::npos);
  EXPECT_NE(metrics.body.find("# TYPE pelliro_smppSubmitSMTotal counter"), std::string::npos);

  CurlResult status = curl("POST", "/status");
  expectStatus(status, 200, "OK");
  json report = json::parse(status.body);
  EXPECT_EQ(report["summary"]["targetsets"], 1);
  // The one configured bind is reported although it is down by the operator.
  ASSERT_EQ(report["statusReport"].size(), 1u) << status.body;
  const json& slot = report["statusReport"][0];
  EXPECT_EQ(slot["smsc_name"], "t1");
  EXPECT_EQ(slot["target_set"], "ts1");
  EXPECT_EQ(slot["admin_down"], true);
  EXPECT_EQ(slot["connected"], false);
}

TEST_F(AdminDaemonTest, ContentTypeWithACharsetGetsTheFallback) {
  token_ = fetchToken();
  std::string out =
      runCommand({"curl", "-s", "-i", "-X", "POST", "-H", "Authorization: Bearer " + token_, "-H",
                  "Content-Type: application/json; charset=utf-8", "--data-binary",
                  R"({"systemid":"x","targetset":"ts1"})", url("/esme")});
  EXPECT_EQ(out, "HTTP/1.1 200 OK\r\n\r\nOK");
  EXPECT_EQ(backupCount(daemonDir_.path()), 0u);
}

TEST_F(AdminDaemonTest, RawRequestsSplitOrShapedOddlyAreReadAsTheClientMeantThem) {
  token_ = fetchToken();
  auto exchange = [this](const std::vector<std::string>& pieces) {
    int fd = testing_support::connectTcp("127.0.0.1", port_);
    EXPECT_GE(fd, 0);
    for (const std::string& piece : pieces) {
      testing_support::writeAll(fd, piece);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::string response = testing_support::readUntilClosed(fd, std::chrono::seconds(10));
    close(fd);
    return response;
  };
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
}

TEST_F(AdminDaemonTest, ESMEOperationsAnswerWithTheirTextsAndSaveTheFile) {
  expectStatus(call("POST", "/esme", json{{"systemid", "beta"}, {"targetset", "ts1"}}), 200,
               "ESME added beta");
  EXPECT_EQ(backupCount(daemonDir_.path()), 1u);
  EXPECT_TRUE(daemon_->waitForOutput("Performing operation: Add ESME"));
  json saved = savedDocument();
  EXPECT_EQ(saved["esme"].back(), (json{{"systemid", "beta"}, {"sharedtargetsetid", "ts1"}}));

  expectStatus(call("POST", "/esme", json{{"systemid", "beta"}, {"targetset", "ts1"}}), 400,
               "ESME already exists");
  expectStatus(call("POST", "/esme", json{{"targetset", "ts1"}}), 400, "Missing field: systemid");
  EXPECT_EQ(backupCount(daemonDir_.path()), 1u);

  CurlResult view = call("GET", "/esme/beta");
  expectStatus(view, 200, "OK");
  EXPECT_EQ(json::parse(view.body)["sharedtargetsetid"], "ts1");
  CurlResult list = call("GET", "/esme");
  expectStatus(list, 200, "OK");
  EXPECT_EQ(json::parse(list.body), json::array({"acme", "beta"}));

  expectStatus(call("PUT", "/esme/beta", json{{"targetset", "ts2"}, {"tpslimit", 10}}), 200,
               "ESME modified beta");
  expectStatus(call("PUT", "/esme/nobody", json{{"targetset", "ts2"}}), 400, "ESME not found");
  EXPECT_EQ(savedDocument()["esme"].back()["tpslimit"], 10);
  EXPECT_EQ(backupCount(daemonDir_.path()), 2u);

  expectStatus(call("DELETE", "/esme/beta"), 200, "ESME removed beta");
  expectStatus(call("DELETE", "/esme/beta"), 400, "ESME not found beta");
  expectStatus(call("GET", "/esme/beta"), 400, "ESME not found beta");
  EXPECT_EQ(savedDocument()["esme"].size(), 1u);
  EXPECT_EQ(backupCount(daemonDir_.path()), 3u);
}

TEST_F(AdminDaemonTest, TargetSetAndTargetOperationsAnswerWithTheirTexts) {
  expectStatus(call("POST", "/targetsets",
                    json{{"id", "ts2"},
                         {"name", "Second"},
                         {"submits_enabled", false},
                         {"targets", json::array({{{"name", "ignored"}}})}}),
               200, "Target set added ts2");
  expectStatus(call("POST", "/targetsets",
                    json{{"id", "ts2"}, {"name", "Again"}, {"submits_enabled", false}}),
               400, "Target set already exists");
  expectStatus(call("PUT", "/targetsets/ts2", json{{"name", "Renamed"}, {"submits_enabled", true}}),
               200, "Target set modified ts2");
  expectStatus(call("PUT", "/targetsets/ts9", json{{"name", "x"}, {"submits_enabled", true}}), 400,
               "Target set does not exist ts9");
  CurlResult view = call("GET", "/targetsets/ts2");
  expectStatus(view, 200, "Target set found ts2");
  EXPECT_EQ(json::parse(view.body)["name"], "Renamed");
  expectStatus(call("GET", "/targetsets/ts9"), 400, "Target set not found ts9");
  EXPECT_EQ(json::parse(call("GET", "/targetsets").body), json::array({"ts1", "ts2"}));

  json target = {{"name", "t2"},
                 {"host", "127.0.0.1"},
                 {"systemid", "u"},
                 {"password", "p"},
                 {"admindown", true}};
  expectStatus(call("POST", "/targetsets/ts2/targets", target), 200, "Target added t2");
  expectStatus(call("POST", "/targetsets/ts2/targets", target), 400, "Target ID already exists t2");
  CurlResult names = call("GET", "/targetsets/ts2/targets");
  expectStatus(names, 200, "Target names listed ts2");
  EXPECT_EQ(json::parse(names.body), json::array({"t2"}));
  CurlResult targetView = call("GET", "/targetsets/ts2/targets/t2");
  expectStatus(targetView, 200, "Target found t2 (target set ts2)");
  EXPECT_EQ(json::parse(targetView.body)["bindqty"], 1);
  expectStatus(call("PUT", "/targetsets/ts2/targets/t2", json{{"weight", 4}}), 200,
               "Target modified t2");
  expectStatus(call("PUT", "/targetsets/ts2/targets/none", json{{"weight", 4}}), 400,
               "Target not found none");
  expectStatus(call("DELETE", "/targetsets/ts2/targets/t2"), 200, "Target removed successfully t2");
  expectStatus(call("DELETE", "/targetsets/ts2/targets/t2"), 400, "Target not found t2");
  expectStatus(call("DELETE", "/targetsets/ts2"), 200, "Target set removed ts2");
  expectStatus(call("DELETE", "/targetsets/ts2"), 400, "Target set does not exist ts2");
  // Six successful changes, six backups.
  EXPECT_EQ(backupCount(daemonDir_.path()), 6u);
}

TEST_F(AdminDaemonTest, ChangesSurviveARestart) {
  expectStatus(
      call("POST", "/esme", json{{"systemid", "kept"}, {"targetset", "ts1"}, {"tpslimit", 7}}), 200,
      "ESME added kept");
  expectStatus(call("POST", "/targetsets",
                    json{{"id", "ts3"}, {"name", "Third"}, {"submits_enabled", true}}),
               200, "Target set added ts3");
  expectStatus(call("POST", "/targetsets/ts3/targets",
                    json{{"name", "t3"},
                         {"host", "127.0.0.1"},
                         {"systemid", "u"},
                         {"password", "p"},
                         {"admindown", true}}),
               200, "Target added t3");
  ASSERT_EQ(daemon_->stop(SIGTERM), 0);
  EXPECT_NE(daemon_->output().find("Stopped Dravnik"), std::string::npos);

  startDaemon();
  token_.clear();  // tokens live in memory only
  CurlResult view = call("GET", "/esme/kept");
  expectStatus(view, 200, "OK");
  EXPECT_EQ(json::parse(view.body)["tpslimit"], 7);
  expectStatus(call("GET", "/targetsets/ts3/targets/t3"), 200, "Target found t3 (target set ts3)");
}

TEST_F(AdminDaemonTest, ControlSwitchesAuditing) {
  expectStatus(call("POST", "/control", json{{"log.audit", true}}), 200, "OK");
  expectStatus(call("POST", "/control", json{{"other", true}}), 400, "Unknown command");
  expectStatus(call("POST", "/control", json{{"log.audit", 1}}), 400, "Bad command");
}

TEST_F(AdminDaemonTest, CommandLineClientManagesESMEs) {
  RunResult added = cli({"esmeAdd", "gamma", "ts1"});
  EXPECT_EQ(added.exitStatus, 0);
  EXPECT_EQ(lastLine(added.out), "Successfully added");
  EXPECT_EQ(lastLine(cli({"esmeAdd", "gamma", "ts1"}).out), "Add failed");

  RunResult view = cli({"esmeView", "gamma"});
  EXPECT_NE(view.out.find("{\n  \"sharedtargetsetid\": \"ts1\",\n  \"systemid\": \"gamma\"\n}\n"),
            std::string::npos)
      << view.out;
  RunResult list = cli({"esmeList"});
  EXPECT_NE(list.out.find("[\n  \"acme\",\n  \"gamma\"\n]\n"), std::string::npos) << list.out;

  EXPECT_EQ(lastLine(cli({"esmeModify", "gamma", "ts9"}).out), "Successfully modified");
  EXPECT_EQ(savedDocument()["esme"].back()["sharedtargetsetid"], "ts9");
  EXPECT_EQ(lastLine(cli({"esmeModify", "nobody", "ts9"}).out), "Modify failed");
  EXPECT_EQ(lastLine(cli({"esmeRemove", "gamma"}).out), "Successfully removed");
  EXPECT_EQ(lastLine(cli({"esmeRemove", "gamma"}).out), "Remove failed");
  EXPECT_EQ(lastLine(cli({"esmeView", "gamma"}).out), "Failed");
}

TEST_F(AdminDaemonTest, CommandLineClientManagesTargetSets) {
  EXPECT_EQ(lastLine(cli({"targetSetAdd", "ts5", "Fifth", "true"}).out), "Successfully added");
  EXPECT_EQ(savedDocument()["targetsets"].back()["submits_enabled"], true);
  EXPECT_EQ(savedDocument()["targetsets"].back()["targets"], nullptr);
  EXPECT_EQ(lastLine(cli({"targetSetAdd", "ts6", "Sixth", "yes"}).out), "Successfully added");
  EXPECT_EQ(savedDocument()["targetsets"].back()["submits_enabled"], false);
  EXPECT_EQ(lastLine(cli({"targetSetAdd", "ts6", "Sixth"}).out), "Add failed");

  EXPECT_EQ(lastLine(cli({"targetSetModify", "ts6", "Renamed", "true"}).out),
            "Successfully modified");
  EXPECT_EQ(savedDocument()["targetsets"].back()["name"], "Renamed");
  EXPECT_EQ(lastLine(cli({"targetSetModify", "ts9", "x"}).out), "Modify failed");

  RunResult list = cli({"targetSetList"});
  EXPECT_NE(list.out.find("[\n  \"ts1\",\n  \"ts5\",\n  \"ts6\"\n]\n"), std::string::npos)
      << list.out;
  EXPECT_EQ(lastLine(cli({"targetSetRemove", "ts6"}).out), "Successfully removed");
  EXPECT_EQ(lastLine(cli({"targetSetRemove", "ts6"}).out), "Remove failed");
}

TEST_F(AdminDaemonTest, CommandLineClientPrintsUsageForWrongArgumentCounts) {
  struct Case {
    std::vector<std::string> args;
    std::string usage;
  };
  const std::vector<Case> cases = {
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
    RunResult r = cli(c.args);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(lastLine(r.out), c.usage);
  }
  EXPECT_EQ(backupCount(daemonDir_.path()), 0u);
}

TEST_F(AdminDaemonTest, CommandLineClientWithWrongCredentialsFails) {
  cliDir_.write("pelliro.conf", configuration(port_, "not-the-secret").dump(2));
  RunResult added = cli({"esmeAdd", "delta", "ts1"});
  EXPECT_EQ(added.exitStatus, 0);
  EXPECT_NE(added.out.find("\nFailed\n"), std::string::npos) << added.out;
  EXPECT_EQ(lastLine(added.out), "Add failed");
  EXPECT_EQ(lastLine(cli({"esmeList"}).out), "Failed");
  EXPECT_EQ(lastLine(cli({"targetSetRemove", "ts1"}).out), "Remove failed");
  EXPECT_EQ(savedDocument()["targetsets"].size(), 1u);
}

TEST(AdminCommandLine, DaemonNotRunningGivesFailureVerdicts) {
  TempDir dir;
  dir.write("pelliro.conf", configuration(testing_support::freeLoopbackPort()).dump(2));
  RunResult r = testing_support::runPelliro(dir.path(), {"esmeRemove", "acme"});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_NE(r.err.find("curl_easy_perform() failed: "), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("\nFailed\n"), std::string::npos);
  EXPECT_EQ(lastLine(r.out), "Remove failed");

  RunResult list = testing_support::runPelliro(dir.path(), {"targetSetList"});
  EXPECT_EQ(list.exitStatus, 0);
  EXPECT_EQ(lastLine(list.out), "Failed");
}

}  // namespace
