#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "smpp/pdu.h"
#include "tools/smsc_simulator.h"

namespace testing_support {

// The shipped SMSC simulator on its own thread, on 127.0.0.1 (port chosen by
// the kernel), recording what it receives, for the gateway's upstream tests.
// Its faults are the simulator's options; actions are queued for the
// simulator's loop in the order made. Connections are numbered 1, 2, ... in
// the order accepted. Every method is safe from any thread but the
// simulator's own; waits are bounded.
class FakeSmsc {
 public:
  using BindAnswer = SmscSimulator::BindAnswer;
  using ReceiptTiming = SmscSimulator::ReceiptTiming;
  using Session = SmscSimulator::Session;
  using ReceivedPDU = SmscSimulator::ReceivedPDU;
  using Submit = SmscSimulator::Submit;
  enum class SubmitAnswer { AtOnce, Never };

  // The simulator's options as the gateway's tests want them by default:
  // everything recorded, no receipts unless asked (then whatever the
  // submit's registered_delivery says), message ids "fake-1", "fake-2", ...
  struct Behaviour : SmscSimulator::Options {
    Behaviour() {
      record = true;
      receipt = ReceiptTiming::None;
      receiptOnRequestOnly = false;
      messageIdPrefix = "fake-";
    }
    SubmitAnswer submitAnswer = SubmitAnswer::AtOnce;  // Never: no submit is answered
  };

  FakeSmsc();
  ~FakeSmsc();
  FakeSmsc(const FakeSmsc&) = delete;
  FakeSmsc& operator=(const FakeSmsc&) = delete;

  int port() const { return simulator_.port(); }
  // Applies to the PDUs that arrive after it returns.
  void setBehaviour(const Behaviour& behaviour);

  std::vector<Session> sessions() const { return simulator_.sessions(); }
  std::vector<Session> boundSessions() const;
  std::vector<ReceivedPDU> received(int connection) const { return simulator_.received(connection); }
  size_t receivedCount(int connection, uint32_t commandId) const;
  std::vector<Submit> submits() const { return simulator_.submits(); }
  size_t connectionCount() const { return sessions().size(); }

  bool waitFor(const std::function<bool()>& predicate,
               std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
    return simulator_.waitFor(predicate, timeout);
  }
  // The connection of the first open bound session of `systemId` (of any bind
  // type when `bindCommand` is 0); 0 on timeout.
  int waitForBound(const std::string& systemId, uint32_t bindCommand = 0,
                   std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
  bool waitForReceived(int connection, uint32_t commandId, size_t count,
                       std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
    return waitFor([&] { return receivedCount(connection, commandId) >= count; }, timeout);
  }

  // Requests queued without waiting (a benchmark sends thousands); false
  // when the connection is not open. A receipt carries the behaviour's stat,
  // error and TLV choice.
  bool sendDeliverSM(int connection, const SMPP::T_SubmitSM& body);
  bool sendReceipt(int connection, const std::string& messageId, const std::string& source,
                   const std::string& destination);
  bool sendMO(int connection, const std::string& source, const std::string& destination,
              const std::string& text);
  bool sendEnquireLink(int connection);
  // A response the script decides entirely (one arriving after its request's
  // session is gone, a sequence number nobody used).
  bool sendResponse(int connection, uint32_t commandId, uint32_t status, uint32_t sequence,
                    const std::vector<uint8_t>& body = {});
  // A reset (RST) once what is queued before it has been written.
  void resetConnection(int connection);

 private:
  // Queues `work` for the simulator's loop when `connection` is open.
  bool post(int connection, std::function<void()> work);
  // Runs `work` on the simulator's loop and waits for it.
  void onLoop(const std::function<void()>& work);

  SmscSimulator simulator_;
  std::thread thread_;
};

}  // namespace testing_support
