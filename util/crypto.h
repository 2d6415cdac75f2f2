// Hashes, HMACs and DES-CBC decryption over libcrypto. No state; the hashes report nothing.
#pragma once

#include <cstddef>
#include <cstdint>

// The initialisation vector of every CryptoDesDecrypt call (the one the devices encrypt cloud segments with).
extern const uint8_t kCryptoDesIv[8];

// SHA-1 of data into out[20].
void CryptoSha1(const void* data, size_t len, uint8_t* out);
// SHA-256 of data into out[32].
void CryptoSha256(const void* data, size_t len, uint8_t* out);
// HMAC-SHA1 of msg under key into out[20].
void CryptoHmacSha1(const void* key, size_t key_len, const void* msg, size_t msg_len, uint8_t* out);
// HMAC-SHA256 of msg under key into out[32].
void CryptoHmacSha256(const void* key, size_t key_len, const void* msg, size_t msg_len, uint8_t* out);
// HMAC-MD5 of msg under key into out[16].
void CryptoHmacMd5(const void* key, size_t key_len, const void* msg, size_t msg_len, uint8_t* out);

// DES-CBC decrypts ceil(len / 8) blocks of in into out (both must hold len rounded up to a multiple of 8
// bytes; they may be the same buffer) with the key from the first 8 bytes of the key text (zero-filled when
// shorter, parity ignored) and kCryptoDesIv. No padding is removed. Returns len; -1 for a null in, out or key
// or len < 0.
int CryptoDesDecrypt(const void* in, int len, const char* key, void* out);
// The inverse of CryptoDesDecrypt: DES-CBC encrypts ceil(len / 8) blocks of in into out with the same key and
// initialisation vector, no padding added. Returns len; -1 like CryptoDesDecrypt.
int CryptoDesEncrypt(const void* in, int len, const char* key, void* out);
