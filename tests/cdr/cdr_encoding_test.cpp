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
  r.messageId = "m1";
  r.messageIdTime = r.submitTime = 1700000000000000000LL;
  const auto doc = nlohmann::json::parse(jsonBatch({r}, CDRMode::OPERATION, false));
  ASSERT_EQ(doc.size(), 1u);
  EXPECT_EQ(doc[0]["messageId"], "m1");
  EXPECT_EQ(doc[0]["submitTimeISO8601"], "2023-11-14T22:13:20Z");
}

// The parts of a message are known from its user data header (esm_class
// 0x40) or from its sar parameters, whose 16-bit reference keeps its low
// octet; a header cut short, or one without esm_class 0x40, gives none.
TEST(CdrConcatenation, FromHeaderOrSarParameters) {
  struct Case {
    const char* name;
    uint8_t esmClass;
    std::vector<uint8_t> text;
    std::vector<SMPP::TLV> tlvs;
    const char* parts;  // "ref/total/part", "" when not concatenated
  } cases[] = {
      {"header", 0x40, {0x05, 0x00, 0x03, 0x2A, 0x03, 0x02, 'h'}, {}, "42/3/2"},
      {"header cut short", 0x40, {0x05, 0x00, 0x03, 0x2A}, {}, ""},
      {"sar", 0, {'h'}, {{0x020C, 2, {0x01, 0x07}}, {0x020E, 1, {4}}, {0x020F, 1, {3}}}, "7/4/3"},
      {"neither", 0, {0x05, 0x00, 0x03, 0x2A, 0x03, 0x02}, {}, ""},
  };
  for (const Case& c : cases) {
    SMPP::T_SubmitSM sm;
    sm.esm_class = c.esmClass;
    sm.short_message = c.text;
    sm.tlvs = c.tlvs;
    CDRRecord r;
    const bool found = extractConcatenation(sm, r);
    EXPECT_EQ(found, r.isConcatenated) << c.name;
    EXPECT_EQ(found ? std::to_string(r.concatRef) + "/" + std::to_string(r.concatTotal) + "/" +
                          std::to_string(r.concatPart)
                    : "",
              c.parts)
        << c.name;
  }
}

}  // namespace
