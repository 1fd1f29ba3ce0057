#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

// Bearer tokens, registered API clients and the guessing limit of the admin
// server's token endpoint.
//
// The admin server thread issues and checks tokens; the process entry
// registers the client before that thread starts. One mutex guards the whole
// store, so every operation is safe from any thread. Operations that depend on
// time take `now` (microseconds since the epoch) so that tests can drive the
// token expiry and the guessing window directly.
class APIAuthStore {
 public:
  // A token lives 900 seconds.
  static constexpr uint64_t kTokenLifetime = 900000000ULL;
  static constexpr uint64_t kTokenLifetimeSeconds = kTokenLifetime / 1000000ULL;
  static constexpr size_t kTokenLength = 32;
  // Live tokens kept at most; past this the ones expiring soonest are dropped.
  static constexpr size_t kMaxTokens = 10000;
  // Failed client-credential attempts one address may make per window before
  // it is refused unheard for the rest of the window.
  static constexpr unsigned kMaxFailedAttempts = 10;
  static constexpr uint64_t kAttemptWindow = 15ULL * 60ULL * 1000000ULL;
  // Addresses whose failures are remembered at most.
  static constexpr size_t kMaxTrackedAddresses = 10000;

  // Empties the clients; enters this one unless either text is empty.
  void registerAPIClient(const std::string& clientId, const std::string& clientSecret);

  // Makes a token of kTokenLength characters from digits and ASCII letters,
  // drawn from the operating system's secure random source, and stores it
  // with expiry now + kTokenLifetime. Expired tokens are pruned here.
  std::string generateAccessToken(uint64_t now);

  // True when `token` was issued and `now` is before its expiry.
  bool tokenValid(const std::string& token, uint64_t now);

  // The token endpoint: `fields` are the form fields, `peer` the client's
  // address. Returns the HTTP status (200, 400 or 401); `body` holds the token
  // document on 200 and is empty otherwise.
  int issueToken(const std::map<std::string, std::string>& fields, const std::string& peer,
                 uint64_t now, std::string& body);

  size_t tokenCount();
  void clearForTesting();

 private:
  struct APIClient {
    std::string clientId;
    std::string clientSecret;
  };
  struct FailedAttempts {
    uint64_t windowStart = 0;
    unsigned count = 0;
    bool reported = false;
  };

  bool secretMatches(const std::string& clientId,
                     const std::string& secret);               // requires authMutex_
  bool refusedUnheard(const std::string& peer, uint64_t now);  // requires authMutex_
  void recordFailure(const std::string& peer, uint64_t now);   // requires authMutex_
  void pruneTokens(uint64_t now);                              // requires authMutex_

  std::mutex authMutex_;
  std::map<std::string, uint64_t> accessTokens_;          // guarded by authMutex_
  std::multimap<uint64_t, std::string> tokensByExpiry_;   // guarded by authMutex_
  std::map<std::string, APIClient> apiClients_;           // guarded by authMutex_
  std::map<std::string, FailedAttempts> failedAttempts_;  // guarded by authMutex_
};

// Splits an "application/x-www-form-urlencoded" body at "&"; a field with "="
// gives name and value, taken literally; a later field replaces an earlier one.
std::map<std::string, std::string> parseFormFields(const std::string& body);


