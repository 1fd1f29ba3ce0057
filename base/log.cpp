#include "base/log.h"

#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "base/wall_clock.h"

namespace logging_detail {
std::atomic<int> minimumLevel{LOG_INFO};
}

namespace {

constexpr const char* kApplicationLog = "application.log";
constexpr const char* kApplicationLogOld = "application.1.log";
constexpr const char* kAuditLog = "audit.log";
constexpr const char* kAuditLogOld = "audit.1.log";
constexpr size_t kMessageBuffer = 1024;

std::mutex logMutex;              // guards both files, the audit handle and counter
FILE* auditFile = nullptr;        // guarded by logMutex
unsigned long long auditWrites;   // guarded by logMutex
std::atomic<bool> auditSwitch{false};

long long fileSize(FILE* f) {
  struct stat st {};
  if (fstat(fileno(f), &st) != 0) return 0;
  return static_cast<long long>(st.st_size);
}

// Moves `current` to `old` and opens a fresh `current`; null on failure.
FILE* rotate(FILE* f, const char* current, const char* old) {
  fclose(f);
  remove(old);
  rename(current, old);
  return fopen(current, "a");
}

}  // namespace

void writeLogMessage(int level, const void* object, const char* className, const char* function,
                     const char* format, ...) {
  unsigned long long now = wallClockMicros();

  std::lock_guard<std::mutex> lock(logMutex);
  char message[kMessageBuffer];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof message, format, args);
  va_end(args);

  char line[kMessageBuffer + 256];
  snprintf(line, sizeof line, "%llu.%06llu %12p %7s %s::%s %s\n", now / 1000000ULL,
           now % 1000000ULL, object, logLevelName(level), className, function, message);
  fputs(line, stdout);
  fflush(stdout);

  FILE* f = fopen(kApplicationLog, "a");
  if (f == nullptr) return;
  if (fileSize(f) > kLogRotateBytes) {
    f = rotate(f, kApplicationLog, kApplicationLogOld);
    if (f == nullptr) return;
  }
  fputs(line, f);
  fclose(f);
}

void logAudit(const void* object, const char* className, const char* function, const char* format,
              ...) {
  unsigned long long now = wallClockMicros();
  std::lock_guard<std::mutex> lock(logMutex);
  char message[kMessageBuffer];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof message, format, args);
  va_end(args);

  if (auditFile == nullptr) {
    auditFile = fopen(kAuditLog, "a");
    if (auditFile == nullptr) return;
  }
  if (++auditWrites > 999) {
    auditWrites = 0;
    if (fileSize(auditFile) > kLogRotateBytes) {
      auditFile = rotate(auditFile, kAuditLog, kAuditLogOld);
      if (auditFile == nullptr) return;
    }
  }
  fprintf(auditFile, "%llu.%06llu %12p %s::%s %s\n", now / 1000000ULL, now % 1000000ULL, object,
          className, function, message);
  fflush(auditFile);
}

void setLogLevel(int level) { logging_detail::minimumLevel.store(level, std::memory_order_relaxed); }
int getLogLevel() { return logging_detail::minimumLevel.load(std::memory_order_relaxed); }

int logLevelFromName(const char* name) {
  static const char* const names[] = {"DEBUG", "FINEST", "FINE", "INFO", "WARNING", "SEVERE"};
  for (int i = 0; i < 6; ++i) {
    if (strcmp(name, names[i]) == 0) return i;
  }
  return LOG_INFO;
}

const char* logLevelName(int level) {
  static const char* const names[] = {"DEBUG", "FINEST", "FINE", "INFO", "WARNING", "SEVERE"};
  return level >= 0 && level <= 5 ? names[level] : "UNKNOWN";
}

bool auditEnabled() { return auditSwitch.load(std::memory_order_relaxed); }
void setAuditEnabled(bool on) { auditSwitch.store(on, std::memory_order_relaxed); }

void closeAuditLog() {
  std::lock_guard<std::mutex> lock(logMutex);
  if (auditFile != nullptr) {
    fclose(auditFile);
    auditFile = nullptr;
  }
}
