// camsim: a camera simulator as a program (see camsim.h).
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tools/camsim/camsim.h"
#include "tools/camsim/webrtc_side.h"
#include "tools/p2pdev/tool_common.h"

namespace {

constexpr char kHelp[] =
    "usage: camsim --init INIT --did DID [--did DID]... --password PW [--password PW]...\n"
    "              --video FILE [--video FILE]... [options]\n"
    "A camera on the P2P library's listen side that speaks the device link: password check,\n"
    "features, live video per channel and audio from files, SD-card record lists and playback,\n"
    "talkback, pan-tilt and events. One camsim plays one camera per --did.\n"
    "\n"
    "  --init INIT          P2P init string of the rendezvous servers (rdvsim prints it)\n"
    "  --did DID            a camera's device ID; repeat for several cameras\n"
    "  --password PW        the password of each --did in order (one for all when given once)\n"
    "  --video FILE         Annex-B H.264 (.h264/.264) or HEVC (.h265/.265/.hevc); channel 0, 1, ...\n"
    "                       each access unit is one frame, in file order, looping at the end\n"
    "  --codec h264|hevc    the video codec when the file name does not tell it\n"
    "  --fps N              video frame rate, 1-120 (default: the rate the stream states, else 25)\n"
    "  --audio FILE         G.711 A-law at 8000 Hz (.alaw) or AAC in ADTS (.aac)\n"
    "  --talk-out FILE      write the talkback audio received (G.711 A-law) to FILE\n"
    "  --records-per-day N  SD-card recordings per day, one at the start of each hour, 0-24 (default 24)\n"
    "  --record-sec N       length of each recording in seconds, 1-3600 (default 600)\n"
    "  --event-every MS     send a motion event every MS ms, 0 for none (default 0)\n"
    "  --features JSON      the \"feature\" object the camera reports (default: made from the channels)\n"
    "  --sessions N         end after N sessions per camera, 0 for never (default 0)\n"
    "  --alive S            P2P session alive time in seconds, 6-30 (default 6)\n"
    "  --login-mode 0|1|2   P2P listen login mode (default 1)\n"
    "  --server-ports U,T   rendezvous servers on UDP port U and TCP port T instead of 32100 and 443\n"
    "  -h, --help           this text\n"
    "\n"
    "It prints \"camsim ready ...\" once every camera is logged in, then a line per event, and ends on\n"
    "SIGINT or SIGTERM or when its standard input (a pipe) closes.\n"
    "\n"
    "example:\n"
    "  camsim --init \"$INIT\" --did VLM-000001-CAM --password 123456 --video cam.h264 --audio cam.alaw\n";

int Usage(const std::string& why) {
  std::fprintf(stderr, "camsim: %s\n(camsim --help shows the options)\n", why.c_str());
  return 2;
}

bool Number(const char* text, long lo, long hi, long* out) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno || end == text || *end || v < lo || v > hi) return false;
  *out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  camsim::Config cfg;
  std::vector<std::string> dids, passwords;
  std::string server_ports;
  camsim::WebrtcConfig wcfg;
  bool webrtc = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      std::fputs(kHelp, stdout);
      std::fputs(camsim::kWebrtcHelp, stdout);
      return 0;
    }
    if (a.rfind("--webrtc", 0) == 0) {
      bool used = false;
      std::string why;
      const int k = camsim::ParseWebrtcOption(a, i + 1 < argc ? argv[i + 1] : nullptr, &wcfg, &used, &why);
      if (k < 0) return Usage(why);
      if (k == 0) return Usage("unknown option " + a);
      webrtc = true;
      i += used ? 1 : 0;
      continue;
    }
    static const char* const kValued[] = {"--init",        "--did",        "--password",     "--video",
                                          "--codec",       "--fps",        "--audio",        "--talk-out",
                                          "--records-per-day", "--record-sec", "--event-every", "--features",
                                          "--sessions",    "--alive",      "--login-mode",   "--server-ports"};
    bool known = false;
    for (const char* k : kValued) known |= a == k;
    if (!known) return Usage("unknown option " + a);
    if (i + 1 >= argc) return Usage("missing value of " + a);
    const char* v = argv[++i];
    long n = 0;
    if (a == "--init") cfg.init = v;
    else if (a == "--did") dids.push_back(v);
    else if (a == "--password") passwords.push_back(v);
    else if (a == "--video") cfg.video.push_back(v);
    else if (a == "--codec") {
      cfg.codec = v;
      if (cfg.codec != "h264" && cfg.codec != "hevc") return Usage("--codec takes h264 or hevc, not " + cfg.codec);
    } else if (a == "--fps") {
      if (!Number(v, 1, 120, &n)) return Usage("--fps takes 1-120");
      cfg.fps = static_cast<double>(n);
    } else if (a == "--audio") cfg.audio = v;
    else if (a == "--talk-out") cfg.talk_out = v;
    else if (a == "--records-per-day") {
      if (!Number(v, 0, 24, &n)) return Usage("--records-per-day takes 0-24");
      cfg.records_per_day = static_cast<int>(n);
    } else if (a == "--record-sec") {
      if (!Number(v, 1, 3600, &n)) return Usage("--record-sec takes 1-3600");
      cfg.record_sec = static_cast<int>(n);
    } else if (a == "--event-every") {
      if (!Number(v, 0, 3600000, &n)) return Usage("--event-every takes 0-3600000");
      cfg.event_every_ms = static_cast<int>(n);
    } else if (a == "--features") cfg.features = v;
    else if (a == "--sessions") {
      if (!Number(v, 0, 1000000, &n)) return Usage("--sessions takes 0-1000000");
      cfg.max_sessions = static_cast<int>(n);
    } else if (a == "--alive") {
      if (!Number(v, 6, 30, &n)) return Usage("--alive takes 6-30");
      cfg.alive_sec = static_cast<int>(n);
    } else if (a == "--login-mode") {
      if (!Number(v, 0, 2, &n)) return Usage("--login-mode takes 0, 1 or 2");
      cfg.login_mode = static_cast<int>(n);
    } else if (a == "--server-ports") server_ports = v;
  }
  if (cfg.init.empty() && !webrtc) return Usage("--init is needed");
  if (std::string why = tools::InitStringProblem(cfg.init); !cfg.init.empty() && !why.empty())
    return Usage("--init: " + why);
  cfg.p2p = !cfg.init.empty();
  if (dids.empty()) return Usage("--did is needed");
  if (cfg.video.empty()) return Usage("--video is needed");
  if (passwords.empty()) return Usage("--password is needed");
  if (passwords.size() != 1 && passwords.size() != dids.size()) return Usage("give one --password, or one per --did");
  for (size_t i = 0; i < dids.size(); ++i) cfg.cameras.push_back({dids[i], passwords[passwords.size() == 1 ? 0 : i]});
  if (!server_ports.empty()) {
    if (std::string why = p2ptool::ApplyServerPorts(server_ports); !why.empty()) return Usage("--server-ports: " + why);
  }

  p2ptool::StopOnSignals();
  camsim::Simulator sim(cfg, [](const std::string& line) { p2ptool::Say("%s", line.c_str()); });
  std::string why;
  if (!sim.Start(&why)) {
    std::fprintf(stderr, "camsim: %s\n", why.c_str());
    return 1;
  }
  camsim::WebrtcSide side(&sim, dids, wcfg, [](const std::string& line) { p2ptool::Say("%s", line.c_str()); });
  if (webrtc && !side.Start(&why)) {
    std::fprintf(stderr, "camsim: %s\n", why.c_str());
    sim.Stop();
    return 1;
  }
  std::thread input(p2ptool::WatchInput);
  bool said = false;
  while (!p2ptool::g_stop.load() && !sim.Finished()) {
    if (!said && sim.Ready() && (!webrtc || side.Ready())) {
      std::string list;
      for (const std::string& d : dids) list += (list.empty() ? "" : ",") + d;
      p2ptool::Say("camsim ready dids=%s channels=%zu audio=%s", list.c_str(), cfg.video.size(),
                   cfg.audio.empty() ? "none" : cfg.audio.c_str());
      if (webrtc) p2ptool::Say("camsim webrtc lan_port=%d", side.LanPort());
      said = true;
    }
    usleep(10 * 1000);
  }
  p2ptool::g_stop = true;
  input.join();
  sim.Stop();
  side.Stop();
  p2ptool::Say("camsim exit");
  return 0;
}
