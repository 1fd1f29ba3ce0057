#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/loop_waker.h"
#include "base/poller.h"
#include "smpp/pdu.h"
#include "tools/pdu_connection.h"

// An SMSC simulator: accepts any number of SMPP binds on one listening
// socket and serves them all from one epoll loop. It is the engine of the
// pelliro-smsc tool and of the tests' fake SMSC, so that what the tests
// trust is what the capacity figures are measured against.
//
// The hot path does no recording unless asked: a test that wants to see
// PDUs sets Options::record and reads the journal. Faults (refused or silent binds, delayed or withheld responses,
// resets, unbinds, split writes, doubled receipts, wrong sequence numbers)
// are options.
//
// run() and the loop-side operations belong to the thread that calls run();
// post(), stop(), port() and the journal are safe from any thread.
class SmscSimulator {
 public:
  enum class BindAnswer { Accept, Refuse, Silent };
  enum class ReceiptTiming { None, AfterResponse, BeforeResponse };

  struct Options {
    std::string host = "127.0.0.1";
    uint16_t port = 0;  // 0: the kernel picks one
    BindAnswer bindAnswer = BindAnswer::Accept;
    uint32_t bindRefusalStatus = SMPP::ESME_RBINDFAIL;
    // A status other than 0 is answered without an id and never receipted.
    uint32_t submitStatus = SMPP::ESME_ROK;
    std::chrono::milliseconds responseDelay{0};
    // Every Nth submit the simulator receives (over all connections, so a
    // run's count of faults does not depend on how the load spreads) is
    // never answered; 0 never.
    uint64_t withholdEvery = 0;
    // Every Nth response carries a sequence number nobody used; 0 never.
    uint64_t wrongSequenceEvery = 0;
    std::string messageIdPrefix;
    ReceiptTiming receipt = ReceiptTiming::AfterResponse;
    // Receipt only when the submit's registered_delivery asks for one.
    bool receiptOnRequestOnly = true;
    // Receipts go to another receiving bind of the same system id, held
    // until one exists.
    bool receiptOnReceiver = false;
    bool receiptTLVs = false;
    std::string receiptStat = "DELIVRD";
    uint32_t receiptError = 0;
    // Every Nth receipt is sent twice; 0 never.
    uint64_t duplicateReceiptEvery = 0;
    // A mobile-originated message after every Nth accepted submit; 0 never.
    uint64_t moEvery = 0;
    bool answerEnquireLink = true;
    // The connection is reset when its Nth submit arrives (unanswered), or
    // unbound after its Nth response; 0 never.
    uint64_t resetAfterSubmits = 0;
    uint64_t unbindAfterSubmits = 0;
    // Every Nth submit over all connections, this many submitting binds
    // (taken in turn) are reset once their output has left; 0 never.
    uint64_t resetEvery = 0;
    int resetBinds = 2;
    // Output in pieces of at most this many bytes a short pause apart.
    size_t writeChunk = 0;
    // Every PDU received and every submit go into the journal; off for
    // capacity runs, where recording would become what is measured.
    bool record = false;
  };

  struct Session {
    int connection = 0;
    bool bound = false;
    uint32_t bindCommand = 0;
    std::string systemId;
    std::string password;
    bool open = true;
  };

  // A PDU as received, and a submit_sm or data_sm with the message id it
  // was given ("" when it was refused or withheld).
  struct ReceivedPDU {
    uint32_t commandId = 0;
    uint32_t commandStatus = 0;
    uint32_t sequenceNumber = 0;
    std::vector<uint8_t> body;
  };
  struct Submit {
    int connection = 0;
    uint32_t sequenceNumber = 0;
    std::string messageId;
    SMPP::T_SubmitSM sm;
  };

  struct Counters {
    uint64_t binds = 0;
    uint64_t submits = 0;
    uint64_t responses = 0;
    uint64_t receipts = 0;
    uint64_t deliverResponses = 0;
  };

  // Listens at once; throws std::runtime_error when it cannot.
  explicit SmscSimulator(const Options& options);
  ~SmscSimulator();
  SmscSimulator(const SmscSimulator&) = delete;
  SmscSimulator& operator=(const SmscSimulator&) = delete;

  uint16_t port() const { return port_; }

  // Serves until stop(). Call from one thread only.
  void run();
  // Safe from any thread and from a signal handler.
  void stop();
  // Runs `work` on the loop thread at its next pass; safe from any thread.
  void post(std::function<void()> work);

  // ---- The journal, from any thread ----------------------------------------
  // Every connection's session as it left the last PDU handled, kept after
  // the connection closed (open false), in the order accepted.
  std::vector<Session> sessions() const;
  // Recorded only with Options::record.
  std::vector<ReceivedPDU> received(int connection) const;
  std::vector<Submit> submits() const;
  // Evaluates `predicate` (without the journal's lock, so it may query)
  // whenever the journal changes, until it holds or `timeout` passes.
  bool waitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) const;

  // ---- Loop thread only ----------------------------------------------------
  Options& options() { return options_; }
  const Counters& counters() const { return counters_; }
  const Session* session(int connection) const;
  // A request PDU queued on an open connection: its sequence number, or 0.
  uint32_t sendRequest(int connection, uint32_t commandId, const std::vector<uint8_t>& body);
  // Any PDU the caller builds entirely; false when the connection is gone.
  bool sendRaw(int connection, uint32_t commandId, uint32_t status, uint32_t sequence,
               const std::vector<uint8_t>& body);
  uint32_t sendReceipt(int connection, const std::string& messageId, const std::string& source,
                       const std::string& destination);
  // A mobile-originated message from `source` to `destination`, both
  // international numbers as handsets send them.
  uint32_t sendMO(int connection, const std::string& source, const std::string& destination,
                  const std::string& text);
  // Reset (RST) once what is queued has been written.
  void resetConnection(int connection);

 private:
  struct Connection {
    explicit Connection(int fd) : io(fd) {}
    PduConnection io;
    Session session;
    uint32_t nextSequence = 1;
    uint64_t submits = 0;
    uint64_t responses = 0;
    bool resetWhenWritten = false;
    bool closeWhenWritten = false;
    bool writeWatched = false;
    std::chrono::steady_clock::time_point nextChunkAt{};
  };
  // Output held back by responseDelay; the delay is one value, so due
  // times arrive in order and a queue suffices.
  struct Due {
    std::chrono::steady_clock::time_point at;
    int connection;
    std::vector<uint8_t> bytes;
    bool reset = false;
  };

  void acceptAll();
  void serveInput(Connection& c);
  void handlePDU(Connection& c, const SMPP::PDUHeader& header, const uint8_t* body, size_t len);
  void handleBind(Connection& c, const SMPP::PDUHeader& header, const uint8_t* body, size_t len);
  void handleSubmit(Connection& c, const SMPP::PDUHeader& header, const uint8_t* body, size_t len);
  // Queued now, or held back by responseDelay behind earlier output.
  void emit(Connection& c, uint32_t commandId, uint32_t status, uint32_t sequence,
            const uint8_t* body, size_t len);
  void routeReceipt(Connection& submitter, const std::vector<uint8_t>& body);
  void releaseHeldReceipts(Connection& c);
  Connection* receiverFor(const Connection& submitter);
  void buildReceiptBody(const std::string& messageId, const std::string& source,
                        const std::string& destination, std::vector<uint8_t>& out);
  void flushAll();
  void resetSomeBinds();
  void close(int connection);
  void runPosted();
  void journalSession(const Session& session, const SMPP::PDUHeader* header = nullptr,
                      const uint8_t* body = nullptr, size_t len = 0);
  void journalSubmit(const Connection& c, const std::string& messageId,
                     const SMPP::PDUHeader& header, const uint8_t* body, size_t len);
  const std::string& minuteStamp();

  Options options_;
  Poller poller_;
  LoopWaker waker_;
  int listenFd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::map<int, std::unique_ptr<Connection>> connections_;  // by connection number
  std::unordered_map<int, int> byFd_;                       // descriptor to connection number
  std::vector<int> dirty_;                                  // connections with output this pass
  // Connections to reset whose last bytes are still in the kernel's send
  // queue: a reset now would discard them, so they wait for it to empty.
  std::vector<int> draining_;
  int lastReset_ = 0;
  int nextConnection_ = 1;
  uint64_t nextMessageId_ = 1;
  uint64_t receiptCount_ = 0;
  Counters counters_;
  std::deque<Due> due_;
  // Receipts waiting for a receiving bind, by system id.
  std::map<std::string, std::vector<std::vector<uint8_t>>> heldReceipts_;
  std::vector<uint8_t> scratch_;
  std::string stamp_;
  int64_t stampMinute_ = -1;

  std::mutex postedMutex_;
  std::vector<std::function<void()>> posted_;  // guarded by postedMutex_

  struct JournalEntry {
    Session session;
    std::vector<ReceivedPDU> received;
  };
  mutable std::mutex journalMutex_;
  mutable std::condition_variable journalChanged_;  // with journalMutex_, on every change
  uint64_t journalChanges_ = 0;                     // guarded by journalMutex_
  std::map<int, JournalEntry> journal_;             // guarded by journalMutex_
  std::vector<Submit> journalSubmits_;              // guarded by journalMutex_
};
