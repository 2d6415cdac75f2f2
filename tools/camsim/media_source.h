// Frames camsim sends, cut from files: each access unit of an Annex-B H.264
// or HEVC stream as the exact bytes of the file (so the frames laid end to end
// give the file back), G.711 A-law in 40 ms blocks, AAC as its ADTS frames.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace camsim {

struct MediaFrame {
  size_t offset = 0;  // in the file
  size_t size = 0;
  bool key = false;
  uint32_t duration_ms = 40;
};

struct MediaTrack {
  std::vector<uint8_t> bytes;  // the whole file
  std::vector<MediaFrame> frames;
  uint8_t wire_codec = 0;  // device-link wire code
  bool video = false;
  double fps = 0;  // video: the rate frames are sent at
};

// Video: ".h264"/".264" H.264, ".h265"/".265"/".hevc" HEVC (or by `codec` "h264"/"hevc"); fps 0: the rate the
// stream states (H.264 SPS or HEVC VPS timing), else 25.
bool LoadVideo(const std::string& path, const std::string& codec, double fps, MediaTrack* out, std::string* why);
// Audio: ".alaw"/".g711a" raw A-law at 8000 Hz, ".aac" ADTS.
bool LoadAudio(const std::string& path, MediaTrack* out, std::string* why);
// Access units of an Annex-B stream as byte ranges covering the file from its first start code.
std::vector<MediaFrame> SplitAccessUnits(const uint8_t* s, size_t n, bool hevc);
// ADTS frames of an AAC stream; false with why at the first byte that is no frame.
bool SplitAdts(const uint8_t* b, size_t n, std::vector<MediaFrame>* frames, std::string* why);

}  // namespace camsim
