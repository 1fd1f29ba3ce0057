#include "downstream/delivery_receipt.h"

#include "downstream/ostrel_session.h"
#include "smpp/receipt.h"

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
  // A deliver_sm body is laid out as a submit_sm body, so the submit encoder
  // writes it; every field left out here is empty or 0.
  SMPP::T_SubmitSM receipt;
  // The receipt travels back: the handset is its source, the customer's
  // sender its destination.
  receipt.source_addr_ton = submit.dest_addr_ton;
  receipt.source_addr_npi = submit.dest_addr_npi;
  receipt.source_addr = submit.destination_addr;
  receipt.dest_addr_ton = submit.source_addr_ton;
  receipt.dest_addr_npi = submit.source_addr_npi;
  receipt.destination_addr = submit.source_addr;
  receipt.esm_class = 0x04;  // delivery receipt
  // The text is at most 159 characters; its NUL is part of the message.
  receipt.short_message.assign(text.begin(), text.end());
  receipt.short_message.push_back(0);
  if (interfaceVersion > SMPP::INTERFACE_VERSION_33)
    receipt.tlvs = SMPP::makeReceiptTLVs(state, error, messageId);
  DeliverSMQueue::Body body;
  // Addresses come from a decoded submit, so they always fit their fields.
  if (!SMPP::encodeSubmitSMBody(SMPP::SUBMIT_SM, receipt, body)) return std::nullopt;
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
