#include "downstream/deliver_queue_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/log.h"
#include "base/whole_file.h"

namespace {

constexpr const char* kClassName = "DeliverQueueFile";
constexpr char kMagic[4] = {'P', 'L', 'D', 'Q'};

void appendU32(std::string& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(v >> shift));
}

bool readU32(const std::string& data, size_t& pos, uint32_t& v) {
  if (data.size() - pos < 4) return false;
  v = 0;
  for (int i = 0; i < 4; ++i) v = v << 8 | static_cast<uint8_t>(data[pos + static_cast<size_t>(i)]);
  pos += 4;
  return true;
}

uint32_t fnv1a(uint32_t hash, const void* bytes, size_t length) {
  const auto* p = static_cast<const uint8_t*>(bytes);
  for (size_t i = 0; i < length; ++i) {
    hash ^= p[i];
    hash *= 16777619u;
  }
  return hash;
}

uint32_t recordCheck(const std::string& systemId, const uint8_t* body, size_t bodyLength) {
  uint8_t lengths[8];
  const uint32_t a = static_cast<uint32_t>(systemId.size());
  const uint32_t b = static_cast<uint32_t>(bodyLength);
  for (int i = 0; i < 4; ++i) {
    lengths[i] = static_cast<uint8_t>(a >> (24 - 8 * i));
    lengths[4 + i] = static_cast<uint8_t>(b >> (24 - 8 * i));
  }
  uint32_t hash = fnv1a(2166136261u, lengths, sizeof lengths);
  hash = fnv1a(hash, systemId.data(), systemId.size());
  return fnv1a(hash, body, bodyLength);
}

}  // namespace

std::string DeliverQueueFile::encode(const std::vector<Record>& records) {
  std::string out(kMagic, sizeof kMagic);
  appendU32(out, kVersion);
  for (const auto& [systemId, body] : records) {
    appendU32(out, static_cast<uint32_t>(systemId.size()));
    out += systemId;
    appendU32(out, static_cast<uint32_t>(body.size()));
    out.append(reinterpret_cast<const char*>(body.data()), body.size());
    appendU32(out, recordCheck(systemId, body.data(), body.size()));
  }
  return out;
}

DeliverQueueFile::LoadResult DeliverQueueFile::decode(const std::string& data) {
  LoadResult result;
  size_t pos = 0;
  uint32_t version = 0;
  if (data.size() < sizeof kMagic || memcmp(data.data(), kMagic, sizeof kMagic) != 0) {
    result.damagedBytes = data.size();
    return result;
  }
  pos = sizeof kMagic;
  if (!readU32(data, pos, version) || version != kVersion) {
    result.damagedBytes = data.size();
    return result;
  }
  result.headerValid = true;
  size_t whole = pos;
  while (pos < data.size()) {
    uint32_t idLength = 0;
    uint32_t bodyLength = 0;
    uint32_t check = 0;
    if (!readU32(data, pos, idLength) || idLength > kMaxSystemIdLength ||
        data.size() - pos < idLength)
      break;
    std::string systemId = data.substr(pos, idLength);
    pos += idLength;
    if (!readU32(data, pos, bodyLength) || bodyLength > kMaxBodyLength ||
        data.size() - pos < bodyLength)
      break;
    const auto* bytes = reinterpret_cast<const uint8_t*>(data.data() + pos);
    pos += bodyLength;
    if (!readU32(data, pos, check) || check != recordCheck(systemId, bytes, bodyLength)) break;
    result.records.emplace_back(std::move(systemId),
                                DeliverSMQueue::Body(bytes, bytes + bodyLength));
    whole = pos;
  }
  result.damagedBytes = data.size() - whole;
  result.complete = result.damagedBytes == 0;
  return result;
}

bool DeliverQueueFile::save(const std::string& name, const std::vector<Record>& records) {
  if (records.empty()) {
    if (unlink(name.c_str()) != 0 && errno != ENOENT) {
      logMessage(LOG_WARNING, nullptr, kClassName, "save", "Cannot remove %s: %s", name.c_str(),
                 strerror(errno));
      return false;
    }
    return true;
  }
  bool opened = false;
  if (!writeFileAtomically(name, encode(records), opened)) {
    logMessage(LOG_SEVERE, nullptr, kClassName, "save",
               "Failed to write %zu queued deliver_sm to %s: %s", records.size(), name.c_str(),
               strerror(errno));
    return false;
  }
  logMessage(LOG_INFO, nullptr, kClassName, "save", "Saved %zu queued deliver_sm to %s",
             records.size(), name.c_str());
  return true;
}

size_t DeliverQueueFile::loadInto(const std::string& name, DeliverSMQueue& queue) {
  std::string data;
  bool opened = false;
  const bool readOk = readWholeFile(name, data, opened);
  if (!opened) return 0;
  LoadResult result = decode(data);
  for (const auto& [systemId, body] : result.records) queue.pushDeliverSM(systemId, body);
  if (readOk && result.complete) {
    logMessage(LOG_INFO, nullptr, kClassName, "load", "Queued %zu saved deliver_sm from %s",
               result.records.size(), name.c_str());
  } else {
    logMessage(LOG_WARNING, nullptr, kClassName, "load",
               "%s is damaged: queued %zu whole deliver_sm, ignored the last %zu bytes%s",
               name.c_str(), result.records.size(), result.damagedBytes,
               result.headerValid ? "" : " (not a deliver queue file)");
  }
  // What was loaded now lives in the queue and is saved again at shutdown;
  // the file must not queue it a second time after a crash. A damaged file
  // is kept aside for inspection.
  if (readOk && result.complete) {
    unlink(name.c_str());
  } else {
    rename(name.c_str(), (name + ".damaged").c_str());
  }
  return result.records.size();
}
