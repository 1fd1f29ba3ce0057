#include "smpp/smpp_time.h"

#include <gtest/gtest.h>
#include <time.h>

namespace {

constexpr uint64_t kRef = 1706745599;  // 2024-01-31 23:59:59 UTC

TEST(SmppTime, AbsoluteTimes) {
  const std::pair<const char*, uint64_t> cases[] = {
      {"240131235959000+", kRef},
      {"240131235959004+", kRef - 3600},  // ahead of UTC: an earlier instant
      {"240131235959004-", kRef + 3600},
      {"240131235959004R", kRef},         // unknown sign: no offset
      {"690101000000000+", 3124224000},   // years below 70 are this century
      {"700101000001000+", 1},
      {"991231235959000+", 946684799},
      // Malformed or out of range: 0.
      {"", 0}, {"2401312359", 0}, {"24013123595900", 0}, {"24013123595900+", 0},
      {"2401312359x9000+", 0}, {"241331235959000+", 0}, {"240100235959000+", 0},
      {"240131245959000+", 0}, {"240131235959049+", 0}, {" 40131235959000+", 0},
  };
  for (const auto& [text, seconds] : cases) {
    EXPECT_EQ(SMPP::parseAbsoluteTime(text), seconds) << text;
  }
}

TEST(SmppTime, RelativeTimesCountDaysToSecondsAndIgnoreYearsAndMonths) {
  const std::pair<const char*, uint64_t> cases[] = {
      {"000001020304000R", 93784}, {"010200000010000R", 10},
      {"0000010203", 0},           {"00000102030x000R", 0}, {"", 0}};
  for (const auto& [text, seconds] : cases) {
    EXPECT_EQ(SMPP::parseRelativeTime(text), seconds) << text;
  }
}

TEST(SmppTime, FormatsAgreeWithTheCLibraryAcrossYears) {
  for (uint64_t s = 0; s < 4102444800ULL; s += 86400ULL * 97 + 3671) {
    time_t t = static_cast<time_t>(s);
    tm parts{};
    gmtime_r(&t, &parts);
    char expected[32];
    strftime(expected, sizeof expected, "%y%m%d%H%M%S000+", &parts);  // two-digit years: 1970-2069
    ASSERT_EQ(SMPP::formatAbsoluteTime(s * 1000000ULL + 987654), expected) << s;
    if (s < 3155760000ULL) {
      ASSERT_EQ(SMPP::parseAbsoluteTime(expected), s) << expected;
    }
    strftime(expected, sizeof expected, "%Y-%m-%dT%H:%M:%SZ", &parts);
    ASSERT_EQ(SMPP::formatIsoTime(s * 1000000000ULL + 999999999ULL), expected) << s;
  }
  EXPECT_EQ(SMPP::formatReceiptDate(kRef * 1000000ULL), "2401312359");
}

}  // namespace
