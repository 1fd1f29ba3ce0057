#include "downstream/address_rules.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace {

bool parseIPv4(const std::string& text, uint32_t& hostOrder) {
  in_addr addr{};
  if (inet_aton(text.c_str(), &addr) == 0) return false;
  hostOrder = ntohl(addr.s_addr);
  return true;
}

}  // namespace

bool isInternalAddress(const std::string& address) {
  uint32_t a = 0;
  if (!parseIPv4(address, a)) return false;
  // 172.30.0.0/16 and 172.31.0.0/16 together are 172.30.0.0/15.
  return (a & 0xFFFE0000u) == 0xAC1E0000u;
}

bool allowedIPMatches(const std::string& entry, const std::string& address) {
  std::string entryAddress = entry;
  long prefix = 32;
  size_t slash = entry.find('/');
  if (slash != std::string::npos) {
    entryAddress = entry.substr(0, slash);
    const char* digits = entry.c_str() + slash + 1;
    errno = 0;
    prefix = strtol(digits, nullptr, 10);
    if (errno == ERANGE) return false;
  }
  if (prefix <= 0 || prefix > 32) return false;
  uint32_t peer = 0, allowed = 0;
  if (!parseIPv4(address, peer) || !parseIPv4(entryAddress, allowed)) return false;
  uint32_t mask = prefix == 32 ? 0xFFFFFFFFu : ~((1u << (32 - prefix)) - 1u);
  return ((peer ^ allowed) & mask) == 0;
}
