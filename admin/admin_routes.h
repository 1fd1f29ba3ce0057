#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "admin/api_auth_store.h"
#include "admin/http_request.h"
#include "admin/http_response.h"
#include "admin/status_report.h"

class OstrelConfiguration;

// The route table of the admin server: metrics, status report, CORS
// pre-flight, the token endpoint, the bearer-protected configuration
// operations on customers, target sets and targets, and the control
// operation.
//
// handle() turns one parsed request into one response. It is called on the
// admin server thread only (requests never overlap); the configuration
// operations it calls take the configuration lock themselves, and nothing
// here holds a lock across them.
class AdminRoutes {
 public:
  AdminRoutes(OstrelConfiguration& config, APIAuthStore& auth, SMSCEntrySource smscEntries = {});

  // `peer` is the client's address (for the token endpoint's guessing limit);
  // `now` is the wall clock in microseconds.
  HTTPResponse handle(const HTTPRequest& request, const std::string& peer, uint64_t now);

  // "Authorization: Bearer <token>" with a token that is issued and unexpired.
  bool checkBearerToken(const std::map<std::string, std::string>& headers, uint64_t now);

 private:
  HTTPResponse dispatch(const HTTPRequest& request, const std::string& peer, uint64_t now);
  HTTPResponse dispatchDelete(const std::string& path);
  HTTPResponse dispatchGet(const std::string& path);
  HTTPResponse dispatchJSON(const HTTPRequest& request, const nlohmann::json& body);
  HTTPResponse control(const nlohmann::json& body);
  HTTPResponse statusRoute();

  OstrelConfiguration& config_;
  APIAuthStore& auth_;
  SMSCEntrySource smscEntries_;
};
