// Inside the H.264 decoder: the context, its records and the routines the
// decoder's units call among themselves. Nothing outside codecs/h264 (and
// its tests) includes this.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codecs/h264/h264_kernels.h"
#include "codecs/h264/h264_tables.h"
#include "codecs/h264/h264dec.h"

// ---------------------------------------------------------------------------
// Limits and sizes

enum : int {
  kH264MaxBuffers = 36,
  kH264MaxDpb = 16,
  kH264RingSize = 64,
  kH264MaxSps = 32,
  kH264MaxPps = 256,
  kH264MaxRefs = 33,
  kH264MaxMmco = 33,
  kH264PocCycleMax = 255,
  kH264NalGuard = 64,  // zeroed bytes behind every unit in the NAL buffer
};

// Per-NAL results that are not errors.
enum : int {
  kH264NalEndOfStream = 1,
  kH264NalNewPicture = 2,  // also SEI and prefix units
  kH264NalSamePicture = 3,
  kH264NalSps = 7,
  kH264NalPps = 8,
  kH264NalOther = 9,
};

// Macroblock results (bits of the value a slice loop returns).
enum : int {
  kH264MbReconError = 1 << 1,
  kH264MbResidualError = 1 << 2,
  kH264MbSyntaxError = 1 << 3,
  kH264SliceOutside = 1,  // first_mb_in_slice or a skip run beyond the picture
};

// Unified macroblock type.
enum : int {
  kH264MbSkip = -1,
  kH264MbINxN = 23,
  kH264MbI16x16First = 24,
  kH264MbIPcm = 48,
};

enum H264StreamState : int { kH264NothingReceived = 0, kH264SpsReceived = 1, kH264PpsReceived = 2 };

// ---------------------------------------------------------------------------
// Bit reader over the NAL buffer (the unit's emulation-prevention bytes are
// already removed). The position never passes `limit`, and everything from
// the unit's end to the limit reads as zero bits.

struct H264DecBitReader {
  const uint8_t* data;
  uint32_t size;       // bytes readable behind data
  uint32_t bitLength;  // bits of the unit without its last byte
  uint32_t pos;
  uint32_t limit;
};

// ---------------------------------------------------------------------------
// Parameter sets

struct H264Hrd {
  uint32_t cpb_cnt_minus1;
  uint32_t bit_rate_scale;
  uint32_t cpb_size_scale;
  uint32_t initial_cpb_removal_delay_length_minus1;
  uint32_t cpb_removal_delay_length_minus1;
  uint32_t dpb_output_delay_length_minus1;
  uint32_t time_offset_length;
};

struct H264Vui {
  uint32_t aspect_ratio_idc;
  uint32_t sar_width;
  uint32_t sar_height;
  uint32_t overscan_appropriate_flag;
  uint32_t video_format;
  uint32_t video_full_range_flag;
  uint32_t colour_primaries;
  uint32_t transfer_characteristics;
  uint32_t matrix_coefficients;
  uint32_t chroma_sample_loc_type_top_field;
  uint32_t chroma_sample_loc_type_bottom_field;
  uint32_t num_units_in_tick;
  uint32_t time_scale;
  uint32_t fixed_frame_rate_flag;
  uint32_t nal_hrd_parameters_present_flag;
  uint32_t vcl_hrd_parameters_present_flag;
  H264Hrd nalHrd;
  H264Hrd vclHrd;
  uint32_t low_delay_hrd_flag;
  uint32_t pic_struct_present_flag;
  uint32_t bitstream_restriction_flag;
  uint32_t max_num_reorder_frames;
  uint32_t max_dec_frame_buffering;
};

struct H264Sps {
  uint32_t id;  // kH264MaxSps marks an empty slot
  uint32_t changed;
  uint32_t profile_idc;
  uint32_t constraint_flags;  // constraint_set0..3 in bits 3..0
  uint32_t level_idc;
  uint32_t chroma_format_idc;
  uint32_t qpprime_y_zero_transform_bypass_flag;
  uint32_t seq_scaling_matrix_present_flag;
  uint8_t scaling4x4[6][16];  // raster order
  uint8_t scaling8x8[2][64];
  uint32_t log2_max_frame_num_minus4;
  uint32_t pic_order_cnt_type;
  uint32_t log2_max_pic_order_cnt_lsb_minus4;
  uint32_t delta_pic_order_always_zero_flag;
  int32_t offset_for_non_ref_pic;
  int32_t offset_for_top_to_bottom_field;
  uint32_t num_ref_frames_in_pic_order_cnt_cycle;
  int32_t offset_for_ref_frame[kH264PocCycleMax];
  uint32_t max_num_ref_frames;
  uint32_t gaps_in_frame_num_value_allowed_flag;
  uint32_t pic_width_in_mbs_minus1;
  uint32_t pic_height_in_map_units_minus1;
  uint32_t frame_mbs_only_flag;
  uint32_t mb_adaptive_frame_field_flag;
  uint32_t direct_8x8_inference_flag;
  uint32_t frame_cropping_flag;
  uint32_t cropLeft;  // in luma samples
  uint32_t cropRight;
  uint32_t cropTop;
  uint32_t cropBottom;
  uint32_t vui_parameters_present_flag;
  H264Vui vui;
  // SVC sequence extension (profiles 83 and 86)
  uint32_t slice_header_restriction_flag;
  // Derived
  uint32_t maxFrameNum;
  uint32_t maxPicOrderCntLsb;
  uint32_t widthMbs;
  uint32_t frameHeightMbs;
  uint32_t width;        // luma samples
  uint32_t frameHeight;  // luma lines
  uint32_t dpbSize;      // frames
};

struct H264Pps {
  uint32_t id;  // kH264MaxPps marks an empty slot
  uint32_t changed;
  uint32_t seq_parameter_set_id;
  uint32_t entropy_coding_mode_flag;
  uint32_t bottom_field_pic_order_in_frame_present_flag;
  uint32_t num_slice_groups_minus1;
  uint32_t num_ref_idx_l0_default_active_minus1;
  uint32_t num_ref_idx_l1_default_active_minus1;
  uint32_t weighted_pred_flag;
  uint32_t weighted_bipred_idc;
  int32_t pic_init_qp_minus26;
  int32_t pic_init_qs_minus26;
  int32_t chroma_qp_index_offset;
  uint32_t deblocking_filter_control_present_flag;
  uint32_t constrained_intra_pred_flag;
  uint32_t redundant_pic_cnt_present_flag;
  uint32_t transform_8x8_mode_flag;
  uint32_t pic_scaling_matrix_present_flag;
  int32_t second_chroma_qp_index_offset;
  uint8_t scaling4x4[6][16];  // raster order
  uint8_t scaling8x8[2][64];
};

// ---------------------------------------------------------------------------
// Slice header

struct H264RefListCommand {
  uint32_t idc;    // modification_of_pic_nums_idc; 3 ends the list
  uint32_t value;  // abs_diff_pic_num_minus1 or long_term_pic_num
};

struct H264Mmco {
  uint32_t op;  // memory_management_control_operation; 0 ends the list
  uint32_t difference_of_pic_nums_minus1;
  uint32_t long_term_pic_num;
  uint32_t long_term_frame_idx;
  uint32_t max_long_term_frame_idx_plus1;
};

enum H264SliceType : uint32_t { kH264SliceP = 0, kH264SliceB = 1, kH264SliceI = 2, kH264SliceSP = 3, kH264SliceSI = 4 };

struct H264SliceHeader {
  uint32_t nal_ref_idc;
  uint32_t nal_unit_type;
  uint32_t idrPicFlag;
  uint32_t outputFlag;
  uint32_t first_mb_in_slice;
  uint32_t slice_type;  // slice_type % 5
  uint32_t pic_parameter_set_id;
  uint32_t frame_num;
  uint32_t field_pic_flag;
  uint32_t bottom_field_flag;
  uint32_t structure;  // 0 frame, 1 top field, 2 bottom field
  uint32_t PicWidthInMbs;
  uint32_t PicHeightInMbs;
  uint32_t PicSizeInMbs;
  uint32_t idr_pic_id;  // 0x10000 for a non-IDR slice
  uint32_t pic_order_cnt_lsb;
  int32_t delta_pic_order_cnt_bottom;
  int32_t delta_pic_order_cnt[2];
  uint32_t redundant_pic_cnt;
  uint32_t direct_spatial_mv_pred_flag;
  uint32_t num_ref_idx_active_override_flag;
  uint32_t num_ref_idx_l0_active_minus1;
  uint32_t num_ref_idx_l1_active_minus1;
  uint32_t ref_pic_list_modification_flag[2];
  H264RefListCommand refListCommands[2][kH264MaxRefs];
  uint32_t wpMode;  // 0 default, 1 explicit, 2 implicit
  uint32_t luma_log2_weight_denom;
  uint32_t chroma_log2_weight_denom;
  int32_t lumaRound;
  int32_t chromaRound;
  int32_t lumaWeight[2][kH264MaxRefs];
  int32_t lumaOffset[2][kH264MaxRefs];
  int32_t chromaWeight[2][kH264MaxRefs][2];
  int32_t chromaOffset[2][kH264MaxRefs][2];
  uint32_t no_output_of_prior_pics_flag;
  uint32_t long_term_reference_flag;
  uint32_t adaptive_ref_pic_marking_mode_flag;
  uint32_t mmcoCount;  // the ending 0 included
  H264Mmco mmco[kH264MaxMmco];
  uint32_t cabac_init_idc;
  int32_t slice_qp_delta;
  uint32_t disable_deblocking_filter_idc;
  int32_t slice_alpha_c0_offset_div2;
  int32_t slice_beta_offset_div2;
};

// What the first-slice test compares.
struct H264SavedSliceState {
  uint32_t pic_parameter_set_id;  // kH264MaxPps after reset
  uint32_t frame_num;
  uint32_t field_pic_flag;
  uint32_t bottom_field_flag;
  uint32_t nal_ref_idc;
  uint32_t nal_unit_type;
  int64_t idr_pic_id;  // -1 after a new SPS took effect
  uint32_t pic_order_cnt_lsb;
  int32_t delta_pic_order_cnt_bottom;
  int32_t delta_pic_order_cnt[2];
};

// ---------------------------------------------------------------------------
// Macroblock records

struct H264MbInfo {
  uint8_t nonZero[16];  // coded-coefficient flag per 4x4 block (block index order)
  int8_t intraPredMode[16];
  uint8_t totalCoeffLuma[16];
  uint8_t totalCoeffChroma[8];  // 4 Cb, then 4 Cr
  uint8_t bottomLuma[16];       // unfiltered bottom row
  uint8_t bottomCb[8];
  uint8_t bottomCr[8];
  int32_t transform8x8;
  uint8_t available;  // decoded and in the current slice
  uint8_t fieldMb;
  uint8_t qp;  // as the deblocking filter sees it (0 for I_PCM)
  uint8_t qpCb;
  uint8_t qpCr;
  uint8_t chromaPredMode;
  // CABAC context history
  int8_t refIdxHist[8];       // list 0 then list 1, per 8x8; -1 where the list is not used
  uint8_t absMvd[2][16][2];   // |mvd| per list, 4x4 block and component, capped at 255
  uint8_t codedBlockPattern;  // 0 for skipped, 47 for I_PCM
  uint8_t cbfLumaDc;
  uint8_t cbfCbDc;
  uint8_t cbfCrDc;
  uint8_t cbfCbAc[4];
  uint8_t cbfCrAc[4];
};

struct H264MbMotion {
  int32_t mbType;  // unified type
  int32_t fieldPic;
  int8_t refIdxL0[4];
  int8_t refIdxL1[4];
  uint8_t refStructL0[4];
  uint8_t refStructL1[4];
  int32_t refPocL0[4];  // identify the reference pictures after the slice
  int32_t refPocL1[4];
  int16_t mvL0[16][2];
  int16_t mvL1[16][2];
};

struct alignas(16) H264MbWork {
  uint8_t edgeStrength[40];
  uint32_t cbp;  // bits 0..3 luma 8x8 blocks, value >> 4 the chroma pattern
  uint32_t intraChromaPredMode;
  alignas(16) int16_t residual[384];  // luma in the quadrant layout, then Cb, then Cr (rows of 8)
  alignas(16) uint8_t samples[kMbSamplesSize];
  alignas(16) int16_t coeff[64];  // scratch: one block's scaled coefficients
  int32_t mbX;
  int32_t mbY;  // row within the field for field pictures
  int32_t mbAddr;
  int64_t lumaRowOffset;  // byte offset of the macroblock row's first line
  int64_t chromaRowOffset;
  int32_t subMbType[4];
  int32_t prevIntraPredModeFlag[16];
  int32_t remIntraPredMode[16];
  int32_t intra16x16PredMode;
  uint8_t leftLuma[16];  // unfiltered right column of the previous macroblock
  uint8_t leftCb[8];
  uint8_t leftCr[8];
};

// Reference indexes and motion-vector differences of an inter macroblock as
// the parsers read them: per partition (16x16: entry 0; 16x8 and 8x16: 0 and
// 1; 8x8 types: per 8x8 block, differences at 4 * block + sub-partition). A
// negative index means the partition does not use that list.
struct H264InterParams {
  int8_t refIdx[2][4];
  int16_t mvd[2][16][2];
};

// Neighbour slots of the current macroblock.
enum : int {
  kH264NbCurrent = 0,
  kH264NbLeft = 12,      // A
  kH264NbTop = 13,       // B
  kH264NbTopRight = 14,  // C
  kH264NbTopLeft = 15,   // D
  kH264NbCurrent2 = 16,
  kH264NbUnavailable = 17,
  kH264NbSlots = 18,
};

// ---------------------------------------------------------------------------
// Pictures and the decoded picture buffer

enum : int { kH264OutputHeld = 0, kH264OutputFree = 1, kH264OutputQueued = 2 };

struct H264DecPicture {
  H264DecPicture* top;
  H264DecPicture* bottom;
  H264DecPicture* frame;
  int32_t bufferIndex;
  // Frame record only
  int32_t outputState;
  uint32_t timeStampLow;
  uint32_t timeStampHigh;
  int32_t sliceType;
  uint32_t stats[10];  // coded bytes, then Intra_4x4 .. I_PCM counts
  const void* userData;
  int32_t sei224Phase;
  int32_t incomplete;
  int32_t idr;
  int32_t interlaceMode;
  int32_t width;
  int32_t height;
  int32_t lumaStride;
  int32_t chromaStride;
  int32_t cropLeft;
  int32_t cropRight;
  int32_t cropTop;
  int32_t cropBottom;
  // All records
  int32_t inUse;  // frame: 1 top, 2 bottom, 3 both; field: its parity bit
  int32_t isReference;
  int32_t longTerm;
  int32_t nonExisting;
  uint32_t nal_unit_type;
  uint32_t outputFlag;
  uint32_t frame_mbs_only_flag;
  uint32_t no_output_of_prior_pics_flag;
  uint32_t long_term_reference_flag;
  uint32_t adaptive_ref_pic_marking_mode_flag;
  uint32_t mmcoCount;
  H264Mmco mmco[kH264MaxMmco];
  int32_t structure;  // 0 frame, 1 top, 2 bottom; 3 on the frame record of a field pair
  uint32_t frameNum;
  int32_t picNum;
  int32_t longTermFrameIdx;
  int32_t longTermPicNum;
  int32_t poc;
  int32_t framePoc;
  int32_t topPoc;
  int32_t bottomPoc;
  uint32_t picSizeInMbs;
};

struct H264DecFrameStore {
  H264DecPicture* frame;
  H264DecPicture* top;
  H264DecPicture* bottom;
  int32_t outputDone;
  int32_t inUse;        // bits: 1 top, 2 bottom
  int32_t longTerm;     // bits
  int32_t reference;    // bits
  int32_t storedAsRef;  // reference bits when stored
  uint32_t frameNum;
  int32_t frameNumWrap;
  int32_t longTermFrameIdx;
  int32_t poc;
};

// The SEI type-240 block a picture points at.
struct H264DecUserData {
  uint32_t marker;  // 240 once such an SEI was seen
  uint32_t length;
  const uint8_t* payload;
  uint32_t zero;
  uint8_t bytes[255];
};

struct H264DecNalAssembler {
  const uint8_t* input;
  uint32_t length;
  uint32_t pos;
  uint32_t window;  // last three bytes
  int32_t state;    // 0 before the first start code, 1 collecting
  uint32_t writePos;
  uint32_t removed;   // emulation-prevention bytes dropped from the current unit
  uint32_t consumed;  // input bytes taken for the current unit
  int32_t drainFed;   // the closing start code of a drain was fed
};

// What the deblocking pass after worker-decoded slices needs of a
// macroblock: its slice, filter setting, strengths, QPs and coefficients
// (its motion stays in the picture's record).
struct H264DecDeblockMb {
  uint32_t picSerial;  // the picture it belongs to
  uint32_t slice;
  uint8_t idc;
  int8_t alpha;  // slice_alpha_c0_offset_div2
  int8_t beta;
  uint8_t edgeStrength[40];
  uint8_t filtered;  // by the worker that decoded it
  H264MbInfo info;
};

struct H264DecWorkerBlock;

// ---------------------------------------------------------------------------
// The context

// A reference picture's planes as motion compensation reads them, set with
// the reference lists: a field starts on its first line and steps two.
struct H264RefPlanes {
  const uint8_t* luma;  // null: no picture
  const uint8_t* cb;
  const uint8_t* cr;
  int32_t stride;     // luma line step; chroma half of it
  int32_t height;     // luma lines
  int32_t chromaMvY;  // added to vertical vectors for chroma (fields of opposite parity)
};

struct H264DecContext {
  // Create parameters
  uint32_t widthMbs;
  uint32_t heightMbs;
  uint32_t refFrames;
  uint32_t flags;
  uint32_t numBuffers;
  uint32_t bufferMbs;  // widthMbs * heightMbs

  // Frame buffers: luma, then Cb, then Cr, each at a fixed offset
  uint8_t* frameBuffers[kH264MaxBuffers];
  // Whether the buffer's chroma planes were set to grey; done at first use,
  // so buffers the stream never needs cost no memory traffic.
  uint8_t bufferPrepared[kH264MaxBuffers];
  H264MbMotion* motion[kH264MaxBuffers];  // one record per macroblock
  H264DecPicture pictures[kH264MaxBuffers][3];  // frame, top field, bottom field

  // Decoded picture buffer
  H264DecFrameStore* frameStores;  // kH264MaxDpb + 1 (the last is the output holder)
  H264DecFrameStore* dpb[kH264MaxDpb];
  uint32_t dpbFullness;
  uint32_t dpbSize;
  H264DecFrameStore* shortTermRefs[kH264MaxDpb];
  uint32_t numShortTerm;
  H264DecFrameStore* longTermRefs[kH264MaxDpb];
  uint32_t numLongTerm;
  int32_t maxLongTermFrameIdx;  // -1: none
  int32_t lastOutputPoc;
  H264DecFrameStore* pendingField;  // a first field waiting for its second
  int32_t curIsSecondField;         // the current picture completes pendingField
  H264DecPicture* refList[2][kH264MaxRefs];
  uint32_t refListLen[2];
  H264RefPlanes refPlanes[2][kH264MaxRefs];  // of refList's pictures

  // Parameter sets
  H264Sps* spsTable;
  H264Pps* ppsTable;
  H264Sps activeSps;
  H264Pps activePps;
  int32_t streamState;

  // NAL input
  H264DecNalAssembler nal;
  uint8_t* nalBuffer;
  uint32_t nalBufferSize;  // unit bytes it holds; kH264NalGuard more are allocated
  uint8_t drainCode[4];
  H264DecBitReader br;

  // Slice
  H264SliceHeader slice;
  H264SavedSliceState saved;
  uint16_t levelScale4x4[6][6][16];  // [list][qP % 6][raster]
  uint16_t levelScale8x8[2][6][64];
  int32_t qpY;
  int32_t lastMbQpDelta;
  int32_t levelPrefixMax;
  int16_t distScaleFactor[32];      // temporal direct, per list-0 index; 9999: vector unscaled
  int16_t implicitWeight[32][32];   // implicit bi-prediction: w1 by (refIdxL0, refIdxL1)

  // CABAC engine
  uint64_t cabacRange;
  uint64_t cabacOffset;
  uint8_t cabacCtx[460];  // pStateIdx << 1 | valMPS

  // Macroblock information rows (four allocated; two used; motion lives in
  // the picture's record), the unavailable records and the neighbour slots.
  H264MbInfo* infoRows;
  H264MbInfo unavailableInfo[2];
  H264MbMotion unavailableMotion[2];
  H264MbInfo* nbInfo[kH264NbSlots];
  H264MbMotion* nbMotion[kH264NbSlots];
  H264MbWork mb;

  // Current picture and picture order state
  H264DecPicture* curPic;
  uint32_t mbCount;   // macroblocks decoded into it (workers' counted as they finish)
  uint32_t sliceEnd;  // the slice stops before this address (with workers: the next slice's first)
  int64_t prevPicOrderCntMsb;
  int64_t prevPicOrderCntLsb;
  int64_t frameNumOffset;
  int64_t prevFrameNumOffset;
  uint32_t prevFrameNum;
  uint32_t prevRefFrameNum;
  int32_t prevHadMmco5;
  int32_t prevRefHadMmco5;
  int32_t prevRefWasBottomField;
  int32_t prevRefTopPoc;
  int64_t picOrderCntMsb;

  // Output
  H264DecKernelTable kernels;
  // Deblocking thresholds by QP (alpha word, beta, tc0 by bS) for the
  // filter offsets named by deblockKey (0: none yet).
  uint32_t deblockKey;
  H264EdgeThresholds deblockThresholds[52];
  // Chroma kernels of the 2x2 blocks of 4-wide partitions (beside the
  // table), of the same kernel set as the table.
  const H264McFn* chromaMc2x2;
  int32_t ring[kH264RingSize];
  uint32_t ringWrite;
  uint32_t ringRead;
  uint8_t* deinterlaceBuffer;
  uint8_t* deinterlaceState;

  // SEI
  H264DecUserData userData;
  uint32_t sei224Mark;

  // Call state
  uint32_t timeStampLow;
  uint32_t timeStampHigh;
  int32_t drained;
  int32_t firstError;

  // Worker threads (flag 0x20): the workers, the per-macroblock records of
  // the deblocking pass, the serial numbers of pictures and slices.
  H264DecWorkerBlock* workers;
  H264DecDeblockMb* deblockMbs;
  uint32_t picSerial;
  uint32_t sliceSerial;
  // The slice that starts a picture is filtered by its worker as it goes
  // (none of its edges borders another slice); `deblockPass` tells whether
  // other slices left macroblocks to the pass, `inlineSerial` is the picture
  // whose first slice went inline.
  uint32_t deblockInline;
  uint32_t deblockPass;
  uint32_t inlineSerial;
};

// ---------------------------------------------------------------------------
// Units

// Decoder frame
void* H264DecAlloc16(size_t size);
void H264DecFree16(void* block);
// Zeroed picture memory straight from the system, in huge pages where the
// system gives them (fewer page faults when a buffer is first written).
void* H264DecMapBuffer(size_t size);
void H264DecUnmapBuffer(void* block, size_t size);
int H264DecCpuLevel();
void H264DecResetState(H264DecContext* ctx);
int H264DecPopFrame(H264DecContext* ctx, H264DecFrame* frame);
// Deinterlaces (mode 2, a field pair) or copies (mode 1, a frame of an
// interlaced stream) the popped picture into the second picture buffer and
// points the record at it.
void H264DecDeinterlace(H264DecContext* ctx, H264DecFrame* frame, int bufferIndex, int mode);
void H264DecWaitWorkers(H264DecContext* ctx);
bool H264DecStartWorkers(H264DecContext* ctx);
void H264DecFreeWorkers(H264DecContext* ctx);
void H264DecDispatchSlice(H264DecContext* ctx);
void H264DecSaveDeblockMb(H264DecContext* ctx);
void H264DecDeblockPicture(H264DecContext* ctx);
// Sets the chroma planes of a buffer grey the first time a picture takes it.
void H264DecPrepareBuffer(H264DecContext* ctx, int bufferIndex);
inline uint8_t* H264DecPlane(H264DecContext* ctx, int bufferIndex, int plane) {
  uint8_t* base = ctx->frameBuffers[bufferIndex];
  size_t mbs = ctx->bufferMbs;
  return plane == 0 ? base : plane == 1 ? base + mbs * 256 : base + mbs * 320;
}

// NAL units, parameter sets and slice header
int H264DecNalUnit(H264DecContext* ctx, uint32_t codedSize);
int H264DecParseSps(H264DecContext* ctx, int nalUnitType);
int H264DecParsePps(H264DecContext* ctx);
int H264DecParseSliceHeader(H264DecContext* ctx);
int H264DecParseScalingList(uint8_t* scanOrderList, int size, H264DecBitReader* br);
uint32_t H264DecMaxDpbFrames(const H264Sps* sps);
void H264DecSaveSliceState(H264DecContext* ctx);
void H264DecComputeLevelScale(H264DecContext* ctx);

// Pictures and output order
int H264DecStartPicture(H264DecContext* ctx);
void H264DecFinishPicture(H264DecPicture* pic, H264DecContext* ctx);
void H264DecFinishCurrentPicture(H264DecContext* ctx);
void H264DecClearReferences(H264DecContext* ctx);
void H264DecComputePoc(H264DecContext* ctx, H264DecPicture* pic);
int H264DecInitRefLists(H264DecContext* ctx);
// PicNum and LongTermPicNum of every reference for a picture of frame_num
// frameNum and structure (0 frame, 1 top, 2 bottom).
void H264DecNumberReferences(H264DecContext* ctx, uint32_t frameNum, int structure);
void H264DecModifyRefList(H264DecContext* ctx, int list, H264DecPicture** refs, uint32_t length,
                          const H264RefListCommand* cmds);

// Slice data
int H264SliceDataCavlc(H264DecContext* ctx);
int H264SliceDataCabac(H264DecContext* ctx);
int H264SliceDataInit(H264DecContext* ctx);
int H264MbAdvance(H264DecContext* ctx);

// CAVLC residual
int H264ResidualIntra16x16(H264DecContext* ctx);
int H264ResidualLuma(H264DecContext* ctx);
int H264ResidualBlockCavlc(int32_t* coeffLevel, int startIdx, int maxNumCoeff, int nC, int* totalCoeff,
                           H264DecBitReader* br, int levelPrefixMax);
// The coded levels of one block, highest index first, with their indexes in
// the block's scan (from its first coded index).
struct H264CavlcBlock {
  int32_t level[16];
  uint8_t index[16];
};
// Reads one block; returns the number of levels or -1 for a broken block.
int H264ReadCavlcBlock(H264CavlcBlock* out, int maxNumCoeff, int nC, H264DecBitReader* br, int levelPrefixMax);
// v saturated to 16 bits.
inline int16_t H264Sat16(int64_t v) { return static_cast<int16_t>(v < -32768 ? -32768 : v > 32767 ? 32767 : v); }
// (c x scale) << q6, rounded and shifted right by `shift`, saturated.
inline int16_t H264Dequant(int32_t c, int scale, int q6, int shift) {
  int64_t v = (static_cast<int64_t>(c) * scale) * (int64_t{1} << q6);
  v = (v + (int64_t{1} << (shift - 1))) >> shift;
  return H264Sat16(v);
}
// The 4x4 block at `block` (rows of 8) set to `value`, a row per store.
inline void H264FillDc4x4(int16_t* block, int16_t value) {
  const uint64_t row = static_cast<uint16_t>(value) * uint64_t{0x0001000100010001};
  for (int y = 0; y < 4; ++y) std::memcpy(block + 8 * y, &row, 8);
}
// The residual of an 8x8 block whose only coefficient is `dc` (scaled).
void H264FillDc8x8(int16_t* block, int16_t dc);
void H264ChromaDc(const int32_t* lv, int scale, int qp, int16_t* dc);
void H264LumaDc(const H264DecContext* ctx, const int32_t* lv, const uint16_t* scale, int q6, int16_t* dc);

// Macroblock layer
int H264CavlcParseIntra16x16(H264DecContext* ctx);
int H264CavlcParseIntraNxN(H264DecContext* ctx);
int H264CavlcParseInter(H264DecContext* ctx, H264InterParams* p);
void H264StoreQp(H264DecContext* ctx);
void H264InterPSkip(H264DecContext* ctx);
void H264InterMb(H264DecContext* ctx, const H264InterParams* p);
void H264BSkip(H264DecContext* ctx);
void H264DirectB16x16(H264DecContext* ctx);
void H264DirectScaleFactors(H264DecContext* ctx);
void H264ImplicitWeights(H264DecContext* ctx);
void H264InterStrengths(H264DecContext* ctx);
// Strengths of the left (dir 0) or top (dir 1) macroblock edge of an
// available neighbour.
void H264MbEdgeStrengths(const H264MbInfo* cur, const H264MbMotion* m, const H264MbInfo* ni, const H264MbMotion* nm,
                         int dir, bool field, uint8_t* out);
void H264ClearIntraMotion(H264DecContext* ctx);
void H264SkipMb(H264DecContext* ctx);
int H264IntraMb4x4(H264DecContext* ctx);
int H264IntraMb8x8(H264DecContext* ctx);
int H264IntraMb16x16(H264DecContext* ctx);
int H264IntraPcmMb(H264DecContext* ctx);
void H264DeblockMacroblock(H264DecContext* ctx);

// Chroma QP of a luma QP and an offset (-12..12), Table 8-15 with clipping
// (inline: every macroblock, skipped ones too, asks for it).
inline uint8_t H264ChromaQp(int qpY, int offset) { return kH264QpcTable[std::clamp(qpY + offset, 0, 51)]; }

// Counts a macroblock in the picture's statistics (workers count at once).
inline void H264DecCount(H264DecContext* ctx, int index) {
  __atomic_fetch_add(&ctx->curPic->frame->stats[index], 1u, __ATOMIC_RELAXED);
}

// Records an error code for H264Dec_GetError.
inline void H264DecNoteError(H264DecContext* ctx, int code) {
  if (!ctx->firstError) ctx->firstError = code;
}
