// Who may connect: the internal networks, the allowed-address entries of a
// customer, the whitelist file, and the admission verdicts on the loop's
// clock (flood, prefix, unsent bytes, connections that never bind, limits).
#include "downstream/connection_admission.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "downstream/address_rules.h"
#include "downstream/ip_whitelist.h"
#include "tests/support/temp_dir.h"

namespace {

using Verdict = ConnectionAdmission::Verdict;

constexpr uint64_t kStart = 5000000000ULL;
constexpr uint64_t kSecond = 1000000;

TEST(AddressRulesTest, OnlyTheTwoInternalNetworksAreInternal) {
  const std::pair<const char*, bool> cases[] = {
      {"172.30.0.1", true},      {"172.30.255.254", true}, {"172.31.0.0", true},
      {"172.31.200.7", true},    {"81.172.30.4", false},   {"10.172.31.5", false},
      {"172.29.255.255", false}, {"172.32.0.1", false},    {"127.0.0.1", false},
      {"172.3O.1.1", false},     {"", false}};
  for (const auto& [address, internal] : cases)
    EXPECT_EQ(isInternalAddress(address), internal) << address;
}

TEST(AddressRulesTest, AllowedEntriesAdmitTheirOwnAddressesOnly) {
  // entry, address, admitted
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"192.168.1.0/24", "192.168.1.77", true}, {"192.168.1.0/24", "192.168.1.0", true},
      {"192.168.1.0/24", "192.168.2.1", false}, {"10.0.0.0/8", "10.200.3.4", true},
      {"10.0.0.0/8", "11.0.0.1", false},        {"127.0.0.2/31", "127.0.0.3", true},
      {"127.0.0.2/31", "127.0.0.4", false},     {"10.1.2.3", "10.1.2.3", true},
      {"10.1.2.3", "10.1.2.4", false},          {"10.1.2.3/32", "10.1.2.3", true},
      {"10.1.2.3/32", "10.1.2.2", false},       {"0.0.0.0/0", "1.2.3.4", false},
      {"0.0.0.0/0", "0.0.0.0", false},          {"10.1.2.3/33", "10.1.2.3", false},
      {"10.1.2.3/-8", "10.1.2.3", false},       {"10.1.2.3/99999999999999999999", "10.1.2.3", false},
      {"10.1.2.3/abc", "10.1.2.3", false},      {"localhost", "127.0.0.1", false},
      {"10.1.2.3", "not-an-ip", false},         {"", "10.1.2.3", false}};
  for (const auto& [entry, address, admitted] : cases)
    EXPECT_EQ(allowedIPMatches(entry, address), admitted) << entry << " " << address;
}

// One connection attempt (or `repeat` alike, "#" in the address replaced by
// the attempt's index), or with `probe` only a look at whether the address is
// blocked at that time.
struct Step {
  const char* address;
  uint64_t at;  // after kStart
  Verdict verdict;
  int repeat = 1;
  int addressConnections = 0;
  size_t totalConnections = 0;
  int bytesWaiting = 0;
  bool whitelisted = false;
  int unboundBefore = 0;  // earlier connections of the address that ended without a bind
  bool probe = false;
};

struct AdmissionCase {
  const char* name;
  std::vector<Step> steps;
  bool whitelistOnly = false;
};

const AdmissionCase kAdmissionCases[] = {
    {"ten attempts in a window pass, the eleventh blocks for 130 s and each further one adds 5 s",
     {{.address = "127.0.0.2", .at = 0, .verdict = Verdict::Accept, .repeat = 10},
      {.address = "127.0.0.2", .at = 1000, .verdict = Verdict::Blocked, .repeat = 3},
      {.address = "127.0.0.3", .at = 2000, .verdict = Verdict::Accept},
      {.address = "127.0.0.2", .at = 139 * kSecond, .verdict = Verdict::Blocked, .probe = true},
      {.address = "127.0.0.2", .at = 140 * kSecond + 1000, .verdict = Verdict::Accept, .probe = true}}},
    {"attempt counters start afresh every ten seconds",
     {{.address = "127.0.0.2", .at = 0, .verdict = Verdict::Accept, .repeat = 10},
      {.address = "127.0.0.2", .at = 10 * kSecond + 1, .verdict = Verdict::Accept, .repeat = 10},
      {.address = "127.0.0.2", .at = 11 * kSecond, .verdict = Verdict::Blocked}}},
    {"an expired block is lifted at the next connection and a new flood blocks again",
     {{.address = "127.0.0.2", .at = 0, .verdict = Verdict::Accept, .repeat = 10},
      {.address = "127.0.0.2", .at = 0, .verdict = Verdict::Blocked},
      {.address = "127.0.0.2", .at = 131 * kSecond, .verdict = Verdict::Accept, .repeat = 10},
      {.address = "127.0.0.2", .at = 132 * kSecond, .verdict = Verdict::Blocked}}},
    {"26 attempts from one prefix block its address, another prefix is free",
     {{.address = "10.20.#.1", .at = 0, .verdict = Verdict::Accept, .repeat = 25},
      {.address = "10.20.99.1", .at = 0, .verdict = Verdict::Blocked},
      {.address = "10.21.0.1", .at = 0, .verdict = Verdict::Accept}}},
    {"internal networks escape the flood and address limits, look-alikes do not",
     {{.address = "172.30.4.5", .at = 0, .verdict = Verdict::Accept, .repeat = 30, .addressConnections = 25},
      {.address = "172.31.0.9", .at = 0, .verdict = Verdict::Accept, .addressConnections = 20},
      {.address = "81.172.30.4", .at = 0, .verdict = Verdict::AddressLimit, .addressConnections = 20},
      {.address = "81.172.30.4", .at = 0, .verdict = Verdict::Accept, .repeat = 9},
      {.address = "81.172.30.4", .at = 0, .verdict = Verdict::Blocked}}},
    {"the twenty-first connection from one address is denied",
     {{.address = "127.0.0.2", .at = 0, .verdict = Verdict::Accept, .addressConnections = 19},
      {.address = "127.0.0.2", .at = 0, .verdict = Verdict::AddressLimit, .addressConnections = 20}}},
    {"the thousandth open connection refuses the next",
     {{.address = "127.0.0.2", .at = 0, .verdict = Verdict::Accept, .totalConnections = 999},
      {.address = "127.0.0.2", .at = 0, .verdict = Verdict::TotalLimit, .totalConnections = 1000}}},
    {"whitelisted addresses are exempt from every limit",
     {{.address = "127.0.0.5", .at = 0, .verdict = Verdict::Accept, .repeat = 15,
       .addressConnections = 50, .whitelisted = true}}},
    {"more than 300 waiting bytes block even internal addresses for 300 s",
     {{.address = "172.30.0.8", .at = 0, .verdict = Verdict::Blocked, .bytesWaiting = 301},
      {.address = "172.30.0.8", .at = 299 * kSecond, .verdict = Verdict::Blocked, .probe = true},
      {.address = "172.30.0.8", .at = 301 * kSecond, .verdict = Verdict::Accept},
      {.address = "127.0.0.2", .at = 301 * kSecond, .verdict = Verdict::Accept, .bytesWaiting = 300}}},
    {"three connections ending unbound block the next for 300 s",
     {{.address = "127.0.0.7", .at = 0, .verdict = Verdict::Accept},
      {.address = "127.0.0.7", .at = kSecond, .verdict = Verdict::Blocked, .bytesWaiting = 12,
       .unboundBefore = 3},
      {.address = "127.0.0.7", .at = 300 * kSecond, .verdict = Verdict::Blocked, .probe = true},
      {.address = "127.0.0.7", .at = 301 * kSecond, .verdict = Verdict::Accept, .probe = true}}},
    {"unbound connections older than the window are forgotten",
     {{.address = "127.0.0.7", .at = 0, .verdict = Verdict::Accept},
      {.address = "127.0.0.7", .at = 11 * kSecond, .verdict = Verdict::Accept, .unboundBefore = 3}}},
    {"the unbound rule spares internal addresses",
     {{.address = "172.31.1.1", .at = 0, .verdict = Verdict::Accept, .unboundBefore = 5}}},
    {"whitelist-only mode refuses every untrusted address",
     {{.address = "127.0.0.2", .at = 0, .verdict = Verdict::NotWhitelisted},
      {.address = "172.30.9.9", .at = 0, .verdict = Verdict::Accept},
      {.address = "127.0.0.3", .at = 0, .verdict = Verdict::Accept, .whitelisted = true}},
     true},
};

TEST(ConnectionAdmissionTest, VerdictsFollowTheRulesOfEachAddress) {
  testing::internal::CaptureStdout();
  for (const AdmissionCase& c : kAdmissionCases) {
    ConnectionAdmission admission;
    admission.setWhitelistOnly(c.whitelistOnly);
    for (size_t n = 0; n < c.steps.size(); ++n) {
      const Step& s = c.steps[n];
      for (int u = 0; u < s.unboundBefore; ++u) admission.notifyBindAttemptNotReceived(s.address);
      for (int i = 0; i < s.repeat; ++i) {
        ConnectionAdmission::Request r{s.address, 9, s.bytesWaiting, s.whitelisted,
                                       s.totalConnections, s.addressConnections};
        if (const size_t hash = r.address.find('#'); hash != std::string::npos)
          r.address.replace(hash, 1, std::to_string(i));
        if (s.probe)
          EXPECT_EQ(admission.isBlocked(r.address, kStart + s.at), s.verdict == Verdict::Blocked)
              << c.name << ", step " << n;
        else
          EXPECT_EQ(admission.decide(r, kStart + s.at), s.verdict)
              << c.name << ", step " << n << ", attempt " << i;
      }
    }
  }
  testing::internal::GetCapturedStdout();
}

// Scans from many addresses must not grow the block list without bound; a
// returning address within the hour still has its block's end reported.
TEST(ConnectionAdmissionTest, BlocksOfAddressesThatNeverReturnAreForgottenAfterAnHour) {
  ConnectionAdmission admission;
  testing::internal::CaptureStdout();
  const uint64_t later = kStart + 2000 * kSecond;
  for (int i = 0; i < 11; ++i) admission.decide({.address = "127.0.0.2"}, kStart + i);
  for (int i = 0; i < 11; ++i) admission.decide({.address = "127.0.0.3"}, later + i);
  ASSERT_EQ(admission.blockListSize(), 2u);
  admission.decide({.address = "127.0.0.4"}, kStart + (130 + 3600 + 1) * kSecond);
  EXPECT_EQ(admission.blockListSize(), 1u);
  testing::internal::GetCapturedStdout();
  testing::internal::CaptureStdout();
  EXPECT_EQ(admission.decide({.address = "127.0.0.3"}, kStart + 2200 * kSecond), Verdict::Accept);
  EXPECT_NE(testing::internal::GetCapturedStdout().find(
                "Expired blocking of connect atempts from [127.0.0.3]"),
            std::string::npos);
}

TEST(IPWhitelistTest, ParserTrimsSkipsCommentsAndKeepsDottedQuadsAndStar) {
  std::istringstream in(
      "  10.0.0.1 \r\n\t# 10.0.0.2\n\n192.168.001.1\nhost.example\n10.0.0\n1.2.3.4.5\n"
      "1234.1.1.1\n1.2.3.\na1.2.3.4\n999.1.1.1\n*\n   \t \r\n");
  EXPECT_EQ(IPWhitelist::parse(in),
            (std::set<std::string>{"10.0.0.1", "192.168.001.1", "999.1.1.1", "*"}));
}

// The file is read at first use and again only 15 s after the last load;
// a file that could not be read is tried again at the next connection.
TEST(IPWhitelistTest, FileIsReadAtFirstUseAndAgainOnlyAfterFifteenSeconds) {
  using namespace std::chrono_literals;
  const auto t0 = std::chrono::steady_clock::time_point{} + 1000s;
  testing_support::TempDir dir;
  IPWhitelist whitelist;
  whitelist.addWhitelistIP(" 10.9.9.9\t\n");
  whitelist.setFileName(dir.file("ipwhitelist.conf"));
  testing::internal::CaptureStdout();
  EXPECT_TRUE(whitelist.contains("10.9.9.9", t0)) << "missing file keeps the list";
  dir.write("ipwhitelist.conf", "127.0.0.2\n127.0.0.3\n");
  EXPECT_TRUE(whitelist.contains("127.0.0.2", t0 + 1s));
  EXPECT_FALSE(whitelist.contains("10.9.9.9", t0 + 1s));
  EXPECT_FALSE(whitelist.contains("127.0.0.4", t0 + 1s));
  dir.write("ipwhitelist.conf", "127.0.0.3\n*\n");
  EXPECT_TRUE(whitelist.contains("127.0.0.2", t0 + 15s));
  EXPECT_FALSE(whitelist.contains("8.8.8.8", t0 + 15s));
  testing::internal::GetCapturedStdout();
  testing::internal::CaptureStdout();
  EXPECT_TRUE(whitelist.contains("8.8.8.8", t0 + 16s)) << "a star trusts every address";
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("SMPPServer::loadIPWhitelist Removed IP 127.0.0.2"), std::string::npos) << out;
  EXPECT_EQ(out.find("Added IP 127.0.0.3"), std::string::npos) << out;
}

}  // namespace
