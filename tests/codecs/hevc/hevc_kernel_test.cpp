// The kernel table's vector twins: the feature word from a made-up
// processor, which slots each word may replace, and every replaced slot
// checked against its plain twin on random and extreme inputs, with guard
// bytes around the block that must stay untouched.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "codecs/hevc/hevc_internal.h"
#if defined(__x86_64__) || defined(__i386__)
#include "codecs/hevc/x86/hevc_x86.h"
#endif

namespace hevc_test {
namespace {

using namespace hevc;

// ----------------------------------------------------------- feature word
struct FakeCpu {
  bool hasCpuid = true;
  uint32_t maxLeaf = 0xD;
  const char* vendor = "GenuineIntel";
  uint32_t eax1 = 0, ecx1 = 0, edx1 = 0;
  uint32_t xcr0 = 0;
  int xgetbvCalls = 0;
  uint32_t ebx7 = 0;  // leaf 7
};
FakeCpu* g_cpu = nullptr;

int FakeToggle() { return g_cpu->hasCpuid; }
void FakeCpuid(uint32_t leaf, uint32_t r[4]) {
  std::memset(r, 0, 4 * sizeof(uint32_t));
  if (leaf == 0) {
    r[0] = g_cpu->maxLeaf;
    std::memcpy(&r[1], g_cpu->vendor, 4);
    std::memcpy(&r[3], g_cpu->vendor + 4, 4);
    std::memcpy(&r[2], g_cpu->vendor + 8, 4);
  } else if (leaf == 1) {
    r[0] = g_cpu->eax1;
    r[2] = g_cpu->ecx1;
    r[3] = g_cpu->edx1;
  } else if (leaf == 7) {
    r[1] = g_cpu->ebx7;
  }
}
void FakeXgetbv(uint32_t, uint32_t* lo, uint32_t* hi) {
  ++g_cpu->xgetbvCalls;
  *lo = g_cpu->xcr0;
  *hi = 0;
}

constexpr uint32_t kMmx = 1u << 23, kCmov = 1u << 15, kSse2 = 1u << 26;  // EDX
constexpr uint32_t kSse41 = 1u << 19, kXsave = 1u << 27, kAvx = 1u << 28;  // ECX
constexpr uint32_t kBase = kMmx | kCmov | kSse2;
constexpr uint32_t kAvx2 = 1u << 5;  // leaf 7 EBX

uint32_t Signature(int baseFamily, int extFamily, int baseModel, int extModel) {
  return static_cast<uint32_t>(baseFamily << 8 | extFamily << 20 | baseModel << 4 | extModel << 16);
}

TEST(HevcCpuFlags, WordFromTheProcessor) {
  struct Case {
    const char* name;
    FakeCpu cpu;
    int32_t word;
  };
  const uint32_t haswell = Signature(6, 0, 0xC, 3);
  const Case cases[] = {
      {"no CPUID", {false, 0xD, "GenuineIntel", haswell, kSse41, kBase, 6}, 0},
      {"highest leaf 0", {true, 0, "GenuineIntel", haswell, kSse41, kBase, 6}, 0},
      {"no MMX", {true, 0xD, "GenuineIntel", haswell, kSse41, kCmov | kSse2, 6}, 0},
      {"MMX without CMOV stops there", {true, 0xD, "AuthenticAMD", haswell, kSse41, kMmx | kSse2, 6}, 0x2},
      {"SSE2 without SSE4.1", {true, 0xD, "AuthenticAMD", haswell, 0, kBase, 6}, 0x13},
      {"SSE4.1", {true, 0xD, "GenuineIntel", haswell, kSse41, kBase, 6}, 0x93},
      {"AVX", {true, 0xD, "GenuineIntel", haswell, kSse41 | kXsave | kAvx, kBase, 6}, 0x493},
      {"AVX the system does not save", {true, 0xD, "GenuineIntel", haswell, kSse41 | kXsave | kAvx, kBase, 2},
       0x93},
      {"AVX without XSAVE", {true, 0xD, "GenuineIntel", haswell, kSse41 | kAvx, kBase, 6}, 0x93},
      {"AVX2", {true, 0xD, "GenuineIntel", haswell, kSse41 | kXsave | kAvx, kBase, 6, 0, kAvx2}, 0xC93},
      {"AVX2 the system does not save", {true, 0xD, "GenuineIntel", haswell, kSse41 | kXsave | kAvx, kBase, 2, 0, kAvx2},
       0x93},
      {"AVX2 past the highest leaf", {true, 6, "GenuineIntel", haswell, kSse41 | kXsave | kAvx, kBase, 6, 0, kAvx2},
       0x493},
      {"Intel family 6 model 9", {true, 2, "GenuineIntel", Signature(6, 0, 9, 0), 0, kBase, 0}, 0x3},
      {"Intel family 6 model 13", {true, 2, "GenuineIntel", Signature(6, 0, 13, 0), 0, kBase, 0}, 0x3},
      {"Intel family 6 model 14 keeps SSE4.1", {true, 2, "GenuineIntel", Signature(6, 0, 14, 0), kSse41, kBase, 0},
       0x83},
      {"Intel family 6 model 15", {true, 2, "GenuineIntel", Signature(6, 0, 15, 0), 0, kBase, 0}, 0x13},
      {"Intel family 6 model 30 (extended model 1)", {true, 2, "GenuineIntel", Signature(6, 0, 14, 1), 0, kBase, 0},
       0x13},
      {"family 15 + 6 with model 14 is not family 6",
       {true, 2, "GenuineIntel", Signature(15, 0, 14, 0), 0, kBase, 0}, 0x13},
      {"another vendor's family 6 model 14", {true, 2, "AuthenticAMD", Signature(6, 0, 14, 0), 0, kBase, 0}, 0x13},
  };
  const HevcCpuProbe probe{&FakeToggle, &FakeCpuid, &FakeXgetbv};
  for (const auto& c : cases) {
    FakeCpu cpu = c.cpu;
    g_cpu = &cpu;
    EXPECT_EQ(HevcCpuDetectWith(probe), c.word) << c.name;
    if (!((c.cpu.ecx1 & kXsave) && (c.cpu.ecx1 & kAvx))) {
      EXPECT_EQ(cpu.xgetbvCalls, 0) << c.name;
    }
  }
  g_cpu = nullptr;
}

// ------------------------------------------------------------- installers
// the feature bit that allows a vector kernel in each slot; 0: none may
int32_t AllowedBits(int slot) {
  if (slot <= 1) return kCpuSse41;
  if (slot >= 2 && slot <= 5) return 0;
  if (slot == 13 || slot == 14) return kCpuSse41 | kCpuAvx2;
  if (slot >= 6 && slot <= 23) return kCpuSse41;
  if (slot >= 24 && slot <= 26) return 0;
  if (slot >= 27 && slot <= 50) return kCpuSse41;
  if (slot >= 51 && slot <= 54) return 0;
  if (slot >= 55 && slot <= 120) return kCpuSse41;
  if (slot == 123 || slot == 124) return kCpuSse2;
  if (slot == 128 || slot == 130) return kCpuSse2 | kCpuAvx;
  if (slot == 129) return kCpuSse2;
  return 0;  // 121, 122, 125, 126, 127
}

HevcDspTable Plain() {
  HevcDspTable t;
  HevcInstallPlain(&t);
  return t;
}
HevcDspTable WithWord(int32_t word) {
  HevcDspTable t = Plain();
  HevcInstallSimd(&t, word);
  return t;
}

TEST(HevcKernels, InstallersReplaceOnlyTheirSlots) {
  const HevcDspTable plain = Plain();
  for (int32_t word : {0, 0x2, 0x3, 0x13, 0x83, 0x93, 0x493, 0x403, 0xC93, 0x813}) {
    const HevcDspTable t = WithWord(word);
    for (int s = 0; s < 131; ++s)
      if (t.slot[s] != plain.slot[s]) {
        EXPECT_TRUE(AllowedBits(s) & word) << "word " << word << " slot " << s;
      }
  }
  const HevcDspTable sse2 = WithWord(0x13), avx = WithWord(0x493);
  for (int s : {128, 129, 130}) EXPECT_NE(sse2.slot[s], plain.slot[s]) << "SSE2 slot " << s;
  EXPECT_NE(avx.slot[128], sse2.slot[128]);
  EXPECT_NE(avx.slot[130], sse2.slot[130]);
  EXPECT_EQ(avx.slot[129], sse2.slot[129]) << "slot 129 keeps the SSE2 copy";
  // the AVX2 transforms replace the SSE4.1 ones, and need them
  const HevcDspTable avx2 = WithWord(0xC93);
  for (int s : {13, 14}) {
    EXPECT_NE(avx2.slot[s], avx.slot[s]) << "AVX2 slot " << s;
    EXPECT_EQ(WithWord(0x813).slot[s], plain.slot[s]) << "AVX2 without SSE4.1, slot " << s;
  }
  // an Intel family 6 model 14 word has no SSE2 bit: no SSE2 kernel
  const HevcDspTable noSse2 = WithWord(0x3);
  EXPECT_EQ(std::memcmp(&noSse2, &plain, sizeof plain), 0);
  // the vector set shares kernels as the plain set does
  const HevcDspTable v = WithWord(0x93);
  EXPECT_EQ(v.slot[kSlotMcChroma14], v.slot[kSlotMcLuma14]);
  EXPECT_EQ(v.slot[kSlotWeightedUniC], v.slot[kSlotWeightedUniY]);
  EXPECT_EQ(v.slot[kSlotWeightedBiC], v.slot[kSlotWeightedBiY]);
}

TEST(HevcKernels, CreateInstallsByTheMachineWord) {
  HevcDspTable t;
  int32_t flags = -1;
  HevcInstallKernels(&t, &flags, 1);
  EXPECT_EQ(flags, HevcCpuDetect());
#if defined(VELMORA_PLAIN_KERNELS)
  const HevcDspTable want = Plain();
#else
  const HevcDspTable want = WithWord(flags);
#endif
  EXPECT_EQ(std::memcmp(&t, &want, sizeof t), 0);
}

// --------------------------------------------------------------- twin test
std::mt19937 g_rng(20261210);
int Rand(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(g_rng); }

// sample content: random, all 0, all 255, a 0/255 checkerboard (the widest
// intermediates), random extremes
enum Content { kRandom, kZero, kFull, kChecker, kExtremes, kContents };
void Fill(uint8_t* p, size_t n, int stride, Content c) {
  for (size_t i = 0; i < n; ++i) {
    const size_t x = i % static_cast<size_t>(stride), y = i / static_cast<size_t>(stride);
    switch (c) {
      case kRandom: p[i] = static_cast<uint8_t>(Rand(0, 255)); break;
      case kZero: p[i] = 0; break;
      case kFull: p[i] = 255; break;
      case kChecker: p[i] = ((x + y) & 1) ? 255 : 0; break;
      default: p[i] = Rand(0, 1) ? 255 : 0; break;
    }
  }
}

constexpr uint8_t kGuard = 0xA5;
constexpr int16_t kGuard16 = 0x5A5A;

// A source plane with wide margins, the block at (kMargin, kMargin).
constexpr int kSrcStride = 256, kSrcRows = 200, kMargin = 80;
struct Source {
  std::vector<uint8_t> buf = std::vector<uint8_t>(kSrcStride * kSrcRows);
  const uint8_t* At() const { return buf.data() + kMargin * kSrcStride + kMargin; }
};

// Destination planes: plain and vector, guard-filled, the block at (8, 4).
template <typename T>
struct Dest {
  static constexpr int kStride = 80, kRows = 72;
  std::vector<T> a, b;
  explicit Dest(T guard) : a(kStride * kRows, guard), b(kStride * kRows, guard) {}
  T* A() { return a.data() + 4 * kStride + 8; }
  T* B() { return b.data() + 4 * kStride + 8; }
};

// Compares the two outputs whole; outside the w x h block both must still
// hold the guard.
template <typename T>
::testing::AssertionResult SameAndContained(const Dest<T>& d, int w, int h, T guard, const std::string& what) {
  for (int y = 0; y < Dest<T>::kRows; ++y)
    for (int x = 0; x < Dest<T>::kStride; ++x) {
      const size_t i = static_cast<size_t>(y) * Dest<T>::kStride + x;
      const bool inside = y >= 4 && y < 4 + h && x >= 8 && x < 8 + w;
      if (d.a[i] != d.b[i])
        return ::testing::AssertionFailure() << what << ": differs at block (" << x - 8 << "," << y - 4
                                             << ") plain " << int(d.a[i]) << " vector " << int(d.b[i]);
      if (!inside && d.b[i] != guard)
        return ::testing::AssertionFailure() << what << ": written outside the block at (" << x - 8 << ","
                                             << y - 4 << ")";
    }
  return ::testing::AssertionSuccess();
}

// Whole buffers compared, the first difference named (not the buffers).
template <typename T>
::testing::AssertionResult SameBytes(const std::vector<T>& a, const std::vector<T>& b) {
  for (size_t i = 0; i < a.size() && i < b.size(); ++i)
    if (a[i] != b[i])
      return ::testing::AssertionFailure() << "differs at byte " << i << ": plain " << int(a[i]) << " vector "
                                           << int(b[i]);
  if (a.size() != b.size()) return ::testing::AssertionFailure() << "sizes differ";
  return ::testing::AssertionSuccess();
}

std::string Name(int slot, int w, int h, int extra = -1) {
  std::string s = "slot " + std::to_string(slot) + " " + std::to_string(w) + "x" + std::to_string(h);
  if (extra >= 0) s += " arg " + std::to_string(extra);
  return s;
}

const int kLumaW[] = {4, 8, 12, 16, 24, 32, 48, 64};
const int kLumaH[] = {4, 8, 12, 16, 32, 64};
const int kChromaW[] = {2, 4, 6, 8, 12, 16, 24, 32};
const int kChromaH[] = {2, 4, 6, 8, 16, 32};

// The l0 intermediate of a bi-prediction: stride 64, the 14-bit range with
// the two-dimensional offset either way, plus extremes.
void FillIntermediate(std::vector<int16_t>& l0, Content c) {
  for (auto& v : l0)
    v = static_cast<int16_t>(c == kZero ? -8192 - 6120 : c == kFull ? 22440 : Rand(-8192 - 6120, 22440));
}

using Checker = std::function<void(const HevcDspTable& plain, const HevcDspTable& vec, int slot)>;

void CheckMc(const HevcDspTable& p, const HevcDspTable& v, int slot) {
  Source src;
  std::vector<int16_t> l0(64 * 64);
  const bool luma = (slot >= 55 && slot <= 70) || (slot >= 75 && slot <= 106);
  const int* ws = luma ? kLumaW : kChromaW;
  const int* hs = luma ? kLumaH : kChromaH;
  const int nw = 8, nh = 6;
  for (int c = 0; c < kContents; ++c) {
    Fill(src.buf.data(), src.buf.size(), kSrcStride, static_cast<Content>(c));
    FillIntermediate(l0, static_cast<Content>(c));
    for (int wi = 0; wi < nw; ++wi)
      for (int hi = 0; hi < nh; ++hi) {
        const int w = ws[wi], h = hs[hi];
        if (c != kRandom && (wi + hi) % 2) continue;  // extremes on half the sizes
        const int fx = Rand(1, 7), fy = Rand(1, 7), flag = Rand(0, 1);
        const std::string what = Name(slot, w, h) + " content " + std::to_string(c);
        const uint8_t* s = src.At();
        if ((slot >= 55 && slot <= 74) || (slot >= 91 && slot <= 106) || (slot >= 111 && slot <= 114)) {
          Dest<uint8_t> d(kGuard);
          auto run = [&](const HevcDspTable& t, uint8_t* dst) {
            const int k = slot;
            if (k >= 55 && k <= 71) {
              Kernel<McUniFn>(t, k)(dst, Dest<uint8_t>::kStride, s, kSrcStride, w, h);
            } else if (k == 72 || k == 73) {
              Kernel<McUni1Fn>(t, k)(dst, Dest<uint8_t>::kStride, s, kSrcStride, w, h, k == 72 ? fx : fy);
            } else if (k == 74) {
              Kernel<McUni2Fn>(t, k)(dst, Dest<uint8_t>::kStride, s, kSrcStride, w, h, fx, fy);
            } else if (k >= 91 && k <= 106) {
              Kernel<McLumaBiFn>(t, k)(dst, Dest<uint8_t>::kStride, s, kSrcStride, l0.data(), w, h, flag);
            } else if (k == 111) {
              Kernel<McChromaBiFn>(t, k)(dst, Dest<uint8_t>::kStride, s, kSrcStride, l0.data(), w, h);
            } else if (k == 112 || k == 113) {
              Kernel<McChromaBi1Fn>(t, k)(dst, Dest<uint8_t>::kStride, s, kSrcStride, l0.data(), w, h,
                                          k == 112 ? fx : fy);
            } else {
              Kernel<McChromaBi2Fn>(t, k)(dst, Dest<uint8_t>::kStride, s, kSrcStride, l0.data(), w, h, fx, fy);
            }
          };
          run(p, d.A());
          run(v, d.B());
          ASSERT_TRUE(SameAndContained(d, w, h, kGuard, what));
        } else {
          // intermediates, at the decoder's stride of 64 inside a wider guard plane
          Dest<int16_t> d(kGuard16);
          auto run = [&](const HevcDspTable& t, int16_t* dst) {
            const int k = slot;
            if (k >= 75 && k <= 90)
              Kernel<Mc14Fn>(t, k)(dst, Dest<int16_t>::kStride, s, kSrcStride, w, h);
            else if (k == 107)
              Kernel<Mc14Fn>(t, k)(dst, Dest<int16_t>::kStride, s, kSrcStride, w, h);
            else if (k == 108 || k == 109)
              Kernel<Mc14_1Fn>(t, k)(dst, Dest<int16_t>::kStride, s, kSrcStride, w, h, k == 108 ? fx : fy);
            else
              Kernel<Mc14_2Fn>(t, k)(dst, Dest<int16_t>::kStride, s, kSrcStride, w, h, fx, fy);
          };
          run(p, d.A());
          run(v, d.B());
          ASSERT_TRUE(SameAndContained(d, w, h, kGuard16, what));
        }
      }
  }
  if (slot == kSlotMcLumaUni || slot == kSlotMcChromaUni) {
    // the copy with overlapping rows (a picture standing in as its own reference)
    for (int w : {8, 16, 32, 64})
      for (int shift : {0, 1, 3, -5}) {
        Source a, b;
        Fill(a.buf.data(), a.buf.size(), kSrcStride, kRandom);
        b = a;
        uint8_t* pa = a.buf.data() + kMargin * kSrcStride + kMargin;
        uint8_t* pb = b.buf.data() + kMargin * kSrcStride + kMargin;
        Kernel<McUniFn>(p, slot)(pa + shift, kSrcStride, pa, kSrcStride, w, 16);
        Kernel<McUniFn>(v, slot)(pb + shift, kSrcStride, pb, kSrcStride, w, 16);
        ASSERT_TRUE(SameBytes(a.buf, b.buf)) << Name(slot, w, 16, shift) << " overlapping";
      }
  }
}

void CheckWeighted(const HevcDspTable& p, const HevcDspTable& v, int slot) {
  std::vector<int16_t> s0(64 * 64), s1(64 * 64);
  const bool bi = slot == kSlotWeightedBiY || slot == kSlotWeightedBiC;
  for (int round = 0; round < 400; ++round) {
    const int w = round % 3 == 0 ? kChromaW[Rand(0, 7)] : kLumaW[Rand(0, 7)];
    const int h = kLumaH[Rand(0, 5)];
    const int extreme = round % 4;
    for (size_t i = 0; i < s0.size(); ++i) {
      s0[i] = static_cast<int16_t>(extreme == 1 ? -14312 : extreme == 2 ? 22440 : Rand(-14312, 22440));
      s1[i] = static_cast<int16_t>(extreme == 1 ? 22440 : extreme == 2 ? -14312 : Rand(-14312, 22440));
    }
    const int denom = Rand(0, 7);
    const int w0 = (1 << denom) + (extreme == 3 ? (Rand(0, 1) ? 127 : -128) : Rand(-128, 127));
    const int w1 = (1 << denom) + Rand(-128, 127);
    const int o0 = Rand(-128, 127), o1 = Rand(-128, 127);
    const int f0 = Rand(0, 1), f1 = Rand(0, 1);
    Dest<uint8_t> d(kGuard);
    if (bi) {
      Kernel<WeightedBiFn>(p, slot)(denom, w0, w1, o0, o1, d.A(), Dest<uint8_t>::kStride, s0.data(), s1.data(),
                                    64, w, h, f0, f1);
      Kernel<WeightedBiFn>(v, slot)(denom, w0, w1, o0, o1, d.B(), Dest<uint8_t>::kStride, s0.data(), s1.data(),
                                    64, w, h, f0, f1);
    } else {
      Kernel<WeightedUniFn>(p, slot)(denom, w0, o0, d.A(), Dest<uint8_t>::kStride, s0.data(), 64, w, h, f0);
      Kernel<WeightedUniFn>(v, slot)(denom, w0, o0, d.B(), Dest<uint8_t>::kStride, s0.data(), 64, w, h, f0);
    }
    ASSERT_TRUE(SameAndContained(d, w, h, kGuard, Name(slot, w, h, denom)));
  }
}

void CheckCopyRows(const HevcDspTable& p, const HevcDspTable& v, int slot) {
  for (int round = 0; round < 200; ++round) {
    const int width = round < 70 ? round + 1 : Rand(1, 200), rows = Rand(1, 9), stride = 224;
    std::vector<uint8_t> src(stride * 12), a(stride * 12, kGuard), b(stride * 12, kGuard);
    Fill(src.data(), src.size(), stride, kRandom);
    const int at = stride + Rand(0, 16);
    Kernel<CopyRowsFn>(p, slot)(src.data() + at, a.data() + at, width, rows, stride);
    Kernel<CopyRowsFn>(v, slot)(src.data() + at, b.data() + at, width, rows, stride);
    ASSERT_TRUE(SameBytes(a, b)) << Name(slot, width, rows);
  }
}

void CheckBorder(const HevcDspTable& p, const HevcDspTable& v, int slot) {
  for (int round = 0; round < 40; ++round) {
    const int width = Rand(1, 130), height = Rand(1, 40), padX = Rand(1, 70), padY = Rand(1, 20);
    const int stride = width + 2 * padX + Rand(0, 20), rows = height + 2 * padY + 2;
    std::vector<uint8_t> a(static_cast<size_t>(stride) * rows);
    Fill(a.data(), a.size(), stride, kRandom);
    std::vector<uint8_t> b = a;
    const size_t at = static_cast<size_t>(padY + 1) * stride + padX;
    const int sidesDone = round % 2;
    Kernel<BorderFn>(p, slot)(sidesDone, a.data() + at, width, height, stride, padX, padY);
    Kernel<BorderFn>(v, slot)(sidesDone, b.data() + at, width, height, stride, padX, padY);
    ASSERT_TRUE(SameBytes(a, b)) << Name(slot, width, height, sidesDone);
  }
}

// Coefficient blocks as the residual decoder leaves them: nonzero values in
// the first rows and columns only, columns from numCols on zero, rows from
// numRows on left over from earlier blocks (never read); small, large and
// saturating values, and lone DC levels.
void CheckTransform(const HevcDspTable& p, const HevcDspTable& v, int slot) {
  const int log2 = slot == kSlotDst4 || slot == kSlotTransformSkip ? 2 : slot - kSlotDct + 2;
  const int n = 1 << log2;
  for (int round = 0; round < 360; ++round) {
    const int kind = round % 6;
    const int numCols = slot >= kSlotDct + 2 && slot <= kSlotDct + 3 ? 4 * Rand(1, n / 4) : n;
    const int rows = slot == kSlotTransformSkip ? n : kind == 5 ? 1 : Rand(1, n);
    std::vector<int16_t> coeff(n * n, 0);
    for (int y = 0; y < n; ++y)
      for (int x = 0; x < n; ++x) {
        int c = kind == 0 ? Rand(-3, 3) : kind == 1 ? Rand(-300, 300) : kind == 2 ? Rand(-32768, 32767)
              : kind == 3 ? (Rand(0, 1) ? 32767 : -32768) : kind == 4 ? (Rand(0, 7) ? 0 : Rand(-2000, 2000))
              : x == 0 ? (Rand(0, 1) ? Rand(-40, 40) : Rand(-32768, 32767)) : 0;
        if (y >= rows) c = Rand(-32768, 32767);
        else if (x >= numCols) c = 0;
        coeff[y * n + x] = static_cast<int16_t>(c);
      }
    std::vector<int16_t> c2 = coeff;
    Dest<uint8_t> d(kGuard);
    for (int y = 0; y < n; ++y)
      for (int x = 0; x < n; ++x) {
        const uint8_t px = static_cast<uint8_t>(kind == 3 ? (Rand(0, 1) ? 255 : 0) : Rand(0, 255));
        d.A()[y * Dest<uint8_t>::kStride + x] = d.B()[y * Dest<uint8_t>::kStride + x] = px;
      }
    Kernel<TransformAddFn>(p, slot)(Dest<uint8_t>::kStride, coeff.data(), d.A(), numCols, rows);
    Kernel<TransformAddFn>(v, slot)(Dest<uint8_t>::kStride, c2.data(), d.B(), numCols, rows);
    ASSERT_TRUE(SameAndContained(d, n, n, kGuard,
                                 Name(slot, n, n, numCols) + " rows " + std::to_string(rows) + " kind " +
                                     std::to_string(kind)));
  }
}

void CheckDequant(const HevcDspTable& p, const HevcDspTable& v, int slot) {
  const int n = 4 << (slot - kSlotDequantFlat);
  for (int round = 0; round < 300; ++round) {
    std::vector<int16_t> a(n * n + 16, 0x5A5A);
    const int count = round < 40 ? Rand(1, 20) : Rand(1, n * n);
    for (int i = 0; i < count; ++i)
      a[i] = static_cast<int16_t>(round % 3 ? Rand(-32768, 32767) : Rand(-40, 40));
    std::vector<int16_t> b = a;
    const int qp = Rand(0, 51), factor = round % 7 == 0 ? Rand(65536, 1 << 20) : int(Rand(40, 72)) << (qp / 6);
    Kernel<DequantFlatFn>(p, slot)(count, factor, a.data());
    Kernel<DequantFlatFn>(v, slot)(count, factor, b.data());
    ASSERT_TRUE(SameBytes(a, b)) << Name(slot, n, n, count) << " factor " << factor;
  }
}

// Edge offset from a source plane into a separate destination, every class,
// picture edges on any side, full and partial blocks, offsets up to extremes.
void CheckSaoEdge(const HevcDspTable& p, const HevcDspTable& v, int slot) {
  const int sizes[] = {4, 8, 15, 16, 17, 24, 31, 32, 56, 64};
  for (int round = 0; round < 300; ++round) {
    const int w = sizes[Rand(0, 9)], h = sizes[Rand(0, 9)];
    Source src;
    Fill(src.buf.data(), src.buf.size(), kSrcStride, static_cast<Content>(round % kContents));
    if (round % kContents == kRandom && round % 2)  // flat areas with noise: equal neighbours matter
      for (auto& b : src.buf) b = static_cast<uint8_t>(100 + Rand(0, 2));
    HevcSaoParams sao{};
    const int comp = Rand(0, 2);
    sao.aucSaoTypeIdx[comp] = 2;
    sao.aucSaoEoClass[comp] = static_cast<uint8_t>(Rand(0, 3));
    for (int k = 1; k < 5; ++k)
      sao.acSaoOffsetVal[comp][k] = static_cast<int8_t>(round % 5 == 4 ? (Rand(0, 1) ? 127 : -128) : Rand(-7, 7));
    const int32_t edges[4] = {Rand(0, 1), Rand(0, 1), Rand(0, 1), Rand(0, 1)};
    // the destination as a guard-filled plane of another stride than the source's
    constexpr int kDstStride = 168;
    std::vector<uint8_t> a(static_cast<size_t>(kDstStride) * kSrcRows, kGuard), b = a;
    const size_t at = static_cast<size_t>(kMargin) * kDstStride + kMargin;
    Kernel<SaoEdgeFn>(p, slot)(a.data() + at, src.At(), kDstStride, kSrcStride, &sao, edges, w, h, comp);
    Kernel<SaoEdgeFn>(v, slot)(b.data() + at, src.At(), kDstStride, kSrcStride, &sao, edges, w, h, comp);
    // equal whole planes: the vector kernel wrote outside the block no more than the plain one
    ASSERT_TRUE(SameBytes(a, b)) << Name(slot, w, h, sao.aucSaoEoClass[comp]) << " edges " << edges[0] << edges[1] << edges[2]
                    << edges[3];
  }
}

// Chroma edges of 8 lines: tc per half (0, negative, small, large), either
// side exempt, smooth and extreme samples across the edge.
void CheckDeblockChroma(const HevcDspTable& p, const HevcDspTable& v, int slot) {
  for (int round = 0; round < 400; ++round) {
    Source src;
    Fill(src.buf.data(), src.buf.size(), kSrcStride, static_cast<Content>(round % kContents));
    Source other = src;
    auto tcOf = [&] { const int k = Rand(0, 4); return k == 0 ? 0 : k == 1 ? -Rand(1, 3) : k == 2 ? Rand(1, 4) : Rand(5, 30); };
    const int32_t tc[2] = {tcOf(), tcOf()};
    const int32_t noP[2] = {Rand(0, 3) == 0, Rand(0, 3) == 0}, noQ[2] = {Rand(0, 3) == 0, Rand(0, 3) == 0};
    uint8_t* a = src.buf.data() + kMargin * kSrcStride + kMargin;
    uint8_t* b = other.buf.data() + kMargin * kSrcStride + kMargin;
    Kernel<DeblockChromaFn>(p, slot)(a, kSrcStride, tc, noP, noQ);
    Kernel<DeblockChromaFn>(v, slot)(b, kSrcStride, tc, noP, noQ);
    ASSERT_TRUE(SameBytes(src.buf, other.buf)) << Name(slot, 8, 8, tc[0]) << " tc1 " << tc[1] << " noP " << noP[0] << noP[1]
                                  << " noQ " << noQ[0] << noQ[1];
  }
}

// Luma edges of 8 lines: beta and tc per half, either side exempt; besides
// the usual contents, smooth ramps with a step across the edge so that the
// strong, the normal and the one-sided filters all run.
void CheckDeblockLuma(const HevcDspTable& p, const HevcDspTable& v, int slot) {
  const bool vertical = slot == kSlotDeblockLumaV;
  int filtered = 0;
  for (int round = 0; round < 1500; ++round) {
    Source src;
    const int content = round % (kContents + 2);
    uint8_t* a = src.buf.data() + kMargin * kSrcStride + kMargin;
    if (content < kContents) {
      Fill(src.buf.data(), src.buf.size(), kSrcStride, static_cast<Content>(content));
    } else {
      Fill(src.buf.data(), src.buf.size(), kSrcStride, kRandom);
      const int base = Rand(0, 255), slope = Rand(-3, 3), step = Rand(-40, 40), noise = content == kContents ? 0 : 2;
      for (int l = 0; l < 8; ++l)
        for (int i = -4; i < 4; ++i) {
          const int val = base + slope * i + (i >= 0 ? step : 0) + Rand(-noise, noise);
          a[vertical ? l * kSrcStride + i : i * kSrcStride + l] = static_cast<uint8_t>(val < 0 ? 0 : val > 255 ? 255 : val);
        }
    }
    Source other = src;
    uint8_t* b = other.buf.data() + kMargin * kSrcStride + kMargin;
    auto tcOf = [&] { const int k = Rand(0, 5); return k == 0 ? 0 : k == 1 ? -Rand(1, 3) : k <= 3 ? Rand(1, 6) : Rand(7, 24); };
    const int32_t tc[2] = {tcOf(), tcOf()};
    const int32_t beta[2] = {Rand(0, 1) ? Rand(0, 20) : Rand(21, 64), Rand(0, 1) ? Rand(0, 20) : Rand(21, 64)};
    const int32_t noP[2] = {Rand(0, 3) == 0, Rand(0, 3) == 0}, noQ[2] = {Rand(0, 3) == 0, Rand(0, 3) == 0};
    const Source before = src;
    Kernel<DeblockLumaFn>(p, slot)(a, kSrcStride, beta, tc, noP, noQ);
    Kernel<DeblockLumaFn>(v, slot)(b, kSrcStride, beta, tc, noP, noQ);
    filtered += src.buf != before.buf;
    ASSERT_TRUE(SameBytes(src.buf, other.buf)) << Name(slot, 8, 8, tc[0]) << " tc1 " << tc[1] << " beta " << beta[0]
                                                << "," << beta[1] << " noP " << noP[0] << noP[1] << " noQ " << noQ[0]
                                                << noQ[1];
  }
  EXPECT_GT(filtered, 300) << "too few edges filtered to compare";
}

// Intra predictors of every size: planar, the general angular slots with
// each of their modes, the fixed-mode slots; luma and chroma (the luma
// boundary filters), random and extreme references.
void CheckIntra(const HevcDspTable& p, const HevcDspTable& v, int slot) {
  const int n = 4 << ((slot - kSlotPlanar) % 4);
  const int group = (slot - kSlotPlanar) / 4;  // 0 planar, 1 angular, 3.. fixed modes
  std::vector<int> modes = {0};
  if (group == 1) modes.clear();
  if (group == 1)
    for (int m = 3; m <= 33; ++m)
      if (m != 10 && m != 18 && m != 26) modes.push_back(m);
  for (int round = 0; round < 40; ++round)
    for (int mode : modes)
      for (int comp = 0; comp < 2; ++comp) {
        std::vector<uint8_t> topBuf(2 * n + 1), leftBuf(2 * n + 1);
        const Content c = static_cast<Content>(round % kContents);
        Fill(topBuf.data(), topBuf.size(), 1 << 20, c);
        Fill(leftBuf.data(), leftBuf.size(), 1 << 20, c);
        leftBuf[0] = topBuf[0];  // one corner sample
        std::vector<uint8_t> top2 = topBuf, left2 = leftBuf;
        Dest<uint8_t> d(kGuard);
        if (group == 0) {
          Kernel<PredPlanarFn>(p, slot)(topBuf.data() + 1, leftBuf.data() + 1, Dest<uint8_t>::kStride, d.A());
          Kernel<PredPlanarFn>(v, slot)(top2.data() + 1, left2.data() + 1, Dest<uint8_t>::kStride, d.B());
        } else if (group == 1) {
          Kernel<PredAngularFn>(p, slot)(comp, mode, topBuf.data() + 1, leftBuf.data() + 1, Dest<uint8_t>::kStride,
                                         d.A());
          Kernel<PredAngularFn>(v, slot)(comp, mode, top2.data() + 1, left2.data() + 1, Dest<uint8_t>::kStride,
                                         d.B());
        } else {  // the fixed modes and DC
          Kernel<PredModeFn>(p, slot)(comp, topBuf.data() + 1, leftBuf.data() + 1, Dest<uint8_t>::kStride, d.A());
          Kernel<PredModeFn>(v, slot)(comp, top2.data() + 1, left2.data() + 1, Dest<uint8_t>::kStride, d.B());
        }
        ASSERT_TRUE(SameAndContained(d, n, n, kGuard, Name(slot, n, n, mode))) << "comp " << comp;
        ASSERT_TRUE(SameBytes(topBuf, top2) && SameBytes(leftBuf, left2)) << Name(slot, n, n, mode);
      }
}

// Reference smoothing in place, both sides and the corner: the [1 2 1]
// filter and, for 32x32, the strong one (flat references so that it runs).
void CheckSmooth(const HevcDspTable& p, const HevcDspTable& v, int slot) {
  const int n = 1 << (slot - kSlotSmooth);
  for (int round = 0; round < 300; ++round) {
    std::vector<uint8_t> topBuf(2 * n + 1), leftBuf(2 * n + 1);
    if (round % 3 == 2) {
      const int a = Rand(0, 255), b = Rand(0, 255), c = Rand(0, 255);
      for (int i = 0; i <= 2 * n; ++i) {
        topBuf[i] = static_cast<uint8_t>(a + (b - a) * i / (2 * n) + Rand(0, 1));
        leftBuf[i] = static_cast<uint8_t>(a + (c - a) * i / (2 * n) + Rand(0, 1));
      }
    } else {
      const Content c = static_cast<Content>(round % kContents);
      Fill(topBuf.data(), topBuf.size(), 1 << 20, c);
      Fill(leftBuf.data(), leftBuf.size(), 1 << 20, c);
    }
    leftBuf[0] = topBuf[0];
    std::vector<uint8_t> top2 = topBuf, left2 = leftBuf;
    const int strong = Rand(0, 1);
    Kernel<SmoothFn>(p, slot)(strong, 0, leftBuf.data() + 1, topBuf.data() + 1);
    Kernel<SmoothFn>(v, slot)(strong, 0, left2.data() + 1, top2.data() + 1);
    ASSERT_TRUE(SameBytes(topBuf, top2)) << Name(slot, n, n, strong) << " top";
    ASSERT_TRUE(SameBytes(leftBuf, left2)) << Name(slot, n, n, strong) << " left";
  }
}

// Band offset in place: every band position (wrapping past band 31), full
// and partial rows, offsets up to extremes.
void CheckSaoBand(const HevcDspTable& p, const HevcDspTable& v, int slot) {
  const int sizes[] = {4, 8, 15, 16, 17, 24, 31, 32, 56, 64};
  for (int round = 0; round < 300; ++round) {
    const int w = sizes[Rand(0, 9)], h = sizes[Rand(0, 9)];
    Source a;
    Fill(a.buf.data(), a.buf.size(), kSrcStride, static_cast<Content>(round % kContents));
    Source b = a;
    HevcSaoParams sao{};
    const int comp = Rand(0, 2);
    sao.aucSaoTypeIdx[comp] = 1;
    sao.aucSaoBandPosition[comp] = static_cast<uint8_t>(round < 32 ? round : Rand(0, 31));
    for (int k = 1; k < 5; ++k)
      sao.acSaoOffsetVal[comp][k] = static_cast<int8_t>(round % 5 == 4 ? (Rand(0, 1) ? 127 : -128) : Rand(-7, 7));
    const size_t at = static_cast<size_t>(kMargin) * kSrcStride + kMargin;
    Kernel<SaoBandFn>(p, slot)(a.buf.data() + at, kSrcStride, &sao, w, h, comp);
    Kernel<SaoBandFn>(v, slot)(b.buf.data() + at, kSrcStride, &sao, w, h, comp);
    ASSERT_TRUE(SameBytes(a.buf, b.buf)) << Name(slot, w, h, sao.aucSaoBandPosition[comp]);
  }
}

Checker CheckerFor(int slot) {
  if (slot == kSlotSaoBand) return &CheckSaoBand;
  if (slot == kSlotDeblockChromaV || slot == kSlotDeblockChromaH) return &CheckDeblockChroma;
  if (slot == kSlotDeblockLumaV || slot == kSlotDeblockLumaH) return &CheckDeblockLuma;
  if (slot >= kSlotPlanar && slot < kSlotMode18 + 4) return &CheckIntra;
  if (slot >= kSlotSmooth + 3 && slot <= kSlotSmooth + 5) return &CheckSmooth;
  if (slot == kSlotSaoEdge) return &CheckSaoEdge;
  if (slot >= kSlotDequantFlat && slot < kSlotDequantFlat + 4) return &CheckDequant;
  if (slot >= kSlotDst4 && slot <= kSlotTransformSkip) return &CheckTransform;
  if (slot >= 55 && slot <= 114) return &CheckMc;
  if (slot >= 115 && slot <= 118) return &CheckWeighted;
  if (slot == 128 || slot == 129) return &CheckCopyRows;
  if (slot == 130) return &CheckBorder;
  return nullptr;
}

// Every vector kernel of every variant this machine runs, against its plain twin.
TEST(HevcKernels, VectorTwinsEqualPlain) {
  const int32_t machine = HevcCpuDetect();
  const HevcDspTable plain = Plain();
  int variants = 0;
  std::vector<HevcKernel> checked;  // a kernel shared by slots or words is checked once
  for (int32_t word : {0x13, 0x93, 0x493, 0xC93}) {
    if ((machine & word) != word) continue;
    ++variants;
    const HevcDspTable vec = WithWord(word);
    for (int s = 0; s < 131; ++s) {
      if (vec.slot[s] == plain.slot[s]) continue;
      bool seen = false;
      for (HevcKernel k : checked) seen |= k == vec.slot[s];
      if (seen) continue;
      checked.push_back(vec.slot[s]);
      const Checker check = CheckerFor(s);
      ASSERT_TRUE(check) << "no twin check for slot " << s;
      SCOPED_TRACE("word " + std::to_string(word) + " slot " + std::to_string(s));
      // each check draws its own sequence, whatever the checks before it drew
      g_rng.seed(20261210u + static_cast<unsigned>(s));
      check(plain, vec, s);
      if (HasFatalFailure()) return;
    }
  }
  if (!variants) GTEST_SKIP() << "no vector variant on this processor";
}

#if defined(__x86_64__) || defined(__i386__)
// The 8x8 byte transpose of the angular twins, between unlike strides: every
// byte lands at its mirrored place and nothing around the block is written.
TEST(HevcKernels, Transpose8x8Bytes) {
  if (!(HevcCpuDetect() & 0x80)) GTEST_SKIP() << "no SSE4.1";
  for (const auto& [srcStride, dstStride] : {std::pair{8, 8}, {13, 40}, {64, 9}}) {
    std::vector<uint8_t> src(static_cast<size_t>(8 * srcStride));
    std::vector<uint8_t> dst(static_cast<size_t>(10 * dstStride + 16), 0xA5);
    for (auto& b : src) b = static_cast<uint8_t>(Rand(0, 255));
    const size_t at = static_cast<size_t>(dstStride) + 4;
    std::vector<uint8_t> want = dst;
    for (int r = 0; r < 8; ++r)
      for (int c = 0; c < 8; ++c)
        want[at + static_cast<size_t>(c * dstStride + r)] = src[static_cast<size_t>(r * srcStride + c)];
    HevcTranspose8x8Bytes(src.data(), srcStride, dst.data() + at, dstStride);
    EXPECT_TRUE(dst == want) << srcStride << " " << dstStride;
  }
}
#endif

}  // namespace
}  // namespace hevc_test
