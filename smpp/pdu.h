#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "smpp/tlv.h"

// The SMPP 3.4 wire format: header, command ids and their names, the
// command_status values the gateway emits, C-octet strings, TLVs and the
// bodies the gateway parses or builds. Pure functions without I/O; safe
// from any thread. Decode failures are return values, never exceptions.
namespace SMPP {

// ---- Header and limits ----------------------------------------------------

inline constexpr size_t HEADER_LENGTH = 16;
inline constexpr size_t MAX_PDU_LENGTH = 66560;
inline constexpr size_t MAX_BODY_LENGTH = MAX_PDU_LENGTH - HEADER_LENGTH;

struct PDUHeader {
  uint32_t commandLength = 0;
  uint32_t commandId = 0;
  uint32_t commandStatus = 0;
  uint32_t sequenceNumber = 0;
};

inline uint32_t readU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}
inline uint16_t readU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline void writeU32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// Decodes the 16 header octets at `p`.
PDUHeader decodeHeader(const uint8_t* p);
// Writes a header for a body of `bodyLength` octets into `out` (16 octets).
void encodeHeader(uint8_t* out, size_t bodyLength, uint32_t commandId, uint32_t commandStatus,
                  uint32_t sequenceNumber);
// Header and body as one PDU.
std::vector<uint8_t> encodePDU(uint32_t commandId, uint32_t commandStatus, uint32_t sequenceNumber,
                               const uint8_t* body, size_t bodyLength);
inline std::vector<uint8_t> encodePDU(uint32_t commandId, uint32_t commandStatus,
                                      uint32_t sequenceNumber, const std::vector<uint8_t>& body) {
  return encodePDU(commandId, commandStatus, sequenceNumber, body.data(), body.size());
}

// ---- Command ids ----------------------------------------------------------

inline constexpr uint32_t RESPONSE_BIT = 0x80000000;

inline constexpr uint32_t GENERIC_NACK = 0x80000000;
inline constexpr uint32_t BIND_RECEIVER = 0x00000001;
inline constexpr uint32_t BIND_RECEIVER_RESP = 0x80000001;
inline constexpr uint32_t BIND_TRANSMITTER = 0x00000002;
inline constexpr uint32_t BIND_TRANSMITTER_RESP = 0x80000002;
inline constexpr uint32_t QUERY_SM = 0x00000003;
inline constexpr uint32_t QUERY_SM_RESP = 0x80000003;
inline constexpr uint32_t SUBMIT_SM = 0x00000004;
inline constexpr uint32_t SUBMIT_SM_RESP = 0x80000004;
inline constexpr uint32_t DELIVER_SM = 0x00000005;
inline constexpr uint32_t DELIVER_SM_RESP = 0x80000005;
inline constexpr uint32_t UNBIND = 0x00000006;
inline constexpr uint32_t UNBIND_RESP = 0x80000006;
inline constexpr uint32_t REPLACE_SM = 0x00000007;
inline constexpr uint32_t REPLACE_SM_RESP = 0x80000007;
inline constexpr uint32_t CANCEL_SM = 0x00000008;
inline constexpr uint32_t CANCEL_SM_RESP = 0x80000008;
inline constexpr uint32_t BIND_TRANSCEIVER = 0x00000009;
inline constexpr uint32_t BIND_TRANSCEIVER_RESP = 0x80000009;
inline constexpr uint32_t OUTBIND = 0x0000000B;
inline constexpr uint32_t ENQUIRE_LINK = 0x00000015;
inline constexpr uint32_t ENQUIRE_LINK_RESP = 0x80000015;
inline constexpr uint32_t SUBMIT_MULTI = 0x00000021;
inline constexpr uint32_t SUBMIT_MULTI_RESP = 0x80000021;
inline constexpr uint32_t ALERT_NOTIFICATION = 0x00000102;
inline constexpr uint32_t DATA_SM = 0x00000103;
inline constexpr uint32_t DATA_SM_RESP = 0x80000103;
inline constexpr uint32_t BROADCAST_SM = 0x00000111;
inline constexpr uint32_t BROADCAST_SM_RESP = 0x80000111;
inline constexpr uint32_t QUERY_BROADCAST_SM = 0x00000112;
inline constexpr uint32_t QUERY_BROADCAST_SM_RESP = 0x80000112;
inline constexpr uint32_t CANCEL_BROADCAST_SM = 0x00000113;
inline constexpr uint32_t CANCEL_BROADCAST_SM_RESP = 0x80000113;

// "BindReceiver", "SubmitSMResp", ...; "" for an id not in the table.
const char* commandName(uint32_t commandId);

// ---- Command status -------------------------------------------------------

inline constexpr uint32_t ESME_ROK = 0x00;
inline constexpr uint32_t ESME_RINVCMDID = 0x03;
inline constexpr uint32_t ESME_RINVBNDSTS = 0x04;
inline constexpr uint32_t ESME_RALYBND = 0x05;
inline constexpr uint32_t ESME_RINVDSTADR = 0x0B;
inline constexpr uint32_t ESME_RBINDFAIL = 0x0D;
inline constexpr uint32_t ESME_RCANCELFAIL = 0x11;
inline constexpr uint32_t ESME_RSUBMITFAIL = 0x45;
inline constexpr uint32_t ESME_RTHROTTLED = 0x58;
inline constexpr uint32_t ESME_RINVSCHED = 0x61;
inline constexpr uint32_t ESME_RINVEXPIRY = 0x62;
inline constexpr uint32_t ESME_RQUERYFAIL = 0x67;

// Names of ESME_ROK, ESME_RINVCMDID, ESME_RINVBNDSTS and ESME_RALYBND; ""
// for any other value.
const char* statusName(uint32_t status);

// ---- Interface versions ---------------------------------------------------

inline constexpr uint8_t INTERFACE_VERSION_33 = 0x33;
inline constexpr uint8_t INTERFACE_VERSION_34 = 0x34;
inline constexpr uint8_t INTERFACE_VERSION_50 = 0x50;

// Server side: 0x33 and 0x50 stay, every other value becomes 0x34.
uint8_t negotiateInterfaceVersion(uint8_t requested);

// ---- C-octet strings and TLVs ---------------------------------------------

// C-octet string maxima, the NUL included.
inline constexpr size_t MAX_SYSTEM_ID = 16;
inline constexpr size_t MAX_PASSWORD = 9;
inline constexpr size_t MAX_SYSTEM_TYPE = 13;
inline constexpr size_t MAX_SERVICE_TYPE = 6;
inline constexpr size_t MAX_ADDRESS = 21;
inline constexpr size_t MAX_TIME = 17;
inline constexpr size_t MAX_MESSAGE_ID = 65;
inline constexpr size_t MAX_ADDRESS_RANGE = 41;

// Copies the bytes from `offset` up to a NUL into `dest`. True when the NUL
// lies within `maxSize` bytes (NUL included) and before `len`; `offset` then
// points past the NUL. On false `offset` is unchanged.
bool readCString(const uint8_t* body, size_t len, size_t& offset, std::string& dest,
                 size_t maxSize);

// Decodes `len` bytes of TLVs into `dest` (replacing its contents). True when
// the run is consumed exactly; false as soon as a TLV would run past the end.
bool parseTLVs(std::vector<TLV>& dest, size_t len, const uint8_t* bytes);

// Appends tag, 16-bit length and value; false (nothing appended) when the
// value does not fit 16 bits.
bool appendTLV(std::vector<uint8_t>& out, uint32_t tag, const uint8_t* value, size_t length);
inline bool appendTLV(std::vector<uint8_t>& out, const TLV& t) {
  return appendTLV(out, t.tag, t.value.data(), t.value.size());
}

// ---- submit_sm / data_sm / deliver_sm -------------------------------------

// The one decoded form of submit_sm, data_sm and deliver_sm. Times are
// microseconds since the Unix epoch. A value type: copy it between threads.
struct T_SubmitSM {
  std::string service_type;
  uint8_t source_addr_ton = 0;
  uint8_t source_addr_npi = 0;
  std::string source_addr;
  uint8_t dest_addr_ton = 0;
  uint8_t dest_addr_npi = 0;
  std::string destination_addr;
  uint8_t esm_class = 0;
  uint8_t protocol_id = 0;
  uint8_t priority_flag = 0;
  uint64_t schedule_delivery_time = 0;  // 0: immediate
  uint64_t validity_period = 0;         // expiry instant
  uint8_t registered_delivery = 0;
  uint8_t replace_if_present_flag = 0;
  uint8_t data_coding = 0;
  uint8_t sm_default_msg_id = 0;
  std::vector<uint8_t> short_message;
  std::vector<TLV> tlvs;

  bool operator==(const T_SubmitSM&) const = default;
};

// Validity given to a submit without one: 24 hours.
inline constexpr uint64_t DEFAULT_VALIDITY_MICROS = 86400000000ULL;

// Decodes a submit_sm (0x04) or data_sm (0x103) body. On failure returns
// false with `error` holding the status to answer with (0x45 malformed,
// 0x61 schedule in the past, 0x62 expiry in the past) and leaves `out`
// unchanged. `now` is microseconds since the epoch; times are checked
// against it only with `checkTimes`.
bool parseSubmitSM(uint32_t commandId, const uint8_t* body, size_t len, T_SubmitSM& out,
                   bool checkTimes, uint32_t& error, uint64_t now);

// Decodes a deliver_sm body (submit_sm layout) without time checks.
bool parseDeliverSM(const uint8_t* body, size_t len, T_SubmitSM& out, uint64_t now);

// Builds the body of a submit_sm or deliver_sm (submit_sm layout) or a
// data_sm from `sm`, replacing `out`. A data_sm carries the record's TLVs
// unchanged; when it has no message_payload but a short message, the short
// message travels as message_payload. False when the record cannot be sent
// as it stands: a text longer than its field or holding a NUL, a short
// message above 255 octets for the submit_sm layout, a TLV value above
// 65,535 octets, or a body above the PDU limit.
bool encodeSubmitSMBody(uint32_t commandId, const T_SubmitSM& sm, std::vector<uint8_t>& out);

// ---- bind -----------------------------------------------------------------

struct BindRequest {
  std::string systemId;
  std::string password;
  std::string systemType;
  uint8_t interfaceVersion = 0;
};

// Reads system_id, password, system_type and interface_version; the rest of
// the body is ignored. False when any of them is missing or too long.
bool parseBindBody(const uint8_t* body, size_t len, BindRequest& out);

// Body of a bind request towards an SMSC: addr_ton 0, addr_npi 0, empty
// address_range. False when a text does not fit its field.
bool encodeBindBody(const std::string& systemId, const std::string& password,
                    const std::string& systemType, uint8_t interfaceVersion,
                    std::vector<uint8_t>& out);

// Name the gateway gives itself in bind responses.
inline constexpr const char* BIND_RESPONSE_SYSTEM_ID = "VantrelSMSC";

// Body of an accepting bind response: system_id, then sc_interface_version
// unless the negotiated version is 0x33.
void encodeBindResponseBody(const std::string& systemId, uint8_t negotiatedVersion,
                            std::vector<uint8_t>& out);

// ---- query_sm / cancel_sm -------------------------------------------------

// Reads message_id; the source address fields that follow are not read.
bool parseQuerySM(const uint8_t* body, size_t len, std::string& messageId);
void encodeQuerySMResponseBody(const std::string& messageId, const std::string& finalDate,
                               uint8_t messageState, uint8_t errorCode, std::vector<uint8_t>& out);

// Reads service_type and message_id; the remaining fields are not read.
bool parseCancelSM(const uint8_t* body, size_t len, std::string& serviceType,
                   std::string& messageId);

// ---- response bodies ------------------------------------------------------

// message_id and its NUL: submit_sm_resp, data_sm_resp, deliver_sm_resp.
void encodeMessageIdBody(const std::string& messageId, std::vector<uint8_t>& out);

// A refusal that carries a reason: an empty message_id, then
// additional_status_info_text holding the text and its NUL. The empty
// message_id keeps the body readable by any client, which reads the
// message_id field before looking for TLVs.
void encodeStatusTextBody(const std::string& text, std::vector<uint8_t>& out);

}  // namespace SMPP
