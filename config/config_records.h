#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

class MTRuleList;

// Plain records derived from the configuration document. They are values:
// the live copies belong to OstrelConfiguration and are only touched under
// its configMutex; everything handed out to other subsystems is a copy.

// One upstream target (an SMSC bind definition) of a shared target set.
struct TargetRecord {
  std::string name;
  std::string host;
  int32_t port = 2775;
  int32_t bindqty = 0;
  std::string systemid;
  std::string password;
  std::string systemtype;
  int32_t weight = 0;
  bool admindown = false;
  bool usetxrx = false;
  bool userxonly = false;
  uint32_t tpslimit = 32000;
};

// A named group of upstream targets that customers and MT rules route to.
struct SharedTargetSet {
  std::string id;
  std::string name;
  bool submits_enabled = false;
  std::vector<TargetRecord> targets;  // file order
};

// One customer (ESME). The key "[" address "]" system id makes a record that
// applies only to binds from that peer address.
struct ESMERecord {
  std::string systemid;
  std::string sharedtargetsetid;
  uint16_t tpslimit = 65535;
  std::vector<std::string> numbers;  // inbound (mobile-originated) numbers
  std::string password;
  std::string password_hash;
  bool binding_enabled = true;
  bool submits_enabled = true;
  std::vector<std::string> allowedIPs;
  std::vector<nlohmann::json> mtRules;  // criteria rules, file order
  // mtRules compiled once by the configuration when it loads them; null
  // when there are none. Shared and immutable, so copies of the record
  // (and the sessions bound with it) share one compiled form.
  std::shared_ptr<const MTRuleList> mtRuleList;
};

// The cheapest target set for one customer and one network (coverage key).
struct LCREntry {
  std::string key;
  std::string targetset;
  double cost = 0.0;
  bool flag = false;  // always false as loaded; reserved for the router
};

// A customer's per-bind values after record resolution: the record keyed by
// the system id, else the one keyed "[" peer address "]" system id, else the
// defaults below. One consistent snapshot taken under the configuration lock.
struct ResolvedESME {
  bool found = false;  // whether a record matched (false: all defaults)
  bool binding_enabled = true;
  std::string password;
  std::string password_hash;
  std::vector<std::string> allowedIPs;
  uint16_t tpslimit = 65535;
  std::string sharedtargetsetid = "default";
  bool submits_enabled = true;
  std::vector<nlohmann::json> mtRules;
  std::shared_ptr<const MTRuleList> mtRuleList;  // mtRules compiled; null when none
};
