#pragma once

#include "downstream/ostrel_session.h"
#include "downstream/smpp_server.h"

// The daemon's customer-facing listener: the SMPPServer loop over customer
// sessions (OstrelSession). One process-wide instance; the start-up code
// configures it and runs its loop on the main thread.
class OstrelServer : public SMPPServer<OstrelSession, SMPPSessionNull> {
 public:
  static OstrelServer& instance();

  using SMPPServer::SMPPServer;
};
