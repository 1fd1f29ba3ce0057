#include "tests/support/daemon_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

#include "tests/support/loopback.h"

namespace testing_support {

DaemonProcess::DaemonProcess(const std::string& workdir, const std::vector<std::string>& args,
                             const std::string& executable)
    : workdir_(workdir) {
  std::vector<std::string> argv_text{executable};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::string out = workdir + "/stdout.txt";
  std::string err = workdir + "/stderr.txt";
  // Emptied before the child starts, so a restart in the same directory never
  // shows the previous run's output to waitForOutput.
  for (const std::string& path : {out, err}) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) close(fd);
  }

  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    if (chdir(workdir.c_str()) != 0) _exit(126);
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int n = open("/dev/null", O_RDONLY);
    if (o < 0 || e < 0 || n < 0) _exit(126);
    dup2(n, 0);
    dup2(o, 1);
    dup2(e, 2);
    execvp(argv[0], argv.data());
    _exit(127);
  }
}

DaemonProcess::~DaemonProcess() {
  if (pid_ > 0 && status_ == -1) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool DaemonProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (output().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return output().find(text) != std::string::npos;
}

std::string DaemonProcess::output() const { return readFile(workdir_ + "/stdout.txt"); }
std::string DaemonProcess::errorOutput() const { return readFile(workdir_ + "/stderr.txt"); }

int DaemonProcess::stop(int signal, std::chrono::milliseconds timeout) {
  if (pid_ > 0 && status_ == -1) kill(pid_, signal);
  return waitExit(timeout);
}

int DaemonProcess::waitExit(std::chrono::milliseconds timeout) {
  if (status_ != -1) return status_;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int raw = 0;
    pid_t r = waitpid(pid_, &raw, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 1000 + WTERMSIG(raw);
      return WIFEXITED(raw) ? status_ : -1;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      status_ = 2000;
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

RunResult runPelliro(const std::string& workdir, const std::vector<std::string>& args,
                     std::chrono::milliseconds timeout) {
  DaemonProcess process(workdir, args);
  RunResult result;
  result.exitStatus = process.waitExit(timeout);
  result.out = process.output();
  result.err = process.errorOutput();
  return result;
}

std::string runCommand(const std::vector<std::string>& argv) {
  TempDir dir;
  DaemonProcess process(dir.path(), {argv.begin() + 1, argv.end()}, argv[0]);
  process.waitExit();
  return process.output();
}

TestDaemon::TestDaemon(nlohmann::json document, const Files& files) {
  port_ = freeLoopbackPort();
  httpPort_ = freeLoopbackPort();
  document["base"]["smpp.port"] = port_;
  document["base"]["http.port"] = httpPort_;
  for (const char* key : {"esme", "targetsets", "routes-mo", "routes-mt"})
    if (!document.contains(key)) document[key] = nlohmann::json::array();
  dir_.write("pelliro.conf", document.dump(2));
  for (const auto& [name, content] : files) dir_.write(name, content);
  start();
}

TestDaemon::~TestDaemon() { expectCleanStop(); }

void TestDaemon::start() {
  process_ = std::make_unique<DaemonProcess>(dir_.path());
  started_ = process_->waitForOutput("Listening for SMPP on port " + std::to_string(port_));
}

void TestDaemon::expectCleanStop() {
  EXPECT_EQ(process_->stop(SIGTERM), 0);
  const std::string errors = process_->errorOutput();
  EXPECT_EQ(errors.find("Sanitizer"), std::string::npos) << errors;
  EXPECT_EQ(errors.find("runtime error"), std::string::npos) << errors;
}

bool TestDaemon::restart() {
  expectCleanStop();
  start();
  return started_;
}

std::string TestDaemon::curl(const std::string& method, const std::string& path) const {
  return runCommand({"curl", "-s", "-m", "10", "-X", method,
                     "http://127.0.0.1:" + std::to_string(httpPort_) + path});
}

bool TestDaemon::waitForBoundSlots(size_t slots, std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto status = nlohmann::json::parse(curl("POST", "/status"), nullptr, false);
    size_t bound = 0;
    if (status.contains("summary"))
      for (const char* kind : {"bindTX", "bindRX", "bindTRX"})
        bound += status["summary"].value(kind, size_t{0});
    if (bound >= slots) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace testing_support
