#include "config/ostrel_configuration.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "base/log.h"
#include "base/wall_clock.h"
#include "config/smsc_slot_id.h"

using nlohmann::json;

namespace {

constexpr const char* kDashes = "---------------------------------\n";
constexpr uint16_t kDefaultESMETpsLimit = 65535;
// A save must never overwrite an earlier backup; two saves within one
// microsecond (or a frozen test clock) take the next free number instead.
constexpr int kBackupNameAttempts = 1000;

const char* boolText(bool value) {
  return value ? "true" : "false";
}

// The member `key` of the object `section` of `root`, or null when the root
// or the section is not an object or the key is absent.
const json* sectionMember(const json& root, const char* section, const std::string& key) {
  if (!root.is_object()) return nullptr;
  auto sectionIt = root.find(section);
  if (sectionIt == root.end() || !sectionIt->is_object()) return nullptr;
  auto it = sectionIt->find(key);
  return it == sectionIt->end() ? nullptr : &*it;
}

void appendTextElements(const json& array, std::vector<std::string>& out) {
  for (const auto& element : array) {
    if (element.is_string()) out.push_back(element.get<std::string>());
  }
}

bool pathExists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

// Writes `text` to a new file at `path` and forces it to disk; false (and
// the partial file removed) on any failure.
bool writeDurably(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const char* data = text.data();
  size_t left = text.size();
  bool ok = true;
  while (left > 0) {
    ssize_t written = write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    data += written;
    left -= static_cast<size_t>(written);
  }
  if (ok && fsync(fd) != 0) ok = false;
  if (close(fd) != 0) ok = false;
  if (!ok) unlink(path.c_str());
  return ok;
}

void syncDirectory(const std::string& directory) {
  int fd = open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

// Records built by one parseConfig pass; they replace the live maps only
// when the pass applies a valid document.
struct OstrelConfiguration::ParsedRecords {
  std::map<std::string, SharedTargetSet> sets;
  std::map<std::string, ESMERecord> esmes;
  std::map<std::string, std::vector<std::string>> numbersByESME;
  std::map<std::string, std::string> esmeByNumber;
  std::vector<json> globalRoutes;
  std::map<std::string, std::map<std::string, LCREntry>> lcr;
};

OstrelConfiguration& OstrelConfiguration::instance() {
  static OstrelConfiguration configuration;
  return configuration;
}

OstrelConfiguration::OstrelConfiguration(std::string fileName)
    : fileName_(std::move(fileName)),
      clock_(wallClockMicros),
      fileWriter_(writeDurably),
      mtRoutes_(std::make_shared<const MTRoutes>(std::vector<json>{}, MTRoutes::LCRTables{})) {
  auto slash = fileName_.rfind('/');
  if (slash != std::string::npos) directory_ = fileName_.substr(0, slash + 1);
}

// ---- Load -------------------------------------------------------------------

bool OstrelConfiguration::performLoad(bool& notFound) {
  std::lock_guard<std::mutex> save(saveMutex_);
  std::lock_guard<std::mutex> lock(configMutex);
  notFound = false;
  FILE* file = fopen(fileName_.c_str(), "rb");
  if (file == nullptr) {
    logMessage(LOG_WARNING, this, className_, "performLoad", "Unable to open configuration file %s",
               fileName_.c_str());
    notFound = true;
    return false;
  }
  long size = -1;
  if (fseek(file, 0, SEEK_END) == 0) size = ftell(file);
  // An empty or unreadable file (a disk that filled during a save, say)
  // must not end the process without a word: the operator would see the
  // daemon stop after its banner and nothing in the log.
  auto unreadable = [this] {
    logMessage(LOG_WARNING, this, className_, "performLoad",
               "Configuration file %s is empty or could not be read whole", fileName_.c_str());
    return false;
  };
  if (size <= 0 || fseek(file, 0, SEEK_SET) != 0) {
    fclose(file);
    return unreadable();
  }
  std::vector<char> buffer(static_cast<size_t>(size) + 1, '\0');
  size_t got = fread(buffer.data(), 1, static_cast<size_t>(size), file);
  fclose(file);
  if (got != static_cast<size_t>(size)) return unreadable();

  try {
    json doc = json::parse(buffer.data(), buffer.data() + size);
    setDocument(doc);
    fwrite(buffer.data(), 1, static_cast<size_t>(size), stdout);
    fputs("\n", stdout);
    fflush(stdout);
    if (!parseConfigLocked(false, doc)) {
      logMessage(LOG_WARNING, this, className_, "performLoad", "Configuration file %s invalid",
                 fileName_.c_str());
      return false;
    }
    parseConfigLocked(true, doc);
  } catch (const std::exception& e) {
    logMessage(LOG_WARNING, this, className_, "performLoad", "Exception %s", e.what());
    return false;
  }
  dumpConfESME();
  dumpConfSharedTargetSets();
  return true;
}

bool OstrelConfiguration::parseConfig(bool apply, json doc) {
  std::lock_guard<std::mutex> save(saveMutex_);
  std::lock_guard<std::mutex> lock(configMutex);
  return parseConfigLocked(apply, doc);
}

bool OstrelConfiguration::parseConfigLocked(bool apply, const json& doc) {
  validationTargetSets.clear();
  validationESMEs.clear();
  // The validation maps exist only during a pass, also when a JSON type
  // error leaves it early.
  struct ValidationReset {
    OstrelConfiguration& self;
    ~ValidationReset() {
      self.validationTargetSets.clear();
      self.validationESMEs.clear();
    }
  } reset{*this};

  ParsedRecords parsed;
  bool error = false;
  bool fatal = false;
  parseTargetSets(error, fatal, doc, parsed);
  if (fatal) return false;
  parseGlobalRoutes(error, doc, parsed);
  auto esmes = doc.find("esme");
  if (esmes != doc.end() && esmes->is_array()) {
    for (const auto& esme : *esmes) parseESME(error, esme, parsed);
  }
  if (error) return false;

  if (apply) {
    confSharedTargetSets = std::move(parsed.sets);
    confESME = std::move(parsed.esmes);
    numbersByESME = std::move(parsed.numbersByESME);
    esmeByNumber = std::move(parsed.esmeByNumber);
    publishInboundMORoutesLocked();
    globalRoutesMT = std::move(parsed.globalRoutes);
    lcrMaps = std::move(parsed.lcr);
    publishMTRoutesLocked();
  }
  return true;
}

void OstrelConfiguration::parseTargetSets(bool& error, bool& fatal, const json& doc,
                                          ParsedRecords& out) {
  auto sets = doc.find("targetsets");
  if (sets == doc.end() || !sets->is_array()) return;
  for (const auto& entry : *sets) {
    if (!entry.contains("id") || !entry.contains("name") || !entry.contains("submits_enabled") ||
        !entry.contains("targets")) {
      logMessage(LOG_WARNING, this, className_, "parseConfig",
                 "Invalid configuration file - missing id, name, submits_enabled or targets in "
                 "target set");
      fatal = true;
      return;
    }
    SharedTargetSet set;
    set.id = entry["id"].get<std::string>();
    set.name = entry["name"].get<std::string>();
    set.submits_enabled = entry["submits_enabled"].get<bool>();
    for (const auto& target : entry["targets"]) {
      TargetRecord record;
      processTarget(error, record, target, true);
      // Target names key the bind slots (smscid) and message ids, so two
      // targets of one name in the same set would mix up their traffic just
      // as across sets.
      if (!error) {
        for (const auto& earlier : set.targets) {
          if (earlier.name == record.name) {
            logMessage(LOG_WARNING, this, className_, "processTarget",
                       "Invalid configuration file - duplicate target %s", record.name.c_str());
            error = true;
            break;
          }
        }
      }
      if (!error) {
        std::string problem = targetSlotProblem(record, validationTargetSets, &set, nullptr);
        if (!problem.empty()) {
          logMessage(LOG_WARNING, this, className_, "processTarget",
                     "Invalid configuration file - %s", problem.c_str());
          error = true;
        }
      }
      set.targets.push_back(std::move(record));
    }
    validationTargetSets[set.id] = set;
    out.sets[set.id] = std::move(set);
  }
}

void OstrelConfiguration::parseGlobalRoutes(bool& error, const json& doc, ParsedRecords& out) {
  auto routes = doc.find("routes-mt");
  if (routes == doc.end() || !routes->is_array()) return;
  for (const auto& rule : *routes) {
    if (rule.contains("criteria") && rule.contains("targetset")) {
      const json& criteria = rule["criteria"];
      if (criteria.contains("match") && criteria.contains("type") && criteria.contains("value")) {
        out.globalRoutes.push_back(rule);
      } else {
        logMessage(LOG_WARNING, this, className_, "parseConfig",
                   "Invalid criteria in global routes-mt: missing match/type/value");
        error = true;
      }
    } else {
      logMessage(LOG_WARNING, this, className_, "parseConfig",
                 "Invalid global routes-mt rule: missing criteria or targetset");
      error = true;
    }
  }
}

void OstrelConfiguration::parseESME(bool& error, const json& esme, ParsedRecords& out) {
  if (!esme.contains("systemid") || !esme.contains("sharedtargetsetid")) {
    logMessage(LOG_WARNING, this, className_, "parseConfig",
               "Invalid configuration file - missing systemid or sharedtargetsetid field in ESME");
    error = true;
    return;
  }
  ESMERecord record;
  record.systemid = esme["systemid"].get<std::string>();
  record.sharedtargetsetid = esme["sharedtargetsetid"].get<std::string>();
  if (esme.contains("tpslimit")) {
    // The limit is 16 bits wide; out-of-range values are clamped rather than
    // wrapped (70000 must not become 4464).
    record.tpslimit = static_cast<uint16_t>(
        std::clamp<int64_t>(esme["tpslimit"].get<int64_t>(), 0, kDefaultESMETpsLimit));
  }
  record.submits_enabled = esme.value("submits_enabled", true);
  record.binding_enabled = esme.value("binding_enabled", true);
  if (esme.contains("password")) record.password = esme["password"].get<std::string>();
  if (esme.contains("password_hash")) {
    record.password_hash = esme["password_hash"].get<std::string>();
  }
  auto inbound = esme.find("inboundmo");
  if (inbound != esme.end() && inbound->is_array()) {
    record.numbers.clear();
    appendTextElements(*inbound, record.numbers);
  }
  auto numbering = esme.find("numbering");
  if (numbering != esme.end() && numbering->is_array()) {
    record.numbers.clear();
    for (const auto& group : *numbering) {
      auto numbers = group.find("numbers");
      if (numbers != group.end() && numbers->is_array())
        appendTextElements(*numbers, record.numbers);
    }
  }
  // The REST operations store "allowedips"; a restart must not silently lift
  // the address restriction they set.
  auto allowed = esme.find("allowedips");
  if (allowed != esme.end() && allowed->is_array()) appendTextElements(*allowed, record.allowedIPs);
  auto routes = esme.find("routes-mt");
  if (routes != esme.end() && routes->is_array()) parseESMERoutes(error, *routes, record, out);

  if (validationESMEs.count(record.systemid) != 0) {
    std::string line =
        "Invalid configuration file - duplicate ESME systemid " + record.systemid + "\n";
    fputs(line.c_str(), stdout);
    fflush(stdout);
    error = true;
  }
  validationESMEs[record.systemid] = record;
  out.numbersByESME[record.systemid] = record.numbers;
  for (const auto& number : record.numbers) out.esmeByNumber[number] = record.systemid;
  out.esmes[record.systemid] = std::move(record);
}

void OstrelConfiguration::parseESMERoutes(bool& error, const json& routes, ESMERecord& record,
                                          ParsedRecords& out) {
  for (const auto& rule : routes) {
    bool criteriaRule = rule.contains("criteria") && rule.contains("targetset");
    if (!criteriaRule && !rule.contains("lcrmap")) {
      logMessage(LOG_WARNING, this, className_, "parseConfig",
                 "Invalid routes-mt rule: missing lcrmap, criteria or criteria targetset");
      error = true;
      continue;
    }
    if (rule.contains("criteria")) {
      const json& criteria = rule["criteria"];
      if (!criteria.contains("match") || !criteria.contains("type") ||
          !criteria.contains("value")) {
        logMessage(LOG_WARNING, this, className_, "parseConfig",
                   "Invalid criteria in routes-mt: missing match/type/value");
        error = true;
        continue;
      }
      record.mtRules.push_back(rule);
    }
    if (!rule.contains("lcrmap")) continue;
    const json& lcrmap = rule["lcrmap"];
    if (!lcrmap.contains("map") || !lcrmap.contains("match") || !lcrmap.contains("type")) {
      logMessage(LOG_WARNING, this, className_, "parseConfig",
                 "Invalid LCR map entry: missing required fields");
      error = true;
      continue;
    }
    auto& table = out.lcr[record.systemid];
    for (const auto& entry : lcrmap["map"]) {
      if (!entry.contains("targetset") || !entry.contains("coverage")) continue;
      std::string targetset = entry["targetset"].get<std::string>();
      for (const auto& item : entry["coverage"]) {
        std::string key = item.value("key", std::string());
        double cost = item.value("cost", 0.0);
        bool ignore = item.value("ignore", false);
        if (key.empty()) continue;
        auto existing = table.find(key);
        if (existing != table.end() && existing->second.cost <= cost) continue;
        if (!ignore) table[key] = LCREntry{key, targetset, cost, false};
      }
    }
  }
}

void OstrelConfiguration::processTarget(bool& error, TargetRecord& record, const json& target,
                                        bool checkDuplicates) {
  std::string line = target.dump() + "\n";
  fputs(line.c_str(), stdout);
  fflush(stdout);
  static const char* const kRequired[] = {"name",     "host",       "bindqty", "systemid",
                                          "password", "systemtype", "weight",  "admindown"};
  for (const char* key : kRequired) {
    if (!target.contains(key)) {
      logMessage(LOG_WARNING, this, className_, "processTarget",
                 "Invalid configuration file - missing required field '%s' in target", key);
      error = true;
      return;
    }
  }
  record.port = target.value("port", 2775);
  record.name = target["name"].get<std::string>();
  record.host = target["host"].get<std::string>();
  record.bindqty = target["bindqty"].get<int32_t>();
  record.systemid = target["systemid"].get<std::string>();
  record.password = target["password"].get<std::string>();
  record.systemtype = target["systemtype"].get<std::string>();
  record.weight = target["weight"].get<int32_t>();
  record.admindown = target["admindown"].get<bool>();
  record.usetxrx = target.value("usetxrx", false);
  record.userxonly = target.value("userxonly", false);
  record.tpslimit = target.value("tpslimit", 32000u);
  if (!checkDuplicates) return;
  for (const auto& [id, set] : validationTargetSets) {
    for (const auto& other : set.targets) {
      if (error) return;
      if (other.name == record.name) {
        logMessage(LOG_WARNING, this, className_, "processTarget",
                   "Invalid configuration file - duplicate target %s", record.name.c_str());
        error = true;
      }
    }
  }
}

// ---- Save -------------------------------------------------------------------

std::string OstrelConfiguration::backupName(uint64_t micros) const {
  return directory_ + "pelliro_" + std::to_string(micros) + ".conf";
}

bool OstrelConfiguration::performSave() {
  std::lock_guard<std::mutex> save(saveMutex_);
  SaveSnapshot snapshot;
  {
    std::lock_guard<std::mutex> lock(configMutex);
    snapshot = snapshotLocked();
  }
  return writeSnapshot(snapshot);
}

OstrelConfiguration::SaveSnapshot OstrelConfiguration::snapshotLocked() {
  // jconfig's writers hold configMutex, as the caller does: reading it here
  // needs no documentMutex_.
  return SaveSnapshot{jconfig.dump(2) + "\n", confESMEText() + confSharedTargetSetsText()};
}

bool OstrelConfiguration::writeSnapshot(const SaveSnapshot& snapshot) {
  const std::string& text = snapshot.document;
  fputs(text.c_str(), stdout);
  fputs(snapshot.records.c_str(), stdout);
  fflush(stdout);

  // The new document is complete on disk before the old one is touched, so a
  // full disk or a crash never leaves the gateway without a configuration.
  std::string temporary = fileName_ + ".tmp";
  if (!fileWriter_(temporary, text)) {
    logMessage(LOG_WARNING, this, className_, "performSave", "Configuration file %s failed to save",
               fileName_.c_str());
    return false;
  }

  uint64_t micros = now();
  std::string backup = backupName(micros);
  for (int i = 0; i < kBackupNameAttempts && pathExists(backup); ++i) backup = backupName(++micros);
  // A hard link keeps the live name present until the atomic rename below
  // replaces it; filesystems without links fall back to a plain move.
  bool movedAway = false;
  if (link(fileName_.c_str(), backup.c_str()) != 0) {
    if (errno != ENOENT && rename(fileName_.c_str(), backup.c_str()) == 0) {
      movedAway = true;
    } else {
      logMessage(LOG_WARNING, this, className_, "performSave", "Failed to rename %s to %s",
                 fileName_.c_str(), backup.c_str());
    }
  }
  if (rename(temporary.c_str(), fileName_.c_str()) != 0) {
    if (movedAway) rename(backup.c_str(), fileName_.c_str());
    unlink(temporary.c_str());
    logMessage(LOG_WARNING, this, className_, "performSave", "Configuration file %s failed to save",
               fileName_.c_str());
    return false;
  }
  syncDirectory(directory_);
  logMessage(LOG_INFO, this, className_, "performSave", "Configuration file %s save",
             fileName_.c_str());
  return true;
}

void OstrelConfiguration::setDocument(json doc) {
  std::lock_guard<std::mutex> lock(documentMutex_);
  jconfig = std::move(doc);
}

void OstrelConfiguration::createDefaultConfiguration() {
  json doc = json::object();
  doc["base"] = {{"_product", "Pelliro"},
                 {"auth.client_id", ""},
                 {"auth.client_secret", ""},
                 {"dlr.default_system_id", ""},
                 {"dlr.disable_msgid_tracking", false},
                 {"ipwhitelistonly", false},
                 {"default_binding_enabled", true},
                 {"smpp.max_connections_per_ip", 250},
                 {"smpp.port", 2775}};
  doc["cdr"] = {{"mode", "none"},
                {"directory", "cdrs/"},
                {"batch_size", 1000},
                {"batch_flush_interval", 30},
                {"cleanup_interval", 24}};
  doc["lookup"] = {{"enabled", false},    {"url", ""},
                   {"auth_header", ""},   {"auth_username", ""},
                   {"auth_password", ""}, {"max_queue_size", 1000},
                   {"worker_count", 16},  {"use_msisdn_cache", true},
                   {"cache_period", 60}};
  doc["esme"] = json::array();
  doc["targetsets"] = json::array();
  doc["routes-mo"] = json::array();
  doc["routes-mt"] = json::array();
  std::lock_guard<std::mutex> save(saveMutex_);
  SaveSnapshot snapshot;
  {
    std::lock_guard<std::mutex> lock(configMutex);
    setDocument(std::move(doc));
    snapshot = snapshotLocked();
  }
  writeSnapshot(snapshot);
}

// ---- Typed getters ----------------------------------------------------------

std::string OstrelConfiguration::getBaseString(const std::string& key, const std::string& def) {
  std::lock_guard<std::mutex> lock(documentMutex_);
  const json* value = sectionMember(jconfig, "base", key);
  return value == nullptr ? def : value->get<std::string>();
}

bool OstrelConfiguration::getBaseBool(const std::string& key, bool def) {
  std::lock_guard<std::mutex> lock(documentMutex_);
  const json* value = sectionMember(jconfig, "base", key);
  return value == nullptr ? def : value->get<bool>();
}

int64_t OstrelConfiguration::getBaseInt(const std::string& key, int64_t def) {
  std::lock_guard<std::mutex> lock(documentMutex_);
  const json* value = sectionMember(jconfig, "base", key);
  return value == nullptr ? def : value->get<int64_t>();
}

std::string OstrelConfiguration::getCDRDirectory() {
  std::lock_guard<std::mutex> lock(documentMutex_);
  const json* value = sectionMember(jconfig, "cdr", "directory");
  return value == nullptr ? "cdrs/" : value->get<std::string>();
}

std::string OstrelConfiguration::getCDRMode() {
  std::lock_guard<std::mutex> lock(documentMutex_);
  const json* value = sectionMember(jconfig, "cdr", "mode");
  return value == nullptr ? "none" : value->get<std::string>();
}

bool OstrelConfiguration::isCDRBackendHTTP() {
  std::lock_guard<std::mutex> lock(documentMutex_);
  const json* value = sectionMember(jconfig, "cdr", "backend");
  if (value == nullptr) return false;
  std::string backend = value->get<std::string>();
  std::transform(backend.begin(), backend.end(), backend.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return backend == "http";
}

int64_t OstrelConfiguration::getCDRBatchSize() {
  std::lock_guard<std::mutex> lock(documentMutex_);
  const json* value = sectionMember(jconfig, "cdr", "batch_size");
  return value == nullptr ? 1000 : value->get<int64_t>();
}

int64_t OstrelConfiguration::getCDRBatchFlushInterval() {
  std::lock_guard<std::mutex> lock(documentMutex_);
  const json* value = sectionMember(jconfig, "cdr", "batch_flush_interval");
  return value == nullptr ? 30 : value->get<int64_t>();
}

int64_t OstrelConfiguration::getCDRCleanupInterval() {
  std::lock_guard<std::mutex> lock(documentMutex_);
  const json* value = sectionMember(jconfig, "cdr", "cleanup_interval");
  return value == nullptr ? 24 : value->get<int64_t>();
}

int64_t OstrelConfiguration::getCDRRotationTimezoneOffset() {
  std::lock_guard<std::mutex> lock(documentMutex_);
  const json* value = sectionMember(jconfig, "cdr", "rotation_timezone_offset");
  return value == nullptr ? 0 : value->get<int64_t>();
}

namespace {
template <typename T>
T cdrValue(const json& doc, const char* key, T def) {
  const json* value = sectionMember(doc, "cdr", key);
  return value == nullptr ? def : value->get<T>();
}
}  // namespace

bool OstrelConfiguration::getCDRAnonymise() {
  std::lock_guard<std::mutex> lock(documentMutex_);
  return cdrValue<bool>(jconfig, "anonymise", false);
}

std::string OstrelConfiguration::getCDRHttpEndpoint() {
  std::lock_guard<std::mutex> lock(documentMutex_);
  return cdrValue<std::string>(jconfig, "http_endpoint", "");
}

std::string OstrelConfiguration::getCDRHttpAuthHeader() {
  std::lock_guard<std::mutex> lock(documentMutex_);
  return cdrValue<std::string>(jconfig, "http_auth_header", "");
}

bool OstrelConfiguration::getCDRHttpSkipTlsVerify() {
  std::lock_guard<std::mutex> lock(documentMutex_);
  return cdrValue<bool>(jconfig, "http_skip_tls_verify", false);
}

int64_t OstrelConfiguration::getCDRHttpConnectTimeout() {
  std::lock_guard<std::mutex> lock(documentMutex_);
  return cdrValue<int64_t>(jconfig, "http_connect_timeout", 5);
}

int64_t OstrelConfiguration::getCDRHttpTimeout() {
  std::lock_guard<std::mutex> lock(documentMutex_);
  return cdrValue<int64_t>(jconfig, "http_timeout", 10);
}

int64_t OstrelConfiguration::getCDRMaxQueued() {
  std::lock_guard<std::mutex> lock(documentMutex_);
  return cdrValue<int64_t>(jconfig, "max_queued_records", 1000000);
}

json OstrelConfiguration::section(const std::string& name) {
  std::lock_guard<std::mutex> lock(documentMutex_);
  if (!jconfig.is_object()) return nullptr;
  auto it = jconfig.find(name);
  return it == jconfig.end() ? json() : *it;
}

json OstrelConfiguration::jconfigCopy() {
  std::lock_guard<std::mutex> lock(documentMutex_);
  return jconfig;
}

// ---- Dumps ------------------------------------------------------------------

void OstrelConfiguration::dumpConfESME() {
  std::string out = confESMEText();
  fputs(out.c_str(), stdout);
  fflush(stdout);
}

std::string OstrelConfiguration::confESMEText() {
  std::string out = "Dumping configuration (Pelliro mode):\n[Pelliro] Dumping confESME:\n";
  for (const auto& [id, record] : confESME) {
    out += "System ID: " + record.systemid + "\n";
    out +=
        std::string("Password: ") + (record.password.empty() ? "[UNDEFINED]" : "[DEFINED]") + "\n";
    out += "Password (hash): " + record.password_hash + "\n";
    out += "Shared Target Set ID: " + record.sharedtargetsetid + "\n";
    out += "TPS Limit: " + std::to_string(record.tpslimit) + "\n";
    out += std::string("Binding Enabled: ") + boolText(record.binding_enabled) + "\n";
    out += std::string("Submits Enabled: ") + boolText(record.submits_enabled) + "\n";
    out += "Inbound MO: ";
    for (const auto& number : record.numbers) out += number + " ";
    out += "\n";
    out += kDashes;
  }
  return out;
}

void OstrelConfiguration::dumpConfSharedTargetSets() {
  std::string out = confSharedTargetSetsText();
  fputs(out.c_str(), stdout);
  fflush(stdout);
}

std::string OstrelConfiguration::confSharedTargetSetsText() {
  std::string out =
      "Dumping configuration (Pelliro mode):\n[Pelliro] Dumping confSharedTargetSets:\n";
  for (const auto& [id, set] : confSharedTargetSets) {
    out += "Shared Target Set ID: " + set.id + "\n";
    out += "Name: " + set.name + "\n";
    out += std::string("Submits Enabled: ") + boolText(set.submits_enabled) + "\n";
    for (const auto& target : set.targets) {
      out += "Target:\n";
      out += "Name: " + target.name + "\n";
      out += "Host: " + target.host + "\n";
      out += "Port: " + std::to_string(target.port) + "\n";
      out += "Bind Quantity: " + std::to_string(target.bindqty) + "\n";
      out += "System ID: " + target.systemid + "\n";
      out += "Password: " + target.password + "\n";
      out += "System Type: " + target.systemtype + "\n";
      out += "Weight: " + std::to_string(target.weight) + "\n";
      out += std::string("Admin Down: ") + boolText(target.admindown) + "\n";
      out += std::string("Use TxRx: ") + boolText(target.usetxrx) + "\n";
      out += std::string("Use Rx Only: ") + boolText(target.userxonly) + "\n";
      out += "TPS Limit: " + std::to_string(target.tpslimit) + "\n";
      out += kDashes;
    }
  }
  return out;
}

// ---- Record queries ---------------------------------------------------------

const ESMERecord* OstrelConfiguration::findESMELocked(const std::string& systemId,
                                                      const std::string& peerIp) const {
  auto it = confESME.find(systemId);
  if (it == confESME.end()) it = confESME.find("[" + peerIp + "]" + systemId);
  return it == confESME.end() ? nullptr : &it->second;
}

bool OstrelConfiguration::defaultBindingEnabled() {
  try {
    return getBaseBool("default_binding_enabled", true);
  } catch (const std::exception& e) {
    // A mistyped switch must not open the door to customers without a record.
    logMessage(LOG_WARNING, this, className_, "defaultBindingEnabled", "Exception %s", e.what());
    return false;
  }
}

std::optional<ESMERecord> OstrelConfiguration::findESME(const std::string& systemId,
                                                        const std::string& peerIp) {
  std::lock_guard<std::mutex> lock(configMutex);
  const ESMERecord* record = findESMELocked(systemId, peerIp);
  if (record == nullptr) return std::nullopt;
  return *record;
}

ResolvedESME OstrelConfiguration::resolveESME(const std::string& systemId,
                                              const std::string& peerIp) {
  std::lock_guard<std::mutex> lock(configMutex);
  ResolvedESME resolved;
  const ESMERecord* record = findESMELocked(systemId, peerIp);
  if (record == nullptr) {
    resolved.binding_enabled = defaultBindingEnabled();
    return resolved;
  }
  resolved.found = true;
  resolved.binding_enabled = record->binding_enabled;
  resolved.password = record->password;
  resolved.password_hash = record->password_hash;
  resolved.allowedIPs = record->allowedIPs;
  resolved.tpslimit = record->tpslimit;
  resolved.sharedtargetsetid = record->sharedtargetsetid;
  resolved.submits_enabled = record->submits_enabled;
  resolved.mtRules = record->mtRules;
  resolved.mtRuleList = record->mtRuleList;
  return resolved;
}

uint16_t OstrelConfiguration::esmeTpsLimit(const std::string& systemId, const std::string& peerIp) {
  std::lock_guard<std::mutex> lock(configMutex);
  const ESMERecord* record = findESMELocked(systemId, peerIp);
  return record == nullptr ? kDefaultESMETpsLimit : record->tpslimit;
}

std::string OstrelConfiguration::esmeSharedTargetSet(const std::string& systemId,
                                                     const std::string& peerIp) {
  std::lock_guard<std::mutex> lock(configMutex);
  const ESMERecord* record = findESMELocked(systemId, peerIp);
  return record == nullptr ? "default" : record->sharedtargetsetid;
}

std::vector<json> OstrelConfiguration::globalRoutesCopy() {
  std::lock_guard<std::mutex> lock(configMutex);
  return globalRoutesMT;
}

std::optional<LCREntry> OstrelConfiguration::lcrEntry(const std::string& systemId,
                                                      const std::string& network) {
  std::lock_guard<std::mutex> lock(configMutex);
  auto table = lcrMaps.find(systemId);
  if (table == lcrMaps.end()) return std::nullopt;
  auto entry = table->second.find(network);
  if (entry == table->second.end()) return std::nullopt;
  return entry->second;
}

std::optional<std::string> OstrelConfiguration::esmeForNumber(const std::string& number) {
  std::lock_guard<std::mutex> lock(configMutex);
  auto it = esmeByNumber.find(number);
  if (it == esmeByNumber.end()) return std::nullopt;
  return it->second;
}

std::string OstrelConfiguration::inboundMOSystemId(const std::string& text) {
  std::shared_ptr<const InboundMORoutes> routes;
  {
    std::lock_guard<std::mutex> lock(inboundMORoutesMutex_);
    routes = inboundMORoutes_;
  }
  return routes ? routes->find(text) : std::string();
}

void OstrelConfiguration::publishInboundMORoutesLocked() {
  {
    std::lock_guard<std::mutex> lock(inboundMORoutesMutex_);
    if (inboundMORoutes_ && inboundMORoutes_->source() == esmeByNumber) return;
  }
  // Compiled before the swap so readers keep the old table meanwhile.
  auto routes = std::make_shared<const InboundMORoutes>(esmeByNumber);
  std::lock_guard<std::mutex> lock(inboundMORoutesMutex_);
  inboundMORoutes_ = std::move(routes);
}

std::shared_ptr<const MTRoutes> OstrelConfiguration::mtRoutes() {
  std::lock_guard<std::mutex> lock(mtRoutesMutex_);
  return mtRoutes_;
}

void OstrelConfiguration::publishMTRoutesLocked() {
  // Compiled before the swap so submits keep routing on the old rules
  // meanwhile; an invalid expression is reported here, once per load.
  auto routes = std::make_shared<const MTRoutes>(globalRoutesMT, lcrMaps);
  for (auto& [id, record] : confESME) {
    record.mtRuleList = record.mtRules.empty()
                            ? nullptr
                            : std::make_shared<const MTRuleList>(record.mtRules, "ESME " + id);
  }
  std::lock_guard<std::mutex> lock(mtRoutesMutex_);
  mtRoutes_ = std::move(routes);
}

std::vector<SharedTargetSet> OstrelConfiguration::targetSetsCopy() {
  std::lock_guard<std::mutex> lock(configMutex);
  std::vector<SharedTargetSet> sets;
  sets.reserve(confSharedTargetSets.size());
  for (const auto& [id, set] : confSharedTargetSets) sets.push_back(set);
  return sets;
}

std::map<std::string, ESMERecord> OstrelConfiguration::esmeRecordsCopy() {
  std::lock_guard<std::mutex> lock(configMutex);
  return confESME;
}

std::map<std::string, std::vector<std::string>> OstrelConfiguration::numbersByESMECopy() {
  std::lock_guard<std::mutex> lock(configMutex);
  return numbersByESME;
}

std::map<std::string, std::string> OstrelConfiguration::esmeByNumberCopy() {
  std::lock_guard<std::mutex> lock(configMutex);
  return esmeByNumber;
}

std::map<std::string, std::map<std::string, LCREntry>> OstrelConfiguration::lcrMapsCopy() {
  std::lock_guard<std::mutex> lock(configMutex);
  return lcrMaps;
}
