#include "tools/camsim/camsim.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <list>
#include <map>

#include "p2p/rvs_api.h"
#include "p2p/state.h"
#include "platform/byte_order.h"
#include "sdk/device/kivo_wire.h"
#include "tools/camsim/link.h"

namespace camsim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kReadStepMs = 200;
constexpr uint32_t kMaxRequest = 64 * 1024;     // a command payload a camera accepts
constexpr uint32_t kMaxTalkFrame = 64 * 1024;   // a talkback frame
constexpr int kMaxWrite = 0x200000;             // one RVS_Write
constexpr int kPendingLimit = 1 << 20;          // bytes waiting in a channel before a stream waits
constexpr int kRecordsPerPacket = 8;
constexpr int kMaxRecords = 4096;

// Device error codes of CMD_ERROR_REPLY.
enum : uint32_t { kErrBadHeader = 2, kErrUnsupported = 3, kErrBadParam = 4, kErrNotAllowed = 7 };

// Pan-tilt codes: stop, up, down, left, right.
enum : int { kPtzStop = 0, kPtzUp = 1, kPtzDown = 2, kPtzLeft = 3, kPtzRight = 6 };

time_t Midnight(time_t t) {
  struct tm tm {};
  localtime_r(&t, &tm);
  tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
  tm.tm_isdst = -1;
  return mktime(&tm);
}

class RvsLink : public Link {
 public:
  explicit RvsLink(int h) : h_(h) {}
  int Read(int ch, char* dst, int* size, int timeout_ms) override {
    return RVS_Read(h_, static_cast<char>(ch), dst, size, static_cast<unsigned>(timeout_ms));
  }
  int Write(int ch, const char* p, int n) override { return RVS_Write(h_, static_cast<char>(ch), p, n); }
  int Pending(int ch, int* pending) override { return RVS_Check_Buffer(h_, static_cast<char>(ch), pending, nullptr); }
  void Close(bool force) override {
    if (force) RVS_ForceClose(h_); else RVS_Close(h_);
  }

 private:
  int h_;
};

}  // namespace

std::unique_ptr<Link> MakeRvsLink(int handle) { return std::make_unique<RvsLink>(handle); }

struct Session;

// What a camera keeps across sessions.
struct CameraState {
  std::mutex mu;
  int pan = 0, tilt = 0;
  uint8_t lens[12] = {1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
};

struct Simulator::Impl {
  Config cfg;
  Printer print;
  std::vector<MediaTrack> video;
  MediaTrack audio;
  bool has_audio = false;
  std::atomic<bool> stop{false};
  std::atomic<bool> started{false};
  std::vector<std::thread> listeners;
  std::atomic<int> finished{0};
  std::mutex talk_mu;  // the talkback file
  std::mutex sessions_mu;
  std::list<std::unique_ptr<Session>> sessions;
  std::vector<std::unique_ptr<CameraState>> states;  // one per camera

  void Say(const std::string& s) {
    if (print) print(s);
  }
  void ListenLoop(size_t cam);
  void Reap(bool all);
  std::string FeatureJson() const;
};

// One client's session with one camera.
struct Session {
  Simulator::Impl* sim;
  const Camera* cam;
  std::unique_ptr<Link> link;
  std::atomic<bool> run{true};
  std::atomic<bool> ended{false};
  bool authed = false;
  std::thread cmd;
  std::mutex write_mu[8];

  struct Stream {
    int av = 0, channel = 0;
    bool playback = false;
    std::atomic<bool> run{true};
    std::thread thread;
  };
  std::mutex streams_mu;
  std::list<std::unique_ptr<Stream>> streams;
  std::atomic<int> speed{1};

  std::thread talk;
  std::atomic<bool> talk_stop{false};
  long long talk_frames = 0, talk_bytes = 0;
  CameraState* state;
  Clock::time_point next_event;

  Session(Simulator::Impl* s, const Camera* c, CameraState* st, std::unique_ptr<Link> l)
      : sim(s), cam(c), link(std::move(l)), state(st) {}

  void Start() { cmd = std::thread([this] { CommandLoop(); }); }

  // Ends every thread of the session; the session's handle is closed by the command loop.
  void Join() {
    run = false;
    if (cmd.joinable()) cmd.join();
  }

  bool Send(int ch, const uint8_t* p, size_t n) {
    std::lock_guard<std::mutex> g(write_mu[ch]);
    while (n > 0) {
      const int part = static_cast<int>(std::min<size_t>(n, kMaxWrite));
      const int r = link->Write(ch, reinterpret_cast<const char*>(p), part);
      if (r != part) {
        run = false;
        return false;
      }
      p += part;
      n -= static_cast<size_t>(part);
    }
    return true;
  }

  void SendCmd(uint32_t command, const uint8_t* payload, size_t n) {
    std::vector<uint8_t> pkt(8 + n);
    kivo::PutCmdHeader(pkt.data(), command, static_cast<uint32_t>(n));
    if (n) std::memcpy(pkt.data() + 8, payload, n);
    Send(0, pkt.data(), pkt.size());
  }

  void SendError(uint32_t command, uint32_t code) {
    uint8_t p[8];
    platform::PutLe32(p, command);
    platform::PutLe32(p + 4, code);
    SendCmd(CMD_ERROR_REPLY, p, 8);
  }

  void SendEvent(const std::string& json) {
    SendCmd(CMD_EVENT, reinterpret_cast<const uint8_t*>(json.data()), json.size());
  }

  // Reads exactly n bytes of a channel; false when the session ended or run was cleared.
  bool ReadN(int ch, uint8_t* dst, int n, const std::atomic<bool>* extra = nullptr, bool* idle = nullptr) {
    int got = 0;
    while (got < n) {
      if (!run.load() || (extra && !extra->load())) return false;
      int size = n - got;
      const int r = link->Read(ch, reinterpret_cast<char*>(dst + got), &size, kReadStepMs);
      got += size;
      if (r == kLinkTimeout) {
        if (got == 0 && idle) {
          *idle = true;
          return false;
        }
        continue;
      }
      if (r != 0) {
        run = false;
        return false;
      }
    }
    return true;
  }

  void CommandLoop() {
    next_event = Clock::now() + std::chrono::milliseconds(sim->cfg.event_every_ms);
    std::vector<uint8_t> payload;
    while (run.load() && !sim->stop.load()) {
      uint8_t head[8];
      bool idle = false;
      if (!ReadN(0, head, 8, nullptr, &idle)) {
        if (idle) {
          Tick();
          continue;
        }
        break;
      }
      const kivo::CmdHeader hd = kivo::GetCmdHeader(head);
      if (hd.length > kMaxRequest) {
        sim->Say("camsim refused did=" + cam->did + " command=" + std::to_string(hd.command) + " length=" +
                 std::to_string(hd.length));
        SendError(hd.command, kErrBadHeader);
        break;
      }
      payload.resize(hd.length);
      if (hd.length && !ReadN(0, payload.data(), static_cast<int>(hd.length))) break;
      Handle(hd.command, payload.data(), static_cast<int>(hd.length));
      Tick();
    }
    const bool by_stop = sim->stop.load();
    run = false;
    StopStreams(-1, -1, true);
    StopTalk(true);
    link->Close(by_stop);
    sim->Say("camsim session ended did=" + cam->did);
    ended = true;
  }

  void Tick() {
    if (sim->cfg.event_every_ms <= 0 || !authed || Clock::now() < next_event) return;
    next_event = Clock::now() + std::chrono::milliseconds(sim->cfg.event_every_ms);
    SendEvent("{\"type\":\"motion\",\"channel\":0,\"time\":" + std::to_string(time(nullptr)) + "}");
  }

  void Handle(uint32_t command, const uint8_t* p, int len) {
    kivo::CmdFields f;
    const kivo::CmdLayout* layout = kivo::FindLayout(command);
    static const uint32_t kRequests[] = {
        CMD_START_VIDEO,  CMD_STOP_VIDEO,   CMD_START_AUDIO,    CMD_STOP_AUDIO,         CMD_PLAYBACK_CONTROL,
        CMD_STREAM_QUALITY, CMD_TALK_START, CMD_LIVE_NOTICE,    CMD_SD_PLAYBACK_NOTICE, CMD_TALK_START_OLD,
        CMD_TALK_STOP,    CMD_CLOSE_NOTICE, CMD_SET_LENS,       CMD_GET_LENS,           CMD_SET_MAIN_CHANNEL,
        CMD_POST_CONNECT, CMD_DOORBELL_START, CMD_PTZ,          CMD_RECORD_LIST,        CMD_PASSWORD,
        CMD_FEATURES};
    bool request = false;
    for (uint32_t c : kRequests) request |= c == command;
    if (!request || !layout) {
      SendError(command, kErrUnsupported);
      return;
    }
    if (kivo::ParsePayload(command, p, len, &f) != 0 || (layout->size >= 0 && len != layout->size)) {
      SendError(command, kErrBadParam);
      return;
    }
    if (!authed && command != CMD_PASSWORD && command != CMD_CLOSE_NOTICE) {
      SendError(command, kErrNotAllowed);
      return;
    }
    switch (command) {
      case CMD_PASSWORD: return Password(f);
      case CMD_FEATURES: {
        const std::string j = sim->FeatureJson();
        SendCmd(command ^ 1u, reinterpret_cast<const uint8_t*>(j.data()), j.size());
        return;
      }
      case CMD_START_VIDEO: return StartVideo(f.word[0], f.word[1]);
      case CMD_STOP_VIDEO: StopStreams(static_cast<int>(f.word[0]), static_cast<int>(f.word[1]), false); return;
      case CMD_START_AUDIO: return StartAudio(f.word[0]);
      case CMD_STOP_AUDIO: StopStreams(static_cast<int>(f.word[0]), -1, false); return;
      case CMD_PLAYBACK_CONTROL: return Playback(f);
      case CMD_STREAM_QUALITY:
        if (f.word[0] >= sim->video.size() || (f.word[1] != 1 && f.word[1] != 5)) SendError(command, kErrBadParam);
        return;
      case CMD_TALK_START:
      case CMD_TALK_START_OLD: {
        if (f.word[0] != 3) return SendError(command, kErrBadParam);
        StartTalk();
        if (command == CMD_TALK_START) {
          const uint8_t ok[4] = {0, 0, 0, 0};
          SendCmd(command ^ 1u, ok, 4);
        }
        return;
      }
      case CMD_TALK_STOP: StopTalk(false); return;
      case CMD_LIVE_NOTICE:
      case CMD_SD_PLAYBACK_NOTICE:
      case CMD_DOORBELL_START: return;
      case CMD_CLOSE_NOTICE: run = false; return;
      case CMD_SET_LENS: {
        std::lock_guard<std::mutex> g(state->mu);
        std::memcpy(state->lens, f.blob, sizeof(state->lens));
        return;
      }
      case CMD_GET_LENS: {
        uint8_t lens[12];
        {
          std::lock_guard<std::mutex> g(state->mu);
          std::memcpy(lens, state->lens, sizeof(lens));
        }
        SendCmd(command ^ 1u, lens, sizeof(lens));
        return;
      }
      case CMD_SET_MAIN_CHANNEL:
        if (f.word[1] >= sim->video.size()) return SendError(command, kErrBadParam);
        return SendCmd(command ^ 1u, p, 8);
      case CMD_POST_CONNECT: SendCmd(command ^ 1u, nullptr, 0); return;
      case CMD_PTZ: return Ptz(f.byte[0]);
      case CMD_RECORD_LIST: return Records(f);
      default: SendError(command, kErrUnsupported); return;
    }
  }

  void Password(const kivo::CmdFields& f) {
    const std::string given(reinterpret_cast<const char*>(f.blob), strnlen(reinterpret_cast<const char*>(f.blob), 48));
    authed = given == cam->password;
    uint8_t r[8] = {};
    platform::PutLe32(r, authed ? 0 : 1);
    sim->Say(std::string("camsim auth did=") + cam->did + (authed ? " ok" : " refused"));
    SendCmd(CMD_PASSWORD ^ 1u, r, 8);
  }

  void Ptz(int dir) {
    std::unique_lock<std::mutex> g(state->mu);
    int& pan = state->pan;
    int& tilt = state->tilt;
    switch (dir) {
      case kPtzStop: break;
      case kPtzUp: ++tilt; break;
      case kPtzDown: --tilt; break;
      case kPtzLeft: --pan; break;
      case kPtzRight: ++pan; break;
      default: g.unlock(); return SendError(CMD_PTZ, kErrBadParam);
    }
    const std::string where = "pan=" + std::to_string(pan) + " tilt=" + std::to_string(tilt);
    const std::string json = "{\"type\":\"ptz\",\"pan\":" + std::to_string(pan) + ",\"tilt\":" + std::to_string(tilt) + "}";
    g.unlock();
    sim->Say("camsim ptz did=" + cam->did + " dir=" + std::to_string(dir) + " " + where);
    SendEvent(json);
  }

  void Records(const kivo::CmdFields& f) {
    const time_t from = DeviceTimeToTime(f.time[0]), to = DeviceTimeToTime(f.time[1]);
    std::vector<RecordEntry> list;
    if (from == -1 || to == -1 || to < from) return SendError(CMD_RECORD_LIST, kErrBadParam);
    for (time_t day = Midnight(from); day < to && list.size() <= kMaxRecords; day = Midnight(day + 26 * 3600)) {
      for (int hr = 0; hr < sim->cfg.records_per_day && hr < 24; ++hr) {
        const time_t t = day + hr * 3600;
        if (t < from || t >= to) continue;
        list.push_back({TimeToDeviceTime(t), static_cast<uint32_t>(sim->cfg.record_sec), static_cast<uint8_t>(1 + hr % 2)});
      }
    }
    if (list.size() > kMaxRecords) return SendError(CMD_RECORD_LIST, kErrBadParam);
    size_t at = 0;
    do {
      const int n = static_cast<int>(std::min<size_t>(kRecordsPerPacket, list.size() - at));
      std::vector<uint8_t> pkt(kivo::kRecordListHead + kivo::kRecordEntrySize * static_cast<size_t>(n));
      kivo::PutRecordListHead(pkt.data(), static_cast<uint32_t>(list.size()), at + n >= list.size(), n);
      for (int i = 0; i < n; ++i) kivo::PutRecordEntry(pkt.data() + 12 + 16 * i, list[at + static_cast<size_t>(i)]);
      SendCmd(CMD_RECORD_LIST ^ 1u, pkt.data(), pkt.size());
      at += static_cast<size_t>(n);
    } while (at < list.size());
    sim->Say("camsim records did=" + cam->did + " count=" + std::to_string(list.size()));
  }

  void StartVideo(uint32_t av, uint32_t channel) {
    if ((av != 2 && av != 3) || channel >= sim->video.size()) return SendError(CMD_START_VIDEO, kErrBadParam);
    {
      std::lock_guard<std::mutex> g(streams_mu);
      for (auto& s : streams)
        if (s->av == static_cast<int>(av) && s->channel == static_cast<int>(channel) && !s->playback) return;
    }
    sim->Say("camsim video start did=" + cam->did + " av=" + std::to_string(av) + " channel=" + std::to_string(channel));
    Launch(static_cast<int>(av), static_cast<int>(channel), &sim->video[channel], false, 0, 0);
  }

  void StartAudio(uint32_t av) {
    if (av != 1) return SendError(CMD_START_AUDIO, kErrBadParam);
    if (!sim->has_audio) return SendError(CMD_START_AUDIO, kErrUnsupported);
    {
      std::lock_guard<std::mutex> g(streams_mu);
      for (auto& s : streams)
        if (s->av == 1) return;
    }
    sim->Say("camsim audio start did=" + cam->did);
    Launch(1, 0, &sim->audio, false, 0, 0);
  }

  void Playback(const kivo::CmdFields& f) {
    switch (f.word[1]) {
      case PLAYBACK_START_AT: {
        const uint32_t av = f.word[0];
        const time_t t = DeviceTimeToTime(f.time[0]);
        if (av < 2 || av > 5 || t == -1) return SendError(CMD_PLAYBACK_CONTROL, kErrBadParam);
        const time_t day = Midnight(t);
        const long off = static_cast<long>(t - day);
        const long rec = off / 3600;
        if (rec >= sim->cfg.records_per_day || off - rec * 3600 >= sim->cfg.record_sec)
          return SendError(CMD_PLAYBACK_CONTROL, kErrBadParam);  // no recording there
        StopStreams(-1, -1, false, true);
        speed = 1;
        const uint32_t ts = static_cast<uint32_t>(off) * 1000u;
        const uint32_t into_ms = static_cast<uint32_t>(off - rec * 3600) * 1000u;
        char when[48];
        std::snprintf(when, sizeof(when), "%02ld:%02ld:%02ld", off / 3600, off / 60 % 60, off % 60);
        sim->Say("camsim playback start did=" + cam->did + " at=" + when);
        // Like a camera, announce where playback (re)starts before its first frame: a control packet of kind 2
        // whose timestamp is the time in seconds.
        MediaFrameHeader restart{};
        restart.flags = 2;
        restart.timestamp = static_cast<uint32_t>(t);
        uint8_t packet[16];
        kivo::PutFrameHeader(packet, restart);
        if (!Send(static_cast<int>(av), packet, sizeof packet)) return;
        Launch(static_cast<int>(av), 0, &sim->video[0], true, ts, into_ms);
        if (sim->has_audio) Launch(4, 0, &sim->audio, true, ts, into_ms);
        return;
      }
      case PLAYBACK_SPEED:
        if (f.word[2] == 0 || f.word[2] > 16) return SendError(CMD_PLAYBACK_CONTROL, kErrBadParam);
        speed = static_cast<int>(f.word[2]);
        sim->Say("camsim playback speed=" + std::to_string(f.word[2]) + " did=" + cam->did);
        return;
      case PLAYBACK_STOP:
        StopStreams(-1, -1, false, true);
        sim->Say("camsim playback stop did=" + cam->did);
        return;
      default: SendError(CMD_PLAYBACK_CONTROL, kErrBadParam); return;
    }
  }

  void Launch(int av, int channel, const MediaTrack* track, bool playback, uint32_t ts0, uint32_t into_ms) {
    auto s = std::make_unique<Stream>();
    s->av = av;
    s->channel = channel;
    s->playback = playback;
    Stream* sp = s.get();
    size_t first = 0;
    for (uint32_t ms = 0; into_ms && ms < into_ms; first = (first + 1) % track->frames.size())
      ms += track->frames[first].duration_ms;
    sp->thread = std::thread([this, sp, track, ts0, first] { StreamLoop(sp, track, ts0, first); });
    std::lock_guard<std::mutex> g(streams_mu);
    streams.push_back(std::move(s));
  }

  void StreamLoop(Stream* s, const MediaTrack* track, uint32_t ts, size_t i) {
    std::vector<uint8_t> buf;
    auto next = Clock::now();
    while (run.load() && s->run.load()) {
      const MediaFrame& f = track->frames[i];
      MediaFrameHeader hd{};
      hd.codec = track->wire_codec;
      hd.channel = static_cast<uint8_t>(s->channel);
      hd.flags = track->video ? (f.key ? 1 : 0) : 0;
      hd.length = static_cast<uint32_t>(f.size);
      hd.timestamp = ts;
      buf.resize(16 + f.size);
      kivo::PutFrameHeader(buf.data(), hd);
      std::memcpy(buf.data() + 16, track->bytes.data() + f.offset, f.size);
      // A client that reads slowly holds the stream back rather than growing the library's buffers.
      for (int pending = 0; run.load() && s->run.load();) {
        if (link->Pending(s->av, &pending) != 0 || pending < kPendingLimit) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      if (!run.load() || !s->run.load() || !Send(s->av, buf.data(), buf.size())) break;
      ts += f.duration_ms;
      i = (i + 1) % track->frames.size();
      const int sp = s->playback ? speed.load() : 1;
      next += std::chrono::microseconds(f.duration_ms * 1000 / (sp > 0 ? sp : 1));
      while (run.load() && s->run.load() && Clock::now() < next)
        std::this_thread::sleep_for(std::min<Clock::duration>(next - Clock::now(), std::chrono::milliseconds(20)));
    }
  }

  // Stops the streams of an avIndex and channel (-1: any); all: every stream; playback: playback streams only.
  void StopStreams(int av, int channel, bool all, bool playback = false) {
    std::list<std::unique_ptr<Stream>> gone;
    {
      std::lock_guard<std::mutex> g(streams_mu);
      for (auto it = streams.begin(); it != streams.end();) {
        Stream& s = **it;
        const bool match = all || (playback ? s.playback
                                            : !s.playback && s.av == av && (channel < 0 || s.channel == channel));
        if (match) {
          s.run = false;
          gone.push_back(std::move(*it));
          it = streams.erase(it);
        } else {
          ++it;
        }
      }
    }
    for (auto& s : gone) {
      s->thread.join();
      if (!all && !playback)
        sim->Say("camsim stream stop did=" + cam->did + " av=" + std::to_string(s->av) + " channel=" +
                 std::to_string(s->channel));
    }
  }

  void StartTalk() {
    if (talk.joinable()) {
      talk_stop = false;
      return;
    }
    talk_stop = false;
    sim->Say("camsim talk start did=" + cam->did);
    talk = std::thread([this] { TalkLoop(); });
  }

  void StopTalk(bool end) {
    if (!talk.joinable()) return;
    talk_stop = true;
    if (end) talk.join();
  }

  // Reads talkback frames from channel 3 for the whole session; after a stop, the bytes already sent are
  // drained before the count is reported.
  void TalkLoop() {
    std::vector<uint8_t> payload;
    FILE* out = nullptr;
    if (!sim->cfg.talk_out.empty()) {
      std::lock_guard<std::mutex> g(sim->talk_mu);
      out = std::fopen(sim->cfg.talk_out.c_str(), "ab");
    }
    // After a stop, the count once the channel has gone quiet or the session has ended.
    auto report_stop = [&] {
      if (talk_stop.load() && (talk_frames || talk_bytes)) {
        sim->Say("camsim talk stop did=" + cam->did + " frames=" + std::to_string(talk_frames) + " bytes=" +
                 std::to_string(talk_bytes));
        talk_frames = talk_bytes = 0;
      }
    };
    while (run.load()) {
      uint8_t head[16];
      bool idle = false;
      if (!ReadN(3, head, 16, nullptr, &idle)) {
        if (idle) report_stop();
        if (idle) continue;
        break;
      }
      const MediaFrameHeader hd = kivo::GetFrameHeader(head);
      if (hd.length > kMaxTalkFrame || hd.codec != 0x8A) {
        sim->Say("camsim talk refused did=" + cam->did + " codec=" + std::to_string(hd.codec) + " length=" +
                 std::to_string(hd.length));
        run = false;
        break;
      }
      payload.resize(hd.length);
      if (hd.length && !ReadN(3, payload.data(), static_cast<int>(hd.length))) break;
      ++talk_frames;
      talk_bytes += hd.length;
      if (out && hd.length) {
        std::lock_guard<std::mutex> g(sim->talk_mu);
        std::fwrite(payload.data(), 1, hd.length, out);
        std::fflush(out);
      }
    }
    report_stop();
    if (out) std::fclose(out);
  }
};

std::string Simulator::Impl::FeatureJson() const {
  std::string feature = cfg.features;
  if (feature.empty()) {
    feature = "{\"MultiChannels\":\"" + std::to_string(video.size()) +
              "\",\"SupportPTZ\":\"yes\",\"AudioFmt\":\"g711a:8000:16:1\",\"Microphone\":\"yes\","
              "\"DoubleLight\":\"Yes,Dim\",\"ExtInstructions\":\"pbrate,status-led\",\"D\":\"camsim\"}";
  }
  return "{\"feature\":" + feature + ",\"setting\":{\"SDTotal\":\"" + std::to_string(cfg.records_per_day ? 32 : 0) +
         "\"}}";
}

void Simulator::Impl::Reap(bool all) {
  std::list<std::unique_ptr<Session>> gone;
  {
    std::lock_guard<std::mutex> g(sessions_mu);
    for (auto it = sessions.begin(); it != sessions.end();) {
      if (all || (*it)->ended.load()) {
        gone.push_back(std::move(*it));
        it = sessions.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& s : gone) s->Join();
}

void Simulator::Impl::ListenLoop(size_t index) {
  const Camera& cam = cfg.cameras[index];
  int served = 0;
  while (!stop.load() && (cfg.max_sessions == 0 || served < cfg.max_sessions)) {
    const int h = RVS_Listen(cam.did.c_str(), 600, 0, static_cast<char>(cfg.login_mode));
    Reap(false);
    if (h < 0) {
      if (stop.load()) break;
      Say("camsim listen did=" + cam.did + " result=" + std::to_string(h));
      if (h != RVS_ERR_TIME_OUT) std::this_thread::sleep_for(std::chrono::milliseconds(200));
      continue;
    }
    ++served;
    RVS_SessionInfo info{};
    RVS_Check(h, &info);
    Say("camsim session did=" + cam.did + " handle=" + std::to_string(h) + " mode=" + std::to_string(info.Mode));
    auto s = std::make_unique<Session>(this, &cam, states[index].get(), MakeRvsLink(h));
    s->Start();
    std::lock_guard<std::mutex> g(sessions_mu);
    sessions.push_back(std::move(s));
  }
  ++finished;
}

Simulator::Simulator(Config config, Printer printer) : impl_(new Impl) {
  impl_->cfg = std::move(config);
  impl_->print = std::move(printer);
}

Simulator::~Simulator() { Stop(); }

bool Simulator::Start(std::string* why) {
  Impl& m = *impl_;
  if (m.cfg.cameras.empty() || m.cfg.video.empty()) {
    *why = "at least one camera and one video file are needed";
    return false;
  }
  for (const std::string& path : m.cfg.video) {
    MediaTrack t;
    if (!LoadVideo(path, m.cfg.codec, m.cfg.fps, &t, why)) return false;
    m.Say("camsim video " + path + " frames=" + std::to_string(t.frames.size()) + " fps=" + std::to_string(t.fps));
    m.video.push_back(std::move(t));
  }
  if (!m.cfg.audio.empty()) {
    if (!LoadAudio(m.cfg.audio, &m.audio, why)) return false;
    m.has_audio = true;
  }
  if (!m.cfg.talk_out.empty()) {
    FILE* f = std::fopen(m.cfg.talk_out.c_str(), "wb");
    if (!f) {
      *why = "cannot write " + m.cfg.talk_out;
      return false;
    }
    std::fclose(f);
  }
  for (size_t i = 0; i < m.cfg.cameras.size(); ++i) m.states.push_back(std::make_unique<CameraState>());
  if (!m.cfg.p2p) {
    m.started = true;
    return true;
  }
  const std::string param = "{\"InitString\":\"" + m.cfg.init + "\",\"SessAliveSec\":" + std::to_string(m.cfg.alive_sec) + "}";
  const int r = RVS_Initialize(param.c_str());
  if (r != 0) {
    *why = "RVS_Initialize gave " + std::to_string(r);
    return false;
  }
  m.started = true;
  for (size_t i = 0; i < m.cfg.cameras.size(); ++i) m.listeners.emplace_back([this, i] { impl_->ListenLoop(i); });
  return true;
}

bool Simulator::Ready() const {
  if (!impl_->cfg.p2p) return impl_->started.load();
  int logged_in = 0;
  std::lock_guard<p2p::Mutex> g(p2p::g_rvs.mutex);
  for (int i = 0; p2p::g_rvs.sessions && i < p2p::g_rvs.max_num_sess.load(); ++i) {
    const p2p::Session& s = p2p::g_rvs.sessions[i];
    if (s.InUse() && s.role == p2p::kRoleDevice && !s.established.load() && s.login_result.load() == 0) ++logged_in;
  }
  return logged_in >= static_cast<int>(impl_->cfg.cameras.size());
}

bool Simulator::Finished() const {
  return impl_->finished.load() >= static_cast<int>(impl_->cfg.cameras.size());
}

void Simulator::Stop() {
  Impl& m = *impl_;
  if (!m.started.exchange(false)) return;
  m.stop = true;
  // A listen ends within its next poll after a break; a camera done listening has already counted itself.
  while (m.finished.load() < static_cast<int>(m.listeners.size())) {
    RVS_Listen_Break();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  for (std::thread& t : m.listeners)
    if (t.joinable()) t.join();
  m.listeners.clear();
  m.Reap(true);
  if (m.cfg.p2p) RVS_DeInitialize();
}

bool Simulator::Adopt(const std::string& did, std::unique_ptr<Link> link, const std::string& how) {
  Impl& m = *impl_;
  for (size_t i = 0; i < m.cfg.cameras.size(); ++i) {
    if (m.cfg.cameras[i].did != did) continue;
    std::lock_guard<std::mutex> g(m.sessions_mu);
    if (!m.started.load() || m.stop.load()) return false;
    m.Say("camsim session did=" + did + " " + how);
    auto s = std::make_unique<Session>(&m, &m.cfg.cameras[i], m.states[i].get(), std::move(link));
    s->Start();
    m.sessions.push_back(std::move(s));
    return true;
  }
  return false;
}

}  // namespace camsim
