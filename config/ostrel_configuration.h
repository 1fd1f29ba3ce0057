#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "config/config_records.h"
#include "config/inbound_mo_routes.h"
#include "config/mt_routes.h"

// The gateway's configuration: the JSON document of "pelliro.conf" (jconfig)
// and the live records derived from it (customers, shared target sets, MT
// rules, LCR tables, inbound numbers).
//
// One process-wide instance (instance()); tests construct their own with a
// file path. The file is read once at start-up (performLoad, main thread,
// before other threads exist) and afterwards changed only by the REST
// operations, which run on the HTTP thread one at a time, keep the document
// and the records in step and rewrite the file (performSave).
//
// Locking, in this order:
// - saveMutex_ serialises every change with its save: a REST operation holds
//   it from its first check to the end of its file write (and the rollback of
//   a failed write); performLoad, parseConfig and the saves take it too. It is
//   held across disk I/O, so it must never be taken while configMutex is
//   held, and nothing but the changers (HTTP thread, start-up) takes it.
// - configMutex guards the live records and jconfig's writers; the record
//   queries and the in-memory part of the REST operations take it. A change
//   builds its file text under it and writes the file after releasing it, so
//   a bind never waits for a disk flush. The record queries and REST
//   operations take it themselves: never call them while holding it. The
//   upstream pool lock is taken before configMutex.
// - documentMutex_ guards jconfig against the lock-free readers (typed
//   getters, section()). It is innermost: taken after configMutex, held only
//   to copy or swap the document, never across I/O. Getters are therefore
//   safe from any thread, also with configMutex held.
class OstrelConfiguration {
 public:
  static OstrelConfiguration& instance();

  // `fileName` is the configuration file; backups "pelliro_" + microseconds
  // + ".conf" are written to the same directory.
  explicit OstrelConfiguration(std::string fileName = "pelliro.conf");
  OstrelConfiguration(const OstrelConfiguration&) = delete;
  OstrelConfiguration& operator=(const OstrelConfiguration&) = delete;

  const std::string& fileName() const { return fileName_; }

  // ---- File ----------------------------------------------------------------

  // Loads the file and builds the live records; true on success. `notFound`
  // is set only when the file cannot be opened. Takes configMutex.
  bool performLoad(bool& notFound);
  // Validates `doc` and, when `apply`, replaces the live records with the
  // ones built from it; true when no error was found. Nothing live changes
  // unless `apply` is set and the document is valid. JSON type errors are
  // thrown. Takes configMutex.
  bool parseConfig(bool apply, nlohmann::json doc);
  // Reads one target object into `record`; sets `error` on a fault. With
  // `checkDuplicates` the name is compared with the targets of the sets
  // validated so far (only during parseConfig). Caller holds configMutex.
  void processTarget(bool& error, TargetRecord& record, const nlohmann::json& target,
                     bool checkDuplicates);
  // Writes jconfig to the file through a temporary file, keeping the
  // previous file as a backup; returns whether the new file is in place.
  // Takes saveMutex_ and, only to copy the document, configMutex: the caller
  // holds neither.
  bool performSave();
  // How the new file's text reaches the disk: (path, text) -> whether it is
  // durably there. The default writes and fsyncs. Replaceable so tests can
  // make a save slow or fail; set before other threads use the object.
  using FileWriter = std::function<bool(const std::string& path, const std::string& text)>;
  void setFileWriterForTesting(FileWriter writer) { fileWriter_ = std::move(writer); }
  // Replaces jconfig with the default document and saves it (first run).
  void createDefaultConfiguration();

  // ---- Typed getters (no configMutex; safe from any thread) ----------------

  // Keys of "base" are flat dotted keys ("smpp.port"). A value of the wrong
  // JSON type throws nlohmann::json::type_error.
  std::string getBaseString(const std::string& key, const std::string& def);
  bool getBaseBool(const std::string& key, bool def);
  int64_t getBaseInt(const std::string& key, int64_t def);

  std::string getCDRDirectory();
  std::string getCDRMode();
  bool isCDRBackendHTTP();
  int64_t getCDRBatchSize();
  int64_t getCDRBatchFlushInterval();
  int64_t getCDRCleanupInterval();
  int64_t getCDRRotationTimezoneOffset();
  bool getCDRAnonymise();              // "anonymise", false
  std::string getCDRHttpEndpoint();    // "http_endpoint", empty
  std::string getCDRHttpAuthHeader();  // "http_auth_header", empty
  bool getCDRHttpSkipTlsVerify();      // "http_skip_tls_verify", false
  int64_t getCDRHttpConnectTimeout();  // "http_connect_timeout", seconds, 5
  int64_t getCDRHttpTimeout();         // "http_timeout", seconds, 10
  int64_t getCDRMaxQueued();           // "max_queued_records", 1000000

  // Copy of a top-level section ("lookup", "eli", "cdr", ...); null when
  // absent or when the document is not an object.
  nlohmann::json section(const std::string& name);
  // Copy of the whole document.
  nlohmann::json jconfigCopy();

  // ---- Dumps to standard output (caller holds configMutex) ----------------

  void dumpConfESME();
  void dumpConfSharedTargetSets();

  // ---- Record queries (take configMutex once; safe from any thread) -------

  // The customer's record by resolution (system id, then "[" peer "]" id).
  std::optional<ESMERecord> findESME(const std::string& systemId, const std::string& peerIp);
  // Every per-bind value of the customer, defaults filled in.
  ResolvedESME resolveESME(const std::string& systemId, const std::string& peerIp);
  uint16_t esmeTpsLimit(const std::string& systemId, const std::string& peerIp);
  std::string esmeSharedTargetSet(const std::string& systemId, const std::string& peerIp);
  std::vector<nlohmann::json> globalRoutesCopy();
  // The compiled global MT rules and LCR tables current now, for routing a
  // submit outside configMutex (MTRoutes::route). Never null. A caller may
  // keep the snapshot as long as it likes; a change publishes a new one.
  std::shared_ptr<const MTRoutes> mtRoutes();
  // LCR entry of the customer (bound system id) for a network (mcc + mnc).
  std::optional<LCREntry> lcrEntry(const std::string& systemId, const std::string& network);
  // The customer that receives mobile-originated messages for `number`.
  std::optional<std::string> esmeForNumber(const std::string& number);
  // The customer that receives a mobile-originated message whose text (or
  // destination) is `text`: the exact inbound number, else the first number
  // in key order whose regular expression matches all of it; "" when none.
  // Matching runs outside configMutex, on the table current when it starts.
  std::string inboundMOSystemId(const std::string& text);
  // The live target sets in id order.
  std::vector<SharedTargetSet> targetSetsCopy();

  // Copies of the live maps, for the status report and tests.
  std::map<std::string, ESMERecord> esmeRecordsCopy();
  std::map<std::string, std::vector<std::string>> numbersByESMECopy();
  std::map<std::string, std::string> esmeByNumberCopy();
  std::map<std::string, std::map<std::string, LCREntry>> lcrMapsCopy();

  // ---- REST configuration operations (HTTP thread) -------------------------
  // `status` arrives as "OK" and is replaced by the result text. True means
  // success (HTTP 200), false failure (400). Wrong JSON types in a body throw
  // nlohmann::json exceptions; a failed or throwing operation leaves the live
  // records, jconfig and the file unchanged. The changing operations take
  // saveMutex_ for their whole run and configMutex for all but the file
  // write; the views and lists take configMutex only.

  bool esmeView(const std::string& systemId, nlohmann::json& result, std::string& status);
  bool esmeList(nlohmann::json& result, std::string& status);
  bool esmeAdd(const nlohmann::json& body, std::string& status);
  bool esmeModify(const std::string& systemId, const nlohmann::json& body, std::string& status);
  bool esmeRemove(const std::string& systemId, std::string& status);
  bool targetSetView(const std::string& id, nlohmann::json& result, std::string& status);
  bool targetSetList(nlohmann::json& result, std::string& status);
  bool targetSetAdd(const nlohmann::json& body, std::string& status);
  bool targetSetModify(const std::string& id, const nlohmann::json& body, std::string& status);
  bool targetSetRemove(const std::string& id, std::string& status);
  bool targetView(const std::string& setId, const std::string& name, nlohmann::json& result,
                  std::string& status);
  bool targetNames(const std::string& setId, nlohmann::json& result, std::string& status);
  bool targetAdd(const std::string& setId, const nlohmann::json& body, std::string& status);
  bool targetModify(const std::string& setId, const std::string& name, const nlohmann::json& body,
                    std::string& status);
  bool targetRemove(const std::string& setId, const std::string& name, std::string& status);

  // Wall clock in microseconds since the epoch; replaceable in tests. Used
  // for configChangedAt and backup file names. Set before other threads run.
  void setClock(std::function<uint64_t()> clock) { clock_ = std::move(clock); }

  std::mutex configMutex;
  // Time (µs) of the last change made through the REST operations; the
  // upstream thread rebuilds its binds when this is newer than its last pass.
  std::atomic<uint64_t> configChangedAt{0};

 private:
  struct ParsedRecords;

  bool parseConfigLocked(bool apply, const nlohmann::json& doc);
  void parseTargetSets(bool& error, bool& fatal, const nlohmann::json& doc, ParsedRecords& out);
  void parseGlobalRoutes(bool& error, const nlohmann::json& doc, ParsedRecords& out);
  void parseESME(bool& error, const nlohmann::json& esme, ParsedRecords& out);
  void parseESMERoutes(bool& error, const nlohmann::json& routes, ESMERecord& record,
                       ParsedRecords& out);
  const ESMERecord* findESMELocked(const std::string& systemId, const std::string& peerIp) const;
  bool defaultBindingEnabled();
  uint64_t now() const { return clock_(); }
  std::string backupName(uint64_t micros) const;
  void setDocument(nlohmann::json doc);

  // What one save writes: the document as indented text and the record
  // dumps, both taken under configMutex and written after it is released.
  struct SaveSnapshot {
    std::string document;
    std::string records;
  };
  SaveSnapshot snapshotLocked();
  // Caller holds saveMutex_ but not configMutex.
  bool writeSnapshot(const SaveSnapshot& snapshot);
  std::string confESMEText();
  std::string confSharedTargetSetsText();

  // The REST operations change the live state only after every check has
  // passed; a failed save puts the state captured before the change back.
  struct LiveState;
  LiveState captureLocked();
  void restoreLocked(LiveState&& state);
  // Called with saveMutex_ held and `lock` holding configMutex, after the
  // change is applied: takes the snapshot, releases configMutex, writes the
  // file; on failure takes configMutex again and restores `before`. Because
  // every changer holds saveMutex_ from its first check to here, no newer
  // change can have come in between, so the rollback never undoes another
  // operation's change and saves reach the disk in the order of the changes.
  // Sessions may see a change during the moment its save takes; a failed
  // save takes it back.
  bool commitSave(std::unique_lock<std::mutex>& lock, LiveState&& before, std::string& status);
  // Inbound numbers to customers in file order, a later customer winning,
  // exactly as the loader builds the map.
  void rebuildEsmeByNumberLocked();
  // Compiles esmeByNumber into a new routing table unless it is the one the
  // current table was built from. Caller holds configMutex; called after
  // every assignment of esmeByNumber.
  void publishInboundMORoutesLocked();
  // Compiles globalRoutesMT and copies lcrMaps into a new routing snapshot,
  // and compiles every customer's MT rules. Caller holds configMutex; called
  // after every assignment of globalRoutesMT, lcrMaps or confESME's rules.
  void publishMTRoutesLocked();

  const char* className_ = "OstrelConfiguration";
  std::string fileName_;
  std::string directory_;  // directory of fileName_, with a trailing '/' or empty
  std::function<uint64_t()> clock_;
  FileWriter fileWriter_;

  std::mutex saveMutex_;  // see Locking above; guards no data, orders the changes and their saves

  std::map<std::string, std::map<std::string, LCREntry>> lcrMaps;  // guarded by configMutex
  std::mutex documentMutex_;
  // Written under configMutex and documentMutex_; read under either.
  nlohmann::json jconfig;
  std::map<std::string, ESMERecord> validationESMEs;              // guarded by configMutex
  std::map<std::string, ESMERecord> confESME;                     // guarded by configMutex
  std::map<std::string, std::vector<std::string>> numbersByESME;  // guarded by configMutex
  std::map<std::string, std::string> esmeByNumber;                // guarded by configMutex
  std::vector<nlohmann::json> globalRoutesMT;                     // guarded by configMutex
  // Taken after configMutex, or alone by readers; held only to copy the pointer.
  std::mutex inboundMORoutesMutex_;
  std::shared_ptr<const InboundMORoutes> inboundMORoutes_;  // guarded by inboundMORoutesMutex_
  // Taken after configMutex, or alone by readers; held only to copy the pointer.
  std::mutex mtRoutesMutex_;
  std::shared_ptr<const MTRoutes> mtRoutes_;                    // guarded by mtRoutesMutex_
  std::map<std::string, SharedTargetSet> validationTargetSets;  // guarded by configMutex
  std::map<std::string, SharedTargetSet> confSharedTargetSets;  // guarded by configMutex
};
