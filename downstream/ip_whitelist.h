#pragma once

#include <chrono>
#include <istream>
#include <mutex>
#include <set>
#include <string>
#include <vector>

// The listener's whitelist: addresses whose connections are never blocked,
// limited per address or refused in whitelist-only mode. It is read from a
// file ("ipwhitelist.conf") that the operator may edit while the daemon runs;
// the file is read again at most every 15 seconds, when a connection asks.
//
// Safe from any thread: whitelistMutex_ guards the set, the file name and the
// reload time. The listener loop asks contains(); sessions and administration
// code may call addWhitelistIP().
class IPWhitelist {
 public:
  using SteadyTime = std::chrono::steady_clock::time_point;
  static constexpr std::chrono::seconds kReloadInterval{15};

  // `owner` is the object named in the log lines (the listener).
  explicit IPWhitelist(const void* owner = nullptr) : owner_(owner) {}

  // Empty disables reading; the first contains() afterwards reads the file.
  void setFileName(const std::string& fileName);

  // Reloads the file when due, then: does the list hold "*" or `address`?
  bool contains(const std::string& address, SteadyTime now);

  // Trims `address` and adds it until the next reload of the file.
  void addWhitelistIP(const std::string& address);

  // Reads the file now if a file name is set and the reload interval has
  // passed since the last successful read; logs "Added IP" and "Removed IP"
  // for the differences. A file that cannot be opened leaves the list as it
  // is and is tried again at the next call.
  void loadIPWhitelist(SteadyTime now);

  std::vector<std::string> entries();

  // The entries of a whitelist file: trimmed lines, "#" comments and empty
  // lines skipped, "*" or dotted-quad shaped texts only.
  static std::set<std::string> parse(std::istream& in);

 private:
  void loadLocked(SteadyTime now);

  const void* owner_;
  std::mutex whitelistMutex_;
  std::set<std::string> whitelist_;  // guarded by whitelistMutex_
  std::string fileName_;             // guarded by whitelistMutex_
  bool loaded_ = false;              // guarded by whitelistMutex_
  SteadyTime lastLoad_{};            // guarded by whitelistMutex_
};

// Surrounding spaces, tabs, carriage returns and line feeds removed.
std::string trimBlanks(const std::string& text);
