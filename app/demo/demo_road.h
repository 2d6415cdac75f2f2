// Roads of the headless demo (velmora --demo-report PATH --demo-road NAME): once the demo's panes play, a
// road works the window through its own controls, step by step, and says how each step went for the report.
#pragma once

#include <memory>
#include <string>
#include <vector>

class CVelmoraDlg;
class DemoDriver;
struct DemoOptions;

class DemoRoad {
 public:
  virtual ~DemoRoad() = default;
  // Called on every tick of the demo (GUI thread) until it returns true: the road has ended. Input goes to
  // the window as posted events, so a box a control opens never blocks a tick.
  virtual bool Tick() = 0;
  // One line a step: "NAME: ok[ DETAIL]" or "NAME: failed: WHY".
  virtual std::vector<std::string> Steps() const = 0;
  // Empty when every step went through.
  virtual std::string Failure() const = 0;
};

// The names --demo-road knows, for its usage text ("live, playback").
std::string DemoRoadNames();
// The demo's driver for its options: the playback road drives the window from sign-in on by itself; every
// other road (or none) runs on the demo driver once its panes play.
std::unique_ptr<DemoDriver> MakeDemoDriver(const DemoOptions& options);
// The road of that name on the window; null for an unknown name (or no window). report_path is the demo's
// report: a road's own screenshots go beside it.
std::unique_ptr<DemoRoad> MakeDemoRoad(const std::string& name, CVelmoraDlg* window,
                                       const std::string& report_path);
bool IsDemoRoad(const std::string& name);
