#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// An ESME load generator: B binds to one SMSC (or gateway), each keeping a
// window of W submits outstanding, for a count of messages or a duration,
// at a fixed rate or as fast as the peer answers. It answers every
// deliver_sm and checks the exchange as it goes: every submit gets exactly
// one response with its own sequence number, and (with registered delivery)
// every accepted message exactly one receipt.
//
// One epoll loop on the calling thread, non-blocking sockets, and all PDUs
// of one pass written with one send() per bind, so that the generator does
// not limit the figure it measures. Not thread-safe: run() once per object.
class LoadGenerator {
 public:
  enum class BindType { Transceiver, Transmitter };

  struct Options {
    std::string host = "127.0.0.1";
    uint16_t port = 2775;
    std::string systemId = "load";
    std::string password = "load";
    std::string systemType;
    BindType bindType = BindType::Transceiver;
    int binds = 1;
    // Extra receiver binds of the same system id, for receipts when the
    // submitting binds are transmitters.
    int receivers = 0;
    int window = 10;
    uint64_t count = 1000;  // messages; 0: run for `durationSeconds`
    double durationSeconds = 0;
    double rate = 0;  // messages per second over all binds; 0: no limit
    bool registeredDelivery = true;
    // data_sm (text in message_payload) instead of submit_sm.
    bool dataSm = false;
    // A message in this many concatenated parts (one submit each); 1: short.
    int parts = 1;
    std::string source = "4915100000000";
    std::string destination = "4917600000000";
    // How long to wait for the last responses and receipts once all is sent.
    int drainMilliseconds = 5000;
    int bindTimeoutMilliseconds = 5000;
    // Where the progress line goes once a second; nullptr: nowhere.
    FILE* progress = nullptr;
  };

  enum Problem {
    kMissingResponse,
    kUnexpectedSequence,
    kMissingReceipt,
    kDuplicateReceipt,
    kUnknownReceipt,
    kConnectionLost,
    kProblemKinds
  };
  static const char* problemName(Problem p);

  struct Report {
    bool bindFailed = false;
    std::string bindError;
    uint64_t messages = 0;  // whole messages sent
    uint64_t submits = 0;   // parts sent
    uint64_t responses = 0;
    uint64_t accepted = 0;
    uint64_t rejected = 0;
    uint64_t receipts = 0;
    uint64_t mobileOriginated = 0;
    uint64_t problems[kProblemKinds] = {};
    double elapsedSeconds = 0;  // first submit to last expected answer
    // Submit to response, microseconds.
    uint32_t p50 = 0, p90 = 0, p99 = 0, max = 0;

    uint64_t problemCount() const;
    // 0 all checked out, 1 a check failed, 2 no bind.
    int exitCode() const;
    // One line of key=value pairs, for scripts.
    std::string machineLine() const;
    // One sentence, for people.
    std::string humanLine() const;
  };

  explicit LoadGenerator(const Options& options) : options_(options) {}
  Report run();

 private:
  Options options_;
};
