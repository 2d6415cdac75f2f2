// The simulator's request parser on any bytes: what it takes is within the input.
#include <cstdint>
#include <string_view>

#include "tools/ctpsim/ctpsim.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view in(reinterpret_cast<const char*>(data), size);
  while (!in.empty()) {
    ctpsim::Request r;
    size_t used = 0;
    if (ctpsim::ParseRequest(in, &r, &used) != ctpsim::kParsed) break;
    if (used == 0 || used > in.size() || r.raw.size() != used || r.body.size() > ctpsim::kMaxBody) __builtin_trap();
    in.remove_prefix(used);
  }
  return 0;
}
