#include "app/velmora_app.h"

#include <QApplication>
#include <QEvent>
#include <QFile>
#include <QIcon>

#include "app/app_state.h"
#include "app/crash_report.h"
#include "app/media_sinks.h"
#include "app/dialogs/login_dlg.h"
#include "app/main_window.h"
#include "app/settings.h"
#include "app/ui/blocking_runner.h"
#include "app/ui/message_box.h"
#include "app/ui/strings.h"
#include "platform/appdata.h"
#include "sdk/device/sdk_hooks.h"
#include "sdk/cloud/cloud_config.h"
#include "sdk/cloud/orvel_server.h"
#include "sdk/device/device_node.h"
#include "sdk/net/tls_config.h"
#include "sdk/util/log.h"

namespace {

constexpr char kTag[] = "CVelmoraApp::InitInstance";
constexpr int kLogMaxSize = 0x7FFFFFFF;
constexpr int kLogLevel = 6;

}  // namespace

bool IsActivityEvent(int type) {
  switch (type) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::MouseMove:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
      return true;
    default:
      return false;
  }
}

CVelmoraApp::CVelmoraApp() {
  if (QCoreApplication* app = QCoreApplication::instance()) app->installEventFilter(this);
}

CVelmoraApp::~CVelmoraApp() {
  if (QCoreApplication* app = QCoreApplication::instance()) app->removeEventFilter(this);
}

bool CVelmoraApp::eventFilter(QObject* watched, QEvent* event) {
  if (main_ && IsActivityEvent(event->type())) main_->ResetIdleCounter();
  return QObject::eventFilter(watched, event);
}

bool CVelmoraApp::InitInstance() {
  // 1. The crash report, in the current folder until the application-data folder is known.
  InstallCrashReport(GetAppDataFolder());

  // 3. Title and icon.
  SetWindowTitle(ReadAppConf("title"));
  if (QFile::exists(QStringLiteral("app.ico"))) SetAppIcon(QIcon(QStringLiteral("app.ico")));

  // 4. The application-data folder: the user's data folder with the title as sub-folder, else ".".
  SetAppDataFolder(platform::MakeAppDataFolder(GetWindowTitle()));
  InstallCrashReport(GetAppDataFolder());
  // It holds passwords: readable by its owner only.
  SecureConfigFile();

  // Decoded pictures and the media sinks' events reach the panes.
  InstallMediaSinks();

  // 5. The idle limit.
  SetMaxIdleTime(ReadConfigInt("config", "max_idle_time", kDefaultMaxIdleTime));

  // 6. The log, anew at each start.
  LogOpen(kLogToFile, (GetAppDataFolder() + "/velmora.log").c_str(), kLogMaxSize);
  LogSetLevel(kLogLevel);

  // 7. LAN-only mode.
  SetLanOnly(ReadConfigInt("config", "lan_only", 0) != 0);
  DeviceNodeSetLanOnly(IsLanOnly());

  // 8. Package name and server environment; the service's addresses come from section "servers".
  std::string oem = ReadAppConf("oem");
  int env = ReadConfigInt("config", "env", 0);
  CloudDeployment deployment = CloudGetDeployment();
  if (CloudLoadDeployment(ConfigPath().c_str(), &deployment)) CloudSetDeployment(deployment);
  // Certificate checks of the service's https: tls_verify and tls_ca_file of section "config".
  NetTlsLoadConfig(ConfigPath().c_str());

  // 9. The service, which drives the device link and WebRTC signalling.
  InstallCloudSdkHooks();
  int r = RunBlocking([&] { return OrvelServer().Init(oem.c_str(), env); });
  if (r != 0) {
    LogPrintf(kLogError, nullptr, kTag, "COrvelServer::Init(%d) failed: %d\n", env, r);
    ShowErrorBox(nullptr, IDS_CANNOT_CONNECT);
    exit_code_ = 1;
    return false;
  }
  // 10.
  LogPrintf(kLogInfo, nullptr, kTag, "Orvel server inited.\n");

  // 11. The media folder roots the cloud cache.
  SetCacheRoot(GetMediaFolder().c_str());

  // 12, 13. Saved accounts, after moving a legacy saved password.
  std::string user, password;
  ConvertLegacyLogin(&user, &password);
  LoadAccounts(env);
  auto saved = AccountStore().find(user);
  if (saved != AccountStore().end()) password = saved->second;

  // 14. A saved account signs in; a failure is not reported, the log-in dialog follows.
  bool signed_in = false;
  if (!user.empty() && !password.empty()) {
    r = RunBlocking([&] { return OrvelServer().Login(user.c_str(), password.c_str()); });
    if (r == 0) {
      SetCurrentUser(user);
      signed_in = true;
    } else {
      LogPrintf(kLogInfo, nullptr, kTag, "saved account did not sign in: %d\n", r);
    }
  }
  // 15.
  if (!signed_in) {
    CLoginDlg dlg;
    if (dlg.DoModal() != IDOK) {
      exit_code_ = 0;
      return false;
    }
  }
  // 16.
  LogPrintf(kLogInfo, nullptr, kTag, "Logged in\n");

  // 17, 18. The main window, maximised.
  main_ = std::make_unique<CVelmoraDlg>();
  main_->showMaximized();
  LogPrintf(kLogInfo, nullptr, kTag, "Main window created and shown\n");
  return true;
}

int CVelmoraApp::ExitInstance() {
  main_.reset();
  OrvelServer().Disconnect();
  return exit_code_;
}
