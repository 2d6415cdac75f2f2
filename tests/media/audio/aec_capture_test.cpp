// Talk capture: the fan-out's blocks and groups, the session target's framing, the talk glue, and echo
// cancelling measured through SDL's disk audio drivers (far-end played by a player, the microphone read from
// a file holding the echo and near-end speech).
#include "media/audio/aec_capture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <thread>
#include <vector>

#include "media/audio/g711.h"
#include "media/audio/sdl_audio_player.h"
#include "tests/common/temp_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct FakeTarget : IAudioTarget {
  int32_t format;
  int id;
  int encodes = 0;
  std::vector<Bytes> got;
  FakeTarget(int32_t f, int i) : format(f), id(i) {}
  int32_t OnAudio(int, const uint8_t* d, uint32_t n, uint32_t) override {
    got.emplace_back(d, d + n);
    return 0;
  }
  bool Matches(IAudioTarget* o) override {
    auto* f = dynamic_cast<FakeTarget*>(o);
    return f && f->id == id;
  }
  int Encode(const uint8_t* pcm, uint32_t bytes, uint8_t* out, uint32_t*) override {
    ++encodes;
    std::memcpy(out, pcm, bytes);
    return int(bytes);
  }
  int32_t Format() override { return format; }
};

Bytes Ramp(size_t n, uint8_t from) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(from + i);
  return b;
}

TEST(CaptureFanout, BlocksCarryAndGroups) {
  CaptureFanout fan;
  fan.Open();
  FakeTarget a(2, 1), b(2, 2), dupA(2, 1), pcm(52, 1);
  EXPECT_TRUE(fan.AddTarget(&a));
  EXPECT_TRUE(fan.AddTarget(&b));
  EXPECT_FALSE(fan.AddTarget(&dupA));
  EXPECT_TRUE(fan.AddTarget(&pcm));
  EXPECT_EQ(fan.GroupCount(), 2u);
  Bytes first = Ramp(700, 0);
  fan.Dispatch(first.data(), 700, 0);
  EXPECT_EQ(a.got.size(), 4u);
  EXPECT_EQ(b.got.size(), 4u);
  EXPECT_EQ(pcm.got.size(), 4u);
  EXPECT_EQ(a.encodes, 4);  // one encode per block for the whole A-law group
  EXPECT_EQ(b.encodes, 0);
  EXPECT_EQ(fan.CarryCount(), 60u);
  Bytes second = Ramp(100, 188);  // continues the ramp
  fan.Dispatch(second.data(), 100, 0);
  ASSERT_EQ(a.got.size(), 5u);
  EXPECT_EQ(a.got[4], Ramp(160, 640 % 256));
  EXPECT_EQ(fan.CarryCount(), 0u);
  // Every block once and in order.
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(b.got[i], Ramp(160, uint8_t(i * 160))) << i;
  EXPECT_EQ(fan.RemoveTarget(&pcm), 1);
  EXPECT_EQ(fan.GroupCount(), 1u);
  EXPECT_EQ(fan.RemoveTarget(&pcm), 0);
  // Many small dispatches never run past the carry.
  for (int i = 0; i < 1000; ++i) {
    Bytes s = Ramp(size_t(i % 159) + 1, uint8_t(i));
    fan.Dispatch(s.data(), uint32_t(s.size()), 0);
    ASSERT_LT(fan.CarryCount(), 160u);
  }
}

struct FakeSession : TalkSession {
  int startResult = 0;
  int starts = 0, stops = 0;
  std::vector<Bytes> sent;
  int StartTalk() override {
    ++starts;
    return startResult;
  }
  int StopTalk() override { return ++stops, 0; }
  int SendTalkData(int32_t codec, const uint8_t* d, uint32_t n) override {
    EXPECT_EQ(codec, 2);
    sent.emplace_back(d, d + n);
    return int(n);
  }
};

TEST(TalkTarget, FramesOfAtLeast320Bytes) {
  FakeSession s;
  CP2pAudioTarget t(&s, 2);
  Bytes big(320, 1), small(80, 2);
  EXPECT_EQ(t.OnAudio(-1, big.data(), 320, 0), 320);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(t.OnAudio(-1, small.data(), 80, 0), 0);
  EXPECT_EQ(s.sent.size(), 1u);
  EXPECT_EQ(t.OnAudio(-1, small.data(), 80, 0), 320);
  ASSERT_EQ(s.sent.size(), 2u);
  EXPECT_EQ(s.sent[1], Bytes(320, 2));
  // Odd sizes never overrun the collect buffer.
  Bytes odd(319, 3);
  for (int i = 0; i < 10; ++i) t.OnAudio(-1, odd.data(), uint32_t(10 + i * 31), 0);
  // A-law: a 10 ms block is 80 bytes.
  Bytes pcm(160, 0);
  uint8_t out[1024];
  EXPECT_EQ(t.Encode(pcm.data(), 160, out, nullptr), 80);
  FakeSession other;
  CP2pAudioTarget u(&other, 2), same(&s, 2);
  EXPECT_TRUE(t.Matches(&same));
  EXPECT_FALSE(t.Matches(&u));
}

TEST(CaptureDevice, ModesAndRates) {
  CAecMicArrayCapture c;
  c.SetMode(1, 44100);
  EXPECT_EQ(c.SystemMode(), 0);
  EXPECT_EQ(c.SampleRate(), 16000);
  c.SetMode(3, 11025);
  EXPECT_EQ(c.SystemMode(), 3);
  EXPECT_EQ(c.SampleRate(), 11025);
  EXPECT_LT(c.Open(), 0);  // the echo canceller has no 11025 Hz mode
  c.SetMode(0, 8000);
  EXPECT_EQ(c.Open(), 0);
  EXPECT_EQ(c.Open(), 1);  // same devices: already open
  EXPECT_EQ(c.SelectCaptureDevice(99), -1);
  EXPECT_EQ(c.AddSink(nullptr), -1);
}

TEST(TalkGlue, AttachDetachAndRefusals) {
  CAecAudioCapture* cap = TalkCaptureCreate();
  ASSERT_NE(cap, nullptr);
  FakeSession s, refused;
  refused.startResult = -10003;
  EXPECT_FALSE(TalkCaptureAttachSession(cap, &refused));
  EXPECT_EQ(refused.talkTarget, nullptr);
  EXPECT_TRUE(TalkCaptureAttachSession(cap, &s));
  EXPECT_FALSE(TalkCaptureAttachSession(cap, &s));
  EXPECT_EQ(cap->Fanout()->GroupCount(), 2u);  // our PCM target and the A-law session
  Bytes pcm(640, 0);
  cap->OnCapture(pcm.data(), 640, 8000, 1);  // four blocks: one 320-byte frame
  EXPECT_EQ(s.sent.size(), 1u);
  EXPECT_TRUE(TalkCaptureDetachSession(cap, &s));
  EXPECT_FALSE(TalkCaptureDetachSession(cap, &s));
  EXPECT_EQ(s.stops, 1);
  EXPECT_EQ(cap->Fanout()->GroupCount(), 1u);
  EXPECT_TRUE(TalkCaptureFree(cap));
}

// ---- echo cancelling ----

struct Collect : IAecCaptureEvent {
  std::mutex lock;
  std::vector<int16_t> pcm;
  int OnCapture(const uint8_t* d, uint32_t n, int, int) override {
    std::lock_guard<std::mutex> g(lock);
    const int16_t* s = reinterpret_cast<const int16_t*>(d);
    pcm.insert(pcm.end(), s, s + n / 2);
    return 0;
  }
};

double Energy(const std::vector<int16_t>& s, size_t from, size_t to) {
  double e = 0;
  for (size_t i = from; i < to && i < s.size(); ++i) e += double(s[i]) * s[i];
  return e / double(std::max<size_t>(1, to - from));
}

TEST(EchoCancelling, ErleAndNearEndKept) {
  constexpr int kRate = 8000;
  constexpr size_t kFarEnd = 3 * kRate;    // far-end speech only
  constexpr size_t kNear = kRate * 3 / 2;  // then near-end speech only
  constexpr size_t kDelay = kRate / 5;     // echo path delay, 200 ms (room for a late far-end)
  std::mt19937 rng(7);
  std::normal_distribution<double> noise(0, 1);
  // Far-end: speech-shaped noise in syllables; near-end: a voiced sound with a gliding pitch.
  std::vector<int16_t> far(kFarEnd), mic(kFarEnd + kNear);
  std::vector<uint8_t> alaw(kFarEnd);
  double lp = 0;
  for (size_t i = 0; i < kFarEnd; ++i) {
    lp = 0.6 * lp + 0.4 * noise(rng);
    double env = 0.55 + 0.45 * std::sin(2 * M_PI * 3.3 * double(i) / kRate);
    // What the player sends out is the A-law decode of what it is given.
    alaw[i] = G711LinearToAlaw(int16_t(std::clamp(6000 * env * lp, -32000.0, 32000.0)));
    far[i] = G711AlawToLinear(alaw[i]);
  }
  for (size_t i = 0; i < mic.size(); ++i) {
    double echo = 0;
    if (i >= kDelay && i - kDelay < kFarEnd) echo += 0.5 * far[i - kDelay];
    if (i >= kDelay + 12 && i - kDelay - 12 < kFarEnd) echo += 0.2 * far[i - kDelay - 12];
    double nearEnd = 0;
    if (i >= kFarEnd) {
      double t = double(i - kFarEnd) / kRate;
      double f0 = 140 + 30 * std::sin(2 * M_PI * 0.7 * t);
      for (int h = 1; h <= 12; ++h) nearEnd += std::sin(2 * M_PI * f0 * h * t) / h;
      nearEnd *= 2500 * (0.6 + 0.4 * std::sin(2 * M_PI * 2.5 * t));
    }
    mic[i] = int16_t(std::clamp(echo + nearEnd + 20 * noise(rng), -32000.0, 32000.0));
  }
  TempDir dir("velmora_aec");
  {
    std::ofstream in(dir / "mic.raw", std::ios::binary);
    in.write(reinterpret_cast<const char*>(mic.data()), std::streamsize(mic.size() * 2));
    // Trailing silence so the capture does not run dry while the test stops it.
    std::vector<int16_t> tail(kRate, 0);
    in.write(reinterpret_cast<const char*>(tail.data()), std::streamsize(tail.size() * 2));
  }
  setenv("SDL_AUDIODRIVER", "disk", 1);
  setenv("SDL_DISKAUDIOFILE", (dir / "speaker.raw").c_str(), 1);
  setenv("SDL_DISKAUDIOFILEIN", (dir / "mic.raw").c_str(), 1);

  CAecMicArrayCapture capture;
  Collect out;
  capture.SetMode(0, kRate);
  capture.AddSink(&out);
  ASSERT_EQ(capture.Open(), 0);
  SdlAudioPlayer player;
  ASSERT_TRUE(player.Open(kRate, 16, 1));
  player.SetCodec(2, nullptr, 0);
  ASSERT_EQ(capture.Start(), 0);
  // The far-end arrives in 40 ms frames at its own pace.
  auto start = std::chrono::steady_clock::now();
  for (size_t at = 0; at < kFarEnd; at += 320) {
    player.Play(alaw.data() + at, 320);
    std::this_thread::sleep_until(start + std::chrono::milliseconds(40 * (at / 320 + 1)));
  }
  while (true) {
    {
      std::lock_guard<std::mutex> g(out.lock);
      if (out.pcm.size() >= mic.size()) break;
    }
    ASSERT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  capture.Stop();
  player.Close();
  std::lock_guard<std::mutex> g(out.lock);
  // After a second to converge: echo return loss enhancement over the far-end-only stretch.
  double erle =
      10 * std::log10(Energy(mic, kRate * 3 / 2, kFarEnd) / Energy(out.pcm, kRate * 3 / 2, kFarEnd));
  double kept = 10 * std::log10(Energy(out.pcm, kFarEnd + kRate / 4, mic.size()) /
                                Energy(mic, kFarEnd + kRate / 4, mic.size()));
  RecordProperty("erle_db", std::to_string(erle));
  std::printf("ERLE %.1f dB, near-end level %.1f dB\n", erle, kept);
  EXPECT_GE(erle, 15.0);
  EXPECT_GT(kept, -6.0);
}

}  // namespace

int main(int argc, char** argv) {
  setenv("SDL_AUDIODRIVER", "dummy", 1);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
