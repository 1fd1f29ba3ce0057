#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "downstream/deliver_sm_queue.h"
#include "smpp/pdu.h"

class OstrelSession;

// Receipts this gateway writes itself, for messages that never went to an
// SMSC (the internal simulator, a refusal by the external logic). Pure
// functions plus one push; callable from any thread (the queue is
// thread-safe), in practice from the listener thread that handled the
// submit.

// Whether a submit's registered_delivery (its lowest two bits) asks for a
// receipt in `state`: 1 always, 2 only for a failure (not delivered),
// 3 only for delivered, 0 never.
bool receiptWanted(uint8_t registeredDelivery, uint8_t state);

// The deliver_sm body of a receipt for `submit`: addresses swapped, esm_class
// 0x04, the receipt text of `nowMicros` with its NUL as short_message, and
// the three receipt TLVs when `interfaceVersion` is above 3.3. Empty when no
// receipt is wanted.
std::optional<DeliverSMQueue::Body> makeDeliveryReceiptBody(const SMPP::T_SubmitSM& submit,
                                                            const std::string& messageId,
                                                            uint8_t state, uint8_t error,
                                                            uint8_t interfaceVersion,
                                                            uint64_t nowMicros);

// Builds the receipt for a submit of `session`'s customer and queues it under
// the session's bound system id. False when none was wanted (or the session
// is not bound), so nothing was queued.
bool generateDeliveryReceipt(const OstrelSession& session, const SMPP::T_SubmitSM& submit,
                             const std::string& messageId, uint8_t state, uint8_t error,
                             uint64_t nowMicros,
                             DeliverSMQueue& queue = DeliverSMQueue::instance());
