#pragma once

#include <cstdint>
#include <string>

#include "cdr/cdr_store.h"

// Appends batches as CSV rows to "cdrs-%Y%m%d.csv" in the CDR directory, one
// file per day of the zone UTC + `rotationOffsetMinutes`; a new or empty file
// starts with the header line.
//
// A batch is stored only when every byte reached the file and the close
// succeeded. When anything fails (open, write, flush, close, disk full) the
// file is cut back to its length before the attempt, so a retry neither
// doubles nor corrupts rows. Not thread-safe; owned by the CDR manager.
class CDRFileStore : public CDRStore {
 public:
  CDRFileStore(std::string directory, int64_t rotationOffsetMinutes, bool anonymise);

  bool store(const std::vector<CDRRecord>& batch, CDRMode mode, uint64_t nowMicros) override;

  // The file name for the day that holds `nowMicros` ("cdrs-20240131.csv").
  // Dates are computed arithmetically in the shifted zone, so the process
  // time zone plays no part.
  std::string fileNameAt(uint64_t nowMicros) const;

 private:
  void rotateIfNeeded(uint64_t nowMicros);

  std::string directory_;  // ends in "/"
  int64_t offsetSeconds_;
  bool anonymise_;
  int64_t dayStart_ = 0;  // seconds since the epoch; local midnight of the zone
  bool haveDay_ = false;
  std::string fileName_;
};
