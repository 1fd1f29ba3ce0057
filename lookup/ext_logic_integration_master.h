#pragma once

#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "lookup/completion_queue.h"
#include "lookup/eli_document.h"
#include "lookup/http_client.h"
#include "lookup/http_worker_pool.h"
#include "lookup/lookup_settings.h"
#include "smpp/pdu.h"

// External logic integration: posts every submit, as JSON, to an outside
// service that decides whether it goes on (see readELIDecision for the
// answer). The same pool of HTTP workers as the MSISDN lookup, without a
// cache; only a 2xx answer with a JSON object ends a request.
//
// One process-wide instance (instance(), created on first use and never
// destroyed); tests construct their own. init() runs once on the main thread
// before any other call; stop() at shutdown. addAsyncSubmit() is called by
// the customer sessions on the listener thread and never waits for HTTP.
// Completions run on worker threads and must only hand the result over.
class ExtLogicIntegrationMaster : private HTTPJobHandler {
 public:
  static ExtLogicIntegrationMaster& instance();

  ExtLogicIntegrationMaster();
  ~ExtLogicIntegrationMaster() override;
  ExtLogicIntegrationMaster(const ExtLogicIntegrationMaster&) = delete;
  ExtLogicIntegrationMaster& operator=(const ExtLogicIntegrationMaster&) = delete;

  // Reads the "eli" object of the configuration and, when enabled, starts
  // the manager and its workers.
  void init(const nlohmann::json& section);
  void stop();
  bool enabled() const { return settings_.enabled; }

  // Queues the submit (a deep copy is kept); false when disabled or full.
  // `completion` is called once, later, on a worker thread: with the answer
  // object, or null after the attempts are used up.
  bool addAsyncSubmit(const std::string& systemId, const std::string& peerIp,
                      const SMPP::T_SubmitSM& submit, uint32_t type, uint64_t transactionId,
                      LookupCompletion completion, uint64_t sessionId);
  // One POST on a worker's handle; true with `result` for a usable answer.
  bool processELIHTTP(CURL* handle, const std::string& systemId, const std::string& peerIp,
                      const SMPP::T_SubmitSM& submit, uint32_t type, nlohmann::json& result);

  const ELISettings& settings() const { return settings_; }
  uint64_t successCount() const { return successCount_.load(); }
  uint64_t failureCount() const { return failureCount_.load(); }

 private:
  struct Request : HTTPJob {
    std::string systemId;
    std::string peerIp;
    SMPP::T_SubmitSM submit;
    uint32_t type = 0;
    LookupCompletion completion;
    uint64_t sessionId = 0;
    uint64_t transactionId = 0;
  };

  bool attemptJob(CURL* handle, HTTPJob& job, int workerIndex) override;
  void abandonJob(HTTPJob& job) override;

  const char* className_ = "ExtLogicIntegrationMaster";
  // Written by init() before any worker exists; read-only afterwards.
  ELISettings settings_;
  HTTPRequestLimits limits_;
  std::unique_ptr<HTTPWorkerPool> pool_;
  std::atomic<uint64_t> successCount_{0};
  std::atomic<uint64_t> failureCount_{0};
};
