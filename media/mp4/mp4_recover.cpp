// Rebuilds the sample tables and moov of a recording that was never closed.
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "media/mp4/mp4_reader.h"
#include "media/mp4/mp4_writer.h"

namespace {

constexpr uint32_t kRecoverBuffer = 409600;
constexpr uint32_t kRecoverGrowth = 51200;
constexpr uint32_t kVideoHeadBytes = 300;
constexpr uint32_t kVideoFrameMs = 40;
constexpr uint32_t kOtherChannelIndex = 8;
// The rebuilt file keeps 32-bit offsets: mdat ends this far below 4 GiB at
// the latest, which leaves room for the moov.
constexpr uint64_t kMdatEndLimit = 0xFFFFFFFFull - (64u << 20);

bool ReadAt(void* f, uint64_t at, void* dst, uint32_t n) {
  return kMp4FileStreamOps.Seek(f, static_cast<int64_t>(at), SEEK_SET) >= 0 &&
         kMp4FileStreamOps.Read(f, dst, n) == static_cast<int32_t>(n);
}

bool Grow(uint8_t** buf, uint32_t* cap, uint64_t need) {
  if (need <= *cap) return true;
  uint64_t want = need + kRecoverGrowth;
  if (want > 0xFFFFFFFFu) return false;
  uint8_t* p = static_cast<uint8_t*>(std::realloc(*buf, want));
  if (!p) return false;
  *buf = p;
  *cap = static_cast<uint32_t>(want);
  return true;
}

const Mp4Track* TrackOf(const Mp4Writer* w, uint32_t type) {
  for (uint32_t i = 0; i < w->trackCount; ++i) {
    const Mp4Track* t = w->tracks[i];
    if (t && t->codec == (type & 0xFFFF) && t->trackIndex == (type >> 16)) return t;
  }
  return nullptr;
}

// Whether a whole moov box lies among the top-level boxes from `at` to `end`.
bool HasWholeMoov(void* f, uint64_t at, uint64_t end) {
  uint8_t h[8];
  while (at + 8 <= end && ReadAt(f, at, h, 8)) {
    uint32_t size = platform::GetBe32(h);
    if (size < 8) return false;
    if (std::memcmp(h + 4, "moov", 4) == 0) return at + size <= end;
    at += size;
  }
  return false;
}

}  // namespace

int Mp4Recover(const char* path, uint32_t audioType, uint32_t audioFrameSize, Mp4Info* info) {
  void* f = kMp4FileStreamOps.Open(path, kMp4StreamUpdate);
  if (!f) return kMp4ErrOpen;
  int64_t end = kMp4FileStreamOps.Seek(f, 0, SEEK_END) < 0 ? -1 : kMp4FileStreamOps.Tell(f);
  uint8_t h[8];
  if (end < 16 || !ReadAt(f, 0, h, 8) || std::memcmp(h + 4, "ftyp", 4) != 0 || platform::GetBe32(h) < 8) {
    kMp4FileStreamOps.Close(f);
    return kMp4ErrMalformed;
  }
  uint64_t fileSize = static_cast<uint64_t>(end);
  // Find mdat among the top-level boxes.
  uint64_t at = platform::GetBe32(h);
  bool found = false;
  while (at + 8 <= fileSize && ReadAt(f, at, h, 8)) {
    uint32_t size = platform::GetBe32(h);
    if (std::memcmp(h + 4, "mdat", 4) == 0) {
      found = true;
      if (size != 0) {
        // A closed file: whole when a whole moov follows. Cut afterwards
        // (inside mdat or moov), its samples are walked as for an open one.
        uint64_t mdatEnd = at + size;
        if (mdatEnd <= fileSize && HasWholeMoov(f, mdatEnd, fileSize)) {
          kMp4FileStreamOps.Close(f);
          return 0;
        }
        if (mdatEnd < fileSize) fileSize = mdatEnd;
      }
      break;
    }
    if (size < 8) break;
    at += size;
  }
  if (!found) {
    kMp4FileStreamOps.Close(f);
    return kMp4ErrMalformed;
  }
  uint64_t mdatStart = at;

  void* handle = reinterpret_cast<void*>(static_cast<uintptr_t>(kMp4ModeSizeCount));
  if (Mp4WriterCreate(nullptr, nullptr, &handle) != 0) {
    kMp4FileStreamOps.Close(f);
    return kMp4ErrOpen;
  }
  Mp4Writer* w = static_cast<Mp4Writer*>(handle);
  uint32_t cap = kRecoverBuffer;
  uint8_t* buf = static_cast<uint8_t*>(std::malloc(cap));
  uint64_t audioFrames = 0;
  uint32_t videoFrames[2] = {0, 0};
  uint32_t videoCodec[2] = {0, 0};

  uint64_t pos = mdatStart + 8;
  if (fileSize > kMdatEndLimit) fileSize = kMdatEndLimit;
  while (buf && pos + 4 <= fileSize) {
    uint8_t head[4];
    if (!ReadAt(f, pos, head, 4)) break;
    if (head[0] != 0 || head[1] > 15) {
      // An A-law frame of the given size.
      if (audioFrameSize == 0 || pos + audioFrameSize > fileSize || !Grow(&buf, &cap, audioFrameSize)) break;
      if (!ReadAt(f, pos, buf, audioFrameSize)) break;
      uint32_t time = static_cast<uint32_t>(audioFrames * audioFrameSize / 8);
      Mp4WriterWriteSample(audioType, time, buf, audioFrameSize, 0, w);
      audioFrames += 1;
      pos += audioFrameSize;
      continue;
    }
    uint32_t len = platform::GetBe32(head);
    if (len == 0 || pos + 4 + len > fileSize) break;
    uint32_t headLen = len < kVideoHeadBytes ? len : kVideoHeadBytes;
    if (!ReadAt(f, pos + 4, buf + 4, headLen)) break;
    const uint8_t* body = buf + 4;
    bool other = headLen >= 2 && body[0] == 0 && body[1] == 0;
    int ch = other ? 1 : 0;
    const uint8_t* data = other ? body : buf;
    uint32_t total = other ? len : len + 4;
    uint32_t avail = other ? headLen : headLen + 4;
    if (!other) {
      buf[0] = 0;
      buf[1] = 0;
      buf[2] = 0;
      buf[3] = 1;
    }
    uint32_t nalAt = 4;
    uint8_t nal = avail > nalAt ? data[nalAt] : 0;
    if (videoCodec[ch] == 0) videoCodec[ch] = (nal & 1) ? 1 : 13;
    uint32_t codec = videoCodec[ch];
    uint32_t key = codec == 1 ? (nal & 0x1F) == 7 : ((nal >> 1) & 0x3F) == 32;
    uint32_t type = (other ? kOtherChannelIndex << 16 : 0) | codec;
    const Mp4Track* t = TrackOf(w, type);
    if (key && avail < total && (!t || t->sampleCount == 0)) {
      // Until the channel stores its first sample its parameter sets are
      // needed whole: read the full sample.
      if (!Grow(&buf, &cap, uint64_t{len} + 4)) break;
      data = other ? buf + 4 : buf;
      if (!ReadAt(f, pos + 4, buf + 4, len)) break;
      avail = total;
    }
    Mp4WriterWriteSampleSized(type, videoFrames[ch] * kVideoFrameMs, data, avail, total, key, w);
    videoFrames[ch] += 1;
    pos += 4 + uint64_t{len};
  }
  std::free(buf);
  if (audioFrames == 0 && videoFrames[0] == 0 && videoFrames[1] == 0) {
    // Not one whole sample: nothing to rebuild, and the file stays as it was.
    Mp4WriterClose(nullptr, w);
    kMp4FileStreamOps.Close(f);
    return kMp4ErrNoSample;
  }

  // Video frame deltas follow the sound when there is sound.
  uint64_t audioMs = audioFrames * audioFrameSize / 8;
  for (uint32_t i = 0; i < w->trackCount; ++i) {
    Mp4Track* t = w->tracks[i];
    if (!t) continue;
    Mp4TrackFinishTables(t);
    if (!Mp4IsVideoCodec(t->codec)) continue;
    uint32_t frames = videoFrames[t->trackIndex == 0 ? 0 : 1];
    uint64_t delta = frames ? audioMs / frames : 0;
    if (audioFrames == 0 || delta == 0 || delta > 0xFFFFFFFFu) continue;
    uint64_t duration = 0;
    for (uint32_t k = 0; k + 8 <= t->stts.length; k += 8) {
      platform::PutBe32(t->stts.data + k + 4, static_cast<uint32_t>(delta));
      duration += uint64_t{platform::GetBe32(t->stts.data + k)} * delta;
    }
    t->duration = static_cast<uint32_t>(duration > 0xFFFFFFFFu ? 0xFFFFFFFFu : duration);
  }
  uint32_t shift = static_cast<uint32_t>(mdatStart) - w->mdatStart;
  for (uint32_t i = 0; i < w->trackCount; ++i) {
    Mp4Track* t = w->tracks[i];
    if (!t || !shift) continue;
    for (uint32_t k = 0; k + 4 <= t->stco.length; k += 4)
      platform::PutBe32(t->stco.data + k, platform::GetBe32(t->stco.data + k) + shift);
  }

  // Switch the writer to the file: mdat ends where the walk stopped, anything
  // after it (a sample cut short) is cut off, and moov goes there.
  w->ops->Close(w->stream);
  w->ops = &kMp4FileStreamOps;
  w->stream = f;
  w->mdatStart = static_cast<uint32_t>(mdatStart);
  w->mdatWritten = 1;
  FILE* file = FileStreamFile(f);
  int err = 0;
  if (std::fflush(file) != 0 || ftruncate(fileno(file), static_cast<off_t>(pos)) != 0 ||
      kMp4FileStreamOps.Seek(f, static_cast<int64_t>(pos), SEEK_SET) < 0)
    err = kMp4ErrWrite;
  Mp4Info result{0, 0};
  int closeErr = Mp4WriterClose(&result, w);
  if (info) *info = result;
  return err ? err : closeErr;
}
