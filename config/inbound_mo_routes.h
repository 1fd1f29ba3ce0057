#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

// Which customer receives a mobile-originated message: the configuration's
// inbound number -> system id table, with every key compiled once as a
// regular expression when the table is built.
//
// A text is routed to the system id of the key equal to it; failing that, to
// the first key in key order whose ECMAScript expression matches the whole
// text. A key that is not a valid expression is reported once, when the table
// is built, and afterwards matches only its exact text; matching never throws.
// Texts longer than kMaxPatternTextLength are matched only exactly: the
// platform's matcher recurses once per character and a long message_payload
// would overflow the calling thread's stack; keys longer than that are not
// compiled either, for the same reason.
//
// Immutable once built: the configuration publishes a new instance after
// every change of the table, and find() is safe from any thread.
class InboundMORoutes {
 public:
  // Longer than any short_message decodes to, so every ordinary MO text is
  // matched in full.
  static constexpr size_t kMaxPatternTextLength = 512;

  explicit InboundMORoutes(std::map<std::string, std::string> systemIdByNumber);
  // The compiled patterns point into the table, so an instance stays where it was built.
  InboundMORoutes(const InboundMORoutes&) = delete;
  InboundMORoutes& operator=(const InboundMORoutes&) = delete;

  // The system id for `text`, or "" when no key matches.
  std::string find(const std::string& text) const;

  // The table this instance was built from, so a publisher can skip a rebuild
  // (and the warnings it logs) when the table did not change.
  const std::map<std::string, std::string>& source() const { return systemIdByNumber_; }

 private:
  struct Pattern {
    std::regex expression;
    const std::string* systemId;  // points into systemIdByNumber_
  };

  const char* className_ = "InboundMORoutes";
  std::map<std::string, std::string> systemIdByNumber_;
  std::vector<Pattern> patterns_;  // valid keys only, in key order
};
