#include "admin/metrics.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

uint64_t fakeNow = 0;
uint64_t fakeClock() {
  return fakeNow;
}

class MetricsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fakeNow = 1700000000123456ULL;
    registry().clearForTesting();
    registry().setClockForTesting(&fakeClock);
  }
  void TearDown() override {
    registry().setClockForTesting(nullptr);
    registry().clearForTesting();
  }
  static MetricsRegistry& registry() { return MetricsRegistry::instance(); }
};

// Counters, then gauges, each kind's families in ascending order and series
// sorted within them; a labelled family shows no bare series; a series of an
// unregistered family has no HELP or TYPE; gauges move by delta or are set.
TEST_F(MetricsTest, SeriesAreGroupedByFamilyInAscendingOrder) {
  registry().registerCounter("smppSubmitSM_ESME", "Submits, labelled by ESME.", true);
  registry().incrementCounter(seriesKey("smppSubmitSM_ESME", {{"esme", "b"}}));
  registry().incrementCounter(seriesKey("smppSubmitSM_ESME", {{"esme", "a"}}));
  registry().incrementCounter("smppSubmitSM_ESME", {{"esme", "a"}});  // the same series
  registry().incrementCounter("aaaFirst");
  registry().registerGauge("downstreamSMPPSessions", "Sessions.", false);
  registry().addGauge("downstreamSMPPSessions", 1);
  registry().addGauge("downstreamSMPPSessions", 1);
  registry().addGauge("downstreamSMPPSessions", -1);
  registry().setGauge("sysTracker_submitSMMap_size", 42);
  registry().addGauge("eliQueueSize", -3);

  EXPECT_EQ(registry().renderMetrics(),
            "pelliro_aaaFirst 1 1700000000123\n"
            "\n"
            "# HELP pelliro_smppSubmitSM_ESME Submits, labelled by ESME.\n"
            "# TYPE pelliro_smppSubmitSM_ESME counter\n"
            "pelliro_smppSubmitSM_ESME{esme=\"a\"} 2 1700000000123\n"
            "pelliro_smppSubmitSM_ESME{esme=\"b\"} 1 1700000000123\n"
            "\n"
            "# HELP pelliro_downstreamSMPPSessions Sessions.\n"
            "# TYPE pelliro_downstreamSMPPSessions gauge\n"
            "pelliro_downstreamSMPPSessions 1 1700000000123\n"
            "\n"
            "pelliro_eliQueueSize -3 1700000000123\n"
            "\n"
            "pelliro_sysTracker_submitSMMap_size 42 1700000000123\n"
            "\n");
}

// A rate is a gauge stamped with the start of the window it shows.
TEST_F(MetricsTest, RateShowsTheLastCompletedWindowOnceItRollsAfterMoreThanOneSecond) {
  registry().registerRate("smppSubmitSMRate", "Rate.", true);
  const std::string key = seriesKey("smppSubmitSMRate", {{"esme", "acme"}, {"smsc", "t1"}});
  const std::string sample = "pelliro_smppSubmitSMRate{esme=\"acme\",smsc=\"t1\"} ";
  const uint64_t windowStart = fakeNow;
  registry().incrementRate(key);
  fakeNow += 999999;
  registry().addRate("smppSubmitSMRate", {{"esme", "acme"}, {"smsc", "t1"}}, 2);  // same window
  EXPECT_NE(registry().renderMetrics().find(sample + "0 "), std::string::npos);
  fakeNow += 2;
  std::string page = registry().renderMetrics();
  EXPECT_NE(page.find("# TYPE pelliro_smppSubmitSMRate gauge\n" + sample + "3 " +
                      std::to_string(windowStart / 1000) + "\n"),
            std::string::npos)
      << page;
}

TEST_F(MetricsTest, LabelledBumpsFindTheSeriesOfTheirOwnValues) {
  // Values that run together the same way must still be told apart.
  const std::pair<std::string, std::string> cases[] = {{"ab", "c"}, {"a", "bc"}, {"", "abc"},
                                                       {"abc", ""}, {"a\"b", "c"}};
  for (int round = 1; round <= 2; ++round) {
    for (const auto& [esme, smsc] : cases) {
      registry().incrementCounter("smppSubmitSM", {{"esme", esme}, {"smsc", smsc}});
      EXPECT_EQ(registry().counterValue(seriesKey("smppSubmitSM", {{"esme", esme}, {"smsc", smsc}})),
                uint64_t(round))
          << esme << "/" << smsc;
    }
  }
  // Label values are escaped so that the page stays parsable.
  std::string key = seriesKey("smppSubmitSM_ESME", {{"esme", "a\"b\\c\nd"}});
  EXPECT_EQ(key, "smppSubmitSM_ESME{esme=\"a\\\"b\\\\c\\nd\"}");
  registry().incrementCounter(key);
  EXPECT_NE(registry().renderMetrics().find("pelliro_" + key + " 1 1700000000123\n"),
            std::string::npos);
}

TEST_F(MetricsTest, ConcurrentBumpsAreNeverLost) {
  registry().setClockForTesting(nullptr);
  constexpr int kThreads = 4, kBumps = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kBumps; ++i) {
        registry().incrementCounter("smppSubmitSMTotal");
        registry().incrementCounter("smppSubmitSM_ESME", {{"esme", std::to_string(t)}});
        registry().addGauge("g", 1);
        registry().incrementRate("r");
      }
    });
  }
  std::thread reader([] {
    for (int i = 0; i < 50; ++i) registry().renderMetrics();
  });
  for (auto& th : threads) th.join();
  reader.join();
  EXPECT_EQ(registry().counterValue("smppSubmitSMTotal"), uint64_t{kThreads} * kBumps);
  EXPECT_EQ(registry().counterValue(seriesKey("smppSubmitSM_ESME", {{"esme", "2"}})),
            uint64_t{kBumps});
  EXPECT_EQ(registry().gaugeValue("g"), int64_t{kThreads} * kBumps);
}

}  // namespace
