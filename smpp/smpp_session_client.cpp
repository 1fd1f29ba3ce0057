#include "base/log.h"
#include "smpp/smpp_session.h"

SMPPSessionClient::SMPPSessionClient(const SMPPClientSettings& settings)
    : SMPPSession("SMPPSession"), settings_(settings) {
  setSystemId(settings.systemId);
  setCredentials(settings.password, settings.systemType);
  setInterfaceVersion(settings.interfaceVersion);
  setEnquireLinkInterval(settings.enquireLinkInterval);
  setResponseTimeout(settings.responseTimeout);
}

bool SMPPSessionClient::sendBind() {
  if (bindState() != BIND_STATE_OPEN) return false;
  uint32_t commandId;
  switch (settings_.bindType) {
    case 0: commandId = SMPP::BIND_RECEIVER; break;
    case 1: commandId = SMPP::BIND_TRANSMITTER; break;
    case 2: commandId = SMPP::BIND_TRANSCEIVER; break;
    default: return false;
  }
  {
    std::lock_guard<std::mutex> lock(submitTableMutex_);
    submitTable_.clear();
  }
  std::vector<uint8_t> body;
  if (!SMPP::encodeBindBody(settings_.systemId, settings_.password, settings_.systemType,
                            settings_.interfaceVersion, body)) {
    logMessage(LOG_WARNING, this, className_, "sendBind",
               "Bind credentials of %s do not fit their fields", settings_.systemId.c_str());
    return false;
  }
  if (!sendPDU(nextSequenceNumber(), commandId, 0, body)) return false;
  setBindState(BIND_STATE_BIND_SENT);
  return true;
}

bool SMPPSessionClient::encodeSubmitSM(const SMPP::T_SubmitSM& submit, uint32_t commandId,
                                       uint64_t trackingValue, uint32_t& sequenceNumber,
                                       uint64_t now) {
  sequenceNumber = nextSequenceNumber();
  return encodeSubmitSMWithSequence(submit, commandId, trackingValue, sequenceNumber, now);
}

bool SMPPSessionClient::encodeSubmitSMWithSequence(const SMPP::T_SubmitSM& submit,
                                                   uint32_t commandId, uint64_t trackingValue,
                                                   uint32_t sequenceNumber, uint64_t now) {
  if (commandId != SMPP::SUBMIT_SM && commandId != SMPP::DATA_SM) return false;
  // The body is copied into the socket's backlog; the thread's buffer keeps
  // its room from one submit to the next.
  thread_local std::vector<uint8_t> body;
  if (!SMPP::encodeSubmitSMBody(commandId, submit, body)) {
    logMessage(LOG_WARNING, this, className_, "encodeSubmitSM",
               "Submit for %s cannot be encoded (field too long)", submit.destination_addr.c_str());
    return false;
  }
  if (commandId == SMPP::DATA_SM) submitSMStats().record(now);  // sendResponse counts submit_sm
  tpsWindowCount_.fetch_add(1, std::memory_order_relaxed);
  // Recorded before sending: the response may be read on another thread
  // before sendPDU returns.
  {
    std::lock_guard<std::mutex> lock(submitTableMutex_);
    submitTable_.put(sequenceNumber, trackingValue);
  }
  addPendingResponse(sequenceNumber, now);
  if (sendResponse(sequenceNumber, commandId, 0, body.data(), body.size(), now)) return true;
  {
    std::lock_guard<std::mutex> lock(submitTableMutex_);
    submitTable_.take(sequenceNumber);
  }
  removePendingResponse(sequenceNumber);
  return false;
}

bool SMPPSessionClient::takeSubmitTracking(uint32_t sequenceNumber, uint64_t& trackingValue) {
  std::lock_guard<std::mutex> lock(submitTableMutex_);
  return submitTable_.take(sequenceNumber, &trackingValue);
}

std::vector<std::pair<uint32_t, uint64_t>> SMPPSessionClient::takeAllSubmitTracking() {
  std::lock_guard<std::mutex> lock(submitTableMutex_);
  return submitTable_.takeAll();
}

size_t SMPPSessionClient::submitTableSize() const {
  std::lock_guard<std::mutex> lock(submitTableMutex_);
  return submitTable_.size();
}
