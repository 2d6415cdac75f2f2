// Fuzz target for the whole H.264 decoder: the first byte picks the output
// order (bit 0), how the rest is cut into decode calls (bits 1 to 3), worker
// threads (bit 4) and the deinterlacer (bit 5); every picture handed out is
// read in full.
#include <cstddef>
#include <cstdint>

#include "codecs/h264/h264dec.h"

namespace {

H264DecContext* MakeDecoder(uint32_t flags) {
  H264DecParam p{};
  p.widthMbs = 8;
  p.heightMbs = 8;
  p.refFrames = 4;
  p.flags = flags;
  return H264Dec_Create(&p);
}

volatile uint32_t g_sink;

void Consume(const H264DecFrame& f) {
  if (!f.y || !f.u || !f.v) __builtin_trap();
  int w = f.width - f.cropLeft - f.cropRight, h = f.height - f.cropTop - f.cropBottom;
  if (w <= 0 || h <= 0 || f.width > f.lumaStride) __builtin_trap();
  uint32_t sum = 0;
  for (int y = 0; y < f.height; ++y)
    for (int x = 0; x < f.width; ++x) sum += f.y[static_cast<ptrdiff_t>(y) * f.lumaStride + x];
  for (int y = 0; y < f.height / 2; ++y)
    for (int x = 0; x < f.width / 2; ++x)
      sum += f.u[static_cast<ptrdiff_t>(y) * f.chromaStride + x] + f.v[static_cast<ptrdiff_t>(y) * f.chromaStride + x];
  if (f.pictureInfo) sum += f.pictureInfo[0];
  g_sink = sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static H264DecContext* decoders[8] = {};
  if (size < 1) return 0;
  uint8_t mode = data[0];
  int which = (mode & 1) | ((mode >> 3) & 6);
  if (!decoders[which]) {
    uint32_t flags = (which & 1 ? 0u : uint32_t{H264DEC_FLAG_DISPLAY_ORDER}) |
                     (which & 2 ? uint32_t{H264DEC_FLAG_THREADS} : 0u) | (which & 4 ? uint32_t{H264DEC_FLAG_DEINTERLACE} : 0u);
    decoders[which] = MakeDecoder(flags);
  }
  H264DecContext* ctx = decoders[which];
  if (!ctx) return 0;
  H264Dec_Reset(ctx);
  ++data;
  --size;
  int k = (mode >> 1) & 7;
  size_t chunk = k ? size_t{1} << (k + 3) : size;
  H264DecFrame f;
  for (size_t pos = 0; pos < size; pos += chunk) {
    size_t n = size - pos < chunk ? size - pos : chunk;
    int rc = H264Dec_Decode(ctx, data + pos, static_cast<uint32_t>(n), 0, 0, &f, 0);
    for (; rc == H264DEC_PICTURE; rc = H264Dec_Decode(ctx, nullptr, 0, 0, 0, &f, 0)) Consume(f);
    if (rc != H264DEC_NEED_INPUT) __builtin_trap();
  }
  int rc;
  while ((rc = H264Dec_Decode(ctx, nullptr, 0, 0, 0, &f, 1)) == H264DEC_PICTURE) Consume(f);
  if (rc != H264DEC_NO_MORE) __builtin_trap();
  H264Dec_GetError(ctx);
  return 0;
}
