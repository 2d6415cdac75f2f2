// camsim's file parsers on any bytes: access units of both codecs cover the
// stream from its first start code without gaps, the stated frame rate is
// none or a sane one, ADTS frames stay inside the bytes.
#include <string>
#include <vector>

#include "tools/camsim/media_source.h"
#include "tools/camsim/stream_rate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (bool hevc : {false, true}) {
    const std::vector<camsim::MediaFrame> units = camsim::SplitAccessUnits(data, size, hevc);
    size_t at = units.empty() ? 0 : units[0].offset;
    for (const camsim::MediaFrame& f : units) {
      if (f.offset != at || f.size == 0 || f.offset + f.size > size) __builtin_trap();
      at += f.size;
    }
    if (!units.empty() && at != size) __builtin_trap();
    const double fps = camsim::StreamFrameRate(data, size, hevc);
    if (fps != 0 && (fps < 1 || fps > 240)) __builtin_trap();
  }
  std::vector<camsim::MediaFrame> frames;
  std::string why;
  if (camsim::SplitAdts(data, size, &frames, &why))
    for (const camsim::MediaFrame& f : frames)
      if (f.offset + f.size > size) __builtin_trap();
  return 0;
}
