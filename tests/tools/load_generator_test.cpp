#include "tools/load_generator.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/daemon_process.h"
#include "tests/support/fake_smsc.h"
#include "tests/support/temp_dir.h"

namespace {

using Problem = LoadGenerator::Problem;
using testing_support::FakeSmsc;

using Sim = SmscSimulator::Options;
using Load = LoadGenerator::Options;

// The faults leave answers missing for good; waiting long proves nothing.
Load smallRun(uint16_t port) {
  Load o;
  o.port = port, o.binds = 2, o.window = 4, o.count = 24, o.drainMilliseconds = 300;
  return o;
}

struct Case {
  const char* name;
  void (*fault)(Sim&, Load&);
  // Counts per kind of problem the generator must report, nothing else.
  std::vector<std::pair<Problem, uint64_t>> expected;
  // A kind whose count is only a minimum: how many submits were in flight
  // when a connection was reset is the network's choice.
  Problem atLeast = LoadGenerator::kProblemKinds;
  // A refused bind stops the run before any submit, saying why.
  const char* bindError = nullptr;
};

const Case kCases[] = {
    {"Clean", [](Sim&, Load&) {}, {}},
    {"ReceiptBeforeResponse",
     [](Sim& s, Load&) { s.receipt = SmscSimulator::ReceiptTiming::BeforeResponse; }, {}},
    {"ReceiptOnReceiverBind",
     [](Sim& s, Load& l) {
       s.receiptOnReceiver = true;
       l.bindType = LoadGenerator::BindType::Transmitter;
       l.receivers = 1;
     },
     {}},
    {"DataSm", [](Sim&, Load& l) { l.dataSm = true; }, {}},
    {"LongMessagesInParts", [](Sim&, Load& l) { l.parts = 3; }, {}},
    // A withheld submit gets no receipt either: only responses are missing.
    {"MissingResponse", [](Sim& s, Load&) { s.withholdEvery = 4; },
     {{LoadGenerator::kMissingResponse, 6}}},
    {"DoubledReceipt", [](Sim& s, Load&) { s.duplicateReceiptEvery = 8; },
     {{LoadGenerator::kDuplicateReceipt, 3}}},
    // The misnumbered response leaves its own submit unanswered, and the
    // message it accepted is one the generator never learns of.
    {"WrongSequenceNumber", [](Sim& s, Load&) { s.wrongSequenceEvery = 6; },
     {{LoadGenerator::kUnexpectedSequence, 4},
      {LoadGenerator::kMissingResponse, 4},
      {LoadGenerator::kUnknownReceipt, 4}}},
    {"ResetConnection", [](Sim& s, Load&) { s.resetAfterSubmits = 5; },
     {{LoadGenerator::kConnectionLost, 2}, {LoadGenerator::kMissingResponse, 2}},
     LoadGenerator::kMissingResponse},
    {"RefusedBind",
     [](Sim& s, Load&) {
       s.bindAnswer = SmscSimulator::BindAnswer::Refuse;
       s.bindRefusalStatus = 0x0D;
     },
     {}, LoadGenerator::kProblemKinds, "0x0d"},
};

TEST(LoadGenerator, ReportsExactlyTheFaultsTheSimulatorInjects) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    FakeSmsc smsc;  // the simulator on its own thread, with its own defaults
    FakeSmsc::Behaviour s;
    static_cast<Sim&>(s) = Sim{};
    Load l = smallRun(static_cast<uint16_t>(smsc.port()));
    c.fault(s, l);
    smsc.setBehaviour(s);
    const LoadGenerator::Report r = LoadGenerator(l).run();
    uint64_t expected[LoadGenerator::kProblemKinds] = {};
    for (const auto& [kind, count] : c.expected) expected[kind] = count;
    for (int k = 0; k < LoadGenerator::kProblemKinds; ++k) {
      const char* kind = LoadGenerator::problemName(static_cast<Problem>(k));
      if (k == c.atLeast) {
        EXPECT_GE(r.problems[k], expected[k]) << kind;
      } else {
        EXPECT_EQ(r.problems[k], expected[k]) << kind;
      }
    }
    if (c.bindError != nullptr) {
      EXPECT_EQ(r.exitCode(), 2);
      EXPECT_EQ(r.submits, 0u);
      EXPECT_NE(r.bindError.find(c.bindError), std::string::npos) << r.bindError;
      continue;
    }
    EXPECT_EQ(r.exitCode(), c.expected.empty() ? 0 : 1) << r.machineLine();
    if (c.expected.empty()) {
      EXPECT_EQ(r.receipts, l.count * static_cast<uint64_t>(l.parts));
    }
  }
}

TEST(CapacityTools, LoadAgainstSmscOverLoopbackExitsZeroWithReceipts) {
  testing_support::TempDir smscDir, loadDir;
  testing_support::DaemonProcess smsc(smscDir.path(), {"--port", "0"}, PELLIRO_SMSC_BINARY);
  ASSERT_TRUE(smsc.waitForOutput("\n")) << smsc.errorOutput();
  const std::string listening = smsc.output();
  const std::string port =
      listening.substr(listening.rfind(':') + 1, listening.find('\n') - listening.rfind(':') - 1);
  testing_support::DaemonProcess load(
      loadDir.path(),
      {"--port", port, "--binds", "2", "--window", "8", "--count", "300", "--quiet"},
      PELLIRO_LOAD_BINARY);
  EXPECT_EQ(load.waitExit(std::chrono::seconds(30)), 0) << load.errorOutput();
  EXPECT_NE(load.output().find("receipts=300 "), std::string::npos) << load.output();
  EXPECT_NE(load.output().find(" problems=0 "), std::string::npos) << load.output();
  smsc.stop(SIGTERM);
}

}  // namespace
