// Media sinks: CAvRender decodes and draws each channel's video, plays channel 0's sound, writes snapshots
// and MP4 recordings and posts events to the application's windows; CAvRecorder is its recording half. The
// SDK drives a sink only through the AvRenderOps table installed here.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "av/av_event.h"
#include "av/av_render_ops.h"
#include "media/mp4/mp4_recorder.h"
#include "media/video/video_render_base.h"

class QWidget;
class CVideoDecDDraw;
class SdlAudioPlayer;

// Sent by the sink itself: "Unsupported operation", a channel's codec cannot be decoded here (value the codec).
constexpr int32_t kAvEventNotDecodable = -10003;

// Message number of pane events (the application's WM_AV_EVENT).
constexpr uint32_t kAvEventMessage = 0x400 + 11;

// Window handle as the application numbers its windows; 0 is none.
using AvWindow = uintptr_t;

// How media threads reach the application: a thread-safe post to the GUI thread, installed by the
// application. A post to a window that is gone is dropped by the poster. Without a poster, events are
// dropped.
using AvEventPostFn = bool (*)(AvWindow window, uint32_t message, int32_t event, int32_t value);
void AvSetEventPoster(AvEventPostFn fn);

// A drawing target: a window, its anchor flags, and a rectangle inside it (empty: the whole client area).
struct RenderTarget {
  QWidget* window = nullptr;
  uint32_t anchors = 15;
  RenderRect rect;
};
// Held while a render target is written (its window lays itself out on the GUI thread) or read by a sink
// (on a media thread).
std::mutex& RenderTargetLock();

class IAvRender {
 public:
  virtual void Release() = 0;
  virtual void OnEvent(int32_t event, int32_t value) = 0;
  virtual int32_t OnFrame(AvStreamType type, uint32_t timestamp, const void* data, int32_t length,
                          int32_t param) = 0;
  virtual void OnStreamStop(AvStreamType type) = 0;
  virtual void Mute() = 0;
  virtual void Unmute() = 0;
  virtual bool IsMuted() = 0;
  virtual bool Snapshot(const char* path) = 0;
  virtual void SwapChannels(int32_t first, int32_t second) = 0;
  virtual int32_t StartRecord(const char* path) = 0;
  virtual void StopRecord() = 0;
  virtual bool IsRecording() = 0;
  virtual int32_t SetParam(int32_t kind, const void* value) = 0;
  virtual ~IAvRender() = default;
};

class CAvRecorder : public IAvRender {
 public:
  CAvRecorder() = default;
  ~CAvRecorder() override;

  void Release() override { delete this; }
  void OnEvent(int32_t, int32_t) override {}
  int32_t OnFrame(AvStreamType type, uint32_t timestamp, const void* data, int32_t length,
                  int32_t param) override;
  void OnStreamStop(AvStreamType) override {}
  void Mute() override {}
  void Unmute() override {}
  bool IsMuted() override { return false; }
  bool Snapshot(const char*) override { return false; }
  void SwapChannels(int32_t, int32_t) override {}
  int32_t StartRecord(const char* path) override;
  void StopRecord() override;
  bool IsRecording() override;
  int32_t SetParam(int32_t, const void*) override { return -1; }

 protected:
  AvRecorderGuard guard_;
};

struct AvRenderChannel {
  CVideoDecDDraw* decoder = nullptr;
  RenderTarget* target = nullptr;
  bool firstPictureSent = false;
  bool notDecodableSent = false;
};

struct AvRenderState;

class CAvRender : public CAvRecorder {
 public:
  // targets: count entries kept alive by the caller for the sink's lifetime (may be null).
  CAvRender(RenderTarget* targets, int32_t count, AvWindow eventWindow, AvWindow secondWindow,
            uint32_t secondMessage);
  ~CAvRender() override;

  void OnEvent(int32_t event, int32_t value) override;
  int32_t OnFrame(AvStreamType type, uint32_t timestamp, const void* data, int32_t length,
                  int32_t param) override;
  void OnStreamStop(AvStreamType type) override;
  void Mute() override;
  void Unmute() override;
  bool IsMuted() override;
  bool Snapshot(const char* path) override;
  void SwapChannels(int32_t first, int32_t second) override;
  int32_t SetParam(int32_t kind, const void* value) override;

  // Tests and the benchmark: the decoder of a channel (null before its first frame) and the player.
  CVideoDecDDraw* ChannelDecoder(int32_t channel);
  SdlAudioPlayer* AudioPlayer();
  // The pause between a channel's new renderer and its first picture (200 ms; tests shorten it).
  void SetNewWindowDelayMs(int32_t ms) { newWindowDelayMs_ = ms; }

 private:
  AvRenderState* st_;
  int32_t newWindowDelayMs_ = 200;
};

// SetParam kinds.
enum : int32_t { kAvParamVolume = 1, kAvParamDisplayMode = 2 };

// The media pipeline's table; AvRenderOpsInstall(&AvRenderOpsTable()) is done by AvRenderOpsInit.
const AvRenderOps& AvRenderOpsTable();
void AvRenderOpsInit();
