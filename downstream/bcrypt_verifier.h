#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

// Length of a complete bcrypt hash: "$2b$10$", 22 characters of salt and 31
// of checksum.
inline constexpr size_t kBcryptHashLength = 60;

// Whether `password` matches the bcrypt `storedHash`. Runs crypt_r with a
// zeroed work area on the heap (about 32 kB) and compares the whole result
// with the whole stored hash in constant time; a stored hash that is not
// complete (isBcryptHash), a null result or a failure token ("*...") is a
// mismatch. Costs tens of milliseconds at cost 10: call it on a worker
// thread, never on the listener loop. Safe from any thread.
bool bcryptMatches(const std::string& password, const std::string& storedHash);

// Whether `storedHash` is a complete bcrypt hash: "$2a$", "$2b$" or "$2y$",
// a two-digit cost from 04 to 31, "$", and 53 characters of the bcrypt
// base64 alphabet ("./A-Za-z0-9"), 60 in all. Any other stored hash refuses
// every password.
bool isBcryptHash(const std::string& storedHash);

// Password/hash pairs that bcrypt has already confirmed, so a customer that
// binds again with the same password costs a lookup instead of a bcrypt run.
// Holds only keyed digests (HMAC-SHA-256 under a per-process random key) of
// password and hash, never a password. Bounded: the oldest entries go first.
// Safe from any thread (cacheMutex_).
class VerifiedPasswordCache {
 public:
  using Digest = std::array<uint8_t, 32>;

  explicit VerifiedPasswordCache(size_t capacity = 4096);
  bool contains(const std::string& password, const std::string& storedHash);
  void insert(const std::string& password, const std::string& storedHash);
  // The key of a pair, and inserting by key: lets the digest be taken on
  // one thread and the entry added on another.
  Digest digest(const std::string& password, const std::string& storedHash) const;
  void insertDigest(const Digest& digest);
  size_t size();

 private:
  struct DigestHash {
    size_t operator()(const Digest& d) const;
  };

  const size_t capacity_;
  std::array<uint8_t, 32> key_{};
  std::mutex cacheMutex_;
  std::unordered_set<Digest, DigestHash> entries_;  // guarded by cacheMutex_
  std::deque<Digest> order_;                        // guarded by cacheMutex_; oldest first
};

// Checks customer passwords against bcrypt hashes on worker threads, so the
// listener loop that serves every customer never waits for bcrypt.
//
// check() answers at once from the cache or for a hash that is not bcrypt;
// otherwise submit() queues the work and returns; the worker calls `done`
// with the verdict on its own thread (the caller hands it back to its loop).
// A job whose `interest` has expired by the time a worker reaches it is
// dropped without running bcrypt. Safe from any thread.
class BcryptVerifier {
 public:
  using Done = std::function<void(bool matched)>;
  static constexpr int kWorkerNice = 10;

  static BcryptVerifier& instance();

  explicit BcryptVerifier(size_t workers = 2, size_t maxQueued = 256);
  ~BcryptVerifier();
  BcryptVerifier(const BcryptVerifier&) = delete;
  BcryptVerifier& operator=(const BcryptVerifier&) = delete;

  // true/false when the answer is known without bcrypt, nothing otherwise.
  std::optional<bool> check(const std::string& password, const std::string& storedHash);

  // Queues a bcrypt run; false when the queue is full (the caller refuses).
  bool submit(const std::string& password, const std::string& storedHash,
              std::weak_ptr<void> interest, Done done);

  size_t cacheSize() { return cache_.size(); }

 private:
  struct Job {
    std::string password;
    std::string storedHash;
    // Taken by the submitting thread, so that workers never call into
    // OpenSSL (whose per-thread state a short-lived worker would leave behind).
    VerifiedPasswordCache::Digest digest;
    std::weak_ptr<void> interest;
    Done done;
  };
  void startWorkersLocked();
  void workerLoop();

  const size_t workerCount_;
  const size_t maxQueued_;
  VerifiedPasswordCache cache_;

  std::mutex queueMutex_;
  std::condition_variable queueReady_;
  std::deque<Job> queue_;              // guarded by queueMutex_
  bool stopping_ = false;              // guarded by queueMutex_
  std::vector<std::thread> workers_;   // guarded by queueMutex_; started on first submit
};
