// A recording media sink behind AvRenderOps: every call is checked (a live sink, sane arguments, nothing
// after Release) and noted under the sink's own lock, since receive threads call it at once.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "av/av_render_ops.h"

class IAvRender {
 public:
  virtual ~IAvRender() = default;
};

class FakeSink : public IAvRender {
 public:
  struct Event {
    int32_t event;
    int32_t value;
  };

  static FakeSink* Of(IAvRender* s) { return static_cast<FakeSink*>(s); }
  static const AvRenderOps* Ops();

  std::mutex mu;
  std::vector<std::string> faults;  // argument or lifetime faults seen
  std::vector<Event> events;
  std::vector<std::string> order;      // "event:N" and "frame:TYPE" for the first frame of each type
  std::map<AvStreamType, int> frames;  // frames per stream type
  std::map<AvStreamType, int> keys;    // key frames per stream type
  std::map<AvStreamType, uint32_t> last_ts;
  std::vector<AvStreamType> stops;
  int releases = 0, mutes = 0, unmutes = 0, swaps = 0, in_call = 0, max_in_call = 0;
  bool muted = false, recording = false;
  std::vector<std::string> snapshots;

  int Frames(AvStreamType t) {
    std::lock_guard<std::mutex> lk(mu);
    auto it = frames.find(t);
    return it == frames.end() ? 0 : it->second;
  }
  int Releases() {
    std::lock_guard<std::mutex> lk(mu);
    return releases;
  }
  std::vector<std::string> Faults() {
    std::lock_guard<std::mutex> lk(mu);
    return faults;
  }
  bool HasEvent(int32_t e) {
    std::lock_guard<std::mutex> lk(mu);
    for (const Event& ev : events)
      if (ev.event == e) return true;
    return false;
  }

  // Called with mu held.
  void Check(const char* what) {
    if (releases > 0) faults.push_back(std::string(what) + " after Release");
  }
};

namespace fake_sink_ops {

struct Guard {
  explicit Guard(IAvRender* s, const char* what) : f(FakeSink::Of(s)), lk(f->mu) {
    f->Check(what);
    f->in_call++;
    if (f->in_call > f->max_in_call) f->max_in_call = f->in_call;
  }
  ~Guard() { f->in_call--; }
  FakeSink* f;
  std::lock_guard<std::mutex> lk;
};

inline void Release(IAvRender* s) {
  FakeSink* f = FakeSink::Of(s);
  std::lock_guard<std::mutex> lk(f->mu);
  f->Check("Release");
  f->releases++;
}
inline void OnEvent(int32_t e, int32_t v, IAvRender* s) {
  Guard g(s, "OnEvent");
  g.f->events.push_back({e, v});
  g.f->order.push_back("event:" + std::to_string(e));
}
inline int32_t OnFrame(AvStreamType t, uint32_t ts, const void* data, int32_t len, int32_t param,
                       IAvRender* s) {
  Guard g(s, "OnFrame");
  FakeSink* f = g.f;
  const int codec = static_cast<int>(t & 0xFFFF);
  const uint32_t ch = t >> 16;
  if (!data || len <= 0) f->faults.push_back("OnFrame without data");
  if (ch > 3) f->faults.push_back("OnFrame channel " + std::to_string(ch));
  if (codec == 0) f->faults.push_back("OnFrame codec 0");
  const bool video = codec == 1 || (codec >= 3 && codec <= 13);
  if (video && param != 0 && param != 1) f->faults.push_back("OnFrame key flag " + std::to_string(param));
  if (video && f->frames[t] == 0 && param != 1)
    f->faults.push_back("first frame of a stream not a key frame");
  if (f->frames[t] == 0) f->order.push_back("frame:" + std::to_string(t));
  f->frames[t]++;
  if (param == 1 && video) f->keys[t]++;
  f->last_ts[t] = ts;
  return 0;
}
inline void OnStreamStop(AvStreamType t, IAvRender* s) {
  Guard g(s, "OnStreamStop");
  g.f->stops.push_back(t);
}
inline void Mute(IAvRender* s) {
  Guard g(s, "Mute");
  g.f->mutes++;
  g.f->muted = true;
}
inline void Unmute(IAvRender* s) {
  Guard g(s, "Unmute");
  g.f->unmutes++;
  g.f->muted = false;
}
inline bool IsMuted(IAvRender* s) {
  Guard g(s, "IsMuted");
  return g.f->muted;
}
inline bool Snapshot(const char* path, IAvRender* s) {
  Guard g(s, "Snapshot");
  if (!path || !*path) g.f->faults.push_back("Snapshot without a path");
  g.f->snapshots.push_back(path ? path : "");
  return true;
}
inline void SwapChannels(int32_t a, int32_t b, IAvRender* s) {
  Guard g(s, "SwapChannels");
  if (a < 0 || a > 3 || b < 0 || b > 3 || a == b) g.f->faults.push_back("SwapChannels arguments");
  g.f->swaps++;
}
inline int32_t StartRecord(const char* path, IAvRender* s) {
  Guard g(s, "StartRecord");
  if (!path || !*path) g.f->faults.push_back("StartRecord without a path");
  g.f->recording = true;
  return 0;
}
inline void StopRecord(IAvRender* s) {
  Guard g(s, "StopRecord");
  g.f->recording = false;
}
inline bool IsRecording(IAvRender* s) {
  Guard g(s, "IsRecording");
  return g.f->recording;
}

}  // namespace fake_sink_ops

inline const AvRenderOps* FakeSink::Ops() {
  using namespace fake_sink_ops;
  static const AvRenderOps ops = {Release, OnEvent,  OnFrame,      OnStreamStop, Mute,       Unmute,
                                  IsMuted, Snapshot, SwapChannels, StartRecord,  StopRecord, IsRecording};
  return &ops;
}
