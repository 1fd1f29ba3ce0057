#pragma once
// Bind-slot ids: bits 8 and up hold the low 32 bits of the target name's
// standard string hash (the target id), the low 8 bits the slot within the
// target; the receiver of a transmitter and receiver pair is slot + 1.
// Pure; safe from any thread.
#include <cstdint>
#include <functional>
#include <string>
inline constexpr int kMaxBindQty = 256;
inline constexpr int kMaxBindQtyTxRx = 128;
inline uint64_t targetIdForName(const std::string& name) {
  return static_cast<uint64_t>(std::hash<std::string>{}(name)) & 0xFFFFFFFFULL;
}
inline uint64_t smscSlotBase(const std::string& name) { return targetIdForName(name) << 8; }
inline uint64_t smscSlotId(const std::string& name, int bindIndex, bool usetxrx) {
  return smscSlotBase(name) + static_cast<uint64_t>((usetxrx ? 2 : 1) * bindIndex);
}
inline uint64_t targetIdOfSlot(uint64_t smscid) { return smscid >> 8; }
