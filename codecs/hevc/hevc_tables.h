// Numeric tables of H.265, generated into hevc_tables.cpp by gen_tables.py.
#pragma once

#include <cstdint>

// Scan orders: value = x + size * y at each scan position.
extern const uint8_t kHevcScan2x2Diag[4], kHevcScan2x2Hor[4], kHevcScan2x2Ver[4];
extern const uint8_t kHevcScan4x4Diag[16], kHevcScan4x4Hor[16], kHevcScan4x4Ver[16];
extern const uint8_t kHevcScan8x8Diag[64], kHevcScan8x8Hor[64], kHevcScan8x8Ver[64];
// Default scaling lists in coded (up-right diagonal) order.
extern const uint8_t kHevcDefaultScaling4x4[16];
extern const uint8_t kHevcDefaultScalingIntra[64];
extern const uint8_t kHevcDefaultScalingInter[64];
extern const int8_t kHevcIntraPredAngle[33];  // modes 2..34
extern const int16_t kHevcInvAngle[15];       // modes 11..25
extern const uint8_t kHevcIntraHorVerDistThres[3];
extern const uint8_t kHevcLevelScale[6];
extern const int8_t kHevcDctMatrix[1024];  // [k][n], 32 x 32
extern const int8_t kHevcDstMatrix[16];    // [k][n], 4 x 4
extern const uint8_t kHevcQpCTable[58];
extern const uint8_t kHevcBetaTable[52];
extern const uint8_t kHevcTcTable[54];
// IntraPredModeC [intra_chroma_pred_mode][luma X = 0, 26, 10, 1, other]; -1 = X.
extern const int8_t kHevcChromaModeTable[25];
extern const uint8_t kHevcCabacInitTable[3 * 183];
extern const uint8_t kHevcCtxIdxMap4x4[16];
extern const uint8_t kHevcRangeTabLps[64 * 4];
extern const uint8_t kHevcTransIdxLps[64];
extern const uint8_t kHevcTransIdxMps[64];
// Context byte (state << 1 | valMps) after an MPS [0..127], after an LPS [128..255].
extern const uint8_t kHevcNextCtxState[256];
// rangeTabLps by context byte, byte (range >> 6) & 3 of the word.
extern const uint32_t kHevcRangeLpsPacked[128];
