#include "config/smsc_slot_id.h"

#include <functional>

uint32_t targetIdForName(const std::string& name) {
  return static_cast<uint32_t>(std::hash<std::string>{}(name));
}

uint64_t smscSlotBase(const std::string& name) {
  return (static_cast<uint64_t>(std::hash<std::string>{}(name)) << 8) & 0xFFFFFFFF00ULL;
}

uint64_t smscSlotId(const std::string& name, int bindIndex, bool usetxrx) {
  // The product is a signed 32-bit value; the configuration keeps bindIndex
  // small enough (kMaxBindQty) that it never overflows or goes negative.
  const int32_t offset = static_cast<int32_t>((usetxrx ? 2 : 1) * bindIndex);
  return smscSlotBase(name) + static_cast<uint64_t>(static_cast<int64_t>(offset));
}

uint32_t targetIdOfSlot(uint64_t smscid) {
  return static_cast<uint32_t>(smscid >> 8);
}
