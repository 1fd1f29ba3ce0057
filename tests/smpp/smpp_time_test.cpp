#include "smpp/smpp_time.h"

#include <gtest/gtest.h>
#include <time.h>

namespace {

// 2024-01-31 23:59:59 UTC, computed independently through the C library.
uint64_t referenceInstant() {
  tm t{};
  t.tm_year = 124;
  t.tm_mon = 0;
  t.tm_mday = 31;
  t.tm_hour = 23;
  t.tm_min = 59;
  t.tm_sec = 59;
  return static_cast<uint64_t>(timegm(&t));
}

TEST(SmppTime, AbsoluteTimeWithZeroOffsetIsUtc) {
  EXPECT_EQ(SMPP::parseAbsoluteTime("240131235959000+"), referenceInstant());
  EXPECT_EQ(referenceInstant(), 1706745599u);
}

TEST(SmppTime, PositiveOffsetMeansEarlierUtcInstant) {
  EXPECT_EQ(SMPP::parseAbsoluteTime("240131235959004+"), referenceInstant() - 3600);
}

TEST(SmppTime, NegativeOffsetMeansLaterUtcInstant) {
  EXPECT_EQ(SMPP::parseAbsoluteTime("240131235959004-"), referenceInstant() + 3600);
}

TEST(SmppTime, UnknownSignAppliesNoOffset) {
  EXPECT_EQ(SMPP::parseAbsoluteTime("240131235959004R"), referenceInstant());
}

TEST(SmppTime, TwoDigitYearsBelowSeventyAreThisCentury) {
  EXPECT_EQ(SMPP::parseAbsoluteTime("690101000000000+"), 3124224000u);  // 2069-01-01
  EXPECT_EQ(SMPP::parseAbsoluteTime("700101000001000+"), 1u);           // 1970-01-01
  EXPECT_EQ(SMPP::parseAbsoluteTime("991231235959000+"), 946684799u);   // 1999-12-31
}

TEST(SmppTime, MalformedAbsoluteTimesGiveZero) {
  EXPECT_EQ(SMPP::parseAbsoluteTime(""), 0u);
  EXPECT_EQ(SMPP::parseAbsoluteTime("2401312359"), 0u);
  EXPECT_EQ(SMPP::parseAbsoluteTime("24013123595900"), 0u);       // no sign
  EXPECT_EQ(SMPP::parseAbsoluteTime("24013123595900+"), 0u);      // 15 characters
  EXPECT_EQ(SMPP::parseAbsoluteTime("2401312359x9000+"), 0u);     // not a digit
  EXPECT_EQ(SMPP::parseAbsoluteTime("241331235959000+"), 0u);     // month 13
  EXPECT_EQ(SMPP::parseAbsoluteTime("240100235959000+"), 0u);     // day 0
  EXPECT_EQ(SMPP::parseAbsoluteTime("240131245959000+"), 0u);     // hour 24
  EXPECT_EQ(SMPP::parseAbsoluteTime("240131235959049+"), 0u);     // 49 quarter hours
  EXPECT_EQ(SMPP::parseAbsoluteTime(" 40131235959000+"), 0u);
}

TEST(SmppTime, RelativeTimeCountsDaysHoursMinutesSeconds) {
  EXPECT_EQ(SMPP::parseRelativeTime("000001020304000R"), 93784u);
}

TEST(SmppTime, RelativeTimeIgnoresYearsAndMonths) {
  EXPECT_EQ(SMPP::parseRelativeTime("010200000010000R"), 10u);
}

TEST(SmppTime, MalformedRelativeTimeGivesZero) {
  EXPECT_EQ(SMPP::parseRelativeTime("0000010203"), 0u);
  EXPECT_EQ(SMPP::parseRelativeTime("00000102030x000R"), 0u);
  EXPECT_EQ(SMPP::parseRelativeTime(""), 0u);
}

TEST(SmppTime, FormatAbsoluteTimeRoundTrips) {
  const uint64_t micros = referenceInstant() * 1000000ULL + 987654;
  const std::string text = SMPP::formatAbsoluteTime(micros);
  EXPECT_EQ(text, "240131235959000+");
  EXPECT_EQ(SMPP::parseAbsoluteTime(text), referenceInstant());
}

TEST(SmppTime, FormatAbsoluteTimeAgreesWithGmtimeAcrossYears) {
  for (uint64_t s = 0; s < 4102444800ULL; s += 86400ULL * 97 + 3671) {
    time_t t = static_cast<time_t>(s);
    tm parts{};
    gmtime_r(&t, &parts);
    char expected[32];
    strftime(expected, sizeof expected, "%y%m%d%H%M%S000+", &parts);
    ASSERT_EQ(SMPP::formatAbsoluteTime(s * 1000000ULL), expected) << s;
  }
}

TEST(SmppTime, IsoTimeIsUtcWholeSeconds) {
  EXPECT_EQ(SMPP::formatIsoTime(referenceInstant() * 1000000000ULL + 999999999ULL),
            "2024-01-31T23:59:59Z");
  EXPECT_EQ(SMPP::formatIsoTime(0), "1970-01-01T00:00:00Z");
}

TEST(SmppTime, ReceiptDateIsMinuteResolution) {
  EXPECT_EQ(SMPP::formatReceiptDate(referenceInstant() * 1000000ULL), "2401312359");
}

}  // namespace
