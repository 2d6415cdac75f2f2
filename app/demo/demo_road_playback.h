// The playback and reconnect road of the headless demo (velmora --demo-road playback --demo-report PATH),
// driven through the window as a user would: the mode buttons, a double-click on a device row, drags of the
// timeline and a click in the date picker.
//   1. SD card: a camera opened in SD-card mode, a time picked on the timeline, then another one; pictures
//      arrive after each and the timeline's time runs on from the picked time.
//   2. Cloud: the same camera in cloud mode, yesterday picked in the date picker; pictures and time follow.
//   3. Reconnect: a camera opened live; the driver prints "velmora: road kill ID" and waits for the pane's
//      reconnect countdown, prints "velmora: road restart ID" and waits for the pane to play again.
// Every step is a line of the report ("step NAME: ok DETAIL" or "step NAME: failed: REASON"); message boxes
// that showed are closed and listed. Screenshots of the SD-card playback and of the countdown are written
// beside the report (PATH with "-sd.png" and "-countdown.png").
#pragma once

#include <QPoint>
#include <QPointer>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/demo/demo_driver.h"

class CVideoWnd;
class DeviceNode;
class QWidget;

// The cameras the road uses: by name, as the device list shows them.
struct PlaybackRoadOptions {
  std::string playback_camera = "Front door";
  std::string reconnect_camera = "Garden";
  int step_timeout_ms = 20000;       // for pictures, positions, a list
  int countdown_timeout_ms = 40000;  // for the broken link to show the countdown
};

// One step of the road as the report gives it.
struct RoadStep {
  std::string name;
  bool ok = false;
  std::string detail;  // what was seen, or why it failed
};
std::string FormatRoadReport(const std::string& user, const std::vector<RoadStep>& steps,
                             const std::vector<std::string>& boxes, const std::vector<std::string>& shots);

// The path of a screenshot beside the report: PATH without its extension, "-" and tag, ".png".
std::string RoadScreenshotPath(const std::string& report_path, const std::string& tag);

class DemoRoadPlayback : public DemoDriver {
 public:
  DemoRoadPlayback(DemoOptions options, PlaybackRoadOptions road);
  void Attach(CVelmoraDlg* window) override;

 private:
  void Run();
  bool RunSd();
  bool RunCloud();
  bool RunReconnect();
  void Step(const std::string& name, bool ok, const std::string& detail);
  void End();

  // Waits with the event loop running until done() or the time is up; false when it is up.
  bool WaitFor(const std::function<bool()>& done, int timeout_ms);
  void Wait(int ms);
  // Clicks the window's toolbar button with that control id.
  bool ClickButton(int id, std::string* why);
  // Double-clicks the device row of that name.
  DeviceNode* OpenFromList(const std::string& name, std::string* why);
  // Drags the timeline by dx pixels, slowly (no fling), and lets go.
  void DragTimeline(int dx);
  // Waits for playback of the first pane to follow the picked time with new pictures (and the pane to play,
  // where the sink reports the first picture); the detail or the reason.
  bool FollowsFrom(int64_t picked, bool first_picture_event, std::string* detail);
  bool Shoot(const std::string& tag);
  void CloseBoxes();

  PlaybackRoadOptions road_;
  QPointer<CVelmoraDlg> window_;
  std::vector<RoadStep> steps_;
  std::vector<std::string> boxes_;
  std::vector<std::string> shots_;
};
