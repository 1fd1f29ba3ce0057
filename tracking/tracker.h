#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "base/adaptive_mutex.h"
#include <string>
#include <unordered_map>

class SMPPSession;

// Key of one upstream submit awaiting its submit_sm_resp: the bind slot it
// went out on and the sequence number it carried there.
struct SubmitSMKey {
  uint64_t nextSMSC = 0;
  uint64_t seqno_out = 0;
  bool operator==(const SubmitSMKey&) const = default;
};

struct SubmitSMKeyHash {
  size_t operator()(const SubmitSMKey& key) const {
    uint64_t h = key.nextSMSC;
    h ^= key.seqno_out + 0x9e3779b9ULL + (h << 6) + (h >> 2);
    return static_cast<size_t>(h);
  }
};

// The customer side of one outstanding upstream submit.
struct SubmitSMValue {
  uint64_t timestamp = 0;  // microseconds at insertion
  uint64_t seqno = 0;      // the customer's sequence number
  uint64_t sessionid = 0;  // the customer session
};

// Key of one message id handed out by an upstream target.
struct MessageIDKey {
  uint64_t targetId = 0;  // smscid shifted right by 8
  std::string message_id;
  bool operator==(const MessageIDKey&) const = default;
};

struct MessageIDKeyHash {
  size_t operator()(const MessageIDKey& key) const {
    uint64_t h = key.targetId;
    h ^= std::hash<std::string>{}(key.message_id) + 0x9e3779b9ULL + (h << 6) + (h >> 2);
    return static_cast<size_t>(h);
  }
};

using MessageIDMap = std::unordered_map<MessageIDKey, std::string, MessageIDKeyHash>;

// The correlation tables that join the upstream and the customer side:
// which customer session and sequence number a submit_sm_resp from an SMSC
// answers, which customer a receipt belongs to, and which session object and
// system id a customer session id stands for. The message-id table survives
// restarts in a binary file ("msgtrack").
//
// One process-wide instance (instance()) loads "msgtrack" when first used and
// saves it at shutdown() or destruction; tests construct their own with a file
// name of their choice (empty: no file) and an injected clock.
//
// Every operation is safe from any thread: one mutex guards the tables. The
// metrics registry is the only lock taken while it is held. File I/O and the
// diagnosis of a missed lookup are done outside it.
class Tracker {
 public:
  using Clock = std::function<uint64_t()>;  // microseconds since the epoch

  static Tracker& instance();

  explicit Tracker(std::string fileName, Clock clock = {});
  ~Tracker();
  Tracker(const Tracker&) = delete;
  Tracker& operator=(const Tracker&) = delete;

  void addSubmitSM(uint64_t sessionid, uint64_t seqno, uint64_t nextSMSC, uint64_t seqno_out);
  // addSubmitSM and setTargetEsme(systemId, targetId) under one lock: what
  // forwarding a submit records.
  void addSubmitSMFor(const std::string& systemId, uint64_t targetId, uint64_t sessionid,
                      uint64_t seqno, uint64_t nextSMSC, uint64_t seqno_out);
  // The customer session of an entry and its system id (known false when
  // the tracker has none), read with the entry under the same lock. With
  // `mapMessageId`, the SMSC's message id is mapped to that system id as
  // addMessageIDMapping does, when both it and the session are there.
  struct Origin {
    const std::string* mapMessageId = nullptr;
    std::weak_ptr<SMPPSession> session;
    std::string systemId;
    bool systemIdKnown = false;
  };
  bool getSessionForSubmitSMResp(uint64_t& sessionid, uint64_t& seqno, uint64_t nextSMSC,
                                 uint64_t seqno_out, Origin* origin = nullptr);

  void addMessageIDMapping(uint64_t smscid, const std::string& message_id,
                           const std::string& esmeSystemID);
  bool getMessageIDMapping(uint64_t smscid, const std::string& message_id,
                           std::string& esmeSystemID);

  void setSessionSystemId(const std::string& systemId, uint64_t sessionid);
  bool getSessionSystemId(uint64_t sessionid, std::string& systemId);

  // Every setSession also drops, amortised over the additions, the entries
  // of sessions that have gone without removeSession: when the table has
  // grown to twice what the last sweep left (at least kSessionSweepMinimum),
  // one sweep removes every expired reference and its system id. The table
  // therefore stays within twice the live sessions even if a caller forgets.
  void setSession(uint64_t sessionid, std::weak_ptr<SMPPSession> session);
  std::weak_ptr<SMPPSession> getSession(uint64_t sessionid);
  // Forgets the session's reference and system id; called when the session
  // object goes away. A submit_sm_resp arriving later finds no session.
  void removeSession(uint64_t sessionid);

  void setTargetEsme(const std::string& systemId, uint64_t targetId);

  void setDefaultSystemId(const std::string& systemId);
  void setDisableMsgIdTracking(bool disable);

  // Persistence of the message-id table. A load replaces the table with the
  // complete records the file holds; a save goes through a temporary file
  // and a rename, so the previous file stays whole until the new one is.
  // Both report problems on standard error and return whether they succeeded.
  bool saveToFile(const std::string& name);
  bool loadFromFile(const std::string& name);

  // Saves to the tracker's own file once; the destructor then does nothing.
  void shutdown();

  // Sizes, for tests and the status report.
  size_t submitSMMapSize();
  size_t messageIDMapSize();
  // Entries of both session tables (references and system ids) together.
  size_t sessionTableSize();

  // Longest dump of submitSMMap written when a submit_sm_resp is not found.
  static constexpr size_t kMissDumpLimit = 100;
  // A pause in upstream submitting longer than this clears submitSMMap.
  static constexpr uint64_t kSubmitSMMapIdleMicros = 30000000;
  // Size of the session table below which setSession does not sweep.
  static constexpr size_t kSessionSweepMinimum = 64;

 private:
  void addSubmitSM(uint64_t sessionid, uint64_t seqno, uint64_t nextSMSC, uint64_t seqno_out,
                   const std::string* systemId, uint64_t targetId);
  void setTargetEsmeLocked(const std::string& systemId, uint64_t targetId);  // tablesMutex_ held
  void addMessageIDMappingLocked(uint64_t smscid, const std::string& message_id,
                                 const std::string& esmeSystemID);  // tablesMutex_ held
  uint64_t now() const;

  // Message id read as a signed decimal integer and printed back; empty when
  // it holds no digits or does not fit 64 bits.
  static std::string normaliseMessageId(const std::string& message_id);
  void sweepExpiredSessionsLocked();

  const std::string fileName_;
  const Clock clock_;

  AdaptiveMutex tablesMutex_;
  std::unordered_map<uint64_t, std::string> sessionSystemIds_;           // guarded by tablesMutex_
  std::unordered_map<uint64_t, std::weak_ptr<SMPPSession>> sessions_;   // guarded by tablesMutex_
  size_t sessionSweepAt_ = kSessionSweepMinimum;                        // guarded by tablesMutex_
  std::unordered_map<SubmitSMKey, SubmitSMValue, SubmitSMKeyHash> submitSMMap;  // guarded by tablesMutex_
  MessageIDMap messageIDMap;                                            // guarded by tablesMutex_
  std::unordered_map<uint64_t, std::string> targetEsme_;                // guarded by tablesMutex_
  std::string defaultSystemId_;                                         // guarded by tablesMutex_
  bool disableMsgIdTracking_ = false;                                   // guarded by tablesMutex_
  uint64_t lastAddSubmitSM_ = 0;  // guarded by tablesMutex_
  bool submitSMAdded_ = false;    // guarded by tablesMutex_; lastAddSubmitSM_ is set
  bool shutDown_ = false;         // guarded by tablesMutex_

  // Serialises whole saves and loads, so two savers never share the
  // temporary file. Taken before tablesMutex_, never after it.
  std::mutex fileMutex_;
};

// Pure parts of the "msgtrack" format, exposed for tests and benchmarks.
namespace msgtrack {

struct LoadResult {
  MessageIDMap records;
  uint64_t declared = 0;  // record count the file announces
  uint64_t loaded = 0;    // complete records read
  bool complete = false;  // the file held exactly what it announced
};

std::string encode(const MessageIDMap& records);
// Reads at most what `data` holds: a count or a length that points past the
// end stops the load after the last complete record.
LoadResult decode(const std::string& data);

}  // namespace msgtrack
