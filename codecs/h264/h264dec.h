// H.264 decoder: Annex B byte stream in, planar 8-bit 4:2:0 pictures out.
//
// Create a context with H264Dec_Create, feed stream bytes with H264Dec_Decode,
// take each picture from the H264DecFrame it fills, drain at the end of the
// stream (drain flag 1 until -2) and free the context with H264Dec_Destroy.
#pragma once

#include <cstdint>

// Create parameters.
struct H264DecParam {
  uint32_t reserved0;  // must be 0
  uint32_t reserved1;  // must be 0
  uint32_t widthMbs;   // largest width in macroblocks; outside 2..1024 becomes 120
  uint32_t heightMbs;  // largest frame height in macroblocks; outside 6..1024 becomes 68
  uint32_t refFrames;  // reference frames to provide for; 0 becomes 4, at most 16
  uint32_t flags;      // H264DEC_FLAG_*; other bits are ignored
  void* reserved2;     // ignored
};

enum : uint32_t {
  H264DEC_FLAG_DISPLAY_ORDER = 0x1,  // output in display order (clear: decoding order)
  H264DEC_FLAG_DEINTERLACE = 0x10,   // deinterlace pictures of interlaced streams on output
  H264DEC_FLAG_THREADS = 0x20,       // four worker threads
};

// One output picture. The planes belong to the decoder and stay valid until
// the next H264Dec_Decode, H264Dec_GetFrame or H264Dec_Destroy call.
struct H264DecFrame {
  uint8_t* y;
  uint8_t* u;
  uint8_t* v;
  int32_t width;   // 16 x PicWidthInMbs
  int32_t height;  // frame height in luma lines
  int32_t lumaStride;
  int32_t chromaStride;
  int32_t cropLeft;  // cropping in luma samples
  int32_t cropRight;
  int32_t cropTop;
  int32_t cropBottom;
  int32_t bufferIndex;
  int32_t sei224Phase;  // 0, or 1/2 for an even/odd frame_num after SEI 224
  int32_t incomplete;   // 1 when fewer macroblocks were decoded than the picture has
  int32_t idr;
  int32_t reserved3;
  uint32_t timeStampLow;
  uint32_t timeStampHigh;
  int32_t poc;
  int32_t reserved4;
  const void* userData;          // the SEI type-240 block, or null
  const uint32_t* pictureInfo;   // coded bytes, then the per-type macroblock counts
};

struct H264DecContext;

// Results of H264Dec_Decode and H264Dec_GetFrame.
enum : int {
  H264DEC_PICTURE = 0,      // a picture is in the record
  H264DEC_NEED_INPUT = -1,  // the input is used up
  H264DEC_NO_MORE = -2,     // draining (or popping) found no further picture
  H264DEC_BAD_ARG = -3,
};

H264DecContext* H264Dec_Create(const H264DecParam* param);
int H264Dec_Decode(H264DecContext* ctx, const uint8_t* data, uint32_t length, uint32_t timeStampLow,
                   uint32_t timeStampHigh, H264DecFrame* frame, int drain);
int H264Dec_GetFrame(H264DecContext* ctx, H264DecFrame* frame);
void H264Dec_Destroy(H264DecContext* ctx);
void H264Dec_DestroyUnchecked(H264DecContext* ctx);
H264DecContext* H264Dec_Reset(H264DecContext* ctx);

// The code of the first NAL unit dropped with an error since the previous
// call (0x1000xxxx NAL layer, 0x2000xxxx parameter sets, 0x3000xxxx slice
// header and picture start, 0x40000000 + n slice data), or 0; clears it.
// Decoding itself never stops on such errors.
int H264Dec_GetError(H264DecContext* ctx);

// Unit error codes that a caller may want to tell apart.
enum : int {
  H264DEC_ERR_NAL_TYPE = 0x10000001,         // NAL unit type not supported
  H264DEC_ERR_NO_PARAMETER_SETS = 0x10000004,
  H264DEC_ERR_LOSSLESS = 0x20000008,         // qpprime_y_zero_transform_bypass_flag set
  H264DEC_ERR_SLICE_QP = 0x3000000b,         // slice QP outside 0..51
  H264DEC_ERR_NOT_SUPPORTED = 0x3000000c,    // SP and SI slices
  H264DEC_ERR_REDUNDANT = 0x3000001b,
};
