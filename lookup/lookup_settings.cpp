#include "lookup/lookup_settings.h"

#include "base/log.h"

namespace {

class SectionReader {
 public:
  SectionReader(const nlohmann::json& section, const char* className)
      : section_(section), className_(className) {}

  const nlohmann::json* member(const char* key) const {
    if (!section_.is_object()) return nullptr;
    auto it = section_.find(key);
    return it == section_.end() ? nullptr : &*it;
  }

  void warn(const char* key, const char* expected) const {
    logMessage(LOG_WARNING, nullptr, className_, "init",
               "Setting \"%s\" is not %s: using its default", key, expected);
  }

  void read(const char* key, bool& value) const {
    const nlohmann::json* m = member(key);
    if (m == nullptr) return;
    if (m->is_boolean()) {
      value = m->get<bool>();
    } else {
      warn(key, "true or false");
    }
  }

  void read(const char* key, std::string& value) const {
    const nlohmann::json* m = member(key);
    if (m == nullptr) return;
    if (m->is_string()) {
      value = m->get<std::string>();
    } else {
      warn(key, "a string");
    }
  }

  void read(const char* key, int& value, int low, int high) const {
    const nlohmann::json* m = member(key);
    if (m == nullptr) return;
    if (m->is_number_integer() && m->get<int64_t>() >= low && m->get<int64_t>() <= high) {
      value = static_cast<int>(m->get<int64_t>());
    } else {
      const std::string range = "an integer from " + std::to_string(low) + " to " + std::to_string(high);
      warn(key, range.c_str());
    }
  }

 private:
  const nlohmann::json& section_;
  const char* className_;
};

constexpr int kMaxWorkers = 256;
constexpr int kMaxMillis = 600000;

void readShared(const SectionReader& r, HTTPServiceSettings& s) {
  r.read("enabled", s.enabled);
  r.read("url", s.url);
  r.read("auth_header", s.authHeader);
  r.read("auth_username", s.authUsername);
  r.read("auth_password", s.authPassword);
  r.read("max_queue_size", s.maxQueueSize, 0, 10000000);
  r.read("worker_count", s.workerCount, 1, kMaxWorkers);
  r.read("worker_count_min", s.workerCountMin, 1, s.workerCount);
  r.read("connect_timeout_ms", s.connectTimeoutMs, 1, kMaxMillis);
  r.read("request_timeout_ms", s.requestTimeoutMs, 1, kMaxMillis);
  if (s.workerCountMin > s.workerCount) s.workerCountMin = s.workerCount;
}

}  // namespace

LookupSettings LookupSettings::fromSection(const nlohmann::json& section) {
  SectionReader reader(section, "MSISDNLookupMaster");
  LookupSettings s;
  readShared(reader, s);
  reader.read("use_msisdn_cache", s.useMSISDNCache);
  reader.read("cache_period", s.cachePeriodMinutes, 0, 525600);
  reader.read("cache_max_entries", s.cacheMaxEntries, 0, 100000000);
  return s;
}

ELISettings ELISettings::fromSection(const nlohmann::json& section) {
  SectionReader reader(section, "ExtLogicIntegrationMaster");
  ELISettings s;
  readShared(reader, s);
  return s;
}
