#include "downstream/ip_whitelist.h"

#include <gtest/gtest.h>

#include <sstream>

#include "tests/support/temp_dir.h"

using testing_support::TempDir;
using namespace std::chrono_literals;

namespace {

const auto t0 = std::chrono::steady_clock::time_point{} + 1000s;

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
  TempDir dir;
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
