#include "smpp/smpp_session.h"


#include <cstdio>

#include "base/log.h"

namespace {

std::atomic<uint64_t> sessionIdCounter{0};

// The diagnosis of a missing response lists at most this many entries, so a
// large table never stalls the thread that checks it.
constexpr size_t kPendingDumpLimit = 100;

}  // namespace

uint64_t SMPPSession::takeNextSessionId() {
  return sessionIdCounter.fetch_add(1, std::memory_order_relaxed) + 1;
}

SMPPSession::SMPPSession(const char* className)
    : className_(className), sessionId_(takeNextSessionId()) {}

SMPPSession::~SMPPSession() { holder_.closeDescriptor(); }

void SMPPSession::attachSocket(int fd, bool ownsDescriptor, const std::string& remoteAddress,
                               int remotePort) {
  attachSocket(std::make_unique<SMPPSocketUnencrypted>(fd), ownsDescriptor, remoteAddress,
               remotePort);
}

void SMPPSession::attachSocket(std::unique_ptr<SMPPSocket> socket, bool ownsDescriptor,
                               const std::string& remoteAddress, int remotePort) {
  holder_.attach(std::move(socket), ownsDescriptor);
  holder_.setRemote(remoteAddress, remotePort);
}

bool SMPPSession::deliver(uint64_t, bool&, bool&) { return false; }

bool SMPPSession::onTimedCheck(uint64_t) { return false; }

bool SMPPSession::sendPDU(uint32_t sequenceNumber, uint32_t commandId, uint32_t commandStatus,
                          const uint8_t* body, size_t bodyLength) {
  return holder_.sendPDU(sequenceNumber, commandId, commandStatus, body, bodyLength);
}

bool SMPPSession::sendResponse(uint32_t sequenceNumber, uint32_t commandId, uint32_t commandStatus,
                               const uint8_t* body, size_t bodyLength, uint64_t now) {
  if (commandId == SMPP::DELIVER_SM) {
    setLastDeliverTime(now);
    deliverSM_.record(now);
  } else if (commandId == SMPP::SUBMIT_SM) {
    lastSubmitTime_.store(now, std::memory_order_relaxed);
    submitSM_.record(now);
  }
  return sendPDU(sequenceNumber, commandId, commandStatus, body, bodyLength);
}

void SMPPSession::noteReceivedPDU(const SMPP::PDUHeader& header, uint64_t now) {
  if (header.commandId == SMPP::ENQUIRE_LINK_RESP) {
    enquireLinkSent_.store(0, std::memory_order_relaxed);
  } else if (header.commandId == SMPP::SUBMIT_SM_RESP) {
    submitSMResp_.record(now);
  }
  if (header.commandId & SMPP::RESPONSE_BIT) removePendingResponse(header.sequenceNumber);
  setLastActivityTime(now);
}

static_assert(SMPP::SequenceTable<uint64_t>::kMax == SMPPSession::kMaxSequenceNumber);

uint32_t SMPPSession::nextSequenceNumber() {
  uint32_t current = nextSequence_.load(std::memory_order_relaxed);
  uint32_t next;
  do {
    next = current >= kMaxSequenceNumber ? 1 : current + 1;
  } while (!nextSequence_.compare_exchange_weak(current, next, std::memory_order_acq_rel));
  return current;
}

std::string SMPPSession::systemId() const {
  std::lock_guard<std::mutex> lock(identityMutex_);
  return systemId_;
}

void SMPPSession::setSystemId(const std::string& systemId) {
  std::lock_guard<std::mutex> lock(identityMutex_);
  systemId_ = systemId;
}

std::string SMPPSession::password() const {
  std::lock_guard<std::mutex> lock(identityMutex_);
  return password_;
}

std::string SMPPSession::systemType() const {
  std::lock_guard<std::mutex> lock(identityMutex_);
  return systemType_;
}

void SMPPSession::setCredentials(const std::string& password, const std::string& systemType) {
  std::lock_guard<std::mutex> lock(identityMutex_);
  password_ = password;
  systemType_ = systemType;
}

void SMPPSession::addPendingResponse(uint32_t sequenceNumber, uint64_t sentAt) {
  std::lock_guard<std::mutex> lock(pendingResponseMutex_);
  pendingResponses_.put(sequenceNumber, sentAt);
}

bool SMPPSession::removePendingResponse(uint32_t sequenceNumber) {
  std::lock_guard<std::mutex> lock(pendingResponseMutex_);
  return pendingResponses_.take(sequenceNumber);
}

size_t SMPPSession::pendingResponseCount() const {
  std::lock_guard<std::mutex> lock(pendingResponseMutex_);
  return pendingResponses_.size();
}

uint64_t SMPPSession::oldestPendingResponseTime() const {
  std::lock_guard<std::mutex> lock(pendingResponseMutex_);
  return pendingResponses_.empty() ? 0 : pendingResponses_.oldest();
}

uint64_t SMPPSession::nextCheckDue(uint64_t now) const {
  if (failed() || descriptor() < 0 || pendingOutputBytes() > 0) return now;
  uint64_t due = now + kMaxCheckGapMicros;
  auto earliest = [&due](uint64_t t) {
    if (t < due) due = t;
  };
  const uint64_t oldest = oldestPendingResponseTime();
  if (oldest != 0) earliest(oldest + static_cast<uint64_t>(responseTimeout_) * 1000000ULL + 1);
  const uint64_t closing = closingTime();
  if (closing != 0) earliest(closing);
  const uint64_t last = lastActivityTime();
  const uint64_t interval = static_cast<uint64_t>(enquireLinkInterval_) * 1000000ULL;
  if (last != 0 && interval != 0) {
    const uint64_t probe = enquireLinkSentTime();
    if (probe == 0) {
      earliest(last + interval + 1);
    } else if (closing == 0) {
      earliest(probe + kEnquireLinkAnswerMicros + 1);
    }
  }
  return due < now ? now : due;
}

bool SMPPSession::isPDUResponseMissing(uint64_t now) {
  const uint64_t allowed = static_cast<uint64_t>(responseTimeout_) * 1000000ULL;
  uint64_t oldest = 0;
  size_t total = 0;
  std::vector<std::pair<uint64_t, uint64_t>> dump;
  {
    std::lock_guard<std::mutex> lock(pendingResponseMutex_);
    if (pendingResponses_.empty()) return false;
    oldest = pendingResponses_.oldest();
    if (now <= oldest || now - oldest <= allowed) return false;
    total = pendingResponses_.size();
    pendingResponses_.forEach([&dump](uint32_t sequence, uint64_t sentAt) {
      if (dump.size() == kPendingDumpLimit) return false;
      dump.emplace_back(sequence, sentAt);
      return true;
    });
  }
  // Logged outside the table's mutex: the log has a lock of its own.
  logMessage(LOG_INFO, this, className_, "isPDUResponseMissing", "oldest=%llu allowed=%llu diff=%llu",
             static_cast<unsigned long long>(oldest), static_cast<unsigned long long>(allowed),
             static_cast<unsigned long long>(now - oldest));
  for (const auto& [seq, t] : dump) {
    logMessage(LOG_INFO, this, className_, "isPDUResponseMissing", "seqno=%llu t=%llu",
               static_cast<unsigned long long>(seq), static_cast<unsigned long long>(t));
  }
  if (total > dump.size()) {
    logMessage(LOG_INFO, this, className_, "isPDUResponseMissing", "... and %zu more pending",
               total - dump.size());
  }
  return true;
}

bool SMPPSession::timedCheck(uint64_t now) {
  flushOutput();
  if (failed() || descriptor() < 0) {
    logMessage(LOG_INFO, this, className_, "timedCheck", "Session dead (line:%d)", __LINE__);
    holder_.closeDescriptor();
    markFailed();
    return true;
  }
  if (isPDUResponseMissing(now)) {
    logMessage(LOG_WARNING, this, className_, "timedCheck",
               "PDU response not received - closing session (line:%d)", __LINE__);
    return true;
  }
  const uint64_t closing = closingTime();
  if (closing != 0 && now >= closing) {
    logMessage(LOG_INFO, this, className_, "timedCheck", "Due to close (line:%d)", __LINE__);
    return true;
  }
  const uint64_t last = lastActivityTime();
  const uint64_t interval = static_cast<uint64_t>(enquireLinkInterval_) * 1000000ULL;
  if (last != 0 && interval != 0 && now > last && now - last > interval) {
    const uint64_t probe = enquireLinkSentTime();
    if (probe == 0) {
      sendPDU(nextSequenceNumber(), SMPP::ENQUIRE_LINK, 0, nullptr, 0);
      enquireLinkSent_.store(now, std::memory_order_relaxed);
      setClosingTime(0);
    } else if (now > probe && now - probe >= kEnquireLinkAnswerMicros + 1 && closingTime() == 0) {
      sendPDU(nextSequenceNumber(), SMPP::UNBIND, 0, nullptr, 0);
      setClosingTime(now + kUnbindGraceMicros);
    }
  }
  return onTimedCheck(now);
}

void SMPPSession::printStats() {
  const std::string id = systemId();
  logMessage(LOG_INFO, this, className_, "printStats", "%12s SubmitSM count: %llu", id.c_str(),
             static_cast<unsigned long long>(submitSM_.count.load(std::memory_order_relaxed)));
  logMessage(LOG_INFO, this, className_, "printStats", "%12s DeliverSM count: %llu", id.c_str(),
             static_cast<unsigned long long>(deliverSM_.count.load(std::memory_order_relaxed)));
  logBufferState();
}

void SMPPSession::logBufferState() {
  if (!logEnabled(LOG_FINE)) return;
  const long waiting = holder_.kernelBytesAvailable();
  const size_t buffered = holder_.bufferedBytes();
  if (waiting == 0 && buffered == 0) return;
  char bytes[16 * 3 + 1];
  size_t used = 0;
  const uint8_t* data = holder_.bufferedData();
  for (size_t i = 0; i < buffered && i < 16; ++i) {
    used += static_cast<size_t>(snprintf(bytes + used, sizeof bytes - used, "%02x ", data[i]));
  }
  bytes[used] = '\0';
  const std::string id = systemId();
  logMessage(LOG_FINE, this, className_, "logBufferState",
             "%llu %s:%d/%s bytes_to_read=%ld; buffer_socket_idx=%zu; buffer: %s",
             static_cast<unsigned long long>(sessionId_), remoteAddress().c_str(), remotePort(),
             id.c_str(), waiting, buffered, bytes);
}

const char* submitRefusalText(uint32_t status) {
  switch (status >> 16) {
    case 1: return "Message content blocked (firewall)";
    case 2: return "Not in CUG";
    case 3: return "MSISDN blocked (firewall)";
    case 4: return "Mobile prefix blocked (firewall)";
    case 5: return "No credit on customer account";
    case 6: return "Submits disabled for SMPP account";
    default: return "";
  }
}

bool handleESMESubmitSMResponse(SMPPSession& session, bool success, uint32_t commandId,
                                uint32_t sequenceNumber, EntityResponse* response,
                                const std::string& messageId, uint32_t status) {
  const uint32_t responseId =
      commandId == SMPP::DATA_SM ? SMPP::DATA_SM_RESP : SMPP::SUBMIT_SM_RESP;
  std::vector<uint8_t> body;
  uint32_t commandStatus = 0;
  if (success) {
    SMPP::encodeMessageIdBody(messageId, body);
    if (response != nullptr && !response->messageIds.empty()) {
      std::vector<uint8_t> ids;
      for (const std::string& id : response->messageIds) {
        ids.insert(ids.end(), id.begin(), id.end());
        ids.push_back(0);
      }
      SMPP::appendTLV(body, SMPP::TAG_ADDITIONAL_MESSAGE_IDS, ids.data(), ids.size());
    }
  } else if (status > 0xFFFF) {
    commandStatus = status & 0xFFFF;
    SMPP::encodeStatusTextBody(submitRefusalText(status), body);
  } else {
    commandStatus = status;
  }
  const bool sent = session.sendPDU(sequenceNumber, responseId, commandStatus, body);
  logMessage(LOG_FINE, &session, session.className(), "handleESMESubmitSMResponse", "sendE() = %d",
             sent ? 1 : 0);
  return sent;
}
