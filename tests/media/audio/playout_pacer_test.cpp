#include "media/audio/playout_pacer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// A tick source driven by hand.
class HandTimer : public media::PacerTimer {
 public:
  explicit HandTimer(int* starts) : starts_(starts) {}
  bool Start(uint32_t period_ms, Callback cb) override {
    ++*starts_;
    period = period_ms;
    cb_ = std::move(cb);
    return true;
  }
  void Kill() override { cb_ = nullptr; }
  uint32_t period = 0;
  Callback cb_;

 private:
  int* starts_;
};

struct Sink {
  std::vector<std::vector<uint8_t>> chunks;
  static void Out(const uint8_t* data, uint32_t bytes, void* user) {
    static_cast<Sink*>(user)->chunks.emplace_back(data, data + bytes);
  }
  size_t Total() const {
    size_t n = 0;
    for (auto& c : chunks) n += c.size();
    return n;
  }
};

struct PacerFixture {
  int starts = 0;
  HandTimer* timer;
  Sink sink;
  std::unique_ptr<PlayoutPacer> pacer;
  explicit PacerFixture(uint32_t rate = 8000, uint32_t channels = 1) {
    auto t = std::make_unique<HandTimer>(&starts);
    timer = t.get();
    pacer = std::make_unique<PlayoutPacer>(rate, 16, channels, &Sink::Out, &sink, std::move(t));
  }
  void Tick() { pacer->OnTick(); }
};

// 16-bit mono tone, little-endian.
std::vector<uint8_t> Tone(size_t samples, double hz = 440, int rate = 8000, size_t phase = 0) {
  std::vector<uint8_t> out(samples * 2);
  for (size_t i = 0; i < samples; ++i) {
    auto s = static_cast<int16_t>(8000 * std::sin(2 * M_PI * hz * double(i + phase) / rate));
    out[2 * i] = static_cast<uint8_t>(s);
    out[2 * i + 1] = static_cast<uint8_t>(static_cast<uint16_t>(s) >> 8);
  }
  return out;
}

TEST(PlayoutPacer, SizesFollowTheRate) {
  struct Case {
    uint32_t rate, channels, chunk, threshold, ring;
  } cases[] = {
      {8000, 1, 640, 1600, 160000}, {16000, 1, 1280, 3200, 320000}, {48000, 2, 7680, 19200, 1920000}};
  for (auto& c : cases) {
    PacerFixture f(c.rate, c.channels);
    EXPECT_EQ(f.pacer->ChunkSize(), c.chunk) << c.rate;
    EXPECT_EQ(f.pacer->StartThreshold(), c.threshold) << c.rate;
    EXPECT_EQ(f.pacer->RingCapacity(), c.ring) << c.rate;
  }
}

TEST(PlayoutPacer, StartsAtThresholdWithTwoChunksThenWaitsForAWholeChunk) {
  PacerFixture f;
  auto pcm = Tone(800);  // 1600 bytes
  f.Tick();              // before any Push: nothing
  f.pacer->Push(pcm.data(), 1000);
  EXPECT_EQ(f.starts, 1);
  EXPECT_EQ(f.timer->period, 40u);
  f.Tick();
  EXPECT_TRUE(f.sink.chunks.empty()) << "below the start threshold";
  EXPECT_EQ(f.pacer->PlayStateNow(), PlayoutPacer::kWaiting);
  f.pacer->Push(pcm.data() + 1000, 600);
  EXPECT_EQ(f.starts, 1) << "one timer for the pacer's life";
  EXPECT_EQ(f.pacer->PlayStateNow(), PlayoutPacer::kReady);
  f.Tick();
  ASSERT_EQ(f.sink.chunks.size(), 2u);
  EXPECT_EQ(std::vector<uint8_t>(pcm.begin(), pcm.begin() + 640), f.sink.chunks[0]);
  EXPECT_EQ(std::vector<uint8_t>(pcm.begin() + 640, pcm.begin() + 1280), f.sink.chunks[1]);
  EXPECT_EQ(f.pacer->PlayStateNow(), PlayoutPacer::kPlaying);
  f.Tick();
  EXPECT_EQ(f.sink.chunks.size(), 2u) << "320 bytes are less than a chunk";
  EXPECT_EQ(f.pacer->Buffered(), 320u);
}

TEST(PlayoutPacer, BacklogOf600msDrainsFasterThenPlaysNormally) {
  PacerFixture f;
  auto pcm = Tone(4800);  // 600 ms
  f.pacer->Push(pcm.data(), static_cast<uint32_t>(pcm.size()));
  EXPECT_EQ(f.pacer->CatchUpMode(), PlayoutPacer::kCatchUpOn);
  int ticks = 0;
  while (f.pacer->CatchUpMode() == PlayoutPacer::kCatchUpOn && ticks < 100) {
    f.Tick();
    ++ticks;
  }
  // 600 ms at 1.25x take 480 ms, twelve ticks (a normal pace would take fifteen).
  EXPECT_GE(ticks, 11);
  EXPECT_LE(ticks, 13);
  EXPECT_LT(f.pacer->Buffered(), f.pacer->ChunkSize());
  for (auto& c : f.sink.chunks) ASSERT_EQ(c.size(), 640u);
  // Sped-up sound is still sound: every chunk but the last carries the tone.
  for (size_t i = 0; i + 1 < f.sink.chunks.size(); ++i) {
    double energy = 0;
    for (size_t k = 0; k < 640; k += 2) {
      auto s = static_cast<int16_t>(f.sink.chunks[i][k] | (f.sink.chunks[i][k + 1] << 8));
      energy += double(s) * s;
    }
    EXPECT_GT(std::sqrt(energy / 320), 3000) << "chunk " << i;
  }
  EXPECT_EQ(f.pacer->CatchUpMode(), PlayoutPacer::kCatchUpLeaving);
  // The next tick that finds a chunk leaves catch-up and plays at the normal pace.
  size_t before = f.sink.chunks.size();
  auto more = Tone(1600, 440, 8000, 4800);  // 200 ms
  f.pacer->Push(more.data(), static_cast<uint32_t>(more.size()));
  EXPECT_EQ(f.pacer->CatchUpMode(), PlayoutPacer::kCatchUpLeaving);
  int normalTicks = 0;
  while (f.pacer->Buffered() >= f.pacer->ChunkSize() && normalTicks < 100) {
    f.Tick();
    ++normalTicks;
  }
  EXPECT_EQ(f.pacer->CatchUpMode(), PlayoutPacer::kCatchUpOff);
  EXPECT_EQ(f.sink.chunks.size() - before, size_t(normalTicks));
  EXPECT_GE(normalTicks, 5);  // 200 ms plus what Sonic still held
  // The last normal chunk is the input's own bytes.
  auto& last = f.sink.chunks.back();
  size_t tail = more.size() - f.pacer->Buffered() - 640;
  EXPECT_EQ(std::vector<uint8_t>(more.begin() + tail, more.begin() + tail + 640), last);
}

TEST(PlayoutPacer, FullRingDropsTheExcessInWholeSamples) {
  PacerFixture f;
  std::vector<uint8_t> big(200000, 0x11);
  f.pacer->Push(big.data(), static_cast<uint32_t>(big.size()));
  EXPECT_EQ(f.pacer->Buffered(), 159998u);  // capacity minus the free byte, rounded to a sample
  f.pacer->Push(big.data(), 1000);
  EXPECT_EQ(f.pacer->Buffered(), 159998u);
}

TEST(PlayoutPacer, PlatformTimerDeliversChunksAndPushRacesTicks) {
  Sink sink;
  std::mutex mu;
  std::condition_variable cv;
  struct Ctx {
    Sink* sink;
    std::mutex* mu;
    std::condition_variable* cv;
  } ctx{&sink, &mu, &cv};
  auto out = [](const uint8_t* d, uint32_t n, void* u) {
    auto* c = static_cast<Ctx*>(u);
    std::lock_guard<std::mutex> lk(*c->mu);
    c->sink->chunks.emplace_back(d, d + n);
    c->cv->notify_all();
  };
  {
    PlayoutPacer pacer(8000, 16, 1, out, &ctx);
    auto pcm = Tone(80);  // 10 ms frames pushed while the timer ticks
    for (int i = 0; i < 30; ++i) {
      pacer.Push(pcm.data(), static_cast<uint32_t>(pcm.size()));
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::unique_lock<std::mutex> lk(mu);
    EXPECT_TRUE(cv.wait_for(lk, std::chrono::seconds(3), [&] { return sink.chunks.size() >= 2; }));
  }
  for (auto& c : sink.chunks) EXPECT_EQ(c.size(), 640u);
}

}  // namespace
