#include "downstream/submit_pipeline.h"

#include <cctype>
#include <charconv>
#include <cstdlib>
#include <exception>
#include <utility>

#include "admin/metrics.h"
#include "base/log.h"
#include "cdr/smpp_cdr_manager.h"
#include "config/ostrel_configuration.h"
#include "downstream/delivery_receipt.h"
#include "downstream/entity_control_master.h"
#include "downstream/ostrel_session.h"
#include "lookup/eli_document.h"
#include "lookup/ext_logic_integration_master.h"
#include "lookup/msisdn_lookup_master.h"
#include "upstream/smpp_upstream.h"

namespace {

using nlohmann::json;
using ull = unsigned long long;
constexpr const char* kClass = "OstrelSession";

void countWithEsme(const char* name, const std::string& esme) {
  MetricsRegistry& metrics = MetricsRegistry::instance();
  metrics.incrementCounter(name);
  metrics.incrementCounter(seriesKey(std::string(name) + "_ESME", {{"esme", esme}}));
}

}  // namespace

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
  // strtoull's reading, without its locale: a '-' negates modulo 2^64.
  uint64_t value = 0;
  const std::from_chars_result read =
      std::from_chars(text.data() + digits, text.data() + text.size(), value);
  if (read.ec == std::errc::result_out_of_range) return std::nullopt;
  return text[at] == '-' ? 0 - value : value;
}

std::string generatedMessageId() {
  static const char kAlphabet[] =
      "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  std::string id(64, '0');
  for (char& c : id) c = kAlphabet[random() % 62];
  return id;
}

SubmitPipeline::SubmitPipeline(OstrelSession& session) : session_(session) {
  // By value: a worker holding a queue may push after the session is gone.
  auto wake = [master = session.master(), id = session.sessionId()] {
    if (master != nullptr) master->requestTimedCheck(id);
  };
  lookupResults_ = std::make_shared<CompletionQueue>(wake);
  eliResults_ = std::make_shared<CompletionQueue>(wake);
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

uint8_t SubmitPipeline::onSubmitSM(const std::string& systemId, SMPP::T_SubmitSM& submit,
                                   uint32_t commandId, uint32_t sequenceNumber,
                                   std::string& messageId, uint32_t& status, uint64_t now) {
  static const MetricsRegistry::CounterHandle submits =
      MetricsRegistry::instance().counterHandle("smppSubmitSMTotal");
  static const MetricsRegistry::RateHandle submitRate =
      MetricsRegistry::instance().rateHandle("smppSubmitSMRate");
  submits.increment();
  submitRate.add();
  submitSeries_.bump(systemId);

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
  Pending pending{sequenceNumber, commandId, std::move(submit), messageId, *destination};
  ExtLogicIntegrationMaster& eli = ExtLogicIntegrationMaster::instance();
  if (!eli.enabled()) {
    json lookup;
    const int found = performMSISDNLookup(pending, lookup);
    if (found == 0) return SMPPSessionServer::kRefuse;
    if (found == 2) return SMPPSessionServer::kAnswerLater;
    routeSubmit(pending, lookup, now);
    return SMPPSessionServer::kAnswerLater;
  }
  const uint64_t transactionId = nextLookupTransactionId();
  // Stored first: the completion may arrive before addAsyncSubmit returns.
  {
    std::lock_guard<std::mutex> lock(pendingELIMutex_);
    pendingELI_.emplace(transactionId, pending);
  }
  if (!eli.addAsyncSubmit(systemId, session_.peerIp(), pending.submit, 0, transactionId,
                          CompletionQueue::deliverTo(eliResults_), session_.sessionId())) {
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
  return SMPPSessionServer::kAnswerLater;
}

void SubmitPipeline::drainCompletions(uint64_t now) {
  // External decisions first: a submit they let through may then wait for
  // its lookup, whose result comes at a later pass.
  for (CompletionQueue::Result& r : eliResults_->drain())
    continueSubmitAfterELI(r.transactionId, r.result, now);
  for (CompletionQueue::Result& r : lookupResults_->drain())
    continueSubmitAfterLookup(r.transactionId, r.result, now);
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
  MSISDNLookupMaster& lookups = MSISDNLookupMaster::instance();
  result = json();
  if (!lookups.settings().enabled) return 1;
  const uint64_t transactionId = nextLookupTransactionId();
  {
    std::lock_guard<std::mutex> lock(pendingLookupsMutex_);
    pendingLookups_.emplace(transactionId, pending);
  }
  const int outcome = static_cast<int>(
      lookups.requestLookup(transactionId, pending.destination, result,
                            CompletionQueue::deliverTo(lookupResults_), session_.sessionId()));
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
  const ELIDecision decision = readELIDecision(response);
  if (decision.action == ELIDecision::Action::Reject) {
    logMessage(LOG_FINE, &session_, kClass, "continueSubmitAfterELI",
               "SubmitSM rejected by ELI for transaction %llu with status %u",
               static_cast<ull>(transactionId), decision.commandStatus);
    answer(false, pending.sequenceNumber, "", decision.commandStatus);
    return;
  }
  if (decision.action == ELIDecision::Action::RejectWithReceipt) {
    logMessage(LOG_FINE, &session_, kClass, "continueSubmitAfterELI",
               "SubmitSM rejected by ELI for transaction %llu with status %u network error %u",
               static_cast<ull>(transactionId), decision.messageState, decision.networkError);
    const std::string id = generatedMessageId();
    answer(true, pending.sequenceNumber, id, 0);
    generateDeliveryReceipt(session_, pending.submit, id,
                            static_cast<uint8_t>(decision.messageState & 0xFF),
                            static_cast<uint8_t>(decision.networkError & 0xFF), now);
    return;
  }
  logMessage(LOG_FINE, &session_, kClass, "continueSubmitAfterELI",
             "ELI completed for transaction %llu", static_cast<ull>(transactionId));
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
    SMPPCDRManager& cdr = SMPPCDRManager::getInstance();
    bool recorded = false;
    // The record exists before the submit leaves: the SMSC's answer may be
    // handled on the upstream thread before sendSubmitSM returns.
    auto record = [&](uint32_t sequence, const std::string& name) {
      if (cdr.mode() == CDRMode::NONE) return;
      logMessage(LOG_FINE, &session_, kClass, "queueSubmitEvent",
                 "Queueing submit event - ESME: %s, SMSC: 0x%llx (%s), SeqNo: %llu, IP: %s",
                 esme.c_str(), static_cast<ull>(smscid), name.c_str(),
                 static_cast<ull>(sequence), session_.peerIp().c_str());
      try {
        cdr.createInitialCDR(pending.submit, esme, session_.peerIp(), name, smscid, sequence,
                             network);
        recorded = true;
      } catch (const std::exception& e) {
        logMessage(LOG_WARNING, &session_, kClass, "queueSubmitEvent", "Failed to create CDR: %s",
                   e.what());
      }
    };
    if (smscid != 0) {
      if (upstream.sendSubmitSM(esme, session_.sessionId(), smscid, pending.sequenceNumber,
                                pending.submit, upstreamSequence, smscName, pending.commandId,
                                record))
        return 2;
      // Never sent: the message is tried on the next bind, with its own record.
      if (recorded) cdr.discardInitialCDR(smscid, upstreamSequence);
    }
    if (concat.concatenated && concatenations_.erase(key) > 0)
      countWithEsme("smppSubmitSMConcatenatedReset", esme);
  }
  return 0;
}
