#include "base/stop_signals.h"

#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace {

std::atomic<bool>* signalStopFlag = nullptr;
std::atomic<int> stopWakeFd{-1};

void onStopSignal(int signal) {
  // "SIGINT/SIGTERM (%d)\n" formatted by hand: printf is not async-signal-safe.
  char line[32] = "SIGINT/SIGTERM (";
  size_t len = strlen(line);
  char digits[12];
  int n = 0;
  unsigned value = static_cast<unsigned>(signal);
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0 && n < 10);
  while (n > 0) line[len++] = digits[--n];
  line[len++] = ')';
  line[len++] = '\n';
  ssize_t ignored = write(STDOUT_FILENO, line, len);
  (void)ignored;
  if ((signal == SIGINT || signal == SIGTERM) && signalStopFlag != nullptr) {
    signalStopFlag->store(true);
    const int fd = stopWakeFd.load();
    if (fd >= 0) {
      const uint64_t one = 1;
      ignored = write(fd, &one, sizeof one);
    }
  }
}

}  // namespace

void installStopSignals(std::atomic<bool>* stopFlag) {
  signalStopFlag = stopFlag;
  signal(SIGPIPE, SIG_IGN);
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

void setStopWakeDescriptor(int fd) { stopWakeFd.store(fd); }
