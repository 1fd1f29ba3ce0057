#include "tests/support/smpp_test_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/loopback.h"

namespace testing_support {
namespace {

void putU32(std::string& out, uint32_t v) {
  out.push_back(static_cast<char>(v >> 24));
  out.push_back(static_cast<char>(v >> 16));
  out.push_back(static_cast<char>(v >> 8));
  out.push_back(static_cast<char>(v));
}

uint32_t getU32(const std::string& s, size_t at) {
  auto b = [&](size_t i) { return static_cast<uint32_t>(static_cast<uint8_t>(s[at + i])); };
  return b(0) << 24 | b(1) << 16 | b(2) << 8 | b(3);
}

}  // namespace

std::string bindBody(const std::string& systemId, const std::string& password,
                     const std::string& systemType, uint8_t interfaceVersion) {
  std::string body = SmppTestClient::cString(systemId) + SmppTestClient::cString(password) +
                     SmppTestClient::cString(systemType);
  body.push_back(static_cast<char>(interfaceVersion));
  body.push_back('\0');  // addr_ton
  body.push_back('\0');  // addr_npi
  body.push_back('\0');  // address_range
  return body;
}

std::string submitBody(const std::string& source, const std::string& destination,
                       const std::string& shortMessage, uint8_t registeredDelivery,
                       uint8_t esmClass) {
  std::string body(1, '\0');  // service_type
  body += std::string("\x01\x01", 2) + SmppTestClient::cString(source);
  body += std::string("\x01\x01", 2) + SmppTestClient::cString(destination);
  body.push_back(static_cast<char>(esmClass));
  body += std::string(3, '\0');  // protocol_id, priority_flag, schedule_delivery_time
  body.push_back('\0');          // validity_period
  body.push_back(static_cast<char>(registeredDelivery));
  body += std::string(3, '\0');  // replace_if_present, data_coding, sm_default_msg_id
  body.push_back(static_cast<char>(shortMessage.size()));
  return body + shortMessage;
}

SmppTestClient::SmppTestClient(int port, const std::string& localAddress)
    : fd_(connectTcp("127.0.0.1", port, localAddress)) {}

SmppTestClient::~SmppTestClient() {
  if (fd_ >= 0) close(fd_);
}

uint32_t SmppTestClient::send(uint32_t commandId, const std::string& body, uint32_t sequence,
                              uint32_t status) {
  if (sequence == 0) sequence = nextSequence_++;
  std::string pdu;
  putU32(pdu, static_cast<uint32_t>(16 + body.size()));
  putU32(pdu, commandId);
  putU32(pdu, status);
  putU32(pdu, sequence);
  pdu += body;
  sendRaw(pdu);
  return sequence;
}

bool SmppTestClient::sendRaw(const std::string& bytes) { return fd_ >= 0 && writeAll(fd_, bytes); }

std::optional<WirePDU> SmppTestClient::read(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (pending_.size() >= 16) {
      uint32_t length = getU32(pending_, 0);
      if (length < 16) return std::nullopt;
      if (pending_.size() >= length) {
        WirePDU pdu{getU32(pending_, 4), getU32(pending_, 8), getU32(pending_, 12),
                    pending_.substr(16, length - 16)};
        pending_.erase(0, length);
        return pdu;
      }
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || fd_ < 0) return std::nullopt;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
    char buf[65536];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return std::nullopt;
    pending_.append(buf, static_cast<size_t>(n));
  }
}

std::optional<WirePDU> SmppTestClient::readUntil(uint32_t commandId, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    auto pdu = read(left);
    if (!pdu) return std::nullopt;
    if (pdu->commandId == commandId) return pdu;
  }
}

bool SmppTestClient::waitClosed(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  char buf[4096];
  while (fd_ >= 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n == 0) return true;
    if (n < 0) return errno == ECONNRESET;
  }
  return true;
}

std::optional<WirePDU> SmppTestClient::bind(uint32_t commandId, const std::string& systemId,
                                            const std::string& password, uint8_t interfaceVersion,
                                            const std::string& systemType) {
  uint32_t seq = send(commandId, bindBody(systemId, password, systemType, interfaceVersion));
  auto response = readUntil(commandId | 0x80000000u);
  if (response && response->sequenceNumber != seq) return std::nullopt;
  return response;
}

}  // namespace testing_support
