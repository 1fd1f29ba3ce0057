#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

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

}  // namespace testing_support
