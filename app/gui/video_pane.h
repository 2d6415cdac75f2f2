// One pane of the video grid: the device it shows, its status text, the automatic reconnect countdown, the
// picture-in-picture windows of a multi-lens device and the render targets the media sink draws into.
#pragma once

#include <QColor>
#include <QPoint>
#include <QRect>
#include <QString>
#include <QWidget>
#include <array>
#include <cstdint>
#include <memory>

#include "app/ui/window_registry.h"

class CP2pClient;
class DeviceNode;
class CVideoWnd;
struct RenderTarget;  // the media sink's drawing target (media/sink/av_render.h)

constexpr int kPaneCountdownTimer = 3100;
constexpr int kPaneCountdownSeconds = 5;
constexpr int kPanePipWindows = 3;
constexpr int kPaneAnchorAll = 15;

// Pane states.
enum PaneState {
  kPaneNone = 0,
  kPanePlaying = 2,
  kPaneConnecting = 4,
  kPaneWaitingStream = 5,
  kPaneFetchingPlaylist = 6,
  kPaneDeviceStatus = 12,
  kPaneNoPlaybackList = 15,
  kPaneIdleClosed = 17,
  kPaneError = 18,
  kPaneReconnectFailed = 19,  // a reconnect failed: the device stays, a double-click tries again
  kPaneConnectionBroken = 20,
  kPaneOffline = 21,
  kPaneAuthFailed = 22,
  kPaneMaxConnections = 23,
  kPaneSessionTimeout = 24,
  kPaneCloudDownload = 25,
};

// What a pane asks of the rest of the program: the main window's operations, and the device's session.
class PaneHost {
 public:
  virtual ~PaneHost() = default;
  virtual void ReconnectPane(int index) {}
  virtual void SetFullScreenStream(DeviceNode* device, bool entering) {}
  virtual void ExchangePicture(int channel_a, int channel_b) {}
  // A plain click on a pane (a left-button-up at 0, 0 to the main window).
  virtual void PaneClicked() {}
  // The session the device holds now, or null.
  virtual CP2pClient* SessionOf(DeviceNode* device);
  // The session's state flags (streams running).
  virtual int SessionState(CP2pClient* session);
  virtual void CloseSession(CP2pClient* session);
  // True for a device with a SIM card.
  virtual bool IsCellular(DeviceNode* device);
  // True while a device operation is in flight on the GUI thread's behalf: session events wait for its end.
  virtual bool Busy() { return false; }
};

// The value a media-sink event carries for a session: its address cut to 32 bits.
int32_t SessionEventValue(const CP2pClient* session);

// A picture-in-picture window: a red 5-pixel frame and "Waiting..." until pictures arrive.
class CPipWnd : public QWidget, public UiWindow {
 public:
  CPipWnd(CVideoWnd* pane, int id);
  int id() const { return id_; }

 protected:
  bool event(QEvent* e) override;
  void paintEvent(QPaintEvent*) override;
  void mouseDoubleClickEvent(QMouseEvent*) override;

 private:
  CVideoWnd* pane_;
  int id_;
};

class CVideoWnd : public QWidget, public UiWindow {
 public:
  // host may be null (nothing is called back then).
  CVideoWnd(QWidget* parent, int index, PaneHost* host);
  ~CVideoWnd() override;

  int GetIndex() const { return index_; }
  void SetIndex(int index) { index_ = index; }
  DeviceNode* GetDevice() const { return device_; }
  void SetDevice(DeviceNode* device);
  void Reset(bool detach);
  void SetState(int state, int code);
  int GetState() const { return state_; }
  int GetCode() const { return code_; }
  int Countdown() const { return countdown_; }
  bool Reconnecting() const { return reconnecting_; }
  // The countdown's notice, drawn over the pane's last picture while the countdown runs.
  QWidget* CountdownNotice() const { return notice_; }

  // The four targets (pane, PiP windows 1..3) for the media sink, as an array of four; they stay valid
  // while the pane lives.
  RenderTarget* GetRenderTargets(int channel_count);
  int ChannelCount() const { return channel_count_; }
  void ShowPipWindows(bool show);
  CPipWnd* PipWindow(int k) const { return pips_[k]; }  // k = 0..2: window ids 1..3
  const std::array<int, 4>& ChannelMap() const { return channel_map_; }
  void OnPipDblClk(int window_id);

  // The status text of the current state ("" when none is drawn) and its colour.
  QString StatusText() const;
  QColor StatusColour() const;

  // A media-sink event (also delivered as WM_AV_EVENT).
  void OnAvStatus(int event, LPARAM value);
  void OnTimer(int id) override;

  bool DropHighlight() const { return drop_highlight_; }
  void SetDropHighlight(bool on);

  // Full screen on the monitor nearest the pane, and back into the grid.
  void EnterFullScreen();
  void LeaveFullScreen();
  bool IsFullScreen() const { return full_screen_; }
  // The pane's rectangle in the grid (kept while in full screen), and placing it there.
  QRect GridRect() const { return full_screen_ ? saved_rect_ : geometry(); }
  void PlaceInGrid(const QRect& r);
  bool DragArmed() const { return armed_; }

 protected:
  bool event(QEvent* e) override;
  void OnMessage(UiMessageEvent* event) override;
  void paintEvent(QPaintEvent*) override;
  void resizeEvent(QResizeEvent*) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;
  void mouseDoubleClickEvent(QMouseEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;

 private:
  void StopCountdown();
  void RebuildTargets();
  // The state whose text and colour show: while counting down over a picture, the broken link's.
  int ShownState() const;
  // The notice shows over the picture while the pane counts down, reconnects or waits for a double-click
  // after a failed reconnect.
  void UpdateNotice();

  int index_;
  PaneHost* host_;
  DeviceNode* device_ = nullptr;
  int state_ = kPaneNone;
  int code_ = 0;
  int countdown_ = 0;
  int countdown_cause_ = kPaneNone;  // the state of the broken link the countdown is for
  QWidget* notice_ = nullptr;
  bool reconnecting_ = false;
  bool drop_highlight_ = false;
  int channel_count_ = 0;
  std::unique_ptr<RenderTarget[]> targets_;
  std::array<CPipWnd*, kPanePipWindows> pips_{};
  std::array<int, 4> channel_map_{0, 1, 2, 3};
  bool full_screen_ = false;
  QWidget* saved_parent_ = nullptr;
  QRect saved_rect_;
  bool armed_ = false;
  QPoint press_;
};

// The drop callback of a pane drag: swaps the dragged pane (data) with the target.
void PaneDropCallback(void* data, CVideoWnd* target);

// "(code:meaning)" beside a pane's error code: a device-link code, or for a cloud download problem the
// storage's or service's code.
QString PaneErrorText(int code);
QString PaneCloudErrorText(int code);
