#pragma once

#include <curl/curl.h>

#include <atomic>
#include <set>
#include <string>

// Time limits and the abort switch of one HTTP request. A service that
// accepts the connection and never answers would otherwise hold a worker
// for ever, so both limits are always set.
struct HTTPRequestLimits {
  long connectTimeoutMs = 3000;
  long totalTimeoutMs = 5000;
  // When set and true, a running transfer is abandoned (shutdown does not
  // wait for the time limit). Read from the worker thread only.
  const std::atomic<bool>* abort = nullptr;
};

// One HTTP GET or POST over libcurl's easy interface, for the lookup and ELI
// workers. `handle` belongs to the calling thread (one per worker) and is
// reset before each request, so the connection cache survives between calls.
// `owner` is the class name of the caller's log lines. Header lines go out in
// the order of the set, after "Accept: application/json" when `acceptJson`.
// True when the transfer completed and the body is not empty; `status` is
// then the HTTP response code (-1 when libcurl reports none). A transport
// error, a time limit or an abort is false with a WARNING line. Safe from
// any thread, each with its own handle.
bool makeHTTPGETRequest(const char* owner, CURL* handle, const std::string& url,
                        const std::set<std::string>& headerLines, std::string& response,
                        bool acceptJson, long& status, const HTTPRequestLimits& limits);
bool makeHTTPPOSTRequest(const char* owner, CURL* handle, const std::string& url,
                         const std::set<std::string>& headerLines, const std::string& body,
                         std::string& response, bool acceptJson, long& status,
                         const HTTPRequestLimits& limits);

// curl_global_init exactly once per process, whichever subsystem comes first.
void ensureCurlGlobalInit();
