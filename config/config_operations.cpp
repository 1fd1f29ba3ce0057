// The REST configuration operations of OstrelConfiguration: customers,
// shared target sets and targets viewed and changed while the gateway runs.
//
// Every changing operation works in two steps. First it checks the request
// and builds the new records and a new copy of the document; anything that
// throws (a body value of the wrong JSON type) or fails leaves the live
// state untouched. Then it swaps the results in and saves; a save that fails
// restores what was there before. Only the in-memory part runs under
// configMutex; the file is written after it is released (commitSave).
//
// "inboundmo" and "allowedips" are lists of numbers and addresses: only
// their text elements are kept, in the record and in the stored document
// alike (a value that is not an array is kept as an empty list), so a body
// cannot park arbitrary nested structures in the file through them.

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>

#include "base/log.h"
#include "config/ostrel_configuration.h"
#include "config/smsc_slot_id.h"

using nlohmann::json;

namespace {

constexpr int64_t kMaxESMETpsLimit = 65535;

void announce(const char* operation) {
  std::string line = std::string("Performing operation: ") + operation + "\n";
  fputs(line.c_str(), stdout);
  fflush(stdout);
}

bool keyEquals(const json& element, const char* key, const std::string& value) {
  if (!element.is_object()) return false;
  auto it = element.find(key);
  return it != element.end() && it->is_string() && it->get_ref<const std::string&>() == value;
}

// The element of the array `list` whose `key` equals `value`; null when
// there is none or `list` is not an array.
template <typename Json>
Json* findByKey(Json& list, const char* key, const std::string& value) {
  if (!list.is_array()) return nullptr;
  for (auto& element : list) {
    if (keyEquals(element, key, value)) return &element;
  }
  return nullptr;
}

// The member `name` of the object `doc`, or null.
template <typename Json>
Json* member(Json& doc, const char* name) {
  if (!doc.is_object()) return nullptr;
  auto it = doc.find(name);
  return it == doc.end() ? nullptr : &*it;
}

// The `key` values of the elements of the array `doc[listName]`, skipping
// elements without it; null when the array is missing or not an array.
json keysOf(const json& doc, const char* listName, const char* key) {
  const json* list = member(doc, listName);
  if (list == nullptr || !list->is_array()) return nullptr;
  json keys = json::array();
  for (const auto& element : *list) {
    if (element.is_object() && element.contains(key)) keys.push_back(element[key]);
  }
  return keys;
}

// Removes every element of `list` whose `key` equals `value`; the number
// removed.
size_t eraseByKey(json& list, const char* key, const std::string& value) {
  if (!list.is_array()) return 0;
  size_t before = list.size();
  json kept = json::array();
  for (auto& element : list) {
    if (!keyEquals(element, key, value)) kept.push_back(std::move(element));
  }
  list = std::move(kept);
  return before - list.size();
}

std::vector<std::string> textElements(const json& value) {
  std::vector<std::string> out;
  if (!value.is_array()) return out;
  for (const auto& element : value) {
    if (element.is_string()) out.push_back(element.get<std::string>());
  }
  return out;
}

bool isTextListKey(const char* key) {
  return std::string_view(key) == "inboundmo" || std::string_view(key) == "allowedips";
}

uint16_t tpsLimitOf(const json& value) {
  return static_cast<uint16_t>(std::clamp<int64_t>(value.get<int64_t>(), 0, kMaxESMETpsLimit));
}

bool targetNameTaken(const std::map<std::string, SharedTargetSet>& sets, const std::string& name,
                     const TargetRecord* except) {
  for (const auto& [id, set] : sets) {
    for (const auto& target : set.targets) {
      if (&target != except && target.name == name) return true;
    }
  }
  return false;
}

}  // namespace

struct OstrelConfiguration::LiveState {
  json document;
  std::map<std::string, ESMERecord> esmes;
  std::map<std::string, std::vector<std::string>> numbers;
  std::map<std::string, std::string> owners;
  std::map<std::string, SharedTargetSet> sets;
};

OstrelConfiguration::LiveState OstrelConfiguration::captureLocked() {
  return LiveState{jconfig, confESME, numbersByESME, esmeByNumber, confSharedTargetSets};
}

void OstrelConfiguration::restoreLocked(LiveState&& state) {
  setDocument(std::move(state.document));
  confESME = std::move(state.esmes);
  numbersByESME = std::move(state.numbers);
  esmeByNumber = std::move(state.owners);
  publishInboundMORoutesLocked();
  confSharedTargetSets = std::move(state.sets);
}

bool OstrelConfiguration::commitSave(std::unique_lock<std::mutex>& lock, LiveState&& before,
                                     std::string& status) {
  SaveSnapshot snapshot = snapshotLocked();
  // The fsync and the document on standard output take long; binds and the
  // upstream side must not wait for them.
  lock.unlock();
  bool saved = writeSnapshot(snapshot);
  lock.lock();
  if (saved) {
    configChangedAt.store(now());
    return true;
  }
  // Memory and file must not drift apart: a change that is not on disk
  // would silently vanish at the next start.
  restoreLocked(std::move(before));
  status = "Configuration file " + fileName_ + " failed to save";
  return false;
}

void OstrelConfiguration::rebuildEsmeByNumberLocked() {
  esmeByNumber.clear();
  auto it = jconfig.is_object() ? jconfig.find("esme") : jconfig.end();
  if (it != jconfig.end() && it->is_array()) {
    for (const auto& element : *it) {
      if (!element.is_object()) continue;
      auto id = element.find("systemid");
      if (id == element.end() || !id->is_string()) continue;
      auto record = confESME.find(id->get<std::string>());
      if (record == confESME.end()) continue;
      for (const auto& number : record->second.numbers) esmeByNumber[number] = record->first;
    }
  }
  publishInboundMORoutesLocked();
}

// ---- Customers --------------------------------------------------------------

bool OstrelConfiguration::esmeView(const std::string& systemId, json& result, std::string& status) {
  std::lock_guard<std::mutex> lock(configMutex);
  const json& doc = jconfig;
  if (confESME.count(systemId) == 0) {
    status = "ESME not found " + systemId;
    return false;
  }
  const json* list = member(doc, "esme");
  const json* element = list == nullptr ? nullptr : findByKey(*list, "systemid", systemId);
  result = element == nullptr ? json() : *element;
  return true;
}

bool OstrelConfiguration::esmeList(json& result, std::string& /*status*/) {
  std::lock_guard<std::mutex> lock(configMutex);
  result = keysOf(jconfig, "esme", "systemid");
  return true;
}

bool OstrelConfiguration::esmeAdd(const json& body, std::string& status) {
  std::lock_guard<std::mutex> save(saveMutex_);
  announce("Add ESME");
  logMessage(LOG_INFO, this, className_, "esmeAdd", "IN");
  if (body.contains("touch")) {
    // Re-writes the file and makes the upstream side rebuild its binds
    // without changing anything; answered as a failure by design.
    announce("Touch ESME");
    configChangedAt.store(now());
    SaveSnapshot snapshot;
    {
      std::lock_guard<std::mutex> lock(configMutex);
      snapshot = snapshotLocked();
    }
    writeSnapshot(snapshot);
    status = "ESME touch";
    return false;
  }
  std::unique_lock<std::mutex> lock(configMutex);
  if (!body.contains("systemid")) {
    status = "Missing field: systemid";
    return false;
  }
  if (!body.contains("targetset")) {
    status = "Missing field: targetset";
    return false;
  }
  ESMERecord record;
  record.systemid = body["systemid"].get<std::string>();
  if (confESME.count(record.systemid) != 0) {
    status = "ESME already exists";
    return false;
  }
  record.sharedtargetsetid = body["targetset"].get<std::string>();
  if (body.contains("tpslimit")) record.tpslimit = tpsLimitOf(body["tpslimit"]);
  record.submits_enabled = body.value("submits_enabled", true);
  record.binding_enabled = body.value("binding_enabled", true);
  if (body.contains("password")) record.password = body["password"].get<std::string>();
  if (body.contains("password_hash"))
    record.password_hash = body["password_hash"].get<std::string>();
  if (body.contains("inboundmo")) record.numbers = textElements(body["inboundmo"]);
  if (body.contains("allowedips")) record.allowedIPs = textElements(body["allowedips"]);

  json stored = {{"systemid", record.systemid}, {"sharedtargetsetid", record.sharedtargetsetid}};
  for (const char* key : {"inboundmo", "tpslimit", "submits_enabled", "binding_enabled", "password",
                          "password_hash", "allowedips"}) {
    if (!body.contains(key)) continue;
    stored[key] = isTextListKey(key) ? json(textElements(body[key])) : body[key];
  }
  json doc = jconfig;
  doc["esme"].push_back(std::move(stored));

  LiveState before = captureLocked();
  std::string id = record.systemid;
  numbersByESME[id] = record.numbers;
  confESME[id] = std::move(record);
  setDocument(std::move(doc));
  rebuildEsmeByNumberLocked();
  if (!commitSave(lock, std::move(before), status)) return false;
  status = "ESME added " + id;
  logMessage(LOG_INFO, this, className_, "esmeAdd", "OUT");
  return true;
}

bool OstrelConfiguration::esmeModify(const std::string& systemId, const json& body,
                                     std::string& status) {
  std::lock_guard<std::mutex> save(saveMutex_);
  announce("Modify ESME");
  std::unique_lock<std::mutex> lock(configMutex);
  auto live = confESME.find(systemId);
  if (live == confESME.end()) {
    status = "ESME not found";
    return false;
  }
  ESMERecord record = live->second;
  json doc = jconfig;
  json* list = member(doc, "esme");
  json* stored = list == nullptr ? nullptr : findByKey(*list, "systemid", systemId);
  auto store = [&](const char* key, const json& value) {
    if (stored != nullptr) (*stored)[key] = value;
  };
  if (body.contains("targetset")) {
    record.sharedtargetsetid = body["targetset"].get<std::string>();
    store("sharedtargetsetid", body["targetset"]);
  }
  if (body.contains("tpslimit")) {
    record.tpslimit = tpsLimitOf(body["tpslimit"]);
    store("tpslimit", body["tpslimit"]);
  }
  if (body.contains("submits_enabled")) {
    record.submits_enabled = body["submits_enabled"].get<bool>();
    store("submits_enabled", body["submits_enabled"]);
  }
  if (body.contains("binding_enabled")) {
    record.binding_enabled = body["binding_enabled"].get<bool>();
    store("binding_enabled", body["binding_enabled"]);
  }
  if (body.contains("password")) {
    record.password = body["password"].get<std::string>();
    store("password", body["password"]);
  }
  if (body.contains("password_hash")) {
    record.password_hash = body["password_hash"].get<std::string>();
    store("password_hash", body["password_hash"]);
  }
  if (body.contains("inboundmo")) {
    record.numbers = textElements(body["inboundmo"]);
    store("inboundmo", record.numbers);
    // The loader prefers "numbering" over "inboundmo"; left in place it
    // would undo this change at the next start.
    if (stored != nullptr && stored->is_object()) stored->erase("numbering");
  }
  if (body.contains("allowedips")) {
    record.allowedIPs = textElements(body["allowedips"]);
    store("allowedips", record.allowedIPs);
  }

  LiveState before = captureLocked();
  numbersByESME[systemId] = record.numbers;
  confESME[systemId] = std::move(record);
  setDocument(std::move(doc));
  rebuildEsmeByNumberLocked();
  if (!commitSave(lock, std::move(before), status)) return false;
  status = "ESME modified " + systemId;
  return true;
}

bool OstrelConfiguration::esmeRemove(const std::string& systemId, std::string& status) {
  std::lock_guard<std::mutex> save(saveMutex_);
  announce("Remove ESME");
  std::unique_lock<std::mutex> lock(configMutex);
  if (confESME.count(systemId) == 0) {
    status = "ESME not found " + systemId;
    return false;
  }
  json doc = jconfig;
  if (json* list = member(doc, "esme")) eraseByKey(*list, "systemid", systemId);

  LiveState before = captureLocked();
  confESME.erase(systemId);
  numbersByESME.erase(systemId);
  setDocument(std::move(doc));
  // Mobile-originated messages for the removed customer's numbers must not
  // keep queueing for a customer that can no longer bind.
  rebuildEsmeByNumberLocked();
  if (!commitSave(lock, std::move(before), status)) return false;
  status = "ESME removed " + systemId;
  return true;
}

// ---- Shared target sets -----------------------------------------------------

bool OstrelConfiguration::targetSetView(const std::string& id, json& result, std::string& status) {
  std::lock_guard<std::mutex> lock(configMutex);
  const json& doc = jconfig;
  const json* list = member(doc, "targetsets");
  const json* set = list == nullptr ? nullptr : findByKey(*list, "id", id);
  if (set == nullptr) {
    status = "Target set not found " + id;
    return false;
  }
  json view = *set;
  json names = json::array();
  auto targets = view.find("targets");
  if (targets != view.end() && targets->is_array()) {
    for (const auto& target : *targets) {
      if (target.is_object() && target.contains("name")) names.push_back(target["name"]);
    }
  }
  view.erase("targets");
  view["target-names"] = std::move(names);
  result = std::move(view);
  status = "Target set found " + id;
  return true;
}

bool OstrelConfiguration::targetSetList(json& result, std::string& /*status*/) {
  std::lock_guard<std::mutex> lock(configMutex);
  result = keysOf(jconfig, "targetsets", "id");
  return true;
}

bool OstrelConfiguration::targetSetAdd(const json& body, std::string& status) {
  std::lock_guard<std::mutex> save(saveMutex_);
  announce("Add Target Set");
  std::unique_lock<std::mutex> lock(configMutex);
  if (!body.contains("id")) {
    status = "Missing field: id";
    return false;
  }
  SharedTargetSet set;
  set.id = body["id"].get<std::string>();
  if (confSharedTargetSets.count(set.id) != 0) {
    status = "Target set already exists";
    return false;
  }
  if (!body.contains("name")) {
    status = "Missing field: name";
    return false;
  }
  if (!body.contains("submits_enabled")) {
    status = "Missing field: submits_enabled";
    return false;
  }
  set.name = body["name"].get<std::string>();
  set.submits_enabled = body["submits_enabled"].get<bool>();
  // Targets are added one by one through targetAdd, which checks each.
  json stored = body;
  stored["targets"] = nullptr;
  json doc = jconfig;
  doc["targetsets"].push_back(std::move(stored));

  LiveState before = captureLocked();
  std::string id = set.id;
  confSharedTargetSets[id] = std::move(set);
  setDocument(std::move(doc));
  if (!commitSave(lock, std::move(before), status)) return false;
  status = "Target set added " + id;
  return true;
}

bool OstrelConfiguration::targetSetModify(const std::string& id, const json& body,
                                          std::string& status) {
  std::lock_guard<std::mutex> save(saveMutex_);
  announce("Modify Target Set");
  std::unique_lock<std::mutex> lock(configMutex);
  auto live = confSharedTargetSets.find(id);
  if (live == confSharedTargetSets.end()) {
    status = "Target set does not exist " + id;
    return false;
  }
  if (!body.contains("name")) {
    status = "Missing field: name";
    return false;
  }
  if (!body.contains("submits_enabled")) {
    status = "Missing field: submits_enabled";
    return false;
  }
  std::string name = body["name"].get<std::string>();
  bool submitsEnabled = body["submits_enabled"].get<bool>();
  json doc = jconfig;
  json* list = member(doc, "targetsets");
  json* stored = list == nullptr ? nullptr : findByKey(*list, "id", id);
  if (stored == nullptr) {
    status = "Modify failed";
    return false;
  }
  (*stored)["name"] = body["name"];
  (*stored)["submits_enabled"] = body["submits_enabled"];

  LiveState before = captureLocked();
  live->second.name = std::move(name);
  live->second.submits_enabled = submitsEnabled;
  setDocument(std::move(doc));
  if (!commitSave(lock, std::move(before), status)) return false;
  status = "Target set modified " + id;
  return true;
}

bool OstrelConfiguration::targetSetRemove(const std::string& id, std::string& status) {
  std::lock_guard<std::mutex> save(saveMutex_);
  announce("Remove Target Set");
  std::unique_lock<std::mutex> lock(configMutex);
  if (confSharedTargetSets.count(id) == 0) {
    status = "Target set does not exist " + id;
    return false;
  }
  json doc = jconfig;
  if (json* list = member(doc, "targetsets")) eraseByKey(*list, "id", id);

  LiveState before = captureLocked();
  confSharedTargetSets.erase(id);
  setDocument(std::move(doc));
  if (!commitSave(lock, std::move(before), status)) return false;
  status = "Target set removed " + id;
  return true;
}

// ---- Targets ----------------------------------------------------------------

bool OstrelConfiguration::targetView(const std::string& setId, const std::string& name,
                                     json& result, std::string& status) {
  std::lock_guard<std::mutex> lock(configMutex);
  const json& doc = jconfig;
  const json* list = member(doc, "targetsets");
  const json* set = list == nullptr ? nullptr : findByKey(*list, "id", setId);
  const json* target = nullptr;
  if (set != nullptr && set->contains("targets"))
    target = findByKey((*set)["targets"], "name", name);
  if (target == nullptr) {
    status = "Target not found " + name + " (target set " + setId + ")";
    return false;
  }
  result = *target;
  status = "Target found " + name + " (target set " + setId + ")";
  return true;
}

bool OstrelConfiguration::targetNames(const std::string& setId, json& result, std::string& status) {
  std::lock_guard<std::mutex> lock(configMutex);
  const json& doc = jconfig;
  const json* list = member(doc, "targetsets");
  const json* set = list == nullptr ? nullptr : findByKey(*list, "id", setId);
  const json* targets = set == nullptr ? nullptr : member(*set, "targets");
  if (targets == nullptr || !targets->is_array() || targets->empty()) {
    status = "Target set not found or has no targets " + setId;
    return false;
  }
  result = json::array();
  for (const auto& target : *targets) {
    if (target.is_object() && target.contains("name")) result.push_back(target["name"]);
  }
  status = "Target names listed " + setId;
  return true;
}

bool OstrelConfiguration::targetAdd(const std::string& setId, const json& body,
                                    std::string& status) {
  std::lock_guard<std::mutex> save(saveMutex_);
  announce("Add Target");
  std::unique_lock<std::mutex> lock(configMutex);
  json filled = body;
  if (!filled.contains("bindqty")) filled["bindqty"] = 1;
  if (!filled.contains("systemtype")) filled["systemtype"] = "";
  if (!filled.contains("weight")) filled["weight"] = 1;
  if (!filled.contains("admindown")) filled["admindown"] = false;

  TargetRecord record;
  bool error = false;
  processTarget(error, record, filled, true);
  if (error) {
    status = "Failed to parse target data";
    for (const char* key : {"name", "host", "systemid", "password"}) {
      if (!filled.contains(key)) {
        status = std::string("Missing field: ") + key;
        break;
      }
    }
    return false;
  }
  auto live = confSharedTargetSets.find(setId);
  if (live == confSharedTargetSets.end()) {
    status = "Target set not found " + setId;
    return false;
  }
  // Names are unique across all sets: the loader refuses a file that repeats
  // one, so the API must not write such a file.
  if (targetNameTaken(confSharedTargetSets, record.name, nullptr)) {
    status = "Target ID already exists " + record.name;
    return false;
  }
  std::string slotProblem = targetSlotProblem(record, confSharedTargetSets, nullptr, nullptr);
  if (!slotProblem.empty()) {
    status = slotProblem;
    return false;
  }
  json doc = jconfig;
  json* list = member(doc, "targetsets");
  json* stored = list == nullptr ? nullptr : findByKey(*list, "id", setId);
  if (stored != nullptr) {
    json& targets = (*stored)["targets"];
    if (targets.is_null()) targets = json::array();
    targets.push_back(filled);
  }

  LiveState before = captureLocked();
  std::string name = record.name;
  live->second.targets.push_back(std::move(record));
  setDocument(std::move(doc));
  if (!commitSave(lock, std::move(before), status)) return false;
  status = "Target added " + name;
  return true;
}

bool OstrelConfiguration::targetModify(const std::string& setId, const std::string& name,
                                       const json& body, std::string& status) {
  std::lock_guard<std::mutex> save(saveMutex_);
  announce("Modify Target");
  std::unique_lock<std::mutex> lock(configMutex);
  auto live = confSharedTargetSets.find(setId);
  TargetRecord* current = nullptr;
  if (live != confSharedTargetSets.end()) {
    for (auto& target : live->second.targets) {
      if (target.name == name) {
        current = &target;
        break;
      }
    }
  }
  json doc = jconfig;
  json* list = member(doc, "targetsets");
  json* set = list == nullptr ? nullptr : findByKey(*list, "id", setId);
  json* stored = nullptr;
  if (set != nullptr && set->contains("targets"))
    stored = findByKey((*set)["targets"], "name", name);
  if (current == nullptr || stored == nullptr) {
    status = "Target not found " + name;
    return false;
  }
  json merged = *stored;
  merged.update(body, true);
  std::string text = merged.dump() + "\n";
  fputs(text.c_str(), stdout);
  fflush(stdout);

  TargetRecord record;
  bool error = false;
  try {
    processTarget(error, record, merged, true);
  } catch (const json::exception& e) {
    // A required field set to null or to the wrong type would make the file
    // unloadable; it is refused like a missing one.
    logMessage(LOG_WARNING, this, className_, "targetModify", "Exception %s", e.what());
    error = true;
  }
  if (error || targetNameTaken(confSharedTargetSets, record.name, current)) {
    status = "Failed to parse target data";
    return false;
  }
  std::string slotProblem = targetSlotProblem(record, confSharedTargetSets, nullptr, current);
  if (!slotProblem.empty()) {
    status = slotProblem;
    return false;
  }
  *stored = std::move(merged);

  LiveState before = captureLocked();
  *current = std::move(record);
  setDocument(std::move(doc));
  if (!commitSave(lock, std::move(before), status)) return false;
  status = "Target modified " + name;
  return true;
}

bool OstrelConfiguration::targetRemove(const std::string& setId, const std::string& name,
                                       std::string& status) {
  std::lock_guard<std::mutex> save(saveMutex_);
  announce("Remove Target");
  std::unique_lock<std::mutex> lock(configMutex);
  auto live = confSharedTargetSets.find(setId);
  if (live == confSharedTargetSets.end()) {
    status = "Target set not found " + setId;
    return false;
  }
  auto& targets = live->second.targets;
  auto position = std::find_if(targets.begin(), targets.end(),
                               [&](const TargetRecord& target) { return target.name == name; });
  if (position == targets.end()) {
    status = "Target not found " + name;
    return false;
  }
  json doc = jconfig;
  json* list = member(doc, "targetsets");
  json* set = list == nullptr ? nullptr : findByKey(*list, "id", setId);
  size_t removed = 0;
  if (set != nullptr && set->contains("targets"))
    removed = eraseByKey((*set)["targets"], "name", name);

  LiveState before = captureLocked();
  targets.erase(position);
  setDocument(std::move(doc));
  if (!commitSave(lock, std::move(before), status)) return false;
  status = removed > 0 ? "Target removed successfully " + name
                       : "Target removed from confSharedTargetSets but not found in jconfig";
  return true;
}
