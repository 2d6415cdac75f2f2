#include "app/playback.h"

#include "sdk/cloudplay/cs_player.h"
#include "sdk/device/p2p_client.h"
#include "util/log.h"

SdPlayback::SdPlayback(CP2pClient* session, PlaybackSinkFactory make_sink)
    : session_(session), make_sink_(std::move(make_sink)) {}

void SdPlayback::PlayAt(int64_t t) {
  if (!session_) return;
  if (!(session_->GetState() & kP2pStatePlayback)) {
    IAvRender* sink = make_sink_ ? make_sink_() : nullptr;
    last_result_ = session_->StartPlaybackSink(sink);
    if (last_result_ < 0) {
      LogPrintf(kLogError, nullptr, "SdPlayback::PlayAt", "start playback: %d\n", last_result_);
      return;
    }
  }
  last_result_ = session_->PlaybackSeek(t);
  if (last_result_ < 0) LogPrintf(kLogError, nullptr, "SdPlayback::PlayAt", "seek: %d\n", last_result_);
}

CloudPlayback::CloudPlayback(CCsPlayerFw* player, PlaybackSinkFactory make_sink)
    : player_(player), make_sink_(std::move(make_sink)) {}

void CloudPlayback::SetRecordList(const std::vector<PlaybackSegment>* list) {
  if (!player_) return;
  player_->Stop();
  player_->SetRecordList(list);
}

void CloudPlayback::PlayAt(int64_t t) {
  if (!player_) return;
  if (player_->GetState() == 0) player_->StartSink(make_sink_ ? make_sink_() : nullptr);
  player_->Locate(t);
}

int QuerySdDay(CP2pClient* session, int64_t t, std::vector<PlaybackSegment>* list, int64_t* day_start) {
  const int64_t start = LocalDayStart(t);
  if (day_start) *day_start = start;
  list->clear();
  return session ? session->GetRecordList(start, 86400, list) : -1;
}
