#include "app/main_window.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCalendarWidget>
#include <QClipboard>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QShortcut>
#include <QTreeWidget>
#include <QUrl>
#include <QWindow>
#include <mutex>

#include "app/app_state.h"
#include "app/dialogs/login_dlg.h"
#include "app/dialogs/small_dialogs.h"
#include "app/gui/date_picker.h"
#include "app/gui/device_group_tree.h"
#include "app/gui/device_row.h"
#include "app/gui/play_controls.h"
#include "app/gui/timeline.h"
#include "app/gui/video_grid.h"
#include "app/playback.h"
#include "app/settings.h"
#include "app/ui/message_box.h"
#include "app/ui/strings.h"
#include "app/ui/style.h"
#include "sdk/cloud/cloud_config.h"
#include "sdk/cloud/orvel_server.h"
#include "sdk/storage/oss_accessor.h"
#include "util/log.h"

namespace {

// Buttons of the window.
constexpr int kBtnRefresh = 1001;
constexpr int kBtnSplit = 1002;
constexpr int kBtnClose = 1003;
constexpr int kBtnMaximise = 1004;
constexpr int kBtnMinimise = 1005;
constexpr int kBtnLogout = 1006;
constexpr int kBtnSettings = 1012;
constexpr int kBtnLive = 1007;
constexpr int kBtnSd = 1008;
constexpr int kBtnCloud = 1009;
constexpr int kBtnDate = 1010;
constexpr int kBtnDataFolder = 1000;
constexpr int kBtnMediaFolder = 1011;
constexpr int kBtnPtzQuadrants = 1100;
// The grid's bevelled frame around it.
constexpr int kGridFrame = 3;
// The owner-drawn text of the skin that shows the signed-in user.
constexpr int kTextCurrentUser = 1;
// Width of the borders that size the window, and of the sizing corner.
constexpr int kBorder = 4;
constexpr int kCorner = 16;
DeviceOpenerFactory g_opener_factory;

std::mutex g_source_mu;
DeviceListSource g_source;
MenuHook g_menu_hook;

DeviceListSource CurrentSource() {
  std::lock_guard<std::mutex> lock(g_source_mu);
  DeviceListSource s = g_source;
  if (!s.load) s.load = [](DeviceNodeList* nodes) { return LoadDeviceNodes(nodes, &OrvelServer()); };
  if (!s.download)
    s.download = [](const std::string& url, const std::string& path) {
      return DownloadUrlToFile(url.c_str(), path.c_str());
    };
  return s;
}

QAction* AddCommand(QMenu* menu, const QString& text, int id) {
  QAction* a = menu->addAction(text);
  a->setData(id);
  return a;
}

// Icons of the group tree: a folder, and a camera dimmed when offline.
QIcon TreeIcon(int kind) {
  QPixmap pm(16, 16);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  if (kind == 0) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xE8, 0xB3, 0x4B));
    p.drawRoundedRect(QRectF(1, 3, 7, 4), 1, 1);
    p.drawRoundedRect(QRectF(1, 5, 14, 9), 1.5, 1.5);
  } else {
    const QColor c = kind == 2 ? QColor(0x4C, 0xD9, 0x64) : QColor(0x80, 0x80, 0x80);
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawRoundedRect(QRectF(1, 4, 10, 8), 2, 2);
    QPolygonF lens{{11, 7}, {15, 4.5}, {15, 11.5}, {11, 9}};
    p.drawPolygon(lens);
  }
  return QIcon(pm);
}

bool Contains(const std::string& s, const char* part) { return s.find(part) != std::string::npos; }

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find(',', pos);
    if (end == std::string::npos) end = text.size();
    std::string item = text.substr(pos, end - pos);
    while (!item.empty() && item.front() == ' ') item.erase(item.begin());
    while (!item.empty() && item.back() == ' ') item.pop_back();
    if (!item.empty()) out.push_back(item);
    pos = end + 1;
  }
  return out;
}

}  // namespace

int MainWindowHitTest(const QPoint& pt, int w, int h, bool on_button) {
  const int x = pt.x(), y = pt.y();
  if (y <= kBorder) {
    if (x <= kBorder) return HTTOPLEFT;
    return x < w - kBorder ? HTTOP : HTTOPRIGHT;
  }
  if (y < kCaptionHeight) return on_button ? HTCLIENT : HTCAPTION;
  if (x > w - kCorner && y > h - kCorner) return HTBOTTOMRIGHT;
  if (y >= h - kBorder) return x < kBorder ? HTBOTTOMLEFT : HTBOTTOM;
  if (x <= kBorder) return HTLEFT;
  if (x >= w - kBorder) return HTRIGHT;
  return HTCLIENT;
}

std::string& SkinPathOverride() {
  static std::string path;
  return path;
}

void SetMainWindowSkinPath(const std::string& path) { SkinPathOverride() = path; }

std::string MainWindowSkinPath() {
  if (!SkinPathOverride().empty()) return SkinPathOverride();
  return (QCoreApplication::applicationDirPath() + QStringLiteral("/gui/gui.desc")).toStdString();
}

void SetDeviceListSource(DeviceListSource source) {
  std::lock_guard<std::mutex> lock(g_source_mu);
  g_source = std::move(source);
}

void SetMenuHook(MenuHook hook) { g_menu_hook = std::move(hook); }

void SetDeviceOpenerFactory(DeviceOpenerFactory factory) { g_opener_factory = std::move(factory); }

void ApplyAccessByUuid(DeviceInfo* info, const AccessByUuidChoice& c) {
  info->uuid = c.uuid;
  info->current_version = "00000000";
  info->device_type = std::string(c.low_power ? "lp" : "") + (c.cellular ? "sim" : "wifi");
  info->transport_flags =
      (c.rvs ? kTransportP2p : 0) | (c.webrtc ? kTransportWebrtc : 0) | (c.webrtc2 ? kTransportWebrtc2 : 0);
  info->is_online = 1;
  info->bind_type = 1;
  info->name = info->device_type + " |";
  if (c.rvs) info->name += " rvs";
  if (c.webrtc) info->name += " webrtc";
  if (c.webrtc2) info->name += " webrtc2";
  if (c.rvs) {
    std::string init, id, password;
    if (QueryUuidP2pInfo(c.uuid.c_str(), 0, &init, &id, &password) == 0) {
      info->p2p_platform = init;
      info->p2p_id = id;
      info->password = password;
    }
    if (c.force_relay) info->webrtc_failed = 1;
  }
  if (c.webrtc) {
    const std::string user = ReadConfigString("servers", "turn_user");
    const std::string password = ReadConfigString("servers", "turn_password");
    std::vector<std::string> hosts = SplitList(ReadConfigString("servers", "turn_servers"));
    if (hosts.size() > 2) hosts.resize(2);
    for (const std::string& host : hosts) info->relay_list.push_back({1, 3478, 0, host, user, password});
    const std::string stun = ReadConfigString("servers", "stun_server");
    if (!stun.empty()) info->relay_list.push_back({0, 3478, 0, stun, user, password});
  }
  if (c.webrtc2) info->ovwebrtc2_id = ReadConfigString("servers", "webrtc2_id");
  if (c.low_power) {
    const CloudDeployment d = CloudGetDeployment();
    for (int i = 0; i < kStateServerCount; ++i) info->state_servers[i] = d.state_servers[i];
  }
}

CVelmoraDlg::CVelmoraDlg(QWidget* parent) : CBmpbtnContainer(parent) {
  setObjectName(QString::fromLatin1(kMainWindowClassName));
  setWindowTitle(QString::fromStdString(GetWindowTitle()));
  setWindowIcon(GetAppIcon());
  setAttribute(Qt::WA_DeleteOnClose, false);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, QColor(0x26, 0x26, 0x26));
  pal.setColor(QPalette::WindowText, QColor(0xE8, 0xEA, 0xED));
  setPalette(pal);

  // 1. The skin; its size replaces the creation size.
  skin_loaded_ = LoadSkinFile(MainWindowSkinPath()) != 0;
  if (!skin_loaded_) LogPrintf(kLogError, nullptr, "CVelmoraDlg::OnCreate", "Load UI failed\n");
  if (ref_width() > 0 && ref_height() > 0) {
    // A borderless window: the skin draws the caption and its buttons.
    setWindowFlag(Qt::FramelessWindowHint, true);
    resize(ref_width(), ref_height());
  } else {
    resize(1280, 800);
  }
  setMinimumSize(kMinWindowWidth, kMinWindowHeight);
  setMouseTracking(true);
  LogPrintf(kLogInfo, nullptr, "CVelmoraDlg::OnCreate", "Window created\n");

  // 3. The device view.
  device_view_ = ReadConfigInt("config", "devview", 0) == 1 ? 1 : 0;
  CreateControls();
  toast_ = std::make_unique<CToast>();

  SetToolbarCommandTarget(hwnd());

  // 10. The device list.
  RefreshDeviceList();
  LogPrintf(kLogInfo, nullptr, "CVelmoraDlg::OnCreate", "Refresh... DevList\n");

  // 11. The grid size.
  int view = ReadConfigInt("config", "view", 1);
  grid_n_ = view >= 2 ? 2 : 1;
  opener_->set_grid_size(grid_n_);
  if (int i = IndexFromId(kBtnSplit); i >= 0) SetButtonChecked(i, grid_n_ > 1);

  // 12. Timers, tooltips and the hotkey.
  SetTimer(kIdleTimerId, kIdleTimerMs);
  SetTimer(kToolbarTimerId, kToolbarTimerMs);
  EnableToolTips(true);
  auto* hotkey = new QShortcut(QKeySequence(Qt::CTRL | Qt::ALT | Qt::SHIFT | Qt::Key_Equal), this);
  hotkey->setContext(Qt::ApplicationShortcut);
  connect(hotkey, &QShortcut::activated, this, [this] { OnHotKey(); });
}

CVelmoraDlg::~CVelmoraDlg() {
  WaitDeviceListThread(true);
  if (wait_cursor_) QApplication::restoreOverrideCursor();
  if (grid_) StopAllPanes(3);
  ClearDeviceNodes(&ProcessDeviceNodes());
  if (group_tree_) group_tree_->ClearItemData();
  group_tree_.reset();
  // The timeline goes before what it plays; the controls before the opener; the opener takes its grid.
  delete timeline_;
  timeline_ = nullptr;
  playback_.reset();
  controls_.reset();
  pane_control_.reset();
  if (grid_) grid_->setParent(nullptr);
  opener_.reset();
  grid_ = nullptr;
}

void CVelmoraDlg::CreateControls() {
  // 4. The device list.
  list_ = new CDeviceListCtrl(this);
  list_->setVisible(device_view_ == 0);
  list_->on_begin_drag = [this](int row) { BeginListDrag(row); };
  connect(list_, &QListWidget::itemDoubleClicked, this, [this](QListWidgetItem* item) {
    if (DeviceNode* d = list_->RowDevice(list_->row(item))) OpenDeviceInPane(d, -1);
  });
  list_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(list_, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& pt) { ShowListContextMenu(pt); });
  SetControl(kDeviceListId, list_);

  // 5. The group tree.
  tree_ = new QTreeWidget(this);
  tree_->setObjectName(QStringLiteral("GroupTree"));
  tree_->setHeaderHidden(true);
  tree_->setRootIsDecorated(true);
  tree_->setIndentation(16);
  tree_->setFrameShape(QFrame::NoFrame);
  tree_->setVisible(device_view_ == 1);
  tree_->setStyleSheet(QStringLiteral(
      "QTreeWidget { background: #262626; color: white; border: none; outline: none; }"
      "QTreeWidget::item { height: 24px; color: white; }"
      // As the list's selected row: a muted fill that keeps the text readable, and the accent at the left.
      "QTreeWidget::item:selected { background: #3A4350; color: white; border-left: 3px solid #FF7F27; }"
      "QScrollBar:vertical { width: 4px; background: #262626; margin: 0; }"
      "QScrollBar::handle:vertical { background: #5A5A5A; min-height: 24px; border-radius: 2px; }"
      "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"));
  tree_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(tree_, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& pt) { ShowTreeContextMenu(tree_->viewport()->mapFrom(tree_, pt)); });
  tree_->viewport()->installEventFilter(this);
  SetControl(kGroupTreeId, tree_);
  group_tree_ = std::make_unique<CDeviceGroupTree>(GetCurrentUser(), tree_, GetAppDataFolder());
  group_tree_->SetImages(TreeIcon(0), TreeIcon(1), TreeIcon(2));

  // 6. The grid of panes, made and fed by the device opener.
  opener_.reset(g_opener_factory ? g_opener_factory(this, this) : new CDeviceOpener(this, this));
  grid_ = opener_->grid();
  grid_->setObjectName(QStringLiteral("VideoGrid"));
  grid_->SetNotifyWindow(hwnd());
  grid_->setCursor(Qt::ArrowCursor);
  SetControl(kGridId, grid_);
  if (StaticIndexFromId(kGridId) < 0) grid_->setGeometry(rect());

  // 7. The timeline, hidden in live mode.
  timeline_ = new CTimelineWnd(this);
  timeline_->setObjectName(QStringLiteral("Timeline"));
  timeline_->setCursor(Qt::PointingHandCursor);
  timeline_->hide();
  SetControl(kTimelineId, timeline_);

  // 9. The date picker: a popup shown by button 1010; the chosen day's recordings are fetched.
  date_picker_ = new CmyMonthCalCtrl(this);
  date_picker_->hide();
  date_picker_->SetOnSelect([this](int64_t day_start) { OnDateSelected(day_start); });

  CreatePlayControls();
}

void CVelmoraDlg::CreatePlayControls() {
  DevicePaneControl::Hooks h;
  h.has_selected_pane = [this] { return grid_ && grid_->GetSelectedPane() != nullptr; };
  h.device = [this] { return SelectedDevice(); };
  h.show_pip_windows = [this](bool show) {
    if (CVideoWnd* pane = grid_->GetSelectedPane()) pane->ShowPipWindows(show);
  };
  h.close_selected = [this] {
    CVideoWnd* pane = grid_->GetSelectedPane();
    if (pane && pane->GetDevice()) opener_->CloseSession(pane->GetDevice(), pane);
    UpdateToolbarState();
  };
  h.timeline_cursor = [this] { return timeline_ ? timeline_->cursor_time() : int64_t{0}; };
  h.session_talks = [this](CP2pClient* s) { return opener_->SessionTalks(s); };
  h.capture_exists = [this] { return opener_->talk_capture() != nullptr; };
  h.capture_create = [this] { return opener_->CreateTalkCapture(); };
  h.capture_attach = [this](CP2pClient* s) { return opener_->AttachTalk(s); };
  h.talk_stop = [this](CP2pClient* s) { opener_->StopTalk(s); };
  h.capture_free = [this] { opener_->FreeTalkCapture(); };
  pane_control_ = std::make_unique<DevicePaneControl>(std::move(h));
  controls_ = std::make_unique<CPlayControls>(this, pane_control_.get(), this);
  controls_->SetPlayMode(opener_->play_mode());
}

DeviceNode* CVelmoraDlg::SelectedDevice() const {
  CVideoWnd* pane = grid_ ? grid_->GetSelectedPane() : nullptr;
  return pane ? pane->GetDevice() : nullptr;
}

int CVelmoraDlg::play_mode() const { return opener_ ? opener_->play_mode() : kPlayLive; }

QCalendarWidget* CVelmoraDlg::date_picker() const { return date_picker_; }

QString CVelmoraDlg::GetTooltipText(int index) const {
  static const struct {
    int button, string;
  } kTips[] = {{1001, IDS_DEVICE_LIST},  {1002, IDS_SPLIT_2X2},   {1006, IDS_LOGON},
               {1007, IDS_LIVE_MEDIA},   {1008, IDS_SD_PLAYBACK}, {1009, IDS_CLOUD_PLAYBACK},
               {1010, IDS_SELECT_DATE},  {1103, IDS_AUDIO},       {1104, IDS_SNAPSHOT},
               {1105, IDS_RECORD},       {1106, IDS_CLOSE_VIDEO}, {1110, IDS_PIP},
               {1111, IDS_EXCHANGE_PIP}, {1112, IDS_TALKBACK},    {1113, IDS_SWITCH_EYES}};
  int id = IdFromIndex(index);
  for (const auto& t : kTips)
    if (t.button == id) return LoadUiString(t.string);
  // The caption's buttons say what they do too.
  switch (id) {
    case kBtnSettings:
      return UiText("Settings", "设置");
    case kBtnDataFolder:
      return UiText("Open the data folder (settings and log)", "打开数据文件夹（设置和日志）");
    case kBtnMediaFolder:
      return UiText("Open the snapshots and recordings folder", "打开抓图和录像文件夹");
    case kBtnMinimise:
      return UiText("Minimise", "最小化");
    case kBtnMaximise:
      return isMaximized() ? UiText("Restore", "还原") : UiText("Maximise", "最大化");
    case kBtnClose:
      return UiText("Close", "关闭");
    default:
      return QString();
  }
}

void CVelmoraDlg::DrawTextCallback(QPainter* p, int id, const QRect& rect, uint32_t) {
  if (id != kTextCurrentUser) return;
  QFont f = p->font();
  f.setPixelSize(13);
  p->setFont(f);
  // A long name is cut to its place, never drawn over the title.
  const QString user =
      QFontMetrics(f).elidedText(QString::fromStdString(GetCurrentUser()), Qt::ElideMiddle, rect.width());
  p->drawText(rect, Qt::AlignRight | Qt::AlignVCenter, user);
}

// ---- device list ----

void CVelmoraDlg::RefreshDeviceList() {
  if (!wait_cursor_) QApplication::setOverrideCursor(Qt::WaitCursor);
  wait_cursor_ = true;
  // A pane never keeps a device that is about to be freed.
  WaitDeviceListThread(true);
  StopAllPanes(3);
  ClearDeviceNodes(&ProcessDeviceNodes());
  list_->clear();
  group_tree_->ClearItemData();
  tree_->clear();
  setEnabled(false);

  DeviceListSource source = CurrentSource();
  DeviceListJob job;
  job.window = hwnd();
  job.view = this;
  job.load = source.load;
  job.download = source.download;
  SetThumbnailPassRunning(true);
  list_thread_done_.store(false);
  list_thread_ = std::thread([job = std::move(job), done = &list_thread_done_] {
    GetDeviceListThread(job);
    done->store(true);
  });
  toast_->ShowString(IDS_LOADING_DEVICE_LIST, 0, nullptr);
}

void CVelmoraDlg::WaitDeviceListThread(bool stop) {
  if (stop) SetThumbnailPassRunning(false);
  if (list_thread_.joinable()) list_thread_.join();
  list_thread_done_.store(true);
}

void CVelmoraDlg::OnDeviceListLoaded(int result, DeviceNodeList* nodes) {
  // A load that a later refresh overtook is replaced as a whole.
  DeviceNodeList& list = ProcessDeviceNodes();
  StopAllPanes(3);
  ClearDeviceNodes(&list);
  list_->clear();
  group_tree_->ClearItemData();
  tree_->clear();
  list.swap(*nodes);
  for (size_t i = 0; i < list.size(); ++i)
    list_->AppendRow(QString::fromStdString(list[i]->Info().uuid), static_cast<int>(i));
  if (result == 0) {
    const bool preload = ReadConfigInt("config", "enable_preload", 0) != 0;
    for (size_t i = 0; i < list.size(); ++i) {
      if (!ShouldPreload(list[i]->Info(), list.size(), preload)) continue;
      list[i]->ConnectAsync(PreloadConnectCallback, new DeviceRowArg{hwnd(), this, static_cast<int>(i)});
    }
    std::vector<DeviceInfo*> infos;
    for (DeviceNode* n : list) infos.push_back(&n->Info());
    group_tree_->LoadGroupFile(infos);
    tree_->expandAll();
  }
  if (wait_cursor_) QApplication::restoreOverrideCursor();
  wait_cursor_ = false;
  setEnabled(true);
  toast_->HideToast();
  if (int i = IndexFromId(kBtnRefresh); i >= 0) SetButtonEnabled(i, false);
}

void CVelmoraDlg::RedrawDeviceRow(int row) { list_->RedrawRow(row); }

void CVelmoraDlg::OnThumbnailPassDone() {
  if (int i = IndexFromId(kBtnRefresh); i >= 0) SetButtonEnabled(i, true);
}

// ---- panes ----

int CVelmoraDlg::StopAllPanes(int kind) {
  const int stopped = opener_->StopAllPanes(kind);
  if (kind == kStopClose) {
    // Every pane lets go of its device, also those without a running session and those outside the
    // layout: the devices may be freed next.
    for (int i = 0; i < kGridPanes; ++i)
      if (CVideoWnd* pane = grid_->Pane(i); pane && pane->GetDevice()) pane->Reset(true);
  }
  WaitDeviceListThread();
  return stopped;
}

int CVelmoraDlg::OpenDeviceInPane(DeviceNode* device, int pane) {
  if (!device) return KIVO_ERR_INVALID_PARAM;
  const int r = opener_->OpenDeviceInPane(device, pane);
  if (CVideoWnd* shown = opener_->FindPaneOfDevice(device)) grid_->SelectPane(shown->GetIndex());
  UpdateToolbarState();
  return r;
}

void CVelmoraDlg::BeginListDrag(int row) {
  list_drag_device_ = list_->RowDevice(row);
  if (!list_drag_device_) return;
  opener_->BeginDeviceDrag(list_drag_device_);
}

// ---- timers and commands ----

void CVelmoraDlg::OnTimer(int id) {
  if (id == kIdleTimerId) {
    OnIdleTimer();
  } else if (id == kToolbarTimerId) {
    UpdateToolbarState();
    // Once a second the device rows follow their sessions (a lost link turns a row from green).
    if (++toolbar_ticks_ % 5 == 0 && list_) list_->RefreshRowStates();
  } else {
    CBmpbtnContainer::OnTimer(id);
  }
}

void CVelmoraDlg::OnIdleTimer() {
  idle_counter_ += kIdleTimerMs / 1000;
  if (idle_counter_ > GetMaxIdleTime()) {
    idle_counter_ = 0;
    StopAllPanes(4);
  }
}

int CVelmoraDlg::RunMenu(QMenu* menu, const QPoint& global) {
  if (g_menu_hook) return g_menu_hook(menu);
  QAction* a = menu->exec(global);
  return a ? a->data().toInt() : 0;
}

void CVelmoraDlg::FillSettingsMenu(QMenu* menu) {
  AddCommand(menu, UiText("&Interval to auto-close for 4G camera ...", "4G摄像头自动关闭时间(&I)..."),
             ID_SET_IDLE);
  menu->addSeparator();
  auto* views = new QActionGroup(menu);
  QAction* list =
      AddCommand(menu, UiText("&Vertical List with Thumbnail", "带缩略图的竖直列表(&V)"), ID_VIEW_LIST);
  QAction* tree = AddCommand(menu, UiText("&Tree view", "树形视图(&T)"), ID_VIEW_TREE);
  for (QAction* a : {list, tree}) {
    a->setCheckable(true);
    views->addAction(a);
  }
  (device_view_ == 0 ? list : tree)->setChecked(true);
  menu->addSeparator();
  AddCommand(menu, UiText("&About...", "关于(&A)..."), ID_APP_ABOUT);
  // Shown in both languages.
  QMenu* test = menu->addMenu(UiText("For Test Only", "仅供测试"));
  QAction* main_stream =
      AddCommand(test, UiText("Main stream for sub pictures", "子画面请求主码流"), ID_TEST_MAIN_STREAM);
  main_stream->setCheckable(true);
  main_stream->setChecked(MainStreamForSubPictures());
}

void CVelmoraDlg::ShowSettingsMenu() {
  QMenu menu(this);
  FillSettingsMenu(&menu);
  if (int id = RunMenu(&menu, QCursor::pos())) OnCommand(id);
}

bool CVelmoraDlg::FillTreeMenu(QMenu* menu, const QPoint& pt) {
  QTreeWidgetItem* item = tree_->itemAt(pt);
  CDeviceGroupTree::ItemData* data = item ? CDeviceGroupTree::DataOf(item) : nullptr;
  if (data && data->kind == 1) return false;
  // Delete and rename need the point on a group's icon or label, not just its row.
  bool on_group = false;
  if (item && data && data->kind == 0) {
    const QRect r = tree_->visualItemRect(item);
    const QFontMetrics fm(tree_->font());
    const int label_right = r.left() + 16 + 6 + fm.horizontalAdvance(item->text(0));
    on_group = pt.x() >= r.left() && pt.x() <= label_right;
  }
  menu_item_ = on_group ? item : nullptr;
  AddCommand(menu, UiText("&Add Group...", "添加分组(&A)..."), ID_ADD_GROUP);
  AddCommand(menu, UiText("&Delete Group", "删除分组(&D)"), ID_DELETE_GROUP)->setEnabled(on_group);
  AddCommand(menu, UiText("&Rename group...", "重命名分组(&R)..."), ID_RENAME_GROUP)->setEnabled(on_group);
  return true;
}

bool CVelmoraDlg::FillListMenu(QMenu* menu, int row) {
  DeviceNode* device = list_->RowDevice(row);
  if (!device) return false;
  menu_row_ = row;
  // Shown in both languages.
  AddCommand(menu, UiText("Copy device UUID", "复制设备UUID"), ID_COPY_UUID);
  if (device->Info().id.empty()) AddCommand(menu, UiText("Modify...", "修改..."), ID_MODIFY_DEVICE);
  return true;
}

void CVelmoraDlg::ShowTreeContextMenu(const QPoint& pt) {
  QMenu menu(this);
  if (!FillTreeMenu(&menu, pt)) return;
  if (int id = RunMenu(&menu, tree_->viewport()->mapToGlobal(pt))) OnCommand(id);
}

void CVelmoraDlg::ShowListContextMenu(const QPoint& pt) {
  QListWidgetItem* item = list_->itemAt(pt);
  if (!item) return;
  QMenu menu(this);
  if (!FillListMenu(&menu, list_->row(item))) return;
  if (int id = RunMenu(&menu, list_->viewport()->mapToGlobal(pt))) OnCommand(id);
}

void CVelmoraDlg::OnAddGroup() {
  std::string name;
  if (!CGetTextDlg::GetText(this, IDS_ADD_GROUP, IDS_GROUP_NAME, &name)) return;
  QTreeWidgetItem* parent = menu_item_;
  group_tree_->AddGroup(parent, QString::fromStdString(name));
  if (parent) parent->setExpanded(true);
  group_tree_->SaveGroupFile();
}

void CVelmoraDlg::OnRenameGroup() {
  if (!menu_item_) return;
  std::string name = menu_item_->text(0).toStdString();
  if (!CGetTextDlg::GetText(this, IDS_CHANGE_GROUP_NAME, IDS_GROUP_NAME, &name)) return;
  menu_item_->setText(0, QString::fromStdString(name));
  group_tree_->SaveGroupFile();
}

void CVelmoraDlg::OnModifyDevice() {
  DeviceNode* device = list_->RowDevice(menu_row_);
  if (!device) return;
  DeviceInfo& info = device->Info();
  CAccessByUuidDlg dlg(this);
  dlg.m_4g = Contains(info.device_type, "sim");
  dlg.m_low_power = Contains(info.device_type, "lp");
  dlg.m_rvs = (info.transport_flags & kTransportP2p) != 0;
  dlg.m_webrtc = (info.transport_flags & kTransportWebrtc) != 0;
  dlg.m_webrtc2 = (info.transport_flags & kTransportWebrtc2) != 0;
  dlg.m_force_relay = info.webrtc_failed;
  dlg.m_uuid = info.uuid;
  if (dlg.DoModal() != IDOK) return;
  ApplyAccessByUuid(&info, {dlg.m_uuid, dlg.m_4g != 0, dlg.m_low_power != 0, dlg.m_rvs != 0,
                            dlg.m_webrtc != 0, dlg.m_webrtc2 != 0, dlg.m_force_relay != 0});
  list_->item(menu_row_)->setText(QString::fromStdString(info.uuid));
  list_->RedrawRow(menu_row_);
}

void CVelmoraDlg::OnHotKey() {
  CAccessByUuidDlg dlg(this);
  dlg.m_low_power = 1;
  dlg.m_rvs = 1;
  if (dlg.DoModal() != IDOK) return;
  auto* node = new DeviceNode();
  node->SetServer(&OrvelServer());
  ApplyAccessByUuid(&node->Info(), {dlg.m_uuid, dlg.m_4g != 0, dlg.m_low_power != 0, dlg.m_rvs != 0,
                                    dlg.m_webrtc != 0, dlg.m_webrtc2 != 0, dlg.m_force_relay != 0});
  DeviceNodeList& list = ProcessDeviceNodes();
  list.push_back(node);
  list_->AppendRow(QString::fromStdString(node->Info().uuid), static_cast<int>(list.size() - 1));
}

void CVelmoraDlg::OnViewSplit(int id) {
  if (id == ID_VIEW_1X1) {
    if (grid_->GetPaneCount() > 1) {
      for (int i = 1; i < grid_->GetPaneCount(); ++i) {
        CVideoWnd* pane = grid_->Pane(i);
        if (!pane || !pane->GetDevice()) continue;
        if (CP2pClient* s = pane->GetDevice()->PeekP2pClient(); s && s->GetState() != 0) {
          s->StopAllVideo();
          s->StopAudio();
        }
        pane->Reset(true);
      }
    }
    grid_n_ = 1;
  } else {
    grid_n_ = 2;
  }
  opener_->set_grid_size(grid_n_);
  // The main stream for one pane, the sub stream for several.
  opener_->SetStreamForAllPanes(grid_n_ > 1);
  WriteConfigInt("config", "view", grid_n_);
  if (int i = IndexFromId(kBtnSplit); i >= 0) SetButtonChecked(i, grid_n_ > 1);
}

void CVelmoraDlg::OnDeviceView(int id) {
  const int view = id == ID_VIEW_TREE ? 1 : 0;
  if (view == device_view_) return;
  device_view_ = view;
  list_->setVisible(view == 0);
  tree_->setVisible(view == 1);
  WriteConfigString("config", "devview", view ? "1" : "0");
}

void CVelmoraDlg::OnCommand(int id) {
  switch (id) {
    case kBtnClose:
      close();
      break;
    case kBtnMaximise:
      if (isMaximized())
        showNormal();
      else
        showMaximized();
      break;
    case kBtnMinimise:
      showMinimized();
      break;
    case kBtnSettings:
      ShowSettingsMenu();
      break;
    case kBtnRefresh:
      StopAllPanes(kStopClose);
      UpdateToolbarState();
      RefreshDeviceList();
      break;
    case kBtnSplit: {
      const int i = IndexFromId(kBtnSplit);
      OnViewSplit(i >= 0 && (GetButtonState(i) & kBtnChecked) ? ID_VIEW_2X2 : ID_VIEW_1X1);
      break;
    }
    case kBtnLogout:
    case ID_LOGOUT:
      OnLogout();
      break;
    case ID_APP_ABOUT:
      CAboutDlg(this).DoModal();
      break;
    case ID_VIEW_1X1:
    case ID_VIEW_2X2:
      OnViewSplit(id);
      break;
    case ID_SET_IDLE:
      CSetIdleDlg(this).DoModal();
      break;
    case ID_VIEW_LIST:
    case ID_VIEW_TREE:
      OnDeviceView(id);
      break;
    case ID_TEST_MAIN_STREAM:
      MainStreamForSubPictures() = !MainStreamForSubPictures();
      break;
    case ID_ADD_GROUP:
      OnAddGroup();
      break;
    case ID_DELETE_GROUP:
      if (menu_item_) {
        group_tree_->DeleteGroup(menu_item_);
        menu_item_ = nullptr;
        group_tree_->SaveGroupFile();
      }
      break;
    case ID_RENAME_GROUP:
      OnRenameGroup();
      break;
    case ID_COPY_UUID:
      if (DeviceNode* d = list_->RowDevice(menu_row_))
        QGuiApplication::clipboard()->setText(QString::fromStdString(d->Info().uuid));
      break;
    case ID_MODIFY_DEVICE:
      OnModifyDevice();
      break;
    default:
      break;
  }
}

void CVelmoraDlg::OnLogout() {
  StopAllPanes(3);
  WaitDeviceListThread(true);
  ClearDeviceNodes(&ProcessDeviceNodes());
  list_->clear();
  tree_->setUpdatesEnabled(false);
  group_tree_->ClearItemData();
  tree_->clear();
  tree_->setUpdatesEnabled(true);
  OrvelServer().Disconnect();
  OrvelServer().Uninit();
  // Nobody is signed in while the log-in dialog waits: the title bar drops the user.
  SetCurrentUser("");
  repaint();
  CLoginDlg dlg(this);
  if (dlg.DoModal() != IDOK) {
    PostMessage(hwnd(), WM_COMMAND, kBtnClose, 0);
    return;
  }
  group_tree_ = std::make_unique<CDeviceGroupTree>(GetCurrentUser(), tree_, GetAppDataFolder());
  group_tree_->SetImages(TreeIcon(0), TreeIcon(1), TreeIcon(2));
  RefreshDeviceList();
  update();
}

void CVelmoraDlg::closeEvent(QCloseEvent* e) {
  if (!closing_) {
    closing_ = true;
    WaitDeviceListThread(true);
    StopAllPanes(3);
    ClearDeviceNodes(&ProcessDeviceNodes());
    list_->clear();
    OrvelServer().Disconnect();
  }
  e->accept();
  CBmpbtnContainer::closeEvent(e);
}

// ---- tree drag ----

bool CVelmoraDlg::BeginTreeDrag(QTreeWidgetItem* item) {
  CDeviceGroupTree::ItemData* d = item ? CDeviceGroupTree::DataOf(item) : nullptr;
  if (!d || d->kind != 1) return false;
  tree_dragging_ = true;
  tree_drag_item_ = item;
  tree_drop_target_ = nullptr;
  tree_->viewport()->setCursor(Qt::DragMoveCursor);
  return true;
}

void CVelmoraDlg::TreeDragMove(const QPoint& global) {
  if (!tree_dragging_) return;
  QTreeWidgetItem* item = tree_->itemAt(tree_->viewport()->mapFromGlobal(global));
  CDeviceGroupTree::ItemData* d = item ? CDeviceGroupTree::DataOf(item) : nullptr;
  QTreeWidgetItem* target = d && d->kind != 1 ? item : nullptr;
  if (target == tree_drop_target_) return;
  if (tree_drop_target_) tree_drop_target_->setBackground(0, QBrush());
  tree_drop_target_ = target;
  if (target) target->setBackground(0, QColor(0x3A, 0x3A, 0x3A));
}

void CVelmoraDlg::EndTreeDrag(bool drop) {
  if (!tree_dragging_) return;
  if (drop && tree_drop_target_ && tree_drag_item_) {
    group_tree_->MoveDevice(tree_drag_item_, tree_drop_target_);
    group_tree_->SaveGroupFile();
  }
  if (tree_drop_target_) tree_drop_target_->setBackground(0, QBrush());
  tree_dragging_ = false;
  tree_drag_item_ = nullptr;
  tree_drop_target_ = nullptr;
  tree_->viewport()->unsetCursor();
}

bool CVelmoraDlg::eventFilter(QObject* watched, QEvent* e) {
  if (watched == tree_->viewport()) {
    static QPoint press;
    static QTreeWidgetItem* pressed = nullptr;
    switch (e->type()) {
      case QEvent::MouseButtonPress: {
        auto* m = static_cast<QMouseEvent*>(e);
        press = m->position().toPoint();
        pressed = m->button() == Qt::LeftButton ? tree_->itemAt(press) : nullptr;
        break;
      }
      case QEvent::MouseMove: {
        auto* m = static_cast<QMouseEvent*>(e);
        if (tree_dragging_) {
          TreeDragMove(m->globalPosition().toPoint());
          return true;
        }
        if (pressed && (m->buttons() & Qt::LeftButton) &&
            (m->position().toPoint() - press).manhattanLength() >= QApplication::startDragDistance()) {
          QTreeWidgetItem* item = pressed;
          pressed = nullptr;
          if (BeginTreeDrag(item)) return true;
        }
        break;
      }
      case QEvent::MouseButtonRelease:
        pressed = nullptr;
        if (tree_dragging_) {
          EndTreeDrag(static_cast<QMouseEvent*>(e)->button() == Qt::LeftButton);
          return true;
        }
        break;
      case QEvent::MouseButtonDblClick: {
        auto* m = static_cast<QMouseEvent*>(e);
        QTreeWidgetItem* item = tree_->itemAt(m->position().toPoint());
        CDeviceGroupTree::ItemData* d = item ? CDeviceGroupTree::DataOf(item) : nullptr;
        if (d && d->kind == 1 && d->device) {
          for (DeviceNode* node : ProcessDeviceNodes())
            if (&node->Info() == d->device) OpenDeviceInPane(node, -1);
          return true;
        }
        break;
      }
      case QEvent::Hide:
        EndTreeDrag(false);
        break;
      default:
        break;
    }
  }
  return CBmpbtnContainer::eventFilter(watched, e);
}

// ---- moving and sizing ----

void CVelmoraDlg::UpdateHoverCursor(const QPoint& pt) {
  if (!skin_loaded_ || isMaximized()) {
    unsetCursor();
    return;
  }
  switch (MainWindowHitTest(pt, width(), height(), ButtonFromPoint(pt) >= 0)) {
    case HTLEFT:
    case HTRIGHT:
      setCursor(Qt::SizeHorCursor);
      break;
    case HTTOP:
    case HTBOTTOM:
      setCursor(Qt::SizeVerCursor);
      break;
    case HTTOPLEFT:
    case HTBOTTOMRIGHT:
      setCursor(Qt::SizeFDiagCursor);
      break;
    case HTTOPRIGHT:
    case HTBOTTOMLEFT:
      setCursor(Qt::SizeBDiagCursor);
      break;
    default:
      unsetCursor();
      break;
  }
}

void CVelmoraDlg::mousePressEvent(QMouseEvent* e) {
  const QPoint pt = e->position().toPoint();
  if (e->button() == Qt::LeftButton && skin_loaded_ && !isMaximized()) {
    const int hit = MainWindowHitTest(pt, width(), height(), ButtonFromPoint(pt) >= 0);
    if (hit != HTCLIENT) {
      static const struct {
        int hit;
        Qt::Edges edges;
      } kEdges[] = {{HTLEFT, Qt::LeftEdge},
                    {HTRIGHT, Qt::RightEdge},
                    {HTTOP, Qt::TopEdge},
                    {HTBOTTOM, Qt::BottomEdge},
                    {HTTOPLEFT, Qt::TopEdge | Qt::LeftEdge},
                    {HTTOPRIGHT, Qt::TopEdge | Qt::RightEdge},
                    {HTBOTTOMLEFT, Qt::BottomEdge | Qt::LeftEdge},
                    {HTBOTTOMRIGHT, Qt::BottomEdge | Qt::RightEdge}};
      QWindow* w = windowHandle();
      bool system = false;
      if (w && hit == HTCAPTION) {
        system = w->startSystemMove();
      } else if (w) {
        for (const auto& k : kEdges)
          if (k.hit == hit) system = w->startSystemResize(k.edges);
      }
      if (!system) {
        // The platform does not move or size windows: follow the mouse here.
        drag_hit_ = hit;
        drag_origin_ = e->globalPosition().toPoint();
        drag_geometry_ = geometry();
      }
      return;
    }
  }
  CBmpbtnContainer::mousePressEvent(e);
}

void CVelmoraDlg::mouseMoveEvent(QMouseEvent* e) {
  if (drag_hit_ != 0) {
    const QPoint d = e->globalPosition().toPoint() - drag_origin_;
    QRect g = drag_geometry_;
    const QSize min = minimumSize();
    if (drag_hit_ == HTCAPTION) {
      g.translate(d);
    } else {
      if (drag_hit_ == HTLEFT || drag_hit_ == HTTOPLEFT || drag_hit_ == HTBOTTOMLEFT)
        g.setLeft(std::min(g.left() + d.x(), g.right() - min.width()));
      if (drag_hit_ == HTRIGHT || drag_hit_ == HTTOPRIGHT || drag_hit_ == HTBOTTOMRIGHT)
        g.setRight(std::max(g.right() + d.x(), g.left() + min.width()));
      if (drag_hit_ == HTTOP || drag_hit_ == HTTOPLEFT || drag_hit_ == HTTOPRIGHT)
        g.setTop(std::min(g.top() + d.y(), g.bottom() - min.height()));
      if (drag_hit_ == HTBOTTOM || drag_hit_ == HTBOTTOMLEFT || drag_hit_ == HTBOTTOMRIGHT)
        g.setBottom(std::max(g.bottom() + d.y(), g.top() + min.height()));
    }
    setGeometry(g);
    return;
  }
  if (!(e->buttons() & Qt::LeftButton)) UpdateHoverCursor(e->position().toPoint());
  CBmpbtnContainer::mouseMoveEvent(e);
}

void CVelmoraDlg::mouseReleaseEvent(QMouseEvent* e) {
  if (drag_hit_ != 0 && e->button() == Qt::LeftButton) {
    drag_hit_ = 0;
    return;
  }
  CBmpbtnContainer::mouseReleaseEvent(e);
}

void CVelmoraDlg::mouseDoubleClickEvent(QMouseEvent* e) {
  QPoint pt = e->position().toPoint();
  if (e->button() == Qt::LeftButton && skin_loaded_ &&
      MainWindowHitTest(pt, width(), height(), ButtonFromPoint(pt) >= 0) == HTCAPTION) {
    OnCommand(kBtnMaximise);
    return;
  }
  CBmpbtnContainer::mouseDoubleClickEvent(e);
}

void CVelmoraDlg::OnMessage(UiMessageEvent* event) {
  switch (event->message()) {
    case WM_UI_INVOKE:
      event->Invoke();
      break;
    case WM_PANE_SELECTED:
      selected_pane_ = static_cast<int>(event->wparam());
      if (controls_) controls_->UpdateTalkButtons();
      UpdateToolbarState();
      break;
    case WM_COMMAND:
      OnCommand(static_cast<int>(event->wparam()));
      break;
    default:
      break;
  }
}

// ---- play modes, toolbar, timeline ----

void CVelmoraDlg::OnButtonEvent(int index, int event) {
  const int id = IdFromIndex(index);
  if (controls_ && controls_->OnButtonEvent(id, event)) return;
  switch (id) {
    case kBtnLive:
      SwitchPlayMode(kPlayLive);
      return;
    case kBtnSd:
      SwitchPlayMode(kPlaySd);
      return;
    case kBtnCloud:
      SwitchPlayMode(kPlayCloud);
      return;
    case kBtnDataFolder:
      if (event == kBtnEventClick)
        QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(GetAppDataFolder())));
      return;
    case kBtnMediaFolder:
      if (event == kBtnEventClick)
        QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(GetMediaFolder())));
      return;
    case kBtnDate:
      if (event == kBtnEventClick && date_picker_) {
        QPoint bottom_right = rect().bottomRight();
        if (int i = StaticIndexFromId(kDatePickerId); i >= 0) {
          SkinRect r;
          uint32_t flags = 0;
          GetStaticRect(i, &r, &flags);
          bottom_right = QPoint(r.right, r.bottom);
        }
        // Open at the day the timeline shows, else today.
        const int64_t shown =
            timeline_ && timeline_->HasList() ? timeline_->cursor_time() : opener_->day_start();
        const QDate day = shown > 0 ? QDateTime::fromSecsSinceEpoch(shown).date() : QDate::currentDate();
        date_picker_->ShowAt(mapToGlobal(bottom_right), day);
      }
      return;
    default:
      // The window's own buttons arrive as commands.
      CBmpbtnContainer::OnButtonEvent(index, event);
      return;
  }
}

void CVelmoraDlg::DrawButton(QPainter* p, int index, int draw_state) {
  if (draw_state == kDrawPressed && IdFromIndex(index) == kBtnPtzPad) {
    const int quadrant = controls_ ? controls_->GetPtzDirection() : kPtzOutside;
    const int pad = IndexFromId(kBtnPtzQuadrants);
    if (quadrant >= 0 && quadrant <= 3 && pad >= 0) CBmpbtnContainer::DrawButton(p, pad, quadrant);
    return;
  }
  CBmpbtnContainer::DrawButton(p, index, draw_state);
}

void CVelmoraDlg::SwitchPlayMode(int mode) { opener_->SwitchPlayMode(mode); }

void CVelmoraDlg::OnDateSelected(int64_t day_start) {
  if (opener_->play_mode() == kPlaySd)
    opener_->QuerySdRecordsForDay(static_cast<time_t>(day_start));
  else if (opener_->play_mode() == kPlayCloud)
    opener_->QueryCloudRecordsForDay(static_cast<time_t>(day_start));
}

void CVelmoraDlg::UpdateToolbarState() {
  // While a device operation runs on its thread (the window waits for it in a nested loop), that thread
  // changes the sessions and players the toolbar reads: the buttons keep their state until it is done
  // (the 200 ms timer then brings them up to date).
  if (controls_ && !(opener_ && opener_->Busy())) controls_->UpdateToolbarState();
}

void CVelmoraDlg::UpdateTalkButtons(DeviceNode*) {
  if (controls_) controls_->UpdateTalkButtons();
}

void CVelmoraDlg::TimelineReset() {
  if (timeline_) timeline_->Reset();
  // What it played goes with it: it points at a session or player that may be freed next.
  playback_.reset();
}

void CVelmoraDlg::TimelineSetRecordList(CP2pClient* session, CCsPlayerFw* player,
                                        const std::vector<PlaybackSegment>* list, int64_t day_start,
                                        RenderTarget* targets) {
  if (!timeline_) return;
  CVideoWnd* pane = grid_->Pane(0);
  const HWND pane_window = pane ? pane->hwnd() : 0;
  const HWND timeline_window = timeline_->hwnd();
  PlaybackSinkFactory make_sink = [targets, pane_window, timeline_window] {
    return MakePlaybackSink(targets, 4, pane_window, timeline_window);
  };
  std::unique_ptr<TimelinePlayback> next;
  if (session)
    next = std::make_unique<SdPlayback>(session, std::move(make_sink));
  else if (player)
    next = std::make_unique<CloudPlayback>(player, std::move(make_sink));
  // The timeline lets go of the previous day's playback before it is freed.
  timeline_->SetRecordList(next.get(), next ? list : nullptr, day_start);
  playback_ = std::move(next);
}

void CVelmoraDlg::TimelineRedraw() {
  if (timeline_) timeline_->update();
}

void CVelmoraDlg::PlayModeChanged(int mode) {
  const bool playback = mode != kPlayLive;
  if (controls_) controls_->SetPlayMode(mode);
  if (timeline_) {
    timeline_->setVisible(playback);
    if (playback) timeline_->raise();
  }
  // In playback the grid ends above the timeline (and its frame), so no picture hides under it.
  const int g = StaticIndexFromId(kGridId), t = StaticIndexFromId(kTimelineId);
  SkinRect grid_rect, timeline_rect;
  uint32_t grid_flags = 0;
  if (GetStaticRect(g, &grid_rect, &grid_flags) && GetStaticRect(t, &timeline_rect, nullptr)) {
    grid_rect.bottom = playback ? timeline_rect.top - kGridFrame : timeline_rect.bottom;
    MoveStatic(g, grid_rect, grid_flags);
  }
  if (!playback && date_picker_) date_picker_->hide();
  auto show = [this](int id, bool on) {
    if (int i = IndexFromId(id); i >= 0) SetButtonVisible(i, on);
  };
  show(kBtnPtzPad, !playback);
  for (int id :
       {kBtnDate, static_cast<int>(kBtnSpeed0), static_cast<int>(kBtnSpeed1), static_cast<int>(kBtnSpeed2)})
    show(id, playback);
  if (playback)
    for (int id : {kBtnPip, kBtnExchange, kBtnLens}) show(id, false);
  const struct {
    int id, mode;
  } kModeButtons[] = {{kBtnLive, kPlayLive}, {kBtnSd, kPlaySd}, {kBtnCloud, kPlayCloud}};
  for (const auto& b : kModeButtons)
    if (int i = IndexFromId(b.id); i >= 0) SetButtonChecked(i, b.mode == mode);
  // The split button belongs to live mode.
  if (int i = IndexFromId(kBtnSplit); i >= 0) SetButtonEnabled(i, !playback);
}

void CVelmoraDlg::ShowToast(const QString& text) {
  if (toast_) toast_->Show(text, 0, nullptr);
}

void CVelmoraDlg::HideToast() {
  if (toast_) toast_->HideToast();
}

void CVelmoraDlg::WaitDeviceListThread() {
  // A finished device-list thread is reaped; one still running (thumbnails) keeps going.
  if (list_thread_.joinable() && list_thread_done_.load()) list_thread_.join();
}

void CVelmoraDlg::ExchangePicture(int channel_a, int channel_b) {
  if (controls_) controls_->ExchangePicture(channel_a, channel_b);
}

void CVelmoraDlg::DeviceReachable(DeviceNode* device, bool reachable) {
  if (list_) list_->SetDeviceLost(device, !reachable);
}

void CVelmoraDlg::PaneClicked() {
  if (date_picker_) date_picker_->hide();
  UpdateToolbarState();
}
