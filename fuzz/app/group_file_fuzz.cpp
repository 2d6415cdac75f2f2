// The groups file over hostile text: every line belongs under an earlier group line (or the root), texts
// are bounded, and nesting never goes more than one level below its parent.
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "app/gui/device_group_tree.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<GroupFileLine> lines = ParseGroupFile(text);
  std::vector<int> depth(lines.size(), 0);
  for (size_t i = 0; i < lines.size(); ++i) {
    const GroupFileLine& l = lines[i];
    if (l.parent >= static_cast<int>(i) || l.parent < -1) std::abort();
    if (l.parent >= 0 && !lines[l.parent].group) std::abort();
    if (l.text.size() > 255 || (!l.group && l.text.empty())) std::abort();
    depth[i] = l.parent < 0 ? 0 : depth[l.parent] + 1;
    if (depth[i] > 256) std::abort();
  }
  return 0;
}
