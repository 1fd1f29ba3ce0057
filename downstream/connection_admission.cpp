#include "downstream/connection_admission.h"

#include "base/log.h"
#include "downstream/address_rules.h"

namespace {
constexpr const char* kClassName = "SMPPServer";
constexpr const char* kFunction = "run";
}  // namespace

bool ConnectionAdmission::isBlocked(const std::string& address, uint64_t now) const {
  auto it = blockedUntil_.find(address);
  return it != blockedUntil_.end() && it->second > now;
}

int ConnectionAdmission::noBindCount(const std::string& address) {
  std::lock_guard<std::mutex> lock(noBindMutex_);
  auto it = noBindCounts_.find(address);
  return it == noBindCounts_.end() ? 0 : it->second;
}

void ConnectionAdmission::notifyBindAttemptNotReceived(const std::string& address) {
  std::lock_guard<std::mutex> lock(noBindMutex_);
  int count = ++noBindCounts_[address];
  logMessage(LOG_INFO, owner_, kClassName, "notifyEvent_ESMEBindAttemptNotReceived", "IP %s count=%d",
             address.c_str(), count);
}

void ConnectionAdmission::clearWindowIfDue(uint64_t now) {
  if (windowOpen_ && now - windowStart_ <= kAttemptWindowMicros) return;
  if (windowOpen_) {
    addressAttempts_.clear();
    prefixAttempts_.clear();
    for (auto it = blockedUntil_.begin(); it != blockedUntil_.end();) {
      if (it->second + kForgetExpiredBlockMicros <= now) {
        blockLogCount_.erase(it->first);
        it = blockedUntil_.erase(it);
      } else {
        ++it;
      }
    }
    std::lock_guard<std::mutex> lock(noBindMutex_);
    noBindCounts_.clear();
  }
  windowOpen_ = true;
  windowStart_ = now;
}

// A block is never shortened by a later, shorter penalty.
void ConnectionAdmission::blockUntil(const std::string& address, uint64_t until) {
  auto [it, inserted] = blockedUntil_.try_emplace(address, until);
  if (!inserted && it->second < until) it->second = until;
}

ConnectionAdmission::Verdict ConnectionAdmission::decide(const Request& request, uint64_t now) {
  const std::string& address = request.address;
  const char* ip = address.c_str();
  bool trusted = isInternalAddress(address) || request.whitelisted;
  if (request.whitelisted)
    logMessage(LOG_INFO, owner_, kClassName, kFunction,
               "Connection from whitelisted IP - do not block [%s]", ip);

  if (now < windowStart_) windowStart_ = now;  // the wall clock stepped back
  clearWindowIfDue(now);
  int attempts = ++addressAttempts_[address];
  int prefixAttempts = ++prefixAttempts_[address.substr(0, kPrefixLength)];

  if ((attempts >= kAddressFloodAttempts || prefixAttempts >= kPrefixFloodAttempts) && !trusted) {
    auto it = blockedUntil_.find(address);
    if (it == blockedUntil_.end() || it->second <= now)
      blockedUntil_[address] = now + kFloodBlockMicros;
    else
      it->second += kFloodExtensionMicros;
  }

  if (request.bytesWaiting > kExcessBytes) {
    if (!isBlocked(address, now))
      logMessage(LOG_INFO, owner_, kClassName, kFunction,
                 "Connection IP blocked due to excessive number of bytes [%s] [byte to read=%d]", ip,
                 request.bytesWaiting);
    blockUntil(address, now + kPenaltyBlockMicros);
  }

  if (!trusted) {
    std::lock_guard<std::mutex> lock(noBindMutex_);
    auto it = noBindCounts_.find(address);
    if (it != noBindCounts_.end() && it->second >= kNoBindLimit) {
      if (!isBlocked(address, now))
        logMessage(LOG_INFO, owner_, kClassName, kFunction,
                   "Connection IP blocked due to no bind request for 3 connection attempts [%s] "
                   "[byte to read=%d]",
                   ip, request.bytesWaiting);
      blockUntil(address, now + kPenaltyBlockMicros);
    }
  }

  auto blocked = blockedUntil_.find(address);
  if (blocked != blockedUntil_.end() && blocked->second <= now) {
    logMessage(LOG_INFO, owner_, kClassName, kFunction,
               "Expired blocking of connect atempts from [%s]", ip);
    blockedUntil_.erase(blocked);
    blockLogCount_.erase(address);
  }

  if (request.totalConnections >= maxConnections_) {
    logMessage(LOG_WARNING, owner_, kClassName, kFunction,
               "Client connection limit reached. REJECTING connection - %d [%s]", request.fd, ip);
    return Verdict::TotalLimit;
  }
  blocked = blockedUntil_.find(address);
  if (blocked != blockedUntil_.end()) {
    if (++blockLogCount_[address] == 1)
      logMessage(LOG_INFO, owner_, kClassName, kFunction, "BLOCKING connection for %.1fs - %d [%s]",
                 static_cast<double>(blocked->second - now) / 1e6, request.fd, ip);
    return Verdict::Blocked;
  }
  if (whitelistOnly_ && !trusted) {
    logMessage(LOG_WARNING, owner_, kClassName, kFunction,
               "IP not in whitelist. REJECTING connection - %d [%s]", request.fd, ip);
    return Verdict::NotWhitelisted;
  }
  if (!trusted && request.addressConnections >= maxConnectionsPerIp_) {
    logMessage(LOG_INFO, owner_, kClassName, kFunction, "DENYING connection - %d [%s]", request.fd, ip);
    return Verdict::AddressLimit;
  }
  return Verdict::Accept;
}
