// The real daemon, a customer's day at a time, and the operator's view of
// it: binds to SMSCs on loopback (the shared fake SMSC, and one built on the
// independent npm `smpp` package) reported in "/status"; submits refused by
// the checks, answered by the internal simulator or forwarded to the fake
// SMSC, receipts and mobile-originated messages coming back, the external
// logic and number lookup services, independent SMPP clients; then what the
// package ships for operators (service manager notifications, every series
// the dashboard and the alert rules name exposed on /metrics, the
// command-line client), an orderly stop and a restart that offers what
// arrived while the customer was away. (What one session answers to each
// PDU is decided in tests/smpp; what the upstream does when its SMSC is
// lost, in tests/upstream.)
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "config/smsc_slot_id.h"
#include "smpp/pdu.h"
#include "tests/support/daemon_process.h"
#include "tests/support/fake_http_server.h"
#include "tests/support/fake_smsc.h"
#include "tests/support/loopback.h"
#include "tests/support/smpp_test_client.h"
#include "tests/support/temp_dir.h"
#include "tests/upstream/upstream_fixture.h"
#include "tracking/tracker.h"

using namespace testing_support;
using nlohmann::json;
using upstream_test::target;
using upstream_test::targetSet;
using namespace std::chrono_literals;

namespace {

json esme(const std::string& id, const std::string& targetSet, json extra = json::object()) {
  json e = {{"systemid", id}, {"password", id}, {"sharedtargetsetid", targetSet}};
  e.update(extra);
  return e;
}

// Customers `esmes`, the target set "ts" of two binds to the SMSC on
// `smscPort` and "npm" of one bind to the SMSC on `npmPort`.
// A list, not a json: a braced single customer would be that customer's own
// object under Clang, and the daemon would load no customers at all.
json configuration(int smscPort, int npmPort, std::vector<json> esmes) {
  auto set = [](const std::string& id, const std::string& name, int port, int binds) {
    return targetSet(id, {target(name, port, binds, {{"password", "upw"}})});
  };
  json base = {{"log.level", "INFO"}, {"auth.client_id", "admin"}, {"auth.client_secret", "pw"}};
  return {{"base", base},
          {"cdr", {{"mode", "correlate"}}},
          {"targetsets", {set("ts", "up1", smscPort, 2), set("npm", "npm", npmPort, 1)}},
          {"esme", esmes}};
}

// The file the daemon loads at start, knowing these message ids as acme's
// (as if acme had submitted them before the last stop).
TestDaemon::Files knownMessageIds(const std::vector<std::string>& ids) {
  Tracker tracker("");
  for (const std::string& id : ids) tracker.addMessageIDMapping(smscSlotBase("up1"), id, "acme");
  TempDir scratch;
  EXPECT_TRUE(tracker.saveToFile(scratch.file("msgtrack")));
  return {{"msgtrack", scratch.read("msgtrack")}};
}

struct Answer {
  uint32_t status = 0xFFFFFFFF;
  std::string messageId;
  std::string body;
};

// Submits and waits for the answer to that submit.
Answer submit(SmppTestClient& client, const std::string& destination, const std::string& text,
              uint8_t registeredDelivery = 0, uint8_t esmClass = 0) {
  const uint32_t seq = client.send(
      SMPP::SUBMIT_SM, submitBody("4470", destination, text, registeredDelivery, esmClass));
  for (std::optional<WirePDU> pdu; (pdu = client.readUntil(SMPP::SUBMIT_SM_RESP, 5s));) {
    if (pdu->sequenceNumber != seq) continue;
    const bool id = !pdu->body.empty() && pdu->commandStatus == 0;
    return {pdu->commandStatus, id ? pdu->body.substr(0, pdu->body.find('\0')) : "", pdu->body};
  }
  return {};
}

// The command id of the answer to a data_sm (text in message_payload).
uint32_t dataSmAnswer(SmppTestClient& client, const std::string& destination) {
  const uint32_t seq = client.send(
      SMPP::DATA_SM, std::string("\0\x01\x01", 3) + SmppTestClient::cString("4470") + "\x01\x01" +
                         SmppTestClient::cString(destination) + std::string(3, '\0') +
                         std::string("\x04\x24\x00\x07", 4) + "payload");
  for (std::optional<WirePDU> pdu; (pdu = client.read(5s));)
    if (pdu->sequenceNumber == seq) return pdu->commandId;
  return 0;
}

// The next deliver_sm (a receipt or an MO), acknowledged; its body.
std::optional<std::string> takeDelivery(SmppTestClient& client, std::chrono::milliseconds timeout = 5s) {
  std::optional<WirePDU> pdu = client.readUntil(SMPP::DELIVER_SM, timeout);
  if (!pdu) return std::nullopt;
  client.send(SMPP::DELIVER_SM_RESP, std::string(1, '\0'), pdu->sequenceNumber);
  return pdu->body;
}

// The customer's own rule: numbers starting 4478 go to the simulator.
const json kToSimulator = {
    {"criteria", {{"match", "destination"}, {"type", "country"}, {"value", "4478"}}},
    {"targetset", "INTERNAL_SMSC_SIM"}};

// Metric names a shipped file refers to: the daemon's own families and the
// process series. ("up" is made by Prometheus itself.)
std::set<std::string> namesIn(const std::string& path) {
  const std::string text = readFile(path);
  static const std::regex name(R"(\b(pelliro_[A-Za-z0-9_]+|process_[a-z_]+)\b)");
  std::set<std::string> names;
  for (std::sregex_iterator it(text.begin(), text.end(), name), end; it != end; ++it)
    names.insert((*it)[1]);
  return names;
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

TEST(DaemonTest, ACustomersDayTheOperatorsViewAnOrderlyStopAndARestart) {
  // The npm SMSC stops at the end of its standard input; a FIFO it holds
  // open for writing itself never ends.
  TempDir nodeDir;
  DaemonProcess node(nodeDir.path(),
                     {"-c", "mkfifo in && exec node \"$0\" 0 auto-receipt 0<>in",
                      std::string(PELLIRO_SOURCE_DIR) + "/tests/support/npm_smpp/smsc.js"},
                     "/bin/sh");
  ASSERT_TRUE(node.waitForOutput("\n"))
      << "node and the npm smpp package (npm ci in tests/support/npm_smpp)";
  const std::string started = node.output();
  ASSERT_EQ(started.rfind("port ", 0), 0u) << started << node.errorOutput();
  FakeSmsc smsc;
  FakeSmsc::Behaviour behaviour;
  behaviour.receipt = FakeSmsc::ReceiptTiming::AfterResponse;
  smsc.setBehaviour(behaviour);
  // The external logic service lets every submit through until told
  // otherwise; the number lookup gives every number the network 234 15.
  FakeHttpServer eli;
  FakeHttpServer lookup;
  lookup.answerBody(200, R"({"mcc":"234","mnc":"15"})");
  const json byNetwork = {
      {"criteria", {{"match", "destination"}, {"type", "mnc"}, {"value", "23415"}}},
      {"targetset", "INTERNAL_SMSC_SIM"}};
  json doc = configuration(
      smsc.port(), std::stoi(started.substr(5)),
      {esme("demo", "INTERNAL_SMSC_SIM", {{"tpslimit", 2}}),
       esme("lost", "none", {{"routes-mt", json::array({kToSimulator})}}),
       esme("acme", "ts", {{"inboundmo", {"4470", "STOP.*"}}}),
       esme("perl", "npm"),
       esme("bynet", "none", {{"routes-mt", json::array({byNetwork})}})});
  doc["eli"] = {{"enabled", true}, {"url", eli.url("/decide")}, {"request_timeout_ms", 200}};
  doc["lookup"] = {{"enabled", true}, {"url", lookup.url("/network?msisdn={msisdn}")}};
  TempDir notifyDir;
  NotifySocket notify(notifyDir.file("notify"));
  ASSERT_TRUE(notify.bound());
  setenv("NOTIFY_SOCKET", notifyDir.file("notify").c_str(), 1);
  TestDaemon daemon(doc, knownMessageIds({"seed-1", "seed-2"}));
  unsetenv("NOTIFY_SOCKET");
  ASSERT_TRUE(daemon.started()) << daemon.output();
  if (kNotifies) {
    EXPECT_EQ(notify.next(), "READY=1");
  }
  // Both slots of the fake SMSC's target and the npm SMSC's one are bound
  // and reported.
  ASSERT_TRUE(daemon.waitForBoundSlots(3)) << node.output();
  const json report = json::parse(daemon.curl("POST", "/status"));
  ASSERT_EQ(report["statusReport"].size(), 3u) << report.dump();
  for (const json& slot : report["statusReport"]) {
    EXPECT_EQ(slot["connected"], true) << slot.dump();
    EXPECT_EQ(slot["admin_down"], false);
  }
  ASSERT_EQ(smsc.boundSessions().size(), 2u);
  for (const FakeSmsc::Session& s : smsc.boundSessions())
    EXPECT_EQ(s.systemId + "/" + s.password, "up/upw");
  const int upstream = smsc.boundSessions().front().connection;

  SmppTestClient demo(daemon.port(), "127.0.0.2");
  ASSERT_EQ(demo.bind(SMPP::BIND_TRANSCEIVER, "demo", "demo")->commandStatus, 0u);
  // The simulator's own 64-character id and its receipt.
  const Answer delivered = submit(demo, "+447700900001", "hello", 1);
  EXPECT_EQ(delivered.messageId.size(), 64u);
  std::optional<std::string> text = takeDelivery(demo);
  ASSERT_TRUE(text);
  for (const std::string& part : {"id:" + delivered.messageId + " ", std::string("dlvrd:001"),
                                  std::string("stat:DELIVRD")})
    EXPECT_NE(text->find(part), std::string::npos) << *text;
  // Letters only: refused before anything else; the third in the second
  // over the limit of 2 is throttled.
  EXPECT_EQ(submit(demo, "abc", "x").status, SMPP::ESME_RINVDSTADR);
  EXPECT_EQ(submit(demo, "447700900001", "x").status, SMPP::ESME_RTHROTTLED);

  // A customer whose target set does not exist is refused as unroutable,
  // except where its own rule routes the number elsewhere; a data_sm
  // answered here gets submit_sm_resp, as customers have always been answered.
  SmppTestClient lost(daemon.port(), "127.0.0.4");
  ASSERT_EQ(lost.bind(SMPP::BIND_TRANSMITTER, "lost", "lost")->commandStatus, 0u);
  EXPECT_EQ(submit(lost, "447700900001", "x").status, SMPP::ESME_RSUBMITFAIL);
  EXPECT_EQ(submit(lost, "447800900001", "x").messageId.size(), 64u);
  EXPECT_EQ(dataSmAnswer(lost, "447800900001"), SMPP::SUBMIT_SM_RESP);
  EXPECT_EQ(smsc.submits().size(), 0u) << "the simulator's submits reached the SMSC";

  // Forwarded: the SMSC's id and its receipt.
  auto acme = std::make_unique<SmppTestClient>(daemon.port(), "127.0.0.5");
  ASSERT_EQ(acme->bind(SMPP::BIND_TRANSCEIVER, "acme", "acme")->commandStatus, 0u);
  const Answer forwarded = submit(*acme, "447700900001", "hello", 1);
  EXPECT_EQ(forwarded.messageId.rfind("fake-", 0), 0u) << forwarded.messageId;
  text = takeDelivery(*acme);
  ASSERT_TRUE(text) << daemon.output();
  EXPECT_NE(text->find("id:" + forwarded.messageId + " "), std::string::npos) << *text;
  behaviour.receipt = FakeSmsc::ReceiptTiming::None;
  smsc.setBehaviour(behaviour);

  // Three parts of one message (user data header, reference 7) share one
  // upstream bind although the pool alternates between two; a later
  // message with the same reference chooses afresh.
  for (char part : {1, 2, 3, 1}) {
    const std::string udh = std::string("\x05\x00\x03\x07\x03", 5) + part;
    EXPECT_EQ(submit(*acme, "447700900002", udh + "part", 0, 0x40).status, 0u);
  }
  std::vector<int> on;  // the upstream connection of each part
  for (const FakeSmsc::Submit& s : smsc.submits())
    if (s.sm.destination_addr == "447700900002") on.push_back(s.connection);
  ASSERT_EQ(on.size(), 4u);
  EXPECT_TRUE(on[1] == on[0] && on[2] == on[0] && on[3] != on[0])
      << on[0] << " " << on[1] << " " << on[2] << " " << on[3];

  // A data_sm forwarded upstream is answered with the SMSC's data_sm_resp;
  // the SMSC's refusal reaches the customer as it is.
  EXPECT_EQ(dataSmAnswer(*acme, "447700900004"), SMPP::DATA_SM_RESP);
  behaviour.submitStatus = SMPP::ESME_RTHROTTLED;
  smsc.setBehaviour(behaviour);
  EXPECT_EQ(submit(*acme, "447700900003", "x").status, SMPP::ESME_RTHROTTLED);

  // The external logic service decides each submit, then the number lookup
  // gives the network that the customer's rule routes by; a service that
  // never answers lets the submit go on once its attempts are used up.
  SmppTestClient bynet(daemon.port(), "127.0.0.6");
  ASSERT_EQ(bynet.bind(SMPP::BIND_TRANSCEIVER, "bynet", "bynet")->commandStatus, 0u);
  eli.answerBody(200, R"({"action":"reject","cmdstatus":393285})");
  const size_t decided = eli.requestCount(), looked = lookup.requestCount();
  const Answer rejected = submit(bynet, "447700900009", "x");
  EXPECT_EQ(rejected.status, SMPP::ESME_RSUBMITFAIL);
  EXPECT_NE(rejected.body.find("Submits disabled for SMPP account"), std::string::npos);
  ASSERT_EQ(eli.requestCount(), decided + 1);
  EXPECT_EQ(json::parse(eli.requests().back().body)["submitsm"]["destination_addr"],
            "447700900009");
  EXPECT_EQ(lookup.requestCount(), looked) << "looked up although refused";
  eli.answerBody(200, R"({"action":"reject_dlr","status":5,"networkerror":3})");
  EXPECT_EQ(submit(bynet, "447700900009", "x", 1).messageId.size(), 64u);
  text = takeDelivery(bynet);
  ASSERT_TRUE(text);
  EXPECT_NE(text->find("stat:UNDELIV err:003"), std::string::npos) << *text;
  // Let through: looked up, routed by network, then answered from the cache.
  eli.answerBody(200, "{}");
  EXPECT_EQ(submit(bynet, "447700900008", "x").messageId.size(), 64u);
  ASSERT_EQ(lookup.requestCount(), looked + 1);
  EXPECT_NE(lookup.requests().back().target.find("msisdn=447700900008"), std::string::npos);
  EXPECT_EQ(submit(bynet, "447700900008", "x").messageId.size(), 64u);
  EXPECT_EQ(lookup.requestCount(), looked + 1);
  eli.answerNothing();
  EXPECT_EQ(submit(bynet, "447700900008", "x").messageId.size(), 64u);
  eli.answerBody(200, "{}");

  // MO by destination and by text go to acme's receivers in turn, never to
  // its transmitter; MO for nobody's number is acknowledged upstream and
  // goes nowhere. A receipt known from the loaded file reaches acme's
  // receiver.
  acme->send(SMPP::UNBIND);
  ASSERT_TRUE(acme->readUntil(SMPP::UNBIND_RESP).has_value());
  acme.reset();
  const size_t acknowledged = smsc.receivedCount(upstream, SMPP::DELIVER_SM_RESP);
  {
    SmppTestClient sender(daemon.port(), "127.0.0.7");
    SmppTestClient first(daemon.port(), "127.0.0.8");
    SmppTestClient second(daemon.port(), "127.0.0.9");
    ASSERT_EQ(sender.bind(SMPP::BIND_TRANSMITTER, "acme", "acme")->commandStatus, 0u);
    ASSERT_EQ(first.bind(SMPP::BIND_RECEIVER, "acme", "acme")->commandStatus, 0u);
    ASSERT_EQ(second.bind(SMPP::BIND_RECEIVER, "acme", "acme")->commandStatus, 0u);
    // Which receiver's turn comes first depends on acme's earlier deliveries.
    SmppTestClient* receivers[] = {&first, &second};
    size_t turn = 2;  // 2: not known before the first MO
    for (const auto& [destination, mo] : {std::pair{"4470", "hello"}, std::pair{"999", "STOP all"},
                                          std::pair{"4470", "again"}}) {
      ASSERT_TRUE(smsc.sendMO(upstream, "447700900001", destination, mo));
      if (turn == 2) {
        turn = (text = takeDelivery(first, 1s)) ? 0 : 1;
        if (!text) text = takeDelivery(second);
      } else {
        text = takeDelivery(*receivers[turn]);
      }
      turn = 1 - turn;
      ASSERT_TRUE(text) << "MO " << mo << " never reached its receiver";
      EXPECT_NE(text->find(mo), std::string::npos) << destination;
    }
    smsc.sendMO(upstream, "447700900001", "12345", "lost");
    EXPECT_TRUE(smsc.waitForReceived(upstream, SMPP::DELIVER_SM_RESP, acknowledged + 4));
    EXPECT_FALSE(second.read(300ms).has_value());
    EXPECT_FALSE(sender.readUntil(SMPP::DELIVER_SM, 100ms).has_value());
    EXPECT_FALSE(first.readUntil(SMPP::DELIVER_SM, 100ms).has_value());
    smsc.sendReceipt(upstream, "seed-1", "447700900001", "4470");
    text = takeDelivery(*receivers[turn]);
    ASSERT_TRUE(text);
    EXPECT_NE(text->find("id:seed-1 "), std::string::npos) << *text;
    // Leaving in order: the acknowledgement is read before the session
    // ends. (A peer that just drops the connection may see a receipt again:
    // delivery is at least once.)
    for (SmppTestClient* client : {&sender, &first, &second}) {
      client->send(SMPP::UNBIND);
      EXPECT_TRUE(client->readUntil(SMPP::UNBIND_RESP).has_value());
    }
  }
  // With the day's traffic every family the shipped dashboard and alert
  // rules name has been bumped or declared; the MOs are all counted.
  const std::string metrics = daemon.curl("GET", "/metrics");
  EXPECT_NE(metrics.find("pelliro_smppDeliverSMMOTotal 4 "), std::string::npos);
  for (const char* file : {"/packaging/grafana-dashboard.json", "/packaging/pelliro-alerts.yml"}) {
    const std::set<std::string> names = namesIn(PELLIRO_SOURCE_DIR + std::string(file));
    EXPECT_GE(names.size(), 5u) << file;
    for (const std::string& name : names)
      EXPECT_TRUE(exposes(metrics, name)) << file << " names " << name << ", not in /metrics";
  }

  // The command-line client in a directory of its own: each sub-command's
  // verdict is its last line; wrong argument counts print the usage, wrong
  // credentials and a daemon that does not answer give the failure verdicts.
  // (What each change does to the configuration is tested in tests/config.)
  TempDir cliDir;
  std::string err;
  auto cli = [&](const std::vector<std::string>& args, const std::string& secret = "pw",
                 int port = 0) {
    json base = {{"auth.client_id", "admin"}, {"auth.client_secret", secret},
                 {"http.port", port != 0 ? port : daemon.httpPort()}};
    cliDir.write("pelliro.conf", json{{"base", base}}.dump(2));
    RunResult r = runPelliro(cliDir.path(), args);
    EXPECT_EQ(r.exitStatus, 0);
    err = r.err;
    return r.out;
  };
  const struct {
    std::vector<std::string> args;
    std::string verdict;       // the last line printed
    std::string printed = "";  // text the output holds
  } cases[] = {
      {{"esmeAdd", "gamma", "ts"}, "Successfully added"},
      {{"esmeView", "gamma"},
       "}",
       "{\n  \"sharedtargetsetid\": \"ts\",\n  \"systemid\": \"gamma\"\n}\n"},
      {{"esmeModify", "gamma", "ts9"}, "Successfully modified"},
      {{"esmeModify", "nobody", "ts9"}, "Modify failed"},
      {{"esmeList"}, "]", "  \"gamma\""},
      {{"esmeRemove", "gamma"}, "Successfully removed"},
      {{"esmeView", "gamma"}, "Failed"},
      {{"targetSetAdd", "ts5", "Fifth", "true"}, "Successfully added"},
      {{"targetSetAdd", "ts6", "Sixth", "yes"}, "Successfully added"},
      {{"targetSetAdd", "ts6", "Sixth"}, "Add failed"},
      {{"targetSetModify", "ts5", "Renamed", "true"}, "Successfully modified"},
      {{"targetSetList"}, "]", "  \"ts6\"\n]\n"},
      {{"targetSetRemove", "ts6"}, "Successfully removed"},
      {{"esmeAdd", "a"}, "Usage: esmeAdd <systemid> <targetset-name>"},
      {{"esmeModify", "a", "b", "c"}, "Usage: esmeModify <systemid> <targetset-name>"},
      {{"targetSetAdd", "a", "b", "c", "d"}, "Usage: targetSetAdd <name> <host> [<port>]"},
      {{"targetSetRemove"}, "Usage: targetSetRemove <name>"},
  };
  for (const auto& c : cases) {
    const std::string out = cli(c.args);
    EXPECT_EQ(lastLine(out), c.verdict) << c.args[0] << " " << c.args.size() << "\n" << out;
    EXPECT_NE(out.find(c.printed), std::string::npos) << out;
    if (c.args.size() == 4 && c.args[0] == "targetSetAdd") {  // only "true" switches submits on
      const json set = json::parse(daemon.dir().read("pelliro.conf"))["targetsets"].back();
      EXPECT_EQ(set["submits_enabled"], c.args[3] == "true");
    }
  }
  // Seven changes, seven backups; refusals and the usage cases changed nothing.
  EXPECT_EQ(backupCount(daemon.dir().path()), 7u);
  std::string refused = cli({"esmeAdd", "delta", "ts"}, "not-the-secret");
  EXPECT_NE(refused.find("\nFailed\n"), std::string::npos) << refused;
  EXPECT_EQ(lastLine(refused), "Add failed");
  EXPECT_EQ(lastLine(cli({"esmeList"}, "not-the-secret")), "Failed");
  EXPECT_EQ(backupCount(daemon.dir().path()), 7u);
  const std::string unanswered = cli({"esmeRemove", "acme"}, "pw", freeLoopbackPort());
  EXPECT_NE(err.find("curl_easy_perform() failed: "), std::string::npos) << err;
  EXPECT_NE(unanswered.find("\nFailed\n"), std::string::npos);
  EXPECT_EQ(lastLine(unanswered), "Remove failed");
  EXPECT_EQ(lastLine(cli({"targetSetList"}, "pw", freeLoopbackPort())), "Failed");

  // A receipt and an MO arriving while acme is away are saved at the stop
  // and offered once after the restart.
  smsc.sendReceipt(upstream, "seed-2", "447700900001", "4470");
  smsc.sendMO(upstream, "447700900002", "4470", "while away");
  ASSERT_TRUE(smsc.waitForReceived(upstream, SMPP::DELIVER_SM_RESP, acknowledged + 7));
  if (kNotifies) {
    EXPECT_EQ(notify.next(100ms), "") << "nothing more before the stop";
  }
  kill(daemon.process().pid(), SIGTERM);
  if (kNotifies) {
    EXPECT_EQ(notify.next(), "STOPPING=1");
  }
  EXPECT_EQ(daemon.process().waitExit(), 0);
  EXPECT_TRUE(demo.waitClosed());
  const std::string out = daemon.output();
  for (const char* line : {"SIGINT/SIGTERM (15)", "Stopped Dravnik"})
    EXPECT_NE(out.find(line), std::string::npos) << line;
  EXPECT_TRUE(daemon.dir().exists("msgtrack"));

  ASSERT_TRUE(daemon.restart()) << daemon.output();
  ASSERT_TRUE(daemon.waitForBoundSlots(3));
  EXPECT_FALSE(daemon.dir().exists("deliverq")) << "loaded, it would be offered again";
  SmppTestClient back(daemon.port(), "127.0.0.10");
  ASSERT_EQ(back.bind(SMPP::BIND_TRANSCEIVER, "acme", "acme")->commandStatus, 0u);
  std::optional<std::string> first = takeDelivery(back);
  std::optional<std::string> second = takeDelivery(back);
  ASSERT_TRUE(first && second) << daemon.output();
  EXPECT_NE(first->find("id:seed-2 "), std::string::npos) << *first;
  EXPECT_NE(second->find("while away"), std::string::npos) << *second;
  EXPECT_FALSE(back.readUntil(SMPP::DELIVER_SM, 300ms).has_value()) << "delivered twice";

  // Both ends independent of the daemon: Perl's Net::SMPP submits through
  // it to the npm SMSC, which answers with its own id and sends the receipt.
  const std::string script =
      "$s = Net::SMPP->new_transceiver('127.0.0.1', port => " + std::to_string(daemon.port()) +
      ", system_id => 'perl', password => 'perl', timeout => 10) or die 'bind';"
      "$r = $s->submit_sm(destination_addr => '447700900001', short_message => 'hi',"
      " registered_delivery => 1) or die 'submit';"
      "print \"id $r->{message_id} status $r->{status}\\n\";"
      "$d = $s->read_pdu() or die 'receipt';"
      "print \"receipt $d->{short_message}\\n\";"
      "$s->deliver_sm_resp(seq => $d->{seq}, message_id => '');";
  const std::string perl = runCommand({"perl", "-MNet::SMPP", "-e", script});
  const std::string events = node.output();
  const size_t at = events.find("\nsubmit ");
  ASSERT_NE(at, std::string::npos) << perl << events;
  const std::string id = events.substr(at + 8, events.find(' ', at + 8) - at - 8);
  EXPECT_NE(perl.find("id " + id + " status 0\n"), std::string::npos) << perl;
  EXPECT_NE(perl.find("receipt id:" + id + " "), std::string::npos) << perl;
  ASSERT_TRUE(node.waitForOutput("deliver_sm_resp ")) << "the receipt was never acknowledged";
  EXPECT_TRUE(std::regex_search(node.output(), std::regex("\ndeliver_sm_resp \\d+ 0\n")))
      << node.output();
}

}  // namespace
