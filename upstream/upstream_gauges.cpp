#include "upstream/upstream_gauges.h"

#include <set>

#include "admin/metrics.h"

const char* UpstreamGauges::typeLabelOfBindType(int bindType) {
  switch (bindType) {
    case 0:
      return "rx";
    case 1:
      return "tx";
    case 2:
      return "trx";
    default:
      return "invalid";
  }
}

const char* UpstreamGauges::typeLabelOfBindState(int bindState) {
  switch (bindState) {
    case 2:
      return "trx";
    case 3:
      return "tx";
    case 4:
      return "rx";
    default:
      return "invalid";
  }
}

void UpstreamGauges::zeroTarget(const std::string& name) {
  MetricsRegistry& m = MetricsRegistry::instance();
  for (const char* family :
       {"upstreamSMPPSessions", "upstreamSMPPSessionsBound", "upstreamSMPPSessionsUnbound"}) {
    m.setGauge(seriesKey(std::string(family) + "_SMSC", {{"smsc", name}}), 0);
    for (const char* type : {"rx", "tx", "trx"})
      m.setGauge(seriesKey(std::string(family) + "_SMSC_Type", {{"smsc", name}, {"type", type}}),
                 0);
  }
}

void UpstreamGauges::sessions(const std::string& name, int bindType, int delta) {
  MetricsRegistry& m = MetricsRegistry::instance();
  m.addGauge("upstreamSMPPSessions", delta);
  m.addGauge(seriesKey("upstreamSMPPSessions_SMSC", {{"smsc", name}}), delta);
  m.addGauge(seriesKey("upstreamSMPPSessions_SMSC_Type",
                       {{"smsc", name}, {"type", typeLabelOfBindType(bindType)}}),
             delta);
}

void UpstreamGauges::bound(const std::string& name, int bindState, int delta) {
  const char* type = typeLabelOfBindState(bindState);
  boundCounts_[{name, type}] += delta;
  MetricsRegistry& m = MetricsRegistry::instance();
  m.addGauge("upstreamSMPPSessionsBound", delta);
  m.addGauge(seriesKey("upstreamSMPPSessionsBound_SMSC", {{"smsc", name}}), delta);
  m.addGauge(seriesKey("upstreamSMPPSessionsBound_SMSC_Type", {{"smsc", name}, {"type", type}}),
             delta);
}

void UpstreamGauges::recomputeUnbound(
    const std::map<std::pair<std::string, std::string>, int>& configured) {
  std::map<std::pair<std::string, std::string>, int> unbound;
  for (const auto& [key, count] : configured) unbound[key] += count;
  for (const auto& [key, count] : boundCounts_) unbound[key] -= count;
  // Series that had a value before and lost their slots go back to 0.
  for (const auto& [key, count] : unboundSeen_) unbound.emplace(key, 0);
  MetricsRegistry& m = MetricsRegistry::instance();
  std::map<std::string, int> perName;
  int total = 0;
  for (const auto& [key, count] : unbound) {
    m.setGauge(seriesKey("upstreamSMPPSessionsUnbound_SMSC_Type",
                         {{"smsc", key.first}, {"type", key.second}}),
               count);
    perName[key.first] += count;
    total += count;
  }
  for (const auto& [name, count] : perName)
    m.setGauge(seriesKey("upstreamSMPPSessionsUnbound_SMSC", {{"smsc", name}}), count);
  m.setGauge("upstreamSMPPSessionsUnbound", total);
  unboundSeen_ = std::move(unbound);
}
