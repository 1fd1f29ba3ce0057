#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "config/config_records.h"
#include "smpp/pdu.h"

// Mobile-terminated route selection: which shared target set a customer's
// submit_sm is sent through.
//
// A submit starts from the customer's configured target set; the global
// "routes-mt" rules may replace it, then the customer's own rules may replace
// that (so a customer rule overrides a global one). In each list the first
// rule that decides ends the walk. A rule either names a target set when its
// criterion matches the submit, or (customer rules only) sends the submit
// through the customer's least-cost table for the destination's network; a
// network without an entry there gives the empty target set, which no submit
// pool serves, so the submit is refused as unroutable.
//
// Rule lists are compiled once, when the configuration loads them, never per
// submit: a regular expression that does not compile is reported then, once,
// with a WARNING naming the rule, and that rule never matches. Rules that
// can never decide (malformed, unknown match or type) are dropped while
// compiling, so a submit only walks rules that can.
//
// Both classes are immutable once built. The configuration publishes a new
// MTRoutes after every change of the global rules or the LCR tables
// (OstrelConfiguration::mtRoutes()), and every customer record carries its
// own compiled MTRuleList; a session keeps the shared pointers it was handed
// at bind time. Every const member is safe from any thread, without the
// configuration lock.

class MTRoutes;

// One ordered list of MT rules ("routes-mt" of the configuration or of one
// customer) in compiled form.
class MTRuleList {
 public:
  // Longest pattern compiled and longest address matched against one: the
  // platform's matcher recurses once per character, and compiling a pattern
  // over 512 characters overflowed the stack under AddressSanitizer.
  static constexpr size_t kMaxPatternTextLength = 512;

  // `rules` are JSON rule objects as the configuration loaded them; `owner`
  // names the list in warnings ("global" or "ESME <system id>").
  MTRuleList(const std::vector<nlohmann::json>& rules, const std::string& owner);

  // How many rules can decide (the others were dropped while compiling).
  size_t size() const { return rules_.size(); }

 private:
  friend class MTRoutes;

  enum class Test : uint8_t {
    DestinationExact,
    DestinationPrefix,  // "country", and "ndc" with its country in front
    DestinationRegex,
    DestinationMcc,
    DestinationNetwork,  // "mnc": the lookup's mcc followed by its mnc
    SourceExact,
    SourceRegex,
    LeastCost,
  };

  struct Rule {
    Test test;
    std::string value;
    std::regex expression;  // the regex tests only
    std::string targetSet;  // unused by LeastCost
  };

  // Appends the compiled form of rules[index] when it can decide.
  void compile(const nlohmann::json& rule, size_t index, const std::string& owner);

  const char* className_ = "MTRuleList";
  std::vector<Rule> rules_;
};

// What routing decided for one submit.
struct MTRoute {
  std::string targetSet;  // empty: unroutable, refuse the submit
  std::string network;    // lookup mcc + mnc; empty without a lookup result
  bool routable() const { return !targetSet.empty(); }
};

// The global rules and every customer's LCR table, as one snapshot.
class MTRoutes {
 public:
  // system id -> network (mcc + mnc) -> the cheapest entry for it.
  using LCRTables = std::map<std::string, std::map<std::string, LCREntry>>;

  MTRoutes(const std::vector<nlohmann::json>& globalRules, LCRTables lcrTables);

  // The whole decision for one submit from the customer bound as `systemId`:
  // `configuredTargetSet` (the customer's shared target set), then the
  // global rules, then `customerRules` (null when the customer has none).
  // `lookupResult` is the MSISDN lookup's answer, null without one.
  MTRoute route(const std::string& systemId, const std::string& configuredTargetSet,
                const nlohmann::json& lookupResult, const SMPP::T_SubmitSM& submit,
                const MTRuleList* customerRules) const;

  // One rule list: the target set of the first rule that decides, else
  // `targetSet` unchanged. `network` is the lookup's mcc + mnc; an "mnc"
  // rule sets it afresh from the lookup result.
  std::string selectTargetSet(const std::string& systemId, const nlohmann::json& lookupResult,
                              const SMPP::T_SubmitSM& submit, const std::string& targetSet,
                              const MTRuleList& rules, std::string& network) const;

  const MTRuleList& globalRules() const { return globalRules_; }

  // mcc + mnc of a lookup result holding both as texts; empty otherwise.
  static std::string networkOf(const nlohmann::json& lookupResult);

 private:
  const LCREntry* lcrEntry(const std::string& systemId, const std::string& network) const;

  MTRuleList globalRules_;
  LCRTables lcrTables_;
};
