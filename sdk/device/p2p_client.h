// CP2pClient: the application's handle to one device's session. Opens and closes the session, starts and
// stops live video per lens, live audio and SD-card playback, hands the received frames and the events made
// from them to a media sink through AvRenderOps, and wraps every command the application needs.
//
// The sink is called from the receive threads: live video of channel 1 and of channels 0, 2 and 3 and the
// audio stream each have a thread of their own, so one sink is called from several threads at once and
// must be safe for that (take its own lock). Live streams and playback share one sink; it is released
// (entry 0) only when no live video, live audio or playback holds it any more.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <vector>

#include "av/av_event.h"
#include "sdk/cloud/record_list.h"
#include "av/av_render_ops.h"
#include "sdk/device/kivo_p2p.h"

class CP2pAudioTarget;

// GetState bits.
enum : int {
  kP2pStateLiveVideo = 0x01,
  kP2pStateLiveAudio = 0x02,
  kP2pStateSound = 0x04,
  kP2pStateRecording = 0x08,
  kP2pStatePlayback = 0x10,
  kP2pStateMultiChannel = 0x20,
};

constexpr int kP2pMaxChannels = 4;

class CP2pClient {
 public:
  CP2pClient() = default;
  virtual ~CP2pClient();
  CP2pClient(const CP2pClient&) = delete;
  CP2pClient& operator=(const CP2pClient&) = delete;

  // Session.
  int Connect(const char* address, const char* peer_id, int flags);
  int Close();
  bool IsAlive();
  bool HasSession();
  int VerifyPassword(const char* password);
  int GetFeatures(DeviceFeatures* out);
  int SendCommand(uint32_t command, const void* payload, int length, void* reply, int capacity,
                  int timeout_ms);

  // Live video.
  int StartLiveVideo(int channel, const AvRenderOps* ops, IAvRender* sink);
  int StartLiveVideoSink(int channel, IAvRender* sink);
  // Unsubscribes the channel, then forgets it; the last channel frees the live-video record.
  void StopLiveVideo(int channel);
  void StopAllVideo();
  int StartPipChannels();
  int StopPipChannels();
  bool SwapChannels(int first, int second);
  int SetVideoQuality(int sub);
  int SetChannelQuality(int channel, int sub);

  // Audio and talkback.
  int StartAudio(const AvRenderOps* ops, IAvRender* sink);
  int StartAudioSink(IAvRender* sink);
  void StopAudio();
  bool MuteAudio();
  bool UnmuteAudio();
  bool IsMuted();
  int StartTalk();
  int StopTalk();
  int SendTalkData(int codec, const void* bytes, int length);

  // SD-card playback.
  int StartPlayback(const AvRenderOps* ops, IAvRender* sink);
  int StartPlaybackSink(IAvRender* sink);
  int PlaybackSeek(int64_t time);
  int SetPlaybackSpeed(int step);
  int GetPlaybackSpeed() const { return speed_step_; }
  void StopPlayback();
  int GetRecordList(int64_t start, int span_sec, std::vector<PlaybackSegment>* out);

  // Other commands.
  int PtzControl(int direction);
  int GetLensParam(uint8_t out[12]);
  int SetLensParam(const uint8_t lens[12]);
  int NotifyLiveView();
  int NotifySdPlayback();
  int RestartStreams();

  // Sink helpers.
  bool Snapshot(const char* path);
  int StartRecord(const char* path);
  bool StopRecord();
  int GetState();

  // The recording mark: wall-clock seconds and device timestamp of the first frame delivered while the sink
  // records; zero otherwise.
  int64_t RecordMarkTime() const;
  uint32_t RecordMarkTimestamp() const;
  bool LensAnswered() const { return lens_answered_; }
  int MainChannel() const { return main_channel_; }

  // Set and cleared only by the talkback glue.
  CP2pAudioTarget* talk_target = nullptr;

 private:
  struct ChannelState {
    bool active = false;
    bool key_seen = false;
    bool first_reported = false;
    int codec = 0;
  };
  // Shared by the receive threads that deliver into it (live video: one for lens 1, one for the other
  // lenses) and the caller's thread: everything after client is under mu. The sink is called without it.
  struct VideoRecord {
    CP2pClient* client = nullptr;
    std::mutex mu;
    ChannelState ch[kP2pMaxChannels];
    uint32_t time_offset = 0;
    uint32_t first_ts = 0;
    const AvRenderOps* ops = nullptr;
    IAvRender* sink = nullptr;
    bool playback = false;
    int64_t position_base = 0;
    int64_t last_second = 0;
  };
  struct AudioRecord {
    CP2pClient* client = nullptr;
    int codec = 0;
    uint32_t time_offset = 0;
    const AvRenderOps* ops = nullptr;
    IAvRender* sink = nullptr;
  };

  static void OnVideoFrame(const MediaFrameHeader* h, const uint8_t* payload, int length_or_error,
                           void* user);
  static void OnAudioFrame(const MediaFrameHeader* h, const uint8_t* payload, int length_or_error,
                           void* user);
  void NoteRecordMark(const AvRenderOps* ops, IAvRender* sink, uint32_t timestamp);
  void Adopt(const AvRenderOps* ops, IAvRender* sink);
  bool LiveChannelActive(int channel);
  // Unsubscribes an active live channel, tells the sink its stream stopped and forgets the channel.
  void StopLiveChannel(int channel);
  // Clears a channel's active flag; frees the record (and releases an unused sink) after the last one.
  void ForgetLiveChannel(int channel);
  // Releases the sink when no live video, live audio or playback holds it.
  void ReleaseSinkIfUnused();
  bool FeaturesKnown() const;
  int ChannelCount() const;
  int EnsureFeatures();
  // Keeps features read from the device (the first of two concurrent reads wins).
  void KeepFeatures(const DeviceFeatures& f);

  int speed_step_ = 0;
  // Written by Connect and Close on the thread that runs device operations while the window's thread
  // asks HasSession and IsAlive: the pointer is published atomically, and Close takes it out under
  // session_mu_, which IsAlive holds while it asks the session.
  std::atomic<KivoSession*> session_{nullptr};
  std::mutex session_mu_;
  VideoRecord* live_ = nullptr;
  VideoRecord* pb_video_ = nullptr;
  AudioRecord* live_audio_ = nullptr;
  AudioRecord* pb_audio_ = nullptr;
  const AvRenderOps* ops_ = nullptr;
  IAvRender* sink_ = nullptr;
  mutable std::mutex features_mu_;  // the features, read on the window's thread too
  bool features_valid_ = false;
  DeviceFeatures features_{};
  mutable std::mutex mark_mu_;  // the recording mark, written on receive threads
  int64_t mark_time_ = 0;
  uint32_t mark_ts_ = 0;
  int main_channel_ = 0;
  uint32_t lens_[3] = {0, 0, 0};
  bool lens_answered_ = false;
};

// Milliseconds of the local tick clock.
uint32_t P2pLocalTick();
