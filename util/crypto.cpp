#include "util/crypto.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/provider.h>

#include <cstdio>
#include <cstring>

const uint8_t kCryptoDesIv[8] = {0x12, 0x34, 0x56, 0x78, 0x90, 0xAB, 0xCD, 0xEF};

namespace {

void Digest(const EVP_MD* md, const void* data, size_t len, uint8_t* out) {
  static const uint8_t kEmpty = 0;
  EVP_Digest(data ? data : &kEmpty, data ? len : 0, out, nullptr, md, nullptr);
}

void Hmac(const EVP_MD* md, const void* key, size_t key_len, const void* msg, size_t msg_len, uint8_t* out) {
  static const uint8_t kEmpty = 0;
  unsigned int out_len = 0;
  HMAC(md, key ? key : &kEmpty, key ? static_cast<int>(key_len) : 0,
       static_cast<const uint8_t*>(msg ? msg : &kEmpty), msg ? msg_len : 0, out, &out_len);
}

// Single DES lives in OpenSSL 3's legacy provider; it is loaded into a library context of its own so that the
// rest of the process keeps the default algorithms only.
class DesCbc {
 public:
  DesCbc() {
    ctx_ = OSSL_LIB_CTX_new();
    if (ctx_) legacy_ = OSSL_PROVIDER_load(ctx_, "legacy");
    if (legacy_) cipher_ = EVP_CIPHER_fetch(ctx_, "DES-CBC", nullptr);
    if (!cipher_) std::fprintf(stderr, "crypto: DES-CBC is not available from libcrypto's legacy provider\n");
  }
  ~DesCbc() {
    EVP_CIPHER_free(cipher_);
    if (legacy_) OSSL_PROVIDER_unload(legacy_);
    OSSL_LIB_CTX_free(ctx_);
  }
  const EVP_CIPHER* cipher() const { return cipher_; }

 private:
  OSSL_LIB_CTX* ctx_ = nullptr;
  OSSL_PROVIDER* legacy_ = nullptr;
  EVP_CIPHER* cipher_ = nullptr;
};

}  // namespace

void CryptoSha1(const void* data, size_t len, uint8_t* out) { Digest(EVP_sha1(), data, len, out); }

void CryptoSha256(const void* data, size_t len, uint8_t* out) { Digest(EVP_sha256(), data, len, out); }

void CryptoHmacSha1(const void* key, size_t key_len, const void* msg, size_t msg_len, uint8_t* out) {
  Hmac(EVP_sha1(), key, key_len, msg, msg_len, out);
}

void CryptoHmacSha256(const void* key, size_t key_len, const void* msg, size_t msg_len, uint8_t* out) {
  Hmac(EVP_sha256(), key, key_len, msg, msg_len, out);
}

void CryptoHmacMd5(const void* key, size_t key_len, const void* msg, size_t msg_len, uint8_t* out) {
  Hmac(EVP_md5(), key, key_len, msg, msg_len, out);
}

namespace {

int DesCbcRun(bool encrypt, const void* in, int len, const char* key, void* out) {
  if (!in || !out || !key || len < 0 || len > 0x7FFFFFF8) return -1;
  if (len == 0) return 0;
  static const DesCbc des;
  if (!des.cipher()) return -1;
  uint8_t key8[8] = {};
  std::memcpy(key8, key, strnlen(key, 8));
  int padded = static_cast<int>((static_cast<unsigned>(len) + 7u) & ~7u);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int out_len = 0;
  bool ok = ctx && EVP_CipherInit_ex2(ctx, des.cipher(), key8, kCryptoDesIv, encrypt ? 1 : 0, nullptr) == 1 &&
            EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
            EVP_CipherUpdate(ctx, static_cast<uint8_t*>(out), &out_len, static_cast<const uint8_t*>(in),
                             padded) == 1;
  EVP_CIPHER_CTX_free(ctx);
  return ok ? len : -1;
}

}  // namespace

int CryptoDesDecrypt(const void* in, int len, const char* key, void* out) {
  return DesCbcRun(false, in, len, key, out);
}

int CryptoDesEncrypt(const void* in, int len, const char* key, void* out) {
  return DesCbcRun(true, in, len, key, out);
}
