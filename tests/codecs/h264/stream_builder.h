// Builds small H.264 streams bit by bit for the decoder tests: NAL units, and
// parameter sets and slice headers whose fields a test can change one at a time.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "tests/common/bit_writer.h"

namespace h264test {

using testbits::BitWriter;

// A NAL unit with a four-byte start code and emulation prevention.
inline std::vector<uint8_t> Nal(int refIdc, int type, const std::vector<uint8_t>& rbsp) {
  return testbits::NalUnit({static_cast<uint8_t>((refIdc << 5) | type)}, rbsp);
}

inline void Append(std::vector<uint8_t>& stream, const std::vector<uint8_t>& part) {
  stream.insert(stream.end(), part.begin(), part.end());
}

struct Sps {
  int profile = 66;
  int constraints = 0;
  int level = 30;
  uint64_t id = 0;
  uint64_t chromaFormat = 1;
  uint64_t bitDepthLuma = 0;
  uint64_t bitDepthChroma = 0;
  int losslessFlag = 0;
  uint64_t log2MaxFrameNumMinus4 = 0;
  uint64_t pocType = 2;
  uint64_t log2MaxPocLsbMinus4 = 2;
  std::vector<int64_t> pocCycle;  // POC type 1: offset_for_ref_frame
  int64_t offsetNonRef = 0;
  uint64_t cycleCount = UINT64_MAX;  // defaults to pocCycle.size()
  uint64_t maxRefFrames = 1;
  int gaps = 0;
  uint64_t widthMbsMinus1 = 1;
  uint64_t heightMapUnitsMinus1 = 1;
  int frameMbsOnly = 1;
  int mbaff = 0;
  int direct8x8 = 1;
  bool crop = false;
  uint64_t cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;

  std::vector<uint8_t> Build() const {
    BitWriter w;
    w.U(8, profile);
    w.U(4, constraints);
    w.U(4, 0);
    w.U(8, level);
    w.Ue(id);
    if (profile >= 100) {
      w.Ue(chromaFormat);
      if (chromaFormat == 3) w.Bit(0);
      w.Ue(bitDepthLuma);
      w.Ue(bitDepthChroma);
      w.Bit(losslessFlag);
      w.Bit(0);  // no scaling matrix
    }
    w.Ue(log2MaxFrameNumMinus4);
    w.Ue(pocType);
    if (pocType == 0) w.Ue(log2MaxPocLsbMinus4);
    if (pocType == 1) {
      w.Bit(0);  // delta_pic_order_always_zero_flag
      w.Se(offsetNonRef);
      w.Se(0);
      w.Ue(cycleCount == UINT64_MAX ? pocCycle.size() : cycleCount);
      for (int64_t o : pocCycle) w.Se(o);
    }
    w.Ue(maxRefFrames);
    w.Bit(gaps);
    w.Ue(widthMbsMinus1);
    w.Ue(heightMapUnitsMinus1);
    w.Bit(frameMbsOnly);
    if (!frameMbsOnly) w.Bit(mbaff);
    w.Bit(direct8x8);
    w.Bit(crop);
    if (crop) {
      w.Ue(cropLeft);
      w.Ue(cropRight);
      w.Ue(cropTop);
      w.Ue(cropBottom);
    }
    w.Bit(0);  // no VUI
    w.Trailing();
    return Nal(3, 7, w.bytes());
  }
};

struct Pps {
  uint64_t id = 0;
  uint64_t spsId = 0;
  int cabac = 0;
  uint64_t sliceGroupsMinus1 = 0;
  uint64_t refIdxL0Minus1 = 0;
  uint64_t refIdxL1Minus1 = 0;
  int weightedPred = 0;
  uint64_t weightedBipred = 0;
  int64_t initQpMinus26 = 0;
  int64_t initQsMinus26 = 0;
  int64_t chromaQpOffset = 0;
  int deblockingControl = 1;
  int constrainedIntra = 0;
  int redundantPicCnt = 0;
  bool high = false;  // the High-profile tail
  int transform8x8 = 0;
  int64_t secondChromaQpOffset = 0;

  std::vector<uint8_t> Build() const {
    BitWriter w;
    w.Ue(id);
    w.Ue(spsId);
    w.Bit(cabac);
    w.Bit(0);  // bottom_field_pic_order_in_frame_present_flag
    w.Ue(sliceGroupsMinus1);
    if (sliceGroupsMinus1) w.Ue(0);  // slice_group_map_type
    w.Ue(refIdxL0Minus1);
    w.Ue(refIdxL1Minus1);
    w.Bit(weightedPred);
    w.U(2, weightedBipred);
    w.Se(initQpMinus26);
    w.Se(initQsMinus26);
    w.Se(chromaQpOffset);
    w.Bit(deblockingControl);
    w.Bit(constrainedIntra);
    w.Bit(redundantPicCnt);
    if (high) {
      w.Bit(transform8x8);
      w.Bit(0);
      w.Se(secondChromaQpOffset);
    }
    w.Trailing();
    return Nal(3, 8, w.bytes());
  }
};

// Slice header fields; the header is written into a BitWriter so that a test
// can append its macroblocks.
struct SliceHeader {
  bool idr = true;
  int refIdc = 3;
  uint64_t firstMb = 0;
  uint64_t sliceType = 7;  // I, all slices of the picture
  uint64_t ppsId = 0;
  uint64_t frameNum = 0;
  int frameNumBits = 4;
  uint64_t idrPicId = 0;
  int pocType = 2;
  uint64_t pocLsb = 0;
  int pocLsbBits = 6;
  int64_t deltaPoc0 = 0;
  int redundantPicCntPresent = 0;
  uint64_t redundantPicCnt = 0;
  int64_t qpDelta = 0;
  bool deblockingControl = true;
  uint64_t disableDeblocking = 0;
  int64_t alphaDiv2 = 0;
  int64_t betaDiv2 = 0;
  // Written only where the slice type and the parameter sets call for them.
  int fieldPic = -1;  // -1: frame_mbs_only_flag is set (not written); else field_pic_flag
  int bottomField = 0;
  int directSpatial = 1;
  bool overrideRefs = false;
  uint64_t refsL0Minus1 = 0, refsL1Minus1 = 0;
  std::vector<std::array<uint64_t, 2>> modL0, modL1;  // (modification_of_pic_nums_idc, value)
  bool weightTable = false;  // pred_weight_table: denominators, then per entry
  uint64_t lumaDenom = 0, chromaDenom = 0;
  struct Weight {
    bool luma = false;
    int64_t lumaWeight = 0, lumaOffset = 0;
    bool chroma = false;
    int64_t chromaWeight = 0, chromaOffset = 0;
  };
  std::vector<Weight> weightsL0, weightsL1;
  bool longTermReference = false;  // IDR
  std::vector<std::array<uint64_t, 3>> mmco;  // operation and its one or two values
  int cabac = 0;
  uint64_t cabacInitIdc = 0;

  static void Mods(BitWriter& w, const std::vector<std::array<uint64_t, 2>>& mods) {
    w.Bit(!mods.empty());
    if (mods.empty()) return;
    for (const auto& m : mods) {
      w.Ue(m[0]);
      w.Ue(m[1]);
    }
    w.Ue(3);
  }
  static void Weights(BitWriter& w, const std::vector<Weight>& list) {
    for (const Weight& e : list) {
      w.Bit(e.luma);
      if (e.luma) {
        w.Se(e.lumaWeight);
        w.Se(e.lumaOffset);
      }
      w.Bit(e.chroma);
      if (e.chroma)
        for (int c = 0; c < 2; ++c) {
          w.Se(e.chromaWeight);
          w.Se(e.chromaOffset);
        }
    }
  }

  void Write(BitWriter& w) const {
    int type = static_cast<int>(sliceType % 5);
    w.Ue(firstMb);
    w.Ue(sliceType);
    w.Ue(ppsId);
    w.U(frameNumBits, frameNum);
    if (fieldPic >= 0) {
      w.Bit(fieldPic);
      if (fieldPic) w.Bit(bottomField);
    }
    if (idr) w.Ue(idrPicId);
    if (pocType == 0) w.U(pocLsbBits, pocLsb);
    if (pocType == 1) w.Se(deltaPoc0);
    if (redundantPicCntPresent) w.Ue(redundantPicCnt);
    if (type == 1) w.Bit(directSpatial);
    if (type == 0 || type == 1 || type == 3) {
      w.Bit(overrideRefs);
      if (overrideRefs) {
        w.Ue(refsL0Minus1);
        if (type == 1) w.Ue(refsL1Minus1);
      }
      Mods(w, modL0);
      if (type == 1) Mods(w, modL1);
    }
    if (weightTable) {
      w.Ue(lumaDenom);
      w.Ue(chromaDenom);
      Weights(w, weightsL0);
      if (type == 1) Weights(w, weightsL1);
    }
    if (refIdc) {
      if (idr) {
        w.Bit(0);
        w.Bit(longTermReference);
      } else {
        w.Bit(!mmco.empty());
        for (const auto& m : mmco) {
          w.Ue(m[0]);
          if (m[0] == 1 || m[0] == 2 || m[0] == 4 || m[0] == 6) w.Ue(m[1]);
          if (m[0] == 3) {
            w.Ue(m[1]);
            w.Ue(m[2]);
          }
        }
        if (!mmco.empty()) w.Ue(0);
      }
    }
    if (cabac && type != 2 && type != 4) w.Ue(cabacInitIdc);
    w.Se(qpDelta);
    if (type == 3) w.Bit(0);  // sp_for_switch_flag
    if (type == 3 || type == 4) w.Se(0);  // slice_qs_delta
    if (deblockingControl) {
      w.Ue(disableDeblocking);
      if (disableDeblocking != 1) {
        w.Se(alphaDiv2);
        w.Se(betaDiv2);
      }
    }
  }
};

// Intra_16x16 macroblock with DC prediction (mode 2), no coded luma AC and no
// chroma: mb_type, intra_chroma_pred_mode DC, mb_qp_delta, an empty DC block.
inline void WriteDcMacroblock(BitWriter& w, int64_t qpDelta = 0) {
  w.Ue(3);  // I_16x16_2_0_0
  w.Ue(0);
  w.Se(qpDelta);
  w.Bit(1);  // coeff_token: TotalCoeff 0 (nC 0..1)
}

inline std::vector<uint8_t> SliceNal(const SliceHeader& h, BitWriter& w) {
  w.Trailing();
  return Nal(h.refIdc, h.idr ? 5 : 1, w.bytes());
}

// An I slice of `mbs` DC macroblocks (a 2x2 picture by default).
inline std::vector<uint8_t> DcPicture(const SliceHeader& h, int mbs = 4) {
  BitWriter w;
  h.Write(w);
  for (int i = 0; i < mbs; ++i) WriteDcMacroblock(w);
  return SliceNal(h, w);
}

}  // namespace h264test
