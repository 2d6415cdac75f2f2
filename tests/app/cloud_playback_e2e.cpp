// Cloud playback from the timeline: the day's record list from cloudsim, segments of H.264 (made by ffmpeg)
// in the S3 object store s3peer, the cloud player feeding a real media sink that draws into a pane and posts
// positions to the timeline; the timeline follows them and a drag seeks.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <QApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/gui/timeline.h"
#include "app/playback.h"
#include "app/ui/window_registry.h"
#include "sdk/cloudplay/cs_player.h"
#include "sdk/cloud/orvel_server.h"
#include "sdk/storage/oss_cacher.h"
#include "util/helpers.h"
#include "tests/app/app_test_util.h"
#include "tests/app/playback_sink.h"
#include "tests/sdk/cloud/cloudsim_harness.h"
#include "tests/sdk/net/net_test_util.h"
#include "tools/cssegs/cssegs_lib.h"
#include "tools/mp4rec/annexb.h"

namespace {

using playback_test::Pane;
using playback_test::Pump;

constexpr int64_t kT0 = 1714996800;  // 2024-05-06 12:00:00 UTC: the fixture's recording, one minute
const char kUuid[] = "VLM-CS-000601";
const char kDesKey[] = "cs601key";
const char kDeviceId[] = "601";

class CloudPlaybackE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    for (const char* v : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
      unsetenv(v);
    apptest::App();
    // Twelve five-second segments of real H.264 from the minute of the fixture's recording.
    const std::string h264 = media_.path() + "/v.h264";
    const std::string cmd =
        "ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc=size=160x120:rate=10 -t 2 -pix_fmt "
        "yuv420p "
        "-c:v libx264 -preset ultrafast -g 10 -f h264 " +
        h264 + " </dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << "ffmpeg could not make the test media";
    const std::string stream = nettest::ReadFile(h264);
    const std::vector<AccessUnit> units =
        SplitAnnexB(std::vector<uint8_t>(stream.begin(), stream.end()), false);
    ASSERT_FALSE(units.empty());
    CsSegOptions o;
    o.out_dir = objects_.path();
    o.uuid = kUuid;
    o.des_key = kDesKey;
    o.start = kT0;
    o.segments = 12;
    o.fps = 10;
    CsSegResult r;
    ASSERT_TRUE(CsSegWriteUnits(units, o, &r)) << r.error;
    ASSERT_TRUE(s3_.Start(
        {"node", std::string(S3PEER_DIR) + "/s3peer.js", "--dir", objects_.path(), "--watch-stdin"}));
    const std::string line = s3_.WaitForLine("PORT ", 30000);
    ASSERT_FALSE(line.empty()) << s3_.Output();
    CloudSim::Options so;
    so.storage = {"S3=s3.localhost:" +
                  std::to_string(std::atoi(line.substr(line.find("PORT ") + 5).c_str()))};
    ASSERT_TRUE(sim_.Start(CloudFixture("storage"), so));
    SetCacheRoot(cache_.path().c_str());
    CloudSetDeployment(sim_.Deployment());
    ASSERT_EQ(server_.Init("", kEnvTest), 0);
    ASSERT_EQ(server_.Login("cloud@example.test", "cloud-pass-1"), 0);
    InstallTestMediaPoster(true);
  }
  void TearDown() override {
    InstallTestMediaPoster(false);
    server_.Disconnect();
    CloudSetDeployment(CloudDeployment());
  }

  nettest::TempDir media_, objects_, cache_;
  nettest::PeerProcess s3_;
  CloudSim sim_;
  COrvelServer server_;
};

// A pane and a timeline that show the device's cloud player; sinks counts the sinks the playback made.
struct PlayerRig {
  explicit PlayerRig(COrvelServer* server)
      : store(server, kDeviceId, kUuid, kDesKey),
        player(&store),
        cloud(&player, [this]() -> IAvRender* {
          ++sinks;
          return MakeTestPlaybackSink(&pane, pane.hwnd(), timeline.hwnd());
        }) {
    pane.show();
    timeline.show();
    timeline.resize(1000, 60);
  }
  ~PlayerRig() { timeline.Reset(); }

  Pane pane;
  CTimelineWnd timeline;
  CsSegmentStore store;
  CCsPlayerFw player;
  int sinks = 0;
  CloudPlayback cloud;
};

TEST_F(CloudPlaybackE2e, DayFromTheServiceFollowedAndSeekedByDragging) {
  const int64_t day = LocalDayStart(kT0 + 5);
  ASSERT_EQ(day, kT0 - 12 * 3600);
  std::vector<PlaybackSegment> list;
  ASSERT_EQ(server_.GetVideoRecord(kDeviceId, day, day + 86399, &list), 0);
  ASSERT_EQ(list.size(), 1u);

  PlayerRig rig(&server_);
  CTimelineWnd& timeline = rig.timeline;
  CCsPlayerFw& player = rig.player;

  // The day's start lies before the recording: playback starts at its beginning.
  timeline.SetRecordList(&rig.cloud, &list, day);
  EXPECT_EQ(timeline.cursor_time(), kT0);
  EXPECT_NE(player.GetState(), 0);
  ASSERT_TRUE(Pump([&] { return timeline.cursor_time() > kT0; })) << "the timeline did not follow playback";
  // A slow drag of 8 pixels to the left: 40 seconds later; the seek follows 400 ms after the release.
  int64_t clock = 1000;
  timeline.SetMessageClock([&] { return clock; });
  const int64_t before = timeline.cursor_time();
  timeline.OnLButtonDown(QPoint(500, 30));
  for (int x = 498; x >= 492; x -= 2) {
    clock += 300;
    timeline.OnMouseMove(QPoint(x, 30));
  }
  clock += 300;
  timeline.OnLButtonUp(QPoint(492, 30));
  const int64_t target = before + 40;
  ASSERT_EQ(timeline.cursor_time(), target);
  ASSERT_TRUE(Pump([&] { return !timeline.settling(); }, 3000));
  ASSERT_TRUE(Pump([&] { return timeline.cursor_time() > target; })) << "no position after the seek";
  EXPECT_LE(timeline.cursor_time(), kT0 + 60);
  EXPECT_EQ(rig.sinks, 1);

  // The next day's list (none) stops the player and empties the timeline.
  std::vector<PlaybackSegment> none;
  timeline.SetRecordList(&rig.cloud, &none, day + 86400);
  EXPECT_EQ(player.GetState(), 0);
  EXPECT_TRUE(timeline.strips().empty());
}

// Recording through the day's end: the recording ends with the last picture and the player says so (the
// record button follows its state), and the file is complete.
TEST_F(CloudPlaybackE2e, RecordingEndsWithTheDaysLastPicture) {
  const int64_t day = LocalDayStart(kT0 + 5);
  std::vector<PlaybackSegment> list;
  ASSERT_EQ(server_.GetVideoRecord(kDeviceId, day, day + 86399, &list), 0);
  PlayerRig rig(&server_);
  CTimelineWnd& timeline = rig.timeline;
  CCsPlayerFw& player = rig.player;
  // The last segment: recorded once its pictures follow the locate.
  timeline.SetRecordList(&rig.cloud, &list, kT0 + 55);
  ASSERT_TRUE(Pump([&] { return timeline.cursor_time() > kT0 + 55; })) << "no playback";
  const std::string file = media_.path() + "/end.mp4";
  ASSERT_EQ(player.StartRecord(file.c_str()), 1);
  EXPECT_EQ(player.GetState() & 4, 4);
  // The last second plays, then the player idles at the day's end with the recording closed.
  ASSERT_TRUE(Pump([&] { return (player.GetState() & 4) == 0; }, 15000)) << "still shown as recording";
  EXPECT_NE(player.GetState(), 0);
  EXPECT_GE(timeline.cursor_time(), kT0 + 59);
  const std::string probe = "ffprobe -v error -show_entries format=duration -of csv=p=0 " + file;
  FILE* out = popen(probe.c_str(), "r");
  ASSERT_NE(out, nullptr);
  char line[64] = {};
  const bool read = std::fgets(line, sizeof line, out) != nullptr;
  EXPECT_EQ(pclose(out), 0) << "ffprobe cannot read the recording";
  ASSERT_TRUE(read);
  EXPECT_GT(std::atof(line), 2.0) << line;
}

}  // namespace
