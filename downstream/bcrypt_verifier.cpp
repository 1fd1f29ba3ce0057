#include "downstream/bcrypt_verifier.h"

#include <crypt.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>

namespace {

// Overwrites secrets in a way the compiler may not drop. Plain code rather
// than OPENSSL_cleanse: this runs on worker threads that must not touch
// OpenSSL's per-thread state.
void wipe(void* data, size_t size) {
  volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
  for (size_t i = 0; i < size; ++i) p[i] = 0;
}

void wipe(std::string& text) { wipe(text.data(), text.size()); }

}  // namespace

bool isBcryptHash(const std::string& storedHash) {
  // "$2b$" cost "$", then 22 characters of salt and 31 of checksum. Anything
  // shorter is a setting, not a hash: crypt_r happily completes a setting
  // into a full hash for any password, so a cut-short hash must never reach
  // the comparison.
  if (storedHash.size() != kBcryptHashLength) return false;
  if (storedHash.compare(0, 4, "$2a$") != 0 && storedHash.compare(0, 4, "$2b$") != 0 &&
      storedHash.compare(0, 4, "$2y$") != 0)
    return false;
  char tens = storedHash[4];
  char ones = storedHash[5];
  if (tens < '0' || tens > '9' || ones < '0' || ones > '9' || storedHash[6] != '$') return false;
  int cost = (tens - '0') * 10 + (ones - '0');
  if (cost < 4 || cost > 31) return false;
  for (size_t i = 7; i < storedHash.size(); ++i) {
    char c = storedHash[i];
    bool base64 = c == '.' || c == '/' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                  (c >= '0' && c <= '9');
    if (!base64) return false;
  }
  return true;
}

bool bcryptMatches(const std::string& password, const std::string& storedHash) {
  if (!isBcryptHash(storedHash)) return false;
  // A password with an embedded NUL would be cut short by crypt_r and then
  // compared as something it is not.
  if (password.find('\0') != std::string::npos) return false;
  auto area = std::make_unique<crypt_data>();
  memset(area.get(), 0, sizeof(crypt_data));
  const char* result = crypt_r(password.c_str(), storedHash.c_str(), area.get());
  bool matched = false;
  if (result != nullptr && result[0] != '*') {
    // Equal in full: the same length and every byte, in constant time.
    matched = strnlen(result, CRYPT_OUTPUT_SIZE) == kBcryptHashLength &&
              CRYPTO_memcmp(result, storedHash.data(), kBcryptHashLength) == 0;
  }
  wipe(area.get(), sizeof(crypt_data));
  return matched;
}

VerifiedPasswordCache::VerifiedPasswordCache(size_t capacity) : capacity_(capacity) {
  if (getrandom(key_.data(), key_.size(), 0) != static_cast<ssize_t>(key_.size()))
    RAND_bytes(key_.data(), static_cast<int>(key_.size()));
}

size_t VerifiedPasswordCache::DigestHash::operator()(const Digest& d) const {
  size_t h = 0;
  memcpy(&h, d.data(), sizeof h);
  return h;
}

VerifiedPasswordCache::Digest VerifiedPasswordCache::digest(const std::string& password,
                                                            const std::string& storedHash) const {
  // Length-prefixed so that no two (password, hash) pairs share an input.
  uint64_t passwordLength = password.size();
  std::string input(reinterpret_cast<const char*>(&passwordLength), sizeof passwordLength);
  input += password;
  input += storedHash;
  Digest out{};
  unsigned int outLength = 0;
  HMAC(EVP_sha256(), key_.data(), static_cast<int>(key_.size()),
       reinterpret_cast<const unsigned char*>(input.data()), input.size(), out.data(), &outLength);
  OPENSSL_cleanse(input.data(), input.size());
  return out;
}

bool VerifiedPasswordCache::contains(const std::string& password, const std::string& storedHash) {
  Digest d = digest(password, storedHash);
  std::lock_guard<std::mutex> lock(cacheMutex_);
  return entries_.count(d) != 0;
}

void VerifiedPasswordCache::insert(const std::string& password, const std::string& storedHash) {
  insertDigest(digest(password, storedHash));
}

void VerifiedPasswordCache::insertDigest(const Digest& d) {
  if (capacity_ == 0) return;
  std::lock_guard<std::mutex> lock(cacheMutex_);
  if (!entries_.insert(d).second) return;
  order_.push_back(d);
  while (order_.size() > capacity_) {
    entries_.erase(order_.front());
    order_.pop_front();
  }
}

size_t VerifiedPasswordCache::size() {
  std::lock_guard<std::mutex> lock(cacheMutex_);
  return entries_.size();
}

BcryptVerifier& BcryptVerifier::instance() {
  static BcryptVerifier verifier;
  return verifier;
}

BcryptVerifier::BcryptVerifier(size_t workers, size_t maxQueued)
    : workerCount_(workers == 0 ? 1 : workers), maxQueued_(maxQueued) {}

BcryptVerifier::~BcryptVerifier() {
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    stopping_ = true;
    workers.swap(workers_);
    for (Job& job : queue_) wipe(job.password);
  }
  queueReady_.notify_all();
  for (auto& worker : workers) worker.join();
}

std::optional<bool> BcryptVerifier::check(const std::string& password,
                                          const std::string& storedHash) {
  if (!isBcryptHash(storedHash)) return false;
  if (cache_.contains(password, storedHash)) return true;
  return std::nullopt;
}

bool BcryptVerifier::submit(const std::string& password, const std::string& storedHash,
                            std::weak_ptr<void> interest, Done done) {
  VerifiedPasswordCache::Digest digest = cache_.digest(password, storedHash);
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    if (stopping_ || queue_.size() >= maxQueued_) return false;
    startWorkersLocked();
    queue_.push_back(Job{password, storedHash, digest, std::move(interest), std::move(done)});
  }
  queueReady_.notify_one();
  return true;
}

void BcryptVerifier::startWorkersLocked() {
  while (workers_.size() < workerCount_) workers_.emplace_back([this] { workerLoop(); });
}

void BcryptVerifier::workerLoop() {
  // bcrypt is CPU-bound by design; on a small machine it must not take the
  // core the listener loop needs to serve every other customer. A higher
  // nice value for this thread only (Linux threads have their own).
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kWorkerNice);
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(queueMutex_);
      queueReady_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    if (!job.interest.expired()) {
      bool matched = bcryptMatches(job.password, job.storedHash);
      if (matched) cache_.insertDigest(job.digest);
      job.done(matched);
    }
    wipe(job.password);
  }
}
