#pragma once

#include <atomic>
#include <cstdint>

// Process-wide application and audit logs.
//
// The application log goes to standard output and to "application.log" in the
// working directory; the audit log to "audit.log". Both files are rotated to a
// ".1" generation once they pass 32 MiB. One mutex serialises every write of
// both logs, so lines never interleave. Every function here is safe to call
// from any thread.

enum LogLevel : int {
  LOG_DEBUG = 0,
  LOG_FINEST = 1,
  LOG_FINE = 2,
  LOG_INFO = 3,
  LOG_WARNING = 4,
  LOG_SEVERE = 5,
};

// Size past which a log file is moved to its ".1" generation.
inline constexpr long long kLogRotateBytes = 33554432;

namespace logging_detail {
extern std::atomic<int> minimumLevel;
}

// Whether a line of `level` would be written; lets a caller skip building
// expensive arguments.
inline bool logEnabled(int level) {
  return level >= logging_detail::minimumLevel.load(std::memory_order_relaxed);
}

// Application log line: "%llu.%06llu %12p %7s %s::%s %s\n". `object` may be
// null. The level is tested before the arguments are evaluated, so a line
// below the minimum level costs one comparison and nothing else: the message
// path is full of FINE lines that production never writes.
#define logMessage(level, ...)                                 \
  do {                                                         \
    if (logEnabled(level)) writeLogMessage((level), __VA_ARGS__); \
  } while (0)

// The line of logMessage, written whatever the level; call logMessage.
void writeLogMessage(int level, const void* object, const char* className, const char* function,
                     const char* format, ...) __attribute__((format(printf, 5, 6)));

// Audit log line: "%llu.%06llu %12p %s::%s %s\n". Writes unconditionally; the
// caller checks auditEnabled() first.
void logAudit(const void* object, const char* className, const char* function, const char* format,
              ...) __attribute__((format(printf, 4, 5)));

void setLogLevel(int level);
int getLogLevel();

// Maps "DEBUG" .. "SEVERE" to 0 .. 5; any other text gives INFO (3).
int logLevelFromName(const char* name);
// "DEBUG" .. "SEVERE"; "UNKNOWN" outside 0 .. 5.
const char* logLevelName(int level);

// The audit switch ("log.audit"), changeable at run time by the admin server.
bool auditEnabled();
void setAuditEnabled(bool on);

// Closes the audit file if it is open (once, at shutdown).
void closeAuditLog();
