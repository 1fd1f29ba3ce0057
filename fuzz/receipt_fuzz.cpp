// The receipt text reader on arbitrary text, with the TLVs of the same bytes
// when they decode as TLVs, and the message-text decoder on the same bytes.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "smpp/message_text.h"
#include "smpp/pdu.h"
#include "smpp/receipt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const SMPP::ReceiptInfo plain = SMPP::parseReceiptText(text, nullptr);
  if (plain.patternMatched) {
    if (plain.messageId.size() > SMPP::kReceiptIdMax ||
        plain.submitDate.size() > SMPP::kReceiptDateMax ||
        plain.doneDate.size() > SMPP::kReceiptDateMax) {
      abort();
    }
  } else if (!plain.messageId.empty()) {
    abort();
  }
  std::vector<SMPP::TLV> tlvs;
  if (SMPP::parseTLVs(tlvs, size, data)) SMPP::parseReceiptText(text, &tlvs);

  const std::string formatted = SMPP::formatReceiptText(plain.messageId, plain.state, 0, 0);
  if (formatted.size() > SMPP::kReceiptTextMax) abort();

  for (uint8_t coding : {0, 8}) {
    const std::string decoded =
        SMPP::decodeMessageText(data, size, size > 0 ? data[0] : 0, coding);
    if (coding == 8 && decoded.size() > size * 3 + 3) abort();
  }
  return 0;
}
