#pragma once

#include <cstdint>
#include <vector>

namespace SMPP {

// One optional parameter of an SMPP body. On the wire tag and length are
// 16-bit big-endian; in memory both are held as 32-bit values so that a
// record can be inspected without narrowing. A value type only: copy it
// freely between threads.
struct TLV {
  uint32_t tag = 0;
  uint32_t length = 0;
  std::vector<uint8_t> value;

  bool operator==(const TLV&) const = default;
};

// Tags this gateway builds or interprets.
inline constexpr uint32_t TAG_ADDITIONAL_STATUS_INFO_TEXT = 0x001D;
inline constexpr uint32_t TAG_RECEIPTED_MESSAGE_ID = 0x001E;
inline constexpr uint32_t TAG_SAR_MSG_REF_NUM = 0x020C;
inline constexpr uint32_t TAG_SAR_TOTAL_SEGMENTS = 0x020E;
inline constexpr uint32_t TAG_SAR_SEGMENT_SEQNUM = 0x020F;
inline constexpr uint32_t TAG_SC_INTERFACE_VERSION = 0x0210;
inline constexpr uint32_t TAG_NETWORK_ERROR_CODE = 0x0423;
inline constexpr uint32_t TAG_MESSAGE_PAYLOAD = 0x0424;
inline constexpr uint32_t TAG_MESSAGE_STATE = 0x0427;
// Further message ids of an accepted submit (non-standard).
inline constexpr uint32_t TAG_ADDITIONAL_MESSAGE_IDS = 0x1400;

}  // namespace SMPP
