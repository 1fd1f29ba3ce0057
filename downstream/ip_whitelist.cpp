#include "downstream/ip_whitelist.h"

#include <fstream>

#include "base/log.h"

namespace {

constexpr const char* kClassName = "SMPPServer";

// Four groups of one to three ASCII digits joined by dots, the whole text
// and nothing else: what (\d{1,3}\.){3}\d{1,3} matches in full.
bool isDottedQuadShaped(const std::string& text) {
  size_t pos = 0;
  for (int group = 0; group < 4; ++group) {
    if (group > 0) {
      if (pos >= text.size() || text[pos] != '.') return false;
      ++pos;
    }
    size_t digits = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 4) {
      ++pos;
      ++digits;
    }
    if (digits == 0 || digits > 3) return false;
  }
  return pos == text.size();
}

}  // namespace

std::string trimBlanks(const std::string& text) {
  const char* blanks = " \t\r\n";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

std::set<std::string> IPWhitelist::parse(std::istream& in) {
  std::set<std::string> entries;
  std::string line;
  while (std::getline(in, line)) {
    std::string entry = trimBlanks(line);
    if (entry.empty() || entry[0] == '#') continue;
    if (entry == "*" || isDottedQuadShaped(entry)) entries.insert(entry);
  }
  return entries;
}

void IPWhitelist::setFileName(const std::string& fileName) {
  std::lock_guard<std::mutex> lock(whitelistMutex_);
  fileName_ = fileName;
  loaded_ = false;
}

bool IPWhitelist::contains(const std::string& address, SteadyTime now) {
  std::lock_guard<std::mutex> lock(whitelistMutex_);
  loadLocked(now);
  return whitelist_.count("*") != 0 || whitelist_.count(address) != 0;
}

void IPWhitelist::addWhitelistIP(const std::string& address) {
  std::lock_guard<std::mutex> lock(whitelistMutex_);
  whitelist_.insert(trimBlanks(address));
}

void IPWhitelist::loadIPWhitelist(SteadyTime now) {
  std::lock_guard<std::mutex> lock(whitelistMutex_);
  loadLocked(now);
}

std::vector<std::string> IPWhitelist::entries() {
  std::lock_guard<std::mutex> lock(whitelistMutex_);
  return std::vector<std::string>(whitelist_.begin(), whitelist_.end());
}

void IPWhitelist::loadLocked(SteadyTime now) {
  if (fileName_.empty()) return;
  if (loaded_ && now - lastLoad_ < kReloadInterval) return;
  // The file is small and local; reading it under the lock keeps a reload
  // and a concurrent addWhitelistIP from losing each other's changes.
  std::ifstream in(fileName_);
  if (!in.is_open()) return;
  std::set<std::string> fresh = parse(in);
  for (const auto& entry : fresh)
    if (whitelist_.count(entry) == 0)
      logMessage(LOG_INFO, owner_, kClassName, "loadIPWhitelist", "Added IP %s", entry.c_str());
  for (const auto& entry : whitelist_)
    if (fresh.count(entry) == 0)
      logMessage(LOG_INFO, owner_, kClassName, "loadIPWhitelist", "Removed IP %s", entry.c_str());
  whitelist_ = std::move(fresh);
  loaded_ = true;
  lastLoad_ = now;
}
