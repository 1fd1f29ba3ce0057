#include "downstream/submit_pipeline.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <exception>

#include "admin/metrics.h"
#include "base/log.h"
#include "cdr/smpp_cdr_manager.h"
#include "config/ostrel_configuration.h"
#include "downstream/delivery_receipt.h"
#include "downstream/entity_control_master.h"
#include "downstream/ostrel_session.h"
#include "upstream/smpp_upstream.h"

namespace {

using nlohmann::json;
using ull = unsigned long long;
constexpr const char* kClass = "OstrelSession";

std::mutex servicesMutex;
SubmitAsyncServices services;  // guarded by servicesMutex

SubmitAsyncServices currentServices() {
  std::lock_guard<std::mutex> lock(servicesMutex);
  return services;
}

// One counter shared by lookups and external-logic requests; the first id is 1.
std::atomic<uint64_t> lastTransactionId{0};
uint64_t nextTransactionId() { return lastTransactionId.fetch_add(1) + 1; }

void countWithEsme(const char* name, const std::string& esme) {
  MetricsRegistry& metrics = MetricsRegistry::instance();
  metrics.incrementCounter(name);
  metrics.incrementCounter(seriesKey(std::string(name) + "_ESME", {{"esme", esme}}));
}

// A member that must be a number: its value, else `fallback` (with a
// warning when it is present but something else).
uint32_t numberOr(const json& object, const char* key, uint32_t fallback) {
  auto it = object.find(key);
  if (it == object.end()) return fallback;
  if (it->is_number_unsigned() || it->is_number_integer()) return it->get<uint32_t>();
  if (it->is_number_float()) return static_cast<uint32_t>(it->get<double>());
  logMessage(LOG_WARNING, nullptr, kClass, "continueSubmitAfterELI",
             "ELI answer member %s is not a number - using %u", key, fallback);
  return fallback;
}

}  // namespace

void setSubmitAsyncServices(SubmitAsyncServices installed) {
  std::lock_guard<std::mutex> lock(servicesMutex);
  services = std::move(installed);
}

Concatenation concatenationOf(const SMPP::T_SubmitSM& submit) {
  Concatenation c;
  if ((submit.esm_class & 0x40) != 0) {
    const std::vector<uint8_t>& ud = submit.short_message;
    if (ud.empty()) return c;
    const size_t end = std::min(ud.size(), static_cast<size_t>(ud[0]) + 1);
    for (size_t at = 1; at + 2 <= end;) {
      const uint8_t id = ud[at];
      const size_t length = ud[at + 1];
      if (at + 2 + length > end) break;
      if (id == 0x00 && length >= 2) {
        c.concatenated = true;
        c.reference = ud[at + 2];
        c.total = ud[at + 3];
        return c;
      }
      at += 2 + length;
    }
    return c;
  }
  for (const SMPP::TLV& tlv : submit.tlvs) {
    if (tlv.tag == 0x020C && !tlv.value.empty()) c.reference = tlv.value[0];
    if (tlv.tag == 0x020E && !tlv.value.empty()) c.total = tlv.value[0];
  }
  c.concatenated = c.total != 1;
  return c;
}

std::optional<uint64_t> parseDestination(const std::string& text) {
  size_t at = 0;
  while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
  size_t digits = at;
  if (digits < text.size() && (text[digits] == '+' || text[digits] == '-')) ++digits;
  if (digits >= text.size() || !std::isdigit(static_cast<unsigned char>(text[digits])))
    return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str() + at, &end, 10);
  if (errno == ERANGE) return std::nullopt;
  return static_cast<uint64_t>(value);
}

std::string generatedMessageId() {
  static const char kAlphabet[] =
      "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  std::string id(64, '0');
  for (char& c : id) c = kAlphabet[random() % 62];
  return id;
}

bool SubmitPipeline::answer(bool success, uint32_t sequenceNumber, const std::string& messageId,
                            uint32_t status) {
  // Answers given after routing or an external decision are submit_sm_resp
  // whatever the request was, as customers of this gateway expect.
  return handleESMESubmitSMResponse(session_, success, SMPP::SUBMIT_SM, sequenceNumber, nullptr,
                                    messageId, status);
}

bool SubmitPipeline::throttled(uint64_t now) {
  if (!windowOpen_) {
    windowOpen_ = true;
    windowStart_ = now;
    windowCount_ = 1;
    return windowCount_ > session_.tpsLimit();
  }
  ++windowCount_;
  if (now - windowStart_ > 1000000) {
    lastWindowCount_.store(windowCount_);
    lastWindowTime_.store(now);
    windowStart_ = now;
    windowCount_ = 1;
    return false;
  }
  return windowCount_ > session_.tpsLimit();
}

uint8_t SubmitPipeline::onSubmitSM(const std::string& systemId, const SMPP::T_SubmitSM& submit,
                                   uint32_t commandId, uint32_t sequenceNumber,
                                   std::string& messageId, uint32_t& status, uint64_t now) {
  MetricsRegistry& metrics = MetricsRegistry::instance();
  metrics.incrementCounter("smppSubmitSMTotal");
  metrics.incrementCounter(seriesKey("smppSubmitSM_ESME", {{"esme", systemId}}));
  metrics.incrementRate("smppSubmitSMRate");
  metrics.incrementRate(seriesKey("smppSubmitSMRate_ESME", {{"esme", systemId}}));

  const uint32_t state = session_.bindState();
  if (state != BIND_STATE_TRANSMITTER && state != BIND_STATE_TRANSCEIVER) {
    status = SMPP::ESME_RINVBNDSTS;
    return SMPPSessionServer::kRefuse;
  }
  session_.refreshTpsLimit();
  if (throttled(now)) {
    lastThrottleTime_.store(now);
    throttleCount_.fetch_add(1);
    status = SMPP::ESME_RTHROTTLED;
    countWithEsme("smppSubmitSMThrottle", systemId);
    return SMPPSessionServer::kRefuse;
  }
  const std::optional<uint64_t> destination = parseDestination(submit.destination_addr);
  if (!destination) {
    status = SMPP::ESME_RINVDSTADR;
    return SMPPSessionServer::kRefuse;
  }
  Pending pending{sequenceNumber, commandId, submit, messageId, *destination};
  const SubmitAsyncServices async = currentServices();

  if (!async.eliEnabled || !async.eliEnabled()) {
    json lookup;
    const int found = performMSISDNLookup(pending, lookup);
    if (found == 0) return SMPPSessionServer::kRefuse;
    if (found == 2) return SMPPSessionServer::kAnswerLater;
    routeSubmit(pending, lookup, now);
    return SMPPSessionServer::kAnswerLater;
  }
  const uint64_t transactionId = nextTransactionId();
  // Stored first: the completion may arrive before addAsyncSubmit returns.
  {
    std::lock_guard<std::mutex> lock(pendingELIMutex_);
    pendingELI_.emplace(transactionId, pending);
  }
  if (!async.addAsyncSubmit(systemId, session_.peerIp(), submit, transactionId,
                            completionFor(Kind::ELI), session_.sessionId())) {
    {
      std::lock_guard<std::mutex> lock(pendingELIMutex_);
      pendingELI_.erase(transactionId);
    }
    logMessage(LOG_WARNING, &session_, kClass, "onSubmitSM", "ELI failed for %llu",
               static_cast<ull>(*destination));
    return SMPPSessionServer::kRefuse;
  }
  logMessage(LOG_FINE, &session_, kClass, "onSubmitSM", "ELI queued for async processing: %llu",
             static_cast<ull>(*destination));
  (void)status;
  return SMPPSessionServer::kAnswerLater;
}

SubmitAsyncServices::Completion SubmitPipeline::completionFor(Kind kind) {
  std::weak_ptr<OstrelSession> weak = session_.selfReference();
  return [weak, kind](uint64_t transactionId, json result) {
    std::shared_ptr<OstrelSession> session = weak.lock();
    if (!session) return;  // gone: the submit went with it
    session->submitPipeline().complete(transactionId, std::move(result), kind);
  };
}

void SubmitPipeline::complete(uint64_t transactionId, json result, Kind kind) {
  {
    std::lock_guard<std::mutex> lock(completionsMutex_);
    completions_.push_back(Completed{transactionId, std::move(result), kind});
  }
  if (session_.master() != nullptr) session_.master()->requestTimedCheck(session_.sessionId());
}

void SubmitPipeline::drainCompletions(uint64_t now) {
  for (;;) {
    Completed next;
    {
      std::lock_guard<std::mutex> lock(completionsMutex_);
      if (completions_.empty()) return;
      next = std::move(completions_.front());
      completions_.pop_front();
    }
    if (next.kind == Kind::ELI)
      continueSubmitAfterELI(next.transactionId, next.result, now);
    else
      continueSubmitAfterLookup(next.transactionId, next.result, now);
  }
}

size_t SubmitPipeline::pendingCount() {
  size_t n = 0;
  {
    std::lock_guard<std::mutex> lock(pendingLookupsMutex_);
    n += pendingLookups_.size();
  }
  std::lock_guard<std::mutex> lock(pendingELIMutex_);
  return n + pendingELI_.size();
}

int SubmitPipeline::performMSISDNLookup(Pending& pending, json& result) {
  const SubmitAsyncServices async = currentServices();
  result = json();
  if (!async.lookupEnabled || !async.lookupEnabled()) return 1;
  const uint64_t transactionId = nextTransactionId();
  {
    std::lock_guard<std::mutex> lock(pendingLookupsMutex_);
    pendingLookups_.emplace(transactionId, pending);
  }
  const int outcome = async.requestLookup(transactionId, pending.destination, result,
                                          completionFor(Kind::Lookup), session_.sessionId());
  if (outcome == 2) {
    logMessage(LOG_FINE, &session_, kClass, "performMSISDNLookup",
               "MSISDN lookup queued for async processing: %llu",
               static_cast<ull>(pending.destination));
    return 2;
  }
  {
    std::lock_guard<std::mutex> lock(pendingLookupsMutex_);
    pendingLookups_.erase(transactionId);
  }
  if (outcome == 1) {
    logMessage(LOG_FINE, &session_, kClass, "performMSISDNLookup",
               "MSISDN lookup cache hit for %llu: network=%s",
               static_cast<ull>(pending.destination), result.dump().c_str());
    return 1;
  }
  logMessage(LOG_WARNING, &session_, kClass, "performMSISDNLookup",
             "MSISDN lookup failed for %llu", static_cast<ull>(pending.destination));
  return 0;
}

void SubmitPipeline::continueSubmitAfterLookup(uint64_t transactionId, const json& result,
                                               uint64_t now) {
  Pending pending;
  {
    std::lock_guard<std::mutex> lock(pendingLookupsMutex_);
    auto it = pendingLookups_.find(transactionId);
    if (it == pendingLookups_.end()) {
      logMessage(LOG_WARNING, &session_, kClass, "continueSubmitAfterLookup",
                 "Received lookup callback for unknown transaction_id: %llu",
                 static_cast<ull>(transactionId));
      return;
    }
    pending = std::move(it->second);
    pendingLookups_.erase(it);
  }
  logMessage(LOG_INFO, &session_, kClass, "continueSubmitAfterLookup",
             "MSISDN lookup completed for transaction %llu: network=%s",
             static_cast<ull>(transactionId), result.dump().c_str());
  routeSubmit(pending, result, now);
}

void SubmitPipeline::continueSubmitAfterELI(uint64_t transactionId, const json& response,
                                            uint64_t now) {
  Pending pending;
  {
    std::lock_guard<std::mutex> lock(pendingELIMutex_);
    auto it = pendingELI_.find(transactionId);
    if (it == pendingELI_.end()) {
      logMessage(LOG_WARNING, &session_, kClass, "continueSubmitAfterELI",
                 "Received ELI callback for unknown transaction_id: %llu",
                 static_cast<ull>(transactionId));
      return;
    }
    pending = std::move(it->second);
    pendingELI_.erase(it);
  }
  const std::string action = response.is_object() && response.contains("action") &&
                                     response["action"].is_string()
                                 ? response["action"].get<std::string>()
                                 : "";
  if (action == "reject") {
    const uint32_t status = numberOr(response, "cmdstatus", kSubmitFail);
    logMessage(LOG_FINE, &session_, kClass, "continueSubmitAfterELI",
               "SubmitSM rejected by ELI for transaction %llu with status %u",
               static_cast<ull>(transactionId), status);
    answer(false, pending.sequenceNumber, "", status);
    return;
  }
  if (action == "reject_dlr") {
    const uint32_t state = numberOr(response, "status", 5);
    const uint32_t error = numberOr(response, "networkerror", 0);
    logMessage(LOG_FINE, &session_, kClass, "continueSubmitAfterELI",
               "SubmitSM rejected by ELI for transaction %llu with status %u network error %u",
               static_cast<ull>(transactionId), state, error);
    const std::string id = generatedMessageId();
    answer(true, pending.sequenceNumber, id, 0);
    generateDeliveryReceipt(session_, pending.submit, id, static_cast<uint8_t>(state & 0xFF),
                            static_cast<uint8_t>(error & 0xFF), now);
    return;
  }
  logMessage(LOG_FINE, &session_, kClass, "continueSubmitAfterELI",
             "ELI completed for transaction %llu", static_cast<ull>(transactionId));
  const SubmitAsyncServices async = currentServices();
  if (!async.lookupEnabled || !async.lookupEnabled()) {
    routeSubmit(pending, json(), now);
    return;
  }
  json lookup;
  const int found = performMSISDNLookup(pending, lookup);
  if (found == 2) return;
  // A refused lookup does not refuse a submit the external logic let
  // through: it is routed without network data.
  routeSubmit(pending, found == 1 ? lookup : json(), now);
}

void SubmitPipeline::routeSubmit(Pending& pending, const json& lookup, uint64_t now) {
  OstrelConfiguration& config = OstrelConfiguration::instance();
  std::string configured = config.esmeSharedTargetSet(session_.boundSystemId(), session_.peerIp());
  if (configured.empty()) configured = "default";
  // Global rules, then the customer's own, on the rules as last loaded.
  const MTRoute route = config.mtRoutes()->route(session_.boundSystemId(), configured, lookup,
                                                 pending.submit, session_.esmeMTRules());
  const std::string& targetSet = route.targetSet;
  const std::string& network = route.network;

  std::string messageId;
  const int routed = queueSubmitEvent(pending, targetSet, messageId, network, now);
  if (routed == 1) {
    answer(true, pending.sequenceNumber, messageId, 0);
  } else if (routed == 0) {
    countWithEsme("smppSubmitSMNoRoute", session_.boundSystemId());
    answer(false, pending.sequenceNumber, "", kSubmitFail);
  }
}

int SubmitPipeline::queueSubmitEvent(const Pending& pending, const std::string& targetSet,
                                     std::string& messageId, const std::string& network,
                                     uint64_t now) {
  const std::string& esme = session_.boundSystemId();
  const Concatenation concat = concatenationOf(pending.submit);
  if (concat.concatenated) {
    MetricsRegistry::instance().incrementCounter("smppSubmitSMConcatenatedTotal");
    countWithEsme("smppSubmitSMConcatenated", esme);
  }
  if (targetSet == kInternalSimulator) {
    messageId = generatedMessageId();
    if (pending.submit.registered_delivery != 0)
      generateDeliveryReceipt(session_, pending.submit, messageId, 2, 0, now);
    return 1;
  }
  SMPPUpstream& upstream = SMPPUpstream::instance();
  const int32_t poolSize = upstream.getTargetSetPoolSize(targetSet);
  if (poolSize < 1) return 0;
  const uint64_t key = pending.destination ^ session_.sessionId() ^ concat.reference;
  for (int32_t attempt = 0; attempt < poolSize; ++attempt) {
    uint64_t smscid = 0;
    if (!concat.concatenated) {
      smscid = upstream.nextSMSCForTargetSet(targetSet);
    } else {
      auto it = concatenations_.find(key);
      if (it == concatenations_.end()) {
        smscid = upstream.nextSMSCForTargetSet(targetSet);
        concatenations_[key] = ConcatenationRoute{smscid, concat.total};
      } else {
        smscid = it->second.smscid;
        if (--it->second.partsLeft <= 1) concatenations_.erase(it);
      }
    }
    uint32_t upstreamSequence = 0;
    std::string smscName;
    if (smscid != 0 && upstream.sendSubmitSM(esme, session_.sessionId(), smscid,
                                             pending.sequenceNumber, pending.submit,
                                             upstreamSequence, smscName, pending.commandId)) {
      SMPPCDRManager& cdr = SMPPCDRManager::getInstance();
      if (cdr.mode() != CDRMode::NONE) {
        logMessage(LOG_FINE, &session_, kClass, "queueSubmitEvent",
                   "Queueing submit event - ESME: %s, SMSC: 0x%llx (%s), SeqNo: %llu, IP: %s",
                   esme.c_str(), static_cast<ull>(smscid), smscName.c_str(),
                   static_cast<ull>(upstreamSequence), session_.peerIp().c_str());
        try {
          cdr.createInitialCDR(pending.submit, esme, session_.peerIp(), smscName, smscid,
                               upstreamSequence, network);
        } catch (const std::exception& e) {
          logMessage(LOG_WARNING, &session_, kClass, "queueSubmitEvent",
                     "Failed to create CDR: %s", e.what());
        }
      }
      return 2;
    }
    if (concat.concatenated && concatenations_.erase(key) > 0)
      countWithEsme("smppSubmitSMConcatenatedReset", esme);
  }
  return 0;
}
