#include "app/demo/demo_road.h"

#include "app/demo/demo_road_live.h"
#include "app/demo/demo_road_playback.h"

namespace {

struct RoadEntry {
  const char* name;
  std::unique_ptr<DemoRoad> (*make)(CVelmoraDlg* window, const std::string& report_path);
};

const RoadEntry kRoads[] = {
    {"live",
     [](CVelmoraDlg* w, const std::string& r) -> std::unique_ptr<DemoRoad> {
       return std::make_unique<DemoRoadLive>(w, r);
     }},
};

// The road with a driver of its own (from sign-in on), not a step road of the demo driver.
constexpr char kPlaybackRoad[] = "playback";

}  // namespace

std::string DemoRoadNames() {
  std::string out;
  for (const RoadEntry& e : kRoads) out += std::string(e.name) + ", ";
  return out + kPlaybackRoad;
}

bool IsDemoRoad(const std::string& name) {
  if (name == kPlaybackRoad) return true;
  for (const RoadEntry& e : kRoads)
    if (name == e.name) return true;
  return false;
}

std::unique_ptr<DemoDriver> MakeDemoDriver(const DemoOptions& options) {
  if (options.road == kPlaybackRoad)
    return std::make_unique<DemoRoadPlayback>(options, PlaybackRoadOptions{});
  return std::make_unique<DemoDriver>(options);
}

std::unique_ptr<DemoRoad> MakeDemoRoad(const std::string& name, CVelmoraDlg* window,
                                       const std::string& report_path) {
  if (!window) return nullptr;
  for (const RoadEntry& e : kRoads)
    if (name == e.name) return e.make(window, report_path);
  return nullptr;
}
