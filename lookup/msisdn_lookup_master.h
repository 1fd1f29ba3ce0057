#pragma once

#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "lookup/completion_queue.h"
#include "lookup/http_client.h"
#include "lookup/http_worker_pool.h"
#include "lookup/lookup_cache.h"
#include "lookup/lookup_settings.h"

// Asks the MSISDN lookup service which network a destination number belongs
// to, for routing by network and for the CDR: a cache of recent answers in
// front of a pool of HTTP worker threads (HTTPWorkerPool).
//
// One process-wide instance (instance(), created on first use and never
// destroyed, so late worker threads never outlive it); tests construct their
// own. init() runs once on the main thread before any other call; stop() at
// shutdown. requestLookup() and addAsyncSubmit() are called by the customer
// sessions on the listener thread and never wait for HTTP. Completions run
// on worker threads and must only hand the result over (CompletionQueue).
class MSISDNLookupMaster : private HTTPJobHandler {
 public:
  enum class LookupOutcome : int { Refused = 0, Answered = 1, Queued = 2 };
  using Clock = std::function<uint64_t()>;  // microseconds since the epoch

  static MSISDNLookupMaster& instance();

  explicit MSISDNLookupMaster(Clock clock = nullptr);
  ~MSISDNLookupMaster() override;
  MSISDNLookupMaster(const MSISDNLookupMaster&) = delete;
  MSISDNLookupMaster& operator=(const MSISDNLookupMaster&) = delete;

  // Reads the "lookup" object of the configuration and, when enabled,
  // starts the manager and its workers.
  void init(const nlohmann::json& section);
  void stop();

  // Answered: `result` holds the cached answer (no callback follows).
  // Queued: `completion` is called once, later, on a worker thread.
  // Refused: disabled or the queue is full.
  LookupOutcome requestLookup(uint64_t transactionId, uint64_t msisdn, nlohmann::json& result,
                              LookupCompletion completion, uint64_t sessionId);
  // Queues a lookup that skips the caller's cache check; false when refused.
  bool addAsyncSubmit(const std::string& systemId, uint64_t msisdn, uint64_t transactionId,
                      LookupCompletion completion, uint64_t sessionId);
  // One HTTP lookup on a worker's handle; on success `answer` is stored in
  // the cache. Worker threads.
  bool processLookupHTTP(CURL* handle, const std::string& systemId, uint64_t msisdn,
                         uint64_t transactionId, nlohmann::json& answer);

  const LookupSettings& settings() const { return settings_; }
  uint64_t successCount() const { return successCount_.load(); }
  uint64_t failureCount() const { return failureCount_.load(); }
  size_t cacheSize() { return cache_ ? cache_->size() : 0; }
  int runningWorkers() { return pool_ ? pool_->runningWorkers() : 0; }

 private:
  struct Request : HTTPJob {
    std::string systemId;  // empty for lookups of the submit path
    uint64_t msisdn = 0;
    LookupCompletion completion;
    uint64_t sessionId = 0;
    uint64_t transactionId = 0;
  };

  bool attemptJob(CURL* handle, HTTPJob& job, int workerIndex) override;
  void abandonJob(HTTPJob& job) override;
  std::string requestURL(uint64_t msisdn) const;

  const char* className_ = "MSISDNLookupMaster";
  const Clock clock_;
  // Written by init() before any worker exists; read-only afterwards.
  LookupSettings settings_;
  HTTPRequestLimits limits_;
  std::unique_ptr<LookupCache> cache_;
  std::unique_ptr<HTTPWorkerPool> pool_;
  std::atomic<uint64_t> successCount_{0};
  std::atomic<uint64_t> failureCount_{0};
};
