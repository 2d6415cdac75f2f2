// The main window, drawn from the skin (gui/gui.desc beside the program): the caption strip with the
// signed-in user and the window buttons, the device list and the group tree, the grid of video panes, the
// settings and context menus, the idle close, log-out and close, moving and sizing by the skin's hit test,
// and the window messages it takes (WM_UI_INVOKE, WM_PANE_SELECTED, WM_COMMAND).
#pragma once

#include <QPoint>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "app/device_list.h"
#include "app/device_open.h"
#include "app/gui/bmpbtn_container.h"
#include "app/ui/window_registry.h"

class CDeviceGroupTree;
class CDeviceListCtrl;
class CPlayControls;
class CTimelineWnd;
class CmyMonthCalCtrl;
class DevicePaneControl;
class TimelinePlayback;
class CToast;
class CVideoListPane;
class CVideoWnd;
class QCalendarWidget;
class QMenu;
class QTreeWidget;
class QTreeWidgetItem;

// Class name of the main window.
constexpr const char* kMainWindowClassName = "__VelmoraPlayer_Window_Class_Name_20200104__";
// Idle timer: every 5 s the counter grows by 5. Toolbar-state timer: every 200 ms.
constexpr int kIdleTimerId = 21;
constexpr int kIdleTimerMs = 5000;
constexpr int kToolbarTimerId = 22;
constexpr int kToolbarTimerMs = 200;
// The smallest window: below it the play bar's buttons, the pan-tilt pad and the caption's texts would
// overlap (the skin is laid out for 1280 x 800).
constexpr int kMinWindowWidth = 1080;
constexpr int kMinWindowHeight = 600;
// Height of the caption strip that moves the window.
constexpr int kCaptionHeight = 32;
// Child controls.
constexpr int kGridId = 3002;
constexpr int kTimelineId = 3004;
constexpr int kDatePickerId = 3005;

// Commands of the menus and buttons.
enum MainCommand {
  ID_APP_ABOUT = 32772,
  ID_VIEW_1X1 = 32773,
  ID_VIEW_2X2 = 32774,
  ID_LOGOUT = 32775,
  ID_SET_IDLE = 32776,
  ID_ADD_GROUP = 32778,
  ID_DELETE_GROUP = 32779,
  ID_RENAME_GROUP = 32782,
  ID_VIEW_LIST = 32786,
  ID_VIEW_TREE = 32787,
  ID_MODIFY_DEVICE = 32792,
  ID_TEST_MAIN_STREAM = 32796,
  ID_COPY_UUID = 32798,
};

// Results of the window's hit test (the Windows values).
enum HitTestCode {
  HTCLIENT = 1,
  HTCAPTION = 2,
  HTLEFT = 10,
  HTRIGHT = 11,
  HTTOP = 12,
  HTTOPLEFT = 13,
  HTTOPRIGHT = 14,
  HTBOTTOM = 15,
  HTBOTTOMLEFT = 16,
  HTBOTTOMRIGHT = 17,
};
// Where point (client coordinates) lies on a window of w × h: borders, corners, caption or client;
// on_button says a toolbar button lies under the point.
int MainWindowHitTest(const QPoint& point, int w, int h, bool on_button);

// The skin file of the main window: "gui/gui.desc" in the program's folder, unless set (tests).
std::string MainWindowSkinPath();
void SetMainWindowSkinPath(const std::string& path);

// The test flag "request the main stream for sub pictures" (command 32796) is the opener's
// MainStreamForSubPictures().

// Where the device list comes from; tests put fakes here before the window is made. Empty members take the
// service (LoadDeviceNodes) and DownloadUrlToFile.
struct DeviceListSource {
  std::function<int(DeviceNodeList* nodes)> load;
  std::function<int(const std::string& url, const std::string& path)> download;
};
void SetDeviceListSource(DeviceListSource source);

// Chooses the command of a menu instead of showing it (tests): returns the chosen command id, 0 none.
using MenuHook = std::function<int(QMenu* menu)>;
void SetMenuHook(MenuHook hook);

// Makes the window's device opener (tests put one with fake connects here); empty: a CDeviceOpener.
using DeviceOpenerFactory = std::function<CDeviceOpener*(QWidget* grid_parent, DeviceOpenUi* ui)>;
void SetDeviceOpenerFactory(DeviceOpenerFactory factory);

class CVelmoraDlg : public CBmpbtnContainer, public DeviceListView, public DeviceOpenUi {
 public:
  explicit CVelmoraDlg(QWidget* parent = nullptr);
  ~CVelmoraDlg() override;

  void ResetIdleCounter() { idle_counter_ = 0; }
  int idle_counter() const { return idle_counter_; }
  int selected_pane() const { return selected_pane_; }
  // One tick of the idle timer.
  void OnIdleTimer();
  bool skin_loaded() const { return skin_loaded_; }

  QString GetTooltipText(int index) const override;
  void DrawTextCallback(QPainter* p, int id, const QRect& rect, uint32_t align) override;
  // The pan-tilt pad pressed shows the pressed quadrant (the bitmaps of hidden button 1100).
  void DrawButton(QPainter* p, int index, int draw_state) override;

  // Reloads the device list in the background.
  void RefreshDeviceList();
  // Waits for the device-list thread (after asking its thumbnail pass to stop when stop is set).
  void WaitDeviceListThread(bool stop);
  bool DeviceListThreadRunning() const { return list_thread_.joinable() && !list_thread_done_.load(); }
  // Stops every pane: kind 3 (close) detaches the devices, kind 4 (idle close) closes the sessions of
  // cellular devices and leaves them in their panes. Returns how many panes were stopped.
  virtual int StopAllPanes(int kind);
  // Opens device in pane (−1: a free pane, else the selected one) in the current play mode: 0 or the error
  // of a failed open (shown in a box).
  int OpenDeviceInPane(DeviceNode* device, int pane);
  // A toolbar event (press, release, click) of the button at index.
  void OnButtonEvent(int index, int event) override;
  // Play mode 0 live, 1 cloud, 2 SD card (buttons 1007, 1009, 1008).
  void SwitchPlayMode(int mode);
  // The day chosen in the date picker: its recordings in the current playback mode.
  void OnDateSelected(int64_t day_start);
  void OnCommand(int id);
  void OnLogout();
  // The grid size n (n × n panes) and the device view (0 list, 1 tree).
  int grid_size() const { return grid_n_; }
  int device_view() const { return device_view_; }
  int play_mode() const;

  CDeviceListCtrl* device_list() const { return list_; }
  QTreeWidget* tree() const { return tree_; }
  CDeviceGroupTree* group_tree() const { return group_tree_.get(); }
  CVideoListPane* grid() const { return grid_; }
  CDeviceOpener& opener() { return *opener_; }
  CPlayControls* play_controls() const { return controls_.get(); }
  CTimelineWnd* timeline() const { return timeline_; }
  QCalendarWidget* date_picker() const;
  CToast* toast() const { return toast_.get(); }

  // The menus (their actions carry the command ids as data), filled as the window shows them.
  void FillSettingsMenu(QMenu* menu);
  // Tree context menu at a tree point; false when the point lies on a device (no menu).
  bool FillTreeMenu(QMenu* menu, const QPoint& tree_point);
  // List context menu of a row; false without a row.
  bool FillListMenu(QMenu* menu, int row);
  // Context menus by window point (what a right click does).
  void ShowTreeContextMenu(const QPoint& tree_point);
  void ShowListContextMenu(const QPoint& list_point);
  // Adding a device by UUID (the hotkey).
  void OnHotKey();

  // Tree drag of a device item.
  bool BeginTreeDrag(QTreeWidgetItem* item);
  void TreeDragMove(const QPoint& global);
  void EndTreeDrag(bool drop);
  bool TreeDragging() const { return tree_dragging_; }
  QTreeWidgetItem* TreeDropTarget() const { return tree_drop_target_; }
  // List drag of a row onto a pane.
  void BeginListDrag(int row);
  DeviceNode* ListDragDevice() const { return list_drag_device_; }

  // DeviceListView.
  void OnDeviceListLoaded(int result, DeviceNodeList* nodes) override;
  void RedrawDeviceRow(int row) override;
  void OnThumbnailPassDone() override;

  // DeviceOpenUi.
  void UpdateToolbarState() override;
  void UpdateTalkButtons(DeviceNode* device) override;
  void TimelineReset() override;
  void TimelineSetRecordList(CP2pClient* session, CCsPlayerFw* player,
                             const std::vector<PlaybackSegment>* list, int64_t day_start,
                             RenderTarget* targets) override;
  void TimelineRedraw() override;
  void PlayModeChanged(int mode) override;
  void ShowToast(const QString& text) override;
  void HideToast() override;
  void WaitDeviceListThread() override;
  void ExchangePicture(int channel_a, int channel_b) override;
  void PaneClicked() override;
  void DeviceReachable(DeviceNode* device, bool reachable) override;

 protected:
  void OnMessage(UiMessageEvent* event) override;
  void OnTimer(int id) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;
  void mouseDoubleClickEvent(QMouseEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  void CreateControls();
  void ShowSettingsMenu();
  void OnViewSplit(int id);
  void OnDeviceView(int id);
  void OnAddGroup();
  void OnRenameGroup();
  void OnModifyDevice();
  void UpdateHoverCursor(const QPoint& pt);
  int RunMenu(QMenu* menu, const QPoint& global);
  void CreatePlayControls();
  DeviceNode* SelectedDevice() const;

  int idle_counter_ = 0;
  int selected_pane_ = -1;
  bool skin_loaded_ = false;
  int device_view_ = 0;
  int grid_n_ = 1;
  bool closing_ = false;
  bool wait_cursor_ = false;
  int toolbar_ticks_ = 0;

  CDeviceListCtrl* list_ = nullptr;
  QTreeWidget* tree_ = nullptr;
  std::unique_ptr<CDeviceGroupTree> group_tree_;
  // The opener owns the grid (a child of this window); the play controls act on its selected pane.
  std::unique_ptr<CDeviceOpener> opener_;
  CVideoListPane* grid_ = nullptr;
  std::unique_ptr<DevicePaneControl> pane_control_;
  std::unique_ptr<CPlayControls> controls_;
  CTimelineWnd* timeline_ = nullptr;
  // What the timeline plays (it keeps a pointer): one per opened day.
  std::unique_ptr<TimelinePlayback> playback_;
  CmyMonthCalCtrl* date_picker_ = nullptr;
  std::unique_ptr<CToast> toast_;

  std::thread list_thread_;
  std::atomic<bool> list_thread_done_{true};

  // Context menus: the tree item and list row they were opened on.
  QTreeWidgetItem* menu_item_ = nullptr;
  int menu_row_ = -1;
  // Tree drag.
  bool tree_dragging_ = false;
  QTreeWidgetItem* tree_drag_item_ = nullptr;
  QTreeWidgetItem* tree_drop_target_ = nullptr;
  // List drag.
  DeviceNode* list_drag_device_ = nullptr;
  // Moving or sizing the window by hand (when the platform does not do it).
  int drag_hit_ = 0;
  QPoint drag_origin_;
  QRect drag_geometry_;
};

// Fills a device record from the add-by-UUID dialog's choices; the P2P fields come from the UUID service
// (left as they were when it fails), relay entries, the second WebRTC id and state servers from section
// "servers" of config.ini (turn_servers, stun_server, turn_user, turn_password, webrtc2_id) and the
// deployment's state servers.
struct AccessByUuidChoice {
  std::string uuid;
  bool cellular = false, low_power = false, rvs = false, webrtc = false, webrtc2 = false, force_relay = false;
};
void ApplyAccessByUuid(DeviceInfo* info, const AccessByUuidChoice& choice);
