#include "sdk/cloudplay/cloud_segment.h"

#include <cstdio>
#include <cstring>

#include "util/crypto.h"

namespace {

uint32_t Be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
uint16_t Be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
void PutBe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24), p[1] = uint8_t(v >> 16), p[2] = uint8_t(v >> 8), p[3] = uint8_t(v);
}

struct CloudFile {
  FILE* f = nullptr;
  bool header_read = false;
  CloudFrameHeader header;
};

int Probe(const char*, Mp4StreamInfo* info) {
  if (info) *info = Mp4StreamInfo{0, 0, 0, 5000, 8000, 16, 1};
  return 0;
}

int Open(const char* path, void** handle) {
  if (!path || !handle) return kCloudReadOpen;
  FILE* f = std::fopen(path, "rb");
  if (!f) return kCloudReadOpen;
  auto* h = new CloudFile;
  h->f = f;
  *handle = h;
  return 0;
}

int Info(Mp4StreamInfo* info, void*) { return Probe(nullptr, info); }

int Peek(uint32_t* type, uint32_t* time, uint32_t* key, uint32_t* size, void* handle) {
  auto* h = static_cast<CloudFile*>(handle);
  if (!h) return kCloudReadEnd;
  if (!h->header_read) {
    uint8_t b[kCloudFrameHeaderSize];
    if (std::fread(b, 1, sizeof b, h->f) != sizeof b) return kCloudReadEnd;
    h->header = CloudFrameHeaderParse(b);
    h->header_read = true;
  }
  if (type) *type = CloudFrameStreamType(h->header.type);
  if (time) *time = h->header.timestamp;
  if (key) *key = h->header.flags;
  if (size) *size = h->header.length & kCloudMaxPayload;
  return 0;
}

int Read(uint32_t* type, uint32_t* time, uint8_t* buffer, uint32_t* size, uint32_t* key, void* handle) {
  int r = Peek(type, time, key, nullptr, handle);
  if (r != 0) return r;
  auto* h = static_cast<CloudFile*>(handle);
  uint32_t stored = CloudStoredSize(h->header.length);
  if (!size || !buffer || *size < stored) {
    if (size) *size = stored;
    return kCloudReadTooSmall;
  }
  if (std::fread(buffer, 1, stored, h->f) != stored) return kCloudReadEnd;
  h->header_read = false;
  *size = stored;
  return 0;
}

int Unsupported() { return kCloudReadUnsupported; }

int Rewind(uint32_t, void* handle) {
  auto* h = static_cast<CloudFile*>(handle);
  if (!h) return -1;
  std::rewind(h->f);
  h->header_read = false;
  return 0;
}

int Close(void* handle) {
  auto* h = static_cast<CloudFile*>(handle);
  if (!h) return 0;
  std::fclose(h->f);
  delete h;
  return 0;
}

const Mp4ReaderOps kOps = {Probe, Open, nullptr, Info, nullptr, Peek, Read, Unsupported, Rewind, Close};

}  // namespace

CloudFrameHeader CloudFrameHeaderParse(const uint8_t* p) {
  CloudFrameHeader h;
  h.type = Be16(p);
  h.flags = Be16(p + 2);
  h.length = Be32(p + 4);
  h.timestamp = Be32(p + 8);
  h.reserved = Be32(p + 12);
  return h;
}

int CloudFrameUnpad(const uint8_t* plain, int stored_size) {
  if (!plain || stored_size <= 0) return -1;
  int pad = plain[stored_size - 1];
  if (pad < 1 || pad > 8 || pad > stored_size) return -1;
  return stored_size - pad;
}

bool CloudFrameAppend(uint16_t type, uint16_t flags, uint32_t timestamp, const uint8_t* data, size_t length,
                      const char* key, std::vector<uint8_t>* out) {
  size_t pad = 8 - length % 8;
  size_t stored = length + pad;
  if (stored > kCloudMaxPayload || !key) return false;
  std::vector<uint8_t> plain(stored, static_cast<uint8_t>(pad));
  if (length) std::memcpy(plain.data(), data, length);
  size_t at = out->size();
  out->resize(at + kCloudFrameHeaderSize + stored);
  uint8_t* h = out->data() + at;
  h[0] = uint8_t(type >> 8), h[1] = uint8_t(type);
  h[2] = uint8_t(flags >> 8), h[3] = uint8_t(flags);
  PutBe32(h + 4, static_cast<uint32_t>(stored));
  PutBe32(h + 8, timestamp);
  PutBe32(h + 12, 0);
  if (CryptoDesEncrypt(plain.data(), static_cast<int>(stored), key, h + kCloudFrameHeaderSize) < 0) {
    out->resize(at);
    return false;
  }
  return true;
}

const Mp4ReaderOps* CloudFileReaderOps() { return &kOps; }
