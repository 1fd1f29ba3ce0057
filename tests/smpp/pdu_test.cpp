// The codec: submit_sm and data_sm bodies, receipt texts, SMPP times and
// message texts.
#include "smpp/pdu.h"

#include <gtest/gtest.h>
#include <time.h>

#include <tuple>

#include "smpp/message_text.h"
#include "smpp/receipt.h"
#include "smpp/smpp_time.h"

#include "tests/smpp/smpp_test_peer.h"

namespace {

using namespace smpp_test;
using SMPP::T_SubmitSM;
using SMPP::TLV;

constexpr uint64_t kNow = 1706745599ULL * 1000000ULL;  // 2024-01-31 23:59:59 UTC
constexpr uint64_t kDay = 86400000000ULL;

// A submit_sm body written out field by field; the times and the TLV tail vary.
Bytes submitSm(const Bytes& schedule = {0}, const Bytes& validity = {0},
               const Bytes& tail = {0x02, 0x0C, 0x00, 0x02, 0x00, 0x07},
               const std::string& source = "12345") {
  return cat({cstr("CMT"), {0x01, 0x01}, cstr(source), {0x01, 0x01}, cstr("447900"),
              {0x40, 0x00, 0x01}, schedule, validity, {0x01, 0x00, 0x08, 0x00},
              {0x05, 0x05, 0x00, 0x03, 0x07, 0x02}, tail});
}

bool parse(uint32_t command, const Bytes& body, T_SubmitSM& sm, uint32_t& error,
           bool checkTimes = true, size_t length = SIZE_MAX) {
  return SMPP::parseSubmitSM(command, body.data(), std::min(length, body.size()), sm, checkTimes,
                             error, kNow);
}

// Times, limits and malformed bodies: error 0 means decoded, with the times
// and TLV count given.
TEST(Pdu, SubmitSmDecodingOfTimesLimitsAndMalformedBodies) {
  const Bytes past = cat({text("240131235958000+"), {0}});
  const uint64_t day = kNow + kDay;
  const struct {
    const char* name;
    uint32_t command;
    Bytes body;
    bool checkTimes;
    uint32_t error;
    uint64_t schedule, validity;
    size_t tlvs;
  } cases[] = {
      {"RelativeTimesCountFromNow", SMPP::SUBMIT_SM,
       submitSm(cat({text("000000000130000R"), {0}}), cat({text("000001000000000R"), {0}})), true,
       0, kNow + 90000000ULL, day, 1},
      {"PastScheduleWithoutTheCheck", SMPP::SUBMIT_SM, submitSm(past), false, 0, kNow - 1000000,
       day, 1},
      {"ExtraZeroByteGivesNoTlvs", SMPP::SUBMIT_SM, submitSm({0}, {0}, {0x00}), true, 0, 0, day, 0},
      {"TwentyCharacterSource", SMPP::SUBMIT_SM, submitSm({0}, {0}, {}, std::string(20, '9')), true,
       0, 0, day, 0},
      {"NonZeroByteAfterShortMessage", SMPP::SUBMIT_SM, submitSm({0}, {0}, {0x01}), true, 0x45, 0,
       0, 0},
      {"TlvLengthPastTheEnd", SMPP::SUBMIT_SM, submitSm({0}, {0}, {0x02, 0x0C, 0x00, 0x09, 0x00}),
       true, 0x45, 0, 0, 0},
      {"TwentyOneCharacterSource", SMPP::SUBMIT_SM, submitSm({0}, {0}, {}, std::string(21, '9')),
       true, 0x45, 0, 0, 0},
      {"OtherCommandId", SMPP::DELIVER_SM, submitSm(), true, 0x45, 0, 0, 0},
      {"ScheduleInThePast", SMPP::SUBMIT_SM, submitSm(past), true, 0x61, 0, 0, 0},
      {"AbsoluteValidityInThePast", SMPP::SUBMIT_SM, submitSm({0}, past), true, 0x62, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    T_SubmitSM sm;
    sm.source_addr = "untouched";
    uint32_t error = 0;
    ASSERT_EQ(parse(c.command, c.body, sm, error, c.checkTimes), c.error == 0);
    if (c.error != 0) {
      EXPECT_EQ(error, c.error);
      EXPECT_EQ(sm.source_addr, "untouched");  // decoded into a copy
      continue;
    }
    EXPECT_EQ(sm.schedule_delivery_time, c.schedule);
    EXPECT_EQ(sm.validity_period, c.validity);
    EXPECT_EQ(sm.tlvs.size(), c.tlvs);
  }
  // Cutting anywhere before the TLVs loses a field or leaves a partial TLV.
  const Bytes body = submitSm();
  for (size_t n = 0; n < body.size(); ++n) {
    if (n == body.size() - 6) continue;  // exactly without the TLV: valid
    T_SubmitSM sm;
    uint32_t error = 0;
    EXPECT_FALSE(parse(SMPP::SUBMIT_SM, body, sm, error, true, n)) << n;
    EXPECT_EQ(error, 0x45u) << n;
  }
}

TEST(Pdu, SubmitSmEncodingIsByteExactAndRoundTrips) {
  T_SubmitSM sm;
  sm.service_type = "CMT";
  sm.source_addr_ton = 5;
  sm.source_addr = "Shop";
  sm.dest_addr_ton = 1;
  sm.dest_addr_npi = 1;
  sm.destination_addr = "4479";
  sm.validity_period = kNow;
  sm.esm_class = 0x40;
  sm.priority_flag = 1;
  sm.registered_delivery = 1;
  sm.data_coding = 8;
  sm.sm_default_msg_id = 9;  // never forwarded
  sm.short_message = text("hi");
  sm.tlvs = {TLV{0x020C, 2, {0, 7}}};
  Bytes out;
  ASSERT_TRUE(SMPP::encodeSubmitSMBody(SMPP::SUBMIT_SM, sm, out));
  EXPECT_EQ(out, cat({cstr("CMT"), {5, 0}, cstr("Shop"), {1, 1}, cstr("4479"), {0x40, 0, 1}, {0},
                      cstr("240131235959000+"), {1, 0, 8, 0}, {2, 'h', 'i'},
                      {0x02, 0x0C, 0x00, 0x02, 0x00, 0x07}}));
  // Decoded back field by field, all but the default message id.
  T_SubmitSM back;
  uint32_t error = 0;
  ASSERT_TRUE(parse(SMPP::SUBMIT_SM, out, back, error));
  sm.sm_default_msg_id = 0;
  EXPECT_EQ(back, sm);

  sm = T_SubmitSM{};
  sm.source_addr = "1";
  sm.destination_addr = "2";
  sm.schedule_delivery_time = kNow + 60000000;
  sm.validity_period = kNow + 3600000000ULL;
  sm.short_message = Bytes(255, 0xAB);
  sm.tlvs = {TLV{0x1234, 0, {}}, TLV{0x0424, 3, {1, 2, 3}}};
  ASSERT_TRUE(SMPP::encodeSubmitSMBody(SMPP::SUBMIT_SM, sm, out));
  ASSERT_TRUE(parse(SMPP::SUBMIT_SM, out, back, error));
  EXPECT_EQ(back, sm);
}

TEST(Pdu, DataSmIsForwardedWithItsOwnTlvs) {
  const Bytes body = cat({cstr(""), {1, 1}, cstr("123"), {1, 1}, cstr("456"), {0x00, 0x01, 0x08},
                          {0x02, 0x0C, 0x00, 0x01, 0x09},
                          {0x04, 0x24, 0x00, 0x04, 0x00, 'h', 0x00, 'i'},
                          {0x14, 0x01, 0x00, 0x00}});
  T_SubmitSM sm;
  uint32_t error = 0;
  ASSERT_TRUE(parse(SMPP::DATA_SM, body, sm, error));
  EXPECT_EQ(sm.registered_delivery, 1);
  EXPECT_TRUE(sm.short_message.empty());
  EXPECT_EQ(sm.validity_period, kNow + kDay);
  ASSERT_EQ(sm.tlvs.size(), 3u);
  EXPECT_EQ(sm.tlvs[1].value, (Bytes{0x00, 'h', 0x00, 'i'}));
  Bytes out;
  ASSERT_TRUE(SMPP::encodeSubmitSMBody(SMPP::DATA_SM, sm, out));
  EXPECT_EQ(out, body);
  // Without a payload TLV the short message travels as one.
  sm = T_SubmitSM{};
  sm.short_message = text("xy");
  ASSERT_TRUE(SMPP::encodeSubmitSMBody(SMPP::DATA_SM, sm, out));
  EXPECT_EQ(out, (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x04, 0x24, 0x00, 0x02, 'x', 'y'}));
}

TEST(Pdu, UnsendableRecordsAreRefused) {
  const struct {
    const char* name;
    uint32_t command;
    void (*spoil)(T_SubmitSM&);
  } cases[] = {
      {"ShortMessageOf256", SMPP::SUBMIT_SM,
       [](T_SubmitSM& s) { s.short_message = Bytes(256, 1); }},
      {"SourceOf21", SMPP::SUBMIT_SM, [](T_SubmitSM& s) { s.source_addr = std::string(21, '1'); }},
      {"NulInsideSource", SMPP::SUBMIT_SM,
       [](T_SubmitSM& s) { s.source_addr = std::string("1\0" "2", 3); }},
      {"TlvOver65535", SMPP::DATA_SM,
       [](T_SubmitSM& s) { s.tlvs = {TLV{0x0424, 0, Bytes(65536, 0)}}; }},
      {"BodyOverThePduLimit", SMPP::DATA_SM,
       [](T_SubmitSM& s) {
         s.tlvs = {TLV{0x0424, 0, Bytes(40000, 0)}, TLV{0x0424, 0, Bytes(40000, 0)}};
       }},
  };
  for (const auto& c : cases) {
    T_SubmitSM sm;
    c.spoil(sm);
    Bytes out;
    EXPECT_FALSE(SMPP::encodeSubmitSMBody(c.command, sm, out)) << c.name;
    EXPECT_TRUE(out.empty()) << c.name;
  }
}

using SMPP::parseReceiptText;
using SMPP::ReceiptInfo;

std::string receipt(const std::string& id, const std::string& stat, const std::string& err) {
  return "id:" + id + " sub:001 dlvrd:001 submit date:2401011200 done date:2401011201 stat:" +
         stat + " err:" + err;
}

TEST(Receipt, TextsAndTlvsGiveIdStateAndError) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<TLV> tlvs;
    bool matched;
    const char* id;
    uint8_t state;
    uint32_t error;
  } cases[] = {
      {"Complete", receipt("abc", "DELIVRD", "000") + " text:", {}, true, "abc", 2, 0},
      {"ErrorNumber", receipt("X1", "UNDELIV", "123"), {}, true, "X1", 5, 123},
      {"WithoutErrFieldTheWordSearchApplies",
       "id:abc sub:001 dlvrd:000 submit date:2401011200 done date:2401011201 stat:UNDELIV", {},
       false, "", 5, 0},
      {"OnlyStatRejectd", "stat:REJECTD", {}, false, "", 8, 0},
      {"SkippedIsRejected", receipt("a", "SKIPPED", "0"), {}, true, "a", 8, 0},
      {"SkippedWordIsRejected", "message SKIPPED", {}, false, "", 8, 0},
      {"UnknownStatWordInCompleteText", receipt("a", "DELIVRDX", "0"), {}, true, "a", 0, 0},
      {"WordSearchFollowsTheFixedOrder", "UNDELIV ENROUTE", {}, false, "", 1, 0},
      {"NoWordAtAll", "nothing here", {}, false, "", 0, 0},
      {"WhiteSpaceRunsMatchPatternSpaces",
       "id:abc  sub:001\tdlvrd:001 submit  date:2401011200 done date: 2401011201 stat:EXPIRED "
       "err:-7",
       {}, true, "abc", 3, static_cast<uint32_t>(-7)},
      {"MessageStateTlvOverridesText", receipt("abc", "DELIVRD", "000"),
       {TLV{SMPP::TAG_MESSAGE_STATE, 1, {3}}}, true, "abc", 3, 0},
      {"NetworkErrorAndReceiptedIdTlvsOverride", "stat:UNDELIV",
       {TLV{SMPP::TAG_NETWORK_ERROR_CODE, 3, {3, 0x01, 0x02}},
        TLV{SMPP::TAG_RECEIPTED_MESSAGE_ID, 4, {'X', 'Y', 'Z', 0}}},
       false, "XYZ", 5, 0x0102},
      {"NetworkErrorOfOtherTypeOrLengthIsIgnored", "stat:UNDELIV",
       {TLV{SMPP::TAG_NETWORK_ERROR_CODE, 3, {2, 0x01, 0x02}},
        TLV{SMPP::TAG_NETWORK_ERROR_CODE, 2, {3, 0x01}}},
       false, "", 5, 0},
      // Overlong fields fail the pattern instead of being copied.
      {"OverlongId", receipt(std::string(5000, 'A'), "DELIVRD", "000"), {}, false, "", 2, 0},
      {"OverlongStat", receipt("a", std::string(100, 'D'), "0"), {}, false, "", 0, 0},
      {"ErrorBeyond32Bits", receipt("a", "X", "99999999999999999999"), {}, false, "", 0, 0},
      {"TextEndsAtFirstNul", std::string("stat:DELIVRD\0 UNDELIV", 21), {}, false, "", 2, 0},
      {"WordBehindANulIsNotSeen", std::string("hello\0DELIVRD", 13), {}, false, "", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ReceiptInfo r = parseReceiptText(c.text, c.tlvs.empty() ? nullptr : &c.tlvs);
    EXPECT_EQ(r.patternMatched, c.matched);
    EXPECT_EQ(r.messageId, c.id);
    EXPECT_EQ(int(r.state), int(c.state));
    EXPECT_EQ(r.error, c.error);
  }
}

constexpr uint64_t kRef = kNow / 1000000;

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

TEST(MessageText, DecodesByCodingAndHeader) {
  struct Case {
    const char* name;
    std::vector<uint8_t> message;
    uint8_t esmClass, coding;
    std::string text;
  } cases[] = {
      {"Empty", {}, 0x40, 8, ""},
      {"DefaultCodingOctetForOctet", {'h', 'i', 0xE9}, 0, 0, "hi\xE9"},
      {"Ucs2AfterTheUserDataHeader", {5, 0, 3, 7, 2, 1, 0x00, 'H', 0x00, 0xE9}, 0x40, 8,
       "H\xC3\xA9"},
      {"NothingAfterTheHeader", {5, 0, 3, 7, 2, 1}, 0x40, 0, ""},
      {"HeaderLengthPastTheEnd", {200, 1, 2}, 0x40, 0, ""},
      {"SurrogatePairAndEuro", {0xD8, 0x3D, 0xDE, 0x00, 0x20, 0xAC}, 0, 8,
       "\xF0\x9F\x98\x80\xE2\x82\xAC"},
      {"LoneHighSurrogate", {0xD8, 0x3D, 0x00, 'A'}, 0, 8, "\xEF\xBF\xBD" "A"},
      {"LoneLowSurrogate", {0xDE, 0x00}, 0, 8, "\xEF\xBF\xBD"},
      {"OddLength", {0x00, 'A', 0x00}, 0, 8, "A\xEF\xBF\xBD"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SMPP::decodeMessageText(c.message, c.esmClass, c.coding), c.text) << c.name;
  }
}

}  // namespace
