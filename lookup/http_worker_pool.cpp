#include "lookup/http_worker_pool.h"

#include "admin/metrics.h"
#include "base/log.h"
#include "lookup/http_client.h"

HTTPWorkerPoolSettings HTTPWorkerPoolSettings::forService(const char* className,
                                                          const HTTPServiceSettings& service,
                                                          const std::string& metricPrefix) {
  HTTPWorkerPoolSettings pool;
  pool.className = className;
  pool.workerCount = service.workerCount;
  pool.workerMinimum = service.workerCountMin;
  pool.maxQueue = service.maxQueueSize;
  pool.requestsCounter = metricPrefix + "Requests";
  pool.queueFullCounter = metricPrefix + "QueueFull";
  pool.queueSizeGauge = metricPrefix + "QueueSize";
  pool.workersGauge = metricPrefix + "Workers";
  return pool;
}

HTTPWorkerPool::HTTPWorkerPool(HTTPWorkerPoolSettings settings, HTTPJobHandler& handler)
    : settings_(settings), handler_(handler) {
  const size_t slots = static_cast<size_t>(settings_.workerCount > 0 ? settings_.workerCount : 1);
  slots_.resize(slots);
  running_.assign(slots, false);
}

HTTPWorkerPool::~HTTPWorkerPool() { stop(); }

void HTTPWorkerPool::start() {
  ensureCurlGlobalInit();
  std::lock_guard<std::mutex> lock(queueMutex_);
  if (stop_ || manager_.joinable()) return;
  manager_ = std::thread([this] { manageWorkers(); });
}

void HTTPWorkerPool::stop() {
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    stop_ = true;
    stopping_.store(true);
  }
  workAvailable_.notify_all();
  managerWake_.notify_all();
  if (manager_.joinable()) manager_.join();
  std::deque<std::unique_ptr<HTTPJob>> left;
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    left.swap(queue_);
  }
  if (left.empty()) return;
  MetricsRegistry::instance().setGauge(settings_.queueSizeGauge, 0);
  logMessage(LOG_INFO, this, settings_.className, "stop",
             "Stopping with %zu queued requests: completed without an answer", left.size());
  for (auto& job : left) handler_.abandonJob(*job);
}

bool HTTPWorkerPool::submit(std::unique_ptr<HTTPJob> job) {
  MetricsRegistry& metrics = MetricsRegistry::instance();
  bool grow = false;
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    metrics.incrementCounter(settings_.requestsCounter);
    if (stop_) return false;
    const size_t limit = static_cast<size_t>(settings_.maxQueue < 0 ? 0 : settings_.maxQueue);
    if (queue_.size() >= limit) {
      metrics.incrementCounter(settings_.queueFullCounter);
    } else {
      job->attempts = 0;
      queue_.push_back(std::move(job));
      metrics.setGauge(settings_.queueSizeGauge, static_cast<int64_t>(queue_.size()));
      grow = growthWantedLocked();
    }
  }
  if (job != nullptr) {
    logMessage(LOG_WARNING, this, settings_.className, "addAsyncSubmit",
               "Queue full: rejecting new async submission");
    return false;
  }
  // An idle worker takes the request now instead of at the end of a wait.
  workAvailable_.notify_one();
  if (grow) managerWake_.notify_one();
  return true;
}

size_t HTTPWorkerPool::queuedCount() {
  std::lock_guard<std::mutex> lock(queueMutex_);
  return queue_.size();
}

int HTTPWorkerPool::runningWorkers() {
  std::lock_guard<std::mutex> lock(queueMutex_);
  return runningCount_;
}

void HTTPWorkerPool::launchLocked(int index) {
  running_[static_cast<size_t>(index)] = true;
  ++runningCount_;
  slots_[static_cast<size_t>(index)] = std::thread([this, index] { startHTTPRequestWorker(index); });
}

bool HTTPWorkerPool::growthWantedLocked() const {
  if (stop_ || queue_.size() <= kGrowThreshold) return false;
  for (const std::thread& t : slots_) {
    if (!t.joinable()) return true;
  }
  return false;
}

void HTTPWorkerPool::growLocked() {
  int held = 0;
  for (const std::thread& t : slots_) held += t.joinable() ? 1 : 0;
  // At most doubles the pool per step; below the minimum it fills every slot.
  const int enough = held > 0 ? held : 1;
  int started = 0;
  for (size_t i = 1; i < slots_.size(); ++i) {
    if (enough >= settings_.workerMinimum && started >= enough) break;
    if (slots_[i].joinable()) continue;
    launchLocked(static_cast<int>(i));
    ++started;
  }
}

void HTTPWorkerPool::manageWorkers() {
  std::unique_lock<std::mutex> lock(queueMutex_);
  for (size_t i = 0; i < slots_.size(); ++i) launchLocked(static_cast<int>(i));
  while (true) {
    managerWake_.wait(lock, [this] { return stop_ || retiredUnjoined_ > 0 || growthWantedLocked(); });
    if (stop_) break;
    // Retired threads have left their loop; they are joined before their
    // slots are reused.
    std::vector<std::thread> finished;
    for (size_t i = 1; i < slots_.size(); ++i) {
      if (!running_[i] && slots_[i].joinable()) finished.push_back(std::move(slots_[i]));
    }
    retiredUnjoined_ = 0;
    if (growthWantedLocked()) growLocked();
    lock.unlock();
    for (std::thread& t : finished) t.join();
    lock.lock();
  }
  std::vector<std::thread> all;
  for (std::thread& t : slots_) {
    if (t.joinable()) all.push_back(std::move(t));
  }
  lock.unlock();
  for (std::thread& t : all) t.join();
}

void HTTPWorkerPool::startHTTPRequestWorker(int index) {
  MetricsRegistry& metrics = MetricsRegistry::instance();
  logMessage(LOG_INFO, this, settings_.className, "startHTTPRequestWorker",
             "HTTP request worker started (%d)", index);
  metrics.addGauge(settings_.workersGauge, 1);
  CURL* curl = curl_easy_init();
  std::unique_lock<std::mutex> lock(queueMutex_);
  while (!stop_) {
    metrics.setGauge(settings_.queueSizeGauge, static_cast<int64_t>(queue_.size()));
    if (queue_.empty()) {
      auto ready = [this] { return stop_ || !queue_.empty(); };
      if (index == 0) {
        workAvailable_.wait(lock, ready);
      } else if (!workAvailable_.wait_for(lock, settings_.idleRetirement, ready) &&
                 runningCount_ > settings_.workerMinimum) {
        break;
      }
      continue;
    }
    std::unique_ptr<HTTPJob> job = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    const bool finished = handler_.attemptJob(curl, *job, index);
    if (!finished && ++job->attempts >= static_cast<uint32_t>(settings_.maxAttempts)) {
      handler_.abandonJob(*job);
      job.reset();
    }
    lock.lock();
    if (!finished && job != nullptr) queue_.push_back(std::move(job));
  }
  running_[static_cast<size_t>(index)] = false;
  --runningCount_;
  if (!stop_) {
    ++retiredUnjoined_;
    managerWake_.notify_one();
  }
  lock.unlock();
  if (curl != nullptr) curl_easy_cleanup(curl);
  metrics.addGauge(settings_.workersGauge, -1);
  logMessage(LOG_INFO, this, settings_.className, "startHTTPRequestWorker",
             "HTTP request worker ended (%d)", index);
}
