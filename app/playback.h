// What the timeline plays: SD-card recordings over the device's session, or cloud recordings through the
// device's cloud player. Each makes its media sink when playback starts (the sink reports positions to the
// timeline window) and hands it to the session or player, which owns it from then on.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "app/gui/timeline.h"

class CCsPlayerFw;
class CP2pClient;
class IAvRender;

// Makes a sink for playback: drawing into the pane's targets, events to the pane, positions to the timeline.
using PlaybackSinkFactory = std::function<IAvRender*()>;

class SdPlayback : public TimelinePlayback {
 public:
  SdPlayback(CP2pClient* session, PlaybackSinkFactory make_sink);
  void PlayAt(int64_t t) override;
  // The result of the last start and seek (0 or more on success).
  int last_result() const { return last_result_; }

 private:
  CP2pClient* session_;
  PlaybackSinkFactory make_sink_;
  int last_result_ = 0;
};

class CloudPlayback : public TimelinePlayback {
 public:
  CloudPlayback(CCsPlayerFw* player, PlaybackSinkFactory make_sink);
  void SetRecordList(const std::vector<PlaybackSegment>* list) override;
  void PlayAt(int64_t t) override;

 private:
  CCsPlayerFw* player_;
  PlaybackSinkFactory make_sink_;
};

// The SD-card recordings of t's local day: *day_start gets the local midnight; the session's result.
int QuerySdDay(CP2pClient* session, int64_t t, std::vector<PlaybackSegment>* list, int64_t* day_start);
