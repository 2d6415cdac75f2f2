// The display order of the access units of an H.264 or HEVC stream, from the
// picture order counts in their first slices: a stream with B-frames is
// decoded in one order and shown in another.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <numeric>
#include <vector>

#include "codecs/common/bit_reader.h"
#include "codecs/common/nal.h"
#include "tools/mp4rec/annexb.h"

namespace display_order {

struct H264Sps {
  uint32_t log2MaxFrameNum = 4, pocType = 0, log2MaxPocLsb = 4;
  bool frameMbsOnly = true, separateColourPlane = false;
};
struct HevcSps {
  uint32_t log2MaxPocLsb = 4;
  bool separateColourPlane = false;
};
struct HevcPps {
  uint32_t sps = 0, extraSliceHeaderBits = 0;
  bool outputFlagPresent = false;
};

// A NAL unit without its emulation-prevention bytes (the first `most` bytes
// of it: a slice header fits in far fewer).
inline std::vector<uint8_t> Raw(const uint8_t* nal, uint32_t len, uint32_t most = 1u << 16) {
  std::vector<uint8_t> out(std::min(len, most));
  out.resize(bits::RemoveEmulation(nal, static_cast<uint32_t>(out.size()), out.data()));
  return out;
}

inline bool ParseH264Sps(const std::vector<uint8_t>& r, uint32_t* id, H264Sps* s) {
  bits::BitReader br(r.data(), r.size());
  br.Skip(8);
  const uint32_t profile = br.Bits(8);
  br.Skip(16);
  *id = br.Ue();
  if (profile == 100 || profile == 110 || profile == 122 || profile == 244 || profile == 44 || profile == 83 ||
      profile == 86 || profile == 118 || profile == 128 || profile == 138 || profile == 139 || profile == 134 ||
      profile == 135) {
    const uint32_t chroma = br.Ue();
    if (chroma == 3) s->separateColourPlane = br.Bit();
    br.Ue();
    br.Ue();
    br.Bit();
    if (br.Bit()) {
      for (int i = 0; i < (chroma == 3 ? 12 : 8); ++i)
        if (br.Bit() && !bits::SkipScalingList(&br, i < 6 ? 16 : 64)) return false;
    }
  }
  s->log2MaxFrameNum = br.Ue() + 4;
  s->pocType = br.Ue();
  if (s->pocType == 0) {
    s->log2MaxPocLsb = br.Ue() + 4;
  } else if (s->pocType == 1) {
    br.Bit();
    br.Se();
    br.Se();
    const uint32_t cycle = br.Ue();
    if (cycle > 255) return false;
    for (uint32_t i = 0; i < cycle; ++i) br.Se();
  }
  br.Ue();
  br.Bit();
  br.Ue();
  br.Ue();
  s->frameMbsOnly = br.Bit();
  return !br.failed && *id < 32 && s->log2MaxFrameNum <= 16 && s->log2MaxPocLsb <= 16;
}

inline bool ParseHevcSps(const std::vector<uint8_t>& r, uint32_t* id, HevcSps* s) {
  bits::BitReader br(r.data(), r.size());
  br.Skip(16 + 4);
  const uint32_t subLayers = br.Bits(3);
  br.Skip(1 + 88 + 8);  // general profile, tier and level
  bits::SkipHevcSubLayers(&br, subLayers);
  *id = br.Ue();
  if (br.Ue() == 3) s->separateColourPlane = br.Bit();
  br.Ue();
  br.Ue();
  if (br.Bit())
    for (int i = 0; i < 4; ++i) br.Ue();
  br.Ue();
  br.Ue();
  s->log2MaxPocLsb = br.Ue() + 4;
  return !br.failed && *id < 16 && s->log2MaxPocLsb <= 16;
}

// The most significant part of a picture order count from its lsb and the
// previous reference picture's parts.
inline int64_t PocMsb(int64_t prevMsb, int64_t prevLsb, int64_t lsb, int64_t max) {
  if (lsb < prevLsb && prevLsb - lsb >= max / 2) return prevMsb + max;
  if (lsb > prevLsb && lsb - prevLsb > max / 2) return prevMsb - max;
  return prevMsb;
}

// For each access unit its place in display order (0 first), or an empty list
// when the stream's slices cannot tell (then decode order is display order).
inline std::vector<uint32_t> Ranks(const std::vector<AccessUnit>& units, bool hevc) {
  std::map<uint32_t, H264Sps> h264Sps;
  std::map<uint32_t, uint32_t> h264Pps;  // PPS id -> its SPS id
  std::map<uint32_t, HevcSps> hevcSps;
  std::map<uint32_t, HevcPps> hevcPps;
  struct Order {
    int64_t epoch, poc;
  };
  std::vector<Order> order;
  int64_t epoch = 0, prevMsb = 0, prevLsb = 0;
  bool anyPoc = false;
  for (const AccessUnit& au : units) {
    bool done = false;
    uint32_t pos = 0, at = 0, len = 0;
    const uint32_t size = static_cast<uint32_t>(au.data.size());
    while (!done && bits::NextNal(au.data.data(), size, &pos, &at, &len)) {
      const uint8_t* nal = au.data.data() + at;
      if (len < 3) continue;
      if (!hevc) {
        const uint32_t type = nal[0] & 0x1F, refIdc = (nal[0] >> 5) & 3;
        std::vector<uint8_t> r = Raw(nal, len, type == 7 || type == 8 ? len : 64);
        bits::BitReader br(r.data(), r.size());
        br.Skip(8);
        if (type == 7) {
          uint32_t id = 0;
          H264Sps s;
          if (ParseH264Sps(r, &id, &s)) h264Sps[id] = s;
        } else if (type == 8) {
          const uint32_t id = br.Ue(), sps = br.Ue();
          if (!br.failed && id < 256) h264Pps[id] = sps;
        } else if (type == 1 || type == 5) {
          done = true;
          br.Ue();
          br.Ue();
          auto pp = h264Pps.find(br.Ue());
          if (pp == h264Pps.end() || !h264Sps.count(pp->second)) return {};
          const H264Sps& s = h264Sps[pp->second];
          if (s.separateColourPlane) br.Skip(2);
          br.Skip(s.log2MaxFrameNum);
          if (!s.frameMbsOnly && br.Bit()) return {};  // field pictures: left in decode order
          if (type == 5) {
            br.Ue();
            ++epoch;
            prevMsb = prevLsb = 0;
          }
          int64_t poc = static_cast<int64_t>(order.size());  // other POC types: decode order
          if (s.pocType == 0) {
            const int64_t lsb = br.Bits(static_cast<int>(s.log2MaxPocLsb));
            const int64_t msb = PocMsb(prevMsb, prevLsb, lsb, int64_t{1} << s.log2MaxPocLsb);
            poc = msb + lsb;
            if (refIdc != 0) {
              prevMsb = msb;
              prevLsb = lsb;
            }
            anyPoc = true;
          }
          if (br.failed) return {};
          order.push_back({epoch, poc});
        }
      } else {
        const uint32_t type = (nal[0] >> 1) & 0x3F, tid = (nal[1] & 7) - 1u;
        std::vector<uint8_t> r = Raw(nal, len, type == 33 || type == 34 ? len : 64);
        bits::BitReader br(r.data(), r.size());
        br.Skip(16);
        if (type == 33) {
          uint32_t id = 0;
          HevcSps s;
          if (ParseHevcSps(r, &id, &s)) hevcSps[id] = s;
        } else if (type == 34) {
          HevcPps p;
          const uint32_t id = br.Ue();
          p.sps = br.Ue();
          br.Bit();
          p.outputFlagPresent = br.Bit();
          p.extraSliceHeaderBits = br.Bits(3);
          if (!br.failed && id < 64) hevcPps[id] = p;
        } else if (type < 32) {
          done = true;
          if (!br.Bit()) return {};  // not the picture's first slice
          const bool irap = type >= 16 && type <= 23;
          if (irap) br.Bit();
          auto pp = hevcPps.find(br.Ue());
          if (pp == hevcPps.end() || !hevcSps.count(pp->second.sps)) return {};
          const HevcSps& s = hevcSps[pp->second.sps];
          br.Skip(pp->second.extraSliceHeaderBits);
          br.Ue();
          if (pp->second.outputFlagPresent) br.Bit();
          if (s.separateColourPlane) br.Skip(2);
          const int64_t lsb = type == 19 || type == 20 ? 0 : br.Bits(static_cast<int>(s.log2MaxPocLsb));
          int64_t msb = PocMsb(prevMsb, prevLsb, lsb, int64_t{1} << s.log2MaxPocLsb);
          // IDR and BLA pictures, and a CRA picture that starts the stream, begin the count again.
          if ((irap && type <= 20) || (type == 21 && order.empty())) {
            ++epoch;
            msb = 0;
          }
          // The previous picture of temporal layer 0 that is not a RADL, RASL or sub-layer non-reference one.
          if (tid == 0 && !(type >= 6 && type <= 9) && !(type <= 14 && type % 2 == 0)) {
            prevMsb = msb;
            prevLsb = lsb;
          }
          if (br.failed) return {};
          order.push_back({epoch, msb + lsb});
          anyPoc = true;
        }
      }
    }
    if (!done) return {};
  }
  if (!anyPoc) return {};
  std::vector<uint32_t> byDisplay(order.size()), ranks(order.size());
  std::iota(byDisplay.begin(), byDisplay.end(), 0u);
  std::stable_sort(byDisplay.begin(), byDisplay.end(), [&](uint32_t a, uint32_t b) {
    return order[a].epoch != order[b].epoch ? order[a].epoch < order[b].epoch : order[a].poc < order[b].poc;
  });
  for (uint32_t i = 0; i < byDisplay.size(); ++i) ranks[byDisplay[i]] = i;
  return ranks;
}

}  // namespace display_order
