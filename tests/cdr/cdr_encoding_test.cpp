#include "cdr/cdr_encoding.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/cdr/csv_reader.h"

namespace {

TEST(CdrCsvField, QuotesExactlyFieldsHoldingSeparatorsQuotesOrLineBreaks) {
  struct Case {
    std::string field;
    std::string written;
  } cases[] = {
      {"", ""},
      {"447700900123", "447700900123"},
      {"a b;c'd", "a b;c'd"},
      {"a,b", "\"a,b\""},
      {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"\"", "\"\"\"\""},
      {"line\nbreak", "\"line\nbreak\""},
      {"cr\rhere", "\"cr\rhere\""},
      {",", "\",\""},
  };
  for (const Case& c : cases) {
    std::string out;
    appendCsvField(out, c.field);
    EXPECT_EQ(out, c.written) << c.field;
  }
}

TEST(CdrCsvRow, AddressWithCommaAndQuoteKeepsEveryLaterColumnInPlace) {
  CDRRecord r;
  r.origin = CDROrigin::MO;
  r.sourceAddr = "Shop, \"Best\"";
  r.destAddr = "line\nfeed";
  r.esmeId = "esme1";
  r.mccMNC = "23415";
  std::string text;
  appendCsvRow(text, r, CDRMode::CORRELATE);
  const auto rows = cdr_test::readCsv(text);
  ASSERT_EQ(rows.size(), 1u);
  ASSERT_EQ(rows[0].size(), kCDRColumnCount);
  EXPECT_EQ(rows[0][1], r.sourceAddr);
  EXPECT_EQ(rows[0][2], r.destAddr);
  EXPECT_EQ(rows[0][15], "esme1");
  EXPECT_EQ(rows[0][27], "23415");
}

TEST(CdrJson, InvalidUtf8AddressStillGivesAParseableBody) {
  CDRRecord r;
  r.sourceAddr = std::string("44\xff\xfe\xc3", 5);
  r.destAddr = "4477";
  r.messageId = "m1";
  r.messageIdTime = r.submitTime = 1700000000000000000LL;
  const std::string body = jsonBatch({r}, CDRMode::OPERATION, false);
  const auto doc = nlohmann::ordered_json::parse(body);
  ASSERT_TRUE(doc.is_array());
  ASSERT_EQ(doc.size(), 1u);
  EXPECT_EQ(doc[0]["messageId"], "m1");
  EXPECT_EQ(doc[0]["submitTimeISO8601"], "2023-11-14T22:13:20Z");
  EXPECT_EQ(doc[0].begin().key(), "messageId");
}

TEST(CdrAnonymise, KeepsFourCharactersAndMasksTheRest) {
  CDRRecord r;
  r.sourceAddr = "447700900123";
  r.destAddr = "1234";
  anonymiseRecord(r);
  EXPECT_EQ(r.sourceAddr, "4477********");
  EXPECT_EQ(r.destAddr, "1234");
}

}  // namespace
