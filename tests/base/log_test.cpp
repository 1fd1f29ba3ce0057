#include "base/log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

const std::string kTime = R"(^\d+\.\d{6} +)";

// Each test runs in its own working directory, since the logs write there,
// with standard output captured.
class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    setLogLevel(LOG_INFO);
    ::testing::internal::CaptureStdout();
  }
  void TearDown() override {
    if (capturing_) ::testing::internal::GetCapturedStdout();
    closeAuditLog();
    std::filesystem::current_path(previous_);
    setLogLevel(LOG_INFO);
  }
  std::string out() {
    capturing_ = false;
    return ::testing::internal::GetCapturedStdout();
  }
  std::vector<std::string> lines(const std::string& name) {
    std::istringstream in(dir_.read(name));
    std::vector<std::string> result;
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
  }
  void makeFile(const std::string& name, uintmax_t size) {
    std::ofstream{dir_.file(name), std::ios::binary};
    std::filesystem::resize_file(dir_.file(name), size);
  }

  testing_support::TempDir dir_;
  std::filesystem::path previous_;
  bool capturing_ = true;
};

// One format for every line, whose fields operators' tools split on; lines
// below the minimum level are dropped and messages are cut at 1023 characters.
TEST_F(LogTest, LinesCarryTimeObjectLevelClassAndFunctionFromTheMinimumLevelUp) {
  int object = 0;
  logMessage(LOG_WARNING, &object, "OstrelConfiguration", "performLoad", "Exception %s", "bad");
  logMessage(LOG_FINE, nullptr, "Application", "main", "hidden");
  logMessage(LOG_INFO, nullptr, "Application", "main", "%s", std::string(3000, 'x').c_str());
  const auto file = lines("application.log");
  ASSERT_EQ(file.size(), 2u);
  const std::regex warning(kTime + R"(0x[0-9a-f]+ WARNING OstrelConfiguration::performLoad )"
                                   "Exception bad$");
  EXPECT_TRUE(std::regex_match(file[0], warning)) << file[0];
  EXPECT_EQ(file[1].substr(file[1].find("Application::main ") + 18), std::string(1023, 'x'));
  EXPECT_EQ(out(), dir_.read("application.log"));
  const std::pair<const char*, int> names[] = {
      {"DEBUG", 0}, {"FINE", 2}, {"SEVERE", 5}, {"debug", 3}, {"", 3}};
  for (const auto& [name, level] : names) EXPECT_EQ(logLevelFromName(name), level) << name;
}

TEST_F(LogTest, LogsRotateOnlyPastThirtyTwoMebibytes) {
  for (uintmax_t size : {kLogRotateBytes, kLogRotateBytes + 1}) {
    SCOPED_TRACE(size);
    makeFile("application.1.log", 17);
    makeFile("application.log", size);
    logMessage(LOG_INFO, nullptr, "Application", "main", "appended");
    const bool rotated = size > kLogRotateBytes;
    EXPECT_EQ(std::filesystem::file_size(dir_.file("application.1.log")), rotated ? size : 17);
    EXPECT_EQ(std::filesystem::file_size(dir_.file("application.log")) > size, !rotated);
  }
  // The audit log checks its size only every thousand lines.
  makeFile("audit.log", kLogRotateBytes + 1);
  for (int written = 0; !dir_.exists("audit.1.log") && written < 1000; ++written) {
    logAudit(nullptr, "SMPPSessionClient", "sendSubmitSM", "line %d", written);
  }
  ASSERT_TRUE(dir_.exists("audit.1.log")) << "no rotation within 1000 lines";
  closeAuditLog();
  const auto fresh = lines("audit.log");
  ASSERT_EQ(fresh.size(), 1u);
  EXPECT_TRUE(std::regex_match(
      fresh[0], std::regex(kTime + R"(\(nil\) SMPPSessionClient::sendSubmitSM line \d+$)")))
      << fresh[0];
}

TEST_F(LogTest, ConcurrentLinesNeverInterleave) {
  constexpr int kThreads = 6, kLines = 400;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) {
        logMessage(LOG_INFO, nullptr, "Application", "worker", "thread %d line %d %s", t, i,
                   "padding-padding-padding-padding-padding-padding-padding");
        logAudit(nullptr, "Application", "worker", "thread %d line %d", t, i);
      }
    });
  }
  for (auto& th : threads) th.join();
  closeAuditLog();
  const std::regex whole(
      kTime + R"(\(nil\) +(INFO )?Application::worker thread \d line \d+( (padding-?){7})?$)");
  for (const char* name : {"application.log", "audit.log"}) {
    const auto file = lines(name);
    ASSERT_EQ(file.size(), static_cast<size_t>(kThreads * kLines)) << name;
    for (const auto& line : file) ASSERT_TRUE(std::regex_match(line, whole)) << line;
  }
  EXPECT_EQ(out(), dir_.read("application.log"));
}

TEST_F(LogTest, UnwritableDirectoryStillLogsToStandardOutput) {
  std::filesystem::create_directory(dir_.file("gone"));
  std::filesystem::current_path(dir_.file("gone"));
  std::filesystem::remove(dir_.file("gone"));  // the working directory no longer exists
  logMessage(LOG_INFO, nullptr, "Application", "main", "still visible");
  logAudit(nullptr, "Application", "main", "dropped quietly");
  const std::string printed = out();
  EXPECT_NE(printed.find("still visible"), std::string::npos);
  EXPECT_EQ(printed.find("dropped quietly"), std::string::npos);
}

}  // namespace
