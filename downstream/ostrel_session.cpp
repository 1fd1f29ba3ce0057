#include "downstream/ostrel_session.h"

#include "admin/metrics.h"
#include "base/log.h"
#include "base/wall_clock.h"
#include "config/ostrel_configuration.h"
#include "downstream/bcrypt_verifier.h"
#include "downstream/entity_control_master.h"
#include "tracking/tracker.h"

namespace {
constexpr const char* kSessionGauge = "downstreamSMPPSessions";
}  // namespace

OstrelSession::OstrelSession(int fd, const char* peerIp, int peerPort, EntityControlMaster* master)
    : SMPPSessionServer("OstrelSession"),
      peerIp_(peerIp),
      master_(master),
      authoriser_(this, sessionId(), OstrelConfiguration::instance(), BcryptVerifier::instance(),
                  Tracker::instance()) {
  // The descriptor is closed under the socket holder's lock, never behind
  // the back of a thread that is sending.
  attachSocket(fd, true, peerIp_, peerPort);
  setClosingTime(wallClockMicros() + kBindDeadlineMicros);
  MetricsRegistry::instance().addGauge(kSessionGauge, 1);
}

std::shared_ptr<OstrelSession> OstrelSession::create(int fd, const char* peerIp, int peerPort,
                                                     EntityControlMaster* master) {
  auto session = std::make_shared<OstrelSession>(fd, peerIp, peerPort, master);
  const uint64_t id = session->sessionId();
  Tracker::instance().setSession(id, std::weak_ptr<SMPPSession>(session));
  session->socketHolder().setOwner(session);
  if (master != nullptr) {
    session->authoriser_.setVerdictListener([master, id] { master->requestTimedCheck(id); });
    session->socketHolder().setAttentionCallback([master, id] { master->requestTimedCheck(id); });
    // Created by the listener, which serves and writes it from now on.
    session->socketHolder().setOwnerThread();
  }
  return session;
}

OstrelSession::~OstrelSession() {
  // A session dropped without the listener's close (tests, teardown) still
  // hands its unanswered deliveries back.
  returnUnanswered();
  Tracker::instance().removeSession(sessionId());
  MetricsRegistry::instance().addGauge(kSessionGauge, -1);
}

bool OstrelSession::receivesDeliveries() const {
  uint32_t state = bindState();
  return !boundSystemId_.empty() &&
         (state == BIND_STATE_TRANSCEIVER || state == BIND_STATE_RECEIVER);
}

void OstrelSession::applyGrant(const BindAuthoriser::Grant& grant) {
  esmeMTRules_ = grant.mtRuleList;
  tpsLimit_ = grant.tpsLimit;
  sharedTargetSet_ = grant.sharedTargetSet;
}

uint8_t OstrelSession::onBindAuthorisation(uint64_t /*now*/, const std::string& peerIp,
                                           uint8_t /*interfaceVersion*/,
                                           const std::string& systemId, const std::string& password,
                                           const std::string& /*systemType*/, uint32_t commandId,
                                           std::string& /*responseSystemId*/,
                                           uint32_t sequenceNumber) {
  bindRequested_ = true;
  bindCommandId_ = commandId;
  bindSequenceNumber_ = sequenceNumber;
  boundSystemId_ = systemId;
  setSystemId(systemId);
  peerIp_ = peerIp;
  BindAuthoriser::Grant grant;
  BindAuthoriser::Result result = authoriser_.authorise({peerIp, systemId, password}, grant);
  if (result == BindAuthoriser::Accept) applyGrant(grant);
  return static_cast<uint8_t>(result);
}

bool OstrelSession::onTimedCheck(uint64_t now) {
  BindAuthoriser::Grant grant;
  std::optional<BindAuthoriser::Result> verdict = authoriser_.takeCompleted(grant);
  if (verdict.has_value()) {
    bool accepted = *verdict == BindAuthoriser::Accept;
    if (accepted) applyGrant(grant);
    completeBind(now, accepted);
  }
  submitPipeline_.drainCompletions(now);
  return false;
}

bool OstrelSession::onQuerySM(const std::string& /*messageId*/, std::string& /*finalDate*/,
                              uint8_t& /*messageState*/, uint8_t& /*errorCode*/) {
  return false;
}

bool OstrelSession::onCancelSM(const std::string& /*serviceType*/,
                               const std::string& /*messageId*/) {
  return false;
}

uint8_t OstrelSession::onSubmitSM(std::string systemId, SMPP::T_SubmitSM& submit,
                                  uint32_t commandId, uint32_t sequenceNumber,
                                  std::string& messageId, uint32_t& status,
                                  EntityResponse* /*response*/) {
  return submitPipeline_.onSubmitSM(systemId, submit, commandId, sequenceNumber, messageId,
                                    status, submitReadAt());
}

void OstrelSession::refreshTpsLimit() {
  tpsLimit_ = OstrelConfiguration::instance().esmeTpsLimit(boundSystemId_, peerIp_);
}

void OstrelSession::closeConnection() {
  SMPPSession::closeConnection();
  returnUnanswered();
}

void OstrelSession::returnUnanswered() {
  if (unanswered_.empty()) return;
  const size_t count = unanswered_.size();
  // Newest first, so the queue front ends up in the original send order.
  while (!unanswered_.empty()) {
    DeliverSMQueue::instance().pushFrontDeliverSM(boundSystemId_,
                                                  std::move(unanswered_.back().body));
    unanswered_.pop_back();
  }
  logMessage(LOG_INFO, this, "OstrelSession", "returnUnanswered",
             "%zu unanswered deliver_sm queued again for %s", count, boundSystemId_.c_str());
}

bool OstrelSession::deliverQueued(uint64_t now, bool& again, bool& delivered) {
  // A session that unbound keeps its connection for a while; what it is
  // offered then would wait out the response timeout before going to the
  // customer's other receivers.
  if (!receivesDeliveries() || unanswered_.size() >= kDeliverWindow) return false;
  DeliverSMQueue::Body body;
  if (!DeliverSMQueue::instance().popDeliverSM(boundSystemId_, body)) return false;
  const uint32_t sequence = nextSequenceNumber();
  if (!sendResponse(sequence, SMPP::DELIVER_SM, 0, body.data(), body.size(), now)) {
    MetricsRegistry& metrics = MetricsRegistry::instance();
    metrics.incrementCounter("sockets_smpp_DN_DeliverSM_sendFail");
    metrics.incrementCounter("sockets_smpp_DN_DeliverSM_sendFail_ESME", {{"esme", boundSystemId_}});
    metrics.incrementCounter("smppDeliverSMSendFail");
    metrics.incrementCounter("smppDeliverSMSendFail_ESME", {{"esme", boundSystemId_}});
    // Not lost: offered again first, to this customer's next receiver. The
    // connection is dead, so the listener closes it now instead of offering
    // it the same body again on every pass.
    DeliverSMQueue::instance().pushFrontDeliverSM(boundSystemId_, std::move(body));
    return true;
  }
  // A deliver_sm_resp that never comes closes the session after the
  // response timeout, which returns the body to the queue.
  addPendingResponse(sequence, now);
  unanswered_.push_back(SentDelivery{sequence, std::move(body)});
  again = true;
  delivered = true;
  return false;
}

bool OstrelSession::onDeliverSMResp(uint32_t /*status*/, const std::string& /*messageId*/,
                                    uint32_t sequenceNumber) {
  static const struct {
    MetricsRegistry::CounterHandle responses, responsesTotal;
    MetricsRegistry::RateHandle rate;
  } totals{MetricsRegistry::instance().counterHandle("smppDeliverSMResp"),
           MetricsRegistry::instance().counterHandle("smppDeliverSMRespTotal"),
           MetricsRegistry::instance().rateHandle("smppDeliverSMRespRate")};
  totals.responses.increment();
  totals.responsesTotal.increment();
  totals.rate.add();
  deliverRespSeries_.bump(boundSystemId_);
  const bool wasFull = unanswered_.size() >= kDeliverWindow;
  for (auto it = unanswered_.begin(); it != unanswered_.end(); ++it) {
    if (it->sequenceNumber == sequenceNumber) {
      unanswered_.erase(it);
      break;
    }
  }
  // A full window kept this session out of the deliver rounds; ask for a
  // pass so the rest of the queue moves without waiting for a timer.
  if (wasFull && unanswered_.size() < kDeliverWindow && master_ != nullptr &&
      DeliverSMQueue::instance().queuedCount(boundSystemId_) > 0)
    master_->requestTimedCheck(sessionId());
  return true;
}
