// The SMPP time parsers on arbitrary text. A parsed absolute time formats
// back to a string that parses to the same instant (for the years the
// two-digit form can name).
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "smpp/smpp_time.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const uint64_t relative = SMPP::parseRelativeTime(text);
  if (relative > ((99ULL * 24 + 99) * 60 + 99) * 60 + 99) abort();
  const uint64_t absolute = SMPP::parseAbsoluteTime(text);
  if (absolute != 0 && absolute < 3155760000ULL) {  // before 2070
    const std::string back = SMPP::formatAbsoluteTime(absolute * 1000000ULL);
    if (SMPP::parseAbsoluteTime(back) != absolute) abort();
  }
  if (size >= 8) {
    uint64_t v = 0;
    for (size_t i = 0; i < 8; ++i) v = v << 8 | data[i];
    if (SMPP::formatIsoTime(v).size() < 20) abort();
    SMPP::formatAbsoluteTime(v);
  }
  return 0;
}
