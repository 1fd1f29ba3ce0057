#include "base/log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

using testing_support::TempDir;

// Runs each test inside its own working directory, since the logs write there.
class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    setLogLevel(LOG_INFO);
  }
  void TearDown() override {
    closeAuditLog();
    std::filesystem::current_path(previous_);
    setLogLevel(LOG_INFO);
  }
  std::vector<std::string> lines(const std::string& name) {
    std::istringstream in(dir_.read(name));
    std::vector<std::string> result;
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
  }

  TempDir dir_;
  std::filesystem::path previous_;
};

TEST_F(LogTest, LineCarriesTimeObjectLevelClassAndFunction) {
  ::testing::internal::CaptureStdout();
  int object = 0;
  logMessage(LOG_WARNING, &object, "OstrelConfiguration", "performLoad", "Exception %s", "bad");
  logMessage(LOG_INFO, nullptr, "Application", "main", "Starting %s", "Dravnik");
  std::string out = ::testing::internal::GetCapturedStdout();

  std::regex first(R"(^\d+\.\d{6} +0x[0-9a-f]+ WARNING OstrelConfiguration::performLoad Exception bad$)");
  std::regex second(R"(^\d+\.\d{6}        \(nil\)    INFO Application::main Starting Dravnik$)");
  auto file = lines("application.log");
  ASSERT_EQ(file.size(), 2u);
  EXPECT_TRUE(std::regex_match(file[0], first)) << file[0];
  EXPECT_TRUE(std::regex_match(file[1], second)) << file[1];
  EXPECT_EQ(out, file[0] + "\n" + file[1] + "\n");
}

TEST_F(LogTest, LinesBelowTheMinimumLevelGoNowhere) {
  ::testing::internal::CaptureStdout();
  logMessage(LOG_DEBUG, nullptr, "Application", "main", "hidden");
  logMessage(LOG_FINE, nullptr, "Application", "main", "hidden");
  setLogLevel(LOG_DEBUG);
  logMessage(LOG_DEBUG, nullptr, "Application", "main", "shown");
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.find("hidden"), std::string::npos);
  EXPECT_NE(out.find("  DEBUG Application::main shown"), std::string::npos);
  EXPECT_EQ(lines("application.log").size(), 1u);
}

TEST_F(LogTest, LevelNamesMapToNumbersAndUnknownNamesToInfo) {
  EXPECT_EQ(logLevelFromName("DEBUG"), 0);
  EXPECT_EQ(logLevelFromName("FINEST"), 1);
  EXPECT_EQ(logLevelFromName("FINE"), 2);
  EXPECT_EQ(logLevelFromName("WARNING"), 4);
  EXPECT_EQ(logLevelFromName("SEVERE"), 5);
  EXPECT_EQ(logLevelFromName("debug"), 3);
  EXPECT_EQ(logLevelFromName(""), 3);
}

TEST_F(LogTest, LongMessagesAreCutAt1023Characters) {
  ::testing::internal::CaptureStdout();
  std::string longText(3000, 'x');
  logMessage(LOG_INFO, nullptr, "Application", "main", "%s", longText.c_str());
  ::testing::internal::GetCapturedStdout();
  auto file = lines("application.log");
  ASSERT_EQ(file.size(), 1u);
  std::string message = file[0].substr(file[0].find("Application::main ") + 18);
  EXPECT_EQ(message, std::string(1023, 'x'));
}

TEST_F(LogTest, ApplicationLogRotatesPastThirtyTwoMebibytes) {
  dir_.write("application.1.log", "older generation\n");
  {
    std::ofstream big(dir_.file("application.log"), std::ios::binary);
  }
  std::filesystem::resize_file(dir_.file("application.log"), kLogRotateBytes + 1);

  ::testing::internal::CaptureStdout();
  logMessage(LOG_INFO, nullptr, "Application", "main", "after rotation");
  ::testing::internal::GetCapturedStdout();

  EXPECT_EQ(std::filesystem::file_size(dir_.file("application.1.log")),
            static_cast<uintmax_t>(kLogRotateBytes + 1));
  auto file = lines("application.log");
  ASSERT_EQ(file.size(), 1u);
  EXPECT_NE(file[0].find("after rotation"), std::string::npos);
}

TEST_F(LogTest, FileAtExactlyTheThresholdIsNotRotated) {
  {
    std::ofstream f(dir_.file("application.log"), std::ios::binary);
  }
  std::filesystem::resize_file(dir_.file("application.log"), kLogRotateBytes);
  ::testing::internal::CaptureStdout();
  logMessage(LOG_INFO, nullptr, "Application", "main", "appended");
  ::testing::internal::GetCapturedStdout();
  EXPECT_FALSE(dir_.exists("application.1.log"));
  EXPECT_GT(std::filesystem::file_size(dir_.file("application.log")),
            static_cast<uintmax_t>(kLogRotateBytes));
}

TEST_F(LogTest, AuditLogChecksItsSizeEveryThousandLines) {
  {
    std::ofstream f(dir_.file("audit.log"), std::ios::binary);
  }
  std::filesystem::resize_file(dir_.file("audit.log"), kLogRotateBytes + 1);
  int written = 0;
  while (!dir_.exists("audit.1.log") && written < 1000) {
    logAudit(nullptr, "SMPPSessionClient", "sendSubmitSM", "line %d", written);
    ++written;
  }
  ASSERT_TRUE(dir_.exists("audit.1.log")) << "no rotation within 1000 lines";
  closeAuditLog();
  auto fresh = lines("audit.log");
  ASSERT_EQ(fresh.size(), 1u);
  std::regex format(R"(^\d+\.\d{6}        \(nil\) SMPPSessionClient::sendSubmitSM line \d+$)");
  EXPECT_TRUE(std::regex_match(fresh[0], format)) << fresh[0];
}

TEST_F(LogTest, ConcurrentLinesNeverInterleave) {
  constexpr int kThreads = 6, kLines = 400;
  ::testing::internal::CaptureStdout();
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
  std::string out = ::testing::internal::GetCapturedStdout();
  closeAuditLog();

  std::regex app(R"(^\d+\.\d{6}        \(nil\)    INFO Application::worker thread \d line \d+ (padding-?){7}$)");
  auto file = lines("application.log");
  ASSERT_EQ(file.size(), static_cast<size_t>(kThreads * kLines));
  for (const auto& line : file) ASSERT_TRUE(std::regex_match(line, app)) << line;
  std::regex audit(R"(^\d+\.\d{6}        \(nil\) Application::worker thread \d line \d+$)");
  auto auditLines = lines("audit.log");
  ASSERT_EQ(auditLines.size(), static_cast<size_t>(kThreads * kLines));
  for (const auto& line : auditLines) ASSERT_TRUE(std::regex_match(line, audit)) << line;
  EXPECT_EQ(out.size(), dir_.read("application.log").size());
}

TEST_F(LogTest, UnwritableDirectoryStillLogsToStandardOutput) {
  std::filesystem::create_directory(dir_.file("gone"));
  std::filesystem::current_path(dir_.file("gone"));
  std::filesystem::remove(dir_.file("gone"));  // the working directory no longer exists

  ::testing::internal::CaptureStdout();
  logMessage(LOG_INFO, nullptr, "Application", "main", "still visible");
  logAudit(nullptr, "Application", "main", "dropped quietly");
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("still visible"), std::string::npos);
  EXPECT_EQ(out.find("dropped quietly"), std::string::npos);
}

}  // namespace
