#include "smpp/receipt.h"

#include <gtest/gtest.h>

#include "smpp/smpp_time.h"

namespace {

using SMPP::parseReceiptText;
using SMPP::ReceiptInfo;
using SMPP::TLV;

TEST(Receipt, CompleteTextGivesIdStateAndError) {
  const ReceiptInfo r = parseReceiptText(
      "id:abc sub:001 dlvrd:001 submit date:2401011200 done date:2401011201 stat:DELIVRD "
      "err:000 text:",
      nullptr);
  EXPECT_TRUE(r.patternMatched);
  EXPECT_EQ(r.messageId, "abc");
  EXPECT_EQ(r.state, 2);
  EXPECT_EQ(r.error, 0u);
  EXPECT_EQ(r.submitDate, "2401011200");
  EXPECT_EQ(r.doneDate, "2401011201");
}

TEST(Receipt, ErrorNumberIsRead) {
  const ReceiptInfo r = parseReceiptText(
      "id:X1 sub:1 dlvrd:0 submit date:2401011200 done date:2401011201 stat:UNDELIV err:123",
      nullptr);
  EXPECT_EQ(r.state, 5);
  EXPECT_EQ(r.error, 123u);
}

TEST(Receipt, TextWithoutErrFieldFallsBackToWordSearch) {
  const ReceiptInfo r = parseReceiptText(
      "id:abc sub:001 dlvrd:000 submit date:2401011200 done date:2401011201 stat:UNDELIV",
      nullptr);
  EXPECT_FALSE(r.patternMatched);
  EXPECT_EQ(r.state, 5);
  EXPECT_EQ(r.error, 0u);
  EXPECT_EQ(r.messageId, "");
}

TEST(Receipt, OnlyStatFieldWithRejectdGivesRejected) {
  EXPECT_EQ(parseReceiptText("stat:REJECTD", nullptr).state, 8);
}

TEST(Receipt, SkippedIsRejectedNotNine) {
  EXPECT_EQ(parseReceiptText("id:a sub:0 dlvrd:0 submit date:1 done date:2 stat:SKIPPED err:0",
                             nullptr)
                .state,
            8);
  EXPECT_EQ(parseReceiptText("message SKIPPED", nullptr).state, 8);
}

TEST(Receipt, UnknownStatWordInCompleteTextGivesZero) {
  EXPECT_EQ(parseReceiptText("id:a sub:0 dlvrd:0 submit date:1 done date:2 stat:DELIVRDX err:0",
                             nullptr)
                .state,
            0);
}

TEST(Receipt, WordSearchFollowsTheFixedOrder) {
  // ENROUTE is searched first even though UNDELIV appears earlier.
  EXPECT_EQ(parseReceiptText("UNDELIV ENROUTE", nullptr).state, 1);
  EXPECT_EQ(parseReceiptText("nothing here", nullptr).state, 0);
}

TEST(Receipt, WhiteSpaceRunsMatchPatternSpaces) {
  const ReceiptInfo r = parseReceiptText(
      "id:abc  sub:001\tdlvrd:001 submit  date:2401011200 done date: 2401011201 stat:EXPIRED "
      "err:-7",
      nullptr);
  EXPECT_TRUE(r.patternMatched);
  EXPECT_EQ(r.state, 3);
  EXPECT_EQ(r.doneDate, "2401011201");
  EXPECT_EQ(r.error, static_cast<uint32_t>(-7));
}

TEST(Receipt, MessageStateTlvOverridesText) {
  std::vector<TLV> tlvs{TLV{SMPP::TAG_MESSAGE_STATE, 1, {3}}};
  const ReceiptInfo r = parseReceiptText(
      "id:abc sub:001 dlvrd:001 submit date:2401011200 done date:2401011201 stat:DELIVRD err:000",
      &tlvs);
  EXPECT_EQ(r.state, 3);
}

TEST(Receipt, NetworkErrorAndReceiptedIdTlvsOverride) {
  std::vector<TLV> tlvs{
      TLV{SMPP::TAG_NETWORK_ERROR_CODE, 3, {3, 0x01, 0x02}},
      TLV{SMPP::TAG_RECEIPTED_MESSAGE_ID, 4, {'X', 'Y', 'Z', 0}},
  };
  const ReceiptInfo r = parseReceiptText("stat:UNDELIV", &tlvs);
  EXPECT_EQ(r.error, 0x0102u);
  EXPECT_EQ(r.messageId, "XYZ");
  EXPECT_EQ(r.state, 5);
}

TEST(Receipt, NetworkErrorOfOtherNetworkTypeIsIgnored) {
  std::vector<TLV> tlvs{TLV{SMPP::TAG_NETWORK_ERROR_CODE, 3, {2, 0x01, 0x02}},
                        TLV{SMPP::TAG_NETWORK_ERROR_CODE, 2, {3, 0x01}}};
  EXPECT_EQ(parseReceiptText("stat:UNDELIV", &tlvs).error, 0u);
}

TEST(Receipt, OverlongFieldsAreRefusedNotCopied) {
  const std::string longId(5000, 'A');
  const ReceiptInfo r = parseReceiptText(
      "id:" + longId + " sub:001 dlvrd:001 submit date:1 done date:2 stat:DELIVRD err:000",
      nullptr);
  EXPECT_FALSE(r.patternMatched);
  EXPECT_EQ(r.messageId, "");
  EXPECT_EQ(r.state, 2);  // still found by the word search
  const std::string longStat(100, 'D');
  EXPECT_FALSE(parseReceiptText("id:a sub:1 dlvrd:1 submit date:1 done date:2 stat:" + longStat +
                                    " err:0",
                                nullptr)
                   .patternMatched);
  EXPECT_FALSE(parseReceiptText(
                   "id:a sub:1 dlvrd:1 submit date:1 done date:2 stat:X err:99999999999999999999",
                   nullptr)
                   .patternMatched);
}

TEST(Receipt, TextEndsAtFirstNul) {
  const std::string text("stat:DELIVRD\0 UNDELIV", 21);
  EXPECT_EQ(parseReceiptText(text, nullptr).state, 2);
  const std::string hidden("hello\0DELIVRD", 13);
  EXPECT_EQ(parseReceiptText(hidden, nullptr).state, 0);
}

TEST(Receipt, GeneratedReceiptForDeliveredCarriesDlvrdOne) {
  const uint64_t now = 1706745599ULL * 1000000ULL;  // 2024-01-31 23:59:59
  EXPECT_EQ(SMPP::formatReceiptText("m1", 2, 0, now),
            "id:m1 sub:000 dlvrd:001 submit date:2401312359 done date:2401312359 stat:DELIVRD "
            "err:000 text:");
}

TEST(Receipt, GeneratedReceiptForUndeliverable) {
  const std::string t = SMPP::formatReceiptText("m1", 5, 12, 0);
  EXPECT_NE(t.find("dlvrd:000"), std::string::npos);
  EXPECT_NE(t.find("stat:UNDELIV err:012 text:"), std::string::npos);
}

TEST(Receipt, StatWordsFollowTheOutputColumn) {
  const char* expected[] = {"UNKNOWN", "UNKNOWN", "DELIVRD", "EXPIRED", "EXPIRED",
                            "UNDELIV", "EXPIRED", "UNKNOWN", "UNKNOWN", "UNKNOWN"};
  for (uint8_t s = 0; s < 10; ++s) EXPECT_STREQ(SMPP::receiptStatWord(s), expected[s]) << int(s);
}

TEST(Receipt, GeneratedReceiptRoundTripsThroughTheParser) {
  const std::string t = SMPP::formatReceiptText("0123abc", 5, 42, 1706745599ULL * 1000000ULL);
  const ReceiptInfo r = parseReceiptText(t, nullptr);
  EXPECT_TRUE(r.patternMatched);
  EXPECT_EQ(r.messageId, "0123abc");
  EXPECT_EQ(r.state, 5);
  EXPECT_EQ(r.error, 42u);
}

TEST(Receipt, GeneratedTextIsCutAt159Characters) {
  const std::string t = SMPP::formatReceiptText(std::string(300, 'q'), 2, 0, 0);
  EXPECT_EQ(t.size(), 159u);
}

TEST(Receipt, ReceiptTlvsAreByteExact) {
  const std::vector<TLV> tlvs = SMPP::makeReceiptTLVs(5, 0x0102, "ab");
  ASSERT_EQ(tlvs.size(), 3u);
  EXPECT_EQ(tlvs[0], (TLV{0x0427, 1, {5}}));
  EXPECT_EQ(tlvs[1], (TLV{0x0423, 3, {3, 1, 2}}));
  EXPECT_EQ(tlvs[2], (TLV{0x001E, 3, {'a', 'b', 0}}));
}

TEST(Receipt, StateWordsMapExactly) {
  EXPECT_EQ(SMPP::messageStateFromWord("ENROUTE"), 1);
  EXPECT_EQ(SMPP::messageStateFromWord("DELIVERED"), 2);
  EXPECT_EQ(SMPP::messageStateFromWord("DELETED"), 4);
  EXPECT_EQ(SMPP::messageStateFromWord("UNDELIVERABLE"), 5);
  EXPECT_EQ(SMPP::messageStateFromWord("ACCEPTD"), 6);
  EXPECT_EQ(SMPP::messageStateFromWord("UNKNOWN"), 7);
  EXPECT_EQ(SMPP::messageStateFromWord("REJECTED"), 8);
  EXPECT_EQ(SMPP::messageStateFromWord("delivrd"), 0);
}

}  // namespace
