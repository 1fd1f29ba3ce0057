// The customer side of the real daemon: connections from several loopback
// addresses admitted or refused, and binds of all three kinds against
// generated configurations.

#include <crypt.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/daemon_process.h"
#include "tests/support/loopback.h"
#include "tests/support/smpp_test_client.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_daemon.h"

using namespace testing_support;
using nlohmann::json;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t kBindReceiver = 0x01;
constexpr uint32_t kBindTransmitter = 0x02;
constexpr uint32_t kBindTransceiver = 0x09;
constexpr uint32_t kQuerySM = 0x03;
constexpr uint32_t kSubmitSM = 0x04;
constexpr uint32_t kCancelSM = 0x08;
constexpr uint32_t kEnquireLink = 0x15;

std::string runCommand(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return out;
  char buf[512];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

// A bcrypt hash made by a real bcrypt tool (Apache's htpasswd) when it is
// installed, else by the system crypt library.
std::string bcryptHash(const std::string& password) {
  std::string line = runCommand("htpasswd -nbBC 10 u '" + password + "' 2>/dev/null");
  size_t colon = line.find(':');
  if (colon != std::string::npos) {
    std::string hash = line.substr(colon + 1);
    while (!hash.empty() && (hash.back() == '\n' || hash.back() == '\r')) hash.pop_back();
    if (hash.rfind("$2", 0) == 0) return hash;
  }
  auto area = std::make_unique<crypt_data>();
  char salt[CRYPT_GENSALT_OUTPUT_SIZE];
  crypt_gensalt_rn("$2b$", 10, nullptr, 0, salt, sizeof salt);
  return crypt_r(password.c_str(), salt, area.get());
}

// The daemon with these customers, no targets, and these "base" settings.
class Daemon : public TestDaemon {
 public:
  Daemon(const json& esmes, json base = json::object(), const std::string& whitelist = "")
      : TestDaemon({{"base", base}, {"esme", esmes}},
                   whitelist.empty() ? Files{} : Files{{"ipwhitelist.conf", whitelist}}) {}
};

// "VantrelSMSC" NUL, then sc_interface_version for a 0x34 bind.
const std::string kBindOkBody = std::string("VantrelSMSC\0", 12) + std::string("\x02\x10\x00\x01\x34", 5);

// The status of the bind response, or -1 when none arrived.
int64_t bindStatus(SmppTestClient& client, uint32_t kind, const std::string& systemId,
                   const std::string& password) {
  auto resp = client.bind(kind, systemId, password);
  return resp.has_value() ? static_cast<int64_t>(resp->commandStatus) : -1;
}

// A bind that follows a refused one within the same read of the session is
// refused unseen; let the server finish that read first.
void letTheRefusalSettle() { std::this_thread::sleep_for(50ms); }

json esme(const std::string& id, json fields = json::object()) {
  fields["systemid"] = id;
  if (!fields.contains("sharedtargetsetid")) fields["sharedtargetsetid"] = "ts";
  return fields;
}

TEST(DownstreamDaemonTest, PlainPasswordBindsAsTransmitterReceiverAndTransceiver) {
  Daemon daemon(json::array({esme("plain", {{"password", "pw"}})}));
  ASSERT_TRUE(daemon.started()) << daemon.output();
  for (uint32_t kind : {kBindTransmitter, kBindReceiver, kBindTransceiver}) {
    SmppTestClient client(daemon.port(), "127.0.0.2");
    ASSERT_TRUE(client.connected());
    auto resp = client.bind(kind, "plain", "pw");
    ASSERT_TRUE(resp.has_value()) << kind;
    EXPECT_EQ(resp->commandId, kind | 0x80000000u);
    EXPECT_EQ(resp->commandStatus, 0u);
    EXPECT_EQ(resp->body, kBindOkBody);
    // Bound: enquire_link is answered and a second bind is "already bound".
    client.send(kEnquireLink);
    auto link = client.readUntil(0x80000015);
    ASSERT_TRUE(link.has_value());
    EXPECT_EQ(link->commandStatus, 0u);
    auto again = client.bind(kind, "plain", "pw");
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(again->commandStatus, 0x05u);
  }
  EXPECT_TRUE(daemon.waitForOutput("Using shared target set \"ts\" for ESME plain"));
}

TEST(DownstreamDaemonTest, WrongPasswordIsRefusedAndAGoodBindThenSucceedsOnTheSameConnection) {
  Daemon daemon(json::array({esme("plain", {{"password", "pw"}})}));
  ASSERT_TRUE(daemon.started());
  SmppTestClient client(daemon.port(), "127.0.0.2");
  auto refused = client.bind(kBindTransceiver, "plain", "nope");
  ASSERT_TRUE(refused.has_value());
  EXPECT_EQ(refused->commandId, 0x80000009u);
  EXPECT_EQ(refused->commandStatus, 0x0Du);
  EXPECT_TRUE(refused->body.empty());
  letTheRefusalSettle();
  auto good = client.bind(kBindTransceiver, "plain", "pw");
  ASSERT_TRUE(good.has_value());
  EXPECT_EQ(good->commandStatus, 0u);
  EXPECT_TRUE(daemon.waitForOutput(
      "Binding attempt rejected. Password incorrect for ESME plain IP 127.0.0.2"));
}

TEST(DownstreamDaemonTest, HashedPasswordBindsAndAWrongOneIsRefused) {
  Daemon daemon(json::array({esme("hashed", {{"password_hash", bcryptHash("h4sh-pw")}})}));
  ASSERT_TRUE(daemon.started());
  SmppTestClient client(daemon.port(), "127.0.0.3");
  auto refused = client.bind(kBindTransmitter, "hashed", "wrong");
  ASSERT_TRUE(refused.has_value());
  EXPECT_EQ(refused->commandStatus, 0x0Du);
  letTheRefusalSettle();
  auto good = client.bind(kBindReceiver, "hashed", "h4sh-pw");
  ASSERT_TRUE(good.has_value());
  EXPECT_EQ(good->commandId, 0x80000001u);
  EXPECT_EQ(good->commandStatus, 0u);
  // A second connection with the same password is answered from memory.
  SmppTestClient second(daemon.port(), "127.0.0.3");
  auto fast = second.bind(kBindTransceiver, "hashed", "h4sh-pw");
  ASSERT_TRUE(fast.has_value());
  EXPECT_EQ(fast->commandStatus, 0u);
  EXPECT_TRUE(daemon.waitForOutput(
      "Binding attempt rejected. Password hash mismatch for ESME hashed IP 127.0.0.3"));
}

TEST(DownstreamDaemonTest, DisabledAndUnconfiguredCustomers) {
  Daemon daemon(json::array({esme("off", {{"password", "pw"}, {"binding_enabled", false}})}));
  ASSERT_TRUE(daemon.started());
  SmppTestClient client(daemon.port(), "127.0.0.2");
  auto off = client.bind(kBindTransceiver, "off", "pw");
  ASSERT_TRUE(off.has_value());
  EXPECT_EQ(off->commandStatus, 0x0Du);
  letTheRefusalSettle();
  auto stranger = client.bind(kBindTransceiver, "stranger", "anything");
  ASSERT_TRUE(stranger.has_value());
  EXPECT_EQ(stranger->commandStatus, 0u);
  EXPECT_TRUE(daemon.waitForOutput("Binding attempt rejected. Binding disabled for ESME off IP 127.0.0.2"));
  EXPECT_TRUE(daemon.waitForOutput("Using shared target set \"default\" for ESME stranger"));
}

TEST(DownstreamDaemonTest, QueryCancelAndSubmitAreRefusedAfterBind) {
  Daemon daemon(json::array({esme("plain", {{"password", "pw"}})}));
  ASSERT_TRUE(daemon.started());
  SmppTestClient client(daemon.port(), "127.0.0.2");
  ASSERT_EQ(bindStatus(client, kBindTransceiver, "plain", "pw"), 0);
  client.send(kQuerySM, SmppTestClient::cString("abc") + std::string("\0\0", 2) +
                            SmppTestClient::cString(""));
  auto query = client.readUntil(0x80000003);
  ASSERT_TRUE(query.has_value());
  EXPECT_EQ(query->commandStatus, 0x67u);
  std::string cancel = SmppTestClient::cString("") + SmppTestClient::cString("abc") +
                       std::string("\0\0", 2) + SmppTestClient::cString("1") +
                       std::string("\0\0", 2) + SmppTestClient::cString("2");
  client.send(kCancelSM, cancel);
  auto cancelResp = client.readUntil(0x80000008);
  ASSERT_TRUE(cancelResp.has_value());
  EXPECT_EQ(cancelResp->commandStatus, 0x11u);
  std::string submit = SmppTestClient::cString("") + std::string("\x01\x01", 2) +
                       SmppTestClient::cString("4470000") + std::string("\x01\x01", 2) +
                       SmppTestClient::cString("4471111") + std::string(3, '\0') +
                       SmppTestClient::cString("") + SmppTestClient::cString("") +
                       std::string(4, '\0') + std::string("\x02hi", 3);
  client.send(kSubmitSM, submit);
  auto submitResp = client.readUntil(0x80000004);
  ASSERT_TRUE(submitResp.has_value());
  EXPECT_EQ(submitResp->commandStatus, 0x45u);
}

TEST(DownstreamDaemonTest, SigtermClosesEverySessionAndStops) {
  Daemon daemon(json::array());
  ASSERT_TRUE(daemon.started());
  SmppTestClient a(daemon.port(), "127.0.0.2");
  ASSERT_TRUE(a.bind(kBindTransceiver, "x", "").has_value());
  EXPECT_EQ(daemon.process().stop(SIGTERM), 0);
  EXPECT_TRUE(a.waitClosed());
  std::string out = daemon.output();
  EXPECT_NE(out.find("SIGINT/SIGTERM (15)"), std::string::npos);
  EXPECT_NE(out.find("No longer listening on port " + std::to_string(daemon.port())),
            std::string::npos);
  EXPECT_NE(out.find("Stopped Dravnik"), std::string::npos);
  EXPECT_TRUE(daemon.dir().exists("msgtrack"));
}

// Interoperability with an SMPP client written independently of this code.
TEST(DownstreamDaemonTest, PerlNetSMPPBindsEnquiresAndUnbinds) {
  if (runCommand("perl -MNet::SMPP -e 'print qq(ok)' 2>/dev/null") != "ok")
    GTEST_SKIP() << "Net::SMPP (libnet-smpp-perl) is not installed";
  Daemon daemon(json::array({esme("plain", {{"password", "pw"}}),
                             esme("hashed", {{"password_hash", bcryptHash("hpw")}})}));
  ASSERT_TRUE(daemon.started());
  std::string script = std::string(PELLIRO_SOURCE_DIR) + "/tests/downstream/net_smpp_bind.pl";
  std::string port = std::to_string(daemon.port());
  for (const char* mode : {"transmitter", "receiver", "transceiver"}) {
    std::string out = runCommand("perl " + script + " " + port + " plain pw " + mode);
    EXPECT_EQ(out, "bind OK\nsystem_id VantrelSMSC\nenquire_link 0\nunbind 0\n") << mode;
  }
  EXPECT_EQ(runCommand("perl " + script + " " + port + " hashed hpw transceiver"),
            "bind OK\nsystem_id VantrelSMSC\nenquire_link 0\nunbind 0\n");
  EXPECT_EQ(runCommand("perl " + script + " " + port + " plain wrong transceiver"), "bind FAILED 13\n");
}

}  // namespace
