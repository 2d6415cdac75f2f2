// Video and sequence parameter sets with profile_tier_level, VUI, HRD,
// short-term reference picture sets and scaling lists.
#include <cstring>

#include "codecs/hevc/hevc_internal.h"
#include "codecs/hevc/hevc_tables.h"

namespace hevc {
namespace {

#define FAIL(...)                 \
  do {                            \
    HEVC_ERR(dec, __VA_ARGS__);   \
    return -1;                    \
  } while (0)

void HevcParseProfileTierLevel(HevcDecoder* dec, HevcBitReader* br, HevcProfileTierLevel* ptl, int maxSub) {
  ptl->general_profile_space = HevcReadBits(br, 2);
  ptl->general_tier_flag = HevcReadBit(br);
  ptl->general_profile_idc = HevcReadBits(br, 5);
  for (int j = 0; j < 32; ++j) ptl->general_profile_compatibility_flag[j] = HevcReadBit(br);
  ptl->general_progressive_source_flag = HevcReadBit(br);
  ptl->general_interlaced_source_flag = HevcReadBit(br);
  ptl->general_non_packed_constraint_flag = HevcReadBit(br);
  ptl->general_frame_only_constraint_flag = HevcReadBit(br);
  HevcSkipBits(br, 44);
  ptl->general_level_idc = HevcReadBits(br, 8);
  if (ptl->general_profile_space != 0)
    HEVC_WARN(dec, "IH265D_Decode : The value of general_profile_space is %d, should be equal to 0!\n",
              ptl->general_profile_space);
  if (!(ptl->general_profile_idc == 1 && ptl->general_profile_compatibility_flag[1] &&
        ptl->general_profile_compatibility_flag[2]))
    HEVC_WARN(dec,
              "IH265D_Decode : The value of general_profile_idc and pstPTL->general_profile_compatibility_flag[1] and "
              "pstPTL->general_profile_compatibility_flag[2] should all equal to 1, which is %d, %d and %d!\n",
              ptl->general_profile_idc, ptl->general_profile_compatibility_flag[1],
              ptl->general_profile_compatibility_flag[2]);
  if (ptl->general_level_idc > 186)
    HEVC_WARN(dec, "IH265D_Decode : The value of general_level_idc is %d, should not be bigger than 186!\n",
              ptl->general_level_idc);
  for (int i = 0; i < maxSub; ++i) {
    ptl->sub_layer_profile_present_flag[i] = HevcReadBit(br);
    ptl->sub_layer_level_present_flag[i] = HevcReadBit(br);
  }
  if (maxSub > 0)
    for (int i = maxSub; i < 8; ++i) HevcSkipBits(br, 2);
  for (int i = 0; i < maxSub; ++i) {
    if (ptl->sub_layer_profile_present_flag[i]) {
      HevcSkipBits(br, 3);
      ptl->sub_layer_profile_idc[i] = HevcReadBits(br, 5);
      HevcSkipBits(br, 32 + 4 + 43 + 1);
    }
    if (ptl->sub_layer_level_present_flag[i]) ptl->sub_layer_level_idc[i] = HevcReadBits(br, 8);
  }
}

int DecodeSubLayerHrd(HevcDecoder* dec, HevcBitReader* br, int cpbCnt, int subPic) {
  uint32_t prevRate = 0, prevSize = 0, prevDuSize = 0, prevDuRate = 0;
  for (int k = 0; k <= cpbCnt; ++k) {
    uint32_t rate = HevcReadUe(br), size = HevcReadUe(br);
    if (rate == 0xFFFFFFFFu) FAIL("IH265D_Decode : The value of bit_rate_value_minus1 is out of the range of 0~2^32-2!\n");
    if (k > 0 && rate <= prevRate)
      FAIL("IH265D_Decode : The value of bit_rate_value_minus1[i] is less than bit_rate_value_minus1[i-1]!\n");
    if (size == 0xFFFFFFFFu) FAIL("IH265D_Decode : The value of cpb_size_value_minus1 is out of the range of 0~2^32-2!\n");
    if (k > 0 && size > prevSize)
      FAIL("IH265D_Decode : The value of cpb_size_value_minus1[i] is greater than cpb_size_value_minus1[i-1]!\n");
    prevRate = rate;
    prevSize = size;
    if (subPic) {
      uint32_t duSize = HevcReadUe(br), duRate = HevcReadUe(br);
      if (duSize == 0xFFFFFFFFu)
        FAIL("IH265D_Decode : The value of cpb_size_du_value_minus1 is out of the range of 0~2^32-2!\n");
      if (k > 0 && duSize > prevDuSize)
        FAIL("IH265D_Decode : The value of cpb_size_du_value_minus1[i] is greater than cpb_size_du_value_minus1[i-1]!\n");
      if (duRate == 0xFFFFFFFFu)
        FAIL("IH265D_Decode : The value of bit_rate_du_value_minus1 is out of the range of 0~2^32-2!\n");
      if (k > 0 && duRate <= prevDuRate)
        FAIL("IH265D_Decode : The value of bit_rate_du_value_minus1[i] is not bigger than bit_rate_du_value_minus1[i-1]!\n");
      prevDuSize = duSize;
      prevDuRate = duRate;
    }
    HevcReadBit(br);  // cbr_flag
  }
  return 0;
}

int DecodeHRD(HevcDecoder* dec, HevcHrd* hrd, HevcBitReader* br, int common, int maxSub) {
  if (common) {
    hrd->nal_hrd_parameters_present_flag = HevcReadBit(br);
    hrd->vcl_hrd_parameters_present_flag = HevcReadBit(br);
    if (hrd->nal_hrd_parameters_present_flag || hrd->vcl_hrd_parameters_present_flag) {
      hrd->sub_pic_hrd_params_present_flag = HevcReadBit(br);
      if (hrd->sub_pic_hrd_params_present_flag) HevcSkipBits(br, 8 + 5 + 1 + 5);
      HevcSkipBits(br, 4 + 4);
      if (hrd->sub_pic_hrd_params_present_flag) HevcSkipBits(br, 4);
      HevcSkipBits(br, 5 + 5 + 5);
    }
  }
  for (int i = 0; i <= maxSub; ++i) {
    hrd->fixed_pic_rate_general_flag[i] = HevcReadBit(br);
    hrd->fixed_pic_rate_within_cvs_flag[i] = hrd->fixed_pic_rate_general_flag[i] ? 1 : HevcReadBit(br);
    hrd->low_delay_hrd_flag[i] = 0;
    hrd->cpb_cnt_minus1[i] = 0;
    if (hrd->fixed_pic_rate_within_cvs_flag[i]) {
      uint32_t v = HevcReadUe(br);
      if (v > 2047)
        FAIL("IH265D_Decode : The value of elemental_duration_in_tc_minus1[%d] is %d, should be less than 2048!\n", i,
             static_cast<int>(v));
      hrd->elemental_duration_in_tc_minus1[i] = static_cast<int32_t>(v);
    } else {
      hrd->low_delay_hrd_flag[i] = HevcReadBit(br);
    }
    if (!hrd->low_delay_hrd_flag[i]) {
      uint32_t v = HevcReadUe(br);
      if (v > 31)
        FAIL("IH265D_Decode : The value of cpb_cnt_minus1[%d] is %d, should be less than 32!\n", i,
             static_cast<int>(v));
      hrd->cpb_cnt_minus1[i] = static_cast<int32_t>(v);
    }
    if (hrd->nal_hrd_parameters_present_flag &&
        DecodeSubLayerHrd(dec, br, hrd->cpb_cnt_minus1[i], hrd->sub_pic_hrd_params_present_flag))
      return -1;
    if (hrd->vcl_hrd_parameters_present_flag &&
        DecodeSubLayerHrd(dec, br, hrd->cpb_cnt_minus1[i], hrd->sub_pic_hrd_params_present_flag))
      return -1;
  }
  return 0;
}

int HevcParseVui(HevcDecoder* dec, const HevcVps* vps, HevcSps* sps, HevcBitReader* br) {
  if (HevcReadBit(br)) {
    sps->aspect_ratio_idc = HevcReadBits(br, 8);
    if (sps->aspect_ratio_idc == 255) {
      sps->sar_width = HevcReadBits(br, 16);
      sps->sar_height = HevcReadBits(br, 16);
    }
  }
  if (HevcReadBit(br)) HevcReadBit(br);  // overscan
  if (HevcReadBit(br)) {
    sps->video_format = HevcReadBits(br, 3);
    if (sps->video_format > 5) sps->video_format = 5;
    sps->video_full_range_flag = HevcReadBit(br);
    if (HevcReadBit(br)) {
      sps->colour_primaries = HevcReadBits(br, 8);
      if (sps->colour_primaries == 0 || sps->colour_primaries > 9) sps->colour_primaries = 2;
      sps->transfer_characteristics = HevcReadBits(br, 8);
      if (sps->transfer_characteristics == 0 || sps->transfer_characteristics > 15) sps->transfer_characteristics = 2;
      sps->matrix_coeffs = HevcReadBits(br, 8);
      if ((sps->matrix_coeffs == 0 || sps->matrix_coeffs == 8) && sps->BitDepthC != sps->BitDepthY)
        FAIL("IH265D_Decode : the value of matrix_coeffs is error !\n");
      if (sps->video_full_range_flag && (sps->matrix_coeffs == 3 || sps->matrix_coeffs > 10)) sps->matrix_coeffs = 2;
    }
  }
  if (HevcReadBit(br)) {
    uint32_t top = HevcReadUe(br), bottom = HevcReadUe(br);
    if (top > 5) FAIL("IH265D_Decode : the value of chroma_sample_loc_type_top_field is error !\n");
    if (bottom > 5) FAIL("IH265D_Decode : the value of chroma_sample_loc_type_bottom_field is error !\n");
  }
  HevcReadBit(br);  // neutral_chroma_indication_flag
  sps->field_seq_flag = HevcReadBit(br);
  if (sps->field_seq_flag && sps->ptl.general_frame_only_constraint_flag)
    FAIL("IH265D_Decode : the value of field_seq_flag is error !\n");
  sps->frame_field_info_present_flag = HevcReadBit(br);
  if (!sps->frame_field_info_present_flag &&
      (sps->field_seq_flag ||
       (sps->ptl.general_progressive_source_flag && sps->ptl.general_interlaced_source_flag)))
    FAIL("IH265D_Decode : the value of frame_field_info_present_flag is error !\n");
  if (HevcReadBit(br)) {
    uint32_t l = HevcReadUe(br), r = HevcReadUe(br), t = HevcReadUe(br), b = HevcReadUe(br);
    if ((static_cast<int64_t>(l) + r) * 2 >= sps->pic_width_in_luma_samples)
      FAIL("IH265D_Decode : The value of conf_win_left_offset and conf_win_right_offset is error!\n");
    if ((static_cast<int64_t>(t) + b) * 2 >= sps->pic_height_in_luma_samples)
      FAIL("IH265D_Decode : The value of conf_win_top_offset and conf_win_bottom_offset is error!\n");
    sps->def_disp_win_left_offset = static_cast<int32_t>(l);
    sps->def_disp_win_right_offset = static_cast<int32_t>(r);
    sps->def_disp_win_top_offset = static_cast<int32_t>(t);
    sps->def_disp_win_bottom_offset = static_cast<int32_t>(b);
  }
  sps->vui_num_units_in_tick = 1001;
  sps->vui_time_scale = 60000;
  if (HevcReadBit(br)) {
    sps->vui_num_units_in_tick = HevcReadBits(br, 32);
    sps->vui_time_scale = HevcReadBits(br, 32);
    if (sps->vui_num_units_in_tick == 0) FAIL("IH265D_Decode : the value of vui_num_units_in_tick is error !\n");
    if (sps->vui_time_scale == 0) FAIL("IH265D_Decode : the value of vui_time_scale is error !\n");
    int prop = HevcReadBit(br);
    if (vps->vps_timing_info_present_flag && vps->vps_poc_proportional_to_timing_flag && !prop)
      FAIL("IH265D_Decode : the value of vui_poc_proportional_to_timing_flag should be equal to "
           "vps_poc_proportional_to_timing_flag!\n");
    if (prop) {
      uint32_t ticks = HevcReadUe(br);
      if (ticks == 0xFFFFFFFFu)
        FAIL("IH265D_Decode : The value of vui_num_ticks_poc_diff_one_minus1 is out of the range of 0~2^32-2!\n");
      if (vps->vps_timing_info_present_flag && vps->vps_poc_proportional_to_timing_flag &&
          ticks != vps->vps_num_ticks_poc_diff_one_minus1)
        FAIL("IH265D_Decode : The value of vui_num_ticks_poc_diff_one_minus1 is not equal to "
             "vps_num_ticks_poc_diff_one_minus1!\n");
    }
    if (HevcReadBit(br) && DecodeHRD(dec, &sps->hrd, br, 1, sps->sps_max_sub_layers_minus1))
      FAIL("IH265D_Decode : DecodeHRD is error !\n");
  }
  sps->bitstream_restriction_flag = HevcReadBit(br);
  if (sps->bitstream_restriction_flag) {
    HevcSkipBits(br, 3);  // tiles_fixed, mv over boundaries, restricted lists
    uint32_t v = HevcReadUe(br);
    if (v > 4095)
      FAIL("IH265D_Decode : the value of min_spatial_segmentation_idc is %d,it should be in the range of 0~4095!\n",
           static_cast<int>(v));
    v = HevcReadUe(br);
    if (v > 16)
      FAIL("IH265D_Decode : the value of max_bytes_per_pic_denom is %d,it should be less than 17!\n", static_cast<int>(v));
    v = HevcReadUe(br);
    if (v > 16)
      FAIL("IH265D_Decode : the value of max_bits_per_min_cu_denom is %d,it should be less than 17!\n",
           static_cast<int>(v));
    v = HevcReadUe(br);
    if (v > 16)
      FAIL("IH265D_Decode : the value of log2_max_mv_length_horizontal is %d,it should be less than 17!\n",
           static_cast<int>(v));
    v = HevcReadUe(br);
    if (v > 15)
      FAIL("IH265D_Decode : the value of log2_max_mv_length_vertical is %d,it should be less than 16!\n",
           static_cast<int>(v));
  }
  return 0;
}

int PredictInterRps(HevcDecoder* dec, const HevcStRps* ref, int deltaRps, const int* used, const int* useDelta,
                    int maxPics, HevcStRps* out) {
  int i = 0;
  // negative pictures: the reference's positive ones from the last, deltaRps, then its negative ones
  for (int j = ref->NumPositivePics - 1; j >= 0; --j) {
    int d = ref->DeltaPocS1[j] + deltaRps;
    if (d < 0 && useDelta[ref->NumNegativePics + j]) {
      if (i >= 16) return -1;
      out->DeltaPocS0[i] = d;
      out->UsedByCurrPicS0[i++] = used[ref->NumNegativePics + j];
    }
  }
  int n = ref->NumNegativePics + ref->NumPositivePics;
  if (deltaRps < 0 && useDelta[n]) {
    if (i >= 16) return -1;
    out->DeltaPocS0[i] = deltaRps;
    out->UsedByCurrPicS0[i++] = used[n];
  }
  for (int j = 0; j < ref->NumNegativePics; ++j) {
    int d = ref->DeltaPocS0[j] + deltaRps;
    if (d < 0 && useDelta[j]) {
      if (i >= 16) return -1;
      out->DeltaPocS0[i] = d;
      out->UsedByCurrPicS0[i++] = used[j];
    }
  }
  out->NumNegativePics = i;
  i = 0;
  for (int j = ref->NumNegativePics - 1; j >= 0; --j) {
    int d = ref->DeltaPocS0[j] + deltaRps;
    if (d > 0 && useDelta[j]) {
      if (i >= 16) return -1;
      out->DeltaPocS1[i] = d;
      out->UsedByCurrPicS1[i++] = used[j];
    }
  }
  if (deltaRps > 0 && useDelta[n]) {
    if (i >= 16) return -1;
    out->DeltaPocS1[i] = deltaRps;
    out->UsedByCurrPicS1[i++] = used[n];
  }
  for (int j = 0; j < ref->NumPositivePics; ++j) {
    int d = ref->DeltaPocS1[j] + deltaRps;
    if (d > 0 && useDelta[ref->NumNegativePics + j]) {
      if (i >= 16) return -1;
      out->DeltaPocS1[i] = d;
      out->UsedByCurrPicS1[i++] = used[ref->NumNegativePics + j];
    }
  }
  out->NumPositivePics = i;
  if (out->NumNegativePics + out->NumPositivePics > maxPics) return -1;
  return 0;
}

}  // namespace

int HevcParseShortTermRps(HevcDecoder* dec, HevcSps* sps, HevcBitReader* br, int idx, int num, HevcStRps* out) {
  out->derived = 0;
  // the limit of every set: what the picture buffer of the highest sub-layer can hold
  const int maxPics = sps->sps_max_dec_pic_buffering[sps->sps_max_sub_layers_minus1] - 1;
  int inter = idx > 0 ? HevcReadBit(br) : 0;
  if (inter) {
    uint32_t deltaIdx = 0;
    if (idx == num) {
      deltaIdx = HevcReadUe(br);
      if (deltaIdx > static_cast<uint32_t>(idx - 1))
        FAIL("IH265D_Decode : the value of delta_idx_minus1 is %d,it should be less than %d !\n",
             static_cast<int>(deltaIdx), idx);
    }
    int sign = HevcReadBit(br);
    uint32_t absDelta = HevcReadUe(br);
    if (absDelta > 32767)
      FAIL("IH265D_Decode : the value of abs_delta_rps_minus1 is %d,it should be in the range of 0~32767 !\n",
           static_cast<int>(absDelta));
    int refIdx = idx - (static_cast<int>(deltaIdx) + 1);
    const HevcStRps* ref = &sps->rps[refIdx];
    if (!ref->derived) FAIL("IH265D_Decode :  the %d-th candidate short-term RPS is not valid!\n", refIdx);
    int deltaRps = (1 - 2 * sign) * (static_cast<int>(absDelta) + 1);
    int used[33], useDelta[33];
    int n = ref->NumNegativePics + ref->NumPositivePics;
    for (int j = 0; j <= n; ++j) {
      used[j] = HevcReadBit(br);
      useDelta[j] = used[j] ? 1 : HevcReadBit(br);
    }
    if (PredictInterRps(dec, ref, deltaRps, used, useDelta, maxPics, out))
      FAIL("IH265D_Decode : the predicted short-term RPS has more than %d pictures!\n", maxPics);
  } else {
    uint32_t neg = HevcReadUe(br);
    if (neg > static_cast<uint32_t>(maxPics) + 1 || neg > 16)
      FAIL("IH265D_Decode : the value of num_negative_pics is %d,it should be less than sps_max_dec_pic_buffering !\n",
           static_cast<int>(neg));
    uint32_t pos = HevcReadUe(br);
    // both together must fit the picture buffer (and the arrays that hold them)
    if (pos > 16 || neg + pos > static_cast<uint32_t>(maxPics) || neg + pos > 16)
      FAIL("IH265D_Decode : the value of num_positive_pics is out of the range!\n");
    int poc = 0;
    for (uint32_t i = 0; i < neg; ++i) {
      uint32_t d = HevcReadUe(br);
      if (d > 32767)
        FAIL("IH265D_Decode : the value of delta_poc_s0_minus1 is %d,it should be less than 32768 !\n",
             static_cast<int>(d));
      poc -= static_cast<int>(d) + 1;
      out->DeltaPocS0[i] = poc;
      out->UsedByCurrPicS0[i] = HevcReadBit(br);
    }
    poc = 0;
    for (uint32_t i = 0; i < pos; ++i) {
      uint32_t d = HevcReadUe(br);
      if (d > 32767)
        FAIL("IH265D_Decode : the value of delta_poc_s1_minus1 is %d,it should be less than 32768 !\n",
             static_cast<int>(d));
      poc += static_cast<int>(d) + 1;
      out->DeltaPocS1[i] = poc;
      out->UsedByCurrPicS1[i] = HevcReadBit(br);
    }
    out->NumNegativePics = static_cast<int32_t>(neg);
    out->NumPositivePics = static_cast<int32_t>(pos);
  }
  out->derived = 1;
  return 0;
}

void HevcFlatScalingLists(HevcScalingList* sl) {
  std::memset(sl, 16, sizeof(*sl));
  std::memset(sl->pred_mode_flag, 0, sizeof sl->pred_mode_flag);
  std::memset(sl->pred_matrix_id_delta, 0, sizeof sl->pred_matrix_id_delta);
}

static void DefaultList(HevcScalingList* sl, int size, int m) {
  if (size == 0) {
    std::memcpy(sl->list[0][m], kHevcDefaultScaling4x4, 16);
  } else {
    bool intra = size == 3 ? m == 0 : m < 3;
    std::memcpy(sl->list[size][m], intra ? kHevcDefaultScalingIntra : kHevcDefaultScalingInter, 64);
  }
  sl->dc[size][m] = 16;
}

void HevcDefaultScalingLists(HevcScalingList* sl) {
  for (int size = 0; size < 4; ++size)
    for (int m = 0; m < (size == 3 ? 2 : 6); ++m) DefaultList(sl, size, m);
}

int HevcParseScalingListData(HevcDecoder* dec, HevcBitReader* br, HevcScalingList* sl) {
  for (int size = 0; size < 4; ++size) {
    const int nm = size == 3 ? 2 : 6;
    const int coefNum = size == 0 ? 16 : 64;
    for (int m = 0; m < nm; ++m) {
      sl->pred_mode_flag[size][m] = static_cast<uint8_t>(HevcReadBit(br));
      if (!sl->pred_mode_flag[size][m]) {
        uint32_t delta = HevcReadUe(br);
        if (delta > static_cast<uint32_t>(m))
          FAIL("IH265D_Decode : the value of scaling_list_pred_matrix_id_delta should be in the range of 0~iMatrixId !\n");
        sl->pred_matrix_id_delta[size][m] = static_cast<uint8_t>(delta);
        if (delta == 0) {
          DefaultList(sl, size, m);
        } else {
          int refM = m - static_cast<int>(delta);
          std::memcpy(sl->list[size][m], sl->list[size][refM], coefNum);
          sl->dc[size][m] = sl->dc[size][refM];
        }
      } else {
        int next = 8;
        if (size > 1) {
          int32_t dc = HevcReadSe(br);
          uint8_t v = static_cast<uint8_t>(dc + 8);
          if (dc < -7 || dc > 247 || v == 0)
            FAIL("IH265D_Decode : the value of scaling_list_dc_coef should be in the range of 1~255 !\n");
          sl->dc[size][m] = v;
          next = v;
        } else {
          sl->dc[size][m] = 16;
        }
        for (int i = 0; i < coefNum; ++i) {
          int32_t d = HevcReadSe(br);
          if (d < -128 || d > 127)
            FAIL("IH265D_Decode : the value of scaling_list_delta_coef should be in the range of -128~127 !\n");
          next = (next + d + 256) % 256;
          if (next == 0) FAIL("IH265D_Decode : the value of ScalingList should be bigger than 0 !\n");
          sl->list[size][m][i] = static_cast<uint8_t>(next);
        }
      }
    }
  }
  return 0;
}

void HevcDeriveScalingFactors(HevcPps* pps, const HevcSps* sps) {
  HevcScalingList flat;
  const HevcScalingList* sl;
  if (!sps->scaling_list_enabled_flag) {
    HevcFlatScalingLists(&flat);
    sl = &flat;
  } else {
    sl = pps->pps_scaling_list_data_present_flag ? &pps->scaling : &sps->scaling;
  }
  for (int size = 0; size < 4; ++size) {
    const int n = 4 << size;
    const int nm = size == 3 ? 2 : 6;
    const uint8_t* scan = size == 0 ? kHevcScan4x4Diag : kHevcScan8x8Diag;
    const int scanDim = size == 0 ? 4 : 8;
    const int rep = n / scanDim;
    for (int m = 0; m < nm; ++m) {
      uint8_t raster[64];
      for (int i = 0; i < scanDim * scanDim; ++i) raster[scan[i]] = sl->list[size][m][i];
      for (int q = 0; q < 6; ++q) {
        int16_t* f = pps->factor[size] + (m * 6 + q) * n * n;
        for (int y = 0; y < n; ++y)
          for (int x = 0; x < n; ++x) {
            int sf = raster[(x / rep) + (y / rep) * scanDim];
            if (size >= 2 && x == 0 && y == 0) sf = sl->dc[size][m];
            f[y * n + x] = static_cast<int16_t>(sf * kHevcLevelScale[q]);
          }
      }
    }
  }
}

int32_t HevcParseVps(HevcDecoder* dec, HevcBitReader* br) {
  int id = HevcReadBits(br, 4);
  HevcVps* vps = dec->apVps[id];
  vps->iValid = 0;
  vps->vps_video_parameter_set_id = id;
  HevcSkipBits(br, 2);
  vps->vps_max_layers_minus1 = HevcReadBits(br, 6);
  vps->vps_max_sub_layers_minus1 = HevcReadBits(br, 3);
  if (vps->vps_max_sub_layers_minus1 == 7) {
    HEVC_ERR(dec, "IH265D_Decode : The value of vps_max_sub_layers_minus1 is %d, which should be in the range of 0~6!\n",
             7);
    return IH265D_ERR_VPS;
  }
  vps->vps_temporal_id_nesting_flag = HevcReadBit(br);
  if (vps->vps_max_sub_layers_minus1 == 0 && vps->vps_temporal_id_nesting_flag != 1)
    HEVC_WARN(dec,
              "IH265D_Decode : when vps_max_sub_layers_minus1 is equal to 0,The value of vps_temporal_id_nesting_flag "
              "should be equal to 1, but now it is %d!\n",
              vps->vps_temporal_id_nesting_flag);
  HevcSkipBits(br, 16);
  HevcParseProfileTierLevel(dec, br, &vps->ptl, vps->vps_max_sub_layers_minus1);
  vps->vps_sub_layer_ordering_info_present_flag = HevcReadBit(br);
  const int maxSub = vps->vps_max_sub_layers_minus1;
  for (int i = vps->vps_sub_layer_ordering_info_present_flag ? 0 : maxSub; i <= maxSub; ++i) {
    uint32_t buf = HevcReadUe(br);
    uint32_t reorder = HevcReadUe(br);
    uint32_t lat = HevcReadUe(br);
    if (buf > 16) {
      HEVC_ERR(dec, "IH265D_Decode : The value of vps_max_dec_pic_buffering[%d] is %d, should be in the range of 1 ~ %d!\n",
               i, static_cast<int>(buf + 1), 18);
      return IH265D_ERR_VPS;
    }
    if (reorder > buf) {
      HEVC_ERR(dec, "IH265D_Decode : The value of vps_num_reorder_pics[%d] is bigger than  vps_max_dec_pic_buffering[%d]-1!\n",
               i, i);
      return IH265D_ERR_VPS;
    }
    if (lat == 0xFFFFFFFFu) {
      HEVC_ERR(dec, "IH265D_Decode : The value of vps_max_latency_increase_plus1[%d] is out of the range of 0~2^32-1!\n", i);
      return IH265D_ERR_VPS;
    }
    vps->vps_max_dec_pic_buffering[i] = static_cast<int32_t>(buf + 1);
    vps->vps_num_reorder_pics[i] = static_cast<int32_t>(reorder);
    vps->vps_max_latency_increase_plus1[i] = lat;
  }
  if (!vps->vps_sub_layer_ordering_info_present_flag)
    for (int i = 0; i < maxSub; ++i) {
      vps->vps_max_dec_pic_buffering[i] = vps->vps_max_dec_pic_buffering[maxSub];
      vps->vps_num_reorder_pics[i] = vps->vps_num_reorder_pics[maxSub];
      vps->vps_max_latency_increase_plus1[i] = vps->vps_max_latency_increase_plus1[maxSub];
    }
  vps->vps_max_layer_id = HevcReadBits(br, 6);
  uint32_t sets = HevcReadUe(br);
  if (sets > 1023) {
    HEVC_ERR(dec, "IH265D_Decode : The value of vps_num_layer_sets_minus1 is %d, it should be in the range of 0~1023!\n",
             static_cast<int>(sets));
    return IH265D_ERR_VPS;
  }
  if (sets) HEVC_WARN(dec, "IH265D_Decode : The value of vps_num_layer_sets_minus1 is %d, it should be equal to 0!\n", sets);
  vps->vps_num_layer_sets_minus1 = static_cast<int32_t>(sets);
  HevcSkipBits(br, static_cast<int64_t>(sets) * (vps->vps_max_layer_id + 1));
  std::memset(&vps->hrd, 0, sizeof vps->hrd);
  vps->vps_num_units_in_tick = 1001;
  vps->vps_time_scale = 60000;
  vps->vps_timing_info_present_flag = HevcReadBit(br);
  if (vps->vps_timing_info_present_flag) {
    vps->vps_num_units_in_tick = HevcReadBits(br, 32);
    vps->vps_time_scale = HevcReadBits(br, 32);
    if (!vps->vps_num_units_in_tick)
      HEVC_WARN(dec, "IH265D_Decode : The value of vps_num_units_in_tick is %d, should be bigger than 0!\n", 0);
    if (!vps->vps_time_scale)
      HEVC_WARN(dec, "IH265D_Decode : The value of vps_time_scale is %d, should be bigger than 0!\n", 0);
    vps->vps_poc_proportional_to_timing_flag = HevcReadBit(br);
    if (vps->vps_poc_proportional_to_timing_flag) {
      vps->vps_num_ticks_poc_diff_one_minus1 = HevcReadUe(br);
      if (vps->vps_num_ticks_poc_diff_one_minus1 == 0xFFFFFFFFu) {
        HEVC_ERR(dec, "IH265D_Decode : The value of vps_num_ticks_poc_diff_one_minus1 is out of the range of 0~2^32-1!\n");
        return IH265D_ERR_VPS;
      }
    }
    uint32_t nHrd = HevcReadUe(br);
    if (nHrd > 1024) {
      HEVC_ERR(dec, "IH265D_Decode : The value of vps_num_hrd_parameters is %d, it should be in the range of 0~1024!\n",
               static_cast<int>(nHrd));
      return IH265D_ERR_VPS;
    }
    if (nHrd > 1)
      HEVC_WARN(dec, "IH265D_Decode : The value of vps_num_hrd_parameters is %d, it should not be bigger than 1!\n", nHrd);
    vps->vps_num_hrd_parameters = static_cast<int32_t>(nHrd);
    for (uint32_t i = 0; i < nHrd; ++i) {
      uint32_t setIdx = HevcReadUe(br);
      if (setIdx > 1023) {
        HEVC_ERR(dec, "IH265D_Decode : The value of hrd_layer_set_idx is %d, it should be in the range of 0~1023!\n",
                 static_cast<int>(setIdx));
        return IH265D_ERR_VPS;
      }
      if (setIdx) HEVC_WARN(dec, "IH265D_Decode : The value of hrd_layer_set_idx is %d, it should be equal to 0!\n", setIdx);
      int cprms = i > 0 ? HevcReadBit(br) : 1;
      if (DecodeHRD(dec, &vps->hrd, br, cprms, vps->vps_max_sub_layers_minus1)) return IH265D_ERR_VPS;
    }
  }
  vps->iValid = 1;
  return 0;
}

int32_t HevcParseSps(HevcDecoder* dec, HevcBitReader* br) {
#define SPS_FAIL(...)              \
  do {                             \
    HEVC_ERR(dec, __VA_ARGS__);    \
    return IH265D_ERR_SPS;         \
  } while (0)
  int vpsId = HevcReadBits(br, 4);
  const HevcVps* vps = dec->apVps[vpsId];
  if (!vps->iValid) SPS_FAIL("IH265D_Decode : The ID of VPS that current SPS refered is %d, which is not exist!\n", vpsId);
  int maxSub = HevcReadBits(br, 3);
  if (maxSub == 7) SPS_FAIL("IH265D_Decode : The value of sps_max_sub_layers_minus1 is %d, should be less than 7 !\n", 7);
  int nesting = HevcReadBit(br);
  if ((maxSub == 0 || vps->vps_temporal_id_nesting_flag) && nesting != 1)
    HEVC_WARN(dec,
              "IH265D_Decode : when sps_max_sub_layers_minus1 is equal to 0 or vps_temporal_id_nesting_flag is equal to "
              "1,The value of sps_temporal_id_nesting_flag should be equal to 1, but now it is %d!\n",
              nesting);
  HevcProfileTierLevel ptl{};
  HevcParseProfileTierLevel(dec, br, &ptl, maxSub);
  uint32_t id = HevcReadUe(br);
  if (id > 15)
    SPS_FAIL("IH265D_Decode : The value of sps_seq_parameter_set_id is %d, should be less than 16!\n",
             static_cast<int>(id));
  HevcSps* sps = dec->apSps[id];
  const uint32_t generation = sps->uiGeneration;
  std::memset(sps, 0, sizeof *sps);
  sps->uiGeneration = generation;
  sps->sps_video_parameter_set_id = vpsId;
  sps->sps_max_sub_layers_minus1 = maxSub;
  sps->sps_temporal_id_nesting_flag = nesting;
  sps->ptl = ptl;
  sps->sps_seq_parameter_set_id = static_cast<int32_t>(id);
  uint32_t cf = HevcReadUe(br);
  if (cf != 1)
    SPS_FAIL("IH265D_Decode : The value of chroma_format_idc is %d, should be equal to 1!\n", static_cast<int>(cf));
  sps->chroma_format_idc = 1;
  uint32_t w = HevcReadUe(br), h = HevcReadUe(br);
  sps->conformance_window_flag = HevcReadBit(br);
  uint32_t cl = 0, cr = 0, ct = 0, cb = 0;
  if (sps->conformance_window_flag) {
    cl = HevcReadUe(br);
    cr = HevcReadUe(br);
    ct = HevcReadUe(br);
    cb = HevcReadUe(br);
    // in 64 bits: offsets near 2^32 must not wrap into a window that looks valid
    if (2ull * cl >= w || 2ull * cr >= w)
      SPS_FAIL("IH265D_Decode : The value of conf_win_left_offset or conf_win_right_offset is error!\n");
    if (2ull * (static_cast<uint64_t>(cl) + cr) >= w)
      SPS_FAIL("IH265D_Decode : The value of conf_win_left_offset and conf_win_right_offset is error!\n");
    if (2ull * ct >= h || 2ull * cb >= h || 2ull * (static_cast<uint64_t>(ct) + cb) >= h)
      SPS_FAIL("IH265D_Decode : The value of conf_win_top_offset and conf_win_bottom_offset is error!\n");
  }
  sps->conf_win_left_offset = static_cast<int32_t>(cl);
  sps->conf_win_right_offset = static_cast<int32_t>(cr);
  sps->conf_win_top_offset = static_cast<int32_t>(ct);
  sps->conf_win_bottom_offset = static_cast<int32_t>(cb);
  uint32_t bdY = HevcReadUe(br), bdC = HevcReadUe(br);
  if (bdY != 0) SPS_FAIL("IH265D_Decode : The value of bit_depth_luma is %d, should be equal to 8!\n", static_cast<int>(bdY + 8));
  if (bdC != 0)
    SPS_FAIL("IH265D_Decode : The value of bit_depth_chroma is %d, should be equal to 8!\n", static_cast<int>(bdC + 8));
  sps->BitDepthY = sps->BitDepthC = 8;
  uint32_t lsb = HevcReadUe(br);
  if (lsb > 12)
    SPS_FAIL("IH265D_Decode : The value of log2_max_pic_order_cnt_lsb is %d, should be less than 17!\n",
             static_cast<int>(lsb + 4));
  sps->log2_max_pic_order_cnt_lsb = static_cast<int32_t>(lsb + 4);
  sps->sps_sub_layer_ordering_info_present_flag = HevcReadBit(br);
  for (int i = sps->sps_sub_layer_ordering_info_present_flag ? 0 : maxSub; i <= maxSub; ++i) {
    uint32_t buf = HevcReadUe(br) + 1u;  // 0xFFFFFFFF wraps to 0 and fails below
    uint32_t reorder = HevcReadUe(br);
    uint32_t lat = HevcReadUe(br);
    if (buf < 1 || buf > 17)
      SPS_FAIL("IH265D_Decode : The value of pstSPS->temporal_layer[%d].sps_max_dec_pic_buffering is %d, should be less "
               "than %d!\n",
               i, static_cast<int>(buf), 18);
    if (static_cast<int>(buf) > vps->vps_max_dec_pic_buffering[i] && vps->vps_max_dec_pic_buffering[i] > 0)
      SPS_FAIL("IH265D_Decode : The value of pstSPS->temporal_layer[%d].sps_max_dec_pic_buffering is %d, should not be "
               "bigger than vps_max_dec_pic_buffering!\n",
               i, static_cast<int>(buf));
    if (i > 0 && sps->sps_sub_layer_ordering_info_present_flag && static_cast<int>(buf) < sps->sps_max_dec_pic_buffering[i - 1])
      SPS_FAIL("IH265D_Decode : The value of pstSPS->temporal_layer[%d].sps_max_dec_pic_buffering should not be less "
               "than The value of pstSPS->temporal_layer[%d].sps_max_dec_pic_buffering!\n",
               i, i - 1);
    if (reorder > buf - 1)
      SPS_FAIL("IH265D_Decode : The value of pstSPS->temporal_layer[%d].sps_max_num_reorder_pics is %d, should be less "
               "than 17!\n",
               i, static_cast<int>(reorder));
    if (static_cast<int>(reorder) > vps->vps_num_reorder_pics[i])
      SPS_FAIL("IH265D_Decode : The value of pstSPS->temporal_layer[%d].sps_max_num_reorder_pics is %d, should not be "
               "bigger than vps_num_reorder_pics!\n",
               i, static_cast<int>(reorder));
    if (i > 0 && sps->sps_sub_layer_ordering_info_present_flag && static_cast<int>(reorder) < sps->sps_max_num_reorder_pics[i - 1])
      SPS_FAIL("IH265D_Decode : The value of pstSPS->temporal_layer[%d].sps_max_num_reorder_pics is %d should not be "
               "less than The value of pstSPS->temporal_layer[%d].sps_max_num_reorder_pics!\n",
               i, static_cast<int>(reorder), i - 1);
    if (lat == 0xFFFFFFFFu)
      SPS_FAIL("IH265D_Decode : The value of sps_max_latency_increase_plus1 is %d, out of the range of 0~2^32-2!\n",
               static_cast<int>(lat));
    if (vps->vps_max_latency_increase_plus1[i] != 0 && lat == 0)
      SPS_FAIL("IH265D_Decode : The value of sps_max_latency_increase_plus1 is %d, it should not be equal to 0!\n",
               static_cast<int>(lat));
    if (vps->vps_max_latency_increase_plus1[i] != 0 && lat > vps->vps_max_latency_increase_plus1[i])
      SPS_FAIL("IH265D_Decode : The value of sps_max_latency_increase_plus1 is %d, should not be bigger than "
               "vps_max_latency_increase_plus1!\n",
               static_cast<int>(lat));
    sps->sps_max_dec_pic_buffering[i] = static_cast<int32_t>(buf);
    sps->sps_max_num_reorder_pics[i] = static_cast<int32_t>(reorder);
    sps->sps_max_latency_increase_plus1[i] = lat;
  }
  if (!sps->sps_sub_layer_ordering_info_present_flag)
    for (int i = 0; i < maxSub; ++i) {
      sps->sps_max_dec_pic_buffering[i] = sps->sps_max_dec_pic_buffering[maxSub];
      sps->sps_max_num_reorder_pics[i] = sps->sps_max_num_reorder_pics[maxSub];
      sps->sps_max_latency_increase_plus1[i] = sps->sps_max_latency_increase_plus1[maxSub];
    }
  uint32_t minCb = HevcReadUe(br) + 3u, diffCb = HevcReadUe(br);
  uint32_t minTb = HevcReadUe(br) + 2u, diffTb = HevcReadUe(br);
  uint32_t depthInter = HevcReadUe(br), depthIntra = HevcReadUe(br);
  if (minCb < 3 || minCb > 6)
    SPS_FAIL("IH265D_Decode : The value of log2_min_coding_block_size is %d, should be in the range of 3~6!\n",
             static_cast<int>(minCb));
  // every per-CTB map and kernel is built for CTBs of 16x16 up to 64x64
  if (diffCb > 3 || minCb + diffCb < 4 || minCb + diffCb > 6)
    SPS_FAIL("IH265D_Decode : The value of CtbLog2SizeY is %d, should be in the range of 4~6!\n",
             static_cast<int>(minCb + (diffCb > 3 ? 3 : diffCb)));
  if (w < 1 || w % (1u << minCb))
    SPS_FAIL("IH265D_Decode : The value of pic_width_in_luma_samples is %d, should be bigger than 0 and shall be an "
             "integer multiple of MinCbSizeY!\n",
             static_cast<int>(w));
  if (h < 1 || h % (1u << minCb))
    SPS_FAIL("IH265D_Decode : The value of pic_height_in_luma_samples is %d, should be bigger than 0 and shall be an "
             "integer multiple of MinCbSizeY!\n",
             static_cast<int>(h));
  // no handle takes more; a picture above this handle's maximum is refused
  // at its first slice (its SPS and PPS are kept, unused)
  if (w > static_cast<uint32_t>(kMaxSize))
    SPS_FAIL("IH265D_Decode : PicWidthInSamplesY is %d, should be less than or equal to %d!\n", static_cast<int>(w),
             kMaxSize);
  if (h > static_cast<uint32_t>(kMaxSize))
    SPS_FAIL("IH265D_Decode : PicHeightInSamplesY is %d, should be less than or equal to %d!\n", static_cast<int>(h),
             kMaxSize);
  if (minTb < 2 || minTb > 5)
    SPS_FAIL("IH265D_Decode : The value of log2_min_transform_block_size is %d, it should be in the range of 2~5!\n",
             static_cast<int>(minTb));
  if (minTb >= minCb)
    SPS_FAIL("IH265D_Decode : the value of log2_min_transform_block_size should less than log2_min_coding_block_size!\n");
  const int ctbLog2 = static_cast<int>(minCb + diffCb);
  if (diffTb > 3 || static_cast<int>(minTb + diffTb) > (ctbLog2 < 5 ? ctbLog2 : 5))
    SPS_FAIL("IH265D_Decode : the value of iLog2MaxTrafoSize is error!\n");
  if (depthInter > 4)
    SPS_FAIL("IH265D_Decode : the value of max_transform_hierarchy_depth_inter is %d,it should be less than 5 !\n",
             static_cast<int>(depthInter));
  if (depthIntra > 4)
    SPS_FAIL("IH265D_Decode : the value of max_transform_hierarchy_depth_intra is %d,it should be less than 5 !\n",
             static_cast<int>(depthIntra));
  sps->pic_width_in_luma_samples = static_cast<int32_t>(w);
  sps->pic_height_in_luma_samples = static_cast<int32_t>(h);
  sps->log2_min_luma_coding_block_size = static_cast<int32_t>(minCb);
  sps->log2_diff_max_min_luma_coding_block_size = static_cast<int32_t>(diffCb);
  sps->log2_min_luma_transform_block_size = static_cast<int32_t>(minTb);
  sps->log2_diff_max_min_luma_transform_block_size = static_cast<int32_t>(diffTb);
  sps->max_transform_hierarchy_depth_inter = static_cast<int32_t>(depthInter);
  sps->max_transform_hierarchy_depth_intra = static_cast<int32_t>(depthIntra);
  sps->scaling_list_enabled_flag = HevcReadBit(br);
  if (sps->scaling_list_enabled_flag) {
    sps->sps_scaling_list_data_present_flag = HevcReadBit(br);
    if (sps->sps_scaling_list_data_present_flag) {
      if (HevcParseScalingListData(dec, br, &sps->scaling)) return IH265D_ERR_SPS;
    } else {
      HevcDefaultScalingLists(&sps->scaling);
    }
  } else {
    HevcFlatScalingLists(&sps->scaling);
  }
  sps->amp_enabled_flag = HevcReadBit(br);
  sps->sample_adaptive_offset_enabled_flag = HevcReadBit(br);
  sps->pcm_enabled_flag = HevcReadBit(br);
  if (sps->pcm_enabled_flag) {
    sps->PcmBitDepthY = static_cast<int32_t>(HevcReadBits(br, 4)) + 1;
    sps->PcmBitDepthC = static_cast<int32_t>(HevcReadBits(br, 4)) + 1;
    if (sps->PcmBitDepthY > sps->BitDepthY) SPS_FAIL("IH265D_Decode : the value of pcm_bit_depth_luma is error !\n");
    if (sps->PcmBitDepthC > sps->BitDepthC)
      SPS_FAIL("IH265D_Decode : the value of pcm_sample_bit_depth_chroma is error !\n");
    uint32_t minPcm = HevcReadUe(br) + 3u, diffPcm = HevcReadUe(br);
    const uint32_t limit = ctbLog2 < 5 ? ctbLog2 : 5;
    if (minPcm < minCb || minPcm > limit)
      SPS_FAIL("IH265D_Decode : the value of log2_min_pcm_coding_block_size is error !\n");
    // the largest PCM block must fit the CTB as well
    if (diffPcm > limit || minPcm + diffPcm > limit)
      SPS_FAIL("IH265D_Decode : the value of log2_diff_max_min_pcm_luma_coding_block_size is error !\n");
    sps->Log2MinIpcmCbSizeY = static_cast<int32_t>(minPcm);
    sps->log2_diff_max_min_pcm_luma_coding_block_size = static_cast<int32_t>(diffPcm);
    sps->Log2MaxIpcmCbSizeY = static_cast<int32_t>(minPcm + diffPcm);
    sps->pcm_loop_filter_disabled_flag = HevcReadBit(br);
  }
  uint32_t nRps = HevcReadUe(br);
  if (nRps > 64)
    SPS_FAIL("IH265D_Decode : the value of num_short_term_ref_pic_sets is %d,it should be less than 65 !\n",
             static_cast<int>(nRps));
  sps->num_short_term_ref_pic_sets = static_cast<int32_t>(nRps);
  for (uint32_t i = 0; i < nRps; ++i)
    if (HevcParseShortTermRps(dec, sps, br, static_cast<int>(i), static_cast<int>(nRps), &sps->rps[i]))
      return IH265D_ERR_SPS;
  sps->long_term_ref_pics_present_flag = HevcReadBit(br);
  if (sps->long_term_ref_pics_present_flag) {
    uint32_t n = HevcReadUe(br);
    if (n > 32)
      SPS_FAIL("IH265D_Decode : the value of num_long_term_ref_pics_sps is %d,it should be in the range of 0~32 !\n",
               static_cast<int>(n));
    sps->num_long_term_ref_pics_sps = static_cast<int32_t>(n);
    for (uint32_t i = 0; i < n; ++i) {
      sps->lt_ref_pic_poc_lsb_sps[i] = static_cast<int32_t>(HevcReadBits(br, sps->log2_max_pic_order_cnt_lsb));
      sps->used_by_curr_pic_lt_sps_flag[i] = HevcReadBit(br);
    }
  }
  sps->sps_temporal_mvp_enabled_flag = HevcReadBit(br);
  sps->strong_intra_smoothing_enabled_flag = HevcReadBit(br);
  sps->video_format = 5;
  sps->colour_primaries = sps->transfer_characteristics = sps->matrix_coeffs = 2;
  sps->frame_field_info_present_flag =
      ptl.general_progressive_source_flag && ptl.general_interlaced_source_flag ? 1 : 0;
  sps->vui_num_units_in_tick = 1001;
  sps->vui_time_scale = 60000;
  sps->vui_parameters_present_flag = HevcReadBit(br);
  if (sps->vui_parameters_present_flag && HevcParseVui(dec, vps, sps, br)) return IH265D_ERR_SPS;
  if (HevcReadBit(br))
    while (HevcMoreRbspData(br)) HevcReadBit(br);
  sps->CtbLog2SizeY = ctbLog2;
  sps->CtbSizeY = 1 << ctbLog2;
  sps->MinCbLog2SizeY = static_cast<int32_t>(minCb);
  sps->PicWidthInCtbsY = (sps->pic_width_in_luma_samples + sps->CtbSizeY - 1) >> ctbLog2;
  sps->PicHeightInCtbsY = (sps->pic_height_in_luma_samples + sps->CtbSizeY - 1) >> ctbLog2;
  sps->Log2MaxTrafoSize = static_cast<int32_t>(minTb + diffTb);
  sps->uiGeneration = generation + 1;
  sps->iValid = 1;
  return 0;
#undef SPS_FAIL
}

}  // namespace hevc
