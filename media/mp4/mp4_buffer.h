// Growable byte buffer shared by the MP4 modules.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/byte_order.h"

// Results of the MP4 modules.
enum : int {
  kMp4Ok = 0,
  kMp4ErrRefused = -1,         // a frame or track refused
  kMp4ErrMalformed = -1101,    // a box missing or malformed, or a refused audio codec
  kMp4ErrBufferSmall = -1104,  // the caller's buffer is too small
  kMp4ErrNoSample = -1105,     // no sample left
  kMp4ErrOpen = -1106,         // the file cannot be opened
  kMp4ErrWrite = -1107,        // a write failed (disk full, I/O error)
  kMp4ErrFileLimit = -1108,    // the file reached its 4 GiB limit and was closed
};

// What a result of the MP4 modules means, for messages.
const char* Mp4ErrorText(int code);

struct Mp4Info {
  uint32_t size;
  uint32_t duration;
};

struct Mp4Buffer {
  uint32_t capacity;
  uint32_t length;  // highest position ever written
  uint8_t* data;
  uint32_t position;
  uint32_t step;
};

bool Mp4BufferInit(Mp4Buffer* b, uint32_t capacity, uint32_t step);
void Mp4BufferFree(Mp4Buffer* b);
// Writes n bytes at the position, growing the buffer; false when out of memory.
bool Mp4BufferWrite(Mp4Buffer* b, const void* src, uint32_t n);
bool Mp4BufferPut32(Mp4Buffer* b, uint32_t v);
bool Mp4BufferPut16(Mp4Buffer* b, uint16_t v);
bool Mp4BufferPut8(Mp4Buffer* b, uint8_t v);
bool Mp4BufferPutType(Mp4Buffer* b, const char* fourcc);
bool Mp4BufferZeros(Mp4Buffer* b, uint32_t n);

