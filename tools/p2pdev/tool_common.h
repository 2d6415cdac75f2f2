// What p2pdev and p2pcli share: their options, the library's initialisation,
// printing one line at a time, and ending on a signal or when standard input
// (a pipe) closes.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "p2p/rvs_api.h"
#include "p2p/sock.h"

namespace p2ptool {

inline std::atomic<bool> g_stop{false};

__attribute__((format(printf, 1, 2))) inline void Say(const char* fmt, ...) {
  static std::mutex mu;
  std::lock_guard<std::mutex> g(mu);
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stdout, fmt, ap);
  va_end(ap);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// Options "--name value" and flags "--name"; false with why for anything else.
class Options {
 public:
  Options(std::vector<std::string> flags, std::vector<std::string> values)
      : flags_(std::move(flags)), values_(std::move(values)) {}
  bool Parse(int argc, char** argv, std::string* why) {
    for (int i = 1; i < argc; ++i) {
      std::string a = argv[i];
      if (Known(flags_, a)) {
        set_[a] = "1";
      } else if (Known(values_, a) && i + 1 < argc) {
        set_[a] = argv[++i];
      } else {
        *why = "unknown option or missing value: " + a;
        return false;
      }
    }
    return true;
  }
  bool Has(const std::string& name) const { return set_.count(name) != 0; }
  std::string Text(const std::string& name, const std::string& fallback = {}) const {
    auto it = set_.find(name);
    return it == set_.end() ? fallback : it->second;
  }
  // A number in [lo, hi] (0x for hex); false when present and malformed.
  bool Number(const std::string& name, long long lo, long long hi, long long* out) const {
    auto it = set_.find(name);
    if (it == set_.end()) return true;
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(it->second.c_str(), &end, 0);
    if (errno || end == it->second.c_str() || *end || v < lo || v > hi) return false;
    *out = v;
    return true;
  }

 private:
  static bool Known(const std::vector<std::string>& list, const std::string& a) {
    for (const std::string& k : list)
      if (k == a) return true;
    return false;
  }
  std::vector<std::string> flags_, values_;
  std::map<std::string, std::string> set_;
};

// "--server-ports U,T": servers on other ports than 32100 and 443 (a
// simulator on loopback beside other tests). False when malformed.
inline bool ApplyServerPorts(const std::string& text) {
  if (text.empty()) return true;
  unsigned udp = 0, tcp = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%u,%u%c", &udp, &tcp, &tail) != 2 || udp > 65533 || tcp > 65535) return false;
  RVP_TestSetServerPorts(static_cast<uint16_t>(udp), static_cast<uint16_t>(tcp));
  return true;
}

inline int Initialize(const std::string& init, int alive_sec) {
  std::string param = "{\"InitString\":\"" + init + "\",\"SessAliveSec\":" + std::to_string(alive_sec) + "}";
  return RVS_Initialize(param.c_str());
}

// g_stop is set on SIGINT or SIGTERM, and when standard input is a pipe that
// closes. Call once, then run WatchInput on a thread of its own.
inline void StopOnSignals() {
  struct sigaction sa {};
  sa.sa_handler = [](int) { g_stop.store(true); };
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

inline void WatchInput() {
  struct stat st {};
  const bool pipe_in = fstat(0, &st) == 0 && S_ISFIFO(st.st_mode);
  while (!g_stop.load()) {
    pollfd p{0, POLLIN, 0};
    if (pipe_in && poll(&p, 1, 50) > 0) {
      char b[64];
      if (read(0, b, sizeof(b)) <= 0) g_stop.store(true);
    } else if (!pipe_in) {
      usleep(50 * 1000);
    }
  }
}

}  // namespace p2ptool
