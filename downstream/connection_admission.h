#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

// Decides, before a byte is read, whether the listener keeps a freshly
// accepted customer connection: attempt floods per address and per address
// prefix, bytes sent before any exchange, connections that never bound,
// blocking with its expiry, whitelist-only mode, and the per-address and
// total connection limits. It writes the decision's log lines itself.
//
// decide() and the settings are called on the listener loop thread only;
// notifyBindAttemptNotReceived() may be called from any thread (noBindMutex_
// guards the no-bind counters). Times are microseconds passed in by the
// caller.
class ConnectionAdmission {
 public:
  enum class Verdict { Accept, TotalLimit, Blocked, NotWhitelisted, AddressLimit };

  struct Request {
    std::string address;           // dotted IPv4 text of the peer
    int fd = -1;                   // for the log lines
    int bytesWaiting = 0;          // FIONREAD on the new socket
    bool whitelisted = false;      // the whitelist holds the address or "*"
    size_t totalConnections = 0;   // connections open now
    int addressConnections = 0;    // connections open now from this address
  };

  static constexpr uint64_t kAttemptWindowMicros = 10000000;
  static constexpr int kAddressFloodAttempts = 11;
  static constexpr int kPrefixFloodAttempts = 26;
  static constexpr size_t kPrefixLength = 6;
  static constexpr uint64_t kFloodBlockMicros = 130000000;
  static constexpr uint64_t kFloodExtensionMicros = 5000000;
  static constexpr int kExcessBytes = 300;
  static constexpr uint64_t kPenaltyBlockMicros = 300000000;
  static constexpr int kNoBindLimit = 3;
  // An expired block is forgotten this long after its end even if the
  // address never comes back, so the block list stays bounded; until then a
  // returning address still gets its "Expired blocking" line.
  static constexpr uint64_t kForgetExpiredBlockMicros = 3600000000ULL;

  // `owner` is the object named in the log lines (the listener).
  explicit ConnectionAdmission(const void* owner = nullptr) : owner_(owner) {}

  Verdict decide(const Request& request, uint64_t now);

  // A connection from `address` ended without a bind request.
  void notifyBindAttemptNotReceived(const std::string& address);

  void setMaxConnectionsPerIp(int limit) { maxConnectionsPerIp_ = limit; }
  int maxConnectionsPerIp() const { return maxConnectionsPerIp_; }
  void setMaxConnections(size_t limit) { maxConnections_ = limit; }
  size_t maxConnections() const { return maxConnections_; }
  void setWhitelistOnly(bool on) { whitelistOnly_ = on; }
  bool whitelistOnly() const { return whitelistOnly_; }

  // Whether `address` is blocked at `now` (tests and status).
  bool isBlocked(const std::string& address, uint64_t now) const;
  int noBindCount(const std::string& address);
  size_t blockListSize() const { return blockedUntil_.size(); }

 private:
  void clearWindowIfDue(uint64_t now);
  void blockUntil(const std::string& address, uint64_t until);

  const void* owner_;
  int maxConnectionsPerIp_ = 20;
  size_t maxConnections_ = 1000;
  bool whitelistOnly_ = false;

  // Loop thread only.
  std::unordered_map<std::string, uint64_t> blockedUntil_;
  std::unordered_map<std::string, int> blockLogCount_;
  std::unordered_map<std::string, int> addressAttempts_;
  std::unordered_map<std::string, int> prefixAttempts_;
  uint64_t windowStart_ = 0;
  bool windowOpen_ = false;

  std::mutex noBindMutex_;
  std::unordered_map<std::string, int> noBindCounts_;  // guarded by noBindMutex_
};
