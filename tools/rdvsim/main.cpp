// rdvsim: the test rendezvous server as a program.
//   rdvsim [--ips A,B,C] [--udp-port N] [--tcp-port N] [--key K] [--relay IP] [--cmd "COMMAND"]... [--stdin]
//   [-v]
// With --relay it also runs a UDP relay and a TCP relay on IP (free ports)
// and hands them out. Prints "rdvsim ready udp=P tcp=T init=INIT" (followed
// by " relay=IP:PORT tcprelay=IP:PORT" with --relay) once it listens, then one line
// per report it gets (and per message with -v). With --stdin it reads script
// commands from standard input (answering "ok" or "error: ...") and ends at
// "quit" or end of input; otherwise it runs until SIGINT or SIGTERM.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "tools/rdvsim/rdvsim.h"
#include "tools/rdvsim/relay.h"

namespace {

volatile sig_atomic_t g_stop = 0;
std::mutex g_out;

void Say(const std::string& line) {
  std::lock_guard<std::mutex> g(g_out);
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

int Usage() {
  std::fprintf(stderr,
               "usage: rdvsim [--ips A,B,C] [--udp-port N] [--tcp-port N] [--key K] [--relay IP] "
               "[--cmd \"COMMAND\"]... [--stdin] [-v]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  rdvsim::Config config;
  std::vector<std::string> commands;
  bool read_stdin = false, verbose = false;
  std::string relay_ip;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    const char* v = nullptr;
    if (a == "--stdin") {
      read_stdin = true;
    } else if (a == "-v") {
      verbose = true;
    } else if ((a == "--udp-port" || a == "--tcp-port") && (v = value())) {
      int port = std::atoi(v);
      if (port < 0 || port > 65535) return Usage();
      (a == "--udp-port" ? config.udp_port : config.tcp_port) = static_cast<uint16_t>(port);
    } else if (a == "--key" && (v = value())) {
      config.key = v;
    } else if (a == "--relay" && (v = value())) {
      relay_ip = v;
    } else if (a == "--cmd" && (v = value())) {
      commands.push_back(v);
    } else if (a == "--ips" && (v = value())) {
      std::stringstream list(v);
      std::string ip;
      for (int k = 0; k < rdvsim::kServers; ++k) {
        if (!std::getline(list, ip, ',')) return Usage();
        config.ips[k] = ip;
      }
    } else {
      return Usage();
    }
  }
  signal(SIGPIPE, SIG_IGN);
  struct sigaction sa {};
  sa.sa_handler = [](int) { g_stop = 1; };
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  rdvsim::Server server(config);
  rdvsim::RelayConfig relay_config;
  relay_config.ip = relay_ip;
  relay_config.key = config.key;
  rdvsim::UdpRelay udp_relay(relay_config);
  rdvsim::TcpRelay tcp_relay(relay_config);
  std::string relays;
  if (!relay_ip.empty()) {
    std::string why;
    if (!udp_relay.Start(&why) || !tcp_relay.Start(&why)) {
      std::fprintf(stderr, "rdvsim: %s\n", why.c_str());
      return 1;
    }
    server.AttachRelays(&udp_relay, &tcp_relay);
    relays = " relay=" + rdvsim::AddrText(udp_relay.address()) +
             " tcprelay=" + rdvsim::AddrText(tcp_relay.address());
  }
  for (const std::string& c : commands) {
    std::string err = server.Command(c);
    if (!err.empty()) {
      std::fprintf(stderr, "rdvsim: %s\n", err.c_str());
      return 2;
    }
  }
  server.SetPrinter(Say, verbose);
  std::string why;
  if (!server.Start(&why)) {
    std::fprintf(stderr, "rdvsim: %s\n", why.c_str());
    return 1;
  }
  Say("rdvsim ready udp=" + std::to_string(server.udp_port()) + " tcp=" + std::to_string(server.tcp_port()) +
      " init=" + server.InitString() + relays);

  std::string pending;
  while (!g_stop) {
    if (!read_stdin) {
      pause();
      continue;
    }
    pollfd p{0, POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) continue;
    char buf[512];
    ssize_t n = read(0, buf, sizeof(buf));
    if (n <= 0) break;
    pending.append(buf, static_cast<size_t>(n));
    size_t nl;
    bool quit = false;
    while ((nl = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, nl);
      pending.erase(0, nl + 1);
      if (line == "quit") {
        quit = true;
        break;
      }
      std::string err = server.Command(line);
      Say(err.empty() ? "ok" : "error: " + err);
    }
    if (quit) break;
  }
  server.Stop();
  return 0;
}
