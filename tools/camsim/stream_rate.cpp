#include "tools/camsim/stream_rate.h"

#include <algorithm>
#include <vector>

#include "codecs/common/bit_reader.h"

namespace camsim {
namespace {

// The payload of the first NAL unit of `type` (after its header bytes), without emulation prevention.
bool FindNal(const uint8_t* s, size_t n, bool hevc, int type, std::vector<uint8_t>* out) {
  const size_t header = hevc ? 2 : 1;
  for (size_t i = 0; i + 3 + header <= n; ++i) {
    if (s[i] != 0 || s[i + 1] != 0 || s[i + 2] != 1) continue;
    const uint8_t* u = s + i + 3;
    const int t = hevc ? (u[0] >> 1) & 0x3F : u[0] & 0x1F;
    if (t != type) continue;
    out->clear();
    int zeros = 0;
    for (size_t k = i + 3 + header; k < n; ++k) {
      if (zeros >= 2 && s[k] == 1) break;  // the next start code
      if (zeros >= 2 && s[k] == 3) {
        zeros = 0;
        continue;
      }
      zeros = s[k] == 0 ? zeros + 1 : 0;
      out->push_back(s[k]);
    }
    return true;
  }
  return false;
}

double H264Rate(const uint8_t* s, size_t n) {
  std::vector<uint8_t> p;
  if (!FindNal(s, n, false, 7, &p)) return 0;
  bits::BitReader b(p.data(), p.size());
  const uint32_t profile = b.Bits(8);
  b.Skip(16);  // constraint flags, level
  b.Ue();      // sps id
  static const uint32_t kHigh[] = {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135};
  bool high = false;
  for (uint32_t h : kHigh) high |= h == profile;
  if (high) {
    const uint32_t chroma = b.Ue();
    if (chroma == 3) b.Skip(1);
    b.Ue();
    b.Ue();
    b.Skip(1);
    if (b.Bits(1)) {
      for (int i = 0; i < (chroma != 3 ? 8 : 12) && !b.failed; ++i)
        if (b.Bits(1)) bits::SkipScalingList(&b, i < 6 ? 16 : 64);
    }
  }
  b.Ue();  // log2_max_frame_num_minus4
  const uint32_t poc = b.Ue();
  if (poc == 0) {
    b.Ue();
  } else if (poc == 1) {
    b.Skip(1);
    b.Se();
    b.Se();
    const uint32_t cycle = b.Ue();
    for (uint32_t i = 0; i < cycle && i < 256 && !b.failed; ++i) b.Se();
  }
  b.Ue();     // max_num_ref_frames
  b.Skip(1);  // gaps
  b.Ue();
  b.Ue();                     // size in macroblocks
  if (!b.Bits(1)) b.Skip(1);  // frame_mbs_only, mb_adaptive
  b.Skip(1);                  // direct_8x8
  if (b.Bits(1)) {
    b.Ue();
    b.Ue();
    b.Ue();
    b.Ue();
  }
  if (!b.Bits(1)) return 0;                       // no VUI
  if (b.Bits(1) && b.Bits(8) == 255) b.Skip(32);  // aspect ratio
  if (b.Bits(1)) b.Skip(1);                       // overscan
  if (b.Bits(1)) {                                // video signal type
    b.Skip(4);
    if (b.Bits(1)) b.Skip(24);
  }
  if (b.Bits(1)) {
    b.Ue();
    b.Ue();
  }
  if (!b.Bits(1)) return 0;  // no timing
  const uint32_t units = b.Bits(32), scale = b.Bits(32);
  if (b.failed || units == 0 || scale == 0) return 0;
  return scale / (2.0 * units);
}

// profile_tier_level(1, sub) of a VPS or SPS.
void SkipProfileTierLevel(bits::BitReader& b, uint32_t sub) {
  b.Skip(88 + 8);
  bits::SkipHevcSubLayers(&b, sub);
}

// The timing of an HEVC SPS's VUI.
double HevcSpsRate(const uint8_t* s, size_t n) {
  std::vector<uint8_t> p;
  if (!FindNal(s, n, true, 33, &p)) return 0;
  bits::BitReader b(p.data(), p.size());
  b.Skip(4);
  const uint32_t sub = b.Bits(3);
  b.Skip(1);
  if (sub > 6) return 0;
  SkipProfileTierLevel(b, sub);
  b.Ue();  // sps id
  if (b.Ue() == 3) b.Skip(1);
  b.Ue();
  b.Ue();  // size
  if (b.Bits(1)) {
    b.Ue();
    b.Ue();
    b.Ue();
    b.Ue();
  }
  b.Ue();
  b.Ue();  // bit depths
  const uint32_t poc_bits = b.Ue() + 4;
  const bool ordering = b.Bits(1);
  for (uint32_t i = ordering ? 0 : sub; i <= sub && !b.failed; ++i) {
    b.Ue();
    b.Ue();
    b.Ue();
  }
  for (int i = 0; i < 6; ++i) b.Ue();  // block sizes and transform depths
  if (b.Bits(1) && b.Bits(1)) {        // scaling lists, with data
    for (int size = 0; size < 4 && !b.failed; ++size) {
      for (int m = 0; m < 6 && !b.failed; m += size == 3 ? 3 : 1) {
        if (!b.Bits(1)) {
          b.Ue();
        } else {
          const int coefs = std::min(64, 1 << (4 + (size << 1)));
          if (size > 1) b.Se();
          for (int k = 0; k < coefs && !b.failed; ++k) b.Se();
        }
      }
    }
  }
  b.Skip(2);        // amp, sao
  if (b.Bits(1)) {  // pcm
    b.Skip(8);
    b.Ue();
    b.Ue();
    b.Skip(1);
  }
  const uint32_t sets = b.Ue();
  if (sets > 64) return 0;
  std::vector<uint32_t> deltas(sets, 0);
  for (uint32_t i = 0; i < sets && !b.failed; ++i) {
    if (i != 0 && b.Bits(1)) {  // predicted from the set before
      b.Skip(1);
      b.Ue();
      uint32_t count = 0;
      for (uint32_t j = 0; j <= deltas[i - 1] && !b.failed; ++j) {
        const bool used = b.Bits(1);
        if (used || b.Bits(1)) ++count;
      }
      deltas[i] = count;
    } else {
      const uint32_t neg = b.Ue(), pos = b.Ue();
      if (neg > 16 || pos > 16) return 0;
      for (uint32_t j = 0; j < neg + pos && !b.failed; ++j) {
        b.Ue();
        b.Skip(1);
      }
      deltas[i] = neg + pos;
    }
  }
  if (b.Bits(1)) {  // long-term pictures
    const uint32_t lt = b.Ue();
    if (lt > 32) return 0;
    for (uint32_t i = 0; i < lt && !b.failed; ++i) b.Skip(static_cast<int>(poc_bits) + 1);
  }
  b.Skip(2);                 // temporal mvp, strong intra smoothing
  if (!b.Bits(1)) return 0;  // no VUI
  if (b.Bits(1) && b.Bits(8) == 255) b.Skip(32);
  if (b.Bits(1)) b.Skip(1);
  if (b.Bits(1)) {  // video signal type
    b.Skip(4);
    if (b.Bits(1)) b.Skip(24);
  }
  if (b.Bits(1)) {
    b.Ue();
    b.Ue();
  }
  b.Skip(3);  // neutral chroma, field sequence, frame field info
  if (b.Bits(1)) {
    b.Ue();
    b.Ue();
    b.Ue();
    b.Ue();
  }
  if (!b.Bits(1)) return 0;
  const uint32_t units = b.Bits(32), scale = b.Bits(32);
  if (b.failed || units == 0 || scale == 0) return 0;
  return static_cast<double>(scale) / units;
}

double HevcRate(const uint8_t* s, size_t n) {
  if (const double r = HevcSpsRate(s, n); r > 0) return r;
  std::vector<uint8_t> p;
  if (!FindNal(s, n, true, 32, &p)) return 0;
  bits::BitReader b(p.data(), p.size());
  b.Skip(4 + 1 + 1 + 6);
  const uint32_t sub = b.Bits(3);
  b.Skip(1 + 16);
  if (sub > 6) return 0;
  SkipProfileTierLevel(b, sub);
  const bool ordering = b.Bits(1);
  for (uint32_t i = ordering ? 0 : sub; i <= sub && !b.failed; ++i) {
    b.Ue();
    b.Ue();
    b.Ue();
  }
  const uint32_t max_layer_id = b.Bits(6);
  const uint32_t sets = b.Ue();
  if (sets > 1023) return 0;
  for (uint32_t i = 1; i <= sets && !b.failed; ++i) b.Skip(static_cast<int>(max_layer_id) + 1);
  if (!b.Bits(1)) return 0;  // no timing
  const uint32_t units = b.Bits(32), scale = b.Bits(32);
  if (b.failed || units == 0 || scale == 0) return 0;
  return static_cast<double>(scale) / units;
}

}  // namespace

double StreamFrameRate(const uint8_t* s, size_t n, bool hevc) {
  const double r = hevc ? HevcRate(s, n) : H264Rate(s, n);
  return r >= 1 && r <= 240 ? r : 0;
}

}  // namespace camsim
