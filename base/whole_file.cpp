#include "base/whole_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

bool readWholeFile(const std::string& name, std::string& data, bool& opened) {
  FILE* f = fopen(name.c_str(), "rb");
  opened = f != nullptr;
  if (f == nullptr) return false;
  char buffer[65536];
  size_t n = 0;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) data.append(buffer, n);
  const bool ok = ferror(f) == 0;
  fclose(f);
  return ok;
}

bool writeFileAtomically(const std::string& name, const std::string& data, bool& opened) {
  const std::string temporary = name + ".tmp";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  opened = fd >= 0;
  if (fd < 0) return false;
  size_t done = 0;
  bool ok = true;
  while (done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (ok && fsync(fd) != 0) ok = false;
  if (close(fd) != 0) ok = false;
  if (ok && rename(temporary.c_str(), name.c_str()) != 0) ok = false;
  if (!ok) unlink(temporary.c_str());
  return ok;
}
