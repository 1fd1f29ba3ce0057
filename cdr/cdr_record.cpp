#include "cdr/cdr_record.h"

#include <algorithm>
#include <ctime>

std::string_view isoTimeText(int64_t nanos) {
  // Rows come in bursts from the same second: the text of the last second
  // seen on this thread is kept.
  thread_local time_t lastSeconds = -1;
  thread_local char text[32];
  thread_local size_t length = 0;
  const time_t seconds = static_cast<time_t>(nanos / 1000000000LL);
  if (seconds != lastSeconds) {
    struct tm parts {};
    gmtime_r(&seconds, &parts);
    length = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    lastSeconds = seconds;
  }
  return std::string_view(text, length);
}

std::string isoTime(int64_t nanos) {
  return std::string(isoTimeText(nanos));
}

namespace {

constexpr uint32_t kTagSarMsgRefNum = 0x020C;
constexpr uint32_t kTagSarTotalSegments = 0x020E;
constexpr uint32_t kTagSarSegmentSeqnum = 0x020F;

bool concatenationFromHeader(const std::vector<uint8_t>& sm, CDRRecord& record) {
  if (sm.empty()) return false;
  const size_t end = std::min<size_t>(sm.size(), 1 + static_cast<size_t>(sm[0]));
  size_t at = 1;
  while (at + 2 <= end) {
    const uint8_t id = sm[at];
    const size_t len = sm[at + 1];
    const size_t data = at + 2;
    if (data + len > end) return false;
    if (id == 0x00 && len >= 3) {
      record.concatRef = sm[data];
      record.concatTotal = sm[data + 1];
      record.concatPart = sm[data + 2];
      return true;
    }
    at = data + len;
  }
  return false;
}

bool concatenationFromSar(const std::vector<SMPP::TLV>& tlvs, CDRRecord& record) {
  bool any = false;
  record.concatRef = 0;
  record.concatTotal = 1;
  record.concatPart = 1;
  for (const SMPP::TLV& tlv : tlvs) {
    if (tlv.value.empty()) continue;
    // The reference is 16 bits on the wire; the record keeps its low 8 bits.
    if (tlv.tag == kTagSarMsgRefNum) {
      record.concatRef = tlv.value.back();
      any = true;
    } else if (tlv.tag == kTagSarTotalSegments) {
      record.concatTotal = tlv.value[0];
      any = true;
    } else if (tlv.tag == kTagSarSegmentSeqnum) {
      record.concatPart = tlv.value[0];
      any = true;
    }
  }
  if (!any) record.concatTotal = record.concatPart = 0;
  return any;
}

}  // namespace

bool extractConcatenation(const SMPP::T_SubmitSM& message, CDRRecord& record) {
  bool found = (message.esm_class & 0x40) != 0
                   ? concatenationFromHeader(message.short_message, record)
                   : concatenationFromSar(message.tlvs, record);
  record.isConcatenated = found;
  return found;
}
