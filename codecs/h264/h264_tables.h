// Numeric tables of ITU-T H.264 (h264_tables.cpp).
#pragma once

#include <cstdint>

extern const uint8_t kH264DefaultScaling4x4[2][16];  // scan order
extern const uint8_t kH264DefaultScaling8x8[2][64];  // scan order
extern const uint8_t kH264Scan4x4[2][16];            // [frame, field][scan index] -> x + 4y
extern const uint8_t kH264Scan8x8[2][64];            // [frame, field][scan index] -> x + 8y
extern const uint8_t kH264NormAdjust4x4[6][16];
extern const uint8_t kH264NormAdjust8x8[6][64];
extern const uint8_t kH264QpcTable[52];
extern const uint8_t kH264Alpha[52];
extern const uint8_t kH264Beta[52];
extern const uint8_t kH264Tc0[52][3];
extern const uint8_t kH264CbpIntra[48];
extern const uint8_t kH264CbpInter[48];
extern const uint8_t kH264CoeffTokenCodes[68][14];
extern const uint8_t kH264TotalZerosCodes[15][32];
extern const uint8_t kH264TotalZerosChromaDcCodes[3][8];
extern const uint8_t kH264RunBeforeCodes[7][30];
extern const uint32_t kH264LevelLimits[21][10];
