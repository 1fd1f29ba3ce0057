// The metric families of the gateway, registered once at start-up in the
// order they are documented for operators.

#include <string>
#include <vector>

#include "admin/metrics.h"

namespace {

enum class Kind { Counter, Gauge, Rate };

// Label phrases that replace the final full stop of a family's help text in
// its labelled variants.
constexpr const char* kByEsme = "labelled by ESME";
constexpr const char* kByTarget = "labelled by target";
constexpr const char* kByEsmeTarget = "labelled by ESME and target";
constexpr const char* kByTargetBind = "labelled by target and bind instance";
constexpr const char* kByTargetType = "labelled by target and bind type";

struct Member {
  const char* name;
  const char* labelPhrase;  // null: unlabelled, help text as given
};

struct Family {
  Kind kind;
  const char* help;
  std::vector<Member> members;
};

std::string labelledHelp(const std::string& help, const char* phrase) {
  std::string text = help;
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text + ", " + phrase + ".";
}

void registerFamily(const Family& family) {
  MetricsRegistry& registry = MetricsRegistry::instance();
  for (const Member& m : family.members) {
    bool labelled = m.labelPhrase != nullptr;
    std::string help = labelled ? labelledHelp(family.help, m.labelPhrase) : family.help;
    switch (family.kind) {
      case Kind::Counter: registry.registerCounter(m.name, help, labelled); break;
      case Kind::Gauge: registry.registerGauge(m.name, help, labelled); break;
      case Kind::Rate: registry.registerRate(m.name, help, labelled); break;
    }
  }
}

}  // namespace

void registerAllMetrics() {
  MetricsRegistry& registry = MetricsRegistry::instance();
  const Kind C = Kind::Counter, G = Kind::Gauge, R = Kind::Rate;

  registry.registerCounter("smppUpstreamBindAttemptTotal", "Number of bind attempts by the Pelliro.",
                           false);
  registry.registerCounter("smppUpstreamBindAttempt",
                           "Number of bind attempts by the Pelliro, labelled by result (success, fail).",
                           true);
  registry.registerCounter("smppDownstreamBindAttemptTotal",
                           "Number of bind attempts to the Pelliro by downstream customers.", false);
  registry.registerCounter("smppDownstreamBindAttempt",
                           "Number of bind attempts to the Pelliro by downstream customers, labelled by "
                           "result (success, false).",
                           true);

  const Family families[] = {
      {G, "Number of current SMPP sessions from downstream customers to the Pelliro.",
       {{"downstreamSMPPSessions", nullptr}}},
      {G, "Number of current SMPP sessions from the Pelliro to upstream targets.",
       {{"upstreamSMPPSessions", nullptr},
        {"upstreamSMPPSessions_SMSC", kByTarget},
        {"upstreamSMPPSessions_SMSC_Type", kByTargetType}}},
      {G, "Number of current SMPP sessions in bound state from the Pelliro to upstream targets.",
       {{"upstreamSMPPSessionsBound", nullptr},
        {"upstreamSMPPSessionsBound_SMSC", kByTarget},
        {"upstreamSMPPSessionsBound_SMSC_Type", kByTargetType}}},
      {G, "Number of current SMPP sessions in unbound state from the Pelliro to upstream targets.",
       {{"upstreamSMPPSessionsUnbound", nullptr},
        {"upstreamSMPPSessionsUnbound_SMSC", kByTarget},
        {"upstreamSMPPSessionsUnbound_SMSC_Type", kByTargetType}}},
      {C, "Number of submit_sm_resp PDUs processed by the Pelliro (upstream to downstream).",
       {{"smppSubmitSMResp", nullptr},
        {"smppSubmitSMRespTotal", nullptr},
        {"smppSubmitSMResp_SMSC", kByTarget}}},
      {R, "Rate of submit_sm_resp PDUs per second processed by the Pelliro (from upstream).",
       {{"smppSubmitSMRespRate", nullptr},
        {"smppSubmitSMRespRate_SMSC_Total", nullptr},
        {"smppSubmitSMRespRate_SMSC", kByTarget}}},
      {C, "Number of submit_sm PDUs processed by the Pelliro (downstream to upstream).",
       {{"smppSubmitSMTotal", nullptr},
        {"smppSubmitSM", kByEsmeTarget},
        {"smppSubmitSM_ESME", kByEsme},
        {"smppSubmitSM_SMSC", kByTarget},
        {"smppSubmitSM_SMSC_Bind", kByTargetBind}}},
      {R, "Rate of submit_sm PDUs per second processed by the Pelliro (from downstream).",
       {{"smppSubmitSMRateTotal", nullptr},
        {"smppSubmitSMRate", kByEsmeTarget},
        {"smppSubmitSMRate_ESME", kByEsme},
        {"smppSubmitSMRate_SMSC", kByTarget}}},
      {C, "Number of throttled submit_sm due to TPS limit.",
       {{"smppSubmitSMThrottle", nullptr}, {"smppSubmitSMThrottle_ESME", kByEsme}}},
      {C,
       "Number of submit_sm PDUs processed by the Pelliro that are part of a concatenated message "
       "(downstream to upstream).",
       {{"smppSubmitSMConcatenatedTotal", nullptr},
        {"smppSubmitSMConcatenated", nullptr},
        {"smppSubmitSMConcatenated_ESME", kByEsme}}},
      {C,
       "Number of submit_sm PDUs of concatenated message where SMSC tracking was reset due to target "
       "unavailability.",
       {{"smppSubmitSMConcatenatedReset", nullptr}, {"smppSubmitSMConcatenatedReset_ESME", kByEsme}}},
      {C, "Number of submit_sm PDUs that could not be routed by the Pelliro to upstream target.",
       {{"smppSubmitSMNoRoute", nullptr}, {"smppSubmitSMNoRoute_ESME", kByEsme}}},
      {C, "Number of deliver_sm PDUs processed by the Pelliro (upstream to downstream).",
       {{"smppDeliverSMTotal", nullptr},
        {"smppDeliverSM", kByEsmeTarget},
        {"smppDeliverSM_ESME", kByEsme},
        {"smppDeliverSM_SMSC", kByTarget}}},
      {R, "Rate of deliver_sm PDUs per second processed by the Pelliro (from upstream).",
       {{"smppDeliverSMRateTotal", nullptr},
        {"smppDeliverSMRate", kByEsmeTarget},
        {"smppDeliverSMRate_ESME", kByEsme},
        {"smppDeliverSMRate_SMSC", kByTarget}}},
      {C, "Number of deliver_sm_resp PDUs processed by the Pelliro (downstream to upstream).",
       {{"smppDeliverSMRespTotal", nullptr},
        {"smppDeliverSMResp", nullptr},
        {"smppDeliverSMResp_ESME", kByEsme}}},
      {R, "Rate of deliver_sm_resp PDUs per second processed by the Pelliro (from downstream).",
       {{"smppDeliverSMRespRate", nullptr}, {"smppDeliverSMRespRate_ESME", kByEsme}}},
      {C, "Number of DLRs processed by the Pelliro.",
       {{"smppDeliverSMDLR", nullptr}, {"smppDeliverSMDLR_SMSC", kByTarget}}},
      {R, "Rate of deliver_sm DLR PDUs per second processed by the Pelliro (from upstream).",
       {{"smppDeliverSMDLRRate", nullptr}, {"smppDeliverSMDLRRate_SMSC", kByTarget}}},
      {C, "Number of MO SMS processed by the Pelliro.",
       {{"smppDeliverSMMOTotal", nullptr},
        {"smppDeliverSMMO", kByEsmeTarget},
        {"smppDeliverSMMO_ESME", kByEsme},
        {"smppDeliverSMMO_SMSC", kByTarget}}},
      {R, "Rate of deliver_sm MO PDUs per second processed by the Pelliro (from upstream).",
       {{"smppDeliverSMMORate", nullptr}, {"smppDeliverSMMORate_SMSC", kByTarget}}},
      {C, "Number of deliver_sm PDUs that failed to send (to downstream).",
       {{"sockets_smpp_DN_DeliverSM_sendFail", nullptr},
        {"sockets_smpp_DN_DeliverSM_sendFail_ESME", kByEsme}}},
      {C, "Number of submit_sm_resp PDUs that failed to send (to downstream).",
       {{"sockets_smpp_DN_SubmitSMResp_sendFail", nullptr},
        {"sockets_smpp_DN_SubmitSMResp_sendFail_ESME", kByEsme}}},
      {C, "Number of submit_sm PDUs that failed to send (to upstream).",
       {{"sockets_smpp_UP_SubmitSM_sendFail", nullptr},
        {"sockets_smpp_UP_SubmitSM_sendFail_SMSC", kByTarget}}},
      {C, "Number of submit_sm PDUs that failed to send (downstream to upstream).",
       {{"smppSubmitSMSendFail", nullptr}, {"smppSubmitSMSendFail_SMSC", kByTarget}}},
      {C,
       "Number of submits answered with status 0x00000008 because their upstream session ended "
       "before the SMSC answered them.",
       {{"smppSubmitSMRespSessionLost", nullptr}, {"smppSubmitSMRespSessionLost_SMSC", kByTarget}}},
      {C, "Number of DLRs received where message ID is unknown (from upstream).",
       {{"smppDLRMessageIDUnknown", nullptr}, {"smppDLRMessageIDUnknown_SMSC", kByTarget}}},
      {C, "Number of deliver_sm_resp PDUs that failed to send (to upstream).",
       {{"sockets_smpp_UP_DeliverSMResp_sendFail", nullptr},
        {"sockets_smpp_UP_DeliverSMResp_sendFail_SMSC", kByTarget}}},
      {C, "Number of MO SMS where ESME cannot be determined from destination address.",
       {{"smppDeliverSMMOUnknownESME", nullptr}, {"smppDeliverSMMOUnknownESME_SMSC", kByTarget}}},
      {C, "Number of deliver_sm PDUs that failed to send (upstream to downstream).",
       {{"smppDeliverSMSendFail", nullptr}, {"smppDeliverSMSendFail_ESME", kByEsme}}},
      {G, "Total number of DeliverSM PDUs queued for ESMEs.",
       {{"sysDeliverSMQueue_fifo_queue_size", nullptr}}},
      {G, "Total number of Tracker messageID map entries.", {{"sysTracker_messageIDMap_size", nullptr}}},
      {G, "Total number of Tracker submitSM map entries.", {{"sysTracker_submitSMMap_size", nullptr}}},
      {C, "Number of CDRs written by the Pelliro, labelled by result (success, false).",
       {{"cdrWrite", nullptr}}},
      {R, "Rate of CDRs written by the Pelliro, labelled by result (success, false).",
       {{"cdrWriteRate", nullptr}}},
      {C, "Number of MSISDN lookups requested.", {{"msisdnLookupRequests", nullptr}}},
      {C, "Number of MSISDN lookups that were rejected due to queue full.",
       {{"msisdnLookupQueueFull", nullptr}}},
  };
  for (const Family& f : families) registerFamily(f);

  // Its only name is labelled and its help already names the label.
  registry.registerCounter("msisdnLookupPerformed",
                           "Number of MSISDN lookups that were performed, labelled by HTTP response code.",
                           true);

  const Family lookupFamilies[] = {
      {C, "Number of MSISDN lookups that failed to be performed.",
       {{"msisdnLookupPerformedFailure", nullptr}}},
      {G, "Queue size for MSISDN lookups.", {{"msisdnLookupQueueSize", nullptr}}},
      {G, "Number of MSISDN lookup workers.", {{"msisdnLookupWorkers", nullptr}}},
      {R, "Rate of MSISDN lookups being performed by the Pelliro.", {{"msisdnLookupPerformRate", nullptr}}},
      {G, "Size of MSISDN lookup cache.", {{"msisdnLookupCacheSize", nullptr}}},
      {C, "Number of MSISDN lookup answers that were not a JSON object or carried a 5xx status.",
       {{"msisdnLookupAnswerInvalid", nullptr}}},
      {G, "Total number of SMPPCDR cdrBatch queue entries.", {{"sysSMPPCDR_cdrBatch_size", nullptr}}},
  };
  for (const Family& f : lookupFamilies) registerFamily(f);

  const Family eliFamilies[] = {
      {C, "Number of ELI requests made.", {{"eliRequests", nullptr}}},
      {C, "Number of ELI requests that were rejected due to queue full.", {{"eliQueueFull", nullptr}}},
  };
  for (const Family& f : eliFamilies) registerFamily(f);
  registry.registerCounter("eliPerformed",
                           "Number of ELI requests that were performed, labelled by HTTP response code.",
                           true);
  const Family eliResultFamilies[] = {
      {C, "Number of ELI requests that failed to be performed.", {{"eliPerformedFailure", nullptr}}},
      {C, "Number of ELI answers that were not a JSON object or carried a status other than 2xx.",
       {{"eliAnswerInvalid", nullptr}}},
      {C, "Number of ELI answers whose cmdstatus, status or networkerror was not a number.",
       {{"eliAnswerFieldInvalid", nullptr}}},
      {G, "Queue size for ELI requests.", {{"eliQueueSize", nullptr}}},
      {G, "Number of ELI workers.", {{"eliWorkers", nullptr}}},
      {R, "Rate of ELI requests being performed by the Pelliro.", {{"eliPerformRate", nullptr}}},
  };
  for (const Family& f : eliResultFamilies) registerFamily(f);
}
