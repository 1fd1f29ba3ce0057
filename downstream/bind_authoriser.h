#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "config/config_records.h"
#include "config/mt_routes.h"

class BcryptVerifier;
class OstrelConfiguration;
class Tracker;

// The bind decision of one customer session: whether a bind request may
// bind, judged against the customer's configuration record (binding switch,
// bcrypt hash or plain password, allowed addresses), with its log lines, the
// bind-attempt counters and the Tracker's system-id entry for the session.
//
// A bcrypt check that the verifier cannot answer from its cache runs on a
// verifier worker; authorise() then answers Later, the worker tells the
// verdict listener, and the session takes the verdict with takeCompleted()
// on its own thread. The worker
// touches only a small shared result slot, never the session, so a session
// that ends meanwhile is safe.
//
// One instance per session; every member function runs on the session's
// thread (the listener loop).
class BindAuthoriser {
 public:
  enum Result : uint8_t { Refuse = 0, Accept = 1, Later = 2 };

  struct Request {
    std::string peerIp;
    std::string systemId;
    std::string password;
  };

  // What an accepted bind hands to the session.
  struct Grant {
    std::shared_ptr<const MTRuleList> mtRuleList;  // null: no rules of its own
    uint16_t tpsLimit = 65535;
    std::string sharedTargetSet;
  };

  BindAuthoriser(const void* logOwner, uint64_t sessionId, OstrelConfiguration& config,
                 BcryptVerifier& verifier, Tracker& tracker);

  Result authorise(const Request& request, Grant& grant);

  // Whether a bind awaits its bcrypt verdict.
  bool pending() const { return static_cast<bool>(pendingCheck_); }

  // Called on the verifier's worker thread once a verdict is in, so the
  // session's loop can take it at once instead of at its next timer. It
  // must only hand the news over (it may outlive the session).
  void setVerdictListener(std::function<void()> listener) { verdictListener_ = std::move(listener); }

  // The final result of the bind that authorise() answered Later: nothing
  // while the check runs (or when none is pending), otherwise Accept (grant
  // filled) or Refuse.
  std::optional<Result> takeCompleted(Grant& grant);

 private:
  struct PendingCheck {
    std::mutex resultMutex;
    bool done = false;     // guarded by resultMutex
    bool matched = false;  // guarded by resultMutex
  };

  Result afterPassword(const std::string& peerIp, const std::string& systemId,
                       const ResolvedESME& record, Grant& grant);
  Result refuse(const char* format, const std::string& first, const std::string& second);
  void countAttempt(bool success);

  const void* logOwner_;
  const uint64_t sessionId_;
  OstrelConfiguration& config_;
  BcryptVerifier& verifier_;
  Tracker& tracker_;

  std::function<void()> verdictListener_;
  std::shared_ptr<PendingCheck> pendingCheck_;
  std::string pendingPeerIp_;
  std::string pendingSystemId_;
  ResolvedESME pendingRecord_;
};
