#include "sdk/device/p2p_client.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "av/media_codec.h"
#include "util/log.h"

namespace {

int32_t ClientValue(const CP2pClient* c) { return static_cast<int32_t>(reinterpret_cast<intptr_t>(c)); }

void IgnoreDeviceEvent(const uint8_t*, int, KivoSession*, void*) {}

}  // namespace

uint32_t P2pLocalTick() {
  using namespace std::chrono;
  return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

CP2pClient::~CP2pClient() {
  Close();
  // A sink left over from a refused start or a stream stopped without a session.
  if (ops_ && sink_) ops_->Release(sink_);
  ops_ = nullptr;
  sink_ = nullptr;
}

// --- Session ---

int CP2pClient::Connect(const char* address, const char* peer_id, int flags) {
  if (session_) return 0;
  KivoSession* s = nullptr;
  const int r = KivoP2pConnect2(address && *address ? address : nullptr, peer_id, flags, &s);
  LogPrintf(kLogDetail, nullptr, "CP2pClient::Connect", "KivoP2pConnect2 = %d\n", r);
  if (r < 0) return r;
  session_ = s;
  KivoP2pSetEventCallback(s, IgnoreDeviceEvent, nullptr, this);
  return 0;
}

int CP2pClient::Close() {
  if (!session_) return 0;
  if (ops_ && sink_) ops_->StopRecord(sink_);
  StopAudio();
  StopAllVideo();
  StopPlayback();
  KivoSession* s = nullptr;
  {
    std::lock_guard<std::mutex> lock(session_mu_);
    s = session_.exchange(nullptr);
  }
  const int r = KivoP2pClose(s);
  speed_step_ = 0;
  {
    std::lock_guard<std::mutex> lock(features_mu_);
    features_valid_ = false;
  }
  return r;
}

bool CP2pClient::IsAlive() {
  std::lock_guard<std::mutex> lock(session_mu_);
  KivoSession* s = session_;
  return s && KivoP2pIsAlive(s) > 0;
}
bool CP2pClient::HasSession() { return session_ != nullptr; }

int CP2pClient::VerifyPassword(const char* password) {
  const int r = KivoP2pVerifyPassword(session_, password);
  if (r != 0 || FeaturesKnown()) return r;
  DeviceFeatures f{};
  const int g = KivoP2pGetFeatures(session_, &f);
  if (g == 0) KeepFeatures(f);
  return g;
}

int CP2pClient::GetFeatures(DeviceFeatures* out) {
  if (!FeaturesKnown()) {
    DeviceFeatures f{};
    const int r = KivoP2pGetFeatures(session_, &f);
    if (r != 0) return r;
    KeepFeatures(f);
  }
  std::lock_guard<std::mutex> lock(features_mu_);
  if (out) *out = features_;
  return 0;
}

void CP2pClient::KeepFeatures(const DeviceFeatures& f) {
  std::lock_guard<std::mutex> lock(features_mu_);
  if (features_valid_) return;
  features_ = f;
  features_valid_ = true;
}

bool CP2pClient::FeaturesKnown() const {
  std::lock_guard<std::mutex> lock(features_mu_);
  return features_valid_;
}

int CP2pClient::ChannelCount() const {
  std::lock_guard<std::mutex> lock(features_mu_);
  return static_cast<int>(features_.channel_count);
}

int CP2pClient::EnsureFeatures() { return FeaturesKnown() ? 0 : GetFeatures(nullptr); }

int CP2pClient::SendCommand(uint32_t command, const void* payload, int length, void* reply, int capacity,
                            int timeout_ms) {
  return KivoP2pCommand(session_, command, payload, length, reply, capacity, timeout_ms);
}

// --- Sink bookkeeping ---

void CP2pClient::Adopt(const AvRenderOps* ops, IAvRender* sink) {
  if (!ops_ && !sink_ && ops && sink) {
    ops_ = ops;
    sink_ = sink;
  } else if (sink && sink != sink_ && ops) {
    // The client keeps its first pair; another sink given later is not used and goes back at once.
    ops->Release(sink);
  }
}

void CP2pClient::ReleaseSinkIfUnused() {
  if (live_ || live_audio_ || pb_video_ || pb_audio_) return;
  if (ops_ && sink_) ops_->Release(sink_);
  ops_ = nullptr;
  sink_ = nullptr;
}

// --- Live video ---

int CP2pClient::StartLiveVideo(int channel, const AvRenderOps* ops, IAvRender* sink) {
  main_channel_ = channel;
  if (FeaturesKnown()) {
    LogPrintf(kLogDetail, nullptr, "CP2pClient::StartLiveVideo",
              "channel=%d, mFeatures.nChannels=%d, m_hP2p=%p\n", channel, ChannelCount(),
              static_cast<void*>(session_));
  }
  if (channel < 0 || channel >= kP2pMaxChannels || (FeaturesKnown() && channel >= ChannelCount())) {
    if (ops && sink) ops->Release(sink);
    return KIVO_ERR_INVALID_PARAM;
  }
  if (!live_) {
    {
      std::lock_guard<std::mutex> lk(mark_mu_);
      mark_time_ = 0;
      mark_ts_ = 0;
    }
    live_ = new VideoRecord();
    live_->client = this;
    Adopt(ops, sink);
  } else {
    Adopt(ops, sink);
  }
  {
    std::lock_guard<std::mutex> lk(live_->mu);
    live_->ops = ops_;
    live_->sink = sink_;
    ChannelState& cs = live_->ch[channel];
    if (cs.active) return 0;
    cs.key_seen = false;
    cs.first_reported = false;
    cs.active = true;
  }
  const int r = KivoP2pStartVideo(session_, channel, &CP2pClient::OnVideoFrame, live_);
  if (r < 0) {
    ForgetLiveChannel(channel);
    return r;
  }
  return 0;
}

int CP2pClient::StartLiveVideoSink(int channel, IAvRender* sink) {
  return StartLiveVideo(channel, AvRenderOpsProcessTable(), sink);
}

void CP2pClient::StopLiveVideo(int channel) {
  // Unsubscribed first: the record must outlive every frame callback that may still use it.
  if (LiveChannelActive(channel) && session_) KivoP2pStopVideo(session_, channel);
  ForgetLiveChannel(channel);
}

void CP2pClient::ForgetLiveChannel(int channel) {
  if (!live_ || channel < 0 || channel >= kP2pMaxChannels) return;
  {
    std::lock_guard<std::mutex> lk(live_->mu);
    live_->ch[channel].active = false;
    for (const ChannelState& cs : live_->ch)
      if (cs.active) return;
  }
  delete live_;
  live_ = nullptr;
  ReleaseSinkIfUnused();
}

bool CP2pClient::LiveChannelActive(int channel) {
  if (!live_ || channel < 0 || channel >= kP2pMaxChannels) return false;
  std::lock_guard<std::mutex> lk(live_->mu);
  return live_->ch[channel].active;
}

void CP2pClient::StopLiveChannel(int channel) {
  if (!LiveChannelActive(channel)) return;
  KivoP2pStopVideo(session_, channel);
  const AvRenderOps* ops;
  IAvRender* sink;
  int codec;
  {
    std::lock_guard<std::mutex> lk(live_->mu);
    ops = live_->ops;
    sink = live_->sink;
    codec = live_->ch[channel].codec;
  }
  if (ops && sink) ops->OnStreamStop(static_cast<AvStreamType>(channel) << 16 | codec, sink);
  ForgetLiveChannel(channel);
}

void CP2pClient::StopAllVideo() {
  for (int c = 0; c < kP2pMaxChannels; ++c) StopLiveChannel(c);
}

int CP2pClient::StartPipChannels() {
  const int r = EnsureFeatures();
  if (r != 0) return r;
  for (int c = 1; c < ChannelCount() && c < kP2pMaxChannels; ++c) {
    StartLiveVideo(c, nullptr, nullptr);
    SetChannelQuality(c, 1);
  }
  return 0;
}

int CP2pClient::StopPipChannels() {
  const int r = EnsureFeatures();
  if (r != 0) return r;
  const int n = ChannelCount() < kP2pMaxChannels ? ChannelCount() : kP2pMaxChannels;
  for (int c = 1; c < n; ++c) StopLiveChannel(c);
  return 0;
}

bool CP2pClient::SwapChannels(int first, int second) {
  if (!live_ && !pb_video_) return false;
  if (!live_) {
    if (ops_ && sink_) ops_->SwapChannels(first, second, sink_);
    return true;
  }
  if (first < 0 || first >= kP2pMaxChannels || second < 0 || second >= kP2pMaxChannels) return false;
  main_channel_ ^= 1;
  if (ops_ && sink_) ops_->SwapChannels(first, second, sink_);
  const int other = main_channel_ == first ? second : first;
  const bool known = FeaturesKnown();
  if (!known || main_channel_ < ChannelCount()) KivoP2pSetVideoQuality(session_, main_channel_, 0);
  if (!known || other < ChannelCount()) KivoP2pSetVideoQuality(session_, other, 1);
  {
    std::lock_guard<std::mutex> lk(live_->mu);
    std::swap(live_->ch[first], live_->ch[second]);
  }
  KivoP2pSetMainChannel(session_, 0, main_channel_);
  return true;
}

int CP2pClient::SetVideoQuality(int sub) { return KivoP2pSetVideoQuality(session_, 0, sub); }

int CP2pClient::SetChannelQuality(int channel, int sub) {
  if (FeaturesKnown() && channel >= ChannelCount()) return KIVO_ERR_INVALID_PARAM;
  return KivoP2pSetVideoQuality(session_, channel, sub);
}

// --- Audio and talkback ---

int CP2pClient::StartAudio(const AvRenderOps* ops, IAvRender* sink) {
  if (live_audio_) {
    if (ops && sink && sink != sink_) ops->Release(sink);
    return 0;
  }
  Adopt(ops, sink);
  live_audio_ = new AudioRecord();
  live_audio_->client = this;
  live_audio_->ops = ops_;
  live_audio_->sink = sink_;
  const int r = KivoP2pStartAudio(session_, &CP2pClient::OnAudioFrame, live_audio_);
  if (r < 0) {
    delete live_audio_;
    live_audio_ = nullptr;
    ReleaseSinkIfUnused();
    return r;
  }
  return 0;
}

int CP2pClient::StartAudioSink(IAvRender* sink) { return StartAudio(AvRenderOpsProcessTable(), sink); }

void CP2pClient::StopAudio() {
  if (live_audio_) {
    KivoP2pStopAudio(session_);
    if (live_audio_->ops && live_audio_->sink)
      live_audio_->ops->OnStreamStop(live_audio_->codec, live_audio_->sink);
    delete live_audio_;
    live_audio_ = nullptr;
  }
  ReleaseSinkIfUnused();
}

bool CP2pClient::MuteAudio() {
  for (AudioRecord* a : {live_audio_, pb_audio_})
    if (a && a->ops && a->sink) a->ops->Mute(a->sink);
  return true;
}

bool CP2pClient::UnmuteAudio() {
  for (AudioRecord* a : {live_audio_, pb_audio_})
    if (a && a->ops && a->sink) a->ops->Unmute(a->sink);
  return true;
}

bool CP2pClient::IsMuted() { return ops_ && sink_ && ops_->IsMuted(sink_); }

int CP2pClient::StartTalk() { return KivoP2pStartTalk(session_); }
int CP2pClient::StopTalk() { return KivoP2pStopTalk(session_); }

int CP2pClient::SendTalkData(int codec, const void* bytes, int length) {
  if (codec != MEDIA_CODEC_G711A) return -1;
  return KivoP2pSendMedia(session_, bytes, length);
}

// --- SD-card playback ---

int CP2pClient::StartPlayback(const AvRenderOps* ops, IAvRender* sink) {
  if (pb_video_ || pb_audio_) {
    if (ops && sink && sink != sink_) ops->Release(sink);
    return 0;
  }
  {
    std::lock_guard<std::mutex> lk(mark_mu_);
    mark_time_ = 0;
    mark_ts_ = 0;
  }
  Adopt(ops, sink);
  pb_video_ = new VideoRecord();
  pb_video_->client = this;
  pb_video_->playback = true;
  pb_video_->ops = ops_;
  pb_video_->sink = sink_;
  pb_audio_ = new AudioRecord();
  pb_audio_->client = this;
  pb_audio_->ops = ops_;
  pb_audio_->sink = sink_;
  const int r = KivoP2pStartPlaybackRecv(session_, &CP2pClient::OnVideoFrame, pb_video_,
                                         &CP2pClient::OnAudioFrame, pb_audio_);
  if (r < 0) {
    delete pb_video_;
    delete pb_audio_;
    pb_video_ = nullptr;
    pb_audio_ = nullptr;
    ReleaseSinkIfUnused();
    return r;
  }
  return 0;
}

int CP2pClient::StartPlaybackSink(IAvRender* sink) { return StartPlayback(AvRenderOpsProcessTable(), sink); }

int CP2pClient::PlaybackSeek(int64_t time) {
  if (ops_ && sink_ && ops_->IsRecording(sink_)) ops_->StopRecord(sink_);
  if (pb_video_) {
    std::lock_guard<std::mutex> lk(pb_video_->mu);
    pb_video_->position_base = time;
    pb_video_->last_second = 0;
  }
  return KivoP2pPlaybackSeek(session_, static_cast<time_t>(time));
}

int CP2pClient::SetPlaybackSpeed(int step) {
  if (!session_ || step == speed_step_) return -1;
  if (step > 0)
    MuteAudio();
  else
    UnmuteAudio();
  speed_step_ = step;
  return KivoP2pSetPlaybackSpeed(session_, step);
}

void CP2pClient::StopPlayback() {
  if (!pb_video_ && !pb_audio_) return;
  KivoP2pStopPlayback(session_);
  delete pb_video_;
  delete pb_audio_;
  pb_video_ = nullptr;
  pb_audio_ = nullptr;
  ReleaseSinkIfUnused();
}

int CP2pClient::GetRecordList(int64_t start, int span_sec, std::vector<PlaybackSegment>* out) {
  RecordEntry* entries = nullptr;
  int count = 0;
  const int r = KivoP2pGetRecordList(session_, static_cast<time_t>(start), span_sec, &entries, &count);
  if (out) out->clear();
  if (r < 0) {
    free(entries);
    return r;
  }
  for (int i = 0; i < count && out; ++i) {
    const RecordEntry& e = entries[i];
    const int64_t t = DeviceTimeToTime(e.start);
    if (t <= 1262275199 || t > 2208960000) continue;
    if (e.duration <= 1 || static_cast<int64_t>(e.duration) > 2 * static_cast<int64_t>(span_sec)) continue;
    PlaybackSegment seg;
    seg.kind = e.kind;
    seg.start = t;
    seg.duration = static_cast<int32_t>(e.duration);
    out->push_back(std::move(seg));
  }
  free(entries);
  if (out) SortAndMergeSegments(*out);
  return 0;
}

// --- Other commands ---

int CP2pClient::PtzControl(int direction) {
  if (!session_) return -1;
  return KivoP2pPtzCtrl(session_, direction);
}

int CP2pClient::GetLensParam(uint8_t out[12]) {
  const int r = KivoP2pGetLensParam(session_, out);
  lens_answered_ = r >= 0;
  return r < 0 ? r : 0;
}

int CP2pClient::SetLensParam(const uint8_t lens[12]) {
  std::memcpy(lens_, lens, sizeof lens_);
  return KivoP2pSetLensParam(session_, lens);
}

int CP2pClient::NotifyLiveView() { return KivoP2pNotifyLiveView(session_); }
int CP2pClient::NotifySdPlayback() { return KivoP2pNotifySdPlayback(session_); }

int CP2pClient::RestartStreams() {
  if (!session_) return -1;
  return KivoP2pResubscribe(session_);
}

// --- Sink helpers ---

bool CP2pClient::Snapshot(const char* path) {
  for (VideoRecord* r : {pb_video_, LiveChannelActive(0) ? live_ : nullptr}) {
    if (!r) continue;
    const AvRenderOps* ops;
    IAvRender* sink;
    {
      std::lock_guard<std::mutex> lk(r->mu);
      ops = r->ops;
      sink = r->sink;
    }
    if (ops && sink) return ops->Snapshot(path, sink);
  }
  return false;
}

int CP2pClient::StartRecord(const char* path) {
  if (!ops_ || !sink_) return 0;
  return ops_->StartRecord(path, sink_) == 0 ? 1 : 0;
}

bool CP2pClient::StopRecord() {
  if (ops_ && sink_) ops_->StopRecord(sink_);
  return true;
}

int CP2pClient::GetState() {
  int state = 0;
  if (live_) {
    int active = 0;
    std::lock_guard<std::mutex> lk(live_->mu);
    for (const ChannelState& cs : live_->ch) active += cs.active ? 1 : 0;
    if (active > 0) state |= kP2pStateLiveVideo;
    if (active > 1) state |= kP2pStateMultiChannel;
  }
  if (live_audio_) state |= kP2pStateLiveAudio;
  if (pb_video_ || pb_audio_) state |= kP2pStatePlayback;
  if (ops_ && sink_) {
    if (ops_->IsRecording(sink_)) state |= kP2pStateRecording;
    if ((live_audio_ || pb_video_ || pb_audio_) && !ops_->IsMuted(sink_)) state |= kP2pStateSound;
  }
  return state;
}

int64_t CP2pClient::RecordMarkTime() const {
  std::lock_guard<std::mutex> lk(mark_mu_);
  return mark_time_;
}

uint32_t CP2pClient::RecordMarkTimestamp() const {
  std::lock_guard<std::mutex> lk(mark_mu_);
  return mark_ts_;
}

void CP2pClient::NoteRecordMark(const AvRenderOps* ops, IAvRender* sink, uint32_t timestamp) {
  {
    std::lock_guard<std::mutex> lk(mark_mu_);
    if (mark_time_ != 0) return;
  }
  if (!ops->IsRecording(sink)) return;
  std::lock_guard<std::mutex> lk(mark_mu_);
  if (mark_time_ == 0) {
    mark_time_ = static_cast<int64_t>(time(nullptr));
    mark_ts_ = timestamp;
  }
}

// --- Frames to events ---

void CP2pClient::OnVideoFrame(const MediaFrameHeader* h, const uint8_t* payload, int length_or_error,
                              void* user) {
  VideoRecord* r = static_cast<VideoRecord*>(user);
  CP2pClient* self = r->client;
  // The record's state is read and changed under its lock; the sink is called after it is released.
  std::unique_lock<std::mutex> lk(r->mu);
  const AvRenderOps* ops = r->ops;
  IAvRender* sink = r->sink;
  const bool to_sink = ops && sink;
  if (!h) {
    lk.unlock();
    if (to_sink) ops->OnEvent(length_or_error, ClientValue(self), sink);
    return;
  }
  const int codec = h->codec;
  const int c = h->channel;
  if (codec == 0 && c == 0) {
    // A control packet: its kind is the 16-bit word after codec and channel.
    uint16_t kind = 0;
    std::memcpy(&kind, reinterpret_cast<const uint8_t*>(h) + 2, sizeof kind);
    if ((kind == 0 || kind == 2) && r->playback) {
      const int64_t t = h->timestamp;
      const int64_t current = r->position_base + r->last_second;
      r->position_base = t;
      r->last_second = 0;
      for (ChannelState& cs : r->ch) cs.first_reported = false;
      lk.unlock();
      if (!to_sink) return;
      if ((t < current || t > current + 15) && ops->IsRecording(sink)) ops->StopRecord(sink);
      ops->OnEvent(kAvEventPlaybackRestart, static_cast<int32_t>(t), sink);
    } else if (kind == 5) {
      lk.unlock();
      uint32_t status = 0;
      std::memcpy(&status, reinterpret_cast<const uint8_t*>(h) + 4, sizeof status);
      if (to_sink) ops->OnEvent(kAvEventDeviceStatus, static_cast<int32_t>(status), sink);
    }
    return;
  }
  if (codec == 0 || c >= kP2pMaxChannels) return;
  if (IsAudioCodec(codec)) {
    const uint32_t ts = h->timestamp - r->time_offset;
    lk.unlock();
    if (to_sink)
      ops->OnFrame(static_cast<AvStreamType>(codec), ts, payload, length_or_error, h->flags & 1, sink);
    return;
  }
  if (!IsVideoCodec(codec)) return;
  ChannelState& cs = r->ch[c];
  cs.codec = codec;
  int32_t first_event = 0, first_value = 0;
  if (!cs.first_reported) {
    cs.first_reported = true;
    if (c == 0) {
      r->first_ts = h->timestamp;
      r->time_offset = h->timestamp - P2pLocalTick();
      first_event = kAvEventFirstPicture;
      first_value = ClientValue(self);
    } else {
      first_event = kAvEventChannelFirstPicture;
      first_value = c;
    }
  }
  // The gate opens with a key frame that reaches a sink: a sink given later starts at a key frame too.
  bool deliver = true;
  if (!cs.key_seen) {
    if ((h->flags & 1) && to_sink)
      cs.key_seen = true;
    else
      deliver = false;
  }
  int64_t position = -1;
  if (deliver && r->playback && c == 0) {
    const int64_t second = static_cast<int64_t>(h->timestamp - r->first_ts) / 1000;
    if (second != r->last_second) {
      r->last_second = second;
      position = r->position_base + second;
    }
  }
  const uint32_t ts = h->timestamp - r->time_offset;
  lk.unlock();
  if (!to_sink) return;
  if (first_event) ops->OnEvent(first_event, first_value, sink);
  if (!deliver) return;
  if (position >= 0) ops->OnEvent(kAvEventPlaybackPosition, static_cast<int32_t>(position), sink);
  ops->OnFrame(static_cast<AvStreamType>(c) << 16 | static_cast<AvStreamType>(codec), ts, payload,
               length_or_error, h->flags & 1, sink);
  self->NoteRecordMark(ops, sink, h->timestamp);
}

void CP2pClient::OnAudioFrame(const MediaFrameHeader* h, const uint8_t* payload, int length_or_error,
                              void* user) {
  AudioRecord* r = static_cast<AudioRecord*>(user);
  if (!h) return;  // the video path reports receive errors
  if (r->codec == 0) {
    if (!IsAudioCodec(h->codec)) return;
    r->codec = h->codec;
    r->time_offset = h->timestamp - P2pLocalTick();
  }
  if (r->ops && r->sink)
    r->ops->OnFrame(static_cast<AvStreamType>(r->codec), h->timestamp - r->time_offset, payload,
                    length_or_error, h->flags, r->sink);
}
