#include "p2p/cipher.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tests/p2p/test_util.h"

using p2ptest::Hex;
using p2ptest::ToHex;

namespace {

std::vector<uint8_t> Scrambled(const char* key, const std::vector<uint8_t>& in) {
  std::vector<uint8_t> out(in.size());
  RVP_Scramble(key, in.data(), out.data(), static_cast<uint16_t>(in.size()));
  return out;
}

std::vector<uint8_t> Unscrambled(const char* key, const std::vector<uint8_t>& in) {
  std::vector<uint8_t> out(in.size());
  RVP_Unscramble(key, in.data(), out.data(), static_cast<uint16_t>(in.size()));
  return out;
}

TEST(p2pCipherTables, HaveTheirRequiredForm) {
  std::set<int> seen(p2p::kScrambleTable, p2p::kScrambleTable + 256);
  EXPECT_EQ(seen.size(), 256u) << "scrambler table is not a permutation";
  for (uint8_t v : p2p::kLoginCipherTable) EXPECT_NE(v, 0);
}

// Vectors computed from the algorithm by a separate reference implementation.
TEST(p2pScramble, GoldenVectors) {
  struct Case {
    const char* key;
    std::string in, out;
  } cases[] = {
      {"abc", "00 00 00 00 00 00 00 00", "CA A4 59 C6 34 C5 05 7B"},
      {"KLT@qzv7-mornet.", "68 65 6C 6C 6F", "71 7B 48 4A CB"},
      {"0123456789ABCDEFGHIJ", "00 01 02 03 04 05", "C0 68 3A 5A 78 05"},
      {"AB01", "00 00 00 00", "3E 66 73 6A"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ToHex(Scrambled(c.key, Hex(c.in))), c.out) << c.key;
    EXPECT_EQ(ToHex(Unscrambled(c.key, Hex(c.out))), ToHex(Hex(c.in))) << c.key;
  }
  EXPECT_EQ(ToHex(Unscrambled("abc", Hex("01 02 03 04 05 06"))), "CB 4B 57 50 77 7D");
}

TEST(p2pScramble, RoundTripsEveryLengthUpTo1440) {
  std::mt19937 rng(7);
  std::vector<uint8_t> in(1440), enc(1440), dec(1440);
  for (auto& b : in) b = static_cast<uint8_t>(rng());
  for (const char* key : {"k", "packetkey", "0123456789ABCDEFGHIJKLMN"}) {
    for (uint16_t n = 1; n <= 1440; ++n) {
      RVP_Scramble(key, in.data(), enc.data(), n);
      RVP_Unscramble(key, enc.data(), dec.data(), n);
      ASSERT_EQ(std::memcmp(in.data(), dec.data(), n), 0) << key << " length " << n;
    }
    // The same key stream scrambles in place.
    std::vector<uint8_t> inplace = in;
    RVP_Scramble(key, inplace.data(), inplace.data(), 1440);
    EXPECT_EQ(inplace, Scrambled(key, in));
    RVP_Unscramble(key, inplace.data(), inplace.data(), 1440);
    EXPECT_EQ(inplace, in);
  }
}

TEST(p2pScramble, EmptyKeyCopiesAndOnlyTwentyCharactersCount) {
  std::vector<uint8_t> in = Hex("F1 00 00 00 41 42");
  EXPECT_EQ(Scrambled("", in), in);
  EXPECT_EQ(Scrambled(nullptr, in), in);
  EXPECT_EQ(Unscrambled("", in), in);
  EXPECT_EQ(Scrambled("0123456789ABCDEFGHIJxyz", in), Scrambled("0123456789ABCDEFGHIJ", in));
  EXPECT_NE(Scrambled("0123456789ABCDEFGHI", in), Scrambled("0123456789ABCDEFGHIJ", in));
  // Every datagram is scrambled on its own: the same bytes give the same output.
  EXPECT_EQ(Scrambled("abc", in), Scrambled("abc", in));
}

TEST(p2pScramble, PerPacketKeyIsUpperCaseHex) {
  char key[5];
  RVP_PktKeyText(0xAB, 0x01, key);
  EXPECT_STREQ(key, "AB01");
  std::vector<uint8_t> in = Hex("00 00 00 00"), out(4), back(4);
  RVP_ScramblePktKey(0xAB, 0x01, out.data(), in.data(), 4);
  EXPECT_EQ(ToHex(out), "3E 66 73 6A");
  RVP_UnscramblePktKey(0xAB, 0x01, back.data(), out.data(), 4);
  EXPECT_EQ(back, in);
}

TEST(p2pChecksum, MatchesKnownValues) {
  uint8_t cs[2];
  RVP_Checksum(cs, nullptr, 0);
  EXPECT_EQ(cs[0], 0x43);
  EXPECT_EQ(cs[1], 0x53);
  const uint8_t abc[] = {0x61, 0x62, 0x63};
  RVP_Checksum(cs, abc, 3);
  EXPECT_EQ(cs[0], 0x70);
  EXPECT_EQ(cs[1], 0x50);
  const std::vector<uint8_t> body = Hex("62 84 46 96");
  RVP_Checksum(cs, body.data(), body.size());
  EXPECT_EQ(cs[0], 0xA5);
  EXPECT_EQ(cs[1], 0x83);
}

TEST(p2pLoginCipher, GoldenVectorsAndRoundTrip) {
  uint8_t out[64];
  const uint8_t did[] = {'D', 'I', 'D', '1', '2'};
  ASSERT_EQ(RVP_LoginEncrypt(nullptr, did, 5, out, sizeof(out)), 9);
  EXPECT_EQ(ToHex(out, 9), "44 0F D0 5C 23 1B 8E 26 AF");
  ASSERT_EQ(RVP_LoginEncrypt("", did, 0, out, sizeof(out)), 4);
  EXPECT_EQ(ToHex(out, 4), "43 22 A0 71");

  std::mt19937 rng(3);
  for (int n = 0; n <= 60; ++n) {
    std::vector<uint8_t> in(static_cast<size_t>(n) + 1), enc(static_cast<size_t>(n) + 4), dec(static_cast<size_t>(n) + 1);
    for (auto& b : in) b = static_cast<uint8_t>(rng());
    ASSERT_EQ(RVP_LoginEncrypt(nullptr, in.data(), n, enc.data(), n + 4), n + 4);
    ASSERT_EQ(RVP_LoginDecrypt(n + 4, enc.data(), dec.data(), n), n);
    EXPECT_EQ(std::memcmp(in.data(), dec.data(), static_cast<size_t>(n)), 0);
  }
}

TEST(p2pLoginCipher, RejectsDamagedOrShortInput) {
  const uint8_t in[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  uint8_t enc[12], dec[16];
  ASSERT_EQ(RVP_LoginEncrypt(nullptr, in, 8, enc, sizeof(enc)), 12);
  for (int i = 8; i < 12; ++i) {
    uint8_t bad[12];
    std::memcpy(bad, enc, 12);
    bad[i] ^= 0x01;
    EXPECT_EQ(RVP_LoginDecrypt(12, bad, dec, sizeof(dec)), -1) << "trailer byte " << i;
  }
  // Too small an output, and inputs under the trailer's 4 bytes.
  EXPECT_EQ(RVP_LoginDecrypt(12, enc, dec, 7), -1);
  for (int n = 0; n < 4; ++n) EXPECT_EQ(RVP_LoginDecrypt(n, enc, dec, sizeof(dec)), -1) << n;
  EXPECT_EQ(RVP_LoginDecrypt(4, enc, dec, 0), -1);  // not "CCCC" for this input
  EXPECT_EQ(RVP_LoginEncrypt(nullptr, in, 8, enc, 11), -1);
  // Decrypting in place.
  uint8_t inplace[12];
  std::memcpy(inplace, enc, 12);
  ASSERT_EQ(RVP_LoginDecrypt(12, inplace, inplace, 12), 8);
  EXPECT_EQ(std::memcmp(inplace, in, 8), 0);
}

TEST(p2pInitString, DecodesGoldenAndRoundTrips) {
  char out[1024];
  ASSERT_EQ(RVP_InitStringDecode(out, sizeof(out), "ABCDEFGHIJKLMNOP"), 0);
  EXPECT_EQ(ToHex(reinterpret_cast<uint8_t*>(out), 8), "F9 40 1F 6C C6 01 84 62");
  EXPECT_EQ(out[8], 0);

  const std::string servers = "127.0.0.1,127.0.0.2,rdv3.example.test,";
  std::string init = RVP_InitStringEncode(servers, "pktkey");
  EXPECT_EQ(init.size(), servers.size() * 2 + 7);
  EXPECT_EQ(init.find_first_not_of("ABCDEFGHIJKLMNOP"), servers.size() * 2);
  ASSERT_EQ(RVP_InitStringDecode(out, sizeof(out), init.c_str()), 0);
  EXPECT_EQ(std::string(out), servers);  // the ':' ends the letters
  // An odd letter at the end is ignored.
  ASSERT_EQ(RVP_InitStringDecode(out, sizeof(out), (init.substr(0, servers.size() * 2) + "A").c_str()), 0);
  EXPECT_EQ(std::string(out), servers);
}

TEST(p2pInitString, OverlongOrHostileInputStaysInBounds) {
  std::vector<char> out(1024);
  std::string letters(2100, 'B');
  EXPECT_EQ(RVP_InitStringDecode(out.data(), out.size(), letters.c_str()), -1);
  EXPECT_EQ(out[1023], 0) << "output must stay terminated";
  EXPECT_EQ(RVP_InitStringDecode(out.data(), out.size(), std::string(2047, 'C').c_str()), 0);
  // A small output refuses what does not fit and stays terminated.
  char small[4];
  EXPECT_EQ(RVP_InitStringDecode(small, sizeof(small), "ABCDEFGHIJ"), -1);
  EXPECT_EQ(small[3], 0);
  // Characters outside A..P decode to something, never out of bounds.
  EXPECT_EQ(RVP_InitStringDecode(out.data(), out.size(), "\x7f\x80zz!!"), 0);
  EXPECT_EQ(RVP_InitStringDecode(out.data(), out.size(), ""), 0);
  EXPECT_EQ(out[0], 0);
}

}  // namespace
