// SHA-1 (FIPS 180-1) in the manner of the RFC 3174 reference code.
#include "sdk/net/sha1.h"

#include <cstring>

namespace {

inline uint32_t Rol(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

}  // namespace

int Sha1Init(Sha1State* s) {
  if (!s) return kSha1Null;
  s->length_low = s->length_high = 0;
  s->index = 0;
  s->hash[0] = 0x67452301;
  s->hash[1] = 0xEFCDAB89;
  s->hash[2] = 0x98BADCFE;
  s->hash[3] = 0x10325476;
  s->hash[4] = 0xC3D2E1F0;
  s->computed = 0;
  s->corrupted = 0;
  return kSha1Success;
}

void Sha1Transform(Sha1State* s) {
  static const uint32_t k[4] = {0x5A827999, 0x6ED9EBA1, 0x8F1BBCDC, 0xCA62C1D6};
  uint32_t w[80];
  for (int t = 0; t < 16; ++t)
    w[t] = uint32_t{s->block[t * 4]} << 24 | uint32_t{s->block[t * 4 + 1]} << 16 | uint32_t{s->block[t * 4 + 2]} << 8 |
           uint32_t{s->block[t * 4 + 3]};
  for (int t = 16; t < 80; ++t) w[t] = Rol(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
  uint32_t a = s->hash[0], b = s->hash[1], c = s->hash[2], d = s->hash[3], e = s->hash[4];
  for (int t = 0; t < 80; ++t) {
    uint32_t f;
    if (t < 20) f = (b & c) | (~b & d);
    else if (t < 40 || t >= 60) f = b ^ c ^ d;
    else f = (b & c) | (b & d) | (c & d);
    uint32_t tmp = Rol(a, 5) + f + e + w[t] + k[t / 20];
    e = d;
    d = c;
    c = Rol(b, 30);
    b = a;
    a = tmp;
  }
  s->hash[0] += a;
  s->hash[1] += b;
  s->hash[2] += c;
  s->hash[3] += d;
  s->hash[4] += e;
  s->index = 0;
}

int Sha1Update(Sha1State* s, const void* data, size_t length) {
  if (!length) return kSha1Success;
  if (!s || !data) return kSha1Null;
  if (s->computed) {
    s->corrupted = kSha1StateError;
    return kSha1StateError;
  }
  if (s->corrupted) return s->corrupted;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  while (length-- && !s->corrupted) {
    s->block[s->index++] = *p++;
    s->length_low += 8;
    if (s->length_low == 0) {
      if (++s->length_high == 0) s->corrupted = 1;  // longer than 2^64 - 1 bits
    }
    if (s->index == 64) Sha1Transform(s);
  }
  return s->corrupted;
}

void Sha1Pad(Sha1State* s) {
  // 0x80, zeros, and the 64-bit length in the last 8 bytes of a block.
  if (s->index > 55) {
    s->block[s->index++] = 0x80;
    while (s->index < 64) s->block[s->index++] = 0;
    Sha1Transform(s);
    while (s->index < 56) s->block[s->index++] = 0;
  } else {
    s->block[s->index++] = 0x80;
    while (s->index < 56) s->block[s->index++] = 0;
  }
  for (int i = 0; i < 4; ++i) {
    s->block[56 + i] = static_cast<uint8_t>(s->length_high >> (24 - 8 * i));
    s->block[60 + i] = static_cast<uint8_t>(s->length_low >> (24 - 8 * i));
  }
  Sha1Transform(s);
}

int Sha1Final(Sha1State* s, uint8_t digest[kSha1Size]) {
  if (!s || !digest) return kSha1Null;
  if (s->corrupted) return s->corrupted;
  if (!s->computed) {
    Sha1Pad(s);
    std::memset(s->block, 0, sizeof(s->block));  // the message is cleared
    s->length_low = s->length_high = 0;
    s->computed = 1;
  }
  for (int i = 0; i < kSha1Size; ++i) digest[i] = static_cast<uint8_t>(s->hash[i >> 2] >> (8 * (3 - (i & 3))));
  return kSha1Success;
}

int Sha1(const void* data, size_t length, uint8_t digest[kSha1Size]) {
  Sha1State s;
  Sha1Init(&s);
  int rc = Sha1Update(&s, data, length);
  if (rc != kSha1Success) return rc;
  return Sha1Final(&s, digest);
}
