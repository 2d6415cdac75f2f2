#include "media/mp4/mp4_writer.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "codecs/common/nal.h"

namespace {

constexpr uint32_t kMacEpochOffset = 2082844800u;  // 1904-01-01 to 1970-01-01
constexpr uint32_t kTableCapacity = 2000;
constexpr uint32_t kTableStep = 2048;
constexpr uint32_t kCopyBlock = 40960;

std::atomic<int64_t> g_testClock{0};

uint32_t NowMp4Time() {
  int64_t t = g_testClock.load();
  if (t == 0) t = static_cast<int64_t>(std::time(nullptr));
  return static_cast<uint32_t>(t + kMacEpochOffset);
}

const uint8_t kFtyp[24] = {0, 0, 0, 24, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm',
                           0, 0, 0, 0,  'm', 'p', '4', '1', 'a', 'v', 'c', '1'};

const uint32_t kMatrix[9] = {0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000};

// AAC LC, 8000 Hz, one channel.
const uint8_t kEsdsBody[43] = {0x00, 0x00, 0x00, 0x00, 0x03, 0x80, 0x80, 0x80, 0x22, 0x00, 0x00,
                               0x00, 0x04, 0x80, 0x80, 0x80, 0x14, 0x40, 0x15, 0x00, 0x01, 0x50,
                               0x00, 0x00, 0x36, 0xD8, 0x00, 0x00, 0x3A, 0x9F, 0x05, 0x80, 0x80,
                               0x80, 0x02, 0x15, 0x88, 0x06, 0x80, 0x80, 0x80, 0x01, 0x02};

bool IsH26x(uint32_t codec) { return codec == 1 || codec == 13; }

// Grows b so that n more bytes fit at its position without reallocation.
bool Reserve(Mp4Buffer* b, uint32_t n) {
  uint64_t end = uint64_t{b->position} + n;
  if (end <= b->capacity) return true;
  uint32_t keep = b->position;
  uint32_t keepLen = b->length;
  // Write zeros to force the growth, then step back.
  if (!Mp4BufferZeros(b, n)) return false;
  b->position = keep;
  b->length = keepLen;
  return true;
}

bool Append32x2(Mp4Buffer* b, uint32_t a, uint32_t c) { return Mp4BufferPut32(b, a) && Mp4BufferPut32(b, c); }

void FreeTrackData(Mp4Track* t) {
  Mp4BufferFree(&t->stts);
  Mp4BufferFree(&t->stsc);
  Mp4BufferFree(&t->stsz);
  Mp4BufferFree(&t->stco);
  Mp4BufferFree(&t->stss);
  Mp4BufferFree(&t->pts);
  Mp4BufferFree(&t->ctts);
  std::free(t->vps);
  std::free(t->sps);
  std::free(t->pps);
  std::free(t->hevc);
  t->vps = t->sps = t->pps = nullptr;
  t->vpsLen = t->spsLen = t->ppsLen = 0;
  t->hevc = nullptr;
}

bool InitTrackTables(Mp4Track* t) {
  return Mp4BufferInit(&t->stts, kTableCapacity, kTableStep) &&
         Mp4BufferInit(&t->stsc, kTableCapacity, kTableStep) &&
         Mp4BufferInit(&t->stsz, kTableCapacity, kTableStep) &&
         Mp4BufferInit(&t->stco, kTableCapacity, kTableStep) &&
         Mp4BufferInit(&t->stss, kTableCapacity, kTableStep) &&
         Mp4BufferInit(&t->pts, kTableCapacity, kTableStep) && Mp4BufferInit(&t->ctts, kTableCapacity, kTableStep);
}

void FreeWriter(Mp4Writer* w) {
  for (int i = 0; i < kMp4MaxTracks; ++i) {
    if (w->tracks[i]) {
      FreeTrackData(w->tracks[i]);
      std::free(w->tracks[i]);
    }
  }
  Mp4BufferFree(&w->builder);
  if (w->header) kMp4MemStreamOps.Close(w->header);
  if (w->stream && w->ops) w->ops->Close(w->stream);
  if (w->target) kMp4FileStreamOps.Close(w->target);
  if (w->tempPath) {
    std::remove(w->tempPath);
    std::free(w->tempPath);
  }
  std::free(w);
}

bool WriteAll(const Mp4StreamOps* ops, void* s, const void* data, uint32_t n) {
  return n == 0 || ops->Write(s, data, n) == static_cast<int32_t>(n);
}

// Makes "~mtXXXXXX" in the folder of path; returns the heap path or null.
char* MakeTempPath(const char* path) {
  std::string p(path);
  size_t slash = p.find_last_of('/');
  std::string dir = slash == std::string::npos ? std::string() : p.substr(0, slash + 1);
  std::string tmpl = dir + "~mtXXXXXX";
  char* buf = static_cast<char*>(std::malloc(tmpl.size() + 1));
  if (!buf) return nullptr;
  std::memcpy(buf, tmpl.c_str(), tmpl.size() + 1);
  int fd = mkstemp(buf);
  if (fd < 0) {
    std::free(buf);
    return nullptr;
  }
  close(fd);
  return buf;
}

Mp4Track* FindTrack(Mp4Writer* w, uint32_t codec, uint32_t index) {
  for (uint32_t i = 0; i < w->trackCount && i < kMp4MaxTracks; ++i) {
    Mp4Track* t = w->tracks[i];
    if (t && t->codec == codec && t->trackIndex == index) return t;
  }
  return nullptr;
}

int AddTrack(Mp4Writer* w, uint32_t codec, uint32_t index, Mp4Track** out) {
  if (w->trackCount >= kMp4MaxTracks) return kMp4ErrRefused;
  if (!Mp4IsVideoCodec(codec)) {
    if (codec >= 55 && codec <= 58) return kMp4ErrMalformed;
    if (codec != 2 && codec != 51 && codec != 52 && codec != 53 && codec != 54 && codec != 59)
      return kMp4ErrRefused;
  }
  Mp4Track* t = static_cast<Mp4Track*>(std::calloc(1, sizeof(Mp4Track)));
  if (!t) return kMp4ErrRefused;
  if (!InitTrackTables(t)) {
    FreeTrackData(t);
    std::free(t);
    return kMp4ErrRefused;
  }
  t->trackIndex = index;
  t->codec = codec;
  t->trackId = w->trackCount + 1;
  t->creationTime = NowMp4Time();
  w->tracks[w->trackCount++] = t;
  *out = t;
  return 0;
}

uint8_t* CopyBytes(const uint8_t* p, uint32_t n) {
  uint8_t* c = static_cast<uint8_t*>(std::malloc(n ? n : 1));
  if (c && n) std::memcpy(c, p, n);
  return c;
}

// Captures missing parameter sets; false drops the sample.
bool TakeParameterSets(Mp4Track* t, const uint8_t* data, uint32_t len) {
  if (t->codec == 12) {
    if (t->width == 0) Mp4ParseJpegSize(data, len, &t->width, &t->height);
    return true;
  }
  bool hevc = t->codec == 13;
  if (!IsH26x(t->codec)) return true;
  if (hevc && !t->hevc) {
    t->hevc = static_cast<Mp4HevcInfo*>(std::calloc(1, sizeof(Mp4HevcInfo)));
    if (!t->hevc) return false;
  }
  auto missing = [&] { return !t->sps || !t->pps || (hevc && !t->vps); };
  uint32_t pos = 0, nal = 0, nalLen = 0;
  while (missing() && bits::NextNal(data, len, &pos, &nal, &nalLen)) {
    if (nalLen == 0) continue;
    const uint8_t* u = data + nal;
    uint32_t type = hevc ? (u[0] >> 1) & 0x3F : u[0] & 0x1F;
    if (type < (hevc ? 19u : 7u)) return false;
    if (nalLen > 0xFFFF) continue;
    uint16_t n16 = static_cast<uint16_t>(nalLen);
    if (!hevc && type == 7 && !t->sps) {
      t->sps = CopyBytes(u, nalLen);
      t->spsLen = n16;
      Mp4ParseH264Sps(u, nalLen, &t->width, &t->height);
    } else if (!hevc && type == 8 && !t->pps) {
      t->pps = CopyBytes(u, nalLen);
      t->ppsLen = n16;
    } else if (hevc && type == 32 && !t->vps) {
      t->vps = CopyBytes(u, nalLen);
      t->vpsLen = n16;
    } else if (hevc && type == 33 && !t->sps) {
      t->sps = CopyBytes(u, nalLen);
      t->spsLen = n16;
      Mp4ParseHevcSps(u, nalLen, &t->width, &t->height, t->hevc);
    } else if (hevc && type == 34 && !t->pps) {
      t->pps = CopyBytes(u, nalLen);
      t->ppsLen = n16;
    }
  }
  // A sample that leaves a parameter set missing is not stored either.
  return !missing();
}

// Upper bound of the moov box once the next sample of `adding` is stored.
uint64_t MoovBound(const Mp4Writer* w, const Mp4Track* adding) {
  uint64_t total = 8 + 108;
  for (uint32_t i = 0; i < w->trackCount; ++i) {
    const Mp4Track* t = w->tracks[i];
    if (!t || (t->sampleCount == 0 && t != adding)) continue;
    total += 1200 + t->vpsLen + t->spsLen + t->ppsLen;
    total += t->stts.length + 16 + t->stsc.length + 24 + t->stsz.length + 4 + t->stco.length + 4 +
             t->stss.length + 4;
    // A reordered track may get up to one stts and one ctts entry per sample.
    if (t->reordered) total += 4 * uint64_t{t->pts.length} + 32;
  }
  return total;
}

int Finish(Mp4Writer* w, Mp4Info* info);

int StoreSample(Mp4Writer* w, Mp4Track* t, uint32_t rel, const uint8_t* data, uint32_t avail,
                uint32_t length, uint32_t key) {
  if (!TakeParameterSets(t, data, avail)) return 0;
  bool h26x = IsH26x(t->codec);
  uint32_t skip = 0;
  if (h26x && t->trackIndex == 0) {
    // The first start code gives way to the length; it must be there.
    if (avail >= 5 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1) {
      skip = 4;
    } else if (avail >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 1) {
      skip = 3;
    } else {
      return kMp4ErrRefused;
    }
  }
  uint64_t bytes64 = h26x ? uint64_t{length} - skip + 4 : length;
  if (bytes64 > 0xFFFFFFFFull) return kMp4ErrRefused;
  uint32_t bytes = static_cast<uint32_t>(bytes64);
  const Mp4StreamOps* ops = w->ops;
  int64_t pos = ops->Tell(w->stream);
  if (pos < 0) {
    w->error = kMp4ErrWrite;
    return w->error;
  }
  bool needMdat = (w->mode == kMp4ModeFile || w->mode == kMp4ModeSizeCount) && !w->mdatWritten;
  if (w->mode != kMp4ModeHeaderOutput) {
    uint64_t need = static_cast<uint64_t>(pos) + (needMdat ? 8 : 0) + bytes + MoovBound(w, t) + 32;
    if (need > w->sizeLimit) {
      // Close the file while its 32-bit offsets still hold.
      w->finished = 1;
      Finish(w, &w->finishedInfo);
      return kMp4ErrFileLimit;
    }
    bool ok = Reserve(&t->stts, 8) && Reserve(&t->stsz, 4) && Reserve(&t->stco, 4) &&
              Reserve(&t->stss, 4) && (!h26x || Reserve(&t->pts, 4)) && (!w->chunkOwner || Reserve(&w->chunkOwner->stsc, 12));
    if (!ok) return kMp4ErrRefused;
  }
  if (needMdat) {
    static const uint8_t kMdat[8] = {0, 0, 0, 0, 'm', 'd', 'a', 't'};
    if (!WriteAll(ops, w->stream, kMdat, 8)) {
      ops->Seek(w->stream, pos, SEEK_SET);
      w->error = kMp4ErrWrite;
      return w->error;
    }
    w->mdatStart = static_cast<uint32_t>(pos);
    w->mdatWritten = 1;
    pos += 8;
  }
  bool ok;
  if (h26x) {
    uint8_t len4[4];
    platform::PutBe32(len4, skip ? length - skip : length);
    ok = WriteAll(ops, w->stream, len4, 4) && WriteAll(ops, w->stream, data + skip, length - skip);
  } else {
    ok = WriteAll(ops, w->stream, data, length);
  }
  if (!ok) {
    ops->Seek(w->stream, pos, SEEK_SET);
    w->error = kMp4ErrWrite;
    return w->error;
  }
  if (w->mode == kMp4ModeHeaderOutput) return 0;

  Mp4Track* owner = w->chunkOwner;
  if (owner && owner != t && owner->chunkSamples > 0) {
    Mp4BufferPut32(&owner->stsc, owner->chunkCount);
    Mp4BufferPut32(&owner->stsc, owner->chunkSamples);
    Mp4BufferPut32(&owner->stsc, 1);
    owner->chunkSamples = 0;
  }
  if (t->sampleCount == 0) {
    t->lastSampleTime = 0;
    t->runCount = 0;
    if (t->creationTime == 0) t->creationTime = NowMp4Time();
  } else {
    uint32_t delta = rel - t->lastSampleTime;
    // A timestamp that steps back lasts no time rather than 2^32 ms.
    if (delta >= 0x80000000u) delta = 0;
    if (t->sampleCount == 1) {
      t->runDelta = delta;
    } else if (delta != t->runDelta) {
      Append32x2(&t->stts, t->runCount, t->runDelta);
      t->runCount = 0;
      t->runDelta = delta;
    }
    t->lastSampleTime = rel;
    t->runCount += 1;
    t->duration += delta;
  }
  Mp4BufferPut32(&t->stsz, bytes);
  if (w->chunkOwner != t) {
    w->chunkOwner = t;
    Mp4BufferPut32(&t->stco, static_cast<uint32_t>(pos));
    t->chunkCount += 1;
  }
  t->chunkSamples += 1;
  if (h26x) {
    if (t->sampleCount > 0 && rel < t->maxPts) t->reordered = 1;
    if (t->sampleCount == 0 || rel > t->maxPts) t->maxPts = rel;
    Mp4BufferPut32(&t->pts, rel);
  }
  t->sampleCount += 1;
  if (h26x && key) Mp4BufferPut32(&t->stss, t->sampleCount);
  return 0;
}

int AddSample(Mp4Writer* w, Mp4Track* t, uint32_t timestamp, const uint8_t* data, uint32_t avail,
              uint32_t length, uint32_t key) {
  if (Mp4IsVideoCodec(t->codec) && !t->keySeen) {
    if (key == 0) return 0;
    t->keySeen = 1;
  }
  if (!w->baseSet) {
    w->baseSet = 1;
    w->baseTimestamp = timestamp;
  }
  uint32_t rel = timestamp - w->baseTimestamp;
  if (rel > 0x80000000u) return 0;
  w->lastSampleTime = rel;
  return StoreSample(w, t, rel, data, avail, length, key);
}

// Box helpers on the builder.
uint32_t BoxBegin(Mp4Buffer* b, const char* type) {
  uint32_t at = b->position;
  Mp4BufferPut32(b, 0);
  Mp4BufferPutType(b, type);
  return at;
}

void BoxEnd(Mp4Buffer* b, uint32_t at) {
  if (b->data && at + 4 <= b->length) platform::PutBe32(b->data + at, b->position - at);
}

void FullBoxHeader(Mp4Buffer* b, uint32_t versionFlags) { Mp4BufferPut32(b, versionFlags); }

void PutMatrix(Mp4Buffer* b) {
  for (uint32_t m : kMatrix) Mp4BufferPut32(b, m);
}

void PutTable(Mp4Buffer* b, const char* type, const Mp4Buffer& table, uint32_t entrySize, bool withSampleSize) {
  uint32_t at = BoxBegin(b, type);
  FullBoxHeader(b, 0);
  if (withSampleSize) Mp4BufferPut32(b, 0);
  Mp4BufferPut32(b, table.length / entrySize);
  Mp4BufferWrite(b, table.data, table.length);
  BoxEnd(b, at);
}

// The first 16 bytes of a sample entry: size (patched by BoxEnd), format,
// reserved, data reference index 1. Returns the entry's start.
uint32_t SampleEntryBegin(Mp4Buffer* b, const uint8_t format[4]) {
  uint32_t at = b->position;
  Mp4BufferPut32(b, 0);
  Mp4BufferWrite(b, format, 4);
  Mp4BufferZeros(b, 6);
  Mp4BufferPut16(b, 1);
  return at;
}

void PutAudioEntry(const Mp4Writer* w, const Mp4Track* t, Mp4Buffer* b) {
  uint8_t format[4] = {0, 0, 0, 0};
  if (t->codec == 2) std::memcpy(format, "alaw", 4);
  if (t->codec == 59) std::memcpy(format, "mp4a", 4);
  if (t->codec == 53 || t->codec == 54) {
    const uint8_t ms[4] = {0x6D, 0x73, 0x00, static_cast<uint8_t>(t->codec == 53 ? 0x02 : 0x11)};
    std::memcpy(format, ms, 4);
  }
  uint32_t at = SampleEntryBegin(b, format);
  Mp4BufferZeros(b, 8);
  Mp4BufferPut16(b, static_cast<uint16_t>(w->audioChannels));
  Mp4BufferPut16(b, static_cast<uint16_t>(w->audioBits));
  Mp4BufferPut16(b, 0);
  Mp4BufferPut16(b, 0);
  Mp4BufferPut32(b, w->audioRate << 16);
  if (t->codec == 59) {
    uint32_t e = BoxBegin(b, "esds");
    Mp4BufferWrite(b, kEsdsBody, sizeof(kEsdsBody));
    BoxEnd(b, e);
  }
  BoxEnd(b, at);
}

void PutAvcC(const Mp4Track* t, Mp4Buffer* b) {
  uint32_t at = BoxBegin(b, "avcC");
  Mp4BufferPut8(b, 1);
  for (int i = 1; i <= 3; ++i) Mp4BufferPut8(b, t->spsLen > i ? t->sps[i] : 0);
  Mp4BufferPut8(b, 0xFF);
  Mp4BufferPut8(b, 0xE1);
  Mp4BufferPut16(b, t->spsLen);
  Mp4BufferWrite(b, t->sps, t->spsLen);
  Mp4BufferPut8(b, 1);
  Mp4BufferPut16(b, t->ppsLen);
  Mp4BufferWrite(b, t->pps, t->ppsLen);
  BoxEnd(b, at);
}

void PutHvcC(const Mp4Track* t, Mp4Buffer* b) {
  Mp4HevcInfo hi = t->hevc ? *t->hevc : Mp4HevcInfo{};
  uint8_t ptl[12] = {};
  if (t->spsLen) {
    uint8_t* raw = static_cast<uint8_t*>(std::malloc(t->spsLen));
    if (raw) {
      uint32_t n = bits::RemoveEmulation(t->sps, t->spsLen, raw);
      if (n > 3) std::memcpy(ptl, raw + 3, n - 3 < 12 ? n - 3 : 12);
      std::free(raw);
    }
  }
  uint32_t at = BoxBegin(b, "hvcC");
  Mp4BufferPut8(b, 1);
  Mp4BufferWrite(b, ptl, 12);
  Mp4BufferPut16(b, 0xF000);
  Mp4BufferPut8(b, 0xFC);
  Mp4BufferPut8(b, static_cast<uint8_t>(0xFC | (hi.chromaFormatIdc & 3)));
  Mp4BufferPut8(b, static_cast<uint8_t>(0xF8 | (hi.bitDepthLumaMinus8 & 7)));
  Mp4BufferPut8(b, static_cast<uint8_t>(0xF8 | (hi.bitDepthChromaMinus8 & 7)));
  Mp4BufferPut16(b, 0);
  Mp4BufferPut8(b, static_cast<uint8_t>(((hi.temporalLayers & 7) << 3) | ((hi.temporalIdNesting & 1) << 2) | 3));
  Mp4BufferPut8(b, 3);
  const uint8_t* units[3] = {t->vps, t->sps, t->pps};
  uint16_t lens[3] = {t->vpsLen, t->spsLen, t->ppsLen};
  for (int i = 0; i < 3; ++i) {
    Mp4BufferPut8(b, static_cast<uint8_t>(0xA0 + i));
    Mp4BufferPut16(b, 1);
    Mp4BufferPut16(b, lens[i]);
    Mp4BufferWrite(b, units[i], lens[i]);
  }
  BoxEnd(b, at);
}

void PutVideoEntry(const Mp4Track* t, Mp4Buffer* b) {
  uint8_t format[4] = {0, 0, 0, 0};
  const char* name = t->codec == 1 ? "avc1" : t->codec == 13 ? "hvc1" : t->codec == 12 ? "jpeg" : nullptr;
  if (name) std::memcpy(format, name, 4);
  uint32_t at = SampleEntryBegin(b, format);
  Mp4BufferZeros(b, 16);
  Mp4BufferPut16(b, static_cast<uint16_t>(t->width));
  Mp4BufferPut16(b, static_cast<uint16_t>(t->height));
  Mp4BufferPut32(b, 0x00480000);
  Mp4BufferPut32(b, 0x00480000);
  Mp4BufferPut32(b, 0);
  Mp4BufferPut16(b, 1);
  Mp4BufferZeros(b, 32);
  Mp4BufferPut16(b, 0x0010);
  Mp4BufferPut16(b, 0xFFFF);
  if (t->codec == 1) PutAvcC(t, b);
  if (t->codec == 13) PutHvcC(t, b);
  BoxEnd(b, at);
}

// Appends one trak box; *stcoAt receives the builder offset of its first stco entry.
void PutTrak(const Mp4Writer* w, const Mp4Track* t, Mp4Buffer* b, uint32_t* stcoAt) {
  bool video = Mp4IsVideoCodec(t->codec);
  uint32_t trak = BoxBegin(b, "trak");

  uint32_t tkhd = BoxBegin(b, "tkhd");
  FullBoxHeader(b, 1);
  Mp4BufferPut32(b, t->creationTime);
  Mp4BufferPut32(b, t->creationTime);
  Mp4BufferPut32(b, t->trackId);
  Mp4BufferPut32(b, 0);
  Mp4BufferPut32(b, t->duration);
  Mp4BufferZeros(b, 8);
  Mp4BufferPut16(b, 0);
  Mp4BufferPut16(b, 0);
  Mp4BufferPut16(b, video ? 0 : 0x0100);
  Mp4BufferPut16(b, 0);
  PutMatrix(b);
  Mp4BufferPut32(b, video ? t->width << 16 : 0);
  Mp4BufferPut32(b, video ? t->height << 16 : 0);
  BoxEnd(b, tkhd);

  uint32_t edts = BoxBegin(b, "edts");
  uint32_t elst = BoxBegin(b, "elst");
  FullBoxHeader(b, 0);
  Mp4BufferPut32(b, 1);
  Mp4BufferPut32(b, t->duration);
  Mp4BufferPut32(b, t->reordered ? t->cttsShift : 0);  // reordered: presentation starts at the first offset
  Mp4BufferPut32(b, 0x00010000);
  BoxEnd(b, elst);
  BoxEnd(b, edts);

  uint32_t mdia = BoxBegin(b, "mdia");
  uint32_t mdhd = BoxBegin(b, "mdhd");
  FullBoxHeader(b, 0);
  Mp4BufferPut32(b, t->creationTime);
  Mp4BufferPut32(b, t->creationTime);
  Mp4BufferPut32(b, 1000);
  Mp4BufferPut32(b, t->duration);
  Mp4BufferPut32(b, 0);
  BoxEnd(b, mdhd);

  uint32_t hdlr = BoxBegin(b, "hdlr");
  FullBoxHeader(b, 0);
  Mp4BufferPut32(b, 0);
  Mp4BufferPutType(b, video ? "vide" : "soun");
  Mp4BufferZeros(b, 12);
  Mp4BufferWrite(b, video ? "VideoHandler" : "SoundHandler", 13);
  BoxEnd(b, hdlr);

  uint32_t minf = BoxBegin(b, "minf");
  if (video) {
    uint32_t vmhd = BoxBegin(b, "vmhd");
    FullBoxHeader(b, 1);
    Mp4BufferZeros(b, 8);
    BoxEnd(b, vmhd);
  } else {
    uint32_t smhd = BoxBegin(b, "smhd");
    FullBoxHeader(b, 0);
    Mp4BufferZeros(b, 4);
    BoxEnd(b, smhd);
  }
  uint32_t dinf = BoxBegin(b, "dinf");
  uint32_t dref = BoxBegin(b, "dref");
  FullBoxHeader(b, 0);
  Mp4BufferPut32(b, 1);
  uint32_t url = BoxBegin(b, "url ");
  FullBoxHeader(b, 1);
  BoxEnd(b, url);
  BoxEnd(b, dref);
  BoxEnd(b, dinf);

  uint32_t stbl = BoxBegin(b, "stbl");
  uint32_t stsd = BoxBegin(b, "stsd");
  FullBoxHeader(b, 0);
  Mp4BufferPut32(b, 1);
  if (video) {
    PutVideoEntry(t, b);
  } else {
    PutAudioEntry(w, t, b);
  }
  BoxEnd(b, stsd);
  PutTable(b, "stts", t->stts, 8, false);
  if (t->reordered && t->ctts.length) PutTable(b, "ctts", t->ctts, 8, false);
  // A video track without sync entries (MJPEG: every sample is a key
  // sample) has no stss at all; an empty one would mean "no key sample".
  if (video && t->stss.length) PutTable(b, "stss", t->stss, 4, false);
  PutTable(b, "stsc", t->stsc, 12, false);
  PutTable(b, "stsz", t->stsz, 4, true);
  *stcoAt = b->position + 16;
  PutTable(b, "stco", t->stco, 4, false);
  BoxEnd(b, stbl);
  BoxEnd(b, minf);
  BoxEnd(b, mdia);
  BoxEnd(b, trak);
}

// Builds moov in the builder. stco entries are shifted by stcoShift.
bool BuildMoov(Mp4Writer* w, uint32_t duration, uint32_t stcoShift, uint32_t* stcoAt) {
  Mp4Buffer* b = &w->builder;
  b->position = 0;
  b->length = 0;
  uint32_t moov = BoxBegin(b, "moov");
  uint32_t mvhd = BoxBegin(b, "mvhd");
  uint32_t created = w->trackCount && w->tracks[0] ? w->tracks[0]->creationTime : 0;
  FullBoxHeader(b, 0);
  Mp4BufferPut32(b, created);
  Mp4BufferPut32(b, created);
  Mp4BufferPut32(b, 1000);
  Mp4BufferPut32(b, duration);
  Mp4BufferPut32(b, 0x00010000);
  Mp4BufferPut16(b, 0x0100);
  Mp4BufferZeros(b, 10);
  PutMatrix(b);
  Mp4BufferZeros(b, 24);
  Mp4BufferPut32(b, w->trackCount + 1);
  BoxEnd(b, mvhd);
  for (uint32_t i = 0; i < w->trackCount; ++i) {
    Mp4Track* t = w->tracks[i];
    if (!t || t->sampleCount == 0) continue;
    uint32_t entries = 0;
    PutTrak(w, t, b, &entries);
    stcoAt[i] = entries;
    if (stcoShift) {
      for (uint32_t k = 0; k < t->stco.length / 4; ++k) {
        uint8_t* e = b->data + entries + 4 * k;
        platform::PutBe32(e, platform::GetBe32(e) + stcoShift);
      }
    }
  }
  BoxEnd(b, moov);
  // Every write above succeeded only when the buffer grew as needed.
  return b->data && b->length == b->position;
}

int Finish(Mp4Writer* w, Mp4Info* info) {
  int err = w->error;
  *info = Mp4Info{0, 0};
  const Mp4StreamOps* ops = w->ops;
  if (w->mode == kMp4ModeHeaderOutput) {
    int64_t size = ops->Tell(w->stream);
    if (ops->Close(w->stream) != 0) err = kMp4ErrWrite;
    w->stream = nullptr;
    uint32_t duration = 0;
    for (uint32_t i = 0; i < w->trackCount; ++i)
      if (w->tracks[i] && w->tracks[i]->duration > duration) duration = w->tracks[i]->duration;
    *info = Mp4Info{static_cast<uint32_t>(size > 0 ? size : 0), duration};
    return err;
  }
  bool headerMode = w->mode == kMp4ModeHeaderMemory || w->mode == kMp4ModeFastStart;
  if (headerMode) {
    int64_t pos = ops->Tell(w->stream);
    w->mdatSize = static_cast<uint32_t>(pos + 8);
    if (ops->Close(w->stream) != 0) err = kMp4ErrWrite;
    w->stream = w->header;
    w->header = nullptr;
    w->ops = ops = &kMp4MemStreamOps;
  } else if (w->mdatWritten) {
    int64_t pos = ops->Tell(w->stream);
    uint8_t size4[4];
    platform::PutBe32(size4, static_cast<uint32_t>(pos - w->mdatStart));
    if (pos < 0 || ops->Seek(w->stream, w->mdatStart, SEEK_SET) < 0 || !WriteAll(ops, w->stream, size4, 4) ||
        ops->Seek(w->stream, pos, SEEK_SET) < 0)
      err = kMp4ErrWrite;
  }
  uint32_t duration = 0;
  for (uint32_t i = 0; i < w->trackCount; ++i) {
    Mp4Track* t = w->tracks[i];
    if (!t) continue;
    Mp4TrackFinishTables(t);
    if (t->duration > duration) duration = t->duration;
  }
  info->duration = duration;

  uint32_t stcoAt[kMp4MaxTracks] = {};
  int64_t moovAt = ops->Tell(w->stream);
  bool built = BuildMoov(w, duration, 0, stcoAt);
  if (built && headerMode) {
    uint32_t shift = static_cast<uint32_t>(moovAt) + w->builder.length + 8;
    built = BuildMoov(w, duration, shift, stcoAt);
  }
  if (!built || !WriteAll(ops, w->stream, w->builder.data, w->builder.length)) err = kMp4ErrWrite;
  for (uint32_t i = 0; i < w->trackCount; ++i)
    if (w->tracks[i]) w->tracks[i]->stcoTablePos = static_cast<uint32_t>(moovAt) + stcoAt[i];

  if (headerMode) {
    uint8_t mdat[8] = {0, 0, 0, 0, 'm', 'd', 'a', 't'};
    platform::PutBe32(mdat, w->mdatSize);
    if (!WriteAll(ops, w->stream, mdat, 8)) err = kMp4ErrWrite;
    if (w->mode == kMp4ModeFastStart) {
      Mp4Buffer* hb = MemStreamBuffer(w->stream);
      if (!WriteAll(&kMp4FileStreamOps, w->target, hb->data, hb->length)) err = kMp4ErrWrite;
      kMp4MemStreamOps.Close(w->stream);
      w->stream = nullptr;
      void* tmp = kMp4FileStreamOps.Open(w->tempPath, kMp4StreamRead);
      uint8_t* block = static_cast<uint8_t*>(std::malloc(kCopyBlock));
      if (!tmp || !block) {
        err = kMp4ErrWrite;
      } else {
        int32_t n;
        while ((n = kMp4FileStreamOps.Read(tmp, block, kCopyBlock)) > 0) {
          if (!WriteAll(&kMp4FileStreamOps, w->target, block, static_cast<uint32_t>(n))) {
            err = kMp4ErrWrite;
            break;
          }
        }
        if (std::ferror(FileStreamFile(tmp))) err = kMp4ErrWrite;
      }
      std::free(block);
      if (tmp) kMp4FileStreamOps.Close(tmp);
      int64_t size = kMp4FileStreamOps.Tell(w->target);
      info->size = static_cast<uint32_t>(size > 0 ? size : 0);
      if (kMp4FileStreamOps.Close(w->target) != 0) err = kMp4ErrWrite;
      w->target = nullptr;
      std::remove(w->tempPath);
      std::free(w->tempPath);
      w->tempPath = nullptr;
    } else {
      // Mode 1 keeps its header for a later header-output create.
      w->header = w->stream;
      w->stream = nullptr;
      w->headerClosed = 1;
    }
  } else {
    int64_t size = ops->Seek(w->stream, 0, SEEK_END) < 0 ? -1 : ops->Tell(w->stream);
    info->size = static_cast<uint32_t>(size > 0 ? size : 0);
    if (ops->Close(w->stream) != 0) err = kMp4ErrWrite;
    w->stream = nullptr;
  }
  return err;
}

}  // namespace

bool Mp4IsVideoCodec(uint32_t codec) { return codec == 1 || (codec >= 3 && codec <= 13); }
bool Mp4IsAudioCodec(uint32_t codec) { return codec == 2 || (codec >= 51 && codec <= 59); }

void Mp4SetClockForTesting(int64_t unixSeconds) { g_testClock.store(unixSeconds); }

void Mp4WriterSetSizeLimit(void* handle, uint64_t bytes) {
  if (handle) static_cast<Mp4Writer*>(handle)->sizeLimit = bytes;
}

// Reordered samples: decode times are the presentation times in rising order, moved back by the largest
// amount a sample is shown before its decode slot; each sample's offset is its presentation time minus its
// decode time.
void RebuildReorderedTables(Mp4Track* t) {
  uint32_t n = t->pts.length / 4;
  if (n < 2 || n != t->sampleCount) return;
  std::vector<uint32_t> pts(n), sorted(n);
  for (uint32_t i = 0; i < n; ++i) pts[i] = platform::GetBe32(t->pts.data + 4 * i);
  sorted = pts;
  std::sort(sorted.begin(), sorted.end());
  uint32_t shift = 0;
  for (uint32_t i = 0; i < n; ++i)
    if (sorted[i] > pts[i]) shift = std::max(shift, sorted[i] - pts[i]);
  t->stts.length = t->stts.position = 0;
  t->ctts.length = t->ctts.position = 0;
  uint32_t runCount = 0, runDelta = 0;
  for (uint32_t i = 1; i < n; ++i) {
    uint32_t delta = sorted[i] - sorted[i - 1];
    if (runCount && delta != runDelta) {
      Append32x2(&t->stts, runCount, runDelta);
      runCount = 0;
    }
    runDelta = delta;
    ++runCount;
  }
  Append32x2(&t->stts, runCount + 1, runDelta);  // the last sample lasts as long as the one before
  t->duration = sorted[n - 1] - sorted[0] + runDelta;
  t->cttsShift = shift;
  uint32_t offCount = 0, offValue = 0;
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t off = pts[i] - sorted[i] + shift;
    if (offCount && off != offValue) {
      Append32x2(&t->ctts, offCount, offValue);
      offCount = 0;
    }
    offValue = off;
    ++offCount;
  }
  Append32x2(&t->ctts, offCount, offValue);
}

void Mp4TrackFinishTables(Mp4Track* t) {
  if (t->tablesDone) return;
  t->tablesDone = 1;
  if (t->reordered) {
    RebuildReorderedTables(t);
  } else if (t->sampleCount > 0) {
    // The last sample lasts as long as the one before it, so that every
    // sample has an stts entry and players keep the last frame.
    uint32_t lastDelta = t->sampleCount > 1 ? t->runDelta : 0;
    Append32x2(&t->stts, t->runCount + 1, lastDelta);
    t->duration += lastDelta;
    t->runCount = 0;
  }
  if (t->chunkSamples > 0) {
    Mp4BufferPut32(&t->stsc, t->chunkCount);
    Mp4BufferPut32(&t->stsc, t->chunkSamples);
    Mp4BufferPut32(&t->stsc, 1);
    t->chunkSamples = 0;
  }
}

int Mp4WriterCreate(const char* path, void* reserved, void** handle) {
  if (!handle) return kMp4ErrOpen;
  uintptr_t value = reinterpret_cast<uintptr_t>(*handle);
  if (value == kMp4ModeFile || value == kMp4ModeHeaderMemory || value == kMp4ModeFastStart ||
      value == kMp4ModeSizeCount) {
    Mp4Writer* w = static_cast<Mp4Writer*>(std::calloc(1, sizeof(Mp4Writer)));
    if (!w) return kMp4ErrOpen;
    w->mode = static_cast<int32_t>(value);
    w->sizeLimit = 0xFFFFFFFFull;
    if (!Mp4BufferInit(&w->builder, 1000, 1000)) {
      FreeWriter(w);
      return kMp4ErrOpen;
    }
    switch (w->mode) {
      case kMp4ModeFile:
        w->ops = &kMp4FileStreamOps;
        w->stream = w->ops->Open(path, kMp4StreamWrite);
        if (w->stream && !WriteAll(w->ops, w->stream, kFtyp, sizeof(kFtyp))) w->error = kMp4ErrWrite;
        break;
      case kMp4ModeHeaderMemory:
        w->header = kMp4MemStreamOps.Open(nullptr, 0);
        if (w->header && WriteAll(&kMp4MemStreamOps, w->header, kFtyp, sizeof(kFtyp))) {
          w->ops = &kMp4CountStreamOps;
          w->stream = w->ops->Open(nullptr, 0);
        }
        break;
      case kMp4ModeFastStart:
        w->header = kMp4MemStreamOps.Open(nullptr, 0);
        if (path && *path && w->header && WriteAll(&kMp4MemStreamOps, w->header, kFtyp, sizeof(kFtyp))) {
          w->tempPath = MakeTempPath(path);
          w->ops = &kMp4FileStreamOps;
          if (w->tempPath) w->stream = w->ops->Open(w->tempPath, kMp4StreamWrite);
          w->target = kMp4FileStreamOps.Open(path, kMp4StreamWrite);
          if (!w->target && w->stream) {
            w->ops->Close(w->stream);
            w->stream = nullptr;
          }
        }
        break;
      case kMp4ModeSizeCount:
        w->ops = &kMp4CountStreamOps;
        w->stream = w->ops->Open(nullptr, 0);
        if (w->stream) WriteAll(w->ops, w->stream, kFtyp, sizeof(kFtyp));
        break;
    }
    if (!w->stream) {
      FreeWriter(w);
      return kMp4ErrOpen;
    }
    w->trackCount = 0;
    w->audioRate = 8000;
    w->audioBits = 16;
    w->audioChannels = 1;
    *handle = w;
    return 0;
  }
  if (value < 4096) return kMp4ErrOpen;
  // A closed header-in-memory writer: write its header, then take the samples.
  Mp4Writer* w = static_cast<Mp4Writer*>(*handle);
  if (w->mode != kMp4ModeHeaderMemory || !w->headerClosed || !w->header) return kMp4ErrOpen;
  if (!path || !*path) return kMp4ErrOpen;
  void* f = kMp4FileStreamOps.Open(path, kMp4StreamWrite);
  if (!f) return kMp4ErrOpen;
  w->mode = kMp4ModeHeaderOutput;
  w->ops = &kMp4FileStreamOps;
  w->stream = f;
  Mp4Buffer* hb = MemStreamBuffer(w->header);
  if (!WriteAll(w->ops, f, hb->data, hb->length)) w->error = kMp4ErrWrite;
  kMp4MemStreamOps.Close(w->header);
  w->header = nullptr;
  // The samples come again from the start: the same ones must be dropped.
  w->baseSet = 0;
  w->chunkOwner = nullptr;
  for (uint32_t i = 0; i < w->trackCount; ++i) {
    if (w->tracks[i]) w->tracks[i]->keySeen = 0;
  }
  return 0;
}

int Mp4WriterWriteSampleSized(uint32_t type, uint32_t timestamp, const uint8_t* data,
                              uint32_t available, uint32_t length, uint32_t key, void* handle) {
  Mp4Writer* w = static_cast<Mp4Writer*>(handle);
  if (!w || (!data && length)) return kMp4ErrRefused;
  if (w->finished) return kMp4ErrFileLimit;
  if (w->error) return w->error;
  if (!w->stream) return kMp4ErrRefused;  // a closed header-in-memory writer
  if (available < length && w->ops != &kMp4CountStreamOps) return kMp4ErrRefused;
  if (available > length) available = length;
  uint32_t codec = type & 0xFFFF;
  uint32_t index = type >> 16;
  Mp4Track* t = FindTrack(w, codec, index);
  if (!t) {
    if (w->mode == kMp4ModeHeaderOutput) return kMp4ErrRefused;
    if (AddTrack(w, codec, index, &t) != 0) return kMp4ErrRefused;
  }
  return AddSample(w, t, timestamp, data, available, length, key);
}

int Mp4WriterWriteSample(uint32_t type, uint32_t timestamp, const uint8_t* data, uint32_t length,
                         uint32_t key, void* handle) {
  return Mp4WriterWriteSampleSized(type, timestamp, data, length, length, key, handle);
}

int Mp4WriterNop() { return 0; }

int Mp4WriterClose(Mp4Info* info, void* handle) {
  Mp4Writer* w = static_cast<Mp4Writer*>(handle);
  if (!w) return kMp4ErrRefused;
  Mp4Info result{0, 0};
  int err = 0;
  if (w->finished) {
    result = w->finishedInfo;
    err = w->error;
  } else if (!(w->mode == kMp4ModeHeaderMemory && w->headerClosed)) {
    err = Finish(w, &result);
  }
  if (w->trackCount == 0) result = Mp4Info{0, 0};
  if (info) *info = result;
  Mp4BufferFree(&w->builder);
  if (w->mode == kMp4ModeHeaderMemory) {
    for (uint32_t i = 0; i < w->trackCount; ++i)
      if (w->tracks[i]) FreeTrackData(w->tracks[i]);
    return err;
  }
  FreeWriter(w);
  return err;
}

int Mp4WriterGetInfo(Mp4Info* info, void* handle) {
  Mp4Writer* w = static_cast<Mp4Writer*>(handle);
  if (!w || !info) return kMp4ErrRefused;
  if (w->finished) {
    info->size = w->finishedInfo.size;
  } else {
    int64_t pos = w->stream ? w->ops->Tell(w->stream) : 0;
    info->size = static_cast<uint32_t>(pos > 0 ? pos : 0);
  }
  info->duration = w->lastSampleTime / 1000;
  return 1;
}

int Mp4WriterSetAudioFormat(uint32_t rate, uint32_t bits, uint32_t channels, void* handle) {
  Mp4Writer* w = static_cast<Mp4Writer*>(handle);
  if (!w) return kMp4ErrRefused;
  w->audioRate = rate;
  w->audioBits = bits;
  w->audioChannels = channels;
  return 0;
}

const Mp4WriterOps* Mp4WriterGetOps() {
  static const Mp4WriterOps ops = {Mp4WriterCreate, Mp4WriterWriteSample, Mp4WriterNop,
                                   Mp4WriterClose, Mp4WriterGetInfo};
  return &ops;
}
