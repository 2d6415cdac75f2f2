#include "util/base64.h"

#include <cctype>
#include <cstdint>
#include <cstring>

const char kBase64Alphabet[65] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64EncodeWith(const char* alphabet, const void* data, size_t len, char* out, size_t capacity) {
  if (!alphabet || (!data && len) || !out) return -1;
  const uint8_t* in = static_cast<const uint8_t*>(data);
  size_t pos = 0;
  for (size_t i = 0; i < len; i += 3) {
    if (capacity < 4 || pos > capacity - 4) return -1;
    uint32_t b0 = in[i];
    uint32_t b1 = i + 1 < len ? in[i + 1] : 0;
    uint32_t b2 = i + 2 < len ? in[i + 2] : 0;
    uint32_t group = b0 << 16 | b1 << 8 | b2;
    out[pos++] = alphabet[group >> 18 & 63];
    out[pos++] = alphabet[group >> 12 & 63];
    out[pos++] = i + 1 < len ? alphabet[group >> 6 & 63] : '=';
    out[pos++] = i + 2 < len ? alphabet[group & 63] : '=';
  }
  if (pos >= capacity) return -1;
  out[pos] = '\0';
  return static_cast<int>(pos);
}

namespace {

bool IsSkippable(unsigned char c) { return c < 0x80 && std::isspace(c); }

}  // namespace

int Base64DecodeWith(const char* alphabet, const char* text, void* out, size_t capacity) {
  if (!alphabet || !text) return -1;
  int8_t value[256];
  std::memset(value, -1, sizeof(value));
  for (int i = 0; i < 64 && alphabet[i]; ++i)
    value[static_cast<unsigned char>(alphabet[i])] = static_cast<int8_t>(i);

  uint8_t* dst = static_cast<uint8_t*>(out);
  size_t i = 0;        // index of the byte being filled
  int state = 0;       // characters seen of the current group
  uint8_t staged = 0;  // bits already given to byte i
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  for (; *p; ++p) {
    unsigned char c = *p;
    if (IsSkippable(c)) continue;
    if (c == '=') break;
    int v = value[c];
    if (v < 0) return -1;
    // Each write checks its index against the capacity; staging writes byte i + 1.
    switch (state) {
      case 0:
        staged = static_cast<uint8_t>(v << 2);
        if (dst) {
          if (i >= capacity) return -1;
          dst[i] = staged;
        }
        break;
      case 1:
      case 2: {
        int keep = state == 1 ? 2 : 4;  // bits of v that complete byte i
        if (dst) {
          if (i + 1 >= capacity) return -1;
          dst[i] = static_cast<uint8_t>(staged | v >> (6 - keep));
        }
        staged = static_cast<uint8_t>(v << (2 + keep));
        ++i;
        if (dst) dst[i] = staged;
        break;
      }
      default:
        if (dst) dst[i] = static_cast<uint8_t>(staged | v);
        staged = 0;
        ++i;
        break;
    }
    state = (state + 1) & 3;
  }
  if (!*p) return state == 0 ? static_cast<int>(i) : -1;

  // Padding: two "=" after two characters of a group, one after three.
  if (state < 2) return -1;
  if (state == 2) {
    for (++p; *p && IsSkippable(*p); ++p) {
    }
    if (*p != '=') return -1;
  }
  for (++p; *p; ++p)
    if (!IsSkippable(*p)) return -1;
  if (dst && staged != 0) return -1;
  return static_cast<int>(i);
}

int Base64Encode(const void* data, size_t len, char* out, size_t capacity) {
  return Base64EncodeWith(kBase64Alphabet, data, len, out, capacity);
}

int Base64Decode(const char* text, void* out, size_t capacity) {
  return Base64DecodeWith(kBase64Alphabet, text, out, capacity);
}
