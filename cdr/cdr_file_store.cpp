#include "cdr/cdr_file_store.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/log.h"
#include "cdr/cdr_encoding.h"

namespace {

constexpr const char* kClassName = "SMPPCDRManager";
constexpr int64_t kDaySeconds = 86400;

int64_t floorDiv(int64_t a, int64_t b) {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

// Local midnight (as UTC seconds) of the day that holds `utcSeconds` in the
// zone UTC + `offsetSeconds`.
int64_t dayStartOf(int64_t utcSeconds, int64_t offsetSeconds) {
  const int64_t local = utcSeconds + offsetSeconds;
  return floorDiv(local, kDaySeconds) * kDaySeconds - offsetSeconds;
}

std::string fileNameForDay(int64_t dayStart, int64_t offsetSeconds) {
  time_t local = static_cast<time_t>(dayStart + offsetSeconds);
  struct tm parts {};
  gmtime_r(&local, &parts);
  char name[64];
  size_t n = strftime(name, sizeof name, "cdrs-%Y%m%d.csv", &parts);
  return std::string(name, n);
}

}  // namespace

CDRFileStore::CDRFileStore(std::string directory, int64_t rotationOffsetMinutes, bool anonymise)
    : directory_(std::move(directory)),
      offsetSeconds_(rotationOffsetMinutes * 60),
      anonymise_(anonymise) {
  if (directory_.empty() || directory_.back() != '/') directory_ += '/';
}

std::string CDRFileStore::fileNameAt(uint64_t nowMicros) const {
  const int64_t now = static_cast<int64_t>(nowMicros / 1000000);
  return fileNameForDay(dayStartOf(now, offsetSeconds_), offsetSeconds_);
}

void CDRFileStore::rotateIfNeeded(uint64_t nowMicros) {
  const int64_t now = static_cast<int64_t>(nowMicros / 1000000);
  // Also when the clock went back: the record belongs to the day it names.
  if (haveDay_ && now >= dayStart_ && now - dayStart_ < kDaySeconds) return;
  dayStart_ = dayStartOf(now, offsetSeconds_);
  fileName_ = fileNameForDay(dayStart_, offsetSeconds_);
  haveDay_ = true;
}

bool CDRFileStore::store(const std::vector<CDRRecord>& batch, CDRMode mode, uint64_t nowMicros) {
  if (batch.empty()) return true;
  rotateIfNeeded(nowMicros);
  const std::string path = directory_ + fileName_;

  FILE* file = fopen(path.c_str(), "ab");
  if (file == nullptr) {
    logMessage(LOG_WARNING, this, kClassName, "writeBatchToFile", "Failed to store CDR batch: %s",
               ("Failed to open CDR file: " + path).c_str());
    return false;
  }
  struct stat info {};
  const off_t before = fstat(fileno(file), &info) == 0 ? info.st_size : 0;

  std::string text;
  text.reserve(batch.size() * 256 + 512);
  if (before == 0) {
    text += kCDRCsvHeader;
    text += '\n';
  }
  for (const CDRRecord& record : batch) appendCsvRow(text, record, mode, anonymise_);

  bool ok = fwrite(text.data(), 1, text.size(), file) == text.size();
  ok = fflush(file) == 0 && ok;
  ok = ferror(file) == 0 && ok;
  int savedErrno = errno;
  if (!ok) {
    // Whatever part reached the file would be written again by the retry.
    if (ftruncate(fileno(file), before) != 0) {
      logMessage(LOG_WARNING, this, kClassName, "writeBatchToFile",
                 "Could not cut %s back to %lld bytes: %s", path.c_str(),
                 static_cast<long long>(before), strerror(errno));
    }
  }
  if (fclose(file) != 0 && ok) {
    ok = false;
    savedErrno = errno;
    if (truncate(path.c_str(), before) != 0) {
      logMessage(LOG_WARNING, this, kClassName, "writeBatchToFile",
                 "Could not cut %s back to %lld bytes: %s", path.c_str(),
                 static_cast<long long>(before), strerror(errno));
    }
  }
  if (!ok) {
    logMessage(LOG_WARNING, this, kClassName, "writeBatchToFile", "Failed to store CDR batch: %s",
               ("Failed to write CDR file: " + path + ": " + strerror(savedErrno)).c_str());
    return false;
  }
  logMessage(LOG_INFO, this, kClassName, "writeBatchToFile", "Successfully stored %zu CDRs",
             batch.size());
  return true;
}
