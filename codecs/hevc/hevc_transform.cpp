// Dequantisation, inverse transforms with the add to the prediction, and the
// residual step that chooses between them.
#include "codecs/hevc/hevc_internal.h"
#include "codecs/hevc/hevc_tables.h"

namespace hevc {
namespace {

inline int16_t Sat16(int64_t v) { return static_cast<int16_t>(v < -32768 ? -32768 : v > 32767 ? 32767 : v); }
inline uint8_t Clip8(int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

template <int kLog2>
void DequantFlat(int count, int factor, int16_t* coeff) {
  constexpr int s = kLog2 - 1;
  for (int i = 0; i < count; ++i) coeff[i] = Sat16((static_cast<int64_t>(factor) * coeff[i] + (1 << (s - 1))) >> s);
}

template <int kLog2>
void DequantScaled(int count, const int16_t* factor, int qpPer, int16_t* coeff) {
  constexpr int s = kLog2 + 3;
  for (int i = 0; i < count; ++i) {
    int64_t v = (static_cast<int64_t>(coeff[i]) * factor[i]) << qpPer;
    coeff[i] = Sat16((v + (1 << (s - 1))) >> s);
  }
}

// One 1-D inverse transform of n values with the given step between them;
// inputs from `count` on are zero. The sums fit 32 bits: at most 32 products
// of a 16-bit value and a coefficient below 91.
template <int kN>
void Inverse1D(const int32_t* in, int32_t* out, int count) {
  constexpr int step = 32 / kN;
  for (int i = 0; i < kN; ++i) out[i] = 0;
  for (int k = 0; k < count; ++k) {
    const int32_t v = in[k];
    if (!v) continue;
    const int8_t* m = &kHevcDctMatrix[(k * step) * 32];
    for (int i = 0; i < kN; ++i) out[i] += m[i] * v;
  }
}

template <int kN>
void Stage(const int32_t* in, int32_t* out, bool dst4, int count) {
  if (!dst4) return Inverse1D<kN>(in, out, count);
  for (int i = 0; i < 4; ++i) {
    int32_t sum = 0;
    for (int k = 0; k < 4; ++k) sum += kHevcDstMatrix[k * 4 + i] * in[k];
    out[i] = sum;
  }
}

// A lone level at (0, 0): every residual of the DCT is the same value.
template <int kN>
bool DcOnly(const int16_t* coeff, int numCols, int numRows) {
  if (numRows != 1) return false;
  for (int x = 1; x < numCols; ++x)
    if (coeff[x]) return false;
  return true;
}

template <int kN>
void DcAdd(int stride, int16_t dc, uint8_t* dst) {
  const int first = Sat16((64 * static_cast<int64_t>(dc) + 64) >> 7);
  const int r = static_cast<int>((64 * static_cast<int64_t>(first) + 2048) >> 12);
  for (int y = 0; y < kN; ++y) {
    uint8_t* row = dst + static_cast<ptrdiff_t>(y) * stride;
    for (int i = 0; i < kN; ++i) row[i] = Clip8(row[i] + r);
  }
}

template <int kN>
void Transform2D(int stride, int16_t* coeff, uint8_t* dst, int numCols, int rows, bool dst4) {
  if (numCols > kN) numCols = kN;
  if (rows > kN) rows = kN;
  if (!dst4 && DcOnly<kN>(coeff, numCols, rows)) return DcAdd<kN>(stride, coeff[0], dst);
  int32_t in[kN], out[kN];
  // columns: coefficients down a column, first stage, 7-bit shift, 16-bit clip
  for (int x = 0; x < numCols; ++x) {
    for (int k = 0; k < kN; ++k) in[k] = k < rows ? coeff[k * kN + x] : 0;
    Stage<kN>(in, out, dst4, rows);
    for (int i = 0; i < kN; ++i) coeff[i * kN + x] = Sat16((static_cast<int64_t>(out[i]) + 64) >> 7);
  }
  // rows: second stage, 12-bit shift, add and clip
  for (int y = 0; y < kN; ++y) {
    for (int k = 0; k < kN; ++k) in[k] = coeff[y * kN + k];
    Stage<kN>(in, out, dst4, numCols);
    uint8_t* row = dst + static_cast<ptrdiff_t>(y) * stride;
    for (int i = 0; i < kN; ++i) row[i] = Clip8(row[i] + static_cast<int>((static_cast<int64_t>(out[i]) + 2048) >> 12));
  }
}

void Dst4Add(int stride, int16_t* coeff, uint8_t* dst, int, int rows) { Transform2D<4>(stride, coeff, dst, 4, rows, true); }
void Dct4Add(int stride, int16_t* coeff, uint8_t* dst, int, int rows) { Transform2D<4>(stride, coeff, dst, 4, rows, false); }
void Dct8Add(int stride, int16_t* coeff, uint8_t* dst, int, int rows) { Transform2D<8>(stride, coeff, dst, 8, rows, false); }
void Dct16Add(int stride, int16_t* coeff, uint8_t* dst, int cols, int rows) {
  Transform2D<16>(stride, coeff, dst, cols, rows, false);
}
void Dct32Add(int stride, int16_t* coeff, uint8_t* dst, int cols, int rows) {
  Transform2D<32>(stride, coeff, dst, cols, rows, false);
}

void TransformSkipAdd(int stride, int16_t* coeff, uint8_t* dst, int, int) {
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) {
      uint8_t* d = dst + static_cast<ptrdiff_t>(y) * stride + x;
      *d = Clip8(*d + ((coeff[y * 4 + x] + 16) >> 5));
    }
}

}  // namespace

void HevcSetTransformKernels(HevcDspTable* t) {
  t->slot[kSlotDequantScaled + 0] = reinterpret_cast<HevcKernel>(&DequantScaled<2>);
  t->slot[kSlotDequantScaled + 1] = reinterpret_cast<HevcKernel>(&DequantScaled<3>);
  t->slot[kSlotDequantScaled + 2] = reinterpret_cast<HevcKernel>(&DequantScaled<4>);
  t->slot[kSlotDequantScaled + 3] = reinterpret_cast<HevcKernel>(&DequantScaled<5>);
  t->slot[kSlotDequantFlat + 0] = reinterpret_cast<HevcKernel>(&DequantFlat<2>);
  t->slot[kSlotDequantFlat + 1] = reinterpret_cast<HevcKernel>(&DequantFlat<3>);
  t->slot[kSlotDequantFlat + 2] = reinterpret_cast<HevcKernel>(&DequantFlat<4>);
  t->slot[kSlotDequantFlat + 3] = reinterpret_cast<HevcKernel>(&DequantFlat<5>);
  t->slot[kSlotDst4] = reinterpret_cast<HevcKernel>(&Dst4Add);
  t->slot[kSlotDct + 0] = reinterpret_cast<HevcKernel>(&Dct4Add);
  t->slot[kSlotDct + 1] = reinterpret_cast<HevcKernel>(&Dct8Add);
  t->slot[kSlotDct + 2] = reinterpret_cast<HevcKernel>(&Dct16Add);
  t->slot[kSlotDct + 3] = reinterpret_cast<HevcKernel>(&Dct32Add);
  t->slot[kSlotTransformSkip] = reinterpret_cast<HevcKernel>(&TransformSkipAdd);
}

void HevcReconstructResidual(HevcDecoder* dec, const HevcResidualParams* p, int stride, int16_t* coeff, uint8_t* dst) {
  const int n = 1 << p->iLog2TrafoSize;
  const HevcPps* pps = dec->pPps;
  // rows below the last level's row hold nothing (and are not cleared)
  const int rows = ((p->iNumCoeffPos - 1) >> p->iLog2TrafoSize) + 1;
  if (pps->transquant_bypass_enabled_flag && p->ucTransquantBypass) {
    for (int y = 0; y < rows; ++y)
      for (int x = 0; x < n; ++x) {
        uint8_t* d = dst + static_cast<ptrdiff_t>(y) * stride + x;
        *d = Clip8(*d + coeff[y * n + x]);
      }
    return;
  }
  const int sizeIdx = p->iLog2TrafoSize - 2;
  const int qp = p->iQp < 0 ? 0 : p->iQp;
  if (!dec->pSps->scaling_list_enabled_flag) {
    Kernel<DequantFlatFn>(dec->stDsp, kSlotDequantFlat + sizeIdx)(p->iNumCoeffPos, kHevcLevelScale[qp % 6] << (qp / 6),
                                                                  coeff);
  } else {
    int m = p->iMatrixId;
    if (sizeIdx == 3) m = m >= 3 ? 1 : 0;
    const int16_t* f = pps->factor[sizeIdx] + (m * 6 + qp % 6) * n * n;
    Kernel<DequantScaledFn>(dec->stDsp, kSlotDequantScaled + sizeIdx)(p->iNumCoeffPos, f, qp / 6, coeff);
  }
  if (pps->transform_skip_enabled_flag && p->ucTransformSkip) {
    Kernel<TransformAddFn>(dec->stDsp, kSlotTransformSkip)(stride, coeff, dst, 4, 4);
  } else if (sizeIdx == 0 && p->iPredMode == 1 && p->iCIdx == 0) {
    Kernel<TransformAddFn>(dec->stDsp, kSlotDst4)(stride, coeff, dst, 4, rows);
  } else {
    Kernel<TransformAddFn>(dec->stDsp, kSlotDct + sizeIdx)(stride, coeff, dst, p->iNumCols, rows);
  }
}

}  // namespace hevc
