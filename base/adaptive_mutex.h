#pragma once

#include <pthread.h>

// A mutex that spins a little before it sleeps, for state the two loop
// threads share message by message (the tracker's tables, the pending CDRs,
// a customer's receipt queue, a socket's backlog). Each holds such a lock for
// one hash-map or queue operation, so the other thread, finding it taken, is
// almost always let in within a few hundred nanoseconds: sleeping on the
// futex and being woken costs two system calls and a context switch on each
// side, which under load was a larger cost than the work the locks guard.
// Meets the Lockable requirements (std::lock_guard, std::unique_lock); any
// thread may use it.
class AdaptiveMutex {
 public:
  AdaptiveMutex() {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ADAPTIVE_NP);
    pthread_mutex_init(&mutex_, &attributes);
    pthread_mutexattr_destroy(&attributes);
  }
  ~AdaptiveMutex() { pthread_mutex_destroy(&mutex_); }
  AdaptiveMutex(const AdaptiveMutex&) = delete;
  AdaptiveMutex& operator=(const AdaptiveMutex&) = delete;

  void lock() { pthread_mutex_lock(&mutex_); }
  bool try_lock() { return pthread_mutex_trylock(&mutex_) == 0; }
  void unlock() { pthread_mutex_unlock(&mutex_); }

 private:
  pthread_mutex_t mutex_;
};
