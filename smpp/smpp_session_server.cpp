#include "base/log.h"
#include "base/wall_clock.h"
#include "smpp/smpp_session.h"

SMPPSessionServer::SMPPSessionServer(const char* className) : SMPPSession(className) {}

uint8_t SMPPSessionServer::onBindAuthorisation(uint64_t, const std::string&, uint8_t,
                                               const std::string&, const std::string&,
                                               const std::string&, uint32_t, std::string&,
                                               uint32_t) {
  return kRefuse;
}

bool SMPPSessionServer::onQuerySM(const std::string&, std::string&, uint8_t&, uint8_t&) {
  return false;
}

bool SMPPSessionServer::onCancelSM(const std::string&, const std::string&) { return false; }

void SMPPSessionServer::onSubmitSMRefused(const std::string&) {}

uint8_t SMPPSessionServer::onSubmitSM(std::string, SMPP::T_SubmitSM&, uint32_t, uint32_t,
                                      std::string&, uint32_t&, EntityResponse*) {
  return kRefuse;
}

bool SMPPSessionServer::onDeliverSMResp(uint32_t, const std::string&, uint32_t) { return true; }

bool SMPPSessionServer::onDataSMResp(uint32_t, const std::string&, uint32_t) { return true; }

bool SMPPSessionServer::processInput() { return processInputAt(wallClockMicros()); }

bool SMPPSessionServer::processInputAt(uint64_t now) {
  const uint64_t closing = closingTime();
  if (closing != 0 && now >= closing) return true;
  if (failed() || descriptor() < 0) return true;

  bool bindRefusedThisCall = false;
  const SMPPSocketHolder::ReadPass pass(socketHolder());
  for (int budget = kPDUsPerInputCall; budget > 0; --budget) {
    const bool arrived = readPDU();
    if (arrived) noteReceivedPDU(socketHolder().header(), now);
    logBufferState();
    if (!arrived) return failed() || descriptor() < 0;
    if (failed()) {
      logMessage(LOG_INFO, this, className_, "run", "Socket is dead");
      return true;
    }
    if (!dispatch(now, bindRefusedThisCall)) return false;
    // A deadline reached while the peer keeps sending ends the session now,
    // not when the peer pauses.
    const uint64_t closingNow = closingTime();
    if (closingNow != 0 && now >= closingNow) return true;
  }
  return false;
}

bool SMPPSessionServer::respond(uint32_t commandId, uint32_t status, uint32_t sequenceNumber,
                                const std::vector<uint8_t>& body) {
  return sendPDU(sequenceNumber, commandId, status, body);
}

bool SMPPSessionServer::dispatch(uint64_t now, bool& bindRefusedThisCall) {
  const SMPP::PDUHeader& h = socketHolder().header();
  const uint8_t* body = socketHolder().body();
  const size_t len = socketHolder().bodyLength();
  const uint32_t state = bindState();

  switch (h.commandId) {
    case SMPP::BIND_RECEIVER:
    case SMPP::BIND_TRANSMITTER:
    case SMPP::BIND_TRANSCEIVER:
      handleBind(now, bindRefusedThisCall);
      return true;

    case SMPP::QUERY_SM: {
      if (state == BIND_STATE_OPEN) {
        respond(SMPP::QUERY_SM_RESP, SMPP::ESME_RINVBNDSTS, h.sequenceNumber);
        return true;
      }
      std::string messageId, finalDate;
      uint8_t messageState = 0, errorCode = 0;
      if (!SMPP::parseQuerySM(body, len, messageId) ||
          !onQuerySM(messageId, finalDate, messageState, errorCode)) {
        respond(SMPP::QUERY_SM_RESP, SMPP::ESME_RQUERYFAIL, h.sequenceNumber);
        return true;
      }
      std::vector<uint8_t> out;
      SMPP::encodeQuerySMResponseBody(messageId, finalDate, messageState, errorCode, out);
      respond(SMPP::QUERY_SM_RESP, SMPP::ESME_ROK, h.sequenceNumber, out);
      return true;
    }

    case SMPP::SUBMIT_SM:
    case SMPP::DATA_SM:
      return handleSubmit(now);

    case SMPP::UNBIND:
      if (state == BIND_STATE_OPEN) {
        respond(SMPP::UNBIND_RESP, SMPP::ESME_RINVBNDSTS, h.sequenceNumber);
      } else {
        onUnbind();
        respond(SMPP::UNBIND_RESP, SMPP::ESME_ROK, h.sequenceNumber);
        setBindState(BIND_STATE_OPEN);
      }
      return true;

    case SMPP::CANCEL_SM: {
      if (state == BIND_STATE_OPEN) {
        respond(SMPP::CANCEL_SM_RESP, SMPP::ESME_RINVBNDSTS, h.sequenceNumber);
        return true;
      }
      std::string serviceType, messageId;
      const bool ok = SMPP::parseCancelSM(body, len, serviceType, messageId) &&
                      onCancelSM(serviceType, messageId);
      respond(SMPP::CANCEL_SM_RESP, ok ? SMPP::ESME_ROK : SMPP::ESME_RCANCELFAIL,
              h.sequenceNumber);
      return true;
    }

    case SMPP::ENQUIRE_LINK:
      respond(SMPP::ENQUIRE_LINK_RESP, SMPP::ESME_ROK, h.sequenceNumber);
      return true;

    case SMPP::DELIVER_SM_RESP:
      onDeliverSMResp(h.commandStatus, std::string(), h.sequenceNumber);
      return true;

    case SMPP::DATA_SM_RESP:
      onDataSMResp(h.commandStatus, std::string(), h.sequenceNumber);
      return true;

    default:
      // enquire_link_resp was handled with the bookkeeping; everything else
      // is ignored without an answer.
      return true;
  }
}

void SMPPSessionServer::handleBind(uint64_t now, bool& bindRefusedThisCall) {
  const SMPP::PDUHeader& h = socketHolder().header();
  const uint32_t responseId = h.commandId | SMPP::RESPONSE_BIT;
  if (bindState() != BIND_STATE_OPEN) {
    respond(responseId, SMPP::ESME_RALYBND, h.sequenceNumber);
    return;
  }
  SMPP::BindRequest bind;
  const bool wellFormed =
      SMPP::parseBindBody(socketHolder().body(), socketHolder().bodyLength(), bind);
  // A bind still being decided holds the session: a second one is refused
  // and the first goes on.
  if (!wellFormed || pendingBind_.active || bindRefusedThisCall ||
      (h.commandId == SMPP::BIND_TRANSCEIVER &&
       bind.interfaceVersion < SMPP::INTERFACE_VERSION_34)) {
    bindRefusedThisCall = true;
    respond(responseId, SMPP::ESME_RBINDFAIL, h.sequenceNumber);
    return;
  }
  std::string responseSystemId = SMPP::BIND_RESPONSE_SYSTEM_ID;
  const uint8_t result = onBindAuthorisation(now, remoteAddress(), bind.interfaceVersion,
                                             bind.systemId, bind.password, bind.systemType,
                                             h.commandId, responseSystemId, h.sequenceNumber);
  if (result == kAccept) {
    acceptBind(now, h.commandId, h.sequenceNumber, bind.interfaceVersion, bind.systemId,
               responseSystemId);
  } else if (result == kAnswerLater) {
    pendingBind_ = PendingBind{true,          h.commandId,   h.sequenceNumber,
                               bind.interfaceVersion, bind.systemId, responseSystemId};
  } else {
    bindRefusedThisCall = true;
    respond(responseId, SMPP::ESME_RBINDFAIL, h.sequenceNumber);
  }
}

bool SMPPSessionServer::acceptBind(uint64_t now, uint32_t commandId, uint32_t sequenceNumber,
                                   uint8_t interfaceVersion, const std::string& systemId,
                                   const std::string& responseSystemId) {
  setBindTime(now);
  setClosingTime(0);
  const uint8_t negotiated = SMPP::negotiateInterfaceVersion(interfaceVersion);
  setInterfaceVersion(negotiated);
  setSystemId(systemId);
  std::vector<uint8_t> body;
  SMPP::encodeBindResponseBody(responseSystemId, negotiated, body);
  const bool sent = respond(commandId | SMPP::RESPONSE_BIT, SMPP::ESME_ROK, sequenceNumber, body);
  switch (commandId) {
    case SMPP::BIND_TRANSCEIVER: setBindState(BIND_STATE_TRANSCEIVER); break;
    case SMPP::BIND_TRANSMITTER: setBindState(BIND_STATE_TRANSMITTER); break;
    default: setBindState(BIND_STATE_RECEIVER); break;
  }
  return sent;
}

bool SMPPSessionServer::completeBind(uint64_t now, bool accepted) {
  if (!pendingBind_.active) return false;
  const PendingBind bind = std::move(pendingBind_);
  pendingBind_ = PendingBind{};
  if (failed()) return false;
  if (accepted) {
    return acceptBind(now, bind.commandId, bind.sequenceNumber, bind.interfaceVersion,
                      bind.systemId, bind.responseSystemId);
  }
  return respond(bind.commandId | SMPP::RESPONSE_BIT, SMPP::ESME_RBINDFAIL, bind.sequenceNumber);
}

bool SMPPSessionServer::handleSubmit(uint64_t now) {
  const SMPP::PDUHeader& h = socketHolder().header();
  const uint32_t state = bindState();
  if (state != BIND_STATE_TRANSCEIVER && state != BIND_STATE_TRANSMITTER) {
    onSubmitSMRefused(systemId());
    respond(h.commandId == SMPP::DATA_SM ? SMPP::DATA_SM_RESP : SMPP::SUBMIT_SM_RESP,
            SMPP::ESME_RINVBNDSTS, h.sequenceNumber);
    return true;
  }
  submitSMStats().record(now);
  if (h.commandId == SMPP::DATA_SM && interfaceVersion() < SMPP::INTERFACE_VERSION_34) {
    respond(SMPP::GENERIC_NACK, SMPP::ESME_RINVCMDID, h.sequenceNumber);
    return false;
  }
  SMPP::T_SubmitSM submit;
  uint32_t error = 0;
  if (!SMPP::parseSubmitSM(h.commandId, socketHolder().body(), socketHolder().bodyLength(), submit,
                           true, error, now)) {
    onSubmitSMRefused(systemId());
    handleESMESubmitSMResponse(*this, false, h.commandId, h.sequenceNumber, nullptr, std::string(),
                               error);
    return true;
  }
  std::string messageId;
  uint32_t status = SMPP::ESME_RSUBMITFAIL;
  EntityResponse response;
  submitReadAt_ = now;
  const uint8_t result = onSubmitSM(systemId(), submit, h.commandId, h.sequenceNumber, messageId,
                                    status, &response);
  if (result != kAnswerLater) {
    handleESMESubmitSMResponse(*this, result == kAccept, h.commandId, h.sequenceNumber, &response,
                               messageId, status);
  }
  return true;
}
