#pragma once

#include <cstdint>

// Wall-clock time in microseconds since the Unix epoch: the unit of every
// instant the gateway stores, logs or compares. Code that decides by time
// takes such a value as an argument; this is where the loops and entry points
// read it. Safe from any thread.
uint64_t wallClockMicros();

// The same clock read cheaply, a few milliseconds behind at most: for
// bookkeeping that counts per second (rates), not for deciding by time.
uint64_t coarseWallClockMicros();
