#include "lookup/eli_document.h"

#include <ctime>

#include "admin/metrics.h"
#include "base/log.h"

namespace {

constexpr const char* kClassName = "ExtLogicIntegrationMaster";
constexpr const char* kReplacement = "\xEF\xBF\xBD";

// Length of the valid UTF-8 sequence at the start of `s`, or 0.
size_t validSequenceLength(std::string_view s) {
  const auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char c = b(0);
  if (c < 0x80) return 1;
  size_t length;
  unsigned char low = 0x80, high = 0xBF;  // bounds of the second octet
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    if (c == 0xE0) low = 0xA0;   // overlong
    if (c == 0xED) high = 0x9F;  // surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    if (c == 0xF0) low = 0x90;   // overlong
    if (c == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (s.size() < length) return 0;
  if (b(1) < low || b(1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (b(i) < 0x80 || b(i) > 0xBF) return 0;
  }
  return length;
}

std::string hexOctets(std::string_view octets) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(octets.size() * 2);
  for (char ch : octets) {
    const auto c = static_cast<unsigned char>(ch);
    out += digits[c >> 4];
    out += digits[c & 0x0F];
  }
  return out;
}

void putText(nlohmann::json& object, const char* key, std::string_view text) {
  if (isValidUtf8(text)) {
    object[key] = std::string(text);
    return;
  }
  object[key] = replaceInvalidUtf8(text);
  object[std::string(key) + "_hex"] = hexOctets(text);
}

// The value of member `key` when it is a 32-bit unsigned integer; otherwise
// `fallback`, with a warning when the member is present.
uint32_t readCode(const nlohmann::json& answer, const char* key, uint32_t fallback) {
  auto it = answer.find(key);
  if (it == answer.end()) return fallback;
  if (it->is_number_unsigned() && it->get<uint64_t>() <= 0xFFFFFFFFull) {
    return static_cast<uint32_t>(it->get<uint64_t>());
  }
  if (it->is_number_integer() && it->get<int64_t>() >= 0 && it->get<int64_t>() <= 0xFFFFFFFFll) {
    return static_cast<uint32_t>(it->get<int64_t>());
  }
  MetricsRegistry::instance().incrementCounter("eliAnswerFieldInvalid");
  logMessage(LOG_WARNING, nullptr, kClassName, "readELIDecision",
             "Answer member \"%s\" is not a 32-bit unsigned integer (%s); using %u", key,
             it->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str(), fallback);
  return fallback;
}

}  // namespace

bool isValidUtf8(std::string_view text) {
  while (!text.empty()) {
    const size_t n = validSequenceLength(text);
    if (n == 0) return false;
    text.remove_prefix(n);
  }
  return true;
}

std::string replaceInvalidUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const size_t n = validSequenceLength(text);
    if (n == 0) {
      out += kReplacement;
      text.remove_prefix(1);
    } else {
      out.append(text.substr(0, n));
      text.remove_prefix(n);
    }
  }
  return out;
}

std::string eliTimeText(uint64_t micros) {
  const time_t seconds = static_cast<time_t>(micros / 1000000);
  tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

nlohmann::json buildELIRequest(const std::string& systemId, const std::string& peerIp,
                               const SMPP::T_SubmitSM& submit, uint32_t type) {
  nlohmann::json sm = nlohmann::json::object();
  putText(sm, "service_type", submit.service_type);
  sm["source_addr_ton"] = submit.source_addr_ton;
  sm["source_addr_npi"] = submit.source_addr_npi;
  putText(sm, "source_addr", submit.source_addr);
  sm["dest_addr_ton"] = submit.dest_addr_ton;
  sm["dest_addr_npi"] = submit.dest_addr_npi;
  putText(sm, "destination_addr", submit.destination_addr);
  sm["esm_class"] = submit.esm_class;
  sm["protocol_id"] = submit.protocol_id;
  sm["priority_flag"] = submit.priority_flag;
  if (submit.schedule_delivery_time != 0) {
    sm["schedule_delivery_time"] = eliTimeText(submit.schedule_delivery_time);
  }
  sm["validity_period"] = eliTimeText(submit.validity_period);
  sm["registered_delivery"] = submit.registered_delivery;
  sm["replace_if_present_flag"] = submit.replace_if_present_flag;
  sm["data_coding"] = submit.data_coding;
  sm["sm_default_msg_id"] = submit.sm_default_msg_id;
  // Numbers, not text: the octets are in the customer's coding.
  nlohmann::json octets = nlohmann::json::array();
  for (uint8_t octet : submit.short_message) octets.push_back(octet);
  sm["short_message"] = std::move(octets);
  if (!submit.tlvs.empty()) {
    nlohmann::json tlvs = nlohmann::json::array();
    for (const SMPP::TLV& tlv : submit.tlvs) {
      nlohmann::json item = {{"tag", tlv.tag}, {"length", tlv.length}};
      putText(item, "value",
              std::string_view(reinterpret_cast<const char*>(tlv.value.data()), tlv.value.size()));
      tlvs.push_back(std::move(item));
    }
    sm["tlvs"] = std::move(tlvs);
  }
  nlohmann::json document = {{"submitsm", std::move(sm)}, {"type", type}};
  putText(document, "systemid", systemId);
  putText(document, "ipaddr", peerIp);
  return document;
}

ELIDecision readELIDecision(const nlohmann::json& answer) {
  ELIDecision decision;
  if (!answer.is_object()) return decision;
  auto action = answer.find("action");
  if (action == answer.end() || !action->is_string()) return decision;
  const std::string& text = action->get_ref<const std::string&>();
  if (text == "reject") {
    decision.action = ELIDecision::Action::Reject;
    decision.commandStatus = readCode(answer, "cmdstatus", decision.commandStatus);
  } else if (text == "reject_dlr") {
    decision.action = ELIDecision::Action::RejectWithReceipt;
    decision.messageState = readCode(answer, "status", decision.messageState);
    decision.networkError = readCode(answer, "networkerror", decision.networkError);
  }
  return decision;
}
