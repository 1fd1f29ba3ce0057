// Cost of routing one submit: 100 global MT rules of every criterion type,
// none of which matches (the whole list is walked), then the customer's LCR
// rule over a table of 1,000 networks. The second figure compiles the rules
// for every submit, as evaluating the JSON rules directly would, to show what
// compiling once at load saves.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "base/log.h"
#include "config/mt_routes.h"

namespace {

using nlohmann::json;

json rule(const std::string& match, const std::string& type, const std::string& value) {
  return {{"criteria", {{"match", match}, {"type", type}, {"value", value}}}, {"targetset", "G"}};
}

// Country codes that share no prefix with the benchmark's destination, so
// every rule is evaluated and none decides.
std::vector<json> globalRules() {
  std::vector<json> rules;
  for (int i = 0; rules.size() < 100; ++i) {
    std::string cc = std::to_string(30 + i % 10);
    switch (i % 8) {
      case 0:
        rules.push_back(rule("destination", "exact", cc + "7700900" + std::to_string(i)));
        break;
      case 1:
        rules.push_back(rule("destination", "country", cc));
        break;
      case 2: {
        json ndc = rule("destination", "ndc", "77");
        ndc["criteria"]["country"] = cc;
        rules.push_back(ndc);
        break;
      }
      case 3:
        rules.push_back(rule("destination", "regex", "44(78|79)[0-9]{8}"));
        break;
      case 4:
        rules.push_back(rule("destination", "mcc", std::to_string(200 + i)));
        break;
      case 5:
        rules.push_back(rule("destination", "mnc", std::to_string(20000 + i)));
        break;
      case 6:
        rules.push_back(rule("source", "exact", "Brand" + std::to_string(i)));
        break;
      case 7:
        rules.push_back(rule("source", "regex", "(Shop|Bank)[0-9]+"));
        break;
    }
  }
  return rules;
}

MTRoutes::LCRTables lcrTables() {
  MTRoutes::LCRTables tables;
  auto& table = tables["acme"];
  for (int i = 0; i < 1000; ++i) {
    std::string network = std::to_string(200 + i / 100) + std::to_string(10 + i % 100);
    table[network] = LCREntry{network, "set" + std::to_string(i % 7), 0.1, false};
  }
  return tables;
}

const std::vector<json> kCustomerRules = {
    {{"criteria", {{"match", "destination"}, {"type", "mnc"}, {"value", ""}}},
     {"lcrmap", {{"match", "destination"}, {"type", "mnc"}, {"map", json::array()}}}}};

SMPP::T_SubmitSM benchSubmit() {
  SMPP::T_SubmitSM submit;
  submit.destination_addr = "447700900123";
  submit.source_addr = "Alerts";
  return submit;
}

void BM_RouteOneSubmit(benchmark::State& state) {
  setLogLevel(LOG_SEVERE);
  const MTRoutes routes(globalRules(), lcrTables());
  const MTRuleList customer(kCustomerRules, "ESME acme");
  const json lookup = {{"mcc", "205"}, {"mnc", "50"}, {"ported", false}};
  const SMPP::T_SubmitSM submit = benchSubmit();
  for (auto _ : state) {
    MTRoute route = routes.route("acme", "default", lookup, submit, &customer);
    benchmark::DoNotOptimize(route);
  }
  if (routes.route("acme", "default", lookup, submit, &customer).targetSet.empty())
    state.SkipWithError("the LCR table did not route the submit");
}
BENCHMARK(BM_RouteOneSubmit);

void BM_RouteCompilingEachSubmit(benchmark::State& state) {
  setLogLevel(LOG_SEVERE);
  const std::vector<json> rules = globalRules();
  const MTRoutes routes({}, lcrTables());
  const json lookup = {{"mcc", "205"}, {"mnc", "50"}};
  const SMPP::T_SubmitSM submit = benchSubmit();
  for (auto _ : state) {
    const MTRuleList global(rules, "global");
    const MTRuleList customer(kCustomerRules, "ESME acme");
    std::string network = MTRoutes::networkOf(lookup);
    std::string set = routes.selectTargetSet("acme", lookup, submit, "default", global, network);
    benchmark::DoNotOptimize(
        routes.selectTargetSet("acme", lookup, submit, set, customer, network));
  }
}
BENCHMARK(BM_RouteCompilingEachSubmit);

}  // namespace
