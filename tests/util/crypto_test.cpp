#include "util/crypto.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <cstring>
#include <string>
#include <vector>

#include "tests/common/temp_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Repeat(uint8_t b, size_t n) { return Bytes(n, b); }
Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes Counting(uint8_t from, uint8_t to) {
  Bytes b;
  for (int v = from; v <= to; ++v) b.push_back(static_cast<uint8_t>(v));
  return b;
}

std::string Hex(const uint8_t* p, size_t n) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) s += {d[p[i] >> 4], d[p[i] & 15]};
  return s;
}

TEST(Crypto, Sha1AndSha256MatchFips180Examples) {
  struct Case {
    std::string msg, sha1, sha256;
  } cases[] = {
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709",
       "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d",
       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f",
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) {
    uint8_t h1[20], h256[32];
    CryptoSha1(c.msg.data(), c.msg.size(), h1);
    CryptoSha256(c.msg.data(), c.msg.size(), h256);
    EXPECT_EQ(Hex(h1, 20), c.sha1) << c.msg.size();
    EXPECT_EQ(Hex(h256, 32), c.sha256) << c.msg.size();
  }
}

using HmacFn = void (*)(const void*, size_t, const void*, size_t, uint8_t*);

struct HmacCase {
  Bytes key, msg;
  std::string want;
};

// Key size k for cases 1, 3 and 5 of RFC 2202 (20 for SHA-1, 16 for MD5); RFC 4231 uses 20 and 131.
std::vector<HmacCase> RfcCases(size_t k, size_t big_key, const std::vector<std::string>& want) {
  const std::string big = "Test Using Larger Than Block-Size Key - Hash Key First";
  const std::string big2 =
      big_key == 80 ? "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data"
                    : "This is a test using a larger than block-size key and a larger than block-size "
                      "data. The key needs to be hashed before being used by the HMAC algorithm.";
  std::vector<HmacCase> cases = {
      {Repeat(0x0b, k), Text("Hi There"), want[0]},
      {Text("Jefe"), Text("what do ya want for nothing?"), want[1]},
      {Repeat(0xaa, k), Repeat(0xdd, 50), want[2]},
      {Counting(1, 25), Repeat(0xcd, 50), want[3]},
      {Repeat(0xaa, big_key), Text(big), want[4]},
      {Repeat(0xaa, big_key), Text(big2), want[5]},
  };
  if (want.size() > 6) cases.push_back({Repeat(0x0c, k), Text("Test With Truncation"), want[6]});
  return cases;
}

void ExpectHmacs(HmacFn fn, size_t out_len, const std::vector<HmacCase>& cases) {
  for (const HmacCase& c : cases) {
    uint8_t out[32];
    fn(c.key.data(), c.key.size(), c.msg.data(), c.msg.size(), out);
    EXPECT_EQ(Hex(out, out_len), c.want);
  }
}

TEST(Crypto, HmacSha1MatchesRfc2202) {
  ExpectHmacs(
      CryptoHmacSha1, 20,
      RfcCases(20, 80,
               {"b617318655057264e28bc0b6fb378c8ef146be00", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79",
                "125d7342b9ac11cd91a39af48aa17b4f63f175d3", "4c9007f4026250c6bc8414f9bf50c86c2d7235da",
                "aa4ae5e15272d00e95705637ce8a3b55ed402112", "e8e99d0f45237d786d6bbaa7965c7808bbff1a91",
                "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"}));
}

TEST(Crypto, HmacMd5MatchesRfc2202) {
  ExpectHmacs(CryptoHmacMd5, 16,
              RfcCases(16, 80,
                       {"9294727a3638bb1c13f48ef8158bfc9d", "750c783e6ab0b503eaa86e310a5db738",
                        "56be34521d144c88dbb8c733f0e8b3f6", "697eaf0aca3a3aea3a75164746ffaa79",
                        "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd", "6f630fad67cda0ee1fb1f562db3aa53e",
                        "56461ef2342edc00f9bab995690efd4c"}));
}

// RFC 4231 cases 1 to 4, 6 and 7 (case 5 checks a truncated output).
TEST(Crypto, HmacSha256MatchesRfc4231) {
  ExpectHmacs(CryptoHmacSha256, 32,
              RfcCases(20, 131,
                       {"b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7",
                        "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843",
                        "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe",
                        "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b",
                        "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54",
                        "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"}));
}

// Produced with: openssl enc -provider legacy -provider default -des-cbc -nopad
//   -K 6b3359217839517a -iv 1234567890ABCDEF  (key text "k3Y!x9Qz", plain text "Velmora cloud frame 0001")
TEST(Crypto, DesCbcDecryptsAKnownVector) {
  uint8_t cipher[24] = {0xbd, 0x03, 0xa3, 0x36, 0x92, 0xd3, 0xe9, 0xe6, 0xe2, 0xab, 0x88, 0xeb,
                        0x0c, 0xe1, 0x67, 0xea, 0x10, 0x95, 0xf8, 0x73, 0xc1, 0xdd, 0xa6, 0x3d};
  uint8_t plain[24];
  ASSERT_EQ(CryptoDesDecrypt(cipher, 24, "k3Y!x9Qz", plain), 24);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(plain), 24), "Velmora cloud frame 0001");
  // Only the first 8 key bytes count; a second call starts from the same IV again.
  ASSERT_EQ(CryptoDesDecrypt(cipher, 24, "k3Y!x9Qz and more", plain), 24);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(plain), 24), "Velmora cloud frame 0001");
  // In place, with a length that is not a multiple of 8: the whole last block is decrypted.
  ASSERT_EQ(CryptoDesDecrypt(cipher, 20, "k3Y!x9Qz", cipher), 20);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(cipher), 24), "Velmora cloud frame 0001");
}

// The same vector the other way: encryption gives the openssl ciphertext and inverts decryption.
TEST(Crypto, DesCbcEncryptsTheKnownVector) {
  const uint8_t want[24] = {0xbd, 0x03, 0xa3, 0x36, 0x92, 0xd3, 0xe9, 0xe6, 0xe2, 0xab, 0x88, 0xeb,
                            0x0c, 0xe1, 0x67, 0xea, 0x10, 0x95, 0xf8, 0x73, 0xc1, 0xdd, 0xa6, 0x3d};
  const char plain[] = "Velmora cloud frame 0001";
  uint8_t cipher[24];
  ASSERT_EQ(CryptoDesEncrypt(plain, 24, "k3Y!x9Qz", cipher), 24);
  EXPECT_EQ(std::memcmp(cipher, want, 24), 0);
  EXPECT_EQ(CryptoDesEncrypt(nullptr, 8, "key", cipher), -1);
  EXPECT_EQ(CryptoDesEncrypt(plain, -1, "key", cipher), -1);
}

TEST(Crypto, DesCbcRejectsNullArguments) {
  uint8_t buf[8] = {};
  EXPECT_EQ(CryptoDesDecrypt(nullptr, 8, "key", buf), -1);
  EXPECT_EQ(CryptoDesDecrypt(buf, 8, nullptr, buf), -1);
  EXPECT_EQ(CryptoDesDecrypt(buf, 8, "key", nullptr), -1);
  EXPECT_EQ(CryptoDesDecrypt(buf, 0, "key", buf), 0);
}

// openssl enc as the oracle: random keys (short ones zero-filled) and block counts.
TEST(Crypto, DesCbcAgreesWithOpensslEnc) {
  TempDir tmp("velmora_des");
  const std::string& dir = tmp.path();
  std::mt19937 rng(7);
  const char* keys[] = {"a1b2c3d4", "short", "", "\x01\xfe\x80pq\x7fZZ"};
  for (int round = 0; round < 8; ++round) {
    std::string key = keys[round % 4];
    size_t blocks = 1 + rng() % 40;
    Bytes plain(blocks * 8);
    for (auto& b : plain) b = static_cast<uint8_t>(rng());
    std::string key_hex = Hex(reinterpret_cast<const uint8_t*>(key.data()), key.size());
    while (key_hex.size() < 16) key_hex += "00";
    const std::string in = dir + "/plain", out = dir + "/cipher";
    FILE* f = fopen(in.c_str(), "wb");
    ASSERT_TRUE(f);
    fwrite(plain.data(), 1, plain.size(), f);
    fclose(f);
    std::string cmd = "openssl enc -provider legacy -provider default -des-cbc -nopad -K " + key_hex +
                      " -iv " + Hex(kCryptoDesIv, 8) + " -in " + in + " -out " + out;
    ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
    Bytes cipher(plain.size());
    f = fopen(out.c_str(), "rb");
    ASSERT_TRUE(f);
    ASSERT_EQ(fread(cipher.data(), 1, cipher.size(), f), cipher.size());
    fclose(f);
    Bytes back(plain.size());
    ASSERT_EQ(CryptoDesDecrypt(cipher.data(), static_cast<int>(cipher.size()), key.c_str(), back.data()),
              static_cast<int>(cipher.size()));
    EXPECT_EQ(back, plain) << "key " << key_hex << " blocks " << blocks;
  }
}

}  // namespace
