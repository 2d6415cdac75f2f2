// Base64Decode over any text: no write outside the output, and what decodes encodes back to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "util/base64.h"

namespace {

// Decodes into a heap block of exactly capacity bytes (so that ASan sees any overrun).
int DecodeInto(const std::string& text, size_t capacity, std::vector<uint8_t>* out) {
  uint8_t* buf = static_cast<uint8_t*>(std::malloc(capacity ? capacity : 1));
  int n = Base64Decode(text.c_str(), buf, capacity);
  if (n > static_cast<int>(capacity)) std::abort();
  if (n >= 0 && out) out->assign(buf, buf + n);
  std::free(buf);
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data),
                         strnlen(reinterpret_cast<const char*>(data), size));
  const int counted = Base64Decode(text.c_str(), nullptr, 0);
  std::vector<uint8_t> decoded;
  const size_t capacities[] = {0, 1, size / 2, counted > 0 ? static_cast<size_t>(counted) : 0,
                               counted >= 0 ? static_cast<size_t>(counted) + 1 : size + 1};
  for (size_t cap : capacities) {
    int n = DecodeInto(text, cap, &decoded);
    if (n >= 0 && n != counted) std::abort();  // a real decode agrees with the count
  }
  if (!decoded.empty() || DecodeInto(text, size + 1, &decoded) >= 0) {
    std::vector<char> again(4 * ((decoded.size() + 2) / 3) + 1);
    if (Base64Encode(decoded.data(), decoded.size(), again.data(), again.size()) < 0) std::abort();
    std::vector<uint8_t> back;
    if (DecodeInto(again.data(), decoded.size() + 1, &back) != static_cast<int>(decoded.size()) ||
        back != decoded)
      std::abort();
  }
  // Any bytes encode and decode back.
  std::vector<char> enc(4 * ((size + 2) / 3) + 1);
  if (Base64Encode(data, size, enc.data(), enc.size()) != static_cast<int>(enc.size() - 1)) std::abort();
  std::vector<uint8_t> raw;
  if (DecodeInto(enc.data(), size + 1, &raw) != static_cast<int>(size) ||
      (size && std::memcmp(raw.data(), data, size) != 0))
    std::abort();
  return 0;
}
