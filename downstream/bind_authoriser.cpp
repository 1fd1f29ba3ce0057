#include "downstream/bind_authoriser.h"

#include "admin/metrics.h"
#include "base/log.h"
#include "config/ostrel_configuration.h"
#include "downstream/address_rules.h"
#include "downstream/bcrypt_verifier.h"
#include "tracking/tracker.h"

namespace {
constexpr const char* kClassName = "OstrelSession";
constexpr const char* kFunction = "onBindAuthorisation";
}  // namespace

BindAuthoriser::BindAuthoriser(const void* logOwner, uint64_t sessionId,
                               OstrelConfiguration& config, BcryptVerifier& verifier,
                               Tracker& tracker)
    : logOwner_(logOwner),
      sessionId_(sessionId),
      config_(config),
      verifier_(verifier),
      tracker_(tracker) {}

void BindAuthoriser::countAttempt(bool success) {
  MetricsRegistry& metrics = MetricsRegistry::instance();
  metrics.incrementCounter("smppDownstreamBindAttemptTotal");
  metrics.incrementCounter(
      seriesKey("smppDownstreamBindAttempt", {{"result", success ? "success" : "fail"}}));
}

BindAuthoriser::Result BindAuthoriser::refuse(const char* format, const std::string& first,
                                              const std::string& second) {
  logMessage(LOG_INFO, logOwner_, kClassName, kFunction, format, first.c_str(), second.c_str());
  countAttempt(false);
  return Refuse;
}

BindAuthoriser::Result BindAuthoriser::authorise(const Request& request, Grant& grant) {
  const std::string& systemId = request.systemId;
  const std::string& peerIp = request.peerIp;
  logMessage(LOG_INFO, logOwner_, kClassName, kFunction, "Bind request from ESME %s IP %s",
             systemId.c_str(), peerIp.c_str());
  if (pendingCheck_) {
    // One bind at a time: the first one's verdict is still being computed.
    countAttempt(false);
    return Refuse;
  }

  ResolvedESME record = config_.resolveESME(systemId, peerIp);
  if (!record.binding_enabled)
    return refuse("Binding attempt rejected. Binding disabled for ESME %s IP %s", systemId, peerIp);

  if (!record.password_hash.empty()) {
    std::optional<bool> known = verifier_.check(request.password, record.password_hash);
    if (known.has_value()) {
      if (!*known)
        return refuse("Binding attempt rejected. Password hash mismatch for ESME %s IP %s",
                      systemId, peerIp);
      return afterPassword(peerIp, systemId, record, grant);
    }
    auto check = std::make_shared<PendingCheck>();
    std::weak_ptr<PendingCheck> slot = check;
    std::function<void()> listener = verdictListener_;
    bool queued = verifier_.submit(request.password, record.password_hash, slot,
                                   [slot, listener](bool matched) {
                                     if (auto result = slot.lock()) {
                                       std::lock_guard<std::mutex> lock(result->resultMutex);
                                       result->matched = matched;
                                       result->done = true;
                                     } else {
                                       return;
                                     }
                                     if (listener) listener();
                                   });
    if (!queued) {
      logMessage(LOG_WARNING, logOwner_, kClassName, kFunction,
                 "Password check queue full, bind refused for ESME %s IP %s", systemId.c_str(),
                 peerIp.c_str());
      countAttempt(false);
      return Refuse;
    }
    pendingCheck_ = std::move(check);
    pendingPeerIp_ = peerIp;
    pendingSystemId_ = systemId;
    pendingRecord_ = std::move(record);
    return Later;
  }

  if (!record.password.empty() && record.password != request.password)
    return refuse("Binding attempt rejected. Password incorrect for ESME %s IP %s", systemId, peerIp);
  return afterPassword(peerIp, systemId, record, grant);
}

std::optional<BindAuthoriser::Result> BindAuthoriser::takeCompleted(Grant& grant) {
  if (!pendingCheck_) return std::nullopt;
  bool matched = false;
  {
    std::lock_guard<std::mutex> lock(pendingCheck_->resultMutex);
    if (!pendingCheck_->done) return std::nullopt;
    matched = pendingCheck_->matched;
  }
  pendingCheck_.reset();
  std::string peerIp = std::move(pendingPeerIp_);
  std::string systemId = std::move(pendingSystemId_);
  ResolvedESME record = std::move(pendingRecord_);
  if (!matched)
    return refuse("Binding attempt rejected. Password hash mismatch for ESME %s IP %s", systemId,
                  peerIp);
  return afterPassword(peerIp, systemId, record, grant);
}

BindAuthoriser::Result BindAuthoriser::afterPassword(const std::string& peerIp,
                                                     const std::string& systemId,
                                                     const ResolvedESME& record, Grant& grant) {
  if (!record.allowedIPs.empty()) {
    bool allowed = false;
    for (const std::string& entry : record.allowedIPs) {
      if (allowedIPMatches(entry, peerIp)) {
        allowed = true;
        break;
      }
    }
    if (!allowed)
      return refuse("Binding attempt rejected. IP address %s not in allowed IPs for ESME %s", peerIp,
                    systemId);
  }
  grant.mtRuleList = record.mtRuleList;
  grant.tpsLimit = record.tpslimit;
  grant.sharedTargetSet = record.sharedtargetsetid;
  logMessage(LOG_INFO, logOwner_, kClassName, kFunction, "Using shared target set \"%s\" for ESME %s",
             grant.sharedTargetSet.c_str(), systemId.c_str());
  tracker_.setSessionSystemId(systemId, sessionId_);
  countAttempt(true);
  return Accept;
}
