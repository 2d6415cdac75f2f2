// The playback timeline with the time zone fixed to UTC+8 and the message clock injected: strips, ticks and
// bars, the visible window, the cursor rules, scrolling clamps, drag and fling, following playback; and
// the date picker.
#include "app/gui/timeline.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QTest>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/gui/date_picker.h"
#include "app/gui/device_row.h"
#include "app/gui/video_grid.h"
#include "app/main_window.h"
#include "app/media_sinks.h"
#include "app/settings.h"
#include "app/ui/strings.h"
#include "sdk/node/device_node.h"
#include "tests/app/app_test_util.h"
#include "tests/common/temp_dir.h"

namespace {

constexpr int64_t kDay = 1714924800;  // 2024-05-06 00:00:00 in UTC+8
constexpr int64_t H = 3600;

int64_t At(int h, int m, int s) { return kDay + h * H + m * 60 + s; }

struct FakePlayback : TimelinePlayback {
  std::vector<int64_t> plays;
  int lists = 0;
  void SetRecordList(const std::vector<PlaybackSegment>*) override { ++lists; }
  void PlayAt(int64_t t) override { plays.push_back(t); }
};

PlaybackSegment Seg(int64_t start, int32_t duration, int32_t kind = 0) {
  PlaybackSegment s;
  s.start = start;
  s.duration = duration;
  s.kind = kind;
  return s;
}

class TimelineTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    apptest::App();
    setenv("TZ", "Asia/Shanghai", 1);
    tzset();
  }
  void SetUp() override {
    apptest::App();
    wnd_.SetMessageClock([this] { return now_; });
    wnd_.show();
    wnd_.resize(1000, 60);
    list_ = {Seg(At(8, 3, 17), 600), Seg(At(9, 0, 0), 1800), Seg(At(14, 0, 0), 3600, 1)};
  }
  void Drag(std::initializer_list<std::pair<int, int64_t>> moves) {  // (x, ms after the previous)
    for (auto [x, dt] : moves) {
      now_ += dt;
      wnd_.OnMouseMove(QPoint(x, 30));
    }
  }

  int64_t now_ = 100000;
  CTimelineWnd wnd_;
  FakePlayback pb_;
  std::vector<PlaybackSegment> list_;
};

TEST_F(TimelineTest, StripsFromHalfADayBeforeToHalfADayAfter) {
  wnd_.SetRecordList(&pb_, &list_, At(8, 3, 17));
  const auto& s = wnd_.strips();
  ASSERT_EQ(s.size(), 3u);
  // 20:03:17 of the previous day to midnight: 3 h 56 min 43 s, 2840 pixels.
  EXPECT_EQ(s[0].start, At(-4, 3, 17));
  EXPECT_EQ(s[0].length, 3 * H + 56 * 60 + 43);
  EXPECT_EQ(s[0].width, 2840);
  EXPECT_EQ(s[1].start, kDay);
  EXPECT_EQ(s[1].length, 86400);
  EXPECT_EQ(s[1].width, 17280);
  // Up to 12 hours after the last segment's end (15:00): 03:00 of the next day.
  EXPECT_EQ(s[2].start, kDay + 86400);
  EXPECT_EQ(s[2].End(), At(27, 0, 0));
  EXPECT_EQ(s[2].width, 2160);
  EXPECT_EQ(s[0].image.height(), 60);
}

TEST_F(TimelineTest, TicksAndLabelsOfTheLocalClock) {
  const auto ticks = TimelineTicks(At(-4, 3, 17), 0, 2840);
  ASSERT_GE(ticks.size(), 4u);
  // 20:00 lies left of the strip; 20:05 is a short unlabelled tick, 20:10 the first label.
  EXPECT_EQ(ticks[0].x, 20);
  EXPECT_EQ(ticks[0].length, 4);
  EXPECT_TRUE(ticks[0].label.isEmpty());
  EXPECT_EQ(ticks[1].x, 80);
  EXPECT_EQ(ticks[1].length, 8);
  EXPECT_EQ(ticks[1].label, QStringLiteral("20:10"));
  int hours = 0;
  for (const auto& t : ticks) {
    EXPECT_LT(t.x, 2840);
    EXPECT_NE(t.label, QStringLiteral("00:00")) << "midnight lies past the strip";
    if (t.length == 16) {
      ++hours;
      EXPECT_TRUE(t.label.endsWith(QStringLiteral(":00")));
    }
  }
  EXPECT_EQ(hours, 3);  // 21:00, 22:00, 23:00
  // A strip starting on a mark has its first tick at its left edge; 12 ticks per hour.
  const auto day = TimelineTicks(kDay, 0, 720);
  ASSERT_EQ(day.size(), 12u);
  EXPECT_EQ(day[0].x, 0);
  EXPECT_EQ(day[0].label, QStringLiteral("00:00"));
  EXPECT_EQ(day[0].length, 16);
}

TEST_F(TimelineTest, BarsFromTheStartTime) {
  struct Case {
    int64_t s;
    std::vector<std::pair<int, int>> want;  // (x, width)
  } cases[] = {
      {At(8, 0, 0), {{39, 120}, {720, 360}}},  // before the first: from it on; 14:00 is off the range
      {At(8, 8, 17), {{0, 60}, {620, 360}}},   // inside the first: its remaining 300 s
      {At(9, 29, 59), {{0, 1}}},               // one second left: at least one pixel
      {At(15, 0, 0), {}},                      // at the end of the last: none
      {At(13, 59, 50), {{2, 720}}},
  };
  for (const Case& c : cases) {
    std::vector<std::pair<int, int>> got;
    for (const auto& b : TimelineBars(list_, c.s, 0, 1000)) got.emplace_back(b.x, b.width);
    EXPECT_EQ(got, c.want) << (c.s - kDay);
  }
  EXPECT_EQ(TimelineBars(list_, At(13, 59, 50), 0, 1000)[0].kind, 1);
}

TEST_F(TimelineTest, VisibleWindowAndCursorRules) {
  EXPECT_EQ(wnd_.visible_seconds(), 5000);
  struct Case {
    int64_t start, cursor;
  } cases[] = {
      {At(8, 5, 0), At(8, 5, 0)},    // inside a segment
      {At(8, 30, 0), At(9, 0, 0)},   // in a gap: the next segment's start
      {At(2, 0, 0), At(8, 3, 17)},   // before the first
      {At(20, 0, 0), At(15, 0, 0)},  // after the last: its end
      {At(15, 0, 0), At(15, 0, 0)},
  };
  for (const Case& c : cases) {
    pb_.plays.clear();
    wnd_.SetRecordList(&pb_, &list_, c.start);
    EXPECT_EQ(wnd_.cursor_time(), c.cursor) << c.start - kDay;
    EXPECT_EQ(pb_.plays, std::vector<int64_t>{c.cursor});
  }
  EXPECT_EQ(pb_.lists, 5);
  // The window starts 2500 s before the cursor; one row when that lies inside a strip.
  wnd_.SetRecordList(&pb_, &list_, At(8, 5, 0));
  ASSERT_EQ(wnd_.rows().size(), 1u);
  EXPECT_EQ(wnd_.rows()[0].strip, 1);
  EXPECT_EQ(wnd_.rows()[0].src_x, static_cast<int>((At(8, 5, 0) - 2500 - kDay) * 0.2));
  EXPECT_EQ(wnd_.rows()[0].width, 1000);
  // Across midnight two strips share the window.
  std::vector<PlaybackSegment> night = {Seg(At(-1, 0, 0), 7200)};
  wnd_.SetRecordList(&pb_, &night, At(0, 1, 0));
  ASSERT_EQ(wnd_.rows().size(), 2u);
  EXPECT_EQ(wnd_.rows()[0].dest_x, 0);
  EXPECT_EQ(wnd_.rows()[0].width, 488);  // 23:19:20 to midnight
  EXPECT_EQ(wnd_.rows()[1].dest_x, 488);
  EXPECT_EQ(wnd_.rows()[1].src_x, 0);
  EXPECT_EQ(wnd_.rows()[1].width, 512);
  // An empty list: no strips, no playback, the cursor is the start time.
  pb_.plays.clear();
  std::vector<PlaybackSegment> none;
  wnd_.SetRecordList(&pb_, &none, At(12, 0, 0));
  EXPECT_TRUE(wnd_.strips().empty());
  EXPECT_TRUE(wnd_.rows().empty());
  EXPECT_TRUE(pb_.plays.empty());
  EXPECT_EQ(wnd_.cursor_time(), At(12, 0, 0));
  wnd_.Reset();
  EXPECT_EQ(wnd_.cursor_time(), 0);
  // A resize changes the visible seconds.
  wnd_.resize(640, 60);
  EXPECT_EQ(wnd_.visible_seconds(), 3200);
}

TEST_F(TimelineTest, ScrollingIsClampedToTheRecordings) {
  wnd_.ScrollByPixels(10);  // no list: nothing
  EXPECT_EQ(wnd_.cursor_time(), 0);
  wnd_.SetRecordList(&pb_, &list_, At(14, 50, 0));
  wnd_.ScrollByPixels(-10);  // 10 pixels left: 50 s later
  EXPECT_EQ(wnd_.cursor_time(), At(14, 50, 50));
  wnd_.ScrollByPixels(-1000);
  EXPECT_EQ(wnd_.cursor_time(), At(15, 0, 0));
  wnd_.ScrollByPixels(3);
  EXPECT_EQ(wnd_.cursor_time(), At(14, 59, 45));
  wnd_.ScrollByPixels(100000);
  EXPECT_EQ(wnd_.cursor_time(), At(8, 3, 17));
}

TEST_F(TimelineTest, SlowDragSeeksAfterTheRelease) {
  wnd_.SetRecordList(&pb_, &list_, At(9, 10, 0));
  pb_.plays.clear();
  wnd_.OnLButtonDown(QPoint(500, 30));
  EXPECT_TRUE(wnd_.dragging());
  Drag({{505, 300}, {510, 300}, {520, 300}});
  EXPECT_EQ(wnd_.cursor_time(), At(9, 10, 0) - 100);
  // Positions from the sink are dropped under the user's hand.
  wnd_.OnPlaybackPosition(At(9, 20, 0));
  EXPECT_EQ(wnd_.cursor_time(), At(9, 10, 0) - 100);
  now_ += 300;
  wnd_.OnLButtonUp(QPoint(520, 30));
  EXPECT_FALSE(wnd_.dragging());
  EXPECT_TRUE(wnd_.settling());
  EXPECT_FALSE(wnd_.HasTimer(kTimelineFlingTimer));
  EXPECT_TRUE(wnd_.HasTimer(kTimelineSettleTimer));
  wnd_.OnPlaybackPosition(At(9, 20, 0));  // still settling
  EXPECT_EQ(wnd_.cursor_time(), At(9, 10, 0) - 100);
  wnd_.OnTimer(kTimelineSettleTimer);
  EXPECT_FALSE(wnd_.HasTimer(kTimelineSettleTimer));
  EXPECT_FALSE(wnd_.settling());
  EXPECT_EQ(pb_.plays, std::vector<int64_t>{At(9, 10, 0) - 100});
  // The real timer fires too: a release on a short drag seeks by itself after 400 ms.
  pb_.plays.clear();
  wnd_.OnLButtonDown(QPoint(500, 30));
  Drag({{502, 500}});
  now_ += 500;
  wnd_.OnLButtonUp(QPoint(502, 30));
  QTest::qWait(600);
  EXPECT_EQ(pb_.plays.size(), 1u);
  EXPECT_FALSE(wnd_.settling());
}

TEST_F(TimelineTest, FastDragFlingsThenSeeks) {
  std::vector<PlaybackSegment> day = {Seg(kDay, 86400)};
  wnd_.SetRecordList(&pb_, &day, At(6, 0, 0));
  pb_.plays.clear();
  wnd_.OnLButtonDown(QPoint(600, 30));
  Drag({{580, 300}, {480, 100}});  // the sample is taken at 580; then 100 pixels in 100 ms
  const int64_t after_drag = wnd_.cursor_time();
  EXPECT_EQ(after_drag, At(6, 0, 0) + 600);
  wnd_.OnLButtonUp(QPoint(480, 30));
  EXPECT_TRUE(wnd_.HasTimer(kTimelineFlingTimer));
  EXPECT_FALSE(wnd_.HasTimer(kTimelineSettleTimer));
  EXPECT_TRUE(wnd_.fling_left());
  EXPECT_DOUBLE_EQ(wnd_.fling_speed(), 2.5);  // 1 pixel per ms, times 0.5 / 0.2
  // Steps of (int)(speed * 80) pixels, the speed shrinking by 0.8, until it is at most 0.05.
  int64_t expected = after_drag;
  double speed = 2.5;
  int steps = 0;
  while (speed > 0.05) {
    expected += static_cast<int64_t>(speed * 80) * 5;
    speed *= 0.8;
    wnd_.OnTimer(kTimelineFlingTimer);
    ++steps;
    EXPECT_EQ(wnd_.cursor_time(), expected) << "step " << steps;
  }
  EXPECT_EQ(steps, 18);
  EXPECT_TRUE(pb_.plays.empty());
  wnd_.OnTimer(kTimelineFlingTimer);  // the speed is spent: the settle timer takes over
  EXPECT_FALSE(wnd_.HasTimer(kTimelineFlingTimer));
  EXPECT_TRUE(wnd_.HasTimer(kTimelineSettleTimer));
  EXPECT_EQ(wnd_.fling_speed(), 0);
  wnd_.OnTimer(kTimelineSettleTimer);
  EXPECT_EQ(pb_.plays, std::vector<int64_t>{expected});
  // A fling to the right moves back in time; a new press stops it.
  wnd_.OnLButtonDown(QPoint(100, 30));
  Drag({{120, 300}, {220, 50}});
  now_ += 10;
  wnd_.OnLButtonUp(QPoint(220, 30));
  EXPECT_FALSE(wnd_.fling_left());
  const int64_t before = wnd_.cursor_time();
  wnd_.OnTimer(kTimelineFlingTimer);
  EXPECT_LT(wnd_.cursor_time(), before);
  wnd_.OnLButtonDown(QPoint(100, 30));
  EXPECT_FALSE(wnd_.HasTimer(kTimelineFlingTimer));
  EXPECT_FALSE(wnd_.HasTimer(kTimelineSettleTimer));
  // A release without time since the sample is no fling.
  now_ += 300;
  wnd_.OnMouseMove(QPoint(50, 30));
  wnd_.OnLButtonUp(QPoint(0, 30));
  EXPECT_FALSE(wnd_.HasTimer(kTimelineFlingTimer));
}

TEST_F(TimelineTest, FollowsPlaybackPositions) {
  wnd_.SetRecordList(&pb_, &list_, At(9, 0, 0));
  const int full = wnd_.full_paints(), label = wnd_.label_paints();
  wnd_.OnPlaybackPosition(At(9, 0, 0));  // equal to the cursor: nothing
  EXPECT_EQ(wnd_.full_paints(), full);
  EXPECT_EQ(wnd_.label_paints(), label);
  wnd_.OnPlaybackPosition(At(9, 0, 2));  // less than a pixel: the label only
  EXPECT_EQ(wnd_.cursor_time(), At(9, 0, 2));
  EXPECT_EQ(wnd_.label_paints(), label + 1);
  EXPECT_EQ(wnd_.full_paints(), full);
  wnd_.OnPlaybackPosition(At(9, 0, 10));  // the axis moves
  EXPECT_EQ(wnd_.full_paints(), full + 1);
  const int src = wnd_.rows()[0].src_x;
  // A restart a minute earlier moves the axis back (not only the label).
  wnd_.OnPlaybackPosition(At(8, 59, 10));
  EXPECT_EQ(wnd_.full_paints(), full + 2);
  EXPECT_EQ(wnd_.rows()[0].src_x, src - 12);
  // Through the window message the sink posts.
  ASSERT_TRUE(PostMessage(wnd_.hwnd(), WM_TIMELINE_EVENT, 9, static_cast<LPARAM>(At(9, 5, 0))));
  ASSERT_TRUE(PostMessage(wnd_.hwnd(), WM_TIMELINE_EVENT, 7, static_cast<LPARAM>(At(9, 6, 0))));  // ignored
  QApplication::processEvents();
  EXPECT_EQ(wnd_.cursor_time(), At(9, 5, 0));
  ASSERT_TRUE(PostMessage(wnd_.hwnd(), WM_TIMELINE_EVENT, 10, static_cast<LPARAM>(At(9, 7, 0))));
  QApplication::processEvents();
  EXPECT_EQ(wnd_.cursor_time(), At(9, 7, 0));
}

TEST_F(TimelineTest, DrawsBarsMarkerAndLabel) {
  wnd_.resize(1200, 64);
  list_ = {Seg(At(13, 0, 0), 1200), Seg(At(14, 0, 0), 3600, 1)};
  wnd_.SetRecordList(&pb_, &list_, At(13, 50, 0));  // in the gap: the cursor goes to 14:00
  ASSERT_EQ(wnd_.cursor_time(), At(14, 0, 0));
  QImage img = wnd_.Render();
  if (const char* out = getenv("VELMORA_SHOT_DIR")) img.save(QString::fromUtf8(out) + "/timeline.png");
  ASSERT_EQ(img.width(), 1200);
  const int w = 1200, h = 64, band = h / 2 + 4;
  // The marker: yellow on the centre line and in the triangle at the bottom.
  EXPECT_EQ(img.pixel(w / 2, 10) & 0xFFFFFF, 0xFFFF00u);
  EXPECT_EQ(img.pixel(w / 2 + 4, h - 2) & 0xFFFFFF, 0xFFFF00u);
  // Bars in the lower band: 13:15 normal, the gap at 13:40 empty, 14:08 an alarm; nothing above the middle.
  EXPECT_EQ(img.pixel(60, band) & 0xFFFFFF, 0x417AEEu);
  EXPECT_EQ(img.pixel(60, h / 2 - 10) & 0xFFFFFF, 0x000000u);
  EXPECT_EQ(img.pixel(350, band) & 0xFFFFFF, 0x000000u);
  EXPECT_EQ(img.pixel(700, band) & 0xFFFFFF, 0xFF2F7Cu);
  // The cursor's date and time right of the centre line.
  bool label = false;
  for (int x = w / 2 + 4; x < w / 2 + 150 && !label; ++x)
    for (int y = 1; y < 16 && !label; ++y) label = (img.pixel(x, y) & 0xFFFFFF) != 0;
  EXPECT_TRUE(label);
  // The axis: white along the top and across the middle.
  EXPECT_EQ(img.pixel(50, 0) & 0xFFFFFF, 0xFFFFFFu);
  EXPECT_EQ(img.pixel(50, h / 2) & 0xFFFFFF, 0xFFFFFFu);
  // Without a list: the axis from time 0 and no label.
  wnd_.Reset();
  QImage empty = wnd_.Render();
  if (const char* out = getenv("VELMORA_SHOT_DIR"))
    empty.save(QString::fromUtf8(out) + "/timeline_empty.png");
  EXPECT_EQ(empty.pixel(w / 2 + 30, 8) & 0xFFFFFF, 0x000000u);
}


// A refresh frees the devices: the timeline lets go of the session it played through first, so a drag
// afterwards starts nothing (it would reach the freed session). Here the day's SD-card playback never ran
// (its start failed), so no pane had anything to stop.
TEST_F(TimelineTest, ARefreshResetsTheTimelineBeforeTheDevicesGo) {
  TempDir data("velmora_timeline");
  InstallMediaSinks();
  SetAppDataFolder(data.path());
  SetCurrentUser("ann@example.test");
  SetUiLanguageOverride(kLangEnglish);
  SetMainWindowSkinPath(std::string(VELMORA_SKIN_DIR) + "/gui.desc");
  SetDeviceListSource({[](DeviceNodeList* nodes) {
                         auto* n = new DeviceNode();
                         n->Info().id = "11";
                         n->Info().uuid = "CAM-A";
                         n->Info().device_type = "ipc";
                         n->Info().is_online = 1;
                         nodes->push_back(n);
                         return 0;
                       },
                       [](const std::string&, const std::string&) { return -1; }});
  {
    CVelmoraDlg w;
    auto loaded = [&w] {
      for (int i = 0; i < 2000 && (w.device_list()->count() == 0 || w.DeviceListThreadRunning()); ++i)
        QTest::qWait(5);
      return w.device_list()->count() == 1;
    };
    ASSERT_TRUE(loaded());
    w.SwitchPlayMode(kPlaySd);
    DeviceNode* device = ProcessDeviceNodes()[0];
    w.TimelineSetRecordList(device->GetP2pClient(), nullptr, &list_, At(9, 10, 0),
                            w.grid()->Pane(0)->GetRenderTargets(4));
    CTimelineWnd* timeline = w.timeline();
    ASSERT_TRUE(timeline->HasList());
    w.OnCommand(1001);
    EXPECT_FALSE(timeline->HasList());
    ASSERT_TRUE(loaded());
    // A drag and its settle start nothing.
    timeline->SetMessageClock([this] { return now_; });
    timeline->OnLButtonDown(QPoint(500, 30));
    now_ += 300;
    timeline->OnMouseMove(QPoint(520, 30));
    now_ += 300;
    timeline->OnLButtonUp(QPoint(520, 30));
    timeline->OnTimer(kTimelineSettleTimer);
    EXPECT_FALSE(timeline->HasList());
  }
  SetDeviceListSource({});
  SetMainWindowSkinPath("");
  ClearUiLanguageOverride();
  SetAppDataFolder(".");
}

class DatePickerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    apptest::App();
    setenv("TZ", "Asia/Shanghai", 1);
    tzset();
  }
  void SetUp() override { apptest::App(); }
};

TEST_F(DatePickerTest, PickingADayHidesThePickerAndGivesItsMidnight) {
  CmyMonthCalCtrl picker;
  std::vector<int64_t> days;
  picker.SetOnSelect([&](int64_t t) { days.push_back(t); });
  picker.setSelectedDate(QDate(2024, 5, 1));
  picker.ShowAt(QPoint(800, 700));
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&picker));
  EXPECT_EQ(picker.geometry().bottomRight(), QPoint(799, 699));
  if (const char* out = getenv("VELMORA_SHOT_DIR"))
    picker.grab().save(QString::fromUtf8(out) + "/date_picker.png");
  picker.Select(QDate(2024, 5, 6));
  EXPECT_FALSE(picker.isVisible());
  EXPECT_EQ(days, std::vector<int64_t>{kDay});
  // The keyboard picks the current day.
  picker.ShowAt(QPoint(800, 700));
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&picker));
  QWidget* view = picker.findChild<QAbstractItemView*>();
  ASSERT_TRUE(view);
  QTest::keyClick(view, Qt::Key_Right);
  QTest::keyClick(view, Qt::Key_Return);
  EXPECT_FALSE(picker.isVisible());
  ASSERT_EQ(days.size(), 2u);
  EXPECT_EQ(days[1], kDay + 86400);
  // A click outside hides it without a choice.
  picker.ShowAt(QPoint(800, 700));
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&picker));
  QTest::mouseClick(&picker, Qt::LeftButton, {}, QPoint(-20, -20));
  EXPECT_FALSE(picker.isVisible());
  EXPECT_EQ(days.size(), 2u);
  // Opened at the timeline's day, in another month: that day is selected and its month shown.
  picker.ShowAt(QPoint(800, 700), QDate(2024, 3, 9));
  EXPECT_EQ(picker.selectedDate(), QDate(2024, 3, 9));
  EXPECT_EQ(picker.monthShown(), 3);
  EXPECT_EQ(picker.yearShown(), 2024);
  picker.hide();
}

}  // namespace
