#pragma once

#include <cstdint>
#include <vector>

#include "cdr/cdr_mode.h"
#include "cdr/cdr_record.h"

// Where finished batches go: a daily CSV file or an HTTP endpoint.
//
// A store keeps a batch whole or not at all as far as it can tell: true means
// every record of the batch is written (or accepted by the endpoint); false
// means the caller still owns all of them and must try again or keep them.
// Called from one thread at a time (the CDR write thread, or shutdown after
// that thread has ended).
class CDRStore {
 public:
  virtual ~CDRStore() = default;
  // `nowMicros` is the wall clock of the attempt (it picks the daily file).
  virtual bool store(const std::vector<CDRRecord>& batch, CDRMode mode, uint64_t nowMicros) = 0;
};
