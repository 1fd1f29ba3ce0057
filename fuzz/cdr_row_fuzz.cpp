// The CDR row encoders on records built from arbitrary bytes: the CSV row
// must read back (with an independent RFC 4180 reader) as exactly 28 columns
// holding the record's texts, and the JSON body must parse.
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cdr/cdr_encoding.h"

namespace {

std::vector<std::vector<std::string>> readCsv(const std::string& text) {
  std::vector<std::vector<std::string>> rows(1);
  std::string field;
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c != '"')
        field += c;
      else if (i + 1 < text.size() && text[i + 1] == '"')
        field += text[++i];
      else
        quoted = false;
    } else if (c == '"') {
      if (!field.empty()) abort();  // a quote inside an unquoted field
      quoted = true;
    } else if (c == ',' || c == '\n') {
      rows.back().push_back(std::move(field));
      field.clear();
      if (c == '\n') rows.emplace_back();
    } else {
      field += c;
    }
  }
  if (quoted || !field.empty() || !rows.back().empty()) abort();  // row not ended
  rows.pop_back();
  return rows;
}

// Splits the input at 0x00 bytes into the record's texts.
std::vector<std::string> pieces(const uint8_t* data, size_t size) {
  std::vector<std::string> out(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0 && out.size() < 8)
      out.emplace_back();
    else
      out.back() += static_cast<char>(data[i]);
  }
  out.resize(8);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::string> p = pieces(data, size);
  CDRRecord r;
  r.messageId = p[0];
  r.sourceAddr = p[1];
  r.destAddr = p[2];
  r.dlrDoneDate = p[3];
  r.esmeId = p[4];
  r.esmeIp = p[5];
  r.smscName = p[6];
  r.mccMNC = p[7];
  const uint8_t selector = size != 0 ? data[0] : 0;
  r.origin = static_cast<CDROrigin>(selector % 3);
  r.submitStatus = (selector & 0x08) != 0 ? 0x45 : 0;
  r.submitTime = static_cast<int64_t>(size) * 1000000000LL;
  r.messageIdTime = (selector & 0x10) != 0 ? r.submitTime : 0;
  r.dlrReceivedTime = r.deliveryTime = (selector & 0x20) != 0 ? r.submitTime : 0;
  const CDRMode mode = (selector & 0x40) != 0 ? CDRMode::OPERATION : CDRMode::CORRELATE;

  std::string text;
  appendCsvRow(text, r, mode);
  const auto rows = readCsv(text);
  if (rows.size() != 1 || rows[0].size() != kCDRColumnCount) abort();
  const std::vector<std::string>& row = rows[0];
  const std::pair<size_t, const std::string*> texts[] = {
      {0, &r.messageId}, {1, &r.sourceAddr}, {2, &r.destAddr},  {9, &r.dlrDoneDate},
      {15, &r.esmeId},   {16, &r.esmeIp},    {18, &r.smscName}, {27, &r.mccMNC}};
  for (const auto& [column, value] : texts) {
    if (!row[column].empty() && row[column] != *value) abort();
  }
  if (row[1] != r.sourceAddr && r.origin != CDROrigin::MTReceipt) abort();
  if (row[27] != r.mccMNC) abort();

  const std::string body = jsonBatch({r, r}, mode, (selector & 0x80) != 0);
  const auto doc = nlohmann::json::parse(body, nullptr, false);
  if (doc.is_discarded() || !doc.is_array() || doc.size() != 2) abort();
  return 0;
}
