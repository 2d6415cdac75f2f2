// MP4 reader on arbitrary bytes: open, filter, seek, read every sample.
#include <cstdint>
#include <vector>

#include "media/mp4/mp4_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  void* mem = kMp4MemStreamOps.Open(nullptr, 0);
  if (!mem) return 0;
  kMp4MemStreamOps.Write(mem, data, static_cast<uint32_t>(size));
  kMp4MemStreamOps.Seek(mem, 0, SEEK_SET);
  void* r = nullptr;
  if (Mp4ReaderOpenStream(mem, &kMp4MemStreamOps, &r) != 0) return 0;
  uint8_t pick = size ? data[size - 1] : 0;
  Mp4ReaderSetTrackFilter(pick & 3, 0, 0, r);
  Mp4StreamInfo info;
  Mp4ReaderGetInfo(&info, r);
  const uint8_t* cfg = nullptr;
  Mp4ReaderGetDecoderConfig(1, &cfg, r);
  std::vector<uint8_t> buf(4096);
  for (int pass = 0; pass < 2; ++pass) {
    if (pass == 1) Mp4ReaderSeek(pick * 13u, r);
    for (int n = 0; n < 4096; ++n) {
      uint32_t type, time, key, size32 = static_cast<uint32_t>(buf.size());
      int res = Mp4ReaderReadSample(&type, &time, buf.data(), &size32, &key, r);
      if (res == kMp4ErrBufferSmall) {
        if (size32 > (1u << 20)) break;
        buf.resize(size32);
        continue;
      }
      if (res == kMp4ErrNoSample) break;
    }
  }
  Mp4ReaderClose(r);
  return 0;
}
