#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cdr/smpp_cdr_manager.h"
#include "config/ostrel_configuration.h"
#include "downstream/deliver_sm_queue.h"
#include "tests/support/temp_dir.h"
#include "tracking/tracker.h"
#include "upstream/smpp_upstream.h"

namespace upstream_test {

using nlohmann::json;

inline json target(const std::string& name, int port, int bindqty = 1,
                   json extra = json::object()) {
  json t = {{"name", name},       {"host", "127.0.0.1"}, {"port", port},
            {"bindqty", bindqty}, {"systemid", "up"},    {"password", "pw"},
            {"systemtype", ""},   {"weight", 1},         {"admindown", false}};
  t.update(extra);
  return t;
}

inline json targetSet(const std::string& id, std::vector<json> targets, bool submits = true) {
  return {{"id", id}, {"name", id}, {"submits_enabled", submits}, {"targets", targets}};
}

inline json document(std::vector<json> sets) {
  return {{"targetsets", sets},
          {"esme", json::array()},
          {"routes-mt", json::array()},
          {"routes-mo", json::array()}};
}

// One upstream manager with its own configuration, tracker, queue and CDR
// manager, on a clock the test moves.
class UpstreamFixture {
 public:
  explicit UpstreamFixture(const json& doc, uint64_t start = 1700000000000000ULL)
      : clock(start),
        config(std::make_unique<OstrelConfiguration>(dir.file("pelliro.conf"))),
        tracker(std::make_unique<Tracker>("", [this] { return clock.load(); })),
        queue(std::make_unique<DeliverSMQueue>()),
        cdr(std::make_unique<SMPPCDRManager>([this] { return clock.load(); })) {
    config->setClock([this] { return clock.load(); });
    config->parseConfig(true, doc);
    upstream = std::make_unique<SMPPUpstream>(SMPPUpstream::Services{
        config.get(), tracker.get(), queue.get(), cdr.get(), [this] { return clock.load(); }});
  }
  ~UpstreamFixture() { upstream.reset(); }

  // Runs passes (each waiting at most `waitMicros` of real time for
  // readiness) until `done` holds or `passes` ran; whether it held.
  template <typename Pred>
  bool runUntil(Pred done, int passes = 200, int64_t waitMicros = 20000) {
    for (int i = 0; i < passes; ++i) {
      if (done()) return true;
      bool activity = false;
      upstream->upstreamRun(activity, waitMicros);
    }
    return done();
  }

  testing_support::TempDir dir;
  std::atomic<uint64_t> clock;
  std::unique_ptr<OstrelConfiguration> config;
  std::unique_ptr<Tracker> tracker;
  std::unique_ptr<DeliverSMQueue> queue;
  std::unique_ptr<SMPPCDRManager> cdr;
  std::unique_ptr<SMPPUpstream> upstream;
};

}  // namespace upstream_test
