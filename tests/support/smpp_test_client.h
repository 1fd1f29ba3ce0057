#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

// One SMPP PDU as seen on the wire.
struct WirePDU {
  uint32_t commandId = 0;
  uint32_t commandStatus = 0;
  uint32_t sequenceNumber = 0;
  std::string body;
};

// A deliberately simple, blocking SMPP client for tests: it encodes its
// PDUs by hand (independently of the gateway's codec) and reads whole PDUs
// with a timeout. One thread per client.
class SmppTestClient {
 public:
  // Connects to 127.0.0.1:`port`, optionally from `localAddress` (127.0.0.2, ...).
  explicit SmppTestClient(int port, const std::string& localAddress = "");
  // Speaks on `fd`, a connected descriptor it then owns (one end of a socket pair).
  struct Adopt {};
  SmppTestClient(Adopt, int fd) : fd_(fd) {}
  ~SmppTestClient();
  SmppTestClient(const SmppTestClient&) = delete;
  SmppTestClient& operator=(const SmppTestClient&) = delete;

  bool connected() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // Sends one PDU; returns its sequence number (a fresh one when `sequence` is 0).
  uint32_t send(uint32_t commandId, const std::string& body = "", uint32_t sequence = 0,
                uint32_t status = 0);
  bool sendRaw(const std::string& bytes);
  // The next PDU, or nothing on timeout or close.
  std::optional<WirePDU> read(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Reads PDUs until one with `commandId` arrives (others are dropped).
  std::optional<WirePDU> readUntil(uint32_t commandId,
                                   std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // True when the server closed the connection within the timeout.
  bool waitClosed(std::chrono::milliseconds timeout = std::chrono::seconds(5));

  // bind_transmitter (0x02), bind_receiver (0x01) or bind_transceiver (0x09);
  // returns the response (status, body) or nothing.
  std::optional<WirePDU> bind(uint32_t commandId, const std::string& systemId,
                              const std::string& password, uint8_t interfaceVersion = 0x34,
                              const std::string& systemType = "");

  static std::string cString(const std::string& text) { return text + std::string(1, '\0'); }

 private:
  int fd_ = -1;
  uint32_t nextSequence_ = 1;
  std::string pending_;
};

// A bind body as clients send it: system_id, password, system_type,
// interface_version, addr_ton 0, addr_npi 0, empty address_range.
std::string bindBody(const std::string& systemId, const std::string& password,
                     const std::string& systemType, uint8_t interfaceVersion);

// A submit_sm body: empty service_type, ton/npi 1/1 addresses, no schedule
// or validity, data_coding 0 and `shortMessage` as the octets.
std::string submitBody(const std::string& source, const std::string& destination,
                       const std::string& shortMessage, uint8_t registeredDelivery = 0,
                       uint8_t esmClass = 0);

}  // namespace testing_support
