#include "config/mt_routes.h"

#include <utility>

#include "base/log.h"

using nlohmann::json;

namespace {

// The text member `key` of `object`, or null. A member of another JSON type
// counts as absent: comparing a number with a text criterion could only ever
// fail, and a numeric mnc has already lost any leading zero.
const std::string* textMember(const json& object, const char* key) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return nullptr;
  return &it->get_ref<const std::string&>();
}

bool fullMatch(const std::string& text, const std::regex& expression) {
  // The matcher recurses per character; an address this long is not a real
  // one and must not cost the listener thread its stack.
  if (text.size() > MTRuleList::kMaxPatternTextLength) return false;
  try {
    return std::regex_match(text, expression);
  } catch (const std::regex_error&) {
    // The matcher gave up (complexity or stack); this rule does not match
    // and the walk goes on, the submit is not lost.
    return false;
  }
}

// mcc + mnc when the lookup result holds both as texts.
bool lookupNetwork(const json& lookupResult, std::string& network) {
  const std::string* mcc = textMember(lookupResult, "mcc");
  const std::string* mnc = textMember(lookupResult, "mnc");
  if (mcc == nullptr || mnc == nullptr) return false;
  network = *mcc + *mnc;
  return true;
}

}  // namespace

// ---- MTRuleList -------------------------------------------------------------

MTRuleList::MTRuleList(const std::vector<json>& rules, const std::string& owner) {
  rules_.reserve(rules.size());
  for (size_t i = 0; i < rules.size(); ++i) compile(rules[i], i, owner);
}

void MTRuleList::compile(const json& rule, size_t index, const std::string& owner) {
  if (!rule.is_object()) return;
  auto criteriaIt = rule.find("criteria");
  if (criteriaIt == rule.end()) return;
  const json& criteria = *criteriaIt;
  const std::string* match = textMember(criteria, "match");
  const std::string* type = textMember(criteria, "type");
  if (match == nullptr || type == nullptr) return;

  if (rule.contains("lcrmap")) {
    // The table itself was built when the file was loaded; the rule only
    // says when to consult it, and "value" plays no part.
    if (*match == "destination" && *type == "mnc")
      rules_.push_back(Rule{Test::LeastCost, {}, {}, {}});
    return;
  }

  const std::string* value = textMember(criteria, "value");
  const std::string* targetSet = textMember(rule, "targetset");
  if (value == nullptr || targetSet == nullptr) return;

  Test test;
  std::string text = *value;
  if (*match == "destination") {
    if (*type == "exact") {
      test = Test::DestinationExact;
    } else if (*type == "country") {
      test = Test::DestinationPrefix;
    } else if (*type == "ndc") {
      const std::string* country = textMember(criteria, "country");
      if (country == nullptr) return;
      test = Test::DestinationPrefix;
      text = *country + *value;
    } else if (*type == "regex") {
      test = Test::DestinationRegex;
    } else if (*type == "mcc") {
      test = Test::DestinationMcc;
    } else if (*type == "mnc") {
      test = Test::DestinationNetwork;
    } else {
      return;
    }
  } else if (*match == "source") {
    if (*type == "exact") {
      test = Test::SourceExact;
    } else if (*type == "regex") {
      test = Test::SourceRegex;
    } else {
      return;
    }
  } else {
    return;
  }

  Rule compiled{test, std::move(text), {}, *targetSet};
  if (test == Test::DestinationRegex || test == Test::SourceRegex) {
    if (compiled.value.size() > kMaxPatternTextLength) {
      logMessage(LOG_WARNING, this, className_, "MTRuleList",
                 "Rule %zu of %s routes-mt (targetset %s): regular expression of %zu characters "
                 "is too long; the rule never matches",
                 index, owner.c_str(), targetSet->c_str(), compiled.value.size());
      return;
    }
    try {
      compiled.expression = std::regex(compiled.value, std::regex::ECMAScript);
    } catch (const std::regex_error& e) {
      logMessage(LOG_WARNING, this, className_, "MTRuleList",
                 "Rule %zu of %s routes-mt (targetset %s): invalid regular expression %s (%s); "
                 "the rule never matches",
                 index, owner.c_str(), targetSet->c_str(), compiled.value.c_str(), e.what());
      return;
    }
  }
  rules_.push_back(std::move(compiled));
}

// ---- MTRoutes ---------------------------------------------------------------

MTRoutes::MTRoutes(const std::vector<json>& globalRules, LCRTables lcrTables)
    : globalRules_(globalRules, "global"), lcrTables_(std::move(lcrTables)) {}

std::string MTRoutes::networkOf(const json& lookupResult) {
  std::string network;
  lookupNetwork(lookupResult, network);
  return network;
}

MTRoute MTRoutes::route(const std::string& systemId, const std::string& configuredTargetSet,
                        const json& lookupResult, const SMPP::T_SubmitSM& submit,
                        const MTRuleList* customerRules) const {
  MTRoute result;
  result.network = networkOf(lookupResult);
  result.targetSet = selectTargetSet(systemId, lookupResult, submit, configuredTargetSet,
                                     globalRules_, result.network);
  if (customerRules != nullptr) {
    result.targetSet = selectTargetSet(systemId, lookupResult, submit, result.targetSet,
                                       *customerRules, result.network);
  }
  return result;
}

std::string MTRoutes::selectTargetSet(const std::string& systemId, const json& lookupResult,
                                      const SMPP::T_SubmitSM& submit, const std::string& targetSet,
                                      const MTRuleList& rules, std::string& network) const {
  const std::string& destination = submit.destination_addr;
  const std::string& source = submit.source_addr;
  // Read once, not per rule: a long list holds many mcc and mnc rules.
  const std::string* mcc = textMember(lookupResult, "mcc");
  std::string lookupNet;
  const bool hasNetwork = lookupNetwork(lookupResult, lookupNet);
  for (const MTRuleList::Rule& rule : rules.rules_) {
    bool matched = false;
    switch (rule.test) {
      case MTRuleList::Test::DestinationExact:
        matched = destination == rule.value;
        break;
      case MTRuleList::Test::DestinationPrefix:
        matched = destination.starts_with(rule.value);
        break;
      case MTRuleList::Test::DestinationRegex:
        matched = fullMatch(destination, rule.expression);
        break;
      case MTRuleList::Test::DestinationMcc:
        matched = mcc != nullptr && *mcc == rule.value;
        break;
      case MTRuleList::Test::DestinationNetwork:
        if (hasNetwork) network = lookupNet;
        matched = hasNetwork && network == rule.value;
        break;
      case MTRuleList::Test::SourceExact:
        matched = source == rule.value;
        break;
      case MTRuleList::Test::SourceRegex:
        matched = fullMatch(source, rule.expression);
        break;
      case MTRuleList::Test::LeastCost: {
        const LCREntry* entry = lcrEntry(systemId, network);
        return entry == nullptr ? std::string() : entry->targetset;
      }
    }
    if (matched) return rule.targetSet;
  }
  return targetSet;
}

const LCREntry* MTRoutes::lcrEntry(const std::string& systemId, const std::string& network) const {
  auto table = lcrTables_.find(systemId);
  if (table == lcrTables_.end()) return nullptr;
  auto entry = table->second.find(network);
  return entry == table->second.end() ? nullptr : &entry->second;
}
