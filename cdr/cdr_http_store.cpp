#include "cdr/cdr_http_store.h"

#include <curl/curl.h>

#include <exception>
#include <mutex>

#include "base/log.h"
#include "cdr/cdr_encoding.h"

namespace {

constexpr const char* kClassName = "SMPPCDRManager";

size_t discardBody(char*, size_t size, size_t count, void*) {
  return size * count;
}

}  // namespace

CDRHttpStore::CDRHttpStore(CDRHttpSettings settings) : settings_(std::move(settings)) {
  // Global initialisation is not thread-safe in older libcurl; the lookup
  // services may race us for it at start-up. The global state is left for
  // process exit: other subsystems may still hold handles when CDRs shut down.
  static std::once_flag globalInit;
  std::call_once(globalInit, [] { curl_global_init(CURL_GLOBAL_ALL); });
  curl_ = curl_easy_init();
  headers_ = curl_slist_append(headers_, "Content-Type: application/json");
  if (!settings_.authHeader.empty()) {
    headers_ = curl_slist_append(headers_, settings_.authHeader.c_str());
  }
  if (curl_ == nullptr) return;
  CURL* curl = static_cast<CURL*>(curl_);
  curl_easy_setopt(curl, CURLOPT_URL, settings_.endpoint.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers_);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discardBody);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, settings_.connectTimeoutMs);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, settings_.totalTimeoutMs);
  if (settings_.skipTlsVerify) {
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
  }
}

CDRHttpStore::~CDRHttpStore() {
  if (curl_ != nullptr) curl_easy_cleanup(static_cast<CURL*>(curl_));
  curl_slist_free_all(headers_);
}

bool CDRHttpStore::store(const std::vector<CDRRecord>& batch, CDRMode mode, uint64_t) {
  if (curl_ == nullptr || batch.empty()) return false;
  try {
    const std::string body = jsonBatch(batch, mode, settings_.anonymise);
    CURL* curl = static_cast<CURL*>(curl_);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    const CURLcode code = curl_easy_perform(curl);
    if (code != CURLE_OK) {
      logMessage(LOG_WARNING, this, kClassName, "sendBatchToHTTP", "CDR HTTP send failed: %s",
                 curl_easy_strerror(code));
      return false;
    }
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status > 299) {
      logMessage(LOG_WARNING, this, kClassName, "sendBatchToHTTP",
                 "CDR HTTP send failed: HTTP status %ld", status);
      return false;
    }
    logMessage(LOG_INFO, this, kClassName, "sendBatchToHTTP",
               "CDR HTTP send succeeded - Sent %zu CDRs", batch.size());
    return true;
  } catch (const std::exception& e) {
    logMessage(LOG_WARNING, this, kClassName, "sendBatchToHTTP",
               "Exception during CDR HTTP send: %s", e.what());
    return false;
  }
}
