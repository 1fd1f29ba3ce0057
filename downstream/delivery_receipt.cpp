#include "downstream/delivery_receipt.h"

#include "downstream/ostrel_session.h"
#include "smpp/receipt.h"

namespace {

void putCString(DeliverSMQueue::Body& out, const std::string& text) {
  out.insert(out.end(), text.begin(), text.end());
  out.push_back(0);
}

}  // namespace

bool receiptWanted(uint8_t registeredDelivery, uint8_t state) {
  switch (registeredDelivery & 0x03) {
    case 1:
      return true;
    case 2:
      return state != SMPP::STATE_DELIVERED;
    case 3:
      return state == SMPP::STATE_DELIVERED;
    default:
      return false;
  }
}

std::optional<DeliverSMQueue::Body> makeDeliveryReceiptBody(const SMPP::T_SubmitSM& submit,
                                                            const std::string& messageId,
                                                            uint8_t state, uint8_t error,
                                                            uint8_t interfaceVersion,
                                                            uint64_t nowMicros) {
  if (!receiptWanted(submit.registered_delivery, state)) return std::nullopt;
  const std::string text = SMPP::formatReceiptText(messageId, state, error, nowMicros);
  DeliverSMQueue::Body body;
  body.reserve(64 + submit.source_addr.size() + submit.destination_addr.size() + text.size() +
               messageId.size());
  putCString(body, "");  // service_type
  // The receipt travels back: the handset is its source, the customer's
  // sender its destination.
  body.push_back(submit.dest_addr_ton);
  body.push_back(submit.dest_addr_npi);
  putCString(body, submit.destination_addr);
  body.push_back(submit.source_addr_ton);
  body.push_back(submit.source_addr_npi);
  putCString(body, submit.source_addr);
  body.push_back(0x04);  // esm_class: delivery receipt
  body.push_back(0);     // protocol_id
  body.push_back(0);     // priority_flag
  putCString(body, "");  // schedule_delivery_time
  putCString(body, "");  // validity_period
  body.push_back(0);     // registered_delivery
  body.push_back(0);     // replace_if_present_flag
  body.push_back(0);     // data_coding
  body.push_back(0);     // sm_default_msg_id
  // The text is at most 159 characters, so with its NUL it fits sm_length.
  body.push_back(static_cast<uint8_t>(text.size() + 1));
  putCString(body, text);
  if (interfaceVersion > SMPP::INTERFACE_VERSION_33) {
    for (const SMPP::TLV& tlv : SMPP::makeReceiptTLVs(state, error, messageId))
      SMPP::appendTLV(body, tlv);
  }
  return body;
}

bool generateDeliveryReceipt(const OstrelSession& session, const SMPP::T_SubmitSM& submit,
                             const std::string& messageId, uint8_t state, uint8_t error,
                             uint64_t nowMicros, DeliverSMQueue& queue) {
  if (session.boundSystemId().empty()) return false;
  std::optional<DeliverSMQueue::Body> body = makeDeliveryReceiptBody(
      submit, messageId, state, error, session.interfaceVersion(), nowMicros);
  if (!body) return false;
  queue.pushDeliverSM(session.boundSystemId(), *body);
  return true;
}
