#include "downstream/connection_admission.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using Verdict = ConnectionAdmission::Verdict;

constexpr uint64_t kStart = 5000000000ULL;
constexpr uint64_t kSecond = 1000000;

size_t countOccurrences(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) ++n;
  return n;
}

ConnectionAdmission::Request from(const std::string& address, int fd = 9) {
  ConnectionAdmission::Request r;
  r.address = address;
  r.fd = fd;
  return r;
}

TEST(ConnectionAdmissionTest, TenAttemptsPassAndTheEleventhBlocksFor130Seconds) {
  ConnectionAdmission admission;
  for (int i = 0; i < 10; ++i)
    EXPECT_EQ(admission.decide(from("127.0.0.2"), kStart + i * 1000), Verdict::Accept) << i;
  testing::internal::CaptureStdout();
  EXPECT_EQ(admission.decide(from("127.0.0.2", 17), kStart + 10000), Verdict::Blocked);
  EXPECT_EQ(admission.decide(from("127.0.0.2", 18), kStart + 20000), Verdict::Blocked);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("SMPPServer::run BLOCKING connection for 130.0s - 17 [127.0.0.2]"),
            std::string::npos);
  EXPECT_EQ(countOccurrences(out, "BLOCKING connection"), 1u);
  EXPECT_TRUE(admission.isBlocked("127.0.0.2", kStart + 10000 + 129 * kSecond));
  // Other addresses are unaffected.
  EXPECT_EQ(admission.decide(from("127.0.0.3"), kStart + 30000), Verdict::Accept);
}

TEST(ConnectionAdmissionTest, FurtherFloodAttemptsExtendTheBlockByFiveSeconds) {
  ConnectionAdmission admission;
  for (int i = 0; i < 11; ++i) admission.decide(from("127.0.0.2"), kStart);
  admission.decide(from("127.0.0.2"), kStart);
  admission.decide(from("127.0.0.2"), kStart);
  // Blocked at kStart for 130 s, then extended twice by 5 s.
  EXPECT_TRUE(admission.isBlocked("127.0.0.2", kStart + 139 * kSecond));
  EXPECT_FALSE(admission.isBlocked("127.0.0.2", kStart + 140 * kSecond));
}

TEST(ConnectionAdmissionTest, ExpiredBlockIsLiftedAtTheNextConnection) {
  ConnectionAdmission admission;
  for (int i = 0; i < 11; ++i) admission.decide(from("127.0.0.2"), kStart);
  testing::internal::CaptureStdout();
  EXPECT_EQ(admission.decide(from("127.0.0.2"), kStart + 131 * kSecond), Verdict::Accept);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Expired blocking of connect atempts from [127.0.0.2]"), std::string::npos);
  // The refusal log line is shown again for the next block.
  for (int i = 0; i < 9; ++i) admission.decide(from("127.0.0.2"), kStart + 132 * kSecond);
  testing::internal::CaptureStdout();
  EXPECT_EQ(admission.decide(from("127.0.0.2"), kStart + 132 * kSecond), Verdict::Blocked);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("BLOCKING connection for 130.0s"),
            std::string::npos);
}

TEST(ConnectionAdmissionTest, BlocksOfAddressesThatNeverReturnAreForgottenAfterAnHour) {
  ConnectionAdmission admission;
  for (int i = 0; i < 11; ++i) admission.decide(from("127.0.0.2"), kStart + i);
  for (int i = 0; i < 11; ++i) admission.decide(from("127.0.0.3"), kStart + 2000 * kSecond + i);
  ASSERT_EQ(admission.blockListSize(), 2u);
  // The first block ended just after kStart + 130 s; an hour later, while the
  // second is still remembered, other traffic sweeps the first away.
  admission.decide(from("127.0.0.4"), kStart + (130 + 3600 + 1) * kSecond);
  EXPECT_EQ(admission.blockListSize(), 1u);
  testing::internal::CaptureStdout();
  Verdict returning = admission.decide(from("127.0.0.3"), kStart + 2200 * kSecond);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(returning, Verdict::Accept);
  EXPECT_EQ(countOccurrences(out, "Expired blocking of connect atempts from [127.0.0.3]"), 1u);
}

TEST(ConnectionAdmissionTest, AttemptCountersStartAfreshEveryTenSeconds) {
  ConnectionAdmission admission;
  for (int i = 0; i < 10; ++i) admission.decide(from("127.0.0.2"), kStart);
  EXPECT_EQ(admission.decide(from("127.0.0.2"), kStart + 10 * kSecond + 1), Verdict::Accept);
  for (int i = 0; i < 9; ++i)
    EXPECT_EQ(admission.decide(from("127.0.0.2"), kStart + 11 * kSecond), Verdict::Accept);
  EXPECT_EQ(admission.decide(from("127.0.0.2"), kStart + 11 * kSecond), Verdict::Blocked);
}

TEST(ConnectionAdmissionTest, TwentySixAttemptsFromOnePrefixBlockTheLastAddress) {
  ConnectionAdmission admission;
  for (int i = 0; i < 25; ++i)
    EXPECT_EQ(admission.decide(from("10.20." + std::to_string(i) + ".1"), kStart), Verdict::Accept);
  EXPECT_EQ(admission.decide(from("10.20.99.1"), kStart), Verdict::Blocked);
  EXPECT_EQ(admission.decide(from("10.21.0.1"), kStart), Verdict::Accept);
}

TEST(ConnectionAdmissionTest, InternalAddressesEscapeFloodAndAddressLimits) {
  ConnectionAdmission admission;
  for (int i = 0; i < 30; ++i) {
    auto r = from("172.30.4.5");
    r.addressConnections = i;
    EXPECT_EQ(admission.decide(r, kStart), Verdict::Accept) << i;
  }
  auto r = from("172.31.0.9");
  r.addressConnections = 20;
  EXPECT_EQ(admission.decide(r, kStart), Verdict::Accept);
}

TEST(ConnectionAdmissionTest, AddressesThatOnlyContainInternalTextAreNotTrusted) {
  ConnectionAdmission admission;
  auto r = from("81.172.30.4");
  r.addressConnections = 20;
  testing::internal::CaptureStdout();
  EXPECT_EQ(admission.decide(r, kStart), Verdict::AddressLimit);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("DENYING connection - 9 [81.172.30.4]"),
            std::string::npos);
  for (int i = 0; i < 9; ++i) admission.decide(from("81.172.30.4"), kStart);
  EXPECT_EQ(admission.decide(from("81.172.30.4"), kStart), Verdict::Blocked);
}

TEST(ConnectionAdmissionTest, TwentyFirstConnectionFromOneAddressIsDenied) {
  ConnectionAdmission admission;
  auto r = from("127.0.0.2");
  r.addressConnections = 19;
  EXPECT_EQ(admission.decide(r, kStart), Verdict::Accept);
  r.addressConnections = 20;
  EXPECT_EQ(admission.decide(r, kStart + 11 * kSecond), Verdict::AddressLimit);
  admission.setMaxConnectionsPerIp(25);
  EXPECT_EQ(admission.decide(r, kStart + 11 * kSecond), Verdict::Accept);
}

TEST(ConnectionAdmissionTest, WhitelistedAddressIsLoggedAndExemptFromLimits) {
  ConnectionAdmission admission;
  auto r = from("127.0.0.5");
  r.whitelisted = true;
  r.addressConnections = 50;
  testing::internal::CaptureStdout();
  for (int i = 0; i < 15; ++i) EXPECT_EQ(admission.decide(r, kStart), Verdict::Accept);
  EXPECT_NE(testing::internal::GetCapturedStdout().find(
                "Connection from whitelisted IP - do not block [127.0.0.5]"),
            std::string::npos);
}

TEST(ConnectionAdmissionTest, MoreThanThreeHundredWaitingBytesBlockEvenTrustedAddresses) {
  ConnectionAdmission admission;
  auto r = from("172.30.0.8");
  r.bytesWaiting = 301;
  testing::internal::CaptureStdout();
  EXPECT_EQ(admission.decide(r, kStart), Verdict::Blocked);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Connection IP blocked due to excessive number of bytes [172.30.0.8] "
                     "[byte to read=301]"),
            std::string::npos);
  EXPECT_NE(out.find("BLOCKING connection for 300.0s"), std::string::npos);
  EXPECT_TRUE(admission.isBlocked("172.30.0.8", kStart + 299 * kSecond));
  EXPECT_EQ(admission.decide(from("172.30.0.8"), kStart + 301 * kSecond), Verdict::Accept);

  r = from("127.0.0.2");
  r.bytesWaiting = 300;
  EXPECT_EQ(admission.decide(r, kStart + 301 * kSecond), Verdict::Accept);
}

TEST(ConnectionAdmissionTest, ThreeConnectionsWithoutBindBlockTheNextFor300Seconds) {
  ConnectionAdmission admission;
  EXPECT_EQ(admission.decide(from("127.0.0.7"), kStart), Verdict::Accept);
  testing::internal::CaptureStdout();
  admission.notifyBindAttemptNotReceived("127.0.0.7");
  admission.notifyBindAttemptNotReceived("127.0.0.7");
  admission.notifyBindAttemptNotReceived("127.0.0.7");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("notifyEvent_ESMEBindAttemptNotReceived IP 127.0.0.7 count=3"),
            std::string::npos);
  testing::internal::CaptureStdout();
  auto r = from("127.0.0.7");
  r.bytesWaiting = 12;
  EXPECT_EQ(admission.decide(r, kStart + kSecond), Verdict::Blocked);
  out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Connection IP blocked due to no bind request for 3 connection attempts "
                     "[127.0.0.7] [byte to read=12]"),
            std::string::npos);
  EXPECT_TRUE(admission.isBlocked("127.0.0.7", kStart + 300 * kSecond));
  EXPECT_FALSE(admission.isBlocked("127.0.0.7", kStart + 301 * kSecond));
}

TEST(ConnectionAdmissionTest, NoBindReportsOlderThanTheWindowAreForgotten) {
  ConnectionAdmission admission;
  admission.decide(from("127.0.0.7"), kStart);
  admission.notifyBindAttemptNotReceived("127.0.0.7");
  admission.notifyBindAttemptNotReceived("127.0.0.7");
  admission.notifyBindAttemptNotReceived("127.0.0.7");
  EXPECT_EQ(admission.decide(from("127.0.0.7"), kStart + 11 * kSecond), Verdict::Accept);
  EXPECT_EQ(admission.noBindCount("127.0.0.7"), 0);
}

TEST(ConnectionAdmissionTest, NoBindRuleDoesNotApplyToTrustedAddresses) {
  ConnectionAdmission admission;
  for (int i = 0; i < 5; ++i) admission.notifyBindAttemptNotReceived("172.31.1.1");
  EXPECT_EQ(admission.decide(from("172.31.1.1"), kStart), Verdict::Accept);
}

TEST(ConnectionAdmissionTest, ThousandthOpenConnectionRejectsTheNext) {
  ConnectionAdmission admission;
  auto r = from("127.0.0.2", 44);
  r.totalConnections = 999;
  EXPECT_EQ(admission.decide(r, kStart), Verdict::Accept);
  r.totalConnections = 1000;
  testing::internal::CaptureStdout();
  EXPECT_EQ(admission.decide(r, kStart), Verdict::TotalLimit);
  EXPECT_NE(testing::internal::GetCapturedStdout().find(
                "Client connection limit reached. REJECTING connection - 44 [127.0.0.2]"),
            std::string::npos);
}

TEST(ConnectionAdmissionTest, WhitelistOnlyModeRefusesEveryUntrustedAddress) {
  ConnectionAdmission admission;
  admission.setWhitelistOnly(true);
  testing::internal::CaptureStdout();
  EXPECT_EQ(admission.decide(from("127.0.0.2", 12), kStart), Verdict::NotWhitelisted);
  EXPECT_NE(testing::internal::GetCapturedStdout().find(
                "IP not in whitelist. REJECTING connection - 12 [127.0.0.2]"),
            std::string::npos);
  EXPECT_EQ(admission.decide(from("172.30.9.9"), kStart), Verdict::Accept);
  auto r = from("127.0.0.3");
  r.whitelisted = true;
  EXPECT_EQ(admission.decide(r, kStart), Verdict::Accept);
}

}  // namespace
