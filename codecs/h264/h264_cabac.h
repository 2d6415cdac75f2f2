// The CABAC arithmetic decoder (clause 9.3.3.2) with a scaled 64-bit range:
// the range is codIRange << k (2^24 <= range < 2^56 between bins), and the
// offset holds every slice data bit up to the reader's position, so the
// engine takes four bytes at a time and only when the range falls below
// 2^24; no bin shifts the range or the offset back into nine bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "codecs/h264/h264_bitreader.h"
#include "codecs/h264/h264_internal.h"

extern const int8_t kH264CabacInitI[460][2];
extern const int8_t kH264CabacInitPB[3][460][2];
extern const uint8_t kH264CabacRangeLps[64][4];
extern const uint8_t kH264CabacTransIdx[64][2];  // transIdxLPS, transIdxMPS
extern const uint8_t kH264CabacSig8x8[63][3];    // significance frame, field; last

// The tables by combined state s = pStateIdx << 1 | valMPS: rangeTabLPS of
// qCodIRangeIdx q in bits 8q..8q+7 (one load that does not wait for the
// range), and the next state by (s << 1 | bin was the LPS).
struct H264CabacStateTables {
  uint32_t lps[128];
  uint8_t next[256];
  // 8x8 significance maps, frame and field: the significance context and
  // 15 + the last context of each position, both from the frame or field
  // significance base (the last base lies 15 above it). Position 63 holds
  // zeros: the map loop loads it ahead and never uses it.
  uint8_t sig8x8[2][64][2];
};

// a when cond is not zero, else b: a conditional move, never a branch.
inline uint32_t H264CabacPick(uint32_t cond, uint32_t a, uint32_t b) {
#if defined(__x86_64__) && defined(__GNUC__)
  asm("test %[c], %[c]\n\t"
      "cmovnz %[a], %[b]"
      : [b] "+r"(b)
      : [c] "r"(cond), [a] "r"(a)
      : "cc");
  return b;
#else
  return b ^ ((a ^ b) & (0u - (cond != 0)));
#endif
}
extern const H264CabacStateTables kH264CabacStates;

// Zeroes n bytes (a multiple of 16) with vector stores. A memset of this
// size becomes a string store, which first waits for the older stores to
// drain (the motion record's and the samples' among them).
template <size_t N>
[[gnu::always_inline]] inline void H264CabacZero(void* p) {
  static_assert(N % 16 == 0);
#if defined(__SSE2__)
  auto* b = static_cast<uint8_t*>(p);
#pragma GCC unroll 16
  for (size_t i = 0; i < N; i += 16) _mm_storeu_si128(reinterpret_cast<__m128i*>(b + i), _mm_setzero_si128());
#else
  std::memset(p, 0, N);
#endif
}

// The engine's state, held in locals by its users for a run of syntax
// elements (a macroblock's layer, its residual) and written back by Save.
struct H264Cabac {
  static constexpr uint64_t kRefillBelow = uint64_t{1} << 24;

  uint64_t range, offset;
  uint32_t pos, limit;  // bits of the reader
  const uint8_t* data;
  uint8_t* states;

  // Copies field by field into registers: a copy as one vector load right
  // after the fields' own stores would stall on store forwarding. The
  // fields pass through locals, so the copy itself never takes the
  // engine's address and its fields may stay in registers.
  H264Cabac(const H264Cabac& o) { CopyFrom(o); }
  H264Cabac& operator=(const H264Cabac& o) {
    CopyFrom(o);
    return *this;
  }
  void CopyFrom(const H264Cabac& o) {
    uint64_t r = o.range, f = o.offset;
    uint32_t p = o.pos, l = o.limit;
    const uint8_t* d = o.data;
    uint8_t* s = o.states;
#if defined(__GNUC__)
    asm("" : "+r"(r), "+r"(f), "+r"(p), "+r"(l), "+r"(d), "+r"(s));
#endif
    range = r;
    offset = f;
    pos = p;
    limit = l;
    data = d;
    states = s;
  }

  explicit H264Cabac(H264DecContext* ctx)
      : range(ctx->cabacRange),
        offset(ctx->cabacOffset),
        pos(ctx->br.pos),
        limit(ctx->br.limit),
        data(ctx->br.data),
        states(ctx->cabacCtx) {}
  void Save(H264DecContext* ctx) const {
    ctx->cabacRange = range;
    ctx->cabacOffset = offset;
    ctx->br.pos = pos;
  }

  // Bits of the scale k of the range.
  int Scale() const { return (__builtin_clzll(range) ^ 63) - 8; }
  // The reader's position as the nine-bit engine would have it.
  uint32_t Consumed() const { return pos - static_cast<uint32_t>(Scale()); }

  // The next four bytes of the slice data. The position stops at the
  // reader's limit (eight bytes past the unit) and the unit's guard zone of
  // zeros covers the four bytes read there.
  uint32_t Take32() {
    uint32_t v;
    std::memcpy(&v, data + (pos >> 3), sizeof v);
    pos = pos + 32 > limit ? limit : pos + 32;
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap32(v);
    return v;
  }
  void Refill() {
    range <<= 32;
    offset = (offset << 32) | Take32();
  }
  // From the reader's byte-aligned position.
  void Init(H264DecContext* ctx) {
    pos = ctx->br.pos;
    range = uint64_t{510} << 23;
    offset = Take32();
  }

  // The bin is 1 when the offset reaches the range: then the offset loses
  // the range and the range becomes `other`. Conditional moves, never a
  // branch (the bins are hard to predict), which a compiler may not keep
  // for conditionals and makes slower for masks.
  uint32_t Select(uint64_t other) {
    uint64_t rest = offset - range;
#if defined(__x86_64__) && defined(__GNUC__)
    uint32_t bin = 0;
    asm("cmp %[r], %[o]\n\t"
        "cmovae %[rest], %[o]\n\t"
        "cmovae %[other], %[r]\n\t"
        "setae %b[bin]"
        : [o] "+r"(offset), [r] "+r"(range), [bin] "+q"(bin)
        : [rest] "r"(rest), [other] "r"(other)
        : "cc");
    return bin;
#else
    uint32_t bin = offset >= range ? 1u : 0u;
    uint64_t mask = 0 - static_cast<uint64_t>(bin);
    offset ^= (offset ^ rest) & mask;
    range ^= (range ^ other) & mask;
    return bin;
#endif
  }

  // Without branches on the decoded bin, which the significance maps make
  // hard to predict.
  int Decision(int ctxIdx) {
    uint32_t s = states[ctxIdx];
    return static_cast<int>(DecideState(static_cast<uint32_t>(ctxIdx), s, kH264CabacStates.lps[s]));
  }
  // A decision on context ctxIdx whose state s and its rangeTabLPS row the
  // caller has loaded.
  uint32_t DecideState(uint32_t ctxIdx, uint32_t s, uint32_t lpsRow) { return DecideAt(states + ctxIdx, s, lpsRow); }
  // The same with the context's state at `state`.
  uint32_t DecideAt(uint8_t* state, uint32_t s, uint32_t lpsRow) {
    int k = Scale();
    uint64_t lps = static_cast<uint64_t>((lpsRow >> ((range >> (k + 3)) & 24)) & 255) << k;
    range -= lps;
    uint32_t isLps = Select(lps);
    *state = kH264CabacStates.next[2 * s + isLps];
    if (range < kRefillBelow) Refill();
    return (s ^ isLps) & 1;
  }
  // Bypass bins halve the range instead of doubling the offset.
  int Bypass() {
    range >>= 1;
    uint32_t bit = Select(range);
    if (range < kRefillBelow) Refill();
    return static_cast<int>(bit);
  }
  // n (1..16) bypass bins at once, first bin most significant: the quotient
  // of the offset by the range they leave.
  uint32_t BypassBits(int n) {
    range >>= n;
    uint64_t q = offset / range;
    offset -= q * range;
    if (range < kRefillBelow) Refill();
    return static_cast<uint32_t>(q);
  }
  int Terminate() {
    range -= uint64_t{2} << Scale();
    if (offset >= range) return 1;
    if (range < kRefillBelow) Refill();
    return 0;
  }
};

// The engine at the reader's byte-aligned position.
inline void H264CabacInitEngine(H264DecContext* ctx) {
  H264Cabac e(ctx);
  e.Init(ctx);
  e.Save(ctx);
}

// Context variables for the slice from its QP (clause 9.3.1.1).
void H264CabacInitContexts(H264DecContext* ctx);

// Residual of a macroblock (all but Intra_16x16) and of an Intra_16x16 one.
void H264CabacResidualMb(H264DecContext* ctx, H264Cabac& e);
void H264CabacResidualIntra16x16(H264DecContext* ctx, H264Cabac& e);
