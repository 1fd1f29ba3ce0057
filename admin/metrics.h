#pragma once

#include <cstdint>
#include <initializer_list>
#include <atomic>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "base/string_map.h"

// The process-wide registry of counters, gauges and per-second rates, and
// their Prometheus text exposition.
//
// Series are keyed by their full text: the family name, optionally followed by
// labels in braces ("smppSubmitSM_ESME{esme=\"abc\"}"); build keys with
// seriesKey(), which escapes label values. A series, once made, stays where
// it is for the life of the process (clearing only hides it), so each thread
// remembers where the series it bumps live and a bump of a known series takes
// no lock of the registry: values change atomically, a rate's under its own
// small mutex. The reader-writer mutex guards the maps: making a series and
// an exposition take it alone. These are the innermost locks of the process:
// no other lock is taken while they are held. Every operation is safe from
// any thread.
class MetricsRegistry {
  struct Counter;
  struct Gauge;
  struct Rate;

 public:
  static MetricsRegistry& instance() {
    static MetricsRegistry registry;
    return registry;
  }
  // The clock the rate windows run on.
  static uint64_t rateTime() { return instance().rateNow(); }

  // A series looked up once, for callers that bump the same series for every
  // message (a bind's own, the totals): a bump through it is an atomic add
  // with no lookup and no key compare. Series are never freed, so a handle
  // stays valid for the life of the process; a default-made one does nothing.
  class CounterHandle {
   public:
    void increment() const;

   private:
    friend class MetricsRegistry;
    Counter* series_ = nullptr;
  };
  class RateHandle {
   public:
    void add(uint64_t n = 1) const;
    // One message at `at`, a reading of rateTime(): a path that bumps
    // several rates reads the clock once.
    void addAt(uint64_t at) const;

   private:
    friend class MetricsRegistry;
    Rate* series_ = nullptr;
  };
  class GaugeHandle {
   public:
    void set(int64_t value) const;

   private:
    friend class MetricsRegistry;
    Gauge* series_ = nullptr;
  };
  // The series of `key` (a family name, or a seriesKey() with labels).
  CounterHandle counterHandle(std::string_view key);
  RateHandle rateHandle(std::string_view key);
  GaugeHandle gaugeHandle(std::string_view key);

  // Creates the series with value 0 and stores its help text and whether the
  // name is only exposed through labelled series.
  void registerCounter(const std::string& name, const std::string& help, bool labelled);
  void registerGauge(const std::string& name, const std::string& help, bool labelled);
  void registerRate(const std::string& name, const std::string& help, bool labelled);

  // Adds 1. Unknown keys start at 0. (Samples are stamped with the time of
  // the exposition, so the time of the event is not kept.)
  void incrementCounter(std::string_view key);
  // Adds `delta` (may be negative).
  void addGauge(std::string_view key, int64_t delta);
  void setGauge(std::string_view key, int64_t value);
  // Counts events into the current one-second window.
  void incrementRate(std::string_view key) { addRate(key, 1); }
  void addRate(std::string_view key, uint64_t n);

  // The same for the series of family `name` with these labels, as the
  // message path bumps them: the key text is built only the first time a
  // thread sees the combination. A thread remembers series by the address of
  // `name` and of each label name (string literals) and the label values.
  using Labels = std::initializer_list<std::pair<std::string_view, std::string_view>>;
  void incrementCounter(const char* name, Labels labels);
  void incrementRate(const char* name, Labels labels) { addRate(name, labels, 1); }
  void addRate(const char* name, Labels labels, uint64_t n);

  // The exposition at `now` (microseconds); 0 means the wall clock.
  std::string renderMetrics(uint64_t now = 0);

  // Current values, for tests and the status code; 0 when absent.
  uint64_t counterValue(std::string_view key);
  int64_t gaugeValue(std::string_view key);

  // Drops every series and help text (tests only).
  void clearForTesting();

  // Injects the clock used where an operation takes no time (tests only);
  // null restores the wall clock.
  void setClockForTesting(uint64_t (*clock)());

 private:
  MetricsRegistry() = default;

  template <typename V>
  using SeriesMap = StringMap<V>;

  // `shown` is false for a series made by a lookup but not yet changed, and
  // after clearForTesting: the exposition leaves it out.
  struct Counter {
    std::atomic<uint64_t> value{0};
    std::atomic<bool> shown{false};
  };
  struct Gauge {
    std::atomic<int64_t> value{0};
    std::atomic<bool> shown{false};
  };
  // A bump inside the current window only adds to currentCount; rolling
  // the window (and every change of the previous window) takes rateMutex.
  // A bump racing a roll may count into the new window: a rate is a
  // per-second figure, one event early is not an error.
  struct Rate {
    std::atomic<bool> shown{false};
    std::mutex rateMutex;  // guards the previous window and every roll
    uint64_t previousStart = 0;
    uint64_t previousCount = 0;
    std::atomic<uint64_t> currentStart{0};
    std::atomic<uint64_t> currentCount{0};
  };

  uint64_t now() const;
  uint64_t rateNow() const;
  static void rollRate(Rate& rate, uint64_t now, uint64_t startCount);
  static void bump(Counter& c);
  void addToRate(Rate& rate, uint64_t n, uint64_t t);
  // The series of `key`, found in the calling thread's memory of series or
  // made under the exclusive lock.
  template <typename V>
  V& series(SeriesMap<V>& map, std::string_view key);
  template <typename V>
  V& labelledSeries(SeriesMap<V>& map, const char* name, Labels labels);

  std::shared_mutex registryMutex_;
  SeriesMap<std::string> help_;  // guarded by registryMutex_
  SeriesMap<bool> labelled_;     // guarded by registryMutex_
  SeriesMap<Counter> counters_;  // guarded by registryMutex_
  SeriesMap<Gauge> gauges_;      // guarded by registryMutex_
  SeriesMap<Rate> rates_;        // guarded by registryMutex_
  uint64_t (*clock_)() = nullptr;
};

// "name{label=\"value\",...}" with label values escaped as the exposition
// format requires (backslash, double quote, newline); just "name" without
// labels.
std::string seriesKey(std::string_view name,
                      std::initializer_list<std::pair<std::string_view, std::string_view>> labels);

// One customer's series of a counter family and a rate family, labelled
// esme, found again only when the customer changes: a session bumps its own
// customer's series for every message. Used by one thread only.
class EsmeSeries {
 public:
  EsmeSeries(const char* counterFamily, const char* rateFamily)
      : counterFamily_(counterFamily), rateFamily_(rateFamily) {}
  void bump(const std::string& esme);

 private:
  const char* counterFamily_;
  const char* rateFamily_;
  bool found_ = false;
  std::string esme_;
  MetricsRegistry::CounterHandle counter_;
  MetricsRegistry::RateHandle rate_;
};

// Registers every metric family of the gateway with its help text, in the
// order the exposition documents them (once, at start-up).
void registerAllMetrics();
