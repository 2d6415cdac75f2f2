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

// Copies src into dst with every 00 00 03 turned into 00 00; returns the new
// length (at most len).
uint32_t Mp4RemoveEmulation(const uint8_t* src, uint32_t len, uint8_t* dst);

// Walks the NAL units of a sample, each after a 4-byte start code 00 00 00 01.
// On entry *pos is where to search from; on success the unit is
// [*nal, *nal + *nalLen) and *pos is moved past it.
bool Mp4NextNal(const uint8_t* data, uint32_t len, uint32_t* pos, uint32_t* nal, uint32_t* nalLen);
