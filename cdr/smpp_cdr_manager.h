#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "base/adaptive_mutex.h"
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "cdr/cdr_mode.h"
#include "cdr/cdr_record.h"
#include "cdr/cdr_spool.h"
#include "cdr/cdr_store.h"
#include "smpp/pdu.h"

class OstrelConfiguration;

// Every "cdr" setting, with its default.
struct CDRSettings {
  std::string directory = "cdrs/";
  bool httpBackend = false;
  size_t batchSize = 1000;
  int64_t flushIntervalSeconds = 30;
  int64_t cleanupIntervalHours = 24;
  int64_t rotationOffsetMinutes = 0;
  bool anonymise = false;
  std::string httpEndpoint;
  std::string httpAuthHeader;
  bool httpSkipTlsVerify = false;
  int64_t httpConnectTimeoutSeconds = 5;
  int64_t httpTimeoutSeconds = 10;
  // Records held in memory (collecting, handed over or being written) while
  // storage fails. Past half of it failed batches go to the spool file; at
  // the bound itself (the spool failing too) new records are refused,
  // logged and counted.
  size_t maxQueuedRecords = 1000000;
  // Pause of the write thread after a batch failed every attempt, so a dead
  // backend is not hammered at message rate.
  int64_t retryPauseMillis = 5000;

  static CDRSettings fromConfiguration(OstrelConfiguration& config);
};

// The process-wide call detail record manager: the records of messages in
// flight, their correlation with responses and receipts, and their storage in
// batches to daily CSV files or an HTTP endpoint.
//
// Records wait in the pending table keyed by {slot id, upstream sequence}
// until their submit_sm_resp (and, in CORRELATE mode, their receipt) arrives;
// the message-id index finds them again from a receipt on any bind of the
// same target. Finished records collect in `cdrBatch_`; a full batch, the
// flush interval or shutdown hands it to the write thread, which stores it
// outside every lock, retries a failed attempt twice and otherwise puts the
// batch back in front of the newer records.
//
// Threads: the record operations are called from the customer-session and
// upstream threads and are safe from any thread; initialize, setMode and
// shutdown are called once on the main thread. The manager runs a write, a
// flush and a cleanup thread between initialize and shutdown.
// Locks: dataMutex_ is taken before writeMutex_; no lock is held across I/O.
class SMPPCDRManager {
 public:
  // Wall-clock microseconds; injected so tests drive intervals and rotation.
  using Clock = std::function<uint64_t()>;

  static SMPPCDRManager& getInstance();

  explicit SMPPCDRManager(Clock clock = nullptr);
  ~SMPPCDRManager();
  SMPPCDRManager(const SMPPCDRManager&) = delete;
  SMPPCDRManager& operator=(const SMPPCDRManager&) = delete;

  // Reads every "cdr" setting, prepares the backend and starts the threads.
  // Throws std::runtime_error("Failed to create CDR directory") when the
  // file backend's directory is missing and cannot be created.
  void initialize(const std::string& directory);
  // The same from given settings; without `startThreads` nothing runs in the
  // background and the caller drives flushIfDue/writeCycle itself.
  void initialize(const CDRSettings& settings, bool startThreads = true);

  // Logs "Setting CDR mode to %s" and stores the mode.
  void setMode(CDRMode mode);
  CDRMode mode() const { return mode_.load(std::memory_order_relaxed); }
  std::string directory();

  // ---- Record lifecycle -------------------------------------------------
  void createInitialCDR(const SMPP::T_SubmitSM& submit, const std::string& esmeId,
                        const std::string& esmeIp, const std::string& smscName, uint64_t smscid,
                        uint64_t upstreamSequence, const std::string& network);
  // Forgets a record whose submit never left (it is tried elsewhere).
  void discardInitialCDR(uint64_t smscid, uint64_t upstreamSequence);
  void updateCDRWithMessageID(uint64_t smscid, uint64_t upstreamSequence,
                              const std::string& messageId);
  void updateCDRWithSubmitFail(uint64_t smscid, uint64_t upstreamSequence, uint32_t status);
  void updateCDRWithDeliveryReceipt(uint64_t smscid, const std::string& smscName,
                                    const std::string& messageId, uint32_t state, uint32_t error,
                                    const std::string& doneDate);
  void createCDRMO(const SMPP::T_SubmitSM& deliver, const std::string& esmeId,
                   const std::string& smscName, uint64_t smscid, uint64_t sequence);
  // Hands a finished record to storage.
  void queueCDR(CDRRecord record);
  // A bind slot was lost: its records still waiting for their submit_sm_resp
  // are stored with the status their customers are answered with (0x08);
  // records waiting for receipts stay, as those may come on another bind.
  void cleanupPendingCDRsForSMSC(uint64_t smscid);
  // Stores, then forgets, records older than the cleanup interval, and drops
  // index entries as old.
  void cleanupStaleCDRs();

  // ---- Storage steps (run by the threads; callable by tests) -----------
  // Hands the collecting batch to the writer when the flush interval passed.
  void flushIfDue();
  // Stores what was handed to the writer; false when every attempt failed and
  // the records went back in front of the collecting batch.
  bool writeCycle();
  // Final flush, then the threads end. Records that cannot be stored even
  // then go to the spool, to be stored after the next start.
  void shutdown();
  // Stores spooled records, oldest first, until the spool is empty or a
  // store fails. Write thread only (or with the threads off).
  void drainSpool();

  size_t pendingCount();
  size_t indexCount();
  size_t queuedCount();  // collecting + handed over + being written

 private:
  struct PendingKey {
    uint64_t smscid;
    uint64_t sequence;
    bool operator==(const PendingKey&) const = default;
  };
  struct PendingKeyHash {
    size_t operator()(const PendingKey& k) const {
      return std::hash<uint64_t>{}(k.smscid * 0x9E3779B97F4A7C15ULL ^ k.sequence);
    }
  };
  struct IndexKey {
    uint64_t targetId;
    std::string messageId;
    bool operator==(const IndexKey&) const = default;
  };
  struct IndexKeyHash {
    size_t operator()(const IndexKey& k) const {
      return std::hash<std::string>{}(k.messageId) ^ (k.targetId * 0x9E3779B97F4A7C15ULL);
    }
  };
  // OPERATION only: the customer fields the receipt-only record carries.
  struct CustomerFields {
    std::string esmeId;
    std::string esmeIp;
    std::string mccMNC;
  };
  struct IndexEntry {
    PendingKey key;
    int64_t created = 0;  // ns; OPERATION entries outlive their stored record
    // Separate, so CORRELATE entries (the many that wait) stay small.
    std::unique_ptr<CustomerFields> customer;
  };

  int64_t nowNanos() const { return static_cast<int64_t>(clock_() * 1000); }
  // Appends to cdrBatch_ and hands a full batch to the writer. Caller holds
  // dataMutex_. False when the memory bound refused the record.
  bool appendLocked(CDRRecord&& record);
  void handOverLocked();
  void afterQueueing(size_t batchSize, size_t refused);
  size_t removeStaleLocked(int64_t now, std::vector<CDRRecord>& toStore, size_t& indexRemoved);
  void writeThreadMain();
  void flushThreadMain();
  void cleanupThreadMain();
  void stopThreads();
  bool writerStopping();

  Clock clock_;
  std::atomic<CDRMode> mode_{CDRMode::OPERATION};

  // Fixed by initialize before any thread starts.
  size_t batchSize_ = 1000;
  int64_t flushIntervalMicros_ = 30000000;
  int64_t cleanupIntervalNanos_ = 24LL * 3600000000000LL;
  size_t maxQueued_ = 1000000;
  int64_t retryPauseMillis_ = 5000;
  std::unique_ptr<CDRStore> store_;  // used by the write thread only
  std::unique_ptr<CDRSpool> spool_;  // used by the write thread only

  AdaptiveMutex dataMutex_;
  std::string directory_;                                              // guarded by dataMutex_
  std::unordered_map<PendingKey, CDRRecord, PendingKeyHash> pending_;  // guarded by dataMutex_
  std::unordered_map<IndexKey, IndexEntry, IndexKeyHash> index_;       // guarded by dataMutex_
  std::vector<CDRRecord> cdrBatch_;                                    // guarded by dataMutex_
  size_t queued_ = 0;                                                  // guarded by dataMutex_
  uint64_t lastFlushMicros_ = 0;                                       // guarded by dataMutex_
  bool refusing_ = false;                                              // guarded by dataMutex_

  std::mutex writeMutex_;
  std::condition_variable writeCond_;
  std::vector<CDRRecord> writeBatch_;  // guarded by writeMutex_
  // A written batch's storage, given back for the next collection so that
  // collecting does not grow a vector from nothing for every batch.
  std::vector<CDRRecord> spareBatch_;  // guarded by writeMutex_
  bool writerStopping_ = false;        // guarded by writeMutex_

  std::mutex timerMutex_;
  std::condition_variable flushCond_;
  std::condition_variable cleanupCond_;
  bool timersStopping_ = false;  // guarded by timerMutex_

  std::thread writeThread_;
  std::thread flushThread_;
  std::thread cleanupThread_;
  bool threadsRunning_ = false;  // main thread only
};
