#pragma once

#include <nlohmann/json.hpp>
#include <string>

// Settings of the two HTTP lookup services, read once at start-up from the
// configuration's "lookup" and "eli" objects. A missing key takes its
// default; a value of the wrong type or out of range takes the default too,
// with a WARNING, so a typo in one key does not stop the daemon. Plain
// values: read on the main thread, then copied into the service.

// What both services share.
struct HTTPServiceSettings {
  bool enabled = false;             // "enabled"
  std::string url;                  // "url"
  std::string authHeader;           // "auth_header", one header line, verbatim
  std::string authUsername;         // "auth_username", read only
  std::string authPassword;         // "auth_password", read only
  int maxQueueSize = 1000;          // "max_queue_size"
  int workerCount = 16;             // "worker_count", 1 .. 256
  int workerCountMin = 1;           // "worker_count_min", 1 .. worker_count
  int connectTimeoutMs = 3000;      // "connect_timeout_ms"
  int requestTimeoutMs = 5000;      // "request_timeout_ms", the whole request
};

struct LookupSettings : HTTPServiceSettings {
  bool useMSISDNCache = true;   // "use_msisdn_cache"
  int cachePeriodMinutes = 60;  // "cache_period"; an answer is kept this long
  int cacheMaxEntries = 100000; // "cache_max_entries"; the oldest goes first

  static LookupSettings fromSection(const nlohmann::json& section);
};

struct ELISettings : HTTPServiceSettings {
  static ELISettings fromSection(const nlohmann::json& section);
};
