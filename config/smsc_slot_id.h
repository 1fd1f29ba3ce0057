// Upstream bind slot ids: which 64-bit id each bind of a target gets.
//
// A slot id carries the target in bits 8..39 (the target id, the low 32 bits
// of the name's string hash) and the bind within the target in the low 8 bits.
// The tracker, the CDRs and the upstream manager all key on these values, so
// every part of the daemon must compute them the same way; they are pure
// functions, safe from any thread.
//
// The low 8 bits only hold the slot while a target has at most kMaxBindQty
// binds (kMaxBindQtyTxRx for a target with transmitter + receiver pairs, which
// uses two slots per bind); the configuration refuses larger values and two
// names with the same slot base rather than letting traffic of two targets mix.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "config/config_records.h"

inline constexpr int kMaxBindQty = 256;
inline constexpr int kMaxBindQtyTxRx = 128;

// Low 32 bits of the platform's standard string hash of the target name.
uint32_t targetIdForName(const std::string& name);

// The target id shifted into bits 8..39; the slot of bind 0.
uint64_t smscSlotBase(const std::string& name);

// Slot id of bind `bindIndex` of the target; a `usetxrx` target takes two
// slots per bind, the receiver of bind i being the returned id + 1.
uint64_t smscSlotId(const std::string& name, int bindIndex, bool usetxrx);

// The target id a slot id belongs to.
uint32_t targetIdOfSlot(uint64_t smscid);

// Why a target of this name cannot be given slot ids for `bindqty` binds
// (`usetxrx`: a pair of slots per bind), or "" when it can.
std::string bindQtyProblem(const std::string& name, int bindqty, bool usetxrx);

// True when two differently named targets would get the same slot ids and so
// receive each other's responses and receipts.
bool slotIdsCollide(const std::string& a, const std::string& b);

// Why `record` cannot join the targets of `sets` (and of `pending`, a set
// still being built), or "" when it can: too many binds for its slot range,
// or a slot base shared with a differently named target. `except` is the
// record's current version when it replaces one.
std::string targetSlotProblem(const TargetRecord& record,
                              const std::map<std::string, SharedTargetSet>& sets,
                              const SharedTargetSet* pending, const TargetRecord* except);
