// parseSubmitSM on arbitrary bodies of submit_sm and data_sm (the first byte
// picks the command). A body that decodes must encode again and decode to
// the same record, apart from the times (re-encoded as absolute times) and
// sm_default_msg_id (always sent as 0).
#include <cstdint>
#include <cstdlib>

#include "smpp/pdu.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint32_t commandId = data[0] & 1 ? SMPP::DATA_SM : SMPP::SUBMIT_SM;
  const uint64_t now = 1706745599ULL * 1000000ULL;
  SMPP::T_SubmitSM sm;
  uint32_t error = 0;
  const bool checkTimes = (data[0] & 2) != 0;
  if (!SMPP::parseSubmitSM(commandId, data + 1, size - 1, sm, checkTimes, error, now)) {
    if (error != 0x45 && error != 0x61 && error != 0x62) abort();
    return 0;
  }
  std::vector<uint8_t> body;
  if (!SMPP::encodeSubmitSMBody(commandId, sm, body)) {
    // Only a body that grew past the PDU limit may fail to encode.
    if (size < 60000) abort();
    return 0;
  }
  SMPP::T_SubmitSM again;
  if (!SMPP::parseSubmitSM(commandId, body.data(), body.size(), again, false, error, now)) abort();
  sm.schedule_delivery_time = again.schedule_delivery_time;
  sm.validity_period = again.validity_period;
  sm.sm_default_msg_id = 0;
  if (!(sm == again)) abort();
  // deliver_sm shares the submit_sm layout.
  SMPP::parseDeliverSM(data + 1, size - 1, again, now);
  return 0;
}
