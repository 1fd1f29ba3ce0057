#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "smpp/tlv.h"

// Delivery-receipt texts, message states and the receipt TLVs. Pure
// functions; safe from any thread.
namespace SMPP {

// SMPP 3.4 message_state values as carried by receipts.
enum MessageState : uint8_t {
  STATE_NONE = 0,
  STATE_ENROUTE = 1,
  STATE_DELIVERED = 2,
  STATE_EXPIRED = 3,
  STATE_DELETED = 4,
  STATE_UNDELIVERABLE = 5,
  STATE_ACCEPTED = 6,
  STATE_UNKNOWN = 7,
  STATE_REJECTED = 8,
};

// Bounds of the fields read from a receipt text. A field longer than its
// bound does not match the pattern (the text is then searched for a state
// word instead), so nothing of unbounded size is ever copied out.
inline constexpr size_t kReceiptIdMax = 64;
inline constexpr size_t kReceiptDateMax = 32;
inline constexpr size_t kReceiptStatMax = 32;
// Generated receipt texts are cut to this many characters.
inline constexpr size_t kReceiptTextMax = 159;

// The state named by an exact stat word ("DELIVRD" -> 2, "SKIPPED" -> 8);
// 0 for any other word.
uint8_t messageStateFromWord(std::string_view word);

// The stat word written for a state in generated receipts.
const char* receiptStatWord(uint8_t state);

struct ReceiptInfo {
  std::string messageId;
  std::string submitDate;
  std::string doneDate;
  uint8_t state = STATE_NONE;
  uint32_t error = 0;
  // True when the text followed the receipt pattern with all five fields.
  bool patternMatched = false;
};

// Reads "id:%s sub:%*d dlvrd:%*d submit date:%s done date:%s stat:%s err:%d"
// with scanf's conventions (white space in the pattern matches any run of
// white space, %s stops at white space, numbers may carry a sign). True when
// all five fields were read within their bounds; `out` then holds them.
bool scanReceiptText(std::string_view text, ReceiptInfo& out);

// The whole receipt reading: the pattern, else the first state word found
// anywhere in the text; then the receipt TLVs (message_state,
// network_error_code of network type 3, receipted_message_id) override in
// their order. `tlvs` may be null.
ReceiptInfo parseReceiptText(std::string_view text, const std::vector<TLV>* tlvs);

// "id:%s sub:000 dlvrd:%03d submit date:%s done date:%s stat:%s err:%03d text:"
// with both dates the UTC minute of `nowMicros`; cut to 159 characters.
std::string formatReceiptText(std::string_view messageId, uint8_t state, uint32_t error,
                              uint64_t nowMicros);

// message_state, network_error_code (GSM, 16-bit error) and
// receipted_message_id (id with its NUL), in that order.
std::vector<TLV> makeReceiptTLVs(uint8_t state, uint32_t error, std::string_view messageId);

}  // namespace SMPP
