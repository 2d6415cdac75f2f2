#include "media/audio/audio_codec.h"

#include <gtest/gtest.h>

#include <ostream>

#include <cmath>
#include <cstring>

#include "media/audio/g711.h"
#include "tests/media/media_test_util.h"

namespace {

std::vector<uint8_t> Sine(int samples, double freq, double rate = 8000, double amp = 12000) {
  std::vector<uint8_t> pcm(2 * samples);
  for (int i = 0; i < samples; ++i) {
    int16_t v = static_cast<int16_t>(amp * std::sin(2 * M_PI * freq * i / rate));
    pcm[2 * i] = static_cast<uint8_t>(v);
    pcm[2 * i + 1] = static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8);
  }
  return pcm;
}

int16_t At(const std::vector<uint8_t>& pcm, size_t i) { return static_cast<int16_t>(pcm[2 * i] | (pcm[2 * i + 1] << 8)); }

TEST(AudioCodec, BlockSizesPerCodec) {
  std::vector<uint8_t> pcm = Sine(80, 440);  // 160 bytes, 10 ms
  uint8_t out[160];
  struct Case {
    int32_t codec;
    int encoded;
  } cases[] = {{kAudioCodecAlaw, 80}, {kAudioCodecUlaw, 80}, {kAudioCodecAdpcm, 40}, {kAudioCodecPcm, 0},
               {kAudioCodecAac, 0},   {kAudioCodecAdpcm2, 0}, {0, 0}};
  for (const Case& c : cases) {
    AudioCodec codec;
    codec.SetCodec(c.codec);
    EXPECT_EQ(codec.Encode(pcm.data(), 160, out), c.encoded) << c.codec;
  }
  // PCM and unknown codecs do not decode here.
  for (int32_t id : {int32_t{kAudioCodecPcm}, int32_t{kAudioCodecAdpcm2}, int32_t{0}}) {
    AudioCodec codec;
    codec.SetCodec(id);
    uint8_t dec[640];
    EXPECT_EQ(codec.Decode(pcm.data(), 80, dec, sizeof(dec)), -1) << id;
  }
}

TEST(AudioCodec, G711DecodeMatchesTables) {
  AudioCodec a, u;
  a.SetCodec(kAudioCodecAlaw);
  u.SetCodec(kAudioCodecUlaw);
  uint8_t codes[256], out[512];
  for (int i = 0; i < 256; ++i) codes[i] = static_cast<uint8_t>(i);
  ASSERT_EQ(a.Decode(codes, 256, out, sizeof(out)), 512);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(static_cast<int16_t>(out[2 * i] | (out[2 * i + 1] << 8)), G711AlawToLinear(codes[i]));
  ASSERT_EQ(u.Decode(codes, 256, out, sizeof(out)), 512);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(static_cast<int16_t>(out[2 * i] | (out[2 * i + 1] << 8)), G711UlawToLinear(codes[i]));
}

TEST(AudioCodec, DecodeNeverWritesPastCapacity) {
  uint8_t in[100] = {};
  // The guard bytes after the capacity must survive every codec.
  for (int32_t id : {int32_t{kAudioCodecAlaw}, int32_t{kAudioCodecUlaw}, int32_t{kAudioCodecAdpcm}}) {
    AudioCodec c;
    c.SetCodec(id);
    std::vector<uint8_t> out(300, 0xEE);
    EXPECT_EQ(c.Decode(in, 100, out.data(), 150), -1) << id;
    for (uint8_t b : out) ASSERT_EQ(b, 0xEE);
  }
}

TEST(AudioCodec, AdpcmEncoderAndDecoderStayInStep) {
  AudioCodec enc, dec;
  enc.SetCodec(kAudioCodecAdpcm);
  dec.SetCodec(kAudioCodecAdpcm);
  std::vector<uint8_t> pcm = Sine(8000, 300);
  std::vector<uint8_t> code(4000), back(16000);
  // Frame by frame: the state carries over between frames.
  int total = 0;
  for (int off = 0; off < 16000; off += 320) {
    int n = enc.Encode(pcm.data() + off, 320, code.data() + off / 4);
    ASSERT_EQ(n, 80);
    ASSERT_EQ(dec.Decode(code.data() + off / 4, 80, back.data() + off, 320), 320);
    total += n;
  }
  EXPECT_EQ(total, 4000);
  // The decoder reconstructs exactly the encoder's predictor, which tracks the signal.
  EXPECT_EQ(enc.adpcm.encPredictor, dec.adpcm.decPredictor);
  EXPECT_EQ(enc.adpcm.encIndex, dec.adpcm.decIndex);
  double err = 0, sig = 0;
  for (int i = 100; i < 8000; ++i) {
    double d = At(pcm, i) - At(back, i);
    err += d * d;
    sig += double(At(pcm, i)) * At(pcm, i);
  }
  EXPECT_GT(10 * std::log10(sig / err), 20.0);
  // Reset by SetCodec: the same input gives the same codes again.
  std::vector<uint8_t> again(80);
  enc.SetCodec(kAudioCodecAdpcm);
  enc.Encode(pcm.data(), 320, again.data());
  EXPECT_EQ(0, std::memcmp(again.data(), code.data(), 80));
}

TEST(AudioCodec, AdpcmFirstNibbleIsHighAndOddSampleWritesNothingExtra) {
  AudioCodec enc;
  enc.SetCodec(kAudioCodecAdpcm);
  // One loud sample from 0: sign 0, magnitude 7 (the step is 7).
  uint8_t pcm[6] = {0x00, 0x10, 0x00, 0x10, 0x00, 0x10};
  uint8_t out[2] = {0, 0xEE};
  EXPECT_EQ(enc.Encode(pcm, 6, out), 1);
  EXPECT_EQ(out[0] >> 4, 7);
  EXPECT_EQ(out[1], 0xEE);
}

// AAC frames made by ffmpeg, decoded by FAAD2 and compared with ffmpeg's decode.
struct AacCase {
  const char* name;
  int channels;
  const char* source;
};

void PrintTo(const AacCase& c, std::ostream* os) { *os << c.name; }

class AacOracle : public ::testing::TestWithParam<AacCase> {};

std::vector<uint8_t> NextAdts(const std::vector<uint8_t>& s, size_t* at) {
  if (*at + 7 > s.size()) return {};
  size_t len = ((s[*at + 3] & 3u) << 11) | (s[*at + 4] << 3) | (s[*at + 5] >> 5);
  if (len < 7 || *at + len > s.size()) return {};
  std::vector<uint8_t> f(s.begin() + static_cast<long>(*at), s.begin() + static_cast<long>(*at + len));
  *at += len;
  return f;
}

TEST_P(AacOracle, DecodesAdtsWithoutConfigurationLikeFfmpeg) {
  const AacCase& c = GetParam();
  std::string aac = mt::Cached(std::string("aac_") + c.name + ".aac",
                               std::string("ffmpeg -v error -f lavfi -i '") + c.source +
                                   "' -t 1 -c:a aac -b:a 48k -f adts {}");
  std::string ref = mt::Cached(std::string("aac_") + c.name + ".s16",
                               "ffmpeg -v error -i '" + aac + "' -f s16le {}");
  std::vector<uint8_t> stream = tools::ReadFile(aac), want = tools::ReadFile(ref);
  ASSERT_FALSE(stream.empty());
  AudioCodec codec;
  codec.Configure(kAudioCodecAac, nullptr, 0);  // as the media sink does: no configuration
  ASSERT_EQ(codec.codec, kAudioCodecAac);
  std::vector<uint8_t> got;
  size_t at = 0;
  int frames = 0;
  std::vector<uint8_t> out(1024 * 2 * c.channels);  // one frame exactly
  for (std::vector<uint8_t> f; !(f = NextAdts(stream, &at)).empty(); ++frames) {
    int n = codec.Decode(f.data(), static_cast<uint32_t>(f.size()), out.data(), static_cast<uint32_t>(out.size()));
    ASSERT_GE(n, 0) << "frame " << frames;
    got.insert(got.end(), out.begin(), out.begin() + n);
  }
  ASSERT_GT(frames, 10);
  // FAAD2 starts one frame later than ffmpeg; align on the best offset.
  size_t ns = want.size() / 2, gs = got.size() / 2;
  ASSERT_GT(gs, ns / 2);
  double best = -1e9;
  for (long shift = -2048; shift <= 2048; shift += c.channels) {
    double err = 0, sig = 0;
    for (size_t i = 4096; i + 4096 < ns; ++i) {
      long j = static_cast<long>(i) + shift;
      if (j < 0 || static_cast<size_t>(j) >= gs) continue;
      double a = At(want, i), b = At(got, static_cast<size_t>(j));
      err += (a - b) * (a - b);
      sig += a * a;
    }
    if (sig > 0) best = std::max(best, 10 * std::log10(sig / (err + 1e-9)));
  }
  EXPECT_GT(best, 30.0) << "decoded sound differs from ffmpeg's";
  // Mono comes out as one channel: as many samples per frame as ffmpeg gives.
  EXPECT_NEAR(double(gs) / ns, 1.0, 0.1);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, AacOracle,
    ::testing::Values(AacCase{"mono", 1, "sine=frequency=440:sample_rate=16000"},
                      AacCase{"stereo", 2, "aevalsrc=0.4*sin(440*2*PI*t)|0.3*sin(660*2*PI*t):s=16000"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AudioCodec, AacRefusesGarbageAndSmallBuffers) {
  std::string aac = mt::Cached("aac_stereo.aac",
                               "ffmpeg -v error -f lavfi -i 'aevalsrc=0.4*sin(440*2*PI*t)|0.3*sin(660*2*PI*t):s=16000' "
                               "-t 1 -c:a aac -b:a 48k -f adts {}");
  std::vector<uint8_t> stream = tools::ReadFile(aac);
  AudioCodec codec;
  codec.Configure(kAudioCodecAac, nullptr, 0);
  uint8_t junk[64];
  std::memset(junk, 0x5A, sizeof(junk));
  std::vector<uint8_t> out(8192, 0xEE);
  EXPECT_EQ(codec.Decode(junk, sizeof(junk), out.data(), 4096), -1);
  size_t at = 0;
  std::vector<uint8_t> f;
  bool refused = false;
  for (int i = 0; i < 5 && !(f = NextAdts(stream, &at)).empty(); ++i) {
    int n = codec.Decode(f.data(), static_cast<uint32_t>(f.size()), out.data(), 1000);
    if (n < 0) refused = true;
    ASSERT_LE(n, 1000);
  }
  EXPECT_TRUE(refused);  // a stereo frame of 4096 bytes does not fit 1000
  for (size_t i = 1000; i < out.size(); ++i) ASSERT_EQ(out[i], 0xEE);
}

TEST(AudioCodec, AacWithConfiguration) {
  // AudioSpecificConfig: LC, 16000 Hz (index 8), one channel.
  const uint8_t asc[2] = {0x14, 0x08};
  AudioCodec codec;
  codec.Configure(kAudioCodecAac, asc, 2);
  EXPECT_EQ(codec.codec, kAudioCodecAac);
  EXPECT_TRUE(codec.aacReady);
  // A broken configuration leaves no codec.
  const uint8_t bad[2] = {0xF8, 0x00};
  codec.Configure(kAudioCodecAac, bad, 2);
  EXPECT_EQ(codec.codec, 0);
  uint8_t out[16];
  EXPECT_EQ(codec.Decode(asc, 2, out, sizeof(out)), -1);
  codec.ReleaseAac();
  EXPECT_EQ(codec.aac, nullptr);
}

}  // namespace
