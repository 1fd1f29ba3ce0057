#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "admin/api_auth_store.h"
#include "admin/http_request.h"
#include "admin/http_response.h"
#include "admin/status_report.h"
#include "base/json_depth.h"

class OstrelConfiguration;

// Deepest nesting of arrays and objects a JSON request body may have. The
// configuration holds nothing nested half as deep; a deeper body is refused
// with 400 before it is parsed.
inline constexpr size_t kMaxJSONBodyNesting = 32;


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
