// The upstream side of the real daemon: it binds to SMSCs on loopback (the
// shared fake SMSC, and an SMSC built on the independent npm `smpp`
// package), reports its binds in "/status", and carries receipts and
// mobile-originated messages to the customer's receiver, across a restart
// when the customer is away.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "config/smsc_slot_id.h"
#include "smpp/pdu.h"
#include "tests/support/fake_smsc.h"
#include "tests/support/smpp_test_client.h"
#include "tests/support/test_daemon.h"
#include "tracking/tracker.h"

using namespace testing_support;
using nlohmann::json;
using namespace std::chrono_literals;

namespace {

json configuration(int smscPort, int bindqty) {
  json target = {{"name", "up1"},       {"host", "127.0.0.1"}, {"port", smscPort},
                 {"bindqty", bindqty},  {"systemid", "up"},    {"password", "upw"},
                 {"systemtype", ""},    {"weight", 1},         {"admindown", false}};
  json customer = {{"systemid", "acme"},
                   {"password", "pw"},
                   {"sharedtargetsetid", "ts"},
                   {"inboundmo", {"4470", "STOP.*"}}};
  return {{"base", {{"log.level", "INFO"}}},
          {"targetsets",
           {{{"id", "ts"}, {"name", "ts"}, {"submits_enabled", true}, {"targets", {target}}}}},
          {"esme", {customer}}};
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

// The next deliver_sm on `client`, answered with deliver_sm_resp; its body.
std::optional<std::string> takeDelivery(SmppTestClient& client) {
  std::optional<WirePDU> pdu = client.readUntil(SMPP::DELIVER_SM, 5s);
  if (!pdu) return std::nullopt;
  client.send(SMPP::DELIVER_SM_RESP, std::string(1, '\0'), pdu->sequenceNumber);
  return pdu->body;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The daemon binds both slots of the target, reports them, and relays MO
// by destination and by text to acme's receiver; MO for nobody's number is
// acknowledged upstream and goes nowhere.
TEST(UpstreamDaemonTest, BindsBothSlotsReportsThemAndRelaysMOByDestinationAndByText) {
  FakeSmsc smsc;
  TestDaemon daemon(configuration(smsc.port(), 2));
  ASSERT_TRUE(daemon.started()) << daemon.output();
  ASSERT_TRUE(smsc.waitFor([&] { return smsc.boundSessions().size() == 2; }, 10s));
  for (const FakeSmsc::Session& s : smsc.boundSessions()) {
    EXPECT_EQ(s.systemId, "up");
    EXPECT_EQ(s.password, "upw");
  }

  const json report = json::parse(daemon.curl("POST", "/status"));
  ASSERT_EQ(report["statusReport"].size(), 2u) << report.dump();
  for (const json& slot : report["statusReport"]) {
    EXPECT_EQ(slot["smsc_name"], "up1");
    EXPECT_EQ(slot["connected"], true) << slot.dump();
    EXPECT_EQ(slot["admin_down"], false);
  }

  SmppTestClient acme(daemon.port(), "127.0.0.2");
  ASSERT_TRUE(acme.bind(SMPP::BIND_RECEIVER, "acme", "pw").has_value());
  const int upstream = smsc.boundSessions().front().connection;

  struct MO {
    const char* destination;
    const char* text;
  };
  for (const MO& mo : {MO{"4470", "hello"}, MO{"999", "STOP all"}}) {
    ASSERT_NE(smsc.sendMO(upstream, "447700900001", mo.destination, mo.text), 0u);
    std::optional<std::string> body = takeDelivery(acme);
    ASSERT_TRUE(body) << "MO to " << mo.destination << " never reached acme";
    EXPECT_TRUE(contains(*body, mo.text)) << mo.destination;
  }
  // Nobody's number: answered upstream, delivered to nobody.
  smsc.sendMO(upstream, "447700900001", "12345", "lost");
  EXPECT_TRUE(smsc.waitForReceived(upstream, SMPP::DELIVER_SM_RESP, 3));
  EXPECT_FALSE(acme.read(300ms).has_value());

  // The metrics page moved with what was relayed.
  const std::string metrics = daemon.curl("GET", "/metrics");
  EXPECT_TRUE(contains(metrics, "pelliro_smppDeliverSMMOTotal 3 ")) << metrics.substr(0, 2000);
}

// acme's receivers take its MO in turn; its transmitter never gets any.
TEST(UpstreamDaemonTest, ReceiversTakeTurnsAndATransmitterGetsNothing) {
  FakeSmsc smsc;
  TestDaemon daemon(configuration(smsc.port(), 1));
  ASSERT_TRUE(daemon.started()) << daemon.output();
  const int upstream = smsc.waitForBound("up", 0, 10s);
  ASSERT_NE(upstream, 0);
  SmppTestClient sender(daemon.port(), "127.0.0.2");
  SmppTestClient first(daemon.port(), "127.0.0.3");
  SmppTestClient second(daemon.port(), "127.0.0.4");
  ASSERT_TRUE(sender.bind(SMPP::BIND_TRANSMITTER, "acme", "pw").has_value());
  ASSERT_TRUE(first.bind(SMPP::BIND_RECEIVER, "acme", "pw").has_value());
  ASSERT_TRUE(second.bind(SMPP::BIND_RECEIVER, "acme", "pw").has_value());
  for (int i = 0; i < 4; ++i) smsc.sendMO(upstream, "447700900001", "4470", "mo" + std::to_string(i));
  ASSERT_TRUE(smsc.waitForReceived(upstream, SMPP::DELIVER_SM_RESP, 4));
  for (SmppTestClient* receiver : {&first, &second, &first, &second})
    EXPECT_TRUE(takeDelivery(*receiver).has_value());
  EXPECT_FALSE(sender.readUntil(SMPP::DELIVER_SM, 300ms).has_value());
  EXPECT_FALSE(first.readUntil(SMPP::DELIVER_SM, 100ms).has_value());
}

// A receipt reaches acme's receiver; a receipt and an MO arriving while
// acme is away are saved at the stop and offered once after the restart.
TEST(UpstreamDaemonTest, ReceiptsAndQueuedMessagesSurviveTheCustomersAbsenceAndARestart) {
  FakeSmsc smsc;
  TestDaemon daemon(configuration(smsc.port(), 1), knownMessageIds({"seed-1", "seed-2"}));
  ASSERT_TRUE(daemon.started()) << daemon.output();
  const int upstream = smsc.waitForBound("up", 0, 10s);
  ASSERT_NE(upstream, 0);

  {
    SmppTestClient acme(daemon.port(), "127.0.0.2");
    ASSERT_TRUE(acme.bind(SMPP::BIND_RECEIVER, "acme", "pw").has_value());
    smsc.sendReceipt(upstream, "seed-1", "447700900001", "4470");
    std::optional<std::string> receipt = takeDelivery(acme);
    ASSERT_TRUE(receipt);
    EXPECT_TRUE(contains(*receipt, "id:seed-1 ")) << *receipt;
    // Leaving in order: the acknowledgement is read before the session
    // ends. (A peer that just drops the connection may see a receipt again:
    // delivery is at least once.)
    acme.send(SMPP::UNBIND);
    EXPECT_TRUE(acme.readUntil(SMPP::UNBIND_RESP).has_value());
  }
  // acme is away: a receipt and an MO wait in the queue, are saved at the
  // stop and offered to acme's first receiver after the restart.
  smsc.sendReceipt(upstream, "seed-2", "447700900001", "4470");
  smsc.sendMO(upstream, "447700900002", "4470", "while away");
  ASSERT_TRUE(smsc.waitForReceived(upstream, SMPP::DELIVER_SM_RESP, 3));
  ASSERT_TRUE(daemon.restart()) << daemon.output();
  ASSERT_NE(smsc.waitForBound("up", 0, 10s), 0);

  SmppTestClient acme(daemon.port(), "127.0.0.2");
  ASSERT_TRUE(acme.bind(SMPP::BIND_TRANSCEIVER, "acme", "pw").has_value());
  std::optional<std::string> first = takeDelivery(acme);
  std::optional<std::string> second = takeDelivery(acme);
  ASSERT_TRUE(first && second) << daemon.output();
  EXPECT_TRUE(contains(*first, "id:seed-2 ")) << *first;
  EXPECT_TRUE(contains(*second, "while away")) << *second;
  EXPECT_FALSE(acme.readUntil(SMPP::DELIVER_SM, 300ms).has_value()) << "delivered twice";
}

// The npm `smpp` SMSC, run by node with its events on standard output and
// commands on standard input.
class NodeSmsc {
 public:
  explicit NodeSmsc(const char* mode = nullptr) {
    const std::string dir = std::string(PELLIRO_SOURCE_DIR) + "/tests/support/npm_smpp";
    if (access((dir + "/node_modules/smpp").c_str(), F_OK) != 0) return;
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      close(in[1]);
      close(out[0]);
      if (chdir(dir.c_str()) != 0) _exit(127);
      execlp("node", "node", "smsc.js", "0", mode, static_cast<char*>(nullptr));
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
    const std::string first = waitLine("port ");
    if (!first.empty()) port_ = std::stoi(first.substr(5));
  }
  ~NodeSmsc() {
    if (pid_ <= 0) return;
    command("quit");
    close(stdin_);
    close(stdout_);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  int port() const { return port_; }
  void command(const std::string& line) {
    const std::string text = line + "\n";
    if (write(stdin_, text.data(), text.size()) < 0) return;
  }
  // The first line of output starting with `prefix` (earlier ones are
  // dropped); "" when none came within the timeout.
  std::string waitLine(const std::string& prefix, std::chrono::milliseconds timeout = 10s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      for (size_t nl = buffer_.find('\n'); nl != std::string::npos; nl = buffer_.find('\n')) {
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        if (line.rfind(prefix, 0) == 0) return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return "";
      pollfd p{stdout_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char chunk[4096];
      const ssize_t n = read(stdout_, chunk, sizeof chunk);
      if (n <= 0) return "";
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  int port_ = 0;
  std::string buffer_;
};

// An SMSC that shares no code with the daemon: its bind is accepted, and
// its MO and receipt reach acme and are acknowledged with status 0.
TEST(UpstreamDaemonTest, IndependentSmscBindsAndItsReceiptsAndMOReachTheCustomer) {
  NodeSmsc smsc;
  ASSERT_NE(smsc.port(), 0) << "node and the npm smpp package (npm ci in tests/support/npm_smpp)";
  TestDaemon daemon(configuration(smsc.port(), 1), knownMessageIds({"npm-77"}));
  ASSERT_TRUE(daemon.started()) << daemon.output();
  ASSERT_NE(smsc.waitLine("bound up "), "");

  SmppTestClient acme(daemon.port(), "127.0.0.2");
  ASSERT_TRUE(acme.bind(SMPP::BIND_RECEIVER, "acme", "pw").has_value());
  smsc.command("mo 447700900003 4470 independent hello");
  std::optional<std::string> mo = takeDelivery(acme);
  ASSERT_TRUE(mo) << daemon.output();
  EXPECT_TRUE(contains(*mo, "independent hello"));
  EXPECT_TRUE(contains(smsc.waitLine("deliver_sm_resp ") + "\n", " 0\n"));

  smsc.command("receipt npm-77 UNDELIV");
  std::optional<std::string> receipt = takeDelivery(acme);
  ASSERT_TRUE(receipt) << daemon.output();
  EXPECT_TRUE(contains(*receipt, "id:npm-77 ")) << *receipt;
  EXPECT_TRUE(contains(*receipt, "stat:UNDELIV")) << *receipt;
  EXPECT_TRUE(contains(smsc.waitLine("deliver_sm_resp ") + "\n", " 0\n"));
}

// Both ends independent of the daemon: Perl's Net::SMPP submits through it
// to the npm SMSC, which answers with its own id and sends the receipt.
TEST(UpstreamDaemonTest, IndependentClientGetsTheIndependentSmscsIdAndReceiptThroughTheDaemon) {
  NodeSmsc smsc("auto-receipt");
  ASSERT_NE(smsc.port(), 0) << "node and the npm smpp package (npm ci in tests/support/npm_smpp)";
  TestDaemon daemon(configuration(smsc.port(), 1));
  ASSERT_TRUE(daemon.started()) << daemon.output();
  ASSERT_NE(smsc.waitLine("bound up "), "");
  const std::string script =
      "$s = Net::SMPP->new_transceiver('127.0.0.1', port => " + std::to_string(daemon.port()) +
      ", system_id => 'acme', password => 'pw', timeout => 10) or die 'bind';"
      "$r = $s->submit_sm(destination_addr => '447700900001', short_message => 'hi',"
      " registered_delivery => 1) or die 'submit';"
      "print \"id $r->{message_id} status $r->{status}\\n\";"
      "$d = $s->read_pdu() or die 'receipt';"
      "print \"receipt $d->{short_message}\\n\";"
      "$s->deliver_sm_resp(seq => $d->{seq}, message_id => '');";
  const std::string out = runCommand({"perl", "-MNet::SMPP", "-e", script});
  const std::string submitted = smsc.waitLine("submit ");
  ASSERT_FALSE(submitted.empty()) << out;
  const std::string id = submitted.substr(7, submitted.find(' ', 7) - 7);
  EXPECT_TRUE(contains(out, "id " + id + " status 0\n")) << out;
  EXPECT_TRUE(contains(out, "receipt id:" + id + " ")) << out;
}

}  // namespace
