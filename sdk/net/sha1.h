// SHA-1 with the interface and error codes of the RFC 3174 reference code, for
// the WebSocket accept value.
#pragma once

#include <cstddef>
#include <cstdint>

enum { kSha1Success = 0, kSha1Null = 1, kSha1StateError = 3 };
inline constexpr int kSha1Size = 20;

struct Sha1State {
  uint32_t hash[5];
  uint32_t length_low;   // message length in bits, low and high words
  uint32_t length_high;
  int16_t index;         // into block
  uint8_t block[64];
  int computed;
  int corrupted;
};

int Sha1Init(Sha1State* s);
int Sha1Update(Sha1State* s, const void* data, size_t length);
// Writes the 20-byte digest (big-endian words).
int Sha1Final(Sha1State* s, uint8_t digest[kSha1Size]);
void Sha1Transform(Sha1State* s);
void Sha1Pad(Sha1State* s);
// One-shot digest of data.
int Sha1(const void* data, size_t length, uint8_t digest[kSha1Size]);
