#include "sdk/cloudplay/cs_player.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "av/media_codec.h"
#include "sdk/cloudplay/cloud_segment.h"
#include "sdk/cloud/orvel_server.h"
#include "util/log.h"

namespace {

constexpr char kTag[] = "CCsPlayerFw";
constexpr int kCommandSize = 32;
constexpr uint32_t kQueueBytes = 1024;

int64_t TickMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

// The player thread's reading and pacing state.
struct CCsPlayerFw::Playback {
  void* file = nullptr;
  size_t index = 0;  // current playlist item
  size_t prefetched_from = 0;  // first item of the last prefetch request
  std::vector<uint8_t> enc = std::vector<uint8_t>(kCsFrameBuffer);
  std::vector<uint8_t> plain = std::vector<uint8_t>(kCsFrameBuffer);
  bool file_started = false;
  uint32_t file_base_ts = 0;
  int64_t file_start = 0;
  bool wait_key = false;     // frames after a jump wait for a video key frame
  bool clock_reset = true;   // the next delivered frame restarts the pacing clock
  bool position_known = false;
  int64_t position = 0;
  // The frame read and not yet delivered.
  bool waiting = false;
  uint32_t type = 0;
  uint32_t ts = 0;
  uint32_t flags = 0;
  int plain_len = 0;
  // Pacing.
  uint32_t pace_base = 0;
  int64_t base_tick = 0;
  uint32_t out_ts = 0;
  uint32_t prev_video_ts = 0;
  bool channel_seen[4] = {};

  void CloseFile() {
    if (file) CloudFileReaderOps()->Close(file);
    file = nullptr;
    file_started = false;
    waiting = false;
  }
};

CCsPlayerFw::CCsPlayerFw(CsSegmentSource* node) : node_(node) {}

CCsPlayerFw::~CCsPlayerFw() {
  Stop();
  std::lock_guard<std::mutex> lock(playlist_mu_);
  playlist_.clear();
}

void CCsPlayerFw::SetRecordList(const std::vector<PlaybackSegment>* list) {
  Stop();
  list_.store(list);
}

bool CCsPlayerFw::Start(const AvRenderOps* ops, IAvRender* sink) {
  if (PlayerRunning()) {
    if (ops && ops->Release) ops->Release(sink);
    return true;
  }
  ops_ = ops;
  sink_ = sink;
  cmd_q_ = std::make_unique<BlockingQueue>();
  cmd_q_->Init(kQueueBytes);
  state_.store(kCsIdle);
  player_ = std::thread(&CCsPlayerFw::PlayerThread, this);
  return true;
}

bool CCsPlayerFw::StartSink(IAvRender* sink) { return Start(AvRenderOpsProcessTable(), sink); }

void CCsPlayerFw::Post(char kind, int64_t t, int8_t step) {
  if (!cmd_q_) return;
  uint8_t cmd[kCommandSize] = {};
  cmd[0] = static_cast<uint8_t>(kind);
  if (kind == 'L') std::memcpy(cmd + 1, &t, sizeof t);
  if (kind == 'X') cmd[1] = static_cast<uint8_t>(step);
  cmd_q_->PutN(cmd, kCommandSize, 1000);
}

void CCsPlayerFw::Locate(int64_t t) {
  if (PlayerRunning()) Post('L', t);
}

int CCsPlayerFw::Pause() {
  if (!PlayerRunning()) return -1;
  int32_t playing = kCsPlaying;
  state_.compare_exchange_strong(playing, kCsPaused);
  return 0;
}

int CCsPlayerFw::Resume() {
  if (!PlayerRunning()) return -1;
  int32_t paused = kCsPaused;
  if (state_.compare_exchange_strong(paused, kCsPlaying)) Post('C');
  return 0;
}

int CCsPlayerFw::SetSpeed(int step) {
  if (!PlayerRunning()) return -1;
  Post('X', 0, static_cast<int8_t>(step));
  speed_.store(step);
  if (ops_) {
    if (step != 0) ops_->Mute(sink_);
    else ops_->Unmute(sink_);
  }
  return 0;
}

void CCsPlayerFw::Stop() {
  StopPrefetch();
  if (PlayerRunning()) {
    state_.store(kCsQuit);
    Post('Q');
    player_.join();
    // The player thread may have started a prefetch after the first stop.
    StopPrefetch();
    cmd_q_.reset();
    if (ops_ && ops_->Release) ops_->Release(sink_);
    ops_ = nullptr;
    sink_ = nullptr;
  }
  speed_.store(0);
}

int CCsPlayerFw::Prefetch(uint32_t first, uint32_t count) {
  std::lock_guard<std::mutex> lock(prefetch_mu_);
  if (!prefetch_.joinable()) {
    prefetch_q_ = std::make_unique<BlockingQueue>();
    prefetch_q_->Init(kQueueBytes);
    prefetch_stop_.store(false);
    prefetch_ = std::thread(&CCsPlayerFw::PrefetchThread, this, prefetch_q_.get());
  }
  last_error_.store(0);
  uint32_t req[2] = {first, count};
  prefetch_q_->PutN(req, sizeof req, 1000);
  return 0;
}

void CCsPlayerFw::StopPrefetch() {
  std::lock_guard<std::mutex> lock(prefetch_mu_);
  if (!prefetch_.joinable()) return;
  prefetch_stop_.store(true);
  int32_t req[2] = {0, -1};
  prefetch_q_->PutN(req, sizeof req, 1000);
  prefetch_.join();
  prefetch_q_.reset();
}

int CCsPlayerFw::IsItemReady(uint32_t index) {
  std::lock_guard<std::mutex> lock(playlist_mu_);
  return index < playlist_.size() && playlist_[index].state.load() > kCsItemLoading ? 1 : 0;
}

std::vector<int64_t> CCsPlayerFw::PlaylistTimes() {
  std::lock_guard<std::mutex> lock(playlist_mu_);
  std::vector<int64_t> out;
  for (const auto& item : playlist_) out.push_back(item.start);
  return out;
}

std::vector<int32_t> CCsPlayerFw::PlaylistStates() {
  std::lock_guard<std::mutex> lock(playlist_mu_);
  std::vector<int32_t> out;
  for (const auto& item : playlist_) out.push_back(item.state.load());
  return out;
}

int CCsPlayerFw::BuildPlaylist(int64_t t) {
  std::lock_guard<std::mutex> lock(playlist_mu_);
  playlist_.clear();
  const std::vector<PlaybackSegment>* list = list_.load();
  if (!list || list->empty()) return 0;
  const std::vector<PlaybackSegment>& segs = *list;
  int64_t offset = 0;
  int i = FindSegmentAt(segs, t, &offset);
  if (i < 0 || t >= segs.back().End()) return 0;
  size_t s = static_cast<size_t>(i);
  int64_t cursor = t < segs[s].start ? segs[s].start : t - ((t - segs[s].start) % kCsItemSeconds);
  playlist_.reserve(kCsPlaylistMax);
  for (;;) {
    if (cursor >= segs[s].End()) {
      if (++s >= segs.size()) break;
      if (segs[s].start > cursor + kCsItemSeconds) break;
      if (segs[s].start > cursor) cursor = segs[s].start;
      continue;
    }
    playlist_.emplace_back(segs[s].ossid, cursor);
    if (playlist_.size() >= kCsPlaylistMax) return 2;
    cursor += kCsItemSeconds;
  }
  return playlist_.empty() ? 0 : 1;
}

int CCsPlayerFw::GetState() {
  if (!PlayerRunning() || !ops_) return 0;
  int s = ops_->IsMuted(sink_) ? 1 : 3;
  if (ops_->IsRecording(sink_)) s |= 4;
  return s;
}

bool CCsPlayerFw::Snapshot(const char* path) { return ops_ ? ops_->Snapshot(path, sink_) : false; }

int CCsPlayerFw::StartRecord(const char* path) { return ops_ && ops_->StartRecord(path, sink_) == 0 ? 1 : 0; }

void CCsPlayerFw::StopRecord() {
  if (ops_) ops_->StopRecord(sink_);
}

void CCsPlayerFw::Mute() {
  if (ops_) ops_->Mute(sink_);
}

void CCsPlayerFw::Unmute() {
  if (ops_) ops_->Unmute(sink_);
}

void CCsPlayerFw::SwapChannels(int first, int second) {
  if (ops_) ops_->SwapChannels(first, second, sink_);
}

void CCsPlayerFw::PrefetchThread(BlockingQueue* queue) {
  last_error_.store(0);
  for (;;) {
    int32_t req[2];
    if (queue->GetN(req, sizeof req, -1) != static_cast<int>(sizeof req)) break;
    if (req[1] <= 0 || prefetch_stop_.load()) break;
    uint32_t first = static_cast<uint32_t>(req[0]);
    int32_t accounted = 0;
    for (size_t i = first; accounted < req[1] && !prefetch_stop_.load(); ++i) {
      CsPlaylistItem* item = nullptr;
      {
        std::lock_guard<std::mutex> lock(playlist_mu_);
        if (i >= playlist_.size()) break;
        item = &playlist_[i];  // the playlist is not rebuilt while this thread runs
      }
      if (item->state.load() != kCsItemNew) {
        ++accounted;
        continue;
      }
      item->state.store(kCsItemLoading);
      int result = -1;
      // A download that fails for another reason than those below is tried once more, then the item is
      // given up as missing, so that the player never waits for it forever.
      for (int attempt = 0; attempt < 2 && !prefetch_stop_.load(); ++attempt) {
        std::string path;
        result = node_ ? node_->DownloadSegmentAt(item->ossid, item->start, &path) : -1;
        if (result == 0 || result == kCsMissing || result == kCsFileError || result > kCsStorageErrors) break;
        LogPrintf(kLogWarning, nullptr, kTag, "download of %s failed: %d\n", FormatLocalTime(item->start).c_str(),
                  result);
      }
      if (result == 0) {
        item->state.store(kCsItemDone);
        ++accounted;
      } else if (result > kCsStorageErrors) {
        // Kept for the pane; the item can be fetched again by a later request.
        last_error_.store(result);
        item->state.store(kCsItemNew);
        break;
      } else if (prefetch_stop_.load()) {
        item->state.store(kCsItemNew);
      } else {
        item->state.store(kCsItemMissing);
        ++accounted;
      }
    }
  }
}

void CCsPlayerFw::PlayerThread() {
  Playback pb;
  const Mp4ReaderOps* reader = CloudFileReaderOps();
  CCsCacher* cacher = node_ ? node_->Cacher() : nullptr;
  auto event = [&](int32_t ev, int32_t value) {
    if (ops_ && ops_->OnEvent) ops_->OnEvent(ev, value, sink_);
  };
  auto stop_recording = [&] {
    if (ops_ && ops_->IsRecording(sink_)) ops_->StopRecord(sink_);
  };
  auto item_count = [&] {
    std::lock_guard<std::mutex> lock(playlist_mu_);
    return playlist_.size();
  };
  auto item_at = [&](size_t i, int64_t* start, int32_t* state) {
    std::lock_guard<std::mutex> lock(playlist_mu_);
    if (i >= playlist_.size()) return false;
    if (start) *start = playlist_[i].start;
    if (state) *state = playlist_[i].state.load();
    return true;
  };
  auto relocate_after = [&](size_t i) {
    int64_t start = 0;
    if (item_at(i, &start, nullptr)) {
      LogPrintf(kLogDetail, nullptr, kTag, "out of playlist, re-locate to %s\n",
                FormatLocalTime(start + kCsItemSeconds).c_str());
      Post('L', start + kCsItemSeconds);
    }
  };
  bool busy = false;  // the last step read or delivered a frame: look for commands without waiting
  state_.store(kCsIdle);
  while (state_.load() != kCsQuit) {
    int32_t now_state = state_.load();
    int timeout = busy ? 0 : (now_state == kCsPlaying || now_state == kCsBuffering ? 5 : 400);
    busy = false;
    uint8_t cmd[kCommandSize];
    if (cmd_q_->GetN(cmd, kCommandSize, timeout) == kCommandSize) {
      LogPrintf(kLogInfo, nullptr, kTag, "player cmd '%c'\n", cmd[0]);
      if (cmd[0] == 'Q') break;
      if (cmd[0] == 'X') {
        speed_.store(static_cast<int8_t>(cmd[1]));
        pb.clock_reset = true;
      } else if (cmd[0] == 'L') {
        int64_t t = 0;
        std::memcpy(&t, cmd + 1, sizeof t);
        LogPrintf(kLogDetail, nullptr, kTag, "Locate to %s(%lld)\n", FormatLocalTime(t).c_str(),
                  static_cast<long long>(t));
        pb.CloseFile();
        StopPrefetch();
        // A running recording ends here, also when nothing follows (the end of the day's recordings):
        // left open it would show as recording while nothing more is written.
        stop_recording();
        if (BuildPlaylist(t) == 0) {
          state_.store(kCsIdle);
        } else {
          pb.clock_reset = true;
          pb.position_known = false;
          pb.wait_key = true;
          Prefetch(0, kCsPrefetchBatch);
          pb.index = 0;
          pb.prefetched_from = 0;
          state_.store(kCsBuffering);
        }
      }
      continue;
    }
    int32_t state = state_.load();
    if (state == kCsBuffering) {
      size_t n = item_count();
      int32_t item_state = kCsItemNew;
      while (item_at(pb.index, nullptr, &item_state) && item_state == kCsItemMissing) {
        pb.wait_key = true;
        ++pb.index;
      }
      if (pb.index >= n) {
        if (n > 0) relocate_after(n - 1);
        state_.store(kCsIdle);
        continue;
      }
      if (item_state == kCsItemNew || item_state == kCsItemLoading) {
        int32_t error = last_error_.exchange(0);
        if (error) {
          event(kAvEventCloudProblem, error);
        } else if (item_state == kCsItemNew && pb.prefetched_from != pb.index) {
          // Skipped missing items can lead past the last request: ask for the items from here.
          pb.prefetched_from = pb.index;
          Prefetch(static_cast<uint32_t>(pb.index), kCsPrefetchBatch);
        }
        continue;
      }
      int32_t buffering = kCsBuffering;
      state_.compare_exchange_strong(buffering, kCsPlaying);
      busy = true;
      continue;
    }
    if (state != kCsPlaying) continue;
    if (!pb.file) {
      int64_t start = 0;
      if (!item_at(pb.index, &start, nullptr) || !cacher) {
        state_.store(kCsIdle);
        continue;
      }
      std::string key, path;
      if (cacher->KeyForTime(start, &key) != 0 || !cacher->LocalPath(key, &path) ||
          reader->Open(path.c_str(), &pb.file) != 0) {
        pb.file = nullptr;
        LogPrintf(kLogError, nullptr, kTag, "Can not open file: %s\n", path.c_str());
        if (pb.index + 1 < item_count()) {
          pb.wait_key = true;
          ++pb.index;
          state_.store(kCsBuffering);
        } else {
          relocate_after(pb.index);
          state_.store(kCsIdle);
        }
        continue;
      }
      LogPrintf(kLogInfo, nullptr, kTag, "Open file: %s\n", path.c_str());
      pb.file_started = false;
    }
    if (!pb.waiting) {
      uint32_t type = 0, ts = 0, flags = 0;
      uint32_t size = static_cast<uint32_t>(pb.enc.size());
      int r = reader->ReadSample(&type, &ts, pb.enc.data(), &size, &flags, pb.file);
      if (r == kCloudReadTooSmall) {
        pb.enc.resize(size);
        pb.plain.resize(size);
        busy = true;
        continue;
      }
      if (r != 0) {
        pb.CloseFile();
        if (pb.index + 1 < item_count()) {
          ++pb.index;
          int32_t playing = kCsPlaying;
          state_.compare_exchange_strong(playing, kCsBuffering);
          Prefetch(static_cast<uint32_t>(pb.index), kCsPrefetchBatch);
          pb.prefetched_from = pb.index;
          busy = true;
        } else {
          relocate_after(pb.index);
          state_.store(kCsIdle);
        }
        continue;
      }
      busy = true;
      int64_t item_start = 0;
      item_at(pb.index, &item_start, nullptr);
      if (!pb.file_started) {
        pb.file_started = true;
        pb.file_base_ts = ts;
        pb.file_start = item_start;
      }
      if (size == 0 || cacher->Decrypt(pb.enc.data(), static_cast<int>(size), pb.plain.data()) < 0) continue;
      int plain_len = CloudFrameUnpad(pb.plain.data(), static_cast<int>(size));
      if (plain_len < 0) {
        LogPrintf(kLogWarning, nullptr, kTag, "frame with bad padding dropped\n");
        continue;
      }
      uint32_t codec = type & 0xFFFF;
      uint32_t channel = type >> 16;
      if ((pb.wait_key || pb.clock_reset) && codec != kCloudSyncCodec) {
        // Only a video key frame ends the wait after a jump.
        if (!(IsVideoCodec(codec) && (flags & 1))) continue;
        pb.wait_key = false;
      }
      if (channel == 0) {
        int64_t p = pb.file_start + (static_cast<int64_t>(ts) - static_cast<int64_t>(pb.file_base_ts)) / 1000;
        if (codec == kCloudSyncCodec && plain_len >= 4) {
          const uint8_t* b = pb.plain.data();
          int64_t k = static_cast<int64_t>(uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 |
                                           uint32_t(b[3]) << 24);
          LogPrintf(kLogDetail, nullptr, kTag, "sync frame: %s\n", FormatLocalTime(k).c_str());
          if (std::llabs(k - p) > 1) {
            pb.file_start += k - p;
            pb.clock_reset = true;
            p = k;
          }
        }
        if (pb.position_known && std::llabs(p - pb.position) > 5) stop_recording();
        if (!pb.position_known || p != pb.position) event(kAvEventPlaybackRestart, static_cast<int32_t>(p));
        pb.position_known = true;
        pb.position = p;
      }
      pb.waiting = true;
      pb.type = type;
      pb.ts = ts;
      pb.flags = flags;
      pb.plain_len = plain_len;
    }
    // Delivery and pacing.
    int64_t now = TickMs();
    uint32_t codec = pb.type & 0xFFFF;
    uint32_t channel = pb.type >> 16;
    if (pb.clock_reset && codec != kCloudSyncCodec) {
      pb.clock_reset = false;
      pb.pace_base = pb.ts;
      pb.out_ts = pb.ts;
      pb.prev_video_ts = pb.ts;
      pb.base_tick = now;
    }
    if (IsVideoCodec(codec) && pb.ts > pb.prev_video_ts && pb.ts >= pb.pace_base) {
      int step = speed_.load();
      int64_t due = static_cast<int64_t>(pb.ts - pb.pace_base);
      bool paced = true;
      if (step == 1 || step == 2) due >>= step;
      else if (step < 0) due <<= (-step > 8 ? 8 : -step);
      else if (step >= 3) paced = false;
      if (paced && now - pb.base_tick < due) {
        busy = false;
        continue;  // held until its time
      }
    }
    pb.waiting = false;
    busy = true;
    if (channel >= 1 && channel <= 3 && !pb.channel_seen[channel]) {
      pb.channel_seen[channel] = true;
      event(kAvEventChannelFirstPicture, static_cast<int32_t>(channel));
    }
    if (IsVideoCodec(codec)) {
      pb.out_ts += pb.ts - pb.prev_video_ts;
      if (ops_) ops_->OnFrame(pb.type, pb.out_ts, pb.plain.data(), pb.plain_len, static_cast<int32_t>(pb.flags), sink_);
      pb.prev_video_ts = pb.ts;
    } else if (IsAudioCodec(codec)) {
      if (ops_) ops_->OnFrame(pb.type, pb.out_ts, pb.plain.data(), pb.plain_len, static_cast<int32_t>(pb.flags), sink_);
    }
  }
  pb.CloseFile();
}
