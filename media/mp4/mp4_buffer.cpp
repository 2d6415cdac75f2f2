#include "media/mp4/mp4_buffer.h"

#include <cstdlib>
#include <cstring>

bool Mp4BufferInit(Mp4Buffer* b, uint32_t capacity, uint32_t step) {
  std::memset(b, 0, sizeof(*b));
  b->step = step ? step : 1;
  if (capacity) {
    b->data = static_cast<uint8_t*>(std::malloc(capacity));
    if (!b->data) return false;
    b->capacity = capacity;
  }
  return true;
}

void Mp4BufferFree(Mp4Buffer* b) {
  std::free(b->data);
  std::memset(b, 0, sizeof(*b));
}

bool Mp4BufferWrite(Mp4Buffer* b, const void* src, uint32_t n) {
  uint64_t end = uint64_t{b->position} + n;
  if (end > b->capacity) {
    uint64_t cap = (end / b->step + 1) * b->step;
    if (cap > 0xFFFFFFFFull) return false;
    uint8_t* grown = static_cast<uint8_t*>(std::realloc(b->data, cap));
    if (!grown) return false;
    b->data = grown;
    b->capacity = static_cast<uint32_t>(cap);
  }
  if (n) std::memcpy(b->data + b->position, src, n);
  b->position = static_cast<uint32_t>(end);
  if (b->position > b->length) b->length = b->position;
  return true;
}

bool Mp4BufferPut32(Mp4Buffer* b, uint32_t v) {
  uint8_t t[4];
  platform::PutBe32(t, v);
  return Mp4BufferWrite(b, t, 4);
}

bool Mp4BufferPut16(Mp4Buffer* b, uint16_t v) {
  uint8_t t[2];
  platform::PutBe16(t, v);
  return Mp4BufferWrite(b, t, 2);
}

bool Mp4BufferPut8(Mp4Buffer* b, uint8_t v) { return Mp4BufferWrite(b, &v, 1); }

bool Mp4BufferPutType(Mp4Buffer* b, const char* fourcc) { return Mp4BufferWrite(b, fourcc, 4); }

bool Mp4BufferZeros(Mp4Buffer* b, uint32_t n) {
  static const uint8_t kZeros[64] = {};
  while (n) {
    uint32_t k = n < sizeof(kZeros) ? n : static_cast<uint32_t>(sizeof(kZeros));
    if (!Mp4BufferWrite(b, kZeros, k)) return false;
    n -= k;
  }
  return true;
}

const char* Mp4ErrorText(int code) {
  switch (code) {
    case kMp4Ok: return "no error";
    case kMp4ErrRefused: return "frame or track refused";
    case kMp4ErrMalformed: return "a box is missing or malformed";
    case kMp4ErrBufferSmall: return "buffer too small";
    case kMp4ErrNoSample: return "no sample left";
    case kMp4ErrOpen: return "the file cannot be opened";
    case kMp4ErrWrite: return "a write failed (disk full or I/O error)";
    case kMp4ErrFileLimit: return "the file reached its 4 GiB limit";
    default: return "unknown error";
  }
}
