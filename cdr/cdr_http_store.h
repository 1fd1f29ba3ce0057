#pragma once

#include <cstdint>
#include <string>

#include "cdr/cdr_store.h"

struct curl_slist;

struct CDRHttpSettings {
  std::string endpoint;
  std::string authHeader;  // a whole header line, sent unchanged when not empty
  bool skipTlsVerify = false;
  long connectTimeoutMs = 5000;
  long totalTimeoutMs = 10000;
  bool anonymise = false;
};

// Posts each batch as one JSON array to the endpoint over a single reused
// libcurl handle (the connection is kept alive between batches).
//
// Only a 2xx answer stores the batch; any other status, a transfer error or
// the time limit is a failed attempt. Not thread-safe; owned by the CDR
// manager and used by its write thread.
class CDRHttpStore : public CDRStore {
 public:
  explicit CDRHttpStore(CDRHttpSettings settings);
  ~CDRHttpStore() override;
  CDRHttpStore(const CDRHttpStore&) = delete;
  CDRHttpStore& operator=(const CDRHttpStore&) = delete;

  bool store(const std::vector<CDRRecord>& batch, CDRMode mode, uint64_t nowMicros) override;

 private:
  CDRHttpSettings settings_;
  void* curl_ = nullptr;
  curl_slist* headers_ = nullptr;
};
