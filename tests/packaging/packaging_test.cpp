// What the package ships for operators, against the real daemon: it tells the
// service manager that it is ready and that it is stopping, every series that
// the dashboard's panels and the alert rules name is exposed on /metrics once
// a little traffic has passed, and the command-line client manages it.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "smpp/pdu.h"
#include "tests/support/daemon_process.h"
#include "tests/support/fake_smsc.h"
#include "tests/support/loopback.h"
#include "tests/support/smpp_test_client.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_daemon.h"

using namespace testing_support;
using nlohmann::json;
using namespace std::chrono_literals;

namespace {

json configuration(int smscPort) {
  json target = {{"name", "up1"},    {"host", "127.0.0.1"}, {"port", smscPort},
                 {"bindqty", 1},     {"systemid", "up"},    {"password", "upw"},
                 {"systemtype", ""}, {"weight", 1},         {"admindown", false}};
  json base = {{"log.level", "INFO"}, {"auth.client_id", "admin"}, {"auth.client_secret", "pw"}};
  return {{"base", base},
          {"cdr", {{"mode", "correlate"}}},
          {"targetsets",
           {{{"id", "ts"}, {"name", "ts"}, {"submits_enabled", true}, {"targets", {target}}}}},
          {"esme", {{{"systemid", "acme"}, {"password", "pw"}, {"sharedtargetsetid", "ts"},
                     {"inboundmo", {"4470"}}}}}};
}

// Metric names a shipped file refers to: the daemon's own families and the
// process series. ("up" is made by Prometheus itself.)
std::set<std::string> namesIn(const std::string& text) {
  static const std::regex name(R"(\b(pelliro_[A-Za-z0-9_]+|process_[a-z_]+)\b)");
  std::set<std::string> names;
  for (std::sregex_iterator it(text.begin(), text.end(), name), end; it != end; ++it)
    names.insert((*it)[1]);
  return names;
}

std::string contents(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Whether the exposition has a sample of `name` (bare or labelled), or
// declares the family (labelled families that nothing has bumped yet, such
// as send failures, have only their type line).
bool exposes(const std::string& metrics, const std::string& name) {
  return std::regex_search(metrics, std::regex("(^|\n)(" + name + "[{ ]|# TYPE " + name + " )"));
}

// The datagrams the daemon sends to a NOTIFY_SOCKET of ours, as systemd
// would receive them.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~NotifySocket() {
    if (fd_ >= 0) close(fd_);
  }
  bool bound() const { return bound_; }
  // The next datagram, or "" after `timeout`.
  std::string next(std::chrono::milliseconds timeout = 10s) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) != 1) return "";
    char buffer[512];
    const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
  }

 private:
  int fd_ = -1;
  bool bound_ = false;
};

std::string lastLine(std::string text) {
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text.substr(text.rfind('\n') + 1);
}

#ifdef PELLIRO_HAVE_SYSTEMD
constexpr bool kNotifies = true;
#else
constexpr bool kNotifies = false;  // built without libsystemd: no notifications
#endif

TEST(PackagingTest, OperatorsViewOfTheRunningDaemon) {
  TempDir notifyDir;
  NotifySocket notify(notifyDir.file("notify"));
  ASSERT_TRUE(notify.bound());
  FakeSmsc smsc;
  setenv("NOTIFY_SOCKET", notifyDir.file("notify").c_str(), 1);
  TestDaemon daemon(configuration(smsc.port()));
  unsetenv("NOTIFY_SOCKET");
  ASSERT_TRUE(daemon.started()) << daemon.output();
  if (kNotifies) {
    EXPECT_EQ(notify.next(), "READY=1");
  }
  ASSERT_NE(smsc.waitForBound("up", 10s), 0);

  // Ready means accepting. One submit with a receipt, answered by the SMSC,
  // and an MO: most labelled families have samples only once bumped.
  SmppTestClient acme(daemon.port(), "127.0.0.2");
  ASSERT_TRUE(acme.bind(SMPP::BIND_TRANSCEIVER, "acme", "pw").has_value());
  acme.send(SMPP::SUBMIT_SM, submitBody("4470", "447700900001", "hello", 1));
  ASSERT_TRUE(acme.readUntil(SMPP::SUBMIT_SM_RESP).has_value());
  ASSERT_TRUE(smsc.waitFor([&] { return smsc.submits().size() == 1; }));
  const int upstream = smsc.boundSessions().front().connection;
  smsc.sendReceipt(upstream, smsc.submits().front().messageId, "447700900001", "4470");
  std::optional<WirePDU> receipt = acme.readUntil(SMPP::DELIVER_SM);
  ASSERT_TRUE(receipt.has_value());
  acme.send(SMPP::DELIVER_SM_RESP, std::string(1, '\0'), receipt->sequenceNumber);
  ASSERT_NE(smsc.sendMO(upstream, "447700900001", "4470", "hello"), 0u);
  ASSERT_TRUE(acme.readUntil(SMPP::DELIVER_SM).has_value());
  const std::string metrics = daemon.curl("GET", "/metrics");
  for (const char* file : {"packaging/grafana-dashboard.json", "packaging/pelliro-alerts.yml"}) {
    const std::set<std::string> names =
        namesIn(contents(std::string(PELLIRO_SOURCE_DIR) + "/" + file));
    EXPECT_GE(names.size(), 5u) << file;
    for (const std::string& name : names)
      EXPECT_TRUE(exposes(metrics, name)) << file << " names " << name << ", not in /metrics";
  }

  // The command-line client in a directory of its own: each sub-command's
  // verdict is its last line; wrong argument counts print the usage, wrong
  // credentials and a daemon that does not answer give the failure verdicts.
  auto savedDocument = [&] { return json::parse(daemon.dir().read("pelliro.conf")); };
  TempDir cliDir;
  auto writeClientConfiguration = [&](const std::string& secret, int port) {
    json base = {{"auth.client_id", "admin"}, {"auth.client_secret", secret}, {"http.port", port}};
    cliDir.write("pelliro.conf", json{{"base", base}}.dump(2));
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
      {{"esmeAdd", "gamma", "ts"}, "Successfully added"},
      {{"esmeView", "gamma"},
       "}",
       "{\n  \"sharedtargetsetid\": \"ts\",\n  \"systemid\": \"gamma\"\n}\n"},
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
      {{"targetSetList"}, "]", "[\n  \"ts\",\n  \"ts5\",\n  \"ts6\"\n]\n"},
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
  std::string refused = cli({"esmeAdd", "delta", "ts"});
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

  if (!kNotifies) return;
  EXPECT_EQ(notify.next(100ms), "") << "nothing more before the stop";
  kill(daemon.process().pid(), SIGTERM);
  EXPECT_EQ(notify.next(), "STOPPING=1");
  EXPECT_EQ(daemon.process().waitExit(), 0);
}
}  // namespace
