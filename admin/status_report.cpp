#include "admin/status_report.h"

#include <algorithm>
#include <map>

void statusReport(nlohmann::json& result, const std::vector<SharedTargetSet>& targetSets,
                  std::vector<SMSCEntryStatus> entries) {
  std::map<std::string, std::string> setOfTarget;
  for (const SharedTargetSet& set : targetSets) {
    for (const TargetRecord& target : set.targets) setOfTarget.emplace(target.name, set.id);
  }
  std::stable_sort(
      entries.begin(), entries.end(),
      [](const SMSCEntryStatus& a, const SMSCEntryStatus& b) { return a.smscId < b.smscId; });

  uint64_t adminDown = 0, bindTX = 0, bindRX = 0, bindTRX = 0, bindUnbound = 0;
  nlohmann::json elements = nlohmann::json::array();
  for (const SMSCEntryStatus& entry : entries) {
    auto set = setOfTarget.find(entry.smscName);
    nlohmann::json element;
    element["smsc_id"] = entry.smscId;
    element["smsc_name"] = entry.smscName;
    element["connected"] = entry.connected;
    element["bind_type"] = entry.bindType;
    element["bind_state"] = entry.bindState;
    element["host"] = entry.host;
    element["port"] = entry.port;
    element["system_id"] = entry.systemId;
    element["admin_down"] = entry.adminDown;
    element["target_set"] = set == setOfTarget.end() ? std::string() : set->second;
    elements.push_back(std::move(element));

    if (entry.adminDown) ++adminDown;
    switch (entry.bindState) {
      case 0:
        ++bindUnbound;
        break;
      case 2:
        ++bindTRX;
        break;
      case 3:
        ++bindTX;
        break;
      case 4:
        ++bindRX;
        break;
      default:
        break;
    }
  }

  nlohmann::json summary;
  summary["admindown"] = adminDown;
  summary["targets"] = static_cast<uint64_t>(entries.size());
  summary["targetsets"] = static_cast<uint64_t>(targetSets.size());
  summary["bindTX"] = bindTX;
  summary["bindRX"] = bindRX;
  summary["bindTRX"] = bindTRX;
  summary["bindUnbound"] = bindUnbound;

  result = nlohmann::json::object();
  result["statusReport"] = std::move(elements);
  result["summary"] = std::move(summary);
}
