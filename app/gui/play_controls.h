// The play-control buttons of the main window's toolbar: sound, snapshot, recording, talkback, playback
// speed, picture-in-picture, picture exchange, lens switch and the pan-tilt pad, and the rule that enables,
// shows and checks them for the selected pane. Everything runs on the GUI thread.
#pragma once

#include <QPoint>
#include <QRect>
#include <QString>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

#include "app/play_mode.h"
#include "sdk/device/kivo_p2p.h"

class CBmpbtnContainer;
class CToast;
class QWidget;

// Toolbar buttons handled here.
enum PlayButton {
  kBtnPtzPad = 1101,
  kBtnAudio = 1103,
  kBtnSnapshot = 1104,
  kBtnRecord = 1105,
  kBtnCloseVideo = 1106,
  kBtnSpeed0 = 1107,
  kBtnSpeed1 = 1108,
  kBtnSpeed2 = 1109,
  kBtnPip = 1110,
  kBtnExchange = 1111,
  kBtnTalk = 1112,
  kBtnLens = 1113,
};

// Quadrants of the pan-tilt pad.
enum PtzQuadrant { kPtzOutside = -1, kPtzLeft = 0, kPtzRight = 1, kPtzUp = 2, kPtzDown = 3 };

// The quadrant of pad under cursor (both in the same coordinates).
int GetPtzDirection(const QRect& pad, const QPoint& cursor);
// The device's pan-tilt code of a quadrant: left 3, right 6, up 1, down 2; -1 outside.
int PtzCodeOfQuadrant(int quadrant);

// folder + "/UUID-YYYYMMDDhhmmss" + ext in local time. Characters of the UUID that could leave the folder or
// break the name (path separators, control characters) become '_'.
std::string MakeMediaFileName(const std::string& folder, time_t t, const std::string& uuid, const char* ext);
// name itself when no file has it, else name with "-1", "-2", ... before the extension, the first free one.
std::string UniqueMediaFileName(const std::string& name);

// What the controls need of the selected pane: its device's session, the device's cloud player, the one
// talk capture of the program, and the main window. The main window implements it over the grid.
class PaneControl {
 public:
  virtual ~PaneControl() = default;

  // The selected pane (none: the toolbar is left as it is) and whether it shows a device.
  virtual bool HasSelectedPane() = 0;
  virtual bool HasDevice() = 0;
  virtual std::string DeviceUuid() = 0;
  // The device's features; false when they are not known.
  virtual bool Features(DeviceFeatures* out) = 0;

  // The device's session (live and SD-card playback); its state flags are 0 without one.
  virtual int SessionState() = 0;
  virtual bool SessionIsMuted() = 0;
  virtual void SessionMute(bool mute) = 0;
  virtual bool SessionSnapshot(const std::string& path) = 0;
  virtual bool SessionStartRecord(const std::string& path) = 0;
  virtual void SessionStopRecord() = 0;
  virtual int SessionSpeed() = 0;
  virtual int SessionSetSpeed(int step) = 0;
  virtual int StartPipChannels() = 0;
  virtual int StopPipChannels() = 0;
  virtual void ShowPipWindows(bool show) = 0;
  virtual bool SwapChannels(int first, int second) = 0;
  // The lens triple; a negative result when the device does not answer.
  virtual int GetLensParam(float lens[3]) = 0;
  virtual int SetLensParam(const float lens[3]) = 0;
  virtual int PtzControl(int code) = 0;

  // The device's cloud player: state 0 not running, else bit 1 running, 2 sound audible, 4 recording.
  virtual int PlayerState() = 0;
  virtual void PlayerMute(bool mute) = 0;
  virtual bool PlayerSnapshot(const std::string& path) = 0;
  virtual bool PlayerStartRecord(const std::string& path) = 0;
  virtual void PlayerStopRecord() = 0;
  virtual int PlayerSpeed() = 0;
  virtual int PlayerSetSpeed(int step) = 0;
  virtual void PlayerSwapChannels(int first, int second) = 0;

  // Talkback through the one echo-cancelling capture.
  virtual bool SessionTalks() = 0;
  virtual bool TalkCaptureExists() = 0;
  virtual bool TalkCaptureCreate() = 0;
  // Adds the selected session to the capture; false when it could not start talking.
  virtual bool TalkCaptureAttach() = 0;
  // Takes the selected session off the capture, frees the capture and unmutes the session.
  virtual void TalkStop() = 0;
  virtual void TalkCaptureFree() = 0;

  // The main window: closes the selected pane's device (button 1106); the timeline's cursor time.
  virtual void CloseSelected() = 0;
  virtual int64_t TimelineCursor() = 0;
};

class CPlayControls {
 public:
  // bar: the main window (its skin has the buttons); owner of boxes and notices.
  CPlayControls(CBmpbtnContainer* bar, PaneControl* pane, QWidget* owner);
  ~CPlayControls();
  CPlayControls(const CPlayControls&) = delete;
  CPlayControls& operator=(const CPlayControls&) = delete;

  void SetPlayMode(int mode) { mode_ = mode; }
  int play_mode() const { return mode_; }
  // The clock of snapshot and recording names (tests fix it); the cursor in the bar's coordinates.
  void SetClock(std::function<time_t()> clock) { clock_ = std::move(clock); }
  void SetCursorSource(std::function<QPoint()> cursor) { cursor_ = std::move(cursor); }
  void SetMediaFolder(std::function<std::string()> folder) { folder_ = std::move(folder); }

  // A toolbar event of a button handled here; false for other buttons.
  bool OnButtonEvent(int id, int event);
  void UpdateToolbarState();
  void UpdateTalkButtons();
  void CaptureOrRecord(int id);
  void ToggleTalk();
  void SetPlaybackSpeed(int id);
  void TogglePip();
  void ExchangePicture(int first, int second);
  void SwitchLens();
  int GetPtzDirection() const;
  void OnPtzButton(int event);

  // The last notice shown for a failed operation (empty: none yet), and the file last written.
  QString last_notice() const { return last_notice_; }
  std::string last_file() const { return last_file_; }

 private:
  int Index(int id) const;
  void Enable(int id, bool on);
  void Check(int id, bool on);
  void Show(int id, bool on);
  std::string NewFileName(time_t t, const char* ext);
  void Notice(const QString& text);
  // A snapshot or recording that could not be saved (last_file_ empty: no media folder).
  void SaveFailed(bool recording);

  CBmpbtnContainer* bar_;
  PaneControl* pane_;
  QWidget* owner_;
  CToast* toast_ = nullptr;
  int mode_ = kPlayLive;
  std::function<time_t()> clock_;
  std::function<QPoint()> cursor_;
  std::function<std::string()> folder_;
  QString last_notice_;
  std::string last_file_;
};

class DeviceNode;
class CP2pClient;

// The pane control over a device node: session and player calls go to the device's CP2pClient and
// CCsPlayerFw; the grid, the timeline and the talk capture are reached through the hooks the main window
// sets.
class DevicePaneControl : public PaneControl {
 public:
  struct Hooks {
    std::function<bool()> has_selected_pane;
    std::function<DeviceNode*()> device;  // the selected pane's device, or null
    std::function<void(bool)> show_pip_windows;
    std::function<void()> close_selected;
    std::function<int64_t()> timeline_cursor;
    std::function<bool(CP2pClient*)> session_talks;
    std::function<bool()> capture_exists;
    std::function<bool()> capture_create;
    std::function<bool(CP2pClient*)> capture_attach;
    std::function<void(CP2pClient*)> talk_stop;
    std::function<void()> capture_free;
  };
  explicit DevicePaneControl(Hooks hooks) : hooks_(std::move(hooks)) {}

  bool HasSelectedPane() override;
  bool HasDevice() override;
  std::string DeviceUuid() override;
  bool Features(DeviceFeatures* out) override;
  int SessionState() override;
  bool SessionIsMuted() override;
  void SessionMute(bool mute) override;
  bool SessionSnapshot(const std::string& path) override;
  bool SessionStartRecord(const std::string& path) override;
  void SessionStopRecord() override;
  int SessionSpeed() override;
  int SessionSetSpeed(int step) override;
  int StartPipChannels() override;
  int StopPipChannels() override;
  void ShowPipWindows(bool show) override;
  bool SwapChannels(int first, int second) override;
  int GetLensParam(float lens[3]) override;
  int SetLensParam(const float lens[3]) override;
  int PtzControl(int code) override;
  int PlayerState() override;
  void PlayerMute(bool mute) override;
  bool PlayerSnapshot(const std::string& path) override;
  bool PlayerStartRecord(const std::string& path) override;
  void PlayerStopRecord() override;
  int PlayerSpeed() override;
  int PlayerSetSpeed(int step) override;
  void PlayerSwapChannels(int first, int second) override;
  bool SessionTalks() override;
  bool TalkCaptureExists() override;
  bool TalkCaptureCreate() override;
  bool TalkCaptureAttach() override;
  void TalkStop() override;
  void TalkCaptureFree() override;
  void CloseSelected() override;
  int64_t TimelineCursor() override;

 private:
  DeviceNode* Device() { return hooks_.device ? hooks_.device() : nullptr; }
  CP2pClient* Session();
  class CCsPlayerFw* Player();

  Hooks hooks_;
};
