#include "media/audio/g711.h"

#include <gtest/gtest.h>

#include <ostream>

#include <cstdlib>

#include "tests/media/media_test_util.h"

namespace {

TEST(G711, SilenceCodes) {
  EXPECT_EQ(G711LinearToAlaw(0), 0xD5);
  EXPECT_EQ(G711LinearToUlaw(0), 0xFF);
  EXPECT_EQ(G711AlawToLinear(0xD5), 8);
  EXPECT_EQ(G711UlawToLinear(0xFF), 0);
  EXPECT_EQ(kG711AlawSilence, G711LinearToAlaw(0));
}

// Every code decoded, and every 16-bit sample encoded, against ffmpeg's
// pcm_alaw and pcm_mulaw. Decoding is byte-exact. ffmpeg's encoder rounds to
// the nearest reconstruction level while ours uses the ITU-T G.711 decision
// levels, so at the edges of a decision interval the two may pick the
// neighbouring code; at every reconstruction level they agree exactly.
struct LawCase {
  const char* format;
  uint8_t (*encode)(int16_t);
  int16_t (*decode)(uint8_t);
  uint8_t magnitudeMask;  // code ^ this gives sign in bit 7 and a rising magnitude below it
};

void PrintTo(const LawCase& c, std::ostream* os) { *os << c.format; }

class G711Oracle : public ::testing::TestWithParam<LawCase> {};

TEST_P(G711Oracle, MatchesFfmpeg) {
  const LawCase& c = GetParam();
  mt::TempDir dir;
  std::vector<uint8_t> pcm;
  for (int v = -32768; v <= 32767; ++v) {
    pcm.push_back(static_cast<uint8_t>(v & 0xFF));
    pcm.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
  }
  mt::WriteAll(dir / "all.s16", pcm);
  std::vector<uint8_t> codes(256);
  for (int i = 0; i < 256; ++i) codes[i] = static_cast<uint8_t>(i);
  mt::WriteAll(dir / "codes.g711", codes);
  int st = 0;
  std::string fmt = c.format;
  mt::Shell("ffmpeg -v error -f s16le -ar 8000 -ac 1 -i " + dir / "all.s16" + " -f " + fmt + " " + dir / "enc", &st);
  ASSERT_EQ(st, 0);
  mt::Shell("ffmpeg -v error -f " + fmt + " -ar 8000 -ac 1 -i " + dir / "codes.g711" + " -f s16le " + dir / "dec", &st);
  ASSERT_EQ(st, 0);
  std::vector<uint8_t> enc = tools::ReadFile(dir / "enc");
  std::vector<uint8_t> dec = tools::ReadFile(dir / "dec");
  ASSERT_EQ(enc.size(), 65536u);
  ASSERT_EQ(dec.size(), 512u);
  for (int i = 0; i < 256; ++i) {
    int16_t level = static_cast<int16_t>(dec[2 * i] | (dec[2 * i + 1] << 8));
    ASSERT_EQ(c.decode(static_cast<uint8_t>(i)), level) << "code " << i;
    // At its own reconstruction level each code is chosen by both encoders
    // (the two zero codes both decode to 0 and 0 encodes to one of them).
    uint8_t ours = c.encode(level);
    EXPECT_EQ(ours, enc[static_cast<size_t>(level + 32768)]) << "level " << level;
    if (c.decode(ours) == level && ours != i) continue;
    EXPECT_EQ(ours, i) << "level " << level;
  }
  int edges = 0;
  for (int v = -32768; v <= 32767; ++v) {
    uint8_t want = enc[static_cast<size_t>(v + 32768)];
    uint8_t got = c.encode(static_cast<int16_t>(v));
    if (got == want) continue;
    ++edges;
    int a = got ^ c.magnitudeMask, b = want ^ c.magnitudeMask;
    ASSERT_EQ(a & 0x80, b & 0x80) << "sample " << v;
    ASSERT_EQ(std::abs((a & 0x7F) - (b & 0x7F)), 1) << "sample " << v;
  }
  EXPECT_LT(edges, 1000);
}

INSTANTIATE_TEST_SUITE_P(Laws, G711Oracle,
                         ::testing::Values(LawCase{"alaw", G711LinearToAlaw, G711AlawToLinear, 0x55},
                                           LawCase{"mulaw", G711LinearToUlaw, G711UlawToLinear, 0xFF}),
                         [](const auto& info) { return std::string(info.param.format); });

}  // namespace
