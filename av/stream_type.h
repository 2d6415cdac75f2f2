// AvStreamType: what a media frame belongs to, channel << 16 | MediaCodecId (av/media_codec.h). Channel 0 is
// the first lens; the SDK's frames, the cloud segments' and the MP4 reader's samples carry one.
#pragma once

#include <cstdint>

using AvStreamType = uint32_t;
