// impair: a UDP proxy that impairs what it relays, for loopback tests. Run
// `impair --help` for its arguments.
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

#include "tools/common/cli.h"
#include "tools/impair/impair_proxy.h"

namespace {

// A probability: a number in 0..1.
tools::Cli::Setter Probability(double* out) {
  return [out](const std::string& v) -> std::string {
    char* end = nullptr;
    errno = 0;
    double p = std::strtod(v.c_str(), &end);
    if (v.empty() || errno != 0 || *end != '\0') return "'" + v + "' is not a number";
    if (!(p >= 0 && p <= 1)) return v + " is out of range 0..1";
    *out = p;
    return "";
  };
}

}  // namespace

int main(int argc, char** argv) {
  impair::ProxyConfig config;
  impair::Impairment imp;
  std::string dir = "both";
  bool watch_stdin = false;
  tools::Cli cli("impair",
                 "A UDP proxy for loopback tests: relays datagrams between clients and one upstream address,\n"
                 "dropping, duplicating, delaying and reordering them with a seeded random generator.",
                 "  impair --upstream 127.0.0.1:32100 --drop 0.05 --delay 20 --jitter 10 --seed 7\n"
                 "  # prints: listening 127.0.0.1:PORT   (send to PORT instead of 32100)");
  cli.Text("--upstream", "A.B.C.D:PORT", "where datagrams from clients go (127.0.0.0/8 unless --allow-any); needed",
           &config.upstream);
  cli.Text("--listen", "A.B.C.D:PORT", "the proxy's own address (default 127.0.0.1:0, a free port)", &config.listen);
  cli.Number("--seed", "N", "seed of the random generator (0..2^63; default 0)", 0, INT64_MAX, &config.seed);
  cli.Value("--drop", "P", "probability that a datagram is dropped (0..1)", Probability(&imp.drop));
  cli.Value("--dup", "P", "probability that a datagram is sent twice (0..1)", Probability(&imp.duplicate));
  cli.Value("--reorder", "P", "probability that a datagram is held back behind the next (0..1)",
            Probability(&imp.reorder));
  cli.Number("--delay", "MS", "delay of every datagram in ms (0..3600000)", 0, 3600000, &imp.delay_ms);
  cli.Number("--jitter", "MS", "each delay varies at random by up to this much either way (0..3600000)", 0, 3600000, &imp.jitter_ms);
  cli.Choice("--dir", {"up", "down", "both"}, "which way is impaired (default both)", &dir);
  cli.Flag("--watch-stdin", "end when standard input closes", &watch_stdin);
  cli.Flag("--allow-any", "allow addresses outside 127.0.0.0/8 (inside a network namespace of a test's own)",
           &config.allow_any);
  cli.Notes("Its first line on standard output is \"listening A.B.C.D:PORT\". It ends on SIGINT or SIGTERM\n"
            "(or when standard input closes with --watch-stdin) and then prints its counters.\n"
            "Exit status: 0 ended; 1 cannot listen; 2 bad arguments (an address refused among them).");
  if (int rc = cli.Parse(argc, argv); rc >= 0) return rc;
  if (config.upstream.empty()) return cli.Error("--upstream is required");
  sockaddr_in address{};
  if (std::string why = impair::ImpairProxy::CheckAddress(config.listen, config.allow_any, false, &address);
      !why.empty())
    return cli.Error("--listen: " + why);
  if (std::string why = impair::ImpairProxy::CheckAddress(config.upstream, config.allow_any, true, &address);
      !why.empty())
    return cli.Error("--upstream: " + why);
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
