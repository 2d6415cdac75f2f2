// MP4 recording front: what the media sinks call to record a view.
#pragma once

#include <cstdint>
#include <mutex>

#include "av/stream_type.h"
#include "media/mp4/mp4_writer.h"

struct Mp4Recording {
  uint32_t baseTimestamp;
  uint32_t lastAudioTimestamp;
  uint32_t started;
  uint32_t audioSeen;
  void* writer;
  // Where the recorded sound ends (relative, ms): silence continues from here.
  uint32_t audioEnd;
  uint32_t audioChannel;
  // The latest video time plus its distance to the next latest: where the
  // video track ends (also when frames come out of display order), which
  // the sound is filled up to at close.
  uint32_t videoEnd;
  uint32_t lastVideoTimestamp;  // the next latest video time
  uint32_t videoSeen;           // 1: one video time seen, 2: two or more
  uint32_t maxVideoTimestamp;
};

struct Mp4RecorderOps {
  int (*Open)(const char* path, void* reserved, void** handle);
  int (*Write)(uint32_t type, uint32_t timestamp, const uint8_t* data, uint32_t length,
               uint32_t parameter, void* handle);
  int (*Nop)();
  int (*Close)(Mp4Info* info, void* handle);
  int (*GetInfo)(Mp4Info* info, void* handle);
};

const Mp4RecorderOps* Mp4RecGetOps();

// The process-wide recorder table, set by a static initialiser.
extern const Mp4RecorderOps* g_mp4RecorderOps;

int Mp4RecOpen(const char* path, void* reserved, void** handle);
int Mp4RecWrite(uint32_t type, uint32_t timestamp, const uint8_t* data, uint32_t length,
                uint32_t parameter, void* handle);
int Mp4RecNop();
int Mp4RecClose(Mp4Info* info, void* handle);
int Mp4RecGetInfo(Mp4Info* info, void* handle);
int Mp4RecSetAudioFormat(uint32_t rate, uint32_t bits, uint32_t channels, void* handle);
// Writes 20 ms silence blocks from `from` while a block ends by `to`; returns
// where the last block written ends (`from` when none was).
uint32_t Mp4RecFillSilence(Mp4Recording* rec, uint32_t channel, uint32_t from, uint32_t to);

// Gap filling: one silence block is 20 ms; a gap longer than this gets only
// this much silence (a timestamp jump must not write gigabytes).
constexpr uint32_t kMp4SilenceBlockMs = 20;
constexpr uint32_t kMp4MaxSilenceMs = 10000;

// One recording behind a lock, as the sink's recorder and the talk capture's own target keep it.
struct AvRecorderGuard {
  std::mutex lock;
  void* handle = nullptr;
  bool audioFormatSet = false;

  int32_t Open(const char* path);
  void Close();
  bool IsOpen();
  // Writes one frame when a recording is open; 0 otherwise.
  int32_t Write(AvStreamType type, uint32_t timestamp, const void* data, int32_t length, int32_t param);
};
