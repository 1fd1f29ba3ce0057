// The saved receipt queue read from arbitrary bytes: decoding never crashes,
// keeps only records within their bounds, and what it keeps encodes back to
// exactly the whole prefix it was read from.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "downstream/deliver_queue_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const DeliverQueueFile::LoadResult loaded = DeliverQueueFile::decode(bytes);
  if (!loaded.headerValid) {
    if (!loaded.records.empty()) abort();
    return 0;
  }
  for (const auto& [systemId, body] : loaded.records) {
    if (systemId.size() > DeliverQueueFile::kMaxSystemIdLength) abort();
    if (body.size() > DeliverQueueFile::kMaxBodyLength) abort();
  }
  // The records kept are the file's whole prefix: encoding them again gives
  // those bytes, and the rest is what was reported as damaged.
  const std::string again = DeliverQueueFile::encode(loaded.records);
  if (again.size() + loaded.damagedBytes != bytes.size()) abort();
  if (bytes.compare(0, again.size(), again) != 0) abort();
  if (loaded.complete != (loaded.damagedBytes == 0)) abort();
  return 0;
}
