#pragma once

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "config/config_records.h"

// The JSON document of the "/status" route: one element per upstream bind
// slot (SMSC entry) with its connection and bind state, and a summary of
// counts.
//
// The report is built on the admin server thread from copies: the live
// target sets of the configuration and a snapshot of the upstream manager's
// entries, so nothing here holds another subsystem's lock.

// What the upstream manager tells about one of its SMSC entries, already
// resolved to the live session's values where the entry has one.
struct SMSCEntryStatus {
  uint64_t smscId = 0;
  std::string smscName;  // target name
  bool connected = false;
  int bindType = 0;   // 0 receiver, 1 transmitter, 2 transceiver
  int bindState = 0;  // 0 unbound, 1 bind sent, 2 TRX, 3 TX, 4 RX
  std::string host;
  int port = 0;
  std::string systemId;
  bool adminDown = false;
};

// Supplies the upstream manager's entries; set by the upstream side. Without
// one the manager holds no entries.
using SMSCEntrySource = std::function<std::vector<SMSCEntryStatus>()>;

// Fills `result` with {"statusReport": [...], "summary": {...}}. Entries are
// reported in ascending SMSC-id order; "target_set" is the id of the live set
// holding the entry's target (target names are unique across sets), empty
// when no live set holds it any more.
void statusReport(nlohmann::json& result, const std::vector<SharedTargetSet>& targetSets,
                  std::vector<SMSCEntryStatus> entries);
