#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "smpp/pdu.h"

// The ELI request document and the reading of the ELI answer. Pure
// functions, safe from any thread.

// The document posted for `submit`. Texts come from the customer and may
// hold octets that are not UTF-8, which a JSON string cannot carry: such a
// text keeps its member with each invalid sequence replaced by U+FFFD, and
// the exact octets go beside it in lower-case hex under the member's name
// + "_hex" (TLVs: "value" and "value_hex"). Dumping the result never throws.
nlohmann::json buildELIRequest(const std::string& systemId, const std::string& peerIp,
                               const SMPP::T_SubmitSM& submit, uint32_t type);

// "%Y-%m-%dT%H:%M:%SZ" of microseconds since the epoch, cut to seconds.
std::string eliTimeText(uint64_t micros);

bool isValidUtf8(std::string_view text);
// `text` with every invalid sequence replaced by U+FFFD.
std::string replaceInvalidUtf8(std::string_view text);

// What the ELI service decided about a submit. Read on the thread that
// applies it (the customer's session).
struct ELIDecision {
  enum class Action { Continue, Reject, RejectWithReceipt };
  Action action = Action::Continue;
  uint32_t commandStatus = 0x00000045;  // "cmdstatus", for Reject
  uint32_t messageState = 5;            // "status", for RejectWithReceipt
  uint32_t networkError = 0;            // "networkerror", for RejectWithReceipt
};

// Reads an answer (null: no answer, continue). A "cmdstatus", "status" or
// "networkerror" that is present but not an integer from 0 to 2^32 - 1 is
// treated as absent, with a WARNING and "eliAnswerFieldInvalid" counted.
ELIDecision readELIDecision(const nlohmann::json& answer);
