#include "tools/smsc_simulator.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <stdexcept>

#include "smpp/receipt.h"

namespace {

using Clock = std::chrono::steady_clock;

// Short enough that a split PDU costs a test little, long enough that the
// pieces arrive in separate reads.
constexpr std::chrono::milliseconds kChunkPause{2};
constexpr uint8_t kReceiptEsmClass = 0x04;

bool canReceive(const SmscSimulator::Session& s) {
  return s.bound && s.bindCommand != SMPP::BIND_TRANSMITTER;
}

// Only what a receipt needs, without decoding the whole submit: the
// addresses and registered_delivery of a submit_sm or data_sm.
bool scanSubmit(uint32_t commandId, const uint8_t* body, size_t len, std::string& source,
                std::string& destination, uint8_t& registeredDelivery) {
  size_t at = 0;
  std::string skip;
  if (!SMPP::readCString(body, len, at, skip, SMPP::MAX_SERVICE_TYPE)) return false;
  at += 2;
  if (at > len || !SMPP::readCString(body, len, at, source, SMPP::MAX_ADDRESS)) return false;
  at += 2;
  if (at > len || !SMPP::readCString(body, len, at, destination, SMPP::MAX_ADDRESS)) return false;
  if (commandId == SMPP::DATA_SM) {
    at += 1;  // esm_class
  } else {
    at += 3;  // esm_class, protocol_id, priority_flag
    if (at > len || !SMPP::readCString(body, len, at, skip, SMPP::MAX_TIME) ||
        !SMPP::readCString(body, len, at, skip, SMPP::MAX_TIME)) {
      return false;
    }
  }
  if (at >= len) return false;
  registeredDelivery = body[at];
  return true;
}

}  // namespace

SmscSimulator::SmscSimulator(const Options& options) : options_(options) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0 || !poller_.valid()) throw std::runtime_error("SMSC simulator: no socket");
  int one = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(options.port);
  socklen_t len = sizeof addr;
  if (::inet_pton(AF_INET, options.host.c_str(), &addr.sin_addr) != 1 ||
      ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listenFd_, 512) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(listenFd_);
    throw std::runtime_error("SMSC simulator: cannot listen on " + options.host + ":" +
                             std::to_string(options.port));
  }
  port_ = ntohs(addr.sin_port);
  poller_.add(listenFd_);
  poller_.add(waker_.descriptor());
}

SmscSimulator::~SmscSimulator() {
  connections_.clear();
  ::close(listenFd_);
}

void SmscSimulator::stop() {
  stopping_ = true;
  waker_.wakeFromSignal();
}

void SmscSimulator::post(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> lock(postedMutex_);
    posted_.push_back(std::move(work));
  }
  waker_.wake();
}

void SmscSimulator::runPosted() {
  std::vector<std::function<void()>> work;
  {
    std::lock_guard<std::mutex> lock(postedMutex_);
    work.swap(posted_);
  }
  for (auto& w : work) w();
}

void SmscSimulator::run() {
  std::vector<Poller::Event> events;
  std::vector<uint64_t> keys;
  while (!stopping_) {
    const auto now = Clock::now();
    while (!due_.empty() && due_.front().at <= now) {
      Due d = std::move(due_.front());
      due_.pop_front();
      auto it = connections_.find(d.connection);
      if (it == connections_.end()) continue;
      it->second->io.queueBytes(d.bytes);
      if (d.reset) it->second->resetWhenWritten = true;
      dirty_.push_back(d.connection);
    }
    dirty_.insert(dirty_.end(), draining_.begin(), draining_.end());
    draining_.clear();
    flushAll();
    int timeout = draining_.empty() ? -1 : 1;
    if (!due_.empty()) {
      const int wait = static_cast<int>(
          std::chrono::ceil<std::chrono::milliseconds>(due_.front().at - now).count());
      timeout = timeout < 0 ? wait : std::min(timeout, wait);
    }
    // Split writes are a fault for tests with few connections; only they
    // pay for a look at every connection.
    if (options_.writeChunk > 0) {
      for (auto& [number, c] : connections_) {
        if (!c->io.hasOutput()) continue;
        const auto wait = std::max<int64_t>(
            std::chrono::ceil<std::chrono::milliseconds>(c->nextChunkAt - now).count(), 0);
        timeout = timeout < 0 ? static_cast<int>(wait) : std::min(timeout, static_cast<int>(wait));
      }
    }
    if (poller_.wait(std::max(timeout, -1), events) < 0 && errno != EINTR) return;
    for (const auto& e : events) {
      if (e.fd == listenFd_) {
        acceptAll();
        continue;
      }
      if (e.fd == waker_.descriptor()) {
        waker_.take(keys);
        keys.clear();
        runPosted();
        continue;
      }
      auto found = byFd_.find(e.fd);
      if (found == byFd_.end()) continue;
      const int number = found->second;
      Connection& c = *connections_.at(number);
      if (e.writable) dirty_.push_back(number);
      if (e.readable || e.hangup) {
        const bool alive = c.io.readAvailable();
        serveInput(c);
        if (!alive || c.io.framingLost()) close(number);
      }
    }
  }
}

void SmscSimulator::acceptAll() {
  for (;;) {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const int number = nextConnection_++;
    auto c = std::make_unique<Connection>(fd);
    c->session.connection = number;
    connections_[number] = std::move(c);
    byFd_[fd] = number;
    poller_.add(fd);
    journalSession(connections_[number]->session);
  }
}

void SmscSimulator::serveInput(Connection& c) {
  SMPP::PDUHeader header;
  const uint8_t* body = nullptr;
  while (!c.resetWhenWritten && c.io.nextPDU(header, body)) {
    const size_t len = header.commandLength - SMPP::HEADER_LENGTH;
    handlePDU(c, header, body, len);
    // Without recording only what changes the session is journalled.
    const uint32_t request = header.commandId & ~SMPP::RESPONSE_BIT;
    if (options_.record) {
      journalSession(c.session, &header, body, len);
    } else if (request == SMPP::BIND_RECEIVER || request == SMPP::BIND_TRANSMITTER ||
               request == SMPP::BIND_TRANSCEIVER || request == SMPP::UNBIND) {
      journalSession(c.session);
    }
  }
  dirty_.push_back(c.session.connection);
}

void SmscSimulator::handlePDU(Connection& c, const SMPP::PDUHeader& header, const uint8_t* body,
                              size_t len) {
  switch (header.commandId) {
    case SMPP::BIND_RECEIVER:
    case SMPP::BIND_TRANSMITTER:
    case SMPP::BIND_TRANSCEIVER:
      handleBind(c, header, body, len);
      return;
    case SMPP::SUBMIT_SM:
    case SMPP::DATA_SM:
      handleSubmit(c, header, body, len);
      return;
    case SMPP::ENQUIRE_LINK:
      if (options_.answerEnquireLink) {
        c.io.queue(SMPP::ENQUIRE_LINK_RESP, 0, header.sequenceNumber, nullptr, 0);
      }
      return;
    case SMPP::UNBIND:
      c.io.queue(SMPP::UNBIND_RESP, 0, header.sequenceNumber, nullptr, 0);
      c.session.bound = false;
      c.closeWhenWritten = true;
      return;
    case SMPP::UNBIND_RESP:
      c.session.bound = false;
      c.closeWhenWritten = true;
      return;
    case SMPP::DELIVER_SM_RESP:
      ++counters_.deliverResponses;
      return;
    default:
      if ((header.commandId & SMPP::RESPONSE_BIT) == 0) {
        c.io.queue(SMPP::GENERIC_NACK, SMPP::ESME_RINVCMDID, header.sequenceNumber, nullptr, 0);
      }
      return;
  }
}

void SmscSimulator::handleBind(Connection& c, const SMPP::PDUHeader& header, const uint8_t* body,
                               size_t len) {
  const uint32_t response = header.commandId | SMPP::RESPONSE_BIT;
  SMPP::BindRequest request;
  if (!SMPP::parseBindBody(body, len, request)) {
    c.io.queue(response, SMPP::ESME_RBINDFAIL, header.sequenceNumber, nullptr, 0);
    return;
  }
  c.session.systemId = request.systemId;
  c.session.password = request.password;
  c.session.bindCommand = header.commandId;
  switch (options_.bindAnswer) {
    case BindAnswer::Silent:
      return;
    case BindAnswer::Refuse:
      c.io.queue(response, options_.bindRefusalStatus, header.sequenceNumber, nullptr, 0);
      return;
    case BindAnswer::Accept:
      break;
  }
  SMPP::encodeBindResponseBody("PelliroSMSC", SMPP::INTERFACE_VERSION_34, scratch_);
  c.io.queue(response, 0, header.sequenceNumber, scratch_);
  c.session.bound = true;
  ++counters_.binds;
  releaseHeldReceipts(c);
}

void SmscSimulator::emit(Connection& c, uint32_t commandId, uint32_t status, uint32_t sequence,
                         const uint8_t* body, size_t len) {
  if (options_.responseDelay.count() <= 0) {
    c.io.queue(commandId, status, sequence, body, len);
    return;
  }
  std::vector<uint8_t> bytes(SMPP::HEADER_LENGTH + len);
  SMPP::encodeHeader(bytes.data(), len, commandId, status, sequence);
  std::copy(body, body + len, bytes.data() + SMPP::HEADER_LENGTH);
  due_.push_back(
      Due{Clock::now() + options_.responseDelay, c.session.connection, std::move(bytes)});
}

void SmscSimulator::handleSubmit(Connection& c, const SMPP::PDUHeader& header, const uint8_t* body,
                                 size_t len) {
  const uint32_t response = header.commandId | SMPP::RESPONSE_BIT;
  ++counters_.submits;
  if (options_.resetEvery > 0 && counters_.submits % options_.resetEvery == 0) resetSomeBinds();
  const uint64_t n = ++c.submits;
  if (options_.resetAfterSubmits > 0 && n >= options_.resetAfterSubmits) {
    c.resetWhenWritten = true;
    return;
  }
  if (!c.session.bound || c.session.bindCommand == SMPP::BIND_RECEIVER) {
    c.io.queue(response, SMPP::ESME_RINVBNDSTS, header.sequenceNumber, nullptr, 0);
    return;
  }
  std::string source, destination;
  uint8_t registeredDelivery = 0;
  if (!scanSubmit(header.commandId, body, len, source, destination, registeredDelivery)) {
    c.io.queue(response, SMPP::ESME_RSUBMITFAIL, header.sequenceNumber, nullptr, 0);
    return;
  }
  std::string messageId;
  if (options_.withholdEvery > 0 && counters_.submits % options_.withholdEvery == 0) {
    journalSubmit(c, messageId, header, body, len);
    return;
  }
  if (options_.submitStatus == SMPP::ESME_ROK) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, nextMessageId_++).ptr;
    messageId = options_.messageIdPrefix;
    messageId.append(digits, end);
  }
  journalSubmit(c, messageId, header, body, len);

  const bool wantReceipt = !messageId.empty() && options_.receipt != ReceiptTiming::None &&
                           (!options_.receiptOnRequestOnly || (registeredDelivery & 0x03) != 0);
  std::vector<uint8_t> receipt;
  if (wantReceipt) {
    // A receipt travels from the handset: source and destination swap.
    buildReceiptBody(messageId, destination, source, receipt);
    if (options_.receipt == ReceiptTiming::BeforeResponse) routeReceipt(c, receipt);
  }
  ++counters_.responses;
  const uint64_t r = ++c.responses;
  uint32_t sequence = header.sequenceNumber;
  if (options_.wrongSequenceEvery > 0 && counters_.responses % options_.wrongSequenceEvery == 0) {
    sequence ^= 0x40000000;
  }
  if (messageId.empty()) {
    emit(c, response, options_.submitStatus, sequence, nullptr, 0);
  } else {
    SMPP::encodeMessageIdBody(messageId, scratch_);
    emit(c, response, 0, sequence, scratch_.data(), scratch_.size());
  }
  if (wantReceipt && options_.receipt == ReceiptTiming::AfterResponse) routeReceipt(c, receipt);
  if (!messageId.empty() && options_.moEvery > 0 && n % options_.moEvery == 0) {
    Connection* to = canReceive(c.session) && !options_.receiptOnReceiver ? &c : receiverFor(c);
    if (to) sendMO(to->session.connection, destination, source, "mo " + messageId);
  }
  if (options_.unbindAfterSubmits > 0 && r == options_.unbindAfterSubmits) {
    sendRequest(c.session.connection, SMPP::UNBIND, {});
  }
}

SmscSimulator::Connection* SmscSimulator::receiverFor(const Connection& submitter) {
  for (auto& [number, other] : connections_) {
    if (other.get() != &submitter && other->session.systemId == submitter.session.systemId &&
        canReceive(other->session) && !other->resetWhenWritten && !other->closeWhenWritten) {
      return other.get();
    }
  }
  return nullptr;
}

void SmscSimulator::routeReceipt(Connection& submitter, const std::vector<uint8_t>& body) {
  const uint64_t copies =
      options_.duplicateReceiptEvery > 0 && ++receiptCount_ % options_.duplicateReceiptEvery == 0
          ? 2
          : 1;
  for (uint64_t i = 0; i < copies; ++i) {
    ++counters_.receipts;
    if (!options_.receiptOnReceiver) {
      emit(submitter, SMPP::DELIVER_SM, 0, submitter.nextSequence++, body.data(), body.size());
      continue;
    }
    // Another bind has no response to order against; it gets the receipt at
    // once, which is what makes a receipt overtake its response.
    if (Connection* to = receiverFor(submitter)) {
      to->io.queue(SMPP::DELIVER_SM, 0, to->nextSequence++, body);
      dirty_.push_back(to->session.connection);
    } else {
      heldReceipts_[submitter.session.systemId].push_back(body);
    }
  }
}

void SmscSimulator::releaseHeldReceipts(Connection& c) {
  if (!canReceive(c.session)) return;
  auto held = heldReceipts_.find(c.session.systemId);
  if (held == heldReceipts_.end()) return;
  for (const auto& body : held->second) c.io.queue(SMPP::DELIVER_SM, 0, c.nextSequence++, body);
  heldReceipts_.erase(held);
}

const std::string& SmscSimulator::minuteStamp() {
  // One strftime a minute instead of one a receipt.
  const std::time_t now = std::time(nullptr);
  if (now / 60 != stampMinute_) {
    stampMinute_ = now / 60;
    std::tm utc{};
    gmtime_r(&now, &utc);
    char date[16];
    std::strftime(date, sizeof date, "%y%m%d%H%M", &utc);
    stamp_ = date;
  }
  return stamp_;
}

void SmscSimulator::buildReceiptBody(const std::string& messageId, const std::string& source,
                                     const std::string& destination, std::vector<uint8_t>& out) {
  SMPP::T_SubmitSM sm;
  sm.source_addr = source;
  sm.destination_addr = destination;
  sm.esm_class = kReceiptEsmClass;
  char err[16];
  std::snprintf(err, sizeof err, "%03u", options_.receiptError);
  const std::string& date = minuteStamp();
  const std::string text = "id:" + messageId + " sub:001 dlvrd:001 submit date:" + date +
                           " done date:" + date + " stat:" + options_.receiptStat + " err:" + err +
                           " text:";
  sm.short_message.assign(text.begin(), text.end());
  if (options_.receiptTLVs) {
    sm.tlvs = SMPP::makeReceiptTLVs(SMPP::messageStateFromWord(options_.receiptStat),
                                    options_.receiptError, messageId);
  }
  SMPP::encodeSubmitSMBody(SMPP::DELIVER_SM, sm, out);
}

const SmscSimulator::Session* SmscSimulator::session(int connection) const {
  auto it = connections_.find(connection);
  return it == connections_.end() ? nullptr : &it->second->session;
}

uint32_t SmscSimulator::sendRequest(int connection, uint32_t commandId,
                                    const std::vector<uint8_t>& body) {
  auto it = connections_.find(connection);
  if (it == connections_.end()) return 0;
  Connection& c = *it->second;
  const uint32_t sequence = c.nextSequence++;
  c.io.queue(commandId, 0, sequence, body);
  dirty_.push_back(connection);
  return sequence;
}

bool SmscSimulator::sendRaw(int connection, uint32_t commandId, uint32_t status, uint32_t sequence,
                            const std::vector<uint8_t>& body) {
  auto it = connections_.find(connection);
  if (it == connections_.end()) return false;
  it->second->io.queue(commandId, status, sequence, body);
  dirty_.push_back(connection);
  return true;
}

uint32_t SmscSimulator::sendReceipt(int connection, const std::string& messageId,
                                    const std::string& source, const std::string& destination) {
  std::vector<uint8_t> body;
  buildReceiptBody(messageId, source, destination, body);
  return sendRequest(connection, SMPP::DELIVER_SM, body);
}

uint32_t SmscSimulator::sendMO(int connection, const std::string& source,
                               const std::string& destination, const std::string& text) {
  SMPP::T_SubmitSM sm;
  sm.source_addr_ton = sm.source_addr_npi = sm.dest_addr_ton = sm.dest_addr_npi = 1;
  sm.source_addr = source;
  sm.destination_addr = destination;
  sm.short_message.assign(text.begin(), text.end());
  std::vector<uint8_t> body;
  if (!SMPP::encodeSubmitSMBody(SMPP::DELIVER_SM, sm, body)) return 0;
  return sendRequest(connection, SMPP::DELIVER_SM, body);
}

void SmscSimulator::resetConnection(int connection) {
  auto it = connections_.find(connection);
  if (it == connections_.end()) return;
  it->second->resetWhenWritten = true;
  dirty_.push_back(connection);
}

void SmscSimulator::resetSomeBinds() {
  int chosen = 0;
  // In turn from the connection after the last one reset, wrapping once.
  for (int pass = 0; pass < 2 && chosen < options_.resetBinds; ++pass) {
    for (auto it = pass == 0 ? connections_.upper_bound(lastReset_) : connections_.begin();
         it != connections_.end() && chosen < options_.resetBinds; ++it) {
      Connection& c = *it->second;
      if (!c.session.bound || c.session.bindCommand == SMPP::BIND_RECEIVER || c.resetWhenWritten)
        continue;
      c.resetWhenWritten = true;
      dirty_.push_back(it->first);
      lastReset_ = it->first;
      ++chosen;
    }
  }
}

void SmscSimulator::flushAll() {
  if (dirty_.empty()) return;
  std::sort(dirty_.begin(), dirty_.end());
  dirty_.erase(std::unique(dirty_.begin(), dirty_.end()), dirty_.end());
  std::vector<int> work;
  work.swap(dirty_);
  const auto now = Clock::now();
  for (int number : work) {
    auto it = connections_.find(number);
    if (it == connections_.end()) continue;
    Connection& c = *it->second;
    bool ok = true;
    if (options_.writeChunk > 0) {
      if (c.nextChunkAt <= now && c.io.hasOutput()) {
        ok = c.io.flush(options_.writeChunk);
        c.nextChunkAt = now + kChunkPause;
      }
    } else {
      ok = c.io.flush();
    }
    if (!ok) {
      close(number);
      continue;
    }
    // Split writes wake on the timer; a full socket wakes on EPOLLOUT.
    const bool watch = c.io.hasOutput() && options_.writeChunk == 0;
    if (watch != c.writeWatched) {
      poller_.setWritable(c.io.fd(), watch);
      c.writeWatched = watch;
    }
    if (c.io.hasOutput()) {
      if (options_.writeChunk > 0) dirty_.push_back(number);
      continue;
    }
    if (c.resetWhenWritten) {
      int unsent = 0;
      if (::ioctl(c.io.fd(), TIOCOUTQ, &unsent) == 0 && unsent > 0) {
        draining_.push_back(number);
        continue;
      }
      poller_.remove(c.io.fd());
      byFd_.erase(c.io.fd());
      c.io.reset();
      close(number);
    } else if (c.closeWhenWritten) {
      close(number);
    }
  }
}

void SmscSimulator::close(int connection) {
  auto it = connections_.find(connection);
  if (it == connections_.end()) return;
  if (it->second->io.fd() >= 0) {
    poller_.remove(it->second->io.fd());
    byFd_.erase(it->second->io.fd());
  }
  Session last = it->second->session;
  connections_.erase(it);
  last.open = false;
  last.bound = false;
  journalSession(last);
}

void SmscSimulator::journalSession(const Session& session, const SMPP::PDUHeader* header,
                                   const uint8_t* body, size_t len) {
  std::lock_guard<std::mutex> lock(journalMutex_);
  JournalEntry& entry = journal_[session.connection];
  entry.session = session;
  if (header != nullptr) {
    entry.received.push_back(ReceivedPDU{header->commandId, header->commandStatus,
                                         header->sequenceNumber,
                                         std::vector<uint8_t>(body, body + len)});
  }
  ++journalChanges_;
  journalChanged_.notify_all();
}

void SmscSimulator::journalSubmit(const Connection& c, const std::string& messageId,
                                  const SMPP::PDUHeader& header, const uint8_t* body,
                                  size_t len) {
  if (!options_.record) return;
  Submit submit{c.session.connection, header.sequenceNumber, messageId, {}};
  uint32_t error = 0;
  if (!SMPP::parseSubmitSM(header.commandId, body, len, submit.sm, false, error, 0)) return;
  std::lock_guard<std::mutex> lock(journalMutex_);
  journalSubmits_.push_back(std::move(submit));
  ++journalChanges_;
  journalChanged_.notify_all();
}

std::vector<SmscSimulator::Session> SmscSimulator::sessions() const {
  std::lock_guard<std::mutex> lock(journalMutex_);
  std::vector<Session> out;
  for (const auto& [number, entry] : journal_) out.push_back(entry.session);
  return out;
}

std::vector<SmscSimulator::ReceivedPDU> SmscSimulator::received(int connection) const {
  std::lock_guard<std::mutex> lock(journalMutex_);
  auto it = journal_.find(connection);
  return it == journal_.end() ? std::vector<ReceivedPDU>{} : it->second.received;
}

std::vector<SmscSimulator::Submit> SmscSimulator::submits() const {
  std::lock_guard<std::mutex> lock(journalMutex_);
  return journalSubmits_;
}

bool SmscSimulator::waitFor(const std::function<bool()>& predicate,
                            std::chrono::milliseconds timeout) const {
  const auto deadline = Clock::now() + timeout;
  std::unique_lock<std::mutex> lock(journalMutex_);
  for (;;) {
    const uint64_t seen = journalChanges_;
    lock.unlock();
    if (predicate()) return true;
    lock.lock();
    if (!journalChanged_.wait_until(lock, deadline, [&] { return journalChanges_ != seen; })) {
      lock.unlock();
      return predicate();
    }
  }
}
