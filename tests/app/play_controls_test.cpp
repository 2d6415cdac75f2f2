// The play-control buttons on the program's own skin, against a fake pane: the button-state table, the
// pan-tilt quadrants, snapshot and recording names, talkback, speed, picture-in-picture and lenses.
#include "app/gui/play_controls.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <QTemporaryDir>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "app/gui/bmpbtn_container.h"
#include "app/settings.h"
#include "app/ui/message_box.h"
#include "app/ui/strings.h"
#include "tests/app/app_test_util.h"

namespace {

struct FakePane : PaneControl {
  bool selected = true, device = true, features_known = true;
  std::string uuid = "ABC";
  DeviceFeatures f{};
  int state = 0, speed = 0, player_state = 0, player_speed = 0;
  bool muted = false, snapshot_ok = true, record_ok = true, talks = false, capture = false;
  bool create_ok = true, attach_ok = true;
  float lens[3] = {0, 0, 0};
  int lens_result = 0;
  int64_t cursor = 0;
  std::vector<std::string> calls;

  FakePane() { f.channel_count = 1; }
  void Call(const std::string& c) { calls.push_back(c); }
  bool HasSelectedPane() override { return selected; }
  bool HasDevice() override { return device; }
  std::string DeviceUuid() override { return uuid; }
  bool Features(DeviceFeatures* out) override {
    *out = f;
    return features_known;
  }
  int SessionState() override { return state; }
  bool SessionIsMuted() override { return muted; }
  void SessionMute(bool m) override { Call(m ? "mute" : "unmute"); }
  bool SessionSnapshot(const std::string& p) override {
    Call("snapshot " + p);
    if (snapshot_ok) std::ofstream(p) << "jpg";
    return snapshot_ok;
  }
  bool SessionStartRecord(const std::string& p) override {
    Call("record " + p);
    return record_ok;
  }
  void SessionStopRecord() override { Call("stop record"); }
  int SessionSpeed() override { return speed; }
  int SessionSetSpeed(int s) override {
    Call("speed " + std::to_string(s));
    return 0;
  }
  int StartPipChannels() override {
    Call("pip start");
    return 0;
  }
  int StopPipChannels() override {
    Call("pip stop");
    return 0;
  }
  void ShowPipWindows(bool s) override { Call(s ? "pip show" : "pip hide"); }
  bool SwapChannels(int a, int b) override {
    Call("swap " + std::to_string(a) + " " + std::to_string(b));
    return true;
  }
  int GetLensParam(float out[3]) override {
    std::memcpy(out, lens, sizeof lens);
    return lens_result;
  }
  int SetLensParam(const float in[3]) override {
    char t[64];
    std::snprintf(t, sizeof t, "lens %g %g %g", in[0], in[1], in[2]);
    Call(t);
    return 0;
  }
  int PtzControl(int code) override {
    Call("ptz " + std::to_string(code));
    return 0;
  }
  int PlayerState() override { return player_state; }
  void PlayerMute(bool m) override { Call(m ? "player mute" : "player unmute"); }
  bool PlayerSnapshot(const std::string& p) override {
    Call("player snapshot " + p);
    return snapshot_ok;
  }
  bool PlayerStartRecord(const std::string& p) override {
    Call("player record " + p);
    return record_ok;
  }
  void PlayerStopRecord() override { Call("player stop record"); }
  int PlayerSpeed() override { return player_speed; }
  int PlayerSetSpeed(int s) override {
    Call("player speed " + std::to_string(s));
    return 0;
  }
  void PlayerSwapChannels(int a, int b) override {
    Call("player swap " + std::to_string(a) + " " + std::to_string(b));
  }
  bool SessionTalks() override { return talks; }
  bool TalkCaptureExists() override { return capture; }
  bool TalkCaptureCreate() override {
    Call("capture create");
    capture = create_ok;
    return create_ok;
  }
  bool TalkCaptureAttach() override {
    Call("capture attach");
    talks = attach_ok;
    return attach_ok;
  }
  void TalkStop() override {
    Call("talk stop");
    talks = false;
    capture = false;
  }
  void TalkCaptureFree() override {
    Call("capture free");
    capture = false;
  }
  void CloseSelected() override { Call("close"); }
  int64_t TimelineCursor() override { return cursor; }
};

class PlayControlsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    apptest::App();
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void SetUp() override {
    apptest::App();
    ASSERT_EQ(bar_.LoadSkinFile(std::string(VELMORA_SKIN_DIR) + "/gui.desc"), 1);
    ASSERT_TRUE(dir_.isValid());
    controls_.SetMediaFolder([this] { return dir_.path().toStdString(); });
    controls_.SetClock([] { return static_cast<time_t>(1733844600); });  // 2024-12-10 15:30:00 UTC
    SetMessageBoxHook([this](QWidget*, const QString& text, const QString&, UiBoxIcon) {
      boxes_.push_back(text);
      return IDOK;
    });
  }
  void TearDown() override { SetMessageBoxHook(nullptr); }
  int Flags(int id) { return bar_.GetButtonState(bar_.IndexFromId(id)); }
  // "v" visible, "h" hidden; then "e" enabled or "d" disabled; then "c" when checked.
  std::string Look(int id) {
    int s = Flags(id);
    std::string r = (s & 8) ? "h" : "v";
    r += (s & 4) ? "e" : "d";
    if (s & 1) r += "c";
    return r;
  }

  CBmpbtnContainer bar_;
  FakePane pane_;
  QTemporaryDir dir_;
  CPlayControls controls_{&bar_, &pane_, nullptr};
  std::vector<QString> boxes_;
};

TEST_F(PlayControlsTest, ButtonStatesFollowModeDeviceAndSession) {
  struct Case {
    const char* name;
    int mode;
    bool device;
    uint32_t channels, combined, lenses, ext;
    int state, speed, player_state, player_speed;
    std::map<int, std::string> want;
  };
  const Case cases[] = {
      {"no device",
       kPlayLive,
       false,
       1,
       0,
       0,
       0,
       0,
       0,
       0,
       0,
       {{1103, "vd"},
        {1104, "vd"},
        {1105, "vd"},
        {1112, "vd"},
        {1106, "vd"},
        {1101, "vd"},
        {1110, "h"},
        {1111, "h"},
        {1113, "h"}}},
      {"live, not playing",
       kPlayLive,
       true,
       1,
       0,
       0,
       0,
       0,
       0,
       0,
       0,
       {{1101, "vd"}, {1103, "vec"}, {1105, "ve"}, {1110, "h"}, {1113, "h"}}},
      {"live, video and sound",
       kPlayLive,
       true,
       1,
       0,
       0,
       0,
       0x07,
       0,
       0,
       0,
       {{1101, "ve"}, {1103, "ve"}, {1104, "ve"}, {1105, "ve"}, {1112, "ve"}, {1106, "ve"}}},
      {"live, recording, muted", kPlayLive, true, 1, 0, 0, 0, 0x0B, 0, 0, 0, {{1103, "vec"}, {1105, "vec"}}},
      {"live, two channels combined, pip off",
       kPlayLive,
       true,
       2,
       1,
       0,
       0,
       0x01,
       0,
       0,
       0,
       {{1110, "ve"}, {1111, "vd"}, {1113, "h"}}},
      {"live, two channels combined, pip on",
       kPlayLive,
       true,
       2,
       1,
       0,
       0,
       0x21,
       0,
       0,
       0,
       {{1110, "vec"}, {1111, "ve"}}},
      {"live, two channels not combined",
       kPlayLive,
       true,
       2,
       0,
       0,
       0,
       0x21,
       0,
       0,
       0,
       {{1110, "h"}, {1111, "h"}}},
      {"live, one channel two lenses",
       kPlayLive,
       true,
       1,
       0,
       2,
       0,
       0x01,
       0,
       0,
       0,
       {{1113, "v"}, {1110, "h"}}},
      {"live, two channels two lenses", kPlayLive, true, 2, 0, 2, 0, 0x01, 0, 0, 0, {{1113, "h"}}},
      {"sd with pbrate",
       kPlaySd,
       true,
       1,
       0,
       2,
       EXT_PBRATE,
       0x14,
       1,
       0,
       0,
       {{1107, "ve"}, {1108, "vec"}, {1109, "ve"}, {1103, "ve"}, {1113, "h"}, {1110, "h"}, {1111, "h"}}},
      {"sd without pbrate",
       kPlaySd,
       true,
       1,
       0,
       0,
       0,
       0x10,
       0,
       0,
       0,
       {{1107, "h"}, {1108, "h"}, {1109, "h"}, {1103, "vec"}}},
      {"cloud playing with sound",
       kPlayCloud,
       true,
       1,
       0,
       0,
       0,
       0,
       0,
       3,
       2,
       {{1107, "ve"}, {1108, "ve"}, {1109, "vec"}, {1103, "ve"}, {1105, "ve"}, {1113, "h"}, {1110, "h"}}},
      {"cloud recording, muted",
       kPlayCloud,
       true,
       2,
       1,
       0,
       0,
       0x21,
       0,
       5,
       0,
       {{1107, "vec"}, {1103, "vec"}, {1105, "vec"}, {1110, "h"}, {1111, "h"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    pane_.device = c.device;
    pane_.f.channel_count = c.channels;
    pane_.f.combined_streams = c.combined;
    pane_.f.zoom.lens_count = c.lenses;
    pane_.f.ext_instructions = c.ext;
    pane_.state = c.state;
    pane_.speed = c.speed;
    pane_.player_state = c.player_state;
    pane_.player_speed = c.player_speed;
    controls_.SetPlayMode(c.mode);
    controls_.UpdateToolbarState();
    for (const auto& [id, want] : c.want) EXPECT_EQ(Look(id).substr(0, want.size()), want) << "button " << id;
  }
  // Playing at 4x, then a new day starts at 1x: only the 1x button stays lit, in both playback modes.
  pane_.device = true;
  pane_.f.ext_instructions = EXT_PBRATE;
  pane_.state = 0x10;
  pane_.player_state = 3;
  for (int mode : {kPlaySd, kPlayCloud}) {
    SCOPED_TRACE(mode);
    controls_.SetPlayMode(mode);
    pane_.speed = pane_.player_speed = 2;
    controls_.UpdateToolbarState();
    EXPECT_EQ(Look(kBtnSpeed2), "vec");
    pane_.speed = pane_.player_speed = 0;
    controls_.UpdateToolbarState();
    EXPECT_EQ(Look(kBtnSpeed0), "vec");
    EXPECT_EQ(Look(kBtnSpeed2), "ve");
  }
  // Without a selected pane nothing changes.
  pane_.selected = false;
  pane_.device = false;
  const std::string before = Look(1104);
  controls_.UpdateToolbarState();
  EXPECT_EQ(Look(1104), before);
}

TEST_F(PlayControlsTest, PanTiltQuadrantsAndCodes) {
  const QRect pad(100, 200, 76, 76);  // centre (138, 238)
  struct Case {
    QPoint at;
    int quadrant, code;
  } cases[] = {
      {{170, 240}, kPtzRight, 6},    {{105, 236}, kPtzLeft, 3},    {{140, 205}, kPtzUp, 1},
      {{136, 270}, kPtzDown, 2},     {{138, 238}, kPtzDown, 2},  // the centre: |dy| = |dx| = 0 counts as down
      {{148, 228}, kPtzUp, 1},                                   // |dx| = |dy|: up or down
      {{148, 248}, kPtzDown, 2},     {{99, 238}, kPtzOutside, -1}, {{176, 238}, kPtzOutside, -1},
      {{138, 276}, kPtzOutside, -1}, {{175, 275}, kPtzDown, 2},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GetPtzDirection(pad, c.at), c.quadrant) << c.at.x() << "," << c.at.y();
    EXPECT_EQ(PtzCodeOfQuadrant(c.quadrant), c.code);
  }
  // Press and release on the skin's pad.
  SkinRect r;
  ASSERT_TRUE(bar_.GetButtonRect(bar_.IndexFromId(kBtnPtzPad), &r, nullptr));
  const QPoint centre(r.left + (r.right - r.left) / 2, r.top + (r.bottom - r.top) / 2);
  QPoint cursor = centre + QPoint(20, 3);
  controls_.SetCursorSource([&] { return cursor; });
  EXPECT_TRUE(controls_.OnButtonEvent(kBtnPtzPad, 1));
  EXPECT_TRUE(controls_.OnButtonEvent(kBtnPtzPad, 2));
  cursor = QPoint(r.left - 5, r.top);
  controls_.OnButtonEvent(kBtnPtzPad, 1);  // outside: nothing
  controls_.OnButtonEvent(kBtnPtzPad, 3);  // other events: nothing
  EXPECT_EQ(pane_.calls, (std::vector<std::string>{"ptz 6", "ptz 0"}));
}

TEST_F(PlayControlsTest, MediaFileNames) {
  const std::string dir = dir_.path().toStdString();
  EXPECT_EQ(MakeMediaFileName("/m", 1733844600, "ABC", ".jpg"), "/m/ABC-20241210153000.jpg");
  {
    apptest::ScopedEnv tz("TZ", "Asia/Shanghai");
    tzset();
    EXPECT_EQ(MakeMediaFileName("/m", 1733844600, "ABC", ".mp4"), "/m/ABC-20241210233000.mp4");
  }
  tzset();
  // A UUID cannot leave the folder or make a name the folder cannot hold.
  EXPECT_EQ(MakeMediaFileName("/m", 1733844600, "../../etc/x", ".jpg"), "/m/.._.._etc_x-20241210153000.jpg");
  EXPECT_EQ(MakeMediaFileName("/m", 1733844600, "a\\b:c\nd", ".jpg"), "/m/a_b_c_d-20241210153000.jpg");

  // Snapshot names: now (the fixed clock) in live mode, the timeline's cursor in cloud mode; a second
  // snapshot in the same second gets a name of its own.
  controls_.OnButtonEvent(kBtnSnapshot, 3);
  controls_.OnButtonEvent(kBtnSnapshot, 3);
  controls_.OnButtonEvent(kBtnSnapshot, 3);
  pane_.uuid = "../escape";
  controls_.OnButtonEvent(kBtnSnapshot, 3);
  controls_.SetPlayMode(kPlayCloud);
  pane_.uuid = "ABC";
  pane_.cursor = 1733788800;  // 2024-12-10 00:00:00
  controls_.OnButtonEvent(kBtnSnapshot, 3);
  EXPECT_EQ(pane_.calls, (std::vector<std::string>{
                             "snapshot " + dir + "/ABC-20241210153000.jpg",
                             "snapshot " + dir + "/ABC-20241210153000-1.jpg",
                             "snapshot " + dir + "/ABC-20241210153000-2.jpg",
                             "snapshot " + dir + "/.._escape-20241210153000.jpg",
                             "player snapshot " + dir + "/ABC-20241210000000.jpg",
                         }));
  EXPECT_TRUE(boxes_.empty());
  EXPECT_TRUE(controls_.last_notice().isEmpty());
}

TEST_F(PlayControlsTest, SoundAndRecordingByModeAndFailuresAreShown) {
  const std::string dir = dir_.path().toStdString();
  // Live: sound toggles by the session's mute; recording needs running streams and stops by flag 8.
  pane_.muted = true;
  controls_.OnButtonEvent(kBtnAudio, 3);
  pane_.muted = false;
  controls_.OnButtonEvent(kBtnAudio, 3);
  controls_.OnButtonEvent(kBtnRecord, 3);  // flags 0: nothing
  pane_.state = 0x07;
  controls_.OnButtonEvent(kBtnRecord, 3);
  pane_.state = 0x0F;
  controls_.OnButtonEvent(kBtnRecord, 3);
  // Cloud: the player's flags.
  controls_.SetPlayMode(kPlayCloud);
  pane_.cursor = 1733844600;
  pane_.player_state = 1;
  controls_.OnButtonEvent(kBtnAudio, 3);
  pane_.player_state = 3;
  controls_.OnButtonEvent(kBtnAudio, 3);
  controls_.OnButtonEvent(kBtnRecord, 3);
  pane_.player_state = 7;
  controls_.OnButtonEvent(kBtnRecord, 3);
  EXPECT_EQ(pane_.calls,
            (std::vector<std::string>{
                "unmute", "mute", "record " + dir + "/ABC-20241210153000.mp4", "stop record", "player unmute",
                "player mute", "player record " + dir + "/ABC-20241210153000.mp4", "player stop record"}));
  EXPECT_TRUE(controls_.last_notice().isEmpty());

  // Failures are told to the user.
  SetUiLanguageOverride(kLangEnglish);
  pane_.snapshot_ok = false;
  pane_.record_ok = false;
  pane_.player_state = 3;
  controls_.OnButtonEvent(kBtnSnapshot, 3);
  EXPECT_EQ(controls_.last_notice(), QStringLiteral("Snapshot failed"));
  controls_.OnButtonEvent(kBtnRecord, 3);
  EXPECT_EQ(controls_.last_notice(), QStringLiteral("Recording failed"));
  controls_.SetPlayMode(kPlayLive);
  pane_.state = 0x07;
  controls_.OnButtonEvent(kBtnSnapshot, 3);
  EXPECT_EQ(controls_.last_notice(), QStringLiteral("Snapshot failed"));
  ClearUiLanguageOverride();
}

// A media folder that cannot be made (a file holds its name): nothing is written anywhere, each mode's
// snapshot and recording say why, and the record button does not show recording.
TEST_F(PlayControlsTest, WithoutAMediaFolderNothingIsSavedAndTheFailureIsShown) {
  QTemporaryDir data;
  ASSERT_TRUE(data.isValid());
  apptest::ScopedEnv xdg("XDG_DATA_HOME", data.path().toUtf8().constData());
  apptest::WriteFile(data.path().toStdString() + "/VelmoraData", "not a folder");
  controls_.SetMediaFolder([] { return GetMediaFolder(); });
  SetUiLanguageOverride(kLangEnglish);
  pane_.state = 0x07;
  pane_.player_state = 3;
  const QString folder = data.path() + "/VelmoraData";
  for (int mode : {kPlayLive, kPlaySd, kPlayCloud}) {
    SCOPED_TRACE(mode);
    controls_.SetPlayMode(mode);
    controls_.OnButtonEvent(kBtnSnapshot, 3);
    EXPECT_EQ(controls_.last_notice(), "Snapshot failed: the media folder " + folder + " cannot be created");
    // The click has checked the button already.
    bar_.SetButtonChecked(bar_.IndexFromId(kBtnRecord), true);
    controls_.OnButtonEvent(kBtnRecord, 3);
    EXPECT_EQ(controls_.last_notice(), "Recording failed: the media folder " + folder + " cannot be created");
    EXPECT_EQ(Look(kBtnRecord), "ve");
  }
  EXPECT_TRUE(pane_.calls.empty()) << pane_.calls[0];
  ClearUiLanguageOverride();
}

TEST_F(PlayControlsTest, TalkbackOneSessionAtATime) {
  SetUiLanguageOverride(kLangEnglish);
  pane_.state = 0x03;
  // Start, then stop.
  controls_.OnButtonEvent(kBtnTalk, 3);
  EXPECT_TRUE(pane_.talks);
  EXPECT_EQ(Look(kBtnTalk), "vec");
  controls_.OnButtonEvent(kBtnTalk, 3);
  EXPECT_FALSE(pane_.talks);
  EXPECT_EQ(Look(kBtnTalk), "ve");
  EXPECT_EQ(pane_.calls, (std::vector<std::string>{"capture create", "capture attach", "talk stop"}));
  EXPECT_TRUE(boxes_.empty());

  // Another pane holds the capture: this start fails and says so, and the button stays unchecked.
  pane_.calls.clear();
  pane_.capture = true;
  bar_.SetButtonChecked(bar_.IndexFromId(kBtnTalk), true);  // the click checked it
  controls_.OnButtonEvent(kBtnTalk, 3);
  EXPECT_FALSE(pane_.talks);
  EXPECT_TRUE(pane_.calls.empty());
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0], QStringLiteral("Some one is talking, please try later."));
  EXPECT_EQ(Look(kBtnTalk), "ve");

  // The session refuses: the capture is freed again and the box shown.
  pane_.capture = false;
  pane_.attach_ok = false;
  controls_.OnButtonEvent(kBtnTalk, 3);
  EXPECT_EQ(pane_.calls, (std::vector<std::string>{"capture create", "capture attach", "capture free"}));
  EXPECT_FALSE(pane_.capture);
  EXPECT_EQ(boxes_.size(), 2u);
  EXPECT_EQ(boxes_[1], QStringLiteral("Some one is talking, please try later."));
  // No microphone: the capture cannot be made at all, which says so in both languages.
  pane_.calls.clear();
  pane_.create_ok = false;
  controls_.OnButtonEvent(kBtnTalk, 3);
  EXPECT_EQ(pane_.calls, (std::vector<std::string>{"capture create"}));
  ASSERT_EQ(boxes_.size(), 3u);
  EXPECT_EQ(boxes_[2], QStringLiteral("No microphone could be opened."));
  EXPECT_EQ(Look(kBtnTalk), "ve");
  SetUiLanguageOverride(kLangChinese);
  controls_.OnButtonEvent(kBtnTalk, 3);
  ASSERT_EQ(boxes_.size(), 4u);
  EXPECT_EQ(boxes_[3], QString::fromUtf8("无法打开麦克风。"));
  ClearUiLanguageOverride();
}

TEST_F(PlayControlsTest, SpeedPipExchangeLensAndClose) {
  struct Case {
    int mode, state, player_state, button;
    std::vector<std::string> calls;
  } cases[] = {
      {kPlaySd, 0x10, 0, kBtnSpeed2, {"speed 2"}},
      {kPlaySd, 0, 0, kBtnSpeed1, {}},
      {kPlayCloud, 0, 3, kBtnSpeed1, {"player speed 1"}},
      {kPlayCloud, 0, 0, kBtnSpeed1, {}},
      {kPlayLive, 0x01, 0, kBtnSpeed0, {}},
      {kPlayLive, 0x01, 0, kBtnPip, {"pip start", "pip show"}},
      {kPlayLive, 0x21, 0, kBtnPip, {"pip stop", "pip hide"}},
      {kPlayLive, 0x21, 0, kBtnExchange, {"swap 0 1"}},
      {kPlayLive, 0x01, 0, kBtnExchange, {}},
      {kPlayCloud, 0, 3, kBtnExchange, {"player swap 0 1"}},
      {kPlaySd, 0x10, 0, kBtnExchange, {}},
      {kPlayLive, 0x01, 0, kBtnCloseVideo, {"close"}},
  };
  for (const Case& c : cases) {
    pane_.calls.clear();
    controls_.SetPlayMode(c.mode);
    pane_.state = c.state;
    pane_.player_state = c.player_state;
    EXPECT_TRUE(controls_.OnButtonEvent(c.button, 3));
    EXPECT_EQ(pane_.calls, c.calls) << "mode " << c.mode << " button " << c.button;
  }
  pane_.calls.clear();
  controls_.ExchangePicture(1, 1);
  EXPECT_TRUE(pane_.calls.empty());
  EXPECT_FALSE(controls_.OnButtonEvent(1002, 3));

  // The lens switch toggles by the device's third value; the button shows it.
  controls_.SetPlayMode(kPlayLive);
  pane_.f.zoom.lens_count = 2;
  pane_.calls.clear();
  pane_.lens[2] = 1.0f;
  controls_.OnButtonEvent(kBtnLens, 3);
  EXPECT_EQ(Look(kBtnLens), "vec");
  pane_.lens[2] = 0.5f;
  controls_.OnButtonEvent(kBtnLens, 3);
  EXPECT_EQ(Look(kBtnLens), "ve");
  pane_.lens[2] = 1.0f;
  pane_.lens_result = -10005;  // no answer counts as 0
  controls_.OnButtonEvent(kBtnLens, 3);
  EXPECT_EQ(pane_.calls, (std::vector<std::string>{"lens -1 -1 0", "lens -1 -1 1", "lens -1 -1 1"}));
  // Outside live mode the talkback button hides.
  controls_.SetPlayMode(kPlaySd);
  controls_.UpdateTalkButtons();
  EXPECT_EQ(Look(kBtnTalk)[0], 'h');
  controls_.SetPlayMode(kPlayLive);
  controls_.UpdateTalkButtons();
  EXPECT_EQ(Look(kBtnTalk)[0], 'v');
}

}  // namespace
