// The upstream side of the real daemon: it binds to SMSCs on loopback (the
// shared fake SMSC, and an SMSC built on the independent npm `smpp`
// package), reports its binds in "/status", and carries receipts and
// mobile-originated messages to the customer's receiver, across a restart
// when the customer is away.

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "config/smsc_slot_id.h"
#include "smpp/pdu.h"
#include "tests/support/daemon_process.h"
#include "tests/support/fake_smsc.h"
#include "tests/support/smpp_test_client.h"
#include "tests/upstream/upstream_fixture.h"
#include "tracking/tracker.h"

using namespace testing_support;
using upstream_test::json;
using upstream_test::target;
using namespace std::chrono_literals;

namespace {

json targetSet(const std::string& name, int port, int bindqty) {
  return upstream_test::targetSet(name, {target(name, port, bindqty, {{"password", "upw"}})});
}

// acme and zed go to the fake SMSC (two binds), perl to the npm one.
json configuration(int smscPort, int npmPort) {
  json customer = {{"systemid", "acme"},
                   {"password", "pw"},
                   {"sharedtargetsetid", "ts"},
                   {"inboundmo", {"4470", "STOP.*"}}};
  // Shares the target, so a receipt whose id the daemon does not know falls
  // back to zed: only the loaded file sends the known ones to acme.
  json other = {{"systemid", "zed"}, {"password", "pw"}, {"sharedtargetsetid", "ts"}};
  json perl = {{"systemid", "perl"}, {"password", "pw"}, {"sharedtargetsetid", "npm"}};
  return {{"base", {{"log.level", "INFO"}}},
          {"targetsets", {targetSet("ts", smscPort, 2), targetSet("npm", npmPort, 1)}},
          {"esme", {customer, other, perl}}};
}

// The file the daemon loads at start, knowing these message ids as acme's
// (as if acme had submitted them before the last stop).
TestDaemon::Files knownMessageIds(const std::vector<std::string>& ids) {
  Tracker tracker("");
  for (const std::string& id : ids) tracker.addMessageIDMapping(smscSlotBase("ts"), id, "acme");
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

// A customer's day on the upstream side: the daemon binds both slots of the
// fake SMSC's target and the npm SMSC's one and reports them; MO by
// destination and by text go to acme's receivers in turn, never to its
// transmitter; MO for nobody's number is acknowledged upstream and goes
// nowhere; the metrics count them all. A receipt reaches acme's receiver; a
// receipt and an MO arriving while acme is away are saved at the stop and
// offered once after the restart. Then, both ends independent of the daemon,
// Perl's Net::SMPP submits through it to the npm SMSC, which answers with its
// own id and sends the receipt.
TEST(UpstreamDaemonTest, BindsReportsRelaysMOAndReceiptsAcrossARestartAndToIndependentPeers) {
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
  TestDaemon daemon(configuration(smsc.port(), std::stoi(started.substr(5))),
                    knownMessageIds({"seed-1", "seed-2"}));
  ASSERT_TRUE(daemon.started()) << daemon.output();
  ASSERT_TRUE(daemon.waitForBoundSlots(3)) << node.output();
  const json report = json::parse(daemon.curl("POST", "/status"));
  ASSERT_EQ(report["statusReport"].size(), 3u) << report.dump();
  for (const json& slot : report["statusReport"]) {
    EXPECT_EQ(slot["connected"], true) << slot.dump();
    EXPECT_EQ(slot["admin_down"], false);
  }
  ASSERT_EQ(smsc.boundSessions().size(), 2u);
  for (const FakeSmsc::Session& s : smsc.boundSessions()) {
    EXPECT_EQ(s.systemId, "up");
    EXPECT_EQ(s.password, "upw");
  }
  const int upstream = smsc.boundSessions().front().connection;
  {
    SmppTestClient sender(daemon.port(), "127.0.0.2");
    SmppTestClient first(daemon.port(), "127.0.0.3");
    SmppTestClient second(daemon.port(), "127.0.0.4");
    ASSERT_TRUE(sender.bind(SMPP::BIND_TRANSMITTER, "acme", "pw").has_value());
    ASSERT_TRUE(first.bind(SMPP::BIND_RECEIVER, "acme", "pw").has_value());
    ASSERT_TRUE(second.bind(SMPP::BIND_RECEIVER, "acme", "pw").has_value());
    struct MO {
      const char* destination;
      const char* text;
      SmppTestClient* receiver;
    };
    for (const MO& mo : {MO{"4470", "hello", &first}, MO{"999", "STOP all", &second},
                         MO{"4470", "again", &first}}) {
      ASSERT_TRUE(smsc.sendMO(upstream, "447700900001", mo.destination, mo.text));
      std::optional<std::string> body = takeDelivery(*mo.receiver);
      ASSERT_TRUE(body) << "MO " << mo.text << " never reached its receiver";
      EXPECT_TRUE(contains(*body, mo.text)) << mo.destination;
    }
    // Nobody's number: answered upstream, delivered to nobody.
    smsc.sendMO(upstream, "447700900001", "12345", "lost");
    EXPECT_TRUE(smsc.waitForReceived(upstream, SMPP::DELIVER_SM_RESP, 4));
    EXPECT_FALSE(second.read(300ms).has_value());
    EXPECT_FALSE(sender.readUntil(SMPP::DELIVER_SM, 100ms).has_value());
    EXPECT_FALSE(first.readUntil(SMPP::DELIVER_SM, 100ms).has_value());
    const std::string metrics = daemon.curl("GET", "/metrics");
    EXPECT_TRUE(contains(metrics, "pelliro_smppDeliverSMMOTotal 4 ")) << metrics.substr(0, 2000);

    smsc.sendReceipt(upstream, "seed-1", "447700900001", "4470");
    std::optional<std::string> receipt = takeDelivery(second);  // the next receiver in turn
    ASSERT_TRUE(receipt);
    EXPECT_TRUE(contains(*receipt, "id:seed-1 ")) << *receipt;
    // Leaving in order: the acknowledgement is read before the session
    // ends. (A peer that just drops the connection may see a receipt again:
    // delivery is at least once.)
    for (SmppTestClient* client : {&sender, &first, &second}) {
      client->send(SMPP::UNBIND);
      EXPECT_TRUE(client->readUntil(SMPP::UNBIND_RESP).has_value());
    }
  }
  smsc.sendReceipt(upstream, "seed-2", "447700900001", "4470");
  smsc.sendMO(upstream, "447700900002", "4470", "while away");
  ASSERT_TRUE(smsc.waitForReceived(upstream, SMPP::DELIVER_SM_RESP, 7));
  ASSERT_TRUE(daemon.restart()) << daemon.output();
  ASSERT_TRUE(daemon.waitForBoundSlots(3));

  SmppTestClient acme(daemon.port(), "127.0.0.2");
  ASSERT_TRUE(acme.bind(SMPP::BIND_TRANSCEIVER, "acme", "pw").has_value());
  std::optional<std::string> first = takeDelivery(acme);
  std::optional<std::string> second = takeDelivery(acme);
  ASSERT_TRUE(first && second) << daemon.output();
  EXPECT_TRUE(contains(*first, "id:seed-2 ")) << *first;
  EXPECT_TRUE(contains(*second, "while away")) << *second;
  EXPECT_FALSE(acme.readUntil(SMPP::DELIVER_SM, 300ms).has_value()) << "delivered twice";

  const std::string script =
      "$s = Net::SMPP->new_transceiver('127.0.0.1', port => " + std::to_string(daemon.port()) +
      ", system_id => 'perl', password => 'pw', timeout => 10) or die 'bind';"
      "$r = $s->submit_sm(destination_addr => '447700900001', short_message => 'hi',"
      " registered_delivery => 1) or die 'submit';"
      "print \"id $r->{message_id} status $r->{status}\\n\";"
      "$d = $s->read_pdu() or die 'receipt';"
      "print \"receipt $d->{short_message}\\n\";"
      "$s->deliver_sm_resp(seq => $d->{seq}, message_id => '');";
  const std::string out = runCommand({"perl", "-MNet::SMPP", "-e", script});
  const std::string events = node.output();
  const size_t at = events.find("\nsubmit ");
  ASSERT_NE(at, std::string::npos) << out << events;
  const std::string id = events.substr(at + 8, events.find(' ', at + 8) - at - 8);
  EXPECT_TRUE(contains(out, "id " + id + " status 0\n")) << out;
  EXPECT_TRUE(contains(out, "receipt id:" + id + " ")) << out;
  ASSERT_TRUE(node.waitForOutput("deliver_sm_resp ")) << "the receipt was never acknowledged";
  EXPECT_TRUE(std::regex_search(node.output(), std::regex("\ndeliver_sm_resp \\d+ 0\n")))
      << node.output();
}

}  // namespace
