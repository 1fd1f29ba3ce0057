#include "cdr/smpp_cdr_manager.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <iterator>
#include <stdexcept>

#include "admin/metrics.h"
#include "base/log.h"
#include "base/wall_clock.h"
#include "cdr/cdr_file_store.h"
#include "cdr/cdr_http_store.h"
#include "config/ostrel_configuration.h"

namespace {

constexpr const char* kClassName = "SMPPCDRManager";
constexpr int kStoreAttempts = 3;
constexpr size_t kPendingLimit = 999999;
constexpr uint32_t kStatusBindLost = 0x00000008;
constexpr int64_t kNanosPerHour = 3600000000000LL;

const char* const kSuccess = "cdrWrite{result=\"success\"}";
const char* const kSuccessRate = "cdrWriteRate{result=\"success\"}";
const char* const kFail = "cdrWrite{result=\"fail\"}";
const char* const kFailRate = "cdrWriteRate{result=\"fail\"}";
// Records given up because memory or storage would not take them.
const char* const kRefused = "cdrWrite{result=\"refused\"}";
const char* const kSpooled = "cdrWrite{result=\"spooled\"}";
const char* const kUnspooled = "cdrWrite{result=\"unspooled\"}";
const char* const kBatchGauge = "sysSMPPCDR_cdrBatch_size";

void setBatchGauge(size_t size) {
  static const MetricsRegistry::GaugeHandle gauge =
      MetricsRegistry::instance().gaugeHandle(kBatchGauge);
  gauge.set(static_cast<int64_t>(size));
}

}  // namespace

CDRSettings CDRSettings::fromConfiguration(OstrelConfiguration& config) {
  CDRSettings s;
  s.directory = config.getCDRDirectory();
  s.httpBackend = config.isCDRBackendHTTP();
  s.batchSize = static_cast<size_t>(std::max<int64_t>(1, config.getCDRBatchSize()));
  s.flushIntervalSeconds = std::max<int64_t>(1, config.getCDRBatchFlushInterval());
  s.cleanupIntervalHours = std::max<int64_t>(1, config.getCDRCleanupInterval());
  s.rotationOffsetMinutes = config.getCDRRotationTimezoneOffset();
  s.anonymise = config.getCDRAnonymise();
  s.httpEndpoint = config.getCDRHttpEndpoint();
  s.httpAuthHeader = config.getCDRHttpAuthHeader();
  s.httpSkipTlsVerify = config.getCDRHttpSkipTlsVerify();
  s.httpConnectTimeoutSeconds = std::max<int64_t>(1, config.getCDRHttpConnectTimeout());
  s.httpTimeoutSeconds = std::max<int64_t>(1, config.getCDRHttpTimeout());
  s.maxQueuedRecords = static_cast<size_t>(std::max<int64_t>(1, config.getCDRMaxQueued()));
  return s;
}

SMPPCDRManager& SMPPCDRManager::getInstance() {
  static SMPPCDRManager manager;
  return manager;
}

SMPPCDRManager::SMPPCDRManager(Clock clock)
    // Records keep whole seconds and intervals are seconds long: the cheap
    // clock is exact enough and is read several times per message.
    : clock_(clock ? std::move(clock) : Clock(coarseWallClockMicros)) {}

SMPPCDRManager::~SMPPCDRManager() {
  stopThreads();
}

void SMPPCDRManager::initialize(const std::string& directory) {
  CDRSettings settings = CDRSettings::fromConfiguration(OstrelConfiguration::instance());
  settings.directory = directory;
  initialize(settings, true);
}

void SMPPCDRManager::initialize(const CDRSettings& s, bool startThreads) {
  logMessage(LOG_INFO, this, kClassName, "initialize",
             "Initializing CDR Manager with file path: %s", s.directory.c_str());
  std::string dir = s.directory;
  if (dir.empty() || dir.back() != '/') dir += '/';
  {
    std::lock_guard lock(dataMutex_);
    directory_ = dir;
  }
  if (s.httpBackend) {
    CDRHttpSettings http;
    http.endpoint = s.httpEndpoint;
    http.authHeader = s.httpAuthHeader;
    http.skipTlsVerify = s.httpSkipTlsVerify;
    http.connectTimeoutMs = static_cast<long>(s.httpConnectTimeoutSeconds * 1000);
    http.totalTimeoutMs = static_cast<long>(s.httpTimeoutSeconds * 1000);
    http.anonymise = s.anonymise;
    store_ = std::make_unique<CDRHttpStore>(http);
  } else {
    struct stat info {};
    if (stat(dir.c_str(), &info) != 0) {
      logMessage(LOG_INFO, this, kClassName, "initialize",
                 "CDR directory does not exist, creating: %s", dir.c_str());
      if (mkdir(dir.c_str(), 0755) != 0) {
        logMessage(LOG_WARNING, this, kClassName, "initialize",
                   "Failed to create CDR directory: %s (errno: %d)", dir.c_str(), errno);
        throw std::runtime_error("Failed to create CDR directory");
      }
    }
    store_ = std::make_unique<CDRFileStore>(dir, s.rotationOffsetMinutes, s.anonymise);
  }
  spool_ = std::make_unique<CDRSpool>(dir);
  batchSize_ = std::max<size_t>(1, s.batchSize);
  flushIntervalMicros_ = s.flushIntervalSeconds * 1000000;
  cleanupIntervalNanos_ = s.cleanupIntervalHours * kNanosPerHour;
  maxQueued_ = std::max<size_t>(1, s.maxQueuedRecords);
  retryPauseMillis_ = s.retryPauseMillis;
  {
    std::lock_guard lock(dataMutex_);
    lastFlushMicros_ = clock_();
  }
  logMessage(LOG_INFO, this, kClassName, "initialize",
             "CDR Manager initialized with batch size: %zu, flush interval: %d seconds, cleanup "
             "interval: %d hours",
             batchSize_, static_cast<int>(s.flushIntervalSeconds),
             static_cast<int>(s.cleanupIntervalHours));
  if (!startThreads || threadsRunning_) return;
  threadsRunning_ = true;
  cleanupThread_ = std::thread([this] { cleanupThreadMain(); });
  flushThread_ = std::thread([this] { flushThreadMain(); });
  writeThread_ = std::thread([this] { writeThreadMain(); });
}

void SMPPCDRManager::setMode(CDRMode mode) {
  std::lock_guard lock(dataMutex_);
  logMessage(LOG_INFO, this, kClassName, "setMode", "Setting CDR mode to %s", cdrModeName(mode));
  mode_.store(mode, std::memory_order_relaxed);
}

std::string SMPPCDRManager::directory() {
  std::lock_guard lock(dataMutex_);
  return directory_;
}

// ---- Record lifecycle -------------------------------------------------------

void SMPPCDRManager::createInitialCDR(const SMPP::T_SubmitSM& submit, const std::string& esmeId,
                                      const std::string& esmeIp, const std::string& smscName,
                                      uint64_t smscid, uint64_t upstreamSequence,
                                      const std::string& network) {
  if (mode() == CDRMode::NONE) return;
  logMessage(LOG_FINE, this, kClassName, "createInitialCDR",
             "Creating initial CDR - ESME: %s, SMSC: 0x%llx (%s), SeqNo: %llu", esmeId.c_str(),
             static_cast<unsigned long long>(smscid), smscName.c_str(),
             static_cast<unsigned long long>(upstreamSequence));
  CDRRecord r;
  r.sourceAddr = submit.source_addr;
  r.destAddr = submit.destination_addr;
  r.submitTime = nowNanos();
  r.esmeId = esmeId;
  r.esmeIp = esmeIp;
  r.smscName = smscName;
  r.smscId = smscid;
  r.messageLength = submit.short_message.size();
  r.dataCoding = submit.data_coding;
  r.esmClass = submit.esm_class;
  r.registeredDelivery = submit.registered_delivery;
  r.upstreamSequence = upstreamSequence;
  r.mccMNC = network;
  if (extractConcatenation(submit, r)) {
    logMessage(LOG_FINE, this, kClassName, "createInitialCDR",
               "Concatenated SMS detected - Ref: %d, Total: %d, Part: %d", r.concatRef,
               r.concatTotal, r.concatPart);
  }

  std::vector<CDRRecord> stale;
  size_t refused = 0;
  size_t batchSize = 0;
  size_t pendingNow = 0;
  {
    std::lock_guard lock(dataMutex_);
    if (pending_.size() > kPendingLimit) {
      logMessage(LOG_WARNING, this, kClassName, "createInitialCDR",
                 "CDR queue full (%zu entries), dropping oldest entries", pending_.size());
      size_t indexRemoved = 0;
      removeStaleLocked(r.submitTime, stale, indexRemoved);
      for (CDRRecord& old : stale) refused += appendLocked(std::move(old)) ? 0 : 1;
    }
    pending_[PendingKey{smscid, upstreamSequence}] = std::move(r);
    pendingNow = pending_.size();
    batchSize = cdrBatch_.size();
  }
  if (!stale.empty()) afterQueueing(batchSize, refused);
  logMessage(LOG_FINE, this, kClassName, "createInitialCDR",
             "Initial CDR created - Pending CDRs: %zu", pendingNow);
}

void SMPPCDRManager::discardInitialCDR(uint64_t smscid, uint64_t upstreamSequence) {
  if (mode() == CDRMode::NONE) return;
  std::lock_guard lock(dataMutex_);
  pending_.erase(PendingKey{smscid, upstreamSequence});
}

void SMPPCDRManager::updateCDRWithMessageID(uint64_t smscid, uint64_t seq,
                                            const std::string& messageId) {
  const CDRMode m = mode();
  if (m == CDRMode::NONE) return;
  size_t refused = 0;
  size_t batchSize = 0;
  {
    std::lock_guard lock(dataMutex_);
    logMessage(LOG_FINE, this, kClassName, "updateCDRWithMessageID",
               "Updating CDR with message ID - SMSC: 0x%llx, SeqNo: %llu, MessageID: %s",
               static_cast<unsigned long long>(smscid), static_cast<unsigned long long>(seq),
               messageId.c_str());
    auto it = pending_.find(PendingKey{smscid, seq});
    if (it == pending_.end()) {
      logMessage(LOG_WARNING, this, kClassName, "updateCDRWithMessageID",
                 "No pending CDR found for SMSC ID 0x%llx, sequence %llu",
                 static_cast<unsigned long long>(smscid), static_cast<unsigned long long>(seq));
      return;
    }
    CDRRecord& r = it->second;
    r.messageId = messageId;
    r.messageIdTime = nowNanos();
    IndexEntry entry{PendingKey{smscid, seq}, r.messageIdTime, nullptr};
    if (m == CDRMode::OPERATION) {
      entry.customer.reset(new CustomerFields{r.esmeId, r.esmeIp, r.mccMNC});
    }
    index_[IndexKey{smscid >> 8, messageId}] = std::move(entry);
    logMessage(LOG_FINE, this, kClassName, "updateCDRWithMessageID",
               "CDR updated with message ID - Pending CDRs: %zu, MessageID Index: %zu",
               pending_.size(), index_.size());
    if (m != CDRMode::OPERATION) return;
    CDRRecord done = std::move(r);
    pending_.erase(it);
    refused = appendLocked(std::move(done)) ? 0 : 1;
    batchSize = cdrBatch_.size();
  }
  afterQueueing(batchSize, refused);
}

void SMPPCDRManager::updateCDRWithSubmitFail(uint64_t smscid, uint64_t seq, uint32_t status) {
  if (mode() == CDRMode::NONE) return;
  size_t refused = 0;
  size_t batchSize = 0;
  {
    std::lock_guard lock(dataMutex_);
    logMessage(LOG_FINE, this, kClassName, "updateCDRWithSubmitFail",
               "Updating CDR with NAK command status - SMSC: 0x%llx, SeqNo: %llu, CmdStatus: %d",
               static_cast<unsigned long long>(smscid), static_cast<unsigned long long>(seq),
               static_cast<int>(status));
    auto it = pending_.find(PendingKey{smscid, seq});
    if (it == pending_.end()) {
      logMessage(LOG_WARNING, this, kClassName, "updateCDRWithSubmitFail",
                 "No pending CDR found for SMSC ID 0x%llx, sequence %llu",
                 static_cast<unsigned long long>(smscid), static_cast<unsigned long long>(seq));
      return;
    }
    CDRRecord done = std::move(it->second);
    pending_.erase(it);
    done.submitStatus = status;
    done.messageIdTime = nowNanos();
    refused = appendLocked(std::move(done)) ? 0 : 1;
    batchSize = cdrBatch_.size();
  }
  afterQueueing(batchSize, refused);
}

void SMPPCDRManager::updateCDRWithDeliveryReceipt(uint64_t smscid, const std::string& smscName,
                                                  const std::string& messageId, uint32_t state,
                                                  uint32_t error, const std::string& doneDate) {
  const CDRMode m = mode();
  if (m == CDRMode::NONE) return;
  logMessage(LOG_FINE, this, kClassName, "updateCDRWithDeliveryReceipt",
             "Processing delivery receipt - MessageID: %s, Status: %u, Error: %u",
             messageId.c_str(), state, error);
  const int64_t now = nowNanos();
  size_t refused = 0;
  size_t batchSize = 0;
  {
    std::lock_guard lock(dataMutex_);
    auto entry = index_.find(IndexKey{smscid >> 8, messageId});
    auto record = pending_.end();
    if (entry != index_.end() && m == CDRMode::CORRELATE) {
      record = pending_.find(entry->second.key);
      if (record == pending_.end()) {
        index_.erase(entry);
        entry = index_.end();
      }
    }
    if (entry == index_.end()) {
      logMessage(LOG_WARNING, this, kClassName, "updateCDRWithDeliveryReceipt",
                 "CDR not found for delivery receipt %s", messageId.c_str());
      logMessage(LOG_WARNING, this, kClassName, "updateCDRWithDeliveryReceipt",
                 "Delivery receipt for unknown message %s", messageId.c_str());
      return;
    }
    CDRRecord done;
    if (m == CDRMode::CORRELATE) {
      if (record->second.deliveryStatus != 0) {
        logMessage(LOG_WARNING, this, kClassName, "updateCDRWithDeliveryReceipt",
                   "Duplicate delivery receipt for message %s", messageId.c_str());
      }
      done = std::move(record->second);
      pending_.erase(record);
    } else {
      done.origin = CDROrigin::MTReceipt;
      done.messageId = messageId;
      done.smscId = smscid;
      done.smscName = smscName;
      if (CustomerFields* customer = entry->second.customer.get()) {
        done.esmeId = std::move(customer->esmeId);
        done.esmeIp = std::move(customer->esmeIp);
        done.mccMNC = std::move(customer->mccMNC);
      }
    }
    done.dlrReceivedTime = done.deliveryTime = now;
    done.dlrDoneDate = doneDate;
    done.deliveryStatus = state;
    done.errorCode = error;
    index_.erase(entry);
    refused = appendLocked(std::move(done)) ? 0 : 1;
    logMessage(LOG_FINE, this, kClassName, "updateCDRWithDeliveryReceipt",
               "CDR updated with delivery receipt - Pending CDRs: %zu, MessageID Index: %zu",
               pending_.size(), index_.size());
    batchSize = cdrBatch_.size();
  }
  afterQueueing(batchSize, refused);
}

void SMPPCDRManager::createCDRMO(const SMPP::T_SubmitSM& deliver, const std::string& esmeId,
                                 const std::string& smscName, uint64_t smscid, uint64_t sequence) {
  if (mode() == CDRMode::NONE) return;
  logMessage(LOG_FINE, this, kClassName, "createCDRMO",
             "Creating CDR MO - ESME: %s, SMSC: 0x%llx (%s), SeqNo: %llu", esmeId.c_str(),
             static_cast<unsigned long long>(smscid), smscName.c_str(),
             static_cast<unsigned long long>(sequence));
  CDRRecord r;
  r.origin = CDROrigin::MO;
  r.sourceAddr = deliver.source_addr;
  r.destAddr = deliver.destination_addr;
  r.submitTime = nowNanos();
  r.esmeId = esmeId;
  r.smscName = smscName;
  r.smscId = smscid;
  r.messageLength = deliver.short_message.size();
  r.dataCoding = deliver.data_coding;
  r.esmClass = deliver.esm_class;
  r.upstreamSequence = sequence;
  queueCDR(std::move(r));
}

void SMPPCDRManager::queueCDR(CDRRecord record) {
  if (mode() == CDRMode::NONE) return;
  size_t refused = 0;
  size_t batchSize = 0;
  {
    std::lock_guard lock(dataMutex_);
    refused = appendLocked(std::move(record)) ? 0 : 1;
    batchSize = cdrBatch_.size();
  }
  afterQueueing(batchSize, refused);
}

bool SMPPCDRManager::appendLocked(CDRRecord&& record) {
  logMessage(LOG_FINE, this, kClassName, "queueCDR",
             "Queueing CDR for storage - MessageID: %s, ESME: %s, SMSC: %llu (%s)",
             record.messageId.c_str(), record.esmeId.c_str(),
             static_cast<unsigned long long>(record.smscId), record.smscName.c_str());
  if (queued_ >= maxQueued_) {
    if (!refusing_) {
      logMessage(LOG_WARNING, this, kClassName, "queueCDR",
                 "CDR storage is behind by %zu records, refusing new CDRs until it catches up",
                 queued_);
      refusing_ = true;
    }
    logMessage(LOG_FINE, this, kClassName, "queueCDR", "Refused CDR - MessageID: %s",
               record.messageId.c_str());
    return false;
  }
  if (refusing_) {
    logMessage(LOG_WARNING, this, kClassName, "queueCDR",
               "CDR storage caught up (%zu records waiting), accepting CDRs again", queued_);
    refusing_ = false;
  }
  cdrBatch_.push_back(std::move(record));
  ++queued_;
  if (cdrBatch_.size() >= batchSize_) handOverLocked();
  return true;
}

void SMPPCDRManager::handOverLocked() {
  std::lock_guard<std::mutex> lock(writeMutex_);
  if (writeBatch_.empty()) {
    writeBatch_.swap(cdrBatch_);
    cdrBatch_.swap(spareBatch_);
  } else {
    // The writer has not picked up the previous batch yet; keep the order.
    writeBatch_.insert(writeBatch_.end(), std::make_move_iterator(cdrBatch_.begin()),
                       std::make_move_iterator(cdrBatch_.end()));
    cdrBatch_.clear();
  }
  writeCond_.notify_one();
}

void SMPPCDRManager::afterQueueing(size_t batchSize, size_t refused) {
  setBatchGauge(batchSize);
  for (size_t i = 0; i < refused; ++i) MetricsRegistry::instance().incrementCounter(kRefused);
}

void SMPPCDRManager::cleanupPendingCDRsForSMSC(uint64_t smscid) {
  if (mode() == CDRMode::NONE) return;
  size_t removed = 0;
  size_t refused = 0;
  size_t batchSize = 0;
  {
    std::lock_guard lock(dataMutex_);
    logMessage(LOG_INFO, this, kClassName, "cleanupPendingCDRsForSMSC",
               "Cleaning up pending CDRs for SMSC ID %llu",
               static_cast<unsigned long long>(smscid));
    const int64_t now = nowNanos();
    for (auto it = pending_.begin(); it != pending_.end();) {
      // Records with a message id wait for a receipt, which may come on any
      // bind of the target; only those still waiting for a response are lost.
      if (it->first.smscid != smscid || it->second.messageIdTime != 0) {
        ++it;
        continue;
      }
      logMessage(LOG_INFO, this, kClassName, "cleanupPendingCDRsForSMSC",
                 "Removing pending CDR for SMSC ID %llu", static_cast<unsigned long long>(smscid));
      CDRRecord done = std::move(it->second);
      it = pending_.erase(it);
      done.submitStatus = kStatusBindLost;
      done.messageIdTime = now;
      refused += appendLocked(std::move(done)) ? 0 : 1;
      ++removed;
    }
    logMessage(LOG_INFO, this, kClassName, "cleanupPendingCDRsForSMSC",
               "Cleanup complete - Removed %zu pending CDRs and %zu index entries", removed,
               static_cast<size_t>(0));
    batchSize = cdrBatch_.size();
  }
  if (removed != 0) afterQueueing(batchSize, refused);
}

size_t SMPPCDRManager::removeStaleLocked(int64_t now, std::vector<CDRRecord>& toStore,
                                         size_t& indexRemoved) {
  size_t removed = 0;
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (now - it->second.submitTime <= cleanupIntervalNanos_) {
      ++it;
      continue;
    }
    logMessage(LOG_INFO, this, kClassName, "cleanupStaleCDRs",
               "Cleaning up stale CDR for message %s", it->second.messageId.c_str());
    if (!it->second.messageId.empty()) {
      indexRemoved += index_.erase(IndexKey{it->first.smscid >> 8, it->second.messageId});
    }
    // The message went out; its only record is stored with what it has.
    toStore.push_back(std::move(it->second));
    it = pending_.erase(it);
    ++removed;
  }
  // OPERATION entries have no pending record and would otherwise wait for
  // a receipt for ever.
  for (auto it = index_.begin(); it != index_.end();) {
    if (now - it->second.created > cleanupIntervalNanos_) {
      it = index_.erase(it);
      ++indexRemoved;
    } else {
      ++it;
    }
  }
  return removed;
}

void SMPPCDRManager::cleanupStaleCDRs() {
  const int64_t now = nowNanos();
  std::vector<CDRRecord> stale;
  size_t refused = 0;
  size_t batchSize = 0;
  {
    std::lock_guard lock(dataMutex_);
    logMessage(LOG_INFO, this, kClassName, "cleanupStaleCDRs",
               "Starting stale CDR cleanup - Current pending: %zu, index: %zu", pending_.size(),
               index_.size());
    size_t indexRemoved = 0;
    const size_t removed = removeStaleLocked(now, stale, indexRemoved);
    if (mode() != CDRMode::NONE) {
      for (CDRRecord& r : stale) refused += appendLocked(std::move(r)) ? 0 : 1;
    }
    logMessage(LOG_INFO, this, kClassName, "cleanupStaleCDRs",
               "Stale CDR cleanup complete - Removed %zu pending CDRs and %zu index entries",
               removed, indexRemoved);
    batchSize = cdrBatch_.size();
  }
  if (!stale.empty()) afterQueueing(batchSize, refused);
}

// ---- Storage ----------------------------------------------------------------

void SMPPCDRManager::flushIfDue() {
  const uint64_t now = clock_();
  size_t size = 0;
  {
    std::lock_guard lock(dataMutex_);
    if (static_cast<int64_t>(now - lastFlushMicros_) < flushIntervalMicros_) return;
    lastFlushMicros_ = now;
    if (!cdrBatch_.empty()) {
      logMessage(LOG_INFO, this, kClassName, "operator()",
                 "Batch interval reached, storing %zu CDRs", cdrBatch_.size());
      handOverLocked();
    }
    size = cdrBatch_.size();
  }
  setBatchGauge(size);
}

bool SMPPCDRManager::writeCycle() {
  std::vector<CDRRecord> batch;
  {
    std::lock_guard<std::mutex> lock(writeMutex_);
    batch.swap(writeBatch_);
  }
  if (batch.empty()) return true;
  const CDRMode m = mode();
  MetricsRegistry& metrics = MetricsRegistry::instance();
  bool stored = false;
  for (int attempt = 1; attempt <= kStoreAttempts && !stored; ++attempt) {
    stored = store_ != nullptr && store_->store(batch, m, clock_());
    if (!stored) {
      metrics.incrementCounter(kFail);
      metrics.incrementRate(kFailRate);
    }
  }
  if (stored) {
    for (size_t i = 0; i < batch.size(); ++i) metrics.incrementCounter(kSuccess);
    metrics.addRate(kSuccessRate, batch.size());
  }
  // Past half the memory bound the oldest records wait on disk instead.
  bool spooled = false;
  if (!stored && spool_ != nullptr) {
    bool spill = false;
    {
      std::lock_guard lock(dataMutex_);
      spill = queued_ >= maxQueued_ / 2;
    }
    if (spill && spool_->append(batch, m)) {
      spooled = true;
      logMessage(LOG_WARNING, this, kClassName, "writeThreadFunction",
                 "Spooled failed batch of %zu CDRs to %s (%zu waiting there)", batch.size(),
                 spool_->path().c_str(), spool_->waiting());
      for (size_t i = 0; i < batch.size(); ++i) metrics.incrementCounter(kSpooled);
    }
  }

  size_t pending = 0, index = 0, collecting = 0, handed = 0;
  {
    std::lock_guard lock(dataMutex_);
    if (stored || spooled) {
      queued_ -= batch.size();
    } else {
      logMessage(LOG_WARNING, this, kClassName, "writeThreadFunction",
                 "Re-enqueueing failed batch of %zu CDRs to cdrBatch (existing size: %zu)",
                 batch.size(), cdrBatch_.size());
      std::lock_guard<std::mutex> writeLock(writeMutex_);
      // In front of everything newer, wherever the newer records are now.
      std::vector<CDRRecord>& front = writeBatch_.empty() ? cdrBatch_ : writeBatch_;
      front.insert(front.begin(), std::make_move_iterator(batch.begin()),
                   std::make_move_iterator(batch.end()));
      logMessage(LOG_WARNING, this, kClassName, "writeThreadFunction",
                 "Re-enqueued failed batch of %zu CDRs to cdrBatch (new size: %zu)", batch.size(),
                 front.size());
    }
    pending = pending_.size();
    index = index_.size();
    collecting = cdrBatch_.size();
    std::lock_guard<std::mutex> writeLock(writeMutex_);
    handed = writeBatch_.size();
  }
  logMessage(LOG_INFO, this, kClassName, "writeBatchToFile",
             "Stats: pendingCDRs=%llu messageIdIndex=%llu cdrBatch=%llu watchBatch=%llu",
             static_cast<unsigned long long>(pending), static_cast<unsigned long long>(index),
             static_cast<unsigned long long>(collecting), static_cast<unsigned long long>(handed));
  batch.clear();
  std::lock_guard<std::mutex> lock(writeMutex_);
  if (batch.capacity() > spareBatch_.capacity()) spareBatch_.swap(batch);
  return stored;
}

bool SMPPCDRManager::writerStopping() {
  std::lock_guard<std::mutex> lock(writeMutex_);
  return writerStopping_;
}

void SMPPCDRManager::drainSpool() {
  if (store_ == nullptr || spool_ == nullptr) return;
  MetricsRegistry& metrics = MetricsRegistry::instance();
  while (spool_->waiting() != 0 && !writerStopping()) {
    CDRMode m = CDRMode::NONE;
    const std::vector<CDRRecord> records = spool_->peek(batchSize_, m);
    if (records.empty()) {
      spool_->commit();  // only unreadable lines, already logged
      continue;
    }
    if (!store_->store(records, m, clock_())) return;
    spool_->commit();
    for (size_t i = 0; i < records.size(); ++i) {
      metrics.incrementCounter(kSuccess);
      metrics.incrementCounter(kUnspooled);
    }
    metrics.addRate(kSuccessRate, records.size());
    logMessage(LOG_INFO, this, kClassName, "writeThreadFunction",
               "Sent %zu CDRs from the spool (%zu left)", records.size(), spool_->waiting());
  }
}

void SMPPCDRManager::writeThreadMain() {
  drainSpool();  // what the previous run could not store
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(writeMutex_);
      auto ready = [this] { return !writeBatch_.empty() || writerStopping_; };
      if (spool_ != nullptr && spool_->waiting() != 0) {
        // Without new traffic the spool is still retried once per interval.
        writeCond_.wait_for(lock, std::chrono::microseconds(flushIntervalMicros_), ready);
      } else {
        writeCond_.wait(lock, ready);
      }
      if (writeBatch_.empty() && writerStopping_) break;
    }
    if (writeCycle()) {
      drainSpool();
      continue;
    }
    std::unique_lock<std::mutex> lock(writeMutex_);
    // At shutdown one more round of attempts is all there is.
    if (writerStopping_) break;
    writeCond_.wait_for(lock, std::chrono::milliseconds(retryPauseMillis_),
                        [this] { return writerStopping_; });
  }
  std::lock_guard lock(dataMutex_);
  logMessage(LOG_INFO, this, kClassName, "writeThreadFunction", "Exiting with cdrBatch size: %zu)",
             cdrBatch_.size());
}

void SMPPCDRManager::flushThreadMain() {
  for (;;) {
    int64_t wait = 0;
    {
      std::lock_guard lock(dataMutex_);
      wait = static_cast<int64_t>(lastFlushMicros_) + flushIntervalMicros_ -
             static_cast<int64_t>(clock_());
    }
    std::unique_lock<std::mutex> lock(timerMutex_);
    if (timersStopping_) return;
    if (wait > 0) {
      flushCond_.wait_for(lock, std::chrono::microseconds(wait),
                          [this] { return timersStopping_; });
      continue;
    }
    lock.unlock();
    flushIfDue();
  }
}

void SMPPCDRManager::cleanupThreadMain() {
  std::unique_lock<std::mutex> lock(timerMutex_);
  for (;;) {
    if (cleanupCond_.wait_for(lock, std::chrono::hours(1), [this] { return timersStopping_; })) {
      return;
    }
    lock.unlock();
    cleanupStaleCDRs();
    lock.lock();
  }
}

void SMPPCDRManager::stopThreads() {
  if (!threadsRunning_) return;
  {
    std::lock_guard<std::mutex> lock(timerMutex_);
    timersStopping_ = true;
  }
  flushCond_.notify_all();
  cleanupCond_.notify_all();
  logMessage(LOG_INFO, this, kClassName, "shutdown", "Waiting on cleanup thread exiting...");
  cleanupThread_.join();
  flushThread_.join();

  logMessage(LOG_INFO, this, kClassName, "shutdown", "Final flush of remaining CDRs...");
  {
    std::lock_guard lock(dataMutex_);
    if (!cdrBatch_.empty()) {
      logMessage(LOG_INFO, this, kClassName, "shutdown", "(cdrBatch not empty)");
      handOverLocked();
      logMessage(LOG_INFO, this, kClassName, "shutdown", "(cdrBatch flushed)");
    }
  }
  logMessage(LOG_INFO, this, kClassName, "shutdown", "(writeThread.joinable)");
  {
    std::lock_guard<std::mutex> lock(writeMutex_);
    writerStopping_ = true;
  }
  writeCond_.notify_all();
  writeThread_.join();
  threadsRunning_ = false;
}

void SMPPCDRManager::shutdown() {
  logMessage(LOG_INFO, this, kClassName, "shutdown", "Shutting down CDR Manager");
  stopThreads();
  std::vector<CDRRecord> left;
  {
    std::lock_guard lock(dataMutex_);
    std::lock_guard<std::mutex> writeLock(writeMutex_);
    left.swap(cdrBatch_);
    left.insert(left.end(), std::make_move_iterator(writeBatch_.begin()),
                std::make_move_iterator(writeBatch_.end()));
    writeBatch_.clear();
    queued_ -= std::min(queued_, left.size());
  }
  if (!left.empty()) {
    if (spool_ != nullptr && spool_->append(left, mode())) {
      logMessage(LOG_WARNING, this, kClassName, "shutdown",
                 "Spooled %zu CDRs that could not be stored before exit to %s", left.size(),
                 spool_->path().c_str());
      for (size_t i = 0; i < left.size(); ++i)
        MetricsRegistry::instance().incrementCounter(kSpooled);
    } else {
      logMessage(LOG_SEVERE, this, kClassName, "shutdown",
                 "%zu CDRs could not be stored or spooled before exit", left.size());
      for (size_t i = 0; i < left.size(); ++i)
        MetricsRegistry::instance().incrementCounter(kRefused);
    }
  }
  logMessage(LOG_INFO, this, kClassName, "shutdown", "Cleanup of HTTP...");
  store_.reset();
}

size_t SMPPCDRManager::pendingCount() {
  std::lock_guard lock(dataMutex_);
  return pending_.size();
}

size_t SMPPCDRManager::indexCount() {
  std::lock_guard lock(dataMutex_);
  return index_.size();
}

size_t SMPPCDRManager::queuedCount() {
  std::lock_guard lock(dataMutex_);
  return queued_;
}
