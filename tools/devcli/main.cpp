// devcli: a command-line client of a camera over the device link (the SDK's
// KivoP2p* functions on the "rvs" transport).
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "p2p/rvs_api.h"
#include "p2p/sock.h"
#include "sdk/device/kivo_p2p.h"
#include "sdk/device/rvs_transport.h"
#include "util/log.h"
#include "tools/common/init_string.h"

namespace {

constexpr char kHelp[] =
    "usage: devcli --init INIT --did DID --password PW [options] COMMAND [ARGS]\n"
    "A client of one camera over the device link: connects through the P2P library,\n"
    "authenticates and runs one command.\n"
    "\n"
    "options:\n"
    "  --init INIT          P2P init string of the rendezvous servers\n"
    "  --did DID            the camera's device ID\n"
    "  --password PW        the camera's password (at most 48 bytes are sent)\n"
    "  --server TEXT        connect through this server text (RVS_ConnectByServer)\n"
    "  --mode N             P2P connect mode 0-127 (default 0: the library's client default)\n"
    "  --alive S            P2P session alive time in seconds, 6-30 (default 8)\n"
    "  --server-ports U,T   rendezvous servers on UDP port U and TCP port T instead of 32100 and 443\n"
    "  -v                   also print the SDK's log\n"
    "  -h, --help           this text\n"
    "\n"
    "commands:\n"
    "  features                        print the camera's features\n"
    "  live [--channel N]... [--frames N] [--audio-out FILE] OUT...\n"
    "                                  receive live video of each channel (default 0) into its OUT (the\n"
    "                                  frames' payloads as they arrived), N frames per channel (default\n"
    "                                  100, 1-1000000); --audio-out also receives live audio\n"
    "  records DAY                     list the SD-card recordings of DAY (YYYY-MM-DD, local time)\n"
    "  playback TIME [--frames N] [--speed N] [--audio-out FILE] OUT\n"
    "                                  play the SD card from TIME (YYYY-MM-DDTHH:MM:SS, local time);\n"
    "                                  --speed sends the speed step N (1-16) after the first frame\n"
    "  talk FILE                       send FILE (G.711 A-law, 8000 Hz) as talkback in 40 ms blocks\n"
    "  ptz DIRECTION                   up, down, left, right or stop\n"
    "  lens [A B C]                    read the lens triple, or set it to A B C\n"
    "  main-channel N                  make channel N the main channel\n"
    "  quality CHANNEL main|sub        choose the stream of a channel\n"
    "  notice live|sd                  tell the camera a live view or an SD-card playback begins\n"
    "  doorbell                        the doorbell start command\n"
    "  events SECONDS                  print the camera's events for SECONDS (1-3600)\n"
    "  raw COMMAND [HEX]               send a command (number) with a payload in hex, print the reply\n"
    "  query                           ask the servers whether the camera is online (connect mode 0x7F,\n"
    "                                  or 0x79 with --mode 121); no session is opened\n"
    "\n"
    "It exits 0 when the command did what it says, 1 with the SDK's error text otherwise, 2 on a\n"
    "usage error.\n"
    "\n"
    "example:\n"
    "  devcli --init \"$INIT\" --did VLM-000001-CAM --password 123456 live --frames 50 out.h264\n";

bool g_verbose = false;

int Usage(const std::string& why) {
  std::fprintf(stderr, "devcli: %s\n(devcli --help shows the options)\n", why.c_str());
  return 2;
}

void Say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::vprintf(fmt, ap);
  va_end(ap);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

int Fail(const char* what, int code) {
  std::fprintf(stderr, "devcli: %s failed: %s (%d)\n", what, KivoP2pErrorName(code), code);
  std::fflush(stderr);
  return 1;
}

bool Number(const std::string& text, long lo, long hi, long* out) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 0);
  if (errno || end == text.c_str() || *end || v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool ParseDay(const std::string& s, time_t* out) {
  struct tm tm {};
  char tail = 0;
  if (std::sscanf(s.c_str(), "%d-%d-%d%c", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tail) != 3) return false;
  if (tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_year < 1970) return false;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  tm.tm_isdst = -1;
  *out = mktime(&tm);
  return *out != -1;
}

bool ParseTime(const std::string& s, time_t* out) {
  struct tm tm {};
  char sep = 0, tail = 0;
  if (std::sscanf(s.c_str(), "%d-%d-%d%c%d:%d:%d%c", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &sep, &tm.tm_hour,
                  &tm.tm_min, &tm.tm_sec, &tail) != 7 ||
      (sep != 'T' && sep != ' '))
    return false;
  if (tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_year < 1970 || tm.tm_hour > 23 ||
      tm.tm_min > 59 || tm.tm_sec > 60)
    return false;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  tm.tm_isdst = -1;
  *out = mktime(&tm);
  return *out != -1;
}

const char* CodecName(int c) {
  switch (c) {
    case MEDIA_CODEC_H264: return "H264";
    case MEDIA_CODEC_HEVC: return "HEVC";
    case MEDIA_CODEC_MJPEG: return "MJPEG";
    case MEDIA_CODEC_G711A: return "G711A";
    case MEDIA_CODEC_AAC: return "AAC";
    case MEDIA_CODEC_PCM: return "PCM";
    default: return "other";
  }
}

// Frames of one stream written to a file until a count is reached or an error ends the stream.
struct Sink {
  std::string name;
  FILE* file = nullptr;
  long want = 0;  // 0: no limit
  long frames = 0, bytes = 0;
  int codec = 0;
  uint32_t first_ts = 0;
  int error = 0;
  std::mutex* mu = nullptr;
  std::condition_variable* cv = nullptr;

  bool Done() const { return error != 0 || (want > 0 && frames >= want); }

  static void Callback(const MediaFrameHeader* h, const uint8_t* p, int n, void* user) {
    auto* s = static_cast<Sink*>(user);
    std::lock_guard<std::mutex> g(*s->mu);
    if (!h) {
      s->error = n;
    } else if (!s->Done()) {
      if (s->frames == 0) {
        s->codec = h->codec;
        s->first_ts = h->timestamp;
      }
      if (s->file && n > 0) std::fwrite(p, 1, static_cast<size_t>(n), s->file);
      ++s->frames;
      s->bytes += n;
    }
    s->cv->notify_all();
  }
};

struct Client {
  KivoSession* s = nullptr;
  std::mutex mu;
  std::condition_variable cv;
  std::atomic<long> events{0};
  // Connects and authenticates, once the command's arguments are known to be good: 0 or an exit status.
  std::function<int()> open;
  int Open() { return s ? 0 : open(); }

  ~Client() {
    if (s) KivoP2pClose(s);
  }
};

void OnEvent(const uint8_t* p, int n, KivoSession*, void* user) {
  static_cast<Client*>(user)->events++;
  Say("event %.*s", n, reinterpret_cast<const char*>(p));
}

// Waits until every sink is done, or `limit_ms` without a new frame passes (0: no limit).
bool WaitSinks(Client& c, std::vector<Sink*> sinks, int idle_limit_ms) {
  std::unique_lock<std::mutex> g(c.mu);
  long last_total = -1;
  auto last_change = std::chrono::steady_clock::now();
  for (;;) {
    bool all = true;
    long total = 0;
    for (Sink* s : sinks) {
      all &= s->Done();
      total += s->frames;
    }
    if (all) return true;
    if (total != last_total) {
      last_total = total;
      last_change = std::chrono::steady_clock::now();
    }
    if (std::chrono::steady_clock::now() - last_change > std::chrono::milliseconds(idle_limit_ms)) return false;
    c.cv.wait_for(g, std::chrono::milliseconds(100));
  }
}

int Report(const std::vector<Sink*>& sinks) {
  int status = 0;
  for (Sink* s : sinks) {
    Say("devcli %s frames=%ld bytes=%ld codec=%s first_ts=%u", s->name.c_str(), s->frames, s->bytes,
        CodecName(s->codec), s->first_ts);
    if (s->error) status = Fail(s->name.c_str(), s->error);
    else if (s->frames == 0) {
      std::fprintf(stderr, "devcli: %s: no frame arrived\n", s->name.c_str());
      status = 1;
    } else if (s->want > 0 && !s->Done()) {
      std::fprintf(stderr, "devcli: %s: frames stopped after %ld\n", s->name.c_str(), s->frames);
      status = 1;
    }
  }
  return status;
}

FILE* OpenOut(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::fprintf(stderr, "devcli: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
  return f;
}

// Options of a command ("--name value") and its plain arguments.
struct CmdArgs {
  std::multimap<std::string, std::string> opts;
  std::vector<std::string> plain;
};

bool SplitArgs(const std::vector<std::string>& in, const std::vector<std::string>& known, CmdArgs* out,
               std::string* why) {
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i].rfind("--", 0) == 0) {
      bool ok = false;
      for (const std::string& k : known) ok |= k == in[i];
      if (!ok) {
        *why = "unknown option " + in[i];
        return false;
      }
      if (i + 1 >= in.size()) {
        *why = "missing value of " + in[i];
        return false;
      }
      out->opts.emplace(in[i], in[i + 1]);
      ++i;
    } else {
      out->plain.push_back(in[i]);
    }
  }
  return true;
}

const int kIdleMs = 10000;

int Live(Client& c, const std::vector<std::string>& args) {
  CmdArgs a;
  std::string why;
  if (!SplitArgs(args, {"--channel", "--frames", "--audio-out"}, &a, &why)) return Usage("live: " + why);
  long frames = 100;
  std::vector<int> channels;
  for (auto [k, v] : a.opts) {
    long n = 0;
    if (k == "--frames" && !Number(v, 1, 1000000, &frames)) return Usage("live: --frames takes 1-1000000");
    if (k == "--channel") {
      if (!Number(v, 0, 3, &n)) return Usage("live: --channel takes 0-3");
      channels.push_back(static_cast<int>(n));
    }
  }
  if (channels.empty()) channels.push_back(0);
  if (a.plain.size() != channels.size()) return Usage("live: give one OUT file per channel");
  std::vector<Sink> sinks(channels.size() + 1);
  std::vector<Sink*> active;
  for (size_t i = 0; i < channels.size(); ++i) {
    Sink& s = sinks[i];
    s.name = "live channel=" + std::to_string(channels[i]);
    s.want = frames;
    s.mu = &c.mu;
    s.cv = &c.cv;
    if (!(s.file = OpenOut(a.plain[i]))) return 1;
    active.push_back(&s);
  }
  if (int r = c.Open()) return r;
  Sink& audio = sinks.back();
  auto ao = a.opts.find("--audio-out");
  if (ao != a.opts.end()) {
    audio.name = "live audio";
    audio.mu = &c.mu;
    audio.cv = &c.cv;
    if (!(audio.file = OpenOut(ao->second))) return 1;
  }
  KivoP2pNotifyLiveView(c.s);
  for (size_t i = 0; i < channels.size(); ++i) {
    Say("devcli live start channel=%d", channels[i]);
    if (int r = KivoP2pStartVideo(c.s, channels[i], Sink::Callback, &sinks[i]); r < 0) return Fail("start video", r);
  }
  if (audio.file) {
    if (int r = KivoP2pStartAudio(c.s, Sink::Callback, &audio); r < 0) return Fail("start audio", r);
  }
  WaitSinks(c, active, kIdleMs);
  for (int ch : channels) KivoP2pStopVideo(c.s, ch);
  if (audio.file) {
    KivoP2pStopAudio(c.s);
    active.push_back(&audio);
  }
  for (Sink& s : sinks)
    if (s.file) std::fclose(s.file);
  return Report(active);
}

int Playback(Client& c, const std::vector<std::string>& args) {
  CmdArgs a;
  std::string why;
  if (!SplitArgs(args, {"--frames", "--speed", "--audio-out"}, &a, &why)) return Usage("playback: " + why);
  long frames = 100, speed = 0;
  for (auto [k, v] : a.opts) {
    if (k == "--frames" && !Number(v, 1, 1000000, &frames)) return Usage("playback: --frames takes 1-1000000");
    if (k == "--speed" && !Number(v, 1, 16, &speed)) return Usage("playback: --speed takes 1-16");
  }
  if (a.plain.size() != 2) return Usage("playback: give TIME and OUT");
  time_t t;
  if (!ParseTime(a.plain[0], &t)) return Usage("playback: TIME is YYYY-MM-DDTHH:MM:SS, not " + a.plain[0]);
  if (int r = c.Open()) return r;
  Sink video, audio;
  video.name = "playback video";
  video.want = frames;
  audio.name = "playback audio";
  for (Sink* s : {&video, &audio}) {
    s->mu = &c.mu;
    s->cv = &c.cv;
  }
  if (!(video.file = OpenOut(a.plain[1]))) return 1;
  auto ao = a.opts.find("--audio-out");
  if (ao != a.opts.end() && !(audio.file = OpenOut(ao->second))) return 1;
  KivoP2pNotifySdPlayback(c.s);
  KivoP2pStartPlaybackRecv(c.s, Sink::Callback, &video, Sink::Callback, &audio);
  Say("devcli playback start at=%s", a.plain[0].c_str());
  if (int r = KivoP2pPlaybackSeek(c.s, t); r < 0) return Fail("playback seek", r);
  if (speed) {
    {
      std::unique_lock<std::mutex> g(c.mu);
      c.cv.wait_for(g, std::chrono::seconds(10), [&] { return video.frames > 0 || video.error; });
    }
    Say("devcli playback speed=%ld", speed);
    if (int r = KivoP2pSetPlaybackSpeed(c.s, static_cast<int>(speed)); r < 0) return Fail("playback speed", r);
  }
  const auto t0 = std::chrono::steady_clock::now();
  WaitSinks(c, {&video}, kIdleMs);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  KivoP2pStopPlayback(c.s);
  std::fclose(video.file);
  std::vector<Sink*> report = {&video};
  if (audio.file) {
    std::fclose(audio.file);
    report.push_back(&audio);
  }
  Say("devcli playback ms=%lld", static_cast<long long>(ms));
  return Report(report);
}

int Talk(Client& c, const std::vector<std::string>& args) {
  if (args.size() != 1) return Usage("talk: give FILE");
  std::ifstream in(args[0], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "devcli: cannot read %s\n", args[0].c_str());
    return 1;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
  if (bytes.empty()) {
    std::fprintf(stderr, "devcli: %s is empty: nothing to send\n", args[0].c_str());
    return 1;
  }
  if (int r = c.Open()) return r;
  if (int r = KivoP2pStartTalk(c.s); r < 0) return Fail("talk start", r);
  Say("devcli talk start");
  long blocks = 0, dropped = 0;
  auto next = std::chrono::steady_clock::now();
  for (size_t at = 0; at < bytes.size(); at += 320) {
    const int n = static_cast<int>(std::min<size_t>(320, bytes.size() - at));
    // A full send buffer drops the block: wait a little and send it again.
    while (KivoP2pSendMedia(c.s, bytes.data() + at, n) == 1) {
      ++dropped;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ++blocks;
    next += std::chrono::milliseconds(40);
    std::this_thread::sleep_until(next);
  }
  KivoP2pStopTalk(c.s);
  Say("devcli talk blocks=%ld bytes=%zu retried=%ld", blocks, bytes.size(), dropped);
  if (!KivoP2pIsAlive(c.s)) return Fail("talk", KIVO_ERR_CLOSED);
  return 0;
}

int Records(Client& c, const std::vector<std::string>& args) {
  time_t day;
  if (args.size() != 1 || !ParseDay(args[0], &day)) return Usage("records: give DAY as YYYY-MM-DD");
  if (int r = c.Open()) return r;
  RecordEntry* e = nullptr;
  int n = 0;
  if (int r = KivoP2pGetRecordList(c.s, day, 86400, &e, &n); r < 0) return Fail("record list", r);
  for (int i = 0; i < n; ++i)
    Say("record %04d-%02d-%02dT%02d:%02d:%02d duration=%u kind=%u", e[i].start.year, e[i].start.month,
        e[i].start.day, e[i].start.hour, e[i].start.minute, e[i].start.second, e[i].duration, e[i].kind);
  std::free(e);
  Say("devcli records count=%d", n);
  return 0;
}

int Features(Client& c, const std::vector<std::string>& args) {
  if (!args.empty()) return Usage("features takes no argument");
  if (int r = c.Open()) return r;
  DeviceFeatures f;
  if (int r = KivoP2pGetFeatures(c.s, &f); r < 0) return Fail("features", r);
  Say("channels=%u combined=%u sd_card=%u ptz=0x%x microphone=0x%x auto_tracking=0x%x double_light=0x%x", f.channel_count,
      f.combined_streams, f.sd_card, f.ptz, f.microphone, f.auto_tracking, f.double_light);
  Say("audio codec=%s rate=%u bits=%u channels=%u", CodecName(static_cast<int>(f.audio_codec)), f.audio_rate,
      f.audio_bits, f.audio_channels);
  Say("ext_instructions=0x%x cellular=%u battery=%u device_kind=%u type=%s", f.ext_instructions, f.cellular,
      f.battery_kind, f.device_kind, f.device_type);
  Say("zoom lenses=%u steps=%u mode=%u", f.zoom.lens_count, f.zoom.step_total, f.zoom.step_mode);
  Say("screen codec=%u size=%ux%u rotation=%u", f.screen_codec, f.screen_width, f.screen_height, f.screen_rotation);
  return 0;
}

int Ptz(Client& c, const std::vector<std::string>& args) {
  static const std::map<std::string, int> kDirs = {{"stop", 0}, {"up", 1}, {"down", 2}, {"left", 3}, {"right", 6}};
  if (args.size() != 1 || !kDirs.count(args[0])) return Usage("ptz: DIRECTION is up, down, left, right or stop");
  if (int r = c.Open()) return r;
  const int r = KivoP2pPtzCtrl(c.s, kDirs.at(args[0]));
  if (r < 0) return Fail("ptz", r);
  Say("devcli ptz %s sent", args[0].c_str());
  // Give the camera's answer (an event) a moment to arrive.
  for (int i = 0; i < 20 && c.events.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return 0;
}

int Lens(Client& c, const std::vector<std::string>& args) {
  uint8_t lens[12] = {};
  if (args.size() == 3) {
    for (int i = 0; i < 3; ++i) {
      long v = 0;
      if (!Number(args[static_cast<size_t>(i)], 0, 0x7FFFFFFF, &v)) return Usage("lens: A B C are numbers");
      for (int b = 0; b < 4; ++b) lens[i * 4 + b] = static_cast<uint8_t>(v >> (8 * b));
    }
  } else if (!args.empty()) {
    return Usage("lens: give nothing or A B C");
  }
  if (int r = c.Open()) return r;
  if (args.size() == 3) {
    if (int r = KivoP2pSetLensParam(c.s, lens); r < 0) return Fail("lens set", r);
  }
  const int r = KivoP2pGetLensParam(c.s, lens);
  if (r < 0) return Fail("lens get", r);
  auto word = [&](int i) { return lens[i * 4] | lens[i * 4 + 1] << 8 | lens[i * 4 + 2] << 16 | static_cast<uint32_t>(lens[i * 4 + 3]) << 24; };
  Say("lens %u %u %u", word(0), word(1), word(2));
  return 0;
}

std::string Hex(const uint8_t* p, int n) {
  std::string s;
  char b[4];
  for (int i = 0; i < n; ++i) {
    std::snprintf(b, sizeof(b), "%02x", p[i]);
    s += b;
  }
  return s;
}

int Raw(Client& c, const std::vector<std::string>& args) {
  long cmd = 0;
  if (args.empty() || args.size() > 2 || !Number(args[0], 0, 0xFFFFFFFF, &cmd)) return Usage("raw: give COMMAND [HEX]");
  std::vector<uint8_t> payload;
  if (args.size() == 2) {
    const std::string& h = args[1];
    if (h.size() % 2) return Usage("raw: HEX has an even number of digits");
    for (size_t i = 0; i < h.size(); i += 2) {
      long v = 0;
      if (!Number("0x" + h.substr(i, 2), 0, 255, &v)) return Usage("raw: HEX has only hex digits");
      payload.push_back(static_cast<uint8_t>(v));
    }
  }
  if (int o = c.Open()) return o;
  std::vector<uint8_t> reply(4096);
  const int r = KivoP2pCommand(c.s, static_cast<uint32_t>(cmd), payload.data(), static_cast<int>(payload.size()),
                               reply.data(), static_cast<int>(reply.size()), 3000);
  if (r < 0) return Fail("raw command", r);
  Say("reply length=%d bytes=%s", r, Hex(reply.data(), std::min(r, 4096)).c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string init, did, password, server, server_ports;
  long mode = 0, alive = 8;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (a == "-v") {
      g_verbose = true;
      continue;
    }
    if (a.rfind("-", 0) != 0) break;  // the command
    static const char* const kValued[] = {"--init", "--did", "--password", "--server", "--mode", "--alive", "--server-ports"};
    bool known = false;
    for (const char* k : kValued) known |= a == k;
    if (!known) return Usage("unknown option " + a);
    if (i + 1 >= argc) return Usage("missing value of " + a);
    const std::string v = argv[++i];
    if (a == "--init") init = v;
    else if (a == "--did") did = v;
    else if (a == "--password") password = v;
    else if (a == "--server") server = v;
    else if (a == "--server-ports") server_ports = v;
    else if (a == "--mode" && !Number(v, 0, 127, &mode)) return Usage("--mode takes 0-127");
    else if (a == "--alive" && !Number(v, 6, 30, &alive)) return Usage("--alive takes 6-30");
  }
  if (i >= argc) return Usage("no command (features, live, records, playback, talk, ptz, ...)");
  const std::string command = argv[i++];
  std::vector<std::string> args(argv + i, argv + argc);
  static const char* const kCommands[] = {"features", "live",   "records",  "playback", "talk", "ptz", "lens",
                                          "main-channel", "quality", "notice", "doorbell", "events", "raw", "query"};
  bool known = false;
  for (const char* k : kCommands) known |= command == k;
  if (!known) return Usage("unknown command " + command);
  if (init.empty() || did.empty()) return Usage("--init and --did are needed");
  if (std::string why = tools::InitStringProblem(init); !why.empty()) return Usage("--init: " + why);
  if (password.empty() && command != "query") return Usage("--password is needed");
  if (!server_ports.empty()) {
    unsigned u = 0, t = 0;
    char tail = 0;
    if (std::sscanf(server_ports.c_str(), "%u,%u%c", &u, &t, &tail) != 2 || u > 65533 || t > 65535)
      return Usage("--server-ports takes U,T");
    RVP_TestSetServerPorts(static_cast<uint16_t>(u), static_cast<uint16_t>(t));
  }
  LogSetLevel(g_verbose ? 5 : 0);
  setenv("RVS_SESS_ALIVE_SEC", std::to_string(alive).c_str(), 1);
  rvsSetInitString(init.c_str());
  KivoP2pInit();

  int status;
  {
    Client c;
    const std::string address = server.empty() ? std::string("rvs:") : "rvs:" + server;
    c.open = [&]() -> int {
      Say("devcli connect did=%s", did.c_str());
      int r = KivoP2pConnect2(address.c_str(), did.c_str(), static_cast<int>(mode), &c.s);
      if (r < 0) {
        Fail("connect", r);
        if (r == KIVO_ERR_FAILED2)
          std::fprintf(stderr, "devcli: the P2P library refused to start or to connect: check --init (-v shows its log)\n");
        return 1;
      }
      Say("devcli connected type=%s", KivoP2pConnTypeName(KivoP2pConnType(c.s)));
      KivoP2pSetEventCallback(c.s, OnEvent, nullptr, &c);
      if ((r = KivoP2pVerifyPassword(c.s, password.c_str())) < 0) return Fail("authentication", r);
      Say("devcli authenticated");
      return 0;
    };
    long n = 0;
    if (command == "query") {
      if (!args.empty()) return Usage("query takes no argument");
      if (mode != 0x79) mode = 0x7F;
      Say("devcli connect did=%s", did.c_str());
      const int r = KivoP2pConnect2(address.c_str(), did.c_str(), static_cast<int>(mode), &c.s);
      if (r < 0) {
        status = Fail("query", r);
      } else {
        // A query's answer is no session: nothing to authenticate or close on the link.
        const long answer = static_cast<long>(KivoP2pTransportHandle(c.s));
        Say("devcli query answer=%ld%s", answer, answer == 0x10000 ? " online" : "");
        status = 0;
      }
    } else if (command == "features") {
      status = Features(c, args);
    } else if (command == "live") {
      status = Live(c, args);
    } else if (command == "records") {
      status = Records(c, args);
    } else if (command == "playback") {
      status = Playback(c, args);
    } else if (command == "talk") {
      status = Talk(c, args);
    } else if (command == "ptz") {
      status = Ptz(c, args);
    } else if (command == "lens") {
      status = Lens(c, args);
    } else if (command == "raw") {
      status = Raw(c, args);
    } else if (command == "doorbell") {
      if (!args.empty()) return Usage("doorbell takes no argument");
      if ((status = c.Open()) == 0) {
        const uint8_t p[8] = {1, 0, 0, 0, 0, 0, 0, 0};
        const int r = KivoP2pSendCmdNoWait(c.s, CMD_DOORBELL_START, p, 8);
        status = r < 0 ? Fail("doorbell", r) : 0;
      }
    } else if (command == "notice") {
      if (args.size() != 1 || (args[0] != "live" && args[0] != "sd")) return Usage("notice: live or sd");
      if ((status = c.Open()) == 0) {
        const int r = args[0] == "live" ? KivoP2pNotifyLiveView(c.s) : KivoP2pNotifySdPlayback(c.s);
        status = r < 0 ? Fail("notice", r) : 0;
      }
    } else if (command == "main-channel") {
      if (args.size() != 1 || !Number(args[0], 0, 3, &n)) return Usage("main-channel: give N (0-3)");
      if ((status = c.Open()) == 0) {
        const int r = KivoP2pSetMainChannel(c.s, 0, static_cast<int>(n));
        status = r < 0 ? Fail("main channel", r) : 0;
        if (!status) Say("devcli main-channel %ld", n);
      }
    } else if (command == "quality") {
      if (args.size() != 2 || !Number(args[0], 0, 3, &n) || (args[1] != "main" && args[1] != "sub"))
        return Usage("quality: give CHANNEL (0-3) and main or sub");
      if ((status = c.Open()) == 0) {
        const int r = KivoP2pSetVideoQuality(c.s, static_cast<int>(n), args[1] == "sub");
        status = r < 0 ? Fail("quality", r) : 0;
      }
    } else {  // events
      if (args.size() != 1 || !Number(args[0], 1, 3600, &n)) return Usage("events: give SECONDS (1-3600)");
      if ((status = c.Open()) == 0) {
        for (long t = 0; t < n * 10 && KivoP2pIsAlive(c.s); ++t) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        Say("devcli events count=%ld", c.events.load());
        status = c.events.load() > 0 ? 0 : 1;
        if (status) std::fprintf(stderr, "devcli: no event arrived in %ld s\n", n);
      }
    }
  }
  KivoP2pDeinit();
  return status;
}
