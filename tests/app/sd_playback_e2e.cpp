// SD-card playback from the timeline against camsim through rdvsim, run by sd_playback_e2e.sh inside a
// network namespace (TZ=UTC). The camera (VLM_DID, VLM_PW) keeps 24 recordings of 600 s a day, one at the
// start of each hour, and plays H.264 from them. The day is queried, the timeline starts playback at a time
// through a real media sink, follows the positions the sink posts, and a drag seeks an hour later.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QTemporaryDir>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/gui/bmpbtn_container.h"
#include "app/gui/play_controls.h"
#include "app/gui/timeline.h"
#include "app/playback.h"
#include "app/ui/window_registry.h"
#include "sdk/node/device_node.h"
#include "sdk/device/p2p_client.h"
#include "sdk/device/rvs_transport.h"
#include "tests/app/playback_sink.h"

namespace {

using playback_test::Pane;
using playback_test::Pump;

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

  // Drag 720 pixels to the left, slowly (no fling): one hour later. The seek follows 400 ms after the
  // release.
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

// Ask ffprobe what a file holds: the codec names of its streams and its duration.
std::string Probe(const std::string& path) {
  const std::string cmd =
      "ffprobe -v error -show_entries stream=codec_name:format=duration -of csv=p=0 '" + path + "' 2>&1";
  std::string out;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buf[256];
    while (std::fgets(buf, sizeof buf, p)) out += buf;
    pclose(p);
  }
  return out;
}

// The toolbar's snapshot, recording and pan-tilt buttons on a live view, through the pane control
// over the device node, against the camera.
TEST(LiveControlsE2e, SnapshotRecordAndPanTilt) {
  ASSERT_FALSE(Env("VLM_DID").empty()) << "run through sd_playback_e2e.sh";
  App();
  InstallTestMediaPoster(true);
  DeviceNode node;
  node.Info().uuid = "VLM/UUID-27";  // the slash stays out of the path
  CP2pClient* client = node.GetP2pClient();
  ASSERT_EQ(client->Connect("rvs:", Env("VLM_DID").c_str(), 0), 0);
  ASSERT_EQ(client->VerifyPassword(Env("VLM_PW").c_str()), 0);
  Pane pane;
  pane.show();
  ASSERT_EQ(client->StartLiveVideoSink(0, MakeTestLiveSink(&pane, pane.hwnd())), 0);
  ASSERT_TRUE(Pump([&] {
    for (int e : pane.events)
      if (e == 2) return true;  // the first picture of channel 0
    return false;
  })) << "no picture reached the pane";
  QApplication::processEvents();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  CBmpbtnContainer bar;
  ASSERT_EQ(bar.LoadSkinFile(Env("VLM_SKIN")), 1);
  DevicePaneControl::Hooks hooks;
  hooks.has_selected_pane = [] { return true; };
  hooks.device = [&] { return &node; };
  DevicePaneControl control(hooks);
  CPlayControls controls(&bar, &control, nullptr);
  QTemporaryDir dir;
  controls.SetMediaFolder([&] { return dir.path().toStdString(); });
  controls.UpdateToolbarState();
  EXPECT_TRUE(bar.GetButtonState(bar.IndexFromId(kBtnPtzPad)) & 4) << "the pad is enabled while video runs";

  // A snapshot before the first decoded picture fails and says so; once pictures are drawn it works.
  std::string jpg;
  EXPECT_TRUE(Pump(
      [&] {
        controls.OnButtonEvent(kBtnSnapshot, 3);
        jpg = controls.last_file();
        return access(jpg.c_str(), F_OK) == 0;
      },
      10000));
  EXPECT_EQ(Probe(jpg).substr(0, 5), "mjpeg") << Probe(jpg);

  controls.OnButtonEvent(kBtnRecord, 3);
  const std::string mp4 = controls.last_file();
  EXPECT_NE(mp4.find("/VLM_UUID-27-"), std::string::npos) << mp4;
  EXPECT_NE(control.SessionState() & kP2pStateRecording, 0);
  controls.UpdateToolbarState();
  EXPECT_TRUE(bar.GetButtonState(bar.IndexFromId(kBtnRecord)) & 1) << "the record button shows it";
  Pump([] { return false; }, 2500);
  controls.OnButtonEvent(kBtnRecord, 3);
  EXPECT_EQ(control.SessionState() & kP2pStateRecording, 0);
  const std::string probe = Probe(mp4);
  EXPECT_NE(probe.find("h264"), std::string::npos) << probe;
  const size_t nl = probe.rfind('\n', probe.size() - 2);
  EXPECT_GT(std::atof(probe.c_str() + (nl == std::string::npos ? 0 : nl + 1)), 1.5) << probe;

  // Pan-tilt: a press right of the pad's centre sends 6, the release 0.
  SkinRect r;
  ASSERT_TRUE(bar.GetButtonRect(bar.IndexFromId(kBtnPtzPad), &r, nullptr));
  controls.SetCursorSource([&] { return QPoint(r.right - 3, r.top + (r.bottom - r.top) / 2); });
  controls.OnButtonEvent(kBtnPtzPad, 1);
  controls.OnButtonEvent(kBtnPtzPad, 2);

  client->StopAllVideo();
  client->Close();
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
