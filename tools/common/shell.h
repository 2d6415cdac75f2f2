// Runs a shell command and collects its standard output, for the tests and
// benchmarks that drive ffmpeg and other peers.
#pragma once

#include <cstdio>
#include <string>

namespace tools {

// What cmd printed; *status gets pclose's status when asked for.
inline std::string ShellOutput(const std::string& cmd, int* status = nullptr) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
  int rc = pclose(p);
  if (status) *status = rc;
  return out;
}

}  // namespace tools
