// Record lists from hostile recording indexes: sorted, merged and searched without reading out of bounds.
#include <cjson/cJSON.h>

#include <cstdint>
#include <vector>

#include "sdk/cloud/orvel_server.h"
#include "sdk/cloud/record_list.h"
#include "util/json_holder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  JsonHolder root(cJSON_ParseWithLength(reinterpret_cast<const char*>(data), size), false);
  std::vector<PlaybackSegment> list;
  ParseRecordIndex(root.Item(), &list);
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i].duration <= 0) __builtin_trap();
    if (i > 0 && list[i].start < list[i - 1].start) __builtin_trap();
  }
  if (list.empty()) return 0;
  const int64_t probes[] = {list.front().start - 1, list.front().start, list.back().End(),
                            list.back().End() + 7, (list.front().start + list.back().End()) / 2};
  for (int64_t t : probes) {
    int64_t offset = 0;
    int i = FindSegmentAt(list, t, &offset);
    if (i < -1 || i >= static_cast<int>(list.size())) __builtin_trap();
  }
  for (const auto& s : list) {
    int64_t offset = 0;
    int i = FindSegmentAt(list, s.start, &offset);
    if (i < -1 || i >= static_cast<int>(list.size())) __builtin_trap();
  }
  return 0;
}
