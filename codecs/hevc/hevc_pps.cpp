// Picture parameter sets, their tile maps and factor tables, and SEI.
#include <cstring>

#include "codecs/hevc/hevc_internal.h"

namespace hevc {

#define PPS_FAIL(...)            \
  do {                           \
    HEVC_ERR(dec, __VA_ARGS__);  \
    return IH265D_ERR_PPS;       \
  } while (0)

// Column widths and row heights from the PPS's coded sizes and the SPS's
// picture, then the scan maps. -1 when the tiles do not fit the picture.
int HevcBuildTileMaps(HevcDecoder* dec, const HevcSps* sps, HevcPps* pps) {
  const int wCtb = sps->PicWidthInCtbsY, hCtb = sps->PicHeightInCtbsY;
  const int cols = pps->num_tile_columns, rows = pps->num_tile_rows;
  if (cols < 1 || cols > wCtb || rows < 1 || rows > hCtb) return -1;
  int32_t* cw = dec->piTileColWidth;
  int32_t* rh = dec->piTileRowHeight;
  // uniform sizes, or the coded ones checked one by one and in sum so that
  // the last column (row) keeps at least one CTB
  auto sizes = [&](const int32_t* coded, int n, int total, int32_t* out) {
    int64_t sum = 0;
    for (int j = 0; j < n - 1; ++j) {
      if (pps->uniform_spacing_flag) {
        out[j] = ((j + 1) * total) / n - (j * total) / n;
      } else {
        if (coded[j] < 1 || coded[j] >= total) return false;
        out[j] = coded[j];
      }
      sum += out[j];
    }
    if (sum >= total) return false;
    out[n - 1] = static_cast<int32_t>(total - sum);
    return true;
  };
  if (!sizes(pps->column_width, cols, wCtb, cw) || !sizes(pps->row_height, rows, hCtb, rh)) return -1;
  pps->colBd[0] = 0;
  for (int i = 0; i < cols; ++i) pps->colBd[i + 1] = pps->colBd[i] + cw[i];
  pps->rowBd[0] = 0;
  for (int i = 0; i < rows; ++i) pps->rowBd[i + 1] = pps->rowBd[i] + rh[i];
  for (int rs = 0; rs < wCtb * hCtb; ++rs) {
    int tbX = rs % wCtb, tbY = rs / wCtb, tileX = 0, tileY = 0;
    for (int i = 0; i < cols; ++i)
      if (tbX >= pps->colBd[i]) tileX = i;
    for (int j = 0; j < rows; ++j)
      if (tbY >= pps->rowBd[j]) tileY = j;
    int v = 0;
    for (int i = 0; i < tileX; ++i) v += rh[tileY] * cw[i];
    for (int j = 0; j < tileY; ++j) v += wCtb * rh[j];
    v += (tbY - pps->rowBd[tileY]) * cw[tileX] + tbX - pps->colBd[tileX];
    pps->CtbAddrRsToTs[rs] = v;
    pps->CtbAddrTsToRs[v] = rs;
  }
  for (int j = 0, t = 0; j < rows; ++j)
    for (int i = 0; i < cols; ++i, ++t)
      for (int y = pps->rowBd[j]; y < pps->rowBd[j + 1]; ++y)
        for (int x = pps->colBd[i]; x < pps->colBd[i + 1]; ++x) pps->TileId[pps->CtbAddrRsToTs[y * wCtb + x]] = t;
  return 0;
}

int32_t HevcDerivePpsFromSps(HevcDecoder* dec, HevcPps* pps, const HevcSps* sps) {
  if (HevcBuildTileMaps(dec, sps, pps)) return -1;
  HevcDeriveScalingFactors(pps, sps);
  pps->pDerivedFrom = sps;
  pps->uiSpsGeneration = sps->uiGeneration;
  return 0;
}

int32_t HevcParsePps(HevcDecoder* dec, HevcBitReader* br) {
  uint32_t id = HevcReadUe(br);
  if (id > 63)
    PPS_FAIL("IH265D_Decode : the value of pps_pic_parameter_set_id is %d, it should be less than 64 !\n",
             static_cast<int>(id));
  HevcPps* pps = dec->apPps[id];
  pps->iValid = 0;
  pps->pps_pic_parameter_set_id = static_cast<int32_t>(id);
  uint32_t spsId = HevcReadUe(br);
  if (spsId > 15)
    PPS_FAIL("IH265D_Decode : the value of pps_seq_parameter_set_id is %d, it should be less than 16!\n",
             static_cast<int>(spsId));
  const HevcSps* sps = dec->apSps[spsId];
  if (!sps->iValid)
    PPS_FAIL("IH265D_Decode : The ID of SPS that current PPS refered is %d, which is not exist!\n",
             static_cast<int>(spsId));
  pps->pps_seq_parameter_set_id = static_cast<int32_t>(spsId);
  pps->dependent_slice_segments_enabled_flag = HevcReadBit(br);
  pps->output_flag_present_flag = HevcReadBit(br);
  pps->num_extra_slice_header_bits = HevcReadBits(br, 3);
  pps->sign_data_hiding_enabled_flag = HevcReadBit(br);
  pps->cabac_init_present_flag = HevcReadBit(br);
  uint32_t l0 = HevcReadUe(br), l1 = HevcReadUe(br);
  if (l0 > 14)
    PPS_FAIL("IH265D_Decode : the value of num_ref_idx_l0_default_active_minus1 is %d, it should be less than 15!\n",
             static_cast<int>(l0));
  if (l1 > 14)
    PPS_FAIL("IH265D_Decode : the value of num_ref_idx_l1_default_active_minus1 is %d, it should be less than 15!\n",
             static_cast<int>(l1));
  pps->num_ref_idx_l0_default_active_minus1 = static_cast<int32_t>(l0);
  pps->num_ref_idx_l1_default_active_minus1 = static_cast<int32_t>(l1);
  int32_t qp = HevcReadSe(br);
  if (qp < -26 || qp > 25)
    PPS_FAIL("IH265D_Decode : the value of init_qp_minus26 is %d, it should be in the range of -26 to 25!\n", qp);
  pps->init_qp_minus26 = qp;
  pps->constrained_intra_pred_flag = HevcReadBit(br);
  pps->transform_skip_enabled_flag = HevcReadBit(br);
  pps->cu_qp_delta_enabled_flag = HevcReadBit(br);
  pps->diff_cu_qp_delta_depth = 0;
  if (pps->cu_qp_delta_enabled_flag) {
    uint32_t d = HevcReadUe(br);
    if (d > static_cast<uint32_t>(sps->log2_diff_max_min_luma_coding_block_size))
      PPS_FAIL("IH265D_Decode : the value of diff_cu_qp_delta_depth is %d, it should be in the range of 0 to %d!\n",
               static_cast<int>(d), sps->log2_diff_max_min_luma_coding_block_size);
    pps->diff_cu_qp_delta_depth = static_cast<int32_t>(d);
  }
  int32_t cb = HevcReadSe(br), cr = HevcReadSe(br);
  if (cb < -12 || cb > 12)
    PPS_FAIL("IH265D_Decode : the value of pps_cb_qp_offset is %d, it should be in the range of -12 to 12!\n", cb);
  if (cr < -12 || cr > 12)
    PPS_FAIL("IH265D_Decode : the value of pps_cr_qp_offset is %d, it should be in the range of -12 to 12!\n", cr);
  pps->pps_cb_qp_offset = cb;
  pps->pps_cr_qp_offset = cr;
  pps->pps_slice_chroma_qp_offsets_present_flag = HevcReadBit(br);
  pps->weighted_pred_flag = HevcReadBit(br);
  pps->weighted_bipred_flag = HevcReadBit(br);
  pps->transquant_bypass_enabled_flag = HevcReadBit(br);
  pps->tiles_enabled_flag = HevcReadBit(br);
  pps->entropy_coding_sync_enabled_flag = HevcReadBit(br);
  if (pps->tiles_enabled_flag && pps->entropy_coding_sync_enabled_flag)
    PPS_FAIL("IH265D_Decode : tile and wpp can not be both open!\n");
  pps->loop_filter_across_tiles_enabled_flag = 1;
  pps->num_tile_columns = pps->num_tile_rows = pps->uniform_spacing_flag = 1;
  if (pps->tiles_enabled_flag) {
    uint32_t cols = HevcReadUe(br) + 1u, rows = HevcReadUe(br) + 1u;
    // within the handle's tile arrays too, for an SPS above the maximum picture
    if (cols < 1 || cols > static_cast<uint32_t>(sps->PicWidthInCtbsY) ||
        cols > static_cast<uint32_t>(dec->iMaxWidth / 16))
      PPS_FAIL("IH265D_Decode : the value of num_tile_columns is %d,it should not be bigger than iPicWidthInCtbsY!\n",
               static_cast<int>(cols));
    if (rows < 1 || rows > static_cast<uint32_t>(sps->PicHeightInCtbsY) ||
        rows > static_cast<uint32_t>(dec->iMaxHeight / 16))
      PPS_FAIL("IH265D_Decode : the value of num_tile_rows is %d,it should not be bigger than iPicHeightInCtbsY!\n",
               static_cast<int>(rows));
    if (cols == 1 && rows == 1)
      PPS_FAIL("IH265D_Decode : num_tile_columns and num_tile_rows should not be both equal to 1!\n");
    pps->num_tile_columns = static_cast<int32_t>(cols);
    pps->num_tile_rows = static_cast<int32_t>(rows);
    pps->uniform_spacing_flag = HevcReadBit(br);
    const int ctb = sps->CtbSizeY;
    if (pps->uniform_spacing_flag) {
      const int w = sps->PicWidthInCtbsY, h = sps->PicHeightInCtbsY;
      for (uint32_t j = 0; j < cols; ++j) {
        int cw = static_cast<int>(((j + 1) * w) / cols - (j * w) / cols);
        if (cw * ctb < 256) HEVC_WARN(dec, "IH265D_Decode : column_width[%d] of tile is %d, it should be bigger than 256!\n", j, cw * ctb);
      }
      for (uint32_t j = 0; j < rows; ++j) {
        int rh = static_cast<int>(((j + 1) * h) / rows - (j * h) / rows);
        if (rh * ctb < 64) HEVC_WARN(dec, "IH265D_Decode : row_height[%d] of tile is %d, it should be bigger than 64!\n", j, rh * ctb);
      }
    } else {
      // checked one by one and in sum, so the last column and row keep at least one CTB
      int64_t sum = 0;
      for (uint32_t j = 0; j + 1 < cols; ++j) {
        uint32_t v = HevcReadUe(br);
        int64_t cw = static_cast<int64_t>(v) + 1;
        sum += cw;
        if (v == 0xFFFFFFFFu || sum >= sps->PicWidthInCtbsY)
          PPS_FAIL("IH265D_Decode : column_width[%d] of tile is %d, it should be bigger than 0!\n",
                   static_cast<int>(cols - 1), static_cast<int>(sps->PicWidthInCtbsY - (sum - cw) - cw));
        if (cw * ctb < 256)
          HEVC_WARN(dec, "IH265D_Decode : column_width[%d] of tile is %d, it should be bigger than 256!\n", j,
                    static_cast<int>(cw * ctb));
        pps->column_width[j] = static_cast<int32_t>(cw);
      }
      sum = 0;
      for (uint32_t j = 0; j + 1 < rows; ++j) {
        uint32_t v = HevcReadUe(br);
        int64_t rh = static_cast<int64_t>(v) + 1;
        sum += rh;
        if (v == 0xFFFFFFFFu || sum >= sps->PicHeightInCtbsY)
          PPS_FAIL("IH265D_Decode : row_height[%d] of tile is %d, it should be bigger than 64!\n",
                   static_cast<int>(rows - 1), static_cast<int>((sps->PicHeightInCtbsY - sum) * ctb));
        if (rh * ctb < 64)
          HEVC_WARN(dec, "IH265D_Decode : row_height[%d] of tile is %d, it should be bigger than 64!\n", j,
                    static_cast<int>(rh * ctb));
        pps->row_height[j] = static_cast<int32_t>(rh);
      }
    }
    pps->loop_filter_across_tiles_enabled_flag = HevcReadBit(br);
  }
  // the maps of a picture above the maximum would not fit: its slices are refused
  const bool fits = HevcSpsFits(dec, sps);
  if (fits && HevcBuildTileMaps(dec, sps, pps)) PPS_FAIL("IH265D_Decode : the tiles do not fit the picture!\n");
  pps->pps_loop_filter_across_slices_enabled_flag = HevcReadBit(br);
  pps->deblocking_filter_control_present_flag = HevcReadBit(br);
  pps->deblocking_filter_override_enabled_flag = pps->pps_deblocking_filter_disabled_flag = 0;
  pps->beta_offset = pps->tc_offset = 0;
  if (pps->deblocking_filter_control_present_flag) {
    pps->deblocking_filter_override_enabled_flag = HevcReadBit(br);
    pps->pps_deblocking_filter_disabled_flag = HevcReadBit(br);
    if (!pps->pps_deblocking_filter_disabled_flag) {
      int64_t beta = static_cast<int64_t>(HevcReadSe(br)) * 2, tc = static_cast<int64_t>(HevcReadSe(br)) * 2;
      if (beta < -12 || beta > 12)
        PPS_FAIL("IH265D_Decode : the value of pps_beta_offset is %d,it should be in the range of -12~12!\n",
                 static_cast<int>(beta));
      if (tc < -12 || tc > 12)
        PPS_FAIL("IH265D_Decode : the value of pps_tc_offset is %d,it should be in the range of -12~12!\n",
                 static_cast<int>(tc));
      pps->beta_offset = static_cast<int32_t>(beta);
      pps->tc_offset = static_cast<int32_t>(tc);
    }
  }
  pps->pps_scaling_list_data_present_flag = HevcReadBit(br);
  if (pps->pps_scaling_list_data_present_flag) {
    if (!sps->scaling_list_enabled_flag)
      PPS_FAIL("IH265D_Decode : the value of pps_scaling_list_data_present_flag is %d,it should be equal to 0 when "
               "scaling_list_enabled_flag is equal to 0!\n",
               1);
    if (HevcParseScalingListData(dec, br, &pps->scaling)) return IH265D_ERR_PPS;
  }
  HevcDeriveScalingFactors(pps, sps);
  pps->pDerivedFrom = fits ? sps : nullptr;
  pps->uiSpsGeneration = sps->uiGeneration;
  pps->lists_modification_present_flag = HevcReadBit(br);
  uint32_t mrg = HevcReadUe(br) + 2u;
  if (mrg < 2 || mrg > static_cast<uint32_t>(sps->CtbLog2SizeY))
    PPS_FAIL("IH265D_Decode : the value of log2_parallel_merge_level is %d,it should not be bigger than CtbLog2SizeY!\n",
             static_cast<int>(mrg));
  pps->Log2ParMrgLevel = static_cast<int32_t>(mrg);
  pps->slice_segment_header_extension_present_flag = HevcReadBit(br);
  if (pps->slice_segment_header_extension_present_flag)
    HEVC_WARN(dec,
              "IH265D_Decode : The value of slice_segment_header_extension_present_flag is %d, it should be equal to 0!\n",
              1);
  pps->pps_extension_present_flag = HevcReadBit(br);
  if (pps->pps_extension_present_flag)
    while (HevcMoreRbspData(br)) HevcReadBit(br);
  pps->iValid = 1;
  return 0;
}

int32_t HevcParseSei(HevcDecoder* dec, HevcBitReader* br) {
  uint8_t* data = dec->pUserData;
  while (HevcMoreRbspData(br)) {
    uint32_t type = 0, size = 0, b;
    do {
      b = HevcReadBits(br, 8);
      type += b;
    } while (b == 255 && !br->overrun);
    do {
      b = HevcReadBits(br, 8);
      size += b;
    } while (b == 255 && !br->overrun);
    if (br->overrun) break;
    if (size <= static_cast<uint32_t>(kUserDataMax)) {
      int32_t len = static_cast<int32_t>(size);
      std::memcpy(data + kUserDataMax, &len, 4);
      if (type == 240)
        for (uint32_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(HevcReadBits(br, 8));
      else
        HevcSkipBits(br, static_cast<int64_t>(size) * 8);
    } else {
      HEVC_WARN(dec, "IH265D_Decode : Lens of user data is bigger than MAX user data lens!\n");
      HevcSkipBits(br, static_cast<int64_t>(size) * 8);
    }
  }
  return 0;
}

}  // namespace hevc
