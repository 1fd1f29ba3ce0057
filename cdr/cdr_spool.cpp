#include "cdr/cdr_spool.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <nlohmann/json.hpp>

#include "base/log.h"

using nlohmann::json;

namespace {

constexpr const char* kClassName = "SMPPCDRManager";

json toJson(const CDRRecord& r, CDRMode mode) {
  return json{{"mode", static_cast<int>(mode)},
              {"origin", static_cast<int>(r.origin)},
              {"messageId", r.messageId},
              {"sourceAddr", r.sourceAddr},
              {"destAddr", r.destAddr},
              {"submitTime", r.submitTime},
              {"messageIdTime", r.messageIdTime},
              {"dlrReceivedTime", r.dlrReceivedTime},
              {"dlrDoneDate", r.dlrDoneDate},
              {"submitStatus", r.submitStatus},
              {"deliveryTime", r.deliveryTime},
              {"deliveryStatus", r.deliveryStatus},
              {"errorCode", r.errorCode},
              {"esmeId", r.esmeId},
              {"esmeIp", r.esmeIp},
              {"smscName", r.smscName},
              {"smscId", r.smscId},
              {"messageLength", r.messageLength},
              {"dataCoding", r.dataCoding},
              {"esmClass", r.esmClass},
              {"registeredDelivery", r.registeredDelivery},
              {"isConcatenated", r.isConcatenated},
              {"concatRef", r.concatRef},
              {"concatTotal", r.concatTotal},
              {"concatPart", r.concatPart},
              {"mccMNC", r.mccMNC}};
}

CDRRecord fromJson(const json& j, CDRMode& mode) {
  CDRRecord r;
  mode = static_cast<CDRMode>(j.at("mode").get<int>());
  r.origin = static_cast<CDROrigin>(j.at("origin").get<int>());
  j.at("messageId").get_to(r.messageId);
  j.at("sourceAddr").get_to(r.sourceAddr);
  j.at("destAddr").get_to(r.destAddr);
  j.at("submitTime").get_to(r.submitTime);
  j.at("messageIdTime").get_to(r.messageIdTime);
  j.at("dlrReceivedTime").get_to(r.dlrReceivedTime);
  j.at("dlrDoneDate").get_to(r.dlrDoneDate);
  j.at("submitStatus").get_to(r.submitStatus);
  j.at("deliveryTime").get_to(r.deliveryTime);
  j.at("deliveryStatus").get_to(r.deliveryStatus);
  j.at("errorCode").get_to(r.errorCode);
  j.at("esmeId").get_to(r.esmeId);
  j.at("esmeIp").get_to(r.esmeIp);
  j.at("smscName").get_to(r.smscName);
  j.at("smscId").get_to(r.smscId);
  j.at("messageLength").get_to(r.messageLength);
  j.at("dataCoding").get_to(r.dataCoding);
  j.at("esmClass").get_to(r.esmClass);
  j.at("registeredDelivery").get_to(r.registeredDelivery);
  j.at("isConcatenated").get_to(r.isConcatenated);
  j.at("concatRef").get_to(r.concatRef);
  j.at("concatTotal").get_to(r.concatTotal);
  j.at("concatPart").get_to(r.concatPart);
  j.at("mccMNC").get_to(r.mccMNC);
  return r;
}

}  // namespace

CDRSpool::CDRSpool(std::string directory) : directory_(std::move(directory)) {
  if (directory_.empty() || directory_.back() != '/') directory_ += '/';
  path_ = directory_ + "cdr-spool.jsonl";
  offsetPath_ = directory_ + "cdr-spool.offset";
  open();
}

void CDRSpool::open() {
  if (FILE* f = fopen(offsetPath_.c_str(), "r")) {
    unsigned long long saved = 0;
    if (fscanf(f, "%llu", &saved) == 1) offset_ = saved;
    fclose(f);
  }
  FILE* f = fopen(path_.c_str(), "rb");
  if (f == nullptr) {
    offset_ = 0;
    return;
  }
  // Count the unsent lines and find the end of the last whole one.
  uint64_t at = 0;
  uint64_t lastWhole = 0;
  int c;
  while ((c = fgetc(f)) != EOF) {
    ++at;
    if (c != '\n') continue;
    lastWhole = at;
    if (at > offset_) ++waiting_;
  }
  fclose(f);
  if (lastWhole != at) {
    logMessage(LOG_WARNING, this, kClassName, "spool", "Cutting a torn last line off %s",
               path_.c_str());
    if (truncate(path_.c_str(), static_cast<off_t>(lastWhole)) != 0) {
      logMessage(LOG_WARNING, this, kClassName, "spool", "Could not cut %s: %s", path_.c_str(),
                 strerror(errno));
    }
  }
  if (offset_ > lastWhole) offset_ = lastWhole;
  if (waiting_ != 0) {
    logMessage(LOG_INFO, this, kClassName, "spool", "%zu spooled CDRs wait in %s", waiting_,
               path_.c_str());
  }
}

bool CDRSpool::append(const std::vector<CDRRecord>& records, CDRMode mode) {
  if (records.empty()) return true;
  mkdir(directory_.c_str(), 0755);
  std::string text;
  for (const CDRRecord& r : records) {
    text += toJson(r, mode).dump(-1, ' ', false, json::error_handler_t::replace);
    text += '\n';
  }
  FILE* f = fopen(path_.c_str(), "ab");
  if (f == nullptr) {
    logMessage(LOG_WARNING, this, kClassName, "spool", "Cannot open %s: %s", path_.c_str(),
               strerror(errno));
    return false;
  }
  struct stat info {};
  const off_t before = fstat(fileno(f), &info) == 0 ? info.st_size : 0;
  bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = fflush(f) == 0 && ok;
  ok = fsync(fileno(f)) == 0 && ok;
  if (!ok && ftruncate(fileno(f), before) != 0) {
    logMessage(LOG_WARNING, this, kClassName, "spool", "Could not cut %s back: %s", path_.c_str(),
               strerror(errno));
  }
  ok = fclose(f) == 0 && ok;
  if (!ok) {
    logMessage(LOG_WARNING, this, kClassName, "spool", "Cannot write %s: %s", path_.c_str(),
               strerror(errno));
    return false;
  }
  waiting_ += records.size();
  return true;
}

std::vector<CDRRecord> CDRSpool::peek(size_t max, CDRMode& mode) {
  std::vector<CDRRecord> out;
  peekedEnd_ = offset_;
  peekedCount_ = 0;
  if (waiting_ == 0) return out;
  FILE* f = fopen(path_.c_str(), "rb");
  if (f == nullptr) return out;
  if (fseeko(f, static_cast<off_t>(offset_), SEEK_SET) != 0) {
    fclose(f);
    return out;
  }
  char* line = nullptr;
  size_t capacity = 0;
  ssize_t n;
  uint64_t at = offset_;
  while (out.size() < max && (n = getline(&line, &capacity, f)) > 0) {
    if (line[n - 1] != '\n') break;  // appended meanwhile; take it next time
    try {
      CDRMode lineMode = CDRMode::NONE;
      CDRRecord r = fromJson(json::parse(line, line + n), lineMode);
      if (!out.empty() && lineMode != mode) break;
      mode = lineMode;
      out.push_back(std::move(r));
    } catch (const std::exception& e) {
      logMessage(LOG_SEVERE, this, kClassName, "spool", "Unreadable line at %llu in %s: %s",
                 static_cast<unsigned long long>(at), path_.c_str(), e.what());
    }
    at += static_cast<uint64_t>(n);
    peekedEnd_ = at;
    ++peekedCount_;
  }
  free(line);
  fclose(f);
  return out;
}

void CDRSpool::commit() {
  if (peekedCount_ == 0) return;
  waiting_ = waiting_ > peekedCount_ ? waiting_ - peekedCount_ : 0;
  peekedCount_ = 0;
  offset_ = peekedEnd_;
  if (waiting_ == 0) {
    // Everything went out; start the next outage with an empty file.
    remove(path_.c_str());
    remove(offsetPath_.c_str());
    offset_ = 0;
    return;
  }
  saveOffset(offset_);
}

bool CDRSpool::saveOffset(uint64_t offset) {
  const std::string temp = offsetPath_ + ".tmp";
  FILE* f = fopen(temp.c_str(), "w");
  if (f == nullptr) return false;
  bool ok = fprintf(f, "%llu\n", static_cast<unsigned long long>(offset)) > 0;
  ok = fflush(f) == 0 && ok;
  ok = fsync(fileno(f)) == 0 && ok;
  ok = fclose(f) == 0 && ok;
  return ok && rename(temp.c_str(), offsetPath_.c_str()) == 0;
}
