#include "admin/cli_client.h"

#include <curl/curl.h>

#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>

#include "admin/http_server.h"
#include "base/log.h"
#include "config/ostrel_configuration.h"

std::string apiAccessToken;

namespace {

constexpr const char* kClassName = "Application";
// A daemon that accepts but never answers must not hang the operator's shell.
constexpr long kConnectTimeoutSeconds = 10;
constexpr long kTransferTimeoutSeconds = 60;

size_t collectBody(char* data, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

struct CurlDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct HeaderListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

bool perform(CURL* handle, const std::set<std::string>& headers, const char* firstHeader,
             std::string& response, long& httpStatus) {
  curl_slist* list = nullptr;
  if (firstHeader) list = curl_slist_append(list, firstHeader);
  for (const std::string& header : headers) list = curl_slist_append(list, header.c_str());
  std::unique_ptr<curl_slist, HeaderListDeleter> headerList(list);

  response.clear();
  httpStatus = 0;
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headerList.get());
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, collectBody);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &response);
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
  curl_easy_setopt(handle, CURLOPT_TIMEOUT, kTransferTimeoutSeconds);
  CURLcode result = curl_easy_perform(handle);
  if (result != CURLE_OK) {
    fprintf(stderr, "curl_easy_perform() failed: %s\n", curl_easy_strerror(result));
    return false;
  }
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &httpStatus);
  return true;
}

std::set<std::string> bearerHeader() {
  return {"Authorization: Bearer " + apiAccessToken};
}

// Sends a request with a JSON body and prints the verdict.
void sendChange(const std::string& method, const std::string& url, const nlohmann::json& body,
                const char* success, const char* failure) {
  std::string response;
  long status = 0;
  bool sent = makeHTTPRequest(method, url, bearerHeader(), body.dump(), response, status, true);
  printf("%s\n", sent && status == 200 ? success : failure);
}

// Fetches a view or list and prints it indented, or "Failed".
void showJSON(const std::string& url) {
  std::string response;
  long status = 0;
  if (makeGETHTTPRequest(url, bearerHeader(), response, status) && status == 200) {
    try {
      printf("%s\n", nlohmann::json::parse(response).dump(2).c_str());
      return;
    } catch (const std::exception&) {
      // An unreadable answer is a failed view, not a crash of the client.
    }
  }
  printf("Failed\n");
}

void usage(const std::string& subCommand, const char* arguments) {
  printf("Usage: %s %s\n", subCommand.c_str(), arguments);
}

}  // namespace

std::string adminBaseURL(int port) {
  return port == 80 ? std::string("http://127.0.0.1") : "http://127.0.0.1:" + std::to_string(port);
}

bool makeHTTPRequest(const std::string& method, const std::string& url,
                     const std::set<std::string>& headers, const std::string& body,
                     std::string& response, long& httpStatus, bool addJSONContentType) {
  logMessage(LOG_FINE, nullptr, kClassName, "makeHTTPRequest", "URL: %s; JSON: %s", url.c_str(),
             body.c_str());
  std::unique_ptr<CURL, CurlDeleter> handle(curl_easy_init());
  if (!handle) {
    fprintf(stderr, "curl_easy_perform() failed: %s\n", "curl_easy_init() failed");
    return false;
  }
  curl_easy_setopt(handle.get(), CURLOPT_URL, url.c_str());
  if (method != "POST") curl_easy_setopt(handle.get(), CURLOPT_CUSTOMREQUEST, method.c_str());
  curl_easy_setopt(handle.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  curl_easy_setopt(handle.get(), CURLOPT_POSTFIELDS, body.c_str());
  return perform(handle.get(), headers,
                 addJSONContentType ? "Content-Type: application/json" : nullptr, response,
                 httpStatus);
}

bool makeGETHTTPRequest(const std::string& url, const std::set<std::string>& headers,
                        std::string& response, long& httpStatus) {
  logMessage(LOG_FINE, nullptr, kClassName, "makeGETHTTPRequest", "URL: %s", url.c_str());
  std::unique_ptr<CURL, CurlDeleter> handle(curl_easy_init());
  if (!handle) {
    fprintf(stderr, "curl_easy_perform() failed: %s\n", "curl_easy_init() failed");
    return false;
  }
  curl_easy_setopt(handle.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle.get(), CURLOPT_HTTPGET, 1L);
  return perform(handle.get(), headers, nullptr, response, httpStatus);
}

void getAccessToken(const std::string& baseURL, const std::string& clientId,
                    const std::string& clientSecret) {
  std::string response;
  long status = 0;
  std::string body = "grant_type=client_credentials&scope=api&client_id=" + clientId +
                     "&client_secret=" + clientSecret;
  if (makeHTTPRequest("POST", baseURL + "/oauth2/v1/token",
                      {"Content-Type: application/x-www-form-urlencoded"}, body, response, status,
                      false) &&
      status == 200) {
    try {
      apiAccessToken = nlohmann::json::parse(response).at("access_token").get<std::string>();
      return;
    } catch (const std::exception&) {
      apiAccessToken.clear();
    }
  }
  printf("Failed\n");
}

namespace admin_client {

void esmeAdd(const std::string& baseURL, const std::string& systemId,
             const std::string& targetSet) {
  sendChange("POST", baseURL + "/esme", {{"systemid", systemId}, {"targetset", targetSet}},
             "Successfully added", "Add failed");
}

void esmeRemove(const std::string& baseURL, const std::string& systemId) {
  sendChange("DELETE", baseURL + "/esme/" + systemId, nullptr, "Successfully removed",
             "Remove failed");
}

void esmeModify(const std::string& baseURL, const std::string& systemId,
                const std::string& targetSet) {
  sendChange("PUT", baseURL + "/esme/" + systemId, {{"targetset", targetSet}},
             "Successfully modified", "Modify failed");
}

void esmeView(const std::string& baseURL, const std::string& systemId) {
  showJSON(baseURL + "/esme/" + systemId);
}

void esmeList(const std::string& baseURL) {
  showJSON(baseURL + "/esme");
}

void targetSetAdd(const std::string& baseURL, const std::string& id, const std::string& name,
                  bool submitsEnabled) {
  // The daemon stores a new set without targets whatever is sent; targets are
  // added one by one.
  nlohmann::json body = {{"id", id},
                         {"name", name},
                         {"submits_enabled", submitsEnabled},
                         {"targets", nlohmann::json::array()}};
  sendChange("POST", baseURL + "/targetsets", body, "Successfully added", "Add failed");
}

void targetSetRemove(const std::string& baseURL, const std::string& id) {
  sendChange("DELETE", baseURL + "/targetsets/" + id, nullptr, "Successfully removed",
             "Remove failed");
}

void targetSetModify(const std::string& baseURL, const std::string& id, const std::string& name,
                     bool submitsEnabled) {
  nlohmann::json body = {{"id", id}, {"name", name}, {"submits_enabled", submitsEnabled}};
  sendChange("PUT", baseURL + "/targetsets/" + id, body, "Successfully modified", "Modify failed");
}

void targetSetList(const std::string& baseURL) {
  showJSON(baseURL + "/targetsets");
}

}  // namespace admin_client

bool isSubCommand(const std::string& name) {
  static const std::set<std::string> kSubCommands = {
      "esmeAdd",      "esmeRemove",      "esmeModify",      "esmeView",     "esmeList",
      "targetSetAdd", "targetSetRemove", "targetSetModify", "targetSetList"};
  return kSubCommands.count(name) != 0;
}

bool dispatchSubCommand(int argc, char** argv) {
  if (argc < 2) return false;
  OstrelConfiguration& config = OstrelConfiguration::instance();
  const std::string baseURL = adminBaseURL(configuredHTTPPort());
  getAccessToken(baseURL, config.getBaseString("auth.client_id", ""),
                 config.getBaseString("auth.client_secret", ""));

  const std::string subCommand = argv[1];
  const int count = argc - 2;
  auto arg = [argv](int i) { return std::string(argv[2 + i]); };

  if (subCommand == "esmeAdd") {
    if (count != 2)
      usage(subCommand, "<systemid> <targetset-name>");
    else
      admin_client::esmeAdd(baseURL, arg(0), arg(1));
  } else if (subCommand == "esmeRemove") {
    if (count != 1)
      usage(subCommand, "<systemid>");
    else
      admin_client::esmeRemove(baseURL, arg(0));
  } else if (subCommand == "esmeModify") {
    if (count != 2)
      usage(subCommand, "<systemid> <targetset-name>");
    else
      admin_client::esmeModify(baseURL, arg(0), arg(1));
  } else if (subCommand == "esmeView") {
    if (count != 1)
      usage(subCommand, "<systemid>");
    else
      admin_client::esmeView(baseURL, arg(0));
  } else if (subCommand == "esmeList") {
    admin_client::esmeList(baseURL);
  } else if (subCommand == "targetSetAdd") {
    // The usage text names the arguments as an older form of the command
    // did; they are used as id, name and the submits switch.
    if (count != 2 && count != 3)
      usage(subCommand, "<name> <host> [<port>]");
    else
      admin_client::targetSetAdd(baseURL, arg(0), arg(1), count == 3 && arg(2) == "true");
  } else if (subCommand == "targetSetRemove") {
    if (count != 1)
      usage(subCommand, "<name>");
    else
      admin_client::targetSetRemove(baseURL, arg(0));
  } else if (subCommand == "targetSetModify") {
    if (count != 2 && count != 3)
      usage(subCommand, "<name> <host> [<port>]");
    else
      admin_client::targetSetModify(baseURL, arg(0), arg(1), count == 3 && arg(2) == "true");
  } else if (subCommand == "targetSetList") {
    admin_client::targetSetList(baseURL);
  } else {
    return false;
  }
  fflush(stdout);
  return true;
}
