#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cdr/cdr_mode.h"
#include "cdr/cdr_record.h"

// Records that storage could not take in time (the endpoint is down for
// longer than memory may hold, or the process is stopping), kept on disk in
// "cdr-spool.jsonl" in the CDR directory until they can be stored, oldest
// first, also after a restart.
//
// One JSON object per line, each batch appended, flushed and synced before
// it counts as spooled; a crash can leave at most a torn last line, which is
// cut off when the spool is opened again. The offset of the first unsent line
// is kept in "cdr-spool.offset" (replaced atomically), so a record is sent
// again after a crash only if the crash fell between its store and the
// offset update. Not thread-safe: used by the CDR write thread, and by
// shutdown after that thread has ended.
class CDRSpool {
 public:
  // Reads what an earlier run left (and cuts a torn last line).
  explicit CDRSpool(std::string directory);

  // Appends the records; false (nothing counted) when the file cannot take them.
  bool append(const std::vector<CDRRecord>& records, CDRMode mode);
  // Up to `max` of the oldest unsent records, all of one mode; empty when the
  // spool is empty. Call commit() once they are stored.
  std::vector<CDRRecord> peek(size_t max, CDRMode& mode);
  // Marks what the last peek returned as sent; removes the files once all is.
  void commit();

  size_t waiting() const { return waiting_; }
  const std::string& path() const { return path_; }

 private:
  void open();
  bool saveOffset(uint64_t offset);

  std::string directory_;
  std::string path_;
  std::string offsetPath_;
  uint64_t offset_ = 0;     // first unsent byte
  uint64_t peekedEnd_ = 0;  // end of the lines the last peek returned
  size_t peekedCount_ = 0;
  size_t waiting_ = 0;  // unsent lines
};
