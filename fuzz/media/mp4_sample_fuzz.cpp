// The writer's sample parsing (H.264 and HEVC parameter sets, JPEG size) and
// moov building on arbitrary frames, in a size-counting writer.
#include <cstdint>
#include <cstdlib>

#include "media/mp4/mp4_writer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  void* w = reinterpret_cast<void*>(uintptr_t{kMp4ModeSizeCount});
  if (Mp4WriterCreate(nullptr, nullptr, &w) != 0) return 0;
  static const uint32_t kCodecs[4] = {1, 13, 12, 2};
  size_t at = 0;
  uint32_t time = 0;
  while (at + 3 <= size) {
    uint8_t sel = data[at];
    uint32_t len = (uint32_t{data[at + 1]} << 8 | data[at + 2]) % 2048;
    at += 3;
    if (len > size - at) len = static_cast<uint32_t>(size - at);
    uint32_t type = (static_cast<uint32_t>((sel >> 2) & 1) << 16) | kCodecs[sel & 3];
    time += (sel >> 3) * 10;
    Mp4WriterWriteSample(type, time, data + at, len, sel >> 7, w);
    at += len;
  }
  Mp4Info info;
  Mp4WriterClose(&info, w);
  return 0;
}
