// The main window with a fake device list: loading in the background, preload connects, menus, the two
// device views, the split commands, drags onto panes and within the tree, the hit test with moving and
// sizing, the idle close and closing during the thumbnail pass; against cloudsim: the account's list, and
// log-out to another account and to the end.
#include "app/main_window.h"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCalendarWidget>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <atomic>
#include <chrono>
#include <thread>

#include "app/app_state.h"
#include "app/dialogs/login_dlg.h"
#include "app/dialogs/small_dialogs.h"
#include "app/gui/date_picker.h"
#include "app/gui/device_group_tree.h"
#include "app/gui/device_row.h"
#include "app/gui/play_controls.h"
#include "app/gui/timeline.h"
#include "app/gui/toolbar.h"
#include "app/gui/video_grid.h"
#include "app/settings.h"
#include "app/ui/blocking_runner.h"
#include "app/ui/message_box.h"
#include "app/ui/strings.h"
#include "app/velmora_app.h"
#include "sdk/cloud/orvel_server.h"
#include "util/json_holder.h"
#include "tests/app/app_test_util.h"
#include "tests/app/login_driver.h"
#include "tests/sdk/cloud/cloudsim_harness.h"

namespace {

void PumpUntil(const std::function<bool()>& done, int ms = 10000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done() && std::chrono::steady_clock::now() < end) {
    QApplication::processEvents(QEventLoop::AllEvents, 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

DeviceNode* FakeNode(const std::string& id, const std::string& uuid, const char* type, int online) {
  auto* n = new DeviceNode();
  n->Info().id = id;
  n->Info().uuid = uuid;
  n->Info().name = "Cam " + uuid;
  n->Info().device_type = type;
  n->Info().is_online = online;
  n->Info().current_version = "01020304";
  n->Info().image_path = "http://127.0.0.1:1/thumbs/" + uuid + ".jpg";
  return n;
}

// The window's opener with connects and live starts that succeed without a device.
std::atomic<int> g_connects{0};
std::atomic<int> g_starts{0};
class FakeOpener : public CDeviceOpener {
 public:
  FakeOpener(QWidget* parent, DeviceOpenUi* ui) : CDeviceOpener(parent, ui) {}
  int ConnectDevice(DeviceNode*, CVideoWnd*) override {
    ++g_connects;
    return 0;
  }

 protected:
  int StartLiveChannels(CP2pClient*, IAvRender* sink, int) override {
    ++g_starts;
    ReleaseSink(sink);
    return 0;
  }
};

// Records the panes' stops instead of reaching sessions.
class TestDlg : public CVelmoraDlg {
 public:
  int StopAllPanes(int kind) override {
    stops.push_back(kind);
    return CVelmoraDlg::StopAllPanes(kind);
  }
  std::vector<int> stops;
};

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    apptest::App();
    SetUiLanguageOverride(kLangEnglish);
    SetAppDataFolder(data_.path());
    SetCacheRoot((data_ / "media").c_str());
    SetMainWindowSkinPath(std::string(VELMORA_SKIN_DIR) + "/gui.desc");
    SetCurrentUser("ann@example.test");
    SetMaxIdleTime(300);
    DeviceNodeSetLanOnly(true);  // preload connects fail at once
    g_connects = 0;
    g_starts = 0;
    SetDeviceOpenerFactory([](QWidget* parent, DeviceOpenUi* ui) { return new FakeOpener(parent, ui); });
    SetDeviceListSource({[this](DeviceNodeList* nodes) { return Load(nodes); },
                         [this](const std::string& url, const std::string&) { return Download(url); }});
  }
  void TearDown() override {
    SetDeviceListSource({});
    SetDeviceOpenerFactory(nullptr);
    SetMessageBoxHook(nullptr);
    SetMenuHook(nullptr);
    SetMainWindowSkinPath("");
    DeviceNodeSetLanOnly(false);
    ClearUiLanguageOverride();
    SetAppDataFolder(".");
  }
  virtual int Load(DeviceNodeList* nodes) {
    std::this_thread::sleep_for(std::chrono::milliseconds(load_ms_));
    nodes->push_back(FakeNode("11", "CAM-A", "ipc", 1));
    nodes->push_back(FakeNode("12", "CAM-LP", "lpsim", 1));
    nodes->push_back(FakeNode("13", "CAM-OFF", "ipc", 0));
    nodes->push_back(FakeNode("14", "CAM-B", "wifi", 1));
    return 0;
  }
  int Download(const std::string& url) {
    downloads_.fetch_add(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(download_ms_));
    return -1;
  }
  void WaitLoaded(CVelmoraDlg* w) {
    PumpUntil([&] { return w->device_list()->count() > 0 && !w->DeviceListThreadRunning(); });
    QApplication::processEvents();
  }
  QMouseEvent Mouse(QEvent::Type type, QWidget* w, const QPoint& local, Qt::MouseButtons buttons) {
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    return QMouseEvent(type, QPointF(local), QPointF(w->mapToGlobal(local)), button, buttons, Qt::NoModifier);
  }

  TempDir data_{"velmora_main"};
  int load_ms_ = 50;
  int download_ms_ = 0;
  std::atomic<int> downloads_{0};
};

TEST_F(MainWindowTest, TheListLoadsInTheBackgroundWithPreloadsGroupsAndThePass) {
  apptest::WriteFile(data_ / "config.ini", "[config]\nenable_preload=1\n");
  apptest::WriteFile(data_ / "ann@example.test-group.txt", "+Home\n\tCAM-B\n");
  load_ms_ = 300;
  TestDlg w;
  ASSERT_TRUE(w.skin_loaded());
  // Loading: the window is disabled and the toast says so.
  EXPECT_FALSE(w.isEnabled());
  EXPECT_TRUE(w.toast()->isVisible());
  EXPECT_EQ(w.toast()->text(), "Loading device list ...");
  EXPECT_EQ(w.device_list()->count(), 0);
  WaitLoaded(&w);
  EXPECT_TRUE(w.isEnabled());
  EXPECT_FALSE(w.toast()->isVisible());
  ASSERT_EQ(w.device_list()->count(), 4);
  EXPECT_EQ(w.device_list()->item(2)->text(), "CAM-OFF");
  EXPECT_EQ(w.device_list()->RowDeviceIndex(2), 2);
  EXPECT_EQ(w.device_list()->rect().height() > 0, true);
  // The pass went over every device and the refresh button is back.
  EXPECT_EQ(downloads_.load(), 4);
  EXPECT_TRUE(w.GetButtonState(w.IndexFromId(1001)) & kBtnEnabled);
  // Preload: only online devices that are not low power got a connect (and a session object).
  const DeviceNodeList& nodes = ProcessDeviceNodes();
  ASSERT_EQ(nodes.size(), 4u);
  for (DeviceNode* n : nodes) n->JoinConnectThread();
  EXPECT_NE(nodes[0]->PeekP2pClient(), nullptr);
  EXPECT_EQ(nodes[1]->PeekP2pClient(), nullptr) << "low power";
  EXPECT_EQ(nodes[2]->PeekP2pClient(), nullptr) << "offline";
  EXPECT_NE(nodes[3]->PeekP2pClient(), nullptr);
  // The groups file filled the tree: Home with CAM-B, the rest at the root.
  QTreeWidget* tree = w.tree();
  EXPECT_FALSE(tree->isVisible());
  QStringList top;
  for (int i = 0; i < tree->topLevelItemCount(); ++i) top << tree->topLevelItem(i)->text(0);
  EXPECT_TRUE(top.contains("Home")) << top.join(",").toStdString();
  EXPECT_EQ(tree->topLevelItemCount(), 4);
  // No thumbnail came (the downloads failed): the rows hold their text lines without a gap below them.
  EXPECT_EQ(w.device_list()->visualItemRect(w.device_list()->item(1)).height(),
            DeviceRowHeight(w.device_list()->RowView(1)));
  EXPECT_LT(w.device_list()->visualItemRect(w.device_list()->item(1)).height(), kDeviceRowHeight);
}

TEST_F(MainWindowTest, AccountsOf24DevicesGetNoPreloadAndNoThumbnails) {
  apptest::WriteFile(data_ / "config.ini", "[config]\nenable_preload=1\n");
  SetDeviceListSource({[](DeviceNodeList* nodes) {
                         for (int i = 0; i < 24; ++i)
                           nodes->push_back(FakeNode(std::to_string(i), "C" + std::to_string(i), "ipc", 1));
                         return 0;
                       },
                       [this](const std::string& url, const std::string&) { return Download(url); }});
  CVelmoraDlg w;
  WaitLoaded(&w);
  EXPECT_EQ(w.device_list()->count(), 24);
  EXPECT_EQ(downloads_.load(), 0);
  for (DeviceNode* n : ProcessDeviceNodes()) EXPECT_EQ(n->PeekP2pClient(), nullptr);
}

TEST_F(MainWindowTest, ClosingDuringTheThumbnailPassStopsItAfterTheCurrentDevice) {
  download_ms_ = 300;
  CVelmoraDlg w;
  w.show();
  PumpUntil([&] { return downloads_.load() >= 1; });
  ASSERT_TRUE(w.DeviceListThreadRunning());
  w.close();
  EXPECT_FALSE(w.DeviceListThreadRunning());
  EXPECT_LE(downloads_.load(), 2);
  EXPECT_TRUE(ProcessDeviceNodes().empty());
  EXPECT_EQ(w.device_list()->count(), 0);
}

TEST_F(MainWindowTest, SettingsMenuShowsTheTestItemsInEnglishToo) {
  CVelmoraDlg w;
  WaitLoaded(&w);
  QMenu menu;
  w.FillSettingsMenu(&menu);
  std::vector<int> ids;
  QMenu* test = nullptr;
  for (QAction* a : menu.actions()) {
    if (a->menu()) test = a->menu();
    ids.push_back(a->isSeparator() ? 0 : a->data().toInt());
  }
  EXPECT_EQ(ids, (std::vector<int>{ID_SET_IDLE, 0, ID_VIEW_LIST, ID_VIEW_TREE, 0, ID_APP_ABOUT, 0}));
  EXPECT_EQ(menu.actions()[0]->text(), "&Interval to auto-close for 4G camera ...");
  EXPECT_TRUE(menu.actions()[2]->isChecked());
  EXPECT_FALSE(menu.actions()[3]->isChecked());
  ASSERT_NE(test, nullptr);
  EXPECT_EQ(test->title(), "For Test Only");
  ASSERT_EQ(test->actions().size(), 1);
  EXPECT_EQ(test->actions()[0]->data().toInt(), ID_TEST_MAIN_STREAM);
  EXPECT_FALSE(test->actions()[0]->isChecked());

  // The test flag toggles; the tree view is chosen through the menu.
  SetMenuHook([](QMenu*) { return int(ID_TEST_MAIN_STREAM); });
  w.OnCommand(1012);
  EXPECT_TRUE(MainStreamForSubPictures());
  w.OnCommand(ID_TEST_MAIN_STREAM);
  EXPECT_FALSE(MainStreamForSubPictures());
  w.show();
  w.OnCommand(ID_VIEW_TREE);
  EXPECT_EQ(w.device_view(), 1);
  EXPECT_TRUE(w.tree()->isVisible());
  EXPECT_FALSE(w.device_list()->isVisible());
  EXPECT_EQ(ReadConfigInt("config", "devview", -1), 1);
  QMenu again;
  w.FillSettingsMenu(&again);
  EXPECT_TRUE(again.actions()[3]->isChecked());
  w.OnCommand(ID_VIEW_LIST);
  EXPECT_TRUE(w.device_list()->isVisible());
  EXPECT_EQ(ReadConfigInt("config", "devview", -1), 0);

  // Chinese keeps the same items.
  SetUiLanguageOverride(kLangChinese);
  QMenu zh;
  w.FillSettingsMenu(&zh);
  EXPECT_EQ(zh.actions().size(), menu.actions().size());
  EXPECT_EQ(zh.actions().back()->menu()->actions()[0]->data().toInt(), ID_TEST_MAIN_STREAM);
}

// What the window shows at a size, by mode: every visible button, text and child control, as rectangles.
std::vector<std::pair<QString, QRect>> VisibleParts(CVelmoraDlg& w) {
  std::vector<std::pair<QString, QRect>> parts;
  auto qrect = [](const SkinRect& r) {
    return QRect(QPoint(r.left, r.top), QPoint(r.right - 1, r.bottom - 1));
  };
  for (int i = 0; i < w.GetButtonCount(); ++i) {
    if (w.GetButtonState(i) & kBtnHidden) continue;
    SkinRect r;
    uint32_t flags = 0;
    w.GetButtonRect(i, &r, &flags);
    parts.emplace_back(QStringLiteral("button %1").arg(w.IdFromIndex(i)), qrect(r));
  }
  for (int i = 0; i < static_cast<int>(w.skin().statics.size()); ++i) {
    if (w.skin().statics[i].kind != kStaticText) continue;
    SkinRect r;
    uint32_t flags = 0;
    w.GetStaticRect(i, &r, &flags);
    parts.emplace_back(QStringLiteral("text %1").arg(QString::fromStdString(w.skin().statics[i].text.text)),
                       qrect(r));
  }
  for (QWidget* c : {static_cast<QWidget*>(w.device_list()), static_cast<QWidget*>(w.tree()),
                     static_cast<QWidget*>(w.grid()), static_cast<QWidget*>(w.timeline())})
    if (c->isVisibleTo(&w)) parts.emplace_back(c->objectName(), c->geometry());
  return parts;
}

// The window cannot be made smaller than its minimum, and there, in live mode with every button of a
// multi-lens camera and in playback with the date and speed buttons, no two parts overlap and none is cut.
TEST_F(MainWindowTest, AtItsMinimumSizeNothingOverlapsOrIsCut) {
  for (UiLanguage lang : {kLangEnglish, kLangChinese}) {
    SCOPED_TRACE(lang);
    SetUiLanguageOverride(lang);
    CVelmoraDlg w;
    WaitLoaded(&w);
    w.show();
    w.resize(500, 350);
    QApplication::processEvents();
    EXPECT_EQ(w.size(), QSize(kMinWindowWidth, kMinWindowHeight));
    for (int mode : {kPlayLive, kPlaySd}) {
      SCOPED_TRACE(mode);
      w.SwitchPlayMode(mode);
      if (mode == kPlayLive)
        for (int id : {1110, 1111, 1113}) w.SetButtonVisible(w.IndexFromId(id), true);
      QApplication::processEvents();
      const auto parts = VisibleParts(w);
      ASSERT_GT(parts.size(), 15u);
      if (const char* dir = getenv("VELMORA_SHOT_DIR"))
        w.grab().save(QStringLiteral("%1/minimum-size-%2-%3.png")
                          .arg(dir, mode == kPlayLive ? "live" : "sd", lang == kLangChinese ? "zh" : "en"));
      for (size_t i = 0; i < parts.size(); ++i) {
        EXPECT_TRUE(w.rect().contains(parts[i].second)) << parts[i].first.toStdString() << " is cut";
        for (size_t j = i + 1; j < parts.size(); ++j)
          EXPECT_FALSE(parts[i].second.intersects(parts[j].second))
              << parts[i].first.toStdString() << " overlaps " << parts[j].first.toStdString();
      }
    }
  }
}

TEST_F(MainWindowTest, TooltipsAndTheSplitCommands) {
  {
    CVelmoraDlg w;
    WaitLoaded(&w);
    EXPECT_EQ(w.GetTooltipText(w.IndexFromId(1002)), "Split 2x2");
    EXPECT_EQ(w.GetTooltipText(w.IndexFromId(1001)), "Device List");
    // The caption's buttons: settings, data folder, pictures, log-out and the window's own.
    for (int id : {1012, 1000, 1011, 1006, 1005, 1004, 1003})
      EXPECT_FALSE(w.GetTooltipText(w.IndexFromId(id)).isEmpty()) << id;
    EXPECT_EQ(w.GetTooltipText(w.IndexFromId(1012)), "Settings");
    // view defaults to 1.
    EXPECT_EQ(w.grid_size(), 1);
    EXPECT_EQ(w.grid()->GetPaneCount(), 1);
    EXPECT_FALSE(w.GetButtonState(w.IndexFromId(1002)) & kBtnChecked);
    w.OnCommand(ID_VIEW_2X2);
    EXPECT_EQ(w.grid()->GetPaneCount(), 4);
    EXPECT_TRUE(w.GetButtonState(w.IndexFromId(1002)) & kBtnChecked);
    EXPECT_EQ(ReadConfigInt("config", "view", 0), 2);
    // Devices in panes 0 and 2; back to 1 × 1 only the first stays.
    w.OpenDeviceInPane(ProcessDeviceNodes()[0], 0);
    w.OpenDeviceInPane(ProcessDeviceNodes()[3], 2);
    w.OnCommand(ID_VIEW_1X1);
    EXPECT_EQ(w.grid()->GetPaneCount(), 1);
    EXPECT_EQ(w.grid()->Pane(0)->GetDevice(), ProcessDeviceNodes()[0]);
    EXPECT_EQ(w.grid()->Pane(2)->GetDevice(), nullptr);
    EXPECT_EQ(ReadConfigInt("config", "view", 0), 1);
    // The button: checked after the click means 2 × 2.
    w.SetButtonChecked(w.IndexFromId(1002), true);
    w.OnCommand(1002);
    EXPECT_EQ(w.grid_size(), 2);
  }
  // A new window takes the saved size.
  CVelmoraDlg second;
  EXPECT_EQ(second.grid()->GetPaneCount(), 4);
}

TEST_F(MainWindowTest, ListRowsOpenByDoubleClickAndByDragOntoAPane) {
  CVelmoraDlg w;
  w.show();
  WaitLoaded(&w);
  w.OnCommand(ID_VIEW_2X2);
  QApplication::processEvents();
  // Drag row 3 onto pane 2.
  w.BeginListDrag(3);
  ASSERT_TRUE(w.grid()->Capturing());
  CVideoWnd* pane2 = w.grid()->Pane(2);
  w.grid()->CaptureMove(pane2->mapToGlobal(pane2->rect().center()));
  EXPECT_EQ(w.grid()->DropTarget(), pane2);
  w.grid()->CaptureRelease();
  EXPECT_EQ(pane2->GetDevice(), ProcessDeviceNodes()[3]);
  EXPECT_FALSE(pane2->DropHighlight());
  // A double-click opens row 0 in the first free pane.
  QListWidgetItem* item = w.device_list()->item(0);
  emit w.device_list()->itemDoubleClicked(item);
  EXPECT_EQ(w.grid()->Pane(0)->GetDevice(), ProcessDeviceNodes()[0]);
  // Both went through the opener: connected and started live.
  EXPECT_EQ(g_connects.load(), 2);
  EXPECT_EQ(g_starts.load(), 2);
  EXPECT_EQ(w.grid()->GetSelectedPane(), w.grid()->Pane(0));
}

TEST_F(MainWindowTest, ToolbarClicksReachTheOpenerTheTimelineAndTheSelectedPane) {
  CVelmoraDlg w;
  w.show();
  WaitLoaded(&w);
  auto click = [&w](int id) { w.OnButtonEvent(w.IndexFromId(id), kBtnEventClick); };
  auto visible = [&w](int id) { return !(w.GetButtonState(w.IndexFromId(id)) & kBtnHidden); };
  ASSERT_NE(w.timeline(), nullptr);
  EXPECT_FALSE(w.timeline()->isVisible());
  EXPECT_TRUE(visible(1101));
  EXPECT_FALSE(visible(1010));

  // Opened live: the toolbar follows the selected pane (close enabled).
  emit w.device_list()->itemDoubleClicked(w.device_list()->item(0));
  EXPECT_EQ(g_connects.load(), 1);
  ASSERT_EQ(w.grid()->GetSelectedPane(), w.grid()->Pane(0));
  w.UpdateToolbarState();
  EXPECT_TRUE(w.GetButtonState(w.IndexFromId(1106)) & kBtnEnabled);
  // Close video (1106) goes through the play controls and the pane control to the opener.
  click(1106);
  EXPECT_EQ(w.grid()->Pane(0)->GetDevice(), nullptr);
  EXPECT_FALSE(w.GetButtonState(w.IndexFromId(1106)) & kBtnEnabled);

  // SD-card mode (1008): one pane, the timeline, date and speed buttons; no pan-tilt pad.
  w.OnCommand(ID_VIEW_2X2);
  click(1008);
  EXPECT_EQ(w.play_mode(), kPlaySd);
  EXPECT_EQ(w.play_controls()->play_mode(), kPlaySd);
  EXPECT_EQ(w.grid()->GetPaneCount(), 1);
  EXPECT_TRUE(w.timeline()->isVisible());
  EXPECT_TRUE(visible(1010));
  EXPECT_TRUE(visible(1107));
  EXPECT_FALSE(visible(1101));
  EXPECT_TRUE(w.GetButtonState(w.IndexFromId(1008)) & kBtnChecked);
  // Opened in SD mode the device's day is queried at once; a day picked in the picker (button 1010) is
  // queried again on the first pane (both end in the box of a device without SD card here).
  std::vector<QString> boxes;
  SetMessageBoxHook([&boxes](QWidget*, const QString& text, const QString&, UiBoxIcon) {
    boxes.push_back(text);
    return IDOK;
  });
  emit w.device_list()->itemDoubleClicked(w.device_list()->item(0));
  EXPECT_EQ(w.grid()->Pane(0)->GetDevice(), ProcessDeviceNodes()[0]);
  EXPECT_EQ(boxes.size(), 1u);
  click(1010);
  EXPECT_TRUE(w.date_picker()->isVisible());
  static_cast<CmyMonthCalCtrl*>(w.date_picker())->Select(QDate::currentDate().addDays(-1));
  EXPECT_FALSE(w.date_picker()->isVisible());
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[1], NoSdCardText());
  SetMessageBoxHook(nullptr);
  // Back to live hides timeline and picker, and the grid is 2 x 2 again.
  click(1010);
  click(1007);
  EXPECT_EQ(w.play_mode(), kPlayLive);
  EXPECT_FALSE(w.timeline()->isVisible());
  EXPECT_FALSE(w.date_picker()->isVisible());
  EXPECT_EQ(w.grid()->GetPaneCount(), 4);
  EXPECT_TRUE(visible(1101));
  EXPECT_FALSE(visible(1010));
}

TEST_F(MainWindowTest, ContextMenusOfTheListAndTheTree) {
  apptest::WriteFile(data_ / "ann@example.test-group.txt", "+Home\n\tCAM-B\n+Empty\n");
  CVelmoraDlg w;
  w.show();
  WaitLoaded(&w);
  // A device of the service: copy only; one added by hand: copy and modify.
  QMenu service;
  ASSERT_TRUE(w.FillListMenu(&service, 0));
  ASSERT_EQ(service.actions().size(), 1);
  EXPECT_EQ(service.actions()[0]->data().toInt(), ID_COPY_UUID);
  ProcessDeviceNodes()[1]->Info().id.clear();
  QMenu by_hand;
  ASSERT_TRUE(w.FillListMenu(&by_hand, 1));
  ASSERT_EQ(by_hand.actions().size(), 2);
  EXPECT_EQ(by_hand.actions()[1]->data().toInt(), ID_MODIFY_DEVICE);
  EXPECT_FALSE(w.FillListMenu(&by_hand, 17)) << "no row, no menu";
  SetMenuHook([](QMenu*) { return int(ID_COPY_UUID); });
  w.ShowListContextMenu(w.device_list()->visualItemRect(w.device_list()->item(2)).center());
  EXPECT_EQ(QGuiApplication::clipboard()->text(), "CAM-OFF");

  // The tree: a device item has no menu; empty space has one with delete and rename disabled.
  w.OnCommand(ID_VIEW_TREE);
  QApplication::processEvents();
  QTreeWidget* tree = w.tree();
  QTreeWidgetItem* home = nullptr;
  QTreeWidgetItem* empty = nullptr;
  for (int i = 0; i < tree->topLevelItemCount(); ++i) {
    if (tree->topLevelItem(i)->text(0) == "Home") home = tree->topLevelItem(i);
    if (tree->topLevelItem(i)->text(0) == "Empty") empty = tree->topLevelItem(i);
  }
  ASSERT_TRUE(home && empty);
  home->setExpanded(true);
  QApplication::processEvents();
  ASSERT_GT(home->childCount(), 0);
  QMenu none;
  EXPECT_FALSE(w.FillTreeMenu(&none, tree->visualItemRect(home->child(0)).center()));
  QMenu space;
  ASSERT_TRUE(w.FillTreeMenu(&space, QPoint(10, tree->viewport()->height() - 3)));
  ASSERT_EQ(space.actions().size(), 3);
  EXPECT_TRUE(space.actions()[0]->isEnabled());
  EXPECT_FALSE(space.actions()[1]->isEnabled());
  EXPECT_FALSE(space.actions()[2]->isEnabled());
  QRect label = tree->visualItemRect(empty);
  QMenu group;
  ASSERT_TRUE(w.FillTreeMenu(&group, QPoint(label.left() + 24, label.center().y())));
  EXPECT_TRUE(group.actions()[1]->isEnabled());
  // Delete the group through its menu: the file no longer names it.
  SetMenuHook([](QMenu*) { return int(ID_DELETE_GROUP); });
  w.ShowTreeContextMenu(QPoint(label.left() + 24, label.center().y()));
  EXPECT_EQ(apptest::ReadFile(data_ / "ann@example.test-group.txt").find("Empty"), std::string::npos);
}

TEST_F(MainWindowTest, ATreeDragMovesADeviceIntoAGroup) {
  apptest::WriteFile(data_ / "ann@example.test-group.txt", "+Home\n");
  CVelmoraDlg w;
  w.OnCommand(ID_VIEW_TREE);
  w.show();
  WaitLoaded(&w);
  QTreeWidget* tree = w.tree();
  QTreeWidgetItem* home = nullptr;
  QTreeWidgetItem* cam = nullptr;
  for (int i = 0; i < tree->topLevelItemCount(); ++i) {
    QTreeWidgetItem* it = tree->topLevelItem(i);
    if (it->text(0) == "Home") home = it;
    if (it->text(0).contains("CAM-A")) cam = it;
  }
  ASSERT_TRUE(home && cam);
  EXPECT_FALSE(w.BeginTreeDrag(home)) << "groups are not dragged";
  ASSERT_TRUE(w.BeginTreeDrag(cam));
  // Over another device: no target; over the group: the target.
  QTreeWidgetItem* other = tree->topLevelItem(tree->indexOfTopLevelItem(cam) == 1 ? 2 : 1);
  w.TreeDragMove(tree->viewport()->mapToGlobal(tree->visualItemRect(other).center()));
  if (CDeviceGroupTree::DataOf(other)->kind == 1) {
    EXPECT_EQ(w.TreeDropTarget(), nullptr);
  }
  w.TreeDragMove(tree->viewport()->mapToGlobal(tree->visualItemRect(home).center()));
  EXPECT_EQ(w.TreeDropTarget(), home);
  w.EndTreeDrag(true);
  EXPECT_FALSE(w.TreeDragging());
  // The item is made anew under the group.
  ASSERT_EQ(home->childCount(), 1);
  EXPECT_TRUE(home->child(0)->text(0).contains("CAM-A"));
  EXPECT_NE(apptest::ReadFile(data_ / "ann@example.test-group.txt").find("\tCAM-A"), std::string::npos);
}

TEST_F(MainWindowTest, HitTestTable) {
  const int w = 1280, h = 800;
  const struct {
    int x, y;
    bool button;
    int hit;
  } kCases[] = {
      {0, 0, false, HTTOPLEFT},          {4, 4, false, HTTOPLEFT},     {5, 4, false, HTTOP},
      {1275, 2, false, HTTOP},           {1276, 2, false, HTTOPRIGHT}, {600, 5, false, HTCAPTION},
      {600, 31, false, HTCAPTION},       {600, 20, true, HTCLIENT},    {600, 32, false, HTCLIENT},
      {1265, 785, false, HTBOTTOMRIGHT}, {1264, 796, false, HTBOTTOM}, {3, 796, false, HTBOTTOMLEFT},
      {4, 796, false, HTBOTTOM},         {4, 400, false, HTLEFT},      {5, 400, false, HTCLIENT},
      {1276, 400, false, HTRIGHT},       {1275, 400, false, HTCLIENT}, {2, 2, true, HTTOPLEFT},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(MainWindowHitTest(QPoint(c.x, c.y), w, h, c.button), c.hit) << c.x << "," << c.y;
}

TEST_F(MainWindowTest, TheCaptionMovesTheWindowAndTheCornerSizesIt) {
  CVelmoraDlg w;
  w.setGeometry(100, 100, 1000, 700);
  w.show();
  WaitLoaded(&w);
  QApplication::processEvents();
  const QRect start = w.geometry();
  // On the caption strip, away from the buttons.
  const QPoint grip(400, 16);
  ASSERT_LT(w.ButtonFromPoint(grip), 0);
  QMouseEvent press = Mouse(QEvent::MouseButtonPress, &w, grip, Qt::LeftButton);
  QApplication::sendEvent(&w, &press);
  QMouseEvent move = Mouse(QEvent::MouseMove, &w, grip + QPoint(50, 40), Qt::LeftButton);
  QApplication::sendEvent(&w, &move);
  QMouseEvent release = Mouse(QEvent::MouseButtonRelease, &w, grip + QPoint(50, 40), Qt::NoButton);
  QApplication::sendEvent(&w, &release);
  EXPECT_EQ(w.geometry().topLeft(), start.topLeft() + QPoint(50, 40));
  EXPECT_EQ(w.geometry().size(), start.size());

  // The bottom-right corner.
  const QRect moved = w.geometry();
  const QPoint corner(w.width() - 6, w.height() - 6);
  QMouseEvent p2 = Mouse(QEvent::MouseButtonPress, &w, corner, Qt::LeftButton);
  QApplication::sendEvent(&w, &p2);
  QMouseEvent m2 = Mouse(QEvent::MouseMove, &w, corner + QPoint(30, 20), Qt::LeftButton);
  QApplication::sendEvent(&w, &m2);
  QMouseEvent r2 = Mouse(QEvent::MouseButtonRelease, &w, corner + QPoint(30, 20), Qt::NoButton);
  QApplication::sendEvent(&w, &r2);
  EXPECT_EQ(w.geometry().topLeft(), moved.topLeft());
  EXPECT_EQ(w.geometry().size(), moved.size() + QSize(30, 20));
  // The skin follows: the grid grew with the window.
  QApplication::processEvents();
  EXPECT_GT(w.grid()->width(), 0);

  // The left edge: the right side stays.
  const QRect sized = w.geometry();
  QMouseEvent p3 = Mouse(QEvent::MouseButtonPress, &w, QPoint(2, 300), Qt::LeftButton);
  QApplication::sendEvent(&w, &p3);
  QMouseEvent m3 = Mouse(QEvent::MouseMove, &w, QPoint(-18, 300), Qt::LeftButton);
  QApplication::sendEvent(&w, &m3);
  QMouseEvent r3 = Mouse(QEvent::MouseButtonRelease, &w, QPoint(-18, 300), Qt::NoButton);
  QApplication::sendEvent(&w, &r3);
  EXPECT_EQ(w.geometry().right(), sized.right());
  EXPECT_EQ(w.geometry().width(), sized.width() + 20);

  // A press in the client area is no drag.
  const QRect before = w.geometry();
  QMouseEvent p4 = Mouse(QEvent::MouseButtonPress, &w, QPoint(600, 400), Qt::LeftButton);
  QApplication::sendEvent(&w, &p4);
  QMouseEvent m4 = Mouse(QEvent::MouseMove, &w, QPoint(650, 450), Qt::LeftButton);
  QApplication::sendEvent(&w, &m4);
  QMouseEvent r4 = Mouse(QEvent::MouseButtonRelease, &w, QPoint(650, 450), Qt::NoButton);
  QApplication::sendEvent(&w, &r4);
  EXPECT_EQ(w.geometry(), before);
}

TEST_F(MainWindowTest, TheIdleCloseComesAtTheSixtyFirstTickAfterTheLastInput) {
  TestDlg w;
  WaitLoaded(&w);
  w.stops.clear();
  // Ticks of timer 21 are the clock here.
  for (int i = 0; i < 30; ++i) w.OnIdleTimer();
  w.ResetIdleCounter();  // some input
  for (int i = 0; i < 60; ++i) w.OnIdleTimer();
  EXPECT_EQ(w.idle_counter(), 300);
  EXPECT_TRUE(w.stops.empty());
  w.OnIdleTimer();
  EXPECT_EQ(w.stops, (std::vector<int>{4}));
  EXPECT_EQ(w.idle_counter(), 0);
  // The counter restarts: the next close is 61 ticks later.
  for (int i = 0; i < 60; ++i) w.OnIdleTimer();
  EXPECT_EQ(w.stops.size(), 1u);
  w.OnIdleTimer();
  EXPECT_EQ(w.stops.size(), 2u);

  // The idle close leaves a device without a running session where it is.
  w.OpenDeviceInPane(ProcessDeviceNodes()[0], 0);
  w.OnIdleTimer();
  EXPECT_EQ(w.StopAllPanes(4), 0);
  EXPECT_EQ(w.grid()->Pane(0)->GetDevice(), ProcessDeviceNodes()[0]);
  // Closing detaches it.
  w.StopAllPanes(3);
  EXPECT_EQ(w.grid()->Pane(0)->GetDevice(), nullptr);
}

TEST_F(MainWindowTest, ARefreshDetachesThePanesBeforeTheDevicesGo) {
  CVelmoraDlg w;
  WaitLoaded(&w);
  w.OpenDeviceInPane(ProcessDeviceNodes()[0], 0);
  w.OnCommand(1001);
  EXPECT_EQ(w.grid()->Pane(0)->GetDevice(), nullptr);
  WaitLoaded(&w);
  EXPECT_EQ(w.device_list()->count(), 4);
}

TEST_F(MainWindowTest, TheHotkeyAddsADeviceByUuid) {
  CVelmoraDlg w;
  WaitLoaded(&w);
  QTimer::singleShot(50, [] {
    auto* dlg = dynamic_cast<CAccessByUuidDlg*>(QApplication::activeModalWidget());
    ASSERT_NE(dlg, nullptr);
    dlg->uuid_edit()->setText("HAND-000001");
    dlg->ok_button()->click();
  });
  QTimer::singleShot(3000, [] {
    if (QWidget* still = QApplication::activeModalWidget()) static_cast<QDialog*>(still)->reject();
  });
  w.OnHotKey();
  ASSERT_EQ(w.device_list()->count(), 5);
  DeviceNode* node = ProcessDeviceNodes().back();
  EXPECT_EQ(w.device_list()->item(4)->text(), "HAND-000001");
  EXPECT_EQ(w.device_list()->RowDeviceIndex(4), 4);
  EXPECT_TRUE(node->Info().id.empty());
  EXPECT_EQ(node->Info().device_type, "lpwifi");
  EXPECT_EQ(node->Info().name, "lpwifi | rvs");
  EXPECT_EQ(node->Info().current_version, "00000000");
  EXPECT_EQ(node->Info().transport_flags, kTransportP2p);
  QMenu menu;
  ASSERT_TRUE(w.FillListMenu(&menu, 4));
  EXPECT_EQ(menu.actions().size(), 2) << "a device added by hand can be modified";
}

TEST(AccessByUuid, FillsTheRecordFromTheChoices) {
  apptest::App();
  TempDir data("velmora_uuid");
  SetAppDataFolder(data.path());
  apptest::WriteFile(
      data / "config.ini",
      "[servers]\nturn_servers=turn1.example.test, turn2.example.test\nstun_server=stun.example.test\n"
      "turn_user=u\nturn_password=p\nwebrtc2_id=TOKEN\n");
  DeviceInfo info;
  ApplyAccessByUuid(&info, {"U-1", true, true, false, true, true, false});
  EXPECT_EQ(info.device_type, "lpsim");
  EXPECT_EQ(info.name, "lpsim | webrtc webrtc2");
  EXPECT_EQ(info.transport_flags, kTransportWebrtc | kTransportWebrtc2);
  ASSERT_EQ(info.relay_list.size(), 3u);
  EXPECT_EQ(info.relay_list[1].host, "turn2.example.test");
  EXPECT_EQ(info.relay_list[1].is_turn, 1);
  EXPECT_EQ(info.relay_list[2].is_turn, 0);
  EXPECT_EQ(info.relay_list[2].port, 3478);
  EXPECT_EQ(info.ovwebrtc2_id, "TOKEN");
  EXPECT_EQ(info.is_online, 1);
  EXPECT_EQ(info.bind_type, 1);
  SetAppDataFolder(".");
}

// ---- against cloudsim ----

LoginDriver::Step SignIn(const char* user, const char* password) {
  return [=](CLoginDlg* dlg) {
    dlg->user_combo()->setEditText(user);
    dlg->password_edit()->setText(password);
    dlg->login_button()->click();
  };
}

class MainWindowCloudTest : public ::testing::Test {
 protected:
  void SetUp() override {
    apptest::App();
    SetUiLanguageOverride(kLangEnglish);
    SetCurrentUser("");
    AccountStore().clear();
    SetMainWindowSkinPath(std::string(VELMORA_SKIN_DIR) + "/gui.desc");
    SetMessageBoxHook([](QWidget*, const QString&, const QString&, UiBoxIcon) { return IDOK; });
  }
  void TearDown() override {
    SetMessageBoxHook(nullptr);
    SetMainWindowSkinPath("");
    ClearUiLanguageOverride();
    SetAppDataFolder(".");
  }
  void WriteConfig(const std::string& rest) {
    const std::string base = sim_.HttpBase();
    apptest::WriteFile(data_ / "config.ini", "[servers]\nproduction=" + base + "\ntest=" + base +
                                                 "\npre_release=" + base + "\n" + rest);
  }
  QStringList Rows(CVelmoraDlg* w) {
    QStringList rows;
    for (int i = 0; i < w->device_list()->count(); ++i) rows << w->device_list()->item(i)->text();
    return rows;
  }

  TempDir data_{"velmora_main_cloud"};
  apptest::ScopedEnv xdg_{"XDG_DATA_HOME", data_.path().c_str()};
  CloudSim sim_;
};

TEST_F(MainWindowCloudTest, TheAccountsDevicesAreListedAndLogOutSwitchesAccountsOrEnds) {
  ASSERT_TRUE(sim_.Start(std::string(APP_TEST_DATA) + "/devlist"));
  WriteConfig("[login]\nuser=ann@example.test\n[accounts]\nann@example.test=ann-pass-1\n");
  CVelmoraApp app;
  ASSERT_TRUE(app.InitInstance());
  CVelmoraDlg* w = app.main_window();
  PumpUntil([&] { return w->device_list()->count() == 3 && !w->DeviceListThreadRunning(); });
  EXPECT_EQ(Rows(w), (QStringList{"ANN-IPC-801", "ANN-LP-802", "ANN-DB-803"}));
  DeviceRowView porch = w->device_list()->RowView(0);
  EXPECT_EQ(porch.name, "Porch");
  EXPECT_EQ(porch.version, "Ver 1.2.3.4");
  EXPECT_TRUE(porch.online);
  DeviceRowView barn = w->device_list()->RowView(1);
  EXPECT_EQ(barn.version, "Ver 3.1.0.0") << "a short version text";
  EXPECT_EQ(barn.tags, "[4G,LP]");
  EXPECT_FALSE(barn.online);
  EXPECT_EQ(w->device_list()->RowView(2).tags, "");
  EXPECT_NE(apptest::ReadFile(GetAppDataFolder() + "/velmora.log")
                .find("[GetDeviceListThread] GetDeviceList: 3 devices. takes "),
            std::string::npos);

  // Log-out, then bob signs in: his devices, his groups file.
  {
    LoginDriver driver({SignIn("bob@example.test", "bob-pass-2")});
    w->OnLogout();
    EXPECT_EQ(driver.shown(), 1);
  }
  EXPECT_EQ(GetCurrentUser(), "bob@example.test");
  PumpUntil([&] { return w->device_list()->count() == 1 && !w->DeviceListThreadRunning(); });
  EXPECT_EQ(Rows(w), (QStringList{"BOB-IPC-901"}));
  EXPECT_NE(w->group_tree()->file_name().find("bob@example.test-group.txt"), std::string::npos);
  EXPECT_TRUE(w->isVisible());

  // Log-out and cancel: the window closes.
  {
    LoginDriver driver({});
    w->OnLogout();
    EXPECT_EQ(driver.shown(), 1);
  }
  EXPECT_EQ(w->device_list()->count(), 0);
  EXPECT_EQ(GetCurrentUser(), "") << "the title bar no longer names bob";
  PumpUntil([&] { return !w->isVisible(); }, 3000);
  EXPECT_FALSE(w->isVisible());
  EXPECT_TRUE(ProcessDeviceNodes().empty());
  app.ExitInstance();
}

// A thumbnail picture of a scene, its colours by n.
QImage DemoThumbnail(int n) {
  QImage img(384, 216, QImage::Format_RGB32);
  QPainter p(&img);
  QLinearGradient sky(0, 0, 0, 130);
  sky.setColorAt(0, QColor::fromHsv((200 + 37 * n) % 360, 90, 230));
  sky.setColorAt(1, QColor::fromHsv((210 + 37 * n) % 360, 40, 250));
  p.fillRect(0, 0, 384, 130, sky);
  p.fillRect(0, 130, 384, 86, QColor::fromHsv((100 + 23 * n) % 360, 110, 120));
  p.setBrush(QColor(0x8A, 0x5A, 0x3C));
  p.setPen(Qt::NoPen);
  p.drawRect(60 + 40 * n, 80, 120, 90);
  p.setBrush(QColor(0x5A, 0x3A, 0x2A));
  p.drawPolygon(QPolygon{{50 + 40 * n, 82}, {120 + 40 * n, 40}, {190 + 40 * n, 82}});
  p.setPen(Qt::white);
  p.drawText(8, 204, QStringLiteral("2026-12-11 08:0%1:12").arg(n));
  return img;
}

// The demo account of scripts/run, its thumbnails served by nginx; VELMORA_MAIN_WINDOW_PNG names a file for
// a picture of the window.
TEST_F(MainWindowCloudTest, TheDemoAccountsDevicesAreListedWithThumbnails) {
  ASSERT_TRUE(sim_.Start(VELMORA_DEMO_DIR));
  nettest::TempDir web;
  QDir().mkpath(QString::fromStdString(web.path() + "/www/thumbs"));
  nettest::Nginx nginx;
  ASSERT_TRUE(nginx.Start(web.path(), "server { listen 127.0.0.1:%PORT%; root %DIR%/www; }"))
      << nginx.ErrorLog();
  JsonHolder fixture(cJSON_Parse(apptest::ReadFile(std::string(VELMORA_DEMO_DIR) + "/devices.json").c_str()),
                     false);
  cJSON* list = cJSON_Duplicate(cJSON_GetObjectItem(fixture.Item(), "1001"), 1);
  const int expected = cJSON_GetArraySize(list);
  ASSERT_GT(expected, 0);
  for (int i = 0; i < expected; ++i) {
    cJSON* dev = cJSON_GetArrayItem(list, i);
    const std::string uuid = cJSON_GetObjectItem(dev, "uuid")->valuestring;
    ASSERT_TRUE(DemoThumbnail(i).save(QString::fromStdString(web.path() + "/www/thumbs/" + uuid + ".jpg"),
                                      "JPG", 90));
    const std::string url =
        "http://127.0.0.1:" + std::to_string(nginx.port()) + "/thumbs/" + uuid + ".jpg?x=1";
    // In place of the demo world's thumbnail address.
    cJSON_DeleteItemFromObject(dev, "image_path");
    cJSON_AddStringToObject(dev, "image_path", url.c_str());
  }
  JsonHolder failure = JsonHolder::Create(JsonHolder::kObject);
  cJSON_AddStringToObject(failure.Item(), "mode", "patch");
  cJSON* patch = cJSON_AddObjectToObject(failure.Item(), "patch");
  cJSON_AddItemToObject(patch, "list", list);
  char* text = cJSON_PrintUnformatted(failure.Item());
  sim_.Fail("/api/app/v1/device/list", text);
  cJSON_free(text);

  WriteConfig("[login]\nuser=demo@velmora.test\n[accounts]\ndemo@velmora.test=demo-pass\n");
  CVelmoraApp app;
  ASSERT_TRUE(app.InitInstance());
  CVelmoraDlg* w = app.main_window();
  PumpUntil([&] { return w->device_list()->count() > 0 && !w->DeviceListThreadRunning(); });
  QApplication::processEvents();
  ASSERT_EQ(w->device_list()->count(), expected);
  for (int i = 0; i < expected; ++i) {
    EXPECT_FALSE(w->device_list()->RowView(i).thumbnail.isNull()) << "row " << i << " has its thumbnail";
    // The row grew to hold the thumbnail when it arrived.
    EXPECT_EQ(w->device_list()->visualItemRect(w->device_list()->item(i)).height(), kDeviceRowHeight) << i;
  }
  if (const char* shot = getenv("VELMORA_MAIN_WINDOW_PNG")) {
    w->showNormal();
    w->resize(1280, 800);
    PumpUntil([] { return false; }, 300);
    EXPECT_TRUE(w->grab().save(QString::fromUtf8(shot)));
  }
  app.ExitInstance();
}

}  // namespace
