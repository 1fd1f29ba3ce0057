#include "lookup/msisdn_lookup_master.h"

#include <chrono>
#include <set>

#include "admin/metrics.h"
#include "base/log.h"
#include "base/wall_clock.h"
#include "lookup/http_answers.h"

namespace {

uint64_t millisSince(std::chrono::steady_clock::time_point start) {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - start)
                                   .count());
}

}  // namespace

MSISDNLookupMaster& MSISDNLookupMaster::instance() {
  static MSISDNLookupMaster* master = new MSISDNLookupMaster();
  return *master;
}

MSISDNLookupMaster::MSISDNLookupMaster(Clock clock)
    : clock_(clock ? std::move(clock) : Clock(wallClockMicros)) {}

MSISDNLookupMaster::~MSISDNLookupMaster() { stop(); }

void MSISDNLookupMaster::init(const nlohmann::json& section) {
  settings_ = LookupSettings::fromSection(section);
  limits_.connectTimeoutMs = settings_.connectTimeoutMs;
  limits_.totalTimeoutMs = settings_.requestTimeoutMs;
  cache_ = std::make_unique<LookupCache>(
      static_cast<uint64_t>(settings_.cachePeriodMinutes) * 60000000ull,
      static_cast<size_t>(settings_.cacheMaxEntries));
  logMessage(LOG_INFO, this, className_, "init",
             "Configuration: enabled=%c, useMSISDNCache=%c, URL=%s, max_queue=%d, workers=%d "
             "cachePeriod(mins)=%d",
             settings_.enabled ? 'Y' : 'N', settings_.useMSISDNCache ? 'Y' : 'N',
             settings_.url.c_str(), settings_.maxQueueSize, settings_.workerCount,
             settings_.cachePeriodMinutes);
  logMessage(LOG_INFO, this, className_, "init",
             "Limits: cacheMaxEntries=%d, workersMin=%d, connectTimeout(ms)=%d, "
             "requestTimeout(ms)=%d",
             settings_.cacheMaxEntries, settings_.workerCountMin, settings_.connectTimeoutMs,
             settings_.requestTimeoutMs);
  if (!settings_.enabled) {
    logMessage(LOG_INFO, this, className_, "init",
               "MSISDN lookup disabled - not starting worker threads");
    return;
  }
  pool_ = std::make_unique<HTTPWorkerPool>(
      HTTPWorkerPoolSettings::forService(className_, settings_, "msisdnLookup"),
      static_cast<HTTPJobHandler&>(*this));
  limits_.abort = &pool_->stopping();
  pool_->start();
}

void MSISDNLookupMaster::stop() {
  if (pool_) pool_->stop();
}

MSISDNLookupMaster::LookupOutcome MSISDNLookupMaster::requestLookup(uint64_t transactionId,
                                                                    uint64_t msisdn,
                                                                    nlohmann::json& result,
                                                                    LookupCompletion completion,
                                                                    uint64_t sessionId) {
  if (!settings_.enabled || !pool_) return LookupOutcome::Refused;
  // A fresh answer is used whatever "use_msisdn_cache" says: the setting
  // only governs the worker's second look.
  if (cache_->find(msisdn, clock_(), result)) return LookupOutcome::Answered;
  return addAsyncSubmit("", msisdn, transactionId, std::move(completion), sessionId)
             ? LookupOutcome::Queued
             : LookupOutcome::Refused;
}

bool MSISDNLookupMaster::addAsyncSubmit(const std::string& systemId, uint64_t msisdn,
                                        uint64_t transactionId, LookupCompletion completion,
                                        uint64_t sessionId) {
  if (!pool_) return false;
  auto request = std::make_unique<Request>();
  request->systemId = systemId;
  request->msisdn = msisdn;
  request->completion = std::move(completion);
  request->sessionId = sessionId;
  request->transactionId = transactionId;
  return pool_->submit(std::move(request));
}

std::string MSISDNLookupMaster::requestURL(uint64_t msisdn) const {
  std::string url = settings_.url;
  static const std::string kPlaceholder = "{msisdn}";
  const size_t at = url.find(kPlaceholder);
  if (at != std::string::npos) url.replace(at, kPlaceholder.size(), std::to_string(msisdn));
  return url;
}

bool MSISDNLookupMaster::processLookupHTTP(CURL* handle, const std::string& systemId,
                                           uint64_t msisdn, uint64_t transactionId,
                                           nlohmann::json& answer) {
  MetricsRegistry& metrics = MetricsRegistry::instance();
  std::set<std::string> headers;
  if (!settings_.authHeader.empty()) headers.insert(settings_.authHeader);
  metrics.incrementRate("msisdnLookupPerformRate");
  const auto start = std::chrono::steady_clock::now();
  std::string response;
  long status = -1;
  bool usable = makeHTTPGETRequest(className_, handle, requestURL(msisdn), headers, response,
                                   false, status, limits_);
  if (usable) {
    metrics.incrementCounter(seriesKey("msisdnLookupPerformed", {{"result", std::to_string(status)}}));
    const char* fault = "";
    if (!parseLookupAnswer(status, response, answer, fault)) {
      usable = false;
      metrics.incrementCounter("msisdnLookupAnswerInvalid");
      logMessage(LOG_WARNING, this, className_, "processLookupHTTP",
                 "Unusable answer for %llu (HTTP status %ld, %zu octets): %s",
                 static_cast<unsigned long long>(msisdn), status, response.size(), fault);
    }
  }
  if (!usable) {
    failureCount_.fetch_add(1);
    metrics.incrementCounter("msisdnLookupPerformedFailure");
  } else {
    successCount_.fetch_add(1);
    cache_->store(msisdn, answer, clock_());
    metrics.setGauge("msisdnLookupCacheSize", static_cast<int64_t>(cache_->size()));
  }
  logMessage(LOG_FINE, this, className_, "processLookupHTTP",
             "msisdn=%llu systemid=%s outcome=%c tid=%llu received (duration=%llums)",
             static_cast<unsigned long long>(msisdn), systemId.c_str(), usable ? 'Y' : 'N',
             static_cast<unsigned long long>(transactionId),
             static_cast<unsigned long long>(millisSince(start)));
  return usable;
}

bool MSISDNLookupMaster::attemptJob(CURL* handle, HTTPJob& job, int workerIndex) {
  auto& request = static_cast<Request&>(job);
  nlohmann::json answer;
  // Another request for the same number may have been answered while this
  // one waited.
  if (!(settings_.useMSISDNCache && cache_->find(request.msisdn, clock_(), answer))) {
    logMessage(LOG_FINE, this, className_, "startHTTPRequestWorker", "Processing %llu (%d)",
               static_cast<unsigned long long>(request.msisdn), workerIndex);
    if (!processLookupHTTP(handle, request.systemId, request.msisdn, request.transactionId,
                           answer)) {
      return false;
    }
  }
  if (request.completion) request.completion(request.transactionId, answer);
  return true;
}

void MSISDNLookupMaster::abandonJob(HTTPJob& job) {
  auto& request = static_cast<Request&>(job);
  if (request.completion) request.completion(request.transactionId, nullptr);
}
