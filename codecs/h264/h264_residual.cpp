// CAVLC residual: coeff_token, levels, total_zeros and run_before of each
// block, the inverse scan, dequantisation and the inverse transforms into the
// macroblock's residual.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "codecs/h264/h264_bitreader.h"
#include "codecs/h264/h264_internal.h"
#include "codecs/h264/h264_tables.h"

namespace {

// The bit reader's next bits held in a register while one block is read:
// at least 32 bits are in the window before each read. Positions past the
// reader's limit see the zero bytes behind the unit, as the reader does, and
// the position handed back stops at the limit.
class BitWindow {
 public:
  explicit BitWindow(const H264DecBitReader* br) : data_(br->data), pos_(br->pos), limit_(br->limit) { Fill(); }
  uint32_t Peek32() const { return static_cast<uint32_t>(bits_ >> 32); }
  void Skip(uint32_t n) {
    pos_ += n;
    avail_ -= static_cast<int>(n);
    if (avail_ < 32) Fill();
    else bits_ <<= n;
  }
  uint32_t Read(int n) {  // n from 1 to 32
    uint32_t v = Peek32() >> (32 - n);
    Skip(static_cast<uint32_t>(n));
    return v;
  }
  void Finish(H264DecBitReader* br) const { br->pos = pos_ < limit_ ? pos_ : limit_; }

 private:
  void Fill() {
    if (pos_ > limit_) pos_ = limit_;
    uint64_t v;
    std::memcpy(&v, data_ + (pos_ >> 3), sizeof v);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    bits_ = v << (pos_ & 7);
    avail_ = 64 - static_cast<int>(pos_ & 7);
  }
  const uint8_t* data_;
  uint32_t pos_, limit_;
  uint64_t bits_ = 0;
  int avail_ = 0;
};

// A variable-length code table looked up by the count of leading zeros and
// the few bits after the first 1. An entry is (value << 5) | length; 0 is no
// code.
struct VlcTable {
  static constexpr int kMaxLz = 32;
  static constexpr int kMaxSuffixBits = 5;  // the 6-bit codes of nC 8 and above
  static constexpr int kDirectBits = 9;
  int suffixBits = 0;
  uint16_t entries[(kMaxLz + 1) << kMaxSuffixBits] = {};
  // The entries of codes up to kDirectBits long by the next kDirectBits
  // bits; 0 for longer codes (found through `entries`).
  uint16_t direct[1 << kDirectBits] = {};

  struct Code {
    int length;
    uint32_t code;
    int value;
  };

  template <size_t N>
  void Build(const Code (&codes)[N], int count) {
    suffixBits = 0;
    for (int i = 0; i < count; ++i) {
      const Code& c = codes[i];
      if (c.length == 0 || c.code == 0) continue;
      int lz = c.length - static_cast<int>(std::bit_width(c.code));
      suffixBits = std::max(suffixBits, c.length - lz - 1);
    }
    suffixBits = std::min(suffixBits, kMaxSuffixBits);
    for (int i = 0; i < count; ++i) {
      const Code& c = codes[i];
      if (c.length == 0) continue;
      uint16_t e = static_cast<uint16_t>((c.value << 5) | c.length);
      int span = 1 << suffixBits;
      if (c.code == 0) {  // all zeros: any longer run of zeros starts with it
        for (int lz = c.length; lz <= kMaxLz; ++lz)
          for (int s = 0; s < span; ++s) entries[lz * span + s] = e;
        continue;
      }
      int lz = c.length - static_cast<int>(std::bit_width(c.code));
      int r = c.length - lz - 1;
      uint32_t suffix = c.code & ((1u << r) - 1);
      uint32_t first = suffix << (suffixBits - r), last = (suffix + 1) << (suffixBits - r);
      for (uint32_t s = first; s < last; ++s) entries[lz * span + static_cast<int>(s)] = e;
    }
    for (uint32_t v = 0; v < (1u << kDirectBits); ++v) {
      uint16_t e = Lookup(v << (32 - kDirectBits));
      direct[v] = (e & 31) <= kDirectBits ? e : 0;
    }
  }

  // The entry of the code at the top of `bits`.
  uint16_t Lookup(uint32_t bits) const {
    int lz = std::countl_zero(bits);
    // The bits after the first 1, in 64 bits so that no shift needs a guard.
    uint64_t rest = (uint64_t{bits} << (lz + 1)) & 0xFFFFFFFFu;
    uint32_t s = static_cast<uint32_t>(rest >> (32 - suffixBits));
    return entries[(lz << suffixBits) + static_cast<int>(s)];
  }

  // Returns the value, or -1 for a bit string that is no code.
  template <typename Reader>
  int Read(Reader* br) const {
    uint32_t bits = Peek(br);
    uint16_t e = direct[bits >> (32 - kDirectBits)];
    if (!e) [[unlikely]] {
      e = Lookup(bits);
      if (!e) return -1;
    }
    Skip(e & 31u, br);
    return e >> 5;
  }

 private:
  static uint32_t Peek(H264DecBitReader* br) { return H264PeekBits32(br); }
  static uint32_t Peek(BitWindow* w) { return w->Peek32(); }
  static void Skip(uint32_t n, H264DecBitReader* br) { H264SkipBits(n, br); }
  static void Skip(uint32_t n, BitWindow* w) { w->Skip(n); }
};

struct CavlcTables {
  VlcTable coeffToken[5];  // nC 0-1, 2-3, 4-7, 8 and above, -1 (chroma DC)
  VlcTable totalZeros[15];
  VlcTable totalZerosChromaDc[3];
  VlcTable runBefore[7];
  // run_before for zerosLeft 1..6 by its next three bits (every code is at
  // most three long): (run << 4) | length, 0 for no code.
  uint8_t runBeforeShort[6][8] = {};
  // The coeff_token of no coefficients in each coeff_token table: the next
  // bits shifted right by `shift` equal `code`.
  struct Empty {
    uint32_t code;
    uint8_t shift, length;
  } empty[5] = {};

  CavlcTables() {
    VlcTable::Code codes[68];
    for (int col = 0; col < 5; ++col) {
      int n = 0;
      for (const auto& row : kH264CoeffTokenCodes) {
        int t1 = row[0], tc = row[1];
        codes[n++] = {row[2 + 2 * col], row[3 + 2 * col], (tc << 2) | t1};
        if (tc == 0 && row[2 + 2 * col] > 0) {
          empty[col].code = static_cast<uint32_t>(row[3 + 2 * col]);
          empty[col].length = static_cast<uint8_t>(row[2 + 2 * col]);
          empty[col].shift = static_cast<uint8_t>(32 - row[2 + 2 * col]);
        }
      }
      coeffToken[col].Build(codes, n);
    }
    for (int t = 0; t < 15; ++t) {
      for (int z = 0; z < 16; ++z) codes[z] = {kH264TotalZerosCodes[t][2 * z], kH264TotalZerosCodes[t][2 * z + 1], z};
      totalZeros[t].Build(codes, 16);
    }
    for (int t = 0; t < 3; ++t) {
      for (int z = 0; z < 4; ++z)
        codes[z] = {kH264TotalZerosChromaDcCodes[t][2 * z], kH264TotalZerosChromaDcCodes[t][2 * z + 1], z};
      totalZerosChromaDc[t].Build(codes, 4);
    }
    for (int t = 0; t < 7; ++t) {
      for (int r = 0; r < 15; ++r) codes[r] = {kH264RunBeforeCodes[t][2 * r], kH264RunBeforeCodes[t][2 * r + 1], r};
      runBefore[t].Build(codes, 15);
    }
    for (int t = 0; t < 6; ++t)
      for (uint32_t v = 0; v < 8; ++v) {
        uint16_t e = runBefore[t].Lookup(v << 29);
        int run = e >> 5, length = e & 31;
        if (e && length <= 3 && run <= t + 1) runBeforeShort[t][v] = static_cast<uint8_t>(run << 4 | length);
      }
  }
};

// Built at load time (from constant tables): no guard on each use.
const CavlcTables kTables;

const CavlcTables& Tables() { return kTables; }

// coeff_token table by nC + 1 (nC -1 for chroma DC, at most 16).
constexpr uint8_t kTokenTable[18] = {4, 0, 0, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3, 3};

int ReadBlockAt(H264CavlcBlock* out, int maxNumCoeff, int nC, BitWindow* w, int levelPrefixMax);

// One block from the macroblock's window; an empty block (the most common
// coeff_token) is settled here.
inline int ReadCoded(H264CavlcBlock* out, int maxNumCoeff, int nC, BitWindow* w, int levelPrefixMax) {
  const CavlcTables::Empty& e = Tables().empty[kTokenTable[nC + 1]];
  if ((w->Peek32() >> e.shift) == e.code) {
    w->Skip(e.length);
    return 0;
  }
  return ReadBlockAt(out, maxNumCoeff, nC, w, levelPrefixMax);
}

// The levels of a block in coefficient order (maxNumCoeff of them); returns
// the number of levels or -1.
int ReadLevels(int32_t* coeffLevel, int maxNumCoeff, int nC, BitWindow* w, int levelPrefixMax) {
  for (int i = 0; i < maxNumCoeff; ++i) coeffLevel[i] = 0;
  H264CavlcBlock blk;
  int tc = ReadCoded(&blk, maxNumCoeff, nC, w, levelPrefixMax);
  for (int i = 0; i < tc; ++i) coeffLevel[blk.index[i]] = blk.level[i];
  return tc;
}

constexpr int kBlkX[16] = {0, 1, 0, 1, 2, 3, 2, 3, 0, 1, 0, 1, 2, 3, 2, 3};
constexpr int kBlkY[16] = {0, 0, 1, 1, 0, 0, 1, 1, 2, 2, 3, 3, 2, 2, 3, 3};
constexpr int kBlkAt[4][4] = {{0, 1, 4, 5}, {2, 3, 6, 7}, {8, 9, 12, 13}, {10, 11, 14, 15}};  // [y][x]

// Residual offset of 4x4 luma block blk (quadrant layout, rows of 8).
inline int LumaBlockPos(int blk) { return H264MbLumaPos(4 * kBlkX[blk], 4 * kBlkY[blk]); }

inline int CombineNc(bool availA, int nA, bool availB, int nB) {
  if (availA && availB) return (nA + nB + 1) >> 1;
  if (availA) return nA;
  if (availB) return nB;
  return 0;
}

inline int LumaNc(const H264DecContext* ctx, int blk) {
  const H264MbInfo* cur = ctx->nbInfo[kH264NbCurrent];
  const H264MbInfo* left = ctx->nbInfo[kH264NbLeft];
  const H264MbInfo* top = ctx->nbInfo[kH264NbTop];
  int x = kBlkX[blk], y = kBlkY[blk];
  bool availA = x > 0 || left->available, availB = y > 0 || top->available;
  int nA = x > 0 ? cur->totalCoeffLuma[kBlkAt[y][x - 1]] : left->totalCoeffLuma[kBlkAt[y][3]];
  int nB = y > 0 ? cur->totalCoeffLuma[kBlkAt[y - 1][x]] : top->totalCoeffLuma[kBlkAt[3][x]];
  return CombineNc(availA, nA, availB, nB);
}

inline int ChromaNc(const H264DecContext* ctx, int comp, int b) {
  const H264MbInfo* cur = ctx->nbInfo[kH264NbCurrent];
  const H264MbInfo* left = ctx->nbInfo[kH264NbLeft];
  const H264MbInfo* top = ctx->nbInfo[kH264NbTop];
  int x = b & 1, y = b >> 1, base = 4 * comp;
  bool availA = x > 0 || left->available, availB = y > 0 || top->available;
  int nA = x > 0 ? cur->totalCoeffChroma[base + b - 1] : left->totalCoeffChroma[base + 1 + 2 * y];
  int nB = y > 0 ? cur->totalCoeffChroma[base + b - 2] : top->totalCoeffChroma[base + 2 + x];
  return CombineNc(availA, nA, availB, nB);
}

void FillDc(int16_t* res, int16_t dc) { H264FillDc4x4(res, static_cast<int16_t>(static_cast<int16_t>(dc + 32) >> 6)); }

int DecodeChroma(H264DecContext* ctx, BitWindow* br) {
  H264MbWork& w = ctx->mb;
  H264MbInfo* cur = ctx->nbInfo[kH264NbCurrent];
  int chromaCbp = static_cast<int>(w.cbp >> 4);
  std::memset(cur->totalCoeffChroma, 0, 8);
  if (chromaCbp == 0) return 0;
  bool intra = ctx->nbMotion[kH264NbCurrent]->mbType > 22;
  int16_t dc[2][4];
  for (int comp = 0; comp < 2; ++comp) {
    int32_t lv[16];
    if (ReadLevels(lv, 4, -1, br, ctx->levelPrefixMax) < 0) return 1;
    int qp = comp ? cur->qpCr : cur->qpCb;
    H264ChromaDc(lv, ctx->levelScale4x4[(intra ? 1 : 4) + comp][qp % 6][0], qp, dc[comp]);
  }
  const uint8_t* scan = kH264Scan4x4[cur->fieldMb ? 1 : 0];
  for (int comp = 0; comp < 2; ++comp) {
    int qp = comp ? cur->qpCr : cur->qpCb, q6 = qp / 6;
    const uint16_t* scale = ctx->levelScale4x4[(intra ? 1 : 4) + comp][qp % 6];
    for (int b = 0; b < 4; ++b) {
      int16_t* res = w.residual + 256 + 64 * comp + 4 * (b & 1) + 32 * (b >> 1);
      int tc = 0;
      if (chromaCbp == 2) {
        H264CavlcBlock blk;
        tc = ReadCoded(&blk, 15, ChromaNc(ctx, comp, b), br, ctx->levelPrefixMax);
        if (tc < 0) return 1;
        cur->totalCoeffChroma[4 * comp + b] = static_cast<uint8_t>(tc);
        if (tc > 0) {
          alignas(16) int16_t coeff[16] = {};
          coeff[0] = dc[comp][b];
          for (int i = 0; i < tc; ++i) {
            int pos = scan[blk.index[i] + 1];
            coeff[pos] = H264Dequant(blk.level[i], scale[pos], q6, 4);
          }
          ctx->kernels.idct4x4(coeff, res);
          continue;
        }
      }
      FillDc(res, dc[comp][b]);
    }
  }
  return 0;
}

}  // namespace

// Chroma DC of one component: the 2x2 transform of the four levels, scaled.
void H264ChromaDc(const int32_t* lv, int scale, int qp, int16_t* dc) {
  int32_t c0 = lv[0], c1 = lv[1], c2 = lv[2], c3 = lv[3];
  int32_t f[4] = {c0 + c1 + c2 + c3, c0 - c1 + c2 - c3, c0 + c1 - c2 - c3, c0 - c1 - c2 + c3};
  for (int k = 0; k < 4; ++k) dc[k] = H264Sat16(((static_cast<int64_t>(f[k]) * scale) * (int64_t{1} << (qp / 6))) >> 5);
}

void H264FillDc8x8(int16_t* block, int16_t dc) {
  int16_t v = static_cast<int16_t>(static_cast<int16_t>(dc + 32) >> 6);
  for (int k = 0; k < 64; ++k) block[k] = v;
}

// Intra_16x16 DC: the 4x4 Hadamard transform of the levels (scan order),
// scaled; the result by 4x4 block index.
void H264LumaDc(const H264DecContext* ctx, const int32_t* lv, const uint16_t* scale, int q6, int16_t* dc) {
  const uint8_t* scan = kH264Scan4x4[ctx->nbInfo[kH264NbCurrent]->fieldMb ? 1 : 0];
  int32_t c[16] = {};
  for (int idx = 0; idx < 16; ++idx) c[scan[idx]] = lv[idx];
  int32_t t[16], f[16];
  for (int i = 0; i < 4; ++i) {
    const int32_t* r = c + 4 * i;
    t[4 * i + 0] = r[0] + r[1] + r[2] + r[3];
    t[4 * i + 1] = r[0] + r[1] - r[2] - r[3];
    t[4 * i + 2] = r[0] - r[1] - r[2] + r[3];
    t[4 * i + 3] = r[0] - r[1] + r[2] - r[3];
  }
  for (int j = 0; j < 4; ++j) {
    int32_t a = t[j], b = t[4 + j], cc = t[8 + j], d = t[12 + j];
    f[j] = a + b + cc + d;
    f[4 + j] = a + b - cc - d;
    f[8 + j] = a - b - cc + d;
    f[12 + j] = a - b + cc - d;
  }
  for (int k = 0; k < 16; ++k) {
    int64_t v = (static_cast<int64_t>(f[k]) * scale[0]) * (int64_t{1} << q6);
    dc[kBlkAt[k >> 2][k & 3]] = H264Sat16((v + 32) >> 6);
  }
}

namespace {

// |level| above which suffixLength grows, by suffixLength.
constexpr int32_t kLevelGrow[7] = {0, 3, 6, 12, 24, 48, INT32_MAX};

[[gnu::always_inline]] inline int ReadBlock(H264CavlcBlock* out, int maxNumCoeff, int nC, BitWindow* br, int levelPrefixMax) {
  const CavlcTables& t = Tables();
  int token = t.coeffToken[kTokenTable[nC + 1]].Read(br);
  if (token < 0) return -1;
  int tc = token >> 2, t1 = token & 3;
  if (tc > maxNumCoeff) return -1;
  if (tc == 0) return 0;
  int32_t* level = out->level;
  // Trailing ones: one sign bit each, the first on top. All three are set;
  // the level loop overwrites those past t1.
  uint32_t signs = br->Peek32();
  level[0] = 1 - static_cast<int32_t>(signs >> 31 << 1);
  level[1] = 1 - static_cast<int32_t>(signs >> 29 & 2);
  level[2] = 1 - static_cast<int32_t>(signs >> 28 & 2);
  br->Skip(static_cast<uint32_t>(t1));
  int suffixLength = tc > 10 && t1 < 3 ? 1 : 0;
  int32_t firstBias = t1 < 3 ? 2 : 0;
  for (int i = t1; i < tc; ++i) {
    uint32_t bits = br->Peek32();
    int prefix = std::countl_zero(bits);
    int32_t levelCode;
    if (prefix < 14) [[likely]] {
      // Prefix, its 1 and the suffix in one read: the read value is the
      // suffix with 1 << suffixLength above it.
      int length = prefix + 1 + suffixLength;
      levelCode = (prefix << suffixLength) + static_cast<int32_t>(bits >> (32 - length)) - (1 << suffixLength);
      br->Skip(static_cast<uint32_t>(length));
    } else {
      if (prefix > levelPrefixMax) return -1;
      br->Skip(static_cast<uint32_t>(prefix + 1));
      levelCode = std::min(15, prefix) << suffixLength;
      int suffixSize = prefix == 14 && suffixLength == 0 ? 4 : prefix >= 15 ? prefix - 3 : suffixLength;
      if (suffixSize > 0) levelCode += static_cast<int32_t>(br->Read(suffixSize));
      if (prefix >= 15 && suffixLength == 0) levelCode += 15;
      if (prefix >= 16) levelCode += (1 << (prefix - 3)) - 4096;
    }
    levelCode += firstBias;
    firstBias = 0;
    // Even codes are positive, odd ones negative.
    int32_t mag = (levelCode >> 1) + 1, neg = -(levelCode & 1);
    level[i] = (mag ^ neg) - neg;
    suffixLength += suffixLength == 0;
    suffixLength += mag > kLevelGrow[suffixLength];
  }
  int zerosLeft = 0;
  if (tc < maxNumCoeff) {
    zerosLeft = maxNumCoeff == 4 ? t.totalZerosChromaDc[tc - 1].Read(br) : t.totalZeros[tc - 1].Read(br);
    // total_zeros can only place coefficients inside the block.
    if (zerosLeft < 0 || zerosLeft > maxNumCoeff - tc) return -1;
  }
  // Coefficients from the last one down: each run_before moves the next one
  // further towards the start; once no zeros are left the rest follow each
  // other.
  int idx = tc - 1 + zerosLeft;
  int i = 0;
  for (; i < tc - 1 && zerosLeft > 0; ++i) {
    out->index[i] = static_cast<uint8_t>(idx);
    int r;
    if (zerosLeft <= 6) {
      uint8_t e = t.runBeforeShort[zerosLeft - 1][br->Peek32() >> 29];
      if (!e) return -1;
      r = e >> 4;
      br->Skip(e & 15u);
    } else {
      r = t.runBefore[6].Read(br);
      if (r < 0 || r > zerosLeft) return -1;
    }
    zerosLeft -= r;
    idx -= 1 + r;
  }
  for (; i < tc - 1; ++i) out->index[i] = static_cast<uint8_t>(idx--);
  out->index[tc - 1] = static_cast<uint8_t>(idx);
  return tc;
}

}  // namespace

namespace {

// The window in locals while the block is read.
int ReadBlockAt(H264CavlcBlock* out, int maxNumCoeff, int nC, BitWindow* w, int levelPrefixMax) {
  BitWindow local = *w;
  int tc = ReadBlock(out, maxNumCoeff, nC, &local, levelPrefixMax);
  *w = local;
  return tc;
}

}  // namespace

int H264ReadCavlcBlock(H264CavlcBlock* out, int maxNumCoeff, int nC, H264DecBitReader* br, int levelPrefixMax) {
  BitWindow window(br);
  int tc = ReadBlock(out, maxNumCoeff, nC, &window, levelPrefixMax);
  window.Finish(br);
  return tc;
}

int H264ResidualBlockCavlc(int32_t* coeffLevel, int startIdx, int maxNumCoeff, int nC, int* totalCoeff,
                           H264DecBitReader* br, int levelPrefixMax) {
  for (int i = 0; i < startIdx + maxNumCoeff; ++i) coeffLevel[i] = 0;
  *totalCoeff = 0;
  H264CavlcBlock blk;
  int tc = H264ReadCavlcBlock(&blk, maxNumCoeff, nC, br, levelPrefixMax);
  if (tc < 0) return 1;
  *totalCoeff = tc;
  for (int i = 0; i < tc; ++i) coeffLevel[startIdx + blk.index[i]] = blk.level[i];
  return 0;
}

namespace {

int ResidualLuma(H264DecContext* ctx, BitWindow* br) {
  H264MbWork& w = ctx->mb;
  H264MbInfo* cur = ctx->nbInfo[kH264NbCurrent];
  bool intra = ctx->nbMotion[kH264NbCurrent]->mbType > 22;
  int qp = cur->qp, q6 = qp / 6, m = qp % 6;
  int scanKind = cur->fieldMb ? 1 : 0;
  for (int quad = 0; quad < 4; ++quad) {
    if (!((w.cbp >> quad) & 1)) {
      for (int j = 0; j < 4; ++j) cur->totalCoeffLuma[4 * quad + j] = cur->nonZero[4 * quad + j] = 0;
      continue;
    }
    if (cur->transform8x8) {
      // Four interleaved 4x4 blocks: coefficient k of block j is 8x8 scan index 4k + j.
      alignas(16) int16_t coeff[64] = {};
      const uint16_t* scale = ctx->levelScale8x8[intra ? 0 : 1][m];
      const uint8_t* scan = kH264Scan8x8[scanKind];
      int any = 0, ac = 0;
      for (int j = 0; j < 4; ++j) {
        int blkIdx = 4 * quad + j;
        H264CavlcBlock blk;
        int tc = ReadCoded(&blk, 16, LumaNc(ctx, blkIdx), br, ctx->levelPrefixMax);
        if (tc < 0) return 1;
        cur->totalCoeffLuma[blkIdx] = static_cast<uint8_t>(tc);
        any |= tc;
        for (int i = 0; i < tc; ++i) {
          int sidx = 4 * blk.index[i] + j;
          int pos = scan[sidx];
          coeff[pos] = H264Dequant(blk.level[i], scale[pos], q6, 6);
          ac |= sidx;
        }
      }
      int16_t* res = w.residual + 64 * quad;
      if (ac)
        ctx->kernels.idct8x8(coeff, res);
      else
        H264FillDc8x8(res, coeff[0]);
      // Deblocking sees the whole 8x8 block as coded when any of its 64
      // coefficients is.
      for (int j = 0; j < 4; ++j) cur->nonZero[4 * quad + j] = any ? 1 : 0;
    } else {
      const uint16_t* scale = ctx->levelScale4x4[intra ? 0 : 3][m];
      const uint8_t* scan = kH264Scan4x4[scanKind];
      for (int j = 0; j < 4; ++j) {
        int blkIdx = 4 * quad + j;
        H264CavlcBlock blk;
        int tc = ReadCoded(&blk, 16, LumaNc(ctx, blkIdx), br, ctx->levelPrefixMax);
        if (tc < 0) return 1;
        cur->totalCoeffLuma[blkIdx] = static_cast<uint8_t>(tc);
        cur->nonZero[blkIdx] = tc > 0;
        int16_t* res = w.residual + LumaBlockPos(blkIdx);
        if (tc == 0) {
          H264FillDc4x4(res, 0);
        } else if (tc == 1 && blk.index[0] == 0) {
          FillDc(res, H264Dequant(blk.level[0], scale[0], q6, 4));
        } else {
          alignas(16) int16_t coeff[16] = {};
          for (int i = 0; i < tc; ++i) {
            int pos = scan[blk.index[i]];
            coeff[pos] = H264Dequant(blk.level[i], scale[pos], q6, 4);
          }
          ctx->kernels.idct4x4(coeff, res);
        }
      }
    }
  }
  return DecodeChroma(ctx, br);
}

int ResidualIntra16x16(H264DecContext* ctx, BitWindow* br) {
  H264MbWork& w = ctx->mb;
  H264MbInfo* cur = ctx->nbInfo[kH264NbCurrent];
  int qp = cur->qp, q6 = qp / 6, m = qp % 6;
  const uint16_t* scale = ctx->levelScale4x4[0][m];
  const uint8_t* scan = kH264Scan4x4[cur->fieldMb ? 1 : 0];
  int32_t lv[16];
  if (ReadLevels(lv, 16, LumaNc(ctx, 0), br, ctx->levelPrefixMax) < 0) return 1;
  int16_t dc[16];  // by block index
  H264LumaDc(ctx, lv, scale, q6, dc);
  for (int blkIdx = 0; blkIdx < 16; ++blkIdx) {
    int acTc = 0;
    int16_t* res = w.residual + LumaBlockPos(blkIdx);
    if (w.cbp & 15) {
      H264CavlcBlock blk;
      acTc = ReadCoded(&blk, 15, LumaNc(ctx, blkIdx), br, ctx->levelPrefixMax);
      if (acTc < 0) return 1;
      if (acTc > 0) {
        alignas(16) int16_t coeff[16] = {};
        coeff[0] = dc[blkIdx];
        for (int i = 0; i < acTc; ++i) {
          int pos = scan[blk.index[i] + 1];
          coeff[pos] = H264Dequant(blk.level[i], scale[pos], q6, 4);
        }
        ctx->kernels.idct4x4(coeff, res);
      }
    }
    cur->totalCoeffLuma[blkIdx] = static_cast<uint8_t>(acTc);
    cur->nonZero[blkIdx] = acTc > 0 || dc[blkIdx] != 0;
    if (acTc == 0) FillDc(res, dc[blkIdx]);
  }
  return DecodeChroma(ctx, br);
}

}  // namespace

// The macroblock's blocks through one window over the reader.
int H264ResidualLuma(H264DecContext* ctx) {
  BitWindow window(&ctx->br);
  int r = ResidualLuma(ctx, &window);
  window.Finish(&ctx->br);
  return r;
}

int H264ResidualIntra16x16(H264DecContext* ctx) {
  BitWindow window(&ctx->br);
  int r = ResidualIntra16x16(ctx, &window);
  window.Finish(&ctx->br);
  return r;
}
