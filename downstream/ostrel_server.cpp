#include "downstream/ostrel_server.h"

OstrelServer& OstrelServer::instance() {
  static OstrelServer server;
  return server;
}
