#include "config/inbound_mo_routes.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

struct RouteCase {
  const char* text;
  const char* expected;
};

TEST(InboundMORoutesTest, ExactKeyThenFirstWholeMatchInKeyOrder) {
  testing::internal::CaptureStdout();
  const InboundMORoutes routes({
      {"447700900123", "exact"},
      {"4477.*", "uk-mobile"},
      {"44[0-9]*", "uk"},  // after "4477.*" in key order
      {"33.*", "fr"},      // before "33[0-9]+" in key order, so it wins
      {"33[0-9]+", "fr-later"},
      {"STOP", "keyword"},
      {"[0-9", "broken"},  // not a valid expression
      {"(a|b", "broken2"},
  });
  const std::string log = testing::internal::GetCapturedStdout();
  const RouteCase cases[] = {
      {"447700900123", "exact"},  // exact key although "4477.*" comes first in key order
      {"447700900999", "uk-mobile"},
      {"4412", "uk"},  // "4477.*" does not match, the next key does
      {"STOP", "keyword"},
      {"STOP now", ""},  // a key must match the whole text
      {"please STOP", ""},
      {"[0-9", "broken"},  // an invalid key still matches its own text
      {"[0-95", ""},
      {"(a|b", "broken2"},
      {"a", ""},
      {"", ""},
      {"33123", "fr"},
      {"44x", ""},
  };
  // An invalid key is reported when built, never when matched.
  testing::internal::CaptureStdout();
  for (const auto& c : cases) {
    EXPECT_EQ(routes.find(c.text), c.expected) << "text \"" << c.text << "\"";
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_NE(log.find("WARNING InboundMORoutes::InboundMORoutes Inbound number [0-9 is not"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Inbound number (a|b is not"), std::string::npos) << log;
  EXPECT_EQ(log.find("Inbound number 44[0-9]* is not"), std::string::npos) << log;
}

TEST(InboundMORoutesTest, LongTextsAndKeysAreMatchedOnlyExactlyInsteadOfExhaustingTheStack) {
  const std::string longText = "4477" + std::string(65000, '1');  // a whole message_payload
  const std::string longest = "4477" + std::string(InboundMORoutes::kMaxPatternTextLength - 4, '1');
  const InboundMORoutes routes(
      std::map<std::string, std::string>{{"4477.*", "uk-mobile"}, {longText, "exact"}});
  EXPECT_EQ(routes.find(longText), "exact");
  EXPECT_EQ(routes.find(longText + "1"), "");
  EXPECT_EQ(routes.find(longest), "uk-mobile");
}

}  // namespace
