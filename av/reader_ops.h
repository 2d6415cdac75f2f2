// Mp4ReaderOps: the table of a file reader that plays recordings into a sink, sample by sample in time
// order. The MP4 reader (media/mp4/mp4_reader.h) and the cloud segment reader (sdk/cloudplay/cloud_segment.h)
// fill it; a player uses either without knowing which.
#pragma once

#include <cstdint>

struct Mp4StreamInfo {
  uint32_t startTime;  // Unix seconds
  uint32_t endTime;
  uint32_t fileSize;
  uint32_t duration;  // milliseconds
  uint32_t audioRate;
  uint32_t audioBits;
  uint32_t audioChannels;
};

struct Mp4ReaderOps {
  int (*Probe)(const char* path, Mp4StreamInfo* info);
  int (*Open)(const char* path, void** handle);
  int (*SetTrackFilter)(uint32_t filter, uint32_t, uint32_t, void* handle);
  int (*GetInfo)(Mp4StreamInfo* info, void* handle);
  void* reserved;
  int (*PeekSample)(uint32_t* type, uint32_t* time, uint32_t* key, uint32_t* size, void* handle);
  int (*ReadSample)(uint32_t* type, uint32_t* time, uint8_t* buffer, uint32_t* size, uint32_t* key,
                    void* handle);
  int (*Nop)();
  int (*Seek)(uint32_t timeMs, void* handle);
  int (*Close)(void* handle);
};
