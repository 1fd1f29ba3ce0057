#pragma once

#include <set>
#include <string>

// The command-line personality of the executable: with an administration
// sub-command as its first argument the program does not run the daemon but
// acts as an HTTP client of the daemon running on this machine. It fetches a
// bearer token from the token endpoint with the API client id and secret of
// its own configuration file, sends one REST request and prints a one-line
// verdict or the returned JSON.
//
// Everything here runs on the main thread of a short-lived client process.

// The token obtained by getAccessToken; empty until then or when it failed.
extern std::string apiAccessToken;

// "http://127.0.0.1", or "http://127.0.0.1:<port>" for a port other than 80.
std::string adminBaseURL(int port);

// Sends one request with libcurl. Any method other than "POST" is sent as a
// custom method; the body goes with its length. With `addJSONContentType`
// "Content-Type: application/json" is sent before `headers`. Returns false
// when the transfer failed (libcurl's reason on standard error), otherwise
// true with the response body and HTTP status.
bool makeHTTPRequest(const std::string& method, const std::string& url,
                     const std::set<std::string>& headers, const std::string& body,
                     std::string& response, long& httpStatus, bool addJSONContentType);
// The same for GET, without body or content type.
bool makeGETHTTPRequest(const std::string& url, const std::set<std::string>& headers,
                        std::string& response, long& httpStatus);

// Fetches a token from the daemon at `baseURL` and stores it in
// apiAccessToken; prints "Failed" when it cannot.
void getAccessToken(const std::string& baseURL, const std::string& clientId,
                    const std::string& clientSecret);

// The sub-commands, each against the daemon at `baseURL` with apiAccessToken.
namespace admin_client {
void esmeAdd(const std::string& baseURL, const std::string& systemId, const std::string& targetSet);
void esmeRemove(const std::string& baseURL, const std::string& systemId);
void esmeModify(const std::string& baseURL, const std::string& systemId,
                const std::string& targetSet);
void esmeView(const std::string& baseURL, const std::string& systemId);
void esmeList(const std::string& baseURL);
void targetSetAdd(const std::string& baseURL, const std::string& id, const std::string& name,
                  bool submitsEnabled);
void targetSetRemove(const std::string& baseURL, const std::string& id);
void targetSetModify(const std::string& baseURL, const std::string& id, const std::string& name,
                     bool submitsEnabled);
void targetSetList(const std::string& baseURL);
}  // namespace admin_client

// True when `name` is one of the administration sub-commands above.
bool isSubCommand(const std::string& name);

// Called by the process entry once the configuration is loaded, when there is
// at least one argument: fetches the token with the configured client, then
// runs the sub-command named by argv[1] or prints its usage text. Returns
// true when argv[1] is a sub-command (the process then ends), false when it
// is not (the daemon runs).
bool dispatchSubCommand(int argc, char** argv);
