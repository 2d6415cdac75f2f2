// The WebSocket module's own SHA-1 against known answers and libcrypto.
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "sdk/net/sha1.h"

namespace {

std::string Hex(const uint8_t* d) {
  static const char* x = "0123456789abcdef";
  std::string s;
  for (int i = 0; i < kSha1Size; ++i) {
    s += x[d[i] >> 4];
    s += x[d[i] & 15];
  }
  return s;
}

TEST(Sha1, KnownAnswers) {
  struct {
    std::string in;
    const char* out;
  } cases[] = {
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      // The handshake example of RFC 6455.
      {"dGhlIHNhbXBsZSBub25jZQ==258EAFA5-E914-47DA-95CA-C5AB0DC85B11", "b37a4f2cc0624f1690f64606cf385945b2bec4ea"},
  };
  for (const auto& c : cases) {
    uint8_t d[kSha1Size];
    ASSERT_EQ(kSha1Success, Sha1(c.in.data(), c.in.size(), d));
    EXPECT_EQ(c.out, Hex(d)) << c.in;
  }
  Sha1State s;
  Sha1Init(&s);
  std::string a(1000, 'a');
  for (int i = 0; i < 1000; ++i) Sha1Update(&s, a.data(), a.size());
  uint8_t d[kSha1Size];
  Sha1Final(&s, d);
  EXPECT_EQ("34aa973cd4c4daa4f61eeb2bdbad27316534016f", Hex(d));  // one million "a"
}

TEST(Sha1, MatchesLibcryptoAcrossBlockBoundaries) {
  std::mt19937 rng(7);
  for (size_t n = 0; n < 300; ++n) {
    std::vector<uint8_t> data(n);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    uint8_t mine[kSha1Size], ref[SHA_DIGEST_LENGTH];
    // Fed in two pieces, to cross the block index in every position.
    Sha1State s;
    Sha1Init(&s);
    size_t cut = n ? rng() % n : 0;
    Sha1Update(&s, data.data(), cut);
    Sha1Update(&s, data.data() + cut, n - cut);
    Sha1Final(&s, mine);
    SHA1(data.data(), n, ref);
    ASSERT_EQ(0, memcmp(mine, ref, kSha1Size)) << n;
  }
}

TEST(Sha1, StateErrors) {
  uint8_t d[kSha1Size];
  EXPECT_EQ(kSha1Null, Sha1Init(nullptr));
  EXPECT_EQ(kSha1Null, Sha1Final(nullptr, d));
  Sha1State s;
  Sha1Init(&s);
  EXPECT_EQ(kSha1Null, Sha1Update(&s, nullptr, 3));
  Sha1Update(&s, "abc", 3);
  ASSERT_EQ(kSha1Success, Sha1Final(&s, d));
  EXPECT_EQ(kSha1StateError, Sha1Update(&s, "x", 1));
  EXPECT_EQ(kSha1StateError, Sha1Final(&s, d));
}

}  // namespace
