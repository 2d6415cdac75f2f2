#include "util/base64.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

// Decodes into a heap block of exactly capacity bytes, so that ASan catches any write past it.
int Decode(const std::string& text, size_t capacity, std::string* out = nullptr) {
  std::unique_ptr<uint8_t[]> buf(capacity ? new uint8_t[capacity] : nullptr);
  int n = Base64Decode(text.c_str(), capacity ? buf.get() : reinterpret_cast<uint8_t*>(&capacity), capacity);
  if (out && n >= 0) out->assign(reinterpret_cast<char*>(buf.get()), static_cast<size_t>(n));
  return n;
}

TEST(Base64, Rfc4648Vectors) {
  const std::pair<std::string, std::string> cases[] = {{"", ""},
                                                       {"f", "Zg=="},
                                                       {"fo", "Zm8="},
                                                       {"foo", "Zm9v"},
                                                       {"foob", "Zm9vYg=="},
                                                       {"fooba", "Zm9vYmE="},
                                                       {"foobar", "Zm9vYmFy"}};
  for (const auto& [plain, text] : cases) {
    std::vector<char> out(text.size() + 1);
    EXPECT_EQ(Base64Encode(plain.data(), plain.size(), out.data(), out.size()),
              static_cast<int>(text.size()));
    EXPECT_STREQ(out.data(), text.c_str());
    std::string back;
    EXPECT_EQ(Decode(text, plain.size() + 1, &back), static_cast<int>(plain.size()));
    EXPECT_EQ(back, plain);
  }
}

TEST(Base64, EncoderNeedsRoomForEveryGroupAndTheTerminator) {
  char out[8];
  EXPECT_EQ(Base64Encode("abc", 3, out, 5), 4);
  EXPECT_STREQ(out, "YWJj");
  EXPECT_EQ(Base64Encode("abc", 3, out, 4), -1);   // no room for the NUL
  EXPECT_EQ(Base64Encode("abcd", 4, out, 7), -1);  // second group does not fit
  EXPECT_EQ(Base64Encode("", 0, out, 1), 0);
  EXPECT_EQ(Base64Encode("", 0, out, 0), -1);
}

TEST(Base64, DecoderCases) {
  struct Case {
    const char* text;
    size_t capacity;
    int want;
  } cases[] = {
      {"QQ==", 1, -1},                          // one byte with padding needs a second byte of room
      {"QQ==", 2, 1},     {"QUJD", 3, 3},       // four characters without padding
      {"QUJD", 2, -1},    {"QUI", 8, -1},       // three characters without padding
      {"QUI=", 3, 2},     {"QR==", 2, -1},      // non-zero unused bits
      {"QUJ=", 3, -1},    {"Q U\tJ\nD", 3, 3},  // blanks inside a group are skipped
      {" QUI= \n", 3, 2},                       // and around
      {"QUI= x", 3, -1},                        // only blanks after the padding
      {"QQ= =", 2, 1},                          // blanks between the two "="
      {"QQ=", 2, -1},                           // second "=" missing
      {"QUI==", 3, -1},                         // one "=" too many
      {"Q===", 8, -1},                          // "=" after one character
      {"=", 8, -1},       {"QUJD\x80", 8, -1},  // bytes of 0x80 and above are never blanks
      {"QU-D", 8, -1},                          // outside the alphabet
      {"", 0, 0},         {"   ", 0, 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Decode(c.text, c.capacity), c.want) << "\"" << c.text << "\" " << c.capacity;
}

TEST(Base64, NullOutputOnlyCounts) {
  EXPECT_EQ(Base64Decode("Zm9vYmFy", nullptr, 0), 6);
  EXPECT_EQ(Base64Decode("Zm9vYg==", nullptr, 0), 4);
  EXPECT_EQ(Base64Decode("Zm9vY", nullptr, 0), -1);
}

TEST(Base64, RandomRoundTripsAndOtherAlphabets) {
  const char url[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::mt19937 rng(1);
  for (int i = 0; i < 300; ++i) {
    std::vector<uint8_t> data(rng() % 100);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    const char* alphabet = (i % 2) ? url : kBase64Alphabet;
    size_t need = 4 * ((data.size() + 2) / 3) + 1;
    std::vector<char> text(need);
    ASSERT_EQ(Base64EncodeWith(alphabet, data.data(), data.size(), text.data(), need),
              static_cast<int>(need - 1));
    std::vector<uint8_t> back(data.size() + 1);
    ASSERT_EQ(Base64DecodeWith(alphabet, text.data(), back.data(), back.size()),
              static_cast<int>(data.size()));
    back.pop_back();
    EXPECT_EQ(back, data);
  }
}

}  // namespace
