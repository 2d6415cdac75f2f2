// MP4 writer core: tracks keyed by codec and channel, sample tables, the
// mdat payload and, at close, the moov box.
#pragma once

#include <cstdint>

#include "media/mp4/mp4_buffer.h"
#include "media/mp4/mp4_params.h"
#include "media/mp4/mp4_stream.h"

// Writer modes, the value found at the handle on create.
enum : int32_t {
  kMp4ModeFile = 0,          // samples to the target after ftyp; moov appended at close
  kMp4ModeHeaderMemory = 1,  // samples only counted; ftyp + moov + mdat header kept in memory
  kMp4ModeFastStart = 2,     // samples to a temporary file; target gets header then samples
  kMp4ModeHeaderOutput = 3,  // a closed mode-1 writer writing its header, then the samples
  kMp4ModeSizeCount = 4,     // everything counted (recovery)
};

constexpr int kMp4MaxTracks = 8;

struct Mp4Track {
  uint32_t trackIndex;  // the channel of the stream
  uint32_t codec;
  uint32_t trackId;
  uint32_t stcoTablePos;
  uint32_t lastSampleTime;
  uint32_t runCount;
  uint32_t runDelta;
  Mp4Buffer stts;
  uint32_t creationTime;
  uint32_t chunkCount;
  uint32_t sampleCount;
  uint32_t duration;
  uint32_t chunkSamples;
  Mp4Buffer stsc, stsz, stco, stss;
  // Video.
  uint32_t keySeen;
  uint32_t width, height;
  uint8_t* vps;
  uint8_t* sps;
  uint8_t* pps;
  uint16_t vpsLen, spsLen, ppsLen;
  Mp4HevcInfo* hevc;
  // Tables complete: pending run and open chunk moved into stts and stsc.
  uint32_t tablesDone;
  // Presentation times of H.264/HEVC samples in stored order; when a time steps back (B-frames), the tables
  // are rebuilt at the end with decode times and a composition-offset table (ctts).
  Mp4Buffer pts;
  uint32_t maxPts;
  uint32_t reordered;
  uint32_t cttsShift;
  Mp4Buffer ctts;
};

struct Mp4Writer {
  int32_t mode;
  void* stream;
  void* header;
  const Mp4StreamOps* ops;
  char* tempPath;
  void* target;
  uint32_t baseTimestamp;
  Mp4Buffer builder;
  uint32_t trackCount;
  uint32_t baseSet;
  Mp4Track* tracks[kMp4MaxTracks];
  uint32_t mdatStart;
  uint32_t lastSampleTime;
  Mp4Track* chunkOwner;
  uint32_t audioRate, audioBits, audioChannels;
  uint32_t mdatSize;
  uint32_t mdatWritten;
  // First write error; from then on every sample is refused with it.
  int32_t error;
  // Closed early at the size limit; info holds what that close gave.
  uint32_t finished;
  Mp4Info finishedInfo;
  // Largest file the writer makes (4 GiB - 1 for 32-bit offsets).
  uint64_t sizeLimit;
  uint32_t headerClosed;  // a closed mode-1 writer
};

struct Mp4WriterOps {
  int (*Create)(const char* path, void* reserved, void** handle);
  int (*WriteSample)(uint32_t type, uint32_t timestamp, const uint8_t* data, uint32_t length,
                     uint32_t key, void* handle);
  int (*Nop)();
  int (*Close)(Mp4Info* info, void* handle);
  int (*GetInfo)(Mp4Info* info, void* handle);
};

const Mp4WriterOps* Mp4WriterGetOps();

int Mp4WriterCreate(const char* path, void* reserved, void** handle);
int Mp4WriterWriteSample(uint32_t type, uint32_t timestamp, const uint8_t* data, uint32_t length,
                         uint32_t key, void* handle);
int Mp4WriterNop();
int Mp4WriterClose(Mp4Info* info, void* handle);
int Mp4WriterGetInfo(Mp4Info* info, void* handle);
int Mp4WriterSetAudioFormat(uint32_t rate, uint32_t bits, uint32_t channels, void* handle);

// As WriteSample, for a sample of which only the first `available` bytes are
// at data while it takes `length` bytes in mdat. Only a size-counting stream
// accepts such samples (recovery).
int Mp4WriterWriteSampleSized(uint32_t type, uint32_t timestamp, const uint8_t* data,
                              uint32_t available, uint32_t length, uint32_t key, void* handle);

// Moves each track's pending stts run (and the last sample) and open chunk
// into its tables, and sets its duration; done once, at close or earlier.
void Mp4TrackFinishTables(Mp4Track* track);

bool Mp4IsVideoCodec(uint32_t codec);
bool Mp4IsAudioCodec(uint32_t codec);

// Test hooks: the wall clock used for creation times (0 = the real clock) and
// the largest file a writer makes.
void Mp4SetClockForTesting(int64_t unixSeconds);
void Mp4WriterSetSizeLimit(void* handle, uint64_t bytes);
