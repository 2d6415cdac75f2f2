#include "media/mp4/mp4_stream.h"

#include <cstdlib>
#include <cstring>

namespace {

// Memory stream: an Mp4Buffer.
void* MemStreamNew(const char*, int) {
  Mp4Buffer* b = static_cast<Mp4Buffer*>(std::malloc(sizeof(Mp4Buffer)));
  if (!b) return nullptr;
  if (!Mp4BufferInit(b, 4096, 4096)) {
    std::free(b);
    return nullptr;
  }
  return b;
}

int32_t MemStreamWrite(void* h, const void* data, uint32_t length) {
  if (length > 0x7FFFFFFF) return -1;
  return Mp4BufferWrite(static_cast<Mp4Buffer*>(h), data, length) ? static_cast<int32_t>(length) : -1;
}

int32_t MemStreamRead(void* h, void* data, uint32_t length) {
  Mp4Buffer* b = static_cast<Mp4Buffer*>(h);
  uint32_t left = b->length > b->position ? b->length - b->position : 0;
  uint32_t n = length < left ? length : left;
  if (n > 0x7FFFFFFF) n = 0x7FFFFFFF;
  if (n) std::memcpy(data, b->data + b->position, n);
  b->position += n;
  return static_cast<int32_t>(n);
}

int64_t SeekWithin(uint64_t* position, uint64_t length, int64_t offset, int whence) {
  int64_t to;
  switch (whence) {
    case SEEK_SET: to = offset; break;
    case SEEK_CUR: to = static_cast<int64_t>(*position) + offset; break;
    case SEEK_END: to = static_cast<int64_t>(length) - offset; break;
    default: return -1;
  }
  if (to < 0) to = 0;
  if (static_cast<uint64_t>(to) > length) to = static_cast<int64_t>(length);
  *position = static_cast<uint64_t>(to);
  return to;
}

int64_t MemStreamTell(void* h) { return static_cast<Mp4Buffer*>(h)->position; }

int64_t MemStreamSeek(void* h, int64_t offset, int whence) {
  Mp4Buffer* b = static_cast<Mp4Buffer*>(h);
  uint64_t pos = b->position;
  int64_t r = SeekWithin(&pos, b->length, offset, whence);
  b->position = static_cast<uint32_t>(pos);
  return r;
}

int MemStreamClose(void* h) {
  if (!h) return -1;
  Mp4BufferFree(static_cast<Mp4Buffer*>(h));
  std::free(h);
  return 0;
}

// File stream: a stdio file.
void* FileStreamOpen(const char* path, int type) {
  const char* mode = type == kMp4StreamRead ? "rb" : type == kMp4StreamWrite ? "wb" : type == kMp4StreamUpdate ? "rb+" : nullptr;
  if (!path || !mode) return nullptr;
  FILE* f = std::fopen(path, mode);
  if (f && type != kMp4StreamRead) std::setvbuf(f, nullptr, _IOFBF, 1 << 16);
  return f;
}

int32_t FileStreamWrite(void* h, const void* data, uint32_t length) {
  // A short count means an error (disk full, I/O); stdio may already have
  // dropped buffered bytes, so a retry could report success over lost data.
  FILE* f = static_cast<FILE*>(h);
  if (length > 0x7FFFFFFF) return -1;
  size_t n = std::fwrite(data, 1, length, f);
  if (n != length || std::ferror(f)) return -1;
  return static_cast<int32_t>(n);
}

int32_t FileStreamRead(void* h, void* data, uint32_t length) {
  return static_cast<int32_t>(std::fread(data, 1, length, static_cast<FILE*>(h)));
}

int64_t FileStreamTell(void* h) { return std::ftell(static_cast<FILE*>(h)); }

int64_t FileStreamSeek(void* h, int64_t offset, int whence) {
  if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) return -1;
  return std::fseek(static_cast<FILE*>(h), offset, whence);
}

int FileStreamClose(void* h) {
  if (!h) return -1;
  return std::fclose(static_cast<FILE*>(h)) == 0 ? 0 : -1;
}

// Size-counting stream: stores nothing.
struct CountStream {
  uint64_t size;
  uint64_t position;
};

void* CountStreamNew(const char*, int) { return std::calloc(1, sizeof(CountStream)); }

int32_t CountStreamWrite(void* h, const void*, uint32_t length) {
  CountStream* c = static_cast<CountStream*>(h);
  c->position += length;
  if (c->position > c->size) c->size = c->position;
  return static_cast<int32_t>(length);
}

int32_t CountStreamRead(void* h, void*, uint32_t length) {
  CountStream* c = static_cast<CountStream*>(h);
  uint64_t left = c->size - c->position;
  uint64_t n = length < left ? length : left;
  c->position += n;
  return static_cast<int32_t>(n);
}

int64_t CountStreamTell(void* h) { return static_cast<int64_t>(static_cast<CountStream*>(h)->position); }

int64_t CountStreamSeek(void* h, int64_t offset, int whence) {
  CountStream* c = static_cast<CountStream*>(h);
  return SeekWithin(&c->position, c->size, offset, whence);
}

int CountStreamClose(void* h) {
  if (!h) return -1;
  std::free(h);
  return 0;
}

}  // namespace

const Mp4StreamOps kMp4MemStreamOps = {MemStreamNew, MemStreamWrite, MemStreamRead,
                                       MemStreamTell, MemStreamSeek, MemStreamClose};
const Mp4StreamOps kMp4FileStreamOps = {FileStreamOpen, FileStreamWrite, FileStreamRead,
                                        FileStreamTell, FileStreamSeek, FileStreamClose};
const Mp4StreamOps kMp4CountStreamOps = {CountStreamNew, CountStreamWrite, CountStreamRead,
                                         CountStreamTell, CountStreamSeek, CountStreamClose};

Mp4Buffer* MemStreamBuffer(void* h) { return static_cast<Mp4Buffer*>(h); }
FILE* FileStreamFile(void* h) { return static_cast<FILE*>(h); }
