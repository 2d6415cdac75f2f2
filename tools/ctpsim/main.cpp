// ctpsim: the CTP/1.0 device server as a program. Prints "ctpsim ready port=P"
// once it listens, then one line per request (with -v), and runs until SIGINT
// or SIGTERM.
#include <arpa/inet.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "tools/ctpsim/ctpsim.h"

namespace {

volatile sig_atomic_t g_stop = 0;

const char kHelp[] =
    "usage: ctpsim [--address A] [--port N] [--channels N] [--password P] [-v]\n"
    "A device's CTP/1.0 command server on a loopback address.\n"
    "  --address A    loopback IPv4 address to listen on (127.x.x.x; default 127.0.0.1)\n"
    "  --port N       TCP port, 0 to 65535 (default 0: a free port, printed when ready)\n"
    "  --channels N   video channels, 1 to 64, that ptzctrl's -chn must fall in (default 4)\n"
    "  --password P   password that login's -pass must match (default: any)\n"
    "  -v             print each request's command and each refusal\n"
    "  -h, --help     this text\n"
    "Commands: login, getinfo, echo, ptzctrl, sleep, busy, cont, chunked, big, cut, silent, bye.\n"
    "Example:\n"
    "  ctpsim --port 7070 --channels 2 -v\n";

int Usage(const std::string& why) {
  std::fprintf(stderr, "ctpsim: %s\n%s", why.c_str(), kHelp);
  return 2;
}

bool Number(const char* text, long min, long max, int* out) {
  errno = 0;
  char* end = nullptr;
  long v = strtol(text, &end, 10);
  if (errno || end == text || *end || v < min || v > max) return false;
  *out = static_cast<int>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  ctpsim::Config config;
  bool verbose = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (a == "-v") {
      verbose = true;
      continue;
    }
    if (a == "--address" || a == "--port" || a == "--channels" || a == "--password") {
      if (i + 1 >= argc) return Usage("option " + a + " needs a value");
      const char* v = argv[++i];
      if (a == "--address") {
        in_addr addr{};
        if (inet_pton(AF_INET, v, &addr) != 1 || (ntohl(addr.s_addr) >> 24) != 127)
          return Usage("--address must be a loopback IPv4 address (127.x.x.x), not \"" + std::string(v) + "\"");
        config.address = v;
      } else if (a == "--password") {
        config.password = v;
      } else if (a == "--port") {
        if (!Number(v, 0, 65535, &config.port)) return Usage("--port must be 0 to 65535, not \"" + std::string(v) + "\"");
      } else if (!Number(v, 1, 64, &config.channels)) {
        return Usage("--channels must be 1 to 64, not \"" + std::string(v) + "\"");
      }
      continue;
    }
    return Usage("unknown option " + a);
  }
  signal(SIGPIPE, SIG_IGN);
  struct sigaction sa {};
  sa.sa_handler = [](int) { g_stop = 1; };
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  ctpsim::Server server(config);
  std::mutex out;
  if (verbose)
    server.SetPrinter([&out](const std::string& line) {
      std::lock_guard<std::mutex> g(out);
      std::printf("%s\n", line.c_str());
      std::fflush(stdout);
    });
  std::string why;
  if (!server.Start(&why)) {
    std::fprintf(stderr, "ctpsim: %s\n", why.c_str());
    return 1;
  }
  {
    std::lock_guard<std::mutex> g(out);
    std::printf("ctpsim ready port=%d\n", server.port());
    std::fflush(stdout);
  }
  while (!g_stop) pause();
  server.Stop();
  return 0;
}
