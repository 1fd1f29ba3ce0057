#include "smpp/message_text.h"

namespace SMPP {
namespace {

void appendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

constexpr uint32_t kReplacement = 0xFFFD;

}  // namespace

std::string decodeMessageText(const uint8_t* data, size_t len, uint8_t esmClass,
                              uint8_t dataCoding) {
  if (len == 0) return {};
  size_t pos = 0;
  if (esmClass & ESM_CLASS_UDHI) {
    pos = static_cast<size_t>(data[0]) + 1;
    if (pos >= len) return {};
  }
  if (dataCoding != DATA_CODING_UCS2) {
    return std::string(reinterpret_cast<const char*>(data + pos), len - pos);
  }
  std::string out;
  out.reserve((len - pos) / 2 * 3);
  while (pos + 1 < len) {
    uint32_t unit = static_cast<uint32_t>(data[pos]) << 8 | data[pos + 1];
    pos += 2;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (pos + 1 < len) {
        const uint32_t low = static_cast<uint32_t>(data[pos]) << 8 | data[pos + 1];
        if (low >= 0xDC00 && low <= 0xDFFF) {
          pos += 2;
          appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
          continue;
        }
      }
      appendUtf8(out, kReplacement);
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      appendUtf8(out, kReplacement);
    } else {
      appendUtf8(out, unit);
    }
  }
  if (pos < len) appendUtf8(out, kReplacement);
  return out;
}

std::string decodeMessageText(const std::vector<uint8_t>& message, uint8_t esmClass,
                              uint8_t dataCoding) {
  return decodeMessageText(message.data(), message.size(), esmClass, dataCoding);
}

}  // namespace SMPP
