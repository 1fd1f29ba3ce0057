#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "smpp/pdu.h"

namespace testing_support {

// An SMSC for tests of the gateway's upstream side: listens on 127.0.0.1 (port
// chosen by the kernel), accepts any number of SMPP connections and serves
// them all from its own thread with poll() on non-blocking sockets.
//
// What it does is scripted by a Behaviour that the test may replace at any
// time (it applies to the PDUs that arrive afterwards) and by action methods
// that queue PDUs or faults for one connection. Every PDU received is recorded
// per connection. Connections are numbered 1, 2, ... in the order accepted.
//
// Every public method is safe from any thread. Waits are bounded: waitFor()
// re-evaluates its predicate whenever the fake's state changes, until it holds
// or the timeout passes. The predicate runs without the fake's lock, so it may
// call the query methods.
class FakeSmsc {
 public:
  enum class BindAnswer { Accept, Refuse, Silent };
  enum class SubmitAnswer { AtOnce, Delayed, Never };
  enum class ReceiptTiming { None, AfterResponse, BeforeResponse };

  struct Behaviour {
    BindAnswer bindAnswer = BindAnswer::Accept;
    uint32_t bindRefusalStatus = SMPP::ESME_RBINDFAIL;

    // submit_sm and data_sm. A status other than 0 is answered without an id
    // and never gets a receipt.
    SubmitAnswer submitAnswer = SubmitAnswer::AtOnce;
    std::chrono::milliseconds submitDelay{0};
    uint32_t submitStatus = SMPP::ESME_ROK;
    std::string messageIdPrefix = "fake-";

    // A receipt for every accepted submit. On the same connection, or (with
    // receiptOnReceiver) on a receiver or transceiver bind of the same system
    // id other than the submitting one, held back until such a bind exists.
    ReceiptTiming receipt = ReceiptTiming::None;
    bool receiptOnReceiver = false;
    bool receiptTLVs = false;
    std::string receiptStat = "DELIVRD";
    uint32_t receiptError = 0;

    bool answerEnquireLink = true;
    // The connection is reset (RST) when its Nth submit arrives, that submit
    // unanswered; 0 never.
    int resetAfterSubmits = 0;
    // Outgoing PDUs are written in pieces of at most this many bytes, a short
    // pause apart, so the peer sees them split across reads; 0 writes whole.
    size_t writeChunk = 0;
  };

  struct ReceivedPDU {
    uint32_t commandId = 0;
    uint32_t commandStatus = 0;
    uint32_t sequenceNumber = 0;
    std::vector<uint8_t> body;
  };

  struct Session {
    int connection = 0;
    bool open = false;
    bool bound = false;
    uint32_t bindCommand = 0;  // SMPP::BIND_RECEIVER / BIND_TRANSMITTER / BIND_TRANSCEIVER
    std::string systemId;
    std::string password;
  };

  // One accepted submit_sm or data_sm and the id it was (or will be) given.
  struct Submit {
    int connection = 0;
    uint32_t sequenceNumber = 0;
    std::string messageId;
    SMPP::T_SubmitSM sm;
  };

  FakeSmsc();
  ~FakeSmsc();
  FakeSmsc(const FakeSmsc&) = delete;
  FakeSmsc& operator=(const FakeSmsc&) = delete;

  int port() const { return port_; }

  void setBehaviour(const Behaviour& behaviour);
  Behaviour behaviour();

  // ---- Queries --------------------------------------------------------------
  std::vector<Session> sessions();
  std::vector<Session> boundSessions();
  std::vector<ReceivedPDU> received(int connection);
  size_t receivedCount(int connection, uint32_t commandId);
  std::vector<Submit> submits();
  size_t connectionCount();

  // ---- Waits ----------------------------------------------------------------
  bool waitFor(const std::function<bool()>& predicate,
               std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // The connection of the first open bound session of `systemId` (of any bind
  // type when `bindCommand` is 0); 0 on timeout.
  int waitForBound(const std::string& systemId, uint32_t bindCommand = 0,
                   std::chrono::milliseconds timeout = std::chrono::seconds(5));
  bool waitForReceived(int connection, uint32_t commandId, size_t count,
                       std::chrono::milliseconds timeout = std::chrono::seconds(5));

  // ---- Actions (queued for the connection; sequence number, or 0 when the
  // connection is not open) ----------------------------------------------------
  uint32_t sendDeliverSM(int connection, const SMPP::T_SubmitSM& body);
  // A receipt for `messageId` from `source` to `destination` (the submit's
  // destination and source), with the behaviour's stat, error and TLV choice.
  uint32_t sendReceipt(int connection, const std::string& messageId, const std::string& source,
                       const std::string& destination);
  uint32_t sendMO(int connection, const std::string& source, const std::string& destination,
                  const std::string& text);
  uint32_t sendUnbind(int connection);
  uint32_t sendEnquireLink(int connection);
  // A response the script decides entirely (an answer arriving after its
  // request's session is gone, a sequence number nobody used); false when
  // the connection is not open.
  bool sendResponse(int connection, uint32_t commandId, uint32_t status, uint32_t sequence,
                    const std::vector<uint8_t>& body = {});
  // Closes with SO_LINGER 0 (the peer sees a reset) once what is queued before
  // it has been written.
  void resetConnection(int connection);

  // "id:<id> sub:001 dlvrd:001 submit date:YYMMDDhhmm done date:YYMMDDhhmm
  // stat:<stat> err:<err> text:" with both dates the current UTC minute.
  static std::string receiptText(const std::string& messageId, const std::string& stat,
                                 uint32_t error);

 private:
  struct OutItem {
    enum class Kind { Bytes, Reset, Close } kind = Kind::Bytes;
    std::vector<uint8_t> bytes;
  };
  // What the test thread may see or change; guarded by stateMutex_.
  struct ConnectionState {
    Session session;
    std::vector<ReceivedPDU> received;
    std::deque<OutItem> outbox;
    uint32_t nextSequence = 1;
    int submitCount = 0;
  };
  // Owned by the serving thread only.
  struct ConnectionIo {
    int fd = -1;
    std::vector<uint8_t> input;
    std::vector<uint8_t> output;  // taken from the outbox, being written
    size_t written = 0;
    std::chrono::steady_clock::time_point nextChunkAt{};
    bool resetWhenWritten = false;
    bool closeWhenWritten = false;
  };
  struct DueOutput {
    int connection;
    std::vector<OutItem> items;
  };
  using Clock = std::chrono::steady_clock;

  void serve();
  void acceptAll();
  bool readInput(int connection, ConnectionIo& io);  // false when the peer is gone
  bool writeOutput(ConnectionIo& io);                // false on a write error
  void closeIo(int connection, ConnectionIo& io, bool reset);
  void wake();

  // Caller holds stateMutex_.
  void handlePDULocked(int connection, const SMPP::PDUHeader& header, const uint8_t* body,
                       size_t bodyLength);
  void handleBindLocked(ConnectionState& state, const SMPP::PDUHeader& header, const uint8_t* body,
                        size_t bodyLength);
  void handleSubmitLocked(ConnectionState& state, const SMPP::PDUHeader& header,
                          const uint8_t* body, size_t bodyLength);
  OutItem pduLocked(ConnectionState& state, uint32_t commandId, uint32_t status, uint32_t sequence,
                    const std::vector<uint8_t>& body);
  // Queues a request PDU on an open connection; its sequence number or 0.
  uint32_t queueRequestLocked(int connection, uint32_t commandId, const std::vector<uint8_t>& body);
  std::vector<uint8_t> receiptBodyLocked(const std::string& messageId, const std::string& source,
                                         const std::string& destination);
  void routeReceiptLocked(int submitter, const std::string& systemId, std::vector<uint8_t> body,
                          std::vector<OutItem>& sameConnection);
  void releaseHeldReceiptsLocked(ConnectionState& state);
  void changedLocked() {
    ++changes_;
    changed_.notify_all();
  }

  int listenFd_ = -1;
  int wakeFd_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::map<int, ConnectionIo> io_;  // serving thread only

  std::mutex stateMutex_;
  std::condition_variable changed_;                  // signalled with stateMutex_ on every change
  uint64_t changes_ = 0;                             // guarded by stateMutex_
  bool stopping_ = false;                            // guarded by stateMutex_
  Behaviour behaviour_;                              // guarded by stateMutex_
  std::map<int, ConnectionState> connections_;       // guarded by stateMutex_
  int nextConnection_ = 1;                           // guarded by stateMutex_
  uint64_t nextMessageId_ = 1;                       // guarded by stateMutex_
  std::vector<Submit> submits_;                      // guarded by stateMutex_
  std::multimap<Clock::time_point, DueOutput> due_;  // guarded by stateMutex_
  // Receipts waiting for a receiver bind, by system id; guarded by stateMutex_.
  std::map<std::string, std::vector<std::vector<uint8_t>>> heldReceipts_;
};

}  // namespace testing_support
