// The live road of the headless demo (--demo-road live). With four cameras playing it works the first pane
// as a user does, through the window's own mouse input: a click selects the pane, the snapshot button saves a
// picture, the record button records ten seconds; while it records, the talk button talks for a while (the
// microphone is whatever SDL's audio driver captures) and a press on the right of the pan-tilt pad turns the
// head; mid-way a screenshot of the window is saved beside the report ("-live.png").
#pragma once

#include <QPoint>
#include <QPointer>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "app/demo/demo_road.h"

class QWidget;

class DemoRoadLive : public DemoRoad {
 public:
  DemoRoadLive(CVelmoraDlg* window, std::string report_path);

  bool Tick() override;
  std::vector<std::string> Steps() const override { return steps_; }
  std::string Failure() const override { return failure_; }

  // Times of the road (tests shorten them).
  struct Timing {
    int64_t record_ms = 10000;     // from the record button's press to its second press
    int64_t talk_from_ms = 1000;   // talk button pressed this long into the recording
    int64_t talk_until_ms = 8000;  // ... and pressed again here
    int64_t ptz_at_ms = 3000;      // pan-tilt pad pressed here
    int64_t ptz_hold_ms = 600;
    int64_t shot_at_ms = 6000;  // the screenshot
    int64_t wait_ms = 5000;     // longest wait for a button's effect or a file
  };
  void set_timing(const Timing& t) { timing_ = t; }

 private:
  enum class Step {
    kSelect,
    kSelected,
    kSnapshot,
    kRecordStart,
    kRecording,
    kRecordStop,
    kRecordFile,
    kDone
  };

  // Posts a press and release of the left button at pt of the window (to the widget under it).
  void ClickAt(const QPoint& pt);
  // Presses (or releases) a toolbar button; an error text when it cannot be pressed.
  std::string PressButton(int id);
  int ButtonState(int id) const;
  bool ButtonChecked(int id) const { return (ButtonState(id) & 1) != 0; }
  // Media files of the pane's device with that extension.
  std::set<std::string> MediaFiles(const char* ext) const;
  // A new file of files_before_ that has stopped growing; empty while there is none.
  std::string SettledNewFile(const char* ext);
  void Ok(const std::string& step, const std::string& detail = "");
  void Fail(const std::string& step, const std::string& why);
  void Recording(int64_t at);

  QPointer<CVelmoraDlg> window_;
  std::string report_path_;
  Timing timing_;
  Step step_ = Step::kSelect;
  int64_t step_ms_ = 0;      // when the step began
  int64_t record_ms_ = 0;    // when the recording began
  int64_t recorded_ms_ = 0;  // from then to the second press
  bool snapshot_pressed_ = false;
  std::string uuid_;
  std::set<std::string> files_before_;
  std::string growing_;  // a new file seen growing
  int64_t growing_size_ = -1;
  // Sub-steps within the recording.
  bool talk_started_ = false, talk_checked_ = false, talk_stopped_ = false, talk_done_ = false;
  bool ptz_pressed_ = false, ptz_released_ = false, shot_taken_ = false;
  int64_t talk_press_ms_ = 0;
  int64_t talk_on_ms_ = 0;  // when the talk button was seen on; then how long it stayed on
  std::vector<std::string> steps_;
  std::string failure_;
};
