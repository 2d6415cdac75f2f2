// Vector twins of the plain kernels, by instruction set. Each setter writes
// the slots it has kernels for; the installers decide when it runs.
#pragma once

#include "codecs/hevc/hevc_internal.h"

namespace hevc {

void HevcSetMcSse41(HevcDspTable* t);     // slots 55-118
void HevcSetTransformSse41(HevcDspTable* t);  // slots 6-15
void HevcSetTransformAvx2(HevcDspTable* t);   // slots 13, 14
// the SSE4.1 16- and 32-point DCT with the add, whole or its second stage
void HevcDctAddSse41(int n, int stride, int16_t* coeff, uint8_t* dst, int numCols, int rows);
void HevcDctRowsSse41(int n, int stride, const int16_t* coeff, uint8_t* dst, int numCols);
// an 8x8 block of bytes transposed between two strides (the angular intra twins)
void HevcTranspose8x8Bytes(const uint8_t* src, int srcStride, uint8_t* dst, int dstStride);
void HevcSetSaoSse41(HevcDspTable* t);        // slots 0, 1
void HevcSetIntraSse41(HevcDspTable* t);      // slots 16-23, 27-50
void HevcSetDeblockChromaSse2(HevcDspTable* t);  // slots 123, 124
void HevcSetDeblockLumaSse41(HevcDspTable* t);   // slots 119, 120
void HevcSetCopySse2(HevcDspTable* t);    // slots 128, 129
void HevcSetBorderSse2(HevcDspTable* t);  // slot 130
void HevcSetCopyAvx(HevcDspTable* t);     // slot 128
void HevcSetBorderAvx(HevcDspTable* t);   // slot 130

}  // namespace hevc
