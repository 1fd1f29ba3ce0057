#pragma once

#include <atomic>

// SIGINT/SIGTERM handling for the daemon's main loop.
//
// installStopSignals() ignores SIGPIPE (a write to a closed peer then fails
// with EPIPE instead of ending the process) and installs one handler for
// SIGINT and SIGTERM that prints "SIGINT/SIGTERM (<n>)" and sets `stopFlag`.
// The loop that owns the flag reads it once per pass. Call from the main
// thread; the handler itself only writes to standard output and stores the
// flag, both async-signal-safe.
void installStopSignals(std::atomic<bool>* stopFlag);

// Also writes to `fd` (an eventfd the stopping loop polls) when a stop
// signal arrives, so a loop asleep in its poller wakes at once whichever
// thread the signal was delivered to. -1 stops writing.
void setStopWakeDescriptor(int fd);
