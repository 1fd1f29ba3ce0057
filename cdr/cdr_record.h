#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "smpp/pdu.h"

// Where a record comes from; decides which columns it fills when stored.
enum class CDROrigin : uint8_t {
  MTSubmit,   // opened at a forwarded submit, completed by response (and receipt)
  MTReceipt,  // receipt-only record, stored per step
  MO,         // mobile-originated message delivered to a customer
};

// One call detail record, copied by value between the pending table, the
// batches and the backends.
//
// Times are nanoseconds since the epoch from the wall clock, 0 when the event
// has not happened. The four ISO 8601 texts are not kept here: they are pure
// functions of the times (isoTime) and are produced when a record is encoded,
// which keeps every update on the message path free of formatting and
// allocation.
struct CDRRecord {
  std::string messageId;
  std::string sourceAddr;
  std::string destAddr;
  int64_t submitTime = 0;
  int64_t messageIdTime = 0;
  int64_t dlrReceivedTime = 0;
  std::string dlrDoneDate;
  uint32_t submitStatus = 0;
  int64_t deliveryTime = 0;
  uint32_t deliveryStatus = 0;
  uint32_t errorCode = 0;
  std::string esmeId;
  std::string esmeIp;
  std::string smscName;
  uint64_t smscId = 0;
  uint64_t messageLength = 0;
  uint8_t dataCoding = 0;
  uint8_t esmClass = 0;
  uint8_t registeredDelivery = 0;
  bool isConcatenated = false;
  uint8_t concatRef = 0;
  uint8_t concatTotal = 0;
  uint8_t concatPart = 0;
  std::string mccMNC;
  uint64_t upstreamSequence = 0;  // internal, never stored
  CDROrigin origin = CDROrigin::MTSubmit;

  bool operator==(const CDRRecord&) const = default;
};

// "%Y-%m-%dT%H:%M:%SZ" in UTC, whole seconds; 0 gives "1970-01-01T00:00:00Z".
std::string isoTime(int64_t nanos);
// The same text in the calling thread's own buffer, good until its next call:
// for encoders that copy it at once. At most 31 characters.
std::string_view isoTimeText(int64_t nanos);

// Fills the concatenation fields from the user data header (esm_class 0x40,
// first information element 0x00) or else from the sar_ parameters
// (0x020C, 0x020E, 0x020F). Returns whether the message is a part.
bool extractConcatenation(const SMPP::T_SubmitSM& message, CDRRecord& record);
