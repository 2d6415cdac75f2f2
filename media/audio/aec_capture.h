// Echo-cancelling microphone capture and its fan-out. CAecMicArrayCapture reads the microphone through SDL2
// every 10 ms and cancels the echo of our own playback (every SdlAudioPlayer is the far-end reference) with
// webrtc-audio-processing, noise suppression included. CaptureFanout cuts the result into 10 ms blocks and
// encodes each block once per codec for the attached IAudioTargets. The talk glue attaches a device session
// to the capture.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "media/audio/audio_codec.h"
#include "media/mp4/mp4_recorder.h"

// Far-end reference: what the players send to their devices, as 16-bit samples. Kept only while a capture
// is open, which hands this to the players as their far-end tap meanwhile.
void AecFarEndPush(const int16_t* samples, uint32_t frames, int rate, int channels);

class IAecCaptureEvent {
 public:
  virtual ~IAecCaptureEvent() = default;
  virtual int OnCapture(const uint8_t* data, uint32_t bytes, int rate, int channels) = 0;
};

class IAecCapture {
 public:
  virtual int32_t AddRef() = 0;
  virtual int32_t Release() = 0;
  virtual void Close() = 0;
  virtual int EnumDevices() = 0;
  virtual int GetCaptureDeviceCount() = 0;
  virtual int GetCaptureDeviceName(int index, std::string* name) = 0;
  virtual int SelectCaptureDeviceByName(const std::string& name) = 0;
  virtual int SelectCaptureDevice(int index) = 0;
  virtual int GetRenderDeviceCount() = 0;
  virtual int GetRenderDeviceName(int index, std::string* name) = 0;
  virtual int SelectRenderDeviceByName(const std::string& name) = 0;
  virtual int SelectRenderDevice(int index) = 0;
  virtual void SetMode(int systemMode, int sampleRate) = 0;
  virtual int Open() = 0;
  virtual int Read(uint8_t* buffer, uint32_t* length) = 0;
  virtual int Start() = 0;
  virtual void Stop() = 0;
  virtual int AddSink(IAecCaptureEvent* sink) = 0;
  virtual void RemoveSink(IAecCaptureEvent* sink) = 0;
  virtual bool DevicesChanged() = 0;

 protected:
  virtual ~IAecCapture() = default;
};

class CAecMicArrayCapture : public IAecCapture {
 public:
  CAecMicArrayCapture();
  ~CAecMicArrayCapture() override;

  int32_t AddRef() override;
  int32_t Release() override;
  void Close() override;
  int EnumDevices() override;
  int GetCaptureDeviceCount() override;
  int GetCaptureDeviceName(int index, std::string* name) override;
  int SelectCaptureDeviceByName(const std::string& name) override;
  int SelectCaptureDevice(int index) override;
  int GetRenderDeviceCount() override;
  int GetRenderDeviceName(int index, std::string* name) override;
  int SelectRenderDeviceByName(const std::string& name) override;
  int SelectRenderDevice(int index) override;
  void SetMode(int systemMode, int sampleRate) override;
  // 1 already open, 0 opened, negative on failure.
  int Open() override;
  int Read(uint8_t* buffer, uint32_t* length) override;
  int Start() override;
  void Stop() override;
  int AddSink(IAecCaptureEvent* sink) override;
  void RemoveSink(IAecCaptureEvent* sink) override;
  bool DevicesChanged() override;

  int SystemMode() const { return systemMode_; }
  int SampleRate() const { return sampleRate_; }
  // One tick of the capture timer (also called by tests).
  void ReadTick();

 private:
  struct Engine;
  // Reads what the device holds and cancels the echo; returns the processed byte count.
  uint32_t Pull(uint8_t* out, uint32_t capacity);

  std::vector<std::string> captureNames_, renderNames_;
  int selectedCapture_ = -1, selectedRender_ = -1;
  int openedCapture_ = -2, openedRender_ = -2;
  int systemMode_ = 0;
  int sampleRate_ = 16000;
  std::atomic<int32_t> refs_{1};
  std::unique_ptr<Engine> engine_;
  std::vector<uint8_t> readBuffer_;
  std::set<IAecCaptureEvent*> sinks_;
  std::thread timer_;
  std::atomic<bool> running_{false};
};

// Consumer of captured microphone blocks.
class IAudioTarget {
 public:
  virtual ~IAudioTarget() = default;
  virtual int32_t OnAudio(int socket, const uint8_t* data, uint32_t length, uint32_t timestamp) = 0;
  virtual bool Matches(IAudioTarget* other) = 0;
  virtual int Encode(const uint8_t* pcm, uint32_t bytes, uint8_t* out, uint32_t* timestamp) = 0;
  virtual int32_t Format() = 0;
};

class CaptureFanout {
 public:
  static constexpr uint32_t kBlockBytes = 160;  // 10 ms of 16-bit mono at 8000 Hz

  CaptureFanout();
  ~CaptureFanout();
  bool Open();
  void Close();
  bool AddTarget(IAudioTarget* target);
  int RemoveTarget(IAudioTarget* target);
  void Dispatch(const uint8_t* data, uint32_t bytes, uint32_t timestamp);
  // Tests: groups and bytes carried to the next dispatch.
  size_t GroupCount();
  uint32_t CarryCount();

 private:
  std::mutex lock_;
  int socket_ = -1;
  std::vector<uint8_t> encode_;
  std::list<std::vector<IAudioTarget*>> groups_;
  uint8_t carry_[kBlockBytes] = {};
  uint32_t carryCount_ = 0;
};

class CAecAudioCapture : public IAecCaptureEvent {
 public:
  CAecAudioCapture() = default;
  ~CAecAudioCapture() override;
  // 1 when the capture runs, 0 when the device cannot be opened.
  int Start();
  void Stop();
  int OnCapture(const uint8_t* data, uint32_t bytes, int rate, int channels) override;
  CaptureFanout* Fanout() { return fanout_.get(); }
  CAecMicArrayCapture* Device() { return device_; }

 private:
  std::unique_ptr<CaptureFanout> fanout_;
  CAecMicArrayCapture* device_ = nullptr;
};

// What the talk glue needs of a device session.
class TalkSession {
 public:
  virtual ~TalkSession() = default;
  virtual int StartTalk() = 0;
  virtual int StopTalk() = 0;
  virtual int SendTalkData(int32_t codec, const uint8_t* data, uint32_t length) = 0;
  class CP2pAudioTarget* talkTarget = nullptr;
};

// The capture's own target: records PCM blocks when a recording is open (none is opened in the system).
class MyAudioTarget : public IAudioTarget {
 public:
  int32_t OnAudio(int socket, const uint8_t* data, uint32_t length, uint32_t timestamp) override;
  bool Matches(IAudioTarget*) override { return true; }
  int Encode(const uint8_t* pcm, uint32_t bytes, uint8_t* out, uint32_t* timestamp) override;
  int32_t Format() override { return kAudioCodecPcm; }
  AvRecorderGuard& Guard() { return guard_; }

 private:
  AvRecorderGuard guard_;
};

// Sends a session's talk audio to its device in frames of at least 320 bytes.
class CP2pAudioTarget : public IAudioTarget {
 public:
  CP2pAudioTarget(TalkSession* session, int32_t codec);
  int32_t OnAudio(int socket, const uint8_t* data, uint32_t length, uint32_t timestamp) override;
  bool Matches(IAudioTarget* other) override;
  int Encode(const uint8_t* pcm, uint32_t bytes, uint8_t* out, uint32_t* timestamp) override;
  int32_t Format() override { return codec_; }
  TalkSession* Session() const { return session_; }

 private:
  TalkSession* session_;
  int32_t codec_;
  AudioCodec encoder_;
  uint32_t fill_ = 0;
  uint8_t collect_[640] = {};
};

CAecAudioCapture* TalkCaptureCreate();
bool TalkCaptureAttachSession(CAecAudioCapture* capture, TalkSession* session);
bool TalkCaptureDetachSession(CAecAudioCapture* capture, TalkSession* session);
bool TalkCaptureFree(CAecAudioCapture* capture);
