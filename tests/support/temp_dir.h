#pragma once

#include <string>

namespace testing_support {

// A fresh directory under the system temporary directory, removed with its
// contents when the object goes away. Each test that runs the daemon or
// touches files gets its own, so tests never share state.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

  void write(const std::string& name, const std::string& content) const;
  std::string read(const std::string& name) const;  // empty when absent
  bool exists(const std::string& name) const;

 private:
  std::string path_;
};

}  // namespace testing_support
