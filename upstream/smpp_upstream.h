#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "admin/metrics.h"
#include "admin/status_report.h"
#include "base/function_ref.h"
#include "base/loop_waker.h"
#include "base/poller.h"
#include "smpp/pdu.h"
#include "smpp/receipt.h"
#include "smpp/smpp_session.h"
#include "upstream/smsc_entry.h"
#include "upstream/target_set_pools.h"
#include "upstream/upstream_gauges.h"

class DeliverSMQueue;
class OstrelConfiguration;
class SMPPCDRManager;
class Tracker;

// The SMSC side of the gateway: one bind slot (SMSCEntry) per configured
// bind of every target, one client session per slot kept connected and
// bound with a back-off, the weighted submit pools of the target sets, and
// the relay of what the SMSCs send: submit_sm_resp straight to the customer
// session that submitted, receipts and mobile-originated messages through
// the DeliverSMQueue.
//
// One process-wide instance (instance()); tests construct their own with
// their own configuration, tracker, queue, CDR manager and clock.
//
// Threads:
// - The upstream thread (startUpstream, or a test calling upstreamRun in a
//   loop) runs initialisation, re-initialisation, connecting, reading,
//   dispatching and removal. Its sessions are served from an epoll set;
//   it sleeps in the poller until a socket is ready, the next timer is due
//   (a session's keep-alive or deadline, a slot's back-off, the connection
//   pacing) or another thread wakes it (stop, output waiting to be flushed).
// - sendSubmitSM, getTargetSetPoolSize and nextSMSCForTargetSet are called
//   on the customer sessions' thread; entryStatuses on the admin thread;
//   stopUpstream on the main thread. All of those are safe from any thread.
//
// Locks, in this order: sessionsMutex_ (the session list; held by
// sendSubmitSM for the whole submit, whose send never waits, so a session
// cannot be drained between registering a submit and sending it), then
// entriesMutex_ (entries and names), then the pools' own mutex, the
// configuration's, the tracker's, the CDR manager's, the queue's, a
// session's send lock and the metrics registry's.
class SMPPUpstream {
 public:
  using Clock = std::function<uint64_t()>;  // microseconds since the epoch

  struct Services {
    OstrelConfiguration* config = nullptr;
    Tracker* tracker = nullptr;
    DeliverSMQueue* deliverQueue = nullptr;
    SMPPCDRManager* cdr = nullptr;
    Clock clock;  // empty: the wall clock
  };

  // A connect attempt is paced by this much per pass and per connection.
  static constexpr uint64_t kConnectPassMicros = 100000;
  static constexpr uint64_t kConnectSpacingMicros = 1000000;
  // A bind not answered within this time ends the session.
  static constexpr uint64_t kBindDeadlineMicros = 30000000;
  // PDUs read from one session per pass, so a flooding SMSC cannot starve
  // the others; the rest is served at the next pass without waiting.
  static constexpr int kPDUsPerPass = 64;
  // Longest sleep of the loop whatever its timers say, so a configuration
  // change made through the REST interface is acted on within this bound.
  static constexpr uint64_t kMaxWaitMicros = 1000000;
  // Status answered to a customer whose submit was waiting on a session
  // that ended: ESME_RSYSERR, a temporary error customers retry.
  static constexpr uint32_t kSessionLostStatus = 0x00000008;

  static SMPPUpstream& instance();

  explicit SMPPUpstream(Services services);
  ~SMPPUpstream();
  SMPPUpstream(const SMPPUpstream&) = delete;
  SMPPUpstream& operator=(const SMPPUpstream&) = delete;

  // ---- Thread (main thread) ----
  // Starts the upstream thread once; later calls do nothing.
  void startUpstream();
  // Sets the stop flag, wakes the thread, prints "Waiting on upstream
  // connections closing" and joins it. The thread closes every session
  // without unbind; customers still waiting on them are answered.
  void stopUpstream();

  // ---- Slots and pools (upstream thread) ----
  void initUpstreamBinds(int bindType, uint8_t interfaceVersion);
  bool reinitUpstreamBinds();
  void identifyUnusedSMSCEntries();
  void addSMSCToTargetSetSubmitPool(const std::string& targetSetId, const std::string& smscName,
                                    uint64_t smscid, int weight);

  // ---- Pool queries (any thread) ----
  int32_t getTargetSetPoolSize(const std::string& targetSetId);
  uint64_t nextSMSCForTargetSet(const std::string& targetSetId);

  // ---- Loop (upstream thread) ----
  // One pass. Waits for readiness until the next timer (never longer than
  // kMaxWaitMicros, nor than `maxWaitMicros` when that is not negative) and
  // sets `activity` when a PDU was read.
  void upstreamRun(bool& activity, int64_t maxWaitMicros = -1);
  void makeConnections(uint64_t now);
  void processSessionActivity(bool& activity, uint64_t now, int waitMillis);
  // Forgets the session: unregisters it, clears the slot's session flag,
  // answers every customer still waiting on it, drops its pending CDRs and
  // lowers the gauges. Its connection must be closed already.
  void removeSession(const std::shared_ptr<SMPPSessionClient>& session);
  void logConnectionDetails(SMPPSessionClient& session);
  // Closes and removes every session without unbind (end of the thread).
  void closeAllSessions();
  // Watches the session's descriptor; false (WARNING logged, nothing
  // registered) when the poller cannot serve it.
  bool registerSession(const std::shared_ptr<SMPPSessionClient>& session);

  // ---- Client behaviour (upstream thread, except sendSubmitSM) ----
  void checkConnectOutcome(const std::shared_ptr<SMPPSessionClient>& session);
  void handleAsyncConnectOutcome(const std::shared_ptr<SMPPSessionClient>& session, bool connected);
  void initiateBind(SMPPSessionClient& session, uint64_t now);
  // Handles one received PDU (in the session's body buffer); true when the
  // session was ended and must not be touched further.
  bool dispatchClientPDU(const std::shared_ptr<SMPPSessionClient>& session,
                         const SMPP::PDUHeader& header, uint64_t now);
  bool handleBindResponse(const std::shared_ptr<SMPPSessionClient>& session, uint32_t commandId,
                          uint32_t status, uint32_t sequence);
  // Forwards one customer submit (submit_sm or data_sm) on slot `smscid`.
  // False when the slot has no bound transmitter-capable session, its
  // per-second budget is spent, or the send failed: the caller tries the
  // next pool entry. `beforeSend`, when given, runs once the upstream
  // sequence number and the SMSC name are known and before the submit can
  // leave: what must exist when the SMSC answers (the call detail record)
  // is made there, as the answer may be handled on the upstream thread
  // before this call returns. After it ran, a false result means the submit
  // never left. Called on the customer session's thread.
  bool sendSubmitSM(const std::string& esmeSystemId, uint64_t customerSessionId, uint64_t smscid,
                    uint32_t customerSequence, const SMPP::T_SubmitSM& submit,
                    uint32_t& upstreamSequence, std::string& smscName,
                    uint32_t commandId = SMPP::SUBMIT_SM,
                    FunctionRef<void(uint32_t, const std::string&)> beforeSend = {});
  void processSubmitSMResp(SMPPSessionClient& session, uint32_t commandId, uint32_t sequence,
                           uint32_t status);
  void processDeliverSM(SMPPSessionClient& session, uint32_t sequence, uint64_t now);

  // ---- Views (any thread) ----
  // Every entry with its live session's state, for the status report.
  std::vector<SMSCEntryStatus> entryStatuses();
  std::map<uint64_t, SMSCEntry> entriesCopy();
  std::string smscName(uint64_t smscid);
  std::vector<std::shared_ptr<SMPPSessionClient>> sessionsCopy();
  std::map<std::string, std::vector<uint64_t>> poolsCopy() const { return pools_.snapshot(); }
  // Loop passes so far (benchmarks).
  uint64_t passCount() const { return passes_.load(std::memory_order_relaxed); }

 private:
  // What the loop keeps per registered session (upstream thread only).
  struct Served {
    std::shared_ptr<SMPPSessionClient> session;
    int fd = -1;
    bool watchingWrite = false;
    uint64_t checkDue = 0;
    bool inputLeft = false;  // PDUs left in the buffer after the budget
  };

  uint64_t now() const { return clock_(); }
  void upstreamThreadMain();
  // Builds entries and pools from the configuration; `reinit` keeps known
  // slots' connection state.
  void buildEntries(bool reinit);
  void preloadTargetEsme();
  void printPools();
  // The slots the configuration produces now, with their target names.
  std::map<uint64_t, std::string> configuredSlots();
  // Configured slots per {name, type label}, for the unbound gauges.
  void recomputeUnbound();
  std::string nameOf(uint64_t smscid);
  // A slot's name with the series its every message bumps, found once.
  struct SlotSeries {
    std::string name;
    MetricsRegistry::CounterHandle submit, submitBind, submitResp, deliver, receipt;
    MetricsRegistry::RateHandle submitRate, submitRespRate, deliverRate, receiptRate;
  };
  std::shared_ptr<const SlotSeries> seriesOf(uint64_t smscid);
  std::shared_ptr<const SlotSeries> seriesOfLocked(uint64_t smscid);  // entriesMutex_ held
  SMSCEntry& entryLocked(uint64_t smscid);  // entriesMutex_ held
  // Ends a session found dead, refused or timed out: closes its
  // connection and removes it.
  void endSession(const std::shared_ptr<SMPPSessionClient>& session);
  // Answers each customer still waiting on `session` with 0x08.
  void answerWaitingSubmits(SMPPSessionClient& session);
  // Takes a receipt to its customer: counters, CDR, queue.
  void deliverReceipt(SMPPSessionClient& session, const std::string& smscName,
                      const std::string& esmeSystemId, const std::string& messageId,
                      const SMPP::ReceiptInfo& info, std::vector<uint8_t> body);
  // A receipt kept because its message id was unknown, now that the
  // submit_sm_resp made it known.
  void deliverEarlyReceipt(SMPPSessionClient& session, const std::string& messageId);
  std::optional<std::string> moSystemIdFor(const std::string& text);
  void sendDeliverSMResp(SMPPSessionClient& session, uint32_t sequence,
                         const std::vector<uint8_t>& body);
  void serveSession(Served& served, bool& activity, uint64_t now);
  void watchWrite(Served& served, bool on);
  void handlePosted(uint64_t now);
  uint64_t nextTimerDue(uint64_t now);

  const char* className_ = "SMPPUpstream";
  OstrelConfiguration& config_;
  Tracker& tracker_;
  DeliverSMQueue& deliverQueue_;
  SMPPCDRManager& cdr_;
  Clock clock_;

  // ---- Upstream thread only ----
  Poller poller_;
  LoopWaker waker_;
  std::unordered_map<uint64_t, Served> served_;    // session id -> loop state
  std::unordered_map<int, uint64_t> fdToSession_;  // descriptor -> session id
  std::vector<Poller::Event> events_;
  uint64_t nextConnectPass_ = 0;
  uint64_t configGenerationSeen_ = 0;
  int defaultBindType_ = 2;
  uint8_t defaultInterfaceVersion_ = 0x34;
  uint32_t speedCount_ = 0;
  uint64_t speedWindowStart_ = 0;
  bool inputLeft_ = false;
  UpstreamGauges gauges_;

  mutable std::mutex sessionsMutex_;
  std::vector<std::shared_ptr<SMPPSessionClient>> sessions_;  // guarded by sessionsMutex_

  mutable std::mutex entriesMutex_;
  std::map<uint64_t, SMSCEntry> entries_;  // guarded by entriesMutex_
  std::map<uint64_t, std::string> names_;  // guarded by entriesMutex_; slot -> target name
  std::unordered_map<uint64_t, std::shared_ptr<const SlotSeries>> slotSeries_;  // guarded by entriesMutex_

  TargetSetPools pools_;

  std::atomic<bool> stopFlag_{false};
  std::atomic<uint64_t> passes_{0};
  std::mutex threadMutex_;
  std::thread thread_;    // guarded by threadMutex_
  bool started_ = false;  // guarded by threadMutex_
};
