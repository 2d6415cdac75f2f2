// Byte streams of the MP4 writer and reader: memory, file and size-counting.
#pragma once

#include <cstdint>
#include <cstdio>

#include "media/mp4/mp4_buffer.h"

// File stream open types.
enum : int { kMp4StreamRead = 1, kMp4StreamWrite = 2, kMp4StreamUpdate = 3 };

struct Mp4StreamOps {
  void* (*Open)(const char* path, int type);
  int32_t (*Write)(void* h, const void* data, uint32_t length);  // bytes or -1
  int32_t (*Read)(void* h, void* data, uint32_t length);         // bytes
  int64_t (*Tell)(void* h);
  int64_t (*Seek)(void* h, int64_t offset, int whence);  // -1 for an unknown whence
  int (*Close)(void* h);
};

extern const Mp4StreamOps kMp4MemStreamOps;
extern const Mp4StreamOps kMp4FileStreamOps;
extern const Mp4StreamOps kMp4CountStreamOps;

// The buffer behind a memory stream handle.
Mp4Buffer* MemStreamBuffer(void* h);
// The stdio file behind a file stream handle.
FILE* FileStreamFile(void* h);
