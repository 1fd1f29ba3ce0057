// pelliro-load: the load generator as a command. Prints one RESULT line of
// key=value pairs on stdout and one line for people on stderr, with a
// progress line a second on stderr while it runs. Exits 0 when every check
// passed, 1 when one failed, 2 when the binds could not be made, 64 on a
// usage error.
#include <getopt.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/load_generator.h"

namespace {

void usage(FILE* to) {
  std::fputs(
      "usage: pelliro-load [options]\n"
      "  --host ADDR           SMSC or gateway address (127.0.0.1)\n"
      "  --port N              its port (2775)\n"
      "  --system-id ID        bind credentials (load / load)\n"
      "  --password PW\n"
      "  --system-type TYPE\n"
      "  --bind-type TYPE      transceiver (default) | transmitter\n"
      "  --binds B             submitting binds (1)\n"
      "  --receivers R         extra receiver binds of the same system id (0)\n"
      "  --window W            outstanding submits per bind (10)\n"
      "  --count N             messages in all (1000); 0 with --duration\n"
      "  --duration SECONDS    send for this long instead of a count\n"
      "  --rate R              messages per second over all binds (0: no limit)\n"
      "  --no-receipts         registered_delivery 0; no receipts expected\n"
      "  --data-sm             send data_sm instead of submit_sm\n"
      "  --parts P             each message in P concatenated parts (1)\n"
      "  --source ADDR / --destination ADDR\n"
      "  --drain-ms N          wait for the last answers this long (5000)\n"
      "  --quiet               no progress line\n",
      to);
}

}  // namespace

int main(int argc, char** argv) {
  LoadGenerator::Options o;
  o.progress = stderr;
  enum {
    kHost = 256,
    kPort,
    kSystemId,
    kPassword,
    kSystemType,
    kBindType,
    kBinds,
    kReceivers,
    kWindow,
    kCount,
    kDuration,
    kRate,
    kNoReceipts,
    kDataSm,
    kParts,
    kSource,
    kDestination,
    kDrain,
    kQuiet,
    kHelp
  };
  static const option longOptions[] = {{"host", required_argument, nullptr, kHost},
                                       {"port", required_argument, nullptr, kPort},
                                       {"system-id", required_argument, nullptr, kSystemId},
                                       {"password", required_argument, nullptr, kPassword},
                                       {"system-type", required_argument, nullptr, kSystemType},
                                       {"bind-type", required_argument, nullptr, kBindType},
                                       {"binds", required_argument, nullptr, kBinds},
                                       {"receivers", required_argument, nullptr, kReceivers},
                                       {"window", required_argument, nullptr, kWindow},
                                       {"count", required_argument, nullptr, kCount},
                                       {"duration", required_argument, nullptr, kDuration},
                                       {"rate", required_argument, nullptr, kRate},
                                       {"no-receipts", no_argument, nullptr, kNoReceipts},
                                       {"data-sm", no_argument, nullptr, kDataSm},
                                       {"parts", required_argument, nullptr, kParts},
                                       {"source", required_argument, nullptr, kSource},
                                       {"destination", required_argument, nullptr, kDestination},
                                       {"drain-ms", required_argument, nullptr, kDrain},
                                       {"quiet", no_argument, nullptr, kQuiet},
                                       {"help", no_argument, nullptr, kHelp},
                                       {nullptr, 0, nullptr, 0}};
  bool durationGiven = false;
  for (int c; (c = getopt_long(argc, argv, "", longOptions, nullptr)) != -1;) {
    switch (c) {
      case kHost:
        o.host = optarg;
        break;
      case kPort:
        o.port = static_cast<uint16_t>(std::strtoul(optarg, nullptr, 10));
        break;
      case kSystemId:
        o.systemId = optarg;
        break;
      case kPassword:
        o.password = optarg;
        break;
      case kSystemType:
        o.systemType = optarg;
        break;
      case kBindType:
        if (std::strcmp(optarg, "transceiver") == 0) {
          o.bindType = LoadGenerator::BindType::Transceiver;
        } else if (std::strcmp(optarg, "transmitter") == 0) {
          o.bindType = LoadGenerator::BindType::Transmitter;
        } else {
          usage(stderr);
          return 64;
        }
        break;
      case kBinds:
        o.binds = std::atoi(optarg);
        break;
      case kReceivers:
        o.receivers = std::atoi(optarg);
        break;
      case kWindow:
        o.window = std::atoi(optarg);
        break;
      case kCount:
        o.count = std::strtoull(optarg, nullptr, 10);
        break;
      case kDuration:
        o.durationSeconds = std::atof(optarg);
        durationGiven = true;
        break;
      case kRate:
        o.rate = std::atof(optarg);
        break;
      case kNoReceipts:
        o.registeredDelivery = false;
        break;
      case kDataSm:
        o.dataSm = true;
        break;
      case kParts:
        o.parts = std::atoi(optarg);
        break;
      case kSource:
        o.source = optarg;
        break;
      case kDestination:
        o.destination = optarg;
        break;
      case kDrain:
        o.drainMilliseconds = std::atoi(optarg);
        break;
      case kQuiet:
        o.progress = nullptr;
        break;
      case kHelp:
        usage(stdout);
        return 0;
      default:
        usage(stderr);
        return 64;
    }
  }
  if (durationGiven) o.count = 0;
  if (optind < argc || o.binds < 1 || o.receivers < 0 || o.window < 1 || o.parts < 1 ||
      o.parts > 255 || (o.count == 0 && o.durationSeconds <= 0)) {
    usage(stderr);
    return 64;
  }
  signal(SIGPIPE, SIG_IGN);
  const LoadGenerator::Report report = LoadGenerator(o).run();
  if (!report.bindFailed) std::printf("%s\n", report.machineLine().c_str());
  std::fprintf(stderr, "%s\n", report.humanLine().c_str());
  return report.exitCode();
}
