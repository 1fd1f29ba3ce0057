#include "lookup/eli_document.h"

#include <gtest/gtest.h>

#include "admin/metrics.h"

namespace {

using Action = ELIDecision::Action;

TEST(ELIDocument, InvalidUtf8KeepsAReplacedTextAndTheExactOctetsInHex) {
  SMPP::T_SubmitSM sm;
  sm.source_addr = std::string("44\xff", 3);
  sm.destination_addr = "447700900123";
  sm.validity_period = 1700000000999999ull;
  sm.short_message = {0x48, 0xE9, 0xFF};
  sm.tlvs.push_back({0x1D, 3, {'o', 0xC3, 'k'}});   // a lone lead octet
  sm.tlvs.push_back({0x20C, 2, {0x00, 0x2A}});      // binary but valid UTF-8
  const nlohmann::json doc = buildELIRequest("cust\x80", "127.0.0.1", sm, 0);
  const std::string body = doc.dump();  // would throw on invalid UTF-8
  const nlohmann::json& s = doc["submitsm"];
  EXPECT_EQ(s["source_addr"], "44\xEF\xBF\xBD");
  EXPECT_EQ(s["source_addr_hex"], "3434ff");
  EXPECT_FALSE(s.contains("destination_addr_hex"));
  EXPECT_EQ(doc["systemid"], "cust\xEF\xBF\xBD");
  EXPECT_EQ(doc["systemid_hex"], "6375737480");
  EXPECT_EQ(s["tlvs"][0]["value"], "o\xEF\xBF\xBDk");
  EXPECT_EQ(s["tlvs"][0]["value_hex"], "6fc36b");
  EXPECT_EQ(s["tlvs"][1]["value"], std::string("\0*", 2));
  EXPECT_FALSE(s["tlvs"][1].contains("value_hex"));
  EXPECT_EQ(s["short_message"], nlohmann::json({72, 233, 255}));
  EXPECT_EQ(s["validity_period"], "2023-11-14T22:13:20Z");
  EXPECT_FALSE(s.contains("schedule_delivery_time"));
  EXPECT_EQ(nlohmann::json::parse(body), doc);
}

// A code that is present but not a 32-bit unsigned integer is read as
// absent, and each one is counted.
TEST(ELIDecisionTest, NonNumericCodesTakeTheirDefaultsWithAWarning) {
  struct Case {
    const char* answer;
    Action action;
    uint32_t commandStatus, messageState, networkError;
    uint64_t warnings;
  } cases[] = {
      {R"({"action":"reject"})", Action::Reject, 0x45, 5, 0, 0},
      {R"({"action":"reject","cmdstatus":"8"})", Action::Reject, 0x45, 5, 0, 1},
      {R"({"action":"reject","cmdstatus":-1})", Action::Reject, 0x45, 5, 0, 1},
      {R"({"action":"reject","cmdstatus":4294967296})", Action::Reject, 0x45, 5, 0, 1},
      {R"({"action":"reject","cmdstatus":null})", Action::Reject, 0x45, 5, 0, 1},
      {R"({"action":"reject_dlr","status":2})", Action::RejectWithReceipt, 0x45, 2, 0, 0},
      {R"({"action":"reject_dlr","status":"2","networkerror":3.5})", Action::RejectWithReceipt,
       0x45, 5, 0, 2},
      {R"({"action":"reject_dlr","networkerror":[1]})", Action::RejectWithReceipt, 0x45, 5, 0, 1},
      {R"({"action":"accept","cmdstatus":"x"})", Action::Continue, 0x45, 5, 0, 0},
      {R"({"action":7})", Action::Continue, 0x45, 5, 0, 0},
      {"null", Action::Continue, 0x45, 5, 0, 0},
  };
  for (const Case& c : cases) {
    const uint64_t before = MetricsRegistry::instance().counterValue("eliAnswerFieldInvalid");
    const ELIDecision d = readELIDecision(nlohmann::json::parse(c.answer));
    EXPECT_EQ(d.action, c.action) << c.answer;
    EXPECT_EQ(d.commandStatus, c.commandStatus) << c.answer;
    EXPECT_EQ(d.messageState, c.messageState) << c.answer;
    EXPECT_EQ(d.networkError, c.networkError) << c.answer;
    EXPECT_EQ(MetricsRegistry::instance().counterValue("eliAnswerFieldInvalid") - before,
              c.warnings)
        << c.answer;
  }
}

}  // namespace
