#include "tests/support/smpp_test_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/loopback.h"

namespace testing_support {
namespace {

using Clock = std::chrono::steady_clock;

uint32_t getU32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v = v << 8 | static_cast<uint8_t>(s[at + i]);
  return v;
}

// Milliseconds left until `deadline` (a part counts whole), at least 0.
int msLeft(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

std::string bindBody(const std::string& systemId, const std::string& password,
                     const std::string& systemType, uint8_t interfaceVersion) {
  // addr_ton 0, addr_npi 0 and an empty address_range after the version.
  return SmppTestClient::cString(systemId) + SmppTestClient::cString(password) +
         SmppTestClient::cString(systemType) + static_cast<char>(interfaceVersion) +
         std::string(3, '\0');
}

std::string submitBody(const std::string& source, const std::string& destination,
                       const std::string& shortMessage, uint8_t registeredDelivery,
                       uint8_t esmClass) {
  // service_type, then each address after its ton/npi.
  return std::string(1, '\0') + "\x01\x01" + SmppTestClient::cString(source) + "\x01\x01" +
         SmppTestClient::cString(destination) + static_cast<char>(esmClass) +
         std::string(4, '\0') +  // protocol_id, priority_flag, schedule and validity (empty)
         static_cast<char>(registeredDelivery) +
         std::string(3, '\0') +  // replace_if_present, data_coding, sm_default_msg_id
         static_cast<char>(shortMessage.size()) + shortMessage;
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
  for (uint32_t v : {static_cast<uint32_t>(16 + body.size()), commandId, status, sequence})
    for (int shift = 24; shift >= 0; shift -= 8) pdu.push_back(static_cast<char>(v >> shift));
  sendRaw(pdu + body);
  return sequence;
}

bool SmppTestClient::sendRaw(const std::string& bytes) { return fd_ >= 0 && writeAll(fd_, bytes); }

std::optional<WirePDU> SmppTestClient::read(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (pending_.size() >= 16) {
      const uint32_t length = getU32(pending_, 0);
      if (length < 16) return std::nullopt;
      if (pending_.size() >= length) {
        WirePDU pdu{getU32(pending_, 4), getU32(pending_, 8), getU32(pending_, 12),
                    pending_.substr(16, length - 16)};
        pending_.erase(0, length);
        return pdu;
      }
    }
    pollfd p{fd_, POLLIN, 0};
    const int left = msLeft(deadline);
    if (left == 0 || fd_ < 0 || poll(&p, 1, left) <= 0) return std::nullopt;
    char buf[65536];
    const ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return std::nullopt;
    pending_.append(buf, static_cast<size_t>(n));
  }
}

std::optional<WirePDU> SmppTestClient::readUntil(uint32_t commandId,
                                                 std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (std::optional<WirePDU> pdu; msLeft(deadline) > 0;) {
    if (!(pdu = read(std::chrono::milliseconds(msLeft(deadline))))) return std::nullopt;
    if (pdu->commandId == commandId) return pdu;
  }
  return std::nullopt;
}

bool SmppTestClient::waitClosed(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  char buf[4096];
  while (fd_ >= 0) {
    pollfd p{fd_, POLLIN, 0};
    const int left = msLeft(deadline);
    if (left == 0 || poll(&p, 1, left) <= 0) return false;
    const ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n == 0) return true;
    if (n < 0) return errno == ECONNRESET;
  }
  return true;
}

std::optional<WirePDU> SmppTestClient::bind(uint32_t commandId, const std::string& systemId,
                                            const std::string& password, uint8_t interfaceVersion,
                                            const std::string& systemType) {
  const uint32_t seq = send(commandId, bindBody(systemId, password, systemType, interfaceVersion));
  auto response = readUntil(commandId | 0x80000000u);
  return response && response->sequenceNumber == seq ? response : std::nullopt;
}

}  // namespace testing_support
