#include "media/mp4/mp4_params.h"

#include <cstdlib>
#include <cstring>

#include "codecs/common/bit_reader.h"
#include "codecs/common/nal.h"

namespace {

using bits::BitReader;
using bits::SkipScalingList;

bool HasChromaInfo(uint32_t profile) {
  switch (profile) {
    case 100: case 110: case 122: case 244: case 44: case 83:
    case 86: case 118: case 128: case 138: case 139: case 134: case 135:
      return true;
    default:
      return false;
  }
}

// The size fields of an SPS without its emulation prevention bytes.
bool ParseH264Size(const uint8_t* nal, uint32_t len, uint32_t* width, uint32_t* height) {
  uint32_t profile = nal[1];
  BitReader br{nal + 4, len - 4};
  br.Ue();  // seq_parameter_set_id
  if (HasChromaInfo(profile)) {
    uint32_t chroma = br.Ue();
    if (chroma == 3) br.Bit();
    br.Ue();   // bit_depth_luma_minus8
    br.Ue();   // bit_depth_chroma_minus8
    br.Bit();  // qpprime_y_zero_transform_bypass_flag
    if (br.Bit()) {
      int lists = chroma == 3 ? 12 : 8;
      for (int i = 0; i < lists && !br.failed; ++i) {
        if (br.Bit() && !SkipScalingList(&br, i < 6 ? 16 : 64)) return false;
      }
    }
  }
  br.Ue();  // log2_max_frame_num_minus4
  uint32_t pocType = br.Ue();
  if (pocType == 0) {
    br.Ue();
  } else if (pocType == 1) {
    br.Bit();
    br.Se();
    br.Se();
    uint32_t n = br.Ue();
    for (uint32_t i = 0; i < n && !br.failed; ++i) br.Se();
  }
  br.Ue();   // max_num_ref_frames
  br.Bit();  // gaps_in_frame_num_value_allowed_flag
  uint32_t w = br.Ue();
  uint32_t h = br.Ue();
  if (br.failed || w > 4095 || h > 4095) return false;
  *width = (w + 1) * 16;
  *height = (h + 1) * 16;
  return true;
}

}  // namespace

bool Mp4ParseH264Sps(const uint8_t* nal, uint32_t len, uint32_t* width, uint32_t* height) {
  if (len < 5) return false;
  uint8_t* raw = static_cast<uint8_t*>(std::malloc(len));
  if (!raw) return false;
  uint32_t n = bits::RemoveEmulation(nal, len, raw);
  bool ok = n >= 5 && ParseH264Size(raw, n, width, height);
  std::free(raw);
  return ok;
}

bool Mp4ParseHevcSps(const uint8_t* nal, uint32_t len, uint32_t* width, uint32_t* height,
                     Mp4HevcInfo* info) {
  if (len < 3) return false;
  uint8_t* raw = static_cast<uint8_t*>(std::malloc(len));
  if (!raw) return false;
  uint32_t n = bits::RemoveEmulation(nal, len, raw);
  BitReader br{raw + 2, n >= 2 ? n - 2 : 0};
  Mp4HevcInfo hi{};
  br.Bits(4);  // sps_video_parameter_set_id
  uint32_t subLayersMinus1 = br.Bits(3);
  hi.temporalLayers = static_cast<uint8_t>(subLayersMinus1 + 1);
  hi.temporalIdNesting = static_cast<uint8_t>(br.Bit());
  hi.profileSpace = static_cast<uint8_t>(br.Bits(2));
  hi.tierFlag = static_cast<uint8_t>(br.Bit());
  hi.profileIdc = static_cast<uint8_t>(br.Bits(5));
  br.Skip(32 + 48);
  hi.levelIdc = static_cast<uint8_t>(br.Bits(8));
  bits::SkipHevcSubLayers(&br, subLayersMinus1);
  br.Ue();  // sps_seq_parameter_set_id
  uint32_t chroma = br.Ue();
  if (chroma == 3) br.Bit();
  uint32_t w = br.Ue();
  uint32_t h = br.Ue();
  if (br.Bit()) {
    br.Ue();
    br.Ue();
    br.Ue();
    br.Ue();
  }
  uint32_t depthLuma = br.Ue();
  uint32_t depthChroma = br.Ue();
  bool ok = !br.failed && chroma <= 3 && w <= 65535 && h <= 65535 && depthLuma <= 8 && depthChroma <= 8;
  std::free(raw);
  if (!ok) return false;
  hi.chromaFormatIdc = static_cast<uint8_t>(chroma);
  hi.bitDepthLumaMinus8 = static_cast<uint8_t>(depthLuma);
  hi.bitDepthChromaMinus8 = static_cast<uint8_t>(depthChroma);
  *width = w;
  *height = h;
  *info = hi;
  return true;
}

bool Mp4ParseJpegSize(const uint8_t* data, uint32_t len, uint32_t* width, uint32_t* height) {
  uint32_t i = 0;
  while (i + 1 < len && data[i] == 0xFF) {
    uint8_t marker = data[i + 1];
    if (marker == 0xD8) {
      i += 2;
      continue;
    }
    if (marker == 0xC0) {
      if (i + 9 > len) return false;
      *height = static_cast<uint32_t>((data[i + 5] << 8) | data[i + 6]);
      *width = static_cast<uint32_t>((data[i + 7] << 8) | data[i + 8]);
      return true;
    }
    if (i + 4 > len) return false;
    i += 2 + ((data[i + 2] << 8) | data[i + 3]);
  }
  return false;
}
