#include "admin/process_metrics.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::atomic<bool> exposed{false};

void appendSeries(std::string& out, const char* name, const char* type, const char* help,
                  double value) {
  char line[64];
  snprintf(line, sizeof line, "%.15g", value);
  out += "# HELP ";
  out += name;
  out += ' ';
  out += help;
  out += "\n# TYPE ";
  out += name;
  out += ' ';
  out += type;
  out += '\n';
  out += name;
  out += ' ';
  out += line;
  out += "\n\n";
}

// Descriptors open in this process, not counting the directory's own.
long openDescriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  long count = 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count - 1;
}

}  // namespace

std::string renderProcessMetrics() {
  std::string out;
  const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  const double pageSize = static_cast<double>(sysconf(_SC_PAGESIZE));

  // /proc/self/stat: the command name may hold spaces and parentheses, so the
  // fields are counted from the last ')'. After it: state (3), ..., utime (14),
  // stime (15), ..., starttime (22), vsize (23), rss (24).
  std::ifstream statFile("/proc/self/stat");
  std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
  const size_t close = stat.rfind(')');
  if (close != std::string::npos && ticks > 0) {
    std::istringstream fields(stat.substr(close + 1));
    std::string field;
    double utime = 0, stime = 0, start = 0, vsize = 0, rss = 0;
    bool complete = false;
    for (int index = 3; fields >> field; ++index) {
      if (index == 14) utime = std::stod(field);
      if (index == 15) stime = std::stod(field);
      if (index == 22) start = std::stod(field);
      if (index == 23) vsize = std::stod(field);
      if (index == 24) {
        rss = std::stod(field);
        complete = true;
        break;
      }
    }
    if (complete) {
      appendSeries(out, "process_cpu_seconds_total", "counter",
                   "Total user and system CPU time spent in seconds.", (utime + stime) / ticks);
      appendSeries(out, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
                   rss * pageSize);
      appendSeries(out, "process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.",
                   vsize);
      // starttime counts ticks since boot; "btime" in /proc/stat is the boot
      // time in seconds since the epoch.
      std::ifstream system("/proc/stat");
      std::string key;
      double bootTime = -1;
      while (system >> key) {
        if (key == "btime") {
          system >> bootTime;
          break;
        }
      }
      if (bootTime >= 0) {
        appendSeries(out, "process_start_time_seconds", "gauge",
                     "Start time of the process since unix epoch in seconds.",
                     bootTime + start / ticks);
      }
    }
  }

  const long open = openDescriptors();
  if (open >= 0) {
    appendSeries(out, "process_open_fds", "gauge", "Number of open file descriptors.",
                 static_cast<double>(open));
  }
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    appendSeries(out, "process_max_fds", "gauge", "Maximum number of open file descriptors.",
                 static_cast<double>(limit.rlim_cur));
  }
  return out;
}

void setProcessMetricsExposed(bool on) { exposed.store(on); }
bool processMetricsExposed() { return exposed.load(); }
