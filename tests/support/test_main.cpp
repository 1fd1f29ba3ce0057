// The main of every test program: it runs in a fresh temporary working
// directory, removed at exit, because the product writes "application.log",
// "audit.log", "msgtrack", "deliverq" and CDR files beside itself. Tests that
// need the sources use PELLIRO_SOURCE_DIR, the daemon PELLIRO_BINARY.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  std::string dir = std::filesystem::temp_directory_path().string() + "/pelliro-run-XXXXXX";
  if (mkdtemp(dir.data()) == nullptr || chdir(dir.c_str()) != 0) {
    std::perror("temporary working directory");
    return 2;
  }
  const int status = RUN_ALL_TESTS();
  if (chdir("/") == 0) {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
  return status;
}
