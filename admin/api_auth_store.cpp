#include "admin/api_auth_store.h"

#include <openssl/crypto.h>
#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "base/log.h"

namespace {

constexpr char kTokenAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr unsigned kAlphabetSize = 62;
// Largest multiple of the alphabet size that fits a byte: bytes at or above
// it are redrawn, so every character is equally likely.
constexpr unsigned kUnbiasedLimit = 256 - 256 % kAlphabetSize;

void secureRandomBytes(unsigned char* buffer, size_t length) {
  size_t filled = 0;
  while (filled < length) {
    ssize_t got = getrandom(buffer + filled, length - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      // Without the kernel's generator no token can be made safely, and a
      // predictable one would hand out access to anyone.
      perror("getrandom");
      std::abort();
    }
    filled += static_cast<size_t>(got);
  }
}

}  // namespace

std::map<std::string, std::string> parseFormFields(const std::string& body) {
  std::map<std::string, std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t end = body.find('&', start);
    std::string field =
        body.substr(start, end == std::string::npos ? std::string::npos : end - start);
    size_t equals = field.find('=');
    if (equals != std::string::npos) fields[field.substr(0, equals)] = field.substr(equals + 1);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return fields;
}

void APIAuthStore::registerAPIClient(const std::string& clientId, const std::string& clientSecret) {
  std::lock_guard<std::mutex> lock(authMutex_);
  apiClients_.clear();
  if (!clientId.empty() && !clientSecret.empty()) {
    apiClients_[clientId] = APIClient{clientId, clientSecret};
  }
}

std::string APIAuthStore::generateAccessToken(uint64_t now) {
  std::string token;
  token.reserve(kTokenLength);
  unsigned char random[64];
  while (token.size() < kTokenLength) {
    secureRandomBytes(random, sizeof random);
    for (unsigned char byte : random) {
      if (byte >= kUnbiasedLimit) continue;
      token += kTokenAlphabet[byte % kAlphabetSize];
      if (token.size() == kTokenLength) break;
    }
  }

  const uint64_t expiry = now + kTokenLifetime;
  std::lock_guard<std::mutex> lock(authMutex_);
  auto existing = accessTokens_.find(token);
  if (existing != accessTokens_.end()) {
    auto range = tokensByExpiry_.equal_range(existing->second);
    for (auto it = range.first; it != range.second; ++it) {
      if (it->second == token) {
        tokensByExpiry_.erase(it);
        break;
      }
    }
  }
  accessTokens_[token] = expiry;
  tokensByExpiry_.emplace(expiry, token);
  pruneTokens(now);
  return token;
}

void APIAuthStore::pruneTokens(uint64_t now) {
  while (!tokensByExpiry_.empty() &&
         (tokensByExpiry_.begin()->first <= now || accessTokens_.size() > kMaxTokens)) {
    accessTokens_.erase(tokensByExpiry_.begin()->second);
    tokensByExpiry_.erase(tokensByExpiry_.begin());
  }
}

bool APIAuthStore::tokenValid(const std::string& token, uint64_t now) {
  std::lock_guard<std::mutex> lock(authMutex_);
  auto it = accessTokens_.find(token);
  return it != accessTokens_.end() && now < it->second;
}

size_t APIAuthStore::tokenCount() {
  std::lock_guard<std::mutex> lock(authMutex_);
  return accessTokens_.size();
}

void APIAuthStore::clearForTesting() {
  std::lock_guard<std::mutex> lock(authMutex_);
  accessTokens_.clear();
  tokensByExpiry_.clear();
  apiClients_.clear();
  failedAttempts_.clear();
}

bool APIAuthStore::secretMatches(const std::string& clientId, const std::string& secret) {
  auto it = apiClients_.find(clientId);
  if (it == apiClients_.end()) return false;
  const std::string& stored = it->second.clientSecret;
  if (stored.size() != secret.size()) return false;
  // Constant time, so the answer's timing tells nothing about how many
  // leading bytes of a guess were right.
  return CRYPTO_memcmp(stored.data(), secret.data(), stored.size()) == 0;
}

bool APIAuthStore::refusedUnheard(const std::string& peer, uint64_t now) {
  auto it = failedAttempts_.find(peer);
  if (it == failedAttempts_.end()) return false;
  if (now - it->second.windowStart >= kAttemptWindow) {
    failedAttempts_.erase(it);
    return false;
  }
  return it->second.count >= kMaxFailedAttempts;
}

void APIAuthStore::recordFailure(const std::string& peer, uint64_t now) {
  auto it = failedAttempts_.find(peer);
  if (it == failedAttempts_.end()) {
    if (failedAttempts_.size() >= kMaxTrackedAddresses) {
      auto oldest = failedAttempts_.end();
      for (auto i = failedAttempts_.begin(); i != failedAttempts_.end();) {
        if (now - i->second.windowStart >= kAttemptWindow) {
          i = failedAttempts_.erase(i);
          continue;
        }
        if (oldest == failedAttempts_.end() || i->second.windowStart < oldest->second.windowStart)
          oldest = i;
        ++i;
      }
      if (failedAttempts_.size() >= kMaxTrackedAddresses && oldest != failedAttempts_.end()) {
        failedAttempts_.erase(oldest);
      }
    }
    it = failedAttempts_.emplace(peer, FailedAttempts{now, 0, false}).first;
  } else if (now - it->second.windowStart >= kAttemptWindow) {
    it->second = FailedAttempts{now, 0, false};
  }
  FailedAttempts& attempts = it->second;
  ++attempts.count;
  if (attempts.count >= kMaxFailedAttempts && !attempts.reported) {
    attempts.reported = true;
    logMessage(
        LOG_WARNING, this, "Application", "issueToken",
        "Refusing client credentials from %s for the rest of the %llu second window after %u "
        "failed attempts",
        peer.c_str(), static_cast<unsigned long long>(kAttemptWindow / 1000000ULL), attempts.count);
  }
}

int APIAuthStore::issueToken(const std::map<std::string, std::string>& fields,
                             const std::string& peer, uint64_t now, std::string& body) {
  body.clear();
  auto field = [&fields](const char* name) -> const std::string* {
    auto it = fields.find(name);
    return it == fields.end() ? nullptr : &it->second;
  };

  const std::string* scope = field("scope");
  if (!scope || *scope != "api") return 400;
  const std::string* grantType = field("grant_type");
  if (!grantType) return 400;
  if (*grantType == "refresh_token") return field("refresh_token") ? 401 : 400;
  if (*grantType != "client_credentials") return 400;
  const std::string* clientId = field("client_id");
  const std::string* clientSecret = field("client_secret");
  if (!clientId || !clientSecret) return 400;

  {
    std::lock_guard<std::mutex> lock(authMutex_);
    if (refusedUnheard(peer, now)) return 401;
    if (!secretMatches(*clientId, *clientSecret)) {
      recordFailure(peer, now);
      return 401;
    }
  }

  std::string token = generateAccessToken(now);
  nlohmann::json document;
  document["access_token"] = token;
  document["token_type"] = "access";
  document["expires_in"] = kTokenLifetimeSeconds;
  document["refresh_token"] = token;
  body = document.dump();
  return 200;
}
