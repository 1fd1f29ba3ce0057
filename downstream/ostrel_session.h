#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "downstream/bind_authoriser.h"
#include "downstream/deliver_sm_queue.h"
#include "downstream/submit_pipeline.h"
#include "smpp/smpp_session.h"

class EntityControlMaster;

// The session of one customer (ESME) connection: binds against the
// customer's configuration record (BindAuthoriser), refuses query_sm and
// cancel_sm, and carries what later stages read about the bound customer
// (its MT rules, TPS limit and target set).
//
// Created by the listener (SMPPServer) on its loop thread through create(),
// which alone calls processInput, timedCheck, deliverQueued and the hooks.
// The listener holds it by shared ownership; other threads reach it only
// through selfReference() (a weak reference: locked, it keeps the session
// alive; it expires with the last owner) and must use no more than the
// thread-safe parts of SMPPSession. Once the listener has closed the
// connection every send fails, so a late answer never reaches a descriptor
// reused by another customer. The last owner may be any thread.
//
// Deliveries (receipts and mobile-originated messages from DeliverSMQueue)
// are delivered at least once: the session keeps every deliver_sm it sent
// until its deliver_sm_resp arrives (any status is final), and when the
// connection closes first - peer gone, failed write, missing response past
// the response timeout, shutdown - the unanswered ones go back to the front
// of the customer's queue in the order they were sent, to be offered to the
// next receiving session. To bound that memory a session holds at most
// kDeliverWindow unanswered deliver_sm; while the window is full it takes
// nothing from the queue. All of this runs on the listener thread.
class OstrelSession : public SMPPSessionServer, public std::enable_shared_from_this<OstrelSession> {
 public:
  static constexpr uint64_t kBindDeadlineMicros = 20000000;
  // Most deliver_sm one session has sent and not yet seen answered.
  static constexpr size_t kDeliverWindow = 64;

  // The session for accepted descriptor `fd`, which it now owns and closes.
  static std::shared_ptr<OstrelSession> create(int fd, const char* peerIp, int peerPort,
                                               EntityControlMaster* master);
  // Use create(): the session must be shared before it is published.
  OstrelSession(int fd, const char* peerIp, int peerPort, EntityControlMaster* master);
  ~OstrelSession() override;

  // ---- What the listener asks ----
  bool receivesDeliveries() const;
  const std::string& deliveryAccount() const { return boundSystemId_; }
  bool bindRequested() const { return bindRequested_; }

  // ---- Hooks of the session core ----
  uint8_t onBindAuthorisation(uint64_t now, const std::string& peerIp, uint8_t interfaceVersion,
                              const std::string& systemId, const std::string& password,
                              const std::string& systemType, uint32_t commandId,
                              std::string& responseSystemId, uint32_t sequenceNumber) override;
  bool onQuerySM(const std::string& messageId, std::string& finalDate, uint8_t& messageState,
                 uint8_t& errorCode) override;
  bool onCancelSM(const std::string& serviceType, const std::string& messageId) override;
  uint8_t onSubmitSM(std::string systemId, SMPP::T_SubmitSM& submit, uint32_t commandId,
                     uint32_t sequenceNumber, std::string& messageId, uint32_t& status,
                     EntityResponse* response) override;
  bool onTimedCheck(uint64_t now) override;
  // Sends the oldest queued deliver_sm of the bound customer, if any and if
  // the window has room. True asks the listener to close the session: the
  // write failed, and the body is back at the front of the queue.
  bool deliverQueued(uint64_t now, bool& again, bool& delivered) override;
  bool onDeliverSMResp(uint32_t status, const std::string& messageId,
                       uint32_t sequenceNumber) override;

  // Closes the connection and puts every unanswered deliver_sm back at the
  // front of the customer's queue. The listener closes sessions through
  // this (its session type's closeConnection); other threads may use the
  // base class's, and the return happens when the listener lets go.
  void closeConnection();
  size_t unansweredDeliveries() const { return unanswered_.size(); }

  // ---- The bound customer ----
  std::weak_ptr<OstrelSession> selfReference() { return weak_from_this(); }
  EntityControlMaster* master() const { return master_; }
  const std::string& boundSystemId() const { return boundSystemId_; }
  const std::string& peerIp() const { return peerIp_; }
  uint32_t bindCommandId() const { return bindCommandId_; }
  uint32_t bindSequenceNumber() const { return bindSequenceNumber_; }
  uint16_t tpsLimit() const { return tpsLimit_; }
  const std::string& sharedTargetSet() const { return sharedTargetSet_; }
  // The customer's own MT rules, compiled; null when it has none.
  const MTRuleList* esmeMTRules() const { return esmeMTRules_.get(); }
  // Re-reads the customer's TPS limit, so a change applies without a new bind.
  void refreshTpsLimit();
  SubmitPipeline& submitPipeline() { return submitPipeline_; }

 private:
  struct SentDelivery {
    uint32_t sequenceNumber;
    DeliverSMQueue::Body body;
  };

  void applyGrant(const BindAuthoriser::Grant& grant);
  void returnUnanswered();

  uint32_t bindCommandId_ = 0;
  uint32_t bindSequenceNumber_ = 0;
  std::string boundSystemId_;
  std::string peerIp_;
  std::shared_ptr<const MTRuleList> esmeMTRules_;
  uint16_t tpsLimit_ = 65535;
  std::string sharedTargetSet_;
  bool bindRequested_ = false;
  EntityControlMaster* master_;
  BindAuthoriser authoriser_;
  std::deque<SentDelivery> unanswered_;  // listener thread; in send order
  EsmeSeries deliverRespSeries_{"smppDeliverSMResp_ESME", "smppDeliverSMRespRate_ESME"};
  SubmitPipeline submitPipeline_{*this};
};
