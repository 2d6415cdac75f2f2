// Inside of the HEVC decoder: the handle, its records and the helpers that
// the decoder's modules share. Nothing outside codecs/hevc includes this but
// the decoder's own tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codecs/hevc/hevc_cabac_engine.h"
#include "codecs/hevc/hevc_pool.h"
#include "codecs/hevc/ih265d.h"

namespace hevc {

constexpr uint32_t kMagic = 0x11335577;
constexpr int kMaxSize = 8192;
constexpr int kMaxRef = 15;
constexpr int kMaxDpb = kMaxRef + 2;
constexpr int kStandIn = kMaxDpb;  // astPic entry of the grey stand-in for missing references
constexpr int kPadX = 128;  // luma columns of padding each side
constexpr int kPadY = 80;   // luma rows of padding above and below
constexpr int kUserDataMax = 2048;
constexpr int kPoolBlocks = 512;
constexpr int kNumCtx = 192;
constexpr int kMaxWorkers = 4;
constexpr int kRowContexts = 8;  // worker contexts: rows parsed ahead of their reconstruction
constexpr int kAuMaxUnits = 510;
// rows of the SAO scratch at the picture stride: a CTB of 64 with the ring, and room
constexpr int kSaoScratchRows = 67;
constexpr int kRowDone = 10000;  // added to a finished row's width: ends every wait on it

// ---------------------------------------------------------------- bit reader
struct HevcNalHeader {
  int32_t forbidden_zero_bit;
  int32_t nal_unit_type;
  int32_t nuh_layer_id;
  int32_t TemporalId;
};

struct HevcBitReader {
  const uint8_t* data;
  int32_t length;     // RBSP bytes
  int64_t pos;        // bits consumed
  int32_t overrun;    // 1 once a read went past the end
  int32_t unitLength; // NAL unit length plus 4
};

void HevcBitReaderInit(HevcBitReader* br, const uint8_t* data, int32_t length, int32_t unitLength);
uint32_t HevcReadBits(HevcBitReader* br, int n);  // n 1..32
void HevcSkipBits(HevcBitReader* br, int64_t n);
uint32_t HevcReadBit(HevcBitReader* br);
uint32_t HevcReadUe(HevcBitReader* br);  // 0xFFFFFFFF when the bits run out
int32_t HevcReadSe(HevcBitReader* br);   // 0x7FFFFFFF when the bits run out
int HevcMoreRbspData(HevcBitReader* br);
const uint8_t* HevcFindStartCode(const uint8_t* p, int64_t len, int64_t* offset, int* scLen);
int32_t HevcRemoveEmulationBytes(uint8_t* unit, int32_t len, uint8_t* dst);
int HevcCeilLog2(uint32_t n);

// ------------------------------------------------------------ parameter sets
struct HevcProfileTierLevel {
  int32_t general_profile_space, general_tier_flag, general_profile_idc;
  int32_t general_profile_compatibility_flag[32];
  int32_t general_progressive_source_flag, general_interlaced_source_flag;
  int32_t general_non_packed_constraint_flag, general_frame_only_constraint_flag;
  int32_t general_level_idc;
  int32_t sub_layer_profile_present_flag[7], sub_layer_level_present_flag[7];
  int32_t sub_layer_profile_idc[7], sub_layer_level_idc[7];
};

struct HevcHrd {
  int32_t nal_hrd_parameters_present_flag, vcl_hrd_parameters_present_flag;
  int32_t sub_pic_hrd_params_present_flag;
  int32_t fixed_pic_rate_general_flag[7], fixed_pic_rate_within_cvs_flag[7];
  int32_t elemental_duration_in_tc_minus1[7], low_delay_hrd_flag[7], cpb_cnt_minus1[7];
};

struct HevcScalingList {
  uint8_t pred_mode_flag[4][6];
  uint8_t pred_matrix_id_delta[4][6];
  uint8_t dc[4][6];
  uint8_t list[4][6][64];  // coded order; 32x32 uses matrices 0 and 1 (ids 0 and 3)
};

struct HevcStRps {
  int32_t derived;
  int32_t NumNegativePics, NumPositivePics;
  int32_t DeltaPocS0[17], UsedByCurrPicS0[17];
  int32_t DeltaPocS1[17], UsedByCurrPicS1[17];
};

struct HevcVps {
  int32_t iValid;
  int32_t vps_video_parameter_set_id, vps_max_layers_minus1, vps_max_sub_layers_minus1;
  int32_t vps_temporal_id_nesting_flag;
  HevcProfileTierLevel ptl;
  int32_t vps_sub_layer_ordering_info_present_flag;
  int32_t vps_max_dec_pic_buffering[7], vps_num_reorder_pics[7];
  uint32_t vps_max_latency_increase_plus1[7];
  int32_t vps_max_layer_id, vps_num_layer_sets_minus1;
  int32_t vps_timing_info_present_flag;
  uint32_t vps_num_units_in_tick, vps_time_scale;
  int32_t vps_poc_proportional_to_timing_flag;
  uint32_t vps_num_ticks_poc_diff_one_minus1;
  int32_t vps_num_hrd_parameters;
  HevcHrd hrd;
};

struct HevcSps {
  int32_t iValid;
  uint32_t uiGeneration;  // grows with every successful parse into this slot
  int32_t sps_video_parameter_set_id, sps_max_sub_layers_minus1, sps_temporal_id_nesting_flag;
  HevcProfileTierLevel ptl;
  int32_t sps_seq_parameter_set_id;
  int32_t chroma_format_idc, separate_colour_plane_flag;
  int32_t pic_width_in_luma_samples, pic_height_in_luma_samples;
  int32_t conformance_window_flag;
  int32_t conf_win_left_offset, conf_win_right_offset, conf_win_top_offset, conf_win_bottom_offset;
  int32_t BitDepthY, BitDepthC;
  int32_t log2_max_pic_order_cnt_lsb;
  int32_t sps_sub_layer_ordering_info_present_flag;
  int32_t sps_max_dec_pic_buffering[7], sps_max_num_reorder_pics[7];
  uint32_t sps_max_latency_increase_plus1[7];
  int32_t log2_min_luma_coding_block_size, log2_diff_max_min_luma_coding_block_size;
  int32_t log2_min_luma_transform_block_size, log2_diff_max_min_luma_transform_block_size;
  int32_t max_transform_hierarchy_depth_inter, max_transform_hierarchy_depth_intra;
  int32_t scaling_list_enabled_flag, sps_scaling_list_data_present_flag;
  HevcScalingList scaling;
  int32_t amp_enabled_flag, sample_adaptive_offset_enabled_flag, pcm_enabled_flag;
  int32_t PcmBitDepthY, PcmBitDepthC, Log2MinIpcmCbSizeY, log2_diff_max_min_pcm_luma_coding_block_size;
  int32_t pcm_loop_filter_disabled_flag;
  int32_t num_short_term_ref_pic_sets;
  HevcStRps rps[65];
  int32_t long_term_ref_pics_present_flag, num_long_term_ref_pics_sps;
  int32_t lt_ref_pic_poc_lsb_sps[32], used_by_curr_pic_lt_sps_flag[32];
  int32_t sps_temporal_mvp_enabled_flag, strong_intra_smoothing_enabled_flag;
  int32_t vui_parameters_present_flag;
  // VUI
  int32_t aspect_ratio_idc, sar_width, sar_height;
  int32_t video_format, video_full_range_flag, colour_primaries, transfer_characteristics, matrix_coeffs;
  int32_t field_seq_flag, frame_field_info_present_flag;
  int32_t def_disp_win_left_offset, def_disp_win_right_offset, def_disp_win_top_offset, def_disp_win_bottom_offset;
  uint32_t vui_num_units_in_tick, vui_time_scale;
  HevcHrd hrd;
  int32_t bitstream_restriction_flag;
  // derived
  int32_t CtbLog2SizeY, CtbSizeY, MinCbLog2SizeY, PicWidthInCtbsY, PicHeightInCtbsY;
  int32_t Log2MaxTrafoSize, Log2MaxIpcmCbSizeY;
};

struct HevcPps {
  int32_t iValid;
  int32_t pps_pic_parameter_set_id, pps_seq_parameter_set_id;
  const HevcSps* pDerivedFrom;  // the SPS slot and generation the maps were derived from
  uint32_t uiSpsGeneration;
  int32_t dependent_slice_segments_enabled_flag, output_flag_present_flag, num_extra_slice_header_bits;
  int32_t sign_data_hiding_enabled_flag, cabac_init_present_flag;
  int32_t num_ref_idx_l0_default_active_minus1, num_ref_idx_l1_default_active_minus1;
  int32_t init_qp_minus26, constrained_intra_pred_flag, transform_skip_enabled_flag;
  int32_t cu_qp_delta_enabled_flag, diff_cu_qp_delta_depth, pps_cb_qp_offset, pps_cr_qp_offset;
  int32_t pps_slice_chroma_qp_offsets_present_flag, weighted_pred_flag, weighted_bipred_flag;
  int32_t transquant_bypass_enabled_flag, tiles_enabled_flag, entropy_coding_sync_enabled_flag;
  int32_t loop_filter_across_tiles_enabled_flag, num_tile_columns, num_tile_rows, uniform_spacing_flag;
  int32_t pps_loop_filter_across_slices_enabled_flag, deblocking_filter_control_present_flag;
  int32_t deblocking_filter_override_enabled_flag, pps_deblocking_filter_disabled_flag;
  int32_t beta_offset, tc_offset;  // doubled
  int32_t pps_scaling_list_data_present_flag;
  HevcScalingList scaling;
  int32_t lists_modification_present_flag, Log2ParMrgLevel;
  int32_t slice_segment_header_extension_present_flag, pps_extension_present_flag;
  // tiles: coded sizes in CTBs (explicit spacing) and the derived maps
  int32_t* column_width;  // [num_tile_columns], coded values + 1
  int32_t* row_height;
  int32_t* colBd;  // [num_tile_columns + 1]
  int32_t* rowBd;
  int32_t* CtbAddrRsToTs;
  int32_t* CtbAddrTsToRs;
  int32_t* TileId;  // by tile-scan address
  // dequantisation factors [matrix][qP % 6][raster]
  int16_t* factor[4];
};

// ------------------------------------------------------------------- motion
// Motion of one prediction unit (16 bytes; refIdx and bufIdx mean something
// only while the list's predFlag is 1).
struct HevcMotionInfo {
  int16_t mvL0[2], mvL1[2];
  uint8_t predFlagL0, predFlagL1;
  uint8_t bufIdxL0, bufIdxL1;
  int8_t refIdxL0, refIdxL1;
  uint8_t aucPad[2];
};
static_assert(sizeof(HevcMotionInfo) == 16, "motion records are 16 bytes");

// One entry of a picture's 16x16 motion field, read as collocated motion.
struct HevcColMotion {
  int16_t mvL0[2], mvL1[2];
  uint8_t predFlagL0, predFlagL1;
  int32_t refPocL0;
  uint8_t isLongTermL0;
  int32_t refPocL1;
  uint8_t isLongTermL1;
};

// ----------------------------------------------------------------- pictures
struct HevcRefList {
  int32_t iNum;
  int32_t aiPoc[16];
  int32_t aiLongTerm[16];
  uint8_t aucIdx[16];
};

struct HevcRpsLists {
  HevcRefList list[5];  // StCurrBefore, StCurrAfter, StFoll, LtCurr, LtFoll
};

struct HevcPicture {
  int32_t iDecoded;
  int64_t llPicTimeStamp;
  int32_t iCropWidth, iCropHeight;
  int32_t iSeqNum, iTemporalId, iPoc, iMarking;
  HevcRpsLists stRpsLists;
  uint8_t* apucPlaneBase[3];
  uint8_t* apucPlane[3];
  uint8_t* apucOutPlane[3];
  HevcColMotion* pstColMotion;
  int32_t iPicWidth, iPicHeight, iPicStride;  // geometry the planes were laid out with
  int32_t iPicBytes, iErrorFlag, iErrorLatched;
  int32_t* piCuCount;
  int32_t iMinSliceType;
  uint8_t* pUserData;
  int32_t iUserDataLen;
  int32_t iAspectRatioIdc, iSarWidth, iSarHeight;
  int32_t iNumUnitsInTick, iTimeScale;
  int32_t iCtbLog2;
  // width, height and stride for which every sample and motion entry a reader
  // may reach holds a written value (the buffer is not zeroed when taken)
  int32_t aiSettled[3];
};

// ------------------------------------------------------------------ slices
struct HevcSliceHeader {
  int32_t first_slice_segment_in_pic_flag, no_output_of_prior_pics_flag, slice_pic_parameter_set_id;
  int32_t dependent_slice_segment_flag, slice_segment_address, slice_type, pic_output_flag, colour_plane_id;
  int32_t slice_pic_order_cnt_lsb, short_term_ref_pic_set_sps_flag;
  const HevcStRps* pShortTermRps;
  int32_t short_term_ref_pic_set_idx, num_long_term_sps, num_long_term_pics;
  int32_t lt_idx_sps[17], delta_poc_msb_present_flag[17], delta_poc_msb_cycle_lt[17];
  int32_t poc_lsb_lt[17], used_by_curr_pic_lt_flag[17];
  int32_t slice_temporal_mvp_enabled_flag, slice_sao_luma_flag, slice_sao_chroma_flag;
  int32_t num_ref_idx_active_override_flag, num_ref_idx_l0_active, num_ref_idx_l1_active;
  int32_t ref_pic_list_modification_flag_l0, ref_pic_list_modification_flag_l1;
  int32_t list_entry_l0[16], list_entry_l1[16];
  int32_t mvd_l1_zero_flag, cabac_init_flag, collocated_from_l0_flag, collocated_ref_idx;
  int32_t luma_log2_weight_denom, ChromaLog2WeightDenom;
  int16_t LumaWeight[2][16], ChromaWeight[2][16][2], LumaOffset[2][16], ChromaOffset[2][16][2];
  int32_t MaxNumMergeCand;
  int32_t slice_qp_delta, slice_cb_qp_offset, slice_cr_qp_offset;
  int32_t deblocking_filter_override_flag, slice_deblocking_filter_disabled_flag;
  int32_t slice_beta_offset, slice_tc_offset;  // doubled
  int32_t slice_loop_filter_across_slices_enabled_flag;
  int32_t num_entry_point_offsets, offset_len, entry_point_offset_minus1;
  int32_t SliceQpY;
};

struct HevcPictureInfo {
  int32_t bFirstSliceDone, iFirstSliceTid;
  int32_t iWidth, iWidthC, iHeight, iHeightC;
  int32_t iStride, iStrideC;
  int32_t PicWidthInCtbsY, PicHeightInCtbsY, PicSizeInCtbsY;
  int32_t iWidth4, iHeight4, iWidth8, iHeight8, iWidth16;
  int32_t PicWidthInMinCbsY, PicHeightInMinCbsY, iWidthMinTb;
};

// --------------------------------------------------------------- CTU state
struct HevcPu {
  int32_t iMergeFlag, iMergeIdx, iInterPredIdc, iRefIdxL0, iRefIdxL1, iMvpL0Flag, iMvpL1Flag;
  int16_t asMvdL0[2], asMvdL1[2];
};

struct HevcCu {
  int32_t iX, iY;
  uint8_t ucLog2CbSize, ucTransquantBypass, ucSkipFlag, ucRqtRootCbf;
  int32_t iPredMode;  // 0 inter, 1 intra, 2 skip
  int32_t iPartMode;
  int32_t aiIntraPredModeY[4];
  int32_t iIntraPredModeC;
  uint8_t ucPcmFlag;
  int8_t cQpY, cQpCb, cQpCr;
  int32_t iNumTu;
  HevcPu astPu[4];
  uint8_t ucIntraSplitFlag, ucMaxTrafoDepth;
};

struct HevcTu {
  int32_t iX, iY;
  int32_t aiNumCoeffPos[3];
  int32_t aiNumCols[3];
  uint8_t ucLog2TrafoSize, ucCbfCb, ucCbfCr, ucCbfLuma;
  uint8_t aucTransformSkip[3];
  uint8_t ucBlkIdx;
};

struct HevcSaoParams {
  uint8_t aucSaoTypeIdx[3], aucSaoEoClass[3], aucSaoBandPosition[3];
  int8_t acSaoOffsetVal[3][5];
};

struct HevcCtu {
  int32_t iCtbX, iCtbY, iPixX, iPixY;
  int32_t iLog2MinCbSize, iLog2MinTbSize, iLog2CtbSize, iCtbSize, iCtbWidthC, iCtbHeightC;
  int32_t iEndOfSliceSegment, iNumCu, iNumTu;
  int32_t iTileStartX, iTileEndX, iCtbEndY;
  uint8_t bAvailUp, bAvailLeft, bAvailUpLeft, bAvailUpRight;
  uint8_t bLeftOtherTile, bLeftOtherSlice, bUpOtherTile, bUpOtherSlice;
  alignas(16) int16_t asCoeff[6144];
  HevcCu astCu[64];
  HevcTu astTu[256];
  // threaded decoding: the row sync record of a worker uses these
  HevcCtu* pPrevSync;         // sync record of the worker holding the previous job
  int32_t iPublished;         // CTUs of its row the current job has finished
  HevcCtu* pPrevCtus;         // the previous worker's arrays (slices variant)
  struct HevcSliceState* pPrevSlices;
  struct HevcPictureInfo* pPrevInfos;
  int32_t iNalCursor;         // in CTU records: batch index of the CTU's slice segment
  int32_t bParseDone;         // guarded by mutex A
  int32_t iParsed;            // CTUs of its row the calling thread has parsed (atomic)
  int32_t bParseStop;         // no more CTUs of its row will be parsed (atomic)
  int32_t iWanted;            // parsed CTUs its waiter sleeps for, INT32_MAX without one
                              // (atomic, set under mutex A)
  HevcCtu* pFilterSync;       // the sync record of the job that filters its row, or null
  HevcMutex* pMutexA;
  HevcCond* pCondA;
  int32_t bAbort;
  int32_t iLastResult;
  HevcMutex* pMutexB;         // guards iPublished and the row's progress entry
  HevcCond* pCondB;
};

// -------------------------------------------------------------------- CABAC
struct HevcCabac {
  HevcCabacEngine stEngine;
  const uint8_t* pucEnd;
  int32_t iFirstQgFlag, iQpY, iCuQpDeltaVal, iCtDepth, iIsCuQpDeltaCoded, iIntraPredModeY;
  int32_t iQpYPred;  // qPY_PRED of the current quantisation group
  int32_t iQgX, iQgY;  // its position
  uint8_t aucCtxState[kNumCtx];
};

// -------------------------------------------------------------- kernel table
using HevcKernel = void (*)();
struct HevcDspTable {
  HevcKernel slot[131];
};

// kernel signatures, by family
using DequantScaledFn = void (*)(int count, const int16_t* factor, int qpPer, int16_t* coeff);
using DequantFlatFn = void (*)(int count, int factor, int16_t* coeff);
// rows from numRows on are not read; in the rows above it, the columns from
// numCols on are zero
using TransformAddFn = void (*)(int stride, int16_t* coeff, uint8_t* dst, int numCols, int numRows);
using PredPlanarFn = void (*)(const uint8_t* top, const uint8_t* left, int stride, uint8_t* dst);
using PredAngularFn = void (*)(int comp, int mode, const uint8_t* top, const uint8_t* left, int stride, uint8_t* dst);
using PredModeFn = void (*)(int comp, uint8_t* top, uint8_t* left, int stride, uint8_t* dst);
using SmoothFn = void (*)(int strong, int mode, uint8_t* left, uint8_t* top);
using CopyPcmFn = void (*)(int stride, const int16_t* samples, uint8_t* dst);
using BorderFn = void (*)(int threading, uint8_t* plane, int width, int height, int stride, int padX, int padY);
// motion compensation: destination, its stride, source, its stride, width, height, then the extras
using McUniFn = void (*)(uint8_t* dst, int dstStride, const uint8_t* src, int srcStride, int w, int h);
using McUni1Fn = void (*)(uint8_t* dst, int dstStride, const uint8_t* src, int srcStride, int w, int h,
                          int frac);
using McUni2Fn = void (*)(uint8_t* dst, int dstStride, const uint8_t* src, int srcStride, int w, int h,
                          int fx, int fy);
using Mc14Fn = void (*)(int16_t* dst, int dstStride, const uint8_t* src, int srcStride, int w, int h);
using Mc14_1Fn = void (*)(int16_t* dst, int dstStride, const uint8_t* src, int srcStride, int w, int h,
                          int frac);
using Mc14_2Fn = void (*)(int16_t* dst, int dstStride, const uint8_t* src, int srcStride, int w, int h,
                          int fx, int fy);
using McLumaBiFn = void (*)(uint8_t* dst, int dstStride, const uint8_t* src1, int srcStride,
                            const int16_t* l0, int w, int h, int l0Offset);
using McChromaBiFn = void (*)(uint8_t* dst, int dstStride, const uint8_t* src1, int srcStride,
                              const int16_t* l0, int w, int h);
using McChromaBi1Fn = void (*)(uint8_t* dst, int dstStride, const uint8_t* src1, int srcStride,
                               const int16_t* l0, int w, int h, int frac);
using McChromaBi2Fn = void (*)(uint8_t* dst, int dstStride, const uint8_t* src1, int srcStride,
                               const int16_t* l0, int w, int h, int fx, int fy);
using WeightedUniFn = void (*)(int denom, int weight, int offset, uint8_t* dst, int dstStride,
                               const int16_t* src, int srcStride, int w, int h, int srcOffset);
using WeightedBiFn = void (*)(int denom, int w0, int w1, int o0, int o1, uint8_t* dst, int dstStride,
                              const int16_t* src0, const int16_t* src1, int srcStride, int w, int h,
                              int offset0, int offset1);
// in-loop filters
using DeblockLumaFn = void (*)(uint8_t* q0, int stride, const int32_t* beta, const int32_t* tc,
                               const int32_t* noP, const int32_t* noQ);
using DeblockChromaFn = void (*)(uint8_t* q0, int stride, const int32_t* tc, const int32_t* noP,
                                 const int32_t* noQ);
using BsMotionFn = int (*)(const HevcMotionInfo* q, const HevcMotionInfo* p);
using SaoBandFn = void (*)(uint8_t* block, int stride, const HevcSaoParams* sao, int w, int h, int comp);
using SaoEdgeFn = void (*)(uint8_t* dst, const uint8_t* src, int stride, int srcStride, const HevcSaoParams* sao,
                           const int32_t* edges, int w, int h, int comp);
using CopyRowsFn = void (*)(const uint8_t* src, uint8_t* dst, int width, int rows, int stride);

enum HevcSlot {
  kSlotSaoBand = 0,
  kSlotSaoEdge = 1,
  kSlotDequantScaled = 2,
  kSlotDequantFlat = 6,
  kSlotDst4 = 10,
  kSlotDct = 11,
  kSlotTransformSkip = 15,
  kSlotPlanar = 16,
  kSlotAngular = 20,
  kSlotDc = 24,
  kSlotVertical = 28,
  kSlotHorizontal = 32,
  kSlotMode34 = 36,
  kSlotMode2 = 40,
  kSlotMode18 = 44,
  kSlotSmooth = 45,  // + log2 size (8x8 is 48)
  kSlotCopyPcm = 51,
  kSlotMcLumaUni = 55,
  kSlotMcChromaUni = 71,
  kSlotMcLuma14 = 75,
  kSlotMcLumaBi = 91,  // + 4 xFrac + yFrac
  kSlotMcChroma14 = 107,
  kSlotMcChromaBi = 111,  // copy, horizontal, vertical, two-dimensional
  kSlotWeightedUniY = 115,
  kSlotWeightedBiY = 116,
  kSlotWeightedUniC = 117,
  kSlotWeightedBiC = 118,
  kSlotDeblockLumaV = 119,
  kSlotDeblockLumaH = 120,
  kSlotDeblockLumaVEx = 121,
  kSlotDeblockLumaHEx = 122,
  kSlotDeblockChromaV = 123,
  kSlotDeblockChromaH = 124,
  kSlotDeblockChromaVEx = 125,
  kSlotDeblockChromaHEx = 126,
  kSlotBsMotion = 127,
  kSlotCopyRows = 128,
  kSlotCopyRowsLeft = 129,
  kSlotBorder = 130,
};

template <typename F>
inline F Kernel(const HevcDspTable& t, int slot) { return reinterpret_cast<F>(t.slot[slot]); }

void HevcInstallKernels(HevcDspTable* table, int32_t* cpuFlags, int vector);
int32_t HevcCpuDetect();

// ------------------------------------------------------------ slice state
// The slice-level state a CTU was parsed with, kept per CTU by the
// slice-parallel path.
struct HevcSliceState {
  const HevcVps* pVps;
  const HevcSps* pSps;
  HevcPps* pPps;
  int32_t bIndependentDone, SliceAddrRs, iSliceType, iCurPoc, iNoBackwardPred;
  HevcRefList stRefList[2];
  HevcSliceHeader stSh;
};

// The access-unit batch of the threaded path: units back to back without
// their start codes, header bytes included.
struct HevcAuBatch {
  int32_t iAuPrevState;
  int32_t iAuState;  // 0 collecting, 2 a first slice segment closed the batch, 1 draining
  int32_t iCount;
  int32_t aiEnd[kAuMaxUnits];
  int32_t aiScBytes[kAuMaxUnits];  // running start-code total up to and including each unit
  int32_t aiType[kAuMaxUnits];
  uint8_t* pBuf;
  int32_t iUsed, iScTotal, iCursor;
};

// processor feature word bits
constexpr int32_t kCpuCmov = 0x1, kCpuMmx = 0x2, kCpuSse2 = 0x10, kCpuSse41 = 0x80, kCpuAvx = 0x400,
                  kCpuAvx2 = 0x800;
// The probes behind the feature word; tests hand in a made-up processor.
struct HevcCpuProbe {
  int (*canToggleId)();  // the EFLAGS ID bit can be toggled: CPUID exists
  void (*cpuid)(uint32_t leaf, uint32_t regs[4]);  // EAX, EBX, ECX, EDX (sub-leaf 0)
  void (*xgetbv)(uint32_t index, uint32_t* lo, uint32_t* hi);
};
int32_t HevcCpuDetectWith(const HevcCpuProbe& probe);
// every slot's plain kernel; then the installers in their order for a word
void HevcInstallPlain(HevcDspTable* table);
void HevcInstallSimd(HevcDspTable* table, int32_t flags);
void HevcInstallDeblockSimd(HevcDspTable* t, int32_t flags);
void HevcInstallSaoSimd(HevcDspTable* t, int32_t flags);
void HevcInstallTransformSimd(HevcDspTable* t, int32_t flags);
void HevcInstallIntraSimd(HevcDspTable* t, int32_t flags);
void HevcInstallMcSimd(HevcDspTable* t, int32_t flags);
void HevcInstallCopySimd(HevcDspTable* t, int32_t flags);
void HevcInstallPaddingSimd(HevcDspTable* t, int32_t flags);

// ------------------------------------------------------------------- handle
struct HevcMemPool {
  int32_t iChannel, iOk, iCount;
  void* apBlocks[kPoolBlocks];
  IH265D_MallocFxn MallocFxn;
  IH265D_FreeFxn FreeFxn;
};

struct HevcDecoder {
  // header words
  int32_t iChannel;
  int32_t iCpuFlags;
  int32_t iPoolAlign;
  int64_t llCurTimeStamp, llLastTimeStamp;
  int32_t eThreadType, eThreadTypeDelete;
  int32_t eOutputOrder;
  int32_t iMaxWidth, iMaxHeight;  // rounded up to 64
  int32_t iMaxRefNum;
  int32_t LcuCnt;
  int32_t iSeqStart, NoRaslOutputFlag;
  int32_t iFirstSliceToggle;
  // picture order
  int32_t iSeqCount, iPrevNalType, iPrevTid0Poc, HighestTid;
  HevcNalHeader stFirstSliceNal;
  uint32_t uiMagic;
  HevcBitReader stBr;
  // stream buffer
  uint8_t* pStreamBuf;
  int32_t iStreamBufBytes, iStreamBufSize;
  int32_t iVclBytes, iErrorPending, iErrorLatched;
  HevcNalHeader stNal;
  // active sets
  const HevcVps* pVps;
  const HevcSps* pSps;
  HevcPps* pPps;
  HevcPictureInfo stPic;
  // slice state
  int32_t bIndependentDone, SliceAddrRs, iSliceType;
  HevcRefList stRefList[2];
  HevcRpsLists stRps;
  HevcSliceHeader stSh;
  int32_t iCurPoc;
  HevcPicture* pCurPic;
  int32_t iNumPics;
  HevcPicture astPic[kMaxDpb + 1];  // the picture buffer, then the stand-in (never in the buffer)
  // parameter-set slots
  HevcVps* apVps[16];
  HevcSps* apSps[16];
  HevcPps* apPps[64];
  uint8_t* pUserData;  // kUserDataMax bytes then a 32-bit length
  int32_t* piTileColWidth;
  int32_t* piTileRowHeight;
  IH265D_MallocFxn MallocFxn;
  IH265D_FreeFxn FreeFxn;
  IH265D_MessageFxn MessageFxn;
  HevcMemPool stPool;
  HevcDspTable stDsp;
  uint8_t* pWppCtx;
  HevcCabac* pCabac;
  // per-picture work maps
  uint8_t* pPredModeMap;  // per 4x4
  uint8_t* pCodedMap;     // per 4x4
  int8_t* pQpYMap;        // per min CB (stored per 4x4 grid for simplicity)
  uint8_t* pPcmBypassMap; // per 8x8
  uint8_t* pSkipFlagMap;  // per 4x4
  uint8_t* pCtDepthMap;   // per 4x4
  uint8_t* apIntraLine[3];
  int32_t aiIntraLineStride[3];
  HevcSaoParams* pSaoParamMap;
  int8_t* pDeblockParamMap;
  int32_t* pCtbSliceAddrMap;
  uint8_t* pCtbDoneMap;  // per CTB of the current picture: 1 once reconstructed
  uint8_t* pCtbLfAcrossSlicesMap;
  int32_t iMaxCtbs;  // entries of the per-CTB maps
  int32_t iMap4Stride;  // entries per row of the 4x4 maps (max width / 4)
  // motion of the current picture: records per CTB row area, found by index per 4x4
  HevcMotionInfo* pPuMotionStore;
  int32_t* pPuIndexMap;
  int32_t* pRowPuCount;       // per CTB row
  int32_t iPuAreaSize;        // records per CTB row area
  int32_t iNoBackwardPred;    // no reference of the slice follows the current picture
  uint8_t* pSavedBs;          // 32 bytes per CTB row: horizontal-edge Bs of the deferred 8 columns
  uint8_t* apSaoBase[3];      // the SAO source: deblocked samples of the CTBs already offset
  uint8_t* apSaoPlane[3];
  uint8_t* pSaoDoneMap;  // per CTB: bit c once component c is offset and its samples are in the SAO source
  HevcCtu* pCtu;
  // threading (eThreadType 1)
  HevcCtu* apWorkerCtus[kRowContexts];  // per worker context: a CTB row of CTU records
  HevcSliceState* apWorkerSlices[kRowContexts];
  HevcPictureInfo* apWorkerInfos[kRowContexts];
  HevcCtu* pJobCtus;  // the arrays the current job uses
  HevcSliceState* pJobSlices;
  HevcPictureInfo* pJobInfos;
  uint8_t ucWorkers;
  int32_t* piRowProgress;  // per CTB row
  int32_t iRoundRobin;
  int32_t iJobQueued;
  int32_t iJobFirst, iJobEnd;  // tile-scan CTB addresses
  int32_t iTileStart;
  HevcWorkerPool* pPool;
  HevcDecoder* apWorker[kRowContexts];
  uint8_t bPicFailed;
  HevcAuBatch stAu;
  // below: each thread's own, never refreshed from the main handle
  HevcCtu* pSync;             // the worker's row sync record
  int16_t* apPredScratch[4];  // 64 x 64 intermediates each, row stride 64
  int16_t* pOwnScratch;       // a worker's own block behind apPredScratch
  uint8_t* pSaoScratch;       // a CTB's deblocked samples with their ring, at the picture's stride
};

// memory
void* HevcPoolAlloc(HevcMemPool* pool, size_t n, size_t align);  // zeroed
void* HevcPoolAllocRaw(HevcMemPool* pool, size_t n, size_t align);  // only the spare bytes zeroed
// not zeroed; huge-page aligned and advised when large
void* HevcPoolAllocLarge(HevcMemPool* pool, size_t n);
int HevcMemset(void* dst, int64_t size, int value, int64_t count);

// messages
#define HEVC_ERR(dec, ...) (dec)->MessageFxn((dec)->iChannel, 0, __VA_ARGS__)
#define HEVC_WARN(dec, ...) (dec)->MessageFxn((dec)->iChannel, 1, __VA_ARGS__)

// NAL units and parameter sets
int32_t HevcDecodeNalUnit(HevcDecoder* dec, uint8_t* unit, int32_t len, int32_t scLen);
int32_t HevcParseVps(HevcDecoder* dec, HevcBitReader* br);
int32_t HevcParseSps(HevcDecoder* dec, HevcBitReader* br);
int32_t HevcParsePps(HevcDecoder* dec, HevcBitReader* br);
int32_t HevcParseSei(HevcDecoder* dec, HevcBitReader* br);
int HevcParseShortTermRps(HevcDecoder* dec, HevcSps* sps, HevcBitReader* br, int idx, int num, HevcStRps* out);
int HevcParseScalingListData(HevcDecoder* dec, HevcBitReader* br, HevcScalingList* sl);
void HevcDefaultScalingLists(HevcScalingList* sl);
void HevcFlatScalingLists(HevcScalingList* sl);
void HevcDeriveScalingFactors(HevcPps* pps, const HevcSps* sps);
int HevcBuildTileMaps(HevcDecoder* dec, const HevcSps* sps, HevcPps* pps);
int32_t HevcDerivePpsFromSps(HevcDecoder* dec, HevcPps* pps, const HevcSps* sps);

// slices, pictures
int32_t HevcParseSliceHeader(HevcDecoder* dec, HevcBitReader* br);
// variant 0 single-threaded, 1 the first slice unit of a batch, 2 a worker's
int32_t HevcParseSliceHeaderVariant(HevcDecoder* dec, HevcBitReader* br, int variant);
int32_t HevcParseSliceHeaderAu(HevcDecoder* dec);
int32_t HevcParseSliceHeaderJob(HevcDecoder* dec, HevcBitReader* br, const HevcNalHeader* nal);
// the dependent_slice_segment_flag of a slice unit (0 for a picture's first), or an error code
int32_t HevcParseSliceIds(HevcDecoder* dec, HevcBitReader* br, const HevcNalHeader* nal);
int32_t HevcStartSliceDataJob(HevcDecoder* dec);
void HevcClearPictureMaps(HevcDecoder* dec);
void HevcSetCtuGeometry(const HevcSps* sps, HevcCtu* ctu);
// steps of a slice segment before its first CTU; 0 or the error of a segment that does not continue the picture
int32_t HevcPrepareSliceData(HevcDecoder* dec);
// threads
int HevcThreadsInit(HevcDecoder* dec);
int HevcThreadsStart(HevcDecoder* dec);
void HevcThreadsStop(HevcDecoder* dec);
int32_t HevcDecodePicture(HevcDecoder* dec);
void HevcPadBorders(HevcDecoder* dec, int count, int first);
void HevcSetErrorFlags(HevcDecoder* dec);
void HevcReadNalHeaderFields(const uint8_t* p, HevcNalHeader* h);
int32_t HevcStartSliceData(HevcDecoder* dec);
int32_t HevcSetPictureGeometry(HevcDecoder* dec, HevcPictureInfo* info);
void HevcPadPicture(HevcDecoder* dec);
int HevcAllocDpb(HevcDecoder* dec);
int HevcAllocPictureMemory(HevcDecoder* dec, HevcPicture* p);  // 0 when the buffer has its planes
// Gives every sample and motion entry of the buffer that readers may reach and
// that was never written a fixed value: the CTBs not reconstructed (all of
// them without the map), then the margins.
void HevcSettlePicture(HevcDecoder* dec, HevcPicture* p, bool useDoneMap);
// True when buffer idx cannot serve the picture in buffer curIdx as a
// reference: missing, laid out otherwise, or that picture itself.
bool HevcNeedsStandIn(const HevcDecoder* dec, int idx, int curIdx);
// True when the SPS's pictures fit the handle's maximum picture.
inline bool HevcSpsFits(const HevcDecoder* dec, const HevcSps* sps) {
  return sps->pic_width_in_luma_samples <= dec->iMaxWidth && sps->pic_height_in_luma_samples <= dec->iMaxHeight;
}
void HevcUpdatePrevTid0Pic(HevcDecoder* dec);
int32_t HevcComputePoc(HevcDecoder* dec);
void HevcApplyRps(HevcDecoder* dec, int32_t poc, HevcRpsLists* out);
int32_t HevcBuildRefLists(HevcDecoder* dec, const HevcRpsLists* rps, int32_t poc);
void HevcStartPicture(HevcDecoder* dec, int32_t poc, const HevcRpsLists* rps);
int HevcOutputPicture(HevcDecoder* dec, int outputNow, IH265D_OutArgs* out);

// CABAC and coding tree
void HevcCabacStart(HevcCabac* c, const uint8_t* start, const uint8_t* end);
void HevcCabacInitContexts(HevcCabac* c, int sliceType, int cabacInitFlag, int sliceQpY);
inline int HevcCabacDecodeBin(HevcCabac* c, uint8_t* state) { return HevcCabacEngineBin(&c->stEngine, state); }
inline int HevcCabacDecodeBypass(HevcCabac* c) { return HevcCabacEngineBypass(&c->stEngine); }
inline uint32_t HevcCabacDecodeBypassBits(HevcCabac* c, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 1) | static_cast<uint32_t>(HevcCabacEngineBypass(&c->stEngine));
  return v;
}
inline int HevcCabacDecodeTerminate(HevcCabac* c) { return HevcCabacEngineTerminate(&c->stEngine); }
const uint8_t* HevcCabacRestart(HevcCabac* c, int64_t n);
void HevcInitCtuCabac(HevcDecoder* dec, int ctbAddrTs);
void HevcSaveWppContexts(HevcDecoder* dec, int ctbAddrTs);
void HevcResetCtuState(HevcDecoder* dec, HevcCtu* ctu);
int32_t HevcDecodeCtu(HevcDecoder* dec, HevcCtu* ctu);
void HevcReconstructCtu(HevcDecoder* dec, HevcCtu* ctu);
int32_t HevcResidualCoding(HevcDecoder* dec, HevcTu* tu, int log2TrafoSize, int bypass, int cIdx, int16_t* coeff, int scanIdx);
int32_t HevcMvdCoding(HevcDecoder* dec, int16_t* mvd);
int HevcZscanAvailable(const HevcDecoder* dec, int xCurr, int yCurr, int xNb, int yNb);
void HevcStoreCtuMotion(HevcDecoder* dec, const HevcCtu* ctu);
void HevcFilterCtu(HevcDecoder* dec, const HevcCtu* ctu);

struct HevcResidualParams {
  uint8_t ucTransquantBypass, ucTransformSkip;
  int32_t iPredMode, iCIdx, iQp, iLog2TrafoSize, iMatrixId, iNumCoeffPos, iNumCols;
};
void HevcReconstructResidual(HevcDecoder* dec, const HevcResidualParams* p, int stride, int16_t* coeff, uint8_t* dst);
void HevcReconstructIntraCu(HevcDecoder* dec, HevcCtu* ctu, int cuIdx, int lumaOffset, int tuIdx);
void HevcReconstructInterCu(HevcDecoder* dec, HevcCtu* ctu, int cuIdx, int lumaOffset, int tuIdx);
// residual of one component block at luma position (xL, yL) of the current picture
void HevcResidualBlock(HevcDecoder* dec, const HevcCu& cu, const HevcTu& tu, int cIdx, int log2,
                       int16_t* coeff, int xL, int yL);
void HevcMarkCoded(HevcDecoder* dec, int x, int y, int n);

// inter prediction
void HevcDeriveMotion(HevcDecoder* dec, const HevcCtu* ctu, const HevcCu* cu, int xPb, int yPb, int nPbW,
                      int nPbH, int partIdx, HevcMotionInfo* out);
int HevcMotionEqual(const HevcMotionInfo* a, const HevcMotionInfo* b);
inline HevcMotionInfo* HevcMotionAt(HevcDecoder* dec, int x, int y) {
  const int row = y >> dec->pSps->CtbLog2SizeY;
  return dec->pPuMotionStore + static_cast<size_t>(row) * dec->iPuAreaSize +
         dec->pPuIndexMap[static_cast<size_t>(y >> 2) * dec->iMap4Stride + (x >> 2)];
}
int32_t HevcCheckReferences(HevcDecoder* dec);
void HevcStartPictureMotion(HevcDecoder* dec);

// plain kernels (also the reference for any vector twin)
void HevcSetTransformKernels(HevcDspTable* t);
void HevcSetIntraKernels(HevcDspTable* t);
void HevcSetInterKernels(HevcDspTable* t);
void HevcSetLoopFilterKernels(HevcDspTable* t);
void HevcSetCopyKernels(HevcDspTable* t);

}  // namespace hevc
