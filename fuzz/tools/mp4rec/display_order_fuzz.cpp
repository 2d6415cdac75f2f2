// The display order of an H.264 or HEVC stream (the first byte picks which)
// from its parameter sets and slice headers: any bytes, any order.
#include <cstdint>
#include <vector>

#include "tools/mp4rec/annexb.h"
#include "tools/mp4rec/display_order.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool hevc = data[0] & 1;
  std::vector<AccessUnit> units = SplitAnnexB(std::vector<uint8_t>(data + 1, data + size), hevc);
  std::vector<uint32_t> ranks = display_order::Ranks(units, hevc);
  // A rank is a place among the units: each once.
  std::vector<bool> seen(units.size());
  for (uint32_t r : ranks) {
    if (ranks.size() != units.size() || r >= units.size() || seen[r]) __builtin_trap();
    seen[r] = true;
  }
  return 0;
}
