#include "tools/load_generator.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "base/poller.h"
#include "smpp/pdu.h"
#include "smpp/receipt.h"
#include "tools/pdu_connection.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint8_t kReceiptEsmClass = 0x04;
constexpr uint8_t kUdhiEsmClass = 0x40;

int64_t nanosSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
}

struct Bind {
  explicit Bind(int fd) : io(fd) {}
  PduConnection io;
  bool submits = false;  // a transmitting bind, not a receiver
  bool bound = false;
  bool open = true;
  bool unbound = false;  // our unbind answered
  uint32_t nextSequence = 1;
  // Outstanding submits: sequence number to send time (ns since start).
  std::unordered_map<uint32_t, int64_t> outstanding;
};

class Run {
 public:
  explicit Run(const LoadGenerator::Options& o) : o_(o) {}
  LoadGenerator::Report go();

 private:
  bool connectAll();
  bool bindAll();
  void sendSome(int64_t now);
  void queueMessage(Bind& b, int64_t now);
  void serve(Bind& b, int64_t now);
  void onSubmitResponse(Bind& b, const SMPP::PDUHeader& h, const uint8_t* body, size_t len,
                        int64_t now);
  void onDeliver(Bind& b, const SMPP::PDUHeader& h, const uint8_t* body, size_t len, int64_t now);
  void pump(int timeoutMs, int64_t now);
  void flushAll();
  bool sendingDone(int64_t now) const;
  bool allAnswered() const;
  size_t outstanding() const;
  void problem(LoadGenerator::Problem p, uint64_t n = 1) { r_.problems[p] += n; }
  void progressLine(int64_t now);

  const LoadGenerator::Options& o_;
  LoadGenerator::Report r_;
  Poller poller_;
  std::vector<std::unique_ptr<Bind>> binds_;
  std::unordered_map<int, Bind*> byFd_;
  Clock::time_point start_ = Clock::now();
  int64_t firstSubmit_ = -1;
  int64_t lastAnswer_ = 0;
  size_t nextBind_ = 0;
  uint8_t nextReference_ = 0;
  std::vector<uint32_t> latencies_;
  // Accepted message ids whose receipt has not come yet.
  std::unordered_set<std::string> awaiting_;
  std::unordered_set<std::string> receipted_;
  // Receipts that overtook their response; matched when it comes.
  std::unordered_set<std::string> early_;
  std::vector<uint8_t> body_;
  int64_t nextProgress_ = 1000000000;
};

bool Run::connectAll() {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(o_.port);
  if (::inet_pton(AF_INET, o_.host.c_str(), &addr.sin_addr) != 1) {
    r_.bindError = "not an IPv4 address: " + o_.host;
    return false;
  }
  const int total = o_.binds + o_.receivers;
  for (int i = 0; i < total; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      r_.bindError = std::string("cannot connect: ") + std::strerror(errno);
      if (fd >= 0) ::close(fd);
      return false;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // Connected while blocking (loopback answers at once), served without.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    auto b = std::make_unique<Bind>(fd);
    b->submits = i < o_.binds;
    byFd_[fd] = b.get();
    poller_.add(fd);
    binds_.push_back(std::move(b));
  }
  return true;
}

bool Run::bindAll() {
  for (auto& b : binds_) {
    const uint32_t command = !b->submits ? SMPP::BIND_RECEIVER
                             : o_.bindType == LoadGenerator::BindType::Transceiver
                                 ? SMPP::BIND_TRANSCEIVER
                                 : SMPP::BIND_TRANSMITTER;
    if (!SMPP::encodeBindBody(o_.systemId, o_.password, o_.systemType, SMPP::INTERFACE_VERSION_34,
                              body_)) {
      r_.bindError = "system id, password or system type too long";
      return false;
    }
    b->io.queue(command, 0, b->nextSequence++, body_);
  }
  flushAll();
  const auto deadline = Clock::now() + std::chrono::milliseconds(o_.bindTimeoutMilliseconds);
  std::vector<Poller::Event> events;
  size_t bound = 0;
  while (bound < binds_.size()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      r_.bindError =
          "no bind response within " + std::to_string(o_.bindTimeoutMilliseconds) + " ms";
      return false;
    }
    if (poller_.wait(static_cast<int>(left.count()), events) < 0 && errno != EINTR) return false;
    for (const auto& e : events) {
      Bind& b = *byFd_.at(e.fd);
      const bool alive = b.io.readAvailable();
      SMPP::PDUHeader h;
      const uint8_t* body;
      while (b.io.nextPDU(h, body)) {
        if ((h.commandId & ~SMPP::RESPONSE_BIT) > SMPP::BIND_TRANSCEIVER ||
            (h.commandId & SMPP::RESPONSE_BIT) == 0) {
          continue;  // nothing else is expected before the bind is answered
        }
        if (h.commandStatus != SMPP::ESME_ROK) {
          char status[16];
          std::snprintf(status, sizeof status, "0x%02x", h.commandStatus);
          r_.bindError = std::string("bind refused with status ") + status;
          return false;
        }
        if (!b.bound) ++bound;
        b.bound = true;
      }
      if (!alive && !b.bound) {
        r_.bindError = "connection closed before the bind was answered";
        return false;
      }
    }
  }
  return true;
}

void Run::queueMessage(Bind& b, int64_t now) {
  ++r_.messages;
  const uint8_t reference = nextReference_++;
  for (int part = 1; part <= o_.parts; ++part) {
    SMPP::T_SubmitSM sm;
    sm.source_addr = o_.source;
    sm.destination_addr = o_.destination;
    sm.registered_delivery = o_.registeredDelivery ? 1 : 0;
    const std::string text = "pelliro-load message " + std::to_string(r_.messages);
    if (o_.parts > 1) {
      // Concatenation header: IEI 0, length 3, reference, total, this part.
      sm.esm_class = kUdhiEsmClass;
      sm.short_message = {
          0x05, 0x00, 0x03, reference, static_cast<uint8_t>(o_.parts), static_cast<uint8_t>(part)};
    }
    sm.short_message.insert(sm.short_message.end(), text.begin(), text.end());
    const uint32_t command = o_.dataSm ? SMPP::DATA_SM : SMPP::SUBMIT_SM;
    SMPP::encodeSubmitSMBody(command, sm, body_);
    const uint32_t sequence = b.nextSequence++;
    b.io.queue(command, 0, sequence, body_);
    b.outstanding[sequence] = now;
    ++r_.submits;
  }
  if (firstSubmit_ < 0) firstSubmit_ = now;
}

bool Run::sendingDone(int64_t now) const {
  if (o_.count > 0) return r_.messages >= o_.count;
  return firstSubmit_ >= 0 && now - firstSubmit_ >= static_cast<int64_t>(o_.durationSeconds * 1e9);
}

void Run::sendSome(int64_t now) {
  const size_t window = static_cast<size_t>(std::max(o_.window, o_.parts));
  uint64_t allowed = UINT64_MAX;
  if (o_.rate > 0) {
    const double since = firstSubmit_ < 0 ? 0 : (now - firstSubmit_) / 1e9;
    allowed = static_cast<uint64_t>(since * o_.rate) + 1;
  }
  // Round robin over the binds, one message at a time, so every bind's
  // window fills evenly.
  size_t idle = 0;
  while (idle < binds_.size() && !sendingDone(now) && r_.messages < allowed) {
    Bind& b = *binds_[nextBind_];
    nextBind_ = (nextBind_ + 1) % binds_.size();
    if (b.submits && b.open && b.bound &&
        b.outstanding.size() + static_cast<size_t>(o_.parts) <= window) {
      queueMessage(b, now);
      idle = 0;
    } else {
      ++idle;
    }
  }
}

void Run::onSubmitResponse(Bind& b, const SMPP::PDUHeader& h, const uint8_t* body, size_t len,
                           int64_t now) {
  auto it = b.outstanding.find(h.sequenceNumber);
  if (it == b.outstanding.end()) {
    problem(LoadGenerator::kUnexpectedSequence);
    return;
  }
  ++r_.responses;
  latencies_.push_back(
      static_cast<uint32_t>(std::min<int64_t>((now - it->second) / 1000, UINT32_MAX)));
  b.outstanding.erase(it);
  lastAnswer_ = now;
  if (h.commandStatus != SMPP::ESME_ROK) {
    ++r_.rejected;
    return;
  }
  ++r_.accepted;
  if (!o_.registeredDelivery) return;
  size_t at = 0;
  std::string id;
  SMPP::readCString(body, len, at, id, SMPP::MAX_MESSAGE_ID);
  if (early_.erase(id) > 0) {
    receipted_.insert(std::move(id));
    return;
  }
  awaiting_.insert(std::move(id));
}

void Run::onDeliver(Bind& b, const SMPP::PDUHeader& h, const uint8_t* body, size_t len,
                    int64_t now) {
  b.io.queue(SMPP::DELIVER_SM_RESP, 0, h.sequenceNumber, reinterpret_cast<const uint8_t*>(""), 1);
  SMPP::T_SubmitSM sm;
  if (!SMPP::parseDeliverSM(body, len, sm, 0) || (sm.esm_class & kReceiptEsmClass) == 0) {
    ++r_.mobileOriginated;
    return;
  }
  ++r_.receipts;
  lastAnswer_ = now;
  const std::string_view text(reinterpret_cast<const char*>(sm.short_message.data()),
                              sm.short_message.size());
  std::string id = SMPP::parseReceiptText(text, &sm.tlvs).messageId;
  if (awaiting_.erase(id) > 0) {
    receipted_.insert(std::move(id));
  } else if (receipted_.count(id) > 0 || early_.count(id) > 0) {
    problem(LoadGenerator::kDuplicateReceipt);
  } else {
    early_.insert(std::move(id));
  }
}

void Run::serve(Bind& b, int64_t now) {
  const bool alive = b.io.readAvailable();
  SMPP::PDUHeader h;
  const uint8_t* body;
  while (b.io.nextPDU(h, body)) {
    const size_t len = h.commandLength - SMPP::HEADER_LENGTH;
    switch (h.commandId) {
      case SMPP::SUBMIT_SM_RESP:
      case SMPP::DATA_SM_RESP:
      case SMPP::GENERIC_NACK:
        onSubmitResponse(b, h, body, len, now);
        break;
      case SMPP::DELIVER_SM:
        onDeliver(b, h, body, len, now);
        break;
      case SMPP::ENQUIRE_LINK:
        b.io.queue(SMPP::ENQUIRE_LINK_RESP, 0, h.sequenceNumber, nullptr, 0);
        break;
      case SMPP::UNBIND:
        b.io.queue(SMPP::UNBIND_RESP, 0, h.sequenceNumber, nullptr, 0);
        b.bound = false;
        break;
      case SMPP::UNBIND_RESP:
        b.unbound = true;
        break;
      default:
        break;
    }
  }
  if (!alive || b.io.framingLost()) {
    if (b.open && !b.unbound) problem(LoadGenerator::kConnectionLost);
    b.open = false;
    poller_.remove(b.io.fd());
  }
}

void Run::flushAll() {
  for (auto& b : binds_) {
    if (!b->open || !b->io.hasOutput()) continue;
    if (!b->io.flush()) continue;  // the read side will see the failure
    poller_.setWritable(b->io.fd(), b->io.hasOutput());
  }
}

void Run::pump(int timeoutMs, int64_t) {
  std::vector<Poller::Event> events;
  if (poller_.wait(timeoutMs, events) < 0) return;
  const int64_t now = nanosSince(start_);
  for (const auto& e : events) {
    Bind& b = *byFd_.at(e.fd);
    if (b.open && (e.readable || e.hangup)) serve(b, now);
  }
}

// What may still be answered: a closed bind's submits never will be.
size_t Run::outstanding() const {
  size_t n = 0;
  for (const auto& b : binds_) n += b->open ? b->outstanding.size() : 0;
  return n;
}

bool Run::allAnswered() const {
  return outstanding() == 0 && awaiting_.empty() && early_.empty();
}

void Run::progressLine(int64_t now) {
  if (!o_.progress || now < nextProgress_) return;
  nextProgress_ = now + 1000000000;
  const double seconds = firstSubmit_ < 0 ? 0 : (now - firstSubmit_) / 1e9;
  std::fprintf(
      o_.progress, "progress: %.0f s, %llu sent, %llu answered, %llu receipts, %.0f msg/s\n",
      seconds, static_cast<unsigned long long>(r_.messages),
      static_cast<unsigned long long>(r_.responses), static_cast<unsigned long long>(r_.receipts),
      seconds > 0 ? r_.responses / seconds / o_.parts : 0.0);
  std::fflush(o_.progress);
}

LoadGenerator::Report Run::go() {
  if (!poller_.valid() || !connectAll() || !bindAll()) {
    r_.bindFailed = true;
    return r_;
  }
  const uint64_t expected = o_.count > 0 ? o_.count * static_cast<uint64_t>(o_.parts) : 1 << 20;
  latencies_.reserve(expected);
  // Growing a set of a million ids mid-run stalls the loop long enough to
  // show as the run's maximum latency.
  if (o_.registeredDelivery) receipted_.reserve(expected);
  int64_t drainDeadline = -1;
  for (;;) {
    int64_t now = nanosSince(start_);
    sendSome(now);
    flushAll();
    progressLine(now);
    if (sendingDone(now)) {
      if (drainDeadline < 0) drainDeadline = now + int64_t{o_.drainMilliseconds} * 1000000;
      if (allAnswered() || now >= drainDeadline) break;
    }
    bool anyOpen = false;
    for (const auto& b : binds_) anyOpen |= b->open && b->bound;
    if (!anyOpen) break;
    // With a rate, wake for the next send slot; otherwise answers wake us.
    int timeout = o_.rate > 0 ? 1 : 100;
    if (drainDeadline >= 0) {
      timeout = static_cast<int>(std::clamp<int64_t>((drainDeadline - now) / 1000000 + 1, 0, 100));
    }
    pump(timeout, now);
  }
  if (firstSubmit_ >= 0) r_.elapsedSeconds = std::max<int64_t>(lastAnswer_ - firstSubmit_, 1) / 1e9;
  for (const auto& b : binds_) problem(LoadGenerator::kMissingResponse, b->outstanding.size());
  problem(LoadGenerator::kMissingReceipt, awaiting_.size());
  problem(LoadGenerator::kUnknownReceipt, early_.size());

  // A polite end, but bounded: a peer that never answers the unbind does
  // not hold up the report.
  for (auto& b : binds_) {
    if (b->open && b->bound) b->io.queue(SMPP::UNBIND, 0, b->nextSequence++, nullptr, 0);
  }
  flushAll();
  const int64_t unbindDeadline = nanosSince(start_) + 1000000000;
  for (;;) {
    bool waiting = false;
    for (const auto& b : binds_) waiting |= b->open && b->bound && !b->unbound;
    const int64_t now = nanosSince(start_);
    if (!waiting || now >= unbindDeadline) break;
    pump(10, now);
    flushAll();
  }
  if (!latencies_.empty()) {
    std::sort(latencies_.begin(), latencies_.end());
    auto at = [&](double q) {
      const size_t n = latencies_.size();
      const size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(n)));
      return latencies_[std::min(n - 1, rank > 0 ? rank - 1 : 0)];
    };
    r_.p50 = at(0.50);
    r_.p90 = at(0.90);
    r_.p99 = at(0.99);
    r_.max = latencies_.back();
  }
  return r_;
}

}  // namespace

const char* LoadGenerator::problemName(Problem p) {
  switch (p) {
    case kMissingResponse:
      return "missing_response";
    case kUnexpectedSequence:
      return "unexpected_sequence";
    case kMissingReceipt:
      return "missing_receipt";
    case kDuplicateReceipt:
      return "duplicate_receipt";
    case kUnknownReceipt:
      return "unknown_receipt";
    case kConnectionLost:
      return "connection_lost";
    case kProblemKinds:
      break;
  }
  return "";
}

uint64_t LoadGenerator::Report::problemCount() const {
  uint64_t n = 0;
  for (uint64_t p : problems) n += p;
  return n;
}

int LoadGenerator::Report::exitCode() const {
  if (bindFailed) return 2;
  return problemCount() == 0 ? 0 : 1;
}

std::string LoadGenerator::Report::machineLine() const {
  char line[512];
  const double rate = elapsedSeconds > 0 ? messages / elapsedSeconds : 0;
  std::snprintf(
      line, sizeof line,
      "RESULT messages=%llu submits=%llu responses=%llu accepted=%llu rejected=%llu "
      "receipts=%llu mo=%llu problems=%llu elapsed_s=%.3f msg_per_s=%.0f p50_us=%u "
      "p90_us=%u p99_us=%u max_us=%u",
      static_cast<unsigned long long>(messages), static_cast<unsigned long long>(submits),
      static_cast<unsigned long long>(responses), static_cast<unsigned long long>(accepted),
      static_cast<unsigned long long>(rejected), static_cast<unsigned long long>(receipts),
      static_cast<unsigned long long>(mobileOriginated),
      static_cast<unsigned long long>(problemCount()), elapsedSeconds, rate, p50, p90, p99, max);
  std::string out = line;
  for (int p = 0; p < kProblemKinds; ++p) {
    out +=
        std::string(" ") + problemName(static_cast<Problem>(p)) + "=" + std::to_string(problems[p]);
  }
  return out;
}

std::string LoadGenerator::Report::humanLine() const {
  if (bindFailed) return "no run: " + bindError;
  char line[512];
  const double rate = elapsedSeconds > 0 ? messages / elapsedSeconds : 0;
  std::snprintf(line, sizeof line,
                "%llu messages (%llu submits, %llu receipts) in %.2f s: %.0f msg/s; "
                "submit->response p50 %.2f ms, p90 %.2f ms, p99 %.2f ms, max %.2f ms; %s",
                static_cast<unsigned long long>(messages), static_cast<unsigned long long>(submits),
                static_cast<unsigned long long>(receipts), elapsedSeconds, rate, p50 / 1e3,
                p90 / 1e3, p99 / 1e3, max / 1e3,
                problemCount() == 0 ? "all checks passed" : "CHECKS FAILED");
  return line;
}

LoadGenerator::Report LoadGenerator::run() {
  return Run(options_).go();
}
