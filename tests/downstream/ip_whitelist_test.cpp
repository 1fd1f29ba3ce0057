#include "downstream/ip_whitelist.h"

#include <gtest/gtest.h>

#include <sstream>

#include "tests/support/temp_dir.h"

using testing_support::TempDir;

namespace {

using namespace std::chrono_literals;

TEST(IPWhitelistTest, ParserTrimsSkipsCommentsAndKeepsDottedQuadsAndStar) {
  std::istringstream in(
      "  10.0.0.1 \r\n"
      "\t# 10.0.0.2\n"
      "\n"
      "192.168.001.1\n"
      "host.example\n"
      "10.0.0\n"
      "1.2.3.4.5\n"
      "1234.1.1.1\n"
      "1.2.3.\n"
      "a1.2.3.4\n"
      "999.1.1.1\n"
      "*\n"
      "   \t \r\n");
  std::set<std::string> entries = IPWhitelist::parse(in);
  EXPECT_EQ(entries, (std::set<std::string>{"10.0.0.1", "192.168.001.1", "999.1.1.1", "*"}));
}

TEST(IPWhitelistTest, FileIsReadAtFirstUseAndAgainOnlyAfterFifteenSeconds) {
  TempDir dir;
  dir.write("ipwhitelist.conf", "127.0.0.2\n127.0.0.3\n");
  IPWhitelist whitelist;
  whitelist.setFileName(dir.file("ipwhitelist.conf"));
  auto t0 = std::chrono::steady_clock::time_point{} + 1000s;

  testing::internal::CaptureStdout();
  EXPECT_TRUE(whitelist.contains("127.0.0.2", t0));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("SMPPServer::loadIPWhitelist Added IP 127.0.0.2"), std::string::npos);
  EXPECT_NE(out.find("SMPPServer::loadIPWhitelist Added IP 127.0.0.3"), std::string::npos);
  EXPECT_FALSE(whitelist.contains("127.0.0.4", t0));

  dir.write("ipwhitelist.conf", "127.0.0.3\n127.0.0.4\n");
  EXPECT_TRUE(whitelist.contains("127.0.0.2", t0 + 14s));
  EXPECT_FALSE(whitelist.contains("127.0.0.4", t0 + 14s));

  testing::internal::CaptureStdout();
  EXPECT_TRUE(whitelist.contains("127.0.0.4", t0 + 15s));
  out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Added IP 127.0.0.4"), std::string::npos);
  EXPECT_NE(out.find("Removed IP 127.0.0.2"), std::string::npos);
  EXPECT_EQ(out.find("Added IP 127.0.0.3"), std::string::npos);
  EXPECT_FALSE(whitelist.contains("127.0.0.2", t0 + 16s));
}

TEST(IPWhitelistTest, MissingFileKeepsTheListAndIsTriedAgainAtTheNextConnection) {
  TempDir dir;
  IPWhitelist whitelist;
  whitelist.addWhitelistIP(" 10.9.9.9\t\n");
  whitelist.setFileName(dir.file("ipwhitelist.conf"));
  auto t0 = std::chrono::steady_clock::time_point{} + 1000s;
  EXPECT_TRUE(whitelist.contains("10.9.9.9", t0));
  dir.write("ipwhitelist.conf", "10.8.8.8\n");
  // No successful load yet, so the very next connection reads the file.
  EXPECT_TRUE(whitelist.contains("10.8.8.8", t0 + 1s));
  EXPECT_FALSE(whitelist.contains("10.9.9.9", t0 + 1s));
}

TEST(IPWhitelistTest, StarTrustsEveryAddress) {
  TempDir dir;
  dir.write("ipwhitelist.conf", "*\n");
  IPWhitelist whitelist;
  whitelist.setFileName(dir.file("ipwhitelist.conf"));
  auto t0 = std::chrono::steady_clock::time_point{} + 1000s;
  EXPECT_TRUE(whitelist.contains("8.8.8.8", t0));
  EXPECT_TRUE(whitelist.contains("127.0.0.9", t0));
}

TEST(IPWhitelistTest, WithoutFileNameOnlyAddedAddressesCount) {
  IPWhitelist whitelist;
  auto t0 = std::chrono::steady_clock::time_point{} + 1000s;
  EXPECT_FALSE(whitelist.contains("10.0.0.1", t0));
  whitelist.addWhitelistIP("10.0.0.1\r\n");
  EXPECT_TRUE(whitelist.contains("10.0.0.1", t0));
  EXPECT_EQ(whitelist.entries(), std::vector<std::string>{"10.0.0.1"});
}

TEST(IPWhitelistTest, TrimRemovesOnlySurroundingBlanks) {
  EXPECT_EQ(trimBlanks(" \t a b \r\n"), "a b");
  EXPECT_EQ(trimBlanks(" \t\r\n"), "");
  EXPECT_EQ(trimBlanks("x"), "x");
}

}  // namespace
