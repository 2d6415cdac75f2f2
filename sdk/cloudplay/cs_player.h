// CCsPlayerFw: plays a device's cloud recordings. From the day's record list it builds a playlist of
// five-second items from a chosen time, downloads items ahead on a prefetch thread, and on its own thread
// reads, decrypts and paces the frames to a media sink through AvRenderOps.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "av/av_event.h"
#include "sdk/storage/oss_cacher.h"
#include "sdk/cloud/record_list.h"
#include "av/av_render_ops.h"
#include "util/blocking_queue.h"

// Sink events the player sends (av/av_event.h): kAvEventChannelFirstPicture for the first frame of channel
// n >= 1, kAvEventPlaybackRestart with the position (seconds) at every change, kAvEventCloudProblem for a
// storage error above kCsStorageErrors.

// Player states.
enum CsPlayerState : int32_t { kCsQuit = 0, kCsPaused = 1, kCsPlaying = 2, kCsBuffering = 3, kCsIdle = 4 };
// Download states of a playlist item.
enum CsItemState : int32_t { kCsItemNew = 0, kCsItemLoading = 1, kCsItemMissing = 2, kCsItemDone = 4 };

// Items of one playlist at most (one hour).
constexpr size_t kCsPlaylistMax = 720;
// Seconds of one item.
constexpr int64_t kCsItemSeconds = 5;
// Items downloaded ahead per request.
constexpr uint32_t kCsPrefetchBatch = 5;
// Initial size of the player's two frame buffers.
constexpr size_t kCsFrameBuffer = 307200;

struct CsPlaylistItem {
  uint32_t ossid = 0;
  uint32_t reserved = 0;
  int64_t start = 0;  // seconds
  std::atomic<int32_t> state{kCsItemNew};
  uint32_t reserved2 = 0;

  CsPlaylistItem(uint32_t id, int64_t t) : ossid(id), start(t) {}
  CsPlaylistItem(const CsPlaylistItem& o) : ossid(o.ossid), start(o.start), state(o.state.load()) {}
};

class CCsPlayerFw {
 public:
  explicit CCsPlayerFw(CsSegmentSource* node);
  virtual ~CCsPlayerFw();
  CCsPlayerFw(const CCsPlayerFw&) = delete;
  CCsPlayerFw& operator=(const CCsPlayerFw&) = delete;

  // Stops the player, then keeps the list (not owned; it must outlive its use).
  void SetRecordList(const std::vector<PlaybackSegment>* list);
  // Starts the player thread (idle) with the sink; with a thread running the sink is released. true.
  bool Start(const AvRenderOps* ops, IAvRender* sink);
  // Start with the process-wide table.
  bool StartSink(IAvRender* sink);
  void Locate(int64_t t);
  int Pause();
  int Resume();
  int SetSpeed(int step);
  int GetSpeed() const { return speed_.load(); }
  // Ends the prefetch and player threads and releases the sink.
  void Stop();
  int Prefetch(uint32_t first, uint32_t count);
  void StopPrefetch();
  int IsItemReady(uint32_t index);
  // 0 no recording at t, 1 a playlist, 2 a full playlist (one hour). Used by the player thread.
  int BuildPlaylist(int64_t t);
  int GetState();
  int32_t PlayerState() const { return state_.load(); }

  bool Snapshot(const char* path);
  int StartRecord(const char* path);
  void StopRecord();
  void Mute();
  void Unmute();
  void SwapChannels(int first, int second);

  // Copies of the playlist's times and states, for callers and tests.
  std::vector<int64_t> PlaylistTimes();
  std::vector<int32_t> PlaylistStates();

 private:
  struct Playback;  // the player thread's reading and pacing state
  void PlayerThread();
  void PrefetchThread(BlockingQueue* queue);
  void Post(char kind, int64_t t = 0, int8_t step = 0);
  bool PlayerRunning() const { return player_.joinable(); }

  // Prefetch thread and its queue.
  std::mutex prefetch_mu_;  // guards the prefetch thread's start and stop
  std::unique_ptr<BlockingQueue> prefetch_q_;
  std::thread prefetch_;
  // Playlist: rebuilt only while the prefetch thread is stopped; item states are atomic.
  std::mutex playlist_mu_;
  std::vector<CsPlaylistItem> playlist_;
  std::atomic<int> speed_{0};
  std::atomic<const std::vector<PlaybackSegment>*> list_{nullptr};
  CsSegmentSource* node_;
  std::unique_ptr<BlockingQueue> cmd_q_;
  std::thread player_;
  std::atomic<int32_t> state_{kCsQuit};
  const AvRenderOps* ops_ = nullptr;  // set before the player thread starts, cleared after it ends
  IAvRender* sink_ = nullptr;
  std::atomic<bool> prefetch_stop_{false};
  std::atomic<int32_t> last_error_{0};
};
