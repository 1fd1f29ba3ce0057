#include "base/wall_clock.h"

#include <sys/time.h>
#include <time.h>

uint64_t wallClockMicros() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  return static_cast<uint64_t>(tv.tv_sec) * 1000000ULL + static_cast<uint64_t>(tv.tv_usec);
}

uint64_t coarseWallClockMicros() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME_COARSE, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000ULL + static_cast<uint64_t>(ts.tv_nsec) / 1000;
}
