// SD-card playback from the timeline against camsim through rdvsim, run by sd_playback_e2e.sh inside a
// network namespace (TZ=UTC). The camera (VLM_DID, VLM_PW) keeps 24 recordings of 600 s a day, one at the
// start of each hour, and plays H.264 from them. The day is queried, the timeline starts playback at a time
// through a real media sink, follows the positions the sink posts, and a drag seeks an hour later.
#include <gtest/gtest.h>

#include <QApplication>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/gui/timeline.h"
#include "app/playback.h"
#include "app/ui/window_registry.h"
#include "tests/app/playback_sink.h"
#include "sdk/device/p2p_client.h"
#include "sdk/device/rvs_transport.h"

namespace {

constexpr int64_t kDay = 1796860800;  // 2026-12-10 00:00 UTC

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

QApplication* App() {
  static int argc = 1;
  static char name[] = "sd_playback_e2e";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    return new QApplication(argc, argv);
  }();
  return app;
}

// Pumps the GUI thread until done or ms passed.
bool Pump(const std::function<bool()>& done, int ms = 20000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// A video pane: the sink draws into it and reports its events (WM_AV_EVENT) to it.
class Pane : public QWidget, public UiWindow {
 public:
  Pane() : UiWindow(this) { resize(320, 240); }
  std::vector<int> events;

 protected:
  bool event(QEvent* e) override { return DispatchUiMessage(e) || QWidget::event(e); }
  void OnMessage(UiMessageEvent* e) override {
    if (e->message() == WM_AV_EVENT) events.push_back(static_cast<int>(e->wparam()));
  }
};

TEST(SdPlaybackE2e, DayFromATimeFollowedAndSeekedByDragging) {
  ASSERT_FALSE(Env("VLM_DID").empty()) << "run through sd_playback_e2e.sh";
  App();
  InstallTestMediaPoster(true);
  CP2pClient client;
  ASSERT_EQ(client.Connect("rvs:", Env("VLM_DID").c_str(), 0), 0);
  ASSERT_EQ(client.VerifyPassword(Env("VLM_PW").c_str()), 0);

  std::vector<PlaybackSegment> list;
  int64_t day = 0;
  ASSERT_EQ(QuerySdDay(&client, kDay + 13 * 3600 + 17, &list, &day), 0);
  EXPECT_EQ(day, kDay);
  ASSERT_EQ(list.size(), 24u);

  Pane pane;
  pane.show();
  CTimelineWnd timeline;
  timeline.show();
  timeline.resize(1000, 60);
  int sinks = 0;
  SdPlayback sd(&client, [&]() -> IAvRender* {
    ++sinks;
    return MakeTestPlaybackSink(&pane, pane.hwnd(), timeline.hwnd());
  });

  // 04:30 lies in a gap: playback starts at 05:00, where the next recording begins.
  timeline.SetRecordList(&sd, &list, kDay + 4 * 3600 + 1800);
  const int64_t start = kDay + 5 * 3600;
  EXPECT_EQ(timeline.cursor_time(), start);
  EXPECT_EQ(client.GetState() & kP2pStatePlayback, kP2pStatePlayback);
  EXPECT_GE(sd.last_result(), 0);
  ASSERT_TRUE(Pump([&] { return timeline.cursor_time() > start; })) << "the timeline did not follow playback";
  EXPECT_LT(timeline.cursor_time(), start + 60);
  ASSERT_TRUE(Pump([&] {
    for (int e : pane.events)
      if (e == 2) return true;  // the first picture of channel 0
    return false;
  })) << "no picture reached the pane";

  // Drag 720 pixels to the left, slowly (no fling): one hour later. The seek follows 400 ms after the release.
  int64_t clock = 1000;
  timeline.SetMessageClock([&] { return clock; });
  const int64_t before = timeline.cursor_time();
  timeline.OnLButtonDown(QPoint(900, 30));
  for (int x = 840; x >= 180; x -= 60) {
    clock += 300;
    timeline.OnMouseMove(QPoint(x, 30));
  }
  clock += 300;
  timeline.OnLButtonUp(QPoint(180, 30));
  const int64_t target = before + 3600;
  EXPECT_EQ(timeline.cursor_time(), target);
  ASSERT_TRUE(timeline.settling());
  ASSERT_TRUE(Pump([&] { return !timeline.settling(); }, 3000));
  ASSERT_TRUE(Pump([&] { return timeline.cursor_time() > target; })) << "no position after the seek";
  EXPECT_LT(timeline.cursor_time(), target + 60);
  EXPECT_EQ(sinks, 1);  // the running playback keeps its sink

  client.StopPlayback();
  timeline.Reset();
  client.Close();
  InstallTestMediaPoster(false);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  rvsSetInitString(std::getenv("VLM_INIT") ? std::getenv("VLM_INIT") : "");
  KivoP2pInit();
  const int r = RUN_ALL_TESTS();
  KivoP2pDeinit();
  return r;
}
