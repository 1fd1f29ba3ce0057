#include "app/application.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "admin/cli_client.h"
#include "admin/http_server.h"
#include "admin/metrics.h"
#include "admin/process_metrics.h"
#include "app/build_info.h"
#include "base/log.h"
#include "base/service_notify.h"
#include "base/stop_signals.h"
#include "cdr/smpp_cdr_manager.h"
#include "config/ostrel_configuration.h"
#include "downstream/deliver_queue_file.h"
#include "downstream/deliver_sm_queue.h"
#include "downstream/ostrel_server.h"
#include "lookup/ext_logic_integration_master.h"
#include "lookup/msisdn_lookup_master.h"
#include "tracking/tracker.h"
#include "upstream/smpp_upstream.h"

namespace {

constexpr const char* kDisplayName = "Pelliro";
constexpr const char* kProgramName = "Dravnik";
constexpr const char* kClassName = "Application";

std::atomic<bool> stopRequested{false};

// Steps that read the configuration into the subsystems, for both the daemon
// and the command-line client.
// False when start-up cannot go on (the CDR directory cannot be created).
bool applyStartupSettings(OstrelConfiguration& config) {
  setLogLevel(logLevelFromName(config.getBaseString("log.level", "INFO").c_str()));

  Tracker& tracker = Tracker::instance();
  tracker.setDefaultSystemId(config.getBaseString("dlr.default_system_id", ""));
  tracker.setDisableMsgIdTracking(config.getBaseBool("dlr.disable_msgid_tracking", false));

  SMPPCDRManager& cdr = SMPPCDRManager::getInstance();
  try {
    cdr.initialize(config.getCDRDirectory());
  } catch (const std::exception& e) {
    logMessage(LOG_SEVERE, nullptr, kClassName, "main", "CDR initialisation failed: %s", e.what());
    return false;
  }
  cdr.setMode(cdrModeFromText(config.getCDRMode()));
  return true;
}

// Runs the daemon until SIGINT or SIGTERM, in the start-up order operators
// know from the log, and takes it down in the reverse order.
void runDaemon(OstrelConfiguration& config) {
  OstrelServer& server = OstrelServer::instance();
  // The loop reads main's stop flag, so a signal that arrives during start-up
  // still stops the daemon in order.
  server.useStopFlag(&stopRequested);
  installStopSignals(&stopRequested);
  logMessage(LOG_INFO, nullptr, kClassName, "main", "Starting %s", kProgramName);
  registerAllMetrics();
  setProcessMetricsExposed(true);

  server.setWhitelistFileName("ipwhitelist.conf");
  if (config.getBaseBool("ipwhitelistonly", false)) server.setWhitelistOnly(true);
  ExtLogicIntegrationMaster::instance().init(config.section("eli"));
  MSISDNLookupMaster::instance().init(config.section("lookup"));
  server.setMaxConnectionsPerIp(
      static_cast<int>(config.getBaseInt("smpp.max_connections_per_ip", 20)));
  // Customer connections in all; each costs a descriptor and about 10 kB.
  const long long maxConnections = static_cast<long long>(config.getBaseInt(
      "smpp.max_connections", static_cast<int64_t>(OstrelServer::kDefaultMaxConnections)));
  if (maxConnections > 0 && maxConnections < static_cast<long long>(OstrelServer::kSessionSlots)) {
    server.setMaxConnections(static_cast<size_t>(maxConnections));
  } else {
    logMessage(LOG_WARNING, nullptr, kClassName, "main",
               "smpp.max_connections %lld outside 1..%zu, using %zu", maxConnections,
               OstrelServer::kSessionSlots - 1, OstrelServer::kDefaultMaxConnections);
  }
  setAuditEnabled(config.getBaseBool("log.audit", false));
  registerAPIClient(config.getBaseString("auth.client_id", ""),
                    config.getBaseString("auth.client_secret", ""));

  // Receipts and mobile-originated messages that waited at the last
  // shutdown are queued before any customer can bind.
  DeliverSMQueue& deliverQueue = DeliverSMQueue::instance();
  DeliverQueueFile::loadInto(DeliverQueueFile::kFileName, deliverQueue);
  // A push from any thread wakes the listener, so it is offered at once.
  deliverQueue.setPushListener([&server] { server.wake(); });

  setHTTPPort(configuredHTTPPort());
  http_start();
  if (isHTTPRunning()) {
    SMPPUpstream& upstream = SMPPUpstream::instance();
    setSMSCEntrySource([&upstream] { return upstream.entryStatuses(); });
    upstream.startUpstream();
    // The admin listener already accepts (http_start returned with it
    // running); the service manager hears of readiness once SMPP does too.
    server.setOnListening(notifyServiceReady);
    server.run(static_cast<int>(config.getBaseInt("smpp.port", 2775)), 0, true);
    // Before the HTTP server stops: the report keeps showing the slots
    // while they close.
    notifyServiceStopping();
    upstream.stopUpstream();
  } else {
    notifyServiceStopping();
  }
  http_stop();
  // No session is left to take their results; requests in flight give up
  // instead of running to their time limit.
  ExtLogicIntegrationMaster::instance().stop();
  MSISDNLookupMaster::instance().stop();
  // Nothing produces deliveries any more; the listener has closed its
  // sessions, which returned what was sent but unanswered to the queue.
  deliverQueue.setPushListener(nullptr);
  DeliverQueueFile::save(DeliverQueueFile::kFileName, deliverQueue.snapshot());

  closeAuditLog();
  SMPPCDRManager::getInstance().shutdown();
  Tracker::instance().shutdown();
  logMessage(LOG_INFO, nullptr, kClassName, "main", "Stopped %s", kProgramName);
}

}  // namespace

void printBanner() {
  printf("Vantrel %s | Build time: %s %s | Build %s\n", kDisplayName, kBuildDate, kBuildTime,
         kBuildId);
  fflush(stdout);
}

int runApplication(int argc, char** argv) {
  printBanner();
  if (argc > 1 && strcmp(argv[1], "version") == 0) return 0;

  OstrelConfiguration& config = OstrelConfiguration::instance();
  bool notFound = false;
  if (!config.performLoad(notFound)) {
    if (notFound) {
      config.createDefaultConfiguration();
      logMessage(LOG_INFO, nullptr, kClassName, "main", "Created configuration");
    }
    return 0;
  }
  if (!applyStartupSettings(config)) return 0;
  // A sub-command ends the process here. The client stores no records, so
  // the CDR threads are stopped before it runs: their shutdown lines then
  // come before the verdict, which stays the last line a script reads.
  if (argc > 1 && isSubCommand(argv[1])) SMPPCDRManager::getInstance().shutdown();
  if (argc > 1 && dispatchSubCommand(argc, argv)) return 0;
  runDaemon(config);
  return 0;
}
