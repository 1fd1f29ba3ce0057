#include "tracking/tracker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "admin/metrics.h"
#include "base/log.h"
#include "base/wall_clock.h"
#include "base/whole_file.h"

namespace {

constexpr const char* kClassName = "Tracker";
constexpr const char* kSubmitSMMapGauge = "sysTracker_submitSMMap_size";
constexpr const char* kMessageIDMapGauge = "sysTracker_messageIDMap_size";

// The table sizes are set for every message: their series are found once.
void setSubmitTableGauge(size_t size) {
  static const MetricsRegistry::GaugeHandle gauge =
      MetricsRegistry::instance().gaugeHandle(kSubmitSMMapGauge);
  gauge.set(static_cast<int64_t>(size));
}
void setMessageIdTableGauge(size_t size) {
  static const MetricsRegistry::GaugeHandle gauge =
      MetricsRegistry::instance().gaugeHandle(kMessageIDMapGauge);
  gauge.set(static_cast<int64_t>(size));
}

void appendU64(std::string& out, uint64_t value) {
  char bytes[sizeof value];
  memcpy(bytes, &value, sizeof value);
  out.append(bytes, sizeof bytes);
}

bool readU64(const std::string& data, size_t& pos, uint64_t& value) {
  if (data.size() - pos < sizeof value) return false;
  memcpy(&value, data.data() + pos, sizeof value);
  pos += sizeof value;
  return true;
}

bool readText(const std::string& data, size_t& pos, std::string& text) {
  uint64_t length = 0;
  if (!readU64(data, pos, length)) return false;
  if (length > data.size() - pos) return false;
  text.assign(data, pos, static_cast<size_t>(length));
  pos += static_cast<size_t>(length);
  return true;
}

void writeStderr(const std::string& text) {
  fwrite(text.data(), 1, text.size(), stderr);
  fflush(stderr);
}

}  // namespace

namespace msgtrack {

std::string encode(const MessageIDMap& records) {
  size_t size = sizeof(uint64_t);
  for (const auto& [key, systemId] : records)
    size += 3 * sizeof(uint64_t) + key.message_id.size() + systemId.size();
  std::string out;
  out.reserve(size);
  appendU64(out, records.size());
  for (const auto& [key, systemId] : records) {
    appendU64(out, key.targetId);
    appendU64(out, key.message_id.size());
    out += key.message_id;
    appendU64(out, systemId.size());
    out += systemId;
  }
  return out;
}

LoadResult decode(const std::string& data) {
  LoadResult result;
  size_t pos = 0;
  if (!readU64(data, pos, result.declared)) return result;
  // Each record takes at least 24 bytes, so the file bounds what may be
  // reserved whatever count it announces.
  uint64_t possible = (data.size() - pos) / (3 * sizeof(uint64_t));
  result.records.reserve(static_cast<size_t>(std::min(result.declared, possible)));
  while (result.loaded < result.declared) {
    MessageIDKey key;
    std::string systemId;
    if (!readU64(data, pos, key.targetId) || !readText(data, pos, key.message_id) ||
        !readText(data, pos, systemId))
      return result;
    result.records.insert_or_assign(std::move(key), std::move(systemId));
    ++result.loaded;
  }
  result.complete = pos == data.size();
  return result;
}

}  // namespace msgtrack

Tracker& Tracker::instance() {
  static Tracker tracker("msgtrack");
  return tracker;
}

Tracker::Tracker(std::string fileName, Clock clock)
    : fileName_(std::move(fileName)), clock_(std::move(clock)) {
  if (!fileName_.empty()) loadFromFile(fileName_);
}

Tracker::~Tracker() { shutdown(); }

void Tracker::shutdown() {
  {
    std::lock_guard lock(tablesMutex_);
    if (shutDown_) return;
    shutDown_ = true;
  }
  if (!fileName_.empty()) saveToFile(fileName_);
}

// Entries expire after tens of seconds: the cheap clock is exact enough and
// is read for every submit, response and receipt.
uint64_t Tracker::now() const { return clock_ ? clock_() : coarseWallClockMicros(); }

void Tracker::addSubmitSM(uint64_t sessionid, uint64_t seqno, uint64_t nextSMSC,
                          uint64_t seqno_out) {
  addSubmitSM(sessionid, seqno, nextSMSC, seqno_out, nullptr, 0);
}

void Tracker::addSubmitSMFor(const std::string& systemId, uint64_t targetId, uint64_t sessionid,
                             uint64_t seqno, uint64_t nextSMSC, uint64_t seqno_out) {
  addSubmitSM(sessionid, seqno, nextSMSC, seqno_out, &systemId, targetId);
}

void Tracker::addSubmitSM(uint64_t sessionid, uint64_t seqno, uint64_t nextSMSC,
                          uint64_t seqno_out, const std::string* systemId, uint64_t targetId) {
  uint64_t t = now();
  std::lock_guard lock(tablesMutex_);
  if (systemId != nullptr) setTargetEsmeLocked(*systemId, targetId);
  if (!submitSMMap.empty() && submitSMAdded_ && t > lastAddSubmitSM_ &&
      t - lastAddSubmitSM_ > kSubmitSMMapIdleMicros) {
    logMessage(LOG_WARNING, this, kClassName, "addSubmitSM", "submitSMMap cleared");
    submitSMMap.clear();
  }
  lastAddSubmitSM_ = t;
  submitSMAdded_ = true;
  submitSMMap.insert_or_assign(SubmitSMKey{nextSMSC, seqno_out}, SubmitSMValue{t, seqno, sessionid});
}

bool Tracker::getSessionForSubmitSMResp(uint64_t& sessionid, uint64_t& seqno, uint64_t nextSMSC,
                                        uint64_t seqno_out, Origin* origin) {
  uint64_t t = now();
  std::string diagnosis;
  {
    std::lock_guard lock(tablesMutex_);
    SubmitSMKey key{nextSMSC, seqno_out};
    auto it = submitSMMap.find(key);
    if (it != submitSMMap.end()) {
      sessionid = it->second.sessionid;
      seqno = it->second.seqno;
      uint64_t latency = t >= it->second.timestamp ? t - it->second.timestamp : 0;
      submitSMMap.erase(it);
      setSubmitTableGauge(submitSMMap.size());
      if (origin != nullptr) {
        auto session = sessions_.find(sessionid);
        if (session != sessions_.end()) origin->session = session->second;
        auto systemId = sessionSystemIds_.find(sessionid);
        origin->systemIdKnown = systemId != sessionSystemIds_.end();
        if (origin->systemIdKnown) origin->systemId = systemId->second;
        if (origin->systemIdKnown && origin->mapMessageId != nullptr && !origin->session.expired())
          addMessageIDMappingLocked(nextSMSC, *origin->mapMessageId, origin->systemId);
      }
      logMessage(LOG_FINE, this, kClassName, "getSessionForSubmitSMResp",
                 "sessionid %llu seqno %llu nextSMSC 0x%llx seqno_out %llu latency %llu",
                 static_cast<unsigned long long>(sessionid), static_cast<unsigned long long>(seqno),
                 static_cast<unsigned long long>(nextSMSC),
                 static_cast<unsigned long long>(seqno_out), static_cast<unsigned long long>(latency));
      return true;
    }
    logMessage(LOG_WARNING, this, kClassName, "getSessionForSubmitSMResp",
               "Unable to find {sessionid,seqno} for nextSMSC 0x%llx seqno_out %llu",
               static_cast<unsigned long long>(nextSMSC), static_cast<unsigned long long>(seqno_out));

    // The diagnosis is built under the lock but written after it is released,
    // and the dump is capped: a miss must cost the other threads little even
    // with hundreds of thousands of submits outstanding.
    char line[256];
    const SubmitSMValue* scanned = nullptr;
    for (const auto& [k, v] : submitSMMap) {
      if (k == key) {
        scanned = &v;
        break;
      }
    }
    if (scanned != nullptr) {
      snprintf(line, sizeof line,
               "Exact pair {nextSMSC: 0x%llx, seqno_out: %llu} was found by linear scan but NOT "
               "by unordered_map::find().\n  Mapped value -> {sessionid: %llu, seqno: %llu, "
               "timestamp: %llu}\n",
               static_cast<unsigned long long>(nextSMSC), static_cast<unsigned long long>(seqno_out),
               static_cast<unsigned long long>(scanned->sessionid),
               static_cast<unsigned long long>(scanned->seqno),
               static_cast<unsigned long long>(scanned->timestamp));
      diagnosis += line;
    } else {
      diagnosis += "Linear scan confirms the exact pair is absent from submitSMMap.\n";
    }
    snprintf(line, sizeof line, "submitSMMap dump (size: %zu):\n", submitSMMap.size());
    diagnosis += line;
    size_t shown = 0;
    for (const auto& [k, v] : submitSMMap) {
      if (shown == kMissDumpLimit) break;
      snprintf(line, sizeof line,
               "  Key = {nextSMSC: 0x%llx, seqno_out: %llu} -> {sessionid: %llu, seqno: %llu, "
               "timestamp: %llu}\n",
               static_cast<unsigned long long>(k.nextSMSC),
               static_cast<unsigned long long>(k.seqno_out),
               static_cast<unsigned long long>(v.sessionid),
               static_cast<unsigned long long>(v.seqno),
               static_cast<unsigned long long>(v.timestamp));
      diagnosis += line;
      ++shown;
    }
    if (submitSMMap.size() > shown) {
      snprintf(line, sizeof line, "  ... and %zu more entries\n", submitSMMap.size() - shown);
      diagnosis += line;
    }
  }
  writeStderr(diagnosis);
  return false;
}

void Tracker::addMessageIDMapping(uint64_t smscid, const std::string& message_id,
                                  const std::string& esmeSystemID) {
  std::lock_guard lock(tablesMutex_);
  addMessageIDMappingLocked(smscid, message_id, esmeSystemID);
}

void Tracker::addMessageIDMappingLocked(uint64_t smscid, const std::string& message_id,
                                        const std::string& esmeSystemID) {
  if (disableMsgIdTracking_) return;
  logMessage(LOG_FINE, this, kClassName, "addMessageIDMapping",
             "smscid 0x%llx message_id %s esmeSystemID %s", static_cast<unsigned long long>(smscid),
             message_id.c_str(), esmeSystemID.c_str());
  messageIDMap.insert_or_assign(MessageIDKey{smscid >> 8, message_id}, esmeSystemID);
  setMessageIdTableGauge(messageIDMap.size());
}

std::string Tracker::normaliseMessageId(const std::string& message_id) {
  const char* start = message_id.c_str();
  char* end = nullptr;
  errno = 0;
  long long value = strtoll(start, &end, 10);
  if (end == start || errno == ERANGE) return std::string();
  return std::to_string(value);
}

bool Tracker::getMessageIDMapping(uint64_t smscid, const std::string& message_id,
                                  std::string& esmeSystemID) {
  const char* function = "getMessageIDMapping";
  uint64_t targetId = smscid >> 8;
  std::lock_guard lock(tablesMutex_);

  auto consume = [&](MessageIDMap::iterator it) {
    esmeSystemID = it->second;
    messageIDMap.erase(it);
    setMessageIdTableGauge(messageIDMap.size());
    logMessage(LOG_FINE, this, kClassName, function, "smscid 0x%llx message_id %s esmeSystemID %s",
               static_cast<unsigned long long>(smscid), message_id.c_str(), esmeSystemID.c_str());
    return true;
  };

  auto it = messageIDMap.find(MessageIDKey{targetId, message_id});
  if (it != messageIDMap.end()) return consume(it);

  std::string normalised = normaliseMessageId(message_id);
  if (!normalised.empty()) {
    it = messageIDMap.find(MessageIDKey{targetId, normalised});
    if (it != messageIDMap.end()) return consume(it);
  }

  auto target = targetEsme_.find(targetId);
  if (target != targetEsme_.end()) {
    esmeSystemID = target->second;
    logMessage(LOG_FINE, this, kClassName, function,
               "smscid 0x%llx message_id %s esmeSystemID %s [target-esme map]",
               static_cast<unsigned long long>(smscid), message_id.c_str(), esmeSystemID.c_str());
    return true;
  }
  if (!defaultSystemId_.empty()) {
    esmeSystemID = defaultSystemId_;
    logMessage(LOG_FINE, this, kClassName, function,
               "smscid 0x%llx message_id %s esmeSystemID %s [fallback to default]",
               static_cast<unsigned long long>(smscid), message_id.c_str(), esmeSystemID.c_str());
    return true;
  }
  logMessage(LOG_WARNING, this, kClassName, function,
             "Unable to find {esmeSystemID} for smscid 0x%llx message_id %s",
             static_cast<unsigned long long>(smscid), message_id.c_str());
  return false;
}

void Tracker::setSessionSystemId(const std::string& systemId, uint64_t sessionid) {
  std::lock_guard lock(tablesMutex_);
  sessionSystemIds_.insert_or_assign(sessionid, systemId);
}

bool Tracker::getSessionSystemId(uint64_t sessionid, std::string& systemId) {
  std::lock_guard lock(tablesMutex_);
  auto it = sessionSystemIds_.find(sessionid);
  if (it == sessionSystemIds_.end()) return false;
  systemId = it->second;
  return true;
}

void Tracker::setSession(uint64_t sessionid, std::weak_ptr<SMPPSession> session) {
  std::lock_guard lock(tablesMutex_);
  sessions_.insert_or_assign(sessionid, std::move(session));
  if (sessions_.size() >= sessionSweepAt_) sweepExpiredSessionsLocked();
}

void Tracker::sweepExpiredSessionsLocked() {
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    if (it->second.expired()) {
      sessionSystemIds_.erase(it->first);
      it = sessions_.erase(it);
    } else {
      ++it;
    }
  }
  // Doubling the threshold keeps the sweeps' cost proportional to the
  // additions between them, however many sessions stay alive.
  sessionSweepAt_ = std::max(kSessionSweepMinimum, 2 * sessions_.size());
}

void Tracker::removeSession(uint64_t sessionid) {
  std::lock_guard lock(tablesMutex_);
  sessions_.erase(sessionid);
  sessionSystemIds_.erase(sessionid);
}

size_t Tracker::sessionTableSize() {
  std::lock_guard lock(tablesMutex_);
  return sessions_.size() + sessionSystemIds_.size();
}

std::weak_ptr<SMPPSession> Tracker::getSession(uint64_t sessionid) {
  std::lock_guard lock(tablesMutex_);
  auto it = sessions_.find(sessionid);
  if (it == sessions_.end()) return {};
  return it->second;
}

void Tracker::setTargetEsme(const std::string& systemId, uint64_t targetId) {
  std::lock_guard lock(tablesMutex_);
  setTargetEsmeLocked(systemId, targetId);
}

void Tracker::setTargetEsmeLocked(const std::string& systemId, uint64_t targetId) {
  // Every forwarded submit sets it, nearly always to what it already holds.
  auto [it, added] = targetEsme_.try_emplace(targetId, systemId);
  if (!added && it->second != systemId) it->second = systemId;
}

void Tracker::setDefaultSystemId(const std::string& systemId) {
  std::lock_guard lock(tablesMutex_);
  defaultSystemId_ = systemId;
}

void Tracker::setDisableMsgIdTracking(bool disable) {
  std::lock_guard lock(tablesMutex_);
  disableMsgIdTracking_ = disable;
}

size_t Tracker::submitSMMapSize() {
  std::lock_guard lock(tablesMutex_);
  return submitSMMap.size();
}

size_t Tracker::messageIDMapSize() {
  std::lock_guard lock(tablesMutex_);
  return messageIDMap.size();
}

bool Tracker::saveToFile(const std::string& name) {
  std::lock_guard<std::mutex> fileLock(fileMutex_);
  std::string data;
  {
    std::lock_guard lock(tablesMutex_);
    data = msgtrack::encode(messageIDMap);
  }
  bool opened = false;
  if (writeFileAtomically(name, data, opened)) return true;
  writeStderr((opened ? "Error occurred while writing to file: " : "Failed to open file for writing: ") +
              name + "\n");
  return false;
}

bool Tracker::loadFromFile(const std::string& name) {
  std::lock_guard<std::mutex> fileLock(fileMutex_);
  std::string data;
  bool opened = false;
  bool readOk = readWholeFile(name, data, opened);
  if (!opened) {
    writeStderr("Failed to open file for reading: " + name + "\n");
    return false;
  }
  msgtrack::LoadResult result = msgtrack::decode(data);
  {
    std::lock_guard lock(tablesMutex_);
    messageIDMap = std::move(result.records);
    setMessageIdTableGauge(messageIDMap.size());
  }
  if (readOk && result.complete) return true;
  std::string report = "Error occurred while reading from file: " + name + "\n";
  char line[256];
  snprintf(line, sizeof line,
           "Loaded %llu of %llu records; the rest of the file is missing or damaged\n",
           static_cast<unsigned long long>(result.loaded),
           static_cast<unsigned long long>(result.declared));
  report += line;
  writeStderr(report);
  return false;
}
