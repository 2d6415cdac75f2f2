#include "media/audio/sdl_audio_player.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "media/audio/alsa_errors.h"

namespace {

std::atomic<int> g_sdlState{0};
std::once_flag g_sdlOnce;
std::atomic<SdlAudioPlayer::FarEndTap> g_farEndTap{nullptr};

int16_t ReadLe16(const uint8_t* p) { return static_cast<int16_t>(p[0] | (p[1] << 8)); }

void WriteLe16(uint8_t* p, int16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8);
}

// Room for the largest decoded frame: 2048-sample AAC frames over eight channels, or G.711 and ADPCM frames
// of any length (2 and 4 bytes of PCM per input byte).
uint32_t DecodeCapacity(uint32_t length) {
  return std::max<uint32_t>(2048 * 8 * 2, length > (1u << 28) ? (1u << 30) : length * 4);
}

}  // namespace

SdlAudioPlayer::SdlAudioPlayer() {
  std::call_once(g_sdlOnce, [] {
    QuietAlsaErrors();
    g_sdlState.store(SDL_Init(SDL_INIT_AUDIO) == 0 ? 1 : -1);
  });
}

SdlAudioPlayer::~SdlAudioPlayer() { Close(); }

int SdlAudioPlayer::SdlState() { return g_sdlState.load(); }

void SdlAudioPlayer::SetFarEndTap(FarEndTap tap) { g_farEndTap.store(tap); }

bool SdlAudioPlayer::IsOpen() {
  std::lock_guard<std::mutex> lk(lock_);
  return block_ != nullptr;
}

uint32_t SdlAudioPlayer::QueuedBytes() {
  std::lock_guard<std::mutex> lk(lock_);
  return block_ ? block_->pacer->Buffered() : 0;
}

bool SdlAudioPlayer::Open(int rate, int bits, int channels, std::unique_ptr<media::PacerTimer> timer) {
  std::lock_guard<std::mutex> lk(lock_);
  if (block_ || g_sdlState.load() != 1 || rate <= 0 || bits != 16 || channels <= 0 || channels > 8)
    return false;
  auto* b = new DeviceBlock();
  SDL_AudioSpec wanted{};
  SDL_AudioSpec obtained{};
  wanted.freq = rate;
  wanted.format = static_cast<SDL_AudioFormat>(bits | 0x8000);
  wanted.channels = static_cast<Uint8>(channels);
  wanted.samples = 960;
  wanted.callback = nullptr;
  b->device = SDL_OpenAudioDevice(nullptr, 0, &wanted, &obtained, 0);
  if (b->device == 0) {
    delete b;
    return false;
  }
  b->channels = channels;
  if (obtained.freq != wanted.freq || obtained.format != wanted.format ||
      obtained.channels != wanted.channels) {
    if (SDL_BuildAudioCVT(&b->cvt, wanted.format, wanted.channels, wanted.freq, obtained.format,
                          obtained.channels, obtained.freq) < 0) {
      SDL_CloseAudioDevice(b->device);
      delete b;
      return false;
    }
    b->convert = 1;
  }
  // The pacer works in the device's own format.
  b->outFormat = obtained.format;
  b->outRate = obtained.freq;
  b->outChannels = obtained.channels;
  int outBits = SDL_AUDIO_BITSIZE(obtained.format);
  b->pacer =
      std::make_unique<PlayoutPacer>(static_cast<uint32_t>(obtained.freq), static_cast<uint32_t>(outBits),
                                     obtained.channels, &SdlQueueCallback, b, std::move(timer));
  SDL_PauseAudioDevice(b->device, 0);
  block_ = b;
  return true;
}

void SdlAudioPlayer::SetCodec(int32_t codec, const uint8_t* config, uint32_t configLen) {
  std::lock_guard<std::mutex> lk(lock_);
  if (block_) block_->codec.Configure(codec, config, configLen);
}

void SdlAudioPlayer::Pause() {
  std::lock_guard<std::mutex> lk(lock_);
  if (block_) SDL_PauseAudio(1);
}

void SdlAudioPlayer::SetVolume(float volume) {
  std::lock_guard<std::mutex> lk(lock_);
  volume_ = volume;
}

void SdlAudioPlayer::ApplyVolume(uint8_t* pcm, uint32_t bytes, float volume) {
  if (volume == 1.0f) return;
  for (uint32_t i = 0; i + 1 < bytes; i += 2) {
    float v = static_cast<float>(ReadLe16(pcm + i)) * volume;
    int32_t s;
    if (!(v == v)) {
      s = 0;
    } else if (v >= 32767.0f) {
      s = 32767;
    } else if (v <= -32768.0f) {
      s = -32768;
    } else {
      s = static_cast<int32_t>(v);  // toward zero
    }
    WriteLe16(pcm + i, static_cast<int16_t>(s));
  }
}

void SdlAudioPlayer::Play(const uint8_t* data, uint32_t length) {
  std::lock_guard<std::mutex> lk(lock_);
  DeviceBlock* b = block_;
  if (!b || !data || length == 0) return;
  uint32_t cap = DecodeCapacity(length);
  if (b->pcm.size() < cap) b->pcm.resize(cap);
  int n = b->codec.Decode(data, length, b->pcm.data(), cap);
  if (n <= 0) return;
  uint32_t bytes = static_cast<uint32_t>(n);
  // A stereo AAC stream on a mono device is mixed down, so it plays at its own speed.
  if (b->codec.codec == kAudioCodecAac && b->channels == 1 && b->codec.aacChannels == 2 &&
      b->codec.aacInfo.channels == 2) {
    uint32_t frames = bytes / 4;
    for (uint32_t i = 0; i < frames; ++i) {
      int32_t m = (ReadLe16(&b->pcm[4 * i]) + ReadLe16(&b->pcm[4 * i + 2])) / 2;
      WriteLe16(&b->pcm[2 * i], static_cast<int16_t>(m));
    }
    bytes = frames * 2;
  }
  ApplyVolume(b->pcm.data(), bytes, volume_);
  const uint8_t* out = b->pcm.data();
  if (b->convert) {
    size_t need = static_cast<size_t>(bytes) * static_cast<size_t>(std::max(1, b->cvt.len_mult));
    if (b->cvtBuf.size() < need) b->cvtBuf.resize(need);
    std::memcpy(b->cvtBuf.data(), out, bytes);
    b->cvt.buf = b->cvtBuf.data();
    b->cvt.len = static_cast<int>(bytes);
    if (SDL_ConvertAudio(&b->cvt) != 0) return;
    out = b->cvtBuf.data();
    bytes = static_cast<uint32_t>(b->cvt.len_cvt);
  }
  b->pacer->Push(out, bytes);
}

void SdlAudioPlayer::Close() {
  DeviceBlock* b;
  {
    std::lock_guard<std::mutex> lk(lock_);
    b = block_;
    block_ = nullptr;
  }
  if (!b) return;
  b->codec.ReleaseAac();
  b->pacer.reset();  // stops the ticks before the device goes
  SDL_CloseAudioDevice(b->device);
  delete b;
}

void SdlAudioPlayer::SdlQueueCallback(const uint8_t* data, uint32_t bytes, void* block) {
  auto* b = static_cast<DeviceBlock*>(block);
  SDL_QueueAudio(b->device, data, bytes);
  // What goes to the device is the echo reference of the talk capture.
  FarEndTap tap = g_farEndTap.load();
  if (tap && b->outFormat == AUDIO_S16SYS && b->outChannels > 0)
    tap(reinterpret_cast<const int16_t*>(data), bytes / 2 / static_cast<uint32_t>(b->outChannels), b->outRate,
        b->outChannels);
}
