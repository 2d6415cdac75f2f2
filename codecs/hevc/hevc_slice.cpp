// Slice segment header and the single-threaded slice-data loop.
#include <cstring>

#include "codecs/hevc/hevc_internal.h"

namespace hevc {

#define SH_FAIL(...)             \
  do {                           \
    HEVC_ERR(dec, __VA_ARGS__);  \
    return IH265D_ERR_SLICEHEADER; \
  } while (0)

namespace {

int ParsePredWeightTable(HevcDecoder* dec, HevcBitReader* br) {
  HevcSliceHeader& sh = dec->stSh;
  uint32_t denom = HevcReadUe(br);
  if (denom > 7) {
    HEVC_ERR(dec, "IH265D_Decode : the value of luma_log2_weight_denom is %d, it should be in the range of 0~7!\n",
             static_cast<int>(denom));
    return -1;
  }
  sh.luma_log2_weight_denom = static_cast<int32_t>(denom);
  int64_t cd = static_cast<int64_t>(denom) + HevcReadSe(br);
  if (cd < 0 || cd > 7) {
    HEVC_ERR(dec, "IH265D_Decode : the value of chroma_log2_weight_denom is %d, it should be in the range of 0~7!\n",
             static_cast<int>(cd));
    return -1;
  }
  sh.ChromaLog2WeightDenom = static_cast<int32_t>(cd);
  const int lists = sh.slice_type == 0 ? 2 : 1;
  for (int l = 0; l < lists; ++l) {
    const int n = l == 0 ? sh.num_ref_idx_l0_active : sh.num_ref_idx_l1_active;
    int lf[16] = {}, cf[16] = {};
    for (int i = 0; i < n; ++i) {
      lf[i] = HevcReadBit(br);
      if (!lf[i]) {
        sh.LumaWeight[l][i] = static_cast<int16_t>(1 << denom);
        sh.LumaOffset[l][i] = 0;
      }
    }
    for (int i = 0; i < n; ++i) cf[i] = HevcReadBit(br);
    for (int i = 0; i < n; ++i) {
      if (lf[i]) {
        int32_t dw = HevcReadSe(br);
        if (dw < -128 || dw > 127) {
          HEVC_ERR(dec, l ? "IH265D_Decode : the value of delta_luma_weight_l1 is %d, when luma_weight_l1_flag is 1, "
                            "delta_luma_weight_l1 should be in the range of -128~127!\n"
                          : "IH265D_Decode : the value of delta_luma_weight_l0 is %d, when luma_weight_l0_flag is 1, "
                            "delta_luma_weight_l0 should be in the range of -128~127!\n",
                   dw);
          return -1;
        }
        sh.LumaWeight[l][i] = static_cast<int16_t>((1 << denom) + dw);
        int32_t off = HevcReadSe(br);
        if (off < -128 || off > 127) {
          HEVC_ERR(dec, l ? "IH265D_Decode : the value of asLumaOffsetL1 is %d, when luma_weight_l1_flag is 1, "
                            "asLumaOffsetL1 should be in the range of -128~127!\n"
                          : "IH265D_Decode : the value of asLumaOffsetL0 is %d, when luma_weight_l0_flag is 1, "
                            "asLumaOffsetL0 should be in the range of -128~127!\n",
                   off);
          return -1;
        }
        sh.LumaOffset[l][i] = static_cast<int16_t>(off);
      }
      for (int j = 0; j < 2; ++j) {
        if (cf[i]) {
          int32_t dw = HevcReadSe(br), doff = HevcReadSe(br);
          if (dw < -128 || dw > 127) {
            HEVC_ERR(dec, l ? "IH265D_Decode : the value of delta_chroma_weight_l1 is %d, when chroma_weight_l1_flag is 1, "
                              "delta_chroma_weight_l1 should be in the range of -128~127!\n"
                            : "IH265D_Decode : the value of delta_chroma_weight_l0 is %d, when chroma_weight_l0_flag is 1, "
                              "delta_chroma_weight_l0 should be in the range of -128~127!\n",
                     dw);
            return -1;
          }
          if (doff < -512 || doff > 511) {
            HEVC_ERR(dec, l ? "IH265D_Decode : the value of delta_chroma_offset_l1 is %d, delta_chroma_offset_l1 should be "
                              "in the range of -512~511!\n"
                            : "IH265D_Decode : the value of delta_chroma_offset_l0 is %d, delta_chroma_offset_l0 should be "
                              "in the range of -512~511!\n",
                     doff);
            return -1;
          }
          int w = (1 << cd) + dw;
          int o = doff - ((128 * w) >> cd) + 128;
          sh.ChromaWeight[l][i][j] = static_cast<int16_t>(w);
          sh.ChromaOffset[l][i][j] = static_cast<int16_t>(o < -128 ? -128 : o > 127 ? 127 : o);
        } else {
          sh.ChromaWeight[l][i][j] = static_cast<int16_t>(1 << cd);
          sh.ChromaOffset[l][i][j] = 0;
        }
      }
    }
  }
  return 0;
}

}  // namespace

int32_t HevcParseSliceHeader(HevcDecoder* dec, HevcBitReader* br) { return HevcParseSliceHeaderVariant(dec, br, 0); }

int32_t HevcParseSliceHeaderAu(HevcDecoder* dec) {
  dec->stNal = dec->stFirstSliceNal;
  return HevcParseSliceHeaderVariant(dec, &dec->stBr, 1);
}

int32_t HevcParseSliceHeaderJob(HevcDecoder* dec, HevcBitReader* br, const HevcNalHeader* nal) {
  dec->stNal = *nal;
  return HevcParseSliceHeaderVariant(dec, br, 2);
}

int32_t HevcParseSliceIds(HevcDecoder* dec, HevcBitReader* br, const HevcNalHeader* nal) {
  if (HevcReadBit(br)) return 0;
  if (nal->nal_unit_type >= 16 && nal->nal_unit_type <= 23) HevcReadBit(br);
  uint32_t ppsId = HevcReadUe(br);
  if (ppsId > 63 || !dec->apPps[ppsId]->iValid) return IH265D_ERR_SLICEHEADER;
  return dec->apPps[ppsId]->dependent_slice_segments_enabled_flag ? static_cast<int32_t>(HevcReadBit(br)) : 0;
}

int32_t HevcParseSliceHeaderVariant(HevcDecoder* dec, HevcBitReader* br, int variant) {
  HevcSliceHeader& sh = dec->stSh;
  HevcPictureInfo& pic = dec->stPic;
  const int type = dec->stNal.nal_unit_type;
  sh.dependent_slice_segment_flag = 0;
  sh.first_slice_segment_in_pic_flag = HevcReadBit(br);
  if (sh.first_slice_segment_in_pic_flag) {
    pic.bFirstSliceDone = 0;
  } else if (pic.bFirstSliceDone && dec->stNal.TemporalId != pic.iFirstSliceTid) {
    SH_FAIL("IH265D_Decode : the value of nuh_temporal_id is %d, it is not equal to firstSliceSegment nuh_temporal_id!\n",
            dec->stNal.TemporalId);
  }
  if (type >= 16 && type <= 23) sh.no_output_of_prior_pics_flag = HevcReadBit(br);
  uint32_t ppsId = HevcReadUe(br);
  if (ppsId > 63)
    SH_FAIL("IH265D_Decode : the value of slice_pic_parameter_set_id is %d, it should be in the range of 0~63!\n",
            static_cast<int>(ppsId));
  HevcPps* pps = dec->apPps[ppsId];
  if (!pps->iValid)
    SH_FAIL("IH265D_Decode : The ID of PPS that current SliceHeader refered is %d, which is not exist!\n",
            static_cast<int>(ppsId));
  const HevcSps* sps = dec->apSps[pps->pps_seq_parameter_set_id];
  if (!sps->iValid)
    SH_FAIL("IH265D_Decode : The ID of SPS that current Slice refered is %d, which is not exist!\n",
            pps->pps_seq_parameter_set_id);
  const HevcVps* vps = dec->apVps[sps->sps_video_parameter_set_id];
  if (!vps->iValid)
    SH_FAIL("IH265D_Decode : The ID of VPS that current Slice refered is %d, which is not exist!\n",
            sps->sps_video_parameter_set_id);
  // the handle's buffers and maps are sized for its maximum picture
  if (!HevcSpsFits(dec, sps)) {
    const bool wide = sps->pic_width_in_luma_samples > dec->iMaxWidth;
    if (wide)
      HEVC_ERR(dec, "IH265D_Decode : PicWidthInSamplesY is %d, should be less than or equal to %d!\n",
               sps->pic_width_in_luma_samples, dec->iMaxWidth);
    else
      HEVC_ERR(dec, "IH265D_Decode : PicHeightInSamplesY is %d, should be less than or equal to %d!\n",
               sps->pic_height_in_luma_samples, dec->iMaxHeight);
    return wide ? IH265D_ERR_WIDTH : IH265D_ERR_HEIGHT;
  }
  // A PPS was derived from the SPS it named when it arrived; when that SPS was
  // replaced since, its tile maps and factors are derived again for the new one.
  if (pps->pDerivedFrom != sps || pps->uiSpsGeneration != sps->uiGeneration) {
    if (HevcDerivePpsFromSps(dec, pps, sps))
      SH_FAIL("IH265D_Decode : The tiles of PPS %d do not fit the picture of SPS %d!\n", static_cast<int>(ppsId),
              pps->pps_seq_parameter_set_id);
  }
  sh.slice_pic_parameter_set_id = static_cast<int32_t>(ppsId);
  dec->pPps = pps;
  dec->pSps = sps;
  dec->pVps = vps;
  dec->HighestTid = sps->sps_max_sub_layers_minus1;
  const int picSize = sps->PicWidthInCtbsY * sps->PicHeightInCtbsY;
  if (sh.first_slice_segment_in_pic_flag) {
    sh.slice_segment_address = 0;
    dec->SliceAddrRs = 0;
  } else {
    if (pps->dependent_slice_segments_enabled_flag) sh.dependent_slice_segment_flag = HevcReadBit(br);
    const int bits = HevcCeilLog2(picSize);
    uint32_t addr = bits ? HevcReadBits(br, bits) : 0;
    if (addr >= static_cast<uint32_t>(picSize))
      SH_FAIL("IH265D_Decode : the value of slice_segment_address is %d, it should be less than PicSizeInCtbsY,whose "
              "value is %d !\n",
              static_cast<int>(addr), picSize);
    sh.slice_segment_address = static_cast<int32_t>(addr);
    if (!sh.dependent_slice_segment_flag) {
      dec->SliceAddrRs = sh.slice_segment_address;
      dec->bIndependentDone = 0;
    } else if (!dec->bIndependentDone) {
      SH_FAIL("IH265D_Decode : the independent slice segment header is invalid !\n");
    }
  }
  if (!sh.dependent_slice_segment_flag) {
    sh.pic_output_flag = 1;
    sh.colour_plane_id = 0;
    sh.slice_pic_order_cnt_lsb = 0;
    sh.short_term_ref_pic_set_sps_flag = 0;
    sh.pShortTermRps = nullptr;
    sh.short_term_ref_pic_set_idx = 0;
    sh.num_long_term_sps = sh.num_long_term_pics = 0;
    std::memset(sh.delta_poc_msb_cycle_lt, 0, sizeof sh.delta_poc_msb_cycle_lt);
    std::memset(sh.delta_poc_msb_present_flag, 0, sizeof sh.delta_poc_msb_present_flag);
    sh.slice_temporal_mvp_enabled_flag = 0;
    sh.slice_sao_luma_flag = sh.slice_sao_chroma_flag = 0;
    sh.num_ref_idx_active_override_flag = 0;
    sh.num_ref_idx_l0_active = pps->num_ref_idx_l0_default_active_minus1 + 1;
    sh.num_ref_idx_l1_active = pps->num_ref_idx_l1_default_active_minus1 + 1;
    sh.ref_pic_list_modification_flag_l0 = sh.ref_pic_list_modification_flag_l1 = 0;
    sh.mvd_l1_zero_flag = sh.cabac_init_flag = 0;
    sh.collocated_from_l0_flag = 1;
    sh.collocated_ref_idx = 0;
    sh.slice_qp_delta = sh.slice_cb_qp_offset = sh.slice_cr_qp_offset = 0;
    sh.deblocking_filter_override_flag = 0;
    sh.slice_deblocking_filter_disabled_flag = pps->pps_deblocking_filter_disabled_flag;
    sh.slice_beta_offset = pps->beta_offset;
    sh.slice_tc_offset = pps->tc_offset;
    sh.slice_loop_filter_across_slices_enabled_flag = pps->pps_loop_filter_across_slices_enabled_flag;
    HevcSkipBits(br, pps->num_extra_slice_header_bits);
    uint32_t st = HevcReadUe(br);
    if (st > 2)
      SH_FAIL("IH265D_Decode : the value of slice_type is %d, it should be in the range of 0~2!\n", static_cast<int>(st));
    const int tid = dec->stNal.TemporalId;
    if (st != 2 && ((type >= 16 && type <= 23) || sps->sps_max_dec_pic_buffering[tid < 7 ? tid : 6] == 1))
      SH_FAIL("IH265D_Decode : the value of slice_type is %d, it should be equal to 2!\n", static_cast<int>(st));
    sh.slice_type = static_cast<int32_t>(st);
    dec->iSliceType = sh.slice_type;
    if (pps->output_flag_present_flag) sh.pic_output_flag = HevcReadBit(br);
    int32_t poc = 0;
    if (type == 19 || type == 20) {
      if (sh.first_slice_segment_in_pic_flag) HevcUpdatePrevTid0Pic(dec);
      std::memset(&dec->stRps, 0, sizeof dec->stRps);
    } else {
      sh.slice_pic_order_cnt_lsb = static_cast<int32_t>(HevcReadBits(br, sps->log2_max_pic_order_cnt_lsb));
      if (sh.first_slice_segment_in_pic_flag) {
        HevcUpdatePrevTid0Pic(dec);
        poc = HevcComputePoc(dec);
      } else {
        if (!pic.bFirstSliceDone || !dec->pCurPic)
          SH_FAIL("IH265D_Decode : the first slice segment in pic is not valid, can't get the poc!\n");
        poc = dec->pCurPic->iPoc;
      }
      sh.short_term_ref_pic_set_sps_flag = HevcReadBit(br);
      const int nSets = sps->num_short_term_ref_pic_sets;
      if (sh.short_term_ref_pic_set_sps_flag) {
        if (nSets == 0)
          SH_FAIL("IH265D_Decode : the value of short_term_ref_pic_set_sps_flag is %d, it should be 0 when "
                  "num_short_term_ref_pic_sets is 0!\n",
                  1);
        uint32_t idx = nSets > 1 ? HevcReadBits(br, HevcCeilLog2(nSets)) : 0;
        // the index is read with enough bits for the next power of two: bound it by the count
        if (idx >= static_cast<uint32_t>(nSets))
          SH_FAIL("IH265D_Decode : the value of short_term_ref_pic_set_idx is %d, it should be in the range of 0~%d!\n",
                  static_cast<int>(idx), nSets - 1);
        sh.short_term_ref_pic_set_idx = static_cast<int32_t>(idx);
      } else {
        HevcSps* wsps = const_cast<HevcSps*>(sps);
        if (HevcParseShortTermRps(dec, wsps, br, nSets, nSets, &wsps->rps[nSets])) return IH265D_ERR_SLICEHEADER;
        sh.short_term_ref_pic_set_idx = nSets;
      }
      sh.pShortTermRps = &sps->rps[sh.short_term_ref_pic_set_idx];
      if (sps->long_term_ref_pics_present_flag) {
        const int maxLt = sps->sps_max_dec_pic_buffering[sps->sps_max_sub_layers_minus1] - 1;
        uint32_t nsps = 0;
        if (sps->num_long_term_ref_pics_sps > 0) {
          nsps = HevcReadUe(br);
          if (nsps > static_cast<uint32_t>(sps->num_long_term_ref_pics_sps))
            SH_FAIL("IH265D_Decode : the value of num_long_term_sps is %d, it should be in the range of "
                    "0~num_long_term_ref_pics_sps!\n",
                    static_cast<int>(nsps));
        }
        uint32_t npics = HevcReadUe(br);
        if (npics > static_cast<uint32_t>(maxLt))
          SH_FAIL("IH265D_Decode : the value of num_long_term_pics is %d, it should not be bigger than "
                  "sps_max_dec_pic_buffering_minus1[sps_max_sub_layers_minus1]!\n",
                  static_cast<int>(npics));
        if (nsps + npics > static_cast<uint32_t>(maxLt))
          SH_FAIL("IH265D_Decode : the value of uiNumLtRps is %d, it should not be bigger than "
                  "sps_max_dec_pic_buffering_minus1[sps_max_sub_layers_minus1]!\n",
                  static_cast<int>(nsps + npics));
        sh.num_long_term_sps = static_cast<int32_t>(nsps);
        sh.num_long_term_pics = static_cast<int32_t>(npics);
        for (uint32_t i = 0; i < nsps + npics; ++i) {
          if (i < nsps) {
            uint32_t lt = sps->num_long_term_ref_pics_sps > 1
                              ? HevcReadBits(br, HevcCeilLog2(sps->num_long_term_ref_pics_sps))
                              : 0;
            if (lt >= static_cast<uint32_t>(sps->num_long_term_ref_pics_sps))
              SH_FAIL("IH265D_Decode : the value of lt_idx_sps is %d, it should be in the range of "
                      "0~num_long_term_ref_pics_sps-1!\n",
                      static_cast<int>(lt));
            sh.lt_idx_sps[i] = static_cast<int32_t>(lt);
          } else {
            sh.poc_lsb_lt[i] = static_cast<int32_t>(HevcReadBits(br, sps->log2_max_pic_order_cnt_lsb));
            sh.used_by_curr_pic_lt_flag[i] = HevcReadBit(br);
          }
          sh.delta_poc_msb_present_flag[i] = HevcReadBit(br);
          sh.delta_poc_msb_cycle_lt[i] =
              sh.delta_poc_msb_present_flag[i] ? static_cast<int32_t>(HevcReadUe(br) & 0x7FFFFFFF) : 0;
        }
      }
      HevcApplyRps(dec, poc, &dec->stRps);
      if (sps->sps_temporal_mvp_enabled_flag) sh.slice_temporal_mvp_enabled_flag = HevcReadBit(br);
    }
    dec->iCurPoc = poc;
    if (sps->sample_adaptive_offset_enabled_flag) {
      sh.slice_sao_luma_flag = HevcReadBit(br);
      sh.slice_sao_chroma_flag = HevcReadBit(br);
    }
    if (sh.slice_type != 2) {
      const HevcRpsLists& r = dec->stRps;
      const int total = r.list[0].iNum + r.list[1].iNum + r.list[3].iNum;
      if (type >= 16 && type <= 21 && total)
        HEVC_WARN(dec, "IH265D_Decode : The NALU Type is %d, the variable NumPocTotalCurr should be equal to 0!\n", type);
      if (total > dec->iMaxRefNum) {
        HEVC_ERR(dec, "IH265D_Decode : The value of RefPic is %d, should be less than or equal to %d!\n", total,
                 dec->iMaxRefNum);
        return IH265D_ERR_REFNUM;
      }
      if (total < 1)
        SH_FAIL("IH265D_Decode : the value of NumPocTotalCurr is %d, it should be greater than or equal to 1!\n", total);
      if (sh.slice_type == 1) sh.num_ref_idx_l1_active = 0;
      sh.num_ref_idx_active_override_flag = HevcReadBit(br);
      if (sh.num_ref_idx_active_override_flag) {
        uint32_t v = HevcReadUe(br) + 1u;
        if (v < 1 || v > 15)
          SH_FAIL("IH265D_Decode : the value of num_ref_idx_l0_active is %d, it should be in the range of 1~15!\n",
                  static_cast<int>(v));
        sh.num_ref_idx_l0_active = static_cast<int32_t>(v);
        if (sh.slice_type == 0) {
          v = HevcReadUe(br) + 1u;
          if (v < 1 || v > 15)
            SH_FAIL("IH265D_Decode : the value of num_ref_idx_l1_active is %d, it should be in the range of 1~15!\n",
                    static_cast<int>(v));
          sh.num_ref_idx_l1_active = static_cast<int32_t>(v);
        }
      }
      if (pps->lists_modification_present_flag && total > 1) {
        const int bits = HevcCeilLog2(total);
        sh.ref_pic_list_modification_flag_l0 = HevcReadBit(br);
        if (sh.ref_pic_list_modification_flag_l0)
          for (int i = 0; i < sh.num_ref_idx_l0_active; ++i) {
            uint32_t e = HevcReadBits(br, bits);
            if (e >= static_cast<uint32_t>(total))
              SH_FAIL("IH265D_Decode : the value of pstSliceHeader->list_entry_l0[i] is %d, it should be in the range "
                      "of 0~iNumPocTotalCurr -1!\n",
                      static_cast<int>(e));
            sh.list_entry_l0[i] = static_cast<int32_t>(e);
          }
        if (sh.slice_type == 0) {
          sh.ref_pic_list_modification_flag_l1 = HevcReadBit(br);
          if (sh.ref_pic_list_modification_flag_l1)
            for (int i = 0; i < sh.num_ref_idx_l1_active; ++i) {
              uint32_t e = HevcReadBits(br, bits);
              if (e >= static_cast<uint32_t>(total))
                SH_FAIL("IH265D_Decode : the value of pstSliceHeader->list_entry_l1[i] is %d, it should be in the "
                        "range of 0~iNumPocTotalCurr -1!\n",
                        static_cast<int>(e));
              sh.list_entry_l1[i] = static_cast<int32_t>(e);
            }
        }
      }
      if (HevcBuildRefLists(dec, &dec->stRps, poc))
        dec->MessageFxn(dec->iChannel, variant ? 0 : 1, "IH265D_Decode : some of the refrence frames is not exist!\n");
      if (sh.slice_type == 0) sh.mvd_l1_zero_flag = HevcReadBit(br);
      if (pps->cabac_init_present_flag) sh.cabac_init_flag = HevcReadBit(br);
      if (sh.slice_temporal_mvp_enabled_flag) {
        if (sh.slice_type == 0) sh.collocated_from_l0_flag = HevcReadBit(br);
        const int active = sh.collocated_from_l0_flag ? sh.num_ref_idx_l0_active : sh.num_ref_idx_l1_active;
        if (active > 1) {
          uint32_t c = HevcReadUe(br);
          // bounded by the list it names, not only by the largest list
          if (c > 14 || c >= static_cast<uint32_t>(active))
            SH_FAIL("IH265D_Decode : the value of collocated_ref_idx is %d, it should be in the range of 0~%d!\n",
                    static_cast<int>(c), active - 1);
          sh.collocated_ref_idx = static_cast<int32_t>(c);
        }
      }
      if ((pps->weighted_pred_flag && sh.slice_type == 1) || (pps->weighted_bipred_flag && sh.slice_type == 0))
        if (ParsePredWeightTable(dec, br)) return IH265D_ERR_SLICEHEADER;
      uint32_t m = HevcReadUe(br);
      if (m > 4)
        SH_FAIL("IH265D_Decode : the value of max_num_merge_cand is %d, it should be in the range of 1~5!\n",
                5 - static_cast<int>(m > 5 ? 5 : m));
      sh.MaxNumMergeCand = 5 - static_cast<int32_t>(m);
    } else {
      sh.num_ref_idx_l0_active = sh.num_ref_idx_l1_active = 0;
      dec->stRefList[0].iNum = dec->stRefList[1].iNum = 0;
    }
    sh.slice_qp_delta = HevcReadSe(br);
    if (pps->pps_slice_chroma_qp_offsets_present_flag) {
      int32_t cb = HevcReadSe(br), cr = HevcReadSe(br);
      if (cb < -12 || cb > 12)
        SH_FAIL("IH265D_Decode : the value of slice_cb_qp_offset is %d, it should be in the range of -12~12!\n", cb);
      if (cr < -12 || cr > 12)
        SH_FAIL("IH265D_Decode : the value of slice_cr_qp_offset is %d, it should be in the range of -12~12!\n", cr);
      sh.slice_cb_qp_offset = cb;
      sh.slice_cr_qp_offset = cr;
    }
    if (pps->deblocking_filter_override_enabled_flag) sh.deblocking_filter_override_flag = HevcReadBit(br);
    if (sh.deblocking_filter_override_flag) {
      sh.slice_deblocking_filter_disabled_flag = HevcReadBit(br);
      if (!sh.slice_deblocking_filter_disabled_flag) {
        int64_t beta = static_cast<int64_t>(HevcReadSe(br)) * 2, tc = static_cast<int64_t>(HevcReadSe(br)) * 2;
        if (beta < -12 || beta > 12)
          SH_FAIL("IH265D_Decode : the value of slice_beta_offset is %d, it should be in the range of -12~12!\n",
                  static_cast<int>(beta));
        if (tc < -12 || tc > 12)
          SH_FAIL("IH265D_Decode : the value of slice_tc_offset is %d, it should be in the range of -12~12!\n",
                  static_cast<int>(tc));
        sh.slice_beta_offset = static_cast<int32_t>(beta);
        sh.slice_tc_offset = static_cast<int32_t>(tc);
      }
    }
    if (pps->pps_loop_filter_across_slices_enabled_flag &&
        (sh.slice_sao_luma_flag || sh.slice_sao_chroma_flag || !sh.slice_deblocking_filter_disabled_flag))
      sh.slice_loop_filter_across_slices_enabled_flag = HevcReadBit(br);
    // the slice QP drives every table lookup that follows: keep it in 0..51
    int64_t qp = 26 + static_cast<int64_t>(pps->init_qp_minus26) + sh.slice_qp_delta;
    if (qp < 0 || qp > 51)
      SH_FAIL("IH265D_Decode : the value of SliceQpY is %d, it should be in the range of 0~51!\n",
              static_cast<int>(qp < -1000 ? -1000 : qp > 1000 ? 1000 : qp));
    if (sh.first_slice_segment_in_pic_flag) {
      HevcStartPicture(dec, poc, &dec->stRps);
      if (!dec->pCurPic) SH_FAIL("IH265D_Decode : failed to allocate DPB!\n");
    }
    dec->bIndependentDone = 1;
  }
  sh.num_entry_point_offsets = 0;
  if (pps->tiles_enabled_flag || pps->entropy_coding_sync_enabled_flag) {
    uint32_t n = HevcReadUe(br);
    if (pps->tiles_enabled_flag && n > static_cast<uint32_t>(pps->num_tile_columns * pps->num_tile_rows - 1))
      SH_FAIL("IH265D_Decode : the value of num_entry_point_offsets is error,it is bigger than "
              "pstCurPPS->num_tile_columns * pstCurPPS->num_tile_rows-1\n");
    if (pps->entropy_coding_sync_enabled_flag && n > static_cast<uint32_t>(sps->PicHeightInCtbsY - 1))
      SH_FAIL("IH265D_Decode : the value of num_entry_point_offsets is error,it is bigger than "
              "pstCurSPS->pic_height_in_ctbs-1\n");
    sh.num_entry_point_offsets = static_cast<int32_t>(n);
    if (n) {
      uint32_t len = HevcReadUe(br) + 1u;
      if (len < 1 || len > 32)
        SH_FAIL("IH265D_Decode : the value of offset_len is %d, it should be in the range of 1~32!\n",
                static_cast<int>(len));
      sh.offset_len = static_cast<int32_t>(len);
      for (uint32_t i = 0; i < n; ++i) sh.entry_point_offset_minus1 = static_cast<int32_t>(HevcReadBits(br, len));
    }
  }
  if (pps->slice_segment_header_extension_present_flag) {
    uint32_t len = HevcReadUe(br);
    if (len > 256)
      SH_FAIL("IH265D_Decode : the value of slice_segment_header_extension_length is %d, it should be in the range of "
              "0~256!\n",
              static_cast<int>(len));
    HevcSkipBits(br, static_cast<int64_t>(len) * 8);
  }
  sh.SliceQpY = 26 + pps->init_qp_minus26 + sh.slice_qp_delta;
  if (sh.first_slice_segment_in_pic_flag) {
    pic.bFirstSliceDone = 1;
    pic.iFirstSliceTid = dec->stNal.TemporalId;
  }
  if (dec->pCurPic && dec->iSliceType < dec->pCurPic->iMinSliceType) dec->pCurPic->iMinSliceType = dec->iSliceType;
  return 0;
}

void HevcClearPictureMaps(HevcDecoder* dec) {
  const HevcPictureInfo& g = dec->stPic;
  const size_t n4 = static_cast<size_t>(dec->iMap4Stride) * g.iHeight4;
  std::memset(dec->pCodedMap, 0, n4);
  std::memset(dec->pPredModeMap, 0xFF, n4);
  std::memset(dec->pPcmBypassMap, 0, static_cast<size_t>(dec->iMap4Stride / 2) * g.iHeight8);
  std::memset(dec->pSaoDoneMap, 0, g.PicSizeInCtbsY);
  HevcStartPictureMotion(dec);
  for (int c = 0; c < 3; ++c) {
    const int sh = c ? 1 : 0;
    dec->apSaoPlane[c] =
        dec->apSaoBase[c] + static_cast<ptrdiff_t>(kPadY >> sh) * (c ? g.iStrideC : g.iStride) + (kPadX >> sh);
  }
}

void HevcSetCtuGeometry(const HevcSps* sps, HevcCtu* ctu) {
  ctu->iLog2CtbSize = sps->CtbLog2SizeY;
  ctu->iCtbSize = sps->CtbSizeY;
  ctu->iLog2MinCbSize = sps->MinCbLog2SizeY;
  ctu->iLog2MinTbSize = sps->log2_min_luma_transform_block_size;
  ctu->iCtbWidthC = ctu->iCtbHeightC = sps->CtbSizeY >> 1;
}

// The per-slice-segment resets before its CTUs: references checked, the QP
// of a segment without QP deltas fixed, CABAC started on the slice data.
int32_t HevcSliceDataResets(HevcDecoder* dec) {
  const HevcSliceHeader& sh = dec->stSh;
  HevcCabac* cabac = dec->pCabac;
  if (dec->iSliceType != 2 && HevcCheckReferences(dec)) {
    HEVC_ERR(dec, "IH265D_Decode : some of the refrence frames is not exist!\n");
    return IH265D_ERR_SLICEHEADER;
  }
  if (!sh.dependent_slice_segment_flag) cabac->iFirstQgFlag = 1;
  cabac->iQgX = cabac->iQgY = -1;
  if (!dec->pPps->cu_qp_delta_enabled_flag || !sh.dependent_slice_segment_flag) cabac->iQpY = sh.SliceQpY;
  // slice data starts after the alignment bit and the zero bits up to the byte boundary
  HevcBitReader* br = &dec->stBr;
  int64_t bytePos = (br->pos + 1 + 7) >> 3;
  if (bytePos > br->length) bytePos = br->length;
  HevcCabacStart(cabac, br->data + bytePos, br->data + br->length);
  return 0;
}

int32_t HevcStartSliceDataJob(HevcDecoder* dec) { return HevcSliceDataResets(dec); }

int32_t HevcPrepareSliceData(HevcDecoder* dec) {
  const HevcPps* pps = dec->pPps;
  const HevcSliceHeader& sh = dec->stSh;
  HevcSetCtuGeometry(dec->pSps, dec->pCtu);
  if (sh.first_slice_segment_in_pic_flag) {
    dec->LcuCnt = 0;
    dec->pCtu->iTileStartX = 0;
    HevcClearPictureMaps(dec);
  }
  const int ts = pps->CtbAddrRsToTs[sh.slice_segment_address];
  if (ts != dec->LcuCnt) {
    HEVC_ERR(dec, "IH265D_Decode : the Curcent iCtbAddrTs is %d,the last decode LcuCnt is %d!\n", ts, dec->LcuCnt);
    return IH265D_ERR_SLICEDATA;
  }
  return HevcSliceDataResets(dec);
}

int32_t HevcStartSliceData(HevcDecoder* dec) {
  const HevcSps* sps = dec->pSps;
  const HevcPps* pps = dec->pPps;
  HevcPictureInfo& g = dec->stPic;
  HevcCtu* ctu = dec->pCtu;
  int32_t r0 = HevcPrepareSliceData(dec);
  if (r0) return r0;
  int ts = pps->CtbAddrRsToTs[dec->stSh.slice_segment_address];
  for (;;) {
    if (ts >= g.PicSizeInCtbsY) {
      int nSps = 0;
      for (int i = 0; i < 16; ++i) nSps += dec->apSps[i]->iValid;
      if (nSps > 1) {
        HEVC_ERR(dec, "IH265D_Decode : the iCtbAddrTs is %d,it should not be bigger than %d!\n", ts, g.PicSizeInCtbsY - 1);
        return IH265D_ERR_SLICEDATA;
      }
      HEVC_WARN(dec, "IH265D_Decode : the iCtbAddrTs is %d,it should not be bigger than %d!\n", ts, g.PicSizeInCtbsY - 1);
      break;
    }
    int rs = pps->CtbAddrTsToRs[ts];
    if (rs < 0 || rs >= g.PicSizeInCtbsY) {
      HEVC_ERR(dec, "IH265D_Decode : the iCtbAddrRs is %d,it should not be bigger than %d!\n", rs, g.PicSizeInCtbsY - 1);
      return IH265D_ERR_SLICEDATA;
    }
    ctu->iCtbX = rs % g.PicWidthInCtbsY;
    ctu->iCtbY = rs / g.PicWidthInCtbsY;
    ctu->iPixX = ctu->iCtbX << sps->CtbLog2SizeY;
    ctu->iPixY = ctu->iCtbY << sps->CtbLog2SizeY;
    HevcInitCtuCabac(dec, ts);
    HevcResetCtuState(dec, ctu);
    int32_t r = HevcDecodeCtu(dec, ctu);
    if (r) {
      dec->LcuCnt = ts;
      return r;
    }
    HevcSaveWppContexts(dec, ts);
    ++ts;
    HevcReconstructCtu(dec, ctu);
    dec->pCtbDoneMap[rs] = 1;
    HevcStoreCtuMotion(dec, ctu);
    HevcFilterCtu(dec, ctu);
    if (ctu->iEndOfSliceSegment) break;
  }
  dec->LcuCnt = ts;
  if (ts >= g.PicSizeInCtbsY) {
    HevcPadPicture(dec);
    dec->pCurPic->iDecoded = 1;
    HevcPicture* p = dec->pCurPic;
    p->aiSettled[0] = p->iPicWidth, p->aiSettled[1] = p->iPicHeight, p->aiSettled[2] = p->iPicStride;
  }
  return 0;
}

}  // namespace hevc
