// Base64 codec over a 64-character alphabet, "=" padding.
#pragma once

#include <cstddef>

// The standard alphabet of RFC 4648.
extern const char kBase64Alphabet[65];

// Encodes len bytes into out (capacity bytes, NUL-terminated); characters written without the NUL, or -1 when
// out is smaller than 4 * ceil(len / 3) + 1.
int Base64EncodeWith(const char* alphabet, const void* data, size_t len, char* out, size_t capacity);

// Decodes the NUL-terminated text (blanks skipped anywhere) into out; bytes decoded, or -1 for a character
// outside the alphabet, bad padding, non-zero unused bits, an incomplete group or a full out. With padding
// out needs one byte more than the decoded length. A null out only counts.
int Base64DecodeWith(const char* alphabet, const char* text, void* out, size_t capacity);

// Base64EncodeWith with the standard alphabet.
int Base64Encode(const void* data, size_t len, char* out, size_t capacity);

// Base64DecodeWith with the standard alphabet.
int Base64Decode(const char* text, void* out, size_t capacity);
