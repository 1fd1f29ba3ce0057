#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "smpp/pdu.h"
#include "tools/smsc_simulator.h"

namespace testing_support {

// An SMSC for tests of the gateway's upstream side: the capacity tools'
// SmscSimulator (listening on 127.0.0.1, port chosen by the kernel) on its
// own thread, with what the tests need on top: every PDU received is
// recorded per connection, and the simulator's options are driven through a
// Behaviour. Connections are numbered 1, 2, ... in the order accepted.
//
// What it does is scripted by a Behaviour that the test may replace at any
// time (it applies to the PDUs that arrive afterwards) and by action methods
// that queue PDUs or faults for one connection.
//
// Every public method is safe from any thread except the simulator's own.
// Waits are bounded: waitFor() re-evaluates its predicate whenever the
// fake's state changes, until it holds or the timeout passes. The predicate
// runs without the fake's lock, so it may call the query methods.
class FakeSmsc {
 public:
  using BindAnswer = SmscSimulator::BindAnswer;
  enum class SubmitAnswer { AtOnce, Delayed, Never };
  using ReceiptTiming = SmscSimulator::ReceiptTiming;

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
    // Every PDU and submit is kept for the queries; a benchmark turns this
    // off so that recording does not become what it measures. Sessions are
    // tracked either way.
    bool record = true;
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
  uint32_t sendEnquireLink(int connection);
  // A response the script decides entirely (an answer arriving after its
  // request's session is gone, a sequence number nobody used); false when
  // the connection is not open.
  bool sendResponse(int connection, uint32_t commandId, uint32_t status, uint32_t sequence,
                    const std::vector<uint8_t>& body = {});
  // Closes with SO_LINGER 0 (the peer sees a reset) once what is queued before
  // it has been written.
  void resetConnection(int connection);


 private:
  class Recorder;
  struct ConnectionState {
    Session session;
    std::vector<ReceivedPDU> received;
    // Requests the test sends take numbers from a range of their own, so
    // they never collide with the simulator's receipts and unbinds.
    uint32_t nextSequence = 0x01000000;
  };

  // Runs `work` on the simulator's thread and waits for it, so actions and
  // behaviour changes are ordered with the PDUs the simulator handles.
  void onLoop(const std::function<void()>& work);
  // Numbers and hands a request to the simulator without waiting for it;
  // its sequence number, or 0 when the connection is not open.
  uint32_t queueRequest(int connection, uint32_t commandId, std::vector<uint8_t> body);
  void changedLocked() {
    ++changes_;
    changed_.notify_all();
  }

  std::unique_ptr<Recorder> recorder_;
  std::unique_ptr<SmscSimulator> simulator_;
  std::thread thread_;
  int port_ = 0;

  std::mutex stateMutex_;
  std::condition_variable changed_;             // signalled with stateMutex_ on every change
  uint64_t changes_ = 0;                        // guarded by stateMutex_
  Behaviour behaviour_;                         // guarded by stateMutex_
  std::map<int, ConnectionState> connections_;  // guarded by stateMutex_
  std::vector<Submit> submits_;                 // guarded by stateMutex_
  std::atomic<bool> record_{true};
};

}  // namespace testing_support
