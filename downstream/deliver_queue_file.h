#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "downstream/deliver_sm_queue.h"

// The file "deliverq" that carries receipts and mobile-originated messages
// still queued for customers across a restart. Written once at shutdown
// (after every producer stopped) through a temporary file, fsync and rename,
// so a crash mid-write leaves the previous file or none; read once at
// start-up before the listener runs. Stateless; call from one thread at a
// time.
//
// Layout: the magic "PLDQ", a 32-bit version, then records of
//   u32 system id length, system id, u32 body length, body, u32 check
// (all big-endian; the check is FNV-1a over both lengths and the bytes), so
// a cut or damaged record is told from a whole one. Loading stops at the
// first record that is not whole: every record before it is kept.
class DeliverQueueFile {
 public:
  using Record = std::pair<std::string, DeliverSMQueue::Body>;

  static constexpr const char* kFileName = "deliverq";
  static constexpr uint32_t kVersion = 1;
  // Longer fields cannot come from a sane queue: SMPP system ids are 16
  // characters, PDUs at most 64 KiB.
  static constexpr uint32_t kMaxSystemIdLength = 255;
  static constexpr uint32_t kMaxBodyLength = 65536;

  struct LoadResult {
    std::vector<Record> records;
    bool headerValid = false;
    // True when the bytes ended exactly after the last whole record.
    bool complete = false;
    size_t damagedBytes = 0;  // bytes after the last whole record
  };

  static std::string encode(const std::vector<Record>& records);
  static LoadResult decode(const std::string& data);

  // Saves `records`, or removes the file when there are none (so an old
  // file is never loaded twice). False with a log line on failure.
  static bool save(const std::string& name, const std::vector<Record>& records);
  // Reads the file into `queue` (each record appended under its system id)
  // and removes it. Returns the number queued; a missing file is 0 without
  // complaint, a damaged one logs what was loaded and what was not.
  static size_t loadInto(const std::string& name, DeliverSMQueue& queue);
};
