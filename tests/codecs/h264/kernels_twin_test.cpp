// Every vector kernel against its plain twin: the kernel table of each variant
// the processor runs is walked slot by slot, and each kernel that differs
// from the plain one runs on random and extreme inputs beside it. Inputs sit
// at unaligned offsets and at the very end of their allocations (so the
// address sanitizer sees any read past what the plain kernel reads), and the
// whole destination is compared, so a write outside the block shows too.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "codecs/h264/h264_inter.h"
#include "codecs/h264/h264_internal.h"
#include "codecs/h264/x86/h264_kernels_x86.h"

namespace {

constexpr int kSlots = 39;
constexpr int kFirstArraySlot = 27;

const void* SlotPointer(const H264DecKernelTable& t, int slot) {
  const void* p;
  std::memcpy(&p, reinterpret_cast<const char*>(&t) + slot * sizeof(void*), sizeof(void*));
  return p;
}

// How inputs are filled: random bytes, or the extremes that stretch the
// intermediates (all 0, all 255, 0/255 checkerboards).
enum class Fill { kRandom, kZero, kFull, kChecker, kNear };

struct Rng {
  std::mt19937 gen{20261210};
  int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(gen); }
  void Bytes(uint8_t* p, size_t n, Fill f) {
    int base = Int(0, 255);
    for (size_t i = 0; i < n; ++i) {
      switch (f) {
        case Fill::kRandom: p[i] = static_cast<uint8_t>(Int(0, 255)); break;
        case Fill::kZero: p[i] = 0; break;
        case Fill::kFull: p[i] = 255; break;
        case Fill::kChecker: p[i] = ((i + i / 7) & 1) ? 255 : 0; break;
        case Fill::kNear: p[i] = static_cast<uint8_t>(std::clamp(base + Int(-6, 6), 0, 255)); break;
      }
    }
  }
  Fill AnyFill() { return static_cast<Fill>(Int(0, 4)); }
};

// A source of `size` bytes placed at offset `offset` of an allocation that
// ends right after it.
struct Source {
  std::vector<uint8_t> bytes;
  size_t offset;
  Source(Rng& rng, size_t size, Fill f) : bytes(size + static_cast<size_t>(rng.Int(0, 15))) {
    offset = bytes.size() - size;
    rng.Bytes(bytes.data(), bytes.size(), f);
  }
  uint8_t* Data() { return bytes.data() + offset; }
};

class KernelTwins : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    if (!H264KernelVariantAvailable(GetParam())) GTEST_SKIP() << "the processor lacks this variant";
    H264InstallKernels(&plain_);
    H264InstallKernelVariant(&vec_, GetParam());
  }
  H264DecKernelTable plain_{}, vec_{};
  Rng rng_;
};

// ---------------------------------------------------------------------------
// Checks per slot

void CheckLumaMc(Rng& rng, const H264McFn* plain, const H264McFn* vec, int w, int h) {
  for (int frac = 0; frac < 16; ++frac) {
    if (plain[frac] == vec[frac]) continue;
    for (int trial = 0; trial < 60; ++trial) {
      int stride = rng.Int(w + 5, 72);
      Source src(rng, static_cast<size_t>((h + 4) * stride + w + 5), trial < 10 ? static_cast<Fill>(trial % 5)
                                                                                : rng.AnyFill());
      uint8_t dst[2][256];
      rng.Bytes(dst[0], 256, Fill::kRandom);
      std::memcpy(dst[1], dst[0], 256);
      for (int k = 0; k < 2; ++k) {
        H264McArgs a{};
        a.lumaSrc = src.Data();
        a.lumaStride = stride;
        a.mvx = static_cast<int16_t>(frac >> 2);
        a.mvy = static_cast<int16_t>(frac & 3);
        a.lumaDst = dst[k];
        (k ? vec : plain)[frac](&a);
      }
      ASSERT_EQ(0, std::memcmp(dst[0], dst[1], 256)) << w << "x" << h << " fraction " << frac << " trial " << trial;
    }
  }
}

void CheckChromaMc(Rng& rng, const H264McFn* plain, const H264McFn* vec, int w, int h) {
  for (int idx = 0; idx < 4; ++idx) {
    if (plain[idx] == vec[idx]) continue;
    for (int fx = (idx & 1) ? 1 : 0; fx < ((idx & 1) ? 8 : 1); ++fx)
      for (int fy = (idx & 2) ? 1 : 0; fy < ((idx & 2) ? 8 : 1); ++fy)
        for (int trial = 0; trial < 12; ++trial) {
          int stride = rng.Int(w + 1, 40);
          Fill f = trial < 5 ? static_cast<Fill>(trial) : rng.AnyFill();
          Source cb(rng, static_cast<size_t>(h * stride + w + 1), f), cr(rng, static_cast<size_t>(h * stride + w + 1), f);
          uint8_t dst[2][2][64];
          rng.Bytes(&dst[0][0][0], 128, Fill::kRandom);
          std::memcpy(dst[1], dst[0], 128);
          for (int k = 0; k < 2; ++k) {
            H264McArgs a{};
            a.cbSrc = cb.Data();
            a.crSrc = cr.Data();
            a.chromaStride = stride;
            a.chromaFracX = static_cast<int16_t>(fx);
            a.chromaFracY = static_cast<int16_t>(fy);
            a.cbDst = dst[k][0];
            a.crDst = dst[k][1];
            (k ? vec : plain)[idx](&a);
          }
          ASSERT_EQ(0, std::memcmp(dst[0], dst[1], 128)) << w << "x" << h << " fraction " << fx << "," << fy;
        }
  }
}

void CheckIdct(Rng& rng, H264IdctFn plain, H264IdctFn vec, int n) {
  for (int trial = 0; trial < 3000; ++trial) {
    std::vector<int16_t> coef(static_cast<size_t>(n * n));
    int mode = trial % 5;
    for (auto& c : coef) {
      switch (mode) {
        case 0: c = static_cast<int16_t>(rng.Int(-64, 64)); break;
        case 1: c = static_cast<int16_t>(rng.Int(-32768, 32767)); break;  // wraps at 16 bits
        case 2: c = static_cast<int16_t>(rng.Int(0, 1) ? 32767 : -32768); break;
        case 3: c = static_cast<int16_t>(rng.Int(0, 7) ? 0 : rng.Int(-4096, 4095)); break;
        default: c = static_cast<int16_t>(rng.Int(-2048, 2047)); break;
      }
    }
    int16_t out[2][64];
    for (auto& v : out[0]) v = static_cast<int16_t>(rng.Int(-32768, 32767));
    std::memcpy(out[1], out[0], sizeof(out[0]));
    plain(coef.data(), out[0]);
    vec(coef.data(), out[1]);
    ASSERT_EQ(0, std::memcmp(out[0], out[1], sizeof(out[0]))) << n << "x" << n << " trial " << trial;
  }
}

// Edge filters: p and q rows of eight samples around one edge, in their own
// allocations; thresholds over their whole range and every tc0 of the
// strength tables (0..25), with lanes switched off by a zero alpha.
template <typename Run>
void CheckEdgeFilter(Rng& rng, int qRows, int qPitch, const Run& run) {
  for (int trial = 0; trial < 6000; ++trial) {
    Fill f = trial % 3 ? Fill::kNear : rng.AnyFill();
    Source p(rng, 32, f), q(rng, static_cast<size_t>((qRows - 1) * qPitch + 8), f);
    std::vector<uint8_t> p2(p.bytes), q2(q.bytes);
    uint32_t alpha = 0;
    for (int i = 0; i < 4; ++i) {
      int a = rng.Int(0, 5) == 0 ? 0 : rng.Int(0, 3) ? rng.Int(1, 40) : rng.Int(1, 255);
      alpha |= static_cast<uint32_t>(a) << (8 * i);
    }
    uint32_t beta = static_cast<uint32_t>(rng.Int(0, 3) ? rng.Int(0, 18) : rng.Int(0, 255));
    beta |= static_cast<uint32_t>(rng.Int(0, 255)) << 8;  // only the low byte counts
    uint8_t tc0[8];
    for (auto& t : tc0) t = static_cast<uint8_t>(rng.Int(0, 25));
    run(false, p.Data(), q.Data(), alpha, beta, tc0);
    run(true, p2.data() + p.offset, q2.data() + q.offset, alpha, beta, tc0);
    ASSERT_EQ(p.bytes, p2) << "trial " << trial;
    ASSERT_EQ(q.bytes, q2) << "trial " << trial;
  }
}

// Thresholds of an edge: alpha over its whole range (0 now and then), beta
// with junk above its byte, every tc0 of the strength tables (0..25), and
// bS 0..4 per segment (all off, or all on, now and then).
H264EdgeThresholds RandomThresholds(Rng& rng) {
  H264EdgeThresholds t{};
  int a = rng.Int(0, 9) == 0 ? 0 : rng.Int(0, 3) ? rng.Int(1, 40) : rng.Int(1, 255);
  t.alpha = static_cast<uint32_t>(a) * 0x01010101u;
  t.beta = static_cast<uint32_t>(rng.Int(0, 3) ? rng.Int(0, 18) : rng.Int(0, 255));
  t.beta |= static_cast<uint32_t>(rng.Int(0, 255)) << 8;  // only the low byte counts
  for (auto& tc : t.tcByBs) tc = static_cast<uint8_t>(rng.Int(0, 25));
  return t;
}

void RandomStrengths(Rng& rng, uint8_t* bS) {
  int kind = rng.Int(0, 9);
  for (int k = 0; k < 4; ++k) bS[k] = static_cast<uint8_t>(kind == 0 ? 0 : kind == 1 ? 2 : rng.Int(0, 4));
}

// The chroma filter: Cb in rows 0 and 1 of each buffer, Cr in rows 2 and 3,
// q1 rows `qPitch` after q0, thresholds of each plane's own.
void CheckChromaEdge(Rng& rng, H264ChromaEdgeFilterSegmentsFn plain, H264ChromaEdgeFilterSegmentsFn vec) {
  for (int trial = 0; trial < 8000; ++trial) {
    Fill f = trial % 3 ? Fill::kNear : rng.AnyFill();
    int qPitch = rng.Int(0, 1) ? 8 : 32;
    Source p(rng, 32, f), q(rng, static_cast<size_t>(16 + qPitch + 8), f);
    std::vector<uint8_t> p2(p.bytes), q2(q.bytes);
    H264EdgeThresholds tCb = RandomThresholds(rng), tCr = RandomThresholds(rng);
    uint8_t bS[4];
    RandomStrengths(rng, bS);
    plain(p.Data(), q.Data(), p.Data() + 16, q.Data() + 16, bS, &tCb, &tCr, qPitch);
    uint8_t* vp = p2.data() + p.offset;
    uint8_t* vq = q2.data() + q.offset;
    vec(vp, vq, vp + 16, vq + 16, bS, &tCb, &tCr, qPitch);
    ASSERT_EQ(p.bytes, p2) << "trial " << trial;
    ASSERT_EQ(q.bytes, q2) << "trial " << trial;
  }
}

void CheckTranspose(Rng& rng, H264Transpose8x8Fn plain, H264Transpose8x8Fn vec) {
  for (int trial = 0; trial < 100; ++trial) {
    Source a(rng, 64, Fill::kRandom);
    std::vector<uint8_t> a2(a.bytes);
    plain(a.Data());
    vec(a2.data() + a.offset);
    ASSERT_EQ(a.bytes, a2);
  }
}

void CheckTransposePair(Rng& rng, H264Transpose8x8PairFn plain, H264Transpose8x8PairFn vec) {
  for (int trial = 0; trial < 100; ++trial) {
    Source a(rng, 64, Fill::kRandom), b(rng, 64, Fill::kRandom);
    std::vector<uint8_t> a2(a.bytes), b2(b.bytes);
    plain(a.Data(), b.Data());
    vec(a2.data() + a.offset, b2.data() + b.offset);
    ASSERT_EQ(a.bytes, a2);
    ASSERT_EQ(b.bytes, b2);
  }
}

void CheckStoreMbLuma(Rng& rng, H264StoreMbLumaFn plain, H264StoreMbLumaFn vec) {
  for (int trial = 0; trial < 200; ++trial) {
    int pitch = rng.Int(16, 80);
    Source samples(rng, kMbSamplesSize, Fill::kRandom);
    Source dst(rng, static_cast<size_t>(15 * pitch + 16), Fill::kRandom);
    std::vector<uint8_t> dst2(dst.bytes);
    plain(dst.Data(), samples.Data(), pitch);
    vec(dst2.data() + dst.offset, samples.Data(), pitch);
    ASSERT_EQ(dst.bytes, dst2) << "pitch " << pitch;
  }
}

void CheckLeftColumns(Rng& rng, H264GatherColumnsFn pg, H264GatherColumnsFn vg, H264ScatterColumnsFn ps,
                      H264ScatterColumnsFn vs) {
  for (int trial = 0; trial < 200; ++trial) {
    int pitch = rng.Int(4, 64);
    size_t size = static_cast<size_t>(7 * pitch + 4);
    Source upper(rng, size, Fill::kRandom), lower(rng, size, Fill::kRandom), cols(rng, 64, Fill::kRandom);
    if (pg != vg) {
      uint8_t out[2][64];
      rng.Bytes(out[0], 64, Fill::kRandom);
      std::memcpy(out[1], out[0], 64);
      pg(upper.Data(), lower.Data(), out[0], pitch);
      vg(upper.Data(), lower.Data(), out[1], pitch);
      ASSERT_EQ(0, std::memcmp(out[0], out[1], 64)) << "gather, pitch " << pitch;
    }
    if (ps != vs) {
      std::vector<uint8_t> u2(upper.bytes), l2(lower.bytes);
      ps(upper.Data(), lower.Data(), cols.Data(), pitch);
      vs(u2.data() + upper.offset, l2.data() + lower.offset, cols.Data(), pitch);
      ASSERT_EQ(upper.bytes, u2) << "scatter, pitch " << pitch;
      ASSERT_EQ(lower.bytes, l2) << "scatter, pitch " << pitch;
    }
  }
}

// Edge strengths of two inter macroblocks: references drawn from a few
// pictures so equal ones are common, list 0 alone or both lists, vectors equal (also crosswise), near
// (within the limits) or far up to the 16-bit extremes, one or two lists per 8x8 block, coded
// flags of any byte value; also intra neighbours and field pictures. Only
// the four strength bytes may change.
void RandomMotion(Rng& rng, H264MbMotion* m, const H264MbMotion* like, bool listZeroOnly) {
  m->mbType = rng.Int(0, 11) == 0 ? rng.Int(23, 30) : rng.Int(0, 22);
  for (int b8 = 0; b8 < 4; ++b8) {
    int lists = listZeroOnly ? 1 : rng.Int(0, 15) == 0 ? 0 : rng.Int(1, 3);
    m->refIdxL0[b8] = static_cast<int8_t>(lists & 1 ? rng.Int(0, 3) : -1);
    m->refIdxL1[b8] = static_cast<int8_t>(lists & 2 ? rng.Int(0, 3) : -1);
    m->refStructL0[b8] = static_cast<uint8_t>(rng.Int(0, 4) ? 3 : rng.Int(1, 2));
    m->refStructL1[b8] = static_cast<uint8_t>(rng.Int(0, 4) ? 3 : rng.Int(1, 2));
    m->refPocL0[b8] = rng.Int(0, 2) * 2;
    m->refPocL1[b8] = rng.Int(0, 2) * 2;
  }
  const int cross = listZeroOnly ? 0 : rng.Int(0, 3) == 0;
  for (int blk = 0; blk < 16; ++blk)
    for (int l = 0; l < 2; ++l) {
      int16_t* mv = l ? m->mvL1[blk] : m->mvL0[blk];
      // Now and then the other list's vector, so that crosswise pairs match.
      const int16_t* base = (l ^ cross) ? like->mvL1[blk ^ 5] : like->mvL0[blk ^ 5];
      for (int c = 0; c < 2; ++c) {
        switch (rng.Int(0, 5)) {
          case 0: case 1: mv[c] = base[c]; break;
          case 2: mv[c] = static_cast<int16_t>(base[c] + rng.Int(-5, 5)); break;
          case 3: mv[c] = static_cast<int16_t>(rng.Int(0, 1) ? 32767 : -32768); break;
          default: mv[c] = static_cast<int16_t>(rng.Int(-40, 40)); break;
        }
      }
    }
}

void CheckEdgeStrength(Rng& rng, H264EdgeStrengthFn plain, H264EdgeStrengthFn vec) {
  for (int trial = 0; trial < 20000; ++trial) {
    H264MbMotion nb{}, cur{};
    H264MbInfo nbInfo{}, curInfo{};
    // Half of the trials as in P slices: list 0 alone on both sides.
    bool listZeroOnly = trial % 2 == 0;
    RandomMotion(rng, &nb, &nb, listZeroOnly);
    RandomMotion(rng, &cur, &nb, listZeroOnly && rng.Int(0, 15) != 0);
    cur.fieldPic = rng.Int(0, 3) == 0;
    // Same lists and pictures as the neighbour now and then.
    if (rng.Int(0, 2) == 0) {
      std::memcpy(cur.refIdxL0, nb.refIdxL0, 4);
      std::memcpy(cur.refIdxL1, nb.refIdxL1, 4);
      std::memcpy(cur.refStructL0, nb.refStructL0, 4);
      std::memcpy(cur.refStructL1, nb.refStructL1, 4);
      std::memcpy(cur.refPocL0, nb.refPocL0, sizeof cur.refPocL0);
      std::memcpy(cur.refPocL1, nb.refPocL1, sizeof cur.refPocL1);
    }
    for (int b = 0; b < 16; ++b) {
      int dense = trial % 4;
      curInfo.nonZero[b] = static_cast<uint8_t>(rng.Int(0, 3) < dense ? rng.Int(0, 1) * rng.Int(1, 255) : 0);
      nbInfo.nonZero[b] = static_cast<uint8_t>(rng.Int(0, 3) < dense ? rng.Int(0, 1) * rng.Int(1, 255) : 0);
    }
    uint8_t out[2][12];
    rng.Bytes(out[0], 12, Fill::kRandom);
    std::memcpy(out[1], out[0], 12);
    plain(&nb, &cur, &nbInfo, &curInfo, out[0] + 4);
    vec(&nb, &cur, &nbInfo, &curInfo, out[1] + 4);
    ASSERT_EQ(0, std::memcmp(out[0], out[1], 12)) << "trial " << trial;
  }
}

void CheckInnerStrengths(Rng& rng, H264InnerStrengthsFromCoeffsFn plain, H264InnerStrengthsFromCoeffsFn vec) {
  for (int trial = 0; trial < 3000; ++trial) {
    uint8_t nonZero[16];
    for (auto& n : nonZero) n = static_cast<uint8_t>(rng.Int(0, 1) ? 0 : rng.Int(0, 2) ? 1 : rng.Int(1, 255));
    if (trial < 16)  // one coded block at a time
      for (int b = 0; b < 16; ++b) nonZero[b] = b == trial;
    uint8_t out[2][48];
    rng.Bytes(out[0], 48, Fill::kRandom);
    std::memcpy(out[1], out[0], 48);
    plain(nonZero, out[0]);
    vec(nonZero, out[1]);
    ASSERT_EQ(0, std::memcmp(out[0], out[1], 48)) << "trial " << trial;
  }
}

// Quadrant reconstruction of every coded block pattern, with residuals up to
// the 16-bit extremes.
void CheckRecon(Rng& rng, const H264ReconFn* plain, const H264ReconFn* vec) {
  auto* ctx = static_cast<H264DecContext*>(H264DecAlloc16(sizeof(H264DecContext)));
  ASSERT_NE(ctx, nullptr);
  H264MbMotion motion{};
  ctx->nbMotion[kH264NbCurrent] = &motion;
  H264SliceHeader& s = ctx->slice;
  for (int idx = 0; idx < 12; ++idx) {
    if (plain[idx] == vec[idx]) continue;
    for (int trial = 0; trial < 1500; ++trial) {
      ctx->mb.cbp = static_cast<uint32_t>(rng.Int(0, 47));
      // Weights over their whole range, the identity ones now and then, and
      // implicit weights of the table's range (32 is the plain average).
      s.luma_log2_weight_denom = static_cast<uint32_t>(rng.Int(0, 7));
      s.chroma_log2_weight_denom = static_cast<uint32_t>(rng.Int(0, 7));
      bool identity = rng.Int(0, 7) == 0;
      for (int l = 0; l < 2; ++l)
        for (int r = 0; r < kH264MaxRefs; ++r) {
          s.lumaWeight[l][r] = identity ? 1 << s.luma_log2_weight_denom : rng.Int(-128, 127);
          s.lumaOffset[l][r] = identity ? 0 : rng.Int(-128, 127);
          for (int c = 0; c < 2; ++c) {
            s.chromaWeight[l][r][c] = identity ? 1 << s.chroma_log2_weight_denom : rng.Int(-128, 127);
            s.chromaOffset[l][r][c] = identity ? 0 : rng.Int(-128, 127);
          }
        }
      for (auto& row : ctx->implicitWeight)
        for (auto& v : row) v = static_cast<int16_t>(rng.Int(0, 3) == 0 ? 32 : rng.Int(-64, 128));
      for (int b = 0; b < 4; ++b) {
        motion.refIdxL0[b] = static_cast<int8_t>(rng.Int(0, 31));
        motion.refIdxL1[b] = static_cast<int8_t>(rng.Int(0, 31));
      }
      int fieldMb = rng.Int(0, 1);
      int range = trial % 3 == 0 ? 32767 : trial % 3 == 1 ? 300 : 40;
      for (auto& r : ctx->mb.residual) r = static_cast<int16_t>(rng.Int(-range - (range == 32767), range));
      alignas(16) uint8_t mb[2][kMbSamplesSize];
      alignas(16) uint8_t l1[3][64];
      Fill f = rng.AnyFill();
      rng.Bytes(mb[0], kMbSamplesSize, f);
      std::memcpy(mb[1], mb[0], kMbSamplesSize);
      rng.Bytes(&l1[0][0], sizeof l1, rng.AnyFill());
      int q = rng.Int(0, 3);
      for (int k = 0; k < 2; ++k) {
        H264ReconArgs a{};
        a.quadrant = q;
        a.luma = mb[k] + 64 * q;
        a.cb = mb[k] + kMbSamplesCb + (q & 1) * 4 + (q >> 1) * 32;
        a.cr = mb[k] + kMbSamplesCr + (q & 1) * 4 + (q >> 1) * 32;
        a.lumaL1 = l1[0];
        a.cbL1 = l1[1];
        a.crL1 = l1[2];
        a.fieldMb = fieldMb;
        (k ? vec : plain)[idx](&a, ctx);
      }
      ASSERT_EQ(0, std::memcmp(mb[0], mb[1], kMbSamplesSize)) << "recon kernel " << idx << " trial " << trial;
    }
  }
  H264DecFree16(ctx);
}

// Intra prediction: the macroblock sample buffer with random neighbours and
// availability bytes (0 or 1, each combination), residuals up to the 16-bit
// extremes; the whole buffer is compared.
template <typename Call>
void CheckIntra(Rng& rng, int modes, const Call& call) {
  for (int mode = 0; mode < modes; ++mode) {
    for (int trial = 0; trial < 600; ++trial) {
      alignas(16) uint8_t mb[2][kMbSamplesSize];
      alignas(16) int16_t res[384];
      Fill f = trial < 5 ? static_cast<Fill>(trial) : rng.AnyFill();
      rng.Bytes(mb[0], kMbSamplesSize, f);
      for (int i = kMbSamplesAvailTopLeft; i <= kMbSamplesAvailLeft + 3; ++i) mb[0][i] = static_cast<uint8_t>(rng.Int(0, 1));
      mb[0][kMbSamplesOne] = 1;
      std::memcpy(mb[1], mb[0], kMbSamplesSize);
      int range = trial % 4 == 0 ? 32767 : trial % 4 == 1 ? 600 : trial % 4 == 2 ? 60 : 0;
      for (auto& r : res) r = static_cast<int16_t>(rng.Int(-range - (range == 32767), range));
      uint32_t cbp = static_cast<uint32_t>(rng.Int(0, 47));
      int block = rng.Int(0, 15);
      call(false, mode, mb[0], res, cbp, block);
      call(true, mode, mb[1], res, cbp, block);
      ASSERT_EQ(0, std::memcmp(mb[0], mb[1], kMbSamplesSize)) << "mode " << mode << " trial " << trial;
    }
  }
}

}  // namespace

// Walks the table: a slot whose kernel differs from the plain one must have
// a check here, so a new vector kernel cannot go in untested.
TEST_P(KernelTwins, EveryVectorKernelEqualsItsPlainTwin) {
  Rng& rng = rng_;
  const H264DecKernelTable& P = plain_;
  const H264DecKernelTable& V = vec_;
  std::vector<std::function<void()>> checks(kSlots);
  checks[0] = [&] { CheckIdct(rng, P.idct4x4, V.idct4x4, 4); };
  checks[1] = [&] { CheckIdct(rng, P.idct8x8, V.idct8x8, 8); };
  checks[2] = [&] { CheckEdgeStrength(rng, P.edgeStrengthLeft, V.edgeStrengthLeft); };
  checks[3] = [&] { CheckEdgeStrength(rng, P.edgeStrengthTop, V.edgeStrengthTop); };
  checks[5] = [&] { CheckInnerStrengths(rng, P.innerStrengthsFromCoeffs, V.innerStrengthsFromCoeffs); };
  checks[6] = [&] { CheckTranspose(rng, P.transpose8x8, V.transpose8x8); };
  checks[37] = [&] { CheckTransposePair(rng, P.transpose8x8Pair, V.transpose8x8Pair); };
  auto luma = [&](H264LumaEdgeFilterFn pf, H264LumaEdgeFilterFn vf, int qPitch) {
    CheckEdgeFilter(rng, 3, qPitch, [&](bool v, uint8_t* p, uint8_t* q, uint32_t a, uint32_t b, const uint8_t* tc) {
      (v ? vf : pf)(p, q, a, b, tc);
    });
  };
  checks[7] = [&] { luma(P.lumaEdgeFilter, V.lumaEdgeFilter, 8); };
  checks[8] = [&] { luma(P.lumaEdgeFilterWideQ, V.lumaEdgeFilterWideQ, 16); };
  checks[9] = [&] {
    CheckEdgeFilter(rng, 4, 8, [&](bool v, uint8_t* p, uint8_t* q, uint32_t a, uint32_t b, const uint8_t*) {
      (v ? V.lumaEdgeFilterStrong : P.lumaEdgeFilterStrong)(p, q, a, b);
    });
  };
  auto chroma = [&](int kind) {
    CheckEdgeFilter(rng, 4, 8, [&](bool v, uint8_t* p, uint8_t* q, uint32_t a, uint32_t b, const uint8_t* tc) {
      // Cb in rows 0 and 1 of the buffers, Cr in rows 2 and 3, with
      // thresholds of their own.
      const H264DecKernelTable& t = v ? V : P;
      uint32_t a2 = (a >> 3) | (a << 29), b2 = b ^ 3;
      switch (kind) {
        case 0: t.chromaEdgeFilter(p, q, p + 16, q + 16, a, b, a2, b2, tc, 8); break;
        case 1: t.chromaEdgeFilterStrong(p, q, p + 16, q + 16, a, b, a2, b2); break;
        case 2: t.chromaEdgeFilterHalf(p, q, p + 16, q + 16, a, b, a2, b2, tc); break;
        default: t.chromaEdgeFilterStrongHalf(p, q, p + 16, q + 16, a, b, a2, b2); break;
      }
    });
  };
  checks[10] = [&] { chroma(0); };
  checks[38] = [&] { CheckChromaEdge(rng, P.chromaEdgeFilterSegments, V.chromaEdgeFilterSegments); };
  checks[11] = [&] { chroma(1); };
  checks[12] = [&] { chroma(2); };
  checks[13] = [&] { chroma(3); };
  checks[18] = checks[19] = [&] {
    CheckLeftColumns(rng, P.gatherLeftColumns, V.gatherLeftColumns, P.scatterLeftColumns, V.scatterLeftColumns);
  };
  checks[27] = [&] {
    CheckIntra(rng, 9, [&](bool v, int mode, uint8_t* mb, const int16_t* res, uint32_t cbp, int block) {
      if (P.intra4x4[mode] != V.intra4x4[mode]) (v ? V : P).intra4x4[mode](block, mb, res, cbp);
    });
  };
  checks[28] = [&] {
    CheckIntra(rng, 9, [&](bool v, int mode, uint8_t* mb, const int16_t* res, uint32_t cbp, int block) {
      if (P.intra8x8[mode] != V.intra8x8[mode]) (v ? V : P).intra8x8[mode](block & 3, mb, res, cbp);
    });
  };
  checks[29] = [&] {
    CheckIntra(rng, 4, [&](bool v, int mode, uint8_t* mb, const int16_t* res, uint32_t, int) {
      if (P.intra16x16[mode] != V.intra16x16[mode]) (v ? V : P).intra16x16[mode](mb, res);
    });
  };
  checks[30] = [&] {
    CheckIntra(rng, 4, [&](bool v, int mode, uint8_t* mb, const int16_t* res, uint32_t cbp, int) {
      if (P.intraChroma[mode] != V.intraChroma[mode])
        (v ? V : P).intraChroma[mode](mb, mb + kMbSamplesCb, mb + kMbSamplesCr, res + 256, res + 320, cbp >> 4);
    });
  };
  checks[36] = [&] { CheckRecon(rng, P.reconKernels, V.reconKernels); };
  checks[24] = [&] { CheckStoreMbLuma(rng, P.storeMbLuma, V.storeMbLuma); };
  checks[31] = [&] { CheckLumaMc(rng, P.lumaMc4x4, V.lumaMc4x4, 4, 4); };
  checks[32] = [&] { CheckLumaMc(rng, P.lumaMc4x8, V.lumaMc4x8, 4, 8); };
  checks[33] = [&] { CheckLumaMc(rng, P.lumaMc8x16, V.lumaMc8x16, 8, 16); };
  checks[34] = [&] { CheckChromaMc(rng, P.chromaMc4x2, V.chromaMc4x2, 4, 2); };
  checks[35] = [&] { CheckChromaMc(rng, P.chromaMc8x4, V.chromaMc8x4, 8, 4); };

  int checked = 0;
  for (int slot = 0; slot < kSlots; ++slot) {
    if (SlotPointer(P, slot) == SlotPointer(V, slot)) continue;
    ASSERT_TRUE(checks[slot]) << "slot " << slot << " has a vector kernel but no twin check";
    SCOPED_TRACE("slot " + std::to_string(slot));
    checks[slot]();
    if (HasFatalFailure()) return;
    ++checked;
  }
  if (GetParam() != kH264KernelsPlain) {
    EXPECT_GT(checked, 0) << "the variant replaces no kernel";
  }
  static_assert(kFirstArraySlot == 27, "slots from 27 on point at tables of kernels");
}

// Motion compensation of whole partitions through the variant's table and
// 2x2 chroma kernels against the plain ones: every fraction, every partition
// size at every place in the macroblock, sources at the end of their
// allocations; the whole prediction buffer (luma, Cb, Cr) is compared, so a
// write outside the block shows.
TEST_P(KernelTwins, PartitionMotionEqualsPlain) {
  Rng& rng = rng_;
  const H264McFn* chroma2x2 = H264Chroma2x2OfVariant(GetParam());
  constexpr int kSizes[7][2] = {{16, 16}, {16, 8}, {8, 16}, {8, 8}, {8, 4}, {4, 8}, {4, 4}};
  for (const auto& size : kSizes) {
    const int pw = size[0], ph = size[1];
    for (int li = 0; li < 16; ++li)
      for (int trial = 0; trial < 24; ++trial) {
        const int xf = li >> 2, yf = li & 3;
        const int px = pw * rng.Int(0, 16 / pw - 1), py = ph * rng.Int(0, 16 / ph - 1);
        // Chroma fractions: each of the four kinds, any non-zero value.
        const int ci = trial & 3;
        const int cfx = (ci & 1) ? rng.Int(1, 7) : 0, cfy = (ci & 2) ? rng.Int(1, 7) : 0;
        Fill f = trial < 5 ? static_cast<Fill>(trial) : rng.AnyFill();
        const int lw = pw + (xf ? 5 : 0), lh = ph + (yf ? 5 : 0);
        const int cw = pw / 2 + (cfx ? 1 : 0), ch = ph / 2 + (cfy ? 1 : 0);
        const int lst = rng.Int(lw, 80), cst = rng.Int(cw, 48);
        Source luma(rng, static_cast<size_t>((lh - 1) * lst + lw), f);
        Source cb(rng, static_cast<size_t>((ch - 1) * cst + cw), f), cr(rng, static_cast<size_t>((ch - 1) * cst + cw), f);
        alignas(16) uint8_t out[2][384];
        rng.Bytes(out[0], sizeof out[0], Fill::kRandom);
        std::memcpy(out[1], out[0], sizeof out[0]);
        for (int k = 0; k < 2; ++k) {
          H264McArgs a{};
          a.lumaSrc = luma.Data();
          a.lumaStride = lst;
          a.cbSrc = cb.Data();
          a.crSrc = cr.Data();
          a.chromaStride = cst;
          a.mvx = static_cast<int16_t>(xf);
          a.mvy = static_cast<int16_t>(yf);
          a.chromaFracX = static_cast<int16_t>(cfx);
          a.chromaFracY = static_cast<int16_t>(cfy);
          uint8_t* base = out[k];
          H264McByBlocks(k ? vec_ : plain_, k ? chroma2x2 : H264Chroma2x2Kernels, &a, base, base + 256, base + 320,
                         px, py, pw, ph, li, ci);
        }
        ASSERT_EQ(0, std::memcmp(out[0], out[1], sizeof out[0]))
            << pw << "x" << ph << " at " << px << "," << py << " fraction " << li << " chroma " << cfx << "," << cfy
            << " trial " << trial;
      }
  }
  if (GetParam() >= kH264KernelsSsse3) {
    EXPECT_NE(chroma2x2, H264Chroma2x2Kernels) << "no vector 2x2 chroma kernels";
  }
}

// The variant the decoder picks is one the processor runs, and a build with
// VELMORA_PLAIN_KERNELS picks the plain one.
TEST(KernelVariants, BestIsAvailable) {
  int best = H264BestKernelVariant();
  EXPECT_TRUE(H264KernelVariantAvailable(best)) << H264KernelVariantName(best);
#ifdef VELMORA_PLAIN_KERNELS
  EXPECT_EQ(best, kH264KernelsPlain);
#endif
}

INSTANTIATE_TEST_SUITE_P(Variants, KernelTwins, ::testing::Range(1, static_cast<int>(kH264KernelVariantCount)),
                         [](const ::testing::TestParamInfo<int>& i) { return std::string(H264KernelVariantName(i.param)); });
