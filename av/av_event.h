// AvEvent: the codes a media sink receives through OnEvent; negative codes are KivoP2pError codes (value the
// session). Codes 7 to 10 go to the timeline, the others to the pane.
#pragma once

#include <cstdint>

enum AvEvent : int32_t {
  kAvEventChannelFirstPicture = 1,  // first picture of channel n >= 1; value n
  kAvEventFirstPicture = 2,         // first picture of channel 0; value the session
  kAvEventTimelineFirst = 7,
  kAvEventPlaybackPosition = 9,  // playback position; value seconds
  kAvEventPlaybackRestart = 10,  // position after a restart or jump; the cloud player sends it at every change
  kAvEventTimelineLast = 10,
  kAvEventDeviceStatus = 12,  // value the device's status word
  kAvEventCloudProblem = 25,  // cloud download problem
};
