#include "media/mp4/mp4_recorder.h"

#include <cstdlib>
#include <cstring>

#include "av/media_codec.h"
#include "media/audio/g711.h"

namespace {

constexpr uint32_t kCodecAlaw = 2;
constexpr uint32_t kCodecPcm = 52;

bool Ahead(uint32_t t, uint32_t ref, uint32_t by) {
  uint32_t d = t - ref;
  return d < 0x80000000u && d > by;
}

// How long `bytes` of mono A-law last at the writer's audio rate, in ms.
uint32_t AlawMs(const Mp4Recording* rec, uint32_t bytes) {
  uint32_t rate = static_cast<const Mp4Writer*>(rec->writer)->audioRate;
  if (rate == 0) rate = 8000;
  return static_cast<uint32_t>(uint64_t{bytes} * 1000 / rate);
}

// Silence from where the sound ends (not where its last frame starts, which
// would give one time twice) up to `to`.
void FillFromAudioEnd(Mp4Recording* rec, uint32_t channel, uint32_t to) {
  rec->audioEnd = Mp4RecFillSilence(rec, channel, rec->audioEnd, to);
}

}  // namespace

uint32_t Mp4RecFillSilence(Mp4Recording* rec, uint32_t channel, uint32_t from, uint32_t to) {
  uint8_t block[160];
  std::memset(block, kG711AlawSilence, sizeof(block));
  uint32_t type = (channel << 16) | kCodecAlaw;
  uint32_t span = to - from;
  if (span >= 0x80000000u) return from;
  if (span > kMp4MaxSilenceMs) span = kMp4MaxSilenceMs;
  uint32_t end = from;
  for (uint32_t off = 0; off + kMp4SilenceBlockMs <= span; off += kMp4SilenceBlockMs) {
    if (Mp4WriterWriteSample(type, from + off, block, sizeof(block), 0, rec->writer) < -1) break;
    end = from + off + kMp4SilenceBlockMs;
  }
  return end;
}

int Mp4RecOpen(const char* path, void* reserved, void** handle) {
  if (!handle) return kMp4ErrOpen;
  void* writer = *handle;
  int r = Mp4WriterCreate(path, reserved, &writer);
  if (r != 0) return r;
  Mp4Recording* rec = static_cast<Mp4Recording*>(std::calloc(1, sizeof(Mp4Recording)));
  if (!rec) {
    Mp4WriterClose(nullptr, writer);
    return kMp4ErrOpen;
  }
  rec->writer = writer;
  *handle = rec;
  return 0;
}

int Mp4RecWrite(uint32_t type, uint32_t timestamp, const uint8_t* data, uint32_t length,
                uint32_t parameter, void* handle) {
  Mp4Recording* rec = static_cast<Mp4Recording*>(handle);
  if (!rec) return kMp4ErrRefused;
  uint32_t codec = type & 0xFFFF;
  uint32_t channel = type >> 16;
  bool video = Mp4IsVideoCodec(codec);
  bool audio = Mp4IsAudioCodec(codec);
  if (!video && !audio) return 0;
  if (!rec->started) {
    rec->started = 1;
    rec->baseTimestamp = timestamp;
    rec->lastAudioTimestamp = 0;
  }
  uint32_t t = timestamp - rec->baseTimestamp;
  if (video) {
    int r = Mp4WriterWriteSample(type, t, data, length, parameter, rec->writer);
    if (!rec->videoSeen) {
      rec->maxVideoTimestamp = t;
      rec->videoSeen = 1;
    } else if (Ahead(t, rec->maxVideoTimestamp, 0)) {
      rec->lastVideoTimestamp = rec->maxVideoTimestamp;
      rec->maxVideoTimestamp = t;
      rec->videoSeen = 2;
    } else if (t != rec->maxVideoTimestamp && (rec->videoSeen == 1 || Ahead(t, rec->lastVideoTimestamp, 0))) {
      rec->lastVideoTimestamp = t;  // a frame shown before the latest one (B-frames)
      rec->videoSeen = 2;
    }
    rec->videoEnd = rec->videoSeen == 2 ? 2 * rec->maxVideoTimestamp - rec->lastVideoTimestamp : rec->maxVideoTimestamp;
    if (rec->audioSeen && Ahead(t, rec->lastAudioTimestamp, 500)) {
      FillFromAudioEnd(rec, channel, t);
      rec->lastAudioTimestamp = t;
    }
    return r;
  }
  if (channel >= 4) return 0;
  int r = 0;
  if (codec == kCodecAlaw) {
    r = Mp4WriterWriteSample(type, t, data, length, 0, rec->writer);
  } else if (codec == kCodecPcm) {
    // Also before the first PCM frame (audio end 0): the sound starts with the file.
    if (Ahead(t, rec->lastAudioTimestamp, 100)) FillFromAudioEnd(rec, channel, t);
    uint32_t samples = length / 2;
    uint8_t stackBuf[2048];
    uint8_t* alaw = samples <= sizeof(stackBuf) ? stackBuf : static_cast<uint8_t*>(std::malloc(samples));
    if (!alaw) return kMp4ErrRefused;
    for (uint32_t i = 0; i < samples; ++i) {
      int16_t s = static_cast<int16_t>(data[2 * i] | (data[2 * i + 1] << 8));
      alaw[i] = G711LinearToAlaw(s);
    }
    int w = Mp4WriterWriteSample((type & 0xFFFF0000u) | kCodecAlaw, t, alaw, samples, 0, rec->writer);
    if (alaw != stackBuf) std::free(alaw);
    // Write failures and the size limit are reported; refusals are not.
    if (w < kMp4ErrRefused) r = w;
  } else {
    // Only A-law and PCM are recorded; other audio goes on unrecorded.
    return 0;
  }
  rec->audioSeen = 1;
  rec->audioChannel = channel;
  rec->lastAudioTimestamp = t;
  rec->audioEnd = t + AlawMs(rec, codec == kCodecPcm ? length / 2 : length);
  return r;
}

int Mp4RecNop() { return 0; }

int Mp4RecClose(Mp4Info* info, void* handle) {
  Mp4Recording* rec = static_cast<Mp4Recording*>(handle);
  if (!rec) return kMp4ErrRefused;
  // Sound that stopped before the picture is carried on with silence to the
  // end of the video track, however short the clip.
  if (rec->audioSeen && rec->videoSeen) FillFromAudioEnd(rec, rec->audioChannel, rec->videoEnd);
  int r = Mp4WriterClose(info, rec->writer);
  std::free(rec);
  return r;
}

int Mp4RecGetInfo(Mp4Info* info, void* handle) {
  Mp4Recording* rec = static_cast<Mp4Recording*>(handle);
  if (!rec) return kMp4ErrRefused;
  return Mp4WriterGetInfo(info, rec->writer);
}

int Mp4RecSetAudioFormat(uint32_t rate, uint32_t bits, uint32_t channels, void* handle) {
  Mp4Recording* rec = static_cast<Mp4Recording*>(handle);
  if (!rec) return kMp4ErrRefused;
  return Mp4WriterSetAudioFormat(rate, bits, channels, rec->writer);
}

namespace {
const Mp4RecorderOps kRecorderOps = {Mp4RecOpen, Mp4RecWrite, Mp4RecNop, Mp4RecClose, Mp4RecGetInfo};
}  // namespace

const Mp4RecorderOps* Mp4RecGetOps() { return &kRecorderOps; }

// Constant-initialised, so it is set before any other static initialiser runs.
const Mp4RecorderOps* g_mp4RecorderOps = &kRecorderOps;

int32_t AvRecorderGuard::Open(const char* path) {
  std::lock_guard<std::mutex> g(lock);
  if (handle) {
    g_mp4RecorderOps->Close(nullptr, handle);
    handle = nullptr;
  }
  audioFormatSet = false;
  void* h = nullptr;
  int rc = g_mp4RecorderOps->Open(path, nullptr, &h);
  if (rc == 0) handle = h;
  return rc;
}

void AvRecorderGuard::Close() {
  std::lock_guard<std::mutex> g(lock);
  if (handle) g_mp4RecorderOps->Close(nullptr, handle);
  handle = nullptr;
}

bool AvRecorderGuard::IsOpen() {
  std::lock_guard<std::mutex> g(lock);
  return handle != nullptr;
}

int32_t AvRecorderGuard::Write(AvStreamType type, uint32_t timestamp, const void* data, int32_t length,
                               int32_t param) {
  std::lock_guard<std::mutex> g(lock);
  if (!handle || length < 0) return 0;
  if (!audioFormatSet && IsAudioCodec(type & 0xFFFF)) {
    if ((param & ~3) == 8) Mp4RecSetAudioFormat(16000, 16, 1, handle);
    audioFormatSet = true;
  }
  return g_mp4RecorderOps->Write(type, timestamp, static_cast<const uint8_t*>(data),
                                 static_cast<uint32_t>(length), static_cast<uint32_t>(param), handle);
}
