#include "media/audio/playout_pacer.h"

#include <sonic.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/mm_timer.h"
#include "util/ring_buf.h"

namespace media {
namespace {

class MmPacerTimer : public PacerTimer {
 public:
  bool Start(uint32_t period_ms, Callback cb) override {
    return timer_.Start(period_ms, std::move(cb), "pacer_timer");
  }
  void Kill() override { timer_.Kill(); }

 private:
  platform::MmTimer timer_;
};

std::atomic<int> g_livePacers{0};

}  // namespace

std::unique_ptr<PacerTimer> MakeMmPacerTimer() { return std::make_unique<MmPacerTimer>(); }

}  // namespace media

PlayoutPacer::PlayoutPacer(uint32_t rate, uint32_t bits, uint32_t channels, OutputCallback callback,
                           void* user, std::unique_ptr<media::PacerTimer> timer)
    : timer_(timer ? std::move(timer) : media::MakeMmPacerTimer()), callback_(callback), user_(user) {
  if (channels == 0) channels = 1;
  byteRate_ = rate * bits * channels / 8;
  frameBytes_ = std::max(1u, bits * channels / 8);
  chunkSize_ = byteRate_ * kTickMs / 1000;
  chunk_.assign(chunkSize_, 0);
  ring_ = RingBufCreate(byteRate_ * 10);
  startThreshold_ = byteRate_ * 100 / 1000;
  sonic_ = sonicCreateStream(static_cast<int>(rate), static_cast<int>(channels));
  if (sonic_) sonicSetSpeed(sonic_, kCatchUpSpeed);
  media::g_livePacers.fetch_add(1);
}

PlayoutPacer::~PlayoutPacer() {
  timer_->Kill();
  if (sonic_) sonicDestroyStream(sonic_);
  std::free(ring_);
  media::g_livePacers.fetch_sub(1);
}

int PlayoutPacer::LiveCount() { return media::g_livePacers.load(); }

uint32_t PlayoutPacer::RingCapacity() const { return ring_ ? ring_->capacity : 0; }

uint32_t PlayoutPacer::Buffered() {
  std::lock_guard<std::mutex> lk(ringLock_);
  return ring_ ? RingBufUsed(ring_) : 0;
}

void PlayoutPacer::Push(const uint8_t* data, uint32_t bytes) {
  if (!ring_ || chunkSize_ == 0) return;
  {
    std::lock_guard<std::mutex> lk(timerLock_);
    if (!timerRunning_) timerRunning_ = timer_->Start(kTickMs, [this] { OnTick(); });
  }
  std::lock_guard<std::mutex> lk(ringLock_);
  // Whole sample frames only, so the ring never holds half a sample.
  uint32_t room = ring_->capacity - 1 - RingBufUsed(ring_);
  uint32_t n = std::min(bytes, room);
  n -= n % frameBytes_;
  if (data && n) RingBufWriteSome(ring_, data, n);
  uint32_t used = RingBufUsed(ring_);
  if (playState_.load() == kWaiting && used >= startThreshold_) playState_.store(kReady);
  if (catchUp_.load() == kCatchUpOff && used >= byteRate_ / 2) catchUp_.store(kCatchUpOn);
}

void PlayoutPacer::Deliver(uint32_t bytes) {
  if (callback_) callback_(chunk_.data(), bytes, user_);
}

void PlayoutPacer::FillFromSonic() {
  const uint32_t frameBytes = frameBytes_;
  uint32_t filled = 0;
  while (filled < chunkSize_) {
    uint32_t fed = 0;
    {
      std::lock_guard<std::mutex> lk(ringLock_);
      RingBufRegion regions[2];
      int n = RingBufReadRegions(ring_, regions);
      uint32_t want = std::min(chunkSize_, RingBufUsed(ring_));
      want -= want % frameBytes;
      for (int i = 0; i < n && fed < want; ++i) {
        uint32_t take = std::min(regions[i].len, want - fed);
        take -= take % frameBytes;
        if (take)
          sonicWriteShortToStream(sonic_, reinterpret_cast<short*>(regions[i].data), take / frameBytes);
        fed += take;
        if (take < regions[i].len) break;
      }
      RingBufSkip(ring_, fed);
    }
    uint32_t room = (chunkSize_ - filled) / frameBytes;
    int got =
        room ? sonicReadShortFromStream(sonic_, reinterpret_cast<short*>(chunk_.data() + filled), room) : 0;
    if (got > 0) filled += static_cast<uint32_t>(got) * frameBytes;
    if (fed == 0 && got <= 0) {
      // The ring ran dry before Sonic had a whole chunk: the rest is silence.
      std::memset(chunk_.data() + filled, 0, chunkSize_ - filled);
      filled = chunkSize_;
    } else if (room == 0) {
      std::memset(chunk_.data() + filled, 0, chunkSize_ - filled);
      filled = chunkSize_;
    }
  }
}

void PlayoutPacer::OnTick() {
  int32_t state = playState_.load();
  if (state == kWaiting || !ring_) return;
  int passes = state == kReady ? 2 : 1;
  for (int pass = 0; pass < passes; ++pass) {
    uint32_t have = 0;
    {
      std::lock_guard<std::mutex> lk(ringLock_);
      if (RingBufUsed(ring_) < chunkSize_) return;
    }
    int32_t mode = catchUp_.load();
    if (mode == kCatchUpOn && sonic_) {
      FillFromSonic();
      Deliver(chunkSize_);
      playState_.store(kPlaying);
      std::lock_guard<std::mutex> lk(ringLock_);
      if (RingBufUsed(ring_) < chunkSize_) catchUp_.store(kCatchUpLeaving);
      return;
    }
    if (mode == kCatchUpLeaving && sonic_) {
      sonicFlushStream(sonic_);
      int got =
          sonicReadShortFromStream(sonic_, reinterpret_cast<short*>(chunk_.data()), chunkSize_ / frameBytes_);
      if (got > 0) have = static_cast<uint32_t>(got) * frameBytes_;
      catchUp_.store(kCatchUpOff);
    }
    uint32_t read;
    {
      std::lock_guard<std::mutex> lk(ringLock_);
      read = RingBufRead(ring_, chunk_.data() + have, chunkSize_ - have);
    }
    bool shortChunk = have + read < chunkSize_;
    if (shortChunk) std::memset(chunk_.data() + have + read, 0, chunkSize_ - have - read);
    Deliver(chunkSize_);
    if (shortChunk) {
      playState_.store(kPlaying);
      return;
    }
  }
  playState_.store(kPlaying);
}
