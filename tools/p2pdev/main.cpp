// p2pdev: a device built on the library's listen side. It listens under its
// device ID, takes the session a client opens, serves it, and listens again.
//
//   p2pdev --init INIT --did DID [--timeout S] [--udp-port N] [--login-mode 0|1|2]
//          [--echo | --bulk BYTES] [--sessions N] [--alive S] [--server-ports U,T]
//
// --echo (the default) sends back whatever arrives on each channel; --bulk
// sends BYTES of a fixed byte stream on channel 0 and counts what arrives
// there. --sessions ends it after N sessions (0: never). Lines on standard
// output:
//   device listening n=K             a listen began
//   device ready                     the servers took the login (LAN only: the listen runs)
//   device established handle=H mode=M tick=T   (T: the moment, a millisecond monotonic tick)
//   device ended result=R sent=S received=X     the session ended (R: the read that ended it)
//   device listen result=R           a listen that ended without a session
//   device exit
// It ends on SIGINT or SIGTERM, when its standard input (a pipe) closes, or
// after its sessions.
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "p2p/listen.h"
#include "p2p/rvs_api.h"
#include "p2p/state.h"
#include "tools/common/cli.h"
#include "tools/p2pdev/tool_common.h"
#include "tools/rdvsim/wiring.h"

using p2ptool::g_stop;
using p2ptool::Say;

namespace {

// The seed of the byte stream that --bulk sends (p2pcli --recv checks it).
constexpr uint32_t kBulkSeed = 77;
constexpr size_t kPendingMax = 512 * 1024;

// Whether a listen of this process holds a slot, and whether the servers took its login.
void ListenState(bool* listening, bool* logged_in) {
  *listening = *logged_in = false;
  std::lock_guard<p2p::Mutex> g(p2p::g_rvs.mutex);
  for (int i = 0; p2p::g_rvs.sessions && i < p2p::g_rvs.max_num_sess.load(); ++i) {
    const p2p::Session& s = p2p::g_rvs.sessions[i];
    if (!s.InUse() || s.role != p2p::kRoleDevice || s.established.load()) continue;
    *listening = true;
    *logged_in |= s.login_result.load() == 0;
  }
}

// Says "device ready" once the listen is logged in; ends the listen on a stop.
void WatchListen(int login_mode, const std::atomic<bool>* done) {
  bool said = false;
  uint32_t listening_since = 0;
  while (!done->load()) {
    if (g_stop.load()) RVS_Listen_Break();
    bool listening, logged_in;
    ListenState(&listening, &logged_in);
    if (listening && !listening_since) listening_since = p2p::TickMs();
    // LAN only: ready once the responder had a moment to open its socket.
    if (login_mode == p2p::kLoginLanOnly) logged_in = listening_since && p2p::TickMs() - listening_since > 50;
    if (!said && logged_in) {
      Say("device ready");
      said = true;
    }
    p2p::SleepMs(5);
  }
}

struct Counts {
  std::atomic<long long> sent{0}, received{0};
  std::atomic<int> end{0};
};

bool Ended(const Counts& c) { return c.end.load() != 0 || g_stop.load(); }

void EndWith(Counts* c, int r) {
  int none = 0;
  c->end.compare_exchange_strong(none, r);
}

void Echo(int h, int ch, Counts* c) {
  std::vector<char> buf(8192);
  while (!Ended(*c)) {
    int size = static_cast<int>(buf.size());
    int r = RVS_Read(h, static_cast<char>(ch), buf.data(), &size, 200);
    if (size > 0) {
      c->received += size;
      if (RVS_Write(h, static_cast<char>(ch), buf.data(), size) != size) r = -1000;
      c->sent += size;
    }
    if (r != 0 && r != RVS_ERR_TIME_OUT) EndWith(c, r);
  }
}

void BulkSend(int h, long long total, Counts* c) {
  std::vector<char> buf(64 * 1024);
  for (long long at = 0; at < total && !Ended(*c);) {
    int pending = 0;
    if (RVS_Check_Buffer(h, 0, &pending, nullptr) != 0) return;
    if (pending > static_cast<int>(kPendingMax)) {
      p2p::SleepMs(1);
      continue;
    }
    const int n = static_cast<int>(std::min<long long>(static_cast<long long>(buf.size()), total - at));
    for (int i = 0; i < n; ++i) buf[i] = static_cast<char>(rdvsim::StreamByte(kBulkSeed, static_cast<uint64_t>(at + i)));
    if (RVS_Write(h, 0, buf.data(), n) != n) return;
    at += n;
    c->sent += n;
  }
}

void BulkCount(int h, Counts* c) {
  std::vector<char> buf(64 * 1024);
  while (!Ended(*c)) {
    int size = static_cast<int>(buf.size());
    int r = RVS_Read(h, 0, buf.data(), &size, 200);
    c->received += size;
    if (r != 0 && r != RVS_ERR_TIME_OUT) EndWith(c, r);
  }
}

// Serves one session until it ends; returns how it ended.
int Serve(int h, long long bulk) {
  Counts c;
  std::vector<std::thread> threads;
  if (bulk > 0) {
    threads.emplace_back(BulkSend, h, bulk, &c);
    threads.emplace_back(BulkCount, h, &c);
  } else {
    for (int ch = 0; ch < p2p::kChannels; ++ch) threads.emplace_back(Echo, h, ch, &c);
  }
  for (std::thread& t : threads) t.join();
  const int end = c.end.load();
  // A session the peer closed goes at once; on a stop it is cut.
  if (g_stop.load() && end == 0)
    RVS_ForceClose(h);
  else
    RVS_Close(h);
  Say("device ended result=%d sent=%lld received=%lld", end, c.sent.load(), c.received.load());
  return end;
}

}  // namespace

int main(int argc, char** argv) {
  long long timeout = 600, udp_port = 0, login_mode = 1, bulk = 0, sessions = 1, alive = 6;
  bool echo = false;
  std::string init, did;
  tools::Cli cli("p2pdev",
                 "A device on the P2P library's listen side: it listens under its device ID, serves the session\n"
                 "a client opens (echoing, or sending a byte stream), and listens again.",
                 "  rdvsim --udp-port 0 --tcp-port 0 &      # prints: rdvsim ready udp=U tcp=T init=INIT\n"
                 "  p2pdev --init INIT --did EED-000001-DEV --server-ports U,T --sessions 1");
  cli.Text("--init", "INIT", "the init string (rdvsim prints it on its ready line); needed", &init);
  cli.Text("--did", "DID", "the device ID, PREFIX-NUMBER-CHECK, e.g. EED-000001-DEV; needed", &did);
  cli.Number("--timeout", "S", "listen time-out in seconds (" + std::to_string(p2p::kListenMinSec) + ".." +
             std::to_string(p2p::kListenMaxSec) + ", default 600)", p2p::kListenMinSec, p2p::kListenMaxSec, &timeout);
  cli.Number("--udp-port", "N", "local UDP port (0..65535; default 0: any)", 0, 65535, &udp_port);
  cli.Number("--login-mode", "0|1|2", "0 LAN only, 1 UDP login (default), 2 UDP and TCP login", 0, 2, &login_mode);
  cli.Flag("--echo", "send back whatever arrives on each channel (the default)", &echo);
  cli.Number("--bulk", "BYTES", "send BYTES of a fixed byte stream on channel 0 instead (1..2^40)", 1, 1LL << 40, &bulk);
  cli.Number("--sessions", "N", "end after N sessions (0: never; default 1)", 0, 1 << 30, &sessions);
  cli.Number("--alive", "S", "session keep-alive in seconds (6..30, default 6)", 6, 30, &alive);
  cli.Value("--server-ports", "U,T", "the servers' UDP and TCP ports (rdvsim's udp= and tcp=; default 32100,443)",
            p2ptool::ApplyServerPorts);
  cli.Notes("Lines on standard output:\n"
            "  device listening n=K                        a listen began\n"
            "  device ready                                the servers took the login\n"
            "  device established handle=H mode=M tick=T   a session began\n"
            "  device ended result=R sent=S received=X     the session ended (R: the read that ended it)\n"
            "  device listen result=R (TEXT)               a listen that ended without a session\n"
            "  device exit\n"
            "It ends on SIGINT or SIGTERM, when its standard input (a pipe) closes, or after its sessions.\n"
            "Exit status: 0 ended; 1 the library refused (initialisation, a listen); 2 bad arguments.");
  if (int rc = cli.Parse(argc, argv); rc >= 0) return rc;
  if (echo && bulk) return cli.Error("--echo and --bulk exclude each other");
  if (init.empty()) return cli.Error("--init INIT is needed");
  if (std::string why = tools::InitStringProblem(init); !why.empty()) return cli.Error("--init: " + why);
  if (did.empty()) return cli.Error("--did DID is needed");
  p2ptool::StopOnSignals();
  if (int r = p2ptool::Initialize(init, static_cast<int>(alive)); r != 0) {
    std::fprintf(stderr, "p2pdev: cannot initialise the library: %s\n", p2ptool::Result(r).c_str());
    return 1;
  }
  std::thread input(p2ptool::WatchInput);
  int status = 0;
  for (long long n = 1; !g_stop.load() && (sessions == 0 || n <= sessions); ++n) {
    Say("device listening n=%lld", n);
    std::atomic<bool> done{false};
    std::thread watch(WatchListen, static_cast<int>(login_mode), &done);
    const int h = RVS_Listen(did.c_str(), static_cast<unsigned>(timeout), static_cast<uint16_t>(udp_port),
                             static_cast<char>(login_mode));
    done = true;
    watch.join();
    if (h < 0) {
      Say("device listen result=%d (%s)", h, p2ptool::ResultText(h));
      // Refusals and a bad ID stay as they are; only a time-out is worth another listen.
      if (h != RVS_ERR_TIME_OUT) {
        status = g_stop.load() ? 0 : 1;
        break;
      }
      continue;
    }
    RVS_SessionInfo info;
    RVS_Check(h, &info);
    Say("device established handle=%d mode=%u tick=%u", h, info.Mode, p2p::Sess(h).established_tick.load());
    Serve(h, bulk);
  }
  g_stop = true;
  input.join();
  RVS_DeInitialize();
  Say("device exit");
  return status;
}
