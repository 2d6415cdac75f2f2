// Colour conversion of full-range YUV (BT.601 coefficients, as in JFIF): R = Y + 1.402 (V - 128),
// G = Y - 0.34414 (U - 128) - 0.71414 (V - 128), B = Y + 1.772 (U - 128), each clamped to 0..255.
// The tables are the reference; renderers convert with libyuv's full-range matrix.
#pragma once

#include <cstdint>

struct YuvTables {
  int32_t ub[256];  // (c - 128) * 1.772, toward zero
  int32_t ug[256];  // (c - 128) * 0.34414
  int32_t vg[256];  // (c - 128) * 0.71414
  int32_t vr[256];  // (c - 128) * 1.402
  // RGB565 channel tables indexed -256..511 (stored from index 0 = -256).
  uint16_t r565[768];
  uint16_t g565[768];
  uint16_t b565[768];
};

// Builds the tables once per live count (the first renderer), frees them with the last.
void CreateYUVTab();
void DeleteYUVTab();
// The tables, or null when none are built.
const YuvTables* YUVTab();
// Tables built on the spot, for callers that do not hold a renderer.
const YuvTables& ReferenceYuvTables();

// I420 to 32-bit pixels (bytes B, G, R, 0) through the tables; width and height even or odd.
void I420ToRgb32Ref(const YuvTables& t, const uint8_t* y, int lumaStride, const uint8_t* u, const uint8_t* v,
                    int chromaStride, int width, int height, uint8_t* dst, int pitch);
// I420 to RGB565 through the tables.
void I420ToRgb565Ref(const YuvTables& t, const uint8_t* y, int lumaStride, const uint8_t* u, const uint8_t* v,
                     int chromaStride, int width, int height, uint8_t* dst, int pitch);
