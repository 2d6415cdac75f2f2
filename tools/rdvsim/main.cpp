// rdvsim: the test rendezvous server as a program. Run `rdvsim --help` for
// its arguments, the ready line and the command language.
#include <arpa/inet.h>
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

#include "tools/common/cli.h"
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

bool Ipv4(const std::string& text, in_addr* a) { return inet_pton(AF_INET, text.c_str(), a) == 1; }

// Servers and relays listen only where tests may send: loopback, or with
// --allow-any any one address (inside a network namespace a test made).
std::string CheckAddress(const std::string& text, bool allow_any) {
  in_addr a{};
  if (!Ipv4(text, &a)) return "'" + text + "' is not an IPv4 address";
  const uint32_t host = ntohl(a.s_addr);
  if (host == 0) return "0.0.0.0 would take every interface; name one address";
  if ((host >> 24) == 127 || allow_any) return "";
  return text + " is not a loopback address (127.0.0.0/8); others need --allow-any (inside a network namespace)";
}

constexpr char kNotes[] =
    "Once it listens it prints one line:\n"
    "  rdvsim ready udp=PORT tcp=PORT init=INIT [relay=IP:PORT tcprelay=IP:PORT]\n"
    "INIT is the init string the P2P library is initialised with (p2pdev/p2pcli --init): the three\n"
    "server addresses and the packet key, encoded. Then one line per report a client sends (and per\n"
    "message with -v). Commands (--cmd, or lines on standard input with --stdin, answered \"ok\" or\n"
    "\"error: ...\"; \"quit\" ends it):\n"
    "  silent all|1|2|3 on|off        a silent server answers nothing\n"
    "  nat 0|1|2|3|4|off              answers that detect as that NAT type\n"
    "  state DID N|clear              answer connect requests and queries with state N\n"
    "  login DID N|clear              answer device logins with result N\n"
    "  devstate DID V52 V56|clear     the two values of a device-state answer\n"
    "  tcpstate DID S [NEXT]|clear    the TCP server state answer (and the byte after it)\n"
    "  relays [IP:PORT ...]           the UDP relay list\n"
    "  tcprelay IP:PORT|off           the TCP relay offered after a TCP connect request\n"
    "  offer tcp|udp|none             how the TCP relay offer travels\n"
    "  ticket N                       the ticket of the next TCP relay offer\n"
    "  intro both|burst|list|none     how a connect request introduces the peers\n"
    "  forget DID                     log the device out\n"
    "  bridge DID KIND PORT PEER [TEXT]  a bridge message to the device (17 open, 34 close)\n"
    "  servicestart DID               a service-start message to the device\n"
    "A DID is PREFIX-NUMBER-CHECK, e.g. EED-000001-DEV. Without --stdin it runs until SIGINT or\n"
    "SIGTERM. Exit status: 0 ended; 1 cannot listen; 2 bad arguments or a bad --cmd.";

}  // namespace

int main(int argc, char** argv) {
  rdvsim::Config config;
  std::vector<std::string> commands;
  bool read_stdin = false, verbose = false;
  std::string relay_ip;
  tools::Cli cli("rdvsim",
                 "Test rendezvous servers: three P2P servers (by default 127.0.0.1, .2 and .3) with their UDP\n"
                 "and TCP ports, optionally a UDP and a TCP relay, scriptable by commands.",
                 "  rdvsim --udp-port 0 --tcp-port 0 --relay 127.0.0.4 --stdin\n"
                 "  rdvsim --udp-port 0 --tcp-port 0 --cmd \"state EED-000001-DEV 0\"");
  std::string ips;
  bool allow_any = false;
  cli.Text("--ips", "A,B,C", "the three server addresses (IPv4; default 127.0.0.1,127.0.0.2,127.0.0.3)", &ips);
  cli.Number("--udp-port", "N", "first of the three UDP ports (0..65533; 0: free ones; default 32100)", 0, 65533,
             &config.udp_port);
  cli.Number("--tcp-port", "N", "the TCP port (0..65535; 0: a free one; default 443)", 0, 65535, &config.tcp_port);
  cli.Text("--key", "K", "the packet key (default: none)", &config.key);
  cli.Text("--relay", "IP", "also run a UDP and a TCP relay on IP (free ports)", &relay_ip);
  cli.Flag("--allow-any", "allow server and relay addresses outside 127.0.0.0/8 (only inside a network\n"
           "namespace of a test's own, as the end-to-end suites use)", &allow_any);
  cli.Value("--cmd", "COMMAND", "run a command before it starts (may be given again)", [&](const std::string& v) {
    commands.push_back(v);
    return std::string();
  });
  cli.Flag("--stdin", "read commands from standard input; end at \"quit\" or end of input", &read_stdin);
  cli.Flag("-v", "also print one line per message received", &verbose);
  cli.Notes(kNotes);
  if (int rc = cli.Parse(argc, argv); rc >= 0) return rc;
  if (!ips.empty()) {
    std::stringstream list(ips);
    std::string ip;
    int k = 0;
    while (std::getline(list, ip, ',')) {
      if (k >= rdvsim::kServers) return cli.Error("--ips: more than " + std::to_string(rdvsim::kServers) + " addresses");
      if (std::string why = CheckAddress(ip, allow_any); !why.empty()) return cli.Error("--ips: " + why);
      config.ips[k++] = ip;
    }
    if (k != rdvsim::kServers) return cli.Error("--ips: needs " + std::to_string(rdvsim::kServers) + " addresses");
  }
  if (!relay_ip.empty())
    if (std::string why = CheckAddress(relay_ip, allow_any); !why.empty()) return cli.Error("--relay: " + why);
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
      return cli.Error("--cmd \"" + c + "\": " + err);
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
