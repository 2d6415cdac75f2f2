// The frame rate a stream states: the timing information of an H.264 SPS
// (VUI) or of an HEVC VPS. 0 when the stream states none.
#pragma once

#include <cstddef>
#include <cstdint>

namespace camsim {

// s: an Annex-B stream; the first SPS (H.264) or VPS (HEVC) is read.
double StreamFrameRate(const uint8_t* s, size_t n, bool hevc);

}  // namespace camsim
