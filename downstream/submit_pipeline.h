#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "admin/metrics.h"
#include "lookup/completion_queue.h"
#include "smpp/pdu.h"

class OstrelSession;

// How a concatenated message identifies itself: the user data header's
// 8-bit reference element, else the sar TLVs.
struct Concatenation {
  bool concatenated = false;
  uint8_t reference = 0;
  uint8_t total = 1;
};
Concatenation concatenationOf(const SMPP::T_SubmitSM& submit);

// destination_addr as an unsigned decimal number, read like std::stoull
// (leading blanks and a sign accepted, trailing text ignored); nothing when
// there are no digits or the value is out of range.
std::optional<uint64_t> parseDestination(const std::string& text);

// A message id made here (internal simulator, refusal with a receipt): 64
// characters of [0-9a-zA-Z].
std::string generatedMessageId();

// The submit path of one customer session: throttle, destination check,
// the optional external-logic decision and number lookup, routing, and the
// hand-over to an upstream session. Answers that cannot be given at once
// are given later: by the upstream side when the SMSC answers, or here when
// an asynchronous check completes.
//
// Owned by its OstrelSession and run on the listener thread, which alone
// calls onSubmitSM and drainCompletions. Results of the HTTP services
// arrive on worker threads; they only go into the session's completion
// queues, which wake the listener for this session. The published window
// figures and throttle statistics are atomics, read by reports.
class SubmitPipeline {
 public:
  static constexpr const char* kInternalSimulator = "INTERNAL_SMSC_SIM";
  static constexpr uint32_t kSubmitFail = 0x00000045;

  explicit SubmitPipeline(OstrelSession& session);

  // Takes the content of `submit` once it is accepted for routing.
  uint8_t onSubmitSM(const std::string& systemId, SMPP::T_SubmitSM& submit, uint32_t commandId,
                     uint32_t sequenceNumber, std::string& messageId, uint32_t& status,
                     uint64_t now);
  // Resumes the submits whose asynchronous checks completed, in order.
  void drainCompletions(uint64_t now);

  size_t pendingCount();
  uint64_t throttleCount() const { return throttleCount_.load(); }
  uint64_t lastThrottleTime() const { return lastThrottleTime_.load(); }
  uint32_t lastWindowCount() const { return lastWindowCount_.load(); }

 private:
  struct Pending {
    uint32_t sequenceNumber = 0;
    uint32_t commandId = 0;
    SMPP::T_SubmitSM submit;
    std::string messageId;
    uint64_t destination = 0;
  };
  struct ConcatenationRoute {
    uint64_t smscid;
    uint32_t partsLeft;
  };

  bool throttled(uint64_t now);
  // 0 refuse, 1 go on with `result`, 2 waiting for the lookup.
  int performMSISDNLookup(Pending& pending, nlohmann::json& result);
  void continueSubmitAfterLookup(uint64_t transactionId, const nlohmann::json& result,
                                 uint64_t now);
  void continueSubmitAfterELI(uint64_t transactionId, const nlohmann::json& response,
                              uint64_t now);
  void routeSubmit(Pending& pending, const nlohmann::json& lookup, uint64_t now);
  // 0 no route, 1 accepted here (`messageId` set), 2 sent upstream.
  int queueSubmitEvent(const Pending& pending, const std::string& targetSet,
                       std::string& messageId, const std::string& network, uint64_t now);
  bool answer(bool success, uint32_t sequenceNumber, const std::string& messageId,
              uint32_t status);

  OstrelSession& session_;

  // Listener thread only.
  bool windowOpen_ = false;
  uint64_t windowStart_ = 0;
  uint32_t windowCount_ = 0;
  std::map<uint64_t, ConcatenationRoute> concatenations_;
  EsmeSeries submitSeries_{"smppSubmitSM_ESME", "smppSubmitSMRate_ESME"};

  std::atomic<uint32_t> lastWindowCount_{0};
  std::atomic<uint64_t> lastWindowTime_{0};
  std::atomic<uint64_t> lastThrottleTime_{0};
  std::atomic<uint64_t> throttleCount_{0};

  std::mutex pendingLookupsMutex_;
  std::map<uint64_t, Pending> pendingLookups_;  // guarded by pendingLookupsMutex_
  std::mutex pendingELIMutex_;
  std::map<uint64_t, Pending> pendingELI_;  // guarded by pendingELIMutex_
  // Shared with the completions the services hold, which keep only weak
  // references: a result for a closed session is dropped.
  std::shared_ptr<CompletionQueue> lookupResults_;
  std::shared_ptr<CompletionQueue> eliResults_;
};
