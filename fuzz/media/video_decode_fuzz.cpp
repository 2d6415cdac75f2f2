// The decode front's frame path on hostile frames: records of (codec selector, 16-bit length, bytes) fed to
// one decoder, which switches engines as the codec changes.
#include <cstdint>
#include <cstdlib>

#include "media/video/video_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int32_t kCodecs[4] = {kVideoCodecH264, kVideoCodecHevc, kVideoCodecMjpeg, kVideoCodecJif};
  CVideoDecoder decoder;
  VideoPicture picture;
  size_t at = 0;
  int frames = 0;
  while (at + 3 <= size && frames++ < 64) {
    int32_t codec = kCodecs[data[at] & 3];
    uint32_t len = uint32_t{data[at + 1]} << 8 | data[at + 2];
    at += 3;
    if (len > size - at) len = static_cast<uint32_t>(size - at);
    if (decoder.Codec() != codec) {
      decoder.Close();
      decoder.SetCodec(codec);
    }
    if (decoder.Decode(data + at, len, &picture) && picture.valid) {
      // Touch the corners of the picture the engine handed back.
      volatile uint8_t sink = picture.y[0];
      sink = picture.y[static_cast<size_t>(picture.height - 1) * picture.lumaStride + picture.width - 1];
      (void)sink;
    }
    int32_t w, h, refs;
    H264SpsPictureSize(data + at, len, &w, &h, true);
    HevcSpsPictureSize(len, data + at, &w, &h, &refs);
    JpegGetSofSize(data + at, len, &w, &h);
    at += len;
  }
  return 0;
}
