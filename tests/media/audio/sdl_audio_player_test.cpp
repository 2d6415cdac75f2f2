#include "media/audio/sdl_audio_player.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "media/audio/g711.h"
#include "tests/media/media_test_util.h"

namespace {

// SDL writes what it plays into a file of this process.
const std::string& DiskFile() {
  static const std::string path = [] {
    std::string p =
        (std::filesystem::temp_directory_path() / ("velmora_sdl_disk_" + std::to_string(getpid()) + ".raw"))
            .string();
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", p.c_str(), 1);
    return p;
  }();
  return path;
}
const bool kDiskReady = !DiskFile().empty();

class HandTimer : public media::PacerTimer {
 public:
  explicit HandTimer(Callback* slot) : slot_(slot) {}
  bool Start(uint32_t, Callback cb) override {
    *slot_ = std::move(cb);
    return true;
  }
  void Kill() override {}

 private:
  Callback* slot_;
};

struct Played {
  SdlAudioPlayer player;
  media::PacerTimer::Callback tick;
  ~Played() {
    player.Close();
    std::filesystem::remove(DiskFile());
  }
  bool Open(int rate) { return player.Open(rate, 16, 1, std::make_unique<HandTimer>(&tick)); }
  void Tick() {
    if (tick) tick();
  }
};

// Waits (bounded) until the disk file holds want; true when found.
bool DiskHolds(const std::vector<uint8_t>& want) {
  for (int i = 0; i < 100; ++i) {
    std::vector<uint8_t> got = tools::ReadFile(DiskFile());
    if (std::search(got.begin(), got.end(), want.begin(), want.end()) != got.end()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

TEST(SdlAudioPlayer, ApplyVolumeTruncatesAndClamps) {
  struct Case {
    int16_t in;
    float volume;
    int16_t out;
  } cases[] = {{1000, 0.5f, 500},    {-1001, 0.5f, -500},    {32767, 1.0f, 32767},
               {20000, 2.0f, 32767}, {-20000, 2.0f, -32768}, {-32768, 4.0f, -32768},
               {12345, 0.0f, 0},     {300, -1.0f, -300},     {-32768, -1.0f, 32767}};
  for (auto& c : cases) {
    uint8_t b[2] = {static_cast<uint8_t>(c.in), static_cast<uint8_t>(static_cast<uint16_t>(c.in) >> 8)};
    SdlAudioPlayer::ApplyVolume(b, 2, c.volume);
    EXPECT_EQ(static_cast<int16_t>(b[0] | (b[1] << 8)), c.out) << c.in << " x " << c.volume;
  }
}

// G.711 frames larger than the classic 2048-byte decode buffer play whole, at the volume set, through SDL's
// disk driver; the file holds exactly the decoded samples.
TEST(SdlAudioPlayer, LargeG711FramesPlayWholeThroughSdl) {
  ASSERT_TRUE(kDiskReady);
  for (float volume : {1.0f, 0.5f}) {
    Played p;
    ASSERT_TRUE(p.Open(8000)) << SDL_GetError();
    p.player.SetCodec(kAudioCodecUlaw, nullptr, 0);
    p.player.SetVolume(volume);
    std::vector<uint8_t> expect;
    const int frameBytes = 1500;  // 3000 bytes of PCM each
    for (int f = 0; f < 6; ++f) {
      std::vector<uint8_t> ulaw(frameBytes);
      for (int i = 0; i < frameBytes; ++i) {
        double t = double(f * frameBytes + i) / 8000;
        ulaw[i] = G711LinearToUlaw(static_cast<int16_t>(9000 * std::sin(2 * M_PI * 300 * t) + 50));
      }
      p.player.Play(ulaw.data(), frameBytes);
      for (uint8_t u : ulaw) {
        int16_t s = static_cast<int16_t>(float(G711UlawToLinear(u)) * volume);
        expect.push_back(static_cast<uint8_t>(s));
        expect.push_back(static_cast<uint8_t>(static_cast<uint16_t>(s) >> 8));
      }
      for (int t = 0; t < 4; ++t) p.Tick();
    }
    for (int t = 0; t < 20; ++t) p.Tick();
    uint32_t left = p.player.QueuedBytes();
    EXPECT_LT(left, 640u);
    ASSERT_LE(left, expect.size());
    expect.erase(expect.end() - left, expect.end());
    EXPECT_TRUE(DiskHolds(expect)) << "volume " << volume;
  }
}

TEST(SdlAudioPlayer, UndecodableFramesAndClosedPlayerPlayNothing) {
  ASSERT_TRUE(kDiskReady);
  Played p;
  uint8_t frame[320] = {1, 2, 3};
  p.player.Play(frame, sizeof(frame));  // not open: nothing, no crash
  ASSERT_TRUE(p.Open(8000));
  p.player.SetCodec(kAudioCodecPcm, nullptr, 0);
  for (int i = 0; i < 10; ++i) p.player.Play(frame, sizeof(frame));
  EXPECT_EQ(p.player.QueuedBytes(), 0u);
  EXPECT_FALSE(p.tick) << "no sound, no timer";
  p.player.Close();
  EXPECT_FALSE(p.player.IsOpen());
  p.player.Play(frame, sizeof(frame));
}

// A stereo AAC stream on the mono device is mixed down: one second of sound is one second of PCM.
TEST(SdlAudioPlayer, StereoAacOnMonoDeviceKeepsItsLength) {
  ASSERT_TRUE(kDiskReady);
  std::string aac =
      mt::Cached("aac_stereo.aac",
                 "ffmpeg -v error -f lavfi -i 'aevalsrc=0.4*sin(440*2*PI*t)|0.3*sin(660*2*PI*t):s=16000' "
                 "-t 1 -c:a aac -b:a 48k -f adts {}");
  std::vector<uint8_t> stream = tools::ReadFile(aac);
  ASSERT_FALSE(stream.empty());
  Played p;
  ASSERT_TRUE(p.Open(16000));
  p.player.SetCodec(kAudioCodecAac, nullptr, 0);
  int frames = 0;
  for (size_t at = 0; at + 7 <= stream.size(); ++frames) {
    size_t len = ((stream[at + 3] & 3u) << 11) | (stream[at + 4] << 3) | (stream[at + 5] >> 5);
    ASSERT_GE(len, 7u);
    p.player.Play(&stream[at], static_cast<uint32_t>(len));
    at += len;
  }
  ASSERT_GT(frames, 10);
  // FAAD2 holds back the first frame: frames - 1 frames of 1024 mono samples.
  EXPECT_EQ(p.player.QueuedBytes(), uint32_t(frames - 1) * 2048);
}

}  // namespace
