// The saved deliver queue: a round trip through a real file, and damaged
// files that keep every whole record and nothing else.
#include "downstream/deliver_queue_file.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/temp_dir.h"

using testing_support::TempDir;

namespace {

std::vector<DeliverQueueFile::Record> sample() {
  return {{"plain", {1, 2, 3}}, {"acme", {}}, {"plain", std::vector<uint8_t>(300, 0xAB)}};
}

TEST(DeliverQueueFileTest, SavedQueueIsQueuedAgainInOrderAndTheFileIsConsumed) {
  TempDir dir;
  const std::string name = dir.path() + "/deliverq";
  ASSERT_TRUE(DeliverQueueFile::save(name, sample()));
  DeliverSMQueue queue;
  EXPECT_EQ(DeliverQueueFile::loadInto(name, queue), 3u);
  EXPECT_EQ(queue.snapshot(),
            (std::vector<DeliverQueueFile::Record>{
                {"acme", {}}, {"plain", {1, 2, 3}}, {"plain", std::vector<uint8_t>(300, 0xAB)}}));
  DeliverSMQueue again;
  EXPECT_EQ(DeliverQueueFile::loadInto(name, again), 0u) << "loaded twice";
}

struct DamageCase {
  const char* what;
  size_t keep;  // bytes of the encoding kept; npos = all with a flipped byte
  size_t flipAt;
  size_t whole;
};

TEST(DeliverQueueFileTest, DamagedFilesLoadOnlyWholeRecords) {
  const std::string good = DeliverQueueFile::encode(sample());
  const size_t first = 8 + 4 + 5 + 4 + 3 + 4;  // header, then the first record
  const DamageCase cases[] = {
      {"cut inside the second record", first + 6, std::string::npos, 1},
      {"cut inside the header", 6, std::string::npos, 0},
      {"last byte missing", good.size() - 1, std::string::npos, 2},
      {"wrong magic", good.size(), 0, 0},
      {"wrong version", good.size(), 7, 0},
      {"first body byte changed", good.size(), 8 + 4 + 5 + 4, 0},
      {"last check byte changed", good.size(), good.size() - 1, 2},
  };
  for (const DamageCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::string data = good.substr(0, c.keep);
    if (c.flipAt != std::string::npos) data[c.flipAt] ^= 0x5A;
    DeliverQueueFile::LoadResult result = DeliverQueueFile::decode(data);
    EXPECT_FALSE(result.complete);
    ASSERT_EQ(result.records.size(), c.whole);
    for (size_t i = 0; i < c.whole; ++i) EXPECT_EQ(result.records[i], sample()[i]);
  }
  EXPECT_TRUE(DeliverQueueFile::decode(good).complete);
}

}  // namespace
