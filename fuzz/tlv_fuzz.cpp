// parseTLVs on arbitrary runs: a run that decodes encodes back to itself.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "smpp/pdu.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<SMPP::TLV> tlvs;
  if (!SMPP::parseTLVs(tlvs, size, data)) return 0;
  std::vector<uint8_t> out;
  for (const SMPP::TLV& t : tlvs) {
    if (t.length != t.value.size()) abort();
    if (!SMPP::appendTLV(out, t)) abort();
  }
  if (out.size() != size || (size > 0 && std::memcmp(out.data(), data, size) != 0)) abort();
  return 0;
}
