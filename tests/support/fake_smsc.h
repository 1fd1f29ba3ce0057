#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tools/smsc_simulator.h"

namespace testing_support {

// The shipped SMSC simulator on its own thread, on 127.0.0.1 (port chosen by
// the kernel), recording what it receives, for the gateway's upstream tests.
// Its faults are the simulator's options; actions run on the simulator's loop
// in the order made. Connections are numbered 1, 2, ... in the order
// accepted. Every method is safe from any thread but the simulator's own;
// waits are bounded.
class FakeSmsc {
 public:
  using BindAnswer = SmscSimulator::BindAnswer;
  using ReceiptTiming = SmscSimulator::ReceiptTiming;
  using Session = SmscSimulator::Session;
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

  FakeSmsc() : simulator_(Behaviour{}), thread_([this] { simulator_.run(); }) {}
  ~FakeSmsc() {
    simulator_.stop();
    thread_.join();
  }
  FakeSmsc(const FakeSmsc&) = delete;
  FakeSmsc& operator=(const FakeSmsc&) = delete;

  int port() const { return simulator_.port(); }
  // Applies to the PDUs that arrive after it returns.
  void setBehaviour(const Behaviour& behaviour);

  std::vector<Session> sessions() const { return simulator_.sessions(); }
  std::vector<Session> boundSessions() const;
  size_t receivedCount(int connection, uint32_t commandId) const;
  std::vector<Submit> submits() const { return simulator_.submits(); }
  size_t connectionCount() const { return sessions().size(); }

  bool waitFor(const std::function<bool()>& predicate,
               std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
    return simulator_.waitFor(predicate, timeout);
  }
  // The connection of the first open bound session of `systemId`; 0 on timeout.
  int waitForBound(const std::string& systemId,
                   std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
  bool waitForReceived(int connection, uint32_t commandId, size_t count,
                       std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
    return waitFor([&] { return receivedCount(connection, commandId) >= count; }, timeout);
  }

  // Queues `action` (one of the simulator's own sends or resets) for its
  // loop without waiting (a benchmark sends thousands); false when
  // `connection` is not open. A receipt carries the behaviour's stat, error
  // and TLV choice.
  bool act(int connection, std::function<void(SmscSimulator&, int connection)> action);
  bool sendReceipt(int connection, const std::string& messageId, const std::string& source,
                   const std::string& destination) {
    return act(connection,
               [=](SmscSimulator& s, int c) { s.sendReceipt(c, messageId, source, destination); });
  }
  bool sendMO(int connection, const std::string& source, const std::string& destination,
              const std::string& text) {
    return act(connection,
               [=](SmscSimulator& s, int c) { s.sendMO(c, source, destination, text); });
  }

 private:
  SmscSimulator simulator_;
  std::thread thread_;
};

}  // namespace testing_support
