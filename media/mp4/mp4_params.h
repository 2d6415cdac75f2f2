// Picture size and parameters from H.264 and HEVC SPS NAL units and JPEG
// frames, as the MP4 writer needs them for its sample entries.
#pragma once

#include <cstdint>

struct Mp4HevcInfo {
  uint8_t profileSpace;
  uint8_t tierFlag;
  uint8_t profileIdc;
  uint8_t levelIdc;
  uint8_t chromaFormatIdc;
  uint8_t bitDepthLumaMinus8;
  uint8_t bitDepthChromaMinus8;
  uint8_t temporalLayers;
  uint8_t temporalIdNesting;
};

// nal starts at the NAL header byte (no start code). False when too short.
bool Mp4ParseH264Sps(const uint8_t* nal, uint32_t len, uint32_t* width, uint32_t* height);
bool Mp4ParseHevcSps(const uint8_t* nal, uint32_t len, uint32_t* width, uint32_t* height,
                     Mp4HevcInfo* info);
bool Mp4ParseJpegSize(const uint8_t* data, uint32_t len, uint32_t* width, uint32_t* height);
