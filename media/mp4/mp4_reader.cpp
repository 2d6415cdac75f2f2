#include "media/mp4/mp4_reader.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t kMacEpochOffset = 2082844800u;
constexpr int kMaxTracks = 8;

struct Mp4ReaderTrack {
  uint32_t sampleIndex;
  uint64_t offset;
  uint32_t chunkIndex;
  uint32_t sttsIndex, sttsPos;
  uint32_t stscIndex, chunkTaken;
  uint32_t stssIndex;
  uint64_t timeUnits;
  uint32_t number;
  uint32_t codec;
  uint32_t timescale;
  uint32_t sttsCount;
  uint32_t* stts;  // count, delta pairs
  uint32_t stscCount;
  uint32_t* stsc;  // first chunk, samples per chunk, description triples
  uint32_t sampleCount;
  uint32_t constSize;
  uint32_t* stsz;
  uint32_t stcoCount;
  uint32_t* stco;
  uint32_t stssCount;
  uint32_t* stss;
  bool hasStss;
  uint8_t* config;
  uint32_t configLen;
  int psState;
  bool video;
};

struct Mp4Reader {
  void* file;
  const Mp4StreamOps* ops;
  uint32_t trackCount;
  uint32_t videoCount;
  Mp4ReaderTrack* tracks[kMaxTracks];
  uint32_t startTime;
  uint32_t duration;
  uint32_t fileSize;
  uint32_t filter;
  uint32_t audioRate, audioBits, audioChannels;
};

// A byte span with a cursor; every read is checked.
struct Span {
  const uint8_t* p;
  uint64_t n;
  uint64_t at = 0;
  uint64_t Left() const { return n - at; }
  bool Has(uint64_t k) const { return Left() >= k; }
  uint32_t U32() { uint32_t v = Has(4) ? platform::GetBe32(p + at) : 0; at += Has(4) ? 4 : Left(); return v; }
};

// Finds a child box of the given type in [p, p + n). Box sizes are bounded by
// the span; size 1 takes a 64-bit size, size 0 runs to the end.
bool FindBox(const uint8_t* p, uint64_t n, const char* type, const uint8_t** body, uint64_t* bodyLen) {
  uint64_t at = 0;
  while (n - at >= 8) {
    uint64_t size = platform::GetBe32(p + at);
    uint64_t header = 8;
    if (size == 1) {
      if (n - at < 16) return false;
      size = platform::GetBe64(p + at + 8);
      header = 16;
    } else if (size == 0) {
      size = n - at;
    }
    if (size < header || size > n - at) return false;
    if (std::memcmp(p + at + 4, type, 4) == 0) {
      *body = p + at + header;
      *bodyLen = size - header;
      return true;
    }
    at += size;
  }
  return false;
}

// Reads a table of count entries of entrySize bytes after version/flags (and
// an extra skip); the count is bounded by the box.
bool ReadTable(const uint8_t* body, uint64_t len, uint32_t skip, uint32_t entryWords, uint32_t* count,
               uint32_t** table) {
  uint64_t head = 8 + skip;
  if (len < head) return false;
  uint32_t c = platform::GetBe32(body + 4 + skip);
  uint64_t bytes = uint64_t{c} * entryWords * 4;
  if (bytes > len - head) return false;
  uint32_t* t = static_cast<uint32_t*>(std::malloc(bytes ? bytes : 4));
  if (!t) return false;
  for (uint64_t i = 0; i < uint64_t{c} * entryWords; ++i) t[i] = platform::GetBe32(body + head + 4 * i);
  *count = c;
  *table = t;
  return true;
}

uint32_t DescriptorLength(Span* s) {
  uint32_t len = 0;
  for (int i = 0; i < 4 && s->Has(1); ++i) {
    uint8_t b = s->p[s->at++];
    len = (len << 7) | (b & 0x7F);
    if (!(b & 0x80)) break;
  }
  return len;
}

bool ParseEsds(const uint8_t* body, uint64_t len, Mp4ReaderTrack* t) {
  Span s{body, len};
  s.U32();  // version and flags
  if (!s.Has(1) || s.p[s.at++] != 3) return false;
  uint32_t l = DescriptorLength(&s);
  if (l < 20 || !s.Has(3)) return false;
  s.at += 3;
  if (!s.Has(1) || s.p[s.at++] != 4) return false;
  l = DescriptorLength(&s);
  if (l <= 12 || !s.Has(13) || s.p[s.at] != 0x40) return false;
  s.at += 13;
  if (!s.Has(1) || s.p[s.at++] != 5) return false;
  l = DescriptorLength(&s);
  if (!s.Has(l)) return false;
  t->config = static_cast<uint8_t*>(std::malloc(l ? l : 1));
  if (!t->config) return false;
  std::memcpy(t->config, s.p + s.at, l);
  t->configLen = l;
  return true;
}

// Appends 00 00 00 01 and the NAL unit to the track's configuration.
bool AddConfigNal(Mp4ReaderTrack* t, const uint8_t* nal, uint32_t len) {
  uint8_t* grown = static_cast<uint8_t*>(std::realloc(t->config, t->configLen + 4 + len));
  if (!grown) return false;
  t->config = grown;
  static const uint8_t kStart[4] = {0, 0, 0, 1};
  std::memcpy(t->config + t->configLen, kStart, 4);
  std::memcpy(t->config + t->configLen + 4, nal, len);
  t->configLen += 4 + len;
  return true;
}

bool ParseAvcC(const uint8_t* body, uint64_t len, Mp4ReaderTrack* t) {
  Span s{body, len};
  if (!s.Has(6)) return false;
  uint32_t sps = body[5] & 0x1F;
  s.at = 6;
  for (int kind = 0; kind < 2; ++kind) {
    for (uint32_t i = 0; i < sps; ++i) {
      if (!s.Has(2)) return false;
      uint32_t n = platform::GetBe16(body + s.at);
      s.at += 2;
      if (!s.Has(n)) return false;
      if (i == 0 && !AddConfigNal(t, body + s.at, n)) return false;
      s.at += n;
    }
    if (kind == 0) {
      if (!s.Has(1)) return false;
      sps = body[s.at++];
    }
  }
  return true;
}

bool ParseHvcC(const uint8_t* body, uint64_t len, Mp4ReaderTrack* t) {
  Span s{body, len};
  if (!s.Has(23)) return false;
  uint32_t arrays = body[22];
  s.at = 23;
  for (uint32_t a = 0; a < arrays; ++a) {
    if (!s.Has(3)) return false;
    uint32_t count = platform::GetBe16(body + s.at + 1);
    s.at += 3;
    for (uint32_t i = 0; i < count; ++i) {
      if (!s.Has(2)) return false;
      uint32_t n = platform::GetBe16(body + s.at);
      s.at += 2;
      if (!s.Has(n)) return false;
      if (i == 0 && a < 3 && !AddConfigNal(t, body + s.at, n)) return false;
      s.at += n;
    }
  }
  return true;
}

void FreeTrack(Mp4ReaderTrack* t) {
  if (!t) return;
  std::free(t->stts);
  std::free(t->stsc);
  std::free(t->stsz);
  std::free(t->stco);
  std::free(t->stss);
  std::free(t->config);
  std::free(t);
}

// Returns 1 for a track, 0 for a track of another codec, <0 for a malformed box.
int ReadSampleEntry(Mp4Reader* r, Mp4ReaderTrack* t, const uint8_t* body, uint64_t len) {
  if (len < 8 + 8) return kMp4ErrMalformed;
  const uint8_t* e = body + 8;  // first entry
  uint64_t elen = platform::GetBe32(e);
  if (elen < 8 || elen > len - 8) return kMp4ErrMalformed;
  const uint8_t* fmt = e + 4;
  if (!std::memcmp(fmt, "hvc1", 4)) t->codec = 13;
  else if (!std::memcmp(fmt, "avc1", 4)) t->codec = 1;
  else if (!std::memcmp(fmt, "jpeg", 4)) t->codec = 12;
  else if (!std::memcmp(fmt, "alaw", 4)) t->codec = 2;
  else if (!std::memcmp(fmt, "twos", 4) || !std::memcmp(fmt, "sowt", 4)) t->codec = 52;
  else if (fmt[0] == 0x6D && fmt[1] == 0x73 && fmt[2] == 0 && fmt[3] == 0x02) t->codec = 53;
  else if (fmt[0] == 0x6D && fmt[1] == 0x73 && fmt[2] == 0 && fmt[3] == 0x11) t->codec = 54;
  else if (!std::memcmp(fmt, "mp4a", 4)) t->codec = 59;
  else return 0;
  t->video = t->codec == 1 || t->codec == 12 || t->codec == 13;
  const uint8_t* child;
  uint64_t childLen;
  if (t->video) {
    if (elen < 86) return kMp4ErrMalformed;
    const uint8_t* rest = e + 86;
    uint64_t restLen = elen - 86;
    if (t->codec == 1) {
      if (!FindBox(rest, restLen, "avcC", &child, &childLen) || !ParseAvcC(child, childLen, t))
        return kMp4ErrMalformed;
    } else if (t->codec == 13) {
      if (!FindBox(rest, restLen, "hvcC", &child, &childLen) || !ParseHvcC(child, childLen, t))
        return kMp4ErrMalformed;
    }
    return 1;
  }
  if (elen < 36) return kMp4ErrMalformed;
  uint32_t headLen = 36;
  if (platform::GetBe16(e + 16) == 1) headLen += 16;
  if (elen < headLen) return kMp4ErrMalformed;
  r->audioChannels = platform::GetBe16(e + 24);
  r->audioBits = platform::GetBe16(e + 26);
  r->audioRate = platform::GetBe32(e + 32) >> 16;
  if (t->codec == 59) {
    if (!FindBox(e + headLen, elen - headLen, "esds", &child, &childLen) || !ParseEsds(child, childLen, t))
      return kMp4ErrMalformed;
  }
  return 1;
}

void ResetTrack(Mp4ReaderTrack* t) {
  t->sampleIndex = 0;
  t->chunkIndex = 0;
  t->chunkTaken = 0;
  t->stscIndex = 0;
  t->sttsIndex = 0;
  t->sttsPos = 0;
  t->stssIndex = 0;
  t->timeUnits = 0;
  t->offset = t->stcoCount ? t->stco[0] : 0;
}

uint32_t SamplesInChunk(const Mp4ReaderTrack* t) {
  return t->stscIndex < t->stscCount ? t->stsc[3 * t->stscIndex + 1] : 0;
}

uint32_t SampleSize(const Mp4ReaderTrack* t, uint32_t i) {
  return t->constSize ? t->constSize : t->stsz[i];
}

// Moves to the next chunk, keeping the stsc entry in step.
void NextChunk(Mp4ReaderTrack* t) {
  t->chunkIndex += 1;
  t->chunkTaken = 0;
  while (t->stscIndex + 1 < t->stscCount && t->stsc[3 * (t->stscIndex + 1)] <= t->chunkIndex + 1)
    t->stscIndex += 1;
  t->offset = t->chunkIndex < t->stcoCount ? t->stco[t->chunkIndex] : 0;
}

// Skips chunks that hold no samples; true when a sample is there.
bool HasSample(Mp4ReaderTrack* t) {
  if (t->sampleIndex >= t->sampleCount) return false;
  while (t->chunkIndex < t->stcoCount && t->chunkTaken >= SamplesInChunk(t)) NextChunk(t);
  return t->chunkIndex < t->stcoCount;
}

uint32_t TimeMs(const Mp4ReaderTrack* t) {
  uint64_t ms = t->timescale ? t->timeUnits * 1000 / t->timescale : 0;
  return static_cast<uint32_t>(ms);
}

bool IsKey(const Mp4ReaderTrack* t) {
  return !t->hasStss || (t->stssIndex < t->stssCount && t->stss[t->stssIndex] == t->sampleIndex + 1);
}

void Advance(Mp4ReaderTrack* t) {
  if (IsKey(t) && t->hasStss) t->stssIndex += 1;
  while (t->hasStss && t->stssIndex < t->stssCount && t->stss[t->stssIndex] <= t->sampleIndex + 1)
    t->stssIndex += 1;
  t->offset += SampleSize(t, t->sampleIndex);
  t->sampleIndex += 1;
  t->chunkTaken += 1;
  if (t->sttsIndex < t->sttsCount) {
    t->timeUnits += t->stts[2 * t->sttsIndex + 1];
    t->sttsPos += 1;
    while (t->sttsIndex < t->sttsCount && t->sttsPos >= t->stts[2 * t->sttsIndex]) {
      t->sttsIndex += 1;
      t->sttsPos = 0;
    }
  }
  if (t->chunkTaken >= SamplesInChunk(t)) NextChunk(t);
}

// Positions the track at sample n (0-based) from the start.
void SeekToSample(Mp4ReaderTrack* t, uint32_t n) {
  ResetTrack(t);
  // Chunk of sample n through stsc.
  uint32_t before = 0;
  for (uint32_t e = 0; e < t->stscCount; ++e) {
    uint32_t first = t->stsc[3 * e] ? t->stsc[3 * e] - 1 : 0;
    uint32_t last = e + 1 < t->stscCount && t->stsc[3 * (e + 1)] > 0 ? t->stsc[3 * (e + 1)] - 1 : t->stcoCount;
    if (last > t->stcoCount) last = t->stcoCount;
    uint32_t per = t->stsc[3 * e + 1];
    if (last <= first) continue;
    uint64_t inRun = uint64_t{last - first} * per;
    if (per && n < before + inRun) {
      uint32_t k = n - before;
      t->chunkIndex = first + k / per;
      t->chunkTaken = k % per;
      t->stscIndex = e;
      t->offset = t->stco[t->chunkIndex];
      uint32_t s0 = n - t->chunkTaken;
      for (uint32_t i = s0; i < n && i < t->sampleCount; ++i) t->offset += SampleSize(t, i);
      break;
    }
    before += static_cast<uint32_t>(inRun > 0xFFFFFFFFu - before ? 0xFFFFFFFFu - before : inRun);
  }
  t->sampleIndex = n;
  // Time through stts.
  uint32_t left = n;
  while (t->sttsIndex < t->sttsCount && left > 0) {
    uint32_t c = t->stts[2 * t->sttsIndex];
    uint32_t take = left < c ? left : c;
    t->timeUnits += uint64_t{take} * t->stts[2 * t->sttsIndex + 1];
    left -= take;
    if (take == c) {
      t->sttsIndex += 1;
    } else {
      t->sttsPos = take;
    }
  }
  while (t->stssIndex < t->stssCount && t->stss[t->stssIndex] < n + 1) t->stssIndex += 1;
}

// Index of the last sample whose time is at most ms (0 when none).
uint32_t SampleAtTime(const Mp4ReaderTrack* t, uint32_t ms) {
  uint64_t units = t->timescale ? uint64_t{ms} * t->timescale / 1000 : 0;
  uint64_t time = 0;
  uint64_t index = 0;
  for (uint32_t e = 0; e < t->sttsCount; ++e) {
    uint64_t c = t->stts[2 * e], d = t->stts[2 * e + 1];
    if (d && time + c * d > units) {
      index += (units - time) / d;
      return static_cast<uint32_t>(index < t->sampleCount ? index : (t->sampleCount ? t->sampleCount - 1 : 0));
    }
    time += c * d;
    index += c;
  }
  if (t->sampleCount == 0) return 0;
  return static_cast<uint32_t>(index < t->sampleCount ? index : t->sampleCount - 1);
}

int ReadTrak(Mp4Reader* r, const uint8_t* trak, uint64_t len, Mp4ReaderTrack** out) {
  const uint8_t *mdia, *mdhd, *minf, *stbl, *b;
  uint64_t mdiaLen, mdhdLen, minfLen, stblLen, bl;
  if (!FindBox(trak, len, "mdia", &mdia, &mdiaLen) || !FindBox(mdia, mdiaLen, "mdhd", &mdhd, &mdhdLen) ||
      !FindBox(mdia, mdiaLen, "minf", &minf, &minfLen) || !FindBox(minf, minfLen, "stbl", &stbl, &stblLen))
    return kMp4ErrMalformed;
  Mp4ReaderTrack* t = static_cast<Mp4ReaderTrack*>(std::calloc(1, sizeof(Mp4ReaderTrack)));
  if (!t) return kMp4ErrMalformed;
  int result = kMp4ErrMalformed;
  do {
    uint32_t version = mdhdLen ? mdhd[0] : 0;
    uint64_t tsAt = version == 1 ? 20 : 12;
    if (mdhdLen < tsAt + 4) break;
    t->timescale = platform::GetBe32(mdhd + tsAt);
    if (!FindBox(stbl, stblLen, "stsd", &b, &bl)) break;
    int entry = ReadSampleEntry(r, t, b, bl);
    if (entry <= 0) {
      result = entry;
      break;
    }
    if (!FindBox(stbl, stblLen, "stsz", &b, &bl) || bl < 12) break;
    t->constSize = platform::GetBe32(b + 4);
    if (t->constSize) {
      t->sampleCount = platform::GetBe32(b + 8);
    } else if (!ReadTable(b, bl, 4, 1, &t->sampleCount, &t->stsz)) {
      break;
    }
    if (!FindBox(stbl, stblLen, "stts", &b, &bl) || !ReadTable(b, bl, 0, 2, &t->sttsCount, &t->stts)) break;
    if (FindBox(stbl, stblLen, "stss", &b, &bl)) {
      if (!ReadTable(b, bl, 0, 1, &t->stssCount, &t->stss)) break;
      t->hasStss = true;
    }
    if (!FindBox(stbl, stblLen, "stco", &b, &bl) || !ReadTable(b, bl, 0, 1, &t->stcoCount, &t->stco)) break;
    if (!FindBox(stbl, stblLen, "stsc", &b, &bl) || !ReadTable(b, bl, 0, 3, &t->stscCount, &t->stsc)) break;
    ResetTrack(t);
    *out = t;
    return 1;
  } while (false);
  FreeTrack(t);
  return result;
}

// Reads the box header at the stream position; false at the end or when it
// does not fit in the file.
bool NextTopBox(Mp4Reader* r, uint64_t fileSize, uint64_t* at, char type[4], uint64_t* size, uint64_t* header) {
  uint8_t h[16];
  if (*at + 8 > fileSize) return false;
  if (r->ops->Seek(r->file, static_cast<int64_t>(*at), SEEK_SET) < 0 || r->ops->Read(r->file, h, 8) != 8) return false;
  uint64_t s = platform::GetBe32(h);
  *header = 8;
  if (s == 1) {
    if (r->ops->Read(r->file, h + 8, 8) != 8) return false;
    s = platform::GetBe64(h + 8);
    *header = 16;
  } else if (s == 0) {
    s = fileSize - *at;
  }
  if (s < *header || s > fileSize - *at) return false;
  std::memcpy(type, h + 4, 4);
  *size = s;
  return true;
}

// Loads the body of the first top-level box of the given type after `from`.
int LoadTopBox(Mp4Reader* r, uint64_t fileSize, const char* want, uint64_t* from, uint8_t** body, uint64_t* len) {
  uint64_t at = *from, size, header;
  char type[4];
  while (NextTopBox(r, fileSize, &at, type, &size, &header)) {
    if (std::memcmp(type, want, 4) == 0) {
      uint64_t n = size - header;
      uint8_t* p = static_cast<uint8_t*>(std::malloc(n ? n : 1));
      if (!p) return kMp4ErrMalformed;
      if (r->ops->Seek(r->file, static_cast<int64_t>(at + header), SEEK_SET) < 0 ||
          (n && r->ops->Read(r->file, p, static_cast<uint32_t>(n)) != static_cast<int32_t>(n))) {
        std::free(p);
        return kMp4ErrMalformed;
      }
      *body = p;
      *len = n;
      *from = at + size;
      return 0;
    }
    at += size;
  }
  return kMp4ErrMalformed;
}

void FreeReader(Mp4Reader* r) {
  for (auto* t : r->tracks) FreeTrack(t);
  if (r->file) r->ops->Close(r->file);
  std::free(r);
}

int ParseMvhd(Mp4Reader* r, const uint8_t* moov, uint64_t len) {
  const uint8_t* m;
  uint64_t ml;
  if (!FindBox(moov, len, "mvhd", &m, &ml) || ml < 20) return kMp4ErrMalformed;
  uint32_t created, timescale;
  uint64_t duration;
  if (m[0] == 1) {
    if (ml < 32) return kMp4ErrMalformed;
    created = static_cast<uint32_t>(platform::GetBe64(m + 4));
    timescale = platform::GetBe32(m + 20);
    duration = platform::GetBe64(m + 24);
  } else {
    created = platform::GetBe32(m + 4);
    timescale = platform::GetBe32(m + 12);
    duration = platform::GetBe32(m + 16);
  }
  r->startTime = created - kMacEpochOffset;
  r->duration = static_cast<uint32_t>(timescale ? duration * 1000 / timescale : 0);
  return 0;
}

// ftyp, then moov and mvhd; loads the moov body.
int ReadHeader(Mp4Reader* r, uint8_t** moov, uint64_t* moovLen) {
  int64_t end = r->ops->Seek(r->file, 0, SEEK_END) < 0 ? -1 : r->ops->Tell(r->file);
  if (end < 0) return kMp4ErrMalformed;
  uint64_t fileSize = static_cast<uint64_t>(end);
  r->fileSize = static_cast<uint32_t>(fileSize > 0xFFFFFFFFu ? 0xFFFFFFFFu : fileSize);
  uint64_t at = 0, size, header;
  char type[4];
  if (!NextTopBox(r, fileSize, &at, type, &size, &header) || std::memcmp(type, "ftyp", 4) != 0)
    return kMp4ErrMalformed;
  at += size;
  int res = LoadTopBox(r, fileSize, "moov", &at, moov, moovLen);
  if (res != 0) return res;
  res = ParseMvhd(r, *moov, *moovLen);
  if (res != 0) {
    std::free(*moov);
    *moov = nullptr;
  }
  return res;
}

int DoOpen(Mp4Reader* r) {
  uint8_t* moov = nullptr;
  uint64_t moovLen = 0;
  int res = ReadHeader(r, &moov, &moovLen);
  if (res != 0) return res;
  r->audioRate = 8000;
  r->audioBits = 16;
  r->audioChannels = 1;
  uint64_t at = 0;
  while (moovLen - at >= 8 && r->trackCount < kMaxTracks) {
    const uint8_t* trak;
    uint64_t trakLen;
    if (!FindBox(moov + at, moovLen - at, "trak", &trak, &trakLen)) break;
    at = static_cast<uint64_t>(trak - moov) + trakLen;
    Mp4ReaderTrack* t = nullptr;
    res = ReadTrak(r, trak, trakLen, &t);
    if (res < 0) break;
    if (res == 0) continue;
    res = 0;
    for (uint32_t i = 0; i < r->trackCount; ++i)
      if (r->tracks[i]->codec == t->codec) t->number += 1;
    if (t->video) r->videoCount += 1;
    r->tracks[r->trackCount++] = t;
  }
  std::free(moov);
  return res < 0 ? res : 0;
}

bool Passes(const Mp4Reader* r, const Mp4ReaderTrack* t) {
  switch (r->filter) {
    case 1: return !t->video || t->number == 0;
    case 2: return !t->video || r->videoCount <= 1 || t->number == 1;
    case 3: return t->video && (r->videoCount <= 1 || t->number == 1);
    default: return true;
  }
}

Mp4ReaderTrack* NextTrack(Mp4Reader* r) {
  Mp4ReaderTrack* best = nullptr;
  uint32_t bestTime = 0;
  for (uint32_t i = 0; i < r->trackCount; ++i) {
    Mp4ReaderTrack* t = r->tracks[i];
    if (!Passes(r, t) || !HasSample(t)) continue;
    uint32_t time = TimeMs(t);
    if (!best || time < bestTime) {
      best = t;
      bestTime = time;
    }
  }
  return best;
}

bool IsH26x(uint32_t codec) { return codec == 1 || codec == 13; }

// Decides at the first key sample whether key samples need the parameter sets in front.
void DecidePsState(Mp4Reader* r, Mp4ReaderTrack* t) {
  if (t->psState != 0 || t->number != 0 || !IsH26x(t->codec) || !IsKey(t)) return;
  uint8_t h[5];
  bool hasOwn = false;
  if (SampleSize(t, t->sampleIndex) >= 5 && r->ops->Seek(r->file, static_cast<int64_t>(t->offset), SEEK_SET) >= 0 &&
      r->ops->Read(r->file, h, 5) == 5) {
    hasOwn = t->codec == 1 ? (h[4] & 0x1F) == 7 : ((h[4] >> 1) & 0x3F) == 32;
  }
  t->psState = hasOwn || t->configLen == 0 ? 1 : 2;
}

uint64_t OutputSize(const Mp4ReaderTrack* t) {
  uint64_t size = SampleSize(t, t->sampleIndex);
  if (IsH26x(t->codec)) {
    if (t->number > 0) return size >= 4 ? size - 4 : 0;
    if (t->psState == 2 && IsKey(t)) size += t->configLen;
  }
  return size;
}

}  // namespace

int Mp4ReaderProbe(const char* path, Mp4StreamInfo* info) {
  void* f = kMp4FileStreamOps.Open(path, kMp4StreamRead);
  if (!f) return kMp4ErrOpen;
  Mp4Reader* r = static_cast<Mp4Reader*>(std::calloc(1, sizeof(Mp4Reader)));
  if (!r) {
    kMp4FileStreamOps.Close(f);
    return kMp4ErrOpen;
  }
  r->file = f;
  r->ops = &kMp4FileStreamOps;
  uint8_t* moov = nullptr;
  uint64_t moovLen = 0;
  int res = ReadHeader(r, &moov, &moovLen);
  std::free(moov);
  if (res == 0 && info) {
    *info = Mp4StreamInfo{r->startTime, r->startTime + r->duration / 1000, r->fileSize, r->duration, 8000, 16, 1};
  }
  FreeReader(r);
  return res;
}

int Mp4ReaderOpenStream(void* stream, const Mp4StreamOps* ops, void** handle) {
  if (!stream || !ops || !handle) {
    if (stream && ops) ops->Close(stream);
    return kMp4ErrOpen;
  }
  Mp4Reader* r = static_cast<Mp4Reader*>(std::calloc(1, sizeof(Mp4Reader)));
  if (!r) {
    ops->Close(stream);
    return kMp4ErrOpen;
  }
  r->file = stream;
  r->ops = ops;
  int res = DoOpen(r);
  if (res != 0) {
    FreeReader(r);
    return res;
  }
  *handle = r;
  return 0;
}

int Mp4ReaderOpen(const char* path, void** handle) {
  void* f = kMp4FileStreamOps.Open(path, kMp4StreamRead);
  if (!f) return kMp4ErrOpen;
  return Mp4ReaderOpenStream(f, &kMp4FileStreamOps, handle);
}

int Mp4ReaderSetTrackFilter(uint32_t filter, uint32_t, uint32_t, void* handle) {
  if (!handle) return kMp4ErrRefused;
  static_cast<Mp4Reader*>(handle)->filter = filter;
  return 0;
}

int Mp4ReaderGetInfo(Mp4StreamInfo* info, void* handle) {
  Mp4Reader* r = static_cast<Mp4Reader*>(handle);
  if (!r || !info) return kMp4ErrRefused;
  *info = Mp4StreamInfo{r->startTime, r->startTime + r->duration / 1000, r->fileSize, r->duration,
                        r->audioRate, r->audioBits, r->audioChannels};
  return 0;
}

int Mp4ReaderPeekSample(uint32_t* type, uint32_t* time, uint32_t* key, uint32_t* size, void* handle) {
  Mp4Reader* r = static_cast<Mp4Reader*>(handle);
  if (!r) return kMp4ErrRefused;
  Mp4ReaderTrack* t = NextTrack(r);
  if (!t) return kMp4ErrNoSample;
  DecidePsState(r, t);
  uint64_t out = OutputSize(t);
  if (type) *type = t->number << 16 | t->codec;
  if (time) *time = TimeMs(t);
  if (key) *key = IsKey(t) ? 1 : 0;
  if (size) *size = static_cast<uint32_t>(out > 0xFFFFFFFFu ? 0xFFFFFFFFu : out);
  return 0;
}

int Mp4ReaderReadSample(uint32_t* type, uint32_t* time, uint8_t* buffer, uint32_t* size, uint32_t* key,
                        void* handle) {
  Mp4Reader* r = static_cast<Mp4Reader*>(handle);
  if (!r || !size) return kMp4ErrRefused;
  Mp4ReaderTrack* t = NextTrack(r);
  if (!t) return kMp4ErrNoSample;
  DecidePsState(r, t);
  uint64_t out = OutputSize(t);
  if (out > *size || !buffer) {
    *size = static_cast<uint32_t>(out > 0xFFFFFFFFu ? 0xFFFFFFFFu : out);
    return kMp4ErrBufferSmall;
  }
  bool key1 = IsKey(t);
  uint32_t stored = SampleSize(t, t->sampleIndex);
  uint32_t prefix = 0, skip = 0;
  if (IsH26x(t->codec)) {
    if (t->number > 0) {
      skip = stored >= 4 ? 4 : stored;
    } else if (t->psState == 2 && key1) {
      std::memcpy(buffer, t->config, t->configLen);
      prefix = t->configLen;
    }
  }
  uint32_t body = stored - skip;
  bool ok = r->ops->Seek(r->file, static_cast<int64_t>(t->offset + skip), SEEK_SET) >= 0 &&
            (body == 0 || r->ops->Read(r->file, buffer + prefix, body) == static_cast<int32_t>(body));
  if (ok && IsH26x(t->codec) && t->number == 0) {
    uint8_t* p = buffer + prefix;
    uint64_t at = 0;
    while (at + 4 <= body) {
      uint32_t n = platform::GetBe32(p + at);
      p[at] = 0;
      p[at + 1] = 0;
      p[at + 2] = 0;
      p[at + 3] = 1;
      at += 4 + uint64_t{n};
    }
  }
  if (type) *type = t->number << 16 | t->codec;
  if (time) *time = TimeMs(t);
  if (key) *key = key1 ? 1 : 0;
  *size = static_cast<uint32_t>(out);
  Advance(t);
  return ok ? 0 : kMp4ErrMalformed;
}

int Mp4ReaderNop() { return 0; }

int Mp4ReaderSeek(uint32_t timeMs, void* handle) {
  Mp4Reader* r = static_cast<Mp4Reader*>(handle);
  if (!r) return kMp4ErrRefused;
  bool anyVideo = false;
  uint32_t reached = 0;
  for (uint32_t i = 0; i < r->trackCount; ++i) {
    Mp4ReaderTrack* t = r->tracks[i];
    if (!t->video) continue;
    uint32_t n = SampleAtTime(t, timeMs);
    if (t->hasStss) {
      uint32_t sync = 0;
      for (uint32_t k = 0; k < t->stssCount && t->stss[k] <= n + 1; ++k) sync = t->stss[k] ? t->stss[k] - 1 : 0;
      n = sync;
    }
    SeekToSample(t, n);
    uint32_t time = TimeMs(t);
    if (!anyVideo || time < reached) reached = time;
    anyVideo = true;
  }
  if (!anyVideo) reached = timeMs;
  for (uint32_t i = 0; i < r->trackCount; ++i) {
    Mp4ReaderTrack* t = r->tracks[i];
    if (!t->video) SeekToSample(t, SampleAtTime(t, reached));
  }
  return static_cast<int>(reached);
}

int Mp4ReaderClose(void* handle) {
  if (!handle) return kMp4ErrRefused;
  FreeReader(static_cast<Mp4Reader*>(handle));
  return 0;
}

int Mp4ReaderGetDecoderConfig(uint32_t codec, const uint8_t** bytes, void* handle) {
  Mp4Reader* r = static_cast<Mp4Reader*>(handle);
  if (!r) return kMp4ErrRefused;
  for (uint32_t i = 0; i < r->trackCount; ++i) {
    Mp4ReaderTrack* t = r->tracks[i];
    if (t->codec != codec) continue;
    if (t->configLen == 0) return kMp4ErrRefused;
    if (bytes) *bytes = t->config;
    return static_cast<int>(t->configLen);
  }
  return kMp4ErrRefused;
}

const Mp4ReaderOps* Mp4ReaderGetOps() {
  static const Mp4ReaderOps ops = {Mp4ReaderProbe,      Mp4ReaderOpen,       Mp4ReaderSetTrackFilter,
                                   Mp4ReaderGetInfo,    nullptr,             Mp4ReaderPeekSample,
                                   Mp4ReaderReadSample, Mp4ReaderNop,        Mp4ReaderSeek,
                                   Mp4ReaderClose};
  return &ops;
}
