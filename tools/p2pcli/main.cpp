// p2pcli: a client process: connects to a device by its ID in a connect mode,
// then moves data and checks it.
//
//   p2pcli --init INIT --did DID [--mode M] [--param TEXT] [--udp-port N] [--alive S]
//          [--echo BYTES [--channels N]] [--recv BYTES] [--send BYTES] [--server-ports U,T]
//
// --param connects with RVS_ConnectByServer and that connect parameter text.
// --echo writes BYTES of a byte stream on each of the first N channels (8) and
// reads them back from a device that echoes (p2pdev --echo); --recv reads
// BYTES of the stream p2pdev --bulk sends on channel 0; --send writes BYTES on
// channel 0 and waits until the device acknowledged them. Lines:
//   cli connect result=R ms=T
//   cli session mode=M remote=A.B.C.D:P
//   cli echo ok bytes=N ms=T | cli echo failed channel=C got=G write=W read=R bad=0|1
//   cli recv ok bytes=N ms=T MBps=X | cli recv failed got=G
//   cli send ok bytes=N ms=T MBps=X | cli send failed result=R
//   cli close result=R
// Exit status: 0 all went well (a query mode's answer counts), 1 a check
// failed, 2 bad arguments, 3 the connect failed.
#include <arpa/inet.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "p2p/rvs_api.h"
#include "tools/common/cli.h"
#include "tools/p2pdev/tool_common.h"
#include "tools/rdvsim/wiring.h"

using p2ptool::Say;

namespace {

constexpr uint32_t kBulkSeed = 77;  // p2pdev --bulk
constexpr uint32_t kEchoSeed = 40;
constexpr unsigned kDataDeadlineMs = 60000;
constexpr int kPendingMax = 512 * 1024;

double MBps(long long bytes, uint32_t ms) { return ms ? bytes / 1048576.0 / (ms / 1000.0) : 0; }

// Every channel is written and read back at once, each on threads of its
// own, as a user of the session would: a reader that leaves a channel
// unread lets its receive queue fill, and the library then drops what comes.
bool Echo(int h, long long n, int channels) {
  const uint32_t start = p2p::TickMs();
  struct Result {
    int written = 0, last = 0;
    size_t got = 0;
    bool bad = false;
  };
  std::vector<Result> res(static_cast<size_t>(channels));
  std::vector<std::thread> threads;
  for (int ch = 0; ch < channels; ++ch) {
    Result& r = res[static_cast<size_t>(ch)];
    const uint32_t seed = kEchoSeed + static_cast<uint32_t>(ch);
    threads.emplace_back([&r, h, ch, seed, n] { r.written = rdvsim::PumpStream(h, ch, seed, static_cast<size_t>(n)); });
    threads.emplace_back([&r, h, ch, seed, n] {
      r.got = rdvsim::DrainStream(h, ch, seed, static_cast<size_t>(n), kDataDeadlineMs, &r.bad, &r.last);
    });
  }
  for (std::thread& t : threads) t.join();
  bool ok = true;
  for (int ch = 0; ch < channels; ++ch) {
    const Result& r = res[static_cast<size_t>(ch)];
    if (r.written != 0 || r.bad || r.got != static_cast<size_t>(n)) {
      Say("cli echo failed channel=%d got=%zu write=%d read=%d bad=%d", ch, r.got, r.written, r.last, r.bad ? 1 : 0);
      ok = false;
    }
  }
  if (ok) Say("cli echo ok bytes=%lld ms=%u", n, p2p::TickMs() - start);
  return ok;
}

bool Recv(int h, long long n) {
  const uint32_t start = p2p::TickMs();
  bool bad = false;
  size_t got = rdvsim::DrainStream(h, 0, kBulkSeed, static_cast<size_t>(n), kDataDeadlineMs, &bad);
  const uint32_t ms = p2p::TickMs() - start;
  if (bad || got != static_cast<size_t>(n)) {
    Say("cli recv failed got=%zu", got);
    return false;
  }
  Say("cli recv ok bytes=%lld ms=%u MBps=%.1f", n, ms, MBps(n, ms));
  return true;
}

bool Send(int h, long long n) {
  const uint32_t start = p2p::TickMs();
  std::vector<char> buf(64 * 1024, 's');
  int r = 0;
  for (long long at = 0; at < n && r >= 0 && p2p::TickMs() - start < kDataDeadlineMs;) {
    int pending = 0;
    if ((r = RVS_Check_Buffer(h, 0, &pending, nullptr)) != 0) break;
    if (pending > kPendingMax) {
      p2p::SleepMs(1);
      continue;
    }
    const int len = static_cast<int>(std::min<long long>(static_cast<long long>(buf.size()), n - at));
    r = RVS_Write(h, 0, buf.data(), len);
    at += len;
  }
  // Done once the device acknowledged everything (over TCP: once it went).
  for (int pending = 1; r >= 0 && pending > 0 && p2p::TickMs() - start < kDataDeadlineMs;) {
    r = RVS_Check_Buffer(h, 0, &pending, nullptr);
    if (pending > 0) p2p::SleepMs(1);
  }
  const uint32_t ms = p2p::TickMs() - start;
  if (r < 0 || ms >= kDataDeadlineMs) {
    Say("cli send failed result=%d", r);
    return false;
  }
  Say("cli send ok bytes=%lld ms=%u MBps=%.1f", n, ms, MBps(n, ms));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  long long mode = 12, udp_port = 0, alive = 6, echo = 0, channels = p2p::kChannels, recv = 0, send = 0;
  std::string init, did, param;
  bool by_server = false;
  tools::Cli cli("p2pcli",
                 "A P2P client: connects to a device by its ID in a connect mode, then echoes, receives or\n"
                 "sends checked bytes.",
                 "  p2pdev --init INIT --did EED-000001-DEV --server-ports U,T &\n"
                 "  p2pcli --init INIT --did EED-000001-DEV --server-ports U,T --mode 12 --echo 65536");
  cli.Text("--init", "INIT", "the init string (rdvsim prints it on its ready line); needed", &init);
  cli.Text("--did", "DID", "the device ID, PREFIX-NUMBER-CHECK, e.g. EED-000001-DEV; needed", &did);
  cli.Value("--mode", "M", "the connect mode (default 12): 12 punch, 30 UDP relay, 94 relay with retry,\n"
            "63 LAN search only, 121 a device query, 122 and 123 TCP-assisted, 124 TCP only, 125 and\n"
            "126 timed UDP, 127 a state query (121, 127: no session; the answer is the result, 65536 online)",
            [&mode](const std::string& v) {
              static constexpr long long kModes[] = {12, 30, 63, 94, 121, 122, 123, 124, 125, 126, 127};
              long long m = 0;
              if (std::string why = tools::Cli::ParseNumber(v, 0, 255, &m); !why.empty()) return why;
              if (std::find(std::begin(kModes), std::end(kModes), m) == std::end(kModes))
                return v + " is not a connect mode (12, 30, 63, 94, 121..127)";
              mode = m;
              return std::string();
            });
  cli.Value("--param", "TEXT", "connect through the servers with this connect parameter text", [&](const std::string& v) {
    param = v;
    by_server = true;
    return std::string();
  });
  cli.Number("--udp-port", "N", "local UDP port (0..65535; default 0: any)", 0, 65535, &udp_port);
  cli.Number("--alive", "S", "session keep-alive in seconds (6..30, default 6)", 6, 30, &alive);
  cli.Number("--echo", "BYTES", "write BYTES on each channel and read them back (device: p2pdev --echo)", 1,
             1LL << 32, &echo);
  cli.Number("--channels", "N", "channels --echo uses (1.." + std::to_string(p2p::kChannels) + ", default all)", 1,
             p2p::kChannels, &channels);
  cli.Number("--recv", "BYTES", "read BYTES of the stream p2pdev --bulk sends on channel 0", 1, 1LL << 40, &recv);
  cli.Number("--send", "BYTES", "write BYTES on channel 0 and wait until the device has them", 1, 1LL << 40, &send);
  cli.Value("--server-ports", "U,T", "the servers' UDP and TCP ports (rdvsim's udp= and tcp=; default 32100,443)",
            p2ptool::ApplyServerPorts);
  cli.Notes("Lines on standard output:\n"
            "  cli connect result=R ms=T [(TEXT)]\n"
            "  cli session mode=M remote=A.B.C.D:P       (M: 0 direct, 1 UDP relay, 2 TCP relay)\n"
            "  cli echo ok bytes=N ms=T | cli echo failed channel=C got=G write=W read=R bad=0|1\n"
            "  cli recv ok bytes=N ms=T MBps=X | cli recv failed got=G\n"
            "  cli send ok bytes=N ms=T MBps=X | cli send failed result=R\n"
            "  cli close result=R\n"
            "Exit status: 0 all went well (a query mode's answer counts), 1 a check failed or the library\n"
            "could not start, 2 bad arguments, 3 the connect failed.");
  if (int rc = cli.Parse(argc, argv); rc >= 0) return rc;
  if (init.empty()) return cli.Error("--init INIT is needed");
  if (std::string why = tools::InitStringProblem(init); !why.empty()) return cli.Error("--init: " + why);
  if (did.empty()) return cli.Error("--did DID is needed");
  signal(SIGPIPE, SIG_IGN);
  if (int r = p2ptool::Initialize(init, static_cast<int>(alive)); r != 0) {
    std::fprintf(stderr, "p2pcli: cannot initialise the library: %s\n", p2ptool::Result(r).c_str());
    return 1;
  }
  const uint32_t start = p2p::TickMs();
  const int h = by_server ? RVS_ConnectByServer(did.c_str(), static_cast<char>(mode), static_cast<uint16_t>(udp_port),
                                                param.c_str())
                          : RVS_Connect(did.c_str(), static_cast<char>(mode), static_cast<uint16_t>(udp_port));
  if (h < 0)
    Say("cli connect result=%d ms=%u (%s)", h, p2p::TickMs() - start, p2ptool::ResultText(h));
  else
    Say("cli connect result=%d ms=%u", h, p2p::TickMs() - start);
  int status = 0;
  if (h >= RVS_QUERY_RESULT_BASE) {
    // A query mode: the answer is the result; there is no session.
  } else if (h < 0) {
    status = 3;
  } else {
    RVS_SessionInfo info;
    RVS_Check(h, &info);
    char ip[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &info.RemoteAddr.sin_addr, ip, sizeof(ip));
    Say("cli session mode=%u remote=%s:%u", info.Mode, ip, ntohs(info.RemoteAddr.sin_port));
    bool ok = true;
    if (echo > 0) ok &= Echo(h, echo, static_cast<int>(channels));
    if (recv > 0 && ok) ok &= Recv(h, recv);
    if (send > 0 && ok) ok &= Send(h, send);
    Say("cli close result=%d", RVS_Close(h));
    status = ok ? 0 : 1;
  }
  RVS_DeInitialize();
  return status;
}
