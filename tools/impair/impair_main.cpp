// impair --upstream A.B.C.D:PORT [--listen A.B.C.D:PORT] [--seed N] [--drop P] [--dup P] [--reorder P]
//        [--delay MS] [--jitter MS] [--dir up|down|both] [--watch-stdin] [--allow-any]
// Relays UDP datagrams between clients and one upstream address, impairing them on the way. The first
// line on stdout is "listening A.B.C.D:PORT". Ends on SIGINT or SIGTERM, or when stdin closes with
// --watch-stdin, and then prints the counters.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/impair/impair_proxy.h"

namespace {

const char kUsage[] =
    "usage: impair --upstream A.B.C.D:PORT [--listen A.B.C.D:PORT] [--seed N] [--drop P] [--dup P]\n"
    "              [--reorder P] [--delay MS] [--jitter MS] [--dir up|down|both] [--watch-stdin]\n"
    "              [--allow-any]\n";

int Usage(const std::string& why) {
  std::fprintf(stderr, "impair: %s\n%s", why.c_str(), kUsage);
  return 2;
}

bool ParseDouble(const char* s, double* out) {
  char* end = nullptr;
  errno = 0;
  double v = std::strtod(s, &end);
  if (errno != 0 || end == s || *end != '\0') return false;
  *out = v;
  return true;
}

bool ParseUnsigned(const char* s, uint64_t max, uint64_t* out) {
  if (*s < '0' || *s > '9') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(s, &end, 10);
  if (errno != 0 || *end != '\0' || v > max) return false;
  *out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  impair::ProxyConfig config;
  impair::Impairment imp;
  std::string dir = "both";
  bool watch_stdin = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--watch-stdin") {
      watch_stdin = true;
      continue;
    }
    if (arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--allow-any") {
      config.allow_any = true;
      continue;
    }
    if (i + 1 >= argc) return Usage("unknown option or missing value: " + arg);
    const char* value = argv[++i];
    uint64_t u = 0;
    bool ok = true;
    if (arg == "--listen") {
      config.listen = value;
    } else if (arg == "--upstream") {
      config.upstream = value;
    } else if (arg == "--seed") {
      ok = ParseUnsigned(value, UINT64_MAX, &config.seed);
    } else if (arg == "--drop") {
      ok = ParseDouble(value, &imp.drop);
    } else if (arg == "--dup") {
      ok = ParseDouble(value, &imp.duplicate);
    } else if (arg == "--reorder") {
      ok = ParseDouble(value, &imp.reorder);
    } else if (arg == "--delay") {
      ok = ParseUnsigned(value, 3600000, &u);
      imp.delay_ms = static_cast<uint32_t>(u);
    } else if (arg == "--jitter") {
      ok = ParseUnsigned(value, 3600000, &u);
      imp.jitter_ms = static_cast<uint32_t>(u);
    } else if (arg == "--dir") {
      dir = value;
      ok = dir == "up" || dir == "down" || dir == "both";
    } else {
      return Usage("unknown option " + arg);
    }
    if (!ok) return Usage("bad value for " + arg + ": " + value);
  }
  if (config.upstream.empty()) return Usage("--upstream is required");
  if (dir != "down") config.up = imp;
  if (dir != "up") config.down = imp;

  // Signals arrive on a descriptor; the relay thread inherits the mask and never sees them.
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &mask, nullptr);
  sigdelset(&mask, SIGPIPE);
  int sig_fd = signalfd(-1, &mask, SFD_CLOEXEC);
  if (sig_fd < 0) {
    std::fprintf(stderr, "impair: signalfd: %s\n", std::strerror(errno));
    return 1;
  }

  impair::ImpairProxy proxy(config);
  std::string error;
  if (!proxy.Start(&error)) {
    std::fprintf(stderr, "impair: %s\n", error.c_str());
    return 1;
  }
  std::printf("listening %s\n", proxy.listen_address().c_str());
  std::fflush(stdout);

  pollfd fds[2] = {{sig_fd, POLLIN, 0}, {watch_stdin ? 0 : -1, POLLIN, 0}};
  for (;;) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents) break;
    if (fds[1].revents) {
      char buf[512];
      ssize_t n = read(0, buf, sizeof(buf));
      if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) break;
    }
  }
  proxy.Stop();
  close(sig_fd);
  std::fputs(impair::FormatCounters(proxy.counters()).c_str(), stdout);
  std::fflush(stdout);
  return 0;
}
