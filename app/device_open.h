// Putting devices into video panes and taking them out again: open in live, SD-card playback or cloud
// playback mode, connect, close, reconnect, stop every pane, switch the play mode, the day queries that feed
// the timeline, the stream choice and the error boxes. Everything runs on the GUI thread; connects and
// awaited device commands run through the blocking runner so the panes keep painting meanwhile.
#pragma once

#include <QString>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "app/gui/video_grid.h"
#include "app/gui/video_pane.h"
#include "app/media_sinks.h"
#include "app/play_mode.h"
#include "sdk/cloud/record_list.h"

class CAecAudioCapture;
class IAvRender;
class TalkSession;
class CCsPlayerFw;
class CP2pClient;
class DeviceNode;
class QWidget;

// StopAllPanes kinds.
constexpr int kStopClose = 3;
constexpr int kStopIdle = 4;
// Connects and starts tried for one open when a channel's live start fails.
constexpr int kOpenAttempts = 3;
// Device-link commands sent after every connect and to doorbells.
constexpr uint32_t kCmdAfterConnect = 0x446;
constexpr uint32_t kCmdDoorbellWake = 0x450;

// The process-wide test flag "request the main stream for sub pictures".
bool& MainStreamForSubPictures();

// What the main window does around the opener: toolbar, talk buttons, timeline, toast. Every hook is
// optional; the defaults do nothing.
class DeviceOpenUi {
 public:
  virtual ~DeviceOpenUi() = default;
  virtual void UpdateToolbarState() {}
  virtual void UpdateTalkButtons(DeviceNode* device) {}
  virtual void TimelineReset() {}
  // The day's recordings for the timeline, which starts playback into the pane's four targets: a session for
  // SD-card playback, or a player for the cloud.
  virtual void TimelineSetRecordList(CP2pClient* session, CCsPlayerFw* player,
                                     const std::vector<PlaybackSegment>* list, int64_t day_start,
                                     RenderTarget* targets) {}
  virtual void TimelineRedraw() {}
  // Playback modes show the timeline, the date and speed buttons; live mode the pan-tilt pad.
  virtual void PlayModeChanged(int mode) {}
  virtual void ShowToast(const QString& text) {}
  virtual void HideToast() {}
  // Waits for the device-list thread when one runs.
  virtual void WaitDeviceListThread() {}
  virtual void ExchangePicture(int channel_a, int channel_b) {}
  virtual void PaneClicked() {}
  // A connect of the device ended: reachable, or lost (unreachable) until a later connect succeeds.
  virtual void DeviceReachable(DeviceNode* device, bool reachable) {}
};

class CDeviceOpener : public PaneHost {
 public:
  // Makes the grid as a child of grid_parent; ui may be null.
  CDeviceOpener(QWidget* grid_parent, DeviceOpenUi* ui);
  ~CDeviceOpener() override;
  CDeviceOpener(const CDeviceOpener&) = delete;
  CDeviceOpener& operator=(const CDeviceOpener&) = delete;

  CVideoListPane* grid() const { return grid_; }

  // Opens the device in pane `pane` (0..8; -1: the first free pane, else the selected one). mode -1 keeps
  // the current play mode; another mode is switched to first. 0, or the error of a failed connect (shown
  // in a box) or a refused open.
  int OpenDeviceInPane(DeviceNode* device, int pane, int mode = -1);
  virtual int ConnectDevice(DeviceNode* device, CVideoWnd* pane);
  void CloseSession(DeviceNode* device, CVideoWnd* pane);
  void ReconnectPane(int index) override;
  int StopAllPanes(int kind);
  void SwitchPlayMode(int mode);
  void QuerySdRecordsForDay(time_t t);
  void QueryCloudRecordsForDay(time_t t);
  void ShowDeviceError(int code);
  CVideoWnd* FindPaneOfDevice(DeviceNode* device) const;
  void SetStreamForAllPanes(bool sub);
  void SetFullScreenStream(DeviceNode* device, bool entering) override;
  // A device dragged from the device list: the grid follows the pointer; a drop on a pane opens the device
  // there.
  void BeginDeviceDrag(DeviceNode* device);

  int play_mode() const { return play_mode_; }
  // The grid n × n of live mode (1..3).
  int grid_size() const { return grid_size_; }
  void set_grid_size(int n);
  // Settings (read from config.ini at construction).
  void set_keep_connection(bool on) { keep_connection_ = on; }
  void set_dont_check_online(bool on) { dont_check_online_ = on; }
  CAecAudioCapture* talk_capture() const { return talk_capture_; }
  // Talkback through the one capture: whether a session talks, making the capture, adding a session to it,
  // and taking a session off it (the capture freed, the session unmuted); freeing an unused capture.
  bool SessionTalks(CP2pClient* session) const;
  bool CreateTalkCapture();
  bool AttachTalk(CP2pClient* session);
  void StopTalk(CP2pClient* session);
  void FreeTalkCapture();
  // Ends talkback whatever session talks and frees the capture: before a play-mode switch, before the
  // devices go and with the opener.
  void EndTalk();
  const std::vector<PlaybackSegment>& day_records() const { return records_; }
  int64_t day_start() const { return day_start_; }

  // PaneHost.
  void CloseSession(CP2pClient* session) override;
  void ExchangePicture(int channel_a, int channel_b) override;
  void PaneClicked() override;
  bool Busy() override { return busy_ > 0; }

  // Device operations on the GUI thread's behalf (through the blocking runner); public for tests.
  int RunDeviceOp(const std::function<int()>& op);

 protected:
  // The talk glue's view of a session; it lives while the session talks.
  virtual std::unique_ptr<TalkSession> MakeTalkSession(CP2pClient* session);
  // Starts live video on channels 0..channels-1 into the sink (handed to the session with channel 0) and
  // picks each channel's stream; 0 or the first failure.
  virtual int StartLiveChannels(CP2pClient* client, IAvRender* sink, int channels);

 private:
  int OpenLive(DeviceNode* device, CVideoWnd* pane);
  void DetachTalk(CP2pClient* session);
  void SetWaitCursor(bool on);
  void StopPlayer(CCsPlayerFw* player);

  DeviceOpenUi* ui_;
  std::unique_ptr<DeviceOpenUi> default_ui_;
  CVideoListPane* grid_ = nullptr;
  int play_mode_ = kPlayLive;
  int grid_size_ = 1;
  bool keep_connection_ = true;
  bool dont_check_online_ = false;
  CAecAudioCapture* talk_capture_ = nullptr;
  // The one session that talks through the capture, and its glue.
  CP2pClient* talk_client_ = nullptr;
  std::unique_ptr<TalkSession> talk_;
  std::vector<PlaybackSegment> records_;
  int64_t day_start_ = 0;
  int64_t day_span_ = 0;
  DeviceNode* drag_device_ = nullptr;
  int busy_ = 0;
  int reconnect_depth_ = 0;
};

// The stream a live channel asks for: the sub stream when the grid shows more than one pane, else for the
// lenses besides the first unless the test flag asks for the main stream.
bool ChannelWantsSubStream(int pane_count, int channel, bool main_for_sub);
// Local midnight of the day of t (app/gui/timeline.cpp).
int64_t LocalDayStart(int64_t t);
// Gives up a sink that was not handed to a session (tests' fake starts).
void ReleaseSink(IAvRender* sink);
// A playback sink drawing into the pane's count targets: events to the pane, positions to the timeline.
IAvRender* MakePlaybackSink(RenderTarget* targets, int count, HWND pane, HWND timeline);
// The text of the error box for a device-link code: the string-table message, or the code and its meaning.
QString DeviceErrorText(int code);
// The text of the box shown when the device has no SD card.
QString NoSdCardText();
