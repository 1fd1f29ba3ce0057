#include "tests/support/fake_smsc.h"

#include <algorithm>
#include <future>

#include "smpp/receipt.h"

namespace testing_support {

namespace {

SmscSimulator::Options toOptions(const FakeSmsc::Behaviour& b) {
  SmscSimulator::Options o;
  o.bindAnswer = b.bindAnswer;
  o.bindRefusalStatus = b.bindRefusalStatus;
  o.submitStatus = b.submitStatus;
  if (b.submitAnswer == FakeSmsc::SubmitAnswer::Delayed) o.responseDelay = b.submitDelay;
  if (b.submitAnswer == FakeSmsc::SubmitAnswer::Never) o.withholdEvery = 1;
  o.messageIdPrefix = b.messageIdPrefix;
  o.receipt = b.receipt;
  // The gateway's tests ask for receipts by behaviour, whatever the
  // submit's registered_delivery says.
  o.receiptOnRequestOnly = false;
  o.receiptOnReceiver = b.receiptOnReceiver;
  o.receiptTLVs = b.receiptTLVs;
  o.receiptStat = b.receiptStat;
  o.receiptError = b.receiptError;
  o.answerEnquireLink = b.answerEnquireLink;
  o.resetAfterSubmits = b.resetAfterSubmits > 0 ? static_cast<uint64_t>(b.resetAfterSubmits) : 0;
  o.writeChunk = b.writeChunk;
  return o;
}

}  // namespace

// Records what the simulator saw into the fake's state, on the simulator's
// thread.
class FakeSmsc::Recorder : public SmscSimulator::Observer {
 public:
  explicit Recorder(FakeSmsc& fake) : fake_(fake) {}

  void onAccepted(int connection) override {
    std::lock_guard<std::mutex> lock(fake_.stateMutex_);
    ConnectionState& state = fake_.connections_[connection];
    state.session.connection = connection;
    state.session.open = true;
    fake_.changedLocked();
  }
  void onClosed(int connection) override {
    std::lock_guard<std::mutex> lock(fake_.stateMutex_);
    Session& session = fake_.connections_[connection].session;
    session.open = false;
    session.bound = false;
    fake_.changedLocked();
  }
  void onPDU(const SmscSimulator::Session& s, const SMPP::PDUHeader& header, const uint8_t* body,
             size_t bodyLength) override {
    const uint32_t request = header.commandId & ~SMPP::RESPONSE_BIT;
    const bool changesSession = request == SMPP::BIND_RECEIVER ||
                                request == SMPP::BIND_TRANSMITTER ||
                                request == SMPP::BIND_TRANSCEIVER || request == SMPP::UNBIND;
    const bool record = fake_.record_.load(std::memory_order_relaxed);
    if (!record && !changesSession) return;
    std::lock_guard<std::mutex> lock(fake_.stateMutex_);
    ConnectionState& state = fake_.connections_[s.connection];
    state.session.bound = s.bound;
    state.session.bindCommand = s.bindCommand;
    state.session.systemId = s.systemId;
    state.session.password = s.password;
    if (record) {
      state.received.push_back(ReceivedPDU{header.commandId, header.commandStatus,
                                           header.sequenceNumber,
                                           std::vector<uint8_t>(body, body + bodyLength)});
    }
    fake_.changedLocked();
  }
  void onSubmit(int connection, uint32_t sequence, const std::string& messageId,
                const SMPP::PDUHeader& header, const uint8_t* body, size_t bodyLength) override {
    if (!fake_.record_.load(std::memory_order_relaxed)) return;
    Submit submit{connection, sequence, messageId, {}};
    uint32_t error = 0;
    if (!SMPP::parseSubmitSM(header.commandId, body, bodyLength, submit.sm, false, error, 0)) {
      return;
    }
    std::lock_guard<std::mutex> lock(fake_.stateMutex_);
    fake_.submits_.push_back(std::move(submit));
  }

 private:
  FakeSmsc& fake_;
};

FakeSmsc::FakeSmsc()
    : recorder_(std::make_unique<Recorder>(*this)),
      simulator_(std::make_unique<SmscSimulator>(toOptions(Behaviour{}), recorder_.get())),
      port_(simulator_->port()) {
  thread_ = std::thread([this] { simulator_->run(); });
}

FakeSmsc::~FakeSmsc() {
  simulator_->stop();
  thread_.join();
}

void FakeSmsc::onLoop(const std::function<void()>& work) {
  std::promise<void> done;
  simulator_->post([&] {
    work();
    done.set_value();
  });
  done.get_future().wait();
}

// ---- Behaviour and queries ---------------------------------------------------

void FakeSmsc::setBehaviour(const Behaviour& behaviour) {
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    behaviour_ = behaviour;
  }
  record_ = behaviour.record;
  const SmscSimulator::Options options = toOptions(behaviour);
  onLoop([&] {
    // Where it listens is fixed at construction.
    const SmscSimulator::Options old = simulator_->options();
    simulator_->options() = options;
    simulator_->options().host = old.host;
    simulator_->options().port = old.port;
  });
}

FakeSmsc::Behaviour FakeSmsc::behaviour() {
  std::lock_guard<std::mutex> lock(stateMutex_);
  return behaviour_;
}

std::vector<FakeSmsc::Session> FakeSmsc::sessions() {
  std::lock_guard<std::mutex> lock(stateMutex_);
  std::vector<Session> out;
  for (const auto& [connection, state] : connections_) out.push_back(state.session);
  return out;
}

std::vector<FakeSmsc::Session> FakeSmsc::boundSessions() {
  std::vector<Session> out = sessions();
  std::erase_if(out, [](const Session& s) { return !s.open || !s.bound; });
  return out;
}

std::vector<FakeSmsc::ReceivedPDU> FakeSmsc::received(int connection) {
  std::lock_guard<std::mutex> lock(stateMutex_);
  auto it = connections_.find(connection);
  return it == connections_.end() ? std::vector<ReceivedPDU>{} : it->second.received;
}

size_t FakeSmsc::receivedCount(int connection, uint32_t commandId) {
  std::vector<ReceivedPDU> pdus = received(connection);
  return std::count_if(pdus.begin(), pdus.end(),
                       [&](const ReceivedPDU& p) { return p.commandId == commandId; });
}

std::vector<FakeSmsc::Submit> FakeSmsc::submits() {
  std::lock_guard<std::mutex> lock(stateMutex_);
  return submits_;
}

size_t FakeSmsc::connectionCount() {
  std::lock_guard<std::mutex> lock(stateMutex_);
  return connections_.size();
}

bool FakeSmsc::waitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock<std::mutex> lock(stateMutex_);
  for (;;) {
    const uint64_t seen = changes_;
    lock.unlock();
    if (predicate()) return true;
    lock.lock();
    if (!changed_.wait_until(lock, deadline, [&] { return changes_ != seen; })) {
      lock.unlock();
      return predicate();
    }
  }
}

int FakeSmsc::waitForBound(const std::string& systemId, uint32_t bindCommand,
                           std::chrono::milliseconds timeout) {
  int found = 0;
  waitFor(
      [&] {
        for (const auto& s : boundSessions()) {
          if (s.systemId == systemId && (bindCommand == 0 || s.bindCommand == bindCommand)) {
            found = s.connection;
            return true;
          }
        }
        return false;
      },
      timeout);
  return found;
}

bool FakeSmsc::waitForReceived(int connection, uint32_t commandId, size_t count,
                               std::chrono::milliseconds timeout) {
  return waitFor([&] { return receivedCount(connection, commandId) >= count; }, timeout);
}

// ---- Actions -----------------------------------------------------------------

uint32_t FakeSmsc::queueRequest(int connection, uint32_t commandId, std::vector<uint8_t> body) {
  uint32_t sequence;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    auto it = connections_.find(connection);
    if (it == connections_.end() || !it->second.session.open) return 0;
    sequence = it->second.nextSequence++;
  }
  // Not waited for: a benchmark sends thousands of receipts this way, and
  // posts run in the order made.
  simulator_->post([this, connection, commandId, sequence, body = std::move(body)] {
    simulator_->sendRaw(connection, commandId, 0, sequence, body);
  });
  return sequence;
}

uint32_t FakeSmsc::sendDeliverSM(int connection, const SMPP::T_SubmitSM& sm) {
  std::vector<uint8_t> body;
  if (!SMPP::encodeSubmitSMBody(SMPP::DELIVER_SM, sm, body)) return 0;
  return queueRequest(connection, SMPP::DELIVER_SM, std::move(body));
}

uint32_t FakeSmsc::sendReceipt(int connection, const std::string& messageId,
                               const std::string& source, const std::string& destination) {
  const Behaviour b = behaviour();
  SMPP::T_SubmitSM sm;
  sm.source_addr = source;
  sm.destination_addr = destination;
  sm.esm_class = 0x04;  // SMSC delivery receipt
  const std::string text = SmscSimulator::receiptText(messageId, b.receiptStat, b.receiptError);
  sm.short_message.assign(text.begin(), text.end());
  if (b.receiptTLVs) {
    sm.tlvs =
        SMPP::makeReceiptTLVs(SMPP::messageStateFromWord(b.receiptStat), b.receiptError, messageId);
  }
  return sendDeliverSM(connection, sm);
}

uint32_t FakeSmsc::sendMO(int connection, const std::string& source, const std::string& destination,
                          const std::string& text) {
  return sendDeliverSM(connection, SmscSimulator::moMessage(source, destination, text));
}

uint32_t FakeSmsc::sendEnquireLink(int connection) {
  return queueRequest(connection, SMPP::ENQUIRE_LINK, {});
}

bool FakeSmsc::sendResponse(int connection, uint32_t commandId, uint32_t status, uint32_t sequence,
                            const std::vector<uint8_t>& body) {
  bool sent = false;
  onLoop([&] { sent = simulator_->sendRaw(connection, commandId, status, sequence, body); });
  return sent;
}

void FakeSmsc::resetConnection(int connection) {
  onLoop([&] { simulator_->resetConnection(connection); });
}

}  // namespace testing_support
