// JsonHolder over hostile JSON: every getter on every node, and member look-ups by keys taken from the input.
#include <cjson/cJSON.h>

#include <cstdint>
#include <string>

#include "util/json_holder.h"

namespace {

void Walk(const JsonHolder& h, const std::string& probe, int depth) {
  volatile unsigned sink = static_cast<unsigned>(h.Type()) + static_cast<unsigned>(h.AsInt()) +
                           static_cast<unsigned>(h.Size()) +
                           static_cast<unsigned>(h.IsValid() + h.Has(probe.c_str()));
  const char* s = h.AsString();
  while (*s) sink = sink + static_cast<unsigned char>(*s++);
  (void)h.AsStringOrNull();
  (void)h.Get(probe.c_str()).AsInt();
  (void)h.At(-1).Type();
  (void)h.At(h.Size()).Type();
  if (depth > 64) return;
  int n = h.Size();
  for (int i = 0; i < n && i < 64; ++i) Walk(h.At(i), probe, depth + 1);
  if (h.Type() == JsonHolder::kObject) {
    for (cJSON* c = h.Item()->child; c; c = c->next) {
      if (c->string) Walk(h.Get(c->string), probe, depth + 1);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  JsonHolder root(cJSON_ParseWithLength(text, size), false);
  std::string probe(text, size < 8 ? size : 8);
  Walk(root, probe, 0);
  JsonHolder borrowed(root.Item(), true);
  Walk(borrowed.Get("data"), "LIST", 0);
  return 0;
}
