#include "p2p/cipher.h"

#include <cstdio>
#include <cstring>

using p2p::kInitStringTable;
using p2p::kLoginCipherTable;

RVP_ScrambleKey RVP_ScrambleKeyMake(const char* key) {
  RVP_ScrambleKey k{{0, 0, 0, 0}};
  for (size_t i = 0; key && i < p2p::kScrambleKeyMax && key[i]; ++i) {
    uint8_t c = static_cast<uint8_t>(key[i]);
    k.s[0] = static_cast<uint8_t>(k.s[0] + c);
    k.s[1] = static_cast<uint8_t>(k.s[1] - c);
    k.s[2] = static_cast<uint8_t>(k.s[2] + c / 3);
    k.s[3] = static_cast<uint8_t>(k.s[3] ^ c);
  }
  return k;
}

namespace {

// The key-stream byte for every previous byte under one key, so that each
// byte costs one look-up. The table of the last key is kept per thread.
const uint8_t* KeyStreamTable(const char* key) {
  struct Cache {
    bool valid = false;
    RVP_ScrambleKey k;
    uint8_t t[256];
  };
  static thread_local Cache cache;
  RVP_ScrambleKey k = RVP_ScrambleKeyMake(key);
  if (!cache.valid || std::memcmp(cache.k.s, k.s, 4) != 0) {
    for (int p = 0; p < 256; ++p) cache.t[p] = RVP_ScrambleByte(static_cast<uint8_t>(p), k);
    cache.k = k;
    cache.valid = true;
  }
  return cache.t;
}

}  // namespace

namespace {

// The key-stream table of a key, or null after a plain copy (no key).
const uint8_t* KeyStreamOrCopy(const char* key, const uint8_t* in, uint8_t* out, uint16_t len) {
  if (key && key[0]) return KeyStreamTable(key);
  if (len && in != out) std::memmove(out, in, len);
  return nullptr;
}

}  // namespace

void RVP_Scramble(const char* key, const uint8_t* in, uint8_t* out, uint16_t len) {
  const uint8_t* t = KeyStreamOrCopy(key, in, out, len);
  uint8_t prev = 0;
  for (uint16_t i = 0; t && i < len; ++i) {
    prev = static_cast<uint8_t>(in[i] ^ t[prev]);
    out[i] = prev;
  }
}

void RVP_Unscramble(const char* key, const uint8_t* in, uint8_t* out, uint16_t len) {
  const uint8_t* t = KeyStreamOrCopy(key, in, out, len);
  uint8_t prev = 0;
  for (uint16_t i = 0; t && i < len; ++i) {
    uint8_t c = in[i];
    out[i] = static_cast<uint8_t>(c ^ t[prev]);
    prev = c;
  }
}

void RVP_PktKeyText(uint8_t k0, uint8_t k1, char out[5]) { std::snprintf(out, 5, "%02X%02X", k0, k1); }

void RVP_UnscramblePktKey(uint8_t k0, uint8_t k1, uint8_t* out, const uint8_t* in, uint16_t len) {
  char key[5];
  RVP_PktKeyText(k0, k1, key);
  RVP_Unscramble(key, in, out, len);
}

void RVP_ScramblePktKey(uint8_t k0, uint8_t k1, uint8_t* out, const uint8_t* in, uint16_t len) {
  char key[5];
  RVP_PktKeyText(k0, k1, key);
  RVP_Scramble(key, in, out, len);
}

void RVP_LoginCipherStep(uint8_t x, uint8_t st[4]) {
  // The table holds no zero, and the start state none, so no divisor is zero.
  const unsigned a = st[0], b = st[1], c = st[2], d = st[3];
  auto at = [](unsigned row, unsigned col) { return kLoginCipherTable[(row % 8) * 8 + (col % 8)]; };
  st[0] = at(b + x % a, x + c % d);
  st[1] = at(c + x % b, x + d % a);
  st[2] = at(d + x % c, x + a % b);
  st[3] = at(a + x % d, x + b % c);
}

namespace {

void LoginStart(const char* key, uint8_t st[4]) {
  st[0] = 1;
  st[1] = 3;
  st[2] = 5;
  st[3] = 7;
  for (size_t i = 0; key && key[i]; ++i) RVP_LoginCipherStep(static_cast<uint8_t>(key[i]), st);
}

}  // namespace

int RVP_LoginEncrypt(const char* key, const uint8_t* in, int n, uint8_t* out, int out_cap) {
  if (n < 0 || out_cap < n + 4) return -1;
  uint8_t st[4];
  LoginStart(key, st);
  for (int i = 0; i < n + 4; ++i) {
    uint8_t p = i < n ? in[i] : 0x43;
    uint8_t c = static_cast<uint8_t>(p ^ st[0] ^ st[1] ^ st[2] ^ st[3]);
    out[i] = c;
    RVP_LoginCipherStep(c, st);
  }
  return n + 4;
}

int RVP_LoginDecrypt(int n, const uint8_t* in, uint8_t* out, int out_cap, const char* key) {
  if (n < 4 || out_cap < n - 4) return -1;
  uint8_t st[4];
  LoginStart(key, st);
  bool trailer_ok = true;
  for (int i = 0; i < n; ++i) {
    uint8_t c = in[i];
    uint8_t p = static_cast<uint8_t>(c ^ st[0] ^ st[1] ^ st[2] ^ st[3]);
    if (i < n - 4)
      out[i] = p;
    else if (p != 0x43)
      trailer_ok = false;
    RVP_LoginCipherStep(c, st);
  }
  return trailer_ok ? n - 4 : -1;
}

void RVP_Checksum(uint8_t out[2], const uint8_t* data, size_t n) {
  uint8_t a = 0x43, b = 0x53;
  for (size_t i = 0; i < n; ++i) {
    a = static_cast<uint8_t>(a ^ data[i] ^ b);
    if ((i & 1) == 0) b = static_cast<uint8_t>(data[n - 1 - i] ^ b ^ a);
  }
  out[0] = a;
  out[1] = b;
}

int RVP_InitStringDecode(char* out, size_t cap, const char* init) {
  if (!out || cap == 0) return -1;
  std::memset(out, 0, cap);
  if (!init) return 0;
  // The letters run up to the first ':'; at most 2047 characters are taken.
  size_t len = 0;
  while (len < 2047 && init[len] && init[len] != ':') ++len;
  bool cut = len == 2047 && init[len] && init[len] != ':';
  uint8_t x = 0x39;
  size_t pairs = len / 2;
  for (size_t i = 0; i < pairs; ++i) {
    if (i + 1 >= cap) return -1;
    uint8_t v = static_cast<uint8_t>((static_cast<uint8_t>(init[2 * i]) - 'A') * 16 +
                                     (static_cast<uint8_t>(init[2 * i + 1]) - 'A'));
    uint8_t o = static_cast<uint8_t>(v ^ x ^ kInitStringTable[i % 54]);
    out[i] = static_cast<char>(o);
    x ^= o;
  }
  return cut ? -1 : 0;
}

std::string RVP_InitStringEncode(std::string_view servers, std::string_view packet_key) {
  std::string s;
  s.reserve(servers.size() * 2 + 1 + packet_key.size());
  uint8_t x = 0x39;
  for (size_t i = 0; i < servers.size(); ++i) {
    uint8_t o = static_cast<uint8_t>(servers[i]);
    uint8_t v = static_cast<uint8_t>(o ^ x ^ kInitStringTable[i % 54]);
    s.push_back(static_cast<char>('A' + (v >> 4)));
    s.push_back(static_cast<char>('A' + (v & 15)));
    x ^= o;
  }
  if (!packet_key.empty()) {
    s.push_back(':');
    s.append(packet_key);
  }
  return s;
}
