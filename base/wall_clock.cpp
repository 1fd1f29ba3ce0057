#include "base/wall_clock.h"

#include <sys/time.h>

uint64_t wallClockMicros() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  return static_cast<uint64_t>(tv.tv_sec) * 1000000ULL + static_cast<uint64_t>(tv.tv_usec);
}
