// Packet scrambling, the login-payload cipher, the TCP frame checksum and the
// init-string decoder. Every routine works on explicit lengths and never
// allocates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace p2p {

extern const uint8_t kScrambleTable[256];
extern const uint8_t kLoginCipherTable[64];
extern const uint8_t kInitStringTable[54];

// Key of the payloads of some server messages, applied on top of the packet key.
inline constexpr const char kFixedPayloadKey[] = "KLT@qzv7-mornet.";
// Characters of a scrambler key that count.
inline constexpr size_t kScrambleKeyMax = 20;

}  // namespace p2p

// Key state s0..s3 of a scrambler key text (first 20 characters).
struct RVP_ScrambleKey {
  uint8_t s[4];
};
RVP_ScrambleKey RVP_ScrambleKeyMake(const char* key);
inline uint8_t RVP_ScrambleByte(uint8_t prev, const RVP_ScrambleKey& k) {
  return p2p::kScrambleTable[static_cast<uint8_t>(prev + k.s[prev & 3])];
}

// out = scrambled / unscrambled in; a plain copy when the key is null or empty.
// in and out may be the same buffer.
void RVP_Scramble(const char* key, const uint8_t* in, uint8_t* out, uint16_t len);
void RVP_Unscramble(const char* key, const uint8_t* in, uint8_t* out, uint16_t len);

// The per-packet key text "%02X%02X" of two key bytes of a TCP frame (5 bytes with the terminator).
void RVP_PktKeyText(uint8_t k0, uint8_t k1, char out[5]);
void RVP_UnscramblePktKey(uint8_t k0, uint8_t k1, uint8_t* out, const uint8_t* in, uint16_t len);
void RVP_ScramblePktKey(uint8_t k0, uint8_t k1, uint8_t* out, const uint8_t* in, uint16_t len);

// Login-payload cipher. State A, B, C, D as st[0..3].
void RVP_LoginCipherStep(uint8_t x, uint8_t st[4]);
// Writes n + 4 bytes; returns n + 4, or -1 when out_cap is too small or n < 0.
int RVP_LoginEncrypt(const char* key, const uint8_t* in, int n, uint8_t* out, int out_cap);
// Writes n - 4 bytes and returns n - 4; -1 when n < 4, the capacity is below
// n - 4 or the trailer does not decrypt to "CCCC".
int RVP_LoginDecrypt(int n, const uint8_t* in, uint8_t* out, int out_cap, const char* key = nullptr);

// Two checksum bytes of a TCP frame body.
void RVP_Checksum(uint8_t out[2], const uint8_t* data, size_t n);

// Decodes the letters of an init string (up to its first ':') into the server
// list text. out receives at most cap - 1 bytes and is always terminated.
// Returns 0, or -1 when the letters would give more than fits (the output then
// holds what fitted).
int RVP_InitStringDecode(char* out, size_t cap, const char* init);
// The inverse, for tests and simulators: letters 'A'..'P' that decode to
// servers, followed by ":" and the packet key when one is given.
std::string RVP_InitStringEncode(std::string_view servers, std::string_view packet_key = {});
