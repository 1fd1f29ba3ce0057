#pragma once

#include <cstdint>
#include <string>

// One upstream bind slot as derived from the configuration: where and how
// to bind, and the slot's connection bookkeeping. A value: the upstream
// manager keeps the live table under its entries mutex and hands out copies.
struct SMSCEntry {
  uint64_t smscid = 0;
  std::string host;
  int32_t port = 2775;
  uint8_t interfaceVersion = 0x34;
  std::string systemId;
  std::string password;
  std::string systemType;
  int32_t bindType = 2;  // 0 receiver, 1 transmitter, 2 transceiver
  uint32_t enquireLinkInterval = 60;
  uint32_t responseTimeout = 60;
  bool adminDown = false;
  uint32_t tpsLimit = 32000;
  uint64_t nextConnectTime = 0;  // µs
  uint64_t connectAttempts = 0;  // since a connection was last established
  bool sessionActive = false;    // a session object exists for the slot
};
