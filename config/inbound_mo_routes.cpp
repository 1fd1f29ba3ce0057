#include "config/inbound_mo_routes.h"

#include "base/log.h"

InboundMORoutes::InboundMORoutes(std::map<std::string, std::string> systemIdByNumber)
    : systemIdByNumber_(std::move(systemIdByNumber)) {
  patterns_.reserve(systemIdByNumber_.size());
  for (const auto& [number, systemId] : systemIdByNumber_) {
    // Compiling recurses per character as matching does, so a key this long
    // (a REST body may carry one) is kept for exact matches only.
    if (number.size() > kMaxPatternTextLength) {
      logMessage(LOG_WARNING, this, className_, "InboundMORoutes",
                 "Inbound number of %zu characters is too long for a regular expression; it "
                 "matches only exactly",
                 number.size());
      continue;
    }
    try {
      patterns_.push_back(Pattern{std::regex(number, std::regex::ECMAScript), &systemId});
    } catch (const std::regex_error& e) {
      logMessage(LOG_WARNING, this, className_, "InboundMORoutes",
                 "Inbound number %s is not a valid regular expression (%s); it matches only "
                 "exactly",
                 number.c_str(), e.what());
    }
  }
}

std::string InboundMORoutes::find(const std::string& text) const {
  auto exact = systemIdByNumber_.find(text);
  if (exact != systemIdByNumber_.end()) return exact->second;
  if (text.size() > kMaxPatternTextLength) {
    logMessage(LOG_FINE, this, className_, "find",
               "Text of %zu characters is matched against inbound numbers only exactly",
               text.size());
    return "";
  }
  for (const auto& pattern : patterns_) {
    try {
      if (std::regex_match(text, pattern.expression)) return *pattern.systemId;
    } catch (const std::regex_error&) {
      // The matcher may give up on a pathological expression; that key simply
      // does not match this text, the message goes on to the next one.
    }
  }
  return "";
}
