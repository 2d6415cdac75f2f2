// The decode front's frame path on hostile frames: records of (codec selector, 16-bit length, bytes) fed to
// one decoder, which switches engines as the codec changes, as a channel's decoder does. Every picture
// handed out as valid is read at the far end of each of its planes. Records that announce a picture larger
// than kMaxPixels are skipped: large pictures only cost allocation and clearing, and slow the search.
#include <cstdint>
#include <cstdlib>

#include "media/video/video_decoder.h"

namespace {

constexpr int64_t kMaxPixels = 128 * 128;

bool Large(int32_t w, int32_t h) { return int64_t{w} * h > kMaxPixels; }

// Whether a parameter set or JPEG frame header in a frame of the codec announces a large picture.
bool AnnouncesLargePicture(int32_t codec, const uint8_t* data, uint32_t len) {
  for (uint32_t i = 0; i + 4 < len; ++i) {
    int32_t w = 0, h = 0, refs = 0;
    if (codec == kVideoCodecMjpeg) {
      // Start-of-frame markers (C0..CF but DHT C4, JPG C8 and DAC CC): height, then width.
      uint8_t m = data[i + 1];
      if (data[i] == 0xFF && m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC && i + 8 < len &&
          Large(data[i + 7] << 8 | data[i + 8], data[i + 5] << 8 | data[i + 6]))
        return true;
    } else if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 0 && data[i + 3] == 1) {
      if (codec == kVideoCodecH264) {
        H264SpsPictureSize(data + i, len - i, &w, &h, true);  // the cropped size, for the parser's sake
        if (H264SpsPictureSize(data + i, len - i, &w, &h) && Large(w, h)) return true;
      } else if (HevcSpsPictureSize(len - i, data + i, &w, &h, &refs) && Large(w, h)) {
        return true;
      }
    }
  }
  return false;
}

void Touch(const uint8_t* plane, int32_t rows, int32_t rowBytes, int32_t stride) {
  volatile uint8_t sink = plane[0];
  sink = plane[static_cast<size_t>(rows - 1) * stride + rowBytes - 1];
  (void)sink;
}

void TouchPicture(const VideoPicture& p) {
  if (p.width <= 0 || p.height <= 0) std::abort();
  if (p.format == kPictureI420) {
    Touch(p.y, p.height, p.width, p.lumaStride);
    Touch(p.u, (p.height + 1) / 2, (p.width + 1) / 2, p.chromaStride);
    Touch(p.v, (p.height + 1) / 2, (p.width + 1) / 2, p.chromaStride);
    return;
  }
  int32_t bytes = p.format == kPictureRgb32 ? 4 : p.format == kPictureRgb24 ? 3 : 2;
  Touch(p.y, p.height, p.width * bytes, p.lumaStride);
}

}  // namespace

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
    const uint8_t* frame = data + at;
    at += len;
    if (AnnouncesLargePicture(codec, frame, len)) continue;
    if (decoder.Codec() != codec) {
      decoder.Close();
      decoder.SetCodec(codec);
    }
    // A picture left over from the previous frame must not be handed back as valid.
    decoder.Decode(frame, len, &picture);
    if (picture.valid) TouchPicture(picture);
  }
  return 0;
}
