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

std::string bindQtyProblem(const std::string& name, int bindqty, bool usetxrx) {
  const int limit = usetxrx ? kMaxBindQtyTxRx : kMaxBindQty;
  if (bindqty <= limit) return "";
  return "Target " + name + " bindqty " + std::to_string(bindqty) + " above " +
         std::to_string(limit) + (usetxrx ? " for usetxrx" : "");
}

bool slotIdsCollide(const std::string& a, const std::string& b) {
  return a != b && smscSlotBase(a) == smscSlotBase(b);
}

std::string targetSlotProblem(const TargetRecord& record,
                              const std::map<std::string, SharedTargetSet>& sets,
                              const SharedTargetSet* pending, const TargetRecord* except) {
  std::string problem = bindQtyProblem(record.name, record.bindqty, record.usetxrx);
  if (!problem.empty()) return problem;
  auto clash = [&](const SharedTargetSet& set) -> std::string {
    for (const auto& other : set.targets) {
      if (&other != except && slotIdsCollide(other.name, record.name)) {
        return "Target " + record.name + " shares slot ids with target " + other.name +
               "; rename one of them";
      }
    }
    return "";
  };
  if (pending != nullptr && !(problem = clash(*pending)).empty()) return problem;
  for (const auto& [id, set] : sets) {
    if (&set == pending) continue;
    if (!(problem = clash(set)).empty()) return problem;
  }
  return "";
}
