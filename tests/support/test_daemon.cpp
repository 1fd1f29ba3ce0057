#include "tests/support/test_daemon.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <thread>

#include "tests/support/loopback.h"

namespace testing_support {

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
