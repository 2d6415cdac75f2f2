// Opening and closing devices in the grid, without devices: connects and channel starts are replaced by
// counters, the boxes by a hook. What needs a live session runs against rdvsim and camsim in
// device_open_e2e.
#include "app/device_open.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QMouseEvent>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/app_state.h"
#include "app/ui/message_box.h"
#include "app/ui/strings.h"
#include "media/audio/aec_capture.h"
#include "media/sink/av_render.h"
#include "sdk/node/device_node.h"
#include "sdk/device/kivo_p2p.h"
#include "tests/app/app_test_util.h"

namespace {

struct Box {
  QString text, caption;
  UiBoxIcon icon;
};

class CountingUi : public DeviceOpenUi {
 public:
  std::vector<int> modes;
  int timeline_resets = 0;
  int talk_updates = 0;
  void PlayModeChanged(int mode) override { modes.push_back(mode); }
  void TimelineReset() override { ++timeline_resets; }
  void UpdateTalkButtons(DeviceNode*) override { ++talk_updates; }
};

// What a talking session got: blocks sent, starts and stops. Kept by the test, so it outlives the glue.
struct TalkCounts {
  std::atomic<int> sends{0}, starts{0}, stops{0}, alive{0};
};

class CountingTalk : public TalkSession {
 public:
  explicit CountingTalk(TalkCounts* counts) : counts_(counts) { ++counts_->alive; }
  ~CountingTalk() override { --counts_->alive; }
  int StartTalk() override { return ++counts_->starts, 0; }
  int StopTalk() override { return ++counts_->stops, 0; }
  int SendTalkData(int32_t, const uint8_t*, uint32_t) override { return ++counts_->sends, 0; }

 private:
  TalkCounts* counts_;
};

// Connects succeed or fail as told; channel starts fail the first `start_failures` times.
class FakeOpener : public CDeviceOpener {
 public:
  explicit FakeOpener(DeviceOpenUi* ui) : CDeviceOpener(nullptr, ui) {}
  int connect_result = 0;
  int start_failures = 0;
  int connects = 0;
  int starts = 0;

  int ConnectDevice(DeviceNode*, CVideoWnd* pane) override {
    ++connects;
    if (pane) {
      pane->SetState(kPaneConnecting, 0);
      text_at_connect = pane->StatusText();
    }
    return connect_result;
  }
  // Streams "run" on every session, so a broken connection counts down.
  int SessionState(CP2pClient*) override { return 1; }
  bool IsCellular(DeviceNode*) override { return false; }
  QString text_at_connect;
  TalkCounts talk;

 protected:
  std::unique_ptr<TalkSession> MakeTalkSession(CP2pClient*) override {
    return std::make_unique<CountingTalk>(&talk);
  }
  int StartLiveChannels(CP2pClient*, IAvRender* sink, int) override {
    ++starts;
    sink->Release();  // as the session does with a sink it does not keep
    return starts <= start_failures ? KIVO_ERR_CLOSED : 0;
  }
};

class DeviceOpenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    apptest::App();
    SetUiLanguageOverride(kLangEnglish);
    SetMessageBoxHook([this](QWidget*, const QString& text, const QString& caption, UiBoxIcon icon) {
      boxes.push_back({text, caption, icon});
      return IDOK;
    });
    opener = std::make_unique<FakeOpener>(&ui);
    opener->grid()->resize(900, 600);
    opener->set_grid_size(2);
    opener->grid()->show();
    for (auto& d : devices) {
      d.Info().device_type = "ipc";
      d.Info().is_online = 1;
    }
  }
  void TearDown() override {
    SetMessageBoxHook(nullptr);
    ClearUiLanguageOverride();
    SetLanOnly(false);
  }

  CountingUi ui;
  std::unique_ptr<FakeOpener> opener;
  DeviceNode devices[3];
  std::vector<Box> boxes;
};

TEST_F(DeviceOpenTest, FailedChannelStartRetriedABoundedNumberOfTimes) {
  // Every start fails: three connects and starts, then the pane is emptied and one box tells why.
  opener->start_failures = 100;
  EXPECT_EQ(opener->OpenDeviceInPane(&devices[0], 1), KIVO_ERR_CLOSED);
  EXPECT_EQ(opener->connects, kOpenAttempts);
  EXPECT_EQ(opener->starts, kOpenAttempts);
  CVideoWnd* pane = opener->grid()->Pane(1);
  EXPECT_EQ(pane->GetDevice(), nullptr);
  EXPECT_EQ(pane->GetState(), kPaneNone);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Connection is breaked");
  EXPECT_EQ(boxes[0].caption, "ERROR");
  EXPECT_EQ(boxes[0].icon, kBoxError);

  // One failure, then the start goes through: the pane waits for the stream.
  boxes.clear();
  opener->connects = opener->starts = 0;
  opener->start_failures = 1;
  EXPECT_EQ(opener->OpenDeviceInPane(&devices[0], 1), 0);
  EXPECT_EQ(opener->connects, 2);
  EXPECT_EQ(pane->GetDevice(), &devices[0]);
  EXPECT_EQ(pane->GetState(), kPaneWaitingStream);
  EXPECT_TRUE(boxes.empty());
  EXPECT_EQ(ui.talk_updates, 1);
}

// The countdown runs out: the pane is reset (device kept) before it connects again, so "Connecting ..." shows
// instead of nothing; and the countdown's text is never drawn over a playing pane.
TEST_F(DeviceOpenTest, CountdownReconnectShowsConnectingAgain) {
  ASSERT_EQ(opener->OpenDeviceInPane(&devices[0], 3), 0);
  CVideoWnd* pane = opener->grid()->Pane(3);
  const LPARAM session = SessionEventValue(devices[0].GetP2pClient());
  pane->OnAvStatus(kPanePlaying, session);
  pane->OnAvStatus(KIVO_ERR_CLOSED, session);
  EXPECT_EQ(pane->Countdown(), kPaneCountdownSeconds);
  EXPECT_EQ(pane->GetState(), kPanePlaying);
  EXPECT_EQ(pane->StatusText(), "Connection is breaked -- Try 5 seconds later.");
  for (int i = 0; i < kPaneCountdownSeconds; ++i) pane->OnTimer(kPaneCountdownTimer);
  EXPECT_EQ(opener->connects, 2);
  EXPECT_EQ(opener->text_at_connect, "Connecting ...");
  EXPECT_FALSE(pane->Reconnecting());
  EXPECT_EQ(pane->GetDevice(), &devices[0]);
  EXPECT_EQ(pane->GetState(), kPaneWaitingStream);
}

// The camera is still away when the countdown's reconnect runs: no box over the window, the pane keeps its
// device and says why; a double-click once the camera is back plays it again.
TEST_F(DeviceOpenTest, FailedReconnectStaysInThePane) {
  ASSERT_EQ(opener->OpenDeviceInPane(&devices[0], 2), 0);
  CVideoWnd* pane = opener->grid()->Pane(2);
  const LPARAM session = SessionEventValue(devices[0].GetP2pClient());
  pane->OnAvStatus(kPanePlaying, session);
  pane->OnAvStatus(KIVO_ERR_CLOSED, session);
  opener->connect_result = -24;
  for (int i = 0; i < kPaneCountdownSeconds; ++i) pane->OnTimer(kPaneCountdownTimer);
  EXPECT_TRUE(boxes.empty());
  EXPECT_EQ(pane->GetDevice(), &devices[0]);
  EXPECT_EQ(pane->GetState(), kPaneReconnectFailed);
  EXPECT_EQ(pane->GetCode(), -24);
  EXPECT_TRUE(pane->StatusText().contains("TCP relay")) << pane->StatusText().toStdString();
  opener->connect_result = 0;
  QMouseEvent dbl(QEvent::MouseButtonDblClick, QPointF(5, 5), QPointF(pane->mapToGlobal(QPoint(5, 5))),
                  Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(pane, &dbl);
  EXPECT_TRUE(boxes.empty());
  EXPECT_EQ(pane->GetDevice(), &devices[0]);
  EXPECT_EQ(pane->GetState(), kPaneWaitingStream);
  EXPECT_FALSE(pane->IsFullScreen());
}

// A device added by hand from a text that is no UUID has no address: opening it says so, in words.
TEST_F(DeviceOpenTest, ADeviceWithoutAnAddressSaysTheAddressIsNotValid) {
  CDeviceOpener real(nullptr, &ui);
  DeviceNode node;
  node.Info().uuid = "not-a-uuid";
  node.Info().device_type = "lpwifi";
  node.Info().transport_flags = 1;  // P2P, whose address the UUID service did not give
  node.Info().is_online = 1;
  EXPECT_NE(real.OpenDeviceInPane(&node, 0), 0);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_TRUE(boxes[0].text.contains("The device's address is not valid")) << boxes[0].text.toStdString();
  EXPECT_EQ(real.grid()->Pane(0)->GetDevice(), nullptr);
}

TEST_F(DeviceOpenTest, FailedConnectEmptiesThePaneWithABox) {
  opener->connect_result = KIVO_ERR_OFFLINE;
  EXPECT_EQ(opener->OpenDeviceInPane(&devices[0], 0), KIVO_ERR_OFFLINE);
  EXPECT_EQ(opener->starts, 0);
  EXPECT_EQ(opener->grid()->Pane(0)->GetDevice(), nullptr);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Device is offline");
}

TEST_F(DeviceOpenTest, OfflineDoorLockRefusedUnlessAllowed) {
  DeviceNode& lock = devices[0];
  lock.Info().device_type = "xLockBell2";
  lock.Info().is_online = 0;
  EXPECT_EQ(opener->OpenDeviceInPane(&lock, 0), KIVO_ERR_OFFLINE);
  EXPECT_EQ(opener->connects, 0);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Device is offline");
  EXPECT_EQ(boxes[0].icon, kBoxInformation);

  // Other offline devices open anyway; so does the lock with the check off, or in LAN-only mode.
  devices[1].Info().is_online = 0;
  EXPECT_EQ(opener->OpenDeviceInPane(&devices[1], 1), 0);
  opener->set_dont_check_online(true);
  EXPECT_EQ(opener->OpenDeviceInPane(&lock, 0), 0);
  opener->set_dont_check_online(false);
  opener->CloseSession(&lock, opener->grid()->Pane(0));
  SetLanOnly(true);
  EXPECT_EQ(opener->OpenDeviceInPane(&lock, 0), 0);
  EXPECT_EQ(opener->connects, 3);
  EXPECT_EQ(boxes.size(), 1u);
}

TEST_F(DeviceOpenTest, PaneChoice) {
  // Without a requested pane: the first free one.
  ASSERT_EQ(opener->OpenDeviceInPane(&devices[0], -1), 0);
  EXPECT_EQ(opener->FindPaneOfDevice(&devices[0]), opener->grid()->Pane(0));
  ASSERT_EQ(opener->OpenDeviceInPane(&devices[1], -1), 0);
  EXPECT_EQ(opener->FindPaneOfDevice(&devices[1]), opener->grid()->Pane(1));
  // No free pane in a 1 × 1 grid: the selected pane's device is replaced.
  opener->set_grid_size(1);
  ASSERT_EQ(opener->OpenDeviceInPane(&devices[2], -1), 0);
  EXPECT_EQ(opener->grid()->Pane(0)->GetDevice(), &devices[2]);
  EXPECT_EQ(opener->FindPaneOfDevice(&devices[0]), nullptr);
}

TEST_F(DeviceOpenTest, DeviceAlreadyShownIsMovedNotReopened) {
  // In cloud mode a device whose player is idle counts as shown: opening it onto another pane swaps.
  opener->SwitchPlayMode(kPlayCloud);
  EXPECT_EQ(ui.modes, std::vector<int>{kPlayCloud});
  EXPECT_EQ(opener->grid()->GetPaneCount(), 1);
  opener->grid()->LayoutPanes(2, 2);
  CVideoWnd* shown = opener->grid()->Pane(2);
  shown->SetDevice(&devices[0]);
  EXPECT_EQ(opener->OpenDeviceInPane(&devices[0], 0), 0);
  EXPECT_EQ(opener->grid()->Pane(0), shown);
  EXPECT_EQ(shown->GetIndex(), 0);
  EXPECT_EQ(shown->GetDevice(), &devices[0]);
  EXPECT_EQ(opener->connects, 0);
}

TEST_F(DeviceOpenTest, DeviceDroppedOntoAPaneOpensThere) {
  CVideoListPane* grid = opener->grid();
  opener->BeginDeviceDrag(&devices[1]);
  EXPECT_TRUE(grid->Capturing());
  grid->CaptureMove(grid->mapToGlobal(grid->Pane(3)->geometry().center()));
  grid->CaptureRelease();
  EXPECT_EQ(grid->Pane(3)->GetDevice(), &devices[1]);
  EXPECT_EQ(opener->connects, 1);
  // Dropped outside the grid: nothing opens.
  opener->BeginDeviceDrag(&devices[2]);
  grid->CaptureMove(grid->mapToGlobal(QPoint(-50, -50)));
  grid->CaptureRelease();
  EXPECT_EQ(opener->FindPaneOfDevice(&devices[2]), nullptr);
}

TEST_F(DeviceOpenTest, PlayModesLayTheGridOut) {
  opener->set_grid_size(3);
  EXPECT_EQ(opener->grid()->GetPaneCount(), 9);
  ASSERT_EQ(opener->OpenDeviceInPane(&devices[0], 4), 0);
  opener->SwitchPlayMode(kPlaySd);
  EXPECT_EQ(opener->grid()->GetPaneCount(), 1);
  EXPECT_EQ(opener->grid()->Pane(4)->GetDevice(), nullptr);  // every pane emptied
  opener->SwitchPlayMode(kPlaySd);                           // the same mode: nothing
  opener->SwitchPlayMode(kPlayLive);
  EXPECT_EQ(opener->grid()->GetPaneCount(), 9);
  EXPECT_EQ(ui.modes, (std::vector<int>{kPlaySd, kPlayLive}));
  EXPECT_EQ(ui.timeline_resets, 2);
  // A view setting beyond the documented layouts never asks for more than nine panes.
  opener->set_grid_size(7);
  EXPECT_EQ(opener->grid_size(), 3);
  EXPECT_EQ(opener->grid()->GetPaneCount(), 9);
}

TEST_F(DeviceOpenTest, StreamChoice) {
  struct Case {
    int panes, channel;
    bool main_for_sub, sub;
  };
  const Case cases[] = {
      {1, 0, false, false}, {1, 1, false, true}, {1, 1, true, false},
      {4, 0, false, true},  {4, 1, true, true},  {9, 0, true, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ChannelWantsSubStream(c.panes, c.channel, c.main_for_sub), c.sub)
        << c.panes << " " << c.channel << " " << c.main_for_sub;
  }
}

TEST_F(DeviceOpenTest, ErrorBoxTexts) {
  const std::vector<std::pair<int, const char*>> cases = {
      {-10014, "Device reaches the max connections!"},
      {-10011, "Session timeouted. Double click to connect again."},
      {-10008, "Device is offline"},
      {-10005, "Connection timeouted, devcice may be offline. Please try it later."},
      {-10004, "Connection is breaked"},
      {-10002, "Authentication failure !"},
      // Codes without a message of their own: the number and what it means.
      {-10003, "Error: -10003\nUnsupported operation"},
      {-24, "Error: -24\nThe connection through the TCP relay failed"},
      {-10103, "Error: -10103\nThe device's address is not valid"},
  };
  for (auto [code, text] : cases) {
    boxes.clear();
    opener->ShowDeviceError(code);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, text) << code;
    EXPECT_EQ(boxes[0].caption, "ERROR");
  }
}

TEST_F(DeviceOpenTest, NoSdCardTextInBothLanguages) {
  EXPECT_EQ(NoSdCardText(), "The device has no SD card.");
  SetUiLanguageOverride(kLangChinese);
  EXPECT_EQ(NoSdCardText(), QString::fromUtf8("设备没有SD卡"));
}

TEST_F(DeviceOpenTest, DayStartIsLocalMidnight) {
  const time_t t = 1796900000;
  const int64_t d = LocalDayStart(t);
  struct tm tm {};
  const time_t dt = static_cast<time_t>(d);
  localtime_r(&dt, &tm);
  EXPECT_EQ(tm.tm_hour, 0);
  EXPECT_EQ(tm.tm_min, 0);
  EXPECT_LE(d, t);
  EXPECT_GT(d + 86400 + 3600, t);
}

// The sinks' poster delivers a media event to the pane's window as WM_AV_EVENT with its sign kept.
TEST_F(DeviceOpenTest, MediaSinksPostToPanes) {
  InstallMediaSinks();
  EXPECT_NE(AvRenderOpsProcessTable(), nullptr);
  CVideoWnd* pane = opener->grid()->Pane(0);
  pane->SetDevice(&devices[0]);
  RenderTarget targets[1] = {{pane, 15, {}}};
  auto* sink = new CAvRender(targets, 1, pane->hwnd(), 0, 0);
  sink->OnEvent(5, 0);
  sink->OnEvent(25, 403);
  for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
  EXPECT_EQ(pane->GetState(), 25);
  EXPECT_EQ(pane->GetCode(), 403);
  sink->Release();
}

// Talkback ends with every way the talking session's view goes: the capture is freed, the session's glue
// detached and gone, and nothing is sent afterwards (the capture thread would reach a freed session).
TEST_F(DeviceOpenTest, TalkbackEndsWithEveryWayItsViewGoes) {
  // The dummy audio driver captures silence at the real pace.
  setenv("SDL_AUDIODRIVER", "dummy", 1);
  struct Way {
    const char* name;
    std::function<void(FakeOpener*)> end;
  };
  const Way ways[] = {
      {"switch to SD-card playback", [](FakeOpener* o) { o->SwitchPlayMode(kPlaySd); }},
      {"switch to cloud playback", [](FakeOpener* o) { o->SwitchPlayMode(kPlayCloud); }},
      {"close all, the pane already let go (1x1)",
       [](FakeOpener* o) {
         o->grid()->Pane(0)->Reset(true);
         o->StopAllPanes(kStopClose);
       }},
      {"close the pane", [this](FakeOpener* o) { o->CloseSession(&devices[0], o->grid()->Pane(0)); }},
  };
  auto sends_settle = [](TalkCounts& c) {
    int before = -1;
    for (int i = 0; i < 50 && before != c.sends.load(); ++i) {
      before = c.sends.load();
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return before == c.sends.load();
  };
  auto start_talking = [this](FakeOpener* o) {
    if (o->OpenDeviceInPane(&devices[0], 0) != 0) return false;
    CP2pClient* session = devices[0].GetP2pClient();
    if (!o->CreateTalkCapture() || !o->AttachTalk(session) || !o->SessionTalks(session)) return false;
    // A second session cannot talk while one does.
    if (o->AttachTalk(devices[1].GetP2pClient())) return false;
    for (int i = 0; i < 100 && o->talk.sends.load() == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return o->talk.sends.load() > 0;
  };
  for (const Way& way : ways) {
    SCOPED_TRACE(way.name);
    auto o = std::make_unique<FakeOpener>(&ui);
    ASSERT_TRUE(start_talking(o.get())) << "no capture or no talk";
    way.end(o.get());
    EXPECT_EQ(o->talk_capture(), nullptr);
    EXPECT_FALSE(o->SessionTalks(devices[0].GetP2pClient()));
    EXPECT_EQ(o->talk.stops.load(), 1);
    EXPECT_EQ(o->talk.alive.load(), 0);
    EXPECT_TRUE(sends_settle(o->talk)) << "the microphone still streams";
    // The same session talks again afterwards.
    o->SwitchPlayMode(kPlayLive);
    ASSERT_TRUE(start_talking(o.get()));
    o->StopTalk(devices[0].GetP2pClient());
    EXPECT_EQ(o->talk_capture(), nullptr);
    EXPECT_EQ(o->talk.stops.load(), 2);
  }
  // The opener's end frees the capture with the glue: a capture left running would call the freed glue.
  auto o = std::make_unique<FakeOpener>(&ui);
  ASSERT_TRUE(start_talking(o.get()));
  o.reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

}  // namespace
