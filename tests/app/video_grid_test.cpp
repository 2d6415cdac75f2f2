// The video grid: the layout table, the view clamp, selection and swaps, picture-in-picture placement, and
// the pane's event table with the reconnect countdown driven tick by tick.
#include "app/gui/video_grid.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QTest>
#include <functional>
#include <memory>
#include <vector>

#include "app/gui/video_layout.h"
#include "app/gui/video_pane.h"
#include "app/ui/strings.h"
#include "media/sink/av_render.h"
#include "sdk/node/device_node.h"
#include "sdk/device/kivo_p2p.h"
#include "tests/app/app_test_util.h"

namespace {

struct LayoutCase {
  int rows, columns, width, height;
  std::vector<QRect> want;
};

TEST(VideoLayout, Table) {
  const std::vector<LayoutCase> cases = {
      {1, 1, 1001, 801, {QRect(1, 1, 999, 799)}},
      {2, 2, 1001, 801, {QRect(1, 1, 499, 399), QRect(501, 1, 499, 399), QRect(1, 401, 499, 399),
                         QRect(501, 401, 499, 399)}},
      // The remainder of the division goes to the later rows and columns.
      {1, 3, 11, 5, {QRect(1, 1, 2, 3), QRect(4, 1, 2, 3), QRect(7, 1, 3, 3)}},
      // Six panes: one large, two in the right column, two in the bottom row, one at the bottom right.
      {1, 0, 301, 301, {QRect(1, 1, 199, 199), QRect(201, 1, 99, 99), QRect(201, 101, 99, 99),
                        QRect(1, 201, 99, 99), QRect(101, 201, 99, 99), QRect(201, 201, 99, 99)}},
      // Eight panes: one large, three right, three bottom, one at the bottom right.
      {2, 0, 401, 401, {QRect(1, 1, 299, 299), QRect(301, 1, 99, 99), QRect(301, 101, 99, 99),
                        QRect(301, 201, 99, 99), QRect(1, 301, 99, 99), QRect(101, 301, 99, 99),
                        QRect(201, 301, 99, 99), QRect(301, 301, 99, 99)}},
      // Refused: more than nine panes, no pane, special layouts other than 6 and 8.
      {4, 3, 1001, 801, {}},
      {10, 10, 1001, 801, {}},
      {0, 2, 1001, 801, {}},
      {3, 0, 1001, 801, {}},
      {11, 1, 1001, 801, {}},
      {-1, -1, 1001, 801, {}},
  };
  for (const LayoutCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.rows << "x" << c.columns);
    EXPECT_EQ(LayoutPaneRects(c.rows, c.columns, c.width, c.height), c.want);
    EXPECT_EQ(LayoutIsValid(c.rows, c.columns), !c.want.empty());
  }
  EXPECT_EQ(LayoutPaneCount(1, 0), 6);
  EXPECT_EQ(LayoutPaneCount(2, 0), 8);
  EXPECT_EQ(LayoutPaneCount(3, 0), 0);
}

// Every layout, in odd sizes: panes inside the grid, never overlapping, with a gap for the frames.
TEST(VideoLayout, PanesDisjointWithGaps) {
  const std::vector<std::pair<int, int>> layouts = {{1, 1}, {1, 2}, {2, 1}, {2, 2}, {2, 3}, {3, 2},
                                                    {3, 3}, {1, 9}, {9, 1}, {1, 0}, {2, 0}};
  for (auto [w, h] : std::vector<std::pair<int, int>>{{1001, 801}, {640, 361}, {1920, 1057}}) {
    for (auto [r, c] : layouts) {
      SCOPED_TRACE(testing::Message() << r << "x" << c << " in " << w << "x" << h);
      const std::vector<QRect> rects = LayoutPaneRects(r, c, w, h);
      ASSERT_EQ(static_cast<int>(rects.size()), LayoutPaneCount(r, c));
      const QRect grid(0, 0, w, h);
      for (size_t i = 0; i < rects.size(); ++i) {
        EXPECT_TRUE(grid.adjusted(1, 1, -1, -1).contains(rects[i])) << i;
        for (size_t j = i + 1; j < rects.size(); ++j)
          EXPECT_FALSE(rects[i].adjusted(-1, -1, 0, 0).intersects(rects[j])) << i << " " << j;
      }
    }
  }
}

TEST(VideoLayout, ViewSettingClamped) {
  const std::vector<std::pair<int, int>> cases = {{-5, 1}, {0, 1}, {1, 1}, {2, 2}, {3, 3}, {4, 3}, {100, 3}};
  for (auto [view, side] : cases) {
    EXPECT_EQ(ViewLayoutSide(view), side) << view;
    EXPECT_LE(ViewLayoutSide(view) * ViewLayoutSide(view), kGridPanes);
  }
}

TEST(VideoLayout, PipWindows) {
  // cy = 300: a = ((100 - 10) * 16) / 9 + 10 = 170.
  EXPECT_EQ(PipWindowRects(640, 300),
            (std::vector<QRect>{QRect(0, 200, 170, 100), QRect(170, 200, 170, 100), QRect(340, 200, 170, 100)}));
  EXPECT_EQ(PipWindowRects(0, 300), std::vector<QRect>(3));
}

// Records the messages posted to it.
class Recorder : public QWidget, public UiWindow {
 public:
  Recorder() : UiWindow(this) {}
  std::vector<std::pair<uint32_t, WPARAM>> got;

 protected:
  bool event(QEvent* e) override {
    if (DispatchUiMessage(e)) return true;
    return QWidget::event(e);
  }
  void OnMessage(UiMessageEvent* e) override { got.emplace_back(e->message(), e->wparam()); }
};

void Pump() {
  for (int i = 0; i < 3; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents);
  QCoreApplication::sendPostedEvents();
}

// A device whose session, state flags and cellular flag the test sets; it counts what the pane asks.
class FakeHost : public PaneHost {
 public:
  CP2pClient* session = nullptr;
  int state = 0;
  bool cellular = false;
  std::vector<int> reconnects;
  std::vector<CP2pClient*> closed;
  std::vector<std::pair<int, int>> exchanges;
  int state_reads = 0;

  CP2pClient* SessionOf(DeviceNode*) override { return session; }
  int SessionState(CP2pClient*) override {
    ++state_reads;
    return state;
  }
  void CloseSession(CP2pClient* s) override { closed.push_back(s); }
  bool IsCellular(DeviceNode*) override { return cellular; }
  bool busy = false;
  bool Busy() override { return busy; }
  // What the pane showed when its reconnect began.
  std::function<void(int)> on_reconnect;
  void ReconnectPane(int index) override {
    reconnects.push_back(index);
    if (on_reconnect) on_reconnect(index);
  }
  void ExchangePicture(int a, int b) override { exchanges.emplace_back(a, b); }
  int clicks = 0;
  std::vector<std::pair<DeviceNode*, bool>> full_screen;
  void PaneClicked() override { ++clicks; }
  void SetFullScreenStream(DeviceNode* d, bool entering) override { full_screen.emplace_back(d, entering); }
};

// Sends a mouse event straight to a widget (local coordinates).
void SendMouse(QWidget* w, QEvent::Type type, QPoint pos, Qt::MouseButton button, Qt::MouseButtons buttons) {
  QMouseEvent e(type, QPointF(pos), QPointF(w->mapToGlobal(pos)), button, buttons, Qt::NoModifier);
  QCoreApplication::sendEvent(w, &e);
}

CP2pClient* FakeSession(uintptr_t n) { return reinterpret_cast<CP2pClient*>(0x1000 * n); }

class GridTest : public ::testing::Test {
 protected:
  void SetUp() override {
    apptest::App();
    SetUiLanguageOverride(kLangEnglish);
    rec_ = std::make_unique<Recorder>();
    grid_ = std::make_unique<CVideoListPane>(nullptr, &host_);
    grid_->resize(1001, 801);
    grid_->SetNotifyWindow(rec_->hwnd());
    grid_->show();
    Pump();
    rec_->got.clear();
  }
  void TearDown() override { ClearUiLanguageOverride(); }

  FakeHost host_;
  std::unique_ptr<Recorder> rec_;
  std::unique_ptr<CVideoListPane> grid_;
};

TEST_F(GridTest, LayoutAndSelection) {
  ASSERT_TRUE(grid_->LayoutPanes(2, 2));
  EXPECT_EQ(grid_->Pane(1)->geometry(), QRect(501, 1, 499, 399));
  EXPECT_TRUE(grid_->Pane(3)->isVisibleTo(grid_.get()));
  EXPECT_FALSE(grid_->Pane(4)->isVisibleTo(grid_.get()));

  grid_->SelectPane(3);
  grid_->SelectPane(4);  // outside the layout: ignored
  grid_->SelectPane(-1);
  EXPECT_EQ(grid_->SelectedIndex(), 3);
  EXPECT_EQ(grid_->FrameColour(3), kGridFrameSelected);
  EXPECT_EQ(grid_->FrameColour(0), kGridFrameNormal);
  Pump();
  ASSERT_EQ(rec_->got.size(), 1u);
  EXPECT_EQ(rec_->got[0].first, WM_PANE_SELECTED);
  EXPECT_EQ(rec_->got[0].second, reinterpret_cast<WPARAM>(grid_->Pane(3)));

  // 2 x 2 to 1 x 1 with pane 3 selected selects pane 0 and tells the main window.
  rec_->got.clear();
  ASSERT_TRUE(grid_->LayoutPanes(1, 1));
  EXPECT_EQ(grid_->SelectedIndex(), 0);
  EXPECT_EQ(grid_->Pane(0)->geometry(), QRect(1, 1, 999, 799));
  EXPECT_FALSE(grid_->Pane(1)->isVisibleTo(grid_.get()));
  Pump();
  ASSERT_EQ(rec_->got.size(), 1u);
  EXPECT_EQ(rec_->got[0].second, reinterpret_cast<WPARAM>(grid_->Pane(0)));

  // The six-pane layout, then a resize lays the grid out again.
  ASSERT_TRUE(grid_->LayoutPanes(1, 0));
  EXPECT_EQ(grid_->GetPaneCount(), 6);
  grid_->resize(301, 301);
  Pump();
  EXPECT_EQ(grid_->Pane(5)->geometry(), QRect(201, 201, 99, 99));
}

// A view setting beyond nine panes never reaches the panes: the layout is refused and the grid keeps at most
// nine, so selection and the free-pane search stay inside the array.
TEST_F(GridTest, OversizedLayoutRefused) {
  ASSERT_TRUE(grid_->LayoutPanes(3, 3));
  grid_->SelectPane(8);
  for (auto [r, c] : std::vector<std::pair<int, int>>{{4, 4}, {10, 10}, {3, 0}, {0, 0}, {20, 1}}) {
    EXPECT_FALSE(grid_->LayoutPanes(r, c)) << r << "x" << c;
    EXPECT_EQ(grid_->GetPaneCount(), 9);
  }
  EXPECT_EQ(grid_->SelectedIndex(), 8);
  const int side = ViewLayoutSide(7);
  ASSERT_TRUE(grid_->LayoutPanes(side, side));
  EXPECT_LE(grid_->GetPaneCount(), kGridPanes);
  DeviceNode devices[kGridPanes];
  for (int i = 0; i < kGridPanes; ++i) grid_->Pane(i)->SetDevice(&devices[i]);
  EXPECT_EQ(grid_->FindFreePane(), nullptr);
  grid_->Pane(4)->SetDevice(nullptr);
  EXPECT_EQ(grid_->FindFreePane(), grid_->Pane(4));
  for (int i = 0; i < kGridPanes; ++i) grid_->Pane(i)->SetDevice(nullptr);
}

TEST_F(GridTest, SwapFollowsSelection) {
  ASSERT_TRUE(grid_->LayoutPanes(2, 2));
  grid_->SelectPane(0);
  CVideoWnd* a = grid_->Pane(0);
  CVideoWnd* b = grid_->Pane(3);
  const QRect ra = a->geometry(), rb = b->geometry();
  a->SetDropHighlight(true);
  grid_->SwapPanes(0, 3);
  EXPECT_EQ(grid_->Pane(3), a);
  EXPECT_EQ(grid_->Pane(0), b);
  EXPECT_EQ(a->GetIndex(), 3);
  EXPECT_EQ(b->GetIndex(), 0);
  EXPECT_EQ(a->geometry(), rb);
  EXPECT_EQ(b->geometry(), ra);
  EXPECT_FALSE(a->DropHighlight());
  EXPECT_EQ(grid_->SelectedIndex(), 3);
  EXPECT_EQ(grid_->GetSelectedPane(), a);
  grid_->SwapPanes(1, 1);  // no change
  EXPECT_EQ(grid_->Pane(1)->GetIndex(), 1);
}

TEST_F(GridTest, PipPlacementAndTargets) {
  CVideoWnd* pane = grid_->Pane(0);
  pane->resize(640, 300);
  Pump();
  for (int k = 0; k < 3; ++k) EXPECT_EQ(pane->PipWindow(k)->geometry(), QRect(k * 170, 200, 170, 100)) << k;
  const RenderTarget* t = pane->GetRenderTargets(3);
  EXPECT_EQ(pane->ChannelCount(), 3);
  EXPECT_EQ(t[0].window, pane);
  EXPECT_EQ(t[0].anchors, 15u);
  EXPECT_TRUE(t[0].rect.Empty());
  EXPECT_EQ(t[2].window, pane->PipWindow(1));
  EXPECT_EQ(t[2].rect, (RenderRect{5, 5, 165, 95}));
  pane->ShowPipWindows(true);  // channels 1 and 2 only
  EXPECT_TRUE(pane->PipWindow(0)->isVisibleTo(pane));
  EXPECT_TRUE(pane->PipWindow(1)->isVisibleTo(pane));
  EXPECT_FALSE(pane->PipWindow(2)->isVisibleTo(pane));
  pane->ShowPipWindows(false);
  EXPECT_FALSE(pane->PipWindow(0)->isVisibleTo(pane));

  // Double-clicking PiP window 2 exchanges channels 2 and 0; again swaps them back.
  pane->OnPipDblClk(2);
  pane->OnPipDblClk(2);
  EXPECT_EQ(host_.exchanges, (std::vector<std::pair<int, int>>{{2, 0}, {0, 2}}));
  EXPECT_EQ(pane->ChannelMap(), (std::array<int, 4>{0, 1, 2, 3}));
}

TEST_F(GridTest, DragPaneOntoPane) {
  ASSERT_TRUE(grid_->LayoutPanes(2, 2));
  CVideoWnd* a = grid_->Pane(0);
  CVideoWnd* b = grid_->Pane(3);
  auto centre = [&](CVideoWnd* w) { return grid_->mapToGlobal(w->geometry().center()); };

  // A plain click selects and tells the main window; no drag.
  SendMouse(b, QEvent::MouseButtonPress, {10, 10}, Qt::LeftButton, Qt::LeftButton);
  EXPECT_EQ(grid_->SelectedIndex(), 3);
  EXPECT_TRUE(b->DragArmed());
  SendMouse(b, QEvent::MouseButtonRelease, {10, 10}, Qt::LeftButton, Qt::NoButton);
  EXPECT_EQ(host_.clicks, 1);
  EXPECT_FALSE(b->DragArmed());

  // Moving 4 pixels keeps the arm, 5 starts the drag.
  SendMouse(a, QEvent::MouseButtonPress, {10, 10}, Qt::LeftButton, Qt::LeftButton);
  EXPECT_EQ(grid_->SelectedIndex(), 0);
  SendMouse(a, QEvent::MouseMove, {14, 14}, Qt::NoButton, Qt::LeftButton);
  EXPECT_FALSE(grid_->Capturing());
  SendMouse(a, QEvent::MouseMove, {15, 10}, Qt::NoButton, Qt::LeftButton);
  ASSERT_TRUE(grid_->Capturing());
  EXPECT_FALSE(a->DragArmed());
  grid_->CaptureMove(centre(grid_->Pane(1)));
  EXPECT_EQ(grid_->DropTarget(), grid_->Pane(1));
  EXPECT_EQ(grid_->FrameColour(1), kGridFrameDropTarget);
  grid_->CaptureMove(centre(b));
  EXPECT_FALSE(grid_->Pane(1)->DropHighlight());
  EXPECT_EQ(grid_->DropTarget(), b);
  grid_->CaptureRelease();
  EXPECT_FALSE(grid_->Capturing());
  EXPECT_EQ(grid_->Pane(3), a);
  EXPECT_EQ(grid_->Pane(0), b);
  EXPECT_EQ(grid_->SelectedIndex(), 3);
  EXPECT_FALSE(a->DropHighlight());
  EXPECT_FALSE(b->DropHighlight());
  EXPECT_EQ(host_.clicks, 1);

  // Cancelled by the right button, or dropped outside the grid: nothing moves.
  for (bool outside : {false, true}) {
    grid_->BeginDragCapture(PaneDropCallback, grid_->Pane(0));
    grid_->CaptureMove(centre(grid_->Pane(2)));
    EXPECT_TRUE(grid_->Pane(2)->DropHighlight());
    if (outside) {
      grid_->CaptureMove(grid_->mapToGlobal(QPoint(-50, -50)));
      EXPECT_FALSE(grid_->Pane(2)->DropHighlight());
      grid_->CaptureRelease();
    } else {
      SendMouse(grid_.get(), QEvent::MouseButtonPress, {3, 3}, Qt::RightButton, Qt::RightButton);
    }
    EXPECT_FALSE(grid_->Capturing());
    EXPECT_FALSE(grid_->Pane(2)->DropHighlight());
    EXPECT_EQ(grid_->Pane(0), b);
    EXPECT_EQ(grid_->Pane(3), a);
  }
}

class PaneEventTest : public GridTest {
 protected:
  void SetUp() override {
    GridTest::SetUp();
    pane_ = grid_->Pane(2);
    pane_->SetDevice(&device_);
    host_.session = FakeSession(1);
  }
  // The value the media sink posts for the session: its address cut to 32 bits.
  LPARAM Session() const { return SessionEventValue(host_.session); }
  // Posts the event as the media sink does and lets it arrive.
  void Post(int event, LPARAM value) {
    ASSERT_TRUE(PostMessage(pane_->hwnd(), WM_AV_EVENT, static_cast<WPARAM>(static_cast<intptr_t>(event)), value));
    Pump();
  }

  DeviceNode device_;
  CVideoWnd* pane_ = nullptr;
};

struct ErrorCase {
  int code;
  int state;
  const char* text;
};

TEST_F(PaneEventTest, ErrorTable) {
  const QString err3 = QStringLiteral("ERROR !(-10003:%1)").arg(QString::fromUtf8(KivoP2pGetErrorText(-10003)));
  const std::vector<ErrorCase> cases = {
      {-10014, 23, "Device reaches the max connections!"},
      {-10008, 21, "Device is offline"},
      {-10002, 22, "Authentication failure !"},
      {-10004, 20, "Connection is breaked"},     // streams not running: closed, no countdown
      {-10011, 24, "Session timeouted. Double click to connect again."},
      {-10003, 18, nullptr},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.code);
    pane_->Reset(false);
    host_.closed.clear();
    pane_->PipWindow(0)->show();
    Post(c.code, Session());
    EXPECT_EQ(pane_->GetState(), c.state);
    EXPECT_EQ(pane_->StatusText(), c.text ? QString::fromUtf8(c.text) : err3);
    EXPECT_EQ(pane_->StatusColour(), QColor(255, 0, 0));
    EXPECT_EQ(host_.closed, std::vector<CP2pClient*>{host_.session});
    EXPECT_FALSE(pane_->PipWindow(0)->isVisibleTo(pane_));
    EXPECT_FALSE(pane_->HasTimer(kPaneCountdownTimer));
  }
  EXPECT_EQ(pane_->GetCode(), -10003);
}

TEST_F(PaneEventTest, PositiveEvents) {
  Post(5, 0);
  EXPECT_EQ(pane_->StatusText(), "Waiting for the media stream ...");
  EXPECT_EQ(pane_->StatusColour(), QColor(0, 255, 0));
  Post(2, Session());
  EXPECT_EQ(pane_->GetState(), 2);
  EXPECT_EQ(pane_->StatusText(), "");
  Post(15, 0);
  EXPECT_EQ(pane_->StatusColour(), QColor(255, 255, 0));
  Post(25, 403);
  EXPECT_EQ(pane_->GetCode(), 403);
  EXPECT_TRUE(pane_->StatusText().startsWith("Having problem when download from cloud(403:"));
  // First picture of channel 2 shows PiP window 2 only when hidden.
  Post(1, 2);
  EXPECT_TRUE(pane_->PipWindow(1)->isVisibleTo(pane_));
  EXPECT_FALSE(pane_->PipWindow(0)->isVisibleTo(pane_));
  Post(1, 7);  // no such window
}

TEST_F(PaneEventTest, CountdownThenReconnect) {
  host_.state = 1;  // live video running
  Post(4, 0);
  Post(-10004, Session());
  EXPECT_EQ(pane_->GetState(), 4);  // left as it was
  EXPECT_EQ(pane_->Countdown(), 5);
  EXPECT_TRUE(pane_->HasTimer(kPaneCountdownTimer));
  EXPECT_TRUE(host_.closed.empty());
  EXPECT_EQ(pane_->StatusText(), "Connecting ... -- Try 5 seconds later.");
  pane_->OnTimer(999);  // other timers ignored
  for (int left = 4; left >= 1; --left) {
    pane_->OnTimer(kPaneCountdownTimer);
    EXPECT_EQ(pane_->Countdown(), left);
  }
  EXPECT_TRUE(host_.reconnects.empty());
  // The reconnect waits for the device with the window live: the pane keeps drawing and says what happens,
  // not the last second of the countdown.
  bool drawing = false;
  QString during;
  host_.on_reconnect = [&](int) {
    drawing = pane_->updatesEnabled();
    during = pane_->StatusText();
  };
  pane_->OnTimer(kPaneCountdownTimer);
  host_.on_reconnect = nullptr;
  EXPECT_EQ(host_.reconnects, std::vector<int>{2});
  EXPECT_TRUE(drawing);
  EXPECT_EQ(during, "Reconnecting ...");
  EXPECT_FALSE(pane_->HasTimer(kPaneCountdownTimer));
  EXPECT_TRUE(pane_->Reconnecting());
  EXPECT_EQ(pane_->StatusText(), "Reconnecting ...");
  pane_->Reset(false);
  EXPECT_FALSE(pane_->Reconnecting());
  // Attaching a device stops a running countdown.
  Post(-10011, Session());
  EXPECT_EQ(pane_->Countdown(), 5);
  pane_->SetDevice(&device_);
  EXPECT_EQ(pane_->Countdown(), 0);
  EXPECT_FALSE(pane_->HasTimer(kPaneCountdownTimer));
}

// A link that breaks while pictures play: the playing state has no text, so the countdown names the broken
// link, in a notice over the pane (the renderer paints the pane itself while it holds a picture).
TEST_F(PaneEventTest, CountdownOverPicturesNamesTheBrokenLink) {
  host_.state = 1;
  for (auto [code, text] : std::vector<std::pair<int, const char*>>{
           {-10004, "Connection is breaked -- Try 5 seconds later."},
           {-10011, "Session timeouted. Double click to connect again. -- Try 5 seconds later."}}) {
    Post(2, Session());
    EXPECT_FALSE(pane_->CountdownNotice()->isVisibleTo(pane_));
    Post(code, Session());
    EXPECT_EQ(pane_->GetState(), kPanePlaying);  // left as it was
    EXPECT_EQ(pane_->StatusText(), text);
    EXPECT_EQ(pane_->StatusColour(), QColor(255, 0, 0));  // in the broken link's colour
    EXPECT_TRUE(pane_->CountdownNotice()->isVisibleTo(pane_));
    EXPECT_EQ(pane_->CountdownNotice()->geometry(), pane_->rect());
    pane_->OnTimer(kPaneCountdownTimer);
    EXPECT_TRUE(pane_->StatusText().endsWith("Try 4 seconds later.")) << pane_->StatusText().toStdString();
    for (int left = 3; left >= 0; --left) pane_->OnTimer(kPaneCountdownTimer);
    // Over the last picture until the reconnect resets the pane.
    EXPECT_TRUE(pane_->CountdownNotice()->isVisibleTo(pane_));
    EXPECT_EQ(pane_->StatusText(), "Reconnecting ...");
    pane_->Reset(false);
    EXPECT_FALSE(pane_->CountdownNotice()->isVisibleTo(pane_));
  }
  // A countdown stopped by a new device takes its notice along.
  Post(2, Session());
  Post(-10004, Session());
  pane_->SetDevice(&device_);
  EXPECT_FALSE(pane_->CountdownNotice()->isVisibleTo(pane_));
  EXPECT_EQ(pane_->StatusText(), "");
}

// A reconnect that fails leaves the device in the pane with the reason in words; a double-click tries again.
TEST_F(PaneEventTest, FailedReconnectKeepsTheDeviceForADoubleClick) {
  const struct {
    int code;
    const char* text;
  } kCases[] = {
      {-24,
       "Could not connect again (-24:The connection through the TCP relay failed). Double click to try "
       "again."},
      {-10008, "Could not connect again (-10008:Device is offline). Double click to try again."},
      {-10103,
       "Could not connect again (-10103:The device's address is not valid). Double click to try again."},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.code);
    host_.reconnects.clear();
    pane_->Reset(false);
    pane_->SetState(kPaneReconnectFailed, c.code);
    EXPECT_EQ(pane_->GetDevice(), &device_);
    EXPECT_EQ(pane_->StatusText(), c.text);
    EXPECT_EQ(pane_->StatusColour(), QColor(255, 0, 0));
    EXPECT_TRUE(pane_->CountdownNotice()->isVisibleTo(pane_));  // over a last picture, if one is kept
    SendMouse(pane_, QEvent::MouseButtonDblClick, {5, 5}, Qt::LeftButton, Qt::LeftButton);
    EXPECT_EQ(host_.reconnects, std::vector<int>{2});
    EXPECT_FALSE(pane_->IsFullScreen());
  }
  SetUiLanguageOverride(kLangChinese);
  EXPECT_EQ(pane_->StatusText(), QString::fromUtf8("重新连接失败 (-10103:设备地址无效)。双击重新连接。"));
}

TEST_F(PaneEventTest, CellularNeverReconnects) {
  host_.state = 1;
  host_.cellular = true;
  for (auto [code, text] : std::vector<std::pair<int, const char*>>{
           {-10004, "Connection is breaked"}, {-10011, "Session timeouted. Double click to connect again."}}) {
    Post(code, Session());
    EXPECT_EQ(pane_->StatusText(), text);
    EXPECT_EQ(pane_->Countdown(), 0);
    EXPECT_FALSE(pane_->HasTimer(kPaneCountdownTimer));
    EXPECT_TRUE(host_.closed.empty());  // streams were running: the session stays
  }
}

// A late event naming a session the pane's device no longer holds (or after the device left the pane) is
// dropped: the old session is neither read nor closed, and the pane keeps its state.
TEST_F(PaneEventTest, StaleSessionEventDropped) {
  Post(5, 0);
  const LPARAM old = Session();
  host_.session = FakeSession(2);
  host_.state = 1;
  for (int code : {-10004, -10011, -10008, -10003, 2}) {
    Post(code, old);
    Post(code, 0);
  }
  EXPECT_EQ(host_.state_reads, 0);
  EXPECT_TRUE(host_.closed.empty());
  EXPECT_EQ(pane_->GetState(), 5);
  EXPECT_EQ(pane_->Countdown(), 0);
  pane_->Reset(true);
  Post(-10008, Session());
  EXPECT_TRUE(host_.closed.empty());
  EXPECT_EQ(pane_->GetState(), 0);
}

// The sink posts a session as its address cut to 32 bits. A session above 4 GiB (as on this platform) is
// still recognised, and a value is never turned back into a session: the pane uses the one its device holds.
TEST_F(PaneEventTest, SessionAboveFourGigabytesMatchedByItsEventValue) {
  host_.session = reinterpret_cast<CP2pClient*>(uintptr_t{0x7f3a12345000});
  host_.state = 0;
  Post(2, SessionEventValue(host_.session));
  EXPECT_EQ(pane_->GetState(), 2);
  Post(-10008, SessionEventValue(host_.session));
  EXPECT_EQ(pane_->GetState(), 21);
  EXPECT_EQ(host_.closed, std::vector<CP2pClient*>{host_.session});
  // Another session whose low bits differ is not this one.
  Post(-10002, SessionEventValue(host_.session) ^ 0x1000);
  EXPECT_EQ(pane_->GetState(), 21);
  EXPECT_EQ(host_.closed.size(), 1u);
}

// The sink's "cannot be decoded" report carries the codec: the pane shows the error and closes nothing.
TEST_F(PaneEventTest, NotDecodableCodecShownWithoutClosing) {
  host_.state = 1;
  Post(-10003, 10);
  EXPECT_EQ(pane_->GetState(), 18);
  EXPECT_EQ(pane_->GetCode(), -10003);
  EXPECT_TRUE(host_.closed.empty());
  EXPECT_EQ(host_.state_reads, 0);
}

// While the host runs a device operation, session events wait for its end instead of reading the session.
TEST_F(PaneEventTest, SessionEventsWaitWhileHostBusy) {
  host_.busy = true;
  host_.state = 0;
  Post(-10008, Session());
  EXPECT_EQ(pane_->GetState(), 0);
  EXPECT_TRUE(host_.closed.empty());
  host_.busy = false;
  for (int i = 0; i < 40 && pane_->GetState() == 0; ++i) {
    QTest::qWait(10);
  }
  EXPECT_EQ(pane_->GetState(), 21);
  EXPECT_EQ(host_.closed, std::vector<CP2pClient*>{host_.session});
}

TEST_F(PaneEventTest, PostAfterPaneGoneIsDropped) {
  const HWND h = pane_->hwnd();
  grid_.reset();
  EXPECT_FALSE(PostMessage(h, WM_AV_EVENT, static_cast<WPARAM>(-10004), Session()));
  Pump();
  EXPECT_TRUE(host_.closed.empty());
}


TEST_F(PaneEventTest, DoubleClickAndFullScreen) {
  // Cellular: a broken connection shows its text, and a double-click enters full screen (no reconnect).
  host_.state = 1;
  host_.cellular = true;
  Post(-10004, Session());
  const QRect home = pane_->geometry();
  SendMouse(pane_, QEvent::MouseButtonDblClick, {5, 5}, Qt::LeftButton, Qt::LeftButton);
  EXPECT_TRUE(host_.reconnects.empty());
  ASSERT_TRUE(pane_->IsFullScreen());
  EXPECT_TRUE(pane_->isWindow());
  EXPECT_EQ(host_.full_screen, (std::vector<std::pair<DeviceNode*, bool>>{{&device_, true}}));
  // In full screen a press neither selects nor arms a drag.
  const int selected = grid_->SelectedIndex();
  SendMouse(pane_, QEvent::MouseButtonPress, {5, 5}, Qt::LeftButton, Qt::LeftButton);
  EXPECT_EQ(grid_->SelectedIndex(), selected);
  EXPECT_FALSE(pane_->DragArmed());
  SendMouse(pane_, QEvent::MouseButtonRelease, {5, 5}, Qt::LeftButton, Qt::NoButton);
  // Esc leaves full screen and keeps the stream choice.
  QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QCoreApplication::sendEvent(pane_, &esc);
  EXPECT_FALSE(pane_->IsFullScreen());
  EXPECT_EQ(pane_->parentWidget(), grid_.get());
  EXPECT_EQ(pane_->geometry(), home);
  EXPECT_EQ(host_.full_screen.size(), 1u);
  // Double-click in and out.
  SendMouse(pane_, QEvent::MouseButtonDblClick, {5, 5}, Qt::LeftButton, Qt::LeftButton);
  SendMouse(pane_, QEvent::MouseButtonDblClick, {5, 5}, Qt::LeftButton, Qt::LeftButton);
  EXPECT_FALSE(pane_->IsFullScreen());
  EXPECT_EQ(host_.full_screen.back(), std::make_pair(&device_, false));

  // A session time-out (or an idle close) reconnects on a double-click.
  Post(-10011, Session());
  EXPECT_EQ(pane_->GetState(), kPaneSessionTimeout);
  SendMouse(pane_, QEvent::MouseButtonDblClick, {5, 5}, Qt::LeftButton, Qt::LeftButton);
  EXPECT_EQ(host_.reconnects, std::vector<int>{2});
  EXPECT_FALSE(pane_->IsFullScreen());

  // The grid laid out again (a resize) while the pane is in full screen keeps it there and gives it its new
  // place for later.
  pane_->EnterFullScreen();
  const QRect screen_rect = pane_->geometry();
  grid_->resize(601, 401);
  Pump();
  EXPECT_TRUE(pane_->IsFullScreen());
  EXPECT_EQ(pane_->geometry(), screen_rect);
  pane_->LeaveFullScreen();
  EXPECT_EQ(pane_->geometry(), LayoutPaneRects(2, 2, 601, 401)[2]);

  // An empty pane does nothing; a grid destroyed with a pane in full screen takes it along.
  grid_->Pane(5)->Reset(true);
  SendMouse(grid_->Pane(5), QEvent::MouseButtonDblClick, {5, 5}, Qt::LeftButton, Qt::LeftButton);
  EXPECT_FALSE(grid_->Pane(5)->IsFullScreen());
  pane_->EnterFullScreen();
  grid_.reset();
}


// The painted grid: frames in the gaps by selection, the pane background, and a red error text in the pane.
TEST_F(PaneEventTest, PaintedColours) {
  ASSERT_TRUE(grid_->LayoutPanes(2, 2));
  grid_->SelectPane(2);
  Post(-10008, Session());
  Pump();
  const QImage img = grid_->grab().toImage();
  if (getenv("VIDEO_GRID_SHOT")) img.save(getenv("VIDEO_GRID_SHOT"));
  auto rgb = [&](int x, int y) { return img.pixel(x, y) & 0xFFFFFF; };
  const QRect r2 = grid_->Pane(2)->geometry();  // (1, 401, 499, 399)
  EXPECT_EQ(rgb(r2.left() - 1, r2.center().y()), kGridFrameSelected);
  EXPECT_EQ(rgb(r2.right() + 1, r2.center().y()), kGridFrameSelected);
  const QRect r1 = grid_->Pane(1)->geometry();
  EXPECT_EQ(rgb(r1.left() - 1, r1.center().y()), kGridFrameNormal);
  EXPECT_EQ(rgb(r1.left() + 3, r1.top() + 3), kGridBackground);
  int red = 0;
  for (int x = r2.left(); x <= r2.right(); ++x)
    for (int y = r2.center().y() - 15; y <= r2.center().y() + 15; ++y)
      if (rgb(x, y) == 0xFF0000) ++red;
  EXPECT_GT(red, 30);
}


// The device list starts the same capture with its own callback: a device dropped onto a pane.
TEST_F(GridTest, DeviceDroppedOntoPane) {
  ASSERT_TRUE(grid_->LayoutPanes(3, 3));
  static std::vector<std::pair<void*, CVideoWnd*>> drops;
  drops.clear();
  DeviceNode device;
  grid_->BeginDragCapture([](void* data, CVideoWnd* target) { drops.emplace_back(data, target); }, &device);
  grid_->CaptureMove(grid_->mapToGlobal(grid_->Pane(7)->geometry().center()));
  grid_->CaptureRelease();
  EXPECT_EQ(drops, (std::vector<std::pair<void*, CVideoWnd*>>{{&device, grid_->Pane(7)}}));
  EXPECT_EQ(grid_->Pane(7)->GetIndex(), 7);  // no swap
  // Over a gap between panes there is no target.
  grid_->BeginDragCapture([](void* data, CVideoWnd* target) { drops.emplace_back(data, target); }, &device);
  const QRect r = grid_->Pane(0)->geometry();
  grid_->CaptureMove(grid_->mapToGlobal(QPoint(r.right() + 1, r.center().y())));
  EXPECT_EQ(grid_->DropTarget(), nullptr);
  grid_->CaptureRelease();
  EXPECT_EQ(drops.size(), 1u);
}

}  // namespace
