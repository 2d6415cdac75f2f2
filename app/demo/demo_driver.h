// The headless demo (velmora --demo-report PATH): once the main window is up it waits for the account's devices,
// opens the first four in the grid, lets them play, saves a screenshot of the window beside the report
// (PATH with the extension ".png"), writes a short report of what the window showed and closes it. A sign-in
// that does not finish in time closes whatever dialog waits, so the program always ends. With a road
// (--demo-road NAME) the road runs after the panes played, before the report.
#pragma once

#include <QObject>
#include <QPointer>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CVelmoraDlg;
class DemoRoad;
class QTimer;

struct DemoOptions {
  std::string report_path;
  int list_timeout_ms = 20000;  // for the device list
  int open_timeout_ms = 20000;  // for the opened panes to play
  int play_ms = 3000;           // pictures flowing before the screenshot
  int sign_in_timeout_ms = 30000;
  std::string road;  // --demo-road NAME: a road run once the panes play (app/demo/demo_road.h), or "playback"
};

// The screenshot's path for a report path: its extension (if any) replaced by ".png".
std::string DemoScreenshotPath(const std::string& report_path);

// What the demo saw, as the report gives it.
struct DemoSummary {
  std::string user;
  std::vector<std::string> devices;  // "NAME (UUID) online|offline"
  int pane_count = 0;                // panes the grid shows
  int opened = 0;                    // devices the demo opened
  bool can_open = false;             // this build's main window opens devices in panes
  std::vector<std::string> panes;    // "pane N: NAME: STATE"
  int playing = 0;                   // panes with pictures
  uint64_t frames_shown = 0;         // pane repaints with a new picture while the demo ran
  std::string road;                  // the road run, empty when none
  // The road's steps: "NAME: ok ..." or "NAME: failed: WHY".
  std::vector<std::string> road_steps;
  std::string screenshot;            // path, empty when none was written
  std::string failure;               // empty when the road went through
};

// Pane repaints with a new picture so far, in the whole program.
uint64_t DemoPaneRepaints();

// The report's text.
std::string FormatDemoReport(const DemoSummary& s);

class DemoDriver : public QObject {
 public:
  explicit DemoDriver(DemoOptions options);
  ~DemoDriver() override;

  // Before sign-in: arms the sign-in time limit.
  void Arm();
  // Start-up ended without a main window (sign-in cancelled or failed): the report says so.
  void StartUpFailed();
  // Start-up made the main window: the demo runs from here on the event loop.
  virtual void Attach(CVelmoraDlg* window);

  // True once the report and the screenshot were written and four panes (or every device) played.
  bool succeeded() const { return succeeded_; }
  const DemoSummary& summary() const { return summary_; }

 protected:
  // Start-up is over: the sign-in time limit no longer applies (a road that drives the window itself).
  void SignInDone() { step_ = Step::kDone; }
  DemoOptions options_;
  bool succeeded_ = false;

 private:
  void Tick();
  void OpenDevices();
  void Finish(const std::string& failure);
  void Describe();

  enum class Step { kSignIn, kList, kOpen, kPlay, kRoad, kDone };
  QPointer<CVelmoraDlg> window_;
  QTimer* timer_ = nullptr;
  Step step_ = Step::kSignIn;
  int64_t step_started_ms_ = 0;
  int64_t all_playing_ms_ = 0;  // since when every opened pane plays (0: not yet)
  uint64_t repaints_at_open_ = 0;
  std::string boxes_;         // texts of message boxes the demo closed
  DemoSummary summary_;
  std::unique_ptr<DemoRoad> road_;
};
