#pragma once

#include <cstdint>

// How long a bind slot waits after a connection attempt before the next one:
// 3, 10, 15, 15 and 30 seconds after attempts 0 to 4 since the last
// established connection, 45 seconds from then on. A connection attempt
// itself is immediate; the delay paces the retries of a slot whose SMSC is
// unreachable or refuses it, so one dead SMSC is not hammered.
//
// Pure; safe from any thread.
class ConnectBackoff {
 public:
  static constexpr uint64_t delayMicros(uint64_t connectAttempts) {
    constexpr uint64_t kSeconds[] = {3, 10, 15, 15, 30};
    const uint64_t seconds = connectAttempts < 5 ? kSeconds[connectAttempts] : 45;
    return seconds * 1000000ULL;
  }
};
