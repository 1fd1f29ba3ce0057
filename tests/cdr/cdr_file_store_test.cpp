#include "cdr/cdr_file_store.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "cdr/cdr_encoding.h"
#include "tests/cdr/csv_reader.h"
#include "tests/support/temp_dir.h"

namespace {

using testing_support::TempDir;

constexpr uint64_t kSecond = 1000000;
// 2024-03-09 22:30:00 UTC, and the midnight after it.
constexpr uint64_t kLateEvening = 1710023400ULL * kSecond;
constexpr uint64_t kMidnightUTC = 1710028800ULL * kSecond;

std::vector<CDRRecord> batchOf(size_t n, const std::string& source = "447700900123") {
  std::vector<CDRRecord> batch(n);
  for (size_t i = 0; i < n; ++i) {
    batch[i].origin = CDROrigin::MO;
    batch[i].sourceAddr = source;
    batch[i].esmeId = "e" + std::to_string(i);
  }
  return batch;
}

// Each file holds the rows of one day in the zone "rotation_timezone_offset"
// minutes east of UTC, with its header once at the top.
TEST(CdrFileStore, HeaderOncePerFileAndNewFileAtLocalMidnight) {
  for (int64_t offsetMinutes : {0, 120, -60}) {
    SCOPED_TRACE(offsetMinutes);
    TempDir dir;
    CDRFileStore store(dir.path(), offsetMinutes, true);
    // The start of 10 March in that zone.
    const uint64_t midnight =
        static_cast<uint64_t>(static_cast<int64_t>(kMidnightUTC) - offsetMinutes * 60000000);
    ASSERT_TRUE(store.store(batchOf(2), CDRMode::CORRELATE, midnight - 3600 * kSecond));
    ASSERT_TRUE(store.store(batchOf(1), CDRMode::CORRELATE, midnight - 1));
    ASSERT_TRUE(store.store(batchOf(1), CDRMode::CORRELATE, midnight));
    const auto first = cdr_test::readCsv(dir.read("cdrs-20240309.csv"));
    ASSERT_EQ(first.size(), 4u);
    EXPECT_EQ(first[0][0], "messageId");
    EXPECT_EQ(first[0].size(), kCDRColumnCount);
    EXPECT_EQ(first[3][1], "4477********");
    const auto second = cdr_test::readCsv(dir.read("cdrs-20240310.csv"));
    ASSERT_EQ(second.size(), 2u);
    EXPECT_EQ(second[0][0], "messageId");
  }
}

// The day's file cannot be opened (a directory holds its name), or takes
// the write and then fails it (disk full): the attempt fails, the file keeps
// only what was there, and the retry once fixed writes each row exactly once.
TEST(CdrFileStore, FailedAttemptLeavesNothingAndRetryWritesOnce) {
  for (const char* failure : {"directory", "disk full"}) {
    TempDir dir;
    CDRFileStore store(dir.path(), 0, false);
    const std::string path = dir.file(store.fileNameAt(kLateEvening));
    ASSERT_TRUE(store.store(batchOf(1), CDRMode::CORRELATE, kLateEvening));
    const std::string before = dir.read(store.fileNameAt(kLateEvening));
    const std::string kept = path + ".kept";
    std::filesystem::rename(path, kept);
    if (std::string(failure) == "directory") {
      std::filesystem::create_directory(path);
    } else {
      if (access("/dev/full", W_OK) != 0) continue;
      std::filesystem::create_symlink("/dev/full", path);
    }
    EXPECT_FALSE(store.store(batchOf(3), CDRMode::CORRELATE, kLateEvening)) << failure;
    std::filesystem::remove(path);
    std::filesystem::rename(kept, path);
    EXPECT_EQ(dir.read(store.fileNameAt(kLateEvening)), before) << failure;

    ASSERT_TRUE(store.store(batchOf(3), CDRMode::CORRELATE, kLateEvening)) << failure;
    EXPECT_EQ(cdr_test::readCsv(dir.read(store.fileNameAt(kLateEvening))).size(), 5u) << failure;
  }
}

}  // namespace
