// A decoded picture as the decoders hand it to the renderers. Plane memory belongs to the decoder and stays
// valid until its next decode, re-creation or close.
#pragma once

#include <cstdint>

enum : int32_t {
  kPictureI420 = 2,    // planar Y, U, V
  kPictureRgb565 = 3,  // packed, 2 bytes per pixel
  kPictureRgb24 = 4,   // packed bytes R, G, B
  kPictureRgb32 = 5,   // packed 32-bit pixels
};

struct VideoPicture {
  int32_t format = 0;
  int32_t valid = 0;
  const uint8_t* y = nullptr;
  const uint8_t* u = nullptr;
  const uint8_t* v = nullptr;
  int32_t width = 0;
  int32_t height = 0;
  int32_t lumaStride = 0;
  int32_t chromaStride = 0;
};
