#include "tests/support/fake_smsc.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <stdexcept>

#include "smpp/receipt.h"

namespace testing_support {

namespace {

// Short enough that a split PDU costs a test little, long enough that the
// pieces arrive in separate reads.
constexpr std::chrono::milliseconds kChunkPause{2};

bool canReceive(const FakeSmsc::Session& session) {
  return session.open && session.bound && session.bindCommand != SMPP::BIND_TRANSMITTER;
}

}  // namespace

FakeSmsc::FakeSmsc() {
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (listenFd_ < 0 || wakeFd_ < 0) throw std::runtime_error("FakeSmsc: no socket");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listenFd_, 64) != 0 ||
      getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    throw std::runtime_error("FakeSmsc: cannot listen on 127.0.0.1");
  }
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { serve(); });
}

FakeSmsc::~FakeSmsc() {
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    stopping_ = true;
  }
  wake();
  thread_.join();
  for (auto& [connection, io] : io_) close(io.fd);
  close(listenFd_);
  close(wakeFd_);
}

void FakeSmsc::wake() {
  uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
}

// ---- Behaviour and queries ---------------------------------------------------

void FakeSmsc::setBehaviour(const Behaviour& behaviour) {
  std::lock_guard<std::mutex> lock(stateMutex_);
  behaviour_ = behaviour;
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
  const auto deadline = Clock::now() + timeout;
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

uint32_t FakeSmsc::queueRequestLocked(int connection, uint32_t commandId,
                                      const std::vector<uint8_t>& body) {
  auto it = connections_.find(connection);
  if (it == connections_.end() || !it->second.session.open) return 0;
  ConnectionState& state = it->second;
  const uint32_t sequence = state.nextSequence++;
  state.outbox.push_back(pduLocked(state, commandId, 0, sequence, body));
  changedLocked();
  return sequence;
}

uint32_t FakeSmsc::sendDeliverSM(int connection, const SMPP::T_SubmitSM& sm) {
  std::vector<uint8_t> body;
  if (!SMPP::encodeSubmitSMBody(SMPP::DELIVER_SM, sm, body)) return 0;
  uint32_t sequence;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    sequence = queueRequestLocked(connection, SMPP::DELIVER_SM, body);
  }
  wake();
  return sequence;
}

uint32_t FakeSmsc::sendReceipt(int connection, const std::string& messageId,
                               const std::string& source, const std::string& destination) {
  uint32_t sequence;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    sequence = queueRequestLocked(connection, SMPP::DELIVER_SM,
                                  receiptBodyLocked(messageId, source, destination));
  }
  wake();
  return sequence;
}

uint32_t FakeSmsc::sendMO(int connection, const std::string& source, const std::string& destination,
                          const std::string& text) {
  SMPP::T_SubmitSM sm;
  sm.source_addr_ton = 1;
  sm.source_addr_npi = 1;
  sm.source_addr = source;
  sm.dest_addr_ton = 1;
  sm.dest_addr_npi = 1;
  sm.destination_addr = destination;
  sm.short_message.assign(text.begin(), text.end());
  return sendDeliverSM(connection, sm);
}

uint32_t FakeSmsc::sendUnbind(int connection) {
  uint32_t sequence;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    sequence = queueRequestLocked(connection, SMPP::UNBIND, {});
  }
  wake();
  return sequence;
}

uint32_t FakeSmsc::sendEnquireLink(int connection) {
  uint32_t sequence;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    sequence = queueRequestLocked(connection, SMPP::ENQUIRE_LINK, {});
  }
  wake();
  return sequence;
}

bool FakeSmsc::sendResponse(int connection, uint32_t commandId, uint32_t status, uint32_t sequence,
                            const std::vector<uint8_t>& body) {
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    auto it = connections_.find(connection);
    if (it == connections_.end() || !it->second.session.open) return false;
    it->second.outbox.push_back(pduLocked(it->second, commandId, status, sequence, body));
    changedLocked();
  }
  wake();
  return true;
}

void FakeSmsc::resetConnection(int connection) {
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    auto it = connections_.find(connection);
    if (it == connections_.end() || !it->second.session.open) return;
    it->second.outbox.push_back(OutItem{OutItem::Kind::Reset, {}});
  }
  wake();
}

std::string FakeSmsc::receiptText(const std::string& messageId, const std::string& stat,
                                  uint32_t error) {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char date[16];
  std::strftime(date, sizeof date, "%y%m%d%H%M", &utc);
  char err[16];
  std::snprintf(err, sizeof err, "%03u", error);
  return "id:" + messageId + " sub:001 dlvrd:001 submit date:" + date + " done date:" + date +
         " stat:" + stat + " err:" + err + " text:";
}

std::vector<uint8_t> FakeSmsc::receiptBodyLocked(const std::string& messageId,
                                                 const std::string& source,
                                                 const std::string& destination) {
  SMPP::T_SubmitSM sm;
  sm.source_addr = source;
  sm.destination_addr = destination;
  sm.esm_class = 0x04;  // SMSC delivery receipt
  const std::string text = receiptText(messageId, behaviour_.receiptStat, behaviour_.receiptError);
  sm.short_message.assign(text.begin(), text.end());
  if (behaviour_.receiptTLVs) {
    sm.tlvs = SMPP::makeReceiptTLVs(SMPP::messageStateFromWord(behaviour_.receiptStat),
                                    behaviour_.receiptError, messageId);
  }
  std::vector<uint8_t> body;
  SMPP::encodeSubmitSMBody(SMPP::DELIVER_SM, sm, body);
  return body;
}

// ---- Protocol (serving thread, stateMutex_ held) -------------------------------

FakeSmsc::OutItem FakeSmsc::pduLocked(ConnectionState&, uint32_t commandId, uint32_t status,
                                      uint32_t sequence, const std::vector<uint8_t>& body) {
  return OutItem{OutItem::Kind::Bytes, SMPP::encodePDU(commandId, status, sequence, body)};
}

void FakeSmsc::handlePDULocked(int connection, const SMPP::PDUHeader& header, const uint8_t* body,
                               size_t bodyLength) {
  ConnectionState& state = connections_[connection];
  state.received.push_back(ReceivedPDU{header.commandId, header.commandStatus,
                                       header.sequenceNumber,
                                       std::vector<uint8_t>(body, body + bodyLength)});
  switch (header.commandId) {
    case SMPP::BIND_RECEIVER:
    case SMPP::BIND_TRANSMITTER:
    case SMPP::BIND_TRANSCEIVER:
      handleBindLocked(state, header, body, bodyLength);
      break;
    case SMPP::SUBMIT_SM:
    case SMPP::DATA_SM:
      handleSubmitLocked(state, header, body, bodyLength);
      break;
    case SMPP::ENQUIRE_LINK:
      if (behaviour_.answerEnquireLink) {
        state.outbox.push_back(
            pduLocked(state, SMPP::ENQUIRE_LINK_RESP, 0, header.sequenceNumber, {}));
      }
      break;
    case SMPP::UNBIND:
      state.outbox.push_back(pduLocked(state, SMPP::UNBIND_RESP, 0, header.sequenceNumber, {}));
      state.outbox.push_back(OutItem{OutItem::Kind::Close, {}});
      state.session.bound = false;
      break;
    case SMPP::UNBIND_RESP:
      state.outbox.push_back(OutItem{OutItem::Kind::Close, {}});
      state.session.bound = false;
      break;
    default:
      // Responses (deliver_sm_resp, enquire_link_resp, ...) are only recorded.
      if ((header.commandId & SMPP::RESPONSE_BIT) == 0) {
        state.outbox.push_back(
            pduLocked(state, SMPP::GENERIC_NACK, SMPP::ESME_RINVCMDID, header.sequenceNumber, {}));
      }
      break;
  }
  changedLocked();
}

void FakeSmsc::handleBindLocked(ConnectionState& state, const SMPP::PDUHeader& header,
                                const uint8_t* body, size_t bodyLength) {
  const uint32_t response = header.commandId | SMPP::RESPONSE_BIT;
  SMPP::BindRequest request;
  if (!SMPP::parseBindBody(body, bodyLength, request)) {
    state.outbox.push_back(
        pduLocked(state, response, SMPP::ESME_RBINDFAIL, header.sequenceNumber, {}));
    return;
  }
  state.session.systemId = request.systemId;
  state.session.password = request.password;
  state.session.bindCommand = header.commandId;
  switch (behaviour_.bindAnswer) {
    case BindAnswer::Silent:
      return;
    case BindAnswer::Refuse:
      state.outbox.push_back(
          pduLocked(state, response, behaviour_.bindRefusalStatus, header.sequenceNumber, {}));
      return;
    case BindAnswer::Accept:
      break;
  }
  std::vector<uint8_t> out;
  SMPP::encodeBindResponseBody("FakeSMSC", SMPP::INTERFACE_VERSION_34, out);
  state.outbox.push_back(pduLocked(state, response, 0, header.sequenceNumber, out));
  state.session.bound = true;
  releaseHeldReceiptsLocked(state);
}

void FakeSmsc::handleSubmitLocked(ConnectionState& state, const SMPP::PDUHeader& header,
                                  const uint8_t* body, size_t bodyLength) {
  const uint32_t response = header.commandId | SMPP::RESPONSE_BIT;
  const int connection = state.session.connection;
  ++state.submitCount;
  if (behaviour_.resetAfterSubmits > 0 && state.submitCount >= behaviour_.resetAfterSubmits) {
    state.outbox.push_back(OutItem{OutItem::Kind::Reset, {}});
    return;
  }
  SMPP::T_SubmitSM sm;
  uint32_t error = 0;
  if (!SMPP::parseSubmitSM(header.commandId, body, bodyLength, sm, false, error, 0)) {
    state.outbox.push_back(pduLocked(state, response, error, header.sequenceNumber, {}));
    return;
  }
  if (behaviour_.submitAnswer == SubmitAnswer::Never) {
    submits_.push_back(Submit{connection, header.sequenceNumber, "", sm});
    return;
  }
  std::vector<OutItem> items;
  std::string messageId;
  if (behaviour_.submitStatus != SMPP::ESME_ROK) {
    items.push_back(pduLocked(state, response, behaviour_.submitStatus, header.sequenceNumber, {}));
  } else {
    messageId = behaviour_.messageIdPrefix + std::to_string(nextMessageId_++);
    std::vector<uint8_t> idBody;
    SMPP::encodeMessageIdBody(messageId, idBody);
    OutItem answer = pduLocked(state, response, 0, header.sequenceNumber, idBody);
    std::vector<OutItem> receipt;
    if (behaviour_.receipt != ReceiptTiming::None) {
      // A receipt travels from the handset: source and destination swap.
      routeReceiptLocked(connection, state.session.systemId,
                         receiptBodyLocked(messageId, sm.destination_addr, sm.source_addr),
                         receipt);
    }
    if (behaviour_.receipt == ReceiptTiming::BeforeResponse) {
      items.insert(items.end(), receipt.begin(), receipt.end());
      items.push_back(std::move(answer));
    } else {
      items.push_back(std::move(answer));
      items.insert(items.end(), receipt.begin(), receipt.end());
    }
  }
  submits_.push_back(Submit{connection, header.sequenceNumber, messageId, sm});
  if (behaviour_.submitAnswer == SubmitAnswer::Delayed) {
    due_.emplace(Clock::now() + behaviour_.submitDelay, DueOutput{connection, std::move(items)});
  } else {
    for (auto& item : items) state.outbox.push_back(std::move(item));
  }
}

void FakeSmsc::routeReceiptLocked(int submitter, const std::string& systemId,
                                  std::vector<uint8_t> body, std::vector<OutItem>& sameConnection) {
  if (!behaviour_.receiptOnReceiver) {
    ConnectionState& state = connections_[submitter];
    sameConnection.push_back(pduLocked(state, SMPP::DELIVER_SM, 0, state.nextSequence++, body));
    return;
  }
  for (auto& [connection, state] : connections_) {
    if (connection != submitter && state.session.systemId == systemId &&
        canReceive(state.session)) {
      // Another bind has no response to order against; it gets the receipt
      // at once, which is what makes a receipt overtake its response.
      state.outbox.push_back(pduLocked(state, SMPP::DELIVER_SM, 0, state.nextSequence++, body));
      return;
    }
  }
  heldReceipts_[systemId].push_back(std::move(body));
}

void FakeSmsc::releaseHeldReceiptsLocked(ConnectionState& state) {
  if (!canReceive(state.session)) return;
  auto held = heldReceipts_.find(state.session.systemId);
  if (held == heldReceipts_.end()) return;
  for (const auto& body : held->second) {
    state.outbox.push_back(pduLocked(state, SMPP::DELIVER_SM, 0, state.nextSequence++, body));
  }
  heldReceipts_.erase(held);
}

// ---- Serving thread --------------------------------------------------------------

void FakeSmsc::serve() {
  std::vector<pollfd> fds;
  std::vector<int> order;  // connection of fds[i + 2]
  for (;;) {
    auto now = Clock::now();
    Clock::time_point nextTimer = now + std::chrono::seconds(1);
    {
      std::lock_guard<std::mutex> lock(stateMutex_);
      if (stopping_) return;
      while (!due_.empty() && due_.begin()->first <= now) {
        DueOutput out = std::move(due_.begin()->second);
        due_.erase(due_.begin());
        auto it = connections_.find(out.connection);
        if (it == connections_.end() || !it->second.session.open) continue;
        for (auto& item : out.items) it->second.outbox.push_back(std::move(item));
      }
      if (!due_.empty()) nextTimer = std::min(nextTimer, due_.begin()->first);
      // Hand queued output to the connections that are not busy writing.
      for (auto& [connection, io] : io_) {
        auto& outbox = connections_[connection].outbox;
        while (io.output.empty() && !io.resetWhenWritten && !io.closeWhenWritten &&
               !outbox.empty()) {
          OutItem item = std::move(outbox.front());
          outbox.pop_front();
          if (item.kind == OutItem::Kind::Bytes) {
            io.output = std::move(item.bytes);
            io.written = 0;
          } else if (item.kind == OutItem::Kind::Reset) {
            io.resetWhenWritten = true;
          } else {
            io.closeWhenWritten = true;
          }
        }
      }
    }
    // Faults and closes that wait for nothing more.
    for (auto it = io_.begin(); it != io_.end();) {
      ConnectionIo& io = it->second;
      if (io.output.empty() && (io.resetWhenWritten || io.closeWhenWritten)) {
        closeIo(it->first, io, io.resetWhenWritten);
        it = io_.erase(it);
      } else {
        ++it;
      }
    }

    fds.assign({pollfd{listenFd_, POLLIN, 0}, pollfd{wakeFd_, POLLIN, 0}});
    order.clear();
    for (auto& [connection, io] : io_) {
      short events = POLLIN;
      if (!io.output.empty()) {
        if (io.nextChunkAt <= now) {
          events |= POLLOUT;
        } else {
          nextTimer = std::min(nextTimer, io.nextChunkAt);
        }
      }
      fds.push_back(pollfd{io.fd, events, 0});
      order.push_back(connection);
    }
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(nextTimer - now).count();
    if (poll(fds.data(), fds.size(), static_cast<int>(std::max<int64_t>(wait, 0))) < 0 &&
        errno != EINTR) {
      return;
    }
    if (fds[1].revents & POLLIN) {
      uint64_t count;
      [[maybe_unused]] ssize_t n = read(wakeFd_, &count, sizeof count);
    }
    for (size_t i = 0; i < order.size(); ++i) {
      const int connection = order[i];
      auto it = io_.find(connection);
      if (it == io_.end()) continue;
      const short revents = fds[i + 2].revents;
      bool alive = true;
      if (revents & (POLLIN | POLLHUP | POLLERR)) alive = readInput(connection, it->second);
      if (alive && (revents & POLLOUT)) alive = writeOutput(it->second);
      if (!alive) {
        closeIo(connection, it->second, false);
        io_.erase(it);
      }
    }
    if (fds[0].revents & POLLIN) acceptAll();
  }
}

void FakeSmsc::acceptAll() {
  for (;;) {
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::lock_guard<std::mutex> lock(stateMutex_);
    const int connection = nextConnection_++;
    ConnectionState& state = connections_[connection];
    state.session.connection = connection;
    state.session.open = true;
    io_[connection].fd = fd;
    changedLocked();
    changed_.notify_all();
  }
}

bool FakeSmsc::readInput(int connection, ConnectionIo& io) {
  uint8_t buffer[16384];
  bool alive = true;
  for (;;) {
    ssize_t n = recv(io.fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      io.input.insert(io.input.end(), buffer, buffer + n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n < 0 && errno == EINTR) continue;
    alive = false;
    break;
  }
  std::lock_guard<std::mutex> lock(stateMutex_);
  size_t offset = 0;
  while (io.input.size() - offset >= SMPP::HEADER_LENGTH) {
    const SMPP::PDUHeader header = SMPP::decodeHeader(io.input.data() + offset);
    if (header.commandLength < SMPP::HEADER_LENGTH || header.commandLength > SMPP::MAX_PDU_LENGTH) {
      alive = false;  // a peer that lost framing cannot be read further
      break;
    }
    if (io.input.size() - offset < header.commandLength) break;
    handlePDULocked(connection, header, io.input.data() + offset + SMPP::HEADER_LENGTH,
                    header.commandLength - SMPP::HEADER_LENGTH);
    offset += header.commandLength;
  }
  io.input.erase(io.input.begin(), io.input.begin() + offset);
  changed_.notify_all();
  return alive;
}

bool FakeSmsc::writeOutput(ConnectionIo& io) {
  size_t chunk;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    chunk = behaviour_.writeChunk;
  }
  while (io.written < io.output.size()) {
    size_t length = io.output.size() - io.written;
    if (chunk > 0) length = std::min(length, chunk);
    ssize_t n = send(io.fd, io.output.data() + io.written, length, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
      if (errno == EINTR) continue;
      return false;
    }
    io.written += static_cast<size_t>(n);
    if (chunk > 0) {
      io.nextChunkAt = Clock::now() + kChunkPause;
      break;
    }
  }
  if (io.written >= io.output.size()) {
    io.output.clear();
    io.written = 0;
  }
  return true;
}

void FakeSmsc::closeIo(int connection, ConnectionIo& io, bool reset) {
  if (reset) {
    linger hard{1, 0};
    setsockopt(io.fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  }
  close(io.fd);
  std::lock_guard<std::mutex> lock(stateMutex_);
  ConnectionState& state = connections_[connection];
  state.session.open = false;
  state.session.bound = false;
  state.outbox.clear();
  changedLocked();
  changed_.notify_all();
}

}  // namespace testing_support
