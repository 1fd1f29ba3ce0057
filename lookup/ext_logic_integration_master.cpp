#include "lookup/ext_logic_integration_master.h"

#include <chrono>
#include <cstdlib>
#include <set>

#include "admin/metrics.h"
#include "base/log.h"
#include "lookup/http_answers.h"

namespace {

uint64_t millisSince(std::chrono::steady_clock::time_point start) {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - start)
                                   .count());
}

// The destination as a number, for log lines only.
unsigned long long destinationNumber(const SMPP::T_SubmitSM& submit) {
  return std::strtoull(submit.destination_addr.c_str(), nullptr, 10);
}

}  // namespace

ExtLogicIntegrationMaster& ExtLogicIntegrationMaster::instance() {
  static ExtLogicIntegrationMaster* master = new ExtLogicIntegrationMaster();
  return *master;
}

ExtLogicIntegrationMaster::ExtLogicIntegrationMaster() = default;

ExtLogicIntegrationMaster::~ExtLogicIntegrationMaster() { stop(); }

void ExtLogicIntegrationMaster::init(const nlohmann::json& section) {
  settings_ = ELISettings::fromSection(section);
  limits_.connectTimeoutMs = settings_.connectTimeoutMs;
  limits_.totalTimeoutMs = settings_.requestTimeoutMs;
  logMessage(LOG_INFO, this, className_, "init",
             "Configuration: enabled=%c, URL=%s, max_queue=%d, workers=%d",
             settings_.enabled ? 'Y' : 'N', settings_.url.c_str(), settings_.maxQueueSize,
             settings_.workerCount);
  logMessage(LOG_INFO, this, className_, "init",
             "Limits: workersMin=%d, connectTimeout(ms)=%d, requestTimeout(ms)=%d",
             settings_.workerCountMin, settings_.connectTimeoutMs, settings_.requestTimeoutMs);
  if (!settings_.enabled) {
    logMessage(LOG_INFO, this, className_, "init", "ELI disabled - not starting worker threads");
    return;
  }
  pool_ = std::make_unique<HTTPWorkerPool>(
      HTTPWorkerPoolSettings::forService(className_, settings_, "eli"),
      static_cast<HTTPJobHandler&>(*this));
  limits_.abort = &pool_->stopping();
  pool_->start();
}

void ExtLogicIntegrationMaster::stop() {
  if (pool_) pool_->stop();
}

bool ExtLogicIntegrationMaster::addAsyncSubmit(const std::string& systemId,
                                               const std::string& peerIp,
                                               const SMPP::T_SubmitSM& submit, uint32_t type,
                                               uint64_t transactionId, LookupCompletion completion,
                                               uint64_t sessionId) {
  if (!settings_.enabled || !pool_) return false;
  auto request = std::make_unique<Request>();
  request->systemId = systemId;
  request->peerIp = peerIp;
  request->submit = submit;
  request->type = type;
  request->completion = std::move(completion);
  request->sessionId = sessionId;
  request->transactionId = transactionId;
  return pool_->submit(std::move(request));
}

bool ExtLogicIntegrationMaster::processELIHTTP(CURL* handle, const std::string& systemId,
                                               const std::string& peerIp,
                                               const SMPP::T_SubmitSM& submit, uint32_t type,
                                               nlohmann::json& result) {
  MetricsRegistry& metrics = MetricsRegistry::instance();
  const unsigned long long msisdn = destinationNumber(submit);
  std::set<std::string> headers{"Content-Type: application/json"};
  if (!settings_.authHeader.empty()) headers.insert(settings_.authHeader);
  metrics.incrementRate("eliPerformRate");
  const auto start = std::chrono::steady_clock::now();
  const std::string body = buildELIRequest(systemId, peerIp, submit, type).dump();
  std::string response;
  long status = -1;
  bool usable = makeHTTPPOSTRequest(className_, handle, settings_.url, headers, body, response,
                                    true, status, limits_);
  if (usable) {
    metrics.incrementCounter(seriesKey("eliPerformed", {{"result", std::to_string(status)}}));
    const char* fault = "";
    if (!parseELIAnswer(status, response, result, fault)) {
      usable = false;
      metrics.incrementCounter("eliAnswerInvalid");
      logMessage(LOG_WARNING, this, className_, "processELIHTTP",
                 "Unusable answer for %llu (HTTP status %ld, %zu octets): %s", msisdn, status,
                 response.size(), fault);
    }
  }
  if (usable) {
    successCount_.fetch_add(1);
  } else {
    failureCount_.fetch_add(1);
    metrics.incrementCounter("eliPerformedFailure");
  }
  logMessage(LOG_FINE, this, className_, "processELIHTTP",
             "msisdn=%llu systemid=%s outcome=%c received (duration=%llums)", msisdn,
             systemId.c_str(), usable ? 'Y' : 'N',
             static_cast<unsigned long long>(millisSince(start)));
  return usable;
}

bool ExtLogicIntegrationMaster::attemptJob(CURL* handle, HTTPJob& job, int workerIndex) {
  auto& request = static_cast<Request&>(job);
  logMessage(LOG_FINE, this, className_, "startHTTPRequestWorker",
             "Processing %llu (txid=%llu, worker=%d)", destinationNumber(request.submit),
             static_cast<unsigned long long>(request.transactionId), workerIndex);
  nlohmann::json result;
  if (!processELIHTTP(handle, request.systemId, request.peerIp, request.submit, request.type,
                      result)) {
    return false;
  }
  if (request.completion) request.completion(request.transactionId, result);
  return true;
}

void ExtLogicIntegrationMaster::abandonJob(HTTPJob& job) {
  auto& request = static_cast<Request&>(job);
  if (request.completion) request.completion(request.transactionId, nullptr);
}
