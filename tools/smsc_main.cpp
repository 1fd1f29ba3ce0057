// pelliro-smsc: the SMSC simulator as a stand-alone process, for capacity
// runs of the gateway and of pelliro-load. Prints "listening <host>:<port>"
// once it accepts connections, and serves until SIGINT or SIGTERM.
#include <getopt.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "tools/smsc_simulator.h"

namespace {

SmscSimulator* g_simulator = nullptr;

void onSignal(int) {
  if (g_simulator) g_simulator->stop();
}

void usage(FILE* to) {
  std::fputs(
      "usage: pelliro-smsc [options]\n"
      "  --host ADDR              listen address (127.0.0.1)\n"
      "  --port N                 listen port (2775; 0 lets the kernel choose)\n"
      "  --refuse-bind STATUS     refuse every bind with this status (e.g. 0x0d)\n"
      "  --silent-bind            never answer binds\n"
      "  --submit-status STATUS   answer submits with this status, no id\n"
      "  --delay-ms N             hold every response (and its receipt) N ms\n"
      "  --withhold-every N       never answer every Nth submit of a bind\n"
      "  --wrong-sequence-every N answer every Nth submit with a sequence nobody used\n"
      "  --receipts MODE          none | after (default) | before the response\n"
      "  --receipts-always        receipt even when registered_delivery is 0\n"
      "  --receipt-on-receiver    receipts on another receiving bind of the system id\n"
      "  --receipt-tlvs           receipts carry receipted_message_id and message_state\n"
      "  --receipt-stat WORD      DELIVRD (default), UNDELIV, ...\n"
      "  --duplicate-receipt-every N  send every Nth receipt twice\n"
      "  --mo-every N             a mobile-originated message after every Nth submit\n"
      "  --reset-after N          reset a bind's connection at its Nth submit\n"
      "  --reset-every N          every N submits in all, reset some submitting binds\n"
      "  --reset-binds K          how many (2)\n"
      "  --unbind-after N         unbind a bind after its Nth response\n"
      "  --write-chunk BYTES      split output into pieces of at most BYTES\n"
      "  --id-prefix TEXT         prefix of the message ids\n"
      "  --no-enquire-link        leave enquire_link unanswered\n",
      to);
}

uint64_t number(const char* text) {
  return std::strtoull(text, nullptr, 0);
}

}  // namespace

int main(int argc, char** argv) {
  SmscSimulator::Options o;
  o.port = 2775;
  enum {
    kHost = 256,
    kPort,
    kRefuse,
    kSilent,
    kSubmitStatus,
    kDelay,
    kWithhold,
    kWrongSeq,
    kReceipts,
    kAlways,
    kOnReceiver,
    kTlvs,
    kStat,
    kDuplicate,
    kMo,
    kReset,
    kResetEvery,
    kResetBinds,
    kUnbind,
    kChunk,
    kPrefix,
    kNoEnquire,
    kHelp
  };
  static const option longOptions[] = {
      {"host", required_argument, nullptr, kHost},
      {"port", required_argument, nullptr, kPort},
      {"refuse-bind", required_argument, nullptr, kRefuse},
      {"silent-bind", no_argument, nullptr, kSilent},
      {"submit-status", required_argument, nullptr, kSubmitStatus},
      {"delay-ms", required_argument, nullptr, kDelay},
      {"withhold-every", required_argument, nullptr, kWithhold},
      {"wrong-sequence-every", required_argument, nullptr, kWrongSeq},
      {"receipts", required_argument, nullptr, kReceipts},
      {"receipts-always", no_argument, nullptr, kAlways},
      {"receipt-on-receiver", no_argument, nullptr, kOnReceiver},
      {"receipt-tlvs", no_argument, nullptr, kTlvs},
      {"receipt-stat", required_argument, nullptr, kStat},
      {"duplicate-receipt-every", required_argument, nullptr, kDuplicate},
      {"mo-every", required_argument, nullptr, kMo},
      {"reset-after", required_argument, nullptr, kReset},
      {"reset-every", required_argument, nullptr, kResetEvery},
      {"reset-binds", required_argument, nullptr, kResetBinds},
      {"unbind-after", required_argument, nullptr, kUnbind},
      {"write-chunk", required_argument, nullptr, kChunk},
      {"id-prefix", required_argument, nullptr, kPrefix},
      {"no-enquire-link", no_argument, nullptr, kNoEnquire},
      {"help", no_argument, nullptr, kHelp},
      {nullptr, 0, nullptr, 0}};
  for (int c; (c = getopt_long(argc, argv, "", longOptions, nullptr)) != -1;) {
    switch (c) {
      case kHost:
        o.host = optarg;
        break;
      case kPort:
        o.port = static_cast<uint16_t>(number(optarg));
        break;
      case kRefuse:
        o.bindAnswer = SmscSimulator::BindAnswer::Refuse;
        o.bindRefusalStatus = static_cast<uint32_t>(number(optarg));
        break;
      case kSilent:
        o.bindAnswer = SmscSimulator::BindAnswer::Silent;
        break;
      case kSubmitStatus:
        o.submitStatus = static_cast<uint32_t>(number(optarg));
        break;
      case kDelay:
        o.responseDelay = std::chrono::milliseconds(number(optarg));
        break;
      case kWithhold:
        o.withholdEvery = number(optarg);
        break;
      case kWrongSeq:
        o.wrongSequenceEvery = number(optarg);
        break;
      case kReceipts:
        if (std::strcmp(optarg, "none") == 0) {
          o.receipt = SmscSimulator::ReceiptTiming::None;
        } else if (std::strcmp(optarg, "after") == 0) {
          o.receipt = SmscSimulator::ReceiptTiming::AfterResponse;
        } else if (std::strcmp(optarg, "before") == 0) {
          o.receipt = SmscSimulator::ReceiptTiming::BeforeResponse;
        } else {
          usage(stderr);
          return 64;
        }
        break;
      case kAlways:
        o.receiptOnRequestOnly = false;
        break;
      case kOnReceiver:
        o.receiptOnReceiver = true;
        break;
      case kTlvs:
        o.receiptTLVs = true;
        break;
      case kStat:
        o.receiptStat = optarg;
        break;
      case kDuplicate:
        o.duplicateReceiptEvery = number(optarg);
        break;
      case kMo:
        o.moEvery = number(optarg);
        break;
      case kReset:
        o.resetAfterSubmits = number(optarg);
        break;
      case kResetEvery:
        o.resetEvery = number(optarg);
        break;
      case kResetBinds:
        o.resetBinds = static_cast<int>(number(optarg));
        break;
      case kUnbind:
        o.unbindAfterSubmits = number(optarg);
        break;
      case kChunk:
        o.writeChunk = number(optarg);
        break;
      case kPrefix:
        o.messageIdPrefix = optarg;
        break;
      case kNoEnquire:
        o.answerEnquireLink = false;
        break;
      case kHelp:
        usage(stdout);
        return 0;
      default:
        usage(stderr);
        return 64;
    }
  }
  if (optind < argc) {
    usage(stderr);
    return 64;
  }
  try {
    SmscSimulator simulator(o);
    g_simulator = &simulator;
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    std::printf("listening %s:%u\n", o.host.c_str(), simulator.port());
    std::fflush(stdout);
    simulator.run();
    g_simulator = nullptr;
    const auto& k = simulator.counters();
    std::fprintf(
        stderr, "binds=%llu submits=%llu responses=%llu receipts=%llu\n",
        static_cast<unsigned long long>(k.binds), static_cast<unsigned long long>(k.submits),
        static_cast<unsigned long long>(k.responses), static_cast<unsigned long long>(k.receipts));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "pelliro-smsc: %s\n", e.what());
    return 1;
  }
  return 0;
}
