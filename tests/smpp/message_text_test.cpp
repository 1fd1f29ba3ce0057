#include "smpp/message_text.h"

#include <gtest/gtest.h>

namespace {

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
