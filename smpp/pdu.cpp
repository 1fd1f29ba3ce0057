#include "smpp/pdu.h"

#include <algorithm>
#include <cstring>

#include "smpp/smpp_time.h"

namespace SMPP {
namespace {

constexpr uint64_t kMicrosPerSecond = 1000000ULL;

void appendCString(std::vector<uint8_t>& out, const std::string& s) {
  out.insert(out.end(), s.begin(), s.end());
  out.push_back(0);
}

// A text that can travel in a C-octet field of `maxSize` (NUL included).
bool fitsCString(const std::string& s, size_t maxSize) {
  return s.size() < maxSize && std::memchr(s.data(), 0, s.size()) == nullptr;
}

// Turns a schedule or validity string into microseconds: a trailing 'R' is
// relative to now, anything else absolute. Empty gives `emptyValue`.
uint64_t decodeTime(const std::string& text, uint64_t now, uint64_t emptyValue) {
  if (text.empty()) return emptyValue;
  if (text.back() == 'R') return now + parseRelativeTime(text) * kMicrosPerSecond;
  return parseAbsoluteTime(text) * kMicrosPerSecond;
}

// The fields shared by submit_sm and data_sm, then the layout of each.
// Fixed fields are read only while bytes remain; a missing byte fails.
class BodyReader {
 public:
  BodyReader(const uint8_t* body, size_t len) : body_(body), len_(len) {}

  bool byte(uint8_t& out) {
    if (pos_ >= len_) return false;
    out = body_[pos_++];
    return true;
  }
  bool cstring(std::string& out, size_t maxSize) {
    return readCString(body_, len_, pos_, out, maxSize);
  }
  bool bytes(std::vector<uint8_t>& out, size_t n) {
    if (n > len_ - pos_) return false;
    out.assign(body_ + pos_, body_ + pos_ + n);
    pos_ += n;
    return true;
  }
  size_t remaining() const { return len_ - pos_; }
  const uint8_t* cursor() const { return body_ + pos_; }

 private:
  const uint8_t* body_;
  size_t len_;
  size_t pos_ = 0;
};

// Decodes either layout into `sm`; the times are left as their strings.
bool decodeSubmitLayout(uint32_t commandId, const uint8_t* body, size_t len, T_SubmitSM& sm,
                        std::string& schedule, std::string& validity) {
  BodyReader r(body, len);
  if (!r.cstring(sm.service_type, MAX_SERVICE_TYPE) || !r.byte(sm.source_addr_ton) ||
      !r.byte(sm.source_addr_npi) || !r.cstring(sm.source_addr, MAX_ADDRESS) ||
      !r.byte(sm.dest_addr_ton) || !r.byte(sm.dest_addr_npi) ||
      !r.cstring(sm.destination_addr, MAX_ADDRESS) || !r.byte(sm.esm_class)) {
    return false;
  }
  if (commandId == DATA_SM) {
    if (!r.byte(sm.registered_delivery) || !r.byte(sm.data_coding)) return false;
  } else {
    uint8_t smLength = 0;
    if (!r.byte(sm.protocol_id) || !r.byte(sm.priority_flag) || !r.cstring(schedule, MAX_TIME) ||
        !r.cstring(validity, MAX_TIME) || !r.byte(sm.registered_delivery) ||
        !r.byte(sm.replace_if_present_flag) || !r.byte(sm.data_coding) ||
        !r.byte(sm.sm_default_msg_id) || !r.byte(smLength) ||
        !r.bytes(sm.short_message, smLength)) {
      return false;
    }
  }
  // Some clients end the body with a stray NUL after the short message.
  if (r.remaining() == 1 && *r.cursor() == 0) return true;
  return parseTLVs(sm.tlvs, r.remaining(), r.cursor());
}

}  // namespace

PDUHeader decodeHeader(const uint8_t* p) {
  return PDUHeader{readU32(p), readU32(p + 4), readU32(p + 8), readU32(p + 12)};
}

void encodeHeader(uint8_t* out, size_t bodyLength, uint32_t commandId, uint32_t commandStatus,
                  uint32_t sequenceNumber) {
  writeU32(out, static_cast<uint32_t>(bodyLength + HEADER_LENGTH));
  writeU32(out + 4, commandId);
  writeU32(out + 8, commandStatus);
  writeU32(out + 12, sequenceNumber);
}

std::vector<uint8_t> encodePDU(uint32_t commandId, uint32_t commandStatus, uint32_t sequenceNumber,
                               const uint8_t* body, size_t bodyLength) {
  std::vector<uint8_t> pdu(HEADER_LENGTH + bodyLength);
  encodeHeader(pdu.data(), bodyLength, commandId, commandStatus, sequenceNumber);
  if (bodyLength > 0) std::memcpy(pdu.data() + HEADER_LENGTH, body, bodyLength);
  return pdu;
}

const char* commandName(uint32_t commandId) {
  switch (commandId) {
    case BIND_RECEIVER: return "BindReceiver";
    case BIND_RECEIVER_RESP: return "BindReceiverResp";
    case BIND_TRANSMITTER: return "BindTransmitter";
    case BIND_TRANSMITTER_RESP: return "BindTransmitterResp";
    case QUERY_SM: return "QuerySM";
    case QUERY_SM_RESP: return "QuerySMResp";
    case SUBMIT_SM: return "SubmitSM";
    case SUBMIT_SM_RESP: return "SubmitSMResp";
    case DELIVER_SM: return "DeliverSM";
    case DELIVER_SM_RESP: return "DeliverSMResp";
    case UNBIND: return "Unbind";
    case UNBIND_RESP: return "UnbindResp";
    case REPLACE_SM: return "ReplaceSM";
    case REPLACE_SM_RESP: return "ReplaceSMResp";
    case CANCEL_SM: return "CancelSM";
    case CANCEL_SM_RESP: return "CancelSMResp";
    case BIND_TRANSCEIVER: return "BindTransceiver";
    case BIND_TRANSCEIVER_RESP: return "BindTransceiverResp";
    case OUTBIND: return "Outbind";
    case GENERIC_NACK: return "GenericNack";
    case ENQUIRE_LINK: return "EnquireLink";
    case ENQUIRE_LINK_RESP: return "EnquireLinkResp";
    case SUBMIT_MULTI: return "SubmitMulti";
    case SUBMIT_MULTI_RESP: return "SubmitMultiResp";
    case ALERT_NOTIFICATION: return "AlertNotification";
    case DATA_SM: return "DataSM";
    case DATA_SM_RESP: return "DataSMResp";
    case BROADCAST_SM: return "BroadcastSM";
    case BROADCAST_SM_RESP: return "BroadcastSMResp";
    case QUERY_BROADCAST_SM: return "QueryBroadcastSM";
    case QUERY_BROADCAST_SM_RESP: return "QueryBroadcastSMResp";
    case CANCEL_BROADCAST_SM: return "CancelBroadcastSM";
    case CANCEL_BROADCAST_SM_RESP: return "CancelBroadcastSMResp";
    default: return "";
  }
}

const char* statusName(uint32_t status) {
  switch (status) {
    case ESME_ROK: return "ESME_ROK";
    case ESME_RINVCMDID: return "ESME_RINVCMDID";
    case ESME_RINVBNDSTS: return "ESME_RINVBNDSTS";
    case ESME_RALYBND: return "ESME_RALYBND";
    default: return "";
  }
}

uint8_t negotiateInterfaceVersion(uint8_t requested) {
  if (requested == INTERFACE_VERSION_33 || requested == INTERFACE_VERSION_50) return requested;
  return INTERFACE_VERSION_34;
}

bool readCString(const uint8_t* body, size_t len, size_t& offset, std::string& dest,
                 size_t maxSize) {
  if (offset >= len) return false;
  const size_t window = std::min(maxSize, len - offset);
  const void* nul = std::memchr(body + offset, 0, window);
  if (nul == nullptr) return false;
  const size_t n = static_cast<size_t>(static_cast<const uint8_t*>(nul) - (body + offset));
  dest.assign(reinterpret_cast<const char*>(body + offset), n);
  offset += n + 1;
  return true;
}

bool parseTLVs(std::vector<TLV>& dest, size_t len, const uint8_t* bytes) {
  dest.clear();
  size_t pos = 0;
  while (pos < len) {
    if (len - pos < 4) return false;
    TLV t;
    t.tag = readU16(bytes + pos);
    t.length = readU16(bytes + pos + 2);
    pos += 4;
    if (t.length > len - pos) return false;
    t.value.assign(bytes + pos, bytes + pos + t.length);
    pos += t.length;
    dest.push_back(std::move(t));
  }
  return true;
}

bool appendTLV(std::vector<uint8_t>& out, uint32_t tag, const uint8_t* value, size_t length) {
  if (length > 0xFFFF || tag > 0xFFFF) return false;
  const uint8_t head[4] = {static_cast<uint8_t>(tag >> 8), static_cast<uint8_t>(tag),
                           static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
  out.insert(out.end(), head, head + 4);
  if (length > 0) out.insert(out.end(), value, value + length);
  return true;
}

bool parseSubmitSM(uint32_t commandId, const uint8_t* body, size_t len, T_SubmitSM& out,
                   bool checkTimes, uint32_t& error, uint64_t now) {
  error = ESME_RSUBMITFAIL;
  if (commandId != SUBMIT_SM && commandId != DATA_SM) return false;
  T_SubmitSM sm;
  std::string schedule, validity;
  if (!decodeSubmitLayout(commandId, body, len, sm, schedule, validity)) return false;
  sm.schedule_delivery_time = decodeTime(schedule, now, 0);
  sm.validity_period = decodeTime(validity, now, now + DEFAULT_VALIDITY_MICROS);
  if (checkTimes) {
    if (sm.schedule_delivery_time != 0 && sm.schedule_delivery_time < now) {
      error = ESME_RINVSCHED;
      return false;
    }
    if (sm.validity_period < now) {
      error = ESME_RINVEXPIRY;
      return false;
    }
  }
  out = std::move(sm);
  return true;
}

bool parseDeliverSM(const uint8_t* body, size_t len, T_SubmitSM& out, uint64_t now) {
  T_SubmitSM sm;
  std::string schedule, validity;
  if (!decodeSubmitLayout(DELIVER_SM, body, len, sm, schedule, validity)) return false;
  sm.schedule_delivery_time = decodeTime(schedule, now, 0);
  sm.validity_period = decodeTime(validity, now, now + DEFAULT_VALIDITY_MICROS);
  out = std::move(sm);
  return true;
}

bool encodeSubmitSMBody(uint32_t commandId, const T_SubmitSM& sm, std::vector<uint8_t>& out) {
  out.clear();
  if (!fitsCString(sm.service_type, MAX_SERVICE_TYPE) ||
      !fitsCString(sm.source_addr, MAX_ADDRESS) || !fitsCString(sm.destination_addr, MAX_ADDRESS)) {
    return false;
  }
  size_t tlvBytes = 0;
  for (const TLV& t : sm.tlvs) {
    if (t.value.size() > 0xFFFF || t.tag > 0xFFFF) return false;
    tlvBytes += 4 + t.value.size();
  }
  out.reserve(64 + sm.short_message.size() + tlvBytes);
  appendCString(out, sm.service_type);
  out.push_back(sm.source_addr_ton);
  out.push_back(sm.source_addr_npi);
  appendCString(out, sm.source_addr);
  out.push_back(sm.dest_addr_ton);
  out.push_back(sm.dest_addr_npi);
  appendCString(out, sm.destination_addr);
  out.push_back(sm.esm_class);

  if (commandId == DATA_SM) {
    out.push_back(sm.registered_delivery);
    out.push_back(sm.data_coding);
    bool hasPayload = false;
    for (const TLV& t : sm.tlvs) hasPayload = hasPayload || t.tag == TAG_MESSAGE_PAYLOAD;
    if (!hasPayload && !sm.short_message.empty() &&
        !appendTLV(out, TAG_MESSAGE_PAYLOAD, sm.short_message.data(), sm.short_message.size())) {
      out.clear();
      return false;
    }
  } else {
    if (sm.short_message.size() > 255) {
      out.clear();
      return false;
    }
    out.push_back(sm.protocol_id);
    out.push_back(sm.priority_flag);
    for (const uint64_t time : {sm.schedule_delivery_time, sm.validity_period}) {
      char text[17] = {};
      if (time != 0) putAbsoluteTime(text, time);
      out.insert(out.end(), text, text + strlen(text) + 1);
    }
    out.push_back(sm.registered_delivery);
    out.push_back(sm.replace_if_present_flag);
    out.push_back(sm.data_coding);
    out.push_back(0);  // sm_default_msg_id
    out.push_back(static_cast<uint8_t>(sm.short_message.size()));
    out.insert(out.end(), sm.short_message.begin(), sm.short_message.end());
  }
  for (const TLV& t : sm.tlvs) appendTLV(out, t);
  if (out.size() > MAX_BODY_LENGTH) {
    out.clear();
    return false;
  }
  return true;
}

bool parseBindBody(const uint8_t* body, size_t len, BindRequest& out) {
  BindRequest b;
  size_t pos = 0;
  if (!readCString(body, len, pos, b.systemId, MAX_SYSTEM_ID) ||
      !readCString(body, len, pos, b.password, MAX_PASSWORD) ||
      !readCString(body, len, pos, b.systemType, MAX_SYSTEM_TYPE) || pos >= len) {
    return false;
  }
  b.interfaceVersion = body[pos];
  out = std::move(b);
  return true;
}

bool encodeBindBody(const std::string& systemId, const std::string& password,
                    const std::string& systemType, uint8_t interfaceVersion,
                    std::vector<uint8_t>& out) {
  out.clear();
  if (!fitsCString(systemId, MAX_SYSTEM_ID) || !fitsCString(password, MAX_PASSWORD) ||
      !fitsCString(systemType, MAX_SYSTEM_TYPE)) {
    return false;
  }
  appendCString(out, systemId);
  appendCString(out, password);
  appendCString(out, systemType);
  out.push_back(interfaceVersion);
  out.push_back(0);  // addr_ton
  out.push_back(0);  // addr_npi
  out.push_back(0);  // address_range: empty
  return true;
}

void encodeBindResponseBody(const std::string& systemId, uint8_t negotiatedVersion,
                            std::vector<uint8_t>& out) {
  out.clear();
  appendCString(out, systemId);
  if (negotiatedVersion != INTERFACE_VERSION_33) {
    appendTLV(out, TAG_SC_INTERFACE_VERSION, &negotiatedVersion, 1);
  }
}

bool parseQuerySM(const uint8_t* body, size_t len, std::string& messageId) {
  size_t pos = 0;
  return readCString(body, len, pos, messageId, MAX_MESSAGE_ID);
}

void encodeQuerySMResponseBody(const std::string& messageId, const std::string& finalDate,
                               uint8_t messageState, uint8_t errorCode, std::vector<uint8_t>& out) {
  out.clear();
  appendCString(out, messageId);
  appendCString(out, finalDate);
  out.push_back(messageState);
  out.push_back(errorCode);
}

bool parseCancelSM(const uint8_t* body, size_t len, std::string& serviceType,
                   std::string& messageId) {
  size_t pos = 0;
  return readCString(body, len, pos, serviceType, MAX_SERVICE_TYPE) &&
         readCString(body, len, pos, messageId, MAX_MESSAGE_ID);
}

void encodeMessageIdBody(const std::string& messageId, std::vector<uint8_t>& out) {
  out.clear();
  appendCString(out, messageId);
}

void encodeStatusTextBody(const std::string& text, std::vector<uint8_t>& out) {
  out.clear();
  out.push_back(0);  // empty message_id
  std::vector<uint8_t> value(text.begin(), text.end());
  value.push_back(0);
  appendTLV(out, TAG_ADDITIONAL_STATUS_INFO_TEXT, value.data(), value.size());
}

}  // namespace SMPP
