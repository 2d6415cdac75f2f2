// NAL units: header, SEI, sequence and picture parameter sets, slice header
// and the decision whether a slice starts a new picture.
#include <algorithm>
#include <cstring>

#include "codecs/h264/h264_bitreader.h"
#include "codecs/h264/h264_internal.h"
#include "codecs/h264/h264_tables.h"

namespace {

enum : int {
  kErrNalType = 0x10000001,
  kErrNoParameterSets = 0x10000004,
  kErrSpsId = 0x20000001,
  kErrFrameNumBits = 0x20000002,
  kErrMaxRefFrames = 0x20000003,
  kErrPocType = 0x20000004,
  kErrPocCycle = 0x20000005,
  kErrCropping = 0x20000006,
  kErrFormat = 0x20000007,
  kErrLossless = 0x20000008,
  kErrProfile = 0x20000009,
  kErrRefFramesAboveContext = 0x2000000a,
  kErrMbaff = 0x2000000b,
  kErrPictureSize = 0x2000000c,
  kErrPpsId = 0x20000011,
  kErrPpsSpsId = 0x20000012,
  kErrInitQp = 0x20000013,
  kErrInitQs = 0x20000014,
  kErrChromaQpOffset = 0x20000015,
  kErrRefIdxL0Default = 0x20000016,
  kErrRefIdxL1Default = 0x20000017,
  kErrSliceGroups = 0x2000001a,
  kErrSvcVui = 0x2000001d,
  kErrSubsetExtension = 0x2000001e,
  kErrInterLayerPred = 0x2000001f,
  kErrQualityId = 0x20000020,
  kErrSliceType = 0x30000001,
  kErrSlicePps = 0x30000002,
  kErrIdrFrameNum = 0x30000003,
  kErrRefLists = 0x30000005,
  kErrStartPicture = 0x30000006,
  kErrRefIdxL0 = 0x30000007,
  kErrRefIdxL1 = 0x30000008,
  kErrCabacInitIdc = 0x30000009,
  kErrFilterOffsets = 0x3000000a,
  kErrSliceQp = 0x3000000b,
  kErrNotSupported = 0x3000000c,
  kErrMmco = 0x3000000d,
  kErrWeights = 0x3000000e,
  kErrRedundant = 0x3000001b,
};

void ScanToRaster4x4(const uint8_t* scan, uint8_t* raster) {
  for (int i = 0; i < 16; ++i) raster[kH264Scan4x4[0][i]] = scan[i];
}

void ScanToRaster8x8(const uint8_t* scan, uint8_t* raster) {
  for (int i = 0; i < 64; ++i) raster[kH264Scan8x8[0][i]] = scan[i];
}

void Default4x4(int list, uint8_t* raster) { ScanToRaster4x4(kH264DefaultScaling4x4[list < 3 ? 0 : 1], raster); }
void Default8x8(int list, uint8_t* raster) { ScanToRaster8x8(kH264DefaultScaling8x8[list], raster); }

// Reads the lists of a scaling matrix. `fallback4x4`/`fallback8x8` are the
// lists an absent list 0, 3 or 8x8 list takes (rule A: the defaults, rule B:
// the sequence's lists); absent lists 1, 2, 4, 5 copy the list before them.
int ReadScalingMatrix(H264DecBitReader* br, int num8x8, uint8_t (*out4x4)[16], uint8_t (*out8x8)[64],
                      const uint8_t (*fallback4x4)[16], const uint8_t (*fallback8x8)[64]) {
  for (int i = 0; i < 6; ++i) {
    uint8_t scan[16];
    if (H264ReadFlag(br)) {
      if (H264DecParseScalingList(scan, 16, br) < 0)
        Default4x4(i, out4x4[i]);
      else
        ScanToRaster4x4(scan, out4x4[i]);
    } else if (i == 0 || i == 3) {
      std::memcpy(out4x4[i], fallback4x4[i], 16);
    } else {
      std::memcpy(out4x4[i], out4x4[i - 1], 16);
    }
  }
  for (int i = 0; i < 2; ++i) {
    uint8_t scan[64];
    if (i < num8x8 && H264ReadFlag(br)) {
      if (H264DecParseScalingList(scan, 64, br) < 0)
        Default8x8(i, out8x8[i]);
      else
        ScanToRaster8x8(scan, out8x8[i]);
    } else {
      std::memcpy(out8x8[i], fallback8x8[i], 64);
    }
  }
  return 0;
}

void FlatLists(uint8_t (*l4)[16], uint8_t (*l8)[64]) {
  std::memset(l4, 16, 6 * 16);
  std::memset(l8, 16, 2 * 64);
}

void DefaultLists(uint8_t (*l4)[16], uint8_t (*l8)[64]) {
  for (int i = 0; i < 6; ++i) Default4x4(i, l4[i]);
  for (int i = 0; i < 2; ++i) Default8x8(i, l8[i]);
}

void ReadHrd(H264DecBitReader* br, H264Hrd* hrd) {
  // A flag read more than 8 bits past the end of the unit counts as 0.
  auto flag = [br]() -> uint32_t { return br->pos > br->bitLength + 16 ? 0 : H264ReadFlag(br); };
  hrd->cpb_cnt_minus1 = H264ReadUe(br) % 32;
  hrd->bit_rate_scale = H264ReadBits(4, br);
  hrd->cpb_size_scale = H264ReadBits(4, br);
  for (uint32_t i = 0; i <= hrd->cpb_cnt_minus1; ++i) {
    H264ReadUe(br);
    H264ReadUe(br);
    flag();
  }
  hrd->initial_cpb_removal_delay_length_minus1 = H264ReadBits(5, br);
  hrd->cpb_removal_delay_length_minus1 = H264ReadBits(5, br);
  hrd->dpb_output_delay_length_minus1 = H264ReadBits(5, br);
  hrd->time_offset_length = H264ReadBits(5, br);
}

void ReadVui(H264DecBitReader* br, H264Vui* v) {
  auto flag = [br]() -> uint32_t { return br->pos > br->bitLength + 16 ? 0 : H264ReadFlag(br); };
  std::memset(v, 0, sizeof *v);
  v->matrix_coefficients = 2;
  v->colour_primaries = 2;
  v->transfer_characteristics = 2;
  if (H264ReadFlag(br)) {
    v->aspect_ratio_idc = H264ReadBits(8, br);
    if (v->aspect_ratio_idc == 255) {
      v->sar_width = H264ReadBits(16, br);
      v->sar_height = H264ReadBits(16, br);
    }
  }
  if (H264ReadFlag(br)) v->overscan_appropriate_flag = H264ReadFlag(br);
  if (H264ReadFlag(br)) {
    v->video_format = H264ReadBits(3, br);
    v->video_full_range_flag = H264ReadFlag(br);
    if (H264ReadFlag(br)) {
      v->colour_primaries = H264ReadBits(8, br);
      v->transfer_characteristics = H264ReadBits(8, br);
      v->matrix_coefficients = H264ReadBits(8, br);
    }
  }
  if (H264ReadFlag(br)) {
    v->chroma_sample_loc_type_top_field = H264ReadUe(br);
    v->chroma_sample_loc_type_bottom_field = H264ReadUe(br);
  }
  if (H264ReadFlag(br)) {
    v->num_units_in_tick = H264ReadBits(32, br);
    v->time_scale = H264ReadBits(32, br);
    v->fixed_frame_rate_flag = H264ReadFlag(br);
  }
  v->nal_hrd_parameters_present_flag = flag();
  if (v->nal_hrd_parameters_present_flag) ReadHrd(br, &v->nalHrd);
  v->vcl_hrd_parameters_present_flag = flag();
  if (v->vcl_hrd_parameters_present_flag) ReadHrd(br, &v->vclHrd);
  if (v->nal_hrd_parameters_present_flag || v->vcl_hrd_parameters_present_flag) v->low_delay_hrd_flag = flag();
  v->pic_struct_present_flag = flag();
  v->bitstream_restriction_flag = flag();
  if (v->bitstream_restriction_flag) {
    H264ReadFlag(br);  // motion_vectors_over_pic_boundaries_flag
    H264ReadUe(br);    // max_bytes_per_pic_denom
    H264ReadUe(br);    // max_bits_per_mb_denom
    H264ReadUe(br);    // log2_max_mv_length_horizontal
    H264ReadUe(br);    // log2_max_mv_length_vertical
    v->max_num_reorder_frames = H264ReadUe(br);
    v->max_dec_frame_buffering = H264ReadUe(br);
  }
}

bool ReadSvcExtension(H264DecBitReader* br, H264Sps* sps, int* error) {
  H264ReadFlag(br);  // inter_layer_deblocking_filter_control_present_flag
  uint32_t esp = H264ReadBits(2, br);  // extended_spatial_scalability_idc
  if (sps->chroma_format_idc == 1 || sps->chroma_format_idc == 2) H264ReadFlag(br);  // chroma_phase_x_plus1_flag
  if (sps->chroma_format_idc == 1) H264ReadBits(2, br);  // chroma_phase_y_plus1
  if (esp == 1) {
    if (sps->chroma_format_idc > 0) {
      H264ReadFlag(br);
      H264ReadBits(2, br);
    }
    for (int i = 0; i < 4; ++i) H264ReadSe(br);  // scaled_ref_layer offsets
  }
  if (H264ReadFlag(br)) H264ReadFlag(br);  // seq_tcoeff_level_prediction, adaptive_tcoeff_level_prediction
  sps->slice_header_restriction_flag = H264ReadFlag(br);
  if (H264ReadFlag(br)) {  // svc_vui_parameters_present_flag
    *error = kErrSvcVui;
    return false;
  }
  if (!sps->slice_header_restriction_flag) {
    *error = kErrFormat;
    return false;
  }
  return true;
}

int ParseSei(H264DecContext* ctx) {
  H264DecWaitWorkers(ctx);
  H264DecBitReader* br = &ctx->br;
  uint32_t type = H264ReadBits(8, br);
  uint32_t size = H264ReadBits(8, br);
  uint32_t first = H264ReadBits(8, br);
  if (type == 224 && size == 1) {
    ctx->sei224Mark = first & 1;
  } else if (type == 240) {
    H264DecUserData& u = ctx->userData;
    u.marker = 240;
    u.length = size;
    u.payload = u.bytes;
    u.zero = 0;
    if (size > 0) u.bytes[0] = static_cast<uint8_t>(first);
    for (uint32_t i = 1; i < size; ++i) u.bytes[i] = static_cast<uint8_t>(H264ReadBits(8, br));
  }
  return kH264NalNewPicture;
}

// The first-slice test: does the slice just parsed start a new picture?
bool StartsNewPicture(H264DecContext* ctx) {
  const H264SliceHeader& s = ctx->slice;
  const H264SavedSliceState& p = ctx->saved;
  const H264Sps& sps = ctx->activeSps;
  // Parameter sets of another picture size took effect: the picture's
  // records and rows have the old one.
  const H264DecPicture* cur = ctx->curPic;
  if (s.PicSizeInMbs != cur->picSizeInMbs || static_cast<int32_t>(16 * s.PicWidthInMbs) != cur->frame->width)
    return true;
  if (s.pic_parameter_set_id != p.pic_parameter_set_id || s.frame_num != p.frame_num ||
      s.field_pic_flag != p.field_pic_flag)
    return true;
  if (s.field_pic_flag && p.field_pic_flag && s.bottom_field_flag != p.bottom_field_flag) return true;
  if (s.nal_ref_idc != p.nal_ref_idc && (s.nal_ref_idc == 0 || p.nal_ref_idc == 0)) return true;
  bool idr = s.nal_unit_type == 5, prevIdr = p.nal_unit_type == 5;
  if (idr != prevIdr) return true;
  if (idr && prevIdr && static_cast<int64_t>(s.idr_pic_id) != p.idr_pic_id) return true;
  if (sps.pic_order_cnt_type == 0 &&
      (s.pic_order_cnt_lsb != p.pic_order_cnt_lsb || s.delta_pic_order_cnt_bottom != p.delta_pic_order_cnt_bottom))
    return true;
  if (sps.pic_order_cnt_type == 1 &&
      (s.delta_pic_order_cnt[0] != p.delta_pic_order_cnt[0] || s.delta_pic_order_cnt[1] != p.delta_pic_order_cnt[1]))
    return true;
  if (s.first_mb_in_slice != 0) return false;
  // A slice at the first macroblock after a whole picture starts the next
  // one: the workers' macroblocks are counted once they are done.
  H264DecWaitWorkers(ctx);
  return ctx->mbCount == s.PicSizeInMbs;
}

// Slice kinds this build decodes: I, P and B slices of frames and fields.
// SP and SI slices are refused.
bool SliceSupported(const H264DecContext* ctx) {
  uint32_t t = ctx->slice.slice_type;
  return t == kH264SliceI || t == kH264SliceP || t == kH264SliceB;
}

int DecodeSlice(H264DecContext* ctx, uint32_t codedSize) {
  if (ctx->streamState < kH264PpsReceived) return kErrNoParameterSets;
  int r = H264DecParseSliceHeader(ctx);
  if (r) return r;
  if (!SliceSupported(ctx)) return kErrNotSupported;
  int result = kH264NalSamePicture;
  if (!ctx->curPic || StartsNewPicture(ctx)) {
    H264DecWaitWorkers(ctx);
    if (H264DecStartPicture(ctx) != 0) {
      ctx->streamState = kH264PpsReceived;
      return kErrStartPicture;
    }
    result = kH264NalNewPicture;
  }
  ctx->curPic->frame->stats[0] += codedSize;
  ctx->sliceEnd = ctx->slice.PicSizeInMbs;
  if (H264DecInitRefLists(ctx) != 0) {
    H264DecSaveSliceState(ctx);
    return kErrRefLists;
  }
  if (ctx->workers) {
    H264DecDispatchSlice(ctx);
    return result;
  }
  int n = ctx->activePps.entropy_coding_mode_flag ? H264SliceDataCabac(ctx) : H264SliceDataCavlc(ctx);
  if (n != 0) {
    // The slice belongs to the picture all the same: later slices of it must
    // not start another one.
    H264DecSaveSliceState(ctx);
    return 0x40000000 + n;
  }
  return result;
}

int ReadRefListCommands(H264DecBitReader* br, H264RefListCommand* cmds) {
  for (int i = 0; i < kH264MaxRefs; ++i) {
    uint32_t idc = i == kH264MaxRefs - 1 ? 3 : H264ReadUe(br);
    cmds[i].idc = idc;
    cmds[i].value = 0;
    if (idc == 3) return 0;
    if (idc > 2) return kErrRefLists;
    cmds[i].value = H264ReadUe(br);
  }
  return 0;
}

int ReadPredWeightTable(H264DecContext* ctx) {
  H264SliceHeader& s = ctx->slice;
  H264DecBitReader* br = &ctx->br;
  s.luma_log2_weight_denom = H264ReadUe(br);
  s.chroma_log2_weight_denom = H264ReadUe(br);
  if (s.luma_log2_weight_denom > 7 || s.chroma_log2_weight_denom > 7) return kErrWeights;
  // Weights that are not sent are 1 << denom with offset 0.
  for (int l = 0; l < 2; ++l)
    for (int i = 0; i < kH264MaxRefs; ++i) {
      s.lumaWeight[l][i] = 1 << s.luma_log2_weight_denom;
      for (int j = 0; j < 2; ++j) s.chromaWeight[l][i][j] = 1 << s.chroma_log2_weight_denom;
    }
  int lists = s.slice_type == kH264SliceB ? 2 : 1;
  for (int l = 0; l < lists; ++l) {
    uint32_t n = (l == 0 ? s.num_ref_idx_l0_active_minus1 : s.num_ref_idx_l1_active_minus1) + 1;
    // A weight or offset that is sent lies in -128..127; the inferred weight
    // 1 << denom may be 128.
    auto inRange = [](int32_t v) { return v >= -128 && v <= 127; };
    for (uint32_t i = 0; i < n; ++i) {
      if (H264ReadFlag(br)) {
        s.lumaWeight[l][i] = H264ReadSe(br);
        s.lumaOffset[l][i] = H264ReadSe(br);
        if (!inRange(s.lumaWeight[l][i]) || !inRange(s.lumaOffset[l][i])) return kErrWeights;
      }
      if (H264ReadFlag(br))
        for (int j = 0; j < 2; ++j) {
          s.chromaWeight[l][i][j] = H264ReadSe(br);
          s.chromaOffset[l][i][j] = H264ReadSe(br);
          if (!inRange(s.chromaWeight[l][i][j]) || !inRange(s.chromaOffset[l][i][j])) return kErrWeights;
        }
    }
  }
  return 0;
}

}  // namespace

int H264DecParseScalingList(uint8_t* list, int size, H264DecBitReader* br) {
  int last = 8, next = 8;
  for (int j = 0; j < size; ++j) {
    if (next != 0) {
      int32_t delta = H264ReadSe(br);
      next = static_cast<int>(((static_cast<int64_t>(last) + delta) % 256 + 256) % 256);
      if (j == 0 && next == 0) return -1;
    }
    list[j] = static_cast<uint8_t>(next == 0 ? last : next);
    last = list[j];
  }
  return 0;
}

uint32_t H264DecMaxDpbFrames(const H264Sps* sps) {
  uint32_t frameMbs = sps->widthMbs * sps->frameHeightMbs;
  uint32_t level = sps->level_idc;
  if (level == 9 || level == 52 || frameMbs == 0) return 16;
  for (const auto& row : kH264LevelLimits) {
    if (row[0] == level && row[1] == 0) return std::min<uint32_t>(16, row[4] / frameMbs);
  }
  return 16;
}

int H264DecParseSps(H264DecContext* ctx, int nalUnitType) {
  H264DecBitReader* br = &ctx->br;
  H264Sps sps;
  std::memset(&sps, 0, sizeof sps);
  sps.profile_idc = H264ReadBits(8, br);
  sps.constraint_flags = H264ReadBits(4, br);
  H264ReadBits(4, br);
  sps.level_idc = H264ReadBits(8, br);
  uint32_t id = H264ReadUe(br);
  if (id > 31) return kErrSpsId;
  sps.id = id;
  uint32_t p = sps.profile_idc;
  if (p == 66 || p == 77) {
    sps.chroma_format_idc = 1;
    FlatLists(sps.scaling4x4, sps.scaling8x8);
  } else if (p == 83 || p == 86 || p >= 100) {
    sps.chroma_format_idc = H264ReadUe(br);
    if (sps.chroma_format_idc == 3) H264ReadFlag(br);  // separate_colour_plane_flag
    uint32_t depthLuma = H264ReadUe(br), depthChroma = H264ReadUe(br);
    if (sps.chroma_format_idc != 1 || depthLuma != 0 || depthChroma != 0) return kErrFormat;
    sps.qpprime_y_zero_transform_bypass_flag = H264ReadFlag(br);
    // Lossless macroblocks bypass the transform; they would be decoded wrongly.
    if (sps.qpprime_y_zero_transform_bypass_flag) return kErrLossless;
    sps.seq_scaling_matrix_present_flag = H264ReadFlag(br);
    if (sps.seq_scaling_matrix_present_flag) {
      uint8_t def4[6][16], def8[2][64];
      DefaultLists(def4, def8);
      ReadScalingMatrix(br, 2, sps.scaling4x4, sps.scaling8x8, def4, def8);
    } else {
      FlatLists(sps.scaling4x4, sps.scaling8x8);
    }
  } else {
    return kErrProfile;
  }
  sps.log2_max_frame_num_minus4 = H264ReadUe(br);
  if (sps.log2_max_frame_num_minus4 > 12) return kErrFrameNumBits;
  sps.pic_order_cnt_type = H264ReadUe(br);
  if (sps.pic_order_cnt_type > 2) return kErrPocType;
  if (sps.pic_order_cnt_type == 0) {
    sps.log2_max_pic_order_cnt_lsb_minus4 = H264ReadUe(br);
    if (sps.log2_max_pic_order_cnt_lsb_minus4 > 12) return kErrFormat;
  } else if (sps.pic_order_cnt_type == 1) {
    sps.delta_pic_order_always_zero_flag = H264ReadFlag(br);
    sps.offset_for_non_ref_pic = H264ReadSe(br);
    sps.offset_for_top_to_bottom_field = H264ReadSe(br);
    sps.num_ref_frames_in_pic_order_cnt_cycle = H264ReadUe(br);
    // The standard allows 0..255 offsets in the cycle.
    if (sps.num_ref_frames_in_pic_order_cnt_cycle > kH264PocCycleMax) return kErrPocCycle;
    for (uint32_t i = 0; i < sps.num_ref_frames_in_pic_order_cnt_cycle; ++i)
      sps.offset_for_ref_frame[i] = H264ReadSe(br);
  }
  sps.max_num_ref_frames = H264ReadUe(br);
  if (sps.max_num_ref_frames > 16) return kErrMaxRefFrames;
  if (sps.max_num_ref_frames > ctx->refFrames) return kErrRefFramesAboveContext;
  sps.gaps_in_frame_num_value_allowed_flag = H264ReadFlag(br);
  sps.pic_width_in_mbs_minus1 = H264ReadUe(br);
  sps.pic_height_in_map_units_minus1 = H264ReadUe(br);
  sps.frame_mbs_only_flag = H264ReadFlag(br);
  if (!sps.frame_mbs_only_flag) sps.mb_adaptive_frame_field_flag = H264ReadFlag(br);
  uint32_t fieldFactor = 2 - sps.frame_mbs_only_flag;
  if (sps.pic_width_in_mbs_minus1 >= ctx->widthMbs || sps.pic_height_in_map_units_minus1 >= ctx->heightMbs / fieldFactor ||
      sps.pic_width_in_mbs_minus1 < 1 || sps.pic_height_in_map_units_minus1 < 1)
    return kErrPictureSize;
  sps.widthMbs = sps.pic_width_in_mbs_minus1 + 1;
  sps.frameHeightMbs = (sps.pic_height_in_map_units_minus1 + 1) * fieldFactor;
  sps.width = sps.widthMbs * 16;
  sps.frameHeight = sps.frameHeightMbs * 16;
  sps.direct_8x8_inference_flag = H264ReadFlag(br);
  if (!sps.frame_mbs_only_flag) sps.direct_8x8_inference_flag = 1;
  sps.frame_cropping_flag = H264ReadFlag(br);
  if (sps.frame_cropping_flag) {
    uint64_t l = H264ReadUe(br), r = H264ReadUe(br), t = H264ReadUe(br), b = H264ReadUe(br);
    uint64_t cropUnitY = 2 * fieldFactor;
    if ((t + b) * cropUnitY >= sps.frameHeight || 2 * (l + r) >= sps.width) return kErrCropping;
    sps.cropLeft = static_cast<uint32_t>(2 * l);
    sps.cropRight = static_cast<uint32_t>(2 * r);
    sps.cropTop = static_cast<uint32_t>(t * cropUnitY);
    sps.cropBottom = static_cast<uint32_t>(b * cropUnitY);
  }
  sps.vui_parameters_present_flag = H264ReadFlag(br);
  if (sps.vui_parameters_present_flag) ReadVui(br, &sps.vui);
  if (nalUnitType == 15 && (p == 83 || p == 86)) {
    int err = 0;
    if (!ReadSvcExtension(br, &sps, &err)) return err;
  }
  if (nalUnitType == 15 && H264ReadFlag(br)) return kErrSubsetExtension;  // additional_extension2_flag
  sps.maxFrameNum = 1u << (sps.log2_max_frame_num_minus4 + 4);
  sps.maxPicOrderCntLsb = 1u << (sps.log2_max_pic_order_cnt_lsb_minus4 + 4);
  uint32_t maxDpb = H264DecMaxDpbFrames(&sps);
  sps.dpbSize = std::max(sps.max_num_ref_frames, std::min(maxDpb, 2 * ctx->refFrames));
  sps.dpbSize = std::min<uint32_t>(sps.dpbSize, kH264MaxDpb);
  ctx->sei224Mark = 0;
  sps.changed = 1;
  ctx->spsTable[id] = sps;
  return kH264NalSps;
}

int H264DecParsePps(H264DecContext* ctx) {
  H264DecBitReader* br = &ctx->br;
  H264Pps pps;
  std::memset(&pps, 0, sizeof pps);
  uint32_t id = H264ReadUe(br);
  if (id > 255) return kErrPpsId;
  pps.id = id;
  pps.seq_parameter_set_id = H264ReadUe(br);
  if (pps.seq_parameter_set_id > 31 || ctx->spsTable[pps.seq_parameter_set_id].id != pps.seq_parameter_set_id)
    return kErrPpsSpsId;
  const H264Sps& sps = ctx->spsTable[pps.seq_parameter_set_id];
  pps.entropy_coding_mode_flag = H264ReadFlag(br);
  pps.bottom_field_pic_order_in_frame_present_flag = H264ReadFlag(br);
  pps.num_slice_groups_minus1 = H264ReadUe(br);
  if (pps.num_slice_groups_minus1 != 0) return kErrSliceGroups;
  pps.num_ref_idx_l0_default_active_minus1 = H264ReadUe(br);
  if (pps.num_ref_idx_l0_default_active_minus1 > 31) return kErrRefIdxL0Default;
  pps.num_ref_idx_l1_default_active_minus1 = H264ReadUe(br);
  if (pps.num_ref_idx_l1_default_active_minus1 > 31) return kErrRefIdxL1Default;
  pps.weighted_pred_flag = H264ReadFlag(br);
  pps.weighted_bipred_idc = H264ReadBits(2, br);
  pps.pic_init_qp_minus26 = H264ReadSe(br);
  if (pps.pic_init_qp_minus26 < -26 || pps.pic_init_qp_minus26 > 25) return kErrInitQp;
  pps.pic_init_qs_minus26 = H264ReadSe(br);
  if (pps.pic_init_qs_minus26 < -26 || pps.pic_init_qs_minus26 > 25) return kErrInitQs;
  pps.chroma_qp_index_offset = H264ReadSe(br);
  if (pps.chroma_qp_index_offset < -12 || pps.chroma_qp_index_offset > 12) return kErrChromaQpOffset;
  pps.deblocking_filter_control_present_flag = H264ReadFlag(br);
  pps.constrained_intra_pred_flag = H264ReadFlag(br);
  pps.redundant_pic_cnt_present_flag = H264ReadFlag(br);
  pps.second_chroma_qp_index_offset = pps.chroma_qp_index_offset;
  std::memcpy(pps.scaling4x4, sps.scaling4x4, sizeof pps.scaling4x4);
  std::memcpy(pps.scaling8x8, sps.scaling8x8, sizeof pps.scaling8x8);
  if (H264MoreRbspData(br)) {
    pps.transform_8x8_mode_flag = H264ReadFlag(br);
    pps.pic_scaling_matrix_present_flag = H264ReadFlag(br);
    if (pps.pic_scaling_matrix_present_flag) {
      uint8_t fb4[6][16], fb8[2][64];
      if (sps.seq_scaling_matrix_present_flag) {
        std::memcpy(fb4, sps.scaling4x4, sizeof fb4);
        std::memcpy(fb8, sps.scaling8x8, sizeof fb8);
      } else {
        DefaultLists(fb4, fb8);
      }
      ReadScalingMatrix(br, pps.transform_8x8_mode_flag ? 2 : 0, pps.scaling4x4, pps.scaling8x8, fb4, fb8);
    }
    pps.second_chroma_qp_index_offset = H264ReadSe(br);
    if (pps.second_chroma_qp_index_offset < -12 || pps.second_chroma_qp_index_offset > 12) return kErrChromaQpOffset;
  }
  pps.changed = 1;
  ctx->ppsTable[id] = pps;
  return kH264NalPps;
}

void H264DecComputeLevelScale(H264DecContext* ctx) {
  const H264Pps& pps = ctx->activePps;
  for (int list = 0; list < 6; ++list)
    for (int m = 0; m < 6; ++m)
      for (int k = 0; k < 16; ++k)
        ctx->levelScale4x4[list][m][k] = static_cast<uint16_t>(pps.scaling4x4[list][k] * kH264NormAdjust4x4[m][k]);
  for (int list = 0; list < 2; ++list)
    for (int m = 0; m < 6; ++m)
      for (int k = 0; k < 64; ++k)
        ctx->levelScale8x8[list][m][k] = static_cast<uint16_t>(pps.scaling8x8[list][k] * kH264NormAdjust8x8[m][k]);
}

int H264DecParseSliceHeader(H264DecContext* ctx) {
  H264DecBitReader* br = &ctx->br;
  H264SliceHeader& s = ctx->slice;
  s.first_mb_in_slice = H264ReadUe(br);
  uint32_t type = H264ReadUe(br);
  if (type > 9) return kErrSliceType;
  s.slice_type = type % 5;
  s.pic_parameter_set_id = H264ReadUe(br);
  if (s.pic_parameter_set_id > 255 || ctx->ppsTable[s.pic_parameter_set_id].id != s.pic_parameter_set_id)
    return kErrSlicePps;
  H264Pps& ppsSlot = ctx->ppsTable[s.pic_parameter_set_id];
  uint32_t spsId = ppsSlot.seq_parameter_set_id;
  if (spsId > 31 || ctx->spsTable[spsId].id != spsId) return kErrPpsSpsId;
  H264Sps& spsSlot = ctx->spsTable[spsId];
  if (ppsSlot.changed || ctx->activePps.id != ppsSlot.id) {
    ctx->activePps = ppsSlot;
    ppsSlot.changed = 0;
    H264DecComputeLevelScale(ctx);
  }
  if (spsSlot.changed || ctx->activeSps.id != spsSlot.id) {
    ctx->activeSps = spsSlot;
    spsSlot.changed = 0;
    ctx->dpbSize = spsSlot.dpbSize;
    ctx->saved.idr_pic_id = -1;
  }
  const H264Sps& sps = ctx->activeSps;
  const H264Pps& pps = ctx->activePps;
  // Baseline and Main streams never need a level_prefix above 15; 8-bit
  // streams of the other profiles never one above 19.
  ctx->levelPrefixMax = (sps.profile_idc == 66 || sps.profile_idc == 77) ? 15 : 19;

  s.frame_num = H264ReadBits(static_cast<int>(sps.log2_max_frame_num_minus4 + 4), br);
  if (s.idrPicFlag && s.frame_num != 0) return kErrIdrFrameNum;
  s.field_pic_flag = s.bottom_field_flag = 0;
  if (!sps.frame_mbs_only_flag) {
    s.field_pic_flag = H264ReadFlag(br);
    if (s.field_pic_flag) s.bottom_field_flag = H264ReadFlag(br);
  }
  if (sps.mb_adaptive_frame_field_flag) return kErrMbaff;
  s.structure = s.field_pic_flag ? 1 + s.bottom_field_flag : 0;
  s.PicWidthInMbs = sps.widthMbs;
  s.PicHeightInMbs = sps.frameHeightMbs >> s.field_pic_flag;
  s.PicSizeInMbs = s.PicWidthInMbs * s.PicHeightInMbs;
  s.idr_pic_id = 0x10000;
  if (s.idrPicFlag) s.idr_pic_id = H264ReadUe(br);
  s.pic_order_cnt_lsb = 0;
  s.delta_pic_order_cnt_bottom = 0;
  s.delta_pic_order_cnt[0] = s.delta_pic_order_cnt[1] = 0;
  if (sps.pic_order_cnt_type == 0) {
    s.pic_order_cnt_lsb = H264ReadBits(static_cast<int>(sps.log2_max_pic_order_cnt_lsb_minus4 + 4), br);
    if (pps.bottom_field_pic_order_in_frame_present_flag && !s.field_pic_flag)
      s.delta_pic_order_cnt_bottom = H264ReadSe(br);
  }
  if (sps.pic_order_cnt_type == 1 && !sps.delta_pic_order_always_zero_flag) {
    s.delta_pic_order_cnt[0] = H264ReadSe(br);
    if (pps.bottom_field_pic_order_in_frame_present_flag && !s.field_pic_flag)
      s.delta_pic_order_cnt[1] = H264ReadSe(br);
  }
  s.redundant_pic_cnt = 0;
  if (pps.redundant_pic_cnt_present_flag) {
    s.redundant_pic_cnt = H264ReadUe(br);
    if (s.redundant_pic_cnt > 0) return kErrRedundant;
  }
  bool isP = s.slice_type == kH264SliceP || s.slice_type == kH264SliceSP;
  bool isB = s.slice_type == kH264SliceB;
  s.direct_spatial_mv_pred_flag = isB ? H264ReadFlag(br) : 0;
  s.num_ref_idx_l0_active_minus1 = pps.num_ref_idx_l0_default_active_minus1;
  s.num_ref_idx_l1_active_minus1 = pps.num_ref_idx_l1_default_active_minus1;
  s.num_ref_idx_active_override_flag = 0;
  if (isP || isB) {
    s.num_ref_idx_active_override_flag = H264ReadFlag(br);
    if (s.num_ref_idx_active_override_flag) {
      s.num_ref_idx_l0_active_minus1 = H264ReadUe(br);
      if (s.num_ref_idx_l0_active_minus1 > 31) return kErrRefIdxL0;
      if (isB) {
        s.num_ref_idx_l1_active_minus1 = H264ReadUe(br);
        if (s.num_ref_idx_l1_active_minus1 > 31) return kErrRefIdxL1;
      }
    }
  }
  s.ref_pic_list_modification_flag[0] = s.ref_pic_list_modification_flag[1] = 0;
  s.refListCommands[0][0].idc = s.refListCommands[1][0].idc = 3;
  if (isP || isB) {
    for (int l = 0; l < (isB ? 2 : 1); ++l) {
      s.ref_pic_list_modification_flag[l] = H264ReadFlag(br);
      if (s.ref_pic_list_modification_flag[l] && ReadRefListCommands(br, s.refListCommands[l])) return kErrRefLists;
    }
  }
  s.wpMode = 0;
  for (int l = 0; l < 2; ++l)
    for (int i = 0; i < kH264MaxRefs; ++i) {
      s.lumaWeight[l][i] = s.lumaOffset[l][i] = 0;
      for (int j = 0; j < 2; ++j) s.chromaWeight[l][i][j] = s.chromaOffset[l][i][j] = 0;
    }
  if ((pps.weighted_pred_flag && isP) || (pps.weighted_bipred_idc == 1 && isB)) {
    s.wpMode = 1;
    int r = ReadPredWeightTable(ctx);
    if (r) return r;
    s.lumaRound = s.luma_log2_weight_denom ? 1 << (s.luma_log2_weight_denom - 1) : 0;
    s.chromaRound = s.chroma_log2_weight_denom ? 1 << (s.chroma_log2_weight_denom - 1) : 0;
  } else if (pps.weighted_bipred_idc == 2 && isB) {
    s.wpMode = 2;
  }
  s.no_output_of_prior_pics_flag = s.long_term_reference_flag = s.adaptive_ref_pic_marking_mode_flag = 0;
  s.mmcoCount = 0;
  if (s.nal_ref_idc != 0) {
    if (s.idrPicFlag) {
      s.no_output_of_prior_pics_flag = H264ReadFlag(br);
      s.long_term_reference_flag = H264ReadFlag(br);
    } else {
      s.adaptive_ref_pic_marking_mode_flag = H264ReadFlag(br);
      if (s.adaptive_ref_pic_marking_mode_flag) {
        for (int i = 0; i < kH264MaxMmco; ++i) {
          H264Mmco& m = s.mmco[i];
          std::memset(&m, 0, sizeof m);
          m.op = i == kH264MaxMmco - 1 ? 0 : H264ReadUe(br);
          s.mmcoCount = static_cast<uint32_t>(i + 1);
          if (m.op == 0) break;
          if (m.op > 6) return kErrMmco;
          if (m.op == 1 || m.op == 3) m.difference_of_pic_nums_minus1 = H264ReadUe(br);
          if (m.op == 2) m.long_term_pic_num = H264ReadUe(br);
          if (m.op == 3 || m.op == 6) m.long_term_frame_idx = H264ReadUe(br);
          if (m.op == 4) m.max_long_term_frame_idx_plus1 = H264ReadUe(br);
        }
      }
    }
  }
  s.cabac_init_idc = 0;
  if (pps.entropy_coding_mode_flag && s.slice_type != kH264SliceI && s.slice_type != kH264SliceSI) {
    s.cabac_init_idc = H264ReadUe(br);
    if (s.cabac_init_idc > 2) return kErrCabacInitIdc;
  }
  s.slice_qp_delta = H264ReadSe(br);
  int64_t sliceQp = 26 + static_cast<int64_t>(pps.pic_init_qp_minus26) + s.slice_qp_delta;
  if (sliceQp < 0 || sliceQp > 51) return kErrSliceQp;
  if (s.slice_type == kH264SliceSP || s.slice_type == kH264SliceSI) {
    if (s.slice_type == kH264SliceSP) H264ReadFlag(br);  // sp_for_switch_flag
    H264ReadSe(br);                                      // slice_qs_delta
  }
  s.disable_deblocking_filter_idc = 0;
  s.slice_alpha_c0_offset_div2 = s.slice_beta_offset_div2 = 0;
  if (pps.deblocking_filter_control_present_flag) {
    s.disable_deblocking_filter_idc = H264ReadUe(br);
    if (s.disable_deblocking_filter_idc != 1) {
      s.slice_alpha_c0_offset_div2 = H264ReadSe(br);
      s.slice_beta_offset_div2 = H264ReadSe(br);
      if (s.slice_alpha_c0_offset_div2 < -6 || s.slice_alpha_c0_offset_div2 > 6 || s.slice_beta_offset_div2 < -6 ||
          s.slice_beta_offset_div2 > 6)
        return kErrFilterOffsets;
    }
    if (s.disable_deblocking_filter_idc > 2) s.disable_deblocking_filter_idc = 0;
  }
  return 0;
}

void H264DecSaveSliceState(H264DecContext* ctx) {
  const H264SliceHeader& s = ctx->slice;
  H264SavedSliceState& p = ctx->saved;
  p.pic_parameter_set_id = s.pic_parameter_set_id;
  p.frame_num = s.frame_num;
  p.field_pic_flag = s.field_pic_flag;
  if (s.field_pic_flag) p.bottom_field_flag = s.bottom_field_flag;
  p.nal_ref_idc = s.nal_ref_idc;
  p.nal_unit_type = s.nal_unit_type;
  if (s.idrPicFlag) p.idr_pic_id = s.idr_pic_id;
  if (ctx->activeSps.pic_order_cnt_type == 0) {
    p.pic_order_cnt_lsb = s.pic_order_cnt_lsb;
    p.delta_pic_order_cnt_bottom = s.delta_pic_order_cnt_bottom;
  } else if (ctx->activeSps.pic_order_cnt_type == 1) {
    p.delta_pic_order_cnt[0] = s.delta_pic_order_cnt[0];
    p.delta_pic_order_cnt[1] = s.delta_pic_order_cnt[1];
  }
}

int H264DecNalUnit(H264DecContext* ctx, uint32_t codedSize) {
  H264DecBitReader* br = &ctx->br;
  H264ReadFlag(br);  // forbidden_zero_bit
  uint32_t refIdc = H264ReadBits(2, br);
  uint32_t type = H264ReadBits(5, br);
  switch (type) {
    case 1:
    case 5:
      ctx->slice.nal_ref_idc = refIdc;
      ctx->slice.nal_unit_type = type;
      ctx->slice.idrPicFlag = type == 5;
      ctx->slice.outputFlag = 1;
      return DecodeSlice(ctx, codedSize);
    case 14:
    case 20: {
      uint32_t ext = H264ReadBits(24, br);
      if (!((ext >> 15) & 1)) return kErrInterLayerPred;
      if ((ext >> 8) & 15) return kErrQualityId;
      if (type == 14) return kH264NalNewPicture;
      ctx->slice.nal_ref_idc = refIdc;
      ctx->slice.nal_unit_type = 1;
      ctx->slice.idrPicFlag = (ext >> 22) & 1;
      if (ctx->slice.idrPicFlag) ctx->slice.nal_unit_type = 5;
      ctx->slice.outputFlag = (ext >> 2) & 1;
      return DecodeSlice(ctx, codedSize);
    }
    case 6:
      return ParseSei(ctx);
    case 7:
    case 15: {
      H264DecWaitWorkers(ctx);
      int r = H264DecParseSps(ctx, static_cast<int>(type));
      if (r == kH264NalSps && ctx->streamState == kH264NothingReceived) ctx->streamState = kH264SpsReceived;
      return r;
    }
    case 8: {
      H264DecWaitWorkers(ctx);
      int r = H264DecParsePps(ctx);
      if (r == kH264NalPps && ctx->streamState == kH264SpsReceived) ctx->streamState = kH264PpsReceived;
      return r;
    }
    case 9:
    case 10:
    case 12:
      return kH264NalOther;
    case 11:
      return kH264NalEndOfStream;
    default:
      return kErrNalType;
  }
}
