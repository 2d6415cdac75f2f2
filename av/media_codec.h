// MediaCodecId: the codec numbers of media frames, from the device link and the cloud segments to the media
// sinks and the MP4 writer, and which of them are video and which audio.
#pragma once

#include <cstdint>

enum : int32_t {
  kVideoCodecH264 = 1,
  kVideoCodecJif = 10,  // the closed image codec, not decodable here
  kVideoCodecMjpeg = 12,
  kVideoCodecHevc = 13,
  kAudioCodecAlaw = 2,
  kAudioCodecUlaw = 51,
  kAudioCodecPcm = 52,  // 16-bit
  kAudioCodecAdpcm = 53,
  kAudioCodecAdpcm2 = 54,
  kAudioCodecAac = 59,
};

// Video: 1 and 3..13 (the wire mapping also gives 11, which nothing decodes).
constexpr bool IsVideoCodec(int64_t codec) { return codec == 1 || (codec >= 3 && codec <= 13); }
// Audio: 2 and 51..60, every audio code of the wire mapping (it also gives 55 and 60, which nothing decodes).
constexpr bool IsAudioCodec(int64_t codec) { return codec == 2 || (codec >= 51 && codec <= 60); }
