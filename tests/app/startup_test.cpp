// Start-up against cloudsim: a saved account signs in, the log-in dialog signs in (then the main window
// placeholder), a wrong password, the service unreachable, the log-in dialog cancelled, the legacy password.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPaintEvent>
#include <QPushButton>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

#include "app/app_state.h"
#include "app/dialogs/login_dlg.h"
#include "app/main_window.h"
#include "app/settings.h"
#include "app/ui/blocking_runner.h"
#include "app/ui/message_box.h"
#include "app/ui/strings.h"
#include "app/velmora_app.h"
#include "tests/app/app_test_util.h"
#include "tests/app/login_driver.h"
#include "tests/sdk/cloud/cloudsim_harness.h"
#include "tests/sdk/net/net_test_util.h"
#include "sdk/cloud/orvel_server.h"
#include "sdk/storage/oss_cacher.h"
#include "sdk/node/device_node.h"
#include "sdk/device/kivo_p2p.h"
#include "sdk/webrtc/ov_transport.h"

namespace {

struct Box {
  std::string text;
  std::string caption;
  UiBoxIcon icon;
};

LoginDriver::Step SignIn(const char* user, const char* password, bool save = true) {
  return [=](CLoginDlg* dlg) {
    dlg->user_combo()->setEditText(user);
    dlg->password_edit()->setText(password);
    dlg->save_check()->setChecked(save);
    dlg->login_button()->click();
  };
}

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    apptest::App();
    SetUiLanguageOverride(kLangEnglish);
    SetCurrentUser("");
    AccountStore().clear();
    SetMessageBoxHook([this](QWidget*, const QString& text, const QString& caption, UiBoxIcon icon) {
      boxes_.push_back({text.toStdString(), caption.toStdString(), icon});
      return IDOK;
    });
  }
  void TearDown() override {
    SetMessageBoxHook(nullptr);
    ClearUiLanguageOverride();
    SetAppDataFolder(".");
  }
  // config.ini in the data folder, its section "servers" pointing at base.
  void WriteConfig(const std::string& base, const std::string& rest) {
    apptest::WriteFile(data_ / "config.ini",
                       "[servers]\nproduction=" + base + "\ntest=" + base + "\npre_release=" + base +
                           "\nconnect_timeout_ms=2000\nrequest_timeout_ms=8000\n" + rest);
  }
  std::string ConfigText() { return apptest::ReadFile(data_ / "config.ini"); }
  bool StartSim() {
    if (!sim_.Start(std::string(APP_TEST_DATA) + "/account")) return false;
    return true;
  }
  bool AnyWindowVisible() {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->isVisible()) return true;
    return false;
  }

  TempDir data_{"velmora_start"};
  apptest::ScopedEnv xdg_{"XDG_DATA_HOME", data_.path().c_str()};
  CloudSim sim_;
  std::vector<Box> boxes_;
};

TEST_F(StartupTest, SavedAccountSignsInWithoutTheDialog) {
  ASSERT_TRUE(StartSim());
  WriteConfig(sim_.HttpBase(), "[login]\nuser=ann@example.test\n[accounts]\nann@example.test=ann-pass-1\n");
  LoginDriver driver({});
  CVelmoraApp app;
  ASSERT_TRUE(app.InitInstance());
  EXPECT_EQ(driver.shown(), 0);
  EXPECT_TRUE(boxes_.empty());
  EXPECT_EQ(GetCurrentUser(), "ann@example.test");
  ASSERT_NE(app.main_window(), nullptr);
  EXPECT_TRUE(app.main_window()->isVisible());
  EXPECT_EQ(app.main_window()->objectName().toStdString(), kMainWindowClassName);
  // The service client drives the device link and hands push events on to devices and WebRTC.
  CloudSdkHooks hooks = CloudGetHooks();
  EXPECT_EQ(hooks.p2p_init, &KivoP2pInit);
  EXPECT_EQ(hooks.device_online, &NotifyDeviceOnline);
  EXPECT_EQ(hooks.webrtc_signaling, &WebrtcOnSignaling);
  EXPECT_EQ(hooks.signaling_setup, &WebrtcSignalingSetup);
  EXPECT_EQ(hooks.signaling_reset, &WebrtcSignalingReset);
  // The start-up's traces in the log, which sits in the data folder beside config.ini.
  std::string log = apptest::ReadFile(data_ / "velmora.log");
  for (const char* line : {"Orvel server inited.", "Logged in", "Main window created and shown"})
    EXPECT_NE(log.find(std::string("[CVelmoraApp::InitInstance] ") + line), std::string::npos) << line;
  EXPECT_EQ(log.find("ann-pass-1"), std::string::npos) << "the password reached the log";
  // The main window takes window messages from workers.
  static std::atomic<int> ran{0};
  std::thread worker([h = app.main_window()->hwnd()] {
    EXPECT_TRUE(PostMessage(h, WM_PANE_SELECTED, 3, 0));
    EXPECT_TRUE(PostUiInvoke(
        h,
        [](void* arg) {
          ran += *static_cast<int*>(arg);
          delete static_cast<int*>(arg);
        },
        new int(7), [](void* arg) { delete static_cast<int*>(arg); }));
  });
  worker.join();
  QCoreApplication::sendPostedEvents();
  EXPECT_EQ(app.main_window()->selected_pane(), 3);
  EXPECT_EQ(ran, 7);
  HWND h = app.main_window()->hwnd();
  app.ExitInstance();
  EXPECT_FALSE(UiIsWindow(h));
}

// config.ini's lan_only reaches the device node at start-up: every connect is then refused with -10008
// before any transport is tried; without it the connect goes on to the transports.
TEST_F(StartupTest, LanOnlySettingReachesTheDeviceNode) {
  ASSERT_TRUE(StartSim());
  for (const int lan_only : {1, 0}) {
    WriteConfig(sim_.HttpBase(), "[login]\nuser=ann@example.test\n[accounts]\nann@example.test=ann-pass-1\n"
                                 "[config]\nlan_only=" + std::to_string(lan_only) + "\n");
    DeviceNodeSetLanOnly(lan_only == 0);
    LoginDriver driver({});
    CVelmoraApp app;
    ASSERT_TRUE(app.InitInstance()) << lan_only;
    EXPECT_EQ(IsLanOnly(), lan_only != 0);
    EXPECT_EQ(DeviceNodeLanOnly(), lan_only != 0);
    DeviceNode node;
    node.Info().uuid = "VLM-LAN-ONLY";
    node.Info().transport_flags = 0;  // nothing to try: -10020 unless refused first
    EXPECT_EQ(node.ConnectOnly(node.GetP2pClient()), lan_only ? KIVO_ERR_OFFLINE : KIVO_ERR_NO_CONN_TOKEN);
    app.ExitInstance();
  }
  DeviceNodeSetLanOnly(false);
  SetLanOnly(false);
}

// The service over https: trusted through tls_ca_file of config.ini; without it the start-up fails.
TEST_F(StartupTest, HttpsServiceIsCheckedWithTheConfiguredCa) {
  CloudSim::Options https;
  https.https = true;
  ASSERT_TRUE(sim_.Start(std::string(APP_TEST_DATA) + "/account", https));
  const std::string accounts = "[login]\nuser=ann@example.test\n[accounts]\nann@example.test=ann-pass-1\n";
  WriteConfig(sim_.HttpsBase(), accounts);
  {
    CVelmoraApp app;
    EXPECT_FALSE(app.InitInstance());
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text, "Can not connect to server !");
  }
  WriteConfig(sim_.HttpsBase(), accounts + "[config]\ntls_ca_file=" + sim_.ca_file() + "\n");
  CVelmoraApp app;
  ASSERT_TRUE(app.InitInstance());
  EXPECT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(GetCurrentUser(), "ann@example.test");
  app.ExitInstance();
}

// With a title in app.conf the data folder is a sub-folder named after it.
TEST_F(StartupTest, TitleNamesTheDataFolder) {
  ASSERT_TRUE(StartSim());
  TempDir cwd("velmora_cwd");
  apptest::WriteFile(cwd / "app.conf", "[ui]\ntitle=Velmora Test\noem=com.example.velmora\n");
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(cwd.path().c_str()), 0);
  std::string folder = data_ / "Velmora Test";
  mkdir(folder.c_str(), 0700);
  apptest::WriteFile(folder + "/config.ini",
                     "[servers]\ntest=" + sim_.HttpBase() +
                         "\n[config]\nenv=1\n"
                         "[login]\nuser=bob@example.test\n[accounts.1]\nbob@example.test=bob-pass-2\n");
  LoginDriver driver({});
  CVelmoraApp app;
  bool ok = app.InitInstance();
  ASSERT_EQ(chdir(old), 0);
  ASSERT_TRUE(ok);
  EXPECT_EQ(GetAppDataFolder(), folder);
  EXPECT_EQ(GetWindowTitle(), "Velmora Test");
  EXPECT_EQ(GetCurrentUser(), "bob@example.test");
  EXPECT_EQ(app.main_window()->windowTitle(), "Velmora Test");
  EXPECT_TRUE(apptest::ReadFile(folder + "/velmora.log").size() > 0);
  // The package name of app.conf goes with the requests.
  JsonHolder requests = sim_.Requests();
  char* text = cJSON_PrintUnformatted(requests.Item());
  EXPECT_NE(std::string(text).find("com.example.velmora"), std::string::npos);
  cJSON_free(text);
  app.ExitInstance();
}

TEST_F(StartupTest, WithoutASavedAccountTheDialogSignsInAndSavesIt) {
  ASSERT_TRUE(StartSim());
  WriteConfig(sim_.HttpBase(), "");
  LoginDriver driver({SignIn("ann@example.test", "ann-pass-1")});
  CVelmoraApp app;
  ASSERT_TRUE(app.InitInstance());
  EXPECT_EQ(driver.shown(), 1);
  EXPECT_TRUE(boxes_.empty());
  EXPECT_EQ(GetCurrentUser(), "ann@example.test");
  ASSERT_NE(app.main_window(), nullptr);
  EXPECT_TRUE(app.main_window()->isVisible());
  std::string config = ConfigText();
  EXPECT_NE(config.find("[accounts]\nann@example.test=ann-pass-1\n"), std::string::npos) << config;
  EXPECT_NE(config.find("[login]\nuser=ann@example.test\n"), std::string::npos) << config;
  EXPECT_NE(config.find("env=0"), std::string::npos) << config;
  app.ExitInstance();
}

TEST_F(StartupTest, WrongPasswordKeepsTheDialogOpen) {
  ASSERT_TRUE(StartSim());
  WriteConfig(sim_.HttpBase(), "");
  LoginDriver driver({SignIn("ann@example.test", "wrong"), SignIn("ann@example.test", "ann-pass-1")});
  CVelmoraApp app;
  ASSERT_TRUE(app.InitInstance());
  EXPECT_EQ(driver.shown(), 2);
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, "Invalid user name or password !");
  EXPECT_EQ(boxes_[0].caption, "ERROR !");
  EXPECT_EQ(boxes_[0].icon, kBoxError);
  EXPECT_EQ(GetCurrentUser(), "ann@example.test");
  app.ExitInstance();
}

TEST_F(StartupTest, SavedAccountWithAStalePasswordFallsBackToTheDialogQuietly) {
  ASSERT_TRUE(StartSim());
  WriteConfig(sim_.HttpBase(), "[login]\nuser=ann@example.test\n[accounts]\nann@example.test=old-pass\n");
  LoginDriver driver({[](CLoginDlg* dlg) {
    // The saved account is offered as it was.
    EXPECT_EQ(dlg->user_combo()->currentText(), "ann@example.test");
    EXPECT_EQ(dlg->password_edit()->text(), "old-pass");
    SignIn("ann@example.test", "ann-pass-1")(dlg);
  }});
  CVelmoraApp app;
  ASSERT_TRUE(app.InitInstance());
  EXPECT_EQ(driver.shown(), 1);
  EXPECT_TRUE(boxes_.empty());
  // The new password replaces the stored one.
  EXPECT_NE(ConfigText().find("ann@example.test=ann-pass-1"), std::string::npos);
  app.ExitInstance();
}

// Unchecked "Save password": the user's stored account and the saved user name go, the environment stays.
TEST_F(StartupTest, SignInWithoutSavingForgetsTheAccount) {
  ASSERT_TRUE(StartSim());
  WriteConfig(sim_.HttpBase(),
              "[config]\nenv=0\n[login]\nuser=bob@example.test\n[accounts]\n"
              "ann@example.test=stale\nbob@example.test=bob-pass-2\n");
  // Bob's stored password no longer works, so the dialog shows.
  sim_.Control("/password", R"({"user_id": "2002", "password": "changed"})");
  LoginDriver driver({SignIn("ann@example.test", "ann-pass-1", false)});
  CVelmoraApp app;
  ASSERT_TRUE(app.InitInstance());
  EXPECT_EQ(driver.shown(), 1);
  EXPECT_EQ(GetCurrentUser(), "ann@example.test");
  std::string config = ConfigText();
  EXPECT_EQ(config.find("ann@example.test="), std::string::npos) << config;
  EXPECT_NE(config.find("bob@example.test=bob-pass-2"), std::string::npos) << config;
  EXPECT_EQ(config.find("user="), std::string::npos) << config;
  EXPECT_NE(config.find("env=0"), std::string::npos) << config;
  app.ExitInstance();
}

TEST_F(StartupTest, ServiceUnreachableShowsOneMessageAndNoWindow) {
  // A port where nothing listens.
  int port = nettest::FreePort();
  WriteConfig("http://127.0.0.1:" + std::to_string(port), "[accounts]\nann@example.test=ann-pass-1\n");
  LoginDriver driver({});
  CVelmoraApp app;
  EXPECT_FALSE(app.InitInstance());
  EXPECT_EQ(app.exit_code(), 1);
  EXPECT_EQ(driver.shown(), 0);
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, "Can not connect to server !");
  EXPECT_EQ(boxes_[0].caption, "ERROR !");
  EXPECT_EQ(boxes_[0].icon, kBoxError);
  EXPECT_EQ(app.main_window(), nullptr);
  EXPECT_FALSE(AnyWindowVisible());
}

TEST_F(StartupTest, NoServiceConfiguredIsAFailedInitialisation) {
  apptest::WriteFile(data_ / "config.ini", "");
  CVelmoraApp app;
  EXPECT_FALSE(app.InitInstance());
  EXPECT_EQ(app.exit_code(), 1);
  EXPECT_EQ(boxes_.size(), 1u);
  EXPECT_FALSE(AnyWindowVisible());
}

TEST_F(StartupTest, CancellingTheDialogEndsQuietly) {
  ASSERT_TRUE(StartSim());
  WriteConfig(sim_.HttpBase(), "");
  LoginDriver driver({[](CLoginDlg* dlg) { dlg->reject(); }});
  CVelmoraApp app;
  EXPECT_FALSE(app.InitInstance());
  EXPECT_EQ(app.exit_code(), 0);
  EXPECT_EQ(driver.shown(), 1);
  EXPECT_TRUE(boxes_.empty());
  EXPECT_EQ(app.main_window(), nullptr);
  EXPECT_FALSE(AnyWindowVisible());
}

TEST_F(StartupTest, DialogReportsAServiceThatFailsTheSignIn) {
  ASSERT_TRUE(StartSim());
  WriteConfig(sim_.HttpBase(), "");
  LoginDriver driver({[this](CLoginDlg* dlg) {
                        sim_.Fail("/api/app/auth/login", R"({"mode": "drop"})");
                        SignIn("ann@example.test", "ann-pass-1")(dlg);
                      },
                      [this](CLoginDlg* dlg) {
                        sim_.Fail("/service", R"({"mode": "status", "status": 503, "body": "busy"})");
                        SignIn("ann@example.test", "ann-pass-1")(dlg);
                      },
                      SignIn("ann@example.test", "ann-pass-1")});
  CVelmoraApp app;
  ASSERT_TRUE(app.InitInstance());
  EXPECT_EQ(driver.shown(), 3);
  ASSERT_EQ(boxes_.size(), 2u);
  EXPECT_EQ(boxes_[0].text.rfind("Login failed(-", 0), 0u) << boxes_[0].text;
  EXPECT_EQ(boxes_[0].caption, "Failed");
  EXPECT_EQ(boxes_[1].text, "Can not connect to server !");
  EXPECT_EQ(boxes_[1].caption, "ERROR !");
  app.ExitInstance();
}

TEST_F(StartupTest, LegacySavedPasswordSignsInAndIsConverted) {
  ASSERT_TRUE(StartSim());
  WriteConfig(sim_.HttpBase(), "[login]\nuser=ann@example.test\npassword=ann-pass-1\n[accounts]\nbob=x\n");
  LoginDriver driver({});
  CVelmoraApp app;
  ASSERT_TRUE(app.InitInstance());
  EXPECT_EQ(driver.shown(), 0);
  EXPECT_EQ(GetCurrentUser(), "ann@example.test");
  std::string config = ConfigText();
  EXPECT_NE(config.find("[login]\nuser=ann@example.test\n"), std::string::npos) << config;
  EXPECT_EQ(config.find("password="), std::string::npos) << config;
  EXPECT_NE(config.find("[accounts]\nann@example.test=ann-pass-1\n"), std::string::npos) << config;
  EXPECT_EQ(config.find("bob=x"), std::string::npos) << config;
  app.ExitInstance();
}

TEST_F(StartupTest, KeyAndMouseInputResetTheIdleCounter) {
  ASSERT_TRUE(StartSim());
  WriteConfig(sim_.HttpBase(), "[login]\nuser=ann@example.test\n[accounts]\nann@example.test=ann-pass-1\n");
  CVelmoraApp app;
  ASSERT_TRUE(app.InitInstance());
  CVelmoraDlg* w = app.main_window();
  struct {
    QEvent::Type type;
    bool resets;
  } cases[] = {{QEvent::KeyPress, true}, {QEvent::MouseButtonPress, true}, {QEvent::MouseMove, true},
               {QEvent::Wheel, true},    {QEvent::Timer, false},           {QEvent::Paint, false}};
  for (const auto& c : cases) EXPECT_EQ(IsActivityEvent(c.type), c.resets) << c.type;
  w->OnIdleTimer();
  w->OnIdleTimer();
  EXPECT_EQ(w->idle_counter(), 10);
  w->OnIdleTimer();
  QKeyEvent key(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a");
  QApplication::sendEvent(w, &key);
  EXPECT_EQ(w->idle_counter(), 0);
  w->OnIdleTimer();
  QPaintEvent paint(QRect(0, 0, 1, 1));
  QApplication::sendEvent(w, &paint);
  EXPECT_EQ(w->idle_counter(), 5);
  app.ExitInstance();
}

// A media folder that cannot be made is logged at start, and the cloud cache still lives only there (where
// nothing can then be written), never in the filesystem's root.
TEST_F(StartupTest, AMediaFolderThatCannotBeMadeIsLoggedAndTheCacheStaysInIt) {
  ASSERT_TRUE(StartSim());
  WriteConfig(sim_.HttpBase(), "[login]\nuser=ann@example.test\n[accounts]\nann@example.test=ann-pass-1\n");
  apptest::WriteFile(data_ / "VelmoraData", "not a folder");
  CVelmoraApp app;
  ASSERT_TRUE(app.InitInstance());
  EXPECT_EQ(GetMediaFolder(), "");
  const std::string folder = data_ / "VelmoraData";
  EXPECT_NE(apptest::ReadFile(data_ / "velmora.log").find("media folder " + folder + " cannot be created"),
            std::string::npos);
  EXPECT_EQ(CacheRoot(), folder);
  std::string path;
  ASSERT_TRUE(UrlToCachePath("http://thumbs.test/t/CAM-A.jpg", &path));
  EXPECT_EQ(path, folder + "/t/CAM-A.jpg");
  // Without any root nothing gets a cache path.
  SetCacheRoot("");
  EXPECT_FALSE(UrlToCachePath("http://thumbs.test/t/CAM-A.jpg", &path));
  EXPECT_FALSE(COssCacher("CAM-A", "key").LocalPath("/CAM-A/2024/05/06/12/00-05.data", &path));
  app.ExitInstance();
}

// A second instance on the same data folder is refused before it touches the first's files: the first
// (the program itself, waiting in its "Can not connect" box) keeps its log and settings as they were.
TEST_F(StartupTest, ASecondInstanceIsRefusedWithAMessageAndLeavesTheFirstsFiles) {
  WriteConfig("http://127.0.0.1:" + std::to_string(nettest::FreePort()),
              "[accounts]\nann@example.test=ann-pass-1\n");
  TempDir cwd("velmora_cwd");  // no app.conf: the data folder is XDG_DATA_HOME itself
  nettest::PeerProcess first;
  ASSERT_TRUE(first.Start({VELMORA_BIN}, cwd.path()));
  std::string first_log;
  for (int i = 0; i < 600 && first_log.find("Init(0) failed") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    first_log = apptest::ReadFile(data_ / "velmora.log");
  }
  ASSERT_NE(first_log.find("Init(0) failed"), std::string::npos) << first.Output();
  const std::string config = ConfigText();
  // A mode the second instance would set back to 0600.
  chmod((data_ / "config.ini").c_str(), 0640);

  CVelmoraApp second;
  EXPECT_FALSE(second.InitInstance());
  EXPECT_EQ(second.exit_code(), 1);
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text,
            "Velmora is already running. Use the open window, or close it before starting again.");
  EXPECT_EQ(boxes_[0].icon, kBoxInformation);
  EXPECT_EQ(apptest::ReadFile(data_ / "velmora.log"), first_log);
  EXPECT_EQ(ConfigText(), config);
  struct stat st {};
  ASSERT_EQ(stat((data_ / "config.ini").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u) << "the second instance changed the settings file";
  EXPECT_FALSE(AnyWindowVisible());

  // Once the first has ended, the next start goes on (to its own "Can not connect" box).
  first.Stop();
  boxes_.clear();
  CVelmoraApp third;
  EXPECT_FALSE(third.InitInstance());
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, "Can not connect to server !");
}

// The lock of the data folder: held by one descriptor at a time, free again once closed; a folder where no
// lock file can be made does not stop the program.
TEST_F(StartupTest, TheDataFolderLock) {
  const int held = LockDataFolder(data_.path());
  ASSERT_GE(held, 0);
  EXPECT_EQ(LockDataFolder(data_.path()), -1);
  close(held);
  const int again = LockDataFolder(data_.path());
  EXPECT_GE(again, 0);
  close(again);
  EXPECT_EQ(LockDataFolder(data_ / "no-such-folder"), -2);
}

// Without a display the program says so in one line and ends with 1, before it touches any file.
TEST_F(StartupTest, WithoutADisplayOneLineNamesItAndTheProgramEnds) {
  struct {
    const char *platform, *x, *wayland, *text;
  } cases[] = {
      {nullptr, nullptr, nullptr, "no display to open: DISPLAY is not set"},
      {"", "", "wayland-0", "no display to open: DISPLAY is not set"},
      {"xcb", ":77", nullptr, "cannot open the display \":77\" (DISPLAY)"},
      {"xcb:nograb", ":1.0", nullptr, "cannot open the display \":1.0\" (DISPLAY)"},
      {"wayland;xcb", ":0", "wayland-1", "cannot open the Wayland display \"wayland-1\" (WAYLAND_DISPLAY)"},
      {"wayland-egl", ":0", nullptr, "no display to open: WAYLAND_DISPLAY is not set"},
      {"eglfs", ":0", nullptr, "cannot start the display platform \"eglfs\" (QT_QPA_PLATFORM)"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(NoDisplayText(c.platform, c.x, c.wayland), c.text) << (c.platform ? c.platform : "(unset)");

  struct {
    const char* display;  // the environment's part
    const char* line;
  } runs[] = {{"-u DISPLAY", "velmora: no display to open: DISPLAY is not set\n"},
              {"DISPLAY=:77", "velmora: cannot open the display \":77\" (DISPLAY)\n"}};
  TempDir out("velmora_nodisplay");
  for (const auto& run : runs) {
    const std::string cmd = std::string("env -u QT_QPA_PLATFORM -u WAYLAND_DISPLAY ") + run.display + " " +
                            VELMORA_BIN + " >" + (out / "stdout") + " 2>" + (out / "stderr");
    const int status = std::system(cmd.c_str());
    ASSERT_TRUE(WIFEXITED(status)) << run.display;
    EXPECT_EQ(WEXITSTATUS(status), 1) << run.display;
    EXPECT_EQ(apptest::ReadFile(out / "stderr"), run.line);
    EXPECT_EQ(apptest::ReadFile(out / "stdout"), "");
    EXPECT_FALSE(nettest::FileExists(data_ / "velmora.log"));
  }
}

}  // namespace
