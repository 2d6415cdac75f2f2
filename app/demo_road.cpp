#include "app/demo_road.h"

#include "app/demo_road_live.h"

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

}  // namespace

std::string DemoRoadNames() {
  std::string out;
  for (const RoadEntry& e : kRoads) out += (out.empty() ? "" : ", ") + std::string(e.name);
  return out;
}

bool IsDemoRoad(const std::string& name) {
  for (const RoadEntry& e : kRoads)
    if (name == e.name) return true;
  return false;
}

std::unique_ptr<DemoRoad> MakeDemoRoad(const std::string& name, CVelmoraDlg* window,
                                       const std::string& report_path) {
  if (!window) return nullptr;
  for (const RoadEntry& e : kRoads)
    if (name == e.name) return e.make(window, report_path);
  return nullptr;
}
