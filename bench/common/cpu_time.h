// CPU time spent by this process and by another one, for the benchmarks' per-MB figures.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace bench {

// This process's user + system time in ms.
inline double CpuMs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

// Another process's user + system time in ms (from /proc); 0 when it cannot be read.
inline double ProcCpuMs(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string s((std::istreambuf_iterator<char>(in)), {});
  const size_t close = s.rfind(')');
  if (close == std::string::npos) return 0;
  std::vector<std::string> f;
  std::string cur;
  for (size_t i = close + 2; i < s.size(); ++i) {
    if (s[i] == ' ') {
      f.push_back(cur);
      cur.clear();
    } else {
      cur += s[i];
    }
  }
  if (f.size() < 13) return 0;
  return (std::stod(f[11]) + std::stod(f[12])) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace bench
