#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "smpp/pdu.h"
#include "smpp/sequence_table.h"
#include "smpp/smpp_socket.h"
#include "smpp/smpp_socket_holder.h"

// The session class tree shared by both directions of the gateway:
//
//   Session
//   └── SMPPSession            shared state: socket, framing, sending,
//       │                      sequence numbers, keep-alive, statistics
//       ├── SMPPSessionServer  request dispatch towards a binding client,
//       │                      with hooks the customer session overrides
//       ├── SMPPSessionClient  the session towards an SMSC
//       └── SMPPSessionNull    every hook at its default
//
// A session is served by one thread (its owner: the listener loop for
// customer sessions, the upstream thread for SMSC sessions). That thread
// calls processInput, timedCheck, nextCheckDue and the receiving side.
// sendPDU, sendResponse, closeConnection, nextSequenceNumber, the
// pending-response table, the statistics and the identity getters are safe
// from any thread. Sessions are held by shared ownership; another thread
// that locked a weak reference keeps the object alive, and once the owner
// closed the connection every send it tries fails.

// The root of every session type; no behaviour of its own.
class Session {
 public:
  virtual ~Session() = default;
};

// Strings handed through onSubmitSM to the response sender: further message
// ids of an accepted submit. The customer session never fills it.
struct EntityResponse {
  std::vector<std::string> messageIds;
};

// Last time (microseconds) and count of one kind of PDU; read by other
// threads (status report, metrics) while the session's thread writes.
struct SessionStatistic {
  std::atomic<uint64_t> lastTime{0};
  std::atomic<uint64_t> count{0};

  void record(uint64_t now) {
    lastTime.store(now, std::memory_order_relaxed);
    count.fetch_add(1, std::memory_order_relaxed);
  }
};

enum SMPPBindState : uint32_t {
  BIND_STATE_OPEN = 0,
  BIND_STATE_BIND_SENT = 1,
  BIND_STATE_TRANSCEIVER = 2,
  BIND_STATE_TRANSMITTER = 3,
  BIND_STATE_RECEIVER = 4,
};

class SMPPSession : public Session {
 public:
  static constexpr uint32_t kDefaultEnquireLinkInterval = 120;  // seconds
  static constexpr uint32_t kDefaultResponseTimeout = 60;       // seconds
  // An enquire_link unanswered for this long is followed by an unbind.
  static constexpr uint64_t kEnquireLinkAnswerMicros = 60000000;
  // Time between that unbind and closing the session.
  static constexpr uint64_t kUnbindGraceMicros = 5000000;
  // Longest time between two timed checks whatever the timers say, so
  // changes made by other threads (a failed send, a recorded request) and
  // wall-clock steps are noticed within this bound.
  static constexpr uint64_t kMaxCheckGapMicros = 1000000;
  static constexpr uint32_t kMaxSequenceNumber = 0x7FFFFFFF;

  explicit SMPPSession(const char* className = "SMPPSession");
  ~SMPPSession() override;
  SMPPSession(const SMPPSession&) = delete;
  SMPPSession& operator=(const SMPPSession&) = delete;

  // ---- Virtual operations, in the order subclasses rely on ----

  // Periodic check, run by the owner for every session. True when the owner
  // must close the session: dead socket, a response missing longer than the
  // response timeout, the closing time reached. Sends the keep-alive
  // enquire_link and, when it stays unanswered, an unbind. Ends with
  // onTimedCheck.
  virtual bool timedCheck(uint64_t now);
  // Reads and handles incoming PDUs; true when the owner must close the
  // session. The base reads nothing.
  virtual bool processInput() { return false; }
  // Called by the server loop for every session after each wake-up.
  virtual int poll() { return 0; }
  virtual bool deliver(uint64_t now, bool& again, bool& delivered);
  // Offers the session one queued deliver_sm; true asks the owner to close it.
  virtual bool deliverQueued(uint64_t now, bool& again, bool& delivered) {
    return deliver(now, again, delivered);
  }
  virtual void printStats();
  // The subclass's part of the timed check; true closes the session.
  virtual bool onTimedCheck(uint64_t now);
  // The earliest time at which timedCheck may have something to do (now
  // when it has at once), never later than now + kMaxCheckGapMicros. The
  // owner runs the check then instead of on every pass.
  virtual uint64_t nextCheckDue(uint64_t now) const;

  // ---- Socket ----

  // Gives the session its connection. With `ownsDescriptor` the session
  // closes the descriptor (timed check of a dead session, destructor);
  // otherwise its owner does.
  void attachSocket(int fd, bool ownsDescriptor, const std::string& remoteAddress, int remotePort);
  void attachSocket(std::unique_ptr<SMPPSocket> socket, bool ownsDescriptor,
                    const std::string& remoteAddress, int remotePort);
  SMPPSocketHolder& socketHolder() { return holder_; }
  const SMPPSocketHolder& socketHolder() const { return holder_; }
  int descriptor() const { return holder_.descriptor(); }
  bool failed() const { return holder_.failed(); }
  void markFailed() { holder_.markFailed(); }
  const std::string& remoteAddress() const { return holder_.remoteAddress(); }
  int remotePort() const { return holder_.remotePort(); }

  // Sends one PDU (header built here); see SMPPSocketHolder::sendPDU.
  bool sendPDU(uint32_t sequenceNumber, uint32_t commandId, uint32_t commandStatus,
               const uint8_t* body, size_t bodyLength);
  bool sendPDU(uint32_t sequenceNumber, uint32_t commandId, uint32_t commandStatus,
               const std::vector<uint8_t>& body) {
    return sendPDU(sequenceNumber, commandId, commandStatus, body.data(), body.size());
  }
  // sendPDU that also keeps the statistics: a deliver_sm sets the last
  // deliver time and counts a deliver, a submit_sm likewise for submits.
  bool sendResponse(uint32_t sequenceNumber, uint32_t commandId, uint32_t commandStatus,
                    const uint8_t* body, size_t bodyLength, uint64_t now);
  // One receiving step (session's thread); see SMPPSocketHolder::readPDU.
  bool readPDU() { return holder_.readPDU(); }
  // Whether received PDUs wait in the buffer: the owner serves the session
  // again without waiting for the kernel to report new bytes.
  bool inputPending() const { return holder_.hasBufferedPDU(); }
  // Closes the connection (the descriptor when owned); every later send
  // fails. Safe from any thread.
  void closeConnection() {
    holder_.markFailed();
    holder_.closeDescriptor();
  }
  size_t pendingOutputBytes() const { return holder_.pendingOutputBytes(); }
  // Pushes out queued output (session's thread or any).
  bool flushOutput() { return holder_.flushOutput(); }

  // The bookkeeping every received PDU causes: last activity, an
  // enquire_link_resp clears the outstanding probe, a submit_sm_resp is
  // counted, and any response leaves the pending-response table.
  void noteReceivedPDU(const SMPP::PDUHeader& header, uint64_t now);

  // ---- Sequence numbers and identity ----

  // Takes the next sequence number for a request this session originates
  // (1 .. 0x7FFFFFFF, then 1 again).
  uint32_t nextSequenceNumber();
  // Sets the number nextSequenceNumber returns next (0 counts as 1).
  void setNextSequenceNumber(uint32_t next) {
    nextSequence_.store(next == 0 || next > kMaxSequenceNumber ? 1 : next,
                        std::memory_order_release);
  }
  // The number nextSequenceNumber will return.
  uint32_t peekSequenceNumber() const { return nextSequence_.load(std::memory_order_acquire); }

  uint64_t sessionId() const { return sessionId_; }
  const char* className() const { return className_; }
  std::string systemId() const;
  void setSystemId(const std::string& systemId);
  std::string password() const;
  std::string systemType() const;
  void setCredentials(const std::string& password, const std::string& systemType);

  uint8_t interfaceVersion() const { return interfaceVersion_.load(std::memory_order_relaxed); }
  void setInterfaceVersion(uint8_t v) { interfaceVersion_.store(v, std::memory_order_relaxed); }
  uint32_t bindState() const { return bindState_.load(std::memory_order_acquire); }
  void setBindState(uint32_t state) { bindState_.store(state, std::memory_order_release); }

  // ---- Timers (microseconds; 0 = not set) ----

  uint32_t enquireLinkInterval() const { return enquireLinkInterval_; }
  void setEnquireLinkInterval(uint32_t seconds) { enquireLinkInterval_ = seconds; }
  uint32_t responseTimeout() const { return responseTimeout_; }
  void setResponseTimeout(uint32_t seconds) { responseTimeout_ = seconds; }
  uint64_t closingTime() const { return closingTime_.load(std::memory_order_relaxed); }
  void setClosingTime(uint64_t t) { closingTime_.store(t, std::memory_order_relaxed); }
  uint64_t enquireLinkSentTime() const { return enquireLinkSent_.load(std::memory_order_relaxed); }
  uint64_t lastActivityTime() const { return lastActivity_.load(std::memory_order_relaxed); }
  void setLastActivityTime(uint64_t t) { lastActivity_.store(t, std::memory_order_relaxed); }
  uint64_t bindTime() const { return bindTime_.load(std::memory_order_relaxed); }
  void setBindTime(uint64_t t) { bindTime_.store(t, std::memory_order_relaxed); }
  uint64_t lastSubmitTime() const { return lastSubmitTime_.load(std::memory_order_relaxed); }
  uint64_t lastDeliverTime() const { return lastDeliverTime_.load(std::memory_order_relaxed); }
  void setLastDeliverTime(uint64_t t) { lastDeliverTime_.store(t, std::memory_order_relaxed); }

  // ---- Requests awaiting a response ----

  void addPendingResponse(uint32_t sequenceNumber, uint64_t sentAt);
  bool removePendingResponse(uint32_t sequenceNumber);
  size_t pendingResponseCount() const;
  // True (with the diagnosis logged) when the oldest pending request has
  // waited longer than the response timeout.
  bool isPDUResponseMissing(uint64_t now);
  // Send time of the oldest pending request; 0 when none is pending.
  uint64_t oldestPendingResponseTime() const;

  // ---- Statistics ----

  SessionStatistic& submitSMStats() { return submitSM_; }
  SessionStatistic& submitSMRespStats() { return submitSMResp_; }
  SessionStatistic& deliverSMStats() { return deliverSM_; }

  // FINE line with the buffered and waiting byte counts (nothing when both
  // are zero or FINE is off).
  void logBufferState();

  // Process-wide session id counter: every session constructor takes the
  // next value (the first session gets 1).
  static uint64_t takeNextSessionId();

 protected:
  const char* className_;

 private:
  const uint64_t sessionId_;
  uint32_t enquireLinkInterval_ = kDefaultEnquireLinkInterval;  // set before serving
  uint32_t responseTimeout_ = kDefaultResponseTimeout;          // set before serving

  mutable std::mutex pendingResponseMutex_;
  // Send time of each request still waiting for its response.
  SMPP::SequenceTable<uint64_t> pendingResponses_;  // guarded by pendingResponseMutex_

  mutable std::mutex identityMutex_;
  std::string systemId_;    // guarded by identityMutex_
  std::string password_;    // guarded by identityMutex_
  std::string systemType_;  // guarded by identityMutex_

  std::atomic<uint64_t> enquireLinkSent_{0};
  std::atomic<uint64_t> closingTime_{0};
  std::atomic<uint64_t> lastActivity_{0};
  std::atomic<uint64_t> bindTime_{0};
  std::atomic<uint64_t> lastSubmitTime_{0};
  std::atomic<uint64_t> lastDeliverTime_{0};
  std::atomic<uint32_t> nextSequence_{1};

  SMPPSocketHolder holder_;

  SessionStatistic submitSM_;
  SessionStatistic submitSMResp_;
  SessionStatistic deliverSM_;

  std::atomic<uint8_t> interfaceVersion_{0};
  std::atomic<uint32_t> bindState_{BIND_STATE_OPEN};
};

// Sends the answer to a submit_sm or data_sm (data_sm_resp for data_sm,
// submit_sm_resp otherwise): on success status 0 and the message id (with a
// TLV 0x1400 listing the further ids of `response`, if any); on failure the
// status alone, or, for a status above 0xFFFF, its low half with the reason
// text its high half selects in additional_status_info_text. Safe from any
// thread. Returns the send result.
bool handleESMESubmitSMResponse(SMPPSession& session, bool success, uint32_t commandId,
                                uint32_t sequenceNumber, EntityResponse* response,
                                const std::string& messageId, uint32_t status);

// The reason text selected by the high half of a refusal status; "" for
// selectors without a text.
const char* submitRefusalText(uint32_t status);

// The session towards a binding client: reads, frames and dispatches the
// client's requests and answers them, with hooks for the decisions. All of it
// runs on the session's thread.
class SMPPSessionServer : public SMPPSession {
 public:
  // Results of onBindAuthorisation and onSubmitSM.
  static constexpr uint8_t kRefuse = 0;
  static constexpr uint8_t kAccept = 1;
  static constexpr uint8_t kAnswerLater = 2;

  explicit SMPPSessionServer(const char* className = "SMPPSessionServer");

  // At most this many PDUs are dispatched per processInput call, so one
  // flooding peer gets a bounded share of its owner's pass; what remains is
  // served at the next pass (inputPending).
  static constexpr int kPDUsPerInputCall = 32;

  // Reads the PDUs that have arrived, up to the per-call budget, and
  // dispatches them, with now from the wall clock. True when the owner must
  // close the session.
  bool processInput() override;
  // The same with an explicit now (tests, owners with their own clock).
  bool processInputAt(uint64_t now);

  // ---- Hooks ----

  // Decides a bind: kAccept, kRefuse, or kAnswerLater when the subclass
  // completes it later through completeBind. `responseSystemId` arrives
  // holding "VantrelSMSC". The default refuses.
  virtual uint8_t onBindAuthorisation(uint64_t now, const std::string& peerIp,
                                      uint8_t interfaceVersion, const std::string& systemId,
                                      const std::string& password, const std::string& systemType,
                                      uint32_t commandId, std::string& responseSystemId,
                                      uint32_t sequenceNumber);
  virtual void onUnbind() {}
  // True answers query_sm with the out values; false refuses (0x67).
  virtual bool onQuerySM(const std::string& messageId, std::string& finalDate,
                         uint8_t& messageState, uint8_t& errorCode);
  // True accepts cancel_sm; false refuses (0x11).
  virtual bool onCancelSM(const std::string& serviceType, const std::string& messageId);
  // A submit refused before onSubmitSM: wrong bind state or undecodable.
  virtual void onSubmitSMRefused(const std::string& systemId);
  // Handles a decoded submit_sm or data_sm: kRefuse answers `status`
  // (preset 0x45), kAccept answers `messageId`, kAnswerLater means the
  // answer is sent elsewhere. The default refuses.
  virtual uint8_t onSubmitSM(std::string systemId, SMPP::T_SubmitSM& submit, uint32_t commandId,
                             uint32_t sequenceNumber, std::string& messageId, uint32_t& status,
                             EntityResponse* response);
  // The loop time at which the submit now in onSubmitSM was read.
  uint64_t submitReadAt() const { return submitReadAt_; }
  virtual bool onDeliverSMResp(uint32_t status, const std::string& messageId,
                               uint32_t sequenceNumber);
  virtual bool onDataSMResp(uint32_t status, const std::string& messageId,
                            uint32_t sequenceNumber);

  // ---- Binds answered later ----

  // True while a bind waits for completeBind.
  bool bindPending() const { return pendingBind_.active; }
  // Answers the waiting bind: accepted binds the session exactly as an
  // immediate acceptance would, refused answers 0x0D. False when no bind is
  // waiting or the answer could not be sent. Session's thread only.
  bool completeBind(uint64_t now, bool accepted);

 private:
  struct PendingBind {
    bool active = false;
    uint32_t commandId = 0;
    uint32_t sequenceNumber = 0;
    uint8_t interfaceVersion = 0;
    std::string systemId;
    std::string responseSystemId;
  };

  // Handles one received PDU; false ends the current processInput call.
  bool dispatch(uint64_t now, bool& bindRefusedThisCall);
  void handleBind(uint64_t now, bool& bindRefusedThisCall);
  bool handleSubmit(uint64_t now);
  bool acceptBind(uint64_t now, uint32_t commandId, uint32_t sequenceNumber,
                  uint8_t interfaceVersion, const std::string& systemId,
                  const std::string& responseSystemId);
  bool respond(uint32_t commandId, uint32_t status, uint32_t sequenceNumber,
               const std::vector<uint8_t>& body = {});

  PendingBind pendingBind_;  // session's thread only
  uint64_t submitReadAt_ = 0;  // session's thread only
};

// Bind parameters of a session towards an SMSC.
struct SMPPClientSettings {
  uint64_t smscid = 0;
  std::string host;
  int port = 0;
  int bindType = 1;  // 0 receiver, 1 transmitter, 2 transceiver
  uint8_t interfaceVersion = SMPP::INTERFACE_VERSION_34;
  std::string systemId;
  std::string password;
  std::string systemType;
  uint32_t enquireLinkInterval = 60;
  uint32_t responseTimeout = 60;
};

// The session towards an SMSC. Its input is read by its owner (the upstream
// manager), so processInput and onTimedCheck keep their defaults. Binding and
// submitting are here; encodeSubmitSM may run on a customer session's thread
// while the upstream thread serves the session.
class SMPPSessionClient : public SMPPSession {
 public:
  enum ConnectionState : int { kDisconnected = 0, kConnecting = 1, kConnected = 2 };

  explicit SMPPSessionClient(const SMPPClientSettings& settings);

  const SMPPClientSettings& settings() const { return settings_; }
  int connectionState() const { return connectionState_.load(std::memory_order_acquire); }
  void setConnectionState(int s) { connectionState_.store(s, std::memory_order_release); }

  // Sends the bind for the configured bind type when the session is not
  // bound yet: empties the submit table, bind state 1 once sent. False when
  // nothing was sent.
  bool sendBind();

  // Builds a submit_sm or data_sm from `submit` and sends it with the
  // session's next sequence number (reported in `sequenceNumber`), after
  // recording `trackingValue` against that number in the submit table and
  // the request in the pending-response table. Counts the submit in the
  // statistics and the TPS window. False (nothing recorded) when the record
  // cannot be encoded or the send fails.
  bool encodeSubmitSM(const SMPP::T_SubmitSM& submit, uint32_t commandId, uint64_t trackingValue,
                      uint32_t& sequenceNumber, uint64_t now);
  // The same with a sequence number the caller took already (so it can
  // register the number elsewhere before the response can arrive).
  bool encodeSubmitSMWithSequence(const SMPP::T_SubmitSM& submit, uint32_t commandId,
                                  uint64_t trackingValue, uint32_t sequenceNumber, uint64_t now);

  // Removes the entry of `sequenceNumber` from the submit table; false when
  // there is none.
  bool takeSubmitTracking(uint32_t sequenceNumber, uint64_t& trackingValue);
  // Empties the submit table and returns what it held (upstream sequence,
  // tracking value), so the owner can answer every submit still waiting
  // when the session ends.
  std::vector<std::pair<uint32_t, uint64_t>> takeAllSubmitTracking();
  size_t submitTableSize() const;

  // The per-second submit window of this session.
  uint64_t tpsWindowStart() const { return tpsWindowStart_.load(std::memory_order_relaxed); }
  uint64_t tpsWindowCount() const { return tpsWindowCount_.load(std::memory_order_relaxed); }
  void startTpsWindow(uint64_t now) {
    tpsWindowStart_.store(now, std::memory_order_relaxed);
    tpsWindowCount_.store(0, std::memory_order_relaxed);
  }

 private:
  const SMPPClientSettings settings_;
  std::atomic<int> connectionState_{kDisconnected};

  mutable std::mutex submitTableMutex_;
  SMPP::SequenceTable<uint64_t> submitTable_;  // guarded by submitTableMutex_

  std::atomic<uint64_t> tpsWindowStart_{0};
  std::atomic<uint64_t> tpsWindowCount_{0};
};

// A session with every hook at its default: the session type of the
// administration port, which the daemon does not open.
class SMPPSessionNull : public SMPPSession {
 public:
  SMPPSessionNull() : SMPPSession("SMPPSession") {}
};
