#include "smpp/receipt.h"

#include <gtest/gtest.h>

namespace {

using SMPP::parseReceiptText;
using SMPP::ReceiptInfo;
using SMPP::TLV;

constexpr uint64_t kNow = 1706745599ULL * 1000000ULL;  // 2024-01-31 23:59:59 UTC

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

// The generated text itself is checked with the receipts the gateway makes;
// here its cut and the state words of every state.
TEST(Receipt, GeneratedTextIsCutAt159AndNamesEveryState) {
  EXPECT_EQ(SMPP::formatReceiptText(std::string(300, 'q'), 2, 0, 0).size(), 159u);
  const char* words[] = {"UNKNOWN", "UNKNOWN", "DELIVRD", "EXPIRED", "EXPIRED",
                         "UNDELIV", "EXPIRED", "UNKNOWN", "UNKNOWN", "UNKNOWN"};
  for (uint8_t s = 0; s < 10; ++s) {
    const std::string text = SMPP::formatReceiptText("m1", s, 0, kNow);
    EXPECT_NE(text.find(std::string(" stat:") + words[s] + " err:000"), std::string::npos) << text;
    EXPECT_EQ(parseReceiptText(text, nullptr).messageId, "m1") << text;
  }
}

}  // namespace
