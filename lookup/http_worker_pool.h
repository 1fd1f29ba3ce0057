#pragma once

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lookup/lookup_settings.h"

// One queued HTTP request of a lookup service; the services derive their own
// request records from it. Owned by the pool's queue or by the one worker
// that holds it.
struct HTTPJob {
  virtual ~HTTPJob() = default;
  uint32_t attempts = 0;
};

// What a service does with a job; called on worker threads, never with the
// pool's lock held.
class HTTPJobHandler {
 public:
  virtual ~HTTPJobHandler() = default;
  // One attempt over the worker's own handle; true when the job is finished
  // (its completion has been called), false for a failed attempt.
  virtual bool attemptJob(CURL* handle, HTTPJob& job, int workerIndex) = 0;
  // The job will not be tried again (attempts used up, or the pool stopped
  // before it ran): complete it without an answer.
  virtual void abandonJob(HTTPJob& job) = 0;
};

struct HTTPWorkerPoolSettings {
  const char* className = "";        // class field of the pool's log lines
  int workerCount = 16;              // worker slots, and workers started
  int workerMinimum = 1;             // idle workers are not retired below this
  int maxQueue = 1000;               // requests allowed to wait
  int maxAttempts = 5;               // attempts per request, the first included
  // A worker other than slot 0 idle this long retires.
  std::chrono::milliseconds idleRetirement{5000};
  // Metric names.
  std::string requestsCounter;
  std::string queueFullCounter;
  std::string queueSizeGauge;
  std::string workersGauge;

  // The pool of a service configured by `service`, whose metrics are
  // <prefix>Requests, <prefix>QueueFull, <prefix>QueueSize and
  // <prefix>Workers.
  static HTTPWorkerPoolSettings forService(const char* className,
                                           const HTTPServiceSettings& service,
                                           const std::string& metricPrefix);
};

// The bounded request queue and the growing and shrinking set of worker
// threads shared by the MSISDN lookup and the ELI service.
//
// A queued request wakes one idle worker at once. A manager thread starts
// the workers and, when more than kGrowThreshold requests wait, fills empty
// slots (up to as many again as are running); idle workers other than slot 0
// retire down to the minimum. A failed attempt goes to the back of the queue
// until the attempts are used up. Every accepted job ends exactly once: in
// attemptJob returning true or in abandonJob (also for jobs still queued at
// stop()).
//
// Owned by one service. submit(), queuedCount() and runningWorkers() are safe
// from any thread and never wait for HTTP; start() and stop() are called by
// the owner (start-up and shutdown), stop() also from the destructor.
class HTTPWorkerPool {
 public:
  static constexpr size_t kGrowThreshold = 10;

  HTTPWorkerPool(HTTPWorkerPoolSettings settings, HTTPJobHandler& handler);
  ~HTTPWorkerPool();
  HTTPWorkerPool(const HTTPWorkerPool&) = delete;
  HTTPWorkerPool& operator=(const HTTPWorkerPool&) = delete;

  void start();
  // Ends the manager and the workers (an HTTP request in flight is
  // abandoned), then abandons what is still queued. Idempotent.
  void stop();

  // Appends a new job (attempts 0); false when the queue is full.
  bool submit(std::unique_ptr<HTTPJob> job);

  size_t queuedCount();
  int runningWorkers();
  // True once stop() began; makes transfers in flight give up.
  const std::atomic<bool>& stopping() const { return stopping_; }

 private:
  void manageWorkers();
  void startHTTPRequestWorker(int index);
  // Caller holds queueMutex_.
  void launchLocked(int index);
  void growLocked();
  bool growthWantedLocked() const;

  const HTTPWorkerPoolSettings settings_;
  HTTPJobHandler& handler_;
  std::atomic<bool> stopping_{false};
  std::thread manager_;

  std::mutex queueMutex_;
  std::condition_variable workAvailable_;   // workers wait here for jobs
  std::condition_variable managerWake_;     // the manager waits here for growth or retirements
  bool stop_ = false;                               // guarded by queueMutex_
  std::deque<std::unique_ptr<HTTPJob>> queue_;      // guarded by queueMutex_
  std::vector<std::thread> slots_;                  // guarded by queueMutex_
  std::vector<bool> running_;                       // guarded by queueMutex_
  int runningCount_ = 0;                            // guarded by queueMutex_
  int retiredUnjoined_ = 0;                         // guarded by queueMutex_
};
