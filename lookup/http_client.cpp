#include "lookup/http_client.h"

#include <mutex>

#include "base/log.h"

namespace {

size_t appendBody(char* data, size_t size, size_t count, void* userdata) {
  static_cast<std::string*>(userdata)->append(data, size * count);
  return size * count;
}

// A non-zero return makes libcurl abandon the transfer.
int abortWhenAsked(void* clientp, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const auto* abort = static_cast<const std::atomic<bool>*>(clientp);
  return abort->load(std::memory_order_relaxed) ? 1 : 0;
}

bool perform(const char* owner, const char* function, CURL* handle, const std::string& url,
             const std::set<std::string>& headerLines, const std::string* body,
             std::string& response, bool acceptJson, long& status,
             const HTTPRequestLimits& limits) {
  if (handle == nullptr) return false;
  curl_easy_reset(handle);
  std::string received;
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, appendBody);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &received);
  curl_slist* headers = nullptr;
  if (acceptJson) headers = curl_slist_append(headers, "Accept: application/json");
  for (const std::string& line : headerLines) headers = curl_slist_append(headers, line.c_str());
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(handle, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(handle, CURLOPT_TCP_KEEPIDLE, 60L);
  curl_easy_setopt(handle, CURLOPT_TCP_KEEPINTVL, 60L);
  // Timeouts through signals are not safe with several worker threads.
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, limits.connectTimeoutMs);
  curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, limits.totalTimeoutMs);
  if (limits.abort != nullptr) {
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, abortWhenAsked);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(limits.abort));
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
  }
  if (body != nullptr) {
    curl_easy_setopt(handle, CURLOPT_POST, 1L);
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body->c_str());
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->size()));
  }
  const CURLcode code = curl_easy_perform(handle);
  curl_slist_free_all(headers);
  if (code != CURLE_OK) {
    logMessage(LOG_WARNING, handle, owner, function, "curl_easy_perform() failed: %s",
               curl_easy_strerror(code));
    return false;
  }
  long responseCode = -1;
  if (curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &responseCode) != CURLE_OK ||
      responseCode == 0) {
    responseCode = -1;
  }
  status = responseCode;
  response = std::move(received);
  if (logEnabled(LOG_FINEST)) {
    logMessage(LOG_FINEST, handle, owner, function, "HTTP Status: %ld; Response: %s", status,
               response.c_str());
  }
  return !response.empty();
}

}  // namespace

bool makeHTTPGETRequest(const char* owner, CURL* handle, const std::string& url,
                        const std::set<std::string>& headerLines, std::string& response,
                        bool acceptJson, long& status, const HTTPRequestLimits& limits) {
  return perform(owner, "makeHTTPGETRequest", handle, url, headerLines, nullptr, response,
                 acceptJson, status, limits);
}

bool makeHTTPPOSTRequest(const char* owner, CURL* handle, const std::string& url,
                         const std::set<std::string>& headerLines, const std::string& body,
                         std::string& response, bool acceptJson, long& status,
                         const HTTPRequestLimits& limits) {
  return perform(owner, "makeHTTPPOSTRequest", handle, url, headerLines, &body, response,
                 acceptJson, status, limits);
}

void ensureCurlGlobalInit() {
  static std::once_flag globalInit;
  std::call_once(globalInit, [] { curl_global_init(CURL_GLOBAL_ALL); });
}
