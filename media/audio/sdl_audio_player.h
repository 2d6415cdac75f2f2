// SdlAudioPlayer: decodes audio frames, applies the volume, converts to the output device's format and plays
// them through SDL2's audio queue at an even pace (PlayoutPacer).
#pragma once

#include <SDL2/SDL.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "media/audio/audio_codec.h"
#include "media/audio/playout_pacer.h"

class SdlAudioPlayer {
 public:
  // Initialises SDL's audio once per process; a failure shows only as a failing Open.
  SdlAudioPlayer();
  ~SdlAudioPlayer();
  SdlAudioPlayer(const SdlAudioPlayer&) = delete;
  SdlAudioPlayer& operator=(const SdlAudioPlayer&) = delete;

  // Opens the default output device for 16-bit signed PCM; false when it cannot be opened.
  // timer: the pacer's tick source (the platform timer when null).
  bool Open(int rate, int bits, int channels, std::unique_ptr<media::PacerTimer> timer = nullptr);
  void SetCodec(int32_t codec, const uint8_t* config, uint32_t configLen);
  void Pause();
  // Decodes one frame and queues its sound; nothing without a device or when the frame does not decode.
  void Play(const uint8_t* data, uint32_t length);
  void SetVolume(float volume);
  void Close();

  bool IsOpen();
  // PCM bytes waiting in the pacer (0 without a device).
  uint32_t QueuedBytes();
  // Process-wide SDL state: 0 not tried, 1 done, -1 failed.
  static int SdlState();

  // Sample scaling of one buffer of 16-bit PCM, clamped to the sample range.
  static void ApplyVolume(uint8_t* pcm, uint32_t bytes, float volume);

  // Receives what every player sends to its device, as 16-bit samples (the echo reference of a talk
  // capture). frames counts samples per channel.
  using FarEndTap = void (*)(const int16_t* samples, uint32_t frames, int rate, int channels);
  // Hands in the tap of every player, or null for none; whoever takes the reference installs it while it
  // listens. The tap is called on the players' pacing threads.
  static void SetFarEndTap(FarEndTap tap);

 private:
  struct DeviceBlock {
    SDL_AudioDeviceID device = 0;
    SDL_AudioCVT cvt{};
    int32_t convert = 0;
    AudioCodec codec;
    std::unique_ptr<PlayoutPacer> pacer;
    int channels = 1;
    // The device's own format (echo reference).
    SDL_AudioFormat outFormat = 0;
    int outRate = 0;
    int outChannels = 0;
    std::vector<uint8_t> cvtBuf;
    std::vector<uint8_t> pcm;
  };

  static void SdlQueueCallback(const uint8_t* data, uint32_t bytes, void* block);

  std::mutex lock_;  // Open, Play and Close may come from different threads
  float volume_ = 1.0f;
  DeviceBlock* block_ = nullptr;
};
