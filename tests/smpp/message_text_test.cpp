#include "smpp/message_text.h"

#include <gtest/gtest.h>

namespace {

using SMPP::decodeMessageText;

TEST(MessageText, EmptyInputGivesEmptyText) {
  EXPECT_EQ(decodeMessageText(std::vector<uint8_t>{}, 0x40, 8), "");
}

TEST(MessageText, DefaultCodingIsTakenOctetForOctet) {
  const std::vector<uint8_t> msg = {'h', 'i', 0xE9};
  EXPECT_EQ(decodeMessageText(msg, 0, 0), std::string("hi\xE9"));
}

TEST(MessageText, Ucs2WithUdhiIsDecodedFromSeventhByte) {
  // UDH length 5 (concatenation element), then "Hé" in UCS-2.
  const std::vector<uint8_t> msg = {5, 0, 3, 7, 2, 1, 0x00, 'H', 0x00, 0xE9};
  EXPECT_EQ(decodeMessageText(msg, 0x40, 8), "H\xC3\xA9");
}

TEST(MessageText, UdhiWithNothingAfterTheHeaderGivesEmptyText) {
  const std::vector<uint8_t> msg = {5, 0, 3, 7, 2, 1};
  EXPECT_EQ(decodeMessageText(msg, 0x40, 0), "");
}

TEST(MessageText, UdhLengthPastTheEndGivesEmptyText) {
  const std::vector<uint8_t> msg = {200, 1, 2};
  EXPECT_EQ(decodeMessageText(msg, 0x40, 0), "");
}

TEST(MessageText, SurrogatePairBecomesFourByteUtf8) {
  // U+1F600 as D83D DE00, then the euro sign U+20AC.
  const std::vector<uint8_t> msg = {0xD8, 0x3D, 0xDE, 0x00, 0x20, 0xAC};
  EXPECT_EQ(decodeMessageText(msg, 0, 8), "\xF0\x9F\x98\x80\xE2\x82\xAC");
}

TEST(MessageText, BrokenUcs2BecomesReplacementCharacters) {
  const std::vector<uint8_t> loneHigh = {0xD8, 0x3D, 0x00, 'A'};
  EXPECT_EQ(decodeMessageText(loneHigh, 0, 8), "\xEF\xBF\xBD" "A");
  const std::vector<uint8_t> loneLow = {0xDE, 0x00};
  EXPECT_EQ(decodeMessageText(loneLow, 0, 8), "\xEF\xBF\xBD");
  const std::vector<uint8_t> odd = {0x00, 'A', 0x00};
  EXPECT_EQ(decodeMessageText(odd, 0, 8), "A\xEF\xBF\xBD");
}

}  // namespace
