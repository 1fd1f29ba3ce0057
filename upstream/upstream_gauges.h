#pragma once

#include <map>
#include <string>
#include <utility>

// The upstream session gauges: sessions, bound sessions and unbound slots,
// each in total, per target name and per target name and bind type. The
// unbound gauges are derived: configured slots minus bound sessions.
//
// Owned by the upstream manager and called on the upstream thread only (the
// metrics registry it writes to is safe from any thread).
class UpstreamGauges {
 public:
  // "rx", "tx", "trx" for bind types 0, 1, 2; "invalid" otherwise.
  static const char* typeLabelOfBindType(int bindType);
  // "trx", "tx", "rx" for bind states 2, 3, 4; "invalid" otherwise.
  static const char* typeLabelOfBindState(int bindState);

  // Every per-target gauge of `name` set to 0.
  void zeroTarget(const std::string& name);
  void sessionCreated(const std::string& name, int bindType) { sessions(name, bindType, 1); }
  void sessionRemoved(const std::string& name, int bindType) { sessions(name, bindType, -1); }
  void sessionBound(const std::string& name, int bindState) { bound(name, bindState, 1); }
  void boundSessionRemoved(const std::string& name, int bindState) { bound(name, bindState, -1); }
  // Sets the unbound gauges from the configured slots per {name, type label}.
  void recomputeUnbound(const std::map<std::pair<std::string, std::string>, int>& configured);

 private:
  void sessions(const std::string& name, int bindType, int delta);
  void bound(const std::string& name, int bindState, int delta);

  std::map<std::pair<std::string, std::string>, int> boundCounts_;  // upstream thread only
  std::map<std::pair<std::string, std::string>, int> unboundSeen_;  // upstream thread only
};
