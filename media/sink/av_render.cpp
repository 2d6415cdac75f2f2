#include "media/sink/av_render.h"

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "av/media_codec.h"
#include "media/mp4/mp4_recorder.h"
#include "media/audio/sdl_audio_player.h"
#include "media/video/video_decoder.h"

namespace {

std::atomic<AvEventPostFn> g_poster{nullptr};

void Post(AvWindow window, uint32_t message, int32_t event, int32_t value) {
  AvEventPostFn fn = g_poster.load();
  if (fn && window) fn(window, message, event, value);
}

}  // namespace

void AvSetEventPoster(AvEventPostFn fn) { g_poster.store(fn); }

// ---- recording ----

CAvRecorder::~CAvRecorder() { guard_.Close(); }

int32_t CAvRecorder::OnFrame(AvStreamType type, uint32_t timestamp, const void* data, int32_t length,
                             int32_t param) {
  return guard_.Write(type, timestamp, data, length, param);
}

int32_t CAvRecorder::StartRecord(const char* path) { return guard_.Open(path); }
void CAvRecorder::StopRecord() { guard_.Close(); }
bool CAvRecorder::IsRecording() { return guard_.IsOpen(); }

// ---- the sink ----

struct AvRenderState {
  AvWindow eventWindow = 0;
  AvWindow secondWindow = 0;
  uint32_t secondMessage = 0;
  std::mutex channelLock;
  int32_t count = 0;
  std::vector<AvRenderChannel> channels;
  // Made on the audio slot's thread, used by the window's thread too.
  std::atomic<SdlAudioPlayer*> player{nullptr};
  std::atomic<int32_t> displayMode{kDisplayAspect};
  std::atomic<bool> muted{false};
  std::atomic<float> volume{1.0f};
  // Video slots and the audio slot run on threads of their own. The first video timestamp is set once;
  // kNoVideo until a video frame has been seen.
  static constexpr int64_t kNoVideo = -1;
  std::atomic<int64_t> firstVideoTs{kNoVideo};
  std::atomic<uint32_t> lastVideoTs{0};
};

std::mutex& RenderTargetLock() {
  static std::mutex lock;
  return lock;
}

CAvRender::CAvRender(RenderTarget* targets, int32_t count, AvWindow eventWindow, AvWindow secondWindow,
                     uint32_t secondMessage)
    : st_(new AvRenderState) {
  st_->eventWindow = eventWindow;
  st_->secondWindow = secondWindow;
  st_->secondMessage = secondMessage;
  if (targets && count > 0) {
    st_->count = count;
    st_->channels.resize(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) st_->channels[i].target = &targets[i];
  }
}

CAvRender::~CAvRender() {
  delete st_->player.load();
  for (auto& c : st_->channels) {
    if (c.decoder) {
      c.decoder->RemoveAll();
      delete c.decoder;
    }
  }
  delete st_;
}

void CAvRender::OnEvent(int32_t event, int32_t value) {
  if (event >= kAvEventTimelineFirst && event <= kAvEventTimelineLast) {
    if (st_->secondWindow && st_->secondMessage) Post(st_->secondWindow, st_->secondMessage, event, value);
    return;
  }
  Post(st_->eventWindow, kAvEventMessage, event, value);
}

int32_t CAvRender::OnFrame(AvStreamType type, uint32_t timestamp, const void* data, int32_t length,
                           int32_t param) {
  uint32_t c = type >> 16, k = type & 0xFFFF;
  if (k == 0 || length < 0 || (!data && length > 0)) return 0;
  if (IsVideoCodec(k)) {
    int64_t none = AvRenderState::kNoVideo;
    st_->firstVideoTs.compare_exchange_strong(none, timestamp);
    st_->lastVideoTs = timestamp;
    guard_.Write(type, timestamp, data, length, param);
    bool notDecodable = false;
    {
      std::lock_guard<std::mutex> g(st_->channelLock);
      if (c >= static_cast<uint32_t>(st_->count)) return 0;
      AvRenderChannel& ch = st_->channels[c];
      RenderTarget target;
      if (!ch.decoder && ch.target) {
        std::lock_guard<std::mutex> t(RenderTargetLock());
        target = *ch.target;
      }
      if (!ch.decoder && target.window) {
        ch.decoder = new CVideoDecDDraw(target.window);
        if (!target.rect.Empty()) ch.decoder->SetWindowRect(target.window, &target.rect, target.anchors);
        if (newWindowDelayMs_ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(newWindowDelayMs_));
      }
      if (ch.decoder) {
        ch.decoder->DecodeAndDraw(static_cast<int32_t>(k), static_cast<const uint8_t*>(data),
                                  static_cast<uint32_t>(length), st_->displayMode.load());
        if (k == kVideoCodecJif && !ch.notDecodableSent) {
          ch.notDecodableSent = true;
          notDecodable = true;
        }
      }
    }
    if (notDecodable) OnEvent(kAvEventNotDecodable, static_cast<int32_t>(k));
    return 0;
  }
  if (IsAudioCodec(k)) {
    SdlAudioPlayer* player = st_->player;
    if (!player) {
      player = new SdlAudioPlayer;
      player->Open(param < 4 ? 8000 : 16000, 16, 1);
      player->SetCodec(static_cast<int32_t>(k), nullptr, 0);
      st_->muted = false;
      st_->player = player;
      player->SetVolume(st_->volume);  // after publishing, so a volume set meanwhile is not lost
      return 0;
    }
    int64_t first = st_->firstVideoTs;
    if (first == AvRenderState::kNoVideo) return 0;
    int32_t rc = guard_.Write(type, timestamp, data, length, param);
    if (c == 0 && !st_->muted && timestamp - static_cast<uint32_t>(first) <= 0xF0000000u)
      player->Play(static_cast<const uint8_t*>(data), static_cast<uint32_t>(length));
    return rc;
  }
  return 0;
}

void CAvRender::OnStreamStop(AvStreamType type) {
  uint32_t c = type >> 16, k = type & 0xFFFF;
  if (IsVideoCodec(k)) {
    if (c >= static_cast<uint32_t>(st_->count)) return;
    AvRenderChannel& ch = st_->channels[c];
    if (ch.decoder) {
      ch.decoder->RemoveAll();
      delete ch.decoder;
      ch.decoder = nullptr;
      ch.notDecodableSent = false;
    }
  } else if (IsAudioCodec(k)) {
    delete st_->player.exchange(nullptr);
    st_->muted = false;
  }
}

void CAvRender::Mute() {
  if (SdlAudioPlayer* player = st_->player) player->Pause();
  st_->muted = true;
}

void CAvRender::Unmute() { st_->muted = false; }
bool CAvRender::IsMuted() { return st_->muted; }

bool CAvRender::Snapshot(const char* path) {
  if (!path) return false;
  std::lock_guard<std::mutex> g(st_->channelLock);
  if (st_->count < 1 || !st_->channels[0].decoder) return false;
  VideoPicture pic;
  if (!st_->channels[0].decoder->GetLastPicture(&pic) || pic.format != kPictureI420 || pic.width < 2 ||
      pic.height < 1)
    return false;
  FILE* f = std::fopen(path, "wb");
  if (!f) return false;
  int32_t cw = (pic.width + 1) / 2, ch = (pic.height + 1) / 2;
  bool ok;
  if (pic.lumaStride == pic.width && pic.chromaStride == cw) {
    ok = JpegSaveI420(f, pic.y, pic.u, pic.v, pic.width, pic.height, 75);
  } else {
    std::vector<uint8_t> packed(static_cast<size_t>(pic.width) * pic.height +
                                2 * static_cast<size_t>(cw) * ch);
    PackI420(packed.data(), pic.width, pic.height, pic.y, pic.lumaStride, pic.u, pic.v, pic.chromaStride);
    uint8_t* y = packed.data();
    uint8_t* u = y + static_cast<size_t>(pic.width) * pic.height;
    uint8_t* v = u + static_cast<size_t>(cw) * ch;
    ok = JpegSaveI420(f, y, u, v, pic.width, pic.height, 75);
  }
  ok = (std::fclose(f) == 0) && ok;
  // A snapshot that wrote nothing usable leaves no file behind.
  if (!ok) std::remove(path);
  return ok;
}

void CAvRender::SwapChannels(int32_t i, int32_t j) {
  if (i == j || i < 0 || j < 0 || i >= st_->count || j >= st_->count) return;
  AvRenderChannel& a = st_->channels[i];
  AvRenderChannel& b = st_->channels[j];
  CVideoDecDDraw *da, *db;
  {
    // The slot threads make the decoders under the channel lock; the targets change only here.
    std::lock_guard<std::mutex> g(st_->channelLock);
    da = a.decoder;
    db = b.decoder;
  }
  if (!da || !db || !a.target || !b.target) return;
  da->RemoveAll();
  db->RemoveAll();
  da->AddWindow(b.target->window);
  da->SetWindowRect(b.target->window, &b.target->rect, b.target->anchors);
  db->AddWindow(a.target->window);
  db->SetWindowRect(a.target->window, &a.target->rect, a.target->anchors);
  std::lock_guard<std::mutex> g(st_->channelLock);
  std::swap(a.target, b.target);
}

int32_t CAvRender::SetParam(int32_t kind, const void* value) {
  if (!value) return -1;
  if (kind == kAvParamVolume) {
    st_->volume = *static_cast<const float*>(value);
    if (SdlAudioPlayer* player = st_->player) player->SetVolume(st_->volume);
    return 0;
  }
  if (kind == kAvParamDisplayMode) {
    st_->displayMode = *static_cast<const int32_t*>(value);
    return 0;
  }
  return -1;
}

CVideoDecDDraw* CAvRender::ChannelDecoder(int32_t channel) {
  std::lock_guard<std::mutex> g(st_->channelLock);
  if (channel < 0 || channel >= st_->count) return nullptr;
  return st_->channels[channel].decoder;
}

SdlAudioPlayer* CAvRender::AudioPlayer() { return st_->player; }

// ---- the table ----

namespace {

const AvRenderOps kOps = {
    [](IAvRender* s) {
      if (s) s->Release();
    },
    [](int32_t e, int32_t v, IAvRender* s) {
      if (s) s->OnEvent(e, v);
    },
    [](AvStreamType t, uint32_t ts, const void* d, int32_t n, int32_t p, IAvRender* s) -> int32_t {
      return s ? s->OnFrame(t, ts, d, n, p) : 0;
    },
    [](AvStreamType t, IAvRender* s) {
      if (s) s->OnStreamStop(t);
    },
    [](IAvRender* s) {
      if (s) s->Mute();
    },
    [](IAvRender* s) {
      if (s) s->Unmute();
    },
    [](IAvRender* s) { return s ? s->IsMuted() : false; },
    [](const char* p, IAvRender* s) { return s ? s->Snapshot(p) : false; },
    [](int32_t a, int32_t b, IAvRender* s) {
      if (s) s->SwapChannels(a, b);
    },
    [](const char* p, IAvRender* s) -> int32_t { return s ? s->StartRecord(p) : -1; },
    [](IAvRender* s) {
      if (s) s->StopRecord();
    },
    [](IAvRender* s) { return s ? s->IsRecording() : false; },
};

}  // namespace

const AvRenderOps& AvRenderOpsTable() { return kOps; }
void AvRenderOpsInit() { AvRenderOpsInstall(&kOps); }
