// Parameter sets and slice headers: every refusal with its code and message,
// the limits this decoder adds, and the re-derivation of a PPS when its SPS
// changes.
#include <gtest/gtest.h>

#include <functional>

#include "tests/codecs/hevc/hevc_test_util.h"

namespace hevc_test {
namespace {

struct SpsCase {
  const char* name;
  std::function<void(SpsFields&, VpsFields&)> mutate;
  const char* message;
};

TEST(HevcSps, RefusalsAndALaterValidSps) {
  const SpsCase cases[] = {
      {"main10 luma", [](SpsFields& s, VpsFields&) { s.bit_depth_luma_minus8 = 2; },
       "IH265D_Decode : The value of bit_depth_luma is 10, should be equal to 8!\n"},
      {"main10 chroma", [](SpsFields& s, VpsFields&) { s.bit_depth_chroma_minus8 = 2; },
       "IH265D_Decode : The value of bit_depth_chroma is 10, should be equal to 8!\n"},
      {"monochrome", [](SpsFields& s, VpsFields&) { s.chroma_format_idc = 0; },
       "IH265D_Decode : The value of chroma_format_idc is 0, should be equal to 1!\n"},
      {"4:2:2", [](SpsFields& s, VpsFields&) { s.chroma_format_idc = 2; }, "chroma_format_idc is 2"},
      {"4:4:4", [](SpsFields& s, VpsFields&) { s.chroma_format_idc = 3; }, "chroma_format_idc is 3"},
      // CTBs below 16x16 overflow every per-CTB map
      {"8x8 CTB", [](SpsFields& s, VpsFields&) { s.log2_diff_max_min_cb = 0; }, "CtbLog2SizeY is 3"},
      {"128x128 CTB", [](SpsFields& s, VpsFields&) { s.log2_diff_max_min_cb = 4; }, "CtbLog2SizeY"},
      // sizes above any handle's maximum are refused with the SPS (above
      // this handle's, at the first slice: HevcSliceHeader.PicturesAboveTheMaximum)
      {"too wide", [](SpsFields& s, VpsFields&) { s.width = 8200; },
       "IH265D_Decode : PicWidthInSamplesY is 8200, should be less than or equal to 8192!\n"},
      {"too tall", [](SpsFields& s, VpsFields&) { s.height = 8200; }, "PicHeightInSamplesY is 8200"},
      {"width not a multiple of MinCb", [](SpsFields& s, VpsFields&) { s.width = 60; },
       "pic_width_in_luma_samples is 60"},
      // conformance windows that leave the picture, also through 32-bit wrap
      {"window offset near 2^32", [](SpsFields& s, VpsFields&) {
         s.conformance_window = true;
         s.conf_left = 0xFFFFFFFEull;
       }, "conf_win_left_offset or conf_win_right_offset is error"},
      {"window as wide as the picture", [](SpsFields& s, VpsFields&) {
         s.conformance_window = true;
         s.conf_left = 16;
         s.conf_right = 16;
       }, "conf_win_left_offset and conf_win_right_offset is error"},
      {"window offsets that wrap in sum", [](SpsFields& s, VpsFields&) {
         s.conformance_window = true;
         s.conf_top = 0x80000000ull;
         s.conf_bottom = 0x80000000ull;
       }, "conf_win_top_offset and conf_win_bottom_offset is error"},
      {"poc lsb 17 bits", [](SpsFields& s, VpsFields&) { s.log2_max_poc_lsb_minus4 = 13; },
       "log2_max_pic_order_cnt_lsb is 17"},
      {"18 pictures", [](SpsFields& s, VpsFields& v) {
         v.max_dec_pic_buffering_minus1 = 16;
         s.max_dec_pic_buffering_minus1 = 17;
       }, "sps_max_dec_pic_buffering is 18"},
      {"more pictures than the VPS", [](SpsFields& s, VpsFields&) { s.max_dec_pic_buffering_minus1 = 6; },
       "should not be bigger than vps_max_dec_pic_buffering"},
      // reorder and latency within what the VPS allows
      {"more reordering than the VPS", [](SpsFields& s, VpsFields&) { s.num_reorder = 1; },
       "IH265D_Decode : The value of pstSPS->temporal_layer[0].sps_max_num_reorder_pics is 1, should not be bigger "
       "than vps_num_reorder_pics!\n"},
      {"no latency limit under a VPS with one", [](SpsFields&, VpsFields& v) { v.max_latency_increase_plus1 = 3; },
       "IH265D_Decode : The value of sps_max_latency_increase_plus1 is 0, it should not be equal to 0!\n"},
      {"more latency than the VPS", [](SpsFields& s, VpsFields& v) {
         v.max_latency_increase_plus1 = 3;
         s.max_latency_increase_plus1 = 4;
       }, "IH265D_Decode : The value of sps_max_latency_increase_plus1 is 4, should not be bigger than "
          "vps_max_latency_increase_plus1!\n"},
      {"transform not below coding block", [](SpsFields& s, VpsFields&) { s.log2_min_tb_minus2 = 1; },
       "log2_min_transform_block_size should less than log2_min_coding_block_size"},
      {"PCM deeper than 8 bits", [](SpsFields& s, VpsFields&) {
         s.pcm = true;
         s.pcm_depth_luma_minus1 = 8;
       }, "pcm_bit_depth_luma is error"},
      // the largest PCM block must fit the CTB
      {"PCM beyond the CTB", [](SpsFields& s, VpsFields&) {
         s.pcm = true;
         s.log2_diff_max_min_pcm = 2;
       }, "log2_diff_max_min_pcm_luma_coding_block_size is error"},
      // reference sets never hold more than the picture buffer
      {"17 negative pictures", [](SpsFields& s, VpsFields& v) {
         v.max_dec_pic_buffering_minus1 = 16;
         s.max_dec_pic_buffering_minus1 = 16;
         s.rps.push_back({std::vector<int>(17, 0), {}});
       }, "num_negative_pics is 17"},
      {"negative and positive beyond the buffer", [](SpsFields& s, VpsFields&) {
         s.rps.push_back({{0, 0, 0}, {0, 0}});
       }, "num_positive_pics is out of the range"},
      {"predicted set beyond the buffer", [](SpsFields& s, VpsFields&) {
         s.rps.push_back({{0, 0, 0, 0}, {}});
         s.rps.push_back({{}, {}, 0});  // -1 and the four shifted by -1: five pictures
       }, "the predicted short-term RPS has more than 4 pictures!"},
      {"missing VPS", [](SpsFields& s, VpsFields&) { s.vps_id = 3; },
       "IH265D_Decode : The ID of VPS that current SPS refered is 3, which is not exist!\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Decoder d;
    SpsFields s;
    VpsFields v;
    c.mutate(s, v);
    ASSERT_EQ(d.Unit(Vps(v)), 0) << Decoder::All();
    EXPECT_EQ(d.Unit(Sps(s)), IH265D_ERR_SPS);
    EXPECT_TRUE(Decoder::Said(c.message)) << Decoder::All();
    EXPECT_FALSE(d.dec()->apSps[0]->iValid);
    // the same id with a valid set is usable again
    Decoder::Messages().clear();
    ASSERT_EQ(d.Unit(Vps()), 0);
    EXPECT_EQ(d.Unit(Sps()), 0) << Decoder::All();
    EXPECT_TRUE(d.dec()->apSps[0]->iValid);
  }
}

struct PpsCase {
  const char* name;
  std::function<void(PpsFields&)> mutate;
  const char* message;
};

TEST(HevcPps, Refusals) {
  const PpsCase cases[] = {
      {"tiles with wavefronts", [](PpsFields& p) { p.tiles = p.wpp = true; },
       "IH265D_Decode : tile and wpp can not be both open!\n"},
      {"one tile", [](PpsFields& p) {
         p.tiles = true;
         p.tile_cols_minus1 = p.tile_rows_minus1 = 0;
       }, "num_tile_columns and num_tile_rows should not be both equal to 1!"},
      {"more tile columns than CTBs", [](PpsFields& p) {
         p.tiles = true;
         p.tile_cols_minus1 = 4;
       }, "num_tile_columns is 5"},
      // explicit sizes are checked one by one and in sum
      {"explicit columns using up the picture", [](PpsFields& p) {
         p.tiles = true;
         p.uniform = false;
         p.tile_cols_minus1 = 2;
         p.tile_rows_minus1 = 0;
         p.col_width_minus1 = {1, 1};
       }, "it should be bigger than 0!"},
      {"explicit column width near 2^32", [](PpsFields& p) {
         p.tiles = true;
         p.uniform = false;
         p.tile_cols_minus1 = 1;
         p.tile_rows_minus1 = 0;
         p.col_width_minus1 = {0xFFFFFFFEull};
       }, "column_width"},
      {"explicit rows using up the picture", [](PpsFields& p) {
         p.tiles = true;
         p.uniform = false;
         p.tile_cols_minus1 = 0;
         p.tile_rows_minus1 = 1;
         p.row_height_minus1 = {3};
       }, "row_height[1] of tile is 0"},
      {"init qp 52", [](PpsFields& p) { p.init_qp_minus26 = 26; },
       "IH265D_Decode : the value of init_qp_minus26 is 26, it should be in the range of -26 to 25!\n"},
      {"cb offset 13", [](PpsFields& p) { p.cb_offset = 13; }, "pps_cb_qp_offset is 13"},
      {"cr offset -13", [](PpsFields& p) { p.cr_offset = -13; }, "pps_cr_qp_offset is -13"},
      {"tc offset 14", [](PpsFields& p) {
         p.deblocking_control = true;
         p.tc_div2 = 7;
       }, "pps_tc_offset is 14"},
      {"beta offset -14", [](PpsFields& p) {
         p.deblocking_control = true;
         p.beta_div2 = -7;
       }, "pps_beta_offset is -14"},
      {"qp delta depth beyond the CTB", [](PpsFields& p) {
         p.cu_qp_delta = true;
         p.diff_cu_qp_delta_depth = 2;
       }, "diff_cu_qp_delta_depth is 2, it should be in the range of 0 to 1"},
      {"16 default references", [](PpsFields& p) { p.l0_default_minus1 = 15; },
       "num_ref_idx_l0_default_active_minus1 is 15"},
      {"merge level above the CTB", [](PpsFields& p) { p.log2_par_mrg_minus2 = 3; }, "log2_parallel_merge_level is 5"},
      {"missing SPS", [](PpsFields& p) { p.sps_id = 5; },
       "IH265D_Decode : The ID of SPS that current PPS refered is 5, which is not exist!\n"},
      {"SPS id 16", [](PpsFields& p) { p.sps_id = 16; }, "pps_seq_parameter_set_id is 16"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Decoder d;
    ASSERT_EQ(d.Unit(Vps()), 0);
    ASSERT_EQ(d.Unit(Sps()), 0);
    PpsFields p;
    c.mutate(p);
    EXPECT_EQ(d.Unit(Pps(p)), IH265D_ERR_PPS);
    EXPECT_TRUE(Decoder::Said(c.message)) << Decoder::All();
    EXPECT_FALSE(d.dec()->apPps[0]->iValid);
    EXPECT_EQ(d.Unit(Pps()), 0);
    EXPECT_TRUE(d.dec()->apPps[0]->iValid);
  }
}

TEST(HevcPps, TileMaps) {
  Decoder d(160, 64);
  SpsFields s;
  s.width = 160;  // 10 CTBs
  ASSERT_EQ(d.Unit(Vps()), 0);
  ASSERT_EQ(d.Unit(Sps(s)), 0);
  PpsFields p;
  p.tiles = true;
  p.tile_cols_minus1 = 2;
  p.tile_rows_minus1 = 1;
  ASSERT_EQ(d.Unit(Pps(p)), 0) << Decoder::All();
  const hevc::HevcPps* pps = d.dec()->apPps[0];
  EXPECT_EQ(pps->colBd[1], 3);
  EXPECT_EQ(pps->colBd[2], 6);
  EXPECT_EQ(pps->colBd[3], 10);
  EXPECT_EQ(pps->rowBd[1], 2);
  // raster (3, 0) starts the second tile, after the 3 x 2 CTBs of the first
  EXPECT_EQ(pps->CtbAddrRsToTs[3], 6);
  EXPECT_EQ(pps->TileId[6], 1);
  EXPECT_EQ(pps->CtbAddrTsToRs[pps->CtbAddrRsToTs[37]], 37);
  // without tiles the scan is the raster
  ASSERT_EQ(d.Unit(Pps()), 0);
  for (int i = 0; i < 40; ++i) EXPECT_EQ(pps->CtbAddrRsToTs[i], i);
}

struct SliceCase {
  const char* name;
  std::function<void(SpsFields&, PpsFields&, SliceFields&)> mutate;
  int32_t code;
  const char* message;
};

TEST(HevcSliceHeader, Refusals) {
  const SliceCase cases[] = {
      {"missing PPS", [](SpsFields&, PpsFields&, SliceFields& sl) { sl.pps_id = 9; }, IH265D_ERR_SLICEHEADER,
       "The ID of PPS that current SliceHeader refered is 9, which is not exist!"},
      {"slice type 3", [](SpsFields&, PpsFields&, SliceFields& sl) { sl.slice_type = 3; }, IH265D_ERR_SLICEHEADER,
       "the value of slice_type is 3, it should be in the range of 0~2!"},
      {"P slice in an IDR picture", [](SpsFields&, PpsFields&, SliceFields& sl) { sl.slice_type = 1; },
       IH265D_ERR_SLICEHEADER, "the value of slice_type is 1, it should be equal to 2!"},
      // the slice QP indexes every QP table: 0..51 only
      {"slice QP 52", [](SpsFields&, PpsFields&, SliceFields& sl) { sl.slice_qp_delta = 26; },
       IH265D_ERR_SLICEHEADER, "SliceQpY is 52"},
      {"slice QP -1", [](SpsFields&, PpsFields& p, SliceFields& sl) {
         p.init_qp_minus26 = -26;
         sl.slice_qp_delta = -1;
       }, IH265D_ERR_SLICEHEADER, "SliceQpY is -1"},
      // the set index is read with the bits of the next power of two
      {"reference set index beyond the count", [](SpsFields& s, PpsFields&, SliceFields& sl) {
         s.rps = {{{0}, {}}, {{1}, {}}, {{2}, {}}};
         sl.nal_type = 1;
         sl.st_rps_sps_flag = 1;
         sl.st_rps_idx_bits = 2;
         sl.st_rps_idx = 3;
       }, IH265D_ERR_SLICEHEADER, "short_term_ref_pic_set_idx is 3"},
      {"reference set from an SPS without sets", [](SpsFields&, PpsFields&, SliceFields& sl) {
         sl.nal_type = 1;
         sl.st_rps_sps_flag = 1;
       }, IH265D_ERR_SLICEHEADER, "short_term_ref_pic_set_sps_flag is 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Decoder d;
    SpsFields s;
    PpsFields p;
    SliceFields sl;
    c.mutate(s, p, sl);
    ASSERT_EQ(d.Unit(Vps()), 0);
    ASSERT_EQ(d.Unit(Sps(s)), 0) << Decoder::All();
    ASSERT_EQ(d.Unit(Pps(p)), 0) << Decoder::All();
    EXPECT_EQ(d.Unit(SliceHeader(sl)), c.code);
    EXPECT_TRUE(Decoder::Said(c.message)) << Decoder::All();
  }
}

TEST(HevcSliceHeader, PicturesAboveTheMaximum) {
  // The maximum rounds up to 64: 1000 allows 1024 samples. A larger picture's
  // SPS and PPS (tiles too) are taken, and its first slice is refused with the
  // size's own code; the pictures of a fitting SPS decode afterwards.
  struct Case {
    uint64_t width, height;
    bool tiles;
    int32_t code;
    const char* message;
  };
  const Case cases[] = {
      {1024, 64, false, 0, nullptr},
      {1032, 64, false, IH265D_ERR_WIDTH,
       "IH265D_Decode : PicWidthInSamplesY is 1032, should be less than or equal to 1024!\n"},
      {1032, 64, true, IH265D_ERR_WIDTH, "PicWidthInSamplesY is 1032"},
      {64, 72, false, IH265D_ERR_HEIGHT,
       "IH265D_Decode : PicHeightInSamplesY is 72, should be less than or equal to 64!\n"},
      {64, 4096, true, IH265D_ERR_HEIGHT, "PicHeightInSamplesY is 4096"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + (c.tiles ? " tiles" : ""));
    Decoder d(1000, 64);
    SpsFields s;
    s.width = c.width;
    s.height = c.height;
    PpsFields p;
    p.tiles = c.tiles;
    ASSERT_EQ(d.Unit(Vps()), 0);
    ASSERT_EQ(d.Unit(Sps(s)), 0) << Decoder::All();
    ASSERT_EQ(d.Unit(Pps(p)), 0) << Decoder::All();
    EXPECT_EQ(d.Unit(SliceHeader(SliceFields{})), c.code) << Decoder::All();
    if (c.message) {
      EXPECT_TRUE(Decoder::Said(c.message)) << Decoder::All();
    }
    // the same SPS id with a picture that fits: the PPS is derived for it at the slice
    ASSERT_EQ(d.Unit(Sps()), 0);
    EXPECT_EQ(d.Unit(SliceHeader(SliceFields{})), 0) << Decoder::All();
  }
}

TEST(HevcSliceHeader, CollocatedIndexIsBoundedByItsList) {
  // Regression: collocated_ref_idx was only checked against 14, so an index
  // past the active entries of its list was accepted.
  Decoder d;
  SpsFields s;
  s.tmvp = true;
  ASSERT_EQ(d.Unit(Vps()), 0);
  ASSERT_EQ(d.Unit(Sps(s)), 0);
  ASSERT_EQ(d.Unit(Pps()), 0);
  // a complete picture of POC 0 to refer to
  hevc::HevcPicture& ref = d.dec()->astPic[1];
  ref.iDecoded = 1;
  ref.iMarking = 3;
  ref.iPoc = 0;
  ref.iSeqNum = d.dec()->iSeqCount;
  SliceFields sl;
  sl.nal_type = 1;
  sl.slice_type = 1;
  sl.poc_lsb = 1;
  sl.inline_negative = {0};
  sl.tmvp = true;
  sl.override_refs = true;
  sl.num_l0_minus1 = 1;
  sl.write_collocated = true;
  sl.collocated_ref_idx = 2;
  EXPECT_EQ(d.Unit(SliceHeader(sl)), IH265D_ERR_SLICEHEADER);
  EXPECT_TRUE(Decoder::Said("collocated_ref_idx is 2, it should be in the range of 0~1")) << Decoder::All();
  EXPECT_EQ(d.dec()->stRefList[0].iNum, 2);
  EXPECT_EQ(d.dec()->stRefList[0].aucIdx[0], 1);
}

TEST(HevcSliceHeader, TooManyCurrentReferences) {
  Decoder d(64, 64, 1, 0);  // no reference pictures provided for
  ASSERT_EQ(d.Unit(Vps()), 0);
  ASSERT_EQ(d.Unit(Sps()), 0);
  ASSERT_EQ(d.Unit(Pps()), 0);
  SliceFields sl;
  sl.nal_type = 1;
  sl.slice_type = 1;
  sl.poc_lsb = 1;
  sl.inline_negative = {0};
  EXPECT_EQ(d.Unit(SliceHeader(sl)), IH265D_ERR_REFNUM);
  EXPECT_TRUE(Decoder::Said("The value of RefPic is 1, should be less than or equal to 0!")) << Decoder::All();
}

TEST(HevcSliceHeader, PpsIsDerivedAgainWhenItsSpsChanges) {
  // Regression: tile maps and dequantisation factors were derived only when
  // the PPS arrived; a later SPS with the same id and another size left them
  // describing the old picture.
  Decoder d(128, 64);
  ASSERT_EQ(d.Unit(Vps()), 0);
  ASSERT_EQ(d.Unit(Sps()), 0);  // 64 x 64: 4 x 4 CTBs, flat scaling
  PpsFields p;
  p.tiles = true;
  p.tile_cols_minus1 = 1;
  p.tile_rows_minus1 = 0;
  ASSERT_EQ(d.Unit(Pps(p)), 0);
  hevc::HevcPps* pps = d.dec()->apPps[0];
  EXPECT_EQ(pps->colBd[2], 4);
  EXPECT_EQ(pps->factor[1][63], 16 * 40);
  SpsFields wide;
  wide.width = 128;  // 8 x 4 CTBs
  wide.scaling_list_enabled = true;
  ASSERT_EQ(d.Unit(Sps(wide)), 0);
  d.Unit(SliceHeader(SliceFields{}));
  EXPECT_EQ(d.dec()->pPps, pps);
  EXPECT_EQ(pps->colBd[1], 4);
  EXPECT_EQ(pps->colBd[2], 8);
  EXPECT_EQ(pps->CtbAddrRsToTs[4], 16);  // (4, 0) opens the second tile
  EXPECT_EQ(pps->CtbAddrRsToTs[31], 31);
  EXPECT_EQ(pps->factor[1][63], 115 * 40) << "8x8 intra default list, last entry";

  // explicit tiles that no longer fit are refused with the slice
  Decoder e(64, 64);
  ASSERT_EQ(e.Unit(Vps()), 0);
  ASSERT_EQ(e.Unit(Sps()), 0);
  PpsFields q;
  q.tiles = true;
  q.uniform = false;
  q.tile_cols_minus1 = 1;
  q.tile_rows_minus1 = 0;
  q.col_width_minus1 = {2};
  ASSERT_EQ(e.Unit(Pps(q)), 0) << Decoder::All();
  SpsFields narrow;
  narrow.width = 32;
  ASSERT_EQ(e.Unit(Sps(narrow)), 0);
  EXPECT_EQ(e.Unit(SliceHeader(SliceFields{})), IH265D_ERR_SLICEHEADER);
  EXPECT_TRUE(Decoder::Said("do not fit the picture")) << Decoder::All();
}

}  // namespace
}  // namespace hevc_test
