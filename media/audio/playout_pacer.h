// PlayoutPacer: a ring of up to ten seconds of 16-bit PCM fed to an output callback in 40 ms chunks from a
// periodic timer. Playback starts once 100 ms are buffered; from 500 ms of backlog the sound is played 1.25
// times faster until the backlog is gone.
//
// Threads: Push runs on the media thread, OnTick on the timer's thread. The ring is touched only under
// ringLock; Sonic and the chunk buffer only by OnTick; play state and catch-up mode are atomics.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

struct RingBuf;
struct sonicStreamStruct;

namespace media {

// The periodic tick that drives a pacer: the platform's timer in use, a hand-driven one in tests.
class PacerTimer {
 public:
  using Callback = std::function<void()>;
  virtual ~PacerTimer() = default;
  // Calls cb every period_ms until Kill; false when it cannot start.
  virtual bool Start(uint32_t period_ms, Callback cb) = 0;
  // Stops the ticks; a tick in progress is waited for.
  virtual void Kill() = 0;
};

// A PacerTimer on the platform's periodic timer thread.
std::unique_ptr<PacerTimer> MakeMmPacerTimer();

}  // namespace media

class PlayoutPacer {
 public:
  using OutputCallback = void (*)(const uint8_t* data, uint32_t bytes, void* user);

  static constexpr uint32_t kTickMs = 40;
  static constexpr float kCatchUpSpeed = 1.25f;

  enum CatchUp : int32_t { kCatchUpOff = 0, kCatchUpOn = 1, kCatchUpLeaving = 2 };
  enum PlayState : int32_t { kWaiting = 0, kReady = 1, kPlaying = 2 };

  // timer: the tick source (the platform timer when null).
  PlayoutPacer(uint32_t rate, uint32_t bits, uint32_t channels, OutputCallback callback, void* user,
               std::unique_ptr<media::PacerTimer> timer = nullptr);
  ~PlayoutPacer();
  PlayoutPacer(const PlayoutPacer&) = delete;
  PlayoutPacer& operator=(const PlayoutPacer&) = delete;

  // Queues PCM; what does not fit the ring is dropped. Starts the timer at the first call.
  void Push(const uint8_t* data, uint32_t bytes);
  // One 40 ms tick (called by the timer).
  void OnTick();

  uint32_t ChunkSize() const { return chunkSize_; }
  uint32_t ByteRate() const { return byteRate_; }
  uint32_t StartThreshold() const { return startThreshold_; }
  uint32_t RingCapacity() const;
  uint32_t Buffered();
  int32_t PlayStateNow() const { return playState_.load(); }
  int32_t CatchUpMode() const { return catchUp_.load(); }
  // Number of live pacers in the process.
  static int LiveCount();

 private:
  void Deliver(uint32_t bytes);
  // Fills the chunk buffer from Sonic at the catch-up speed; pads with silence when the ring runs dry.
  void FillFromSonic();

  uint32_t chunkSize_;
  uint32_t byteRate_;
  uint32_t frameBytes_;
  std::vector<uint8_t> chunk_;
  std::mutex ringLock_;
  RingBuf* ring_ = nullptr;
  uint32_t startThreshold_;
  std::atomic<int32_t> catchUp_{kCatchUpOff};
  std::atomic<int32_t> playState_{kWaiting};
  sonicStreamStruct* sonic_ = nullptr;
  std::mutex timerLock_;
  bool timerRunning_ = false;
  std::unique_ptr<media::PacerTimer> timer_;
  OutputCallback callback_;
  void* user_;
};
