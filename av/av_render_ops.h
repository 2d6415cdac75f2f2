// AvRenderOps: the table of twelve plain functions through which the SDK drives a media sink. Entry i calls
// operation i of the IAvRender passed as the last argument and returns its result.
#pragma once

#include <atomic>
#include <cstdint>

#include "av/stream_type.h"

class IAvRender;  // the media pipeline's sink

struct AvRenderOps {
  void (*Release)(IAvRender* sink);
  void (*OnEvent)(int32_t event, int32_t value, IAvRender* sink);
  int32_t (*OnFrame)(AvStreamType type, uint32_t timestamp_ms, const void* data, int32_t length, int32_t param,
                     IAvRender* sink);
  void (*OnStreamStop)(AvStreamType type, IAvRender* sink);
  void (*Mute)(IAvRender* sink);
  void (*Unmute)(IAvRender* sink);
  bool (*IsMuted)(IAvRender* sink);
  bool (*Snapshot)(const char* path, IAvRender* sink);
  void (*SwapChannels)(int32_t first, int32_t second, IAvRender* sink);
  int32_t (*StartRecord)(const char* path, IAvRender* sink);
  void (*StopRecord)(IAvRender* sink);
  bool (*IsRecording)(IAvRender* sink);
};

// The process-wide table, installed once by the media pipeline at start-up; null until then.
inline std::atomic<const AvRenderOps*>& AvRenderOpsSlot() {
  static std::atomic<const AvRenderOps*> slot{nullptr};
  return slot;
}
inline const AvRenderOps* AvRenderOpsProcessTable() { return AvRenderOpsSlot().load(); }
inline void AvRenderOpsInstall(const AvRenderOps* ops) { AvRenderOpsSlot().store(ops); }
