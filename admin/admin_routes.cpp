#include "admin/admin_routes.h"

#include <exception>
#include <optional>

#include "admin/metrics.h"
#include "admin/process_metrics.h"
#include "base/log.h"
#include "config/ostrel_configuration.h"

namespace {

constexpr const char* kClassName = "Application";
constexpr std::string_view kTargetSetsPrefix = "/targetsets/";
constexpr std::string_view kTargetsInfix = "/targets/";
constexpr std::string_view kTargetsSuffix = "/targets";
constexpr std::string_view kESMEPrefix = "/esme/";

// Methods are recognised written in upper or in lower case only.
bool isMethod(const std::string& method, std::string_view upper, std::string_view lower) {
  return method == upper || method == lower;
}

HTTPResponse unauthorised() {
  return HTTPResponse::normal(401, "Unauthorised", "application/json", "{}");
}

HTTPResponse operationResponse(bool ok, const std::string& status) {
  return HTTPResponse::normal(ok ? 200 : 400, status, "application/json", "{}");
}

HTTPResponse operationResponse(bool ok, const std::string& status, const nlohmann::json& result) {
  return HTTPResponse::normal(ok ? 200 : 400, status, "application/json", result.dump());
}

// "/targetsets/" id, with no further "/".
std::optional<std::string> targetSetId(const std::string& path) {
  if (!path.starts_with(kTargetSetsPrefix)) return std::nullopt;
  std::string id = path.substr(kTargetSetsPrefix.size());
  if (id.find('/') != std::string::npos) return std::nullopt;
  return id;
}

// "/targetsets/" id "/targets/" name: the id ends at the first "/targets/",
// the name is everything after it.
std::optional<std::pair<std::string, std::string>> targetPath(const std::string& path) {
  if (!path.starts_with(kTargetSetsPrefix)) return std::nullopt;
  size_t infix = path.find(kTargetsInfix, kTargetSetsPrefix.size());
  if (infix == std::string::npos) return std::nullopt;
  return std::make_pair(path.substr(kTargetSetsPrefix.size(), infix - kTargetSetsPrefix.size()),
                        path.substr(infix + kTargetsInfix.size()));
}

// "/targetsets/" id "/targets": the id ends at the last "/targets".
std::optional<std::string> targetsOfSetPath(const std::string& path) {
  if (!path.starts_with(kTargetSetsPrefix) || !path.ends_with(kTargetsSuffix)) return std::nullopt;
  size_t suffix = path.size() - kTargetsSuffix.size();
  if (suffix < kTargetSetsPrefix.size()) return std::nullopt;
  return path.substr(kTargetSetsPrefix.size(), suffix - kTargetSetsPrefix.size());
}

std::optional<std::string> esmePath(const std::string& path) {
  if (!path.starts_with(kESMEPrefix)) return std::nullopt;
  return path.substr(kESMEPrefix.size());
}

}  // namespace

AdminRoutes::AdminRoutes(OstrelConfiguration& config, APIAuthStore& auth,
                         SMSCEntrySource smscEntries)
    : config_(config), auth_(auth), smscEntries_(std::move(smscEntries)) {}

bool AdminRoutes::checkBearerToken(const std::map<std::string, std::string>& headers,
                                   uint64_t now) {
  auto it = headers.find("authorization");
  if (it == headers.end()) return false;
  const std::string& value = it->second;
  if (value.size() < 8 || !value.starts_with("Bearer ")) return false;
  return auth_.tokenValid(value.substr(7), now);
}

HTTPResponse AdminRoutes::handle(const HTTPRequest& request, const std::string& peer,
                                 uint64_t now) {
  logMessage(LOG_FINE, nullptr, kClassName, "handle_http_request", "%s Path: %s",
             request.method.c_str(), request.path.c_str());
  if (!request.body.empty() && logEnabled(LOG_DEBUG)) {
    logMessage(LOG_DEBUG, nullptr, kClassName, "handle_http_request", "Body: %s",
               request.body.c_str());
  }
  try {
    return dispatch(request, peer, now);
  } catch (const std::exception& e) {
    // A body of the wrong shape, or an operation that gave up part-way, is the
    // client's failure and must read as one.
    logMessage(LOG_WARNING, nullptr, kClassName, "handle_http_request", "Exception thrown %s",
               e.what());
    return HTTPResponse::normal(400, "Bad request", "application/json", "{}");
  }
}

HTTPResponse AdminRoutes::dispatch(const HTTPRequest& request, const std::string& peer,
                                   uint64_t now) {
  const std::string& method = request.method;
  const std::string& path = request.path;

  if (path == "/metrics") {
    std::string body = MetricsRegistry::instance().renderMetrics();
    if (processMetricsExposed()) body += renderProcessMetrics();
    return HTTPResponse::normal(200, "OK", "text/plain", body);
  }
  if (path == "/status") return statusRoute();
  if (isMethod(method, "OPTIONS", "options")) return HTTPResponse::options(200, "OK", "{}");

  if (isMethod(method, "DELETE", "delete")) {
    if (!checkBearerToken(request.headers, now)) return unauthorised();
    return dispatchDelete(path);
  }
  if (isMethod(method, "GET", "get")) {
    if (!checkBearerToken(request.headers, now)) return unauthorised();
    return dispatchGet(path);
  }

  const std::string contentType = request.header("content-type");
  if (contentType == "application/x-www-form-urlencoded") {
    if (path != "/oauth2/v1/token") return HTTPResponse::fallback();
    std::string body;
    int code = auth_.issueToken(parseFormFields(request.body), peer, now, body);
    return HTTPResponse::normal(code, "OK", "application/json", body);
  }
  if (contentType == "application/json") {
    if (!checkBearerToken(request.headers, now)) return unauthorised();
    // Refused before the parser builds a tree from it: a few hundred
    // kilobytes of "[" make a tree, and an indented dump of it at the next
    // save, many times the size of the request.
    if (jsonNestingExceeds(request.body, kMaxJSONBodyNesting)) {
      logMessage(LOG_WARNING, nullptr, kClassName, "handle_http_request",
                 "Refused a JSON body nested deeper than %zu levels", kMaxJSONBodyNesting);
      return HTTPResponse::normal(400, "Bad request", "application/json", "{}");
    }
    return dispatchJSON(request, nlohmann::json::parse(request.body));
  }
  return HTTPResponse::fallback();
}

HTTPResponse AdminRoutes::dispatchDelete(const std::string& path) {
  std::string status = "OK";
  if (auto id = targetSetId(path)) {
    bool ok = config_.targetSetRemove(*id, status);
    return operationResponse(ok, status);
  }
  if (auto systemId = esmePath(path)) {
    bool ok = config_.esmeRemove(*systemId, status);
    return operationResponse(ok, status);
  }
  if (auto target = targetPath(path)) {
    bool ok = config_.targetRemove(target->first, target->second, status);
    return operationResponse(ok, status);
  }
  return HTTPResponse::fallback();
}

HTTPResponse AdminRoutes::dispatchGet(const std::string& path) {
  std::string status = "OK";
  nlohmann::json result;
  if (auto target = targetPath(path)) {
    bool ok = config_.targetView(target->first, target->second, result, status);
    return operationResponse(ok, status, result);
  }
  if (path == "/targetsets") {
    config_.targetSetList(result, status);
    return operationResponse(true, "OK", result);
  }
  if (auto id = targetsOfSetPath(path)) {
    bool ok = config_.targetNames(*id, result, status);
    return operationResponse(ok, status, result);
  }
  if (path.starts_with(kTargetSetsPrefix) && !path.ends_with("/")) {
    bool ok = config_.targetSetView(path.substr(kTargetSetsPrefix.size()), result, status);
    return operationResponse(ok, status, result);
  }
  if (path == "/esme") {
    config_.esmeList(result, status);
    return operationResponse(true, "OK", result);
  }
  if (auto systemId = esmePath(path)) {
    bool ok = config_.esmeView(*systemId, result, status);
    return operationResponse(ok, status, result);
  }
  return HTTPResponse::fallback();
}

HTTPResponse AdminRoutes::dispatchJSON(const HTTPRequest& request, const nlohmann::json& body) {
  const std::string& method = request.method;
  const std::string& path = request.path;
  std::string status = "OK";

  if (isMethod(method, "POST", "post")) {
    if (path == "/esme") return operationResponse(config_.esmeAdd(body, status), status);
    if (path == "/targetsets") return operationResponse(config_.targetSetAdd(body, status), status);
    if (auto id = targetsOfSetPath(path)) {
      return operationResponse(config_.targetAdd(*id, body, status), status);
    }
    if (path == "/control") return control(body);
  } else if (isMethod(method, "PUT", "put")) {
    if (auto systemId = esmePath(path)) {
      return operationResponse(config_.esmeModify(*systemId, body, status), status);
    }
    if (auto id = targetSetId(path)) {
      return operationResponse(config_.targetSetModify(*id, body, status), status);
    }
    if (auto target = targetPath(path)) {
      return operationResponse(config_.targetModify(target->first, target->second, body, status),
                               status);
    }
  }
  return HTTPResponse::fallback();
}

HTTPResponse AdminRoutes::control(const nlohmann::json& body) {
  if (!body.is_object() || !body.contains("log.audit"))
    return operationResponse(false, "Unknown command");
  const nlohmann::json& value = body["log.audit"];
  if (!value.is_boolean()) return operationResponse(false, "Bad command");
  setAuditEnabled(value.get<bool>());
  return operationResponse(true, "OK");
}

HTTPResponse AdminRoutes::statusRoute() {
  nlohmann::json report;
  statusReport(report, config_.targetSetsCopy(),
               smscEntries_ ? smscEntries_() : std::vector<SMSCEntryStatus>());
  return HTTPResponse::normal(200, "OK", "text/plain", report.dump());
}
