#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/temp_dir.h"

namespace testing_support {

// The real pelliro executable (PELLIRO_BINARY), or another program (the
// capacity tools, a peer; looked up on PATH), started in a working directory,
// with standard output and standard error captured to "stdout.txt" and
// "stderr.txt" there. The process is killed if the object goes away while it
// still runs, so a failing test never leaves a daemon behind.
class DaemonProcess {
 public:
  DaemonProcess(const std::string& workdir, const std::vector<std::string>& args = {},
                const std::string& executable = PELLIRO_BINARY);
  ~DaemonProcess();
  DaemonProcess(const DaemonProcess&) = delete;
  DaemonProcess& operator=(const DaemonProcess&) = delete;

  pid_t pid() const { return pid_; }

  // Polls the captured standard output until it contains `text`.
  bool waitForOutput(const std::string& text,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  std::string output() const;       // standard output so far
  std::string errorOutput() const;  // standard error so far

  // Sends `signal` and waits for the exit; returns the exit status, or -1 when
  // the process had to be killed or ended by a signal.
  int stop(int signal, std::chrono::milliseconds timeout = std::chrono::seconds(15));
  // Waits for the process to end by itself; -1 on timeout (it is then killed).
  int waitExit(std::chrono::milliseconds timeout = std::chrono::seconds(15));

 private:
  std::string workdir_;
  pid_t pid_ = -1;
  int status_ = -1;
};

struct RunResult {
  int exitStatus = -1;
  std::string out;
  std::string err;
};

// Runs the executable to completion in `workdir` with `args`.
RunResult runPelliro(const std::string& workdir, const std::vector<std::string>& args = {},
                     std::chrono::milliseconds timeout = std::chrono::seconds(20));
// Standard output of `argv` run to completion (no shell).
std::string runCommand(const std::vector<std::string>& argv);

// The real daemon in a fresh directory with a generated configuration: the
// document's "base" gets free loopback "smpp.port" and "http.port" values.
// Every test ends with an orderly stop, and a sanitizer report in the daemon
// (sanitizer builds) fails the test. For the test thread only.
class TestDaemon {
 public:
  // Files written beside the configuration before the start (name, content).
  using Files = std::vector<std::pair<std::string, std::string>>;
  explicit TestDaemon(nlohmann::json document, const Files& files = {});
  ~TestDaemon();
  TestDaemon(const TestDaemon&) = delete;
  TestDaemon& operator=(const TestDaemon&) = delete;

  // Whether the daemon listens for SMPP (waited for at every start).
  bool started() const { return started_; }
  int port() const { return port_; }
  int httpPort() const { return httpPort_; }
  DaemonProcess& process() { return *process_; }
  std::string output() const { return process_->output(); }
  const TempDir& dir() const { return dir_; }

  // Stops the daemon with SIGTERM (expecting a clean exit) and starts it again
  // in the same directory, on the configuration it saved; whether it listens.
  bool restart();
  // Body of the answer to an admin request made with the real curl.
  std::string curl(const std::string& method, const std::string& path) const;
  // Polls "/status" until at least `slots` upstream slots are bound in the
  // daemon's own view (an SMSC's view of a bind runs ahead of it: a submit
  // in between is refused); whether they were in time.
  bool waitForBoundSlots(size_t slots,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

 private:
  void start();
  void expectCleanStop();

  TempDir dir_;
  int port_ = 0;
  int httpPort_ = 0;
  std::unique_ptr<DaemonProcess> process_;
  bool started_ = false;
};

}  // namespace testing_support
