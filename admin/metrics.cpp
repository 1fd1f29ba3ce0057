#include "admin/metrics.h"


#include <algorithm>
#include <charconv>
#include <cstring>
#include <vector>

#include "base/wall_clock.h"

namespace {

constexpr const char* kPrefix = "pelliro_";
constexpr uint64_t kWindowMicros = 999999;  // a window rolls once more than this has passed

std::string_view baseName(std::string_view key) {
  size_t brace = key.find('{');
  return brace == std::string_view::npos ? key : key.substr(0, brace);
}

template <typename T>
void appendNumber(std::string& out, T value) {
  char buf[24];
  auto result = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, result.ptr);
}

}  // namespace

uint64_t MetricsRegistry::now() const { return clock_ != nullptr ? clock_() : wallClockMicros(); }

uint64_t MetricsRegistry::rateNow() const {
  return clock_ != nullptr ? clock_() : coarseWallClockMicros();
}

namespace {

void show(std::atomic<bool>& shown) {
  if (!shown.load(std::memory_order_relaxed)) shown.store(true, std::memory_order_relaxed);
}

// Each thread's memory of where series live, by key: a hit costs a hash and
// a compare and no shared cache line. Bounded: past the limit it starts over.
// Each remembered series comes with the registry's own copy of its key, which
// lives as long as the series.
constexpr size_t kLabelledRecentSlots = 64;

template <typename V>
struct LabelledRecent {
  std::string key;
  V* series = nullptr;
};

template <typename V>
struct SeriesMemory {
  static constexpr size_t kLimit = 8192;
  struct Known {
    V* series;
    const std::string* key;
  };
  StringMap<Known> known;
  // Before the hash: the last series seen at each of a few key addresses.
  // Most bumps name their series by a literal, whose address never changes;
  // the key text is still compared, so a reused address cannot mislead it.
  static constexpr size_t kRecentSlots = 64;
  struct Recent {
    const char* data = nullptr;
    Known known{nullptr, nullptr};
  };
  Recent recent[kRecentSlots];
  // The same for labelled series, by their memory key.
  LabelledRecent<V> labelledRecent[kLabelledRecentSlots];
};

template <typename V>
SeriesMemory<V>& memoryOf() {
  thread_local SeriesMemory<V> memory;
  return memory;
}

}  // namespace

template <typename V>
V& MetricsRegistry::series(SeriesMap<V>& map, std::string_view key) {
  SeriesMemory<V>& memory = memoryOf<V>();
  auto& recent =
      memory.recent[(reinterpret_cast<uintptr_t>(key.data()) >> 3) % SeriesMemory<V>::kRecentSlots];
  if (recent.data == key.data() && recent.known.key != nullptr && *recent.known.key == key)
    return *recent.known.series;
  auto known = memory.known.find(key);
  if (known == memory.known.end()) {
    typename SeriesMemory<V>::Known made;
    {
      std::unique_lock<std::shared_mutex> lock(registryMutex_);
      auto it = map.try_emplace(std::string(key)).first;
      made = {&it->second, &it->first};
    }
    if (memory.known.size() >= SeriesMemory<V>::kLimit) memory.known.clear();
    known = memory.known.emplace(std::string(key), made).first;
  }
  recent.data = key.data();
  recent.known = known->second;
  return *known->second.series;
}

template <typename V>
V& MetricsRegistry::labelledSeries(SeriesMap<V>& map, const char* name, Labels labels) {
  // The thread's memory key: the addresses of the family and label names,
  // then each value with its length in front, so no two combinations meet.
  char buffer[256];
  size_t length = 0;
  auto put = [&](const void* bytes, size_t n) {
    if (length + n > sizeof buffer) return false;
    std::memcpy(buffer + length, bytes, n);
    length += n;
    return true;
  };
  bool fits = put(&name, sizeof name);
  for (const auto& [label, value] : labels) {
    const char* labelName = label.data();
    const size_t size = value.size();
    fits = fits && put(&labelName, sizeof labelName) && put(&size, sizeof size) &&
           put(value.data(), size);
  }
  if (!fits) return series(map, seriesKey(name, labels));
  thread_local SeriesMemory<V> memory;
  const std::string_view memoryKey(buffer, length);
  // Before the hash: the last combination seen in a slot picked by the
  // family's address and the first value's address and size. A call site
  // mostly bumps one combination in turn (one customer, one SMSC), so the
  // key bytes are compared and nothing is hashed.
  uintptr_t mix = reinterpret_cast<uintptr_t>(name) >> 3;
  if (labels.size() != 0) {
    mix ^= reinterpret_cast<uintptr_t>(labels.begin()->second.data()) >> 3;
    mix ^= labels.begin()->second.size() * 0x9E37u;
  }
  LabelledRecent<V>& recent = memory.labelledRecent[mix % kLabelledRecentSlots];
  if (recent.series != nullptr && recent.key == memoryKey) return *recent.series;
  auto known = memory.known.find(memoryKey);
  V* found;
  if (known != memory.known.end()) {
    found = known->second.series;
  } else {
    found = &series(map, seriesKey(name, labels));
    if (memory.known.size() >= SeriesMemory<V>::kLimit) memory.known.clear();
    memory.known.emplace(std::string(memoryKey), typename SeriesMemory<V>::Known{found, nullptr});
  }
  recent.key.assign(memoryKey);
  recent.series = found;
  return *found;
}

void MetricsRegistry::registerCounter(const std::string& name, const std::string& help,
                                      bool labelled) {
  std::unique_lock<std::shared_mutex> lock(registryMutex_);
  Counter& c = counters_[name];
  c.value.store(0, std::memory_order_relaxed);
  c.shown.store(true, std::memory_order_relaxed);
  help_[name] = help;
  labelled_[name] = labelled;
}

void MetricsRegistry::registerGauge(const std::string& name, const std::string& help,
                                    bool labelled) {
  std::unique_lock<std::shared_mutex> lock(registryMutex_);
  Gauge& g = gauges_[name];
  g.value.store(0, std::memory_order_relaxed);
  g.shown.store(true, std::memory_order_relaxed);
  help_[name] = help;
  labelled_[name] = labelled;
}

void MetricsRegistry::registerRate(const std::string& name, const std::string& help,
                                   bool labelled) {
  std::unique_lock<std::shared_mutex> lock(registryMutex_);
  uint64_t t = rateNow();
  Rate& rate = rates_[name];
  std::lock_guard<std::mutex> rateLock(rate.rateMutex);
  rate.previousStart = t - 1000000;
  rate.previousCount = 0;
  rate.currentStart.store(t, std::memory_order_relaxed);
  rate.currentCount.store(0, std::memory_order_relaxed);
  rate.shown.store(true, std::memory_order_release);
  help_[name] = help;
  labelled_[name] = labelled;
}

void MetricsRegistry::bump(Counter& c) {
  c.value.fetch_add(1, std::memory_order_relaxed);
  show(c.shown);
}

void MetricsRegistry::incrementCounter(std::string_view key) { bump(series(counters_, key)); }

MetricsRegistry::CounterHandle MetricsRegistry::counterHandle(std::string_view key) {
  CounterHandle handle;
  handle.series_ = &series(counters_, key);
  return handle;
}

MetricsRegistry::RateHandle MetricsRegistry::rateHandle(std::string_view key) {
  RateHandle handle;
  handle.series_ = &series(rates_, key);
  return handle;
}

MetricsRegistry::GaugeHandle MetricsRegistry::gaugeHandle(std::string_view key) {
  GaugeHandle handle;
  handle.series_ = &series(gauges_, key);
  return handle;
}

void EsmeSeries::bump(const std::string& esme) {
  if (!found_ || esme != esme_) {
    MetricsRegistry& m = MetricsRegistry::instance();
    counter_ = m.counterHandle(seriesKey(counterFamily_, {{"esme", esme}}));
    rate_ = m.rateHandle(seriesKey(rateFamily_, {{"esme", esme}}));
    esme_ = esme;
    found_ = true;
  }
  counter_.increment();
  rate_.add();
}

void MetricsRegistry::CounterHandle::increment() const {
  if (series_ != nullptr) bump(*series_);
}

void MetricsRegistry::RateHandle::add(uint64_t n) const {
  if (series_ == nullptr) return;
  MetricsRegistry& m = instance();
  m.addToRate(*series_, n, m.rateNow());
}

void MetricsRegistry::RateHandle::addAt(uint64_t at) const {
  if (series_ != nullptr) instance().addToRate(*series_, 1, at);
}

void MetricsRegistry::GaugeHandle::set(int64_t value) const {
  if (series_ == nullptr) return;
  series_->value.store(value, std::memory_order_relaxed);
  show(series_->shown);
}

void MetricsRegistry::addGauge(std::string_view key, int64_t delta) {
  Gauge& g = series(gauges_, key);
  g.value.fetch_add(delta, std::memory_order_relaxed);
  show(g.shown);
}

void MetricsRegistry::setGauge(std::string_view key, int64_t value) {
  GaugeHandle handle;
  handle.series_ = &series(gauges_, key);
  handle.set(value);
}

void MetricsRegistry::rollRate(Rate& rate, uint64_t now, uint64_t startCount) {
  rate.previousStart = rate.currentStart.load(std::memory_order_relaxed);
  rate.previousCount = rate.currentCount.exchange(startCount, std::memory_order_relaxed);
  rate.currentStart.store(now, std::memory_order_release);
}

void MetricsRegistry::incrementCounter(const char* name, Labels labels) {
  bump(labelledSeries(counters_, name, labels));
}

void MetricsRegistry::addRate(std::string_view key, uint64_t n) {
  addToRate(series(rates_, key), n, rateNow());
}

void MetricsRegistry::addRate(const char* name, Labels labels, uint64_t n) {
  addToRate(labelledSeries(rates_, name, labels), n, rateNow());
}

void MetricsRegistry::addToRate(Rate& rate, uint64_t n, uint64_t t) {
  auto inWindow = [&] {
    const uint64_t start = rate.currentStart.load(std::memory_order_acquire);
    return !(t > start && t - start > kWindowMicros);
  };
  if (rate.shown.load(std::memory_order_acquire) && inWindow()) {
    rate.currentCount.fetch_add(n, std::memory_order_relaxed);
    return;
  }
  std::lock_guard<std::mutex> rateLock(rate.rateMutex);
  if (!rate.shown.load(std::memory_order_relaxed)) {
    // A new (or cleared) series starts with an empty previous window.
    rate.previousStart = t - 1000000;
    rate.previousCount = 0;
    rate.currentCount.store(n, std::memory_order_relaxed);
    rate.currentStart.store(t, std::memory_order_relaxed);
    rate.shown.store(true, std::memory_order_release);
    return;
  }
  // Another thread may have rolled the window with a later reading.
  if (inWindow()) {
    rate.currentCount.fetch_add(n, std::memory_order_relaxed);
  } else {
    rollRate(rate, t, n);
  }
}

std::string MetricsRegistry::renderMetrics(uint64_t at) {
  std::unique_lock<std::shared_mutex> lock(registryMutex_);
  const uint64_t t = at != 0 ? at : now();
  const uint64_t millis = t / 1000;
  std::string out;

  // Writes one kind of series grouped by base name in ascending order; `line`
  // appends the value and timestamp of one series.
  auto renderKind = [&](auto& map, const char* type, auto line) {
    using Entry = std::pair<std::string_view, decltype(&map.begin()->second)>;
    std::vector<Entry> entries;
    entries.reserve(map.size());
    for (auto& [key, value] : map)
      if (value.shown.load(std::memory_order_relaxed)) entries.emplace_back(key, &value);
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
      std::string_view ba = baseName(a.first), bb = baseName(b.first);
      return ba != bb ? ba < bb : a.first < b.first;
    });
    out.reserve(out.size() + entries.size() * 80);
    size_t i = 0;
    while (i < entries.size()) {
      std::string_view base = baseName(entries[i].first);
      auto help = help_.find(base);
      if (help != help_.end()) {
        out.append("# HELP ").append(kPrefix).append(base).append(" ").append(help->second);
        out.append("\n# TYPE ").append(kPrefix).append(base).append(" ").append(type).append("\n");
      }
      auto flag = labelled_.find(base);
      bool labelled = flag != labelled_.end() && flag->second;
      for (; i < entries.size() && baseName(entries[i].first) == base; ++i) {
        if (labelled && entries[i].first.size() == base.size()) continue;
        out.append(kPrefix).append(entries[i].first).push_back(' ');
        line(*entries[i].second);
        out.push_back('\n');
      }
      out.push_back('\n');
    }
  };

  renderKind(counters_, "counter", [&](const Counter& c) {
    appendNumber(out, c.value.load(std::memory_order_relaxed));
    out.push_back(' ');
    appendNumber(out, millis);
  });
  renderKind(gauges_, "gauge", [&](const Gauge& g) {
    appendNumber(out, g.value.load(std::memory_order_relaxed));
    out.push_back(' ');
    appendNumber(out, millis);
  });
  renderKind(rates_, "gauge", [&](Rate& r) {
    std::lock_guard<std::mutex> rateLock(r.rateMutex);
    const uint64_t start = r.currentStart.load(std::memory_order_relaxed);
    if (t > start && t - start > kWindowMicros) rollRate(r, t, 0);
    appendNumber(out, r.previousCount);
    out.push_back(' ');
    appendNumber(out, r.previousStart / 1000);
  });
  return out;
}

uint64_t MetricsRegistry::counterValue(std::string_view key) {
  std::shared_lock<std::shared_mutex> lock(registryMutex_);
  auto it = counters_.find(key);
  return it == counters_.end() || !it->second.shown.load(std::memory_order_relaxed)
             ? 0
             : it->second.value.load(std::memory_order_relaxed);
}

int64_t MetricsRegistry::gaugeValue(std::string_view key) {
  std::shared_lock<std::shared_mutex> lock(registryMutex_);
  auto it = gauges_.find(key);
  return it == gauges_.end() || !it->second.shown.load(std::memory_order_relaxed)
             ? 0
             : it->second.value.load(std::memory_order_relaxed);
}

void MetricsRegistry::clearForTesting() {
  std::unique_lock<std::shared_mutex> lock(registryMutex_);
  help_.clear();
  labelled_.clear();
  // Threads remember where series live, so series are hidden, never freed.
  for (auto& [key, c] : counters_) {
    c.value.store(0, std::memory_order_relaxed);
    c.shown.store(false, std::memory_order_relaxed);
  }
  for (auto& [key, g] : gauges_) {
    g.value.store(0, std::memory_order_relaxed);
    g.shown.store(false, std::memory_order_relaxed);
  }
  for (auto& [key, r] : rates_) {
    std::lock_guard<std::mutex> rateLock(r.rateMutex);
    r.shown.store(false, std::memory_order_relaxed);
  }
}

void MetricsRegistry::setClockForTesting(uint64_t (*clock)()) {
  std::unique_lock<std::shared_mutex> lock(registryMutex_);
  clock_ = clock;
}

std::string seriesKey(std::string_view name,
                      std::initializer_list<std::pair<std::string_view, std::string_view>> labels) {
  std::string key(name);
  if (labels.size() == 0) return key;
  key.push_back('{');
  bool first = true;
  for (const auto& [label, value] : labels) {
    if (!first) key.push_back(',');
    first = false;
    key.append(label).append("=\"");
    for (char c : value) {
      switch (c) {
        case '\\': key.append("\\\\"); break;
        case '"': key.append("\\\""); break;
        case '\n': key.append("\\n"); break;
        default: key.push_back(c);
      }
    }
    key.push_back('"');
  }
  key.push_back('}');
  return key;
}
